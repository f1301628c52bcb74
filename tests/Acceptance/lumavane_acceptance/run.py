"""One acceptance run: a scenario, its checks, its screenshots and its report."""

import json
import shutil
import time
import traceback
from pathlib import Path

from PIL import Image

from .desktop import Desktop


class StepFailed(Exception):
    """A check that the rest of the step depends on did not hold."""


KNOWN_FAULTS = Path(__file__).resolve().parent.parent / "known-faults.txt"


def read_known_faults(path=KNOWN_FAULTS):
    """(issue, run or "*", start of the check's text) for each line of the known-faults list."""
    faults = []
    for line in path.read_text(encoding="utf-8").splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        issue, run, text = (part.strip() for part in line.split("|", 2))
        faults.append((issue, run, text))
    return faults


class Run:
    def __init__(self, name, out_dir, window_manager, binary, resources, media):
        self.name = name
        self.out = Path(out_dir)
        if self.out.exists():
            shutil.rmtree(self.out)
        self.out.mkdir(parents=True)
        (self.out / "home").mkdir()
        self.window_manager = window_manager
        self.binary = binary
        self.resources = resources
        self.media = Path(media)
        self.desktop = Desktop(window_manager)
        self.results = []
        self.current = None
        self.shots = 0
        self.started = time.monotonic()
        self.known = read_known_faults()
        self.known_seen = set()

    def known_fault(self, what):
        for issue, run, text in self.known:
            if (run == "*" or run == self.name) and what.startswith(text):
                return issue, run, text
        return None

    # --- Recording.

    def shot(self, label, image=None):
        """Saves the screen (or the given array) as the next numbered PNG; returns the array."""
        image = self.desktop.grab() if image is None else image
        self.shots += 1
        path = self.out / f"{self.shots:02d}-{label}.png"
        Image.fromarray(image).save(path)
        image_path = path.name
        if self.current is not None:
            self.current["screenshots"].append(image_path)
        return image

    def check(self, what, condition, detail=""):
        """Records one thing a person would see; a false one fails the step but the step goes on,
        unless it is a known fault (known-faults.txt), which is reported as such."""
        entry = {"check": what, "ok": bool(condition), "detail": str(detail)}
        known = self.known_fault(what)
        if known:
            self.known_seen.add(known)
            entry["known"] = known[0]
        if not condition and known:
            entry["ok"] = None
            mark = f"KNOWN {known[0]}"
        else:
            mark = "ok" if condition else "FAIL"
        self.current["checks"].append(entry)
        print(f"    [{mark}] {what}{' — ' + str(detail) if detail else ''}", flush=True)
        return bool(condition)

    def note(self, what, detail=""):
        """Something worth reading in the report that is not a check (for example a check that the
        machine's load left nothing to judge)."""
        self.current["checks"].append({"check": what, "ok": None, "detail": str(detail)})
        print(f"    [note] {what}{' — ' + str(detail) if detail else ''}", flush=True)

    def require(self, what, condition, detail=""):
        """A check the rest of the step cannot do without."""
        if not self.check(what, condition, detail):
            raise StepFailed(what)
        return condition

    def step(self, title, action):
        """Runs one step of the scenario; an exception fails the step and the run goes on."""
        self.current = {"step": title, "checks": [], "screenshots": [], "error": None,
                        "seconds": 0.0}
        print(f"  step: {title}", flush=True)
        start = time.monotonic()
        try:
            action()
        except StepFailed:
            pass
        except Exception as error:  # the step could not be carried out: say why, go on
            self.current["error"] = f"{type(error).__name__}: {error}"
            self.current["traceback"] = traceback.format_exc()
            print(f"    [ERROR] {self.current['error']}", flush=True)
            try:
                self.shot("error")
            except Exception:
                pass
        self.current["seconds"] = round(time.monotonic() - start, 1)
        self.results.append(self.current)
        self.current = None

    # --- Outcome.

    def failures(self):
        failed = []
        for step in self.results:
            for check in step["checks"]:
                if check["ok"] is False:
                    failed.append(f"{step['step']}: {check['check']} ({check['detail']})")
            if step["error"]:
                failed.append(f"{step['step']}: {step['error']}")
        return failed

    def known_report(self):
        """The known faults seen failing, and those that now pass (their lines can go)."""
        failing, passing = [], []
        for step in self.results:
            for check in step["checks"]:
                if "known" in check:
                    (failing if check["ok"] is None else passing).append(
                        f"{step['step']}: {check['check']} [{check['known']}]")
        return failing, passing

    def write_report(self):
        report = {"run": self.name, "window_manager": self.window_manager,
                  "screen": [self.desktop.width, self.desktop.height],
                  "seconds": round(time.monotonic() - self.started, 1), "steps": self.results}
        (self.out / "report.json").write_text(json.dumps(report, indent=2, ensure_ascii=False))
        failing, passing = self.known_report()
        lines = [f"{self.name}: {len(self.failures())} failing, {len(failing)} known faults, {report['seconds']} s, "
                 f"screenshots in {self.out}"]
        lines += ["  " + f for f in self.failures()]
        lines += ["  known fault: " + f for f in failing]
        lines += ["  known fault no longer seen (its line in known-faults.txt can go): " + f for f in passing]
        (self.out / "report.txt").write_text("\n".join(lines) + "\n")
        print("\n".join(lines), flush=True)

"""The real `lumavane` binary in a fresh home of its own: start it, find its window and controls,
read what it saved."""

import base64
import json
import os
import re
import signal
import subprocess
import time
from pathlib import Path

from . import accessible
from .desktop import wait_until

# What must never appear in the player's error output.
CRASH_MARKERS = ("Sanitizer", "runtime error:", "Segmentation fault", "terminate called", "Assertion", "core dumped",
                 "double free", "QObject::~QObject: Timers cannot be stopped")


class Strings:
    """The interface texts as the program looks them up: Japanese keys, dotted keys, and the
    English table; a key missing from a table reads as itself."""

    def __init__(self, resources):
        bundle = Path(resources) / "Lumavane_Lumavane.bundle"
        self.tables = {lang: self._read(bundle / f"{lang}.lproj" / "Localizable.strings") for lang in ("ja", "en")}

    @staticmethod
    def _read(path):
        table = {}
        pattern = re.compile(r'^"((?:[^"\\]|\\.)*)"\s*=\s*"((?:[^"\\]|\\.)*)";\s*$')
        for line in path.read_text(encoding="utf-8").splitlines():
            match = pattern.match(line.strip())
            if match:
                table[match.group(1).replace('\\"', '"')] = match.group(2).replace('\\"', '"').replace("\\n", "\n")
        return table

    def text(self, key, lang):
        return self.tables[lang].get(key, key)


class Player:
    """One run of the program with its own defaults, config, data and runtime folders."""

    def __init__(self, binary, resources, home, log_dir, desktop, language="ja"):
        self.binary = binary
        self.home = Path(home)
        self.log_dir = Path(log_dir)
        self.desktop = desktop
        self.strings = Strings(resources)
        self.lang = language
        self.process = None
        self.launches = 0
        for sub in ("config", "data", "runtime", "home"):
            (self.home / sub).mkdir(parents=True, exist_ok=True)
        os.chmod(self.home / "runtime", 0o700)
        self.defaults_path = self.home / "config" / "defaults.json"
        self.env = dict(os.environ)
        self.env.update({
            "LUMAVANE_DEFAULTS": str(self.defaults_path),
            "XDG_CONFIG_HOME": str(self.home / "config"),
            "XDG_DATA_HOME": str(self.home / "data"),
            "XDG_RUNTIME_DIR": str(self.home / "runtime"),
            "HOME": str(self.home / "home"),
            "LUMAVANE_RESOURCES": str(resources),
            "LANG": "C.UTF-8",
            "LANGUAGE": language,
            "QT_QPA_PLATFORM": "xcb",
            # Lets the suite read the window's controls as a screen reader would.
            "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1",
            "SDL_AUDIODRIVER": "dummy",
        })
        self.env.pop("LC_ALL", None)
        # The player finds the accessibility bus through the session bus, as on a desktop.
        self.env.pop("AT_SPI_BUS_ADDRESS", None)
        self.env.pop("LC_MESSAGES", None)

    # --- Processes.

    def launch(self, *args):
        """Starts the program; returns the process. The first launch becomes `self.process`."""
        self.launches += 1
        tag = f"launch{self.launches}"
        out = open(self.log_dir / f"{tag}.stdout.txt", "w")
        err = open(self.log_dir / f"{tag}.stderr.txt", "w")
        process = subprocess.Popen([self.binary, *map(str, args)], env=self.env, stdout=out, stderr=err,
                                   cwd=self.home)
        process.log = self.log_dir / f"{tag}.stderr.txt"
        if self.process is None:
            self.process = process
        return process

    def running(self):
        return self.process is not None and self.process.poll() is None

    def wait_exit(self, timeout):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def kill(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGKILL)
            self.process.wait(10)

    def crash_lines(self, process=None):
        """What the program's error output says went wrong: crashes and sanitizer reports. Of a leak
        report only the leaks allocated from the player's own code count (libraries keep some of
        their allocations until exit)."""
        process = process or self.process
        try:
            text = Path(process.log).read_text(errors="replace")
        except OSError:
            return []
        found, block = [], []
        for line in text.splitlines() + [""]:
            if line.startswith(("Direct leak", "Indirect leak")):
                block = [line]
            elif block:
                if line.strip():
                    block.append(line)
                    continue
                own = [f.strip() for f in block[1:] if ("/src/" in f and "libsanitizer" not in f) or "bin/lumavane+" in f]
                if own:
                    found.append(f"{block[0]} {own[0]}")
                block = []
            elif any(marker in line for marker in CRASH_MARKERS) and "LeakSanitizer: detected memory leaks" not in line \
                    and not line.startswith("SUMMARY: AddressSanitizer") or "runtime error:" in line:
                found.append(line)
        return found

    # --- The window as a person sees it.

    def app(self):
        return accessible.application(self.process.pid) if self.running() else None

    def tree(self, showing_only=True):
        app = self.app()
        return accessible.read_tree(app, showing_only) if app else []

    def t(self, key):
        return self.strings.text(key, self.lang)

    def find(self, key=None, role=None, name=None, nodes=None, within=None):
        """Showing nodes whose name is the text of `key` in the current language (or `name`)."""
        wanted = name if name is not None else (self.t(key) if key is not None else None)
        nodes = nodes if nodes is not None else self.tree()
        found = []
        for node in nodes:
            if wanted is not None and node.name != wanted:
                continue
            if role is not None and node.role != role:
                continue
            if not node.rect or node.rect[2] <= 0 or node.rect[3] <= 0:
                continue
            if within and not inside(node.rect, within):
                continue
            found.append(node)
        return found

    def find_one(self, key=None, role=None, name=None, timeout=15, within=None):
        result = wait_until(lambda: self.find(key, role, name, within=within), timeout, 0.25)
        return result[0] if result else None

    def main_window(self, nodes=None):
        nodes = nodes if nodes is not None else self.tree()
        frames = [n for n in nodes if n.depth == 1 and n.role == "frame" and n.rect]
        return frames[0] if frames else None

    def x_window(self):
        windows = self.desktop.windows_of(self.process.pid)
        if not windows:
            return None
        main = self.main_window()
        if main is None:
            return windows[0]
        # The largest visible window of the process is the player window.
        best, area = windows[0], -1
        for w in windows:
            geometry = self.desktop.xdotool("getwindowgeometry", "--shell", w, check=False)
            values = dict(line.split("=", 1) for line in geometry.splitlines() if "=" in line)
            a = int(values.get("WIDTH", 0)) * int(values.get("HEIGHT", 0))
            if a > area:
                best, area = w, a
        return best

    def focus(self):
        # Only when the keyboard is elsewhere, as a person clicks a window only when it is not the
        # one they type into.
        window = self.x_window()
        if window and self.desktop.focused_window() != window:
            self.desktop.focus(window)
        return window

    def press(self, *keys):
        self.focus()
        self.desktop.key(*keys)

    def click(self, node):
        self.desktop.click(*node.center)

    # --- What the program saved.

    def defaults(self):
        try:
            return json.loads(self.defaults_path.read_text())
        except (OSError, ValueError):
            return {}

    def history(self):
        value = self.defaults().get("player.history")
        if isinstance(value, dict) and value.get("$type") == "data":
            try:
                return json.loads(base64.b64decode(value["value"]))
            except ValueError:
                return None
        return None


def inside(rect, area):
    x, y, w, h = rect
    ax, ay, aw, ah = area
    return x >= ax and y >= ay and x + w <= ax + aw and y + h <= ay + ah


def time_seconds(text):
    """'m:ss' as seconds, or None."""
    match = re.fullmatch(r"(\d+):(\d\d)", text or "")
    return int(match.group(1)) * 60 + int(match.group(2)) if match else None


def sleep(seconds):
    time.sleep(seconds)

"""Figures of the real lumavane binary on a virtual X screen (see measure-app.sh).

launch    launch to window shown, and --video launch to first frame shown (medians of runs)
startup   where the time to the first frame goes: one launch with the timing trace
playback  30 s of a 640x360 30 fps clip, shipped fast model at 2x: the share of shown frames that
          were enhanced and the frames never shown, from the timing trace (LUMAVANE_TIMING_TRACE)
memory    resident memory sampled every second over 5 minutes of 720p playback with enhancement
"""

import argparse
import atexit
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
from PIL import ImageGrab

# The acceptance suite's reading of screenshots of the generated clips.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "Acceptance"))
from lumavane_acceptance import picture  # noqa: E402

# The video pane of the default window at the top left of a screen without a window manager.
VIDEO_PANE = (310, 61, 930, 651)


SCRATCH = Path(tempfile.mkdtemp(prefix="lumavane-figures-"))
atexit.register(shutil.rmtree, SCRATCH, True)


def scratch(prefix):
    """A fresh folder for one launch's trace or kernel cache, removed when the program ends."""
    return Path(tempfile.mkdtemp(prefix=prefix, dir=SCRATCH))


def load():
    return open("/proc/loadavg").read().split()[:3]


def say(text):
    print(text, flush=True)


class Launch:
    """One start of the program in fresh defaults, config, data and runtime folders."""

    def __init__(self, args, extra_args=(), defaults=None, env=None):
        self.home = scratch("home-")
        for sub in ("config", "data", "runtime"):
            (self.home / sub).mkdir()
        os.chmod(self.home / "runtime", 0o700)
        self.defaults = self.home / "config" / "defaults.json"
        if defaults:
            self.defaults.write_text(json.dumps(defaults))
        self.env = dict(os.environ, LUMAVANE_DEFAULTS=str(self.defaults), XDG_CONFIG_HOME=str(self.home / "config"),
                        XDG_DATA_HOME=str(self.home / "data"), XDG_RUNTIME_DIR=str(self.home / "runtime"),
                        LUMAVANE_RESOURCES=args.resources, QT_QPA_PLATFORM="xcb", LANGUAGE="ja", LANG="C.UTF-8",
                        SDL_AUDIODRIVER="dummy")
        self.env.update(env or {})
        self.started = time.monotonic()
        self.process = subprocess.Popen([args.binary, *map(str, extra_args)], env=self.env,
                                        stdout=subprocess.DEVNULL, stderr=open(self.home / "stderr.txt", "w"))

    def elapsed(self):
        return time.monotonic() - self.started

    def wait_for(self, predicate, timeout, save=None):
        """Seconds from the start until `predicate(screenshot)` holds, or None. `save` names a PNG
        for the screenshot that satisfied it."""
        while self.elapsed() < timeout:
            if self.process.poll() is not None:
                return None
            image = ImageGrab.grab(xdisplay=None)
            at = self.elapsed()
            if predicate(np.asarray(image.convert("RGB"))):
                if save:
                    image.save(save)
                return at
            time.sleep(0.004)
        return None

    def quit(self):
        """Ctrl+Q to the window, as a person quits: the program then writes what it keeps
        (the timing trace among them)."""
        windows = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(self.process.pid)],
                                 capture_output=True, text=True).stdout.split()
        if windows:
            subprocess.run(["xdotool", "windowfocus", "--sync", windows[0]], capture_output=True)
            subprocess.run(["xdotool", "key", "ctrl+q"], capture_output=True)
            try:
                self.process.wait(30)
            except subprocess.TimeoutExpired:
                pass
        self.stop()

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.home, ignore_errors=True)


def window_shown(shot):
    """The player window (at the top left without a window manager) is painted: its sidebar
    (dark grey) covers the black root there."""
    return (shot[60:760, 0:300].max(axis=2) > 12).mean() > 0.9


def frame_shown(shot):
    """The clip's red quadrant is on screen."""
    red = (shot[:, :, 0] > 200) & (shot[:, :, 1] < 60) & (shot[:, :, 2] < 60)
    return red.sum() > 5000


def seconds(value):
    return "none" if value is None else f"{value:.2f} s"


def enhanced_shown(shot):
    """The compare view (the default) shows its "Enhanced" badge: an enhanced picture is on screen."""
    rect = picture.picture_rect(shot, VIDEO_PANE)
    return rect is not None and picture.enhanced_badge(picture.crop(shot, rect))


def median_text(values):
    found = [v for v in values if v is not None]
    if not found:
        return "none"
    return f"median {statistics.median(found):.2f} s (min {min(found):.2f}, max {max(found):.2f}, {len(found)} runs)"


def launch_figures(args):
    """Each run: a launch without a video, then --video main.mp4 (GStreamer) and main.mkv (FFmpeg).
    With --cold every launch starts with an empty OpenCL kernel cache, as the first launch after
    installing does."""
    say(f"load average before: {' '.join(load())} on {os.cpu_count()} cores")
    keys = ("window", "mp4 window", "mp4 frame", "mp4 enhanced", "mkv frame", "mkv enhanced")
    found = {k: [] for k in keys}
    for i in range(args.runs):
        env = {}
        if args.cold:
            env["POCL_CACHE_DIR"] = str(scratch("pocl-"))
        run = Launch(args, env=env)
        found["window"].append(run.wait_for(window_shown, 60))
        run.stop()
        for clip, tag in (("main.mp4", "mp4"), ("main.mkv", "mkv")):
            if args.cold:
                env["POCL_CACHE_DIR"] = str(scratch("pocl-"))
            run = Launch(args, ["--video", Path(args.media) / clip], env=env)
            shown = run.wait_for(window_shown, 60)
            if tag == "mp4":
                found["mp4 window"].append(shown)
            found[f"{tag} frame"].append(run.wait_for(frame_shown, 60))
            found[f"{tag} enhanced"].append(run.wait_for(enhanced_shown, 60))
            run.stop()
        say(f"run {i + 1}: " + "; ".join(f"{k} {seconds(found[k][-1])}" for k in keys))
    say(f"launch to window shown: {median_text(found['window'])}")
    say(f"--video launch to window shown: {median_text(found['mp4 window'])}")
    say(f"--video main.mp4 (GStreamer) to first frame shown: {median_text(found['mp4 frame'])}")
    say(f"--video main.mp4 to first enhanced frame shown: {median_text(found['mp4 enhanced'])}")
    say(f"--video main.mkv (FFmpeg direct) to first frame shown: {median_text(found['mkv frame'])}")
    say(f"--video main.mkv to first enhanced frame shown: {median_text(found['mkv enhanced'])}")
    say(f"load average after: {' '.join(load())}")


def read_trace(path, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            return json.loads(Path(path).read_text())
        except (OSError, ValueError):
            time.sleep(0.25)
    return None


def startup_figures(args):
    """One launch with --video and the timing trace: the moments of the first frame's road."""
    say(f"load average before: {' '.join(load())} on {os.cpu_count()} cores")
    for clip in ("main.mp4", "main.mkv"):
        for attempt in range(args.runs):
            trace = scratch("trace-") / "trace.json"
            env = {"LUMAVANE_TIMING_TRACE": str(trace)}
            if args.cold:
                env["POCL_CACHE_DIR"] = str(scratch("pocl-"))
            run = Launch(args, ["--video", Path(args.media) / clip], env=env)
            window = run.wait_for(window_shown, 30)
            frame = run.wait_for(frame_shown, 60, save=f"/tmp/lumavane-first-frame-{clip}-{attempt + 1}.png")
            enhanced = run.wait_for(enhanced_shown, 60, save=f"/tmp/lumavane-first-enhanced-{clip}-{attempt + 1}.png")
            time.sleep(1)
            start = run.started
            run.quit()
            rows = read_trace(trace, 1) or []
            firsts = {}
            for row in rows:
                firsts.setdefault(row["event"], row["time"] - start)
            order = ", ".join(f"{k} {v:.2f}" for k, v in sorted(firsts.items(), key=lambda kv: kv[1]))
            say(f"{clip} run {attempt + 1}: window {seconds(window)}, first frame on screen {seconds(frame)}, first "
                f"enhanced frame on screen {seconds(enhanced)}; first trace events: {order or 'none (trace not written)'}")
    say(f"load average after: {' '.join(load())}")


def frame_times(clip):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries", "frame=pts_time",
                          "-of", "csv=p=0", str(clip)], capture_output=True, text=True, check=True).stdout
    return [float(line.strip(",")) for line in out.split() if line.strip(",")]


def replay_presentation(rows, fps, with_times=False):
    """What the screen showed, replayed from the trace with the session's presentation rules: on
    each display tick the clock stands at the newest frame taken in plus the time since (the
    platform back-end takes each frame in at its due time); the newest enhanced picture due by the
    clock is shown unless it is more than 150 ms late, else the newest source frame due. Returns
    the pictures put on screen, in order, as (kind, pts) with kind "E" (enhanced) or "S" (source);
    with `with_times` also the trace time each was put on screen."""
    tolerance = min(0.25 / fps, 0.01)
    inputs = [(r["time"], r["pts"]) for r in rows if r["event"] == "input"]
    mains = [(r["time"], r["pts"]) for r in rows if r["event"] == "main"]
    ticks = [r["time"] for r in rows if r["event"] == "tick"]
    shown, last = [], None
    times = []
    i = j = 0
    newest_input = None
    enhanced = []
    for t in ticks:
        while i < len(inputs) and inputs[i][0] <= t:
            newest_input = inputs[i]
            i += 1
        while j < len(mains) and mains[j][0] <= t:
            enhanced.append(mains[j][1])
            j += 1
        if newest_input is None:
            continue
        clock = newest_input[1] + min(t - newest_input[0], 1 / fps)
        due = [p for p in enhanced if p <= clock + tolerance]
        if due and clock - max(due) <= 0.150:
            picture = ("E", round(max(due), 4))
        else:
            picture = ("S", round(newest_input[1], 4))
        if picture != last:
            shown.append(picture)
            times.append(t)
            last = picture
    return (shown, times) if with_times else shown


PRESETS = {"fast": "高速", "quality": "高画質", "auto": "AUTO"}


def refresh_gaps(rows):
    """The display refreshes' gaps (seconds, in order): a refresh that comes late means the main
    thread was held up, and the picture stood still meanwhile."""
    ticks = [r["time"] for r in rows if r["event"] == "tick"]
    return [b - a for a, b in zip(ticks, ticks[1:])]


def playback_figures(args):
    """Plays the clip with a shipped model at 2x (the fast one unless --preset says otherwise),
    shown enhanced, and reads the trace: the pictures the screen showed (replayed from the trace's
    ticks, frames taken in and enhanced pictures finished, see replay_presentation), the share of
    them that were enhanced, the clip's frames that never reached the screen, enhanced or not, and
    the longest waits between display refreshes (a stall of the main thread; with --preset auto,
    in the compare view at the display's size as a new user meets it, the automatic mode switches
    models meanwhile). The trace keeps the 20 s after the first enhancement; the clip plays 30 s."""
    clip = Path(args.media) / "main.mp4"
    trace = scratch("trace-") / "trace.json"
    defaults = {"player.modelPreset": PRESETS[args.preset], "player.selectedModelKind": "default",
                "player.preferences": {"enabled": True, "mode": "Enhanced", "outputScale": "2×"}}
    if args.preset == "auto":
        # As a new user meets it: the compare view at the display's size.
        defaults = {"player.modelPreset": PRESETS["auto"]}
    env = {"LUMAVANE_TIMING_TRACE": str(trace)}
    if args.cold:
        env["POCL_CACHE_DIR"] = str(scratch("pocl-"))
    say(f"load average before: {' '.join(load())} on {os.cpu_count()} cores")
    run = Launch(args, ["--video", clip], defaults=defaults, env=env)
    rows = read_trace(trace, 45)
    time.sleep(max(0.0, 31 - run.elapsed()))
    run.stop()
    say(f"load average after: {' '.join(load())}")
    if not rows:
        say("the timing trace was not written")
        return 1
    frames = frame_times(clip)
    fps = (len(frames) - 1) / (frames[-1] - frames[0])
    inputs = [r["pts"] for r in rows if r["event"] == "input"]
    mains = {round(r["pts"], 4): r["value"] for r in rows if r["event"] == "main"}
    if len(inputs) < 2:
        say(f"too few frames taken in: {len(inputs)}")
        return 1
    window = rows[-1]["time"] - rows[0]["time"]
    shown, shown_at = replay_presentation(rows, fps, with_times=True)
    enhanced = [p for kind, p in shown if kind == "E"]
    expected = [round(t, 4) for t in frames if min(inputs) - 1e-3 <= t <= max(inputs) + 1e-3]
    on_screen = {p for _, p in shown}
    unseen = [t for t in expected if not any(abs(t - p) < 1e-3 for p in on_screen)]
    steady_from = min(inputs) + 2
    steady = [(k, p) for k, p in shown if p >= steady_from]
    say(f"trace: {len(rows)} events over {window:.1f} s, clip {min(inputs):.2f} to {max(inputs):.2f} s, "
        f"{len(expected)} frames at {fps:.2f} fps, {len(set(inputs))} taken in")
    say(f"pictures shown: {len(shown)}, enhanced {len(enhanced)} ({100 * len(enhanced) / len(shown):.1f} %); after "
        f"the first 2 s {100 * sum(k == 'E' for k, _ in steady) / max(1, len(steady)):.1f} %")
    say(f"frames never shown (neither enhanced nor original): {len(unseen)} of {len(expected)} "
        f"({100 * len(unseen) / len(expected):.1f} %)")
    say(f"enhanced pictures finished: {len(mains)} ({len(mains) / window:.1f} a second), median step "
        f"{statistics.median(mains.values()):.0f} ms")
    # Each automatic switch: the pictures shown while the next model built, and in the 2 s before
    # the build and after its installation (the model in place goes on enhancing meanwhile).
    builds = [r["time"] for r in rows if r["event"] == "modelBuild" and r["value"] == 1]
    installs = [r["time"] for r in rows if r["event"] == "modelInstall" and r["value"] == 1]
    for number, start in enumerate(builds, 1):
        end = next((t for t in installs if t >= start), None)
        spans = [("before", start - 2, start), ("building", start, end if end is not None else rows[-1]["time"])]
        if end is not None:
            spans.append(("after", end, end + 2))
        parts = []
        for name, a, b in spans:
            kinds = [k for (k, _), t in zip(shown, shown_at) if a <= t < b]
            share = f"{100 * kinds.count('E') / len(kinds):.0f} % of {len(kinds)}" if kinds else "none shown"
            parts.append(f"{name} {share}")
        build_time = f"{end - start:.2f} s" if end is not None else "not installed in the trace"
        say(f"automatic switch {number} (build {build_time}): pictures shown enhanced " + ", ".join(parts))
    gaps = sorted(refresh_gaps(rows), reverse=True)
    if gaps:
        say(f"display refreshes: longest waits {', '.join(f'{1000 * g:.0f}' for g in gaps[:3])} ms; "
            f"{sum(g > 0.1 for g in gaps)} waits over 100 ms")
    if args.keep_trace:
        shutil.copy(trace, args.keep_trace)
    return 0


def memory_figures(args):
    clip = Path(args.media) / ("long-720p.mkv" if args.direct else "long-720p.mp4")
    say(f"clip {clip.name} ({'the direct engine' if args.direct else 'GStreamer'})")
    say(f"load average before: {' '.join(load())} on {os.cpu_count()} cores")
    run = Launch(args, ["--video", clip])
    samples = []
    status = Path(f"/proc/{run.process.pid}/status")
    while run.elapsed() < args.seconds and run.process.poll() is None:
        fields = dict(line.split(":", 1) for line in status.read_text().splitlines() if ":" in line)
        samples.append((run.elapsed(), int(fields["VmRSS"].split()[0]) / 1024, int(fields["VmHWM"].split()[0]) / 1024))
        if len(samples) % 60 == 0:
            say(f"  {samples[-1][0]:.0f} s: RSS {samples[-1][1]:.0f} MB, peak {samples[-1][2]:.0f} MB, "
                f"load {' '.join(load())}")
        time.sleep(1.0)
    alive = run.process.poll() is None
    run.stop()
    say(f"load average after: {' '.join(load())}")
    if not samples:
        return 1
    late = [(t, r) for t, r, _ in samples if t >= args.warmup]
    slope = 0.0
    if len(late) >= 2:
        ts, rs = np.array([t for t, _ in late]), np.array([r for _, r in late])
        slope = float(np.polyfit(ts, rs, 1)[0]) * 60
    for mark in (10, 30, 60, 120, 180, 240, 300):
        near = [s for s in samples if s[0] >= mark]
        if near:
            say(f"RSS at {mark:3d} s: {near[0][1]:.0f} MB")
    say(f"peak RSS: {samples[-1][2]:.0f} MB; after {args.warmup} s the RSS moves {slope:+.2f} MB a minute "
        f"(least squares), from {late[0][1] if late else 0:.0f} to {late[-1][1] if late else 0:.0f} MB; "
        f"the player {'was still running' if alive else 'had exited'}")
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("figure", choices=("launch", "startup", "playback", "memory"))
    parser.add_argument("--binary", required=True)
    parser.add_argument("--resources", required=True)
    parser.add_argument("--media", required=True)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--seconds", type=float, default=300)
    parser.add_argument("--warmup", type=float, default=60)
    parser.add_argument("--cold", action="store_true",
                        help="launch, startup, playback: an empty OpenCL kernel cache each time")
    parser.add_argument("--direct", action="store_true",
                        help="memory: the same clip in Matroska, which plays on the direct engine")
    parser.add_argument("--keep-trace", help="playback: copy the timing trace here")
    parser.add_argument("--preset", choices=sorted(PRESETS), default="fast",
                        help="playback: the shipped model preset (auto: the automatic mode, from the quality model)")
    args = parser.parse_args()
    return {"launch": launch_figures, "startup": startup_figures, "playback": playback_figures,
            "memory": memory_figures}[args.figure](args) or 0


if __name__ == "__main__":
    sys.exit(main())

"""The virtual X screen: what it shows (screenshots) and a person's hands on it (xdotool)."""

import os
import shutil
import subprocess
import time

import numpy as np
from PIL import ImageGrab


def wait_until(predicate, timeout, interval=0.1):
    """Polls `predicate` until it returns something true or `timeout` seconds pass; returns
    the last value. For what a person would wait for, never as a measured time."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


class Desktop:
    def __init__(self, window_manager):
        self.window_manager = window_manager
        self.wm_process = None
        shot = self.grab()
        self.height, self.width = shot.shape[:2]

    # --- Screen.

    def grab(self):
        """The whole screen as an RGB array (rows, columns, 3)."""
        return np.asarray(ImageGrab.grab(xdisplay=None).convert("RGB"))

    # --- Window manager.

    def start_window_manager(self, log_path):
        if self.window_manager != "openbox":
            return
        if not shutil.which("openbox"):
            raise RuntimeError("openbox is not installed (scripts/install-deps installs it)")
        log = open(log_path, "w")
        self.wm_process = subprocess.Popen(["openbox", "--sm-disable"], stdout=log, stderr=subprocess.STDOUT)
        # Ready once it has announced itself on the root window.
        if not wait_until(lambda: "window id" in self._xprop_root("_NET_SUPPORTING_WM_CHECK"), 20):
            raise RuntimeError("openbox did not start")

    def stop_window_manager(self):
        if self.wm_process and self.wm_process.poll() is None:
            self.wm_process.terminate()
            try:
                self.wm_process.wait(5)
            except subprocess.TimeoutExpired:
                self.wm_process.kill()

    def _xprop_root(self, prop):
        result = subprocess.run(["xprop", "-root", prop], capture_output=True, text=True)
        return result.stdout

    # --- Hands.

    def xdotool(self, *args, check=True):
        result = subprocess.run(["xdotool", *map(str, args)], capture_output=True, text=True, timeout=30)
        if check and result.returncode != 0:
            raise RuntimeError(f"xdotool {' '.join(map(str, args))}: {result.stderr.strip()}")
        return result.stdout.strip()

    def key(self, *keys):
        self.xdotool("key", "--clearmodifiers", "--delay", "60", *keys)

    def type_text(self, text):
        self.xdotool("type", "--delay", "20", text)

    def move(self, x, y):
        self.xdotool("mousemove", "--sync", int(x), int(y))

    def click(self, x, y, button=1):
        self.move(x, y)
        time.sleep(0.05)
        self.xdotool("click", button)

    def drag(self, start, end, steps=12):
        self.move(*start)
        time.sleep(0.05)
        self.xdotool("mousedown", 1)
        for i in range(1, steps + 1):
            f = i / steps
            self.move(start[0] + (end[0] - start[0]) * f, start[1] + (end[1] - start[1]) * f)
            time.sleep(0.03)
        self.xdotool("mouseup", 1)

    def windows_of(self, pid):
        out = self.xdotool("search", "--onlyvisible", "--pid", pid, check=False)
        return [int(w) for w in out.split()] if out else []

    def focus(self, window):
        """Gives the window the keyboard: through the window manager when there is one, as a
        click on the window would; without one, by setting the input focus directly."""
        if self.window_manager == "openbox":
            self.xdotool("windowactivate", "--sync", window, check=False)
        else:
            self.xdotool("windowfocus", "--sync", window, check=False)

    def focused_window(self):
        out = self.xdotool("getwindowfocus", check=False)
        return int(out) if out.isdigit() else None


def environment_summary():
    return {k: os.environ.get(k, "") for k in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS")}

"""Finding the player's controls as assistive technology does (AT-SPI), to know where to click.

The clicks and keys themselves go through the X server (xdotool), as a person's would; AT-SPI only
tells what is on screen, where, and with which text. Nothing is cached: every query walks the
showing part of the tree again, so it sees the window as it is now.
"""

import os
import subprocess
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402


def start_bus(timeout=90):
    """Starts the accessibility bus and its registry and waits until the registry answers, before
    any program connects: a bus that comes up slowly under load otherwise leaves the registry or the
    player unregistered for good."""
    deadline = time.monotonic() + timeout
    address = None
    while time.monotonic() < deadline:
        result = subprocess.run(["gdbus", "call", "--session", "--dest", "org.a11y.Bus", "--object-path",
                                 "/org/a11y/bus", "--method", "org.a11y.Bus.GetAddress"],
                                capture_output=True, text=True, timeout=60)
        if result.returncode == 0 and "'" in result.stdout:
            address = result.stdout.split("'")[1]
            break
        time.sleep(0.5)
    while address and time.monotonic() < deadline:
        result = subprocess.run(["gdbus", "call", "--address", address, "--dest", "org.a11y.atspi.Registry",
                                 "--object-path", "/org/a11y/atspi/accessible/root", "--method",
                                 "org.freedesktop.DBus.Properties.Get", "org.a11y.atspi.Accessible", "ChildCount"],
                                capture_output=True, text=True, timeout=60)
        if result.returncode == 0:
            # The suite and the player both go straight to this bus.
            os.environ["AT_SPI_BUS_ADDRESS"] = address
            Atspi.init()
            return True
        time.sleep(0.5)
    raise RuntimeError("the accessibility bus did not come up")


class Node:
    """One accessible object as it was when the tree was read."""

    def __init__(self, accessible, depth, parent=None):
        self.accessible = accessible
        self.depth = depth
        self.parent = parent
        self.name = _safe(accessible.get_name, "")
        self.role = _safe(accessible.get_role_name, "")
        self.rect = None
        try:
            extents = accessible.get_extents(Atspi.CoordType.SCREEN)
            self.rect = (extents.x, extents.y, extents.width, extents.height)
        except Exception:  # an object without the component interface
            pass
        states = _safe(accessible.get_state_set, None)
        self.showing = bool(states and states.contains(Atspi.StateType.SHOWING))
        self.enabled = bool(states and states.contains(Atspi.StateType.ENABLED))
        self.checked = bool(states and states.contains(Atspi.StateType.CHECKED))
        self.children = []

    @property
    def center(self):
        x, y, w, h = self.rect
        return x + w // 2, y + h // 2

    def text(self):
        """The text the object shows (a label's own text, which its name may not be)."""
        try:
            iface = self.accessible.get_text_iface()
            return iface.get_text(0, iface.get_character_count()) if iface else self.name
        except Exception:
            return self.name

    def description(self):
        return _safe(self.accessible.get_description, "")

    def value(self):
        try:
            return self.accessible.get_value_iface().get_current_value()
        except Exception:
            return None

    def __repr__(self):
        return f"{self.role} {self.name!r} {self.rect}{'' if self.showing else ' (hidden)'}"


def _safe(call, default):
    try:
        return call()
    except Exception:
        return default


def application(pid):
    """The accessible application of process `pid`, or None while it has not registered."""
    desktop = Atspi.get_desktop(0)
    for i in range(_safe(desktop.get_child_count, 0)):
        app = _safe(lambda: desktop.get_child_at_index(i), None)
        if app is None:
            continue
        if _safe(app.get_process_id, -1) == pid:
            app.set_cache_mask(Atspi.Cache.NONE)
            return app
    return None


def read_tree(app, showing_only=True):
    """Every node under the application, depth first; hidden subtrees are skipped."""
    nodes = []

    def walk(accessible, depth, parent):
        node = Node(accessible, depth, parent)
        if parent is not None and showing_only and not node.showing:
            return
        nodes.append(node)
        if parent:
            parent.children.append(node)
        for i in range(_safe(accessible.get_child_count, 0)):
            child = _safe(lambda: accessible.get_child_at_index(i), None)
            if child is not None:
                walk(child, depth + 1, node)

    app.clear_cache()
    walk(app, 0, None)
    return nodes


def dump(nodes):
    return "\n".join("  " * n.depth + repr(n) for n in nodes)

"""Dropping files on a window as a file manager does: the source side of the XDND protocol
(version 5) over python-xlib, offering the files as text/uri-list."""

import time
import urllib.parse
from pathlib import Path

from Xlib import X, Xatom, display
from Xlib.protocol import event


def drop_files(paths, x, y, timeout=20):
    """Drags `paths` to the root position (x, y) and drops them there. Returns True when the
    window under that point took the drop (its XdndFinished arrived with the drop accepted)."""
    d = display.Display()
    root = d.screen().root
    atom = lambda name: d.intern_atom(name)  # noqa: E731
    uri_list = atom("text/uri-list")
    selection = atom("XdndSelection")
    copy = atom("XdndActionCopy")
    source = root.create_window(-10, -10, 1, 1, 0, X.CopyFromParent, X.InputOnly)
    source.change_property(atom("XdndAware"), Xatom.ATOM, 32, [5])
    source.set_selection_owner(selection, X.CurrentTime)
    payload = "".join("file://" + urllib.parse.quote(str(Path(p).resolve())) + "\r\n" for p in paths).encode()

    target = _aware_window_at(d, root, atom("XdndAware"), x, y)
    if target is None:
        return False

    def send(name, data):
        message = event.ClientMessage(window=target, client_type=atom(name), data=(32, data))
        target.send_event(message, event_mask=0)
        d.flush()

    send("XdndEnter", [source.id, 5 << 24, uri_list, 0, 0])
    send("XdndPosition", [source.id, 0, (x << 16) | y, X.CurrentTime, copy])
    accepted = finished = None
    dropped = False
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and finished is None:
        while d.pending_events():
            e = d.next_event()
            if e.type == X.ClientMessage and e.client_type == atom("XdndStatus"):
                accepted = bool(e.data[1][1] & 1)
                if accepted and not dropped:
                    send("XdndDrop", [source.id, 0, X.CurrentTime, 0, 0])
                    dropped = True
                elif not accepted:
                    send("XdndLeave", [source.id, 0, 0, 0, 0])
                    return False
            elif e.type == X.SelectionRequest:
                # The target asks for the dropped data: the URI list, into its property.
                prop = e.property if e.property != X.NONE else e.target
                e.requestor.change_property(prop, e.target, 8, payload)
                notify = event.SelectionNotify(time=e.time, requestor=e.requestor, selection=e.selection,
                                               target=e.target, property=prop)
                e.requestor.send_event(notify)
                d.flush()
            elif e.type == X.ClientMessage and e.client_type == atom("XdndFinished"):
                finished = bool(e.data[1][1] & 1)
        time.sleep(0.02)
    source.destroy()
    d.close()
    return bool(finished)


def _aware_window_at(d, root, aware, x, y):
    """The top-level window under (x, y) that takes drops (has XdndAware), descending through
    window-manager frames."""
    window = root
    while True:
        reply = window.translate_coords(root, x, y)
        child = reply.child
        if not child or child == X.NONE:
            return None
        if child.get_full_property(aware, X.AnyPropertyType):
            return child
        window = child

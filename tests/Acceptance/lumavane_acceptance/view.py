"""Where things are in the player window, found from its controls and its pixels."""

from . import picture
from .desktop import wait_until
from .player import time_seconds


def seek_bar(player, nodes=None):
    found = player.find("再生位置", nodes=nodes)
    found = [n for n in found if n.role != "label"]
    return found[0] if found else None


def transport_row(player, nodes=None):
    bar = seek_bar(player, nodes)
    return bar.parent if bar else None


def time_labels(player, nodes=None):
    """(elapsed, total) in seconds as the transport bar's two time labels read, or None."""
    row = transport_row(player, nodes)
    if row is None:
        return None
    labels = sorted((n for n in row.children if n.role == "label" and time_seconds(n.name) is not None),
                    key=lambda n: n.rect[0])
    if len(labels) < 2:
        return None
    return time_seconds(labels[0].name), time_seconds(labels[-1].name)


class TimeLabels:
    """The transport bar's two time labels, found once and then read cheaply (a walk of the whole
    tree can take seconds on a loaded desktop, a label's text one call)."""

    def __init__(self, player, nodes=None):
        row = transport_row(player, nodes)
        labels = [] if row is None else sorted(
            (n for n in row.children if n.role == "label" and time_seconds(n.name) is not None),
            key=lambda n: n.rect[0])
        self.labels = (labels[0], labels[-1]) if len(labels) >= 2 else None

    def read(self):
        """(elapsed, total) in seconds as the labels read now; None for what cannot be read."""
        if self.labels is None:
            return None, None
        return tuple(_seconds_of(label) for label in self.labels)


def _seconds_of(label):
    try:
        return time_seconds(label.accessible.get_name())
    except Exception:
        return None


def video_area(player, nodes=None):
    """The part of the screen where the video pane shows its picture: the centre pane above the
    transport bar (the whole pane when the bar is hidden)."""
    nodes = nodes if nodes is not None else player.tree()
    bar = seek_bar(player, nodes)
    split = [n for n in nodes if n.role == "split pane" and n.showing]
    if bar is not None and split:
        for pane in split[0].children:
            x, y, w, h = pane.rect
            bx, by = bar.center
            if x <= bx < x + w and y <= by < y + h:
                row = bar.parent
                top = row.parent.rect[1] if row.parent and row.parent.rect else row.rect[1]
                bottom = min(y + h, top) if top > y else y + h
                return (x, y, w, bottom - y)
    window = player.main_window(nodes)
    if window is None:
        return None
    # Full screen: the controls are hidden, the picture fills the window.
    return window.rect


def picture_now(run, player, label=None, nodes=None, area=None):
    """A screenshot and the picture's rectangle in it (None when no picture is shown). `area`, when
    known, saves reading the window's controls again."""
    area = area or video_area(player, nodes)
    shot = run.desktop.grab()
    if label:
        run.shot(label, shot)
    if area is None:
        return shot, None
    return shot, picture.picture_rect(shot, area)


def wait_for_picture(run, player, timeout):
    """Waits until the video pane shows a picture that is not black; returns (shot, rect)."""
    found = {}

    def shown():
        shot, rect = picture_now(run, player)
        if rect and not picture.is_black(picture.crop(shot, rect)):
            found["value"] = (shot, rect)
            return True
        return False

    wait_until(shown, timeout, 0.25)
    return found.get("value", (None, None))


def settle_picture(run, player, rect, timeout=15, quiet=1.0):
    """Waits until the picture stays the same for `quiet` seconds; returns the last screenshot,
    or None when it kept changing."""
    last = run.desktop.grab()
    calm_since = None
    result = {}

    def calm():
        nonlocal last, calm_since
        import time
        now = time.monotonic()
        shot = run.desktop.grab()
        if picture.difference(picture.crop(shot, rect), picture.crop(last, rect)) < 0.001:
            calm_since = calm_since or now
            if now - calm_since >= quiet:
                result["shot"] = shot
                return True
        else:
            calm_since = None
        last = shot
        return False

    wait_until(calm, timeout, 0.2)
    return result.get("shot")


def title_label(player, nodes=None):
    """The toolbar's label over the video that shows the file name (its name is "ファイル名", the
    file's name its description, as a screen reader reads it), or None."""
    labels = player.find("ファイル名", role="label", nodes=nodes)
    return labels[0] if labels else None


def title(player, nodes=None):
    """The file name the toolbar shows over the video, or None."""
    label = title_label(player, nodes)
    return label.description() if label else None

"""What a person sees in a screenshot of the generated clips (see generate-media.sh): whether there
is a picture, whether it moves, where its bars are and which way up it stands."""

import numpy as np

# The clips' quadrant colours and what a screenshot shows for them after encoding.
COLOURS = {
    "red": (255, 0, 0),
    "green": (0, 128, 0),
    "blue": (0, 0, 255),
    "yellow": (255, 255, 0),
}


def crop(shot, rect):
    x, y, w, h = rect
    return shot[max(y, 0) : y + h, max(x, 0) : x + w]


def picture_rect(shot, area):
    """The bounding box (x, y, w, h) of the video picture inside `area` of the screenshot: the
    surface letterboxes in black, so the picture is the widest run of mostly lit columns and, within
    them, the mostly lit rows. None when the area shows no picture."""
    region = crop(shot, area).astype(np.int16)
    if region.size == 0:
        return None
    lit = region.max(axis=2) > 40
    cols = _longest_run(lit.mean(axis=0) > 0.3)
    if cols is None or cols[1] - cols[0] < 20:
        return None
    rows = _longest_run(lit[:, cols[0] : cols[1]].mean(axis=1) > 0.5)
    if rows is None or rows[1] - rows[0] < 20:
        return None
    return (area[0] + cols[0], area[1] + rows[0], cols[1] - cols[0], rows[1] - rows[0])


def _longest_run(flags):
    """(start, end) of the longest run of true values, or None."""
    best, start = None, None
    for i, flag in enumerate(list(flags) + [False]):
        if flag and start is None:
            start = i
        elif not flag and start is not None:
            if best is None or i - start > best[1] - best[0]:
                best = (start, i)
            start = None
    return best


def is_black(region):
    """Nothing a person would call a picture: (almost) every pixel dark."""
    return region.size == 0 or (region.max(axis=2) > 40).mean() < 0.05


def difference(a, b):
    """Share of pixels that differ visibly between two equally sized regions."""
    if a.shape != b.shape:
        return 1.0
    delta = np.abs(a.astype(np.int16) - b.astype(np.int16)).max(axis=2)
    return float((delta > 32).mean())


def white_bar_center(region):
    """Row (fraction of the region's height) of the horizontal white bar, or None."""
    if region.size == 0:
        return None
    white = (region.min(axis=2) > 190).mean(axis=1)
    rows = np.where(white > 0.6)[0]
    if len(rows) == 0 or len(rows) > region.shape[0] * 0.2:
        return None
    return (rows[0] + rows[-1] + 1) / 2 / region.shape[0]


def magenta_bar_center(region):
    """Column (fraction of the region's width) of the vertical magenta bar, or None."""
    if region.size == 0:
        return None
    r, g, b = (region[:, :, i].astype(np.int16) for i in range(3))
    magenta = ((r > 170) & (b > 170) & (g < 110)).mean(axis=0)
    cols = np.where(magenta > 0.5)[0]
    if len(cols) == 0 or len(cols) > region.shape[1] * 0.2:
        return None
    return (cols[0] + cols[-1] + 1) / 2 / region.shape[1]


def clip_time_from_magenta(fraction, duration):
    """The clip time that puts the magenta bar's centre at `fraction` of the picture width."""
    return (fraction * 640 - 8) * duration / 624


def grain(region):
    """How grainy the flat quadrants on the left of the picture look: the robust spread (median
    absolute deviation, in levels) of their pixels. The clips are flat colours, so a plain picture
    reads about 0 and a grainy one several levels; the thin bars are too few pixels to count."""
    h, w = region.shape[:2]
    spreads = []
    for y0, y1 in ((0.1, 0.4), (0.6, 0.9)):
        part = region[int(h * y0) : int(h * y1), int(w * 0.1) : int(w * 0.4)].astype(np.float32).mean(axis=2)
        if part.size:
            spreads.append(float(np.median(np.abs(part - np.median(part))) * 1.4826))
    return max(spreads) if spreads else 0.0


def nearest_colour(rgb):
    return min(COLOURS, key=lambda name: sum((a - b) ** 2 for a, b in zip(COLOURS[name], rgb)))


def quadrants(region):
    """The colour names of the four quadrants (top left, top right, bottom left, bottom right),
    each from the median of its inner part, so that the thin bars do not count."""
    h, w = region.shape[:2]
    names = []
    for qy in (0, 1):
        for qx in (0, 1):
            part = region[qy * h // 2 + h // 8 : (qy + 1) * h // 2 - h // 8, qx * w // 2 + w // 8 : (qx + 1) * w // 2 - w // 8]
            names.append(nearest_colour(np.median(part.reshape(-1, 3), axis=0)))
    return tuple(names)


def boundary_column(region):
    """Column (fraction of width) of the compare view's boundary: a thin line that lightens the
    picture under it, so that it is brighter than the picture a few pixels to either side over
    most of the picture's height. None when there is no such line."""
    light = region.astype(np.int32).sum(axis=2)
    gap = 5
    inner = light[:, gap:-gap]
    brighter = (inner - np.maximum(light[:, : -2 * gap], light[:, 2 * gap :]) > 90).mean(axis=0)
    cols = np.where(brighter > 0.6)[0]
    if len(cols) == 0 or len(cols) > region.shape[1] * 0.03:
        return None
    return (cols[0] + cols[-1] + 1) / 2 / region.shape[1] + gap / region.shape[1]


ACCENT = (122, 230, 186)  # the player's accent colour, sRGB (0.48, 0.90, 0.73)


def enhanced_badge(region):
    """Whether the compare view's "Enhanced" badge shows in the picture's top right corner: accent-
    coloured text on a dark capsule, which the view draws only while the enhanced picture is on
    screen. (The clips have no dark areas, and no accent colour but where edges blend.)"""
    h, w = region.shape[:2]
    corner = region[: min(60, h), max(0, w - 260) :].astype(np.int16)
    accent = (np.abs(corner - np.array(ACCENT)).max(axis=2) < 45).sum()
    dark = (corner.max(axis=2) < 70).sum()
    return bool(accent >= 20 and dark >= 300)


def panel_rect(shot, area):
    """The bounding box of a dark grey panel (a popover) lying over `area`, or None. The video's
    letterbox is black and the clips are bright, so the panel's neutral dark grey stands out."""
    region = crop(shot, area).astype(np.int16)
    grey = ((region.max(axis=2) - region.min(axis=2)) < 8) & (region.min(axis=2) >= 0x20) & (region.max(axis=2) <= 0x48)
    cols = np.where(grey.mean(axis=0) > 0.3)[0]
    if len(cols) < 100:
        return None
    rows = np.where(grey[:, cols[0] : cols[-1] + 1].mean(axis=1) > 0.5)[0]
    if len(rows) < 100:
        return None
    return (area[0] + int(cols[0]), area[1] + int(rows[0]), int(cols[-1] - cols[0] + 1), int(rows[-1] - rows[0] + 1))


def switches(shot, area):
    """The switches drawn in `area`, top to bottom: (x, y, w, h, on) in screen coordinates. A
    switch is a pill 10 to 20 px tall and 20 to 40 px wide holding a white knob, its track in the
    accent colour when on and a translucent grey (lighter than the panel) when off."""
    region = crop(shot, area).astype(np.int16)
    accent = np.abs(region - np.array(ACCENT)).max(axis=2) < 40
    grey = ((region.max(axis=2) - region.min(axis=2)) < 8) & (region.min(axis=2) >= 0x50) & (region.max(axis=2) <= 0x80)
    knob = region.min(axis=2) > 235
    mask = accent | grey | knob
    seen = np.zeros_like(mask)
    found = []
    h, w = mask.shape
    for y0, x0 in zip(*np.nonzero(mask)):
        if seen[y0, x0]:
            continue
        stack, pixels = [(y0, x0)], []
        seen[y0, x0] = True
        while stack:
            y, x = stack.pop()
            pixels.append((y, x))
            for ny, nx in ((y + 1, x), (y - 1, x), (y, x + 1), (y, x - 1)):
                if 0 <= ny < h and 0 <= nx < w and mask[ny, nx] and not seen[ny, nx]:
                    seen[ny, nx] = True
                    stack.append((ny, nx))
        ys = [p[0] for p in pixels]
        xs = [p[1] for p in pixels]
        bh, bw = max(ys) - min(ys) + 1, max(xs) - min(xs) + 1
        if not (10 <= bh <= 20 and 20 <= bw <= 40):
            continue
        part = (slice(min(ys), max(ys) + 1), slice(min(xs), max(xs) + 1))
        whites, accents, greys = knob[part].sum(), accent[part].sum(), grey[part].sum()
        if whites < 8 or accents + greys < 20:
            continue
        found.append((area[0] + min(xs), area[1] + min(ys), bw, bh, bool(accents > greys)))
    return sorted(found, key=lambda s: (s[1], s[0]))

"""Training and held-out images: photographs and artwork shipped by Debian packages.

scripts/install-tools-deps installs the packages. Every image is used whole either for
training or for evaluation, never both. Low-resolution inputs are made by a 4x
antialiased bicubic downscale (Pillow's BICUBIC filter, whose support widens with the
reduction) and rounded to 8 bits, as video frames are.
"""

import os

import numpy as np
from PIL import Image

ROOT = "/usr/share/backgrounds"

# Debian package, version used, licence(s) from its copyright file, images.
PACKAGES = {
    "mate-backgrounds": {
        "version": "1.26.0-1",
        "license": "GPL-2+",
        "dir": "mate/nature",
        "files": [
            "Aqua.jpg", "Blinds.jpg", "Dune.jpg", "FreshFlower.jpg", "Garden.jpg",
            "GreenMeadow.jpg", "LadyBird.jpg", "RainDrops.jpg", "Storm.jpg",
            "TwoWings.jpg", "Wood.jpg", "YellowFlower.jpg",
        ],
    },
    "lomiri-wallpapers-16.04": {
        "version": "20.04.0-2",
        "license": "CC-BY-4.0, CC-BY-SA-4.0, CC0-1.0 (per file)",
        "dir": "",
        "files": [
            "Bridge_by_Sander_Klootwijk.jpg", "Dragonfly_by_Bolly.jpg",
            "Picture_0B_by_freespace.jpg", "Picture_1A_by_freespace.jpg",
            "Wine_by_Jakkub_Mede.jpg", "aitzgorri_by_Aitzol_Berasategi.jpg",
            "analogpattern_by_Peter_Nerlich.jpg", "free_by_Peter_Nerlich.jpg",
            "friends_by_Aitzol_Berasategi.jpg", "greentock_by_Peter_Nerlich.jpg",
            "life_by_Aitzol_Berasategi.jpg", "picosdeeuropa_by_Aitzol_Berasategi.jpg",
            "seeding_by_Clements_Engelhardt.jpg", "sunset_by_Aitzol_Berasategi.jpg",
            "umang_by_Abhishek_Mudgal.jpg",
        ],
    },
    "lomiri-wallpapers-20.04": {
        "version": "20.04.0-2",
        "license": "CC-BY-SA-3.0",
        "dir": "",
        "files": [
            "Fossa_by_Jasper_Roks.jpg", "Infinite-Sea_by_Aury88.jpg",
            "Kleiber_by_Lukas_Baubkus.jpg", "Painting-Colors_by__herobrine7gamer.jpg",
        ],
    },
    "ukui-wallpapers": {
        "version": "20.04.3-1.1",
        "license": "CC-BY-SA-3.0",
        "dir": "",
        "files": [
            "2004default.jpg", "calla.png", "city.png", "desert.png",
            "firstgeneration.jpg", "fluent-color.png", "focal-ubuntukylin.png",
            "goldfish.png", "rhythm.jpg", "rollpaper.png", "string.jpg", "the-mouse.jpg",
        ],
    },
}

# Packages whose images are mostly drawn or rendered artwork rather than photographs.
ARTWORK_PACKAGES = ("lomiri-wallpapers-20.04", "ukui-wallpapers")

# Whole photographs kept out of training; the quality figures are measured on these.
HELD_OUT = [
    "aitzgorri_by_Aitzol_Berasategi.jpg",
    "life_by_Aitzol_Berasategi.jpg",
    "Picture_0B_by_freespace.jpg",
    "Bridge_by_Sander_Klootwijk.jpg",
    "LadyBird.jpg",
    "FreshFlower.jpg",
    "Storm.jpg",
]

SCALE = 4


def all_images():
    """(package, path) of every image, in a fixed order."""
    out = []
    for pkg, info in PACKAGES.items():
        for f in info["files"]:
            out.append((pkg, os.path.join(ROOT, info["dir"], f)))
    return out


def image_path(name):
    for _, path in all_images():
        if os.path.basename(path) == name:
            return path
    raise KeyError(name)


def training_images():
    return [(p, f) for p, f in all_images() if os.path.basename(f) not in HELD_OUT]


def held_out_images():
    return [(p, f) for p, f in all_images() if os.path.basename(f) in HELD_OUT]


def load_rgb(path):
    im = Image.open(path)
    im.load()
    return im.convert("RGB")


def fit_long_side(im, long_side):
    """Scales (antialiased bicubic) so the longer side is long_side; never enlarges."""
    w, h = im.size
    if max(w, h) <= long_side:
        return im
    f = long_side / max(w, h)
    return im.resize((max(1, round(w * f)), max(1, round(h * f))), Image.BICUBIC)


def crop_to_multiple(im, m=SCALE):
    w, h = im.size
    return im.crop((0, 0, w - w % m, h - h % m))


def downscale(hr, scale=SCALE):
    """The 4x antialiased bicubic downscale, rounded to 8 bits."""
    w, h = hr.size
    return hr.resize((w // scale, h // scale), Image.BICUBIC)


def bicubic_upscale(lr, scale=SCALE):
    """Bicubic upscale of an 8-bit image, computed in float; returns HxWx3 in [0, 1]."""
    w, h = lr.size
    chans = []
    for c in lr.split():
        f = c.convert("F").resize((w * scale, h * scale), Image.BICUBIC)
        chans.append(np.asarray(f, dtype=np.float32))
    return np.clip(np.stack(chans, axis=-1) / 255.0, 0.0, 1.0)


def to_float(im):
    return np.asarray(im, dtype=np.float32) / 255.0


def eval_pair(path, long_side=None):
    """(HR, LR) Pillow images of one held-out photograph: the photograph itself (or
    scaled so its longer side is long_side, never enlarged) and its 4x reduction."""
    im = load_rgb(path)
    if long_side:
        im = fit_long_side(im, long_side)
    hr = crop_to_multiple(im)
    return hr, downscale(hr)

#!/usr/bin/python3
"""Measures the PSNR gain of compact model folders over bicubic upscaling.

  tools/models/evaluate.py                          # the shipped fast and quality folders
  tools/models/evaluate.py path/to/folder [...]

Each held-out photograph (never trained on) is reduced 4x with an antialiased bicubic
filter to 8 bits, then brought back to full size by bicubic upscaling and by the model
folder (read and run as the engine defines it, in float32), and compared with the
photograph. --long-side N first scales each photograph so its longer side is N pixels
(1920 gives frames like 1080p video, denser in detail than the camera's own pixels). PSNR is over RGB in [0, 1] with a 4-pixel border left out; the gain is the
model's PSNR minus bicubic's, per image and as the mean over the images.
--min-gain makes the command fail when a folder's mean gain is below the given figure.

Grey pictures must stay grey: each held-out photograph is also made black-and-white
(ITU-R 601 luma, repeated in the three channels) and run through each folder the same
way; the command fails when fewer than --min-neutral of the output pixels (8-bit) have
a channel spread (largest minus smallest channel) of at most --max-spread levels.
"""

import argparse
import math
import os
import sys

import numpy as np
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import data  # noqa: E402
import modelfolder  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
MODELS = os.path.abspath(os.path.join(HERE, "..", "..", "resources", "Models"))
SHAVE = 4


def psnr(a, b):
    a = a[SHAVE:-SHAVE, SHAVE:-SHAVE]
    b = b[SHAVE:-SHAVE, SHAVE:-SHAVE]
    mse = float(np.mean((a.astype(np.float64) - b.astype(np.float64)) ** 2))
    return 10 * math.log10(1.0 / max(mse, 1e-12))


# At least this share of the 8-bit output pixels of a grey input must have a channel
# spread of at most MAX_SPREAD levels: colour fringes on grey lines show at once.
MIN_NEUTRAL = 0.999
MAX_SPREAD = 8


def to_levels(y):
    """HxWx3 float output in [0, 1] to 8-bit levels, rounded as pixels are written."""
    return np.rint(np.clip(y, 0.0, 1.0) * 255.0).astype(np.int16)


def channel_spread(levels):
    """Largest minus smallest channel of each pixel (HxWx3 levels to HxW)."""
    return levels.max(axis=2) - levels.min(axis=2)


def grey(im):
    """The picture made black-and-white, still RGB."""
    return im.convert("L").convert("RGB")


def run(model, arrays, lr):
    x = torch.from_numpy(data.to_float(lr)).permute(2, 0, 1)[None]
    with torch.no_grad():
        return modelfolder.forward(model, arrays, x)[0].permute(1, 2, 0).clamp(0, 1).numpy()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("folders", nargs="*")
    ap.add_argument("--threads", type=int, default=3)
    ap.add_argument("--long-side", type=int, default=None)
    ap.add_argument("--min-gain", type=float, nargs="*", default=None,
                    help="required mean gain in dB, one per folder (or one for all)")
    ap.add_argument("--min-neutral", type=float, default=MIN_NEUTRAL,
                    help="least share of a grey input's output pixels that must stay neutral")
    ap.add_argument("--max-spread", type=int, default=MAX_SPREAD,
                    help="largest channel spread (8-bit levels) of a neutral output pixel")
    ap.add_argument("--no-grey", action="store_true", help="skip the black-and-white check")
    args = ap.parse_args()
    torch.set_num_threads(args.threads)
    folders = args.folders or [os.path.join(MODELS, "Lumavane-Fast-4x"),
                               os.path.join(MODELS, "Lumavane-Quality-4x")]
    models = [(f, *modelfolder.read_folder(f)) for f in folders]

    gains = {f: [] for f in folders}
    # Per folder: output pixels of the grey inputs, those within the spread, the largest spread.
    neutral = {f: [0, 0, 0] for f in folders}
    for _, path in data.held_out_images():
        hr, lr = data.eval_pair(path, args.long_side)
        hr_f = data.to_float(hr)
        base = psnr(data.bicubic_upscale(lr), hr_f)
        line = "%-40s %4dx%-4d bicubic %6.2f dB" % (os.path.basename(path), hr.size[0], hr.size[1], base)
        for f, m, arrays in models:
            y = run(m, arrays, lr)
            p = psnr(y, hr_f)
            gains[f].append(p - base)
            line += " | %s %6.2f (%+.2f)" % (os.path.basename(f), p, p - base)
        if not args.no_grey:
            grey_lr = data.downscale(grey(hr))
            line += "\n%-40s grey: largest channel spread" % ""
            for f, m, arrays in models:
                spread = channel_spread(to_levels(run(m, arrays, grey_lr)))
                n = neutral[f]
                n[0] += spread.size
                n[1] += int(np.count_nonzero(spread <= args.max_spread))
                n[2] = max(n[2], int(spread.max()))
                line += " | %s %d" % (os.path.basename(f), int(spread.max()))
        print(line, flush=True)

    ok = True
    for k, f in enumerate(folders):
        mean = float(np.mean(gains[f]))
        print("%s: mean gain over bicubic %+.3f dB on %d held-out photographs"
              % (os.path.basename(f), mean, len(gains[f])))
        if args.min_gain:
            need = args.min_gain[k] if len(args.min_gain) > 1 else args.min_gain[0]
            if mean < need:
                print("  below the required %+.2f dB" % need)
                ok = False
        if not args.no_grey:
            total, within, worst = neutral[f]
            share = within / total
            print("  grey inputs: %.4f %% of output pixels with channel spread <= %d levels "
                  "(largest %d)" % (100.0 * share, args.max_spread, worst))
            if share < args.min_neutral:
                print("  below the required %.2f %%" % (100.0 * args.min_neutral))
                ok = False
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

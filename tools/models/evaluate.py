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


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("folders", nargs="*")
    ap.add_argument("--threads", type=int, default=3)
    ap.add_argument("--long-side", type=int, default=None)
    ap.add_argument("--min-gain", type=float, nargs="*", default=None,
                    help="required mean gain in dB, one per folder (or one for all)")
    args = ap.parse_args()
    torch.set_num_threads(args.threads)
    folders = args.folders or [os.path.join(MODELS, "Lumavane-Fast-4x"),
                               os.path.join(MODELS, "Lumavane-Quality-4x")]
    models = [(f, *modelfolder.read_folder(f)) for f in folders]

    gains = {f: [] for f in folders}
    for _, path in data.held_out_images():
        hr, lr = data.eval_pair(path, args.long_side)
        hr_f = data.to_float(hr)
        base = psnr(data.bicubic_upscale(lr), hr_f)
        x = torch.from_numpy(data.to_float(lr)).permute(2, 0, 1)[None]
        line = "%-40s %4dx%-4d bicubic %6.2f dB" % (os.path.basename(path), hr.size[0], hr.size[1], base)
        for f, m, arrays in models:
            with torch.no_grad():
                y = modelfolder.forward(m, arrays, x)[0].permute(1, 2, 0).clamp(0, 1).numpy()
            p = psnr(y, hr_f)
            gains[f].append(p - base)
            line += " | %s %6.2f (%+.2f)" % (os.path.basename(f), p, p - base)
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
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

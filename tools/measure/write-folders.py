#!/usr/bin/env python3
"""Writes model folders of random weights for lumavane-measure: figures of speed need only the
shapes, and trained checkpoints are not part of the tree.

    write-folders.py span <folder> WIDTH HEIGHT       a SPAN 6block-48nf folder with input.rgba
    write-folders.py realcugan <folder>                unet2.conv4 and unet2.conv5, 64 -> 64 3x3
    write-folders.py compact <folder> WIDTH HEIGHT SCALE FEATURES BODY
                                                       a Compact folder (3 -> F, BODY x F -> F, F -> 3s²)
"""
import json
import math
import os
import random
import sys
from array import array


def floats(path, count, amplitude, offset=0.0):
    values = array("f", (random.uniform(-amplitude, amplitude) + offset for _ in range(count)))
    if sys.byteorder != "little":
        values.byteswap()
    with open(path, "wb") as f:
        values.tofile(f)


def fixture(path, width, height):
    with open(path, "wb") as f:
        f.write(bytes(255 if i % 4 == 3 else random.randrange(256) for i in range(width * height * 4)))


def span(folder, width, height):
    layers = [("conv_1", 3, 48, 3)]
    layers += [(f"block_{b}_{c}", 48, 48, 3) for b in range(1, 7) for c in range(1, 4)]
    layers += [("conv_2", 48, 48, 3)] + [(f"cat_{c}", 48, 48, 1) for c in range(4)] + [("upsample", 48, 12, 3)]
    for name, i, o, k in layers:
        floats(os.path.join(folder, name + ".weights"), i * o * k * k, math.sqrt(3 / (i * k * k)))
        floats(os.path.join(folder, name + ".bias"), o, 0.1, 0.5 if name == "upsample" else 0.0)
    fixture(os.path.join(folder, "input.rgba"), width, height)
    return {"architecture": "SPAN", "variant": "6block-48nf", "scale": 2, "width": width, "height": height,
            "feature_channels": 48, "checkpoint_sha256": "random",
            "layers": [{"name": n, "input": i, "output": o, "kernel": k} for n, i, o, k in layers]}


def realcugan(folder):
    weights = []
    for layer in ("unet2.conv4", "unet2.conv5"):
        floats(os.path.join(folder, layer + ".weight"), 64 * 64 * 9, math.sqrt(3 / 576))
        floats(os.path.join(folder, layer + ".bias"), 64, 0.2)
        weights += [{"name": layer + ".weight", "file": layer + ".weight", "shape": [64, 64, 3, 3], "layout": "OHWI"},
                    {"name": layer + ".bias", "file": layer + ".bias", "shape": [64], "layout": "O"}]
    return {"architecture": "RealCUGAN", "variant": "2x-fast", "checkpoint_sha256": "random", "weights": weights}


def compact(folder, width, height, scale, features, body):
    layers = [(3, features, True)] + [(features, features, True)] * body + [(features, 3 * scale * scale, False)]
    for index, (i, o, prelu) in enumerate(layers):
        amplitude = math.sqrt(3 / (9 * i)) * (0.1 if index == len(layers) - 1 else 1.0)
        floats(os.path.join(folder, f"{index}.weights"), o * 9 * i, amplitude)
        floats(os.path.join(folder, f"{index}.bias"), o, 0.05)
        if prelu:
            floats(os.path.join(folder, f"{index}.prelu"), o, 0.05, 0.2)
    fixture(os.path.join(folder, "input.rgba"), width, height)
    return {"architecture": "Compact", "width": width, "height": height, "scale": scale,
            "checkpoint_sha256": "random",
            "layers": [{"input": i, "output": o, "prelu": p} for i, o, p in layers]}


def main(argv):
    if len(argv) < 3 or argv[1] not in ("span", "realcugan", "compact"):
        sys.exit(__doc__)
    random.seed(1)
    folder = argv[2]
    os.makedirs(folder, exist_ok=True)
    numbers = [int(a) for a in argv[3:]]
    manifest = {"span": span, "realcugan": realcugan, "compact": compact}[argv[1]](folder, *numbers)
    with open(os.path.join(folder, "manifest.json"), "w") as f:
        json.dump(manifest, f, indent=2)


if __name__ == "__main__":
    main(sys.argv)

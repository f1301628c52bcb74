#!/usr/bin/python3
"""Exports trained checkpoints as compact model folders, with reference outputs.

  tools/models/export.py            # both shipped variants into resources/Models

For each variant: resources/Models/<folder>/ with "manifest.json" and the raw float32
layer files, then resources/Models/reference/<folder>.png and .f32, the PyTorch output
for the fixed reference input (reference/input.png and input.rgba). See
resources/Models/README.md for the file forms.
"""

import argparse
import hashlib
import json
import os
import shutil
import sys

import numpy as np
import torch
from PIL import Image

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import compact  # noqa: E402
import data  # noqa: E402
import modelfolder  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.abspath(os.path.join(HERE, "..", ".."))
MODELS = os.path.join(REPO, "resources", "Models")

FOLDERS = {"fast": "Lumavane-Fast-4x", "quality": "Lumavane-Quality-4x"}
# Engine options: the 16- and 24-channel custom kernels fit these layer shapes.
BACKENDS = {"fast": {"conv16_backend": "winograd"}, "quality": {"conv24_backend": "winograd_2d"}}
# Frame size the engine allocates for at construction; video frames resize it.
WIDTH, HEIGHT = 1280, 720

# The reference input: a crop of the 4x-reduced held-out photograph.
REFERENCE_IMAGE = "life_by_Aitzol_Berasategi.jpg"
REFERENCE_BOX = (216, 140, 216 + 32, 140 + 24)

LICENSE = (
    "Weights: GPL-3.0-or-later, chosen because it is compatible with every licence of the "
    "training images in case the weights count as derived from them. Training images, each "
    "under its own licence (see /usr/share/doc/<package>/copyright on Debian 12): "
    "mate-backgrounds 1.26.0-1 (nature photographs): GPL-2+; "
    "lomiri-wallpapers-16.04 20.04.0-2: CC-BY-4.0, CC-BY-SA-4.0 and CC0-1.0 per file; "
    "lomiri-wallpapers-20.04 20.04.0-2: CC-BY-SA-3.0; "
    "ukui-wallpapers 20.04.3-1.1: CC-BY-SA-3.0.")


def source_text(meta):
    return (
        "Trained by the Lumavane developers with tools/models/train.py (PyTorch 1.13.1 on CPU, "
        "%d steps (%.0f minutes) of %d patches of %dx%d input pixels, %s, seed %d, "
        "start: %s) on "
        "photographs and artwork of the Debian 12 packages mate-backgrounds (nature), "
        "lomiri-wallpapers-16.04, lomiri-wallpapers-20.04 and ukui-wallpapers%s, %s, each reduced 4x "
        "with an antialiased bicubic filter to 8-bit inputs%s; %d photographs kept out of "
        "training for evaluation (tools/models/evaluate.py). %d channels, %d layers."
        % (meta["steps"], meta.get("minutes", 0.0), meta["batch"], meta["patch"], meta["patch"],
           loss_text(meta), meta["seed"], init_text(meta.get("init", "random")),
           "" if meta.get("artwork_share") is None else
           " (the last two, artwork, giving %.0f%% of the patches)" % (100 * meta["artwork_share"]),
           sizes_text(meta.get("long_sides", [1280, 1920, 2560])), grey_text(meta),
           len(data.HELD_OUT), meta["channels"], meta["body"] + 2))


def loss_text(meta):
    if meta.get("loss", "mse") == "mse":
        return "mean squared error"
    return "mean over patches of the log of each patch's mean squared error (floor %g)" % meta["log_floor"]


def grey_text(meta):
    share = meta.get("grey_share", 0.0)
    if not share:
        return ""
    text = "; %.0f%% of the patches made black-and-white, input and target alike" % (100 * share)
    if meta.get("chroma_weight"):
        text += ", with the log of their output's chroma in the loss (weight %g)" % meta["chroma_weight"]
    return text


def sizes_text(long_sides):
    sizes = ["%d" % n for n in long_sides if n]
    text = "scaled to longer sides of " + ", ".join(sizes) + " pixels (never enlarged)"
    return text + (" and as shipped" if 0 in long_sides else "")


def init_text(init):
    return {"linear": "least-squares 3x3 linear upscaler", "bicubic": "bicubic upscaler",
            "random": "random weights"}.get(init, init)


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        h.update(f.read())
    return h.hexdigest()


def reference_input():
    _, lr = data.eval_pair(data.image_path(REFERENCE_IMAGE), 1920)
    return lr.crop(REFERENCE_BOX)


def export(variant, checkpoint, models_dir):
    meta = torch.load(checkpoint)
    net = compact.CompactNet(meta["channels"], meta["body"], meta["scale"])
    net.load_state_dict(meta["state_dict"])
    net.eval()
    folder = os.path.join(models_dir, FOLDERS[variant])
    if os.path.isdir(folder):
        shutil.rmtree(folder)
    os.makedirs(folder)
    layers = net.layer_list()
    for i, conv in enumerate(net.convs):
        # PyTorch keeps output, input, row, column; the folder wants output, row, column, input.
        w = conv.weight.detach().permute(0, 2, 3, 1).contiguous().numpy()
        modelfolder.write_floats(os.path.join(folder, "%d.weights" % i), w.ravel())
        modelfolder.write_floats(os.path.join(folder, "%d.bias" % i), conv.bias.detach().numpy())
        if layers[i][2]:
            modelfolder.write_floats(os.path.join(folder, "%d.prelu" % i),
                                     net.prelus[i].weight.detach().numpy())
    manifest = {
        "architecture": "Compact",
        "width": WIDTH,
        "height": HEIGHT,
        "scale": meta["scale"],
        "layers": [{"input": n, "output": m, "prelu": p} for n, m, p in layers],
        "checkpoint_sha256": sha256(checkpoint),
        "source": source_text(meta),
        "license": LICENSE,
    }
    manifest.update(BACKENDS[variant])
    with open(os.path.join(folder, "manifest.json"), "w", encoding="utf-8") as f:
        json.dump(manifest, f, indent=2, ensure_ascii=False)
        f.write("\n")

    # Reference output, computed from the folder as written, and checked against the
    # checkpoint's own network so a layout slip cannot pass unnoticed.
    m, arrays = modelfolder.read_folder(folder)
    ref_dir = os.path.join(models_dir, "reference")
    os.makedirs(ref_dir, exist_ok=True)
    inp = reference_input()
    inp.save(os.path.join(ref_dir, "input.png"))
    rgba = np.concatenate([np.asarray(inp, dtype=np.uint8),
                           np.full(inp.size[::-1] + (1,), 255, np.uint8)], axis=-1)
    rgba.tofile(os.path.join(ref_dir, "input.rgba"))
    x = torch.from_numpy(data.to_float(inp)).permute(2, 0, 1)[None]
    with torch.no_grad():
        y = modelfolder.forward(m, arrays, x)
        y_net = net(x)
    diff = float((y - y_net).abs().max())
    if diff > 1e-5:
        raise SystemExit("exported folder disagrees with the checkpoint: %g" % diff)
    out = y[0].permute(1, 2, 0).numpy().astype("<f4")
    out.tofile(os.path.join(ref_dir, FOLDERS[variant] + ".f32"))
    Image.fromarray(np.round(np.clip(out, 0, 1) * 255).astype(np.uint8)).save(
        os.path.join(ref_dir, FOLDERS[variant] + ".png"))
    macs = compact.macs_per_input_pixel(layers)
    print("%s: %s, %d layers, %d MACs per input pixel (%.1f per output pixel)"
          % (variant, folder, len(layers), macs, macs / 16.0))
    return macs


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--variants", nargs="+", default=["fast", "quality"])
    ap.add_argument("--checkpoints", default=os.path.join(HERE, "checkpoints"))
    ap.add_argument("--models", default=MODELS)
    args = ap.parse_args()
    macs = {}
    for v in args.variants:
        macs[v] = export(v, os.path.join(args.checkpoints, v + ".pt"), args.models)
    if len(macs) == 2:
        print("MAC ratio fast/quality: %.3f" % (macs["fast"] / macs["quality"]))


if __name__ == "__main__":
    main()

#!/usr/bin/python3
"""PyTorch's CPU run of the whole compact networks that engine_bench.cpp times through
CompactMetalEngine::encode, and the side-by-side comparison. Used by bench/compact/engine-compare
only.

PyTorch runs the network from the folders the benchmark wrote (same weights), channels-last, with
the same thread count, arranged as an engineer would for speed: the BGR order is folded into the
first and last layers' weights (so the 8-bit BGRA frame is read and written without shuffling
channels), the nearest-neighbour residual is added to the last layer's 48 channels before the
pixel shuffle (no 4x-size residual image), the clamp and rounding work in place, and the 8-bit
result goes into a frame allocated once. Run by bench/compact/engine-compare, which keeps the
allocator from returning memory to the system (see bench/bench-env.sh). Every engine road's last
picture is compared with PyTorch's (8-bit levels). Exits non-zero when the default road's frame
time exceeds PyTorch's, or its picture differs by more than 2 levels anywhere."""
import argparse
import json
import os
import sys

import numpy as np
import torch
import torch.nn.functional as F

from torch_timing import median_ms, median_runs

WIDTH, HEIGHT = 640, 360


def load_network(folder):
    """The scale and the layers (weight, bias, PReLU slopes or None) of a model folder, with the
    first layer reading and the last layer writing colours in B, G, R order."""
    with open(os.path.join(folder, "manifest.json")) as f:
        manifest = json.load(f)
    scale = manifest["scale"]
    count = len(manifest["layers"])
    layers = []
    for i, layer in enumerate(manifest["layers"]):
        inputs, outputs = layer["input"], layer["output"]
        read = lambda ext: np.fromfile(os.path.join(folder, f"{i}{ext}"), dtype="<f4")
        # File order: output, kernel row, kernel column, input.
        weight = torch.from_numpy(read(".weights").reshape(outputs, 3, 3, inputs)).permute(0, 3, 1, 2)
        bias = torch.from_numpy(read(".bias"))
        if i == 0:
            weight = weight[:, [2, 1, 0]]
        if i == count - 1:
            # Channel c*s*s + k is colour c at block offset k: reverse the colour blocks.
            order = [c * scale * scale + k for c in (2, 1, 0) for k in range(scale * scale)]
            weight, bias = weight[order], bias[order]
        weight = weight.contiguous().to(memory_format=torch.channels_last)
        slope = torch.from_numpy(read(".prelu")) if layer["prelu"] else None
        layers.append((weight, bias.contiguous(), slope))
    return scale, layers


def make_forward(height, width, scale, layers, output_scale):
    """A function of the HxWx4 uint8 BGRA frame returning the BGRA frame at the output scale
    (the same tensor every call)."""
    picture = torch.full((height * output_scale, width * output_scale, 4), 255, dtype=torch.uint8)
    blocks = scale * scale

    def forward(frame):
        x = frame[:, :, :3].permute(2, 0, 1).unsqueeze(0).to(torch.float32, memory_format=torch.channels_last)
        x.div_(255.0)
        h = x
        for weight, bias, slope in layers:
            h = F.conv2d(h, weight, bias, padding=1)
            if slope is not None:
                h = F.prelu(h, slope)
        # The residual: each colour onto its s*s channels, before the shuffle.
        n, _, rows, columns = h.shape
        h.view(n, 3, blocks, rows, columns).add_(x.unsqueeze(2))
        out = F.pixel_shuffle(h, scale).clamp_(0.0, 1.0)
        if output_scale != scale:
            out = F.avg_pool2d(out, scale // output_scale)
        out.mul_(255.0).round_()
        picture[:, :, :3].copy_(out[0].permute(1, 2, 0))
        return picture

    return forward


def torch_ms(frame, scale, layers, output_scale, seconds):
    forward = make_forward(frame.shape[0], frame.shape[1], scale, layers, output_scale)
    ms, picture = median_ms(lambda: forward(frame), 2, seconds)
    return ms, picture.numpy()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--engine-json", required=True, help="Google Benchmark JSON of the engine benchmarks")
    parser.add_argument("--models", required=True, help="the folder engine_bench.cpp wrote its models to")
    parser.add_argument("--threads", type=int, required=True)
    parser.add_argument("--seconds", type=float, default=3.0)
    args = parser.parse_args()
    torch.set_num_threads(args.threads)

    engine = {}
    for b in median_runs(args.engine_json):
        name = b.get("run_name", b["name"]).split("/min_time")[0]
        engine[name] = (b["real_time"], b.get("gpu_ms", 0.0), b.get("label", ""))

    raw = np.fromfile(os.path.join(args.models, "frame.bgra"), dtype=np.uint8)
    frame = torch.from_numpy(raw.reshape(HEIGHT, WIDTH, 4))
    failed = False
    for channels in (16, 24):
        scale, layers = load_network(os.path.join(args.models, f"engine{channels}"))
        for output_scale in (4, 2):
            prefix = f"engine{channels}/{output_scale}x/"
            roads = [(n[len(prefix):], v) for n, v in engine.items() if n.startswith(prefix)]
            if not roads:
                continue
            reference_ms, reference = torch_ms(frame, scale, layers, output_scale, args.seconds)
            print(f"{channels}-channel 4x model, 7 layers, 640x360 -> {output_scale}x, {args.threads} threads")
            print(f"  {'PyTorch ' + torch.__version__:<16} {reference_ms:8.1f} ms/frame")
            for road, (ms, gpu_ms, label) in roads:
                path = os.path.join(args.models, f"engine{channels}-{output_scale}x-{road}.bgra")
                picture = np.fromfile(path, dtype=np.uint8).reshape(reference.shape)
                diff = np.abs(picture.astype(np.int16) - reference.astype(np.int16))[:, :, :3]
                worst, share = int(diff.max()), float((diff > 1).mean()) * 100.0
                print(f"  engine {road:<9} {ms:8.1f} ms/frame  {reference_ms / ms:5.2f}x PyTorch  "
                      f"(device {gpu_ms:.1f} ms; {label}; vs PyTorch: max {worst} levels, {share:.2f}% > 1)")
                if road == "default" and (ms > reference_ms or worst > 2):
                    failed = True
                    print("  default road: " + ("SLOWER THAN PYTORCH" if ms > reference_ms else "PICTURE DIFFERS"))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()

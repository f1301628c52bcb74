#!/usr/bin/python3
"""PyTorch's CPU run of the 4x general network that runtime_bench.cpp times through the model
runtime, for bench/ml/compare-runtime only.

`time` runs the network from the weights the benchmark wrote (channels-last, the given thread
count) on its input tile and writes the median milliseconds as JSON; `report` takes the
interleaved rounds of both sides, prints each side's median, their ratio and the load, and
compares the runtime's last output with PyTorch's (8-bit levels)."""
import argparse
import json
import os
import statistics
import sys

import numpy as np
import torch
import torch.nn.functional as F

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "compact"))
from torch_timing import median_ms, median_runs  # noqa: E402

TILE, CHANNELS, LAYERS, SCALE = 64, 64, 34, 4


def load_network(folder):
    layers = []
    for i in range(LAYERS):
        inputs = 3 if i == 0 else CHANNELS
        outputs = 3 * SCALE * SCALE if i == LAYERS - 1 else CHANNELS
        read = lambda ext: torch.from_numpy(np.fromfile(os.path.join(folder, f"{i}{ext}"), dtype="<f4"))
        weight = read(".weights").reshape(outputs, inputs, 3, 3).contiguous(memory_format=torch.channels_last)
        slope = read(".prelu") if i < LAYERS - 1 else None
        layers.append((weight, read(".bias"), slope))
    return layers


def forward(tile, layers):
    """tile: HxWx4 uint8 BGRA; returns the 4x HxWx3 uint8 BGR picture."""
    x = tile[:, :, [2, 1, 0]].permute(2, 0, 1).unsqueeze(0).float().div(255.0)
    x = x.contiguous(memory_format=torch.channels_last)
    h = x
    for weight, bias, slope in layers:
        h = F.conv2d(h, weight, bias, padding=1)
        if slope is not None:
            h = F.prelu(h, slope)
    out = (F.pixel_shuffle(h, SCALE) + F.interpolate(x, scale_factor=SCALE, mode="nearest")).mul(255.0)
    return out.round().clamp(0, 255).to(torch.uint8)[0][[2, 1, 0]].permute(1, 2, 0).contiguous()


def read_tile(folder, name, side):
    return np.fromfile(os.path.join(folder, name), dtype=np.uint8).reshape(side, side, 4)


def time_torch(args):
    torch.set_num_threads(args.threads)
    layers = load_network(args.models)
    tile = torch.from_numpy(read_tile(args.models, "input.bgra", TILE))
    ms, picture = median_ms(lambda: forward(tile, layers), 3, args.seconds)
    np.save(os.path.join(args.models, "torch.npy"), picture.numpy())
    json.dump({"ms": ms}, open(args.out, "w"))


def report(args):
    runtime = [median_runs(path)[0]["real_time"] for path in args.runtime]
    active = [json.load(open(path))["ms"] for path in args.torch_active]
    passive = [json.load(open(path))["ms"] for path in args.torch_passive]
    best = [min(a, p) for a, p in zip(active, passive)]
    loads = [float(v) for v in args.loads.split()]
    rounds = lambda values: ", ".join(f"{v:.1f}" for v in values)
    r, t = statistics.median(runtime), statistics.median(best)
    print(f"4x general network, {CHANNELS} channels, {LAYERS} 3x3 convolutions with PReLU, "
          f"{TILE}x{TILE} tile, {args.threads} threads, {len(runtime)} interleaved rounds (median ms/tile)")
    print(f"  model runtime (GPU executor)      {r:8.1f}  rounds: {rounds(runtime)}")
    print(f"  PyTorch {torch.__version__}, OpenMP active {statistics.median(active):8.1f}  rounds: {rounds(active)}")
    print(f"  PyTorch, OpenMP passive          {statistics.median(passive):8.1f}  rounds: {rounds(passive)}")
    print(f"  runtime / PyTorch's better of each round: {r / t:.2f}x (goal: at most 1.5x)")
    print(f"  load average (1 min) at each round: {rounds(loads)}")
    reference = np.load(os.path.join(args.models, "torch.npy")).astype(np.int16)
    ours = read_tile(args.models, "output.bgra", TILE * SCALE)[:, :, :3].astype(np.int16)
    diff = np.abs(ours - reference)
    print(f"  picture vs PyTorch: max {int(diff.max())} levels, {float((diff > 1).mean()) * 100:.2f}% > 1 level")


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="command", required=True)
    t = sub.add_parser("time")
    t.add_argument("--models", required=True)
    t.add_argument("--threads", type=int, required=True)
    t.add_argument("--seconds", type=float, default=3.0)
    t.add_argument("--out", required=True)
    r = sub.add_parser("report")
    r.add_argument("--models", required=True)
    r.add_argument("--threads", type=int, required=True)
    r.add_argument("--runtime", nargs="+", required=True)
    r.add_argument("--torch-active", nargs="+", required=True)
    r.add_argument("--torch-passive", nargs="+", required=True)
    r.add_argument("--loads", required=True)
    args = parser.parse_args()
    time_torch(args) if args.command == "time" else report(args)


if __name__ == "__main__":
    main()

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
allocator from returning memory to the system (see bench/bench-env.sh): "time" measures one
round (once with each OpenMP waiting mode), "report" takes the medians of the rounds of both
sides, PyTorch's better mode in each round. Every engine road's last picture
is compared with PyTorch's (8-bit levels). The report exits non-zero when the default road's frame
time exceeds PyTorch's, or its picture differs by more than 2 levels anywhere."""
import argparse
import json
import os
import sys

import numpy as np
import torch
import torch.nn.functional as F

from torch_timing import bgr_input, finish_frame, median_ms, median_runs



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

    def forward(frame):
        x = bgr_input(frame)
        h = x
        for weight, bias, slope in layers:
            h = F.conv2d(h, weight, bias, padding=1)
            if slope is not None:
                h = F.prelu(h, slope)
        return finish_frame(h, x, scale, output_scale, picture)

    return forward


CONFIGURATIONS = [(channels, output_scale) for channels in (16, 24) for output_scale in (4, 2)]


def frame_size(models):
    """The input width and height the benchmark wrote its models for."""
    with open(os.path.join(models, "engine16", "manifest.json")) as f:
        manifest = json.load(f)
    return manifest["width"], manifest["height"]


def read_frame(models):
    width, height = frame_size(models)
    raw = np.fromfile(os.path.join(models, "frame.bgra"), dtype=np.uint8)
    return torch.from_numpy(raw.reshape(height, width, 4))


def time_torch(args):
    """One round: PyTorch's median frame time of every configuration, to --out."""
    frame = read_frame(args.models)
    times = {}
    for channels, output_scale in CONFIGURATIONS:
        scale, layers = load_network(os.path.join(args.models, f"engine{channels}"))
        forward = make_forward(frame.shape[0], frame.shape[1], scale, layers, output_scale)
        times[f"engine{channels}/{output_scale}x"] = median_ms(lambda: forward(frame), 2, args.seconds)[0]
    with open(args.out, "w") as f:
        json.dump(times, f)


def report(args):
    """Medians over the rounds of both sides, their ratio, and each road's last picture against
    PyTorch's."""
    engine, labels = {}, {}
    for path in args.engine:
        for b in median_runs(path):
            name = b.get("run_name", b["name"]).split("/min_time")[0]
            engine.setdefault(name, []).append((b["real_time"], b.get("gpu_ms", 0.0)))
            labels[name] = b.get("label", "")
    def load(paths):
        rounds = []
        for path in paths:
            with open(path) as f:
                rounds.append(json.load(f))
        return rounds

    # PyTorch's better waiting mode of each round, as a fair comparison quotes it.
    active, passive = load(args.torch_active), load(args.torch_passive)
    rounds = [{k: min(a[k], p[k]) for k in a} for a, p in zip(active, passive)]
    median = lambda values: float(np.median(values))

    frame = read_frame(args.models)
    size = f"{frame.shape[1]}x{frame.shape[0]}"
    print(f"{size} frames, {args.threads} threads, {len(rounds)} interleaved rounds (engine, then PyTorch); "
          f"load average (1 min) at each round: {args.loads}")
    failed = False
    for channels, output_scale in CONFIGURATIONS:
        prefix = f"engine{channels}/{output_scale}x/"
        roads = sorted(n[len(prefix):] for n in engine if n.startswith(prefix))
        if not roads:
            continue
        scale, layers = load_network(os.path.join(args.models, f"engine{channels}"))
        reference = make_forward(frame.shape[0], frame.shape[1], scale, layers, output_scale)(frame).numpy()
        key = f"engine{channels}/{output_scale}x"
        reference_ms = median([r[key] for r in rounds])
        active_won = sum(a[key] < p[key] for a, p in zip(active, passive))
        print(f"{channels}-channel 4x model, 7 layers, {size} -> {output_scale}x")
        print(f"  {'PyTorch ' + torch.__version__:<16} {reference_ms:8.1f} ms/frame  (better of passive "
              f"{median([p[key] for p in passive]):.1f} / active {median([a[key] for a in active]):.1f} ms "
              f"OpenMP waiting; active in {active_won} of {len(rounds)} rounds)")
        for road in roads:
            runs = engine[prefix + road]
            ms, gpu_ms = median([r[0] for r in runs]), median([r[1] for r in runs])
            path = os.path.join(args.models, f"engine{channels}-{output_scale}x-{road}.bgra")
            picture = np.fromfile(path, dtype=np.uint8).reshape(reference.shape)
            diff = np.abs(picture.astype(np.int16) - reference.astype(np.int16))[:, :, :3]
            worst, share = int(diff.max()), float((diff > 1).mean()) * 100.0
            print(f"  engine {road:<9} {ms:8.1f} ms/frame  {ms / reference_ms:5.2f}x PyTorch's time  "
                  f"(device {gpu_ms:.1f} ms; {labels[prefix + road]}; vs PyTorch: max {worst} levels, "
                  f"{share:.2f}% > 1)")
            if road == "default" and (ms > reference_ms or worst > 2):
                failed = True
                print("  default road: " + ("SLOWER THAN PYTORCH" if ms > reference_ms else "PICTURE DIFFERS"))
    return 1 if failed else 0


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="command", required=True)
    timing = sub.add_parser("time", help="one round of PyTorch timings")
    timing.add_argument("--out", required=True)
    timing.add_argument("--seconds", type=float, default=2.0)
    summary = sub.add_parser("report", help="medians over the rounds, and the pictures")
    summary.add_argument("--engine", nargs="+", required=True, help="Google Benchmark JSON of each round")
    summary.add_argument("--torch-active", nargs="+", required=True,
                         help="PyTorch timings of each round with OMP_WAIT_POLICY=active")
    summary.add_argument("--torch-passive", nargs="+", required=True,
                         help="the same with OMP_WAIT_POLICY=passive")
    summary.add_argument("--loads", default="")
    for p in (timing, summary):
        p.add_argument("--models", required=True, help="the folder engine_bench.cpp wrote its models to")
        p.add_argument("--threads", type=int, required=True)
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    if args.command == "time":
        time_torch(args)
        return 0
    return report(args)


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""PyTorch's CPU conv2d (+ PReLU where the layer has one), channels-last, its fastest layout, on
the same layers as compact_layers_bench, and the comparison. Used by bench/compact/compare-layers
only. Every benchmark of the JSON carries counters "inputs", "outputs" and "prelu" describing
its 3x3 layer and arguments "width" and "height"; PyTorch runs each distinct layer once. GFLOP/s
are of the arithmetic each implementation does (the benchmark's "flops": a Winograd kernel's
products and transforms), PyTorch's of the direct convolution. PyTorch is timed in fresh
processes with passive and with active OpenMP waiting, and its better time is compared. Run by the comparison scripts,
which keep the allocator from returning memory to the system (bench/bench-env.sh)."""
import argparse
import re
import sys

import torch

from torch_timing import both_waits_ms, describe_waits, median_ms, median_runs


def torch_ms(width, height, inputs, outputs, prelu, threads, seconds):
    torch.set_num_threads(threads)
    x = torch.randn(1, inputs, height, width).to(memory_format=torch.channels_last)
    weight = (torch.randn(outputs, inputs, 3, 3) * 0.1).to(memory_format=torch.channels_last)
    bias = torch.randn(outputs) * 0.1
    slope = torch.full((outputs,), 0.25)

    def layer():
        y = torch.nn.functional.conv2d(x, weight, bias, padding=1)
        return torch.nn.functional.prelu(y, slope) if prelu else y

    return median_ms(layer, 3, seconds)[0]


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--measure":
        # One layer in this process: width height inputs outputs prelu threads seconds.
        w, h, i, o, p, t = (int(v) for v in sys.argv[2:8])
        print(torch_ms(w, h, i, o, bool(p), t, float(sys.argv[8])))
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("--layer-json", required=True, help="Google Benchmark JSON of compact_layers_bench")
    parser.add_argument("--threads", type=int, required=True)
    parser.add_argument("--seconds", type=float, default=3.0)
    args = parser.parse_args()

    medians = median_runs(args.layer_json)
    if not medians:
        sys.exit("no layer measurement in " + args.layer_json)

    layers = {}
    for b in medians:
        if not all(k in b for k in ("inputs", "outputs", "prelu")):
            continue  # not a single layer (or its shape is not given): nothing to compare with
        size = dict(re.findall(r"(width|height):(\d+)", b["name"]))
        key = (int(size["width"]), int(size["height"]), int(b["inputs"]), int(b["outputs"]), bool(b["prelu"]))
        name = b["run_name"].split("/")[0] if "run_name" in b else b["name"].split("/")[0]
        layers.setdefault(key, []).append((name, b["real_time"], b["gpu_ms"], b.get("flops")))

    failed = False
    for (width, height, inputs, outputs, prelu), measured in layers.items():
        reference, waits = describe_waits(both_waits_ms(
            __file__, ["--measure", width, height, inputs, outputs, int(prelu), args.threads, args.seconds]))
        flops = 2.0 * width * height * inputs * outputs * 9
        title = f"3x3 conv {inputs}->{outputs}{' + PReLU' if prelu else ''}, {width}x{height}, {args.threads} threads"
        print(title)
        for name, ms, gpu_ms, done in measured:
            rate = (done or flops) / ms * 1e-6
            print(f"  {name:<22} {ms:8.2f} ms/frame  {rate:7.1f} GFLOP/s  (device time {gpu_ms:.2f} ms)")
        print(f"  {'PyTorch ' + torch.__version__:<22} {reference:8.2f} ms/frame  {flops / reference * 1e-6:7.1f} GFLOP/s  "
              + waits)
        # The custom kernels must beat the direct convolution of the same layer and PyTorch.
        direct = [ms for name, ms, _, _ in measured if name.startswith("direct")]
        for name, ms, _, _ in measured:
            if name.startswith("direct"):
                continue
            beats = ms < reference and all(ms < d for d in direct)
            print(f"  {name}: {reference / ms:.2f}x PyTorch" +
                  "".join(f", {d / ms:.2f}x direct" for d in direct) + ("" if beats else "  (NOT FASTER)"))
            failed = failed or not beats
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()

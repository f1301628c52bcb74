#!/usr/bin/python3
"""PyTorch's CPU conv2d + PReLU (channels-last, its fastest layout) on the same layer as the Gpu
layer's benchmark, and the comparison of the two. PyTorch is timed in fresh processes with
passive and with active OpenMP waiting (spinning is faster on a lightly loaded machine and
collapses on a busy one) and its better time is compared. Used by bench/gpu/compare-convolution
only."""
import argparse
import json
import os
import subprocess
import sys
import time

import torch


def torch_rate(width, height, channels, threads, seconds):
    torch.set_num_threads(threads)
    x = torch.randn(1, channels, height, width).to(memory_format=torch.channels_last)
    weight = (torch.randn(channels, channels, 3, 3) * 0.1).to(memory_format=torch.channels_last)
    bias = torch.randn(channels) * 0.1
    slope = torch.full((channels,), 0.25)

    def layer():
        return torch.nn.functional.prelu(torch.nn.functional.conv2d(x, weight, bias, padding=1), slope)

    with torch.no_grad():
        for _ in range(3):
            layer()
        times = []
        start = time.perf_counter()
        while time.perf_counter() - start < seconds or len(times) < 5:
            t = time.perf_counter()
            layer()
            times.append(time.perf_counter() - t)
    per_frame = sorted(times)[len(times) // 2]
    flops = 2.0 * width * height * channels * channels * 9
    return per_frame * 1000.0, flops / per_frame / 1e9


def torch_rate_both_waits(width, height, channels, threads, seconds):
    """torch_rate's better result of a process with passive and one with active OpenMP waiting
    (OpenMP reads the mode when it starts), and the milliseconds of each."""
    results = {}
    for policy in ("passive", "active"):
        out = subprocess.run([sys.executable, __file__, "--measure", str(width), str(height), str(channels),
                              str(threads), str(seconds)], check=True, capture_output=True, text=True,
                             env=dict(os.environ, OMP_WAIT_POLICY=policy)).stdout.split()
        results[policy] = (float(out[-2]), float(out[-1]))
    return min(results.values()), {policy: ms for policy, (ms, _) in results.items()}


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--measure":
        ms, gflops = torch_rate(int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]),
                                float(sys.argv[6]))
        print(ms, gflops)
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("--layer-json", required=True, help="Google Benchmark JSON of gpu_convolution_bench")
    parser.add_argument("--threads", type=int, required=True)
    parser.add_argument("--seconds", type=float, default=3.0)
    args = parser.parse_args()

    with open(args.layer_json) as f:
        runs = [b for b in json.load(f)["benchmarks"] if b.get("run_type", "iteration") == "iteration"]
    if not runs:
        sys.exit("no layer measurement in " + args.layer_json)
    layer = runs[0]
    layer_ms, layer_gflops, gpu_ms = layer["real_time"], layer["GFLOPs"], layer["gpu_ms"]

    (torch_ms, torch_gflops), waits = torch_rate_both_waits(1280, 720, 16, args.threads, args.seconds)
    ratio = layer_gflops / torch_gflops
    print(f"3x3 conv 16->16 + PReLU, 1280x720, {args.threads} threads")
    print(f"  Gpu layer (PoCL):  {layer_ms:7.2f} ms/frame  {layer_gflops:7.1f} GFLOP/s  (device time {gpu_ms:.2f} ms)")
    print(f"  PyTorch {torch.__version__}:  {torch_ms:7.2f} ms/frame  {torch_gflops:7.1f} GFLOP/s  "
          f"(OpenMP waiting passive {waits['passive']:.2f} / active {waits['active']:.2f} ms)")
    print(f"  ratio Gpu/PyTorch: {ratio:.2f} (required: at least 0.50)")
    sys.exit(0 if ratio >= 0.5 else 1)


if __name__ == "__main__":
    main()

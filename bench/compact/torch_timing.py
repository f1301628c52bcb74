"""What the compact comparison scripts share: PyTorch's median frame time, the medians of a
Google Benchmark JSON, and the fused ends of a 4x network on 8-bit BGRA frames."""
import json
import os
import subprocess
import sys
import time

import torch
import torch.nn.functional as F


def bgr_input(frame):
    """The HxWx4 uint8 BGRA frame as a 1x3xHxW channels-last float tensor in [0, 1] (B, G, R)."""
    x = frame[:, :, :3].permute(2, 0, 1).unsqueeze(0).to(torch.float32, memory_format=torch.channels_last)
    return x.div_(255.0)


def finish_frame(h, bgr, scale, output_scale, picture):
    """The reconstruction after the last layer, in place where it can be: the input colour added
    to its scale*scale channels of h (B, G, R blocks) before the pixel shuffle, the clamp, the
    mean down to the output scale, and the rounded levels into the BGRA picture (alpha kept)."""
    n, _, rows, columns = h.shape
    h.view(n, 3, scale * scale, rows, columns).add_(bgr.unsqueeze(2))
    out = F.pixel_shuffle(h, scale).clamp_(0.0, 1.0)
    if output_scale != scale:
        out = F.avg_pool2d(out, scale // output_scale)
    out.mul_(255.0).round_()
    picture[:, :, :3].copy_(out[0].permute(1, 2, 0))
    return picture


def median_ms(run, warmups, seconds):
    """The median milliseconds of run() without autograd, after `warmups` calls, over at least
    `seconds` and 5 calls; with the last call's result."""
    with torch.no_grad():
        for _ in range(warmups):
            run()
        times = []
        start = time.perf_counter()
        while time.perf_counter() - start < seconds or len(times) < 5:
            t = time.perf_counter()
            result = run()
            times.append(time.perf_counter() - t)
    return sorted(times)[len(times) // 2] * 1000.0, result


def median_runs(path):
    """The median of each benchmark's repetitions, or the single runs when there were none."""
    with open(path) as f:
        runs = json.load(f)["benchmarks"]
    return [b for b in runs if b.get("aggregate_name") == "median"] or [
        b for b in runs if b.get("run_type", "iteration") == "iteration"]


def both_waits_ms(script, arguments):
    """The median milliseconds that `script` prints (its last word) when run with `arguments` in
    a fresh process, once with passive and once with active OpenMP waiting (OpenMP reads the mode
    when it starts): {"passive": ms, "active": ms}. Spinning threads are faster on a lightly
    loaded machine and collapse on a busy one; a fair comparison quotes the better."""
    times = {}
    for policy in ("passive", "active"):
        out = subprocess.run([sys.executable, script] + [str(a) for a in arguments], check=True,
                             capture_output=True, text=True, env=dict(os.environ, OMP_WAIT_POLICY=policy))
        times[policy] = float(out.stdout.split()[-1])
    return times


def describe_waits(times):
    """PyTorch's better time and how each waiting mode did, for the reports."""
    return min(times.values()), f"(OpenMP waiting passive {times['passive']:.2f} / active {times['active']:.2f} ms)"

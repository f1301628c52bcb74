"""What the compact comparison scripts share: PyTorch's median frame time and the medians of a
Google Benchmark JSON."""
import json
import time

import torch


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

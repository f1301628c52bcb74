#!/usr/bin/python3
"""PyTorch on the CPU doing what the fused rectangular tails do: the 3x3 convolution to 48
channels (channels-last, its fastest layout), the pixel shuffle by 4, the residual of the 8-bit
BGRA source repeated over each 4x4 block, the clamp, for 2x output the mean of every 2x2 block,
and the 8-bit BGRA result; compared with the tails of compact_layers_bench. Arranged for speed as
the whole-model baseline (engine_torch.py) is: the residual added to the 48 channels before the
shuffle, the weights writing B, G, R so that no channel is shuffled, in-place clamp and rounding,
the result in a frame allocated once, timed with passive and with active OpenMP waiting (the
better counts). Used by bench/compact/rect-compare. Tail benchmarks carry the counters "tail_inputs" and "tail_scale" and
the arguments "width" and "height" (of the features)."""
import argparse
import re
import sys

import torch
import torch.nn.functional as F

from torch_timing import bgr_input, both_waits_ms, describe_waits, finish_frame, median_ms, median_runs


def torch_tail_ms(width, height, inputs, scale, threads, seconds):
    torch.set_num_threads(threads)
    x = torch.randn(1, inputs, height, width).to(memory_format=torch.channels_last)
    # Random weights; their output channels taken as B, G, R blocks of 16.
    weight = (torch.randn(48, inputs, 3, 3) * 0.05).to(memory_format=torch.channels_last)
    bias = torch.randn(48) * 0.05
    frame = torch.randint(0, 256, (height, width, 4), dtype=torch.uint8)
    picture = torch.full((height * scale, width * scale, 4), 255, dtype=torch.uint8)

    def tail():
        return finish_frame(F.conv2d(x, weight, bias, padding=1), bgr_input(frame), 4, scale, picture)

    return median_ms(tail, 2, seconds)[0]


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--measure":
        # One tail in this process: width height inputs scale threads seconds.
        w, h, i, s, t = (int(v) for v in sys.argv[2:7])
        print(torch_tail_ms(w, h, i, s, t, float(sys.argv[7])))
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("--layer-json", required=True, help="Google Benchmark JSON of compact_layers_bench")
    parser.add_argument("--threads", type=int, required=True)
    parser.add_argument("--seconds", type=float, default=3.0)
    args = parser.parse_args()

    medians = median_runs(args.layer_json)
    tails = {}
    for b in medians:
        if "tail_inputs" not in b:
            continue
        size = dict(re.findall(r"(width|height):(\d+)", b["name"]))
        key = (int(size["width"]), int(size["height"]), int(b["tail_inputs"]), int(b["tail_scale"]))
        name = b["run_name"].split("/")[0] if "run_name" in b else b["name"].split("/")[0]
        tails.setdefault(key, []).append((name, b["real_time"], b["gpu_ms"], b.get("cpu_ms", float("nan"))))
    if not tails:
        sys.exit("no tail measurement in " + args.layer_json)

    failed = False
    for (width, height, inputs, scale), measured in tails.items():
        reference, waits = describe_waits(both_waits_ms(
            __file__, ["--measure", width, height, inputs, scale, args.threads, args.seconds]))
        print(f"4x tail {inputs}->48, {width}x{height} features to {scale}x output, {args.threads} threads")
        for name, ms, gpu_ms, cpu_ms in measured:
            print(f"  {name:<26} {ms:8.2f} ms/frame  (device time {gpu_ms:.2f} ms, CPU {cpu_ms:.1f} ms)")
        print(f"  {'PyTorch ' + torch.__version__:<26} {reference:8.2f} ms/frame  " + waits)
        for name, ms, _, _ in measured:
            faster = ms < reference
            print(f"  {name}: {reference / ms:.2f}x PyTorch" + ("" if faster else "  (NOT FASTER)"))
            failed = failed or not faster
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Offsets of a white flash against its beep in a screen-and-sound capture.

Usage: av_offsets.py CAPTURE [SHIFT_MS]
CAPTURE holds one video stream (a patch of the screen) and one audio stream (the sound card's
monitor), both stamped on one clock by the ffmpeg that recorded them. SHIFT_MS is the
recording's own offset (from a calibration run): each beep is paired with the flash nearest to
the beep plus the shift, within 0.6 s (0.9 s without a shift). Prints one line per beep: its
time and the picture's offset in milliseconds less the shift (positive: the picture comes after
its sound), or "none" when no flash was seen for it.
"""
import array
import subprocess
import sys


def flash_times(capture):
    times = [float(t) for t in subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=pts_time",
         "-of", "csv=p=0", capture], check=True, capture_output=True, text=True).stdout.split()]
    raw = subprocess.run(
        ["ffmpeg", "-nostdin", "-v", "error", "-copyts", "-i", capture, "-map", "0:v:0", "-vsync", "passthrough",
         "-pix_fmt", "gray", "-f", "rawvideo", "-"], check=True, capture_output=True).stdout
    if not times or not raw:
        return []
    size = len(raw) // len(times)
    levels = [sum(raw[i * size:(i + 1) * size]) / size for i in range(len(times))]
    ordered = sorted(levels)
    threshold = (ordered[len(ordered) // 2] + ordered[-1]) / 2
    onsets, lit = [], False
    for time, level in sorted(zip(times, levels)):
        if level > threshold and not lit:
            onsets.append(time)
        lit = level > threshold
    return onsets


def beep_times(capture):
    raw = subprocess.run(
        ["ffmpeg", "-nostdin", "-v", "error", "-i", capture, "-map", "0:a:0", "-ac", "1", "-ar", "48000",
         "-f", "s16le", "-"], check=True, capture_output=True).stdout
    samples = array.array("h")
    samples.frombytes(raw[: len(raw) // 2 * 2])
    start = float(subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries", "stream=start_time",
         "-of", "csv=p=0", capture], check=True, capture_output=True, text=True).stdout.strip() or 0)
    onsets, quiet_since = [], 0
    threshold = 3000
    for index, value in enumerate(samples):
        if abs(value) > threshold:
            if index - quiet_since > 48000 // 2:
                onsets.append(start + index / 48000)
            quiet_since = index
    return onsets


def main():
    capture = sys.argv[1]
    shift = float(sys.argv[2]) / 1000 if len(sys.argv) > 2 else 0.0
    window = 0.6 if len(sys.argv) > 2 else 0.9
    flashes = flash_times(capture)
    for beep in beep_times(capture):
        expected = beep + shift
        near = [flash for flash in flashes if abs(flash - expected) < window]
        if near:
            print(f"{beep:.3f} {1000 * (min(near, key=lambda f: abs(f - expected)) - expected):.1f}")
        else:
            print(f"{beep:.3f} none")


if __name__ == "__main__":
    main()

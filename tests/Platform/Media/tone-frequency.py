#!/usr/bin/env python3
"""Reads a raw recording (signed 16-bit mono) and prints the dominant frequency of the tone in it,
in Hz, and how long the tone sounds, in seconds. The tone is the span from the first to the last
loud sample; its edges, where the sound starts and stops, are left out of the spectrum."""
import sys

import numpy as np

samples = np.fromfile(sys.argv[1], dtype="<i2").astype(np.float64)
rate = int(sys.argv[2])
if samples.size == 0:
    print("nan nan")
    sys.exit()
loud = np.flatnonzero(np.abs(samples) > 0.25 * np.abs(samples).max())
first, last = int(loud[0]), int(loud[-1])
seconds = (last - first) / rate
edge = int(0.1 * rate)
tone = samples[first + edge:last - edge]
if tone.size < rate // 10:
    print(f"nan {seconds:.4f}")
    sys.exit()
# A Hann window and eight times zero padding; the peak is refined by a parabola through its bins.
size = 8 * tone.size
spectrum = np.abs(np.fft.rfft(tone * np.hanning(tone.size), size))
peak = int(np.argmax(spectrum[1:-1])) + 1
a, b, c = np.log(spectrum[peak - 1:peak + 2] + 1e-12)
shift = 0.5 * (a - c) / (a - 2 * b + c)
print(f"{(peak + shift) * rate / size:.3f} {seconds:.4f}")

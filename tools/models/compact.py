"""The compact 4x network, as the player's compact engine runs it.

A chain of 3x3 same-size convolutions (zero padding, bias), each but the last followed
by a per-channel PReLU; the last layer writes 3 * s * s channels. The frame is rebuilt
by a pixel shuffle (channel c*s*s + dy*s + dx is colour c at offset (dx, dy) inside the
s x s block of its input pixel) plus the input pixel repeated over its block. Input and
output are RGB in [0, 1].
"""

import torch
import torch.nn as nn
import torch.nn.functional as F

SCALE = 4

# Shipped variants: feature channels and body layers (feature-to-feature convolutions).
VARIANTS = {
    "fast": {"channels": 16, "body": 4},
    "quality": {"channels": 24, "body": 8},
}


class CompactNet(nn.Module):
    def __init__(self, channels, body, scale=SCALE):
        super().__init__()
        self.scale = scale
        self.channels = channels
        self.body = body
        convs = [nn.Conv2d(3, channels, 3, padding=1)]
        convs += [nn.Conv2d(channels, channels, 3, padding=1) for _ in range(body)]
        convs.append(nn.Conv2d(channels, 3 * scale * scale, 3, padding=1))
        self.convs = nn.ModuleList(convs)
        # PReLU after every layer but the last.
        self.prelus = nn.ModuleList(
            [nn.PReLU(num_parameters=channels, init=0.1) for _ in range(body + 1)])
        # Start near the plain nearest-neighbour result so early steps refine it.
        with torch.no_grad():
            self.convs[-1].weight.mul_(0.1)
            self.convs[-1].bias.zero_()

    def forward(self, x):
        y = x
        for i, conv in enumerate(self.convs):
            y = conv(y)
            if i < len(self.prelus):
                y = self.prelus[i](y)
        # pixel_shuffle reads channel c*s*s + dy*s + dx for colour c at (dx, dy).
        y = F.pixel_shuffle(y, self.scale)
        return y + F.interpolate(x, scale_factor=self.scale, mode="nearest")

    def layer_list(self):
        """(input, output, prelu) of every layer, in execution order."""
        out = []
        for i, conv in enumerate(self.convs):
            out.append((conv.in_channels, conv.out_channels, i < len(self.prelus)))
        return out


def make_variant(name):
    v = VARIANTS[name]
    return CompactNet(v["channels"], v["body"])


def cubic(t, a=-0.75):
    t = abs(t)
    if t <= 1:
        return (a + 2) * t ** 3 - (a + 3) * t ** 2 + 1
    if t < 2:
        return a * t ** 3 - 5 * a * t ** 2 + 8 * a * t - 4 * a
    return 0.0


# Shifted copies of each colour kept by the bicubic start: the centre and the four
# diagonal neighbours, whose 3x3 windows together cover the 5x5 window bicubic reads.
SHIFTS = [(0, 0), (-1, -1), (1, 1), (-1, 1), (1, -1)]


def bicubic_init(net):
    """Sets the network so that it starts out as bicubic upscaling (a = -0.75).

    Channels 0 to 14 carry the five shifted copies of each colour through the body
    unchanged (the inputs are >= 0, so PReLU passes them); the last layer mixes them into
    bicubic minus the nearest-neighbour residual. Remaining channels keep their random
    start and a zero contribution, so training begins from bicubic's result.
    """
    s = net.scale
    k_lin = 3 * len(SHIFTS)
    if net.channels < k_lin:
        raise ValueError("needs at least %d channels" % k_lin)
    with torch.no_grad():
        first = net.convs[0]
        first.weight[:k_lin].zero_()
        first.bias[:k_lin].zero_()
        for c in range(3):
            for si, (sx, sy) in enumerate(SHIFTS):
                # Cross-correlation: tap (kx, ky) reads pixel (x + kx - 1, y + ky - 1).
                first.weight[c * len(SHIFTS) + si, c, 1 + sy, 1 + sx] = 1.0
        for conv in net.convs[1:-1]:
            conv.weight[:k_lin].zero_()
            conv.bias[:k_lin].zero_()
            for k in range(k_lin):
                conv.weight[k, k, 1, 1] = 1.0
        last = net.convs[-1]
        last.weight.zero_()
        last.bias.zero_()
        phase = [[cubic((d + 0.5) / s - 0.5 - i) for i in range(-2, 3)] for d in range(s)]
        for c in range(3):
            for dy in range(s):
                for dx in range(s):
                    o = c * s * s + dy * s + dx
                    for j in range(-2, 3):
                        for i in range(-2, 3):
                            coef = phase[dx][i + 2] * phase[dy][j + 2]
                            if coef == 0.0:
                                continue
                            if abs(i) <= 1 and abs(j) <= 1:
                                sx, sy = 0, 0
                            else:
                                sx = 1 if i >= 0 else -1
                                sy = 1 if j >= 0 else -1
                            k = c * len(SHIFTS) + SHIFTS.index((sx, sy))
                            last.weight[o, k, 1 + j - sy, 1 + i - sx] += coef
                    # The reconstruction adds the input pixel itself.
                    last.weight[o, c * len(SHIFTS), 1, 1] -= 1.0


def macs_per_input_pixel(layers):
    """Multiply-accumulates of the convolutions per low-resolution (input) pixel."""
    return sum(9 * n * m for n, m, _ in layers)


def grow_from(net, src):
    """Sets net (wider and deeper) to compute exactly what the trained src computes.

    Source channels keep their places; the added channels start with random inputs
    and no influence on the rest; the added layers, after the source's body, pass the
    source channels through (centre tap 1, PReLU slope 1). Training then starts from
    the source's result instead of from scratch.
    """
    cs, ct = src.channels, net.channels
    if ct < cs or net.body < src.body or net.scale != src.scale:
        raise ValueError("can only grow into a wider and deeper network")
    with torch.no_grad():
        def copy(dst, s, rows, cols):
            dst.weight[:rows, cols:].zero_()
            dst.weight[:rows, :cols] = s.weight
            dst.bias[:rows] = s.bias
        copy(net.convs[0], src.convs[0], cs, 3)
        for i in range(1, src.body + 1):
            copy(net.convs[i], src.convs[i], cs, cs)
        for i in range(src.body + 1):
            net.prelus[i].weight[:cs] = src.prelus[i].weight
        for i in range(src.body + 1, net.body + 1):
            conv = net.convs[i]
            conv.weight[:cs].zero_()
            conv.bias[:cs].zero_()
            for k in range(cs):
                conv.weight[k, k, 1, 1] = 1.0
            net.prelus[i].weight[:cs] = 1.0
        last = net.convs[-1]
        last.weight.zero_()
        last.weight[:, :cs] = src.convs[-1].weight
        last.bias.copy_(src.convs[-1].bias)


def linear_init(net, kernels):
    """Sets the network to start as a 3x3 linear upscaler, keeping most channels free.

    kernels: array (s*s, 3, 3) of the filter for each output phase dy*s + dx, applied to
    each colour's 3x3 input window (row, column). Channels 0 to 2 carry the colours
    through the body unchanged (inputs are >= 0, so PReLU passes them); the last layer
    applies the filters minus the nearest-neighbour residual. The other channels keep
    their random start, with a small random influence on the output.
    """
    s = net.scale
    with torch.no_grad():
        first = net.convs[0]
        first.weight[:3].zero_()
        first.bias[:3].zero_()
        for c in range(3):
            first.weight[c, c, 1, 1] = 1.0
        for conv in net.convs[1:-1]:
            conv.weight[:3].zero_()
            conv.bias[:3].zero_()
            for c in range(3):
                conv.weight[c, c, 1, 1] = 1.0
        last = net.convs[-1]
        last.weight[:, :3].zero_()
        last.bias.zero_()
        k = torch.as_tensor(kernels, dtype=torch.float32)
        for c in range(3):
            for ph in range(s * s):
                o = c * s * s + ph
                last.weight[o, c] = k[ph]
                last.weight[o, c, 1, 1] -= 1.0


def fit_linear_kernels(lrs, hrs, scale=SCALE, samples=400000, seed=0):
    """Least-squares 3x3 filters, one per output phase, from 8-bit LR/HR image pairs."""
    import numpy as np
    rng = np.random.default_rng(seed)
    per = max(1, samples // len(lrs))
    xs, ys = [], []
    for lr, hr in zip(lrs, hrs):
        h, w = lr.shape[:2]
        yy = rng.integers(1, h - 1, per)
        xx = rng.integers(1, w - 1, per)
        c = rng.integers(0, 3, per)
        win = np.stack([lr[yy + dy, xx + dx, c] for dy in (-1, 0, 1) for dx in (-1, 0, 1)], 1)
        tgt = np.stack([hr[yy * scale + py, xx * scale + px, c]
                        for py in range(scale) for px in range(scale)], 1)
        xs.append(win.astype(np.float64) / 255.0)
        ys.append(tgt.astype(np.float64) / 255.0)
    x = np.concatenate(xs)
    y = np.concatenate(ys)
    k, *_ = np.linalg.lstsq(x, y, rcond=None)  # 9 x (s*s)
    return k.T.reshape(scale * scale, 3, 3)

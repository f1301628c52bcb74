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


def macs_per_input_pixel(layers):
    """Multiply-accumulates of the convolutions per low-resolution (input) pixel."""
    return sum(9 * n * m for n, m, _ in layers)

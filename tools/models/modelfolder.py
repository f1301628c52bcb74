"""Reads and checks compact model folders exactly as the player's compact engine does.

"manifest.json" plus, for every layer i, "<i>.weights" (output x 3 x 3 x input float32
values, output channel outermost, then kernel row, kernel column, input channel), "<i>.bias"
(output values) and, when the layer's "prelu" is true, "<i>.prelu" (output slopes); all
raw little-endian float32 without header. Needs only the standard library, except
forward(), which runs a folder with PyTorch.
"""

import json
import os
import struct


class FolderError(Exception):
    """A rule violation, carrying the engine's message."""


def _is_int(v):
    return isinstance(v, int) and not isinstance(v, bool)


def _decode_error(what):
    raise FolderError("decoding error: " + what)


def decode_manifest(obj):
    """Applies the decoding rules: required keys, types, optional keys may be null."""
    if not isinstance(obj, dict):
        _decode_error("manifest is not a JSON object")

    def req(d, key, check, kind):
        if key not in d or d[key] is None:
            _decode_error("missing required key %r" % key)
        if not check(d[key]):
            _decode_error("%r is not %s" % (key, kind))
        return d[key]

    def opt(d, key, check, kind):
        if d.get(key) is None:
            return None
        if not check(d[key]):
            _decode_error("%r is not %s" % (key, kind))
        return d[key]

    is_str = lambda v: isinstance(v, str)  # noqa: E731
    is_bool = lambda v: isinstance(v, bool)  # noqa: E731
    m = {
        "architecture": req(obj, "architecture", is_str, "a string"),
        "width": req(obj, "width", _is_int, "an integer"),
        "height": req(obj, "height", _is_int, "an integer"),
        "scale": req(obj, "scale", _is_int, "an integer"),
        "layers": req(obj, "layers", lambda v: isinstance(v, list), "an array"),
        "checkpoint_sha256": req(obj, "checkpoint_sha256", is_str, "a string"),
        "source": opt(obj, "source", is_str, "a string"),
        "license": opt(obj, "license", is_str, "a string"),
        "reduced_precision": opt(obj, "reduced_precision", is_bool, "a boolean"),
        "conv24_backend": opt(obj, "conv24_backend", is_str, "a string"),
        "conv16_backend": opt(obj, "conv16_backend", is_str, "a string"),
        "rectangular_winograd": opt(obj, "rectangular_winograd", lambda v: isinstance(v, dict), "an object"),
    }
    layers = []
    for layer in m["layers"]:
        if not isinstance(layer, dict):
            _decode_error("a layer is not an object")
        layers.append({"input": req(layer, "input", _is_int, "an integer"),
                       "output": req(layer, "output", _is_int, "an integer"),
                       "prelu": req(layer, "prelu", is_bool, "a boolean")})
    m["layers"] = layers
    r = m["rectangular_winograd"]
    if r is not None:
        m["rectangular_winograd"] = {
            "layers": req(r, "layers", lambda v: isinstance(v, list) and all(_is_int(k) for k in v),
                          "an array of integers"),
            "tiles_per_group": req(r, "tiles_per_group", _is_int, "an integer"),
            "simd_groups": req(r, "simd_groups", _is_int, "an integer"),
            "narrow_input": req(r, "narrow_input", is_bool, "a boolean"),
            "fused_tail_simd_groups": opt(r, "fused_tail_simd_groups", _is_int, "an integer"),
            "tile_rows": opt(r, "tile_rows", _is_int, "an integer"),
            "fused_tail_vector_output": opt(r, "fused_tail_vector_output", is_bool, "a boolean"),
            "native_tail_simd_groups": opt(r, "native_tail_simd_groups", _is_int, "an integer"),
            "native_tail_row_pairs": opt(r, "native_tail_row_pairs", is_bool, "a boolean"),
        }
    return m


def floats(path):
    """The file's bytes as little-endian float32 values."""
    with open(path, "rb") as f:
        b = f.read()
    if len(b) % 4:
        raise FolderError("Invalid float file")
    return list(struct.unpack("<%df" % (len(b) // 4), b))


def _require(cond, message):
    if not cond:
        raise FolderError(message)


def check_rectangular(m):
    """The rules on "rectangular_winograd", applied where the engine takes that path."""
    r = m["rectangular_winograd"]
    if r is None:
        return
    layers = m["layers"]
    _require(r["tiles_per_group"] in (8, 16) and r["simd_groups"] in (4, 8)
             and len(set(r["layers"])) == len(r["layers"]),
             "Invalid rectangular Winograd configuration")
    rows = r["tile_rows"] if r["tile_rows"] is not None else 1
    _require(rows in (1, 2, 4, 8, 16) and r["tiles_per_group"] % rows == 0,
             "Invalid rectangular tile row configuration")
    fused = r["fused_tail_simd_groups"] is not None
    _require(not r["fused_tail_vector_output"] or fused,
             "Vector output requires a fused rectangular tail")
    if r["native_tail_simd_groups"] is not None:
        _require(r["native_tail_simd_groups"] in (4, 6, 8) and layers[-1]["input"] == 16 and fused,
                 "Native tail SIMD configuration requires a fused 16-channel tail")
    if r["native_tail_row_pairs"]:
        _require(layers[-1]["input"] == 16 and fused,
                 "Paired native rows require a fused 16-channel tail")
    for k in r["layers"]:
        _require(0 < k < len(layers) - 1, "Invalid rectangular layer index")
        l = layers[k]
        _require(l["input"] in (16, 24) and l["output"] == l["input"] and l["prelu"],
                 "Rectangular Winograd requires a 16/24-channel middle layer")
    if fused:
        last = layers[-1]
        _require(r["fused_tail_simd_groups"] == 6 and m["scale"] == 4 and last["input"] in (16, 24)
                 and last["output"] == 48 and not last["prelu"],
                 "Invalid rectangular tail configuration")


def read_folder(folder, rectangular=True, read_input=True):
    """Decodes and checks a folder in the engine's order; returns (manifest, layers' arrays).

    rectangular: also apply the "rectangular_winograd" rules (as on a device that takes
    that path). read_input: check "input.rgba" when present (as with benchmark buffers).
    Raises FolderError with the engine's message at the first violation.
    """
    with open(os.path.join(folder, "manifest.json"), "rb") as f:
        m = decode_manifest(json.loads(f.read().decode("utf-8")))
    layers = m["layers"]
    _require(m["architecture"] == "Compact" and 16 <= m["width"] <= 2048 and 16 <= m["height"] <= 2048
             and 2 <= m["scale"] <= 4 and 1 <= len(layers) <= 64, "Unsupported graph/dimensions")
    _require(layers[0]["input"] == 3 and layers[-1]["output"] == 3 * m["scale"] ** 2, "Invalid RGB graph")
    if rectangular:
        check_rectangular(m)
    if read_input:
        p = os.path.join(folder, "input.rgba")
        if os.path.exists(p):
            _require(os.path.getsize(p) == m["width"] * m["height"] * 4, "Invalid input size")
    arrays = []
    for i, l in enumerate(layers):
        n, o = l["input"], l["output"]
        _require(1 <= n <= 256 and 1 <= o <= 256 and (i == 0 or n == layers[i - 1]["output"]),
                 "Invalid channel count")
        w = floats(os.path.join(folder, "%d.weights" % i))
        b = floats(os.path.join(folder, "%d.bias" % i))
        _require(len(w) == n * o * 9 and len(b) == o, "Invalid weights")
        s = None
        if l["prelu"]:
            p = os.path.join(folder, "%d.prelu" % i)
            _require(os.path.getsize(p) == o * 4, "Invalid PReLU")
            s = floats(p)
        arrays.append((w, b, s))
    return m, arrays


def write_floats(path, values):
    import numpy as np
    np.asarray(values, dtype="<f4").tofile(path)


def forward(manifest, arrays, x):
    """Runs a folder's network on x (N x 3 x H x W, RGB in [0, 1]) in float32.

    The reconstruction: pixel shuffle (channel c*s*s + dy*s + dx) plus the input pixel
    repeated over its s x s block. The result is not clamped.
    """
    import numpy as np
    import torch
    import torch.nn.functional as F
    y = x
    for l, (w, b, s) in zip(manifest["layers"], arrays):
        n, o = l["input"], l["output"]
        wt = torch.from_numpy(np.asarray(w, dtype=np.float32).reshape(o, 3, 3, n)).permute(0, 3, 1, 2)
        y = F.conv2d(y, wt.contiguous(), torch.tensor(b, dtype=torch.float32), padding=1)
        if s is not None:
            y = F.prelu(y, torch.tensor(s, dtype=torch.float32))
    sc = manifest["scale"]
    return F.pixel_shuffle(y, sc) + F.interpolate(x, scale_factor=sc, mode="nearest")

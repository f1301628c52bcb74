#!/usr/bin/python3
"""Checks that the folder validator raises the engine's messages (python3 -m unittest)."""

import json
import os
import struct
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from modelfolder import FolderError, read_folder  # noqa: E402
import validate  # noqa: E402


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def floats(n, v=0.5):
    return struct.pack("<%df" % n, *([v] * n))


class FolderRules(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name
        self.manifest = {
            "architecture": "Compact", "width": 64, "height": 32, "scale": 4,
            "layers": [{"input": 3, "output": 16, "prelu": True},
                       {"input": 16, "output": 16, "prelu": True},
                       {"input": 16, "output": 48, "prelu": False}],
            "checkpoint_sha256": "x", "source": None,
        }
        self.save()
        for i, l in enumerate(self.manifest["layers"]):
            write(os.path.join(self.dir, "%d.weights" % i), floats(9 * l["input"] * l["output"]))
            write(os.path.join(self.dir, "%d.bias" % i), floats(l["output"]))
            if l["prelu"]:
                write(os.path.join(self.dir, "%d.prelu" % i), floats(l["output"]))

    def tearDown(self):
        self.tmp.cleanup()

    def save(self):
        with open(os.path.join(self.dir, "manifest.json"), "w") as f:
            json.dump(self.manifest, f)

    def fails(self, message, **kw):
        with self.assertRaises(FolderError) as e:
            read_folder(self.dir, **kw)
        self.assertEqual(str(e.exception), message)

    def test_valid_folder_reads_in_weight_order(self):
        m, arrays = read_folder(self.dir)
        self.assertEqual(len(arrays), 3)
        self.assertEqual(len(arrays[2][0]), 16 * 48 * 9)
        self.assertIsNone(arrays[2][2])
        validate.check_folder(self.dir)

    def test_graph_and_dimension_rules(self):
        for key, value in (("architecture", "compact"), ("width", 15), ("height", 2049),
                           ("scale", 1), ("scale", 5), ("layers", [])):
            saved = self.manifest[key]
            self.manifest[key] = value
            self.save()
            self.fails("Unsupported graph/dimensions")
            self.manifest[key] = saved
        self.manifest["layers"][2]["output"] = 47
        self.save()
        self.fails("Invalid RGB graph")
        self.manifest["layers"][2]["output"] = 48
        self.manifest["layers"][1]["input"] = 8
        self.save()
        self.fails("Invalid channel count")

    def test_decoding_errors(self):
        for key, value in (("width", 64.5), ("width", "64"), ("checkpoint_sha256", None)):
            saved = self.manifest[key]
            self.manifest[key] = value
            self.save()
            with self.assertRaises(FolderError) as e:
                read_folder(self.dir)
            self.assertTrue(str(e.exception).startswith("decoding error"))
            self.manifest[key] = saved

    def test_float_files(self):
        write(os.path.join(self.dir, "1.weights"), floats(16 * 16 * 9) + b"\0\0")
        self.fails("Invalid float file")
        write(os.path.join(self.dir, "1.weights"), floats(16 * 16 * 9 + 1))
        self.fails("Invalid weights")
        write(os.path.join(self.dir, "1.weights"), floats(16 * 16 * 9))
        write(os.path.join(self.dir, "1.prelu"), floats(15))
        self.fails("Invalid PReLU")
        write(os.path.join(self.dir, "1.prelu"), floats(16))
        write(os.path.join(self.dir, "2.prelu"), floats(3))  # not read: layer has no PReLU
        read_folder(self.dir)
        write(os.path.join(self.dir, "input.rgba"), bytes(64 * 32 * 4 - 1))
        self.fails("Invalid input size")
        read_folder(self.dir, read_input=False)

    def test_rectangular_rules(self):
        cases = [
            ({"tiles_per_group": 12}, "Invalid rectangular Winograd configuration"),
            ({"tile_rows": 16}, "Invalid rectangular tile row configuration"),
            ({"fused_tail_vector_output": True}, "Vector output requires a fused rectangular tail"),
            ({"layers": [0]}, "Invalid rectangular layer index"),
            ({"fused_tail_simd_groups": 4}, "Invalid rectangular tail configuration"),
        ]
        for change, message in cases:
            block = {"layers": [1], "tiles_per_group": 8, "simd_groups": 4, "narrow_input": False}
            block.update(change)
            self.manifest["rectangular_winograd"] = block
            self.save()
            self.fails(message)
            read_folder(self.dir, rectangular=False)
        self.manifest["rectangular_winograd"] = {"layers": [1], "tiles_per_group": 8, "simd_groups": 4,
                                                 "narrow_input": False, "tile_rows": 4,
                                                 "fused_tail_simd_groups": 6}
        self.save()
        read_folder(self.dir)


class SeriesRules(unittest.TestCase):
    def test_shipped_series(self):
        doc = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "resources",
                           "Models", "model-series.json")
        if not os.path.exists(doc):
            self.skipTest("no shipped series")
        d = validate.check_series(doc)
        self.assertEqual(sorted(v["role"] for v in d["variants"]), ["fast", "quality"])

    def test_paths_stay_inside(self):
        with tempfile.TemporaryDirectory() as root:
            os.mkdir(os.path.join(root, "m"))
            self.assertTrue(validate.model_path(root, "./m").endswith("/m"))
            for bad in ("", "/m", "../m", "a:b", "missing"):
                with self.assertRaises(validate.SeriesError):
                    validate.model_path(root, bad)


if __name__ == "__main__":
    unittest.main()

"""Patch sampling shares of train.py (needs PyTorch: scripts/install-tools-deps)."""

import argparse
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

try:
    import train
except ImportError:  # PyTorch or NumPy missing
    train = None


@unittest.skipIf(train is None, "needs PyTorch and NumPy")
class ArtworkShareTests(unittest.TestCase):
    NAMES = ["ukui-wallpapers:a.png@100x100", "ukui-wallpapers:a.png@200x200",
             "lomiri-wallpapers-20.04:b.jpg@100x100", "mate-backgrounds:c.jpg@100x100",
             "mate-backgrounds:c.jpg@200x200", "lomiri-wallpapers-16.04:d.jpg@100x100",
             "lomiri-wallpapers-16.04:e.jpg@100x100", "lomiri-wallpapers-16.04:f.jpg@100x100"]

    def test_the_artwork_packages_get_the_share_whatever_their_image_count(self):
        for share in (0.0, 0.15, 0.5, 1.0):
            w = train.artwork_weights(self.NAMES, share)
            self.assertAlmostEqual(float(w.sum()), 1.0)
            self.assertAlmostEqual(float(w[:3].sum()), share)
            # Alike within each group.
            self.assertAlmostEqual(float(w[:3].max() - w[:3].min()), 0.0)
            self.assertAlmostEqual(float(w[3:].max() - w[3:].min()), 0.0)

    def test_none_samples_every_image_alike(self):
        self.assertIsNone(train.artwork_weights(self.NAMES, None))
        self.assertIsNone(train.share_arg("none"))

    def test_shares_outside_zero_to_one_are_refused(self):
        for text in ("-0.1", "1.5", "nan"):
            with self.assertRaises(argparse.ArgumentTypeError):
                train.share_arg(text)


if __name__ == "__main__":
    unittest.main()

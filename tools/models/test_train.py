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


@unittest.skipIf(train is None, "needs PyTorch and NumPy")
class GreyPatchTests(unittest.TestCase):
    def test_grey_patches_are_neutral_in_input_and_target(self):
        import numpy as np
        rng = np.random.default_rng(3)
        hr = [rng.integers(0, 256, (64, 64, 3), dtype=np.uint8)]
        lr = [rng.integers(0, 256, (16, 16, 3), dtype=np.uint8)]
        for share, grey in ((1.0, True), (0.0, False)):
            x, y, mask = train.PatchSampler(hr, lr, 8, rng, grey_share=share).batch(4)
            self.assertEqual(mask.tolist(), [grey] * 4)
            for t in (x, y):
                spread = float((t.max(dim=1).values - t.min(dim=1).values).max())
                self.assertEqual(spread == 0.0, grey)

    def test_chroma_term_counts_only_grey_patches_and_falls_with_chroma(self):
        import torch
        out = torch.rand(2, 3, 8, 8)
        neutral = out.mean(dim=1, keepdim=True).expand(-1, 3, -1, -1)
        self.assertEqual(float(train.chroma_loss(out, torch.tensor([False, False]))), 0.0)
        grey = torch.tensor([True, False])
        self.assertLess(float(train.chroma_loss(neutral, grey)), float(train.chroma_loss(out, grey)) - 30.0)


if __name__ == "__main__":
    unittest.main()

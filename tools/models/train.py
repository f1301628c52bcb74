#!/usr/bin/python3
"""Trains one shipped compact 4x variant on CPU.

  tools/models/train.py --variant fast --minutes 25

The machine is shared, so the run is bounded by wall-clock time: the learning rate
follows a cosine over the elapsed fraction of --minutes, and training stops when the time
is up (--steps instead fixes the step count, for a run that should repeat exactly).
Training state (weights, optimizer, step) is saved every --checkpoint-every steps in
--workdir, and a run picks it up again when restarted with the same arguments. At the
end the weights alone are written to tools/models/checkpoints/<variant>.pt, which
export.py turns into a model folder.
"""

import argparse
import hashlib
import math
import os
import sys
import time

import numpy as np
import torch
import torch.nn.functional as F

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import compact  # noqa: E402
import data  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
# Each training image is used at these sizes (longer side, never enlarged; 0 is the
# image as shipped), so the network sees detail at several densities, the camera's own
# included.
TRAIN_LONG_SIDES = (1280, 1920, 2560, 0)


def prepare_pairs(cache, long_sides):
    if os.path.exists(cache):
        z = np.load(cache, allow_pickle=True)
        return list(z["hr"]), list(z["lr"]), list(z["names"])
    hrs, lrs, names = [], [], []
    for pkg, path in data.training_images():
        im = data.load_rgb(path)
        seen = set()
        for side in long_sides:
            hr = data.crop_to_multiple(data.fit_long_side(im, side) if side else im)
            if hr.size in seen:
                continue
            seen.add(hr.size)
            hrs.append(np.asarray(hr, dtype=np.uint8))
            lrs.append(np.asarray(data.downscale(hr), dtype=np.uint8))
            names.append("%s:%s@%dx%d" % (pkg, os.path.basename(path), hr.size[0], hr.size[1]))
    hr_arr = np.empty(len(hrs), dtype=object)
    lr_arr = np.empty(len(lrs), dtype=object)
    hr_arr[:] = hrs
    lr_arr[:] = lrs
    np.savez(cache, hr=hr_arr, lr=lr_arr, names=np.array(names))
    return hrs, lrs, names


# ITU-R 601 luma weights, as Pillow's convert("L") uses.
LUMA = np.array([0.299, 0.587, 0.114], dtype=np.float32)


def desaturate(img):
    """An 8-bit RGB array made black-and-white (luma in all three channels)."""
    y = np.rint(img.astype(np.float32) @ LUMA).clip(0, 255).astype(np.uint8)
    return np.repeat(y[..., None], 3, axis=-1)


class PatchSampler:
    """Random training patches; grey_share of them are made black-and-white (input and
    target alike) so that grey pictures come out grey."""

    def __init__(self, hrs, lrs, patch, rng, weights=None, grey_share=0.0):
        self.hrs, self.lrs, self.patch, self.rng = hrs, lrs, patch, rng
        self.weights = weights
        self.grey_share = grey_share

    def one(self):
        s = data.SCALE
        p = self.patch
        # Every patch counts, flat ones included: smooth gradients must come out as
        # cleanly as bicubic does, which the nearest-neighbour residual does not give.
        if self.weights is None:
            i = self.rng.integers(len(self.lrs))
        else:
            i = self.rng.choice(len(self.lrs), p=self.weights)
        lr_img, hr_img = self.lrs[i], self.hrs[i]
        h, w = lr_img.shape[:2]
        y = self.rng.integers(h - p + 1)
        x = self.rng.integers(w - p + 1)
        lr = lr_img[y:y + p, x:x + p]
        hr = hr_img[y * s:(y + p) * s, x * s:(x + p) * s]
        k = self.rng.integers(4)
        lr, hr = np.rot90(lr, k), np.rot90(hr, k)
        if self.rng.random() < 0.5:
            lr, hr = lr[:, ::-1], hr[:, ::-1]
        grey = self.grey_share > 0 and self.rng.random() < self.grey_share
        if grey:
            lr, hr = desaturate(lr), desaturate(hr)
        return lr, hr, grey

    def batch(self, n):
        """(input, target, grey mask) of n patches."""
        lrs, hrs, greys = zip(*(self.one() for _ in range(n)))
        lr = torch.from_numpy(np.stack(lrs).astype(np.float32) / 255.0).permute(0, 3, 1, 2)
        hr = torch.from_numpy(np.stack(hrs).astype(np.float32) / 255.0).permute(0, 3, 1, 2)
        return lr.contiguous(memory_format=torch.channels_last), hr.contiguous(), torch.tensor(greys)


def artwork_weights(names, share):
    """Sampling weights giving the artwork packages' images this share of the patches
    (uniform within each group), or None for uniform sampling over all images."""
    if share is None:
        return None
    art = np.array([n.split(":")[0] in data.ARTWORK_PACKAGES for n in names])
    w = np.where(art, share / art.sum(), (1.0 - share) / (~art).sum())
    return w / w.sum()


def share_arg(text):
    if text == "none":
        return None
    share = float(text)
    if not 0.0 <= share <= 1.0:
        raise argparse.ArgumentTypeError("a share is between 0 and 1")
    return share


def learning_rate(step, progress, base, warmup=200, floor=0.01):
    """Linear warm-up over the first steps, then a cosine over progress (0 to 1)."""
    if step < warmup:
        return base * (step + 1) / warmup
    return base * (floor + (1 - floor) * 0.5 * (1 + math.cos(math.pi * min(1.0, progress))))


# Patches whose error is below this (PSNR 50 dB) count as if at it, so unlearnable
# 8-bit noise in flat patches cannot dominate the log loss.
LOG_MSE_FLOOR = 1e-5


def loss_of(out, hr, kind, floor=LOG_MSE_FLOOR):
    """Mean squared error, or the mean over patches of its logarithm (each patch's PSNR).

    Plain MSE is dominated by textured patches; the quality figure is a mean of
    per-image PSNR gains, where smooth photographs count as much as busy ones, and the
    log loss weighs each patch's relative error the same way. (L1 settles on the plain
    nearest-neighbour result here.)
    """
    if kind == "mse":
        return F.mse_loss(out, hr)
    per_patch = torch.mean((out - hr) ** 2, dim=(1, 2, 3))
    return torch.mean(torch.log10(per_patch + floor)) * 10.0


# Squared chroma below this (0.25 of a level RMS) counts as if at it in the chroma term.
CHROMA_FLOOR = 1e-6


def chroma_loss(out, grey, floor=CHROMA_FLOOR):
    """Mean over the grey-input patches of the logarithm of the output's mean squared
    chroma (each channel's distance from the pixel's channel mean), 0 without any.

    Such patches' targets have no chroma, so this only sharpens what the error term
    already asks; the log, like the error term's, keeps pushing on thin fringes once the
    patch is mostly neutral.
    """
    if not bool(grey.any()):
        return out.new_zeros(())
    g = out[grey]
    chroma = g - g.mean(dim=1, keepdim=True)
    return torch.mean(torch.log10(torch.mean(chroma ** 2, dim=(1, 2, 3)) + floor)) * 10.0


def max_spread_levels(out):
    """Largest channel spread of the clamped output, in 8-bit levels."""
    levels = torch.round(out.clamp(0, 1) * 255.0)
    return int((levels.max(dim=1).values - levels.min(dim=1).values).max())


def psnr(a, b):
    mse = float(torch.mean((a - b) ** 2))
    return 10 * math.log10(1.0 / max(mse, 1e-12))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--variant", choices=sorted(compact.VARIANTS), required=True)
    budget = ap.add_mutually_exclusive_group(required=True)
    budget.add_argument("--steps", type=int)
    budget.add_argument("--minutes", type=float)
    ap.add_argument("--batch", type=int, default=32)
    ap.add_argument("--patch", type=int, default=48, help="low-resolution patch side")
    ap.add_argument("--lr", type=float, default=5e-4)
    ap.add_argument("--loss", choices=["mse", "log-mse"], default="log-mse")
    ap.add_argument("--artwork-share", type=share_arg, default=0.15,
                    help="share of patches from the artwork packages, or 'none' to sample every "
                         "image and size alike; the held-out set and most video are photographic")
    ap.add_argument("--grey-share", type=float, default=0.2,
                    help="share of patches made black-and-white (input and target)")
    ap.add_argument("--chroma-weight", type=float, default=0.1,
                    help="weight of the log chroma of the grey patches' output in the loss")
    ap.add_argument("--log-floor", type=float, default=LOG_MSE_FLOOR,
                    help="patch error counted at least this in the log loss")
    ap.add_argument("--long-sides", type=int, nargs="+", default=list(TRAIN_LONG_SIDES),
                    help="sizes (longer side) each training image is used at; 0 is as shipped")
    ap.add_argument("--init", choices=["linear", "bicubic", "random"], default="linear",
                    help="start as the least-squares 3x3 linear upscaler (three channels, the "
                         "rest free), as bicubic (fifteen channels) or from random weights")
    ap.add_argument("--init-from", default=None,
                    help="start from this trained checkpoint (same or smaller variant), grown to this size")
    ap.add_argument("--threads", type=int, default=3)
    ap.add_argument("--seed", type=int, default=20)
    ap.add_argument("--workdir", default="/tmp/lumavane-train")
    ap.add_argument("--checkpoint-every", type=int, default=500)
    ap.add_argument("--out", default=None, help="final weights (default checkpoints/<variant>.pt)")
    args = ap.parse_args()

    torch.set_num_threads(args.threads)
    os.makedirs(args.workdir, exist_ok=True)
    out = args.out or os.path.join(HERE, "checkpoints", args.variant + ".pt")
    state_path = os.path.join(args.workdir, args.variant + "-state.pt")

    t0 = time.time()
    sides = "-".join(str(n) for n in args.long_sides)
    hrs, lrs, names = prepare_pairs(os.path.join(args.workdir, "pairs-%s.npz" % sides), args.long_sides)
    print("training pairs: %d (%.1f s)" % (len(hrs), time.time() - t0), flush=True)

    torch.manual_seed(args.seed)
    # channels-last runs the small convolutions about 20 percent faster on CPU.
    net = compact.make_variant(args.variant)
    init = args.init
    if args.init_from:
        src_meta = torch.load(args.init_from)
        src = compact.CompactNet(src_meta["channels"], src_meta["body"], src_meta["scale"])
        src.load_state_dict(src_meta["state_dict"])
        compact.grow_from(net, src)
        with open(args.init_from, "rb") as f:
            init = "%s %s (%s %d steps, SHA-256 %s)" % (
                "continued from" if src_meta["variant"] == args.variant else "grown from",
                os.path.basename(args.init_from), src_meta["variant"], src_meta["steps"],
                hashlib.sha256(f.read()).hexdigest())
    elif args.init == "linear":
        compact.linear_init(net, compact.fit_linear_kernels(lrs, hrs))
        # The free channels start without influence, so the start is exactly linear.
        with torch.no_grad():
            net.convs[-1].weight[:, 3:].zero_()
    elif args.init == "bicubic":
        compact.bicubic_init(net)
    net = net.to(memory_format=torch.channels_last)
    opt = torch.optim.Adam(net.parameters(), lr=args.lr, betas=(0.9, 0.99))
    rng = np.random.default_rng(args.seed)
    step = 0
    trained_seconds = 0.0  # training time of earlier runs of this state
    if os.path.exists(state_path):
        st = torch.load(state_path)
        net.load_state_dict(st["model"])
        opt.load_state_dict(st["optimizer"])
        step = st["step"]
        rng.bit_generator.state = st["rng"]
        torch.set_rng_state(st["torch_rng"])
        trained_seconds = st.get("seconds", 0.0)
        print("resumed at step %d" % step, flush=True)
    if not 0.0 <= args.grey_share <= 1.0:
        ap.error("--grey-share is between 0 and 1")
    sampler = PatchSampler(hrs, lrs, args.patch, rng, artwork_weights(names, args.artwork_share),
                           args.grey_share)

    # A fixed monitoring batch from the training images (not the held-out set), and the
    # same patches made black-and-white.
    mon_rng = np.random.default_rng(1)
    mon_lr, mon_hr, _ = PatchSampler(hrs, lrs, 96, mon_rng).batch(8)
    mon_grey = PatchSampler(hrs, lrs, 96, np.random.default_rng(1), grey_share=1.0).batch(8)[0]
    mon_base = F.interpolate(mon_lr, scale_factor=4, mode="bicubic", align_corners=False).clamp(0, 1)
    print("monitor bicubic psnr %.3f" % psnr(mon_base, mon_hr), flush=True)

    t_start = time.time()

    def seconds():
        return trained_seconds + time.time() - t_start

    def progress():
        if args.steps:
            return step / args.steps
        return seconds() / (60.0 * args.minutes)

    def save_state():
        tmp = state_path + ".tmp"
        torch.save({"model": net.state_dict(), "optimizer": opt.state_dict(), "step": step,
                    "rng": rng.bit_generator.state, "torch_rng": torch.get_rng_state(),
                    "seconds": seconds()}, tmp)
        os.replace(tmp, state_path)

    net.train()
    run_loss, run_n, t_last = 0.0, 0, time.time()
    while progress() < 1.0:
        for g in opt.param_groups:
            g["lr"] = learning_rate(step, progress(), args.lr)
        lr_b, hr_b, grey_b = sampler.batch(args.batch)
        out_b = net(lr_b)
        loss = loss_of(out_b, hr_b, args.loss, args.log_floor)
        if args.chroma_weight:
            loss = loss + args.chroma_weight * chroma_loss(out_b, grey_b)
        opt.zero_grad(set_to_none=True)
        loss.backward()
        opt.step()
        step += 1
        run_loss += float(loss)
        run_n += 1
        if step % 100 == 0:
            with torch.no_grad():
                net.eval()
                mon = psnr(net(mon_lr).clamp(0, 1), mon_hr)
                spread = max_spread_levels(net(mon_grey))
                net.train()
            now = time.time()
            print("step %d loss %.5f lr %.2e monitor %.3f dB grey spread %d  %.2f steps/s  elapsed %.1f min"
                  % (step, run_loss / run_n, opt.param_groups[0]["lr"], mon, spread,
                     run_n / (now - t_last), (now - t0) / 60), flush=True)
            run_loss, run_n, t_last = 0.0, 0, now
        if step % args.checkpoint_every == 0:
            save_state()
    save_state()

    v = compact.VARIANTS[args.variant]
    os.makedirs(os.path.dirname(out), exist_ok=True)
    torch.save({"variant": args.variant, "channels": v["channels"], "body": v["body"],
                "scale": compact.SCALE, "steps": step, "minutes": seconds() / 60.0, "batch": args.batch,
                "patch": args.patch, "long_sides": args.long_sides, "loss": args.loss, "log_floor": args.log_floor,
                "artwork_share": args.artwork_share, "grey_share": args.grey_share,
                "chroma_weight": args.chroma_weight, "seed": args.seed, "init": init, "lr": args.lr,
                "state_dict": net.state_dict()}, out)
    print("wrote %s" % out, flush=True)


if __name__ == "__main__":
    main()

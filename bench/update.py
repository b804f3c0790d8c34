"""Update mode against the raw floor of the same bytes.

    python bench/update.py [--mib M] [--side N] [--hdus H] [--append-mib A] [--repeat K]

(a) An M MiB image file (default 256) opened with mode="update", one header card changed,
    close(): ratio to shutil.copyfile + os.fsync of the same file (goal at most 1.3).
(b) A 256 x 256 section patched into an N x N int16 file (N = 8192): ratio to one raw
    os.pwrite per row of the same encoded bytes (goal at most 2).
(c) vexlo.append of an A MiB image (default 64) to a file of H HDUs (1000): ratio to writing
    the same HDU with vexlo.write to a new file (goal at most 1.3).
Files live in a temporary directory and are deleted afterwards.
"""

import argparse
import os
import shutil
import tempfile

import numpy as np

import vexlo

from rawfits import best_of


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mib", type=int, default=256)
    ap.add_argument("--side", type=int, default=8192)
    ap.add_argument("--hdus", type=int, default=1000)
    ap.add_argument("--append-mib", type=int, default=64)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    tmp = tempfile.mkdtemp(prefix="vexlo-bench-update-")
    try:
        # (a) one card changed, then a full rewrite on close.
        big = os.path.join(tmp, "big.fits")
        n = args.mib * 1024 * 1024 // 4
        vexlo.write(big, [vexlo.image(np.arange(n, dtype="f4").reshape(-1, 1024))])
        counter = [0]

        def rewrite():
            counter[0] += 1
            f = vexlo.open(big, mode="update")
            f[0].header["ROUND"] = counter[0]
            f.close()

        def copy():
            shutil.copyfile(big, big + ".copy")
            fd = os.open(big + ".copy", os.O_RDWR)
            os.fsync(fd)
            os.close(fd)

        t_rewrite = best_of(args.repeat, rewrite)
        t_copy = best_of(args.repeat, copy)
        print(f"(a) {args.mib} MiB header edit + close: {t_rewrite:.3f} s, copy+fsync "
              f"{t_copy:.3f} s, ratio {t_rewrite / t_copy:.2f} (goal <= 1.3)")
        os.remove(big + ".copy")
        os.remove(big)

        # (b) a 256 x 256 patch into an N x N int16 image.
        img = os.path.join(tmp, "img.fits")
        side = args.side
        vexlo.write(img, [vexlo.image(np.zeros((side, side), "i2"))])
        values = np.arange(256 * 256, dtype="i2").reshape(256, 256)
        f = vexlo.open(img, mode="update")
        sec = f[0].section

        def patch():
            sec[100:356, 200:456] = values

        encoded = values.astype(">i2")
        offset = 2880  # one header block
        fd = os.open(img, os.O_RDWR)

        def raw():
            for r in range(256):
                os.pwrite(fd, encoded[r].tobytes(), offset + ((100 + r) * side + 200) * 2)

        t_patch = best_of(args.repeat * 5, patch)
        t_raw = best_of(args.repeat * 5, raw)
        os.close(fd)
        f.close()
        print(f"(b) 256x256 patch into {side}x{side} int16: {t_patch * 1e3:.3f} ms, raw pwrite "
              f"{t_raw * 1e3:.3f} ms, ratio {t_patch / t_raw:.2f} (goal <= 2)")
        os.remove(img)

        # (c) append to a file of many HDUs.
        many = os.path.join(tmp, "many.fits")
        hdus = [vexlo.image(np.zeros(0, "u1"))]
        hdus += [vexlo.image(np.zeros(4, "i2"), primary=False) for _ in range(args.hdus - 1)]
        vexlo.write(many, hdus)
        base = open(many, "rb").read()
        m = args.append_mib * 1024 * 1024 // 4
        payload = np.ones((m // 1024, 1024), "f4")

        def append():
            with open(many, "wb") as fh:
                fh.write(base)
            vexlo.append(many, payload)

        def reset():
            with open(many, "wb") as fh:
                fh.write(base)

        def write_new():
            vexlo.write(os.path.join(tmp, "new.fits"), [vexlo.image(payload)], overwrite=True)

        t_append = best_of(args.repeat, append) - best_of(args.repeat, reset)
        t_write = best_of(args.repeat, write_new)
        print(f"(c) append {args.append_mib} MiB to {args.hdus} HDUs: {t_append:.3f} s, write "
              f"{t_write:.3f} s, ratio {t_append / t_write:.2f} (goal <= 1.3)")
    finally:
        shutil.rmtree(tmp)


if __name__ == "__main__":
    main()

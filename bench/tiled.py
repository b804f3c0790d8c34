"""Tile-compressed images: writing and decoding 64 and 256 MiB int16 images, one image row per
tile (16 for HCOMPRESS_1), against fitsio, on every core and on one core.

    python bench/tiled.py [--sizes 64 256] [--repeat R]

Decode rows: RICE_1, GZIP_1, GZIP_2, HCOMPRESS_1 and PLIO_1 files written by fitsio, read by
both. Write rows: GZIP_1 through vexlo.compressed_image, and GZIP_2 and RICE_1 through the
test-only tile writer when vexlo_testing is on the path (PYTHONPATH=build/test/python). Each
row gives vexlo's time, fitsio's, their ratio, and the ratio to a floor: the same image bytes
written to or read from a plain file. The one-core figures come from a child pinned to the
first usable core. Best of R runs; files are read from the page cache.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile

import numpy as np

import vexlo

from rawfits import best_of

try:
    import vexlo_testing as T
except ImportError:
    T = None
try:
    import fitsio
except ImportError:
    fitsio = None

DECODE = ["RICE_1", "GZIP_1", "GZIP_2", "HCOMPRESS_1", "PLIO_1"]
WRITE = ["GZIP_1", "GZIP_2", "RICE_1"]


def shape_of(mib):
    # int16 pixels, rows twice as long as the image is high.
    rows = int(round((mib * 2**20 / 2 / 2) ** 0.5))
    return rows, 2 * rows


def image(mib):
    rows, cols = shape_of(mib)
    rng = np.random.default_rng(7)
    y = np.arange(rows, dtype=np.float32)[:, None]
    x = np.arange(cols, dtype=np.float32)[None, :]
    sky = 1000 + 200 * np.exp(-((x - cols / 2) ** 2 + (y - rows / 3) ** 2) / (rows * cols / 20))
    return (sky + rng.normal(0, 15, (rows, cols)).astype(np.float32)).astype(np.int16)


def fitsio_write(path, data, compress):
    if os.path.exists(path):
        os.remove(path)
    # HCOMPRESS codes two-dimensional tiles: 16 image rows each.
    rows = 16 if compress == "HCOMPRESS_1" else 1
    fitsio.write(path, data, compress=compress, tile_dims=[rows, data.shape[1]])


def vexlo_write(path, data, compress):
    if compress == "GZIP_1":
        hdu = vexlo.compressed_image(data)
    else:
        hdu = T.compress_tiles(data, compression=compress)
    vexlo.write(path, [hdu], overwrite=True)


def vexlo_read(path):
    with vexlo.open(path) as f:
        return f[1].data


def prepare(tmp, sizes):
    for mib in sizes:
        data = image(mib)
        np.save(os.path.join(tmp, f"{mib}.npy"), data)
        data.tofile(os.path.join(tmp, f"{mib}.raw"))
        for name in DECODE:
            path = os.path.join(tmp, f"{mib}-{name}.fits")
            fitsio_write(path, data, name)
            assert np.array_equal(vexlo_read(path), fitsio.read(path, ext=1)), name


def measure(tmp, sizes, repeat):
    """Seconds of every row on this process's cores: {row: [vexlo, fitsio, floor]}."""
    out = {}
    for mib in sizes:
        data = np.load(os.path.join(tmp, f"{mib}.npy"))
        raw = os.path.join(tmp, f"{mib}.raw")
        read_floor = best_of(repeat, lambda: np.fromfile(raw, dtype=np.int16))
        scratch = os.path.join(tmp, "floor.raw")
        write_floor = best_of(repeat, lambda: data.tofile(scratch))
        for name in DECODE:
            path = os.path.join(tmp, f"{mib}-{name}.fits")
            ours = best_of(repeat, lambda: vexlo_read(path))
            theirs = best_of(repeat, lambda: fitsio.read(path, ext=1))
            out[f"decode {name} {mib} MiB"] = [ours, theirs, read_floor]
        for name in WRITE:
            if name != "GZIP_1" and T is None:
                continue
            ours_path = os.path.join(tmp, "w-vexlo.fits")
            theirs_path = os.path.join(tmp, "w-fitsio.fits")
            ours = best_of(repeat, lambda: vexlo_write(ours_path, data, name))
            theirs = best_of(repeat, lambda: fitsio_write(theirs_path, data, name))
            out[f"write {name} {mib} MiB"] = [ours, theirs, write_floor]
    return out


def one_core(tmp, sizes, repeat):
    cores = sorted(os.sched_getaffinity(0))
    cmd = [sys.executable, __file__, "--measure", tmp, "--repeat", str(repeat), "--sizes",
           *map(str, sizes)]
    text = subprocess.run(cmd, check=True, capture_output=True, text=True,
                          preexec_fn=lambda: os.sched_setaffinity(0, {cores[0]})).stdout
    return json.loads(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[64, 256])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--measure", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.measure:
        print(json.dumps(measure(args.measure, args.sizes, args.repeat)))
        return
    if fitsio is None:
        sys.exit("bench/tiled.py compares against fitsio, which is not installed")
    with tempfile.TemporaryDirectory() as tmp:
        prepare(tmp, args.sizes)
        many = measure(tmp, args.sizes, args.repeat)
        one = one_core(tmp, args.sizes, args.repeat)
    n = len(os.sched_getaffinity(0))
    print(f"{'':28} {n} cores: vexlo ms, fitsio ms, x fitsio, x floor"
          f"   | 1 core: vexlo ms, fitsio ms, x fitsio, x floor")
    for row, (ours, theirs, floor) in many.items():
        o1, t1, f1 = one[row]
        print(f"{row:28} {ours * 1e3:8.1f} {theirs * 1e3:9.1f} {ours / theirs:8.2f} "
              f"{ours / floor:8.1f}   | {o1 * 1e3:8.1f} {t1 * 1e3:9.1f} {o1 / t1:8.2f} "
              f"{o1 / f1:8.1f}")


if __name__ == "__main__":
    main()

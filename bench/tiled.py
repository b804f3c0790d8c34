"""Tile-compressed images: decoding and writing 4096 x 4096 images, in megapixels per second,
with the ratio of vexlo's time to fitsio's on the same file where fitsio is installed.

    python bench/tiled.py [--size N] [--repeat R]

Decodes an int16 RICE_1 image, an int16 GZIP_2 image and a quantised float32 RICE_1 image
(SUBTRACTIVE_DITHER_1), one image row per tile, and writes the first and the last. The files
are written by vexlo's own tile writer when the test-only extension vexlo_testing is on the
path (PYTHONPATH=build/test/python), else by fitsio; without either only GZIP_1 files from
vexlo.compressed_image are timed. Best of R runs; files are read from the page cache.
"""

import argparse
import os
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


CASES = [
    # name, dtype, writer options, fitsio compress name, fitsio quantize options
    ("int16 RICE_1", "int16", dict(compression="RICE_1"), "RICE", {}),
    ("int16 GZIP_2", "int16", dict(compression="GZIP_2"), "GZIP_2", {}),
    ("float32 RICE_1 q=4 dither1", "float32",
     dict(compression="RICE_1", dither="SUBTRACTIVE_DITHER_1", quantize_level=4.0), "RICE",
     dict(qlevel=4.0, qmethod="SUBTRACTIVE_DITHER_1")),
]


def image(dtype, n):
    rng = np.random.default_rng(7)
    y, x = np.mgrid[0:n, 0:n]
    sky = 1000 + 200 * np.exp(-((x - n / 2) ** 2 + (y - n / 3) ** 2) / (n * n / 20))
    data = sky + rng.normal(0, 15, (n, n))
    return data.astype(dtype)


def vexlo_write(path, data, options):
    vexlo.write(path, [T.compress_tiles(data, **options)], overwrite=True)


def fitsio_write(path, data, compress, qopts):
    if os.path.exists(path):
        os.remove(path)
    fitsio.write(path, data, compress=compress, tile_dims=[1, data.shape[1]], **qopts)


def vexlo_read(path):
    with vexlo.open(path) as f:
        return f[1].data


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=4096)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    n, r = args.size, args.repeat
    mpix = n * n / 1e6

    def row(label, seconds, peer=None):
        text = f"{label:<40} {seconds * 1e3:9.1f} ms {mpix / seconds:9.1f} Mpix/s"
        if peer is not None:
            text += f"   fitsio {peer * 1e3:9.1f} ms   ratio {seconds / peer:5.2f}"
        print(text)

    with tempfile.TemporaryDirectory() as tmp:
        if T is None and fitsio is None:
            data = image("int16", n)
            path = os.path.join(tmp, "gzip1.fits")
            w = best_of(r, lambda: vexlo.write(path, [vexlo.compressed_image(data)], overwrite=True))
            row("write int16 GZIP_1 (compressed_image)", w)
            row("decode int16 GZIP_1", best_of(r, lambda: vexlo_read(path)))
            return
        for k, (name, dtype, options, fcomp, qopts) in enumerate(CASES):
            data = image(dtype, n)
            path = os.path.join(tmp, f"{k}.fits")
            if T is not None:
                vexlo_write(path, data, options)
            else:
                fitsio_write(path, data, fcomp, qopts)
            got = vexlo_read(path)
            if fitsio is not None:
                theirs = fitsio.read(path, ext=1)
                assert np.array_equal(got, theirs, equal_nan=True), name
            peer = best_of(r, lambda: fitsio.read(path, ext=1)) if fitsio else None
            row(f"decode {name}", best_of(r, lambda: vexlo_read(path)), peer)
            if T is not None and k in (0, len(CASES) - 1):
                wpath = os.path.join(tmp, f"w{k}.fits")
                w = best_of(r, lambda: vexlo_write(wpath, data, options))
                fpath = os.path.join(tmp, f"f{k}.fits")
                fw = best_of(r, lambda: fitsio_write(fpath, data, fcomp, qopts)) if fitsio else None
                row(f"write {name}", w, fw)


if __name__ == "__main__":
    main()

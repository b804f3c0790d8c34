"""Reading images: a fresh `vexlo.open(path)[0].data` (and `.section[...]` for a cutout) against
the floor, `numpy.fromfile` of the same bytes plus an in-place byteswap, and against fitsio and
astropy where installed, all in one run.

    python bench/read_image.py [--mib M] [--cutout-side N] [--repeat R] [--keep DIR]

Rows: a 256 x 256 cutout of an N x N scaled int16 image; M MiB images of uint16 (stored as
int16 with BZERO 32768), scaled int16 (BSCALE/BZERO, read as float32) and float32. The issue's
figures use --mib 512. Each figure is the best of R runs; files are read from the page cache.
"""

import argparse
import os
import tempfile

import numpy as np

import vexlo

from rawfits import BLOCK, best_of, card, header, peers, pread_floor, raw_floor, row, table_head


def write_image(path, data, bitpix, extra=()):
    cards = [
        card("SIMPLE", True),
        card("BITPIX", bitpix),
        card("NAXIS", 2),
        card("NAXIS1", data.shape[1]),
        card("NAXIS2", data.shape[0]),
        *extra,
    ]
    head = header(cards)
    raw = data.tobytes()
    with open(path, "wb") as fh:
        fh.write(head)
        fh.write(raw)
        fh.write(b"\0" * (-len(raw) % BLOCK))
    return len(head)


def side_for(mib, itemsize):
    return int((mib * 2**20 / itemsize) ** 0.5)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mib", type=float, default=64)
    parser.add_argument("--cutout-side", type=int, default=8192)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--keep", help="directory for the files (kept afterwards)")
    args = parser.parse_args()
    fitsio, fits = peers()
    rng = np.random.default_rng(3)
    directory = args.keep or tempfile.mkdtemp(prefix="vexlo-bench-")
    os.makedirs(directory, exist_ok=True)
    paths = []

    def timed(label, ours, floor, fitsio_fn, astropy_fn):
        t_ours = best_of(args.repeat, ours)
        t_floor = best_of(args.repeat, floor)
        t_fitsio = best_of(args.repeat, fitsio_fn) if fitsio else None
        t_astropy = best_of(args.repeat, astropy_fn) if fits else None
        row(label, t_ours, t_floor, t_fitsio, t_astropy)

    print(f"best of {args.repeat}; floor = numpy.fromfile + in-place byteswap of the same bytes")
    table_head()

    # A cutout of a large scaled image: only its rows are needed.
    n = args.cutout_side
    scale, zero = 0.5, 100.0
    ints = rng.integers(-30000, 30000, (n, n)).astype(">i2")
    path = os.path.join(directory, "cutout.fits")
    paths.append(path)
    offset = write_image(path, ints, 16, [card("BSCALE", scale), card("BZERO", zero)])
    del ints
    r0, c0, side = n // 3, n // 5, 256
    cut = (slice(r0, r0 + side), slice(c0, c0 + side))
    floor_rows = raw_floor(path, ">i2", side * n, offset + r0 * n * 2)
    expected = (zero + scale * floor_rows().reshape(side, n)[:, cut[1]].astype("f8")).astype("f4")
    assert np.array_equal(vexlo.open(path)[0].section[cut], expected), "cutout"
    timed(f"{side} x {side} cutout of a {n} x {n} scaled int16 image",
          lambda: vexlo.open(path)[0].section[cut],
          lambda: floor_rows().reshape(side, n)[:, cut[1]],
          lambda: fitsio.FITS(path)[0][cut],
          lambda: fits.open(path)[0].section[cut])

    # Whole images of about M MiB each.
    cases = [
        ("uint16 (BZERO offset)", 2, 16, [card("BZERO", 32768)], ">i2",
         lambda raw: (raw.astype("i4") + 32768).astype("u2")),
        ("scaled int16", 2, 16, [card("BSCALE", scale), card("BZERO", zero)], ">i2",
         lambda raw: (zero + scale * raw.astype("f8")).astype("f4")),
        ("float32", 4, -32, [], ">f4", lambda raw: raw),
    ]
    pread_rows = []
    for name, itemsize, bitpix, extra, stored, convert in cases:
        n = side_for(args.mib, itemsize)
        if bitpix > 0:
            data = rng.integers(-30000, 30000, (n, n)).astype(stored)
        else:
            data = rng.standard_normal((n, n)).astype(stored)
        path = os.path.join(directory, name.split()[0] + ".fits")
        paths.append(path)
        offset = write_image(path, data, bitpix, extra)
        del data
        floor = raw_floor(path, stored, n * n, offset)
        check = vexlo.open(path)[0].data
        assert np.array_equal(check, convert(floor().reshape(n, n))), name
        del check
        mib = n * n * itemsize / 2**20
        label = f"{mib:.0f} MiB {name} image"
        timed(label,
              lambda p=path: vexlo.open(p)[0].data,
              floor,
              lambda p=path: fitsio.read(p),
              lambda p=path: fits.open(p, memmap=False)[0].data)
        t_ours = best_of(args.repeat, lambda p=path: vexlo.open(p)[0].data)
        t_pread = best_of(args.repeat, pread_floor(path, n * n * itemsize, offset))
        pread_rows.append((label, t_ours, t_pread))
    print("\nagainst the bare read (one pread of the data section into a new buffer)")
    print(f"{'workload':<58}{'vexlo':>11}{'pread':>11}{'x pread':>9}")
    for label, t_ours, t_pread in pread_rows:
        print(f"{label:<58}{t_ours * 1e3:>8.2f} ms{t_pread * 1e3:>8.2f} ms{t_ours / t_pread:>9.2f}")
    if not args.keep:
        for path in paths:
            os.remove(path)
        os.rmdir(directory)


if __name__ == "__main__":
    main()

"""Comparing two files: `vexlo.diff(a, b)` against reading both files' data with vexlo, and
against astropy's FITSDiff where astropy is installed.

    python bench/diff.py [--size N] [--rows R] [--repeat K] [--keep DIR]

Cases: two N x N float32 images (N = 8192 gives 256 MiB each) that are equal, and that differ
in 1,000 pixels; two R-row binary tables of 10 columns (R = 1,000,000) that are equal, and that
differ in 1,000 cells. Prints the best time over K runs of each side and the ratios
diff / read-both (goal at most 1.5) and diff / astropy (goal at most 0.25). The files are
written into a temporary directory, read from the page cache, and deleted afterwards.
"""

import argparse
import os
import shutil
import tempfile

import numpy as np

import vexlo

from rawfits import BLOCK, best_of, card, header

try:
    from astropy.io import fits as astropy_fits
except ImportError:  # the peer is optional
    astropy_fits = None


def write_raw(path, cards, raw):
    with open(path, "wb") as fh:
        fh.write(header(cards))
        fh.write(raw)
        fh.write(b"\0" * (-len(raw) % BLOCK))


def write_image(path, pixels):
    cards = [
        card("SIMPLE", True),
        card("BITPIX", -32),
        card("NAXIS", 2),
        card("NAXIS1", pixels.shape[1]),
        card("NAXIS2", pixels.shape[0]),
    ]
    write_raw(path, cards, pixels.astype(">f4").tobytes())


# Ten columns: three doubles, two floats, three 32-bit and one 64-bit integer, 8 characters.
COLUMNS = [
    ("RA", "D", ">f8"),
    ("DEC", "D", ">f8"),
    ("FLUX", "D", ">f8"),
    ("MAG", "E", ">f4"),
    ("ERR", "E", ">f4"),
    ("X", "J", ">i4"),
    ("Y", "J", ">i4"),
    ("FLAG", "J", ">i4"),
    ("ID", "K", ">i8"),
    ("NAME", "8A", "S8"),
]


def make_rows(n, rng):
    rows = np.zeros(n, dtype=[(name, dtype) for name, _, dtype in COLUMNS])
    for name, _, dtype in COLUMNS:
        if dtype == "S8":
            rows[name] = np.char.add(b"obj", (np.arange(n) % 10000).astype("S5"))
        elif dtype.startswith(">f"):
            rows[name] = rng.standard_normal(n)
        else:
            rows[name] = rng.integers(-(2**30), 2**30, n)
    return rows


def write_table(path, rows):
    cards = [
        card("SIMPLE", True),
        card("BITPIX", 8),
        card("NAXIS", 0),
        card("EXTEND", True),
    ]
    primary = header(cards)
    ext = [
        card("XTENSION", "BINTABLE"),
        card("BITPIX", 8),
        card("NAXIS", 2),
        card("NAXIS1", rows.dtype.itemsize),
        card("NAXIS2", len(rows)),
        card("PCOUNT", 0),
        card("GCOUNT", 1),
        card("TFIELDS", len(COLUMNS)),
    ]
    for k, (name, tform, _) in enumerate(COLUMNS, start=1):
        ext += [card(f"TTYPE{k}", name), card(f"TFORM{k}", tform)]
    raw = rows.tobytes()
    with open(path, "wb") as fh:
        fh.write(primary)
        fh.write(header(ext))
        fh.write(raw)
        fh.write(b"\0" * (-len(raw) % BLOCK))


def read_both(a, b, index):
    for path in (a, b):
        data = vexlo.open(path)[index].data
        del data


def astropy_diff(a, b):
    # FITSDiff reports every difference it counts; keep its list as short as ours.
    return astropy_fits.FITSDiff(a, b, numdiffs=10).identical


def run_case(name, a, b, index, repeat, expect_identical):
    result = vexlo.diff(a, b)
    assert result.identical is expect_identical, result.report()
    t_diff = best_of(repeat, lambda: vexlo.diff(a, b))
    t_read = best_of(repeat, lambda: read_both(a, b, index))
    line = f"{name:<28} diff {t_diff:8.3f} s   read both {t_read:8.3f} s"
    line += f"   ratio {t_diff / t_read:6.2f}"
    if astropy_fits is not None:
        t_peer = best_of(max(1, repeat // 2), lambda: astropy_diff(a, b))
        line += f"   astropy {t_peer:8.3f} s   ratio {t_diff / t_peer:6.3f}"
    print(line, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=8192)
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--keep", help="directory for the files (kept afterwards)")
    args = parser.parse_args()

    directory = args.keep or tempfile.mkdtemp(prefix="vexlo-bench-diff-")
    os.makedirs(directory, exist_ok=True)
    rng = np.random.default_rng(7)
    try:
        n = args.size
        pixels = rng.standard_normal((n, n), dtype=np.float32)
        img_a = os.path.join(directory, "image_a.fits")
        img_same = os.path.join(directory, "image_same.fits")
        img_b = os.path.join(directory, "image_b.fits")
        write_image(img_a, pixels)
        write_image(img_same, pixels)
        changed = rng.choice(pixels.size, 1000, replace=False)
        pixels.flat[changed] += 1.0
        write_image(img_b, pixels)
        del pixels

        rows = make_rows(args.rows, rng)
        tab_a = os.path.join(directory, "table_a.fits")
        tab_same = os.path.join(directory, "table_same.fits")
        tab_b = os.path.join(directory, "table_b.fits")
        write_table(tab_a, rows)
        write_table(tab_same, rows)
        cells = rng.choice(args.rows, 1000, replace=False)
        rows["FLUX"][cells] += 1.0
        write_table(tab_b, rows)
        del rows

        print(f"images {n} x {n} float32 ({n * n * 4 / 2**20:.0f} MiB each); "
              f"tables {args.rows} rows x {len(COLUMNS)} columns; best of {args.repeat}")
        run_case("image, equal", img_a, img_same, 0, args.repeat, True)
        run_case("image, 1000 pixels differ", img_a, img_b, 0, args.repeat, False)
        run_case("table, equal", tab_a, tab_same, 1, args.repeat, True)
        run_case("table, 1000 cells differ", tab_a, tab_b, 1, args.repeat, False)
    finally:
        if not args.keep:
            shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()

"""Reading a large binary table: every column as an array through vexlo, against a raw
structured numpy.fromfile of the same bytes followed by a byte swap of every column.

    python bench/read_table.py [--rows N] [--repeat R] [--keep PATH]

Prints the best time of each side over R runs and their ratio. The file is written once into
a temporary directory (or PATH) and read from the page cache.
"""

import argparse
import os
import tempfile
import time

import numpy as np

import vexlo

from rawfits import BLOCK, card, header

# TFORM letter and big-endian dtype of each of the ten columns.
COLUMNS = [
    ("TIME", "D", ">f8"),
    ("RA", "D", ">f8"),
    ("DEC", "D", ">f8"),
    ("FLUX", "E", ">f4"),
    ("ERR", "E", ">f4"),
    ("ID", "K", ">i8"),
    ("CCD", "J", ">i4"),
    ("X", "I", ">i2"),
    ("Y", "I", ">i2"),
    ("FLAG", "B", "u1"),
]


def write_table(path, rows):
    dtype = np.dtype([(name, dt) for name, _, dt in COLUMNS])
    rng = np.random.default_rng(1)
    table = np.empty(rows, dtype)
    for name, _, dt in COLUMNS:
        kind = np.dtype(dt).kind
        if kind == "f":
            table[name] = rng.standard_normal(rows)
        else:
            info = np.iinfo(np.dtype(dt))
            table[name] = rng.integers(max(info.min, -1000), min(info.max, 1000), rows)
    primary = header([card("SIMPLE", True), card("BITPIX", 8), card("NAXIS", 0)])
    cards = [
        card("XTENSION", "BINTABLE"),
        card("BITPIX", 8),
        card("NAXIS", 2),
        card("NAXIS1", dtype.itemsize),
        card("NAXIS2", rows),
        card("PCOUNT", 0),
        card("GCOUNT", 1),
        card("TFIELDS", len(COLUMNS)),
    ]
    for n, (name, form, _) in enumerate(COLUMNS, start=1):
        cards += [card(f"TTYPE{n}", name), card(f"TFORM{n}", form)]
    ext = header(cards)
    data = table.tobytes()
    with open(path, "wb") as f:
        f.write(primary + ext + data + b"\0" * (-len(data) % BLOCK))
    return len(primary) + len(ext), dtype


def read_vexlo(path):
    t = vexlo.open(path)[1]
    return [t[name] for name in t.column_names]


def read_numpy(path, offset, dtype, rows):
    raw = np.fromfile(path, dtype=dtype, count=rows, offset=offset)
    return [raw[name].astype(raw.dtype[name].newbyteorder("=")) for name in raw.dtype.names]


def best_of(repeat, fn):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--keep", help="write the table here and keep it")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        path = args.keep or os.path.join(tmp, "table.fits")
        offset, dtype = write_table(path, args.rows)
        t_vexlo, ours = best_of(args.repeat, lambda: read_vexlo(path))
        t_numpy, theirs = best_of(args.repeat, lambda: read_numpy(path, offset, dtype, args.rows))
        for (name, _, _), a, b in zip(COLUMNS, ours, theirs):
            if not np.array_equal(a, b):
                raise SystemExit(f"column {name} differs between the two readers")

    size_mb = args.rows * dtype.itemsize / 1e6
    print(f"{args.rows} rows x {len(COLUMNS)} columns ({size_mb:.1f} MB of rows), best of "
          f"{args.repeat}")
    print(f"  vexlo open + every column : {t_vexlo * 1e3:8.2f} ms")
    print(f"  numpy.fromfile + byte swap: {t_numpy * 1e3:8.2f} ms")
    print(f"  ratio vexlo / numpy       : {t_vexlo / t_numpy:8.2f}")


if __name__ == "__main__":
    main()

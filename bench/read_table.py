"""Reading a large binary table of mixed columns (numbers, 10A text, L logicals) through vexlo,
against the floor (a structured `numpy.fromfile` of the same bytes plus a byteswap of every
numeric column) and against fitsio and astropy where installed, all in one run.

    python bench/read_table.py [--rows N] [--repeat R] [--keep PATH]

Rows: open + every column; open + one column; the resident memory that opening the table and
reading every column adds, as a multiple of the data section. Best of R runs, page cache warm.
"""

import argparse
import gc
import os
import tempfile

import numpy as np

import vexlo

from rawfits import BLOCK, best_of, card, header, peers, row, table_head

# Name, TFORM and stored dtype of each of the ten columns.
COLUMNS = [
    ("TIME", "D", ">f8"),
    ("RA", "D", ">f8"),
    ("DEC", "D", ">f8"),
    ("FLUX", "E", ">f4"),
    ("ID", "K", ">i8"),
    ("CCD", "J", ">i4"),
    ("X", "I", ">i2"),
    ("FLAG", "B", "u1"),
    ("NAME", "10A", "S10"),
    ("GOOD", "L", "S1"),
]
NUMERIC = [name for name, _, dt in COLUMNS if np.dtype(dt).kind in "fiu"]


def write_table(path, rows):
    dtype = np.dtype([(name, dt) for name, _, dt in COLUMNS])
    rng = np.random.default_rng(1)
    table = np.zeros(rows, dtype)
    for name in NUMERIC:
        dt = np.dtype(dtype[name])
        if dt.kind == "f":
            table[name] = rng.standard_normal(rows)
        else:
            table[name] = rng.integers(0 if dt.kind == "u" else -1000, 1000, rows)
    table["NAME"] = np.char.add(b"star", (np.arange(rows) % 100000).astype("S6"))
    table["GOOD"] = np.where(rng.integers(0, 2, rows) == 1, b"T", b"F")
    primary = header([card("SIMPLE", True), card("BITPIX", 8), card("NAXIS", 0),
                      card("EXTEND", True)])
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
    data = table.tobytes()
    with open(path, "wb") as f:
        f.write(primary + header(cards) + data + b"\0" * (-len(data) % BLOCK))
    return len(primary) + len(header(cards)), dtype


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def added_memory(read):
    """Resident bytes that `read()` adds while its result is alive."""
    gc.collect()
    before = resident()
    kept = read()
    grown = resident() - before
    del kept
    gc.collect()
    return grown


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--keep", help="write the table here and keep it")
    args = parser.parse_args()
    fitsio, fits = peers()

    with tempfile.TemporaryDirectory() as tmp:
        path = args.keep or os.path.join(tmp, "table.fits")
        offset, dtype = write_table(path, args.rows)
        size = args.rows * dtype.itemsize

        def ours_all():
            t = vexlo.open(path)[1]
            return t, [t[name] for name, _, _ in COLUMNS]

        def floor_all():
            raw = np.fromfile(path, dtype=dtype, count=args.rows, offset=offset)
            return [raw[name].astype(raw.dtype[name].newbyteorder("=")) for name in NUMERIC]

        def fitsio_all():
            return fitsio.read(path, ext=1)

        def astropy_all():
            d = fits.open(path, memmap=False)[1].data
            return [d[name] for name, _, _ in COLUMNS]

        one = "FLUX"

        def floor_one():
            raw = np.fromfile(path, dtype=dtype, count=args.rows, offset=offset)
            return raw[one].astype("=f4")

        # Memory first, while the heap is fresh.
        memory = {"vexlo": added_memory(ours_all)}
        if fitsio:
            memory["fitsio"] = added_memory(fitsio_all)
        if fits:
            memory["astropy"] = added_memory(astropy_all)

        _, ours = ours_all()
        for name, a in zip(NUMERIC, floor_all()):
            assert np.array_equal(ours[[c for c, _, _ in COLUMNS].index(name)], a), name
        assert ours[-2][:2] == ["star0", "star1"] and len(ours[-1]) == args.rows
        del ours

        print(f"{args.rows} rows x {len(COLUMNS)} columns ({size / 2**20:.1f} MiB of rows), "
              f"best of {args.repeat}; floor = numpy.fromfile + byteswap of the same bytes")
        table_head()
        row("open + every column", best_of(args.repeat, ours_all),
            best_of(args.repeat, floor_all),
            best_of(args.repeat, fitsio_all) if fitsio else None,
            best_of(args.repeat, astropy_all) if fits else None)
        row(f"open + one column ({one})",
            best_of(args.repeat, lambda: vexlo.open(path)[1][one]),
            best_of(args.repeat, floor_one),
            best_of(args.repeat, lambda: fitsio.read(path, ext=1, columns=[one]))
            if fitsio else None,
            best_of(args.repeat, lambda: np.array(fits.open(path)[1].data[one]))
            if fits else None)
        peers_shown = ", ".join(f"{k} {v / size:.2f}" for k, v in memory.items())
        print(f"resident memory added by open + every column, x data section: {peers_shown}")


if __name__ == "__main__":
    main()

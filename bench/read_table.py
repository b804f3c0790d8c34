"""Reading binary and ASCII tables through vexlo, against the floor (one pread of the data
section) and against fitsio and astropy (memmap=False) where installed, all in one run.

    python bench/read_table.py [--scale S] [--repeat R] [--memory-only] [--one-core]

Rows: a numeric-only table (1M rows x 10 columns), a mixed table (500k rows of 16A, L, 3E,
4J, 1PJ, D, K) and an ASCII table (1M rows x 5 columns), each opened and read whole and by
one column; the numeric table's lookup without a column read and its row 5; header-only
steps on a 1M-row table with a text column; the timed rows again, pinned to one core; the
peak memory that reading every column adds (a child process's maxrss) as a multiple of the
file size; the memory that looking up a small file whose descriptors all alias one heap array
costs. Best of R runs, page cache warm. --scale multiplies every row count (0.1 for a quick
look).
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile

import numpy as np

import vexlo

from rawfits import (BLOCK, best_of, card, header, peers, pin_to_one_core, row, status_bytes,
                     table_head)

PRIMARY = header([card("SIMPLE", True), card("BITPIX", 8), card("NAXIS", 0),
                  card("EXTEND", True)])

# Name, TFORM and stored dtype of each column of the numeric-only table.
NUMERIC = [
    ("TIME", "D", ">f8"),
    ("RA", "D", ">f8"),
    ("DEC", "D", ">f8"),
    ("FLUX", "E", ">f4"),
    ("FERR", "E", ">f4"),
    ("ID", "K", ">i8"),
    ("CCD", "J", ">i4"),
    ("X", "I", ">i2"),
    ("Y", "I", ">i2"),
    ("FLAG", "B", "u1"),
]

# The mixed table; the 1PJ column's descriptors are filled in by write_mixed.
MIXED = [
    ("NAME", "16A", "S16"),
    ("GOOD", "L", "S1"),
    ("POS", "3E", (">f4", 3)),
    ("IDS", "4J", (">i4", 4)),
    ("HITS", "1PJ(8)", (">i4", 2)),
    ("MAG", "D", ">f8"),
    ("SEQ", "K", ">i8"),
]

# The header-only steps' table: numbers and a text column.
TEXT = [("ID", "K", ">i8"), ("FLUX", "E", ">f4"), ("NAME", "10A", "S10"), ("GOOD", "L", "S1")]

# The ASCII table: TFORM, width, and how a row's value is printed.
ASCII = [
    ("ID", "I10", 10, lambda r, n: np.char.mod("%10d", np.arange(n))),
    ("X", "F12.5", 12, lambda r, n: np.char.mod("%12.5f", r.standard_normal(n))),
    ("Y", "E15.7", 15, lambda r, n: np.char.mod("%15.7E", r.standard_normal(n))),
    ("Z", "D22.14", 22, lambda r, n: np.char.mod("%22.14E", r.standard_normal(n))),
    ("NAME", "A10", 10, lambda r, n: np.char.mod("%-10s", np.char.add(
        "obj", (np.arange(n) % 100000).astype("U6")))),
]


def fill(table, dtype, rng):
    for name in dtype.names:
        dt = dtype[name].base
        if dt.kind == "f":
            table[name] = rng.standard_normal(table[name].shape)
        elif dt.kind in "iu":
            table[name] = rng.integers(0 if dt.kind == "u" else -1000, 1000, table[name].shape)


def bintable_cards(columns, rows, itemsize, pcount=0):
    cards = [card("XTENSION", "BINTABLE"), card("BITPIX", 8), card("NAXIS", 2),
             card("NAXIS1", itemsize), card("NAXIS2", rows), card("PCOUNT", pcount),
             card("GCOUNT", 1), card("TFIELDS", len(columns))]
    for n, (name, form, _) in enumerate(columns, start=1):
        cards += [card(f"TTYPE{n}", name), card(f"TFORM{n}", form)]
    return header(cards)


def write(path, hdr, data):
    with open(path, "wb") as f:
        f.write(PRIMARY + hdr + data + b"\0" * (-len(data) % BLOCK))
    return len(PRIMARY) + len(hdr), len(data)


def write_bintable(path, columns, rows, extra=None):
    dtype = np.dtype([(name, dt) for name, _, dt in columns])
    rng = np.random.default_rng(1)
    table = np.zeros(rows, dtype)
    fill(table, dtype, rng)
    if "NAME" in dtype.names:
        table["NAME"] = np.char.add(b"star", (np.arange(rows) % 100000).astype("S6"))
    if "GOOD" in dtype.names:
        table["GOOD"] = np.where(rng.integers(0, 2, rows) == 1, b"T", b"F")
    heap = b""
    if extra:
        heap = extra(table, rng)
    return write(path, bintable_cards(columns, rows, dtype.itemsize, len(heap)),
                 table.tobytes() + heap)


def mixed_heap(table, rng):
    """Each row's 1PJ array: 0 to 8 elements, one after the other in the heap."""
    counts = rng.integers(0, 9, len(table))
    offsets = np.concatenate(([0], np.cumsum(counts)[:-1])) * 4
    table["HITS"] = np.stack([counts, offsets], axis=1)
    return rng.integers(-1000, 1000, int(counts.sum())).astype(">i4").tobytes()


def write_ascii(path, rows):
    rng = np.random.default_rng(2)
    texts = [make(rng, rows) for _, _, _, make in ASCII]
    width = sum(w for _, _, w, _ in ASCII)
    record = np.char.encode(texts[0])
    for t in texts[1:]:
        record = np.char.add(record, np.char.encode(t))
    assert record.dtype.itemsize == width
    cards = [card("XTENSION", "TABLE"), card("BITPIX", 8), card("NAXIS", 2),
             card("NAXIS1", width), card("NAXIS2", rows), card("PCOUNT", 0), card("GCOUNT", 1),
             card("TFIELDS", len(ASCII))]
    start = 1
    for n, (name, form, w, _) in enumerate(ASCII, start=1):
        cards += [card(f"TTYPE{n}", name), card(f"TBCOL{n}", start), card(f"TFORM{n}", form)]
        start += w
    return write(path, header(cards), record.tobytes())


def write_aliasing(path, rows=50, heap_bytes=1 << 20):
    """A 1 MB file whose `rows` 1PB descriptors all point at one heap array of `heap_bytes`."""
    descriptors = np.array([(heap_bytes, 0)] * rows, ">i4")
    hdr = bintable_cards([("A", f"1PB({heap_bytes})", None)], rows, 8, heap_bytes)
    return write(path, hdr, descriptors.tobytes() + bytes(heap_bytes))


# --- Workloads, shared by the timed runs and the memory child -----------------------------

def vexlo_all(path, names):
    t = vexlo.open(path)[1]
    if names == t.column_names:
        # Every column at once: the flat numeric ones are decoded in one pass over the rows.
        return list(t.to_dict().values())
    return [t[n] for n in names]


def vexlo_by_name(path, names):
    t = vexlo.open(path)[1]
    return [t[n] for n in names]


def fitsio_all(path, names):
    import fitsio
    return fitsio.read(path, ext=1)


def astropy_all(path, names):
    from astropy.io import fits
    with fits.open(path, memmap=False) as f:
        d = f[1].data
        return [np.array(d[n]) for n in names]


def returned_bytes(values):
    """Bytes of what a reader returned: arrays' data, and lists with every object they hold."""
    total = 0
    for v in values:
        if isinstance(v, np.ndarray):
            total += v.nbytes
        elif isinstance(v, list):
            total += sys.getsizeof(v) + sum(sys.getsizeof(x) for x in v)
    return total


def child(args):
    """Runs one workload and prints the peak resident memory it added to what the process held
    before it, in bytes."""
    path, reader = args.child
    names = json.loads(args.names)
    before = status_bytes("VmRSS")
    if reader == "lookup":
        kept = vexlo.open(path)[1]
        arrays = 0
    else:
        kept = {"vexlo": vexlo_all, "fitsio": fitsio_all, "astropy": astropy_all}[reader](
            path, names)
        arrays = returned_bytes(kept if isinstance(kept, list) else [kept])
    peak = status_bytes("VmHWM")
    print(json.dumps({"added": max(peak - before, 0), "arrays": arrays}))


def peak_added(path, reader, names):
    out = subprocess.run([sys.executable, __file__, "--child", path, reader,
                          "--names", json.dumps(names)],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def pread_floor(path, offset, size):
    def read():
        fd = os.open(path, os.O_RDONLY)
        try:
            return os.pread(fd, size, offset)
        finally:
            os.close(fd)
    return read


def lookup_rows(label, path, repeat, fitsio, fits):
    """A table's lookup without reading a column, and one row of it, against the peers'
    header read and one-row read."""
    row(f"{label}: open(path)[1], no column read",
        best_of(repeat, lambda: vexlo.open(path)[1]), None,
        best_of(repeat, lambda: fitsio.read_header(path, 1)) if fitsio else None,
        best_of(repeat, lambda: fits.getheader(path, 1)) if fits else None)
    row(f"{label}: open(path)[1].row(5)",
        best_of(repeat, lambda: vexlo.open(path)[1].row(5)), None,
        best_of(repeat, lambda: fitsio.read(path, ext=1, rows=[5])) if fitsio else None,
        best_of(repeat, lambda: fits.open(path, memmap=False)[1].data[5]) if fits else None)


def timed_rows(label, path, offset, size, names, one, repeat, fitsio, fits):
    floor = best_of(repeat, pread_floor(path, offset, size))
    row(f"{label}: open + every column", best_of(repeat, lambda: vexlo_all(path, names)), floor,
        best_of(repeat, lambda: fitsio_all(path, names)) if fitsio else None,
        best_of(repeat, lambda: astropy_all(path, names)) if fits else None)
    row(f"{label}: open + every column by t[name]",
        best_of(repeat, lambda: vexlo_by_name(path, names)), floor,
        best_of(repeat, lambda: fitsio_all(path, names)) if fitsio else None,
        best_of(repeat, lambda: astropy_all(path, names)) if fits else None)
    row(f"{label}: open + one column ({one})",
        best_of(repeat, lambda: vexlo_all(path, [one])), floor,
        best_of(repeat, lambda: fitsio.read(path, ext=1, columns=[one])) if fitsio else None,
        best_of(repeat, lambda: astropy_all(path, [one])) if fits else None)


def memory_row(label, path, names, fitsio, fits):
    file_size = os.path.getsize(path)
    ours = peak_added(path, "vexlo", names)
    shown = [f"vexlo {ours['added'] / file_size:.2f}"]
    for name, present in (("fitsio", fitsio), ("astropy", fits)):
        if present:
            shown.append(f"{name} {peak_added(path, name, names)['added'] / file_size:.2f}")
    print(f"  peak memory added / file size, {label}: " + ", ".join(shown) +
          f"  (vexlo's arrays and lists returned: {ours['arrays'] / file_size:.2f})")


def make_files(tmp, n1m, n500k):
    """Writes every table into `tmp` and checks vexlo's answers against the written bytes.
    Returns the paths by name, and for the timed tables their data section's offset and size."""
    paths = {name: os.path.join(tmp, f"{name}.fits")
             for name in ("numeric", "mixed", "ascii", "text", "aliasing")}
    at = {"numeric": write_bintable(paths["numeric"], NUMERIC, n1m),
          "mixed": write_bintable(paths["mixed"], MIXED, n500k, mixed_heap),
          "ascii": write_ascii(paths["ascii"], n1m)}
    write_bintable(paths["text"], TEXT, n1m)
    write_aliasing(paths["aliasing"])

    # The answers agree before anything is timed.
    got = vexlo_all(paths["numeric"], ["FLUX", "ID"])
    raw = np.fromfile(paths["numeric"], np.dtype([(n, d) for n, _, d in NUMERIC]), n1m, "",
                      at["numeric"][0])
    assert np.array_equal(got[0], raw["FLUX"]) and np.array_equal(got[1], raw["ID"])
    assert vexlo_all(paths["ascii"], ["NAME"])[0][1].strip() == "obj1"
    assert len(vexlo_all(paths["mixed"], ["HITS"])[0]) == n500k
    return paths, at


def timed(args, paths, at, n1m, n500k, fitsio, fits):
    print(f"best of {args.repeat}; floor = one pread of the data section")
    table_head()
    timed_rows(f"numeric {n1m} x 10", paths["numeric"], *at["numeric"],
               [n for n, _, _ in NUMERIC], "FLUX", args.repeat, fitsio, fits)
    lookup_rows(f"numeric {n1m} x 10", paths["numeric"], args.repeat, fitsio, fits)
    timed_rows(f"mixed {n500k} x 7", paths["mixed"], *at["mixed"], [n for n, _, _ in MIXED],
               "MAG", args.repeat, fitsio, fits)
    timed_rows(f"ASCII {n1m} x 5", paths["ascii"], *at["ascii"], [n for n, _, _, _ in ASCII],
               "X", args.repeat, fitsio, fits)

    text = paths["text"]
    row(f"getval(path, 'NAXIS2', 1), {n1m} rows",
        best_of(args.repeat, lambda: vexlo.getval(text, "NAXIS2", 1)), None,
        best_of(args.repeat, lambda: fitsio.read_header(text, 1)["NAXIS2"])
        if fitsio else None,
        best_of(args.repeat, lambda: fits.getval(text, "NAXIS2", ext=1)) if fits else None)
    row(f"info(path), {n1m} rows",
        best_of(args.repeat, lambda: vexlo.info(text)), None,
        best_of(args.repeat, lambda: fitsio.FITS(text)[1].get_nrows()) if fitsio else None,
        best_of(args.repeat, lambda: fits.info(text, output=False)) if fits else None)
    row(f"open(path)[1].row(5), {n1m} rows",
        best_of(args.repeat, lambda: vexlo.open(text)[1].row(5)), None,
        best_of(args.repeat, lambda: fitsio.read(text, ext=1, rows=[5])) if fitsio else None,
        best_of(args.repeat, lambda: fits.open(text, memmap=False)[1].data[5])
        if fits else None)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--memory-only", action="store_true", help="skip the timed rows")
    parser.add_argument("--one-core", action="store_true",
                        help="only the timed rows, pinned to one core (also run after them)")
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    parser.add_argument("--names", default="[]", help=argparse.SUPPRESS)
    parser.add_argument("--files", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args)
        return
    if args.one_core:
        # Before vexlo first runs (the checks of the written files included), so that it sees
        # one usable core.
        pin_to_one_core()
    fitsio, fits = peers()
    n1m = int(1_000_000 * args.scale)
    n500k = int(500_000 * args.scale)

    with tempfile.TemporaryDirectory() as tmp:
        # The one-core pass run after the others reads the files they wrote and checked.
        paths, at = json.loads(args.files) if args.files else make_files(tmp, n1m, n500k)
        if args.one_core:
            print("one core:")
            timed(args, paths, at, n1m, n500k, fitsio, fits)
            return
        if not args.memory_only:
            print(f"{len(os.sched_getaffinity(0))} cores:")
            timed(args, paths, at, n1m, n500k, fitsio, fits)
            sys.stdout.flush()
            subprocess.run([sys.executable, __file__, "--one-core", "--scale", str(args.scale),
                            "--repeat", str(args.repeat), "--files", json.dumps([paths, at])],
                           check=True)
        memory_row("numeric, every column", paths["numeric"], [n for n, _, _ in NUMERIC],
                   fitsio, fits)
        memory_row("mixed, every column", paths["mixed"], [n for n, _, _ in MIXED], fitsio, fits)
        aliasing = paths["aliasing"]
        size = os.path.getsize(aliasing)
        print(f"  aliasing descriptors ({size / 2**20:.1f} MiB file, 50 x 1PB at one array): "
              f"memory at lookup / file size: "
              f"{peak_added(aliasing, 'lookup', [])['added'] / size:.2f}")

if __name__ == "__main__":
    main()

"""Files of many small HDUs and one huge header: every HDU of a file looked up by name, opening
a file and counting its HDUs, opening a file and reading every EXTNAME, and the peak memory of
opening a file of many empty HDUs or of one 10^6-card header, through vexlo against the floor
(numpy.fromfile of the whole file) and fitsio and astropy where installed, in one run.

    python bench/open_many.py [--lookup-hdus N] [--hdus M] [--memory-hdus A,B] [--cards C]
                              [--repeat R]

The timed files hold an empty primary HDU and small image extensions (4 x 4 int16, a handful
of cards each) named CCD1, CCD2, ...; the memory files hold extensions of no data (NAXIS = 0)
named E1, E2, ..., or a primary header of C distinct integer cards. Best of R runs, page cache
warm; astropy's lookups by name take seconds per run, so they run once. Every figure is given
on all the cores this process may use and on one core (a child pinned with
os.sched_setaffinity). Memory is the peak resident size of a child (VmHWM) less its size
before opening, over the file size; best of up to 3 children (astropy: one).
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


def write_file(path, n):
    pixels = np.arange(16, dtype=">i2").tobytes()
    with open(path, "wb") as fh:
        fh.write(header([card("SIMPLE", True), card("BITPIX", 8), card("NAXIS", 0),
                         card("EXTEND", True)]))
        for i in range(1, n):
            fh.write(header([
                card("XTENSION", "IMAGE"),
                card("BITPIX", 16),
                card("NAXIS", 2),
                card("NAXIS1", 4),
                card("NAXIS2", 4),
                card("PCOUNT", 0),
                card("GCOUNT", 1),
                card("EXTNAME", f"CCD{i}"),
                card("EXTVER", i),
                card("EXPTIME", 30),
                card("OBJECT", "field"),
            ]))
            fh.write(pixels + b"\0" * (BLOCK - len(pixels)))


def write_empty_hdus(path, n):
    primary = header([card("SIMPLE", True), card("BITPIX", 8), card("NAXIS", 0),
                      card("EXTEND", True)])
    with open(path, "wb") as fh:
        fh.write(primary)
        for i in range(1, n):
            fh.write(header([card("XTENSION", "IMAGE"), card("BITPIX", 8), card("NAXIS", 0),
                             card("PCOUNT", 0), card("GCOUNT", 1), card("EXTNAME", f"E{i}")]))


def write_huge_header(path, cards):
    with open(path, "wb") as fh:
        head = [card("SIMPLE", True), card("BITPIX", 8), card("NAXIS", 0)]
        fh.write(header(head + [card(f"K{i:07d}", i) for i in range(cards)]))


def memory_child(path, reader):
    """Opens `path` with `reader` and prints the peak resident memory that added, in bytes."""
    fitsio, fits = peers()
    open_file = {"vexlo": vexlo.open, "fitsio": lambda p: fitsio and fitsio.FITS(p),
                 "astropy": lambda p: fits and fits.open(p)}[reader]
    before = status_bytes("VmRSS")
    f = open_file(path)
    n = len(f)  # astropy reads its headers here
    print(json.dumps({"added": max(status_bytes("VmHWM") - before, 0), "hdus": n}))


def peak_added(path, reader, one_core, runs):
    cmd = [sys.executable, __file__, "--memory-child", path, reader]
    if one_core:
        cmd.append("--one-core")
    best = None
    for _ in range(runs):
        out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
        added = json.loads(out)["added"]
        best = added if best is None else min(best, added)
    return best


def memory_rows(tmp, args, fitsio, fits):
    readers = [("vexlo", True), ("fitsio", fitsio), ("astropy", fits)]
    print("\npeak memory added by opening (open + len), over the file size; "
          "8c = all cores, 1c = one core")
    print(f"{'file':<44}{'size':>10}" + "".join(f"{r + ' 8c/1c':>18}" for r, _ in readers))
    files = []
    for n in args.memory_hdus:
        path = os.path.join(tmp, f"empty{n}.fits")
        write_empty_hdus(path, n)
        files.append((f"{n} empty HDUs", path))
    path = os.path.join(tmp, "huge_header.fits")
    write_huge_header(path, args.cards)
    files.append((f"one header of {args.cards} cards", path))
    for label, path in files:
        size = os.path.getsize(path)
        shown = []
        for reader, present in readers:
            if not present:
                shown.append("-")
                continue
            runs = 1 if reader == "astropy" else min(args.repeat, 3)
            figures = [peak_added(path, reader, one, runs) / size for one in (False, True)]
            shown.append(f"{figures[0]:.2f}/{figures[1]:.2f}")
        print(f"{label:<44}{size / 1e6:>8.1f}MB" + "".join(f"{s:>18}" for s in shown))
        os.remove(path)


def timed_rows(tmp, args, fitsio, fits, tag):
    r = args.repeat
    n = args.lookup_hdus
    path = os.path.join(tmp, "lookup.fits")
    write_file(path, n)
    names = [f"CCD{i}" for i in range(1, n)]
    floor = best_of(r, lambda: np.fromfile(path, np.uint8))

    def ours_by_name():
        f = vexlo.open(path)
        for name in names:
            f[name]

    def fitsio_by_name():
        f = fitsio.FITS(path)
        for name in names:
            f[name]

    def astropy_by_name():
        f = fits.open(path)
        for name in names:
            f[name]

    assert vexlo.open(path)[names[-1]].header.get("EXTNAME") == names[-1]
    row(f"{n}-HDU file: open + every HDU looked up by name{tag}", best_of(r, ours_by_name),
        floor, best_of(r, fitsio_by_name) if fitsio else None,
        best_of(1, astropy_by_name) if fits else None)

    n = args.hdus
    path = os.path.join(tmp, "many.fits")
    write_file(path, n)
    floor = best_of(r, lambda: np.fromfile(path, np.uint8))

    row(f"{n}-HDU file: open + len{tag}", best_of(r, lambda: len(vexlo.open(path))), floor,
        best_of(r, lambda: len(fitsio.FITS(path))) if fitsio else None,
        best_of(r, lambda: len(fits.open(path))) if fits else None)

    def ours_names():
        f = vexlo.open(path)
        return [f[i].header.get("EXTNAME") for i in range(len(f))]

    def fitsio_names():
        return [h.get_extname() for h in fitsio.FITS(path)]

    def astropy_names():
        return [h.header.get("EXTNAME") for h in fits.open(path)]

    assert ours_names()[-1] == f"CCD{n - 1}"
    ours = best_of(r, ours_names)
    row(f"{n}-HDU file: open + every EXTNAME{tag}", ours, floor,
        best_of(r, fitsio_names) if fitsio else None,
        best_of(r, astropy_names) if fits else None)
    print(f"  ({ours / n * 1e6:.1f} us per HDU)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lookup-hdus", type=int, default=1000)
    parser.add_argument("--hdus", type=int, default=1000)
    parser.add_argument("--memory-hdus", default="10000,100000",
                        type=lambda s: [int(x) for x in s.split(",") if x])
    parser.add_argument("--cards", type=int, default=1000000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--one-core", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--timed-child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--memory-child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one_core:
        pin_to_one_core()
    if args.memory_child:
        memory_child(*args.memory_child)
        return
    fitsio, fits = peers()

    with tempfile.TemporaryDirectory() as tmp:
        if args.timed_child:
            timed_rows(tmp, args, fitsio, fits, " (1c)")
            return
        print(f"best of {args.repeat}; floor = numpy.fromfile of the whole file; "
              f"{len(os.sched_getaffinity(0))} cores, then one (1c)")
        table_head()
        timed_rows(tmp, args, fitsio, fits, "")
        sys.stdout.flush()
        subprocess.run([sys.executable, __file__, "--timed-child", "--one-core",
                        "--lookup-hdus", str(args.lookup_hdus), "--hdus", str(args.hdus),
                        "--repeat", str(args.repeat)], check=True)
        memory_rows(tmp, args, fitsio, fits)


if __name__ == "__main__":
    main()

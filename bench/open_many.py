"""Opening a file of many small HDUs: `vexlo.open`, `len`, and every HDU's EXTNAME through
its header, timed together and step by step.

    python bench/open_many.py [--hdus N] [--repeat R] [--keep PATH]

The file holds an empty primary HDU and N - 1 small image extensions (4 x 4 int16, a handful
of cards each). Prints the best time over R runs in microseconds per HDU.
"""

import argparse
import os
import tempfile
import time

import numpy as np

import vexlo

from rawfits import BLOCK, card, header


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


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--hdus", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--keep", help="path of the file (kept afterwards)")
    args = parser.parse_args()

    path = args.keep or os.path.join(tempfile.mkdtemp(prefix="vexlo-bench-"), "many.fits")
    write_file(path, args.hdus)
    n = args.hdus

    def everything():
        f = vexlo.open(path)
        names = [f[i].header.get("EXTNAME") for i in range(len(f))]
        assert len(names) == n and names[-1] == f"CCD{n - 1}"

    def open_only():
        f = vexlo.open(path)
        assert len(f) == n

    opened = [None]

    def lookups():
        f = vexlo.open(path)
        opened[0] = f
        for i in range(len(f)):
            f[i]

    f = vexlo.open(path)
    hdus = [f[i] for i in range(len(f))]

    def extnames():
        for h in hdus:
            h.header.get("EXTNAME")

    def by_name():
        g = vexlo.open(path)
        g[f"CCD{n - 1}"]

    print(f"{n} HDUs, best of {args.repeat}, microseconds per HDU")
    rows = [
        ("open + len + every EXTNAME", everything),
        ("open + len", open_only),
        ("open + build every HDU object", lookups),
        ("EXTNAME of built HDUs", extnames),
        ("open + lookup of the last name", by_name),
    ]
    for label, fn in rows:
        print(f"{label:<34}{best(fn, args.repeat) / n * 1e6:>10.2f}")
    if not args.keep:
        os.remove(path)
        os.rmdir(os.path.dirname(path))


if __name__ == "__main__":
    main()

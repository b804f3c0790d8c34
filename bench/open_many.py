"""Files of many small HDUs: every HDU of a file looked up by name, opening a file and
counting its HDUs, and opening a file and reading every EXTNAME, through vexlo against the
floor (numpy.fromfile of the whole file) and fitsio and astropy where installed, in one run.

    python bench/open_many.py [--lookup-hdus N] [--hdus M] [--repeat R]

Each file holds an empty primary HDU and small image extensions (4 x 4 int16, a handful of
cards each) named CCD1, CCD2, ... Best of R runs, page cache warm; astropy's lookups by name
take seconds per run, so they run once.
"""

import argparse
import os
import tempfile

import numpy as np

import vexlo

from rawfits import BLOCK, best_of, card, header, peers, row, table_head


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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lookup-hdus", type=int, default=1000)
    parser.add_argument("--hdus", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    fitsio, fits = peers()
    r = args.repeat

    with tempfile.TemporaryDirectory() as tmp:
        print(f"best of {r}; floor = numpy.fromfile of the whole file")
        table_head()

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
        row(f"{n}-HDU file: open + every HDU looked up by name", best_of(r, ours_by_name),
            floor, best_of(r, fitsio_by_name) if fitsio else None,
            best_of(1, astropy_by_name) if fits else None)

        n = args.hdus
        path = os.path.join(tmp, "many.fits")
        write_file(path, n)
        floor = best_of(r, lambda: np.fromfile(path, np.uint8))

        row(f"{n}-HDU file: open + len", best_of(r, lambda: len(vexlo.open(path))), floor,
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
        row(f"{n}-HDU file: open + every EXTNAME", ours, floor,
            best_of(r, fitsio_names) if fitsio else None,
            best_of(r, astropy_names) if fits else None)
        print(f"  ({ours / n * 1e6:.1f} us per HDU)")


if __name__ == "__main__":
    main()

"""Writing a binary table of 1,000,000 rows and 10 numeric columns through vexlo.bintable +
vexlo.write against the raw floor: the header bytes, then a big-endian NumPy record array
filled column by column and written with tofile(), then the block padding. Prints times and
the ratio.

    PYTHONPATH=<build>/python python3 bench/write_table.py [rows] [repeats]
"""

import os
import sys
import tempfile

import numpy as np

import vexlo

from rawfits import BLOCK, best_of
DTYPES = ["f8", "f8", "f8", "f8", "f4", "f4", "i4", "i4", "i2", "i8"]


def raw_floor(path, columns, header_bytes):
    """The least any writer must do: the row-major big-endian rows and the bytes on disk."""
    names = list(columns)
    rows = np.empty(len(columns[names[0]]),
                    dtype=[(n, ">" + c.dtype.str[1:]) for n, c in columns.items()])
    for n in names:
        rows[n] = columns[n]
    with open(path, "wb") as f:
        f.write(header_bytes)
        rows.tofile(f)
        f.write(b"\0" * (-rows.nbytes % BLOCK))


def main():
    n_rows = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    rng = np.random.default_rng(0)
    columns = {
        f"c{i}": (rng.standard_normal(n_rows) * 1000).astype(dt) for i, dt in enumerate(DTYPES)
    }
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "table.fits")
        vexlo.write(path, [vexlo.bintable(columns)], overwrite=True)
        with open(path, "rb") as f:
            raw = f.read(4 * BLOCK)
        # The table header follows the empty primary HDU's single block.
        end = raw.index(b"END" + b" " * 77, BLOCK)
        header_bytes = raw[: end + 80 + (-(end + 80) % BLOCK)]

        floor = best_of(repeats, lambda: raw_floor(path, columns, header_bytes))
        encode = best_of(repeats, lambda: vexlo.bintable(columns))
        total = best_of(
            repeats, lambda: vexlo.write(path, [vexlo.bintable(columns)], overwrite=True)
        )
        summed = best_of(
            repeats,
            lambda: vexlo.write(path, [vexlo.bintable(columns)], overwrite=True, checksums=True),
        )
        mb = sum(c.nbytes for c in columns.values()) / 1e6
        print(f"{n_rows} rows x {len(columns)} columns ({mb:.1f} MB of rows)")
        print(f"  raw floor               {floor * 1e3:8.1f} ms")
        print(f"  bintable() alone        {encode * 1e3:8.1f} ms")
        print(f"  bintable() + write()    {total * 1e3:8.1f} ms   ratio {total / floor:5.2f}")
        print(f"  ... checksums=True      {summed * 1e3:8.1f} ms   ratio {summed / floor:5.2f}")


if __name__ == "__main__":
    main()

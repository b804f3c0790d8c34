"""Writing 4096 x 4096 images through vexlo.image + vexlo.write against the raw floor: the
header bytes followed by array.astype(big-endian).tofile() and the block padding. Prints
times and ratios, with and without checksums (and what checksums add to a write), and
`verify_checksums` against a plain read of the same file's bytes.

    PYTHONPATH=<build>/python python3 bench/write_image.py [side] [repeats]
"""

import os
import sys
import tempfile

import numpy as np

import vexlo

from rawfits import BLOCK, best_of


def raw_floor(path, array, header_bytes):
    """The least any writer must do: one big-endian conversion and the bytes on disk."""
    with open(path, "wb") as f:
        f.write(header_bytes)
        big = array.astype(array.dtype.newbyteorder(">"))
        big.tofile(f)
        f.write(b"\0" * (-big.nbytes % BLOCK))


def main():
    side = int(sys.argv[1]) if len(sys.argv) > 1 else 4096
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    rng = np.random.default_rng(0)
    arrays = {
        "int16": rng.integers(-30000, 30000, size=(side, side), dtype=np.int16),
        "float32": rng.standard_normal((side, side), dtype=np.float32),
    }
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "bench.fits")
        for name, a in arrays.items():
            mb = a.nbytes / 1e6
            # The header a conforming writer produces for this image.
            vexlo.write(path, [vexlo.image(a)], overwrite=True)
            with open(path, "rb") as f:
                header_bytes = f.read(BLOCK)
            floor = best_of(repeats, lambda: raw_floor(path, a, header_bytes))
            plain = best_of(repeats, lambda: vexlo.write(path, [vexlo.image(a)], overwrite=True))
            summed = best_of(
                repeats,
                lambda: vexlo.write(path, [vexlo.image(a)], overwrite=True, checksums=True),
            )
            encode = best_of(repeats, lambda: vexlo.image(a))
            print(f"{name} {side}x{side} ({mb:.1f} MB)")
            print(f"  raw floor             {floor * 1e3:8.1f} ms")
            print(f"  image() alone         {encode * 1e3:8.1f} ms")
            print(f"  image() + write()     {plain * 1e3:8.1f} ms   ratio {plain / floor:5.2f}")
            print(f"  ... checksums=True    {summed * 1e3:8.1f} ms   ratio {summed / floor:5.2f}"
                  f"   (+{(summed / plain - 1) * 100:.0f} % over the plain write)")
            if hasattr(vexlo.FitsFile, "verify_checksums"):
                size = os.path.getsize(path)

                def verify():
                    with vexlo.open(path) as f:
                        f.verify_checksums()

                t = best_of(repeats, verify)
                read = best_of(repeats, lambda: np.fromfile(path, np.uint8))
                print(f"  verify_checksums      {t * 1e3:8.1f} ms   {size / t / 1e9:5.2f} GB/s"
                      f"   plain read {read * 1e3:.1f} ms, ratio {t / read:5.2f}")


if __name__ == "__main__":
    main()

"""Reading a large image: `vexlo.open(path)[0].data` from a fresh open, against the raw floor
`numpy.fromfile(path, dtype=big-endian, offset=header).astype(native)`.

    python bench/read_image.py [--size N] [--repeat R] [--keep DIR]

Images of N x N pixels: int16, float32, and int16 with BSCALE/BZERO (read as float32; its
floor converts the stored values the same way in NumPy). Prints the best time of each side
over R runs and their ratio. The files are written once and read from the page cache.
"""

import argparse
import os
import tempfile
import time

import numpy as np

import vexlo

from rawfits import BLOCK, card, header


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


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
        del result
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=4096)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--keep", help="directory for the files (kept afterwards)")
    args = parser.parse_args()

    n = args.size
    rng = np.random.default_rng(3)
    ints = rng.integers(-30000, 30000, (n, n)).astype(">i2")
    floats = rng.standard_normal((n, n)).astype(">f4")
    scale, zero = 0.5, 100.0

    directory = args.keep or tempfile.mkdtemp(prefix="vexlo-bench-")
    os.makedirs(directory, exist_ok=True)
    cases = []
    path = os.path.join(directory, "int16.fits")
    offset = write_image(path, ints, 16)
    cases.append(("int16", path, lambda p=path, o=offset: np.fromfile(p, ">i2", n * n, offset=o)
                  .reshape(n, n).astype("=i2")))
    path = os.path.join(directory, "float32.fits")
    offset = write_image(path, floats, -32)
    cases.append(("float32", path, lambda p=path, o=offset: np.fromfile(p, ">f4", n * n, offset=o)
                  .reshape(n, n).astype("=f4")))
    path = os.path.join(directory, "scaled_int16.fits")
    offset = write_image(path, ints, 16, [card("BSCALE", scale), card("BZERO", zero)])
    cases.append((
        "int16 scaled",
        path,
        lambda p=path, o=offset: (
            zero + scale * np.fromfile(p, ">i2", n * n, offset=o).reshape(n, n).astype("f8")
        ).astype("f4"),
    ))

    print(f"{n} x {n} images, best of {args.repeat}")
    print(f"{'image':<14}{'vexlo ms':>10}{'floor ms':>10}{'ratio':>8}")
    for name, path, floor in cases:
        check = vexlo.open(path)[0].data
        assert np.array_equal(check, floor()), name
        del check
        ours = best(lambda p=path: vexlo.open(p)[0].data, args.repeat)
        raw = best(floor, args.repeat)
        print(f"{name:<14}{ours * 1e3:>10.2f}{raw * 1e3:>10.2f}{ours / raw:>8.2f}")
    if not args.keep:
        for _, path, _ in cases:
            os.remove(path)
        os.rmdir(directory)


if __name__ == "__main__":
    main()

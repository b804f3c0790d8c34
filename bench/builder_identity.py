"""Random calls of image(), bintable() and compressed_image(), each written to a file: one
line per call with the SHA-256 of the file's bytes, or the error's type and text, and any
warning texts. Two builds that give the same lines for the same seed build the same files
and refuse the same input with the same words.

    python bench/builder_identity.py OUT [--seed S] [--calls N]

Compare two builds by running each with the same seed and diffing the outputs.
"""

import argparse
import hashlib
import os
import tempfile
import warnings

import numpy as np

import vexlo

IMAGE_DTYPES = ["bool", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "f4", "f8",
                ">i2", ">f8", "f2", "c8", "U3"]
COLUMN_DTYPES = ["bool", "u1", "i2", "i4", "i8", "f4", "f8", "i1", "u2", "u4", "u8", ">i4", "f2",
                 "c16"]
TEXTS = ["", "a", "abc", "hello world", "x" * 20, "  lead", "trail  ", "caf\u00e9", "tab\there"]


def values(rng, dtype, shape):
    """An array of `dtype`, edges of its range included now and then."""
    dt = np.dtype(dtype)
    if dt.kind == "b":
        return rng.integers(0, 2, shape).astype(dt)
    if dt.kind in "iu":
        info = np.iinfo(dt)
        a = rng.integers(info.min, info.max, shape, dtype=np.int64 if dt.kind == "i" or
                         dt.itemsize < 8 else np.uint64, endpoint=True).astype(dt)
        if a.size and rng.random() < 0.3:
            a.flat[0] = info.max
            a.flat[-1] = info.min
        return a
    if dt.kind == "f":
        a = (rng.standard_normal(shape) * 10.0 ** rng.integers(-3, 6)).astype(dt)
        if a.size and rng.random() < 0.3:
            a.flat[0] = np.nan
        if a.size > 1 and rng.random() < 0.2:
            a.flat[1] = -np.inf
        return a
    if dt.kind == "c":
        return (rng.standard_normal(shape) + 1j * rng.standard_normal(shape)).astype(dt)
    return np.full(shape, "ab", dtype=dt)


def image_header(rng, dtype_kind):
    choice = rng.integers(0, 8)
    if choice == 0:
        return None
    if choice == 1:
        return {"OBJECT": "M31", "EXPTIME": float(rng.random() * 100)}
    if choice == 2:
        return {"BZERO": float(rng.integers(-5, 5)), "BSCALE": 2.0}
    if choice == 3:
        return {"BLANK": int(rng.integers(-10, 10))}
    if choice == 4:
        return {"NAXIS": 3}  # structural, computed anyway
    if choice == 5:
        return {"TFORM1": "E"}  # a table card on an image
    if choice == 6:
        return {"HISTORY": "made here", "COMMENT": "twice"}
    return {"BZERO": 32768, "BSCALE": 1}


def random_shape(rng, max_dims=3):
    """Mostly small non-empty shapes; now and then no axis or an empty one."""
    nd = 0 if rng.random() < 0.05 else int(rng.integers(1, max_dims + 1))
    return tuple(int(rng.integers(0 if rng.random() < 0.05 else 1, 7)) for _ in range(nd))


def image_call(rng):
    dtype = IMAGE_DTYPES[rng.integers(0, len(IMAGE_DTYPES) if rng.random() < 0.1 else 11)]
    data = values(rng, dtype, random_shape(rng))
    if data.ndim >= 2 and rng.random() < 0.2:
        data = data[:, ::2]  # not contiguous
    kwargs = {}
    if rng.random() < 0.5:
        kwargs["header"] = image_header(rng, np.dtype(dtype).kind)
    if rng.random() < 0.5:
        kwargs["primary"] = bool(rng.integers(0, 2))
    if rng.random() < 0.05:
        data = data.tolist()
    if kwargs.get("primary") is False:
        # An extension needs a primary HDU before it.
        return "image", lambda: [vexlo.image(np.zeros(1, "u1")), vexlo.image(data, **kwargs)]
    return "image", lambda: [vexlo.image(data, **kwargs)]


def text(rng):
    """A string, one that no character column takes now and then."""
    return TEXTS[rng.integers(0, len(TEXTS) if rng.random() < 0.1 else len(TEXTS) - 2)]


def column(rng, n_rows):
    kind = rng.integers(0, 7)
    if kind <= 2:
        bad = rng.random() < 0.1
        dtype = COLUMN_DTYPES[rng.integers(0, len(COLUMN_DTYPES) if bad else 7)]
        shape = (n_rows,) if kind < 2 else (n_rows, int(rng.integers(0, 4)))
        return values(rng, dtype, shape)
    if kind == 3:
        return [text(rng) for _ in range(n_rows)]
    if kind == 4:
        per = int(rng.integers(1, 4))
        return [[TEXTS[rng.integers(0, 5)] for _ in range(per)] for _ in range(n_rows)]
    if kind == 5:
        return [complex(rng.standard_normal(), rng.standard_normal()) for _ in range(n_rows)]
    dtype = COLUMN_DTYPES[rng.integers(0, 11)]
    return [values(rng, dtype, (int(rng.integers(0, 5)),)) for _ in range(n_rows)]


def bintable_call(rng):
    n_rows = int(rng.integers(0, 6))
    columns = {}
    for i in range(int(rng.integers(0, 5))):
        rows = n_rows if rng.random() < 0.95 else n_rows + 1
        columns[f"C{i}" if rng.random() < 0.9 else "c0"] = column(rng, rows)
    kwargs = {}
    if columns and rng.random() < 0.3:
        kwargs["units"] = {next(iter(columns)): "m/s"}
    if rng.random() < 0.3:
        kwargs["extname"] = ["EVENTS", "", "X" * 70, "caf\u00e9"][rng.integers(0, 4 if rng.random() < 0.1 else 3)]
    return "bintable", lambda: [vexlo.bintable(columns, **kwargs)]


def compressed_call(rng):
    dtype = IMAGE_DTYPES[rng.integers(0, 13)]
    shape = random_shape(rng)
    data = values(rng, dtype, shape)
    kwargs = {}
    r = rng.random()
    if r < 0.3 and data.ndim:
        kwargs["tile_shape"] = [int(rng.integers(0 if rng.random() < 0.1 else 1, 4))
                                for _ in range(data.ndim)]
    elif r < 0.4:
        kwargs["tile_shape"] = [2]
    if rng.random() < 0.4:
        kwargs["header"] = [None, {"OBJECT": "x"}, {"ZIMAGE": True}, {"BZERO": 3.0},
                            {"EXTNAME": "SCI"}][rng.integers(0, 5)]
    if rng.random() < 0.2:
        kwargs["extname"] = "TILES"
    return "compressed_image", lambda: [vexlo.compressed_image(data, **kwargs)]


def outcome(make, path):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            hdus = make()
            vexlo.write(path, hdus, overwrite=True)
            with open(path, "rb") as f:
                got = hashlib.sha256(f.read()).hexdigest()
        except Exception as e:  # noqa: BLE001 - the error itself is the result
            got = f"{type(e).__name__}: {e}"
    shown = " | ".join(str(w.message) for w in caught)
    return got + (f" [warnings: {shown}]" if shown else "")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out")
    ap.add_argument("--seed", type=int, default=31)
    ap.add_argument("--calls", type=int, default=5000)
    args = ap.parse_args()
    rng = np.random.default_rng(args.seed)
    makers = [image_call, bintable_call, compressed_call]
    with tempfile.TemporaryDirectory() as tmp, open(args.out, "w") as out:
        path = os.path.join(tmp, "out.fits")
        for i in range(args.calls):
            name, make = makers[i % 3](rng)
            out.write(f"{i} {name} {outcome(make, path)}\n")


if __name__ == "__main__":
    main()

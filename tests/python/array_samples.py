"""Sample arrays of every dtype the image builders take, shared by the tile-compression tests."""

import numpy as np

DTYPES = ["bool", "int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64",
          "float32", "float64"]


def sample_array(dtype, shape, seed, nan_at=(2, 3), minus_inf_at=None):
    """Random values of `dtype`: integers spanning the type with both extremes in the first row,
    floats around 100 with a NaN (and optionally -inf) at the given places."""
    rng = np.random.default_rng(seed)
    if dtype == "bool":
        return rng.integers(0, 2, shape).astype(bool)
    if np.dtype(dtype).kind == "f":
        a = rng.normal(100, 20, shape).astype(dtype)
        a[nan_at] = np.nan
        if minus_inf_at is not None:
            a[minus_inf_at] = -np.inf
        return a
    info = np.iinfo(dtype)
    a = rng.integers(info.min, info.max, shape, dtype=dtype, endpoint=True)
    a[0, :2] = info.min, info.max
    return a

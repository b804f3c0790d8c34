"""Shared benchmark helpers: raw FITS cards and blocks without vexlo, and best-of timing."""

import os
import time

BLOCK = 2880


def card(key, value):
    if isinstance(value, str):
        value = f"{chr(39) + value.ljust(8) + chr(39):<20}"
    elif isinstance(value, bool):
        value = f"{'T' if value else 'F':>20}"
    else:
        value = f"{value!r:>20}" if isinstance(value, float) else f"{value:>20}"
    return f"{key:<8}= {value}".ljust(80)


def header(cards):
    text = "".join(cards) + "END".ljust(80)
    return (text + " " * (-len(text) % BLOCK)).encode("ascii")


def best_of(repeats, step):
    """The fastest of `repeats` runs of `step`, in seconds."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        step()
        best = min(best, time.perf_counter() - start)
    return best


def peers():
    """fitsio and astropy.io.fits where installed (either may be None): benchmark peers only."""
    try:
        import fitsio
    except ImportError:
        fitsio = None
    try:
        from astropy.io import fits
    except ImportError:
        fits = None
    return fitsio, fits


def pin_to_one_core():
    """Keeps this process on the lowest of its cores. vexlo counts the usable cores once per
    process, so this comes before its first call (or runs in a child before exec)."""
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})


def status_bytes(field):
    """A memory figure of this process from /proc/self/status (VmHWM is the peak of this
    process's own memory; ru_maxrss would carry the parent's peak across exec)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise LookupError(field)


def raw_floor(path, dtype, count, offset):
    """The least a reader must do: the bytes read by NumPy and byte-swapped in place."""
    import numpy as np

    def read():
        a = np.fromfile(path, dtype=dtype, count=count, offset=offset)
        if a.dtype.itemsize > 1 and a.dtype.names is None:
            a = a.byteswap(inplace=True).view(a.dtype.newbyteorder("="))
        return a

    return read


def pread_floor(path, nbytes, offset):
    """The bare read: one positional read of the same bytes into a new NumPy buffer."""
    import numpy as np

    def read():
        out = np.empty(nbytes, dtype="u1")
        with open(path, "rb", buffering=0) as fh:
            got = os.preadv(fh.fileno(), [out], offset)
        assert got == nbytes
        return out

    return read


def table_head():
    print(f"{'workload':<58}{'vexlo':>11}{'x floor':>9}{'x fitsio':>10}{'x astropy':>11}")


def row(label, ours, floor=None, fitsio=None, astropy=None, unit="ms"):
    """One line: our best time, then the ratio of ours to the floor and to each peer ('-' where
    that side was not run)."""
    def ratio(other):
        return f"{ours / other:.2f}" if other else "-"

    shown = f"{ours * 1e3:.2f} ms" if unit == "ms" else f"{ours * 1e6:.1f} us"
    print(f"{label:<58}{shown:>11}{ratio(floor):>9}{ratio(fitsio):>10}{ratio(astropy):>11}")

"""Shared benchmark helpers: raw FITS cards and blocks without vexlo, and best-of timing."""

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

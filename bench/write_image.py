"""Writing 4096 x 4096 images through vexlo.image + vexlo.write, on all cores and on one core
from one run, against a floor and the peers. The floor is the least a crash-safe writer does
on one thread: the header bytes and the byte-swapped pixels (array.astype(">").tofile) with
the block padding, written into a temporary sibling that is renamed over the target (nothing
is synced; neither vexlo nor the peers sync). fitsio and astropy, where installed, write the
same array. Rows with checksums=True give their ratio to the same write without checksums.
Also prints what image() alone costs, `verify_checksums` against a plain read, and a loop of
1000 small (10 x 10) images written as new files and as overwrites, where a writer that waited
for the disk on every file would show at once. The one-core rows come from a child process
pinned to one core (sched_setaffinity).

    PYTHONPATH=<build>/python python3 bench/write_image.py [--side N] [--repeat N]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

import vexlo

from rawfits import BLOCK, peers, pin_to_one_core


def best_interleaved(repeats, steps):
    """The fastest of `repeats` runs of each step, the steps taking turns within each round so
    that a change in the machine's load falls on all of them alike; None for a missing step."""
    best = [float("inf") if step else None for step in steps]
    for _ in range(repeats):
        for i, step in enumerate(steps):
            if step is None:
                continue
            start = time.perf_counter()
            step()
            best[i] = min(best[i], time.perf_counter() - start)
    return best


def floor(path, array, header_bytes):
    """One big-endian conversion and the bytes in a temporary sibling renamed over the
    target: what any writer that leaves no half-written file must do."""
    temporary = path + ".tmp"
    with open(temporary, "wb") as f:
        f.write(header_bytes)
        big = array.astype(array.dtype.newbyteorder(">"))
        big.tofile(f)
        f.write(b"\0" * (-big.nbytes % BLOCK))
    os.rename(temporary, path)


def arrays(side):
    rng = np.random.default_rng(0)
    return {
        "float32": rng.standard_normal((side, side), dtype=np.float32),
        "int16": rng.integers(-30000, 30000, size=(side, side), dtype=np.int16),
        "uint16": rng.integers(0, 65535, size=(side, side), dtype=np.uint16),
    }


def small_files(d, count, repeats, fitsio, fits):
    """Times of `count` writes of a 10 x 10 int16 image, as new files and as overwrites."""
    a = np.arange(100, dtype=np.int16).reshape(10, 10)
    probe = os.path.join(d, "probe.fits")
    vexlo.write(probe, [vexlo.image(a)], overwrite=True)
    with open(probe, "rb") as f:
        header_bytes = f.read(BLOCK)

    def timed(write, fresh):
        """Best of `repeats` loops; new files go to an empty directory each time, overwrites
        replace the files of an earlier loop."""
        best = float("inf")
        sub = os.path.join(d, "loop")
        for run in range(repeats + (0 if fresh else 1)):
            if fresh:
                shutil.rmtree(sub, ignore_errors=True)
            os.makedirs(sub, exist_ok=True)
            paths = [os.path.join(sub, f"{i}.fits") for i in range(count)]
            start = time.perf_counter()
            for p in paths:
                write(p)
            if fresh or run > 0:
                best = min(best, time.perf_counter() - start)
        shutil.rmtree(sub, ignore_errors=True)
        return best

    out = {}
    for fresh, label in ((True, "new files"), (False, "overwrites")):
        ours = timed(lambda p: vexlo.write(p, [vexlo.image(a)], overwrite=not fresh), fresh)
        base = timed(lambda p: floor(p, a, header_bytes), fresh)
        t_fitsio = (timed(lambda p: fitsio.write(p, a, clobber=not fresh), fresh)
                    if fitsio else None)
        t_astropy = (timed(lambda p: fits.writeto(p, a, overwrite=not fresh), fresh)
                     if fits else None)
        out[f"{count} writes of 10x10 int16, {label}"] = [ours, base, None, t_fitsio, t_astropy]
    return out


def measure(d, side, repeats):
    """Every row's times: [vexlo, floor, without-checksums, fitsio, astropy] (None where a side
    does not apply), then the detail figures."""
    fitsio, fits = peers()
    rows = {}
    details = {}
    path = os.path.join(d, "bench.fits")
    for name, a in arrays(side).items():
        mb = a.nbytes / 2**20
        vexlo.write(path, [vexlo.image(a)], overwrite=True)
        with open(path, "rb") as f:
            header_bytes = f.read(BLOCK)
        ours, summed, base, t_fitsio, t_astropy = best_interleaved(repeats, [
            lambda: vexlo.write(path, [vexlo.image(a)], overwrite=True),
            lambda: vexlo.write(path, [vexlo.image(a)], overwrite=True, checksums=True),
            lambda: floor(path, a, header_bytes),
            (lambda: fitsio.write(path, a, clobber=True)) if fitsio else None,
            (lambda: fits.writeto(path, a, overwrite=True)) if fits else None,
        ])
        label = f"write {side}x{side} {name} ({mb:.0f} MiB)"
        rows[label] = [ours, base, None, t_fitsio, t_astropy]
        rows[label + ", checksums"] = [summed, base, ours, None, None]
        vexlo.write(path, [vexlo.image(a)], overwrite=True, checksums=True)
        encode, = best_interleaved(repeats, [lambda: vexlo.image(a)])

        def verify():
            with vexlo.open(path) as f:
                f.verify_checksums()

        t_verify, read = best_interleaved(repeats, [verify, lambda: np.fromfile(path, np.uint8)])
        details[name] = [encode, t_verify, os.path.getsize(path), read]
    rows.update(small_files(d, 1000, repeats, fitsio, fits))
    return rows, details


def one_core(side, repeats):
    cmd = [sys.executable, __file__, "--side", str(side), "--repeat", str(repeats), "--json"]
    text = subprocess.run(cmd, check=True, capture_output=True, text=True,
                          preexec_fn=pin_to_one_core).stdout
    return json.loads(text)


def print_rows(title, rows, details):
    def ratio(ours, other):
        return f"{ours / other:.2f}" if other else "-"

    print(title)
    print(f"{'workload':<46}{'vexlo':>11}{'x floor':>9}{'x plain':>9}{'x fitsio':>10}"
          f"{'x astropy':>11}")
    for label, (ours, base, plain, t_fitsio, t_astropy) in rows.items():
        print(f"{label:<46}{ours * 1e3:>8.1f} ms{ratio(ours, base):>9}{ratio(ours, plain):>9}"
              f"{ratio(ours, t_fitsio):>10}{ratio(ours, t_astropy):>11}")
    for name, (encode, t_verify, size, read) in details.items():
        print(f"  {name}: image() alone {encode * 1e3:.1f} ms; verify_checksums "
              f"{t_verify * 1e3:.1f} ms ({size / t_verify / 1e9:.2f} GB/s, "
              f"{t_verify / read:.2f} x a plain read)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--side", type=int, default=4096)
    parser.add_argument("--repeat", type=int, default=9)
    parser.add_argument("--json", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as d:
        if args.json:
            print(json.dumps(measure(d, args.side, args.repeat)))
            return
        many = measure(d, args.side, args.repeat)
    one = one_core(args.side, args.repeat)
    print(f"best of {args.repeat}; 'x plain' is the same write without checksums")
    print_rows(f"{len(os.sched_getaffinity(0))} cores", *many)
    print()
    print_rows("1 core", *one)


if __name__ == "__main__":
    main()

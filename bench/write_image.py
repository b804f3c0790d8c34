"""Writing 4096 x 4096 images through vexlo.image + vexlo.write, against two floors and the
peers, all in one run. The plain floor writes the header bytes and the big-endian pixels
(array.astype(">").tofile) with the block padding; the durable floor does the same into a
temporary file that it then fsyncs and renames over the target, which is what a crash-safe
writer must do. fitsio and astropy, where installed, write the same array (neither syncs).
Also prints what checksums add and `verify_checksums` against a plain read, and a loop of
1000 small (10 x 10) images written as new files and as overwrites, where a writer that waited
for the disk on every file would show at once. Run it under `taskset -c 0` for one core.

    PYTHONPATH=<build>/python python3 bench/write_image.py [side] [repeats]
"""

import os
import shutil
import sys
import tempfile
import time

import numpy as np

import vexlo

from rawfits import BLOCK, best_of, peers


def plain_floor(path, array, header_bytes):
    """The least any writer must do: one big-endian conversion and the bytes on disk."""
    with open(path, "wb") as f:
        f.write(header_bytes)
        big = array.astype(array.dtype.newbyteorder(">"))
        big.tofile(f)
        f.write(b"\0" * (-big.nbytes % BLOCK))


def durable_floor(path, array, header_bytes):
    """The plain floor made crash-safe: a temporary file, fsync, rename over the target."""
    temporary = path + ".tmp"
    with open(temporary, "wb") as f:
        f.write(header_bytes)
        big = array.astype(array.dtype.newbyteorder(">"))
        big.tofile(f)
        f.write(b"\0" * (-big.nbytes % BLOCK))
        f.flush()
        os.fsync(f.fileno())
    os.rename(temporary, path)


def print_row(label, ours, plain, durable, t_fitsio, t_astropy):
    """Our best time, then its ratio to each floor and peer ('-' where a peer is missing)."""

    def ratio(other):
        return f"{ours / other:.2f}" if other else "-"

    print(f"{label:<40}{ours * 1e3:>7.1f} ms{ratio(plain):>9}{ratio(durable):>11}"
          f"{ratio(t_fitsio):>10}{ratio(t_astropy):>11}")


def small_files(count, repeats, fitsio, fits):
    """Rows for `count` writes of a 10 x 10 int16 image, as new files and as overwrites."""
    a = np.arange(100, dtype=np.int16).reshape(10, 10)
    rows = []
    with tempfile.TemporaryDirectory() as d:
        probe = os.path.join(d, "probe.fits")
        vexlo.write(probe, [vexlo.image(a)])
        with open(probe, "rb") as f:
            header_bytes = f.read(BLOCK)

        def timed(write, fresh):
            """Best of `repeats` loops; new files go to an empty directory each time, overwrites
            replace the files of an earlier loop."""
            best = float("inf")
            for run in range(repeats + (0 if fresh else 1)):
                sub = os.path.join(d, "loop")
                if fresh:
                    shutil.rmtree(sub, ignore_errors=True)
                os.makedirs(sub, exist_ok=True)
                paths = [os.path.join(sub, f"{i}.fits") for i in range(count)]
                start = time.perf_counter()
                for p in paths:
                    write(p)
                if fresh or run > 0:
                    best = min(best, time.perf_counter() - start)
            shutil.rmtree(os.path.join(d, "loop"), ignore_errors=True)
            return best

        for fresh, label in ((True, "new files"), (False, "overwrites")):
            ours = timed(lambda p: vexlo.write(p, [vexlo.image(a)], overwrite=not fresh), fresh)
            plain = timed(lambda p: plain_floor(p, a, header_bytes), fresh)
            durable = timed(lambda p: durable_floor(p, a, header_bytes), fresh)
            t_fitsio = (timed(lambda p: fitsio.write(p, a, clobber=not fresh), fresh)
                        if fitsio else None)
            t_astropy = (timed(lambda p: fits.writeto(p, a, overwrite=not fresh), fresh)
                         if fits else None)
            rows.append((f"{count} writes of 10x10 int16, {label}", ours, plain, durable, t_fitsio,
                         t_astropy))
    return rows


def main():
    side = int(sys.argv[1]) if len(sys.argv) > 1 else 4096
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    fitsio, fits = peers()
    rng = np.random.default_rng(0)
    arrays = {
        "float32": rng.standard_normal((side, side), dtype=np.float32),
        "int16": rng.integers(-30000, 30000, size=(side, side), dtype=np.int16),
        "uint16": rng.integers(0, 65535, size=(side, side), dtype=np.uint16),
    }
    print(f"best of {repeats}")
    print(f"{'workload':<40}{'vexlo':>10}{'x plain':>9}{'x durable':>11}{'x fitsio':>10}"
          f"{'x astropy':>11}")
    details = []
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "bench.fits")
        for name, a in arrays.items():
            mb = a.nbytes / 1e6
            # The header a conforming writer produces for this image.
            vexlo.write(path, [vexlo.image(a)], overwrite=True)
            with open(path, "rb") as f:
                header_bytes = f.read(BLOCK)
            ours = best_of(repeats, lambda: vexlo.write(path, [vexlo.image(a)], overwrite=True))
            plain = best_of(repeats, lambda: plain_floor(path, a, header_bytes))
            durable = best_of(repeats, lambda: durable_floor(path, a, header_bytes))
            t_fitsio = (best_of(repeats, lambda: fitsio.write(path, a, clobber=True))
                        if fitsio else None)
            t_astropy = (best_of(repeats, lambda: fits.writeto(path, a, overwrite=True))
                         if fits else None)

            print_row(f"write {side}x{side} {name} ({mb:.0f} MB)", ours, plain, durable, t_fitsio,
                      t_astropy)
            summed = best_of(
                repeats,
                lambda: vexlo.write(path, [vexlo.image(a)], overwrite=True, checksums=True),
            )
            encode = best_of(repeats, lambda: vexlo.image(a))
            vexlo.write(path, [vexlo.image(a)], overwrite=True, checksums=True)
            size = os.path.getsize(path)

            def verify():
                with vexlo.open(path) as f:
                    f.verify_checksums()

            t_verify = best_of(repeats, verify)
            read = best_of(repeats, lambda: np.fromfile(path, np.uint8))
            details.append(
                f"  {name}: image() alone {encode * 1e3:.1f} ms; checksums=True "
                f"{summed * 1e3:.1f} ms (+{(summed / ours - 1) * 100:.0f} %); verify_checksums "
                f"{t_verify * 1e3:.1f} ms ({size / t_verify / 1e9:.2f} GB/s, "
                f"{t_verify / read:.2f} x a plain read)")
    for small in small_files(1000, repeats, fitsio, fits):
        print_row(*small)
    print("\n".join(details))


if __name__ == "__main__":
    main()

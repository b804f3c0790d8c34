"""Running out of memory raises MemoryError, whatever the failing step, and leaves a file as it
was. Each case runs in a child process whose address space is capped just above what it holds
already, so the allocations of the step under test are the ones that fail."""

import gzip
import json
import mmap
import os
import shutil
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import vexlo
from fits_bytes import Col, bintable_hdu, card, header_bytes, primary_hdu

astropy_fits = pytest.importorskip("astropy.io.fits")
fitsio = pytest.importorskip("fitsio")

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
pytestmark = [
    pytest.mark.skipif(SANITIZED, reason="the address sanitizer reserves more address space "
                                         "than the limits these tests set"),
    pytest.mark.skipif(not sys.platform.startswith("linux"),
                       reason="the cap is set from /proc/self/status"),
]

# Caps the child's address space `margin` GiB above its size at the call.
CHILD_PRELUDE = """
import hashlib, json, resource, sys
import vexlo

def cap(margin):
    with open("/proc/self/status") as f:
        size = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (size + int(margin * (1 << 30)), HARD))

SOFT, HARD = resource.getrlimit(resource.RLIMIT_AS)

def uncap():
    resource.setrlimit(resource.RLIMIT_AS, (SOFT, HARD))
"""

CHILD_FLUSH = CHILD_PRELUDE + """
path, margin = sys.argv[1], float(sys.argv[2])
digest = lambda: hashlib.sha256(open(path, "rb").read()).hexdigest()
before = digest()
f = vexlo.open(path, mode="update")
f[0].data[0, 0] = 4.0
cap(margin)
try:
    f.close()
    outcome = "closed"
except MemoryError:
    outcome = "MemoryError"
uncap()
unchanged = digest() == before
if outcome == "MemoryError":
    f.close()  # the edit is still pending: written now that memory allows
print(json.dumps({"outcome": outcome, "unchanged": unchanged}))
"""

CHILD_READ = CHILD_PRELUDE + """
path, index = sys.argv[1], int(sys.argv[2])
f = vexlo.open(path)
cap(1.0)
try:
    f[index].data
    print(json.dumps(["read", ""]))
except BaseException as e:
    print(json.dumps([type(e).__name__, str(e)]))
"""


def run_child(code, *args):
    r = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True,
                       text=True, timeout=120,
                       env=dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, sys.path))))
    assert r.returncode == 0 and "PanicException" not in r.stderr, r.stderr
    return json.loads(r.stdout.splitlines()[-1])


def sparse_image(path, cards, data_bytes):
    """A primary image whose data section is all zeros, left sparse on disk."""
    head = header_bytes(cards)
    with open(path, "wb") as f:
        f.write(head)
        f.truncate(len(head) + -(-data_bytes // 2880) * 2880)


def test_a_flush_out_of_memory_keeps_the_file_and_the_stored_type(tmp_path):
    # An int16 image scaled by BSCALE 2 reads as float32; a changed pixel that stores exactly
    # keeps BITPIX 16. The caps step across the flush's allocations: wherever memory runs out,
    # the file stays byte for byte as it was and the edit stays pending, never written as
    # floating point.
    n = 8192
    path = tmp_path / "scaled.fits"
    cards = [card("SIMPLE", True), card("BITPIX", 16), card("NAXIS", 2), card("NAXIS1", n),
             card("NAXIS2", n), card("BSCALE", 2.0)]
    outcomes = []
    for margin in [0.1, 0.3, 0.5, 0.7, 0.9, 1.1, 1.3, 1.5]:
        sparse_image(path, cards, n * n * 2)
        got = run_child(CHILD_FLUSH, path, margin)
        outcomes.append(got["outcome"])
        if got["outcome"] == "MemoryError":
            assert got["unchanged"], margin
        with astropy_fits.open(path, memmap=False) as hdul:
            hdul.verify("exception")
            assert hdul[0].header["BITPIX"] == 16, margin
            assert hdul[0].header["BSCALE"] == 2.0
            assert hdul[0].section[0, 0:3].tolist() == [4.0, 0.0, 0.0], margin
        with fitsio.FITS(str(path)) as ff:
            assert ff[0].read_header()["BITPIX"] == 16
            assert ff[0][0:1, 0:3].tolist() == [[4, 0, 0]]
        h = vexlo.open(path)[0]
        assert h.header["BITPIX"] == 16 and h.section[0, 0:3].tolist() == [4.0, 0.0, 0.0]
    # The smallest cap leaves no room for the flush, the largest room for all of it.
    assert outcomes[0] == "MemoryError" and outcomes[-1] == "closed", outcomes


def compressed_zeros(path, side):
    """A GZIP_1 tile-compressed byte image of side x side zeros, one tile per row; every
    row's descriptor points at the same small gzip member in the heap."""
    member = gzip.compress(bytes(side))
    descriptors = np.zeros((side, 2), dtype=">i4")
    descriptors[:, 0] = len(member)
    extra = [card("ZIMAGE", True), card("ZBITPIX", 8), card("ZNAXIS", 2),
             card("ZNAXIS1", side), card("ZNAXIS2", side), card("ZTILE1", side),
             card("ZTILE2", 1), card("ZCMPTYPE", "GZIP_1")]
    table = bintable_hdu([Col("COMPRESSED_DATA", "1PB", descriptors)], side, heap=member,
                         extra=extra)
    path.write_bytes(primary_hdu() + table)


def test_an_image_too_large_for_memory_is_a_memory_error_plain_or_compressed(tmp_path):
    side = 60000
    plain = tmp_path / "plain.fits"
    sparse_image(plain, [card("SIMPLE", True), card("BITPIX", 8), card("NAXIS", 2),
                         card("NAXIS1", side), card("NAXIS2", side)], side * side)
    packed = tmp_path / "packed.fits"
    compressed_zeros(packed, side)
    # The compressed file itself is sound: its first rows decode to zeros (a peer's section
    # decodes only the tiles it needs; vexlo's would decode the whole 3.6 GB).
    with astropy_fits.open(packed) as hdul:
        assert hdul[1].header["NAXIS1"] == hdul[1].header["NAXIS2"] == side
        assert not hdul[1].section[0:2, 0:5].any()
    assert run_child(CHILD_READ, plain, 0)[0] == "MemoryError"
    # The core's own words for it stay its message.
    assert run_child(CHILD_READ, packed, 1) == [
        "MemoryError", f"data: decompressed image of {side * side} bytes does not fit in memory"]


# One step of the kind named under a cap `margin` bytes above the child's size: its outcome,
# how many thread stacks it left behind (glibc keeps those of ended threads: a count above
# zero means a helper thread started) and the temporary files beside the target.
CHILD_STEP = CHILD_PRELUDE + """
import os
import numpy  # imported by the first array, here before the cap

def thread_stacks():
    # A thread's stack is mapped as a guard page with the stack right above it.
    count, guard_end = 0, None
    with open("/proc/self/maps") as f:
        for line in f:
            fields = line.split()
            start, end = (int(x, 16) for x in fields[0].split("-"))
            anonymous = len(fields) == 5
            if anonymous and fields[1] == "rw-p" and start == guard_end and end - start >= 1 << 20:
                count += 1
            guard_end = end if anonymous and fields[1] == "---p" else None
    return count

kind, path, margin = sys.argv[1], sys.argv[2], int(sys.argv[3])
if kind == "flush":
    f = vexlo.open(path, mode="update")
    data = f[0].data
    data[0, 0] = 4.5
    f[0].data = data
    step = f.flush
elif kind == "image":
    f = vexlo.open(path)
    step = lambda: f[0].data
else:
    f = vexlo.open(path)
    step = lambda: [f[1][name] for name in ("S", "L")]
stacks = thread_stacks()
cap(margin / (1 << 30))
try:
    step()
    outcome = "done"
except MemoryError:
    outcome = "MemoryError"
uncap()
left = [n for n in os.listdir(os.path.dirname(path)) if ".vexlo-tmp." in n]
print(json.dumps({"outcome": outcome, "helpers": thread_stacks() - stacks, "left": left}))
"""

PAGE = mmap.PAGESIZE
MIB = 1 << 20


def scaled_image(path, rows):
    """An int16 image of 2048 columns scaled by BSCALE 0.5, all zeros."""
    sparse_image(path, [card("SIMPLE", True), card("BITPIX", 16), card("NAXIS", 2),
                        card("NAXIS1", 2048), card("NAXIS2", rows), card("BSCALE", 0.5)],
                 rows * 2048 * 2)


def scaled_table(path, rows):
    """A table of a scaled integer column S and a logical column L, enough rows to be split."""
    values = np.arange(rows, dtype=">i4")
    flags = np.frombuffer(b"TF" * (rows // 2), "u1")
    path.write_bytes(primary_hdu() + bintable_hdu(
        [Col("S", "J", values, tscal=0.5, tzero=1.0), Col("L", "L", flags)], rows))


# Children run side by side, each in a folder of its own: a cap is a limit of one process, so
# they do not meet.
CHILDREN_AT_ONCE = 8


@pytest.mark.parametrize("kind", ["flush", "image", "table"])
def test_no_cap_on_memory_ends_the_process(tmp_path, kind):
    # The storage a thread of the module needs must never be taken behind its back: a helper
    # thread that starts with no memory left beside its stack runs its parts or leaves them
    # to the others, and the step ends in MemoryError or success, never in a signal or an exit.
    # The caps step up to 64 MiB above the child's size; around the cap at which a helper
    # first starts (found to the page, where the machine has a core to spare) they step a page
    # at a time, since that is where the memory runs out right after a helper's stack.
    table = tmp_path / "table.fits"
    if kind == "table":
        scaled_table(table, 300_000)

    def target(margin):
        return tmp_path / str(margin) / "target.fits"

    def step(margin, keep=False):
        path = target(margin)
        path.parent.mkdir(exist_ok=True)
        if kind == "table":
            shutil.copyfile(table, path)
        else:
            # Rewritten by the flushes that succeed.
            scaled_image(path, 2048 if kind == "flush" else 4096)
        before = path.read_bytes()
        got = run_child(CHILD_STEP, kind, path, margin)
        assert got["outcome"] in ("done", "MemoryError"), margin
        assert got["left"] == [], margin
        if got["outcome"] == "MemoryError":
            assert path.read_bytes() == before, margin
        if not keep:
            shutil.rmtree(path.parent)  # a flushed image is no longer sparse
        return got

    def steps(margins):
        margins = list(margins)
        with ThreadPoolExecutor(CHILDREN_AT_ONCE) as pool:
            return dict(zip(margins, pool.map(step, margins)))

    coarse = steps(range(0, 64 * MIB + 1, 4 * MIB))
    assert coarse[0]["outcome"] == "MemoryError" and coarse[64 * MIB]["outcome"] == "done"
    started = [margin for margin, got in coarse.items() if got["helpers"] > 0]
    if started and started[0] > 0:
        # Each round tries three caps inside the span at once and keeps the quarter where
        # helpers begin to start.
        below, above = started[0] - 4 * MIB, started[0]
        while above - below > PAGE:
            quarters = {(below + (above - below) * k // 4) // PAGE * PAGE for k in (1, 2, 3)}
            probes = steps(sorted(quarters - {below}))
            for margin, got in probes.items():
                if got["helpers"] > 0:
                    above = margin
                    break
                below = margin
        steps(range(above - 2 * PAGE, above + 3 * PAGE, PAGE))
    if kind == "flush":
        # The array assigned back is written as it is, float32.
        step(64 * MIB, keep=True)
        path = target(64 * MIB)
        with astropy_fits.open(path, memmap=False) as hdul:
            hdul.verify("exception")
            assert hdul[0].header["BITPIX"] == -32
            assert hdul[0].section[0, 0:2].tolist() == [4.5, 0.0]
        with fitsio.FITS(str(path)) as ff:
            assert ff[0][0:1, 0:2].tolist() == [[4.5, 0.0]]
        assert vexlo.open(path)[0].section[0, 0:2].tolist() == [4.5, 0.0]

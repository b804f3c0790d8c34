"""An append whose process dies part way: at every moment the file must be the old file plus
bytes a reader passes over, or the new file, so vexlo, astropy and fitsio all still read it."""

import os
import random
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import vexlo

BLOCK = 2880
OLD = np.arange(100, dtype="i2").reshape(10, 10)

# Dies by SIGXFSZ at the first write that would carry the file past the limit: a kill at an
# exact byte of the append.
STOP_AT_SIZE_CHILD = r"""
import resource, signal, sys
import numpy as np
import vexlo
path, limit, side = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
new = (np.arange(side * side) % 30011).astype("i2").reshape(side, side)
signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
resource.setrlimit(resource.RLIMIT_FSIZE, (limit, hard))
vexlo.append(path, new, {"EXTNAME": "NEW"})
"""

# Times one append of the same image to a scratch copy, announces that time and starts the
# real append, so that the parent can kill it at a moment inside it.
KILLED_CHILD = r"""
import shutil, sys, time
import numpy as np
import vexlo
path, side = sys.argv[1], int(sys.argv[2])
new = (np.arange(side * side) % 30011).astype("i2").reshape(side, side)
shutil.copyfile(path, path + ".scratch")
start = time.monotonic()
vexlo.append(path + ".scratch", new, {"EXTNAME": "NEW"})
sys.stdout.write("go %r\n" % (time.monotonic() - start))
sys.stdout.flush()
vexlo.append(path, new, {"EXTNAME": "NEW"})
"""

def new_image(side):
    return (np.arange(side * side) % 30011).astype("i2").reshape(side, side)


def old_file(path, tail):
    if path.exists():
        path.unlink()
    vexlo.write(path, [vexlo.image(OLD)])
    with open(path, "ab") as fh:
        fh.write(tail)
    return path.read_bytes()


def check_readable(path, before, side):
    """The old HDU reads back everywhere; a second HDU is there only complete."""
    with vexlo.open(path) as f:
        n = len(f)
        assert n in (1, 2)
        np.testing.assert_array_equal(f[0].data, OLD)
        if n == 2:
            np.testing.assert_array_equal(f["NEW"].data, new_image(side))
    if n == 1:
        # Nothing of the old file changed; only bytes behind it that a scan passes over.
        assert path.read_bytes()[:BLOCK * 2] == before[:BLOCK * 2]
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(path) as hdus:
        np.testing.assert_array_equal(hdus[0].data, OLD)
        if n == 2:
            hdus.verify("exception")
            np.testing.assert_array_equal(hdus[1].data, new_image(side))
    fitsio = pytest.importorskip("fitsio")
    with fitsio.FITS(str(path)) as ff:
        np.testing.assert_array_equal(ff[0].read(), OLD)
        if n == 2:
            np.testing.assert_array_equal(ff[1].read(), new_image(side))
    return n


# The old file ends at its last HDU, carries trailing zero blocks, or carries a short tail that
# begins like an extension header (a reader passes over fewer than 80 bytes).
TAILS = {
    "none": b"",
    "zero-blocks": b"\0" * (2 * BLOCK),
    "short-xtension": b"XTENSION= 'IMAGE   '" + b" " * 20,
}


@pytest.mark.parametrize("tail", list(TAILS), ids=list(TAILS))
def test_append_stopped_at_each_stage_leaves_a_readable_file(tmp_path, tail):
    side = 2000
    path = tmp_path / "a.fits"
    end = BLOCK * 2  # the old HDU: one header block, one data block
    new_end = end + BLOCK + -(-side * side * 2 // BLOCK) * BLOCK
    # Stops inside the new HDU's first block, just behind it, and through its data.
    stops = [end + 100, end + BLOCK, end + BLOCK + 1, end + BLOCK + 100000]
    stops += [end + (new_end - end) * k // 6 for k in range(1, 6)] + [new_end - 1]
    seen = set()
    for limit in stops:
        before = old_file(path, TAILS[tail])
        done = subprocess.run(
            [sys.executable, "-c", STOP_AT_SIZE_CHILD, str(path), str(limit), str(side)],
            capture_output=True, text=True)
        assert done.returncode == -signal.SIGXFSZ, (limit, done.stderr)
        seen.add(check_readable(path, before, side))
        # A later append over what was left behind makes a complete file.
        vexlo.append(path, np.full(3, 7, "i4"))
        with vexlo.open(path) as f:
            assert len(f) == 2 and f[1].data.tolist() == [7, 7, 7]
    assert seen == {1}
    # Without a limit the same append completes.
    before = old_file(path, TAILS[tail])
    done = subprocess.run(
        [sys.executable, "-c", STOP_AT_SIZE_CHILD, str(path), str(2**62), str(side)],
        capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert check_readable(path, before, side) == 2
    assert os.path.getsize(path) == new_end


def test_append_killed_at_random_moments_leaves_a_readable_file(tmp_path):
    side = 4000
    path = tmp_path / "a.fits"
    rng = random.Random(35)
    for _ in range(12):
        before = old_file(path, b"")
        child = subprocess.Popen([sys.executable, "-c", KILLED_CHILD, str(path), str(side)],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        word, took = child.stdout.readline().split()
        assert word == "go"
        time.sleep(rng.uniform(0.0, float(took) * 1.5))
        child.send_signal(signal.SIGKILL)
        child.communicate()
        check_readable(path, before, side)

"""An append whose process dies part way: at every moment the file must be the old file followed
by bytes that no reader takes for an extension, or the new file, so that vexlo, astropy and
fitsio all still list it and read its old HDUs; a later append leaves a clean file."""

import functools
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import vexlo
from fits_read import fitsverify

BLOCK = 2880
OLD = np.arange(100, dtype="i2").reshape(10, 10)
OLD_END = BLOCK * 2  # the old HDU: one header block, one data block

APPEND_CHILD = r"""
import sys
import numpy as np
import vexlo
path, side = sys.argv[1], int(sys.argv[2])
new = (np.arange(side * side) % 30011).astype("i2").reshape(side, side)
vexlo.append(path, new, {"EXTNAME": "NEW"})
"""

# Dies by SIGXFSZ at the first write or lengthening that would carry the file past the limit:
# a kill at an exact byte of the append.
STOP_AT_SIZE_CHILD = r"""
import resource, signal, sys
limit = int(sys.argv[3])
signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
resource.setrlimit(resource.RLIMIT_FSIZE, (limit, hard))
""" + APPEND_CHILD

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

# Every call that changes the file or forces it to disk: killing the append before each of
# them in turn stops it between every two of its steps.
FILE_CALLS = "write,pwrite64,writev,pwritev,pwritev2,ftruncate,fallocate,fsync,fdatasync," \
             "sync_file_range"


# Children that stop at set points run side by side, each on a file of its own.
CHILDREN_AT_ONCE = 8


def run_at_once(commands):
    """The finished children of the commands, run side by side, in the commands' order."""
    with ThreadPoolExecutor(CHILDREN_AT_ONCE) as pool:
        return list(pool.map(lambda c: subprocess.run(c, capture_output=True, text=True),
                             commands))


@functools.lru_cache(maxsize=2)
def new_image(side):
    return (np.arange(side * side) % 30011).astype("i2").reshape(side, side)


def new_end(side):
    return OLD_END + BLOCK + -(-side * side * 2 // BLOCK) * BLOCK


def old_file(path, tail):
    if path.exists():
        path.unlink()
    vexlo.write(path, [vexlo.image(OLD)])
    with open(path, "ab") as fh:
        fh.write(tail)
    return path.read_bytes()


def check_readable(path, before, side):
    """Every reader lists the old HDU and reads it back; the new HDU is there only complete,
    and what an unfinished append leaves behind the old HDU is never taken for an extension."""
    with vexlo.open(path) as f:
        n = len(f)
        assert n in (1, 2)
        np.testing.assert_array_equal(f[0].data, OLD)
        if n == 2:
            np.testing.assert_array_equal(f["NEW"].data, new_image(side))
    if n == 1:
        # Nothing of the old file changed; only bytes behind it that a scan passes over.
        assert path.read_bytes()[:OLD_END] == before[:OLD_END]
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(path) as hdus:
        listed = len(hdus)
        np.testing.assert_array_equal(hdus[0].data, OLD)
        if n == 2:
            assert listed == 2
            hdus.verify("exception")
            np.testing.assert_array_equal(hdus[1].data, new_image(side))
        else:
            assert listed in (1, 2)
            assert listed == 1 or "XTENSION" not in hdus[1].header
    fitsio = pytest.importorskip("fitsio")
    with fitsio.FITS(str(path)) as ff:
        assert len(ff) == n
        np.testing.assert_array_equal(ff[0].read(), OLD)
        if n == 2:
            np.testing.assert_array_equal(ff[1].read(), new_image(side))
    return n


def check_later_append_cleans(path, n, side):
    """An append over what an interrupted one left makes a file that ends at its new HDU."""
    vexlo.append(path, np.full(3, 7, "i4"))
    with vexlo.open(path) as f:
        assert len(f) == n + 1 and f[n].data.tolist() == [7, 7, 7]
    assert os.path.getsize(path) == (OLD_END if n == 1 else new_end(side)) + 2 * BLOCK
    fitsverify(path)


# The old file ends at its last HDU, carries trailing zero blocks, or carries a short tail that
# begins like an extension header (a reader passes over fewer than 80 bytes).
TAILS = {
    "none": b"",
    "zero-blocks": b"\0" * (2 * BLOCK),
    "short-xtension": b"XTENSION= 'IMAGE   '" + b" " * 20,
}

# A small append stopped at every block boundary of the new HDU and a byte past it;
# a bigger one stopped inside its first block, just behind it and at a sample through its data.
SMALL, BIG = 60, 2000
STOPS = {
    "small": (SMALL, [b + d for b in range(OLD_END, new_end(SMALL) + 1, BLOCK) for d in (0, 1)
                      if OLD_END <= b + d < new_end(SMALL)]),
    "big": (BIG, [OLD_END + 100, OLD_END + BLOCK, OLD_END + BLOCK + 1, OLD_END + BLOCK + 100000]
            + [OLD_END + (new_end(BIG) - OLD_END) * k // 6 for k in range(1, 6)]
            + [new_end(BIG) - 1]),
}


@pytest.mark.parametrize("tail,size",
                         [(tail, "small") for tail in TAILS] + [("zero-blocks", "big")])
def test_append_stopped_at_a_size_limit_leaves_a_readable_file(tmp_path, tail, size):
    side, stops = STOPS[size]
    assert all(limit < new_end(side) for limit in stops)
    # Without a limit the same append completes.
    limits = stops + [2**62]
    paths = [tmp_path / f"a{k}.fits" for k in range(len(limits))]
    befores = [old_file(path, TAILS[tail]) for path in paths]
    runs = run_at_once([[sys.executable, "-c", STOP_AT_SIZE_CHILD, str(path), str(side),
                         str(limit)] for path, limit in zip(paths, limits)])
    for path, before, limit, done in zip(paths[:-1], befores, stops, runs):
        assert done.returncode == -signal.SIGXFSZ, (limit, done.stderr)
        assert check_readable(path, before, side) == 1, limit
        check_later_append_cleans(path, 1, side)
    assert runs[-1].returncode == 0, runs[-1].stderr
    assert check_readable(paths[-1], befores[-1], side) == 2
    assert os.path.getsize(paths[-1]) == new_end(side)


def strace_usable():
    # The leak sanitizer stops a process's threads by tracing them, which it cannot do to a
    # process strace traces already.
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        return False
    exe = shutil.which("strace")
    return exe is not None and subprocess.run(
        [exe, "-qq", "-o", os.devnull, "true"], capture_output=True).returncode == 0


def traced_append_command(path, side, *options):
    return ["strace", "-f", "-qq", "-P", str(path), "-e", "trace=" + FILE_CALLS, *options,
            sys.executable, "-c", APPEND_CHILD, str(path), str(side)]


def traced_append(path, side, *options):
    return subprocess.run(traced_append_command(path, side, *options), capture_output=True,
                          text=True)


def file_calls_of_append(path, side):
    """The names of the calls an append makes on the file, in order."""
    log = path.with_suffix(".calls")
    done = traced_append(path, side, "-o", str(log))
    assert done.returncode == 0, done.stderr
    return re.findall(r"^(?:\d+ +)?(\w+)\(", log.read_text(), re.M)


@pytest.mark.skipif(not strace_usable(),
                    reason="needs strace, allowed to trace its children, and no sanitizer")
@pytest.mark.parametrize("tail", list(TAILS), ids=list(TAILS))
def test_append_killed_before_each_of_its_steps_leaves_a_readable_file(tmp_path, tail):
    side = SMALL
    path = tmp_path / "a.fits"
    old_file(path, TAILS[tail])
    calls = file_calls_of_append(path, side)
    assert len(calls) >= 4, calls
    paths = [tmp_path / f"a{k}.fits" for k in range(len(calls))]
    befores = [old_file(path, TAILS[tail]) for path in paths]
    # strace counts each call by its own name: the k-th call of all is this one of its name.
    runs = run_at_once([
        traced_append_command(path, side, "-o", os.devnull, "-e",
                              f"inject={name}:signal=KILL:when={calls[:k + 1].count(name)}")
        for k, (path, name) in enumerate(zip(paths, calls))])
    seen = []
    for k, (path, before, name, done) in enumerate(zip(paths, befores, calls, runs)):
        assert done.returncode in (-signal.SIGKILL, 128 + signal.SIGKILL), (k, name, done.stderr)
        seen.append(check_readable(path, before, side))
        check_later_append_cleans(path, seen[-1], side)
    # The old file is listed alone until the new HDU's first block is written, and the new
    # file from then on.
    assert seen[0] == 1 and seen == sorted(seen), list(zip(calls, seen))


def test_append_killed_at_random_moments_leaves_a_readable_file(tmp_path):
    side = BIG
    path = tmp_path / "a.fits"
    rng = random.Random(35)
    for _ in range(12):
        before = old_file(path, b"")
        child = subprocess.Popen([sys.executable, "-c", KILLED_CHILD, str(path), str(side)],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        word, took = child.stdout.readline().split()
        assert word == "go"
        time.sleep(rng.uniform(0.0, float(took) * 1.2))
        child.send_signal(signal.SIGKILL)
        child.communicate()
        check_readable(path, before, side)


@pytest.mark.skipif(not strace_usable(),
                    reason="needs strace, allowed to trace its children, and no sanitizer")
def test_update_mode_opens_and_drops_what_an_unfinished_append_left(tmp_path):
    side = SMALL
    path = tmp_path / "a.fits"
    old_file(path, b"")
    calls = file_calls_of_append(path, side)
    # The append's last write is its new HDU's real first block: killed before it, the file is
    # the old HDU, the stand-in block and the new data.
    writes = [k for k, name in enumerate(calls) if name.startswith(("write", "pwrite"))]
    name = calls[writes[-1]]
    old_file(path, b"")
    done = traced_append(path, side, "-o", os.devnull, "-e",
                         f"inject={name}:signal=KILL:when={calls[:writes[-1] + 1].count(name)}")
    assert done.returncode in (-signal.SIGKILL, 128 + signal.SIGKILL), done.stderr
    assert os.path.getsize(path) == new_end(side)
    with vexlo.open(path, mode="update") as f:
        assert len(f) == 1
        f[0].header["EDITED"] = 1
    # The rewrite keeps the old HDU and its edit and ends the file there.
    assert os.path.getsize(path) == OLD_END
    with vexlo.open(path) as f:
        assert len(f) == 1 and f[0].header["EDITED"] == 1
        np.testing.assert_array_equal(f[0].data, OLD)
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(path) as hdus:
        hdus.verify("exception")
        assert len(hdus) == 1 and hdus[0].header["EDITED"] == 1
        np.testing.assert_array_equal(hdus[0].data, OLD)
    fitsio = pytest.importorskip("fitsio")
    with fitsio.FITS(str(path)) as ff:
        assert len(ff) == 1 and ff[0].read_header()["EDITED"] == 1
        np.testing.assert_array_equal(ff[0].read(), OLD)
    fitsverify(path)


def test_update_mode_still_refuses_other_bytes_behind_the_last_hdu(tmp_path):
    path = tmp_path / "a.fits"
    # A COMMENT card of other words is content the scan does not know: a rewrite would drop it.
    card = b"COMMENT   Unfinished append, or so it says".ljust(80)
    old_file(path, card + b" " * (BLOCK - 80))
    with pytest.raises(vexlo.FitsError, match="neither zeros nor blanks"):
        vexlo.open(path, mode="update")

"""One FitsFile opened for update and shared by threads behaves as if their operations ran one
after another: a list edit, header edit or section patch made while another thread flushes is
neither misplaced nor lost, and flushes never see each other's half-done rewrite. A thread
waiting for a file leaves the interpreter to threads working on other files.

Each scenario is repeated: one operation landing inside another thread's rewrite is enough to
leave a wrong position, a lost edit or an error behind."""

import os
import subprocess
import sys
import threading
from functools import partial

import numpy as np
import pytest

import fits_read
import vexlo
from fits_bytes import card
from fits_images import image_hdu, images_file
from hooks import T, needs_hooks

SHAPE = (4, 16)


def numbered_file(path, n, fill=True):
    """An empty primary and `n` image extensions: extension k is named E<k> and its pixels all
    hold k (0 when `fill` is false)."""
    ext = [image_hdu(np.full(SHAPE, k if fill else 0, ">i4"), cards=[card("EXTNAME", f"E{k}")])
           for k in range(1, n + 1)]
    return images_file(path, *ext)


def run_threads(*targets):
    """Runs each target on a thread of its own, all let go at once, and re-raises the first
    failure."""
    errors = []
    start = threading.Barrier(len(targets))

    def guarded(target):
        def run():
            try:
                start.wait()
                target()
            except BaseException as e:  # re-raised below
                errors.append(e)
        return run

    threads = [threading.Thread(target=guarded(t)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def flush_while(f, edit, action):
    """One thread runs `edit()` and flushes `f`; another runs `action()`, starting as the flush
    starts."""
    flushing = threading.Event()

    def flush():
        edit()
        flushing.set()
        f.flush()

    def act():
        flushing.wait()
        action()

    run_threads(flush, act)


def names_and_first_pixels(f):
    return [(f[i].header["EXTNAME"], int(f[i].data[0, 0])) for i in range(1, len(f))]


def check_on_disk(path, want, keys=None):
    """`want`: (EXTNAME, first pixel) of every extension in order; `keys`: EXTNAME -> cards
    that extension must hold. Read by vexlo and by a reader of its own."""
    keys = keys or {}
    with vexlo.open(str(path)) as g:
        assert names_and_first_pixels(g) == want
        for i in range(1, len(g)):
            for key, value in keys.get(g[i].header["EXTNAME"], {}).items():
                assert g[i].header[key] == value
    raw = fits_read.read(path)
    assert [(h["EXTNAME"], int(h.stored_image()[0, 0])) for h in raw[1:]] == want
    for h in raw[1:]:
        for key, value in keys.get(h["EXTNAME"], {}).items():
            assert h[key] == value


def check_with_readers(path, want):
    """The same extensions as `want` for fitsio and for astropy, whose strict verification
    passes (skipped where either is absent)."""
    fitsio = pytest.importorskip("fitsio")
    with fitsio.FITS(str(path)) as f:
        assert len(f) == len(want) + 1
        for hdu, (name, pixel) in zip(f[1:], want):
            assert hdu.read_header()["EXTNAME"] == name
            assert hdu.read()[0, 0] == pixel
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(str(path)) as hdus:
        hdus.verify("exception")
        assert [(h.header["EXTNAME"], int(h.data[0, 0])) for h in hdus[1:]] == want


def numbered(ks):
    return [(f"E{k}", k) for k in ks]


# ---- a list edit while another thread flushes ----

N_LIST = 200
LIST_EDITS = {
    "delete": (lambda f: f.__delitem__(1), lambda ks: ks[1:]),
    "insert": (lambda f: f.insert(1, vexlo.ImageHdu(np.full(SHAPE, -1, "i4"), name="E-1")),
               lambda ks: [-1] + ks),
}


@pytest.mark.parametrize("edit, expect", LIST_EDITS.values(), ids=LIST_EDITS.keys())
def test_list_edit_during_a_flush_keeps_every_position(tmp_path, edit, expect):
    want = numbered(expect(list(range(1, N_LIST + 1))))
    for round_ in range(5):
        path = numbered_file(tmp_path / f"r{round_}.fits", N_LIST)
        f = vexlo.open(str(path), mode="update")
        edited = f[2]

        def note():
            edited.header["NOTE"] = "b"

        flush_while(f, note, lambda: edit(f))
        assert names_and_first_pixels(f) == want
        f.close()
        check_on_disk(path, want, {"E2": {"NOTE": "b"}})
    check_with_readers(path, want)


# ---- section patches while another thread flushes ----


def test_patches_during_a_flush_all_reach_the_file(tmp_path):
    n = 300
    want = numbered(range(1, n + 1))
    for round_ in range(5):
        path = numbered_file(tmp_path / f"r{round_}.fits", n, fill=False)
        f = vexlo.open(str(path), mode="update")
        # In no particular order, so that patches fall before and behind the rewrite's copy.
        order = np.random.default_rng(round_).permutation(np.arange(1, n + 1)).tolist()

        def note():
            f[0].header["NOTE"] = "b"

        def patch():
            for j in order:
                f[j].section[0, 0] = j

        flush_while(f, note, patch)
        f.close()
        check_on_disk(path, want)
    check_with_readers(path, want)


# ---- header edits and flushes from several threads ----


def test_two_threads_editing_and_flushing(tmp_path):
    n = 20
    want = numbered(range(1, n + 1))
    for round_ in range(2):
        path = numbered_file(tmp_path / f"r{round_}.fits", n)
        f = vexlo.open(str(path), mode="update")

        def edit_and_flush(t):
            for k in range(20):
                f[t].header[f"K{k}"] = k
                f.flush()

        run_threads(partial(edit_and_flush, 1), partial(edit_and_flush, 2))
        f.close()
        keys = {f"E{t}": {f"K{k}": k for k in range(20)} for t in (1, 2)}
        check_on_disk(path, want, keys)
    check_with_readers(path, want)


def test_eight_threads_of_mixed_edits(tmp_path):
    # Thread t edits the header of extension 1+t, patches row 0 of extension 9+t, replaces
    # the array of extension 17+t, looks extensions up by name and flushes every few edits.
    n = 30
    path = numbered_file(tmp_path / "mixed.fits", n, fill=False)
    f = vexlo.open(str(path), mode="update")

    def work(t):
        for k in range(12):
            f[1 + t].header[f"T{t}K{k}"] = k
            f[9 + t].section[0, k] = 100 * t + k
            assert f[f"E{25 - t}"].header["EXTNAME"] == f"E{25 - t}"
            if k == 5:
                f[17 + t].data = np.full(SHAPE, 1000 + t, "i4")
            if k % 4 == 3:
                f.flush()

    run_threads(*(partial(work, t) for t in range(8)))
    f.close()
    pixels = {**{9 + t: 100 * t for t in range(8)}, **{17 + t: 1000 + t for t in range(8)}}
    want = [(f"E{k}", pixels.get(k, 0)) for k in range(1, n + 1)]
    keys = {f"E{1 + t}": {f"T{t}K{k}": k for k in range(12)} for t in range(8)}
    check_on_disk(path, want, keys)
    with vexlo.open(str(path)) as g:
        for t in range(8):
            np.testing.assert_array_equal(g[9 + t].data[0, :12], 100 * t + np.arange(12))
            assert (g[9 + t].data[1:] == 0).all() and (g[9 + t].data[0, 12:] == 0).all()
            assert (g[17 + t].data == 1000 + t).all()
    check_with_readers(path, want)


# ---- a thread waiting for one file leaves the interpreter to others ----

CHILD_OTHER_FILES = r"""
import sys, threading
import numpy as np
import vexlo
held_path, other_path, copy_path = sys.argv[1:4]
f = vexlo.open(held_path, mode="update")
holding, release = threading.Event(), threading.Event()


class SlowPath:
    # writeto converts its path while the file is held: this keeps it held until released.
    def __fspath__(self):
        holding.set()
        release.wait()
        return copy_path


writer = threading.Thread(target=f.writeto, args=(SlowPath(),))
writer.start()
holding.wait()
looked = []
lookup = threading.Thread(target=lambda: looked.append(f[1].header["EXTNAME"]))
lookup.start()
for k in range(20):
    with vexlo.open(other_path, mode="update") as g:
        g[1].header["ROUND"] = k
        g[2].section[0, 0] = k
    assert vexlo.open(other_path)[2].data[0, 0] == k
# Still inside writeto: the lookup of the same file waits for it.
waited = not looked
release.set()
writer.join()
lookup.join()
print(waited, looked[0], vexlo.open(copy_path)[1].header["EXTNAME"],
      vexlo.open(other_path)[1].header["ROUND"])
"""


def test_threads_on_other_files_go_on_while_one_waits(tmp_path):
    held = numbered_file(tmp_path / "held.fits", 3)
    other = numbered_file(tmp_path / "other.fits", 3)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, sys.path)))
    # A waiter holding the interpreter would stop every thread: the timeout ends that case.
    r = subprocess.run([sys.executable, "-c", CHILD_OTHER_FILES, str(held), str(other),
                        str(tmp_path / "copy.fits")], capture_output=True, text=True,
                       timeout=120, env=env)
    assert (r.returncode, r.stdout) == (0, "True E1 E1 19\n"), r.stderr


# ---- patches through images put into another file object ----

CHILD_CROSSED_PATCHES = r"""
import sys, threading
import numpy as np
import vexlo
a_path, b_path, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
fa = vexlo.open(a_path, mode="update")
fb = vexlo.open(b_path, mode="update")
h1, h2 = fa[1], fb[1]
# Each image now belongs to the other file object but still writes into the file it was read
# from: a patch through it is an operation of both files, taken in opposite roles here.
fb.append(h1)
fa.append(h2)
start = threading.Barrier(2)


def patch(h, base):
    start.wait()
    for i in range(rounds):
        h.section[0, 0:2] = base + i % 100


threads = [threading.Thread(target=patch, args=(h1, 1000)),
           threading.Thread(target=patch, args=(h2, 2000))]
for t in threads:
    t.start()
for t in threads:
    t.join()
print(h1.data[0, :3].tolist(), h2.data[0, :3].tolist())
fa.close()
fb.close()
"""


@pytest.mark.parametrize("one_core", [False, True], ids=["all cores", "one core"])
def test_crossed_patches_from_two_threads_finish(tmp_path, one_core):
    a = numbered_file(tmp_path / "a.fits", 1, fill=False)
    b = numbered_file(tmp_path / "b.fits", 1, fill=False)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, sys.path)))
    pin = ["taskset", "-c", "0"] if one_core else []
    # Two threads each holding one file and waiting for the other would never end: the timeout
    # fails that case.
    r = subprocess.run(pin + [sys.executable, "-c", CHILD_CROSSED_PATCHES, str(a), str(b),
                              "3000"], capture_output=True, text=True, timeout=120, env=env)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "[1099, 1099, 0] [2099, 2099, 0]\n"
    # Each file now holds its own image and a copy of the other's, as last patched.
    for path, want in ((a, [("E1", 1099), ("E1", 2099)]), (b, [("E1", 2099), ("E1", 1099)])):
        check_on_disk(path, want)
        check_with_readers(path, want)


@needs_hooks
def test_a_lock_guard_lent_below_holds_nothing_until_given_back(tmp_path):
    # While the operation is lent to the writer turn, and the turn to the updater, neither
    # names its file any more: taking the updater through the empty operation is refused as an
    # internal error instead of waiting on the updater lock this thread holds through the turn.
    path = numbered_file(tmp_path / "a.fits", 1)
    assert T.session_guards_lent(str(path)) == [True, "updater outside update mode", True,
                                                True]

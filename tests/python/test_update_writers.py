"""Several writers of one file in one process: the path-level edits, file objects opened for
update, and section patches. Rewrites, appends and patch syncs of one file take turns; an edit
that returns normally is in the file afterwards, and one that could not be saved says so."""

import os
import threading
from functools import partial

import numpy as np
import pytest

import vexlo
from fits_read import checksums_verify, fitsverify, read
from test_file_threads import run_threads

REPLACED = "replaced by another writer"
CHANGED = "changed by another writer"


def named_file(path, n_ext=1, shape=(4, 6)):
    """A primary image and `n_ext` extensions named X, Y, ...; all pixels 0, int32."""
    hdus = [vexlo.image(np.zeros(shape, "i4"), primary=True)]
    for k in range(n_ext):
        hdus.append(vexlo.image(np.zeros(shape, "i4"), header={"EXTNAME": "XYZW"[k]},
                                primary=False))
    vexlo.write(str(path), hdus)
    return path


def peer_headers(path):
    """Every HDU's header as astropy and fitsio read it (strict verification passes)."""
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(str(path)) as hdus:
        hdus.verify("exception")
        by_astropy = [dict(h.header) for h in hdus]
        pixels = [None if h.data is None else h.data.copy() for h in hdus]
    fitsio = pytest.importorskip("fitsio")
    with fitsio.FITS(str(path)) as f:
        by_fitsio = [f[i].read_header() for i in range(len(f))]
    assert len(by_fitsio) == len(by_astropy)
    return by_astropy, by_fitsio, pixels


# ---- path-level edits from threads ----


def test_setval_from_eight_threads_all_stick(tmp_path):
    p = named_file(tmp_path / "a.fits")
    errors = []

    def work(t):
        for k in range(10):
            try:
                vexlo.setval(str(p), f"T{t}K{k}", k, ext="X")
            except Exception as e:  # every call must succeed: collected and checked below
                errors.append(e)

    run_threads(*(partial(work, t) for t in range(8)))
    assert errors == []
    want = {f"T{t}K{k}": k for t in range(8) for k in range(10)}
    header = vexlo.getheader(str(p), "X")
    assert {key: header[key] for key in want} == want
    astropy_h, fitsio_h, _ = peer_headers(p)
    for h in (astropy_h[1], fitsio_h[1]):
        assert {key: h[key] for key in want} == want


def test_mixed_path_level_edits_from_threads(tmp_path):
    # Two threads set keywords, two delete keywords that were there, two append HDUs.
    p = named_file(tmp_path / "a.fits")
    for t in range(2):
        for k in range(6):
            vexlo.setval(str(p), f"D{t}K{k}", "old", ext="X")

    def setter(t):
        for k in range(6):
            vexlo.setval(str(p), f"S{t}K{k}", k, ext="X")

    def deleter(t):
        for k in range(6):
            vexlo.delval(str(p), f"D{t}K{k}", ext="X")

    def appender(t):
        for k in range(6):
            vexlo.append(str(p), np.full((2, 3), 100 * t + k, "i2"))

    run_threads(*(partial(fn, t) for fn in (setter, deleter, appender) for t in range(2)))
    header = vexlo.getheader(str(p), "X")
    for t in range(2):
        for k in range(6):
            assert header[f"S{t}K{k}"] == k
            assert f"D{t}K{k}" not in header
    info = vexlo.info(str(p))
    assert len(info) == 2 + 12
    appended = sorted(int(vexlo.getdata(str(p), i)[0, 0]) for i in range(2, len(info)))
    assert appended == sorted(100 * t + k for t in range(2) for k in range(6))
    astropy_h, fitsio_h, pixels = peer_headers(p)
    assert len(astropy_h) == 14
    assert sorted(int(a[0, 0]) for a in pixels[2:]) == appended
    assert fitsio_h[1]["S1K5"] == 5 and "D0K0" not in fitsio_h[1]


def test_file_objects_flushing_one_path_from_threads(tmp_path):
    # Each thread opens the file for update, edits a header and flushes. A flush whose file
    # was replaced meanwhile raises; one that returns normally keeps its edit in the file.
    p = named_file(tmp_path / "a.fits")
    saved, refused = [], []
    lock = threading.Lock()

    def work(t):
        for k in range(8):
            key = f"T{t}K{k}"
            f = vexlo.open(str(p), mode="update")
            f[1].header[key] = k
            try:
                f.flush()
            except vexlo.FitsError as e:
                assert REPLACED in str(e)
                with lock:
                    refused.append(key)
            else:
                with lock:
                    saved.append(key)

    run_threads(*(partial(work, t) for t in range(6)))
    assert len(saved) + len(refused) == 48 and saved
    header = vexlo.getheader(str(p), 1)
    assert [key for key in saved if key not in header] == []
    astropy_h, _, _ = peer_headers(p)
    assert [key for key in saved if key not in astropy_h[1]] == []


def test_a_rewrite_after_another_in_process_rewrite_raises(tmp_path):
    p = named_file(tmp_path / "a.fits")
    f = vexlo.open(str(p), mode="update")
    g = vexlo.open(str(p), mode="update")
    f[0].header["BY"] = "f"
    g[0].header["BY"] = "g"
    f.flush()
    with pytest.raises(vexlo.FitsError, match=REPLACED):
        g.flush()
    assert vexlo.getval(str(p), "BY") == "f"


# ---- a file shortened by another writer ----

SHORTENED = {
    "patch": lambda f, h: h.section.__setitem__((slice(99, 100), slice(None)), 7),
    "sync": lambda f, h: f.flush(),
}


@pytest.mark.parametrize("step", SHORTENED.values(), ids=SHORTENED.keys())
def test_a_shortened_file_refuses_patch_and_sync(tmp_path, step):
    p = tmp_path / "a.fits"
    vexlo.write(str(p), [vexlo.image(np.zeros((100, 100), "i2"))])
    f = vexlo.open(str(p), mode="update")
    h = f[0]
    if step is SHORTENED["sync"]:
        h.section[0, 0] = 3  # written at once; the flush would only sync it
    os.truncate(p, 2880)
    with pytest.raises(vexlo.FitsError, match=CHANGED):
        step(f, h)
    if step is SHORTENED["sync"]:
        # The patch is still not synced, and still refused.
        with pytest.raises(vexlo.FitsError, match=CHANGED):
            f.close()
    else:
        # The refused patch could not fall back on the pixels the file lost: nothing to save.
        f.close()
    assert os.path.getsize(p) == 2880


# ---- checksum cards the header shows after an in-place re-stamp ----

RESTAMPS = {
    "flush": lambda f: f.flush(),
    "exit": None,
    "twice": lambda f: (f.flush(), f[0].section.__setitem__((1, 1), 9), f.flush()),
}


@pytest.mark.parametrize("finish", RESTAMPS.values(), ids=RESTAMPS.keys())
def test_restamped_sums_show_in_the_header(tmp_path, finish):
    p = tmp_path / "a.fits"
    vexlo.write(str(p), [vexlo.image(np.arange(24, dtype="i2").reshape(4, 6)),
                         vexlo.image(np.zeros(3, "f4"), primary=False)], checksums=True)
    old = vexlo.getheader(str(p))
    with vexlo.open(str(p), mode="update") as f:
        h = f[0]
        header = h.header
        h.section[0:2, 0:2] = 7
        if finish is not None:
            finish(f)
            on_disk = vexlo.getheader(str(p))
            assert on_disk["DATASUM"] != old["DATASUM"]
            assert (header["DATASUM"], header["CHECKSUM"]) == (
                on_disk["DATASUM"], on_disk["CHECKSUM"])
            assert (f[0].header["DATASUM"], f[0].header["CHECKSUM"]) == (
                on_disk["DATASUM"], on_disk["CHECKSUM"])
            # The untouched extension keeps its cards.
            assert f[1].header["DATASUM"] == vexlo.getheader(str(p), 1)["DATASUM"]
            inode = os.stat(p).st_ino
            f.flush()  # taking the cards from the file is no edit: nothing to rewrite
            assert os.stat(p).st_ino == inode
    on_disk = vexlo.getheader(str(p))
    assert (header["DATASUM"], header["CHECKSUM"]) == (on_disk["DATASUM"], on_disk["CHECKSUM"])
    assert all(checksums_verify(hdu) for hdu in read(p))
    astropy_h, fitsio_h, _ = peer_headers(p)
    assert astropy_h[0]["DATASUM"] == fitsio_h[0]["DATASUM"] == on_disk["DATASUM"]
    fitsverify(p)


# ---- section patches racing a flush or rewrite of the same file object ----

RACES = {
    "flush": lambda f, p, k: f.flush(),
    "rewrite": lambda f, p, k: (f[0].header.__setitem__("ROUND", k), f.flush()),
    "writeto": lambda f, p, k: f.writeto(str(p), overwrite=True),
}


@pytest.mark.parametrize("loaded", [False, True], ids=["lazy", "loaded"])
@pytest.mark.parametrize("rewrite", RACES.values(), ids=RACES.keys())
def test_patches_from_threads_while_the_file_is_flushed(tmp_path, rewrite, loaded):
    # Sections are taken before the threads start, so no patch waits behind a lookup: the
    # patch itself must keep out of the flush's way. A patch puts its pixels into the cached
    # array and into the file as one step, so a flush with no edit of its own never finds
    # the two apart and never rewrites the file.
    n_ext, rows, cols = 4, 6, 40
    p = named_file(tmp_path / "a.fits", n_ext, (rows, cols))
    inode = os.stat(p).st_ino
    f = vexlo.open(str(p), mode="update")
    hdus = [f[1 + e] for e in range(n_ext)]
    if loaded:
        for h in hdus:
            assert (h.data == 0).all()
    sections = [h.section for h in hdus]
    done = threading.Event()

    def patcher(e):
        for r in range(rows):
            for c in range(cols):
                sections[e][r, c] = 1000 * e + 40 * r + c + 1

    def rewriter():
        k = 0
        while not done.is_set() or k < 3:
            rewrite(f, p, k)
            k += 1

    def patchers():
        run_threads(*(partial(patcher, e) for e in range(n_ext)))
        done.set()

    run_threads(patchers, rewriter)
    f.close()
    if rewrite is RACES["flush"]:
        assert os.stat(p).st_ino == inode
    want = [1000 * e + np.arange(rows * cols).reshape(rows, cols) + 1 for e in range(n_ext)]
    with vexlo.open(str(p)) as g:
        for e in range(n_ext):
            np.testing.assert_array_equal(g[1 + e].data, want[e])
    _, _, pixels = peer_headers(p)
    for e in range(n_ext):
        np.testing.assert_array_equal(pixels[1 + e], want[e])
    fitsio = pytest.importorskip("fitsio")
    np.testing.assert_array_equal(fitsio.read(str(p), ext=n_ext), want[-1])


def test_an_image_put_into_another_file_still_patches_the_file_it_was_read_from(tmp_path):
    a = named_file(tmp_path / "a.fits")
    b = named_file(tmp_path / "b.fits")
    inode = os.stat(a).st_ino
    fa = vexlo.open(str(a), mode="update")
    fb = vexlo.open(str(b), mode="update")
    h = fa[1]
    fb.append(h)
    h.section[0, 0:2] = 5
    # Written into the first file at once, without a rewrite.
    assert vexlo.getdata(str(a), 1)[0, :3].tolist() == [5, 5, 0]
    assert os.stat(a).st_ino == inode
    fb.close()
    fa.close()
    assert vexlo.getdata(str(b), 2)[0, :3].tolist() == [5, 5, 0]
    _, _, pixels = peer_headers(a)
    assert pixels[1][0, :3].tolist() == [5, 5, 0]

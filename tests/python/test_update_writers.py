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


def named_file(path, n_ext=1, shape=(4, 6)):
    """A primary image and `n_ext` extensions named X, Y, ...; all pixels 0, int32."""
    hdus = [vexlo.image(np.zeros(shape, "i4"), primary=True)]
    for k in range(n_ext):
        hdus.append(vexlo.image(np.zeros(shape, "i4"), header={"EXTNAME": "XYZW"[k]}, primary=False))
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
    with pytest.raises(vexlo.FitsError, match=REPLACED):
        step(f, h)
    with pytest.raises(vexlo.FitsError, match=REPLACED):
        f.close()
    assert os.path.getsize(p) == 2880


def test_a_grown_file_still_takes_patches(tmp_path):
    p = tmp_path / "a.fits"
    vexlo.write(str(p), [vexlo.image(np.zeros((10, 10), "i2"))])
    f = vexlo.open(str(p), mode="update")
    h = f[0]
    vexlo.append(str(p), np.ones((2, 2), "i2"))
    h.section[9, 0:2] = 5
    f.close()
    assert vexlo.getdata(str(p))[9, :3].tolist() == [5, 5, 0]
    _, _, pixels = peer_headers(p)
    assert pixels[0][9, :3].tolist() == [5, 5, 0] and pixels[1].tolist() == [[1, 1], [1, 1]]

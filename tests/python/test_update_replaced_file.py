"""Update mode when another writer replaces, grows or cuts the file, and section handles whose
HDU moved: an edit is never written into a file nobody will read again, nor into the wrong HDU,
nor saved over HDUs another writer added; and a file object with nothing to save says nothing."""

import os
import subprocess
import sys

import numpy as np
import pytest

import vexlo


def make(path, *arrays):
    vexlo.write(path, [vexlo.image(a, primary=i == 0) for i, a in enumerate(arrays)])
    return path


def read_with_peers(path, index, expected):
    assert vexlo.getdata(path, index).tolist() == expected
    fitsio = pytest.importorskip("fitsio")
    assert fitsio.read(str(path), ext=index).tolist() == expected
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(path) as hdus:
        hdus.verify("exception")
        assert hdus[index].data.tolist() == expected


@pytest.mark.parametrize("edit", ["section", "header"])
def test_patch_after_another_writer_replaced_the_file_is_refused(tmp_path, edit):
    p = make(tmp_path / "a.fits", np.zeros(4, "i2"))
    f = vexlo.open(str(p), mode="update")
    hdu = f[0]
    # Another process writes a new file and renames it over the path.
    other = make(tmp_path / "other.fits", np.full(4, 9, "i2"))
    os.replace(other, p)
    with pytest.raises(vexlo.FitsError, match="replaced by another writer.*not saved"):
        if edit == "section":
            hdu.section[1] = 5
        else:
            hdu.header["OBJECT"] = "x"
            f.flush()
    # The other writer's file is untouched, and the edit can still be saved elsewhere.
    assert vexlo.getdata(p).tolist() == [9, 9, 9, 9]
    f.writeto(str(tmp_path / "saved.fits"))
    saved = tmp_path / "saved.fits"
    if edit == "section":
        read_with_peers(saved, 0, [0, 5, 0, 0])
    else:
        assert vexlo.getval(saved, "OBJECT") == "x"
        read_with_peers(saved, 0, [0, 0, 0, 0])
    with pytest.raises(vexlo.FitsError, match="replaced by another writer"):
        f.close()
    assert vexlo.getdata(p).tolist() == [9, 9, 9, 9]


@pytest.mark.parametrize("trailing", [0, 1])
def test_section_of_a_moved_hdu_lands_in_that_hdu(tmp_path, trailing):
    # With an HDU of the same shape and type behind it, the moved HDU's old index names that
    # one after the rewrite: only the binding's generation tells them apart.
    arrays = [np.zeros(2, "i2")] + [np.full((2, 2), k, "i2") for k in range(1, 3 + trailing)]
    p = make(tmp_path / "a.fits", *arrays)
    with vexlo.open(str(p), mode="update") as f:
        h2 = f[2]
        del f[1]
        f.flush()
        h2.section[0, 0] = 77
    read_with_peers(p, 1, [[77, 2], [2, 2]])
    if trailing:
        read_with_peers(p, 2, [[3, 3], [3, 3]])
    assert len(vexlo.info(p)) == 2 + trailing


def test_patch_into_a_file_deleted_while_open_is_refused(tmp_path):
    p = make(tmp_path / "a.fits", np.zeros(4, "i2"))
    f = vexlo.open(str(p), mode="update")
    hdu = f[0]
    os.remove(p)
    with pytest.raises(vexlo.FitsError, match="replaced by another writer.*not saved"):
        hdu.section[1] = 5
    assert not p.exists()
    f.writeto(str(tmp_path / "saved.fits"))
    read_with_peers(tmp_path / "saved.fits", 0, [0, 5, 0, 0])


# ---- another writer's append between a file object's open and its save ----

CHANGED = "changed by another writer since it was opened.*not saved"


def append_here(path):
    vexlo.append(str(path), np.full((4, 5), 8, "i4"))


def append_from_another_process(path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, sys.path)))
    code = "import sys, numpy as np, vexlo; vexlo.append(sys.argv[1], np.full((4, 5), 8, 'i4'))"
    r = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True,
                       timeout=120, env=env)
    assert r.returncode == 0, r.stderr


APPENDERS = {"this process": append_here, "another process": append_from_another_process}

# (before the append, after it); the step after the append must be refused. The pixel (0, 0)
# of HDU 0 the file then holds: a patch written before the append stays in the file.
SAVES = {
    "rewrite": (lambda f: f[0].header.__setitem__("FOO", 1), lambda f: f.flush(), 0),
    "patch": (lambda f: f[0], lambda f: f[0].section.__setitem__((0, 0), 5), 0),
    "sync": (lambda f: f[0].section.__setitem__((0, 0), 5), lambda f: f.flush(), 5),
}


@pytest.mark.parametrize("append", APPENDERS.values(), ids=APPENDERS.keys())
@pytest.mark.parametrize("before, step, pixel", SAVES.values(), ids=SAVES.keys())
def test_an_append_between_open_and_save_is_refused_not_dropped(tmp_path, append, before, step,
                                                                 pixel):
    p = make(tmp_path / "a.fits", np.zeros((4, 5), "i4"), np.ones((2, 3), "i4"))
    f = vexlo.open(str(p), mode="update")
    before(f)
    append(p)
    with pytest.raises(vexlo.FitsError, match=CHANGED):
        step(f)
    # The edit is still pending, and still refused.
    with pytest.raises(vexlo.FitsError, match=CHANGED):
        f.close()
    assert len(vexlo.info(str(p))) == 3
    assert "FOO" not in vexlo.getheader(str(p))
    want = np.zeros((4, 5), "i4")
    want[0, 0] = pixel
    read_with_peers(p, 0, want.tolist())
    read_with_peers(p, 1, np.ones((2, 3), "i4").tolist())
    read_with_peers(p, 2, np.full((4, 5), 8, "i4").tolist())


def test_a_file_objects_own_rewrite_moves_the_length_it_knows(tmp_path):
    # The rewrite makes the file longer; later saves of the same file object are its own.
    p = make(tmp_path / "a.fits", np.zeros((4, 5), "i4"))
    with vexlo.open(str(p), mode="update") as f:
        f.append(vexlo.image(np.ones((30, 40), "i4"), primary=False))
        f.flush()
        f[1].section[0, 0] = 5
        f[0].header["FOO"] = 1
        f.flush()
        f[1].section[0, 1] = 6
    assert vexlo.getval(str(p), "FOO") == 1
    want = np.ones((30, 40), "i4")
    want[0, :2] = [5, 6]
    read_with_peers(p, 1, want.tolist())


# ---- a file object with nothing to save, after another writer changed the file ----


def cut_short(path):
    os.truncate(path, 2880)


OTHER_WRITERS = {
    "setval": lambda p: vexlo.setval(str(p), "X", value=1),
    "append": append_here,
    "append from another process": append_from_another_process,
    "truncate": cut_short,
    "delete": os.remove,
}

# What the file object did before the other writer came: nothing that needs saving.
UNCHANGED = {
    "lookup": lambda f: f[0],
    "header read": lambda f: f[0].header["BITPIX"],
    "data read": lambda f: f[0].data.sum(),
    "patch synced": lambda f: (f[0].section.__setitem__((0, 0), 0), f.flush()),
}


# An array read before the file was cut short can no longer be compared with the pixels the
# file lost: the flush cannot tell it unchanged, and refuses to save it.
QUIET = [pytest.param(w, t, id=f"{wn}-{tn}") for wn, w in OTHER_WRITERS.items()
         for tn, t in UNCHANGED.items() if (wn, tn) != ("truncate", "data read")]


@pytest.mark.parametrize("writer, touch", QUIET)
def test_a_file_object_with_nothing_to_save_closes_quietly(tmp_path, writer, touch):
    p = make(tmp_path / "a.fits", np.zeros((4, 5), "i4"))
    with vexlo.open(str(p), mode="update") as g:
        touch(g)
        writer(p)
        after = p.read_bytes() if p.exists() else None
        g.flush()
    g.close()
    # The file object wrote nothing.
    assert (p.read_bytes() if p.exists() else None) == after
    if writer is OTHER_WRITERS["setval"]:
        assert vexlo.getval(str(p), "X") == 1
        read_with_peers(p, 0, np.zeros((4, 5), "i4").tolist())
    elif writer in (append_here, append_from_another_process):
        read_with_peers(p, 1, np.full((4, 5), 8, "i4").tolist())

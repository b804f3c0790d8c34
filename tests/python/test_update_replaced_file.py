"""Update mode when another writer replaces the file, and section handles whose HDU moved: an
edit is never written into a file nobody will read again, nor into the wrong HDU."""

import os

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

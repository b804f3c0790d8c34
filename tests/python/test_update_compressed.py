"""A tile-compressed image that is only looked at stays as it is stored: opening the file in
update mode and reading the image leaves the file alone, and a rewrite for the sake of another
HDU (or writeto to another path) copies the compressed table byte for byte. Only pixels that
really changed are written anew."""

import os
import pathlib
import shutil

import numpy as np
import pytest

import vexlo
from fits_read import checksums_verify, fitsverify, read

TILED = pathlib.Path(__file__).resolve().parent.parent / "data" / "tiled"


def vexlo_gzip(path):
    a = (np.arange(40 * 30, dtype=np.int16).reshape(40, 30) * 37) % 1000 - 300
    vexlo.write(str(path), [vexlo.image(np.arange(6, dtype=np.int16).reshape(2, 3)),
                            vexlo.compressed_image(a, {"OBJECT": "M31"}, extname="SCI")])


def from_tiled(name):
    def make(path):
        shutil.copyfile(TILED / name, path)
    make.__name__ = name
    return make


# GZIP_1 written here; PLIO_1 (never written by vexlo), RICE_1 of an unsigned image (offset
# values) and a quantised float image (lossy, values only through ZSCALE/ZZERO) from peers.
SOURCES = [vexlo_gzip, from_tiled("i16_plio.fz"), from_tiled("u16_rice.fz"),
           from_tiled("f64_rice_q.fz")]


@pytest.fixture(params=SOURCES, ids=[s.__name__ for s in SOURCES])
def source(request, tmp_path):
    """A file whose HDU 1 is tile-compressed, followed by a named image extension."""
    path = tmp_path / "c.fits"
    request.param(path)
    vexlo.append(str(path), np.ones((2, 2), np.float32), {"EXTNAME": "OTHER", "NOTE": "x"})
    return path


def file_state(path):
    st = os.stat(path)
    return st.st_ino, path.read_bytes()


LOOKS = {
    "lookup": lambda f: f[1],
    "card": lambda f: f[1].header["NAXIS1"],
    "repr": repr,
    "list": list,
    "data": lambda f: f[1].data.sum(),
    "section": lambda f: f[1].section[0:2, 0:3],
    "by-name": lambda f: f["OTHER"],
}


@pytest.mark.parametrize("look", LOOKS.values(), ids=LOOKS.keys())
def test_looking_in_update_mode_leaves_the_file_alone(source, look):
    before = file_state(source)
    f = vexlo.open(str(source), mode="update")
    look(f)
    f.flush()
    assert file_state(source) == before
    look(f)
    f.close()
    assert file_state(source) == before


# ---- rewrites for the sake of something else --------------------------------------------------

def edit_primary(path):
    with vexlo.open(str(path), mode="update") as f:
        f[1].data
        f[0].header["OBSERVER"] = "someone"
    return path, 1


def setval_by_name(path):
    vexlo.setval(str(path), "OBSERVER", "someone", ext="OTHER")
    return path, 1


def delval_by_name(path):
    vexlo.delval(str(path), "NOTE", ext="OTHER")
    return path, 1


def writeto_after_read(path):
    out = path.with_name("copy.fits")
    with vexlo.open(str(path)) as f:
        f[1].data
        f.writeto(str(out))
    return out, 1


def writeto_after_read_in_update_mode(path):
    out = path.with_name("copy.fits")
    with vexlo.open(str(path), mode="update") as f:
        f[1].data
        f.writeto(str(out))
    return out, 1


def insert_before(path):
    with vexlo.open(str(path), mode="update") as f:
        f[1].data
        f.insert(1, vexlo.image(np.zeros(3, np.uint8), primary=False))
    return path, 2


REWRITES = [edit_primary, setval_by_name, delval_by_name, writeto_after_read,
            writeto_after_read_in_update_mode, insert_before]


def peer_views(path, ext):
    """What vexlo, fitsio and astropy read from HDU `ext` of `path` (astropy verifies first);
    a missing peer is left out."""
    views = {"vexlo": vexlo.getdata(str(path), ext)}
    try:
        import fitsio
    except ImportError:
        pass
    else:
        views["fitsio"] = fitsio.read(str(path), ext=ext)
    try:
        from astropy.io import fits
    except ImportError:
        pass
    else:
        with fits.open(str(path)) as hdus:
            hdus.verify("exception")
            views["astropy"] = np.asarray(hdus[ext].data).copy()
    return views


def assert_same_views(got, want):
    assert got.keys() == want.keys()
    for reader, array in want.items():
        assert got[reader].dtype == array.dtype, reader
        np.testing.assert_array_equal(got[reader], array, err_msg=reader)


@pytest.mark.parametrize("rewrite", REWRITES, ids=[r.__name__ for r in REWRITES])
def test_rewrite_copies_the_compressed_table_as_stored(source, rewrite):
    stored = read(source)[1]
    want = peer_views(source, 1)
    out, ext = rewrite(source)
    got = read(out)[ext]
    assert got.header_bytes == stored.header_bytes
    assert got.padded == stored.padded
    assert_same_views(peer_views(out, ext), want)
    fitsverify(out)


def test_checksums_are_stamped_over_the_stored_table(source):
    stored = read(source)[1]
    want = peer_views(source, 1)
    with vexlo.open(str(source), mode="update") as f:
        f[1].data
        f.add_checksums()
    got = read(source)[1]
    assert got.padded == stored.padded
    assert got["ZIMAGE"] is True
    assert checksums_verify(got)
    with vexlo.open(str(source)) as f:
        for entry in f.verify_checksums():
            assert entry["checksum_ok"] and entry["datasum_ok"], entry
    assert_same_views(peer_views(source, 1), want)


def test_rewritten_file_is_compared_with_its_new_place(source):
    # After a rewrite moved the compressed table to HDU 2, the image is compared with the table
    # there: an unchanged image writes nothing more, a changed pixel is written.
    f = vexlo.open(str(source), mode="update")
    image = f[1]
    pixels = image.data.copy()
    f.insert(1, vexlo.image(np.zeros(3, np.uint8), primary=False))
    f.flush()
    moved = file_state(source)
    stored = read(source)[2]
    f.flush()
    assert file_state(source) == moved
    image.data[1, 2] = image.data[1, 2] + 1
    pixels[1, 2] = image.data[1, 2]
    f.close()
    assert os.stat(source).st_ino != moved[0]
    after = read(source)[2]
    assert after.padded != stored.padded
    for reader, array in peer_views(source, 2).items():
        np.testing.assert_array_equal(array, pixels, err_msg=reader)


def test_changed_pixel_is_written(source):
    with vexlo.open(str(source)) as f:
        pixels = f[1].data.copy()
    before = file_state(source)
    with vexlo.open(str(source), mode="update") as f:
        f[1].data[0, 0] = f[1].data[0, 0] + 1
        pixels[0, 0] = f[1].data[0, 0]
    assert file_state(source)[0] != before[0]
    for reader, array in peer_views(source, 1).items():
        np.testing.assert_array_equal(array, pixels, err_msg=reader)
    fitsverify(source)


def test_compressed_image_moved_to_the_front_is_written_as_the_primary(source):
    with vexlo.open(str(source)) as f:
        pixels = f[1].data.copy()
    with vexlo.open(str(source), mode="update") as f:
        f[1]
        del f[0]
    hdus = read(source)
    assert hdus[0]["SIMPLE"] is True and hdus[0].get("ZIMAGE") is None
    for reader, array in peer_views(source, 0).items():
        np.testing.assert_array_equal(array, pixels, err_msg=reader)
    fitsverify(source)


def test_header_edit_of_the_compressed_image_is_written(source):
    want = peer_views(source, 1)
    with vexlo.open(str(source), mode="update") as f:
        f[1].header["OBSERVER"] = "someone"
    assert vexlo.getval(str(source), "OBSERVER", ext=1) == "someone"
    got = peer_views(source, 1)
    # Values, not dtypes: the image may now be stored as a plain image of its physical values.
    assert got.keys() == want.keys()
    for reader, array in want.items():
        np.testing.assert_array_equal(got[reader], array, err_msg=reader)
    fitsverify(source)

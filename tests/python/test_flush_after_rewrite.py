"""After a rewrite has written an image built in memory, a flush without an edit leaves the
file alone and closing again is harmless; an in-place change of that image's array after
the rewrite is still written."""

import os

import numpy as np
import pytest

import vexlo
from fits_bytes import card
from fits_images import image_file, stored

BUILT = {
    "builder-int16": lambda: vexlo.image(np.arange(6, dtype=np.int16).reshape(2, 3)),
    "builder-uint16": lambda: vexlo.image(np.arange(6, dtype=np.uint16).reshape(2, 3) + 60000,
                                          primary=False),
    "imagehdu-float32": lambda: vexlo.ImageHdu(np.linspace(0, 1, 6, dtype=np.float32)),
    "imagehdu-int8": lambda: vexlo.ImageHdu(np.array([-128, 0, 127], dtype=np.int8)),
    "imagehdu-bool": lambda: vexlo.ImageHdu(np.array([True, False, True])),
}


def still_the_same_file(path, held):
    # `held` keeps the old inode alive, so a rewrite cannot reuse its number.
    return os.stat(path).st_ino == os.fstat(held.fileno()).st_ino


def source(tmp_path):
    return image_file(tmp_path / "f.fits", stored(np.arange(4).reshape(2, 2), "i2"))


@pytest.mark.parametrize("build", BUILT.values(), ids=BUILT.keys())
def test_no_second_rewrite_and_close_twice(tmp_path, build):
    path = source(tmp_path)
    f = vexlo.open(str(path), mode="update")
    f.append(build())
    f.flush()
    written = path.read_bytes()
    with open(path, "rb") as held:
        f.flush()
        assert still_the_same_file(path, held)
        assert f.close() is None
        assert f.close() is None
        assert still_the_same_file(path, held)
    assert path.read_bytes() == written


def test_with_block_after_an_explicit_close(tmp_path):
    path = source(tmp_path)
    with vexlo.open(str(path), mode="update") as f:
        f.append(vexlo.image(np.arange(3.0), primary=False))
        f.close()
    with vexlo.open(str(path)) as f:
        np.testing.assert_array_equal(f[1].data, np.arange(3.0))


def test_assigned_array_is_clean_after_its_rewrite(tmp_path):
    path = source(tmp_path)
    f = vexlo.open(str(path), mode="update")
    f[0].data = np.full((3, 2), 7, dtype=np.uint32)
    f.flush()
    with open(path, "rb") as held:
        f.flush()
        f.close()
        assert still_the_same_file(path, held)
    with vexlo.open(str(path)) as g:
        np.testing.assert_array_equal(g[0].data, np.full((3, 2), 7, dtype=np.uint32))


def test_in_place_change_after_the_rewrite_is_written(tmp_path):
    path = source(tmp_path)
    array = np.arange(6, dtype=np.uint16).reshape(2, 3)
    f = vexlo.open(str(path), mode="update")
    f.append(vexlo.ImageHdu(array))
    f.flush()
    array[1, 2] = 65535
    f.flush()
    # Setting an array's shape in place is deprecated: the HDU takes a reshaped view instead.
    f[1].data = array.reshape(3, 2)
    f.close()
    with vexlo.open(str(path)) as g:
        expected = np.arange(6, dtype=np.uint16)
        expected[5] = 65535
        np.testing.assert_array_equal(g[1].data, expected.reshape(3, 2))


def test_an_image_in_two_files_is_written_to_each(tmp_path):
    a = source(tmp_path)
    b = image_file(tmp_path / "g.fits", stored([1, 2], "u1"))
    array = np.zeros(4, dtype=np.float64)
    hdu = vexlo.ImageHdu(array)
    fa = vexlo.open(str(a), mode="update")
    fb = vexlo.open(str(b), mode="update")
    fa.append(hdu)
    fb.append(hdu)
    fa.flush()
    fb.flush()
    array[0] = 5.0
    fb.flush()
    fa.close()
    fb.close()
    for p in (a, b):
        with vexlo.open(str(p)) as g:
            np.testing.assert_array_equal(g[1].data, [5.0, 0.0, 0.0, 0.0])


@pytest.mark.parametrize("cards", [(), ("BZERO", 10.0, "BSCALE", 0.5)], ids=["plain", "scaled"])
def test_changed_pixel_of_a_file_image_is_rewritten_once(tmp_path, cards):
    # The image read from the file now lies in the rewritten file: a second flush compares
    # with that, and a later change is still written.
    card_images = [card(cards[i], cards[i + 1]) for i in range(0, len(cards), 2)]
    path = image_file(tmp_path / "f.fits", stored(np.arange(6).reshape(2, 3), "i2"),
                      cards=card_images)
    f = vexlo.open(str(path), mode="update")
    data = f[0].data
    data[0, 0] = 40
    f.flush()
    written = path.read_bytes()
    with open(path, "rb") as held:
        f.flush()
        assert still_the_same_file(path, held)
    assert path.read_bytes() == written
    data[1, 2] = 42
    f.close()
    expected = f[0].data.copy()
    assert expected[0, 0] == 40 and expected[1, 2] == 42
    with vexlo.open(str(path)) as g:
        np.testing.assert_array_equal(g[0].data, expected)
    fitsio = pytest.importorskip("fitsio")
    np.testing.assert_array_equal(fitsio.read(str(path)), expected)
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(str(path)) as hdus:
        hdus.verify("exception")
        np.testing.assert_array_equal(hdus[0].data, expected)

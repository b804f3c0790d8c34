"""An integer image read as floating point through BZERO/BSCALE/BLANK and changed through
`data` is rewritten in its stored type when every changed value stores exactly under its
scaling: untouched pixels keep their stored integers, changed ones are stored as a section
patch stores them. Otherwise it is written as floating point, as before."""

import numpy as np
import pytest

import vexlo
from fits_bytes import card
from fits_images import BITPIX, image_file, stored
from fits_read import read

BIG = 2**60

# dtype, stored values, scaling cards, (index, new physical value)
EXACT = {
    # 2**60 + n cannot be held by a double; only the stored integers keep those digits.
    "int64-bzero-near-2**60": (
        "i8", [BIG + 10, BIG + 978, BIG + 5, BIG + 7, BIG + 11], [card("BZERO", 1000)],
        (0, float(BIG + 1010) + 2048.0)),
    "int32-bscale-bzero": (
        "i4", [1, 2, 3, 4], [card("BSCALE", 2.0), card("BZERO", 0.5)], (2, 10.5)),
    "int16-bscale-float32": ("i2", [1, 2, 3, 4], [card("BSCALE", 0.1)], (1, np.float32(0.7))),
    "int16-blank-nan": (
        "i2", [-1, 2, 3, 4], [card("BSCALE", 2.0), card("BLANK", -1)], (3, np.nan)),
    "uint8-bzero": ("u1", [0, 7, 255, 9], [card("BZERO", -100.0)], (1, 0.0)),
}


def source(path, case):
    dtype, values, cards, _ = case
    return image_file(path, stored(values, dtype), cards=cards)


def patched_by_section(path, case):
    """The same change made through a section patch, which stores it in place."""
    _, _, _, (index, value) = case
    with vexlo.open(str(path), mode="update") as f:
        f[0].section[index:index + 1] = [value]
    return path


def changed_through_data(path, case):
    _, _, _, (index, value) = case
    with vexlo.open(str(path), mode="update") as f:
        data = f[0].data
        data[index] = value
        expected = data.copy()
    return expected


@pytest.mark.parametrize("case", EXACT.values(), ids=EXACT.keys())
def test_exact_changes_keep_the_stored_type_and_integers(tmp_path, case):
    dtype, values, _, (index, _) = case
    path = source(tmp_path / "f.fits", case)
    patched = patched_by_section(source(tmp_path / "p.fits", case), case)
    expected = changed_through_data(path, case)

    out, by_patch = read(path)[0], read(patched)[0]
    assert out["BITPIX"] == by_patch["BITPIX"] == BITPIX[np.dtype(">" + dtype)]
    kept = [i for i in range(len(values)) if i != index]
    assert out.stored_image()[kept].tolist() == [values[i] for i in kept]
    assert out.data == by_patch.data

    with vexlo.open(str(path)) as f:
        np.testing.assert_array_equal(f[0].data, expected)
    fitsio = pytest.importorskip("fitsio")
    # fitsio leaves BLANK pixels as the scaled BLANK value.
    defined = ~np.isnan(expected)
    np.testing.assert_array_equal(fitsio.read(str(path)).astype(np.float64)[defined],
                                  expected.astype(np.float64)[defined])
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(str(path), do_not_scale_image_data=True) as hdus:
        hdus.verify("exception")
        assert hdus[0].data.tolist() == by_patch.stored_image().tolist()
    with fits.open(str(path)) as hdus:
        np.testing.assert_array_equal(hdus[0].data, expected)


# Changes that no stored integer reads back as: the image is written as floating point.
INEXACT = {
    "between-two-steps": ("i2", [1, 2, 3, 4], [card("BSCALE", 2.0)], (0, 3.0)),
    "beyond-the-range": ("i2", [1, 2, 3, 4], [card("BZERO", 0.5)], (0, 40000.5)),
    "nan-without-blank": ("i4", [1, 2, 3, 4], [card("BSCALE", 3.0)], (2, np.nan)),
}


@pytest.mark.parametrize("case", INEXACT.values(), ids=INEXACT.keys())
def test_inexact_changes_are_written_as_floating_point(tmp_path, case):
    path = source(tmp_path / "f.fits", case)
    expected = changed_through_data(path, case)
    out = read(path)[0]
    assert out["BITPIX"] == (-32 if expected.dtype == np.float32 else -64)
    assert out.get("BSCALE", 1.0) == 1.0 and out.get("BZERO", 0.0) == 0.0
    with vexlo.open(str(path)) as f:
        np.testing.assert_array_equal(f[0].data, expected)
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(str(path)) as hdus:
        hdus.verify("exception")
        np.testing.assert_array_equal(hdus[0].data, expected)

"""Section assignments in update mode store what reading gives back: a BZERO near but not
equal to a type's standard offset scales in floating point when patching, exactly as when
reading."""

import numpy as np
import pytest

import vexlo
from fits_bytes import card, header_bytes, padded


def image_file(path, bitpix, dtype, bzero):
    cards = [card("SIMPLE", True), card("BITPIX", bitpix), card("NAXIS", 1), card("NAXIS1", 4),
             card("BZERO", bzero)]
    path.write_bytes(header_bytes(cards) + padded(np.zeros(4, dtype).tobytes()))
    return path


@pytest.mark.parametrize(
    "bitpix, dtype, bzero, value",
    [
        (32, ">i4", 2147483647.5, 2147483652.5),
        (32, ">i4", 2147483648.0, 4000000000.0),
        (64, ">i8", 9223372036854777856.0, 2048.0),
        (16, ">i2", 32768.5, 40000.5),
        (8, "u1", -127.5, 0.5),
    ],
)
def test_patched_value_reads_back(tmp_path, bitpix, dtype, bzero, value):
    p = image_file(tmp_path / "a.fits", bitpix, dtype, bzero)
    with vexlo.open(str(p), mode="update") as f:
        f[0].section[1] = value
    back = vexlo.getdata(p)
    assert back[1] == value and back[0] == vexlo.getdata(p)[2]
    fitsio = pytest.importorskip("fitsio")
    if bitpix != 64:  # fitsio reports an overflow for any BZERO this near 2**63
        assert fitsio.read(str(p))[1] == value
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(p) as hdus:
        hdus.verify("exception")
        assert hdus[0].data[1] == value


@pytest.mark.parametrize(
    "value, stored",
    [
        (float(-2**63), -2**63),  # the least i64 is a double exactly
        (np.float32(-2**63), -2**63),
        (-2**63, -2**63),
        (np.nextafter(-2.0**63, 0.0), -2**63 + 1024),
        (np.nextafter(2.0**63, 0.0), 2**63 - 1024),
        (np.nextafter(-2.0**63, -np.inf), None),  # the doubles just beyond either end
        (float(2**63), None),
        (2**63, None),
    ],
    ids=repr,
)
def test_64_bit_patch_takes_every_value_that_fits(tmp_path, value, stored):
    p = tmp_path / "a.fits"
    vexlo.write(str(p), [vexlo.image(np.arange(4, dtype="i8"))])
    before = p.read_bytes()
    with vexlo.open(str(p), mode="update") as f:
        if stored is None:
            with pytest.raises(vexlo.FitsError, match="does not fit i64"):
                f[0].section[1] = value
        else:
            f[0].section[1] = value
    if stored is None:
        assert p.read_bytes() == before
        return
    expected = [0, stored, 2, 3]
    assert vexlo.getdata(p).tolist() == expected
    fitsio = pytest.importorskip("fitsio")
    assert fitsio.read(str(p)).tolist() == expected
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(p) as hdus:
        hdus.verify("exception")
        assert hdus[0].data.tolist() == expected

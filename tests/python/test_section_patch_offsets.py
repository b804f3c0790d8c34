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

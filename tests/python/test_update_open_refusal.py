"""Update mode refuses at open a file with bytes after its last HDU that are not padding: a
rewrite keeps only the HDUs the scan found. Reading such a file is unchanged."""

import numpy as np
import pytest

import vexlo
from fits_bytes import card, header_bytes, padded, primary_hdu
from fits_images import image_hdu, stored


def skipped_pixels_file(path):
    # GCOUNT = 0 gives the extension no data section, so its 200 pixel bytes and the HDU
    # after them are, to the scan, bytes after the last HDU.
    head = header_bytes([card("XTENSION", "IMAGE"), card("BITPIX", 8), card("NAXIS", 1),
                         card("NAXIS1", 200), card("PCOUNT", 0), card("GCOUNT", 0)])
    pixels = padded(bytes(range(1, 201)))
    path.write_bytes(primary_hdu() + head + pixels + image_hdu(stored([1, 2, 3], "u1")))
    return path


def edit_in_update_mode(path):
    with vexlo.open(str(path), mode="update") as f:
        f[1].header["OBSERVER"] = "someone"


def set_keyword(path):
    vexlo.setval(str(path), "OBSERVER", "someone", ext=0)


@pytest.mark.parametrize("edit", [edit_in_update_mode, set_keyword])
def test_update_refuses_a_file_it_would_cut_short(tmp_path, edit):
    path = skipped_pixels_file(tmp_path / "f.fits")
    original = path.read_bytes()
    assert len(original) == 14400
    with pytest.raises(vexlo.FitsError, match="after its last HDU"):
        edit(path)
    assert path.read_bytes() == original
    with vexlo.open(str(path)) as f:
        assert len(f) == 2


@pytest.mark.parametrize("tail", [b"\0" * 2880, b" " * 2880], ids=["zeros", "blanks"])
def test_padding_after_the_last_hdu_is_accepted(tmp_path, tail):
    path = tmp_path / "f.fits"
    path.write_bytes(image_hdu(stored([[1, 2], [3, 4]], "i2"), primary=True) + tail)
    with vexlo.open(str(path), mode="update") as f:
        f[0].header["OBSERVER"] = "someone"
    with vexlo.open(str(path)) as f:
        assert f[0].header["OBSERVER"] == "someone"
        np.testing.assert_array_equal(f[0].data, [[1, 2], [3, 4]])

"""A rewrite copies an image whose pixels were not read from its stored bytes: whole blocks,
whatever the data length, and only when the header it is written with declares exactly
those bytes."""

import numpy as np
import pytest

import vexlo
from fits_bytes import card, padded, primary_hdu
from fits_images import image_hdu, images_file, stored
from fits_read import read, split


def byte_image(length, seed):
    # No zero bytes, so a lost byte of the last data block cannot go unnoticed.
    return (np.arange(length, dtype=np.int64) * 7 + seed) % 251 + 1


@pytest.mark.parametrize("length", [2880, 2881, 5759], ids=["0-mod-2880", "1-mod-2880",
                                                           "2879-mod-2880"])
@pytest.mark.parametrize("lookup", [False, True], ids=["pending", "looked-up"])
def test_flush_copies_every_data_block_of_an_untouched_image(tmp_path, length, lookup):
    first = byte_image(length, 3)
    second = byte_image(10, 5)
    path = images_file(tmp_path / "f.fits", image_hdu(stored(first, "u1")),
                       image_hdu(stored(second, "u1")))
    before = split(path.read_bytes())
    with vexlo.open(str(path), mode="update") as f:
        if lookup:
            f[1]
        f[2].header["OBSERVER"] = "someone"
    after = read(path)
    assert len(after) == 3
    assert after[1].header_bytes == before[1].header_bytes
    assert after[1].padded == before[1].padded
    assert after[2].data == before[2].data
    assert after[2]["OBSERVER"] == "someone"
    with vexlo.open(str(path)) as f:
        np.testing.assert_array_equal(f[1].data, first)
        np.testing.assert_array_equal(f[2].data, second)


# Primary images whose stored data section is not the bytes of their axes alone: writing
# them behind a rebuilt header would declare another size than the bytes copied.
ODD_PRIMARIES = {
    "gcount-2": [card("PCOUNT", 0), card("GCOUNT", 2)],
    "pcount-3": [card("PCOUNT", 3), card("GCOUNT", 1)],
    # Random groups but for NAXIS1, which is not 0: an image with parameters and groups.
    "groups-naxis1-set": [card("GROUPS", True), card("PCOUNT", 1), card("GCOUNT", 2)],
}


@pytest.mark.parametrize("cards", ODD_PRIMARIES.values(), ids=ODD_PRIMARIES.keys())
@pytest.mark.parametrize("action", ["flush", "close", "writeto"])
def test_odd_sized_primary_is_refused_with_a_fits_error(tmp_path, cards, action):
    values = stored(np.arange(6).reshape(2, 3), "i2")
    head = image_hdu(values, primary=True, cards=cards)
    # The stored data section holds what the header's counts declare.
    pcount = dict((c[:8].strip(), int(c[10:30])) for c in cards if "COUNT" in c[:8])
    size = 2 * pcount["GCOUNT"] * (pcount["PCOUNT"] + 6)
    raw = head[:2880] + padded(bytes(range(1, size + 1)))
    path = tmp_path / "f.fits"
    path.write_bytes(raw + image_hdu(stored([1, 2], "u1")))
    original = path.read_bytes()
    mode = "readonly" if action == "writeto" else "update"
    f = vexlo.open(str(path), mode=mode)
    f[0]
    if action == "writeto":
        with pytest.raises(vexlo.FitsError):
            f.writeto(str(tmp_path / "out.fits"))
        assert not (tmp_path / "out.fits").exists()
        f.close()
        return
    f[1].header["OBSERVER"] = "someone"
    with pytest.raises(vexlo.FitsError):
        getattr(f, action)()
    assert path.read_bytes() == original

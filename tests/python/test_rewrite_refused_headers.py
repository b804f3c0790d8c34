"""A header edit that leaves a table unreadable is refused by every write that would save it
(flush, close, writeto, setval) with the message the reader gives for such a table: the file
stays as it was and, in update mode, the edit stays pending until it is undone."""

import numpy as np
import pytest

import vexlo
from fits_bytes import Col, ascii_table_hdu, bintable_hdu, card, primary_hdu

# ext, keyword, the value that breaks the table, the value it had
EDITS = {
    # A 1J column no longer fits the 10-byte rows of 1I + 1D.
    "bintable-wider-column": (1, "TFORM1", "J", "1I"),
    # Field 2 starting inside field 1.
    "ascii-overlapping-field": (2, "TBCOL2", 2, 4),
}


def source(path):
    table = bintable_hdu([Col("A", "1I", np.array([1, 2, 3], ">i2")),
                          Col("B", "1D", np.array([0.5, 1.5, 2.5], ">f8"))], 3, extname="BIN")
    ascii = ascii_table_hdu([("N", "I3", 3, {}), ("NAME", "A4", 4, {})],
                            ["  1abcd", " 22efgh"], extname="TXT")
    path.write_bytes(primary_hdu() + table + ascii)
    return path


def reader_message(tmp_path, ext, key, value, original):
    """What vexlo says when it reads a file holding the edited header."""
    raw = source(tmp_path / "probe.fits").read_bytes()
    broken = raw.replace(card(key, original).encode(), card(key, value).encode(), 1)
    assert broken != raw
    path = tmp_path / "broken.fits"
    path.write_bytes(broken)
    with pytest.raises(vexlo.FitsError) as e:
        vexlo.open(str(path))[ext]
    return str(e.value)


def check_readable(path):
    with vexlo.open(str(path)) as f:
        np.testing.assert_array_equal(f[1]["A"], [1, 2, 3])
        assert list(f[2]["NAME"]) == ["abcd", "efgh"]
    fitsio = pytest.importorskip("fitsio")
    np.testing.assert_array_equal(fitsio.read(str(path), ext=1)["A"], [1, 2, 3])
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(str(path)) as hdus:
        hdus.verify("exception")
        assert hdus[2].data["NAME"].tolist() == ["abcd", "efgh"]


@pytest.mark.parametrize("edit", EDITS.values(), ids=EDITS.keys())
@pytest.mark.parametrize("action", ["flush", "close", "writeto-self", "writeto-other"])
def test_update_mode_refuses_and_keeps_the_edit_pending(tmp_path, edit, action):
    ext, key, value, original = edit
    message = reader_message(tmp_path, ext, key, value, original)
    path = source(tmp_path / "f.fits")
    before = path.read_bytes()
    other = tmp_path / "other.fits"
    f = vexlo.open(str(path), mode="update")
    f[ext].header[key] = value
    save = {
        "flush": f.flush,
        "close": f.close,
        "writeto-self": lambda: f.writeto(str(path), overwrite=True),
        "writeto-other": lambda: f.writeto(str(other)),
    }[action]
    for _ in range(2):  # refused again: the edit is still pending
        with pytest.raises(vexlo.FitsError) as e:
            save()
        assert str(e.value) == message
        assert path.read_bytes() == before
        assert not other.exists()
        assert sorted(p.name for p in tmp_path.iterdir()) == ["broken.fits", "f.fits",
                                                              "probe.fits"]
    assert f[ext].header[key] == value
    f[ext].header[key] = original
    f.close()
    check_readable(path)


@pytest.mark.parametrize("edit", EDITS.values(), ids=EDITS.keys())
def test_setval_refuses_and_leaves_the_file(tmp_path, edit):
    ext, key, value, original = edit
    message = reader_message(tmp_path, ext, key, value, original)
    path = source(tmp_path / "f.fits")
    before = path.read_bytes()
    with pytest.raises(vexlo.FitsError) as e:
        vexlo.setval(str(path), key, value, ext=ext)
    assert str(e.value) == message
    assert path.read_bytes() == before
    check_readable(path)

"""An HDU read with CHECKSUM or DATASUM is rewritten with fresh ones, so that a rewritten
file never claims a checksum it fails; HDUs without them get none."""

import numpy as np
import pytest

import vexlo
from fits_read import checksums_verify, read
from rewrites import edit_in_update_mode, set_keyword, writeto_after_lookup


def source(path, checksums=True):
    vexlo.write(
        str(path),
        [
            vexlo.image(np.arange(12, dtype=np.int16).reshape(3, 4)),
            vexlo.image(np.linspace(0.0, 1.0, 10, dtype=np.float32), primary=False),
            vexlo.bintable({"x": np.arange(3.0), "n": np.array([1, 2, 3], np.int32)}),
            vexlo.ascii_table({"name": ["a", "bb", "ccc"]}),
        ],
        checksums=checksums,
    )
    return path


def edit_after_reading_pixels(path, ext):
    with vexlo.open(str(path), mode="update") as f:
        hdu = f[ext]
        if isinstance(hdu, vexlo.ImageHdu):
            hdu.data
        hdu.header["OBSERVER"] = "someone"
    return path


REWRITES = [edit_in_update_mode, edit_after_reading_pixels, set_keyword, writeto_after_lookup]


@pytest.mark.parametrize("ext", [0, 1, 2, 3], ids=["primary", "image", "bintable", "ascii"])
@pytest.mark.parametrize("rewrite", REWRITES, ids=[r.__name__ for r in REWRITES])
def test_rewritten_hdus_carry_fresh_checksums(tmp_path, rewrite, ext):
    out = rewrite(source(tmp_path / "f.fits"), ext)
    with vexlo.open(str(out)) as f:
        statuses = f.verify_checksums()
    assert [(s["checksum_ok"], s["datasum_ok"]) for s in statuses] == [(True, True)] * 4
    for hdu in read(out):
        assert checksums_verify(hdu)
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(str(out), checksum=True) as hdus:
        hdus.verify("exception")
        for hdu in hdus:
            assert hdu._checksum_valid and hdu._datasum_valid


@pytest.mark.parametrize("ext", [0, 2], ids=["image", "bintable"])
def test_hdus_without_checksums_get_none(tmp_path, ext):
    out = edit_in_update_mode(source(tmp_path / "f.fits", checksums=False), ext)
    for hdu in read(out):
        assert "CHECKSUM" not in hdu.header_bytes.decode("ascii")
        assert "DATASUM" not in hdu.header_bytes.decode("ascii")

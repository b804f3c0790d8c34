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


COMPRESSED = np.arange(120, dtype=np.int16).reshape(10, 12)


@pytest.mark.parametrize("rewrite", REWRITES, ids=[r.__name__ for r in REWRITES])
def test_tile_compressed_hdu_carries_fresh_checksums_in_whatever_form_it_is_written(
        tmp_path, rewrite):
    # The image's decoded header has no CHECKSUM or DATASUM of its own; the table it was
    # stored in had them.
    path = tmp_path / "f.fits"
    vexlo.write(str(path), [vexlo.image(np.zeros(3, np.int16)),
                            vexlo.compressed_image(COMPRESSED, tile_shape=[5, 6], extname="Z"),
                            vexlo.bintable({"x": np.arange(3.0)})], checksums=True)
    out = rewrite(path, 1)
    with vexlo.open(str(out)) as f:
        statuses = f.verify_checksums()
        np.testing.assert_array_equal(f["Z"].data, COMPRESSED)
    assert [(s["checksum_ok"], s["datasum_ok"]) for s in statuses] == [(True, True)] * 3
    for hdu in read(out):
        assert checksums_verify(hdu)
    fitsio = pytest.importorskip("fitsio")
    np.testing.assert_array_equal(fitsio.read(str(out), ext="Z"), COMPRESSED)
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(str(out), checksum=True) as hdus:
        hdus.verify("exception")
        np.testing.assert_array_equal(hdus["Z"].data, COMPRESSED)
    # astropy checks the sums of a tile-compressed HDU only when it is opened as its table.
    with fits.open(str(out), checksum=True, disable_image_compression=True) as hdus:
        for hdu in hdus:
            assert hdu._checksum_valid and hdu._datasum_valid

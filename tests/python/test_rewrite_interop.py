"""Every way vexlo rewrites or appends to a file, read back by fitsio and astropy as well as
by vexlo: the same pixels and table cells everywhere, and a header astropy's strict
verification accepts (structural cards in their places)."""

import numpy as np
import pytest

import vexlo
from fits_bytes import Col, bintable_hdu, card
from fits_images import image_hdu
from rewrites import edit_in_update_mode, set_keyword, writeto_after_lookup

# What each HDU of the source file means: a scaled 16-bit primary, a float IMAGE extension
# and a binary table.
PRIMARY = np.arange(12, dtype=np.int16).reshape(3, 4)
PRIMARY_PHYSICAL = PRIMARY * 2.0 + 10.0
EXTENSION = np.linspace(-1.0, 1.0, 30, dtype=np.float32).reshape(2, 3, 5)
TABLE = np.array([3, -1, 7], dtype=np.int32)
APPENDED = np.arange(6, dtype=np.uint16).reshape(2, 3) + 60000


def source_file(path):
    primary = image_hdu(
        PRIMARY.astype(">i2"),
        primary=True,
        cards=[card("BSCALE", 2.0), card("BZERO", 10.0), card("OBJECT", "M31")],
    )
    extension = image_hdu(EXTENSION.astype(">f4"), cards=[card("EXTNAME", "SCI")])
    table = bintable_hdu([Col("N", "J", TABLE.astype(">i4"))], 3, extname="CAT")
    path.write_bytes(primary + extension + table)
    return path


def edit_another_after_lookup(path, ext):
    # The looked-up HDU is written from the object, the edited one from its header.
    other = 1 if ext != 1 else 2
    f = vexlo.open(str(path), mode="update")
    f[ext]
    f[other].header["OBSERVER"] = "someone"
    f.close()
    return path


def append_and_flush(path, ext):
    f = vexlo.open(str(path), mode="update")
    f[ext]
    f.append(vexlo.image(APPENDED))
    f.flush()
    f.close()
    return path


def append_to_path(path, ext):
    del ext
    vexlo.append(str(path), APPENDED)
    return path


PATHS = [
    (set_keyword, False),
    (edit_in_update_mode, False),
    (edit_another_after_lookup, False),
    (writeto_after_lookup, False),
    (append_and_flush, True),
    (append_to_path, True),
]


def expected(appended):
    images = [PRIMARY_PHYSICAL, EXTENSION]
    if appended:
        images.append(APPENDED)
    return images


def check_vexlo(path, appended):
    with vexlo.open(str(path)) as f:
        np.testing.assert_array_equal(f[0].data, PRIMARY_PHYSICAL)
        np.testing.assert_array_equal(f[1].data, EXTENSION)
        np.testing.assert_array_equal(f[2]["N"], TABLE)
        if appended:
            np.testing.assert_array_equal(f[3].data, APPENDED)


def check_fitsio(path, appended):
    fitsio = pytest.importorskip("fitsio")
    with fitsio.FITS(str(path)) as f:
        assert len(f) == (4 if appended else 3)
        images = expected(appended)
        for k, hdu in zip([0, 1, 3], images):
            np.testing.assert_array_equal(f[k].read(), hdu)
        np.testing.assert_array_equal(f[2].read()["N"], TABLE)


def check_astropy(path, appended):
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(str(path)) as hdus:
        hdus.verify("exception")
        assert len(hdus) == (4 if appended else 3)
        for k, hdu in zip([0, 1, 3], expected(appended)):
            np.testing.assert_array_equal(hdus[k].data, hdu)
        np.testing.assert_array_equal(hdus[2].data["N"], TABLE)


@pytest.mark.parametrize("ext", [0, 1, 2], ids=["primary", "image-extension", "table"])
@pytest.mark.parametrize("rewrite, appended", PATHS, ids=[p[0].__name__ for p in PATHS])
@pytest.mark.parametrize("reader", [check_vexlo, check_fitsio, check_astropy],
                         ids=["vexlo", "fitsio", "astropy"])
def test_rewritten_file_reads_the_same_everywhere(tmp_path, rewrite, appended, ext, reader):
    out = rewrite(source_file(tmp_path / "f.fits"), ext)
    reader(out, appended)

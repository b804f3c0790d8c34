"""World coordinates: vexlo.Wcs against the sample header of every projection and its oracle,
the Python conventions (origins, shapes, errors), and the wcs() methods of files and images."""

import json
import math
import os
import warnings

import numpy as np
import pytest

import vexlo
from fits_bytes import card
from hooks import split_passes  # noqa: F401  (a fixture)
from wcs_peers import separation_deg

DATA = os.path.join(os.path.dirname(__file__), "..", "data", "wcs")
with open(os.path.join(DATA, "oracle.json")) as f:
    ORACLE = json.load(f)
SAMPLES = sorted(ORACLE)


def sample_header(name):
    with open(os.path.join(DATA, name + ".hdr")) as f:
        return vexlo.Header.fromstring(f.read())


def header(**cards):
    """A header of these cards, in order (a key with "__" stands for one with "-")."""
    return vexlo.Header.fromstring("".join(card(k.replace("__", "-"), v) for k, v in cards.items()))


def tan_header(**extra):
    cards = dict(NAXIS=2, NAXIS1=100, NAXIS2=50, CTYPE1="RA---TAN", CTYPE2="DEC--TAN",
                 CRPIX1=50.5, CRPIX2=25.5, CRVAL1=150.0, CRVAL2=2.0,
                 CD1_1=-1 / 3600, CD2_2=1 / 3600)
    cards.update(extra)
    return header(**cards)


# --- The oracle ---------------------------------------------------------------------------------

# CSC's published forward and inverse polynomials are approximations of each other, and the
# oracle evaluates them with less precision: they agree to a few milliarcseconds, and a round
# trip drifts by a fifth of a pixel on this sample.
SKY_TOLERANCE = {"proj_CSC": 1e-5}
PIXEL_TOLERANCE = {"proj_CSC": 0.25}


@pytest.mark.parametrize("name", SAMPLES)
def test_sample_headers_agree_with_the_oracle(name):
    wcs = vexlo.Wcs(sample_header(name))
    pixels = np.array(ORACLE[name]["pixels"], float)
    expected = ORACLE[name]["world"]
    world = wcs.pixel_to_world(pixels)
    assert world.shape == pixels.shape
    for row, (got, want) in enumerate(zip(world, expected)):
        if want is None or None in want:
            assert np.isnan(got).all(), row
            continue
        assert separation_deg([got], [want])[0] < SKY_TOLERANCE.get(name, 1e-9), (row, got, want)
        assert abs(got[1] - want[1]) < SKY_TOLERANCE.get(name, 1e-9)
    known = np.array([w for w in expected if w is not None and None not in w], float)
    back = wcs.world_to_pixel(known)
    rows = [i for i, w in enumerate(expected) if w is not None and None not in w]
    assert np.abs(back - pixels[rows]).max() < PIXEL_TOLERANCE.get(name, 1e-9)


XPH = dict(NAXIS=2, NAXIS1=192, NAXIS2=192, CTYPE1="RA---XPH", CTYPE2="DEC--XPH",
           CRPIX1=96.5, CRPIX2=96.5, CDELT1=-1.0, CDELT2=1.0, CRVAL1=0.0, CRVAL2=90.0)


@pytest.mark.parametrize("name", SAMPLES + ["XPH"])
def test_every_projection_round_trips_pixel_world_pixel(name):
    wcs = vexlo.Wcs(header(**XPH) if name == "XPH" else sample_header(name))
    grid = np.stack(np.meshgrid(np.arange(0, 192, 7.5), np.arange(0, 192, 6.25)), -1)
    pixels = grid.reshape(-1, 2)
    world = wcs.pixel_to_world(pixels)
    inside = ~np.isnan(world[:, 0])
    assert inside.sum() > 100
    back = wcs.world_to_pixel(world[inside])
    assert np.abs(back - pixels[inside]).max() < PIXEL_TOLERANCE.get(name, 1e-8)


# --- Points and batches -------------------------------------------------------------------------


@pytest.mark.usefixtures("split_passes")
def test_single_points_and_batches_agree():
    wcs = vexlo.Wcs(tan_header())
    pixels = np.array([[0.0, 0.0], [49.5, 24.5], [99.0, 49.0], [-10.0, 300.0]])
    batch = wcs.pixel_to_world(pixels)
    assert batch.dtype == np.float64 and batch.shape == (4, 2) and batch.flags.c_contiguous
    for row, point in zip(batch, pixels):
        single = wcs.pixel_to_world(list(point))
        assert type(single) is list and all(type(v) is float for v in single)
        assert single == list(row)
    assert wcs.pixel_to_world([49.5, 24.5]) == pytest.approx([150.0, 2.0], abs=1e-12)
    assert wcs.world_to_pixel([150.0, 2.0]) == pytest.approx([49.5, 24.5], abs=1e-9)
    back = wcs.world_to_pixel(batch)
    assert np.abs(back - pixels).max() < 1e-9
    assert wcs.pixel_to_world(np.zeros((0, 2))).shape == (0, 2)


def test_origin_one_means_fits_pixels():
    wcs = vexlo.Wcs(tan_header())
    p = np.array([[3.0, 4.0], [10.5, -2.0]])
    assert np.array_equal(wcs.pixel_to_world(p, origin=1), wcs.pixel_to_world(p - 1))
    assert wcs.pixel_to_world([3.0, 4.0], 1) == wcs.pixel_to_world([2.0, 3.0])
    world = wcs.pixel_to_world(p)
    assert np.array_equal(wcs.world_to_pixel(world, origin=1), wcs.world_to_pixel(world) + 1)
    assert wcs.pixel_scale_at(50.5, 25.5, origin=1) == wcs.pixel_scale_at(49.5, 24.5)
    origin_message = r"^origin must be 0 \(numpy/C, default\) or 1 \(FITS\); got 2$"
    with pytest.raises(ValueError, match=origin_message):
        wcs.pixel_to_world([1.0, 2.0], origin=2)
    with pytest.raises(OverflowError):
        wcs.pixel_to_world([1.0, 2.0], origin=-1)
    with pytest.raises(OverflowError):
        wcs.world_to_pixel([1.0, 2.0], origin=256)
    with pytest.raises(TypeError, match="origin"):
        wcs.pixel_to_world([1.0, 2.0], origin=1.5)


def test_input_arrays_are_read_not_changed():
    wcs = vexlo.Wcs(tan_header())
    base = np.arange(40, dtype=np.float64).reshape(20, 2)
    fortran = np.asfortranarray(base)
    sliced = np.arange(80, dtype=np.float64).reshape(20, 4)[:, ::2]
    expected = wcs.pixel_to_world(base)
    assert np.array_equal(wcs.pixel_to_world(fortran), expected)
    contiguous = np.ascontiguousarray(sliced)
    assert np.array_equal(wcs.pixel_to_world(sliced), wcs.pixel_to_world(contiguous))
    assert np.array_equal(wcs.pixel_to_world(base.astype(np.float32)), expected)
    assert np.array_equal(wcs.pixel_to_world(base.tolist()), expected)
    unaligned = np.frombuffer(b"\0" + base.tobytes(), dtype=np.float64, offset=1).reshape(20, 2)
    assert not unaligned.flags.aligned
    assert np.array_equal(wcs.pixel_to_world(unaligned), expected)
    copy = base.copy()
    wcs.pixel_to_world(base, origin=1)
    wcs.world_to_pixel(expected, origin=1)
    assert np.array_equal(base, copy)


def test_shape_errors():
    wcs = vexlo.Wcs(tan_header())
    with pytest.raises(ValueError) as e:
        wcs.pixel_to_world(np.zeros((2, 5)))
    assert str(e.value) == (
        "pixel_to_world: expected a batch of shape (N, 2) for a 2-axis WCS, got 5 columns; "
        "pass the transpose if the points run down the columns"
    )
    with pytest.raises(ValueError, match=r"^world_to_pixel: expected a batch of shape \(N, 2\)"):
        wcs.world_to_pixel(np.zeros((4, 3)))
    with pytest.raises(ValueError, match=r"^pixel_to_world: expected a 1-D or 2-D array, got 3-D$"):
        wcs.pixel_to_world(np.zeros((4, 2, 1)))
    with pytest.raises(ValueError, match=r"^world_to_pixel: expected a 1-D or 2-D array, got 0-D$"):
        wcs.world_to_pixel(np.float64(3.0))
    with pytest.raises(vexlo.FitsError, match=r"^wcs: expected 2 pixel coordinates, got 3$"):
        wcs.pixel_to_world([1.0, 2.0, 3.0])
    with pytest.raises(vexlo.FitsError, match=r"^wcs: expected 2 world coordinates, got 1$"):
        wcs.world_to_pixel([1.0])
    with pytest.raises(TypeError, match="pix"):
        wcs.pixel_to_world(object())


def test_points_outside_the_projection():
    wcs = vexlo.Wcs(header(NAXIS=2, CTYPE1="RA---SIN", CTYPE2="DEC--SIN", CRPIX1=1, CRPIX2=1))
    batch = wcs.pixel_to_world(np.array([[0.0, 0.0], [70.0, 0.0], [10.0, -5.0]]))
    assert np.isfinite(batch[[0, 2]]).all()
    assert np.isnan(batch[1]).all()
    with pytest.raises(vexlo.FitsError, match=r"^wcs: SIN: x\^2\+y\^2 > R_0\^2$"):
        wcs.pixel_to_world([70.0, 0.0])
    behind = wcs.world_to_pixel(np.array([[0.0, 0.0], [180.0, 0.0]]))
    assert np.isfinite(behind[0]).all() and np.isnan(behind[1]).all()


# --- The description ----------------------------------------------------------------------------


def test_properties_and_axis_kinds():
    h = header(NAXIS=2, NAXIS1=10, NAXIS2=20, WCSAXES=4, CTYPE1="GLON-CAR", CTYPE2="GLAT-CAR",
               CTYPE3="FREQ", CTYPE4="STOKES", CUNIT3="Hz", CRVAL3=1.4e9, CRVAL4=1)
    wcs = vexlo.Wcs(h)
    assert wcs.naxis == 4
    assert wcs.ctype == ["GLON-CAR", "GLAT-CAR", "FREQ", "STOKES"]
    assert wcs.cunit == ["", "", "Hz", ""]
    assert wcs.crval == [0.0, 0.0, 1.4e9, 1.0]
    assert wcs.is_celestial is True
    assert wcs.celestial_axes() == (0, 1)
    assert wcs.axis_kinds() == ["longitude", "latitude", "spectral", "stokes"]
    assert wcs.pixel_shape == (10, 20)
    assert wcs.is_tabular(0) is False and wcs.is_tabular(99) is False
    with pytest.raises(OverflowError):
        wcs.is_tabular(-1)
    with pytest.raises(TypeError, match="axis"):
        wcs.is_tabular("0")
    spectrum = vexlo.Wcs(header(NAXIS=1, CTYPE1="WAVE", CRVAL1=5000))
    assert spectrum.celestial_axes() is None and spectrum.is_celestial is False
    assert spectrum.pixel_shape is None
    h["CRVAL1"] = 3.0
    assert wcs.crval[0] == 0.0  # the description does not follow the header


def test_constructor_arguments():
    h = tan_header()
    with pytest.raises(ValueError, match="^expected a string of length 1$"):
        vexlo.Wcs(h, alt="AB")
    with pytest.raises(ValueError, match="^expected a string of length 1$"):
        vexlo.Wcs(h, "")
    with pytest.raises(vexlo.FitsError) as e:
        vexlo.Wcs(h, alt="a")
    assert str(e.value) == "wcs: WCS alternate code must be ' ' or 'A'..'Z' (got 'a')"
    with pytest.raises(TypeError, match="alt"):
        vexlo.Wcs(h, alt=1)
    with pytest.raises(TypeError, match="header"):
        vexlo.Wcs({"NAXIS": 2, "CRPIX1": 1.0})
    with pytest.raises(ValueError, match="^header carries no WCS$"):
        vexlo.Wcs(h, alt="B")
    with pytest.raises(ValueError, match="^header carries no WCS$"):
        vexlo.Wcs(header(NAXIS=2, OBJECT="M31"))
    alt = header(NAXIS=2, CTYPE1A="RA---TAN", CTYPE2A="DEC--TAN", CRVAL1A=10.0)
    assert vexlo.Wcs(alt, alt="A").crval == [10.0, 0.0]


def test_bad_descriptions_are_refused():
    cases = [
        (dict(CD1_2=0.0, CD2_2=0.0), "wcs: linear matrix is singular (cannot invert)"),
        (dict(PC1_1=1.0),
         "wcs: header specifies both CDi_j and PCi_j (mutually exclusive, Sec.8.2.1)"),
        (dict(WCSAXES=100000), "wcs: WCSAXES = 100000 exceeds the limit of 999 axes"),
        (dict(CTYPE2="DEC--SIN"),
         "wcs: celestial CTYPE pair has mismatched projection codes: `RA---TAN` vs `DEC--SIN`"),
    ]
    for extra, message in cases:
        cards = dict(NAXIS=2, CTYPE1="RA---TAN", CTYPE2="DEC--TAN", CRPIX1=1.0, CD1_1=1.0,
                     CD2_2=1.0)
        cards.update(extra)
        with pytest.raises(vexlo.FitsError) as e:
            vexlo.Wcs(header(**cards))
        assert str(e.value) == message
    with pytest.raises(vexlo.FitsError, match="singular"):
        vexlo.Wcs(header(NAXIS=2, CRPIX1=1.0, CDELT1=0.0))


def test_tabular_axes_stay_unresolved():
    wcs = vexlo.Wcs(header(NAXIS=2, NAXIS1=4, NAXIS2=4, CTYPE1="WAVE-TAB", CTYPE2="X",
                           PS1_0="T", PS1_1="C"))
    assert wcs.is_tabular(0) is True and wcs.is_tabular(1) is False
    message = ("wcs: WCS has 1 unresolved -TAB axis spec(s); call FitsFile::wcs() or "
               "Wcs::resolve_tab() to load them")
    calls = (lambda: wcs.pixel_to_world([0.0, 0.0]),
             lambda: wcs.world_to_pixel(np.zeros((3, 2))),
             wcs.footprint)
    for call in calls:
        with pytest.raises(vexlo.FitsError) as e:
            call()
        assert str(e.value) == message


def test_footprint_and_pixel_scale():
    wcs = vexlo.Wcs(tan_header())
    corners = wcs.footprint()
    assert corners.shape == (4, 2) and corners.dtype == np.float64
    expected = wcs.pixel_to_world(np.array([[0, 0], [99, 0], [99, 49], [0, 49]], float))
    assert np.array_equal(corners, expected)
    assert wcs.pixel_scale_at(49.5, 24.5) == pytest.approx((1.0, 1.0), abs=1e-9)
    with pytest.raises(TypeError, match="px"):
        wcs.pixel_scale_at("a", 1.0)
    plain = vexlo.Wcs(header(NAXIS=2, CRVAL1=5.0))
    with pytest.raises(vexlo.FitsError, match="^wcs: pixel_scale_at: WCS has no celestial pair$"):
        plain.pixel_scale_at(0, 0)
    with pytest.raises(vexlo.FitsError, match="no image shape"):
        plain.footprint()


def test_description_text():
    h = tan_header(CUNIT1="deg", WCSNAME="sky", RADESYS="FK5", EQUINOX=2000.0)
    text = repr(vexlo.Wcs(h))
    assert text == str(vexlo.Wcs(h))
    cd = 1 / 3600
    assert text == (
        "WCS Keywords\n\n"
        "Number of WCS axes: 2\n"
        "CTYPE : 'RA---TAN' 'DEC--TAN'\n"
        "CUNIT : 'deg' ''\n"
        "CRVAL : 150 2\n"
        "CRPIX : 50.5 25.5\n"
        f"CD1_1 CD1_2 : {-cd!r} 0\n"
        f"CD2_1 CD2_2 : 0 {cd!r}\n"
        "WCSNAME : 'sky'\n"
        "RADESYS : Fk5\n"
        "EQUINOX : 2000\n"
    )
    plain = repr(vexlo.Wcs(header(NAXIS=1, CTYPE1="X", CRVAL1=1e-7)))
    assert plain == ("WCS Keywords\n\nNumber of WCS axes: 1\nCTYPE : 'X'\nCRVAL : 0.0000001\n"
                     "CRPIX : 0\nCD1_1 : 1\n")


# --- Files and images ---------------------------------------------------------------------------


def write_sample(path, name):
    with open(os.path.join(DATA, name + ".hdr"), "rb") as f:
        head = f.read()
    data = bytes(192 * 192 * 4)
    data += bytes(-len(data) % 2880)
    with open(path, "wb") as f:
        f.write(head + data)


def test_file_and_image_wcs(tmp_path):
    path = tmp_path / "tan.fits"
    write_sample(path, "proj_TAN")
    expected = vexlo.Wcs(sample_header("proj_TAN")).pixel_to_world([10.0, 20.0])
    f = vexlo.open(str(path))
    assert f.wcs().pixel_to_world([10.0, 20.0]) == expected
    assert f.wcs(0, " ").pixel_to_world([10.0, 20.0]) == expected
    assert f[0].wcs().pixel_to_world([10.0, 20.0]) == expected
    assert f.wcs(alt="Q") is None and f[0].wcs("Q") is None
    with pytest.raises(OverflowError):
        f.wcs(-1)
    with pytest.raises(IndexError, match="^HDU index 5 out of range$"):
        f.wcs(5)
    for call in (lambda: f.wcs(0, "AB"), lambda: f[0].wcs(alt="AB")):
        with pytest.raises(ValueError, match="^expected a string of length 1$"):
            call()
    for call in (lambda: f.wcs(0, "a"), lambda: f[0].wcs("a")):
        with pytest.raises(vexlo.FitsError, match="alternate code"):
            call()
    assert vexlo.ImageHdu(np.zeros((2, 2), np.float32)).wcs() is None


# Headers without shape cards, or with another shape than the array's.
IN_MEMORY_HEADERS = {
    "no-shape-cards": dict(CTYPE1="RA---TAN", CTYPE2="DEC--TAN", CRPIX1=1.0, CRPIX2=1.0,
                           CRVAL1=10.0, CRVAL2=20.0, CDELT1=-0.01, CDELT2=0.01),
    "cube-shape-cards": dict(NAXIS=3, NAXIS1=5, NAXIS2=6, NAXIS3=7, CTYPE1="RA---TAN",
                             CTYPE2="DEC--TAN", CTYPE3="FREQ", CRPIX1=1.0, CRPIX2=1.0,
                             CRPIX3=1.0, CRVAL1=10.0, CRVAL2=20.0, CRVAL3=1e9,
                             CDELT1=-0.01, CDELT2=0.01, CDELT3=1e6),
}


@pytest.mark.parametrize("cards", IN_MEMORY_HEADERS.values(), ids=IN_MEMORY_HEADERS.keys())
def test_file_and_image_wcs_of_an_image_built_in_memory_agree(tmp_path, cards):
    # Both read the header the image will be written with: the array gives its shape.
    image = vexlo.ImageHdu(np.zeros((30, 40)), header(**cards))
    f = vexlo.FitsFile()
    f.append(image)
    path = tmp_path / "out.fits"
    f.writeto(str(path))
    written = vexlo.open(str(path)).wcs(0)
    pixels = [[0.0, 0.0], [39.0, 29.0]]
    for w in (image.wcs(), f.wcs(0)):
        assert (w.naxis, w.pixel_shape) == (written.naxis, written.pixel_shape) == (2, (40, 30))
        assert np.array_equal(w.pixel_to_world(pixels), written.pixel_to_world(pixels))
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(str(path)) as hdus:
        hdus.verify("exception")
        assert hdus[0].data.shape == (30, 40)
    fitsio = pytest.importorskip("fitsio")
    assert fitsio.read(str(path)).shape == (30, 40)


def test_image_without_a_file_cannot_load_lookup_tables():
    h = header(CTYPE1="WAVE-TAB", CTYPE2="X", PS1_0="T", PS1_1="C")
    image = vexlo.ImageHdu(np.zeros((4, 4), np.float32), header=h)
    with pytest.raises(vexlo.FitsError) as e:
        image.wcs()
    assert str(e.value) == (
        "wcs: WCS has a -TAB axis, but this HDU carries no file to load the lookup table from; "
        "read the HDU from vexlo.open, or use vexlo.Wcs(hdu.header) for header-only inspection"
    )
    assert vexlo.Wcs(header(NAXIS=2, CTYPE1="WAVE-TAB", CTYPE2="X", PS1_0="T",
                            PS1_1="C")).is_tabular(0)


# --- astropy as a black-box reference, where installed ------------------------------------------


@pytest.mark.parametrize("name", SAMPLES + ["XPH"])
def test_random_points_agree_with_astropy(name):
    astropy_wcs = pytest.importorskip("astropy.wcs")
    astropy_fits = pytest.importorskip("astropy.io.fits")
    if name == "XPH":
        text = "".join(card(k, v) for k, v in XPH.items())
    else:
        with open(os.path.join(DATA, name + ".hdr")) as f:
            text = f.read()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        peer = astropy_wcs.WCS(astropy_fits.Header.fromstring(text))
    ours = vexlo.Wcs(vexlo.Header.fromstring(text))
    pixels = np.random.default_rng(11).uniform(-20, 210, (500, 2))
    theirs = peer.all_pix2world(pixels, 0)
    world = ours.pixel_to_world(pixels)
    assert np.array_equal(np.isnan(world[:, 0]), np.isnan(theirs[:, 0]))
    inside = ~np.isnan(world[:, 0])
    assert separation_deg(world[inside], theirs[inside]).max() < SKY_TOLERANCE.get(name, 1e-9)
    back = ours.world_to_pixel(theirs[inside])
    peer_back = peer.all_world2pix(theirs[inside], 0)
    assert np.abs(back - peer_back).max() < (1e-3 if name == "proj_CSC" else 1e-8)


@pytest.mark.parametrize("code", ["CAR", "AIT", "COP", "TSC"])
@pytest.mark.parametrize("pole", [90.0, -90.0])
@pytest.mark.parametrize("latpole", [None, 80.0, -80.0])
def test_reference_point_at_a_celestial_pole_agrees_with_astropy(code, pole, latpole):
    astropy_wcs = pytest.importorskip("astropy.wcs")
    astropy_fits = pytest.importorskip("astropy.io.fits")
    cards = dict(NAXIS=2, NAXIS1=200, NAXIS2=200, CTYPE1="RA---" + code, CTYPE2="DEC--" + code,
                 CRPIX1=100.0, CRPIX2=100.0, CDELT1=-0.1, CDELT2=0.1, CRVAL1=40.0, CRVAL2=pole)
    if code == "COP":
        cards["PV2_1"] = 45.0
    if latpole is not None:
        cards["LATPOLE"] = latpole
    text = "".join(card(k, v) for k, v in cards.items())
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        peer = astropy_wcs.WCS(astropy_fits.Header.fromstring(text))
    pixels = np.random.default_rng(5).uniform(0, 199, (200, 2))
    world = vexlo.Wcs(vexlo.Header.fromstring(text)).pixel_to_world(pixels)
    assert separation_deg(world, peer.all_pix2world(pixels, 0)).max() < 1e-9


VARIANTS = {
    "crota": dict(CTYPE1="RA---TAN", CTYPE2="DEC--TAN", CDELT1=-0.01, CDELT2=0.02, CROTA2=30.0),
    "pc": dict(CTYPE1="RA---SIN", CTYPE2="DEC--SIN", CDELT1=-0.01, CDELT2=0.02, PC1_1=0.9,
               PC1_2=0.2, PC2_1=-0.1, PC2_2=1.1),
    "latitude first": dict(CTYPE1="DEC--TAN", CTYPE2="RA---TAN", CDELT1=0.01, CDELT2=-0.02),
    "galactic": dict(CTYPE1="GLON-AIT", CTYPE2="GLAT-AIT", CDELT1=-1.0, CDELT2=1.0),
    "lonpole": dict(CTYPE1="RA---STG", CTYPE2="DEC--STG", CDELT1=-0.5, CDELT2=0.5,
                    LONPOLE=150.0),
    "arcsec": dict(CTYPE1="RA---TAN", CTYPE2="DEC--TAN", CUNIT1="arcsec", CUNIT2="arcsec",
                   CDELT1=-3.6, CDELT2=3.6, CRVAL1=36000.0, CRVAL2=7200.0),
    "radians": dict(CTYPE1="RA---ZEA", CTYPE2="DEC--ZEA", CUNIT1="rad", CUNIT2="rad",
                    CDELT1=-1e-3, CDELT2=1e-3, CRVAL1=1.0, CRVAL2=0.5),
}


@pytest.mark.parametrize("variant", list(VARIANTS))
def test_description_variants_agree_with_astropy(variant):
    astropy_wcs = pytest.importorskip("astropy.wcs")
    astropy_fits = pytest.importorskip("astropy.io.fits")
    cards = dict(NAXIS=2, NAXIS1=100, NAXIS2=100, CRPIX1=50.0, CRPIX2=40.0, CRVAL1=10.0,
                 CRVAL2=60.0)
    cards.update(VARIANTS[variant])
    text = "".join(card(k, v) for k, v in cards.items())
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        peer = astropy_wcs.WCS(astropy_fits.Header.fromstring(text))
    ours = vexlo.Wcs(vexlo.Header.fromstring(text))
    pixels = np.random.default_rng(2).uniform(0, 99, (300, 2))
    theirs = peer.all_pix2world(pixels, 0)
    world = ours.pixel_to_world(pixels)
    lon, lat = ours.celestial_axes()
    assert separation_deg(world[:, [lon, lat]], theirs[:, [lon, lat]]).max() < 1e-9
    assert np.abs(ours.world_to_pixel(theirs) - pixels).max() < 1e-8


def test_cube_with_the_celestial_pair_last_agrees_with_astropy():
    astropy_wcs = pytest.importorskip("astropy.wcs")
    astropy_fits = pytest.importorskip("astropy.io.fits")
    cards = dict(NAXIS=3, NAXIS1=10, NAXIS2=10, NAXIS3=10, CTYPE1="FREQ", CTYPE2="RA---ZEA",
                 CTYPE3="DEC--ZEA", CUNIT1="Hz", CRPIX1=1.0, CRPIX2=5.0, CRPIX3=5.0,
                 CDELT1=1e6, CDELT2=-0.1, CDELT3=0.1, CRVAL1=1.4e9, CRVAL2=120.0, CRVAL3=-30.0)
    text = "".join(card(k, v) for k, v in cards.items())
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        peer = astropy_wcs.WCS(astropy_fits.Header.fromstring(text))
    ours = vexlo.Wcs(vexlo.Header.fromstring(text))
    assert ours.celestial_axes() == (1, 2)
    assert ours.axis_kinds() == ["spectral", "longitude", "latitude"]
    pixels = np.random.default_rng(3).uniform(0, 9, (100, 3))
    theirs = peer.all_pix2world(pixels, 0)
    world = ours.pixel_to_world(pixels)
    assert np.abs(world[:, 0] - theirs[:, 0]).max() <= 1e-6  # Hz, linear
    assert separation_deg(world[:, 1:], theirs[:, 1:]).max() < 1e-9
    assert np.abs(ours.world_to_pixel(theirs) - pixels).max() < 1e-8

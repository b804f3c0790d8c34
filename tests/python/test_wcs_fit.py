"""World coordinates written back as cards (Wcs.to_header) and fitted to reference points
(fit_wcs, WcsFit), checked against themselves and, where installed, against astropy.wcs."""

import os
import warnings

import numpy as np
import pytest

import vexlo
from fits_bytes import card
from test_wcs_spectral import CASES as SPECTRAL_CASES
from test_wcs_spectral import text_of as spectral_text

DATA = os.path.join(os.path.dirname(__file__), "..", "data", "wcs")
SAMPLES = sorted(f[:-4] for f in os.listdir(DATA) if f.startswith("proj_") and f.endswith(".hdr"))


def sample_header(name):
    with open(os.path.join(DATA, name + ".hdr")) as f:
        return vexlo.Header.fromstring(f.read())


def header(**cards):
    return vexlo.Header.fromstring("".join(card(k.replace("__", "-"), v) for k, v in cards.items()))


def pixel_grid(naxis=2, lo=-20.0, hi=200.0, step=11.0):
    xs = np.arange(lo, hi, step)
    x, y = np.meshgrid(xs, xs * 0.9)
    cols = [x.ravel(), y.ravel()] + [np.full(x.size, 2.0 + k) for k in range(naxis - 2)]
    return np.column_stack(cols)


def assert_same_world(a, b):
    nan_a, nan_b = np.isnan(a), np.isnan(b)
    assert (nan_a == nan_b).all()
    ok = ~nan_a
    assert ok.sum() > 20
    np.testing.assert_allclose(a[ok], b[ok], rtol=1e-12, atol=1e-12)


def astropy_wcs(text):
    wcs = pytest.importorskip("astropy.wcs")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return wcs.WCS(text)


# --- Writing --------------------------------------------------------------------------------------


@pytest.mark.parametrize("name", SAMPLES)
@pytest.mark.parametrize("alt", [" ", "K"])
def test_written_header_parses_back_to_the_same_transform(name, alt):
    original = vexlo.Wcs(sample_header(name))
    written = original.to_header(alt)
    assert isinstance(written, vexlo.Header) and not written.read_only
    back = vexlo.Wcs(written, alt)
    pix = pixel_grid()
    assert_same_world(original.pixel_to_world(pix), back.pixel_to_world(pix))
    assert back.ctype == original.ctype and back.cunit == original.cunit
    # The written header is the caller's own: editing it leaves the description alone.
    written.set("CRVAL1" + alt.strip(), 3.0)
    assert vexlo.Wcs(written, alt).crval[0] == 3.0
    assert back.crval == original.crval


@pytest.mark.parametrize("name", SAMPLES)
def test_written_header_reads_back_in_astropy(name):
    ours = vexlo.Wcs(sample_header(name))
    theirs = astropy_wcs(ours.to_header().tostring())
    pix = pixel_grid()
    mine = ours.pixel_to_world(pix)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        other = theirs.wcs_pix2world(pix, 0)
    both = ~np.isnan(mine).any(axis=1) & ~np.isnan(other).any(axis=1)
    assert both.sum() > 20
    dlon = (mine[both, 0] - other[both, 0] + 180.0) % 360.0 - 180.0
    # Where the latitude is a pole the longitude is arbitrary.
    polar = np.abs(mine[both, 1]) > 90.0 - 1e-9
    # CSC's published polynomials are approximations that implementations may evaluate
    # differently; the others are exact formulas.
    tol = 1e-5 if name == "proj_CSC" else 1e-9
    np.testing.assert_allclose(dlon[~polar], 0.0, atol=tol)
    np.testing.assert_allclose(mine[both, 1], other[both, 1], atol=tol)


@pytest.mark.parametrize("name", sorted(SPECTRAL_CASES))
def test_spectral_descriptions_written_and_read_back(name):
    original = vexlo.Wcs(vexlo.Header.fromstring(spectral_text(SPECTRAL_CASES[name])))
    written = original.to_header()
    back = vexlo.Wcs(written)
    pix = pixel_grid(naxis=3, lo=0.0, hi=100.0, step=9.0)
    assert_same_world(original.pixel_to_world(pix), back.pixel_to_world(pix))
    # astropy reads the written cards as it reads the original ones.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        from_written = astropy_wcs(written.tostring()).wcs_pix2world(pix, 0)
        from_original = astropy_wcs(spectral_text(SPECTRAL_CASES[name])).wcs_pix2world(pix, 0)
    np.testing.assert_allclose(from_written, from_original, rtol=1e-12)


# A fiducial latitude other than the projection's default is written even when the fiducial
# longitude is 0; astropy reads the written header as it reads the original one.
@pytest.mark.parametrize("code, theta0", [("CAR", 30.0), ("AIT", -20.0), ("TAN", 60.0)])
def test_non_default_fiducial_latitude_survives(code, theta0):
    source = header(NAXIS=2, CTYPE1="RA---" + code, CTYPE2="DEC--" + code, CRVAL1=40.0,
                    CRVAL2=20.0, CRPIX1=25.0, CRPIX2=25.0, CDELT1=-0.5, CDELT2=0.5,
                    PV1_2=theta0)
    original = vexlo.Wcs(source)
    written = original.to_header()
    assert written.get("PV1_2") == theta0 and written.get("PV1_1") is None
    pix = pixel_grid(lo=0.0, hi=50.0, step=4.0)
    assert_same_world(original.pixel_to_world(pix), vexlo.Wcs(written).pixel_to_world(pix))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        from_written = astropy_wcs(written.tostring()).wcs_pix2world(pix, 0)
        from_source = astropy_wcs(source.tostring()).wcs_pix2world(pix, 0)
    np.testing.assert_allclose(from_written, from_source, rtol=0, atol=1e-9)


def astropy_header_wcs(text, key=" "):
    wcs = pytest.importorskip("astropy.wcs")
    fits = pytest.importorskip("astropy.io.fits")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return wcs.WCS(fits.Header.fromstring(text), key=key)


SIP_CARDS = dict(NAXIS=2, NAXIS1=100, NAXIS2=100, CTYPE1="RA---TAN-SIP", CTYPE2="DEC--TAN-SIP",
                 CRVAL1=150.0, CRVAL2=2.0, CRPIX1=50.0, CRPIX2=45.0, CD1_1=-1e-3, CD1_2=2e-5,
                 CD2_1=-3e-5, CD2_2=1.1e-3, A_ORDER=2, B_ORDER=2, A_2_0=1e-5, B_0_2=-2e-5)


# An alternate description carries no SIP cards, and so no "-SIP" suffix asking for them: it
# reads back, in vexlo and in astropy, as the same description without the distortion.
def test_alternate_of_a_sip_description_reads_back_without_the_distortion():
    w = vexlo.Wcs(header(**SIP_CARDS))
    written = w.to_header("B")
    assert written["CTYPE1B"] == "RA---TAN" and written["CTYPE2B"] == "DEC--TAN"
    assert "A_ORDER" not in written
    back = vexlo.Wcs(written, "B")
    plain = {k: v for k, v in SIP_CARDS.items() if "ORDER" not in k and "_0" not in k}
    plain.update(CTYPE1="RA---TAN", CTYPE2="DEC--TAN")
    undistorted = vexlo.Wcs(header(**plain))
    pix = pixel_grid(lo=0.0, hi=100.0, step=7.0)
    assert_same_world(undistorted.pixel_to_world(pix), back.pixel_to_world(pix))
    theirs = astropy_header_wcs(written.tostring(), "B")
    assert theirs.sip is None
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        other = theirs.wcs_pix2world(pix, 0)
    np.testing.assert_allclose(other, back.pixel_to_world(pix), rtol=0, atol=1e-9)
    # The primary keeps its distortion.
    assert w.to_header()["CTYPE2"] == "DEC--TAN-SIP"


# A description with more axes than its image says so with WCSAXES, so that merged into the
# image's header (whose NAXIS wins) it keeps them all.
def test_extra_world_axes_survive_a_merge_into_the_image(tmp_path):
    source = header(NAXIS=2, NAXIS1=40, NAXIS2=30, WCSAXES=3, CTYPE1="RA---TAN",
                    CTYPE2="DEC--TAN", CTYPE3="FREQ", CRVAL1=40.0, CRVAL2=20.0, CRVAL3=1.4e9,
                    CRPIX1=20.0, CRPIX2=15.0, CDELT1=-0.01, CDELT2=0.01, CDELT3=1e6, CUNIT3="Hz")
    w = vexlo.Wcs(source)
    assert w.naxis == 3
    written = w.to_header()
    assert written["WCSAXES"] == 3
    path = str(tmp_path / "cube_wcs.fits")
    vexlo.write(path, [vexlo.image(np.zeros((30, 40), np.float32), written)])
    with vexlo.open(path) as f:
        back = f.wcs(0)
    assert back.naxis == 3 and back.ctype == w.ctype
    pix = pixel_grid(naxis=3, lo=0.0, hi=40.0, step=3.0)
    assert_same_world(w.pixel_to_world(pix), back.pixel_to_world(pix))
    fitsio = pytest.importorskip("fitsio")
    raw = fitsio.read_header(path)
    assert raw["NAXIS"] == 2 and raw["WCSAXES"] == 3
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(path) as hdus:
        hdus.verify("exception")
        text = hdus[0].header.tostring()
    theirs = astropy_header_wcs(text)
    assert theirs.naxis == 3
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        np.testing.assert_allclose(theirs.wcs_pix2world(pix, 0), w.pixel_to_world(pix),
                                   rtol=1e-12)


def test_header_refuses_bad_alternate_codes():
    w = vexlo.Wcs(sample_header("proj_TAN"))
    with pytest.raises(vexlo.FitsError, match=r"alternate code must be ' ' or 'A'..'Z' \(got 'b'\)"):
        w.to_header("b")
    with pytest.raises(ValueError, match="expected a string of length 1"):
        w.to_header("AB")
    with pytest.raises(TypeError):
        w.to_header(1)


# --- Fitting --------------------------------------------------------------------------------------

TRUTH = dict(NAXIS=2, NAXIS1=2048, NAXIS2=2048, CTYPE1="RA---TAN", CTYPE2="DEC--TAN",
             CUNIT1="deg", CUNIT2="deg", CRVAL1=210.5, CRVAL2=54.25, CRPIX1=1024.5,
             CRPIX2=1000.25, CD1_1=-7.5e-5, CD1_2=1.2e-5, CD2_1=1.1e-5, CD2_2=7.4e-5)


def truth_points(n, seed=1, projection="TAN"):
    cards = dict(TRUTH, CTYPE1="RA---" + projection, CTYPE2="DEC--" + projection)
    truth = vexlo.Wcs(header(**cards))
    rng = np.random.default_rng(seed)
    pix = rng.uniform(0, 2047, size=(n, 2))
    return truth, pix, truth.pixel_to_world(pix)


@pytest.mark.parametrize("projection", ["TAN", "SIN", "ZEA", "ARC", "STG", "CAR", "AIT"])
def test_fit_recovers_a_known_description_from_noiseless_points(projection):
    truth, pix, sky = truth_points(200, projection=projection)
    fit = vexlo.fit_wcs(pix, sky, projection=projection, crval=(210.5, 54.25))
    back = fit.wcs.world_to_pixel(sky)
    np.testing.assert_allclose(back, pix, rtol=0, atol=1e-9)
    assert fit.wcs.ctype == ["RA---" + projection, "DEC--" + projection]
    assert fit.rms_arcsec < 1e-6 and fit.max_arcsec < 1e-6
    # The fitted description survives its own header.
    again = vexlo.Wcs(fit.wcs.to_header())
    assert_same_world(again.pixel_to_world(pix), fit.wcs.pixel_to_world(pix))


def test_fit_results_and_conventions():
    pix = [[100, 100], [200, 100], [100, 200]]
    sky = [[10.00, -5.00], [10.05, -5.00], [10.00, -4.95]]
    fit = vexlo.fit_wcs(pix, sky)
    assert fit.rms_arcsec < 1e-6
    assert repr(fit) == "WcsFit(rms=0.0000 arcsec, max=0.0000 arcsec, n=3)"
    assert fit.wcs is fit.wcs and fit.wcs.pixel_shape is None
    r = fit.residuals_arcsec
    assert r.shape == (3, 2) and r.dtype == np.float64
    r[:] = 99.0
    assert np.abs(fit.residuals_arcsec).max() < 1e-6
    with pytest.raises(TypeError):
        vexlo.WcsFit()

    shifted = vexlo.fit_wcs(np.array(pix) + 1.0, sky, origin=1)
    grid = pixel_grid()
    np.testing.assert_allclose(shifted.wcs.pixel_to_world(grid), fit.wcs.pixel_to_world(grid),
                               rtol=1e-12)
    pinned = vexlo.fit_wcs(pix, sky, crpix=(99.0, 99.0))
    assert "CRPIX : 100 100" in repr(pinned.wcs)
    # Any memory order reads alike.
    fortran = vexlo.fit_wcs(np.asfortranarray(np.array(pix, dtype=float)), sky)
    np.testing.assert_array_equal(fortran.residuals_arcsec, fit.residuals_arcsec)


# The frame name sets the axis names and, for equatorial frames, the recorded reference system:
# fk4 and fk5 positions are written as FK4 and FK5, never as ICRS.
@pytest.mark.parametrize("frame, ctype1, radesys", [
    ("equatorial", "RA---TAN", "ICRS"),
    ("ICRS", "RA---TAN", "ICRS"),
    ("fk5", "RA---TAN", "FK5"),
    ("FK4", "RA---TAN", "FK4"),
    ("Galactic", "GLON-TAN", None),
    ("ecliptic", "ELON-TAN", None),
])
def test_fit_frame_names(frame, ctype1, radesys):
    _, pix, sky = truth_points(20)
    fit = vexlo.fit_wcs(pix, sky, frame=frame)
    h = fit.wcs.to_header()
    assert fit.wcs.ctype[0] == ctype1
    assert h.get("RADESYS") == radesys
    if radesys is not None:
        assert repr(vexlo.Wcs(h)) == repr(fit.wcs)
        assert "RADESYS : " + radesys.title() in repr(fit.wcs)
        # astropy reads the same system from the written cards.
        assert astropy_wcs(h.tostring()).wcs.radesys == radesys


@pytest.mark.parametrize("kwargs, error, text", [
    (dict(origin=3, pixels=[[1, 2, 3]]), ValueError, "origin must be 0 (numpy/C, default) or 1 (FITS); got 3"),
    (dict(pixels=np.zeros((3, 3))), ValueError, "fit_wcs: pixels and sky must both be (N, 2) arrays"),
    (dict(sky=np.zeros((4, 2))), ValueError, "fit_wcs: pixels and sky must have the same number of rows"),
    (dict(pixels=[1.0, 2.0]), TypeError, "argument 'pixels'"),
    (dict(crpix=[99.0, 99.0]), TypeError, "argument 'crpix'"),
    (dict(sip_order=-1), OverflowError, ""),
    (dict(sip_order=2**32, origin=7), OverflowError, ""),
    (dict(sip_order=1), vexlo.FitsError, "SIP fit: order 1 too low"),
    (dict(frame="j2000"), ValueError, 'fit_wcs: unknown frame "j2000"'),
    (dict(frame="j2000", projection="XYZ"), vexlo.FitsError, "XYZ"),
    (dict(projection="COE"), vexlo.FitsError, ""),
    (dict(pixels=[[0, 0], [1, 1]], sky=[[10, 10], [10.1, 10.1]]), vexlo.FitsError,
     "need >=3 points (or pin CRPIX) for a linear fit"),
    (dict(pixels=[[0, 0], [1, 1], [2, 2]]), vexlo.FitsError, "rank-deficient column"),
])
def test_fit_argument_errors(kwargs, error, text):
    args = dict(pixels=[[100, 100], [200, 100], [100, 200]],
                sky=[[10.00, -5.00], [10.05, -5.00], [10.00, -4.95]])
    args.update(kwargs)
    with pytest.raises(error) as info:
        vexlo.fit_wcs(**args)
    assert text in str(info.value)


def max_error_px(world_to_pixel, truth):
    """The largest distance in pixels between the fitted and the true pixels of the same sky."""
    grid = pixel_grid(lo=0.0, hi=2048.0, step=128.0)
    back = world_to_pixel(truth.pixel_to_world(grid))
    return np.hypot(*(back - grid).T).max()


def test_noisy_fit_is_as_good_as_astropy():
    pytest.importorskip("scipy")
    utils = pytest.importorskip("astropy.wcs.utils")
    coords = pytest.importorskip("astropy.coordinates")
    truth, pix, sky = truth_points(300, seed=7)
    rng = np.random.default_rng(8)
    noisy = pix + rng.normal(0.0, 0.3, size=pix.shape)
    ours = vexlo.fit_wcs(noisy, sky)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        theirs = utils.fit_wcs_from_points(
            (noisy[:, 0], noisy[:, 1]),
            coords.SkyCoord(sky[:, 0], sky[:, 1], unit="deg", frame="icrs"),
            projection="TAN")
    ours_err = max_error_px(ours.wcs.world_to_pixel, truth)
    theirs_err = max_error_px(lambda w: theirs.wcs_world2pix(w, 0), truth)
    assert ours_err < 0.2
    assert ours_err <= theirs_err * 1.05 + 1e-3
    assert 0.2 < ours.rms_arcsec / 0.3 / 0.27 < 2.0


def distorted_truth():
    cards = dict(TRUTH, CTYPE1="RA---TAN-SIP", CTYPE2="DEC--TAN-SIP", A_ORDER=3, B_ORDER=3,
                 A_2_0=2.0e-6, A_0_2=-1.5e-6, A_1_1=1.0e-6, A_3_0=4.0e-10, B_0_2=2.5e-6,
                 B_1_1=-1.0e-6, B_1_2=3.0e-10)
    return vexlo.Wcs(header(**cards))


def test_sip_fit_solves_matrix_and_sip_together_recovering_noiseless_points_exactly():
    truth = distorted_truth()
    pix = np.random.default_rng(3).uniform(0, 2047, size=(400, 2))
    sky = truth.pixel_to_world(pix)
    plain = vexlo.fit_wcs(pix, sky, crval=(210.5, 54.25))
    fit = vexlo.fit_wcs(pix, sky, crval=(210.5, 54.25), sip_order=3)
    assert plain.max_arcsec > 0.5
    assert fit.wcs.ctype == ["RA---TAN-SIP", "DEC--TAN-SIP"]
    np.testing.assert_allclose(fit.wcs.pixel_to_world(pix), sky, rtol=0, atol=1e-11)
    np.testing.assert_allclose(fit.wcs.world_to_pixel(sky), pix, rtol=0, atol=1e-9)
    h = fit.wcs.to_header()
    assert h.get("A_ORDER") == 3 and h.get("AP_ORDER") == 3
    forward_only = vexlo.fit_wcs(pix, sky, sip_order=3, fit_sip_inverse=False).wcs.to_header()
    assert forward_only.get("A_ORDER") == 3 and forward_only.get("AP_ORDER") is None
    # astropy reads the written SIP cards to the same transform.
    theirs = astropy_wcs(h.tostring())
    np.testing.assert_allclose(theirs.all_pix2world(pix, 0), sky, rtol=0, atol=1e-9)


def test_noisy_sip_fit_is_as_good_as_astropy():
    pytest.importorskip("scipy")
    utils = pytest.importorskip("astropy.wcs.utils")
    coords = pytest.importorskip("astropy.coordinates")
    truth = distorted_truth()
    rng = np.random.default_rng(11)
    pix = rng.uniform(0, 2047, size=(500, 2))
    sky = truth.pixel_to_world(pix)
    noisy = pix + rng.normal(0.0, 0.3, size=pix.shape)
    ours = vexlo.fit_wcs(noisy, sky, sip_order=3)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        theirs = utils.fit_wcs_from_points(
            (noisy[:, 0], noisy[:, 1]),
            coords.SkyCoord(sky[:, 0], sky[:, 1], unit="deg", frame="icrs"),
            projection="TAN", sip_degree=3)
    ours_err = max_error_px(ours.wcs.world_to_pixel, truth)
    theirs_err = max_error_px(lambda w: theirs.all_world2pix(w, 0), truth)
    assert ours_err < 0.3
    assert ours_err <= theirs_err * 1.05 + 1e-3


# A -TAB axis's cards name its table, which the caller writes alongside: an image with the
# written cards and the same table transforms as the original.
def test_lookup_table_axes_written_and_read_back(tmp_path):
    from test_wcs_tab import image_hdu, one_axis_file, two_axis_file

    for sub in ("a", "b"):
        (tmp_path / sub).mkdir()
    files = [(two_axis_file(tmp_path / "a"), [4, 3]),
             (one_axis_file(tmp_path / "b", coords=(9.0, 7.0, 4.0, 0.0),
                            index=(100.0, 120.0, 180.0, 200.0), CRVAL1=150.0, CDELT1=10.0),
              [4, 2])]
    for path, naxes in files:
        original = vexlo.open(str(path)).wcs()
        written = original.to_header()
        assert written.get("PS1_0") is not None and written.get("PV1_3") is not None
        cards = {k: v for k, v in written.items() if not k.startswith("NAXIS")}
        data = path.read_bytes()
        table = data[data.index(b"XTENSION= 'BINTABLE'"):]
        again = tmp_path / ("again_" + path.parent.name + ".fits")
        again.write_bytes(image_hdu(naxes, cards) + table)
        back = vexlo.open(str(again)).wcs()
        pix = np.random.default_rng(4).uniform(0.0, 2.0, (40, 2))
        np.testing.assert_allclose(back.pixel_to_world(pix), original.pixel_to_world(pix),
                                   rtol=1e-12, atol=0)


@pytest.mark.parametrize("projection", ["TAN", "SIN", "ZEA", "STG", "CAR", "AIT"])
@pytest.mark.parametrize("sip_order", [None, 2])
def test_pinned_reference_pixel_away_from_the_points_fits_noiseless_points_exactly(projection,
                                                                                   sip_order):
    # The reference pixel sits near a corner, far from the middle of the points: the
    # reference point must be solved with the matrix for the pinned pixel to land on its own
    # sky position.
    cards = dict(TRUTH, CTYPE1="RA---" + projection, CTYPE2="DEC--" + projection,
                 CRPIX1=300.5, CRPIX2=1700.25)
    truth = vexlo.Wcs(header(**cards))
    pix = np.random.default_rng(5).uniform(0, 2047, size=(150, 2))
    sky = truth.pixel_to_world(pix)
    fit = vexlo.fit_wcs(pix, sky, projection=projection, crpix=(299.5, 1699.25),
                        sip_order=sip_order)
    assert fit.rms_arcsec < 1e-6 and fit.max_arcsec < 1e-6
    np.testing.assert_allclose(fit.wcs.crval, [210.5, 54.25], rtol=0, atol=1e-9)
    assert "CRPIX : 300.5 1700.25" in repr(fit.wcs)
    np.testing.assert_allclose(fit.wcs.world_to_pixel(sky), pix, rtol=0, atol=1e-7)
    free = vexlo.fit_wcs(pix, sky, projection=projection, sip_order=sip_order)
    assert fit.rms_arcsec <= max(free.rms_arcsec, 1e-6)


def test_pinned_reference_point_and_pixel_stay_as_given():
    cards = dict(TRUTH, CRPIX1=300.5, CRPIX2=1700.25)
    truth = vexlo.Wcs(header(**cards))
    pix = np.random.default_rng(6).uniform(0, 2047, size=(50, 2))
    sky = truth.pixel_to_world(pix)
    fit = vexlo.fit_wcs(pix, sky, crpix=(299.5, 1699.25), crval=(210.51, 54.25))
    assert fit.wcs.crval == [210.51, 54.25]
    assert "CRPIX : 300.5 1700.25" in repr(fit.wcs)
    # Two points and a pinned pixel fix only the matrix: the reference point stays at the
    # points' spherical centroid.
    two = vexlo.fit_wcs(pix[:2], sky[:2], crpix=(299.5, 1699.25))
    lon, lat = np.radians(sky[:2, 0]), np.radians(sky[:2, 1])
    v = np.array([np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)]).sum(axis=1)
    centroid = [np.degrees(np.arctan2(v[1], v[0])) % 360,
                np.degrees(np.arctan2(v[2], np.hypot(v[0], v[1])))]
    np.testing.assert_allclose(two.wcs.crval, centroid, rtol=0, atol=1e-9)

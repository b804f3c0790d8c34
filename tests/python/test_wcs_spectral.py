"""Spectral axes of every type and algorithm: agreement with astropy.wcs where installed, round
trips, and the refusals that stop a parse or fail one point."""

import warnings

import numpy as np
import pytest

import vexlo
from fits_bytes import card


def text_of(cards):
    return "".join(card(k, v) for k, v in cards.items())


def spectral_cards(ctype, crval, cdelt, cunit="", **extra):
    # A cube with the spectral axis third, behind a plain celestial pair.
    cards = dict(NAXIS=3, NAXIS1=10, NAXIS2=10, NAXIS3=200, CTYPE1="RA---TAN",
                 CTYPE2="DEC--TAN", CTYPE3=ctype, CRPIX1=5.0, CRPIX2=5.0, CRPIX3=50.0,
                 CDELT1=-0.01, CDELT2=0.01, CDELT3=cdelt, CRVAL1=10.0, CRVAL2=20.0, CRVAL3=crval)
    if cunit:
        cards["CUNIT3"] = cunit
    cards.update(extra)
    return cards


H1 = 1.420405751e9
CASES = {
    "FREQ": spectral_cards("FREQ", 1.4e9, 1e5, "Hz"),
    "FREQ-LOG": spectral_cards("FREQ-LOG", 1.4e9, 1e6, "Hz"),
    "WAVE-F2W": spectral_cards("WAVE-F2W", 2.1e-1, 1e-5, "m"),
    "WAVE-LOG": spectral_cards("WAVE-LOG", 5000.0, 0.5, "Angstrom"),
    "VRAD": spectral_cards("VRAD", 1000.0, 2000.0, "m/s", RESTFRQ=H1),
    "VOPT-F2W": spectral_cards("VOPT-F2W", 5e5, 3000.0, "m/s", RESTFRQ=H1),
    "ZOPT-F2W": spectral_cards("ZOPT-F2W", 0.05, 1e-4, "", RESTFRQ=H1),
    "VELO-F2V": spectral_cards("VELO-F2V", 2e6, 5000.0, "m/s", RESTFRQ=H1),
    "BETA-F2V": spectral_cards("BETA-F2V", 0.01, 2e-5, "", RESTWAV=0.211),
    "FREQ-W2F": spectral_cards("FREQ-W2F", 1.4e9, 1e5, "Hz"),
    "FREQ-V2F": spectral_cards("FREQ-V2F", 1.4e9, 1e5, "Hz", RESTFRQ=H1),
    "ENER-W2F": spectral_cards("ENER-W2F", 3e-19, 1e-22, "J"),
    "WAVN-V2F": spectral_cards("WAVN-V2F", 4.7, 1e-3, "m-1", RESTFRQ=H1),
    "AWAV": spectral_cards("AWAV", 6.5e-7, 1e-10, "m"),
    "WAVE-A2W": spectral_cards("WAVE-A2W", 6.5e-7, 1e-10, "m"),
    "AWAV-F2A": spectral_cards("AWAV-F2A", 6.5e-7, 1e-10, "m"),
    "FREQ-A2F": spectral_cards("FREQ-A2F", 4.6e14, 1e10, "Hz"),
    "WAVE-GRI": spectral_cards("WAVE-GRI", 6.5e-7, 1e-10, "m", PV3_0=3e5, PV3_1=1.0,
                               PV3_2=10.0, PV3_3=1.5, PV3_4=-1e4, PV3_5=5.0, PV3_6=2.0),
    "WAVE-GRA": spectral_cards("WAVE-GRA", 6.5e-7, 1e-10, "m", PV3_0=3e5, PV3_1=1.0,
                               PV3_2=10.0, PV3_3=1.5, PV3_6=2.0),
}


@pytest.mark.parametrize("name", list(CASES))
def test_spectral_axes_agree_with_astropy(name):
    astropy_wcs = pytest.importorskip("astropy.wcs")
    astropy_fits = pytest.importorskip("astropy.io.fits")
    text = text_of(CASES[name])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        peer = astropy_wcs.WCS(astropy_fits.Header.fromstring(text))
    ours = vexlo.Wcs(vexlo.Header.fromstring(text))
    assert ours.axis_kinds()[2] == "spectral"
    pixels = np.column_stack([np.full(300, 4.0), np.full(300, 4.0),
                              np.linspace(-20.0, 220.0, 300)])
    world = ours.pixel_to_world(pixels)
    theirs = peer.all_pix2world(pixels, 0)
    # astropy reports SI units whatever CUNIT says; compare in the header's unit.
    scale = {"Angstrom": 1e-10}.get(CASES[name].get("CUNIT3"), 1.0)
    np.testing.assert_allclose(world[:, 2] * scale, theirs[:, 2], rtol=1e-11, atol=0)
    back = ours.world_to_pixel(world)
    np.testing.assert_allclose(back[:, 2], pixels[:, 2], rtol=0, atol=1e-6)
    # At the reference pixel the axis reads CRVAL.
    ref = ours.pixel_to_world([4.0, 4.0, 49.0])
    assert ref[2] == pytest.approx(CASES[name]["CRVAL3"], rel=1e-13)


@pytest.mark.parametrize("ctype, extra, message", [
    ("FREQ-XYZ", {}, "CTYPE3 = `FREQ-XYZ`: `XYZ` is not a spectral algorithm code "
                     "(Standard Sec.8.4 Table 26)"),
    ("FREQ--LOG", {}, "CTYPE3 = `FREQ--LOG`: `-LOG` is not a spectral algorithm code"),
    ("VRAD-F2W", {}, "CTYPE3 = `VRAD-F2W`: algorithm `F2W` names associate variable `W`, but "
                     "this type is associated with `F` (Paper III Sec.3.3.1)"),
    ("VELO-F2V", {}, "spectral axis 3 (CTYPE Velo, algorithm Some(Linear(Freq))) requires "
                     "RESTFRQ or RESTWAV"),
    ("FREQ-V2F", {}, "spectral axis 3 (CTYPE Freq, algorithm Some(Linear(Velo))) requires "
                     "RESTFRQ or RESTWAV"),
    ("WAVE-GRI", {}, "grism: G*m/cos(epsilon) - n'_r sin(alpha) is zero"),
])
def test_unusable_spectral_ctypes_stop_the_parse(ctype, extra, message):
    with pytest.raises(vexlo.FitsError, match=message.replace("(", r"\(").replace(")", r"\)")
                       .replace("*", r"\*")):
        vexlo.Wcs(vexlo.Header.fromstring(text_of(spectral_cards(ctype, 1.0, 1.0, **extra))))


def test_spectral_point_faults_are_errors_alone_and_nan_in_batches():
    # RESTFRQ = 0 passes the parse and fails at the first transform that needs it.
    bad_rest = vexlo.Wcs(vexlo.Header.fromstring(text_of(
        spectral_cards("VELO-F2V", 0.0, 1.0, "m/s", RESTFRQ=0.0))))
    with pytest.raises(vexlo.FitsError, match="RESTFRQ must be positive"):
        bad_rest.pixel_to_world([4.0, 4.0, 49.0])
    # Linear in frequency, 1e-8 m per pixel at 1 um: 100 pixels on, the frequency is zero and
    # no wavelength follows.
    wave = vexlo.Wcs(vexlo.Header.fromstring(text_of(
        spectral_cards("WAVE-F2W", 1e-6, 1e-8, "m"))))
    out = wave.pixel_to_world(np.array([[4.0, 4.0, 49.0], [4.0, 4.0, 200.0]]))
    assert out[0, 2] == pytest.approx(1e-6, rel=1e-14)
    assert np.isnan(out[1]).all()
    with pytest.raises(vexlo.FitsError, match="spectral: frequency must be positive"):
        wave.pixel_to_world([4.0, 4.0, 200.0])
    # Linear in wavelength: past zero wavelength the sampled variable itself is refused.
    freq = vexlo.Wcs(vexlo.Header.fromstring(text_of(
        spectral_cards("FREQ-W2F", 3e14, 3e12, "Hz"))))
    with pytest.raises(vexlo.FitsError, match="spectral: linearized wavelength must be positive"):
        freq.pixel_to_world([4.0, 4.0, 200.0])
    with pytest.raises(vexlo.FitsError, match="spectral: wavelength must be positive"):
        wave.world_to_pixel([10.0, 20.0, -1e-6])

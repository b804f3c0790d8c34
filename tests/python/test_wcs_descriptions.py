"""World coordinate descriptions that have no valid answer are refused, the fiducial offset and
its flag, MJD-OBS, IRAF WAT pieces, plate solutions without image axes, informal CUNIT texts;
absolute world values of TNX surfaces and a DSS plate computed here from their definitions;
and every header `Wcs.to_header` writes is read by astropy.wcs to the same transform."""

import math
import re
import warnings

import numpy as np
import pytest

import vexlo
from fits_bytes import BLOCK, Col, bintable_hdu, card, header_bytes, padded
from wcs_peers import astropy_wcs_of, separation_deg

D2R = math.pi / 180.0


def text_of(cards):
    return "".join(card(k.replace("__", "-"), v) for k, v in cards.items())


def wcs_of(cards):
    return vexlo.Wcs(vexlo.Header.fromstring(text_of(cards)))


PIXELS = np.array([[0.0, 0.0], [10.0, 5.0], [49.5, 24.5], [-7.0, 33.0], [80.0, 60.0]])


def assert_astropy_agrees(text, pixels=PIXELS, tolerance=1e-9):
    """astropy reads `text` to the transform vexlo reads from it, wherever both give a value."""
    peer = astropy_wcs_of(text)
    ours = vexlo.Wcs(vexlo.Header.fromstring(text)).pixel_to_world(pixels)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        theirs = peer.all_pix2world(pixels, 0)
    both = ~np.isnan(ours[:, 0]) & ~np.isnan(theirs[:, 0])
    assert both.any()
    assert separation_deg(ours[both], theirs[both]).max() < tolerance, (ours, theirs)


def assert_written_header_reads_back(wcs, pixels=PIXELS, astropy=True):
    """The header `to_header` writes gives the same world values in vexlo and in astropy."""
    text = wcs.to_header().tostring()
    world = wcs.pixel_to_world(pixels)
    again = vexlo.Wcs(vexlo.Header.fromstring(text)).pixel_to_world(pixels)
    np.testing.assert_allclose(again, world, rtol=0, atol=1e-9)
    if astropy:
        assert_astropy_agrees(text, pixels)


def car(**extra):
    cards = dict(NAXIS=2, NAXIS1=100, NAXIS2=50, CTYPE1="RA---CAR", CTYPE2="DEC--CAR",
                 CRPIX1=50.5, CRPIX2=25.5, CRVAL1=30.0, CRVAL2=20.0, CDELT1=-0.5, CDELT2=0.5)
    cards.update(extra)
    return cards


def tan(**extra):
    cards = dict(NAXIS=2, NAXIS1=100, NAXIS2=50, CTYPE1="RA---TAN", CTYPE2="DEC--TAN",
                 CRPIX1=50.5, CRPIX2=25.5, CRVAL1=150.0, CRVAL2=2.0,
                 CD1_1=-1 / 3600, CD2_2=1 / 3600)
    cards.update(extra)
    return cards


# --- A native pole that does not exist -----------------------------------------------------------

# (cards, the latitude bound the message names); sin(delta0) / C exceeds 1 in each.
NO_NATIVE_POLE = {
    "CAR, CRVAL2 60 with LONPOLE 60": (car(CRVAL1=10.0, CRVAL2=60.0, LONPOLE=60.0), "30"),
    "CAR, southern latitude": (car(CRVAL2=-45.0, LONPOLE=120.0), "30"),
    "AIT, LONPOLE 100": (car(CTYPE1="RA---AIT", CTYPE2="DEC--AIT", CRVAL2=20.0, LONPOLE=100.0),
                         "10"),
    "CEA through PV1_3": (car(CTYPE1="RA---CEA", CTYPE2="DEC--CEA", CRVAL2=50.0, PV1_3=135.0),
                          "45"),
}


@pytest.mark.parametrize("name", NO_NATIVE_POLE)
def test_a_native_pole_that_does_not_exist_is_refused(name):
    cards, bound = NO_NATIVE_POLE[name]
    with pytest.raises(vexlo.FitsError) as e:
        wcs_of(cards)
    message = str(e.value)
    assert message.startswith("wcs: LONPOLE = ")
    named = re.search(r"\|latitude\| <= ([0-9.e-]+) is required", message)
    assert named and float(named.group(1)) == pytest.approx(float(bound), abs=1e-9)


# Accepted: the reference latitude lies inside the bound the pole leaves.
NATIVE_POLE_INSIDE_BOUND = {
    "CAR, CRVAL2 20 with LONPOLE 60": car(CRVAL1=10.0, CRVAL2=20.0, LONPOLE=60.0),
    "CAR, CRVAL (30, 20) with LONPOLE 30": car(LONPOLE=30.0),
    "AIT, CRVAL2 -8 with LONPOLE 100": car(CTYPE1="RA---AIT", CTYPE2="DEC--AIT", CRVAL2=-8.0,
                                           LONPOLE=100.0),
    "MOL, LONPOLE 20 and LATPOLE": car(CTYPE1="RA---MOL", CTYPE2="DEC--MOL", CRVAL2=12.0,
                                       LONPOLE=20.0, LATPOLE=-30.0),
    # The native pole on a celestial pole, with LONPOLE neither phi0 nor phi0 + 180: the
    # longitude of the native pole then turns with LONPOLE - phi0, in its own sense.
    "CAR, native pole at +90, LONPOLE 60": car(CRVAL2=0.0, LONPOLE=60.0),
    "CAR, native pole at -90, LONPOLE 60": car(CRVAL2=0.0, LONPOLE=60.0, LATPOLE=-90.0),
    "CEA, native pole at +90, LONPOLE -45": car(CTYPE1="RA---CEA", CTYPE2="DEC--CEA",
                                                CRVAL2=0.0, LONPOLE=-45.0),
    "COE, native pole at +90, LONPOLE 120": car(CTYPE1="RA---COE", CTYPE2="DEC--COE",
                                                PV2_1=40.0, PV2_2=10.0, CRVAL2=40.0,
                                                LONPOLE=120.0),
}


@pytest.mark.parametrize("name", NATIVE_POLE_INSIDE_BOUND)
def test_a_non_default_lonpole_on_a_non_zenithal_projection_agrees_with_astropy(name):
    cards = NATIVE_POLE_INSIDE_BOUND[name]
    w = wcs_of(cards)
    np.testing.assert_allclose(w.pixel_to_world([49.5, 24.5]),
                               [cards["CRVAL1"], cards["CRVAL2"]], atol=1e-9)
    assert_astropy_agrees(text_of(cards))
    assert_written_header_reads_back(w)


# --- The fiducial offset and its flag ------------------------------------------------------------

# (cards, the world value of the reference pixel, whether astropy reads the cards alike); with
# the flag PV1_0 non-zero the reference pixel is the fiducial point, CRVAL itself; without it
# the plane origin stays the native origin. astropy applies the offset only when both PV1_1
# and PV1_2 are given; the other takes its default here, and `to_header` writes both.
FIDUCIAL = {
    "PV1_1 and PV1_2 without the flag": (car(PV1_1=10.0, PV1_2=15.0), None, True),
    "flag 0": (car(PV1_0=0.0, PV1_1=10.0, PV1_2=15.0), None, True),
    "negative phi0 without the flag": (car(PV1_1=-20.0, PV1_2=10.0), None, True),
    "flag 1": (car(PV1_0=1.0, PV1_1=10.0, PV1_2=15.0), (30.0, 20.0), True),
    "flag 1, negative phi0": (car(PV1_0=1.0, PV1_1=-20.0, PV1_2=10.0), (30.0, 20.0), True),
    "flag 1, negative phi0 only": (car(PV1_0=1, PV1_1=-25.0), (30.0, 20.0), False),
    "flag 1, AIT": (car(CTYPE1="RA---AIT", CTYPE2="DEC--AIT", PV1_0=1.0, PV1_1=-30.0,
                        PV1_2=5.0), (30.0, 20.0), True),
    "flag 1, conic theta0": (car(CTYPE1="RA---COE", CTYPE2="DEC--COE", PV2_1=40.0, PV2_2=10.0,
                                 PV1_0=1.0, PV1_2=25.0), (30.0, 20.0), False),
    "flag 1, TAN theta0 80": (tan(PV1_0=1.0, PV1_1=0.0, PV1_2=80.0), (150.0, 2.0), True),
}


@pytest.mark.parametrize("name", FIDUCIAL)
def test_the_fiducial_offset_applies_only_with_its_flag(name):
    cards, at_reference, astropy_alike = FIDUCIAL[name]
    text = text_of(cards)
    w = vexlo.Wcs(vexlo.Header.fromstring(text))
    reference = np.array([[cards["CRPIX1"] - 1, cards["CRPIX2"] - 1]])
    world = w.pixel_to_world(reference)[0]
    if at_reference is None:
        assert separation_deg([world], [[cards["CRVAL1"], cards["CRVAL2"]]])[0] > 1.0
    else:
        assert separation_deg([world], [at_reference])[0] < 1e-9
    if astropy_alike:
        assert_astropy_agrees(text, np.vstack([reference, PIXELS]))
    # Written back, the flag goes with every offset the description applies.
    written = w.to_header()
    assert (written.get("PV1_0") == 1.0) == (at_reference is not None)
    if at_reference is not None:
        assert written.get("PV1_1") is not None and written.get("PV1_2") is not None
    assert_written_header_reads_back(w, np.vstack([reference, PIXELS]))


# --- Impossible latitudes ------------------------------------------------------------------------

IMPOSSIBLE_LATITUDES = {
    "TAN, CRVAL2 100": (tan(CRVAL2=100.0), "CRVAL2"),
    "TAN, CRVAL2 -90.5": (tan(CRVAL2=-90.5), "CRVAL2"),
    "CAR, CRVAL1 on the latitude axis": (car(CTYPE1="DEC--CAR", CTYPE2="RA---CAR",
                                             CRVAL1=95.0), "CRVAL1"),
    "TAN, CRVAL2 2 rad": (tan(CUNIT1="rad", CUNIT2="rad", CRVAL1=1.0, CRVAL2=2.0), "CRVAL2"),
    "alternate description": (tan(CTYPE1A="RA---TAN", CTYPE2A="DEC--TAN", CRVAL2A=91.0),
                              None),
    "CAR, PV1_2 200": (car(PV1_2=200.0), "PV1_2"),
    "CAR, PV1_2 -90.5": (car(PV1_0=1.0, PV1_2=-90.5), "PV1_2"),
}


@pytest.mark.parametrize("name", IMPOSSIBLE_LATITUDES)
def test_impossible_latitudes_are_refused_naming_the_card(name):
    cards, key = IMPOSSIBLE_LATITUDES[name]
    header = vexlo.Header.fromstring(text_of(cards))
    if key is None:
        vexlo.Wcs(header)  # the primary description is sound
        with pytest.raises(vexlo.FitsError, match="CRVAL2A = 91"):
            vexlo.Wcs(header, "A")
        return
    with pytest.raises(vexlo.FitsError, match=key + " = "):
        vexlo.Wcs(header)


def test_latitudes_at_the_poles_are_kept():
    for lat in (90.0, -90.0):
        w = wcs_of(tan(CRVAL2=lat))
        assert w.pixel_to_world([49.5, 24.5])[1] == pytest.approx(lat)
        assert_written_header_reads_back(w)
    w = wcs_of(car(PV1_0=1, PV1_1=0.0, PV1_2=89.0, CRVAL2=60.0))
    assert_written_header_reads_back(w)


# --- MJD-OBS keeps its value through writing and reading -----------------------------------------

@pytest.mark.parametrize("timesys", ["TT", "TAI", "TDB", "GPS", "UTC", None])
@pytest.mark.parametrize("time_ctype", ["TIME", "TT", None])
def test_mjd_obs_survives_every_write_and_read(timesys, time_ctype):
    cards = tan(MJD__OBS=55000.0)
    if timesys:
        cards["TIMESYS"] = timesys
    if time_ctype:
        cards.update(NAXIS=3, NAXIS3=4, CTYPE3=time_ctype, CRPIX3=1.0, CRVAL3=0.0, CD3_3=1.0)
    h = vexlo.Header.fromstring(text_of(cards))
    utc = h.mjd_obs_utc
    first = vexlo.Wcs(h).to_header()
    for _ in range(3):
        h = vexlo.Wcs(h).to_header()
        assert h.mjd_obs_utc == utc
        assert h.get("MJD-OBS") == first.get("MJD-OBS")
    if first.get("TIMESYS") == (timesys or "UTC"):
        # Written beside the scale it was given in, the value is the one given.
        assert first.get("MJD-OBS") == 55000.0


# --- IRAF WAT pieces -----------------------------------------------------------------------------

def chebyshev(k, x):
    return np.polynomial.chebyshev.chebval(x, [0] * k + [1])


def legendre(k, x):
    return np.polynomial.legendre.legval(x, [0] * k + [1])


def walk(ni, nj, cross):
    """The (i, j) basis index pairs in coefficient order: j outer, i inner."""
    pairs = []
    for j in range(nj):
        for i in range(ni):
            if j == 0 or cross == 1 or (cross == 2 and i + j < max(ni, nj)):
                pairs.append((i, j))
            elif cross == 0 and i == 0:
                pairs.append((i, j))
    return pairs


def surface_value(surface, xi, eta):
    """A TNX correction surface at (xi, eta) in degrees, evaluated from its definition."""
    ftype, ni, nj, cross, (x0, x1, y0, y1), coeffs = surface
    if ftype == 3:
        x, y = xi, eta
        basis = lambda k, t: t ** k  # noqa: E731
    else:
        x = (2 * xi - (x0 + x1)) / (x1 - x0)
        y = (2 * eta - (y0 + y1)) / (y1 - y0)
        basis = chebyshev if ftype == 1 else legendre
    return sum(c * basis(i, x) * basis(j, y) for c, (i, j) in zip(coeffs, walk(ni, nj, cross)))


def surface_text(surface):
    ftype, ni, nj, cross, limits, coeffs = surface
    return " ".join([f"{ftype}.", f"{ni}.", f"{nj}.", f"{cross}."] +
                    [repr(float(v)) for v in list(limits) + list(coeffs)])


def gnomonic_to_sky(xi, eta, ra0, dec0):
    """Standard coordinates (radians) about the tangent point (degrees) to (RA, Dec)."""
    d0 = dec0 * D2R
    den = math.cos(d0) - eta * math.sin(d0)
    ra = ra0 + math.degrees(math.atan2(xi, den))
    dec = math.degrees(math.atan2(eta * math.cos(d0) + math.sin(d0), math.hypot(xi, den)))
    return ra % 360.0, dec


LIMITS = (-0.3, 0.35, -0.25, 0.3)
# A Chebyshev surface with full cross terms and a Legendre one with half cross terms.
CHEBYSHEV = (1, 3, 3, 1, LIMITS, [2.1e-3, -1.3e-3, 4.7e-4, 8.1e-4, -2.2e-4, 3.3e-4, 1.9e-4,
                                  -6.1e-4, 2.7e-4])
LEGENDRE = (2, 3, 3, 2, LIMITS, [-1.7e-3, 9.2e-4, -3.6e-4, 1.4e-3, 5.1e-4, -7.7e-4])
POWER = (3, 2, 2, 0, LIMITS, [3.0e-4, 2.5e-3, -1.5e-3])


def iraf_pieces(whole):
    return [whole[k:k + 68] for k in range(0, len(whole), 68)]


def inside_a_word(pieces):
    return any(a[-1] != " " and b[0] != " " for a, b in zip(pieces, pieces[1:]))


def tnx_cards(lngcor, latcor):
    """Fixed 68-character WAT pieces as IRAF writes them, one of them broken inside a number
    (the blanks after the opening quote move the breaks)."""
    cards = dict(NAXIS=2, NAXIS1=2048, NAXIS2=2048, CTYPE1="RA---TNX", CTYPE2="DEC--TNX",
                 CRPIX1=1024.5, CRPIX2=1000.0, CRVAL1=202.48, CRVAL2=47.2,
                 CD1_1=-2.5e-4, CD1_2=1.2e-6, CD2_1=-1.0e-6, CD2_2=2.6e-4, WAT0_001="system=image")
    for axis, name, axtype, surface in ((1, "lngcor", "ra", lngcor), (2, "latcor", "dec", latcor)):
        for shift in range(68):
            whole = f'wtype=tnx axtype={axtype} {name} = "{" " * shift}{surface_text(surface)}"'
            pieces = iraf_pieces(whole)
            if inside_a_word(pieces) and not pieces[-1].startswith(" "):
                break
        for k, piece in enumerate(pieces):
            cards[f"WAT{axis}_{k + 1:03d}"] = piece
    return cards


def tnx_world(cards, lngcor, latcor, pixel):
    """The world value of a 0-based pixel of a TNX header, from the definitions."""
    dx = pixel[0] + 1 - cards["CRPIX1"]
    dy = pixel[1] + 1 - cards["CRPIX2"]
    xi = cards["CD1_1"] * dx + cards["CD1_2"] * dy
    eta = cards["CD2_1"] * dx + cards["CD2_2"] * dy
    xi2 = xi + surface_value(lngcor, xi, eta)
    eta2 = eta + surface_value(latcor, xi, eta)
    return gnomonic_to_sky(xi2 * D2R, eta2 * D2R, cards["CRVAL1"], cards["CRVAL2"])


TNX_PIXELS = np.array([[0.0, 0.0], [2047.0, 2047.0], [1023.5, 999.0], [300.0, 1700.0],
                       [1900.0, 150.0]])

TNX_SURFACES = {
    "Chebyshev lngcor, Legendre latcor": (CHEBYSHEV, LEGENDRE),
    "Legendre lngcor, Chebyshev latcor": (LEGENDRE, CHEBYSHEV),
    "power series both": (POWER, POWER),
}


@pytest.mark.parametrize("name", TNX_SURFACES)
def test_tnx_world_values_match_the_surface_definitions(name):
    lngcor, latcor = TNX_SURFACES[name]
    cards = tnx_cards(lngcor, latcor)
    for axis in (1, 2):
        # A piece breaks inside a word: joining them with a blank would split it.
        assert inside_a_word([v for k, v in cards.items() if k.startswith(f"WAT{axis}_")])
    w = wcs_of(cards)
    world = w.pixel_to_world(TNX_PIXELS)
    expected = np.array([tnx_world(cards, lngcor, latcor, p) for p in TNX_PIXELS])
    assert separation_deg(world, expected).max() < 1e-10
    np.testing.assert_allclose(w.world_to_pixel(expected), TNX_PIXELS, atol=1e-7)
    # vexlo's own WAT pieces, split at blanks, read back to the same surfaces.
    written = w.to_header()
    assert sum(k.startswith("WAT1_") for k in written.keys()) > 1
    assert_written_header_reads_back(w, TNX_PIXELS, astropy=False)


def test_wat_pieces_shorter_than_68_characters_are_padded_with_blanks():
    # IRAF's 68-character piece may end in blanks, which a card value does not keep: the
    # reader pads each piece back, so "2." and "3." stay two tokens.
    whole = f'wtype=tnx axtype=ra lngcor = "{surface_text(POWER)}"'
    cut = whole.index(" 2. 0.") + 3
    first = whole[:cut].ljust(68)
    rest = whole[cut:].lstrip(" ")
    cards = {k: v for k, v in tnx_cards(POWER, POWER).items() if not k.startswith("WAT1_")}
    cards["WAT1_001"] = first
    cards["WAT1_002"] = rest
    w = wcs_of(cards)
    expected = np.array([tnx_world(cards, POWER, POWER, p) for p in TNX_PIXELS])
    assert separation_deg(w.pixel_to_world(TNX_PIXELS), expected).max() < 1e-10


# --- A DSS plate of 13 terms ---------------------------------------------------------------------

AMDX = [67.15, 0.0044, -52.7, -1.4e-5, 2.1e-5, -1.2e-5, 6.3e-4, 1.5e-7, -2.0e-7, 3.0e-7,
        -1.0e-7, -5.0e-7, 2.3e-9]
AMDY = [67.14, -0.0061, 31.2, 1.1e-5, -2.7e-5, 1.6e-5, 5.9e-4, -1.3e-7, 2.4e-7, -3.5e-7,
        1.2e-7, -4.6e-7, 2.1e-9]


def dss_cards():
    cards = dict(NAXIS=2, NAXIS1=1000, NAXIS2=1000, CTYPE1="RA---TAN", CTYPE2="DEC--TAN",
                 CRPIX1=500.0, CRPIX2=500.0, PLTRAH=13, PLTRAM=29, PLTRAS=52.7, PLTDECSN="+",
                 PLTDECD=47, PLTDECM=11, PLTDECS=43.0, PPO3=127000.0, PPO6=127000.0,
                 XPIXELSZ=25.28, YPIXELSZ=25.28, CNPIX1=3000.0, CNPIX2=7200.0)
    for n, (a, b) in enumerate(zip(AMDX, AMDY), start=1):
        cards[f"AMDX{n}"] = a
        cards[f"AMDY{n}"] = b
    return cards


def dss_world(cards, pixel):
    """The plate model, term by term, at a 0-based pixel."""
    x = (cards["PPO3"] - (pixel[0] + 1 + cards["CNPIX1"] - 0.5) * cards["XPIXELSZ"]) / 1000
    y = ((pixel[1] + 1 + cards["CNPIX2"] - 0.5) * cards["YPIXELSZ"] - cards["PPO6"]) / 1000
    r2 = x * x + y * y
    a, b = AMDX, AMDY
    xi = (a[0] * x + a[1] * y + a[2] + a[3] * x * x + a[4] * x * y + a[5] * y * y + a[6] * r2
          + a[7] * x ** 3 + a[8] * x * x * y + a[9] * x * y * y + a[10] * y ** 3
          + a[11] * x * r2 + a[12] * x * r2 * r2)
    eta = (b[0] * y + b[1] * x + b[2] + b[3] * y * y + b[4] * x * y + b[5] * x * x + b[6] * r2
           + b[7] * y ** 3 + b[8] * x * y * y + b[9] * x * x * y + b[10] * x ** 3
           + b[11] * y * r2 + b[12] * y * r2 * r2)
    arcsec = 180 * 3600 / math.pi
    ra0 = (cards["PLTRAH"] + cards["PLTRAM"] / 60 + cards["PLTRAS"] / 3600) * 15
    dec0 = cards["PLTDECD"] + cards["PLTDECM"] / 60 + cards["PLTDECS"] / 3600
    return gnomonic_to_sky(xi / arcsec, eta / arcsec, ra0, dec0)


def test_a_thirteen_term_dss_plate_gives_the_world_values_of_its_definition():
    cards = dss_cards()
    w = wcs_of(cards)
    pixels = np.array([[0.0, 0.0], [999.0, 999.0], [499.5, 10.0], [20.0, 800.0]])
    expected = np.array([dss_world(cards, p) for p in pixels])
    # The outer terms matter here: the plate position is some 50 mm off its centre.
    assert separation_deg(w.pixel_to_world(pixels), expected).max() < 1e-10
    np.testing.assert_allclose(w.world_to_pixel(expected), pixels, atol=1e-7)
    assert_written_header_reads_back(w, pixels, astropy=False)


# --- Plate solutions with NAXIS = 0 --------------------------------------------------------------

def plate_solution(**extra):
    cards = dict(NAXIS=0, WCSAXES=2, CTYPE1="RA---TAN-SIP", CTYPE2="DEC--TAN-SIP",
                 CRPIX1=1024.5, CRPIX2=1000.0, CRVAL1=202.48, CRVAL2=47.2,
                 CD1_1=-7.3e-5, CD1_2=1.1e-6, CD2_1=1.3e-6, CD2_2=7.4e-5,
                 A_ORDER=2, B_ORDER=2, A_2_0=1.2e-6, A_0_2=-3.1e-7, B_1_1=2.2e-6)
    cards.update(extra)
    return cards


# (cards, whether the header carries a description)
NAXIS_ZERO = {
    "WCSAXES 2": (plate_solution(), True),
    "WCSDIM 2": ({("WCSDIM" if k == "WCSAXES" else k): v for k, v in plate_solution().items()},
                 True),
    "no WCSAXES": ({k: v for k, v in plate_solution().items() if k != "WCSAXES"}, False),
    "WCSAXES 0": (plate_solution(WCSAXES=0), False),
    "WCSAXES 2.0, a real": (plate_solution(WCSAXES=2.0), False),
}


@pytest.mark.parametrize("name", NAXIS_ZERO)
def test_a_plate_solution_without_image_axes_keeps_its_description(name, tmp_path):
    cards, described = NAXIS_ZERO[name]
    header = vexlo.Header.fromstring(text_of(cards))
    path = tmp_path / "solution.fits"
    path.write_bytes(header_bytes([card("SIMPLE", True), card("BITPIX", 8)] +
                                  [card(k, v) for k, v in cards.items()]))
    with vexlo.open(str(path)) as f:
        from_file = f.wcs(0)
    if not described:
        assert from_file is None
        with pytest.raises(ValueError, match="carries no WCS"):
            vexlo.Wcs(header)
        return
    w = vexlo.Wcs(header)
    assert w.naxis == 2 and from_file.naxis == 2
    # The solution describes no image: there is no shape whose corners could be walked.
    assert w.pixel_shape is None
    with pytest.raises(vexlo.FitsError, match="carries no image shape"):
        w.footprint()
    np.testing.assert_allclose(w.pixel_to_world([1023.5, 999.0]), [202.48, 47.2], atol=1e-12)
    np.testing.assert_array_equal(from_file.pixel_to_world(PIXELS), w.pixel_to_world(PIXELS))
    assert_astropy_agrees(text_of(cards))
    assert_written_header_reads_back(w)


# --- Informal CUNIT texts ------------------------------------------------------------------------

def helio(unit):
    return dict(NAXIS=2, NAXIS1=100, NAXIS2=100, CTYPE1="HGLN-CAR", CTYPE2="HGLT-CAR",
                CUNIT1=unit, CUNIT2=unit, CRPIX1=50.5, CRPIX2=50.5, CRVAL1=10.0, CRVAL2=5.0,
                CDELT1=0.5, CDELT2=0.5)


@pytest.mark.parametrize("unit", ["degree", "degrees", "Degree", "deg"])
def test_a_heliographic_map_in_degrees_keeps_its_description(unit):
    w = wcs_of(helio(unit))
    np.testing.assert_allclose(w.pixel_to_world([49.5, 49.5]), [10.0, 5.0], atol=1e-12)
    np.testing.assert_allclose(w.pixel_to_world(PIXELS), wcs_of(helio("deg")).pixel_to_world(PIXELS),
                               rtol=0, atol=1e-12)
    assert_written_header_reads_back(w)
    assert w.to_header().get("CUNIT1") == "deg"


def spectrum(unit, ctype="WAVE"):
    return dict(NAXIS=1, NAXIS1=100, CTYPE1=ctype, CUNIT1=unit, CRPIX1=1.0, CRVAL1=5000.0,
                CDELT1=2.0)


# (informal text, canonical text, CTYPE)
SPECTRAL_UNITS = [("Angstroms", "Angstrom", "WAVE"), ("angstrom", "Angstrom", "WAVE"),
                  ("microns", "um", "WAVE"), ("GHZ", "GHz", "FREQ"), ("km/sec", "km/s", "VRAD")]


@pytest.mark.parametrize("informal, canonical, ctype", SPECTRAL_UNITS)
def test_informal_spectral_units_are_understood(informal, canonical, ctype):
    pixels = np.array([[0.0], [10.0], [99.0]])
    w = wcs_of(spectrum(informal, ctype))
    ours = w.pixel_to_world(pixels)
    np.testing.assert_array_equal(ours, wcs_of(spectrum(canonical, ctype)).pixel_to_world(pixels))
    # Written back in a spelling every reader understands.
    text = w.to_header().tostring()
    np.testing.assert_array_equal(vexlo.Wcs(vexlo.Header.fromstring(text)).pixel_to_world(pixels),
                                  ours)
    peer = astropy_wcs_of(text)
    reference = astropy_wcs_of(text_of(spectrum(canonical, ctype)))
    np.testing.assert_allclose(peer.all_pix2world(pixels, 0), reference.all_pix2world(pixels, 0),
                               rtol=1e-12)


@pytest.mark.parametrize("cards", [helio("furlong"), spectrum("furlong")])
def test_a_unit_the_lenient_parse_cannot_read_still_fails_with_its_message(cards):
    with pytest.raises(vexlo.FitsError, match="unrecognized unit `furlong`"):
        wcs_of(cards)


# --- Negative zeros ------------------------------------------------------------------------------

def test_matrix_entries_of_a_negative_cdelt_and_a_zero_pc_show_as_plain_zeros():
    cards = car(CDELT1=-0.5, CDELT2=-0.5, PC1_1=1.0, PC1_2=0.0, PC2_1=0.0, PC2_2=1.0,
                CRVAL1=-0.0)
    w = wcs_of(cards)
    text = w.to_header().tostring()
    negative_zero = re.compile(r"-0(\.0*)?(E0*)?(\s|$)")
    assert "-0.0" not in text and not negative_zero.search(text)
    assert not negative_zero.search(repr(w))
    assert_written_header_reads_back(w)


# --- -TAB index vectors checked once, when the table is resolved ---------------------------------

def tab_file(tmp_path, index):
    head = [card("SIMPLE", True), card("BITPIX", 8), card("NAXIS", 2), card("NAXIS1", 4),
            card("NAXIS2", 2), card("EXTEND", True)]
    wcs = dict(CTYPE1="WAVE-TAB", CTYPE2="LINEAR", CRPIX1=1.0, CRVAL1=150.0, CDELT1=10.0,
               PS1_0="WCS-TAB", PS1_1="COORDS", PS1_2="INDEX")
    head += [card(k, v) for k, v in wcs.items()]
    coords = (9.0, 7.0, 4.0, 0.0)
    cols = [Col("COORDS", "4D", np.array([coords], ">f8")),
            Col("INDEX", "4D", np.array([index], ">f8"))]
    path = tmp_path / "tab.fits"
    path.write_bytes(header_bytes(head) + padded(bytes(8)) +
                     bintable_hdu(cols, 1, extname="WCS-TAB"))
    return path


@pytest.mark.parametrize("index", [(100.0, 180.0, 120.0, 200.0), (100.0, float("nan"), 180.0,
                                                                     200.0)])
def test_a_non_monotonic_index_vector_is_refused_when_the_table_is_resolved(tmp_path, index):
    with vexlo.open(str(tab_file(tmp_path, index))) as f:
        for get in (f.wcs, f[0].wcs):
            with pytest.raises(vexlo.FitsError) as e:
                get()
            assert str(e.value) == (
                "wcs: -TAB axis 1: index vector `INDEX` is not monotonic")


def test_a_monotonic_index_vector_reads_the_same_in_both_directions(tmp_path):
    with vexlo.open(str(tab_file(tmp_path, (200.0, 180.0, 180.0, 100.0)))) as f:
        w = f.wcs()
        world = w.pixel_to_world([0.0, 0.0])
        assert w.world_to_pixel(world)[0] == pytest.approx(0.0)


# --- Projection parameters -----------------------------------------------------------------------

# Conics whose cone half-angle is not 45 degrees, where every term in theta_a counts.
CONICS = {
    f"{code}, theta_a {a}, eta {eta}": car(CTYPE1=f"RA---{code}", CTYPE2=f"DEC--{code}",
                                          CRVAL2=a, PV2_1=a, PV2_2=eta)
    for code in ("COP", "COE", "COD", "COO")
    for a, eta in ((30.0, 10.0), (-60.0, 5.0), (70.0, 0.0))
}


@pytest.mark.parametrize("name", CONICS)
def test_conics_away_from_45_degrees_agree_with_astropy(name):
    assert_astropy_agrees(text_of(CONICS[name]), tolerance=1e-9)


@pytest.mark.parametrize(
    "cards",
    [
        car(CTYPE1="RA---AIR", CTYPE2="DEC--AIR", PV2_1=float("nan")),
        car(CTYPE1="RA---AZP", CTYPE2="DEC--AZP", PV2_1=float("inf")),
        car(CTYPE1="RA---COP", CTYPE2="DEC--COP", PV2_1=30.0, PV2_2=float("nan")),
        car(CTYPE1="RA---ZPN", CTYPE2="DEC--ZPN", PV2_1=1.0, PV2_3=float("-inf")),
    ],
    ids=["AIR theta_b", "AZP mu", "COP eta", "ZPN coefficient"],
)
def test_a_projection_parameter_that_is_not_finite_is_refused(cards):
    with pytest.raises(vexlo.FitsError, match="is not finite|outside"):
        wcs_of(cards)


# --- Pixels off the map ------------------------------------------------------------------------

OFF_MAP_CODES = ["ARC", "CYP", "CEA", "CAR", "MER", "SFL", "PAR", "MOL", "AIT", "COP", "COE",
                 "COD", "COO", "BON", "PCO", "HPX"]


def off_map_cards(code):
    extra = {"CYP": dict(PV2_1=1.0, PV2_2=0.7), "CEA": dict(PV2_1=0.8)}.get(code, {})
    if code in ("COP", "COE", "COD", "COO", "BON"):
        extra = dict(PV2_1=35.0, PV2_2=5.0) if code != "BON" else dict(PV2_1=35.0)
    return car(CTYPE1=f"RA---{code}", CTYPE2=f"DEC--{code}", CRPIX1=500.0, CRPIX2=500.0,
               CDELT1=-0.1, CDELT2=0.1, CRVAL1=30.0, CRVAL2=10.0, **extra)


FAR_PIXELS = np.array([[x, y] for x in np.linspace(-3500, 4500, 33)
                       for y in np.linspace(-3500, 4500, 33)])


def test_a_pixel_off_the_cylinder_has_no_sky_position():
    # 1800 pixels of 0.1 degrees east of the reference is 180 degrees of native longitude,
    # past the edge of the map, not (179.9, 0.1) on its other side.
    w = wcs_of(off_map_cards("CAR"))
    assert np.isnan(w.pixel_to_world([[2300.0, 500.0]])).all()
    with pytest.raises(vexlo.FitsError, match="outside"):
        w.pixel_to_world([2300.0, 500.0])
    assert np.isfinite(w.pixel_to_world([[2200.0, 500.0]])).all()


@pytest.mark.parametrize("code", OFF_MAP_CODES)
def test_pixels_off_the_map_are_nan_and_the_rest_round_trip(code):
    cards = off_map_cards(code)
    w = wcs_of(cards)
    world = w.pixel_to_world(FAR_PIXELS)
    off = np.isnan(world[:, 0])
    assert off.any() and not off.all()
    # Every answer is a true one: it maps back to its own pixel, or, on a seam where two
    # edges of the map meet (HPX), to a pixel with the same sky position.
    back = w.world_to_pixel(world[~off])
    same_pixel = np.abs(back - FAR_PIXELS[~off]).max(axis=1) < 1e-3
    assert same_pixel.mean() > 0.95
    assert separation_deg(w.pixel_to_world(back), world[~off]).max() < 1e-9
    # A single point off the map is an error, not a position.
    with pytest.raises(vexlo.FitsError):
        w.pixel_to_world(FAR_PIXELS[np.flatnonzero(off)[0]])
    # Wherever astropy finds no position, neither do we.
    peer = astropy_wcs_of(text_of(cards))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        theirs = peer.all_pix2world(FAR_PIXELS, 0)
    assert not (np.isnan(theirs[:, 0]) & ~off).any()


def test_mercator_answers_every_pixel_of_its_map():
    # y from 1330 to 3000 degrees lies within 1e-9 degrees of the pole, where the forward's
    # own rounding moves a plane point far more than a round trip could allow.
    cards = dict(NAXIS=2, NAXIS1=100, NAXIS2=100, CTYPE1="RA---MER", CTYPE2="DEC--MER",
                 CRPIX1=1.0, CRPIX2=1.0, CRVAL1=0.0, CRVAL2=0.0, CDELT1=1.0, CDELT2=1.0)
    y = np.concatenate([np.linspace(1330.0, 3000.0, 201), -np.linspace(1330.0, 3000.0, 201)])
    pixels = np.stack([np.zeros_like(y), y], axis=1)
    w = wcs_of(cards)
    world = w.pixel_to_world(pixels)
    assert np.isfinite(world).all()
    assert_astropy_agrees(text_of(cards), pixels)
    assert np.isfinite(w.pixel_to_world([0.0, 1400.0])).all()
    # Its longitude range is still its edge.
    assert np.isnan(w.pixel_to_world([[181.0, 1400.0], [-181.0, 0.0]])).all()


# Native points next to the poles and the seam of the map, as astropy's own projection places
# them on the plane: each is a point of the map, however its inverse rounds.
EDGE_CODES = ["ARC", "CYP", "CEA", "CAR", "MER", "SFL", "PAR", "MOL", "COP", "COE", "COD",
              "COO", "BON", "HPX"]


def edge_plane_points(cards):
    peer = astropy_wcs_of(text_of(cards))
    peer.wcs.set()
    near = 10.0 ** -np.arange(1, 11)
    lat = np.concatenate([90.0 - near, near - 90.0, [-60.0, 0.0, 45.0]])
    lon = np.array([-180.0 + 1e-6, -179.0, -90.0, 0.0, 30.0, 179.0, 180.0 - 1e-6])
    phi, theta = (a.ravel() for a in np.meshgrid(lon, lat))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        x, y = peer.wcs.cel.prj.prjs2x(phi, theta)[:2]
    x, y = np.asarray(x), np.asarray(y)
    keep = np.isfinite(x) & np.isfinite(y)
    pixels = np.stack([x[keep] / cards["CDELT1"] + cards["CRPIX1"] - 1,
                       y[keep] / cards["CDELT2"] + cards["CRPIX2"] - 1], axis=1)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return pixels, peer.all_pix2world(pixels, 0)


@pytest.mark.parametrize("code", EDGE_CODES)
@pytest.mark.parametrize("south", [False, True], ids=["north", "south"])
def test_points_next_to_the_poles_and_seam_of_the_map_have_their_sky_position(code, south):
    cards = off_map_cards(code)
    if south and code in ("COP", "COE", "COD", "COO", "BON"):
        cards["PV2_1"] = -cards["PV2_1"]
        cards["CRVAL2"] = -cards["CRVAL2"]
    pixels, theirs = edge_plane_points(cards)
    ours = wcs_of(cards).pixel_to_world(pixels)
    answered = np.isfinite(theirs[:, 0])
    assert answered.sum() > 50
    assert np.isfinite(ours[answered]).all(), pixels[answered & np.isnan(ours[:, 0])]
    # Next to a pole a latitude from an arcsine (COE) or a slowly converging iteration (MOL)
    # keeps only part of its digits, in both readers; a wrong point would be degrees off.
    assert separation_deg(ours[answered], theirs[answered]).max() < 1e-4


# --- ZPN past the fold of its polynomial ------------------------------------------------------

# PV2_m of ZPN: sets whose R(zeta) turns over before the south pole, and sets whose does not.
ZPN_SETS = {
    "cubic fold at 104.6 deg": {1: 1.0, 3: -0.1},
    "quadratic fold": {1: 1.0, 2: -0.3},
    "offset with a fold": {0: 0.05, 1: 0.9, 2: 0.1, 3: -0.2},
    "quintic fold": {1: 1.0, 5: -0.01},
    "early fold, at 14.3 deg": {1: 1.0, 2: -2.0},
    "rising cubic": {1: 1.0, 3: 0.1},
    "shallow cubic, no fold": {1: 1.0, 3: -0.01},
    "linear": {1: 1.0},
}


@pytest.mark.parametrize("name", ZPN_SETS)
def test_zpn_refuses_sky_points_past_its_fold_as_astropy_does(name):
    cards = car(CTYPE1="RA---ZPN", CTYPE2="DEC--ZPN", CRPIX1=50.0, CRPIX2=50.0, CRVAL1=0.0,
                CRVAL2=90.0, CDELT1=-1.0, CDELT2=1.0)
    cards.update({f"PV2_{m}": v for m, v in ZPN_SETS[name].items()})
    rng = np.random.default_rng(9)
    world = np.stack([rng.uniform(0, 360, 2000),
                      np.degrees(np.arcsin(rng.uniform(-1, 1, 2000)))], axis=1)
    w = wcs_of(cards)
    ours = w.world_to_pixel(world)
    peer = astropy_wcs_of(text_of(cards))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        theirs = peer.all_world2pix(world, 0)
    np.testing.assert_array_equal(np.isnan(ours[:, 0]), np.isnan(theirs[:, 0]))
    kept = ~np.isnan(ours[:, 0])
    assert kept.any()
    assert np.abs(ours[kept] - theirs[kept]).max() < 1e-8
    # Every pixel given is the pixel of that sky point, not of another one.
    assert separation_deg(w.pixel_to_world(ours[kept]), world[kept]).max() < 1e-8


def test_zpn_past_its_fold_is_a_domain_error():
    cards = car(CTYPE1="RA---ZPN", CTYPE2="DEC--ZPN", CRPIX1=50.0, CRPIX2=50.0, CRVAL1=0.0,
                CRVAL2=90.0, CDELT1=-1.0, CDELT2=1.0, PV2_1=1.0, PV2_3=-0.1)
    with pytest.raises(vexlo.FitsError, match=r"^wcs: ZPN: theta = -29\.9+\d* lies past the fold "
                                              r"at -14\.607303 deg, where R turns over and "
                                              r"stops being invertible$"):
        wcs_of(cards).world_to_pixel([0.0, -30.0])


# --- HEALPix facets -------------------------------------------------------------------------


@pytest.mark.parametrize("h", [4, 5, 6])
@pytest.mark.parametrize("k", [2, 3, 4, 5, 6])
def test_healpix_facets_agree_with_astropy_in_both_polar_zones(h, k):
    # With an even K the southern polar facets are offset by half a facet in longitude.
    cards = car(CTYPE1="RA---HPX", CTYPE2="DEC--HPX", CRPIX1=1.0, CRPIX2=1.0, CRVAL1=0.0,
                CRVAL2=0.0, CDELT1=1.0, CDELT2=1.0, PV2_1=float(h), PV2_2=float(k))
    w = wcs_of(cards)
    peer = astropy_wcs_of(text_of(cards))
    rng = np.random.default_rng(10 * h + k)
    pixels = rng.uniform(-200, 200, (3000, 2))
    ours = w.pixel_to_world(pixels)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        theirs = peer.all_pix2world(pixels, 0)
    np.testing.assert_array_equal(np.isnan(ours[:, 0]), np.isnan(theirs[:, 0]))
    both = ~np.isnan(ours[:, 0])
    # Both polar zones and the equatorial one are reached.
    polar = 90.0 * (k - 1) / h
    for zone in (ours[both, 1] < -45, ours[both, 1] > 45, np.abs(ours[both, 1]) < 10):
        assert zone.sum() > 50
    assert (np.abs(pixels[both, 1] + 1) > polar).sum() > 100
    assert separation_deg(ours[both], theirs[both]).max() < 1e-9
    world = np.stack([rng.uniform(0, 360, 2000),
                      np.degrees(np.arcsin(rng.uniform(-1, 1, 2000)))], axis=1)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        expected = peer.all_world2pix(world, 0)
    np.testing.assert_allclose(w.world_to_pixel(world), expected, rtol=0, atol=1e-9)

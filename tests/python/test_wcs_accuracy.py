"""Sky positions where precision is easily lost: reference points a hair from a celestial pole,
the far branch of a perspective projection, the fold of a polynomial projection, a legacy
rotation between axes in different units. Each answer is checked against astropy.wcs, and near
the poles also against the rotation redone in long double or to 50 digits."""

import functools
import warnings

import numpy as np
import pytest

import vexlo
from fits_bytes import card
from wcs_peers import astropy_wcs_of, separation_deg


def text_of(cards):
    return "".join(card(k, v) for k, v in cards.items())


def world_of(cards, pixels):
    return vexlo.Wcs(vexlo.Header.fromstring(text_of(cards))).pixel_to_world(pixels)


def astropy_world(cards, pixels):
    peer = astropy_wcs_of(text_of(cards))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return peer.all_pix2world(pixels, 0)


# --- reference points near a celestial pole ------------------------------------------------------

# Projections whose fiducial point is off the native pole, with their native latitude theta0.
OFF_POLE = {"CAR": 0.0, "CEA": 0.0, "MER": 0.0, "SFL": 0.0, "PAR": 0.0, "MOL": 0.0, "AIT": 0.0,
            "CYP": 0.0, "BON": 0.0, "PCO": 0.0, "HPX": 0.0, "TSC": 0.0, "QSC": 0.0, "COE": 45.0,
            "COP": 45.0}
NEAR_POLE_PIXELS = np.random.default_rng(7).uniform(0, 40, (60, 2))


def near_pole(code, crval2):
    cards = dict(NAXIS=2, NAXIS1=40, NAXIS2=40, CTYPE1="RA---" + code, CTYPE2="DEC--" + code,
                 CRPIX1=1.0, CRPIX2=1.0, CDELT1=-1.0, CDELT2=1.0, CRVAL1=30.0, CRVAL2=crval2)
    if code in ("COE", "COP", "BON"):
        cards["PV2_1"] = 45.0
    if code == "COO":
        cards["PV2_1"] = -30.5
    return cards


def turned_along_meridian(world, lon0, angle):
    """The sky points `world` (degrees) turned by `angle` degrees about the axis perpendicular to
    the meridian lon0, in long double: the motion that slides a reference point along its
    meridian and keeps the sky around it as it is."""
    d2r = np.arccos(np.longdouble(-1)) / 180
    lon = (world[:, 0].astype(np.longdouble) - np.longdouble(lon0)) * d2r
    lat = world[:, 1].astype(np.longdouble) * d2r
    x, y, z = np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)
    t = np.longdouble(angle) * d2r
    x, z = x * np.cos(t) - z * np.sin(t), x * np.sin(t) + z * np.cos(t)
    out = np.empty_like(world)
    out[:, 0] = ((np.arctan2(y, x) / d2r + np.longdouble(lon0)) % 360).astype(float)
    out[:, 1] = (np.arctan2(z, np.hypot(x, y)) / d2r).astype(float)
    return out


@pytest.mark.parametrize("code", list(OFF_POLE))
@pytest.mark.parametrize("pole", [1.0, -1.0])
@pytest.mark.parametrize("offset", [1e-6, 1e-7, 1e-8, 1e-9, 1e-10, 1e-11, 1e-12])
def test_reference_point_near_a_pole_agrees_with_the_rotation_in_long_double(code, pole, offset):
    # With the default native pole, moving the reference point along its meridian turns the
    # whole sky about the axis perpendicular to that meridian, as long as it stays on the same
    # side of the fiducial latitude. A reference latitude 30 degrees from the pole and the
    # fiducial latitude is computed without loss; the near-pole one must match it turned.
    crval2 = pole * (90.0 - offset)
    base = OFF_POLE[code] + 15.0 if pole > 0 else OFF_POLE[code] - 30.0
    ours = world_of(near_pole(code, crval2), NEAR_POLE_PIXELS)
    reference = turned_along_meridian(world_of(near_pole(code, base), NEAR_POLE_PIXELS), 30.0,
                                      crval2 - base)
    both = ~np.isnan(ours[:, 0]) & ~np.isnan(reference[:, 0])
    assert both.sum() > 30
    assert separation_deg(ours[both], reference[both]).max() < 1e-9


# Closer to a pole than 1e-12 degree long double no longer holds the distance, and the south
# pole, where pi minus a tiny angle rounds to pi, is the hard side. The rotation is redone to 50
# digits: native coordinates from the sky of a reference point well away from the pole, turned
# back exactly, then turned by the exact rotation of the reference point a hair from it.
HAIR_OFFSETS = [1e-12, 1e-13, 4e-14, 3e-14, 1e-14, 1e-15, 1e-16]
# A conic whose fiducial latitude is south of the equator as well.
HAIR_CODES = dict(OFF_POLE, COO=-30.5)
HAIR_PIXELS = NEAR_POLE_PIXELS[:20]


def fifty_digits():
    """An mpmath context working to 50 digits (the test is skipped without mpmath)."""
    mp = pytest.importorskip("mpmath").MPContext()
    mp.dps = 50
    return mp


def exact_rotation(mp, crval2, latpole, theta0):
    """(phi_p, delta_p, alpha_p) in radians for the reference point (30, crval2) at native
    (0, theta0) with the default LONPOLE: of the two native poles the one nearest LATPOLE (90
    when not given), the root w - a on an exact tie; and the latitude of the other root."""
    d2r = mp.pi / 180
    delta0, t0 = mp.mpf(crval2) * d2r, mp.mpf(theta0) * d2r
    phi_p = mp.mpf(0) if crval2 >= theta0 else mp.pi
    w = mp.atan2(mp.sin(t0), mp.cos(t0) * mp.cos(phi_p))
    a = mp.acos(mp.sin(delta0))

    def wrap(r):
        return r - 2 * mp.pi if r > mp.pi else (r + 2 * mp.pi if r <= -mp.pi else r)

    plus, minus = wrap(w + a), wrap(w - a)
    bound = mp.pi / 2 + mp.mpf("1e-12")
    target = mp.mpf(latpole) * d2r if latpole is not None else mp.pi / 2
    if abs(plus) <= bound and abs(minus) <= bound:
        nearer_plus = abs(plus - target) < abs(minus - target) - mp.mpf("1e-40")
        delta_p, other = (plus, minus) if nearer_plus else (minus, plus)
    else:
        delta_p, other = (plus, minus) if abs(plus) <= bound else (minus, plus)
    if abs(crval2) == 90.0:
        # At the pole itself the native pole's longitude is CRVAL1, the orientation it gives.
        return (phi_p, delta_p, 30 * d2r), other
    x = mp.sin(t0) * mp.cos(delta_p) - mp.cos(t0) * mp.sin(delta_p) * mp.cos(phi_p)
    y = mp.cos(t0) * mp.sin(phi_p)
    return (phi_p, delta_p, 30 * d2r - mp.atan2(y, x)), other


def exact_turn(mp, lon, lat, pole_lon, pole_lat, origin):
    """(lon, lat) in degrees seen from the frame whose pole lies at (pole_lon, pole_lat) and
    whose longitudes start at `origin` (radians): with the native pole (alpha_p, delta_p) and
    phi_p it turns celestial coordinates into native ones, with (phi_p, delta_p) and alpha_p
    native into celestial."""
    d2r = mp.pi / 180
    d, t = mp.mpf(lon) * d2r - pole_lon, mp.mpf(lat) * d2r
    y = -mp.cos(t) * mp.sin(d)
    x = mp.sin(t) * mp.cos(pole_lat) - mp.cos(t) * mp.sin(pole_lat) * mp.cos(d)
    s = mp.sin(t) * mp.sin(pole_lat) + mp.cos(t) * mp.cos(pole_lat) * mp.cos(d)
    return (origin + mp.atan2(y, x)) / d2r, mp.asin(s) / d2r


@functools.lru_cache(maxsize=None)
def native_of_hair_pixels(code, pole):
    """Native coordinates in degrees of HAIR_PIXELS (None where the projection has no point),
    from the sky of a reference point 15 or 30 degrees from the fiducial latitude."""
    mp = fifty_digits()
    theta0 = HAIR_CODES[code]
    base = theta0 + 15.0 if pole > 0 else theta0 - 30.0
    (phi_p, delta_p, alpha_p), _ = exact_rotation(mp, base, None, theta0)
    sky = world_of(near_pole(code, base), HAIR_PIXELS)
    return tuple(None if np.isnan(lon) else exact_turn(mp, lon, lat, alpha_p, delta_p, phi_p)
                 for lon, lat in sky)


@pytest.mark.parametrize("code", list(HAIR_CODES))
@pytest.mark.parametrize("pole", [1.0, -1.0])
@pytest.mark.parametrize("offset", HAIR_OFFSETS)
@pytest.mark.parametrize("latpole", [None, 90.0, 0.0, -90.0])
def test_reference_point_a_hair_from_a_pole_agrees_with_the_rotation_to_50_digits(
        code, pole, offset, latpole):
    mp = fifty_digits()
    crval2 = pole * (90.0 - offset)
    theta0 = HAIR_CODES[code]
    (phi_p, delta_p, alpha_p), other = exact_rotation(mp, crval2, latpole, theta0)
    reference = np.array([[np.nan, np.nan] if n is None else
                          [float(v) for v in exact_turn(mp, n[0], n[1], phi_p, delta_p, alpha_p)]
                          for n in native_of_hair_pixels(code, pole)])
    reference[:, 0] %= 360.0
    cards = near_pole(code, crval2)
    if latpole is not None:
        cards["LATPOLE"] = latpole
    wcs = vexlo.Wcs(vexlo.Header.fromstring(text_of(cards)))
    ours = wcs.pixel_to_world(HAIR_PIXELS)
    assert np.array_equal(np.isnan(ours[:, 0]), np.isnan(reference[:, 0]))
    both = ~np.isnan(ours[:, 0])
    assert both.sum() >= 10
    assert separation_deg(ours[both], reference[both]).max() < 1e-9
    # The header written records this native pole, nearer to it than to the other one (at the
    # pole itself the two coincide), and read back picks it again.
    written = wcs.to_header()
    latpole_written = mp.mpf(written["LATPOLE"]) * mp.pi / 180
    if abs(crval2) < 90.0:
        assert abs(latpole_written - delta_p) < abs(latpole_written - other)
    again = vexlo.Wcs(written).pixel_to_world(HAIR_PIXELS)
    assert separation_deg(again[both], reference[both]).max() < 1e-9


def test_car_a_hair_from_the_south_pole_keeps_its_orientation():
    # Native pole b = 2.5e-16 rad south of the equator: the sky below the reference pixel lies
    # on the meridian 180, not on 0.
    cards = dict(NAXIS=2, NAXIS1=100, NAXIS2=200, CTYPE1="RA---CAR", CTYPE2="DEC--CAR",
                 CRPIX1=50.5, CRPIX2=60.5, CD1_1=-1e-3, CD2_2=1e-3, CRVAL1=0.0,
                 CRVAL2=-89.99999999999999, LATPOLE=-90.0)
    wcs = vexlo.Wcs(vexlo.Header.fromstring(text_of(cards)))
    sky = wcs.pixel_to_world(np.array([[49.5, 159.5]]))
    assert separation_deg(sky, np.array([[180.0, -89.9]]))[0] < 1e-9
    assert wcs.to_header()["LATPOLE"] == pytest.approx(-1.4210854715202004e-14, rel=1e-9)


def test_reference_point_near_the_north_pole_reproduces_the_known_position():
    world = world_of(near_pole("CAR", 89.9999999), np.array([[10.0, 5.0]]))
    np.testing.assert_allclose(world[0], [273.2598, 78.8310], atol=5e-5)


@pytest.mark.parametrize("code", ["CAR", "AIT", "COE", "HPX"])
@pytest.mark.parametrize("pole", [1.0, -1.0])
@pytest.mark.parametrize("offset", [1e-6, 1e-9, 1e-12])
def test_description_near_a_pole_survives_its_written_header(code, pole, offset):
    # The header records the native pole's latitude as LATPOLE; read back, it must pick the
    # same one of two roots that may lie only a hair apart.
    wcs = vexlo.Wcs(vexlo.Header.fromstring(text_of(near_pole(code, pole * (90.0 - offset)))))
    again = vexlo.Wcs(wcs.to_header())
    ours = wcs.pixel_to_world(NEAR_POLE_PIXELS)
    back = again.pixel_to_world(NEAR_POLE_PIXELS)
    assert np.array_equal(np.isnan(ours[:, 0]), np.isnan(back[:, 0]))
    both = ~np.isnan(ours[:, 0])
    assert separation_deg(ours[both], back[both]).max() < 1e-9


# astropy treats a reference point within about 1e-9 degree of a pole as the pole itself: in
# the north its image then turns by 180 degrees at that threshold rather than at the pole, in
# the south it is off by about the distance to the pole. Between 1e-6 and 1e-8 from the south
# pole it loses digits as the naive formula does. Elsewhere it is exact.
ASTROPY_EXACT = [(1.0, 1e-6), (1.0, 1e-7), (1.0, 1e-8), (-1.0, 1e-10), (-1.0, 1e-11),
                 (-1.0, 1e-12)]


@pytest.mark.parametrize("code", ["CAR", "CEA", "SFL", "AIT", "COE", "HPX", "TSC", "QSC"])
@pytest.mark.parametrize("pole,offset", ASTROPY_EXACT)
def test_reference_point_near_a_pole_agrees_with_astropy(code, pole, offset):
    cards = near_pole(code, pole * (90.0 - offset))
    ours = world_of(cards, NEAR_POLE_PIXELS)
    theirs = astropy_world(cards, NEAR_POLE_PIXELS)
    assert np.array_equal(np.isnan(ours[:, 0]), np.isnan(theirs[:, 0]))
    both = ~np.isnan(ours[:, 0])
    assert separation_deg(ours[both], theirs[both]).max() < 1e-9


@pytest.mark.parametrize("code,theta_a,crval2,lonpole", [
    ("COE", 45.0, 45.0 + 1e-7, 30.0),
    ("COE", 45.0, 45.0 + 1e-9, 30.0),
    ("COO", -30.0, -30.0 + 3e-7, 200.0),
    ("COD", 60.0, 60.0 - 1e-8, -75.0),
])
def test_native_pole_a_hair_from_the_celestial_pole_keeps_the_reference_point(
        code, theta_a, crval2, lonpole):
    # The reference pixel maps to CRVAL exactly, whatever LONPOLE says; a native pole near the
    # celestial one (CRVAL2 near theta_a) needs its longitude to the last digit for that.
    cards = dict(NAXIS=2, NAXIS1=40, NAXIS2=40, CTYPE1="RA---" + code, CTYPE2="DEC--" + code,
                 CRPIX1=20.0, CRPIX2=20.0, CDELT1=-1.0, CDELT2=1.0, CRVAL1=30.0, CRVAL2=crval2,
                 PV2_1=theta_a, LONPOLE=lonpole)
    reference = world_of(cards, np.array([[19.0, 19.0]]))
    assert separation_deg(reference, np.array([[30.0, crval2]]))[0] < 1e-11


# --- the legacy rotation between axes in different units -----------------------------------------

UNIT_SCALES = {"deg": 1.0, "arcmin": 1 / 60.0, "arcsec": 1 / 3600.0, "rad": 57.29577951308232}


@pytest.mark.parametrize("lon_unit,lat_unit", [("arcmin", "deg"), ("deg", "arcsec"),
                                               ("arcsec", "arcmin"), ("rad", "deg"),
                                               ("arcmin", "arcmin")])
@pytest.mark.parametrize("crota", [30.0, -120.0, 7.5])
def test_rotation_between_axes_in_different_units_agrees_with_degrees(lon_unit, lat_unit, crota):
    # One description written twice: in the given units and in degrees.
    in_degrees = dict(NAXIS=2, NAXIS1=100, NAXIS2=100, CTYPE1="RA---TAN", CTYPE2="DEC--TAN",
                      CRPIX1=50.0, CRPIX2=50.0, CDELT1=-0.1, CDELT2=0.1, CRVAL1=10.0, CRVAL2=20.0,
                      CROTA2=crota)
    lon, lat = UNIT_SCALES[lon_unit], UNIT_SCALES[lat_unit]
    in_units = dict(in_degrees, CUNIT1=lon_unit, CUNIT2=lat_unit, CDELT1=-0.1 / lon,
                    CDELT2=0.1 / lat, CRVAL1=10.0 / lon, CRVAL2=20.0 / lat)
    pixels = np.random.default_rng(3).uniform(0, 99, (50, 2))
    expected = world_of(in_degrees, pixels)
    ours = world_of(in_units, pixels)  # celestial values come back in degrees
    assert separation_deg(ours, expected).max() < 1e-9
    assert separation_deg(expected, astropy_world(in_degrees, pixels)).max() < 1e-9
    back = vexlo.Wcs(vexlo.Header.fromstring(text_of(in_units))).world_to_pixel(ours)
    assert np.abs(back - pixels).max() < 1e-8


def test_rotation_with_arcminutes_on_the_longitude_axis_agrees_with_astropy():
    cards = dict(NAXIS=2, NAXIS1=100, NAXIS2=100, CTYPE1="RA---TAN", CTYPE2="DEC--TAN",
                 CUNIT1="arcmin", CDELT1=-6.0, CRVAL1=600.0, CDELT2=0.1, CRVAL2=20.0,
                 CRPIX1=50.0, CRPIX2=50.0, CROTA2=30.0)
    pixels = np.array([[0.0, 0.0], [99.0, 0.0], [30.0, 70.0]])
    ours = world_of(cards, pixels)
    theirs = astropy_world(cards, pixels)
    np.testing.assert_allclose(ours[0], [17.0077, 18.0799], atol=5e-5)
    assert separation_deg(ours, theirs).max() < 1e-9


# --- the zenithal perspective projection on both sides of mu = -1 --------------------------------

AZP_MU = [-5.0, -3.7, -2.5, -1.6, -1.2, -1.05, -0.95, -0.5, 0.0, 0.4, 1.0, 2.0, 3.0]


def azp(mu, gamma):
    return dict(NAXIS=2, NAXIS1=100, NAXIS2=100, CTYPE1="RA---AZP", CTYPE2="DEC--AZP",
                CRPIX1=1.0, CRPIX2=1.0, CDELT1=1.0, CDELT2=1.0, CRVAL1=0.0, CRVAL2=90.0,
                PV2_1=mu, PV2_2=gamma)


@pytest.mark.parametrize("mu", AZP_MU)
@pytest.mark.parametrize("gamma", [0.0, 25.0, -40.0, 70.0])
def test_azp_agrees_with_astropy_and_maps_back(mu, gamma):
    cards = azp(mu, gamma)
    pixels = np.random.default_rng(4).uniform(-60, 60, (400, 2))
    ours = world_of(cards, pixels)
    theirs = astropy_world(cards, pixels)
    assert np.array_equal(np.isnan(ours[:, 0]), np.isnan(theirs[:, 0]))
    both = ~np.isnan(ours[:, 0])
    assert both.sum() >= 4
    assert separation_deg(ours[both], theirs[both]).max() < 1e-9
    back = vexlo.Wcs(vexlo.Header.fromstring(text_of(cards))).world_to_pixel(ours[both])
    assert np.abs(back - pixels[both]).max() < 1e-7


def test_azp_beyond_mu_minus_one_takes_the_latitude_near_the_pole():
    world = world_of(azp(-2.5, 0.0), np.array([[0.0, 2.0]]))
    assert abs(world[0, 1] - 87.999) < 1e-3


# --- the zenithal polynomial projection up to its fold -------------------------------------------

R2D = 57.29577951308232


@pytest.mark.parametrize("p1,p3", [(1.0, -0.05), (0.8, -0.1), (1.0, -0.2)])
def test_zpn_answers_every_radius_below_its_fold(p1, p3):
    # R = p1 z + p3 z^3 turns over at z^2 = -p1 / (3 p3): radii a hair below that maximum
    # belong to points just inside the fold.
    fold = np.sqrt(-p1 / (3.0 * p3))
    r_max = (p1 * fold + p3 * fold**3) * R2D
    cards = dict(NAXIS=2, NAXIS1=100, NAXIS2=100, CTYPE1="RA---ZPN", CTYPE2="DEC--ZPN",
                 CRPIX1=1.0, CRPIX2=1.0, CDELT1=1.0, CDELT2=1.0, CRVAL1=0.0, CRVAL2=90.0,
                 PV2_1=p1, PV2_3=p3)
    below = np.geomspace(1e-13, 1e-3, 120)
    angle = np.random.default_rng(1).uniform(0, 2 * np.pi, below.size)
    radius = r_max * (1 - below)
    pixels = np.column_stack([radius * np.sin(angle), radius * np.cos(angle)])
    ours = world_of(cards, pixels)
    assert not np.isnan(ours).any()
    # Each answer lies inside the fold and maps back to its plane point.
    assert (90.0 - ours[:, 1] <= fold * R2D + 1e-9).all()
    back = vexlo.Wcs(vexlo.Header.fromstring(text_of(cards))).world_to_pixel(ours)
    assert np.abs(back - pixels).max() < 1e-9
    # Where the latitude is well determined by the radius, astropy gives the same point.
    theirs = astropy_world(cards, pixels)
    assert not np.isnan(theirs).any()
    sure = below >= 1e-5
    assert separation_deg(ours[sure], theirs[sure]).max() < 1e-9
    # Past the fold nothing is answered.
    beyond = np.array([[0.0, r_max * (1 + 1e-9)], [r_max * 1.01, 0.0]])
    assert np.isnan(world_of(cards, beyond)).all()


# PV2_1.. of ZPN sets where Newton's method from rho / P1 steps across the fold for part of the
# plane, to a root past it or below the pole, while the root on the invertible branch exists.
ZPN_FOLD_JUMPING = {
    "sextic": [1.0, 0.69, 0.01, 0.18, -0.93, -0.51],
    "quintic": [1.0, 0.13, 0.85, -0.08, -0.45],
}


@pytest.mark.parametrize("name", ZPN_FOLD_JUMPING)
def test_zpn_where_newton_jumps_the_fold_agrees_with_astropy(name):
    cards = dict(NAXIS=2, NAXIS1=100, NAXIS2=100, CTYPE1="RA---ZPN", CTYPE2="DEC--ZPN",
                 CRPIX1=1.0, CRPIX2=1.0, CDELT1=-1.0, CDELT2=1.0, CRVAL1=0.0, CRVAL2=90.0)
    cards.update({f"PV2_{m}": v for m, v in enumerate(ZPN_FOLD_JUMPING[name], start=1)})
    grid = np.linspace(-80.0, 80.0, 161)
    pixels = np.stack(np.meshgrid(grid, grid), axis=-1).reshape(-1, 2)
    wcs = vexlo.Wcs(vexlo.Header.fromstring(text_of(cards)))
    ours = wcs.pixel_to_world(pixels)
    theirs = astropy_world(cards, pixels)
    assert np.array_equal(np.isnan(ours[:, 0]), np.isnan(theirs[:, 0]))
    both = ~np.isnan(ours[:, 0])
    assert both.sum() > 2000
    assert separation_deg(ours[both], theirs[both]).max() < 1e-9
    back = wcs.world_to_pixel(ours[both])
    assert np.abs(back - pixels[both]).max() < 1e-9


def test_zpn_answers_a_point_where_newton_lands_below_the_pole():
    cards = dict(NAXIS=2, NAXIS1=100, NAXIS2=100, CTYPE1="RA---ZPN", CTYPE2="DEC--ZPN",
                 CRPIX1=1.0, CRPIX2=1.0, CDELT1=-1.0, CDELT2=1.0, CRVAL1=0.0, CRVAL2=90.0)
    cards.update({f"PV2_{m}": v for m, v in enumerate(ZPN_FOLD_JUMPING["sextic"], start=1)})
    sky = vexlo.Wcs(vexlo.Header.fromstring(text_of(cards))).pixel_to_world([0.0, 43.2984])
    assert sky[1] == pytest.approx(56.6878, abs=1e-4)


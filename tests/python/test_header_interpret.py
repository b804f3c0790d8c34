"""vexlo.Header time, observatory, unit and validation members."""

import math
import warnings

import pytest

import vexlo

Header = vexlo.Header


def card(text):
    assert len(text) <= 80
    return text.ljust(80)


def kv(keyword, rest):
    return card(keyword.ljust(8) + "= " + rest)


def header_of(*cards):
    return Header.fromstring("".join(card(c) for c in cards))


PRIMARY = (kv("SIMPLE", "T"), kv("BITPIX", "8"), kv("NAXIS", "0"))


def test_member_descriptions():
    first_lines = {
        "date": "Creation date of this HDU (``DATE``), always UTC, as an ISO-8601 string.",
        "time_sys": "Active time scale (``TIMESYS``), trimmed and upper-cased.",
        "mjd_ref": "Reference epoch as MJD. Reads ``MJDREFI``+``MJDREFF`` -> ``MJDREF`` ->",
        "time_unit": "Time unit for numeric time values (``TIMEUNIT``), trimmed, in its own letter case",
        "time_exposure": "Effective exposure time in seconds, excluding dead time.",
        "time_elapsed": "Wall-clock elapsed time in seconds (``TELAPSE``), including dead time.",
        "mjd_begin_utc": "Start of the observation as UTC MJD.",
        "mjd_end_utc": "End of the observation as UTC MJD.",
        "mjd_avg_utc": "Average/mid time of the observation as UTC MJD.",
        "mjd_obs_utc": "Observation start converted to UTC MJD, regardless of ``TIMESYS``.",
        "obs_ecef": "Observatory location as ITRS/ECEF Cartesian ``(x, y, z)`` in meters.",
        "obs_geodetic": "Observatory geodetic coordinates ``(lat_deg, lon_deg, alt_m)`` on the",
        "obs_orbit": "Orbit ephemeris file (``OBSORBIT``): URI, URL, or name.",
    }
    for name, line in first_lines.items():
        prop = getattr(Header, name)
        assert isinstance(prop, property), name
        assert prop.fset is None, name
        assert prop.__doc__.splitlines()[0] == line, name
    signatures = {
        "unit_for": "($self, key)",
        "value_in_si": "($self, key)",
        "validate": "($self, fix=False, warn=True)",
    }
    for name, sig in signatures.items():
        assert getattr(Header, name).__text_signature__ == sig, name
    h = Header()
    with pytest.raises(AttributeError):
        h.time_sys = "TT"


def test_time_scale_unit_and_date():
    h = Header()
    assert h.time_sys == "UTC"
    assert h.time_unit == "s"
    assert h.date is None
    assert h.mjd_ref is None
    for name in ("mjd_obs_utc", "mjd_begin_utc", "mjd_end_utc", "mjd_avg_utc"):
        assert getattr(h, name) is None, name
    h = header_of(kv("TIMESYS", "' tt(TAI) '"), kv("TIMEUNIT", "' d '"))
    assert h.time_sys == "TT"
    assert h.time_unit == "d"
    # The letter case is the unit: megaseconds are not milliseconds.
    ms = header_of(kv("TIMEUNIT", "'Ms'"), kv("TELAPSE", "2"))
    assert ms.time_unit == "Ms" and ms.time_elapsed == 2e6
    cases = [
        ("'2021-03-07T00:00:00'", "2021-03-07"),
        ("'2021-03-07T05:06:07.5'", "2021-03-07T05:06:07"),
        ("'2021-3-7T00:00:00.25'", "2021-03-07T00:00:00"),
        ("'0099-12-31'", "0099-12-31"),
        ("'-0044-03-15'", "-0044-03-15"),
        ("'-0044-03-15T12:00:00'", "-0044-03-15T12:00:00"),
        # The fraction of a second is digits only; an exponent would move the time.
        ("'2020-01-01T00:00:00.5e3'", None),
        ("'2020-01-01T00:00:00.5e400'", None),
        ("'2020-01-01T00:00:00.+5'", None),
        ("'07/03/21'", None),
        ("20210307", None),
    ]
    for value, date in cases:
        assert header_of(kv("DATE", value)).date == date, value


def test_epochs_and_observation_times_in_utc():
    h = header_of(kv("MJDREFI", "50000"), kv("MJDREFF", "0.5"), kv("MJDREF", "1.0"))
    assert h.mjd_ref == 50000.5
    h = header_of(kv("TSTART", "86400"), kv("MJDREF", "50000"), kv("TIMESYS", "'TAI'"),
                  kv("TSTOP", "2 / [d]"))
    assert h.mjd_begin_utc == 50001.0 - 29 / 86400
    assert h.mjd_end_utc == 50002.0 - 29 / 86400
    assert h.mjd_avg_utc == (h.mjd_begin_utc + h.mjd_end_utc) * 0.5
    h = header_of(kv("JEPOCH", "2000.0"))
    assert round(h.mjd_obs_utc, 8) == 51544.49925713
    # Epochs away from their origins, from the definitions: Julian years of 365.25 days from
    # J2000 (JD 2451545.0 TT), tropical years of 365.242198781 days from B1900
    # (JD 2415020.31352); each then loses TT - UTC (32.184 s plus the leap seconds of the day).
    for card, mjd_tt, tai_minus_utc in [
        (kv("JEPOCH", "2010.5"), 2451545.0 + 10.5 * 365.25 - 2400000.5, 34),
        (kv("BEPOCH", "1986.5"), 2415020.31352 + 86.5 * 365.242198781 - 2400000.5, 23),
    ]:
        expected = mjd_tt - (32.184 + tai_minus_utc) / 86400
        # JEPOCH counts in TDB, which strays from TT by under 2 ms.
        assert math.isclose(header_of(card).mjd_obs_utc, expected, abs_tol=3e-8), card
    assert header_of(kv("TIMESYS", "'LOCAL'"), kv("MJD-OBS", "58000.0")).mjd_obs_utc is None
    assert header_of(kv("MJD-OBS", "58000.0")).mjd_obs_utc == 58000.0


def test_exposure_and_elapsed_seconds():
    cases = [
        ((kv("XPOSURE", "2 / [m]"), kv("EXPTIME", "12.5")), 12.5),
        ((kv("XPOSURE", "2 / [min]"), kv("EXPTIME", "12.5")), 120.0),
        ((kv("XPOSURE", "2"), kv("TIMEUNIT", "'ks'")), 2000.0),
        ((kv("EXPTIME", "7 / [min]"),), 7.0),  # EXPTIME is a plain number of seconds
        ((kv("EXPTIME", "'7'"),), None),
        ((), None),
    ]
    for cards, seconds in cases:
        assert header_of(*cards).time_exposure == seconds, cards
    assert header_of(kv("TELAPSE", "3 / [h]")).time_elapsed == 10800.0
    assert header_of(kv("TELAPSE", "3 / [furlong]")).time_elapsed is None


def test_observatory_location():
    geo = header_of(kv("OBSGEO-B", "30"), kv("OBSGEO-L", "-70"), kv("OBSGEO-H", "2 / [km]"))
    assert geo.obs_geodetic == (30.0, -70.0, 2000.0)
    x, y, z = geo.obs_ecef
    back = header_of(kv("OBSGEO-X", repr(x)), kv("OBSGEO-Y", repr(y)), kv("OBSGEO-Z", repr(z)))
    assert back.obs_ecef == (x, y, z)
    lat, lon, alt = back.obs_geodetic
    assert math.isclose(lat, 30, abs_tol=1e-9) and math.isclose(lon, -70, abs_tol=1e-9)
    assert math.isclose(alt, 2000, abs_tol=1e-6)
    assert Header().obs_ecef is None and Header().obs_geodetic is None
    # The geocentre has no geodetic position.
    centre = header_of(kv("OBSGEO-X", "0.0"), kv("OBSGEO-Y", "0.0"), kv("OBSGEO-Z", "0.0"))
    assert centre.obs_ecef == (0.0, 0.0, 0.0) and centre.obs_geodetic is None
    assert header_of(kv("OBSORBIT", "'orbit.fits'")).obs_orbit == "orbit.fits"
    assert header_of(kv("OBSORBIT", "5")).obs_orbit is None


def test_units_of_cards():
    h = header_of(kv("EXPTIME", "1500 / [ms]"), kv("DIST", "2.0 / distance [km]"),
                  kv("MJD_OBS", "5 / [ d ]"), kv("BARE", "3"), kv("MAG", "3 / [mag]"))
    assert h.value_in_si("exptime") == h.value_in_si("EXPTIME") == 1.5
    assert h.value_in_si("DIST") == 2000.0
    assert h.value_in_si("BARE") is None
    assert h.value_in_si("MAG") is None
    assert h.value_in_si("MISSING") is None
    assert h.unit_for("mjd-obs") == "d"
    assert h.unit_for(" dist ") == "km"
    assert h.unit_for("BARE") is None
    for method in (h.unit_for, h.value_in_si):
        with pytest.raises(TypeError, match="argument 'key'"):
            method(1)


def test_validate_returns_a_copy_and_warns():
    h = header_of(*PRIMARY, kv("EPOCH", "2000.0"), kv("DATE-OBS", "'01/02/69'"))
    before = h.tostring()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        quiet = h.validate(warn=False)
    assert caught == []
    assert quiet.tostring() == before
    assert quiet.read_only is False
    quiet["NEW"] = 1
    assert "NEW" not in h

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        fixed = h.validate(fix=True)
    assert [str(w.message) for w in caught] == [
        "[warning] EPOCH: EPOCH is deprecated; use EQUINOX (WCS Paper I, Sec.2.4)",
        "[warning] DATE-OBS: DATE-OBS '01/02/69' uses the deprecated DD/MM/YY format; ISO 8601 "
        "YYYY-MM-DD is required (FITS Standard Sec.4.4.2.1)",
    ]
    assert all(w.category is UserWarning for w in caught)
    assert fixed["EQUINOX"] == 2000.0 and "EPOCH" not in fixed
    assert fixed["DATE-OBS"] == "1969-02-01"
    assert h.tostring() == before

    bad = header_of(kv("SIMPLE", "T"), kv("BITPIX", "8"), kv("NAXIS", "1"))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning, match=r"^\[error\] NAXIS1: NAXIS1 is absent but NAXIS=1$"):
            bad.validate()
    with pytest.raises(TypeError, match="argument 'fix'"):
        h.validate(fix=1)
    with pytest.raises(TypeError, match="argument 'warn'"):
        h.validate(warn="yes")


def test_date_fix_rewrites_the_underscore_card(tmp_path):
    np = pytest.importorskip("numpy")
    h = header_of(*PRIMARY, kv("DATE_OBS", "'31/12/99' / start"), kv("OBJECT", "'M31'"))
    fixed = h.validate(fix=True, warn=False)
    assert [k for k in fixed if k.startswith("DATE")] == ["DATE-OBS"]
    assert list(fixed)[-2:] == ["DATE-OBS", "OBJECT"]
    assert fixed["DATE-OBS"] == "1999-12-31" and fixed.comment("DATE-OBS") == "start"
    # The fixed header written and read back by the other readers holds one date.
    path = str(tmp_path / "fixed.fits")
    vexlo.write(path, [vexlo.image(np.zeros(2, "i2"), header=fixed)])
    assert vexlo.getval(path, "DATE-OBS") == "1999-12-31"
    fitsio = pytest.importorskip("fitsio")
    raw = fitsio.read_header(path)
    assert raw["DATE-OBS"] == "1999-12-31" and "DATE_OBS" not in raw
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(path) as hdus:
        hdus.verify("exception")
        assert hdus[0].header["DATE-OBS"] == "1999-12-31" and "DATE_OBS" not in hdus[0].header


def test_members_of_a_read_only_file_header(tmp_path):
    path = tmp_path / "t.fits"
    text = "".join([*PRIMARY, kv("TIMESYS", "'TT'"), kv("MJD-OBS", "51544.5"), card("END")])
    path.write_bytes(text.ljust(2880).encode())
    with vexlo.open(path) as f:
        h = f[0].header
        assert h.read_only is True
        assert h.time_sys == "TT"
        assert h.mjd_obs_utc == 51544.5 - 32.184 / 86400 - 32 / 86400
        copy = h.validate(warn=False)
        assert copy.read_only is False

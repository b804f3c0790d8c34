"""What the coordinate tests share: great-circle distances and astropy.wcs as a black-box
reader of header text (the test is skipped where astropy is not installed)."""

import warnings

import numpy as np
import pytest


def separation_deg(a, b):
    """Great-circle distance between rows of (lon, lat) in degrees."""
    a = np.radians(np.asarray(a, float))
    b = np.radians(np.asarray(b, float))
    d = np.sin((b[:, 1] - a[:, 1]) / 2) ** 2 + np.cos(a[:, 1]) * np.cos(b[:, 1]) * np.sin(
        (b[:, 0] - a[:, 0]) / 2
    ) ** 2
    return np.degrees(2 * np.arcsin(np.sqrt(np.clip(d, 0, 1))))


def astropy_wcs_of(text):
    """astropy's reading of header text, quietly."""
    astropy_wcs = pytest.importorskip("astropy.wcs")
    astropy_fits = pytest.importorskip("astropy.io.fits")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return astropy_wcs.WCS(astropy_fits.Header.fromstring(text))

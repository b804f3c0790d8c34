"""Distorted celestial descriptions (SIP, TPV): agreement with astropy.wcs where installed, and
round trips through the Newton inverse over whole batches and single points."""

import warnings

import numpy as np
import pytest

import vexlo
from fits_bytes import card
from wcs_peers import astropy_wcs_of as astropy_peer
from wcs_peers import separation_deg


def text_of(cards):
    return "".join(card(k, v) for k, v in cards.items())


def sip_cards(order=4, reverse=False, latitude_first=False):
    cards = dict(NAXIS=2, NAXIS1=2048, NAXIS2=2048, CTYPE1="RA---TAN-SIP", CTYPE2="DEC--TAN-SIP",
                 CRPIX1=1024.5, CRPIX2=1000.0, CRVAL1=202.48, CRVAL2=47.2,
                 CD1_1=-7.3e-5, CD1_2=1.1e-6, CD2_1=1.3e-6, CD2_2=7.4e-5,
                 A_ORDER=order, B_ORDER=order)
    rng = np.random.default_rng(order)
    for p in range(order + 1):
        for q in range(order + 1 - p):
            if p + q >= 2:
                scale = 10.0 ** (-3 * (p + q) + 1)
                cards[f"A_{p}_{q}"] = float(rng.uniform(-1, 1) * scale)
                cards[f"B_{p}_{q}"] = float(rng.uniform(-1, 1) * scale)
    if reverse:
        # A rough reverse: the first-order negation of the forward terms.
        cards.update(AP_ORDER=order, BP_ORDER=order)
        for k in list(cards):
            if k[:2] in ("A_", "B_") and k[2].isdigit():
                cards[k[0] + "P" + k[1:]] = -cards[k]
    if latitude_first:
        cards.update(CTYPE1="DEC--TAN-SIP", CTYPE2="RA---TAN-SIP", CRVAL1=47.2, CRVAL2=202.48)
    return cards


SIP_CASES = {
    "order 2": sip_cards(2),
    "order 4": sip_cards(4),
    "order 4 with AP/BP": sip_cards(4, reverse=True),
    "order 3, latitude first": sip_cards(3, latitude_first=True),
}


@pytest.mark.parametrize("case", list(SIP_CASES))
def test_sip_agrees_with_astropy_both_ways(case):
    text = text_of(SIP_CASES[case])
    peer = astropy_peer(text)
    ours = vexlo.Wcs(vexlo.Header.fromstring(text))
    pixels = np.random.default_rng(4).uniform(-100, 2150, (2000, 2))
    theirs = peer.all_pix2world(pixels, 0)
    world = ours.pixel_to_world(pixels)
    assert separation_deg(world, theirs).max() * 3600 < 1e-7
    back = ours.world_to_pixel(theirs)
    assert np.abs(back - pixels).max() < 1e-7
    # One point alone takes the general pipeline, not the batch kernel.
    one = np.asarray(ours.pixel_to_world(pixels[0]))
    assert separation_deg(one[None, :], theirs[:1]).max() * 3600 < 1e-7
    assert np.abs(ours.world_to_pixel(theirs[0]) - pixels[0]).max() < 1e-7


def test_sip_is_applied_not_dropped():
    plain = dict(sip_cards(2))
    plain.update(CTYPE1="RA---TAN", CTYPE2="DEC--TAN")
    far = np.array([[2000.0, 2000.0]])
    with_sip = vexlo.Wcs(vexlo.Header.fromstring(text_of(sip_cards(2)))).pixel_to_world(far)
    without = vexlo.Wcs(vexlo.Header.fromstring(text_of(plain))).pixel_to_world(far)
    assert separation_deg(with_sip, without)[0] * 3600 > 1.0


def tpv_cards():
    cards = dict(NAXIS=2, NAXIS1=4000, NAXIS2=4000, CTYPE1="RA---TPV", CTYPE2="DEC--TPV",
                 CRPIX1=2000.0, CRPIX2=2100.0, CRVAL1=35.0, CRVAL2=-4.5,
                 CD1_1=-7.3e-5, CD1_2=2e-7, CD2_1=-1e-7, CD2_2=7.3e-5,
                 PV1_0=1e-4, PV1_1=1.001, PV1_2=2e-3, PV1_4=3e-3, PV1_5=-2e-3, PV1_6=1e-3,
                 PV1_7=-0.01, PV1_9=4e-3, PV1_10=-3e-3, PV1_12=0.02, PV1_17=-0.05,
                 PV2_0=-2e-4, PV2_1=0.999, PV2_2=-1e-3, PV2_4=-2e-3, PV2_5=3e-3, PV2_6=-1e-3,
                 PV2_8=8e-3, PV2_10=5e-3, PV2_16=-0.02, PV2_38=0.1)
    return cards


TPV_CASES = {
    "polynomial": tpv_cards(),
    "radial": dict(tpv_cards(), PV1_3=2e-3, PV1_11=-0.01, PV2_3=-1e-3, PV2_23=0.05),
}


@pytest.mark.parametrize("case", list(TPV_CASES))
def test_tpv_agrees_with_astropy_both_ways(case):
    text = text_of(TPV_CASES[case])
    peer = astropy_peer(text)
    ours = vexlo.Wcs(vexlo.Header.fromstring(text))
    pixels = np.random.default_rng(9).uniform(-100, 4100, (2000, 2))
    theirs = peer.all_pix2world(pixels, 0)
    world = ours.pixel_to_world(pixels)
    assert separation_deg(world, theirs).max() * 3600 < 1e-7
    # The inverse stops at 1e-11 degrees in the plane, about 1e-7 pixels here.
    assert np.abs(ours.world_to_pixel(theirs) - pixels).max() < 1e-6
    assert np.abs(ours.world_to_pixel(theirs[5]) - pixels[5]).max() < 1e-6


def test_a_point_whose_inverse_fails_is_nan_in_a_batch_and_an_error_alone():
    # A strong quadratic term folds the plane: far from the reference point no undistorted
    # offset maps to the target, and the iteration stops on a singular or diverging step.
    cards = dict(NAXIS=2, CTYPE1="RA---TAN-SIP", CTYPE2="DEC--TAN-SIP", CRPIX1=1.0, CRPIX2=1.0,
                 CRVAL1=10.0, CRVAL2=10.0, CDELT1=-1e-3, CDELT2=1e-3,
                 A_ORDER=2, B_ORDER=2, A_2_0=0.01, B_0_2=0.01)
    ours = vexlo.Wcs(vexlo.Header.fromstring(text_of(cards)))
    good = ours.pixel_to_world([10.0, 10.0])
    bad = [10.0 + 1.0, 10.0 - 1.0]  # offsets of about -1000 pixels: beyond the fold
    out = ours.world_to_pixel(np.array([good, bad]))
    assert np.abs(out[0] - [10.0, 10.0]).max() < 1e-8
    assert np.isnan(out[1]).all()
    with pytest.raises(vexlo.FitsError, match=r"SIP: (Jacobian singular during inverse "
                                              r"iteration|inverse iteration did not converge)"):
        ours.world_to_pixel(bad)

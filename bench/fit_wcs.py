"""Fitting a celestial description to reference points: vexlo.fit_wcs on 10,000 points of a
TAN description and of a TAN description with order-3 SIP distortion (forward and reverse
polynomials), against astropy.wcs.utils.fit_wcs_from_points on the same points where astropy
and scipy are installed. The floor is one pixel_to_world batch over the same points, the
least a fit that reports its residuals must do.

    PYTHONPATH=<build>/python python3 bench/fit_wcs.py [--points N] [--repeat R]

Prints the best time of R runs in milliseconds and the ratios to the floor and to astropy
(lower is better).
"""

import argparse
import warnings

import numpy as np

import vexlo

from rawfits import best_of, card

try:
    from astropy.coordinates import SkyCoord
    from astropy.wcs.utils import fit_wcs_from_points
except ImportError:  # the comparison is optional
    fit_wcs_from_points = None

BASE = dict(NAXIS=2, NAXIS1=4096, NAXIS2=4096, CUNIT1="deg", CUNIT2="deg", CRVAL1=150.2,
            CRVAL2=2.3, CRPIX1=2048.5, CRPIX2=2040.25, CD1_1=-7.3e-5, CD1_2=4.0e-6,
            CD2_1=3.5e-6, CD2_2=7.2e-5)
SIP = dict(A_ORDER=3, B_ORDER=3, A_2_0=2.0e-6, A_0_2=-1.5e-6, A_1_1=1.0e-6, A_3_0=4.0e-10,
           B_0_2=2.5e-6, B_1_1=-1.0e-6, B_1_2=3.0e-10)


def truth(sip):
    cards = dict(BASE, CTYPE1="RA---TAN" + ("-SIP" if sip else ""),
                 CTYPE2="DEC--TAN" + ("-SIP" if sip else ""))
    if sip:
        cards.update(SIP)
    text = "".join(card(k, v) for k, v in cards.items())
    return vexlo.Wcs(vexlo.Header.fromstring(text))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--points", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    rng = np.random.default_rng(1)
    for name, sip_order in (("TAN", None), ("TAN+SIP3", 3)):
        w = truth(sip_order is not None)
        pix = rng.uniform(0, 4095, size=(args.points, 2))
        sky = w.pixel_to_world(pix)
        noisy = pix + rng.normal(0.0, 0.1, size=pix.shape)
        fit = vexlo.fit_wcs(noisy, sky, sip_order=sip_order)
        t_ours = best_of(args.repeat, lambda: vexlo.fit_wcs(noisy, sky, sip_order=sip_order))
        t_floor = best_of(args.repeat, lambda: fit.wcs.pixel_to_world(noisy))
        line = (f"{name:9s} {args.points} points: vexlo {t_ours * 1e3:8.2f} ms "
                f"(rms {fit.rms_arcsec:.4f} arcsec; floor {t_floor * 1e3:.2f} ms, "
                f"ratio {t_ours / t_floor:.1f})")
        if fit_wcs_from_points is not None:
            coords = SkyCoord(sky[:, 0], sky[:, 1], unit="deg", frame="icrs")
            xy = (noisy[:, 0], noisy[:, 1])
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    t_peer = best_of(max(1, args.repeat // 2), lambda: fit_wcs_from_points(
                        xy, coords, projection="TAN", sip_degree=sip_order))
                line += f"; astropy {t_peer * 1e3:.1f} ms, ratio {t_ours / t_peer:.3f}"
            except ImportError as e:  # fit_wcs_from_points needs scipy
                line += f"; astropy unavailable ({e})"
        print(line)


if __name__ == "__main__":
    main()

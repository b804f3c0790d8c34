"""World coordinates: pixel_to_world and world_to_pixel of 1,000,000 points through TAN, ZEA
and AIT descriptions and a TAN description with order-4 SIP distortion (whose world_to_pixel
runs the Newton inverse), against astropy.wcs (all_pix2world / all_world2pix) where installed.
Everything runs on one thread.

    python bench/wcs.py [--points N] [--repeat R]

Prints the best time of each direction over R runs in nanoseconds per point, and the ratio
of vexlo's time to astropy's on the same header and points (lower is better).
"""

import argparse
import os
import warnings

import numpy as np

import vexlo

from rawfits import best_of, card

try:
    from astropy.io import fits as astropy_fits
    from astropy.wcs import WCS as AstropyWcs
except ImportError:  # the comparison is optional
    AstropyWcs = None

SIZE = 4096


def sip_cards(order=4):
    # Distortions of a few pixels at the edges, as in a real wide-field camera.
    rng = np.random.default_rng(order)
    cards = [card("A_ORDER", order), card("B_ORDER", order)]
    for p in range(order + 1):
        for q in range(order + 1 - p):
            if p + q >= 2:
                scale = 3.0 * (SIZE / 2) ** (-p - q)
                cards.append(card(f"A_{p}_{q}", float(rng.uniform(-1, 1) * scale)))
                cards.append(card(f"B_{p}_{q}", float(rng.uniform(-1, 1) * scale)))
    return cards


def header_cards(name):
    # A 4096 x 4096 all-sky-ish image for the wide projections, a 1 degree field for TAN.
    code = "TAN-SIP" if name == "SIP4" else name
    scale = 1.0 / 4096 if code.startswith("TAN") else 0.08
    return [
        card("SIMPLE", True),
        card("BITPIX", -32),
        card("NAXIS", 2),
        card("NAXIS1", SIZE),
        card("NAXIS2", SIZE),
        card("CTYPE1", f"RA---{code}"),
        card("CTYPE2", f"DEC--{code}"),
        card("CRPIX1", SIZE / 2 + 0.5),
        card("CRPIX2", SIZE / 2 + 0.5),
        card("CRVAL1", 150.0),
        card("CRVAL2", 20.0 if code.startswith("TAN") else 0.0),
        card("CD1_1", -scale * 0.9),
        card("CD1_2", scale * 0.1),
        card("CD2_1", scale * 0.1),
        card("CD2_2", scale * 0.9),
    ] + (sip_cards() if name == "SIP4" else [])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    rng = np.random.default_rng(7)
    pixels = rng.uniform(0, SIZE - 1, (args.points, 2))
    print(f"{args.points} points, best of {args.repeat}; ns per point (wall time; vexlo splits "
          f"large two-axis batches over up to 8 of the {len(os.sched_getaffinity(0))} cores it may use, "
          f"astropy uses one)")
    print(f"{'projection':<10} {'direction':<16} {'vexlo':>8} {'astropy':>8} {'ratio':>6}")
    for code in ("TAN", "ZEA", "AIT", "SIP4"):
        text = "".join(header_cards(code))
        wcs = vexlo.Wcs(vexlo.Header.fromstring(text))
        world = wcs.pixel_to_world(pixels)
        # Keep the points every projection maps; the same ones go to astropy.
        world = world[~np.isnan(world[:, 0])]
        ours = {
            "pixel_to_world": best_of(args.repeat, lambda: wcs.pixel_to_world(pixels))
            / len(pixels),
            "world_to_pixel": best_of(args.repeat, lambda: wcs.world_to_pixel(world))
            / len(world),
        }
        theirs = {}
        if AstropyWcs is not None:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                peer = AstropyWcs(astropy_fits.Header.fromstring(text))
                theirs["pixel_to_world"] = best_of(
                    args.repeat, lambda: peer.all_pix2world(pixels, 0)) / len(pixels)
                theirs["world_to_pixel"] = best_of(
                    args.repeat, lambda: peer.all_world2pix(world, 0)) / len(world)
                check = peer.all_pix2world(pixels[:1000], 0)
            mine = wcs.pixel_to_world(pixels[:1000])
            dlon = (mine[:, 0] - check[:, 0] + 180) % 360 - 180
            dlat = mine[:, 1] - check[:, 1]
            assert np.nanmax(np.abs(dlon)) < 1e-8 and np.nanmax(np.abs(dlat)) < 1e-8
            back = wcs.world_to_pixel(check)
            assert np.nanmax(np.abs(back - pixels[:1000])) < 1e-6
        for direction, t in ours.items():
            peer_t = theirs.get(direction)
            peer_text = f"{peer_t * 1e9:8.1f}" if peer_t else f"{'-':>8}"
            ratio_text = f"{t / peer_t:6.2f}" if peer_t else f"{'-':>6}"
            print(f"{code:<10} {direction:<16} {t * 1e9:8.1f} {peer_text} {ratio_text}")


if __name__ == "__main__":
    main()

"""Unit strings through vexlo.Header.value_in_si: each call reads the card's "[unit]"
annotation, parses it (strictly, then with informal spellings) and converts the value to the
canonical unit of its dimension. Prints microseconds per unit string and per conversion,
the floor of the same call on a card without annotation, and, where astropy is installed,
the ratio to astropy.units.Unit(s, format="fits") on the strings both accept.

    PYTHONPATH=<build>/python python3 bench/units.py [strings] [repeats]
"""

import sys

import vexlo

from rawfits import best_of

# Unit strings of the FITS unit syntax: products, quotients, prefixes, exponents, functions.
UNIT_STRINGS = [
    "km/s", "km s-1", "km.s**-1", "km*s^-1", "km s^(-1)", "erg/s/cm2/Angstrom",
    "erg/(s cm2)", "erg s-1 cm-2", "10**-3 m", "W/10 m Hz", "W/m Hz", "m(1.5)", "m**(3/2)",
    "sqrt(Hz)", "kpc", "Gyr", "GHz", "mJy", "kbyte", "mas", "arcsec", "deg", "count/s",
    "ph/cm2/s", "Jy/beam", "mag", "mmag", "dB", "mag(AB)", "log(Hz)", "solMass/yr",
    "Angstrom", "nm", "um", "MHz", "keV", "K", "mol", "cd/m2", "Ohm m", "T", "G", "V/m",
    "lm", "lx", "Pa", "J/K", "W/(m2 sr)", "pixel/s", "adu", "ct/pix",
]

# Unit pairs for conversion: each string converted to its canonical unit.
PAIR_STRINGS = [s for s in UNIT_STRINGS if "mag" not in s and "dB" not in s and "log" not in s]


def vexlo_header(strings, prefix):
    cards = []
    for i, s in enumerate(strings):
        cards.append(f"{prefix}{i:05d}".ljust(8) + f"= {1.5 + i:>20} / value [{s}]")
    cards.append("BARE".ljust(8) + "= 1.0")
    return vexlo.Header.fromstring("".join(c.ljust(80) for c in cards))


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    h = vexlo_header(UNIT_STRINGS, "U")
    keys = [f"U{i % len(UNIT_STRINGS):05d}" for i in range(count)]
    bare = ["BARE"] * count
    value_in_si = h.value_in_si

    t_parse = best_of(repeats, lambda: [value_in_si(k) for k in keys])
    t_floor = best_of(repeats, lambda: [value_in_si(k) for k in bare])
    per = t_parse / count * 1e6
    floor = t_floor / count * 1e6
    print(f"vexlo parse+convert   {count} strings: {per:7.3f} us/string "
          f"(floor {floor:.3f} us: call without annotation; ratio {per / floor:.2f})")

    pairs = [PAIR_STRINGS[i % len(PAIR_STRINGS)] for i in range(1000)]
    hp = vexlo_header(pairs, "P")
    pair_keys = [f"P{i:05d}" for i in range(1000)]
    t_pairs = best_of(repeats, lambda: [hp.value_in_si(k) for k in pair_keys])
    assert all(hp.value_in_si(k) is not None for k in pair_keys)
    print(f"vexlo convert         1000 pairs: {t_pairs / 1000 * 1e6:7.3f} us/pair")

    try:
        from astropy import units as u
    except ImportError:
        print("astropy not installed: no peer ratio")
        return
    accepted = []
    for s in UNIT_STRINGS:
        try:
            u.Unit(s, format="fits")
            accepted.append(s)
        except Exception:  # noqa: BLE001 - a string the peer refuses is left out of both
            pass
    index = {s: i for i, s in enumerate(UNIT_STRINGS)}
    same = [accepted[i % len(accepted)] for i in range(count)]
    same_keys = [f"U{index[s]:05d}" for s in same]
    t_vex = best_of(repeats, lambda: [value_in_si(k) for k in same_keys])
    t_ast = best_of(repeats, lambda: [u.Unit(s, format="fits") for s in same])
    print(f"astropy Unit(fits)    {count} strings ({len(accepted)} of {len(UNIT_STRINGS)} "
          f"accepted): {t_ast / count * 1e6:7.3f} us/string; vexlo/astropy "
          f"{t_vex / t_ast:.3f}")

    targets = []
    for i, s in enumerate(pairs):
        if s not in accepted:
            continue
        unit = u.Unit(s, format="fits")
        try:
            targets.append((unit, unit.si, 1.5 + i))
        except Exception:  # noqa: BLE001 - no SI form in the peer (bit, byte)
            pass
    t_conv = best_of(repeats, lambda: [unit.to(si, v) for unit, si, v in targets])
    print(f"astropy Unit.to       {len(targets)} pairs: "
          f"{t_conv / len(targets) * 1e6:7.3f} us/pair")


if __name__ == "__main__":
    main()

"""Writes the seed corpus of one fuzz target from the tile-compressed reference files:
whole files for tile_table, single tile payloads (with the target's selector bytes in front)
for the codec targets; unit strings and dates for the units target."""

import pathlib
import sys

TILED = pathlib.Path(__file__).resolve().parent.parent / "tests" / "data" / "tiled"
BLOCK = 2880
UNIT_SEEDS = [
    "km/s\nm/s", "erg/s/cm2/Angstrom\nW m-3", "10**-3 m(3/2)\nsqrt(m3)", "mag(AB)\nmag(AB)",
    "log(Hz)\nln(kHz)", "W/10 m Hz", "arcsecs\ndeg", "mmag\ndB", "((m))**(-1/2)", "Sun2\nSun",
    "2020-02-29T23:59:60.5Z", "-0044-03-15", "12:30:45.25",
]


def hdus(raw):
    """(cards, data) of each HDU; enough of the format for the reference files."""
    pos, out = 0, []
    while pos < len(raw):
        cards = {}
        while True:
            card = raw[pos:pos + 80].decode("ascii")
            pos += 80
            if card.startswith("END"):
                break
            if card[8:10] == "= ":
                value = card[10:].split("/")[0].strip().strip("'").strip()
                cards[card[:8].strip()] = value
        pos += -pos % BLOCK
        naxis = int(cards.get("NAXIS", 0))
        size = 0
        if naxis:
            size = 1
            for i in range(1, naxis + 1):
                size *= int(cards[f"NAXIS{i}"])
            size = abs(int(cards["BITPIX"])) // 8 * (size + int(cards.get("PCOUNT", 0)))
        out.append((cards, raw[pos:pos + size]))
        pos += size + (-size % BLOCK)
    return out


def tiles(name, limit=4):
    cards, data = hdus((TILED / name).read_bytes())[1]
    row, rows = int(cards["NAXIS1"]), int(cards["NAXIS2"])
    heap = data[row * rows:]
    for r in range(min(rows, limit)):
        count = int.from_bytes(data[r * row:r * row + 4], "big")
        offset = int.from_bytes(data[r * row + 4:r * row + 8], "big")
        npix = int(cards["ZTILE1"]) * (int(cards.get("ZTILE2", 1)) if cards.get("ZNAXIS") != "1" else 1)
        yield cards, npix, heap[offset:offset + count]


DATA = TILED.parent
MAX_SEED = 262144
# Inputs found by fuzzing that reach code the fixtures do not, copied as they are into the
# whole-file targets' corpora.
FOUND = pathlib.Path(__file__).resolve().parent / "seeds"


def fits_files():
    """The small FITS fixtures (plain and tile-compressed) of the test suite."""
    for p in sorted(DATA.rglob("*")):
        if p.suffix in (".fits", ".fz") and p.stat().st_size <= MAX_SEED:
            yield p


def whole_file_seeds(target, out):
    """header, file: a mode byte (bit 0: lenient) then the header blocks or the whole file;
    gzip: each file compressed, and the compressed fixtures as they are."""
    import gzip
    for k, p in enumerate(fits_files()):
        raw = p.read_bytes()
        if target == "header":
            end = raw.find(b"END" + b" " * 77)
            raw = raw[:end + 80 + (-(end + 80) % BLOCK)] if end >= 0 else raw[:BLOCK]
        if target == "gzip":
            (out / f"{k}_{p.name}.gz").write_bytes(gzip.compress(raw, mtime=0))
        else:
            for mode in (0, 1):
                (out / f"{k}_{mode}_{p.name}").write_bytes(bytes([mode]) + raw)
    if target == "gzip":
        for p in sorted(DATA.glob("*.gz")):
            (out / p.name).write_bytes(p.read_bytes())


def found_seeds(out):
    for p in sorted(FOUND.glob("*.bin")):
        (out / f"found_{p.name}").write_bytes(p.read_bytes())


def main(target, out):
    out = pathlib.Path(out)
    out.mkdir(parents=True, exist_ok=True)
    if target in ("file", "tile_table"):
        found_seeds(out)
    if target in ("header", "file", "gzip"):
        whole_file_seeds(target, out)
        return
    if target == "units":
        for k, text in enumerate(UNIT_SEEDS):
            (out / f"seed_{k}").write_text(text)
        return
    if target == "tile_table":
        for p in sorted(TILED.glob("*.fz")):
            (out / p.name).write_bytes(p.read_bytes())
        return
    widths = {"8": 1, "16": 2, "32": 4, "64": 8}
    for p in sorted(TILED.glob("*.fz")):
        for k, (cards, npix, payload) in enumerate(tiles(p.name)):
            cmp = cards["ZCMPTYPE"]
            width = 4 if cards["ZBITPIX"].startswith("-") else widths[cards["ZBITPIX"]]
            sel = [1, 2, 4, 3].index(width) if width != 8 else None
            if target == "rice" and cmp.startswith("RICE") and sel is not None:
                head = bytes([sel | (31 << 2), npix >> 8 & 0xFF, npix & 0xFF])
            elif target == "plio" and cmp == "PLIO_1" and sel is not None:
                head = bytes([sel, npix >> 8 & 0xFF, npix & 0xFF])
            elif target == "hcompress" and cmp == "HCOMPRESS_1":
                head = bytes([[1, 2, 4, 8].index(width)])
            else:
                continue
            (out / f"{p.stem}_{k}").write_bytes(head + payload)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])

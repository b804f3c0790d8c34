"""Headers through the Python API. First the rows compared with the floor and astropy (where
installed), from one run: inserts and deletes in a header of 100k cards, each followed by a
lookup; parsing that header and making the first lookup; parsing a 2000-card header and
reading every value. Then the throughput of building a header of a few thousand cards,
serialising it, parsing it back and reading every card, in cards per second.

    PYTHONPATH=<build>/python python3 bench/header.py [cards] [repeats]

Floors: for an edit, one memmove of the card bytes behind the edit point (NumPy on a buffer
the size of the header); for a parse, one copy of the header's bytes.
"""

import ctypes
import sys
import time

import numpy as np

import vexlo

from rawfits import card, header, peers, row, table_head

EDIT_CARDS = 100_000
EDITS = 1000
# astropy spends milliseconds on each edit of a large header: fewer edits, once.
ASTROPY_EDITS = 100
PARSE_CARDS = 2000


def numbered_header(count):
    """`count` distinct value cards of mixed kinds, as header bytes."""
    kinds = [lambda i: i * 7919, lambda i: i * 0.25, lambda i: i % 2 == 0, lambda i: f"v{i}"]
    return header([card(f"K{i:07d}", kinds[i % 4](i)) for i in range(count)])


def edit_positions(edits):
    """Spread-out card numbers, the same for every reader."""
    return [(n * 7919) % EDIT_CARDS for n in range(edits)]


def inserts(h, edits):
    """Inserts a new card at a spread-out position, then looks up a card behind it."""
    for n, at in enumerate(edit_positions(edits)):
        h.insert(at, f"N{n:07d}", n)
        h[f"K{(at + 1) % EDIT_CARDS:07d}"]


def deletes(h, edits):
    """Deletes a card at a spread-out position, then looks up the card after it."""
    for at in edit_positions(edits):
        del h[f"K{at:07d}"]
        h[f"K{(at + 1) % EDIT_CARDS:07d}"]


def per_edit(make, work, edits, repeats):
    best = float("inf")
    for _ in range(repeats):
        h = make()
        start = time.perf_counter()
        work(h, edits)
        best = min(best, time.perf_counter() - start)
    return best / edits


def memmove_floor(size, edits, repeats):
    """One memmove per edit of the bytes behind the edit point, as an insert must do."""
    buf = np.zeros(size + 80, np.uint8)
    base = buf.ctypes.data
    moves_of = [(base + at * 80, size - at * 80) for at in edit_positions(edits)]

    def moves():
        for at, n in moves_of:
            ctypes.memmove(at + 80, at, n)

    return best_of(repeats, moves)[0] / edits


def issue_rows(repeats):
    _, fits = peers()
    big = numbered_header(EDIT_CARDS)
    print(f"best of {repeats}; times per edit and per parse + read")
    table_head()
    floor = memmove_floor(len(big), EDITS, repeats)
    text = big.decode("ascii") if fits else None
    for name, work in (("insert", inserts), ("delete", deletes)):
        ours = per_edit(lambda: vexlo.Header.frombytes(big), work, EDITS, repeats)
        theirs = None
        if fits:
            theirs = per_edit(lambda: fits.Header.fromstring(text), work, ASTROPY_EDITS, 1)
        row(f"header of {EDIT_CARDS // 1000}k cards: {name} + lookup (per edit)", ours, floor,
            astropy=theirs, unit="us")

    copy_big = best_of(repeats, lambda: bytearray(big))[0]
    probe = f"K{EDIT_CARDS // 2:07d}"

    def ours_first():
        return vexlo.Header.frombytes(big)[probe]

    def astropy_first():
        return fits.Header.fromstring(text)[probe]

    assert ours_first() == astropy_first() if fits else True
    row(f"header of {EDIT_CARDS // 1000}k cards: parse + first lookup",
        best_of(repeats, ours_first)[0], copy_big,
        astropy=best_of(repeats, astropy_first)[0] if fits else None)

    small = numbered_header(PARSE_CARDS)
    keys = [f"K{i:07d}" for i in range(PARSE_CARDS)]
    copy_small = best_of(repeats * 4, lambda: bytearray(small))[0]

    def ours_parse():
        h = vexlo.Header.frombytes(small)
        return [h[k] for k in keys]

    def astropy_parse():
        h = fits.Header.fromstring(small.decode("ascii"))
        return [h[k] for k in keys]

    assert ours_parse()[:3] == [0, 0.25, True]
    row(f"{PARSE_CARDS}-card header: parse + read every value", best_of(repeats, ours_parse)[0],
        copy_small, astropy=best_of(repeats, astropy_parse)[0] if fits else None)
    print()


def card_values(count):
    """Keyword, value and comment of `count` cards of mixed kinds (long strings included)."""
    kinds = [
        lambda i: i * 7919 - 3_000_000,
        lambda i: i * 0.1 + 1e-7,
        lambda i: i % 3 == 0,
        lambda i: f"object {i}",
        lambda i: complex(i, -i),
        lambda i: "long " * (20 + i % 10),
        lambda i: None,
    ]
    for i in range(count):
        key = f"K{i:07d}"
        comment = f"comment of card {i}" if i % 2 else None
        yield key, kinds[i % len(kinds)](i), comment


def best_of(repeats, step):
    best = float("inf")
    result = None
    for _ in range(repeats):
        start = time.perf_counter()
        result = step()
        best = min(best, time.perf_counter() - start)
    return best, result


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 5000
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    issue_rows(repeats)
    cards = list(card_values(count))

    def build():
        h = vexlo.Header()
        for key, value, comment in cards:
            h[key] = (value, comment) if comment is not None else value
        return h

    def build_with_set():
        h = vexlo.Header()
        for key, value, comment in cards:
            h.set(key, value, comment)
        return h

    def build_from_dict():
        return vexlo.Header({key: (value, comment) for key, value, comment in cards})

    elapsed = {}
    elapsed["build (item assignment)"], header = best_of(repeats, build)
    elapsed["build (Header.set)"], _ = best_of(repeats, build_with_set)
    elapsed["build (Header(dict))"], _ = best_of(repeats, build_from_dict)
    elapsed["serialise (bytes)"], data = best_of(repeats, lambda: bytes(header))
    elapsed["serialise (tostring)"], _ = best_of(repeats, header.tostring)
    elapsed["parse strict (frombytes)"], parsed = best_of(
        repeats, lambda: vexlo.Header.frombytes(data, lenient=False)
    )
    elapsed["parse lenient (frombytes)"], _ = best_of(
        repeats, lambda: vexlo.Header.frombytes(data, lenient=True)
    )
    elapsed["read all (items)"], _ = best_of(repeats, parsed.items)
    elapsed["read all (get per key)"], _ = best_of(
        repeats, lambda: [parsed.get(key) for key, _, _ in cards]
    )
    elapsed["read all (item per key)"], _ = best_of(
        repeats, lambda: [parsed[key] for key, _, _ in cards]
    )
    assert len(parsed) == count and parsed.keys() == header.keys()

    print(f"vexlo.Header, {count} cards, {len(data)} bytes, best of {repeats}")
    for step, seconds in elapsed.items():
        print(f"  {step:28s} {count / seconds:14,.0f} cards/s  ({seconds * 1e3:8.2f} ms)")


if __name__ == "__main__":
    main()

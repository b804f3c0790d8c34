"""Headers through the Python API. First the rows compared with astropy (where installed):
1000 inserts or deletes in a header of 100k cards, and parsing a 2000-card header and reading
every value. Then the throughput of building a header of a few thousand cards, serialising
it, parsing it back and reading every card, in cards per second.

    PYTHONPATH=<build>/python python3 bench/header.py [cards] [repeats]

There is no floor for these rows (no pixels to read): the floor column shows '-'.
"""

import sys
import time

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


def edit(h, edits):
    """Alternately inserts a new card at a spread-out position and deletes an existing one."""
    for n in range(edits):
        if n % 2 == 0:
            h.insert((n * 7919) % EDIT_CARDS, f"N{n:07d}", n)
        else:
            del h[f"K{(n * 104729) % EDIT_CARDS:07d}"]


def per_edit(make, edits, repeats):
    best = float("inf")
    for _ in range(repeats):
        h = make()
        start = time.perf_counter()
        edit(h, edits)
        best = min(best, time.perf_counter() - start)
    return best / edits


def issue_rows(repeats):
    _, fits = peers()
    big = numbered_header(EDIT_CARDS)
    print(f"best of {repeats}; times per edit and per parse + read")
    table_head()
    ours = per_edit(lambda: vexlo.Header.frombytes(big), EDITS, repeats)
    theirs = None
    if fits:
        text = big.decode("ascii")
        theirs = per_edit(lambda: fits.Header.fromstring(text), ASTROPY_EDITS, 1)
    row(f"header of {EDIT_CARDS // 1000}k cards: {EDITS} inserts or deletes (per edit)", ours,
        astropy=theirs, unit="us")

    small = numbered_header(PARSE_CARDS)
    keys = [f"K{i:07d}" for i in range(PARSE_CARDS)]

    def ours_parse():
        h = vexlo.Header.frombytes(small)
        return [h[k] for k in keys]

    def astropy_parse():
        h = fits.Header.fromstring(small.decode("ascii"))
        return [h[k] for k in keys]

    assert ours_parse()[:3] == [0, 0.25, True]
    row(f"{PARSE_CARDS}-card header: parse + read every value", best_of(repeats, ours_parse)[0],
        astropy=best_of(repeats, astropy_parse)[0] if fits else None)
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

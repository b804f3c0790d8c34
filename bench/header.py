"""Throughput of vexlo.Header through the Python API: build a header of a few thousand cards,
serialise it, parse it back, and read every card. Prints cards per second for each step.

    PYTHONPATH=<build>/python python3 bench/header.py [cards] [repeats]
"""

import sys
import time

import vexlo


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

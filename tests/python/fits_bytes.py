"""Small FITS files assembled byte by byte, for tests that need layouts the fixtures lack.

Only the standard's block structure is built here: 80-character cards, 2880-byte blocks,
big-endian data. Nothing of vexlo is used, so the files test the reader independently.
"""

import numpy as np

BLOCK = 2880


def card(key, value=None, comment=None):
    """One 80-character card; strings are quoted, bools become T/F."""
    if value is None:
        text = f"{key:<8}"
    else:
        if isinstance(value, bool):
            rendered = f"{'T' if value else 'F':>20}"
        elif isinstance(value, str):
            quoted = "'" + value.replace("'", "''").ljust(8) + "'"
            rendered = f"{quoted:<20}"
        elif isinstance(value, float):
            rendered = f"{value!r:>20}".replace("e", "E")
        else:
            rendered = f"{value:>20}"
        text = f"{key:<8}= {rendered}"
        if comment is not None:
            text += f" / {comment}"
    assert len(text) <= 80, text
    return text.ljust(80)


def header_bytes(cards):
    text = "".join(cards) + "END".ljust(80)
    pad = -len(text) % BLOCK
    return (text + " " * pad).encode("ascii")


def padded(data, fill=b"\0"):
    return data + fill * (-len(data) % BLOCK)


def primary_hdu():
    return header_bytes(
        [card("SIMPLE", True), card("BITPIX", 8), card("NAXIS", 0), card("EXTEND", True)]
    )


class Col:
    """A binary-table column: TTYPE (None leaves it out), TFORM, the cells as an array whose
    first axis is the row (big-endian dtype), and extra cards (TDIM, TNULL, TSCAL, ...)."""

    def __init__(self, name, form, values, **cards):
        self.name = name
        self.form = form
        self.values = np.asarray(values)
        self.cards = cards


def bintable_hdu(cols, nrows, heap=b"", extname=None, extra=()):
    """Header and data of a BINTABLE; the row bytes are the columns' cells side by side."""
    rows = [b""] * nrows
    for col in cols:
        cells = col.values.reshape(nrows, -1) if nrows else col.values
        for r in range(nrows):
            rows[r] += cells[r].tobytes()
    width = len(rows[0]) if nrows else sum(
        c.values.dtype.itemsize * int(np.prod(c.values.shape[1:])) for c in cols
    )
    cards = [
        card("XTENSION", "BINTABLE"),
        card("BITPIX", 8),
        card("NAXIS", 2),
        card("NAXIS1", width),
        card("NAXIS2", nrows),
        card("PCOUNT", len(heap)),
        card("GCOUNT", 1),
        card("TFIELDS", len(cols)),
    ]
    for n, col in enumerate(cols, start=1):
        if col.name is not None:
            cards.append(card(f"TTYPE{n}", col.name))
        cards.append(card(f"TFORM{n}", col.form))
        for key, value in col.cards.items():
            cards.append(card(f"{key.upper()}{n}", value))
    if extname is not None:
        cards.append(card("EXTNAME", extname))
    cards.extend(extra)
    return header_bytes(cards) + padded(b"".join(rows) + heap)


def ascii_table_hdu(fields, rows, extname=None):
    """An ASCII TABLE. `fields` holds (name, tform, width, extra cards) per column, laid out
    side by side from byte 1; `rows` holds each row's text, exactly NAXIS1 characters."""
    width = sum(f[2] for f in fields)
    cards = [
        card("XTENSION", "TABLE"),
        card("BITPIX", 8),
        card("NAXIS", 2),
        card("NAXIS1", width),
        card("NAXIS2", len(rows)),
        card("PCOUNT", 0),
        card("GCOUNT", 1),
        card("TFIELDS", len(fields)),
    ]
    start = 1
    for n, (name, form, w, extra) in enumerate(fields, start=1):
        cards.append(card(f"TTYPE{n}", name))
        cards.append(card(f"TFORM{n}", form))
        cards.append(card(f"TBCOL{n}", start))
        for key, value in extra.items():
            cards.append(card(f"{key.upper()}{n}", value))
        start += w
    if extname is not None:
        cards.append(card("EXTNAME", extname))
    data = "".join(rows)
    assert len(data) == width * len(rows)
    return header_bytes(cards) + padded(data.encode("ascii"), b" ")


def write_file(path, *hdus):
    """A primary HDU without data followed by the given extension HDUs."""
    path.write_bytes(primary_hdu() + b"".join(hdus))
    return path

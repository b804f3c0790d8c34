"""An independent reader for the files the writing tests produce: HDUs split by the block
rules of the standard, card values parsed by hand, data decoded with NumPy, checksums summed
here. Nothing of vexlo is used, so a file that passes is readable without vexlo.
"""

import re
import shutil
import subprocess

import numpy as np
import pytest

BLOCK = 2880
BITPIX_DTYPE = {8: ">u1", 16: ">i2", 32: ">i4", 64: ">i8", -32: ">f4", -64: ">f8"}
TFORM_DTYPE = {"L": "S1", "B": ">u1", "I": ">i2", "J": ">i4", "K": ">i8", "E": ">f4",
               "D": ">f8", "M": ">c16", "A": "S1"}


def parse_value(field):
    """The value of a card's value field (columns 11-80) and its comment."""
    text = field.lstrip()
    if text.startswith("'"):
        i, out = 1, []
        while True:
            j = text.index("'", i)
            out.append(text[i:j])
            if text[j + 1:j + 2] == "'":
                out.append("'")
                i = j + 2
                continue
            rest = text[j + 1:]
            break
        value = "".join(out).rstrip()
    else:
        raw, _, rest = text.partition("/")
        raw = raw.strip()
        rest = "/" + rest if _ else ""
        if raw in ("T", "F"):
            value = raw == "T"
        elif raw == "":
            value = None
        elif re.fullmatch(r"[+-]?\d+", raw):
            value = int(raw)
        else:
            value = float(raw.replace("D", "E"))
        rest = rest if rest else ""
    rest = rest.strip()
    comment = rest[1:].strip() if rest.startswith("/") else None
    return value, comment


class Hdu:
    def __init__(self, cards, header_bytes, data, padded):
        self.cards = cards  # 80-character strings, END excluded
        self.header_bytes = header_bytes
        self.data = data  # unpadded data section
        self.padded = padded  # data section with its fill

    def entries(self):
        """(keyword, value, comment) of every value card, in order."""
        out = []
        for c in self.cards:
            if c[8:10] == "= ":
                value, comment = parse_value(c[10:])
                out.append((c[:8].rstrip(), value, comment))
        return out

    def keywords(self):
        return [c[:8].rstrip() for c in self.cards]

    def all(self, key):
        return [v for k, v, _ in self.entries() if k == key]

    def __getitem__(self, key):
        values = self.all(key)
        if not values:
            raise KeyError(key)
        return values[0]

    def get(self, key, default=None):
        values = self.all(key)
        return values[0] if values else default

    def comment(self, key):
        for k, _, c in self.entries():
            if k == key:
                return c
        raise KeyError(key)

    def stored_image(self):
        """The image's stored values as a big-endian array in NumPy axis order."""
        axes = [self[f"NAXIS{i}"] for i in range(1, self["NAXIS"] + 1)]
        dtype = np.dtype(BITPIX_DTYPE[self["BITPIX"]])
        count = int(np.prod(axes)) if axes else 0
        return np.frombuffer(self.data, dtype=dtype, count=count).reshape(axes[::-1])

    def columns(self):
        """Binary-table columns decoded by TFORM: name -> list of cell values per row."""
        width, rows = self["NAXIS1"], self["NAXIS2"]
        heap_start = self.get("THEAP", width * rows)
        heap = self.data[heap_start:]
        out, offset = {}, 0
        for n in range(1, self["TFIELDS"] + 1):
            form = self[f"TFORM{n}"]
            m = re.fullmatch(r"(\d*)([LXBIJKAEDCMPQ])([A-Z]?)(\(\d+\))?", form)
            repeat = int(m.group(1) or 1)
            code = m.group(2)
            cells = []
            for r in range(rows):
                start = r * width + offset
                if code == "P":
                    count, at = np.frombuffer(self.data, ">i4", 2, start)
                    elem = np.dtype(TFORM_DTYPE[m.group(3)])
                    cells.append(np.frombuffer(heap, elem, int(count), int(at)))
                elif code == "A":
                    cells.append(self.data[start:start + repeat].decode("ascii"))
                else:
                    dtype = np.dtype(TFORM_DTYPE[code])
                    cells.append(np.frombuffer(self.data, dtype, repeat, start))
            size = 8 if code == "P" else repeat * np.dtype(TFORM_DTYPE[code]).itemsize
            offset += size
            out[self.get(f"TTYPE{n}")] = cells
        assert offset == width
        return out

    def ascii_fields(self):
        """ASCII-table fields: name -> list of raw field texts per row."""
        width, rows = self["NAXIS1"], self["NAXIS2"]
        out = {}
        for n in range(1, self["TFIELDS"] + 1):
            start = self[f"TBCOL{n}"] - 1
            w = int(re.match(r"[AIFED](\d+)", self[f"TFORM{n}"]).group(1))
            out[self[f"TTYPE{n}"]] = [
                self.data[r * width + start:r * width + start + w].decode("ascii")
                for r in range(rows)
            ]
        return out


def data_size(hdu_cards_entries):
    get = dict((k, v) for k, v, _ in reversed(hdu_cards_entries))
    naxis = get["NAXIS"]
    if naxis == 0:
        return 0
    size = 1
    for i in range(1, naxis + 1):
        size *= get[f"NAXIS{i}"]
    return abs(get["BITPIX"]) // 8 * get.get("GCOUNT", 1) * (get.get("PCOUNT", 0) + size)


def split(raw):
    """The HDUs of a file's bytes; asserts the block structure on the way."""
    assert len(raw) % BLOCK == 0, len(raw)
    hdus, pos = [], 0
    while pos < len(raw):
        cards = []
        while True:
            card = raw[pos:pos + 80].decode("ascii")
            assert len(card) == 80
            pos += 80
            if card.rstrip() == "END":
                break
            cards.append(card)
        header_start = pos - 80 * (len(cards) + 1)
        pos += -pos % BLOCK
        header_bytes = raw[header_start:pos]
        probe = Hdu(cards, header_bytes, b"", b"")
        size = data_size(probe.entries())
        padded_size = size + (-size % BLOCK)
        padded = raw[pos:pos + padded_size]
        assert len(padded) == padded_size
        hdus.append(Hdu(cards, header_bytes, padded[:size], padded))
        pos += padded_size
    return hdus


def read(path):
    with open(path, "rb") as f:
        return split(f.read())


def ones_complement_sum(data):
    """The 32-bit ones'-complement sum of big-endian words (end-around carry)."""
    words = np.frombuffer(data, dtype=">u4").astype(np.uint64)
    total = int(words.sum(dtype=np.uint64)) if len(words) else 0
    while total >> 32:
        total = (total & 0xFFFFFFFF) + (total >> 32)
    return total


def checksums_verify(hdu):
    """DATASUM equals the sum of the padded data; header plus data sum to all ones."""
    datasum = ones_complement_sum(hdu.padded)
    assert hdu["DATASUM"] == str(datasum)
    whole = ones_complement_sum(hdu.header_bytes + hdu.padded)
    return whole == 0xFFFFFFFF


def fitsverify(path):
    """Runs Debian's fitsverify over a file and requires no errors (skips without it)."""
    exe = shutil.which("fitsverify")
    if exe is None:
        pytest.skip("fitsverify is not installed")
    done = subprocess.run([exe, "-q", str(path)], capture_output=True, text=True, timeout=120)
    line = done.stdout.strip()
    if "verification OK" in line:
        return
    m = re.search(r"(\d+) errors", line)
    assert m is not None and int(m.group(1)) == 0, line + done.stderr

"""FitsFile.verify_checksums(): CHECKSUM and DATASUM of every HDU as stored on disk."""

import gzip
import shutil
from pathlib import Path

import numpy as np
import pytest

import vexlo
from fits_bytes import BLOCK, card, header_bytes, padded, primary_hdu

FIXTURE = Path(__file__).resolve().parents[1] / "data" / "header_checksum.fits"
IMAGES = Path(__file__).resolve().parents[1] / "data" / "images.fits"


def row(hdu, checksum, datasum):
    return {"hdu": hdu, "checksum_ok": checksum, "datasum_ok": datasum}


def ones_complement_sum(data):
    """The 32-bit ones'-complement sum of big-endian words (data padded to whole words)."""
    words = np.frombuffer(data + b"\0" * (-len(data) % 4), ">u4").astype(np.uint64)
    total = int(words.sum())
    while total >> 32:
        total = (total & 0xFFFFFFFF) + (total >> 32)
    return total


def changed(src, dst, offset):
    raw = bytearray(src.read_bytes())
    raw[offset] ^= 0x01
    dst.write_bytes(bytes(raw))
    return dst


def verify(path):
    f = vexlo.open(path)
    try:
        return f.verify_checksums()
    finally:
        f.close()


def test_interop_fixture_verifies():
    result = verify(FIXTURE)
    assert result == [row(0, True, True)]
    assert list(result[0]) == ["hdu", "checksum_ok", "datasum_ok"]
    assert type(result[0]["hdu"]) is int
    assert result[0]["checksum_ok"] is True and result[0]["datasum_ok"] is True


def test_changed_data_byte_fails_both(tmp_path):
    path = changed(FIXTURE, tmp_path / "d.fits", BLOCK + 5)
    assert verify(path) == [row(0, False, False)]


def test_changed_header_byte_fails_checksum_only(tmp_path):
    raw = FIXTURE.read_bytes()
    at = raw.index(b"first history line") + 6
    path = changed(FIXTURE, tmp_path / "h.fits", at)
    assert verify(path) == [row(0, False, True)]


def test_changed_fill_byte_counts(tmp_path):
    # The sums cover the padding that completes the last data block.
    path = changed(FIXTURE, tmp_path / "p.fits", 2 * BLOCK - 1)
    assert verify(path) == [row(0, False, False)]


def test_gzip_file_verifies(tmp_path):
    path = tmp_path / "c.fits.gz"
    with open(FIXTURE, "rb") as src, gzip.open(path, "wb") as dst:
        shutil.copyfileobj(src, dst)
    assert verify(path) == [row(0, True, True)]


def test_files_without_cards_give_none():
    f = vexlo.open(IMAGES)
    result = f.verify_checksums()
    assert result == [row(i, None, None) for i in range(len(f))]


def image_with(cards, data):
    head = [card("XTENSION", "IMAGE"), card("BITPIX", 8), card("NAXIS", 1),
            card("NAXIS1", len(data)), card("PCOUNT", 0), card("GCOUNT", 1)]
    return header_bytes(head + cards) + padded(data)


def test_single_cards(tmp_path):
    data = bytes(range(1, 40))
    good = str(ones_complement_sum(padded(data)))
    wrong = str(ones_complement_sum(padded(data)) + 1)
    path = tmp_path / "s.fits"
    path.write_bytes(
        primary_hdu()
        + image_with([card("DATASUM", good)], data)
        + image_with([card("DATASUM", wrong)], data)
        + image_with([card("CHECKSUM", "AAAAAAAAAAAAAAAA")], data)
        + image_with([card("DATASUM", "0")], b"")
    )
    assert verify(path) == [
        row(0, None, None),
        row(1, None, True),
        row(2, None, False),
        row(3, False, None),
        row(4, None, True),
    ]


def test_written_with_checksums(tmp_path):
    path = tmp_path / "w.fits"
    vexlo.write(
        path,
        [
            vexlo.image(np.arange(12, dtype=np.int16).reshape(3, 4)),
            vexlo.image(np.linspace(0, 1, 5), primary=False),
            vexlo.bintable({"a": np.arange(3, dtype=np.int32)}),
        ],
        checksums=True,
    )
    assert verify(path) == [row(0, True, True), row(1, True, True), row(2, True, True)]

    # One data byte of the second HDU: only that HDU fails.
    raw = path.read_bytes()
    assert raw[2 * BLOCK : 2 * BLOCK + 8] == b"XTENSION"
    bad = changed(path, tmp_path / "bad.fits", 3 * BLOCK + 2)
    assert verify(bad) == [row(0, True, True), row(1, False, False), row(2, True, True)]


def test_written_without_checksums_and_prepended_primary(tmp_path):
    plain = tmp_path / "plain.fits"
    vexlo.write(plain, [vexlo.image(np.zeros(3, np.uint8))])
    assert verify(plain) == [row(0, None, None)]
    table = tmp_path / "t.fits"
    vexlo.write(table, [vexlo.bintable({"x": np.arange(2.0)})], checksums=True)
    assert verify(table) == [row(0, True, True), row(1, True, True)]


def test_reports_the_file_on_disk(tmp_path):
    path = tmp_path / "d.fits"
    shutil.copy(FIXTURE, path)
    f = vexlo.open(path)
    hdu = f[0]
    hdu.data = np.zeros((2, 2), np.float32)
    assert f.verify_checksums() == [row(0, True, True)]
    # The scanned file is what is verified: a change on disk after opening shows.
    raw = bytearray(path.read_bytes())
    raw[BLOCK] ^= 0x80
    path.write_bytes(bytes(raw))
    assert f.verify_checksums() == [row(0, False, False)]


def test_read_failure_is_a_fits_error(tmp_path):
    path = tmp_path / "cut.fits"
    vexlo.write(path, [vexlo.image(np.arange(3000.0))], checksums=True)
    f = vexlo.open(path)
    # Shortened after opening: the data section is no longer all there.
    with open(path, "r+b") as out:
        out.truncate(3 * BLOCK)
    with pytest.raises(vexlo.FitsError) as info:
        f.verify_checksums()
    assert info.value.args == (
        "i/o error: pread reached EOF before filling buffer (file truncated?)",
    )


def test_without_a_file():
    with pytest.raises(ValueError) as info:
        vexlo.FitsFile().verify_checksums()
    assert info.value.args == ("FitsFile.verify_checksums: file already closed",)
    f = vexlo.open(FIXTURE)
    f.close()
    with pytest.raises(ValueError) as info:
        f.verify_checksums()
    assert info.value.args == ("FitsFile.verify_checksums: file already closed",)


def test_method_signature():
    assert vexlo.FitsFile.verify_checksums.__text_signature__ == "($self)"
    f = vexlo.open(FIXTURE)
    with pytest.raises(TypeError) as info:
        f.verify_checksums(1)
    assert info.value.args == (
        "FitsFile.verify_checksums() takes 0 positional arguments but 1 was given",
    )

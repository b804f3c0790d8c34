"""In-place pixel patches of an HDU that carries CHECKSUM or DATASUM: the flush that makes the
patch durable writes fresh values into those cards where they stand, so the file never claims
sums its bytes contradict, and nothing else of it moves."""

import os

import numpy as np
import pytest

import vexlo
from fits_read import checksums_verify, fitsverify, ones_complement_sum, read


def written(path, *arrays):
    vexlo.write(str(path), [vexlo.image(a, primary=i == 0) for i, a in enumerate(arrays)],
                checksums=True)
    return path


def by_astropy(path, *arrays):
    fits = pytest.importorskip("astropy.io.fits")
    hdus = [fits.PrimaryHDU(arrays[0])] + [fits.ImageHDU(a) for a in arrays[1:]]
    fits.HDUList(hdus).writeto(path, checksum=True)
    return path


def drop_card(path, key):
    """Renames the first card of `key` (the HDU's other sums then no longer hold)."""
    raw = bytearray(path.read_bytes())
    at = raw.index(key.ljust(8).encode() + b"=")
    raw[at:at + 8] = b"OLDSUM  "
    path.write_bytes(bytes(raw))
    return path


def corner(f):
    f[0].section[0:2, 0:2] = 7


def unaligned_bytes(f):
    # Single bytes and short runs inside 32-bit words, across two rows.
    f[0].section[1, 1:4] = [250, 1, 2]
    f[0].section[2, 5] = 9


def to_all_zeros(f):
    # The data's sum becomes 0, which only a read of the data can tell from 2**32 - 1.
    f[0].section[0, 0] = 0


def from_all_zeros(f):
    f[0].section[3, 2] = -1


def patch_flush_patch(f):
    f[0].section[0, 0:3] = [1, 2, 3]
    f.flush()
    f[0].section[2, 1:3] = [4, 5]


def extension_only(f):
    f[1].section[1, 0:2] = [0.5, -2.25]


def exit_by_exception(f):
    f[0].section[2, 0:2] = [11, 12]
    raise KeyError("leaving")


CASES = [
    # (name, file maker, patch, HDU patched)
    ("corner", lambda p: written(p, np.arange(20, dtype="i2").reshape(4, 5)), corner, 0),
    ("bytes", lambda p: written(p, np.arange(21, dtype="u1").reshape(3, 7)), unaligned_bytes, 0),
    ("to zeros", lambda p: written(p, np.eye(1, 6, dtype="i4")), to_all_zeros, 0),
    ("from zeros", lambda p: written(p, np.zeros((4, 3), "i8")), from_all_zeros, 0),
    ("flush between", lambda p: written(p, np.ones((3, 4), "u2")), patch_flush_patch, 0),
    ("extension", lambda p: written(p, np.zeros(3, "f4"), np.ones((2, 3), "f8")),
     extension_only, 1),
    ("astropy", lambda p: by_astropy(p, np.arange(20, dtype="f4").reshape(4, 5)), corner, 0),
    ("astropy extension", lambda p: by_astropy(p, np.zeros(2, "i2"), np.ones((3, 3), "f8")),
     extension_only, 1),
    ("exception", lambda p: written(p, np.arange(12, dtype="i2").reshape(3, 4)),
     exit_by_exception, 0),
]


@pytest.mark.parametrize("make, patch, ext", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_patch_restamps_the_cards_in_place(tmp_path, make, patch, ext):
    p = make(tmp_path / "a.fits")
    before = read(p)
    inode = os.stat(p).st_ino
    with pytest.raises(KeyError) if patch is exit_by_exception else _nothing():
        with vexlo.open(str(p), mode="update") as f:
            patch(f)
    assert os.stat(p).st_ino == inode  # patched, never rewritten
    after = read(p)
    for i, (old, new) in enumerate(zip(before, after)):
        # Only the two cards of the patched HDU changed, and nothing moved.
        changed = [k for k, (a, b) in enumerate(zip(old.cards, new.cards)) if a != b]
        assert len(new.header_bytes) == len(old.header_bytes)
        assert sorted(new.cards[k][:8] for k in changed) == (
            ["CHECKSUM", "DATASUM "] if i == ext else [])
        assert checksums_verify(new)
    g = vexlo.open(str(p))
    assert g.verify_checksums() == [
        {"hdu": i, "checksum_ok": True, "datasum_ok": True} for i in range(len(after))]
    expected = [g[i].data for i in range(len(g))]
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(p, checksum=True) as hdus:
        hdus.verify("exception")
        for hdu, want in zip(hdus, expected):
            assert hdu._checksum_valid and hdu._datasum_valid
            np.testing.assert_array_equal(hdu.data, want)
    fitsio = pytest.importorskip("fitsio")
    np.testing.assert_array_equal(fitsio.read(str(p), ext=ext), expected[ext])
    fitsverify(p)


class _nothing:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


@pytest.mark.parametrize("kept, gone", [("CHECKSUM", "DATASUM"), ("DATASUM", "CHECKSUM")])
def test_a_single_card_is_restamped_from_the_data(tmp_path, kept, gone):
    p = drop_card(written(tmp_path / "a.fits", np.arange(12, dtype="i2").reshape(3, 4)), gone)
    with vexlo.open(str(p), mode="update") as f:
        corner(f)
    status = vexlo.open(str(p)).verify_checksums()[0]
    assert status[kept.lower() + "_ok"] is True and status[gone.lower() + "_ok"] is None
    hdu = read(p)[0]
    if kept == "CHECKSUM":
        assert ones_complement_sum(hdu.header_bytes + hdu.padded) == 0xFFFFFFFF
    else:
        assert hdu["DATASUM"] == str(ones_complement_sum(hdu.padded))
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(p) as hdus:
        hdus.verify("exception")
        assert hdus[0].data[:2, :2].tolist() == [[7, 7], [7, 7]]
    fitsverify(p)


def unreadable_datasum(path):
    """Replaces the DATASUM value with text that is no sum, so only the data can tell it."""
    raw = bytearray(path.read_bytes())
    at = raw.index(b"DATASUM =")
    raw[at + 10:at + 30] = b"'not a sum'".ljust(20)
    path.write_bytes(bytes(raw))
    return path


@pytest.mark.parametrize("spoil, has_datasum",
                         [(lambda p: drop_card(p, "DATASUM"), False), (unreadable_datasum, True)],
                         ids=["renamed", "unreadable"])
def test_data_sum_read_back_covers_every_chunk_of_a_large_image(tmp_path, spoil, has_datasum):
    # Without a usable DATASUM the patch sums the data from the file again, in chunks: an
    # image of a few MiB takes several, and every one of them counts.
    image = np.random.default_rng(5).integers(-30000, 30000, (1100, 1100), dtype="i2")
    p = spoil(written(tmp_path / "a.fits", image))
    with vexlo.open(str(p), mode="update") as f:
        f[0].section[1000:1002, 3:6] = [[1, 2, 3], [4, 5, 6]]
    image[1000:1002, 3:6] = [[1, 2, 3], [4, 5, 6]]
    assert vexlo.open(str(p)).verify_checksums() == [
        {"hdu": 0, "checksum_ok": True, "datasum_ok": True if has_datasum else None}]
    hdu = read(p)[0]
    assert ones_complement_sum(hdu.header_bytes + hdu.padded) == 0xFFFFFFFF
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(p, checksum=has_datasum) as hdus:
        hdus.verify("exception")
        # astropy judges a CHECKSUM card standing without DATASUM by a rule of its own (it
        # refuses such a card that it stamped itself), so it is asked only where both stand.
        if has_datasum:
            assert hdus[0]._checksum_valid and hdus[0]._datasum_valid
        np.testing.assert_array_equal(hdus[0].data, image)
    fitsverify(p)


def test_hdus_without_cards_stay_without(tmp_path):
    p = tmp_path / "a.fits"
    vexlo.write(str(p), [vexlo.image(np.zeros((2, 2), "i2"))])
    before = p.read_bytes()
    with vexlo.open(str(p), mode="update") as f:
        corner(f)
    after = p.read_bytes()
    assert after[:2880] == before[:2880] and b"CHECKSUM" not in after


def test_verify_after_a_flush_sees_the_restamped_cards(tmp_path):
    p = written(tmp_path / "a.fits", np.arange(12, dtype="i2").reshape(3, 4))
    with vexlo.open(str(p), mode="update") as f:
        f[0].section[0, 0] = 5
        f.flush()
        assert f.verify_checksums() == [{"hdu": 0, "checksum_ok": True, "datasum_ok": True}]

"""A binary table whose cells cannot be decoded fails when its HDU is looked up, with the error
of its first failing column and row, whichever column is bad; a sound table hands out new
objects on every access."""

import numpy as np
import pytest

import vexlo
from fits_bytes import Col, bintable_hdu, write_file


def be(values, dtype):
    return np.asarray(values, dtype=np.dtype(dtype).newbyteorder(">"))


def descriptors(pairs):
    return be(pairs, "i4").reshape(-1, 2)


GOOD_J = Col("J", "J", be([1, 2, 3], "i4"))

BAD_TABLES = {
    "logical": (
        [GOOD_J, Col("L", "L", np.frombuffer(b"TFX", "u1"))],
        b"",
        "BINTABLE col 2: invalid L byte 0x58",
    ),
    "repeated logical": (
        [GOOD_J, Col("L", "2L", np.frombuffer(b"TFFT\x01T", "u1").reshape(3, 2))],
        b"",
        "BINTABLE col 2: invalid L byte 0x01",
    ),
    "descriptor outside the heap": (
        [Col("V", "1PJ(4)", descriptors([(1, 0), (2, 4), (2, 8)])), GOOD_J],
        be([7, 8, 9], "i4").tobytes(),
        r"BINTABLE col 1: P/Q descriptor \(n=2, off=8\) escapes heap \(len=12\)",
    ),
    "logical array in the heap": (
        [GOOD_J, Col("V", "1PL(2)", descriptors([(2, 0), (1, 2), (2, 1)]))],
        b"TF?",
        "BINTABLE col 2: invalid L byte 0x3f",
    ),
    "text": (
        [GOOD_J, Col("S", "2A", np.array([b"ok", b"\xff\xfe", b"no"], "S2"))],
        b"",
        "BINTABLE col 2: A field is not valid UTF-8",
    ),
}


@pytest.mark.parametrize("case", sorted(BAD_TABLES))
def test_a_cell_that_cannot_be_decoded_fails_the_lookup(tmp_path, case):
    cols, heap, message = BAD_TABLES[case]
    path = write_file(tmp_path / "bad.fits", bintable_hdu(cols, 3, heap=heap))
    f = vexlo.open(str(path))
    for _ in range(2):
        with pytest.raises(vexlo.FitsError, match=message):
            f[1]


def test_descriptors_sharing_one_heap_array_read_alike(tmp_path):
    heap = be(np.arange(1000), "i4").tobytes()
    path = write_file(
        tmp_path / "alias.fits",
        bintable_hdu([Col("V", "1PJ(1000)", descriptors([(1000, 0)] * 4))], 4, heap=heap),
    )
    column = vexlo.open(str(path))[1]["V"]
    assert len(column) == 4
    for cell in column:
        assert cell.dtype == np.dtype("int64") and cell.tolist() == list(range(1000))


def test_every_access_returns_new_objects(tmp_path):
    path = write_file(
        tmp_path / "t.fits",
        bintable_hdu(
            [
                Col("D", "D", be([0.5, 1.5], "f8")),
                Col("J", "J", be([1, -9], "i4"), tnull=-9),
                Col("S", "3A", np.array([b"ab", b"cd"], "S3")),
                Col("V", "2E", be([[1, 2], [3, 4]], "f4")),
            ],
            2,
        ),
    )
    t = vexlo.open(str(path))[1]
    for name in ("D", "J", "S", "V"):
        a, b = t[name], t[name]
        assert a is not b
        if isinstance(a, list):
            a.append(None)
            assert len(t[name]) == 2
            assert a[0] is not b[0]
        else:
            assert not np.shares_memory(a, b)
    assert t["J"].mask.tolist() == [False, True]


def test_to_dict_matches_each_column_read_alone(tmp_path):
    # Long enough for several blocks of rows; nulls only in the first block of one column.
    n = 9_000
    ids = np.arange(n, dtype=">i4")
    ids[7] = -1
    path = write_file(
        tmp_path / "t.fits",
        bintable_hdu(
            [
                Col("ID", "J", ids, tnull=-1),
                Col("E", "E", (np.arange(n) / 8).astype(">f4")),
                Col("S", "I", np.arange(n, dtype=">i2"), tscal=0.5, tzero=-2.0),
                Col("K", "K", (np.arange(n) * 3).astype(">i8"), tnull=-1),
                Col("ID", "B", np.zeros(n, "u1")),
            ],
            n,
        ),
    )
    t = vexlo.open(str(path))[1]
    whole = t.to_dict()
    assert list(whole) == ["ID", "E", "S", "K"]
    assert whole["ID"].mask.tolist() == t["ID"].mask.tolist() and whole["ID"].mask.sum() == 1
    for name in whole:
        assert whole[name].dtype == t[name].dtype
        assert whole[name].tolist() == t[name].tolist()
        assert not whole[name].flags.writeable
    assert not hasattr(whole["K"], "mask")

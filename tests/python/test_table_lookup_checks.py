"""A binary table whose cells cannot be decoded fails when its HDU is looked up, with the error
of its first failing column and row, whichever column is bad; a sound table hands out new
objects on every access."""

import numpy as np
import pytest

import vexlo
from fits_bytes import Col, bintable_hdu, write_file
from hooks import split_passes  # noqa: F401  (a fixture)


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


@pytest.mark.usefixtures("split_passes")
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


@pytest.mark.usefixtures("split_passes")
def test_to_dict_matches_each_column_read_alone(tmp_path):
    # Long enough for several blocks of rows; one column with a null only in its first
    # rows, one only in its last rows (the first and the last range of a split pass).
    n = 9_000
    ids = np.arange(n, dtype=">i4")
    ids[7] = -1
    late = np.arange(n, dtype=">i4")
    late[n - 3] = -7
    path = write_file(
        tmp_path / "t.fits",
        bintable_hdu(
            [
                Col("ID", "J", ids, tnull=-1),
                Col("E", "E", (np.arange(n) / 8).astype(">f4")),
                Col("S", "I", np.arange(n, dtype=">i2"), tscal=0.5, tzero=-2.0),
                Col("K", "K", (np.arange(n) * 3).astype(">i8"), tnull=-1),
                Col("ID", "B", np.zeros(n, "u1")),
                Col("N", "J", late, tnull=-7),
            ],
            n,
        ),
    )
    t = vexlo.open(str(path))[1]
    whole = t.to_dict()
    assert list(whole) == ["ID", "E", "S", "K", "N"]
    assert whole["ID"].mask.tolist() == t["ID"].mask.tolist() and whole["ID"].mask.sum() == 1
    assert np.flatnonzero(whole["N"].mask).tolist() == [n - 3]
    assert whole["N"].mask.tolist() == t["N"].mask.tolist()
    for name in whole:
        assert whole[name].dtype == t[name].dtype
        assert whole[name].tolist() == t[name].tolist()
        assert not whole[name].flags.writeable
    assert not hasattr(whole["K"], "mask")


def same_entry(a, b):
    if isinstance(a, np.ndarray):
        return (
            type(a) is type(b)
            and a.dtype == b.dtype
            and a.shape == b.shape
            and np.array_equal(np.ma.getdata(a), np.ma.getdata(b), equal_nan=True)
            and np.ma.getmaskarray(a).tolist() == np.ma.getmaskarray(b).tolist()
        )
    return a == b


def test_array_columns_read_whole_as_row_by_row(tmp_path):
    # Whole array columns are built without decoded cells; each row must equal that row read
    # on its own, in element type, shape (TDIM) and mask (TNULL).
    n = 5
    cols = [
        Col("J3", "3J", be(np.arange(15).reshape(5, 3), "i4"), tnull=4),
        Col("I2", "2I", be(np.arange(10).reshape(5, 2), "i2"), tzero=32768),
        Col("S2", "2I", be(np.arange(10).reshape(5, 2), "i2"), tscal=0.5, tnull=3),
        Col("E6", "6E", be(np.arange(30).reshape(5, 6) / 4, "f4"), tdim="(3,2)"),
        Col("D4", "4D", be(np.arange(20).reshape(5, 4) / 3, "f8"), tdim="(3)"),
        Col("K5", "5K", be(np.arange(25).reshape(5, 5), "i8"), tdim="(2,2)"),
        Col("B2", "2B", np.arange(10, dtype="u1").reshape(5, 2), tzero=-128),
        Col("U1", "1J", be(np.arange(5), "i4"), tzero=2147483648),
    ]
    t = vexlo.open(str(write_file(tmp_path / "t.fits", bintable_hdu(cols, n))))[1]
    for col in cols:
        whole = t[col.name]
        assert len(whole) == n
        for r in range(n):
            assert same_entry(whole[r], t[r][col.name]), (col.name, r)
    assert t["J3"][1].mask.tolist() == [False, True, False]
    assert t["E6"][0].shape == (2, 3) and t["E6"][0].dtype == np.float32
    assert t["K5"][0].shape == (2, 2)


@pytest.mark.parametrize(
    "form, heap, cards",
    [
        ("1PJ", be([5, -1, 7, 8], "i4").tobytes(), {"tnull": -1}),
        ("1PI", be([1, 2, 3, 4], "i2").tobytes() * 2, {"tzero": 32768}),
        ("1PB", bytes(range(10, 26)), {"tscal": 0.5, "tzero": 1.0}),
        ("1PE", be([0.5, 1.5, 2.5, 3.5], "f4").tobytes(), {}),
        ("1QD", be([0.25, -1, 2, 4], "f8").tobytes(), {}),
        ("1QK", be([1, 2, 3, 4], "i8").tobytes(), {"tnull": 3}),
        ("1PL", b"TF\0TFFTT", {}),
        ("1PA", b"abcdefgh", {}),
        ("1PC", be([1, 2, 3, 4, 5, 6, 7, 8], "f4").tobytes(), {}),
    ],
)
def test_variable_length_columns_read_whole_as_row_by_row(tmp_path, form, heap, cards):
    # Rows of 0 to 3 elements at different heap offsets; whole columns are built without
    # decoded cells and must equal each row read on its own.
    width = {"J": 4, "I": 2, "B": 1, "E": 4, "D": 8, "K": 8, "L": 1, "A": 1, "C": 8}[form[2]]
    counts_offsets = [(0, 0), (1, 0), (3, width), (2, 2 * width), (0, 5)]
    dtype = "i4" if form[1] == "P" else "i8"
    cells = be(counts_offsets, dtype)
    path = write_file(tmp_path / "v.fits", bintable_hdu([Col("V", form, cells, **cards)], 5,
                                                        heap=heap))
    t = vexlo.open(str(path))[1]
    whole = t["V"]
    for r in range(5):
        assert same_entry(whole[r], t[r]["V"]), r
    # An empty row is an empty value of the column's element type, like every other row.
    assert len(whole[0]) == len(whole[4]) == 0
    for empty in (whole[0], whole[4]):
        assert isinstance(empty, type(whole[1]))
        if isinstance(whole[1], np.ndarray):
            assert empty.dtype == whole[1].dtype


def ascii_with_bytes(tmp_path, replacements):
    """An ASCII table of an I3 and an A4 column whose '@' and '#' become the given bytes."""
    from fits_bytes import ascii_table_hdu

    hdu = ascii_table_hdu(
        [("N", "I3", 3, {}), ("S", "A4", 4, {})], ["  1ab  ", "  2@#cd", "  3 xy "]
    )
    for old, new in replacements.items():
        hdu = hdu.replace(old, new)
    return vexlo.open(str(write_file(tmp_path / "a.fits", hdu)))


def test_ascii_text_that_is_not_utf8_fails_the_lookup(tmp_path):
    f = ascii_with_bytes(tmp_path, {b"@#": b"\xff\xfe"})
    for _ in range(2):
        with pytest.raises(vexlo.FitsError, match="ASCII table row 1 col 2 contains non-UTF8"):
            f[1]


def test_ascii_text_reads_alike_by_column_row_and_record(tmp_path):
    t = ascii_with_bytes(tmp_path, {b"@#": "\u00e9".encode()})[1]
    texts = ["ab  ", "\u00e9cd", " xy "]
    assert t["S"] == texts and t["S"] is not t["S"]
    assert [t[r]["S"] for r in range(3)] == texts
    assert t.to_dict()["S"] == texts
    assert t.data["S"].tolist() == texts
    assert t["N"].tolist() == [1.0, 2.0, 3.0]
    assert "\u00e9cd" in repr(t)


def test_header_questions_by_position_read_no_data(tmp_path):
    # getval and getheader answer from the header alone: a table whose cells cannot be
    # decoded still gives its cards, while looking the HDU itself up reports the bad cell.
    cols, heap, message = BAD_TABLES["logical"]
    path = str(write_file(tmp_path / "bad.fits", bintable_hdu(cols, 3, heap=heap)))
    assert vexlo.getval(path, "NAXIS2", 1) == 3
    assert vexlo.getval(path, "TFORM2", -1) == "L"
    assert vexlo.getheader(path, 1)["TTYPE1"] == "J"
    with pytest.raises(KeyError):
        vexlo.getval(path, "NOSUCH", 1)
    with pytest.raises(IndexError):
        vexlo.getval(path, "NAXIS", 2)
    with pytest.raises(vexlo.FitsError, match=message):
        vexlo.getdata(path, 1)


def test_a_compressed_image_header_is_the_image_header(tmp_path):
    path = str(tmp_path / "c.fits")
    vexlo.write(path, [vexlo.compressed_image(np.zeros((4, 5), np.int16), extname="SCI")])
    header = vexlo.getheader(path, 1)
    assert (header["XTENSION"], header["BITPIX"], header["NAXIS1"]) == ("IMAGE", 16, 5)
    with pytest.raises(KeyError):
        vexlo.getval(path, "ZIMAGE", 1)


def test_info_summarises_tables_from_their_headers(tmp_path):
    cols, heap, _ = BAD_TABLES["logical"]
    bad = str(write_file(tmp_path / "bad.fits", bintable_hdu(cols, 3, heap=heap)))
    good = str(write_file(tmp_path / "good.fits", bintable_hdu([GOOD_J], 3)))
    # The rows of a table are not read for its summary, so a bad cell does not fail it; the
    # summary equals the one built from the table object.
    assert vexlo.info(bad)[1] == (1, "", 1, "BinTable", 3)
    f = vexlo.open(good)
    table = f[1]
    assert vexlo.info(good)[1] == (1, "", 1, type(table).__name__, table.n_rows)

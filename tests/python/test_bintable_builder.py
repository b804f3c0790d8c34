"""bintable(): how each Python value becomes a column, the bytes of rows and heap, the
refusals and their texts, and tables that an independent reader and fitsverify accept."""

import numpy as np
import pytest

import vexlo
from fits_read import fitsverify, read

UNSUPPORTED = (
    "TypeError: bintable: unsupported column type (use bool/uint8/int16/int32/int64/float32/"
    "float64 numpy arrays or sequences of numbers, list[str], list[complex], or list[list[float]] for VLA)"
)
DIMS = "ValueError: column array must be 1-D or 2-D"


def table(tmp_path, columns, name="t.fits", **kw):
    path = tmp_path / name
    vexlo.write(path, [vexlo.bintable(columns, **kw)])
    hdus = read(path)
    assert len(hdus) == 2 and hdus[0]["NAXIS"] == 0
    return path, hdus[1]


def forms(hdu):
    return [hdu[f"TFORM{n}"] for n in range(1, hdu["TFIELDS"] + 1)]


def test_int16_column_bytes(tmp_path):
    _, hdu = table(tmp_path, {"a": np.arange(3, dtype="int16")})
    assert forms(hdu) == ["1I"] and hdu["TTYPE1"] == "a"
    assert hdu.data == bytes.fromhex("000000010002")
    assert hdu.keywords()[:8] == ["XTENSION", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "PCOUNT",
                                  "GCOUNT", "TFIELDS"]
    assert hdu.get("THEAP") is None


FIXED = [
    # value, TFORM, expected row cells (big-endian arrays)
    (np.array([1, 255], np.uint8), "1B", ">u1"),
    (np.array([-5, 7], np.int16), "1I", ">i2"),
    (np.array([-(2**31), 2**31 - 1], np.int32), "1J", ">i4"),
    (np.array([-(2**63), 2**63 - 1], np.int64), "1K", ">i8"),
    (np.array([1.5, -np.inf], np.float32), "1E", ">f4"),
    (np.array([np.pi, 1e-300], np.float64), "1D", ">f8"),
    (np.arange(12, dtype=np.float32).reshape(4, 3), "3E", ">f4"),
    (np.arange(6, dtype=np.int64).reshape(2, 3).T, "2K", ">i8"),
    (np.asfortranarray(np.arange(12, dtype=np.int16).reshape(3, 4)), "4I", ">i2"),
    (np.arange(20, dtype=np.float64)[::-2], "1D", ">f8"),
    (np.arange(6, dtype=">f8"), "1D", ">f8"),
    # Swapped byte order (as other readers hand columns out) encodes as the native twin.
    (np.arange(6, dtype=">i4").reshape(3, 2), "2J", ">i4"),
    (np.array([[1.5, -2.0]] * 2, dtype=">f8"), "2D", ">f8"),
    (np.arange(4, dtype=">i2"), "1I", ">i2"),
    ([1, 2, 3], "1K", ">i8"),
    ([1.5, 2.5], "1D", ">f8"),
    (np.broadcast_to(np.int32(9), (3, 2)), "2J", ">i4"),
]


@pytest.mark.parametrize("value,tform,dtype", FIXED, ids=lambda v: str(np.shape(v)))
def test_fixed_width_columns(tmp_path, value, tform, dtype):
    path, hdu = table(tmp_path, {"c": value})
    assert forms(hdu) == [tform] and hdu.get("TDIM1") is None
    expected = np.asarray(value)
    cells = hdu.columns()["c"]
    assert len(cells) == expected.shape[0]
    for row, cell in zip(expected, cells):
        assert cell.dtype == np.dtype(dtype)
        assert np.array_equal(cell, np.atleast_1d(row))
    fitsverify(path)
    back = vexlo.open(str(path))[1]["c"]
    assert np.array_equal(np.asarray(back).reshape(expected.shape), expected)


def test_logical_column(tmp_path):
    path, hdu = table(tmp_path, {"flag": [True, False], "m": np.array([[True, False]] * 2)})
    assert forms(hdu) == ["1L", "2L"]
    assert hdu.data == b"TTFFTF"
    fitsverify(path)


def test_variable_length_rows(tmp_path):
    path, hdu = table(tmp_path, {"v": [[1.0, 2.0], [3.0]]})
    assert forms(hdu) == ["1PD"]
    rows = hdu.data[:16]
    assert np.frombuffer(rows, ">u4").tolist() == [2, 0, 1, 16]
    assert hdu["PCOUNT"] == 24 and hdu["THEAP"] == 16
    assert np.frombuffer(hdu.data[16:], ">f8").tolist() == [1.0, 2.0, 3.0]
    fitsverify(path)
    back = vexlo.open(str(path))[1]["v"]
    assert [list(x) for x in back] == [[1.0, 2.0], [3.0]]


VLA_VALUES = [
    [[1, 2], [3, 4]],
    [(1, 2.5), range(3), np.array([7, 8], np.uint16)],
    np.arange(6, dtype=np.uint16).reshape(2, 3),
    [np.array([True, False]), np.array([], np.int8), np.arange(3, dtype=np.float32)[::-1],
     np.array([2**64 - 1], np.uint64), np.array([-(2**62)], np.int64)],
    [[], []],
    [np.float64(1.5) * np.ones(2)],
]


@pytest.mark.parametrize("value", VLA_VALUES, ids=range(len(VLA_VALUES)))
def test_nested_numeric_sequences_are_vla(tmp_path, value):
    path, hdu = table(tmp_path, {"v": value})
    assert forms(hdu) == ["1PD"]
    cells = hdu.columns()["v"]
    expected = [[float(x) for x in row] for row in value]
    assert [c.tolist() for c in cells] == expected
    fitsverify(path)


def test_two_vla_columns_fill_the_heap_in_column_order(tmp_path):
    _, hdu = table(tmp_path, {"a": [[1.0], [2.0, 3.0]], "b": [[10.0, 11.0], []], "k": [5, 6]})
    heap = np.frombuffer(hdu.data[hdu["THEAP"]:], ">f8").tolist()
    assert heap == [1.0, 2.0, 3.0, 10.0, 11.0]
    desc = [np.frombuffer(hdu.data, ">u4", 4, r * 24).tolist() for r in range(2)]
    assert desc == [[1, 0, 2, 24], [2, 8, 0, 40]]


def test_empty_sequence_is_a_vla_column_of_no_rows(tmp_path):
    _, hdu = table(tmp_path, {"e": []})
    assert forms(hdu) == ["1PD"] and hdu["NAXIS2"] == 0 and hdu["NAXIS1"] == 8
    with pytest.raises(ValueError) as e:
        vexlo.bintable({"e": [], "x": [1, 2, 3]})
    assert str(e.value) == "column x has 3 rows, expected 0"
    with pytest.raises(ValueError) as e:
        vexlo.bintable({"x": [1, 2, 3], "e": []})
    assert str(e.value) == "column e has 0 rows, expected 3"


def test_character_columns(tmp_path):
    path, hdu = table(tmp_path, {"s": ["ab", "c"], "e": ["", ""]})
    assert forms(hdu) == ["2A", "1A"]
    assert hdu.data == b"ab c  "
    fitsverify(path)


def test_character_array_columns(tmp_path):
    path, hdu = table(tmp_path, {"s": [["a", "bb"], ["ccc", "d"]]})
    assert forms(hdu) == ["6A"] and hdu["TDIM1"] == "(3,2)"
    assert hdu.data == b"a  bb cccd  "
    fitsverify(path)
    assert vexlo.open(str(path))[1]["s"] == [["a", "bb"], ["ccc", "d"]]


def test_complex_columns(tmp_path):
    path, hdu = table(tmp_path, {"z": [1 + 2j, 3j]})
    assert forms(hdu) == ["1M"]
    assert np.frombuffer(hdu.data, ">f8").tolist() == [1.0, 2.0, 0.0, 3.0]
    fitsverify(path)


COLUMN_ERRORS = [
    (np.zeros((2, 2, 2)), DIMS),
    (np.array(3.0), DIMS),
    (5, DIMS),
    (np.zeros((3, 0)), "ValueError: column array must hold at least one element per row"),
    (np.arange(3, dtype=np.uint16), UNSUPPORTED),
    (np.arange(3, dtype=np.int8), UNSUPPORTED),
    (np.zeros(2, np.complex128), UNSUPPORTED),
    ("abc", UNSUPPORTED),
    ({"a": 1}, UNSUPPORTED),
    ((1 + 2j, 3j), UNSUPPORTED),
    ([[1], ["a"]], UNSUPPORTED),
    ([object()], UNSUPPORTED),
    ([1 + 2j, 3], "ValueError: complex column: expected list[complex] (mixed types found)"),
    ([["a"], ["b", "c"]],
     "ValueError: string-array column: every row must hold the same number of strings"),
    (["ok", "café"], "ValueError: character columns are restricted to ASCII 32-126 "
                     "(Standard Sec.7.2.5); found byte 0xC3 in \"café\""),
    ([["a"], ["tab\there"]], "ValueError: character columns are restricted to ASCII 32-126 "
                             "(Standard Sec.7.2.5); found byte 0x09 in \"tab\\there\""),
    (["\ud800"], "ValueError: character columns are restricted to ASCII 32-126 "
                 "(Standard Sec.7.2.5); found byte 0xED in"),
]


@pytest.mark.parametrize("value,text", COLUMN_ERRORS, ids=range(len(COLUMN_ERRORS)))
def test_column_refusals_name_the_column(value, text):
    with pytest.raises(ValueError) as e:
        vexlo.bintable({"flux": value})
    assert str(e.value).startswith("bintable column flux: " + text)
    assert type(e.value) is ValueError


def test_arguments():
    cases = [
        (lambda: vexlo.bintable([1]),
         TypeError, "argument 'columns': 'list' object is not an instance of 'dict'"),
        (lambda: vexlo.bintable(None),
         TypeError, "argument 'columns': 'None' is not an instance of 'dict'"),
        (lambda: vexlo.bintable({}, units=[1]),
         TypeError, "argument 'units': 'list' object is not an instance of 'dict'"),
        (lambda: vexlo.bintable({}, extname=5),
         TypeError, "argument 'extname': 'int' object is not an instance of 'str'"),
        (lambda: vexlo.bintable({1: [1]}), TypeError, "'int' object is not an instance of 'str'"),
        (lambda: vexlo.bintable({"a": [1]}, units={"a": 5}),
         TypeError, "'int' object is not an instance of 'str'"),
    ]
    for call, exc, text in cases:
        with pytest.raises(exc) as e:
            call()
        assert str(e.value) == text


def test_units_extname_and_repr(tmp_path):
    b = vexlo.bintable({"a": np.arange(10.0), "b": np.arange(10, dtype=np.int16)},
                       units={"a": "m", "zz": "s"}, extname="EVENTS")
    assert repr(b) == "BinTableBuilder(<100 bytes>)"
    assert repr(vexlo.bintable({"x": np.zeros(10)})) == "BinTableBuilder(<80 bytes>)"
    path = tmp_path / "u.fits"
    vexlo.write(path, [b])
    hdu = read(path)[1]
    assert hdu["TUNIT1"] == "m" and hdu.get("TUNIT2") is None and hdu["EXTNAME"] == "EVENTS"
    fitsverify(path)


def test_empty_dict_gives_an_empty_table(tmp_path):
    path, hdu = table(tmp_path, {})
    assert (hdu["TFIELDS"], hdu["NAXIS1"], hdu["NAXIS2"]) == (0, 0, 0)
    fitsverify(path)


def test_input_arrays_are_not_changed():
    a = np.arange(2, dtype=np.float32)
    v = np.arange(6, dtype=np.uint16).reshape(2, 3)
    vexlo.bintable({"a": a, "v": v})
    assert a.tolist() == [0, 1] and v.ravel().tolist() == list(range(6))


# --- descriptors are 32-bit: too large a heap is refused, never wrapped ---
# Broadcast arrays hold one element whatever their shape, so these allocate nothing.

def test_row_array_beyond_descriptor_range():
    big = np.broadcast_to(np.uint16(0), (1, 2**31))  # uint16: a VLA column
    with pytest.raises(ValueError) as e:
        vexlo.bintable({"big": big})
    assert str(e.value).startswith("bintable column big: ValueError: ")
    assert "P descriptors" in str(e.value)


def test_heap_beyond_descriptor_range_names_the_column_that_crosses_it():
    half = np.broadcast_to(np.uint16(1), (1, 2**27))  # 2^30 heap bytes per column
    with pytest.raises(ValueError) as e:
        vexlo.bintable({"a": half, "b": half, "c": [[1.0]]})
    assert str(e.value).startswith("bintable column b: ValueError: ")
    assert "2147483648" in str(e.value)


def test_rows_beyond_memory_are_a_memory_error():
    # Each column claims 2^62 bytes a row from a single element; together they pass the
    # largest buffer there can be, and the table refuses them before asking for one.
    wide = np.broadcast_to(np.uint8(0), (1, 2**62))
    for n_columns in (1, 2, 4):
        with pytest.raises(MemoryError):
            vexlo.bintable({f"c{i}": wide for i in range(n_columns)})


def test_mixed_table_round_trip(tmp_path):
    cols = {
        "id": np.arange(4, dtype=np.int32),
        "flux": np.linspace(0, 1, 8, dtype=np.float32).reshape(4, 2),
        "ok": np.array([True, False, True, True]),
        "name": ["a", "bb", "ccc", ""],
        "tags": [["x", "y"], ["zz", "w"], ["", "q"], ["r", "s"]],
        "z": [1j, 2 + 0j, -1 - 1j, 0j],
        "sed": [[1.0], [], [2.0, 3.0], [4.0]],
    }
    path, hdu = table(tmp_path, cols, units={"flux": "Jy"})
    assert forms(hdu) == ["1J", "2E", "1L", "3A", "4A", "1M", "1PD"]
    got = hdu.columns()
    assert [int(c[0]) for c in got["id"]] == [0, 1, 2, 3]
    assert [c.tolist() for c in got["flux"]] == cols["flux"].tolist()
    assert [c.tobytes() for c in got["ok"]] == [b"T", b"F", b"T", b"T"]
    assert got["name"] == ["a  ", "bb ", "ccc", "   "]
    assert [complex(*np.frombuffer(c.tobytes(), ">f8")) for c in got["z"]] == cols["z"]
    assert [c.tolist() for c in got["sed"]] == cols["sed"]
    fitsverify(path)

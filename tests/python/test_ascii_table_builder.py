"""ascii_table(): value kinds, default and given formats, null texts, the refusals, and
tables that an independent reader and fitsverify accept."""

import numpy as np
import pytest

import vexlo
from fits_read import fitsverify, read


def table(tmp_path, columns, name="a.fits", **kw):
    path = tmp_path / name
    vexlo.write(path, [vexlo.ascii_table(columns, **kw)])
    hdus = read(path)
    assert len(hdus) == 2
    return path, hdus[1]


def forms(hdu):
    return [hdu[f"TFORM{n}"] for n in range(1, hdu["TFIELDS"] + 1)]


KINDS = [
    # value, TFORM, fields as written
    (["x", "yz"], "A2", ["x ", "yz"]),
    (["x", None], "A1", ["x", " "]),
    ([None, None], "A1", [" ", " "]),
    ([7, -12, 305], "I4", ["   7", " -12", " 305"]),
    ([True, False], "I2", [" 1", " 0"]),
    (np.array([3, -4], np.int32), "I3", ["  3", " -4"]),
    # Reals get the digits that read back exactly: 18 for doubles, 9 for float32 arrays.
    (np.array([2**64 - 1], np.uint64), "D25.17", ["1.84467440737095516D19".rjust(25)]),
    ([1, 2.5], "D25.17", ["1.00000000000000000D0".rjust(25), "2.50000000000000000D0".rjust(25)]),
    (np.array([0.5]), "D25.17", ["5.00000000000000000D-1".rjust(25)]),
    ([2**70], "D25.17", ["1.18059162071741130D21".rjust(25)]),
    (np.array([1 / 3, -3.4028235e38], np.float32), "E16.8",
     ["3.33333343E-1".rjust(16), "-3.40282347E38".rjust(16)]),
    ((1, 2), "I2", [" 1", " 2"]),
]


@pytest.mark.parametrize("value,tform,fields", KINDS, ids=range(len(KINDS)))
def test_value_kinds_and_default_formats(tmp_path, value, tform, fields):
    path, hdu = table(tmp_path, {"c": value})
    assert forms(hdu) == [tform] and hdu["TBCOL1"] == 1
    assert hdu.ascii_fields()["c"] == fields
    fitsverify(path)


def test_default_real_formats_read_back_bit_for_bit(tmp_path):
    doubles = [1 / 3, 0.1, -5e-324, -1.7976931348623157e308, 2.0**-1074 * 3, 123456789.123]
    singles = np.array([1 / 3, 1e-45, -3.4028235e38, 0.1, 0.0, -1.5], np.float32)
    path, hdu = table(tmp_path, {"d": doubles, "s": singles})
    fields = hdu.ascii_fields()
    assert [float(f.replace("D", "E")) for f in fields["d"]] == doubles
    assert np.array_equal(np.array([float(f) for f in fields["s"]], np.float32), singles)
    fitsverify(path)
    t = vexlo.open(str(path))[1]
    assert list(t["d"]) == doubles
    assert np.array_equal(np.asarray(t["s"]).astype(np.float32), singles)


def test_header_layout_and_padding(tmp_path):
    path, hdu = table(tmp_path, {"a": ["x", "yz"], "b": [1, None]}, tnulls={"b": "-99"},
                      units={"b": "m"}, extname="CAT")
    assert hdu.keywords() == ["XTENSION", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "PCOUNT",
                              "GCOUNT", "TFIELDS", "TTYPE1", "TFORM1", "TBCOL1", "TTYPE2",
                              "TFORM2", "TBCOL2", "TUNIT2", "TNULL2", "EXTNAME"]
    # The default I2 would not hold the null text: widened to hold it and one blank.
    assert (hdu["XTENSION"], hdu["NAXIS1"], hdu["TBCOL2"], hdu["TFORM2"]) == ("TABLE", 6, 3,
                                                                              "I4")
    # A null field is the TNULL text left-justified and blank-filled, as readers compare it.
    assert hdu.data == b"x    1yz-99 "
    # ASCII tables are padded with blanks.
    assert set(hdu.padded[len(hdu.data):]) == {0x20}
    fitsverify(path)
    if hasattr(vexlo, "open"):
        t = vexlo.open(str(path))[1]
        assert list(t["a"]) == ["x ", "yz"] or list(t["a"]) == ["x", "yz"]
        b = np.asarray(t["b"], dtype=float)
        assert b[0] == 1 and np.isnan(b[1])


def test_given_formats(tmp_path):
    path, hdu = table(tmp_path, {"b": [1, 2], "f": [1.25, -3.5], "d": [1e10, 2.0], "s": ["a", "b"]},
                   formats={"b": "I6", "f": "F8.3", "d": "d12.4", "s": "A3", "zz": "Q3"})
    assert forms(hdu) == ["I6", "F8.3", "D12.4", "A3"]
    assert hdu.ascii_fields() == {
        "b": ["     1", "     2"],
        "f": ["   1.250", "  -3.500"],
        "d": ["   1.0000D10", "    2.0000D0"],
        "s": ["a  ", "b  "],
    }
    fitsverify(path)


def test_formats_without_decimals_still_write_the_point(tmp_path):
    # A field without a point reads with an implied one, and validators refuse it.
    path, hdu = table(tmp_path, {"f": [2.5, -40.0], "e": [0.5, 123.5], "d": [1e10, -3.0]},
                      formats={"f": "F5.0", "e": "E6.0", "d": "D6.0"})
    assert hdu.ascii_fields() == {"f": ["   2.", " -40."], "e": [" 5.E-1", "  1.E2"],
                                  "d": [" 1.D10", " -3.D0"]}
    fitsverify(path)
    if hasattr(vexlo, "open"):
        t = vexlo.open(str(path))[1]
        assert [list(t[c]) for c in ("f", "e", "d")] == [[2.0, -40.0], [0.5, 100.0],
                                                         [1e10, -3.0]]


@pytest.mark.parametrize("value,shown", [(float("inf"), "inf"), (-np.inf, "-inf")])
def test_infinities_are_refused(tmp_path, value, shown):
    # No reader takes "inf" for a number, so such a table could not be read back.
    with pytest.raises(vexlo.FitsError) as e:
        vexlo.ascii_table({"x": [1.0, value]}, formats={"x": "F8.2"})
    assert str(e.value) == (f"data: AsciiTableBuilder: column `x` row 1: {shown} has no ASCII "
                            "table form (fields hold finite numbers only)")


def test_null_texts_fit_default_widths(tmp_path):
    path, hdu = table(tmp_path, {"i": [12, None], "j": [None, 5], "r": [float("nan"), 1.0]},
                   tnulls={"i": "-1", "j": "UNDEFINED", "r": "NO MEASUREMENT WAS MADE HERE"})
    assert forms(hdu) == ["I3", "I10", "D29.17"]
    assert hdu.ascii_fields()["j"] == ["UNDEFINED ", "         5"]
    assert hdu.ascii_fields()["r"][0] == "NO MEASUREMENT WAS MADE HERE "
    fitsverify(path)
    if hasattr(vexlo, "open"):
        t = vexlo.open(str(path))[1]
        assert np.isnan(t["i"][1]) and np.isnan(t["j"][0]) and np.isnan(t["r"][0])
        assert (t["i"][0], t["j"][1], t["r"][1]) == (12, 5, 1.0)
    with pytest.raises(vexlo.FitsError, match="TNULL `-999` exceeds the 3-character field"):
        vexlo.ascii_table({"i": [1, None]}, formats={"i": "I3"}, tnulls={"i": "-999"})


def test_real_nan_needs_a_null_text(tmp_path):
    with pytest.raises(vexlo.FitsError, match="row 1 is undefined but no TNULL is set"):
        vexlo.ascii_table({"r": [1.0, float("nan")]})
    _, hdu = table(tmp_path, {"r": [1.0, float("nan")]}, tnulls={"r": "NaN"})
    assert hdu.ascii_fields()["r"][1] == "NaN".ljust(25)


ERRORS = [
    ({"c": [1.0, None]}, {}, TypeError,
     'ascii_table column "c": unsupported value type (use list[str], list[int|None], or '
     "list[float])"),
    ({"c": "abc"}, {}, TypeError, 'ascii_table column "c": unsupported value type'),
    ({"c": 5}, {}, TypeError, 'ascii_table column "c": unsupported value type'),
    ({'q"t': [object()]}, {}, TypeError, 'ascii_table column "q\\"t": unsupported value type'),
    ({"a": ["café"]}, {}, ValueError,
     'character columns are restricted to ASCII 32-126 (Standard Sec.7.2.5); found byte 0xC3 '
     'in "café"'),
    ({"a": ["x"]}, {"formats": {"a": "F10.3"}}, TypeError,
     'ascii_table column "a": string data needs an A format (got F(10, 3))'),
    ({"b": [1]}, {"formats": {"b": "E12.4"}}, TypeError,
     'ascii_table column "b": integer data needs an I format (got E(12, 4))'),
    ({"f": [1.5]}, {"formats": {"f": "I4"}}, TypeError,
     'ascii_table column "f": float data needs an F/E/D format (got I(4))'),
    ({"c": [1]}, {"formats": {"c": "Q3"}}, vexlo.FitsError, ""),
    ({"a": ["x"]}, {"tnulls": {"a": "-"}}, vexlo.FitsError,
     "data: AsciiTableBuilder::tnull: TNULL is not meaningful for `A` columns"),
    ({"b": [1, None]}, {}, vexlo.FitsError,
     "data: AsciiTableBuilder: column `b` row 1 is undefined but no TNULL is set"),
    ({"a": ["x", "yz"], "b": [1, None, 3]}, {"tnulls": {"b": "-1"}}, vexlo.FitsError,
     "data: AsciiTableBuilder: column `b` has 3 rows; expected 2"),
    ({}, {}, vexlo.FitsError, "data: AsciiTableBuilder: at least one column is required"),
    ({"b": [1]}, {"tnulls": {"b": 5}}, TypeError, "'int' object is not an instance of 'str'"),
    ({"b": [1]}, {"units": {"b": 5}}, TypeError, "'int' object is not an instance of 'str'"),
    ({"b": [1]}, {"formats": []}, TypeError,
     "argument 'formats': 'list' object is not an instance of 'dict'"),
    ({"b": [1]}, {"tnulls": 1}, TypeError,
     "argument 'tnulls': 'int' object is not an instance of 'dict'"),
    ({"b": [1]}, {"extname": 1}, TypeError,
     "argument 'extname': 'int' object is not an instance of 'str'"),
    ({2: [1]}, {}, TypeError, "'int' object is not an instance of 'str'"),
]


@pytest.mark.parametrize("columns,kw,exc,text", ERRORS, ids=range(len(ERRORS)))
def test_refusals(columns, kw, exc, text):
    with pytest.raises(exc) as e:
        vexlo.ascii_table(columns, **kw)
    assert type(e.value) is exc
    assert str(e.value).startswith(text)


def test_columns_argument():
    with pytest.raises(TypeError) as e:
        vexlo.ascii_table([["x"]])
    assert str(e.value) == "argument 'columns': 'list' object is not an instance of 'dict'"


def test_repr_and_signature():
    b = vexlo.ascii_table({"a": ["x", "yz"], "b": [1, 2]})
    assert repr(b) == "AsciiTableBuilder(<8 bytes>)"
    assert vexlo.ascii_table.__text_signature__ == (
        "(columns, formats=None, tnulls=None, units=None, extname=None)"
    )

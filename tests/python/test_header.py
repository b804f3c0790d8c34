"""vexlo.Header: construction, value conversion, lookups, views and the text and byte forms."""

import math
import weakref
from decimal import Decimal
from fractions import Fraction

import pytest

import vexlo

np = pytest.importorskip("numpy")

Header = vexlo.Header


def card(text):
    """One 80-column card image."""
    assert len(text) <= 80
    return text.ljust(80)


def header_of(*cards, lenient=True):
    return Header.fromstring("".join(card(c) for c in cards), lenient=lenient)


def card_line(h, keyword):
    """The rendered line of the first card whose image starts with `keyword`."""
    for line in str(h).splitlines():
        if line.startswith(keyword.ljust(8)):
            return line
    raise AssertionError(f"no card {keyword} in {str(h)!r}")


def same(a, b):
    """Equal values of the same type; floats compared bit for bit (sign of zero included)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return math.copysign(1.0, a) == math.copysign(1.0, b) and a == b
    return a == b


# --- Classes ---------------------------------------------------------------------------------


def test_class_descriptions():
    assert Header.__doc__.splitlines()[0] == "Dict-like view of a FITS header."
    assert Header.__text_signature__ == "(mapping=None)"
    assert vexlo.HeaderCommentary.__doc__.splitlines()[0] == (
        "List-like view of every commentary card body that shares a"
    )
    signatures = {
        "get": "($self, key, default=None)",
        "keys": "($self)",
        "items": "($self)",
        "cards": "($self, key)",
        "comment": "($self, key)",
        "to_dict": "($self)",
        "tostring": "($self)",
        "__bytes__": "($self)",
        "set": "($self, keyword, value=None, comment=None, *, before=None, after=None)",
        "insert": "($self, position, keyword, value=None, comment=None, *, after=False)",
        "update": "($self, other)",
        "add_commentary": "($self, kind, text)",
        "rename_keyword": "($self, oldname, newname)",
        "fromstring": "(data, *, lenient=True)",
        "frombytes": "(data, *, lenient=True)",
    }
    for name, sig in signatures.items():
        assert getattr(Header, name).__text_signature__ == sig, name
    assert Header.read_only.__doc__ == "True when this header was obtained from a read-only file."


def test_instantiation_and_subclassing():
    assert len(Header()) == 0
    assert len(Header(None)) == 0
    assert Header().read_only is False
    with pytest.raises(TypeError):
        vexlo.HeaderCommentary()
    for cls in (Header, vexlo.HeaderCommentary, type(iter(Header()))):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    with pytest.raises(AttributeError):
        Header().anything = 1
    with pytest.raises(AttributeError):
        Header().read_only = True
    with pytest.raises(TypeError):
        weakref.ref(Header())
    # An instance that skipped __init__ refuses use instead of reading garbage.
    bare = Header.__new__(Header)
    with pytest.raises(TypeError):
        bare.keys()
    with pytest.raises(TypeError):
        len(bare)
    bare_view = vexlo.HeaderCommentary.__new__(vexlo.HeaderCommentary)
    for use in (len, str, list, lambda v: v[0]):
        with pytest.raises(TypeError):
            use(bare_view)
    it_type = type(iter(Header()))
    with pytest.raises(TypeError):
        next(it_type.__new__(it_type))


def test_key_iterator_type_is_not_exported():
    it_type = type(iter(Header()))
    assert it_type.__name__ == "HeaderKeyIter"
    assert it_type.__qualname__ == "HeaderKeyIter"
    assert repr(it_type) == "<class 'HeaderKeyIter'>"
    assert not hasattr(vexlo, "HeaderKeyIter")
    assert "HeaderKeyIter" not in vexlo.__all__
    assert it_type.__doc__ == "Iterator over keyword strings, returned by ``iter(header)``."
    with pytest.raises(TypeError):
        it_type()


def test_constructor_arguments():
    with pytest.raises(TypeError) as e:
        Header({}, {})
    assert str(e.value) == "Header.__new__() takes from 0 to 1 positional arguments but 2 were given"
    with pytest.raises(TypeError) as e:
        Header(other={})
    assert str(e.value) == "Header.__new__() got an unexpected keyword argument 'other'"
    assert Header(mapping={"A": 1})["A"] == 1


# --- Value conversion ------------------------------------------------------------------------


class IndexOnly:
    def __index__(self):
        return 7


class FloatOnly:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize(
    "value, expected, text",
    [
        (True, True, "T"),
        (False, False, "F"),
        (np.bool_(True), True, "T"),
        (5, 5, "5"),
        (np.int64(5), 5, "5"),
        (np.uint8(200), 200, "200"),
        (IndexOnly(), 7, "7"),
        (-(2**63), -(2**63), "-9223372036854775808"),
        (3.0, 3.0, "3.0"),
        (np.float32(0.5), 0.5, "0.5"),
        (FloatOnly(), 2.5, "2.5"),
        # Integers wider than 64 bits keep their digits.
        (2**70, 2**70, "1180591620717411303424"),
        (2**63, 2**63, "9223372036854775808"),
        (-(2**63) - 1, -(2**63) - 1, "-9223372036854775809"),
        (np.uint64(2**64 - 1), 2**64 - 1, "18446744073709551615"),
        (0.1 + 0.2, 0.30000000000000004, "0.30000000000000004"),
        (1e20, 1e20, "1.0000000000000000E20"),
        (2 + 3j, 2 + 3j, "(2, 3)"),
        (2.5 + 3j, 2.5 + 3j, "(2.5, 3.0)"),
        # Shortest digits that read back, not the binary value's own.
        (complex(2.0**63, 0), complex(2.0**63, 0), "(9223372036854776000.0, 0.0)"),
        (complex(-(2.0**63), 1), complex(-(2.0**63), 1), "(-9223372036854775808, 1)"),
        (np.complex128(1.5 + 2.5j), 1.5 + 2.5j, "(1.5, 2.5)"),
        (np.complex128(4 - 1j), 4 - 1j, "(4, -1)"),
        (np.complex64(0.5 + 0.25j), 0.5 + 0.25j, "(0.5, 0.25)"),
        (np.clongdouble(2 + 1j), 2 + 1j, "(2, 1)"),
        # Real numbers offer __complex__ too, and stay real.
        (Fraction(1, 4), 0.25, "0.25"),
        (Decimal("30"), 30.0, "30.0"),
        (np.array(1.5), 1.5, "1.5"),
        (np.array(7), 7, "7"),
        (np.array(True), 1.0, "1.0"),
        ("abc", "abc", "'abc     '"),
        (None, None, ""),
    ],
)
def test_value_from_python(value, expected, text):
    h = Header()
    h["K"] = value
    got = h["K"]
    assert same(got, expected), (got, expected)
    line = card_line(h, "K")
    assert line[8:10] == "= "
    assert line[10:].strip() == text


def test_numpy_complex_scalar_keeps_its_imaginary_part():
    # A NumPy complex128 converts to float as well; complex must be recognised first.
    h = Header({"Z": np.complex128(1.25 + 3.5j)})
    assert h["Z"] == 1.25 + 3.5j
    assert h.get("Z").imag == 3.5


@pytest.mark.parametrize(
    "value, type_name",
    [([1], "list"), (b"x", "bytes"), ({}, "dict"), ((1, 2, 3), "tuple"), ((1,), "tuple"),
     (np.array([1.5]), "ndarray"), (np.array([[2]]), "ndarray"),
     (np.ma.masked_array([1]), "MaskedArray")],
)
def test_unsupported_value_types(value, type_name):
    h = Header()
    with pytest.raises(TypeError) as e:
        h["K"] = value
    assert str(e.value) == f"cannot convert {type_name} into a FITS header value"
    assert len(h) == 0


def test_value_with_comment_pairs():
    h = Header()
    h["A"] = (1, "a comment")
    h["B"] = (1, None)
    assert h.cards("A") == [(1, "a comment")]
    assert h.cards("B") == [(1, None)]
    with pytest.raises(TypeError) as e:
        h["C"] = (1, 2)
    assert str(e.value) == "'int' object is not an instance of 'str'"
    assert "C" not in h


def test_python_values_of_parsed_cards():
    h = header_of(
        "L       =                    T",
        "I       =                  -42",
        "R       =                  1.5",
        "E       =                1D+03",
        "CI      = (1, -2)",
        "CR      = (1.5, 2.0)",
        "S       = 'it''s  '",
        "U       =",
        "X       = not a value",
    )
    expected = [
        ("L", True),
        ("I", -42),
        ("R", 1.5),
        ("E", 1000.0),
        ("CI", 1 - 2j),
        ("CR", 1.5 + 2j),
        ("S", "it's"),
        ("U", None),
        ("X", "not a value"),
    ]
    for key, value in expected:
        assert same(h[key], value), (key, h[key])


# --- Construction from mappings and other headers --------------------------------------------


def test_header_from_mapping():
    h = Header({"object": "M31"})
    assert h.keys() == ["OBJECT"]
    assert h["OBJECT"] == "M31"
    h = Header({"NAXIS": 2, "simple": True, "exptime": (1.5, "seconds")})
    assert h.items() == [("NAXIS", 2), ("SIMPLE", True), ("EXPTIME", 1.5)]
    assert h.comment("EXPTIME") == "seconds"
    h = Header({"COMMENT": "first", "HISTORY": "then"})
    assert h.keys() == ["COMMENT", "HISTORY"]
    assert list(h["COMMENT"]) == ["first"]


def test_header_from_mapping_failures():
    with pytest.raises(TypeError) as e:
        Header(5)
    assert str(e.value) == "header must be a Header or a mapping with .items()"

    class Broken:
        def items(self):
            raise RuntimeError("boom")

    with pytest.raises(TypeError) as e:
        Header(Broken())
    assert str(e.value) == "header must be a Header or a mapping with .items()"
    assert e.value.__context__ is None

    with pytest.raises(TypeError) as e:
        Header({1: 2})
    assert str(e.value) == "'int' object is not an instance of 'str'"
    with pytest.raises(vexlo.FitsError) as e:
        Header({"": "x"})
    assert str(e.value) == "header: keyword is empty"
    with pytest.raises(vexlo.FitsError) as e:
        Header({"VERYLONGKEY": 1})
    assert str(e.value) == "header: keyword `VERYLONGKEY` exceeds 8 chars"
    with pytest.raises(TypeError) as e:
        Header({"A": [1]})
    assert str(e.value) == "cannot convert list into a FITS header value"


def test_header_from_items_sequence():
    class Pairs:
        def items(self):
            # Extra elements are ignored; repeated keys set the first card again.
            return iter([("a", 1, "ignored"), ["B", (2, "two")], ("a", 3)])

    h = Header(Pairs())
    assert h.items() == [("A", 3), ("B", 2)]
    assert h.comment("B") == "two"

    class BadIteration:
        def items(self):
            def gen():
                yield ("A", 1)
                raise ValueError("stop here")

            return gen()

    with pytest.raises(ValueError, match="stop here"):
        Header(BadIteration())


def test_header_items_are_subscripted_with_int_keys():
    # Items are read as item[0] and item[1], so an item that is only subscriptable by key
    # works, and indexing errors of the item come through as they are.
    class Items:
        def __init__(self, *rows):
            self.rows = rows

        def items(self):
            return list(self.rows)

    h = Header(Items({0: "a", 1: 5}, {1: (2, "c"), 0: "b"}))
    assert h.items() == [("A", 5), ("B", 2)]
    assert h.comment("B") == "c"
    target = Header()
    target.update(Items({0: "x", 1: "y"}))
    assert target.items() == [("X", "y")]
    with pytest.raises(KeyError) as e:
        Header(Items({0: "a"}))
    assert e.value.args == (1,)
    with pytest.raises(IndexError):
        Header(Items(("a",)))


def test_header_copy_is_independent():
    a = Header({"A": 1})
    b = Header(a)
    b["A"] = 2
    b["B"] = 3
    assert a.items() == [("A", 1)]
    assert b.items() == [("A", 2), ("B", 3)]


# --- Lookups ---------------------------------------------------------------------------------


def commentary_header():
    return header_of(
        "SIMPLE  =                    T / conforming",
        "BITPIX  =                    8",
        "COMMENT first comment",
        "HISTORY one",
        "HISTORY two",
        "        blank text",
        "UNDEF   =",
        "MJD_OBS =              59000.5 / [d] start",
        "OBJECT  = 'M31     '           / the target",
        "OBJECT  = 'M32     '",
    )


def test_get():
    h = commentary_header()
    assert h.get("object") == "M31"
    assert h.get("missing") is None
    assert h.get("missing", 5) == 5
    assert h.get("missing", default=None) is None
    assert h.get(key="BITPIX") == 8
    assert h.get("COMMENT", 5) == 5
    assert h.get("HISTORY", 5) == 5
    assert h.get("", 5) == 5
    assert h.get("UNDEF", 5) is None
    assert h.get("mjd-obs") == 59000.5
    assert h.get("MJD-OBS", 1) == 59000.5


def test_get_argument_errors():
    h = Header()
    with pytest.raises(TypeError) as e:
        h.get(5)
    assert str(e.value) == "argument 'key': 'int' object is not an instance of 'str'"
    with pytest.raises(TypeError) as e:
        h.get()
    assert str(e.value) == "Header.get() missing 1 required positional argument: 'key'"
    with pytest.raises(TypeError) as e:
        h.get("A", 1, 2)
    assert str(e.value) == "Header.get() takes from 1 to 2 positional arguments but 3 were given"


def test_item_lookup():
    h = commentary_header()
    assert h["bitpix"] == h["BITPIX"] == 8
    assert h["UNDEF"] is None
    assert h["OBJECT"] == "M31"
    with pytest.raises(KeyError) as e:
        h["foo"]
    assert e.value.args == ("foo",)
    # Item lookup has no "-" to "_" retry, unlike get and in.
    assert "MJD-OBS" in h
    with pytest.raises(KeyError) as e:
        h["MJD-OBS"]
    assert e.value.args == ("MJD-OBS",)
    assert h.cards("MJD-OBS") == []
    assert h.comment("MJD-OBS") is None


def test_item_lookup_finds_any_card_kind():
    h = header_of("FOO     free text here", "FOO     = 1")
    assert h["FOO"] is None
    assert h.get("FOO") == 1
    assert h.cards("FOO") == [("free text here", None), (1, None)]


def test_item_key_types():
    h = commentary_header()
    with pytest.raises(TypeError) as e:
        h[5]
    assert str(e.value) == "'int' object is not an instance of 'str'"
    with pytest.raises(TypeError) as e:
        h[("A", 1, 2)]
    assert str(e.value) == "'tuple' object is not an instance of 'str'"
    with pytest.raises(TypeError) as e:
        h[(5, 0)]
    assert str(e.value) == "'int' object is not an instance of 'str'"
    with pytest.raises(TypeError):
        h[("HISTORY", 1.0)]
    with pytest.raises(OverflowError):
        h[("HISTORY", 2**70)]


def test_commentary_lookup():
    h = commentary_header()
    view = h["COMMENT"]
    assert type(view) is vexlo.HeaderCommentary
    assert list(view) == ["first comment"]
    assert list(h["history"]) == ["one", "two"]
    assert list(h[""]) == ["blank text"]
    assert "COMMENT" in h
    assert "history" in h
    with pytest.raises(KeyError) as e:
        Header()["comment"]
    assert e.value.args == ("comment",)


def test_indexed_lookup():
    h = commentary_header()
    assert h[("HISTORY", 0)] == "one"
    assert h[("HISTORY", -1)] == "two"
    assert h[("history", True)] == "two"
    assert h[("OBJECT", 1)] == "M32"
    assert h[("object", -2)] == "M31"
    assert h[("UNDEF", 0)] is None
    assert h[("MJD_OBS", np.int64(0))] == 59000.5
    cases = [
        (("HISTORY", -3), "HISTORY[-3]: only 2 occurrence(s) present"),
        (("history", 2), "history[2]: only 2 occurrence(s) present"),
        (("HISTORY", 5), "HISTORY[5]: only 2 occurrence(s) present"),
    ]
    for key, message in cases:
        with pytest.raises(KeyError) as e:
            h[key]
        assert e.value.args == (message,)
    with pytest.raises(KeyError) as e:
        h[("Absent", 0)]
    assert e.value.args == ("Absent",)


def test_contains():
    h = commentary_header()
    assert "simple" in h
    assert "" in h
    assert "nothing" not in h
    assert "MJD-OBS" in h
    with pytest.raises(TypeError) as e:
        5 in h
    assert str(e.value) == "argument 'key': 'int' object is not an instance of 'str'"


def test_none_where_a_key_is_required():
    h = header_of("A       = 1")
    for call in (lambda: h.get(None), lambda: h.cards(None), lambda: h.comment(None)):
        with pytest.raises(TypeError) as e:
            call()
        assert str(e.value) == "argument 'key': 'None' is not an instance of 'str'"
    with pytest.raises(TypeError) as e:
        h[None]
    assert str(e.value) == "'None' is not an instance of 'str'"


def test_integers_wider_than_64_bits_read_back_exactly():
    h = header_of("QOFFID  = 10000000000000000001 / archive id", "NEG     = -99999999999999999999",
                  "REAL    = 1E19", "HISTORY 5")
    assert h["QOFFID"] == 10000000000000000001 and type(h["QOFFID"]) is int
    assert h.get("NEG") == -99999999999999999999
    assert h[("QOFFID", 0)] == 10000000000000000001
    assert h.cards("QOFFID") == [(10000000000000000001, "archive id")]
    assert h.to_dict()["QOFFID"] == 10000000000000000001
    assert h.items()[1] == ("NEG", -99999999999999999999)
    assert h["REAL"] == 1e19 and type(h["REAL"]) is float


def test_integers_wider_than_64_bits_write_back_exactly(tmp_path):
    big, neg = 123456789012345678901, -(10**40) - 7
    h = Header({"BIGI": big, "NEG": (neg, "negative"), "HIERARCH A VERY LONG NAME": big})
    assert h["BIGI"] == big and h["NEG"] == neg and h["HIERARCH A VERY LONG NAME"] == big
    assert card_line(h, "BIGI")[10:].rstrip() == "123456789012345678901"
    again = Header(h.to_dict())
    assert again.to_dict() == h.to_dict()
    merged = Header()
    merged.update(h)
    merged.update({"OTHER": big + 1})
    assert merged["BIGI"] == big and merged["OTHER"] == big + 1
    # Digits that a card cannot hold are written as the nearest real.
    huge = 10**80
    h["HUGE"] = huge
    assert h["HUGE"] == 1e80 and type(h["HUGE"]) is float

    path = str(tmp_path / "big.fits")
    vexlo.write(path, [vexlo.image(np.zeros(2, "i2"), header=merged)])
    vexlo.setval(path, "READ", vexlo.getval(path, "BIGI"))
    assert vexlo.getval(path, "READ") == big and vexlo.getval(path, "NEG") == neg
    fitsio = pytest.importorskip("fitsio")
    raw = fitsio.read_header(path)
    # fitsio gives integers beyond 64 bits as their digits.
    assert [int(raw.get(k)) for k in ("BIGI", "READ", "OTHER")] == [big, big, big + 1]
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(path) as hdus:
        hdus.verify("exception")
        got = hdus[0].header
        assert (got["BIGI"], got["READ"], got["NEG"], got["OTHER"]) == (big, big, neg, big + 1)


def test_hierarch_keys_written_in_mixed_case_are_reachable():
    # astropy keeps the letter case of long names it writes.
    h = header_of("HIERARCH MyPipeline version = '1.2' / tool", "HIERARCH Other = 4")
    key = "HIERARCH MyPipeline version"
    assert h.keys() == [key, "HIERARCH Other"]
    assert key in h and "hierarch mypipeline version" in h
    assert h[key] == "1.2" and h.get(key) == "1.2" and h[(key, 0)] == "1.2"
    assert h.cards(key) == [("1.2", "tool")]
    assert h.to_dict() == {key: "1.2", "HIERARCH Other": 4}
    h[key] = "1.3"
    assert len(h) == 2
    assert card_line(h, "HIERARCH") == card("HIERARCH MyPipeline version = '1.3' / tool")
    del h[key]
    assert key not in h and h.keys() == ["HIERARCH Other"]
    assert "HIERARCH OTHERS" not in h


def test_keys_items_and_dict():
    h = commentary_header()
    keys = [
        "SIMPLE", "BITPIX", "COMMENT", "HISTORY", "HISTORY", "", "UNDEF", "MJD_OBS",
        "OBJECT", "OBJECT",
    ]
    assert h.keys() == keys
    assert list(h) == keys
    assert len(h) == len(keys)
    assert h.items() == [
        ("SIMPLE", True), ("BITPIX", 8), ("COMMENT", None), ("HISTORY", None),
        ("HISTORY", None), ("", None), ("UNDEF", None), ("MJD_OBS", 59000.5),
        ("OBJECT", "M31"), ("OBJECT", "M32"),
    ]
    d = h.to_dict()
    assert d == {
        "SIMPLE": True, "BITPIX": 8, "UNDEF": None, "MJD_OBS": 59000.5, "OBJECT": "M32",
    }
    assert list(d) == ["SIMPLE", "BITPIX", "UNDEF", "MJD_OBS", "OBJECT"]


def test_cards_and_comment():
    h = commentary_header()
    assert h.cards("object") == [("M31", "the target"), ("M32", None)]
    assert h.cards("HISTORY") == [("one", None), ("two", None)]
    assert h.cards("") == [("blank text", None)]
    assert h.cards("absent") == []
    assert h.comment("simple") == "conforming"
    assert h.comment("Object") == "the target"
    assert h.comment("BITPIX") is None
    assert h.comment("COMMENT") is None
    assert h.comment("absent") is None
    h = header_of("HIERARCH ESO DET CHIP = 5 / chip number")
    assert h.keys() == ["HIERARCH ESO DET CHIP"]
    assert h["hierarch eso det chip"] == 5
    assert h.comment("hierarch eso det chip") == "chip number"
    assert h.cards("HIERARCH ESO DET CHIP") == [(5, "chip number")]


def test_long_string_is_one_card():
    text = "x" * 100
    h = Header()
    h["LONG"] = (text, "long one")
    h["AFTER"] = 1
    assert len(bytes(h)) == 2880
    assert str(h).count("\n") == 2  # LONG, its CONTINUE image, AFTER
    assert len(h) == 2
    assert h.keys() == ["LONG", "AFTER"]
    assert list(h) == ["LONG", "AFTER"]
    assert h.items() == [("LONG", text), ("AFTER", 1)]
    assert h.cards("LONG") == [(text, "long one")]


def test_empty_header():
    h = Header()
    assert len(h) == 0
    assert h.keys() == []
    assert h.items() == []
    assert h.to_dict() == {}
    assert list(h) == []
    assert str(h) == repr(h) == ""
    text = h.tostring()
    assert len(text) == 2880
    assert text == "END" + " " * 2877
    assert bytes(h) == text.encode()


# --- Key iterator and commentary view --------------------------------------------------------


def test_key_iterator_is_a_snapshot():
    h = Header({"A": 1, "B": 2})
    it = iter(h)
    assert iter(it) is it
    keys = list(iter(h))
    h["C"] = 3
    assert keys == ["A", "B"]
    assert list(it) == ["A", "B"]
    with pytest.raises(StopIteration):
        next(it)
    with pytest.raises(StopIteration):
        next(it)


def test_commentary_view():
    h = Header()
    for text in ("a", "b", "c"):
        h.add_commentary("HISTORY", text)
    view = h["HISTORY"]
    h.add_commentary("HISTORY", "d")
    assert len(view) == 3  # a snapshot
    assert view[0] == "a"
    assert view[-1] == "c"
    assert view[np.int64(1)] == "b"
    cases = [(-4, "index -1 out of range (len=3)"), (3, "index 3 out of range (len=3)")]
    for idx, message in cases:
        with pytest.raises(KeyError) as e:
            view[idx]
        assert e.value.args == (message,)
    with pytest.raises(TypeError) as e:
        view["0"]
    assert str(e.value).startswith("argument 'idx': ")
    with pytest.raises(TypeError):
        view[0:2]
    with pytest.raises(OverflowError):
        view[2**70]
    assert list(view) == ["a", "b", "c"]
    assert list(iter(view)) == ["a", "b", "c"]
    assert str(view) == repr(view) == "a\nb\nc"


def test_commentary_view_text_forms():
    h = Header()
    h.add_commentary("COMMENT", "a")
    h.add_commentary("COMMENT", "b")
    assert str(h["COMMENT"]) == "a\nb"
    h = header_of("COMMENT")
    assert list(h["COMMENT"]) == [""]
    assert str(h["COMMENT"]) == ""


# --- Text and bytes --------------------------------------------------------------------------


def test_rendered_text():
    h = header_of(
        "SIMPLE  =                    T",
        "",
        "   END",
        "COMMENT   indented",
        "A       = 1",
    )
    lines = str(h).split("\n")
    assert lines == [
        card("SIMPLE  =                    T"),
        card("   END"),
        card("COMMENT   indented"),
        card("A       = 1"),
    ]
    assert repr(h) == str(h)
    assert "END" + " " * 77 not in str(h)


def test_rendered_text_drops_trailing_nuls():
    raw = card("A       = 1").encode()[:78] + b"\0\0"
    h = Header.frombytes(raw)
    line = str(h)
    assert line == card("A       = 1")[:78]


def test_tostring_and_bytes():
    h = Header({"A": 1, "B": "text"})
    data = bytes(h)
    assert len(data) == 2880
    assert data.startswith(card("A       =                    1").encode())
    assert data[160:240] == card("END").encode()
    assert h.tostring() == data.decode("ascii")
    assert type(h.__bytes__()) is bytes


def test_tostring_of_non_ascii_bytes():
    valid = card("A       = 1 / caf").encode()[:76] + "é".encode() + b"  "
    assert len(valid) == 80
    h = Header.frombytes(valid)
    assert "é" in h.tostring()
    assert len(h.tostring()) == 2879

    invalid = card("A       = 1").encode()[:79] + b"\xff"
    h = Header.frombytes(invalid)
    with pytest.raises(ValueError) as e:
        h.tostring()
    assert str(e.value) == "non-ASCII header bytes: invalid utf-8 sequence of 1 bytes from index 79"
    assert bytes(h)[79] == 0xFF

    truncated = card("A       = 1").encode()[:78] + b"\xe2\x82"
    with pytest.raises(ValueError) as e:
        Header.frombytes(truncated).tostring()
    assert str(e.value) == "non-ASCII header bytes: invalid utf-8 sequence of 2 bytes from index 78"


@pytest.mark.parametrize(
    "raw, decoded, bad_length",
    [
        (b"\xc0\xaf", "\ufffd" * 2, 1),  # overlong two-byte '/'
        (b"\xe0\x80\xaf", "\ufffd" * 3, 1),  # overlong three-byte '/'
        (b"\xf0\x80\x80\xaf", "\ufffd" * 4, 1),  # overlong four-byte '/'
        (b"\xed\xa0\x80", "\ufffd" * 3, 1),  # a surrogate
        (b"\xf4\x90\x80\x80", "\ufffd" * 4, 1),  # past U+10FFFF
        (b"\xe2\x82/", "\ufffd/", 2),  # cut short: the '/' after it is its own
    ],
)
def test_ill_formed_utf8_is_replaced_never_decoded(raw, decoded, bad_length):
    h = Header.frombytes((b"OBJECT  = 'a" + raw + b"b'").ljust(80))
    assert str(h) == ("OBJECT  = 'a" + decoded + "b'").ljust(80 - len(raw) + len(decoded))
    with pytest.raises(ValueError) as e:
        h.tostring()
    assert str(e.value) == (
        f"non-ASCII header bytes: invalid utf-8 sequence of {bad_length} bytes from index 12"
    )


def test_fromstring_padding_and_end():
    assert len(Header.fromstring("")) == 0
    h = Header.fromstring("OBJECT  = 'M31'")
    assert h.items() == [("OBJECT", "M31")]
    # Parsing stops at the END card; the block after it is never read.
    text = card("A       = 1") + card("END") + " " * (2880 - 160) + card("B       = 2")
    assert Header.fromstring(text).keys() == ["A"]
    assert Header.frombytes(text.encode(), lenient=False).keys() == ["A"]


def test_fromstring_strict_and_lenient():
    text = card("A       = 'unterminated")
    assert Header.fromstring(text).items() == [("A", "'unterminated")]
    with pytest.raises(vexlo.FitsError) as e:
        Header.fromstring(text, lenient=False)
    assert str(e.value) == "value for keyword `A`: unterminated string literal"
    assert Header.fromstring(text, lenient=np.bool_(True)).keys() == ["A"]
    # A lower-case end card ends the header only in lenient mode.
    lower = card("A       = 1") + card("end")
    assert Header.fromstring(lower).keys() == ["A"]


def test_fromstring_argument_errors():
    with pytest.raises(TypeError) as e:
        Header.frombytes(bytearray(b"A"))
    assert str(e.value) == "argument 'data': 'bytearray' object is not an instance of 'bytes'"
    with pytest.raises(TypeError) as e:
        Header.fromstring(b"A")
    assert str(e.value) == "argument 'data': 'bytes' object is not an instance of 'str'"
    with pytest.raises(TypeError) as e:
        Header.fromstring("", lenient=1)
    assert str(e.value) == "argument 'lenient': 'int' object is not an instance of 'bool'"
    with pytest.raises(TypeError) as e:
        Header.fromstring("", True)
    assert str(e.value) == (
        "Header.fromstring() takes 1 positional arguments but 2 were given"
    )


def test_parsed_headers_are_new_and_writable():
    a = Header.fromstring(card("A       = 1"))
    b = Header.fromstring(card("A       = 1"))
    a["A"] = 2
    assert b["A"] == 1
    assert a.read_only is False

"""vexlo.Header editing: set, item assignment and deletion, insert, update, commentary, renaming,
the read-only rule, the modified flag, shared handles and re-entrant use."""

import threading

import pytest

import vexlo
from hooks import T, needs_hooks

Header = vexlo.Header

READ_ONLY = "header is read-only; reopen the file with `mode='update'` to enable mutations"


def card(text):
    return text.ljust(80)


def header_of(*cards):
    return Header.fromstring("".join(card(c) for c in cards))


def tracked(h):
    """A second handle on the same header whose edits mark a file-style modified flag."""
    return T.header_handle(h, False, True)


def read_only(h):
    return T.header_handle(h, True, False)


# --- set -------------------------------------------------------------------------------------


def test_set_replaces_or_appends():
    h = Header({"A": (1, "first")})
    h.set("a", 2)
    assert h.cards("A") == [(2, "first")]
    h.set("A", 3, "new comment")
    assert h.cards("A") == [(3, "new comment")]
    h.set("b", "text", "bc")
    assert h.items() == [("A", 3), ("B", "text")]
    assert h.comment("B") == "bc"


def test_set_without_value():
    h = Header({"KEY": (1, "old")})
    h.set("KEY", None)
    assert h.cards("KEY") == [(1, "old")]
    h.set("KEY", comment="new")
    assert h.cards("KEY") == [(1, "new")]
    h["KEY"] = None
    assert h["KEY"] is None
    assert h.cards("KEY") == [(None, "new")]
    h.set("ABSENT")
    assert h.keys() == ["KEY", "ABSENT"]
    assert h["ABSENT"] is None


def test_set_commentary_keywords():
    h = Header()
    h.add_commentary("HISTORY", "old")
    with pytest.raises(KeyError) as e:
        h.set("HISTORY", comment="x")
    assert e.value.args == ("HISTORY",)
    h.set("HISTORY", "text")
    h["HISTORY"] = "more"
    h.set("comment", "c1", "ignored comment")
    assert list(h["HISTORY"]) == ["old", "text", "more"]
    assert list(h["COMMENT"]) == ["c1"]


def test_large_reals_are_written_with_their_shortest_digits():
    h = Header()
    h["BIG"] = 447132773968762496.0
    h["C"] = complex(1e23, 2.5)
    h["HISTORY"] = 1e23
    lines = str(h).splitlines()
    assert lines[0] == card("BIG     = 447132773968762500.0")
    assert lines[1] == card("C       = (100000000000000000000000.0, 2.5)")
    assert list(h["HISTORY"]) == ["100000000000000000000000"]
    assert h["BIG"] == 447132773968762496.0 and h["C"] == complex(1e23, 2.5)


def test_set_with_anchors():
    h = Header({"A": 1, "B": 2, "C": 3})
    h.set("X", 10, before="b")
    h.set("Y", 11, after="B")
    assert h.keys() == ["A", "X", "B", "Y", "C"]
    # An existing keyword is set in place; the anchors are ignored.
    h.set("A", 5, after="C")
    assert h.keys() == ["A", "X", "B", "Y", "C"]
    assert h["A"] == 5
    with pytest.raises(KeyError) as e:
        h.set("NEW", 1, before="missing")
    assert e.value.args == ("MISSING",)
    with pytest.raises(KeyError) as e:
        h.set("NEW", 1, after="missing")
    assert e.value.args == ("MISSING",)
    assert "NEW" not in h


def test_set_anchor_found_only_by_the_wider_test_appends():
    h = Header({"MJD_OBS": 1.0, "Z": 0})
    h.add_commentary("COMMENT", "c")
    h.set("NEW", 1, before="MJD-OBS")
    h.set("NEW2", 2, before="COMMENT")
    assert h.keys() == ["MJD_OBS", "Z", "COMMENT", "NEW", "NEW2"]


def test_set_dash_and_underscore():
    h = Header({"MJD_OBS": (1.0, "c")})
    h["MJD-OBS"] = 2.0
    assert h.keys() == ["MJD_OBS", "MJD-OBS"]
    h = Header({"MJD_OBS": (1.0, "c")})
    # Found only under the "_" spelling: the value is carried to a new card.
    h.set("MJD-OBS", comment="moved")
    assert h.items() == [("MJD_OBS", 1.0), ("MJD-OBS", 1.0)]
    assert h.cards("MJD-OBS") == [(1.0, "moved")]


def test_set_errors():
    h = Header({"A": 1})
    with pytest.raises(ValueError) as e:
        h.set("A", 1, before="B", after="C")
    assert str(e.value) == "Header.set: 'before' and 'after' are mutually exclusive"
    structural = [
        ("naxis", '"naxis"'),
        ("NAXIS12", '"NAXIS12"'),
        ("naxis999", '"naxis999"'),
        (" simple ", '" simple "'),
        ("xtension", '"xtension"'),
        ("End", '"End"'),
    ]
    for key, quoted in structural:
        with pytest.raises(ValueError) as e:
            h.set(key, 1)
        assert str(e.value) == f"Header.set: {quoted} is a structural card managed by the writer"
    with pytest.raises(TypeError) as e:
        h.set("B", [1])
    assert str(e.value) == "cannot convert list into a FITS header value"
    with pytest.raises(TypeError) as e:
        h.set("B", 1, 2)
    assert str(e.value) == "argument 'comment': 'int' object is not an instance of 'str'"
    with pytest.raises(TypeError) as e:
        h.set(b"B", 1)
    assert str(e.value) == "argument 'keyword': 'bytes' object is not an instance of 'str'"
    with pytest.raises(TypeError) as e:
        h.set("B", 1, before=1)
    assert str(e.value) == "argument 'before': 'int' object is not an instance of 'str'"
    with pytest.raises(vexlo.FitsError) as e:
        h.set("BAD KEY", 1)
    assert str(e.value) == "header: keyword `BAD KEY` contains invalid byte 0x20"
    with pytest.raises(vexlo.FitsError) as e:
        h.set("R", float("nan"))
    assert str(e.value) == "header: non-finite real `NaN` cannot appear in a FITS header"
    with pytest.raises(vexlo.FitsError) as e:
        h.set("S", "tab\there")
    assert str(e.value) == "header: string value for `S` contains non-printable byte 0x09"
    assert h.items() == [("A", 1)]


def test_keywords_that_are_not_structural():
    h = Header()
    for key in ("TFIELDS", "CHECKSUM", "DATASUM", "NAXISA", "SIMPLEX"):
        h.set(key, 1)
    h["NAXIS1X"] = 2
    assert h.keys() == ["TFIELDS", "CHECKSUM", "DATASUM", "NAXISA", "SIMPLEX", "NAXIS1X"]
    with pytest.raises(vexlo.FitsError) as e:
        h.set("NAXIS1234", 1)  # four digits: not structural, but too long to be a keyword
    assert str(e.value) == "header: keyword `NAXIS1234` exceeds 8 chars"


# --- item assignment and deletion ------------------------------------------------------------


def test_item_assignment():
    h = Header()
    h["object"] = "M31"
    h["exptime"] = (1.5, "seconds")
    h["object"] = "M32"
    assert h.items() == [("OBJECT", "M32"), ("EXPTIME", 1.5)]
    h["EXPTIME"] = 2.0
    assert h.cards("EXPTIME") == [(2.0, "seconds")]
    h["HIERARCH ESO DET CHIP"] = 5
    assert h["hierarch eso det chip"] == 5


def test_item_assignment_errors():
    h = Header()
    with pytest.raises(ValueError) as e:
        h["naxis"] = 3
    assert str(e.value) == (
        'header["naxis"] is a structural card managed by the writer; it is recomputed from the '
        "data array on writeto. Use `hdu.data = new_array.astype(...)` to change BITPIX/NAXIS."
    )
    with pytest.raises(TypeError) as e:
        h[("A", 0)] = 1
    assert str(e.value) == "argument 'key': 'tuple' object is not an instance of 'str'"
    with pytest.raises(vexlo.FitsError) as e:
        h[""] = "x"
    assert str(e.value) == "header: keyword is empty"
    with pytest.raises(TypeError) as e:
        h["A"] = object()
    assert str(e.value) == "cannot convert object into a FITS header value"
    assert len(h) == 0


def test_item_deletion():
    h = header_of("OBJECT  = 'A'", "COMMENT keep me", "OBJECT  = 'B'", "X       = 1")
    del h["object"]
    assert h.keys() == ["COMMENT", "X"]
    with pytest.raises(KeyError) as e:
        del h["COMMENT"]
    assert e.value.args == ("COMMENT",)
    assert h.keys() == ["COMMENT", "X"]
    with pytest.raises(KeyError) as e:
        del h["object"]
    assert e.value.args == ("object",)
    with pytest.raises(ValueError) as e:
        del h["bitpix"]
    assert str(e.value) == (
        'header["bitpix"] is a structural card and cannot be deleted; it is recomputed from '
        "the data array on writeto."
    )
    with pytest.raises(TypeError) as e:
        del h[1]
    assert str(e.value) == "argument 'key': 'int' object is not an instance of 'str'"


def test_deleting_a_long_string_takes_its_continuations():
    h = Header()
    h["LONG"] = "y" * 150
    h["B"] = 1
    del h["LONG"]
    assert h.keys() == ["B"]
    assert len(bytes(h)) == 2880
    assert str(h) == card("B       =                    1")


# --- insert ----------------------------------------------------------------------------------


def test_insert_positions():
    h = Header({"OBJECT": "x" * 100, "B": 2})
    h.insert(0, "A", 1)
    assert h.keys() == ["A", "OBJECT", "B"]
    h.insert(10**6, "Z", 26)
    assert h.keys()[-1] == "Z"
    h.insert(True, "T", 0)
    assert h.keys() == ["A", "T", "OBJECT", "B", "Z"]
    h.insert("OBJECT", "AFTER", 1, after=True)
    assert h.keys() == ["A", "T", "OBJECT", "AFTER", "B", "Z"]
    h.insert("b", "BEFORE", "v", "c")
    assert h.keys() == ["A", "T", "OBJECT", "AFTER", "BEFORE", "B", "Z"]
    assert h.cards("BEFORE") == [("v", "c")]
    # Inserting an existing keyword adds a second card.
    h.insert(0, "B", 0)
    assert h.keys().count("B") == 2
    assert h["B"] == 0
    h.insert(2**64 - 1, "END2")
    assert h.keys()[-1] == "END2"
    assert h["END2"] is None


def test_insert_errors():
    h = Header({"A": 1})
    for position in (-1, 2**64, 1.0, None, b"A"):
        with pytest.raises(TypeError) as e:
            h.insert(position, "X", 1)
        assert str(e.value) == "Header.insert: position must be int or str"
    with pytest.raises(KeyError) as e:
        h.insert("nope", "X", 1)
    assert e.value.args == ("NOPE",)
    with pytest.raises(ValueError) as e:
        h.insert(0, "gcount", 1)
    assert str(e.value) == 'Header.insert: "gcount" is a structural card managed by the writer'
    with pytest.raises(vexlo.FitsError) as e:
        h.insert(0, "", 1)
    assert str(e.value) == "header: keyword is empty"
    with pytest.raises(TypeError) as e:
        h.insert(0, "X", 1, after=1)
    assert str(e.value) == "argument 'after': 'int' object is not an instance of 'bool'"
    with pytest.raises(TypeError) as e:
        h.insert(0, "X", {})
    assert str(e.value) == "cannot convert dict into a FITS header value"
    assert h.keys() == ["A"]


# --- update ----------------------------------------------------------------------------------


def test_update_from_mapping_and_header():
    h = Header({"A": (1, "a"), "B": 2})
    h.update({"a": 10, "NAXIS": 3, "C": (3, "c")})
    assert h.items() == [("A", 10), ("B", 2), ("NAXIS", 3), ("C", 3)]
    assert h.comment("A") == "a"
    other = Header({"B": (20, "from other"), "D": 4})
    other.add_commentary("HISTORY", "not copied")
    h.update(other)
    assert h.items() == [("A", 10), ("B", 20), ("NAXIS", 3), ("C", 3), ("D", 4)]
    assert h.comment("B") == "from other"
    assert "HISTORY" not in h


def test_update_copies_long_strings_whole():
    other = Header()
    other["LONG"] = ("z" * 120, "long comment")
    h = Header()
    h.update(other)
    assert h.cards("LONG") == [("z" * 120, "long comment")]


def test_update_failures_keep_earlier_items():
    h = Header()

    class Pairs:
        def items(self):
            return [("A", 1), ("B", [2]), ("C", 3)]

    with pytest.raises(TypeError) as e:
        h.update(Pairs())
    assert str(e.value) == "cannot convert list into a FITS header value"
    assert h.items() == [("A", 1)]
    with pytest.raises(vexlo.FitsError):
        h.update({"D": 4, "BAD KEY": 5})
    assert h.items() == [("A", 1), ("D", 4)]
    with pytest.raises(TypeError) as e:
        h.update(5)
    assert str(e.value) == "header.update: argument must be a Header or a mapping with .items()"


@needs_hooks
def test_update_from_itself():
    h = Header({"A": 1, "B": "two"})
    # The call holds the object, so its items() cannot run.
    with pytest.raises(TypeError) as e:
        h.update(h)
    assert str(e.value) == "header.update: argument must be a Header or a mapping with .items()"
    # A second handle on the same record merges without deadlock.
    twin = T.header_share(h)
    h.update(twin)
    assert h.items() == [("A", 1), ("B", "two")]


@needs_hooks
def test_update_with_repeated_keywords_through_a_twin():
    h = header_of("A       = 1 / one", "A       = 2")
    h.update(T.header_share(h))
    assert h.items() == [("A", 2), ("A", 2)]
    assert h.cards("A") == [(2, "one"), (2, None)]


# --- commentary and renaming -----------------------------------------------------------------


def test_add_commentary():
    h = Header()
    h.add_commentary("comment", "x")
    h.add_commentary("HISTORY", "h")
    h.add_commentary("", "blank")
    h.add_commentary("History", "a" * 150)
    assert h.keys() == ["COMMENT", "HISTORY", "", "HISTORY", "HISTORY", "HISTORY"]
    assert list(h["HISTORY"]) == ["h", "a" * 72, "a" * 72, "a" * 6]
    assert list(h[""]) == ["blank"]


def test_add_commentary_errors():
    h = Header()
    with pytest.raises(TypeError) as e:
        h.add_commentary("note", "x")
    assert str(e.value) == "commentary kind must be 'COMMENT', 'HISTORY', or '' (got \"NOTE\")"
    with pytest.raises(vexlo.FitsError) as e:
        h.add_commentary("COMMENT", "café")
    assert str(e.value) == "header: commentary text contains non-printable byte 0xC3"
    with pytest.raises(TypeError) as e:
        h.add_commentary("COMMENT", 5)
    assert str(e.value) == "argument 'text': 'int' object is not an instance of 'str'"
    assert len(h) == 0


def test_rename_keyword():
    h = header_of("A       = 1 / one", "B       = 2", "A       = 3")
    h.rename_keyword("a", "c")
    assert h.items() == [("C", 1), ("B", 2), ("C", 3)]
    assert h.comment("C") == "one"
    h.rename_keyword("B", "C")  # an existing new name is not refused
    assert h.keys() == ["C", "C", "C"]


def test_rename_keyword_errors():
    h = Header({"A": 1})
    with pytest.raises(KeyError) as e:
        h.rename_keyword("Absent", "NEW")
    assert e.value.args == ("Absent",)
    with pytest.raises(vexlo.FitsError) as e:
        h.rename_keyword("ABSENT", "VERYLONGNAME")
    assert str(e.value) == "header: keyword `VERYLONGNAME` exceeds 8 chars"
    for old, new in (("A", "naxis"), ("bitpix", "B")):
        with pytest.raises(ValueError) as e:
            h.rename_keyword(old, new)
        assert str(e.value) == "Header.rename_keyword: cannot rename a structural card"
    assert h.keys() == ["A"]


# --- read-only headers and the modified flag -------------------------------------------------


@needs_hooks
def test_read_only_header_refuses_every_edit_first():
    h = Header({"A": 1, "B": 2})
    ro = read_only(h)
    assert ro.read_only is True
    edits = [
        lambda: ro.set("NAXIS", 1),
        lambda: ro.set("A", 1, before="B", after="C"),
        lambda: ro.set("A", [1]),
        lambda: ro.__setitem__("A", 2),
        lambda: ro.__setitem__("naxis", 2),
        lambda: ro.__delitem__("A"),
        lambda: ro.insert(-1, "X", 1),
        lambda: ro.update(5),
        lambda: ro.add_commentary("note", "x"),
        lambda: ro.rename_keyword("A", "naxis"),
    ]
    for edit in edits:
        with pytest.raises(ValueError) as e:
            edit()
        assert str(e.value) == READ_ONLY
    # Argument types are checked before the read-only rule.
    with pytest.raises(TypeError):
        ro.set(1, 1)
    # Reading works, and shares the header.
    assert ro.items() == [("A", 1), ("B", 2)]
    h["C"] = 3
    assert ro["C"] == 3


@needs_hooks
def test_modified_flag_is_set_before_checks():
    h = Header({"A": 1})
    assert T.header_modified(h) is None
    failing_edits = [
        lambda t: t.set("X", 1, before="A", after="B"),
        lambda t: t.set("naxis", 1),
        lambda t: t.__delitem__("MISSING"),
        lambda t: t.rename_keyword("MISSING", "B"),
        lambda t: t.insert(0.5, "X"),
        lambda t: t.update(5),
        lambda t: t.__setitem__("A", [1]),
    ]
    for edit in failing_edits:
        t = tracked(h)
        assert T.header_modified(t) is False
        with pytest.raises((ValueError, KeyError, TypeError)):
            edit(t)
        assert T.header_modified(t) is True
    # A wrong argument type fails before the flag is touched.
    t = tracked(h)
    with pytest.raises(TypeError):
        t.set(5, 1)
    assert T.header_modified(t) is False
    # Reading never marks it.
    t.get("A"), t.keys(), t.items(), str(t), bytes(t), t.tostring(), list(t), len(t)
    assert T.header_modified(t) is False
    t["A"] = 2
    assert T.header_modified(t) is True
    assert h["A"] == 2


@needs_hooks
def test_shared_handles_see_each_others_edits():
    h = Header({"A": 1})
    twin = T.header_share(t := tracked(h))
    assert T.header_modified(twin) is False
    twin["B"] = 2
    assert T.header_modified(t) is True  # one flag shared by both handles
    assert h.keys() == ["A", "B"]
    copy = Header(h)
    copy["C"] = 3
    assert "C" not in h


# --- re-entrant use --------------------------------------------------------------------------


def test_reading_inside_an_edit_is_refused():
    h = Header({"A": 1})
    seen = []

    class Sneaky(complex):
        @property
        def real(self):
            seen.append("real")
            return h["A"]

    with pytest.raises(RuntimeError) as e:
        h.set("B", Sneaky(1, 2))
    assert str(e.value) == "Already mutably borrowed"
    assert seen == ["real"]
    assert h.keys() == ["A"]
    h.set("B", 1)  # the object is free again
    assert h["B"] == 1


def test_editing_inside_a_read_is_refused():
    h = Header({"A": 1, "B": 2})

    class Index:
        def __index__(self):
            h["C"] = 3
            return 0

    with pytest.raises(RuntimeError) as e:
        h[("A", Index())]
    assert str(e.value) == "Already borrowed"
    assert "C" not in h


def test_mapping_reading_the_target_during_update():
    h = Header({"A": 1})

    class Reader:
        def items(self):
            return [("B", len(h))]

    with pytest.raises(TypeError) as e:
        h.update(Reader())
    assert str(e.value) == "header.update: argument must be a Header or a mapping with .items()"

    class LateReader:
        def items(self):
            def gen():
                yield ("B", 2)
                yield ("C", h["A"])

            return gen()

    with pytest.raises(RuntimeError) as e:
        h.update(LateReader())
    assert str(e.value) == "Already mutably borrowed"
    assert h.items() == [("A", 1), ("B", 2)]


def test_threads_share_one_header():
    h = Header()
    errors = []

    def writer(n):
        try:
            for i in range(200):
                h[f"K{n}_{i}"] = i
                assert h.get(f"K{n}_{i}") == i
                len(h), str(h)
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=writer, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert len(h) == 800
    assert sorted(h.to_dict().values()) == sorted(list(range(200)) * 4)

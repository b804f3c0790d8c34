"""vexlo.open, vexlo.FitsFile: modes, lookups by position and name, iteration, closing and the
file summary; the interoperability fixtures read back to the values their writer reports."""

import json
import os
import pathlib
import subprocess
import sys
import threading

import numpy as np
import pytest

import vexlo
from fits_bytes import bintable_hdu, card, Col, header_bytes, primary_hdu
from fits_images import foreign_hdu, image_file, image_hdu, images_file, random_groups_file

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"


def sci_file(tmp_path):
    """Five HDUs: an empty primary, SCI (no EXTVER), SCI with EXTVER 2, ERR, and an unnamed
    image."""
    return images_file(
        tmp_path / "sci.fits",
        image_hdu(np.zeros((2, 3), ">i2"), cards=[card("EXTNAME", "SCI")]),
        image_hdu(np.ones((2, 3), ">i2"), cards=[card("EXTNAME", "SCI"), card("EXTVER", 2)]),
        image_hdu(np.zeros((2, 3), ">f4"), cards=[card("EXTNAME", "ERR")]),
        image_hdu(np.zeros(4, "u1")),
    )


# --- open() and its arguments ------------------------------------------------------------------


@pytest.mark.parametrize(
    "mode, text",
    [
        (
            "UPDATE",
            "vexlo.open: mode must be 'readonly', 'denywrite', or 'update'; got \"UPDATE\"",
        ),
        ("", "vexlo.open: mode must be 'readonly', 'denywrite', or 'update'; got \"\""),
        (
            'r"w',
            "vexlo.open: mode must be 'readonly', 'denywrite', or 'update'; got \"r\\\"w\"",
        ),
        (
            "append",
            'vexlo.open: mode "append" is not supported; use `vexlo.write(path, hdus)` to '
            "create a new file, or open with mode='readonly' and call `writeto(new_path)` to "
            "save a modified copy",
        ),
        (
            "ostream",
            'vexlo.open: mode "ostream" is not supported; use `vexlo.write(path, hdus)` to '
            "create a new file, or open with mode='readonly' and call `writeto(new_path)` to "
            "save a modified copy",
        ),
    ],
)
def test_bad_mode_is_refused_before_the_file_is_touched(tmp_path, mode, text):
    with pytest.raises(ValueError) as info:
        vexlo.open(tmp_path / "does-not-exist.fits", mode)
    assert info.value.args == (text,)


def test_missing_file_raises_fits_error(tmp_path):
    with pytest.raises(vexlo.FitsError) as info:
        vexlo.open(tmp_path / "missing.fits")
    assert str(info.value).startswith("i/o error: ")
    assert isinstance(info.value, OSError)


@pytest.mark.parametrize(
    "call, exc, text",
    [
        (lambda: vexlo.open(), TypeError, "open() missing 1 required positional argument: 'path'"),
        (
            lambda: vexlo.open(5),
            TypeError,
            "argument 'path': expected str, bytes or os.PathLike object, not int",
        ),
        (
            lambda: vexlo.open(b"x.fits"),
            TypeError,
            "argument 'path': 'bytes' object is not an instance of 'str'",
        ),
        (
            lambda: vexlo.open("x.fits", 1),
            TypeError,
            "argument 'mode': 'int' object is not an instance of 'str'",
        ),
        (
            lambda: vexlo.open("x.fits", lenient=1),
            TypeError,
            "argument 'lenient': 'int' object is not an instance of 'bool'",
        ),
        (
            lambda: vexlo.open("x.fits", "readonly", True, 4),
            TypeError,
            "open() takes from 1 to 3 positional arguments but 4 were given",
        ),
        (
            lambda: vexlo.open(path="x.fits", flavour=1),
            TypeError,
            "open() got an unexpected keyword argument 'flavour'",
        ),
        (lambda: vexlo.open("x\0.fits"), ValueError, "embedded null byte"),
    ],
)
def test_open_argument_errors(call, exc, text):
    with pytest.raises(exc) as info:
        call()
    assert info.value.args == (text,)


def test_open_accepts_str_and_path_like(tmp_path):
    path = image_file(tmp_path / "a.fits", np.arange(3, dtype="u1"))

    class Custom:
        def __fspath__(self):
            return str(path)

    for given in (str(path), path, Custom()):
        f = vexlo.open(given, "denywrite", lenient=np.bool_(False))
        assert len(f) == 1
        assert f.read_only is True


def test_lenient_flag_selects_the_header_parser(tmp_path):
    path = tmp_path / "lax.fits"
    path.write_bytes(
        header_bytes([card("SIMPLE", True), card("BITPIX", 8), "bad key = 1".ljust(80),
                      card("NAXIS", 0)])
    )
    assert vexlo.open(path)[0].data is None
    with pytest.raises(vexlo.FitsError, match=r"^card at byte 160: "):
        vexlo.open(path, lenient=False)


def test_hierarch_cards_without_value_indicator_are_kept_as_commentary(tmp_path):
    odd = ["HIERARCH ESO DET WIN1 BINX 1", "HIERARCH= 5", "HIERARCH ESO A B=5"]
    path = tmp_path / "eso.fits"
    path.write_bytes(
        header_bytes([card("SIMPLE", True), card("BITPIX", 8), card("NAXIS", 1),
                      card("NAXIS1", 3)] + [c.ljust(80) for c in odd]
                     + ["HIERARCH ESO OK = 7".ljust(80)])
        + b"\x01\x02\x03" + b"\0" * 2877
    )
    with pytest.raises(vexlo.FitsError, match=r"^card at byte 320: HIERARCH card has no"):
        vexlo.open(path, lenient=False)
    hdu = vexlo.open(path)[0]
    assert hdu.data.tolist() == [1, 2, 3]
    h = hdu.header
    assert h.keys()[4:] == ["HIERARCH", "HIERARCH", "HIERARCH", "HIERARCH ESO OK"]
    assert h["HIERARCH ESO OK"] == 7
    assert str(h).splitlines()[4:7] == [c.ljust(80) for c in odd]


def test_gzip_file_of_several_members_opens_whole(tmp_path):
    import gzip

    content = images_file(tmp_path / "plain.fits", image_hdu(np.arange(6, dtype=">i2"))).read_bytes()
    path = tmp_path / "members.fits.gz"
    path.write_bytes(b"".join(gzip.compress(content[i:i + 1000])
                              for i in range(0, len(content), 1000)))
    f = vexlo.open(path)
    assert len(f) == 2
    assert f[1].data.tolist() == list(range(6))


def test_gzip_file_opens(tmp_path):
    f = vexlo.open(DATA / "bintable.fits.gz")
    assert len(f) == 2
    assert f[1].header["EXTNAME"] == "EVENTS"


def test_signatures_and_docs():
    assert vexlo.open.__text_signature__ == '(path, mode="readonly", lenient=True)'
    assert vexlo.open.__doc__.splitlines()[0] == "Open a FITS file by path."
    # Every mode open takes is named in its help.
    for mode in ("readonly", "denywrite", "update"):
        assert f'"{mode}"' in vexlo.open.__doc__, mode
    assert vexlo.open.__module__ == "vexlo"
    assert vexlo.FitsFile.hdu.__text_signature__ == "($self, i)"
    assert vexlo.FitsFile.hdu_by_name.__text_signature__ == "($self, name, ver=None)"
    assert vexlo.FitsFile.flush.__text_signature__ == "($self)"
    assert vexlo.FitsFile.close.__text_signature__ == "($self)"
    assert vexlo.FitsFile.__enter__.__text_signature__ == "($self)"
    assert vexlo.FitsFile.__exit__.__text_signature__ == (
        "($self, exc_type=None, _exc_val=None, _exc_tb=None)"
    )
    assert vexlo.FitsFile.__text_signature__ == "()"
    assert vexlo.FitsFile.__doc__.splitlines()[0] == "Owning, ordered, mutable list of HDUs."
    assert vexlo.FitsFile.read_only.__doc__.startswith("True when the file was opened read-only.")


# --- FitsFile() and read_only --------------------------------------------------------------------


def test_empty_in_memory_file():
    f = vexlo.FitsFile()
    assert len(f) == 0
    assert f.read_only is False
    assert repr(f) == 'FitsFile("<memory>", 0 HDUs)'
    assert list(f) == []
    assert f.flush() is None
    with pytest.raises(IndexError) as info:
        f[0]
    assert info.value.args == ("HDU index 0 out of range",)
    with pytest.raises(TypeError) as info:
        vexlo.FitsFile(1)
    assert info.value.args == ("FitsFile.__new__() takes 0 positional arguments but 1 was given",)


def test_read_only_by_mode(tmp_path):
    path = image_file(tmp_path / "a.fits", np.zeros(2, "u1"))
    assert vexlo.open(path).read_only is True
    assert vexlo.open(path, "readonly").read_only is True
    assert vexlo.open(path, mode="denywrite").read_only is True


def test_classes_are_final_and_iterator_hidden(tmp_path):
    with pytest.raises(TypeError):
        type("Sub", (vexlo.FitsFile,), {})
    with pytest.raises(AttributeError):
        vexlo._HduIter
    f = vexlo.open(sci_file(tmp_path))
    it = iter(f)
    assert type(it).__name__ == "_HduIter"
    assert type(it).__module__ == "vexlo"
    assert type(it).__doc__ == "Iterator over HDUs in a `PyFitsFile`."
    assert iter(it) is it
    with pytest.raises(TypeError):
        type(it)()


# --- Lookups -----------------------------------------------------------------------------------


def test_positions_and_negative_indices(tmp_path):
    f = vexlo.open(sci_file(tmp_path))
    assert len(f) == 5
    assert f[-1] is f[4]
    assert f[-5] is f[0]
    assert f[True] is f[1]
    assert f[np.int64(2)] is f[2]
    assert f.hdu(3) is f[3]
    for key, text in [(-6, "HDU index -6 out of range"), (5, "HDU index 5 out of range")]:
        with pytest.raises(IndexError) as info:
            f[key]
        assert info.value.args == (text,)
    with pytest.raises(IndexError) as info:
        f.hdu(5)
    assert info.value.args == ("HDU index 5 out of range",)
    with pytest.raises(OverflowError):
        f.hdu(-1)
    with pytest.raises(TypeError) as info:
        f.hdu("1")
    assert info.value.args[0].startswith("argument 'i': ")


@pytest.mark.parametrize(
    "key, text",
    [
        (1.0, "HDU index must be an int, an EXTNAME string, or a (name, ver) tuple"),
        (("SCI",), "HDU index must be an int, an EXTNAME string, or a (name, ver) tuple"),
        (("SCI", 1, 2), "HDU index must be an int, an EXTNAME string, or a (name, ver) tuple"),
        (2**70, "HDU index must be an int, an EXTNAME string, or a (name, ver) tuple"),
        (None, "HDU index must be an int, an EXTNAME string, or a (name, ver) tuple"),
        (("SCI", "2"), "HDU tuple key must be (EXTNAME: str, EXTVER: int)"),
        ((1, 2), "HDU tuple key must be (EXTNAME: str, EXTVER: int)"),
        (("SCI", 2.0), "HDU tuple key must be (EXTNAME: str, EXTVER: int)"),
    ],
)
def test_bad_keys(tmp_path, key, text):
    f = vexlo.open(sci_file(tmp_path))
    with pytest.raises(TypeError) as info:
        f[key]
    assert info.value.args == (text,)


def test_membership_agrees_with_lookup(tmp_path):
    f = vexlo.open(sci_file(tmp_path))
    for key in ("SCI", ("SCI", 2), ("SCI", 1), "ERR", 0, 4, -5, np.int64(1)):
        assert key in f, key
        f[key]
    for key in ("sci", ("SCI", 3), ("ERR", 2), 5, -6, 2**70, ("SCI",), ("SCI", "2"), None, 1.0):
        assert key not in f, key
    assert f[2] in f and vexlo.open(sci_file(tmp_path))[2] not in f


def test_lookup_by_name_and_version(tmp_path):
    f = vexlo.open(sci_file(tmp_path))
    assert f["SCI"] is f[1]
    assert f["SCI", 1] is f[1]
    assert f[("SCI", 2)] is f[2]
    assert f["ERR"] is f[3]
    assert f.hdu_by_name("SCI") is f[1]
    assert f.hdu_by_name("SCI", 2) is f[2]
    assert f.hdu_by_name(name="SCI", ver=None) is f[1]
    assert f.hdu_by_name("ERR", ver=1) is f[3]

    class Pair(tuple):
        pass

    assert f[Pair(("SCI", 2))] is f[2]
    for key, text in [
        ("sci", 'no HDU with EXTNAME="sci"'),
        (("SCI", 3), 'no HDU with EXTNAME="SCI", EXTVER=3'),
        ('a"b\n', 'no HDU with EXTNAME="a\\"b\\n"'),
    ]:
        with pytest.raises(KeyError) as info:
            f[key]
        assert info.value.args == (text,)
    with pytest.raises(KeyError) as info:
        f.hdu_by_name("ERR", 2)
    assert info.value.args == ('no HDU with EXTNAME="ERR", EXTVER=2',)
    with pytest.raises(TypeError) as info:
        f.hdu_by_name(1)
    assert info.value.args == ("argument 'name': 'int' object is not an instance of 'str'",)
    with pytest.raises(TypeError) as info:
        f.hdu_by_name("SCI", "2")
    assert info.value.args[0].startswith("argument 'ver': ")


def test_extname_must_be_a_string_value(tmp_path):
    path = images_file(
        tmp_path / "n.fits",
        image_hdu(np.zeros(2, "u1"), cards=[card("EXTNAME", 7)]),
        image_hdu(np.zeros(2, "u1"), cards=[card("EXTNAME", "7"), card("EXTVER", "x")]),
    )
    f = vexlo.open(path)
    assert f["7"] is f[2]  # the integer EXTNAME of HDU 1 does not match
    assert f["7", 1] is f[2]  # an EXTVER that is not an integer counts as 1


def test_same_object_from_every_lookup(tmp_path):
    f = vexlo.open(sci_file(tmp_path))
    first = [f[i] for i in range(len(f))]
    assert list(f) == first
    assert all(a is b for a, b in zip(f, first))
    assert f["ERR"] is first[3]


def test_unsupported_extension_is_refused_at_every_lookup(tmp_path):
    path = images_file(
        tmp_path / "foo.fits", foreign_hdu("FOO"), image_hdu(np.zeros(2, "u1"),
                                                            cards=[card("EXTNAME", "SCI")])
    )
    f = vexlo.open(path)
    assert len(f) == 3
    for _ in range(2):
        with pytest.raises(TypeError) as info:
            f[1]
        assert info.value.args == (
            'HDU has XTENSION="FOO", which is not supported by the Python wrapper.',
        )
    with pytest.raises(TypeError, match="FOO"):
        iter(f)
    # A name lookup meets the broken HDU before the match and raises its error.
    with pytest.raises(TypeError, match="FOO"):
        f["SCI"]
    assert f[2].header["EXTNAME"] == "SCI"
    assert repr(f) == 'FitsFile("foo.fits", 3 HDUs)'


def test_summary_lists_a_zero_width_table_of_any_row_count(tmp_path):
    # A zero-width table claiming 10**15 rows loads without per-row storage, so the summary
    # shows it in full.
    table = bytearray(bintable_hdu([Col("Z", "0J", np.zeros(0, ">i4"))], 0))
    for key, value in (("NAXIS1", 0), ("NAXIS2", 10**15)):
        at = table.find(key.ljust(8).encode() + b"=")
        table[at:at + 80] = card(key, value).encode()
    path = tmp_path / "huge.fits"
    path.write_bytes(primary_hdu() + bytes(table))
    f = vexlo.open(path)
    assert len(f[1]) == 10**15
    assert repr(f).splitlines()[2].split() == ["[1]", "BinTable", str(10**15), "rows", "x", "1",
                                               "cols"]


def test_iterator_is_a_fixed_list(tmp_path):
    f = vexlo.open(sci_file(tmp_path))
    it = iter(f)
    assert next(it) is f[0]
    rest = list(it)
    assert rest == [f[1], f[2], f[3], f[4]]
    assert list(it) == []
    with pytest.raises(StopIteration):
        next(it)


# --- Closing and the context manager -----------------------------------------------------------


def test_close_keeps_built_objects(tmp_path):
    f = vexlo.open(sci_file(tmp_path))
    sci = f[1]
    assert f.close() is None
    assert f.close() is None
    assert len(f) == 5
    assert f[1] is sci
    np.testing.assert_array_equal(sci.data, np.zeros((2, 3), np.int16))
    with pytest.raises(ValueError) as info:
        f[2]
    assert info.value.args == (
        "FitsFile: backing file dropped while a slot is still pending (internal invariant "
        "violated)",
    )
    with pytest.raises(ValueError):
        f["ERR"]


def test_context_manager(tmp_path):
    path = sci_file(tmp_path)
    with vexlo.open(path) as f:
        assert isinstance(f, vexlo.FitsFile)
        hdu = f[4]
    assert hdu.data.shape == (4,)
    with pytest.raises(RuntimeError, match="inside"):
        with vexlo.open(path) as f:
            raise RuntimeError("inside")
    f = vexlo.open(path)
    assert f.__enter__() is f
    assert f.__exit__() is False
    assert f.__exit__(ValueError, ValueError("x"), None) is False
    with pytest.raises(TypeError) as info:
        f.__enter__(1)
    assert info.value.args == (
        "FitsFile.__enter__() takes 0 positional arguments but 1 was given",
    )


def test_image_read_after_file_object_is_gone(tmp_path):
    path = image_file(tmp_path / "a.fits", np.arange(6, dtype=">i4").reshape(2, 3))
    hdu = vexlo.open(path)[0]
    section = hdu.section
    np.testing.assert_array_equal(section[1], [3, 4, 5])
    np.testing.assert_array_equal(hdu.data, np.arange(6).reshape(2, 3))


# --- The summary -------------------------------------------------------------------------------


def test_summary_of_one_image(tmp_path):
    data = np.zeros((200, 100), ">i2")
    path = image_file(tmp_path / "image.fits", data)
    assert repr(vexlo.open(path)) == (
        'FitsFile("image.fits", 1 HDU)\n  [0]       Image  int16    100 \u00d7 200'
    )
    path = image_file(tmp_path / "image.fits", data, cards=[card("CTYPE1", "RA---TAN")])
    assert repr(vexlo.open(path)).endswith("100 \u00d7 200  WCS")
    path = image_file(tmp_path / "image.fits", data, cards=[card("CTYPE1", "")])
    assert repr(vexlo.open(path)).endswith("100 \u00d7 200")
    # Keywords of five or more characters starting with CTYPE count; blank strings, other
    # value types and shorter keywords do not.
    for cards, wcs in [
        ([card("CTYPE", "RA---TAN")], True),
        ([card("CTYPEX", "FREQ")], True),
        ([card("CTYP1", "RA---TAN"), card("CTYPE2", 3), card("CTYPE3", "   ")], False),
        ([card("CTYPE1", True), card("XCTYPE1", "RA---TAN")], False),
    ]:
        path = image_file(tmp_path / "image.fits", data, cards=cards)
        assert repr(vexlo.open(path)).endswith("  WCS") is wcs, cards


def test_summary_with_a_table(tmp_path):
    path = tmp_path / "image.fits"
    table = bintable_hdu(
        [
            Col("A", "1J", np.arange(10, dtype=">i4")),
            Col("B", "1E", np.zeros(10, ">f4")),
            Col("C", "1D", np.zeros(10, ">f8")),
        ],
        10,
        extname="SCI",
    )
    path.write_bytes(image_hdu(np.zeros((200, 100), ">i2"), primary=True) + table)
    assert repr(vexlo.open(path)).splitlines() == [
        'FitsFile("image.fits", 2 HDUs)',
        "  [0]       Image     int16    100 \u00d7 200",
        "  [1] SCI   BinTable  10 rows x 3 cols",
    ]


def test_summary_index_widths_and_names(tmp_path):
    ext = [image_hdu(np.zeros(3, ">f8"), cards=[card("EXTNAME", f"  E{i}  ")]) for i in range(9)]
    lines = repr(vexlo.open(images_file(tmp_path / "ten.fits", *ext))).splitlines()
    assert lines[0] == 'FitsFile("ten.fits", 10 HDUs)'
    assert lines[1] == "  [ 0]       Image  uint8"
    assert lines[2] == "  [ 1] E0    Image  float64  3"
    assert lines[10] == "  [ 9] E8    Image  float64  3"
    ext = [image_hdu(axes=[0], bitpix=16) for _ in range(99)]
    lines = repr(vexlo.open(images_file(tmp_path / "hundred.fits", *ext))).splitlines()
    assert lines[1] == "  [  0]       Image  uint8"
    assert lines[100] == "  [ 99]       Image  int16    0"
    ext = [image_hdu(np.zeros(1, "u1"), cards=[card("EXTNAME", "A_LONGER_NAME")])]
    lines = repr(vexlo.open(images_file(tmp_path / "w.fits", *ext))).splitlines()
    assert lines[1:] == [
        "  [0]                Image  uint8",
        "  [1] A_LONGER_NAME  Image  uint8    1",
    ]


def test_summary_of_random_groups(tmp_path):
    path = random_groups_file(
        tmp_path / "rg.fits", np.zeros(10, ">f4"), pcount=1, axes=[1], gcount=5
    )
    assert repr(vexlo.open(path)) == 'FitsFile("rg.fits", 1 HDU)\n  [0]       Unknown'


def test_summary_names_quoted(tmp_path):
    odd = tmp_path / 'we"ird\n.fits'
    image_file(odd, np.zeros(1, "u1"))
    assert repr(vexlo.open(odd)).splitlines()[0] == 'FitsFile("we\\"ird\\n.fits", 1 HDU)'


def test_file_name_through_a_symlink_and_dots(tmp_path, monkeypatch):
    target = image_file(tmp_path / "target.fits", np.zeros(1, "u1"))
    link = tmp_path / "link.fits"
    os.symlink(target, link)
    assert repr(vexlo.open(link)).splitlines()[0] == 'FitsFile("link.fits", 1 HDU)'
    sub = tmp_path / "sub"
    sub.mkdir()
    monkeypatch.chdir(sub)
    assert repr(vexlo.open("../target.fits")).splitlines()[0] == (
        'FitsFile("target.fits", 1 HDU)'
    )
    assert repr(vexlo.open("./../target.fits")).splitlines()[0] == (
        'FitsFile("target.fits", 1 HDU)'
    )


# --- Laziness ----------------------------------------------------------------------------------


def test_numpy_is_imported_by_the_first_array_only(tmp_path):
    path = sci_file(tmp_path)
    code = f"""
import sys, vexlo
f = vexlo.open({str(path)!r})
h = f["ERR"]
assert h.header["EXTNAME"] == "ERR" and h.axes == [3, 2] and h.bitpix == -32
repr(f); repr(h); repr(h.section)
assert "numpy" not in sys.modules, "numpy imported before an array was needed"
d = h.data
assert "numpy" in sys.modules and d.shape == (2, 3)
print("ok")
"""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok"


# --- Interoperability fixtures -----------------------------------------------------------------


@pytest.fixture(scope="module")
def interop():
    with open(DATA / "interop_expected.json") as fh:
        return json.load(fh)


def test_interop_images(interop):
    f = vexlo.open(DATA / "images.fits")
    wanted = interop["images.fits"]
    assert len(f) == len(wanted)
    for hdu, want in zip(f, wanted):
        header = hdu.header
        assert header.get("EXTNAME") == want["EXTNAME"]
        assert header.get("EXTVER") == want["EXTVER"]
        if "shape" not in want:
            assert hdu.data is None
            continue
        data = hdu.data
        assert list(data.shape) == want["shape"]
        nans = int(np.isnan(data).sum()) if data.dtype.kind == "f" else 0
        assert nans == want["nan"]
        assert float(np.nansum(data, dtype=np.float64)) == pytest.approx(want["sum"], rel=1e-12)
        assert data.flags.writeable is False


def test_interop_image_by_name(interop):
    f = vexlo.open(DATA / "images.fits")
    for n, ver in [(1, 1), (3, 3), (6, 6)]:
        assert f["IMG", ver] is f[n]
    assert f["U16"].data.dtype == np.uint16
    assert f["U32"].data.dtype == np.uint32
    assert f["I8"].data.dtype == np.int8
    assert f["SCALED"].data.dtype == np.float32


def test_interop_checksum_image(interop):
    want = interop["header_checksum.fits"][0]
    data = vexlo.open(DATA / "header_checksum.fits")[0].data
    assert list(data.shape) == want["shape"]
    assert float(data.sum()) == want["sum"]


def test_interop_random_groups(interop):
    want = interop["random_groups.fits"][0]
    rg = vexlo.open(DATA / "random_groups.fits")[0]
    assert isinstance(rg, vexlo.RandomGroups)
    assert rg.n_groups == want["n_groups"]
    groups = [rg.group(i) for i in range(len(rg))]
    params = np.sum([p for p, _ in groups], axis=0)
    assert params.tolist() == want["params"]
    assert float(sum(d.sum() for _, d in groups)) == want["data_sum"]


def test_interop_tables_are_reached(interop):
    for name in ("bintable.fits.gz", "ascii_table.fits"):
        f = vexlo.open(DATA / name)
        for hdu, want in zip(f, interop[name]):
            assert hdu.header.get("EXTNAME") == want["EXTNAME"]
            if "n_rows" in want:
                assert hdu.n_rows == want["n_rows"]
    assert type(vexlo.open(DATA / "bintable.fits.gz")[1]) is vexlo.BinTable
    assert type(vexlo.open(DATA / "ascii_table.fits")[1]) is vexlo.AsciiTable


def test_threads_share_every_object(tmp_path):
    ext = [image_hdu(np.full((64, 64), i, ">i4"), cards=[card("EXTNAME", f"E{i}")])
           for i in range(30)]
    f = vexlo.open(images_file(tmp_path / "many.fits", *ext))
    results = []
    barrier = threading.Barrier(8)

    def work(seed):
        barrier.wait()
        order = range(len(f) - 1, -1, -1) if seed % 2 else range(len(f))
        got = {i: f[i] for i in order}
        arrays = {i: got[i].data for i in range(1, len(f))}
        named = f[f"E{seed}"]
        results.append((got, arrays, named))

    threads = [threading.Thread(target=work, args=(s,)) for s in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 8
    for got, arrays, named in results:
        assert all(got[i] is f[i] for i in got)
        assert all(arrays[i] is f[i].data for i in arrays)
        assert named is f[int(named.header["EXTNAME"][1:]) + 1]
    assert [int(f[i].data[0, 0]) for i in range(1, len(f))] == list(range(30))


def test_threads_convert_decode_and_verify_at_once(tmp_path):
    # Conversions, table decoding and checksum reads run without the interpreter lock while
    # other threads load HDUs of the same file.
    path = tmp_path / "mixed.fits"
    raw = np.arange(128 * 128, dtype=np.int16).reshape(128, 128)
    vexlo.write(
        str(path),
        [
            vexlo.image(raw, {"BSCALE": 2.0, "BZERO": 1.0}),
            vexlo.image(raw.astype(np.uint16), primary=False),
            vexlo.bintable({"x": np.arange(5000, dtype=np.float64)}),
        ],
        checksums=True,
    )
    f = vexlo.open(path)
    barrier = threading.Barrier(6)
    results = []

    def work():
        barrier.wait()
        results.append((f.verify_checksums(), f[0].data, f[1].data, f[2].column("x")))

    threads = [threading.Thread(target=work) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 6
    for sums, scaled, offset, column in results:
        assert all(s["checksum_ok"] and s["datasum_ok"] for s in sums)
        assert scaled is f[0].data and offset is f[1].data
        np.testing.assert_array_equal(column, np.arange(5000, dtype=np.float64))
    np.testing.assert_array_equal(f[0].data, raw * np.float32(2) + np.float32(1))
    assert f[1].data.dtype == np.uint16
    np.testing.assert_array_equal(f[1].data, raw.astype(np.uint16))


# ---- paths that are not regular files, and blocking I/O ----


def test_paths_that_are_not_regular_files_are_refused_at_once(tmp_path):
    import socket
    fifo = tmp_path / "pipe.fits"
    os.mkfifo(fifo)
    sock_path = tmp_path / "sock.fits"
    sock = socket.socket(socket.AF_UNIX)
    sock.bind(str(sock_path))
    cases = [(fifo, "a FIFO"), ("/dev/zero", "a character device")]
    outcome = {}

    def run():
        for path, kind in cases:
            try:
                vexlo.open(path)
                outcome[path] = "opened"
            except vexlo.FitsError as e:
                outcome[path] = str(e)

    t = threading.Thread(target=run)
    t.start()
    t.join(10)
    if t.is_alive():
        # Release a reader stuck waiting for the FIFO's writer, then fail.
        os.close(os.open(fifo, os.O_WRONLY))
        t.join()
        pytest.fail("opening a FIFO waited for a writer")
    for path, kind in cases:
        assert outcome[path] == f"i/o error: '{path}' is {kind}, not a regular file"
    # A socket cannot even be opened; the system says so.
    with pytest.raises(vexlo.FitsError, match="^i/o error: No such device or address"):
        vexlo.open(sock_path)
    sock.close()
    with pytest.raises(vexlo.FitsError, match=r"^i/o error: Is a directory \(os error 21\)"):
        vexlo.open(tmp_path)


CHILD_FIFO_WRITE = """
import sys, threading
import numpy as np
import vexlo
fifo, copy = sys.argv[1], sys.argv[2]
image = vexlo.image(np.arange(100_000, dtype=np.int32))
# The writer blocks in open until a reader comes, and then on every full pipe buffer: the
# reading below can only happen while the writing thread has let go of the interpreter.
t = threading.Thread(target=vexlo.write, args=(fifo, [image]), kwargs={"overwrite": True})
t.start()
with open(fifo, "rb") as r, open(copy, "wb") as w:
    w.write(r.read())
t.join()
print(vexlo.open(copy)[0].data[-1])
"""


def test_other_threads_run_while_one_blocks_on_a_file(tmp_path):
    fifo = tmp_path / "out.fits"
    os.mkfifo(fifo)
    r = subprocess.run([sys.executable, "-c", CHILD_FIFO_WRITE, str(fifo), str(tmp_path / "c")],
                       capture_output=True, text=True, timeout=60,
                       env=dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, sys.path))))
    assert (r.returncode, r.stdout) == (0, "99999\n"), r.stderr


# ---- memory of gzip-compressed files ----

CHILD_GZIP_PEAK = """
import resource, sys
import vexlo
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    f = vexlo.open(sys.argv[1])
    print(len(f), end=" ")
except vexlo.FitsError as e:
    print(e, end=" ")
print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
"""


def gzip_file(path, head, zeros):
    import gzip
    with gzip.open(path, "wb", compresslevel=1) as g:
        g.write(head)
        block = bytes(1 << 20)
        for _ in range(zeros >> 20):
            g.write(block)


def test_gzip_files_cost_their_decoded_size_once(tmp_path):
    # The trailer's size lets the content be decoded in place: the peak stays near the
    # decoded size, where growth by copying would reach twice as much.
    mib = 128
    image = tmp_path / "zeros.fits.gz"
    head = header_bytes([card("SIMPLE", True), card("BITPIX", 8), card("NAXIS", 1),
                         card("NAXIS1", mib << 20)])
    gzip_file(image, head, mib << 20)
    # A stream that is not FITS is refused after its first block.
    junk = tmp_path / "junk.gz"
    gzip_file(junk, b"", mib << 20)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, sys.path)))
    peaks = {}
    for path in (image, junk):
        r = subprocess.run([sys.executable, "-c", CHILD_GZIP_PEAK, str(path)],
                           capture_output=True, text=True, timeout=60, env=env)
        assert r.returncode == 0, r.stderr
        verdict, peak = r.stdout.rsplit(" ", 1)
        peaks[path.name] = (verdict, int(peak))
    assert peaks["zeros.fits.gz"][0] == "1" and peaks["zeros.fits.gz"][1] < mib * 1.2
    assert peaks["junk.gz"][0] == "header: file contains no HDU" and peaks["junk.gz"][1] < 8


def test_many_headers_and_one_huge_header_read_back_from_their_stored_blocks(tmp_path):
    # An opened file keeps each header's blocks and parses them again on request (its
    # memory is measured by bench/open_many.py): every header must still read as written.
    many = tmp_path / "many.fits"
    with open(many, "wb") as fh:
        fh.write(primary_hdu())
        for i in range(1, 10_000):
            fh.write(header_bytes([card("XTENSION", "IMAGE"), card("BITPIX", 8),
                                   card("NAXIS", 0), card("PCOUNT", 0), card("GCOUNT", 1),
                                   card("EXTNAME", f"E{i}")]))
    huge = tmp_path / "huge.fits"
    cards = 100_000
    huge.write_bytes(header_bytes([card("SIMPLE", True), card("BITPIX", 8), card("NAXIS", 0)] +
                                  [card(f"K{i:07d}", i) for i in range(cards)]))
    f = vexlo.open(str(many))
    assert len(f) == 10_000
    assert f["E9999"].header["EXTNAME"] == "E9999"
    assert f[5000].header["EXTNAME"] == "E5000"
    assert vexlo.open(str(huge))[0].header[f"K{cards - 1:07d}"] == cards - 1


def test_name_lookup_agrees_with_every_slots_header(tmp_path):
    # Names as each loaded header shows them; a compressed image drops the default table name.
    a = np.arange(12, dtype=np.int16).reshape(3, 4)
    path = str(tmp_path / "names.fits")
    vexlo.write(path, [
        vexlo.image(np.zeros(2, "u1")),
        vexlo.compressed_image(a),
        vexlo.image(a, {"EXTNAME": "SCI"}, primary=False),
        vexlo.compressed_image(a, {"EXTVER": 2}, extname="SCI"),
        vexlo.image(a, {"EXTNAME": "PAD  "}, primary=False),
        vexlo.compressed_image(a, extname="COMPRESSED_IMAGE"),
    ])
    reference = vexlo.open(path)
    shown = [(h.header.get("EXTNAME"), h.header.get("EXTVER", 1)) for h in reference]
    f = vexlo.open(path)
    for name in ("SCI", "COMPRESSED_IMAGE", "PAD", "PAD  ", "X", ""):
        for ver in (None, 1, 2):
            want = [i for i, (n, v) in enumerate(shown) if n == name and ver in (None, v)]
            if want:
                assert f.hdu_by_name(name, ver) is f[want[0]], (name, ver)
            else:
                with pytest.raises(KeyError):
                    f.hdu_by_name(name, ver)

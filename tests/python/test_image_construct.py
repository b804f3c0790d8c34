"""vexlo.ImageHdu built from arrays: every dtype, the header and name arguments, assignment to
`data`, the repr, and the HDU a rewrite would write (through the test-only vexlo_testing)."""

import warnings

import numpy as np
import pytest

import vexlo
from fits_bytes import card
from fits_images import image_file, stored
from hooks import T, needs_hooks

UNSUPPORTED = (
    "ImageHdu: unsupported numpy dtype {}; expected one of bool, int8, uint8, int16, uint16, "
    "int32, uint32, int64, uint64, float32, float64"
)
NOT_ARRAY = "{}: expected a numpy array or an array-like sequence"


def read(tmp_path, data=None, cards=(), **kw):
    return vexlo.open(image_file(tmp_path / "img.fits", data, cards=cards, **kw))[0]


def header_cards(raw):
    """The 80-character cards of header bytes, END and fill left out."""
    assert len(raw) % 2880 == 0
    out = []
    for i in range(0, len(raw), 80):
        text = raw[i : i + 80].decode("ascii")
        if text.startswith("END "):
            return out
        out.append(text)
    raise AssertionError("no END card")


def keys(raw):
    return [c[:8].strip() for c in header_cards(raw)]


def value_of(raw, key):
    for c in header_cards(raw):
        if c[:8].strip() == key:
            return c[10:].split("/")[0].strip()
    return None


# --- construction ---------------------------------------------------------------------------

# (dtype, BITPIX, dtype name shown by repr)
DTYPES = [
    (np.bool_, 8, "uint8"),
    (np.int8, 8, "uint8"),
    (np.uint8, 8, "uint8"),
    (np.int16, 16, "int16"),
    (np.uint16, 16, "int16"),
    (np.int32, 32, "int32"),
    (np.uint32, 32, "int32"),
    (np.int64, 64, "int64"),
    (np.uint64, 64, "int64"),
    (np.float32, -32, "float32"),
    (np.float64, -64, "float64"),
]


@pytest.mark.parametrize("dtype, bitpix, shown", DTYPES)
def test_every_supported_dtype(dtype, bitpix, shown):
    a = np.arange(6).reshape(2, 3).astype(dtype)
    hdu = vexlo.ImageHdu(a)
    assert hdu.bitpix == bitpix
    assert hdu.axes == [3, 2]
    assert hdu.data is a
    assert len(hdu.header) == 0
    assert repr(hdu) == f'ImageHdu(dtype="{shown}", shape=(3, 2))'


def test_array_is_shared_not_copied_nor_frozen():
    a = np.zeros((2, 3), np.float32)
    hdu = vexlo.ImageHdu(a)
    a[1, 2] = 7
    assert hdu.data[1, 2] == 7
    assert hdu.data.flags.writeable
    with warnings.catch_warnings():
        # Newer NumPy deprecates assigning a shape; it is still the way to change this very
        # object's shape without a copy.
        warnings.simplefilter("ignore", DeprecationWarning)
        a.shape = (3, 2)
    assert hdu.axes == [2, 3]
    assert repr(hdu) == 'ImageHdu(dtype="float32", shape=(2, 3))'


def test_array_likes():
    nested = vexlo.ImageHdu([[1, 2], [3, 4]])
    assert nested.bitpix == 64 and nested.data.dtype == np.int64
    assert nested.axes == [2, 2]
    np.testing.assert_array_equal(nested.data, [[1, 2], [3, 4]])

    scalar = vexlo.ImageHdu(1.5)
    assert scalar.axes == [] and scalar.bitpix == -64
    assert scalar.data.shape == () and scalar.data == 1.5
    assert repr(scalar) == 'ImageHdu(dtype="float64", shape=())'

    flags = vexlo.ImageHdu((True, False, True))
    assert flags.bitpix == 8 and flags.data.dtype == np.bool_


def test_big_endian_array_becomes_native():
    a = np.array([[1, -2, 300]], dtype=">i2")
    hdu = vexlo.ImageHdu(a)
    assert hdu.data is not a
    assert hdu.data.dtype == np.dtype("=i2")
    np.testing.assert_array_equal(hdu.data, a)
    assert hdu.bitpix == 16 and hdu.axes == [3, 1]


def test_masked_and_fortran_arrays_pass_unchanged():
    masked = np.ma.masked_array([1.0, 2.0], mask=[False, True])
    assert vexlo.ImageHdu(masked).data is masked
    fortran = np.asfortranarray(np.arange(6, dtype=np.int32).reshape(2, 3))
    hdu = vexlo.ImageHdu(fortran)
    assert hdu.data is fortran and hdu.axes == [3, 2]


@pytest.mark.parametrize(
    "value, shown",
    [
        (np.zeros(2, np.complex128), "complex128"),
        (np.zeros(2, np.float16), "float16"),
        (np.array(["ab", "c"]), "<U2"),
        (np.array([None, 1], dtype=object), "object"),
        (["a", "b"], "<U1"),
    ],
)
def test_unsupported_dtypes(value, shown):
    with pytest.raises(TypeError) as info:
        vexlo.ImageHdu(value)
    assert info.value.args == (UNSUPPORTED.format(shown),)


class Refuses:
    def __array__(self, *args, **kwargs):
        raise RuntimeError("no pixels here")


@pytest.mark.parametrize(
    "value, tail",
    [
        ([[1], [1, 2]], "(ValueError: "),
        (Refuses(), " (RuntimeError: no pixels here)"),
    ],
)
def test_data_numpy_cannot_convert(value, tail):
    with pytest.raises(TypeError) as info:
        vexlo.ImageHdu(value)
    text = info.value.args[0]
    assert text.startswith(NOT_ARRAY.format("ImageHdu") + " (")
    assert tail in text and text.endswith(")")
    assert info.value.__cause__ is None


def test_header_none_or_omitted_is_empty():
    assert len(vexlo.ImageHdu([1], None).header) == 0
    assert len(vexlo.ImageHdu([1], header=None, name=None).header) == 0


def test_header_from_mapping():
    hdu = vexlo.ImageHdu([1.0], {"object": "M31", "EXPTIME": (30.0, "seconds"), "N": 2})
    h = hdu.header
    assert list(h.keys()) == ["OBJECT", "EXPTIME", "N"]
    assert h["OBJECT"] == "M31" and h["EXPTIME"] == 30.0
    assert h.comment("EXPTIME") == "seconds"


def test_header_structural_cards_are_kept_as_given():
    # The shape of the written HDU comes from the array; the given cards are not touched.
    hdu = vexlo.ImageHdu(np.zeros(3, np.float32), {"BITPIX": 16, "NAXIS": 5})
    assert hdu.header["BITPIX"] == 16 and hdu.header["NAXIS"] == 5
    assert hdu.bitpix == -32 and hdu.axes == [3]


def test_header_object_is_copied():
    source = vexlo.Header({"OBJECT": "M31"})
    source.add_commentary("HISTORY", "made by hand")
    hdu = vexlo.ImageHdu([1], source)
    assert list(hdu.header.keys()) == ["OBJECT", "HISTORY"]
    source["OBJECT"] = "M33"
    hdu.header["TELESCOP"] = "T1"
    assert hdu.header["OBJECT"] == "M31"
    assert "TELESCOP" not in source
    assert hdu.header.read_only is False


def test_header_of_read_only_file_gives_writable_copy(tmp_path):
    file_hdu = read(tmp_path, stored([1, 2], "i2"), [card("OBJECT", "X")])
    hdu = vexlo.ImageHdu([1], file_hdu.header)
    hdu.header["OBJECT"] = "Y"
    assert hdu.header["OBJECT"] == "Y" and file_hdu.header["OBJECT"] == "X"


@pytest.mark.parametrize(
    "header, error, text",
    [
        (5, TypeError, "header.update: argument must be a Header or a mapping with .items()"),
        ([("A", 1)], TypeError,
         "header.update: argument must be a Header or a mapping with .items()"),
        ({"A": object()}, TypeError, "cannot convert object into a FITS header value"),
        ({"BAD KEY": 1}, vexlo.FitsError, "header: keyword `BAD KEY` contains invalid byte 0x20"),
    ],
)
def test_header_errors(header, error, text):
    with pytest.raises(error) as info:
        vexlo.ImageHdu([1], header)
    assert info.value.args == (text,)


def test_name_sets_extname():
    hdu = vexlo.ImageHdu([1], name="SCI")
    assert list(hdu.header.keys()) == ["EXTNAME"]
    assert hdu.header["EXTNAME"] == "SCI"
    assert hdu.header.comment("EXTNAME") is None
    assert repr(hdu) == 'ImageHdu(name="SCI", dtype="int64", shape=(1))'


def test_name_replaces_value_of_existing_extname():
    given = vexlo.Header({"A": 1, "EXTNAME": ("OLD", "the name"), "B": 2})
    hdu = vexlo.ImageHdu([1], given, "SCI")
    assert list(hdu.header.keys()) == ["A", "EXTNAME", "B"]
    assert hdu.header["EXTNAME"] == "SCI"
    assert hdu.header.comment("EXTNAME") == "the name"
    assert given["EXTNAME"] == "OLD"


@pytest.mark.parametrize(
    "name, error, text",
    [
        (5, TypeError, "argument 'name': 'int' object is not an instance of 'str'"),
        (b"SCI", TypeError, "argument 'name': 'bytes' object is not an instance of 'str'"),
        ("a\x01", vexlo.FitsError,
         "header: string value for `EXTNAME` contains non-printable byte 0x01"),
    ],
)
def test_name_errors(name, error, text):
    with pytest.raises(error) as info:
        vexlo.ImageHdu([1], None, name)
    assert info.value.args == (text,)


def test_order_of_checks():
    # name type, then data, then header, then setting EXTNAME.
    bad_data = np.zeros(1, np.complex64)
    with pytest.raises(TypeError, match="argument 'name'"):
        vexlo.ImageHdu(bad_data, 5, 7)
    with pytest.raises(TypeError, match="unsupported numpy dtype complex64"):
        vexlo.ImageHdu(bad_data, 5, "x\x01")
    with pytest.raises(TypeError, match="header.update"):
        vexlo.ImageHdu([1], 5, "x\x01")


def test_argument_matching():
    hdu = vexlo.ImageHdu(data=[1, 2], header={"A": 1}, name="N")
    assert hdu.header["EXTNAME"] == "N" and hdu.axes == [2]
    cases = [
        ((), {}, "ImageHdu.__new__() missing 1 required positional argument: 'data'"),
        (([1], None, None, 4), {},
         "ImageHdu.__new__() takes from 1 to 3 positional arguments but 4 were given"),
        (([1],), {"foo": 1}, "ImageHdu.__new__() got an unexpected keyword argument 'foo'"),
        (([1],), {"data": 1}, "ImageHdu.__new__() got multiple values for argument 'data'"),
    ]
    for args, kwargs, text in cases:
        with pytest.raises(TypeError) as info:
            vexlo.ImageHdu(*args, **kwargs)
        assert info.value.args == (text,)


# --- assignment to data ---------------------------------------------------------------------


def test_assign_array_to_file_image(tmp_path):
    cube = np.arange(24).reshape(2, 3, 4)
    hdu = read(tmp_path, stored(cube, "i4"), [card("OBJECT", "X")])
    new = np.arange(20, dtype=np.uint16).reshape(4, 5)
    hdu.data = new
    assert hdu.data is new
    assert hdu.bitpix == 16 and hdu.axes == [5, 4]
    h = hdu.header
    assert (h["BITPIX"], h["NAXIS"], h["NAXIS1"], h["NAXIS2"]) == (16, 2, 5, 4)
    assert "NAXIS3" not in h
    assert list(h.keys()) == ["SIMPLE", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "OBJECT"]
    assert new.flags.writeable
    assert repr(hdu) == 'ImageHdu(dtype="int16", shape=(5, 4))'


def test_assign_more_axes_puts_naxisn_after_the_other_axes(tmp_path):
    hdu = read(tmp_path, stored(np.zeros((2, 3)), "f4"), [card("OBJECT", "X")])
    hdu.data = np.ones((4, 3, 2), np.float64)
    h = hdu.header
    assert list(h.keys()) == ["SIMPLE", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "NAXIS3",
                              "OBJECT"]
    assert (h["BITPIX"], h["NAXIS"], h["NAXIS1"], h["NAXIS2"], h["NAXIS3"]) == (-64, 3, 2, 3, 4)


def test_assign_none(tmp_path):
    hdu = read(tmp_path, stored(np.arange(6).reshape(2, 3), "i2"))
    hdu.data = None
    assert hdu.data is None and hdu.data is None
    assert hdu.axes == [] and hdu.bitpix == 16
    h = hdu.header
    assert h["NAXIS"] == 0 and h["BITPIX"] == 16
    assert "NAXIS1" not in h and "NAXIS2" not in h
    assert repr(hdu) == 'ImageHdu(dtype="int16", shape=())'


def test_assign_none_stops_at_gap_in_naxisn():
    hdu = vexlo.ImageHdu([1.0], {"NAXIS1": 5, "NAXIS3": 7})
    hdu.data = None
    assert "NAXIS1" not in hdu.header and hdu.header["NAXIS3"] == 7


def test_assign_to_in_memory_image_and_section():
    hdu = vexlo.ImageHdu(np.zeros(3, np.float32), name="SCI")
    hdu.data = [[1, 2, 3], [4, 5, 6]]
    assert hdu.bitpix == 64 and hdu.axes == [3, 2]
    assert list(hdu.header.keys()) == ["EXTNAME", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2"]
    np.testing.assert_array_equal(hdu.section[1, 1:], [5, 6])


def test_assign_big_endian_and_read_only_file(tmp_path):
    hdu = read(tmp_path, stored([1, 2], "i2"))
    assert hdu.header.read_only
    a = np.array([7, 8, 9], dtype=">f8")
    hdu.data = a
    assert hdu.data.dtype == np.dtype("=f8") and hdu.data.flags.writeable
    np.testing.assert_array_equal(hdu.data, [7, 8, 9])
    # The shape cards follow the array although the header refuses edits.
    assert hdu.header["BITPIX"] == -64 and hdu.header["NAXIS1"] == 3
    with pytest.raises(ValueError):
        hdu.header["NAXIS1"] = 4


@needs_hooks
@pytest.mark.parametrize(
    "value, exact, prefix",
    [
        (["a", "b"], UNSUPPORTED.format("<U1"), None),
        (np.zeros(2, np.complex128), UNSUPPORTED.format("complex128"), None),
        ([[1], [1, 2]], None, NOT_ARRAY.format("ImageHdu.data") + " (ValueError: "),
    ],
)
def test_refused_assignment_keeps_everything(tmp_path, value, exact, prefix):
    values = np.arange(6).reshape(2, 3)
    hdu = read(tmp_path, stored(values, "i2"), [card("BZERO", 32768)])
    T.image_track(hdu)
    before = list(hdu.header.items())
    with pytest.raises(TypeError) as info:
        hdu.data = value
    text = info.value.args[0]
    assert text == exact if exact else text.startswith(prefix)
    # Set before the value was looked at, so the next flush rewrites.
    assert T.image_flags(hdu) == (True, False)
    assert list(hdu.header.items()) == before
    assert hdu.bitpix == 16 and hdu.axes == [3, 2]
    np.testing.assert_array_equal(hdu.data, values + 32768)
    assert hdu.data.dtype == np.uint16


@needs_hooks
def test_assignment_marks_modified_and_reading_marks_accessed():
    hdu = vexlo.ImageHdu([1, 2])
    T.image_track(hdu)
    assert T.image_flags(hdu) == (False, False)
    hdu.data
    assert T.image_flags(hdu) == (False, True)
    hdu.data = None
    assert T.image_flags(hdu)[0] is True


def test_delete_data():
    hdu = vexlo.ImageHdu([1])
    with pytest.raises(AttributeError) as info:
        del hdu.data
    assert info.value.args == ("property has no deleter",)
    assert hdu.data is not None


def test_reentrant_use_during_assignment():
    hdu = vexlo.ImageHdu([1, 2])
    seen = []

    class Reads:
        def __array__(self, *args, **kwargs):
            try:
                hdu.data
            except RuntimeError as e:
                seen.append(e.args)
            raise RuntimeError("stop")

    class Writes:
        def __array__(self, *args, **kwargs):
            hdu.data = [5]

    with pytest.raises(TypeError):
        hdu.data = Reads()
    assert seen == [("Already mutably borrowed",)]
    with pytest.raises(TypeError) as info:
        hdu.data = Writes()
    assert info.value.args[0].endswith("(RuntimeError: Already borrowed)")
    np.testing.assert_array_equal(hdu.data, [1, 2])
    hdu.data = [3]
    np.testing.assert_array_equal(hdu.data, [3])


def test_data_property_documentation():
    doc = vexlo.ImageHdu.data.__doc__
    assert doc.startswith("Pixel data as a numpy array.")
    assert "Replace the pixel array" in doc


# --- repr -----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, text",
    [
        ((np.zeros(7),), 'ImageHdu(dtype="float64", shape=(7))'),
        ((np.zeros((200, 100), np.float32), None, "SCI"),
         'ImageHdu(name="SCI", dtype="float32", shape=(100, 200))'),
        ((np.zeros(2, np.uint16), {"EXTNAME": "  "}), 'ImageHdu(dtype="int16", shape=(2))'),
        ((np.zeros(2, np.int8), {"EXTNAME": ' a"b '}), 'ImageHdu(name="a\\"b", dtype="uint8", '
                                                       "shape=(2))"),
        ((np.zeros(2, np.int8), {"EXTNAME": 3}), 'ImageHdu(dtype="uint8", shape=(2))'),
    ],
)
def test_repr(args, text):
    assert repr(vexlo.ImageHdu(*args)) == text


# --- the HDU a rewrite writes ---------------------------------------------------------------


@needs_hooks
def test_owned_float_image_drops_scaling_cards():
    a = np.array([[1.5, -2.0, 3.25]], np.float32)
    hdu = vexlo.ImageHdu(a, {"OBJECT": "M31", "BZERO": 1, "BSCALE": 2, "BLANK": 0})
    head, data = T.image_owned(hdu, True)
    assert keys(head) == ["SIMPLE", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "EXTEND", "OBJECT"]
    assert value_of(head, "BITPIX") == "-32" and value_of(head, "NAXIS1") == "3"
    assert data == a.astype(">f4").tobytes()


@needs_hooks
def test_owned_extension_and_in_place_edits():
    a = np.arange(4, dtype=np.int32)
    hdu = vexlo.ImageHdu(a, {"SIMPLE": True, "EXTEND": True}, "SCI")
    a[0] = -9
    head, data = T.image_owned(hdu, False)
    assert keys(head) == ["XTENSION", "BITPIX", "NAXIS", "NAXIS1", "PCOUNT", "GCOUNT", "EXTNAME"]
    assert data == np.array([-9, 1, 2, 3], ">i4").tobytes()


@needs_hooks
def test_owned_unsigned_offset():
    a = np.array([0, 1, 65535], np.uint16)
    head, data = T.image_owned(vexlo.ImageHdu(a), True)
    assert value_of(head, "BITPIX") == "16"
    assert float(value_of(head, "BZERO")) == 32768.0
    assert data == np.array([-32768, -32767, 32767], ">i2").tobytes()


@needs_hooks
def test_owned_shape_from_array_not_from_given_cards():
    hdu = vexlo.ImageHdu(np.zeros((2, 2), np.uint8), {"NAXIS": 7, "NAXIS3": 4, "BITPIX": -64})
    head, data = T.image_owned(hdu, True)
    assert keys(head) == ["SIMPLE", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "EXTEND"]
    assert value_of(head, "BITPIX") == "8" and value_of(head, "NAXIS") == "2"
    assert data == bytes(4)


@needs_hooks
def test_owned_without_pixels():
    hdu = vexlo.ImageHdu(np.zeros(3, np.float32), {"OBJECT": "X"})
    hdu.data = None
    head, data = T.image_owned(hdu, True)
    assert keys(head) == ["SIMPLE", "BITPIX", "NAXIS", "EXTEND", "OBJECT"]
    assert value_of(head, "BITPIX") == "8" and value_of(head, "NAXIS") == "0"
    assert data == b""
    head, _ = T.image_owned(hdu, False)
    assert keys(head) == ["XTENSION", "BITPIX", "NAXIS", "PCOUNT", "GCOUNT", "OBJECT"]


@needs_hooks
def test_owned_file_image_with_empty_axis(tmp_path):
    hdu = read(tmp_path, axes=[100, 0], bitpix=16, cards=[card("OBJECT", "X")])
    head, data = T.image_owned(hdu, True)
    assert keys(head) == ["SIMPLE", "BITPIX", "NAXIS", "EXTEND", "OBJECT"]
    assert data == b""


@needs_hooks
def test_owned_zero_dimensional_array_is_refused():
    with pytest.raises(vexlo.FitsError) as info:
        T.image_owned(vexlo.ImageHdu(1.5), True)
    assert info.value.args == ("data: data slice 8 bytes does not match expected 0",)


@needs_hooks
def test_owned_file_images_keep_their_meaning(tmp_path):
    stored_values = np.array([[-32768, 0, 32767]], ">i2")
    offset = read(tmp_path, stored_values, [card("BZERO", 32768)])
    head, data = T.image_owned(offset, True)
    assert value_of(head, "BITPIX") == "16" and float(value_of(head, "BZERO")) == 32768.0
    assert data == stored_values.tobytes()
    # Read for the rewrite and kept: the array is the one `data` returns.
    assert offset.data.dtype == np.uint16

    scaled = vexlo.open(image_file(tmp_path / "s.fits", stored([1, 2], "i2"),
                                   cards=[card("BSCALE", 2)]))[0]
    # Pixels never changed are written as stored, scaling cards and all: no precision lost.
    head, data = T.image_owned(scaled, False)
    assert value_of(head, "BITPIX") == "16" and float(value_of(head, "BSCALE")) == 2.0
    assert data == np.array([1, 2], ">i2").tobytes()
    scaled.data = np.array([3, 4], "f4")
    head, data = T.image_owned(scaled, False)
    assert value_of(head, "BITPIX") == "-32" and "BSCALE" not in keys(head)
    assert data == np.array([3, 4], ">f4").tobytes()


@needs_hooks
def test_from_bytes_keeps_stored_values():
    text = "".join([card("SIMPLE", True), card("BITPIX", 16), card("NAXIS", 2),
                    card("NAXIS1", 2), card("NAXIS2", 1), card("BZERO", 32768)])
    raw = np.array([[-32768, 5]], ">i2").tobytes()
    hdu = T.image_from_bytes(text.encode(), raw, False)
    assert hdu.data.dtype == np.int16 and hdu.data.flags.writeable
    np.testing.assert_array_equal(hdu.data, [[-32768, 5]])
    assert hdu.axes == [2, 1] and hdu.bitpix == 16
    out_head, out_data = T.image_owned(hdu, True)
    assert value_of(out_head, "BITPIX") == "16" and float(value_of(out_head, "BZERO")) == 32768
    assert out_data == raw
    frozen = T.image_from_bytes(text.encode(), raw, True)
    assert not frozen.data.flags.writeable


@needs_hooks
def test_from_bytes_errors():
    head = "".join([card("SIMPLE", True), card("BITPIX", 32), card("NAXIS", 2),
                    card("NAXIS1", 2), card("NAXIS2", 2)]).encode()
    with pytest.raises(ValueError) as info:
        T.image_from_bytes(head, bytes(8), False)
    assert info.value.args == ("pixel buffer is 16 bytes, data section is 8",)
    bad = "".join([card("SIMPLE", True), card("BITPIX", -16), card("NAXIS", 0)]).encode()
    with pytest.raises(vexlo.FitsError, match="unsupported BITPIX value -16"):
        T.image_from_bytes(bad, b"", False)

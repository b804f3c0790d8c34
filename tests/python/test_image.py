"""vexlo.ImageHdu read from files: dtypes for every BITPIX and scaling, shapes, the cached
array, read-only arrays, the properties and the repr."""

import math

import numpy as np
import pytest

import vexlo
from fits_bytes import card
from fits_images import image_file, image_hdu, images_file, stored
from hooks import split_passes  # noqa: F401  (a fixture)


def read(tmp_path, data=None, cards=(), **kw):
    return vexlo.open(image_file(tmp_path / "img.fits", data, cards=cards, **kw))[0]


I64_MIN = np.iinfo(np.int64).min

# (stored values, stored dtype, cards, expected dtype, expected values)
DTYPE_CASES = [
    ([0, 7, 255], "u1", [], np.uint8, [0, 7, 255]),
    ([0, 7, 255], "u1", [card("BZERO", -128)], np.int8, [-128, -121, 127]),
    ([0, 7, 255], "u1", [card("BZERO", -128.0), card("BSCALE", 1)], np.int8, [-128, -121, 127]),
    ([0, 7, 255], "u1", [card("BSCALE", 0.5)], np.float32, [0, 3.5, 127.5]),
    ([0, 7, 255], "u1", [card("BLANK", 7)], np.float32, [0, np.nan, 255]),
    ([-32768, -1, 32767], "i2", [], np.int16, [-32768, -1, 32767]),
    ([-32768, -1, 32767], "i2", [card("BZERO", 32768)], np.uint16, [0, 32767, 65535]),
    ([-32768, 0, 1], "i2", [card("BZERO", 32768.5)], np.float32, [0.5, 32768.5, 32769.5]),
    ([-32768, 0, 5], "i2", [card("BLANK", -32768)], np.float32, [np.nan, 0, 5]),
    (
        [-32768, 0, 5],
        "i2",
        [card("BZERO", 32768), card("BLANK", -32768)],
        np.float32,
        [np.nan, 32768, 32773],
    ),
    ([1, 2, 3], "i2", [card("BSCALE", 2), card("BZERO", 1)], np.float32, [3, 5, 7]),
    ([-(2**31), 0, 2**31 - 1], "i4", [], np.int32, [-(2**31), 0, 2**31 - 1]),
    ([-(2**31), 0, 2**31 - 1], "i4", [card("BZERO", 2147483648)], np.uint32,
     [0, 2**31, 2**32 - 1]),
    # Only a BZERO equal to the offset is the unsigned convention; a fraction is kept.
    ([-(2**31), 0, 2**31 - 1], "i4", [card("BZERO", 2147483648.5)], np.float64,
     [0.5, 2147483648.5, 4294967295.5]),
    ([-(2**31), 0, 1], "i4", [card("BZERO", 2147483648.25)], np.float64,
     [0.25, 2147483648.25, 2147483649.25]),
    ([-(2**31), 0, 1], "i4", [card("BZERO", 2147483650.0)], np.float64,
     [2.0, 2147483650.0, 2147483651.0]),
    ([2, 4, 6], "i4", [card("BSCALE", 0.5)], np.float64, [1, 2, 3]),
    ([I64_MIN, 0, 2**63 - 1], "i8", [], np.int64, [I64_MIN, 0, 2**63 - 1]),
    ([I64_MIN, 0, 2**63 - 1], "i8", [card("BZERO", 9223372036854775808)], np.uint64,
     [0, 2**63, 2**64 - 1]),
    ([I64_MIN, 0, 2**63 - 1], "i8", [card("BZERO", 9.223372036854775808e18)], np.uint64,
     [0, 2**63, 2**64 - 1]),
    ([I64_MIN, 0, 1], "i8", [card("BZERO", 2.0**63 + 2048)], np.float64,
     [2048.0, 2.0**63 + 2048, 2.0**63 + 2048]),
    ([5, -5, 9], "i8", [card("BLANK", 9)], np.float64, [5, -5, np.nan]),
    ([1.5, np.nan, -2], "f4", [], np.float32, [1.5, np.nan, -2]),
    ([1.5, np.nan, -2], "f4", [card("BLANK", 0)], np.float32, [1.5, np.nan, -2]),
    ([1.5, np.nan, -2], "f4", [card("BZERO", 1)], np.float32, [2.5, np.nan, -1]),
    ([1.5, -0.0, 1e300], "f8", [], np.float64, [1.5, -0.0, 1e300]),
    ([1.5, 2.0, 3.0], "f8", [card("BSCALE", 2), card("BZERO", -1)], np.float64, [2, 3, 5]),
]


@pytest.mark.parametrize("values, dtype, cards, want_dtype, want", DTYPE_CASES)
def test_pixel_dtype_and_values(tmp_path, values, dtype, cards, want_dtype, want):
    hdu = read(tmp_path, stored(values, dtype), cards)
    data = hdu.data
    assert data.dtype == np.dtype(want_dtype)
    assert data.dtype.isnative
    np.testing.assert_array_equal(data, np.array(want, dtype=want_dtype))
    assert hdu.bitpix == {"u1": 8, "i2": 16, "i4": 32, "i8": 64, "f4": -32, "f8": -64}[dtype]


@pytest.mark.usefixtures("split_passes")
@pytest.mark.parametrize(
    "cards, physical",
    [
        ([], lambda s: s),
        ([card("BZERO", 32768)], lambda s: (s.astype(np.int64) + 32768).astype(np.uint16)),
        ([card("BSCALE", 0.5), card("BZERO", 1)], lambda s: s * np.float32(0.5) + np.float32(1)),
    ],
)
def test_images_of_many_chunks_read_whole(tmp_path, cards, physical):
    # 2.2 MB of pixels: nine chunks of the reader, which a pass splits into ranges of chunks.
    values = np.arange(1_100_000) % 65536 - 32768
    data = read(tmp_path, stored(values, "i2"), cards).data
    want = physical(values.astype(np.int16))
    assert data.dtype == want.dtype and np.array_equal(data, want)


def test_float_scaling_rounds_once_to_single(tmp_path):
    # BZERO + BSCALE * stored in double precision, narrowed once.
    hdu = read(tmp_path, stored([3], "i2"), [card("BSCALE", 0.1), card("BZERO", 0.2)])
    assert hdu.data.tolist() == [np.float32(0.2 + 0.1 * 3)]


def test_sixty_four_bit_pixels_under_an_integer_bzero_round_once(tmp_path):
    # BZERO 2^63 with a BLANK (so floats, not the unsigned form), and other whole BZEROs that
    # are doubles: each pixel is the exact sum rounded once to double, as Python's integers
    # give it. Rounding the stored value first and then the sum is one unit in the last place
    # off for some of them.
    rng = np.random.default_rng(29)
    values = rng.integers(I64_MIN, 2**63, 2000, dtype=np.int64)
    values[:3] = [I64_MIN, 2**63 - 1, -1]
    blank = int(values[10])
    for zero in (2**63, 2**63 + 4096, -(2**62), 12345):
        data = read(tmp_path, stored(values, "i8"),
                    [card("BZERO", zero), card("BLANK", blank)]).data
        want = [math.nan if int(v) == blank else float(int(v) + zero) for v in values]
        assert data.dtype == np.float64
        assert np.array_equal(data, want, equal_nan=True), zero
    twice = values.astype(np.float64) + np.float64(2**63)
    exact = [float(int(v) + 2**63) for v in values]
    assert np.count_nonzero(twice != exact) > 0


@pytest.mark.parametrize("dtype", ["u1", ">i2", ">i4", ">i8", ">f4", ">f8"])
def test_random_pixels_round_trip(tmp_path, dtype):
    rng = np.random.default_rng(7)
    if np.dtype(dtype).kind == "f":
        values = rng.normal(size=(5, 4, 3)).astype(dtype)
    else:
        info = np.iinfo(np.dtype(dtype))
        native = np.dtype(dtype).newbyteorder("=")
        values = rng.integers(info.min, info.max, (5, 4, 3), native, endpoint=True).astype(dtype)
    hdu = read(tmp_path, values)
    data = hdu.data
    assert data.shape == (5, 4, 3)
    assert data.flags.c_contiguous
    np.testing.assert_array_equal(data, values)
    assert hdu.axes == [3, 4, 5]


def test_axes_and_shape(tmp_path):
    hdu = read(tmp_path, np.zeros((200, 100), ">i2"))
    assert hdu.axes == [100, 200]
    assert hdu.data.shape == (200, 100)
    assert hdu.axes == [100, 200]


@pytest.mark.parametrize("axes", [[], [4, 0], [0], [3, 0, 2]])
def test_image_without_pixels(tmp_path, axes):
    hdu = read(tmp_path, axes=axes, bitpix=-32)
    assert hdu.data is None
    assert hdu.data is None
    assert hdu.axes == axes
    assert hdu.bitpix == -32


def test_data_is_cached_and_read_only(tmp_path):
    hdu = read(tmp_path, stored([[1, 2], [3, 4]], "i4"))
    first = hdu.data
    assert hdu.data is first
    assert first.flags.writeable is False
    assert first.flags.aligned is False
    with pytest.raises(ValueError):
        first[0, 0] = 7
    scaled = read(tmp_path, stored([1, 2], "i2"), [card("BZERO", 32768)]).data
    assert scaled.flags.writeable is False


def test_header_property(tmp_path):
    hdu = read(tmp_path, stored([1], "u1"), [card("OBJECT", "M31")])
    a, b = hdu.header, hdu.header
    assert a is not b
    assert a["OBJECT"] == "M31"
    assert b["NAXIS1"] == 1
    assert a.read_only is True
    with pytest.raises(ValueError, match="read-only"):
        a["OBJECT"] = "M33"


def test_properties_are_read_only_and_documented(tmp_path):
    hdu = read(tmp_path, stored([1], "u1"))
    for name in ("header", "axes", "bitpix", "section"):
        with pytest.raises(AttributeError):
            setattr(hdu, name, None)
    doc = {
        "header": "The HDU header (see :class:`Header`).",
        "axes": "Image axes in **NAXIS order**: ``[NAXIS1, NAXIS2, ...]``.",
        "bitpix": "FITS ``BITPIX`` value (e.g. ``-32`` for ``f32``).",
        "data": "Pixel data as a numpy array.",
    }
    for name, first in doc.items():
        assert getattr(vexlo.ImageHdu, name).__doc__.startswith(first)


def test_image_after_close(tmp_path):
    f = vexlo.open(image_file(tmp_path / "a.fits", stored([[1, 2, 3]], "i2")))
    hdu = f[0]
    f.close()
    np.testing.assert_array_equal(hdu.data, [[1, 2, 3]])


def test_extension_images_and_shared_file(tmp_path):
    path = images_file(
        tmp_path / "e.fits",
        image_hdu(stored(np.arange(12).reshape(3, 4), "f8"), cards=[card("EXTNAME", "A")]),
        image_hdu(stored(np.arange(6).reshape(2, 3), "i8"), cards=[card("EXTNAME", "B")]),
    )
    f = vexlo.open(path)
    a, b = f["A"], f["B"]
    del f
    np.testing.assert_array_equal(b.data, np.arange(6).reshape(2, 3))
    np.testing.assert_array_equal(a.data, np.arange(12).reshape(3, 4))


def test_constructor_signature():
    with pytest.raises(TypeError) as info:
        vexlo.ImageHdu()
    assert info.value.args == (
        "ImageHdu.__new__() missing 1 required positional argument: 'data'",
    )
    assert vexlo.ImageHdu.__text_signature__ == "(data, header=None, name=None)"
    assert vexlo.ImageHdu.__doc__.splitlines()[0] == "Image HDU with lazy numpy data."
    with pytest.raises(TypeError):
        type("Sub", (vexlo.ImageHdu,), {})


@pytest.mark.parametrize(
    "data, cards, text",
    [
        (stored(np.zeros((200, 100)), "f4"), [card("EXTNAME", "SCI")],
         'ImageHdu(name="SCI", dtype="float32", shape=(100, 200))'),
        (stored(np.zeros(7), "f8"), [], 'ImageHdu(dtype="float64", shape=(7))'),
        (stored(np.zeros(7), "f8"), [card("EXTNAME", " ")], 'ImageHdu(dtype="float64", shape=(7))'),
        (stored(np.zeros(7), "f8"), [card("EXTNAME", 5)], 'ImageHdu(dtype="float64", shape=(7))'),
        (stored([1, 2], "i2"), [card("BZERO", 32768), card("EXTNAME", ' a"b ')],
         'ImageHdu(name="a\\"b", dtype="int16", shape=(2))'),
        (None, [], 'ImageHdu(dtype="uint8", shape=())'),
    ],
)
def test_repr(tmp_path, data, cards, text):
    hdu = read(tmp_path, data, cards)
    assert repr(hdu) == text
    hdu.data
    assert repr(hdu) == text


def test_unsupported_bitpix_is_a_fits_error(tmp_path):
    path = images_file(tmp_path / "x.fits", image_hdu(stored([1, 2], "i2")))
    raw = bytearray(path.read_bytes())
    at = raw.index(b"BITPIX  =                   16")
    raw[at : at + 80] = card("BITPIX", -16).encode()
    path.write_bytes(bytes(raw))
    with pytest.raises(vexlo.FitsError) as info:
        vexlo.open(path)
    assert info.value.args == ("value for keyword `BITPIX`: illegal BITPIX value -16",)

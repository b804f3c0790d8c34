"""image(): dtype mapping, the BZERO conventions, header merging, array coercion, refusals,
and files that an independent reader (and fitsverify) accepts."""

import os
import subprocess
import sys

import numpy as np
import pytest

import vexlo
from fits_read import checksums_verify, fitsverify, read
from hooks import split_passes  # noqa: F401  (a fixture)

DTYPE_CASES = [
    # dtype, BITPIX, BZERO (None: no card), values covering the edges
    ("bool", 8, None, [True, False, True]),
    ("int8", 8, -128, [-128, -1, 0, 127]),
    ("uint8", 8, None, [0, 1, 255]),
    ("int16", 16, None, [-32768, -1, 0, 32767]),
    ("uint16", 16, 32768.0, [0, 1, 32767, 32768, 65535]),
    ("int32", 32, None, [-(2**31), -1, 0, 2**31 - 1]),
    ("uint32", 32, 2147483648.0, [0, 1, 2**31, 2**32 - 1]),
    ("int64", 64, None, [-(2**63), -1, 0, 2**63 - 1]),
    ("uint64", 64, 9223372036854775808.0, [0, 1, 2**63, 2**64 - 1]),
    ("float32", -32, None, [-1.5, 0.0, 3.25e30, np.inf]),
    ("float64", -64, None, [-1.5, 0.0, 1e300, -np.inf]),
]


def write_one(tmp_path, builder, name="img.fits", **kw):
    path = tmp_path / name
    vexlo.write(path, [builder], **kw)
    return path


def expected_stored(values, dtype):
    """The stored values the FITS conventions prescribe, computed with Python integers."""
    a = np.asarray(values, dtype=dtype)
    if dtype == "bool":
        return a.astype(">u1")
    if dtype == "int8":
        return np.array([int(v) + 128 for v in a], dtype=">u1")
    if dtype.startswith("uint") and dtype != "uint8":
        bits = a.dtype.itemsize * 8
        signed = np.dtype(f">i{a.dtype.itemsize}")
        return np.array([int(v) - 2 ** (bits - 1) for v in a], dtype=signed)
    return a.astype(np.dtype(dtype).newbyteorder(">"))


@pytest.mark.parametrize("dtype,bitpix,bzero,values", DTYPE_CASES)
def test_every_dtype_round_trips(tmp_path, dtype, bitpix, bzero, values):
    a = np.array(values, dtype=dtype).reshape(1, -1)
    path = write_one(tmp_path, vexlo.image(a))
    [hdu] = read(path)
    assert hdu["BITPIX"] == bitpix
    assert (hdu["NAXIS"], hdu["NAXIS1"], hdu["NAXIS2"]) == (2, a.shape[1], 1)
    stored = hdu.stored_image()
    assert stored.tobytes() == expected_stored(values, dtype).tobytes()
    if bzero is None:
        assert hdu.get("BZERO") is None and hdu.get("BSCALE") is None
    else:
        assert hdu.all("BZERO") == [bzero] and hdu.all("BSCALE") == [1.0]
        # int8's offset is an integer card, as other writers make it; the others are reals.
        assert type(hdu["BZERO"]) is type(bzero)
        assert hdu.comment("BZERO") == "offset for unsigned/signed convention"
        # Physical value = BZERO + stored, exactly (Python integers).
        physical = [int(bzero) + int(s) for s in stored.ravel()]
        assert physical == [int(v) for v in a.ravel()]
    fitsverify(path)
    back = vexlo.open(str(path))[0].data
    assert np.array_equal(np.asarray(back).ravel(), a.ravel().astype(back.dtype))
    assert np.array_equal(np.asarray(back, dtype=a.dtype).ravel(), a.ravel())


def read_with_astropy(path):
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(path) as hdus:
        return hdus[0].data.copy()


def read_with_fitsio(path):
    fitsio = pytest.importorskip("fitsio")
    return fitsio.read(str(path))


@pytest.mark.parametrize("reader", [read_with_astropy, read_with_fitsio], ids=["astropy", "fitsio"])
@pytest.mark.parametrize("dtype,bitpix,bzero,values", DTYPE_CASES)
def test_other_readers_read_every_dtype_back_exactly(tmp_path, reader, dtype, bitpix, bzero,
                                                     values):
    if reader is read_with_fitsio and dtype == "uint64":
        # fitsio reads 64-bit unsigned images as int64, so it cannot hold 2**63 and above,
        # not even in files it wrote itself.
        values = [v for v in values if v < 2**63]
    a = np.array(values, dtype=dtype).reshape(1, -1)
    got = reader(write_one(tmp_path, vexlo.image(a)))
    assert got.shape == a.shape
    assert got.tolist() == a.tolist()


def test_float32_defaults_header_and_repr():
    b = vexlo.image(np.zeros((3, 5), dtype=np.float32))
    assert repr(b) == "ImageBuilder(<60 bytes>)"


def test_primary_header_cards(tmp_path):
    path = write_one(tmp_path, vexlo.image(np.zeros((3, 5), dtype=np.float32)))
    [hdu] = read(path)
    assert hdu.keywords() == ["SIMPLE", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "EXTEND"]
    assert [v for _, v, _ in hdu.entries()] == [True, -32, 2, 5, 3, True]
    assert hdu.comment("SIMPLE") == "conforming FITS file"


def test_extension_header_ignores_user_structure(tmp_path):
    user = {"SIMPLE": True, "EXTEND": True, "XTENSION": "TABLE", "OBJECT": "M31"}
    b = vexlo.image(np.arange(4, dtype=np.int16), header=user, primary=False)
    path = tmp_path / "ext.fits"
    vexlo.write(path, [vexlo.image(np.zeros(1, np.uint8)), b])
    ext = read(path)[1]
    assert ext.keywords() == ["XTENSION", "BITPIX", "NAXIS", "NAXIS1", "PCOUNT", "GCOUNT",
                              "OBJECT"]
    assert ext["XTENSION"] == "IMAGE"
    fitsverify(path)


# --- the offset convention always wins (a user's BZERO/BSCALE would shift every reader) ---

OFFSET_CASES = [
    # dtype, user cards, the offset
    ("uint16", {"BZERO": 0}, 32768.0),
    ("uint16", {"BZERO": (5, "my zero"), "BSCALE": 2.0}, 32768.0),
    ("uint32", {"BSCALE": 0.5}, 2147483648.0),
    ("uint64", {"BZERO": -7.5, "BSCALE": 3}, 9223372036854775808.0),
    ("int8", {"BZERO": 0.0, "BSCALE": 10}, -128.0),
]


@pytest.mark.parametrize("dtype,user,offset", OFFSET_CASES)
def test_offset_dtypes_replace_user_scaling(tmp_path, dtype, user, offset):
    info = np.iinfo(dtype)
    a = np.array([info.min, info.max, 1], dtype=dtype)
    path = write_one(tmp_path, vexlo.image(a, header=user))
    [hdu] = read(path)
    assert hdu.all("BZERO") == [offset]
    assert hdu.all("BSCALE") == [1.0]
    stored = hdu.stored_image()
    assert [int(offset) + int(s) for s in stored] == [int(v) for v in a]
    assert np.array_equal(np.asarray(vexlo.open(str(path))[0].data, dtype=a.dtype), a)
    fitsverify(path)


def test_offset_cards_keep_their_place_and_comment(tmp_path):
    user = vexlo.Header()
    user["OBJECT"] = "M31"
    user["BZERO"] = (0, "zero point")
    user["TELESCOP"] = "X"
    path = write_one(tmp_path, vexlo.image(np.array([0, 65535], np.uint16), header=user))
    [hdu] = read(path)
    assert hdu.keywords()[-4:] == ["OBJECT", "BZERO", "TELESCOP", "BSCALE"]
    assert hdu["BZERO"] == 32768.0 and hdu.comment("BZERO") == "zero point"


def test_duplicate_user_offset_cards_collapse_to_one(tmp_path):
    text = "".join(c.ljust(80) for c in [
        "BZERO   =                    1", "OBJECT  = 'A'", "BZERO   =                    2",
        "BSCALE  =                    4", "BSCALE  =                    5"])
    user = vexlo.Header.fromstring(text)
    path = write_one(tmp_path, vexlo.image(np.array([7], np.uint16), header=user))
    [hdu] = read(path)
    assert hdu.all("BZERO") == [32768.0] and hdu.all("BSCALE") == [1.0]
    assert hdu.keywords()[-3:] == ["BZERO", "OBJECT", "BSCALE"]


def test_signed_integer_images_keep_user_scaling(tmp_path):
    path = write_one(tmp_path, vexlo.image(np.arange(3, dtype=np.int16),
                                           header={"BZERO": 100, "BSCALE": 2, "BLANK": -1}))
    [hdu] = read(path)
    assert (hdu["BZERO"], hdu["BSCALE"], hdu["BLANK"]) == (100, 2, -1)


@pytest.mark.parametrize("dtype", ["float32", "float64"])
def test_float_images_drop_user_scaling(tmp_path, dtype):
    user = {"BZERO": 1.0, "BSCALE": 2.0, "BLANK": -1, "OBJECT": "X"}
    path = write_one(tmp_path, vexlo.image(np.ones(2, dtype=dtype), header=user))
    [hdu] = read(path)
    assert [k for k in ("BZERO", "BSCALE", "BLANK") if hdu.get(k) is not None] == []
    assert hdu["OBJECT"] == "X"


def test_merge_of_user_cards(tmp_path):
    user = {
        "HISTORY": "first step",
        "NAXIS": (7, "number of axes, from the user"),
        "CHECKSUM": "ABCDEFGHIJKLMNOP",
        "DATASUM": "12",
        "OBJECT": ("M31", "target"),
        "BITPIX": 99,  # no comment: dropped
    }
    path = write_one(tmp_path, vexlo.image(np.zeros((2, 2), np.int32), header=user))
    [hdu] = read(path)
    assert hdu.keywords() == ["SIMPLE", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "EXTEND",
                              "HISTORY", "OBJECT"]
    assert hdu["NAXIS"] == 2 and hdu.comment("NAXIS") == "number of axes, from the user"
    assert hdu["BITPIX"] == 32 and hdu.comment("BITPIX") is None
    assert hdu.cards[6].startswith("HISTORY first step")
    fitsverify(path)


# Cards that describe a table or random groups would make the image invalid (fitsverify:
# "TFORM1 is not allowed in the array HDU"): the header is refused, naming the first of them.
@pytest.mark.parametrize(
    "user, named",
    [
        ({"OBJECT": "M31", "TTYPE1": "TIME", "TFORM1": "D"}, "TTYPE1"),
        ({"TFIELDS": 1}, "TFIELDS"),
        ({"THEAP": 16}, "THEAP"),
        ({"GROUPS": (True, "random groups")}, "GROUPS"),
        ({"TBCOL2": 5}, "TBCOL2"),
        ({"TDIM3": "(2,2)"}, "TDIM3"),
        ({"TNULL1": -1, "TSCAL1": 2.0, "TZERO1": 1.0}, "TNULL1"),
        ({"TDISP1": "I4"}, "TDISP1"),
        ({"PTYPE1": "UU"}, "PTYPE1"),
        ({"PSCAL2": 1.0}, "PSCAL2"),
        ({"pzero1": 0.0}, "PZERO1"),
    ],
)
@pytest.mark.parametrize("primary", [True, False])
def test_cards_of_another_kind_of_hdu_are_refused(user, named, primary):
    with pytest.raises(ValueError) as e:
        vexlo.image(np.arange(4, dtype=np.int16), header=user, primary=primary)
    assert str(e.value) == (f"header card {named} belongs to a table or random-groups HDU "
                            "and cannot go on an image")


def test_table_header_is_refused_for_an_image(tmp_path):
    table = tmp_path / "t.fits"
    vexlo.write(table, [vexlo.bintable({"TIME": np.arange(3.0)})])
    with pytest.raises(ValueError, match="header card TFIELDS belongs to a table"):
        vexlo.image(np.arange(4, dtype=np.int16), header=vexlo.getheader(str(table), 1))
    # Image cards that only look alike stay allowed.
    path = write_one(tmp_path, vexlo.image(np.arange(4, dtype=np.int16),
                                           header={"TFORMAT": "x", "PTYPE": 1}))
    assert read(path)[0]["TFORMAT"] == "x"
    fitsverify(path)


def test_image_hdu_object_refuses_a_table_header(tmp_path):
    table = tmp_path / "t.fits"
    vexlo.write(table, [vexlo.bintable({"TIME": np.arange(3.0)})])
    with pytest.raises(ValueError, match="header card TFIELDS belongs to a table"):
        vexlo.ImageHdu(np.arange(4, dtype=np.int16), vexlo.getheader(str(table), 1))
    with pytest.raises(ValueError, match="header card PTYPE1 belongs to a table"):
        vexlo.ImageHdu(np.arange(4, dtype=np.int16), {"PTYPE1": "A"})


def test_user_header_object_is_not_changed():
    user = vexlo.Header({"BZERO": 0, "OBJECT": "X"})
    vexlo.image(np.array([1], np.uint16), header=user)
    assert user["BZERO"] == 0 and len(user) == 2


# --- memory layouts: the C order of the elements is written, whatever the strides ---

def layouts():
    base = np.arange(60, dtype=np.int32).reshape(6, 10)
    return [
        np.asfortranarray(base),
        base[::2, ::-3],
        base.T,
        np.broadcast_to(np.arange(5, dtype=np.float64), (4, 5)),
        base.astype(">i4"),
        np.arange(24, dtype=np.uint16).reshape(2, 3, 4).transpose(2, 0, 1),
        base[:, 3:4],
    ]


@pytest.mark.parametrize("a", layouts(), ids=lambda a: f"{a.dtype}{a.shape}{a.strides}")
def test_layouts_encode_like_their_c_ordered_copy(tmp_path, a):
    copy = np.ascontiguousarray(a).astype(a.dtype.newbyteorder("="))
    before = a.copy()
    one = write_one(tmp_path, vexlo.image(a), "a.fits").read_bytes()
    two = write_one(tmp_path, vexlo.image(copy), "b.fits").read_bytes()
    assert one == two
    assert np.array_equal(a, before)


def test_big_endian_input_becomes_native(tmp_path):
    a = np.arange(6, dtype=">i2").reshape(2, 3)
    path = write_one(tmp_path, vexlo.image(a))
    assert np.array_equal(read(path)[0].stored_image(), a)


def test_list_of_ints_is_int64_and_masked_arrays_pass(tmp_path):
    path = write_one(tmp_path, vexlo.image([[1, 2], [3, 4]]))
    [hdu] = read(path)
    assert hdu["BITPIX"] == 64 and hdu.stored_image().tolist() == [[1, 2], [3, 4]]
    m = np.ma.array([1.0, 2.0, 3.0], mask=[0, 1, 0])
    path = write_one(tmp_path, vexlo.image(m), "m.fits")
    assert read(path)[0].stored_image().tolist() == [1.0, 2.0, 3.0]


def test_empty_axis_writes_a_valid_image(tmp_path):
    path = write_one(tmp_path, vexlo.image(np.zeros((0, 4), np.int16)))
    [hdu] = read(path)
    assert (hdu["NAXIS1"], hdu["NAXIS2"], len(hdu.data)) == (4, 0, 0)
    fitsverify(path)


# --- refusals ---

UNSUPPORTED = [np.complex128, np.float16, object, "U3", "datetime64[s]", "S2", np.longdouble]


@pytest.mark.parametrize("dtype", UNSUPPORTED, ids=str)
def test_unsupported_dtypes(dtype):
    with pytest.raises(TypeError) as e:
        vexlo.image(np.zeros(2, dtype=dtype))
    assert str(e.value) == (
        "image: unsupported numpy dtype (expected "
        "bool/int8/uint8/int16/uint16/int32/uint32/int64/uint64/float32/float64)"
    )


@pytest.mark.parametrize("value,size", [(np.float64(1.5), 8), (3, 8), (np.array(1, np.uint8), 1)])
def test_zero_dimensional_data_is_refused(value, size):
    with pytest.raises(vexlo.FitsError) as e:
        vexlo.image(value)
    assert e.value.args == (f"data: data slice {size} bytes does not match expected 0",)


def test_ragged_list_reports_numpy_error():
    with pytest.raises(TypeError) as e:
        vexlo.image([[1, 2], [3]])
    text = str(e.value)
    assert text.startswith("image: expected a numpy array or an array-like sequence (ValueError: ")
    assert text.endswith(")")
    assert e.value.__cause__ is None


def test_argument_errors():
    with pytest.raises(TypeError) as e:
        vexlo.image([1], primary=1)
    assert str(e.value) == "argument 'primary': 'int' object is not an instance of 'bool'"
    vexlo.image([1], primary=np.bool_(False))
    with pytest.raises(TypeError) as e:
        vexlo.image([1], header=5)
    assert str(e.value) == "header must be a Header or a mapping with .items()"
    # The header is converted before the data.
    with pytest.raises(TypeError, match="header must be"):
        vexlo.image(np.zeros(2, np.complex64), header=5)
    with pytest.raises(vexlo.FitsError):
        vexlo.image([1], header={"BAD KEY": 1})
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'data'"):
        vexlo.image()


def test_builder_classes_are_closed():
    for cls in (vexlo.ImageBuilder, vexlo.BinTableBuilder, vexlo.AsciiTableBuilder):
        with pytest.raises(TypeError):
            cls()
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
    assert vexlo.ImageBuilder.__doc__.startswith("Opaque image HDU spec produced by :func:`image`.")
    assert vexlo.image.__text_signature__ == "(data, header=None, primary=True)"
    assert vexlo.image.__doc__.splitlines()[0] == "Build an image HDU from an array."


def test_numpy_is_imported_on_first_array_use():
    code = ("import sys, vexlo\n"
            "assert 'numpy' not in sys.modules\n"
            "vexlo.image([1, 2])\n"
            "assert 'numpy' in sys.modules\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                          timeout=60)
    assert done.returncode == 0, done.stderr


def test_checksummed_images_verify(tmp_path):
    for i, dtype in enumerate(["uint16", "float32", "int8"]):
        a = np.arange(1000, dtype=dtype).reshape(10, 100)
        path = write_one(tmp_path, vexlo.image(a), f"c{i}.fits", checksums=True)
        [hdu] = read(path)
        assert checksums_verify(hdu)
        fitsverify(path)


def test_large_images_encode_exactly(tmp_path):
    # Large enough for the encoder's huge-page buffers; odd strides on the way too.
    a = np.random.default_rng(3).standard_normal((1500, 1400)).astype(np.float32)
    for i, x in enumerate([a, a[:, ::-1], a.view(np.uint32)]):
        path = write_one(tmp_path, vexlo.image(x), f"l{i}.fits")
        stored = read(path)[0].stored_image()
        assert stored.tobytes() == expected_stored(x.ravel(), str(x.dtype)).tobytes()


# Array layouts whose element order differs from their memory order, each cut so that the
# ranges of a split encoding start and end inside runs.
LAYOUTS = [
    ("c-order", lambda a: a),
    ("fortran-order", np.asfortranarray),
    ("every-other-column", lambda a: a[:, ::2]),
    ("reversed-rows", lambda a: a[::-1]),
    ("transposed-cube", lambda a: a.reshape(a.shape[0], -1, 2).transpose(1, 0, 2)),
]


def split_image_bytes(array, **kw):
    """The file vexlo writes for image(array), as bytes."""
    import tempfile

    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "img.fits")
        vexlo.write(path, [vexlo.image(array)], **kw)
        with open(path, "rb") as f:
            return f.read()


@pytest.mark.parametrize("layout", [f for _, f in LAYOUTS], ids=[n for n, _ in LAYOUTS])
@pytest.mark.parametrize("dtype", ["int8", "uint16", "int32", "uint64", "float32", "float64"])
def test_encoding_split_over_parts_gives_the_bytes_of_one_part(tmp_path, split_passes, dtype,
                                                               layout):
    from hooks import T

    rng = np.random.default_rng(36)
    info = np.iinfo(dtype) if np.dtype(dtype).kind in "iu" else None
    if info is not None:
        base = rng.integers(info.min, info.max, (37, 58), dtype=dtype, endpoint=True)
    else:
        base = rng.standard_normal((37, 58)).astype(dtype)
    a = layout(base)
    got = split_image_bytes(a)
    if split_passes is not None:
        T.force_parts(1)
        try:
            one_part = split_image_bytes(a)
        finally:
            T.force_parts(split_passes)
        assert got == one_part
    path = tmp_path / "img.fits"
    path.write_bytes(got)
    hdu = read(path)[0]
    stored = np.frombuffer(hdu.data, dtype=expected_stored([], dtype).dtype)
    assert np.array_equal(stored, expected_stored(np.ascontiguousarray(a).ravel(), dtype))
    assert read_with_astropy(path).tolist() == a.tolist()
    if dtype != "uint64":  # fitsio holds 64-bit unsigned images as int64
        assert read_with_fitsio(path).tolist() == a.tolist()


@pytest.mark.parametrize("shape", [(301, 499), (7, 3), (1, 1)], ids=str)
def test_checksums_summed_over_parts_match_independent_sums(tmp_path, split_passes, shape):
    from hooks import T

    a = (np.arange(np.prod(shape), dtype=np.int64).reshape(shape) * 2654435761 % 65536
         ).astype(np.uint16)
    got = split_image_bytes(a, checksums=True)
    if split_passes is not None:
        T.force_parts(1)
        try:
            assert split_image_bytes(a, checksums=True) == got
        finally:
            T.force_parts(split_passes)
    path = tmp_path / "img.fits"
    path.write_bytes(got)
    assert checksums_verify(read(path)[0])
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(path, checksum=True) as hdus:
        hdus.verify("exception")
        assert hdus[0].verify_checksum() == 1 and hdus[0].verify_datasum() == 1
        assert hdus[0].data.tolist() == a.tolist()
    assert read_with_fitsio(path).tolist() == a.tolist()
    with vexlo.open(str(path)) as f:
        row = f.verify_checksums()[0]
        assert row["checksum_ok"] is True and row["datasum_ok"] is True

"""Tile-compressed images: files from the standard compressor read back as their reference
decompression, and compressed_image() writes files that read back (here and in other readers)."""

import pathlib
import warnings

import numpy as np
import pytest

import vexlo
from array_samples import DTYPES, sample_array
from fits_read import fitsverify, read
from hooks import T, needs_hooks, split_passes  # noqa: F401  (a fixture)

TILED = pathlib.Path(__file__).resolve().parent.parent / "data" / "tiled"
CASES = sorted(p.name[: -len(".fz")] for p in TILED.glob("*.fz"))
RESERVED = "Keyword '{}' is reserved for use by the FITS Tiled Image Convention so will be dropped"


def getdata(path, index):
    with vexlo.open(str(path)) as f:
        return f[index].data


def getheader(path, index):
    with vexlo.open(str(path)) as f:
        return f[index].header


def bits(a):
    return a.view(f"u{a.dtype.itemsize}")


@pytest.mark.usefixtures("split_passes")
@pytest.mark.parametrize("name", CASES)
def test_reference_files_decode_bit_for_bit(name):
    with vexlo.open(str(TILED / f"{name}.fz")) as f:
        hdu = f[1]
        assert type(hdu) is vexlo.ImageHdu
        got = hdu.data
        # The image's own header: no table or Z cards, the image's shape.
        h = hdu.header
        assert h["XTENSION"] == "IMAGE"
        assert "ZIMAGE" not in h and "TFORM1" not in h and "ZCMPTYPE" not in h
        assert tuple(h[f"NAXIS{i + 1}"] for i in range(h["NAXIS"]))[::-1] == got.shape
        # Sections read through the resident pixels.
        assert np.array_equal(bits(hdu.section[1:3, 2:7]), bits(got[1:3, 2:7]))
    # The values of the same image stored plainly, in the same dtype.
    want = getdata(str(TILED / f"{name}.ref.fits.gz"), 0)
    assert got.shape == want.shape and got.dtype == want.dtype
    assert np.array_equal(bits(got), bits(want))  # NaN positions and payloads included


def sample(dtype, shape=(37, 53)):
    return sample_array(dtype, shape, seed=5, nan_at=(3, 4), minus_inf_at=(5, 6))


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("tile_shape", [None, [10, 10], [53, 37], [7, 100]])
def test_round_trip_every_dtype_and_tiling(tmp_path, dtype, tile_shape):
    a = sample(dtype)
    path = tmp_path / "c.fits"
    vexlo.write(str(path), [vexlo.compressed_image(a, tile_shape=tile_shape)])
    with vexlo.open(str(path)) as f:
        got = f[1].data
    if dtype == "bool":
        got = got.astype(bool)
    assert got.dtype == a.dtype
    assert np.array_equal(got, a, equal_nan=a.dtype.kind == "f")
    if dtype == "float64":
        assert np.array_equal(bits(np.asarray(got, dtype)), bits(a))


def test_tiles_header_and_name(tmp_path):
    a = np.arange(100 * 100, dtype=np.float64).reshape(100, 100)
    b = vexlo.compressed_image(a, tile_shape=[10, 10])
    path = tmp_path / "c.fits"
    vexlo.write(str(path), [b])
    table = read(path)[1]
    cards = {k: v for k, v, _ in table.entries()}
    assert cards["XTENSION"] == "BINTABLE" and cards["ZIMAGE"] is True
    assert cards["ZCMPTYPE"] == "GZIP_1" and cards["ZQUANTIZ"] == "NONE"
    assert (cards["ZTILE1"], cards["ZTILE2"], cards["NAXIS2"]) == (10, 10, 100)
    assert cards["EXTNAME"] == "COMPRESSED_IMAGE" and cards["ZTENSION"] == "IMAGE"
    assert repr(b) == f"BinTableBuilder(<{len(table.data)} bytes>)"
    assert np.array_equal(bits(getdata(path, 1)), bits(a))
    fitsverify(path)


def test_extname(tmp_path):
    a = np.zeros((4, 5), np.int16)
    cases = [
        ({}, None, "COMPRESSED_IMAGE"),
        ({}, "SCI", "SCI"),
        # Without an explicit name the header's own EXTNAME is kept.
        ({"EXTNAME": "RAW"}, None, "RAW"),
        ({"EXTNAME": "RAW"}, "SCI", "SCI"),
    ]
    for n, (header, extname, want) in enumerate(cases):
        path = tmp_path / f"{n}.fits"
        vexlo.write(str(path), [vexlo.compressed_image(a, header, extname=extname)])
        table = {k: v for k, v, _ in read(path)[1].entries()}
        assert table["EXTNAME"] == want
        # The image read back keeps its name, except the default one.
        assert getheader(path, 1).get("EXTNAME") == (None if want == "COMPRESSED_IMAGE" else want)


def test_reserved_cards_warn_in_order_and_are_dropped(tmp_path):
    a = np.ones((3, 4), np.int32)
    h = vexlo.Header({"ZIMAGE": True, "TFORM1": "1J", "OBJECT": "M31"})
    with warnings.catch_warnings(record=True) as w:
        warnings.simplefilter("always")
        b = vexlo.compressed_image(a, h)
    assert [str(x.message) for x in w] == [RESERVED.format("ZIMAGE"), RESERVED.format("TFORM1")]
    assert all(x.category is UserWarning for x in w)
    path = tmp_path / "c.fits"
    vexlo.write(str(path), [b])
    got = vexlo.open(str(path))[1].header
    assert got["OBJECT"] == "M31" and "TFORM1" not in got

    # Repeats next to each other in the list of reserved keywords warn once.
    for keys, expected in ((["ZTILE1", "ZTILE1"], 1), (["ZTILE1", "OBJECT", "ZTILE1"], 1),
                           (["ZTILE1", "ZVAL1", "ZTILE1"], 3)):
        h = vexlo.Header.fromstring("".join(f"{k:<8}= {1:>20}".ljust(80) for k in keys))
        with warnings.catch_warnings(record=True) as w:
            warnings.simplefilter("always")
            vexlo.compressed_image(a, h)
        assert len(w) == expected

    # Warnings turned into errors end the call.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning):
            vexlo.compressed_image(a, {"ZIMAGE": True})
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        vexlo.compressed_image(a, {"ZTILE": 1, "TFORM": "x"})  # a prefix alone is not reserved


def test_refusals():
    a = np.zeros((100, 100), np.float32)
    with pytest.raises(vexlo.FitsError, match="tile rank 3 does not match NAXIS 2"):
        vexlo.compressed_image(a, tile_shape=[10, 10, 1])
    with pytest.raises(vexlo.FitsError, match="tile dimensions must be >= 1"):
        vexlo.compressed_image(a, tile_shape=[10, 0])
    with pytest.raises(TypeError, match="argument 'tile_shape'"):
        vexlo.compressed_image(a, tile_shape="ab")
    with pytest.raises(TypeError, match="argument 'tile_shape'"):
        vexlo.compressed_image(a, tile_shape=[1.5, 2])
    with pytest.raises(OverflowError):
        vexlo.compressed_image(a, tile_shape=[-1, 10])
    with pytest.raises(TypeError, match="argument 'extname'"):
        vexlo.compressed_image(a, extname=3)
    with pytest.raises(TypeError):
        vexlo.compressed_image(a, None, [10, 10])  # tile_shape is keyword-only
    with pytest.raises(vexlo.FitsError):
        vexlo.compressed_image(np.float32(1.0))  # no axes


@pytest.mark.parametrize("reader", ["astropy", "fitsio"])
def test_other_readers_decode_what_is_written(tmp_path, reader):
    mod = pytest.importorskip("astropy.io.fits" if reader == "astropy" else "fitsio")
    for dtype in ("uint8", "int16", "int32", "float32", "float64"):
        a = sample(dtype)
        path = tmp_path / f"{dtype}.fits"
        vexlo.write(str(path), [vexlo.compressed_image(a, tile_shape=[16, 8])])
        if reader == "astropy":
            with mod.open(str(path)) as f:
                got = np.asarray(f[1].data)
        else:
            got = mod.read(str(path), ext=1)
        assert np.array_equal(got, a, equal_nan=a.dtype.kind == "f"), dtype


def test_hcompress_with_a_logical_smooth_reads_as_the_image(tmp_path):
    # astropy writes SMOOTH as a logical (ZVAL2 = T or F); the HDU is the image, smoothed or
    # not as the flag says, with the pixels astropy decodes.
    fits = pytest.importorskip("astropy.io.fits")
    data = np.random.default_rng(13).normal(1000, 30, (64, 48)).astype(np.int32)
    decoded = {}
    for smooth in (True, False):
        path = tmp_path / f"hc_{smooth}.fits"
        hdu = fits.CompImageHDU(data=data, compression_type="HCOMPRESS_1", hcomp_scale=3,
                                hcomp_smooth=smooth)
        fits.HDUList([fits.PrimaryHDU(), hdu]).writeto(path)
        with fits.open(path, disable_image_compression=True) as f:
            assert (f[1].header["ZNAME2"], f[1].header["ZVAL2"]) == ("SMOOTH", smooth)
        with fits.open(path) as f:
            theirs = np.asarray(f[1].data)
        with vexlo.open(str(path)) as f:
            assert isinstance(f[1], vexlo.ImageHdu)
            ours = f[1].data
        assert np.array_equal(ours, theirs), smooth
        decoded[smooth] = ours
    assert not np.array_equal(decoded[True], decoded[False])  # the flag is heeded


WRITER_CASES = [
    ("int16", dict(compression="RICE_1", blocksize=16)),
    ("uint8", dict(compression="RICE_1")),
    ("int32", dict(compression="GZIP_2", tile_shape=[16, 8])),
    ("float32", dict(compression="RICE_1", dither="SUBTRACTIVE_DITHER_1")),
    ("float32", dict(compression="RICE_1", dither="SUBTRACTIVE_DITHER_2", dither_seed=9)),
    ("float64", dict(compression="GZIP_2", dither="NO_DITHER", tile_shape=[20, 5])),
    ("float64", dict(compression="GZIP_1", dither="SUBTRACTIVE_DITHER_1")),
]


@needs_hooks
@pytest.mark.parametrize("reader", ["astropy", "fitsio"])
def test_other_readers_decode_every_writer_option_to_our_values(tmp_path, reader):
    mod = pytest.importorskip("astropy.io.fits" if reader == "astropy" else "fitsio")
    for n, (dtype, options) in enumerate(WRITER_CASES):
        a = sample(dtype)
        if a.dtype.kind == "f":
            a[0, :10] = 0.0  # zeros take the SUBTRACTIVE_DITHER_2 sentinel
            a[1, :] = 5.5  # a constant tile row is stored exactly (gzip fallback)
        path = tmp_path / f"{n}.fits"
        vexlo.write(str(path), [T.compress_tiles(a, **options)])
        with vexlo.open(str(path)) as f:
            ours = f[1].data
        if reader == "astropy":
            with mod.open(str(path)) as f:
                theirs = np.asarray(f[1].data)
        else:
            theirs = mod.read(str(path), ext=1)
        assert np.array_equal(ours, theirs, equal_nan=True), options
        if "dither" not in options:
            assert np.array_equal(ours, a)
        else:
            finite = np.isfinite(a)
            assert np.array_equal(finite, np.isfinite(ours))
            if "tile_shape" not in options:  # row 1 is then a tile of its own
                assert np.array_equal(ours[1], a[1])
            if options["dither"] == "SUBTRACTIVE_DITHER_2":
                assert np.all(ours[0, :10] == 0.0)
            # Within half a quantisation step of a tile (its noise / 4, well under 20 / 2).
            assert np.nanmax(np.abs(ours[finite].astype(float) - a[finite])) < 10


SPLIT_CASES = [
    ("int16", None),  # compressed_image(): GZIP_1, one row per tile
    ("int32", dict(compression="GZIP_2", tile_shape=[7, 3])),
    ("int16", dict(compression="RICE_1", tile_shape=[53, 4])),
    ("float32", dict(compression="RICE_1", dither="SUBTRACTIVE_DITHER_1", tile_shape=[9, 5])),
]


@needs_hooks
@pytest.mark.parametrize("dtype,options", SPLIT_CASES)
def test_tiles_split_over_parts_write_and_read_as_one_part(tmp_path, dtype, options):
    """Tiles encoded and decoded in 3 or 7 ranges (a remainder, ranges of one tile) give the
    one-range file byte for byte and its pixels, which the other readers read too."""
    pytest.importorskip("astropy")
    fitsio = pytest.importorskip("fitsio")
    from astropy.io import fits

    a = sample(dtype)
    files, pixels = [], []
    try:
        for parts in (1, 3, 7):
            T.force_parts(parts)
            path = tmp_path / f"{parts}.fits"
            hdu = vexlo.compressed_image(a) if options is None else T.compress_tiles(a, **options)
            vexlo.write(str(path), [hdu])
            files.append(path.read_bytes())
            pixels.append(getdata(path, 1))
    finally:
        T.force_parts(0)
    assert files[1] == files[0] and files[2] == files[0]
    assert all(np.array_equal(bits(p), bits(pixels[0])) for p in pixels)
    if options is None or "dither" not in options:
        assert np.array_equal(pixels[0], a)
    with fits.open(str(tmp_path / "7.fits")) as f:
        f.verify("exception")
        assert np.array_equal(np.asarray(f[1].data), pixels[0], equal_nan=True)
    assert np.array_equal(fitsio.read(str(tmp_path / "7.fits"), ext=1), pixels[0], equal_nan=True)

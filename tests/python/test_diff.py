"""vexlo.diff and vexlo.FitsDiff: comparing two files through the module."""

import gzip
import pathlib
import shutil

import numpy as np
import pytest

import vexlo

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"

TITLE = "vexlo diff report\n=================\n"


def write(path, *hdus, checksums=False):
    vexlo.write(path, list(hdus), checksums=checksums)
    return path


def image(values, header=None, primary=True):
    return vexlo.image(np.asarray(values), header=header, primary=primary)


@pytest.fixture
def pair(tmp_path):
    """Two two-HDU files that differ in one header value, some pixels and one table cell."""
    pixels = np.arange(100, dtype="f4").reshape(10, 10)
    changed = pixels.copy()
    changed.flat[[3, 50, 99]] = -1
    flux = np.linspace(0, 1, 20)
    other = flux.copy()
    other[12] = 7.5
    a = write(
        tmp_path / "a.fits",
        image(pixels, {"OBJECT": "M31", "EXPTIME": 10.0}),
        vexlo.bintable({"FLUX": flux, "N": np.arange(20)}),
    )
    b = write(
        tmp_path / "b.fits",
        image(changed, {"OBJECT": "M33", "EXPTIME": 10.0}),
        vexlo.bintable({"FLUX": other, "N": np.arange(20)}),
    )
    return a, b


def test_file_against_itself(pair):
    a, _ = pair
    result = vexlo.diff(a, a)
    assert result.identical is True
    assert not result
    assert result.hdu_counts == (2, 2)
    assert result.diff_hdu_count == 0
    assert result.diff_hdu_indices() == []
    assert result.report() == TITLE + "Both files have 2 HDU(s).\nFiles are identical.\n"
    assert str(result) == result.report()
    assert repr(result) == "FitsDiff(hdu_counts=(2, 2), identical=true)"


def test_differences_and_their_report(pair):
    a, b = pair
    result = vexlo.diff(a, b)
    assert result.identical is False and bool(result) is True
    assert result.diff_hdu_indices() == [0, 1]
    assert result.diff_hdu_count == 2
    assert repr(result) == "FitsDiff(hdu_counts=(2, 2), identical=false)"
    assert result.report() == TITLE + (
        "Both files have 2 HDU(s).\n"
        "\n"
        "HDU 0:\n"
        '  - OBJECT: a="M31" b="M33"\n'
        "  data differences (3 total):\n"
        "    [3]: a=3 b=-1\n"
        "    [50]: a=50 b=-1\n"
        "    [99]: a=99 b=-1\n"
        "\n"
        "HDU 1:\n"
        "  data differences (1 total):\n"
        f"    FLUX[12]: a={flux_text(12 / 19)} b=7.5\n"
    )


def flux_text(value):
    return repr(float(value))


def test_cap_and_overflow_line(tmp_path):
    a = write(tmp_path / "a.fits", image(np.zeros(40, "i2")))
    changed = np.zeros(40, "i2")
    changed[5:30] = 1
    b = write(tmp_path / "b.fits", image(changed))
    lines = vexlo.diff(a, b).report().splitlines()
    assert lines[4:6] == ["HDU 0:", "  data differences (25 total):"]
    assert lines[6:16] == [f"    [{i}]: a=0 b=1" for i in range(5, 15)]
    assert lines[16:] == ["    ... 15 more not shown"]
    assert len(vexlo.diff(a, b, max_diffs=30).report().splitlines()) == 6 + 25


def test_data_differences_beyond_a_zero_cap_still_count(tmp_path):
    a = write(tmp_path / "a.fits", image(np.zeros(8, "f4")))
    b = write(tmp_path / "b.fits", image(np.ones(8, "f4")))
    result = vexlo.diff(a, b, max_diffs=0)
    assert result.identical is False and bool(result)
    assert result.diff_hdu_indices() == [0]
    assert result.report() == TITLE + (
        "Both files have 1 HDU(s).\n"
        "\n"
        "HDU 0:\n"
        "  data differences (8 total):\n"
        "    ... 8 more not shown\n"
    )


# 64-bit integers past 2^53 are compared and printed exactly, raw or under the unsigned
# offset; integer cards wider than 64 bits by their exact value.
@pytest.mark.parametrize(
    "dtype, a_values, b_values, texts",
    [
        ("i8", [2**60 + 10, 7], [2**60 + 11, 7], ["a=1152921504606846986 b=1152921504606846987"]),
        ("u8", [2**64 - 2, 0], [2**64 - 1, 1],
         ["a=18446744073709551614 b=18446744073709551615", "a=0 b=1"]),
    ],
)
def test_sixty_four_bit_pixels_exactly(tmp_path, dtype, a_values, b_values, texts):
    a = write(tmp_path / "a.fits", image(np.array(a_values, dtype)))
    b = write(tmp_path / "b.fits", image(np.array(b_values, dtype)))
    result = vexlo.diff(a, b)
    assert result.identical is False
    lines = result.report().splitlines()
    assert [line.split(": ", 1)[1] for line in lines[6:]] == texts
    assert vexlo.diff(a, a).identical


def test_wide_integer_cards_by_exact_value(tmp_path):
    a = write(tmp_path / "a.fits", image(np.zeros(2, "i2"), {"BIGI": 123456789012345678901}))
    b = write(tmp_path / "b.fits", image(np.zeros(2, "i2"), {"BIGI": 123456789012345678902}))
    result = vexlo.diff(a, b)
    assert result.identical is False
    assert '  - BIGI: a=123456789012345678901 b=123456789012345678902' in result.report()
    assert vexlo.diff(a, a).identical


def test_tolerances(tmp_path):
    a = write(tmp_path / "a.fits", image(np.array([100.0, 1.0])))
    b = write(tmp_path / "b.fits", image(np.array([100.5, 1.0])))
    assert not vexlo.diff(a, b).identical
    assert vexlo.diff(a, b, rtol=0.005).identical
    assert not vexlo.diff(a, b, atol=0.4).identical
    assert vexlo.diff(a, b, atol=0.5).identical
    # Tolerances are not checked: a negative one only changes the outcome.
    assert not vexlo.diff(a, b, rtol=-1.0, atol=0.4).identical
    assert vexlo.diff(a, b, rtol=np.float32(0.01)).identical


def test_ignore_keywords(tmp_path):
    pixels = np.arange(6, dtype="i4")
    a = write(tmp_path / "a.fits", image(pixels, {"OBJECT": "M31"}), checksums=True)
    raw = bytearray(a.read_bytes())
    at = raw.index(b"CHECKSUM= '") + 11
    raw[at : at + 16] = b"0000000000000000"
    b = tmp_path / "b.fits"
    b.write_bytes(bytes(raw))
    # CHECKSUM, DATASUM and DATE are ignored by default; a given list replaces that.
    assert vexlo.diff(a, b).identical
    empty = vexlo.diff(a, b, ignore_keywords=[])
    assert not empty.identical
    assert empty.report().splitlines()[5].startswith("  - CHECKSUM: a=")

    c = write(tmp_path / "c.fits", image(pixels, {"OBJECT": "M33"}))
    assert not vexlo.diff(a, c).identical
    assert vexlo.diff(a, c, ignore_keywords=("object", "checksum", "datasum")).identical
    # The ignore list holds in both directions: CHECKSUM and DATASUM are only in file b here.
    assert vexlo.diff(c, a, ignore_keywords=("object", "checksum", "datasum")).identical
    assert not vexlo.diff(c, a, ignore_keywords=("object", "checksum")).identical


def test_hdu_counts_and_kinds(tmp_path):
    extension = image([3], primary=False)
    a = write(tmp_path / "a.fits", image([1, 2]), extension, extension)
    b = write(tmp_path / "b.fits", image([1, 2]), vexlo.bintable({"X": np.arange(3)}))
    result = vexlo.diff(a, b)
    assert result.hdu_counts == (3, 2)
    assert result.identical is False
    assert result.diff_hdu_indices() == [1]
    assert result.report() == TITLE + (
        "HDU counts differ: a has 3, b has 2\n\nHDU 1:\n  kind differs: IMAGE vs BINTABLE\n"
    )
    clean = vexlo.diff(a, write(tmp_path / "c.fits", image([1, 2]), image([3], primary=False)))
    assert clean.diff_hdu_count == 0 and clean.diff_hdu_indices() == []
    assert bool(clean) and not clean.identical
    assert "Files are identical." not in clean.report()


def test_ascii_tables_and_fixture_files(tmp_path):
    table = {"NAME": ["M31", "NGC"], "N": np.array([12, 3])}
    a = write(tmp_path / "a.fits", image([0]), vexlo.ascii_table(table))
    table["NAME"] = ["M31", "NGD"]
    b = write(tmp_path / "b.fits", image([0]), vexlo.ascii_table(table))
    assert vexlo.diff(a, b).report().splitlines()[-1] == '    NAME[1]: a="NGC" b="NGD"'
    for name in ("images.fits", "ascii_table.fits", "bintable.fits.gz", "random_groups.fits"):
        assert vexlo.diff(DATA / name, DATA / name).identical, name
    # A gzip file's images are compared from its decompressed bytes.
    packed = tmp_path / "images.fits.gz"
    packed.write_bytes(gzip.compress((DATA / "images.fits").read_bytes()))
    assert vexlo.diff(DATA / "images.fits", packed).identical
    c = write(tmp_path / "c.fits", image(np.arange(5000, dtype="i4")))
    changed = np.arange(5000, dtype="i4")
    changed[4321] = -7
    d = write(tmp_path / "d.fits", image(changed))
    d_packed = tmp_path / "d.fits.gz"
    d_packed.write_bytes(gzip.compress(d.read_bytes()))
    assert vexlo.diff(c, d_packed).report().splitlines()[4:] == [
        "HDU 0:",
        "  data differences (1 total):",
        "    [4321]: a=4321 b=-7",
    ]


def test_compressed_images_compare_as_images(tmp_path):
    gzip1 = DATA / "i16_gzip1.fz"
    gzip2 = DATA / "i16_gzip2.fz"
    assert vexlo.diff(gzip1, gzip1).identical
    assert isinstance(vexlo.open(gzip1)[1], vexlo.ImageHdu)
    # The same pixels compressed two ways: only the table's own cards differ.
    report = vexlo.diff(gzip1, gzip2).report()
    assert "HDU 1:" in report and "ZCMPTYPE" in report
    assert "data differences" not in report


def hdu_layout(raw, index):
    """(start of the data section, its header cards as a dict) of HDU `index`, read by hand."""
    at = 0
    for k in range(index + 1):
        cards = {}
        while True:
            block = raw[at : at + 2880]
            at += 2880
            texts = [block[i : i + 80].decode("ascii") for i in range(0, 2880, 80)]
            for text in texts:
                if "=" in text[8:10]:
                    cards[text[:8].strip()] = text[10:].split("/")[0].strip()
            if any(t.startswith("END ") for t in texts):
                break
        if k == index:
            return at, cards
        naxes = [int(cards[f"NAXIS{j}"]) for j in range(1, int(cards["NAXIS"]) + 1)]
        size = abs(int(cards["BITPIX"])) // 8 * int(cards.get("PCOUNT", 0))
        if naxes:
            size += abs(int(cards["BITPIX"])) // 8 * int(np.prod(naxes))
        at += -(-size // 2880) * 2880


def test_undecodable_compressed_image_is_compared_as_its_table(tmp_path):
    good = DATA / "i16_gzip1.fz"
    raw = bytearray(good.read_bytes())
    start, cards = hdu_layout(raw, 1)
    heap = start + int(cards.get("THEAP", int(cards["NAXIS1"]) * int(cards["NAXIS2"])))
    raw[heap : heap + 2] = b"\0\0"  # the first tile no longer starts a gzip stream
    broken = tmp_path / "broken.fz"
    broken.write_bytes(bytes(raw))
    result = vexlo.diff(good, broken)
    assert not result.identical
    assert result.diff_hdu_indices() == [1]
    lines = result.report().splitlines()
    assert lines[5] == "  data differences (1 total):"
    assert lines[6].startswith("    COMPRESSED_DATA[0]: a=[31, 139, ")
    assert " b=[0, 0, " in lines[6]


def test_result_outlives_its_files(pair):
    a, b = pair
    result = vexlo.diff(a, b)
    text = result.report()
    a.unlink()
    b.unlink()
    assert result.report() == text and not result.identical


def test_paths_may_be_path_like(pair):
    a, b = pair

    class Custom:
        def __fspath__(self):
            return str(a)

    assert vexlo.diff(Custom(), str(a)).identical
    assert vexlo.diff(a=str(b), b=b).identical


def test_bad_files_raise_fits_error_naming_the_file(tmp_path, pair):
    a, _ = pair
    missing = tmp_path / "missing.fits"
    with pytest.raises(vexlo.FitsError) as info:
        vexlo.diff(a, missing)
    assert str(info.value).startswith("i/o error: ")
    assert str(missing) in str(info.value)

    not_fits = tmp_path / "text.fits"
    not_fits.write_bytes(b"hello" * 1000)
    with pytest.raises(vexlo.FitsError, match="text.fits"):
        vexlo.diff(not_fits, a)

    # HDU 0 compares cleanly, HDU 1 of the second file cannot be loaded: no partial result.
    raw = bytearray(a.read_bytes())
    at = raw.index(b"TFORM1  = '")
    raw[at + 11 : at + 13] = b"1Z"
    broken = tmp_path / "broken.fits"
    broken.write_bytes(bytes(raw))
    with pytest.raises(vexlo.FitsError, match="broken.fits"):
        vexlo.diff(a, broken)


@pytest.mark.parametrize(
    "kwargs, exc, text",
    [
        ({"a": 1}, TypeError, "argument 'a': "),
        ({"b": b"x.fits"}, TypeError, "argument 'b': "),
        ({"rtol": "x"}, TypeError, "argument 'rtol': "),
        ({"atol": None}, TypeError, "argument 'atol': "),
        ({"max_diffs": 1.5}, TypeError, "argument 'max_diffs': "),
        ({"ignore_keywords": "DATE"}, TypeError, "argument 'ignore_keywords': "),
        ({"ignore_keywords": 5}, TypeError, "argument 'ignore_keywords': "),
        ({"ignore_keywords": ["DATE", 1]}, TypeError, "argument 'ignore_keywords': "),
        ({"max_diffs": -1}, OverflowError, ""),
    ],
)
def test_argument_errors_come_before_any_file_is_opened(tmp_path, kwargs, exc, text):
    # Neither path exists, so reaching the files would raise FitsError instead.
    args = {"a": tmp_path / "none-a.fits", "b": tmp_path / "none-b.fits", **kwargs}
    with pytest.raises(exc) as info:
        vexlo.diff(**args)
    assert type(info.value) is exc
    assert str(info.value).startswith(text)


def test_calling_conventions(pair):
    a, b = pair
    with pytest.raises(TypeError, match=r"diff\(\) takes 2 positional arguments but 3 were given"):
        vexlo.diff(a, b, 0.1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'tolerance'"):
        vexlo.diff(a, b, tolerance=1)
    with pytest.raises(TypeError):
        vexlo.FitsDiff()
    result = vexlo.diff(a, b)
    with pytest.raises(AttributeError):
        result.identical = True



def raw_image(path, values, dtype, bitpix, bzero=0):
    """A primary image whose physical values are `values`, stored as `dtype` under `bzero`
    (the card is always there: astropy counts ignored cards when it compares card counts)."""
    from fits_bytes import card, header_bytes, padded
    stored = np.array([v - bzero for v in values], dtype)
    cards = [card("SIMPLE", True), card("BITPIX", bitpix), card("NAXIS", 1),
             card("NAXIS1", stored.size), card("BZERO", bzero)]
    path.write_bytes(header_bytes(cards) + padded(stored.tobytes()))
    return path


I8, F8 = (">i8", 64), (">f8", -64)
# (name, a's values, encoding and BZERO, b's values and encoding, rtol, atol)
TOLERANCE_CASES = [
    ("rtol of b", [100], I8, 0, [110], I8, 0.095, 0.0),
    ("rtol of b, not of a", [110], I8, 0, [100], I8, 0.095, 0.0),
    ("rtol of b in doubles", [100.0], F8, 0, [110.0], F8, 0.095, 0.0),
    ("opposite signs beyond atol", [-3], I8, 0, [4], I8, 0.0, 2.0),
    ("opposite signs within atol", [-3], I8, 0, [4], I8, 0.0, 7.0),
    ("opposite signs past 2^53", [-(2**60)], I8, 0, [2**60], I8, 0.0, 2.0**60),
    ("int64 against float64", [1, -2, 2**52 + 1, 0], I8, 0, [1.0, -2.0, 2.0**52 + 1, 0.0], F8,
     0.0, 0.0),
    ("int64 against other float64", [1, -2, 5], I8, 0, [1.0, -2.0, 6.0], F8, 0.0, 0.0),
    ("int64 with BZERO against plain", [0, 7, 100], I8, 7, [0, 7, 100], I8, 0.0, 0.0),
    ("int64 with BZERO against other", [0, 7, 100], I8, 7, [0, 7, 101], I8, 0.0, 0.0),
    ("int64 with BZERO 2^62", [2**62, 2**62 + 5], I8, 2**62, [2**62, 2**62 + 5], I8, 0.0, 0.0),
]


@pytest.mark.parametrize("a_values, a_enc, a_bzero, b_values, b_enc, rtol, atol",
                         [c[1:] for c in TOLERANCE_CASES], ids=[c[0] for c in TOLERANCE_CASES])
def test_pixel_tolerances_and_kinds_agree_with_astropy(tmp_path, a_values, a_enc, a_bzero,
                                                       b_values, b_enc, rtol, atol):
    # Pixels compare by physical value whatever their type or scaling; the cards that say how
    # they are stored are left out so that only the data decides.
    a = raw_image(tmp_path / "a.fits", a_values, *a_enc, bzero=a_bzero)
    b = raw_image(tmp_path / "b.fits", b_values, *b_enc)
    ignored = ["BITPIX", "BZERO"]
    got = vexlo.diff(a, b, rtol=rtol, atol=atol, ignore_keywords=ignored).identical
    fits = pytest.importorskip("astropy.io.fits")
    if rtol or atol:
        # astropy applies tolerances only where both sides are floating point, so it judges
        # the same values held as doubles.
        a = raw_image(tmp_path / "a64.fits", a_values, *F8)
        b = raw_image(tmp_path / "b64.fits", b_values, *F8)
    want = fits.FITSDiff(str(a), str(b), rtol=rtol, atol=atol, ignore_keywords=ignored).identical
    assert got is want

"""vexlo._ImageSection reads: regions read from disk for unscaled pixels not read yet, the
full array otherwise, key parsing, errors and the repr."""

import os
import subprocess
import sys

import numpy as np
import pytest

import vexlo
from fits_bytes import card, header_bytes, padded, primary_hdu
from fits_images import image_file, stored

IMAGE = np.arange(200 * 100, dtype=np.int32).reshape(200, 100)
CUBE = np.arange(4 * 5 * 6, dtype=np.float64).reshape(4, 5, 6) - 50.5


def open_image(tmp_path, data=IMAGE, dtype="i4", cards=()):
    return vexlo.open(image_file(tmp_path / "img.fits", stored(data, dtype), cards=cards))[0]


def is_lazy(hdu):
    return repr(hdu.section).endswith(", lazy)")


def test_region_read_leaves_the_cache_empty(tmp_path):
    hdu = open_image(tmp_path)
    part = hdu.section[10:20, 5]
    assert type(part) is np.ndarray
    assert part.shape == (10,)
    np.testing.assert_array_equal(part, IMAGE[10:20, 5])
    assert part.flags.writeable  # independent of the read-only file
    assert part.dtype == np.int32
    assert is_lazy(hdu)
    data = hdu.data
    np.testing.assert_array_equal(data, IMAGE)
    assert not is_lazy(hdu)


def test_bool_items_are_integers(tmp_path):
    # Unlike NumPy, which reads a bool as a mask, a region key takes True as index 1.
    hdu = open_image(tmp_path, CUBE, "f8")
    np.testing.assert_array_equal(hdu.section[True, False], CUBE[1, 0])
    assert is_lazy(hdu)


def test_point_keys_before_and_after_loading(tmp_path):
    hdu = open_image(tmp_path)
    point = hdu.section[3, 4]
    assert type(point) is np.ndarray and point.ndim == 0 and point == IMAGE[3, 4]
    hdu.data
    scalar = hdu.section[3, 4]
    assert isinstance(scalar, np.generic) and scalar == IMAGE[3, 4]


# Keys that are read by range; each must give exactly what NumPy gives on the full array.
RANGED_KEYS = [
    (1,),
    (-1,),
    (np.int16(2), 3),
    (slice(1, 3),),
    (slice(-3, None), slice(2, 4), 5),
    (slice(None), 0, slice(1, 6)),
    (slice(2, 2),),
    (slice(10, 20), slice(-100, 100)),
    (0, 0, 0),
    (3, 4, -1),
    (slice(None, None, 1), 2),
]


@pytest.mark.parametrize("key", RANGED_KEYS)
def test_ranged_reads_match_numpy(tmp_path, key):
    hdu = open_image(tmp_path, CUBE, "f8")
    got = hdu.section[key if len(key) > 1 else key[0]]
    want = CUBE[key if len(key) > 1 else key[0]]
    assert type(got) is np.ndarray
    assert got.shape == np.shape(want)
    np.testing.assert_array_equal(got, want)
    assert is_lazy(hdu)


# Keys that need the full array: loaded into the shared cache, then indexed by NumPy.
FULL_KEYS = [
    slice(5, 2),
    slice(None, None, 2),
    slice(None, None, -1),
    Ellipsis,
    [1, 2],
    (None, 1),
    np.array([0, 3]),
    (1, Ellipsis),
]


@pytest.mark.parametrize("key", FULL_KEYS, ids=repr)
def test_other_keys_load_the_whole_image(tmp_path, key):
    hdu = open_image(tmp_path, CUBE, "f8")
    got = hdu.section[key]
    np.testing.assert_array_equal(got, CUBE[key])
    assert not is_lazy(hdu)
    data = hdu.data
    assert data.flags.writeable is False
    np.testing.assert_array_equal(data, CUBE)


def test_section_shares_the_loaded_array(tmp_path):
    hdu = open_image(tmp_path)
    section = hdu.section
    section[...]
    assert repr(section) == "_ImageSection(shape=[200, 100])"
    assert hdu.section[...].base is hdu.data


@pytest.mark.parametrize(
    "key, text",
    [
        (-201, "section: axis 0 index -201 out of bounds (len 200)"),
        (200, "section: axis 0 index 200 out of bounds (len 200)"),
        ((0, 100), "section: axis 1 index 100 out of bounds (len 100)"),
        ((slice(None), -101), "section: axis 1 index -101 out of bounds (len 100)"),
    ],
)
def test_index_out_of_bounds(tmp_path, key, text):
    hdu = open_image(tmp_path)
    with pytest.raises(IndexError) as info:
        hdu.section[key]
    assert info.value.args == (text,)
    assert is_lazy(hdu)
    assert hdu.section[-1].tolist() == IMAGE[-1].tolist()


def test_slice_errors_pass_through(tmp_path):
    hdu = open_image(tmp_path)
    with pytest.raises(ValueError, match="slice step cannot be zero"):
        hdu.section[::0]
    with pytest.raises(TypeError):
        hdu.section["a":"b"]


def test_too_many_items_go_to_numpy(tmp_path):
    hdu = open_image(tmp_path)
    with pytest.raises(IndexError):
        hdu.section[1, 2, 3]
    assert not is_lazy(hdu)  # the full array stays cached although NumPy refused the key


@pytest.mark.parametrize(
    "cards, dtype",
    [
        ([card("BZERO", 32768)], np.uint16),
        ([card("BSCALE", 2)], np.float32),
        ([card("BLANK", 3)], np.float32),
    ],
)
def test_scaled_images_read_only_the_range(tmp_path, cards, dtype):
    # Converted exactly as the whole image is, without loading it; as read-only as its array.
    hdu = open_image(tmp_path, np.arange(12).reshape(3, 4), "i2", cards)
    part = hdu.section[1:2, 0]
    point = hdu.section[2, 3]
    assert part.dtype == dtype and not part.flags.writeable
    assert is_lazy(hdu)
    assert hdu.data.dtype == dtype
    np.testing.assert_array_equal(part, hdu.data[1:2, 0])
    assert type(point) is type(hdu.data[2, 3]) and point == hdu.data[2, 3]


def test_zero_bzero_and_unit_bscale_stay_ranged(tmp_path):
    hdu = open_image(tmp_path, cards=[card("BZERO", 0.0), card("BSCALE", 1)])
    np.testing.assert_array_equal(hdu.section[5], IMAGE[5])
    assert is_lazy(hdu)


@pytest.mark.parametrize("axes", [[], [0, 3], [5, 0]])
def test_no_data(tmp_path, axes):
    hdu = vexlo.open(image_file(tmp_path / "e.fits", axes=axes, bitpix=16))[0]
    section = hdu.section
    assert repr(section) == "_ImageSection(<no data>)"
    for key in (0, slice(None), Ellipsis):
        with pytest.raises(ValueError) as info:
            section[key]
        assert info.value.args == ("section: HDU has no data section (NAXIS == 0)",)


def test_repr(tmp_path):
    hdu = open_image(tmp_path)
    section = hdu.section
    assert repr(section) == "_ImageSection(shape=[200, 100], lazy)"
    hdu.data
    assert repr(section) == "_ImageSection(shape=[200, 100])"


def test_every_read_builds_a_new_section(tmp_path):
    hdu = open_image(tmp_path)
    assert hdu.section is not hdu.section
    assert type(hdu.section).__name__ == "_ImageSection"
    assert vexlo._ImageSection.__doc__.splitlines()[0] == (
        "Slicing proxy returned by :attr:`ImageHdu.section`."
    )
    assert vexlo.ImageHdu.section.__doc__.startswith(
        "Slicing accessor that mirrors :class:`numpy.ndarray`\nindexing."
    )
    with pytest.raises(TypeError):
        vexlo._ImageSection()


def test_section_outlives_the_file(tmp_path):
    f = vexlo.open(image_file(tmp_path / "img.fits", stored(IMAGE, "i4")))
    section = f[0].section
    f.close()
    del f
    np.testing.assert_array_equal(section[199, 90:], IMAGE[199, 90:])


@pytest.mark.parametrize("dtype", ["u1", "i2", "i4", "i8", "f4", "f8"])
def test_region_dtypes(tmp_path, dtype):
    values = (np.arange(60).reshape(3, 4, 5) % 100).astype(dtype)
    hdu = open_image(tmp_path, values, dtype)
    part = hdu.section[1:, 2, 1:4]
    assert part.dtype == np.dtype(dtype)
    np.testing.assert_array_equal(part, values[1:, 2, 1:4])


# --- Sections made before an assignment to ImageHdu.data -----------------------------------------


@pytest.mark.parametrize("key", [5, slice(None, None, 2), (slice(1, 3), 4)], ids=repr)
def test_earlier_section_stops_reading_the_file_after_data_none(tmp_path, key):
    hdu = open_image(tmp_path)
    section = hdu.section
    hdu.data = None
    # The file's pixels are no longer the image's: neither read by range nor brought back
    # into the shared cache.
    # The error and the repr both say what happened.
    with pytest.raises(ValueError) as info:
        section[key]
    assert info.value.args == ("section: HDU data was set to None after this section was made",)
    assert repr(section) == "_ImageSection(<data set to None>)"
    assert hdu.data is None
    assert hdu.axes == []


def test_earlier_section_follows_an_assigned_array_then_none(tmp_path):
    hdu = open_image(tmp_path)
    section = hdu.section
    new = np.full((200, 100), 7, dtype=np.int16)
    hdu.data = new
    assert section[3, 4] == 7
    assert section[...].base is new
    assert repr(section) == "_ImageSection(shape=[200, 100])"
    hdu.data = None
    with pytest.raises(ValueError, match="set to None"):
        section[3, 4]
    assert repr(section) == "_ImageSection(<data set to None>)"
    assert hdu.data is None


def test_full_load_of_unscaled_pixels_matches_data(tmp_path):
    hdu = open_image(tmp_path, CUBE, "f8")
    part = hdu.section[::-1]
    data = hdu.data
    assert data.dtype == np.float64 and data.flags.writeable is False
    np.testing.assert_array_equal(part, CUBE[::-1])
    np.testing.assert_array_equal(data, CUBE)


def test_section_of_an_image_without_pixels_keeps_its_axes(tmp_path):
    hdu = vexlo.open(image_file(tmp_path / "e.fits", axes=[], bitpix=16))[0]
    before = hdu.section
    hdu.data = np.arange(6, dtype=np.int16).reshape(2, 3)
    with pytest.raises(ValueError, match="no data section"):
        before[0]
    assert repr(before) == "_ImageSection(<no data>)"
    assert hdu.section[1, 2] == 5


# ---- files that claim more than NumPy or the memory can hold ----

STEP_KEYS = [
    slice(None, None, 2**63),
    slice(None, None, 10**20),
    slice(None, None, -10**20),
    slice(-(10**20), 10**20, -(2**63)),
    (slice(3, None, 10**20), slice(None, None, -(2**64))),
]


@pytest.mark.parametrize("key", STEP_KEYS, ids=range(len(STEP_KEYS)))
def test_huge_steps_normalise_like_numpy(tmp_path, key):
    hdu = open_image(tmp_path)
    np.testing.assert_array_equal(hdu.section[key], IMAGE[key])


def test_more_axes_than_numpy_allows_is_a_fits_error(tmp_path):
    cards = [card("SIMPLE", True), card("BITPIX", 8), card("NAXIS", 70)]
    cards += [card(f"NAXIS{i}", 1) for i in range(1, 71)]
    path = tmp_path / "n70.fits"
    path.write_bytes(header_bytes(cards) + padded(b"\x05"))
    reads = [(lambda h: h.data, 70), (lambda h: h.section[...], 70), (lambda h: h.section[0], 69)]
    for read, n in reads:
        with pytest.raises(vexlo.FitsError) as e:
            read(vexlo.open(path)[0])
        assert str(e.value).startswith(f"data: NumPy cannot hold an array of {n} axes: ")
        assert "64" in str(e.value)


def test_sections_of_an_empty_group_allocate_nothing(tmp_path):
    # GCOUNT = 0 leaves no data behind a header that claims 86 x 2**32 bytes.
    ext = [card("XTENSION", "IMAGE"), card("BITPIX", 8), card("NAXIS", 2),
           card("NAXIS1", 2**32), card("NAXIS2", 86), card("PCOUNT", 0), card("GCOUNT", 0)]
    path = tmp_path / "g0.fits"
    path.write_bytes(primary_hdu() + header_bytes(ext))
    hdu = vexlo.open(path)[1]
    for key in [(0, slice(0, 4)), (slice(None), slice(None)), ..., 5]:
        with pytest.raises(vexlo.FitsError, match="^data: .*data section"):
            hdu.section[key]


SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

CHILD_READ = """
import resource, sys
import vexlo
resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
f = vexlo.open(sys.argv[1])
for read in (lambda h: h.data, lambda h: h.section[...], lambda h: h.section[:, 1:]):
    try:
        read(f[0])
    except MemoryError:
        print("MemoryError")
"""


@pytest.mark.skipif(SANITIZED, reason="the address sanitizer reserves more address space than "
                                      "the limit this test sets")
def test_an_allocation_that_fails_is_a_memory_error(tmp_path):
    # A sparse 8 GiB image read under a 2 GiB address-space limit.
    path = tmp_path / "big.fits"
    cards = [card("SIMPLE", True), card("BITPIX", 8), card("NAXIS", 2),
             card("NAXIS1", 2**16), card("NAXIS2", 2**17)]
    with open(path, "wb") as f:
        f.write(header_bytes(cards))
        f.truncate(len(header_bytes(cards)) + 2**33 + 2880)
    r = subprocess.run([sys.executable, "-c", CHILD_READ, str(path)], capture_output=True,
                       text=True, timeout=60,
                       env=dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, sys.path))))
    assert r.returncode == 0 and "PanicException" not in r.stderr, r.stderr
    assert r.stdout.split() == ["MemoryError"] * 3

"""Lookup-table (-TAB) axes resolved from a binary table of the same opened file: worked
numbers, agreement with astropy.wcs where installed, and the table shapes that are refused."""

import warnings

import numpy as np
import pytest

import vexlo
from fits_bytes import BLOCK, Col, bintable_hdu, card, header_bytes, padded


def image_hdu(naxes, cards):
    """A primary 8-bit image of the given shape with these WCS cards."""
    head = [card("SIMPLE", True), card("BITPIX", 8), card("NAXIS", len(naxes))]
    head += [card(f"NAXIS{i + 1}", n) for i, n in enumerate(naxes)]
    head += [card("EXTEND", True)] + [card(k, v) for k, v in cards.items()]
    return header_bytes(head) + padded(bytes(int(np.prod(naxes))))


def write(tmp_path, image, *tables):
    path = tmp_path / "tab.fits"
    path.write_bytes(image + b"".join(tables))
    return path


def one_axis_file(tmp_path, coords=(10.0, 20.0, 30.0), index=None, extra_cols=(), nrows=1,
                  **cards):
    wcs = dict(CTYPE1="WAVE-TAB", CTYPE2="LINEAR", CRPIX1=1.0, CRVAL1=1.0, CDELT1=1.0,
               PS1_0="WCS-TAB", PS1_1="COORDS")
    if index is not None:
        wcs["PS1_2"] = "INDEX"
    wcs.update(cards)
    k = len(coords)
    cols = [Col("COORDS", f"{k}D", np.array([coords] * nrows, ">f8"))]
    if index is not None:
        cols.append(Col("INDEX", f"{len(index)}D", np.array([index] * nrows, ">f8")))
    cols += list(extra_cols)
    return write(tmp_path, image_hdu([4, 2], wcs), bintable_hdu(cols, nrows, extname="WCS-TAB"))


def test_one_axis_worked_numbers(tmp_path):
    f = vexlo.open(str(one_axis_file(tmp_path)))
    for w in (f.wcs(), f[0].wcs()):
        world = w.pixel_to_world(np.array([[0.0, 0.0], [0.5, 0.0], [-0.5, 0.0], [-0.6, 0.0]]))
        assert world[:3, 0].tolist() == [10.0, 15.0, 5.0]
        assert np.isnan(world[3]).all()
        with pytest.raises(vexlo.FitsError) as e:
            w.pixel_to_world([-0.6, 0.0])
        assert str(e.value) == (
            "wcs: -TAB axis 1: intermediate coordinate 0.4 maps to index 0.400000, outside "
            "the permitted 0.5..=3.5 range (Paper III Sec.6.1.2)")
        back = w.world_to_pixel(np.array([[25.0, 0.0], [40.0, 0.0]]))
        assert back[:, 0].tolist() == [1.5, 3.0]
    # The header alone keeps the axis unresolved.
    with pytest.raises(vexlo.FitsError, match="1 unresolved -TAB axis spec"):
        vexlo.Wcs(f[0].header).pixel_to_world([0.0, 0.0])


def test_index_vector_and_descending_coordinates(tmp_path):
    # psi is looked up in the index vector: psi 150 lies half way between entries 2 and 3.
    f = vexlo.open(str(one_axis_file(tmp_path, coords=(9.0, 7.0, 4.0, 0.0),
                                     index=(100.0, 120.0, 180.0, 200.0),
                                     CRVAL1=150.0, CDELT1=10.0)))
    w = f.wcs()
    assert w.pixel_to_world([0.0, 0.0])[0] == pytest.approx(7.0 - 3.0 * 0.5)
    assert w.world_to_pixel([5.5, 0.0])[0] == pytest.approx(0.0)


def two_axis_file(tmp_path, tdim="(2,4,3)", claims=(1, 2), values=None, rows=1):
    # A 4 x 3 grid of (lon, lat) pairs: lon along index axis 1, lat along index axis 2, with
    # a small shear so the two coordinates are not separable.
    grid = np.zeros((3, 4, 2))
    for j in range(3):
        for i in range(4):
            grid[j, i] = (150.0 + 0.1 * i + 0.01 * j, 2.0 + 0.1 * j + 0.02 * i)
    flat = grid.ravel() if values is None else np.asarray(values, float)
    cards = dict(CTYPE1="RA---TAB", CTYPE2="DEC--TAB", CRPIX1=1.0, CRPIX2=1.0, CRVAL1=1.0,
                 CRVAL2=1.0, CDELT1=1.0, CDELT2=1.0, PS1_0="GRID", PS1_1="COORDS",
                 PS2_0="GRID", PS2_1="COORDS", PV1_3=claims[0], PV2_3=claims[1])
    col = Col("COORDS", f"{flat.size}D", np.array([flat] * rows, ">f8"), TDIM=tdim)
    return write(tmp_path, image_hdu([4, 3], cards), bintable_hdu([col], rows, extname="GRID"))


def test_shared_table_round_trip_and_grid_points(tmp_path):
    w = vexlo.open(str(two_axis_file(tmp_path))).wcs()
    assert w.pixel_to_world([2.0, 1.0]) == pytest.approx([150.21, 2.14], abs=1e-12)
    pixels = np.random.default_rng(1).uniform(-0.4, 2.4, (50, 2))
    pixels[:, 0] *= 3.0 / 2.4
    back = w.world_to_pixel(w.pixel_to_world(pixels))
    assert np.abs(back - pixels).max() < 1e-9


def test_tab_agrees_with_astropy(tmp_path):
    astropy_wcs = pytest.importorskip("astropy.wcs")
    astropy_fits = pytest.importorskip("astropy.io.fits")
    for path in (two_axis_file(tmp_path),
                 one_axis_file(tmp_path, coords=(9.0, 7.0, 4.0, 0.0),
                               index=(100.0, 120.0, 180.0, 200.0), CRVAL1=150.0, CDELT1=10.0)):
        with astropy_fits.open(path) as hdul, warnings.catch_warnings():
            warnings.simplefilter("ignore")
            peer = astropy_wcs.WCS(hdul[0].header, fobj=hdul)
            ours = vexlo.open(str(path)).wcs()
            pixels = np.random.default_rng(2).uniform(0.0, 2.0, (40, 2))
            theirs = peer.all_pix2world(pixels, 0)
            assert np.abs(ours.pixel_to_world(pixels) - theirs).max() < 1e-10
            assert np.abs(ours.world_to_pixel(theirs) - pixels).max() < 1e-8


def test_replaced_table_is_used_after_a_flush(tmp_path):
    # The image is looked up (and its description read) before the table is replaced: after
    # the rewrite it must look the table up in the file as it now stands.
    path = one_axis_file(tmp_path)
    (tmp_path / "new").mkdir()
    replacement = vexlo.open(str(one_axis_file(tmp_path / "new", coords=(100.0, 200.0, 300.0))))
    f = vexlo.open(str(path), mode="update")
    assert f[0].wcs().pixel_to_world([0.0, 0.0])[0] == 10.0
    del f[1]
    f.append(replacement[1])
    f.flush()
    for w in (f[0].wcs(), f.wcs(0), vexlo.open(str(path)).wcs()):
        assert w.pixel_to_world([1.0, 0.0])[0] == 200.0
    f.close()
    astropy_wcs = pytest.importorskip("astropy.wcs")
    astropy_fits = pytest.importorskip("astropy.io.fits")
    with astropy_fits.open(path) as hdul, warnings.catch_warnings():
        hdul.verify("exception")
        warnings.simplefilter("ignore")
        peer = astropy_wcs.WCS(hdul[0].header, fobj=hdul)
        assert peer.all_pix2world([[1.0, 0.0]], 0)[0][0] == pytest.approx(200.0)
    fitsio = pytest.importorskip("fitsio")
    assert fitsio.read(str(path), ext="WCS-TAB")["COORDS"].tolist() == [[100.0, 200.0, 300.0]]


@pytest.mark.parametrize("kwargs, message", [
    # The declared shape must describe exactly the cell's values.
    (dict(tdim="(2,4,4)"), "-TAB: coordinate array has 24 elements, but TDIM implies 32 "
                           "(2 x [4, 4])"),
    (dict(tdim="(2,4,3)", values=np.arange(20.0)), "elements, but TDIM implies 24"),
    (dict(tdim="(2,4000000000,4000000000,4000000000)"), "describes 3 axes, but 2 WCS axes"),
    (dict(claims=(1, 1)), "-TAB: axes 1 and 2 both claim coordinate-array axis 1"),
    (dict(claims=(1, 3)), "-TAB axis 2: PV2_3 = 3 is outside 1..=2"),
    (dict(tdim="(2,1,4)", values=np.arange(8.0)), "-TAB: index axis 1 has K = 1; Sec.6.1.1 "
                                                  "forbids degenerate axes"),
    (dict(rows=2), "-TAB: BINTABLE `GRID` has 2 rows; Sec.6.2 requires exactly one"),
])
def test_tables_that_do_not_fit_are_refused(tmp_path, kwargs, message):
    f = vexlo.open(str(two_axis_file(tmp_path, **kwargs)))
    for call in (f.wcs, f[0].wcs):
        with pytest.raises(vexlo.FitsError) as e:
            call()
        assert str(e.value).startswith("wcs: ")
        assert message in str(e.value)


def test_size_products_that_overflow_are_refused(tmp_path):
    # 3 x 2^32 x 2^32 overflows 64 bits; the refusal names the cell's real count.
    cards = dict(CTYPE1="XXXX-TAB", CTYPE2="YYYY-TAB", CTYPE3="ZZZZ-TAB", PS1_0="T", PS1_1="C",
                 PS2_0="T", PS2_1="C", PS3_0="T", PS3_1="C", PV2_3=2, PV3_3=3)
    col = Col("C", "6D", np.zeros((1, 6), ">f8"), TDIM="(3,4294967296,4294967296,2)")
    path = write(tmp_path, image_hdu([2, 2, 2], cards), bintable_hdu([col], 1, extname="T"))
    with pytest.raises(vexlo.FitsError, match="coordinate array has 6 elements, but TDIM implies "
                                              "more than 2\\^64"):
        vexlo.open(str(path)).wcs()


def test_unsupported_column_and_missing_table(tmp_path):
    logical = Col("FLAGS", "3L", np.array([[b"T", b"F", b"T"]]))
    f = vexlo.open(str(one_axis_file(tmp_path, extra_cols=[logical], PS1_1="FLAGS")))
    with pytest.raises(vexlo.FitsError, match="-TAB axis 1: column `FLAGS` has unsupported type "
                                              "Logical"):
        f.wcs()
    g = vexlo.open(str(one_axis_file(tmp_path, PS1_0="NOPE")))
    with pytest.raises(vexlo.FitsError, match="NOPE"):
        g.wcs()


def test_a_null_in_the_coordinate_array_leaves_its_neighbours_grid_values(tmp_path):
    # (10, NULL, 30, 40, 50): each grid index takes its own value; only the two cells that
    # touch the null have none.
    wcs = dict(CTYPE1="WAVE-TAB", CTYPE2="LINEAR", CRPIX1=1.0, CRVAL1=1.0, CDELT1=1.0,
               PS1_0="WCS-TAB", PS1_1="COORDS")
    coords = Col("COORDS", "5J", np.array([[10, -99, 30, 40, 50]], ">i4"), TNULL=-99)
    path = write(tmp_path, image_hdu([4, 2], wcs), bintable_hdu([coords], 1, extname="WCS-TAB"))
    w = vexlo.open(str(path)).wcs()
    pixels = np.array([[0.0, 0.0], [0.5, 0.0], [1.0, 0.0], [1.5, 0.0], [2.0, 0.0], [2.5, 0.0],
                       [4.0, 0.0]])
    world = w.pixel_to_world(pixels)[:, 0]
    np.testing.assert_array_equal(world, [10.0, np.nan, np.nan, np.nan, 30.0, 35.0, 50.0])
    assert w.pixel_to_world([0.0, 0.0])[0] == 10.0

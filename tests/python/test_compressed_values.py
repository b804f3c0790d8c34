"""Tile-compressed images give the values an ordinary image of the same header gives (unsigned
and signed-byte offsets, user scaling, BLANK), written back with their stored pixel type and
scaling; and files other writers make that we used to show as tables."""

import numpy as np
import pytest

import vexlo
from array_samples import DTYPES, sample_array

def sample(dtype, shape=(9, 13)):
    return sample_array(dtype, shape, seed=22)


def read_all_ways(path, index):
    """`data`, a `section` of everything, and `getdata`."""
    with vexlo.open(str(path)) as f:
        hdu = f[index]
        assert type(hdu) is vexlo.ImageHdu
        data = hdu.data
        section = hdu.section[...]
    return data, section, vexlo.getdata(str(path), index)


@pytest.mark.parametrize("dtype", DTYPES)
def test_every_dtype_reads_back_as_the_plain_image_does(tmp_path, dtype):
    a = sample(dtype)
    vexlo.write(str(tmp_path / "c.fits"), [vexlo.compressed_image(a)])
    vexlo.write(str(tmp_path / "p.fits"), [vexlo.image(a)])
    plain = vexlo.getdata(str(tmp_path / "p.fits"), 0)
    for got in read_all_ways(tmp_path / "c.fits", 1):
        assert got.dtype == plain.dtype
        assert np.array_equal(got, plain, equal_nan=True)
        assert np.array_equal(got, a, equal_nan=True)
        if dtype != "bool":
            assert got.dtype == a.dtype


def peer_files(tmp_path):
    """(name, path) of tile-compressed files written by astropy and fitsio, each with a header
    whose values differ from its stored integers."""
    out = []
    fits = pytest.importorskip("astropy.io.fits")
    for dtype in ("uint16", "int8", "uint32"):
        p = tmp_path / f"astropy_{dtype}.fits"
        fits.HDUList([fits.PrimaryHDU(), fits.CompImageHDU(sample(dtype))]).writeto(p)
        out.append((p.name, p))
    fitsio = pytest.importorskip("fitsio")
    for dtype in ("uint16", "int8", "uint32"):
        p = tmp_path / f"fitsio_{dtype}.fits"
        fitsio.write(str(p), sample(dtype), compress="GZIP")
        out.append((p.name, p))
    # fitsio writes the integers as given and the scaling cards after them: the file means
    # 10 + 2 * stored, with BLANK marking undefined pixels.
    stored = sample("int16")
    stored[1, 1] = -999
    scaling = [{"name": "BSCALE", "value": 2.0}, {"name": "BZERO", "value": 10.0}]
    for name, cards in (("scaled", scaling),
                        ("blank", scaling + [{"name": "BLANK", "value": -999}]),
                        ("blank_only", [{"name": "BLANK", "value": -999}])):
        p = tmp_path / f"fitsio_{name}.fits"
        fitsio.write(str(p), stored, compress="RICE", header=cards)
        out.append((p.name, p))
    return out


def test_peer_written_files_give_astropys_values(tmp_path):
    fits = pytest.importorskip("astropy.io.fits")
    for name, path in peer_files(tmp_path):
        with fits.open(path) as f:
            want = np.asarray(f[1].data)
        for got in read_all_ways(path, 1):
            assert got.dtype == want.dtype, name
            assert np.array_equal(got, want, equal_nan=True), name


def test_written_back_with_stored_type_and_scaling(tmp_path):
    fits = pytest.importorskip("astropy.io.fits")
    fitsio = pytest.importorskip("fitsio")
    for name, path in peer_files(tmp_path):
        with fits.open(path) as f:
            # Cards first: astropy drops some scaling cards once it has scaled the data.
            stored_cards = {k: f[1].header.get(k) for k in ("BITPIX", "BZERO", "BSCALE", "BLANK")}
            want = np.asarray(f[1].data)
        for n, route in enumerate(("untouched", "data read")):
            out = tmp_path / f"{n}_{name}"
            with vexlo.open(str(path)) as f:
                if route == "data read":
                    assert f[1].data is not None
                f.writeto(str(out))
            with fits.open(out) as f:
                f.verify("exception")
                hdu = f[1]
                got_cards = {k: hdu.header.get(k) for k in stored_cards}
                assert stored_cards["BZERO"] is not None or stored_cards["BLANK"] is not None
                assert got_cards == stored_cards, (name, route)
                assert np.array_equal(np.asarray(hdu.data), want, equal_nan=True), name
            # fitsio leaves BLANK pixels as their scaled integers, so it is compared with itself.
            assert np.array_equal(fitsio.read(str(out), ext=1), fitsio.read(str(path), ext=1))
            got = vexlo.getdata(str(out), 1)
            assert got.dtype == want.dtype and np.array_equal(got, want, equal_nan=True), name


def test_changed_pixels_of_a_scaled_image_are_written(tmp_path):
    fitsio = pytest.importorskip("fitsio")
    fits = pytest.importorskip("astropy.io.fits")
    path = tmp_path / "s.fits"
    fitsio.write(str(path), np.array([[1, 2], [3, 4]], np.int16), compress="GZIP",
                 header=[{"name": "BSCALE", "value": 2.0}, {"name": "BZERO", "value": 10.0}])
    out = tmp_path / "out.fits"
    with vexlo.open(str(path)) as f:
        data = f[1].data.copy()
        data[0, 0] = 0.25
        f[1].data = data
        f.writeto(str(out))
    with fits.open(out) as f:
        f.verify("exception")
        assert np.array_equal(f[1].data, [[0.25, 14], [16, 18]])
    assert np.array_equal(vexlo.getdata(str(out), 1), [[0.25, 14], [16, 18]])


def test_lossless_float_tiles_without_quantisation_cards(tmp_path):
    fits = pytest.importorskip("astropy.io.fits")
    a = sample("float32", (20, 30))
    path = tmp_path / "f.fits"
    # NOISEBIT = 0: no ZQUANTIZ and no ZSCALE/ZZERO; the tiles hold the floats themselves.
    fits.HDUList([fits.PrimaryHDU(),
                  fits.CompImageHDU(a, compression_type="GZIP_1", quantize_level=0)]).writeto(path)
    for got in read_all_ways(path, 1):
        assert got.dtype == np.float32
        assert np.array_equal(got.view(np.uint32), a.view(np.uint32))


def test_hcompress_cube_with_plane_tiles(tmp_path):
    fitsio = pytest.importorskip("fitsio")
    rng = np.random.default_rng(3)
    # A ramp with little noise: fitsio aborts writing HCOMPRESS tiles of plain noise.
    a = (np.arange(1200).reshape(2, 20, 30) + rng.integers(-20, 20, (2, 20, 30))).astype(np.int16)
    for tiles in ([1, 10, 10], [1, 5, 30]):
        path = tmp_path / f"h{tiles[0]}.fits"
        fitsio.write(str(path), a, compress="HCOMPRESS", tile_dims=tiles)
        want = fitsio.read(str(path), ext=1)
        assert np.array_equal(want, a)
        for got in read_all_ways(path, 1):
            assert got.dtype == np.int16 and np.array_equal(got, a)


def test_tile_entry_beyond_a_header_integer_is_refused_before_encoding(tmp_path):
    a = np.zeros((3, 4), np.int16)
    for tile_shape in ([2, 2**63], [2**64 - 1, 1]):
        with pytest.raises(ValueError, match="tile_shape"):
            vexlo.compressed_image(a, tile_shape=tile_shape)
    # The largest entry a card holds is accepted and reads back.
    path = tmp_path / "c.fits"
    vexlo.write(str(path), [vexlo.compressed_image(a + 7, tile_shape=[2**63 - 1, 1])])
    assert np.array_equal(vexlo.getdata(str(path), 1), a + 7)


@pytest.mark.parametrize("dtype, top", [("uint8", 255), ("int16", 32767), ("int32", 2**24 - 1)])
def test_plio_tiles_from_astropy_reach_the_top_value(tmp_path, dtype, top):
    # The largest value the pixel type or the codec holds, at a tile's first and last pixel
    # and inside a run.
    a = (np.arange(16 * 20) * 37 % (top + 1)).astype(dtype).reshape(16, 20)
    a[0, 0] = a[3, 19] = top
    a[5, 2:9] = top
    a[15, 19] = 0
    fits = pytest.importorskip("astropy.io.fits")
    p = tmp_path / "plio.fits"
    fits.HDUList([fits.PrimaryHDU(),
                  fits.CompImageHDU(a, compression_type="PLIO_1", tile_shape=(4, 20))]).writeto(p)
    for got in read_all_ways(p, 1):
        assert got.dtype == a.dtype
        np.testing.assert_array_equal(got, a)
    with fits.open(p) as f:
        np.testing.assert_array_equal(f[1].data, a)
    fitsio = pytest.importorskip("fitsio")
    np.testing.assert_array_equal(fitsio.read(str(p), ext=1), a)

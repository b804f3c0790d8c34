"""What a binary table's lookup reads. A table none of whose cells can fail to decode (numbers,
bits, complex pairs) is looked up from its header alone; a row reads that row, a column the
data section once; a table with a column that can fail still reads and checks it at lookup.
Whatever is read later gives the values, the errors and the written files an eager read gave."""

import gzip

import fitsio
import numpy as np
import pytest
from astropy.io import fits

import vexlo
from fits_bytes import (Col, bintable_hdu, card, header_bytes, padded, primary_hdu,
                        write_file)
from fits_read import read
from hooks import T, needs_hooks, split_passes  # noqa: F401  (a fixture)
from rewrites import edit_in_update_mode, set_keyword, writeto_after_lookup

ROWS = 40


def be(values, dtype):
    return np.asarray(values, dtype=np.dtype(dtype).newbyteorder(">"))


def numeric_cols():
    r = np.random.default_rng(5)
    ints = r.integers(-30000, 30000, ROWS)
    return [
        Col("D", "D", be(r.standard_normal(ROWS), "f8")),
        Col("E", "E", be(r.standard_normal(ROWS), "f4")),
        Col("ES", "E", be(r.standard_normal(ROWS), "f4"), tscal=0.1, tzero=3.0),
        Col("K", "K", be(r.integers(-(2**62), 2**62, ROWS), "i8")),
        # Integer TZERO, scale 1: the exact sum, a scaled column all the same.
        Col("KZ", "K", be(r.integers(-(2**62), 2**62, ROWS), "i8"), tzero=12345),
        Col("J", "J", be(np.where(np.arange(ROWS) % 7 == 3, -1, ints), "i4"), tnull=-1),
        Col("I", "I", be(ints, "i2")),
        Col("IS", "I", be(ints, "i2"), tscal=0.5, tzero=-2.0, tnull=int(ints[2])),
        Col("UI", "I", be(ints, "i2"), tzero=32768),
        Col("B", "B", be(r.integers(0, 256, ROWS), "u1")),
        Col("SB", "B", be(r.integers(0, 256, ROWS), "u1"), tzero=-128),
        Col("V", "3J", be(r.integers(-9, 9, (ROWS, 3)), "i4")),
        Col("C", "C", be(r.standard_normal((ROWS, 2)), "f4")),
        Col("M", "M", be(r.standard_normal((ROWS, 2)), "f8")),
        Col("X", "5X", be(r.integers(0, 256, ROWS), "u1")),
    ]


def row_size(cols):
    return sum(c.values.dtype.itemsize * int(np.prod(c.values.shape[1:])) for c in cols)


@pytest.fixture
def numeric(tmp_path):
    return write_file(tmp_path / "numeric.fits", bintable_hdu(numeric_cols(), ROWS))


def same(a, b):
    """Equal values, bit for bit for floats (NaN included), masks alike."""
    a, b = np.ma.getdata(a), np.ma.getdata(b)
    if isinstance(a, np.ndarray) and a.dtype.kind == "f":
        return a.dtype == np.asarray(b).dtype and np.array_equal(a.view("u8" if a.itemsize == 8
                                                                        else "u4"),
                                                                 np.asarray(b).view(
                                                                     "u8" if a.itemsize == 8
                                                                     else "u4"))
    return np.array_equal(np.asarray(a), np.asarray(b))


def row_values_equal(x, y):
    if isinstance(x, float):
        return isinstance(y, float) and (x == y or (np.isnan(x) and np.isnan(y)))
    if isinstance(x, (np.ndarray, np.ma.MaskedArray)):
        return (type(x) is type(y) and same(x, y)
                and np.array_equal(np.ma.getmaskarray(x), np.ma.getmaskarray(y)))
    return x == y and type(x) is type(y)


def eager_copy(path, tmp_path):
    """The same table with a sound L column appended: looked up by the checked, eager path."""
    cols = numeric_cols() + [Col("L", "L", np.frombuffer(b"TF" * (ROWS // 2), "u1"))]
    return write_file(tmp_path / "eager.fits", bintable_hdu(cols, ROWS))


@needs_hooks
def test_lookup_of_a_table_that_cannot_fail_reads_none_of_its_data(numeric):
    f = vexlo.open(str(numeric))
    before = T.file_bytes_read()
    t = f[1]
    assert T.file_bytes_read() == before
    assert t.n_rows == ROWS and "D" in t.column_names
    assert repr(t).startswith("BinTable(")
    before = T.file_bytes_read()
    t.row(5)
    assert T.file_bytes_read() - before == row_size(numeric_cols())
    # A scalar column reads the rows, a block at a time, and holds none of them.
    data = ROWS * row_size(numeric_cols())
    before = T.file_bytes_read()
    t["K"]
    assert T.file_bytes_read() - before == data
    # A second one is read with every scalar column not asked for yet, in one pass (and one
    # more for the null flags of J); they are then handed out without a read, once.
    before = T.file_bytes_read()
    t["D"]
    assert T.file_bytes_read() - before == 2 * data
    before = T.file_bytes_read()
    e = t["E"]
    assert T.file_bytes_read() == before
    again = t["E"]
    assert again is not e and same(again, e)
    assert T.file_bytes_read() - before == data
    # Every column at once: the scalar ones in one pass over the rows (and one more for the
    # null flags of J), then the others from the data section (padded to whole blocks), read
    # once for every column and row after it.
    padded = -(-data // 2880) * 2880
    before = T.file_bytes_read()
    t.to_dict()
    assert T.file_bytes_read() - before == 2 * data + padded
    before = T.file_bytes_read()
    t["V"]
    t.row(7)
    t["K"]
    assert T.file_bytes_read() == before


@needs_hooks
def test_lookup_of_a_table_with_a_column_that_can_fail_reads_and_checks_it(tmp_path):
    cols = numeric_cols() + [Col("L", "L", np.frombuffer(b"T" * (ROWS - 1) + b"X", "u1"))]
    path = write_file(tmp_path / "bad.fits", bintable_hdu(cols, ROWS))
    f = vexlo.open(str(path))
    before = T.file_bytes_read()
    with pytest.raises(vexlo.FitsError, match="BINTABLE col 16: invalid L byte 0x58"):
        f[1]
    assert T.file_bytes_read() > before


@pytest.mark.usefixtures("split_passes")
def test_rows_and_columns_read_later_match_an_eager_read(numeric, tmp_path):
    lazy = vexlo.open(str(numeric))[1]
    eager = vexlo.open(str(eager_copy(numeric, tmp_path)))[1]
    names = [c.name for c in numeric_cols()]
    # Rows first, while the lazy table has read no column.
    for r in (0, 2, 3, 5, ROWS - 1, -1):
        got, want = lazy.row(r), eager.row(r)
        assert list(got) == names
        for n in names:
            assert row_values_equal(got[n], want[n]), (r, n)
    # The repr's lines of cells (the eager table has one more column to count).
    assert repr(lazy).splitlines()[2:] == repr(eager).splitlines()[2:]
    for n in names:
        x, y = lazy[n], eager[n]
        if isinstance(x, list):
            assert len(x) == len(y) and all(row_values_equal(a, b) for a, b in zip(x, y))
        else:
            assert type(x) is type(y) and same(x, y), n
            assert np.array_equal(np.ma.getmaskarray(x), np.ma.getmaskarray(y))
    # Once the data is read, rows come from it alike.
    for r in (1, 5):
        assert all(row_values_equal(lazy.row(r)[n], eager.row(r)[n]) for n in names)
    with pytest.raises(IndexError, match=r"row 40 out of range \(n_rows = 40\)"):
        lazy.row(ROWS)


@pytest.mark.parametrize("name", ["D", "E", "ES", "K", "KZ", "J", "I", "IS", "UI", "B", "SB"])
def test_scalar_columns_match_the_peers(numeric, name):
    got = vexlo.open(str(numeric))[1][name]
    col = next(c for c in numeric_cols() if c.name == name)
    raw = fitsio.read(str(numeric), ext=1, columns=[name])[name]
    if name == "KZ":
        # astropy cannot scale 64-bit integers by an offset; the exact sum is made here.
        want = np.array([float(int(v) + 12345) for v in col.values.astype("i8")])
    else:
        with fits.open(numeric) as h:
            want = np.asarray(h[1].data[name], "f8")
    nulls = np.asarray(col.values) == col.cards["tnull"] if "tnull" in col.cards else None
    # Unsigned integers read as one array per row.
    values = np.ma.getdata(got) if name != "UI" else np.concatenate(got)
    if nulls is not None and values.dtype.kind == "i":
        assert np.array_equal(np.ma.getmaskarray(got), nulls)
    elif nulls is not None:
        assert np.array_equal(np.isnan(values), nulls)
    keep = ~nulls if nulls is not None else np.ones(ROWS, bool)
    assert np.allclose(values[keep].astype("f8"), want[keep], rtol=1e-6, atol=0)
    if "tzero" not in col.cards and "tscal" not in col.cards:
        assert np.array_equal(values[keep], raw[keep].astype(values.dtype))


def test_row_of_a_gzip_file_and_its_columns(numeric, tmp_path):
    gz = tmp_path / "numeric.fits.gz"
    gz.write_bytes(gzip.compress(numeric.read_bytes()))
    t = vexlo.open(str(gz))[1]
    ref = vexlo.open(str(numeric))[1]
    assert all(row_values_equal(t.row(7)[n], ref.row(7)[n]) for n in t.column_names)
    assert same(t["ES"], ref["ES"]) and same(t["K"], ref["K"])


def test_columns_read_after_the_file_is_closed(numeric):
    f = vexlo.open(str(numeric))
    t = f[1]
    f.close()
    assert t.row(3)["K"] == int(fitsio.read(str(numeric), ext=1, rows=[3])["K"][0])
    assert same(t["D"], fitsio.read(str(numeric), ext=1, columns=["D"])["D"].astype("f8"))


@pytest.mark.parametrize("rewrite", [set_keyword, edit_in_update_mode, writeto_after_lookup])
def test_rewrites_of_an_unread_table_keep_its_bytes(numeric, rewrite):
    stored = read(numeric)[1].data
    data = fitsio.read(str(numeric), ext=1)
    out = rewrite(numeric, 1)
    assert read(out)[1].data == stored
    with fits.open(out) as h:
        h.verify("exception")
        if rewrite is not writeto_after_lookup:
            assert h[1].header["OBSERVER"] == "someone"
        assert np.array_equal(h[1].data["K"], data["K"])
    assert fitsio.read(str(out), ext=1).tobytes() == data.tobytes()
    t = vexlo.open(str(out))[1]
    assert same(t["KZ"], vexlo.open(str(numeric))[1]["KZ"])


def test_a_lookup_in_update_mode_then_a_flush_keeps_the_old_rows_readable(numeric):
    stored = read(numeric)[1].data
    data = fitsio.read(str(numeric), ext=1)
    with vexlo.open(str(numeric), mode="update") as f:
        t = f[1]
        t.header["OBSERVER"] = "someone"
        f.flush()
        # The table reads the data it was looked up with, from the file it came from.
        assert t.row(2)["K"] == int(data["K"][2])
        assert np.array_equal(np.asarray(t["K"]), data["K"].astype("i8"))
    assert read(numeric)[1].data == stored
    with fits.open(numeric) as h:
        h.verify("exception")
        assert h[1].header["OBSERVER"] == "someone"
        assert np.array_equal(h[1].data["D"], data["D"])
    assert fitsio.read(str(numeric), ext=1).tobytes() == data.tobytes()


def test_header_errors_still_fail_the_lookup(tmp_path):
    hdu = bintable_hdu([Col("K", "K", be(np.arange(4), "i8"))], 4,
                       extra=[card("THEAP", 1)])
    path = write_file(tmp_path / "theap.fits", hdu)
    with pytest.raises(vexlo.FitsError, match=r"THEAP=1 must lie within"):
        vexlo.open(str(path))[1]


@pytest.mark.usefixtures("split_passes")
def test_a_large_unread_table_reads_block_after_block_as_an_eager_one(tmp_path):
    rows = 3 * 4096 + 77  # several blocks of rows in every part, a short last one
    r = np.arange(rows)
    cols = [
        Col("J", "J", be(np.where(r % 5000 == 4999, -7, r), "i4"), tnull=-7),
        Col("E", "E", be(r * 0.25, "f4"), tscal=0.5),
        Col("I", "I", be(r % 1000, "i2"), tscal=2.0, tnull=999),
        Col("K", "K", be(r << 20, "i8")),
    ]
    lazy_path = write_file(tmp_path / "lazy.fits", bintable_hdu(cols, rows))
    eager_cols = cols + [Col("L", "L", np.full(rows, ord("T"), "u1"))]
    eager_path = write_file(tmp_path / "eager.fits", bintable_hdu(eager_cols, rows))
    lazy, eager = vexlo.open(str(lazy_path))[1], vexlo.open(str(eager_path))[1]
    by_name = {n: lazy[n] for n in ("J", "E", "I", "K")}
    whole = lazy.to_dict()
    for n in ("J", "E", "I", "K"):
        want = eager[n]
        for got in (by_name[n], whole[n]):
            assert type(got) is type(want) and same(got, want), n
            assert np.array_equal(np.ma.getmaskarray(got), np.ma.getmaskarray(want)), n
    assert int(np.ma.count_masked(whole["J"])) == rows // 5000
    assert int(np.isnan(whole["I"]).sum()) == len([x for x in r if x % 1000 == 999])


def large_table(path, rows):
    """A table of `rows` rows of scalar numeric columns, its bytes laid out by NumPy (a row
    loop would take seconds), and the stored values of its columns."""
    r = np.random.default_rng(rows)
    values = {
        "D": r.standard_normal(rows),
        "E": r.standard_normal(rows).astype("f4"),
        "K": r.integers(-(2**62), 2**62, rows),
        "J": np.where(np.arange(rows) % 9973 == 17, -5, r.integers(-9, 2**31 - 1, rows)),
        "I": r.integers(-(2**15), 2**15, rows),
        "B": r.integers(0, 256, rows),
    }
    forms = {"D": ">f8", "E": ">f4", "K": ">i8", "J": ">i4", "I": ">i2", "B": "u1"}
    table = np.empty(rows, [(n, forms[n]) for n in values])
    for n, v in values.items():
        table[n] = v
    cards = [card("XTENSION", "BINTABLE"), card("BITPIX", 8), card("NAXIS", 2),
             card("NAXIS1", table.dtype.itemsize), card("NAXIS2", rows), card("PCOUNT", 0),
             card("GCOUNT", 1), card("TFIELDS", len(values))]
    for k, n in enumerate(values, start=1):
        cards += [card(f"TTYPE{k}", n), card(f"TFORM{k}", n)]
    cards.append(card("TNULL4", -5))
    path.write_bytes(primary_hdu() + header_bytes(cards) + padded(table.tobytes()))
    return values


# Row counts that put a column's 8-byte elements just below the size from which its array
# gets memory of its own, at that size, a whole number of huge pages, and past them by a short
# and by a long tail (one such array's last bytes lie on the last page it holds).
LARGE_ROWS = [(4 << 20) // 8 - 1, (4 << 20) // 8, (6 << 20) // 8, (4 << 20) // 8 + 5,
              (6 << 20) // 8 - 3]


@pytest.mark.usefixtures("split_passes")
@pytest.mark.parametrize("rows", LARGE_ROWS)
def test_large_columns_hold_every_stored_value(tmp_path, rows):
    path = tmp_path / "large.fits"
    values = large_table(path, rows)
    f = vexlo.open(str(path))
    whole = f[1].to_dict()
    t = f[1]
    by_name = {n: t[n] for n in values}
    f.close()
    del f, t
    nulls = values["J"] == -5
    for n, v in values.items():
        want = v.astype("f8" if v.dtype.kind == "f" else "i8")
        for got in (whole[n], by_name[n]):
            assert got.flags.writeable is False and len(got) == rows
            if n == "J":
                assert np.array_equal(np.ma.getmaskarray(got), nulls)
                assert np.array_equal(np.ma.getdata(got), np.where(nulls, 0, want))
            else:
                assert got.dtype == want.dtype and same(got, want), n
    # The arrays keep their memory when nothing else refers to it.
    copy = np.array(whole["D"][-3:])
    del by_name
    assert same(whole["D"][-3:], copy) and same(whole["D"][-3:], values["D"][-3:])


@needs_hooks
def test_columns_decoded_ahead_are_bounded_by_the_size_of_the_rows(tmp_path):
    # Twelve int16 columns: 24 bytes a row, while each column comes back as 8-byte values, so
    # a pass decodes at most six columns ahead of the one asked for (twice the row), not all
    # eleven.
    cols = [Col(f"C{k}", "I", be(np.arange(ROWS) * (k + 1) - 7, "i2")) for k in range(12)]
    path = write_file(tmp_path / "wide.fits", bintable_hdu(cols, ROWS))
    data = ROWS * row_size(cols)
    t = vexlo.open(str(path))[1]
    reads = []
    for k in range(12):
        before = T.file_bytes_read()
        got = t[f"C{k}"]
        reads.append(T.file_bytes_read() - before)
        assert np.array_equal(got, np.arange(ROWS) * (k + 1) - 7)
    # C0 alone; C1 with C2-C7 ahead; C8 with C9-C11.
    assert reads == [data, data, 0, 0, 0, 0, 0, 0, data, 0, 0, 0]

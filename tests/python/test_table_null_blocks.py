"""Null flags of integer columns hold across the blocks and row ranges a table is decoded in:
a null in an early block is not lost when a later block without nulls is decoded, and a null
in a later range counts as one in the first."""

import numpy as np
import pytest

import vexlo
from fits_bytes import Col, bintable_hdu, write_file
from hooks import split_passes  # noqa: F401  (a fixture)


@pytest.mark.usefixtures("split_passes")
@pytest.mark.parametrize("null_rows", [[10], [10, 4999], [4095, 4096], [0, 2500, 4999]])
def test_every_null_row_is_masked(tmp_path, null_rows):
    n = 5000
    ids = np.arange(1, n + 1, dtype=">i4")
    ids[null_rows] = -1
    path = write_file(tmp_path / "t.fits", bintable_hdu([Col("ID", "J", ids, tnull=-1)], n))
    table = vexlo.open(str(path))[1]
    # Read alone, and with the rows split into ranges over the cores.
    for column in (table["ID"], table.to_dict()["ID"]):
        assert isinstance(column, np.ma.MaskedArray)
        assert np.flatnonzero(column.mask).tolist() == null_rows
        assert column.data[null_rows].tolist() == [0] * len(null_rows)
        kept = np.setdiff1d(np.arange(n), null_rows)
        assert np.array_equal(column.data[kept], kept + 1)

"""vexlo.RandomGroups: counts, one group at a time as read-only arrays, errors and repr."""

import numpy as np
import pytest

import vexlo
from fits_bytes import card
from fits_images import random_groups_file, stored


def example(tmp_path, pcount=4, gcount=5, dtype="f4"):
    """GROUPS with NAXIS2 = 3, NAXIS3 = 2: every group holds `pcount` parameters, then 6
    values; value k of the whole data section is k."""
    values = stored(np.arange(gcount * (pcount + 6)), dtype)
    path = random_groups_file(
        tmp_path / "rg.fits",
        values,
        pcount=pcount,
        axes=[3, 2],
        gcount=gcount,
        cards=[card("PTYPE1", "UU"), card("PSCAL1", 2.0), card("BZERO", 10)],
    )
    return vexlo.open(path)[0], values


def test_counts_and_repr(tmp_path):
    rg, _ = example(tmp_path)
    assert type(rg) is vexlo.RandomGroups
    assert (rg.n_groups, rg.n_params, rg.data_per_group, len(rg), rg.bitpix) == (5, 4, 6, 5, -32)
    assert repr(rg) == "RandomGroups(n_groups=5, n_params=4, data_per_group=6, bitpix=-32)"
    assert rg.header["GROUPS"] is True
    assert rg.header is not rg.header


def test_last_group_holds_the_last_bytes_unscaled(tmp_path):
    rg, values = example(tmp_path)
    params, data = rg.group(4)
    assert params.dtype == np.float32 and data.dtype == np.float32
    np.testing.assert_array_equal(params, values[40:44])
    np.testing.assert_array_equal(data, values[44:50])
    params, data = rg.group(i=0)
    np.testing.assert_array_equal(params, [0, 1, 2, 3])
    for array in (params, data):
        assert array.flags.writeable is False
        assert array.flags.aligned is False
        with pytest.raises(ValueError):
            array[0] = 1


@pytest.mark.parametrize("dtype", ["u1", "i2", "i4", "i8", "f8"])
def test_group_dtypes(tmp_path, dtype):
    rg, values = example(tmp_path, pcount=1, gcount=3, dtype=dtype)
    params, data = rg.group(2)
    assert rg.bitpix == {"u1": 8, "i2": 16, "i4": 32, "i8": 64, "f8": -64}[dtype]
    assert data.dtype == np.dtype(dtype)
    np.testing.assert_array_equal(params, values[14:15])
    np.testing.assert_array_equal(data, values[15:21])


def test_group_errors(tmp_path):
    rg, _ = example(tmp_path)
    with pytest.raises(IndexError) as info:
        rg.group(5)
    assert info.value.args == ("group 5 out of range (n_groups = 5)",)
    with pytest.raises(OverflowError):
        rg.group(-1)
    with pytest.raises(TypeError) as info:
        rg.group("1")
    assert info.value.args[0].startswith("argument 'i': ")
    with pytest.raises(TypeError) as info:
        rg.group()
    assert info.value.args == ("RandomGroups.group() missing 1 required positional argument: 'i'",)
    assert vexlo.RandomGroups.group.__text_signature__ == "($self, i)"


def test_no_parameters_and_no_groups(tmp_path):
    rg, _ = example(tmp_path, pcount=0)
    params, data = rg.group(0)
    assert params.shape == (0,) and data.shape == (6,)
    # GCOUNT = 0: no data bytes and no groups; the HDU loads and every group index is out of
    # range.
    empty, _ = example(tmp_path, gcount=0)
    assert (empty.n_groups, empty.n_params, empty.data_per_group, len(empty)) == (0, 4, 6, 0)
    with pytest.raises(IndexError) as info:
        empty.group(0)
    assert info.value.args == ("group 0 out of range (n_groups = 0)",)


def test_class_is_not_instantiable():
    with pytest.raises(TypeError):
        vexlo.RandomGroups()
    assert vexlo.RandomGroups.__doc__.splitlines()[0] == (
        "Random-groups primary HDU (legacy format; see Standard Sec.6)."
    )
    docs = {
        "header": "HDU header.",
        "bitpix": "`BITPIX` value.",
        "n_groups": "Number of groups (`GCOUNT`).",
        "n_params": "Number of parameters per group (`PCOUNT`).",
        "data_per_group": "Number of data values per group (`prod(NAXIS2..NAXISn)`).",
    }
    for name, first in docs.items():
        assert getattr(vexlo.RandomGroups, name).__doc__.startswith(first)

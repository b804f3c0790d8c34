"""Values assigned through a section in update mode broadcast into the region as NumPy's own
assignment broadcasts them: an integer index removes its axis, wherever it stands."""

import numpy as np
import pytest

import vexlo

CUBE = np.arange(4 * 5 * 6, dtype="i2").reshape(4, 5, 6)
PLANE = np.arange(4 * 5, dtype="i2").reshape(4, 5)

S = slice
CASES = [
    # (name, image, key, value)
    ("slice-then-int", PLANE, (S(1, 3), 1), [4, 5]),
    ("int-then-slice", PLANE, (1, S(1, 3)), [4, 5]),
    ("slice-then-int-scalar", PLANE, (S(0, 4), 2), 9),
    ("slice-then-int-float-values", PLANE, (S(1, 3), 4), np.array([1.0, 2.0])),
    ("slice-then-int-wide-ints", PLANE, (S(0, 3), 0), np.array([7, 8, 9], "i8")),
    ("slice-then-int-column-shape", PLANE, (S(1, 3), 1), [[4], [5]]),
    ("slice-then-int-too-long", PLANE, (S(1, 3), 1), [4, 5, 6]),
    ("both-ints", PLANE, (2, 3), 11),
    ("both-ints-sequence", PLANE, (2, 3), [11]),
    ("unit-slice-then-int-nested", PLANE, (S(0, 1), 0), [[5]]),
    ("unit-slice-then-int-nested-array", PLANE, (S(0, 1), 0), np.array([[5]])),
    ("cube-int-slice-int", CUBE, (1, S(0, 2), 3), [7, 8]),
    ("cube-slice-int-slice", CUBE, (S(0, 2), 2, S(1, 4)), [[1, 2, 3], [4, 5, 6]]),
    ("cube-slice-int-slice-row", CUBE, (S(0, 2), 2, S(1, 4)), [1, 2, 3]),
    ("cube-slice-slice-int", CUBE, (S(1, 3), S(2, 5), 0), [[1, 2, 3], [4, 5, 6]]),
    ("cube-slice-int", CUBE, (S(1, 4), 4), np.arange(6)),
    ("cube-slice-int-int", CUBE, (S(0, 4), 1, 5), [-1, -2, -3, -4]),
    # An empty region takes nothing, but the value must still broadcast into its shape.
    ("empty-rows-misfit", PLANE, (S(0, 0), S(None)), [1, 2, 3]),
    ("empty-rows-int-misfit", PLANE, (S(2, 2), 1), [[1, 2], [3, 4]]),
    ("empty-rows-row", PLANE, (S(0, 0), S(None)), [1, 2, 3, 4, 5]),
    ("empty-rows-int-scalar", PLANE, (S(2, 2), 1), 7),
    ("empty-cube-plane", CUBE, (S(1, 3), S(4, 4), S(None)), np.arange(6)),
]


def numpy_result(image, key, value):
    expected = image.copy()
    try:
        expected[key] = value
    except Exception as e:  # NumPy's own refusal is the one expected
        return None, type(e)
    return expected, None


@pytest.mark.parametrize("image, key, value", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
@pytest.mark.parametrize("scaled", [False, True], ids=["stored", "scaled"])
def test_section_assignment_broadcasts_like_numpy(tmp_path, image, key, value, scaled):
    p = tmp_path / "a.fits"
    header = {"BSCALE": 2.0} if scaled else None
    if scaled:  # values the scaled image stores exactly
        value = np.asarray(value) * 2
    vexlo.write(p, [vexlo.image(image, header=header)])
    start = vexlo.getdata(p)
    before = p.read_bytes()
    expected, refusal = numpy_result(start, key, value)
    with vexlo.open(p, mode="update") as f:
        if refusal is not None:
            with pytest.raises(refusal):
                f[0].section[key] = value
        else:
            f[0].section[key] = value
    if refusal is not None:
        assert p.read_bytes() == before
        return
    got = vexlo.getdata(p)
    np.testing.assert_array_equal(got, expected)
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(p) as hdus:
        hdus.verify("exception")
        np.testing.assert_array_equal(hdus[0].data, expected)
    fitsio = pytest.importorskip("fitsio")
    np.testing.assert_array_equal(fitsio.read(str(p)), expected)

"""Messages of misused arguments speak Python and NumPy: a type is named as Python or NumPy
names it, never by the name of a type inside the extension."""

import re

import numpy as np
import pytest

import vexlo

# Words that name types of the extension's own implementation languages rather than Python's.
FOREIGN = re.compile(r"\b(Vec|Option|std|usize|isize|u8|u16|u32|u64|i8|i16|i32|i64|f32|f64|"
                     r"String|&str|size_t|int64_t|long long|nanobind|C\+\+)\b|::")

IMAGE_DTYPES = ("image: unsupported numpy dtype (expected "
                "bool/int8/uint8/int16/uint16/int32/uint32/int64/uint64/float32/float64)")
BINTABLE_TYPES = ("bintable: unsupported column type (use bool/uint8/int16/int32/int64/float32/"
                  "float64 numpy arrays or sequences of numbers, list[str], list[complex], or "
                  "list[list[float]] for VLA)")


@pytest.fixture
def fits(tmp_path):
    p = tmp_path / "a.fits"
    vexlo.write(p, [vexlo.image(np.arange(6, dtype="i2"))])
    return p


@pytest.mark.parametrize("call, error, message", [
    (lambda p: vexlo.diff(p, p, ignore_keywords="DATE"), TypeError,
     "argument 'ignore_keywords': a sequence of str is expected, not a str"),
    (lambda p: vexlo.diff(p, p, ignore_keywords=["DATE", 5]), TypeError,
     "argument 'ignore_keywords': 'int' object is not an instance of 'str'"),
    (lambda p: vexlo.diff(p, p, ignore_keywords=5), TypeError,
     "argument 'ignore_keywords': 'int' object is not an instance of 'Sequence'"),
    (lambda p: vexlo.image(np.zeros(2, "c8")), TypeError, IMAGE_DTYPES),
    (lambda p: vexlo.compressed_image(np.zeros(2, "M8[s]")), TypeError, IMAGE_DTYPES),
    (lambda p: vexlo.bintable({"a": np.zeros(2, "u2")}), ValueError,
     "bintable column a: TypeError: " + BINTABLE_TYPES),
    (lambda p: vexlo.bintable({"a": object()}), ValueError,
     "bintable column a: TypeError: " + BINTABLE_TYPES),
], ids=["diff-str-keywords", "diff-keyword-item", "diff-keywords-int", "image-dtype",
        "compressed-image-dtype", "bintable-unsigned", "bintable-object"])
def test_message_names_python_types(fits, call, error, message):
    with pytest.raises(error) as e:
        call(fits)
    assert str(e.value) == message
    assert not FOREIGN.search(message)


WRONG = ["x", b"x", 1.5, -1, 2**70, None, [], ["x"], [1.5], object(), {"a": object()}, (1, 2),
         np.zeros(2), np.zeros(2, "c8"), np.float64(1), 1j]


def callables(fits):
    """Every public function, class and method of the module and its open objects."""
    f = vexlo.open(fits, mode="update")
    header = vexlo.Header({"NAXIS": 2, "CTYPE1": "RA---TAN", "CTYPE2": "DEC--TAN"})
    owners = {"vexlo": vexlo, "file": f, "image": f[0], "header": f[0].header,
              "section": f[0].section, "wcs": vexlo.Wcs(header), "diff": vexlo.diff(fits, fits)}
    for owner_name, owner in owners.items():
        for name in dir(owner):
            if name.startswith("_") and name not in ("__getitem__", "__setitem__", "__contains__",
                                                     "__delitem__"):
                continue
            fn = getattr(owner, name)
            if callable(fn) and name not in ("close", "flush"):
                yield f"{owner_name}.{name}", fn


@pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")
def test_no_message_of_a_wrong_argument_names_a_foreign_type(fits, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # a call that takes "x" as a path writes here
    leaks = {}
    for name, fn in callables(fits):
        calls = [(v,) for v in WRONG] + [(v, v) for v in WRONG] + [("A", v) for v in WRONG]
        if name.startswith("vexlo."):
            calls += [(str(fits), v) for v in WRONG if name not in ("vexlo.write",)]
            calls += [(str(fits), str(fits), v) for v in WRONG]
        for args in calls:
            try:
                fn(*args)
            except Exception as e:
                if FOREIGN.search(str(e)):
                    leaks.setdefault(str(e), f"{name}{args!r}")
    assert not leaks, leaks

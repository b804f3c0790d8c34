"""Messages of misused arguments speak Python and NumPy: a type is named as Python or NumPy
names it, never by the name of a type inside the extension."""

import inspect
import pathlib
import re
import types

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


DATA = pathlib.Path(__file__).parent.parent / "data"


def instances(fits, tmp_path):
    """One object of every class whose methods parse their own arguments."""
    p = tmp_path / "t.fits"
    vexlo.write(p, [vexlo.image(np.zeros(2)), vexlo.bintable({"a": np.arange(3)}),
                    vexlo.ascii_table({"b": np.arange(3.0)})])
    f = vexlo.open(p, mode="update")
    header = vexlo.Header({"NAXIS": 2, "CTYPE1": "RA---TAN", "CTYPE2": "DEC--TAN"})
    return {"FitsFile": f, "ImageHdu": f[0], "BinTable": f[1], "AsciiTable": f[2],
            "Header": header, "Wcs": vexlo.Wcs(header), "FitsDiff": vexlo.diff(fits, fits),
            "RandomGroups": vexlo.open(DATA / "random_groups.fits")[0]}


def methods(objects):
    for cls, obj in objects.items():
        assert type(obj).__name__ == cls
        # The methods the class defines through the argument parser, not slot wrappers or
        # those inherited from object.
        for name, fn in vars(type(obj)).items():
            if type(fn) is types.MethodDescriptorType:
                yield cls, name, getattr(obj, name)


def test_an_argument_count_error_names_the_method_itself(fits, tmp_path):
    # Every method has its own parameter table: a table shared by several methods would name
    # one for all.
    seen = set()
    for cls, name, bound in methods(instances(fits, tmp_path)):
        with pytest.raises(TypeError) as e:
            bound(*range(17))
        assert str(e.value).startswith(f"{cls}.{name}() takes "), str(e.value)
        seen.add(f"{cls}.{name}")
    assert {"Wcs.celestial_axes", "Wcs.axis_kinds", "Wcs.footprint", "BinTable.row",
            "AsciiTable.to_dict", "Header.get", "FitsFile.__exit__"} <= seen


def test_every_parameter_of_a_text_signature_is_one_the_call_accepts(fits, tmp_path):
    # Passing every parameter the text signature shows by keyword never meets the argument
    # parser's "unexpected keyword" or "missing" errors: the two describe one table.
    objects = instances(fits, tmp_path)
    calls = [(f"{c}.{n}", b) for c, n, b in methods(objects)]
    calls += [(f"vexlo.{n}", getattr(vexlo, n)) for n in dir(vexlo)
              if callable(getattr(vexlo, n)) and getattr(getattr(vexlo, n), "__text_signature__",
                                                         None)]
    checked = 0
    for name, fn in calls:
        params = [p for p in inspect.signature(fn).parameters.values()
                  if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)]
        if not params:
            continue
        try:
            fn(**{p.name: object() for p in params})
        except Exception as e:
            assert "unexpected keyword" not in str(e) and "missing" not in str(e), (name, e)
        checked += 1
    assert checked >= 40

"""The extension is built for the stable ABI on Python 3.12 and later, so the bindings may use
only the limited C API. Builds on 3.11 cannot tell: this test catches the usual slips there
(the unchecked macro forms and private calls) before a 3.12 build does."""

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BINDINGS = [ROOT / "src" / "python", ROOT / "tests" / "python" / "ext"]

# Macro forms without the limited API (their checked functions are in it), and CPython's
# private names.
OUTSIDE = re.compile(
    r"\b(Py(?:Tuple|List)_(?:GET|SET)_ITEM"
    r"|Py(?:Tuple|List|Bytes|ByteArray|Unicode)_GET_SIZE"
    r"|PyFloat_AS_DOUBLE|PyBytes_AS_STRING|PyByteArray_AS_STRING"
    r"|PyObject_CallOneArg|PyObject_CallNoArgs|PyUnicode_AsUTF8\b"
    r"|_Py[A-Za-z]\w*)\s*\("
)


def outside_calls(text):
    return [m.group(1) for m in OUTSIDE.finditer(text)]


@pytest.mark.parametrize(
    "text, found",
    [
        ("x = PyTuple_GET_ITEM(t, 0);", ["PyTuple_GET_ITEM"]),
        ("n = PyList_GET_SIZE(l);", ["PyList_GET_SIZE"]),
        ("d = PyFloat_AS_DOUBLE(o);", ["PyFloat_AS_DOUBLE"]),
        ("r = PyObject_CallOneArg(f, a);", ["PyObject_CallOneArg"]),
        ("_PyObject_GC_TRACK(o);", ["_PyObject_GC_TRACK"]),
        ("x = NB_TUPLE_GET_ITEM(t, 0); y = PyTuple_GetItem(t, 1);", []),
        ("s = PyUnicode_AsUTF8AndSize(o, &n);", []),
    ],
)
def test_the_check_tells_limited_calls_from_others(text, found):
    assert outside_calls(text) == found


def test_bindings_use_only_the_limited_api():
    offenders = []
    for folder in BINDINGS:
        for path in sorted(folder.rglob("*")):
            if path.suffix not in {".cpp", ".hpp", ".h"}:
                continue
            for line_no, line in enumerate(path.read_text().splitlines(), 1):
                for name in outside_calls(line):
                    offenders.append(f"{path.relative_to(ROOT)}:{line_no}: {name}")
    assert not offenders, "calls outside the limited API:\n" + "\n".join(offenders)

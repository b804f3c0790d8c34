"""Module start-up, the exception classes, the shared argument parser and error conversion."""

import os
import subprocess
import inspect
import sys
import types
import warnings

import pytest

import vexlo

# The module's attributes in their fixed order: `__all__` is exactly this list.
EXPORT_ORDER = [
    "__version__", "FitsError", "FitsFile", "Header", "HeaderCommentary", "ImageHdu",
    "_ImageSection", "RandomGroups", "BinTable", "AsciiTable", "Wcs", "WcsFit", "ImageBuilder",
    "BinTableBuilder", "AsciiTableBuilder", "FitsDiff", "open", "image", "bintable",
    "ascii_table", "write", "compressed_image", "fit_wcs", "diff", "getdata", "getheader",
    "getval", "setval", "delval", "info", "append",
]


def run_python(code):
    """Runs `code` in a fresh interpreter that finds the same vexlo build."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    done = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60
    )
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


# --- Module attributes --------------------------------------------------------------------------


def test_version_doc_and_exports():
    assert vexlo.__version__ == "0.5.0"
    assert vexlo.__doc__.splitlines()[0] == (
        "Fast FITS file I/O, WCS transforms and image compression."
    )
    assert vexlo.__all__ == EXPORT_ORDER
    assert all(hasattr(vexlo, name) for name in EXPORT_ORDER)
    assert type(vexlo.__all__) is list
    assert "_testing" not in vexlo.__all__
    # Test hooks live in their own extension, never in the installed module.
    assert not hasattr(vexlo, "_testing")


# Every public class: constructor text signature (None: not instantiable) and first doc line.
CLASSES = {
    "FitsFile": ("()", "Owning, ordered, mutable list of HDUs."),
    "Header": ("(mapping=None)", "Dict-like view of a FITS header."),
    "HeaderCommentary": (None, "List-like view of every commentary card body that shares a"),
    "ImageHdu": ("(data, header=None, name=None)", "Image HDU with lazy numpy data."),
    "_ImageSection": (None, "Slicing proxy returned by :attr:`ImageHdu.section`."),
    "RandomGroups": (None, "Random-groups primary HDU (legacy format; see Standard Sec.6)."),
    "BinTable": (None, "Binary table HDU (``BINTABLE``)."),
    "AsciiTable": (None, "ASCII ``TABLE`` HDU."),
    "Wcs": ("(header, alt=' ')", "World Coordinate System for an HDU."),
    "WcsFit": (None, "Result of :func:`fit_wcs`."),
    "ImageBuilder": (None, "Opaque image HDU spec produced by :func:`image`."),
    "BinTableBuilder": (None, "Opaque BINTABLE HDU spec produced by :func:`bintable`."),
    "AsciiTableBuilder": (None, "Opaque ASCII TABLE HDU spec produced by :func:`ascii_table`."),
    "FitsDiff": (None, "Result of comparing two FITS files. See :func:`diff`."),
}

# Every module function: text signature and first doc line.
FUNCTIONS = {
    "open": ('(path, mode="readonly", lenient=True)', "Open a FITS file by path."),
    "image": ("(data, header=None, primary=True)", "Build an image HDU from an array."),
    "bintable": (
        "(columns, units=None, extname=None)",
        "Build a ``BINTABLE`` HDU from a column dictionary.",
    ),
    "ascii_table": (
        "(columns, formats=None, tnulls=None, units=None, extname=None)",
        "Build an ASCII ``TABLE`` HDU from a column dictionary.",
    ),
    "write": (
        "(path, hdus, overwrite=False, *, checksums=False)",
        "Write a sequence of HDU builders to disk.",
    ),
    "compressed_image": (
        "(data, header=None, *, tile_shape=None, extname=None)",
        "Tile-compress a numpy array into a ``BINTABLE`` HDU (``ZIMAGE``).",
    ),
    "fit_wcs": (
        '(pixels, sky, projection="TAN", crpix=None, crval=None, sip_order=None, '
        'fit_sip_inverse=True, frame="equatorial", origin=0)',
        "Fit a celestial WCS to ``(pixel, sky)`` reference correspondences.",
    ),
    "diff": (
        "(a, b, *, rtol=0.0, atol=0.0, max_diffs=10, ignore_keywords=None)",
        "Compare two FITS files and return the differences.",
    ),
    "getdata": (
        "(path, ext=None, *, header=False)",
        "Read one HDU's data, and optionally its header, from `path`.",
    ),
    "getheader": ("(path, ext=None)", "Read one HDU's header from `path`."),
    "getval": ("(path, key, ext=None)", "Read one header keyword from `path`."),
    "setval": (
        "(path, key, value=None, *, ext=None, comment=None)",
        "Set one header keyword in `path`. Rewrites the file.",
    ),
    "delval": (
        "(path, key, *, ext=None)",
        "Remove one header keyword from `path`. Rewrites the file.",
    ),
    "info": ("(path)", "Return a brief HDU summary table for `path`."),
    "append": ("(path, data, header=None)", "Append one image HDU to an existing FITS file."),
}


@pytest.mark.parametrize("name", list(CLASSES))
def test_public_class_description(name):
    cls = getattr(vexlo, name)
    signature, first_line = CLASSES[name]
    assert isinstance(cls, type)
    assert cls.__name__ == name and cls.__qualname__ == name
    assert cls.__module__ == "vexlo"
    assert cls.__bases__ == (object,)
    assert cls.__doc__.splitlines()[0] == first_line
    assert cls.__text_signature__ == signature
    if signature is None:
        with pytest.raises(TypeError):
            cls()
    else:
        # inspect asks __init__ before the text signature; the class must still answer.
        assert str(inspect.signature(cls)) == signature
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    # No instance __dict__, no weak references, not matched as a sequence or mapping.
    assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0
    assert not cls.__flags__ & ((1 << 5) | (1 << 6))


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_module_function_description(name):
    function = getattr(vexlo, name)
    signature, first_line = FUNCTIONS[name]
    assert isinstance(function, types.BuiltinFunctionType)
    assert function.__name__ == name
    assert function.__module__ == "vexlo"
    assert function.__self__ is vexlo
    assert function.__text_signature__ == signature
    assert function.__doc__.splitlines()[0] == first_line


def test_fits_error_class():
    assert vexlo.FitsError.__mro__ == (
        vexlo.FitsError,
        OSError,
        Exception,
        BaseException,
        object,
    )
    assert vexlo.FitsError.__doc__ == "FITS-level error raised by vexlo."
    assert vexlo.FitsError.__name__ == "FitsError"
    assert vexlo.FitsError.__module__ == "vexlo"


def test_reimport_reuses_class_objects():
    original = sys.modules["vexlo"]
    fits_error = vexlo.FitsError
    classes = {name: getattr(vexlo, name) for name in CLASSES}
    try:
        del sys.modules["vexlo"]
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            import vexlo as again
        assert again is not original
        assert again.FitsError is fits_error
        assert {name: getattr(again, name) for name in classes} == classes
        assert again.__all__ == EXPORT_ORDER
        # The error paths still work on the new module object.
        with pytest.raises(fits_error):
            again.open("/nonexistent/file.fits")
    finally:
        sys.modules["vexlo"] = original


def test_import_does_not_import_numpy():
    assert run_python("import sys, vexlo; print('numpy' in sys.modules)") == "False"


def test_import_succeeds_without_numpy():
    code = "import sys; sys.modules['numpy'] = None; import vexlo; print(vexlo.__version__)"
    assert run_python(code) == "0.5.0"

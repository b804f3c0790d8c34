"""The core's folders are layered: an #include under src/ may only name its own folder or a
folder of a lower layer, so that nothing low depends on what is built on top of it."""

import re
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parents[2] / "src"

# Lower numbers sit lower. Folders of one layer do not include each other, except that
# header reads units through its narrow interface.
LAYERS = {
    "util": 0,
    "error": 1,
    "header": 2,
    "units": 2,
    "data": 3,
    "io": 4,
    "hdu": 5,
    "compression": 6,
    "wcs": 6,
    "diff": 6,
    "python": 7,
}
ALLOWED_SIDEWAYS = {("header", "units")}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def folder_of(relative):
    """The layer name of a path under src/: its first folder, or "error" for error.*."""
    parts = Path(relative).parts
    if len(parts) == 1:
        return Path(parts[0]).stem
    return parts[0]


def violation(source, included):
    """Why `source` (a path under src/) may not include `included`, or None."""
    here = folder_of(source)
    if "/" in included:
        there = folder_of(included)
    elif Path(included).stem == "error":
        there = "error"
    else:
        there = here  # a bare name is a neighbour in the same folder
    for name in (here, there):
        if name not in LAYERS:
            return f"{name!r} has no place in the layer order"
    if here == there or (here, there) in ALLOWED_SIDEWAYS:
        return None
    if LAYERS[there] > LAYERS[here]:
        return f"{here} points up to {there}"
    if LAYERS[there] == LAYERS[here]:
        return f"{here} points sideways to {there}"
    return None


@pytest.mark.parametrize(
    "source, included, why",
    [
        ("io/file.hpp", "hdu/hdu.hpp", "io points up to hdu"),
        ("hdu/hdu.hpp", "compression/reader.hpp", "hdu points up to compression"),
        ("header/value.cpp", "data/pixel.hpp", "header points up to data"),
        ("error.hpp", "util/try.hpp", None),
        ("util/text.hpp", "error.hpp", "util points up to error"),
        ("wcs/parse.cpp", "diff/engine.hpp", "wcs points sideways to diff"),
        ("units/parse.cpp", "header/header.hpp", "units points sideways to header"),
        ("header/getters.cpp", "units/unit.hpp", None),
        ("python/file.cpp", "hdu/load.hpp", None),
        ("python/file.cpp", "file.hpp", None),
        ("hdu/load.cpp", "io/file.hpp", None),
        ("io/file.cpp", "error.hpp", None),
        ("attic/old.cpp", "util/text.hpp", "'attic' has no place in the layer order"),
    ],
)
def test_the_layer_rule(source, included, why):
    assert violation(source, included) == why


def test_no_include_under_src_points_up_a_layer():
    files = sorted(p for p in SRC.rglob("*") if p.suffix in (".hpp", ".cpp"))
    assert files, f"no sources found under {SRC}"
    found = []
    for path in files:
        relative = path.relative_to(SRC).as_posix()
        for included in INCLUDE.findall(path.read_text(encoding="utf-8")):
            why = violation(relative, included)
            if why:
                found.append(f'{relative}: #include "{included}" ({why})')
    assert found == []

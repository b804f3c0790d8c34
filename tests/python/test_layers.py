"""The core's folders are layered: an #include under src/ may only name its own folder or a
folder of a lower layer, so that nothing low depends on what is built on top of it. Includes
alone miss a function declared low and defined high, so the built objects are read too: every
symbol an object uses must be defined in its own folder or a lower one."""

import os
import re
import shutil
import subprocess
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
    return folder_violation(here, there)


def folder_violation(here, there):
    """Why code in folder `here` may not depend on folder `there`, or None."""
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


def link_violation(here, defined_in):
    """Why an object compiled from folder `here` may not use a symbol defined in the folders
    `defined_in`, or None. Inline functions and template instances are defined in every
    object that uses them, so one definition in an allowed folder is enough."""
    reasons = [folder_violation(here, there) for there in sorted(defined_in)]
    if None in reasons:
        return None
    return "; ".join(reasons)


@pytest.mark.parametrize(
    "here, defined_in, why",
    [
        ("hdu", {"compression"}, "hdu points up to compression"),
        ("hdu", {"hdu", "compression"}, None),
        ("hdu", {"io", "wcs"}, None),
        ("diff", {"compression"}, "diff points sideways to compression"),
        ("header", {"units"}, None),
        ("compression", {"hdu"}, None),
        ("io", {"diff", "python"}, "io points up to diff; io points up to python"),
        ("error", {"error"}, None),
    ],
)
def test_the_link_rule(here, defined_in, why):
    assert link_violation(here, defined_in) == why


# Where CMake compiles the core and the bindings inside a build tree, one object per source.
OBJECT_ROOTS = ("CMakeFiles/vexlo_core.dir/src", "CMakeFiles/vexlo_bindings.dir/src")


def build_tree():
    """The build tree to read objects from: VEXLO_BUILD_DIR, else the tree the imported
    extension was built in (tools/test.sh runs the suite from <build>/python)."""
    if os.environ.get("VEXLO_BUILD_DIR"):
        return Path(os.environ["VEXLO_BUILD_DIR"])
    try:
        import vexlo
    except ImportError:
        return None
    return Path(vexlo.__file__).resolve().parents[1]


def object_sources(build):
    """{object file: its source path under src/} for every object of the core and bindings."""
    found = {}
    for top in OBJECT_ROOTS:
        root = build / top
        if root.is_dir():
            for obj in sorted(root.rglob("*.o")):
                found[str(obj)] = obj.relative_to(root).with_suffix("").as_posix()
    return found


def symbols(flags, objects):
    """{object file: [mangled symbol, ...]} as `nm` with `flags` lists them."""
    run = subprocess.run(
        ["nm", "-A", "-P", *flags, *objects], capture_output=True, text=True, check=True
    )
    found = {}
    for line in run.stdout.splitlines():
        obj, _, rest = line.rpartition(": ")
        found.setdefault(obj, []).append(rest.split()[0])
    return found


def demangled(names):
    run = subprocess.run(["c++filt"], input="\n".join(names), capture_output=True, text=True)
    out = run.stdout.splitlines()
    return out if run.returncode == 0 and len(out) == len(names) else list(names)


def test_no_object_uses_a_symbol_defined_only_a_layer_up():
    build = build_tree()
    if build is None:
        pytest.skip("vexlo is not importable and VEXLO_BUILD_DIR is not set")
    objects = object_sources(build)
    if not objects:
        pytest.skip(f"no object files under {build}: an installed package keeps none")
    if shutil.which("nm") is None:
        pytest.skip("nm is not installed")

    defined = {}
    for obj, names in symbols(["--defined-only", "--extern-only"], objects).items():
        for name in names:
            defined.setdefault(name, set()).add(folder_of(objects[obj]))
    found = []
    crossings = 0
    for obj, names in symbols(["--undefined-only"], objects).items():
        here = folder_of(objects[obj])
        for name in names:
            there = defined.get(name)
            if not there:
                continue  # the C++ runtime, zlib, the interpreter
            crossings += here not in there
            why = link_violation(here, there)
            if why:
                found.append((objects[obj], name, why))
    # Folders do call into lower ones: finding none means the objects were misread.
    assert crossings, f"no symbol used across folders in the objects under {build}"
    texts = demangled([name for _, name, _ in found])
    lines = [f"{source}: {text} ({why})" for (source, _, why), text in zip(found, texts)]
    assert lines == [], "\n".join(lines)

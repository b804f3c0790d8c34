"""The ways a test rewrites HDU `ext` of a file, shared by the tests that read the output back;
each returns the path of the file written."""

import vexlo


def set_keyword(path, ext):
    vexlo.setval(str(path), "OBSERVER", "someone", ext=ext)
    return path


def edit_in_update_mode(path, ext):
    with vexlo.open(str(path), mode="update") as f:
        f[ext].header["OBSERVER"] = "someone"
    return path


def writeto_after_lookup(path, ext):
    out = path.with_name("copy.fits")
    with vexlo.open(str(path)) as f:
        f[ext]
        f.writeto(str(out))
    return out

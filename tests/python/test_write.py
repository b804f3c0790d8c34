"""write(): the order of HDUs, the prepended primary, overwriting, checksums verified with an
independent ones'-complement sum, and refusals that leave the file system untouched."""

import os
import pathlib
import platform
import sys

import numpy as np
import pytest

import vexlo
from fits_read import checksums_verify, fitsverify, read

ITEM_ERROR = "write: list items must be ImageBuilder, BinTableBuilder, or AsciiTableBuilder"


def cols():
    return {"a": np.arange(3, dtype=np.int32), "s": ["x", "yy", "zzz"]}


def test_zero_hdus_creates_nothing(tmp_path):
    p = tmp_path / "z.fits"
    with pytest.raises(ValueError) as e:
        vexlo.write(p, [])
    assert str(e.value) == "vexlo.write: refusing to write a file with zero HDUs"
    assert not p.exists()


def test_existing_file_needs_overwrite(tmp_path):
    p = tmp_path / "o.fits"
    vexlo.write(p, [vexlo.image(np.zeros((100, 100), np.float64))])
    with pytest.raises(vexlo.FitsError) as e:
        vexlo.write(p, [vexlo.image(np.zeros(2, np.int16))])
    assert str(e.value).startswith("i/o error: ")
    assert isinstance(e.value, OSError) and len(e.value.args) == 1
    assert len(p.read_bytes()) == 29 * 2880
    vexlo.write(p, [vexlo.image(np.zeros(2, np.int16))], overwrite=True)
    [hdu] = read(p)
    assert (hdu["BITPIX"], hdu["NAXIS1"], len(p.read_bytes())) == (16, 2, 2 * 2880)


def test_table_first_gets_an_empty_primary(tmp_path):
    p = tmp_path / "t.fits"
    vexlo.write(p, [vexlo.bintable(cols()), vexlo.ascii_table({"n": [1, 2]})])
    primary, table, ascii_ = read(p)
    assert [(k, v) for k, v, _ in primary.entries()] == [
        ("SIMPLE", True), ("BITPIX", 8), ("NAXIS", 0), ("EXTEND", True)]
    assert table["XTENSION"] == "BINTABLE" and ascii_["XTENSION"] == "TABLE"
    fitsverify(p)


def test_primary_position_rules(tmp_path):
    a = np.ones((2, 3), np.float32)
    p = tmp_path / "p.fits"
    with pytest.raises(vexlo.FitsError) as e:
        vexlo.write(p, [vexlo.image(a), vexlo.image(a)])
    assert str(e.value) == "header: extension HDU header is missing XTENSION"
    with pytest.raises(vexlo.FitsError) as e:
        vexlo.write(p, [vexlo.image(a, primary=False)])
    assert str(e.value) == "header: primary HDU header is missing SIMPLE = T"
    # A refused list is refused before the file is created.
    assert not p.exists()
    vexlo.write(p, [vexlo.image(a), vexlo.image(a, primary=False)])
    assert [h.get("XTENSION") for h in read(p)] == [None, "IMAGE"]
    fitsverify(p)


BAD_LISTS = [
    [5],
    ["builder"],
    [None],
    [vexlo.bintable({"a": [1]}), 5],
    [vexlo.image([1.0]), vexlo.image([2.0], primary=False), object()],
]


@pytest.mark.parametrize("hdus", BAD_LISTS, ids=range(len(BAD_LISTS)))
def test_bad_items_touch_nothing(tmp_path, hdus):
    fresh = tmp_path / "new.fits"
    with pytest.raises(TypeError) as e:
        vexlo.write(fresh, hdus)
    assert str(e.value) == ITEM_ERROR
    assert not fresh.exists()
    # An existing file survives a refused overwrite byte for byte.
    old = tmp_path / "old.fits"
    vexlo.write(old, [vexlo.image(np.arange(10, dtype=np.int16))])
    before = old.read_bytes()
    with pytest.raises(TypeError):
        vexlo.write(old, hdus, overwrite=True)
    assert old.read_bytes() == before


def test_checksums_on_every_hdu(tmp_path):
    p = tmp_path / "c.fits"
    hdus = [
        vexlo.bintable(cols()),
        vexlo.image(np.arange(100, dtype=np.uint16).reshape(10, 10), primary=False),
        vexlo.ascii_table({"n": [1, 2, 3], "s": ["a", "b", "c"]}),
        vexlo.bintable({"v": [[1.0, 2.0], [3.0]]}),
    ]
    vexlo.write(p, hdus, checksums=True)
    written = read(p)
    assert len(written) == 5
    for hdu in written:
        assert hdu.keywords()[-2:] == ["DATASUM", "CHECKSUM"]
        assert checksums_verify(hdu)
    assert written[0]["DATASUM"] == "0"
    fitsverify(p)
    assert vexlo.open(str(p)).verify_checksums()


def test_no_checksum_cards_without_the_flag(tmp_path):
    p = tmp_path / "n.fits"
    vexlo.write(p, [vexlo.image(np.zeros(3))])
    assert read(p)[0].get("CHECKSUM") is None


def test_one_builder_written_many_times(tmp_path):
    b = vexlo.image(np.arange(6, dtype=np.int32), primary=False)
    t = vexlo.bintable(cols())
    p1, p2 = tmp_path / "1.fits", tmp_path / "2.fits"
    vexlo.write(p1, [t, b, b, t])
    vexlo.write(p2, [t, b, b, t])
    assert p1.read_bytes() == p2.read_bytes()
    hdus = read(p1)
    assert hdus[1].header_bytes == hdus[4].header_bytes and hdus[1].data == hdus[4].data
    assert hdus[2].header_bytes == hdus[3].header_bytes and hdus[2].data == hdus[3].data
    assert repr(b) == "ImageBuilder(<24 bytes>)"


def test_paths_and_arguments(tmp_path):
    b = vexlo.image(np.zeros(2))
    vexlo.write(str(tmp_path / "s.fits"), [b])
    vexlo.write(pathlib.Path(tmp_path / "p.fits"), [b])

    class Custom(os.PathLike):
        def __fspath__(self):
            return str(tmp_path / "c.fits")

    vexlo.write(Custom(), [b])
    assert all((tmp_path / n).exists() for n in ("s.fits", "p.fits", "c.fits"))
    cases = [
        (lambda: vexlo.write(b"x.fits", [b]),
         "argument 'path': 'bytes' object is not an instance of 'str'"),
        (lambda: vexlo.write(5, [b]), "argument 'path': expected str, bytes or os.PathLike "
                                      "object, not int"),
        (lambda: vexlo.write(tmp_path / "t.fits", (b,)),
         "argument 'hdus': 'tuple' object is not an instance of 'list'"),
        (lambda: vexlo.write(tmp_path / "t.fits", [b], 1),
         "argument 'overwrite': 'int' object is not an instance of 'bool'"),
        (lambda: vexlo.write(tmp_path / "t.fits", [b], checksums=None),
         "argument 'checksums': 'NoneType' object is not an instance of 'bool'"),
        (lambda: vexlo.write(tmp_path / "t.fits", [b], False, True),
         "write() takes from 2 to 3 positional arguments but 4 were given"),
    ]
    for call, text in cases:
        with pytest.raises(TypeError) as e:
            call()
        assert str(e.value) == text
    assert not (tmp_path / "t.fits").exists()
    with pytest.raises(ValueError, match="embedded null byte"):
        vexlo.write(str(tmp_path / "a\0b"), [b])
    with pytest.raises(vexlo.FitsError, match="^i/o error: "):
        vexlo.write(tmp_path / "missing-dir" / "x.fits", [b])
    vexlo.write(tmp_path / "t.fits", [b], np.bool_(True), checksums=np.bool_(False))
    assert vexlo.write.__text_signature__ == "(path, hdus, overwrite=False, *, checksums=False)"


def test_large_image_round_trip(tmp_path):
    # Bigger than the writer's buffer, and not a whole number of blocks.
    a = np.random.default_rng(1).integers(0, 2**16, size=(513, 1031), dtype=np.uint16)
    p = tmp_path / "big.fits"
    vexlo.write(p, [vexlo.image(a), vexlo.bintable({"x": np.arange(70001.0)})], checksums=True)
    img, tab = read(p)
    assert np.array_equal(img.stored_image().astype(np.int64) + 32768, a)
    assert np.array_equal(np.frombuffer(tab.data, ">f8"), np.arange(70001.0))
    assert checksums_verify(img) and checksums_verify(tab)
    fitsverify(p)


@pytest.mark.parametrize("how", ["write", "append"])
def test_large_writes_hold_no_blocks_past_their_end(tmp_path, how):
    # Blocks are reserved ahead of a large piece, for exactly that piece: the file is as long
    # as its HDUs and holds no more disk than that, whether written anew or appended to.
    a = np.arange(1_500_000, dtype=np.float32).reshape(500, 3000) - 7.5
    b = (np.arange(700_001) % 65536).astype(np.uint16)
    p = tmp_path / "big.fits"
    if how == "write":
        vexlo.write(p, [vexlo.image(a), vexlo.image(b, primary=False)], checksums=True)
    else:
        vexlo.write(p, [vexlo.image(a)])
        vexlo.append(p, b)
    padded = [n + (-n % 2880) for n in (a.nbytes, b.nbytes)]
    st = p.stat()
    assert st.st_size == 2880 + padded[0] + 2880 + padded[1]
    assert st.st_blocks * 512 <= st.st_size + 64 * 1024
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(p, checksum=how == "write") as hdus:
        hdus.verify("exception")
        assert np.array_equal(hdus[0].data, a) and np.array_equal(hdus[1].data, b)
    fitsio = pytest.importorskip("fitsio")
    assert np.array_equal(fitsio.read(str(p), ext=0), a)
    assert np.array_equal(fitsio.read(str(p), ext=1), b)
    with vexlo.open(str(p)) as f:
        assert np.array_equal(f[0].data, a) and np.array_equal(f[1].data, b)


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("size", [3, 100_000], ids=["buffered", "written-through"])
def test_output_failure_is_a_fits_error(size):
    # A small HDU fails when the buffer is flushed at the end, a large one on its own write.
    with pytest.raises(vexlo.FitsError) as e:
        vexlo.write("/dev/full", [vexlo.image(np.zeros(size))], overwrite=True)
    assert str(e.value).startswith("i/o error: ") and isinstance(e.value, OSError)


# ---- a failed or interrupted write never damages the file it replaces ----

CHILD_WRITE = """
import resource, signal, sys
import numpy as np
import vexlo
path, limit, action = sys.argv[1], int(sys.argv[2]), sys.argv[3]
signal.signal(signal.SIGXFSZ, signal.SIG_IGN if action == "ignore" else signal.SIG_DFL)
resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
try:
    vexlo.write(path, [vexlo.image(np.ones(1_000_000))], overwrite=True)
except vexlo.FitsError as e:
    print(e)
    sys.exit(3)
"""


def child_env():
    import sys
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))


@pytest.mark.parametrize("action", ["ignore", "die"])
def test_file_size_limit_leaves_the_old_file_whole(tmp_path, action):
    # The limit stands in for a full disk; with the signal's default action the kernel
    # ends the writer mid-write, as a crash would.
    import re
    import signal
    import subprocess
    import sys
    p = tmp_path / "old.fits"
    vexlo.write(p, [vexlo.image(np.arange(10, dtype=np.int16))])
    before = p.read_bytes()
    r = subprocess.run([sys.executable, "-c", CHILD_WRITE, str(p), "100000", action],
                       env=child_env(), capture_output=True, text=True, timeout=60)
    assert p.read_bytes() == before
    left = sorted(f.name for f in tmp_path.iterdir() if f.name != "old.fits")
    if action == "ignore":
        assert r.returncode == 3, r.stderr
        assert r.stdout.startswith("i/o error: File too large")
        assert left == []
    else:
        assert r.returncode == -signal.SIGXFSZ, r.stderr
        # The dead writer's temporary file: "<name>.vexlo-tmp.<pid>.<8 hex digits>".
        assert len(left) == 1 and re.fullmatch(r"old\.fits\.vexlo-tmp\.\d+\.[0-9a-f]{8}", left[0])


CHILD_LOOP = """
import sys
import numpy as np
import vexlo
path = sys.argv[1]
images = [vexlo.image(np.full(2_000_000, v)) for v in (1.0, 2.0)]
print("ready", flush=True)
for i in range(10**6):
    vexlo.write(path, [images[i % 2]], overwrite=True)
"""


def test_kill_during_overwrite_leaves_a_whole_file(tmp_path):
    import signal
    import subprocess
    import sys
    import time
    wholes = set()
    for v in (1.0, 2.0):
        q = tmp_path / f"{v}.fits"
        vexlo.write(q, [vexlo.image(np.full(2_000_000, v))])
        wholes.add(q.read_bytes())
    p = tmp_path / "target.fits"
    vexlo.write(p, [vexlo.image(np.full(2_000_000, 1.0))])
    for delay in (0.05, 0.13, 0.31):
        child = subprocess.Popen([sys.executable, "-c", CHILD_LOOP, str(p)], env=child_env(),
                                 stdout=subprocess.PIPE)
        assert child.stdout.readline() == b"ready\n"
        time.sleep(delay)
        child.send_signal(signal.SIGKILL)
        child.wait()
        assert p.read_bytes() in wholes


def test_overwrite_replaces_the_file_not_its_content(tmp_path):
    # An open reader keeps the old file; the new one keeps the old permission bits.
    p = tmp_path / "r.fits"
    vexlo.write(p, [vexlo.image(np.arange(4, dtype=np.int32))])
    os.chmod(p, 0o640)
    f = vexlo.open(str(p))
    vexlo.write(p, [vexlo.image(np.zeros(3, np.float32))], overwrite=True)
    assert f[0].data.tolist() == [0, 1, 2, 3]
    assert vexlo.open(str(p))[0].data.tolist() == [0, 0, 0]
    assert os.stat(p).st_mode & 0o777 == 0o640
    assert sorted(x.name for x in tmp_path.iterdir()) == ["r.fits"]
    # A symbolic link stays a link to the replaced file.
    link = tmp_path / "link.fits"
    link.symlink_to(p)
    before = os.stat(p).st_ino
    g = vexlo.open(str(p))
    vexlo.write(link, [vexlo.image(np.ones(2, np.int16))], overwrite=True)
    assert link.is_symlink() and read(p)[0]["NAXIS1"] == 2
    # The target was replaced, not rewritten in place: a reader of it keeps the old data.
    assert os.stat(p).st_ino != before
    assert g[0].data.tolist() == [0, 0, 0]


CHILD_RACE = """
import sys
import numpy as np
import vexlo
path, v = sys.argv[1], float(sys.argv[2])
hdus = [vexlo.image(np.full(300_000, v))] + [vexlo.image(np.full(1000, v), primary=False)] * 3
for _ in range(5):
    vexlo.write(path, hdus, overwrite=True)
"""


def test_concurrent_overwrites_leave_one_whole_file(tmp_path):
    # Two processes replacing the same path: the survivor is one writer's file, never a mix.
    import subprocess
    import sys
    p = tmp_path / "shared.fits"
    children = [subprocess.Popen([sys.executable, "-c", CHILD_RACE, str(p), v], env=child_env())
                for v in ("1", "2")]
    assert [c.wait(60) for c in children] == [0, 0]
    hdus = read(p)
    values = {np.frombuffer(h.data, ">f8")[0] for h in hdus}
    assert len(hdus) == 4 and len(values) == 1
    assert sorted(x.name for x in tmp_path.iterdir()) == ["shared.fits"]


# ---- which calls wait for the disk ----

# The child forbids every call that forces data to disk (fsync, fdatasync, sync_file_range,
# syncfs, sync) with a seccomp filter that kills the process on the first one, then runs one
# action. A new file and a copy to another path must finish; the rewrite of an opened file and
# append, which do sync, show that the filter sees vexlo's calls.
CHILD_NO_SYNC = """
import ctypes, struct, sys
import numpy as np
import vexlo

def forbid_syncs():
    def op(code, k, jt=0, jf=0):
        return struct.pack("HBBI", code, jt, jf, k)
    ld, jeq, ret = 0x20, 0x15, 0x06
    allow, kill = 0x7FFF0000, 0x80000000
    syncs = [74, 75, 277, 306, 162]  # x86-64 numbers
    prog = [op(ld, 4), op(jeq, 0xC000003E, 1, 0), op(ret, allow), op(ld, 0)]
    prog += [op(jeq, nr, len(syncs) - i, 0) for i, nr in enumerate(syncs)]
    prog += [op(ret, allow), op(ret, kill)]
    code = ctypes.create_string_buffer(b"".join(prog))

    class Prog(ctypes.Structure):
        _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_void_p)]

    libc = ctypes.CDLL(None, use_errno=True)
    assert libc.prctl(38, 1, 0, 0, 0) == 0  # no new privileges
    fprog = Prog(len(prog), ctypes.addressof(code))
    assert libc.prctl(22, 2, ctypes.byref(fprog), 0, 0) == 0, ctypes.get_errno()

action, base = sys.argv[1], sys.argv[2]
small = vexlo.image(np.arange(100, dtype=np.int16).reshape(10, 10))
# Larger than a writer's write-behind step, so a large piece's path is taken too.
large = vexlo.image(np.arange(3_000_000, dtype=np.float32))
table = vexlo.bintable({"a": np.arange(5, dtype=np.int32)})
vexlo.write(base + "src.fits", [small, table])
forbid_syncs()
print("filtered", flush=True)
if action == "write":
    vexlo.write(base + "new.fits", [small, table])
    vexlo.write(base + "new.fits", [large, table], overwrite=True)
    vexlo.write(base + "new.fits", [small, table], overwrite=True, checksums=True)
elif action == "writeto":
    # The update-mode file is never closed: its close would flush the edit, which syncs.
    f = vexlo.open(base + "src.fits")
    g = vexlo.open(base + "src.fits", mode="update")
    g.append(large)
    for opened, name in ((f, "readonly.fits"), (g, "update.fits")):
        opened.writeto(base + name)
        opened.writeto(base + name, overwrite=True)
elif action == "flush":
    with vexlo.open(base + "src.fits", mode="update") as f:
        f[0].header["EDITED"] = 1
elif action == "append":
    vexlo.append(base + "src.fits", np.zeros(3))
print("done", flush=True)
"""


@pytest.mark.skipif(not (sys.platform.startswith("linux") and platform.machine() == "x86_64"),
                    reason="the filter is written for Linux on x86-64")
@pytest.mark.parametrize("action,forces", [
    ("write", False), ("writeto", False), ("flush", True), ("append", True)])
def test_only_rewrites_and_append_wait_for_the_disk(tmp_path, action, forces):
    import signal
    import subprocess
    base = str(tmp_path) + "/"
    r = subprocess.run([sys.executable, "-c", CHILD_NO_SYNC, action, base], env=child_env(),
                       capture_output=True, text=True, timeout=120)
    assert r.stdout.startswith("filtered\n"), r.stderr
    if forces:
        assert r.returncode == -signal.SIGSYS and r.stdout == "filtered\n", r.stderr
        return
    assert r.returncode == 0 and r.stdout == "filtered\ndone\n", r.stderr
    names = {"write": ["new.fits"], "writeto": ["readonly.fits", "update.fits"]}[action]
    assert sorted(f.name for f in tmp_path.iterdir()) == sorted(names + ["src.fits"])
    for name in names:
        hdus = read(tmp_path / name)
        if action == "write":
            assert [h["NAXIS"] for h in hdus] == [2, 2]
            assert all(checksums_verify(h) for h in hdus)
        else:
            assert [h.get("NAXIS1") for h in hdus] == (
                [10, 4, 3_000_000] if name == "update.fits" else [10, 4])
        fitsverify(tmp_path / name)

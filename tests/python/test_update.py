"""Update mode: flush by full rewrite, in-place section patches, list edits, writeto,
checksums, the appender and the path-level functions."""

import gzip
import os
import re
import signal
import subprocess
import sys
import threading

import numpy as np
import pytest

import vexlo


def make(path, *arrays, header=None):
    vexlo.write(path, [vexlo.image(a, header=header, primary=i == 0) for i, a in enumerate(arrays)])
    return path


def test_header_edit_is_written_on_close_and_pixels_kept_as_stored(tmp_path):
    # A scaled integer image whose pixels were read but not changed keeps BITPIX 16.
    p = make(tmp_path / "a.fits", np.arange(6, dtype="i2").reshape(2, 3),
             header={"BSCALE": 2.0})
    with vexlo.open(p, mode="update") as f:
        assert not f.read_only
        before = f[0].data.copy()
        f[0].header["OBJECT"] = "M31"
    g = vexlo.open(p)
    assert g[0].header["OBJECT"] == "M31" and g[0].bitpix == 16
    np.testing.assert_array_equal(g[0].data, before)


def test_array_edit_after_a_flush_is_not_lost(tmp_path):
    p = make(tmp_path / "a.fits", np.zeros((2, 3), "i2"))
    f = vexlo.open(p, mode="update")
    d = f[0].data
    f.flush()
    d[0, 1] = 6
    f.close()
    assert vexlo.open(p)[0].data[0, 1] == 6


def test_no_edit_no_rewrite_and_unchanged_array_matches(tmp_path):
    p = make(tmp_path / "a.fits", np.arange(4, dtype="f4"))
    inode = os.stat(p).st_ino
    f = vexlo.open(p, mode="update")
    assert f[0].data_matches_source()
    f.flush()
    assert os.stat(p).st_ino == inode
    f[0].data[1] = 9
    assert not f[0].data_matches_source()
    f.flush()
    assert os.stat(p).st_ino != inode


PATCHES = [
    ("i2", None, [7, 8]),
    ("u2", None, [0, 65535]),  # BZERO 32768: the sign bit is flipped
    ("i2", {"BSCALE": 0.5}, [1.5, -2.0]),  # physical values
    ("f8", None, [np.nan, 2.5]),
]


@pytest.mark.parametrize("dtype, header, values", PATCHES)
def test_section_patch_goes_straight_into_the_file(tmp_path, dtype, header, values):
    p = make(tmp_path / "a.fits", np.zeros((3, 4), dtype), header=header)
    inode = os.stat(p).st_ino
    f = vexlo.open(p, mode="update")
    f[0].section[1, 1:3] = values
    np.testing.assert_array_equal(vexlo.open(p)[0].data[1, 1:3], values)
    f.close()
    assert os.stat(p).st_ino == inode  # patched in place, never rewritten


@pytest.mark.parametrize("dtype, header, values", PATCHES)
def test_section_patch_reaches_the_array_read_before_it(tmp_path, dtype, header, values):
    # The rewrite a header edit asks for writes the image from its array: an array that missed
    # the patch would write the old pixels back over it.
    p = make(tmp_path / "a.fits", np.zeros((3, 4), dtype), header=header)
    want = vexlo.getdata(p).copy()
    want[1, 1:3] = values
    with vexlo.open(p, mode="update") as f:
        h = f[0]
        assert not h.data.any()
        h.section[1, 1:3] = values
        np.testing.assert_array_equal(h.data, want)
        h.header["OBJECT"] = "x"
        f.flush()
    assert vexlo.getval(p, "OBJECT") == "x"
    np.testing.assert_array_equal(vexlo.getdata(p), want)
    fitsio = pytest.importorskip("fitsio")
    np.testing.assert_array_equal(fitsio.read(str(p)), want)
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(p) as hdus:
        hdus.verify("exception")
        np.testing.assert_array_equal(hdus[0].data, want)


def test_patch_refuses_unsupported_keys_and_out_of_range_values(tmp_path):
    p = make(tmp_path / "a.fits", np.zeros((3, 4), "i2"), header={"BSCALE": 0.5})
    f = vexlo.open(p, mode="update")
    with pytest.raises(ValueError, match="not supported by the in-place patch path"):
        f[0].section[::2] = 0
    with pytest.raises(vexlo.FitsError, match="outside the range of i16"):
        f[0].section[0, 0] = 1e9
    with pytest.raises(NotImplementedError, match="can't delete item"):
        del f[0].section[0]


@pytest.mark.parametrize(
    "dtype, values, message",
    [
        ("u2", [65536.0, 70000.0], "physical value 65536 scales to 32768, outside the range of i16"),
        ("u2", [-1, 7], "physical value -1 scales to -32769, outside the range of i16"),
        ("i2", [40000.0, 1.0], "physical value 40000 scales to 40000, outside the range of i16"),
        ("i2", [1.0, 1e10], "physical value 10000000000 scales to 10000000000, outside the range "
                            "of i16"),
        ("i2", np.array([3, 40000]), "physical value 40000 scales to 40000, outside the range of i16"),
        ("i2", [2.0, np.nan], "cannot store an undefined pixel in an integer image that declares "
                              "no BLANK"),
        ("i4", [3e9, 0.0], "physical value 3000000000 scales to 3000000000, outside the range of "
                           "i32"),
        ("u1", [256.0, 0.0], "physical value 256 scales to 256, outside the range of u8"),
        ("i1", [127.0, 128.0], "physical value 128 scales to 256, outside the range of u8"),
        ("i8", [1e19, 0.0], "physical value 10000000000000000000 scales to 10000000000000000000, "
                            "which does not fit i64"),
    ],
)
def test_patch_of_values_beyond_an_integer_type_writes_nothing(tmp_path, dtype, values, message):
    p = make(tmp_path / "a.fits", np.arange(6, dtype=dtype).reshape(2, 3))
    before = p.read_bytes()
    with vexlo.open(p, mode="update") as f:
        with pytest.raises(vexlo.FitsError, match="^data: " + re.escape(message)):
            f[0].section[1, 0:2] = values
        np.testing.assert_array_equal(f[0].data, np.arange(6).reshape(2, 3))
    assert p.read_bytes() == before


@pytest.mark.parametrize(
    "dtype, values, expected",
    [
        ("u2", [0.0, 65535.9], [0, 65535]),
        ("i2", [-32768.5, 32767.9], [-32768, 32767]),  # an integer cast truncates
        ("i4", [-2147483648.0, 2147483647.0], [-2147483648, 2147483647]),
        ("u1", np.array([255, 0], "i8"), [255, 0]),
        ("i1", [-128.0, 127.0], [-128, 127]),
        ("i8", [-2**63, 2**63 - 1], [-2**63, 2**63 - 1]),
        ("u8", [2**64 - 1, 0], [2**64 - 1, 0]),
    ],
)
def test_patch_of_values_that_fit_an_integer_type_is_stored(tmp_path, dtype, values, expected):
    p = make(tmp_path / "a.fits", np.zeros(2, dtype))
    with vexlo.open(p, mode="update") as f:
        f[0].section[0:2] = values
    assert vexlo.getdata(p).tolist() == expected
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(p) as hdus:
        hdus.verify("exception")
        assert hdus[0].data.tolist() == expected
    fitsio = pytest.importorskip("fitsio")
    if dtype != "u8":  # fitsio's own limit on BZERO 2**63
        assert fitsio.read(str(p)).tolist() == expected


def test_unflushed_scaling_edit_takes_the_rewrite(tmp_path):
    p = make(tmp_path / "a.fits", np.zeros(4, "i2"))
    f = vexlo.open(p, mode="update")
    f[0].header["BZERO"] = 100.0
    f[0].section[0:2] = [5, 6]  # the file still stores unscaled values: no patch
    assert vexlo.open(p)[0].data[0] == 0
    f.close()
    np.testing.assert_array_equal(vexlo.open(p)[0].data[:2], [5, 6])


def test_list_edits_and_hdus_entering_a_file_mark_it(tmp_path):
    p = make(tmp_path / "a.fits", np.zeros(2, "u1"), np.ones(2, "u1"), np.full(2, 2, "u1"))
    f = vexlo.open(p, mode="update")
    del f[0]
    f.insert(-100, vexlo.image(np.full(3, 5, "i4")))
    f.append(vexlo.bintable({"x": np.arange(3)}))
    with pytest.raises(TypeError):
        f.append(42)
    with pytest.raises(IndexError, match="HDU index 9 out of range"):
        del f[9]
    hdu = vexlo.ImageHdu(np.zeros(2, "f4"))
    f.append(hdu)
    f.flush()
    hdu.header["LATE"] = 1  # edited after the flush: must still reach the file
    f.close()
    g = vexlo.open(p)
    assert len(g) == 5 and list(g[0].data) == [5, 5, 5]
    assert list(g[1].data) == [1, 1] and list(g[2].data) == [2, 2]
    assert g[4].header["LATE"] == 1
    ro = vexlo.open(p)
    with pytest.raises(ValueError, match="opened read-only"):
        ro.append(vexlo.image(np.zeros(1)))


def test_writeto_and_checksums(tmp_path):
    p = make(tmp_path / "a.fits", np.zeros(2, "u1"), np.ones(3, "i2"))
    f = vexlo.open(p)
    f.add_checksums()
    f.writeto(tmp_path / "b.fits")
    with pytest.raises(FileExistsError):
        f.writeto(tmp_path / "b.fits")
    rows = vexlo.open(tmp_path / "b.fits").verify_checksums()
    assert [(r["checksum_ok"], r["datasum_ok"]) for r in rows] == [(True, True)] * 2
    with pytest.raises(ValueError, match="opened read-only"):
        f.writeto(p, overwrite=True)
    empty = vexlo.FitsFile()
    with pytest.raises(ValueError, match="zero HDUs"):
        empty.writeto(tmp_path / "c.fits")
    assert sorted(os.listdir(tmp_path)) == ["a.fits", "b.fits"]


def test_rewrite_keeps_permission_bits(tmp_path):
    p = make(tmp_path / "a.fits", np.zeros(2, "u1"), np.arange(5000, dtype="i4"))
    os.chmod(p, 0o600)
    with vexlo.open(p, mode="update") as f:
        f[1].header["X"] = 1  # pixels never read: copied as stored after the new header
        del f[0]  # and the image moves into the primary's place
    assert os.stat(p).st_mode & 0o777 == 0o600
    g = vexlo.open(p)
    assert len(g) == 1 and g[0].header["X"] == 1 and "XTENSION" not in g[0].header
    np.testing.assert_array_equal(g[0].data, np.arange(5000))


FAILED_FLUSH_CHILD = r"""
import os, resource, signal, sys, vexlo
how, path = sys.argv[1], sys.argv[2]
folder = os.path.dirname(path)
before = open(path, "rb").read()
f = vexlo.open(path, mode="update")
f[0].header["X"] = 1
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
if how == "read-only folder":  # the new file cannot be made (not for root)
    os.chmod(folder, 0o500)
    undo = lambda: os.chmod(folder, 0o700)
elif how == "no descriptors":  # the new file cannot be opened
    spare = os.open(os.devnull, os.O_RDONLY)  # the lowest free descriptor
    os.close(spare)
    limits = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (spare, limits[1]))
    undo = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, limits)
else:  # the new file fills up after its first block
    limits = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (2880, limits[1]))
    undo = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, limits)
try:
    f.flush()
    raise SystemExit("the flush succeeded")
except vexlo.FitsError:
    pass
finally:
    undo()
assert open(path, "rb").read() == before
assert os.listdir(folder) == ["a.fits"], os.listdir(folder)
f.flush()  # the edit was still pending
f.close()
assert vexlo.open(path)[0].header["X"] == 1
"""


# Each way runs in a child, whose limits the suite does not share; only the first one depends on
# permissions, which root does not meet.
@pytest.mark.parametrize("how", ["read-only folder", "no descriptors", "size limit"])
def test_failed_flush_keeps_file_and_pending_edits(tmp_path, how):
    if how == "read-only folder" and os.geteuid() == 0:
        pytest.skip("root writes into read-only directories")
    if how == "no descriptors" and "libubsan" in os.environ.get("LD_PRELOAD", ""):
        # The undefined-behaviour sanitizer checks an object's type through a pipe, which a
        # process out of descriptors cannot make, and then reports every type as invalid.
        pytest.skip("the sanitizers need spare descriptors of their own")
    d = tmp_path / "d"
    d.mkdir()
    p = make(d / "a.fits", np.zeros(2, "u1"))
    done = subprocess.run([sys.executable, "-c", FAILED_FLUSH_CHILD, how, str(p)],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr + done.stdout
    g = vexlo.open(p)
    assert g[0].header["X"] == 1 and g[0].data.tolist() == [0, 0]
    fitsio = pytest.importorskip("fitsio")
    assert fitsio.read_header(str(p))["X"] == 1
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(p) as hdus:
        hdus.verify("exception")
        assert hdus[0].header["X"] == 1 and hdus[0].data.tolist() == [0, 0]


def test_gzip_file_is_refused_for_update_and_append(tmp_path):
    p = make(tmp_path / "a.fits", np.zeros(2, "u1"))
    gz = tmp_path / "a.fits.gz"
    gz.write_bytes(gzip.compress(p.read_bytes()))
    before = gz.read_bytes()
    with pytest.raises(vexlo.FitsError, match="gzip-compressed"):
        vexlo.open(gz, mode="update")
    with pytest.raises(vexlo.FitsError, match="gzip-compressed"):
        vexlo.append(gz, np.zeros(2))
    assert gz.read_bytes() == before


def test_concurrent_patches_against_a_reader(tmp_path):
    p = make(tmp_path / "a.fits", np.zeros((8, 64), "i4"))
    f = vexlo.open(p, mode="update")
    sec = f[0].section
    errors = []

    def patch(row):
        try:
            for k in range(200):
                sec[row, :] = np.full(64, k, "i4")
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    def read():
        try:
            for _ in range(200):
                vexlo.open(p)[0].section[0:8, 0:4]
        except Exception as e:  # pragma: no cover
            errors.append(e)

    threads = [threading.Thread(target=patch, args=(r,)) for r in range(8)]
    threads.append(threading.Thread(target=read))
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    f.close()
    assert not errors
    assert (vexlo.open(p)[0].data == 199).all()


KILLED_CHILD = r"""
import sys, numpy as np, vexlo
path = sys.argv[1]
f = vexlo.open(path, mode="update")
k = 0
while True:
    k += 1
    f[0].header["ROUND"] = k
    f[0].data = np.full((512, 1024), k % 2, "f8")
    f.flush()
    print(k, flush=True)
"""


def test_kill_during_flush_leaves_one_whole_version(tmp_path):
    p = make(tmp_path / "a.fits", np.zeros((512, 1024), "f8"))  # 4 MiB
    rng = np.random.default_rng(5)
    for _ in range(4):
        child = subprocess.Popen([sys.executable, "-c", KILLED_CHILD, str(p)],
                                 stdout=subprocess.PIPE, env=dict(os.environ))
        child.stdout.readline()
        threading.Event().wait(rng.uniform(0.0, 0.3))
        child.send_signal(signal.SIGKILL)
        child.wait()
        g = vexlo.open(p)
        data = g[0].data
        assert data.shape == (512, 1024)
        assert (data == data.flat[0]).all() and data.flat[0] in (0, 1)
    assert not [n for n in os.listdir(tmp_path) if n != "a.fits" and "vexlo-tmp" not in n]


def test_append_adds_an_extension_and_cuts_trailing_bytes(tmp_path):
    p = make(tmp_path / "a.fits", np.zeros(2, "u1"))
    with open(p, "ab") as fh:
        fh.write(b"\0" * 5760)
    vexlo.append(p, np.arange(3, dtype="i2"), {"EXTNAME": "NEW"})
    assert os.path.getsize(p) == 2880 * 4
    g = vexlo.open(p)
    assert len(g) == 2 and list(g["NEW"].data) == [0, 1, 2]
    with pytest.raises(TypeError, match=r"vexlo.append: data must be an image array"):
        vexlo.append(p, object())


def test_path_level_functions(tmp_path):
    p = make(tmp_path / "a.fits", np.zeros(0, "u1"), np.arange(3, dtype="i2"))
    np.testing.assert_array_equal(vexlo.getdata(p), [0, 1, 2])
    data, head = vexlo.getdata(p, 1, header=True)
    assert head["NAXIS1"] == 3
    with pytest.raises(IndexError, match="No data in HDU #0."):
        vexlo.getdata(p, 0)
    assert vexlo.getheader(p, 1)["BITPIX"] == 16
    vexlo.setval(p, "OBJECT", "M31", ext=1, comment="target")
    assert vexlo.getval(p, "OBJECT", 1) == "M31"
    assert vexlo.getheader(p, 1).comment("OBJECT") == "target"
    vexlo.delval(p, "OBJECT", ext=1)
    with pytest.raises(KeyError, match='no header card "OBJECT"'):
        vexlo.getval(p, "OBJECT", 1)
    assert [row[3] for row in vexlo.info(p)] == ["ImageHdu", "ImageHdu"]
    assert vexlo.info(p)[1][4] == [3]


def test_setval_with_only_a_comment_keeps_the_value(tmp_path):
    p = str(make(tmp_path / "a.fits", np.arange(3, dtype="i2")))
    vexlo.setval(p, "OBJECT", "M31", comment="target")
    vexlo.setval(p, "OBJECT", comment="new comment")
    vexlo.setval(p, "BIGI", 123456789012345678901)
    vexlo.setval(p, "BIGI", None, comment="identifier")
    # A new keyword without a value is written undefined, with or without a comment.
    vexlo.setval(p, "FILTER", comment="band")
    vexlo.setval(p, "EMPTY")
    with pytest.raises(ValueError, match="structural card"):
        vexlo.setval(p, "NAXIS", comment="axes")
    h = vexlo.getheader(p)
    assert h["OBJECT"] == "M31" and h.comment("OBJECT") == "new comment"
    assert h["BIGI"] == 123456789012345678901 and h.comment("BIGI") == "identifier"
    assert h["FILTER"] is None and h.comment("FILTER") == "band"
    assert h["EMPTY"] is None
    assert [k for k in h if k == "OBJECT"] == ["OBJECT"]
    fitsio = pytest.importorskip("fitsio")
    assert fitsio.read_header(p)["OBJECT"] == "M31"
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(p) as hdus:
        hdus.verify("exception")
        assert hdus[0].header["OBJECT"] == "M31"
        assert hdus[0].header.comments["OBJECT"] == "new comment"
        assert hdus[0].header["BIGI"] == 123456789012345678901


def test_append_refuses_table_cards_and_writes_nothing(tmp_path):
    p = str(tmp_path / "a.fits")
    vexlo.write(p, [vexlo.image(np.zeros(2, "u1")),
                    vexlo.bintable({"TIME": np.arange(3.0)}, extname="EVENTS")])
    before = open(p, "rb").read()
    with pytest.raises(ValueError, match="header card TFIELDS belongs to a table"):
        vexlo.append(p, np.arange(6, dtype=np.int16), vexlo.getheader(p, "EVENTS"))
    with pytest.raises(ValueError, match="card PTYPE1 belongs to a table or random-groups HDU"):
        vexlo.append(p, np.arange(6, dtype=np.int16), {"PTYPE1": "UU"})
    assert open(p, "rb").read() == before
    # Failures to build the image itself are reported as before.
    with pytest.raises(TypeError, match=r"vexlo.append: data must be an image array"):
        vexlo.append(p, object(), {"OBJECT": "x"})
    with pytest.raises(TypeError, match=r"vexlo.append: data must be .*header must be"):
        vexlo.append(p, np.zeros(2), 5)


FULL_DISK_CHILD = r"""
import os, resource, signal, sys, numpy as np, vexlo
path = sys.argv[1]
before = open(path, "rb").read()
f = vexlo.open(path, mode="update")
f[0].header["X"] = 1
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
resource.setrlimit(resource.RLIMIT_FSIZE, (4096, hard))  # the new file cannot be written
try:
    f.flush()
    raise SystemExit("flush succeeded on a full disk")
except vexlo.FitsError:
    pass
assert open(path, "rb").read() == before
assert [n for n in os.listdir(os.path.dirname(path))] == ["a.fits"]
resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
f.flush()  # the edit stayed pending
assert vexlo.open(path)[0].header["X"] == 1
"""


def test_full_disk_flush_keeps_file_and_pending_edits(tmp_path):
    p = make(tmp_path / "a.fits", np.zeros((100, 100), "f8"))
    done = subprocess.run([sys.executable, "-c", FULL_DISK_CHILD, str(p)],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


APPEND_FULL_DISK_CHILD = r"""
import resource, signal, sys, numpy as np, vexlo
path = sys.argv[1]
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
resource.setrlimit(resource.RLIMIT_FSIZE, (int(sys.argv[2]), hard))
try:
    vexlo.append(path, np.ones((300, 300), "f8"))
    raise SystemExit("append succeeded past the size limit")
except vexlo.FitsError:
    pass
"""


@pytest.mark.parametrize("trailing", [b"", b"\0" * 2880])
def test_failed_append_leaves_the_file_as_it_was(tmp_path, trailing):
    # A disk that fills part way through an append: the partial HDU is cut off again, so the
    # file still opens, and the next append works.
    p = make(tmp_path / "a.fits", np.arange(6, dtype="i2"))
    with open(p, "ab") as f:
        f.write(trailing)
    before = p.read_bytes()
    limit = len(before) + 3 * 2880
    done = subprocess.run([sys.executable, "-c", APPEND_FULL_DISK_CHILD, str(p), str(limit)],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert p.read_bytes() == before
    assert vexlo.getdata(p).tolist() == list(range(6))
    vexlo.append(p, np.full(3, 7, "i4"))
    assert [row[3] for row in vexlo.info(p)] == ["ImageHdu", "ImageHdu"]
    assert vexlo.getdata(p, 1).tolist() == [7, 7, 7]
    fitsio = pytest.importorskip("fitsio")
    assert fitsio.read(str(p), ext=1).tolist() == [7, 7, 7]
    fits = pytest.importorskip("astropy.io.fits")
    with fits.open(p) as hdus:
        hdus.verify("exception")
        assert hdus[0].data.tolist() == list(range(6))


def test_scaled_byte_patch_refuses_values_beyond_the_byte_range(tmp_path):
    # BITPIX 8 with BSCALE 2: 510 is stored as 255, 512 would need 256.
    p = make(tmp_path / "a.fits", np.zeros(4, "u1"), header={"BSCALE": 2.0})
    with vexlo.open(str(p), mode="update") as f:
        f[0].section[0] = 510.0
        with pytest.raises(vexlo.FitsError):
            f[0].section[1] = 512.0
    assert vexlo.getdata(p).tolist() == [510.0, 0.0, 0.0, 0.0]


def test_getdata_raises_the_image_read_error_itself(tmp_path):
    # The file opens, but its pixels cannot become an array: that error, not a missing
    # to_dict, is what getdata reports.
    from fits_bytes import card, header_bytes, padded

    cards = [card("SIMPLE", True), card("BITPIX", 8), card("NAXIS", 70)]
    cards += [card(f"NAXIS{i}", 1) for i in range(1, 71)]
    path = tmp_path / "n70.fits"
    path.write_bytes(header_bytes(cards) + padded(b"\x05"))
    for call in (lambda: vexlo.getdata(path), lambda: vexlo.getdata(path, 0, header=True)):
        with pytest.raises(vexlo.FitsError) as e:
            call()
        assert "NumPy cannot hold an array of 70 axes" in str(e.value)

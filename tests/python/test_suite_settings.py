"""The suite's own settings (conftest.py): where the tests were built, a test-only extension that
does not import fails the run rather than skipping every test that needs it."""

import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
# A test that needs vexlo_testing, and an extension that fails to import as one with an
# undefined symbol would.
NEEDS_HOOKS = os.path.join(HERE, "test_header_edit.py") + "::test_update_from_itself"
BROKEN_HOOKS = 'raise ImportError("vexlo_testing.so: undefined symbol: _ZN5vexlo4gone")\n'


@pytest.mark.parametrize("require, fails, says", [
    ("1", True, "VEXLO_REQUIRE_HOOKS=1 but the test-only extension vexlo_testing does not import"),
    (None, False, "1 skipped"),
    ("0", False, "1 skipped"),
], ids=["required", "unset", "not-required"])
def test_a_test_only_extension_that_does_not_import(tmp_path, require, fails, says):
    (tmp_path / "vexlo_testing.py").write_text(BROKEN_HOOKS)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path)] + [p for p in sys.path if p]))
    env.pop("VEXLO_REQUIRE_HOOKS", None)
    if require is not None:
        env["VEXLO_REQUIRE_HOOKS"] = require
    done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                           NEEDS_HOOKS], capture_output=True, text=True, env=env, cwd=tmp_path)
    output = done.stdout + done.stderr
    assert (done.returncode != 0) == fails, output
    assert says in output
    if fails:
        assert "undefined symbol" in output

"""The test-only extension vexlo_testing, built beside vexlo in the build tree (tools/test.sh)
and never installed: tests that drive the bindings through it skip where it is absent, as
when the suite runs against a pip-installed vexlo."""

import pytest

try:
    import vexlo_testing as T
except ImportError:
    T = None

needs_hooks = pytest.mark.skipif(T is None, reason="vexlo_testing is built only with the tests")

"""The test-only extension vexlo_testing, built beside vexlo in the build tree (tools/test.sh)
and never installed: tests that drive the bindings through it skip where it is absent, as
when the suite runs against a pip-installed vexlo. Where the tests were built
(VEXLO_REQUIRE_HOOKS=1), an extension that fails to import fails the run instead (conftest.py),
so that an undefined symbol cannot turn into a run of skips."""

import pytest

try:
    import vexlo_testing as T
except ImportError:
    T = None

needs_hooks = pytest.mark.skipif(T is None, reason="vexlo_testing is built only with the tests")


@pytest.fixture(params=[None, 3, 7], ids=["machine-parts", "3-parts", "7-parts"])
def split_passes(request):
    """Runs the test with parallel passes split as the machine splits them, then into 3 and
    into 7 parts (counts that leave remainders in the row counts the tests use), so that row
    ranges and their seams are exercised on every machine, a one-core one included."""
    if request.param is None:
        yield None
        return
    if T is None:
        pytest.skip("vexlo_testing is built only with the tests")
    T.force_parts(request.param)
    try:
        yield request.param
    finally:
        T.force_parts(0)

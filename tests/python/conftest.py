"""Suite-wide settings. The peer readers (astropy, fitsio, scipy, mpmath and Debian's fitsverify) are
test-only oracles, and a test that needs one skips where it is missing. CI sets
VEXLO_REQUIRE_PEERS=1: then a missing peer fails the run instead, so that the interop checks
never drop out of a stage unnoticed. Likewise VEXLO_REQUIRE_HOOKS=1, set where the suite runs
against the build tree, fails the run when the test-only extension vexlo_testing does not import
there; against a pip-installed vexlo, which never has it, the tests that need it skip."""

import importlib
import os
import re
import shutil

import pytest

REQUIRE_PEERS = os.environ.get("VEXLO_REQUIRE_PEERS") == "1"
REQUIRE_HOOKS = os.environ.get("VEXLO_REQUIRE_HOOKS") == "1"
PEER_MODULES = ("astropy.io.fits", "astropy.wcs", "fitsio", "scipy", "mpmath")
# The skip reasons of pytest.importorskip for a peer and of the fitsverify helper.
MISSING_PEER = re.compile(r"could not import '(astropy|fitsio|scipy|mpmath)\b|fitsverify is not installed")


def pytest_configure(config):
    if REQUIRE_HOOKS:
        try:
            importlib.import_module("vexlo_testing")
        except ImportError as e:
            raise pytest.UsageError(
                f"VEXLO_REQUIRE_HOOKS=1 but the test-only extension vexlo_testing does not "
                f"import: {e}")
    if not REQUIRE_PEERS:
        return
    missing = []
    for name in PEER_MODULES:
        try:
            importlib.import_module(name)
        except ImportError as e:
            missing.append(f"{name} ({e})")
    if shutil.which("fitsverify") is None:
        missing.append("fitsverify (not on PATH)")
    if missing:
        raise pytest.UsageError(
            "VEXLO_REQUIRE_PEERS=1 but peers are missing: " + ", ".join(missing))


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if not (REQUIRE_PEERS and report.skipped and call.excinfo is not None):
        return
    reason = str(call.excinfo.value)
    if MISSING_PEER.search(reason):
        report.outcome = "failed"
        report.longrepr = f"a peer is required (VEXLO_REQUIRE_PEERS=1): {reason}"

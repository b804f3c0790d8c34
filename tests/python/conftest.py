"""Suite-wide settings. The peer readers (astropy, fitsio, scipy and Debian's fitsverify) are
test-only oracles, and a test that needs one skips where it is missing. CI sets
VEXLO_REQUIRE_PEERS=1: then a missing peer fails the run instead, so that the interop checks
never drop out of a stage unnoticed."""

import importlib
import os
import re
import shutil

import pytest

REQUIRE_PEERS = os.environ.get("VEXLO_REQUIRE_PEERS") == "1"
PEER_MODULES = ("astropy.io.fits", "astropy.wcs", "fitsio", "scipy")
# The skip reasons of pytest.importorskip for a peer and of the fitsverify helper.
MISSING_PEER = re.compile(r"could not import '(astropy|fitsio|scipy)\b|fitsverify is not installed")


def pytest_configure(config):
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

"""Shared fixtures for korvo's Python tests."""

import sys

import pytest


@pytest.fixture
def unraisable(monkeypatch):
    """Collects what reaches sys.unraisablehook during the test."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


def refcount_growth(work, repeat=1000, warmup=50, rounds=3):
    """Smallest growth of the interpreter's total reference count over `rounds` runs of `repeat`
    calls, per call. Needs the debug interpreter; background threads finishing or caches filling
    can disturb one round, rarely all of them."""
    gettotal = getattr(sys, "gettotalrefcount", None)
    if gettotal is None:
        pytest.skip("needs the debug interpreter (sys.gettotalrefcount)")
    import gc

    for _ in range(warmup):
        work()
    growth = []
    for _ in range(rounds):
        gc.collect()
        before = gettotal()
        for _ in range(repeat):
            work()
        gc.collect()
        growth.append((gettotal() - before) / repeat)
    return min(growth)


class _QuietLogger:
    def warn(self, msg):
        pass

    def debug(self, msg):
        pass


@pytest.fixture
def quiet_bridge_logger(monkeypatch):
    """Silences the bridge module's diagnostics (setup_socket's lines) for tests about other things."""
    from korvo.utils.relaybus import relaybus

    monkeypatch.setattr(relaybus, "logger", _QuietLogger())

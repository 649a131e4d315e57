"""Shared fixtures for korvo's Python tests."""

import gc
import sys

import pytest


@pytest.fixture
def unraisable(monkeypatch):
    """Collects what reaches sys.unraisablehook during the test."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


@pytest.fixture
def refcount_growth():
    """refcount_growth(work, repeat=1000, warmup=50, rounds=3): growth of the interpreter's total
    reference count per call of work(), the least over `rounds` runs of `repeat` calls. A leak of
    one reference per call reads 1.0. Needs the debug interpreter; background threads finishing or
    caches filling can disturb one round, rarely all of them."""

    def measure(work, repeat=1000, warmup=50, rounds=3):
        # Skips here rather than at setup, so what the test checks before measuring still runs.
        gettotal = getattr(sys, "gettotalrefcount", None)
        if gettotal is None:
            pytest.skip("needs the debug interpreter (sys.gettotalrefcount)")
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

    return measure

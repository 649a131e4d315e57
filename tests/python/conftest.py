"""Shared fixtures for korvo's Python tests."""

import gc
import importlib.util
import os
import subprocess
import sys
import textwrap

import pytest

# The suite needs a development build: its test-only extension modules (quillet_testext, ...) are
# not in the wheel. Without them (pytest run against an installed korvo) nothing is collected and
# the header says how the tests are run.
DEVELOPMENT_BUILD = importlib.util.find_spec("quillet_testext") is not None
NOT_A_DEVELOPMENT_BUILD = ("korvo's tests need a development build, which the installed package is not: run them "
                           "with ./dev test in a checkout (see the README)")


def pytest_report_header(config):
    return None if DEVELOPMENT_BUILD else NOT_A_DEVELOPMENT_BUILD


def pytest_ignore_collect(collection_path, config):
    return None if DEVELOPMENT_BUILD else True


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


@pytest.fixture
def child():
    """child(code, timeout=60, returncode=0, env=None): runs `code` in a fresh interpreter (with
    `env` added to the environment) and returns its stdout. A crash, a hang past the deadline or an
    exit status other than `returncode` (-N: killed by signal N) fails the test that asked, not the
    run."""

    def run(code, timeout=60, returncode=0, env=None):
        try:
            proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, errors="replace",
                                  timeout=timeout, env=None if env is None else {**os.environ, **env})
        except subprocess.TimeoutExpired as exc:
            pytest.fail(f"child still running after {timeout} s:\n{exc.stdout}\n{exc.stderr}")
        assert proc.returncode == returncode, f"child exited with {proc.returncode}:\n{proc.stdout}\n{proc.stderr[-3000:]}"
        return proc.stdout

    return run

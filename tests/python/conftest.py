"""Shared fixtures for korvo's Python tests."""

import sys

import pytest


@pytest.fixture
def unraisable(monkeypatch):
    """Collects what reaches sys.unraisablehook during the test."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen

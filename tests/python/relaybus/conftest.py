"""Fixtures for the bridge module's tests."""

import pytest


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

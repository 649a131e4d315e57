"""setup_socket: options, logging through the module-level logger, argument rules."""

import socket

import pytest

from korvo.utils.relaybus import relaybus


class RecordingLogger:
    def __init__(self):
        self.records = []

    def warn(self, msg):
        self.records.append(("warn", msg))

    def debug(self, msg):
        self.records.append(("debug", msg))


@pytest.fixture
def recorded(monkeypatch):
    recorder = RecordingLogger()
    monkeypatch.setattr(relaybus, "logger", recorder)  # looked up at each use
    return recorder.records


@pytest.mark.parametrize("blocking", [True, False])
@pytest.mark.parametrize("recvbuf", [1 << 20, 0, -5])
def test_socket_made_as_asked(recorded, blocking, recvbuf):
    sock = relaybus.setup_socket(blocking, recvbuf)
    try:
        assert (sock.family, sock.type) == (socket.AF_INET, socket.SOCK_DGRAM)
        assert sock.getblocking() is blocking
        with pytest.raises(OSError):
            sock.getpeername()
        assert sock.getsockname() == ("0.0.0.0", 0)  # not bound
        granted = sock.getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF)
        if recvbuf > 0:
            assert granted >= recvbuf  # root may force beyond the system limit; Linux doubles it
        assert recorded[-1] == ("debug", f"SO_RCVBUF= {granted}")
        assert [level for level, _ in recorded] == ["debug"]
    finally:
        sock.close()


def test_keyword_arguments(recorded):
    relaybus.setup_socket(recvbuf=0, blocking=1).close()


@pytest.mark.parametrize(
    ("args", "kwargs", "exc_type"),
    [
        ((True,), {}, TypeError),
        ((True, 1, 2), {}, TypeError),
        ((True, "big"), {}, TypeError),
        ((True, 2**31), {}, OverflowError),
        ((True,), {"size": 1}, TypeError),
    ],
)
def test_argument_errors(recorded, args, kwargs, exc_type):
    with pytest.raises(exc_type):
        relaybus.setup_socket(*args, **kwargs)


def test_forcing_failure_falls_back(recorded, monkeypatch):
    """Without the capability the forced option fails with a permission error: warn, then SO_RCVBUF."""
    real_socket = socket.socket

    class Unprivileged(real_socket):
        def setsockopt(self, level, option, value):
            if option == 33:
                raise PermissionError(1, "Operation not permitted")
            return super().setsockopt(level, option, value)

    monkeypatch.setattr(socket, "socket", Unprivileged)
    sock = relaybus.setup_socket(True, 65536)
    sock.close()
    assert recorded[0] == ("warn", "SO_RCVBUFFORCE needs CAP_NET_ADMIN (sudo or setcap). Falling back to SO_RCVBUF.")
    assert recorded[1][0] == "debug" and len(recorded) == 2


def test_other_forcing_error_is_reported_with_its_text(recorded, monkeypatch):
    real_socket = socket.socket

    class Odd(real_socket):
        def setsockopt(self, level, option, value):
            if option == 33:
                raise OSError(22, "Invalid argument")
            return super().setsockopt(level, option, value)

    monkeypatch.setattr(socket, "socket", Odd)
    relaybus.setup_socket(True, 65536).close()
    assert recorded[0] == ("warn", "WARNING: SO_RCVBUFFORCE failed ([Errno 22] Invalid argument). Falling back.")


def test_non_oserror_from_forcing_propagates(recorded, monkeypatch):
    real_socket = socket.socket

    class Broken(real_socket):
        def setsockopt(self, level, option, value):
            raise KeyError("boom")

    made = []
    monkeypatch.setattr(socket, "socket", lambda *args: made.append(Broken(*args)) or made[-1])
    with pytest.raises(KeyError):
        relaybus.setup_socket(True, 65536)
    assert made[0].fileno() == -1  # closed, not left to the collector


def test_other_platforms_never_force(recorded, monkeypatch):
    monkeypatch.setattr(relaybus.sys, "platform", "win32")
    real_socket = socket.socket
    options = []

    class Spy(real_socket):
        def setsockopt(self, level, option, value):
            options.append(option)
            return super().setsockopt(level, option, value)

    monkeypatch.setattr(socket, "socket", Spy)
    relaybus.setup_socket(False, 65536).close()
    assert options == [socket.SO_RCVBUF]
    assert [level for level, _ in recorded] == ["debug"]

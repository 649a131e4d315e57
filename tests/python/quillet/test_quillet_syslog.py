"""SyslogHandler against a real rsyslog: every transport, every header field, structured data as
rsyslog parses it, hostile messages, the collector going away mid-stream, fork, and exit."""

import os
import pickle
import socket
import subprocess
import sys
import textwrap
import threading
from datetime import datetime

import pytest

from korvo.quillet import Level, LogHandler, Logger, SyslogHandler
from rsyslog_collector import RSYSLOGD, Collector

pytestmark = pytest.mark.skipif(not os.path.exists(RSYSLOGD), reason="rsyslogd is not installed")

TRANSPORTS = ["udp", "tcp", "unix"]
ORIGIN = "quillet@32473"
FIELDS = "fields@32473"
FACILITY_CODES = {"kern": 0, "user": 1, "daemon": 3, "authpriv": 10, "local0": 16, "local7": 23}
# Level method -> RFC 5424 severity.
SEVERITIES = [("trace", 7), ("debug", 7), ("info", 6), ("warn", 4), ("error", 3), ("critical", 2)]


@pytest.fixture(scope="module")
def collector(tmp_path_factory):
    c = Collector(tmp_path_factory.mktemp("rsyslog"))
    c.start()
    yield c
    c.stop()


@pytest.fixture
def own_collector(tmp_path):
    c = Collector(tmp_path)
    c.start()
    yield c
    c.stop()


_apps = iter(range(1_000_000))


def syslog_logger(new_logger, collector, transport, **kwargs):
    """A Logger with one SyslogHandler to `collector`, under an app name of its own."""
    app = kwargs.pop("app_name", f"app{next(_apps)}")
    handler = SyslogHandler(collector.address(transport), transport=transport, app_name=app, **kwargs)
    return new_logger(f"svc.{app}", handlers=[handler]), handler, app


@pytest.mark.parametrize("transport", TRANSPORTS)
@pytest.mark.parametrize("facility", ["user", "local7"])
def test_every_header_field_arrives_as_sent(new_logger, collector, transport, facility):
    log, _, app = syslog_logger(new_logger, collector, transport, facility=facility)
    lines = {}

    def emit():
        for method, _ in SEVERITIES:
            lines[method] = sys._getframe().f_lineno + 1
            getattr(log, method)(f"{method} record")

    emit()
    log.flush()
    records = collector.wait_for(app, len(SEVERITIES))
    assert [r["msg"] for r in records] == [f"{m} record" for m, _ in SEVERITIES]
    for record, (method, severity) in zip(records, SEVERITIES):
        assert record["severity"] == str(severity)
        assert record["facility"] == str(FACILITY_CODES[facility])
        assert (record["app"], record["procid"], record["msgid"]) == (app, str(os.getpid()), f"svc.{app}")
        assert record["host"] == socket.gethostname()
        assert datetime.fromisoformat(record["time"]).utcoffset() is not None
        assert record["sd"] == {ORIGIN: {"logger": f"svc.{app}", "file": "test_quillet_syslog.py",
                                         "line": str(lines[method]), "function": "emit",
                                         "thread": str(threading.get_native_id())}}


HOSTILE = [
    'quotes " and "" and a closing ] bracket',
    "back\\slashes \\\\ and \\] and \\\"",
    "new\nlines\r\nand\ttabs",
    "control \x01\x02\x1b[31m\x7f characters",
    "non-ASCII é ß 漢字 🎉 \u200b\ufeff",
    "[fake@32473 sd=\"x\"] looks like structured data",
    " leading and trailing spaces ",
    "",
]


@pytest.mark.parametrize("transport", TRANSPORTS)
def test_hostile_messages_arrive_whole(new_logger, collector, transport):
    log, _, app = syslog_logger(new_logger, collector, transport)
    for text in HOSTILE:
        log.info(text)
    log.info("lone \ud800 surrogate")  # written as its escape, not lost
    log.info("x" * 20000)  # beyond the 8192 octets of one message
    log.flush()
    records = collector.wait_for(app, len(HOSTILE) + 2)
    assert [r["msg"] for r in records[:-1]] == HOSTILE + ["lone \\ud800 surrogate"]
    long = records[-1]
    assert long["msg"] == "x" * len(long["msg"]) and 7000 < len(long["msg"]) < 8192
    assert int(long["sd"][ORIGIN]["truncated"]) > 20000


def test_fields_arrive_as_structured_data(new_logger, collector):
    log, _, app = syslog_logger(new_logger, collector, "udp")
    fields = {"user": 42, "name": 'a"]\\b', "ok": True, "none": None, "ratio": 0.5, "bad key=]\"": "v",
              "text": "line\nbreak é"}
    log.info("login", fields=fields)
    log.info("plain")
    log.bind(request="r1").info("bound", fields={"user": 7})
    log.flush()
    first, plain, bound = collector.wait_for(app, 3)
    assert first["msg"] == "login"
    assert first["sd"][FIELDS] == {"user": "42", "name": 'a"]\\b', "ok": "true", "none": "null", "ratio": "0.5",
                                   "bad_key___": "v", "text": "line\nbreak é"}
    assert FIELDS not in plain["sd"]
    assert bound["sd"][FIELDS] == {"request": "r1", "user": "7"}


def test_collector_away_mid_stream(new_logger, own_collector):
    """Records logged while the collector is down wait in the queue; beyond queue_size they are
    counted, and one message says how many once sending resumes. Nothing else is lost."""
    queue_size, down = 50, 80
    log, handler, app = syslog_logger(new_logger, own_collector, "tcp", queue_size=queue_size)
    for i in range(20):
        log.info(f"before {i}")
    log.flush()
    assert len(own_collector.wait_for(app, 20)) == 20

    own_collector.stop()
    for i in range(down):
        log.info(f"down {i}")
    log.flush()  # returns at once: the collector is away
    assert handler.dropped == down - queue_size

    own_collector.start()
    records = own_collector.wait_for(app, 20 + queue_size + 1)
    for i in range(10):
        log.info(f"after {i}")
    log.flush()
    records = own_collector.wait_for(app, 20 + queue_size + 1 + 10)
    expected = ([f"before {i}" for i in range(20)] + [f"down {i}" for i in range(queue_size)] +
                [f"{down - queue_size} syslog records dropped: the queue of {queue_size} records was full"] +
                [f"after {i}" for i in range(10)])
    assert [r["msg"] for r in records] == expected
    notice = records[20 + queue_size]
    assert (notice["msgid"], notice["severity"]) == ("dropped", "4")
    assert notice["sd"][FIELDS] == {"dropped": str(down - queue_size)}
    assert handler.dropped == down - queue_size


def test_loggers_share_the_description_sink(new_logger, collector):
    handler = SyslogHandler(collector.address("udp"), app_name="shared")
    first = new_logger("shared.a", handlers=[handler])
    second = new_logger("shared.b", handlers=[handler])
    first.info("one")
    second.info("two")
    handler.app_name = "shared.changed"  # a later Logger gets a sink as it now says
    third = new_logger("shared.c", handlers=[handler])
    third.info("three")
    first.info("four")
    for log in (first, second, third):
        log.flush()
    assert [r["msg"] for r in collector.wait_for("shared", 3)] == ["one", "two", "four"]
    assert [r["msg"] for r in collector.wait_for("shared.changed", 1)] == ["three"]
    assert handler.dropped == 0


def test_description_attributes_and_pickling():
    h = SyslogHandler()
    assert isinstance(h, LogHandler)
    assert (h.address, h.transport, h.facility, h.app_name, h.level, h.queue_size, h.dropped) == (
        ("127.0.0.1", 514), "udp", "user", None, Level.TRACE, 10000, 0)
    h = SyslogHandler("/dev/log", transport="unix", facility="daemon", app_name="me", level=Level.WARN, queue_size=5)
    copy = pickle.loads(pickle.dumps(h))
    assert repr(copy) == repr(h) == ("SyslogHandler(address='/dev/log', transport='unix', facility='daemon', "
                                     "app_name='me', level=Level.WARN, queue_size=5)")
    with pytest.raises(AttributeError):
        h.dropped = 1


@pytest.mark.parametrize("kwargs, error, text", [
    ({"transport": "sctp"}, ValueError, "transport must be 'udp', 'tcp' or 'unix', not 'sctp'"),
    ({"facility": "local8"}, ValueError, "unknown syslog facility 'local8'"),
    ({"address": "/dev/log"}, ValueError, "transport 'udp' needs a (host, port) tuple as address"),
    ({"transport": "unix"}, ValueError, "transport 'unix' needs the socket's path (a str) as address"),
    ({"address": ("h", 65536)}, ValueError, "address port must be 0 to 65535"),
    ({"address": 514}, TypeError, "address must be a (host, port) tuple or a socket path (str), not int"),
    ({"queue_size": 0}, ValueError, "queue_size must be at least 1"),
    ({"queue_size": -1}, OverflowError, "can't convert negative value to size_t"),
    ({"level": 7}, ValueError, "7 is not a valid Level"),
    ({"app_name": b"x"}, TypeError, "Argument 'app_name' has incorrect type"),
])
def test_bad_arguments_are_refused(kwargs, error, text):
    with pytest.raises(error) as raised:
        SyslogHandler(**kwargs)
    assert str(raised.value).startswith(text)
    h = SyslogHandler()
    name, value = next(iter(kwargs.items()))
    # address and transport are checked together, at construction; a level attribute takes any
    # integer, as on every handler.
    if name not in ("address", "transport", "level"):
        with pytest.raises(error):
            setattr(h, name, value)


def test_a_bad_pairing_set_later_fails_logger_construction(new_logger):
    h = SyslogHandler()
    h.transport = "unix"
    with pytest.raises(ValueError, match="needs the socket's path"):
        new_logger("bad.pairing", handlers=[h])


def run_child(script, timeout=30):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True,
                          timeout=timeout, env=dict(os.environ))


def test_forked_child_sends_as_itself(collector):
    script = f"""
        import os
        from korvo.quillet import Logger, SyslogHandler
        log = Logger("forked", handlers=[SyslogHandler({collector.address('tcp')!r}, transport="tcp",
                                                       app_name="forked")])
        log.info("parent before")
        log.flush()
        pid = os.fork()
        if pid == 0:
            log.info(f"child {{os.getpid()}}")
            log.flush()
            os._exit(0)
        os.waitpid(pid, 0)
        log.info(f"parent {{os.getpid()}}")
        log.flush()
    """
    result = run_child(script)
    assert result.returncode == 0, result.stderr
    records = collector.wait_for("forked", 3)
    assert records[0]["msg"] == "parent before"
    assert sorted(r["msg"].split()[0] for r in records[1:]) == ["child", "parent"]
    for r in records[1:]:
        assert r["msg"].split()[1] == r["procid"]
    assert len(records) == 3


def test_exit_with_the_collector_away_does_not_hang():
    port = socket.socket()
    port.bind(("127.0.0.1", 0))
    address = port.getsockname()  # bound, never listening: connections are refused
    script = f"""
        from korvo.quillet import Logger, SyslogHandler
        log = Logger("away", handlers=[SyslogHandler({address!r}, transport="tcp")])
        for i in range(100):
            log.info(f"record {{i}}")
        log.flush()
    """
    try:
        result = run_child(script)
    finally:
        port.close()
    assert result.returncode == 0, result.stderr
    assert "100 records not sent: the collector is unreachable" in result.stderr

"""Key-value fields on records (per call, bound, forwarded) and JSON-lines handlers."""

import copy
import json
import logging
import os
import pickle
import re
import threading

import pytest

import quillet_testext as ext
from korvo.quillet import quillet as q
from quillet_support import attached_logger, run_child_on_terminal

L = q.Level


class Shown:
    def __str__(self):
        return "shown"


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


# A call's value -> what the record carries (JSON's types; anything else as its str()).
VALUES = [
    (None, None),
    (True, True),
    (False, False),
    (-(2**63), -(2**63)),
    (2**63 - 1, 2**63 - 1),
    (2**64, str(2**64)),
    (1.5, 1.5),
    (float("inf"), "Infinity"),
    ("text", "text"),
    ("", ""),
    ("a\ud800b", "a\\ud800b"),
    (Shown(), "shown"),
    ([1, "x"], "[1, 'x']"),
]

# Every method that logs, called with fields; the level it logs at.
CALLS = [(m, lambda lg, m=m, **kw: getattr(lg, m)("msg", **kw), n) for n, m in
         enumerate(["trace", "debug", "info", "warn", "error", "critical"])] + [
    ("warning", lambda lg, **kw: lg.warning("msg", **kw), 3),
    ("exception", lambda lg, **kw: lg.exception("msg", **kw), 4),
    ("log", lambda lg, **kw: lg.log(L.INFO, "msg", 31, **kw), 2),
]


def fields_of(records):
    assert records
    return [r.get("fields") for r in records]


@pytest.mark.parametrize(("name", "call", "lvl"), CALLS, ids=[c[0] for c in CALLS])
def test_every_log_call_carries_its_fields(recorded, name, call, lvl):
    call(recorded, fields={f"k{i}": v for i, (v, _) in enumerate(VALUES)})
    records = ext.records()
    assert [r["level"] for r in records] == [lvl, lvl]
    expected = {f"k{i}": want for i, (_, want) in enumerate(VALUES)}
    assert fields_of(records) == [expected, expected]
    call(recorded, fields={})
    call(recorded, fields=None)
    assert fields_of(ext.records()) == [None] * 4


@pytest.mark.parametrize(("kwargs", "exc", "text"), [
    ({"fields": [("k", 1)]}, TypeError, "fields must be a dict with str keys, not list"),
    ({"fields": {1: "x"}}, TypeError, "fields keys must be str, not int"),
    ({"fields": {"k": Unprintable()}}, RuntimeError, "no text"),
])
def test_bad_fields_raise_and_log_nothing(recorded, kwargs, exc, text):
    with pytest.raises(exc, match=text):
        recorded.info("m", **kwargs)
    with pytest.raises(exc, match=text):
        recorded.log(L.INFO, "m", **kwargs)
    assert ext.records() == []


def test_fields_are_keyword_only_and_filtered_calls_skip_them(recorded):
    with pytest.raises(TypeError, match=r"info\(\) takes at most 4 positional arguments \(5 given\)"):
        recorded.info("m", 1, 2, 3, {"k": 1})
    recorded.level = L.WARN
    try:
        recorded.info("m", fields={1: Unprintable()})  # filtered: the fields are never looked at
    finally:
        recorded.level = L.TRACE
    assert ext.records() == []


def test_bound_fields_merge_and_the_call_wins(recorded):
    base = recorded.bind(service="api", user=1)
    child = base.bind(user=2, request="r1")
    assert type(base) is type(recorded)
    child.info("m", fields={"request": "r2", "extra": None})
    base.info("m")
    recorded.info("m")
    got = fields_of(ext.records())
    assert got[0] == got[1] == {"service": "api", "user": 2, "request": "r2", "extra": None}
    assert got[2] == {"service": "api", "user": 1}
    assert got[4] is None
    assert repr(child).endswith("fields={'service': 'api', 'user': 2, 'request': 'r1'})")
    with pytest.raises(TypeError, match="bind\\(\\) takes no positional arguments"):
        recorded.bind({"a": 1})


def test_a_bound_logger_shares_the_sinks_and_level(build):
    name = build("fields.shared", [("recording", "plain")])
    logger = attached_logger(name)
    bound = logger.bind(k="v")
    assert ext.sinks(bound) == ext.sinks(logger)
    logger.level = L.ERROR
    bound.warn("filtered")
    bound.error("kept")
    assert [(r["payload"], r["fields"]) for r in ext.records()] == [(b"kept", {"k": "v"})]
    ext.call(bound, "error", "native", 31)  # through the native table, as another extension calls
    # A native caller's own fields (its record_fields_scope) come first; bound ones win.
    ext.call(bound, "error", "scoped", fields=[(b"k", b"outer"), (b"c", 1)])
    assert [(r["payload"], r["fields"]) for r in ext.records()] == [(b"native", {"k": "v"}),
                                                                   (b"scoped", {"k": "v", "c": 1})]


def test_pickling_a_bound_logger():
    plain = q.DefaultLogger()
    assert plain.__reduce__() == (q.__pyx_unpickle_DefaultLogger, (q.DefaultLogger, 238750788, ()))
    assert "fields" not in repr(plain)
    bound = plain.bind(a=1, b="x", c=None)
    assert bound.__reduce__() == (q.__pyx_unpickle_DefaultLogger, (q.DefaultLogger, 238750788, None),
                                  (None, {"a": 1, "b": "x", "c": None}))
    for again in (pickle.loads(pickle.dumps(bound)), copy.copy(bound)):
        assert repr(again) == "DefaultLogger(fields={'a': 1, 'b': 'x', 'c': None})"
    with pytest.raises(TypeError, match="no default __reduce__"):
        pickle.dumps(q.Logger.__new__(q.Logger).bind(a=1))


def test_forwarded_records_carry_their_extra(build):
    build("fields.std", [("recording", "plain")])
    std = logging.getLogger("fields.std.child")
    std.propagate = False
    std.setLevel(logging.DEBUG)
    handler = q.PyLogHandler(0)
    std.addHandler(handler)
    try:
        std.info("plain")
        std.warning("with extra", extra={"user": 42, "ratio": 0.5, "who": Shown(), "bad": Unprintable()})
        std.error("a\ud800")
    finally:
        std.removeHandler(handler)
    records = ext.records()
    assert [r.get("fields") for r in records] == [
        None, {"user": 42, "ratio": 0.5, "who": "shown", "bad": "<unprintable Unprintable>"}, None]
    assert records[2]["payload"] == b"a\\ud800"


def test_lone_surrogates_are_logged_escaped(recorded):
    recorded.info("x\udcff\ud800y")
    recorded.exception("e\ud800")
    assert [r["payload"] for r in ext.records()][::2] == [b"x\\udcff\\ud800y", b"e\\ud800"]


# --- Pattern sinks ---------------------------------------------------------------------------

@pytest.mark.parametrize("pattern", ["%l %v", "%l %-30v|"], ids=["compiled", "padded"])
def test_pattern_sinks_append_the_fields_after_the_message(new_logger, tmp_path, pattern):
    path = tmp_path / "p.log"
    logger = new_logger("fields.pattern", handlers=[q.FileHandler(str(path), pattern=pattern)])
    logger.info("m", fields={"user": 42, "name": "a b", "q": 'say "hi"', "e": "", "n": None, "ok": True,
                             "x": 0.25, "k=v": "line\nbreak"})
    logger.info("plain")
    logger.flush()
    lines = path.read_text().splitlines()
    fields = ' user=42 name="a b" q="say \\"hi\\"" e="" n=null ok=true x=0.25 "k=v"="line\\nbreak"'
    if pattern == "%l %v":
        assert lines == ["info m" + fields, "info plain"]
    else:
        assert lines == ["info m" + fields + "|", "info " + "plain".ljust(30) + "|"]


# --- JSON lines ------------------------------------------------------------------------------

HOSTILE = [
    'quote " and backslash \\ and slash /',
    "new\nline\r\ttab\b\f",
    "".join(chr(c) for c in range(1, 32)) + "\x7f",
    "nul\x00cut here",
    "lone \ud800 and \udcff surrogates",
    "emoji \U0001f600 and \u2028 separators \u2029",
    "{\"forged\": 1}\n{\"line\": 2}",
    "",
]
TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}[+-]\d\d:\d\d\Z")


def read_json_lines(path):
    data = path.read_bytes()
    assert data.endswith(b"\n")
    return [json.loads(line) for line in data.decode("utf-8").split("\n")[:-1]]


@pytest.mark.parametrize("make", [
    lambda p: q.FileHandler(str(p), json=True),
    lambda p: q.RotatingFileHandler(str(p), json=True, max_size=1 << 30),
    lambda p: q.FileHandler(str(p), False, "%v", L.TRACE, False, True, True),
], ids=["file", "rotating", "positional"])
def test_json_lines_parse_whatever_the_message_holds(new_logger, tmp_path, make):
    path = tmp_path / "j.log"
    logger = new_logger("fields.json\n\"name\"", handlers=[make(path)])
    bound = logger.bind(service="svc")

    def site():
        for text in HOSTILE:
            bound.warn(text, fields={text or "empty": text, "n": 7, "f": -0.0, "nan": float("nan")})
    site()
    logger.info("x", fg_color=31)
    logger.flush()
    lines = read_json_lines(path)
    assert len(lines) == len(HOSTILE) + 1
    for text, line in zip(HOSTILE, lines):
        assert list(line) == ["time", "level", "logger", "message", "file", "line", "function", "thread",
                              "process", "fields"]
        assert TIME.match(line["time"])
        expected = text.split("\x00")[0].replace("\ud800", "\\ud800").replace("\udcff", "\\udcff")
        assert line["message"] == expected
        assert (line["level"], line["logger"], line["function"]) == ("warning", "fields.json\n\"name\"", "site")
        assert line["file"] == os.path.basename(__file__) and isinstance(line["line"], int)
        assert (line["thread"], line["process"]) == (threading.get_native_id(), os.getpid())
        key = (text or "empty").replace("\ud800", "\\ud800").replace("\udcff", "\\udcff")
        assert line["fields"] == {"service": "svc", key: expected if "\x00" not in text else text,
                                  "n": 7, "f": -0.0, "nan": "NaN"}
    assert lines[-1]["message"] == "x" and lines[-1]["fields"] == {}


def test_cxx_writers_through_the_same_json_sink(new_logger, tmp_path):
    path = tmp_path / "cxx.log"
    logger = new_logger("fields.cxx", handlers=[q.FileHandler(str(path), json=True)])
    logger.info("from python", fields={"side": "py"})
    bad = [b"\xff", b"\xc0\xaf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xe2\x82", b"ok \xe2\x82\xac", b"\x01\"\\"]
    for payload in bad:
        ext.cxx_log("fields.cxx", 4, payload, [(b"k" + payload, payload), (b"i", 2**62), (b"r", 1e300),
                                                (b"b", False), (b"z", None)])
    ext.cxx_log("fields.cxx", 2, b"no fields")
    logger.flush()
    lines = read_json_lines(path)
    assert lines[0]["fields"] == {"side": "py"} and lines[0]["function"] == "test_cxx_writers_through_the_same_json_sink"
    expected = ["\ufffd", "\ufffd\ufffd", "\ufffd\ufffd\ufffd", "\ufffd" * 4, "\ufffd", "ok \u20ac", "\x01\"\\"]
    for want, line in zip(expected, lines[1:]):
        assert (line["message"], line["level"], line["file"], line["line"], line["function"]) == (
            want, "error", None, None, None)
        assert line["fields"] == {"k" + want: want, "i": 2**62, "r": 1e300, "b": False, "z": None}
    assert lines[-1]["message"] == "no fields" and lines[-1]["fields"] == {}


def test_json_console_has_no_colour_on_a_terminal():
    out, err = run_child_on_terminal("""
from korvo.quillet import quillet as q
log = q.Logger("fields.tty", handlers=[q.ConsoleHandler(True, json=True), q.StdoutHandler(True, json=True)])
log.info("coloured?", fg_color=196, fields={"a": 1})
log.flush()
""")
    assert err == b"" and b"\x1b" not in out
    lines = [json.loads(line) for line in out.decode().splitlines()]
    assert [(x["message"], x["fields"]) for x in lines] == [("coloured?", {"a": 1})] * 2


@pytest.mark.parametrize(("cls", "args"), [
    (q.StdoutHandler, ()), (q.StderrHandler, ()), (q.BasicConsoleHandler, ()), (q.ConsoleHandler, ()),
    (q.FileHandler, ("f",)), (q.RotatingFileHandler, ("f",)),
])
def test_json_is_the_last_argument_and_an_attribute(cls, args):
    assert cls(*args).json is False
    obj = cls(*args, json=1)
    assert obj.json is True and repr(obj).endswith("json=True)")
    obj.json = []
    assert obj.json is False
    assert not hasattr(q.LogHandler(), "json")

"""PyLogHandler: thresholds, level buckets, record text, call sites, errors; redirect through Logger."""

import logging
import sys
import textwrap

import pytest

import quillet_testext as ext
from korvo.quillet import quillet as q
from quillet_support import run_child


class Record:
    """Anything with the attributes emit reads will do."""

    def __init__(self, levelno=20, msg="m", exc_info=None, stack_info=None):
        self.levelno, self.msg, self.exc_info, self.stack_info = levelno, msg, exc_info, stack_info

    def getMessage(self):
        return self.msg


@pytest.fixture
def sinks(build):
    """The default logger writes to a recording sink and a recording console sink."""
    build("std.rec", [("recording", "plain"), ("recording_console", "console")])


def delivered():
    """[(level, payload)] of one record: the same on both sinks (no colour on the console)."""
    records = ext.records()
    pairs = [(r["level"], r["payload"]) for r in records]
    assert pairs[::2] == pairs[1::2] and [r["sink"] for r in records] == ["plain", "console"] * (len(records) // 2)
    return pairs[::2]


def test_constructor_sets_the_level_and_five_thresholds():
    h = q.PyLogHandler(25)
    assert isinstance(h, logging.Handler) and h.level == 25
    assert (h._critical, h._error, h._warn, h._info, h._debug) == (50, 40, 30, 20, 10)
    assert q.PyLogHandler(level=2.9).level == 2
    assert q.PyLogHandler(True).level == 1


@pytest.mark.parametrize(("args", "kwargs", "exc"), [
    ((), {}, TypeError), ((1, 2), {}, TypeError), ((), {"lvl": 1}, TypeError), (("DEBUG",), {}, TypeError),
    ((2**31,), {}, OverflowError),
])
def test_constructor_errors(args, kwargs, exc):
    with pytest.raises(exc):
        q.PyLogHandler(*args, **kwargs)


def test_thresholds_are_read_from_the_logging_package_at_construction(monkeypatch):
    monkeypatch.setattr(logging, "WARN", 33)
    assert q.PyLogHandler(0)._warn == 33


BUCKETS = [(50, 5), (60, 5), (100, 5), (40, 4), (49, 4), (30, 3), (39, 3), (20, 2), (25, 2), (29, 2), (10, 1),
           (15, 1), (19, 1), (9, 0), (5, 0), (0, 0), (-7, 0), (True, 0), (30.9, 3)]


@pytest.mark.parametrize(("levelno", "level"), BUCKETS)
def test_level_buckets(sinks, levelno, level):
    assert q.PyLogHandler(0).emit(Record(levelno)) is None
    assert delivered() == [(level, b"m")]


@pytest.mark.parametrize(("threshold", "value", "levelno", "level"), [
    ("_warn", 35, 32, 2), ("_warn", 35, 35, 3), ("_critical", 45, 47, 5), ("_debug", 0, 0, 1),
    ("_info", 2**70, 25, 1), ("_error", 39.5, 39, 3),
])
def test_changed_threshold(sinks, threshold, value, levelno, level):
    h = q.PyLogHandler(0)
    setattr(h, threshold, value)
    h.emit(Record(levelno))
    assert delivered() == [(level, b"m")]


def test_thresholds_are_read_only_until_one_holds(sinks):
    h = q.PyLogHandler(0)
    del h._debug  # never reached for an error record
    h.emit(Record(40))
    assert delivered() == [(4, b"m")]
    with pytest.raises(AttributeError, match="_debug"):
        h.emit(Record(5))
    assert ext.records() == []


def exc_info_of(error):
    try:
        raise error
    except type(error):
        return sys.exc_info()


def test_message_exception_and_stack_text(sinks):
    info = exc_info_of(ValueError("bad"))
    exc_text = "".join(__import__("traceback").format_exception(*info)).encode()
    h = q.PyLogHandler(0)
    h.emit(Record(40, "héllo", exc_info=info))
    assert delivered() == [(4, "héllo".encode() + b"\n" + exc_text)]
    assert exc_text.endswith(b"ValueError: bad\n")
    h.emit(Record(40, "m", exc_info=list(info), stack_info="Stack (most recent call last):\n  here"))
    assert delivered() == [(4, b"m\n" + exc_text + b"\nStack (most recent call last):\n  here")]
    h.emit(Record(30, "s", stack_info=12))
    assert delivered() == [(3, b"s\n12")]


def test_nul_cuts_the_record_and_everything_after_it(sinks):
    q.PyLogHandler(0).emit(Record(20, "a\x00b", exc_info=exc_info_of(KeyError(1)), stack_info="st"))
    assert delivered() == [(2, b"a")]


def test_an_empty_exc_info_tuple_is_not_none(sinks):
    with pytest.raises(TypeError):  # format_exception() needs an exception
        q.PyLogHandler(0).emit(Record(20, exc_info=()))
    q.PyLogHandler(0).emit(Record(20, exc_info=None, stack_info=None))
    assert delivered() == [(2, b"m")]


class Encoded:
    def __init__(self, result):
        self.result = result

    def encode(self):
        return self.result


class Boom:
    def __int__(self):
        raise RuntimeError("levelno")


@pytest.mark.parametrize(("record", "exc", "text"), [
    (Record(msg=Encoded("text")), TypeError, "Expected bytes, got str"),
    (Record(msg=Encoded(bytearray(b"x"))), TypeError, "Expected bytes, got bytearray"),
    (Record(msg=Encoded(None)), TypeError, "expected bytes, NoneType found"),
    (Record(msg=Encoded(None), stack_info="s"), TypeError, None),
    (Record(msg=5), AttributeError, "'int' object has no attribute 'encode'"),
    (Record(levelno="20"), TypeError, "an integer is required"),
    (Record(levelno=Boom()), RuntimeError, "levelno"),
    (Record(levelno=2**40), OverflowError, None),
    (Record(exc_info=5), TypeError, None),
    (object(), AttributeError, "getMessage"),
])
def test_emit_errors_propagate_and_log_nothing(sinks, record, exc, text):
    with pytest.raises(exc) as info:
        q.PyLogHandler(0).emit(record)
    if text is not None:
        assert text in str(info.value)
    assert ext.records() == []


def set_user(record):
    record.user = 7


def swap_task_name_for_user(record):
    del record.taskName  # as many attributes as a plain record, one of them not a standard one
    record.user = 7


def set_own_get_message(record):
    record.getMessage = lambda: "own"


class AddsAnAttribute:
    """A message whose str() adds an attribute to its record, while emit reads the record."""

    def __str__(self):
        self.record.late = 1
        return "late"


def message_adding_an_attribute(record):
    record.msg.record = record


class LoudRecord(logging.LogRecord):
    levelno = property(lambda self: 40, lambda self, value: None)


def std_record(cls=logging.LogRecord, msg="m %s", args=(1,)):
    return cls("std.rec", 20, __file__, 1, msg, args, None)


@pytest.mark.parametrize(("record", "change", "level", "payload", "fields"), [
    (std_record(), None, 2, b"m 1", None),
    (std_record(msg="no args %s", args=()), None, 2, b"no args %s", None),
    (std_record(msg="no args %s", args=None), None, 2, b"no args %s", None),
    (std_record(), set_user, 2, b"m 1", {"user": 7}),
    (std_record(), swap_task_name_for_user, 2, b"m 1", {"user": 7}),
    (std_record(msg="m", args=()), set_own_get_message, 2, b"own", {"getMessage"}),
    (std_record(LoudRecord, msg="m", args=()), None, 4, b"m", None),
    (std_record(msg=AddsAnAttribute(), args=()), message_adding_an_attribute, 2, b"late", {"late": 1}),
], ids=["plain", "empty-args", "none-args", "attribute-added", "attribute-swapped", "own-getMessage",
        "class-property", "added-during-emit"])
def test_records_are_read_as_getattr_would(sinks, record, change, level, payload, fields):
    if change is not None:
        change(record)
    q.PyLogHandler(0).emit(record)
    got = ext.records()[0]
    assert (got["level"], got["payload"]) == (level, payload)
    assert (set(got["fields"]) if isinstance(fields, set) else got.get("fields")) == fields


def test_changes_to_the_classes_are_seen_at_once(sinks, monkeypatch):
    h = q.PyLogHandler(0)
    h.emit(std_record())
    monkeypatch.setattr(logging.LogRecord, "getMessage", lambda self: "patched")
    h.emit(std_record())

    class Threshold(q.PyLogHandler):
        _info = property(lambda self: 25, lambda self, value: self.__dict__.update(_info=value))

    Threshold(0).emit(std_record())  # 20: below the property's 25, though the dict holds 20
    assert delivered() == [(2, b"m 1"), (2, b"patched"), (1, b"patched")]


def test_get_message_failure_propagates_out_of_the_standard_package(sinks):
    logger = logging.getLogger("std.bad_args")
    logger.propagate = False
    logger.addHandler(q.PyLogHandler(0))
    try:
        with pytest.raises(TypeError):
            logger.error("%d", "not a number")
    finally:
        logger.handlers.clear()
        logger.propagate = True
    assert ext.records() == []


def test_bytes_message_from_encode_is_used_as_is(sinks):
    q.PyLogHandler(0).emit(Record(20, Encoded(b"raw\xffbytes")))
    assert delivered() == [(2, b"raw\xffbytes")]


def test_logger_level_filters_before_delivery(build):
    build("std.warn", [("recording", "plain")], level=3)
    h = q.PyLogHandler(0)
    h.emit(Record(20))
    h.emit(Record(30))
    assert [(r["level"], r["payload"]) for r in ext.records()] == [(3, b"m")]


def test_without_a_default_logger_nothing_is_written(sinks):
    ext.clear_default()
    assert q.PyLogHandler(0).emit(Record(40)) is None
    assert ext.records() == []


def test_the_default_is_looked_up_for_every_record(build):
    build("std.first", [("recording", "first")])
    h = q.PyLogHandler(0)
    h.emit(Record(20, "one"))
    first = ext.records()
    build("std.second", [("recording", "second")])  # the new default
    h.emit(Record(20, "two"))
    assert [(r["sink"], r["payload"]) for r in first + ext.records()] == [("first", b"one"), ("second", b"two")]


def test_call_site_skips_the_logging_package(sinks, tmp_path, monkeypatch):
    (tmp_path / "std_mod.py").write_text(textwrap.dedent("""\
        import logging

        def work():
            logging.getLogger("std.mod").warning("from work")

        def outer():
            work()
    """))
    (tmp_path / "mylogging").mkdir()
    (tmp_path / "mylogging" / "__init__.py").write_text(textwrap.dedent("""\
        import logging

        def relay(msg):
            logging.getLogger("std.relay").error(msg)
    """))
    (tmp_path / "std_caller.py").write_text(textwrap.dedent("""\
        import mylogging

        def caller():
            mylogging.relay("relayed")
    """))
    monkeypatch.syspath_prepend(str(tmp_path))
    import std_caller
    import std_mod

    root = logging.getLogger()
    handler = q.PyLogHandler(0)
    root.addHandler(handler)
    try:
        std_mod.outer()
        std_caller.caller()
    finally:
        root.removeHandler(handler)
    sites = [(r["file"], r["line"], r["func"], r["payload"]) for r in ext.records()[::2]]
    assert sites == [("std_mod.py", 4, "work", b"from work"),
                     ("std_caller.py", 4, "caller", b"relayed")]  # mylogging/__init__.py is skipped too


def test_call_site_from_module_level_of_a_script(tmp_path):
    log = tmp_path / "out.log"
    script = tmp_path / "main.py"
    script.write_text(textwrap.dedent(f"""\
        import logging
        from korvo.quillet import quillet as q
        q.Logger("site", handlers=[q.FileHandler({str(log)!r}, pattern="%s|%!|%v")], set_default=True)
        logging.warning("top level")

        def f():
            logging.error("in f")

        f()
    """))
    run_child([str(script)], cwd=tmp_path)
    # No function above the script's top level: that frame itself, as for a direct log call.
    assert log.read_text().splitlines() == ["main.py|<module>|top level", "main.py|f|in f"]


def test_redirect_forwards_debug_and_above(new_logger, tmp_path):
    path = tmp_path / "std.log"
    new_logger("std.redirect", 0, None, [q.FileHandler(str(path), pattern="%l|%v")], None, True)
    logging.getLogger("std.any").debug("d")
    logging.getLogger("std.any").log(5, "below debug")
    logging.getLogger().critical("c")
    ext.flush("std.redirect")
    assert path.read_text().splitlines() == ["debug|d", "critical|c"]


def test_emit_leaks_nothing(sinks, refcount_growth):
    h = q.PyLogHandler(0)
    info = exc_info_of(ValueError("x"))

    def work():
        h.emit(Record(40, "m", exc_info=info, stack_info="s"))
        h.emit(Record(20, "plain"))
        try:
            h.emit(Record(msg=Encoded("wrong")))
        except TypeError:
            pass
        ext.records()

    assert refcount_growth(work) < 0.05

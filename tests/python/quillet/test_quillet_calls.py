"""Per-level calls of Logger and DefaultLogger: arguments, colouring, levels, sinks."""

import os
import sys
import threading
import traceback

import pytest

import quillet_testext as ext
from korvo.quillet import quillet
from quillet_support import COLOUR_TABLE, LEVELS, attached_logger, coloured, payloads

Level = quillet.Level


@pytest.mark.parametrize(("codes", "sequence"), COLOUR_TABLE)
def test_colour_table(recorded, codes, sequence):
    recorded.info("T", *codes)
    assert payloads(ext.records()) == {"plain": b"T", "console": coloured(b"T", sequence)}


@pytest.mark.parametrize(("args", "kwargs", "plain", "console"), [
    (("a\x00b",), {}, b"a", b"a"),
    (("",), {"fg_color": 31}, b"", coloured(b"", b"31")),
    (("héllo ✓ \U0001f600",), {}, "héllo ✓ \U0001f600".encode(), "héllo ✓ \U0001f600".encode()),
    ((), {"effect": 1, "bg_color": 17, "fg_color": 200, "msg": "T"}, b"T", coloured(b"T", b"1;38;5;200;48;5;17")),
    (("T", 31.9), {"effect": True}, b"T", coloured(b"T", b"1;31")),  # codes take any int-like
])
def test_message_text_and_codes(recorded, args, kwargs, plain, console):
    recorded.error(*args, **kwargs)
    assert payloads(ext.records()) == {"plain": plain, "console": console}


@pytest.mark.parametrize(("number", "method"), list(enumerate(LEVELS)))
def test_each_method_logs_at_its_level(recorded, number, method):
    assert getattr(recorded, method)("m") is None
    assert [(r["sink"], r["level"]) for r in ext.records()] == [("plain", number), ("console", number)]


# The standard package's names: warning is warn, log takes the level first.
@pytest.mark.parametrize(("method", "args", "kwargs", "number", "console"), [
    ("warning", ("m",), {}, 3, b"m"),
    ("warning", ("m", 31), {}, 3, coloured(b"m", b"31")),
    ("log", (Level.DEBUG, "m"), {}, 1, b"m"),
    ("log", (0, "m", 31, 41, 1), {}, 0, coloured(b"m", b"1;31;41")),
    ("log", (), {"msg": "m", "level": 5, "fg_color": 196}, 5, coloured(b"m", b"38;5;196")),
])
def test_warning_and_log(recorded, method, args, kwargs, number, console):
    assert getattr(recorded, method)(*args, **kwargs) is None
    assert [(r["sink"], r["level"], r["payload"]) for r in ext.records()] == [
        ("plain", number, b"m"), ("console", number, console)]


@pytest.mark.parametrize(("args", "exc", "text"), [
    ((6, "m"), ValueError, "log() takes a level from Level.TRACE to Level.CRITICAL, not Level.OFF"),
    ((7, "m"), ValueError, "7 is not a valid Level"),
    ((-1, "m"), ValueError, "-1 is not a valid Level"),
    (("INFO", "m"), TypeError, "an integer is required"),
    ((2,), TypeError, "log() missing required argument 'msg' (pos 2)"),
    ((2, b"m"), TypeError, "Argument 'msg' has incorrect type (expected str, got bytes)"),
    ((2, "x = %s", "v"), TypeError, "log(): the third positional argument is the colour code fg_color, an "
     "integer, not str; messages are not %-formatted, so format the text first (with an f-string, for example)"),
])
def test_log_errors_log_nothing(recorded, args, exc, text):
    with pytest.raises(exc) as info:
        recorded.log(*args)
    assert str(info.value) == text
    assert ext.records() == []


def test_exception_appends_the_traceback_being_handled(recorded):
    def fail():
        raise KeyError("missing")

    try:
        fail()
    except KeyError as e:
        recorded.exception("failed\x00 cut", 31)
        expected = "".join(traceback.format_exception(e)).encode()
    # Outside an except block there is nothing to append.
    recorded.exception("no exception")
    text = b"failed\n" + expected
    assert expected.startswith(b"Traceback (most recent call last):") and expected.endswith(b"KeyError: 'missing'\n")
    assert [(r["sink"], r["level"], r["payload"]) for r in ext.records()] == [
        ("plain", 4, text), ("console", 4, coloured(text, b"31")),
        ("plain", 4, b"no exception"), ("console", 4, b"no exception")]


def test_exception_leaks_no_references(recorded, refcount_growth):
    def log_exception():
        try:
            raise KeyError("k")
        except KeyError:
            recorded.exception("failed", 31)

    assert refcount_growth(log_exception, repeat=500) < 0.025
    ext.records()


def test_filtered_exception_formats_nothing_but_checks_msg(build):
    build("calls.exception", [("recording", "plain")], level=5)
    for logger in (attached_logger("calls.exception"), quillet.DefaultLogger()):
        try:
            raise ValueError("x")
        except ValueError:
            logger.exception("filtered")
            with pytest.raises(AttributeError):
                logger.exception(None)
    assert ext.records() == []


def test_name_and_level_of_the_logger_written_through(build):
    build("calls.attrs", [("recording", "plain")], level=2)
    logger, default = attached_logger("calls.attrs"), quillet.DefaultLogger()
    assert (logger.name, logger.level, default.name, default.level) == ("calls.attrs", Level.INFO, "calls.attrs",
                                                                        Level.INFO)
    assert type(logger.level) is Level
    logger.level = Level.ERROR  # one spdlog logger: the default's level too
    logger.warn("filtered")
    default.error("written")
    default.level = 1
    logger.debug("written too")
    assert logger.level == Level.DEBUG
    assert [r["payload"] for r in ext.records()] == [b"written", b"written too"]


@pytest.mark.parametrize(("value", "exc", "text"), [
    (7, ValueError, "7 is not a valid Level"),
    ("INFO", TypeError, "an integer is required"),
])
def test_level_refuses_what_is_no_level(recorded, value, exc, text):
    before = recorded.level
    with pytest.raises(exc, match=text):
        recorded.level = value
    with pytest.raises(NotImplementedError, match="__del__"):
        del recorded.level
    with pytest.raises(AttributeError):
        recorded.name = "renamed"
    assert recorded.level == before


def test_name_and_level_without_a_logger(build):
    build("calls.none", [("recording", "plain")])
    unbuilt = quillet.Logger.__new__(quillet.Logger)
    ext.clear_default()
    for logger in (unbuilt, quillet.DefaultLogger()):
        assert (logger.name, logger.level) == (None, None)
        with pytest.raises(RuntimeError, match="there is no logger to set the level of"):
            logger.level = Level.INFO


class Text(str):
    pass


@pytest.mark.parametrize(("args", "kwargs", "exc", "text"), [
    ((Text("x"),), {}, TypeError, "Argument 'msg' has incorrect type (expected str, got Text)"),
    ((b"x",), {}, TypeError, "Argument 'msg' has incorrect type (expected str, got bytes)"),
    ((None,), {}, AttributeError, "'NoneType' object has no attribute 'encode'"),
    (("m",), {"fg_color": "31"}, TypeError, "an integer is required"),
    (("m",), {"bg_color": None}, TypeError, "an integer is required"),
    (("m",), {"effect": 2**31}, OverflowError, None),
    (("m",), {"colour": 1}, TypeError, "info() got an unexpected keyword argument 'colour'"),
    (("m", 1, 2, 3, 4), {}, TypeError, "info() takes at most 4 positional arguments (5 given)"),
    ((), {}, TypeError, "info() missing required argument 'msg' (pos 1)"),
    # %-style arguments: the codes by position say what they are.
    (("x = %s", "v"), {}, TypeError, "info(): the second positional argument is the colour code fg_color, an "
     "integer, not str; messages are not %-formatted, so format the text first (with an f-string, for example)"),
    (("%d of %s", 3, [1]), {}, TypeError, "info(): the third positional argument is the colour code bg_color, an "
     "integer, not list; messages are not %-formatted, so format the text first (with an f-string, for example)"),
])
def test_argument_errors_log_nothing(recorded, args, kwargs, exc, text):
    with pytest.raises(exc) as info:
        recorded.info(*args, **kwargs)
    if text is not None:
        assert str(info.value) == text
    assert ext.records() == []


def test_errors_are_raised_even_when_filtered(build):
    build("calls.filtered", [("recording", "plain")], level=4)
    for logger in (attached_logger("calls.filtered"), quillet.DefaultLogger()):
        with pytest.raises(TypeError):
            logger.debug(b"x")
        with pytest.raises(TypeError, match="fields must be a dict with str keys, not list"):
            logger.debug("x", fields=[("k", 1)])


# Sinks "trace", "warn" and "off" at those levels; which of them a call reaches.
@pytest.mark.parametrize(("logger_level", "call", "reached"), [
    (3, "info", []),
    (3, "warn", ["trace", "warn"]),
    (0, "debug", ["trace"]),
    (0, "critical", ["trace", "warn"]),
    (6, "critical", []),
])
def test_level_filtering_at_logger_and_sink(build, logger_level, call, reached):
    name = build("calls.filtering", [("recording", "trace", 0), ("recording", "warn", 3), ("recording", "off", 6)],
                 level=logger_level)
    for logger in (attached_logger(name), quillet.DefaultLogger()):
        getattr(logger, call)("m")
        assert [r["sink"] for r in ext.records()] == reached


# Colour sinks that colour (their stream is a terminal) get the message's codes; a colour sink
# that does not, a plain console sink and every other sink get the plain text.
@pytest.mark.parametrize(("description", "console"), [
    (("recording_console", "s"), True),
    (("recording_color_console", "s"), True),
    (("wrapped", 6, ("wrapped", 6, ("recording_console", "s"))), True),
    (("recording_uncoloured_console", "s"), False),
    (("recording_plain_console", "s"), False),
    (("wrapped", 6, ("recording_plain_console", "s")), False),
    (("wrapped", 6, ("recording", "s")), False),
    (("recording_console_nullmutex", "s"), False),
])
def test_which_sinks_get_colour(build, description, console):
    build("calls.console", [description])
    quillet.DefaultLogger().info("T", 31)
    assert [r["payload"] for r in ext.records()] == [coloured(b"T", b"31" if console else None)]


@pytest.mark.parametrize(("kind", "what"), [("throwing", "disk full"), ("throwing_unknown", "Unknown exception in logger")])
def test_a_throwing_sink_is_reported_and_the_others_still_write(build, kind, what):
    name = build(f"calls.{kind}", [(kind,), ("recording", "after")])
    ext.record_errors(name)
    line = sys._getframe().f_lineno + 1  # the call site: this test's own frame, the next line
    assert attached_logger(name).warn("still here") is None
    assert [r["payload"] for r in ext.records()] == [b"still here"]
    assert ext.errors() == [f"{what} [{os.path.basename(__file__)}({line})]"]


def test_nothing_to_log_through(build):
    build("calls.default", [("recording", "default")])
    unbuilt = quillet.Logger.__new__(quillet.Logger)
    assert ext.handle_name(unbuilt) is None
    ext.clear_default()
    assert ext.default_name() is None
    for logger in (unbuilt, quillet.DefaultLogger()):
        for method in LEVELS:
            assert getattr(logger, method)("nowhere", 31) is None
    assert ext.records() == []


def test_default_logger_follows_the_default_between_calls(build):
    build("calls.first", [("recording", "first")])
    build("calls.second", [("recording", "second")], default=False)
    logger = quillet.DefaultLogger()
    logger.info("one")
    ext.set_default("calls.second")
    logger.info("two")
    quillet.DefaultLogger().info("three")
    assert [(r["sink"], r["payload"]) for r in ext.records()] == [
        ("first", b"one"), ("second", b"two"), ("second", b"three")]


def test_records_carry_the_calling_threads_id(recorded):
    ids = []

    def work():
        ids.append(threading.get_native_id())
        for _ in range(50):
            recorded.info("threaded")

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    records = ext.records()
    assert len(records) == 4 * 50 * 2
    assert {r["thread_id"] for r in records} == set(ids)


@pytest.mark.parametrize("call", [
    lambda lg: lg.info("leak check", 196, 17, 1),
    lambda lg: pytest.raises(TypeError, lg.info, b"x"),
    lambda lg: lg.info("a\ud800b"),
    lambda lg: lg.info("fields", fields={"n": 1, "t": "x", "big": 2**70, "o": object(), "s": "\udcff"}),
    lambda lg: lg.bind(a=1).bind(b="x").warn("bound", fields={"a": 2}),
    lambda lg: pytest.raises(TypeError, lg.info, "x", fields={1: 2}),
    lambda lg: pytest.raises(TypeError, lg.info, "x", fg_color="1"),
    lambda lg: pytest.raises(TypeError, lg.info, "x = %s", "1"),
    lambda lg: lg.log(Level.INFO, "leak check", 31),
    lambda lg: pytest.raises(ValueError, lg.log, 6, "x"),
    lambda lg: lg.exception("no exception being handled"),
    lambda lg: (lg.level, lg.name, setattr(lg, "level", Level.TRACE)),
])
def test_calls_leak_no_references(recorded, call, refcount_growth):
    assert refcount_growth(lambda: call(recorded), repeat=2000) < 0.025
    ext.records()


@pytest.mark.parametrize("replace", ["native set_default", "Logger(set_default=True)"])
def test_default_logger_follows_each_replacement_of_the_default(build, new_logger, replace):
    build("calls.quiet", [("recording", "quiet")], level=3)
    build("calls.loud", [("recording", "loud")], default=False)
    default = quillet.DefaultLogger()
    for round_ in range(3):
        ext.set_default("calls.quiet")
        default.info("filtered")  # at warn: nothing
        default.warn("w")
        if replace == "Logger(set_default=True)":
            # A default in between that no call sees: its console sink records nothing.
            new_logger(f"calls.new{round_}", handlers=[], set_default=True, intercept_stdlib_logging=False)
        ext.set_default("calls.loud")
        default.info("i")
        assert [(r["sink"], r["payload"]) for r in ext.records()] == [("quiet", b"w"), ("loud", b"i")]

"""Per-level calls of Logger and DefaultLogger: arguments, colouring, levels, sinks."""

import os
import sys
import threading

import pytest

import quillet_testext as ext
from korvo.quillet import quillet
from quillet_support import COLOUR_TABLE, LEVELS, attached_logger, coloured, payloads


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


class Text(str):
    pass


@pytest.mark.parametrize(("args", "kwargs", "exc", "text"), [
    ((Text("x"),), {}, TypeError, "Argument 'msg' has incorrect type (expected str, got Text)"),
    ((b"x",), {}, TypeError, "Argument 'msg' has incorrect type (expected str, got bytes)"),
    ((None,), {}, AttributeError, "'NoneType' object has no attribute 'encode'"),
    (("a\ud800b",), {}, UnicodeEncodeError, None),
    (("m",), {"fg_color": "31"}, TypeError, "an integer is required"),
    (("m",), {"bg_color": None}, TypeError, "an integer is required"),
    (("m",), {"effect": 2**31}, OverflowError, None),
    (("m",), {"colour": 1}, TypeError, "info() got an unexpected keyword argument 'colour'"),
    (("m", 1, 2, 3, 4), {}, TypeError, "info() takes at most 4 positional arguments (5 given)"),
    ((), {}, TypeError, "info() missing required argument 'msg' (pos 1)"),
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
        with pytest.raises(UnicodeEncodeError):
            logger.debug("\udc80")


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
    lambda lg: pytest.raises(UnicodeEncodeError, lg.info, "\ud800"),
    lambda lg: pytest.raises(TypeError, lg.info, "x", fg_color="1"),
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

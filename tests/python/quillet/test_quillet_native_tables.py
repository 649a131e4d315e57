"""Native method tables of Logger and DefaultLogger, called through korvo/quillet.hpp."""

import pytest

import quillet_testext as ext
from korvo.quillet import quillet
from quillet_support import LEVELS, attached_logger, coloured, payloads

KINDS = ["Logger", "DefaultLogger"]


@pytest.fixture
def make(build):
    build("tables", [("recording", "plain"), ("recording_console", "console")])
    return lambda kind: attached_logger("tables") if kind == "Logger" else quillet.DefaultLogger()


@pytest.mark.parametrize("cls", KINDS)
def test_tables_are_published_as_capsules(cls):
    assert type(vars(getattr(quillet, cls))["__pyx_vtable__"]).__name__ == "PyCapsule"


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize(("number", "method"), list(enumerate(LEVELS)))
def test_native_calls_log_at_their_level(make, kind, number, method):
    ext.call(make(kind), method, "native")
    assert [(r["level"], r["payload"]) for r in ext.records()] == [(number, b"native")] * 2


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize(("codes", "sequence"), [((), None), ((196,), b"38;5;196"), ((-1, 41), b"41"),
                                                 ((200, 17, 1), b"1;38;5;200;48;5;17")])
def test_native_codes_count_then_values(make, kind, codes, sequence):
    ext.call(make(kind), "info", "T", *codes)
    assert payloads(ext.records()) == {"plain": b"T", "console": coloured(b"T", sequence)}


@pytest.mark.parametrize("kind", KINDS)
def test_native_calls_check_their_arguments(make, kind):
    with pytest.raises(TypeError, match=r"expected str, got bytes"):
        ext.call(make(kind), "info", b"x")
    with pytest.raises(AttributeError, match="no attribute 'encode'"):
        ext.call(make(kind), "info", None)
    with pytest.raises(TypeError, match=r"Logger\.info\(\) needs a korvo\.quillet\.quillet\.Logger instance, got int"):
        ext.call(5, "info", "x")
    assert ext.records() == []


def test_logger_handle_is_a_copy_of_the_handle(make):
    logger = make("Logger")
    assert ext.handle_name(logger) == "tables"
    ext.attach(logger, None)
    assert ext.handle_name(logger) is None
    with pytest.raises(TypeError, match="logger_handle"):
        ext.handle_name(quillet.DefaultLogger())


@pytest.mark.parametrize("base", [quillet.Logger, quillet.DefaultLogger])
def test_native_call_runs_a_python_override(make, base):
    seen = []
    cls = type("Override", (base,), {"info": lambda self, *args: seen.append(args)})
    obj = cls.__new__(cls)
    if base is quillet.Logger:
        ext.attach(obj, "tables")
    ext.call(obj, "info", "over", 31)
    assert seen == [("over", 31, -1, -1)] and ext.records() == []
    # Skipping the lookup, and methods that are not overridden, log directly.
    ext.call(obj, "info", "direct", skip_dispatch=True)
    ext.call(obj, "warn", "not overridden")
    assert [r["payload"] for r in ext.records()] == [b"direct", b"direct", b"not overridden", b"not overridden"]
    assert len(seen) == 1


def test_override_calling_super_logs_once(make):
    class Chained(quillet.DefaultLogger):
        def info(self, msg, *codes):
            super().info("via " + msg, *codes)

    ext.call(Chained(), "info", "super")
    assert payloads(ext.records()) == {"plain": b"via super", "console": b"via super"}


@pytest.mark.parametrize(("attr", "exc"), [(property(lambda self: 1 / 0), ZeroDivisionError),
                                           (lambda self, *a: {}[a], KeyError), (5, TypeError)])
def test_override_failures_reach_the_native_caller(make, attr, exc):
    obj = type("Failing", (quillet.DefaultLogger,), {"error": attr})()
    with pytest.raises(exc):
        ext.call(obj, "error", "x")
    assert ext.records() == []

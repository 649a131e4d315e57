"""Logger construction from handler descriptions, the default logger, and the __pyx_capi__ lookups."""

import ctypes
import logging
import os
import pty
import re
import subprocess
import sys
import textwrap
import tty

import pytest

import quillet_testext as ext
from korvo.quillet import quillet as q
from quillet_support import child_env, run_child

L = q.Level
HANDLER_PATTERN = q.default_handler_pattern
LOGGER_PATTERN = q.default_logger_pattern


def flushed_lines(name, path):
    ext.flush(name)
    return path.read_text().splitlines()


# --- Sinks made from the descriptions --------------------------------------------------------------

def test_a_logger_without_handlers_gets_one_colour_console_sink(new_logger):
    for handlers in ({}, {"handlers": []}, {"handlers": None}):
        logger = new_logger("cfg.bare", **handlers)
        assert ext.sinks(logger) == ("cfg.bare", 0, [("color_stdout", 0, None)])
    assert ext.sinks(new_logger("cfg.bare", L.WARN)) == ("cfg.bare", 3, [("color_stdout", 3, None)])
    assert ext.default_name() != "cfg.bare"  # set_default is off by default


def test_the_console_sink_of_a_bare_logger_uses_the_logger_pattern():
    out = run_child('from korvo.quillet import quillet as q\nq.Logger("bare").info("x")\n'
                    'q.Logger("own", pattern="%n|%l|%v").warn("y")').stdout
    first, second = out.decode().splitlines()
    assert re.fullmatch(r"\[\d\d-\d\d-\d{4} \d\d:\d\d:\d\d\.\d{6}\] \[bare\] \[info\] x", first)
    assert second == "own|warning|y"


# (handler, sinks of the logger: kind, level, detail)
SINK_TABLE = [
    (lambda p: q.StdoutHandler(), [("max_level", 0, (2, ("stdout", 0, None)))]),
    (lambda p: q.StdoutHandler(True, "%v", L.DEBUG, L.WARN), [("max_level", 1, (3, ("color_stdout", 0, None)))]),
    (lambda p: q.StderrHandler(), [("stderr", 3, None)]),
    (lambda p: q.StderrHandler(color=True, level=L.ERROR), [("color_stderr", 4, None)]),
    (lambda p: q.BasicConsoleHandler(level=L.INFO), [("stdout", 2, None)]),
    (lambda p: q.ConsoleHandler(), [("max_level", 0, (2, ("color_stdout", 0, None))), ("color_stderr", 3, None)]),
    (lambda p: q.ConsoleHandler(False, "%v", L.WARN, L.DEBUG),
     [("max_level", 1, (3, ("stdout", 0, None))), ("stderr", 4, None)]),
    (lambda p: q.FileHandler(str(p / "f.log"), level=L.WARN), [("file", 3, "f.log")]),
    (lambda p: q.RotatingFileHandler(str(p / "r.log"), level=L.ERROR, max_size=100, max_files=2),
     [("rotating", 4, "r.log")]),
]


@pytest.mark.parametrize(("make", "sinks"), SINK_TABLE)
def test_each_handler_class_makes_its_sink(new_logger, tmp_path, make, sinks):
    logger = new_logger("cfg.sinks", L.DEBUG, None, [make(tmp_path)])
    name, level, made = ext.sinks(logger)
    assert (name, level) == ("cfg.sinks", 1)
    assert repr(logger) == f"Logger(name='cfg.sinks', level=Level.DEBUG, sinks={len(sinks)})"
    made = [(kind, lvl, os.path.basename(d) if isinstance(d, str) else d) for kind, lvl, d in made]
    assert made == sinks


def test_handlers_in_list_order_and_subclasses_count_as_their_class(new_logger, tmp_path):
    class Mine(q.RotatingFileHandler):
        @property
        def pattern(self):  # attributes are read by ordinary attribute access
            return "sub|%v"

    path = tmp_path / "sub.log"
    logger = new_logger("cfg.order", handlers=[q.StderrHandler(), Mine(str(path)), q.BasicConsoleHandler()])
    assert [kind for kind, _, _ in ext.sinks(logger)[2]] == ["stderr", "rotating", "stdout"]
    logger.error("through the subclass")
    assert flushed_lines("cfg.order", path) == ["sub|through the subclass"]


def test_a_file_handler_ignores_the_logger_pattern(new_logger, tmp_path):
    path = tmp_path / "plain.log"
    logger = new_logger("cfg.file", L.INFO, None, [q.FileHandler(str(path), pattern="%n %l %v")])
    logger.debug("filtered")
    logger.info("a", fg_color=31)
    logger.critical("b")
    assert flushed_lines("cfg.file", path) == ["cfg.file info a", "cfg.file critical b"]


def test_rotating_file_handler_rotates_and_keeps_its_count(new_logger, tmp_path):
    base = tmp_path / "rot.log"
    logger = new_logger("cfg.rot", handlers=[q.RotatingFileHandler(str(base), "%v", max_size=100, max_files=2)])
    for n in range(40):
        logger.info(f"line {n:02d} " + "x" * 10)
    ext.flush("cfg.rot")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["rot.1.log", "rot.2.log", "rot.log"]
    assert base.read_text().splitlines()[-1] == "line 39 xxxxxxxxxx"
    for path in tmp_path.iterdir():
        assert 0 < path.stat().st_size <= 100


def test_console_handler_splits_stdout_and_stderr():
    result = run_child("""
        from korvo.quillet import quillet as q
        log = q.Logger("split", handlers=[q.ConsoleHandler(False, "%l %v", q.Level.INFO, q.Level.DEBUG)])
        for method in ("trace", "debug", "info", "warn", "error", "critical"):
            getattr(log, method)(method)
    """)
    assert result.stdout == b"debug debug\ninfo info\n"
    assert result.stderr == b"warning warn\nerror error\ncritical critical\n"


def run_on_terminal(code):
    """Runs code in a child whose standard output is a terminal; returns what it wrote there."""
    master, slave = pty.openpty()
    try:
        tty.setraw(slave)
        subprocess.run([sys.executable, "-c", textwrap.dedent(code)], stdout=slave, check=True, timeout=120,
                       env=dict(child_env(), TERM="xterm-256color"))
    finally:
        os.close(slave)
    out = b""
    try:
        while chunk := os.read(master, 4096):
            out += chunk
    except OSError:  # the terminal is gone once everything has been read
        pass
    os.close(master)
    return out


def test_colour_scheme_changes_a_levels_colour_on_a_colour_console():
    out = run_on_terminal("""
        from korvo.quillet import quillet as q
        handlers = [q.BasicConsoleHandler(True, "%^%l%$ %v")]
        q.Logger("spdlog colours", handlers=handlers).info("a")
        q.Logger("scheme", handlers=handlers, color_scheme=q.ColorScheme(info_color=196)).info("b")
        q.Logger("scheme", handlers=handlers, color_scheme=q.ColorScheme(info_color=-1, error_color=21)).info("c")
    """)
    assert out.split(b"\n") == [b"\x1b[32minfo\x1b[m a", b"\x1b[38;5;196minfo\x1b[m b", b"\x1b[32minfo\x1b[m c", b""]


# --- Failures ------------------------------------------------------------------------------

class Text(str):
    pass


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("truth")


CONSTRUCTION_ERRORS = [
    ((), {}, TypeError, "__init__() missing required argument 'name' (pos 1)"),
    (("n", 0, None, None, None, False, True, 8), {}, TypeError,
     "__init__() takes at most 7 positional arguments (8 given)"),
    (("n",), {"handler": []}, TypeError, "__init__() got an unexpected keyword argument 'handler'"),
    ((5,), {}, TypeError, "Argument 'name' has incorrect type (expected str, got int)"),
    ((Text("n"),), {}, TypeError, "Argument 'name' has incorrect type (expected str, got Text)"),
    (("n",), {"pattern": b"%v"}, TypeError, "Argument 'pattern' has incorrect type (expected str, got bytes)"),
    (("n",), {"handlers": (q.StderrHandler(),)}, TypeError,
     "Argument 'handlers' has incorrect type (expected list, got tuple)"),
    (("n",), {"color_scheme": 5}, TypeError,
     "Argument 'color_scheme' has incorrect type (expected korvo.quillet.quillet.ColorScheme, got int)"),
    (("n",), {"level": "INFO"}, TypeError, "an integer is required"),
    (("n",), {"level": 2**31}, OverflowError, None),
    # Level, then the two flags, then the typed arguments.
    ((5,), {"level": "INFO"}, TypeError, "an integer is required"),
    ((5,), {"set_default": BadBool()}, ZeroDivisionError, "truth"),
    ((None,), {}, AttributeError, "'NoneType' object has no attribute 'encode'"),
    (("n",), {"pattern": None}, AttributeError, "'NoneType' object has no attribute 'encode'"),
    (("n",), {"handlers": [q.LogHandler()]}, TypeError, "Unknown handler type"),
    (("n",), {"handlers": [q.StderrHandler(), 5]}, TypeError, "Unknown handler type"),
    (("n",), {"handlers": [q.ColorScheme()]}, TypeError, "Unknown handler type"),
    (("n",), {"handlers": [q.FileHandler(None)]}, AttributeError, "'NoneType' object has no attribute 'encode'"),
    (("n",), {"handlers": [q.StderrHandler(pattern=None)]}, AttributeError,
     "'NoneType' object has no attribute 'encode'"),
    # The library refuses what no level or colour means.
    (("n",), {"level": 9}, ValueError, "9 is not a valid Level"),
    (("n",), {"level": -1, "handlers": [q.StderrHandler()]}, ValueError, "-1 is not a valid Level"),
    (("n",), {"color_scheme": q.ColorScheme(critical_color=256)}, ValueError,
     "colour 256 is neither -1 nor a code in 0..255"),
    (("n",), {"handlers": [q.RotatingFileHandler("r.log", max_size=0)]}, ValueError, "max_size must be greater than 0"),
]


@pytest.mark.parametrize(("args", "kwargs", "exc", "text"), CONSTRUCTION_ERRORS)
def test_construction_errors(new_logger, args, kwargs, exc, text):
    before = ext.default_name()
    with pytest.raises(exc) as info:
        new_logger(*args, set_default=kwargs.pop("set_default", True), **kwargs)
    if text is not None:
        assert str(info.value) == text
    assert ext.default_name() == before  # a failed construction leaves the default alone


def level_attribute(attr, number):
    handler = {"max_level": q.StdoutHandler, "min_level": q.ConsoleHandler}.get(attr, q.BasicConsoleHandler)()
    setattr(handler, attr, number)
    return handler


@pytest.mark.parametrize("attr", ["level", "max_level", "min_level"])
def test_handler_level_outside_the_levels(new_logger, attr):
    with pytest.raises(ValueError, match="^9 is not a valid Level$"):
        new_logger("cfg.bad", handlers=[level_attribute(attr, 9)])


def test_a_file_that_cannot_be_opened_raises_oserror(new_logger, tmp_path):
    with pytest.raises(OSError) as info:
        new_logger("cfg.dir", handlers=[q.FileHandler(str(tmp_path))])
    assert str(tmp_path) in str(info.value)


def test_an_attribute_read_that_empties_the_list_ends_the_walk(new_logger):
    handlers = []

    class Emptying(q.StderrHandler):
        @property
        def color(self):
            handlers.clear()
            return False

    handlers += [Emptying(), q.BasicConsoleHandler()]
    assert [kind for kind, _, _ in ext.sinks(new_logger("cfg.emptying", handlers=handlers))[2]] == ["stderr"]


def test_a_second_init_starts_from_an_empty_builder(new_logger, tmp_path):
    logger = new_logger("cfg.again", handlers=[q.FileHandler(str(tmp_path / "1.log"))])
    logger.__init__("cfg.again", handlers=[q.FileHandler(str(tmp_path / "2.log"))])
    assert [os.path.basename(f) for _, _, f in ext.sinks(logger)[2]] == ["2.log"]


def test_repr_of_a_logger_not_built_names_nothing():
    class Unbuilt(q.Logger):
        def __init__(self):
            pass

    assert repr(Unbuilt()) == "test_repr_of_a_logger_not_built_names_nothing.<locals>.Unbuilt()"


def test_a_subclass_that_skips_construction_logs_nothing():
    class Unbuilt(q.Logger):
        def __init__(self):
            pass

    logger = Unbuilt()
    assert logger.info("nowhere") is None and ext.sinks(logger) is None


# --- The default logger and the standard package ---------------------------------------------

def test_set_default_redirects_default_logger(new_logger, tmp_path):
    first, second = tmp_path / "first.log", tmp_path / "second.log"
    default = q.DefaultLogger()
    new_logger("cfg.first", handlers=[q.FileHandler(str(first), pattern="%n %v")], set_default=True)
    default.info("one")
    new_logger("cfg.second", handlers=[q.FileHandler(str(second), pattern="%n %v")], set_default=True)
    default.info("two")
    new_logger("cfg.third", handlers=[q.FileHandler(str(tmp_path / "third.log"))])  # not the default
    default.info("three")
    assert flushed_lines("cfg.first", first) == ["cfg.first one"]
    assert flushed_lines("cfg.second", second) == ["cfg.second two", "cfg.second three"]


def test_the_registry_default_outlives_its_logger(new_logger, tmp_path):
    path = tmp_path / "kept.log"
    logger = new_logger("cfg.kept", handlers=[q.FileHandler(str(path), pattern="%v")], set_default=True)
    del logger
    q.DefaultLogger().info("still there")
    assert flushed_lines("cfg.kept", path) == ["still there"]


def test_set_default_and_intercept_install_one_handler(new_logger, tmp_path):
    root = logging.getLogger()
    root.addHandler(logging.NullHandler())
    new_logger("cfg.std1", handlers=[q.FileHandler(str(tmp_path / "1.log"))], set_default=True)
    new_logger("cfg.std2", handlers=[q.FileHandler(str(tmp_path / "2.log"))], set_default=True)
    assert [type(h) for h in root.handlers] == [q.PyLogHandler]
    assert root.level == root.handlers[0].level == logging.DEBUG


@pytest.mark.parametrize("flags", [{"set_default": False}, {"set_default": True, "intercept_stdlib_logging": False},
                                   {"set_default": False, "intercept_stdlib_logging": True}])
def test_no_takeover_without_both_flags(new_logger, tmp_path, flags):
    root = logging.getLogger()
    before = root.handlers[:], root.level
    new_logger("cfg.keep", handlers=[q.FileHandler(str(tmp_path / "k.log"))], **flags)
    assert (root.handlers, root.level) == before


def test_a_failing_takeover_fails_construction_after_the_default_changed(new_logger, monkeypatch, tmp_path):
    monkeypatch.setattr(q, "py_logging", object())
    with pytest.raises(AttributeError, match="getLogger"):
        new_logger("cfg.half", handlers=[q.FileHandler(str(tmp_path / "h.log"))], set_default=True)
    assert ext.default_name() == "cfg.half"


def test_standard_records_from_another_module(new_logger, tmp_path, monkeypatch):
    (tmp_path / "cfg_worker.py").write_text(textwrap.dedent("""\
        import logging

        def work():
            try:
                {}["missing"]
            except KeyError:
                logging.getLogger("cfg.worker").error("failed %s", "here", exc_info=True)
    """))
    monkeypatch.syspath_prepend(str(tmp_path))
    import cfg_worker

    path = tmp_path / "std.log"
    new_logger("cfg.std", handlers=[q.FileHandler(str(path), pattern="%n|%l|%s|%#|%!|%v")], set_default=True)
    cfg_worker.work()
    lines = flushed_lines("cfg.std", path)
    assert lines[0] == "cfg.std|error|cfg_worker.py|7|work|failed here"
    assert lines[1] == "Traceback (most recent call last):"
    # The exception text keeps its own final line feed, then the pattern ends the line.
    assert lines[-2:] == ["KeyError: 'missing'", ""]


# --- __pyx_capi__ -----------------------------------------------------------------------------

SIGNATURES = {
    "get_logger_by_name": "SpdLogger (char const *)",
    "get_logger_ptr": "std::shared_ptr<spdlog::logger>  &(struct __pyx_opt_args_5korvo_7quillet_7quillet_get_logger_ptr"
                      " *__pyx_optional_args)",
    "get_logger": "void (SpdLogger &, struct __pyx_opt_args_5korvo_7quillet_7quillet_get_logger "
                  "*__pyx_optional_args)",
}


def test_capi_holds_three_capsules_named_by_their_signatures():
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype, get_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
    assert list(q.__pyx_capi__) == list(SIGNATURES)
    assert {k: get_name(v).decode() for k, v in q.__pyx_capi__.items()} == SIGNATURES


@pytest.fixture
def registered(new_logger, tmp_path):
    new_logger("cfg.default", handlers=[q.FileHandler(str(tmp_path / "d.log"))], set_default=True,
               intercept_stdlib_logging=False)
    new_logger("cfg.named", handlers=[q.FileHandler(str(tmp_path / "n.log"))])


def exc_of(outcome):
    name, error = outcome
    return name, None if error is None else (type(error), str(error))


@pytest.mark.parametrize(("name", "found"), [(b"cfg.named", "cfg.named"), (b"cfg.default", "cfg.default"),
                                             (b"cfg.missing", None)])
def test_capi_get_logger_by_name(registered, name, found):
    assert ext.capi_by_name(name) == (found, None)


def test_capi_get_logger_by_name_refuses_a_null_name(registered):
    name, error = ext.capi_by_name(None)
    assert name is None and type(error) is SystemError


@pytest.mark.parametrize(("options", "outcome"), [
    ((), ("cfg.default", None)),
    ((b"",), ("cfg.default", None)),
    ((b"cfg.named",), ("cfg.named", None)),
    ((bytearray(b"cfg.named"),), ("cfg.named", None)),
    ((b"cfg.missing",), ("cfg.default", None)),
    ((b"cfg.missing", 0), ("cfg.default", None)),  # the flag is not passed on
    ((b"cfg.named", 1), ("cfg.named", None)),
    (("cfg.named",), (None, (TypeError, "expected bytes, str found"))),
    ((None,), (None, (TypeError, "expected bytes, NoneType found"))),
])
def test_capi_get_logger_ptr(registered, options, outcome):
    assert exc_of(ext.capi_ptr(*options)) == outcome


def test_capi_get_logger_ptr_without_a_record_looks_up_the_empty_name(registered):
    assert ext.capi_ptr_null() == ("cfg.default", None)


@pytest.mark.parametrize(("start", "options", "outcome"), [
    (None, None, ("cfg.default", None)),  # no record
    (None, (), ("cfg.default", None)),
    (None, ("cfg.named",), ("cfg.named", None)),
    (None, ("cfg.missing", 0), ("cfg.default", None)),
    ("cfg.named", ("",), ("cfg.default", None)),
    ("cfg.named", (None,), ("cfg.named", (AttributeError, "'NoneType' object has no attribute 'encode'"))),
    ("cfg.named", (b"cfg.default",), ("cfg.named", (TypeError,
                                                    "Argument 'name' has incorrect type (expected str, got bytes)"))),
    ("cfg.named", (Text("cfg.default"),), ("cfg.named", (TypeError,
                                                         "Argument 'name' has incorrect type (expected str, got Text)"))),
    ("cfg.named", ("a\ud800",), ("cfg.named", (UnicodeEncodeError, None))),
])
def test_capi_get_logger(registered, start, options, outcome):
    got = exc_of(ext.capi_get(start) if options is None else ext.capi_get(start, *options))
    if outcome[1] is not None and outcome[1][1] is None:
        got = (got[0], (got[1][0], None))
    assert got == outcome


# --- Leaks ---------------------------------------------------------------------------------

def test_construction_and_lookups_leak_nothing(new_logger, tmp_path, refcount_growth):
    path = str(tmp_path / "leak.log")
    handlers = [q.FileHandler(path), q.RotatingFileHandler(path + ".r"), q.StderrHandler(), q.ConsoleHandler(False)]

    def work():
        new_logger("cfg.leak", 1, "%v", handlers, q.ColorScheme(1), True, False)
        for bad in ({"handlers": [q.LogHandler()]}, {"level": 9}, {"pattern": None}):
            try:
                new_logger("cfg.leak", **bad)
            except (TypeError, ValueError, AttributeError):
                pass
        ext.capi_get(None, "cfg.leak")
        ext.capi_ptr(b"cfg.leak")
        ext.capi_ptr("wrong")

    assert refcount_growth(work, repeat=300) < 0.05


@pytest.mark.parametrize("cls", [q.FileHandler, q.RotatingFileHandler])
def test_a_file_name_with_a_nul_makes_no_file(new_logger, tmp_path, cls):
    class Computed(cls):
        @property
        def filename(self):  # a computed name escapes the attribute's own check
            return str(tmp_path / "app.log\0.bak")

    with pytest.raises(ValueError, match="embedded null byte"):
        new_logger("cfg.nul", handlers=[Computed("ignored")])
    assert list(tmp_path.iterdir()) == []

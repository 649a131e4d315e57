"""Handler descriptions and ColorScheme: defaults, docstrings, constructors and attribute rules."""

import re

import pytest

from korvo.quillet import quillet as q

L = q.Level
PATTERN = q.default_handler_pattern

DEFAULTS = [
    (q.LogHandler, (), {"color": True, "pattern": PATTERN, "level": L.TRACE}),
    (q.StdoutHandler, (), {"color": False, "pattern": PATTERN, "level": L.TRACE, "max_level": L.INFO,
                           "json": False}),
    (q.StderrHandler, (), {"color": False, "pattern": PATTERN, "level": L.WARN, "json": False}),
    (q.BasicConsoleHandler, (), {"color": False, "pattern": PATTERN, "level": L.TRACE, "json": False}),
    (q.ConsoleHandler, (), {"color": True, "pattern": PATTERN, "level": L.TRACE, "max_stdout_level": L.INFO,
                            "min_level": L.TRACE, "json": False}),
    (q.FileHandler, ("a.log",), {"filename": "a.log", "color": False, "pattern": PATTERN, "level": L.TRACE,
                                 "overwrite": False, "buffered": False, "json": False}),
    (q.RotatingFileHandler, ("r.log",), {"filename": "r.log", "color": False, "pattern": PATTERN, "level": L.TRACE,
                                         "overwrite": False, "max_size": 1048576, "max_files": 3, "buffered": False,
                                         "json": False}),
    (q.ColorScheme, (), {f"{n}_color": -1 for n in ("trace", "debug", "info", "warn", "error", "critical")}),
]

DOCS = {
    q.LogHandler: "LogHandler(bool color=True, str pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v', "
                  "Level level=Level.TRACE)",
    q.StdoutHandler: "StdoutHandler(bool color=False, str pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v', "
                     "Level level=Level.TRACE, Level max_level=Level.INFO, bool json=False)",
    q.StderrHandler: "StderrHandler(bool color=False, str pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v', "
                     "Level level=Level.WARN, bool json=False)",
    q.BasicConsoleHandler: "BasicConsoleHandler(bool color=False, str pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] "
                           "[%^%l%$] %v', Level level=Level.TRACE, bool json=False)",
    q.ConsoleHandler: "ConsoleHandler(bool color=True, str pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v', "
                      "Level max_stdout_level=Level.INFO, Level min_level=Level.TRACE, bool json=False)",
    q.FileHandler: "FileHandler(str filename, bool color=False, str pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] "
                   "[%^%l%$] %v', Level level=Level.TRACE, bool overwrite=False, bool buffered=False, "
                   "bool json=False)",
    q.RotatingFileHandler: "RotatingFileHandler(str filename, str pattern='[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v', "
                           "Level level=Level.TRACE, size_t max_size=1048576, size_t max_files=3, "
                           "bool buffered=False, bool json=False)",
    q.ColorScheme: "ColorScheme(int trace_color=-1, int debug_color=-1, int info_color=-1, int warn_color=-1, "
                   "int error_color=-1, int critical_color=-1)",
}

# (class declaring it, attribute, docstring)
ATTRIBUTE_DOCS = [
    (q.LogHandler, "color", "color: 'bool'"), (q.LogHandler, "pattern", "pattern: str"),
    (q.LogHandler, "level", "level: 'Level'"), (q.StdoutHandler, "max_level", "max_level: 'Level'"),
    (q.ConsoleHandler, "max_stdout_level", "max_stdout_level: 'Level'"),
    (q.ConsoleHandler, "min_level", "min_level: 'Level'"), (q.FileHandler, "filename", "filename: str"),
    (q.FileHandler, "overwrite", "overwrite: 'bool'"), (q.FileHandler, "buffered", "buffered: 'bool'"),
] + [(cls, "json", "json: 'bool'") for cls in (q.StdoutHandler, q.StderrHandler, q.BasicConsoleHandler,
                                               q.ConsoleHandler, q.FileHandler)] + [
    (q.RotatingFileHandler, "max_size", "max_size: 'size_t'"),
    (q.RotatingFileHandler, "max_files", "max_files: 'size_t'"),
] + [(q.ColorScheme, f"{n}_color", f"{n}_color: 'int'") for n in ("trace", "debug", "info", "warn", "error",
                                                                  "critical")]


@pytest.mark.parametrize(("cls", "args", "fields"), DEFAULTS, ids=lambda v: getattr(v, "__name__", None))
def test_defaults(cls, args, fields):
    obj = cls(*args)
    assert {name: getattr(obj, name) for name in fields} == fields
    for name, value in fields.items():
        if name.endswith("level"):
            assert type(getattr(obj, name)) is L


@pytest.mark.parametrize(("cls", "doc"), DOCS.items(), ids=lambda v: getattr(v, "__name__", None))
def test_class_docstrings_and_tree(cls, doc):
    assert cls.__doc__ == doc
    assert cls.__module__ == "korvo.quillet.quillet"
    expected_base = {q.RotatingFileHandler: q.FileHandler, q.LogHandler: object, q.ColorScheme: object}
    assert cls.__bases__ == (expected_base.get(cls, q.LogHandler),)


@pytest.mark.parametrize(("cls", "attr", "doc"), ATTRIBUTE_DOCS)
def test_attribute_docstrings(cls, attr, doc):
    assert vars(cls)[attr].__doc__ == doc


@pytest.mark.parametrize(("cls", "args", "fields"), DEFAULTS, ids=lambda v: getattr(v, "__name__", None))
def test_fresh_allocation_and_no_instance_dict(cls, args, fields):
    obj = cls.__new__(cls, "ignored", level=5)
    for name in fields:
        expected = {"pattern": None, "filename": None}.get(name, 0)
        assert getattr(obj, name) == expected
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.unknown = 1

    class Sub(cls):
        pass

    sub = Sub(*args)
    sub.unknown = 1
    assert sub.unknown == 1 and getattr(sub, next(iter(fields))) == fields[next(iter(fields))]


def altered(value):
    """Another value of the same kind, so a repr of defaults alone proves nothing."""
    if isinstance(value, bool):
        return not value
    if isinstance(value, L):
        return L.ERROR
    if isinstance(value, int):
        return value + 7
    return "%v <%s:%#>" if value == PATTERN else value + ".1"


@pytest.mark.parametrize(("cls", "args", "fields"), DEFAULTS, ids=lambda v: getattr(v, "__name__", None))
def test_repr_is_the_call_that_configures_the_same(cls, args, fields):
    params = re.findall(r"(?:bool|str|Level|size_t|int) (\w+)", DOCS[cls])
    obj = cls(*args)
    for name in params:
        setattr(obj, name, altered(getattr(obj, name)))
    text = repr(obj)
    assert re.findall(r"(?:^|, |\()(\w+)=", text) == params and text.startswith(cls.__name__ + "(")
    again = eval(text, vars(q))
    assert type(again) is cls and {n: getattr(again, n) for n in fields} == {n: getattr(obj, n) for n in fields}

    class Mine(cls):
        pass

    assert repr(Mine(*args)).startswith("test_repr_is_the_call_that_configures_the_same.<locals>.Mine(")


@pytest.mark.parametrize(("obj", "part"), [
    (q.StdoutHandler(max_level=9), "max_level=9"),
    (q.FileHandler(None), "filename=None"),
    (q.LogHandler.__new__(q.LogHandler), "LogHandler(color=False, pattern=None, level=Level.TRACE)"),
])
def test_repr_of_values_no_constructor_gives(obj, part):
    assert part in repr(obj)


def test_constructor_arguments_by_position_and_keyword():
    h = q.FileHandler("f.log", 1, "%v", L.ERROR, "yes", [1])
    assert (h.filename, h.color, h.pattern, h.level, h.overwrite, h.buffered) == ("f.log", True, "%v", L.ERROR, True,
                                                                                  True)
    r = q.RotatingFileHandler(max_files=7, filename="r.log", max_size=10, level=2.9, pattern=None, buffered=1)
    assert (r.filename, r.pattern, r.level, r.max_size, r.max_files, r.color, r.buffered) == (
        "r.log", None, L.INFO, 10, 7, False, True)
    assert q.RotatingFileHandler("r.log", "%v", 0, 1, 2, True).buffered is True
    c = q.ConsoleHandler(0, "%v", 4, 1)
    assert (c.color, c.max_stdout_level, c.min_level, c.level) == (False, L.ERROR, L.DEBUG, L.TRACE)
    s = q.ColorScheme(1, 2, 3, warn_color=4, critical_color=6)
    assert [s.trace_color, s.debug_color, s.info_color, s.warn_color, s.error_color, s.critical_color] == [
        1, 2, 3, 4, -1, 6]
    assert q.FileHandler(None).filename is None  # the missing name surfaces when a Logger is built


def test_log_handler_stores_any_level_but_subclasses_convert_theirs():
    h = q.LogHandler(level=9)  # stored without complaint
    with pytest.raises(ValueError) as info:
        h.level
    assert str(info.value) == "9 is not a valid Level"
    h = q.StdoutHandler(max_level=7)
    with pytest.raises(ValueError, match="^7 is not a valid Level$"):
        h.max_level
    assert q.ConsoleHandler(max_stdout_level=-1, min_level=8).level == L.TRACE


class Text(str):
    pass


CONSTRUCTION_ERRORS = [
    (q.LogHandler, (), {"pattern": b"%v"}, TypeError, "Argument 'pattern' has incorrect type (expected str, got bytes)"),
    (q.StderrHandler, (), {"pattern": Text("%v")}, TypeError,
     "Argument 'pattern' has incorrect type (expected str, got Text)"),
    (q.FileHandler, (5,), {}, TypeError, "Argument 'filename' has incorrect type (expected str, got int)"),
    (q.FileHandler, ("app.log\0.bak",), {}, ValueError, "embedded null byte"),
    (q.RotatingFileHandler, ("app.log\0.bak",), {}, ValueError, "embedded null byte"),
    (q.FileHandler, (), {}, TypeError, "__init__() missing required argument 'filename' (pos 1)"),
    (q.RotatingFileHandler, (), {"max_size": 3}, TypeError, "__init__() missing required argument 'filename' (pos 1)"),
    (q.StdoutHandler, (), {"level": 7}, ValueError, "7 is not a valid Level"),
    (q.StderrHandler, (), {"level": -1}, ValueError, "-1 is not a valid Level"),
    (q.BasicConsoleHandler, (False, "%v", 9), {}, ValueError, "9 is not a valid Level"),
    (q.FileHandler, ("f",), {"level": 7}, ValueError, "7 is not a valid Level"),
    (q.RotatingFileHandler, ("f",), {"level": 7}, ValueError, "7 is not a valid Level"),
    (q.RotatingFileHandler, ("f",), {"max_size": -1}, OverflowError, "can't convert negative value to size_t"),
    (q.RotatingFileHandler, ("f",), {"max_files": -3}, OverflowError, "can't convert negative value to size_t"),
    (q.RotatingFileHandler, ("f",), {"max_files": 2**64}, OverflowError, None),
    (q.LogHandler, (), {"level": "INFO"}, TypeError, "an integer is required"),
    (q.LogHandler, (), {"level": 2**31}, OverflowError, None),
    (q.ColorScheme, (), {"warn_color": 2**31}, OverflowError, None),
    (q.ColorScheme, ("red",), {}, TypeError, "an integer is required"),
    (q.LogHandler, (True, "%v", 0, 1), {}, TypeError, "__init__() takes at most 3 positional arguments (4 given)"),
    (q.ColorScheme, (), {"colour": 1}, TypeError, "__init__() got an unexpected keyword argument 'colour'"),
    # Numbers and flags are converted before the text arguments are checked.
    (q.FileHandler, (5,), {"level": "x"}, TypeError, "an integer is required"),
]


@pytest.mark.parametrize(("cls", "args", "kwargs", "exc", "text"), CONSTRUCTION_ERRORS)
def test_construction_errors_keep_previous_values(cls, args, kwargs, exc, text):
    with pytest.raises(exc) as info:
        cls(*args, **kwargs)
    if text is not None:
        assert str(info.value) == text
    obj = cls("kept.log") if cls in (q.FileHandler, q.RotatingFileHandler) else cls()
    before = obj.__reduce__()
    with pytest.raises(exc):
        obj.__init__(*args, **kwargs)
    assert obj.__reduce__() == before


# (object, attribute, value given, value read back)
WRITES = [
    (q.LogHandler(), "color", 0, False), (q.LogHandler(), "color", [1], True),
    (q.FileHandler("f"), "overwrite", "yes", True), (q.RotatingFileHandler("r"), "buffered", "yes", True),
    (q.LogHandler(), "pattern", "%v", "%v"), (q.LogHandler(), "pattern", None, None),
    (q.FileHandler("f"), "filename", "g.log", "g.log"), (q.FileHandler("f"), "filename", None, None),
    (q.LogHandler(), "level", L.ERROR, L.ERROR), (q.LogHandler(), "level", True, L.DEBUG),
    (q.LogHandler(), "level", 2.7, L.INFO), (q.StdoutHandler(), "max_level", 6, L.OFF),
    (q.ConsoleHandler(), "min_level", 3, L.WARN), (q.ConsoleHandler(), "max_stdout_level", 0, L.TRACE),
    (q.RotatingFileHandler("r"), "max_size", 2**64 - 1, 2**64 - 1), (q.RotatingFileHandler("r"), "max_files", 0, 0),
    (q.ColorScheme(), "info_color", 196, 196), (q.ColorScheme(), "trace_color", -(2**31), -(2**31)),
    (q.ColorScheme(), "error_color", 31.9, 31),
]


@pytest.mark.parametrize(("obj", "attr", "value", "read"), WRITES)
def test_attribute_writes(obj, attr, value, read):
    setattr(obj, attr, value)
    assert getattr(obj, attr) == read
    assert type(getattr(obj, attr)) is type(read)


WRITE_ERRORS = [
    (q.LogHandler(), "pattern", b"%v", TypeError, "Expected str, got bytes"),
    (q.LogHandler(), "pattern", Text("%v"), TypeError, "Expected str, got Text"),
    (q.FileHandler("f"), "filename", 5, TypeError, "Expected str, got int"),
    (q.RotatingFileHandler("f"), "filename", "\0", ValueError, "embedded null byte"),
    (q.LogHandler(), "level", "INFO", TypeError, "an integer is required"),
    (q.LogHandler(), "level", 2**31, OverflowError, None),
    (q.RotatingFileHandler("r"), "max_size", -1, OverflowError, "can't convert negative value to size_t"),
    (q.RotatingFileHandler("r"), "max_files", 2**64, OverflowError, None),
    (q.RotatingFileHandler("r"), "max_size", 1.5, TypeError, None),
    (q.ColorScheme(), "debug_color", 2**31, OverflowError, None),
    (q.ColorScheme(), "debug_color", None, TypeError, "an integer is required"),
]


@pytest.mark.parametrize(("obj", "attr", "value", "exc", "text"), WRITE_ERRORS)
def test_attribute_write_errors_keep_the_value(obj, attr, value, exc, text):
    before = getattr(obj, attr)
    with pytest.raises(exc) as info:
        setattr(obj, attr, value)
    if text is not None:
        assert str(info.value) == text
    assert getattr(obj, attr) == before


@pytest.mark.parametrize(("number", "text"), [(9, "9 is not a valid Level"), (-1, "-1 is not a valid Level"),
                                              (7, "7 is not a valid Level")])
@pytest.mark.parametrize(("cls", "attr"), [(q.LogHandler, "level"), (q.StdoutHandler, "max_level"),
                                           (q.ConsoleHandler, "max_stdout_level"), (q.ConsoleHandler, "min_level")])
def test_level_out_of_range_is_stored_and_refused_on_read(cls, attr, number, text):
    obj = cls()
    setattr(obj, attr, number)
    with pytest.raises(ValueError) as info:
        getattr(obj, attr)
    assert str(info.value) == text


@pytest.mark.parametrize(("obj", "attr"), [(q.LogHandler(), "pattern"), (q.FileHandler("f"), "filename")])
def test_deleting_a_text_stores_none(obj, attr):
    delattr(obj, attr)
    assert getattr(obj, attr) is None
    delattr(obj, attr)
    assert getattr(obj, attr) is None


@pytest.mark.parametrize(("obj", "attr"), [
    (q.LogHandler(), "color"), (q.LogHandler(), "level"), (q.StdoutHandler(), "max_level"),
    (q.ConsoleHandler(), "max_stdout_level"), (q.ConsoleHandler(), "min_level"), (q.FileHandler("f"), "overwrite"),
    (q.FileHandler("f"), "buffered"),
    (q.RotatingFileHandler("r"), "max_size"), (q.RotatingFileHandler("r"), "max_files"),
    (q.ColorScheme(), "critical_color"),
])
def test_deleting_anything_else_is_refused(obj, attr):
    before = getattr(obj, attr)
    with pytest.raises(NotImplementedError) as info:
        delattr(obj, attr)
    assert str(info.value) == "__del__"
    assert getattr(obj, attr) == before


def test_base_initialiser_is_the_next_in_the_instance_mro():
    seen = []

    class Probe(q.LogHandler):
        def __init__(self, *args):
            seen.append(args)
            super().__init__(*args)

    class FileProbe(q.FileHandler):
        def __init__(self, *args):
            seen.append(args)
            super().__init__(*args)

    class Stdout(q.StdoutHandler, Probe):
        pass

    class Console(q.ConsoleHandler, Probe):
        pass

    class Rotating(q.RotatingFileHandler, FileProbe):
        pass

    s = Stdout(1, "%v", 2, 4)
    assert seen == [(True, "%v", L.INFO)] and type(seen[0][2]) is L
    assert (s.color, s.pattern, s.level, s.max_level) == (True, "%v", L.INFO, L.ERROR)
    seen.clear()
    Console(pattern=None, min_level=3)
    assert seen == [(True, None, L.TRACE)]
    seen.clear()
    r = Rotating("r.log", level=4, max_size=9, buffered=True)
    assert seen == [("r.log", False, PATTERN, 4, False)] and type(seen[0][3]) is int
    assert (r.level, r.max_size, r.max_files, r.buffered) == (L.ERROR, 9, 3, True)


def test_a_base_initialiser_that_fails_stores_nothing_further():
    class Refusing(q.LogHandler):
        def __init__(self, *args):
            raise RuntimeError("no")

    class Stdout(q.StdoutHandler, Refusing):
        pass

    obj = Stdout.__new__(Stdout)
    with pytest.raises(RuntimeError, match="no"):
        obj.__init__(max_level=5)
    assert obj.max_level == L.TRACE and obj.pattern is None


@pytest.mark.parametrize("cls", [q.LogHandler, q.ConsoleHandler, q.RotatingFileHandler, q.ColorScheme])
def test_cycles_through_subclass_instances_are_collected(cls):
    import gc
    import weakref

    sub = type("Cyclic", (cls,), {})
    obj = sub("f") if issubclass(cls, q.FileHandler) else sub()
    obj.me = obj
    gone = weakref.ref(obj)
    del obj
    gc.collect()
    assert gone() is None


def test_configuration_objects_leak_nothing(refcount_growth):
    def work():
        h = q.RotatingFileHandler("r.log", "%v", 1, 10, 2)
        h.pattern = "%l"
        h.filename = None
        del h.pattern
        q.StdoutHandler(True, "%v", 1, 3)
        q.ColorScheme(1, 2, 3)
        try:
            q.StdoutHandler(level=9)
        except ValueError:
            pass
        try:
            h.level = "x"
        except TypeError:
            pass

    assert refcount_growth(work) < 0.05

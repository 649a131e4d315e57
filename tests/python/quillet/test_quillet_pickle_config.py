"""Pickled state of the configuration classes: reduction forms, checksums, round trips, errors."""

import copy
import pickle

import pytest

from korvo.quillet import quillet as q

L = q.Level
P = q.default_handler_pattern

# class, constructor arguments, state of that object, checksum written, the two also accepted, field list
CLASSES = [
    (q.LogHandler, (), (True, L.TRACE, P), 248553524, (144241045, 229147304), "color, level, pattern"),
    (q.StdoutHandler, (), (False, L.TRACE, L.INFO, P), 11261678, (150681764, 102288808),
     "color, level, max_level, pattern"),
    (q.StderrHandler, (), (False, L.WARN, P), 248553524, (144241045, 229147304), "color, level, pattern"),
    (q.BasicConsoleHandler, (), (False, L.TRACE, P), 248553524, (144241045, 229147304), "color, level, pattern"),
    (q.ConsoleHandler, (), (True, L.TRACE, L.INFO, L.TRACE, P), 106424894, (138641504, 25251890),
     "color, level, max_stdout_level, min_level, pattern"),
    (q.FileHandler, ("f.log",), (False, "f.log", L.TRACE, False, P), 114860579, (7346076, 58186703),
     "color, filename, level, overwrite, pattern"),
    (q.RotatingFileHandler, ("r.log",), (False, "r.log", L.TRACE, 3, 1048576, False, P), 44524042,
     (201398803, 50701797), "color, filename, level, max_files, max_size, overwrite, pattern"),
    (q.ColorScheme, (), (-1, -1, -1, -1, -1, -1), 32762675, (124373663, 9333230),
     "critical_color, debug_color, error_color, info_color, trace_color, warn_color"),
]
IDS = [c[0].__name__ for c in CLASSES]

# Non-default values for each class: (constructor arguments, then attributes to set).
CHANGED = {
    q.LogHandler: ((False, "%v", L.ERROR), {}),
    q.StdoutHandler: ((True, "%l %v", L.DEBUG, L.WARN), {}),
    q.StderrHandler: ((True, None, L.CRITICAL), {"json": True}),
    q.BasicConsoleHandler: ((True, "%v", L.INFO), {}),
    q.ConsoleHandler: ((False, "%v", L.ERROR, L.DEBUG), {}),
    q.FileHandler: (("x.log", True, "%v", L.WARN, True), {"json": True}),
    q.RotatingFileHandler: (("y.log", "%v", L.INFO, 10, 2**64 - 1), {"overwrite": True, "color": True,
                                                                      "buffered": True}),
    q.ColorScheme: ((1, 2, 3, 4, 5, 6), {}),
}

FIELDS = {cls: fields.split(", ") for cls, *_, fields in CLASSES}
# Members added after the field lists, pickled after the __dict__ slot in this order.
EXTRAS = {cls: (["buffered", "json"] if issubclass(cls, q.FileHandler) else
                ["json"] if cls not in (q.LogHandler, q.ColorScheme) else []) for cls in FIELDS}
# What a round trip keeps besides the field list: members pickled after it.
KEPT = {cls: FIELDS[cls] + EXTRAS[cls] for cls in FIELDS}


def unpickler(cls):
    return getattr(q, f"__pyx_unpickle_{cls.__name__}")


def changed(cls):
    args, attrs = CHANGED[cls]
    obj = cls(*args)
    for name, value in attrs.items():
        setattr(obj, name, value)
    return obj


# Python subclasses with an instance __dict__, defined at module level so pickle finds them.
SUBCLASSES = {cls: type(f"My{cls.__name__}", (cls,), {"__module__": __name__}) for cls in FIELDS}
globals().update({sub.__name__: sub for sub in SUBCLASSES.values()})


@pytest.mark.parametrize(("cls", "args", "state", "checksum", "accepted", "fields"), CLASSES, ids=IDS)
def test_reduction_of_a_default_object(cls, args, state, checksum, accepted, fields):
    reduced = cls(*args).__reduce__()
    if cls is q.ColorScheme:  # no text field: the direct form
        assert reduced == (unpickler(cls), (cls, checksum, state))
    else:
        assert reduced == (unpickler(cls), (cls, checksum, None), state)
    levels = [v for v in (reduced[2] if len(reduced) == 3 else reduced[1][2]) if isinstance(v, L)]
    assert all(type(v) is L for v in levels)


@pytest.mark.parametrize("cls", [c for c in FIELDS if c is not q.ColorScheme], ids=lambda c: c.__name__)
def test_direct_form_when_no_text_is_set(cls):
    obj = cls("f") if issubclass(cls, q.FileHandler) else cls()
    del obj.pattern
    if isinstance(obj, q.FileHandler):
        assert len(obj.__reduce__()) == 3  # the file name still counts
        obj.filename = None
    reduced = obj.__reduce__()
    assert len(reduced) == 2 and reduced[1][0] is cls and None in reduced[1][2]


@pytest.mark.parametrize("cls", list(FIELDS), ids=lambda c: c.__name__)
@pytest.mark.parametrize("clone", [lambda o: pickle.loads(pickle.dumps(o)), lambda o: pickle.loads(pickle.dumps(o, 0)),
                                   copy.copy, copy.deepcopy], ids=["pickle", "protocol0", "copy", "deepcopy"])
def test_round_trips(cls, clone):
    obj = changed(cls)
    again = clone(obj)
    assert type(again) is cls and again is not obj
    assert [getattr(again, f) for f in KEPT[cls]] == [getattr(obj, f) for f in KEPT[cls]]


@pytest.mark.parametrize("cls", list(FIELDS), ids=lambda c: c.__name__)
@pytest.mark.parametrize("clone", [lambda o: pickle.loads(pickle.dumps(o)), copy.copy, copy.deepcopy],
                         ids=["pickle", "copy", "deepcopy"])
def test_round_trips_of_subclasses_with_a_dict(cls, clone):
    sub = SUBCLASSES[cls]
    args, attrs = CHANGED[cls]
    obj = sub(*args)
    for name, value in attrs.items():
        setattr(obj, name, value)
    assert obj.__reduce__()[1][0] is sub
    obj.tag = ["x"]
    reduced = obj.__reduce__()
    assert reduced[1] == (sub, CLASSES[list(FIELDS).index(cls)][3], None) and reduced[2][len(FIELDS[cls])] == {"tag": ["x"]}
    again = clone(obj)
    assert type(again) is sub and again.tag == ["x"]
    assert [getattr(again, f) for f in KEPT[cls]] == [getattr(obj, f) for f in KEPT[cls]]


@pytest.mark.parametrize(("cls", "args", "state", "checksum", "accepted", "fields"), CLASSES, ids=IDS)
def test_every_accepted_checksum_unpickles(cls, args, state, checksum, accepted, fields):
    for number in (checksum, *accepted):
        obj = unpickler(cls)(cls, number, state)
        assert type(obj) is cls
        assert tuple(getattr(obj, f) for f in FIELDS[cls]) == state
    sub = unpickler(cls)(SUBCLASSES[cls], checksum, state + ({"extra": 1},))
    assert type(sub) is SUBCLASSES[cls] and sub.extra == 1


@pytest.mark.parametrize(("cls", "args", "state", "checksum", "accepted", "fields"), CLASSES, ids=IDS)
def test_wrong_checksum(cls, args, state, checksum, accepted, fields):
    with pytest.raises(pickle.PickleError) as info:
        unpickler(cls)(cls, 1, state)
    assert str(info.value) == (f"Incompatible checksums (0x1 vs (0x{checksum:x}, 0x{accepted[0]:x}, "
                               f"0x{accepted[1]:x}) = ({fields}))")
    if cls is q.LogHandler:
        assert str(info.value) == ("Incompatible checksums (0x1 vs (0xed0a034, 0x898f195, 0xda882a8) = "
                                   "(color, level, pattern))")


@pytest.mark.parametrize("cls", list(FIELDS), ids=lambda c: c.__name__)
def test_unpickling_without_state_gives_a_fresh_allocation(cls):
    obj = unpickler(cls)(cls, CLASSES[list(FIELDS).index(cls)][3], None)
    for name in FIELDS[cls]:
        assert getattr(obj, name) == ({"pattern": None, "filename": None}.get(name, 0))


@pytest.mark.parametrize("cls", list(FIELDS), ids=lambda c: c.__name__)
def test_unpickling_function_docstrings(cls):
    name = f"__pyx_unpickle_{cls.__name__}"
    assert unpickler(cls).__doc__ == f"{name}(__pyx_type, long __pyx_checksum, tuple __pyx_state)"


@pytest.mark.parametrize(("args", "exc", "text"), [
    ((q.StdoutHandler, "11261678", None), TypeError, "an integer is required"),
    ((q.StdoutHandler, 11261678, [False]), TypeError,
     "Argument '__pyx_state' has incorrect type (expected tuple, got list)"),
    ((int, 11261678, None), TypeError, None),
    ((q.LogHandler, 11261678, None), TypeError, None),  # not a subtype of StdoutHandler
    ((q.StdoutHandler, 11261678, (False, 1, 2)), IndexError, "tuple index out of range"),
    ((q.StdoutHandler, 11261678, (False, 1, 2, b"%v")), TypeError, "Expected str, got bytes"),
    ((q.StdoutHandler, 11261678, (False, "x", 2, None)), TypeError, "an integer is required"),
    ((q.StdoutHandler, 11261678, (False, 1, 2, None, {"a": 1})), AttributeError, None),  # no __dict__ to fill
])
def test_unpickle_errors(args, exc, text):
    with pytest.raises(exc) as info:
        q.__pyx_unpickle_StdoutHandler(*args)
    if text is not None:
        assert str(info.value) == text


EXTRA_CASES = [(c, flag) for c in CLASSES for flag in EXTRAS[c[0]]]


@pytest.mark.parametrize(("cls", "args", "state", "checksum", "accepted", "fields", "flag"),
                         [(*c, flag) for c, flag in EXTRA_CASES], ids=[f"{c[0].__name__}-{f}" for c, f in EXTRA_CASES])
def test_a_flag_added_later_pickles_after_the_fields(cls, args, state, checksum, accepted, fields, flag):
    extras = EXTRAS[cls]
    tail = tuple(name == flag for name in extras)
    obj = cls(*args, **{flag: True})
    assert obj.__reduce__() == (unpickler(cls), (cls, checksum, None), state + (None, *tail))
    sub = SUBCLASSES[cls](*args, **{flag: True})
    sub.tag = 1
    assert sub.__reduce__()[2] == state + ({"tag": 1}, *tail)
    for again in (pickle.loads(pickle.dumps(obj)), copy.copy(sub),
                  unpickler(cls)(cls, accepted[0], state + ({}, *(int(t) for t in tail)))):
        assert [getattr(again, name) for name in extras] == list(tail)
    # Off again: the form of a handler that never had the flag, which unpickles with it off;
    # a state written before the later flags existed (only the first of them) loads too.
    setattr(obj, flag, False)
    assert obj.__reduce__() == (unpickler(cls), (cls, checksum, None), state)
    assert getattr(unpickler(cls)(cls, checksum, state), flag) is False
    older = unpickler(cls)(cls, checksum, state + (None, True))
    assert getattr(older, extras[0]) is True and all(getattr(older, n) is False for n in extras[1:])


def test_state_conversions_are_those_of_the_attributes():
    obj = q.__pyx_unpickle_RotatingFileHandler(q.RotatingFileHandler, 44524042,
                                               ([], None, 2.5, True, 7, "yes", None, {}))
    assert (obj.color, obj.filename, obj.level, obj.max_files, obj.max_size, obj.overwrite, obj.pattern) == (
        False, None, L.INFO, 1, 7, True, None)
    scheme = q.__pyx_unpickle_ColorScheme(q.ColorScheme, 9333230, (6, 5, 4, 3, 2, 1, 0))  # 0: no dict update
    assert (scheme.trace_color, scheme.critical_color) == (2, 6)


def test_a_short_state_assigns_the_fields_before_the_missing_one():
    obj = q.ConsoleHandler()
    with pytest.raises(IndexError, match="tuple index out of range"):
        obj.__setstate__((False, L.ERROR))
    assert (obj.color, obj.level, obj.max_stdout_level) == (False, L.ERROR, L.INFO)


@pytest.mark.parametrize(("state", "text"), [
    (None, "cannot pass None into a C function argument that is declared 'not None'"),
    ([True, 0, "%v"], "Expected tuple, got list"),
])
def test_setstate_needs_a_tuple(state, text):
    with pytest.raises(TypeError) as info:
        q.LogHandler().__setstate__(state)
    assert str(info.value) == text


def test_setstate_applies_fields_and_dict():
    obj = SUBCLASSES[q.FileHandler]("a")
    assert obj.__setstate__((True, "b", L.ERROR, True, None, {"k": 2})) is None
    assert (obj.color, obj.filename, obj.level, obj.overwrite, obj.pattern, obj.k) == (True, "b", L.ERROR, True, None,
                                                                                       2)


@pytest.mark.parametrize(("cls", "attr"), [(q.LogHandler, "level"), (q.StdoutHandler, "max_level"),
                                           (q.ConsoleHandler, "min_level")])
def test_a_level_outside_the_levels_cannot_be_pickled(cls, attr):
    obj = cls()
    setattr(obj, attr, 9)
    for attempt in (lambda: obj.__reduce__(), lambda: pickle.dumps(obj), lambda: copy.copy(obj)):
        with pytest.raises(ValueError, match="^9 is not a valid Level$"):
            attempt()


def test_logger_refuses_pickling():
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        pickle.dumps(q.Logger.__new__(q.Logger))


def test_pickling_leaks_nothing(refcount_growth):
    objs = [changed(cls) for cls in FIELDS]
    sub = SUBCLASSES[q.FileHandler]("f")
    sub.tag = "t"

    def work():
        for obj in objs:
            pickle.loads(pickle.dumps(obj))
        copy.deepcopy(sub)
        try:
            q.__pyx_unpickle_StdoutHandler(q.StdoutHandler, 1, None)
        except pickle.PickleError:
            pass
        try:
            q.__pyx_unpickle_StdoutHandler(q.StdoutHandler, 11261678, (False, 1))
        except IndexError:
            pass

    assert refcount_growth(work, repeat=300) < 0.05

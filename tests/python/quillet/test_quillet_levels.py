"""Module frame of korvo.quillet.quillet: Level, its conversions, patterns, globals."""

import enum
import logging
import traceback

import pytest

import quillet_testext as ext
from korvo.quillet import quillet

MEMBERS = [("TRACE", 0), ("DEBUG", 1), ("INFO", 2), ("WARN", 3), ("ERROR", 4), ("CRITICAL", 5), ("OFF", 6)]


def test_level_is_an_int_enum_of_this_module():
    assert issubclass(quillet.Level, enum.IntEnum)
    assert quillet.Level.__module__ == "korvo.quillet.quillet"
    assert [(m.name, m.value) for m in quillet.Level] == MEMBERS


@pytest.mark.parametrize(("name", "number"), MEMBERS)
def test_level_members_convert_both_ways(name, number):
    member = getattr(quillet.Level, name)
    assert quillet.Level(number) is member
    assert int(member) == number
    assert ext.level_object(number) is member


@pytest.mark.parametrize("number", [7, 9, -1, 2**31 - 1, -(2**31)])
def test_numbers_outside_the_levels_are_refused(number):
    with pytest.raises(ValueError) as info:
        ext.level_object(number)
    assert str(info.value) == f"{number} is not a valid Level"


def test_conversion_uses_whatever_level_is_bound_now(monkeypatch):
    class Other:
        WARN = "replacement"

    monkeypatch.setattr(quillet, "Level", Other)
    assert ext.level_object(3) == "replacement"


class WithInt:
    def __int__(self):
        return 4


@pytest.mark.parametrize(
    ("value", "stored"),
    [(quillet.Level.WARN, 3), (True, 1), (False, 0), (2.7, 2), (-1.5, -1), (9, 9), (-1, -1), (WithInt(), 4),
     (2**31 - 1, 2**31 - 1)],
)
def test_level_numbers_from_python_objects(value, stored):
    assert ext.level_number(value) == stored


@pytest.mark.parametrize(("value", "exc", "text"), [
    ("INFO", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (b"\x01", TypeError, "an integer is required"),
    (2**31, OverflowError, None),
    (-(2**31) - 1, OverflowError, None),
])
def test_level_numbers_refused(value, exc, text):
    with pytest.raises(exc) as info:
        ext.level_number(value)
    if text is not None:
        assert str(info.value) == text


def test_default_patterns():
    assert quillet.default_handler_pattern == "[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v"
    assert quillet.default_logger_pattern == "[%d-%m-%Y %H:%M:%S.%f] [%n] [%^%l%$] %v"


def test_globals_bound_at_import():
    assert quillet.py_logging is logging
    assert quillet.traceback is traceback
    assert quillet.Logger.__module__ == quillet.DefaultLogger.__module__ == "korvo.quillet.quillet"
    assert quillet.__pyx_unpickle_DefaultLogger.__doc__ == (
        "__pyx_unpickle_DefaultLogger(__pyx_type, long __pyx_checksum, tuple __pyx_state)")


def test_the_package_re_exports_every_public_class():
    import korvo.quillet as package

    public = {name for name, value in vars(quillet).items() if isinstance(value, type) and not name.startswith("_")}
    assert public <= set(package.__all__)
    assert all(getattr(package, name) is getattr(quillet, name) for name in public)

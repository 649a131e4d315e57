"""The shared C API layer, driven through the test-only extension module."""


import pytest

import korvo_testext as ext


@pytest.mark.parametrize(
    ("kind", "exc_type", "text"),
    [
        ("bad_alloc", MemoryError, "std::bad_alloc"),
        ("bad_cast", TypeError, "std::bad_cast"),
        ("bad_typeid", TypeError, "std::bad_typeid"),
        ("domain_error", ValueError, "domain"),
        ("invalid_argument", ValueError, "invalid"),
        ("ios_failure", OSError, "io"),
        ("out_of_range", IndexError, "range"),
        ("overflow_error", OverflowError, "overflow"),
        ("range_error", ArithmeticError, "range error"),
        ("underflow_error", ArithmeticError, "underflow"),
        ("runtime_error", RuntimeError, "runtime"),
        ("logic_error", RuntimeError, "logic"),
        ("not a std exception", RuntimeError, "Unknown exception"),
    ],
)
def test_cxx_exceptions_translate_by_table(kind, exc_type, text):
    with pytest.raises(exc_type) as info:
        ext.throw(kind)
    assert type(info.value) is exc_type
    assert str(info.value).startswith(text)


def test_pending_python_exception_is_kept():
    with pytest.raises(KeyError, match="already set"):
        ext.throw("pending")


@pytest.mark.parametrize(
    ("args", "kwargs", "expected"),
    [
        ((1, 2), {}, (1, 2, None)),
        ((1, 2, 3), {}, (1, 2, 3)),
        ((1,), {"b": 2}, (1, 2, None)),
        ((), {"c": 3, "b": 2, "a": 1}, (1, 2, 3)),
    ],
)
def test_parse_positional_or_keyword(args, kwargs, expected):
    assert ext.parse(*args, **kwargs) == expected


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((1, 2, 3, 4), {}, "parse() takes at most 3 positional arguments (4 given)"),
        ((1, 2), {"d": 1}, "parse() got an unexpected keyword argument 'd'"),
        ((1, 2), {"a": 1}, "argument for parse() given by name ('a') and position (1)"),
        ((1,), {}, "parse() missing required argument 'b' (pos 2)"),
        ((), {"b": 1}, "parse() missing required argument 'a' (pos 1)"),
    ],
)
def test_parse_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        ext.parse(*args, **kwargs)
    assert str(info.value) == message


class Index:
    def __index__(self):
        return 7


class IntOnly:
    def __int__(self):
        return 5


@pytest.mark.parametrize(("value", "expected"), [(0, 0), (2**64 - 1, 2**64 - 1), (True, 1), (Index(), 7)])
def test_to_size_accepts_unsigned_64(value, expected):
    assert ext.to_size(value) == expected


@pytest.mark.parametrize(
    ("value", "exc_type", "message"),
    [
        (-1, OverflowError, "can't convert negative value to size_t"),
        (2**64, OverflowError, None),
        (1.5, TypeError, None),
        ("3", TypeError, None),
    ],
)
def test_to_size_refuses(value, exc_type, message):
    with pytest.raises(exc_type) as info:
        ext.to_size(value)
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize(
    ("value", "expected"),
    [(0, 0), (-(2**31), -(2**31)), (2**31 - 1, 2**31 - 1), (True, 1), (2.7, 2), (-2.7, -2), (IntOnly(), 5)],
)
def test_to_int32_accepts_ints_and_int_protocol(value, expected):
    assert ext.to_int32(value) == expected


@pytest.mark.parametrize(
    ("value", "exc_type"),
    [(2**31, OverflowError), (-(2**31) - 1, OverflowError), ("3", TypeError), (None, TypeError), (Index(), TypeError)],
)
def test_to_int32_refuses(value, exc_type):
    with pytest.raises(exc_type) as info:
        ext.to_int32(value)
    if exc_type is TypeError:
        assert str(info.value) == "an integer is required"


@pytest.mark.parametrize(("value", "expected"), [(0, False), ([], False), ("x", True), (object(), True)])
def test_to_bool_is_truth_value(value, expected):
    assert ext.to_bool(value) is expected


def test_to_bool_propagates_bool_errors():
    class Broken:
        def __bool__(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        ext.to_bool(Broken())


def test_exact_type_check_refuses_subclass():
    class Text(str):
        pass

    assert ext.check_str("ok") == "ok"
    with pytest.raises(TypeError) as info:
        ext.check_str(Text("no"))
    assert str(info.value) == "Argument 'text' has incorrect type (expected str, got Text)"


def test_unraisable_report_carries_context(unraisable):
    ext.unraisable("korvo.test.Thing.__dealloc__", "boom")
    assert len(unraisable) == 1
    assert unraisable[0].object == "korvo.test.Thing.__dealloc__"
    assert type(unraisable[0].exc_value) is ValueError
    assert str(unraisable[0].exc_value) == "boom"


def test_vtable_published_and_called_natively():
    table = ext.Table(factor=3)
    assert ext.call_table(table, 5) == 15

    class Sub(ext.Table):
        pass

    # Instances of Python subclasses carry the base type's table.
    assert ext.call_table(Sub(factor=2), 5) == 10
    assert "__pyx_vtable__" in ext.Table.__dict__
    with pytest.raises(TypeError, match="not a Table"):
        ext.call_table(object(), 1)


def test_capi_lookup_checks_signature_text():
    assert ext.call_capi("korvo_testext", "twice", "int (int)", 21) == 42
    with pytest.raises(TypeError, match="wrong signature"):
        ext.call_capi("korvo_testext", "twice", "int (long)", 1)
    with pytest.raises(ImportError, match="does not export"):
        ext.call_capi("korvo_testext", "thrice", "int (int)", 1)


def test_refcounts_stable_over_repeated_calls(refcount_growth):
    def work():
        ext.parse(1, 2, c=3)
        for kind in ("runtime_error", "pending", "unknown"):
            try:
                ext.throw(kind)
            except Exception:
                pass
        ext.to_int32(2.5)

    assert refcount_growth(work) < 0.05

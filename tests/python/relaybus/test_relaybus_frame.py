"""The bridge module's frame: names, message kinds, CBufferView, published conversions."""

import array
import asyncio
import copy
import pickle

import pytest

import korvo.quillet
import relaybus_testext as ext
from korvo.utils.relaybus import relaybus


def test_module_names():
    import sys

    assert relaybus.asyncio is asyncio and relaybus.sys is sys
    assert relaybus.DefaultLogger is korvo.quillet.DefaultLogger
    assert isinstance(relaybus.logger, korvo.quillet.DefaultLogger)
    for name in ("setup_socket", "SyncDispatcher", "AsyncDispatcher", "AsyncQueue", "KoPipe", "CBufferView",
                 "__pyx_capi__", "__pyx_unpickle_AsyncQueue"):
        assert hasattr(relaybus, name)


def test_published_capsules_and_tables():
    import ctypes

    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype = ctypes.c_char_p
    get_name.argtypes = [ctypes.py_object]
    assert {name: get_name(cap).decode() for name, cap in relaybus.__pyx_capi__.items()} == {
        "obj_to_cbuf": "int (PyObject *, PyObject **, char const **, size_t *)",
        "buf_to_cbuf": "int (PyObject *, Py_buffer *, char const **, size_t *)",
        "bytes_to_cbuf": "int (PyObject *, char const **, size_t *)",
        "str_to_cbuf": "int (PyObject *, char const **, size_t *)",
    }
    for cls in (relaybus.CBufferView, relaybus.KoPipe, relaybus.SyncDispatcher, relaybus.AsyncDispatcher,
                relaybus.AsyncQueue):
        assert "__pyx_vtable__" in cls.__dict__


@pytest.mark.parametrize(
    ("args", "kwargs", "loader"),
    [
        ((), {}, "_load"),
        ((7,), {}, "_load"),
        ((-1,), {}, "_load"),
        ((0,), {}, "_load_bytes"),
        ((), {"msg_kind": 1}, "_load_str"),
        ((2,), {}, "_load_buf"),
        ((3,), {}, "_load_obj"),
        ((True,), {}, "_load_str"),
    ],
)
def test_view_picks_loader_from_kind(args, kwargs, loader):
    assert ext.view_loader_name(relaybus.CBufferView(*args, **kwargs)) == loader


@pytest.mark.parametrize(("value", "exc_type"), [("1", TypeError), (2**31, OverflowError), (None, TypeError)])
def test_view_kind_conversion_errors(value, exc_type):
    with pytest.raises(exc_type):
        relaybus.CBufferView(value)


@pytest.mark.parametrize(
    ("source", "expected", "via_buffer"),
    [
        (b"abc", b"abc", False),
        ("é", "é".encode(), False),
        (bytearray(b"xy"), b"xy", True),
        (memoryview(b"hello")[1:4], b"ell", True),
        (array.array("B", [1, 2]), b"\x01\x02", True),
        ([1, 2, 3], b"\x01\x02\x03", False),
        ("", b"", False),
        (b"", b"", False),
    ],
)
def test_automatic_load_by_kind_table(source, expected, via_buffer):
    data, size, address, own, holds_export = ext.view_load(relaybus.CBufferView(), source)
    assert (data, size, holds_export) == (expected, len(expected), via_buffer)
    assert address != 0  # empty text and bytes still give a non-null address
    if isinstance(source, bytes):
        assert address == own  # bytes are read in place, not copied


@pytest.mark.parametrize("source", [5, 0, [1, 2], bytearray(b"xy"), b"raw"], ids=repr)
def test_object_load_yields_what_bytes_yields(source):
    data, size, *_ = ext.view_load(relaybus.CBufferView(3), source)
    assert (data, size) == (bytes(source), len(bytes(source)))


def test_buffer_load_twice_releases_first_export():
    view = relaybus.CBufferView(2)
    first = bytearray(b"one")
    ext.view_load(view, first)
    with pytest.raises(BufferError):
        first.extend(b"!")  # exported while the view holds it
    ext.view_load(view, bytearray(b"two"))
    first.extend(b"!")  # released by the second load


@pytest.mark.parametrize(
    ("kind", "source", "exc_type"),
    [(1, b"not text", TypeError), (2, "no buffer", TypeError), (3, object(), TypeError)],
)
def test_failed_loads_raise_and_leave_no_data(kind, source, exc_type):
    view = relaybus.CBufferView(kind)
    with pytest.raises(exc_type):
        ext.view_load(view, source)


@pytest.mark.parametrize(
    ("name", "source", "expected"),
    [
        ("obj_to_cbuf", [104, 105], b"hi"),
        ("obj_to_cbuf", 5, bytes(5)),
        ("obj_to_cbuf", 0, b""),
        ("obj_to_cbuf", bytearray(b"ba"), b"ba"),
        ("buf_to_cbuf", bytearray(b"buf"), b"buf"),
        ("bytes_to_cbuf", b"raw", b"raw"),
        ("str_to_cbuf", "text é", "text é".encode()),
    ],
)
def test_published_conversions(name, source, expected):
    assert ext.convert(name, source) == expected


@pytest.mark.parametrize(
    ("name", "source"), [("obj_to_cbuf", object()), ("buf_to_cbuf", "text"), ("str_to_cbuf", b"bytes")]
)
def test_published_conversions_fail_with_exception(name, source):
    with pytest.raises(TypeError):
        ext.convert(name, source)


@pytest.mark.parametrize("make", [relaybus.CBufferView, relaybus.KoPipe, lambda: relaybus.SyncDispatcher(print),
                                  lambda: relaybus.AsyncDispatcher(print)])
@pytest.mark.parametrize("action", [pickle.dumps, copy.copy])
def test_pickling_refused(make, action):
    with pytest.raises(TypeError) as info:
        action(make())
    assert str(info.value) == "no default __reduce__ due to non-trivial __cinit__"


QUEUE_DEFAULTS = "capacity=16384, slot_size=2048, zerocopy=False, overwrite=False, block_on_full=False"


@pytest.mark.parametrize(("make", "text"), [
    (relaybus.CBufferView, "CBufferView(msg_kind=4)"),
    (lambda: relaybus.CBufferView(msg_kind=1), "CBufferView(msg_kind=1)"),
    (relaybus.KoPipe, f"KoPipe({QUEUE_DEFAULTS}, variable_size=False)"),
    (lambda: relaybus.KoPipe(8, 16, True, True, True, True),
     "KoPipe(capacity=8, slot_size=16, zerocopy=True, overwrite=True, block_on_full=True, variable_size=True)"),
    (lambda: relaybus.KoPipe.__new__(relaybus.KoPipe), "KoPipe()"),
    (lambda: relaybus.SyncDispatcher(print),
     f"SyncDispatcher(callback=<built-in function print>, {QUEUE_DEFAULTS}, variable_size=False, detach=True, "
     "nonblocking=True, running=True)"),
    (lambda: relaybus.SyncDispatcher(len, capacity=4, variable_size=1, detach=0, nonblocking=0),
     "SyncDispatcher(callback=<built-in function len>, capacity=4, slot_size=2048, zerocopy=False, overwrite=False, "
     "block_on_full=False, variable_size=True, detach=False, nonblocking=False, running=True)"),
    (lambda: relaybus.SyncDispatcher.__new__(relaybus.SyncDispatcher),
     "SyncDispatcher(callback=None, detach=False, nonblocking=False, running=True)"),
    (lambda: relaybus.AsyncDispatcher(print, 8, 16, True, True, True),
     "AsyncDispatcher(callback=<built-in function print>, capacity=8, slot_size=16, overwrite=True, zerocopy=True, "
     "variable_size=True, running=True)"),
    (lambda: relaybus.AsyncQueue("L", block_on_full=True),
     "AsyncQueue(loop='L', slot_size=1024, capacity=16384, overwrite=False, zerocopy=False, block_on_full=True)"),
    (lambda: relaybus.AsyncQueue.__new__(relaybus.AsyncQueue), "AsyncQueue(loop=None)"),
])
def test_repr_shows_the_configuration(make, text):
    assert repr(make()) == text


def test_dispatcher_repr_after_close_and_with_a_callback_that_shows_it():
    class Consumer:
        def __init__(self):
            self.d = relaybus.SyncDispatcher(self)

        def __call__(self, message):
            pass

        def __repr__(self):
            return f"Consumer({self.d!r})"

    c = Consumer()
    assert repr(c.d).startswith("SyncDispatcher(callback=Consumer(SyncDispatcher(...)), capacity=16384")
    c.d.close()
    assert repr(c.d).endswith("running=False)")


def test_view_loads_do_not_leak(refcount_growth):
    view_buf, view_obj, view_auto = relaybus.CBufferView(2), relaybus.CBufferView(3), relaybus.CBufferView()
    sources = [bytearray(b"abc"), [1, 2], "text", b"bytes", memoryview(b"m")]

    def work():
        ext.view_load(view_buf, sources[0])
        ext.view_load(view_obj, sources[1])
        for source in sources:
            ext.view_load(view_auto, source)
        relaybus.CBufferView(1)

    assert refcount_growth(work) < 0.05

"""SPSCQueue's Python API: construction rules, both families, full-queue policies, refusals."""

import copy
import pickle
import threading

import pytest

from korvo.spsc_queue.spsc_queue import SPSCQueue

OK, FULL, TOO_LARGE, STOPPED = 0, -1, -2, -3
FAMILIES = [("push", "try_pop"), ("push_var", "try_pop_var")]


def test_defaults_and_read_only_fields():
    q = SPSCQueue()
    assert (q.slot_size, q.capacity, q.overwrite, q.zerocopy, q.block_on_full) == (1024, 1024, False, False, False)
    for name in ("slot_size", "capacity", "pushed", "popped", "dropped", "wakeups"):
        with pytest.raises(AttributeError):
            setattr(q, name, 1)


@pytest.mark.parametrize(("args", "text"), [
    ((), "SPSCQueue(slot_size=1024, capacity=1024, overwrite=False, zerocopy=False, block_on_full=False)"),
    ((16, 4, 1, 1, 1), "SPSCQueue(slot_size=16, capacity=4, overwrite=True, zerocopy=True, block_on_full=True)"),
])
def test_repr_is_the_configuring_call(args, text):
    assert repr(SPSCQueue(*args)) == text
    assert repr(eval(text)) == text


def test_arguments_by_position_and_keyword():
    q = SPSCQueue(16, 4, 1, [], "yes")
    assert (q.slot_size, q.capacity, q.overwrite, q.zerocopy, q.block_on_full) == (16, 4, True, False, True)
    q = SPSCQueue(capacity=8, slot_size=32, zerocopy=True)
    assert (q.slot_size, q.capacity, q.zerocopy) == (32, 8, True)


@pytest.mark.parametrize(
    ("args", "kwargs", "exc_type", "message"),
    [
        ((-1, 4), {}, OverflowError, "can't convert negative value to size_t"),
        ((8, -4), {}, OverflowError, "can't convert negative value to size_t"),
        ((0, 4), {}, ValueError, None),
        ((8, 0), {}, ValueError, None),
        ((2**63, 2**63), {}, (ValueError, MemoryError), None),
        (("8", 4), {}, TypeError, None),
        ((8, 4, False, False, False, 1), {}, TypeError, None),
        ((), {"size": 3}, TypeError, "SPSCQueue() got an unexpected keyword argument 'size'"),
        ((8,), {"slot_size": 8}, TypeError, None),
    ],
)
def test_construction_refusals(args, kwargs, exc_type, message):
    with pytest.raises(exc_type) as info:
        SPSCQueue(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize(("push", "pop"), FAMILIES)
@pytest.mark.parametrize("zerocopy", [False, True])
def test_round_trip_in_order_with_wrap_around(push, pop, zerocopy):
    q = SPSCQueue(slot_size=16, capacity=4, zerocopy=zerocopy)
    sent = [bytes([i % 256]) * (i % 17) for i in range(200)]  # 0..16 bytes, wraps many times
    received = []
    for message in sent:
        assert getattr(q, push)(message) == OK
        received.append(getattr(q, pop)())
    assert received == sent
    assert getattr(q, pop)() is None
    assert (q.pushed, q.popped, len(q)) == (200, 200, 0)


@pytest.mark.parametrize(("push", "pop"), FAMILIES)
def test_accepts_any_bytes_like(push, pop):
    q = SPSCQueue(slot_size=8, capacity=4)
    for data in (b"ab", bytearray(b"cd"), memoryview(b"xxef")[2:], array_of(b"gh")):
        assert getattr(q, push)(data) == OK
    assert [getattr(q, pop)() for _ in range(4)] == [b"ab", b"cd", b"ef", b"gh"]
    with pytest.raises(TypeError):
        getattr(q, push)("text is not bytes-like")


def array_of(data):
    import array

    return array.array("B", data)


def test_fixed_family_exact_fit_and_too_large():
    q = SPSCQueue(slot_size=8, capacity=2)
    assert q.push(b"12345678") == OK
    assert q.push(b"123456789") == TOO_LARGE
    assert q.try_pop() == b"12345678"
    assert q.try_pop() is None


def test_variable_family_too_large_for_ring():
    q = SPSCQueue(slot_size=8, capacity=4)  # 32-byte ring
    assert q.push_var(b"x" * 1000) == TOO_LARGE
    assert q.push_var(b"y" * 12) == OK  # larger than a slot is fine in the variable family
    assert q.try_pop_var() == b"y" * 12


@pytest.mark.parametrize(("push", "pop"), FAMILIES)
def test_full_queue_refuses_without_policy(push, pop):
    q = SPSCQueue(slot_size=8, capacity=2)
    results = [getattr(q, push)(b"%d" % i) for i in range(40)]
    stored = results.count(OK)
    assert stored >= 2 and set(results[stored:]) == {FULL}
    assert [getattr(q, pop)() for _ in range(stored)] == [b"%d" % i for i in range(stored)]


@pytest.mark.parametrize(("push", "pop"), FAMILIES)
def test_overwrite_keeps_newest_and_counts_drops(push, pop):
    q = SPSCQueue(slot_size=8, capacity=2, overwrite=True)
    for i in range(40):
        assert getattr(q, push)(b"%d" % i) == OK
    received = []
    while (message := getattr(q, pop)()) is not None:
        received.append(message)
    assert received and received[-1] == b"39"
    assert [int(m) for m in received] == sorted(int(m) for m in received)
    assert q.dropped == 40 - len(received)


def test_block_on_full_waits_for_the_consumer():
    q = SPSCQueue(slot_size=8, capacity=2, block_on_full=True)
    results = []
    producer = threading.Thread(target=lambda: results.extend(q.push(b"%d" % i) for i in range(50)))
    producer.start()
    received = []
    while len(received) < 50:
        message = q.try_pop()
        if message is not None:
            received.append(message)
    producer.join(timeout=30)
    assert results == [OK] * 50
    assert received == [b"%d" % i for i in range(50)]


def test_stop_ends_a_blocked_push_and_refuses_more():
    q = SPSCQueue(slot_size=8, capacity=1, block_on_full=True)
    assert q.push(b"a") == OK
    results = []
    producer = threading.Thread(target=lambda: results.append(q.push(b"b")))
    producer.start()
    producer.join(timeout=0.2)
    q.stop()
    producer.join(timeout=30)
    assert results == [STOPPED]
    assert q.stopped
    assert q.push(b"c") == STOPPED
    assert q.try_pop() == b"a"  # what was queued before stop can still be taken
    assert q.try_pop() is None


@pytest.mark.parametrize("action", [pickle.dumps, copy.copy, copy.deepcopy, lambda q: q.__reduce__(),
                                    lambda q: q.__setstate__(None)])
def test_pickling_refused(action):
    with pytest.raises(TypeError) as info:
        action(SPSCQueue())
    assert str(info.value) == "no default __reduce__ due to non-trivial __cinit__"


def test_native_table_published():
    import ctypes

    capsule = SPSCQueue.__dict__["__pyx_vtable__"]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    assert get_pointer(capsule, None)


def test_subclass_keeps_the_ring():
    class Sub(SPSCQueue):
        def __init__(self, *args, **kwargs):
            super().__init__()

    q = Sub(8, 2)
    assert q.push(b"x") == OK and q.try_pop() == b"x"

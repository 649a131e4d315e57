"""The native coroutine kit, through the test module's two coroutines: relay(awaitable) returns
`await awaitable`; within(cm, awaitable, error) awaits it inside `async with cm` and raises `error`
there when it is not None."""

import asyncio
import gc
import threading
import types
import weakref

import pytest

import korvo_testext as ext


class Step:
    """An awaitable that yields `out` and returns what is sent back in; `during(coro)` runs while
    the coroutine is resumed into it, `handle` decides what a throw() into it does."""

    def __init__(self, out="yielded", during=None, handle=None):
        self.out, self.during, self.handle = out, during, handle
        self.seen = []

    def __await__(self):
        try:
            got = yield self.out
        except BaseException as exc:
            self.seen.append(exc)
            if self.handle is None:
                raise
            return self.handle(exc)
        if self.during is not None:
            self.during()
        return got


class Weakable:
    """A kept argument whose release the tests watch."""

    def __await__(self):
        return (yield "weak")


class Manager:
    """An async context manager recording what __aexit__ receives."""

    def __init__(self, suppress=False, exit_error=None, enter_error=None, exit_awaits=None):
        self.suppress, self.exit_error, self.enter_error, self.exit_awaits = (suppress, exit_error, enter_error,
                                                                              exit_awaits)
        self.exits = []

    async def __aenter__(self):
        if self.enter_error is not None:
            raise self.enter_error
        return self

    async def __aexit__(self, kind, value, tb):
        self.exits.append((kind, value, tb))
        if self.exit_awaits is not None:
            await self.exit_awaits
        if self.exit_error is not None:
            raise self.exit_error
        return self.suppress


def finish(coro, value=None):
    """Sends `value` and returns what the coroutine returned."""
    with pytest.raises(StopIteration) as info:
        coro.send(value)
    return info.value.value


def test_objects_look_like_coroutines():
    coro = ext.relay(Step())
    assert asyncio.iscoroutine(coro)
    assert (coro.__name__, coro.__qualname__) == ("relay", "relay")
    assert repr(coro).startswith("<coroutine object relay at 0x")
    assert coro.cr_frame is None and coro.cr_code is None
    assert (coro.cr_await, coro.cr_running, coro.cr_suspended) == (None, False, False)
    assert coro.__await__() is coro
    coro.close()
    with pytest.raises(TypeError, match="cannot create 'korvo_testext.coroutine' instances"):
        type(coro)()


def test_send_rules_and_attributes_while_suspended():
    step = Step()
    coro = ext.relay(step)
    with pytest.raises(TypeError, match="can't send non-None value to a just-started coroutine"):
        coro.send(1)
    assert coro.send(None) == "yielded"
    assert coro.cr_suspended and not coro.cr_running
    assert coro.cr_await is not None
    assert finish(coro, 42) == 42
    assert (coro.cr_await, coro.cr_suspended) == (None, False)
    for again in (lambda: coro.send(None), lambda: next(coro)):
        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            again()


def test_awaitables_done_at_once_cost_no_suspension():
    @types.coroutine
    def ready():
        return "at once"
        yield  # a generator, never suspends

    assert finish(ext.relay(ready())) == "at once"
    with pytest.raises(TypeError, match="'int' object can't be awaited"):
        ext.relay(1).send(None)


def test_reentry_is_refused():
    seen = []
    coro = None

    def during():
        seen.append(coro.cr_running)
        with pytest.raises(ValueError, match="coroutine already executing"):
            coro.send(None)
        with pytest.raises(ValueError, match="coroutine already executing"):
            coro.throw(KeyError)

    coro = ext.relay(Step(during=during))
    coro.send(None)
    assert finish(coro, "done") == "done"
    assert seen == [True]


@pytest.mark.parametrize(
    "args",
    [
        pytest.param(lambda: (KeyError("k"),), id="instance"),
        pytest.param(lambda: (KeyError,), id="type"),
        pytest.param(lambda: (KeyError, "k"), id="type-value"),
        pytest.param(lambda: (KeyError, ("k",)), id="type-args"),
        pytest.param(lambda: (KeyError, KeyError("k"), None), id="type-instance-traceback"),
    ],
)
@pytest.mark.parametrize("handled", [False, True])
def test_throw_forms_reach_the_awaited_iterator(args, handled):
    step = Step(handle=(lambda exc: "handled") if handled else None)
    coro = ext.relay(step)
    coro.send(None)
    if handled:
        with pytest.raises(StopIteration) as info:
            coro.throw(*args())
        assert info.value.value == "handled"
    else:
        with pytest.raises(KeyError):
            coro.throw(*args())
    assert type(step.seen[0]) is KeyError
    assert step.seen[0].args in ((), ("k",))
    assert coro.cr_await is None


def test_throw_attaches_a_traceback_and_refuses_bad_arguments():
    try:
        raise ValueError("with traceback")
    except ValueError as exc:
        tb = exc.__traceback__
    coro = ext.relay(Step())
    coro.send(None)
    for args, message in [
        ((), "throw expected at least 1 argument, got 0"),
        ((1, 2, 3, 4), "throw expected at least 1 argument, got 4"),
        ((1,), "exceptions must be classes or instances deriving from BaseException, not int"),
        ((KeyError("k"), "v"), "instance exception may not have a separate value"),
    ]:
        with pytest.raises(TypeError, match=message):
            coro.throw(*args)
    assert coro.cr_suspended  # refused arguments change nothing
    with pytest.raises(ValueError) as info:
        coro.throw(ValueError, None, tb)
    assert info.value.__traceback__ is not None


def test_throw_into_an_unstarted_coroutine_ends_it():
    coro = ext.relay(Step())
    with pytest.raises(KeyError):
        coro.throw(KeyError("first"))
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)


def test_close_releases_the_body_and_what_it_keeps():
    kept = Weakable()
    alive = weakref.ref(kept)
    coro = ext.relay(kept)
    assert coro.send(None) == "weak"
    assert coro.close() is None
    assert coro.close() is None  # closing twice is fine
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)
    del kept, coro
    gc.collect()
    assert alive() is None


def test_close_passes_generator_exit_to_the_awaited_iterator():
    step = Step()
    coro = ext.relay(step)
    coro.send(None)
    assert coro.close() is None
    assert [type(e) for e in step.seen] == [GeneratorExit]


def test_close_refuses_a_coroutine_that_keeps_running():
    # close() runs __aexit__, which awaits something that suspends: the coroutine ignored GeneratorExit.
    manager = Manager(exit_awaits=Step("from __aexit__"))
    coro = ext.within(manager, Step(), None)
    coro.send(None)
    with pytest.raises(RuntimeError, match="coroutine ignored GeneratorExit"):
        coro.close()
    assert manager.exits[0][0] is GeneratorExit


def test_never_awaited_warns_and_closed_unstarted_does_not(recwarn):
    coro = ext.relay(Step())
    coro.close()
    del coro
    gc.collect()
    assert not [w for w in recwarn if issubclass(w.category, RuntimeWarning)]
    with pytest.warns(RuntimeWarning, match="coroutine 'relay' was never awaited"):
        ext.relay(Step())
        gc.collect()


def test_asyncio_runs_native_coroutines():
    async def main():
        relayed = await ext.relay(asyncio.sleep(0, "slept"))
        task = asyncio.ensure_future(ext.relay(asyncio.sleep(60)))
        await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return relayed, await ext.within(asyncio.Lock(), asyncio.sleep(0, "locked"), None)

    assert asyncio.run(main()) == ("slept", "locked")


@pytest.mark.parametrize(
    ("manager", "awaitable", "error", "outcome", "seen"),
    [
        pytest.param(Manager(), Step(), None, "sent", None, id="normal"),
        pytest.param(Manager(), Step(), KeyError("body"), KeyError, KeyError, id="raised-in-block"),
        pytest.param(Manager(suppress=True), Step(), KeyError("body"), "sent", KeyError, id="suppressed"),
        pytest.param(Manager(exit_error=OSError("exit")), Step(), KeyError("body"), OSError, KeyError,
                     id="aexit-error-wins"),
        pytest.param(Manager(), 1, None, TypeError, TypeError, id="await-fails-in-block"),
        pytest.param(Manager(suppress=True), 1, KeyError("skipped"), None, TypeError, id="rest-of-block-skipped"),
    ],
)
def test_exceptions_inside_async_with(manager, awaitable, error, outcome, seen):
    coro = ext.within(manager, awaitable, error)
    if isinstance(awaitable, Step):
        assert coro.send(None) == "yielded"
        step = lambda: coro.send("sent")  # noqa: E731
    else:
        step = lambda: coro.send(None)  # noqa: E731
    if isinstance(outcome, type):
        with pytest.raises(outcome):
            step()
    else:
        with pytest.raises(StopIteration) as info:
            step()
        assert info.value.value == outcome
    [(kind, value, tb)] = manager.exits
    if seen is None:
        assert (kind, value, tb) == (None, None, None)
    else:
        assert kind is seen and type(value) is seen


def test_failing_aenter_never_runs_the_block():
    manager = Manager(enter_error=LookupError("enter"))
    with pytest.raises(LookupError, match="enter"):
        ext.within(manager, Step(), None).send(None)
    assert manager.exits == []


def test_cancelled_inside_async_with_reaches_aexit():
    manager = Manager()
    coro = ext.within(manager, Step(), None)
    coro.send(None)
    with pytest.raises(asyncio.CancelledError):
        coro.throw(asyncio.CancelledError())
    assert manager.exits[0][0] is asyncio.CancelledError


def test_coroutines_do_not_leak(refcount_growth):
    def work():
        coro = ext.relay(Step())
        repr(coro)
        coro.send(None)
        try:
            coro.send("x")
        except StopIteration:
            pass
        coro = ext.within(Manager(), Step(), KeyError("k"))
        coro.send(None)
        try:
            coro.send("x")
        except KeyError:
            pass
        coro = ext.relay(Step())
        coro.send(None)
        try:
            coro.throw(ValueError)
        except ValueError:
            pass
        coro = ext.relay(Step())
        coro.send(None)
        coro.close()
        ext.relay(Step()).close()

    assert refcount_growth(work) < 0.5


@pytest.mark.free_threading
def test_a_send_from_another_thread_while_a_step_runs_is_refused():
    inside, other_done, refused = threading.Event(), threading.Event(), []

    def during():  # runs inside the coroutine's second step
        inside.set()
        other_done.wait(30)

    def other():
        inside.wait(30)
        try:
            coro.send(None)
        except ValueError as e:
            refused.append(str(e))
        finally:
            other_done.set()

    coro = ext.relay(Step(during=during))
    assert coro.send(None) == "yielded"
    thread = threading.Thread(target=other, daemon=True)
    thread.start()
    with pytest.raises(StopIteration) as stop:
        coro.send("back")
    thread.join(30)
    assert not thread.is_alive() and refused == ["coroutine already executing"] and stop.value.value == "back"

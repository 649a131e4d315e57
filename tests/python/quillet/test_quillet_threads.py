"""korvo.quillet shared by many threads: one Logger and DefaultLogger while the default and levels
change, Loggers built and dropped while their handler descriptions change, and PyLogHandler
emitting records that another thread changes. Ordinary tests on the default build; run without
the GIL (and under ThreadSanitizer) on the free-threaded one."""

import collections
import itertools
import logging
import pickle
import re
import threading

import pytest

from korvo.quillet import quillet as q

pytestmark = pytest.mark.free_threading

THREADS = 8
CALLS = 200
DEADLINE = 120  # seconds for every join: a hang fails the test, not the run


def run_threads(workers, controllers=()):
    """Runs every worker and controller on its own thread, started together; a controller gets an
    Event set once every worker has returned. Joined within the deadline; the first error is
    raised here."""
    start = threading.Barrier(len(workers) + len(controllers))
    done = threading.Event()
    remaining = [len(workers)]
    lock = threading.Lock()
    errors = []

    def worker_body(work):
        try:
            start.wait()
            work()
        except BaseException as e:  # noqa: BLE001 - re-raised on the main thread
            errors.append(e)
        finally:
            with lock:
                remaining[0] -= 1
                if remaining[0] == 0:
                    done.set()

    def controller_body(control):
        try:
            start.wait()
            control(done)
        except BaseException as e:  # noqa: BLE001
            errors.append(e)
            done.wait(DEADLINE)

    threads = [threading.Thread(target=worker_body, args=(w,)) for w in workers]
    threads += [threading.Thread(target=controller_body, args=(c,)) for c in controllers]
    for t in threads:
        t.start()
    for t in threads:
        t.join(DEADLINE)
    assert not any(t.is_alive() for t in threads), "a thread did not finish"
    if errors:
        raise errors[0]


def file_lines(path):
    return path.read_bytes().decode().splitlines()


@pytest.mark.parametrize("through", ["Logger", "DefaultLogger"])
def test_threads_log_while_the_default_and_levels_change(tmp_path, new_logger, through):
    # Every logger in play writes "%v" lines to one file (appended, one write per record) and
    # never stands above INFO: each info record must be there once and whole, whatever was the
    # default or the level at its call; a debug record may be there (at most once) or not.
    path = tmp_path / "shared.log"

    def build(name):
        handler = q.FileHandler(str(path), pattern="%v")
        return new_logger(name, handlers=[handler], set_default=True, intercept_stdlib_logging=False)

    target = build("ft.first") if through == "Logger" else q.DefaultLogger()
    if through == "DefaultLogger":
        build("ft.first")

    def worker(i):
        def work():
            for k in range(CALLS):
                target.info(f"info {i} {k}")
                target.debug(f"debug {i} {k}")

        return work

    def controller(done):
        names = itertools.cycle(["ft.second", "ft.third"])
        levels = itertools.cycle([q.Level.DEBUG, q.Level.INFO, q.Level.TRACE])
        while not done.is_set():
            build(next(names))  # a new default (the Logger keeps its own)
            target.level = next(levels)
            assert target.level in (q.Level.TRACE, q.Level.DEBUG, q.Level.INFO)

    run_threads([worker(i) for i in range(THREADS)], [controller])
    lines = file_lines(path)
    assert all(re.fullmatch(r"(info|debug) \d+ \d+", line) for line in lines), "a record is not whole"
    infos = sorted(line for line in lines if line.startswith("info"))
    assert infos == sorted(f"info {i} {k}" for i in range(THREADS) for k in range(CALLS))
    debugs = [line for line in lines if line.startswith("debug")]
    assert len(debugs) == len(set(debugs))


@pytest.mark.parametrize("names", ["one name", "a name each"])
def test_threads_build_and_drop_loggers_while_their_handlers_change(tmp_path, new_logger, names):
    # Each Logger is built from one shared FileHandler whose pattern and level another thread
    # keeps setting (and reading, through repr and pickling): every Logger gets one of the
    # patterns whole, and a level that admits INFO.
    path = tmp_path / "built.log"
    shared = q.FileHandler(str(path), pattern="%v")

    def worker(i):
        def work():
            for k in range(CALLS // 4):
                name = "ft.built" if names == "one name" else f"ft.built.{i}"
                quiet = q.StderrHandler(level=q.Level.OFF)
                logger = new_logger(name, handlers=[shared, quiet], intercept_stdlib_logging=False)
                logger.info(f"built {i} {k}")
                del logger, quiet

        return work

    def controller(done):
        patterns = itertools.cycle(["%v", "[x] %v"])
        levels = itertools.cycle([q.Level.INFO, q.Level.TRACE])
        while not done.is_set():
            shared.pattern = next(patterns)
            shared.level = next(levels)
            assert repr(shared).startswith("FileHandler(")
            copy = pickle.loads(pickle.dumps(shared))
            assert copy.pattern in ("%v", "[x] %v") and copy.level in (q.Level.INFO, q.Level.TRACE)

    run_threads([worker(i) for i in range(THREADS)], [controller])
    lines = [line.removeprefix("[x] ") for line in file_lines(path)]
    assert sorted(lines) == sorted(f"built {i} {k}" for i in range(THREADS) for k in range(CALLS // 4))


@pytest.mark.parametrize("extra", [None, {"n": 1}], ids=["plain", "extra"])
def test_threads_emit_records_another_thread_changes(tmp_path, new_logger, extra):
    # Every thread hands the same records to one PyLogHandler while another thread adds and
    # removes an attribute of each record (which moves it between the interpreter's compact and
    # dict forms) and sets the handler's thresholds: every emit writes one whole line.
    path = tmp_path / "bridge.log"
    new_logger("ft.bridge", handlers=[q.FileHandler(str(path), pattern="%v")], set_default=True,
               intercept_stdlib_logging=False)
    handler = q.PyLogHandler(0)
    source = logging.getLogger("ft.bridge.source")
    records = [source.makeRecord(source.name, logging.INFO, __file__, 1, f"bridge {k}", (), None, extra=extra)
               for k in range(CALLS)]

    def worker():
        for record in records:
            handler.emit(record)

    def controller(done):
        while not done.is_set():
            for record in records:
                record.note = 2
            handler._info = logging.INFO
            for record in records:
                del record.note

    run_threads([worker] * THREADS, [controller])
    lines = file_lines(path)
    assert all(re.fullmatch(r"bridge \d+( \w+=\d+)*", line) for line in lines), "a record is not whole"
    counts = collections.Counter(int(line.split()[1]) for line in lines)
    assert counts == {k: THREADS for k in range(CALLS)}

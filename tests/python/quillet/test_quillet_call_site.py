"""Call sites in real log files: file, line and function of the records (%s %# %!)."""

import pytest

import quillet_testext as ext
from korvo.quillet import quillet
from quillet_support import attached_logger, coloured, run_child

PATTERN = "%l|%n|%s|%#|%!|%v"


# Every kind of frame a log call is made from: each call's message names its case. main.py is run
# directly as a script with the kind of logger as its argument; the log call's own frame is
# reported, unless it runs module-level code (then the nearest function frame above it, or
# itself for a script's top level and a module's top level run by import).
CASES_SOURCE = """\
import asyncio, functools, threading

log = None  # set by main.py


def nested():
    def inner():
        log.error("nested")
    inner()


class Service:
    def method(self):
        log.error("method")


lam = lambda: log.error("lambda")


def thread_target():
    log.error("thread")


def generator():
    log.error("generator")
    yield


async def coroutine():
    log.error("async")


def decorator(f):
    @functools.wraps(f)
    def wrapper():
        log.error("wrapper")
        return f()
    return wrapper


@decorator
def decorated():
    log.error("decorated")


def comprehension():
    [log.error("comprehension") for _ in range(1)]


def generator_expression():
    list(log.error("genexpr") for _ in range(1))


def run():
    nested()
    Service().method()
    lam()
    worker = threading.Thread(target=thread_target)
    worker.start()
    worker.join()
    list(generator())
    asyncio.run(coroutine())
    decorated()
    comprehension()
    generator_expression()
"""

MAIN_SOURCE = """\
import logging, sys
from korvo.quillet import quillet as q
kind, path = sys.argv[1:]
logger = q.Logger("site", handlers=[q.FileHandler(path, pattern="%s|%#|%!|%v")], set_default=True,
                  intercept_stdlib_logging=kind == "forwarded")
log = {"Logger": logger, "DefaultLogger": q.DefaultLogger(), "forwarded": logging.getLogger("site.std")}[kind]
import cases
cases.log = log
log.error("script")

def load():
    import importee

load()
cases.run()
"""

IMPORTEE_SOURCE = """\
import cases
cases.log.error("import")
"""

# (message, file, function); the line is the one holding the message's log call.
CALL_SITES = [
    ("nested", "cases.py", "inner"),
    ("method", "cases.py", "method"),
    ("lambda", "cases.py", "<lambda>"),
    ("thread", "cases.py", "thread_target"),
    ("generator", "cases.py", "generator"),
    ("async", "cases.py", "coroutine"),
    ("wrapper", "cases.py", "wrapper"),
    ("decorated", "cases.py", "decorated"),
    ("comprehension", "cases.py", "comprehension"),  # list comprehensions run in their function's frame
    ("genexpr", "cases.py", "<genexpr>"),
    ("script", "main.py", "<module>"),  # a script's top level: no function above it
    ("import", "importee.py", "<module>"),  # the import machinery above it is never the site
]


@pytest.fixture(scope="module")
def reported_sites(tmp_path_factory):
    """sites(kind) -> {message: (file, line, function)} from one run of main.py with that kind."""
    folder = tmp_path_factory.mktemp("sites")
    for name, source in (("cases", CASES_SOURCE), ("main", MAIN_SOURCE), ("importee", IMPORTEE_SOURCE)):
        (folder / f"{name}.py").write_text(source)
    runs = {}

    def sites(kind):
        if kind not in runs:
            log = folder / f"{kind}.log"
            run_child([str(folder / "main.py"), kind, str(log)], cwd=folder)
            lines = [line.split("|") for line in log.read_text().splitlines()]
            runs[kind] = {message: (file, int(line), func) for file, line, func, message in lines}
        return runs[kind]

    return sites


def line_of(source, message):
    [number] = [n for n, line in enumerate(source.splitlines(), 1) if f'log.error("{message}")' in line]
    return number


@pytest.mark.parametrize("kind", ["Logger", "DefaultLogger", "forwarded"])
@pytest.mark.parametrize(("message", "file", "function"), CALL_SITES)
def test_the_call_site_is_the_log_calls_own(reported_sites, kind, message, file, function):
    reported_file, line, reported_function = reported_sites(kind)[message]
    assert (reported_file, reported_function) == (file, function)
    sources = {"cases.py": CASES_SOURCE, "main.py": MAIN_SOURCE}
    if file in sources:
        assert line == line_of(sources[file], message)
    else:
        assert line > 0


@pytest.mark.parametrize(("filename", "reported"), [
    ("/a/b/c.py", "c.py"),
    ("c.py", "c.py"),
    (r"C:\work\app\win.py", r"C:\work\app\win.py"),  # a backslash does not separate
    ("<string>", "<string>"),
    ("/x/\udcff.py", "<unknown>"),  # an undecodable path name cannot be written as UTF-8
])
def test_file_name_after_the_last_slash(build, filename, reported):
    build("site.names", [("recording", "r")])
    namespace = {"log": quillet.DefaultLogger()}
    exec(compile("def f():\n    log.info('x')\ndef g():\n    f()\n", filename, "exec"), namespace)
    namespace["g"]()
    [record] = ext.records()
    assert (record["file"], record["line"], record["func"]) == (reported, 2, "f")


def test_call_without_python_frame(build):
    name = build("site.native", [("recording", "r")])
    ext.from_native_thread(quillet.DefaultLogger(), "info", "from C")
    ext.from_native_thread(attached_logger(name), "warn", "from C too")
    assert [(r["payload"], r["file"], r["line"], r["func"]) for r in ext.records()] == [
        (b"from C", "<unknown>", 0, "<module>"), (b"from C too", "<unknown>", 0, "<module>")]


def test_console_and_file_sinks_share_level_and_site(tmp_path, build):
    log = tmp_path / "both.log"
    build("site.both", [("recording_console", "console"), ("file", str(log), PATTERN, 0, True)])

    def emit():
        quillet.DefaultLogger().error("both", 196)

    def caller():
        emit()

    caller()
    ext.flush("site.both")
    [console] = ext.records()
    assert console["payload"] == coloured(b"both", b"38;5;196")
    assert log.read_text() == f"error|site.both|{console['file']}|{console['line']}|emit|both\n"

"""File handlers lose nothing: warnings and worse are in the file when the log call returns (a kill
right after cannot take them), the rest arrive while the program runs, and everything is written
when the Logger goes or the interpreter exits."""

import gc
import os
import pathlib
import signal
import time

import pytest

from korvo.quillet import quillet as q

PATTERN = "%l %v"
PATIENCE_S = 30  # generous on a loaded machine; records arrive far sooner

# Each handler kind as source text for a child, with `path` in scope there.
HANDLERS = {
    "file": "q.FileHandler(path, pattern={pattern!r}, overwrite=True)",
    "rotating": "q.RotatingFileHandler(path, max_size=1 << 20, max_files=2, pattern={pattern!r})",
}

# How a child logs one record at warn or above: through a Logger, the default logger, and the
# standard package taken over by a default Logger.
CALLS = {
    "Logger.warn": ("set_default=False", 'log.warn("the record")', "warning the record"),
    "Logger.error": ("set_default=False", 'log.error("the record")', "error the record"),
    "Logger.critical": ("set_default=False", 'log.critical("the record")', "critical the record"),
    "DefaultLogger.error": ("set_default=True", 'q.DefaultLogger().error("the record")', "error the record"),
    "logging.warning": ("set_default=True", 'logging.getLogger("app").warning("the record")',
                        "warning the record"),
}

ENDINGS = {
    "SIGKILL": ("os.kill(os.getpid(), signal.SIGKILL)", -signal.SIGKILL),
    "os._exit": ("os._exit(3)", 3),
}


def handler_source(kind):
    return HANDLERS[kind].format(pattern=PATTERN)


def wait_for_line(path, line):
    deadline = time.monotonic() + PATIENCE_S
    while time.monotonic() < deadline:
        if os.path.exists(path) and line in path.read_text(encoding="utf-8").splitlines():
            return True
        time.sleep(0.02)
    return False


@pytest.mark.parametrize("ending", ENDINGS)
@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize("kind", HANDLERS)
def test_warning_or_worse_survives_a_kill_right_after_it(child, tmp_path, kind, call, ending):
    path = tmp_path / "app.log"
    options, statement, expected = CALLS[call]
    end, returncode = ENDINGS[ending]
    child(f"""
        import logging, os, signal
        from korvo.quillet import quillet as q
        path = {str(path)!r}
        log = q.Logger("durable", handlers=[{handler_source(kind)}], {options})
        log.info("before")
        {statement}
        {end}
        """, returncode=returncode)
    assert path.read_text().splitlines() == ["info before", expected]


@pytest.mark.parametrize("kind", HANDLERS)
def test_info_reaches_the_file_while_the_program_runs(child, tmp_path, kind):
    path = tmp_path / "app.log"
    out = child(f"""
        import os, time
        from korvo.quillet import quillet as q
        path = {str(path)!r}
        log = q.Logger("running", handlers=[{handler_source(kind)}])
        log.info("on its way")
        deadline = time.monotonic() + {PATIENCE_S}
        while time.monotonic() < deadline:
            if open(path).read() == "info on its way\\n":
                print("seen", flush=True)
                break
            time.sleep(0.02)
        os._exit(0)  # only the flusher may have written it
        """)
    assert out == "seen\n"


def test_a_reader_of_the_file_sees_records_while_the_logger_lives(tmp_path):
    path = tmp_path / "app.log"
    log = q.Logger("durable.reader", handlers=[q.FileHandler(str(path), pattern=PATTERN, overwrite=True)])
    for n in range(3):
        log.debug(f"record {n}")
        assert wait_for_line(path, f"debug record {n}")


@pytest.mark.parametrize("keep", ["module global", "reference cycle", "registry default"])
def test_every_record_is_in_the_file_after_a_normal_exit(child, tmp_path, keep):
    path = tmp_path / "app.log"
    setup = {
        "module global": "log = q.Logger('exit', handlers=[handler])",
        "reference cycle": "box = []; box.append(box); box.append(q.Logger('exit', handlers=[handler])); log = box[1]",
        "registry default": "q.Logger('exit', handlers=[handler], set_default=True); log = q.DefaultLogger()",
    }[keep]
    child(f"""
        from korvo.quillet import quillet as q
        handler = q.FileHandler({str(path)!r}, pattern={PATTERN!r}, overwrite=True)
        {setup}
        for n in range(1000):
            log.info(f"record {{n}}")
        """)
    assert path.read_text().splitlines() == [f"info record {n}" for n in range(1000)]


@pytest.mark.parametrize("kind", HANDLERS)
def test_dropping_the_logger_writes_its_records(tmp_path, kind):
    path = str(tmp_path / "app.log")
    handler = {"file": lambda: q.FileHandler(path, pattern=PATTERN, overwrite=True),
               "rotating": lambda: q.RotatingFileHandler(path, max_size=1 << 20, max_files=2, pattern=PATTERN)}[kind]
    log = q.Logger("durable.dropped", handlers=[handler()])
    for n in range(100):
        log.info(f"record {n}")
    del log
    gc.collect()
    assert pathlib.Path(path).read_text().splitlines() == [f"info record {n}" for n in range(100)]

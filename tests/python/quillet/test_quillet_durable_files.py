"""File handlers lose nothing: by default every record is in the file when the log call returns (a
kill right after cannot take it); buffered, warnings and worse are, the rest arrive while the
program runs; either way everything is written when the Logger goes or the interpreter exits, a
record is written once whatever a forked child does, and a full disk loses nothing unreported."""

import gc
import os
import pathlib
import re
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
    "file buffered": "q.FileHandler(path, pattern={pattern!r}, overwrite=True, buffered=True)",
    "rotating buffered": "q.RotatingFileHandler(path, max_size=1 << 20, max_files=2, pattern={pattern!r}, buffered=True)",
}
BUFFERED = [kind for kind in HANDLERS if kind.endswith("buffered")]

# How a child logs one record: through a Logger, the default logger, and the standard package
# taken over by a default Logger.
CALLS = {
    "Logger.debug": ("set_default=False", 'log.debug("the record")', "debug the record"),
    "Logger.info": ("set_default=False", 'log.info("the record")', "info the record"),
    "Logger.warn": ("set_default=False", 'log.warn("the record")', "warning the record"),
    "Logger.critical": ("set_default=False", 'log.critical("the record")', "critical the record"),
    "DefaultLogger.debug": ("set_default=True", 'q.DefaultLogger().debug("the record")', "debug the record"),
    "DefaultLogger.error": ("set_default=True", 'q.DefaultLogger().error("the record")', "error the record"),
    "logging.info": ("set_default=True", 'logging.getLogger("app").info("the record")', "info the record"),
    "logging.warning": ("set_default=True", 'logging.getLogger("app").warning("the record")',
                        "warning the record"),
}
# A buffered handler keeps records below warn for a while: a kill right after may take them.
KEPT_THROUGH_A_KILL = [(kind, call) for kind in HANDLERS for call in CALLS
                       if kind not in BUFFERED or not CALLS[call][2].startswith(("debug", "info"))]

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
@pytest.mark.parametrize(("kind", "call"), KEPT_THROUGH_A_KILL)
def test_a_record_survives_a_kill_right_after_it(child, tmp_path, kind, call, ending):
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
    log = q.Logger("durable.reader",
                   handlers=[q.FileHandler(str(path), pattern=PATTERN, overwrite=True, buffered=True)])
    for n in range(3):
        log.debug(f"record {n}")
        assert wait_for_line(path, f"debug record {n}")


@pytest.mark.parametrize("buffered", [False, True], ids=["durable", "buffered"])
@pytest.mark.parametrize("keep", ["module global", "reference cycle", "registry default"])
def test_every_record_is_in_the_file_after_a_normal_exit(child, tmp_path, keep, buffered):
    path = tmp_path / "app.log"
    setup = {
        "module global": "log = q.Logger('exit', handlers=[handler])",
        "reference cycle": "box = []; box.append(box); box.append(q.Logger('exit', handlers=[handler])); log = box[1]",
        "registry default": "q.Logger('exit', handlers=[handler], set_default=True); log = q.DefaultLogger()",
    }[keep]
    child(f"""
        from korvo.quillet import quillet as q
        handler = q.FileHandler({str(path)!r}, pattern={PATTERN!r}, overwrite=True, buffered={buffered})
        {setup}
        for n in range(1000):
            log.info(f"record {{n}}")
        """)
    assert path.read_text().splitlines() == [f"info record {n}" for n in range(1000)]


@pytest.mark.parametrize("flush", ["Logger.flush", "DefaultLogger.flush", "flush_all"])
def test_flush_writes_what_a_buffered_handler_holds(tmp_path, new_logger, flush):
    path = str(tmp_path / "app.log")
    log = new_logger("durable.flush", handlers=[eval(handler_source("file buffered"))], set_default=True,
                     intercept_stdlib_logging=False)
    log.info("held")
    {"Logger.flush": log.flush, "DefaultLogger.flush": q.DefaultLogger().flush, "flush_all": q.flush_all}[flush]()
    assert pathlib.Path(path).read_text() == "info held\n"


@pytest.mark.parametrize("kind", HANDLERS)
def test_dropping_the_logger_writes_its_records(tmp_path, kind):
    path = str(tmp_path / "app.log")
    log = q.Logger("durable.dropped", handlers=[eval(handler_source(kind))])
    for n in range(100):
        log.info(f"record {n}")
    del log
    gc.collect()
    assert pathlib.Path(path).read_text().splitlines() == [f"info record {n}" for n in range(100)]


# What a forked child does after the fork.
CHILD_ENDINGS = {
    "exits": "sys.exit(0)",
    "logs and exits": 'log.info("from the child"); sys.exit(0)',
    "flushes": "q.flush_all(); log.flush(); os._exit(0)",
    "os._exit": "os._exit(0)",
    "SIGKILL": "os.kill(os.getpid(), signal.SIGKILL)",
}


@pytest.mark.parametrize("ending", CHILD_ENDINGS)
@pytest.mark.parametrize("kind", HANDLERS)
def test_a_record_logged_before_fork_is_written_once(child, tmp_path, kind, ending):
    path = tmp_path / "app.log"
    child(f"""
        import os, signal, sys, warnings
        from korvo.quillet import quillet as q
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with the flusher thread running
        path = {str(path)!r}
        log = q.Logger("forked", handlers=[{handler_source(kind)}])
        log.info("before the fork")
        pid = os.fork()
        if pid == 0:
            {CHILD_ENDINGS[ending]}
        os.waitpid(pid, 0)
        log.info("after the fork")
        """)
    lines = path.read_text().splitlines()
    assert lines.count("info before the fork") == 1 and lines.count("info after the fork") == 1, lines
    assert lines.count("info from the child") == (ending == "logs and exits")


def can_mount_tmpfs():
    """Whether this process may make a mount namespace of its own and mount a tmpfs in it (root)."""
    return hasattr(os, "unshare") and os.geteuid() == 0


@pytest.mark.skipif(not can_mount_tmpfs(), reason="needs root for a private tmpfs")
@pytest.mark.parametrize("kind", HANDLERS)
def test_a_full_disk_loses_no_record_unreported(child, tmp_path, kind):
    """The log file is on a 256 KiB tmpfs of the child's own, filled up by another file while records
    three times the buffer's size are logged, then freed:
    each record is in the file once, or reported on stderr, and the process goes on."""
    disk, kept = tmp_path / "disk", tmp_path / "kept.log"
    disk.mkdir()
    out = child(f"""
        import ctypes, os, shutil, sys
        from korvo.quillet import quillet as q
        libc = ctypes.CDLL(None, use_errno=True)
        os.unshare(os.CLONE_NEWNS)  # the tmpfs goes with this process
        assert libc.mount(b"tmpfs", {str(disk).encode()!r}, b"tmpfs", 0, b"size=256k") == 0, os.strerror(ctypes.get_errno())
        errors = open({str(tmp_path / "stderr")!r}, "w")
        os.dup2(errors.fileno(), 2)
        path = {str(disk / "app.log")!r}
        log = q.Logger("full", handlers=[{handler_source(kind)}])
        with open({str(disk / "filler")!r}, "wb", buffering=0) as filler:
            try:
                while True:
                    filler.write(bytes(4096))
            except OSError:
                pass
        for n in range(200):
            log.info(f"record {{n}} " + "x" * 1000)
        os.remove({str(disk / "filler")!r})
        for n in range(200, 210):
            log.info(f"record {{n}} " + "x" * 1000)
        del log  # writes out what a buffered handler holds
        shutil.copy(path, {str(kept)!r})
        print("alive")
        """)
    assert out == "alive\n"
    assert not os.path.ismount(disk)  # it stayed in the child's namespace
    written = [int(n) for n in re.findall(r"record (\d+) x+\n", kept.read_text())]
    assert sorted(set(written)) == written, "a record written twice or out of order"
    reports = (tmp_path / "stderr").read_text().count("No space left on device")
    assert 0 < 210 - len(written) <= reports
    assert written[-10:] == list(range(200, 210))

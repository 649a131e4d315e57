"""Helpers shared by the korvo.quillet tests: loggers over recording sinks, child processes."""

import gc
import logging
import os
import subprocess
import sys
import textwrap

import pytest

import quillet_testext as ext
from korvo.quillet import quillet

LEVELS = ["trace", "debug", "info", "warn", "error", "critical"]
ESC = b"\x1b"

# (fg_color, bg_color, effect) -> codes of the console payload for a text T; None: T unchanged.
COLOUR_TABLE = [
    ((-1, -1, -1), None),
    ((31, -1, -1), b"31"),
    ((196, -1, -1), b"38;5;196"),
    ((200, 17, 1), b"1;38;5;200;48;5;17"),
    ((-1, 100, 4), b"4;100"),
    ((-1, 41, -1), b"41"),
    ((41, -1, -1), b"38;5;41"),
    ((-1, 31, -1), b"48;5;31"),
    ((0, -1, -1), b"38;5;0"),
    ((256, -1, -1), None),
    ((-2, -1, -1), None),
    ((-1, -1, 0), None),
    ((-1, -1, 8), None),
    ((-1, -1, 10), None),
    ((-1, -1, 9), b"9"),
    ((37, 47, 7), b"7;37;47"),
    ((90, 107, 2), b"2;90;107"),
    ((97, 108, -1), b"97;48;5;108"),
    ((38, 39, -1), b"38;5;38;48;5;39"),
    ((255, 255, 5), b"5;38;5;255;48;5;255"),
]


def coloured(text, codes):
    return text if codes is None else ESC + b"[" + codes + b"m" + text + ESC + b"[0m"


def attached_logger(name):
    """A Logger given the registered logger `name`, as construction will."""
    logger = quillet.Logger.__new__(quillet.Logger)
    ext.attach(logger, name)
    return logger


@pytest.fixture
def build():
    """make(name, handlers, level=0, default=True) registers a logger (the default unless told
    otherwise) and clears the records; afterwards the loggers go and spdlog's default is back."""
    names = []

    def make(name, handlers, level=0, default=True):
        ext.make_logger(name, level, handlers, make_default=default)
        ext.records()
        names.append(name)
        return name

    yield make
    ext.records()
    ext.set_default("")
    for name in names:
        ext.drop(name)


@pytest.fixture
def new_logger():
    """new_logger(name, *args, **kwargs) constructs a Logger. Afterwards the names leave spdlog's
    registry, spdlog's default logger is the default again, and the standard root logger has its
    handlers and level back."""
    root = logging.getLogger()
    handlers, level = root.handlers[:], root.level
    names = []

    def make(*args, **kwargs):
        name = args[0] if args else kwargs.get("name")
        if name not in names:
            names.append(name)
        return quillet.Logger(*args, **kwargs)

    yield make
    root.handlers[:] = handlers
    root.setLevel(level)
    ext.set_default("")
    for name in names:
        if isinstance(name, str):
            ext.drop(name)


@pytest.fixture(params=["Logger", "DefaultLogger"])
def recorded(request, build):
    """A Logger or a DefaultLogger writing to a recording sink "plain" and a recording console
    sink "console"."""
    name = build(f"recorded.{request.param}", [("recording", "plain"), ("recording_console", "console")])
    return attached_logger(name) if request.param == "Logger" else quillet.DefaultLogger()


def payloads(records):
    """{sink label: payload} of one call's records."""
    return {r["sink"]: r["payload"] for r in records}


def child_env():
    """This environment with PYTHONPATH made absolute, for children started in other folders."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p)
    return env


def run_child(args, cwd=None):
    """Runs code (a str) or a script (a list of arguments) in a fresh interpreter; returns the
    CompletedProcess with raw byte output."""
    argv = ["-c", textwrap.dedent(args)] if isinstance(args, str) else list(args)
    return subprocess.run([sys.executable, *argv], capture_output=True, cwd=cwd, env=child_env(), check=True,
                          timeout=120)


def refcount_growth(fn, rounds=2000):
    """Growth of the interpreter's total reference count over `rounds` calls of fn: the least of
    three measurements, since the interpreter's own caches settle during the first."""
    if not hasattr(sys, "gettotalrefcount"):
        pytest.skip("needs a debug interpreter (sys.gettotalrefcount)")
    growth = []
    for _ in range(3):
        gc.collect()
        before = sys.gettotalrefcount()
        for _ in range(rounds):
            fn()
        gc.collect()
        growth.append(sys.gettotalrefcount() - before)
    return min(growth)

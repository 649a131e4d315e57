"""Fixtures for the korvo.quillet tests: loggers over recording sinks, cleaned up afterwards."""

import logging

import pytest

import quillet_testext as ext
from korvo.quillet import quillet
from quillet_support import attached_logger


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

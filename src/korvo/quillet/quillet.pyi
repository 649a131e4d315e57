"""Logging facade over spdlog: handler descriptions, colour schemes, loggers, the standard logging bridge."""

from typing_extensions import disjoint_base
import logging
import traceback as traceback
from enum import IntEnum
from types import CapsuleType
from typing import Final

import logging as py_logging

class Level(IntEnum):
    TRACE = 0
    DEBUG = 1
    INFO = 2
    WARN = 3
    ERROR = 4
    CRITICAL = 5
    OFF = 6

__quillet_version__: Final[str]
default_handler_pattern: Final[str]
default_logger_pattern: Final[str]
__pyx_capi__: dict[str, CapsuleType]

# Level attributes read back as Level members and take any integer.
@disjoint_base
class LogHandler:
    color: bool
    pattern: str | None
    @property
    def level(self) -> Level: ...
    @level.setter
    def level(self, value: int) -> None: ...
    def __init__(self, color: object = True, pattern: str | None = ..., level: int = ...) -> None: ...

@disjoint_base
class StdoutHandler(LogHandler):
    @property
    def max_level(self) -> Level: ...
    @max_level.setter
    def max_level(self, value: int) -> None: ...
    json: bool
    def __init__(
        self,
        color: object = False,
        pattern: str | None = ...,
        level: int = ...,
        max_level: int = ...,
        json: object = False,
    ) -> None: ...

# json: the handler writes one JSON object per record instead of the pattern (no colour).
class StderrHandler(LogHandler):
    json: bool
    def __init__(
        self, color: object = False, pattern: str | None = ..., level: int = ..., json: object = False
    ) -> None: ...

class BasicConsoleHandler(LogHandler):
    json: bool
    def __init__(
        self, color: object = False, pattern: str | None = ..., level: int = ..., json: object = False
    ) -> None: ...

@disjoint_base
class ConsoleHandler(LogHandler):
    @property
    def max_stdout_level(self) -> Level: ...
    @max_stdout_level.setter
    def max_stdout_level(self, value: int) -> None: ...
    @property
    def min_level(self) -> Level: ...
    @min_level.setter
    def min_level(self, value: int) -> None: ...
    json: bool
    def __init__(
        self,
        color: object = True,
        pattern: str | None = ...,
        max_stdout_level: int = ...,
        min_level: int = ...,
        json: object = False,
    ) -> None: ...

@disjoint_base
class FileHandler(LogHandler):
    filename: str | None
    overwrite: bool
    buffered: bool
    json: bool
    def __init__(
        self,
        filename: str | None,
        color: object = False,
        pattern: str | None = ...,
        level: int = ...,
        overwrite: object = False,
        buffered: object = False,
        json: object = False,
    ) -> None: ...

@disjoint_base
class RotatingFileHandler(FileHandler):
    max_size: int
    max_files: int
    def __init__(
        self,
        filename: str | None,
        pattern: str | None = ...,
        level: int = ...,
        max_size: int = 1048576,
        max_files: int = 3,
        buffered: object = False,
        json: object = False,
    ) -> None: ...

# RFC 5424 syslog to a collector; owns the one sink every Logger built from it shares.
@disjoint_base
class SyslogHandler(LogHandler):
    address: tuple[str, int] | str | None
    transport: str | None
    facility: str | None
    app_name: str | None
    queue_size: int
    @property
    def dropped(self) -> int: ...
    def __init__(
        self,
        address: tuple[str, int] | str = ("127.0.0.1", 514),
        transport: str = "udp",
        facility: str = "user",
        app_name: str | None = None,
        level: int = ...,
        queue_size: int = 10000,
    ) -> None: ...

@disjoint_base
class ColorScheme:
    trace_color: int
    debug_color: int
    info_color: int
    warn_color: int
    error_color: int
    critical_color: int
    def __init__(
        self,
        trace_color: int = -1,
        debug_color: int = -1,
        info_color: int = -1,
        warn_color: int = -1,
        error_color: int = -1,
        critical_color: int = -1,
    ) -> None: ...

# The second positional argument of every log call is the foreground colour code: messages are
# not %-formatted. msg must be exactly a str. fields (keyword only): key-value fields of the
# record, added to the logger's bound ones (bind), a call's key winning.
_Fields = dict[str, object] | None

@disjoint_base
class Logger:
    def __init__(
        self,
        name: str | None,
        level: int = ...,
        pattern: str | None = ...,
        handlers: list[LogHandler] | None = ...,
        color_scheme: ColorScheme | None = None,
        set_default: object = False,
        intercept_stdlib_logging: object = True,
    ) -> None: ...
    def trace(
        self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1, *, fields: _Fields = None
    ) -> None: ...
    def debug(
        self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1, *, fields: _Fields = None
    ) -> None: ...
    def info(
        self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1, *, fields: _Fields = None
    ) -> None: ...
    def warn(
        self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1, *, fields: _Fields = None
    ) -> None: ...
    def warning(
        self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1, *, fields: _Fields = None
    ) -> None: ...
    def error(
        self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1, *, fields: _Fields = None
    ) -> None: ...
    def exception(
        self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1, *, fields: _Fields = None
    ) -> None: ...
    def critical(
        self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1, *, fields: _Fields = None
    ) -> None: ...
    def log(
        self, level: int, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1, *, fields: _Fields = None
    ) -> None: ...
    def bind(self, **fields: object) -> Logger: ...
    def flush(self) -> None: ...
    # Of the logger written through; None when there is none.
    @property
    def name(self) -> str | None: ...
    @property
    def level(self) -> Level | None: ...
    @level.setter
    def level(self, value: int) -> None: ...

@disjoint_base
class DefaultLogger:
    def trace(
        self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1, *, fields: _Fields = None
    ) -> None: ...
    def debug(
        self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1, *, fields: _Fields = None
    ) -> None: ...
    def info(
        self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1, *, fields: _Fields = None
    ) -> None: ...
    def warn(
        self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1, *, fields: _Fields = None
    ) -> None: ...
    def warning(
        self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1, *, fields: _Fields = None
    ) -> None: ...
    def error(
        self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1, *, fields: _Fields = None
    ) -> None: ...
    def exception(
        self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1, *, fields: _Fields = None
    ) -> None: ...
    def critical(
        self, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1, *, fields: _Fields = None
    ) -> None: ...
    def log(
        self, level: int, msg: str, fg_color: int = -1, bg_color: int = -1, effect: int = -1, *, fields: _Fields = None
    ) -> None: ...
    def bind(self, **fields: object) -> DefaultLogger: ...
    def flush(self) -> None: ...
    # Of the logger written through; None when there is none.
    @property
    def name(self) -> str | None: ...
    @property
    def level(self) -> Level | None: ...
    @level.setter
    def level(self, value: int) -> None: ...

class PyLogHandler(logging.Handler):
    _debug: int
    _info: int
    _warn: int
    _error: int
    _critical: int
    def __init__(self, level: int) -> None: ...
    def emit(self, record: logging.LogRecord) -> None: ...

def flush_all() -> None: ...

"""Logging facade over spdlog: handler descriptions, colour schemes, loggers and the bridge from
the standard logging package. The relaybus bridge imports DefaultLogger from here."""

from korvo.quillet.quillet import (
    BasicConsoleHandler,
    ColorScheme,
    ConsoleHandler,
    DefaultLogger,
    FileHandler,
    Level,
    LogHandler,
    Logger,
    PyLogHandler,
    RotatingFileHandler,
    StderrHandler,
    StdoutHandler,
    SyslogHandler,
    flush_all,
)

__all__ = [
    "BasicConsoleHandler",
    "ColorScheme",
    "ConsoleHandler",
    "DefaultLogger",
    "FileHandler",
    "Level",
    "LogHandler",
    "Logger",
    "PyLogHandler",
    "RotatingFileHandler",
    "StderrHandler",
    "StdoutHandler",
    "SyslogHandler",
    "flush_all",
]

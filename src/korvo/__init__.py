"""korvo: native extension modules for CPython 3.14 (logging facade, message bridge, ring queue)."""

import os as _os

from korvo._version import __version__


def cmake_dir() -> str:
    """Folder of korvo's CMake package config, for find_package(korvo) in producer modules."""
    return _os.path.join(_os.path.dirname(__file__), "share", "cmake", "korvo")


def include_dir() -> str:
    """Folder holding korvo's public C++ headers (korvo/*.hpp)."""
    return _os.path.join(_os.path.dirname(__file__), "include")

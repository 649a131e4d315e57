"""One version: the CMake project's, which the package metadata, korvo.__version__ and libquillet read."""

import pathlib
import re

import korvo
from korvo.quillet import quillet

CHECKOUT = pathlib.Path(__file__).resolve().parents[3]


def test_every_version_is_the_projects():
    project = re.search(r"project\(korvo VERSION ([0-9.]+)", (CHECKOUT / "CMakeLists.txt").read_text()).group(1)
    assert korvo.__version__ == project
    assert quillet.__quillet_version__ == project


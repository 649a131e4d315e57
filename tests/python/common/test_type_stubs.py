"""The type stubs next to each extension module agree with the built modules (mypy's stubtest)."""

import os
import subprocess
import sys
import sysconfig

import pytest

import korvo

MODULES = ["korvo.quillet.quillet", "korvo.utils.relaybus.relaybus", "korvo.spsc_queue.spsc_queue"]
PACKAGE_ROOT = os.path.dirname(os.path.dirname(korvo.__file__))


def test_stubs_match_the_modules(tmp_path):
    if hasattr(sys, "gettotalrefcount"):
        pytest.importorskip("mypy.stubtest", reason="mypy is not installed for the debug interpreter")
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        pytest.skip("Debian's mypy is compiled for the default interpreter; ./dev test checks the stubs")
    env = dict(os.environ, MYPYPATH=PACKAGE_ROOT, PYTHONPATH=PACKAGE_ROOT)
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", os.devnull, *MODULES],
                            cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("module", MODULES)
def test_stubs_and_marker_are_staged_beside_the_modules(module):
    package_dir = os.path.join(PACKAGE_ROOT, *module.split(".")[:-1])
    assert os.path.isfile(os.path.join(package_dir, module.rsplit(".", 1)[1] + ".pyi"))
    assert os.path.isfile(os.path.join(PACKAGE_ROOT, "korvo", "py.typed"))

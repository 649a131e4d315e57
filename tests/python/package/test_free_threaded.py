"""On a free-threaded interpreter, importing korvo leaves the GIL off."""

import os
import subprocess
import sys
import sysconfig

import pytest

pytestmark = pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                                reason="needs a free-threaded interpreter (./dev test-ft)")

IMPORT_ALL = """\
import sys
import korvo
from korvo.quillet import quillet
from korvo.spsc_queue import spsc_queue
from korvo.utils.relaybus import relaybus
print(sys._is_gil_enabled())
"""


def test_importing_every_module_keeps_the_gil_off():
    # -W error: the interpreter's "enabled the GIL" RuntimeWarning would fail the import. Nothing
    # in the environment may force the GIL either way.
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    proc = subprocess.run([sys.executable, "-W", "error", "-c", IMPORT_ALL], capture_output=True, text=True,
                          env=env, timeout=120)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "False\n", "")

"""Every Python example in the README and docs/ runs as written."""

import os
import re
import subprocess
import sys

import pytest

import korvo

TOP = os.path.join(os.path.dirname(__file__), "..", "..", "..")
PAGES = ["README.md"] + sorted(os.path.join("docs", name) for name in os.listdir(os.path.join(TOP, "docs"))
                               if name.endswith(".md"))


PACKAGE_ROOT = os.path.dirname(os.path.dirname(korvo.__file__))


def examples():
    for page in PAGES:
        with open(os.path.join(TOP, page), encoding="utf-8") as f:
            for n, code in enumerate(re.findall(r"```python\n(.*?)```", f.read(), re.S), 1):
                yield pytest.param(code, id=f"{page}#{n}")


EXAMPLES = list(examples())


@pytest.mark.parametrize("code", EXAMPLES)
def test_example_runs(code, tmp_path):
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)  # the examples' own folder is a temporary one
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env, capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    assert "Traceback" not in result.stderr

"""Import rules every korvo module shares: one interpreter, one execution, only PyInit exported."""

import importlib
import importlib.util
import subprocess
import sys
import textwrap

import pytest

MODULES = [
    ("korvo.quillet.quillet", "quillet"),
    ("korvo.spsc_queue.spsc_queue", "spsc_queue"),
    ("korvo.utils.relaybus.relaybus", "relaybus"),
]


@pytest.mark.parametrize(("name", "short"), MODULES)
def test_second_execution_refused(name, short):
    module = importlib.import_module(name)
    again = importlib.util.module_from_spec(module.__spec__)
    with pytest.raises(RuntimeError) as info:
        module.__spec__.loader.exec_module(again)
    assert str(info.value) == f"Module '{short}' has already been imported. Re-initialisation is not supported."


@pytest.mark.parametrize(("name", "short"), MODULES)
def test_subinterpreter_refused(name, short):
    # In a child process so that this test does not depend on what the suite imported.
    code = textwrap.dedent(
        f"""
        import {name}
        from concurrent import interpreters
        interp = interpreters.create()
        try:
            interp.exec("import {name}")
        except interpreters.ExecutionFailed as exc:
            print(exc.excinfo.type.__name__, exc.excinfo.msg, sep=": ")
        finally:
            interp.close()
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == (
        "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process."
    )


def test_quillet_package_reexports_default_logger():
    import korvo.quillet
    import korvo.quillet.quillet

    assert korvo.quillet.DefaultLogger is korvo.quillet.quillet.DefaultLogger


@pytest.mark.parametrize(("name", "short"), MODULES)
def test_only_init_is_exported(name, short):
    nm = subprocess.run(["nm", "-D", "--defined-only", importlib.import_module(name).__file__],
                        capture_output=True, text=True)
    if nm.returncode != 0:
        pytest.skip("nm not available")
    symbols = [line.split()[-1] for line in nm.stdout.splitlines() if line.strip()]
    assert symbols == [f"PyInit_{short}"]

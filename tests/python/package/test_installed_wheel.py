"""korvo as a user gets it: the wheel installed into a fresh virtual environment, and a producer
module outside the checkout built against it with find_package(korvo 0.1) and korvo::quillet.

By default the wheel is built from an sdist of the checkout against the machine's spdlog and fmt
(as `pip install` from source does). With KORVO_WHEEL naming a built wheel, that wheel is tested
instead: ./dev wheel-test runs this file in a clean root that has CPython 3.14 and a compiler but
no spdlog or fmt, against the self-contained wheel of ./dev wheel."""

import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

CHECKOUT = pathlib.Path(__file__).resolve().parents[3]

PRODUCER_CMAKE = """\
cmake_minimum_required(VERSION 3.24)
project(wheel_producer LANGUAGES CXX)
find_package(Python 3.14 REQUIRED COMPONENTS Interpreter Development.Module)
find_package(korvo 0.1 REQUIRED)
python_add_library(wheel_producer MODULE WITH_SOABI wheel_producer.cpp)
target_compile_features(wheel_producer PRIVATE cxx_std_20)
target_link_libraries(wheel_producer PRIVATE korvo::quillet)
"""

# Logs through the spdlog logger that a Logger built, libquillet's registry and a logger of its own
# over a single-threaded file sink (spdlog's code, in libquillet or the machine's spdlog), then
# pushes one message into a SyncDispatcher.
PRODUCER_SOURCE = r"""
#include <Python.h>

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <exception>
#include <memory>

#include "korvo/quillet.hpp"
#include "korvo/relaybus.hpp"
#include "korvo/spsc_queue.hpp"

namespace {

korvo::relaybus::api g_bus;
korvo::quillet::capi g_lookups;

// send(dispatcher, logger_name, data): the result code of the push.
PyObject* send(PyObject*, PyObject* args) {
    PyObject* dispatcher = nullptr;
    const char* name = nullptr;
    const char* data = nullptr;
    Py_ssize_t size = 0;
    if (!PyArg_ParseTuple(args, "Osy#", &dispatcher, &name, &data, &size)) return nullptr;
    if (!PyObject_TypeCheck(dispatcher, g_bus.sync_dispatcher_type)) {
        PyErr_SetString(PyExc_TypeError, "send() needs a SyncDispatcher");
        return nullptr;
    }
    quillet::SpdLogger found = g_lookups.get_logger_by_name(name);
    if (PyErr_Occurred()) return nullptr;
    if (found.logger) found.logger->info("pushing {} bytes (libquillet {})", size, quillet::version());
    if (auto again = quillet::LoggerRegistry::get_logger(name, false)) again->warn("through the registry");
    try {
        spdlog::logger own("own", std::make_shared<spdlog::sinks::basic_file_sink_st>("own.log", true));
        own.set_pattern("%l %v");
        own.info("own sink, {} bytes", size);
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_OSError, e.what());
        return nullptr;
    }
    auto* d = reinterpret_cast<korvo::relaybus::sync_dispatcher_object*>(dispatcher);
    int result = 0;
    Py_BEGIN_ALLOW_THREADS
    result = d->_push(d, data, static_cast<std::size_t>(size));
    Py_END_ALLOW_THREADS
    return PyLong_FromLong(result);
}

PyMethodDef methods[] = {{"send", send, METH_VARARGS, nullptr}, {nullptr, nullptr, 0, nullptr}};

int exec_module(PyObject*) {
    if (korvo::relaybus::import_api(&g_bus) < 0) return -1;
    return korvo::quillet::import_capi(g_lookups);
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)}, {0, nullptr}};
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "wheel_producer", nullptr, 0, methods, slots,
                          nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_wheel_producer() { return PyModuleDef_Init(&module_def); }
"""

CONSUMER = """\
import asyncio
import threading
from korvo.quillet import quillet as q
from korvo.spsc_queue import spsc_queue
from korvo.utils.relaybus import relaybus
import wheel_producer

ring = spsc_queue.SPSCQueue(slot_size=64, capacity=4)
print("ring", ring.push(b"ring") in (0, 1), ring.try_pop())

async def round_trip():
    queue = relaybus.AsyncQueue()
    await queue.push_str("h\u00e9llo")
    await queue.push_buf(b"again")
    return [await queue.pop(), await queue.pop()]
print("async", asyncio.run(round_trip()))

log = q.Logger("wheel.producer", handlers=[q.FileHandler("producer.log", pattern="%l %v", overwrite=True)])
got = []
arrived = threading.Event()
d = relaybus.SyncDispatcher(lambda m: (got.append(m), arrived.set()), detach=False)
d.setup()
print("push", wheel_producer.send(d, "wheel.producer", b"hello from outside"))
assert arrived.wait(30), "no message"
d.close()
print("got", got)
"""


def run(args, **kwargs):
    proc = subprocess.run(args, capture_output=True, text=True, **kwargs)
    assert proc.returncode == 0, f"{args} exited with {proc.returncode}:\n{proc.stdout[-3000:]}\n{proc.stderr[-3000:]}"
    return proc.stdout


def outside_env(venv=None):
    """The environment of a user's shell: no development build on the path, the venv active."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
    env.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", os.environ.get("KORVO_JOBS", "2"))
    if venv is not None:
        env["VIRTUAL_ENV"] = str(venv)
        env["PATH"] = f"{venv / 'bin'}{os.pathsep}{env.get('PATH', '')}"
    return env


@pytest.fixture(scope="session")
def korvo_wheel(tmp_path_factory):
    """The wheel under test: KORVO_WHEEL's, or one per session built from an sdist of the checkout
    the way the README says."""
    given = os.environ.get("KORVO_WHEEL")
    if given:
        wheel = pathlib.Path(given)
        assert wheel.is_file(), given
        # The point of that run: nothing but the wheel provides spdlog or fmt.
        for header in ("spdlog/spdlog.h", "fmt/format.h"):
            assert not (pathlib.Path("/usr/include") / header).exists(), f"{header} is installed here"
        return wheel
    if os.environ.get("LD_PRELOAD"):
        pytest.skip("runtimes preloaded into the interpreter (./dev sanitize) would be in every build tool too; "
                    "./dev test builds and checks the wheel")
    for tool in ("cmake", "ninja"):
        if shutil.which(tool) is None:
            pytest.skip(f"needs {tool}")
    # The sources alone: scikit-build-core's sdist walks the whole folder, following links, and
    # build trees hold many files (and wine's link to /).
    source = tmp_path_factory.mktemp("source") / "korvo"
    shutil.copytree(CHECKOUT, source, ignore=lambda folder, names: [
        name for name in names
        if name in ("__pycache__", ".pytest_cache") or (folder == str(CHECKOUT) and name in ("build", "dist", ".git"))])
    out = tmp_path_factory.mktemp("wheel")
    run([sys.executable, "-m", "build", "--no-isolation", "--outdir", str(out), str(source)], env=outside_env(),
        cwd=out)
    (wheel,) = out.glob("korvo-*.whl")
    return wheel


@pytest.fixture(scope="session")
def korvo_venv(tmp_path_factory, korvo_wheel):
    venv = tmp_path_factory.mktemp("venv") / "env"
    run([sys.executable, "-m", "venv", str(venv)], env=outside_env())
    python = str(venv / "bin" / "python")
    if subprocess.run([python, "-m", "pip", "--version"], capture_output=True, env=outside_env(venv)).returncode:
        # An interpreter built from source has no Debian ensurepip: pip's own wheel (Debian's
        # python3-pip-whl) installs pip into the environment.
        pip_wheels = sorted(pathlib.Path("/usr/share/python-wheels").glob("pip-*.whl"))
        assert pip_wheels, "no pip in the virtual environment and no pip wheel to install it from"
        run([python, f"{pip_wheels[-1]}/pip", "install", "--no-index", "-q", str(pip_wheels[-1])],
            env=outside_env(venv))
    run([python, "-m", "pip", "install", "--no-index", "--no-deps", "-q", str(korvo_wheel)], env=outside_env(venv))
    return venv


@pytest.mark.slow
@pytest.mark.timeout(1200)  # the wheel is built from scratch: minutes on two shared cores
def test_producer_outside_the_checkout_builds_imports_and_delivers(korvo_venv, tmp_path):
    python = str(korvo_venv / "bin" / "python")
    env = outside_env(korvo_venv)
    # The package as installed: its metadata, version and CMake folder.
    info = run([python, "-m", "pip", "show", "--verbose", "korvo"], env=env)
    for text in ("Version: 0.1", "Summary: Native CPython 3.14", "Author-email: korvo developers", "MIT",
                 "https://github.com/korvo-dev/korvo", "Operating System :: POSIX :: Linux"):
        assert text in info, info
    assert "Windows" not in info  # the modules are built for Linux only
    shown = run([python, "-c", "import korvo; print(korvo.__version__); print(korvo.cmake_dir())"], env=env,
                cwd=tmp_path).split()
    assert shown[0] in info and shown[0].startswith("0.1")
    assert pathlib.Path(shown[1]).is_relative_to(korvo_venv)

    source = tmp_path / "producer"
    source.mkdir()
    (source / "CMakeLists.txt").write_text(PRODUCER_CMAKE)
    (source / "wheel_producer.cpp").write_text(PRODUCER_SOURCE)
    build = source / "build"
    run(["cmake", "-S", str(source), "-B", str(build), "-G", "Ninja", f"-Dkorvo_DIR={shown[1]}"], env=env)
    run(["cmake", "--build", str(build)], env=env)

    env["PYTHONPATH"] = str(build)
    out = run([python, "-c", CONSUMER], env=env, cwd=tmp_path)
    lines = out.splitlines()
    assert lines[:2] == ["ring True b'ring'", "async [b'h\\xc3\\xa9llo', b'again']"]
    assert lines[2] in ("push 0", "push 1")  # stored, with or without waking the consumer
    assert lines[3:] == ["got [b'hello from outside']"]
    assert (tmp_path / "producer.log").read_text().splitlines() == [
        f"info pushing 18 bytes (libquillet {shown[0]})", "warning through the registry"]
    assert (tmp_path / "own.log").read_text() == "info own sink, 18 bytes\n"

"""Log calls from several threads at once, on the free-threaded CPython 3.14t against the default
build: filtered calls (the logger's level drops them) and records written to one file.

Run with the default interpreter, it measures both interpreters in child processes of this run:
KORVO_BUILD_DEFAULT and KORVO_BUILD_FT name the staged packages (./dev bench sets them), and
python3.14t runs the free-threaded side. A child measures one interpreter:
`threads_bench.py --child` prints every figure as one JSON object."""

import json
import os
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import threading
import time

import results

MESSAGE = "benchmark message with a little text in it"
PATTERN = "[%Y-%m-%d %H:%M:%S.%e] [%n] [%l] [%s:%#] [%!] %v"
THREAD_COUNTS = (1, 2)
# Calls per thread in one run; the rate is all threads' calls over the wall time of the run.
CALLS = {"filtered": 1_000_000, "written": 100_000}
REPEATS = 9
SETTINGS = f"median of {REPEATS} runs, each thread making {{calls:,}} calls; calls per second over all threads"


def run_threads(logger, threads, calls):
    """Calls per second of `threads` threads each making `calls` calls of `logger.info`, all
    released at once."""
    start_line = threading.Barrier(threads + 1)

    def worker():
        # Each thread's own bound method: one shared by all would be a reference count that every
        # call of every thread writes, which on 3.14t measures that count rather than the call.
        info = logger.info
        start_line.wait()
        for _ in range(calls):
            info(MESSAGE)

    workers = [threading.Thread(target=worker) for _ in range(threads)]
    for worker_thread in workers:
        worker_thread.start()
    start_line.wait()
    began = time.perf_counter()
    for worker_thread in workers:
        worker_thread.join()
    return threads * calls / (time.perf_counter() - began)


def child():
    from korvo.quillet import quillet

    folder = tempfile.mkdtemp(prefix="korvo-threads-bench-")
    loggers = {
        "filtered": quillet.Logger("bench.threads.filtered", level=quillet.Level.WARN,
                                   handlers=[quillet.FileHandler(os.path.join(folder, "filtered.log"))]),
        "written": quillet.Logger("bench.threads.written", level=quillet.Level.INFO, pattern=PATTERN,
                                  handlers=[quillet.FileHandler(os.path.join(folder, "written.log"),
                                                                overwrite=True)]),
    }
    figures = {"free_threaded": bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
               "gil": sys._is_gil_enabled()}
    for kind, logger in loggers.items():
        run_threads(logger, 1, CALLS[kind] // 10)  # warm up
        runs = {threads: [] for threads in THREAD_COUNTS}
        for _ in range(REPEATS):  # interleaved, so that a change in load falls on both
            for threads in THREAD_COUNTS:
                runs[threads].append(run_threads(logger, threads, CALLS[kind]))
        figures[kind] = {str(threads): runs[threads] for threads in THREAD_COUNTS}
    print(json.dumps(figures))


def measure(python, staged):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([staged, os.path.dirname(os.path.abspath(__file__))]))
    env.pop("PYTHON_GIL", None)
    out = subprocess.run([python, os.path.abspath(__file__), "--child"], env=env, capture_output=True, text=True,
                         timeout=900)
    if out.returncode != 0:
        raise SystemExit(f"{python} failed:\n{out.stderr[-3000:]}")
    return json.loads(out.stdout.splitlines()[-1])


def main():
    default_build, ft_build = os.environ.get("KORVO_BUILD_DEFAULT"), os.environ.get("KORVO_BUILD_FT")
    if not default_build or not ft_build:
        raise SystemExit("threads_bench.py: set KORVO_BUILD_DEFAULT and KORVO_BUILD_FT (./dev bench does)")
    default = measure(sys.executable, default_build)
    ft = measure(os.environ.get("KORVO_PYTHON_FT", "python3.14t"), ft_build)
    if not ft["free_threaded"] or ft["gil"]:
        raise SystemExit(f"the free-threaded side ran with the GIL: {ft}")
    print("Log calls from 1 and 2 threads, calls per second over all threads (median of", REPEATS, "runs)")
    for kind in CALLS:
        settings = SETTINGS.format(calls=CALLS[kind])
        figure = {name: {threads: results.median(side[kind][str(threads)], settings) for threads in THREAD_COUNTS}
                  for name, side in (("default", default), ("ft", ft))}
        for name in figure:
            print(f"  {kind}, {name}: " + ", ".join(f"{threads} thread(s) {figure[name][threads]:,.0f}/s"
                                                   for threads in THREAD_COUNTS))
        what = "filtered Logger.info (level warn)" if kind == "filtered" else "written records, file handler"
        # Scaling: two threads against one on the same interpreter. The filtered call takes no lock,
        # so on 3.14t it should nearly double on two cores.
        results.record("free-threaded", f"{what}, 2 threads on 3.14t", figure["ft"][2],
                       "1 thread on 3.14t", figure["ft"][1], "calls/s", better="higher",
                       target=1.5 if kind == "filtered" else None, settings=settings)
        results.record("free-threaded", f"{what}, 2 threads on the default build", figure["default"][2],
                       "1 thread on the default build", figure["default"][1], "calls/s", better="higher",
                       settings=settings)
        for threads in THREAD_COUNTS:
            results.record("free-threaded", f"{what}, {threads} thread(s), 3.14t", figure["ft"][threads],
                           "the same on the default build", figure["default"][threads], "calls/s",
                           better="higher", settings=settings)


if __name__ == "__main__":
    if "--child" in sys.argv:
        child()
    else:
        main()

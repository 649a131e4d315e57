"""The demo runs end to end with small counts, its output piped as in CI."""

import os
import subprocess
import sys

import pytest

DEMO = os.path.join(os.path.dirname(__file__), "..", "..", "..", "examples", "demo", "demo.py")
ROWS = {
    "sync": "korvo SyncDispatcher, native producer",
    "async": "korvo AsyncDispatcher, native producer",
    "call_soon": "loop.call_soon_threadsafe, native thread",
    "simple_queue": "queue.SimpleQueue, Python thread",
}


def run_demo(*args, timeout=120):
    return subprocess.run([sys.executable, DEMO, *args], capture_output=True, text=True, timeout=timeout)


@pytest.fixture(scope="module")
def full_run(tmp_path_factory):
    log_dir = tmp_path_factory.mktemp("demo-log")
    return run_demo("--count", "3000", "--size", "16", "--log-dir", str(log_dir)), log_dir


def test_every_part_runs_and_the_table_has_every_row(full_run):
    result, _ = full_run
    assert result.returncode == 0, result.stderr
    assert "how messages reach Python" in result.stdout
    for row in ROWS.values():
        assert row in result.stdout
    assert "\r" not in result.stdout and "\x1b" not in result.stdout  # plain lines when piped


def test_console_splits_by_level(full_run):
    result, _ = full_run
    assert "WARN and above go to stderr" in result.stderr
    assert "WARN and above go to stderr" not in result.stdout
    assert "calibrated, limit 80" in result.stdout  # a standard logging INFO record, on stdout
    assert "thermo-1 reads 93" in result.stderr  # and a standard logging WARNING, on stderr


def test_log_file_holds_both_loggers_records_with_call_sites(full_run):
    result, log_dir = full_run
    path = log_dir / "demo.log"
    assert f"log file: {path}" in result.stdout
    text = path.read_text()
    assert "<sensorkit.py:" in text and " check>" in text  # the library's own call site
    assert "TimeoutError: thermo-1 did not answer" in text  # exception text of log.exception
    last = text.splitlines()[-1]
    assert "done; the log file is" in last and "  " + last in result.stdout


@pytest.mark.parametrize("parts", ["sync", "async,simple_queue,call_soon", "logging"])
def test_only_the_chosen_parts_run(parts, tmp_path):
    result = run_demo("-n", "2000", "-p", parts, "--log-dir", str(tmp_path))
    assert result.returncode == 0, result.stderr
    chosen = parts.split(",")
    for name, row in ROWS.items():
        assert (row in result.stdout) == (name in chosen)
    assert ("thermo-1" in result.stdout + result.stderr) == ("logging" in chosen)


@pytest.mark.parametrize("args, message", [
    (["-p", "sync,nope"], "unknown part(s) nope"),
    (["-n", "0"], "must be positive"),
    (["-s", "-3"], "must be positive"),
])
def test_bad_options_are_refused(args, message):
    result = run_demo(*args)
    assert result.returncode == 2 and message in result.stderr


def test_help_lists_the_options_and_parts():
    result = run_demo("--help")
    assert result.returncode == 0
    for text in ("--count", "--size", "--parts", *ROWS):
        assert text in result.stdout

"""The demo runs end to end with small counts, its output piped as in CI."""

import os
import pty
import subprocess
import sys
import time

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


def summary(stdout):
    """The summary table: its header and {row: the cells after the row's name}."""
    lines = stdout.split("how messages reach Python", 1)[1].splitlines()
    return lines[0], {line[:44].strip(): line[44:].split() for line in lines[1:] if line[:44].strip() in ROWS.values()}


def test_summary_compares_korvo_with_each_baseline_never_itself(full_run):
    result, _ = full_run
    header, rows = summary(result.stdout)
    assert header.split() == ["msgs/s", "korvo", "vs", "call_soon_threadsafe", "korvo", "vs", "SimpleQueue"]
    for part in ("sync", "async"):
        rate, *ratios = rows[ROWS[part]]
        assert len(ratios) == 2 and all(ratio.endswith("x") and float(ratio[:-1]) > 0 for ratio in ratios)
    assert rows[ROWS["call_soon"]][1:] == rows[ROWS["simple_queue"]][1:] == ["(baseline)"]


def test_on_a_terminal_the_bar_is_redrawn_in_place(tmp_path):
    # A pty as stdout: the live bar and colours; the run must end and print the same summary.
    parent, child = pty.openpty()
    demo = subprocess.Popen([sys.executable, DEMO, "-n", "3000", "-p", "sync,simple_queue", "--log-dir", str(tmp_path)],
                            stdin=subprocess.DEVNULL, stdout=child, stderr=child)
    os.close(child)
    output, deadline = b"", time.monotonic() + 120
    while time.monotonic() < deadline:
        try:
            chunk = os.read(parent, 65536)
        except OSError:  # the demo has closed its end
            break
        if not chunk:
            break
        output += chunk
    os.close(parent)
    assert demo.wait(timeout=max(deadline - time.monotonic(), 1)) == 0, output
    text = output.decode(errors="replace")
    assert "\r[##############################] SyncDispatcher (korvo)" in text
    assert "\x1b[" in text  # the console's colours
    _, rows = summary(text.replace("\r\n", "\n"))
    assert rows[ROWS["sync"]][1].endswith("x") and rows[ROWS["simple_queue"]][1:] == ["(baseline)"]


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
    # a korvo row is compared only with baselines that ran
    compared = bool({"sync", "async"} & set(chosen)) and bool({"call_soon", "simple_queue"} & set(chosen))
    assert ("korvo vs" in result.stdout) == compared
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

"""The benchmark results pipeline: rows recorded by a benchmark become the results table, the chart
and the README's copy of the table."""

import importlib.util
import os
import subprocess
import sys
import sysconfig

import pytest

BENCH = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, os.pardir, "bench")


def load_results_module():
    spec = importlib.util.spec_from_file_location("bench_results", os.path.join(BENCH, "results.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def report(tmp_path, rows_file, readme):
    return subprocess.run([sys.executable, os.path.join(BENCH, "report.py"), str(rows_file), str(tmp_path / "out"),
                           "--readme", str(readme)], capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("markers", [True, False])
def test_recorded_rows_become_the_table_and_the_readme_copy(tmp_path, monkeypatch, markers):
    rows_file = tmp_path / "rows.jsonl"
    monkeypatch.setenv("KORVO_BENCH_RESULTS", str(rows_file))
    monkeypatch.setenv("KORVO_BENCH_RUN", "2026-01-02T03:04:05Z")
    results = load_results_module()
    ours = results.best([5.0e6, 6.0e6, 5.5e6], "best of 3 runs of 2,000,000 messages; capacity=8192")
    results.record("relaybus", "SyncDispatcher, 64 B", ours, "ceiling", 10.0e6, "msg/s", target=0.75, ceiling=True)
    results.record("quillet", "filtered Logger.info", results.median([20.0, 22.0, 19.0], "median of 3"), "logging",
                   results.median([90.0, 90.0, 91.0], "median of 3"), "ns/call", better="lower", target=3.5)
    results.record("quillet", "DefaultLogger / Logger", 22.0, "Logger", 20.0, "ns/call", better="lower",
                   target=0.87, note="<= 1.15x slower", settings="median of 15", runs=[22.0, 24.0],
                   baseline_runs=[20.0, 21.0])
    results.record("spsc_queue", "ring fixed", 3.0e7, "mutex", 3.0e6, "msg/s")
    results.record("relaybus", "AsyncQueue ping-pong", 8.0e4, "asyncio.Queue", 1.6e5, "msg/s", target=1.0)
    readme = tmp_path / "README.md"
    start, end = "<!-- bench-results:start -->", "<!-- bench-results:end -->"
    readme.write_text(f"# title\n{start}\nold table\n{end}\ntail\n" if markers else "# no markers\n")

    result = report(tmp_path, rows_file, readme)

    if not markers:
        assert result.returncode != 0 and "bench-results:start" in result.stderr
        return
    assert result.returncode == 0, result.stderr
    table = (tmp_path / "out" / "latest.md").read_text()
    assert "one `./dev bench` run, begun 2026-01-02 03:04 UTC" in table
    assert "Targets met: 2 of 4." in table
    for row in [
        # a share of the ceiling says so; the spread and settings come with the Measured figure
        "| SyncDispatcher, 64 B | 6.00 M msg/s | ceiling (ceiling) | 10.0 M msg/s | 0.60 of the ceiling | "
        ">= 0.75: **missed** | korvo ±9.1% (3 runs), baseline one run | "
        "best of 3 runs of 2,000,000 messages; capacity=8192; baseline one run |",
        "| filtered Logger.info (lower is better) | 20.0 ns/call | logging | 90.0 ns/call | 4.50x faster | "
        ">= 3.5: met | korvo ±7.3%, baseline ±0.6% (3 runs each) | median of 3 |",
        "| 0.91x: 1.10x slower | <= 1.15x slower: met | korvo ±4.3%, baseline ±2.4% (2 runs each) | median of 15 |",
        "| ring fixed | 30.0 M msg/s | mutex | 3.00 M msg/s | 10.00x faster |  | one run each |  |",
        "| AsyncQueue ping-pong | 80.0 k msg/s | asyncio.Queue | 160 k msg/s | 0.50x: 2.00x slower | >= 1: **missed** |",
    ]:
        assert row in table
    text = readme.read_text()
    assert "old table" not in text and text.startswith(f"# title\n{start}\n### ") and text.endswith(f"{end}\ntail\n")
    assert "| filtered Logger.info (lower is better) |" in text
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):  # Debian's matplotlib is built for the default one
        assert (tmp_path / "out" / "latest.png").stat().st_size > 0


def test_rows_of_two_runs_are_refused(tmp_path, monkeypatch):
    rows_file = tmp_path / "rows.jsonl"
    monkeypatch.setenv("KORVO_BENCH_RESULTS", str(rows_file))
    results = load_results_module()
    for run in ("2026-01-02T03:04:05Z", "2026-01-03T03:04:05Z"):
        monkeypatch.setenv("KORVO_BENCH_RUN", run)
        results.record("spsc_queue", "ring fixed", 3.0e7, "mutex", 3.0e6, "msg/s")
    readme = tmp_path / "README.md"
    readme.write_text("<!-- bench-results:start -->\n<!-- bench-results:end -->\n")

    result = report(tmp_path, rows_file, readme)

    assert result.returncode != 0 and "come from 2 runs" in result.stderr
    assert not (tmp_path / "out" / "latest.md").exists()

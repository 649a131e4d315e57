"""The benchmark results pipeline: rows recorded by a benchmark become the results table, the chart
and the README's copy of the table."""

import importlib.util
import os
import subprocess
import sys

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
    results = load_results_module()
    results.record("relaybus", "SyncDispatcher, 64 B", 6.0e6, "ceiling", 10.0e6, "msg/s", target=0.75)
    results.record("quillet", "filtered Logger.info", 20.0, "logging", 90.0, "ns/call", better="lower", target=3.5)
    results.record("quillet", "DefaultLogger / Logger", 22.0, "Logger", 20.0, "ns/call", better="lower",
                   target=0.87, note="<= 1.15x slower")
    results.record("spsc_queue", "ring fixed", 3.0e7, "mutex", 3.0e6, "msg/s")
    readme = tmp_path / "README.md"
    start, end = "<!-- bench-results:start -->", "<!-- bench-results:end -->"
    readme.write_text(f"# title\n{start}\nold table\n{end}\ntail\n" if markers else "# no markers\n")

    result = report(tmp_path, rows_file, readme)

    if not markers:
        assert result.returncode != 0 and "bench-results:start" in result.stderr
        return
    assert result.returncode == 0, result.stderr
    table = (tmp_path / "out" / "latest.md").read_text()
    assert "Targets met: 2 of 3." in table
    assert "| SyncDispatcher, 64 B | 6,000,000 msg/s | ceiling | 10,000,000 msg/s | 0.60 | >= 0.75 | **missed** |" in table
    assert "| filtered Logger.info | 20.0 ns/call | logging | 90.0 ns/call | 4.50 | >= 3.5 | met |" in table
    assert "| 0.91 | <= 1.15x slower | met |" in table
    assert "| ring fixed | 30,000,000 msg/s | mutex | 3,000,000 msg/s | 10.00 |  |  |" in table
    text = readme.read_text()
    assert "old table" not in text and text.startswith(f"# title\n{start}\n| Path |") and text.endswith(f"{end}\ntail\n")
    assert "| filtered Logger.info |" in text

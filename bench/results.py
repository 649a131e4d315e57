"""The rows a benchmark run reports: each one korvo figure against one baseline measured in the
same run. Scripts call `record`; when KORVO_BENCH_RESULTS names a file (as `./dev bench` does), the
row is appended to it as one JSON line, and bench/report.py turns the file into the results table
and chart. Without it, recording only prints."""

import json
import os


def ratio(value, baseline, better="higher"):
    """How many times better korvo is: above 1 means faster than the baseline."""
    return value / baseline if better == "higher" else baseline / value


def record(group, path, value, baseline_name, baseline, unit, *, better="higher", target=None, note="",
           settings="", runs=None, baseline_runs=None):
    """One row. `target` is the least acceptable ratio (None: reported, no target); `better` says
    whether a larger figure is better (rates) or a smaller one (times). `settings` says how the
    figures were taken (best of N, capacity, flags); `runs` and `baseline_runs` are every run's
    figure, so the report can show the spread behind the one it compares."""
    row = {
        "group": group,
        "path": path,
        "value": value,
        "baseline_name": baseline_name,
        "baseline": baseline,
        "unit": unit,
        "better": better,
        "ratio": ratio(value, baseline, better),
        "target": target,
        "note": note,
        "settings": settings,
        "runs": list(runs) if runs is not None else [value],
        "baseline_runs": list(baseline_runs) if baseline_runs is not None else [baseline],
    }
    met = "" if target is None else ("  met" if row["ratio"] >= target else "  MISSED")
    wanted = "" if target is None else f" (target >= {target:g})"
    print(f"  [{group}] {path}: {row['ratio']:.2f} x {baseline_name}{wanted}{met}")
    destination = os.environ.get("KORVO_BENCH_RESULTS")
    if destination:
        with open(destination, "a", encoding="utf-8") as out:
            out.write(json.dumps(row) + "\n")
    return row

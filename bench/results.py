"""The rows a benchmark run reports: each one korvo figure against one baseline measured in the
same run. Scripts call `record`; when KORVO_BENCH_RESULTS names a file (as `./dev bench` does), the
row is appended to it as one JSON line, and bench/report.py turns the file into the results table
and chart. Without it, recording only prints. KORVO_BENCH_RUN names the run (`./dev bench` sets it
to the run's start time), so the report can tell one run's rows from a mix.

Figures taken over several runs are `Measured`: a float (the figure compared) that also carries
every run's figure and how it was taken, which `record` writes into the row."""

import json
import os
import statistics


class Measured(float):
    """The figure a benchmark compares, with every run's figure (`runs`) and how they were taken
    (`settings`, for example "best of 3 runs of 2,000,000 messages"). Arithmetic on it gives plain
    floats: only the figure itself travels with its runs."""

    def __new__(cls, value, runs, settings=""):
        measured = super().__new__(cls, value)
        measured.runs = [float(run) for run in runs]
        measured.settings = settings
        return measured


def best(runs, settings="", better="higher"):
    """The best of `runs` (the largest rate, or the smallest time with better="lower")."""
    runs = list(runs)
    return Measured(max(runs) if better == "higher" else min(runs), runs, settings)


def median(runs, settings=""):
    runs = list(runs)
    return Measured(statistics.median(runs), runs, settings)


def ratio(value, baseline, better="higher"):
    """How many times better korvo is: above 1 means faster than the baseline."""
    return value / baseline if better == "higher" else baseline / value


def _settings(value, baseline):
    """What the row says about how its figures were taken, when the caller says nothing: what the
    `Measured` figures carry (a plain figure beside one counts as one run)."""
    ours, theirs = getattr(value, "settings", None), getattr(baseline, "settings", None)
    if ours is None and theirs is None:
        return ""
    ours, theirs = ours or "one run", theirs or "one run"
    return ours if ours == theirs else f"{ours}; baseline {theirs}"


def record(group, path, value, baseline_name, baseline, unit, *, better="higher", target=None, note="",
           settings=None, runs=None, baseline_runs=None, ceiling=False):
    """One row. `target` is the least acceptable ratio (None: reported, no target); `better` says
    whether a larger figure is better (rates) or a smaller one (times). `ceiling` says the baseline
    is the most this path could reach (the ratio is then a share of it, at most 1). `settings` says
    how the figures were taken (best of N, capacity, flags); `runs` and `baseline_runs` are every
    run's figure, so the report can show the spread behind the one it compares. All three default
    to what `Measured` figures carry."""
    row = {
        "group": group,
        "path": path,
        "value": float(value),
        "baseline_name": baseline_name,
        "baseline": float(baseline),
        "unit": unit,
        "better": better,
        "ratio": ratio(value, baseline, better),
        "target": target,
        "note": note,
        "ceiling": ceiling,
        "settings": _settings(value, baseline) if settings is None else settings,
        "runs": list(runs) if runs is not None else getattr(value, "runs", [float(value)]),
        "baseline_runs": (list(baseline_runs) if baseline_runs is not None
                          else getattr(baseline, "runs", [float(baseline)])),
        "run": os.environ.get("KORVO_BENCH_RUN", ""),
    }
    met = "" if target is None else ("  met" if row["ratio"] >= target else "  MISSED")
    wanted = "" if target is None else f" (target >= {target:g})"
    print(f"  [{group}] {path}: {row['ratio']:.2f} x {baseline_name}{wanted}{met}")
    destination = os.environ.get("KORVO_BENCH_RESULTS")
    if destination:
        with open(destination, "a", encoding="utf-8") as out:
            out.write(json.dumps(row) + "\n")
    return row

"""Turns one benchmark run's rows (JSON lines written through bench/results.py) into the results
table (latest.md) and chart (latest.png).

    python3.14 bench/report.py RESULTS.jsonl OUT_DIR [--readme README.md]

With --readme, the tables also replace what the README holds between its bench-results markers.
Rows of more than one run are refused: every figure shown, and its baseline, come from one run."""

import argparse
import datetime
import json
import os
import platform
import sys

README_START = "<!-- bench-results:start -->"
README_END = "<!-- bench-results:end -->"

# The groups' headings, in the order a run writes them; a group not named here keeps its own name.
GROUPS = {
    "spsc_queue": "Ring queue (`korvo.spsc_queue`), native threads only",
    "quillet": "Logging (`korvo.quillet`)",
    "relaybus": "Bridge (`korvo.utils.relaybus`)",
    "free-threaded": "Log calls from several threads, free-threaded CPython 3.14t",
}

AHEAD, BEHIND, SHARE = "#2e7d32", "#d84315", "#1565c0"  # the chart's bar colours


def load(path):
    with open(path, encoding="utf-8") as rows:
        return [json.loads(line) for line in rows if line.strip()]


def run_of(rows):
    """The one run the rows come from ("" when they were recorded outside `./dev bench`); exits
    when they come from several, since a table of mixed runs compares figures of different days."""
    runs = sorted({row.get("run", "") for row in rows})
    if len(runs) > 1:
        sys.exit(f"report.py: the rows come from {len(runs)} runs ({', '.join(r or 'unnamed' for r in runs)}); "
                 "a report shows one run: run ./dev bench again")
    return runs[0]


def cpu_model():
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def machine():
    load_avg = ", ".join(f"{x:.2f}" for x in os.getloadavg()) if hasattr(os, "getloadavg") else "n/a"
    return (f"{cpu_model()}, {os.cpu_count()} CPUs, {platform.system()} {platform.release()}, "
            f"Python {platform.python_version()}; load average at the end of the run {load_avg}")


def run_text(run, ended):
    """Which run the figures come from and how long its benchmarks took (`ended`: when its last
    row was written)."""
    try:
        began = datetime.datetime.strptime(run, "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=datetime.timezone.utc)
    except ValueError:
        return f"one benchmark run, ended {ended:%Y-%m-%d %H:%M} UTC"
    minutes = max((ended - began).total_seconds() / 60, 0)
    return (f"one `./dev bench` run, begun {began:%Y-%m-%d %H:%M} UTC; its benchmarks took {minutes:.0f} min "
            f"(the build before them not counted)")


# ---- what a row says

def figure(value, unit):
    """Three significant digits; rates in k or M."""
    scale = ""
    if unit.endswith("/s"):
        for factor, prefix in ((1e6, " M"), (1e3, " k")):
            if value >= factor:
                value, scale = value / factor, prefix
                break
    digits = 0 if value >= 100 else 1 if value >= 10 else 2
    return f"{value:,.{digits}f}{scale} {unit}"


def what(row):
    return row["path"] + (" (lower is better)" if row["better"] == "lower" else "")


def ratio_text(row):
    ratio = row["ratio"]
    if row.get("ceiling"):
        return f"{ratio:.2f} of the ceiling"
    if ratio >= 1:
        return f"{ratio:.2f}x faster" if ratio >= 1.005 else f"{ratio:.2f}x, even"
    return f"{ratio:.2f}x: {1 / ratio:.2f}x slower"


def met(row):
    return row["ratio"] >= row["target"]


def target_text(row):
    if row["target"] is None:
        return ""
    wanted = row["note"] if row["note"].startswith(("<=", ">=")) else f">= {row['target']:g}"
    return f"{wanted}: " + ("met" if met(row) else "**missed**")


def spread(runs):
    """Half the range between the slowest and the fastest run, relative to its middle."""
    low, high = min(runs), max(runs)
    return f"±{(high - low) / (high + low) * 100:.1f}%" if high + low > 0 else "±0%"


def spread_text(row):
    ours, theirs = row.get("runs") or [row["value"]], row.get("baseline_runs") or [row["baseline"]]
    if len(ours) < 2 and len(theirs) < 2:
        return "one run each"
    if len(ours) == len(theirs):
        return f"korvo {spread(ours)}, baseline {spread(theirs)} ({len(ours)} runs each)"
    def one(runs):
        return f"{spread(runs)} ({len(runs)} runs)" if len(runs) > 1 else "one run"
    return f"korvo {one(ours)}, baseline {one(theirs)}"


def baseline_text(row):
    return row["baseline_name"] + (" (ceiling)" if row.get("ceiling") else "")


def table(rows):
    lines = [
        "| What is measured | korvo | Baseline | Baseline figure | Ratio | Target | Spread across runs | How measured |",
        "|---|---:|---|---:|---|---|---|---|",
    ]
    for row in rows:
        lines.append(
            f"| {what(row)} | {figure(row['value'], row['unit'])} | {baseline_text(row)} | "
            f"{figure(row['baseline'], row['unit'])} | {ratio_text(row)} | {target_text(row)} | {spread_text(row)} | "
            f"{row.get('settings') or ''} |")
    return "\n".join(lines)


def grouped(rows):
    """(heading, rows) per group, groups in the order they first appear."""
    order = list(dict.fromkeys(row["group"] for row in rows))
    return [(GROUPS.get(group, group), [row for row in rows if row["group"] == group]) for group in order]


def tables(rows):
    return "\n\n".join(f"### {heading}\n\n{table(group_rows)}" for heading, group_rows in grouped(rows))


def explanation(rows, run):
    targeted = [row for row in rows if row["target"] is not None]
    return (f"Every figure and its baseline come from {run}. Ratio: how many times better korvo is than "
            "its baseline, above 1 when korvo is ahead (for times, the baseline's time over korvo's). "
            "Rows \"of the ceiling\" give instead the share korvo reaches of the most the machine can "
            "deliver on that path (a native loop that holds the interpreter lock throughout and calls the same "
            "callback, or a logging handler that does nothing), so they reach 1 at most, but for noise. Spread: how far the runs "
            "behind each figure lay apart (half the range between the slowest and the fastest, relative to "
            "its middle); the figure compared is the one named under How measured. "
            f"Targets met: {sum(met(row) for row in targeted)} of {len(targeted)}.")


def markdown(rows, about, run):
    return "\n".join([
        "# Benchmark results",
        "",
        f"Machine: {about}.",
        "",
        explanation(rows, run),
        "",
        tables(rows),
        "",
        "![korvo against its baselines](latest.png)",
        "",
    ])


# ---- the chart

def chart(rows, path, about, run):
    """Bars: how korvo fares against its baseline (green ahead, orange behind, blue a share of the
    ceiling); diamonds: the targets (filled met, hollow red missed). Ratios against other code span
    hundreds, so they get a log axis; shares of the ceiling a linear one from 0 to 1."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    against = [row for row in rows if not row.get("ceiling")]
    shares = [row for row in rows if row.get("ceiling")]
    panels = [(part, ceiling) for part, ceiling in ((against, False), (shares, True)) if part]
    fig, axes = plt.subplots(len(panels), 1, figsize=(11, 0.3 * len(rows) + 1.4 * len(panels) + 1.2),
                             gridspec_kw={"height_ratios": [len(part) + 2 for part, _ in panels]}, squeeze=False)
    for ax, (part, ceiling) in zip(axes[:, 0], panels):
        draw_panel(ax, part, ceiling)
    legend = [
        Patch(color=AHEAD, label="korvo faster than its baseline"),
        Patch(color=BEHIND, label="korvo slower than its baseline"),
        Patch(color=SHARE, label="korvo's share of the ceiling"),
        Line2D([], [], marker="D", linestyle="", color="black", label="target, met"),
        Line2D([], [], marker="D", linestyle="", markerfacecolor="white", markeredgecolor="#c62828",
               markeredgewidth=1.5, label="target, missed"),
    ]
    fig.legend(handles=legend, loc="lower center", ncol=5, fontsize=8, frameon=False)
    fig.suptitle(f"korvo against its baselines: {run.replace('`', '')}\n{about}", fontsize=8)
    fig.tight_layout(rect=(0, 0.03, 1, 0.97))
    fig.savefig(path, dpi=110)
    plt.close(fig)


def draw_panel(ax, rows, ceiling):
    from matplotlib.ticker import FixedLocator, FuncFormatter, NullLocator

    positions = range(len(rows))
    ratios = [row["ratio"] for row in rows]
    colours = [SHARE if ceiling else (AHEAD if r >= 1 else BEHIND) for r in ratios]
    ax.barh(positions, ratios, color=colours, height=0.7)
    if ceiling:
        ax.set_xlim(0, max(ratios + [1.0]) + 0.4)  # room for the labels
        ax.axvline(1.0, color="#555555", linestyle=":", linewidth=1)
        ax.set_xlabel("share of the ceiling (1: as fast as the most the machine delivers on that path)", fontsize=8)
    else:
        ax.set_xscale("log")
        low, high = min(ratios + [1.0]), max(ratios + [1.0])
        ax.set_xlim(low / 1.6, high * 3.5)
        ticks = [t for t in (0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 50, 100, 200, 500, 1000) if low / 1.6 <= t <= high * 3.5]
        ax.xaxis.set_major_locator(FixedLocator(ticks))
        ax.xaxis.set_minor_locator(NullLocator())
        ax.axvline(1.0, color="#555555", linestyle=":", linewidth=1)
        ax.set_xlabel("how many times faster korvo is than the baseline (log scale; 1: even; for times, the "
                      "baseline's time over korvo's)", fontsize=8)
    ax.xaxis.set_major_formatter(FuncFormatter(lambda x, _: f"{x:g}"))
    ax.grid(axis="x", color="#dddddd", linewidth=0.6)
    ax.set_axisbelow(True)
    for y, row in zip(positions, rows):
        label = f"{row['ratio']:.2f}"
        target = row["target"]
        if target is not None:
            hit = met(row)
            ax.plot([target], [y], marker="D", markersize=6, linestyle="",
                    color="black" if hit else "#c62828", markerfacecolor="black" if hit else "white",
                    markeredgewidth=1.5, zorder=3)
            label += f"   target {target:.3g}: " + ("met" if hit else "missed")
        x = max(row["ratio"], target or 0)
        ax.text(x + 0.03 if ceiling else x * 1.12, y, label, va="center", fontsize=7,
                color="black" if target is None or met(row) else "#c62828")
    labels = [f"{what(row)}\nvs {row['baseline_name']}" for row in rows]
    ax.set_yticks(list(positions), labels, fontsize=6.5)
    ax.invert_yaxis()
    ax.set_title("against a ceiling" if ceiling else "against other code", fontsize=9, loc="left")


def update_readme(path, rows):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    start, end = text.find(README_START), text.find(README_END)
    if start < 0 or end < start:
        sys.exit(f"report.py: {path} has no {README_START} ... {README_END} section")
    text = text[:start + len(README_START)] + "\n" + tables(rows) + "\n" + text[end:]
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("results")
    parser.add_argument("out_dir")
    parser.add_argument("--readme")
    args = parser.parse_args()
    rows = load(args.results)
    if not rows:
        sys.exit(f"report.py: {args.results} holds no rows")
    ended = datetime.datetime.fromtimestamp(os.path.getmtime(args.results), datetime.timezone.utc)
    run = run_text(run_of(rows), ended)
    about = machine()
    os.makedirs(args.out_dir, exist_ok=True)
    with open(os.path.join(args.out_dir, "latest.md"), "w", encoding="utf-8") as f:
        f.write(markdown(rows, about, run))
    try:
        chart(rows, os.path.join(args.out_dir, "latest.png"), about, run)
    except ImportError:
        print("report.py: matplotlib is not installed; no chart drawn", file=sys.stderr)
    if args.readme:
        update_readme(args.readme, rows)
    print(f"report.py: {len(rows)} rows of {run} -> {args.out_dir}/latest.md, latest.png")


if __name__ == "__main__":
    main()

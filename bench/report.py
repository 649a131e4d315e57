"""Turns one benchmark run's rows (JSON lines written through bench/results.py) into the results
table (latest.md) and chart (latest.png).

    python3.14 bench/report.py RESULTS.jsonl OUT_DIR [--readme README.md]

With --readme, the table also replaces what the README holds between its bench-results markers."""

import argparse
import datetime
import json
import os
import platform
import sys

README_START = "<!-- bench-results:start -->"
README_END = "<!-- bench-results:end -->"


def load(path):
    with open(path, encoding="utf-8") as rows:
        return [json.loads(line) for line in rows if line.strip()]


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
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    return (f"{cpu_model()}, {os.cpu_count()} CPUs, {platform.system()} {platform.release()}, "
            f"Python {platform.python_version()}; load average at the end of the run {load_avg}; {when}")


def figure(value, unit):
    if unit.endswith("/s"):
        return f"{value:,.0f} {unit}"
    return f"{value:,.1f} {unit}"


def verdict(row):
    if row["target"] is None:
        return ""
    return "met" if row["ratio"] >= row["target"] else "**missed**"


def target_text(row):
    if row["target"] is None:
        return ""
    return row["note"] if row["note"].startswith(("<=", ">=")) else f">= {row['target']:g}"


def table(rows):
    lines = [
        "| Path | korvo | Baseline | Baseline figure | Ratio | Target | |",
        "|---|---:|---|---:|---:|---|---|",
    ]
    for row in rows:
        lines.append(
            f"| {row['path']} | {figure(row['value'], row['unit'])} | {row['baseline_name']} | "
            f"{figure(row['baseline'], row['unit'])} | {row['ratio']:.2f} | {target_text(row)} | {verdict(row)} |")
    return "\n".join(lines)


def markdown(rows, about):
    met = [r for r in rows if r["target"] is not None and r["ratio"] >= r["target"]]
    targeted = [r for r in rows if r["target"] is not None]
    return "\n".join([
        "# Benchmark results",
        "",
        f"Machine: {about}.",
        "",
        "Every figure and its baseline come from the same `./dev bench` run. Ratio: how many times "
        "better korvo is than the baseline (above 1: faster; for \"of the ceiling\" rows, the share of "
        f"the most this machine can deliver). Targets met: {len(met)} of {len(targeted)}.",
        "",
        table(rows),
        "",
        "![korvo against its baselines](latest.png)",
        "",
    ])


def chart(rows, path, about):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter

    labels = [f"{r['path']}\nvs {r['baseline_name']}" for r in rows]
    ratios = [r["ratio"] for r in rows]
    colours = ["#9e9e9e" if r["target"] is None else ("#2e7d32" if r["ratio"] >= r["target"] else "#c62828")
               for r in rows]
    height = max(3.0, 0.42 * len(rows) + 1.2)
    fig, ax = plt.subplots(figsize=(11, height))
    positions = range(len(rows))
    ax.barh(positions, ratios, color=colours)
    for y, r in zip(positions, rows):
        if r["target"] is not None:
            ax.plot([r["target"]] * 2, [y - 0.4, y + 0.4], color="black", linewidth=2)
        ax.text(r["ratio"] * 1.04, y, f"{r['ratio']:.2f}", va="center", fontsize=8)
    ax.axvline(1.0, color="#555555", linestyle=":", linewidth=1)
    ax.set_xscale("log")
    ax.xaxis.set_major_formatter(FuncFormatter(lambda x, _: f"{x:g}"))
    ax.set_yticks(list(positions), labels, fontsize=7)
    ax.invert_yaxis()
    ax.set_xlabel("ratio against the baseline (log scale; black tick: target; green met, red missed, grey no target)")
    ax.set_title(f"korvo against its baselines\n{about}", fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def update_readme(path, rows):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    start, end = text.find(README_START), text.find(README_END)
    if start < 0 or end < start:
        sys.exit(f"report.py: {path} has no {README_START} ... {README_END} section")
    text = text[:start + len(README_START)] + "\n" + table(rows) + "\n" + text[end:]
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
    about = machine()
    os.makedirs(args.out_dir, exist_ok=True)
    with open(os.path.join(args.out_dir, "latest.md"), "w", encoding="utf-8") as f:
        f.write(markdown(rows, about))
    try:
        chart(rows, os.path.join(args.out_dir, "latest.png"), about)
    except ImportError:
        print("report.py: matplotlib is not installed; no chart drawn", file=sys.stderr)
    if args.readme:
        update_readme(args.readme, rows)
    print(f"report.py: {len(rows)} rows -> {args.out_dir}/latest.md, latest.png")


if __name__ == "__main__":
    main()

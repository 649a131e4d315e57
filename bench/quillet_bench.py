"""korvo.quillet benchmarks: filtered calls (with and without fields), records written to a file
(pattern and JSON lines), standard logging records forwarded through PyLogHandler, and syslog
records sent to a live rsyslog, with baselines measured in the same run (the standard logging
package; loguru when it is installed)."""

import json
import logging
import logging.handlers
import os
import statistics
import sys
import tempfile
import time

import quillet_testext as ext
import results
from korvo.quillet import quillet

MESSAGE = "benchmark message with a little text in it"
PATTERN = "[%Y-%m-%d %H:%M:%S.%e] [%n] [%l] [%s:%#] [%!] %v"
STD_FORMAT = "%(asctime)s [%(name)s] [%(levelname)s] [%(filename)s:%(lineno)d] [%(funcName)s] %(message)s"
LOGURU_FORMAT = "{time} [{name}] [{level}] [{file}:{line}] [{function}] {message}"

# The fields of the fields= rows: built once, as a caller's constant (a dict display in the call
# would add its own construction, the same with or without korvo).
FIELDS = {"user": 42, "path": "/cart/checkout", "ratio": 0.25, "retry": False}

FILTERED_CALLS = 200_000
FILTERED_REPEATS = 15
# Many short runs rather than a few long ones: on a shared machine the best of them is the one
# least disturbed, and the ratios are of such bests.
WRITTEN_RECORDS = 50_000
WRITTEN_REPEATS = 20
BRIDGE_RECORDS = 10_000
BRIDGE_REPEATS = 100


def per_call_ns(fn, n):
    start = time.perf_counter_ns()
    for _ in range(n):
        fn(MESSAGE)
    return (time.perf_counter_ns() - start) / n


FILTERED_SETTINGS = f"median of {FILTERED_REPEATS} interleaved runs of {FILTERED_CALLS:,} calls, logger at warn"
WRITTEN_SETTINGS = f"best of {WRITTEN_REPEATS} interleaved runs of {WRITTEN_RECORDS:,} records, flush included"


def interleaved_medians_ns(fns, n=FILTERED_CALLS, repeats=FILTERED_REPEATS):
    """Median per-call time of each of `fns`, measured in alternation so that a change in the
    machine's load during the run falls on all of them alike; and every run's figure of each."""
    return interleaved_loop_medians_ns([lambda m, fn=fn: per_call_ns(fn, m) for fn in fns], n, repeats)


def interleaved_loop_medians_ns(loops, n=FILTERED_CALLS, repeats=FILTERED_REPEATS):
    """interleaved_medians_ns for loops that make their own calls: loop(n) makes n of them.
    Returns (medians, runs), runs[i] being every run's figure of loops[i]."""
    for loop in loops:
        loop(n // 10)  # warm up
    times = [[] for _ in loops]
    for _ in range(repeats):
        for loop, runs in zip(loops, times):
            start = time.perf_counter_ns()
            loop(n)
            runs.append((time.perf_counter_ns() - start) / n)
    return [statistics.median(runs) for runs in times], times


def records_per_second(write, finish, n=WRITTEN_RECORDS, repeats=WRITTEN_REPEATS):
    """Best of `repeats` runs of n records, `finish` (flushing) included in the time."""
    return interleaved_records_per_second([(write, finish)], n, repeats)[0][0]


def interleaved_records_per_second(writers, n=WRITTEN_RECORDS, repeats=WRITTEN_REPEATS):
    """records_per_second of each (write, finish) pair, the pairs' runs taken in alternation.
    Returns (best, runs), runs[i] being every run's figure of writers[i]."""
    runs = [[] for _ in writers]
    for _ in range(repeats):
        for i, (write, finish) in enumerate(writers):
            start = time.perf_counter()
            for _ in range(n):
                write(MESSAGE)
            finish()
            runs[i].append(n / (time.perf_counter() - start))
    return [max(r) for r in runs], runs


def row(label, value, unit, baseline=None, better="lower"):
    text = f"  {label:<52} {value:>12,.1f} {unit}"
    if baseline:
        ratio = baseline / value if better == "lower" else value / baseline
        text += f"   {ratio:5.1f}x vs baseline"
    print(text)


def quillet_logger(name, level, handlers, default):
    ext.make_logger(name, level, handlers, make_default=default)
    logger = quillet.Logger.__new__(quillet.Logger)
    ext.attach(logger, name)
    return logger


def bench_filtered():
    print("Filtered info call (logger at warn), ns per call, median of", FILTERED_REPEATS, "runs")
    std = logging.getLogger("bench.filtered")
    std.setLevel(logging.WARNING)
    std.propagate = False
    logger = quillet_logger("bench.filtered", 3, [("file", os.devnull, PATTERN, 0, False)], default=True)
    default = quillet.DefaultLogger()
    (std_ns, logger_ns, default_ns, empty_ns), (std_runs, logger_runs, default_runs, _) = interleaved_medians_ns(
        [std.info, logger.info, default.info, lambda msg: None])
    row("logging.Logger.info (baseline)", std_ns, "ns")
    row("quillet Logger.info", logger_ns, "ns", std_ns)
    row("quillet DefaultLogger.info", default_ns, "ns", std_ns)
    row("(a Python no-op call in the same loop, for scale)", empty_ns, "ns")
    print(f"  DefaultLogger / Logger: {default_ns / logger_ns:.2f}")
    results.record("quillet", "filtered Logger.info", logger_ns, "logging.Logger.info, filtered", std_ns, "ns/call",
                   better="lower", target=4, settings=FILTERED_SETTINGS, runs=logger_runs, baseline_runs=std_runs)
    results.record("quillet", "filtered DefaultLogger.info", default_ns, "quillet Logger.info, filtered", logger_ns,
                   "ns/call", better="lower", target=round(1 / 1.15, 2), note="<= 1.15x slower",
                   settings=FILTERED_SETTINGS, runs=default_runs, baseline_runs=logger_runs)
    return logger_ns, default_ns


def bench_filtered_fields():
    print("Filtered info call (logger at warn) with and without fields=, ns per call, median of", FILTERED_REPEATS,
          "runs")
    logger = quillet_logger("bench.filtered_fields", 3, [("file", os.devnull, PATTERN, 0, False)], default=False)

    def plain(n):
        for _ in range(n):
            logger.info(MESSAGE)

    def with_fields(n):
        for _ in range(n):
            logger.info(MESSAGE, fields=FIELDS)

    # The interpreter's own price of a keyword argument to a built-in method, for scale.
    empty = []

    def sort_plain(n):
        for _ in range(n):
            empty.sort()

    def sort_keyword(n):
        for _ in range(n):
            empty.sort(key=None)

    (plain_ns, fields_ns, sort_ns, sort_keyword_ns), (plain_runs, fields_runs, _, _) = interleaved_loop_medians_ns(
        [plain, with_fields, sort_plain, sort_keyword])
    row("quillet Logger.info(msg) (baseline)", plain_ns, "ns")
    row("quillet Logger.info(msg, fields=...)", fields_ns, "ns", plain_ns)
    print(f"  a keyword argument's own cost, [].sort(key=None) - [].sort(): {sort_keyword_ns - sort_ns:.1f} ns; "
          f"fields=: {fields_ns - plain_ns:.1f} ns")
    results.record("quillet", "filtered Logger.info with fields=", fields_ns, "quillet Logger.info, filtered",
                   plain_ns, "ns/call", better="lower", target=0.9, note="no slower within noise",
                   settings=FILTERED_SETTINGS, runs=fields_runs, baseline_runs=plain_runs)
    ext.drop("bench.filtered_fields")


class JsonFormatter(logging.Formatter):
    """The usual JSON formatter of the standard package: the record's keys and its extra, through
    json.dumps."""

    STANDARD = set(logging.LogRecord("", 0, "", 0, "", None, None).__dict__) | {"message", "asctime"}

    def format(self, record):
        return json.dumps({
            "time": self.formatTime(record), "level": record.levelname, "logger": record.name,
            "message": record.getMessage(), "file": record.filename, "line": record.lineno,
            "function": record.funcName, "thread": record.thread, "process": record.process,
            "fields": {k: v for k, v in record.__dict__.items() if k not in self.STANDARD},
        })


def bench_json_lines(folder):
    print("JSON line with four fields written to a file, records per second (best of", WRITTEN_REPEATS, "runs)")
    handler = logging.FileHandler(os.path.join(folder, "std.jsonl"), mode="w")
    handler.setFormatter(JsonFormatter())
    std = standard_logger("bench.json", handler)
    modes = {"durable": False, "buffered": True}
    loggers = {mode: quillet_logger(f"bench.json.{mode}", 0,
                                    [("file", os.path.join(folder, f"{mode}.jsonl"), "", 0, True, buffered, True)],
                                    default=False) for mode, buffered in modes.items()}
    (std_rate, *rates), (std_runs, *runs) = interleaved_records_per_second(
        [(lambda msg: std.info(msg, extra=FIELDS), handler.flush)] +
        [(lambda msg, lg=loggers[mode]: lg.info(msg, fields=FIELDS), lambda mode=mode: ext.flush(f"bench.json.{mode}"))
         for mode in modes])
    std.removeHandler(handler)
    handler.close()
    row("logging FileHandler + json.dumps formatter (baseline)", std_rate, "rec/s")
    for mode, rate in zip(modes, rates):
        row(f"quillet FileHandler(json=True), {mode}", rate, "rec/s", std_rate, better="higher")
    results.record("quillet", "JSON lines, file handler", rates[0], "logging FileHandler, json.dumps formatter",
                   std_rate, "rec/s", better="higher", target=5, note="each record in the kernel when the call returns",
                   settings=WRITTEN_SETTINGS + ", four fields", runs=runs[0], baseline_runs=std_runs)
    results.record("quillet", "JSON lines, buffered file handler", rates[1],
                   "logging FileHandler, json.dumps formatter", std_rate, "rec/s", better="higher", target=5,
                   note="buffered=True", settings=WRITTEN_SETTINGS + ", four fields", runs=runs[1],
                   baseline_runs=std_runs)
    for mode in modes:
        ext.drop(f"bench.json.{mode}")


def bench_written(folder):
    print("Record written to a file, pattern with call site, records per second (best of", WRITTEN_REPEATS, "runs)")
    std_path = os.path.join(folder, "std.log")
    std = logging.getLogger("bench.written")
    std.setLevel(logging.INFO)
    std.propagate = False
    handler = logging.FileHandler(std_path, mode="w")
    handler.setFormatter(logging.Formatter(STD_FORMAT))
    std.addHandler(handler)

    # Each record in the kernel before the call returns (the default), and through a buffer.
    modes = {"durable": False, "buffered": True}
    loggers = {}
    for mode, buffered in modes.items():
        path = os.path.join(folder, f"quillet_{mode}.log")
        loggers[mode] = quillet_logger(f"bench.written.{mode}", 0, [("file", path, PATTERN, 0, True, buffered)],
                                       default=False)
    # Alternated with the baseline: the ratios are the targets, so load changes must fall on all.
    (std_rate, *logger_rates), (std_runs, *logger_runs) = interleaved_records_per_second(
        [(std.info, handler.flush)] +
        [(loggers[mode].info, lambda mode=mode: ext.flush(f"bench.written.{mode}")) for mode in modes])
    rates = dict(zip(modes, logger_rates))
    mode_runs = dict(zip(modes, logger_runs))
    std.removeHandler(handler)
    handler.close()
    row("logging FileHandler (baseline)", std_rate, "rec/s")
    for mode in modes:
        row(f"quillet Logger.info, {mode}", rates[mode], "rec/s", std_rate, better="higher")
    for mode in modes:
        ext.set_default(f"bench.written.{mode}")
        default_rate = records_per_second(quillet.DefaultLogger().info,
                                          lambda mode=mode: ext.flush(f"bench.written.{mode}"))
        row(f"quillet DefaultLogger.info, {mode}", default_rate, "rec/s", std_rate, better="higher")
        print(f"  Logger / DefaultLogger time per record, {mode}: {rates[mode] / default_rate:.2f}")
    ext.set_default("")

    loguru_rate = None
    try:
        from loguru import logger as loguru_logger
    except ImportError:
        print("  loguru is not installed: its baseline is skipped")
    else:
        loguru_logger.remove()
        sink_id = loguru_logger.add(os.path.join(folder, "loguru.log"), format=LOGURU_FORMAT, level="INFO")
        (loguru_rate,), (loguru_runs,) = interleaved_records_per_second([(loguru_logger.info, lambda: None)])
        loguru_logger.remove(sink_id)
        row("loguru file sink (baseline)", loguru_rate, "rec/s")
        print(f"  quillet Logger vs loguru: {rates['durable'] / loguru_rate:.1f}x (durable), "
              f"{rates['buffered'] / loguru_rate:.1f}x (buffered)")

    results.record("quillet", "written records, file handler, call-site pattern", rates["durable"],
                   "logging FileHandler", std_rate, "rec/s", better="higher", target=4,
                   note="each record in the kernel when the call returns", settings=WRITTEN_SETTINGS,
                   runs=mode_runs["durable"], baseline_runs=std_runs)
    results.record("quillet", "written records, buffered file handler, call-site pattern", rates["buffered"],
                   "logging FileHandler", std_rate, "rec/s", better="higher", target=30,
                   note="buffered=True: records below warn wait up to 0.5 s", settings=WRITTEN_SETTINGS,
                   runs=mode_runs["buffered"], baseline_runs=std_runs)
    if loguru_rate:
        results.record("quillet", "written records, file handler, call-site pattern", rates["durable"],
                       "loguru file sink", loguru_rate, "rec/s", better="higher",
                       settings=f"best of {WRITTEN_REPEATS} runs of {WRITTEN_RECORDS:,} records each, "
                                "loguru's taken after quillet's", runs=mode_runs["durable"], baseline_runs=loguru_runs)
    for mode in modes:
        ext.drop(f"bench.written.{mode}")


def standard_logger(name, handler):
    logger = logging.getLogger(name)
    logger.setLevel(logging.INFO)
    logger.propagate = False
    logger.addHandler(handler)
    return logger


def bench_stdlib_bridge(folder):
    print("Standard logging record written to a file, pattern with call site, records per second (best of",
          WRITTEN_REPEATS, "runs)")
    std_handler = logging.FileHandler(os.path.join(folder, "std_bridge.log"), mode="w")
    std_handler.setFormatter(logging.Formatter(STD_FORMAT))
    std = standard_logger("bench.std_file", std_handler)
    std_rate = records_per_second(std.info, std_handler.flush)
    std.removeHandler(std_handler)
    std_handler.close()
    row("logging FileHandler (baseline)", std_rate, "rec/s")

    class Discarding(logging.Handler):
        def emit(self, record):
            pass

    # The standard package's own work before any emit: no handler can be faster than this.
    ceiling = standard_logger("bench.std_ceiling", Discarding())
    sink_path = os.path.join(folder, "bridge.log")
    # Buffered, so that the figure is the bridge's own cost rather than one write per record.
    quillet.Logger("bench.bridge",
                   handlers=[quillet.FileHandler(sink_path, pattern=PATTERN, overwrite=True, buffered=True)],
                   set_default=True, intercept_stdlib_logging=False)
    bridged = standard_logger("bench.std_bridge", quillet.PyLogHandler(logging.DEBUG))
    # Alternated: the ratio of these two is the target, so load changes must fall on both.
    # Shorter runs still: the two differ by a tenth, less than one disturbed run of either moves.
    (ceiling_rate, bridge_rate), (ceiling_runs, bridge_runs) = interleaved_records_per_second(
        [(ceiling.info, lambda: None), (bridged.info, lambda: ext.flush("bench.bridge"))], n=BRIDGE_RECORDS,
        repeats=BRIDGE_REPEATS)
    row("logging, a handler whose emit does nothing (ceiling)", ceiling_rate, "rec/s", std_rate, better="higher")
    row("logging -> PyLogHandler -> quillet buffered file sink", bridge_rate, "rec/s", std_rate, better="higher")
    print(f"  PyLogHandler / FileHandler throughput: {bridge_rate / std_rate:.2f}x "
          f"(ceiling {ceiling_rate / std_rate:.2f}x)")
    results.record("quillet", "PyLogHandler into a buffered file sink", bridge_rate, "handler whose emit does nothing",
                   ceiling_rate, "rec/s", better="higher", target=0.9,
                   settings=f"best of {BRIDGE_REPEATS} interleaved runs of {BRIDGE_RECORDS:,} records, flush included, "
                            "buffered file sink, call-site pattern", runs=bridge_runs,
                   baseline_runs=ceiling_runs, ceiling=True)
    bridged.handlers.clear()
    ext.drop("bench.bridge")


SYSLOG_RECORDS = 50_000
SYSLOG_REPEATS = 5  # every record is a datagram a live rsyslog must take
# What the standard SysLogHandler is given to send: the same parts as an RFC 5424 message of
# quillet's (header, call site, message), through a Formatter.
SYSLOG_STD_FORMAT = ("1 %(asctime)s.%(msecs)03d bench-host bench.std %(process)d %(name)s "
                     "[site@32473 file=\"%(filename)s\" line=\"%(lineno)d\" function=\"%(funcName)s\" "
                     "thread=\"%(thread)d\"] %(message)s")


def bench_syslog(folder):
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python", "quillet"))
    from rsyslog_collector import RSYSLOGD, Collector

    if not os.path.exists(RSYSLOGD):
        print("Syslog records: rsyslogd is not installed, skipped")
        return
    print("Syslog record over UDP to a live rsyslog, call site in the message, records per second (best of",
          SYSLOG_REPEATS, "runs)")
    collector = Collector(folder)
    collector.start()
    try:
        address = collector.address("udp")
        std_handler = logging.handlers.SysLogHandler(address=address)
        std_handler.setFormatter(logging.Formatter(SYSLOG_STD_FORMAT, datefmt="%Y-%m-%dT%H:%M:%S"))
        std = standard_logger("bench.syslog.std", std_handler)
        handler = quillet.SyslogHandler(address, app_name="bench.quillet")
        logger = quillet.Logger("bench.syslog", handlers=[handler])
        (std_rate, logger_rate), (std_runs, logger_runs) = interleaved_records_per_second(
            [(std.info, lambda: None), (logger.info, logger.flush)], n=SYSLOG_RECORDS, repeats=SYSLOG_REPEATS)
        sent = 2 * SYSLOG_RECORDS * SYSLOG_REPEATS
        row("logging.handlers.SysLogHandler (baseline)", std_rate, "rec/s")
        row("quillet SyslogHandler, udp", logger_rate, "rec/s", std_rate, better="higher")
        print(f"  rsyslog took {collector.bench_count():,} of the {sent:,} datagrams sent so far "
              f"(UDP: a collector that falls behind loses the rest); quillet dropped {handler.dropped}")
        results.record("quillet", "syslog records over UDP to rsyslog", logger_rate,
                       "logging.handlers.SysLogHandler", std_rate, "rec/s", better="higher", target=5,
                       note="each record in the kernel when the call returns",
                       settings=f"best of {SYSLOG_REPEATS} interleaved runs of {SYSLOG_RECORDS:,} records, udp",
                       runs=logger_runs, baseline_runs=std_runs)
        std.removeHandler(std_handler)
        std_handler.close()
        ext.drop("bench.syslog")
    finally:
        collector.stop()


PARTS = ("filtered", "written", "bridge", "syslog")


def main(parts=PARTS):
    """Runs the named parts (all by default: `python3.14 bench/quillet_bench.py [part ...]`)."""
    unknown = set(parts) - set(PARTS)
    if unknown:
        sys.exit(f"unknown part(s) {sorted(unknown)}: choose from {', '.join(PARTS)}")
    print(f"Python {sys.version.split()[0]}, korvo.quillet from {quillet.__file__}")
    if "filtered" in parts:
        bench_filtered()
        bench_filtered_fields()
    with tempfile.TemporaryDirectory(prefix="quillet_bench_") as folder:
        if "written" in parts:
            bench_written(folder)
            bench_json_lines(folder)
        if "bridge" in parts:
            bench_stdlib_bridge(folder)
        if "syslog" in parts:
            bench_syslog(folder)
    ext.set_default("")


if __name__ == "__main__":
    main(sys.argv[1:] or PARTS)

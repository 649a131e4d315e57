"""korvo demo: native producer threads stream byte messages into Python callbacks, measured live
against the usual ways of doing it, while the demo narrates itself through korvo's Logger (a
console split by level, per-message colours, a colour scheme, a rotating file, and a library
that uses the standard logging package taken over into the same sinks).

Each part is a function taking the run's context, listed in PARTS; `--parts` picks them.
"""

import argparse
import asyncio
import os
import queue
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from typing import Callable

HERE = os.path.dirname(os.path.abspath(__file__))


@dataclass
class Context:
    """What every part gets: the options, the demo's logger, the colour helper, the results."""

    count: int
    size: int
    log: object
    tty: bool
    # (what, messages per second, the baseline's short name or None for korvo), in run order
    rates: list = field(default_factory=list)

    def color(self, code):
        """A colour code on a terminal; -1 (none) when the output is a file or a pipe."""
        return code if self.tty else -1


# ---- live progress -------------------------------------------------------------------------


class Counter:
    """The trivial consumer every case delivers to: counts, and signals the last message (also
    through `on_last`, for a loop waiting on a future). The display reads `seen` and nothing else:
    the callback does no work for it."""

    def __init__(self, expected, on_last=None):
        self.expected = expected
        self.seen = 0
        self.done = threading.Event()
        self.on_last = on_last

    def __call__(self, message):
        self.seen += 1
        if self.seen == self.expected:
            self.done.set()
            if self.on_last is not None:
                self.on_last()


class Progress:
    """Shows messages/s while `counter` fills: one redrawn bar on a terminal, a plain line every
    half second otherwise. Runs on a Python thread of its own that sleeps between redraws and
    takes the interpreter lock only to read the count and draw, a few times a second, so that the
    display does not slow what it shows; a run shorter than one interval is never redrawn."""

    WIDTH = 30
    REDRAW_SECONDS = 0.25  # on a terminal; the plain lines come every LINE_SECONDS
    LINE_SECONDS = 0.5

    def __init__(self, label, counter, tty):
        self.label = label
        self.counter = counter
        self.tty = tty
        self.stop = threading.Event()
        self.start_time = time.perf_counter()
        self.thread = threading.Thread(target=self._run, daemon=True)

    def __enter__(self):
        self.start_time = time.perf_counter()
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()
        self._show(final=True)

    def elapsed(self):
        return time.perf_counter() - self.start_time

    def _run(self):
        interval = self.REDRAW_SECONDS if self.tty else self.LINE_SECONDS
        while not self.stop.wait(interval):
            self._show(final=False)

    def _show(self, final):
        seen, expected = self.counter.seen, self.counter.expected
        elapsed = max(self.elapsed(), 1e-9)
        text = f"{self.label:34} {seen:>10,}/{expected:,} {seen / elapsed:>13,.0f} msg/s"
        if self.tty:
            filled = self.WIDTH * seen // max(expected, 1)
            bar = "#" * filled + "." * (self.WIDTH - filled)
            sys.stdout.write(f"\r[{bar}] {text}" + ("\n" if final else ""))
        else:
            sys.stdout.write(("done " if final else "     ") + text + "\n")
        sys.stdout.flush()


def wait_for(counter, seconds=120):
    if not counter.done.wait(seconds):
        raise RuntimeError(f"only {counter.seen} of {counter.expected} messages arrived in {seconds} s")


def last_message(counter):
    """A future of the running loop that the counter resolves at its last message; the counter
    runs on the loop's thread in the asyncio parts, so the loop sleeps until then instead of
    polling."""
    done = asyncio.get_running_loop().create_future()
    counter.on_last = lambda: done.done() or done.set_result(None)
    return done


async def wait_async(done, counter, seconds=120):
    try:
        await asyncio.wait_for(done, seconds)
    except TimeoutError:
        raise RuntimeError(f"only {counter.seen} of {counter.expected} messages arrived in {seconds} s") from None


# ---- parts ---------------------------------------------------------------------------------


def part_logging(ctx):
    """Levels, per-message colours, and a library's standard logging records in the same sinks."""
    import sensorkit

    log, c = ctx.log, ctx.color
    log.debug("debug records go to stdout and the file; this console shows INFO and below on stdout")
    log.info("the second positional argument is a foreground colour code", c(46))
    log.info("so are fg_color, bg_color and effect by keyword", fg_color=c(16), bg_color=c(220), effect=c(1))
    log.warn("WARN and above go to stderr, in the scheme's colour for their level")
    sensor = sensorkit.Sensor("thermo-1", limit=80)
    sensor.calibrate()  # standard logging calls inside the library; their call sites are kept
    sensor.check(93)
    sensor.fail()
    log.info("records from sensorkit came through the standard logging package", c(39))


def part_sync(ctx):
    """The example producer module into a SyncDispatcher: first a look at what arrives, then the count."""
    import example_producer
    from korvo.utils.relaybus.relaybus import SyncDispatcher

    # What a callback receives: the producer's first messages, as bytes.
    received = []
    first = Counter(3)
    d = SyncDispatcher(lambda m: (received.append(m), first(m)), detach=False)
    d.setup()
    example_producer.Producer(d, count=3).join()
    wait_for(first)
    d.close()
    ctx.log.info(f"example_producer's native thread delivered {received}", ctx.color(45))

    counter = Counter(ctx.count)
    d = SyncDispatcher(counter, capacity=8192, slot_size=max(ctx.size, 64), block_on_full=True, detach=False)
    d.setup()
    with Progress("SyncDispatcher (korvo)", counter, ctx.tty) as progress:
        producer = example_producer.Producer(d, ctx.count, size=ctx.size)
        wait_for(counter)
        elapsed = progress.elapsed()
    stats = producer.join()
    d.close()
    ctx.rates.append(("korvo SyncDispatcher, native producer", ctx.count / elapsed, None))
    ctx.log.debug(f"producer stats: {stats}")


def part_async(ctx):
    """The example producer module into an AsyncDispatcher, awaited on an asyncio loop."""
    import example_producer
    from korvo.utils.relaybus.relaybus import AsyncDispatcher

    counter = Counter(ctx.count)

    async def on_message(message):
        counter(message)

    async def run():
        d = AsyncDispatcher(on_message, capacity=8192, slot_size=max(ctx.size, 64))
        d.setup()
        done = last_message(counter)
        with Progress("AsyncDispatcher (korvo)", counter, ctx.tty) as progress:
            producer = example_producer.Producer(d, ctx.count, size=ctx.size)
            await wait_async(done, counter)
            elapsed = progress.elapsed()
        stats = producer.join()  # every message has arrived: the thread has ended or is ending
        d.close()
        return elapsed, stats

    elapsed, stats = asyncio.run(run())
    ctx.rates.append(("korvo AsyncDispatcher, native producer", ctx.count / elapsed, None))
    ctx.log.debug(f"producer stats: {stats}")


def part_call_soon(ctx):
    """Baseline (a): a native thread calling loop.call_soon_threadsafe(callback, bytes). Each
    message waits for the interpreter lock, so this one sends a tenth of the count."""
    import demo_native

    counter = Counter(max(ctx.count // 10, 1))

    async def run():
        loop = asyncio.get_running_loop()
        done = last_message(counter)
        with Progress("loop.call_soon_threadsafe", counter, ctx.tty) as progress:
            feed = demo_native.CallSoonFeed(loop, counter, counter.expected, ctx.size)
            await wait_async(done, counter)
            elapsed = progress.elapsed()
        feed.join()
        return elapsed

    elapsed = asyncio.run(run())
    ctx.rates.append(("loop.call_soon_threadsafe, native thread", counter.expected / elapsed, "call_soon_threadsafe"))


def part_simple_queue(ctx):
    """Baseline (b): a Python thread feeding queue.SimpleQueue, the consumer get()ting."""
    counter = Counter(ctx.count)
    q = queue.SimpleQueue()

    def produce():  # the native feeds' messages: b"message <seq>" cut or padded to the size
        for seq in range(ctx.count):
            q.put((b"message %d" % seq).ljust(ctx.size, b".")[: ctx.size])

    with Progress("queue.SimpleQueue, Python thread", counter, ctx.tty) as progress:
        producer = threading.Thread(target=produce)
        producer.start()
        for _ in range(ctx.count):
            counter(q.get())
        elapsed = progress.elapsed()
    producer.join()
    ctx.rates.append(("queue.SimpleQueue, Python thread", ctx.count / elapsed, "SimpleQueue"))


@dataclass
class Part:
    run: Callable
    help: str


PARTS = {
    "logging": Part(part_logging, "Logger features and the standard logging takeover"),
    "sync": Part(part_sync, "native producer -> SyncDispatcher -> Python callback, live rate"),
    "async": Part(part_async, "native producer -> AsyncDispatcher -> awaited callback on an asyncio loop"),
    "call_soon": Part(part_call_soon, "baseline: native thread -> loop.call_soon_threadsafe"),
    "simple_queue": Part(part_simple_queue, "baseline: Python thread -> queue.SimpleQueue"),
}


# ---- the run -------------------------------------------------------------------------------


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="./dev demo",
        description="Streams messages from native threads into Python with korvo, against the usual ways.",
        epilog="parts: " + "; ".join(f"{name}: {part.help}" for name, part in PARTS.items()),
    )
    parser.add_argument("-n", "--count", type=int, default=500_000, help="messages per measurement (default 500000)")
    parser.add_argument("-s", "--size", type=int, default=64, help="bytes per message (default 64)")
    parser.add_argument("-p", "--parts", default=",".join(PARTS),
                        help=f"comma-separated parts to run, in order (default {','.join(PARTS)})")
    parser.add_argument("--log-dir", help="where the rotating log file goes (default: a new temporary folder)")
    args = parser.parse_args(argv)
    args.parts = [name.strip() for name in args.parts.split(",") if name.strip()]
    unknown = [name for name in args.parts if name not in PARTS]
    if unknown:
        parser.error(f"unknown part(s) {', '.join(unknown)}; choose from {', '.join(PARTS)}")
    if args.count < 1 or args.size < 1:
        parser.error("--count and --size must be positive")
    return args


def make_logger(quillet, log_path, tty):
    console = quillet.ConsoleHandler(color=tty, pattern="%^%-8l%$ %v", max_stdout_level=quillet.Level.INFO)
    file = quillet.RotatingFileHandler(log_path, pattern="[%Y-%m-%d %H:%M:%S.%e] [%n] [%l] %v  <%s:%# %!>",
                                       level=quillet.Level.DEBUG, max_size=256 * 1024, max_files=3)
    scheme = quillet.ColorScheme(debug_color=244, info_color=39, warn_color=214, error_color=196, critical_color=201)
    # set_default with the takeover: the standard logging package now writes into these sinks too.
    return quillet.Logger("demo", level=quillet.Level.DEBUG, handlers=[console, file], color_scheme=scheme,
                          set_default=True, intercept_stdlib_logging=True)


def print_table(rates):
    """Every rate; beside each korvo row, how many times as fast it is as each baseline that ran
    (a baseline's own row says it is one: korvo is never compared with itself)."""
    if not rates:
        return
    korvo_ran = any(column is None for _, _, column in rates)
    baselines = [(column, rate) for _, rate, column in rates if column is not None and korvo_ran]
    headers = [f"korvo vs {column}" for column, _ in baselines]
    print()
    print(f"{'how messages reach Python':44} {'msgs/s':>12}" + "".join(f"  {h}" for h in headers))
    for what, rate, column in rates:
        cells = ""
        for (name, base), header in zip(baselines, headers):
            cell = f"{rate / base:.1f}x" if column is None else "(baseline)" if column == name else ""
            cells += f"  {cell:>{len(header)}}"
        print(f"{what:44} {rate:12,.0f}{cells}".rstrip())


def show_log_file(path, lines=6):
    print(f"\nlog file: {path}")
    with open(path, encoding="utf-8", errors="replace") as f:
        tail = f.read().splitlines()[-lines:]
    print(f"its last {len(tail)} lines:")
    for line in tail:
        print("  " + line)


def main(argv=None):
    args = parse_args(argv)
    sys.path.insert(0, HERE)  # the stand-in library sensorkit
    import korvo.quillet.quillet as quillet

    tty = sys.stdout.isatty()
    log_dir = args.log_dir or tempfile.mkdtemp(prefix="korvo-demo-")
    log_path = os.path.join(log_dir, "demo.log")
    log = make_logger(quillet, log_path, tty)
    ctx = Context(count=args.count, size=args.size, log=log, tty=tty)
    log.info(f"korvo demo: {args.count:,} messages of {args.size} bytes per measurement; parts {', '.join(args.parts)}",
             ctx.color(255), effect=ctx.color(1))
    for name in args.parts:
        log.debug(f"part {name}: {PARTS[name].help}")
        PARTS[name].run(ctx)
    print_table(ctx.rates)
    log.info(f"done; the log file is {log_path}")
    # The file sink writes what it still buffers when its logger goes. Besides this object, the
    # registry holds the logger twice, as the default and under its name: a silent logger of the
    # same name, made the default, takes both places.
    del log, ctx.log
    quillet.Logger("demo", handlers=[quillet.StderrHandler(level=quillet.Level.OFF)], set_default=True,
                   intercept_stdlib_logging=False)
    show_log_file(log_path)
    return 0


if __name__ == "__main__":
    sys.exit(main())

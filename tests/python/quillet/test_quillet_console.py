"""Console output as raw bytes from child processes: colour sequences, the stdout/stderr split,
plain text in files, and a failing sink reported on standard error."""

from quillet_support import COLOUR_TABLE, coloured, run_child

LOG_ALL = 'for method in ("trace", "debug", "info", "warn", "error", "critical"): getattr(log, method)(method, {})'


def child(handlers, body):
    return run_child(f"""
import quillet_testext as ext
from korvo.quillet.quillet import DefaultLogger
ext.make_logger("console", 0, {handlers!r})
log = DefaultLogger()
{body}
""")


def test_colour_table_on_a_real_console_and_plain_text_in_the_file(tmp_path):
    log = tmp_path / "plain.log"
    result = child([("basic_console", True, "%v", 0), ("file", str(log), "%v", 0, True)],
                   f'for codes in {[c for c, _ in COLOUR_TABLE]!r}: log.info("T", *codes)\next.flush("console")')
    assert result.stdout.split(b"\n")[:-1] == [coloured(b"T", seq) for _, seq in COLOUR_TABLE]
    assert result.stderr == b""
    assert log.read_bytes() == b"T\n" * len(COLOUR_TABLE)


def test_console_handler_splits_between_stdout_and_stderr():
    result = child([("console", True, "%l %v", 2, 1)], LOG_ALL.format(31))
    # The streams are pipes: spdlog colours the level range only on a terminal, while the
    # message's own codes are always written.
    lines = [name + b" " + coloured(msg, b"31") + b"\n" for name, msg in
             [(b"debug", b"debug"), (b"info", b"info"), (b"warning", b"warn"), (b"error", b"error"),
              (b"critical", b"critical")]]
    assert result.stdout == b"".join(lines[:2])
    assert result.stderr == b"".join(lines[2:])


def test_stdout_handler_stops_at_max_level():
    result = child([("stdout", False, "%l", 1, 3), ("stderr", False, "err %l", 4)], LOG_ALL.format(-1))
    assert result.stdout == b"debug\ninfo\nwarning\n"
    assert result.stderr == b"err error\nerr critical\n"


def test_failing_sink_is_reported_on_stderr_and_the_process_goes_on():
    result = child([("throwing",), ("basic_console", False, "%v", 0)],
                   'def write():\n    log.error("after the failure")\nwrite()\nprint("alive", flush=True)')
    assert result.stdout == b"after the failure\nalive\n"
    assert b"[*** LOG ERROR #0001 ***]" in result.stderr
    assert result.stderr.rstrip().endswith(b"[console] disk full [<string>(7)]")

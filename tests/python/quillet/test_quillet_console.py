"""Console output as raw bytes from child processes: colour sequences, the stdout/stderr split,
plain text in files, and a failing sink reported on standard error."""

import pytest

from quillet_support import COLOUR_TABLE, coloured, run_child, run_child_on_terminal

LOG_ALL = 'for method in ("trace", "debug", "info", "warn", "error", "critical"): getattr(log, method)(method, {})'


def child(handlers, body):
    return run_child(f"""
import quillet_testext as ext
from korvo.quillet.quillet import DefaultLogger
ext.make_logger("console", 0, {handlers!r})
log = DefaultLogger()
{body}
""")


def test_colour_table_on_a_terminal_and_plain_text_in_the_file(tmp_path):
    log = tmp_path / "plain.log"
    out, err = run_child_on_terminal(f"""
import quillet_testext as ext
from korvo.quillet.quillet import DefaultLogger
ext.make_logger("console", 0, {[("basic_console", True, "%v", 0), ("file", str(log), "%v", 0, True)]!r})
log = DefaultLogger()
for codes in {[c for c, _ in COLOUR_TABLE]!r}: log.info("T", *codes)
ext.flush("console")
""")
    assert out.split(b"\n")[:-1] == [coloured(b"T", seq) for _, seq in COLOUR_TABLE]
    assert err == b""
    assert log.read_bytes() == b"T\n" * len(COLOUR_TABLE)


# Message colours go only where the handler colours its level names too: a colour handler whose
# stream is a terminal. Everything else, a terminal included, gets plain text.
@pytest.mark.parametrize(("handler", "stream", "colours"), [
    ("StdoutHandler(color=False)", "pipe", False),
    ("StdoutHandler(color=False)", "file", False),
    ("StdoutHandler(color=False)", "terminal", False),
    ("StdoutHandler(color=True)", "terminal", True),
    ("BasicConsoleHandler(color=True)", "pipe", False),
    ("ConsoleHandler()", "pipe", False),
    ("ConsoleHandler()", "file", False),
    ("ConsoleHandler()", "terminal", True),
])
def test_message_colour_only_where_the_handler_colours(tmp_path, handler, stream, colours):
    out_file = tmp_path / "stdout.txt"
    code = f"""
import os
os.environ["TERM"] = "xterm-256color"  # a colour terminal, were the stream one
if {stream == "file"}:
    os.dup2(os.open({str(out_file)!r}, os.O_WRONLY | os.O_CREAT), 1)
from korvo.quillet import BasicConsoleHandler, ConsoleHandler, Logger, StdoutHandler
handler = {handler}
handler.pattern = "%^%l%$ %v"
log = Logger("colour", handlers=[handler])
log.info("red", 196)
log.info("green on blue", 46, 21, 1)
"""
    if stream == "terminal":
        out, err = run_child_on_terminal(code)
    else:
        result = run_child(code)
        out, err = (out_file.read_bytes() if stream == "file" else result.stdout), result.stderr
    assert err == b""
    if colours:  # spdlog's colour of info around the level name, the message's own around the text
        level = b"\x1b[32minfo\x1b[m "
        assert out == (level + coloured(b"red", b"38;5;196") + b"\n" +
                       level + coloured(b"green on blue", b"1;38;5;46;48;5;21") + b"\n")
    else:
        assert out == b"info red\ninfo green on blue\n"


def test_console_handler_splits_between_stdout_and_stderr():
    result = child([("console", True, "%l %v", 2, 1)], LOG_ALL.format(31))
    # The streams are pipes: neither the level range nor the message is coloured.
    lines = [name + b" " + msg + b"\n" for name, msg in
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

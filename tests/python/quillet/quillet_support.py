"""Tables and helpers the korvo.quillet tests import: colour codes, recorded payloads, child processes."""

import os
import pty
import select
import subprocess
import sys
import textwrap
import time

import quillet_testext as ext
from korvo.quillet import quillet

LEVELS = ["trace", "debug", "info", "warn", "error", "critical"]
ESC = b"\x1b"

# (fg_color, bg_color, effect) -> codes of the console payload for a text T; None: T unchanged.
COLOUR_TABLE = [
    ((-1, -1, -1), None),
    ((31, -1, -1), b"31"),
    ((196, -1, -1), b"38;5;196"),
    ((200, 17, 1), b"1;38;5;200;48;5;17"),
    ((-1, 100, 4), b"4;100"),
    ((-1, 41, -1), b"41"),
    ((41, -1, -1), b"38;5;41"),
    ((-1, 31, -1), b"48;5;31"),
    ((0, -1, -1), b"38;5;0"),
    ((256, -1, -1), None),
    ((-2, -1, -1), None),
    ((-1, -1, 0), None),
    ((-1, -1, 8), None),
    ((-1, -1, 10), None),
    ((-1, -1, 9), b"9"),
    ((37, 47, 7), b"7;37;47"),
    ((90, 107, 2), b"2;90;107"),
    ((97, 108, -1), b"97;48;5;108"),
    ((38, 39, -1), b"38;5;38;48;5;39"),
    ((255, 255, 5), b"5;38;5;255;48;5;255"),
]


def coloured(text, codes):
    return text if codes is None else ESC + b"[" + codes + b"m" + text + ESC + b"[0m"


def attached_logger(name):
    """A Logger given the registered logger `name`, as construction will."""
    logger = quillet.Logger.__new__(quillet.Logger)
    ext.attach(logger, name)
    return logger


def payloads(records):
    """{sink label: payload} of one call's records."""
    return {r["sink"]: r["payload"] for r in records}


def child_env():
    """This environment with PYTHONPATH made absolute, for children started in other folders."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p)
    return env


def run_child(args, cwd=None):
    """Runs code (a str) or a script (a list of arguments) in a fresh interpreter; returns the
    CompletedProcess with raw byte output."""
    argv = ["-c", textwrap.dedent(args)] if isinstance(args, str) else list(args)
    return subprocess.run([sys.executable, *argv], capture_output=True, cwd=cwd, env=child_env(), check=True,
                          timeout=120)


def run_child_on_terminal(code, timeout=120):
    """Runs code in a fresh interpreter whose standard output is a terminal (a pseudo-terminal
    in a colour-capable TERM) and whose standard error is a pipe; returns (stdout, stderr) as
    bytes, with the terminal's CR LF line ends back to LF."""
    master, slave = pty.openpty()
    env = dict(child_env(), TERM="xterm-256color")
    try:
        with subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdin=subprocess.DEVNULL, stdout=slave,
                              stderr=subprocess.PIPE, env=env) as child:
            os.close(slave)
            slave = -1
            out = bytearray()
            deadline = time.monotonic() + timeout
            while time.monotonic() < deadline:
                if not select.select([master], [], [], 1)[0]:
                    if child.poll() is not None:
                        break
                    continue
                try:
                    chunk = os.read(master, 65536)
                except OSError:  # EIO: the child's side is closed
                    break
                if not chunk:
                    break
                out += chunk
            else:
                child.kill()
            err = child.stderr.read()
            assert child.wait(timeout) == 0, err
    finally:
        if slave != -1:
            os.close(slave)
        os.close(master)
    return bytes(out).replace(b"\r\n", b"\n"), err

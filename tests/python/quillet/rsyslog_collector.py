"""A real rsyslog on loopback for the syslog tests and the benchmark: UDP and TCP ports of its own,
a Unix datagram socket in its folder, RFC 5424 structured data parsed by mmpstrucdata, and every
message written as one JSON object per line."""

import json
import os
import shutil
import signal
import socket
import subprocess
import time

RSYSLOGD = shutil.which("rsyslogd") or "/usr/sbin/rsyslogd"

# Message properties as rsyslog parsed them; "sd" is the structured data as mmpstrucdata
# parsed it (a JSON text, empty when the message had none).
CONFIG = """\
global(workDirectory="{folder}" parser.escapeControlCharactersOnReceive="off" maxMessageSize="64k")
module(load="imudp")
module(load="imtcp")
module(load="imuxsock" sysSock.use="off")
module(load="mmpstrucdata")
input(type="imudp" address="127.0.0.1" port="{udp_port}")
input(type="imtcp" address="127.0.0.1" port="{tcp_port}")
input(type="imuxsock" socket="{unix_path}" useSpecialParser="off" parseHostname="on" ignoreTimestamp="off")
template(name="record" type="list" option.jsonf="on") {{
  property(outname="msg" name="msg" format="jsonf")
  property(outname="app" name="app-name" format="jsonf")
  property(outname="procid" name="procid" format="jsonf")
  property(outname="msgid" name="msgid" format="jsonf")
  property(outname="host" name="hostname" format="jsonf")
  property(outname="severity" name="syslogseverity" format="jsonf")
  property(outname="facility" name="syslogfacility" format="jsonf")
  property(outname="time" name="timereported" dateFormat="rfc3339" format="jsonf")
  property(outname="sd" name="$!rfc5424-sd" format="jsonf")
}}
template(name="mark" type="string" string="\n")
# Benchmark records are only counted (one empty line each), not parsed and written out.
if $app-name startswith "bench" then {{
  action(type="omfile" file="{folder}/bench.count" template="mark")
  stop
}}
action(type="mmpstrucdata" sd_name.lowercase="off")
action(type="omfile" file="{output}" template="record")
"""


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Collector:
    """rsyslogd -n in `folder`; start() waits until it takes records on every input."""

    def __init__(self, folder):
        self.folder = str(folder)
        self.udp_port = free_port(socket.SOCK_DGRAM)
        self.tcp_port = free_port(socket.SOCK_STREAM)
        self.unix_path = os.path.join(self.folder, "log.sock")
        self.output = os.path.join(self.folder, "records.json")
        self.config = os.path.join(self.folder, "rsyslog.conf")
        self.process = None
        with open(self.config, "w") as f:
            f.write(CONFIG.format(folder=self.folder, udp_port=self.udp_port, tcp_port=self.tcp_port,
                                  unix_path=self.unix_path, output=self.output))

    def address(self, transport):
        return self.unix_path if transport == "unix" else ("127.0.0.1",
                                                          self.udp_port if transport == "udp" else self.tcp_port)

    def start(self, timeout=10.0):
        pidfile = os.path.join(self.folder, "rsyslogd.pid")
        self.process = subprocess.Popen([RSYSLOGD, "-n", "-f", self.config, "-i", pidfile],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + timeout
        probe = f"probe-{time.monotonic_ns()}"
        while True:
            if self.process.poll() is not None:
                raise RuntimeError(f"rsyslogd exited: {self.process.stderr.read().decode(errors='replace')}")
            if time.monotonic() > deadline:
                self.stop()
                raise TimeoutError("rsyslogd did not start listening")
            if self._probe(probe):
                return
            time.sleep(0.05)

    def _probe(self, tag):
        """True once a record sent to each input has been written out."""
        try:
            with socket.create_connection(("127.0.0.1", self.tcp_port), timeout=1) as tcp:
                message = f"<13>1 - - probe - {tag} - tcp".encode()
                tcp.sendall(b"%d %s" % (len(message), message))
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
                udp.sendto(f"<13>1 - - probe - {tag} - udp".encode(), ("127.0.0.1", self.udp_port))
            with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as local:
                local.sendto(f"<13>1 - - probe - {tag} - unix".encode(), self.unix_path)
        except OSError:
            return False
        seen = {r["msg"] for r in self.records(app="probe") if r["msgid"] == tag}
        return seen == {"tcp", "udp", "unix"}

    def stop(self):
        if self.process is None:
            return
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stderr.close()
        self.process = None

    def records(self, app=None):
        """Every record written so far (of one app name), each line parsed by json.loads, "sd"
        parsed too ({} when the message had no structured data)."""
        try:
            with open(self.output, "rb") as f:
                # rsyslog may be half-way through writing the last line: take whole lines only.
                lines = [line.decode("utf-8") for line in f.read().split(b"\n")[:-1]]
        except FileNotFoundError:
            return []
        out = []
        for line in lines:
            record = json.loads(line)
            if app is not None and record["app"] != app:
                continue
            record["sd"] = json.loads(record["sd"]) if record["sd"] else {}
            out.append(record)
        return out

    def bench_count(self):
        """How many benchmark records (app names starting with "bench") arrived so far."""
        try:
            with open(os.path.join(self.folder, "bench.count"), "rb") as f:
                return f.read().count(b"\n")
        except FileNotFoundError:
            return 0

    def wait_for(self, app, count, timeout=10.0):
        """The records of `app` once there are at least `count`; whatever arrived at the deadline."""
        deadline = time.monotonic() + timeout
        while True:
            got = self.records(app)
            if len(got) >= count or time.monotonic() > deadline:
                return got
            time.sleep(0.02)

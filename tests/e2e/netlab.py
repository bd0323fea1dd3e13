#!/usr/bin/env python3
"""The network lab of the end-to-end scenarios: runs one command in a network and mount
namespace of its own, where service.tolv.com is 192.0.2.10 and a local TLS server (Python's ssl,
that is OpenSSL) answers on 192.0.2.10:443. Nothing leaves the namespace: it has only its
loopback interface, and everything started in it ends with the command.

In the namespace:
- /etc/hosts maps the vendor's names, /etc/resolv.conf names no server and /etc/nsswitch.conf
  makes the hosts file the only source of names;
- /etc/ssl/certs/ca-certificates.crt is the host's bundle plus the lab's trusted test CAs, which
  Wine reads;
- the server presents one certificate (with its chain) and relays a reply in pieces, each in a
  TLS record of its own; or nothing listens at all.

A scenario describes its lab with Lab(...) and hands the tool's command to Lab.wrap. A unit-test
program runs in a lab of its own (`netlab.py unit WORK -- CMD`, from the Wine runner) and chooses
the server's behaviour per connection by writing the file named in SKELVANE_NETLAB_CONNECTION
(JSON with any of certificate, reply, framing, pause_ms; certificate "hang-up" closes the
connection unanswered); the server writes each request it read beside it (.request). By hand, as
root:

    netlab.py run --certificate interceptor --trust test-ca --reply expected -- CMD ARGS...

runs CMD in such a lab (see --help).
"""

import argparse
import json
import os
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
FILES = HERE / "netlab"
ROOT = HERE.parent.parent
SERVICE_ADDRESS = "192.0.2.10"
HOSTS = {
    "service.tolv.com": SERVICE_ADDRESS,
    "pki.tolv.com": "192.0.2.20",
    "iplocation.tolv.com": "203.0.113.30",
}
HOST_BUNDLE = Path("/etc/ssl/certs/ca-certificates.crt")

EXPECTED_REPLY = (
    '<?xml version="1.0" encoding="UTF-8"?><wxm:message xmlns:wxm="http://www.tolv.com/2012/'
    '02/wxm"><wxm:response><code>20101003</code><message>Unsupported Content-type: unknown'
    "</message></wxm:response></wxm:message>"
)

# Certificates the server can present: (certificate chain, PEM or DER files, and the key PEM).
# Interceptors send their CA along, as proxies do.
CERTIFICATES = {
    # The service's own certificate, exactly as the tool carries it.
    "carried": ([ROOT / "tests/net/data/service-server.der"],
                ROOT / "tests/net/data/service-server.key.pem"),
    "interceptor": ([FILES / "interceptor.pem", FILES / "test-ca.pem"], FILES / "lab.key.pem"),
    "interceptor-copying-ca": ([FILES / "interceptor-copying-ca.pem", FILES / "copying-ca.pem"],
                               FILES / "lab.key.pem"),
    "other-name": ([FILES / "other-name.pem", FILES / "test-ca.pem"], FILES / "lab.key.pem"),
    "other-subject": ([FILES / "other-subject.pem", FILES / "test-ca.pem"],
                      FILES / "lab.key.pem"),
}
TRUSTABLE = {"test-ca": FILES / "test-ca.pem", "copying-ca": FILES / "copying-ca.pem"}


class Lab:
    """One lab. certificate: a key of CERTIFICATES, or None for nothing listening; trust: keys
    of TRUSTABLE added to the bundle; reply: the body's pieces (str, bytes, or
    {"repeat": text, "count": n}, optionally with "times": k for k such pieces, which a large
    reply holds as one); framing: "length", "chunked" or "close"; pause_ms between pieces;
    hosts: the lab's names, each mapped to one address or a list of them (HOSTS unless given)."""

    def __init__(self, certificate="interceptor", trust=(), reply=(EXPECTED_REPLY,),
                 framing="length", pause_ms=150, hosts=None):
        self.config = {
            "hosts": HOSTS if hosts is None else hosts,
            "certificate": certificate,
            "trust": list(trust),
            "reply": [encode_piece(piece) for piece in reply],
            "framing": framing,
            "pause_ms": pause_ms,
        }

    def wrap(self, t, argv):
        """The runner's hook: the command that runs `argv` in this lab."""
        # Beside the work folder, which holds only what the tool makes.
        config = Path(t.work).parent / "netlab.json"
        config.write_text(json.dumps(self.config))
        return lab_command(config, argv)


def encode_piece(piece):
    if isinstance(piece, dict):
        return piece
    if isinstance(piece, str):
        piece = piece.encode("utf-8")
    return {"hex": piece.hex()}


def decode_piece(piece):
    if "repeat" in piece:
        return piece["repeat"].encode("utf-8") * piece["count"]
    return bytes.fromhex(piece["hex"])


def lab_command(config_path, argv):
    # Without root, a user namespace lends the rights the set-up needs, inside only.
    user = [] if os.geteuid() == 0 else ["--map-root-user"]
    return (["unshare"] + user + ["--net", "--mount", "--propagation", "private", "--",
                                  sys.executable, str(Path(__file__).resolve()), "inside",
                                  str(config_path), "--"] + argv)


# --- inside the namespaces


def run(argv, **kwargs):
    subprocess.run(argv, check=True, stdin=subprocess.DEVNULL, **kwargs)


def only_loopback():
    # Asked of the kernel for this network namespace (/sys may still show the host's).
    return [name for _, name in socket.if_nameindex()] == ["lo"]


def bind_file(content, target, folder):
    source = Path(folder) / target.name
    source.write_bytes(content)
    run(["mount", "--bind", str(source), str(target)])


def pem_of(path):
    data = Path(path).read_bytes()
    if b"-----BEGIN" in data:
        return data.decode("ascii")
    return ssl.DER_cert_to_PEM_cert(data)


def framed(pieces, framing, close=False):
    """The reply's records: the head with the first piece, then one record per piece. With
    `close` the head says the connection ends with the reply, so that a client does not keep it
    for its next request."""
    head = b"HTTP/1.1 200 OK\r\nContent-Type: application/xml\r\n"
    if close and framing != "close":
        head += b"Connection: close\r\n"
    if framing == "length":
        head += b"Content-Length: %d\r\n\r\n" % sum(len(piece) for piece in pieces)
        records = list(pieces)
    elif framing == "chunked":
        head += b"Transfer-Encoding: chunked\r\n\r\n"
        records = [b"%x\r\n%s\r\n" % (len(piece), piece) for piece in pieces] + [b"0\r\n\r\n"]
    else:
        head += b"Connection: close\r\n\r\n"
        records = list(pieces)
    if not records:
        return [head]
    return [head + records[0]] + records[1:]


class Server:
    """The TLS server on 192.0.2.10:443: each connection gets the handshake, its request head
    read, and the reply's records."""

    def __init__(self, config, folder, log):
        self.folder = folder
        self.contexts = {}
        self.config = config
        self.connection_file = config.get("connection_file")
        self.log = log
        self.listener = socket.create_server((SERVICE_ADDRESS, 443))
        self.listener.settimeout(0.2)
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while not self.stopping.is_set():
            try:
                connection, peer = self.listener.accept()
            except socket.timeout:
                continue
            threading.Thread(target=self.answer, args=(connection, peer), daemon=True).start()

    def context(self, name):
        if name not in self.contexts:
            certificates, key = CERTIFICATES[name]
            chain = Path(self.folder) / f"{name}.pem"
            chain.write_text("".join(pem_of(path) for path in certificates))
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(str(chain), str(key))
            self.contexts[name] = context
        return self.contexts[name]

    def behaviour(self):
        """The lab's configuration, with the unit test's choice for this connection over it."""
        config = dict(self.config)
        if self.connection_file and Path(self.connection_file).exists():
            config.update(json.loads(Path(self.connection_file).read_text()))
        pieces = []
        for piece in config["reply"]:
            piece = encode_piece(piece)
            pieces += [decode_piece(piece)] * piece.get("times", 1)
        # A unit test's client must come back for each choice of the test's.
        records = framed(pieces, config["framing"], close=bool(self.connection_file))
        return config["certificate"], records, config["pause_ms"] / 1000

    def answer(self, connection, peer):
        connection.settimeout(30)
        try:
            certificate, records, pause = self.behaviour()
        except (ValueError, KeyError, OSError) as error:
            # A choice that cannot be read fails the client at once rather than leaving it wait.
            self.note(f"connection from {peer[0]}: no behaviour: {error!r}")
            certificate = "hang-up"
        if certificate == "hang-up":
            connection.close()
            return
        try:
            with self.context(certificate).wrap_socket(connection, server_side=True) as tls:
                head = b""
                while b"\r\n\r\n" not in head:
                    data = tls.recv(4096)
                    if not data:
                        break
                    head += data
                self.note(f"request from {peer[0]}: {head!r}")
                if self.connection_file:
                    Path(self.connection_file + ".request").write_bytes(head)
                for index, record in enumerate(records):
                    if index > 0:
                        time.sleep(pause)
                    tls.sendall(record)
                try:
                    tls.unwrap()
                except (OSError, ssl.SSLError):
                    pass
        except (OSError, ssl.SSLError) as error:
            self.note(f"connection from {peer[0]} ended: {error}")

    def note(self, text):
        with open(self.log, "a") as log:
            log.write(text + "\n")

    def stop(self):
        self.stopping.set()
        self.thread.join(timeout=5)
        self.listener.close()


def inside(config_path, argv):
    if not only_loopback():
        sys.exit("netlab: not in a network namespace of its own; refusing to start")
    config = json.loads(Path(config_path).read_text())
    folder = tempfile.mkdtemp(prefix="netlab-")
    try:
        run(["ip", "link", "set", "lo", "up"])
        run(["ip", "addr", "add", f"{SERVICE_ADDRESS}/32", "dev", "lo"])
        hosts = "127.0.0.1 localhost\n"
        for name, addresses in config.get("hosts", HOSTS).items():
            for address in [addresses] if isinstance(addresses, str) else addresses:
                hosts += f"{address} {name}\n"
        bind_file(hosts.encode(), Path("/etc/hosts"), folder)
        bind_file(b"", Path("/etc/resolv.conf"), folder)
        # Names answer from the hosts file alone: a name missing there is not found (rather
        # than a resolver out of reach), the same for every run.
        bind_file(b"hosts: files\n", Path("/etc/nsswitch.conf"), folder)
        bundle = HOST_BUNDLE.read_text()
        for name in config["trust"]:
            bundle += "\n" + pem_of(TRUSTABLE[name])
        bind_file(bundle.encode(), HOST_BUNDLE, folder)
        server = None
        if config["certificate"] is not None:
            server = Server(config, folder, Path(config_path).with_suffix(".log"))
        try:
            started = time.monotonic()
            environment = dict(os.environ)
            if config.get("connection_file"):
                environment["SKELVANE_NETLAB_CONNECTION"] = config["connection_file"]
            code = subprocess.call(argv, env=environment)
            if code < 0:
                # Ended by a signal, which an exit code cannot say: said here, and passed on as
                # a shell would.
                print(f"netlab: {Path(argv[0]).name} ended by signal {-code}", file=sys.stderr,
                      flush=True)
                code = 128 - code
            with open(Path(config_path).with_suffix(".time"), "w") as timing:
                timing.write(f"{time.monotonic() - started:.3f}\n")
        finally:
            if server is not None:
                server.stop()
            if os.environ.get("WINEPREFIX"):
                # The prefix's wineserver started in here; it must not outlive the lab.
                subprocess.call(["wineserver", "-k"], stdin=subprocess.DEVNULL)
        return code
    finally:
        shutil.rmtree(folder, ignore_errors=True)


# --- for unit-test programs


def run_unit(work, argv):
    """Both test CAs trusted; the interceptor and the service's reply until a test chooses."""
    lab = Lab(certificate="interceptor", trust=["test-ca", "copying-ca"], pause_ms=0)
    lab.config["connection_file"] = str(work / "netlab-connection.json")
    config = work / "netlab.json"
    config.write_text(json.dumps(lab.config))
    return subprocess.call(lab_command(config, argv))


# --- by hand


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    by_hand = commands.add_parser("run", help="run a command in a lab")
    by_hand.add_argument("--certificate", default="interceptor",
                         choices=sorted(CERTIFICATES) + ["none"])
    by_hand.add_argument("--trust", action="append", default=[], choices=sorted(TRUSTABLE))
    by_hand.add_argument("--reply", default="expected",
                         help='"expected", or a file whose bytes are the body')
    by_hand.add_argument("--framing", default="length", choices=["length", "chunked", "close"])
    by_hand.add_argument("command_line", nargs=argparse.REMAINDER)
    unit = commands.add_parser("unit", help="run a unit-test program in a lab of its own")
    unit.add_argument("work", help="a folder for the lab's files")
    unit.add_argument("command_line", nargs=argparse.REMAINDER)
    internal = commands.add_parser("inside")
    internal.add_argument("config")
    internal.add_argument("command_line", nargs=argparse.REMAINDER)
    arguments = parser.parse_args()
    command_line = arguments.command_line
    if command_line and command_line[0] == "--":
        command_line = command_line[1:]
    if not command_line:
        parser.error("no command to run")
    if arguments.command == "inside":
        sys.exit(inside(arguments.config, command_line))
    if arguments.command == "unit":
        sys.exit(run_unit(Path(arguments.work), command_line))
    reply = (EXPECTED_REPLY if arguments.reply == "expected"
             else Path(arguments.reply).read_bytes())
    lab = Lab(None if arguments.certificate == "none" else arguments.certificate,
              arguments.trust, [reply], arguments.framing)
    with tempfile.TemporaryDirectory(prefix="netlab-run-") as folder:
        config = Path(folder) / "netlab.json"
        config.write_text(json.dumps(lab.config))
        code = subprocess.call(lab_command(config, command_line))
        log = config.with_suffix(".log")
        if log.exists():
            sys.stderr.write(log.read_text())
    sys.exit(code)


if __name__ == "__main__":
    main()


# --- for scenarios

PROBE_HEADING = "\n\nResponse from request https://service.tolv.com/edf"
PROMPT = "\r\n\r\nPress any key to quit..."


def probe_section(console):
    """The endpoint probe's part of a run's console text, from its heading to the prompt: the
    checks before it belong to other scenarios."""
    start = console.find(PROBE_HEADING)
    return console[start:] if start >= 0 else console


def play_probe(t, lab, expected="probe.txt"):
    """Runs the tool once in the scenario's lab and compares the probe's text."""
    result = t.run()
    t.check(result.exit == 0, f"exit code {result.exit}, expected 0")
    t.check(result.stdout == "", f"standard output {result.stdout!r}, expected nothing")
    t.check(result.stderr.endswith(PROMPT), "the run does not end with the prompt")
    t.check(PROBE_HEADING in result.stderr, "no probe heading in the console text")
    t.expect_text(probe_section(result.stderr), expected)
    # The log holds the same text, in UTF-16, before its end banner.
    log = t.log_bytes()
    if t.check(log is not None and log.startswith(b"\xff\xfe"), "no UTF-16 log"):
        text = log[2:].decode("utf-16-le", errors="replace")
        t.expect_text(probe_section(text[:text.rfind(PROMPT) + len(PROMPT)]), expected)
    timing = Path(t.work).parent / "netlab.time"
    if timing.exists() and hasattr(t, "notes"):
        t.notes.append(f"tool run in the lab: {timing.read_text().strip()} s")

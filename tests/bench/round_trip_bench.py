#!/usr/bin/env python3
"""Round trips of a start of the suite over a slow link.

A delaying TCP proxy stands between the loader's client and the update server
(tools/update-server): every byte is held RTT/2 in each direction, and a new
connection's first bytes from the client one RTT longer (the TCP handshake the
proxy's own accept does not cost). round_trip_bench (one process per start, so
each begins without a connection) makes the requests of an up-to-date start
and of an update start; its time divided by the RTT is the number of round
trips the start waited for. Beside it: curl's own figure for one HEAD on a new
connection through the same proxy, the calibration (2 over http, 3 over https
with TLS 1.3).

    python3 tests/bench/round_trip_bench.py BUILD/bench/round_trip_bench [--rtt MS] [--runs N]
    python3 tests/bench/round_trip_bench.py --wine PREFIX [--arch win64|win32] BUILD/bench/round_trip_bench.exe

Under Wine the test certificate is made trusted in the prefix's machine root
store for the run (with the build's fixtures/machine_admin.exe), as an
administrator would, and taken out again at the end.

The start needs a display for its GUI-thread waits: run it through
tests/run-test (cmake --build build/native --target bench does).
"""

import argparse
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import collections

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "..", "..", "tools", "update-server", "update_server.py")


class DelayingProxy:
    """Forwards connections on a loopback port to `target`, holding every
    piece of data `rtt`/2 seconds in each direction and the client's first
    piece on a new connection one `rtt` longer."""

    def __init__(self, target_port, rtt):
        self.target_port = target_port
        self.rtt = rtt
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(64)
        self.port = self.listener.getsockname()[1]
        self.connections = 0
        threading.Thread(target=self.accept_loop, daemon=True).start()

    def accept_loop(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            self.connections += 1
            try:
                upstream = socket.create_connection(("127.0.0.1", self.target_port))
            except OSError:
                client.close()
                continue
            for s in (client, upstream):
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self.pipe(client, upstream, self.rtt / 2 + self.rtt)
            self.pipe(upstream, client, self.rtt / 2)

    def pipe(self, src, dst, first_delay):
        """Reads from src, and hands each piece to dst when its time comes."""
        queue = collections.deque()
        ready = threading.Condition()

        def reader():
            delay = first_delay
            while True:
                try:
                    data = src.recv(65536)
                except OSError:
                    data = b""
                with ready:
                    queue.append((time.monotonic() + delay, data))
                    ready.notify()
                delay = self.rtt / 2
                if not data:
                    return

        def writer():
            while True:
                with ready:
                    while not queue:
                        ready.wait()
                    due, data = queue.popleft()
                wait = due - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
                try:
                    if data:
                        dst.sendall(data)
                    else:
                        dst.shutdown(socket.SHUT_WR)
                        return
                except OSError:
                    return

        threading.Thread(target=reader, daemon=True).start()
        threading.Thread(target=writer, daemon=True).start()


def start_server(root, work, name, extra):
    port_file = os.path.join(work, name + ".port")
    proc = subprocess.Popen([sys.executable, SERVER, "--root", root, "--port", "0",
                             "--port-file", port_file] + extra,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while not os.path.exists(port_file):
        if proc.poll() is not None or time.monotonic() > deadline:
            raise RuntimeError("the update server (%s) did not start" % name)
        time.sleep(0.02)
    with open(port_file) as f:
        return proc, int(f.read())


def make_certificate(work):
    cert = os.path.join(work, "cert.pem")
    key = os.path.join(work, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "1", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost",
                    "-addext", "basicConstraints=critical,CA:TRUE"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


class WineTrust:
    """The test certificate in the Wine prefix's machine root store, through
    the build's machine_admin.exe, for as long as the bench runs."""

    def __init__(self, program, cert, work, env):
        build = os.path.dirname(os.path.dirname(os.path.abspath(program)))
        self.admin = os.path.join(build, "fixtures", "machine_admin.exe")
        self.der = os.path.join(work, "cert.der")
        self.report = os.path.join(work, "trust.report")
        self.env = env
        subprocess.run(["openssl", "x509", "-in", cert, "-outform", "DER", "-out", self.der],
                       check=True)
        self.run("add-root")

    def run(self, command):
        subprocess.run(["wine", self.admin, "Z:" + self.report.replace("/", "\\"), command,
                        "Z:" + self.der.replace("/", "\\")], env=self.env, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(self.report) as f:
            result = f.read()
        if result != "ok":
            sys.stderr.write("machine_admin %s: %s\n" % (command, result))

    def remove(self):
        self.run("remove-root")


def curl_head(url, cert):
    out = subprocess.run(["curl", "-s", "-o", "/dev/null", "-I", "--cacert", cert,
                          "-w", "%{time_total}", url],
                         check=True, capture_output=True, text=True).stdout
    return float(out) * 1000.0


def run_start(command, base, mode, env):
    out = subprocess.run(command + [base, mode], capture_output=True, text=True, env=env,
                         timeout=120).stdout.strip()
    if not out.startswith("ok "):
        raise RuntimeError("the start failed: %r" % out)
    return float(out.split()[1])


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--wine", metavar="PREFIX", help="run a Windows build under Wine")
    parser.add_argument("--arch", choices=("win64", "win32"), default="win64",
                        help="the Windows build's kind: win64 runs under Wine's 64-bit loader")
    parser.add_argument("--rtt", type=float, default=200.0, help="round trip in ms (200)")
    parser.add_argument("--runs", type=int, default=3, help="starts per figure (3)")
    parser.add_argument("program")
    args = parser.parse_args()
    rtt = args.rtt / 1000.0

    work = tempfile.mkdtemp(prefix="kestro-round-trips-")
    procs = []
    try:
        root = os.path.join(work, "root")
        os.makedirs(os.path.join(root, "software", "sarvo"))
        with open(os.path.join(root, "software", "versie.txt"), "wb") as f:
            f.write(b"5.1.5.203\r\n")
        with open(os.path.join(root, "software", "sarvo", "versie.txt"), "wb") as f:
            f.write(b"2.0\r\n")
        with open(os.path.join(root, "software", "sarvo", "sarvo2006.exe"), "wb") as f:
            f.write(os.urandom(16 * 1024))
        cert, key = make_certificate(work)

        env = dict(os.environ)
        env["SSL_CERT_FILE"] = cert
        command = [os.path.abspath(args.program)]
        trust = None
        if args.wine:
            env["WINEPREFIX"] = args.wine
            env["WINEARCH"] = args.arch
            env.setdefault("WINEDEBUG", "-all")
            if args.arch == "win64":
                # Wine's 64-bit loader, as tests/run-test calls it.
                env["PATH"] = os.path.join(HERE, "..", "wine64") + os.pathsep + env["PATH"]
                env["WINELOADER"] = "/usr/lib/wine/wine64"
            command = ["wine"] + command
            trust = WineTrust(args.program, cert, work, env)

        print("Round trips of a start through a proxy that adds %.0f ms per round trip; "
              "median of %d starts." % (args.rtt, args.runs))
        print("%-22s %-7s %12s %14s %14s" % ("server", "scheme", "curl HEAD",
                                              "up-to-date", "update"))
        for label, extra in (("keep-alive", ["--keep-alive"]),
                             ("close after answer", [])):
            for scheme in ("http", "https"):
                tls = ["--tls", cert, key] if scheme == "https" else []
                proc, port = start_server(root, work, "%s-%s" % (label[0], scheme), extra + tls)
                procs.append(proc)
                proxy = DelayingProxy(port, rtt)
                base = "%s://127.0.0.1:%d" % (scheme, proxy.port)
                calibration = statistics.median(
                    curl_head(base + "/software/versie.txt", cert) for _ in range(args.runs))
                figures = []
                for mode in ("uptodate", "update"):
                    try:
                        ms = statistics.median(run_start(command, base, mode, env)
                                               for _ in range(args.runs))
                        figures.append("%14.2f" % (ms / args.rtt))
                    except (RuntimeError, subprocess.TimeoutExpired) as e:
                        # Under Wine an https start needs the certificate in
                        # the prefix's root store (see tests/support/trust.h).
                        sys.stderr.write("%s %s %s: %s\n" % (label, scheme, mode, e))
                        figures.append("%14s" % "failed")
                print("%-22s %-7s %12.2f %s %s" % (label, scheme, calibration / args.rtt,
                                                 figures[0], figures[1]))
                sys.stdout.flush()
    finally:
        for proc in procs:
            proc.terminate()
            proc.wait()
        if trust is not None:
            trust.remove()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""End-to-end harness: runs the real quoxel binary (QUOXEL_BIN) with a config written to a temp
dir, keeps its output, and prints that output when a test fails. The suite runs inside a private
network namespace (scripts/e2e), so only loopback exists and ports can be chosen freely."""
import os
import re
import socket
import subprocess
import time

import pytest

BIN = os.environ.get("QUOXEL_BIN", "quoxel")


def free_port():
    """An ephemeral TCP port that is free right now on 127.0.0.1."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout=5.0, step=0.02):
    """Polls predicate until it is true or the bound passes; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(step)


def run_cli(*args, cwd=None, timeout=10):
    """Runs the binary to completion: (exit status, stdout, stderr)."""
    p = subprocess.run([BIN, *args], cwd=cwd, capture_output=True, timeout=timeout)
    return p.returncode, p.stdout.decode(errors="replace"), p.stderr.decode(errors="replace")


def suite_defaults(config_text, name):
    """The suites' origins listen on loopback behind authenticated ports: an INI config that does
    not set allow_local_ip itself gets it on."""
    if not name.endswith(".ini") or "allow_local_ip" in config_text:
        return config_text
    return re.sub(r"^\[quoxel\][ \t]*$", "[quoxel]\nallow_local_ip = 1", config_text, count=1,
                  flags=re.M)


class Server:
    """A running quoxel process on a config file; output goes to a log file read on demand."""

    def __init__(self, tmp_path, config_text, name="quoxel.ini", args=()):
        self.dir = tmp_path
        self.config = tmp_path / name
        self.config.write_text(suite_defaults(config_text, name))
        self.log_path = tmp_path / "quoxel.out"
        self._log = open(self.log_path, "wb")
        self.proc = subprocess.Popen([BIN, "-c", str(self.config), *args], cwd=tmp_path,
                                     stdout=self._log, stderr=subprocess.STDOUT)

    def output(self):
        return self.log_path.read_text(errors="replace")

    def wait_output(self, text, timeout=5.0):
        return wait_for(lambda: text in self.output(), timeout)

    def wait_port(self, port, timeout=5.0):
        def connectable():
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                return True
            except OSError:
                return False
        return wait_for(connectable, timeout)

    def wait_listen(self, port, timeout=5.0):
        """Waits until something listens on the port, without connecting to it."""
        def listening():
            out = subprocess.run(["ss", "-Hltn", f"sport = :{port}"], capture_output=True,
                                 text=True).stdout
            return bool(out.strip())
        return wait_for(listening, timeout)

    def wait_exit(self, timeout=5.0):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(5)
        self._log.close()


@pytest.fixture
def quoxel(tmp_path, request):
    """Factory: quoxel(config_text, ...) starts a server; all are stopped after the test and
    their output is printed when the test failed."""
    started = []

    def start(config_text, **kw):
        s = Server(tmp_path, config_text, **kw)
        started.append(s)
        return s

    yield start
    failed = getattr(request.node, "rep_call", None)
    for s in started:
        s.stop()
        if failed is not None and failed.failed:
            print(f"\n----- quoxel output ({s.config.name}) -----\n{s.output()}")


@pytest.hookimpl(tryfirst=True, hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    rep = outcome.get_result()
    setattr(item, "rep_" + rep.when, rep)


class Dnsmasq:
    """dnsmasq on 127.0.0.1:53 (the namespace's resolv.conf points there), serving the given
    names; every other name is refused. Its query log tells what reached it."""

    def __init__(self, tmp_path, records, nxdomain=()):
        self.log_path = tmp_path / "dnsmasq.log"
        args = ["dnsmasq", "--no-daemon", "--port=53", "--listen-address=127.0.0.1",
                "--bind-interfaces", "--no-resolv", "--no-hosts", "--log-queries",
                f"--log-facility={self.log_path}", "--user=root", "--group=root",
                f"--pid-file={tmp_path / 'dnsmasq.pid'}"]
        for name, address in records.items():
            args.append(f"--host-record={name},{address}")
        for name in nxdomain:
            args.append(f"--address=/{name}/")
        self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        assert wait_for(lambda: self.log_path.exists() and "started" in self.log_path.read_text())

    def queries(self, name):
        return self.log_path.read_text().count(f"query[A] {name} ")

    def stop(self):
        self.proc.kill()
        self.proc.wait(5)


@pytest.fixture
def dnsmasq(tmp_path):
    started = []

    def start(records, nxdomain=()):
        d = Dnsmasq(tmp_path, records, nxdomain)
        started.append(d)
        return d

    yield start
    for d in started:
        d.stop()


class Origin:
    """A TCP origin on 127.0.0.1 run by a thread of the test: `handler(conn)` serves each
    connection in its own thread."""

    def __init__(self, handler, backlog=128):
        import threading
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(backlog)
        self.port = self.sock.getsockname()[1]
        self.handler = handler
        self.threads = []
        self.running = True
        self.accepter = threading.Thread(target=self._accept, daemon=True)
        self.accepter.start()

    def _accept(self):
        import threading
        while self.running:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            t = threading.Thread(target=self._serve, args=(conn,), daemon=True)
            t.start()
            self.threads.append(t)

    def _serve(self, conn):
        try:
            self.handler(conn)
        except OSError:
            pass
        finally:
            conn.close()

    def stop(self):
        self.running = False
        self.sock.close()


@pytest.fixture
def origin():
    started = []

    def start(handler, **kw):
        o = Origin(handler, **kw)
        started.append(o)
        return o

    yield start
    for o in started:
        o.stop()


def http_origin(body):
    """A handler answering one HTTP request with 200 and `body`."""
    def handle(conn):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = conn.recv(4096)
            if not chunk:
                return
            data += chunk
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n"
                     % len(body) + body)
    return handle


def echo(conn):
    while True:
        data = conn.recv(65536)
        if not data:
            return
        conn.sendall(data)


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def black_hole():
    """A port whose listener has a full accept queue: further SYNs are dropped, so a connect to it
    neither succeeds nor fails before its timeout. Returns the port and the sockets to keep open."""
    hole = socket.socket()
    hole.bind(("127.0.0.1", 0))
    hole.listen(0)
    keep = [hole]
    for _ in range(4):
        f = socket.socket()
        f.setblocking(False)
        f.connect_ex(hole.getsockname())
        keep.append(f)
    time.sleep(0.2)
    return hole.getsockname()[1], keep

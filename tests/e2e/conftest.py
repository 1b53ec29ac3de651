"""One harness for every end-to-end suite: the real quoxel binary (QUOXEL_BIN) started from a dict
of settings merged over DEFAULTS, one set of doubles (TCP/UDP origins, dnsmasq, scripted and real
upstreams) and one helper per protocol handshake. Suites run inside a private network namespace
(scripts/e2e): only loopback exists, ports are chosen freely. A server's output is printed when
its test fails. Servers stop with SIGTERM, on which a coverage build writes its profile."""
import os
import socket
import struct
import subprocess
import sys
import threading
import time

import pytest

BIN = os.environ.get("QUOXEL_BIN", "quoxel")
# The doubles of tests/peers import as plain modules.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "peers"))

# Settings every server starts from (the suites' origins are on loopback, so authenticated ports
# may reach it); a suite's dict is merged over them section by section
# (a value of None removes a key, a section of None removes the section). port_start/port_end
# of a port section default to a free port.
DEFAULTS = {
    "kni": {"thread_num": 2},
    "quoxel": {"ros_id": 1, "src_timeout": 3000, "dst_timeout": 3000, "allow_local_ip": 1},
    "port0": {"addr": "127.0.0.1", "allow_udp": 0, "listen_protocol": "socks5,http", "auth": -1},
}
# Local users on port0 (alice has no limit, bob and carol 100000 B/s each).
USERS = {"auth0": {"type": "local", "user1": "alice:alice-secret", "user2": "bob:bob-pw",
                   "rate_limit2": 100000, "user3": "carol:carol-pw", "rate_limit3": 100000},
         "port0": {"auth": 0}}
# The signing salt of the suites' token and forward backends.
SALT = "Qx7mK2pR9vL4nW8sT3yZ6b"


def merge(*layers):
    out = {}
    for layer in layers:
        for section, keys in layer.items():
            if keys is None:
                out.pop(section, None)
                continue
            merged = {**out.get(section, DEFAULTS.get(section, {})), **keys}
            out[section] = {k: v for k, v in merged.items() if v is not None}
    return out


def ini_text(settings):
    conf = merge(DEFAULTS, settings)
    for name, keys in conf.items():
        if name.startswith("port") and name[4:].isdigit() and "port_start" not in keys:
            keys["port_start"] = keys["port_end"] = free_port()
    return "".join(f"[{name}]\n" + "".join(f"{k} = {v}\n" for k, v in keys.items())
                   for name, keys in conf.items())


def free_port():
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
    p = subprocess.run([BIN, *args], cwd=cwd, capture_output=True, timeout=timeout)
    return p.returncode, p.stdout.decode(errors="replace"), p.stderr.decode(errors="replace")


def listening(port):
    return bool(subprocess.run(["ss", "-Hltn", f"sport = :{port}"], capture_output=True,
                               text=True).stdout.strip())


class Server:
    """A running quoxel on a config file; output goes to a file read on demand."""

    def __init__(self, tmp_path, text, name="quoxel.ini", args=()):
        self.config = tmp_path / name
        self.config.write_text(text)
        self.log_path = tmp_path / (name + ".out")
        self._log = open(self.log_path, "wb")
        self.proc = subprocess.Popen([BIN, "-c", str(self.config), *args], cwd=tmp_path,
                                     stdout=self._log, stderr=subprocess.STDOUT)

    def output(self):
        return self.log_path.read_text(errors="replace")

    def wait_output(self, text, timeout=5.0):
        return wait_for(lambda: text in self.output(), timeout)

    def code(self, code, timeout=5.0):
        """Waits for a session line carrying the error code."""
        return self.wait_output(f"code[{code}]", timeout)

    def wait_listen(self, port, timeout=5.0):
        return wait_for(lambda: listening(port), timeout)

    def wait_exit(self, timeout=5.0):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(3)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        self._log.close()


@pytest.fixture
def quoxel(tmp_path, request):
    """Factory: quoxel(config_text) starts a server on a raw config text."""
    started = []

    def start(text, **kw):
        kw.setdefault("name", f"quoxel{len(started)}.ini")
        s = Server(tmp_path, text, **kw)
        started.append(s)
        return s

    yield start
    failed = getattr(request.node, "rep_call", None)
    for s in started:
        s.stop()
        if failed is not None and failed.failed:
            print(f"\n----- quoxel output ({s.config.name}) -----\n{s.output()}")


@pytest.fixture
def proxy(quoxel):
    """Factory: proxy(*settings) starts a server on DEFAULTS merged with each dict of settings in
    turn and waits for its listeners; .port is port0's port, .ports every port section's."""
    def start(*layers):
        text = ini_text(merge(*layers))
        srv = quoxel(text)
        srv.ports = {}
        section = None
        for line in text.splitlines():
            if line.startswith("["):
                section = line[1:-1]
            elif line.startswith("port_start = ") and section.startswith("port"):
                srv.ports[section] = int(line.split(" = ")[1])
        srv.port = srv.ports.get("port0")
        for p in srv.ports.values():
            assert srv.wait_listen(p), srv.output()
        return srv
    return start


@pytest.hookimpl(tryfirst=True, hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    rep = outcome.get_result()
    setattr(item, "rep_" + rep.when, rep)


# ---- sockets and handshakes ----

def dial(port, source="127.0.0.1", timeout=5):
    s = socket.socket()
    s.settimeout(timeout)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            break
        data += chunk
    return data


def read_all(s):
    """Everything until the peer closes (or resets, or the socket times out)."""
    data = b""
    while True:
        try:
            chunk = s.recv(65536)
        except (ConnectionResetError, socket.timeout):
            return data
        if not chunk:
            return data
        data += chunk


def closed(s):
    try:
        return s.recv(1) == b""
    except (ConnectionResetError, socket.timeout):
        return True


def s5_addr(host, port):
    """A SOCKS5 address: IPv4 literal or domain name, then the port."""
    try:
        addr = b"\x01" + socket.inet_aton(host)
    except OSError:
        addr = b"\x03" + bytes([len(host.encode())]) + host.encode()
    return addr + struct.pack(">H", port)


def tun_frame(port, payload, frag=0, host="127.0.0.1"):
    """A UDP-over-TCP tunnel frame: payload length, fragment, SOCKS5 address, payload."""
    return struct.pack(">H", len(payload)) + bytes([frag]) + s5_addr(host, port) + payload


def s5_request(host, port, cmd=1):
    return b"\x05" + bytes([cmd]) + b"\x00" + s5_addr(host, port)


def s5_login(s, user=None, password=None):
    """Greeting (user/password when a user is given); returns the method or login answer."""
    if user is None:
        s.sendall(b"\x05\x01\x00")
        return recv_exact(s, 2)
    s.sendall(b"\x05\x01\x02")
    assert recv_exact(s, 2) == b"\x05\x02"
    u, p = user.encode("utf-8", "surrogateescape"), password.encode()
    s.sendall(b"\x01" + bytes([len(u)]) + u + bytes([len(p)]) + p)
    return recv_exact(s, 2)


def s5_connect(port, host, dport, user=None, password=None, source="127.0.0.1", cmd=1):
    """Login and request; returns the socket and the 10-byte reply (shorter when closed)."""
    s = dial(port, source)
    assert s5_login(s, user, password) in (b"\x05\x00", b"\x01\x00")
    s.sendall(s5_request(host, dport, cmd))
    return s, recv_exact(s, 10)


def error_answer(code):
    return (b"HTTP/1.1 %d Internal Server Error\r\nProxy-Agent: quoxel-kni/3.1.3\r\n"
            b"Content-Length: 15\r\nProxy-Connection: close\r\n\r\nErrorCode:%d\r\n" % (code, code))


FORBIDDEN = b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n"
PROXY_AUTH_REQUIRED = (b"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Agent: quoxel-kni/3.1.3"
                       b"\r\nProxy-Authenticate: Basic realm=\"xx\"\r\nContent-Length: 0\r\n\r\n")
ESTABLISHED = b"HTTP/1.1 200 Connection established\r\n\r\n"


def http_head(port, request):
    """Sends a raw proxy request; returns the socket and the answer up to its empty line."""
    s = dial(port)
    s.sendall(request)
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = s.recv(1)
        if not chunk:
            break
        head += chunk
    return s, head


def curl(*args, timeout=20):
    return subprocess.run(["curl", "-sS", "--max-time", str(timeout), *args], capture_output=True,
                          timeout=timeout + 20)


# ---- doubles ----

class Origin:
    """A TCP server on 127.0.0.1 run by test threads: handler(conn) serves each connection;
    .accepted counts them."""

    def __init__(self, handler, backlog=128, host="127.0.0.1"):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((host, 0))
        self.sock.listen(backlog)
        self.port = self.sock.getsockname()[1]
        self.handler = handler
        self.accepted = 0
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.accepted += 1
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        try:
            self.handler(conn)
        except OSError:
            pass
        finally:
            conn.close()

    def stop(self):
        self.sock.close()


def factory(make, stop):
    """A fixture body: yields make(...) as a factory and stops whatever it made afterwards."""
    started = []

    def start(*args, **kw):
        started.append(make(*args, **kw))
        return started[-1]
    yield start
    for thing in started:
        stop(thing)


@pytest.fixture
def origin():
    yield from factory(Origin, Origin.stop)


def echo(conn):
    while data := conn.recv(65536):
        conn.sendall(data)


def read_head(conn):
    """Reads up to the empty line of an HTTP head; None when the peer closed first."""
    data = b""
    while b"\r\n\r\n" not in data and b"\n\n" not in data:
        chunk = conn.recv(4096)
        if not chunk:
            return None
        data += chunk
    return data


def http_origin(body, seen=None):
    """Answers each request with 200 and body; the request heads (and any body bytes read with
    them) are appended to seen."""
    def handle(conn):
        head = read_head(conn)
        if head is None:
            return
        if seen is not None:
            seen.append(head)
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n"
                     % len(body) + body)
    return handle


class Scripted:
    """An upstream whose handler is script(conn, log); log lists what each connection sent."""

    def __init__(self, origin, script):
        self.received = []
        self.lock = threading.Lock()

        def handle(conn):
            log = []
            with self.lock:
                self.received.append(log)
            script(conn, log)
        self.port = origin(handle).port

    def connections(self):
        with self.lock:
            return len(self.received)


class UdpEcho:
    """Echoes every datagram and remembers where they came from."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.sources = []
        threading.Thread(target=self.run, daemon=True).start()

    def run(self):
        while True:
            try:
                data, src = self.sock.recvfrom(65536)
            except OSError:
                return
            self.sources.append(src)
            self.sock.sendto(data, src)


@pytest.fixture
def udp_echo():
    yield from factory(UdpEcho, lambda e: e.sock.close())


def black_hole():
    """A port whose listener has a full accept queue: a connect to it neither succeeds nor fails
    before its timeout. Returns the port and the sockets to keep open."""
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


class Daemon:
    def __init__(self, args, log):
        self.proc = subprocess.Popen(args, stdout=open(log, "wb"), stderr=subprocess.STDOUT)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(5)


@pytest.fixture
def daemons(tmp_path):
    """Real peers: daemons(kind, user=False) starts danted, microsocks or tinyproxy
    on 127.0.0.1 (with user qxuser/qxpass when user is set; microsocks also takes a (name,
    password) pair) and returns its port."""
    started = []

    def start(kind, user=False):
        port = free_port()
        if kind == "danted":
            if user:
                add_system_user(tmp_path, "qxuser", "qxpass")
            conf = tmp_path / f"danted-{port}.conf"
            conf.write_text(f"logoutput: stderr\ninternal: 127.0.0.1 port = {port}\n"
                            f"external: 127.0.0.1\nsocksmethod: {'username' if user else 'none'}\n"
                            "user.privileged: root\nuser.unprivileged: nobody\n"
                            "client pass { from: 0.0.0.0/0 to: 0.0.0.0/0 }\n"
                            "socks pass { from: 0.0.0.0/0 to: 0.0.0.0/0 "
                            "command: connect udpassociate udpreply }\n")
            args = ["danted", "-f", str(conf), "-N", "1", "-p", str(tmp_path / f"d{port}.pid")]
        elif kind == "microsocks":
            args = ["microsocks", "-i", "127.0.0.1", "-p", str(port)]
            # user: True for qxuser/qxpass, or a (name, password) pair
            name, password = user if isinstance(user, tuple) else ("qxuser", "qxpass")
            args += ["-u", name, "-P", password] if user else []
        else:
            conf = tmp_path / f"tinyproxy-{port}.conf"
            conf.write_text(f"User nobody\nGroup nogroup\nPort {port}\nListen 127.0.0.1\n"
                            f"Timeout 30\nPidFile \"{tmp_path}/t{port}.pid\"\nAllow 127.0.0.1\n"
                            + ("BasicAuth qxuser qxpass\n" if user else ""))
            args = ["tinyproxy", "-d", "-c", str(conf)]
        started.append(Daemon(args, tmp_path / f"{kind}-{port}.log"))
        assert wait_for(lambda: listening(port))
        return port
    yield start
    for d in started:
        d.stop()


def add_system_user(tmp_path, name, password):
    """danted's username method checks the system's users: inside this test's own mount
    namespace, bind-mount copies of passwd and shadow that add one."""
    crypt = subprocess.run(["openssl", "passwd", "-6", password], capture_output=True,
                           text=True, check=True).stdout.strip()
    for path, line in (("/etc/passwd", f"{name}:x:4242:4242::/nonexistent:/usr/sbin/nologin\n"),
                       ("/etc/shadow", f"{name}:{crypt}:19000:0:99999:7:::\n")):
        copy = tmp_path / os.path.basename(path)
        copy.write_text(open(path).read() + line)
        subprocess.run(["mount", "--bind", str(copy), path], check=True)


class Dnsmasq:
    """dnsmasq on 127.0.0.1:53 (the namespace's resolv.conf points there), serving the given
    names; names in nxdomain answer NXDOMAIN, every other name is refused."""

    def __init__(self, tmp_path, records, nxdomain=(), extra=()):
        self.log_path = tmp_path / "dnsmasq.log"
        args = ["dnsmasq", "--no-daemon", "--port=53", "--listen-address=127.0.0.1",
                "--bind-interfaces", "--no-resolv", "--no-hosts", "--log-queries",
                f"--log-facility={self.log_path}", "--user=root", "--group=root",
                f"--pid-file={tmp_path / 'dnsmasq.pid'}", *extra]
        args += [f"--host-record={n},{a}" for n, a in records.items()]
        args += [f"--address=/{n}/" for n in nxdomain]
        self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        assert wait_for(lambda: self.log_path.exists() and "started" in self.log_path.read_text())

    def queries(self, name, kind="A"):
        return self.log_path.read_text().count(f"query[{kind}] {name} ")


@pytest.fixture
def dnsmasq(tmp_path):
    yield from factory(lambda *a, **kw: Dnsmasq(tmp_path, *a, **kw),
                       lambda d: (d.proc.kill(), d.proc.wait(5)))

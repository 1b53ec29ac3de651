"""Upstream chaining through the real binary: danted, microsocks and tinyproxy as upstreams for
curl (as a SOCKS5 and as an HTTP proxy client), and scripted upstreams in test threads for the exact handshake bytes, refusals, the retry,
domain-form bound addresses and HTTP answers that arrive in pieces."""
import socket
import struct
import subprocess
import threading
import time

import pytest

from conftest import echo, free_port, http_origin, recv_exact, wait_for

BODY = b"upstream origin body\n" * 50


def config(port, forward, retry=0, timeout=3000, extra=""):
    return f"""[kni]
thread_num = 2
[quoxel]
ros_id = 1
src_timeout = {timeout}
dst_timeout = {timeout}
forward_retry = {retry}
{extra}
[port0]
addr = 127.0.0.1
port_start = {port}
port_end = {port}
allow_udp = 1
listen_protocol = socks5,http
auth = -1
forward = {forward}
"""


def start_proxy(quoxel, forward, **kw):
    port = free_port()
    srv = quoxel(config(port, forward, **kw))
    assert srv.wait_listen(port)
    srv.port = port
    return srv


def wait_listen(port):
    def listening():
        out = subprocess.run(["ss", "-Hltn", f"sport = :{port}"], capture_output=True,
                             text=True).stdout
        return bool(out.strip())
    assert wait_for(listening, 5.0)


class Daemon:
    def __init__(self, args, log):
        self.log = log
        self.proc = subprocess.Popen(args, stdout=open(log, "wb"), stderr=subprocess.STDOUT)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(5)


@pytest.fixture
def daemons():
    started = []
    yield started
    for d in started:
        d.stop()


def add_system_user(tmp_path, name, password):
    """danted's username method checks the system's users: inside this test's own mount
    namespace, bind-mount copies of passwd and shadow that add one."""
    crypt = subprocess.run(["openssl", "passwd", "-6", password], capture_output=True,
                           text=True, check=True).stdout.strip()
    for path, line in (("/etc/passwd", f"{name}:x:4242:4242::/nonexistent:/usr/sbin/nologin\n"),
                       ("/etc/shadow", f"{name}:{crypt}:19000:0:99999:7:::\n")):
        copy = tmp_path / path.rsplit("/", 1)[1]
        copy.write_text(open(path).read() + line)
        subprocess.run(["mount", "--bind", str(copy), path], check=True)


def danted(tmp_path, daemons, method="none"):
    port = free_port()
    conf = tmp_path / f"danted-{port}.conf"
    conf.write_text(f"""logoutput: stderr
internal: 127.0.0.1 port = {port}
external: 127.0.0.1
socksmethod: {method}
user.privileged: root
user.unprivileged: nobody
client pass {{ from: 0.0.0.0/0 to: 0.0.0.0/0 }}
socks pass {{ from: 0.0.0.0/0 to: 0.0.0.0/0 command: connect udpassociate udpreply }}
""")
    daemons.append(Daemon(["danted", "-f", str(conf), "-N", "1",
                           "-p", str(tmp_path / f"danted-{port}.pid")], tmp_path / "danted.log"))
    wait_listen(port)
    return port


def microsocks(tmp_path, daemons, user=None, password=None):
    port = free_port()
    args = ["microsocks", "-i", "127.0.0.1", "-p", str(port)]
    if user:
        args += ["-u", user, "-P", password]
    daemons.append(Daemon(args, tmp_path / "microsocks.log"))
    wait_listen(port)
    return port


def tinyproxy(tmp_path, daemons, auth=None):
    port = free_port()
    conf = tmp_path / f"tinyproxy-{port}.conf"
    text = f"""User nobody
Group nogroup
Port {port}
Listen 127.0.0.1
Timeout 30
LogLevel Info
PidFile "{tmp_path}/tinyproxy-{port}.pid"
Allow 127.0.0.1
"""
    if auth:
        text += f"BasicAuth {auth[0]} {auth[1]}\n"
    conf.write_text(text)
    daemons.append(Daemon(["tinyproxy", "-d", "-c", str(conf)], tmp_path / "tinyproxy.log"))
    wait_listen(port)
    return port


def curl(url, *args):
    return subprocess.run(["curl", "-sS", "--max-time", "10", *args, url], capture_output=True,
                          timeout=20)


@pytest.mark.parametrize("kind", ["danted", "danted-user", "microsocks", "microsocks-user",
                                  "tinyproxy", "tinyproxy-user"])
def test_curl_through_real_upstreams(quoxel, origin, dnsmasq, daemons, tmp_path, kind):
    dnsmasq({"origin.test": "127.0.0.1"})
    o = origin(http_origin(BODY))
    user = kind.endswith("-user")
    if kind.startswith("danted"):
        if user:
            add_system_user(tmp_path, "qxuser", "qxpass")
        up = danted(tmp_path, daemons, "username" if user else "none")
        scheme = "socks5"
    elif kind.startswith("microsocks"):
        up = microsocks(tmp_path, daemons, *(("qxuser", "qxpass") if user else ()))
        scheme = "socks5"
    else:
        up = tinyproxy(tmp_path, daemons, ("qxuser", "qxpass") if user else None)
        scheme = "http"
    cred = "qxuser:qxpass@" if user else ""
    proxy = start_proxy(quoxel, f"{scheme}://{cred}127.0.0.1:{up}")
    at = f"127.0.0.1:{proxy.port}"
    for args, host in ((("--socks5-hostname", at), "origin.test"), (("--socks5", at), "127.0.0.1"),
                       (("-x", f"http://{at}"), "origin.test"),
                       (("-p", "-x", f"http://{at}"), "origin.test")):
        out = curl(f"http://{host}:{o.port}/", *args)
        assert out.returncode == 0, (args, out.stderr)
        assert out.stdout == BODY, args


@pytest.mark.parametrize("kind", ["danted", "microsocks", "tinyproxy"])
def test_wrong_upstream_credentials_refuse_the_client(quoxel, origin, daemons, tmp_path, kind):
    o = origin(echo)
    if kind == "danted":
        add_system_user(tmp_path, "qxuser", "qxpass")
        up, scheme = danted(tmp_path, daemons, "username"), "socks5"
    elif kind == "microsocks":
        up, scheme = microsocks(tmp_path, daemons, "qxuser", "qxpass"), "socks5"
    else:
        up, scheme = tinyproxy(tmp_path, daemons, ("qxuser", "qxpass")), "http"
    proxy = start_proxy(quoxel, f"{scheme}://qxuser:wrong@127.0.0.1:{up}")
    s = socks_connect(proxy.port, "127.0.0.1", o.port)
    assert s.rep == 0x01
    code = {"danted": 626, "microsocks": 626, "tinyproxy": 629}[kind]
    assert proxy.wait_output(f"code[{code}]")


# ---- scripted upstreams ----

class Session:
    def __init__(self, sock, reply):
        self.sock = sock
        self.reply = reply
        self.rep = reply[1] if len(reply) > 1 else None


def socks_connect(port, host, dport):
    """Greeting, request and the 10-byte reply (or what arrived before the close)."""
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    s.sendall(b"\x05\x01\x00")
    assert recv_exact(s, 2) == b"\x05\x00"
    try:
        addr = b"\x01" + socket.inet_aton(host)
    except OSError:
        addr = b"\x03" + bytes([len(host)]) + host.encode()
    s.sendall(b"\x05\x01\x00" + addr + struct.pack(">H", dport))
    return Session(s, recv_exact(s, 10))


class Scripted:
    """A TCP upstream that records what each connection sent and answers from a script."""

    def __init__(self, origin, script):
        self.received = []
        self.lock = threading.Lock()

        def handle(conn):
            conn.settimeout(5)
            log = []
            with self.lock:
                self.received.append(log)
            script(conn, log)
        self.origin = origin(handle)
        self.port = self.origin.port

    def connections(self):
        with self.lock:
            return len(self.received)


def read_s5_request(conn):
    head = recv_exact(conn, 5)
    rest = 5 if head[3] == 1 else head[4] + 2
    return head + recv_exact(conn, rest)


def s5_script(method=0, rep=0, bound=b"\x01\x7f\x00\x00\x01\x12\x34", after=b"", auth_status=0):
    def script(conn, log):
        greet = conn.recv(16)
        log.append(greet)
        conn.sendall(bytes([5, method]))
        if method == 2:
            head = recv_exact(conn, 2)
            if len(head) < 2:
                return
            user = recv_exact(conn, head[1])
            plen = recv_exact(conn, 1)
            log.append(head + user + plen + recv_exact(conn, plen[0]))
            conn.sendall(bytes([1, auth_status]))
            if auth_status:
                return
        if method not in (0, 2):
            time.sleep(0.5)
            return
        log.append(read_s5_request(conn))
        # The reply and the first tunnel bytes leave in one segment.
        conn.sendall(bytes([5, rep, 0]) + bound + after)
        if rep == 0:
            echo(conn)
    return script


def test_socks5_upstream_handshake_bytes_and_domain_bound_address(quoxel, origin):
    bound = b"\x03\x0dbound.example\x00\x50"
    up = Scripted(origin, s5_script(method=2, bound=bound, after=b"FIRST"))
    proxy = start_proxy(quoxel, f"socks5://us:pw@127.0.0.1:{up.port}")
    s = socks_connect(proxy.port, "target.example", 8080)
    assert s.rep == 0
    # The upstream's longer reply left nothing behind: the tunnel starts with its first bytes.
    assert recv_exact(s.sock, 5) == b"FIRST"
    s.sock.sendall(b"ping")
    assert recv_exact(s.sock, 4) == b"ping"
    greet, auth, req = up.received[0]
    assert greet == b"\x05\x02\x00\x02"
    assert auth == b"\x01\x02us\x02pw"
    assert req == b"\x05\x01\x00\x03\x0etarget.example\x1f\x90"


@pytest.mark.parametrize("bound", [b"\x04" + bytes(16) + b"\x00\x50",
                                   b"\x01\x00\x00\x00\x00\x00\x00"])
def test_ipv4_target_and_other_bound_forms(quoxel, origin, bound):
    up = Scripted(origin, s5_script(bound=bound, after=b"X"))
    proxy = start_proxy(quoxel, f"socks5://127.0.0.1:{up.port}")
    s = socks_connect(proxy.port, "10.1.2.3", 443)
    assert s.rep == 0
    assert recv_exact(s.sock, 1) == b"X"
    greet, req = up.received[0]
    assert greet == b"\x05\x01\x00"
    assert req == b"\x05\x01\x00\x01\x0a\x01\x02\x03\x01\xbb"


@pytest.mark.parametrize("script, rep, code", [
    (s5_script(rep=5), 0x05, 627),              # the upstream's own refusal code reaches the client
    (s5_script(method=2), 0x01, 625),           # it wants credentials nobody configured
    (s5_script(method=0xFF), 0x01, 625),        # no acceptable method
])
def test_socks5_upstream_refusals(quoxel, origin, script, rep, code):
    up = Scripted(origin, script)
    proxy = start_proxy(quoxel, f"socks5://127.0.0.1:{up.port}")
    s = socks_connect(proxy.port, "target.example", 80)
    assert s.rep == rep
    assert proxy.wait_output(f"code[{code}]")
    assert up.connections() == 1


def read_head(conn):
    """Reads up to an empty line; None when the peer closed first."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = conn.recv(4096)
        if not chunk:
            return None
        data += chunk
    return data


def http_script(pieces, after=b"", delay=0.05):
    def script(conn, log):
        req = read_head(conn)
        if req is None:
            return
        log.append(req)
        for piece in pieces:
            conn.sendall(piece)
            time.sleep(delay)
        conn.sendall(after)
        if b"".join(pieces).startswith(b"HTTP/1.1 200") and b"\r\n\r\n" in b"".join(pieces):
            echo(conn)
    return script


def test_http_upstream_answer_in_three_pieces_with_extra_headers(quoxel, origin):
    answer = [b"HTTP/1.1 200 Connection est", b"ablished\r\nProxy-Agent: test\r\nX-Extra: 1\r",
              b"\n\r\nTUNNEL"]
    up = Scripted(origin, http_script(answer))
    proxy = start_proxy(quoxel, f"http://u:p@127.0.0.1:{up.port}")
    s = socks_connect(proxy.port, "target.example", 443)
    assert s.rep == 0
    assert recv_exact(s.sock, 6) == b"TUNNEL"
    s.sock.sendall(b"data")
    assert recv_exact(s.sock, 4) == b"data"
    assert up.received[0][0] == (b"CONNECT target.example:443 HTTP/1.1\r\n"
                                 b"Host: target.example:443\r\n"
                                 b"Proxy-Connection: keep-alive\r\n"
                                 b"Proxy-Authorization: Basic dTpw\r\n\r\n")


@pytest.mark.parametrize("answer, code", [
    ([b"HTTP/1.1 403 Forbidden\r\n\r\n"], 629),
    ([b"SSH-2.0-not-http\r\n\r\n"], 628),
    ([b"HTTP/1.1 200 OK\r\n" + b"X-Pad: " + b"a" * 1600 + b"\r\n\r\n"], 628),  # header too long
    ([b"HTTP/1.1 200 OK\r\nX-A: 1\r\n"], 616),  # closed before the empty line
])
def test_http_upstream_failures_answer_rep_1(quoxel, origin, answer, code):
    up = Scripted(origin, http_script(answer))
    proxy = start_proxy(quoxel, f"http://127.0.0.1:{up.port}")
    s = socks_connect(proxy.port, "target.example", 443)
    assert s.rep == 0x01
    assert proxy.wait_output(f"code[{code}]")
    assert up.received[0][0].endswith(b"Proxy-Connection: keep-alive\r\n\r\n")


@pytest.mark.parametrize("kind", ["socks5", "http"])
def test_forward_retry_makes_exactly_two_attempts(quoxel, origin, kind):
    script = s5_script(rep=5) if kind == "socks5" else http_script([b"HTTP/1.1 502 Bad\r\n\r\n"])
    up = Scripted(origin, script)
    proxy = start_proxy(quoxel, f"{kind}://127.0.0.1:{up.port}", retry=1)
    s = socks_connect(proxy.port, "target.example", 443)
    assert s.rep == (0x05 if kind == "socks5" else 0x01)
    assert up.connections() == 2
    # Without the setting the first refusal is final.
    up2 = Scripted(origin, script)
    proxy2 = start_proxy(quoxel, f"{kind}://127.0.0.1:{up2.port}")
    assert socks_connect(proxy2.port, "target.example", 443).rep in (0x01, 0x05)
    assert up2.connections() == 1


def test_retry_succeeds_on_the_second_connection(quoxel, origin):
    calls = []

    def script(conn, log):
        calls.append(1)
        s5_script(rep=5 if len(calls) == 1 else 0, after=b"OK")(conn, log)
    up = Scripted(origin, script)
    proxy = start_proxy(quoxel, f"socks5://127.0.0.1:{up.port}", retry=1)
    s = socks_connect(proxy.port, "target.example", 443)
    assert s.rep == 0
    assert recv_exact(s.sock, 2) == b"OK"


def test_host_with_line_breaks_never_reaches_an_http_upstream(quoxel, origin):
    up = Scripted(origin, http_script([b"HTTP/1.1 200 OK\r\n\r\n"]))
    proxy = start_proxy(quoxel, f"http://127.0.0.1:{up.port}")
    s = socks_connect(proxy.port, "a.test:1 HTTP/1.1\r\nX-Injected: 1\r\n\r\nGET", 80)
    assert s.rep == 0x01
    assert proxy.wait_output("code[601]")
    time.sleep(0.2)
    assert up.received == [] or up.received[0] == []


def test_silent_upstream_times_out_with_rep_4(quoxel, origin):
    def script(conn, log):
        conn.recv(16)
        time.sleep(3)
    up = Scripted(origin, script)
    proxy = start_proxy(quoxel, f"socks5://127.0.0.1:{up.port}", timeout=500)
    s = socks_connect(proxy.port, "target.example", 443)
    assert s.rep == 0x04
    assert proxy.wait_output("code[630]")


def test_ads_listed_target_is_named_by_its_address(quoxel, origin, dnsmasq, tmp_path):
    dnsmasq({"ads.test": "10.9.8.7"}, nxdomain=["gone.ads.test"])
    ads = tmp_path / "ads.txt"
    ads.write_text(".ads.test\n")
    up = Scripted(origin, s5_script(after=b"A"))
    proxy = start_proxy(quoxel, f"socks5://127.0.0.1:{up.port}", extra=f"ads_list_file = {ads}")
    s = socks_connect(proxy.port, "ads.test", 80)
    assert s.rep == 0
    assert up.received[0][1] == b"\x05\x01\x00\x01\x0a\x09\x08\x07\x00\x50"
    # Names off the list still go to the upstream as names.
    s = socks_connect(proxy.port, "other.test", 80)
    assert s.rep == 0
    assert up.received[1][1] == b"\x05\x01\x00\x03\x0aother.test\x00\x50"
    # A listed name that does not resolve never reaches the upstream.
    s = socks_connect(proxy.port, "gone.ads.test", 80)
    assert s.rep == 0x02
    assert up.connections() == 2


# ---- HTTP clients through upstreams ----

def http_client(port, request):
    """Sends a raw proxy request; returns the socket and the answer's header (with its empty
    line), or everything received before the close."""
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    s.sendall(request)
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = s.recv(1)
        if not chunk:
            break
        head += chunk
    return s, head


def error_answer(code):
    return (b"HTTP/1.1 %d Internal Server Error\r\nProxy-Agent: quoxel-kni/3.1.3\r\n"
            b"Content-Length: 15\r\nProxy-Connection: close\r\n\r\n" % code)


CONNECT = b"CONNECT target.example:443 HTTP/1.1\r\nHost: target.example:443\r\n\r\n"


def test_http_connect_through_socks5_upstream_with_domain_bound_address(quoxel, origin):
    bound = b"\x03\x0dbound.example\x00\x50"
    up = Scripted(origin, s5_script(method=2, bound=bound, after=b"FIRST"))
    proxy = start_proxy(quoxel, f"socks5://us:pw@127.0.0.1:{up.port}")
    s, head = http_client(proxy.port, CONNECT)
    assert head == b"HTTP/1.1 200 Connection established\r\n\r\n"
    # The upstream's whole reply was consumed: the tunnel starts with its first bytes.
    assert recv_exact(s, 5) == b"FIRST"
    s.sendall(b"ping")
    assert recv_exact(s, 4) == b"ping"
    assert up.received[0] == [b"\x05\x02\x00\x02", b"\x01\x02us\x02pw",
                              b"\x05\x01\x00\x03\x0etarget.example\x01\xbb"]


def test_absolute_uri_through_http_upstream_in_pieces(quoxel, origin):
    """The upstream's answer arrives in three pieces with extra headers; only after it does the
    rewritten request go through the tunnel, and the origin's bytes come back."""
    got = []

    def script(conn, log):
        http_script([b"HTTP/1.1 200 Connection est", b"ablished\r\nX-Extra: 1\r",
                     b"\n"])(conn, log)
        conn.sendall(b"\r\n")
        got.append(read_head(conn))
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi")
    up = Scripted(origin, script)
    proxy = start_proxy(quoxel, f"http://u:p@127.0.0.1:{up.port}")
    s, head = http_client(proxy.port, b"GET http://site.test/a?b=1 HTTP/1.1\r\nHost: site.test\r\n"
                          b"Proxy-Authorization: Basic eDp5\r\nAccept: */*\r\n\r\n")
    assert head == b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n"
    assert recv_exact(s, 2) == b"hi"
    assert up.received[0][0] == (b"CONNECT site.test:80 HTTP/1.1\r\nHost: site.test:80\r\n"
                                 b"Proxy-Agent: quoxel-kni/3.1.3\r\n"
                                 b"Proxy-Connection: keep-alive\r\n"
                                 b"Proxy-Authorization: Basic dTpw\r\n\r\n")
    assert got == [b"GET /a?b=1 HTTP/1.1\r\nHost: site.test\r\nAccept: */*\r\n"
                   b"Connection: close\r\n\r\n"]


def s5_close_after_greeting(conn, log):
    log.append(conn.recv(16))


@pytest.mark.parametrize("scheme, script, code", [
    ("socks5", s5_script(rep=5), 627),
    ("socks5", s5_script(method=2), 625),               # wants credentials nobody configured
    ("socks5", s5_script(method=0xFF), 625),
    ("socks5u", s5_script(method=2, auth_status=1), 626),
    ("socks5", s5_close_after_greeting, 616),
    ("socks5", s5_script(bound=b"\x07\x00\x00"), 616),  # unknown bound address type
    ("http", http_script([b"HTTP/1.1 407 Auth\r\n\r\n"]), 629),
    ("http", http_script([b"SSH-2.0-not-http\r\n\r\n"]), 628),
    ("http", http_script([b"HTTP/1.1 200 OK\r\nX-Pad: " + b"a" * 1600 + b"\r\n\r\n"]), 616),
    ("http", http_script([b"HTTP/1.1 200 OK\r\nX-A: 1\r\n"]), 616),
])
def test_http_client_upstream_failures(quoxel, origin, scheme, script, code):
    up = Scripted(origin, script)
    forward = (f"socks5://us:pw@127.0.0.1:{up.port}" if scheme == "socks5u"
               else f"{scheme}://127.0.0.1:{up.port}")
    proxy = start_proxy(quoxel, forward)
    s, head = http_client(proxy.port, CONNECT)
    assert head == error_answer(code)
    assert recv_exact(s, 16) == b"ErrorCode:%d\r\n" % code
    assert proxy.wait_output(f"code[{code}]")
    assert up.connections() == 1


@pytest.mark.parametrize("kind", ["socks5", "http"])
def test_http_client_retry_makes_exactly_two_attempts(quoxel, origin, kind):
    script = s5_script(rep=5) if kind == "socks5" else http_script([b"HTTP/1.1 502 Bad\r\n\r\n"])
    up = Scripted(origin, script)
    proxy = start_proxy(quoxel, f"{kind}://127.0.0.1:{up.port}", retry=1)
    _, head = http_client(proxy.port, CONNECT)
    assert head == error_answer(627 if kind == "socks5" else 629)
    assert up.connections() == 2


def test_http_client_retry_succeeds_on_the_second_connection(quoxel, origin):
    calls = []

    def script(conn, log):
        calls.append(1)
        answer = b"HTTP/1.1 503 Busy\r\n\r\n" if len(calls) == 1 else b"HTTP/1.1 200 OK\r\n\r\n"
        http_script([answer], after=b"OK" if len(calls) > 1 else b"")(conn, log)
    up = Scripted(origin, script)
    proxy = start_proxy(quoxel, f"http://127.0.0.1:{up.port}", retry=1)
    s, head = http_client(proxy.port, CONNECT)
    assert head == b"HTTP/1.1 200 Connection established\r\n\r\n"
    assert recv_exact(s, 2) == b"OK"


def test_http_client_name_too_long_for_a_socks5_upstream(quoxel, origin):
    up = Scripted(origin, s5_script())
    proxy = start_proxy(quoxel, f"socks5://127.0.0.1:{up.port}")
    host = ("a" * 62 + ".") * 4 + "b" * 4
    assert len(host) == 256  # one more than a SOCKS5 request's length byte can name
    _, head = http_client(proxy.port, b"CONNECT %s:443 HTTP/1.1\r\n\r\n" % host.encode())
    assert head == error_answer(636)
    assert proxy.wait_output("code[636]")
    assert up.connections() == 0
    host = host[:255]
    s, head = http_client(proxy.port, b"CONNECT %s:443 HTTP/1.1\r\n\r\n" % host.encode())
    assert head == b"HTTP/1.1 200 Connection established\r\n\r\n"
    assert up.received[0][1] == b"\x05\x01\x00\x03\xff" + host.encode() + b"\x01\xbb"


def test_http_client_ads_target_and_silent_upstream(quoxel, origin, dnsmasq, tmp_path):
    dnsmasq({"ads.test": "10.9.8.7"})
    ads = tmp_path / "ads.txt"
    ads.write_text(".ads.test\n")
    up = Scripted(origin, s5_script(after=b"A"))
    proxy = start_proxy(quoxel, f"socks5://127.0.0.1:{up.port}", extra=f"ads_list_file = {ads}")
    s, head = http_client(proxy.port, b"CONNECT ads.test:80 HTTP/1.1\r\n\r\n")
    assert head == b"HTTP/1.1 200 Connection established\r\n\r\n"
    assert up.received[0][1] == b"\x05\x01\x00\x01\x0a\x09\x08\x07\x00\x50"

    def silent(conn, log):
        conn.recv(16)
        time.sleep(3)
    up2 = Scripted(origin, silent)
    proxy2 = start_proxy(quoxel, f"socks5://127.0.0.1:{up2.port}", timeout=500)
    _, head = http_client(proxy2.port, CONNECT)
    assert head == error_answer(630)

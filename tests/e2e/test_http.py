"""HTTP proxy through the real binary: curl as a user would, the exact bytes an origin receives,
the exact answers of every refusal, the 407 loop, timeouts, and a slow origin."""
import base64
import hashlib
import os
import socket
import subprocess
import threading
import time

import pytest

from conftest import black_hole, echo, free_port, recv_exact, wait_for


def config(port, protocol="http", auth="", timeout=3000, dst_timeout=3000):
    auth_block = "[auth0]\ntype = local\nuser1 = alice:alice-secret\n" if auth else ""
    return f"""[kni]
thread_num = 2
[quoxel]
ros_id = 1
src_timeout = {timeout}
dst_timeout = {dst_timeout}
{auth_block}
[port0]
addr = 127.0.0.1
port_start = {port}
port_end = {port}
allow_udp = 0
listen_protocol = {protocol}
auth = {0 if auth else -1}
"""


def start(quoxel, **kw):
    port = free_port()
    srv = quoxel(config(port, **kw))
    assert srv.wait_listen(port)
    srv.port = port
    return srv


@pytest.fixture
def proxy(quoxel):
    return start(quoxel)


class Recorder:
    """An HTTP origin that keeps every request it receives (head and body, as bytes) and answers
    with the SHA-256 of the body."""

    def __init__(self, origin, delay=0.0, rcvbuf=0):
        self.requests = []
        self.delay = delay
        self.rcvbuf = rcvbuf
        self.origin = origin(self.handle)
        if rcvbuf:
            self.origin.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.port = self.origin.port

    def handle(self, conn):
        conn.settimeout(20)
        if self.delay:
            time.sleep(self.delay)
        data = b""
        while b"\r\n\r\n" not in data and b"\n\n" not in data:
            chunk = conn.recv(65536)
            if not chunk:
                return
            data += chunk
        sep = b"\r\n\r\n" if b"\r\n\r\n" in data else b"\n\n"
        head, body = data.split(sep, 1)
        head += sep
        length = 0
        for line in head.split(b"\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value.strip())
        while len(body) < length:
            chunk = conn.recv(1 << 20)
            if not chunk:
                break
            body += chunk
        self.requests.append((head, body))
        digest = hashlib.sha256(body).hexdigest().encode()
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n"
                     % len(digest) + digest)


def dial(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def read_all(s):
    data = b""
    while True:
        try:
            chunk = s.recv(65536)
        except (ConnectionResetError, socket.timeout):
            break
        if not chunk:
            break
        data += chunk
    return data


def curl(*args):
    return subprocess.run(["curl", "-sS", "--max-time", "20", *args], capture_output=True,
                          timeout=40)


def test_curl_get_head_and_large_post(proxy, origin, dnsmasq, tmp_path):
    dnsmasq({"origin.test": "127.0.0.1"})
    rec = Recorder(origin)
    url = f"http://origin.test:{rec.port}/path?q=1"
    out = curl("-x", f"http://127.0.0.1:{proxy.port}", url)
    assert out.returncode == 0, out.stderr
    assert out.stdout == hashlib.sha256(b"").hexdigest().encode()
    assert rec.requests[-1][0].startswith(b"GET /path?q=1 HTTP/1.1\r\nHost: origin.test:%d\r\n"
                                          % rec.port)

    out = curl("-I", "-x", f"http://127.0.0.1:{proxy.port}", url)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith(b"HTTP/1.1 200 OK")
    assert rec.requests[-1][0].startswith(b"HEAD /path?q=1 HTTP/1.1\r\n")

    body = os.urandom(20 << 20)
    (tmp_path / "body").write_bytes(body)
    out = curl("-x", f"http://127.0.0.1:{proxy.port}", "--data-binary", f"@{tmp_path / 'body'}",
               "-H", "Expect:", url)
    assert out.returncode == 0, out.stderr
    assert out.stdout == hashlib.sha256(body).hexdigest().encode()
    assert rec.requests[-1][0].startswith(b"POST /path?q=1 HTTP/1.1\r\n")


def test_curl_proxytunnel(proxy, origin):
    rec = Recorder(origin)
    out = curl("-p", "-x", f"http://127.0.0.1:{proxy.port}", f"http://127.0.0.1:{rec.port}/t")
    assert out.returncode == 0, out.stderr
    assert rec.requests[-1][0].startswith(b"GET /t HTTP/1.1\r\n")


FORWARDED = [
    # Absolute URI with path and query: the origin sees origin form; other headers unchanged.
    (b"GET http://origin.test:{p}/a/b?c=d HTTP/1.1\r\nHost: origin.test\r\nX-One: 1\r\n"
     b"Proxy-Connection: keep-alive\r\nX-Two: 2\r\n\r\n",
     b"GET /a/b?c=d HTTP/1.1\r\nHost: origin.test\r\nX-One: 1\r\nX-Two: 2\r\n"
     b"Connection: close\r\n\r\n"),
    # No path: "/" and the version as sent.
    (b"GET http://origin.test:{p} HTTP/1.1\r\nHost: h\r\n\r\n",
     b"GET / HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n"),
    (b"GET http://127.0.0.1:{p}?x=1 HTTP/1.0\r\n\r\n", b"GET /?x=1 HTTP/1.0\r\nConnection: close\r\n\r\n"),
    # Proxy headers go with their whole line, LF-only lines included; credentials are unused on an
    # open port.
    (b"GET http://origin.test:{p}/ HTTP/1.1\nProxy-Authorization: Basic YTpi\nHost: h\n"
     b"PROXY-CONNECTION: close  \nX-Last: z\n\n",
     b"GET / HTTP/1.1\nHost: h\nX-Last: z\nConnection: close\n\n"),
    # Body bytes sent together with the head go along.
    (b"POST http://origin.test:{p}/up HTTP/1.1\r\nContent-Length: 5\r\n"
     b"Proxy-Authorization: Bearer x\r\n\r\nhello",
     b"POST /up HTTP/1.1\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello"),
]


@pytest.mark.parametrize("request_bytes,expected", FORWARDED)
def test_origin_receives_the_rewritten_request(proxy, origin, dnsmasq, request_bytes, expected):
    dnsmasq({"origin.test": "127.0.0.1"})
    rec = Recorder(origin)
    s = dial(proxy.port)
    s.sendall(request_bytes.replace(b"{p}", str(rec.port).encode()))
    answer = read_all(s)
    assert answer.startswith(b"HTTP/1.1 200 OK"), answer
    head, body = rec.requests[-1]
    assert head + body == expected


def test_request_split_at_every_byte(proxy, origin):
    rec = Recorder(origin)
    raw = (b"GET http://127.0.0.1:%d/split HTTP/1.1\r\nProxy-Connection: x\r\nHost: h\r\n\r\n"
           % rec.port)
    s = dial(proxy.port)
    for i in range(len(raw)):
        s.send(raw[i:i + 1])
        time.sleep(0.002)
    assert read_all(s).startswith(b"HTTP/1.1 200 OK")
    assert rec.requests[-1][0] == b"GET /split HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n"


FORBIDDEN = b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n"


@pytest.mark.parametrize("raw,message", [
    (b"GET /path HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", "get host failed"),
    (b"GET http://127.0.0.1/ HTTP/1.1\r\nBad_Name: x\r\n\r\n", "http parse header failed"),
    (b"GET http://127.0.0.1:70000/ HTTP/1.1\r\n\r\n", "http parse header failed"),
    (b"CONNECT 127.0.0.1:65536 HTTP/1.1\r\n\r\n", "http parse header failed"),
    (b"\x01\x02 garbage\r\n\r\n", "http parse header failed"),
    (b"GET http://127.0.0.1/ HTTP/1.1\r\n" + b"X-Pad: " + b"a" * 70000 + b"\r\n\r\n",
     "http request header too long"),
    # More cuts than the forwarded request can take.
    (b"GET http://127.0.0.1 HTTP/1.1\r\n" + b"Proxy-Connection: x\r\n" * 8 + b"\r\n",
     "http deal url failed"),
    (b"GET http://127.0.0.1/ HTTP/1.1\r\n" + b"Proxy-Connection: x\r\n" * 10 + b"\r\n",
     "http skip proxy header failed"),
])
def test_refusals_answer_403(proxy, raw, message):
    s = dial(proxy.port)
    try:
        s.sendall(raw)
    except (BrokenPipeError, ConnectionResetError):
        pass
    assert read_all(s) == FORBIDDEN
    assert proxy.wait_output(f"code[617] msg[{message}]")


def test_silent_client_gets_618(quoxel):
    srv = start(quoxel, timeout=300)
    s = dial(srv.port)
    s.sendall(b"GET http://127.0.0.1/ HTTP/1.1\r\n")
    assert read_all(s) == (b"HTTP/1.1 618 Internal Server Error\r\nProxy-Agent: quoxel-kni/3.1.3\r\n"
                           b"Content-Length: 15\r\nProxy-Connection: close\r\n\r\nErrorCode:618\r\n")


def test_connect_tunnel_and_its_answer(proxy, origin):
    o = origin(echo)
    s = dial(proxy.port)
    s.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: x\r\n\r\n" % o.port)
    assert recv_exact(s, 39) == b"HTTP/1.1 200 Connection established\r\n\r\n"
    s.sendall(b"tunnelled")
    assert recv_exact(s, 9) == b"tunnelled"


def test_default_ports(proxy):
    """CONNECT without a port goes to 443, an absolute URI without one to 80."""
    seen = []

    def listener(port):
        ls = socket.socket()
        ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        ls.bind(("127.0.0.1", port))
        ls.listen(4)
        ls.settimeout(10)

        def run():
            try:
                conn, _ = ls.accept()
                seen.append((port, conn.recv(4096)))
                conn.sendall(b"HTTP/1.1 204 No Content\r\n\r\n")
                conn.close()
            except OSError:
                pass
            ls.close()
        threading.Thread(target=run, daemon=True).start()

    listener(443)
    listener(80)
    s = dial(proxy.port)
    s.sendall(b"CONNECT 127.0.0.1 HTTP/1.1\r\n\r\n")
    assert recv_exact(s, 39).startswith(b"HTTP/1.1 200")
    s.sendall(b"hello")
    s2 = dial(proxy.port)
    s2.sendall(b"GET http://127.0.0.1/x HTTP/1.1\r\n\r\n")
    assert read_all(s2).startswith(b"HTTP/1.1 204")
    assert wait_for(lambda: len(seen) == 2)
    assert sorted(seen) == [(80, b"GET /x HTTP/1.1\r\nConnection: close\r\n\r\n"), (443, b"hello")]


def test_connect_timeout_answers_635(quoxel):
    srv = start(quoxel, dst_timeout=300)
    hole_port, _keep = black_hole()  # the connect times out
    s = dial(srv.port)
    s.sendall(b"GET http://127.0.0.1:%d/ HTTP/1.1\r\n\r\n" % hole_port)
    assert read_all(s) == (b"HTTP/1.1 635 Internal Server Error\r\nProxy-Agent: quoxel-kni/3.1.3\r\n"
                           b"Content-Length: 15\r\nProxy-Connection: close\r\n\r\nErrorCode:635\r\n")


def test_refused_connect_and_unknown_name(proxy, dnsmasq):
    dnsmasq({}, nxdomain=["nx.test"])
    for target, code in ((b"127.0.0.1:%d" % free_port(), b"612"), (b"nx.test:80", b"638")):
        s = dial(proxy.port)
        s.sendall(b"GET http://" + target + b"/ HTTP/1.1\r\n\r\n")
        assert read_all(s) == (b"HTTP/1.1 " + code + b" Internal Server Error\r\nProxy-Agent: "
                               b"quoxel-kni/3.1.3\r\nContent-Length: 15\r\nProxy-Connection: close"
                               b"\r\n\r\nErrorCode:" + code + b"\r\n")


@pytest.fixture
def small_send_buffers():
    """Loopback send buffers grow past any request head; within the test's own network namespace
    they can be kept small, so the destination takes the forwarded request in pieces."""
    path = "/proc/sys/net/ipv4/tcp_wmem"
    saved = open(path).read()
    with open(path, "w") as f:
        f.write("4096 4096 4096")
    yield
    with open(path, "w") as f:
        f.write(saved)


def test_slow_origin_receives_the_whole_request(proxy, origin, small_send_buffers):
    """A head larger than what the origin's window takes at once is finished before the relay."""
    rec = Recorder(origin, delay=0.5, rcvbuf=4096)
    head = (b"POST http://127.0.0.1:%d/slow HTTP/1.1\r\n" % rec.port +
            b"".join(b"X-H%d: %s\r\n" % (i, b"v" * 900) for i in range(60)))
    body = os.urandom(1 << 20)
    s = dial(proxy.port)
    s.sendall(head + b"Content-Length: %d\r\n\r\n" % len(body) + body[:1000])
    s.sendall(body[1000:])
    answer = read_all(s)
    assert answer.endswith(hashlib.sha256(body).hexdigest().encode()), answer[:200]
    got_head, got_body = rec.requests[-1]
    assert got_head == head.replace(b"http://127.0.0.1:%d" % rec.port, b"") + \
        b"Content-Length: %d\r\nConnection: close\r\n\r\n" % len(body)
    assert got_body == body


def basic(user, password):
    return b"Proxy-Authorization: Basic " + base64.b64encode(f"{user}:{password}".encode()) + b"\r\n"


PROXY_AUTH_REQUIRED = (b"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Agent: quoxel-kni/3.1.3"
                       b"\r\nProxy-Authenticate: Basic realm=\"xx\"\r\nContent-Length: 0\r\n\r\n")


def test_407_then_credentials_on_the_same_connection(quoxel, origin):
    srv = start(quoxel, auth=True)
    rec = Recorder(origin)
    s = dial(srv.port)
    line = b"GET http://127.0.0.1:%d/first HTTP/1.1\r\n" % rec.port
    s.sendall(line + b"Host: h\r\n\r\n")
    assert recv_exact(s, len(PROXY_AUTH_REQUIRED)) == PROXY_AUTH_REQUIRED
    line = b"GET http://127.0.0.1:%d/second HTTP/1.1\r\n" % rec.port
    s.sendall(line + basic("alice", "alice-secret") + b"Host: h\r\n\r\n")
    assert read_all(s).startswith(b"HTTP/1.1 200 OK")
    assert [r[0] for r in rec.requests] == [
        b"GET /second HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n"]
    # The repeated request may already be held when the 407 goes out: it is parsed at once.
    s = dial(srv.port)
    s.sendall(b"GET http://127.0.0.1:%d/a HTTP/1.1\r\n\r\n" % rec.port +
              b"GET http://127.0.0.1:%d/b HTTP/1.1\r\n" % rec.port +
              basic("alice", "alice-secret") + b"\r\n")
    answer = read_all(s)
    assert answer.startswith(PROXY_AUTH_REQUIRED + b"HTTP/1.1 200 OK"), answer
    assert rec.requests[-1][0] == b"GET /b HTTP/1.1\r\nConnection: close\r\n\r\n"


def test_407_for_a_request_with_a_body_closes(quoxel, origin):
    srv = start(quoxel, auth=True)
    rec = Recorder(origin)
    s = dial(srv.port)
    s.sendall(b"POST http://127.0.0.1:%d/ HTTP/1.1\r\nContent-Length: 4\r\n\r\n"
              b"GET " % rec.port)
    assert read_all(s) == PROXY_AUTH_REQUIRED
    assert rec.requests == []


def test_curl_with_credentials(quoxel, origin):
    srv = start(quoxel, auth=True)
    rec = Recorder(origin)
    url = f"http://127.0.0.1:{rec.port}/c"
    out = curl("--proxy-anyauth", "-U", "alice:alice-secret", "-x", f"http://127.0.0.1:{srv.port}", url)
    assert out.returncode == 0, out.stderr
    assert rec.requests[-1][0].startswith(b"GET /c HTTP/1.1\r\n")
    assert b"Proxy-Authorization" not in rec.requests[-1][0]
    out = curl("-p", "-U", "alice:alice-secret", "-x", f"http://127.0.0.1:{srv.port}", url)
    assert out.returncode == 0, out.stderr
    out = curl("-sSf", "-x", f"http://127.0.0.1:{srv.port}", url)
    assert out.returncode != 0 and b"407" in out.stderr


def test_http_refused_on_a_socks5_port(quoxel):
    srv = start(quoxel, protocol="socks5")
    s = dial(srv.port)
    s.sendall(b"GET http://127.0.0.1/ HTTP/1.1\r\n\r\n")
    assert read_all(s) == b""
    assert srv.wait_output("code[603] msg[not support http]")

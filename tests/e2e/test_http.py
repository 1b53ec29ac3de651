"""HTTP proxy: curl, the exact bytes an origin receives, every refusal, the 407 loop, a slow origin."""
import base64
import hashlib
import os
import socket
import time

import pytest

from conftest import (FORBIDDEN, PROXY_AUTH_REQUIRED, USERS, curl, dial, error_answer, free_port,
                      read_all, read_head, recv_exact)
from test_socks5 import sent

HTTP = {"port0": {"listen_protocol": "http"}}


class Recorder:
    """An HTTP origin that keeps every request (head, body) and answers the body's SHA-256."""

    def __init__(self, origin, delay=0.0, rcvbuf=0):
        self.requests = []
        self.delay = delay
        o = origin(self.handle)
        if rcvbuf:
            o.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.port = o.port

    def handle(self, conn):
        conn.settimeout(20)
        time.sleep(self.delay)
        data = read_head(conn)
        if data is None:
            return
        sep = b"\r\n\r\n" if b"\r\n\r\n" in data else b"\n\n"
        head, body = data.split(sep, 1)
        head += sep
        length = next((int(l.split(b":")[1]) for l in head.split(b"\n")
                       if l.lower().startswith(b"content-length:")), 0)
        body += recv_exact(conn, length - len(body))
        self.requests.append((head, body))
        digest = hashlib.sha256(body).hexdigest().encode()
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 64\r\nConnection: close\r\n\r\n" + digest)


def test_curl_get_head_post_and_tunnel(proxy, origin, dnsmasq, tmp_path):
    srv = proxy(HTTP)
    dnsmasq({"origin.test": "127.0.0.1"})
    rec = Recorder(origin)
    url, via = f"http://origin.test:{rec.port}/path?q=1", f"http://127.0.0.1:{srv.port}"
    body = os.urandom(20 << 20)
    (tmp_path / "body").write_bytes(body)
    for args, line, answer in (
            ([], b"GET /path?q=1 HTTP/1.1\r\nHost: origin.test:%d\r\n" % rec.port,
             hashlib.sha256(b"").hexdigest().encode()),
            (["--data-binary", f"@{tmp_path / 'body'}", "-H", "Expect:"], b"POST /path?q=1 HTTP/1.1\r\n",
             hashlib.sha256(body).hexdigest().encode()),
            (["-p"], b"GET /path?q=1 HTTP/1.1\r\n", None)):
        out = curl("-x", via, *args, url)
        assert out.returncode == 0, out.stderr
        assert rec.requests[-1][0].startswith(line)
        assert answer is None or out.stdout.startswith(answer)


# (what the client sends, what the origin must receive); {p} is the origin's port.
FORWARDED = [
    (b"GET http://origin.test:{p}/a/b?c=d HTTP/1.1\r\nHost: origin.test\r\nX-One: 1\r\n"
     b"Proxy-Connection: keep-alive\r\nX-Two: 2\r\n\r\n",
     b"GET /a/b?c=d HTTP/1.1\r\nHost: origin.test\r\nX-One: 1\r\nX-Two: 2\r\nConnection: close\r\n\r\n"),
    (b"GET http://origin.test:{p} HTTP/1.1\r\nHost: h\r\n\r\n",
     b"GET / HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n"),
    (b"GET http://127.0.0.1:{p}?x=1 HTTP/1.0\r\n\r\n", b"GET /?x=1 HTTP/1.0\r\nConnection: close\r\n\r\n"),
    (b"GET http://origin.test:{p}/ HTTP/1.1\nProxy-Authorization: Basic YTpi\nHost: h\n"
     b"PROXY-CONNECTION: close  \nX-Last: z\n\n", b"GET / HTTP/1.1\nHost: h\nX-Last: z\nConnection: close\n\n"),
    (b"POST http://origin.test:{p}/up HTTP/1.1\r\nContent-Length: 5\r\n"
     b"Proxy-Authorization: Bearer x\r\n\r\nhello",
     b"POST /up HTTP/1.1\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello"),
]


@pytest.mark.parametrize("split", [False, True], ids=["whole", "every byte"])
@pytest.mark.parametrize("request_bytes,expected", FORWARDED)
def test_origin_receives_the_rewritten_request(proxy, origin, dnsmasq, request_bytes, expected, split):
    srv = proxy(HTTP)
    dnsmasq({"origin.test": "127.0.0.1"})
    rec = Recorder(origin)
    raw = request_bytes.replace(b"{p}", str(rec.port).encode())
    s = dial(srv.port)
    for part in ([raw[i:i + 1] for i in range(len(raw))] if split else [raw]):
        s.sendall(part)
        time.sleep(0.002 if split else 0)
    assert read_all(s).startswith(b"HTTP/1.1 200 OK")
    assert b"".join(rec.requests[-1]) == expected


NX, REFUSED, HOLE = "nx.test", free_port(), None
# (settings, what the client sends, the exact answer, the session line's code and message)
EXCHANGES = [
    ({}, b"GET /path HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", FORBIDDEN, "617] msg[get host failed"),
    ({}, b"GET http://127.0.0.1/ HTTP/1.1\r\nBad_Name: x\r\n\r\n", FORBIDDEN,
     "617] msg[http parse header failed"),
    ({}, b"GET http://127.0.0.1:70000/ HTTP/1.1\r\n\r\n", FORBIDDEN, "617] msg[http parse header failed"),
    ({}, b"CONNECT 127.0.0.1:65536 HTTP/1.1\r\n\r\n", FORBIDDEN, "617] msg[http parse header failed"),
    ({}, b"\x01\x02 garbage\r\n\r\n", FORBIDDEN, "617] msg[http parse header failed"),
    ({}, b"GET http://127.0.0.1/ HTTP/1.1\r\nX-Pad: " + b"a" * 70000 + b"\r\n\r\n", FORBIDDEN,
     "617] msg[http request header too long"),
    ({}, b"GET http://127.0.0.1 HTTP/1.1\r\n" + b"Proxy-Connection: x\r\n" * 8 + b"\r\n", FORBIDDEN,
     "617] msg[http deal url failed"),
    ({}, b"GET http://127.0.0.1/ HTTP/1.1\r\n" + b"Proxy-Connection: x\r\n" * 10 + b"\r\n", FORBIDDEN,
     "617] msg[http skip proxy header failed"),
    ({"quoxel": {"src_timeout": 300}}, b"GET http://127.0.0.1/ HTTP/1.1\r\n", error_answer(618), 618),
    ({}, b"GET http://127.0.0.1:%d/ HTTP/1.1\r\n\r\n" % REFUSED, error_answer(612), 612),
    ({}, b"GET http://nx.test/ HTTP/1.1\r\n\r\n", error_answer(638), 638),
    ({"port0": {"listen_protocol": "socks5"}}, b"GET http://127.0.0.1/ HTTP/1.1\r\n\r\n", b"",
     "603] msg[not support http"),
    (USERS, b"POST http://127.0.0.1:9/ HTTP/1.1\r\nContent-Length: 4\r\n\r\nGET ",
     PROXY_AUTH_REQUIRED, None),  # a refused request with a body is closed after the 407
]


@pytest.mark.parametrize("settings,send,answer,code", EXCHANGES)
def test_exchanges(proxy, dnsmasq, settings, send, answer, code):
    srv = proxy(HTTP, settings)
    dnsmasq({}, nxdomain=[NX])
    assert read_all(sent(srv.port, send)) == answer
    assert code is None or srv.code(code)


@pytest.fixture
def small_send_buffers():
    """Small loopback send buffers (this namespace's own): the origin takes the request in pieces."""
    path = "/proc/sys/net/ipv4/tcp_wmem"
    saved = open(path).read()
    open(path, "w").write("4096 4096 4096")
    yield
    open(path, "w").write(saved)


def test_slow_origin_receives_the_whole_request(proxy, origin, small_send_buffers):
    srv = proxy(HTTP)
    rec = Recorder(origin, delay=0.5, rcvbuf=4096)
    head = (b"POST http://127.0.0.1:%d/slow HTTP/1.1\r\n" % rec.port +
            b"".join(b"X-H%d: %s\r\n" % (i, b"v" * 900) for i in range(60)))
    body = os.urandom(1 << 20)
    s = sent(srv.port, head + b"Content-Length: %d\r\n\r\n" % len(body) + body)
    assert read_all(s).endswith(hashlib.sha256(body).hexdigest().encode())
    assert rec.requests[-1] == (head.replace(b"http://127.0.0.1:%d" % rec.port, b"") +
                                b"Content-Length: %d\r\nConnection: close\r\n\r\n" % len(body), body)


def basic(user, password):
    return b"Proxy-Authorization: Basic " + base64.b64encode(f"{user}:{password}".encode()) + b"\r\n"


def test_407_then_credentials_on_the_same_connection(proxy, origin):
    srv = proxy(HTTP, USERS)
    rec = Recorder(origin)
    get = b"GET http://127.0.0.1:%d/%%s HTTP/1.1\r\n" % rec.port
    s = sent(srv.port, get % b"first" + b"Host: h\r\n\r\n")
    assert recv_exact(s, len(PROXY_AUTH_REQUIRED)) == PROXY_AUTH_REQUIRED
    s.sendall(get % b"second" + basic("alice", "alice-secret") + b"Host: h\r\n\r\n")
    assert read_all(s).startswith(b"HTTP/1.1 200 OK")
    assert [r[0] for r in rec.requests] == [b"GET /second HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n"]
    # The repeated request may already be held when the 407 goes out: it is parsed at once.
    s = sent(srv.port, get % b"a" + b"\r\n" + get % b"b" + basic("alice", "alice-secret") + b"\r\n")
    assert read_all(s).startswith(PROXY_AUTH_REQUIRED + b"HTTP/1.1 200 OK")
    assert rec.requests[-1][0] == b"GET /b HTTP/1.1\r\nConnection: close\r\n\r\n"
    # Wrong credentials get the 407 too, and so do right ones under a longer name ending in it.
    for creds in (basic("alice", "nope"), b"X" * 32 + basic("alice", "alice-secret")):
        s = sent(srv.port, get % b"c" + creds + b"\r\n")
        assert recv_exact(s, len(PROXY_AUTH_REQUIRED)) == PROXY_AUTH_REQUIRED

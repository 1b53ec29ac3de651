"""PROXY protocol intake: haproxy's send-proxy and send-proxy-v2, and headers haproxy never sends."""
import socket
import struct
import subprocess
import time

import pytest

from conftest import (curl, dial, echo, free_port, http_origin, listening, read_all, recv_exact,
                      s5_request, wait_for)
from test_socks5 import sent

SIG = b"\r\n\r\n\x00\r\nQUIT\n"
AUTO = {"port0": {"listen_protocol": "auto"}}


def v1(src="203.0.113.7", dst="198.51.100.1", proto="TCP4"):
    return f"PROXY {proto} {src} {dst} 50000 1080\r\n".encode()


def v2(src="203.0.113.9", cmd=0x21, fam=0x11, tlvs=b""):
    block = socket.inet_aton(src) + socket.inet_aton("198.51.100.1") + struct.pack(">HH", 40000, 1080)
    return SIG + bytes([cmd, fam]) + struct.pack(">H", len(block + tlvs)) + block + tlvs


@pytest.fixture
def haproxy(tmp_path):
    started = []

    def run(target_port, option):
        listen = free_port()
        cfg = tmp_path / f"haproxy-{listen}.cfg"
        cfg.write_text(f"global\n    maxconn 64\ndefaults\n    mode tcp\n    timeout connect 5s\n"
                       f"    timeout client 30s\n    timeout server 30s\nlisten front\n"
                       f"    bind 127.0.0.1:{listen}\n    server q 127.0.0.1:{target_port} {option}\n")
        started.append(subprocess.Popen(["haproxy", "-db", "-f", str(cfg)],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        assert wait_for(lambda: listening(listen))
        return listen
    yield run
    for p in started:
        p.kill()
        p.wait(5)


@pytest.mark.parametrize("option", ["send-proxy", "send-proxy-v2"])
def test_curl_through_haproxy(proxy, origin, dnsmasq, haproxy, option):
    srv = proxy(AUTO)
    dnsmasq({"origin.test": "127.0.0.1"}, nxdomain=["nx.test"])
    seen = []
    o = origin(http_origin(b"ok", seen))
    front = f"127.0.0.1:{haproxy(srv.port, option)}"
    for args in (["-x", f"http://{front}"], ["--socks5-hostname", front]):  # one per protocol
        out = curl(*args, f"http://origin.test:{o.port}/h")
        assert out.returncode == 0, (args, out.stderr)
        assert seen[-1].startswith(b"GET /h HTTP/1.1\r\n")
    # The session's address is the real client's, as the header told it.
    out = curl("--interface", "127.0.0.2", "-x", f"http://{front}", "http://nx.test/")
    assert b"638" in out.stdout
    assert srv.wait_output("[127.0.0.2] user[http://")


# A header then the next protocol in one segment (or after a pause, or a header behind a header).
@pytest.mark.parametrize("first,then", [
    (v1(), b""), (v2(), b""), (v2(tlvs=b"\x04\x00\x03abc"), b""), (v1(), None),
    (v2(src="10.0.0.9"), v1())])  # the client a first header names must be trusted to send one
def test_header_then_the_next_protocol(proxy, origin, first, then):
    srv = proxy(AUTO)
    seen = []
    o = origin(http_origin(b"ok", seen))
    post = b"POST http://127.0.0.1:%d/seg HTTP/1.1\r\nContent-Length: 0\r\n\r\n" % o.port
    s = dial(srv.port)
    if then == b"":
        s.sendall(first + post)
    elif then is not None:
        s.sendall(first)
        time.sleep(0.2)
        s.sendall(then + post)
    if then is not None:
        assert read_all(s).startswith(b"HTTP/1.1 200 OK")
        assert seen == [b"POST /seg HTTP/1.1\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"]
    e = origin(echo)
    s = sent(srv.port, first)
    if then is None:
        time.sleep(0.2)
    s.sendall(b"\x05\x01\x00" + s5_request("127.0.0.1", e.port) + b"ping")
    assert recv_exact(s, 12)[:4] == b"\x05\x00\x05\x00"
    assert recv_exact(s, 4) == b"ping"


def test_header_then_silence_is_closed(proxy):
    srv = proxy(AUTO, {"quoxel": {"src_timeout": 300}})
    for header in (v1(), v2()):
        s = sent(srv.port, header)
        began = time.monotonic()
        assert read_all(s) == b""
        assert time.monotonic() - began < 5
    assert srv.code("605] msg[wait client data timeout")
    assert read_all(sent(srv.port, b"PROXY TCP4 1.2.3.4")) == b""
    assert srv.code("607] msg[haproxy get header timeout")


# (bytes sent, port protocols, the session line's code and message); nothing is answered.
REFUSED = [
    (v1(proto="TCP6", src="::1", dst="::1"), "auto", "607] msg[haproxy v1 protocol don't support"),
    (b"PROXY UNKNOWN\r\n" + b"x" * 40, "auto", "607] msg[haproxy v1 protocol don't support"),
    (b"PROXY TCP4 1.2.3.4 5.6.7.8 1 65536\r\n", "auto", "607] msg[haproxy v1 addr parse failed"),
    (b"PROXY TCP4 256.1.1.1 5.6.7.8 1 2\r\n", "auto", "607] msg[haproxy v1 addr parse failed"),
    (b"PROXY TCP4 " + b"1" * 60, "auto", "607] msg[haproxy v1 read max header but no end mark"),
    (v2(cmd=0x20), "auto", "607] msg[haproxy v2 ver_cmd error"),
    (v2(fam=0x21), "auto", "607] msg[haproxy v2 fam error"),
    (SIG + b"\x21\x11\x00\x0b" + bytes(11), "auto", "607] msg[haproxy v2 addr info miss"),
    (b"\r\nGET / HTTP/1.1\r\n\r\n", "auto", "607] msg[haproxy v2 header 12 bytes error"),
    (v1() + b"\x05\x01\x00", "http", "603] msg[haproxy not support socks5"),
    (v1() + b"GET http://x/ HTTP/1.1\r\n\r\n", "socks5", "603] msg[haproxy not support http"),
]


@pytest.mark.parametrize("raw,protocol,code", REFUSED)
def test_refused_headers(proxy, raw, protocol, code):
    srv = proxy({"port0": {"listen_protocol": protocol}})
    assert read_all(sent(srv.port, raw)) == b""
    assert srv.code(code)


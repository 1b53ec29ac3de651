"""PROXY protocol intake: haproxy in front of quoxel with send-proxy and send-proxy-v2, and
hand-written headers for the cases haproxy never sends."""
import socket
import struct
import subprocess
import time

import pytest

from conftest import echo, free_port, recv_exact, wait_for
from test_http import Recorder, read_all


def config(port, protocol="auto", timeout=3000):
    return f"""[kni]
thread_num = 2
[quoxel]
ros_id = 1
src_timeout = {timeout}
dst_timeout = 3000
[port0]
addr = 127.0.0.1
port_start = {port}
port_end = {port}
allow_udp = 0
listen_protocol = {protocol}
auth = -1
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


def dial(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def v1(src="203.0.113.7", dst="198.51.100.1", sport=50000, dport=1080, proto="TCP4"):
    return f"PROXY {proto} {src} {dst} {sport} {dport}\r\n".encode()


SIG = b"\r\n\r\n\x00\r\nQUIT\n"


def v2(src="203.0.113.9", dst="198.51.100.1", sport=40000, dport=1080, cmd=0x21, fam=0x11,
       tlvs=b""):
    block = socket.inet_aton(src) + socket.inet_aton(dst) + struct.pack(">HH", sport, dport) + tlvs
    return SIG + bytes([cmd, fam]) + struct.pack(">H", len(block)) + block


S5_CONNECT = b"\x05\x01\x00\x01\x7f\x00\x00\x01"


def s5_request(port):
    return S5_CONNECT + struct.pack(">H", port)


@pytest.fixture
def haproxy(tmp_path):
    started = []

    def run(target_port, option):
        listen = free_port()
        cfg = tmp_path / f"haproxy-{listen}.cfg"
        cfg.write_text(f"""global
    maxconn 64
defaults
    mode tcp
    timeout connect 5s
    timeout client 30s
    timeout server 30s
listen front
    bind 127.0.0.1:{listen}
    server quoxel 127.0.0.1:{target_port} {option}
""")
        p = subprocess.Popen(["haproxy", "-db", "-f", str(cfg)], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
        started.append(p)

        def up():
            try:
                socket.create_connection(("127.0.0.1", listen), timeout=0.2).close()
                return True
            except OSError:
                return False
        assert wait_for(up)
        return listen

    yield run
    for p in started:
        p.kill()
        p.wait(5)


@pytest.mark.parametrize("option", ["send-proxy", "send-proxy-v2"])
def test_curl_through_haproxy(proxy, origin, dnsmasq, haproxy, option):
    dnsmasq({"origin.test": "127.0.0.1"}, nxdomain=["nx.test"])
    rec = Recorder(origin)
    front = haproxy(proxy.port, option)
    for args in (["-x", f"http://127.0.0.1:{front}"], ["-p", "-x", f"http://127.0.0.1:{front}"],
                 ["--socks5-hostname", f"127.0.0.1:{front}"]):
        out = subprocess.run(["curl", "-sS", "--max-time", "10", *args,
                              f"http://origin.test:{rec.port}/h"], capture_output=True, timeout=20)
        assert out.returncode == 0, (args, out.stderr)
        assert rec.requests[-1][0].startswith(b"GET /h HTTP/1.1\r\n")
    # The session's address is the real client's, as the header told it.
    out = subprocess.run(["curl", "-sS", "--max-time", "10", "--interface", "127.0.0.2", "-x",
                          f"http://127.0.0.1:{front}", "http://nx.test/"], capture_output=True,
                         timeout=20)
    assert b"638" in out.stdout
    assert proxy.wait_output("[127.0.0.2] user[http://")


@pytest.mark.parametrize("header", [v1(), v2(), v2(tlvs=b"\x04\x00\x03abc")])
def test_header_then_http_in_one_segment(proxy, origin, header):
    """Bytes past the header are the next protocol's, including what v1 read ahead."""
    rec = Recorder(origin)
    s = dial(proxy.port)
    s.sendall(header + b"GET http://127.0.0.1:%d/seg HTTP/1.1\r\n\r\n" % rec.port)
    assert read_all(s).startswith(b"HTTP/1.1 200 OK")
    assert rec.requests[-1][0] == b"GET /seg HTTP/1.1\r\nConnection: close\r\n\r\n"


@pytest.mark.parametrize("header", [v1(), v2()])
def test_header_then_socks5_greeting_in_one_segment(proxy, origin, header):
    o = origin(echo)
    s = dial(proxy.port)
    s.sendall(header + b"\x05\x01\x00")
    assert recv_exact(s, 2) == b"\x05\x00"
    s.sendall(s5_request(o.port))
    assert recv_exact(s, 10)[:2] == b"\x05\x00"
    s.sendall(b"ping")
    assert recv_exact(s, 4) == b"ping"


def test_header_then_nothing_then_another_protocol(proxy, origin):
    o = origin(echo)
    s = dial(proxy.port)
    s.sendall(v1())
    time.sleep(0.2)
    s.sendall(b"\x05\x01\x00" + s5_request(o.port))
    assert recv_exact(s, 12)[:4] == b"\x05\x00\x05\x00"
    # A header behind a header is dispatched like a first byte too.
    rec = Recorder(origin)
    s = dial(proxy.port)
    s.sendall(v2(src="10.0.0.9"))  # the second header's sender must be trusted too
    time.sleep(0.2)
    s.sendall(v1() + b"POST http://127.0.0.1:%d/p HTTP/1.1\r\nContent-Length: 2\r\n\r\nok" % rec.port)
    assert read_all(s).startswith(b"HTTP/1.1 200 OK")
    assert rec.requests[-1] == (
        b"POST /p HTTP/1.1\r\nContent-Length: 2\r\nConnection: close\r\n\r\n", b"ok")


def test_header_then_silence_is_closed(quoxel):
    srv = start(quoxel, timeout=300)
    for header in (v1(), v2()):
        s = dial(srv.port)
        s.sendall(header)
        began = time.monotonic()
        assert read_all(s) == b""
        assert time.monotonic() - began < 5
    assert srv.wait_output("code[605] msg[wait client data timeout]")
    s = dial(srv.port)
    s.sendall(b"PROXY TCP4 1.2.3.4")
    assert read_all(s) == b""
    assert srv.wait_output("code[607] msg[haproxy get header timeout]")


@pytest.mark.parametrize("raw,message", [
    (v1(proto="TCP6", src="::1", dst="::1"), "haproxy v1 protocol don't support"),
    (b"PROXY UNKNOWN\r\n" + b"x" * 40, "haproxy v1 protocol don't support"),
    (b"PROXY TCP4 1.2.3.4 5.6.7.8 1 65536\r\n", "haproxy v1 addr parse failed"),
    (b"PROXY TCP4 " + b"1" * 60, "haproxy v1 read max header but no end mark"),
    (v2(cmd=0x20), "haproxy v2 ver_cmd error"),
    (v2(fam=0x21), "haproxy v2 fam error"),
    (SIG + b"\x21\x11\x00\x0b" + b"\x00" * 11, "haproxy v2 addr info miss"),
    (b"\r\nGET / HTTP/1.1\r\n\r\n", "haproxy v2 header 12 bytes error"),
])
def test_bad_headers_are_closed_without_a_reply(proxy, raw, message):
    s = dial(proxy.port)
    s.sendall(raw)
    assert read_all(s) == b""
    assert proxy.wait_output(f"code[607] msg[{message}]")


def test_protocol_behind_the_header_is_checked_against_the_port(quoxel, origin):
    rec = Recorder(origin)
    http_only = start(quoxel, protocol="http")
    s = dial(http_only.port)
    s.sendall(b"POST http://127.0.0.1:%d/x HTTP/1.1\r\nContent-Length: 0\r\n\r\n" % rec.port)
    assert read_all(s).startswith(b"HTTP/1.1 200 OK")
    s = dial(http_only.port)
    s.sendall(v1() + b"\x05\x01\x00")
    assert read_all(s) == b""
    assert http_only.wait_output("code[603] msg[haproxy not support socks5]")

    socks_only = start(quoxel, protocol="socks5")
    for raw in (b"POST http://127.0.0.1/ HTTP/1.1\r\n\r\n", v1() + b"GET http://x/ HTTP/1.1\r\n\r\n"):
        s = dial(socks_only.port)
        s.sendall(raw)
        assert read_all(s) == b""
    assert socks_only.wait_output("code[603] msg[haproxy not support http]")


def test_addresses_from_the_header_reach_the_log(proxy, dnsmasq):
    dnsmasq({}, nxdomain=["nx.test"])
    for header, ip in ((v1(src="203.0.113.7"), "203.0.113.7"), (v2(src="192.0.2.44"), "192.0.2.44")):
        s = dial(proxy.port)
        s.sendall(header + b"GET http://nx.test/ HTTP/1.1\r\n\r\n")
        assert b"ErrorCode:638" in read_all(s)
        assert proxy.wait_output(f"[{ip}] user[http://:@198.51.100.1:1080]")

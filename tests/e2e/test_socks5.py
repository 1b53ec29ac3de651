"""SOCKS5: curl and python3-socks, a table of exchanges, integrity and back-pressure of the relay."""
import hashlib
import os
import socket
import struct
import threading
import time

import pytest

from conftest import (black_hole, closed, curl, dial, echo, free_port, http_origin, read_all,
                      recv_exact, s5_request, wait_for)

BODY = b"quoxel origin body\n" * 100
OPEN = {"kni": {"thread_num": 4}, "quoxel": {"src_timeout": 600, "dst_timeout": 600},
        "port0": {"listen_protocol": "socks5"}}


def sent(port, data, timeout=5):
    """A new connection to `port` that has sent `data` (or was refused first: the answer tells)."""
    s = dial(port, timeout=timeout)
    try:
        s.sendall(data)
    except (BrokenPipeError, ConnectionResetError):
        pass
    return s


@pytest.fixture
def srv(proxy):
    return proxy(OPEN)


def test_real_clients(srv, origin, dnsmasq):
    import socks
    dnsmasq({"origin.test": "127.0.0.1"})
    o = origin(http_origin(BODY))
    out = curl("--socks5-hostname", f"127.0.0.1:{srv.port}", f"http://origin.test.:{o.port}/")
    assert (out.returncode, out.stdout) == (0, BODY), out.stderr
    e = origin(echo)
    s = socks.create_connection(("127.0.0.1", e.port), 5, proxy_type=socks.SOCKS5,
                                proxy_addr="127.0.0.1", proxy_port=srv.port)
    s.sendall(b"ping")
    assert recv_exact(s, 4) == b"ping"


REFUSED = free_port()
# (what the client sends, what it must receive before the close, the session line's code)
EXCHANGES = [
    (b"\x05\x01\x01", b"\x05\xff", None),                                # nothing acceptable
    (b"\x05\x00\x00", b"\x05\xff", None),                                # no methods
    (b"\x05\x01\x00" + s5_request("127.0.0.1", 80, cmd=2), b"\x05\x00\x05\x07" + bytes(8), None),  # bind
    (b"\x05\x01\x00\x05\x01\x00\x09" + bytes(6), b"\x05\x00\x05\x08" + bytes(8), None),   # bad atyp
    (b"\x05\x01\x00\x05\x01\x00\x04" + bytes(18), b"\x05\x00\x05\x08" + bytes(8), None),  # IPv6 off
    (b"\x05\x01\x00\x05\x01\x00\x03\x00\x00\x50", b"\x05\x00\x05\x08" + bytes(8), None),  # empty name
    (b"\x05\x01\x00" + s5_request("nx.test", 80), b"\x05\x00\x05\x04" + bytes(8), 638),
    (b"\x05\x01\x00" + s5_request("127.0.0.1", REFUSED), b"\x05\x00\x05\x03" + bytes(8), 612),
    (b"\x05\x00", b"\x05\x06" + bytes(8), 619),                          # silence after it
]


@pytest.mark.parametrize("send,answer,code", EXCHANGES)
def test_exchanges(srv, dnsmasq, send, answer, code):
    dnsmasq({}, nxdomain=["nx.test"])
    assert read_all(sent(srv.port, send)) == answer
    if code:
        assert srv.code(code)


def test_unanswered_connect_and_the_bound_address(srv, origin):
    hole_port, _keep = black_hole()
    s = sent(srv.port, b"\x05\x01\x00" + s5_request("127.0.0.1", hole_port))
    assert read_all(s) == b"\x05\x00\x05\x04" + bytes(8)
    assert srv.code("635] msg[s5 tcp connect dst timeout")
    seen = []
    o = origin(lambda conn: (seen.append(conn.getpeername()), echo(conn)))
    s = sent(srv.port, b"\x05\x01\x00" + s5_request("127.0.0.1", o.port))
    reply = recv_exact(s, 12)[2:]
    assert reply[:4] == b"\x05\x00\x00\x01"
    assert wait_for(lambda: seen)
    assert (socket.inet_ntoa(reply[4:8]), struct.unpack(">H", reply[8:10])[0]) == seen[0]


def test_pipelined_greeting_and_request_on_workers(srv, origin):
    o = origin(echo)
    for i in range(50):
        payload = b"pipelined %d" % i
        s = sent(srv.port, b"\x05\x01\x00" + s5_request("127.0.0.1", o.port) + payload)
        assert recv_exact(s, 12)[:4] == b"\x05\x00\x05\x00"
        assert recv_exact(s, len(payload)) == payload


@pytest.mark.parametrize("early", [b"", b"early bytes before the reply"])
def test_proxy_header_greeting_request_and_data_in_one_segment(srv, origin, early):
    o = origin(echo)
    s = sent(srv.port, b"PROXY TCP4 10.1.2.3 127.0.0.1 40000 %d\r\n" % srv.port + b"\x05\x01\x00" +
             s5_request("127.0.0.1", o.port) + early)
    assert recv_exact(s, 12)[:4] == b"\x05\x00\x05\x00"
    assert recv_exact(s, len(early)) == early
    s.sendall(b"after")
    assert recv_exact(s, 5) == b"after"


def tunnel(port, dport, timeout=60):
    s = sent(port, b"\x05\x01\x00" + s5_request("127.0.0.1", dport), timeout)
    assert recv_exact(s, 12)[:4] == b"\x05\x00\x05\x00"
    return s


def test_parallel_sessions_keep_every_byte(proxy, origin):
    # QUOXEL_E2E_SESSIONS, QUOXEL_E2E_BULK and QUOXEL_E2E_RELAY_BUFFER turn it into a soak run.
    env = os.environ.get
    quoxel = {"src_timeout": 30000, "relay_buffer": env("QUOXEL_E2E_RELAY_BUFFER")}  # slow threads
    srv = proxy(OPEN, {"quoxel": quoxel})
    o = origin(echo)
    size = int(env("QUOXEL_E2E_BULK", 4 << 20))
    errors = []

    def session(i):
        try:
            data = os.urandom(size)
            s = tunnel(srv.port, o.port)
            sender = threading.Thread(target=s.sendall, args=(data,))
            sender.start()
            got, left = hashlib.sha256(), size
            while left:
                chunk = s.recv(min(left, 1 << 16))
                assert chunk, f"closed with {left} bytes missing"
                got.update(chunk)
                left -= len(chunk)
            sender.join()
            assert got.digest() == hashlib.sha256(data).digest()
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(f"{i}: {e!r}")

    threads = [threading.Thread(target=session, args=(i,))
               for i in range(int(env("QUOXEL_E2E_SESSIONS", 20)))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not errors


def rss_kb(pid):
    return int(next(l for l in open(f"/proc/{pid}/status") if l.startswith("VmRSS:")).split()[1])


def test_stalled_destination_blocks_the_client_and_memory_stays_flat(srv, origin):
    stop = threading.Event()
    s = tunnel(srv.port, origin(lambda conn: stop.wait(30)).port)  # accepts, never reads
    s.setblocking(False)
    before = rss_kb(srv.proc.pid)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            s.send(b"x" * 65536)
        except BlockingIOError:
            time.sleep(0.2)
            try:
                s.send(b"x" * 65536)
            except BlockingIOError:
                break
    assert time.monotonic() < deadline, "the client never blocked"
    assert rss_kb(srv.proc.pid) - before < 4096
    stop.set()


def test_origin_closing_after_a_large_response_reaches_a_slow_client(srv, origin):
    blob = os.urandom(1 << 20)

    def send_and_close(conn):
        for _ in range(50):
            conn.sendall(blob)
    s = tunnel(srv.port, origin(send_and_close).port)
    time.sleep(1)  # the origin finishes and closes while the client has read almost nothing
    data = read_all(s)
    assert len(data) == 50 << 20 and hashlib.sha256(data).digest() == hashlib.sha256(blob * 50).digest()
    assert closed(s)

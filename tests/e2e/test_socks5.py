"""SOCKS5 through the real binary: curl and python3-socks, byte-level negotiation cases,
connect failures, integrity and back-pressure of the relay."""
import hashlib
import os
import socket
import struct
import subprocess
import threading
import time

import pytest

from conftest import black_hole, echo, free_port, http_origin, recv_exact, wait_for

BODY = b"quoxel origin body\n" * 100


def config(port, threads=4, extra="", timeout=600):
    return f"""[kni]
thread_num = {threads}
[quoxel]
ros_id = 1
src_timeout = {timeout}
dst_timeout = {timeout}
{extra}
[port0]
addr = 127.0.0.1
port_start = {port}
port_end = {port}
allow_udp = 0
listen_protocol = socks5
auth = -1
"""


@pytest.fixture
def proxy(quoxel):
    port = free_port()
    srv = quoxel(config(port))
    assert srv.wait_listen(port)
    srv.port = port
    return srv


def dial(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def request(host, port, cmd=1):
    """A CONNECT (or other command) request for an IPv4 literal or a domain name."""
    try:
        return b"\x05" + bytes([cmd]) + b"\x00\x01" + socket.inet_aton(host) + struct.pack(">H", port)
    except OSError:
        name = host.encode()
        return b"\x05" + bytes([cmd]) + b"\x00\x03" + bytes([len(name)]) + name + struct.pack(">H", port)


def closed(s):
    try:
        return s.recv(1) == b""
    except (ConnectionResetError, socket.timeout):
        return True


def test_curl_fetches_through_the_proxy(proxy, origin, dnsmasq):
    dnsmasq({"origin.test": "127.0.0.1"})
    o = origin(http_origin(BODY))
    for flag, host in (("--socks5-hostname", "origin.test"), ("--socks5", "127.0.0.1"),
                       ("--socks5-hostname", "origin.test.")):
        out = subprocess.run(["curl", "-sS", "--max-time", "10", flag, f"127.0.0.1:{proxy.port}",
                              f"http://{host}:{o.port}/"], capture_output=True, timeout=20)
        assert out.returncode == 0, out.stderr
        assert out.stdout == BODY


def test_python_socks_client(proxy, origin):
    import socks
    o = origin(echo)
    s = socks.socksocket()
    s.set_proxy(socks.SOCKS5, "127.0.0.1", proxy.port)
    s.settimeout(5)
    s.connect(("127.0.0.1", o.port))
    s.sendall(b"ping")
    assert recv_exact(s, 4) == b"ping"
    s.close()


@pytest.mark.parametrize("greeting,reply,then_closed", [
    (b"\x05\x01\x00", b"\x05\x00", False),          # no authentication on an open port
    (b"\x05\x02\x00\x02", b"\x05\x02", False),      # username/password preferred
    (b"\x05\x01\x01", b"\x05\xff", True),           # nothing acceptable
    (b"\x05\x00\x00", b"\x05\xff", True),           # no methods; answered on the third byte
])
def test_method_choice(proxy, greeting, reply, then_closed):
    s = dial(proxy.port)
    s.sendall(greeting)
    assert recv_exact(s, 2) == reply
    if then_closed:
        assert closed(s)


def test_empty_credentials_are_accepted_on_an_open_port(proxy, origin):
    o = origin(echo)
    s = dial(proxy.port)
    s.sendall(b"\x05\x01\x02" + b"\x01\x00\x00" + request("127.0.0.1", o.port) + b"hi")
    assert recv_exact(s, 2) == b"\x05\x02"
    assert recv_exact(s, 2) == b"\x01\x00"
    assert recv_exact(s, 10)[:2] == b"\x05\x00"
    assert recv_exact(s, 2) == b"hi"


@pytest.mark.parametrize("req,rep", [
    (request("127.0.0.1", 80, cmd=2), 0x07),                       # BIND
    (b"\x05\x01\x00\x09" + b"\x00" * 6, 0x08),                     # unknown address type
    (b"\x05\x01\x00\x04" + b"\x00" * 18, 0x08),                    # IPv6 without ipv6_model
    (b"\x05\x01\x00\x03\x00\x00\x50", 0x08),                       # empty domain
    (request("nx.test", 80), 0x04),                                # NXDOMAIN
])
def test_request_failures(proxy, dnsmasq, req, rep):
    dnsmasq({}, nxdomain=["nx.test"])
    s = dial(proxy.port)
    s.sendall(b"\x05\x01\x00" + req)
    assert recv_exact(s, 2) == b"\x05\x00"
    assert recv_exact(s, 10) == bytes([5, rep, 0, 0]) + b"\x00" * 6
    assert closed(s)


def test_silent_client_gets_ttl_expired(proxy):
    s = dial(proxy.port)
    s.sendall(b"\x05\x00")
    assert recv_exact(s, 10) == b"\x05\x06" + b"\x00" * 8
    assert proxy.wait_output("code[619] msg[s5 on client conn timeout]")


def test_refused_port_and_unanswered_connect(proxy):
    refused = free_port()
    s = dial(proxy.port)
    s.sendall(b"\x05\x01\x00" + request("127.0.0.1", refused))
    assert recv_exact(s, 12) == b"\x05\x00" + b"\x05\x03" + b"\x00" * 8
    hole_port, _keep = black_hole()  # the connect times out
    s = dial(proxy.port)
    s.sendall(b"\x05\x01\x00" + request("127.0.0.1", hole_port))
    assert recv_exact(s, 12) == b"\x05\x00" + b"\x05\x04" + b"\x00" * 8
    assert proxy.wait_output("code[635] msg[s5 tcp connect dst timeout]")


def test_success_reply_names_the_outgoing_socket(proxy, origin):
    seen = []
    o = origin(lambda conn: (seen.append(conn.getpeername()), echo(conn)))
    s = dial(proxy.port)
    s.sendall(b"\x05\x01\x00" + request("127.0.0.1", o.port))
    reply = recv_exact(s, 12)[2:]
    assert reply[:4] == b"\x05\x00\x00\x01"
    bound = (socket.inet_ntoa(reply[4:8]), struct.unpack(">H", reply[8:10])[0])
    wait_for(lambda: seen)
    assert bound == seen[0]


def test_pipelined_greeting_and_request_on_workers(proxy, origin):
    o = origin(echo)
    for i in range(50):
        s = dial(proxy.port)
        payload = b"pipelined %d" % i
        s.sendall(b"\x05\x01\x00" + request("127.0.0.1", o.port) + payload)
        head = recv_exact(s, 12)
        assert head[:4] == b"\x05\x00\x05\x00", head
        assert recv_exact(s, len(payload)) == payload
        s.close()


def test_parallel_sessions_keep_every_byte(quoxel, origin):
    # Under load the test's own threads are slow to speak: no short handshake timeouts here.
    port = free_port()
    relay = os.environ.get("QUOXEL_E2E_RELAY_BUFFER")
    proxy = quoxel(config(port, timeout=30000, extra=f"relay_buffer = {relay}" if relay else ""))
    assert proxy.wait_listen(port)
    proxy.port = port
    o = origin(echo)
    size = int(os.environ.get("QUOXEL_E2E_BULK", 4 << 20))
    errors = []

    def session(i):
        try:
            data = os.urandom(size)
            s = dial(proxy.port)
            s.settimeout(60)
            s.sendall(b"\x05\x01\x00" + request("127.0.0.1", o.port))
            assert recv_exact(s, 12)[:4] == b"\x05\x00\x05\x00"
            sender = threading.Thread(target=s.sendall, args=(data,))
            sender.start()
            got = hashlib.sha256()
            left = size
            while left:
                chunk = s.recv(min(left, 1 << 16))
                assert chunk
                got.update(chunk)
                left -= len(chunk)
            sender.join()
            assert got.digest() == hashlib.sha256(data).digest()
            s.close()
        except Exception as e:  # noqa: BLE001 - reported below
            errors.append(f"{i}: {e!r}")

    threads = [threading.Thread(target=session, args=(i,)) for i in range(int(os.environ.get("QUOXEL_E2E_SESSIONS", 20)))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not errors


def rss_kb(pid):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    return 0


def test_stalled_destination_blocks_the_client_and_memory_stays_flat(proxy, origin):
    stop = threading.Event()
    o = origin(lambda conn: stop.wait(30))  # accepts, never reads
    s = dial(proxy.port)
    s.sendall(b"\x05\x01\x00" + request("127.0.0.1", o.port))
    assert recv_exact(s, 12)[:4] == b"\x05\x00\x05\x00"
    s.setblocking(False)
    before = rss_kb(proxy.proc.pid)
    sent = 0
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            sent += s.send(b"x" * 65536)
        except BlockingIOError:
            time.sleep(0.2)
            try:
                sent += s.send(b"x" * 65536)
            except BlockingIOError:
                break
    assert time.monotonic() < deadline, "the client never blocked"
    assert rss_kb(proxy.proc.pid) - before < 4096, (before, sent)
    stop.set()


def test_origin_closing_after_a_large_response_reaches_a_slow_client(proxy, origin):
    size = 50 << 20
    blob = os.urandom(1 << 20)
    digest = hashlib.sha256(blob * 50).hexdigest()

    def send_and_close(conn):
        for _ in range(size // len(blob)):
            conn.sendall(blob)
    o = origin(send_and_close)
    s = dial(proxy.port)
    s.settimeout(60)
    s.sendall(b"\x05\x01\x00" + request("127.0.0.1", o.port))
    assert recv_exact(s, 12)[:4] == b"\x05\x00\x05\x00"
    time.sleep(1)  # let the origin finish and close while we have read almost nothing
    got = hashlib.sha256()
    total = 0
    while True:
        chunk = s.recv(1 << 16)
        if not chunk:
            break
        got.update(chunk)
        total += len(chunk)
    assert total == size
    assert got.hexdigest() == digest


@pytest.mark.parametrize("early", [b"", b"early bytes before the reply"])
def test_proxy_header_greeting_request_and_data_in_one_segment(proxy, origin, early):
    o = origin(echo)
    header = b"PROXY TCP4 10.1.2.3 127.0.0.1 40000 %d\r\n" % proxy.port
    s = dial(proxy.port)
    s.sendall(header + b"\x05\x01\x00" + request("127.0.0.1", o.port) + early)
    assert recv_exact(s, 12)[:4] == b"\x05\x00\x05\x00"
    if early:
        assert recv_exact(s, len(early)) == early
    s.sendall(b"after")
    assert recv_exact(s, 5) == b"after"

"""SOCKS5 UDP ASSOCIATE through the real binary: a UDP echo reached directly and through danted,
the headers on the way back, and datagrams that must be dropped without ending the
association (short, lying, fragments, other destinations, other senders, foreign answers)."""
import socket
import struct
import subprocess
import threading
import time

import pytest

from conftest import free_port, recv_exact, wait_for
from test_upstream import danted, daemons  # noqa: F401  (fixture)


def config(port, allow_udp=1, forward="none", extra_port=""):
    return f"""[kni]
thread_num = 2
[quoxel]
ros_id = 1
src_timeout = 3000
dst_timeout = 3000
[port0]
addr = 127.0.0.1
port_start = {port}
port_end = {port}
allow_udp = {allow_udp}
listen_protocol = socks5
auth = -1
forward = {forward}
{extra_port}
"""


class UdpEcho:
    """Echoes every datagram and remembers where they came from."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.sources = []
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while True:
            try:
                data, src = self.sock.recvfrom(65536)
            except OSError:
                return
            self.sources.append(src)
            self.sock.sendto(data, src)

    def stop(self):
        self.sock.close()


@pytest.fixture
def udp_echo():
    started = []

    def start():
        e = UdpEcho()
        started.append(e)
        return e
    yield start
    for e in started:
        e.stop()


def associate(port):
    """Negotiates an association; returns (control socket, reply bytes)."""
    ctl = socket.create_connection(("127.0.0.1", port), timeout=5)
    ctl.sendall(b"\x05\x01\x00")
    assert recv_exact(ctl, 2) == b"\x05\x00"
    ctl.sendall(b"\x05\x03\x00\x01\x00\x00\x00\x00\x00\x00")
    return ctl, recv_exact(ctl, 10)


def header(host, port, frag=0):
    try:
        addr = b"\x01" + socket.inet_aton(host)
    except OSError:
        addr = b"\x03" + bytes([len(host)]) + host.encode()
    return b"\x00\x00" + bytes([frag]) + addr + struct.pack(">H", port)


def client_socket(source="127.0.0.1"):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((source, 0))
    s.settimeout(3)
    return s


def quiet(sock, wait=0.3):
    sock.settimeout(wait)
    try:
        data = sock.recv(65536)
    except socket.timeout:
        return True
    finally:
        sock.settimeout(3)
    return data == b""


@pytest.fixture
def proxy(quoxel):
    port = free_port()
    srv = quoxel(config(port))
    assert srv.wait_listen(port)
    srv.port = port
    return srv


def test_reply_names_the_local_address_and_a_new_port(proxy):
    ctl, reply = associate(proxy.port)
    assert reply[:8] == b"\x05\x00\x00\x01" + socket.inet_aton("127.0.0.1")
    relay_port = struct.unpack(">H", reply[8:])[0]
    assert relay_port not in (0, proxy.port)


def test_port_without_udp_refuses_with_rep_2(quoxel):
    port = free_port()
    srv = quoxel(config(port, allow_udp=0))
    assert srv.wait_listen(port)
    _, reply = associate(port)
    assert reply[:2] == b"\x05\x02"


@pytest.mark.parametrize("host", ["127.0.0.1", "udp.test", "udp.test."])
def test_echo_round_trip_keeps_the_first_header(proxy, udp_echo, dnsmasq, host):
    dnsmasq({"udp.test": "127.0.0.1"})
    echo = udp_echo()
    ctl, reply = associate(proxy.port)
    relay = ("127.0.0.1", struct.unpack(">H", reply[8:])[0])
    c = client_socket()
    head = header(host, echo.port)
    for payload in (b"first", b"x" * 1400, b"third"):
        c.sendto(head + payload, relay)
        data, src = c.recvfrom(65536)
        assert src == relay
        assert data == head + payload
    assert len(echo.sources) == 3 and len(set(echo.sources)) == 1


def test_bad_datagrams_are_dropped_and_the_association_lives_on(proxy, udp_echo):
    echo = udp_echo()
    other = udp_echo()
    ctl, reply = associate(proxy.port)
    relay = ("127.0.0.1", struct.unpack(">H", reply[8:])[0])
    c = client_socket()
    head = header("127.0.0.1", echo.port)
    # Before the destination is known: junk must neither end nor fix the association.
    for junk in (b"\x00\x00", b"\x00\x00\x00\x03\xc8abc", head[:8], header("127.0.0.1", 9, frag=1) + b"f"):
        c.sendto(junk, relay)
    c.sendto(head + b"one", relay)
    assert c.recvfrom(65536)[0] == head + b"one"
    drops = [
        b"\x00\x00\x00",                                   # shorter than any header
        b"\x00\x00\x00\x03\xc8abc",                        # claims a 200-byte name in 8 bytes
        head[:9],                                          # shorter than its own header
        header("127.0.0.1", echo.port, frag=1) + b"frag",  # a fragment
        header("127.0.0.1", other.port) + b"elsewhere",    # another destination
        header("other.test", echo.port) + b"byname",       # another destination by name
        b"\x00\x00\x00\x04" + bytes(18) + b"v6",           # IPv6 destination
    ]
    for d in drops:
        c.sendto(d, relay)
    # Another host (127.0.0.2 is loopback too) may not use the association.
    stranger = client_socket("127.0.0.2")
    stranger.sendto(head + b"stranger", relay)
    assert quiet(c) and quiet(stranger)
    c.sendto(head + b"two", relay)
    assert c.recvfrom(65536)[0] == head + b"two"
    assert other.sources == []
    assert len(echo.sources) == 2


def test_answers_only_from_the_destination(proxy, udp_echo):
    echo = udp_echo()
    ctl, reply = associate(proxy.port)
    relay = ("127.0.0.1", struct.unpack(">H", reply[8:])[0])
    c = client_socket()
    head = header("127.0.0.1", echo.port)
    c.sendto(head + b"hello", relay)
    assert c.recvfrom(65536)[0] == head + b"hello"
    outgoing = echo.sources[0]  # the association's socket towards the destination
    intruder = client_socket()
    intruder.sendto(b"spoofed answer", outgoing)
    assert quiet(c)
    c.sendto(head + b"again", relay)
    assert c.recvfrom(65536)[0] == head + b"again"


def test_through_danted(quoxel, udp_echo, daemons, tmp_path):  # noqa: F811
    echo = udp_echo()
    up = danted(tmp_path, daemons)
    port = free_port()
    srv = quoxel(config(port, forward=f"socks5://127.0.0.1:{up}"))
    assert srv.wait_listen(port)
    ctl, reply = associate(port)
    assert reply[:2] == b"\x05\x00", srv.output()
    relay = ("127.0.0.1", struct.unpack(">H", reply[8:])[0])
    c = client_socket()
    head = header("127.0.0.1", echo.port)
    for payload in (b"via danted", b"y" * 1000):
        c.sendto(head + payload, relay)
        data = c.recvfrom(65536)[0]
        # The upstream's own header comes back with the answer.
        assert data.endswith(payload)
        assert data[:4] == b"\x00\x00\x00\x01" and data[4:10] == socket.inet_aton("127.0.0.1") + struct.pack(">H", echo.port)
    # A datagram naming another destination never reaches the upstream.
    other = udp_echo()
    c.sendto(header("127.0.0.1", other.port) + b"bypass", relay)
    assert quiet(c)
    assert other.sources == []


def test_upstream_announcing_a_domain_relay_address(quoxel, udp_echo, origin, dnsmasq):
    """A scripted upstream answers the association with a domain-form bound address (the reply
    longer than 10 bytes) and runs the relay itself."""
    dnsmasq({"relay.test": "127.0.0.1"})
    echo = udp_echo()
    relay_sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    relay_sock.bind(("127.0.0.1", 0))
    relay_port = relay_sock.getsockname()[1]
    seen = []

    def upstream_relay():
        try:
            data, src = relay_sock.recvfrom(65536)
        except OSError:
            return
        seen.append(data)
        relay_sock.sendto(b"\x00\x00\x00\x01" + bytes(6) + b"from upstream", src)
    threading.Thread(target=upstream_relay, daemon=True).start()

    def script(conn):
        assert conn.recv(16) == b"\x05\x01\x00"
        conn.sendall(b"\x05\x00")
        seen.append(recv_exact(conn, 10))
        conn.sendall(b"\x05\x00\x00\x03\x0arelay.test" + struct.pack(">H", relay_port))
        conn.recv(1)
    up = origin(script)
    port = free_port()
    srv = quoxel(config(port, forward=f"socks5://127.0.0.1:{up.port}"))
    assert srv.wait_listen(port)
    ctl, reply = associate(port)
    assert reply[:2] == b"\x05\x00", srv.output()
    c = client_socket()
    relay = ("127.0.0.1", struct.unpack(">H", reply[8:])[0])
    head = header("127.0.0.1", echo.port)
    c.sendto(head + b"ping", relay)
    assert c.recvfrom(65536)[0] == b"\x00\x00\x00\x01" + bytes(6) + b"from upstream"
    assert seen[0] == b"\x05\x03\x00\x01" + bytes(6)
    assert seen[1] == head + b"ping"  # forwarded unchanged, header included
    relay_sock.close()


def test_bucket_pause_holds_datagrams_and_resumes(quoxel, udp_echo):
    """A user limited to 100000 bytes a second: each datagram over the budget waits for the pause
    timer instead of being lost, and reading resumes afterwards."""
    echo = udp_echo()
    port = free_port()
    srv = quoxel(f"""[kni]
thread_num = 2
[quoxel]
ros_id = 1
src_timeout = 3000
dst_timeout = 3000
[auth0]
type = local
user1 = slow:slow-pw
rate_limit1 = 100000
[port0]
addr = 127.0.0.1
port_start = {port}
port_end = {port}
allow_udp = 1
listen_protocol = socks5
auth = 0
""")
    assert srv.wait_listen(port)
    ctl = socket.create_connection(("127.0.0.1", port), timeout=5)
    ctl.sendall(b"\x05\x01\x02")
    assert recv_exact(ctl, 2) == b"\x05\x02"
    ctl.sendall(b"\x01\x04slow\x07slow-pw")
    assert recv_exact(ctl, 2) == b"\x01\x00"
    ctl.sendall(b"\x05\x03\x00\x01\x00\x00\x00\x00\x00\x00")
    reply = recv_exact(ctl, 10)
    assert reply[:2] == b"\x05\x00", srv.output()
    relay = ("127.0.0.1", struct.unpack(">H", reply[8:])[0])
    c = client_socket()
    c.settimeout(5)
    head = header("127.0.0.1", echo.port)
    start = time.monotonic()
    for i in range(40):
        payload = bytes([i]) * 10000
        c.sendto(head + payload, relay)
        assert c.recvfrom(65536)[0] == head + payload
    # 400 kB each way at 100 kB/s, less the 200 kB the bucket holds at the start: 2 s.
    assert time.monotonic() - start > 1.5

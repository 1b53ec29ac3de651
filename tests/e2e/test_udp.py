"""SOCKS5 UDP ASSOCIATE: directly and through danted, and datagrams dropped with the association alive."""
import socket
import struct
import time

from conftest import USERS, s5_addr, s5_connect

UDP = {"port0": {"allow_udp": 1, "listen_protocol": "socks5"}}


def associate(port, user=None, password=None):
    """Negotiates an association: (control socket, reply, relay address)."""
    ctl, reply = s5_connect(port, "0.0.0.0", 0, user, password, cmd=3)
    return ctl, reply, ("127.0.0.1", struct.unpack(">H", reply[8:])[0])


def header(host, port, frag=0):
    return b"\x00\x00" + bytes([frag]) + s5_addr(host, port)


def client(source="127.0.0.1", timeout=3):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((source, 0))
    s.settimeout(timeout)
    return s


def quiet(sock, wait=0.3):
    sock.settimeout(wait)
    try:
        return sock.recv(65536) == b""
    except socket.timeout:
        return True
    finally:
        sock.settimeout(3)


def test_reply_and_a_port_without_udp(proxy):
    srv = proxy(UDP)
    _, reply, relay = associate(srv.port)
    assert reply[:8] == b"\x05\x00\x00\x01" + socket.inet_aton("127.0.0.1")
    assert relay[1] not in (0, srv.port)
    assert associate(proxy().port)[1][:2] == b"\x05\x02"


def test_bad_datagrams_are_dropped_and_the_association_lives_on(proxy, udp_echo):
    echo, other = udp_echo(), udp_echo()
    _, _, relay = associate(proxy(UDP).port)
    c = client()
    head = header("127.0.0.1", echo.port)
    # Before the destination is known: junk must neither end nor fix the association.
    for junk in (b"\x00\x00", b"\x00\x00\x00\x03\xc8abc", head[:8], header("127.0.0.1", 9, 1) + b"f"):
        c.sendto(junk, relay)
    c.sendto(head + b"one", relay)
    assert c.recvfrom(65536)[0] == head + b"one"
    for d in (b"\x00\x00\x00",                                 # shorter than any header
              b"\x00\x00\x00\x03\xc8abc",                      # claims a 200-byte name in 8 bytes
              head[:9],                                        # shorter than its own header
              header("127.0.0.1", echo.port, 1) + b"frag",     # a fragment
              header("127.0.0.1", other.port) + b"elsewhere",  # another destination
              header("other.test", echo.port) + b"byname",     # another destination by name
              b"\x00\x00\x00\x04" + bytes(18) + b"v6"):        # IPv6 destination
        c.sendto(d, relay)
    stranger = client("127.0.0.2")  # another host may not use the association
    stranger.sendto(head + b"stranger", relay)
    assert quiet(c) and quiet(stranger)
    # Answers come only from the destination.
    client().sendto(b"spoofed answer", echo.sources[0])
    assert quiet(c)
    c.sendto(head + b"two", relay)
    assert c.recvfrom(65536)[0] == head + b"two"
    assert other.sources == [] and len(echo.sources) == 2


def test_through_danted(proxy, udp_echo, daemons):
    echo, other = udp_echo(), udp_echo()
    srv = proxy(UDP, {"port0": {"forward": f"socks5://127.0.0.1:{daemons('danted')}"}})
    _, reply, relay = associate(srv.port)
    assert reply[:2] == b"\x05\x00"
    c = client(timeout=1)
    for payload in (b"via danted", b"y" * 1000):
        # Up to three tries: a loaded machine may drop a datagram. The upstream's header comes back.
        answer = None
        for _ in range(3):
            c.sendto(header("127.0.0.1", echo.port) + payload, relay)
            try:
                answer = c.recvfrom(65536)[0]
                break
            except TimeoutError:
                continue
        assert answer == b"\x00\x00\x00" + s5_addr("127.0.0.1", echo.port) + payload
    c.sendto(header("127.0.0.1", other.port) + b"bypass", relay)  # never reaches the upstream
    assert quiet(c) and other.sources == []


def test_bucket_pause_holds_datagrams_and_resumes(proxy, udp_echo):
    """bob's 100000 bytes a second: datagrams over the budget wait for the pause, none is lost."""
    echo = udp_echo()
    _, reply, relay = associate(proxy(UDP, USERS).port, "bob", "bob-pw")
    assert reply[:2] == b"\x05\x00"
    c = client(timeout=5)
    head = header("127.0.0.1", echo.port)
    start = time.monotonic()
    for i in range(40):
        c.sendto(head + bytes([i]) * 10000, relay)
        assert c.recvfrom(65536)[0] == head + bytes([i]) * 10000
    # 400 kB each way at 100 kB/s, less the 200 kB the bucket holds at the start: 2 s.
    assert time.monotonic() - start > 1.5

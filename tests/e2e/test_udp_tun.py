"""The UDP-over-TCP tunnel (command 0xF3) through the real binary, frames to a UDP echo and back."""
import socket
import struct
import time

import pytest

from conftest import USERS, recv_exact, s5_addr, s5_connect, tun_frame

SO_RCVBUFFORCE = 33
TUN = {"port0": {"allow_udp": 1, "listen_protocol": "socks5"}}


def tunnel(port):
    s, reply = s5_connect(port, "0.0.0.0", 0, cmd=0xF3)
    assert reply[:4] == b"\x05\x00\x00\x01", reply
    return s


def read_frame(s):
    head = recv_exact(s, 10)
    return head, recv_exact(s, struct.unpack(">H", head[:2])[0])


def test_echo_round_trip_every_cut(proxy, udp_echo):
    echo, srv = udp_echo(), proxy(TUN)
    s = tunnel(srv.port)
    # The first frame checks the destination; then a frame cut at every byte.
    s.sendall(tun_frame(echo.port, b"hello"))
    assert read_frame(s) == (struct.pack(">H", 5) + b"\x00" + s5_addr("127.0.0.1", echo.port), b"hello")
    f = tun_frame(echo.port, b"split-at-every-byte")
    for i in range(len(f)):
        s.sendall(f[i:i + 1])
        time.sleep(0.002)
    assert read_frame(s)[1] == b"split-at-every-byte"
    # 500 frames in one segment all leave, in order (to a sink with room for all), then 50 back.
    sink, s2 = socket.socket(socket.AF_INET, socket.SOCK_DGRAM), tunnel(srv.port)
    sink.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 1 << 23)
    sink.bind(("127.0.0.1", 0))
    payloads = [b"n%03d" % i for i in range(500)]
    s2.sendall(b"".join(tun_frame(sink.getsockname()[1], p) for p in payloads))
    got = [sink.recvfrom(100) for _ in payloads]
    assert [g[0] for g in got] == payloads
    [sink.sendto(p, got[0][1]) for p in payloads[:50]]
    assert [read_frame(s2)[1] for _ in range(50)] == payloads[:50]
    # A fragment and an IPv6 frame are skipped without ending the tunnel.
    s.sendall(tun_frame(echo.port, b"frag", frag=1) +
              struct.pack(">HBB", 3, 0, 4) + bytes(18) + b"six" +
              tun_frame(echo.port, b"after"))
    assert read_frame(s)[1] == b"after"


def test_largest_frame_and_other_destinations(proxy, udp_echo):
    echo, other, srv = udp_echo(), udp_echo(), proxy(TUN)
    s = tunnel(srv.port)
    big = bytes(range(256)) * 255 + bytes(65526 - 65280)  # header 10 + 65526 = 65536
    s.sendall(tun_frame(echo.port, b"first"))
    assert read_frame(s)[1] == b"first"
    other.sock.sendto(b"intruder", echo.sources[0])  # not the destination: never framed back
    s.sendall(tun_frame(other.port, b"elsewhere") + tun_frame(echo.port, b"x"))
    assert read_frame(s)[1] == b"x"
    assert other.sources == []
    # The largest frame is read whole; its payload exceeds a datagram: lost, the tunnel goes on.
    s.sendall(tun_frame(echo.port, big) + tun_frame(echo.port, big[:65000]))
    assert read_frame(s)[1] == big[:65000]
    s.close()
    assert srv.wait_output("dropped [1] datagrams for other destinations")


def test_each_direction_has_its_bucket(proxy):
    # bob has 100 kB/s (200 kB burst) each way: 400 kB up leave his download bucket full.
    srv, sink = proxy(TUN, USERS), socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sink.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 1 << 23)
    sink.bind(("127.0.0.1", 0))
    s, reply = s5_connect(srv.port, "0.0.0.0", 0, "bob", "bob-pw", cmd=0xF3)
    start = time.monotonic()
    s.sendall(tun_frame(sink.getsockname()[1], bytes(10000)) * 40)
    src = [sink.recvfrom(65536)[1] for _ in range(40)][0]
    assert time.monotonic() - start > 1.5
    start = time.monotonic()
    [(sink.sendto(bytes(10000), src), time.sleep(0.01)) for _ in range(19)]
    assert [len(read_frame(s)[1]) for _ in range(19)] == [10000] * 19
    assert time.monotonic() - start < 1.0


@pytest.mark.parametrize("bad,code", [
    (struct.pack(">HBB", 65527, 0, 1) + bytes(6), 623),   # 10 + 65527 bytes: too long
    (struct.pack(">HBBB", 1, 0, 3, 0) + b"\x00\x35x", 623),  # empty name
    (struct.pack(">HBB", 1, 0, 9) + bytes(7), 624),        # unknown address type
])
def test_bad_frames_close_with_their_code(proxy, udp_echo, bad, code):
    srv, echo = proxy(TUN), udp_echo()
    s = tunnel(srv.port)
    s.sendall(tun_frame(echo.port, b"ok"))
    assert read_frame(s)[1] == b"ok"
    s.sendall(bad)
    assert s.recv(1) == b"" and srv.code(code)
    # A port without UDP refuses the command.
    assert s5_connect(proxy().port, "0.0.0.0", 0, cmd=0xF3)[1][:2] == b"\x05\x02"


def test_through_danted(proxy, udp_echo, daemons):
    echo, other = udp_echo(), udp_echo()
    srv = proxy(TUN, {"port0": {"forward": f"socks5://127.0.0.1:{daemons('danted')}"}})
    s = tunnel(srv.port)
    for payload in (b"via danted", b"y" * 1000):
        s.sendall(tun_frame(other.port, b"elsewhere") * (payload != b"via danted") +
                  tun_frame(echo.port, payload))
        assert read_frame(s)[1] == payload
    assert other.sources == []

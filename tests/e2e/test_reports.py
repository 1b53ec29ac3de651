"""Access lines and flow logs through the real binary: SOCKS5, HTTP CONNECT and GET, directly and
through an upstream, on a port whose local users have log and flow tokens, and flow sums that
match the bytes moved. Rotation, pruning, token packing and hostile names are unit tables."""
import json
import os
import re
import socket
import struct
import threading
import time
from datetime import datetime

import pytest

from conftest import curl, free_port, recv_exact, wait_for

STAMP = re.compile(rb"^(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3})\t")


class Logs:
    """A server whose auth0 users (password "pw") are logged under tmp_path/logs; port1 has no
    authentication."""

    def __init__(self, proxy, tmp_path, users, forward="none"):
        self.dir = tmp_path / "logs"
        for d in ("reports", "flows"):
            (self.dir / d).mkdir(parents=True, exist_ok=True)
        self.srv = proxy({
            "quoxel": {"ros_id": 9, "allow_internal_ip": 1},
            "auth0": {"type": "local", **{f"user{i}": f"{u}:pw" for i, u in enumerate(users, 1)}},
            "auth0_reportlog": {"log_path": self.dir / "reports", "log_size": 1, "log_num": 3},
            "auth0_flowlog": {"log_path": self.dir / "flows", "interval": 1, "log_size": 1,
                              "log_num": 3},
            "port0": {"auth": 0, "forward": forward},
            "port1": {"addr": "127.0.0.1", "allow_udp": 0, "listen_protocol": "socks5", "auth": -1}})
        self.port = self.srv.port

    def files(self, kind):
        return sorted(os.listdir(self.dir / kind), key=lambda n: int(n.rsplit("_", 1)[1].split(".")[0]))

    def text(self, kind):
        out = b""
        for n in self.files(kind):
            try:
                out += (self.dir / kind / n).read_bytes()
            except FileNotFoundError:  # pruned while we looked
                pass
        return out

    def lines(self):
        return self.text("reports").splitlines(keepends=True)

    def flows(self):
        return [json.loads(line) for line in self.text("flows").decode().splitlines()]

    def sums(self):
        out = {}
        for line in self.flows():
            for token, s in line[0]["list"].items():
                u, d = out.get(token, (0, 0))
                out[token] = (u + s["u"], d + s["d"])
        return out


def sized(conn):
    """Origin: reads "<up> <down>\\n" and the rest of <up> bytes, answers <down> bytes and closes;
    an HTTP request gets "ok"."""
    data = conn.recv(65536)
    if not data[:1].isdigit():
        while b"\r\n\r\n" not in data and (chunk := conn.recv(65536)):
            data += chunk
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok")
        return
    while b"\n" not in data:
        data += conn.recv(65536)
    up, down = map(int, data.split(b"\n", 1)[0].split())
    data += recv_exact(conn, up - len(data))
    conn.sendall(b"d" * down)


@pytest.fixture
def target(dnsmasq, origin):
    dnsmasq({"origin.test": "127.0.0.1"})
    return origin(sized, backlog=512).port


def connect(port, user, target, source_port=0):
    """SOCKS5 CONNECT to origin.test, greeting, login (none when user is None) and request sent
    together."""
    s = socket.socket()
    s.settimeout(5)
    s.bind(("127.0.0.1", source_port))
    s.connect(("127.0.0.1", port))
    req = b"\x05\x01\x00\x03\x0borigin.test" + struct.pack(">H", target)
    if user is None:
        s.sendall(b"\x05\x01\x00" + req)
        assert recv_exact(s, 2) == b"\x05\x00"
    else:
        u = user.encode("utf-8", "surrogateescape")
        s.sendall(b"\x05\x01\x02\x01" + bytes([len(u)]) + u + b"\x02pw" + req)
        assert recv_exact(s, 4) == b"\x05\x02\x01\x00", user
    assert recv_exact(s, 10)[:2] == b"\x05\x00"
    return s


def move(sock, up, down, pause=0.0):
    """Sends exactly `up` bytes (in two halves `pause` seconds apart) and reads `down` bytes."""
    body = f"{up} {down}\n".encode()
    body += b"u" * (up - len(body))
    sock.sendall(body[:up // 2])
    time.sleep(pause)
    sock.sendall(body[up // 2:])
    assert len(recv_exact(sock, down)) == down
    sock.close()


def socks5_upstream(targets):
    """Origin handler: a minimal SOCKS5 server recording in targets the ports it connected to."""
    def pipe(a, b):
        try:
            while data := a.recv(65536):
                b.sendall(data)
        except OSError:
            pass
        try:
            b.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def serve(c):
        recv_exact(c, recv_exact(c, 2)[1])
        c.sendall(b"\x05\x00")
        atyp = recv_exact(c, 4)[3]
        recv_exact(c, recv_exact(c, 1)[0] if atyp == 3 else 4)
        port = struct.unpack(">H", recv_exact(c, 2))[0]
        targets.append(port)
        with socket.create_connection(("127.0.0.1", port), timeout=5) as out:
            c.sendall(b"\x05\x00\x00\x01" + bytes(6))
            t = threading.Thread(target=pipe, args=(out, c), daemon=True)
            t.start()
            pipe(c, out)
            t.join(5)
    return serve


@pytest.mark.parametrize("upstream", [False, True], ids=["direct", "upstream"])
@pytest.mark.parametrize("client", ["socks5", "http-connect", "http-get"])
def test_access_line_fields(proxy, tmp_path, origin, target, client, upstream):
    targets = []
    forward = f"socks5://127.0.0.1:{origin(socks5_upstream(targets)).port}" if upstream else "none"
    p = Logs(proxy, tmp_path, ["alice", "bob"], forward=forward)
    client_port, before = free_port(), time.time()
    if client == "socks5":
        move(connect(p.port, "alice", target, client_port), 100, 50)
    else:
        out = curl(*(["-p"] if client == "http-connect" else []), "--local-port", str(client_port),
                   "-x", f"http://alice:pw@127.0.0.1:{p.port}", f"http://origin.test:{target}/")
        assert (out.returncode, out.stdout) == (0, b"ok"), out.stderr
    assert targets == ([target] if upstream else [])
    assert wait_for(lambda: len(p.lines()) == 1)
    line = p.lines()[0]
    m = STAMP.match(line)
    stamp = datetime.strptime(m.group(1).decode(), "%Y-%m-%d %H:%M:%S.%f").timestamp()
    assert before - 1 <= stamp <= time.time() + 1
    proto = "socks5" if client == "socks5" else "http"
    connected = "" if upstream else f"127.0.0.1:{target}\t"  # an upstream's address is not shown
    assert line[m.end():] == (f"alice\torigin.test:{target}\t127.0.0.1:{p.port}\t"
                              f"127.0.0.1:{client_port}\t{proto}\t{connected}\n").encode()


def test_flow_sums_match_the_bytes_moved(proxy, tmp_path, target):
    p = Logs(proxy, tmp_path, ["alice", "bob", "carol"])
    plan = {"alice": [(1000, 200000), (3000, 10)], "bob": [(150000, 64)], "carol": [(77, 77)]}
    threads = [threading.Thread(target=move, args=(connect(p.port, user, target), up, down,
                                                   1.3 if user != "carol" else 0))
               for user, moves in plan.items() for up, down in moves]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    want = {u: (sum(m[0] for m in ms), sum(m[1] for m in ms)) for u, ms in plan.items()}
    assert wait_for(lambda: p.sums() == want, timeout=8), (p.sums(), want)
    for line in p.flows():
        assert len(line) == 1 and line[0]["tti"] == 1 and line[0]["ros"] == 9
        assert abs(line[0]["ts"] - time.time()) < 30



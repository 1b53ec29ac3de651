"""Access lines and flow logs through the real binary: SOCKS5, HTTP CONNECT and GET, directly and
through an upstream, on a port whose local users have log and flow tokens; the rotating file
series with pruning and restart; flow sums that match the bytes moved, 100 tokens a line, and
user names that try to break the line or the JSON."""
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

    def __init__(self, proxy, tmp_path, users, size=1, num=3, interval=1, forward="none", raw=False):
        self.dir = tmp_path / "logs"
        for d in ("reports", "flows"):
            (self.dir / d).mkdir(parents=True, exist_ok=True)
        entries = {f"user{i}": u if raw else f"{u}:pw" for i, u in enumerate(users, 1)}
        self.settings = {
            "quoxel": {"ros_id": 9, "allow_internal_ip": 1},
            "auth0": {"type": "local", **entries},
            "auth0_reportlog": {"log_path": self.dir / "reports", "log_size": size, "log_num": num},
            "auth0_flowlog": {"log_path": self.dir / "flows", "interval": interval, "log_size": 1,
                              "log_num": 3},
            "port0": {"auth": 0, "forward": forward},
            "port1": {"addr": "127.0.0.1", "allow_udp": 0, "listen_protocol": "socks5", "auth": -1}}
        self.proxy = proxy
        self.restart()

    def restart(self):
        self.srv = self.proxy(self.settings)
        self.settings["port0"]["port_start"] = self.settings["port0"]["port_end"] = self.srv.port
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


def test_port_without_authentication_writes_nothing(proxy, tmp_path, target):
    p = Logs(proxy, tmp_path, ["alice"])
    for _ in range(3):
        move(connect(p.srv.ports["port1"], None, target), 64, 64)
    move(connect(p.port, "alice", target), 64, 64)
    assert wait_for(lambda: len(p.lines()) == 1)
    time.sleep(1.5)  # a flow interval passes: only alice's bytes are there
    assert len(p.lines()) == 1
    assert wait_for(lambda: p.sums() == {"alice": (64, 64)}), p.sums()


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


def test_rotation_pruning_and_restart(proxy, tmp_path, target):
    p = Logs(proxy, tmp_path, ["alice"], size=0, num=3)  # a limit of 0 MB: one line a file
    ports, members = [], 0
    for i in range(9):
        s = connect(p.port, "alice", target)
        ports.append(s.getsockname()[1])
        move(s, 32, 32)
        assert wait_for(lambda: f"127.0.0.1:{ports[-1]}\t".encode() in p.text("reports"))
        members = members + 1 if members < 3 else 2  # past 3 members, the newest 2 stay
        assert wait_for(lambda: len(p.files("reports")) == members), (i, p.files("reports"))
    lines = p.lines()
    assert [int(l.split(b"\t")[4].split(b":")[1]) for l in lines] == ports[-len(lines):]
    # A restart continues the newest file and ends its torn last line.
    p.srv.stop()
    p.settings["auth0_reportlog"]["log_size"] = 1
    newest = p.files("reports")[-1]
    with open(p.dir / "reports" / newest, "ab") as f:
        f.write(b"torn line of a crashed run")
    p.restart()
    move(connect(p.port, "alice", target), 16, 16)
    assert wait_for(lambda: (p.dir / "reports" / newest).read_bytes().count(b"\n") == 3)
    last = (p.dir / "reports" / newest).read_bytes().splitlines(keepends=True)
    assert last[1] == b"torn line of a crashed run\n" and STAMP.match(last[2])


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


def test_250_tokens_make_lines_of_100_100_and_50(proxy, tmp_path, target):
    users = [f"user{i:03d}" for i in range(250)]
    p = Logs(proxy, tmp_path, users, interval=3)
    for attempt in range(3):
        socks = [connect(p.port, u, target) for u in users]
        start = len(p.flows())
        threads = [threading.Thread(target=move, args=(s, 20, 10)) for s in socks]
        for t in threads:
            t.start()
        for t in threads:
            t.join(10)
        assert wait_for(lambda: sum(len(l[0]["list"]) for l in p.flows()[start:]) >= 250, 10)
        by_ts = {}  # lines of one write share their stamp; an interval may split a round
        for line in p.flows()[start:]:
            by_ts.setdefault(line[0]["ts"], []).append(len(line[0]["list"]))
        if [100, 100, 50] in by_ts.values():
            break
    else:
        pytest.fail(f"no write of 250 tokens in one interval: {by_ts}")
    assert set(p.sums()) == set(users)


HOSTILE = ['ev"il', "back\\slash", "tab\there", "line\nfeed", "cr\rlf", "\u00e9t\u00e9",
           "br\\\"ace}],{\"x", "\x01ctl"]


def test_hostile_user_names_give_valid_json_and_one_line_each(proxy, tmp_path, target):
    quoted = ['"' + u.replace("\\", "\\\\").replace('"', '\\"').replace("\t", "\\t")
              .replace("\n", "\\n").replace("\r", "\\r") + ':pw"' for u in HOSTILE]
    p = Logs(proxy, tmp_path, quoted, raw=True)
    for i, user in enumerate(HOSTILE):
        move(connect(p.port, user, target), 100 + i, 10 + i)
    assert wait_for(lambda: len(p.lines()) == len(HOSTILE))
    assert wait_for(lambda: p.sums() == {u: (100 + i, 10 + i) for i, u in enumerate(HOSTILE)}, 8)
    assert all(len(l.split(b"\t")) == 8 and l.endswith(b"\t\n") for l in p.lines())
    assert [l.split(b"\t")[1] for l in p.lines()] == [
        re.sub(rb"[\x00-\x1f\x7f\\]", lambda m: b"\\x%02x" % m.group(0)[0], u.encode())
        for u in HOSTILE]

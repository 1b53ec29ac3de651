"""Remote authentication through the real binary against the service double (tests/peers): the
request's keys, grants and refusals over SOCKS5 and HTTP, merged questions, the caches, resends
and time-outs per transport, a restarted service, connection limits, shared rates and per-user
lists across threads, verify, and egress addresses on a veth device."""
import os
import socket
import subprocess
import sys
import threading
import time

import pytest

from conftest import free_port, recv_exact, wait_for

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "peers"))
from auth_service import (AuthService, closing, grant, late, refuse, silent,  # noqa: E402
                          twice, wait_requests)

TRANS = {"ws": 0, "udp": 1, "tcp": 2}
LOCAL = 0x0100007F  # 127.0.0.1 as the service sees addresses


def config(port, svc_port, kind, auth_extra, port_extra, quoxel_extra, threads):
    return f"""[kni]
thread_num = {threads}
[quoxel]
ros_id = 1
src_timeout = 8000
dst_timeout = 3000
{quoxel_extra}
[auth0]
type = remote
server_ip = 127.0.0.1
server_port = {svc_port}
trans_type = {TRANS[kind]}
pool_size = 1
tag = edge-1
{auth_extra}
[port0]
addr = 127.0.0.1
port_start = {port}
port_end = {port}
allow_udp = 0
listen_protocol = socks5,http
auth = 0
{port_extra}
"""


class Remote:
    """A quoxel with a remote backend, its service double and a byte origin."""

    def __init__(self, quoxel, origin, kind, policy, auth_extra="", port_extra="",
                 quoxel_extra="", threads=3, body=b"x" * 4096):
        self.kind = kind
        self.svc = AuthService(kind)
        self.svc.policy = policy
        svc_port = self.svc.start()
        self.port = free_port()
        self.body = body
        self.origin = origin(self._serve, backlog=512)
        self.srv = quoxel(config(self.port, svc_port, kind, auth_extra, port_extra, quoxel_extra,
                                 threads))
        assert self.srv.wait_listen(self.port), self.srv.output()
        if kind != "udp":  # both pools connected before the first question
            assert wait_for(lambda: len(self.svc.open) >= 2), self.srv.output()

    def _serve(self, conn):
        peer = conn.getpeername()[0].encode()
        if conn.recv(1) == b"?":  # asks who it talks to
            conn.sendall(peer)
            return
        conn.sendall(self.body)
        while conn.recv(4096):  # stays open until the client leaves
            pass

    def socks5(self, user, password, dst_port=None, timeout=8, dst=b"\x7f\x00\x00\x01"):
        """Greeting, credentials and (when granted) CONNECT to the origin: (status byte of the
        credentials answer, the socket)."""
        s = socket.create_connection(("127.0.0.1", self.port), timeout=timeout)
        s.sendall(b"\x05\x01\x02")
        assert recv_exact(s, 2) == b"\x05\x02"
        u, p = user.encode(), password.encode()
        s.sendall(b"\x01" + bytes([len(u)]) + u + bytes([len(p)]) + p)
        reply = recv_exact(s, 2)
        if reply != b"\x01\x00":
            return reply, s
        port = dst_port or self.origin.port
        s.sendall(b"\x05\x01\x00\x01" + dst + port.to_bytes(2, "big"))
        head = recv_exact(s, 10)
        return (reply if head[:2] == b"\x05\x00" else head[:2]), s

    def curl(self, user=None, http=False, timeout=10):
        proxy = ["-x", f"http://127.0.0.1:{self.port}"] if http else \
                ["--socks5", f"127.0.0.1:{self.port}"]
        cred = ["-U", user] if user else []
        r = subprocess.run(["curl", "-sS", "-m", str(timeout), *proxy, *cred, "-o", "/dev/null",
                            "-w", "%{http_code}", f"http://127.0.0.1:{self.origin.port}/"],
                           capture_output=True, text=True, timeout=timeout + 5)
        return r.stdout.strip()


@pytest.fixture
def remote(quoxel, origin):
    made = []

    def start(kind="tcp", policy=None, **kw):
        r = Remote(quoxel, origin, kind, policy or grant(), **kw)
        made.append(r)
        return r

    yield start
    for r in made:
        r.svc.stop()


def http_origin_body(r):
    """Switches the origin to answer one HTTP request (curl's) with 200."""
    def serve(conn):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = conn.recv(4096)
            if not chunk:
                return
            data += chunk
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok")
    r.origin.handler = serve


@pytest.mark.parametrize("kind", ["ws", "udp", "tcp"])
def test_request_keys_and_grant_per_transport(remote, kind):
    r = remote(kind, grant())
    http_origin_body(r)
    assert r.curl("bob:pw") == "200", r.srv.output()
    assert r.curl(http=True) == "200", r.srv.output()
    with_creds, by_address = wait_requests(r.svc, 2)[:2]
    assert list(with_creds) == ["i", "a", "u", "p", "np", "na", "sa", "tag"]
    assert with_creds["a"] == 1 and with_creds["u"] == b"bob" and with_creds["p"] == b"pw"
    assert (with_creds["np"], with_creds["na"], with_creds["sa"]) == (r.port, LOCAL, LOCAL)
    assert with_creds["tag"] == b"edge-1"
    # No credentials: the addresses alone are asked about.
    assert list(by_address) == ["i", "a", "np", "na", "sa", "tag"]
    assert by_address["i"] != with_creds["i"]


# (policy, SOCKS5 credentials answer, session code, asked again at once)
REFUSALS = [
    (refuse(5), b"\x01\x01", 5, False),                               # refusal is remembered
    (lambda q: [{"a": 2, "c": 0, "t": "u", "r": b"x"}], b"\x01\x01", 642, True),   # bad type
    (lambda q: [{"a": 3, "c": 0, "t": "u"}], b"\x01\x01", 642, True),  # wrong action
    (lambda q: [{"a": 2, "c": 0, "t": "u", "wl": [b"a.test", 7]}], b"\x01\x01", 642, True),
    (lambda q: [{"a": 2, "c": 0, "t": "u", "r": 11}], b"\x01\x01", 640, True),
    (lambda q: [{"a": 2, "t": "u"}], b"\x01\x01", 642, True),          # no code at all
    (twice(grant()), b"\x01\x00", 0, True),                            # second answer ignored
    (lambda q: [{"i": 999999, "a": 2, "c": 0, "t": "u"}] * 50 + [{"a": 2, "c": 0, "t": "u"}],
     b"\x01\x00", 0, True),                                           # flood of unknown ids
]


@pytest.mark.parametrize("policy,reply,code,asks_again", REFUSALS)
def test_answers(remote, policy, reply, code, asks_again):
    r = remote("tcp", policy, auth_extra="error_timeout = 1500")
    got, s = r.socks5("carol", "pw")
    assert got == reply, r.srv.output()
    if code:
        assert r.srv.wait_output(f"code[{code}]"), r.srv.output()
    s.close()
    r.socks5("carol", "pw")[1].close()
    assert len(wait_requests(r.svc, 2, timeout=1.0)) == (2 if asks_again else 1)
    if not asks_again:  # the refusal ends with error_timeout
        time.sleep(1.6)
        r.socks5("carol", "pw")[1].close()
        assert len(wait_requests(r.svc, 2)) == 2


def test_http_refusal_is_407(remote):
    r = remote("ws", refuse(407))
    assert r.curl("bob:wrong", http=True) == "407"


def test_merged_questions_and_cache(remote):
    r = remote("tcp", late(0.5, grant(ct=2)), threads=4)
    results = []

    def login():
        got, s = r.socks5("dave", "pw")
        results.append(got)
        s.close()
    workers = [threading.Thread(target=login) for _ in range(10)]
    for t in workers:
        t.start()
    for t in workers:
        t.join(10)
    assert results == [b"\x01\x00"] * 10, r.srv.output()
    assert len(r.svc.auth_requests()) == 1
    r.socks5("dave", "pw")[1].close()          # inside the cache time: nothing asked
    r.socks5("dave", "other")[1].close()       # a new password is a new question
    assert len(r.svc.auth_requests()) == 2
    time.sleep(2.2)                            # the cache time passed: asked again
    r.socks5("dave", "pw")[1].close()
    assert len(wait_requests(r.svc, 3)) == 3


# (transport, policy, sends, seconds until the refusal, code)
SILENCES = [
    ("udp", silent(), 3, 3.0, 643),
    ("tcp", silent(), 1, 4.0, 643),
    ("ws", silent(), 1, 4.0, 643),
    ("tcp", closing(), 1, 4.0, 643),
    ("ws", late(5, grant()), 1, 4.0, 643),
]


@pytest.mark.parametrize("kind,policy,sends,seconds,code", SILENCES)
def test_resends_and_time_outs(remote, kind, policy, sends, seconds, code):
    r = remote(kind, policy)
    start = time.monotonic()
    got, s = r.socks5("erin", "pw", timeout=10)
    took = time.monotonic() - start
    assert got == b"\x01\x01"
    assert seconds - 0.2 < took < seconds + 1.5, took
    assert r.srv.wait_output(f"code[{code}]")
    reqs = r.svc.auth_requests()
    assert len(reqs) == sends and len({q["i"] for q in reqs}) == 1


def test_service_restarted(remote):
    r = remote("tcp", grant())
    assert r.socks5("frank", "pw")[0] == b"\x01\x00"
    port = r.svc.port
    r.svc.stop()
    assert r.socks5("grace", "pw", timeout=10)[0] == b"\x01\x01"  # nobody answers: 643
    r.svc.start(port)
    assert wait_for(lambda: len(r.svc.open) >= 2, timeout=8), r.srv.output()
    assert r.socks5("heidi", "pw")[0] == b"\x01\x00"


def test_connection_limit_across_threads(remote):
    r = remote("tcp", grant(cl=3, ct=60), threads=4)

    def hold_three():
        held = [r.socks5("ivan", "pw") for _ in range(3)]
        assert [g for g, _ in held] == [b"\x01\x00"] * 3, r.srv.output()
        assert r.socks5("ivan", "pw")[0] == b"\x01\x01"
        for _, s in held:
            s.close()
    hold_three()
    assert r.srv.wait_output("code[644]")

    def churn():
        for _ in range(50):
            got, s = r.socks5("ivan", "pw")
            s.close()
    workers = [threading.Thread(target=churn) for _ in range(4)]
    for t in workers:
        t.start()
    for t in workers:
        t.join(60)
    time.sleep(0.5)  # the last closes reach the main thread
    hold_three()


# (grant fields, bytes per session, least seconds for two sessions sharing the buckets)
RATES = [
    ({"ra": 128}, 256 * 1024, 1.5),   # 128 KiB/s, 256 KiB burst: 512 KiB take >= 2 s
    ({"r": 1}, 256 * 1024, 1.5),      # level 1: 131072 B/s, same burst
]


@pytest.mark.parametrize("fields,size,least", RATES)
def test_shared_rate_across_threads(remote, fields, size, least):
    r = remote("tcp", grant(ct=60, **fields), threads=4, body=b"r" * size)
    got = []

    def fetch():
        reply, s = r.socks5("judy", "pw")
        s.sendall(b"!")
        got.append(len(recv_exact(s, size)))
        s.close()
    start = time.monotonic()
    workers = [threading.Thread(target=fetch) for _ in range(2)]
    for t in workers:
        t.start()
    for t in workers:
        t.join(20)
    took = time.monotonic() - start
    assert got == [size, size]
    assert least < took < least * 4, took


def test_per_user_lists(remote, tmp_path):
    blocked = tmp_path / "black.txt"
    blocked.write_text("127.0.0.1\n")  # every origin is on the global black list
    listeners = [socket.socket(), socket.socket()]
    for sock in listeners:
        sock.bind(("127.0.0.1", 0))
        sock.listen(8)
    a, b = (sock.getsockname()[1] for sock in listeners)
    users = {
        "wl": {"w": 1, "wl": [f":{a}"]},                    # user white list beats global
        "al": {"w": 1, "al": True, "b": 1, "bl": [f":{b}"]},  # all but its own black list
        "none": {},
    }

    def policy(q):
        name = q["u"].decode()
        return [{"a": 2, "c": 0, "t": name, "ct": 60, **users[name]}]
    r = remote("tcp", policy, quoxel_extra=f"black_list_file = {blocked}")
    time.sleep(0.3)  # the first main-loop pass loads the global list
    cases = [("wl", a, True), ("wl", b, False), ("al", a, True), ("al", b, False),
             ("none", a, False)]
    for user, port, allowed in cases:
        reply, s = r.socks5(user, "pw", dst_port=port)
        s.close()
        assert (reply == b"\x01\x00") == allowed, (user, port, reply)


def test_verify_revokes_a_live_session(remote):
    r = remote("tcp", grant(v=10, vu=1, ct=60))
    r.svc.verify_policy = lambda q: [{"a": 4, "c": 1}]
    got, s = r.socks5("kate", "pw")
    assert got == b"\x01\x00"
    s.sendall(b"!")
    s.settimeout(30)
    assert recv_exact(s, 4096) == r.body
    assert s.recv(1) == b""  # closed by the verify answer, within two verify ticks
    verify = r.svc.verify_requests()
    assert list(verify[0]) == ["i", "a", "t"] and verify[0]["t"] == b"kate"
    assert r.srv.wait_output("code[646]")


DEV = "v0"


@pytest.fixture
def veth():
    subprocess.run(["ip", "link", "del", DEV], capture_output=True)
    for cmd in (["ip", "link", "add", DEV, "type", "veth", "peer", "name", "v1"],
                ["ip", "link", "set", DEV, "up"],
                ["ip", "addr", "add", "192.0.2.1/24", "dev", DEV]):
        subprocess.run(cmd, check=True, capture_output=True)
    yield
    subprocess.run(["ip", "link", "del", DEV], capture_output=True)


def on_device():
    out = subprocess.run(["ip", "-4", "-o", "addr", "show", "dev", DEV], capture_output=True,
                         text=True).stdout
    return {line.split()[3].split("/")[0] for line in out.splitlines()} - {"192.0.2.1"}


def test_egress_addresses_taken_and_returned(remote, veth):
    levels = {"lee": 1, "max": 2}

    def policy(q):
        name = q["u"].decode()
        return [{"a": 2, "c": 0, "t": name, "r": levels[name], "ct": 1}]
    r = remote("tcp", policy, auth_extra="use_virtual_ip = 1",
               port_extra=f"name = {DEV}\nmax_level1_user = 1\nlevel1_virtual_ip_list = "
                          "192.0.2.10\nmax_level2_user = 1\nlevel2_virtual_ip_list = 192.0.2.20")
    # An origin on the device's own address tells each session the source it sees.
    who = socket.socket()
    who.bind(("192.0.2.1", 0))
    who.listen(8)
    seen = {}
    for user in ("lee", "lee", "max"):
        reply, s = r.socks5(user, "pw", dst_port=who.getsockname()[1], dst=bytes([192, 0, 2, 1]))
        assert reply == b"\x01\x00", r.srv.output()
        conn, peer = who.accept()
        seen.setdefault(user, set()).add(peer[0])
        conn.close()
        s.close()
    who.close()
    assert seen == {"lee": {"192.0.2.10"}, "max": {"192.0.2.20"}}
    assert on_device() == {"192.0.2.10", "192.0.2.20"}
    # Unused past its cache time plus 20 s, each user gives its address back.
    assert wait_for(lambda: on_device() == set(), timeout=45), r.srv.output()

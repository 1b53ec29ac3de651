"""Remote authentication through the binary against the service double (tests/peers)."""
import os
import socket
import subprocess
import sys
import threading
import time

import pytest

from conftest import free_port, recv_exact, wait_for

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "peers"))
from auth_service import AuthService, grant, late, refuse  # noqa: E402

LOCAL = 0x0100007F  # 127.0.0.1 as the service sees addresses
OK, NO = b"\x01\x00", b"\x01\x01"


class Remote:
    """quoxel with a remote backend, its service double and an origin that sends `body`."""

    def __init__(self, quoxel, origin, kind, policy, auth="", port="", glob="", body=b"x"):
        self.svc = AuthService(kind)
        self.svc.policy, self.body, self.port = policy, body, free_port()
        self.origin = origin(self.serve, backlog=512)
        self.srv = quoxel(f"""[kni]\nthread_num = 4\n[quoxel]\nros_id = 1\nsrc_timeout = 8000
{glob}\n[auth0]\ntype = remote\nserver_ip = 127.0.0.1\nserver_port = {self.svc.start()}
trans_type = {["ws", "udp", "tcp"].index(kind)}\npool_size = 1\ntag = edge-1\n{auth}
[port0]\naddr = 127.0.0.1\nport_start = {self.port}\nport_end = {self.port}\nallow_udp = 0
listen_protocol = socks5,http\nauth = 0\n{port}\n""")
        assert self.srv.wait_listen(self.port)
        assert kind == "udp" or wait_for(lambda: len(self.svc.open) >= 2)  # both pools up

    def serve(self, conn):
        first = conn.recv(64)
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n" if first.startswith(b"GET")
                     else self.body)
        while conn.recv(4096):  # open until the client leaves
            pass

    def socks5(self, user, password="pw", port=None, dst=b"\x7f\0\0\1"):
        """The credentials answer (or the CONNECT reply's first two bytes) and the socket."""
        s = socket.create_connection(("127.0.0.1", self.port), timeout=10)
        s.sendall(b"\x05\x01\x02\x01" + bytes([len(user)]) + user.encode() +
                  bytes([len(password)]) + password.encode())
        reply = recv_exact(s, 4)[2:]
        if reply == OK:
            s.sendall(b"\x05\x01\x00\x01" + dst + (port or self.origin.port).to_bytes(2, "big"))
            head = recv_exact(s, 10)[:2]
            reply = reply if head == b"\x05\x00" else head
        return reply, s

    def login(self, user, password="pw"):
        reply, s = self.socks5(user, password)
        s.close()
        return reply

    def curl(self, *args):
        return subprocess.run(["curl", "-sS", "-m", "10", *args, "-o", "/dev/null", "-w",
                               "%{http_code}", f"http://127.0.0.1:{self.origin.port}/"],
                              capture_output=True, text=True).stdout


@pytest.fixture
def remote(quoxel, origin):
    made = []
    yield lambda kind="tcp", policy=grant(), **kw: made.append(
        Remote(quoxel, origin, kind, policy, **kw)) or made[-1]
    for r in made:
        r.svc.stop()


@pytest.mark.parametrize("kind", ["ws", "udp", "tcp"])
def test_request_keys_per_transport(remote, kind):
    r = remote(kind)
    assert r.curl("--socks5", f"127.0.0.1:{r.port}", "-U", "bob:pw") == "200"
    assert r.curl("-x", f"http://127.0.0.1:{r.port}") == "200"
    creds, addresses = r.svc.of(1)
    assert creds == {"i": creds["i"], "a": 1, "u": b"bob", "p": b"pw", "np": r.port,
                     "na": LOCAL, "sa": LOCAL, "tag": b"edge-1"}
    assert list(creds) == ["i", "a", "u", "p", "np", "na", "sa", "tag"]
    assert list(addresses) == ["i", "a", "np", "na", "sa", "tag"]
    r.svc.policy = refuse(407)  # HTTP clients are asked for credentials again
    assert r.curl("-x", f"http://127.0.0.1:{r.port}", "-U", "bob:no") == "407"


def answer(**fields):
    return lambda q: [{"a": 2, "c": 0, "t": "u", **fields}]


# (policy, credentials answer, session code, requests after two logins)
ANSWERS = [
    (refuse(5), NO, 5, 1),                          # remembered for error_timeout
    (answer(r=b"x"), NO, 642, 2),                   # wrong type: refused, nothing cached
    (lambda q: [{"a": 3, "c": 0}], NO, 642, 2),     # wrong action
    (answer(b=1, bl=[b"a.test", 7]), NO, 642, 2),   # a list item that is no string
    (answer(r=11), NO, 640, 2),
    (lambda q: [{"a": 2, "t": "u"}], NO, 642, 2),   # no code
    (lambda q: answer()(q) * 2, OK, 0, 2),          # answered twice
    (lambda q: [{"i": 99999, "a": 2, "c": 0}] * 50 + answer()(q), OK, 0, 2),  # unknown ids
]


@pytest.mark.parametrize("policy,reply,code,asked", ANSWERS)
def test_answers(remote, policy, reply, code, asked):
    r = remote(policy=policy, auth="error_timeout = 1500")
    assert r.login("carol") == reply
    assert code == 0 or r.srv.wait_output(f"code[{code}]")
    r.login("carol")
    assert len(r.svc.of(1)) == asked
    if asked == 1:  # the refusal ends with error_timeout
        time.sleep(1.6)
        r.login("carol")
        assert wait_for(lambda: len(r.svc.of(1)) == 2)


def test_merged_questions_and_cache(remote):
    r = remote(policy=late(0.5, grant(ct=2)))
    got = []
    workers = [threading.Thread(target=lambda: got.append(r.login("dave"))) for _ in range(10)]
    [t.start() for t in workers]
    [t.join(10) for t in workers]
    assert got == [OK] * 10 and len(r.svc.of(1)) == 1
    r.login("dave")                 # inside the cache time: nothing asked
    r.login("dave", "other")        # a new password is a new question
    assert len(r.svc.of(1)) == 2
    time.sleep(2.2)                 # past the cache time: asked again
    r.login("dave")
    assert len(r.svc.of(1)) == 3


# (transport, policy, sends, seconds until 643)
SILENCES = [("udp", lambda q: [], 3, 3.0), ("tcp", lambda q: [], 1, 4.0),
            ("ws", lambda q: [], 1, 4.0), ("tcp", lambda q: ["close"], 1, 4.0),
            ("ws", late(5, grant()), 1, 4.0)]


@pytest.mark.parametrize("kind,policy,sends,seconds", SILENCES)
def test_resends_and_time_outs(remote, kind, policy, sends, seconds):
    r = remote(kind, policy)
    start = time.monotonic()
    assert r.login("erin") == NO
    assert seconds - 0.2 < time.monotonic() - start < seconds + 1.5
    assert r.srv.wait_output("code[643]")
    assert len(r.svc.of(1)) == sends and len({q["i"] for q in r.svc.of(1)}) == 1


def test_service_restarted(remote):
    r = remote()
    assert r.login("frank") == OK
    r.svc.stop()
    assert r.login("grace") == NO  # nobody answers: 643
    r.svc.start(r.svc.port)
    assert wait_for(lambda: len(r.svc.open) >= 2, timeout=8)
    assert r.login("heidi") == OK


def test_connection_limit_across_threads(remote):
    r = remote(policy=grant(cl=3, ct=60))

    def exactly_three():
        held = [r.socks5("ivan") for _ in range(3)]
        assert [g for g, _ in held] == [OK] * 3 and r.login("ivan") == NO
        [s.close() for _, s in held]
    exactly_three()
    churn = [threading.Thread(target=lambda: [r.login("ivan") for _ in range(50)])
             for _ in range(4)]
    [t.start() for t in churn]
    [t.join(60) for t in churn]
    time.sleep(0.5)  # the last close notices reach the main thread
    exactly_three()
    assert "code[644]" in r.srv.output()


@pytest.mark.parametrize("fields", [{"ra": 128}, {"r": 1}])  # 128 KiB/s, 256 KiB burst
def test_shared_rate_across_threads(remote, fields):
    size = 256 * 1024
    r = remote(policy=grant(ct=60, **fields), body=b"r" * size)
    got = []

    def fetch():
        s = r.socks5("judy")[1]
        s.sendall(b"!")
        got.append(len(recv_exact(s, size)))
        s.close()
    start = time.monotonic()
    workers = [threading.Thread(target=fetch) for _ in range(2)]
    [t.start() for t in workers]
    [t.join(20) for t in workers]
    assert got == [size, size] and 1.5 < time.monotonic() - start < 6  # 512 KiB: 2 s


def test_per_user_lists(remote, tmp_path):
    (tmp_path / "black").write_text("127.0.0.1\n")  # every origin is globally blocked
    listeners = [socket.create_server(("127.0.0.1", 0)) for _ in range(2)]
    a, b = (s.getsockname()[1] for s in listeners)
    lists = {"wl": {"w": 1, "wl": [f":{a}"]}, "al": {"w": 1, "al": True, "b": 1, "bl": [f":{b}"]},
             "none": {}}
    r = remote(policy=lambda q: answer(t=q["u"], **lists[q["u"].decode()])(q),
               glob=f"black_list_file = {tmp_path / 'black'}")
    time.sleep(0.3)  # the first main-loop pass loads the global list
    for user, port, allowed in [("wl", a, True), ("wl", b, False), ("al", a, True),
                                ("al", b, False), ("none", a, False)]:
        reply, s = r.socks5(user, port=port)
        s.close()
        assert (reply == OK) == allowed, (user, port, reply)


def test_verify_revokes_a_live_session(remote):
    r = remote(policy=grant(v=10, vu=1, ct=60), body=b"v" * 100)
    r.svc.verify_policy = lambda q: [{"a": 4, "c": 1}]
    reply, s = r.socks5("kate")
    s.sendall(b"!")
    s.settimeout(30)
    assert reply == OK and recv_exact(s, 100) == r.body
    assert s.recv(1) == b""  # closed by the verify answer within two verify ticks
    assert r.svc.of(3)[0] == {"i": r.svc.of(3)[0]["i"], "a": 3, "t": b"kate"}
    assert r.srv.wait_output("code[646]")


def test_egress_addresses_taken_and_returned(remote):
    def ip(*args):
        return subprocess.run(["ip", *args], capture_output=True, text=True).stdout
    ip("link", "add", "v0", "type", "veth", "peer", "name", "v1")
    ip("link", "set", "v0", "up")
    ip("addr", "add", "192.0.2.1/24", "dev", "v0")
    levels = {"lee": 1, "max": 2}
    r = remote(policy=lambda q: answer(r=levels[q["u"].decode()], ct=1)(q),
               auth="use_virtual_ip = 1", port="name = v0\nmax_level1_user = 1\n"
               "level1_virtual_ip_list = 192.0.2.10\nmax_level2_user = 1\n"
               "level2_virtual_ip_list = 192.0.2.20")
    who = socket.create_server(("192.0.2.1", 0))  # tells the source address each session has
    seen = set()
    for user in ("lee", "lee", "max"):
        reply, s = r.socks5(user, port=who.getsockname()[1], dst=bytes([192, 0, 2, 1]))
        seen.add((user, who.accept()[1][0], reply))
        s.close()
    assert seen == {("lee", "192.0.2.10", OK), ("max", "192.0.2.20", OK)}

    def on_device():
        return {w.split("/")[0] for w in ip("-4", "-o", "addr", "show", "dev", "v0").split()
                if w.startswith("192.0.2.") and "/" in w} - {"192.0.2.1"}
    assert on_device() == {"192.0.2.10", "192.0.2.20"}
    # Unused past its cache time plus 20 s, each user gives its address back.
    assert wait_for(lambda: on_device() == set(), timeout=45)
    ip("link", "del", "v0")

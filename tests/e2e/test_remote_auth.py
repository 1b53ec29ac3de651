"""Remote authentication through the binary against the service double (tests/peers): request
keys, answers, limits and lists across threads, and egress addresses on a veth device."""
import socket
import subprocess
import threading
import time

import pytest

from conftest import curl, dial, recv_exact, s5_login, s5_request, wait_for
from auth_service import AuthService, grant, refuse

LOCAL = 0x0100007F  # 127.0.0.1 as the service sees addresses
OK, NO = b"\x01\x00", b"\x01\x01"


def serve(conn):
    """The origin: a 200 to an HTTP request, a byte to anything else, then open until closed."""
    first = conn.recv(64)
    conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n" if first[:3] == b"GET" else b"x")
    while conn.recv(4096):
        pass


@pytest.fixture
def remote(proxy, origin):
    """remote(kind, policy, *settings): quoxel asking a service double (.svc) that runs `policy`;
    .origin is the origin."""
    made = []

    def start(kind="tcp", policy=grant(), *layers):
        svc = AuthService(kind, policy)
        made.append(svc)
        srv = proxy({"kni": {"thread_num": 4}, "quoxel": {"src_timeout": 8000},
                     "auth0": {"type": "remote", "server_ip": "127.0.0.1",
                               "server_port": svc.start(), "pool_size": 1, "tag": "edge-1",
                               "trans_type": ["ws", "udp", "tcp"].index(kind)},
                     "port0": {"auth": 0}}, *layers)
        assert kind == "udp" or wait_for(lambda: len(svc.open) >= 2)  # both pools up
        srv.svc, srv.origin = svc, origin(serve, backlog=512)
        return srv
    yield start
    for svc in made:
        svc.stop()


def socks5(srv, user, password="pw", port=None, host="127.0.0.1"):
    """The credentials answer (or the CONNECT reply's first bytes) and the socket."""
    s = dial(srv.port, timeout=10)
    reply = s5_login(s, user, password)
    if reply == OK:
        s.sendall(s5_request(host, port or srv.origin.port))
        head = recv_exact(s, 10)[:2]
        reply = reply if head == b"\x05\x00" else head
    return reply, s


def login(srv, user, password="pw", **target):
    reply, s = socks5(srv, user, password, **target)
    s.close()
    return reply


def get(srv, *args):
    return curl(*args, "-o", "/dev/null", "-w", "%{http_code}",
                f"http://127.0.0.1:{srv.origin.port}/").stdout


@pytest.mark.parametrize("kind", ["ws", "udp", "tcp"])
def test_request_keys_per_transport(remote, kind):
    srv = remote(kind)
    assert get(srv, "--socks5", f"bob:pw@127.0.0.1:{srv.port}") == b"200"
    assert get(srv, "-x", f"http://127.0.0.1:{srv.port}") == b"200"
    creds, addresses = srv.svc.of(1)
    assert creds == {"i": creds["i"], "a": 1, "u": b"bob", "p": b"pw", "np": srv.port,
                     "na": LOCAL, "sa": LOCAL, "tag": b"edge-1"}
    assert list(creds) == ["i", "a", "u", "p", "np", "na", "sa", "tag"]
    assert list(addresses) == ["i", "a", "np", "na", "sa", "tag"]
    srv.svc.policy = refuse(407)  # HTTP clients are asked for credentials again
    assert get(srv, "-x", f"http://bob:no@127.0.0.1:{srv.port}") == b"407"


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
    srv = remote("tcp", policy, {"auth0": {"error_timeout": 1500}})
    assert login(srv, "carol") == reply
    assert code == 0 or srv.code(code)
    time.sleep(0.005)  # a grant without a cache time still serves logins in its own millisecond
    login(srv, "carol")
    assert len(srv.svc.of(1)) == asked
    if asked == 1:  # the refusal ends with error_timeout
        time.sleep(1.6)
        login(srv, "carol")
        assert wait_for(lambda: len(srv.svc.of(1)) == 2)


def test_connection_limit_across_threads(remote):
    srv = remote("tcp", grant(cl=3, ct=60))

    def exactly_three():
        held = [socks5(srv, "ivan") for _ in range(3)]
        assert [g for g, _ in held] == [OK] * 3 and login(srv, "ivan") == NO
        [s.close() for _, s in held]
    exactly_three()
    assert "client [|ivan|***|" in srv.output()  # the password never reaches the log
    churn = [threading.Thread(target=lambda: [login(srv, "ivan") for _ in range(50)])
             for _ in range(4)]
    [t.start() for t in churn]
    [t.join(60) for t in churn]
    time.sleep(0.5)  # the last close notices reach the main thread
    exactly_three()
    assert srv.code(644)


def test_per_user_lists(remote, tmp_path):
    (tmp_path / "black").write_text("127.0.0.1\n")  # every origin is globally blocked
    listeners = [socket.create_server(("127.0.0.1", 0)) for _ in range(2)]
    a, b = (s.getsockname()[1] for s in listeners)
    lists = {"wl": {"w": 1, "wl": [f":{a}"]}, "al": {"w": 1, "al": True, "b": 1, "bl": [f":{b}"]},
             "none": {}}
    srv = remote("tcp", lambda q: answer(t=q["u"], **lists[q["u"].decode()])(q),
                 {"quoxel": {"black_list_file": tmp_path / "black"}})
    assert srv.wait_output("black file")
    for user, port, allowed in [("wl", a, True), ("wl", b, False), ("al", a, True),
                                ("al", b, False), ("none", a, False)]:
        reply = login(srv, user, port=port)
        assert (reply == OK) == allowed, (user, port, reply)


def test_egress_addresses_taken_and_returned(remote):
    def ip(*args):
        return subprocess.run(["ip", *args], capture_output=True, text=True).stdout
    ip("link", "add", "v0", "type", "veth", "peer", "name", "v1")
    ip("link", "set", "v0", "up")
    ip("addr", "add", "192.0.2.1/24", "dev", "v0")
    levels = {"lee": 1, "max": 2}
    srv = remote("tcp", lambda q: answer(r=levels[q["u"].decode()], ct=1)(q),
                 {"auth0": {"use_virtual_ip": 1},
                  "port0": {"name": "v0", "max_level1_user": 1, "max_level2_user": 1,
                            "level1_virtual_ip_list": "192.0.2.10",
                            "level2_virtual_ip_list": "192.0.2.20"}})
    who = socket.create_server(("192.0.2.1", 0))  # tells the source address each session has
    seen = set()
    for user in ("lee", "lee", "max"):
        reply, s = socks5(srv, user, port=who.getsockname()[1], host="192.0.2.1")
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


"""Authentication, destination lists and source restriction through the real binary: local users
over SOCKS5 and HTTP, black and white lists in every spelling of a destination, the private
address block, per-user bandwidth, and allow/deny lists of client addresses."""
import os
import socket
import struct
import subprocess
import threading
import time

import pytest

from conftest import free_port, http_origin, recv_exact, wait_for

BODY = b"quoxel auth origin\n" * 50
HTTP_PROXY_BUILT = os.path.exists(os.path.join(os.path.dirname(__file__), "..", "..", "src",
                                               "proto", "http_proxy.cpp"))


def config(port, extra_quoxel="", extra_auth="", auth=0, proto="socks5,http", threads=3):
    return f"""[kni]
thread_num = {threads}
[quoxel]
ros_id = 1
src_timeout = 3000
dst_timeout = 3000
{extra_quoxel}
[auth0]
type = local
user1 = alice:alice-secret
user2 = bob:bob-pw
rate_limit2 = 100000
user3 = carol:carol-pw
rate_limit3 = 100000
{extra_auth}
[port0]
addr = 127.0.0.1
port_start = {port}
port_end = {port}
allow_udp = 0
listen_protocol = {proto}
auth = {auth}
"""


def start(quoxel, **kw):
    port = free_port()
    srv = quoxel(config(port, **kw))
    assert srv.wait_listen(port), srv.output()
    srv.port = port
    return srv


def dial(port, source="127.0.0.1"):
    s = socket.socket()
    s.settimeout(5)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def s5_login(s, user, password):
    """Greeting with user/password, then the sub-negotiation; returns its two-byte answer."""
    s.sendall(b"\x05\x01\x02")
    assert recv_exact(s, 2) == b"\x05\x02"
    u, p = user.encode(), password.encode()
    s.sendall(b"\x01" + bytes([len(u)]) + u + bytes([len(p)]) + p)
    return recv_exact(s, 2)


def s5_connect(s, host, port):
    """CONNECT to a domain (or any text) target; returns the reply code, None when closed."""
    name = host.encode()
    s.sendall(b"\x05\x01\x00\x03" + bytes([len(name)]) + name + struct.pack(">H", port))
    reply = recv_exact(s, 10)
    return reply[1] if len(reply) == 10 else None


def curl(*args, timeout=30):
    return subprocess.run(["curl", "-sS", "--max-time", str(timeout), *args],
                          capture_output=True, timeout=timeout + 10)


class CountingOrigin:
    """An HTTP origin that counts the connections it accepted."""

    def __init__(self, host="127.0.0.1", body=BODY):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((host, 0))
        self.sock.listen(64)
        self.port = self.sock.getsockname()[1]
        self.accepted = 0
        self.handler = http_origin(body)
        threading.Thread(target=self._run, daemon=True).start()

    def _run(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.accepted += 1
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        try:
            self.handler(conn)
        except OSError:
            pass
        finally:
            conn.close()

    def close(self):
        self.sock.close()


@pytest.fixture
def counting_origin():
    made = []

    def make(**kw):
        o = CountingOrigin(**kw)
        made.append(o)
        return o
    yield make
    for o in made:
        o.close()


# ---- users ----

def test_socks5_users_through_curl(quoxel, counting_origin):
    srv = start(quoxel)
    o = counting_origin()
    url = f"http://127.0.0.1:{o.port}/"
    out = curl("--socks5", f"alice:alice-secret@127.0.0.1:{srv.port}", url)
    assert out.returncode == 0, out.stderr
    assert out.stdout == BODY
    for user, password in (("alice", "wrong"), ("Alice", "alice-secret"), ("nobody", "x")):
        out = curl("--socks5", f"{user}:{password}@127.0.0.1:{srv.port}", url)
        assert out.returncode != 0
    assert o.accepted == 1


@pytest.mark.parametrize("user,password,answer", [
    ("alice", "alice-secret", b"\x01\x00"),
    ("alice", "alice-secreT", b"\x01\x01"),
    ("ALICE", "alice-secret", b"\x01\x01"),
    ("bob", "alice-secret", b"\x01\x01"),
])
def test_socks5_subnegotiation_answer_bytes(quoxel, user, password, answer):
    srv = start(quoxel)
    s = dial(srv.port)
    assert s5_login(s, user, password) == answer
    if answer != b"\x01\x00":
        assert s.recv(1) == b""
    s.close()


def test_socks5_without_credentials_on_an_authenticated_port(quoxel):
    srv = start(quoxel)
    s = dial(srv.port)
    s.sendall(b"\x05\x01\x00")
    assert recv_exact(s, 2) == b"\x05\xff"
    s.close()


@pytest.mark.skipif(not HTTP_PROXY_BUILT, reason="needs the HTTP proxy")
def test_http_users_through_curl(quoxel, counting_origin):
    srv = start(quoxel)
    o = counting_origin()
    url = f"http://127.0.0.1:{o.port}/"
    proxy = f"127.0.0.1:{srv.port}"
    for args in (["-x", f"http://alice:alice-secret@{proxy}"],
                 ["-x", f"http://{proxy}", "--proxy-anyauth", "-U", "alice:alice-secret"],
                 ["-x", f"http://alice:alice-secret@{proxy}", "--proxytunnel"]):
        out = curl(*args, url)
        assert out.returncode == 0, (args, out.stderr)
        assert out.stdout == BODY
    out = curl("-x", f"http://Alice:alice-secret@{proxy}", "-o", "/dev/null",
               "-w", "%{http_code}", url)
    assert out.stdout == b"407"


@pytest.mark.skipif(not HTTP_PROXY_BUILT, reason="needs the HTTP proxy")
def test_http_wrong_password_gets_the_407_template(quoxel):
    srv = start(quoxel)
    s = dial(srv.port)
    import base64
    cred = base64.b64encode(b"alice:nope").decode()
    s.sendall(f"GET http://origin.test/ HTTP/1.1\r\nHost: origin.test\r\n"
              f"Proxy-Authorization: Basic {cred}\r\n\r\n".encode())
    want = (b"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Agent: quoxel-kni/3.1.3\r\n"
            b"Proxy-Authenticate: Basic realm=\"xx\"\r\nContent-Length: 0\r\n\r\n")
    assert recv_exact(s, len(want)) == want
    s.close()


# ---- destination lists ----

def write_list(path, lines, mtime):
    path.write_text("".join(line + "\n" for line in lines))
    os.utime(path, (mtime, mtime))


def lists_server(quoxel, tmp_path, black, white=()):
    bl, wl = tmp_path / "black.txt", tmp_path / "white.txt"
    write_list(bl, black, 1_000_000)
    write_list(wl, white, 1_000_000)
    srv = start(quoxel, extra_quoxel=f"black_list_file = {bl}\nwhite_list_file = {wl}\n")
    assert srv.wait_output("black file", 5), srv.output()
    srv.black = bl
    return srv


def ask(srv, host, port):
    s = dial(srv.port)
    assert s5_login(s, "alice", "alice-secret") == b"\x01\x00"
    code = s5_connect(s, host, port)
    s.close()
    return code


def test_black_list_in_every_spelling(quoxel, tmp_path, counting_origin, dnsmasq):
    names = ["blocked.test", "a.blocked.test", "ok.blocked.test", "free.test"]
    dnsmasq({n: "127.0.0.1" for n in names})
    o = counting_origin(host="0.0.0.0")  # 127.0.0.2 would reach it too
    srv = lists_server(quoxel, tmp_path, ["BLOCKED.test.", "127.0.0.2"], ["ok.blocked.test"])
    refused = ["blocked.test", "Blocked.Test", "blocked.test.", "blocked.test..", ".blocked.test",
               "a..blocked.test", "127.0.0.2", "127.000.0.2", "0127.0.0.02"]
    for host in refused:
        assert ask(srv, host, o.port) != 0, host
    assert o.accepted == 0
    # Rule "blocked.test" lists that name only; the white list wins over the black list.
    for host in ["a.blocked.test", "ok.blocked.test", "free.test", "127.0.0.1"]:
        assert ask(srv, host, o.port) == 0, host
    assert wait_for(lambda: o.accepted == 4)
    assert "s5 tcp dst acl block" in srv.output()


def test_port_rules_and_sub_domain_rules(quoxel, tmp_path, counting_origin, dnsmasq):
    dnsmasq({"x.evil.test": "127.0.0.1", "evil.test": "127.0.0.1", "fine.test": "127.0.0.1"})
    o, other = counting_origin(), counting_origin()
    srv = lists_server(quoxel, tmp_path, [".evil.test", f":{other.port}"])
    assert ask(srv, "x.evil.test", o.port) != 0
    assert ask(srv, "evil.test", o.port) != 0
    assert ask(srv, "fine.test", other.port) != 0
    assert ask(srv, "fine.test", o.port) == 0
    assert other.accepted == 0


def test_private_addresses_in_lenient_spellings_are_refused(quoxel, counting_origin):
    subprocess.run(["ip", "addr", "add", "10.1.2.3/32", "dev", "lo"], check=True)
    try:
        o = counting_origin(host="10.1.2.3")
        srv = start(quoxel)
        for host in ["10.1.2.3", "010.1.2.3", "10.1.2.03", "167838211", "9.257.2.3",
                     "10.1.2.3.", "0x0a.1.2.3"]:
            assert ask(srv, host, o.port) != 0, host
        time.sleep(0.2)
        assert o.accepted == 0
        # With allow_internal_ip the same address is reached.
        srv2 = start(quoxel, extra_quoxel="allow_internal_ip = 1")
        assert ask(srv2, "010.1.2.3", o.port) == 0
        assert wait_for(lambda: o.accepted == 1)
    finally:
        subprocess.run(["ip", "addr", "del", "10.1.2.3/32", "dev", "lo"])


def test_black_list_edit_takes_effect_within_the_reload_interval(quoxel, tmp_path,
                                                                  counting_origin, dnsmasq):
    dnsmasq({"later.test": "127.0.0.1"})
    o = counting_origin()
    srv = lists_server(quoxel, tmp_path, ["first.test"])
    assert ask(srv, "later.test", o.port) == 0
    write_list(srv.black, ["first.test", "later.test"], 2_000_000)
    line = f"INFO  : black file {srv.black} is changed"
    assert wait_for(lambda: srv.output().count(line) == 2, 70), srv.output()
    assert ask(srv, "later.test", o.port) != 0


# ---- bandwidth ----

def timed_download(port, user, password, origin_port, size):
    s = dial(port)
    assert s5_login(s, user, password) == b"\x01\x00"
    assert s5_connect(s, "127.0.0.1", origin_port) == 0
    s.settimeout(30)
    s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    t0 = time.monotonic()
    got = 0
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        got += len(chunk)
    s.close()
    assert got > size
    return time.monotonic() - t0


def test_user_bandwidth_is_shared_by_its_sessions(quoxel, counting_origin):
    mb = 1_000_000
    big = counting_origin(body=b"x" * mb)
    half = counting_origin(body=b"x" * (mb // 2))
    srv = start(quoxel)
    # 100000 bytes/s with a 200000-byte bucket: about 8 s for 1 MB.
    took = timed_download(srv.port, "bob", "bob-pw", big.port, mb)
    assert 6.5 < took < 11, took
    # Two sessions of one user share its rate: 2 × 0.5 MB also takes about 8 s.
    times = []
    threads = [threading.Thread(target=lambda: times.append(
        timed_download(srv.port, "carol", "carol-pw", half.port, mb // 2))) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(40)
    assert len(times) == 2 and max(times) > 6.5, times
    # A user without a limit is not slowed.
    assert timed_download(srv.port, "alice", "alice-secret", big.port, mb) < 3


# ---- source restriction ----

def admitted(port, source):
    """True when the server keeps a connection from `source` open (and answers SOCKS5)."""
    s = dial(port, source)
    try:
        s.sendall(b"\x05\x01\x00")
        return recv_exact(s, 2) == b"\x05\x00"
    except OSError:
        return False
    finally:
        s.close()


def restrict_server(quoxel, tmp_path, mode, lines):
    f = tmp_path / "restrict.txt"
    write_list(f, lines, 1_000_000)
    srv = start(quoxel, auth=-1, proto="socks5",
                extra_quoxel=f"ip_restrict_mode = {mode}\nip_restrict_file = {f}\n")
    srv.file = f
    return srv


def test_allow_mode_with_networks_and_reload(quoxel, tmp_path):
    srv = restrict_server(quoxel, tmp_path, 1,
                          ["# 127.0.0.3", "127.0.0.2", "127.0.0.8/30", "127.0.0.20/31",
                           "127.0.0.0/0"])
    expect = {"127.0.0.2": True, "127.0.0.3": False, "127.0.0.8": False, "127.0.0.9": True,
              "127.0.0.10": True, "127.0.0.11": False, "127.0.0.20": True, "127.0.0.21": False,
              "127.0.0.1": False}
    for source, ok in expect.items():
        assert admitted(srv.port, source) == ok, source
    assert "invalid subnet mask: 127.0.0.0/0" in srv.output()
    write_list(srv.file, ["127.0.0.3"], 2_000_000)
    line = f"INFO  : ip restrict file {srv.file} is changed"
    assert wait_for(lambda: srv.output().count(line) == 2, 15), srv.output()
    assert wait_for(lambda: admitted(srv.port, "127.0.0.3"), 2)
    assert not admitted(srv.port, "127.0.0.2")


def test_deny_mode(quoxel, tmp_path):
    srv = restrict_server(quoxel, tmp_path, 2, ["127.0.0.7", "127.0.1.0/24"])
    for source, ok in {"127.0.0.7": False, "127.0.1.5": False, "127.0.0.1": True,
                       "127.0.0.6": True, "127.0.1.0": True}.items():
        assert admitted(srv.port, source) == ok, source

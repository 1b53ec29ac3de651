"""Local users, destination lists in every spelling, private addresses and source restriction
through the real binary."""
import os
import subprocess
import time

import pytest

from conftest import USERS, dial, http_origin, recv_exact, s5_login, wait_for

BODY = b"quoxel auth origin\n" * 50


def write_list(path, lines, mtime):
    path.write_text("".join(line + "\n" for line in lines))
    os.utime(path, (mtime, mtime))


def ask(srv, host, port):
    """The reply code of an authenticated CONNECT to host, None when closed without one."""
    s = dial(srv.port)
    assert s5_login(s, "alice", "alice-secret") == b"\x01\x00"
    name = host.encode()  # always as a name: the proxy reads the spelling
    s.sendall(b"\x05\x01\x00\x03" + bytes([len(name)]) + name + port.to_bytes(2, "big"))
    reply = recv_exact(s, 10)
    return reply[1] if len(reply) == 10 else None


def test_black_list_in_every_spelling(proxy, tmp_path, origin, dnsmasq):
    names = ["blocked.test", "a.blocked.test", "ok.blocked.test", "free.test"]
    dnsmasq({n: "127.0.0.1" for n in names})
    o = origin(http_origin(BODY), host="0.0.0.0")  # 127.0.0.2 would reach it too
    bl, wl = tmp_path / "black.txt", tmp_path / "white.txt"
    write_list(bl, ["BLOCKED.test.", "127.0.0.2"], 1_000_000)
    write_list(wl, ["ok.blocked.test"], 1_000_000)
    srv = proxy(USERS, {"quoxel": {"black_list_file": bl, "white_list_file": wl}})
    assert srv.wait_output("black file")
    for host in ["blocked.test", "Blocked.Test", "blocked.test.", "blocked.test..", ".blocked.test",
                 "a..blocked.test", "127.0.0.2", "127.000.0.2", "0127.0.0.02"]:
        assert ask(srv, host, o.port) != 0, host
    assert o.accepted == 0
    # Rule "blocked.test" lists that name only; the white list wins over the black list.
    for host in ["a.blocked.test", "ok.blocked.test", "free.test", "127.0.0.1"]:
        assert ask(srv, host, o.port) == 0, host
    assert wait_for(lambda: o.accepted == 4)
    assert "s5 tcp dst acl block" in srv.output()
    assert s5_login(dial(srv.port), "ALICE", "alice-secret") == b"\x01\x01"  # names keep case


def test_private_addresses_in_lenient_spellings_are_refused(proxy, origin):
    subprocess.run(["ip", "addr", "add", "10.1.2.3/32", "dev", "lo"], check=True)
    o = origin(http_origin(BODY), host="10.1.2.3")
    srv = proxy(USERS)
    for host in ["10.1.2.3", "010.1.2.3", "10.1.2.03", "167838211", "9.257.2.3", "10.1.2.3.",
                 "0x0a.1.2.3"]:
        assert ask(srv, host, o.port) != 0, host
    time.sleep(0.2)
    assert o.accepted == 0
    assert ask(proxy(USERS, {"quoxel": {"allow_internal_ip": 1}}), "010.1.2.3", o.port) == 0
    assert wait_for(lambda: o.accepted == 1)


def admitted(port, source):
    s = dial(port, source)
    try:
        return s5_login(s) == b"\x05\x00"
    except OSError:
        return False


# (mode, file lines, source -> admitted)
RESTRICT = [
    (1, ["# 127.0.0.3", "127.0.0.2", "127.0.0.8/30", "127.0.0.20/31", "127.0.0.0/0"],
     {"127.0.0.2": True, "127.0.0.3": False, "127.0.0.8": False, "127.0.0.9": True,
      "127.0.0.10": True, "127.0.0.11": False, "127.0.0.20": True, "127.0.0.21": False,
      "127.0.0.1": False}),
    (2, ["127.0.0.7", "127.0.1.0/24"], {"127.0.0.7": False, "127.0.1.5": False, "127.0.0.1": True,
                                        "127.0.0.6": True, "127.0.1.0": True}),
]


@pytest.mark.parametrize("mode,lines,expect", RESTRICT, ids=["allow", "deny"])
def test_source_restriction(proxy, tmp_path, mode, lines, expect):
    f = tmp_path / "restrict.txt"
    write_list(f, lines, 1_000_000)
    srv = proxy({"quoxel": {"ip_restrict_mode": mode, "ip_restrict_file": f}})
    for source, ok in expect.items():
        assert admitted(srv.port, source) == ok, source
    if mode == 1:
        assert "invalid subnet mask: 127.0.0.0/0" in srv.output()
        write_list(f, ["127.0.0.3"], 2_000_000)
        line = f"INFO  : ip restrict file {f} is changed"
        assert wait_for(lambda: srv.output().count(line) == 2, 15), srv.output()
        assert wait_for(lambda: admitted(srv.port, "127.0.0.3"), 2)
        assert not admitted(srv.port, "127.0.0.2")

"""Flow reports through the real binary to the collector double: whatever the collector, the network
or a SIGKILL does, every record ends up acknowledged or still on disk, never lost."""
import json
import os
import time

import pytest

from conftest import curl, factory, free_port, ini_text, merge, read_head, wait_for
from collector import Collector


class Counting:
    """An HTTP origin (one per user) counting the bytes it received and sent."""

    def __init__(self, origin, body):
        self.moved = [0, 0]

        def handle(conn):
            head = read_head(conn) or b""
            answer = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body)
            self.moved = [self.moved[0] + len(head), self.moved[1] + len(answer)]
            conn.sendall(answer)
        self.port = origin(handle).port


class Reports:
    def __init__(self, proxy, tmp_path, port):
        self.dir, self.proxy = tmp_path / "records", proxy
        self.settings = {"quoxel": {"ros_id": 77, "allow_internal_ip": 1}, "port0": {"auth": 0},
                         "auth0": {"type": "local", "user1": "alice:pw", "user2": "bob:pw"},
                         "auth0_flowreport": {"server_ip": "127.0.0.1", "server_port": port,
                                              "server_path": "collect", "interval": 1,
                                              "log_path": self.dir, "log_num": 50}}
        self.start()

    def start(self):
        self.srv = self.proxy(self.settings)
        self.settings["port0"]["port_start"] = self.settings["port0"]["port_end"] = self.srv.port

    def files(self):
        return sorted(n for n in os.listdir(self.dir) if n.startswith("flowreport_") and "." not in n)

    def fetch(self, users, socks=(True, False)):
        for user, dest in users.items():
            for s in socks:
                how = (["--socks5", f"127.0.0.1:{self.srv.port}", "-U", f"{user}:pw"] if s else
                       ["-x", f"http://{user}:pw@127.0.0.1:{self.srv.port}", "--proxytunnel"])
                assert curl(*how, f"http://127.0.0.1:{dest.port}/{user}").returncode == 0


def sums(records):
    out = {}
    for rec in {json.dumps(r, sort_keys=True): r for r in records}.values():  # distinct
        for token, (up, down) in rec["list"].items():
            out[token] = tuple(a + b for a, b in zip(out.get(token, (0, 0)), (up, down)))
    return out


@pytest.fixture
def collector():
    yield from factory(Collector, Collector.stop)


@pytest.fixture
def users(origin):
    return {"alice": Counting(origin, b"a" * 70000), "bob": Counting(origin, b"b" * 1234)}


def moved(users):
    return {u: tuple(d.moved) for u, d in users.items()}


@pytest.mark.parametrize("policy,kw", [("always", {}), ("twice", {}), ("keep", {"count": 3}),
                                       ("late", {"delay": 1.6, "count": 2}), ("drop", {"count": 2})])
def test_every_record_arrives_with_exact_sums(proxy, tmp_path, collector, users, policy, kw):
    col = collector(policy, **kw).start()
    rep = Reports(proxy, tmp_path, col.port)
    for _ in range(3):
        rep.fetch(users)
        time.sleep(1.1)
    assert wait_for(lambda: sums(col.received()) == moved(users) and not rep.files(), 15), (
        col.received(), rep.files(), moved(users))
    rec = col.received()[0]
    assert (set(rec), rec["r"], rec["ti"], col.paths[0]) == ({"list", "t", "ti", "r"}, 77, 1,
                                                             "/collect")
    if policy in ("always", "twice"):  # no resend was due: each record arrived exactly once
        assert len(col.received()) == len(set(json.dumps(r) for r in col.received()))
    if policy == "twice":
        assert "no record in flight, ignored" in rep.srv.output()


def test_down_silent_killed_and_restarted_loses_nothing(proxy, tmp_path, collector, users):
    port = free_port()
    rep = Reports(proxy, tmp_path, port)
    for n in range(3):  # the collector is down
        rep.fetch({"alice": users["alice"]}, socks=[n % 2 == 0])
        assert wait_for(lambda: len(rep.files()) == n + 1, 5), rep.files()
    silent = collector("never").start(port)  # gets the oldest again and again, acknowledges none
    assert wait_for(lambda: len(silent.received()) >= 2, 10) and len(sums(silent.received())) == 1
    assert len(rep.files()) == 3 and "out of time" in rep.srv.output()
    rep.srv.proc.kill()  # mid-send
    rep.srv.proc.wait(5)
    silent.stop()
    (rep.dir / "flowreport_1.tmp").write_bytes(b"\x10\x00\x00\x00half")
    (rep.dir / "flowreport.txt").write_text("not ours")
    col = collector("always").start(port)
    rep.start()
    assert wait_for(lambda: not rep.files(), 10), rep.files()
    assert [r["t"] for r in col.received()] == sorted(r["t"] for r in col.received())
    assert sums(col.received()) == {"alice": tuple(users["alice"].moved)}
    assert sorted(os.listdir(rep.dir)) == ["flowreport.txt", "flowreport_1.tmp"]
    assert "ignores the unfinished record" in rep.srv.output()


def test_reports_sharing_a_directory_are_refused(quoxel, tmp_path):
    report = {"server_ip": "127.0.0.1", "server_port": 9, "server_path": "c", "log_num": 3,
              "log_path": tmp_path}
    srv = quoxel(ini_text(merge({"auth0": {"type": "local", "user1": "a:b"}, "port0": {"auth": 0},
                                 "auth0_flowreport": report, "auth0_statsreport": report})))
    assert srv.wait_exit() == 1 and "share the directory" in srv.output()

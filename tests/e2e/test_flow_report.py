"""Flow reports through the real binary: curl moves bytes through SOCKS5 and HTTP CONNECT for two
users, the proxy writes one record file per interval and delivers it to the collector double of
tests/peers/collector.py, whose answers follow a policy. Whatever the collector does, every
interval's record ends up acknowledged once or still on disk."""
import json
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

from conftest import curl, free_port, read_head, wait_for

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "peers"))
from collector import Collector, read_file  # noqa: E402

PEERS = os.path.join(os.path.dirname(__file__), "..", "peers", "trans_peers.py")


class Counting:
    """An HTTP origin per user that counts the bytes it received and sent."""

    def __init__(self, origin, body):
        self.up = self.down = 0
        self.lock = threading.Lock()

        def handle(conn):
            head = read_head(conn) or b""
            answer = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n" % len(
                body) + body
            conn.sendall(answer)
            with self.lock:
                self.up += len(head)
                self.down += len(answer)
        self.port = origin(handle).port


class Reports:
    def __init__(self, proxy, tmp_path, port, interval=1, log_num=50):
        self.dir = tmp_path / "records"
        self.dir.mkdir(exist_ok=True)
        self.settings = {
            "quoxel": {"ros_id": 77, "allow_internal_ip": 1},
            "auth0": {"type": "local", "user1": "alice:pw", "user2": "bob:pw"},
            "auth0_flowreport": {"server_ip": "127.0.0.1", "server_port": port,
                                 "server_path": "collect", "interval": interval,
                                 "log_path": self.dir, "log_num": log_num},
            "port0": {"auth": 0}}
        self.proxy = proxy
        self.start()

    def start(self):
        self.srv = self.proxy(self.settings)
        self.settings["port0"]["port_start"] = self.settings["port0"]["port_end"] = self.srv.port

    def files(self):
        return sorted(n for n in os.listdir(self.dir)
                      if n.startswith("flowreport_") and not n.endswith(".tmp"))

    def on_disk(self):
        return [read_file(self.dir / n) for n in self.files()]

    def fetch(self, user, dest, socks):
        url = f"http://127.0.0.1:{dest.port}/{user}"
        how = (["--socks5", f"127.0.0.1:{self.srv.port}", "-U", f"{user}:pw"] if socks else
               ["-x", f"http://{user}:pw@127.0.0.1:{self.srv.port}", "--proxytunnel"])
        assert curl(*how, url).returncode == 0


def sums(records):
    out = {}
    for rec in records:
        for token, (up, down) in rec["list"].items():
            u, d = out.get(token, (0, 0))
            out[token] = (u + up, d + down)
    return out


def distinct(records):
    return {json.dumps(r, sort_keys=True): r for r in records}.values()


@pytest.fixture
def collector():
    started = []

    def start(policy="always", port=0, **kw):
        started.append(Collector(policy, **kw).start(port))
        return started[-1]
    yield start
    for c in started:
        c.stop()


@pytest.fixture
def users(origin):
    return {"alice": Counting(origin, b"a" * 70000), "bob": Counting(origin, b"b" * 1234)}


def traffic(rep, users, rounds=1):
    for _ in range(rounds):
        for user, dest in users.items():
            rep.fetch(user, dest, socks=True)
            rep.fetch(user, dest, socks=False)


def want(users):
    return {u: (d.up, d.down) for u, d in users.items()}


def test_records_carry_exact_sums_and_are_deleted_once_acknowledged(proxy, tmp_path, collector,
                                                                     users):
    col = collector("always")
    rep = Reports(proxy, tmp_path, col.port)
    traffic(rep, users, rounds=2)
    assert wait_for(lambda: sums(col.received()) == want(users), 10), (col.received(), want(users))
    rec = col.received()[0]
    assert set(rec) == {"list", "t", "ti", "r"} and rec["r"] == 77 and rec["ti"] == 1
    assert abs(rec["t"] - time.time()) < 30
    assert col.paths[0] == "/collect"
    assert wait_for(lambda: rep.files() == [], 5), rep.files()


@pytest.mark.parametrize("policy", ["never", "keep"])
def test_unacknowledged_record_is_sent_again_and_kept(proxy, tmp_path, collector, users, policy):
    col = collector(policy)
    rep = Reports(proxy, tmp_path, col.port)
    rep.fetch("alice", users["alice"], socks=False)
    assert wait_for(lambda: len(col.received()) >= 3, 12), col.received()
    assert len(distinct(col.received())) == 1
    assert len(rep.files()) == 1 and sums(rep.on_disk()) == want({"alice": users["alice"]})
    if policy == "never":
        assert col.connections >= 2  # the answer's time-out restarts the connection
        assert "out of time" in rep.srv.output()


def test_collector_down_then_up_gets_every_record_oldest_first(proxy, tmp_path, collector, users):
    port = free_port()
    rep = Reports(proxy, tmp_path, port)
    for n in range(3):
        rep.fetch("alice", users["alice"], socks=n % 2 == 0)
        assert wait_for(lambda: len(rep.files()) == n + 1, 5), rep.files()
    col = collector("always", port=port)
    assert wait_for(lambda: rep.files() == [], 10), rep.files()
    got = col.received()
    assert len(got) == 3 and [r["t"] for r in got] == sorted(r["t"] for r in got)
    assert sums(got) == want({"alice": users["alice"]})


@pytest.mark.parametrize("policy,kw", [("twice", {}), ("late", {"delay": 1.6, "count": 2}),
                                       ("drop", {"count": 2})])
def test_misbehaving_collector_loses_nothing(proxy, tmp_path, collector, users, policy, kw):
    col = collector(policy, **kw)
    rep = Reports(proxy, tmp_path, col.port)
    for _ in range(4):
        traffic(rep, users)
        time.sleep(1.2)

    def settled():
        return sums(list(distinct(col.received())) + rep.on_disk()) == want(users)
    assert wait_for(settled, 15), (col.received(), rep.on_disk(), want(users))
    if policy == "twice":
        # Every record reached the collector once; surplus answers deleted nothing unsent.
        assert wait_for(lambda: rep.files() == [], 5)
        assert len(col.received()) == len(list(distinct(col.received())))
        assert "no record in flight, ignored" in rep.srv.output()


def test_sigkill_mid_send_then_restart_sends_what_was_on_disk(proxy, tmp_path, collector, users):
    silent = collector("never")
    rep = Reports(proxy, tmp_path, silent.port)
    traffic(rep, {"bob": users["bob"]})
    assert wait_for(lambda: silent.received(), 8)
    rep.srv.proc.send_signal(signal.SIGKILL)
    rep.srv.proc.wait(5)
    (rep.dir / "flowreport_1.tmp").write_bytes(b"\x10\x00\x00\x00half")
    (rep.dir / "flowreport.txt").write_text("not ours")
    col = collector("always")
    rep.settings["auth0_flowreport"]["server_port"] = col.port
    rep.start()
    assert wait_for(lambda: rep.files() == [], 10), rep.files()
    assert sums(col.received()) == want({"bob": users["bob"]})
    out = rep.srv.output()
    assert "ignores the unfinished record" in out and "not a record name" in out
    assert sorted(os.listdir(rep.dir)) == ["flowreport.txt", "flowreport_1.tmp"]


def test_wrong_accept_value_is_refused(proxy, tmp_path, users):
    port = free_port()
    bad = subprocess.Popen(["/usr/bin/python3", PEERS, "badws", str(port)], stdout=subprocess.PIPE)
    try:
        assert bad.stdout.readline().strip() == b"ready"
        rep = Reports(proxy, tmp_path, port)
        traffic(rep, {"alice": users["alice"]})
        assert rep.srv.wait_output("flow report websocket handshake failed", 8), rep.srv.output()
        assert wait_for(lambda: len(rep.files()) == 1, 5)
        time.sleep(2)
        assert len(rep.files()) == 1
    finally:
        bad.kill()
        bad.wait(5)


def test_reports_sharing_a_directory_are_refused(proxy, quoxel, tmp_path):
    from conftest import ini_text, merge
    shared = tmp_path / "shared"
    report = {"server_ip": "127.0.0.1", "server_port": 9, "server_path": "c", "log_path": shared,
              "log_num": 3}
    text = ini_text(merge({"auth0": {"type": "local", "user1": "a:b"}, "port0": {"auth": 0},
                           "auth0_flowreport": report, "auth0_statsreport": report}))
    srv = quoxel(text)
    assert srv.wait_exit() == 1
    assert "share the directory" in srv.output()

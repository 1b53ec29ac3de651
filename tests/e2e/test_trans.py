"""The service transports (TCP with LEB128 framing, UDP, WebSocket) and their pool, driven by the
trans_probe tool against the echo servers of tests/peers/trans_peers.py (the WebSocket one is the
websockets library)."""
import os
import queue
import subprocess
import threading

import pytest

from conftest import free_port, wait_for

HERE = os.path.dirname(__file__)
TOOLS = os.environ.get("QUOXEL_TOOLS", ".")
PEERS = os.path.join(HERE, "..", "peers", "trans_peers.py")
SIZES = [0, 1, 127, 128, 300, 65535, 65536, 1 << 20]


def fnv1a(data):
    h = 0xcbf29ce484222325
    for b in data:
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return f"{h:016x}"


def pattern(n, seed):
    return bytes((seed * 7 + i * 13 + (i >> 8)) & 0xFF for i in range(n))


class Lines:
    """A child process whose output lines are collected by a thread."""

    def __init__(self, args):
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True, bufsize=1)
        self.lines = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.append(line.rstrip("\n"))

    def wait(self, pred, timeout=5.0):
        return wait_for(lambda: [l for l in list(self.lines) if pred(l)] or None, timeout)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(5)


class Peer(Lines):
    def __init__(self, kind, port):
        self.kind, self.port = kind, port
        super().__init__(["/usr/bin/python3", PEERS, kind, str(port)])
        assert self.wait(lambda l: l == "ready"), self.lines


class Probe(Lines):
    def __init__(self, *args):
        super().__init__([os.path.join(TOOLS, "trans_probe"), *args])
        assert self.wait(lambda l: l == "= ready"), self.lines

    def cmd(self, text):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()

    def events(self, kind):
        return [l.split()[2:] for l in list(self.lines) if l.startswith(f"= {kind} ")]

    def count(self, kind):
        return len(self.events(kind))

    def wait_count(self, kind, n, timeout=5.0):
        assert wait_for(lambda: self.count(kind) >= n, timeout), "\n".join(self.lines)

    def wait_status(self, pred, timeout=5.0):
        """Asks for the members' statuses until pred holds for the answer."""
        def check():
            self.cmd("status")
            got = wait_for(lambda: self.events("status"), 1)
            return got and pred(got[-1])
        assert wait_for(check, timeout, 0.1), "\n".join(self.lines)

    def close(self):
        self.proc.stdin.close()
        rc = self.proc.wait(10)
        out = "\n".join(self.lines)
        assert "AddressSanitizer" not in out and "runtime error" not in out, out
        assert rc == 0, out


@pytest.fixture
def peers():
    started = []

    def start(kind, port=None):
        p = Peer(kind, port or free_port())
        started.append(p)
        return p
    yield start
    for p in started:
        p.stop()


@pytest.mark.parametrize("kind", ["tcp", "ws", "udp"])
def test_messages_echoed_exactly(peers, kind):
    peer = peers(kind)
    probe = Probe(f"{kind}:127.0.0.1:{peer.port}")
    probe.wait_count("init", 1)
    # An empty datagram is no message: the UDP client ignores it, so the echo of 0 bytes is lost.
    sizes = [s for s in SIZES if kind != "udp" or 0 < s <= 65000]
    for seed, n in enumerate(sizes):
        probe.cmd(f"send {n} {seed}")
        probe.wait_count("data", seed + 1, 10)
    got = probe.events("data")
    want = [["0", str(n), fnv1a(pattern(n, seed))] for seed, n in enumerate(sizes)]
    assert got == want
    probe.close()


@pytest.mark.parametrize("kind", ["tcp", "ws"])
def test_hostile_server_closes_and_comes_back(peers, kind):
    """A 2^40 length closes the connection without growing memory; the silent server is left
    after the heartbeat; every close is followed by a reconnection."""
    peer = peers(kind)
    probe = Probe("--heartbeat", "1500", f"{kind}:127.0.0.1:{peer.port}")
    probe.wait_count("init", 1)
    probe.cmd("rss")
    probe.wait_count("rss", 1)
    probe.cmd("raw cmd:bomb")
    assert probe.wait(lambda l: "frame, do close" in l or "message length over" in l)
    probe.wait_count("init", 2)
    probe.cmd("rss")
    probe.wait_count("rss", 2)
    before, after = (int(e[0]) for e in probe.events("rss"))
    assert after - before < 4096, (before, after)
    probe.cmd("raw cmd:silent")
    assert probe.wait(lambda l: "last active time is time out" in l, 4)
    probe.wait_count("init", 3)
    probe.cmd("send 5 1")
    probe.wait_count("data", 1)
    probe.close()


def test_websocket_controls(peers):
    peer = peers("ws")
    probe = Probe("ws:127.0.0.1:%d" % peer.port)
    probe.wait_count("init", 1)
    probe.cmd("raw cmd:ping")
    probe.wait_count("data", 1)
    assert probe.events("data")[0][1:] == ["4", fnv1a(b"pong")]
    probe.cmd("raw cmd:text")
    assert probe.wait(lambda l: "unsupported opcode 1" in l)
    probe.wait_count("init", 2)
    probe.close()


def test_wrong_accept_refused(peers):
    peer = peers("badws")
    probe = Probe("--reconn-inval", "100", f"ws:127.0.0.1:{peer.port}")
    assert wait_for(lambda: len([l for l in probe.lines if "websocket handshake failed" in l]) >= 3)
    assert probe.count("init") == 0
    probe.close()


def test_gone_and_back_with_owner_told(peers):
    port = free_port()
    probe = Probe("--reconn-inval", "300", "--reconn-cnt", "3", f"tcp:127.0.0.1:{port}")
    # Nothing listens: closes come reconn_inval apart and every third one is reported.
    probe.wait_count("close", 2, 4)
    failures = [l for l in probe.lines if "connected to dst" in l]
    assert 6 <= len(failures) <= 9, failures
    peer = peers("tcp", port)
    probe.wait_count("init", 1, 2)
    probe.cmd("send 128 3")
    probe.wait_count("data", 1)
    peer.stop()
    probe.wait_status(lambda s: s == ["0"])
    peers("tcp", port)
    probe.wait_count("init", 2, 3)
    probe.close()


def test_udp_takes_only_the_servers_datagrams(peers):
    peer = peers("udp")
    probe = Probe(f"udp:127.0.0.1:{peer.port}")
    probe.wait_count("init", 1)
    probe.cmd("raw cmd:foreign")
    probe.wait_count("data", 1)
    probe.cmd("send 10 2")
    probe.wait_count("data", 2)
    assert [e[1] for e in probe.events("data")] == ["11", "10"]
    assert probe.count("init") == 1
    probe.close()


def test_pool_of_mixed_transports(peers):
    kinds = ["ws", "tcp", "udp"]
    ps = [peers(k) for k in kinds]
    probe = Probe(*(f"{k}:127.0.0.1:{p.port}" for k, p in zip(kinds, ps)))
    probe.wait_count("init", 3)
    for i in range(6):
        probe.cmd(f"send 100 {i}")
    probe.wait_count("data", 6)
    assert [e[0] for e in probe.events("sent")] == ["1", "2", "0", "1", "2", "0"]
    assert sorted(e[0] for e in probe.events("data")) == ["0", "0", "1", "1", "2", "2"]
    # The TCP member goes: sends spread over the two others, then it is back.
    ps[1].stop()
    probe.wait_status(lambda s: s == ["4", "0", "4"])
    for i in range(4):
        probe.cmd(f"send 10 {i}")
    assert probe.wait(lambda l: len(probe.events("sent")) >= 10)
    assert [e[0] for e in probe.events("sent")[6:]] == ["2", "0", "2", "0"]
    ps[1] = peers("tcp", ps[1].port)
    probe.wait_count("init", 4)
    # Every member down: sends are taken without being sent; then all come back.
    for p in ps:
        p.stop()
    probe.wait_status(lambda s: s[:2] == ["0", "0"])
    probe.cmd("send 10 9")
    assert probe.wait(lambda l: l in ("= sent none 1", "= sent 2 1"))
    ps = [peers(k, p.port) for k, p in zip(kinds, ps)]
    probe.wait_count("init", 6, 5)
    probe.close()

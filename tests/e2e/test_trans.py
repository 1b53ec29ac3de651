"""The service transports (TCP with LEB128 framing, UDP, WebSocket) and their pool, driven by the
trans_probe tool against the echo servers of tests/peers/trans_peers.py."""
import os
import subprocess
import threading
import time

import pytest

from conftest import factory, free_port, wait_for

TOOLS = os.environ.get("QUOXEL_TOOLS", ".")
PEERS = os.path.join(os.path.dirname(__file__), "..", "peers", "trans_peers.py")


def fnv1a(data):
    h = 0xcbf29ce484222325
    for b in data:
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return f"{h:016x}"


def pattern(n, seed):
    return bytes((seed * 7 + i * 13 + (i >> 8)) & 0xFF for i in range(n))


class Child:
    """A process whose output lines are collected; `= <kind> ...` lines are the probe's events."""

    def __init__(self, *args, ready):
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True, bufsize=1)
        self.lines = []
        threading.Thread(target=lambda: [self.lines.append(l.rstrip()) for l in self.proc.stdout],
                         daemon=True).start()
        assert wait_for(lambda: ready in self.lines), self.lines

    def cmd(self, text):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()

    def logged(self, text, n=1, timeout=5.0):
        return wait_for(lambda: sum(text in l for l in list(self.lines)) >= n, timeout)

    def events(self, kind):
        return [l.split()[2:] for l in list(self.lines) if l.startswith(f"= {kind} ")]

    def wait(self, kind, n, timeout=5.0):
        assert wait_for(lambda: len(self.events(kind)) >= n, timeout), "\n".join(self.lines)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(5)

    def close(self):
        self.proc.stdin.close()
        rc, out = self.proc.wait(10), "\n".join(self.lines)
        assert rc == 0 and "Sanitizer" not in out and "runtime error" not in out, out


def start_peer(kind):
    port = free_port()
    child = Child("/usr/bin/python3", PEERS, kind, str(port), ready="ready")
    child.port = port
    return child


@pytest.fixture
def peer():
    yield from factory(start_peer, Child.stop)


def probe(*args):
    return Child(os.path.join(TOOLS, "trans_probe"), *args, ready="= ready")


@pytest.mark.parametrize("kind", ["tcp", "ws", "udp"])
def test_messages_echoed_exactly(peer, kind):
    p = probe(f"{kind}:127.0.0.1:{peer(kind).port}")
    p.wait("init", 1)
    sizes = [0, 1, 127, 128, 300, 65535, 65536, 1 << 20]
    if kind == "udp":  # one datagram each; an empty datagram is no message and is ignored
        sizes = sizes[1:5] + [65507]
    for seed, n in enumerate(sizes):
        p.cmd(f"send {n} {seed}")
        p.wait("data", seed + 1, 10)
    assert p.events("data") == [["0", str(n), fnv1a(pattern(n, seed))]
                                for seed, n in enumerate(sizes)]
    p.close()


@pytest.mark.parametrize("kind", ["tcp", "ws"])
def test_hostile_server_is_left_and_rejoined(peer, kind):
    """A 2^40 length closes without growing memory, half a message leaves nothing behind, a
    silent server is left after the heartbeat; each time the client comes back."""
    p = probe("--heartbeat", "1500", f"{kind}:127.0.0.1:{peer(kind).port}")
    p.wait("init", 1)
    p.cmd("rss")
    p.cmd("raw cmd:bomb")
    assert p.logged("frame, do close" if kind == "ws" else "message length over")
    p.wait("init", 2)
    p.cmd("rss")
    p.wait("rss", 2)
    before, after = (int(e[0]) for e in p.events("rss"))
    assert after - before < 4096, (before, after)
    p.cmd("raw cmd:half")
    p.wait("init", 3)
    p.cmd("send 5 1")
    p.wait("data", 1)
    assert p.events("data") == [["0", "5", fnv1a(pattern(5, 1))]]
    p.cmd("raw cmd:silent")
    assert p.logged("last active time is time out", 1, 4)
    p.wait("init", 4)
    p.close()


def test_websocket_ping_text_and_wrong_accept(peer):
    p = probe(f"ws:127.0.0.1:{peer('ws').port}")
    p.wait("init", 1)
    p.cmd("raw cmd:ping")  # the server sends "pong" only once our pong matched its ping
    p.wait("data", 1)
    assert p.events("data")[0][1:] == ["4", fnv1a(b"pong")]
    p.cmd("raw cmd:text")
    assert p.logged("unsupported opcode 1")
    p.wait("init", 2)
    p.close()
    p = probe("--reconn-inval", "100", f"ws:127.0.0.1:{peer('badws').port}")
    assert p.logged("websocket handshake failed", 3)
    assert p.events("init") == []
    p.close()


def test_udp_takes_only_the_servers_datagrams(peer):
    p = probe(f"udp:127.0.0.1:{peer('udp').port}")
    p.wait("init", 1)
    p.cmd("raw cmd:foreign")
    p.cmd("send 10 2")
    p.wait("data", 2)
    assert [e[1] for e in p.events("data")] == ["11", "10"]
    assert len(p.events("init")) == 1
    p.close()
    # A name that cannot resolve is asked for again only after reconn_inval.
    p = probe("--reconn-inval", "300", "udp:" + "x" * 64 + ".test:9")
    time.sleep(1.2)
    assert 3 <= sum("resolve failed" in l for l in p.lines) <= 5, p.lines
    p.close()


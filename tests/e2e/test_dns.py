"""The resolver against a real DNS server (dnsmasq on 127.0.0.1:53, which the namespace's
/etc/resolv.conf names) and against a scripted double for what dnsmasq will not do. The resolver
runs inside the dns_probe driver, one line of output per answer."""
import os
import queue
import subprocess
import sys
import threading
import time

import pytest

from conftest import wait_for

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "peers"))
from dns_double import DnsDouble, rr_a, rr_aaaa  # noqa: E402

TOOLS = os.environ.get("QUOXEL_TOOLS", ".")


class Probe:
    """dns_probe reading commands on stdin; its output lines are collected by a thread."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([os.path.join(TOOLS, "dns_probe"), *args],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True, bufsize=1)
        self.lines = []
        self._q = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        assert self.wait_answer("ready", 5) is not None, self.output()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.append(line.rstrip("\n"))

    def send(self, *commands):
        for c in commands:
            self.proc.stdin.write(c + "\n")
        self.proc.stdin.flush()

    def answers(self, name):
        """Answer lines for name: (status, address, sync|async)."""
        out = []
        for line in self.lines:
            parts = line.split()
            if len(parts) == 5 and parts[0] == "=" and parts[1] == name:
                out.append((int(parts[2]), parts[3], parts[4]))
        return out

    def wait_answer(self, name, timeout=3.0, count=1):
        if name == "ready":
            return wait_for(lambda: "= ready" in self.lines or None, timeout)
        got = wait_for(lambda: len(self.answers(name)) >= count, timeout)
        return self.answers(name)[count - 1] if got else None

    def resolve(self, name, kind="a", timeout=3.0):
        before = len(self.answers(name))
        self.send(f"{kind} {name}")
        return self.wait_answer(name, timeout, before + 1)

    def output(self):
        return "\n".join(self.lines)

    def close(self):
        self.proc.stdin.close()
        try:
            rc = self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            rc = None
        out = self.output()
        assert "AddressSanitizer" not in out and "runtime error" not in out, out
        return rc


@pytest.fixture
def dnsmasq(tmp_path):
    hosts = tmp_path / "hosts"
    lines = ["10.9.0.1 one.test", "fd00::6 six.test"]
    lines += [f"10.8.0.{i} many.test" for i in range(1, 41)]
    hosts.write_text("\n".join(lines) + "\n")
    log = tmp_path / "dnsmasq.log"
    proc = subprocess.Popen(["dnsmasq", "--no-daemon", "--port=53", "--listen-address=127.0.0.1",
                             "--bind-interfaces", "--no-resolv", "--no-hosts", "--log-queries",
                             f"--addn-hosts={hosts}", f"--log-facility={log}",
                             "--local-ttl=300", "--local=/test/", f"--pid-file={tmp_path}/pid"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    assert wait_for(lambda: log.exists() and "started" in log.read_text(), 5), "dnsmasq start"

    def queries(name):
        return log.read_text().count(f"] {name} from")

    yield queries
    proc.kill()
    proc.wait(5)


@pytest.fixture
def probe():
    started = []

    def start(*args):
        p = Probe(*args)
        started.append(p)
        return p

    yield start
    for p in started:
        if p.proc.poll() is None:
            p.close()


def test_real_server_answers_caches_and_fails(dnsmasq, probe):
    p = probe()
    assert p.resolve("one.test") == (0, "10.9.0.1", "async"), p.output()
    asked = dnsmasq("one.test")
    assert asked == 1
    for _ in range(3):
        assert p.resolve("one.test") == (0, "10.9.0.1", "sync")
    assert p.resolve("one.test.") == (0, "10.9.0.1", "sync")
    assert dnsmasq("one.test") == asked  # no more traffic for a cached name

    assert p.resolve("six.test", kind="aaaa") == (0, "fd00::6", "async")
    assert p.resolve("six.test")[0] == 638  # NODATA: the name has no A record
    assert p.resolve("nx.test")[0] == 638  # NXDOMAIN
    assert p.resolve("elsewhere.example")[0] == 637  # no upstream: REFUSED
    assert "ERROR : dns domain elsewhere.example, reply code: 5" in p.output()
    assert p.resolve("10.1.2.3") == (0, "10.1.2.3", "sync")
    assert p.resolve("x" * 64 + ".test")[0] == 638   # refused before anything is sent
    assert dnsmasq("x" * 64 + ".test") == 0
    assert p.close() == 0


def test_real_server_truncation_goes_to_tcp(dnsmasq, probe):
    p = probe()
    status, addr, _ = p.resolve("many.test", timeout=5)
    assert status == 0 and addr.startswith("10.8.0."), p.output()
    first = int(addr.rsplit(".", 1)[1])
    # Up to four addresses are kept; cache hits spread over exactly those.
    seen = {p.resolve("many.test")[1] for _ in range(60)}
    assert 1 <= len(seen) <= 4 and addr in seen
    assert 1 <= first <= 40
    assert dnsmasq("many.test") == 2  # once over UDP (truncated), once over TCP
    p.close()


@pytest.fixture
def double():
    d = DnsDouble("127.0.0.3").start()
    yield d
    d.stop()


def test_double_exact_order_ttl_and_hostile_answers(double, probe, tmp_path):
    conf = tmp_path / "resolv.conf"
    conf.write_text("nameserver 127.0.0.3\n")
    double.set("order.test", answers=[rr_a(f"10.7.0.{i}", 300) for i in range(1, 7)])
    double.set("v6.test", answers=[rr_a("10.0.0.1", 5), rr_aaaa("fd00::1", 5)])
    double.set("silent.test", silent=True)
    double.set("late.test", late=6, answers=[rr_a("10.7.7.7", 300)])
    double.set("port.test", from_port=True, answers=[rr_a("10.6.6.6", 300)])
    double.set("addr.test", from_addr="127.0.0.4", answers=[rr_a("10.6.6.7", 300)])
    double.set("dup.test", tc=3, answers=[rr_a("10.5.5.5", 300)])
    double.set("short.test", raw=b"\0\0\x81\x80\0")
    double.set("badlabel.test",
               raw=b"\0\0\x81\x80\0\x01\0\x01\0\0\0\0\x40bad\0\0\x01\0\x01" + rr_a("1.1.1.1", 1))
    double.set("cut.test", raw=b"\0\0\x81\x80\0\x01\0\x02\0\0\0\0\x03cut\x04test\0\0\x01\0\x01"
               + rr_a("10.4.4.4", 30)[:-1])
    double.set("ptrloop.test", raw=b"\0\0\x81\x80\0\x01\0\x01\0\0\0\0\xc0\x0c\0\x01\0\x01"
               + b"\xc0\x0c\0\x01\0\x01\0\0\0\x1e\0\x04\x0a\x03\x03\x03")
    double.set("tcpshort.test", tc=1, tcp_raw=b"\x01\x00\0\0\x81\x80")
    p = probe("--resolv-conf", str(conf), "--port", str(double.port))

    start = time.monotonic()
    p.send(*(f"a {n}" for n in ["silent.test", "late.test", "port.test", "addr.test",
                                  "short.test", "dup.test", "badlabel.test", "cut.test",
                                  "ptrloop.test", "tcpshort.test", "order.test"]))
    p.send("aaaa v6.test")
    status, addr, _ = p.wait_answer("order.test")
    assert status == 0 and addr in {f"10.7.0.{i}" for i in range(1, 5)}, p.output()
    assert p.wait_answer("dup.test")[:2] == (0, "10.5.5.5"), p.output()
    assert double.questions.count(("tcp", "dup.test", 1)) == 1  # three TC datagrams, one connection
    assert p.wait_answer("v6.test")[:2] == (0, "fd00::1")
    assert p.wait_answer("tcpshort.test")[0] == 637
    assert p.wait_answer("cut.test")[0] == 638

    # Only the first four addresses, in the server's order, are kept.
    seen = {p.resolve("order.test")[1] for _ in range(80)}
    assert seen == {f"10.7.0.{i}" for i in range(1, 5)}, seen

    # Silence, and answers that are not the question's (other port or address, a question that
    # cannot be read or that is a pointer) all end in the timeout.
    for name in ["silent.test", "late.test", "port.test", "addr.test", "short.test",
                 "badlabel.test", "ptrloop.test"]:
        assert p.wait_answer(name, 8) is not None, (name, p.output())
        assert p.answers(name) == [(639, "-", "async")], (name, p.output())
    elapsed = time.monotonic() - start
    assert 4.9 <= elapsed < 8, elapsed
    time.sleep(1.5)  # the late answer (6 s) arrives and is ignored
    assert len(p.answers("late.test")) == 1
    assert p.close() == 0


def test_resolv_conf_change_is_picked_up(double, probe, tmp_path):
    conf = tmp_path / "resolv.conf"
    conf.write_text("nameserver 127.0.0.5\n")  # nothing listens there
    double.set("moved.test", answers=[rr_a("10.3.2.1", 60)])
    p = probe("--resolv-conf", str(conf), "--port", str(double.port))
    conf.write_text("# moved\nnameserver 127.0.0.3\n")
    line = "INFO  : dns server addr changed, reload: 127.0.0.5 -> 127.0.0.3"
    assert wait_for(lambda: line in p.output(), 13), p.output()
    assert p.resolve("moved.test") == (0, "10.3.2.1", "async")
    p.close()

"""Egress pools and alias interfaces on a veth device, via ip_pool_probe and `ip addr`."""
import os
import subprocess

import pytest

TOOLS = os.environ.get("QUOXEL_TOOLS", ".")
DEV = "v0"


def sh(*args):
    return subprocess.run(args, capture_output=True, text=True, timeout=10, check=True).stdout


def addresses():
    """{address: label} of the IPv4 addresses on DEV."""
    out = {}
    for line in sh("ip", "-4", "-o", "addr", "show", "dev", DEV).splitlines():
        words = line.replace("\\", " ").split()
        address = words[words.index("inet") + 1].split("/")[0]
        out[address] = words[words.index("scope") + 2]
    return out


@pytest.fixture
def veth():
    subprocess.run(["ip", "link", "del", DEV], capture_output=True)
    sh("ip", "link", "add", DEV, "type", "veth", "peer", "name", "v1")
    sh("ip", "link", "set", DEV, "up")
    sh("ip", "addr", "add", "192.0.2.1/24", "dev", DEV)  # the device's own address
    yield
    subprocess.run(["ip", "link", "del", DEV], capture_output=True)


class Probe:
    """The probe on an INI text: send() one command, get its "= " answer."""

    def __init__(self, tmp_path, ini_text):
        path = tmp_path / "pool.ini"
        path.write_text(ini_text)
        self.lines = []
        self.proc = subprocess.Popen(
            [os.path.join(TOOLS, "ip_pool_probe"), str(path), "port0", DEV],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.loaded = self._answer()

    def _answer(self):
        while True:
            line = self.proc.stdout.readline()
            assert line, "probe ended early:\n" + "".join(self.lines)
            self.lines.append(line)
            if line.startswith("= "):
                return line[2:].strip()

    def send(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        return self._answer()

    def close(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            self.proc.wait(5)
        return "".join(self.lines) + self.proc.stdout.read()


@pytest.fixture
def probe(tmp_path):
    started = []
    yield lambda ini_text: started.append(Probe(tmp_path, ini_text)) or started[-1]
    for p in started:
        print(f"\n----- probe output -----\n{p.close()}")  # pytest shows it for failures


POOL = """[port0]
max_level1_user=2
level1_virtual_ip_list=10.9.0.1,10.9.0.2,10.9.0.3
max_level2_user=4
level2_virtual_ip_list=172.20.0.0/30
"""


def test_pool_puts_addresses_on_and_takes_them_off(veth, probe):
    # A stale pool address left on the device is taken off when the pool loads.
    sh("ip", "addr", "add", "10.9.0.2/32", "dev", DEV, "label", "v0:90002")
    p = probe(POOL)
    assert p.loaded == "loaded"
    assert set(addresses()) == {"192.0.2.1"}

    assert p.send("get 1") == "10.9.0.1"
    assert addresses().get("10.9.0.1") == "v0:90001"
    # Each pool address stands alone: no secondary of another, no route for its whole class.
    assert "inet 10.9.0.1/32 " in sh("ip", "-4", "-o", "addr", "show", "dev", DEV)
    assert "10.0.0.0/8" not in sh("ip", "-4", "route", "show", "dev", DEV)
    assert p.send("get 1") == "10.9.0.2"
    assert p.send("get 2") == "172.20.0.1"
    assert set(addresses()) == {"192.0.2.1", "10.9.0.1", "10.9.0.2", "172.20.0.1"}
    assert p.send("get 1") == "0"  # the third item was never read: the level holds two

    # Returning the first address of a class leaves the others of that class in place.
    assert p.send("put 1 10.9.0.1") == "ok"
    assert set(addresses()) == {"192.0.2.1", "10.9.0.2", "172.20.0.1"}
    # Returning it again, or at the wrong level, fails and touches nothing.
    assert p.send("put 1 10.9.0.1") == "fail"
    assert p.send("put 1 172.20.0.1") == "fail"
    assert set(addresses()) == {"192.0.2.1", "10.9.0.2", "172.20.0.1"}
    # Just returned: it rests before it is handed out again.
    assert p.send("get 1") == "0"
    assert p.send("put 2 172.20.0.1") == "ok"
    assert p.send("get 2") == "172.20.0.2"
    assert set(addresses()) == {"192.0.2.1", "10.9.0.2", "172.20.0.2"}


def test_alias_interface_on_and_off(veth, probe):
    p = probe("[port0]\n")
    assert p.loaded == "loaded"
    assert p.send("set 192.168.7.9") == "ok"
    assert addresses().get("192.168.7.9") == "v0:a80709"
    # 11.1.2.3 would use the alias name of 10.1.2.3: cleaning it must not take 10.1.2.3 off.
    assert p.send("set 10.1.2.3") == "ok"
    assert p.send("clean 11.1.2.3") == "fail"
    assert "10.1.2.3" in addresses()
    assert p.send("clean 10.1.2.3") == "ok"
    assert p.send("clean 192.168.7.9") == "ok"
    assert set(addresses()) == {"192.0.2.1"}
    assert p.send("clean 192.168.7.9") == "fail"  # already gone
    assert "UP" in sh("ip", "link", "show", DEV)   # the device itself stays up

"""The resolver inside the running server: answers a blind sender cannot forge, and names from
the hosts file. A scripted name server on 127.0.0.1:53 (the namespace's resolv.conf) records
every question; sessions go through an unauthenticated port to an origin on 127.0.0.1."""
import os
import subprocess
import sys

import pytest

from conftest import free_port, http_origin

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "peers"))
from dns_double import DnsDouble, rr_a  # noqa: E402

BODY = b"resolved origin\n"


def config(port, extra=""):
    return f"""[kni]
thread_num = 2
[quoxel]
ros_id = 1
{extra}
[port0]
addr = 127.0.0.1
port_start = {port}
port_end = {port}
allow_udp = 0
listen_protocol = auto
auth = -1
"""


@pytest.fixture
def double():
    d = DnsDouble("127.0.0.1", 53).start()
    yield d
    d.stop()


@pytest.fixture
def proxy(quoxel):
    def start(extra=""):
        port = free_port()
        srv = quoxel(config(port, extra))
        assert srv.wait_listen(port), srv.output()
        srv.port = port
        return srv
    return start


def fetch(proxy_flag, proxy_port, host, origin_port):
    out = subprocess.run(["curl", "-sS", "--max-time", "8", proxy_flag,
                          f"127.0.0.1:{proxy_port}", f"http://{host}:{origin_port}/"],
                         capture_output=True, timeout=15)
    return out.stdout if out.returncode == 0 else out.stderr


def test_forged_answers_are_ignored_ids_and_ports_vary(double, proxy, origin):
    o = origin(http_origin(BODY))
    srv = proxy()
    names = [f"n{i}.test" for i in range(24)]
    for name in names:
        # A response for another question, pointing nowhere, arrives before the real one.
        double.set(name, forged=[rr_a("127.0.0.9", 300)], answers=[rr_a("127.0.0.1", 300)])
    for name in names:
        assert fetch("--socks5-hostname", srv.port, name, o.port) == BODY, srv.output()

    assert [q[1] for q in double.questions] == names
    ids = [tid for tid, _ in double.senders]
    ports = [port for _, port in double.senders]
    steps = sum((b - a) % 65536 == 1 for a, b in zip(ids, ids[1:]))
    assert steps < 3, ids
    assert len(set(ids)) >= 23, ids
    assert len(set(ports)) >= 20, ports


def test_hosts_file_names_edits_and_off(double, proxy, origin, tmp_path):
    o = origin(http_origin(BODY))
    hosts = tmp_path / "hosts"
    hosts.write_text("# test names\n127.0.0.1\tonlyhosts.test  alias.test\r\n10.0.0.1 x..bad\n")
    for name in ["onlyhosts.test", "alias.test"]:  # what DNS says once the file does not
        double.set(name, answers=[rr_a("127.0.0.1", 300)])
    srv = proxy(f"hosts_file = {hosts}")
    assert srv.wait_output(f"INFO  : hosts file {hosts} loaded: 2 names"), srv.output()

    for flag, host in [("--socks5-hostname", "onlyhosts.test"), ("-x", "ALIAS.TEST"),
                       ("--socks5-hostname", "Alias.Test."), ("-x", "localhost")]:
        assert fetch(flag, srv.port, host, o.port) == BODY, (flag, host, srv.output())
    assert double.questions == []  # answered at once, the name server never asked

    hosts.write_text("127.0.0.1 edited.test\n")
    assert srv.wait_output(f"INFO  : hosts file {hosts} loaded: 1 names", 13), srv.output()
    assert fetch("--socks5-hostname", srv.port, "edited.test", o.port) == BODY
    assert double.questions == []
    assert fetch("-x", srv.port, "onlyhosts.test", o.port) == BODY  # gone from the file: DNS
    assert double.questions == [("udp", "onlyhosts.test", 1)]

    srv.stop()  # the next server writes its output where this one did
    off = proxy("hosts_file = none")
    assert fetch("--socks5-hostname", off.port, "alias.test", o.port) == BODY
    assert double.questions[1:] == [("udp", "alias.test", 1)]
    assert "hosts file" not in off.output()

"""The resolver inside the server: answers a blind sender cannot forge, names from the hosts
file. A scripted name server on 127.0.0.1:53 (the namespace's resolv.conf) records every
question; sessions go through an open port to an origin on 127.0.0.1."""
import os
import subprocess
import sys

import pytest

from conftest import free_port, http_origin

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "peers"))
from dns_double import DnsDouble, rr_a  # noqa: E402

BODY = b"resolved origin\n"


@pytest.fixture
def double():
    d = DnsDouble("127.0.0.1", 53).start()
    yield d
    d.stop()


@pytest.fixture
def setup(quoxel, origin):
    """start(extra config) -> (server, fetch(host, curl proxy flag) -> body or curl's error)"""
    o = origin(http_origin(BODY))

    def start(extra=""):
        port = free_port()
        srv = quoxel(f"[kni]\nthread_num = 2\n[quoxel]\nros_id = 1\n{extra}\n[port0]\n"
                     f"addr = 127.0.0.1\nport_start = {port}\nport_end = {port}\n"
                     "allow_udp = 0\nlisten_protocol = auto\nauth = -1\n")
        assert srv.wait_listen(port), srv.output()

        def fetch(host, flag="--socks5-hostname"):
            out = subprocess.run(["curl", "-sS", "--max-time", "8", flag, f"127.0.0.1:{port}",
                                  f"http://{host}:{o.port}/"], capture_output=True, timeout=15)
            return out.stdout if out.returncode == 0 else out.stderr
        return srv, fetch
    return start


def test_forged_answers_are_ignored_ids_and_ports_vary(double, setup):
    srv, fetch = setup()
    names = [f"n{i}.test" for i in range(24)]
    for name in names:  # an answer to another question, pointing nowhere, comes first
        double.set(name, forged=[rr_a("127.0.0.9", 300)], answers=[rr_a("127.0.0.1", 300)])
    for name in names:
        assert fetch(name) == BODY, srv.output()
    assert [q[1] for q in double.questions] == names
    ids = [tid for tid, _ in double.senders]
    assert sum((b - a) % 65536 == 1 for a, b in zip(ids, ids[1:])) < 3, ids
    assert len(set(ids)) >= 23 and len({port for _, port in double.senders}) >= 20


def test_hosts_file_names_edits_and_off(double, setup, tmp_path):
    hosts = tmp_path / "hosts"
    hosts.write_text("# test names\n127.0.0.1\tonlyhosts.test  alias.test\r\n10.0.0.1 x..bad\n")
    for name in ["onlyhosts.test", "alias.test"]:  # what DNS says once the file does not
        double.set(name, answers=[rr_a("127.0.0.1", 300)])
    srv, fetch = setup(f"hosts_file = {hosts}")
    assert srv.wait_output(f"INFO  : hosts file {hosts} loaded: 2 names"), srv.output()
    for flag, host in [("--socks5-hostname", "onlyhosts.test"), ("-x", "ALIAS.TEST"),
                       ("--socks5-hostname", "Alias.Test."), ("-x", "localhost")]:
        assert fetch(host, flag) == BODY, (flag, host, srv.output())
    assert double.questions == []  # answered at once: the name server was never asked

    hosts.write_text("127.0.0.1 edited.test\n")
    assert srv.wait_output(f"INFO  : hosts file {hosts} loaded: 1 names", 13), srv.output()
    assert fetch("edited.test") == BODY and double.questions == []
    assert fetch("onlyhosts.test", "-x") == BODY  # gone from the file: asked of DNS
    assert double.questions == [("udp", "onlyhosts.test", 1)]
    hosts.unlink()  # an unreadable file keeps the names read before
    assert srv.wait_output("not read (No such file or directory), 1 names kept", 13)
    assert fetch("edited.test") == BODY

    srv.stop()  # the next server writes its output where this one did
    srv, fetch = setup("hosts_file = none")
    assert fetch("alias.test") == BODY and double.questions[1:] == [("udp", "alias.test", 1)]
    assert "hosts file" not in srv.output()

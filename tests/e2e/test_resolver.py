"""The resolver inside the server: answers a blind sender cannot forge, and names from the hosts
file. Sessions go through an open port to an origin on 127.0.0.1; the name server on
127.0.0.1:53 (the namespace's resolv.conf) is a scripted double or dnsmasq."""
import os
import sys

import pytest

from conftest import curl, http_origin

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "peers"))
from dns_double import DnsDouble, rr_a  # noqa: E402

BODY = b"resolved origin\n"


@pytest.fixture
def fetch(origin):
    """fetch(server, host, curl proxy flag) -> the origin's body, or curl's error"""
    o = origin(http_origin(BODY))

    def get(srv, host, flag="--socks5-hostname"):
        out = curl(flag, f"127.0.0.1:{srv.port}", f"http://{host}:{o.port}/", timeout=8)
        return out.stdout if out.returncode == 0 else out.stderr
    return get


def test_forged_answers_are_ignored_ids_and_ports_vary(proxy, fetch):
    double = DnsDouble("127.0.0.1", 53).start()
    try:
        srv = proxy({})
        names = [f"n{i}.test" for i in range(24)]
        for name in names:  # an answer to another question, pointing nowhere, comes first
            double.set(name, forged=[rr_a("127.0.0.9", 300)], answers=[rr_a("127.0.0.1", 300)])
        for name in names:
            assert fetch(srv, name) == BODY, srv.output()
    finally:
        double.stop()
    assert [q[1] for q in double.questions] == names
    ids = [tid for tid, _ in double.senders]
    assert sum((b - a) % 65536 == 1 for a, b in zip(ids, ids[1:])) < 3, ids
    assert len(set(ids)) >= 23 and len({port for _, port in double.senders}) >= 20


def test_hosts_file_names_edits_and_off(proxy, fetch, dnsmasq, tmp_path):
    dns = dnsmasq({"onlyhosts.test": "127.0.0.1", "alias.test": "127.0.0.1"})
    asked = lambda: dns.log_path.read_text().count("query[")  # noqa: E731
    hosts = tmp_path / "hosts"
    hosts.write_text("# test names\n127.0.0.1\tonlyhosts.test  alias.test\r\n10.0.0.1 x..bad\n")
    srv = proxy({"quoxel": {"hosts_file": hosts}})
    assert srv.wait_output(f"INFO  : hosts file {hosts} loaded: 2 names"), srv.output()
    for flag, host in [("--socks5-hostname", "onlyhosts.test"), ("-x", "ALIAS.TEST"),
                       ("--socks5-hostname", "Alias.Test."), ("-x", "localhost")]:
        assert fetch(srv, host, flag) == BODY, (flag, host, srv.output())
    assert asked() == 0  # answered at once: the name server was never asked

    hosts.write_text("127.0.0.1 edited.test\n")
    assert srv.wait_output(f"INFO  : hosts file {hosts} loaded: 1 names", 13), srv.output()
    assert fetch(srv, "edited.test") == BODY and asked() == 0
    assert fetch(srv, "onlyhosts.test", "-x") == BODY  # gone from the file: asked of DNS
    assert dns.queries("onlyhosts.test") == 1
    hosts.unlink()  # an unreadable file keeps the names read before
    assert srv.wait_output("not read (No such file or directory), 1 names kept", 13)
    assert fetch(srv, "edited.test") == BODY

    off = proxy({"quoxel": {"hosts_file": "none"}})
    assert fetch(off, "alias.test") == BODY and dns.queries("alias.test") == 1
    assert "hosts file" not in off.output()

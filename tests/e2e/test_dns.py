"""The resolver against a real DNS server: dnsmasq on 127.0.0.1:53 (which the namespace's
/etc/resolv.conf names) answering the names SOCKS5 clients ask quoxel for. Its query log shows
what reached it: cache hits send nothing, a truncated answer is asked again over TCP once."""
import pytest

from conftest import echo, s5_connect, wait_for

SOCKS5 = {"kni": {"thread_num": 1}, "port0": {"listen_protocol": "socks5"}}  # one resolver


@pytest.fixture
def names(tmp_path, dnsmasq):
    hosts = tmp_path / "hosts"
    hosts.write_text("127.0.0.1 one.test\nfd00::6 six.test\n" +
                     "".join(f"127.0.0.{i} many.test\n" for i in range(1, 41)))
    return dnsmasq({}, extra=[f"--addn-hosts={hosts}", "--local-ttl=300", "--local=/test/"])


def rep(port, host, dport):
    return s5_connect(port, host, dport)[1][1]


def test_answers_cache_and_failures(proxy, origin, names):
    srv, o = proxy(SOCKS5), origin(echo)
    for host in ("one.test", "one.test", "one.test."):
        assert rep(srv.port, host, o.port) == 0
    assert names.queries("one.test") == 1  # cached, with or without the trailing dot
    assert rep(srv.port, "six.test", o.port) == 4  # NODATA: no A record
    assert srv.code(638)
    assert rep(srv.port, "elsewhere.example", o.port) == 4  # REFUSED
    assert srv.code(637)
    assert srv.wait_output("ERROR : dns domain elsewhere.example, reply code: 5")
    assert rep(srv.port, "x" * 64 + ".test", o.port) == 4  # refused before anything is sent
    assert names.queries("x" * 64 + ".test") == 0


def test_truncated_answer_goes_to_tcp_once(proxy, origin, names):
    reached = []
    srv, o = proxy(SOCKS5), origin(lambda c: reached.append(c.getsockname()[0]), host="0.0.0.0")
    for _ in range(20):  # up to four addresses are kept; hits spread over those
        assert rep(srv.port, "many.test", o.port) == 0
    assert names.queries("many.test") == 2  # once over UDP (truncated), once over TCP
    assert wait_for(lambda: len(reached) == 20)  # the origin records on its own thread
    assert 1 <= len(set(reached)) <= 4

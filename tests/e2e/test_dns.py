"""The resolver against dnsmasq on 127.0.0.1:53, which the namespace's /etc/resolv.conf names;
its query log shows what reached it."""
from conftest import s5_connect, wait_for

SOCKS5 = {"kni": {"thread_num": 1}, "port0": {"listen_protocol": "socks5"}}  # one resolver


def test_truncated_answer_goes_to_tcp_once(proxy, origin, dnsmasq, tmp_path):
    hosts = tmp_path / "hosts"
    hosts.write_text("".join(f"127.0.0.{i} many.test\n" for i in range(1, 41)))
    names = dnsmasq({}, extra=[f"--addn-hosts={hosts}", "--local-ttl=300", "--local=/test/"])
    reached = []
    srv, o = proxy(SOCKS5), origin(lambda c: reached.append(c.getsockname()[0]), host="0.0.0.0")
    for _ in range(20):  # up to four addresses are kept; hits spread over those
        assert s5_connect(srv.port, "many.test", o.port)[1][1] == 0
    assert names.queries("many.test") == 2  # once over UDP (truncated), once over TCP
    assert wait_for(lambda: len(reached) == 20)  # the origin records on its own thread
    assert 1 <= len(set(reached)) <= 4

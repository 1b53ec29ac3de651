"""Upstream chaining: real upstreams for curl, scripted ones for bytes, refusals and the retry."""
import time

import pytest

from conftest import (ESTABLISHED, Scripted, curl, echo, error_answer, http_head, http_origin,
                      read_head, recv_exact, s5_connect)

BODY = b"upstream origin body\n" * 50


def chain(proxy, forward, **quoxel):
    return proxy({"quoxel": quoxel, "port0": {"allow_udp": 1, "forward": forward}})


@pytest.mark.parametrize("kind", ["danted", "microsocks", "tinyproxy"])
def test_curl_through_real_upstreams(proxy, origin, dnsmasq, daemons, kind):
    dnsmasq({"origin.test": "127.0.0.1"})
    o = origin(http_origin(BODY))
    scheme = "http" if kind == "tinyproxy" else "socks5"
    srv = chain(proxy, f"{scheme}://qxuser:qxpass@127.0.0.1:{daemons(kind, True)}")  # with credentials
    at = f"127.0.0.1:{srv.port}"
    for args in (("--socks5-hostname", at), ("-x", f"http://{at}")):  # one SOCKS5, one HTTP client
        out = curl(*args, f"http://origin.test:{o.port}/")
        assert (out.returncode, out.stdout) == (0, BODY), (args, out.stderr)


def s5_script(method=0, rep=0, bound=b"\x01\x7f\x00\x00\x01\x12\x34", after=b"", auth_status=0):
    def script(conn, log):
        log.append(conn.recv(16))
        conn.sendall(bytes([5, method]))
        if method == 2:
            head = recv_exact(conn, 2)
            if len(head) < 2:
                return
            user = recv_exact(conn, head[1])
            plen = recv_exact(conn, 1)
            log.append(head + user + plen + recv_exact(conn, plen[0]))
            conn.sendall(bytes([1, auth_status]))
            if auth_status:
                return
        if method not in (0, 2):
            time.sleep(0.5)
            return
        head = recv_exact(conn, 5)  # the request, as long as its address type says
        log.append(head + recv_exact(conn, 5 if head[3] == 1 else head[4] + 2))
        conn.sendall(bytes([5, rep, 0]) + bound + after)  # reply and first tunnel bytes together
        if rep == 0:
            echo(conn)
    return script


def http_script(pieces, after=b"", delay=0.05):
    def script(conn, log):
        req = read_head(conn)
        if req is None:
            return
        log.append(req)
        for piece in pieces:
            conn.sendall(piece)
            time.sleep(delay)
        conn.sendall(after)
        if b"".join(pieces).startswith(b"HTTP/1.1 200") and b"\r\n\r\n" in b"".join(pieces):
            echo(conn)
    return script


def silent(conn, log):
    conn.recv(16)
    time.sleep(3)


def via(client, port, host="target.example", dport=443):
    """A CONNECT through quoxel by a SOCKS5 or an HTTP client: (socket, success, what came back)."""
    if client == "socks5":
        s, reply = s5_connect(port, host, dport)
        return s, len(reply) > 1 and reply[1] == 0, reply
    s, head = http_head(port, b"CONNECT %s:%d HTTP/1.1\r\nHost: %s:%d\r\n\r\n"
                        % (host.encode(), dport, host.encode(), dport))
    return s, head == ESTABLISHED, head


CLIENTS = pytest.mark.parametrize("client", ["socks5", "http"])


@CLIENTS
@pytest.mark.parametrize("bound", [b"\x03\x0dbound.example\x00\x50", b"\x04" + bytes(16) + b"\x00\x50",
                                   b"\x01" + bytes(6)])
def test_socks5_upstream_handshake_bytes_and_bound_forms(proxy, origin, client, bound):
    up = Scripted(origin, s5_script(method=2, bound=bound, after=b"FIRST"))
    srv = chain(proxy, f"socks5://us:pw@127.0.0.1:{up.port}")
    s, ok, _ = via(client, srv.port)
    assert ok
    # The upstream's longer reply left nothing behind: the tunnel starts with its first bytes.
    assert recv_exact(s, 5) == b"FIRST"
    s.sendall(b"ping")
    assert recv_exact(s, 4) == b"ping"
    assert up.received[0] == [b"\x05\x02\x00\x02", b"\x01\x02us\x02pw",
                              b"\x05\x01\x00\x03\x0etarget.example\x01\xbb"]
    s, ok, _ = via(client, srv.port, "10.1.2.3")  # an address target goes as an address
    assert ok and up.received[1][2] == b"\x05\x01\x00\x01\x0a\x01\x02\x03\x01\xbb"


# (forward scheme, upstream script, SOCKS5 rep, session code); every client gets its refusal.
REFUSALS = [
    ("socks5", s5_script(rep=5), 0x05, 627),   # the upstream's own code reaches a SOCKS5 client
    ("socks5", s5_script(method=2), 0x01, 625),  # it wants credentials nobody configured
    ("socks5", s5_script(method=0xFF), 0x01, 625),
    ("socks5u", s5_script(method=2, auth_status=1), 0x01, 626),
    # Closed after the greeting, or an unknown bound address type: a SOCKS5 client is just closed.
    ("socks5", lambda conn, log: log.append(conn.recv(16)), None, 616),
    ("socks5", s5_script(bound=b"\x07\x00\x00"), None, 616),
    ("http", http_script([b"HTTP/1.1 403 Forbidden\r\n\r\n"]), 0x01, 629),
    ("http", http_script([b"SSH-2.0-not-http\r\n\r\n"]), 0x01, 628),
    ("http", http_script([b"HTTP/1.1 200 OK\r\nX-Pad: " + b"a" * 1600 + b"\r\n\r\n"]), 0x01, None),
    ("http", http_script([b"HTTP/1.1 200 OK\r\nX-A: 1\r\n"]), 0x01, 616),  # closed before its end
    ("socks5", silent, 0x04, 630),
]


@CLIENTS
@pytest.mark.parametrize("scheme,script,rep,code", REFUSALS)
def test_upstream_refusals(proxy, origin, client, scheme, script, rep, code):
    up = Scripted(origin, script)
    forward = (f"socks5://us:pw@127.0.0.1:{up.port}" if scheme == "socks5u"
               else f"{scheme}://127.0.0.1:{up.port}")
    short = {"src_timeout": 500, "dst_timeout": 500} if script is silent else {}
    srv = chain(proxy, forward, **short)
    # A header too long for the buffer is 628 to a SOCKS5 client, 616 to an HTTP client.
    code = code or (628 if client == "socks5" else 616)
    s, ok, answer = via(client, srv.port)
    want = (b"" if rep is None else bytes([5, rep])) if client == "socks5" else error_answer(code)[:-15]
    assert answer[:len(want) or 1] == want
    assert srv.code(code)
    assert up.connections() == 1


@CLIENTS
@pytest.mark.parametrize("kind", ["socks5", "http"])
def test_forward_retry_makes_exactly_two_attempts(proxy, origin, client, kind):
    def script(conn, log):
        first = up.connections() == 1
        if kind == "socks5":
            return s5_script(rep=5 if first else 0, after=b"OK")(conn, log)
        answer = b"HTTP/1.1 503 Busy\r\n\r\n" if first else b"HTTP/1.1 200 OK\r\n\r\n"
        return http_script([answer], after=b"" if first else b"OK")(conn, log)
    up = Scripted(origin, script)
    srv = chain(proxy, f"{kind}://127.0.0.1:{up.port}", forward_retry=1)
    s, ok, _ = via(client, srv.port)
    assert ok and recv_exact(s, 2) == b"OK"
    assert up.connections() == 2
    # Without the setting the first refusal is final.
    up2 = Scripted(origin, s5_script(rep=5) if kind == "socks5" else http_script([b"HTTP/1.1 502 B\r\n\r\n"]))
    assert not via(client, chain(proxy, f"{kind}://127.0.0.1:{up2.port}").port)[1]
    assert up2.connections() == 1


def test_http_upstream_answer_in_three_pieces_with_extra_headers(proxy, origin):
    up = Scripted(origin, http_script([b"HTTP/1.1 200 Connection est",
                                       b"ablished\r\nProxy-Agent: test\r\nX-Extra: 1\r",
                                       b"\n\r\nTUNNEL"]))
    srv = chain(proxy, f"http://u:p@127.0.0.1:{up.port}")
    s, ok, _ = via("socks5", srv.port)
    assert ok and recv_exact(s, 6) == b"TUNNEL"
    s.sendall(b"data")
    assert recv_exact(s, 4) == b"data"
    assert up.received[0][0] == (b"CONNECT target.example:443 HTTP/1.1\r\nHost: target.example:443\r\n"
                                 b"Proxy-Connection: keep-alive\r\nProxy-Authorization: Basic dTpw\r\n\r\n")


def test_host_with_line_breaks_never_reaches_an_http_upstream(proxy, origin):
    up = Scripted(origin, http_script([b"HTTP/1.1 200 OK\r\n\r\n"]))
    srv = chain(proxy, f"http://127.0.0.1:{up.port}")
    assert s5_connect(srv.port, "a.test:1 HTTP/1.1\r\nX-Injected: 1\r\n\r\nGET", 80)[1][1] == 0x01
    assert srv.code(601)
    time.sleep(0.2)
    assert up.received in ([], [[]])


@CLIENTS
def test_names_for_a_socks5_upstream(proxy, origin, dnsmasq, tmp_path, client):
    """Ads-listed names go as their address, others as names; a name the length byte cannot
    carry (256) is refused; a listed name that does not resolve never reaches the upstream."""
    dnsmasq({"ads.test": "10.9.8.7"}, nxdomain=["gone.ads.test"])
    (tmp_path / "ads.txt").write_text(".ads.test\n")
    up = Scripted(origin, s5_script(after=b"A"))
    srv = chain(proxy, f"socks5://127.0.0.1:{up.port}", ads_list_file=tmp_path / "ads.txt")
    long_name = ("a" * 62 + ".") * 4 + "b" * 3
    for host, sent in (("ads.test", b"\x01\x0a\x09\x08\x07"), ("other.test", b"\x03\x0aother.test"),
                       (long_name, b"\x03\xff" + long_name.encode())):
        assert via(client, srv.port, host, 80)[1], host
        assert up.received[-1][1] == b"\x05\x01\x00" + sent + b"\x00\x50"
    if client == "http":  # a SOCKS5 client cannot even say 256
        assert not via(client, srv.port, long_name + "b", 80)[1]
        assert srv.code(636)
    assert not via(client, srv.port, "gone.ads.test", 80)[1]
    assert up.connections() == 3

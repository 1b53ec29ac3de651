"""The health port: the health answer, the metrics page read by the Prometheus parser (sections in
order, counters that move by exact amounts), and requests that get no answer."""
import pytest
from prometheus_client.parser import text_string_to_metric_families

from conftest import (curl, dial, echo, free_port, http_origin, read_all, recv_exact, s5_request,
                      wait_for)

HEALTH = b"HTTP/1.1 200 OK\r\nProxy-Agent: quoxel-kni/3.1.3\r\nContent-Length: 0\r\n\r\n"


@pytest.fixture
def server(proxy):
    health = free_port()
    srv = proxy({"kni": {"thread_num": 3}, "port0": {"listen_protocol": "auto", "port_health": health}})
    assert srv.wait_listen(health)
    srv.health = health
    return srv


def ask(port, raw):
    s = dial(port, timeout=10)
    try:
        s.sendall(raw)
    except (BrokenPipeError, ConnectionResetError):
        pass
    return read_all(s)


def metrics(srv):
    head, _, body = ask(srv.health, b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n").partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; "
                           b"charset=utf-8\r\nContent-Length: ")
    assert int(head.rsplit(b" ", 1)[1]) == len(body)
    samples, types = {}, []
    for family in text_string_to_metric_families(body.decode()):
        for s in family.samples:
            samples[s.name + "".join(f"{{{k}={v}}}" for k, v in sorted(s.labels.items()))] = s.value
    types = [line.split()[2] for line in body.decode().splitlines() if line.startswith("# TYPE")]
    return samples, types


@pytest.mark.parametrize("raw,answer", [
    (b"GET / HTTP/1.1\r\nHost: x\r\n\r\n", HEALTH),
    (b"GET / HTTP/1.0\r\n\r\n", HEALTH),
    (b"POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n", b""),
    (b"GET /metrics?x=1 HTTP/1.1\r\n\r\n", b""),
    (b"GET /other HTTP/1.1\r\n\r\n", b""),
    (b"not http at all\r\n\r\n", b""),
    (b"GET / HTTP/1.1\r\nX-Pad: " + b"a" * 20000 + b"\r\n\r\n", b""),  # over the buffer's bound
    (b"", b""),  # silence
])
def test_health_answer_and_unanswered_requests(server, raw, answer):
    assert ask(server.health, raw) == answer
    if not raw:
        assert server.wait_output("wait monitor client data timeout")
    assert ask(server.health, b"GET / HTTP/1.1\r\n\r\n") == HEALTH  # still answering


def test_counters_move_by_exact_amounts_and_sections_in_order(server, origin):
    before, types = metrics(server)
    assert types == ["active_connections", "requests_total", "socks5_requests_total",
                     "http_requests_total", "socks5_requests_success_total",
                     "http_requests_success_total", "requests_failure_total",
                     "auth_duration_milliseconds", "connection_duration_milliseconds"]
    o, e = origin(http_origin(b"ok")), origin(echo)
    for _ in range(3):
        out = curl("-x", f"http://127.0.0.1:{server.port}", f"http://127.0.0.1:{o.port}/")
        assert out.returncode == 0, out.stderr
    s = dial(server.port)
    s.sendall(b"\x05\x01\x00" + s5_request("127.0.0.1", e.port))
    assert recv_exact(s, 12)[:4] == b"\x05\x00\x05\x00"
    assert ask(server.port, b"GET /origin-form HTTP/1.1\r\n\r\n").startswith(b"HTTP/1.1 403")
    refused = b"GET http://127.0.0.1:%d/ HTTP/1.1\r\n\r\n" % free_port()
    assert ask(server.port, refused).endswith(b"ErrorCode:612\r\n")
    key = "requests_failure_total{status=612}"
    after = wait_for(lambda: (lambda m: m if m.get(key, 0) > before.get(key, 0) else None)(
        metrics(server)[0]))
    assert after
    for name, moved in (("requests_total", 6), ("http_requests_total", 5),
                        ("http_requests_success_total", 3), ("socks5_requests_total", 1),
                        ("socks5_requests_success_total", 1), ("requests_failure_total{status=617}", 1),
                        ("requests_failure_total{status=612}", 1),
                        ("connection_duration_milliseconds_count", 4)):
        assert after.get(name, 0) - before.get(name, 0) == moved, name
    assert after["active_connections"] >= 1  # the SOCKS5 tunnel is still open
    # Histograms as Prometheus reads them: cumulative buckets closed by "+Inf" equal to the count.
    for h in ("auth_duration_milliseconds", "connection_duration_milliseconds"):
        b = [v for k, v in after.items() if k.startswith(h + "_bucket")]
        assert len(b) == 13 and b == sorted(b) and b[-1] == after[h + "_count"], h
        assert after[h + "_bucket{le=+Inf}"] == after[h + "_count"]

"""The health port: the health answer, the metrics page read by the Prometheus parser, counters
that move by exact amounts, and requests that get no answer."""
import socket
import struct
import subprocess

import pytest
from prometheus_client.parser import text_string_to_metric_families

from conftest import echo, free_port, recv_exact, wait_for
from test_http import Recorder, read_all

HEALTH = b"HTTP/1.1 200 OK\r\nProxy-Agent: quoxel-kni/3.1.3\r\nContent-Length: 0\r\n\r\n"


@pytest.fixture
def server(quoxel):
    port, health = free_port(), free_port()
    srv = quoxel(f"""[kni]
thread_num = 3
[quoxel]
ros_id = 1
src_timeout = 2000
dst_timeout = 2000
[port0]
addr = 127.0.0.1
port_start = {port}
port_end = {port}
port_health = {health}
allow_udp = 0
listen_protocol = auto
auth = -1
""")
    assert srv.wait_listen(port) and srv.wait_listen(health)
    srv.port, srv.health = port, health
    return srv


def ask(port, raw):
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    s.sendall(raw)
    return read_all(s)


def metrics(srv):
    answer = ask(srv.health, b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")
    head, _, body = answer.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; "
                           b"charset=utf-8\r\nContent-Length: ")
    assert int(head.rsplit(b" ", 1)[1]) == len(body)
    samples = {}
    for family in text_string_to_metric_families(body.decode()):
        for s in family.samples:
            key = s.name + "".join(f"{{{k}={v}}}" for k, v in sorted(s.labels.items()))
            samples[key] = s.value
    return samples, body.decode()


def test_health_answer_and_unanswered_requests(server):
    assert ask(server.health, b"GET / HTTP/1.1\r\nHost: x\r\n\r\n") == HEALTH
    assert len(HEALTH) == 69
    for raw in (b"POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
                b"GET /metrics?x=1 HTTP/1.1\r\n\r\n",
                b"GET /other HTTP/1.1\r\n\r\n",
                b"not http at all\r\n\r\n",
                # Headers beyond the bound are not buffered without end.
                b"GET / HTTP/1.1\r\n" + b"X-Pad: " + b"a" * 20000 + b"\r\n\r\n"):
        try:
            assert ask(server.health, raw) == b""
        except (BrokenPipeError, ConnectionResetError):
            pass
    # The endpoint keeps answering after all that.
    assert ask(server.health, b"GET / HTTP/1.0\r\n\r\n") == HEALTH


def test_silent_health_client_is_closed(server):
    s = socket.create_connection(("127.0.0.1", server.health), timeout=10)
    assert read_all(s) == b""
    assert server.wait_output("wait monitor client data timeout")


def test_counters_move_by_exact_amounts(server, origin):
    before, _ = metrics(server)
    rec = Recorder(origin)
    o = origin(echo)
    for _ in range(3):
        out = subprocess.run(["curl", "-sS", "--max-time", "10", "-x", f"http://127.0.0.1:{server.port}",
                              f"http://127.0.0.1:{rec.port}/"], capture_output=True, timeout=20)
        assert out.returncode == 0, out.stderr
    s = socket.create_connection(("127.0.0.1", server.port), timeout=10)
    s.sendall(b"\x05\x01\x00\x05\x01\x00\x01\x7f\x00\x00\x01" + struct.pack(">H", o.port))
    assert recv_exact(s, 12)[:4] == b"\x05\x00\x05\x00"
    assert ask(server.port, b"GET /origin-form HTTP/1.1\r\n\r\n").startswith(b"HTTP/1.1 403")
    assert ask(server.port, b"GET http://127.0.0.1:%d/ HTTP/1.1\r\n\r\n" % free_port()) \
        .endswith(b"ErrorCode:612\r\n")

    def moved():
        after, _ = metrics(server)
        return after if after.get("requests_failure_total{status=612}", 0) == \
            before.get("requests_failure_total{status=612}", 0) + 1 else None
    after = wait_for(moved)
    assert after, metrics(server)[1]

    def delta(name):
        return after.get(name, 0) - before.get(name, 0)
    assert delta("requests_total") == 6
    assert delta("http_requests_total") == 5
    assert delta("http_requests_success_total") == 3
    assert delta("socks5_requests_total") == 1
    assert delta("socks5_requests_success_total") == 1
    assert delta("requests_failure_total{status=617}") == 1
    assert delta("connection_duration_milliseconds_count") == 4
    assert after["active_connections"] >= 1  # the SOCKS5 tunnel is still open
    s.close()


def test_page_lists_sections_in_order(server):
    _, page = metrics(server)
    order = ["active_connections", "requests_total", "socks5_requests_total", "http_requests_total",
             "socks5_requests_success_total", "http_requests_success_total",
             "requests_failure_total", "auth_duration_milliseconds",
             "connection_duration_milliseconds"]
    types = [line.split()[2] for line in page.splitlines() if line.startswith("# TYPE")]
    assert types == order

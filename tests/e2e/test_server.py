"""Server start-up and connection intake: listeners, threads, first-byte dispatch, admission."""
import os
import re
import socket
import subprocess
import time

import pytest

from conftest import free_port, wait_for

STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d"


def config(port, *, threads=4, extra="", health=0, protocol="socks5", count=1):
    return f"""[kni]
thread_num = {threads}
[quoxel]
ros_id = 7
src_timeout = 400
{extra}
[port0]
addr = 127.0.0.1
port_start = {port}
port_end = {port + count - 1}
port_health = {health}
allow_udp = 0
listen_protocol = {protocol}
auth = -1
"""


def listening_ports():
    out = subprocess.run(["ss", "-Hltn"], capture_output=True, text=True, check=True).stdout
    return sorted(line.split()[3] for line in out.splitlines())


def closed_by_server(s):
    """True when the server closed the connection (an orderly close or a reset)."""
    try:
        return s.recv(1) == b""
    except ConnectionResetError:
        return True


def connect(port, source="127.0.0.1"):
    s = socket.socket()
    s.settimeout(3)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def test_port_range_and_health_port_open_exactly_four_listeners(quoxel):
    base = free_port() // 10 * 10
    srv = quoxel(config(base, count=3, health=base + 5))
    assert srv.wait_port(base + 5)
    assert listening_ports() == [f"127.0.0.1:{p}" for p in (base, base + 1, base + 2, base + 5)]
    out = srv.output()
    assert "INFO  : use thread pool (4)" in out
    for i in range(4):
        assert f"INFO  : config thread {i} thread_core:-1 port_agent_data 0" in out
    assert srv.proc.poll() is None


def test_silent_client_is_closed_after_src_timeout(quoxel):
    port = free_port()
    srv = quoxel(config(port))
    assert srv.wait_port(port)
    s = connect(port)
    local = s.getsockname()
    start = time.monotonic()
    assert closed_by_server(s)
    assert time.monotonic() - start >= 0.35
    line = (f"ERROR : client[0] [127.0.0.1] user[auto://:@127.0.0.1:{port}] token[] "
            f"target_info[:0] forward[] code[605] msg[wait client data timeout]")
    assert srv.wait_output(line), local


def test_connect_and_close_and_unsupported_protocol(quoxel):
    port = free_port()
    srv = quoxel(config(port, threads=2))
    assert srv.wait_port(port)
    connect(port).close()
    assert srv.wait_output("code[615] msg[recv first data active closed]")
    s = connect(port)
    s.sendall(b"GET http://x/ HTTP/1.1\r\n\r\n")
    assert closed_by_server(s)
    assert srv.wait_output("code[603] msg[not support http]")
    # The hand-off assigned a session id whose top bits name a thread of the two.
    ids = [int(m) for m in re.findall(r"client\[(\d+)\]", srv.output())]
    assert ids and all(0 < i and i >> 28 < 2 for i in ids)


def test_port_in_use_fails_the_start(quoxel, tmp_path):
    blocker = socket.socket()
    blocker.bind(("127.0.0.1", 0))
    blocker.listen()
    port = blocker.getsockname()[1]
    srv = quoxel(config(port, threads=2))
    assert srv.wait_exit() == 1
    out = srv.output()
    assert re.search(rf"{STAMP} ERROR : server socket port {port} bind failed: Address already in use", out)
    assert re.search(rf"{STAMP} ERROR : server start failed", out), out
    blocker.close()


@pytest.mark.parametrize("extra,sources,admitted", [
    ("qps_limit = 10", ["127.0.0.2", "127.0.0.3", "127.0.0.4"] * 5, 12),
    ("ip_limit = 5", ["127.0.0.2"] * 8 + ["127.0.0.3"] * 8, 12),
])
def test_admission_burst(quoxel, extra, sources, admitted):
    port = free_port()
    srv = quoxel(config(port, threads=2, extra=extra))
    assert srv.wait_listen(port)
    probes = 0
    socks = [connect(port, src) for src in sources]
    refused = len(sources) - admitted
    assert srv.wait_output("qps limit take failed", timeout=3)
    assert wait_for(lambda: srv.output().count("qps limit take failed") - probes >= refused, 3)
    time.sleep(0.2)
    lines = re.findall(r"ERROR : qps limit take failed, ip: (127\.0\.0\.\d+):\d+", srv.output())
    assert len(lines) - probes == refused, lines
    if extra.startswith("ip_limit"):
        assert lines.count("127.0.0.2") == 2 and lines.count("127.0.0.3") == 2
    for s in socks:
        s.close()


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def test_out_of_descriptors_backs_off_instead_of_spinning(quoxel):
    port = free_port()
    srv = quoxel(config(port, threads=1).replace("src_timeout = 400", "src_timeout = 20000"))
    assert srv.wait_listen(port)
    subprocess.run(["prlimit", f"--pid={srv.proc.pid}", "--nofile=64:64"], check=True)
    socks = [connect(port) for _ in range(100)]  # more than the process may hold
    assert srv.wait_output("ERROR : accept failed: Too many open files")
    start_cpu, start = cpu_seconds(srv.proc.pid), time.monotonic()
    time.sleep(2)
    used = cpu_seconds(srv.proc.pid) - start_cpu
    lines = srv.output().count("accept failed: Too many open files")
    assert used < 0.5 * (time.monotonic() - start), used
    assert 1 <= lines <= 4, lines
    for s in socks:
        s.close()
    # Descriptors come back: the waiting connections are taken and served again.
    assert srv.wait_output("code[615] msg[recv first data active closed]", timeout=5)


def test_range_ending_at_the_last_port(quoxel):
    srv = quoxel(config(65534, count=2, threads=1))
    assert srv.wait_listen(65535)
    assert listening_ports() == ["127.0.0.1:65534", "127.0.0.1:65535"]
    assert srv.proc.poll() is None

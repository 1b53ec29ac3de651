"""Server start-up and connection intake: listeners, threads, first-byte dispatch, admission."""
import os
import re
import subprocess
import time

import pytest

from conftest import dial, free_port, ini_text, wait_for

INTAKE = {"kni": {"thread_num": 4}, "quoxel": {"ros_id": 7, "src_timeout": 400},
          "port0": {"listen_protocol": "socks5"}}


def listening_ports():
    out = subprocess.run(["ss", "-Hltn"], capture_output=True, text=True, check=True).stdout
    return sorted(line.split()[3] for line in out.splitlines())


@pytest.mark.parametrize("start,count,threads", [(None, 3, 4), (65534, 2, 1)])
def test_port_range_and_health_port_open_exactly_their_listeners(quoxel, start, count, threads):
    base = start or free_port() // 10 * 10
    health = {"port_health": base + 5} if start is None else {}
    srv = quoxel(ini_text({**INTAKE, "kni": {"thread_num": threads},
                           "port0": {"port_start": base, "port_end": base + count - 1, **health}}))
    ports = [base + i for i in range(count)] + ([base + 5] if health else [])
    assert wait_for(lambda: listening_ports() == [f"127.0.0.1:{p}" for p in ports])
    out = srv.output()
    assert f"INFO  : use thread pool ({threads})" in out or threads == 1
    for i in range(threads):
        assert f"INFO  : config thread {i} thread_core:-1 port_agent_data 0" in out
    assert srv.proc.poll() is None


@pytest.mark.parametrize("extra,sources,admitted", [
    ({"qps_limit": 10}, ["127.0.0.2", "127.0.0.3", "127.0.0.4"] * 5, 12),
    ({"ip_limit": 5}, ["127.0.0.2"] * 8 + ["127.0.0.3"] * 8, 12),
])
def test_admission_burst(proxy, extra, sources, admitted):
    srv = proxy(INTAKE, {"kni": {"thread_num": 2}, "quoxel": extra})
    socks = [dial(srv.port, src) for src in sources]
    refused = len(sources) - admitted
    assert wait_for(lambda: srv.output().count("qps limit take failed") >= refused, 3)
    time.sleep(0.2)
    lines = re.findall(r"ERROR : qps limit take failed, ip: (127\.0\.0\.\d+):\d+", srv.output())
    assert len(lines) == refused, lines
    if "ip_limit" in extra:
        assert lines.count("127.0.0.2") == 2 and lines.count("127.0.0.3") == 2
    del socks


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def test_out_of_descriptors_backs_off_instead_of_spinning(proxy):
    srv = proxy(INTAKE, {"kni": {"thread_num": 1}, "quoxel": {"src_timeout": 20000}})
    subprocess.run(["prlimit", f"--pid={srv.proc.pid}", "--nofile=64:64"], check=True)
    socks = [dial(srv.port) for _ in range(100)]  # more than the process may hold
    assert srv.wait_output("ERROR : accept failed: Too many open files")
    start_cpu, start = cpu_seconds(srv.proc.pid), time.monotonic()
    time.sleep(2)
    assert cpu_seconds(srv.proc.pid) - start_cpu < 0.5 * (time.monotonic() - start)
    assert 1 <= srv.output().count("accept failed: Too many open files") <= 4
    for s in socks:
        s.close()
    # Descriptors come back: the waiting connections are taken and served again.
    assert srv.code("615] msg[recv first data active closed")

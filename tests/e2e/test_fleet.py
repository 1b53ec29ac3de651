"""The reference fleet: haproxy (leastconn, PROXY v2, health checks on "/") in front of three
nodes sharing one authentication service, scraped by Prometheus; one node dies mid-run."""
import json
import shutil
import socket
import subprocess
import threading
import time
import urllib.parse
import urllib.request

import pytest

from conftest import curl, free_port, http_origin, listening, read_all, wait_for
from auth_service import AuthService

MISSING = [t for t in ("haproxy", "prometheus") if shutil.which(t) is None]
pytestmark = pytest.mark.skipif(bool(MISSING), reason=f"not installed: {' '.join(MISSING)}")
N = 150  # sessions per round
CLIENT = 0x0200007F  # 127.0.0.2, the curl clients' source, as the service sees addresses


def balancer(tmp_path, nodes):
    front = free_port()
    servers = "".join(f"    server n{i} 127.0.0.1:{n.port} check port {n.health}\n"
                      for i, n in enumerate(nodes))
    (tmp_path / "haproxy.cfg").write_text(
        f"global\n    stats socket {tmp_path / 'admin.sock'}\ndefaults\n    mode tcp\n"
        "    timeout connect 2s\n    timeout client 20s\n    timeout server 20s\n"
        "    retries 2\n    option redispatch\n"
        f"listen front\n    bind 127.0.0.1:{front}\n    balance leastconn\n"
        "    option httpchk GET /\n    http-check expect status 200\n"
        "    default-server send-proxy-v2 inter 200ms fall 1 rise 1\n" + servers)
    return front, subprocess.Popen(["haproxy", "-q", "-db", "-f", str(tmp_path / "haproxy.cfg")])


def states(tmp_path):
    """haproxy's view of the nodes: server name to UP or DOWN."""
    with socket.socket(socket.AF_UNIX) as s:
        s.connect(str(tmp_path / "admin.sock"))
        s.sendall(b"show stat\n")
        rows = read_all(s).decode().splitlines()[1:]
    return {r.split(",")[1]: r.split(",")[17] for r in rows if r.startswith("front,n")}


def prometheus(tmp_path, nodes):
    port = free_port()
    targets = ", ".join(f"'127.0.0.1:{n.health}'" for n in nodes)
    (tmp_path / "prometheus.yml").write_text(
        "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: quoxel\n"
        f"    static_configs:\n      - targets: [{targets}]\n")
    return port, subprocess.Popen(
        ["prometheus", f"--config.file={tmp_path / 'prometheus.yml'}", "--log.level=error",
         f"--storage.tsdb.path={tmp_path / 'tsdb'}", f"--web.listen-address=127.0.0.1:{port}"])


def query(port, expr):
    url = f"http://127.0.0.1:{port}/api/v1/query?query=" + urllib.parse.quote(expr)
    try:
        with urllib.request.urlopen(url, timeout=2) as r:
            res = json.load(r)["data"]["result"]
    except OSError:
        return None
    return {s["metric"].get("instance", ""): float(s["value"][1]) for s in res}


def sessions(front, origin, first, n):
    """HTTP codes of n curl sessions from 127.0.0.2, 20 at a time, each its own user."""
    args = []
    for i in range(n):
        args += ["--next", "--interface", "127.0.0.2", "-x",
                 f"socks5://u{first + i}:pw@127.0.0.1:{front}", "-o", "/dev/null",
                 "-w", "%{http_code}\\n", f"http://127.0.0.1:{origin.port}/{i}"]
    return curl("-Z", "--parallel-max", "20", *args[1:], timeout=20).stdout.split()


def requests_total(node):
    with urllib.request.urlopen(f"http://127.0.0.1:{node.health}/metrics", timeout=2) as r:
        line = next(x for x in r.read().decode().splitlines() if x.startswith("requests_total "))
    return int(line.split()[1])


def test_fleet(tmp_path, proxy, origin):
    svc = AuthService("tcp")
    procs = []
    try:
        auth = {"type": "remote", "server_ip": "127.0.0.1", "server_port": svc.start(),
                "trans_type": 2, "pool_size": 1}
        nodes = [proxy({"auth0": {**auth, "tag": f"node{i}"}, "port0": {
            "auth": 0, "listen_protocol": "auto", "port_health": free_port()}}) for i in range(3)]
        for n in nodes:
            n.health = int(n.config.read_text().split("port_health = ")[1].split()[0])
        o = origin(http_origin(b"ok"), backlog=512)
        front, lb = balancer(tmp_path, nodes)
        prom, pm = prometheus(tmp_path, nodes)
        procs += [lb, pm]
        assert wait_for(lambda: listening(front)), "haproxy did not start"
        assert wait_for(lambda: query(prom, "up") == {f"127.0.0.1:{n.health}": 1 for n in nodes},
                        timeout=15), "prometheus did not scrape the three nodes"

        assert sessions(front, o, 0, N) == [b"200"] * N
        # Every node served some and saw the real client address, not haproxy's.
        pairs = {(q["tag"], q["sa"]) for q in svc.of(1)}
        assert pairs == {(b"node%d" % i, CLIENT) for i in range(3)}, pairs

        # Killed mid-run: at most the sessions it held in flight fail (curl runs 20 at once).
        during = threading.Thread(target=lambda: codes.extend(sessions(front, o, 500, N)))
        codes = []
        during.start()
        time.sleep(0.3)
        nodes[2].proc.kill()
        during.join(30)
        assert codes.count(b"200") >= N - 20, codes
        assert wait_for(lambda: states(tmp_path) == {"n0": "UP", "n1": "UP", "n2": "DOWN"})
        asked = len(svc.of(1))
        assert sessions(front, o, 1000, N) == [b"200"] * N
        assert {q["tag"] for q in svc.of(1)[asked:]} == {b"node0", b"node1"}

        live = {f"127.0.0.1:{n.health}": 1 for n in nodes[:2]}
        total = sum(requests_total(n) for n in nodes[:2])
        assert wait_for(lambda: query(prom, "up") == {**live, f"127.0.0.1:{nodes[2].health}": 0},
                        timeout=10), query(prom, "up")
        assert wait_for(lambda: query(prom, "sum(requests_total)") == {"": total}, timeout=10), \
            (query(prom, "sum(requests_total)"), total)
    finally:
        for p in procs:
            p.kill()
            p.wait(5)
        svc.stop()

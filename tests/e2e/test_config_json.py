"""The binary on JSON configuration files: the example twins load, and every required key or bad
value prints its exact line."""
import json
import os
import pathlib
import re

import pytest

from conftest import run_cli

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
STAMP = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (ERROR|INFO ) : ")


# A valid document; each case below breaks one part of it.
BASE = {"server": {"thread": [{}, {}], "ros_id": 3, "src_timeout": 3000, "dst_timeout": 3000,
                   "allow_local_ip": True},
        "auth": [{"index": 0, "type": "local",
                  "user": [{"username": "alice", "password": "alice-pw"},
                           {"username": "bob", "password": "bob-pw", "rate_limit": 100000}]}],
        "port": [{"addr": "127.0.0.1", "port_start": 20100, "port_end": 20100,
                  "listen_protocol": "auto", "allow_udp": False, "auth_index": 0}]}


def errors(out):
    """The ERROR lines with their time stamps cut off."""
    return [STAMP.sub("", line) for line in out.splitlines()
            if STAMP.match(line) and " ERROR : " in line]


def run_json(tmp_path, doc):
    path = tmp_path / "q.json"
    path.write_text(doc if isinstance(doc, str) else json.dumps(doc))
    return run_cli("-c", str(path), cwd=tmp_path)


def test_examples_all_have_a_json_twin():
    assert sorted(p.stem for p in EXAMPLES.glob("*.ini")) == \
        sorted(p.stem for p in EXAMPLES.glob("*.json"))


def with_value(d, value, *path):
    """A deep copy of the document with the key at path set to value (removed for None)."""
    d = json.loads(json.dumps(d))
    node = d
    for key in path[:-1]:
        node = node[key]
    if value is None:
        del node[path[-1]]
    else:
        node[path[-1]] = value
    return d


def without(d, *path):
    return with_value(d, None, *path)


SALT = "Qx7mK2pR9vL4nW8sT3yZ6b"
REPORT = {"server": [{"server_host": "127.0.0.1", "server_port": 9}], "server_path": "/f",
          "log_path": "/tmp", "interval": 3, "log_num": 2}
LOG = {"log_path": "/tmp", "log_size": 1000, "log_num": 2}


def tovask(**extra):
    """BASE with one tovask backend carrying the extra members."""
    return with_value(BASE, [{"index": 0, "type": "tovask", "sign_salt": SALT, **extra}], "auth")


@pytest.mark.parametrize("doc,lines", [
    (without(BASE, "auth", 0, "index"), ["config auth get index or type failed"]),
    (without(BASE, "auth", 0, "user", 0, "password"),
     ["config local auth get username or password failed",
      "config auth index 0 load local config failed"]),
    (without(BASE, "port", 0, "addr"),
     ["config port index 0 get addr or port start or port end or listen protocol config failed"]),
    (with_value(BASE, [{"index": 0, "type": "remote"}], "auth"),
     ["config remote auth server is null", "config auth index 0 load remote config failed"]),
    (with_value(BASE, [{"index": 0, "type": "remote", "server": [{"server_port": 9}]}], "auth"),
     ["config remote auth server get host or port failed",
      "config auth index 0 load remote config failed"]),
    (tovask(access_log=without(LOG, "log_path")),
     ["config auth log path get failed", "config auth index 0 load access config failed"]),
    (tovask(flow_log=without(LOG, "log_size")),
     ["config auth log size get failed", "config auth index 0 load flow config failed"]),
    (tovask(stats_log=without(LOG, "log_num")),
     ["config auth log num get failed", "config auth index 0 load stats config failed"]),
    (tovask(flow_report=without(REPORT, "server")),
     ["config auth log report server is null",
      "config auth index 0 load flow report config failed"]),
    (tovask(stats_report=without(REPORT, "server_path")),
     ["config auth log report get server path failed",
      "config auth index 0 load stats report config failed"]),
    (tovask(flow_report=without(REPORT, "log_path")),
     ["config auth log report get log path failed",
      "config auth index 0 load flow report config failed"]),
    (tovask(flow_report=without(REPORT, "interval")),
     ["config auth log report get interval failed",
      "config auth index 0 load flow report config failed"]),
    (with_value(BASE, {"nat_list": [{"inline": "10.0.0.1"}]}, "server"),
     ["config add nat cache get inline or public ip failed"]),
    # Range mends: the full value decides before it is narrowed.
    (with_value(BASE, 256, "port", 0, "auth_index"),
     ["config port index 0 auth index 256 is invalid"]),
    (with_value(with_value(BASE, 70000, "port", 0, "port_end"), 70000, "port", 0, "port_start"),
     ["config key [port_start] value 70000 out of range [0, 65535]"]),
    (with_value(BASE, 5000000000, "server", "src_timeout"),
     ["config key [src_timeout] value 5000000000 out of range [0, 4294967295]"]),
    (with_value(BASE, "loc", "auth", 0, "type"), ["config auth unknown auth mode: loc"]),
    (with_value(BASE, 1, "auth", 0, "index"), ["config auth index 1 out of range, 1 backends"]),
    ('{"server": {}, "port": [1,]}', ["config bjson decode from str failed"]),
], ids=lambda v: None if isinstance(v, list) else "")
def test_bad_json_prints_its_lines_and_exits_1(tmp_path, doc, lines):
    code, out, err = run_json(tmp_path, doc)
    assert code == 1, out
    assert errors(out) == lines + ["load config failed"], out


def test_fifo_does_not_hang_the_start(tmp_path):
    fifo = tmp_path / "q.json"
    os.mkfifo(fifo)
    code, out, err = run_cli("-c", str(fifo), cwd=tmp_path)
    assert code == 1
    assert err.startswith("无法打开文件: "), err

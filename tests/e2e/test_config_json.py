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


def document(port, auth_index=0, port_extra=None, server_extra=None, auth=None):
    element = {"addr": "127.0.0.1", "port_start": port, "port_end": port,
               "listen_protocol": "auto", "allow_udp": False, "auth_index": auth_index}
    element.update(port_extra or {})
    server = {"thread": [{}, {}], "ros_id": 3, "src_timeout": 3000, "dst_timeout": 3000,
              "allow_local_ip": True}  # the origin is on loopback
    server.update(server_extra or {})
    backends = auth if auth is not None else [
        {"index": 0, "type": "local", "user": [{"username": "alice", "password": "alice-pw"},
                                               {"username": "bob", "password": "bob-pw",
                                                "rate_limit": 100000}]}]
    return {"server": server, "auth": backends, "port": [element]}


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


def without(d, *path):
    """A deep copy of the document with the key at path removed."""
    d = json.loads(json.dumps(d))
    node = d
    for key in path[:-1]:
        node = node[key]
    del node[path[-1]]
    return d


def with_value(d, value, *path):
    d = json.loads(json.dumps(d))
    node = d
    for key in path[:-1]:
        node = node[key]
    node[path[-1]] = value
    return d


BASE = document(20100)
SALT = "Qx7mK2pR9vL4nW8sT3yZ6b"
REPORT = {"server": [{"server_host": "127.0.0.1", "server_port": 9}], "server_path": "/f",
          "log_path": "/tmp", "interval": 3, "log_num": 2}
LOG = {"log_path": "/tmp", "log_size": 1000, "log_num": 2}
PORT_REQ = ("config port index 0 get addr or port start or port end or listen protocol "
            "config failed")


@pytest.mark.parametrize("doc,lines", [
    (without(BASE, "auth", 0, "index"), ["config auth get index or type failed"]),
    (without(BASE, "auth", 0, "type"), ["config auth get index or type failed"]),
    (without(BASE, "auth", 0, "user", 0, "password"),
     ["config local auth get username or password failed",
      "config auth index 0 load local config failed"]),
    (without(BASE, "port", 0, "addr"), [PORT_REQ]),
    (without(BASE, "port", 0, "port_start"), [PORT_REQ]),
    (without(BASE, "port", 0, "port_end"), [PORT_REQ]),
    (without(BASE, "port", 0, "listen_protocol"), [PORT_REQ]),
    (with_value(BASE, [{"index": 0, "type": "remote"}], "auth"),
     ["config remote auth server is null", "config auth index 0 load remote config failed"]),
    (with_value(BASE, [{"index": 0, "type": "remote", "server": [{"server_port": 9}]}], "auth"),
     ["config remote auth server get host or port failed",
      "config auth index 0 load remote config failed"]),
    (with_value(BASE, [{"index": 0, "type": "tovask", "sign_salt": SALT, "access_log": without(LOG, "log_path")}],
                "auth"),
     ["config auth log path get failed", "config auth index 0 load access config failed"]),
    (with_value(BASE, [{"index": 0, "type": "tovask", "sign_salt": SALT, "flow_log": without(LOG, "log_size")}],
                "auth"),
     ["config auth log size get failed", "config auth index 0 load flow config failed"]),
    (with_value(BASE, [{"index": 0, "type": "tovask", "sign_salt": SALT, "stats_log": without(LOG, "log_num")}],
                "auth"),
     ["config auth log num get failed", "config auth index 0 load stats config failed"]),
    (with_value(BASE, [{"index": 0, "type": "tovask", "sign_salt": SALT,
                        "flow_report": without(REPORT, "server")}], "auth"),
     ["config auth log report server is null",
      "config auth index 0 load flow report config failed"]),
    (with_value(BASE, [{"index": 0, "type": "tovask", "sign_salt": SALT,
                        "stats_report": without(REPORT, "server_path")}], "auth"),
     ["config auth log report get server path failed",
      "config auth index 0 load stats report config failed"]),
    (with_value(BASE, [{"index": 0, "type": "tovask", "sign_salt": SALT,
                        "flow_report": without(REPORT, "log_path")}], "auth"),
     ["config auth log report get log path failed",
      "config auth index 0 load flow report config failed"]),
    (with_value(BASE, [{"index": 0, "type": "tovask", "sign_salt": SALT,
                        "flow_report": without(REPORT, "interval")}], "auth"),
     ["config auth log report get interval failed",
      "config auth index 0 load flow report config failed"]),
    (with_value(BASE, [{"index": 0, "type": "tovask", "sign_salt": SALT,
                        "flow_report": without(REPORT, "log_num")}], "auth"),
     ["config auth log report get log num failed",
      "config auth index 0 load flow report config failed"]),
    (with_value(BASE, {"nat_list": [{"inline": "10.0.0.1"}]}, "server"),
     ["config add nat cache get inline or public ip failed"]),
    # Range mends: the full value decides before it is narrowed.
    (with_value(BASE, 256, "port", 0, "auth_index"),
     ["config port index 0 auth index 256 is invalid"]),
    (with_value(BASE, 255, "port", 0, "auth_index"),
     ["config port index 0 auth index 255 is invalid"]),
    (with_value(with_value(BASE, 70000, "port", 0, "port_end"), 70000, "port", 0, "port_start"),
     ["config key [port_start] value 70000 out of range [0, 65535]"]),
    (with_value(BASE, 5000000000, "server", "src_timeout"),
     ["config key [src_timeout] value 5000000000 out of range [0, 4294967295]"]),
    (with_value(BASE, "loc", "auth", 0, "type"), ["config auth unknown auth mode: loc"]),
    (with_value(BASE, 1, "auth", 0, "index"), ["config auth index 1 out of range, 1 backends"]),
    ('{"server": {}, "port": [1,]}', ["config bjson decode from str failed"]),
    ("{}", ["config need server config"]),
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

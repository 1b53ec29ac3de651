"""INI and JSON configuration files: the exact diagnostic lines and exit statuses."""
import json
import os
import pathlib
import re

import pytest

from conftest import SALT, listening, run_cli, wait_for

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
STAMP = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (ERROR|INFO ) : ")

BASE = "[kni]\nthread_num=1\n[quoxel]\nros_id=7\n"


def port(n=0, auth=-1, extra=""):
    return (f"[port{n}]\naddr=127.0.0.1\nport_start={20000 + n}\nport_end={20000 + n}\n"
            f"listen_protocol=auto\nallow_udp=0\nauth={auth}\n{extra}")


def lines(out):
    """The diagnostic lines with their time stamps replaced by "T"."""
    assert all(STAMP.match(line) for line in out.splitlines()), f"not all diagnostic lines: {out!r}"
    return [STAMP.sub(r"T \1 : ", line) for line in out.splitlines()]


def run_config(tmp_path, text, name="q.ini"):
    (tmp_path / name).write_text(text)
    return run_cli("-c", str(tmp_path / name), cwd=tmp_path)


HEAD = ["T INFO  : use single thread", "T INFO  : config thread 0 thread_core:-1 port_agent_data 0"]


@pytest.mark.parametrize("text,expected", [
    (BASE + "[auth0]\ntype=ldap\n" + port(),
     HEAD + ["T INFO  : auth [0] mode: ldap", "T ERROR : unknown auth mode: ldap"]),
    (BASE + "[auth0]\ntype=tovask\nsign_salt=" + SALT + "\n" + port(auth=1),
     HEAD + ["T INFO  : auth [0] mode: tovask", "T ERROR : auth 1 not exists"]),
    (BASE, HEAD + ["T ERROR : config need port config"]),
    ("[kni]\nthread_num=0\n[quoxel]\nros_id=1\nnat_list=10.0.0.1:1.1.1.1,10.0.0.1:2.2.2.2\n" + port(),
     HEAD + ["T INFO  : config add nat cache [10.0.0.1:1.1.1.1] [0100000a][01010101]",
             "T ERROR : config add nat cache [10.0.0.1:2.2.2.2]"]),
    (BASE + "[port0]\naddr=0.0.0.0\nport_start=9\nport_end=8\nallow_udp=0\n",
     HEAD + ["T ERROR : port:0 port_start:9 or port_end:8 is error"]),
], ids=["unknown_mode", "auth_index", "no_ports", "nat_duplicate", "port_range"])
def test_bad_file_prints_its_lines_and_exits_1(tmp_path, text, expected):
    code, out, err = run_config(tmp_path, text)
    assert (code, err) == (1, "")
    assert lines(out) == expected + ["T ERROR : load config failed"]


@pytest.mark.parametrize("make,name,last", [
    ("missing", "q.ini", "T ERROR : config ini load failed"),
    ("directory", "q.ini", "T ERROR : config ini load failed"),
    ("fifo", "q.ini", "T ERROR : config ini load failed"),
    ("{}", "q.json", "T ERROR : config need server config"),
    (BASE + "nat_file={dir}/nat.txt\n" + port(), "q.ini",
     "T ERROR : config nat file [{dir}/nat.txt] has error conf [10.0.0.1:" + "1" * 31 + "]"),
])
def test_unreadable_file_is_a_load_failure(tmp_path, make, name, last):
    path = tmp_path / name
    (tmp_path / "nat.txt").write_text("10.0.0.1:" + "1" * 40 + "\n")
    if make == "directory":
        path.mkdir()
    elif make == "fifo":
        os.mkfifo(path)
    elif make != "missing":
        path.write_text(make.replace("{dir}", str(tmp_path)))
    code, out, err = run_cli("-c", str(path), cwd=tmp_path)
    assert (code, err) == (1, "")
    assert lines(out)[-2:] == [last.replace("{dir}", str(tmp_path)), "T ERROR : load config failed"]


EXAMPLE_PORTS = {"quickstart.ini": 1080, "local.ini": 1081, "remote.ini": 1083,
                 "tovask.ini": 1084, "forward.ini": 1085, "kestrum.ini": 1087}


@pytest.mark.parametrize("name", sorted(EXAMPLE_PORTS))
def test_every_example_loads(quoxel, name):
    # Example paths are relative to the source tree.
    s = quoxel((EXAMPLES / name).read_text().replace("examples/", f"{EXAMPLES}/"), name=name)
    # Listening means the load is over; exiting first means it failed.
    assert wait_for(lambda: s.proc.poll() is not None or listening(EXAMPLE_PORTS[name]),
                    timeout=10) and s.proc.poll() is None, s.output()
    assert "load config failed" not in s.output()
    assert "auth [0] mode: " in s.output()


@pytest.mark.parametrize("name", sorted(p.name for p in EXAMPLES.iterdir()
                                         if p.suffix in (".ini", ".json")))
def test_every_example_passes_the_check(name):
    # -t also reads what a backend loads only later (resource files), so it sees more.
    code, out, _ = run_cli("-t", "-c", f"examples/{name}", cwd=EXAMPLES.parent)
    assert code == 0 and out.endswith(f"configuration examples/{name} is ok\n"), out


# A valid document; each case below breaks one part of it.
DOC = {"server": {"thread": [{}, {}], "ros_id": 3, "src_timeout": 3000, "dst_timeout": 3000,
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


def with_value(d, value, *path):
    """A deep copy of the document with the key at path set to value (removed for None)."""
    node = d = json.loads(json.dumps(d))
    for key in path[:-1]:
        node = node[key]
    if value is None:
        del node[path[-1]]
    else:
        node[path[-1]] = value
    return d


def without(d, *path):
    return with_value(d, None, *path)


REPORT = {"server": [{"server_host": "127.0.0.1", "server_port": 9}], "server_path": "/f",
          "log_path": "/tmp", "interval": 3, "log_num": 2}
LOG = {"log_path": "/tmp", "log_size": 1000, "log_num": 2}


def tovask(**extra):
    """DOC with one tovask backend carrying the extra members."""
    return with_value(DOC, [{"index": 0, "type": "tovask", "sign_salt": SALT, **extra}], "auth")


@pytest.mark.parametrize("doc,expected", [
    (without(DOC, "auth", 0, "index"), ["config auth get index or type failed"]),
    (without(DOC, "auth", 0, "user", 0, "password"),
     ["config local auth get username or password failed",
      "config auth index 0 load local config failed"]),
    (without(DOC, "port", 0, "addr"),
     ["config port index 0 get addr or port start or port end or listen protocol config failed"]),
    (with_value(DOC, [{"index": 0, "type": "remote"}], "auth"),
     ["config remote auth server is null", "config auth index 0 load remote config failed"]),
    (with_value(DOC, [{"index": 0, "type": "remote", "server": [{"server_port": 9}]}], "auth"),
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
    (with_value(DOC, {"nat_list": [{"inline": "10.0.0.1"}]}, "server"),
     ["config add nat cache get inline or public ip failed"]),
    # Range mends: the full value decides before it is narrowed.
    (with_value(DOC, 256, "port", 0, "auth_index"),
     ["config port index 0 auth index 256 is invalid"]),
    (with_value(with_value(DOC, 70000, "port", 0, "port_end"), 70000, "port", 0, "port_start"),
     ["config key [port_start] value 70000 out of range [0, 65535]"]),
    (with_value(DOC, 5000000000, "server", "src_timeout"),
     ["config key [src_timeout] value 5000000000 out of range [0, 4294967295]"]),
    (with_value(DOC, "loc", "auth", 0, "type"), ["config auth unknown auth mode: loc"]),
    (with_value(DOC, 1, "auth", 0, "index"), ["config auth index 1 out of range, 1 backends"]),
    ('{"server": {}, "port": [1,]}', ["config bjson decode from str failed"]),
], ids=lambda v: None if isinstance(v, list) else "")
def test_bad_json_prints_its_lines_and_exits_1(tmp_path, doc, expected):
    text = doc if isinstance(doc, str) else json.dumps(doc)
    code, out, err = run_config(tmp_path, text, "q.json")
    assert code == 1, out
    assert errors(out) == expected + ["load config failed"], out

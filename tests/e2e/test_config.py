"""The binary on good and bad configuration files: the exact diagnostic lines and exit statuses."""
import os
import pathlib
import re
import subprocess

import pytest

from conftest import run_cli, wait_for

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
STAMP = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (ERROR|INFO ) : ")

BASE = "[kni]\nthread_num=1\n[quoxel]\nros_id=7\n"


def port(n=0, auth=-1, extra=""):
    return (f"[port{n}]\naddr=127.0.0.1\nport_start={20000 + n}\nport_end={20000 + n}\n"
            f"listen_protocol=auto\nallow_udp=0\nauth={auth}\n{extra}")


def lines(out):
    """The diagnostic lines with their time stamps replaced by "T"."""
    result = []
    for line in out.splitlines():
        assert STAMP.match(line), f"not a diagnostic line: {line!r}"
        result.append(STAMP.sub(lambda m: f"T {m.group(1)} : ", line))
    return result


def run_config(tmp_path, text, name="q.ini"):
    path = tmp_path / name
    path.write_text(text)
    return run_cli("-c", str(path), cwd=tmp_path)


@pytest.mark.parametrize("text,expected", [
    (BASE + "[auth0]\ntype=ldap\n" + port(),
     ["T INFO  : use single thread",
      "T INFO  : config thread 0 thread_core:-1 port_agent_data 0",
      "T INFO  : auth [0] mode: ldap",
      "T ERROR : unknown auth mode: ldap",
      "T ERROR : load config failed"]),
    (BASE + "[auth0]\ntype=tovask\n" + port(auth=1),
     ["T INFO  : use single thread",
      "T INFO  : config thread 0 thread_core:-1 port_agent_data 0",
      "T INFO  : auth [0] mode: tovask",
      "T ERROR : auth 1 not exists",
      "T ERROR : load config failed"]),
    (BASE,
     ["T INFO  : use single thread",
      "T INFO  : config thread 0 thread_core:-1 port_agent_data 0",
      "T ERROR : config need port config",
      "T ERROR : load config failed"]),
    ("[kni]\nthread_num=0\n[quoxel]\nros_id=1\nnat_list=10.0.0.1:1.1.1.1,10.0.0.1:2.2.2.2\n"
     + port(),
     ["T INFO  : use single thread",
      "T INFO  : config thread 0 thread_core:-1 port_agent_data 0",
      "T INFO  : config add nat cache [10.0.0.1:1.1.1.1] [0100000a][01010101]",
      "T ERROR : config add nat cache [10.0.0.1:2.2.2.2]",
      "T ERROR : load config failed"]),
    (BASE + "[port0]\naddr=0.0.0.0\nport_start=9\nport_end=8\nallow_udp=0\n",
     ["T INFO  : use single thread",
      "T INFO  : config thread 0 thread_core:-1 port_agent_data 0",
      "T ERROR : port:0 port_start:9 or port_end:8 is error",
      "T ERROR : load config failed"]),
], ids=["unknown_mode", "auth_index", "no_ports", "nat_duplicate", "port_range"])
def test_bad_file_prints_its_lines_and_exits_1(tmp_path, text, expected):
    code, out, err = run_config(tmp_path, text)
    assert (code, err) == (1, "")
    assert lines(out) == expected


def test_nat_field_too_long_fails_with_the_conf_line(tmp_path):
    nat = tmp_path / "nat.txt"
    nat.write_text("10.0.0.1:" + "1" * 40 + "\n")
    code, out, err = run_config(tmp_path, BASE + f"nat_file={nat}\n" + port())
    assert (code, err) == (1, "")
    assert lines(out)[-2:] == [
        f"T ERROR : config nat file [{nat}] has error conf [10.0.0.1:{'1' * 31}]",
        "T ERROR : load config failed"]


@pytest.mark.parametrize("make", ["missing", "directory", "fifo"])
def test_unreadable_file_is_a_load_failure(tmp_path, make):
    path = tmp_path / "q.ini"
    if make == "directory":
        path.mkdir()
    elif make == "fifo":
        os.mkfifo(path)
    code, out, err = run_cli("-c", str(path), cwd=tmp_path)
    assert (code, err) == (1, "")
    assert lines(out) == ["T ERROR : config ini load failed", "T ERROR : load config failed"]


@pytest.mark.parametrize("text,message", [
    ("[kni]\nthread_num=1\n", "[ini] quoxel/ros_id not found!\n"),
    ("[kni]\nthread_num=x1\n[quoxel]\nros_id=1\n", "[ini] kni/thread_num is not a number: x1!\n"),
    (BASE + "[port0]\naddr=127.0.0.1\nport_start=1\nport_end=1\nallow_udp=0\nauth=-1\n",
     "[ini] port0/listen_protocol not found!\n"),
    (BASE + port(auth="none"), "[ini] port0/auth is not a number: none!\n"),
])
def test_missing_or_malformed_key_exits_1_without_the_load_line(tmp_path, text, message):
    code, out, err = run_config(tmp_path, text)
    assert (code, err) == (1, message)
    assert "load config failed" not in out


def wait_loaded(server, listen_port):
    """True once the server listens (the load is over); false if it exits first."""
    def settled():
        if server.proc.poll() is not None:
            return True
        out = subprocess.run(["ss", "-Hltn", f"sport = :{listen_port}"], capture_output=True,
                             text=True).stdout
        return bool(out.strip())
    return wait_for(settled, timeout=10) and server.proc.poll() is None


def test_good_file_loads_and_prints_its_settings(quoxel, tmp_path):
    nat = tmp_path / "nat.txt"
    nat.write_text("10.0.0.1:1.1.1.1\r\n\r\n10.0.0.2:2.2.2.2\r\n")
    text = ("[kni]\nthread_num=3\nthread_core_start=-1\n[quoxel]\nros_id=1\nport_agent_data=0\n"
            f"nat_file={nat}\n"
            "[auth0]\ntype=local\nuser1=demo:demo\nuser2=broken\n" + port(auth=0) +
            port(1, extra="port_health=0\n"))
    s = quoxel(text)
    assert wait_loaded(s, 20000), s.output()
    out = lines(s.output())
    assert "T ERROR : load config failed" not in out
    for line in ["T INFO  : use thread pool (3)",
                 "T INFO  : config thread 2 thread_core:-1 port_agent_data 0",
                 "T INFO  : config add nat cache [10.0.0.2:2.2.2.2] [0200000a][02020202]",
                 "T INFO  : auth [0] mode: local",
                 "T INFO  : local auth user: demo:demo",
                 "T INFO  : port 1 run with NO AUTH mode"]:
        assert line in out


EXAMPLE_PORTS = {"quickstart.ini": 1080, "local.ini": 1081, "remote.ini": 1083,
                 "tovask.ini": 1084, "forward.ini": 1085}


@pytest.mark.parametrize("name", sorted(EXAMPLE_PORTS))
def test_every_example_loads(quoxel, name):
    s = quoxel((EXAMPLES / name).read_text(), name=name)
    assert wait_loaded(s, EXAMPLE_PORTS[name]), s.output()
    assert "load config failed" not in s.output()
    assert "auth [0] mode: " in s.output()


def test_examples_are_all_covered():
    assert sorted(p.name for p in EXAMPLES.glob("*.ini")) == sorted(EXAMPLE_PORTS)

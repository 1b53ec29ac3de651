"""The command line: exact texts, empty stderr, exit statuses."""
import re
import subprocess

import pytest

from conftest import BIN, ini_text, run_cli

USAGE = ("usage: {0} [options]\noptions: \n"
         "  -v                   Show version\n"
         "  -c <config.ini>      Config file.\n"
         "  -d                   Run as a daemon.\n"
         "  -s                   Write to syslog.\n"
         "  -t                   Test the configuration and exit.\n"
         "  -h                   Show this help message.\n").format(BIN)
VERSION = re.compile(r"^quoxel-kni version: 3\.1\.3 compiled at: "
                     r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\n$")


@pytest.mark.parametrize("args,status,expected", [
    (["-h"], 0, USAGE),
    (["-h", "-v"], 0, USAGE),
    (["-x"], 1, "Invalid argument: -x\n" + USAGE),
    (["-n", "3"], 1, "Invalid argument: -n\n" + USAGE),
    (["-n"], 1, "Missing argument after: -n\n" + USAGE),
    (["-c"], 1, "Missing argument after: -c\n" + USAGE),
    (["-s", "-x"], 1, "Invalid argument: -x\n" + USAGE),
])
def test_exact_output_and_status(args, status, expected):
    code, out, err = run_cli(*args)
    assert (code, out, err) == (status, expected, "")


@pytest.mark.parametrize("args", [["-v"], ["-v", "-h"], ["-s", "-v"]])
def test_version_line(args):
    code, out, err = run_cli(*args)
    assert code == 0 and err == ""
    assert VERSION.match(out), out


def test_daemon_parent_prints_the_child_pid_and_the_child_keeps_the_directory(tmp_path):
    import os
    import signal
    (tmp_path / "config.ini").write_text(
        "[kni]\nthread_num = 1\n[quoxel]\nros_id = 1\n[port0]\naddr = 127.0.0.1\n"
        "port_start = 0\nport_end = 0\nallow_udp = 0\nlisten_protocol = auto\nauth = -1\n")
    # The child keeps the parent's streams: read them from a file, not a pipe it holds open.
    with open(tmp_path / "out", "wb") as out_file:
        code = subprocess.run([BIN, "-d"], cwd=tmp_path, stdout=out_file,
                              stderr=subprocess.STDOUT, timeout=10).returncode
    out = (tmp_path / "out").read_text()
    assert code == 0
    m = re.search(r"^PID is (\d+)$", out, re.M)
    assert m, out
    pid = int(m.group(1))
    try:
        cwd = os.readlink(f"/proc/{pid}/cwd")
        assert cwd == str(tmp_path)
    finally:
        os.kill(pid, signal.SIGKILL)


@pytest.mark.parametrize("settings,status,lines", [
    ({}, 0, ["configuration {ini} is ok"]),
    ({"quoxel": {"black_list_file": "{tmp}"}}, 1,  # a directory: unreadable as a list
     ["ERROR : load black file {tmp} failed", "configuration {ini} test failed"]),
    ({"auth0": {"type": "forward", "resource": 1, "sign_salt": "s" * 22,
                "resource_file": "{tmp}"}}, 1,
     ["ERROR : resource file [{tmp}] load failed", "configuration {ini} test failed"]),
    ({"port0": {"allow_udp": None}}, 1,  # a required key ends the load at once
     ["configuration {ini} test failed"]),
    (None, 1, ["ERROR : config ini load failed", "configuration {ini} test failed"]),
])
def test_configuration_check(tmp_path, settings, status, lines):
    ini = tmp_path / "q.ini"
    if settings is not None:
        ini.write_text(ini_text(settings).replace("{tmp}", str(tmp_path)))
    code, out, err = run_cli("-t", "-c", str(ini))
    # Timestamps off; INFO lines describe the configuration and are not pinned.
    got = [re.sub(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d ", "", line) for line in out.splitlines()]
    assert code == status
    assert [g for g in got if not g.startswith("INFO")] == [
        line.format(ini=ini, tmp=tmp_path) for line in lines], out
    assert err == ("" if settings != {"port0": {"allow_udp": None}}
                   else "[ini] port0/allow_udp not found!\n")

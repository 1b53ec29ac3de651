"""The command line: exact texts, empty stderr, exit statuses."""
import re

import pytest

from conftest import BIN, run_cli

USAGE = ("usage: {0} [options]\noptions: \n"
         "  -v                   Show version\n"
         "  -c <config.ini>      Config file.\n"
         "  -d                   Run as a daemon.\n"
         "  -s                   Wirte to syslog.\n"
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


def test_missing_default_config_fails_with_the_load_line(tmp_path):
    # Without -c the file config.ini of the working directory is read.
    code, out, err = run_cli(cwd=tmp_path)
    assert code == 1 and err == ""
    assert re.search(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d ERROR : load config failed$", out, re.M), out

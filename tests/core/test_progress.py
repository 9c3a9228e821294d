"""Progress lines go to file descriptor 1 itself; checked in a child process that owns it."""
import errno
import json
import os
import subprocess
import sys

import pytest

CRAB = "\U0001F980 [Rust] ".encode()
RECEIVED = CRAB + b"Received 2 instructions from Python.\n"
CONTAINS = CRAB + b"Graph memory now contains 3 nodes.\n"

CHILD = r'''
import io, json, os, resource, signal, sys
from _vornak import QuantumDAG
mode, report_path = sys.argv[1:]
report = open(report_path, "w")
limit = resource.getrlimit(resource.RLIMIT_FSIZE)
if mode == "closed":
    os.close(1)
elif mode == "full":
    os.dup2(os.open("/dev/full", os.O_WRONLY), 1)
elif mode == "read-only":  # open, but every write fails with EBADF
    os.dup2(os.open(os.devnull, os.O_RDONLY), 1)
elif mode == "limited":  # room for the first line and part of the second
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    os.dup2(os.open(report_path + ".out", os.O_WRONLY | os.O_CREAT | os.O_TRUNC), 1)
    resource.setrlimit(resource.RLIMIT_FSIZE, (60, limit[1]))
sys.stdout = io.StringIO()
dag = QuantumDAG()
dag.add_gate("seed", [0], 1.0)
error = None
try:
    dag.build_from_ir([("h", [0], 1.0, {}), ("x", [1], 2.0, {})])
except BaseException as caught:
    error = [type(caught).__name__, isinstance(caught, Exception), *caught.args]
nodes = dag.node_count()
if mode == "quiet":  # every other method writes nothing
    dag.set_coupling_map([(0, 1)]); dag.build_schedule(); dag.get_node_schedule(0)
    dag.find_idle_windows(0.0); dag.get_all_nodes(); dag.add_gate("y", [2], 1.0)
    dag.build_from_ir([])
resource.setrlimit(resource.RLIMIT_FSIZE, limit)
json.dump({"error": error, "nodes": nodes, "python_stdout": sys.stdout.getvalue(),
           "next_id": dag.add_gate("z", [], 0.0)}, report)
'''


def run_child(tmp_path, mode):
    report = tmp_path / "report.json"
    proc = subprocess.run([sys.executable, "-c", CHILD, mode, str(report)], capture_output=True, timeout=60)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    return proc, json.loads(report.read_text())


@pytest.mark.parametrize("mode, out", [
    ("pipe", RECEIVED + CONTAINS),
    ("quiet", RECEIVED + CONTAINS + CRAB + b"Received 0 instructions from Python.\n"
     + CRAB + b"Graph memory now contains 4 nodes.\n"),
    ("closed", b""),  # no descriptor 1: the lines are dropped and the call goes on
])
def test_lines_are_written_to_the_descriptor(tmp_path, mode, out):
    proc, seen = run_child(tmp_path, mode)
    assert proc.stdout == out
    assert seen["error"] is None
    assert seen["python_stdout"] == ""
    assert seen["nodes"] == 3


@pytest.mark.parametrize("mode, code, nodes", [
    ("full", errno.ENOSPC, 1),  # the first line fails: no node is added
    ("read-only", errno.EBADF, 1),  # a descriptor 1 that is open is not a missing one
    ("limited", errno.EFBIG, 3),  # the second line fails: the nodes stay
])
def test_write_error_raises_panic(tmp_path, mode, code, nodes):
    proc, seen = run_child(tmp_path, mode)
    name, is_exception, message = seen["error"]
    assert (name, is_exception) == ("PanicException", False)
    assert message == f"failed printing to stdout: {os.strerror(code)} (os error {code})"
    assert message in proc.stderr.decode()
    assert (seen["nodes"], seen["next_id"]) == (nodes, nodes)
    if mode == "limited":
        assert (tmp_path / "report.json.out").read_bytes() == (RECEIVED + CONTAINS)[:60]

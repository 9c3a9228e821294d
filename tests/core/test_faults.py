"""Faults from outside: progress lines to a pipe nobody reads or a descriptor that fails,
and memory running out in the middle of a call. Each runs in a child process, so that a
crash fails one test and nothing else."""
import errno
import json
import os
import subprocess
import sys

import pytest

CRAB = "\U0001F980 [Rust] ".encode()

OUTPUT_CHILD = r'''
import json, os, sys
from _vornak import QuantumDAG
mode, method = sys.argv[1:]
report = os.dup(1)
if mode == "broken pipe":  # the reading end is gone: every write fails with EPIPE
    read_end, write_end = os.pipe()
    os.close(read_end)
    os.dup2(write_end, 1)
elif mode == "full":
    os.dup2(os.open("/dev/full", os.O_WRONLY), 1)
elif mode == "read-only":  # open, but every write fails with EBADF
    os.dup2(os.open(os.devnull, os.O_RDONLY), 1)
elif mode == "closed":
    os.close(1)
dag = QuantumDAG()
dag.add_gate("x", [1], 400.0)
dag.add_gate("cx", [0, 1], 300.0)
dag.build_schedule()
before = dag.get_all_nodes()
error, result = None, None
try:
    if method == "build_from_ir":
        dag.build_from_ir([("h", [0], 1.0, {})])
    else:
        result = dag.apply_dd_pass().get_all_nodes()
except BaseException as caught:
    error = [type(caught).__name__, isinstance(caught, Exception), *caught.args]
os.write(report, json.dumps({"error": error, "result": result, "unchanged": dag.get_all_nodes() == before,
                             "schedule": dag.get_node_schedule(1), "usable": dag.add_gate("y", [2], 1.0)}).encode())
'''


def run_output_child(mode, method):
    proc = subprocess.run([sys.executable, "-c", OUTPUT_CHILD, mode, method], capture_output=True, timeout=60)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    return proc, json.loads(proc.stdout)


@pytest.mark.parametrize("mode, code", [("broken pipe", errno.EPIPE), ("full", errno.ENOSPC),
                                        ("read-only", errno.EBADF)])
@pytest.mark.parametrize("method", ["build_from_ir", "apply_dd_pass"])
def test_failing_progress_write_raises_panic_and_changes_nothing(mode, code, method):
    proc, seen = run_output_child(mode, method)
    name, is_exception, message = seen["error"]
    assert (name, is_exception) == ("PanicException", False)
    assert message == f"failed printing to stdout: {os.strerror(code)} (os error {code})"
    assert message in proc.stderr.decode()
    # The first line fails: build_from_ir adds nothing, the pass returns nothing.
    assert seen["unchanged"] and seen["result"] is None
    assert seen["schedule"] == [400.0, 700.0] and seen["usable"] == 2


def test_pass_without_stdout_drops_its_lines():
    proc, seen = run_output_child("closed", "apply_dd_pass")
    assert seen["error"] is None and seen["unchanged"]
    assert [node[0] for node in seen["result"]] == ["x", "DD_X", "DD_Y", "cx"]
    assert proc.stdout.count(CRAB) == 0


# --- Memory running out ---------------------------------------------------------------------
# The child builds a graph, then calls one method again and again under an address-space limit
# that starts just above what the process uses and grows until the call succeeds. After each
# failed call the graph must be exactly as before; after a successful one, exactly as a twin
# graph that made the same call with no limit.

MEMORY_CHILD = r'''
import ctypes, json, os, random, resource, sys
from _vornak import QuantumDAG
method, gates, growth = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
report = os.dup(1)
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)

def circuit(n, seed):
    rng = random.Random(seed)
    out = []
    for i in range(n):
        qubits = rng.sample(range(64), rng.choice([1, 1, 2]))
        params = {"t": float(i)} if i % 3 == 0 else {}
        out.append((rng.choice(["x", "cx", "h"]), qubits, rng.choice([20.0, 50.0, 300.0]), params))
    return out

# Two idle qubits, 100 and 101, whose pulses overlap once they are coupled.
CROSSTALK = [("x", [102], 200.0, {}), ("cx", [100, 102], 100.0, {}), ("x", [103], 200.0, {}),
             ("cx", [101, 103], 100.0, {})]
BASE, BATCH = circuit(gates, 1) + CROSSTALK, circuit(gates, 2)
EDGES = [(100, 101)] + [(q % 64, q + 64) for q in range(100000)]  # the first pair changes the crosstalk shifts

def make():
    dag = QuantumDAG()
    dag.build_from_ir(BASE)
    dag.set_coupling_map([(q, q + 1) for q in range(63)])
    dag.build_schedule()
    dag.build_from_ir(BASE[:500])  # nodes that the current schedule does not cover yet
    return dag

def state(dag):
    """Everything a caller can see of a graph; the coupling map shows in the pass's crosstalk shifts."""
    n = dag.node_count()
    return [n, dag.get_all_nodes(), [dag.get_node_schedule(i) for i in range(n + 1)],
            sorted(dag.find_idle_windows(0.0)), dag.apply_dd_pass("XY", None, 2**64 - 1).get_all_nodes()]

WIDE = list(range(200000))

CALLS = {
    "build_from_ir": lambda dag: dag.build_from_ir(BATCH),
    "add_gate": lambda dag: dag.add_gate("g", WIDE, 1.0, {"k": 1.0}),
    "set_coupling_map": lambda dag: dag.set_coupling_map(EDGES),
    "build_schedule": lambda dag: dag.build_schedule(),
    "find_idle_windows": lambda dag: len(dag.find_idle_windows(0.0)),
    "apply_dd_pass": lambda dag: state(dag.apply_dd_pass("XY4", {1: 20.0}, 64)),
    "get_all_nodes": lambda dag: len(dag.get_all_nodes()),
}
call = CALLS[method]
twin = make()
expected_result = call(twin)
expected_after = state(twin)
del twin

def vm_size():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))

soft, hard = resource.getrlimit(resource.RLIMIT_AS)
dag = make()
before = state(dag)
seen, problems, margin = {}, [], 1 << 14
libc = ctypes.CDLL(None)
trim = libc.malloc_trim  # hands free heap back, so that the limit bites at once
# A fixed mmap threshold (M_MMAP_THRESHOLD): every large array is mapped anew. Otherwise the
# allocator raises its threshold after a large free and may serve the call's arrays from a
# hole of the heap, which no address-space limit reaches, and no attempt fails.
libc.mallopt(-3, 1 << 16)
while margin < 1 << 30:
    trim(0)
    resource.setrlimit(resource.RLIMIT_AS, (vm_size() + margin, hard))
    try:
        outcome = ["ok", call(dag)]
    except BaseException as error:
        outcome = ["raised", type(error).__name__, str(error)]
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    if outcome[0] == "ok":
        if outcome[1] != expected_result or state(dag) != expected_after:
            problems.append(["wrong result or state after success", margin])
        break
    kind = outcome[1] if outcome[1] != "PanicException" else "PanicException: " + outcome[2]
    seen[kind] = seen.get(kind, 0) + 1
    if state(dag) != before:
        problems.append(["graph changed by a failed call", margin, outcome[1:]])
        dag = make()
        before = state(dag)
    margin = int(margin * growth)
os.write(report, json.dumps({"seen": seen, "problems": problems, "succeeded": outcome[0] == "ok"}).encode())
'''

# (method, gates in the graph, growth of the limit between attempts); the large graphs have
# arrays big enough to be mapped on their own.
CASES = [(m, 20000, 1.25) for m in ["build_from_ir", "add_gate", "set_coupling_map", "build_schedule",
                                    "find_idle_windows", "apply_dd_pass", "get_all_nodes"]]
CASES += [("build_from_ir", 200000, 2.0), ("build_schedule", 200000, 2.0)]


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's allocator reserves its own address space and aborts when it runs out")
@pytest.mark.parametrize("method, gates, growth", CASES)
def test_running_out_of_memory_raises_and_changes_nothing(method, gates, growth):
    proc = subprocess.run([sys.executable, "-c", MEMORY_CHILD, method, str(gates), str(growth)],
                          capture_output=True, timeout=300)
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")[-3000:]
    report = json.loads(proc.stdout)
    assert report["problems"] == []
    assert report["succeeded"]
    # Failures are MemoryError, or, where the interpreter could not make a result object,
    # the internal failure that reports it.
    assert set(report["seen"]) <= {"MemoryError", "PanicException: Python API call failed"}, report["seen"]
    assert sum(report["seen"].values()) > 0

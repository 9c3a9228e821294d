"""Every method, on its success path and on each error path, keeps no reference to its
arguments and leaks no memory: reference counts stay as they were, and ten thousand calls
leave RSS and the interpreter's traced memory flat (measured in a child process)."""
import itertools
import json
import os
import subprocess
import sys

import pytest

from _vornak import QuantumDAG


def text(s):
    """A str that is neither interned nor immortal, so that its reference count means something."""
    return "".join(list(s))


def big(n):
    return 2**40 + n


def real(x):
    return float(str(x))


class Hook:
    def __init__(self, value, act=None):
        self.value, self.act = value, act

    def __index__(self):
        if self.act is not None:
            self.act()
        return self.value

    def __float__(self):
        return float(self.__index__())


def raising(exc):
    def act():
        raise exc("hostile")
    return act


def scheduled_graph():
    dag = QuantumDAG()
    dag.build_from_ir([("x", [1], 400.0, {}), ("cx", [0, 1], 300.0, {"t": 0.5}), ("y", [2], 10.0, {})])
    dag.set_coupling_map([(0, 1)])
    dag.build_schedule()
    return dag


def mutating_dict(key_kind):
    table = {}
    # A new key at every conversion, so that every call meets a dict that changes size.
    grower = Hook(1, lambda: table.__setitem__(text(f"z{len(table)}") if key_kind is str else big(100 + len(table)), 1.0))
    table[text("a") if key_kind is str else big(1)] = grower
    return table


FRESH = itertools.count()

# (id, method, args builder -> (args, kwargs), expected exception type or None, grows the graph)
CASES = [
    ("new", None, lambda g: ((), {}), None, False),
    ("new-args", None, lambda g: ((big(1),), {"x": real(1)}), TypeError, False),
    ("add_gate", "add_gate", lambda g: ((text("g"), [big(1), big(2)], real(1.5), {text("k"): real(0.5)}), {}), None, True),
    ("add_gate-kw", "add_gate", lambda g: ((), {"name": text("g"), "qubits": (big(1),), "duration_ns": big(3),
                                                "params": None}), None, True),
    ("add_gate-hooks", "add_gate", lambda g: ((text("g"), [Hook(big(1))], Hook(4)), {}), None, True),
    ("add_gate-name", "add_gate", lambda g: ((big(1), [big(1)], real(1)), {}), TypeError, False),
    ("add_gate-surrogate", "add_gate", lambda g: ((text("\udc80"), [big(1)], real(1)), {}), UnicodeEncodeError, False),
    ("add_gate-str-qubits", "add_gate", lambda g: ((text("g"), text("01"), real(1)), {}), TypeError, False),
    ("add_gate-not-sequence", "add_gate", lambda g: ((text("g"), {big(1)}, real(1)), {}), TypeError, False),
    ("add_gate-negative", "add_gate", lambda g: ((text("g"), [big(1), -big(1)], real(1)), {}), OverflowError, False),
    ("add_gate-hook-raises", "add_gate", lambda g: ((text("g"), [Hook(1, raising(ValueError))], real(1)), {}),
     ValueError, False),
    ("add_gate-reentry", "add_gate", lambda g: ((text("g"), [Hook(1, g.node_count)], real(1)), {}), RuntimeError, False),
    ("add_gate-duration", "add_gate", lambda g: ((text("g"), [big(1)], text("5")), {}), TypeError, False),
    ("add_gate-params", "add_gate", lambda g: ((text("g"), [big(1)], real(1), [(text("a"), real(1))]), {}),
     TypeError, False),
    ("add_gate-param-key", "add_gate", lambda g: ((text("g"), [big(1)], real(1), {big(1): real(1)}), {}),
     TypeError, False),
    ("add_gate-param-value", "add_gate", lambda g: ((text("g"), [big(1)], real(1), {text("a"): text("x")}), {}),
     TypeError, False),
    ("add_gate-dict-changed", "add_gate", lambda g: ((text("g"), [big(1)], real(1), mutating_dict(str)), {}),
     BaseException, False),
    ("add_gate-missing", "add_gate", lambda g: ((text("g"),), {"qubits": [big(1)]}), TypeError, False),
    ("add_gate-too-many", "add_gate", lambda g: ((text("g"), [big(1)], real(1), None, big(2)), {}), TypeError, False),
    ("add_gate-twice", "add_gate", lambda g: ((text("g"), [big(1)], real(1)), {"name": text("h")}), TypeError, False),
    ("add_gate-unexpected", "add_gate", lambda g: ((text("g"), [big(1)], real(1)), {text("bogus"): big(1)}),
     TypeError, False),
    ("build_from_ir", "build_from_ir",
     lambda g: (([(text("g"), [big(1)], real(2), {text("k"): real(1)}), (text("h"), (big(2), big(3)), big(1), {})],), {}),
     None, True),
    ("build_from_ir-length", "build_from_ir",
     lambda g: (([(text("g"), [big(1)], real(2), {}), (text("h"), [big(1)], real(1))],), {}), ValueError, False),
    ("build_from_ir-none-params", "build_from_ir", lambda g: (([(text("g"), [big(1)], real(2), None)],), {}),
     TypeError, False),
    ("build_from_ir-list-item", "build_from_ir", lambda g: (([[text("g"), [big(1)], real(2), {}]],), {}), TypeError, False),
    ("build_from_ir-str", "build_from_ir", lambda g: ((text("abc"),), {}), TypeError, False),
    # A refused call keeps none of the names and keys it met, however many calls bring new ones.
    ("build_from_ir-new-names", "build_from_ir",
     lambda g: (([(text(f"g{next(FRESH)}"), [big(1)], real(2), {text(f"k{next(FRESH)}"): real(1)}),
                  (text("h"), [big(1)], real(1))],), {}), ValueError, False),
    ("add_gate-new-name", "add_gate", lambda g: ((text(f"g{next(FRESH)}"), text("01"), real(1)), {}), TypeError, False),
    ("build_from_ir-qubit", "build_from_ir", lambda g: (([(text("g"), [2**64 + big(1)], real(2), {})],), {}),
     OverflowError, False),
    ("set_coupling_map", "set_coupling_map", lambda g: (([(big(1), big(2)), (Hook(big(3)), big(1))],), {}), None, False),
    ("set_coupling_map-length", "set_coupling_map", lambda g: (([(big(1), big(2)), (big(1),)],), {}), ValueError, False),
    ("set_coupling_map-list", "set_coupling_map", lambda g: (([[big(1), big(2)]],), {}), TypeError, False),
    ("set_coupling_map-negative", "set_coupling_map", lambda g: (([(big(1), -big(2))],), {}), OverflowError, False),
    ("node_count", "node_count", lambda g: ((), {}), None, False),
    ("node_count-args", "node_count", lambda g: ((big(1),), {}), TypeError, False),
    ("build_schedule", "build_schedule", lambda g: ((), {}), None, False),
    ("build_schedule-kwargs", "build_schedule", lambda g: ((), {"x": big(1)}), TypeError, False),
    ("get_node_schedule", "get_node_schedule", lambda g: ((Hook(1),), {}), None, False),
    ("get_node_schedule-absent", "get_node_schedule", lambda g: ((big(5),), {}), None, False),
    ("get_node_schedule-negative", "get_node_schedule", lambda g: ((-big(1),), {}), OverflowError, False),
    ("get_node_schedule-float", "get_node_schedule", lambda g: ((real(1),), {}), TypeError, False),
    ("find_idle_windows", "find_idle_windows", lambda g: ((real(0),), {}), None, False),
    ("find_idle_windows-str", "find_idle_windows", lambda g: ((text("1"),), {}), TypeError, False),
    ("find_idle_windows-hook", "find_idle_windows", lambda g: ((Hook(1, raising(KeyError)),), {}), KeyError, False),
    ("apply_dd_pass", "apply_dd_pass", lambda g: ((), {}), None, False),
    ("apply_dd_pass-args", "apply_dd_pass",
     lambda g: ((text("XY4"), {big(0) - 2**40: real(20), big(7): Hook(30)}, big(2)), {}), None, False),
    ("apply_dd_pass-sequence", "apply_dd_pass", lambda g: ((None,), {}), TypeError, False),
    ("apply_dd_pass-surrogate", "apply_dd_pass", lambda g: ((text("\udc80"),), {}), UnicodeEncodeError, False),
    ("apply_dd_pass-key", "apply_dd_pass", lambda g: ((), {"pulse_durations": {text("0"): real(40)}}), TypeError, False),
    ("apply_dd_pass-num-qubits", "apply_dd_pass", lambda g: ((), {"num_qubits": -big(1)}), OverflowError, False),
    ("apply_dd_pass-dict-changed", "apply_dd_pass", lambda g: ((), {"pulse_durations": mutating_dict(int)}),
     BaseException, False),
    ("apply_dd_pass-reentry", "apply_dd_pass",
     lambda g: ((), {"pulse_durations": {big(1): Hook(1, lambda: g.add_gate("x", [0], 1.0))}}), RuntimeError, False),
    ("get_all_nodes", "get_all_nodes", lambda g: ((), {}), None, False),
    ("get_all_nodes-args", "get_all_nodes", lambda g: ((big(1),), {}), TypeError, False),
]


def invoke(dag, method, args, kwargs, expected):
    """Calls the method; checks that it failed with `expected`, or succeeded when that is None."""
    try:
        result = QuantumDAG(*args, **kwargs) if method is None else getattr(dag, method)(*args, **kwargs)
    except BaseException as error:
        if expected is None or not isinstance(error, expected):
            raise
        return None
    assert expected is None, f"{method} succeeded"
    return result


def watched(value, into):
    """The value and everything inside it that has a reference count of its own."""
    if not sys._is_immortal(value):
        into.append(value)
    if isinstance(value, (list, tuple, set)):
        for item in value:
            watched(item, into)
    elif isinstance(value, dict):
        for k, v in value.items():
            watched(k, into)
            watched(v, into)
    return into


@pytest.mark.parametrize("case, method, build, expected, grows", CASES, ids=[c[0] for c in CASES])
def test_arguments_keep_their_reference_counts(capfd, case, method, build, expected, grows):
    dag = scheduled_graph()
    for _ in range(3):
        args, kwargs = build(dag)
        objects = watched(args, watched(kwargs, []))
        before = [sys.getrefcount(o) for o in objects]
        for _ in range(20):
            invoke(dag, method, args, kwargs, expected)
        assert [sys.getrefcount(o) for o in objects] == before
        del args, kwargs, objects
    capfd.readouterr()


CHILD = r'''
import gc, json, os, sys, tracemalloc
sys.path[:0] = [os.path.dirname(os.environ["LEAKS_MODULE"])]
report_fd = os.dup(1)
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # the progress lines of 10,000 calls
os.dup2(os.open(os.devnull, os.O_WRONLY), 2)  # and the diagnostics of 10,000 panics
import test_leaks as t

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

def rounds(case, n):
    _, method, build, expected, grows = case
    dag = t.scheduled_graph()
    for _ in range(n):
        if grows:
            dag = t.scheduled_graph()
        args, kwargs = build(dag)
        t.invoke(dag, method, args, kwargs, expected)

tracemalloc.start()
report = {}
for case in t.CASES:
    if sys.argv[1:] and case[0] not in sys.argv[1:]:
        continue
    rounds(case, 2000)
    gc.collect()
    traced, native = tracemalloc.get_traced_memory()[0], rss()
    rounds(case, 10000)
    gc.collect()
    report[case[0]] = [tracemalloc.get_traced_memory()[0] - traced, rss() - native]
os.write(report_fd, json.dumps(report).encode())
'''


def test_ten_thousand_calls_leave_memory_flat():
    env = dict(os.environ, LEAKS_MODULE=__file__)
    proc = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, env=env, timeout=600)
    assert proc.returncode == 0, proc.stderr[-3000:]
    report = json.loads(proc.stdout)
    assert sorted(report) == sorted(c[0] for c in CASES)
    # The sanitizer's allocator keeps freed blocks in quarantine, so RSS says nothing there.
    rss_limit = float("inf") if "libasan" in os.environ.get("LD_PRELOAD", "") else 256 * 1024
    grown = {case: growth for case, growth in report.items() if growth[0] > 16 * 1024 or growth[1] > rss_limit}
    assert not grown, f"traced and RSS growth in bytes over 10,000 calls: {grown}"


NEW_NAMES_CHILD = r'''
import json, os, sys
from _vornak import QuantumDAG
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
dag = QuantumDAG()
dag.add_gate("h", [0], 1.0)
calls = iter(range(10**9))
def refused_calls(n):
    for _ in range(n):
        i = next(calls)
        try:
            dag.build_from_ir([(f"gate{i}", [1], 2.0, {f"key{i}": 1.0}), ("h", [1], 1.0)])
        except ValueError:
            pass
        try:
            dag.add_gate(f"name{i}", "01", 1.0)
        except TypeError:
            pass
refused_calls(5_000)
before = rss()
refused_calls(60_000)
print(json.dumps({"grown": rss() - before, "nodes": dag.node_count()}))
'''


def test_refused_calls_keep_none_of_the_names_they_met():
    # 180,000 names kept would take several MiB.
    proc = subprocess.run([sys.executable, "-c", NEW_NAMES_CHILD], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-3000:]
    report = json.loads(proc.stdout)
    assert report["nodes"] == 1
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        assert report["grown"] < 1024 * 1024

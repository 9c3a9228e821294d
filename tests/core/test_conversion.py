"""Conversion of arguments and results, argument-error wrapping, and the access protocol."""
import collections
import os
import sys

import pytest

from _vornak import QuantumDAG


class Outer:
    class Inner:
        pass


class Hook:
    """Stands for an int or a float; converting it raises `exc`, or runs `call` and records what that met."""
    def __init__(self, value=0, call=None, exc=None, catch=True):
        self.value, self.call, self.exc, self.catch, self.seen = value, call, exc, catch, []

    def __index__(self):
        if self.exc is not None:
            raise self.exc
        if self.call is not None:
            try:
                self.seen.append(("ok", self.call()))
            except RuntimeError as err:
                if not self.catch:
                    raise
                self.seen.append((type(err).__name__, str(err)))
        return self.value

    def __float__(self):
        return float(self.__index__())


class Params(dict):
    """Overrides the iteration methods: conversion must read the dict's own storage."""
    def __iter__(self):
        raise AssertionError("dict subclass method called")
    keys = items = values = __iter__


Text, Pair = type("Text", (str,), {}), type("Pair", (tuple,), {})
Instr = collections.namedtuple("Instr", "name qubits duration params")


EXACT = [
    (lambda g: g.add_gate("h", "01", 1.0), TypeError, "argument 'qubits': Can't extract `str` to `Vec`"),
    (lambda g: g.add_gate("h", 5, 1.0), TypeError, "argument 'qubits': 'int' object cannot be cast as 'Sequence'"),
    (lambda g: g.add_gate("h", iter([0]), 1.0), TypeError,
     "argument 'qubits': 'list_iterator' object cannot be cast as 'Sequence'"),
    (lambda g: g.add_gate(1, [0], 1.0), TypeError, "argument 'name': 'int' object cannot be cast as 'str'"),
    (lambda g: g.add_gate("h", [0], 1.0, Outer.Inner()), TypeError,
     "argument 'params': 'Outer.Inner' object cannot be cast as 'dict'"),
    (lambda g: g.add_gate("h", [0], 1.0, {1: 0.5}), TypeError, "argument 'params': 'int' object cannot be cast as 'str'"),
    (lambda g: g.add_gate("h", [0], 1.0, [("a", 1.0)]), TypeError,
     "argument 'params': 'list' object cannot be cast as 'dict'"),
    (lambda g: g.set_coupling_map([(0, 1, 2)]), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    (lambda g: g.set_coupling_map([(0, 1), (2,)]), ValueError, "expected tuple of length 2, but got tuple of length 1"),
    (lambda g: g.set_coupling_map([[0, 1]]), TypeError, "argument 'edges': 'list' object cannot be cast as 'tuple'"),
    (lambda g: g.set_coupling_map({(0, 1)}), TypeError, "argument 'edges': 'set' object cannot be cast as 'Sequence'"),
    (lambda g: g.set_coupling_map("01"), TypeError, "argument 'edges': Can't extract `str` to `Vec`"),
    (lambda g: g.build_from_ir([("h", [0], 1.0, None)]), TypeError,
     "argument 'instructions': 'NoneType' object cannot be cast as 'dict'"),
    (lambda g: g.build_from_ir([("a", [0], 1.0, {}), ("h", [0], 1.0)]), ValueError,
     "expected tuple of length 4, but got tuple of length 3"),
    (lambda g: g.build_from_ir([("h", "0", 1.0, {})]), TypeError, "argument 'instructions': Can't extract `str` to `Vec`"),
    (lambda g: g.build_from_ir([["h", [0], 1.0, {}]]), TypeError,
     "argument 'instructions': 'list' object cannot be cast as 'tuple'"),
    (lambda g: g.build_from_ir(None), TypeError, "argument 'instructions': 'NoneType' object cannot be cast as 'Sequence'"),
    (lambda g: g.apply_dd_pass(sequence=None), TypeError, "argument 'sequence': 'NoneType' object cannot be cast as 'str'"),
    (lambda g: g.apply_dd_pass(pulse_durations=[]), TypeError,
     "argument 'pulse_durations': 'list' object cannot be cast as 'dict'"),
]
PREFIXED = [  # TypeErrors whose tail is the interpreter's own text
    (lambda g: g.add_gate("h", [0], "5"), "duration_ns"),
    (lambda g: g.add_gate("h", [1.0], 1.0), "qubits"),
    (lambda g: g.add_gate("h", [0], 1.0, {"a": "x"}), "params"),
    (lambda g: g.set_coupling_map([(0, 1.5)]), "edges"),
    (lambda g: g.build_from_ir([("h", [0], None, {})]), "instructions"),
    (lambda g: g.get_node_schedule(0.0), "node_id"),
    (lambda g: g.find_idle_windows("1"), "min_gap_ns"),
    (lambda g: g.apply_dd_pass(num_qubits=None), "num_qubits"),
    (lambda g: g.apply_dd_pass(pulse_durations={"0": 40.0}), "pulse_durations"),
]
UNWRAPPED = [
    (lambda g: g.add_gate("h", [-1], 1.0), OverflowError),
    (lambda g: g.add_gate("h", [2**64], 1.0), OverflowError),
    (lambda g: g.add_gate("h", [Hook(-1)], 1.0), OverflowError),
    (lambda g: g.add_gate("h", [0], 10**400), OverflowError),
    (lambda g: g.set_coupling_map([(0, 1), (0, -1)]), OverflowError),
    (lambda g: g.get_node_schedule(-1), OverflowError),
    (lambda g: g.apply_dd_pass(num_qubits=-1), OverflowError),
    (lambda g: g.apply_dd_pass(pulse_durations={2**64: 1.0}), OverflowError),
    (lambda g: g.add_gate("\udc80", [0], 1.0), UnicodeEncodeError),
    (lambda g: g.add_gate("h", [0], 1.0, {"\udc80": 1.0}), UnicodeEncodeError),
    (lambda g: g.apply_dd_pass(sequence="\udc80"), UnicodeEncodeError),
]
CASES = [pytest.param(c, t, lambda m, e=m: m == e, id=m) for c, t, m in EXACT] + [
    pytest.param(c, TypeError, lambda m, p=f"argument '{p}': ": m.startswith(p) and not m[len(p):].startswith("arg"),
                 id=f"{p}-{i}") for i, (c, p) in enumerate(PREFIXED)] + [
    pytest.param(c, t, lambda m: not m.startswith("argument"), id=f"{t.__name__}-{i}")
    for i, (c, t) in enumerate(UNWRAPPED)]


@pytest.mark.parametrize("call, kind, check", CASES)
def test_conversion_error_changes_nothing(dag, capfdbinary, call, kind, check):
    with pytest.raises(kind) as info:
        call(dag)
    assert type(info.value) is kind
    assert check(str(info.value)), str(info.value)
    assert capfdbinary.readouterr().out == b""
    assert dag.get_all_nodes() == [("seed", [0], 1.0, {})]
    assert dag.add_gate("after", [0], 1.0) == 1  # the hold was released


@pytest.mark.parametrize("args, stored", [
    (("h", b"\x00\x01", 1.0), ("h", [0, 1], 1.0, {})),
    (("h", range(3), 1.0), ("h", [0, 1, 2], 1.0, {})),
    (("h", (True,), 1.0), ("h", [1], 1.0, {})),
    (("h", [2**64 - 1, Hook(3)], 1.0), ("h", [2**64 - 1, 3], 1.0, {})),
    (("h", [], 5), ("h", [], 5.0, {})),
    (("h", [0], Hook(7), None), ("h", [0], 7.0, {})),
    (("h", [0], float("-inf"), {"t": 1, "p": Hook(2.5)}), ("h", [0], float("-inf"), {"t": 1.0, "p": 2.5})),
    ((Text("ñ✓"), Pair((0, 1)), -5.0, Params(a=0.5)), ("ñ✓", [0, 1], -5.0, {"a": 0.5})),
])
def test_accepted_values_round_trip(args, stored):
    graph = QuantumDAG()
    assert graph.add_gate(*args) == 0
    (node,) = graph.get_all_nodes()
    assert node == stored
    assert [type(v) for v in node] == [str, list, float, dict]
    assert all(type(v) is float for v in node[3].values())


def test_wrong_or_failing_reported_length_is_not_fatal(run_isolated):
    _, seen = run_isolated(r'''
import collections.abc, json, sys
from _vornak import QuantumDAG
class Items(collections.abc.Sequence):
    def __init__(self, length, *items): self.length, self.items = length, items
    def __getitem__(self, i): return self.items[i]
    def __len__(self): return self.length()
huge = lambda: sys.maxsize
g = QuantumDAG()
for length in (huge, lambda: 0, lambda: 1 // 0):
    g.add_gate("h", Items(length, 4, 2), 1.0)
g.set_coupling_map(Items(huge, (0, 1)))
g.build_from_ir(Items(huge, ("x", Items(huge, 5), 2.0, {})))
class Edit:  # a list changed by the conversion of its own item is read as its iterator reads it
    def __init__(self, edit): self.edit = edit
    def __index__(self): self.edit(); return 1
shrink, grow = [Edit(lambda: shrink.clear()), 7, 8], [Edit(lambda: grow.append(6))]
g.add_gate("s", shrink, 1.0)
g.add_gate("g", grow, 1.0)
print(json.dumps(g.get_all_nodes()))
''')
    assert seen == [["h", [4, 2], 1.0, {}]] * 3 + [["x", [5], 2.0, {}], ["s", [1], 1.0, {}], ["g", [1, 6], 1.0, {}]]


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's allocator reserves its own address space and aborts when it runs out")
def test_reported_length_too_large_to_reserve_is_not_fatal(run_isolated):
    # Lists that claim sys.maxsize items: room for that many cannot be had under the limit,
    # and every list conversion goes on without it.
    _, seen = run_isolated(r'''
import json, resource, sys
from _vornak import QuantumDAG
class Claims(list):
    def __len__(self): return sys.maxsize
with open("/proc/self/status") as f:
    in_use = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (in_use + (1 << 28), resource.getrlimit(resource.RLIMIT_AS)[1]))
g = QuantumDAG()
calls = {"add_gate": lambda: g.add_gate("h", Claims([4, 2]), 1.0),
         "build_from_ir": lambda: g.build_from_ir(Claims([("x", Claims([5]), 2.0, {})])),
         "set_coupling_map": lambda: g.set_coupling_map(Claims([(5, 6)]))}
outcomes = {}
for name, call in calls.items():
    try:
        outcomes[name] = ["ok", call()]
    except BaseException as error:
        outcomes[name] = [type(error).__name__, str(error)]
print(json.dumps([outcomes, g.get_all_nodes()]))
''')
    outcomes, nodes = seen
    assert outcomes == {"add_gate": ["ok", 0], "build_from_ir": ["ok", None], "set_coupling_map": ["ok", None]}
    assert nodes == [["h", [4, 2], 1.0, {}], ["x", [5], 2.0, {}]]


def test_accepted_structures_and_lookups(dag):
    assert dag.set_coupling_map([Pair((0, 1)), (3, 3), (True, Hook(2))]) is None
    assert dag.set_coupling_map(()) is None
    assert dag.build_from_ir([Instr("x", [1], 400.0, {}), Pair(("cx", (0, 1), 300, Params(a=1)))]) is None
    assert dag.get_all_nodes() == [("seed", [0], 1.0, {}), ("x", [1], 400.0, {}), ("cx", [0, 1], 300.0, {"a": 1.0})]
    for node_id in (True, Hook(2), 2**64 - 1):
        assert dag.get_node_schedule(node_id) is None
    assert dag.find_idle_windows(0) == []


def test_only_exact_type_error_is_wrapped(dag):
    for exc in (type("SubTypeError", (TypeError,), {})("custom"), ValueError("bad"), KeyError("k")):
        with pytest.raises(type(exc)) as info:
            dag.add_gate("h", [Hook(exc=exc)], 1.0)
        assert info.value is exc
    for cause in (None, KeyError("inner")):
        original = TypeError("plain")
        original.__cause__ = cause
        with pytest.raises(TypeError) as info:
            dag.add_gate("h", [0], Hook(exc=original))
        wrapped = info.value
        assert str(wrapped) == "argument 'duration_ns': plain"
        assert wrapped is not original and wrapped.__context__ is not original
        assert wrapped.__cause__ is cause and wrapped.__suppress_context__ is True
    assert dag.node_count() == 1


MUT, BORROWED = ("RuntimeError", "Already mutably borrowed"), ("RuntimeError", "Already borrowed")


@pytest.mark.parametrize("outer, inner, met", [
    (lambda g, p: g.add_gate("h", [p], 1.0), lambda g: g.node_count(), MUT),
    (lambda g, p: g.add_gate("h", [0], p), lambda g: g.get_all_nodes(), MUT),
    (lambda g, p: g.add_gate("h", [p], 1.0), lambda g: g.add_gate("x", [0], 1.0), BORROWED),
    (lambda g, p: g.add_gate("h", [0], 1.0, {"k": p}), lambda g: g.build_schedule(), BORROWED),
    (lambda g, p: g.set_coupling_map([(0, p)]), lambda g: g.get_node_schedule(0), MUT),
    (lambda g, p: g.build_from_ir([("h", [0], p, {})]), lambda g: g.set_coupling_map([]), BORROWED),
    (lambda g, p: g.add_gate("h", [p], 1.0), lambda g: QuantumDAG().add_gate("x", [0], 1.0), ("ok", 0)),
    (lambda g, p: g.get_node_schedule(p), lambda g: g.node_count(), ("ok", 1)),
    (lambda g, p: g.get_node_schedule(p), lambda g: g.add_gate("x", [0], 1.0), BORROWED),
    (lambda g, p: g.find_idle_windows(p), lambda g: g.build_schedule(), BORROWED),
], ids=["add_gate/node_count", "add_gate/get_all_nodes", "add_gate/add_gate", "add_gate/build_schedule",
        "set_coupling_map/get_node_schedule", "build_from_ir/set_coupling_map", "add_gate/other instance",
        "get_node_schedule/node_count", "get_node_schedule/add_gate", "find_idle_windows/build_schedule"])
def test_reentrant_call_meets_the_hold(dag, outer, inner, met):
    probe = Hook(call=lambda: inner(dag))
    outer(dag, probe)
    assert probe.seen == [met]
    assert dag.add_gate("after", [0], 1.0) == dag.node_count() - 1


def test_escaping_borrow_error_is_raised_unwrapped(dag):
    with pytest.raises(RuntimeError) as info:
        dag.add_gate("h", [Hook(call=dag.node_count, catch=False)], 1.0)
    assert type(info.value) is RuntimeError and str(info.value) == "Already mutably borrowed"
    assert dag.node_count() == 1


def test_dd_pass_holds_the_graph_shared(dag):
    adder, counter = Hook(call=lambda: dag.add_gate("x", [0], 1.0)), Hook(call=dag.node_count)
    try:
        dag.apply_dd_pass(pulse_durations={0: adder, 1: counter})
    except BaseException as exc:  # only the conversions matter here, not the outcome of the pass
        if isinstance(exc, (KeyboardInterrupt, SystemExit)):
            raise
    assert adder.seen == [BORROWED] and counter.seen == [("ok", 1)]
    assert dag.node_count() == 1 and dag.add_gate("after", [0], 1.0) == 1


@pytest.mark.parametrize("swap, message", [(False, "dictionary changed size during iteration"),
                                           (True, "dictionary keys changed during iteration")])
@pytest.mark.parametrize("where", ["params value", "pulse key", "pulse value"])
def test_dict_changed_during_conversion_panics(dag, where, swap, message):
    table = {}

    def edit():
        if swap:  # drop the entry being converted and add another: same size, one entry more to walk
            del table[first]
        table[99 if where != "params value" else "z"] = 2.0
    editor = Hook(call=edit)
    first = {"params value": "a", "pulse key": editor, "pulse value": 0}[where]
    table.update({first: 40.0 if first is editor else editor, 1 if where != "params value" else "b": 50.0})
    with pytest.raises(BaseException) as info:
        if where == "params value":
            dag.add_gate("h", [0], 1.0, table)
        else:
            dag.apply_dd_pass(pulse_durations=table)
    assert type(info.value).__name__ == "PanicException" and not isinstance(info.value, Exception)
    assert info.value.args == (message,)
    assert dag.node_count() == 1 and dag.add_gate("after", [0], 1.0) == 1


def test_conversions_keep_no_references(dag, capfd):
    name, index, params = "".join(["le", "ak"]), Hook(3), {"p": 1.0}
    watched = (name, index, params, [index])
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(50):
        dag.add_gate(name, watched[3], 1.0, params)
        dag.build_from_ir([(name, watched[3], 1.0, params)])
        dag.get_node_schedule(index)
        with pytest.raises(TypeError):
            dag.add_gate(name, watched[3], None, params)
    assert [sys.getrefcount(o) for o in watched] == before

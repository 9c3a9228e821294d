"""Filling a circuit (add_gate, build_from_ir, set_coupling_map) and reading it back."""
import math
import random

import pytest

from _vornak import QuantumDAG


class Key(str):
    """A parameter name that a dict keeps apart from every other key with the same text."""
    __hash__ = object.__hash__
    __eq__ = object.__eq__


def test_ids_follow_insertion_order_across_entry_points():
    dag = QuantumDAG()
    assert (dag.node_count(), dag.get_all_nodes()) == (0, [])
    assert [dag.add_gate("a", [0], 1.0), dag.add_gate("b", [], 2.0, {"t": 0.5})] == [0, 1]
    batch = [("c", [1, 1], 3.0, {}), ("d", [2, 0, 2], -4.0, {"x": 1.0, "y": -2.0}), ("", [], 0.0, {})]
    assert dag.build_from_ir(batch) is None
    assert dag.node_count() == 5
    assert dag.build_from_ir(batch) is None
    assert dag.add_gate("e", [2**64 - 1], math.inf) == 8
    assert dag.build_from_ir([]) is None
    assert dag.node_count() == 9
    assert dag.get_all_nodes() == [("a", [0], 1.0, {}), ("b", [], 2.0, {"t": 0.5})] + batch * 2 + [
        ("e", [2**64 - 1], math.inf, {})]


def test_large_batches_keep_every_node_intact():
    rng = random.Random(7)
    def gate(i):
        qubits = [rng.choice([0, 5, 2**40, 2**64 - 1]) for _ in range(rng.randrange(4))]
        params = {f"p{rng.randrange(6)}": float(i) for _ in range(rng.randrange(4))}
        return (f"g{i % 13}", qubits, float(i), params)
    dag = QuantumDAG()
    expected = []
    for size in (0, 1, 300, 2, 1000):
        batch = [gate(len(expected) + i) for i in range(size)]
        dag.build_from_ir(batch)
        single = gate(len(expected) + size)
        assert dag.add_gate(*single) == len(expected) + size
        expected += batch + [single]
    assert dag.node_count() == len(expected)
    assert dag.get_all_nodes() == expected


@pytest.mark.parametrize("via_ir", [False, True])
def test_parameter_keys_with_the_same_text_keep_the_last_value(via_ir):
    params = {Key("a"): 1.0, "b": 2.0, Key("b"): 3.0, Key("a"): 4.0, "c": 5.0}
    dag = QuantumDAG()
    dag.add_gate("before", [0], 1.0, {"a": -1.0, "b": -2.0})
    if via_ir:
        dag.build_from_ir([("p", [0], 1.0, params), ("after", [0], 1.0, {Key("b"): 6.0, "b": 7.0})])
    else:
        dag.add_gate("p", [0], 1.0, params)
        dag.add_gate("after", [0], 1.0, {Key("b"): 6.0, "b": 7.0})
    assert [node[3] for node in dag.get_all_nodes()] == [
        {"a": -1.0, "b": -2.0}, {"a": 4.0, "b": 3.0, "c": 5.0}, {"b": 7.0}]


def test_coupling_map_and_schedule_leave_the_nodes_alone():
    dag = QuantumDAG()
    dag.add_gate("cx", [0, 1], 10.0)
    for edges in ([(0, 1)], [(1, 2)], [(3, 3)], [], [(0, 1), (1, 0)], [(2**64 - 1, 0)] * 3):
        assert dag.set_coupling_map(edges) is None
    dag.add_gate("x", [7], 5.0)  # on a qubit outside every pair
    dag.build_schedule()
    assert dag.get_all_nodes() == [("cx", [0, 1], 10.0, {}), ("x", [7], 5.0, {})]
    assert [dag.get_node_schedule(i) for i in (0, 1)] == [(0.0, 10.0), (0.0, 5.0)]


def test_export_hands_out_independent_objects():
    dag = QuantumDAG()
    for value in (0.5, 0.5, -0.0, 0.0, math.nan, 0.5):
        dag.add_gate("rz", [3], 35.0, {"theta": value, "phi": 1.0})
    nodes = dag.get_all_nodes()
    nodes[0][3]["theta"] = 9.0
    nodes[0][1].append(4)
    again = dag.get_all_nodes()
    assert nodes[1] == again[1] == ("rz", [3], 35.0, {"theta": 0.5, "phi": 1.0})
    assert nodes[0] == ("rz", [3, 4], 35.0, {"theta": 9.0, "phi": 1.0})
    assert list(nodes[5][3]) == ["theta", "phi"]
    # Equal values with different bits stay apart.
    signs = [math.copysign(1.0, node[3]["theta"]) for node in again[2:4]]
    assert signs == [-1.0, 1.0] and math.isnan(again[4][3]["theta"])

"""The dynamical-decoupling pass: worked circuits, and a reference model on random ones."""

import math
import random

import pytest
from hypothesis import given, settings, strategies as st

from _vornak import QuantumDAG

DD_PARAMS = {"amp": 0.15, "sigma": 40.0, "beta": 0.5}


def scheduled(*gates, coupling=None):
    dag = QuantumDAG()
    for name, qubits, duration in gates:
        dag.add_gate(name, qubits, duration)
    if coupling:
        dag.set_coupling_map(coupling)
    dag.build_schedule()
    return dag


def summary(dag):
    return [(name, qubits, duration) for name, qubits, duration, _ in dag.get_all_nodes()]


X_THEN_CX = [("X", [1], 400.0), ("CX", [0, 1], 300.0)]
CROSSTALK = [("X", [2], 200.0), ("CX", [0, 2], 100.0), ("X", [3], 200.0), ("CX", [1, 3], 100.0)]
PAIR = [("DD_X", [0], 50.0), ("DD_Y", [0], 50.0)]


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({}, [X_THEN_CX[0], *PAIR, X_THEN_CX[1]]),
        ({"sequence": "XY4"}, [X_THEN_CX[0], *PAIR, *PAIR, X_THEN_CX[1]]),
        (
            {"pulse_durations": {0: 130.0}},
            [X_THEN_CX[0], ("DD_X", [0], 130.0), ("DD_Y", [0], 130.0), X_THEN_CX[1]],
        ),
        ({"pulse_durations": {0: 150.0}}, X_THEN_CX),
        ({"pulse_durations": {7: 1.0}}, [X_THEN_CX[0], *PAIR, X_THEN_CX[1]]),
        ({"sequence": "xy4"}, [X_THEN_CX[0], *PAIR, X_THEN_CX[1]]),
        ({"sequence": "XY4 "}, [X_THEN_CX[0], *PAIR, X_THEN_CX[1]]),
        ({"sequence": ""}, [X_THEN_CX[0], *PAIR, X_THEN_CX[1]]),
        ({"pulse_durations": {0: math.nan}}, X_THEN_CX),
    ],
)
def test_pulses_fill_the_gap_before_a_two_qubit_gate(kwargs, expected, capfd):
    source = scheduled(*X_THEN_CX)
    result = source.apply_dd_pass(**kwargs)
    assert summary(result) == expected
    for name, _, _, params in result.get_all_nodes():
        assert params == (DD_PARAMS if name.startswith("DD_") else {})
    assert source.node_count() == 2 and source.get_node_schedule(1) == (400.0, 700.0)
    assert capfd.readouterr().out == (
        "\U0001f980 [Rust] Starting apply_dd_pass with 2 nodes...\n"
        f"\U0001f980 [Rust] apply_dd_pass finished! Optimized DAG contains {len(expected)} nodes.\n"
    )


def test_result_is_a_fresh_graph():
    result = scheduled(*X_THEN_CX).apply_dd_pass()
    assert result.get_node_schedule(0) is None and result.find_idle_windows(0) == []
    result.build_schedule()
    # The pass's spacing is not kept: a new schedule packs the pulses back to back.
    assert [result.get_node_schedule(i) for i in range(4)] == [
        (0.0, 400.0), (0.0, 50.0), (50.0, 100.0), (400.0, 700.0)]
    # Once scheduled, the result is an ordinary graph: qubit 0 still idles from 100 to 400.
    assert result.apply_dd_pass().node_count() == 6


@pytest.mark.parametrize(
    "num_qubits, qubit_1_pulses",
    [
        (2, [("DD_X", [1], 50.0)]),  # shifted past both pulses of qubit 0; DD_Y no longer fits
        (1, [("DD_X", [1], 50.0)]),
        (0, [("DD_X", [1], 50.0), ("DD_Y", [1], 50.0)]),
    ],
)
def test_pulses_on_coupled_qubits_do_not_overlap(num_qubits, qubit_1_pulses):
    result = scheduled(*CROSSTALK, coupling=[(0, 1)]).apply_dd_pass(num_qubits=num_qubits)
    assert summary(result) == [CROSSTALK[0], *PAIR, CROSSTALK[1], CROSSTALK[2], *qubit_1_pulses, CROSSTALK[3]]


def test_unscheduled_nodes_and_degenerate_pulses():
    assert QuantumDAG().apply_dd_pass().node_count() == 0
    unscheduled = QuantumDAG()
    unscheduled.add_gate("X", [0], 10.0)
    assert unscheduled.apply_dd_pass().node_count() == 0
    chain = scheduled(("a", [0], 10.0), ("b", [0], 20.0))
    chain.add_gate("late", [0], 5.0)
    assert summary(chain.apply_dd_pass()) == [("a", [0], 10.0), ("b", [0], 20.0)]
    # A zero-length pulse fits every gap; the one after it lands past the node's start.
    zero = summary(chain.apply_dd_pass(pulse_durations={0: 0.0}))
    assert zero == [("DD_X", [0], 0.0), ("a", [0], 10.0), ("DD_X", [0], 0.0), ("b", [0], 20.0)]
    assert summary(scheduled(("r", [1, 1], 10.0), ("e", [], 3.0)).apply_dd_pass()) == [
        ("r", [1, 1], 10.0), ("e", [], 3.0)]


# --- Reference model --------------------------------------------------------------------


def reference_pass(nodes, schedule, coupling, sequence, pulse_durations, num_qubits):
    pulses = ["DD_X", "DD_Y", "DD_X", "DD_Y"] if sequence == "XY4" else ["DD_X", "DD_Y"]
    last_end, placed, out = {}, {}, []
    for (name, qubits, duration, params), entry in zip(nodes, schedule):
        if entry is None:
            continue
        start, end = entry
        for q in qubits:
            t = last_end.get(q, 0.0)
            d = pulse_durations.get(q, 50.0)
            if start - t >= (len(pulses) * d) * 1.5:
                limit = 0.0
                for other in qubits:
                    if last_end.get(other, 0.0) > limit:
                        limit = last_end.get(other, 0.0)
                for pulse in pulses:
                    shifted = num_qubits > 0
                    while shifted:
                        shifted = False
                        for j in range(num_qubits):
                            if (q, j) in coupling:
                                for s, e in placed.get(j, []):
                                    if t + d > s and e > t:
                                        t, shifted = e + 10.0, True
                                        break
                            if shifted:
                                break
                    if t + d > limit:
                        break
                    out.append((pulse, [q], d, DD_PARAMS))
                    placed.setdefault(q, []).append((t, t + d))
                    t = t + (d + 10.0)
            last_end[q] = start
        out.append((name, list(qubits), duration, params))
        for q in qubits:
            last_end[q] = end
    return out


def same(a, b):
    return a == b or (isinstance(a, float) and math.isnan(a) and math.isnan(b))


qubit = st.integers(0, 5) | st.integers(2**63, 2**63 + 2)
duration = st.sampled_from([0.0, 5.0, 30.0, 50.0, 200.0, 400.0, -20.0, math.inf, math.nan])
gate = st.tuples(st.sampled_from(["h", "cx", "m"]), st.lists(qubit, max_size=3), duration,
                 st.dictionaries(st.sampled_from(["t", "p"]), st.floats(-1, 1), max_size=2))


@settings(max_examples=150, deadline=None)
@given(
    gates=st.lists(gate, max_size=25),
    late=st.lists(gate, max_size=3),
    coupling=st.lists(st.tuples(st.integers(0, 6), st.integers(0, 6)), max_size=8),
    sequence=st.sampled_from(["XY", "XY4"]),
    pulse_durations=st.dictionaries(qubit, st.sampled_from([0.0, 5.0, 20.0, 50.0, -3.0, math.nan]), max_size=3),
    num_qubits=st.integers(0, 7),
)
def test_pass_matches_reference_model(gates, late, coupling, sequence, pulse_durations, num_qubits):
    dag = QuantumDAG()
    dag.build_from_ir(gates)
    dag.set_coupling_map(coupling)
    dag.build_schedule()
    dag.build_from_ir(late)
    schedule = [dag.get_node_schedule(i) for i in range(dag.node_count())]
    pairs = {(a, b) for a, b in coupling} | {(b, a) for a, b in coupling}
    expected = reference_pass(gates + late, schedule, pairs, sequence, pulse_durations, num_qubits)
    actual = dag.apply_dd_pass(sequence, dict(pulse_durations), num_qubits).get_all_nodes()
    assert len(actual) == len(expected)
    for got, want in zip(actual, expected):
        assert got[0] == want[0] and got[1] == want[1] and same(got[2], want[2])
        assert got[3] == want[3]


# --- At scale, on a heavy-hex lattice -------------------------------------------------------


def lattice_pipeline(gates, seed):
    from bench.workloads import NUM_QUBITS, heavy_hex, layered_circuit

    instructions = layered_circuit(gates, seed)
    dag = QuantumDAG()
    dag.build_from_ir(instructions)
    dag.set_coupling_map(heavy_hex())
    dag.build_schedule()
    durations = {q: 20.0 + (q % 7) * 5.0 for q in range(NUM_QUBITS)}
    return dag, instructions, durations


def test_pass_matches_reference_model_on_a_lattice(capfd):
    dag, instructions, durations = lattice_pipeline(1_500, seed=3)
    schedule = [dag.get_node_schedule(i) for i in range(dag.node_count())]
    from bench.workloads import heavy_hex

    pairs = {(a, b) for a, b in heavy_hex()} | {(b, a) for a, b in heavy_hex()}
    expected = reference_pass(instructions, schedule, pairs, "XY4", durations, 127)
    assert dag.apply_dd_pass("XY4", durations, 127).get_all_nodes() == expected
    assert sum(name.startswith("DD_") for name, *_ in expected) > 500
    capfd.readouterr()


def test_crosstalk_check_costs_nothing_for_qubits_beyond_the_lattice(capfd):
    # A scan of every index below num_qubits would not finish here; only coupled
    # neighbours can conflict, so the result is the one for the lattice's own size.
    dag, _, durations = lattice_pipeline(60_000, seed=5)
    result = dag.apply_dd_pass("XY4", durations, 2**64 - 1).get_all_nodes()
    assert result == dag.apply_dd_pass("XY4", durations, 127).get_all_nodes()
    assert result != dag.apply_dd_pass("XY4", durations, 0).get_all_nodes()
    capfd.readouterr()


# --- Wide operations ------------------------------------------------------------------------


@settings(max_examples=40, deadline=None)
@given(
    widths=st.lists(st.integers(20, 300), min_size=1, max_size=4),
    seed=st.integers(0, 2**32 - 1),
    sequence=st.sampled_from(["XY", "XY4"]),
)
def test_wide_operations_with_repeated_qubits_match_reference_model(widths, seed, sequence):
    # Each window limit is read while the node's earlier qubits already hold its start:
    # wide nodes that list qubits twice, after single-qubit gates of random lengths.
    rng = random.Random(seed)
    gates = []
    for width in widths:
        for _ in range(width // 4):
            gates.append(("x", [rng.randrange(width)], float(rng.choice([20, 60, 400, 900])), {}))
        qubits = [rng.randrange(width) for _ in range(width)]
        gates.append(("wide", qubits, 30.0, {}))
    dag = QuantumDAG()
    dag.build_from_ir(gates)
    dag.build_schedule()
    schedule = [dag.get_node_schedule(i) for i in range(dag.node_count())]
    expected = reference_pass(gates, schedule, set(), sequence, {}, 0)
    assert dag.apply_dd_pass(sequence).get_all_nodes() == expected


def test_pass_is_linear_in_the_width_of_one_operation(capfd):
    # One operation on 300,000 qubits, one of which was busy until 1000 ns. Recomputing
    # the window limit over every qubit at every visit would not finish here.
    width = 300_000
    dag = QuantumDAG()
    dag.add_gate("x", [7], 1000.0)
    dag.add_gate("wide", [*range(width), 7], 30.0)
    dag.build_schedule()
    nodes = dag.apply_dd_pass().get_all_nodes()
    pulses = [(name, qubits) for name, qubits, *_ in nodes[1:-1]]
    idle = [q for q in range(width) if q != 7]
    assert pulses == [(name, [q]) for q in idle for name in ("DD_X", "DD_Y")]
    assert nodes[0][0] == "x" and nodes[-1][0] == "wide"
    capfd.readouterr()

"""vornak.qiskit: the DynamicalDecoupling transpiler pass and the ``vornak_dd`` plugin.

Every run of the pass is checked by `checks.check_pass` against what the package promises
(checks.py says what). Real test material (``qiskit-ibm-runtime``'s fake backends,
``mqt.bench`` circuits) is used where installed; the tests that need it are skipped
otherwise. ``VORNAK_QISKIT_SWEEP=1`` adds a sweep over more mqt.bench circuits at 20-127
qubits.
"""


from __future__ import annotations

import copy
import importlib.metadata
import math

import pytest

pytest.importorskip("qiskit")
pytest.importorskip("vornak.qiskit")
from vornak.qiskit import options as pass_options  # noqa: E402
import numpy as np  # noqa: E402
from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister, transpile  # noqa: E402
from qiskit.circuit import Measure, Parameter  # noqa: E402
from qiskit.circuit.library import CXGate, HGate, RZGate, SXGate, XGate, YGate, ZGate  # noqa: E402
from qiskit.circuit.random import random_circuit  # noqa: E402
from qiskit.converters import circuit_to_dag, dag_to_circuit  # noqa: E402
from qiskit.quantum_info import Operator  # noqa: E402
from qiskit.transpiler import (  # noqa: E402
    CouplingMap, InstructionDurations, InstructionProperties, PassManager, Target,
)
from qiskit.transpiler.exceptions import TranspilerError  # noqa: E402
from qiskit.transpiler.passes import InstructionDurationCheck  # noqa: E402
import vornak.qiskit as vornak_qiskit  # noqa: E402
from vornak.qiskit import DynamicalDecoupling  # noqa: E402

from checks import (  # noqa: E402
    MyGate,
    NS_DURATIONS,
    QUICK,
    SWEEP,
    SWEEP_BENCHES,
    Timing,
    XY4,
    _parameter_delay,
    _stretch_delay,
    _too_wide,
    apply_dd_pass_pulses,
    assert_pulse_spacing,
    assert_qiskits_clock,
    bench_circuit,
    check_pass,
    fake_backend,
    generic_backend,
    pulse_overlaps,
    qiskit_schedule,
    qiskit_start_times,
    run_both_writers,
    small_random_circuit,
    staircase,
)

pytestmark = [
    pytest.mark.filterwarnings("ignore:Duration is rounded"),
    pytest.mark.filterwarnings("ignore::DeprecationWarning"),
]



def test_constructor_is_like_pad_dynamical_decoupling():
    backend = generic_backend(3)
    durations = backend.target.durations()
    dd = DynamicalDecoupling(durations, [XGate(), XGate()], [0, 1], backend.target, False,
                             coupling_map=[(0, 1)], crosstalk=False, placement="start",
                             pulse_alignment=4)
    assert dd.qubits == {0, 1} and not dd.skip_reset_qubits and dd.placement == "start"
    assert dd.pulse_alignment == 4 and dd.acquire_alignment == 1
    assert dd.scheduling == pass_options.DEFAULT_SCHEDULING and dd.scheduling in ("asap", "alap")
    sherbrooke = fake_backend("FakeSherbrooke").target
    dd = DynamicalDecoupling(target=sherbrooke, scheduling="alap", acquire_alignment=32)
    assert (dd.pulse_alignment, dd.acquire_alignment, dd.scheduling) == (16, 32, "alap")



def test_default_sequence_follows_the_target():
    # X, X̄, X̄, X on every target; written with the target's x between rz frame changes,
    # with or without y.
    for target in (generic_backend(2).target, generic_backend(2, extra=()).target):
        dd = DynamicalDecoupling(target=target)
        assert [g.name for g in dd.dd_sequence] == ["x", "r", "r", "x"]
        assert [[g.name for g in pulse] for pulse in dd.padding.options.written] == [
            ["x"], ["rz", "x", "rz"], ["rz", "x", "rz"], ["x"]]



@pytest.mark.parametrize("sequence, word", [
    ([XGate(), YGate()], "['x', 'y']"),
    ([SXGate(), SXGate()], "['sx', 'sx']"),
    ([XGate()], "['x']"),
])
def test_sequence_that_is_not_the_identity_is_refused(sequence, word):
    with pytest.raises(TranspilerError, match="not the identity") as info:
        DynamicalDecoupling(target=generic_backend(2).target, dd_sequence=sequence)
    assert word in str(info.value)



def test_pulse_gate_the_target_lacks_is_refused_at_construction():
    with pytest.raises(TranspilerError, match="h"):
        DynamicalDecoupling(target=generic_backend(2).target, dd_sequence=[HGate(), HGate()])



@pytest.mark.parametrize("kwargs", [
    {"placement": "end"}, {"dd_sequence": []}, {"dd_sequence": [RZGate(Parameter("a"))] * 2},
    {"scheduling": "late"}, {"pulse_alignment": 0}, {"acquire_alignment": -16},
])
def test_bad_options_are_refused(kwargs):
    with pytest.raises(TranspilerError):
        DynamicalDecoupling(target=generic_backend(2).target, **kwargs)



def test_needs_target_or_durations():
    with pytest.raises(TranspilerError):
        DynamicalDecoupling()



def test_entry_point_is_registered():
    points = importlib.metadata.entry_points(group="qiskit.transpiler.scheduling")
    assert any(p.name == "vornak_dd" for p in points)



@pytest.mark.parametrize("placement", ["spread", "start"])
@pytest.mark.parametrize("crosstalk", [True, False])
@pytest.mark.parametrize("skip_reset_qubits", [True, False])
def test_staircase(placement, crosstalk, skip_reset_qubits):
    backend = generic_backend(5)
    result = check_pass(staircase(5), target=backend.target, placement=placement,
                        crosstalk=crosstalk, skip_reset_qubits=skip_reset_qubits,
                        expect_fallback=False)
    assert result.operator_checked
    assert (result.property_set["dd_sequences_inserted"] > 0) == (not skip_reset_qubits)



def test_crosstalk_keeps_coupled_pulses_apart_and_the_check_means_something():
    backend = generic_backend(5)
    circuit = staircase(5)
    edges = backend.target.build_coupling_map().get_edges()
    off = check_pass(circuit, target=backend.target, crosstalk=False, skip_reset_qubits=False,
                     placement="spread")
    assert pulse_overlaps(off.pulses, edges) > 0, "the circuit does not exercise the check"
    on = check_pass(circuit, target=backend.target, crosstalk=True, skip_reset_qubits=False,
                    placement="spread")
    assert pulse_overlaps(on.pulses, edges) == 0



def test_spread_splits_the_free_time():
    # One gap, no crosstalk, alignment 1: the free time is cut 1/2n, 1/n, ..., 1/2n.
    backend = generic_backend(2)
    circuit = QuantumCircuit(2)
    circuit.x(1)
    for _ in range(10):
        circuit.sx(1)
    circuit.cx(0, 1)
    result = check_pass(circuit, target=backend.target, skip_reset_qubits=False, crosstalk=False,
                        placement="spread", dd_sequence=XY4)
    assert result.property_set["dd_sequences_inserted"] == 1
    timing = Timing(backend.target)
    pulses = sorted(result.pulses)
    gap_end = result.plan.op_times[next(n for n in result.plan.op_times if n.name == "cx")]
    lengths = [e - s for _, s, e in pulses]
    slack = gap_end - sum(lengths)
    frees = [pulses[0][1]] + [pulses[k][1] - pulses[k - 1][2] for k in range(1, 4)] + \
        [gap_end - pulses[-1][2]]
    assert frees[0] == frees[4] == math.floor(slack / 8)
    assert frees[1] == frees[3] == math.floor(slack / 4)
    assert sum(frees) == slack
    assert timing.unit == "dt"



def test_start_placement_packs_pulses_at_the_gap_start():
    backend = generic_backend(2)
    circuit = QuantumCircuit(2)
    circuit.x(0)
    for _ in range(10):
        circuit.sx(1)
    circuit.cx(0, 1)
    result = check_pass(circuit, scheduling="asap", target=backend.target, placement="start", crosstalk=False)
    pulses = sorted(result.pulses)
    x_end = Timing(backend.target).op("x", (0,))
    spacing = math.ceil(10e-9 / backend.target.dt - 1e-9)
    assert pulses[0][1] == x_end
    for prev, cur in zip(pulses, pulses[1:]):
        assert cur[1] == prev[2] + spacing



@pytest.mark.parametrize("sx_ns, inserted", [(40.0, 1), (39.75, 0)])
def test_window_rule_is_one_and_a_half_sequences(sx_ns, inserted):
    # Qubit 0 waits 4 x sx - 40 ns for its cx: 120 ns is 1.5 x (2 x 40 ns), 119 ns is not.
    durations = InstructionDurations(NS_DURATIONS).update([("sx", None, sx_ns, "ns")])
    circuit = QuantumCircuit(2)
    circuit.x(0)
    for _ in range(4):
        circuit.sx(1)
    circuit.cx(0, 1)
    result = check_pass(circuit, scheduling="asap", durations=durations, dd_sequence=[XGate(), XGate()],
                        placement="start", crosstalk=False)
    assert result.property_set["dd_sequences_inserted"] == inserted
    if inserted:
        assert sorted(s for _, s, _ in result.pulses) == [40.0, 90.0]



@pytest.mark.parametrize("placement", ["start", "spread"])
def test_sequence_cut_short_by_crosstalk_is_dropped_whole(placement):
    # Qubits 0 and 1 are coupled and idle over the same 120 ns: the second sequence cannot
    # get out of the way of the first and is left out, not cut.
    durations = InstructionDurations(NS_DURATIONS)
    circuit = QuantumCircuit(4)
    circuit.x(0)
    circuit.x(1)
    for _ in range(4):
        circuit.sx(2)
        circuit.sx(3)
    circuit.cx(0, 2)
    circuit.cx(1, 3)
    options = {"durations": durations, "dd_sequence": [XGate(), XGate()], "placement": placement,
               "coupling_map": [(0, 1)]}
    result = check_pass(circuit, scheduling="asap", **options)
    assert result.property_set["dd_sequences_inserted"] == 1
    assert result.property_set["dd_sequences_dropped"] == 1
    assert len(result.pulses) == 2 and len({q for q, _, _ in result.pulses}) == 1
    free = check_pass(circuit, scheduling="asap", crosstalk=False, **options)
    assert free.property_set["dd_sequences_inserted"] == 2
    assert free.property_set["dd_sequences_dropped"] == 0



def test_unitaries_and_open_controls():
    durations = InstructionDurations(NS_DURATIONS + [
        ("cx_o0", None, 300, "ns"), ("unitary", None, 500, "ns")])
    from qiskit.circuit.library import UnitaryGate
    from qiskit.quantum_info import random_unitary

    circuit = QuantumCircuit(4)
    circuit.x(0)
    circuit.cx(0, 1, ctrl_state=0)
    circuit.append(UnitaryGate(random_unitary(4, seed=1)), [1, 2])
    circuit.append(UnitaryGate(random_unitary(2, seed=2)), [3])
    circuit.cx(2, 3, ctrl_state=0)
    circuit.cx(3, 0)
    result = check_pass(circuit, durations=durations, dd_sequence=XY4,
                        coupling_map=[(0, 1), (1, 2), (2, 3)], skip_reset_qubits=False)
    assert result.operator_checked and result.property_set["dd_sequences_inserted"] > 0
    # Unitaries alone are written natively (in dt: circuits in ns are written in Python, on
    # Qiskit's clock).
    durations = InstructionDurations(durations, dt=1e-9)
    circuit = QuantumCircuit(3)
    circuit.x(0)
    circuit.append(UnitaryGate(random_unitary(4, seed=3)), [1, 2])
    circuit.append(UnitaryGate(random_unitary(4, seed=4)), [0, 1])
    result = check_pass(circuit, durations=durations, dd_sequence=XY4, coupling_map=[(0, 1)],
                        skip_reset_qubits=False, expect_fallback=False)
    assert result.operator_checked and result.property_set["dd_sequences_inserted"] > 0



def test_node_start_time_covers_every_operation():
    backend = generic_backend(5)
    dd = DynamicalDecoupling(target=backend.target, skip_reset_qubits=False)
    out = dd.run(circuit_to_dag(staircase(5)))
    starts = dd.property_set["node_start_time"]
    nodes = list(out.op_nodes())
    assert len(starts) == len(nodes)
    assert all(node in starts for node in nodes)
    plain = dict(starts.items())
    assert set(plain) == set(nodes) and set(starts.keys()) == set(nodes)
    assert all(plain[node] == starts[node] for node in nodes)
    assert all(isinstance(t, int) for t in plain.values())



@pytest.mark.parametrize("dynamic", [False, True])
def test_node_start_time_nodes_are_released_after_the_map(dynamic):
    # The list that frees the map's nodes in order holds the map's own node objects, in
    # node order, and is set after the map, also where a property set already holds both
    # keys the other way round (a run on a property set given to PassManager.run), for a
    # circuit with control flow as well.
    from vornak.qiskit.start_times import NODES_KEY

    backend = generic_backend(5)
    circuit = transpile(staircase(5), backend, seed_transpiler=1)
    if dynamic:
        circuit.add_register(ClassicalRegister(1))
        circuit.measure(0, 0)
        with circuit.if_test((circuit.clbits[0], 1)):
            circuit.x(1)
        circuit.cx(1, 2)
    for given in (None, {NODES_KEY: [], "node_start_time": None}):
        pm = PassManager([DynamicalDecoupling(target=backend.target)])
        pm.run(circuit, property_set=given)
        keys = list(pm.property_set)
        assert keys.index(NODES_KEY) > keys.index("node_start_time")
        nodes, starts = pm.property_set[NODES_KEY], pm.property_set["node_start_time"]
        assert [n._node_id for n in nodes] == sorted(n._node_id for n in nodes)
        assert len(nodes) == len(starts) and all(a is b for a, b in zip(nodes, starts.keys()))



@pytest.mark.parametrize("unit_dt", [True, False])
def test_node_start_time_map_is_the_one_a_dict_makes(unit_dt):
    # The map set entry by entry equals, with the same value types and in the same order,
    # Qiskit's map made from a dict; times as a list in node order or as a dict, none at
    # all, or one short.
    from qiskit._accelerate.scheduling import NodeDurations

    from vornak.qiskit.start_times import node_start_time

    dag = circuit_to_dag(staircase(4))
    nodes = dag.op_nodes()
    starts = [3 * k + 1 for k in range(len(nodes))]
    kind = int if unit_dt else float
    expected = NodeDurations({n: kind(t) for n, t in zip(nodes, starts)})
    for times in (starts, dict(zip(range(len(nodes)), starts))):
        found = node_start_time(dag, times, unit_dt)
        assert found == expected
        assert [(a._node_id, b) for a, b in found.items()] == [
            (a._node_id, b) for a, b in expected.items()]
        assert all(type(t) is kind for t in found.values())
    empty = node_start_time(circuit_to_dag(QuantumCircuit(2)), [], unit_dt)
    assert len(empty) == 0
    with pytest.raises(ValueError):
        node_start_time(dag, starts[:-1], unit_dt)



def test_spacing_holds_across_zero_length_operations():
    # q0 has two gaps of 36 ns split only by a barrier. Packed at the start, the first
    # sequence's pulses of 8 ns end at 34 ns, 2 ns before the barrier: the second sequence
    # must start at 44 ns, not at the barrier.
    durations = InstructionDurations([("x", None, 8, "ns"), ("sx", None, 12, "ns"),
                                      ("cx", None, 100, "ns")])
    circuit = QuantumCircuit(2)
    circuit.x(0)
    for _ in range(3):
        circuit.sx(1)
    circuit.barrier()
    for _ in range(3):
        circuit.sx(1)
    circuit.cx(0, 1)
    result = check_pass(circuit, durations=durations, dd_sequence=[XGate(), XGate()],
                        crosstalk=False, placement="start", scheduling="asap")
    assert result.property_set["dd_sequences_inserted"] == 2
    assert_pulse_spacing(result, 10.0)
    assert sorted(start for _, start, _ in result.pulses)[2] == pytest.approx(44.0)



def test_skip_reset_qubits():
    durations = InstructionDurations(
        [("x", None, 40, "ns"), ("y", None, 40, "ns"), ("sx", None, 40, "ns"),
         ("cx", None, 300, "ns"), ("reset", None, 100, "ns")])
    circuit = QuantumCircuit(3)
    for _ in range(10):
        circuit.sx(0)
    circuit.cx(0, 1)          # qubit 1 waits in its initial state: no pulses when skipping
    circuit.reset(2)
    for _ in range(20):
        circuit.sx(1)
    circuit.cx(1, 2)          # qubit 2 waits just after its reset: no pulses when skipping
    options = {"durations": durations, "dd_sequence": XY4, "crosstalk": False,
               "placement": "spread"}
    skip = check_pass(circuit, skip_reset_qubits=True, **options)
    assert skip.property_set["dd_sequences_inserted"] == 0
    keep = check_pass(circuit, skip_reset_qubits=False, **options)
    assert {q for q, _, _ in keep.pulses} == {1, 2}



def test_qubits_limits_the_pulses():
    backend = generic_backend(5)
    result = check_pass(staircase(5), target=backend.target, qubits=[2, 4],
                        skip_reset_qubits=False)
    assert {q for q, _, _ in result.pulses} <= {2, 4} and result.pulses



def test_explicit_pulse_alignment_wins_over_the_target():
    backend = generic_backend(5)
    assert backend.target.pulse_alignment == 1
    result = check_pass(staircase(5), target=backend.target, pulse_alignment=16,
                        skip_reset_qubits=False)
    assert result.pulses and all(start % 16 == 0 for _, start, _ in result.pulses)



def test_coupling_map_argument():
    backend = generic_backend(5)
    coupling = [(0, 1), (1, 2), (2, 3), (3, 4), (2, 4)]
    result = check_pass(staircase(5), target=backend.target, coupling_map=coupling,
                        skip_reset_qubits=False, placement="spread")
    assert pulse_overlaps(result.pulses, coupling) == 0
    check_pass(staircase(5), target=backend.target, coupling_map=CouplingMap(coupling),
               skip_reset_qubits=False)



@pytest.mark.parametrize("sequence", [
    [XGate(), XGate()],
    XY4,                                                 # -I
    [XGate(), YGate(), ZGate()],                         # -iI, three pulses
    [XGate(), RZGate(math.pi), XGate(), RZGate(-math.pi)],  # -I, two of them zero-length
], ids=["xx", "xyxy", "xyz", "x-rz"])
def test_global_phase_is_exact(sequence):
    backend = generic_backend(5)
    circuit = staircase(5)
    circuit.global_phase = 0.25
    result = check_pass(circuit, target=backend.target, dd_sequence=sequence,
                        skip_reset_qubits=False)
    assert result.operator_checked and result.property_set["dd_sequences_inserted"] > 0



def test_everything_else_survives():
    backend = generic_backend(4)
    qr, cr, flags = QuantumRegister(4, "q"), ClassicalRegister(2, "c"), ClassicalRegister(1, "f")
    circuit = QuantumCircuit(qr, cr, flags, name="keep-me", metadata={"k": [1, 2]},
                             global_phase=0.3)
    theta = Parameter("theta")
    circuit.x(0)
    circuit.cx(0, 1)
    circuit.rz(theta, 1)
    circuit.cx(1, 2)
    circuit.cx(2, 3)
    circuit.barrier()
    circuit.measure(0, cr[0])
    circuit.reset(1)
    circuit.delay(100, 2, unit="ns")
    circuit.rz(2 * theta + 1, 3)
    circuit.cx(2, 3)
    circuit.measure(3, flags[0])
    circuit.measure(2, flags[0])
    result = check_pass(circuit, target=backend.target, skip_reset_qubits=False)
    assert result.property_set["dd_sequences_inserted"] > 0
    out = dag_to_circuit(result.out)
    assert out.parameters == circuit.parameters
    assert out.count_ops()["measure"] == 3 and out.count_ops()["reset"] == 1
    assert out.count_ops()["barrier"] == 1



def test_parameterized_global_phase():
    backend = generic_backend(5)
    theta = Parameter("theta")
    circuit = staircase(5)
    circuit.global_phase = theta
    dd = DynamicalDecoupling(target=backend.target, skip_reset_qubits=False)
    out = dd.run(circuit_to_dag(circuit))
    inserted = dd.property_set["dd_sequences_inserted"]
    assert inserted > 0
    phase = out.global_phase.assign(theta, 0.5).numeric()
    assert np.isclose(np.exp(1j * phase), np.exp(1j * (0.5 - inserted * math.pi)))



def test_dag_with_removed_nodes():
    """Node indices with holes (as after other passes in a PassManager)."""
    backend = generic_backend(5)
    circuit = staircase(5)
    circuit.rz(0.1, 4)
    circuit.delay(500, 3)
    circuit.cx(3, 4)
    circuit.x(0)
    circuit.x(0)
    dag = circuit_to_dag(circuit)
    for node in [n for n in dag.op_nodes() if n.name == "rz"][:1] + \
            [n for n in dag.op_nodes() if n.name == "x"][:1]:
        dag.remove_op_node(node)
    result = check_pass(dag, target=backend.target, skip_reset_qubits=False)
    assert result.property_set["dd_sequences_inserted"] > 0



def test_in_a_pass_manager_after_other_passes():
    from qiskit.transpiler.passes import Optimize1qGatesDecomposition

    backend = generic_backend(5)
    circuit = transpile(staircase(5), backend, optimization_level=0)
    circuit.rz(0.2, 1)
    circuit.sx(1)
    circuit.sx(1)
    pm = PassManager([Optimize1qGatesDecomposition(target=backend.target),
                      DynamicalDecoupling(target=backend.target, skip_reset_qubits=False)])
    out = pm.run(circuit)
    dag = circuit_to_dag(out)
    asap = qiskit_start_times(dag, backend.target, None)
    assert [asap[n] for n in dag.topological_op_nodes()] == list(out.op_start_times)
    assert Operator(out) == Operator(circuit)



def test_running_on_its_own_output():
    backend = generic_backend(5)
    first = check_pass(staircase(5), target=backend.target, skip_reset_qubits=False)
    second = check_pass(first.out, target=backend.target, skip_reset_qubits=False)
    assert second.operator_checked



def test_labels_survive():
    """Operation labels are not part of what the C API writes."""
    backend = generic_backend(4)
    circuit = staircase(4)
    circuit.x(3, label="keep")
    circuit.barrier(label="stop")
    result = check_pass(circuit, target=backend.target, skip_reset_qubits=False)
    labels = {n.op.label for n in result.out.op_nodes() if n.op.label}
    assert labels == {"keep", "stop"}



def test_input_delays_are_idle_time():
    backend = generic_backend(3)
    circuit = QuantumCircuit(3)
    circuit.x(0)
    circuit.x(1)
    circuit.delay(4000, 1)          # idle: the gap before the cx is long enough for pulses
    circuit.cx(0, 1)
    circuit.delay(2, 2, unit="us")
    result = check_pass(circuit, scheduling="asap", target=backend.target, crosstalk=False)
    # qubit 0 waits for the delay on qubit 1, qubit 1 sat idle: both get pulses.
    assert {q for q, _, _ in result.pulses} == {0, 1}



def test_time_in_ns_without_dt():
    durations = InstructionDurations(
        [("x", None, 35.5, "ns"), ("y", None, 35.5, "ns"), ("cx", None, 300, "ns"),
         ("sx", None, 35.5, "ns"), ("rz", None, 0, "ns"), ("measure", None, 1.2, "us")])
    circuit = staircase(5)
    circuit.rz(0.3, 2)
    circuit.delay(333.3, 4, unit="ns")
    circuit.cx(4, 3)
    circuit.measure_all()
    for placement in ("spread", "start"):
        result = check_pass(circuit, durations=durations, dd_sequence=XY4, placement=placement,
                            coupling_map=[(q, q + 1) for q in range(4)],
                            skip_reset_qubits=False)
        assert result.property_set["time_unit"] == "ns"
        assert result.property_set["dd_sequences_inserted"] > 0



@pytest.mark.parametrize("scheduling", ["alap", "asap"])
@pytest.mark.parametrize("source", ["table", "target"])
def test_times_in_ns_are_qiskits_to_the_bit(source, scheduling):
    # 20,000 gates of 35.5555... ns on a qubit, then a cx with one that waited all along.
    # Sums in ns drift from Qiskit's sums in seconds: by 8.9 ns with each duration rounded to
    # the picosecond, by a few 1e-7 ns without.
    x_ns = 320 / 9
    durations = InstructionDurations(
        [("x", None, x_ns, "ns"), ("cx", None, 300, "ns"), ("measure", None, 1000, "ns")])
    target = None
    if source == "target":
        target = Target(num_qubits=3)
        for op, qargs, ns in [(XGate(), [(0,), (1,), (2,)], x_ns),
                              (CXGate(), [(0, 1), (1, 2)], 300),
                              (Measure(), [(0,), (1,), (2,)], 1000)]:
            target.add_instruction(op, {q: InstructionProperties(duration=ns * 1e-9)
                                        for q in qargs})
        durations = None
    circuit = QuantumCircuit(3, 1)
    for _ in range(20000):
        circuit.x(0)
    circuit.cx(0, 1)
    for _ in range(3000):
        circuit.x(2)
    circuit.cx(1, 2)
    circuit.measure(0, 0)
    options = {"dd_sequence": [XGate(), XGate()], "scheduling": scheduling,
               "skip_reset_qubits": False}
    dd = DynamicalDecoupling(durations=durations, target=target, **options)
    out = dd.run(circuit_to_dag(circuit))
    assert dd.property_set["dd_sequences_inserted"] > 0
    assert_qiskits_clock(out, dd.property_set, target, durations)
    padded = vornak_qiskit.pad(circuit, target=target, durations=durations, **options)
    assert padded == dag_to_circuit(out)
    assert sorted(padded.op_start_times) == sorted(dd.property_set["node_start_time"].values())



@pytest.mark.parametrize("seed", range(4))
def test_random_circuits_in_ns_are_qiskits_to_the_bit(seed):
    # A generic device's durations in seconds, without its dt: times in ns, on Qiskit's clock.
    backend = generic_backend(5, seed=seed)
    in_seconds = [(name, qargs, props.duration, "s") for name in backend.target.operation_names
                  for qargs, props in backend.target[name].items()
                  if qargs is not None and props is not None and props.duration is not None]
    durations = InstructionDurations(in_seconds)
    circuit = small_random_circuit(5, 8, seed, measure=True)
    mapped = transpile(circuit, backend, optimization_level=1, seed_transpiler=seed)
    for placement, scheduling in [("walsh", "alap"), ("spread", "asap")]:
        dd = DynamicalDecoupling(durations=durations, placement=placement, scheduling=scheduling,
                                 skip_reset_qubits=bool(seed % 2))
        out = dd.run(circuit_to_dag(mapped))
        assert dd.property_set["time_unit"] == "ns"
        assert_qiskits_clock(out, dd.property_set, None, durations)



@pytest.mark.parametrize("crosstalk", [False, True])
@pytest.mark.parametrize("seed", range(4))
def test_start_placement_matches_apply_dd_pass(seed, crosstalk):
    pulse_ns = 40.0
    durations = InstructionDurations(
        [("x", None, pulse_ns, "ns"), ("y", None, pulse_ns, "ns"), ("sx", None, pulse_ns, "ns"),
         ("rz", None, 0, "ns"), ("cx", None, 320, "ns")])
    circuit = transpile(random_circuit(5, 6, max_operands=2, seed=seed),
                        basis_gates=["cx", "rz", "sx", "x"], optimization_level=0)
    coupling = [(a, b) for a in range(5) for b in range(a + 1, 5) if (a + b + seed) % 3 == 0]
    result = check_pass(circuit, scheduling="asap", durations=durations, dd_sequence=XY4, placement="start",
                        crosstalk=crosstalk, coupling_map=coupling, skip_reset_qubits=False)
    if result.property_set["dd_sequences_dropped"]:
        pytest.skip("apply_dd_pass keeps cut sequences, the pass drops them")
    expected = apply_dd_pass_pulses(circuit, durations, pulse_ns, "XY4", 5 if crosstalk else 0,
                                    coupling if crosstalk else None)
    out = result.out
    for i, q in enumerate(out.qubits):
        names = [n.name for n in out.nodes_on_wire(q, only_ops=True) if n.name != "delay"]
        assert names == expected.get(i, []), f"qubit {i}"



@pytest.mark.parametrize("seed", range(24 if SWEEP else 6))
def test_random_small_circuits_are_exact(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(2, 7))
    backend = generic_backend(n, seed=seed)
    circuit = small_random_circuit(n, int(rng.integers(3, 9)), seed, extras=bool(seed % 2))
    mapped = transpile(circuit, backend, optimization_level=int(seed % 3), seed_transpiler=seed)
    sequences = [XY4, [XGate(), XGate()], [XGate(), YGate(), ZGate()]]
    for k, sequence in enumerate(sequences):
        result = check_pass(mapped, target=backend.target, dd_sequence=sequence,
                            placement=("spread", "start")[k % 2], crosstalk=bool(k % 2 == 0),
                            skip_reset_qubits=bool(seed % 2))
        assert result.operator_checked



def test_custom_gate_goes_through_the_python_writer():
    backend = generic_backend(4)
    target = copy.deepcopy(backend.target)
    target.add_instruction(MyGate(), {(q,): InstructionProperties(duration=1.5e-7)
                                      for q in range(4)})
    circuit = staircase(4)
    circuit.append(MyGate(), [3])
    circuit.cx(3, 2)
    circuit.measure_all()
    result = check_pass(circuit, target=target, skip_reset_qubits=False, expect_fallback=True)
    assert result.property_set["dd_sequences_inserted"] > 0 and result.operator_checked
    # The same with durations from a table.
    durations = InstructionDurations([("my_gate", None, 675, "dt")],
                                     dt=target.dt).update(backend.target.durations())
    check_pass(circuit, durations=durations, dd_sequence=XY4, coupling_map=[(0, 1), (2, 3)],
               skip_reset_qubits=False, expect_fallback=True)



def test_labelled_pulses_go_through_the_python_writer():
    backend = generic_backend(5)
    sequence = [XGate(label="dd"), YGate(label="dd"), XGate(label="dd"), YGate(label="dd")]
    result = check_pass(staircase(5), target=backend.target, dd_sequence=sequence,
                        skip_reset_qubits=False, expect_fallback=True)
    labelled = [n for n in result.out.op_nodes() if n.op.label == "dd"]
    assert len(labelled) == 4 * result.property_set["dd_sequences_inserted"] > 0



def test_native_and_python_writers_agree_on_a_generic_backend():
    backend = generic_backend(5)
    circuit = staircase(5)
    circuit.global_phase = 1.0
    circuit.measure_all()
    circuit.reset(0)
    circuit.delay(300, 1)
    circuit.cx(0, 1)
    native, _ = run_both_writers(circuit, target=backend.target, skip_reset_qubits=False)
    assert native.property_set["dd_sequences_inserted"] > 0



@pytest.mark.parametrize("backend_name, bench", [
    ("FakeSherbrooke", "qft"), ("FakeTorino", "ghz"),
])
def test_native_and_python_writers_agree_on_fake_backends(backend_name, bench):
    backend = fake_backend(backend_name)
    circuit = bench_circuit(bench, 6, backend_name)
    native, _ = run_both_writers(circuit, target=backend.target)
    assert native.property_set["dd_sequences_inserted"] > 0



def test_gate_without_duration_names_gate_and_qubits():
    backend = generic_backend(3)
    circuit = staircase(3)
    circuit.h(2)
    dag = circuit_to_dag(circuit)
    before = copy.deepcopy(dag)
    with pytest.raises(TranspilerError, match=r"h on qubits \[2\]"):
        DynamicalDecoupling(target=backend.target).run(dag)
    assert dag == before



def test_control_flow_leaves_the_input_alone():
    """A dynamic circuit is padded (tests/test_dynamic.py checks how) without touching the
    input DAG; a body's operation without a duration raises as a static one does."""
    backend = generic_backend(3)
    circuit = QuantumCircuit(3, 1)
    circuit.x(0)
    circuit.measure(0, 0)
    with circuit.if_test((circuit.clbits[0], 1)):
        circuit.x(1)
    dag = circuit_to_dag(circuit)
    before = copy.deepcopy(dag)
    out = DynamicalDecoupling(target=backend.target).run(dag)
    assert dag == before
    assert "if_else" in out.count_ops(recurse=False)
    with circuit.if_test((circuit.clbits[0], 1)):
        circuit.h(1)
    with pytest.raises(TranspilerError, match=r"h on qubits \[1\]"):
        DynamicalDecoupling(target=backend.target).run(circuit_to_dag(circuit))



@pytest.mark.parametrize("make", [_stretch_delay, _parameter_delay, _too_wide],
                         ids=["stretch-delay", "parameter-delay", "wider-than-target"])
def test_unschedulable_input_is_a_transpiler_error(make):
    backend = generic_backend(3)
    dag = circuit_to_dag(make())
    before = copy.deepcopy(dag)
    with pytest.raises(TranspilerError):
        DynamicalDecoupling(target=backend.target).run(dag)
    assert dag == before



def test_delay_in_dt_without_dt_is_a_transpiler_error():
    durations = InstructionDurations([("x", None, 50, "ns"), ("cx", None, 300, "ns")])
    circuit = staircase(3)
    circuit.delay(10, 1, unit="dt")
    with pytest.raises(TranspilerError, match="dt"):
        DynamicalDecoupling(durations=durations, dd_sequence=[XGate(), XGate()]).run(
            circuit_to_dag(circuit))



@pytest.mark.parametrize("backend_name, bench, size", QUICK)
def test_fake_backend_circuits(backend_name, bench, size):
    backend = fake_backend(backend_name)
    circuit = bench_circuit(bench, size, backend_name)
    result = check_pass(circuit, target=backend.target, expect_fallback=False)
    assert result.property_set["dd_sequences_inserted"] > 0
    assert result.operator_checked



@pytest.mark.parametrize("backend_name", ["FakeSherbrooke", "FakeTorino"])
def test_fake_backend_crosstalk_is_meaningful(backend_name):
    backend = fake_backend(backend_name)
    circuit = bench_circuit("qft", 6, backend_name)
    edges = backend.target.build_coupling_map().get_edges()
    off = check_pass(circuit, target=backend.target, crosstalk=False, skip_reset_qubits=False,
                     placement="start")
    assert pulse_overlaps(off.pulses, edges) > 0
    on = check_pass(circuit, target=backend.target, crosstalk=True, skip_reset_qubits=False,
                    placement="start")
    assert pulse_overlaps(on.pulses, edges) == 0



def test_fake_backend_phase_sequence():
    # FakeSherbrooke has no y: X, RZ(pi), X, RZ(-pi) multiplies to -I.
    backend = fake_backend("FakeSherbrooke")
    circuit = bench_circuit("ghz", 5, "FakeSherbrooke")
    result = check_pass(circuit, target=backend.target,
                        dd_sequence=[XGate(), RZGate(math.pi), XGate(), RZGate(-math.pi)])
    assert result.operator_checked and result.property_set["dd_sequences_inserted"] > 0
    assert backend.target.pulse_alignment == 16



@pytest.mark.parametrize("backend_name, level", [
    ("FakeSherbrooke", 1), ("FakeTorino", 1), ("FakeTorino", 0), ("FakeSherbrooke", 3),
])
def test_plugin_in_transpile(backend_name, level):
    backend = fake_backend(backend_name)
    bench = pytest.importorskip("mqt.bench")
    circuit = bench.get_benchmark("qft", bench.BenchmarkLevel.ALG, 5)
    circuit.metadata = {"origin": "mqt"}
    scheduled = transpile(circuit, backend, optimization_level=level, seed_transpiler=5,
                          scheduling_method="vornak_dd")
    plain = transpile(circuit, backend, optimization_level=level, seed_transpiler=5)
    assert scheduled.layout is not None
    assert scheduled.layout.initial_index_layout() == plain.layout.initial_index_layout()
    assert scheduled.layout.final_index_layout() == plain.layout.final_index_layout()
    assert scheduled.name == circuit.name and scheduled.metadata == {"origin": "mqt"}
    # The plugin is the pass run on the circuit as the earlier stages left it.
    manual = PassManager([DynamicalDecoupling(target=backend.target)]).run(plain)
    assert manual == scheduled
    assert scheduled.count_ops().get("delay", 0) > 0
    # op_start_times (from node_start_time) agree with Qiskit's schedule of the output.
    dag = circuit_to_dag(scheduled)
    asap = qiskit_start_times(dag, backend.target, None)
    assert [asap[n] for n in dag.topological_op_nodes()] == list(scheduled.op_start_times)
    check_pass(plain, target=backend.target)



def test_pass_manager_run_gives_op_start_times():
    backend = generic_backend(5)
    circuit = transpile(staircase(5), backend, seed_transpiler=1)
    pm = PassManager([DynamicalDecoupling(target=backend.target, skip_reset_qubits=False)])
    out = pm.run(circuit)
    assert pm.property_set["dd_sequences_inserted"] > 0
    dag = circuit_to_dag(out)
    asap = qiskit_start_times(dag, backend.target, None)
    assert [asap[n] for n in dag.topological_op_nodes()] == list(out.op_start_times)



def test_measure_after_a_delay_starts_on_the_acquire_grid():
    # 100 dt of delay after a 256 dt x leave the measurement 4 dt off FakeSherbrooke's
    # 16 dt acquire grid: Qiskit's own scheduling moves it to the next multiple.
    backend = fake_backend("FakeSherbrooke")
    assert backend.target.acquire_alignment == 16
    circuit = QuantumCircuit(1, 1)
    circuit.x(0)
    circuit.delay(100, 0, unit="dt")
    circuit.measure(0, 0)
    options = {"initial_layout": [0], "optimization_level": 0}
    ours = transpile(circuit, backend, scheduling_method="vornak_dd", **options)
    theirs = transpile(circuit, backend, scheduling_method="asap", **options)

    def measure_start(scheduled):
        return [t for inst, t in zip(scheduled.data, scheduled.op_start_times)
                if inst.operation.name == "measure"]

    assert measure_start(ours) == measure_start(theirs)
    assert measure_start(ours)[0] % 16 == 0 and measure_start(ours)[0] >= 356
    check = InstructionDurationCheck(target=backend.target)
    check.run(circuit_to_dag(ours))
    assert check.property_set["reschedule_required"] is False
    check_pass(circuit, target=backend.target)



@pytest.mark.parametrize("scheduling", ["asap", "alap"])
@pytest.mark.parametrize("backend_name, bench, size", [
    ("FakeSherbrooke", "qft", 5), ("FakeSherbrooke", "ghz", 6), ("FakeTorino", "qaoa", 5),
    ("FakeTorino", "wstate", 5),
])
def test_schedule_is_qiskits(scheduling, backend_name, bench, size):
    backend = fake_backend(backend_name)
    circuit = bench_circuit(bench, size, backend_name)
    result = check_pass(circuit, target=backend.target, scheduling=scheduling,
                        placement="spread")
    assert result.operator_checked
    expected = qiskit_schedule(circuit_to_dag(circuit), backend.target, scheduling)
    ours = {(n.name, tuple(n.qargs), tuple(n.cargs), t) for n, t in result.plan.op_times.items()}
    theirs = {(n.name, tuple(n.qargs), tuple(n.cargs), t) for n, t in expected.items()}
    assert ours == theirs



@pytest.mark.parametrize("seed", range(4))
def test_alap_on_random_circuits_with_measurements(seed):
    # Measurements that share clbits are ordered by them, in Qiskit's schedule as in ours.
    rng = np.random.default_rng(seed)
    n = int(rng.integers(2, 6))
    backend = generic_backend(n, seed=seed)
    circuit = small_random_circuit(n, int(rng.integers(3, 9)), seed, measure=True)
    circuit.measure(0, 0)
    mapped = transpile(circuit, backend, optimization_level=1, seed_transpiler=seed)
    for scheduling in ("asap", "alap"):
        result = check_pass(mapped, target=backend.target, scheduling=scheduling,
                            placement="spread", skip_reset_qubits=False)
        expected = qiskit_schedule(circuit_to_dag(mapped), backend.target, scheduling)
        assert result.plan.op_times == expected



def test_unequal_alignments():
    # Gates on a 32 dt grid, measurements and resets on a 48 dt one: each on its own.
    backend = fake_backend("FakeSherbrooke")
    target = copy.deepcopy(backend.target)
    target.pulse_alignment, target.acquire_alignment = 32, 48
    circuit = QuantumCircuit(2, 2)
    circuit.x(0)
    circuit.delay(70, 0, unit="dt")
    circuit.measure(0, 0)
    circuit.reset(0)
    circuit.delay(5, 1, unit="dt")
    circuit.sx(1)
    circuit.barrier()
    circuit.delay(1000, 1, unit="dt")
    circuit.x(1)
    for scheduling in ("asap", "alap"):
        result = check_pass(circuit, target=target, scheduling=scheduling,
                            skip_reset_qubits=False)
        index = {q: i for i, q in enumerate(circuit.qubits)}
        starts = {f"{n.name}{index[n.qargs[0]]}": t for n, t in result.plan.op_times.items()
                  if n.name != "barrier"}
        assert starts["measure0"] % 48 == 0 and starts["reset0"] % 48 == 0
        assert starts["x1"] % 32 == 0 and starts["sx1"] % 32 == 0
        assert result.property_set["dd_sequences_inserted"] > 0



@pytest.mark.skipif(not SWEEP, reason="set VORNAK_QISKIT_SWEEP=1 for the full sweep")
@pytest.mark.parametrize("backend_name", ["FakeSherbrooke", "FakeTorino"])
@pytest.mark.parametrize("bench, size", SWEEP_BENCHES)
@pytest.mark.parametrize("placement", ["spread", "start"])
def test_sweep(backend_name, bench, size, placement):
    backend = fake_backend(backend_name)
    if size > backend.num_qubits:
        pytest.skip("too wide")
    try:
        circuit = bench_circuit(bench, size, backend_name)
    except (ValueError, NotImplementedError, TypeError) as error:
        pytest.skip(f"mqt.bench cannot make {bench} at {size}: {error}")
    edges = backend.target.build_coupling_map().get_edges()
    result = check_pass(circuit, target=backend.target, placement=placement)
    assert pulse_overlaps(result.pulses, edges) == 0
    check_pass(circuit, target=backend.target, placement=placement, crosstalk=False,
               skip_reset_qubits=False)


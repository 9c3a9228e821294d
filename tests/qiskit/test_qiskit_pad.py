"""vornak.qiskit.pad: the one-call API, held to everything the pass promises.

Every call goes through `check_pass` of checks.py (the planner's Python model,
Qiskit's ASAP schedule of the output, padding, per-wire order and times, alignment,
crosstalk, global phase, Operator equality), with ``op_start_times`` in place of
``node_start_time``; and its result is compared with the pass's through a PassManager: the
same circuit, global phase, name, metadata and, wire by wire, the same start times.
"""

from __future__ import annotations

import copy
from collections import defaultdict

import pytest

pytest.importorskip("qiskit")
pytest.importorskip("vornak.qiskit")

from qiskit import QuantumCircuit  # noqa: E402
import numpy as np  # noqa: E402
from qiskit.circuit.library import GlobalPhaseGate, XGate  # noqa: E402
from qiskit.converters import circuit_to_dag  # noqa: E402
from qiskit.transpiler import InstructionDurations, InstructionProperties, PassManager  # noqa: E402
from qiskit.transpiler.exceptions import TranspilerError  # noqa: E402

import checks as tp  # noqa: E402
from vornak.qiskit import DynamicalDecoupling, pad  # noqa: E402

pytestmark = tp.pytestmark


def start_times_by_wire(circuit):
    """Each wire's instructions with their start times, in order: independent of the order in
    which instructions on different wires are listed."""
    index = {bit: i for i, bit in enumerate((*circuit.qubits, *circuit.clbits))}
    wires = defaultdict(list)
    starts = circuit._op_start_times or []  # a PassManager sets none on a circuit without operations
    assert len(starts) == len(circuit.data)
    for instruction, start in zip(circuit.data, starts):
        key = (tp.op_key(instruction.operation, [index[b] for b in instruction.qubits],
                         [index[b] for b in instruction.clbits]), start, type(start))
        for bit in (*instruction.qubits, *instruction.clbits):
            wires[index[bit]].append(key)
    return dict(wires)


def assert_same_as_the_pass(padded, reference):
    assert padded == reference
    assert padded.global_phase == reference.global_phase
    assert padded.name == reference.name and padded.metadata == reference.metadata
    assert padded.qregs == reference.qregs and padded.cregs == reference.cregs
    assert padded.layout is None and reference.layout is None
    assert start_times_by_wire(padded) == start_times_by_wire(reference)
    assert padded._unit == reference._unit and padded._duration == reference._duration


def one_call(circuit, target, durations, options):
    """`check_pass`'s runner: ``pad``, checked against the pass through a PassManager."""
    before = copy.deepcopy(circuit)
    padded = pad(circuit, target=target, durations=durations, **options)
    assert circuit == before and circuit.global_phase == before.global_phase, "pad changed its input"
    manager = PassManager([DynamicalDecoupling(target=target, durations=durations, **options)])
    reference = manager.run(circuit)
    assert_same_as_the_pass(padded, reference)
    out = circuit_to_dag(padded)
    # A DAG made from a circuit numbers its operations in the circuit's order.
    nodes = sorted(out.op_nodes(), key=lambda node: node._node_id)
    property_set = dict(manager.property_set)  # the counts, which pad does not return
    property_set["node_start_time"] = dict(zip(nodes, padded.op_start_times))
    property_set["time_unit"] = padded._unit
    return out, property_set


def check_pad(circuit, **kwargs):
    return tp.check_pass(circuit, one_call=one_call, **kwargs)


def mapped_random_circuit(backend, depth, seed, **kwargs):
    circuit = tp.small_random_circuit(backend.num_qubits, depth, seed, **kwargs)
    return tp.transpile(circuit, backend, optimization_level=seed % 3, seed_transpiler=seed)


# --------------------------------------------------------------------------------------------
# Single circuits, through every property check of the pass


@pytest.mark.parametrize("placement", ["spread", "start"])
@pytest.mark.parametrize("crosstalk", [True, False])
def test_staircase(placement, crosstalk):
    backend = tp.generic_backend(5)
    result = check_pad(tp.staircase(5), target=backend.target, placement=placement,
                       crosstalk=crosstalk, skip_reset_qubits=False, expect_fallback=False)
    assert result.plan.sequences > 0 and result.operator_checked


@pytest.mark.parametrize("seed", range(4))
def test_random_small_circuits(seed):
    backend = tp.generic_backend(5, seed=seed)
    circuit = mapped_random_circuit(backend, 8, seed, measure=seed % 2 == 0, extras=True)
    check_pad(circuit, target=backend.target, dd_sequence=tp.XY4, pulse_alignment=1 + seed % 3,
              skip_reset_qubits=seed % 2 == 1)


def test_registers_measurements_resets_delays_and_global_phase():
    backend = tp.generic_backend(5)
    circuit = tp.staircase(5)
    circuit.global_phase = 1.0
    circuit.name = "named"
    circuit.metadata = {"run": 3}
    circuit.measure_all()
    circuit.reset(0)
    circuit.delay(300, 1)
    circuit.delay(2e-7, 2, unit="s")
    circuit.cx(0, 1)
    result = check_pad(circuit, target=backend.target, skip_reset_qubits=False,
                       expect_fallback=False)
    assert result.plan.sequences > 0


def test_unitaries_and_time_in_ns_without_dt():
    durations = InstructionDurations(
        [("h", None, 50, "ns"), ("cx", None, 300, "ns"), ("x", None, 35.5, "ns"),
         ("unitary", None, 120, "ns"), ("measure", None, 1000, "ns")])
    circuit = QuantumCircuit(3, 1)
    circuit.h(0)
    circuit.unitary([[0, 1], [1, 0]], [2])
    circuit.cx(0, 1)
    circuit.cx(1, 0)
    circuit.cx(0, 1)
    circuit.unitary(tp.Operator(QuantumCircuit(2)).data, [2, 1])
    circuit.measure(2, 0)
    result = check_pad(circuit, durations=durations, dd_sequence=[XGate(), XGate()],
                       expect_fallback=True)
    assert result.property_set["time_unit"] == "ns" and result.plan.sequences > 0


def qiskit_positions(circuit):
    """The positions of `circuit`'s instructions in Qiskit's topological order of its DAG."""
    nodes = list(circuit_to_dag(circuit).topological_op_nodes())
    first = min((n._node_id for n in nodes), default=0)
    return [n._node_id - first for n in nodes]


def ordering_cases():
    """Circuits whose lexicographic order is easy to get wrong: measurements into clbits in
    another order than their qubits, barriers over part of the qubits, gates whose qubits
    are listed high first, idle bits, a wide random circuit."""
    crossed = QuantumCircuit(4, 3)
    crossed.h(3)
    crossed.cx(3, 0)
    crossed.measure(0, 2)
    crossed.measure(3, 0)
    crossed.x(1)
    crossed.measure(1, 0)  # the same clbit again
    crossed.barrier(2, 1)
    crossed.cx(2, 1)
    crossed.ecr(1, 3)
    crossed.barrier()
    crossed.measure(2, 1)
    yield crossed
    yield tp.staircase(5)
    for seed in range(3):
        yield tp.small_random_circuit(7, 12, seed, measure=True, extras=True)
    wide = QuantumCircuit(40, 40)
    rng = np.random.default_rng(5)
    for _ in range(600):
        a, b = (int(q) for q in rng.choice(40, 2, replace=False))
        kind = rng.integers(4)
        if kind == 0:
            wide.cx(a, b)
        elif kind == 1:
            wide.rz(float(rng.random()), a)
        elif kind == 2:
            wide.measure(a, b)
        else:
            wide.barrier(*sorted({a, b, (a + b) % 40}, reverse=True))
    yield wide
    # Keys of one or two qubits and a clbit ready beside keys of three qubits and more, and
    # beside each other with a shared first qubit: [q], [q, r] and [q, r] + clbit.
    mixed = QuantumCircuit(6, 2)
    for q in (5, 0, 3):
        mixed.ccx(q, (q + 1) % 6, (q + 2) % 6)
        mixed.x(q)
        mixed.cx(q, (q + 4) % 6)
        mixed.measure(q, q % 2)
        mixed.cswap((q + 3) % 6, q, (q + 1) % 6)
        mixed.barrier()
        mixed.cx((q + 4) % 6, q)
        mixed.rz(0.1, q)
    yield mixed


def test_the_order_read_from_a_circuit_is_qiskits():
    from vornak import _bridge

    for circuit in ordering_cases():
        assert _bridge.circuit_order(circuit._data) == qiskit_positions(circuit)
    # An operation on no wires is left to Qiskit's sort, which breaks its ties by node index.
    phase = QuantumCircuit(2)
    phase.append(GlobalPhaseGate(0.5), [])
    phase.x(0)
    assert _bridge.circuit_order(phase._data) is None
    assert _bridge.circuit_order(QuantumCircuit(3)._data) == []


def test_circuits_read_through_a_dag_pad_as_those_read_in_place():
    # pad reads a circuit in place where it has no classical variables (wires of a DAG
    # made from it) and its order is found from it; else through such a DAG.
    from qiskit.circuit.classical import expr, types

    durations = InstructionDurations(
        [("x", None, 160), ("sx", None, 160), ("rz", None, 0), ("cx", None, 800),
         ("global_phase", None, 0), ("measure", None, 1600)], dt=2.2222e-10)
    for through_dag in ("no wires", "variable", None):
        circuit = QuantumCircuit(3)
        circuit.x(0)
        circuit.cx(0, 1)
        for _ in range(12):
            circuit.sx(1)
        if through_dag == "no wires":
            circuit.append(GlobalPhaseGate(0.5), [])
        elif through_dag == "variable":
            circuit.add_input(expr.Var.new("flag", types.Bool()))
        circuit.rz(0.4, 0)
        circuit.cx(0, 1)
        circuit.cx(1, 2)
        if through_dag == "no wires":
            # Only against the pass: the pass and Qiskit's ASAP schedule start an operation
            # on no wires at other times (a matter of its own, whichever way it is read).
            padded = pad(circuit, durations=durations, skip_reset_qubits=False)
            manager = PassManager([DynamicalDecoupling(durations=durations,
                                                       skip_reset_qubits=False)])
            assert_same_as_the_pass(padded, manager.run(circuit))
            assert manager.property_set["dd_sequences_inserted"] > 0
        else:
            result = check_pad(circuit, durations=durations, skip_reset_qubits=False)
            assert result.plan.sequences > 0


def test_the_order_read_from_transpiled_benchmark_circuits_is_qiskits():
    from vornak import _bridge

    for backend_name, bench in (("FakeSherbrooke", "qft"), ("FakeTorino", "qaoa")):
        circuit = tp.bench_circuit(bench, 12, backend_name)
        assert _bridge.circuit_order(circuit._data) == qiskit_positions(circuit)


@pytest.mark.parametrize("backend_name, bench", [("FakeSherbrooke", "qft"), ("FakeTorino", "ghz")])
def test_transpiled_benchmark_circuits(backend_name, bench):
    backend = tp.fake_backend(backend_name)
    circuit = tp.bench_circuit(bench, 8, backend_name)
    result = check_pad(circuit, target=backend.target, operator=False, expect_fallback=False)
    assert result.plan.sequences > 0


def test_labels_are_written_natively_and_put_back():
    backend = tp.generic_backend(5)
    circuit = tp.staircase(5)
    circuit.append(XGate(label="kept"), [4])
    result = check_pad(circuit, target=backend.target, skip_reset_qubits=False,
                       expect_fallback=False)
    assert [n.op.label for n in result.out.op_nodes() if n.op.label] == ["kept"]


def test_custom_gates_and_labelled_pulses_go_through_the_pass():
    backend = tp.generic_backend(4)
    target = copy.deepcopy(backend.target)
    target.add_instruction(tp.MyGate(), {(q,): InstructionProperties(duration=1.5e-7)
                                         for q in range(4)})
    circuit = tp.staircase(4)
    circuit.append(tp.MyGate(), [3])
    circuit.cx(3, 2)
    check_pad(circuit, target=target, skip_reset_qubits=False, expect_fallback=True)
    sequence = [XGate(label="dd"), XGate(label="dd")]
    result = check_pad(tp.staircase(4), target=backend.target, dd_sequence=sequence,
                       skip_reset_qubits=False, expect_fallback=True)
    assert sum(n.op.label == "dd" for n in result.out.op_nodes()) == 2 * result.plan.sequences


# Parameters and operations held as Python objects: Qiskit's C API cannot copy them outside
# its own Python calls (a copy aborts the process), so such circuits go through the pass, as
# do circuits whose data another call holds (borrowing it then aborts too). The cases run in
# a child interpreter, so that an abort fails the test and not the run.
_PYTHON_OBJECTS = r"""
import json
import numpy as np
from qiskit import QuantumCircuit
from qiskit.circuit import Duration, Instruction
from qiskit.circuit.classical import expr
from qiskit.circuit.library import (DiagonalGate, HamiltonianGate, Initialize, Isometry,
                                    PauliGate, StatePreparation, UCGate)
from qiskit.transpiler import InstructionDurations, PassManager
from vornak.qiskit import DynamicalDecoupling, pad

def circuit(add):
    qc = QuantumCircuit(2)
    qc.x(0)
    qc.x(1)
    add(qc)
    for _ in range(10):
        qc.x(0)
    qc.cx(0, 1)
    return qc

cases = {
    "delay of a constant expression": lambda qc: qc.delay(expr.lift(Duration.dt(1600)), 1),
    "initialize from amplitudes": lambda qc: qc.append(Initialize([0, 1]), [1]),
    "initialize from a label": lambda qc: qc.append(Initialize("1"), [1]),
    "state preparation": lambda qc: qc.append(StatePreparation([0, 1]), [1]),
    "pauli": lambda qc: qc.append(PauliGate("X"), [1]),
    "diagonal": lambda qc: qc.append(DiagonalGate([1, -1]), [1]),
    "hamiltonian": lambda qc: qc.append(HamiltonianGate(np.array([[0, 1], [1, 0]]), 0.5), [1]),
    "isometry": lambda qc: qc.append(Isometry(np.eye(2), 0, 0), [1]),
    "uniformly controlled": lambda qc: qc.append(UCGate([np.array([[0, 1], [1, 0]])]), [1]),
    "string parameter": lambda qc: qc.append(Instruction("mine", 1, 0, ["text"]), [1]),
    "nothing of Python's": lambda qc: qc.x(1),
}
names = ["x", "delay", "initialize", "state_preparation", "pauli", "diagonal", "hamiltonian",
         "isometry", "multiplexer", "mine"]
durations = InstructionDurations([(n, None, 160) for n in names] + [("cx", None, 800)], dt=1e-9)
circuits = [circuit(add) for add in cases.values()]
references = [PassManager([DynamicalDecoupling(durations)]).run(c) for c in circuits]

def timed(out):
    index = {bit: i for i, bit in enumerate(out.qubits)}
    return sorted((i.operation.name, [index[q] for q in i.qubits], str(i.operation.params), t)
                  for i, t in zip(out.data, out.op_start_times))

def same(out, reference):
    # Not ==: a DiagonalGate that went through a DAG compares unequal even to itself after
    # a second run of the pass.
    return out.global_phase == reference.global_phase and timed(out) == timed(reference)

report = {"alone": {}, "lists": []}
for name, c, reference in zip(cases, circuits, references):
    report["alone"][name] = same(pad(c, durations=durations), reference)
for threads in (1, 2, 4):
    outs = pad(circuits * 3, durations=durations, threads=threads)
    report["lists"].append(all(map(same, outs, references * 3)))
# Padded from a callback of its own data, which holds a borrow of it meanwhile (as another
# thread's circuit_to_dag does while it copies the operations in Python).
report["inside"] = []
for c, reference in ((circuits[0], references[0]), (circuits[-1], references[-1])):
    inside = []
    c._data.foreach_op(lambda op: inside.append(pad(c, durations=durations)))
    report["inside"].append(len(inside) == len(c.data) and all(same(o, reference) for o in inside))
print(json.dumps(report))
"""


def test_python_object_parameters_are_padded_and_never_abort(run_isolated):
    _, report = run_isolated(_PYTHON_OBJECTS)
    assert report["alone"] == dict.fromkeys(report["alone"], True)
    assert report["lists"] == [True, True, True]
    assert report["inside"] == [True, True]


def test_a_circuit_without_instructions_has_no_start_times_like_the_pass():
    durations = InstructionDurations([("x", None, 160)], dt=1e-9)
    for circuit in (QuantumCircuit(2), QuantumCircuit(0)):
        out = pad(circuit, durations=durations)
        reference = PassManager([DynamicalDecoupling(durations)]).run(circuit)
        assert out == reference and len(out.data) == 0
        assert out._op_start_times is None and reference._op_start_times is None
        # In a list and through the pass (a labelled pulse sends it there), the same.
        labelled = [XGate(label="dd"), XGate(label="dd")]
        for out in pad([circuit, circuit], durations=durations, dd_sequence=labelled):
            assert out == reference and out._op_start_times is None


# --------------------------------------------------------------------------------------------
# Lists


@pytest.mark.parametrize("threads", [None, 1, 3])
def test_a_list_is_padded_in_order(threads):
    backend = tp.generic_backend(5)
    circuits = [mapped_random_circuit(backend, 6 + seed % 4, seed, measure=True)
                for seed in range(7)]
    labelled = tp.staircase(5)
    labelled.append(XGate(label="kept"), [4])
    circuits.insert(3, labelled)
    circuits.insert(5, QuantumCircuit(2))  # another width, and no operations
    before = copy.deepcopy(circuits)
    padded = pad(circuits, target=backend.target, threads=threads)
    assert circuits == before
    assert isinstance(padded, list) and len(padded) == len(circuits)
    for circuit, out in zip(circuits, padded):
        reference = PassManager([DynamicalDecoupling(target=backend.target)]).run(circuit)
        assert_same_as_the_pass(out, reference)


def test_threads_share_one_pass_on_long_circuits():
    # Long enough that pad starts threads by itself where there are cores to spare.
    backend = tp.fake_backend("FakeSherbrooke")
    circuits = [tp.bench_circuit("qft", 12, "FakeSherbrooke")] * 4
    padded = pad(circuits, target=backend.target, threads=2)
    reference = PassManager([DynamicalDecoupling(target=backend.target)]).run(circuits[0])
    for out in padded:
        assert_same_as_the_pass(out, reference)
    assert len({id(out) for out in padded}) == len(padded)


def test_empty_list_and_tuple():
    backend = tp.generic_backend(3)
    assert pad([], target=backend.target) == []
    out = pad((tp.staircase(3),), target=backend.target)
    assert isinstance(out, list) and len(out) == 1


# --------------------------------------------------------------------------------------------
# Errors: the pass's, with the same messages


def _errors(call):
    try:
        call()
    except Exception as error:  # noqa: BLE001 - the type and message are what is compared
        return type(error), str(error)
    return None


@pytest.mark.parametrize("case", ["no duration", "control flow", "stretch delay",
                                  "bad option", "bad sequence"])
def test_errors_are_the_pass_errors(case):
    backend = tp.generic_backend(3)
    circuit = tp.staircase(3)
    options = {}
    if case == "no duration":
        circuit.h(2)
    elif case == "control flow":  # a body's operation without a duration
        circuit.measure_all()
        with circuit.if_test((circuit.clbits[0], 1)):
            circuit.h(1)
    elif case == "stretch delay":
        circuit.delay(circuit.add_stretch("s"), 1)
    elif case == "bad option":
        options = {"placement": "middle"}
    else:
        options = {"dd_sequence": [XGate()]}
    before = copy.deepcopy(circuit)
    through_pad = _errors(lambda: pad(circuit, target=backend.target, **options))
    through_pass = _errors(lambda: PassManager(
        [DynamicalDecoupling(target=backend.target, **options)]).run(circuit))
    assert through_pad is not None and through_pad == through_pass
    assert through_pad[0] is TranspilerError
    assert circuit == before
    # In a list, the same error.
    assert _errors(lambda: pad([tp.staircase(3), circuit], target=backend.target,
                               **options)) == through_pad


def test_what_is_not_a_circuit_is_refused():
    backend = tp.generic_backend(3)
    with pytest.raises(TypeError, match="DAGCircuit"):
        pad([circuit_to_dag(tp.staircase(3))], target=backend.target)
    with pytest.raises(ValueError, match="threads"):
        pad([tp.staircase(3)] * 2, target=backend.target, threads=0)


def test_input_delays_count_as_idle_time():
    backend = tp.generic_backend(3)
    circuit = QuantumCircuit(3)
    circuit.x(0)
    circuit.delay(4000, 0)
    circuit.x(0)
    result = check_pad(circuit, target=backend.target, skip_reset_qubits=False)
    assert result.plan.sequences > 0  # the delay's stretch gets pulses


def test_a_crowded_heavy_hex_circuit_is_planned_as_the_pass_plans_it():
    # Crosstalk shifts depend on the order in which the planner meets the gaps: on a
    # circuit this crowded, any order but the pass's places some pulses differently.
    qiskit_pass = pytest.importorskip("bench.qiskit_pass")
    circuit, target = qiskit_pass.layered_circuit(2000)
    result = check_pad(circuit, target=target, dd_sequence=[XGate(), XGate()], operator=False,
                       expect_fallback=False)
    assert result.plan.sequences > 100

"""What vornak.qiskit.DynamicalDecoupling accepts, and how it refuses what it cannot use.

Bad arguments and bad durations are TranspilerErrors that say what is wrong, raised at
construction wherever the pass can know; inputs Qiskit's own scheduling accepts (durations
all in dt without a dt, constant delay expressions) are padded like any other.
"""

from __future__ import annotations

import math

import pytest

pytest.importorskip("qiskit")
pytest.importorskip("vornak.qiskit")

from qiskit import QuantumCircuit  # noqa: E402
from qiskit.circuit import Duration  # noqa: E402
from qiskit.circuit.classical import expr  # noqa: E402
from qiskit.circuit.library import XGate  # noqa: E402
from qiskit.converters import circuit_to_dag  # noqa: E402
from qiskit.transpiler import InstructionDurations, InstructionProperties, Target  # noqa: E402
from qiskit.transpiler.exceptions import TranspilerError  # noqa: E402

from test_qiskit_pass import check_pass, generic_backend, qiskit_start_times, staircase  # noqa: E402
from vornak.qiskit import DynamicalDecoupling  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore:Duration is rounded")

XX = [XGate(), XGate()]
NS = InstructionDurations([("x", None, 50, "ns"), ("cx", None, 300, "ns")])


@pytest.mark.parametrize("kwargs, words", [
    ({"coupling_map": [(0, -1)]}, "qubit -1"),
    ({"coupling_map": [(0, 1, 2)]}, "pair"),
    ({"coupling_map": "01"}, "coupling_map"),
    ({"coupling_map": [(0, 1.5)]}, "whole number"),
    ({"pulse_alignment": math.nan}, "whole number"),
    ({"pulse_alignment": math.inf}, "whole number"),
    ({"pulse_alignment": 1.5}, "whole number"),
    ({"pulse_alignment": "16"}, "whole number"),
    ({"qubits": ["a"]}, "whole number"),
    ({"qubits": [1.5]}, "whole number"),
    ({"qubits": [99]}, "qubit 99"),
    ({"qubits": [-1]}, "qubit -1"),
    ({"qubits": 3}, "list"),
    ({"dd_sequence": XGate()}, "list of gates"),
])
def test_bad_arguments_are_refused_at_construction(kwargs, words):
    target = generic_backend(3).target
    with pytest.raises(TranspilerError, match=words):
        DynamicalDecoupling(target=target, **kwargs)


def test_whole_numbers_in_other_types_are_taken():
    target = generic_backend(3).target
    dd = DynamicalDecoupling(target=target, pulse_alignment=16.0, qubits=(2.0, 0),
                             coupling_map=[[0, 1]])
    assert dd.pulse_alignment == 16 and dd.qubits == {0, 2} and dd.coupling_map == [(0, 1)]


def test_qubits_beyond_the_circuit_are_refused_at_run_without_a_target():
    dd = DynamicalDecoupling(durations=NS, dd_sequence=XX, qubits=[0, 3])
    with pytest.raises(TranspilerError, match="qubit 3"):
        dd.run(circuit_to_dag(staircase(3)))


def test_pulse_alignment_without_dt():
    # In ns there is nothing to align to: refused, not ignored.
    with pytest.raises(TranspilerError, match="pulse_alignment"):
        DynamicalDecoupling(durations=NS, dd_sequence=XX, pulse_alignment=16)
    target = Target(num_qubits=2)
    target.add_instruction(XGate(), {(q,): InstructionProperties(duration=50e-9) for q in (0, 1)})
    with pytest.raises(TranspilerError, match="pulse_alignment"):
        DynamicalDecoupling(target=target, pulse_alignment=16)


def _durations(x, unit="dt", dt=None):
    return InstructionDurations([("x", (0,), x, unit), ("x", (1,), 160, unit),
                                 ("x", (2,), 160, unit), ("cx", None, 800, unit)], dt=dt)


@pytest.mark.parametrize("value", [-160, math.nan, math.inf, 160.5])
def test_invalid_durations_name_gate_and_qubits(value):
    durations = _durations(value, dt=0.2e-9)
    dd = DynamicalDecoupling(durations=durations, dd_sequence=XX)
    with pytest.raises(TranspilerError, match=r"x on qubits \[0\]"):
        dd.run(circuit_to_dag(staircase(3)))


@pytest.mark.parametrize("seconds", [-1e-7, math.nan, math.inf])
def test_invalid_target_durations_name_gate_and_qubits(seconds):
    target = Target(num_qubits=2, dt=0.2e-9)
    target.add_instruction(XGate(), {(0,): InstructionProperties(duration=40e-9),
                                     (1,): InstructionProperties(duration=seconds)})
    circuit = QuantumCircuit(2)
    circuit.x(0)
    with pytest.raises(TranspilerError, match=r"x on qubits \[1\]"):
        DynamicalDecoupling(target=target, dd_sequence=XX).run(circuit_to_dag(circuit))


def test_durations_all_in_dt_without_dt():
    # Times stay in dt; every operation of the output starts when its qubits are free (each
    # qubit padded from 0), pulses keep the alignment asked for.
    durations = _durations(160)
    assert durations.dt is None
    dd = DynamicalDecoupling(durations=durations, dd_sequence=XX, skip_reset_qubits=False,
                             pulse_alignment=16)
    dag = circuit_to_dag(staircase(3))
    out = dd.run(dag)
    assert dd.property_set["time_unit"] == "dt" and dd.property_set["dd_sequences_inserted"] > 0
    starts = dd.property_set["node_start_time"]
    index = {q: i for i, q in enumerate(out.qubits)}
    free = [0] * out.num_qubits()
    for node in out.topological_op_nodes():
        qubits = [index[q] for q in node.qargs]
        assert starts[node] == free[qubits[0]] and len({free[q] for q in qubits}) == 1
        length = (node.op.duration if node.name == "delay"
                  else durations.get(node.name, qubits, unit="dt"))
        for q in qubits:
            free[q] = starts[node] + length
    assert len(set(free)) == 1
    pulses = out.count_ops()["x"] - dag.count_ops()["x"]
    assert pulses == 2 * dd.property_set["dd_sequences_inserted"]
    assert all(starts[n] % 16 == 0 for n in out.op_nodes() if n.name == "x" and starts[n] > 0)


@pytest.mark.parametrize("duration, plain", [
    (expr.add(Duration.dt(600), Duration.dt(400)), (1000, "dt")),
    (expr.mul(Duration.ns(100), 2.0), (200, "ns")),
])
def test_constant_delay_expressions_are_delays(duration, plain):
    # A delay given as a constant expression pads exactly like the delay it evaluates to.
    backend = generic_backend(3)
    circuits = []
    for length in (duration, plain):
        circuit = staircase(3)
        if isinstance(length, tuple):
            circuit.delay(length[0], 1, unit=length[1])
        else:
            circuit.delay(length, 1)
        circuit.cx(1, 2)
        circuits.append(circuit)
    with_expr = DynamicalDecoupling(target=backend.target, skip_reset_qubits=False)
    with_plain = DynamicalDecoupling(target=backend.target, skip_reset_qubits=False)
    assert with_expr.run(circuit_to_dag(circuits[0])) == with_plain.run(circuit_to_dag(circuits[1]))
    assert (with_expr.property_set["dd_sequences_inserted"]
            == check_pass(circuits[1], target=backend.target,
                          skip_reset_qubits=False).property_set["dd_sequences_inserted"])

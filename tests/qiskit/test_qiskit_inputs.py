"""What vornak.qiskit.DynamicalDecoupling accepts, and how it refuses what it cannot use.

Bad arguments and bad durations are TranspilerErrors that say what is wrong, raised at
construction wherever the pass can know; inputs Qiskit's own scheduling accepts (durations
all in dt without a dt, constant delay expressions) are padded like any other.
"""

from __future__ import annotations

import math
import re

import pytest

pytest.importorskip("qiskit")
pytest.importorskip("vornak.qiskit")

from qiskit import QuantumCircuit  # noqa: E402
from qiskit.circuit import Duration  # noqa: E402
from qiskit.circuit.classical import expr  # noqa: E402
from qiskit.circuit.library import XGate  # noqa: E402
from qiskit.converters import circuit_to_dag  # noqa: E402
from qiskit.transpiler import (  # noqa: E402
    CouplingMap, InstructionDurations, InstructionProperties, PassManager, Target,
)
from qiskit.transpiler.exceptions import TranspilerError  # noqa: E402

from checks import check_pass, generic_backend, qiskit_start_times, staircase  # noqa: E402
from vornak.qiskit import DynamicalDecoupling, pad  # noqa: E402

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


# --------------------------------------------------------------------------------------------
# Arguments of the wrong type, in the pass and in pad()


def _pass_manager(circuit, **kwargs):
    return PassManager([DynamicalDecoupling(**kwargs)]).run(circuit)


RUNNERS = {"pass": _pass_manager, "pad": lambda circuit, **kwargs: pad(circuit, **kwargs)}


@pytest.mark.parametrize("runner", sorted(RUNNERS))
@pytest.mark.parametrize("argument, value", [
    ("target", "x"), ("target", object()), ("target", {}),
    ("durations", "x"), ("durations", object()), ("durations", {"x": 50}),
    ("durations", [("x", None, 50, "ns")]),
])
def test_wrong_typed_target_or_durations_is_named(runner, argument, value):
    kwargs = {"durations": NS} if argument == "target" else {}
    with pytest.raises(TranspilerError, match=rf"{argument} must be None or a "):
        RUNNERS[runner](staircase(3), **kwargs, **{argument: value})


@pytest.mark.parametrize("threads, error", [
    (1.5, TypeError), (2.0, TypeError), ("2", TypeError), (True, TypeError), (0, ValueError),
])
def test_pad_refuses_threads_that_are_not_a_count(threads, error):
    # Refused for one circuit as for a list, before any padding.
    for circuits in (staircase(3), [staircase(3)] * 2):
        with pytest.raises(error, match="threads"):
            pad(circuits, durations=NS, dd_sequence=XX, threads=threads)


# --------------------------------------------------------------------------------------------
# Coupled pairs outside the target or the circuit, refused like a qubit outside it


@pytest.mark.parametrize("coupling_map, pair", [
    ([(0, 7)], "(0, 7)"), ([(7, 1)], "(7, 1)"), (CouplingMap([(0, 1), (1, 5)]), "(1, 5)"),
])
def test_coupling_pairs_outside_the_target_are_refused_at_construction(coupling_map, pair):
    target = generic_backend(3).target
    words = f"coupling_map pairs qubits {pair}, but the qubits of the target are 0 to 2"
    with pytest.raises(TranspilerError, match=re.escape(words)):
        DynamicalDecoupling(target=target, coupling_map=coupling_map)


@pytest.mark.parametrize("runner", sorted(RUNNERS))
@pytest.mark.parametrize("options", [{}, {"crosstalk": False, "placement": "spread"}])
def test_coupling_pairs_outside_the_circuit_are_refused_at_run(runner, options):
    # Without a target the width is the circuit's; a pair inside it pads as before.
    with pytest.raises(TranspilerError, match=r"\(2, 3\).*circuit are 0 to 2"):
        RUNNERS[runner](staircase(3), durations=NS, dd_sequence=XX,
                        coupling_map=[(0, 1), (2, 3)], **options)
    RUNNERS[runner](staircase(3), durations=NS, dd_sequence=XX, coupling_map=[(0, 1), (1, 2)],
                    **options)


# --------------------------------------------------------------------------------------------
# Values beyond 2**53 dt, where doubles stop holding every whole number of dt


DT = 0.2e-9
DT_TABLE = [("x", None, 160, "dt"), ("cx", None, 800, "dt"), ("measure", None, 1600, "dt")]


def _with_delay(length):
    circuit = staircase(3)
    circuit.delay(length, 2, unit="dt")
    circuit.cx(1, 2)
    return circuit


def _long_wire(gates):
    circuit = staircase(3)
    for _ in range(gates):
        circuit.x(0)
    circuit.cx(0, 1)
    return circuit


@pytest.mark.parametrize("runner", sorted(RUNNERS))
@pytest.mark.parametrize("kwargs, circuit, words", [
    ({"pulse_alignment": 2**62}, staircase(3), "pulse_alignment=4611686018427387904 dt"),
    ({"acquire_alignment": 10**20}, staircase(3), "acquire_alignment=100000000000000000000 dt"),
    ({"pulse_alignment": 2**53 + 1}, staircase(3), "pulse_alignment=9007199254740993 dt"),
    ({"durations": InstructionDurations([("x", None, 1e20, "dt")] + DT_TABLE[1:], dt=DT)},
     staircase(3), r"x \(on any qubits\) is 100000000000000000000 dt"),
    ({}, _with_delay(2**62), r"delay on qubits \[2\] is 4611686018427387904 dt"),
    # Each within the bound, their sum beyond it: refused once the schedule is known.
    ({"pulse_alignment": 2**53}, staircase(3), "padded schedule"),
    ({}, _with_delay(2**53 - 100), "padded schedule"),
    # Beyond what a delay in Qiskit can hold (2**63 dt).
    ({"durations": InstructionDurations([("x", None, 2**53, "dt")] + DT_TABLE[1:], dt=DT)},
     _long_wire(1100), "padded schedule"),
])
def test_values_beyond_2_53_dt_are_refused_naming_them(runner, kwargs, circuit, words):
    kwargs = {"durations": InstructionDurations(DT_TABLE, dt=DT), **kwargs}
    with pytest.raises(TranspilerError, match=rf"{words}.*beyond 2\*\*53 dt"):
        RUNNERS[runner](circuit, dd_sequence=XX, **kwargs)


@pytest.mark.parametrize("scheduling", ["asap", "alap"])
@pytest.mark.parametrize("delay", [2**53 - 10**7, 2**53 - 2560])
def test_times_just_below_2_53_dt_are_exact_ints(scheduling, delay):
    # Times past 9e15 dt, up to 2**53 dt (the longer delay leaves no room under the native
    # writer's bound, and goes to the Python writer): both runners give them as exact ints,
    # and Qiskit's ASAP on the output finds them.
    durations = InstructionDurations(DT_TABLE, dt=DT)
    circuit = _with_delay(delay)
    kwargs = {"durations": durations, "dd_sequence": XX, "scheduling": scheduling}
    padded = pad(circuit, **kwargs)
    assert all(type(t) is int for t in padded.op_start_times)
    last_cx = max(i for i, inst in enumerate(padded.data) if inst.operation.name == "cx")
    assert padded.op_start_times[last_cx] == delay + 1760 and padded._duration == delay + 2560
    manager = PassManager([DynamicalDecoupling(**kwargs)])
    through_the_pass = manager.run(circuit)
    assert through_the_pass == padded
    assert sorted(through_the_pass.op_start_times) == sorted(padded.op_start_times)
    out = circuit_to_dag(padded)
    ours = manager.property_set["node_start_time"]
    theirs = qiskit_start_times(out, None, durations)
    assert sorted(ours.values()) == sorted(theirs.values())

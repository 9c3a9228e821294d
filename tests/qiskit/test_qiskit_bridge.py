"""The native boundary of vornak.qiskit: ``vornak._bridge.pad`` checks what it reads.

The pass always hands the bridge well-formed arguments; a call that does not (a pulse with
the wrong parameter count, a qubit outside the circuit, a tuple of the wrong shape, a length
that is not finite) must be a Python exception, never a crash. Each call runs in a child
interpreter so that a crash fails its case and not the run.
"""

from __future__ import annotations

import pytest

pytest.importorskip("qiskit")
pytest.importorskip("vornak.qiskit")

_CHILD = r"""
import json, math
from qiskit import QuantumCircuit
from qiskit.circuit.library import RXGate, XGate, CXGate
from qiskit.converters import circuit_to_dag
from qiskit.transpiler import InstructionDurations
from vornak import _bridge
from vornak.qiskit import DynamicalDecoupling, padding

circuit = QuantumCircuit(3)
circuit.x(0)
circuit.cx(0, 1)
circuit.delay(500, 2)
circuit.cx(1, 2)
dag = circuit_to_dag(circuit)
durations = InstructionDurations([("x", None, 160), ("cx", None, 800)], dt=1e-9)
calls = []
real = padding._bridge.pad
padding._bridge = type("Spy", (), {"pad": staticmethod(lambda *a: calls.append(a) or real(*a))})
DynamicalDecoupling(durations, [XGate(), XGate()], coupling_map=[(0, 1)]).run(dag)
dag_, write, table, delays, pulses, pulse_durations, couplings, options = calls[0]
RX, X, CX = (int(g._standard_gate) for g in (RXGate(0.1), XGate(), CXGate()))
nan = math.nan
base = dict(dag=dag, write=True, table=table, delays=delays, pulses=pulses,
            pulse_durations=pulse_durations, couplings=couplings, options=options)
cases = {
    "rx without its parameter": {"pulses": [(RX, ()), (RX, ())]},
    "x with a parameter": {"pulses": [(X, (1.0,)), (X, ())]},
    "no such gate": {"pulses": [(999, ()), (X, ())]},
    "two-qubit pulse": {"pulses": [(CX, ()), (CX, ())]},
    "pulse not a tuple": {"pulses": [X, X]},
    "pulse tuple too short": {"pulses": [(X,), (X,)]},
    "no pulses": {"pulses": [], "pulse_durations": [(), (), ()]},
    "coupling outside the circuit": {"couplings": [(0, 99)]},
    "coupling of three": {"couplings": [(0, 1, 2)]},
    "negative coupling": {"couplings": [(0, -1)]},
    "NaN pulse duration": {"pulse_durations": [(nan, 160.0)] * 3},
    "negative pulse duration": {"pulse_durations": [(-1.0, 160.0)] * 3},
    "pulse durations too short": {"pulse_durations": [(160.0,)] * 3},
    "pulse durations per qubit missing": {"pulse_durations": [(160.0, 160.0)]},
    "negative operation duration": {"table": {**table, "x": {(): -160.0}}},
    "infinite operation duration": {"table": {**table, "cx": {(): math.inf}}},
    "NaN delay": {"delays": {k: nan for k in delays}},
    "options a tuple": {"options": tuple(options.values())},
    "NaN alignment": {"options": {**options, "pulse_alignment": nan}},
    "negative spacing": {"options": {**options, "spacing": -1.0}},
    "option missing": {"options": {k: v for k, v in options.items() if k != "unit_dt"}},
    "unknown option": {"options": {**options, "alignment": 16.0}},
    "unknown placement": {"options": {**options, "placement": "middle"}},
    "placement a number": {"options": {**options, "placement": 2}},
    "flag not a bool": {"options": {**options, "crosstalk": 1}},
    "residues of the wrong length": {"options": {**options, "residues": (0.0,) * 5}},
    "NaN residue": {"options": {**options, "residues": (nan,) + (0.0,) * 5}},
    "residues not numbers": {"options": {**options, "residues": ("a",) * 6}},
    "residues not a sequence": {"options": {**options, "residues": 1.0}},
}
out = {}
for name, change in cases.items():
    args = {**base, **change}
    try:
        real(*args.values())
        out[name] = None
    except Exception as error:
        out[name] = type(error).__name__
# pad_circuit takes a circuit's data, nothing else.
by_position = {i: 500.0 for i, inst in enumerate(circuit.data) if inst.operation.name == "delay"}
circuit_args = [True, table, by_position, pulses, pulse_durations, couplings, options]
for name, thing in {"a DAG": dag, "a QuantumCircuit": circuit, "an object": object()}.items():
    try:
        _bridge.pad_circuit(thing, *circuit_args)
        out["pad_circuit of " + name] = None
    except Exception as error:
        out["pad_circuit of " + name] = type(error).__name__
real(*base.values())  # the well-formed call still works after all that
assert _bridge.pad_circuit(circuit._data, *circuit_args)[0]
print(json.dumps(out))
"""


def test_bad_calls_raise_and_never_crash(run_isolated):
    _, raised = run_isolated(_CHILD)
    missing = {case for case, error in raised.items() if error is None}
    assert not missing, f"accepted: {sorted(missing)}"
    assert set(raised.values()) <= {"TypeError", "ValueError", "OverflowError"}, raised

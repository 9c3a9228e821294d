"""The native boundary of vornak.qiskit: ``vornak._bridge.pad`` checks what it reads of the
pass's options and of a width's plan, field by field.

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
import dataclasses, json, math, types
from qiskit import QuantumCircuit
from qiskit.circuit.library import RXGate, XGate, CXGate
from qiskit.converters import circuit_to_dag
from qiskit.transpiler import InstructionDurations
from vornak import _bridge
from vornak.qiskit import DynamicalDecoupling
from vornak.qiskit.durations import circuit_delays, dag_delays

circuit = QuantumCircuit(3)
circuit.x(0)
circuit.cx(0, 1)
circuit.delay(500, 2)
circuit.cx(1, 2)
dag = circuit_to_dag(circuit)
durations = InstructionDurations([("x", None, 160), ("cx", None, 800)], dt=1e-9)
padding = DynamicalDecoupling(durations, [XGate(), XGate()], coupling_map=[(0, 1)]).padding
options, plan = padding.options, padding.plans.for_width(3)
delays = dag_delays(dag, options.dt, options.unit_dt)
RX, X, CX = (int(g._standard_gate) for g in (RXGate(0.1), XGate(), CXGate()))
nan = math.nan
base = dict(dag=dag, write=True, delays=delays, options=options, plan=plan)
without_unit_dt = types.SimpleNamespace(**{
    f.name: getattr(options, f.name) for f in dataclasses.fields(options) if f.name != "unit_dt"})


def in_plan(**fields):
    return {"plan": dataclasses.replace(plan, **fields)}


def in_options(**fields):
    return {"options": dataclasses.replace(options, **fields)}


cases = {
    "rx without its parameter": in_plan(pulses=[(RX, ()), (RX, ())]),
    "x with a parameter": in_plan(pulses=[(X, (1.0,)), (X, ())]),
    "no such gate": in_plan(pulses=[(999, ()), (X, ())]),
    "two-qubit pulse": in_plan(pulses=[(CX, ()), (CX, ())]),
    "pulse not a tuple": in_plan(pulses=[X, X]),
    "pulse tuple too short": in_plan(pulses=[(X,), (X,)]),
    "no pulses": in_plan(pulses=[], pulse_durations=[(), (), ()]),
    "coupling outside the circuit": in_plan(couplings=[(0, 99)]),
    "coupling of three": in_plan(couplings=[(0, 1, 2)]),
    "negative coupling": in_plan(couplings=[(0, -1)]),
    "NaN pulse duration": in_plan(pulse_durations=[(nan, 160.0)] * 3),
    "negative pulse duration": in_plan(pulse_durations=[(-1.0, 160.0)] * 3),
    "pulse durations too short": in_plan(pulse_durations=[(160.0,)] * 3),
    "pulse durations per qubit missing": in_plan(pulse_durations=[(160.0, 160.0)]),
    "negative operation duration": in_plan(table={**plan.table, "x": {(): -160.0}}),
    "infinite operation duration": in_plan(table={**plan.table, "cx": {(): math.inf}}),
    "block of none": in_plan(block=0),
    "block not a number": in_plan(block="two"),
    "phases of no whole block": in_plan(phases=(0.0,) * 3),
    "phases not one per pulse": in_plan(phases=(0.0, math.pi) * 2),
    "no phases": in_plan(phases=()),
    "NaN phase": in_plan(phases=(nan, 0.0)),
    "phases not numbers": in_plan(phases=("a",) * 2),
    "phases not a sequence": in_plan(phases=1.0),
    "noise of two parts": in_plan(noise=((1.0,) * 3, ())),
    "negative ZZ": in_plan(noise=((0.0,) * 3, ((0.0,) * 4,) * 3, ((0, 1, -1.0),))),
    "plan a dict": {"plan": dataclasses.asdict(plan)},
    "NaN delay": {"delays": {k: nan for k in delays}},
    "options a tuple": {"options": dataclasses.astuple(options)},
    "options without unit_dt": {"options": without_unit_dt},
    "NaN alignment": in_options(pulse_alignment=nan),
    "negative max_free_time": in_options(max_free_time=-1e-6),
    "infinite max_free_time": in_options(max_free_time=math.inf),
    "dt not a number": in_options(dt="1ns"),
    "negative dt": in_options(dt=-1e-9),
    "unknown placement": in_options(placement="middle"),
    "placement a number": in_options(placement=2),
    "unknown scheduling": in_options(scheduling="late"),
    "flag not a bool": in_options(crosstalk=1),
}
out = {}
for name, change in cases.items():
    args = {**base, **change}
    try:
        _bridge.pad(*args.values())
        out[name] = None
    except Exception as error:
        out[name] = f"{type(error).__name__}: {error}"
# pad_circuit_data takes a circuit's data, nothing else.
circuit_args = [True, circuit_delays(circuit, options.dt, options.unit_dt), options, plan]
for name, thing in {"a DAG": dag, "a QuantumCircuit": circuit, "an object": object()}.items():
    try:
        _bridge.pad_circuit_data(thing, *circuit_args)
        out["pad_circuit_data of " + name] = None
    except Exception as error:
        out["pad_circuit_data of " + name] = f"{type(error).__name__}: {error}"
_bridge.pad(*base.values())  # the well-formed call still works after all that
assert _bridge.pad_circuit_data(circuit._data, *circuit_args)[0]
print(json.dumps(out))
"""


def test_bad_calls_raise_and_never_crash(run_isolated):
    _, raised = run_isolated(_CHILD)
    missing = {case for case, error in raised.items() if error is None}
    assert not missing, f"accepted: {sorted(missing)}"
    kinds = {error.split(":")[0] for error in raised.values()}
    assert kinds <= {"TypeError", "ValueError", "OverflowError"}, raised
    # A bad field of the options or the plan is named in the message.
    for case, field in [("options without unit_dt", "unit_dt"), ("options a tuple", "placement"),
                        ("plan a dict", "table"), ("NaN alignment", "pulse_alignment"),
                        ("negative max_free_time", "max_free_time"), ("dt not a number", "dt"),
                        ("flag not a bool", "crosstalk"), ("block of none", "block"),
                        ("phases of no whole block", "phases"),
                        ("phases not one per pulse", "phases"),
                        ("noise of two parts", "noise")]:
        assert f"'{field}'" in raised[case] or f".{field}" in raised[case], (case, raised[case])

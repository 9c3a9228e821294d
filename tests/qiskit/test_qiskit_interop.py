"""vornak.qiskit.DynamicalDecoupling among Qiskit's own passes and machinery.

The passes that follow ours read its ``node_start_time``; a pass manager that has run is
pickled to worker processes by ``PassManager.run(..., num_processes=...)``; and a pulse gate
that subclasses a standard gate must reach the output as the user's gate.
"""

from __future__ import annotations

import copy
import math
import os
import pickle
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("qiskit")
pytest.importorskip("vornak.qiskit")

from qiskit import QuantumCircuit, transpile  # noqa: E402
from qiskit.circuit import Parameter  # noqa: E402
from qiskit.circuit.library import RXGate  # noqa: E402
from qiskit.converters import circuit_to_dag  # noqa: E402
from qiskit.transpiler import InstructionProperties, PassManager  # noqa: E402
from qiskit.transpiler.passes import ConstrainedReschedule  # noqa: E402

from checks import check_pass, generic_backend, qiskit_start_times, staircase  # noqa: E402
from vornak.qiskit import DynamicalDecoupling  # noqa: E402

pytestmark = [
    pytest.mark.filterwarnings("ignore:Duration is rounded"),
    pytest.mark.filterwarnings("ignore::DeprecationWarning"),
]


@pytest.mark.parametrize("alignment", [1, 16])
def test_constrained_reschedule_runs_after_the_pass(alignment):
    # A pass that reads node_start_time natively accepts ours and, as every start is already
    # where Qiskit's schedule puts it and pulses are aligned, moves nothing.
    backend = generic_backend(5)
    circuit = transpile(staircase(5), backend, seed_transpiler=1)
    dd = DynamicalDecoupling(target=backend.target, skip_reset_qubits=False,
                             pulse_alignment=alignment)
    pm = PassManager([dd, ConstrainedReschedule(acquire_alignment=1, pulse_alignment=1)])
    out = pm.run(circuit)
    assert pm.property_set["dd_sequences_inserted"] > 0
    dag = circuit_to_dag(out)
    asap = qiskit_start_times(dag, backend.target, None)
    assert [asap[n] for n in dag.topological_op_nodes()] == list(out.op_start_times)


def test_start_times_in_ns_are_floats_throughout():
    from qiskit.transpiler import InstructionDurations
    from qiskit.circuit.library import XGate
    durations = InstructionDurations([("x", None, 40, "ns"), ("cx", None, 300, "ns")])
    result = check_pass(staircase(3), durations=durations, dd_sequence=[XGate(), XGate()],
                        skip_reset_qubits=False)
    values = [t for _, t in result.property_set["node_start_time"].items()]
    assert values and all(type(t) is float for t in values)


def test_a_pass_that_has_run_pickles_with_its_start_times():
    backend = generic_backend(5)
    circuit = transpile(staircase(5), backend, seed_transpiler=1)
    dd = DynamicalDecoupling(target=backend.target, skip_reset_qubits=False)
    first = dd(circuit)
    starts = dd.property_set["node_start_time"]
    copy = pickle.loads(pickle.dumps(dd))
    restored = pickle.loads(pickle.dumps(starts))
    assert sorted(t for _, t in restored.items()) == sorted(t for _, t in starts.items())
    again = copy(circuit)
    assert again == first and list(again.op_start_times) == list(first.op_start_times)


_PARALLEL = """
import os, sys
sys.path.insert(0, {tests!r})
from qiskit import transpile
from qiskit.transpiler import PassManager
from qiskit.transpiler.preset_passmanagers import generate_preset_pass_manager
from checks import generic_backend, staircase
from vornak.qiskit import DynamicalDecoupling

if __name__ == "__main__":
    backend = generic_backend(5)
    circuits = [staircase(5) for _ in range(4)]
    for k, c in enumerate(circuits):
        c.x(k % 5)
    physical = [transpile(c, backend, seed_transpiler=1) for c in circuits]
    plain = PassManager([DynamicalDecoupling(target=backend.target, skip_reset_qubits=False)])
    preset = generate_preset_pass_manager(1, backend, scheduling_method="vornak_dd",
                                          seed_transpiler=1)
    for pm, inputs in ((plain, physical), (preset, circuits)):
        alone = [pm.run(c) for c in inputs]
        together = pm.run(inputs, num_processes=2)
        assert together == alone, "parallel output differs"
        assert [list(c.op_start_times) for c in together] == [list(c.op_start_times) for c in alone]
    print("ok")
"""


def test_pass_managers_that_ran_run_again_in_parallel(tmp_path):
    # Qiskit sends the pass manager, with the property set of its last run, to its workers.
    script = tmp_path / "parallel.py"
    script.write_text(textwrap.dedent(_PARALLEL.format(tests=os.path.dirname(__file__))))
    env = dict(os.environ, QISKIT_PARALLEL="TRUE", QISKIT_NUM_PROCS="2")
    proc = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                          env=env, timeout=600)
    assert proc.returncode == 0 and proc.stdout.strip().endswith("ok"), proc.stderr[-3000:]


class DDX(RXGate):
    """A pulse gate of the user's: a calibrated pi rotation about x, shorter than rx."""

    def __init__(self):
        super().__init__(math.pi)
        self.name = "ddx"


def _target_with_ddx(backend):
    target = copy.deepcopy(backend.target)
    dt = target.dt
    target.add_instruction(RXGate(Parameter("a")), {
        (q,): InstructionProperties(duration=300 * dt) for q in range(target.num_qubits)})
    target.add_instruction(DDX(), {
        (q,): InstructionProperties(duration=100 * dt) for q in range(target.num_qubits)})
    return target


def test_subclassed_standard_gate_as_the_pulse():
    # ddx lasts 100 dt, rx 300 dt. Qiskit 2.6 files a DDX node under the name rx but keeps
    # the DDX object; written natively it would be a plain rx. The output must hold the
    # user's gates, timed as ddx, with every qubit padded without a hole.
    backend = generic_backend(4)
    target = _target_with_ddx(backend)
    dd = DynamicalDecoupling(target=target, dd_sequence=[DDX(), DDX()], skip_reset_qubits=False)
    out = dd.run(circuit_to_dag(staircase(4)))
    pulses = [n.op for n in out.op_nodes() if n.op.name == "ddx"]
    assert len(pulses) == 2 * dd.property_set["dd_sequences_inserted"] > 0
    assert all(type(op) is DDX for op in pulses)
    starts = dd.property_set["node_start_time"]
    index = {q: i for i, q in enumerate(out.qubits)}
    free = [0] * out.num_qubits()
    for node in out.topological_op_nodes():
        qubits = [index[q] for q in node.qargs]
        assert all(free[q] == starts[node] for q in qubits), (node.op.name, starts[node], free)
        if node.op.name == "delay":
            length = node.op.duration
        else:
            length = round(target[node.op.name][tuple(qubits)].duration / target.dt)
        for q in qubits:
            free[q] = starts[node] + length
    assert len(set(free)) == 1


@pytest.mark.parametrize("missing", ["qiskit", "numpy"])
def test_import_without_qiskit_says_what_to_install(missing, run_isolated):
    # A wheel installed without its qiskit extra has neither Qiskit nor numpy.
    code = textwrap.dedent(f"""
        import json, sys
        sys.modules[{missing!r}] = None  # as if not installed
        try:
            import vornak.qiskit
            print(json.dumps(None))
        except ImportError as error:
            print(json.dumps(str(error)))
    """)
    _, message = run_isolated(code)
    assert message is not None and "vornak[qiskit]" in message and missing in message

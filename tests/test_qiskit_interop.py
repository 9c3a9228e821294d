"""vornak.qiskit.DynamicalDecoupling among Qiskit's own passes and machinery.

The passes that follow ours read its ``node_start_time``; a pass manager that has run is
pickled to worker processes by ``PassManager.run(..., num_processes=...)``; and a pulse gate
that subclasses a standard gate must reach the output as the user's gate.
"""

from __future__ import annotations

import os
import pickle
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("qiskit")
pytest.importorskip("vornak.qiskit")

from qiskit import QuantumCircuit, transpile  # noqa: E402
from qiskit.converters import circuit_to_dag  # noqa: E402
from qiskit.transpiler import PassManager  # noqa: E402
from qiskit.transpiler.passes import ConstrainedReschedule  # noqa: E402

from test_qiskit_pass import check_pass, generic_backend, qiskit_start_times, staircase  # noqa: E402
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
from test_qiskit_pass import generic_backend, staircase
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

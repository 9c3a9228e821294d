"""vornak.qiskit on a Dask cluster: what crosses a process boundary, and pad() mapped there.

A cluster ships the function, its arguments and its results between processes by pickling
them. These tests pickle the pass (before and after its per-width tables are built), every
kind of option and what ``pad`` returns, and check that the copies pad to the same circuits;
then they map ``pad`` over circuits on a ``LocalCluster`` of two worker processes and compare
with a local ``pad``. The cluster test is skipped where ``dask.distributed`` is missing (the
``distributed`` extra brings it).
"""

from __future__ import annotations

import os
import pickle

import pytest

pytest.importorskip("qiskit")
pytest.importorskip("vornak.qiskit")

from qiskit import QuantumCircuit, transpile  # noqa: E402
from qiskit.circuit.library import XGate, YGate  # noqa: E402
from qiskit.circuit.random import random_circuit  # noqa: E402
from qiskit.converters import circuit_to_dag, dag_to_circuit  # noqa: E402
from qiskit.transpiler import InstructionDurations, PassManager  # noqa: E402

import checks as tp  # noqa: E402
from test_qiskit_interop import DDX, _target_with_ddx  # noqa: E402
from test_qiskit_pad import assert_same_as_the_pass  # noqa: E402
from vornak.qiskit import DynamicalDecoupling, pad  # noqa: E402

pytestmark = tp.pytestmark


def circuits_for(backend, count=4, width=5):
    """Transpiled random circuits with idle gaps, different from one another."""
    out = []
    for seed in range(count):
        circuit = random_circuit(width, 6, max_operands=2, measure=True, seed=seed)
        out.append(transpile(circuit, backend, optimization_level=1, seed_transpiler=seed))
    out.append(transpile(tp.staircase(width), backend, seed_transpiler=1))
    return out


def roundtrip(value):
    return pickle.loads(pickle.dumps(value))


# Option sets that each put a different kind of object into the pass: a custom sequence,
# coupling pairs, a qubit subset, a durations table instead of a target, every placement.
DURATIONS = InstructionDurations(
    [("x", None, 50, "ns"), ("y", None, 50, "ns"), ("cx", None, 300, "ns"),
     ("sx", None, 40, "ns"), ("rz", None, 0, "ns"), ("measure", None, 1000, "ns"),
     ("reset", None, 800, "ns"), ("delay", None, 0, "ns")])
OPTION_SETS = [
    pytest.param({}, id="defaults"),
    pytest.param({"placement": "spread", "scheduling": "asap"}, id="spread-asap"),
    pytest.param({"placement": "start", "dd_sequence": [XGate(), YGate(), XGate(), YGate()],
                  "coupling_map": [(0, 1), (1, 2), (2, 3), (3, 4)], "crosstalk": True},
                 id="start-xy4-pairs"),
    pytest.param({"qubits": [0, 2, 4], "skip_reset_qubits": False}, id="qubit-subset"),
    pytest.param({"durations": DURATIONS, "target": None, "placement": "spread"},
                 id="durations-only"),
]


@pytest.mark.parametrize("options", OPTION_SETS)
def test_pickled_pass_and_arguments_pad_the_same(options):
    backend = tp.generic_backend(5)
    options = {"target": backend.target, **options}
    circuits = circuits_for(backend)
    local = pad(circuits, **options)

    # pad's arguments and its results as a worker receives and returns them.
    remote = pad(roundtrip(circuits), **roundtrip(options))
    for mine, theirs in zip(local, roundtrip(remote), strict=True):
        assert_same_as_the_pass(theirs, mine)

    # The pass itself, fresh and with the tables of a width already built.
    dd = DynamicalDecoupling(**options)
    fresh = roundtrip(dd)
    dd.padding.plans.for_width(circuits[0].num_qubits)
    warm = roundtrip(dd)
    for copy_ in (fresh, warm):
        assert (copy_.placement, copy_.scheduling, copy_.qubits) == (
            dd.placement, dd.scheduling, dd.qubits)
        out = PassManager([copy_]).run(circuits[0])
        assert_same_as_the_pass(out, local[0])


def test_pass_with_a_pulse_gate_of_its_own_pickles():
    """A sequence of the user's own gate class (pickled by reference) reaches the output of the
    copy as that class, where the same pass run locally puts it."""
    target = _target_with_ddx(tp.generic_backend(4))
    dd = DynamicalDecoupling(target=target, dd_sequence=[DDX(), DDX()], skip_reset_qubits=False)
    expected = dd.run(circuit_to_dag(tp.staircase(4)))
    copy_ = roundtrip(dd)
    assert [type(g) for g in copy_.dd_sequence] == [DDX, DDX]
    out = copy_.run(circuit_to_dag(tp.staircase(4)))
    assert dag_to_circuit(out) == dag_to_circuit(expected)
    pulses = [node.op for node in out.op_nodes() if node.op.name == "ddx"]
    assert len(pulses) == 2 * copy_.property_set["dd_sequences_inserted"] > 0
    assert all(type(op) is DDX for op in pulses)


def test_pad_on_a_local_cluster_of_two_processes():
    distributed = pytest.importorskip("distributed")
    backend = tp.generic_backend(5)
    circuits = circuits_for(backend, count=6)
    expected = pad(circuits, target=backend.target, placement="spread")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=50) as cluster, \
            distributed.Client(cluster) as client:
        pids = set(client.run(os.getpid).values())
        assert len(pids) == 2 and os.getpid() not in pids
        futures = client.map(pad, circuits, target=backend.target, placement="spread")
        padded = client.gather(futures)
    assert len(padded) == len(expected)
    for theirs, mine in zip(padded, expected, strict=True):
        assert_same_as_the_pass(theirs, mine)
    assert all(isinstance(circuit, QuantumCircuit) for circuit in padded)

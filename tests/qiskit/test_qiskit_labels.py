"""Labels and parameters on pad()'s native path: the native writer carries no labels, so they
are put back by position; its output must equal the pass's (which writes labelled circuits in
Python), labels, parameters and the rz that take no frame change included."""

from __future__ import annotations

import pytest

pytest.importorskip("qiskit")
pytest.importorskip("vornak.qiskit")

from qiskit import QuantumCircuit  # noqa: E402
from qiskit.circuit import Barrier, Delay, Parameter  # noqa: E402
from qiskit.circuit.library import RZGate, SXGate, XGate, YGate  # noqa: E402
from qiskit.transpiler import PassManager  # noqa: E402

import checks as tp  # noqa: E402
from test_qiskit_pad import assert_same_as_the_pass  # noqa: E402
from vornak.qiskit import DynamicalDecoupling, pad  # noqa: E402

pytestmark = tp.pytestmark
FAKE = pytest.importorskip("qiskit_ibm_runtime.fake_provider")
TARGET = FAKE.FakeManilaV2().target  # x, sx, rz, cx; a chain 0-1-2-3-4


def labelled_circuit():
    """Long idles ended by labelled and unlabelled rz (where a run's closing frame change can
    go), labelled gates, barriers and a delay, parameters and parameter expressions."""
    theta, phi = Parameter("θ"), Parameter("φ")
    qc = QuantumCircuit(5, 2)
    qc.append(SXGate(label="first"), [0])
    qc.rz(theta, 1)
    qc.cx(0, 1)
    qc.cx(1, 2)
    for _ in range(6):
        qc.cx(2, 3)
        qc.cx(3, 4)
    qc.append(RZGate(0.25, label="keep"), [0])  # after a long idle: takes no frame change
    qc.rz(0.5, 1)                               # after a long idle: may take one
    qc.append(RZGate(2 * theta + phi, label="expr"), [4])
    qc.append(Barrier(5, label="L0"), range(5))
    qc.append(Delay(800, "dt"), [2])
    qc.append(XGate(label="flip"), [1])
    qc.cx(0, 1)
    for _ in range(4):
        qc.cx(3, 4)
    qc.append(RZGate(phi, label="param"), [0])
    qc.append(SXGate(label="last"), [1])
    qc.measure([0, 1], [0, 1])
    return qc


def the_pass(circuit, **options):
    return PassManager([DynamicalDecoupling(target=TARGET, **options)]).run(circuit)


def assert_native(circuit, **options):
    """pad() writes `circuit` natively, not handing it to the pass on a DAG (whose writer
    writes a labelled circuit in Python)."""
    assert DynamicalDecoupling(target=TARGET, **options).padding.pad_circuit(circuit).native


XY4 = [XGate(), YGate(), XGate(), YGate()]  # Y as x between rz: runs leave the frame turned


@pytest.mark.parametrize("options", [
    {},
    {"dd_sequence": XY4},
    {"dd_sequence": XY4, "placement": "spread", "scheduling": "asap"},
    {"dd_sequence": [XGate(), XGate()], "placement": "start"},
], ids=["default", "xy4", "xy4-spread-asap", "xx-start"])
def test_labels_and_parameters_pad_natively_as_the_pass_pads_them(options):
    circuit = labelled_circuit()
    assert_native(circuit, **options)
    padded = pad(circuit, target=TARGET, **options)
    reference = the_pass(circuit, **options)
    assert_same_as_the_pass(padded, reference)  # labels too: see start_times_by_wire
    assert list(padded.parameters) == list(circuit.parameters)
    labels = sorted(i.operation.label for i in padded.data if i.operation.label)
    assert labels == ["L0", "expr", "first", "flip", "keep", "last", "param"]
    keep = next(i.operation for i in padded.data if i.operation.label == "keep")
    assert keep.params == [0.25]
    if options == {"dd_sequence": XY4}:
        # As late as possible, the rz on q0 and q1 follow long idles whose runs leave the
        # frame turned: the unlabelled one takes the closing frame change, the labelled one
        # keeps its angle (the pass's writer folds into no labelled rz).
        def angles(q):
            return [float(i.operation.params[0]) for i in padded.data
                    if i.operation.name == "rz" and padded.find_bit(i.qubits[0]).index == q
                    and not i.operation.is_parameterized()]
        assert 0.5 not in angles(1) and 0.25 in angles(0)


def test_the_same_labels_on_many_threads():
    circuits = [labelled_circuit() for _ in range(6)]
    for k, circuit in enumerate(circuits):
        circuit.append(RZGate(0.1 * k, label=f"own-{k}"), [k % 5])
    for circuit in circuits:
        assert_native(circuit)
    padded = pad(circuits, target=TARGET, threads=3)
    for circuit, out in zip(circuits, padded):
        assert_same_as_the_pass(out, the_pass(circuit))


def test_a_template_pads_natively_as_the_pass_pads_it():
    samplomatic = pytest.importorskip("samplomatic")
    from qiskit import transpile
    from samplomatic.transpiler import generate_boxing_pass_manager

    backend = FAKE.FakeManilaV2()
    qc = QuantumCircuit(4)
    qc.h(0)
    for _ in range(3):
        qc.cx(1, 2)
        qc.cx(2, 3)
    qc.cx(0, 1)
    qc.measure_all()
    isa = transpile(qc, backend, optimization_level=1, seed_transpiler=1)
    template, _ = samplomatic.build(
        generate_boxing_pass_manager(twirling_strategy="active").run(isa))
    for options in ({}, {"dd_sequence": XY4}):
        assert_native(template, **options)
        padded = pad(template, target=TARGET, **options)
        assert_same_as_the_pass(padded, the_pass(template, **options))
        assert padded.num_parameters == template.num_parameters > 0
        assert padded.count_ops()["x"] > template.count_ops().get("x", 0)

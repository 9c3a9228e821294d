"""The frame change that closes a run, folded into the circuit's own rz.

With the default X, X̄, X̄, X on a device without ``r``, a gap of 2 (or 6, 10, ...) pulses
leaves its qubit's frame turned by π, which an rz(π) at the run's end turns back. Where the
next operation written on that qubit is an rz of a real angle θ, both writers write one
rz(θ + π) instead. What could break: exactness (global phase included), a parameterised or
labelled rz taken in, a fold across another run or at the circuit's edges, the Python writer
or the dynamic path writing otherwise than the native writer.
"""

from __future__ import annotations

import math

import pytest

pytest.importorskip("qiskit")
pytest.importorskip("vornak.qiskit")

from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister  # noqa: E402
from qiskit.circuit import Parameter  # noqa: E402
from qiskit.circuit.library import RZGate, SXGate  # noqa: E402
from qiskit.converters import circuit_to_dag, dag_to_circuit  # noqa: E402
from qiskit.quantum_info import Operator  # noqa: E402
from qiskit.transpiler import InstructionDurations, PassManager  # noqa: E402
from test_dynamic_native import assert_identical  # noqa: E402
from checks import python_written, run_both_writers  # noqa: E402

from padding_paths import use_native  # noqa: E402
from vornak.qiskit import DynamicalDecoupling, pad  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

DURATIONS = InstructionDurations(
    [("x", None, 40), ("sx", None, 40), ("rz", None, 0), ("cx", None, 200),
     ("measure", None, 800), ("reset", None, 800)],
    dt=1e-9,
)
THETA = 0.3
# Qubit 1's sx that keep qubit 0 waiting between two cx: a gap of 2, 4 and 6 pulses on it.
WAIT = {2: 40, 4: 150, 6: 300}


def waiting(pulses, rz=lambda c: c.rz(THETA, 0)):
    """Qubit 0 idle between two cx while qubit 1 works; `rz` writes what ends its wait."""
    c = QuantumCircuit(2)
    c.x(0)
    c.cx(0, 1)
    for _ in range(WAIT[pulses]):
        c.sx(1)
    rz(c)
    c.sx(0)
    c.cx(0, 1)
    return c


def on_qubit(circuit, q, names=("x", "rz")):
    """(name, angle or None) of the instructions on qubit `q` named in `names`, in order."""
    found = []
    for instruction in circuit.data:
        op = instruction.operation
        if op.name in names and circuit.find_bit(instruction.qubits[0]).index == q:
            angle = op.params[0] if op.name == "rz" else None
            found.append((op.name, angle if not isinstance(angle, float) else round(angle, 9)))
    return found


def assert_exact(padded, circuit):
    assert Operator(padded) == Operator(circuit)  # global phase included


@pytest.mark.parametrize("pulses, folded", [(2, True), (4, False), (6, True)])
def test_a_closing_frame_change_goes_into_the_next_rz(pulses, folded):
    circuit = waiting(pulses)
    padded = pad(circuit, durations=DURATIONS)
    assert_exact(padded, circuit)
    through_pass = PassManager([DynamicalDecoupling(durations=DURATIONS)]).run(circuit)
    assert through_pass == padded
    ours = on_qubit(padded, 0)
    assert ours.count(("x", None)) == pulses + 1
    pi = round(math.pi, 9)
    # X, X̄ cycle: a frame change where the phase changes; the closing one only after X̄.
    frames = [angle for name, angle in ours if name == "rz"]
    assert len(frames) == pulses // 2 + 1  # the input's rz among them
    if folded:
        assert frames[-2:] == [-pi, round(THETA + math.pi, 9)]
    else:
        assert frames[-2:] == [pi, round(THETA, 9)]


def test_the_python_writer_folds_as_the_native_one():
    circuit = QuantumCircuit(3)
    circuit.x(0)
    circuit.cx(0, 1)
    for _ in range(WAIT[2]):
        circuit.sx(1)
        circuit.sx(2)
    circuit.rz(THETA, 0)
    circuit.rz(-1.25, 2)
    circuit.cx(0, 1)
    circuit.cx(1, 2)
    _, native = run_both_writers(circuit, durations=DURATIONS)  # the same DAG both ways
    padded = dag_to_circuit(native)
    assert ("rz", round(THETA + math.pi, 9)) in on_qubit(padded, 0)
    assert on_qubit(padded, 2) == [("rz", -1.25)]  # no run before it: left as it is
    assert_exact(padded, circuit)


def test_a_parameterised_rz_takes_in_no_frame_change():
    a = Parameter("a")
    circuit = waiting(2, lambda c: c.rz(a, 0))
    padded = pad(circuit, durations=DURATIONS)
    frames = [angle for name, angle in on_qubit(padded, 0) if name == "rz"]
    assert frames[-2:] == [round(math.pi, 9), a]
    assert_exact(padded.assign_parameters({a: 0.7}), circuit.assign_parameters({a: 0.7}))
    _, native = run_both_writers(circuit, durations=DURATIONS)
    assert dag_to_circuit(native) == padded


def test_a_labelled_rz_keeps_its_angle_and_label_in_the_python_writer():
    circuit = waiting(2, lambda c: c.append(RZGate(THETA, label="mine"), [0]))
    padded = pad(circuit, durations=DURATIONS)  # a label: the Python writer
    rz = [i.operation for i in padded.data if i.operation.name == "rz"]
    assert rz[-1].label == "mine" and rz[-1].params == [THETA]
    assert rz[-2].params == [math.pi]
    assert_exact(padded, circuit)
    # A label elsewhere: the Python writer, which folds as the native one.
    labelled = waiting(2)
    labelled.append(SXGate(label="other"), [1])
    plain = waiting(2)
    plain.sx(1)
    python = pad(labelled, durations=DURATIONS)
    native = pad(plain, durations=DURATIONS)
    assert on_qubit(python, 0) == on_qubit(native, 0)
    assert python.op_start_times == native.op_start_times
    assert_exact(python, labelled)


def test_rz_at_the_edges_of_the_circuit():
    # First on its qubit: the run in its initial wait (not skipped here) folds into it.
    first = QuantumCircuit(2)
    for _ in range(WAIT[2]):
        first.sx(1)
    first.rz(THETA, 0)
    first.cx(0, 1)
    padded = pad(first, durations=DURATIONS, skip_reset_qubits=False)
    assert on_qubit(padded, 0)[-1] == ("rz", round(THETA + math.pi, 9))
    assert_exact(padded, first)
    # Last on its qubit, as soon as possible: the run after it, to the circuit's end, has no
    # rz to go into (as late as possible, the rz would wait at the end, after the run).
    last = QuantumCircuit(2)
    last.x(0)
    last.cx(0, 1)
    last.rz(THETA, 0)
    for _ in range(WAIT[2]):
        last.sx(1)
    padded = pad(last, durations=DURATIONS, scheduling="asap")
    ours = on_qubit(padded, 0)
    assert ours[1] == ("rz", round(THETA, 9)) and ours[-1] == ("rz", round(math.pi, 9))
    assert_exact(padded, last)


def test_the_dynamic_path_folds_as_the_python_padder(monkeypatch):
    qr, cr = QuantumRegister(2), ClassicalRegister(1)
    circuit = QuantumCircuit(qr, cr)
    circuit.x(0)
    circuit.measure(0, 0)
    with circuit.if_test((cr[0], 1)):
        body = waiting(2)
        for instruction in body.data:
            circuit.append(instruction.operation, [qr[body.find_bit(q).index]
                                                   for q in instruction.qubits])
    results = {}
    for native in (False, True):
        use_native(monkeypatch, native)
        results[native] = pad(circuit, durations=DURATIONS)
    assert_identical(results[False], results[True])
    body = next(i.operation for i in results[True].data if i.operation.name == "if_else")
    inner = body.blocks[0]
    assert on_qubit(inner, 0)[-1] == ("rz", round(THETA + math.pi, 9))


def test_the_python_writer_folds_where_the_native_writer_does():
    # Qubit 0 waits twice: before its rz, where the run's closing frame change goes into the
    # rz, and at the circuit's end, where no rz comes next and the run closes with its own.
    circuit = waiting(2)
    for _ in range(WAIT[2]):
        circuit.sx(1)
    dd = DynamicalDecoupling(durations=DURATIONS)
    native = dag_to_circuit(dd.run(circuit_to_dag(circuit)))
    written, _ = python_written(dd, circuit_to_dag(circuit))
    python = dag_to_circuit(written)
    assert_identical(python, native)
    ours = on_qubit(python, 0)
    assert ("rz", round(THETA + math.pi, 9)) in ours and ("rz", THETA) not in ours
    assert ours[-1] == ("rz", round(math.pi, 9)) and ours[-2] == ("x", None)
    assert_exact(python, circuit)

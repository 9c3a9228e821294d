"""The frames the pass turns its runs by: first-order pulse errors of runs that end inside
the default sequence's cycle (a lone X-X̄ pair) cancel along the circuit where its gates
carry them from one run to the next, and nothing else changes.

Every inserted pulse is given the error of a real pulse (over-rotated by ε, or driven off
resonance by a fraction f of its Rabi frequency), its ``rz`` frame changes exact; the padded
circuit is compared with the input as an ``Operator``.
"""

from __future__ import annotations

import itertools
import math

import numpy as np
import pytest

pytest.importorskip("qiskit")
pytest.importorskip("vornak.qiskit")

from qiskit import QuantumCircuit  # noqa: E402
from qiskit.circuit.library import RGate, RXGate, SXGate, XGate, YGate  # noqa: E402
from qiskit.converters import dag_to_circuit  # noqa: E402
from qiskit.quantum_info import Operator, random_unitary  # noqa: E402
from checks import check_pass, fake_backend  # noqa: E402
from test_qiskit_robust import reduced_input, with_over_rotated_pulses  # noqa: E402

from vornak.qiskit.sequence import pulse_phases, written_pulse  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

SIGMA = (np.array([[0, 1], [1, 0]], dtype=complex), np.array([[0, -1j], [1j, 0]]),
         np.array([[1, 0], [0, -1]], dtype=complex))


def pulse(phi, eps=0.0, f=0.0):
    axis = np.array([math.cos(phi), math.sin(phi), f]) / math.hypot(1.0, f)
    angle = math.pi * (1 + eps) * math.hypot(1.0, f)
    return (math.cos(angle / 2) * np.eye(2)
            - 1j * math.sin(angle / 2) * sum(a * s for a, s in zip(axis, SIGMA)))


def first_order_error(phases, eps=0.0, f=0.0, step=1e-6):
    """The norm of the first-order error (per unit ε or f) of π pulses of `phases`, after a
    frame change that makes their ideal product the identity up to a global phase."""
    def error(scale):
        noisy = ideal = np.eye(2, dtype=complex)
        for phi in phases:
            noisy = pulse(phi, eps * scale, f * scale) @ noisy
            ideal = pulse(phi) @ ideal
        return noisy @ ideal.conj().T
    return float(np.linalg.norm(error(step) - error(-step)) / (2 * step))


def test_no_pair_of_pi_pulses_cancels_both_errors_and_four_do():
    phases = [k * math.pi / 12 for k in range(24)]
    for a, b in itertools.product(phases, phases):
        over = first_order_error((a, b), eps=1.0)
        off = first_order_error((a, b), f=1.0)
        assert max(over, off) > 0.5, (a, b)
    # X-X̄ cancels the over-rotation, X-X the tilt; X X̄ X̄ X both, and 4f is the pair's tilt.
    assert first_order_error((0, math.pi), eps=1.0) < 1e-6
    assert first_order_error((0, 0), f=1.0) < 1e-6
    assert first_order_error((0, math.pi, math.pi, 0), eps=1.0) < 1e-6
    assert first_order_error((0, math.pi, math.pi, 0), f=1.0) < 1e-6
    assert math.isclose(first_order_error((0, math.pi), f=1.0), 4 / math.sqrt(2), rel_tol=1e-4)


@pytest.mark.parametrize("names, supported, expected", [
    # X, X̄, X̄, X as the device's gates, or X̄ as x between frame changes of π.
    (("x", "xb", "xb", "x"), {"x", "r", "rz"}, (0, math.pi, math.pi, 0)),
    (("x", "xb", "xb", "x"), {"x", "rz"}, (0, math.pi, math.pi, 0)),
    # Y as x turned by π/2; Ȳ, RGate(π, −π/2), as its own phase.
    (("y", "yb"), {"x", "rz"}, (math.pi / 2, -math.pi / 2)),
    (("y", "yb"), {"y", "r"}, (math.pi / 2, -math.pi / 2)),
    # RX(−π) is X̄: a negative angle turns the axis by π.
    (("rx-", "x"), {"rx", "x"}, (math.pi, 0)),
    # A pulse of no known phase: no frames for any run.
    (("x", "sx"), {"x", "sx", "rz"}, None),
])
def test_pulse_phases(names, supported, expected):
    gates = {"x": XGate(), "xb": RGate(math.pi, math.pi), "y": YGate(),
             "yb": RGate(math.pi, -math.pi / 2), "rx-": RXGate(-math.pi), "sx": SXGate()}
    got = pulse_phases([written_pulse(gates[n], supported) for n in names])
    if expected is None:
        assert got is None
    else:
        assert got == pytest.approx(expected, abs=1e-12)


def idle_twice(between):
    """One qubit in superposition, idle twice long enough for one pulse pair each, with
    `between` (a function of the circuit) between the waits, and back again at the end."""
    circuit = QuantumCircuit(2)
    circuit.sx(0)
    circuit.sx(1)
    circuit.delay(480, 0)
    between(circuit)
    circuit.delay(480, 0)
    circuit.sx(0)
    return circuit


def padded(circuit, backend="FakeTorino", **options):
    target = fake_backend(backend).target
    return dag_to_circuit(check_pass(circuit, target=target, **options).out)


def error_of(circuit, out, eps=0.0, f=0.0):
    erred, pulses = with_over_rotated_pulses(circuit, out, eps, off_resonance=f)
    ideal = Operator(reduced_input(circuit)).data
    return float(np.linalg.norm(Operator(erred).data - ideal)), pulses


@pytest.mark.parametrize("name, between", [
    ("rz", lambda c: c.rz(0.7, 0)),
    ("sx, rz", lambda c: (c.sx(0), c.rz(1.1, 0))),
    # Y_0 becomes Y_0 Z_1 at the first CZ and Y_0 again at the second.
    ("cz, cz", lambda c: (c.cz(0, 1), c.cz(0, 1))),
    # Many single-qubit gates in a row, composed before they are applied to the errors.
    ("a chain of sx and rz", lambda c: [(c.sx(0), c.rz(0.3 + k, 0)) for k in range(5)]),
    # A string of two qubits turned on one of its qubits between the gates that make and
    # undo it.
    ("cz, rz rz, cz", lambda c: (c.cz(0, 1), c.rz(0.9, 0), c.rz(0.4, 1), c.rz(0.5, 0),
                                 c.cz(0, 1))),
])
def test_lone_pairs_cancel_through_the_gates_between(name, between):
    circuit = idle_twice(between)
    out = padded(circuit, qubits=[0])
    assert sum(1 for i in out.data if i.operation.name == "x") == 4, "two runs of a pair each"
    # First order gone: halving f quarters the error. Each pair alone leaves 4f.
    big, _ = error_of(circuit, out, f=0.02)
    small, _ = error_of(circuit, out, f=0.01)
    assert big < 0.02 and small < 0.3 * big, (big, small)
    # The over-rotation still cancels within each pair, and with ideal pulses it is exact.
    assert error_of(circuit, out, eps=0.05)[0] < 1e-9
    assert Operator(out) == Operator(circuit)
    # X-X̄ pairs all alike (no frames: the sequence leaves a tilt of its own) add up instead.
    plain = padded(circuit, qubits=[0], dd_sequence=[XGate(), RGate(math.pi, math.pi)])
    assert error_of(circuit, plain, f=0.02)[0] > 0.05


def pulse_times(out, pass_result):
    times = pass_result.property_set["node_start_time"]
    return sorted((out.find_bit(node.qargs[0]).index, t) for node, t in times.items()
                  if node.op.name == "x")


@pytest.mark.parametrize("backend", ["FakeTorino", "FakeSherbrooke"])
def test_frames_keep_pulse_times_and_exactness_on_random_circuits(backend):
    """Frames change phases only: the pulses sit where X-X̄ blocks put them (the same
    toggling signs), and the output stays the input with its global phase."""
    from qiskit import transpile

    rng = np.random.default_rng(5)
    target = fake_backend(backend).target
    checked = 0
    for trial in range(4):
        circuit = QuantumCircuit(4)
        for _ in range(12):
            a, b = rng.choice(4, size=2, replace=False)
            if rng.random() < 0.5:
                circuit.unitary(random_unitary(2, seed=int(rng.integers(1 << 30))), [int(a)])
            else:
                circuit.cx(int(a), int(b))
            if rng.random() < 0.3:
                circuit.delay(16 * int(rng.integers(12, 190)), int(a))
        physical = transpile(circuit, target=target, optimization_level=1, seed_transpiler=trial,
                             initial_layout=[0, 1, 2, 3])
        result = check_pass(physical, target=target)
        out = dag_to_circuit(result.out)
        plain_result = check_pass(physical, target=target,
                                  dd_sequence=[XGate(), RGate(math.pi, math.pi)])
        plain = dag_to_circuit(plain_result.out)
        assert pulse_times(out, result) == pulse_times(plain, plain_result)
        assert Operator(reduced_input(out)) == Operator(reduced_input(physical))
        # Turned or not, every pair cancels an over-rotation (told apart from the circuit's
        # own x gates only where it has none).
        if "x" not in physical.count_ops():
            assert error_of(physical, out, eps=0.05)[0] < 1e-8
            checked += 1
    assert checked > 0 or backend != "FakeTorino"  # ECR circuits come with x gates

"""Robust sequences, read from the circuit the pass writes.

Every inserted pulse is given the error a real pulse has, a rotation by π(1 + ε) about its
axis, with its ``rz`` frame changes exact (they are virtual on the device). The default
sequence (X, X̄, X̄, X in blocks of two) must then still be the identity on every qubit,
whatever ε: the padded circuit equals the input as an ``Operator``. X-X must not: its error
adds up pulse by pulse.
"""

from __future__ import annotations

import math

import numpy as np
import pytest

pytest.importorskip("qiskit")
pytest.importorskip("vornak.qiskit")

from qiskit import QuantumCircuit, transpile  # noqa: E402
from qiskit.converters import dag_to_circuit  # noqa: E402
from qiskit.circuit.library import (  # noqa: E402
    RGate, RXGate, RYGate, RZGate, UnitaryGate, XGate, YGate,
)
from qiskit.quantum_info import Operator  # noqa: E402
from qiskit.transpiler import InstructionDurations  # noqa: E402
from qiskit.transpiler.exceptions import TranspilerError  # noqa: E402
from checks import check_pass, fake_backend, generic_backend  # noqa: E402

from vornak.qiskit import DynamicalDecoupling  # noqa: E402
from vornak.qiskit.sequence import identity_block, pulse_phase, written_pulse  # noqa: E402

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")


def pulse_with_errors(eps, off_resonance=0.0):
    """A π pulse about x over-rotated by `eps` and off resonance by `off_resonance` of its
    Rabi frequency (axis tilted towards z, angle π(1 + ε)·sqrt(1 + f²)), as a gate."""
    if not off_resonance:
        return RXGate(math.pi * (1 + eps))
    f = off_resonance
    norm = math.hypot(1.0, f)
    angle = math.pi * (1 + eps) * norm
    generator = (np.array([[f, 1], [1, -f]], dtype=complex)) / norm
    return UnitaryGate(math.cos(angle / 2) * np.eye(2) - 1j * math.sin(angle / 2) * generator)


def with_over_rotated_pulses(circuit, out, eps, off_resonance=0.0):
    """`out` (the padded `circuit`) without delays, measurements and barriers, every x it adds
    to `circuit` made RX(π(1 + ε)) (tilted by `off_resonance`: `pulse_with_errors`); its
    gates on the qubits `circuit` uses, in order."""
    expected = {}
    for instruction in circuit.data:
        if instruction.operation.name in ("delay", "barrier", "measure"):
            continue
        for q in instruction.qubits:
            expected.setdefault(circuit.find_bit(q).index, []).append(instruction.operation.name)
    used = sorted(expected)
    local = {q: i for i, q in enumerate(used)}
    reduced = QuantumCircuit(len(used), global_phase=out.global_phase)
    position = {q: 0 for q in used}
    pulses = 0
    for instruction in out.data:
        name = instruction.operation.name
        qubits = [out.find_bit(q).index for q in instruction.qubits]
        if name in ("delay", "barrier", "measure") or not set(qubits) <= set(used):
            continue
        own = all(position[q] < len(expected[q]) and expected[q][position[q]] == name
                  for q in qubits)
        if name == "x" and not own:
            # X = i·RX(π): the ideal pulse's phase, so that ε = 0 gives the padded circuit.
            reduced.append(pulse_with_errors(eps, off_resonance), [local[qubits[0]]])
            reduced.global_phase += math.pi / 2
            pulses += 1
            continue
        if own:
            for q in qubits:
                position[q] += 1
        reduced.append(instruction.operation, [local[q] for q in qubits])
    return reduced, pulses


def reduced_input(circuit):
    used = sorted({circuit.find_bit(q).index for inst in circuit.data
                   if inst.operation.name not in ("delay", "barrier", "measure")
                   for q in inst.qubits})
    local = {q: i for i, q in enumerate(used)}
    out = QuantumCircuit(len(used), global_phase=circuit.global_phase)
    for inst in circuit.data:
        if inst.operation.name in ("delay", "barrier", "measure"):
            continue
        out.append(inst.operation, [local[circuit.find_bit(q).index] for q in inst.qubits])
    return out


@pytest.fixture(scope="module")
def transpiled_circuits():
    backend = fake_backend("FakeSherbrooke")
    circuits = {}
    ghz = QuantumCircuit(5)
    ghz.h(0)
    for q in range(4):
        ghz.cx(q, q + 1)
    ghz.delay(4000, range(5), unit="dt")
    for q in reversed(range(4)):
        ghz.cx(q, q + 1)
    ghz.h(0)
    circuits["ghz-wait"] = ghz
    qft = QuantumCircuit(4)
    qft.h(range(4))
    for a in range(4):
        for b in range(a + 1, 4):
            qft.cp(math.pi / 2 ** (b - a), a, b)
    circuits["qft"] = qft
    return backend, {name: transpile(c, backend, optimization_level=1, seed_transpiler=1)
                     for name, c in circuits.items()}


@pytest.mark.parametrize("name", ["ghz-wait", "qft"])
@pytest.mark.parametrize("placement", ["walsh", "spread"])
def test_over_rotated_pulses_still_cancel_in_the_default_sequence(transpiled_circuits, name,
                                                                  placement):
    backend, circuits = transpiled_circuits
    circuit = circuits[name]
    result = check_pass(circuit, target=backend.target, placement=placement)
    out = result.out
    out = dag_to_circuit(out)
    target = Operator(reduced_input(circuit))
    exact, pulses = with_over_rotated_pulses(circuit, out, 0.0)
    assert pulses > 0 and Operator(exact).equiv(target)
    assert Operator(exact) == target  # the global phase too
    for eps in (0.01, 0.03, -0.2):
        erred, _ = with_over_rotated_pulses(circuit, out, eps)
        assert Operator(erred).equiv(target), f"ε = {eps}"
    # X-X at the same places: each pair is RX(2πε), so the circuit is no longer the input.
    plain = dag_to_circuit(check_pass(circuit, target=backend.target, placement=placement,
                                      dd_sequence=[XGate(), XGate()]).out)
    erred, same_count = with_over_rotated_pulses(circuit, plain, 0.03)
    assert same_count == pulses
    assert not Operator(erred).equiv(target)


@pytest.mark.parametrize("gate, phase", [
    (XGate(), 0.0), (YGate(), math.pi / 2), (RGate(math.pi, math.pi), math.pi),
    (RGate(-math.pi, 0.0), math.pi), (RXGate(-math.pi), math.pi), (RXGate(math.pi), 0.0),
    (RYGate(-math.pi), -math.pi / 2), (RGate(math.pi, 0.3), 0.3),
    (RXGate(math.pi / 2), None), (RZGate(math.pi), None),
])
def test_pulse_phase_reads_the_axis_from_the_gate_kind(gate, phase):
    got = pulse_phase(gate)
    assert (got is None) == (phase is None)
    if phase is not None:
        assert math.isclose(math.remainder(got - phase, 2 * math.pi), 0.0, abs_tol=1e-12)
        # Written as x between frames, it is the π rotation about (cos φ, sin φ, 0) up to a
        # global phase: the same unitary as the gate.
        written = QuantumCircuit(1)
        for g in written_pulse(gate, {"x", "rz"}):
            written.append(g, [0])
        assert Operator(written).equiv(Operator(gate))


def test_a_pulse_the_device_cannot_make_is_refused():
    with pytest.raises(TranspilerError, match="not supported"):
        written_pulse(RXGate(math.pi / 2), {"x", "rz"})
    with pytest.raises(TranspilerError, match="not supported"):
        written_pulse(YGate(), {"x"})  # no rz to turn the frame
    assert [g.name for g in written_pulse(YGate(), {"x", "y", "rz"})] == ["y"]


@pytest.mark.parametrize("sequence, block", [
    ([XGate(), XGate()], 2),
    ([XGate(), RGate(math.pi, math.pi), RGate(math.pi, math.pi), XGate()], 2),
    ([XGate(), YGate(), XGate(), YGate()], 4),  # X·Y is Z: no shorter block
    ([XGate(), XGate(), YGate(), YGate()], 2),  # X·X = Y·Y = I
    ([XGate(), RGate(math.pi, math.pi), XGate(), XGate()], 4),  # −I then I: phases differ
])
def test_the_planner_counts_blocks_that_are_each_the_identity(sequence, block):
    written = [written_pulse(g, {"x", "rz"}) for g in sequence]
    got, phase = identity_block(written)
    # Each block is e^{iφ}·I with the same φ, and b is the shortest such length.
    assert got == block
    for first in range(0, len(written), got):
        product = QuantumCircuit(1)
        for pulse in written[first:first + got]:
            for g in pulse:
                product.append(g, [0])
        assert Operator(product) == Operator(QuantumCircuit(1, global_phase=phase))


def test_default_sequence_is_robust_and_written_with_x_and_rz():
    for target in (generic_backend(2).target, fake_backend("FakeSherbrooke").target):
        dd = DynamicalDecoupling(target=target)
        assert [pulse_phase(g) for g in dd.dd_sequence] == pytest.approx(
            [0.0, math.pi, math.pi, 0.0])
        assert dd.padding.options.block == 2
        assert {g.name for pulse in dd.padding.options.written for g in pulse} == {"x", "rz"}


def idle_beside(build):
    """Qubit 0 idles 0 .. 800 ns while qubit 1 runs two 400-ns gates that `build(circuit)` adds
    (with qubit 2); then cx(0, 1). Only qubit 0 has room for pulses (X-X, no bound on the free
    time; the others' x takes 400 ns).
    Returns the centres of qubit 0's pulses, in ns."""
    names = ["rz", "z", "s", "t", "p", "sx", "x", "h", "cz", "cp", "cx", "ecr", "rzz", "crz"]
    durations = InstructionDurations(
        [(n, None, 400, "ns") for n in names] + [("x", [0], 20, "ns"), ("cx", [0, 1], 100, "ns")])
    circuit = QuantumCircuit(3)
    build(circuit)
    circuit.cx(0, 1)
    result = check_pass(circuit, durations=durations, dd_sequence=[XGate(), XGate()],
                        coupling_map=[(0, 1), (1, 2)], skip_reset_qubits=False,
                        max_free_time=None)
    return sorted((s + e) / 2 for q, s, e in result.pulses if q == 0)


def two(gate):
    return lambda c: [gate(c) for _ in range(2)]


@pytest.mark.parametrize("build, turns", [
    (two(lambda c: c.rz(0.3, 1)), False),
    (two(lambda c: c.z(1)), False),
    (two(lambda c: c.s(1)), False),
    (two(lambda c: c.t(1)), False),
    (two(lambda c: c.p(0.2, 1)), False),
    (two(lambda c: c.cz(1, 2)), False),
    (two(lambda c: c.cp(0.4, 2, 1)), False),
    (two(lambda c: c.rzz(0.4, 1, 2)), False),
    (two(lambda c: c.crz(0.4, 2, 1)), False),
    (two(lambda c: c.cx(1, 2)), False),  # qubit 1 is the control
    (two(lambda c: c.cx(2, 1)), True),   # qubit 1 is the target
    (two(lambda c: c.sx(1)), True),
    (two(lambda c: c.x(1)), True),
    (two(lambda c: c.h(1)), True),
    (two(lambda c: c.ecr(1, 2)), True),  # its echo flips the control's frame
    (two(lambda c: c.ecr(2, 1)), True),
])
def test_a_neighbours_gate_cuts_the_idle_time_only_where_it_turns_its_frame(build, turns):
    # Qubit 1's frame stays put through a gate that commutes with its Z: qubit 0's 800 ns
    # are one part, X-X centred at its middle and, closing it, at its end (both half a pulse
    # early). A gate that turns the frame flips it at its middle (200 and 600): three parts,
    # one pulse each and a closing one, and over the whole wait the ZZ with qubit 1,
    # ∫ s_0·f_1, vanishes.
    centres = idle_beside(build)
    if not turns:
        assert centres == pytest.approx([390.0, 790.0])
        return
    assert len(centres) == 4
    flips = sorted(centres + [200.0, 600.0])
    signs, integral, t = 1, 0.0, 0.0
    for flip in flips + [800.0]:
        integral += signs * (flip - t)
        signs, t = -signs, flip
    assert abs(integral) < 1e-6

"""What the pass needs to know of a DD sequence: its phase, how each pulse is written on the
device (a phase-shifted pulse as the device's ``x`` between ``rz`` frame changes), and how the
native writer emits it."""

from __future__ import annotations

from collections.abc import Sequence

import math

import numpy as np
from qiskit.circuit import Gate
from qiskit.circuit.library import RGate, RXGate, RYGate, RZGate, XGate, YGate
from qiskit.transpiler.exceptions import TranspilerError


def identity_phase(sequence: Sequence[Gate]) -> float:
    """The phase φ of a sequence whose product is e^{iφ}·I; refuses any other sequence."""
    product = np.eye(2, dtype=complex)
    for gate in sequence:
        try:
            matrix = np.asarray(gate.to_matrix(), dtype=complex)
        except Exception as error:  # unbound parameters, no matrix
            raise TranspilerError(
                f"The DD sequence {[g.name for g in sequence]} has no matrix: {error}"
            ) from error
        product = matrix @ product
    phase = complex(product[0, 0])
    if abs(abs(phase) - 1) > 1e-9 or not np.allclose(product, phase * np.eye(2), atol=1e-9):
        raise TranspilerError(
            f"The DD sequence {[g.name for g in sequence]} is not the identity "
            "up to a global phase."
        )
    angle = float(np.angle(phase))
    return 0.0 if abs(angle) < 1e-12 else angle


def _product(gates) -> np.ndarray:
    product = np.eye(2, dtype=complex)
    for gate in gates:
        product = np.asarray(gate.to_matrix(), dtype=complex) @ product
    return product


def identity_block(pulses: Sequence[Sequence[Gate]]) -> tuple[int, float]:
    """(b, φ): the shortest length b that cuts the sequence of written `pulses` into blocks
    that are each e^{iφ}·I, with the same φ; the whole sequence where no shorter one does.

    The planner counts pulses in blocks, so a sequence may stop after any whole block and
    still be the identity. X, X̄, X̄, X is two blocks of two (each −I), so a gap takes any even
    number of its pulses, and its pulses still cycle through all four phases.
    """
    n = len(pulses)
    for b in range(1, n + 1):
        if n % b:
            continue
        phases = []
        for first in range(0, n, b):
            product = _product([g for pulse in pulses[first:first + b] for g in pulse])
            phase = complex(product[0, 0])
            if abs(abs(phase) - 1) > 1e-9 or not np.allclose(product, phase * np.eye(2),
                                                               atol=1e-9):
                break
            phases.append(float(np.angle(phase)))
        else:
            if all(abs(math.remainder(x - phases[0], 2 * math.pi)) < 1e-9 for x in phases):
                return b, 0.0 if abs(phases[0]) < 1e-12 else phases[0]
    raise TranspilerError("The DD sequence is not the identity up to a global phase.")


def native_pulse(gate: Gate):
    """(standard gate number, parameters) where the native writer can emit the gate.

    A subclass of a standard gate (a pulse gate of the user's, say) is not one: the native
    writer would emit the plain standard gate in its place.
    """
    standard = getattr(gate, "_standard_gate", None)
    if standard is None or gate.label is not None or gate.base_class is not standard.gate_class:
        return None
    try:
        params = tuple(float(p) for p in gate.params)
    except TypeError:
        return None
    return (int(standard), params)


def pulse_phase(gate: Gate) -> float | None:
    """The phase φ of the π pulse `gate` stands for, a rotation by π about the axis
    (cos φ, sin φ, 0), or None for any other gate.

    The matrix alone cannot tell: a π pulse about −x is the same unitary as one about x up to a
    global phase, but over-rotates the other way. So the gate's kind says it: ``x`` is φ = 0,
    ``y`` π/2, ``RGate(π, φ)`` φ, ``RXGate(-π)`` π (X̄), ``RYGate(-π)`` −π/2; a negative angle
    turns the axis by π.
    """
    kind = getattr(gate, "base_class", type(gate))
    if kind is XGate:
        return 0.0
    if kind is YGate:
        return math.pi / 2
    kinds = {RGate: None, RXGate: 0.0, RYGate: math.pi / 2}
    if kind not in kinds:
        return None
    try:
        params = [float(p) for p in gate.params]
    except TypeError:
        return None
    theta = params[0]
    axis = params[1] if kind is RGate else kinds[kind]
    if abs(abs(theta) - math.pi) > 1e-12:
        return None
    if theta < 0:
        axis += math.pi
    return math.remainder(axis, 2 * math.pi)


def written_pulse(gate: Gate, supported) -> tuple[Gate, ...]:
    """The gates that make the pulse `gate` on a device whose operations `supported` names:
    the gate itself where the device has it, else a π pulse of phase φ (`pulse_phase`) as
    ``rz(-φ)``, ``x``, ``rz(φ)`` (RZ(φ)·X·RZ(−φ) is the π pulse about (cos φ, sin φ, 0), up to
    a global phase; ``rz`` is a frame change of no duration on IBM devices); a TranspilerError
    where neither works."""
    if gate.name in supported:
        return (gate,)
    phase = pulse_phase(gate)
    if phase is None or "x" not in supported or "rz" not in supported:
        raise TranspilerError(f"{gate.name} in dd_sequence is not supported in the target")
    if phase == 0.0:
        return (XGate(),)
    return (RZGate(-phase), XGate(), RZGate(phase))


def default_sequence(supported) -> list[Gate]:
    """`robust_sequence` where the device can turn a pulse's frame (it has ``rz``), else X-X."""
    if "rz" in supported or "r" in supported:
        return robust_sequence()
    return [XGate(), XGate()]


def robust_sequence() -> list[Gate]:
    """The default DD sequence: X, X̄, X̄, X, where X̄ is a π pulse about −x (the universally
    robust sequence of four pulses), in blocks of two (`identity_block`).

    Each pair X-X̄ or X̄-X is the identity even when every pulse over-rotates by the same
    angle, RX(−π(1+ε))·RX(π(1+ε)) = I, where X-X gives RX(2πε) and the error adds up with
    the pulse count. A frequency offset during the pulses tilts both axes towards z alike,
    which X-X̄ does not undo but X̄-X, its mirror, does to first order: the four together
    cancel both errors. A gap takes any even number of pulses, as with X-X, so robustness
    costs no pulses; where a gap ends on a lone pair, the pass turns its pulses' phases so
    that its tilt cancels those of the qubit's other gaps (`pulse_phases`). On devices
    without ``r``, X̄ is written as ``rz(-π) x rz(π)``.
    """
    x_bar = RGate(math.pi, math.pi)
    return [XGate(), x_bar, x_bar, XGate()]


def pulse_frame(pulse: Sequence[Gate]) -> tuple[Gate, float]:
    """The gate a written `pulse` (see `written_pulse`) plays and the phase φ of the frame
    changes rz(-φ) and rz(φ) around it, 0 where it has none."""
    return pulse[len(pulse) // 2], float(pulse[-1].params[0]) if len(pulse) > 1 else 0.0


def pulse_phases(pulses: Sequence[Sequence[Gate]]) -> tuple[float, ...] | None:
    """The phase φ of each of the written `pulses` (see `written_pulse`), a π pulse about
    (cos φ, sin φ, 0): the gate's own (`pulse_phase`), turned by the frame changes around it;
    None where a pulse is no π pulse of known phase.

    The bridge finds from them the first-order errors the pulses leave after each whole block,
    which the pass's frames for the runs cancel where they can.
    """
    phases = []
    for pulse in pulses:
        gate, frame = pulse_frame(pulse)
        phase = pulse_phase(gate)
        if phase is None:
            return None
        phases.append(phase + frame)
    return tuple(phases)


def native_written(pulse: Sequence[Gate]):
    """(standard gate number, parameters[, frame]) where the native writer can emit the
    written `pulse` (see `written_pulse`): the gate, or x with the phase φ of its frame
    changes rz(-φ) and rz(φ) around it; None where it cannot."""
    if len(pulse) == 1:
        return native_pulse(pulse[0])
    native = native_pulse(pulse[1])
    if native is None:
        return None
    return (*native, float(pulse[2].params[0]))

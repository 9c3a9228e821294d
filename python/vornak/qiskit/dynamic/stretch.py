"""Sequences of stretch delays for qubits that idle while control flow runs, and the counts of
a dynamic circuit's padding.

Qubits that a control-flow operation does not touch, and that are in use before it and after
it, idle for a time not known at compile time. With ``around_control_flow="stretch"`` each
gets a sequence whose delays are one Qiskit ``stretch`` per colour of the coupling among
them, ``delay(a) P delay(2a) P ... P delay(a)``, beside the control-flow operations and
closed by a barrier over them all, so that the device stretches the sequence over the time
the operations take. Coupled idle qubits get patterns of b, 2b, 4b, ... pulses (b the
sequence's shortest identity block: 2 for the default and X-X), which are mutually
orthogonal: their ZZ is refocused with their detuning. With the device's calibration the
colours are chosen by what the pulses cost and the ZZ refocuses (`calibrated`): where the ZZ
is weak the qubits take the plain pattern of b pulses, and a qubit whose pulses cost more
than any idle time would make them pay takes none.
"""

from __future__ import annotations

import dataclasses
import math
import uuid

from qiskit.circuit import Barrier, CircuitInstruction, Delay
from qiskit.circuit.classical import expr
from qiskit.circuit.library import GlobalPhaseGate, RZGate

from vornak.qiskit.sequence import pulse_frame

_STRETCHES = uuid.UUID("6f1c2a53-2d0e-4b8e-9a57-1f3c0d6e8b21")  # namespace of our stretches


@dataclasses.dataclass
class Counts:
    """Blocks of the sequence inserted into a dynamic circuit's timed blocks, gaps that got
    none, and blocks of the sequence in stretch sequences."""

    inserted: int = 0
    dropped: int = 0
    stretches: int = 0


class StretchSequences:
    """Writes stretch sequences of `pulses` (each a tuple of gates as the device makes the
    pulse), of which every `block` in a row are the identity with the global phase `phase`,
    on qubits coupled as `couplings` says; counts them in `counts`. `rz` says whether the
    device has ``rz``, which carries a phase of π where a break_loop or continue_loop may
    skip a sequence (see `phase_here`). `choice` (a `calibrated.CalibratedChoice`, or None
    for the greedy colouring's orthogonal patterns) chooses which qubits take a sequence and
    of which colour."""

    def __init__(self, pulses, block: int, phase: float, couplings, counts: Counts,
                 rz: bool = False, choice=None):
        self.pulses = pulses
        self.choice = choice
        self.block = block
        self.phase = phase
        self.counts = counts
        self.rz = rz
        self.neighbours: dict[int, set[int]] = {}
        for a, b in couplings:
            if a != b:
                self.neighbours.setdefault(a, set()).add(b)
                self.neighbours.setdefault(b, set()).add(a)
        self._names = 0

    def write(self, around, boundary, body, out, times, physical, leaving=False) -> None:
        """Sequences on the `around` physical qubits (qubit i of `body` is physical[i]),
        beside the `boundary` operations, closed with them by a barrier, appended to `out`
        with start times 0 in `times`; each sequence's phase correction is where the
        sequence is (`phase_here`) where `leaving`: a break_loop or continue_loop may leave
        the body before them."""
        qubit_of = {p: body.qubits[i] for i, p in enumerate(physical)}
        block = self.block
        boundary_number = self._names
        self._names += 1
        if self.choice is None:
            groups = self.colours(around)
        else:
            groups = self.choice.colours(around, boundary, body, physical, self.neighbours,
                                         block)
            if not groups:
                return
        late = 0.0  # phase corrections no gate on a qubit carries, for after the barrier
        for colour, members in groups.items():
            # A name (boundary, colour) and an identifier of their own, the same on every run.
            name = f"_dd_stretch_{boundary_number}_{colour}"
            a = expr.Stretch(uuid.uuid5(_STRETCHES, name), name)
            out.add_stretch(a)
            twice = expr.mul(2, a)
            # b, 2b, 4b, ... pulses (b a block of the sequence): mutually orthogonal square waves
            count = block << colour
            # The operations of one qubit's sequence, which every member's shares.
            sequence = self.sequence(count, Delay(a), Delay(twice))
            append = out._data.append
            correction = -(count // block) * self.phase
            gate = self.phase_gate(correction) if leaving else None
            for q in members:
                bit = (qubit_of[q],)
                for operation in sequence:
                    append(CircuitInstruction(operation, bit, ()))
                times.extend([0] * len(sequence))
                if not leaving:
                    out.global_phase += correction
                elif gate is not None and gate.num_qubits:  # after the sequence's last delay
                    append(CircuitInstruction(gate, bit, ()))
                    times.append(0)
                elif gate is not None:
                    late += correction
                self.counts.stretches += count // block
        bits = []
        for instruction in boundary:
            bits.extend(b for b in instruction.qubits if b not in bits)
        taking = {q for members in groups.values() for q in members}
        bits.extend(qubit_of[q] for q in around if q in taking)
        out._append(CircuitInstruction(Barrier(len(bits)), bits, ()))
        times.append(0)
        times.extend([0] * self.phase_here(out, late, None))

    def sequence(self, count: int, edge: Delay, inside: Delay) -> list:
        """`count` pulses of the sequence with `edge` before the first and after the last and
        `inside` between two. A phase-shifted pulse is x between frame changes rz(-φ) and
        rz(φ); those of two pulses merge into one, rz(φ - φ'), which stands in the middle of
        the time between them (`inside` cut in two edges), and the first and the last stand
        beyond the edges: delays part every frame change from the pulses, so that a later
        resynthesis of single-qubit runs cannot merge rz(-φ)·x·rz(φ) back into x."""
        n = len(self.pulses)
        out, frame = [], 0.0
        for j in range(count):
            gate, phase = pulse_frame(self.pulses[j % n])
            if j == 0:
                if phase != 0.0:
                    out.append(RZGate(-phase))
                out.append(edge)
            elif phase != frame:
                out.extend((edge, RZGate(frame - phase), edge))
            else:
                out.append(inside)
            out.append(gate)
            frame = phase
        out.append(edge)
        if frame != 0.0:
            out.append(RZGate(frame))
        return out

    def phase_here(self, out, phase: float, qubit) -> int:
        """Appends to `out` the gate of `phase_gate(phase)`, on `qubit` where it has one, and
        returns how many instructions it appended (0 or 1).

        In a body that a break_loop or continue_loop may leave early, the phase correction
        of the sequences after that point goes there instead of into the body's global
        phase, which would count on the path that leaves too, where they never run."""
        operation = self.phase_gate(phase)
        if operation is None:
            return 0
        out._append(CircuitInstruction(operation, (qubit,) if operation.num_qubits else (), ()))
        return 1

    def phase_gate(self, phase: float):
        """A gate of no duration that is e^{i phase}·I: None for no phase, rz(2π) (-I) for
        π where the device has rz, else a GlobalPhaseGate (no qubits)."""
        turn = math.remainder(phase, 2 * math.pi)
        if abs(turn) < 1e-12:
            return None
        if self.rz and abs(abs(turn) - math.pi) < 1e-12:
            return RZGate(2 * math.pi)
        return GlobalPhaseGate(turn)

    def colours(self, qubits: list[int]) -> dict[int, list[int]]:
        """A greedy colouring of the coupling among `qubits`, as {colour: qubits}."""
        colour: dict[int, int] = {}
        members = set(qubits)
        for q in qubits:
            taken = {colour[p] for p in self.neighbours.get(q, ()) if p in members and p in colour}
            c = 0
            while c in taken:
                c += 1
            colour[q] = c
        grouped: dict[int, list[int]] = {}
        for q in qubits:
            grouped.setdefault(colour[q], []).append(q)
        return grouped

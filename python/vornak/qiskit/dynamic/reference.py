"""Dynamic circuits padded in Python: the reference the native path is held against, and
the path for what Qiskit's C API cannot carry (labels, times in ns or beyond 2**53 dt,
``around_control_flow="widen"``).

It cuts a circuit into blocks (`blocks.levels`) and pads each block as a static circuit of the
device's width; the control-flow operations between blocks get their bodies padded in turn
(nesting), and the qubits that idle around them what ``around_control_flow`` says:

- ``"stretch"``: stretch sequences (`stretch`);
- ``"widen"``: the control-flow operation takes them in (the first operation of the level,
  where several run side by side), so that their idle time inside each body is padded like
  the rest of the body. They can no longer run anything else meanwhile, and the time outside
  the bodies (the decision's latency) stays unpadded;
- ``"idle"``: they are left as they are.
"""

from __future__ import annotations

import math
from collections.abc import Callable

from qiskit.circuit import (
    Barrier,
    CircuitInstruction,
    ControlFlowOp,
    Qubit,
    QuantumCircuit,
)

from vornak.qiskit.dynamic.blocks import levels
from vornak.qiskit.dynamic.stretch import StretchSequences


class DynamicPadder:
    """Pads a circuit with control flow in Python, block by block and body by body.

    `pad_static(circuit)` pads a static circuit of the device's width and returns
    ``(padded, start_times, inserted, dropped)``; `allowed(q)` says whether physical qubit q
    may take pulses; `stretches` writes the sequences beside control flow (``around`` is
    ``"stretch"``) and holds the counts.
    """

    def __init__(self, width: int, pad_static: Callable, allowed: Callable[[int], bool],
                 stretches: StretchSequences, around: str):
        self.width = width
        self.pad_static = pad_static
        self.allowed = allowed
        self.stretches = stretches
        self.counts = stretches.counts
        self.around = around

    # The top level: the circuit's qubits are the device's.

    def pad(self, circuit: QuantumCircuit) -> tuple[QuantumCircuit, list]:
        """The padded circuit and the start time of each of its instructions in its block
        (0 for the operations between blocks)."""
        physical = list(range(circuit.num_qubits))
        out, times, _ = self._pad_body(circuit, physical, set(), top=True)
        return out, times

    def _pad_body(self, body: QuantumCircuit, physical: list[int], active: set[int],
                  top: bool = False):
        """`body` (qubit i on physical qubit physical[i]) padded; `active` (physical qubits
        not in their initial state) is updated to what holds after it."""
        out = body.copy_empty_like()
        out.global_phase = body.global_phase
        times: list = []
        cut = levels(body)
        local = {bit: i for i, bit in enumerate(body.qubits)}
        last_level = self._last_levels(cut, local, physical) if top else None
        for k, level in enumerate(cut):
            if level.block:
                # Qubits in use before the block and in it or after it: their idle time
                # before their first operation in the block is not the initial state.
                live = [q for q in physical if q in active
                        and (last_level is None or last_level.get(q, -1) >= k)]
                self._pad_block(level.block, body, out, times, physical, local, active, live,
                                top)
            if level.boundary:
                self._boundary(level.boundary, k, body, out, times, physical, local, active,
                               last_level)
        return out, times, active

    def _last_levels(self, cut, local, physical) -> dict[int, float]:
        """The last level at which each physical qubit has an operation, or infinity where
        that operation is not a readout (its state still matters after it)."""
        last: dict[int, float] = {}
        for k, level in enumerate(cut):
            for instruction in level.block + level.boundary:
                readout = instruction.name in ("measure", "reset")
                for bit in instruction.qubits:
                    last[physical[local[bit]]] = k if readout else math.inf
        return last

    def _pad_block(self, block, body, out, times, physical, local, active, marked,
                   top) -> None:
        """One block, planned natively as a static circuit of the device's width (`top`:
        `body` is the device-wide circuit itself)."""
        if top:
            sub = body.copy_empty_like(vars_mode="drop")
            sub.global_phase = 0
            device = sub.qubits
        else:
            sub = QuantumCircuit(self.width)
            sub.add_bits(body.clbits)
            device = sub.qubits
        # A barrier at t = 0 on the `marked` qubits: the native planner counts the time
        # before a qubit's first operation as its initial state, which these are not in.
        if marked:
            sub._append(CircuitInstruction(Barrier(len(marked)), [device[q] for q in marked], ()))
        if top:
            for instruction in block:
                sub._data.append(instruction)
        else:
            for instruction in block:
                qubits = [device[physical[local[bit]]] for bit in instruction.qubits]
                sub._append(instruction.replace(qubits=qubits))
        padded, start_times, inserted, dropped = self.pad_static(sub)
        self.counts.inserted += inserted
        self.counts.dropped += dropped
        out.global_phase += padded.global_phase
        data = padded._data
        start_times = list(start_times)
        if marked:  # the marker: the first barrier on exactly the marked qubits
            marker = {padded.qubits[q] for q in marked}
            for i in range(len(data)):
                instruction = data[i]
                if (instruction.name == "barrier" and len(instruction.qubits) == len(marked)
                        and set(instruction.qubits) == marker):
                    data.pop(i)
                    del start_times[i]
                    break
        if top:
            out._data.native_extend(data)
            times.extend(start_times)
        else:
            back = {padded.qubits[p]: body.qubits[i] for i, p in enumerate(physical)}
            clbits = dict(zip(padded.clbits, body.clbits))
            for instruction, start in zip(data, start_times):
                try:
                    qubits = [back[bit] for bit in instruction.qubits]
                except KeyError:
                    continue  # a delay on a device qubit outside the body
                out._append(instruction.replace(
                    qubits=qubits, clbits=[clbits[bit] for bit in instruction.clbits]))
                times.append(start)
        for instruction in block:
            resets = instruction.name == "reset"
            for bit in instruction.qubits:
                q = physical[local[bit]]
                if resets:
                    active.discard(q)
                elif instruction.name not in ("barrier", "delay"):
                    active.add(q)

    def _boundary(self, boundary, k, body, out, times, physical, local, active,
                  last_level) -> None:
        """The control-flow operations (and classical stores) that end block `k`."""
        touched = set()
        for instruction in boundary:
            touched.update(physical[local[bit]] for bit in instruction.qubits)
        around = [
            q for q in physical
            if q in active and q not in touched and self.allowed(q)
            and (last_level is None or last_level.get(q, -1) > k)
        ]
        widen = around if self.around == "widen" else []
        for instruction in boundary:
            operation = instruction.operation
            if not isinstance(operation, ControlFlowOp):
                out._append(instruction)
                times.append(0)
                continue
            qubits = list(instruction.qubits)
            inner = [physical[local[bit]] for bit in qubits]
            extra = []
            if widen:
                extra = [body.qubits[physical.index(q)] for q in widen]
                inner += widen
                qubits += extra
                widen = []
            before = set(active)
            blocks = []
            after = set(active)
            for block in operation.blocks:
                if extra:
                    block = _widened(block, len(extra))
                entering = set(before)
                padded, _, left = self._pad_body(block, inner, entering)
                after |= left
                blocks.append(padded)
            active.clear()
            active.update(after)
            out._append(CircuitInstruction(operation.replace_blocks(blocks), qubits,
                                           instruction.clbits))
            times.append(0)
        if self.around == "stretch" and around:
            self.stretches.write(around, boundary, body, out, times, physical)


def _widened(body: QuantumCircuit, extra: int) -> QuantumCircuit:
    """`body` with `extra` more qubits, on which it does nothing."""
    out = body.copy_empty_like()
    out.add_bits([Qubit() for _ in range(extra)])
    for instruction in body.data:
        out._append(instruction)
    return out

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
    Delay,
    Qubit,
    QuantumCircuit,
)
from qiskit.transpiler.exceptions import TranspilerError

from vornak.qiskit.dynamic.blocks import Level, box_name, fixed_length, leaves_early, levels
from vornak.qiskit.dynamic.stretch import StretchSequences


class DynamicPadder:
    """Pads a circuit with control flow in Python, block by block and body by body.

    `pad_static(circuit)` pads a static circuit of the device's width and returns
    ``(padded, start_times, inserted, dropped)``; it also pads a circuit one qubit wider than
    the device, whose last qubit takes no pulses (it holds a box's length). `allowed(q)` says
    whether physical qubit q may take pulses; `stretches` writes the sequences beside control
    flow (``around`` is ``"stretch"``), the phase corrections after a possible early exit
    from a loop, and holds the counts. `length_of(operation)` is the fixed duration of a box
    in the pass's unit (dt where `unit_dt`, else ns), else None; `grid` is a multiple of
    both start grids, in dt.
    """

    def __init__(self, width: int, pad_static: Callable, allowed: Callable[[int], bool],
                 stretches: StretchSequences, around: str,
                 length_of: Callable = lambda operation: None, unit_dt: bool = True,
                 grid: int = 1):
        self.width = width
        self.pad_static = pad_static
        self.allowed = allowed
        self.stretches = stretches
        self.counts = stretches.counts
        self.around = around
        self.unit_dt = unit_dt
        self.grid = grid if unit_dt else 1
        self.length_of = length_of

    @classmethod
    def of(cls, padding, plan, stretches: StretchSequences) -> DynamicPadder:
        """The padder of circuits of `plan`'s width with `padding` (a
        :class:`~vornak.qiskit.padding.Padding`), whose static circuits it pads."""
        options = padding.options
        width = len(plan.pulse_durations)

        def pad_static(sub):
            # A block of a box of fixed duration has one more qubit, which holds its length.
            wider = padding.plans.for_width(width, spare=True) if sub.num_qubits > width else plan
            padded = padding.pad_circuit(sub, wider)
            return padded.out, padded.out._op_start_times, padded.inserted, padded.dropped

        return cls(width, pad_static, plan.takes_pulses, stretches, options.around_control_flow,
                   length_of=lambda operation: fixed_length(options, operation),
                   unit_dt=options.unit_dt,
                   grid=math.lcm(options.pulse_alignment, options.acquire_alignment))

    # The top level: the circuit's qubits are the device's.

    def pad(self, circuit: QuantumCircuit) -> tuple[QuantumCircuit, list]:
        """The padded circuit and the start time of each of its instructions in its block
        (0 for the operations between blocks)."""
        physical = list(range(circuit.num_qubits))
        out, times, _ = self._pad_body(circuit, physical, set(), top=True)
        return out, times

    def _pad_body(self, body: QuantumCircuit, physical: list[int], active: set[int],
                  top: bool = False, box=None):
        """`body` (qubit i on physical qubit physical[i]) padded; `active` (physical qubits
        not in their initial state) is updated to what holds after it. `box`: (the box
        operation, its length) where the body is that of a box of fixed length, which it
        then lasts."""
        out = body.copy_empty_like()
        out.global_phase = body.global_phase
        times: list = []
        cut = levels(body)
        if box is not None and not cut:
            cut = [Level()]  # an empty body lasts the box's length too
        if box is not None and (len(cut) > 1 or cut[0].boundary):
            raise TranspilerError(
                f"{box_name(box[0], physical)} lasts {box[0].duration} {box[0].unit}, but its "
                "body holds control flow, or a reset with operations after it, whose length "
                "is not known at compile time.")
        local = {bit: i for i, bit in enumerate(body.qubits)}
        last_level = self._last_levels(cut, local, physical) if top else None
        leaving = False  # whether a break_loop or continue_loop may have left the body
        for k, level in enumerate(cut):
            if level.block or box is not None:
                # Qubits in use before the block and in it or after it: their idle time
                # before their first operation in the block is not the initial state.
                live = [q for q in physical if q in active
                        and (last_level is None or last_level.get(q, -1) >= k)]
                self._pad_block(level.block, body, out, times, physical, local, active, live,
                                top, leaving, box)
            if level.boundary:
                leaving = leaving or any(leaves_early(i.operation) for i in level.boundary)
                self._boundary(level.boundary, k, body, out, times, physical, local, active,
                               last_level, leaving)
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
                   top, leaving=False, box=None) -> None:
        """One block, planned natively as a static circuit of the device's width (`top`:
        `body` is the device-wide circuit itself); its phase correction where the block is
        (`phase_here`) where `leaving`. `box`: (operation, length) of a box whose body the
        block is, which then lasts that length (see `_static_block`); a delay on each of the
        body's qubits takes it the rest of the way, too short for a pulse."""
        sub = self._static_block(block, body, physical, local, marked, top, box)
        padded, start_times, inserted, dropped = self.pad_static(sub)
        need = padded._duration if box is not None else None
        if box is not None:
            if need > box[1] and not math.isclose(need, box[1], rel_tol=1e-12):
                unit = "dt" if self.unit_dt else "ns"
                raise TranspilerError(
                    f"{box_name(box[0], physical)} lasts {box[0].duration} {box[0].unit}, but "
                    f"its body needs {need:g} {unit}.")
        self.counts.inserted += inserted
        self.counts.dropped += dropped
        if not leaving:
            out.global_phase += padded.global_phase
        data = padded._data
        start_times = list(start_times)
        if marked and box is None:  # the marker: the first barrier on exactly the marked qubits
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
            self._write_back(padded, start_times, body, out, times, physical, leaving)
            if box is not None and need < box[1] and not math.isclose(need, box[1],
                                                                      rel_tol=1e-12):
                rest = self._delay(box[1] - need)
                for bit in out.qubits:
                    out._append(CircuitInstruction(rest, (bit,), ()))
                    times.append(need)
        for instruction in block:
            resets = instruction.name == "reset"
            for bit in instruction.qubits:
                q = physical[local[bit]]
                if resets:
                    active.discard(q)
                elif instruction.name not in ("barrier", "delay"):
                    active.add(q)

    def _static_block(self, block, body, physical, local, marked, top, box) -> QuantumCircuit:
        """The static circuit of the device's width that pads `block`, with a barrier at
        t = 0 on the `marked` qubits: the native planner counts the time before a qubit's
        first operation as its initial state, which these are not in. For a box's body, a
        delay of the box's length (down to the start grids, which an as-late-as-possible
        schedule ends on) on one more qubit, which takes no pulses, ends the static circuit
        there (the marker spans that qubit too, before the delay, which holds it at t = 0 as
        late as possible too)."""
        if top:
            sub = body.copy_empty_like(vars_mode="drop")
            sub.global_phase = 0
        else:
            sub = QuantumCircuit(self.width + (box is not None))
            sub.add_bits(body.clbits)
        device = sub.qubits
        spare = [device[self.width]] if box is not None else []
        if marked:
            sub._append(CircuitInstruction(Barrier(len(marked) + len(spare)),
                                           [device[q] for q in marked] + spare, ()))
        if spare:
            on_grid = box[1] - box[1] % self.grid if self.unit_dt else box[1]
            wait = self._delay(on_grid)
            sub._append(CircuitInstruction(wait, spare, ()))
            # The body's qubits that the block leaves alone wait (in their initial state,
            # or they would be marked).
            busy = set(marked)
            busy.update(physical[local[bit]] for instruction in block for bit in instruction.qubits)
            for q in physical:
                if q not in busy:
                    sub._append(CircuitInstruction(wait, [device[q]], ()))
        if top:
            for instruction in block:
                sub._data.append(instruction)
        else:
            for instruction in block:
                qubits = [device[physical[local[bit]]] for bit in instruction.qubits]
                sub._append(instruction.replace(qubits=qubits))
        return sub

    def _write_back(self, padded, start_times, body, out, times, physical, leaving) -> None:
        """The padded static circuit's instructions back onto the body's qubits (a delay on a
        device qubit outside the body is left out), with the block's phase correction before
        them where `leaving`."""
        back = {padded.qubits[p]: body.qubits[i] for i, p in enumerate(physical)}
        clbits = dict(zip(padded.clbits, body.clbits))
        first = True
        for instruction, start in zip(padded._data, start_times):
            try:
                qubits = [back[bit] for bit in instruction.qubits]
            except KeyError:
                continue
            if first and leaving:
                times.extend([0] * self.stretches.phase_here(out, padded.global_phase, qubits[0]))
            first = False
            out._append(instruction.replace(
                qubits=qubits, clbits=[clbits[bit] for bit in instruction.clbits]))
            times.append(start)

    def _boundary(self, boundary, k, body, out, times, physical, local, active,
                  last_level, leaving=False) -> None:
        """The control-flow operations (and classical stores) that end block `k`; `leaving`:
        whether a break_loop or continue_loop may leave the body before the stretch
        sequences beside them."""
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
            length = self.length_of(operation)
            box = None if length is None else (operation, length)
            for block in operation.blocks:
                if extra:
                    block = _widened(block, len(extra))
                entering = set(before)
                padded, _, left = self._pad_body(block, inner, entering, box=box)
                after |= left
                blocks.append(padded)
            active.clear()
            active.update(after)
            out._append(CircuitInstruction(operation.replace_blocks(blocks), qubits,
                                           instruction.clbits))
            times.append(0)
        if self.around == "stretch" and around:
            self.stretches.write(around, boundary, body, out, times, physical, leaving)

    def _delay(self, length: float) -> Delay:
        """A delay of `length` in the pass's unit (see `fixed_length`)."""
        return Delay(int(length), "dt") if self.unit_dt else Delay(length, "ns")


def _widened(body: QuantumCircuit, extra: int) -> QuantumCircuit:
    """`body` with `extra` more qubits, on which it does nothing."""
    out = body.copy_empty_like()
    out.add_bits([Qubit() for _ in range(extra)])
    for instruction in body.data:
        out._append(instruction)
    return out

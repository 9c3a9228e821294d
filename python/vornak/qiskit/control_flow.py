"""Dynamic circuits: the block model, and the padding of blocks and control-flow bodies.

A circuit with control flow is cut into timed *blocks*, as IBM's dynamic-circuit hardware
runs it (and as qiskit-ibm-runtime's scheduler models it):

- A control-flow operation ends the timed block; a reset ends it on its qubits (the
  operations after the reset go to the next block), as the device performs a reset as a
  measurement and a conditional X. The time between two blocks (the measurement's result
  reaching the controller, the classical decision, the branch itself) is not known at
  compile time.
- Each block, and each body of a control-flow operation, is scheduled from its own t = 0
  with the pass's scheduling and padded by the native planner as a static circuit: the
  same placement, the same grids, on the physical qubits the body maps to with the
  device's coupling among them. A body is cut into blocks in its turn (nesting).
- An operation goes into the earliest block its wires allow: an operation listed after a
  control-flow operation but sharing no qubit, clbit or variable with it (nor with
  anything after it) stays in the block before it.
- A break_loop or continue_loop ends the block like control flow. What follows it in its
  loop's body may not run, so the phase correction of the sequences there is carried by
  a gate beside them, not by the body's global phase (`DynamicPadder.phase_here`).
- A box of fixed duration lasts it: its body is one block, scheduled inside it, whose
  idle time up to the box's end is padded like any other.

Qubits that a control-flow operation does not touch, and that are in use before it and
after it, idle for a time not known at compile time. ``around`` chooses what they do:

- ``"stretch"``: a sequence whose delays are one Qiskit ``stretch`` per colour of the
  coupling among them, ``delay(a) P delay(2a) P ... P delay(a)``, beside the control-flow
  operations and closed by a barrier over them all, so that the device stretches the
  sequence over the time the operations take. Coupled idle qubits get patterns of b, 2b,
  4b, ... pulses (b the sequence's shortest identity block: 2 for the default and X-X),
  which are mutually orthogonal: their ZZ is refocused with their detuning.
- ``"widen"``: the control-flow operation takes them in (the first operation of the
  level, where several run side by side), so that their idle time inside each body is
  padded like the rest of the body. They can no longer run anything else meanwhile, and
  the time outside the bodies (the decision's latency) stays unpadded.
- ``"idle"``: they are left as they are.
"""

from __future__ import annotations

import copy
import dataclasses
import math
import uuid
from collections.abc import Callable

from qiskit.circuit import (
    Barrier,
    BoxOp,
    BreakLoopOp,
    CircuitInstruction,
    ClassicalRegister,
    Clbit,
    ContinueLoopOp,
    ControlFlowOp,
    Delay,
    ForLoopOp,
    Qubit,
    QuantumCircuit,
    Store,
    WhileLoopOp,
)
from qiskit.circuit.classical import expr
from qiskit.circuit.library import GlobalPhaseGate, RZGate
from qiskit.transpiler.exceptions import TranspilerError

from vornak.qiskit.durations import checked, to_unit

AROUND = ("stretch", "widen", "idle")
DEFAULT_AROUND = "stretch"
_STRETCHES = uuid.UUID("6f1c2a53-2d0e-4b8e-9a57-1f3c0d6e8b21")  # namespace of our stretches
# Whether circuits the C API can read are padded natively (dynamic_native), else all here.
_NATIVE = True


# -- the block model -------------------------------------------------------------------------


@dataclasses.dataclass
class Level:
    """The operations of one timed block and the control-flow operations that end it."""

    block: list = dataclasses.field(default_factory=list)  # CircuitInstructions
    boundary: list = dataclasses.field(default_factory=list)  # control flow, classical stores


def levels(circuit: QuantumCircuit) -> list[Level]:
    """The circuit cut into blocks: each instruction in the earliest block its wires allow.

    Wires are qubits, clbits and classical variables. A control-flow operation (or a
    classical store) on a wire ends the block there; a reset ends it on its qubits after
    it. Beside its qubits and clbits, a control-flow operation's wires are the clbits and
    variables its condition or target reads and the variables its bodies use; a store's,
    the clbits (a register's all) and variables it writes and reads, which Qiskit keeps in
    its expressions, not among its clbits. These are the wires of Qiskit's DAG, so that the
    cut is the same in any order the DAG allows, and the operations that end a block, which
    share no wire, go in the order of their first wire (qubits, then clbits, then variables
    by name): the same whether the circuit comes as it was built or through a DAG.
    """
    ready: dict = {}  # wire -> the first level an instruction on it may take
    found: list[Level] = []
    ranks: list[list] = []  # by level: the order key of each boundary instruction
    for instruction in circuit._data:
        # break_loop and continue_loop leave the body: they end the block like control flow.
        control_flow = instruction.is_control_flow() or isinstance(
            instruction.operation, _LEAVES)
        boundary = control_flow or not instruction.qubits
        wires = instruction.qubits + instruction.clbits
        if boundary:
            wires += tuple(boundary_wires(circuit, instruction.operation))
        level = max([ready.get(w, 0) for w in wires], default=0)
        while len(found) <= level:
            found.append(Level())
            ranks.append([])
        if boundary:
            found[level].boundary.append(instruction)
            ranks[level].append(min((_rank(circuit, w) for w in wires), default=(3,)))
            after = level + 1
        else:
            found[level].block.append(instruction)
            after = level + 1 if instruction.name == "reset" else level
        for w in wires:
            ready[w] = after
    for level, keys in zip(found, ranks):
        if len(keys) > 1:
            order = sorted(range(len(keys)), key=keys.__getitem__)
            level.boundary = [level.boundary[i] for i in order]
    return found


_LEAVES = (BreakLoopOp, ContinueLoopOp)


def leaves_early(operation) -> bool:
    """Whether `operation` may leave the loop body it is in before the body's end: a
    break_loop or continue_loop, or control flow holding one (not inside a loop of its own,
    whose body it leaves instead)."""
    if isinstance(operation, _LEAVES):
        return True
    if not isinstance(operation, ControlFlowOp) or isinstance(operation, (ForLoopOp, WhileLoopOp)):
        return False
    return any(leaves_early(instruction.operation)
               for block in operation.blocks for instruction in block.data)


def fixed_length(dd, operation) -> float | None:
    """The duration of box `operation` in the pass's unit (dt, or ns without a dt), None for
    any other operation and for a box without a fixed duration (none, or a stretch)."""
    if not isinstance(operation, BoxOp) or operation.duration is None or operation.unit == "expr":
        return None
    try:
        length = to_unit(float(operation.duration), operation.unit, dd._dt(), dd._unit_dt)
    except (TypeError, ValueError, OverflowError) as error:
        raise TranspilerError(f"The box's duration {operation.duration} {operation.unit} "
                              f"is no length: {error}") from error
    return checked(length, f"the box of {operation.duration} {operation.unit}", dd._unit_dt)


def box_name(operation, physical: list[int]) -> str:
    """The box `operation` on the physical qubits `physical`, as messages name it."""
    label = f" {operation.label!r}" if operation.label else ""
    return f"The box{label} on qubits {physical}"


def _rank(circuit: QuantumCircuit, wire) -> tuple:
    if isinstance(wire, Qubit):
        return (0, circuit.find_bit(wire).index)
    if isinstance(wire, Clbit):
        return (1, circuit.find_bit(wire).index)
    return (2, wire.name)


def classical_wires(operation) -> list:
    """The clbits and variables that a control-flow operation or a store reads or writes,
    beyond the clbits it lists: a condition's or a switch's target, the variables its bodies
    take from outside, a store's two sides (a register standing for all its bits; a
    variable as its ``expr.Var``)."""
    if isinstance(operation, Store):
        return _expression_wires(operation.lvalue) + _expression_wires(operation.rvalue)
    if not isinstance(operation, ControlFlowOp):
        return []
    found = []
    target = getattr(operation, "condition", None)
    if target is None:
        target = getattr(operation, "target", None)
    if isinstance(target, tuple):
        target = target[0]
    if isinstance(target, expr.Expr):
        found = _expression_wires(target)
    elif isinstance(target, ClassicalRegister):
        found = list(target)
    elif isinstance(target, Clbit):
        found = [target]
    for block in operation.blocks:
        found.extend(block.iter_captured_vars())
    return found


def boundary_wires(circuit: QuantumCircuit, operation) -> list:
    """The clbits and variables of `circuit` that `operation`, which ends a block, reads or
    writes beyond the clbits it lists (`classical_wires`), and every variable where it may
    leave the loop body early: nothing listed after it may run before it."""
    found = classical_wires(operation)
    if leaves_early(operation):
        found.extend(circuit.iter_vars())
    return found


class ClassicalWires:
    """The bridge's numbers of the clbits and variables of `owner` (a circuit or a DAG):
    clbit c as c, the variables after the clbits, in the order of their names."""

    def __init__(self, owner):
        self.owner = owner
        self._variables = None

    def __call__(self, wires) -> tuple[int, ...]:
        """The numbers of `wires` (clbits and ``expr.Var``s, as `classical_wires` gives)."""
        found = []
        for wire in wires:
            if isinstance(wire, Clbit):
                found.append(self.owner.find_bit(wire).index)
                continue
            if self._variables is None:
                first = len(self.owner.clbits)
                names = sorted(var.name for var in self.owner.iter_vars())
                self._variables = {name: first + k for k, name in enumerate(names)}
            found.append(self._variables[wire.name])
        return tuple(found)


def _expression_wires(value: expr.Expr) -> list:
    """The clbits (a register's all) and variables that classical expression `value` names."""
    found = []
    for node in expr.iter_vars(value):
        if isinstance(node.var, Clbit):
            found.append(node.var)
        elif isinstance(node.var, ClassicalRegister):
            found.extend(node.var)
        else:
            found.append(node)
    return found


# -- padding ---------------------------------------------------------------------------------


@dataclasses.dataclass
class Counts:
    inserted: int = 0
    dropped: int = 0
    stretches: int = 0


class DynamicPadder:
    """Pads a circuit with control flow, block by block and body by body.

    `pad_static(circuit)` pads a static circuit of the device's width natively and returns
    ``(padded, start_times, inserted, dropped)``; `pulses` are the sequence's pulses as the
    device makes them (each a tuple of gates: the gate, or ``x`` between ``rz`` frame
    changes), of which every `block` in a row are the identity with the global phase
    `phase`; `allowed(q)` says whether physical qubit q may take pulses; `couplings` are the
    device's coupled pairs; `rz` says whether the device has ``rz`` (which carries a phase
    of π where a break_loop or continue_loop may skip a sequence, see `phase_here`).
    `length_of(operation)` is the fixed duration of a box in the pass's unit (dt where
    `unit_dt`, else ns), else None; `grid` is a multiple of both start grids, in dt.
    `pad_static` also pads a circuit one qubit wider than the device, whose last qubit
    takes no pulses (it holds a box's length).
    """

    def __init__(self, width: int, pad_static: Callable, pulses: list, block: int, phase: float,
                 allowed: Callable[[int], bool], couplings, around: str, rz: bool = False,
                 length_of: Callable = lambda operation: None, unit_dt: bool = True,
                 grid: int = 1):
        self.width = width
        self.pad_static = pad_static
        self.pulses = pulses
        self.block = block
        self.phase = phase
        self.allowed = allowed
        self.neighbours: dict[int, set[int]] = {}
        for a, b in couplings:
            if a != b:
                self.neighbours.setdefault(a, set()).add(b)
                self.neighbours.setdefault(b, set()).add(a)
        self.around = around
        self.rz = rz
        self.unit_dt = unit_dt
        self.grid = grid if unit_dt else 1
        self.length_of = length_of
        self.counts = Counts()
        self._stretch_names = 0

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
        block is, which then lasts that length: a delay of the length (down to the start
        grids, which an as-late-as-possible schedule ends on) on one more qubit, which takes
        no pulses, ends the static circuit there (the marker spans that qubit too, before the
        delay, which holds it at t = 0 as late as possible too); a delay on each of the
        body's qubits takes it the rest of the way, too short for a pulse."""
        if top:
            sub = body.copy_empty_like(vars_mode="drop")
            sub.global_phase = 0
            device = sub.qubits
        else:
            sub = QuantumCircuit(self.width + (box is not None))
            sub.add_bits(body.clbits)
            device = sub.qubits
        # A barrier at t = 0 on the `marked` qubits: the native planner counts the time
        # before a qubit's first operation as its initial state, which these are not in.
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
        if marked and not spare:  # the marker: the first barrier on exactly the marked qubits
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
            first = True
            for instruction, start in zip(data, start_times):
                try:
                    qubits = [back[bit] for bit in instruction.qubits]
                except KeyError:
                    continue  # a delay on a device qubit outside the body
                if first and leaving:
                    times.extend([0] * self.phase_here(out, padded.global_phase, qubits[0]))
                first = False
                out._append(instruction.replace(
                    qubits=qubits, clbits=[clbits[bit] for bit in instruction.clbits]))
                times.append(start)
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
            self._stretch_sequences(around, boundary, body, out, times, physical, leaving)

    def _stretch_sequences(self, around, boundary, body, out, times, physical,
                           leaving=False) -> None:
        """Sequences of stretch delays on the `around` qubits, beside the `boundary`
        operations and closed with them by a barrier; each sequence's phase correction is
        where the sequence is (`phase_here`) where `leaving`."""
        qubit_of = {p: body.qubits[i] for i, p in enumerate(physical)}
        n, block = len(self.pulses), self.block
        boundary_number = self._stretch_names
        self._stretch_names += 1
        late = 0.0  # phase corrections no gate on a qubit carries, for after the barrier
        for colour, members in self._colours(around).items():
            # A name (boundary, colour) and an identifier of their own, the same on every run.
            name = f"_dd_stretch_{boundary_number}_{colour}"
            a = expr.Stretch(uuid.uuid5(_STRETCHES, name), name)
            out.add_stretch(a)
            twice = expr.mul(2, a)
            # b, 2b, 4b, ... pulses (b a block of the sequence): mutually orthogonal square waves
            count = block << colour
            # The operations of one qubit's sequence, which every member's shares.
            edge, inside = Delay(a), Delay(twice)
            sequence = [edge]
            for j in range(count):
                sequence.extend(self.pulses[j % n])
                sequence.append(edge if j == count - 1 else inside)
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
        bits.extend(qubit_of[q] for q in around)
        out._append(CircuitInstruction(Barrier(len(bits)), bits, ()))
        times.append(0)
        times.extend([0] * self.phase_here(out, late, None))

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

    def _delay(self, length: float) -> Delay:
        """A delay of `length` in the pass's unit (see `fixed_length`)."""
        return Delay(int(length), "dt") if self.unit_dt else Delay(length, "ns")

    def _colours(self, qubits: list[int]) -> dict[int, list[int]]:
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


def _widened(body: QuantumCircuit, extra: int) -> QuantumCircuit:
    """`body` with `extra` more qubits, on which it does nothing."""
    out = body.copy_empty_like()
    out.add_bits([Qubit() for _ in range(extra)])
    for instruction in body.data:
        out._append(instruction)
    return out


# -- the pass's and pad's entry ----------------------------------------------------------------


def pad_dynamic(dd, circuit: QuantumCircuit, pad_static: Callable):
    """`circuit` padded under the block model with the options of pass `dd`, and the counts.

    `pad_static(dd, circuit)` pads a static circuit and returns ``(padded, inserted,
    dropped)`` with the start times in ``padded.op_start_times``. The result's
    ``op_start_times`` hold each instruction's start within its block (see `levels`); the
    operations between blocks, and the stretch sequences beside them, start at 0 of their
    own timeline, which the device fixes at run time.

    The bridge reads, cuts, plans and writes the circuit and its bodies natively where
    Qiskit's C API carries them (`dynamic_native`); `DynamicPadder` pads the others, with the
    same result.
    """
    from vornak.qiskit.dynamic_native import pad_native

    _, _, pulse_durations, couplings, _ = dd._tables_for(circuit.num_qubits)
    if not couplings and dd.around == "stretch":
        couplings = dd._couplings_for_colouring(circuit.num_qubits)

    width = circuit.num_qubits
    spare = None  # the pass for a circuit one qubit wider, whose last qubit takes no pulses

    def static(sub):
        nonlocal spare
        pass_ = dd
        if sub.num_qubits > width:
            if spare is None:
                spare = copy.copy(dd)
                table, pulses, durations, pairs, options = dd._tables_for(width)
                spare._tables = {width + 1: (table, pulses, durations + [None], pairs, options)}
            pass_ = spare
        padded, inserted, dropped = pad_static(pass_, sub)
        return padded, padded._op_start_times, inserted, dropped

    padder = DynamicPadder(
        width, static, dd._written, dd._block, dd._phase,
        lambda q: pulse_durations[q] is not None, couplings, dd.around,
        rz=dd._frames_allowed, length_of=lambda operation: fixed_length(dd, operation),
        unit_dt=dd._unit_dt, grid=math.lcm(dd.pulse_alignment, dd.acquire_alignment),
    )
    native = pad_native(dd, circuit, padder) if _NATIVE else None
    out, times = native if native is not None else padder.pad(circuit)
    out.name = circuit.name
    out.metadata = circuit.metadata
    out._op_start_times = times if dd._unit_dt else [float(t) for t in times]
    out._unit = "dt" if dd._unit_dt else "ns"
    out._duration = None  # the time between blocks is not known at compile time
    return out, padder.counts


def run_dynamic(dd, dag):
    """The pass `dd` on a DAG with control flow: the padded DAG, with its property set."""
    from qiskit.converters import circuit_to_dag, dag_to_circuit

    from vornak.qiskit.one_call import pad_static
    from vornak.qiskit.start_times import record_start_times

    circuit = dag_to_circuit(dag, copy_operations=False)
    padded, counts = pad_dynamic(dd, circuit, pad_static)
    out = circuit_to_dag(padded, copy_operations=False)
    dd.property_set["time_unit"] = padded._unit
    record_start_times(dd.property_set, out, padded._op_start_times, dd._unit_dt)
    dd.property_set["dd_sequences_inserted"] = counts.inserted
    dd.property_set["dd_sequences_dropped"] = counts.dropped
    dd.property_set["dd_stretch_sequences_inserted"] = counts.stretches
    return out

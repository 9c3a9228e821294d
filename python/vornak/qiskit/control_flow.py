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

import dataclasses
import math
import uuid
from collections.abc import Callable

from qiskit.circuit import (
    Barrier,
    CircuitInstruction,
    ClassicalRegister,
    Clbit,
    ControlFlowOp,
    Delay,
    Qubit,
    QuantumCircuit,
    Store,
)
from qiskit.circuit.classical import expr

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
        control_flow = instruction.is_control_flow()
        boundary = control_flow or not instruction.qubits
        wires = instruction.qubits + instruction.clbits
        if boundary:
            wires += tuple(classical_wires(instruction.operation))
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
    device's coupled pairs.
    """

    def __init__(self, width: int, pad_static: Callable, pulses: list, block: int, phase: float,
                 allowed: Callable[[int], bool], couplings, around: str):
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
            self._stretch_sequences(around, boundary, body, out, times, physical)

    def _stretch_sequences(self, around, boundary, body, out, times, physical) -> None:
        """Sequences of stretch delays on the `around` qubits, beside the `boundary`
        operations and closed with them by a barrier."""
        qubit_of = {p: body.qubits[i] for i, p in enumerate(physical)}
        n, block = len(self.pulses), self.block
        boundary_number = self._stretch_names
        self._stretch_names += 1
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
            for q in members:
                bit = (qubit_of[q],)
                for operation in sequence:
                    append(CircuitInstruction(operation, bit, ()))
                times.extend([0] * len(sequence))
                out.global_phase -= (count // block) * self.phase
                self.counts.stretches += count // block
        bits = []
        for instruction in boundary:
            bits.extend(b for b in instruction.qubits if b not in bits)
        bits.extend(qubit_of[q] for q in around)
        out._append(CircuitInstruction(Barrier(len(bits)), bits, ()))
        times.append(0)

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

    def static(sub):
        padded, inserted, dropped = pad_static(dd, sub)
        return padded, padded._op_start_times, inserted, dropped

    padder = DynamicPadder(
        circuit.num_qubits, static, dd._written, dd._block, dd._phase,
        lambda q: pulse_durations[q] is not None, couplings, dd.around,
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

"""The block model of dynamic circuits: a circuit with control flow cut into timed blocks.

A circuit with control flow is cut into timed *blocks*, as IBM's dynamic-circuit hardware
runs it (and as qiskit-ibm-runtime's scheduler models it):

- A control-flow operation ends the timed block; a reset ends it on its qubits (the
  operations after the reset go to the next block), as the device performs a reset as a
  measurement and a conditional X. The time between two blocks (the measurement's result
  reaching the controller, the classical decision, the branch itself) is not known at
  compile time.
- Each block, and each body of a control-flow operation, is scheduled from its own t = 0
  with the pass's scheduling and padded as a static circuit: the same placement, the same
  grids, on the physical qubits the body maps to with the device's coupling among them. A
  body is cut into blocks in its turn (nesting).
- An operation goes into the earliest block its wires allow: an operation listed after a
  control-flow operation but sharing no qubit, clbit or variable with it (nor with
  anything after it) stays in the block before it.
- A break_loop or continue_loop ends the block like control flow. What follows it in its
  loop's body may not run, so the phase correction of the sequences there is carried by
  a gate beside them, not by the body's global phase (`StretchSequences.phase_here`).
- A box of fixed duration lasts it: its body is one block, scheduled inside it, whose
  idle time up to the box's end is padded like any other.
"""

from __future__ import annotations

import dataclasses

from qiskit.circuit import (
    BoxOp,
    BreakLoopOp,
    Clbit,
    ContinueLoopOp,
    ControlFlowOp,
    ForLoopOp,
    QuantumCircuit,
    Qubit,
    WhileLoopOp,
)
from qiskit.transpiler.exceptions import TranspilerError

from vornak.qiskit.classical import classical_wires
from vornak.qiskit.durations import checked, to_unit
from vornak.qiskit.options import Options

_LEAVES = (BreakLoopOp, ContinueLoopOp)


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


def fixed_length(options: Options, operation) -> float | None:
    """The duration of box `operation` in the pass's unit (dt, or ns without a dt), None for
    any other operation and for a box without a fixed duration (none, or a stretch)."""
    if not isinstance(operation, BoxOp) or operation.duration is None or operation.unit == "expr":
        return None
    try:
        length = to_unit(float(operation.duration), operation.unit, options.dt, options.unit_dt)
    except (TypeError, ValueError, OverflowError) as error:
        raise TranspilerError(f"The box's duration {operation.duration} {operation.unit} "
                              f"is no length: {error}") from error
    return checked(length, f"the box of {operation.duration} {operation.unit}", options.unit_dt)


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


def boundary_wires(circuit: QuantumCircuit, operation) -> list:
    """The clbits and variables of `circuit` that `operation`, which ends a block, reads or
    writes beyond the clbits it lists (`classical_wires`), and every variable where it may
    leave the loop body early: nothing listed after it may run before it."""
    found = classical_wires(operation)
    if leaves_early(operation):
        found.extend(circuit.iter_vars())
    return found

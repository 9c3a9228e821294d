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
    ClassicalRegister,
    Clbit,
    ContinueLoopOp,
    ControlFlowOp,
    ForLoopOp,
    QuantumCircuit,
    WhileLoopOp,
)
from qiskit.circuit.classical import expr
from qiskit.transpiler.exceptions import TranspilerError

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

    Wires are qubits, clbits and (one wire for all of them) the circuit's classical
    variables. A control-flow operation (or a classical store) on a wire ends the block
    there; a reset ends it on its qubits after it.
    """
    uses_vars = bool(circuit.num_vars or circuit.num_stretches)
    ready: dict = {}  # wire -> the first level an instruction on it may take
    found: list[Level] = []
    for instruction in circuit._data:
        # break_loop and continue_loop leave the body: they end the block like control flow.
        control_flow = instruction.is_control_flow() or isinstance(
            instruction.operation, _LEAVES)
        boundary = control_flow or not instruction.qubits
        wires = instruction.qubits + instruction.clbits
        if control_flow:
            wires += tuple(condition_bits(instruction.operation))
        if uses_vars and boundary:
            wires += (None,)  # the variables, as one wire
        level = max([ready.get(w, 0) for w in wires], default=0)
        while len(found) <= level:
            found.append(Level())
        if boundary:
            found[level].boundary.append(instruction)
            after = level + 1
        else:
            found[level].block.append(instruction)
            after = level + 1 if instruction.name == "reset" else level
        for w in wires:
            ready[w] = after
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


def condition_bits(operation) -> list:
    """The clbits that a condition or a switch's target reads (Qiskit lists them among the
    operation's clbits already; read again so that no wire is missed)."""
    target = getattr(operation, "condition", None)
    if target is None:
        target = getattr(operation, "target", None)
    if isinstance(target, tuple):
        target = target[0]
    if target is None:
        return []
    if isinstance(target, expr.Expr):
        found = []
        for node in expr.iter_vars(target):
            if isinstance(node.var, Clbit):
                found.append(node.var)
            elif isinstance(node.var, ClassicalRegister):
                found.extend(node.var)
        return found
    if isinstance(target, ClassicalRegister):
        return list(target)
    return [target] if isinstance(target, Clbit) else []

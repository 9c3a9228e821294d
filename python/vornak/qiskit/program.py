"""Decoupling for every item of a samplomatic or qiskit-ibm-runtime ``QuantumProgram``."""

from __future__ import annotations

import copy

from qiskit.circuit import BoxOp, ControlFlowOp, QuantumCircuit
from qiskit.transpiler.exceptions import TranspilerError

from vornak.qiskit.dynamical_decoupling import DynamicalDecoupling
from vornak.qiskit.pad import pad_each


def pad_program(program, target=None, *, threads: int | None = None, **options):
    """A copy of `program` whose every item's circuit is padded as :func:`pad` pads it.

    This is the counterpart of qiskit-ibm-runtime's
    ``executor.dynamical_decoupling.apply_dynamical_decoupling(backend, options, program)``,
    which the runtime's primitives run when ``dynamical_decoupling.enable`` is set: the same
    place in the workflow (after ``samplomatic.build``, on each item's circuit), with this
    package's sequences and placement, and for dynamic items too (the runtime refuses DD for
    circuits with control flow).

    ``program`` is a ``samplomatic.quantum_program.QuantumProgram`` or the runtime's
    subclass, ``qiskit_ibm_runtime.QuantumProgram``. The result is of the same type, a new
    program whose items are new items of their own types; the input is not changed. Every
    other part of the program and of its items is kept, shared with the input as the
    runtime's ``QuantumProgram.from_`` shares it: shots, ``meas_level``, noise maps,
    passthrough data; each item's samplex, its bound samplex arguments, its shape, its
    circuit arguments and its ``chunk_size``. A padded circuit keeps the parameters of its
    input (the same ones, in the same order: a samplex's parameter values and an item's
    circuit arguments bind into it as into the input), its labelled barriers (the L/M/R
    barriers of a template, where local testing mode injects its noise), name and metadata.
    Items that share one circuit share its padded circuit.

    Pad the template, not a boxed circuit: in a twirled box samplomatic merges single-qubit
    gates into the box's dressing, so pulses placed inside one would lose their timing (and
    the box's duration changes when ``build`` writes the dressing). An item whose circuit
    holds a box with a samplomatic ``Twirl`` annotation is refused.

    Args:
        program: The program.
        target: As for :func:`pad`; usually ``backend.target``.
        threads: Threads that pad the items, as for :func:`pad`.
        **options: Every other option of :class:`DynamicalDecoupling`.

    Raises:
        TranspilerError: An item cannot be padded (its circuit holds a twirled box, or the
            pass refuses it): the message names the item's index and the cause. Bad options
            raise as the pass raises them, before any item is padded.
        TypeError: `program` has no list of items with circuits.
    """
    items = getattr(program, "items", None)
    if items is None or isinstance(program, QuantumCircuit):
        raise TypeError(f"pad_program takes a QuantumProgram, not {type(program).__name__}")
    items = list(items)
    padding = DynamicalDecoupling(target=target, **options).padding
    circuits: dict[int, QuantumCircuit] = {}  # each distinct circuit once, by identity
    first_item: dict[int, int] = {}
    for index, item in enumerate(items):
        circuit = getattr(item, "circuit", None)
        if not isinstance(circuit, QuantumCircuit):
            raise TypeError(
                f"Item {index} of the program holds no QuantumCircuit "
                f"({type(item).__name__}.circuit is {type(circuit).__name__})")
        cause = _twirled_box(circuit)
        if cause is not None:
            raise TranspilerError(f"Item {index} of the program cannot be padded: {cause}")
        circuits.setdefault(id(circuit), circuit)
        first_item.setdefault(id(circuit), index)
    keys = list(circuits)
    outcomes = dict(zip(keys, pad_each(padding, [circuits[key] for key in keys], threads)))
    for key in keys:
        error = outcomes[key]
        if isinstance(error, TranspilerError):
            # A QiskitError's str() is the repr of its message.
            cause = getattr(error, "message", str(error))
            raise TranspilerError(
                f"Item {first_item[key]} of the program cannot be padded: {cause}") from error
    padded = copy.copy(program)
    padded.items = []
    for item in items:
        new = copy.copy(item)
        new.circuit = outcomes[id(item.circuit)]
        padded.items.append(new)
    return padded


def _twirled_box(circuit: QuantumCircuit) -> str | None:
    """Why `circuit` must not be padded: it holds a box that samplomatic twirls (at any
    depth), else None."""
    if not circuit.has_control_flow_op():
        return None
    try:
        from samplomatic import Twirl
    except ImportError:  # then no annotation is samplomatic's
        return None
    for instruction in circuit.data:
        operation = instruction.operation
        if isinstance(operation, BoxOp) and any(
                isinstance(annotation, Twirl) for annotation in operation.annotations):
            return ("its circuit holds a twirled box; samplomatic merges the gates inside it "
                    "into the box's dressing, so pad the template that samplomatic.build "
                    "returns instead")
        if isinstance(operation, ControlFlowOp):
            for body in operation.blocks:
                cause = _twirled_box(body)
                if cause is not None:
                    return cause
    return None

"""Dynamic circuits padded natively: the bridge reads the circuit and its bodies through
Qiskit's C API, cuts them into blocks and plans and writes every block; this module makes
what the C API cannot (control-flow operations around the padded bodies, stretch sequences).

The result is the one `reference.DynamicPadder` makes (the same instructions in the same
order, start times, global phase and counts); a circuit the C API cannot read or write
without Python (labels, delays in units of time or of a stretch, operations or parameters
held as Python objects, a schedule that may pass 2**53 dt, times in ns, ``around="widen"``),
or that holds a box of fixed duration (whose body the bridge does not stretch to it), is
padded by `DynamicPadder`.
"""

from __future__ import annotations

from qiskit.circuit import CircuitInstruction, QuantumCircuit
from qiskit.transpiler.exceptions import TranspilerError

from vornak import _bridge
from vornak.qiskit.classical import ClassicalWires
from vornak.qiskit.dynamic.blocks import boundary_wires, leaves_early
from vornak.qiskit.dynamic.stretch import StretchSequences
from vornak.qiskit.writer import has_labels


def _describe(body: QuantumCircuit, indices: list[int]) -> list[tuple[int, ...]] | None:
    """What the bridge needs of a body that the C API does not tell: None where it has
    labels, which the C API would drop, or a box of fixed duration; else, for each
    instruction at `indices` (those that end a block), the clbits and variables that it reads
    or writes beyond the clbits it lists (`blocks.boundary_wires`): clbit c as c, the
    body's variables after its clbits, by name."""
    data = body._data
    if has_labels(data) or any(
            instruction.name == "box" and instruction.operation.duration is not None
            and instruction.operation.unit != "expr" for instruction in data):
        return None
    number = ClassicalWires(body)
    return [number(boundary_wires(body, data[index].operation)) for index in indices]


def pad_native(options, plan, circuit: QuantumCircuit, stretches: StretchSequences):
    """`circuit` padded natively with the pass's `options` and `plan` (the `WidthPlan` of its
    width), as `DynamicPadder` with the same `stretches` pads it: the padded circuit and its
    start times; None where it must be padded in Python."""
    if options.around_control_flow == "widen" or not options.unit_dt:
        return None
    try:
        result = _bridge.plan_dynamic(circuit, options, plan,
                                      options.around_control_flow == "stretch", _describe)
    except (LookupError, NotImplementedError) as error:
        raise TranspilerError(str(error)) from error
    if result is None:
        return None
    top, inserted, dropped = result
    stretches.counts.inserted += inserted
    stretches.counts.dropped += dropped
    times: list = []
    out = _assemble(stretches, circuit, top, times, {}, plan.phase)
    return out, times


def _assemble(stretches: StretchSequences, body: QuantumCircuit, result: tuple,
              times: list | None, phases: dict, phase: float) -> QuantumCircuit:
    """The padded `body` from its native `result` (see the bridge's plan_dynamic)."""
    written, levels, physical = result
    # The body's Python attributes (name, metadata, layout) as copy_empty_like gives them,
    # with the instructions written natively.
    out = body.copy_empty_like()
    out._data = written._data
    leaving = False  # whether a break_loop or continue_loop may have left the body
    for segment, inserted, starts, boundary, around in levels:
        if inserted is not None:
            block_phase = _block_phase(phases, inserted, phase)
            if leaving:  # (a segment of its own, after a boundary; times only at the top)
                first = segment.find_bit(segment._data[0].qubits[0]).index
                stretches.phase_here(out, block_phase, out.qubits[first])
            else:
                out.global_phase += block_phase
            if segment is not None:
                out._data.native_extend(segment._data)
            if times is not None:
                times.extend(starts)
        if not boundary:
            continue
        instructions = []
        for index, bodies in boundary:
            instruction = body._data[index]
            instructions.append(instruction)
            if bodies is None:
                out._append(instruction)
            else:
                operation = instruction.operation
                blocks = [_assemble(stretches, block, inner, None, phases, phase)
                          for block, inner in zip(operation.blocks, bodies)]
                out._append(CircuitInstruction(operation.replace_blocks(blocks),
                                               instruction.qubits, instruction.clbits))
            leaving = leaving or leaves_early(instruction.operation)
            if times is not None:
                times.append(0)
        if around:
            stretches.write(around, instructions, body, out,
                            times if times is not None else [], physical, leaving)
    return out


def _block_phase(phases: dict, inserted: int, phase: float):
    """The global phase of a block with `inserted` sequences, as the static pass sets it on
    its padded circuit (normalised as Qiskit normalises it)."""
    found = phases.get(inserted)
    if found is None:
        scratch = QuantumCircuit()
        if inserted and phase:
            scratch.global_phase = scratch.global_phase - inserted * phase
        found = phases[inserted] = scratch.global_phase
    return found

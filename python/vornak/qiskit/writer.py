"""The padded static circuit made from what the bridge returns: the native writer's circuit or
DAG finished (its labels put back, its phase corrected, its unit and length set), or the
native plan written here in Python, for circuits that Qiskit's C API cannot copy whole and
for every circuit timed in ns.

Qiskit 2.6's C API neither reads nor writes labels: the labelled instructions of a circuit
are found once before the native writer runs, and put back on its output by position.
"""

from __future__ import annotations

import dataclasses
import math
from functools import partial
from itertools import compress, count
from operator import attrgetter, is_not

from qiskit.circuit import Delay, QuantumCircuit
from qiskit.circuit.library import RZGate
from qiskit.dagcircuit import DAGCircuit

from vornak.qiskit.clocks import PlanClock, QiskitClock
from vornak.qiskit.durations import checked_length
from vornak.qiskit.start_times import record_start_times


@dataclasses.dataclass
class Padded:
    """A padded static circuit or DAG, its start times (in the order of its instructions, or
    by node), and the sequences inserted and dropped. `native`: whether the native writer
    wrote it (else the plan was written in Python)."""

    out: QuantumCircuit | DAGCircuit
    times: list
    inserted: int
    dropped: int
    native: bool = True

    def record(self, property_set, unit_dt: bool) -> None:
        """What the pass records of a padded DAG in its property set."""
        property_set["time_unit"] = self.out._unit
        record_start_times(property_set, self.out, self.times, unit_dt)
        property_set["dd_sequences_inserted"] = self.inserted
        property_set["dd_sequences_dropped"] = self.dropped


def has_labels(instructions) -> bool:
    """Whether any of `instructions` (DAG nodes or circuit instructions) has a label.

    No Qiskit call answers this without making a Python object per instruction; the loop
    itself runs in C. Instruction objects read the label without making the operation's
    Python object, which ``CircuitData.foreach_op`` would make (six times the cost where it
    is not cached yet).
    """
    return any(map(partial(is_not, None), map(attrgetter("label"), instructions)))


def labelled_positions(data) -> list[int]:
    """The positions in circuit data `data` of the instructions that have a label, in one
    pass as `has_labels` makes it."""
    return list(compress(count(), map(partial(is_not, None), map(attrgetter("label"), data))))


def written_dag(dag: DAGCircuit, result: tuple, options, plan) -> Padded:
    """The padded `dag` from the bridge's `result` (see ``_bridge.pad``) with `options` (the
    pass's) and `plan` (of its width): the native writer's DAG, or the plan written here."""
    written, inserted, dropped, detail = result
    unit_dt = options.unit_dt
    if written:
        out, length, times = detail
        out.name = dag.name
        out.metadata = dag.metadata
    else:
        checked_length(max(detail[2], default=0.0), unit_dt)
        out, length, times = write_in_python(
            dag, detail, options.written, plan.pulse_durations, unit_dt,
            None if unit_dt else options.qiskit_durations(),
            float(options.pulse_alignment) if unit_dt else 0.0,
        )
    _finish(out, plan.phase, inserted, length, unit_dt)
    return Padded(out, times, inserted, dropped, bool(written))


def written_circuit(circuit: QuantumCircuit, result: tuple, labelled: list[int], options,
                    plan) -> Padded:
    """The padded `circuit` from the native writer's `result` (see ``_bridge.pad_circuit_data``),
    its instructions at `labelled` put back with their labels, as ``PassManager.run`` returns
    it from the pass, with ``op_start_times`` set (none for a circuit of no instructions, as
    there)."""
    _, inserted, dropped, detail = result
    if labelled:
        out, length, times, placed = detail
        _relabel(out, circuit._data, labelled, placed)
    else:
        out, length, times = detail
    out.name = circuit.name
    out.metadata = circuit.metadata
    _finish(out, plan.phase, inserted, length, options.unit_dt)
    # As node_start_time holds them: ints in dt, floats in ns. Like PassManager.run,
    # which sets them only from a non-empty node_start_time, none for a circuit of no
    # instructions.
    if times:
        out._op_start_times = times if options.unit_dt else [float(t) for t in times]
    return Padded(out, times, inserted, dropped)


def _finish(out, phase: float, inserted: int, length: float, unit_dt: bool) -> None:
    """Takes the phase of the `inserted` sequences (`phase` each) out of the padded `out`, and
    gives it the pass's time unit and its `length`."""
    if inserted and phase:
        out.global_phase = out.global_phase - inserted * phase
    out._unit = "dt" if unit_dt else "ns"
    out._duration = int(length) if unit_dt else length


def _relabel(out, data, positions: list[int], placed: list[int]) -> None:
    """Puts at ``placed[j]`` in padded circuit `out` the instruction of `data` at
    ``positions[j]``, which the native writer wrote there without its label (-1: a delay,
    which is not written but replaced). Both circuits have the same bits. Only instructions
    the C API reads are written natively (standard gates and instructions, unitaries), whose
    state the circuit holds itself, so the two circuits share no state a caller can change;
    a Python object Qiskit caches for the operation is shared, as ``CircuitData.copy`` shares
    it."""
    written = out._data
    for position, index in zip(positions, placed):
        if index >= 0:
            written[index] = data[position]


def write_in_python(dag, plan, sequence, pulse_durations, unit_dt, durations=None,
                    alignment=0.0):
    """The padded DAG from the native plan, and its length and start times by node id.

    A run may hold several repetitions of the sequence (its k-th pulse is pulse k % n); a run
    at position ``len(order)`` follows its qubit's last operation. In dt the times are the
    plan's; in ns (`durations`: the table Qiskit's scheduling reads) they are those Qiskit's
    scheduling finds on the output (see :mod:`vornak.qiskit.clocks`). Each pulse of
    `sequence` is a tuple of gates: a pulse, or a phase-shifted pulse φ between its two
    ``rz`` frame changes rz(-φ) and rz(φ) (of no duration); between two pulses they merge
    into one, in dt at the point of the alignment's grid nearest the middle of the free time
    before the next pulse where one lies strictly inside it (delays then part the frame
    change from the pulses, so that a later resynthesis of single-qubit runs cannot merge
    rz(-φ)·x·rz(φ) back into x), else at that pulse's start; the last comes at the run's last pulse's end,
    moved onto the grid of `alignment`, or goes into the rz written next on the qubit where
    the run names that rz's position (its fold; as the native writer does, see
    `takes_frame`).
    """
    order, starts, ends, runs = plan
    nodes = {node._node_id: node for node in dag.op_nodes()}
    out = dag.copy_empty_like()
    qubits = dag.qubits
    index = {bit: i for i, bit in enumerate(qubits)}
    clock = PlanClock() if unit_dt else QiskitClock(durations)
    cursor = [0.0] * len(qubits)
    times: dict[int, float] = {}

    def apply(op, qargs, cargs, start):
        node = out.apply_operation_back(op, qargs, cargs, check=False)
        times[node._node_id] = clock.reported(start)

    def delay(q: int, until: float) -> None:
        op = clock.delay(cursor[q], until)
        if op is not None:
            apply(op, (qubits[q],), (), cursor[q])
        cursor[q] = until

    n = len(sequence)

    # Each pulse as (gate, phase φ of its frame): its rz frame changes merge between pulses.
    pulses = [(gates[len(gates) // 2], float(gates[-1].params[0]) if len(gates) > 1 else 0.0)
              for gates in sequence]

    folded: dict[int, float] = {}  # by position: the frame change the rz there takes in

    def frame_time(since: float, start: float) -> float:
        # The point of the grid strictly inside (since, start) nearest its middle, else start.
        grid = alignment if alignment > 0 else 1.0
        first = (math.floor(since / grid + 1e-9) + 1.0) * grid
        last = (math.ceil(start / grid - 1e-9) - 1.0) * grid
        if first > last:
            return start
        return min(max(math.floor((since + start) / (2.0 * grid) + 0.5) * grid, first), last)

    def write_runs(position: int) -> None:
        for q, pulse_starts, fold, turn in by_position.get(position, ()):
            frame, planned_end = 0.0, 0.0
            for k, planned in enumerate(pulse_starts):
                gate, phase = pulses[k % n]
                phase += turn
                start = clock.start(planned, (cursor[q],))
                if phase != frame:
                    at = frame_time(cursor[q], start) if unit_dt else start
                    delay(q, at)
                    apply(RZGate(frame - phase), (qubits[q],), (), at)
                delay(q, start)
                frame = phase
                apply(gate, (qubits[q],), (), start)
                cursor[q] = clock.end(gate.name, (q,), start, start + pulse_durations[q][k % n])
                planned_end = planned + pulse_durations[q][k % n]
            if frame != 0.0 and fold is not None and takes_frame(nodes[order[fold]].op):
                folded[fold] = frame
            elif frame != 0.0:
                if alignment > 0:
                    planned_end = math.ceil(planned_end / alignment - 1e-9) * alignment
                end = clock.start(planned_end, (cursor[q],))
                delay(q, end)
                apply(RZGate(frame), (qubits[q],), (), end)
                cursor[q] = clock.end("rz", (q,), end, end)

    by_position: dict[int, list] = {}
    for position, qubit, pulse_starts, fold, turn in runs:
        by_position.setdefault(position, []).append((qubit, pulse_starts, fold, turn))
    length = 0.0
    for i, node_id in enumerate(order):
        length = max(length, ends[i])
        node = nodes[node_id]
        write_runs(i)
        if isinstance(node.op, Delay):
            continue
        qs = [index[bit] for bit in node.qargs]
        start = clock.start(starts[i], [cursor[q] for q in qs])
        for q in qs:
            delay(q, start)
        op = node.op
        if folded and i in folded:
            op = RZGate(float(op.params[0]) + folded.pop(i))
        apply(op, node.qargs, node.cargs, start)
        end = clock.end(node.name, qs, start, ends[i])
        for q in qs:
            cursor[q] = end
    write_runs(len(order))
    length = clock.start(length, cursor)
    for q in range(len(qubits)):
        delay(q, length)
    return out, clock.reported(length), times


def takes_frame(op) -> bool:
    """Whether the circuit's rz `op` may take in a run's closing frame change: the native
    writer folds into every rz of a real angle; one with a label is left as it is here, and a
    parameterised one or a subclass the plan never names."""
    return type(op) is RZGate and op.label is None and isinstance(op.params[0], float)

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
from vornak.qiskit.sequence import pulse_frame
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
    rz(-φ)·x·rz(φ) back into x), else at that pulse's start; the last comes at the run's
    last pulse's end, moved onto the grid of `alignment`, or goes into the rz written next on
    the qubit where the run names that rz's position (its fold; as the native writer does,
    see `takes_frame`).
    """
    writer = _Writer(dag, plan, sequence, pulse_durations, unit_dt, durations, alignment)
    return writer.write()


class _Writer:
    """The state of one write: the output, the clock, each qubit's cursor (where its last
    operation ends) and the frame changes that wait for an rz of the circuit."""

    def __init__(self, dag, plan, sequence, pulse_durations, unit_dt, durations, alignment):
        self.order, self.starts, self.ends, runs = plan
        self.nodes = {node._node_id: node for node in dag.op_nodes()}
        self.out = dag.copy_empty_like()
        self.qubits = dag.qubits
        self.index = {bit: i for i, bit in enumerate(self.qubits)}
        self.clock = PlanClock() if unit_dt else QiskitClock(durations)
        self.unit_dt = unit_dt
        self.alignment = alignment
        self.cursor = [0.0] * len(self.qubits)
        self.times: dict[int, float] = {}
        self.pulse_durations = pulse_durations
        # Each pulse as (gate, phase φ of its frame): its rz frame changes merge between pulses.
        self.pulses = [pulse_frame(gates) for gates in sequence]
        self.folded: dict[int, float] = {}  # by position: the frame change the rz there takes in
        self.by_position: dict[int, list] = {}
        for position, qubit, pulse_starts, fold, turn in runs:
            self.by_position.setdefault(position, []).append((qubit, pulse_starts, fold, turn))

    def write(self):
        length = 0.0
        for i, node_id in enumerate(self.order):
            length = max(length, self.ends[i])
            self.write_runs(i)
            self.write_node(i, self.nodes[node_id])
        self.write_runs(len(self.order))
        length = self.clock.start(length, self.cursor)
        for q in range(len(self.qubits)):
            self.delay(q, length)
        return self.out, self.clock.reported(length), self.times

    def apply(self, op, qargs, cargs, start):
        node = self.out.apply_operation_back(op, qargs, cargs, check=False)
        self.times[node._node_id] = self.clock.reported(start)

    def delay(self, q: int, until: float) -> None:
        op = self.clock.delay(self.cursor[q], until)
        if op is not None:
            self.apply(op, (self.qubits[q],), (), self.cursor[q])
        self.cursor[q] = until

    def write_node(self, i: int, node) -> None:
        if isinstance(node.op, Delay):
            return
        qs = [self.index[bit] for bit in node.qargs]
        start = self.clock.start(self.starts[i], [self.cursor[q] for q in qs])
        for q in qs:
            self.delay(q, start)
        op = node.op
        if self.folded and i in self.folded:
            op = RZGate(float(op.params[0]) + self.folded.pop(i))
        self.apply(op, node.qargs, node.cargs, start)
        end = self.clock.end(node.name, qs, start, self.ends[i])
        for q in qs:
            self.cursor[q] = end

    def frame_time(self, since: float, start: float) -> float:
        """The point of the grid strictly inside (since, start) nearest its middle, else
        start."""
        grid = self.alignment if self.alignment > 0 else 1.0
        first = (math.floor(since / grid + 1e-9) + 1.0) * grid
        last = (math.ceil(start / grid - 1e-9) - 1.0) * grid
        if first > last:
            return start
        return min(max(math.floor((since + start) / (2.0 * grid) + 0.5) * grid, first), last)

    def write_runs(self, position: int) -> None:
        for q, pulse_starts, fold, turn in self.by_position.get(position, ()):
            self.write_run(q, pulse_starts, fold, turn)

    def write_run(self, q: int, pulse_starts, fold, turn: float) -> None:
        n, bit = len(self.pulses), (self.qubits[q],)
        frame, planned_end = 0.0, 0.0
        for k, planned in enumerate(pulse_starts):
            gate, phase = self.pulses[k % n]
            phase += turn
            start = self.clock.start(planned, (self.cursor[q],))
            if phase != frame:
                at = self.frame_time(self.cursor[q], start) if self.unit_dt else start
                self.delay(q, at)
                self.apply(RZGate(frame - phase), bit, (), at)
            self.delay(q, start)
            frame = phase
            self.apply(gate, bit, (), start)
            length = self.pulse_durations[q][k % n]
            self.cursor[q] = self.clock.end(gate.name, (q,), start, start + length)
            planned_end = planned + length
        if frame != 0.0 and fold is not None and takes_frame(self.nodes[self.order[fold]].op):
            self.folded[fold] = frame
        elif frame != 0.0:
            if self.alignment > 0:
                planned_end = math.ceil(planned_end / self.alignment - 1e-9) * self.alignment
            end = self.clock.start(planned_end, (self.cursor[q],))
            self.delay(q, end)
            self.apply(RZGate(frame), bit, (), end)
            self.cursor[q] = self.clock.end("rz", (q,), end, end)


def takes_frame(op) -> bool:
    """Whether the circuit's rz `op` may take in a run's closing frame change: the native
    writer folds into every rz of a real angle; one with a label is left as it is here, and a
    parameterised one or a subclass the plan never names."""
    return type(op) is RZGate and op.label is None and isinstance(op.params[0], float)

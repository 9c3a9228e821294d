"""The padded DAG written in Python, for circuits that Qiskit's C API cannot copy whole, and
for every circuit timed in ns."""

from __future__ import annotations

import math

from qiskit.circuit import Delay
from qiskit.circuit.library import RZGate

from vornak.qiskit.clocks import PlanClock, QiskitClock


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

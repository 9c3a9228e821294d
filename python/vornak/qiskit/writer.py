"""The padded DAG written in Python, for circuits that Qiskit's C API cannot copy whole, and
for every circuit timed in ns."""

from __future__ import annotations

from qiskit.circuit import Delay

from vornak.qiskit.seconds import QiskitClock


def write_in_python(dag, plan, sequence, pulse_durations, unit_dt, durations=None):
    """The padded DAG from the native plan, and its length and start times by node id.

    A run may hold several repetitions of the sequence (its k-th pulse is pulse k % n); a run
    at position ``len(order)`` follows its qubit's last operation. In dt the times are the
    plan's. In ns (`durations`: the table Qiskit's scheduling reads, in seconds) the times
    are those Qiskit's scheduling finds on the output, in ns: see :class:`QiskitClock`.
    """
    order, starts, ends, runs = plan
    nodes = {node._node_id: node for node in dag.op_nodes()}
    out = dag.copy_empty_like()
    qubits = dag.qubits
    index = {bit: i for i, bit in enumerate(qubits)}
    clock = None if unit_dt else QiskitClock(durations)
    cursor = [0.0] * len(qubits)
    times: dict[int, float] = {}

    def apply(op, qargs, cargs, start):
        node = out.apply_operation_back(op, qargs, cargs, check=False)
        times[node._node_id] = int(start) if unit_dt else clock.in_ns(start)

    def delay(q: int, until: float) -> None:
        if clock is not None:
            op = clock.delay(cursor[q], until)
            if op is not None:
                apply(op, (qubits[q],), (), cursor[q])
            cursor[q] = until
            return
        gap = until - cursor[q]
        if gap > 0:
            apply(Delay(int(round(gap)), "dt"), (qubits[q],), (), cursor[q])
        cursor[q] = until

    n = len(sequence)

    def write_runs(position: int) -> None:
        for q, pulse_starts in by_position.get(position, ()):
            for k, start in enumerate(pulse_starts):
                gate = sequence[k % n]
                if clock is not None:
                    start = clock.meeting(max(clock.seconds(start), cursor[q]), (cursor[q],))
                delay(q, start)
                apply(gate, (qubits[q],), (), start)
                cursor[q] = (start + pulse_durations[q][k % n] if clock is None
                             else clock.end(gate.name, (q,), start))

    by_position: dict[int, list] = {}
    for position, qubit, pulse_starts in runs:
        by_position.setdefault(position, []).append((qubit, pulse_starts))
    length = 0.0
    for i, node_id in enumerate(order):
        length = max(length, ends[i])
        node = nodes[node_id]
        write_runs(i)
        if isinstance(node.op, Delay):
            continue
        qs = [index[bit] for bit in node.qargs]
        if clock is None:
            start = starts[i]
        else:
            since = [cursor[q] for q in qs]
            start = clock.meeting(max([clock.seconds(starts[i])] + since), since)
        for q in qs:
            delay(q, start)
        apply(node.op, node.qargs, node.cargs, start)
        end = ends[i] if clock is None else clock.end(node.name, qs, start)
        for q in qs:
            cursor[q] = end
    write_runs(len(order))
    if clock is not None:
        length = clock.meeting(max([clock.seconds(length)] + cursor), cursor)
    for q in range(len(qubits)):
        delay(q, length)
    return out, length if clock is None else clock.in_ns(length), times

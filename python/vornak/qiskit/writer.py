"""The padded DAG written in Python, for circuits that Qiskit's C API cannot copy whole, and
for every circuit timed in ns."""

from __future__ import annotations

from qiskit.circuit import Delay

from vornak.qiskit.clocks import PlanClock, QiskitClock


def write_in_python(dag, plan, sequence, pulse_durations, unit_dt, durations=None):
    """The padded DAG from the native plan, and its length and start times by node id.

    A run may hold several repetitions of the sequence (its k-th pulse is pulse k % n); a run
    at position ``len(order)`` follows its qubit's last operation. In dt the times are the
    plan's; in ns (`durations`: the table Qiskit's scheduling reads) they are those Qiskit's
    scheduling finds on the output (see :mod:`vornak.qiskit.clocks`).
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

    def write_runs(position: int) -> None:
        for q, pulse_starts in by_position.get(position, ()):
            for k, planned in enumerate(pulse_starts):
                gate = sequence[k % n]
                start = clock.start(planned, (cursor[q],))
                delay(q, start)
                apply(gate, (qubits[q],), (), start)
                cursor[q] = clock.end(gate.name, (q,), start, start + pulse_durations[q][k % n])

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
        start = clock.start(starts[i], [cursor[q] for q in qs])
        for q in qs:
            delay(q, start)
        apply(node.op, node.qargs, node.cargs, start)
        end = clock.end(node.name, qs, start, ends[i])
        for q in qs:
            cursor[q] = end
    write_runs(len(order))
    length = clock.start(length, cursor)
    for q in range(len(qubits)):
        delay(q, length)
    return out, clock.reported(length), times

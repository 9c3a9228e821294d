"""The padded DAG written in Python, for circuits that Qiskit's C API cannot copy whole."""

from __future__ import annotations

import math

from qiskit.circuit import Delay
from qiskit.circuit.library import RZGate


def write_in_python(dag, plan, sequence, pulse_durations, unit_dt, alignment=0.0):
    """The padded DAG from the native plan, for circuits the native writer cannot copy.

    A run may hold several repetitions of the sequence (its k-th pulse is pulse k % n); a run
    at position ``len(order)`` follows its qubit's last operation. Each pulse of `sequence` is
    a tuple of gates: a pulse, or a phase-shifted pulse between its two ``rz`` frame changes
    (of no duration: the first at the pulse's start, the last at its end).
    """
    order, starts, ends, runs = plan
    nodes = {node._node_id: node for node in dag.op_nodes()}
    out = dag.copy_empty_like()
    qubits = dag.qubits
    index = {bit: i for i, bit in enumerate(qubits)}
    cursor = [0.0] * len(qubits)
    times: dict[int, float] = {}

    def apply(op, qargs, cargs, start):
        node = out.apply_operation_back(op, qargs, cargs, check=False)
        times[node._node_id] = int(start) if unit_dt else start

    def delay(q: int, until: float) -> None:
        gap = until - cursor[q]
        if gap > 0:
            op = Delay(int(round(gap)), "dt") if unit_dt else Delay(gap, "ns")
            apply(op, (qubits[q],), (), cursor[q])
        cursor[q] = until

    n = len(sequence)

    # Each pulse as (gate, phase φ of its frame): its rz frame changes merge between pulses.
    pulses = [(gates[len(gates) // 2], float(gates[-1].params[0]) if len(gates) > 1 else 0.0)
              for gates in sequence]

    def write_runs(position: int) -> None:
        for q, pulse_starts in by_position.get(position, ()):
            frame = 0.0
            for k, start in enumerate(pulse_starts):
                delay(q, start)
                gate, phase = pulses[k % n]
                if phase != frame:
                    apply(RZGate(frame - phase), (qubits[q],), (), start)
                frame = phase
                apply(gate, (qubits[q],), (), start)
                cursor[q] = start + pulse_durations[q][k % n]
            if frame != 0.0:
                end = cursor[q]
                if alignment > 0:
                    end = math.ceil(end / alignment - 1e-9) * alignment
                delay(q, end)
                apply(RZGate(frame), (qubits[q],), (), end)

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
        for bit in node.qargs:
            delay(index[bit], starts[i])
        apply(node.op, node.qargs, node.cargs, starts[i])
        for bit in node.qargs:
            cursor[index[bit]] = ends[i]
    write_runs(len(order))
    for q in range(len(qubits)):
        delay(q, length)
    return out, length, times



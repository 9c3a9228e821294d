"""One call that pads circuits, without a PassManager: ``vornak.qiskit.pad``."""

from __future__ import annotations

import os
from concurrent.futures import ThreadPoolExecutor
from numbers import Integral

from qiskit.circuit import QuantumCircuit
from qiskit.transpiler.exceptions import TranspilerError

from vornak.qiskit.dynamic import pad_dynamic
from vornak.qiskit.dynamical_decoupling import DynamicalDecoupling
from vornak.qiskit.padding import Padding

# Below this many instructions per circuit a thread's start costs more than it saves.
_PARALLEL_INSTRUCTIONS = 2000


def pad(circuits, target=None, *, threads: int | None = None, **options):
    """The circuit(s) padded as :class:`DynamicalDecoupling` pads them, in one call.

    ``pad(circuit, target=t, ...)`` returns what
    ``PassManager([DynamicalDecoupling(target=t, ...)]).run(circuit)`` returns: an equal
    circuit (``==``) with the same global phase, name and metadata, with ``op_start_times``
    set (the start of every instruction, in the order of ``data``; not set for a circuit
    without instructions, as there), but without the round trip through a ``DAGCircuit``:
    the circuit is read, scheduled, planned and written natively, and its start times come
    from the writer; labels (Qiskit's C API carries none) are found once and put back on
    the written instructions by position. Its instructions are in a topological order that may differ from the
    PassManager's: every qubit and clbit sees the same instructions in the same order with
    the same start times, but ``data`` and ``op_start_times`` can differ as lists where
    instructions on different wires trade places. Like ``PassManager.run``, the result has
    no ``layout``. A circuit with operations or parameters that Qiskit's C
    API cannot carry without Python (``Initialize``, ``PauliGate``, a delay whose duration
    is an expression), goes through the pass on a DAG instead, with the same result, as does
    a circuit timed in ns (written on Qiskit's clock) or one whose schedule may pass 2**53 dt
    (checked first).

    The template that ``samplomatic.build`` returns (parameterised dressings between
    barriers labelled for their boxes) pads on the native path: its parameters stay the same
    and in the same order, so a samplex's values bind into the padded template as into the
    template, and its labelled barriers stay; qiskit-ibm-runtime's ``QuantumProgram`` takes
    it through ``append_samplex_item`` and ``append_circuit_item``. :func:`pad_program` pads
    every item of a program.

    Args:
        circuits: A ``QuantumCircuit`` (then one is returned) or an iterable of them (then
            a list, in the same order).
        target: As for :class:`DynamicalDecoupling`.
        threads: Threads that pad a list, a whole number of at least 1 (default: one per
            usable core, and one for short circuits). Threads share the circuits without
            copying or pickling them. The interpreter lock is held while a circuit is read
            from Qiskit and written back, which touches Python and Qiskit objects; it is
            released while the core schedules and plans, so one thread's core work runs
            beside another's reading and writing. The circuits must not change while they
            are padded.
        **options: Every other option of :class:`DynamicalDecoupling` (``durations``,
            ``dd_sequence``, ``qubits``, ``skip_reset_qubits``, ``coupling_map``,
            ``crosstalk``, ``placement``, ``pulse_alignment``, ``around_control_flow``).
            A circuit with control flow is padded block by block, as the pass pads it; its
            ``op_start_times`` are the starts within each block.

    Raises:
        TranspilerError: Where the pass would, with the same message.
        TypeError: ``threads`` is not a whole number (a float, a bool), or an item of
            `circuits` is not a ``QuantumCircuit``.
        ValueError: ``threads`` is below 1.
    """
    if threads is not None:
        if isinstance(threads, bool) or not isinstance(threads, Integral):
            raise TypeError(f"threads must be a whole number or None, not {threads!r}")
        if threads < 1:
            raise ValueError(f"threads must be at least 1, not {threads}")
    padding = DynamicalDecoupling(target=target, **options).padding
    one = isinstance(circuits, QuantumCircuit)
    circuits = [circuits] if one else list(circuits)
    for circuit in circuits:
        if not isinstance(circuit, QuantumCircuit):
            raise TypeError(f"pad takes QuantumCircuits, not {type(circuit).__name__}")
    outcomes = pad_each(padding, circuits, threads)
    for outcome in outcomes:
        if isinstance(outcome, TranspilerError):
            raise outcome
    return outcomes[0] if one else outcomes


def pad_each(padding: Padding, circuits: list, threads: int | None = None) -> list:
    """For each of `circuits` (QuantumCircuits, checked by the caller) in order, the padded
    circuit, or the TranspilerError that padding it raised; threaded as :func:`pad` says.
    Every circuit is padded even where another fails, so that a caller can name each one
    that does."""
    workers = _workers(circuits, threads)
    if workers <= 1:
        return [_attempt(padding, circuit) for circuit in circuits]
    with ThreadPoolExecutor(workers) as pool:
        return list(pool.map(lambda circuit: _attempt(padding, circuit), circuits))


def _attempt(padding: Padding, circuit: QuantumCircuit):
    try:
        return _pad_one(padding, circuit)
    except TranspilerError as error:
        return error


def _workers(circuits: list, threads: int | None) -> int:
    if threads is not None:
        return min(int(threads), len(circuits))
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    if len(circuits) < 2 or not cores or cores < 2:
        return 1
    if sum(len(circuit._data) for circuit in circuits) < _PARALLEL_INSTRUCTIONS * len(circuits):
        return 1
    return min(cores, len(circuits))


def _pad_one(padding: Padding, circuit: QuantumCircuit) -> QuantumCircuit:
    if circuit._data.has_control_flow_op():
        return pad_dynamic(padding, circuit).out
    return padding.pad_circuit(circuit).out

"""One call that pads circuits, without a PassManager: ``vornak.qiskit.pad``."""

from __future__ import annotations

import copy
import os
from collections.abc import Iterable
from concurrent.futures import ThreadPoolExecutor
from numbers import Integral

from qiskit.circuit import QuantumCircuit
from qiskit.converters import circuit_to_dag, dag_to_circuit
from qiskit.passmanager import PropertySet
from qiskit.transpiler.exceptions import TranspilerError

from vornak import _bridge
from vornak.qiskit.control_flow import pad_dynamic
from vornak.qiskit.dd_pass import CONTROL_FLOW, DynamicalDecoupling
from vornak.qiskit.labels import labelled_positions, relabel

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
    dd = DynamicalDecoupling(target=target, **options)
    if isinstance(circuits, QuantumCircuit):
        return _pad_one(dd, circuits)
    circuits = list(circuits)
    for circuit in circuits:
        if not isinstance(circuit, QuantumCircuit):
            raise TypeError(f"pad takes QuantumCircuits, not {type(circuit).__name__}")
    outcomes = pad_each(dd, circuits, threads)
    for outcome in outcomes:
        if isinstance(outcome, TranspilerError):
            raise outcome
    return outcomes


def pad_each(dd: DynamicalDecoupling, circuits: list, threads: int | None = None) -> list:
    """For each of `circuits` (QuantumCircuits, checked by the caller) in order, the padded
    circuit, or the TranspilerError that padding it raised; threaded as :func:`pad` says.
    Every circuit is padded even where another fails, so that a caller can name each one
    that does."""
    workers = _workers(circuits, threads)
    if workers <= 1:
        return [_attempt(dd, circuit) for circuit in circuits]
    # The pass's tables are built once, before the threads share them.
    for width in {circuit.num_qubits for circuit in circuits}:
        dd._tables_for(width)
    with ThreadPoolExecutor(workers) as pool:
        return list(pool.map(lambda circuit: _attempt(dd, circuit), circuits))


def _attempt(dd: DynamicalDecoupling, circuit: QuantumCircuit):
    try:
        return _pad_one(dd, circuit)
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


def _pad_one(dd: DynamicalDecoupling, circuit: QuantumCircuit) -> QuantumCircuit:
    if circuit._data.has_control_flow_op():
        return pad_dynamic(dd, circuit, pad_static)[0]
    return pad_static(dd, circuit)[0]


def pad_static(dd: DynamicalDecoupling, circuit: QuantumCircuit):
    """(padded circuit with ``op_start_times``, sequences inserted, dropped) of a circuit
    without control flow."""
    data = circuit._data
    if data.has_control_flow_op():
        raise TranspilerError(CONTROL_FLOW)
    table, pulses, pulse_durations, couplings, options = dd._tables_for(circuit.num_qubits)
    delays = _delays(dd, circuit)
    # Where the pass writes in Python (see its run), it pads the circuit.
    if not dd._native(len(data), delays):
        return _through_the_pass(dd, circuit)
    # Labels are put back after the native writer, which writes none.
    labelled = labelled_positions(data)
    try:
        result = _bridge.pad_circuit(
            data, True, table, delays, pulses, pulse_durations, couplings, options,
            labelled or None,
        )
    except (LookupError, NotImplementedError) as error:
        raise TranspilerError(str(error)) from error
    if result is None:  # Python-object parameters or operations, or data in use elsewhere
        return _through_the_pass(dd, circuit)
    written, inserted, dropped, detail = result
    if not written:  # operations or pulses the C API cannot write
        return _through_the_pass(dd, circuit)
    if labelled:
        out, length, times, placed = detail
        relabel(out, data, labelled, placed)
    else:
        out, length, times = detail
    out.name = circuit.name
    out.metadata = circuit.metadata
    dd._finish(out, inserted, length)
    # As node_start_time holds them: ints in dt, floats in ns. Like PassManager.run, which
    # sets them only from a non-empty node_start_time, none for a circuit of no instructions.
    if times:
        out._op_start_times = times if dd._unit_dt else [float(t) for t in times]
    return out, inserted, dropped


def _delays(dd: DynamicalDecoupling, circuit: QuantumCircuit) -> dict[int, float]:
    """The length of every delay of `circuit`, by position."""
    if "delay" not in circuit.count_ops():
        return {}
    delays = {}
    for position, instruction in enumerate(circuit._data):
        if instruction.operation.name == "delay":
            delays[position] = dd._length_of_delay(
                instruction.operation,
                lambda: [circuit.find_bit(q).index for q in instruction.qubits],
            )
    return delays


def _through_the_pass(dd: DynamicalDecoupling, circuit: QuantumCircuit):
    """The pass on the circuit's DAG, and the circuit as ``PassManager.run`` makes it, with
    the counts of sequences inserted and dropped."""
    dag = circuit_to_dag(circuit, copy_operations=True)
    pass_ = copy.copy(dd)  # the same options and tables, its own property set
    pass_.property_set = PropertySet()
    out = pass_.run(dag)
    padded = dag_to_circuit(out, copy_operations=False)
    start_times = pass_.property_set["node_start_time"]
    if start_times:
        padded._op_start_times = [start_times[node] for node in out.topological_op_nodes()]
    props = pass_.property_set
    return padded, props["dd_sequences_inserted"], props["dd_sequences_dropped"]

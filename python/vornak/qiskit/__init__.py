"""Dynamical decoupling for Qiskit circuits, planned by the vornak core.

:class:`DynamicalDecoupling` is a transpiler pass (DAGCircuit in, DAGCircuit out) that
schedules a physical circuit as soon as possible, decides in native code which idle gaps
get a DD sequence and when each pulse runs (keeping pulses on coupled qubits apart), and
returns the circuit with the pulses inserted and every idle stretch filled with a
``Delay``. The scheduling-stage plugin ``vornak_dd`` runs it from ``transpile``::

    transpile(circuit, backend, scheduling_method="vornak_dd")
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Sequence

import numpy as np
from qiskit.circuit import Delay, Gate, Reset
from qiskit.circuit.library import XGate, YGate
from qiskit.circuit.duration import duration_in_dt
from qiskit.dagcircuit import DAGCircuit
from qiskit.transpiler import CouplingMap, InstructionDurations, Target
from qiskit.transpiler.basepasses import TransformationPass
from qiskit.transpiler.exceptions import TranspilerError

from vornak import _bridge

__all__ = ["DynamicalDecoupling"]

_PULSE_SPACING_S = 10e-9  # free time after each pulse, and after a pulse it must avoid
_UNIT_SECONDS = {"s": 1.0, "ms": 1e-3, "us": 1e-6, "ns": 1e-9, "ps": 1e-12}

_qiskit_major_minor = tuple(int(p) for p in __import__("qiskit").__version__.split(".")[:2])


class DynamicalDecoupling(TransformationPass):
    """Inserts dynamical-decoupling sequences into the idle gaps of a physical circuit.

    The circuit is scheduled as soon as possible. A qubit that waits before an operation
    for at least 1.5 times the length of the sequence gets the whole sequence in that gap,
    and only in gaps before an operation (not at the end of the circuit). With ``crosstalk``
    on, a pulse that would overlap a pulse already placed on a coupled qubit moves to just
    after it (plus 10 ns). Every pulse is followed by at least 10 ns before the next one; a
    sequence that then no longer fits before the operation is left out whole.

    Args:
        durations: Instruction durations, for use without a ``target``.
        dd_sequence: Single-qubit gates whose product is the identity up to a global phase.
            Default: X-Y-X-Y where the target has a ``y`` gate, else X-X.
        qubits: The physical qubits that may get pulses (default: all).
        target: The backend's :class:`~qiskit.transpiler.Target`; it supplies durations,
            ``dt``, the pulse alignment and the default coupling map, and takes precedence
            over ``durations``.
        skip_reset_qubits: No pulses while a qubit is still in its initial state or just
            after a reset.
        coupling_map: The coupled qubit pairs the crosstalk check looks at (default: the
            target's).
        crosstalk: Keep pulses on coupled qubits from overlapping in time.
        placement: ``"spread"`` splits the free time of a gap 1/2n, 1/n, ..., 1/n, 1/2n
            around the n pulses; ``"start"`` packs the pulses at the start of the gap.
        pulse_alignment: Pulse start times are multiples of this many ``dt`` (default: the
            target's, else 1).

    The pass records in the property set ``node_start_time`` (the start of every operation
    of the output, filled when first read), ``time_unit``, and the counts
    ``dd_sequences_inserted`` and ``dd_sequences_dropped`` (sequences of gaps that passed the
    1.5 rule but that the crosstalk shifts or the 10 ns spacing would have cut short). Operations inside control flow are not supported: a circuit with
    control flow raises :class:`~qiskit.transpiler.exceptions.TranspilerError`.
    """

    def __init__(
        self,
        durations: InstructionDurations | None = None,
        dd_sequence: Sequence[Gate] | None = None,
        qubits: Iterable[int] | None = None,
        target: Target | None = None,
        skip_reset_qubits: bool = True,
        *,
        coupling_map: CouplingMap | Iterable[tuple[int, int]] | None = None,
        crosstalk: bool = True,
        placement: str = "spread",
        pulse_alignment: int | None = None,
    ):
        super().__init__()
        if placement not in ("spread", "start"):
            raise TranspilerError(f"placement must be 'spread' or 'start', not {placement!r}")
        if target is None and durations is None:
            raise TranspilerError("DynamicalDecoupling needs a target or instruction durations")
        self.target = target
        self.durations = durations
        if dd_sequence is None:
            has_y = target is not None and "y" in target.operation_names
            dd_sequence = [XGate(), YGate(), XGate(), YGate()] if has_y else [XGate(), XGate()]
        self.dd_sequence = list(dd_sequence)
        if not self.dd_sequence:
            raise TranspilerError("The DD sequence is empty.")
        for gate in self.dd_sequence:
            if not isinstance(gate, Gate) or gate.num_qubits != 1:
                raise TranspilerError(f"The DD sequence holds {gate!r}, not a single-qubit gate.")
            if target is not None and gate.name not in target.operation_names:
                raise TranspilerError(f"{gate.name} in dd_sequence is not supported in the target")
        self._phase = _identity_phase(self.dd_sequence)
        self.qubits = None if qubits is None else frozenset(int(q) for q in qubits)
        self.skip_reset_qubits = bool(skip_reset_qubits)
        self.coupling_map = coupling_map
        self.crosstalk = bool(crosstalk)
        self.placement = placement
        if pulse_alignment is not None:
            self.pulse_alignment = int(pulse_alignment)
        elif target is not None:
            self.pulse_alignment = int(target.pulse_alignment or 1)
        else:
            self.pulse_alignment = 1
        if self.pulse_alignment < 1:
            raise TranspilerError(
                f"pulse_alignment must be a positive number of dt, not {self.pulse_alignment}"
            )
        self._tables: dict[int, tuple] = {}

    # -- the plan ------------------------------------------------------------------------

    def _dt(self) -> float | None:
        if self.target is not None:
            return self.target.dt
        return getattr(self.durations, "dt", None)

    def _to_unit(self, value: float, unit: str) -> float:
        """A duration in the pass's unit: dt when there is a dt, else ns."""
        dt = self._dt()
        if unit == "dt":
            if dt is None:
                raise TranspilerError("A duration is given in dt, but there is no dt.")
            return float(value)
        seconds = value * _UNIT_SECONDS[unit]
        if dt is not None:
            return float(duration_in_dt(seconds, dt))
        # Whole picoseconds: seconds times 1e9 carries float noise into every delay.
        return round(seconds * 1e12) / 1e3

    def _duration_table(self) -> dict[str, dict[tuple[int, ...], float]]:
        table: dict[str, dict[tuple[int, ...], float]] = {}
        if self.target is not None:
            for name in self.target.operation_names:
                for qargs, props in self.target[name].items():
                    if props is not None and props.duration is not None:
                        table.setdefault(name, {})[tuple(qargs or ())] = self._to_unit(
                            props.duration, "s"
                        )
        else:
            for name, (value, unit) in self.durations.duration_by_name.items():
                table.setdefault(name, {})[()] = self._to_unit(value, unit)
            for (name, qargs), (value, unit) in self.durations.duration_by_name_qubits.items():
                table.setdefault(name, {})[tuple(qargs)] = self._to_unit(value, unit)
        table["barrier"] = {(): 0.0}
        return table

    def _tables_for(self, num_qubits: int) -> tuple:
        """Everything the native side needs that depends only on the width: cached."""
        cached = self._tables.get(num_qubits)
        if cached is not None:
            return cached
        table = self._duration_table()
        pulse_durations: list[tuple[float, ...] | None] = []
        for q in range(num_qubits):
            if self.qubits is not None and q not in self.qubits:
                pulse_durations.append(None)
                continue
            if self.target is not None and not all(
                self.target.instruction_supported(g.name, qargs=(q,)) for g in self.dd_sequence
            ):
                pulse_durations.append(None)
                continue
            lengths = []
            for gate in self.dd_sequence:
                entry = table.get(gate.name, {})
                length = entry.get((q,), entry.get(()))
                if length is None:
                    raise TranspilerError(f"Duration of {gate.name} on qubits [{q}] is not found.")
                lengths.append(length)
            pulse_durations.append(tuple(lengths))
        pulses = [_native_pulse(g) for g in self.dd_sequence]
        couplings = self._couplings(num_qubits)
        dt = self._dt()
        if dt is not None:
            spacing = float(math.ceil(_PULSE_SPACING_S / dt - 1e-9))
            options = (self.placement == "spread", float(self.pulse_alignment), spacing,
                       self.crosstalk, self.skip_reset_qubits, True)
        else:
            options = (self.placement == "spread", 0.0, _PULSE_SPACING_S * 1e9,
                       self.crosstalk, self.skip_reset_qubits, False)
        cached = (table, pulses, pulse_durations, couplings, options)
        self._tables[num_qubits] = cached
        return cached

    def _couplings(self, num_qubits: int) -> list[tuple[int, int]]:
        if not self.crosstalk:
            return []
        coupling = self.coupling_map
        if coupling is None and self.target is not None:
            coupling = self.target.build_coupling_map()
        if coupling is None:
            return []
        edges = coupling.get_edges() if isinstance(coupling, CouplingMap) else coupling
        return [(int(a), int(b)) for a, b in edges if a < num_qubits and b < num_qubits]

    # -- the pass ------------------------------------------------------------------------

    def run(self, dag: DAGCircuit) -> DAGCircuit:
        if dag.control_flow_op_nodes():
            raise TranspilerError(
                "DynamicalDecoupling does not support control flow; "
                "run it on circuits without control-flow operations."
            )
        table, pulses, pulse_durations, couplings, options = self._tables_for(dag.num_qubits())
        delays = {}
        if "delay" in dag.count_ops(recurse=False):
            for node in dag.op_nodes(Delay):
                delays[node._node_id] = self._delay_length(dag, node)
        # Qiskit's C API carries no labels: a circuit that has one is written in Python.
        write = not _has_labels(dag)
        try:
            written, inserted, dropped, detail = _bridge.pad(
                dag, write, table, delays, pulses, pulse_durations, couplings, options
            )
        except (LookupError, NotImplementedError) as error:
            raise TranspilerError(str(error)) from error
        if written:
            out, length, times = detail
            out.name = dag.name
            out.metadata = dag.metadata
        else:
            out, length, times = _write_in_python(
                dag, detail, self.dd_sequence, pulse_durations, options[5]
            )
        if inserted and self._phase:
            out.global_phase = out.global_phase - inserted * self._phase
        unit = "dt" if options[5] else "ns"
        out._unit = unit
        out._duration = int(length) if options[5] else length
        self.property_set["time_unit"] = unit
        self.property_set["node_start_time"] = _StartTimes(out, times)
        self.property_set["dd_sequences_inserted"] = inserted
        self.property_set["dd_sequences_dropped"] = dropped
        return out

    def _delay_length(self, dag: DAGCircuit, node) -> float:
        """The length of an input delay in the pass's unit; a TranspilerError if it has none."""
        op = node.op
        try:
            if op.unit != "dt" and op.unit not in _UNIT_SECONDS:
                raise TypeError(f"its unit is {op.unit!r}")
            return self._to_unit(float(op.duration), op.unit)
        except (TypeError, ValueError, OverflowError) as error:
            qubits = [dag.find_bit(q).index for q in node.qargs]
            raise TranspilerError(
                f"The delay on qubits {qubits} has no fixed duration ({op.duration}): {error}"
            ) from error


def _has_labels(dag: DAGCircuit) -> bool:
    return any(node.label is not None for node in dag.op_nodes())


def _identity_phase(sequence: Sequence[Gate]) -> float:
    """The phase φ of a sequence whose product is e^{iφ}·I; refuses any other sequence."""
    product = np.eye(2, dtype=complex)
    for gate in sequence:
        try:
            matrix = np.asarray(gate.to_matrix(), dtype=complex)
        except Exception as error:  # unbound parameters, no matrix
            raise TranspilerError(
                f"The DD sequence {[g.name for g in sequence]} has no matrix: {error}"
            ) from error
        product = matrix @ product
    phase = complex(product[0, 0])
    if abs(abs(phase) - 1) > 1e-9 or not np.allclose(product, phase * np.eye(2), atol=1e-9):
        raise TranspilerError(
            f"The DD sequence {[g.name for g in sequence]} is not the identity "
            "up to a global phase."
        )
    angle = float(np.angle(phase))
    return 0.0 if abs(angle) < 1e-12 else angle


def _native_pulse(gate: Gate):
    """(standard gate number, parameters) where the native writer can emit the gate."""
    standard = getattr(gate, "_standard_gate", None)
    if standard is None or gate.label is not None:
        return None
    try:
        params = tuple(float(p) for p in gate.params)
    except TypeError:
        return None
    return (int(standard), params)


def _write_in_python(dag, plan, sequence, pulse_durations, unit_dt):
    """The padded DAG from the native plan, for circuits the native writer cannot copy."""
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

    by_position: dict[int, list] = {}
    for position, qubit, pulse_starts in runs:
        by_position.setdefault(position, []).append((qubit, pulse_starts))
    length = 0.0
    for i, node_id in enumerate(order):
        length = max(length, ends[i])
        node = nodes[node_id]
        if isinstance(node.op, Delay):
            continue
        for q, pulse_starts in by_position.get(i, ()):
            for k, start in enumerate(pulse_starts):
                delay(q, start)
                apply(sequence[k], (qubits[q],), (), start)
                cursor[q] = start + pulse_durations[q][k]
        for bit in node.qargs:
            delay(index[bit], starts[i])
        apply(node.op, node.qargs, node.cargs, starts[i])
        for bit in node.qargs:
            cursor[index[bit]] = ends[i]
    for q in range(len(qubits)):
        delay(q, length)
    return out, length, times


class _StartTimes(dict):
    """``node_start_time`` of a padded DAG, from the start time of each operation by node index.

    Looking a node up reads the times directly; the dict itself is filled (with a key per
    operation of the DAG) only when it is walked or changed.
    """

    def __init__(self, dag, times):
        super().__init__()
        self._dag = dag
        self._times = times  # start time by node index, None for wire nodes
        self._filled = False

    def _fill(self):
        if self._filled:
            return
        self._filled = True
        times = self._times
        for node in self._dag.op_nodes():
            dict.__setitem__(self, node, times[node._node_id])

    def _lookup(self, node):
        try:
            time = self._times[node._node_id]
        except (AttributeError, IndexError, KeyError, TypeError):
            return None
        return time

    def __getitem__(self, node):
        if not self._filled:
            time = self._lookup(node)
            if time is not None:
                return time
        self._fill()
        return dict.__getitem__(self, node)

    def __contains__(self, node):
        self._fill()
        return dict.__contains__(self, node)

    def __len__(self):
        return dict.__len__(self) if self._filled else self._dag.num_ops()

    def __iter__(self):
        self._fill()
        return dict.__iter__(self)

    def __repr__(self):
        self._fill()
        return dict.__repr__(self)

    def __eq__(self, other):
        self._fill()
        return dict.__eq__(self, other)

    __hash__ = None

    def get(self, node, default=None):
        self._fill()
        return dict.get(self, node, default)

    def keys(self):
        self._fill()
        return dict.keys(self)

    def values(self):
        self._fill()
        return dict.values(self)

    def items(self):
        self._fill()
        return dict.items(self)

    def copy(self):
        self._fill()
        return dict(dict.items(self))

    def pop(self, node, *default):
        self._fill()
        return dict.pop(self, node, *default)

    def setdefault(self, node, default=None):
        self._fill()
        return dict.setdefault(self, node, default)

    def update(self, *args, **kwargs):
        self._fill()
        dict.update(self, *args, **kwargs)

    def __setitem__(self, node, value):
        self._fill()
        dict.__setitem__(self, node, value)

    def __delitem__(self, node):
        self._fill()
        dict.__delitem__(self, node)

    def clear(self):
        self._filled = True
        dict.clear(self)

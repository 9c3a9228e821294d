"""The DD transpiler pass: a physical circuit in, the same circuit with its idle gaps padded out."""

from __future__ import annotations

import math
from functools import partial
from operator import attrgetter, is_not
from collections.abc import Iterable, Sequence
from numbers import Real

from qiskit.circuit import Delay, Gate, Instruction
from qiskit.circuit.classical import expr
from qiskit.circuit.duration import duration_in_dt
from qiskit.dagcircuit import DAGCircuit
from qiskit.transpiler import CouplingMap, InstructionDurations, Target
from qiskit.transpiler.basepasses import TransformationPass
from qiskit.transpiler.exceptions import TranspilerError
from qiskit.transpiler.passes.scheduling.time_unit_conversion import _EvalDurationImpl

from vornak import _bridge
from vornak.qiskit.arguments import alignment, coupling_pairs, of_type, qubit_list
from vornak.qiskit.control_flow import AROUND, DEFAULT_AROUND, run_dynamic
from vornak.qiskit.durations import (
    MAX_EXACT_DT, UNIT_SECONDS, checked, checked_length, duration_table, to_unit, unit_is_dt,
)
from vornak.qiskit.sequence import (
    block_residues,
    default_sequence,
    identity_block,
    identity_phase,
    native_written,
    written_pulse,
)
from vornak.qiskit.start_times import record_start_times
from vornak.qiskit.writer import write_in_python as _write_in_python

_PULSE_SPACING_S = 10e-9  # free time after each pulse, and after a pulse it must avoid
CONTROL_FLOW = "A circuit with control flow is padded block by block, not as one static circuit."

# The defaults of the pass and of the ``vornak_dd`` plugin.
DEFAULT_SCHEDULING = "alap"
DEFAULT_PLACEMENT = "walsh"
DEFAULT_MAX_FREE_TIME = 2e-6

_PLACEMENTS = ("start", "spread", "walsh")
_SCHEDULINGS = ("asap", "alap")


class DynamicalDecoupling(TransformationPass):
    """Inserts dynamical-decoupling sequences into the idle gaps of a physical circuit.

    The pass schedules the circuit itself, as late as possible by default (no scheduling
    analysis has to run before it), decides in native code which idle gaps get pulses and
    when each pulse runs, and returns the circuit with the pulses inserted and every idle
    stretch filled with a ``Delay``. With its delays taken out, the output equals the input
    as an ``Operator``, global phase included: the pass corrects the phase of every sequence
    it inserts.

    Every operation starts on the device's grid: gates, barriers and pulses at multiples of
    the pulse alignment, measurements and resets at multiples of the acquire alignment; an
    operation off its grid moves later and the ones after it follow, as in Qiskit's
    ``ConstrainedReschedule``. The target's ``granularity`` and ``min_length`` bound pulse
    waveforms, not start times, and change nothing here.

    Placements. ``"walsh"`` (the default) cuts each qubit's idle time wherever the frame of
    a coupled neighbour turns (at the middle of each of the neighbour's operations that does
    not commute with its Z, and at the pulses of neighbours of a lower colour of the coupling
    map) and centres pulses in each part so that both the qubit's detuning and its ZZ with
    those neighbours integrate to zero; where a neighbour's frame only flips sign (its
    pulses, an ``x``, the echo of an ``ecr`` it controls) the qubit follows it with an even
    pattern of pulses shifted until their ZZ integrates to zero. Each connected part of the
    coupling map is planned both ways round and keeps the plan with fewer pulses. The pulses
    need their own times, so the crosstalk rule does not move them; the time after a
    qubit's last operation is filled too. ``"spread"`` and ``"start"`` give a qubit that
    waits before an operation for at least 1.5 times the sequence's block the whole sequence
    in that gap, spread over it or packed at its start; with ``crosstalk``, a pulse that
    would overlap a pulse on a coupled qubit moves to just after it, plus 10 ns. Every pulse
    is followed by at least 10 ns before the next one on its qubit; a sequence that then no
    longer fits is left out whole and counted as dropped.

    Circuits with control flow (``if_else``, ``switch_case``, ``for_loop``, ``while_loop``,
    ``box``, nested, with mid-circuit measurements and resets) are padded block by block
    under the block model of IBM's dynamic-circuit hardware: a control-flow operation ends
    the timed block and a reset ends it on its qubits; each block and each body is scheduled
    from its own t = 0 and padded as a static circuit. Conditions, targets and clbits are
    kept as they are, and every block stays exact with its global phase. A ``box`` of fixed
    duration (in ``dt``, or in units of time converted with ``dt``) lasts it: its body is
    scheduled inside it and the rest of its time is idle time, padded like any other; a body
    that needs longer, or whose length is not known at compile time (control flow, a reset
    with operations after it), raises. In a loop body that a ``break_loop`` or
    ``continue_loop`` may leave early, the phase correction of the sequences after that
    point goes with them (``rz(2π)`` where it is π, else a ``GlobalPhaseGate``), so that the
    path that leaves keeps its phase too.

    Make this the last pass that touches single-qubit gates: a later resynthesis of
    single-qubit runs sees X̄ as X up to a phase and undoes the robust pairs.

    Examples:
        >>> from qiskit import QuantumCircuit, transpile
        >>> from qiskit.providers.fake_provider import GenericBackendV2
        >>> from qiskit.transpiler import PassManager
        >>> from vornak.qiskit import DynamicalDecoupling
        >>> backend = GenericBackendV2(num_qubits=5, seed=1)
        >>> circuit = QuantumCircuit(4)
        >>> gates = [circuit.h(0), *(circuit.cx(q, q + 1) for q in range(3))]
        >>> circuit.measure_all()
        >>> pm = PassManager([DynamicalDecoupling(target=backend.target)])
        >>> padded = pm.run(transpile(circuit, backend, seed_transpiler=1))
        >>> pm.property_set["dd_sequences_inserted"], padded.count_ops()["x"]
        (5, 10)
        >>> pm.property_set["time_unit"], padded.estimate_duration(backend.target, unit="dt")
        ('dt', 13021)

    Args:
        durations: Instruction durations, for use without a ``target``. Default: None.
        dd_sequence: Single-qubit gates whose product is the identity up to a global phase.
            A π pulse the target lacks (``YGate``, ``RGate(π, φ)``, ``RXGate(-π)`` for X̄) is
            written as the target's ``x`` between ``rz`` frame changes; where a gap's
            pulses leave the frame turned and the next operation on the qubit is an ``rz``
            of a numeric angle (not a parameter, and without a label), the closing frame
            change goes into it, as one ``rz`` of the summed angle. The pass places the
            shortest blocks that are each the identity with one phase, cycling through the
            whole sequence. Default: X, X̄, X̄, X in blocks of two, which cancels an
            over-rotation of every pulse exactly and a drive off resonance to first order
            where a gap holds four or more pulses (X-X on a target without ``rz``).
        qubits: The physical qubits that may get pulses. Default: all.
        target: The backend's :class:`~qiskit.transpiler.Target`; it supplies durations,
            ``dt``, the alignments and the default coupling map, and takes precedence over
            ``durations``. Default: None.
        skip_reset_qubits: No pulses while a qubit is still in its initial state or just
            after a reset. Default: True.
        coupling_map: The coupled qubit pairs that the walsh planner and the crosstalk check
            look at; each qubit must be in the target and in the circuit. Default: the
            target's.
        crosstalk: Keep pulses on coupled qubits from overlapping in time (``"spread"`` and
            ``"start"``). Default: True.
        placement: ``"walsh"`` refocuses each qubit's detuning and the ZZ of coupled pairs,
            with mutually orthogonal pulse patterns on coupled qubits; ``"spread"`` splits
            the free time of a gap 1/2n, 1/n, ..., 1/n, 1/2n around its n pulses, which
            refocuses detuning only, with fewer pulses and in less time; ``"start"`` packs
            the pulses at the start of the gap. Default: ``"walsh"``.
        scheduling: ``"alap"`` starts every operation as late as possible, which keeps qubits
            in their initial state longest; ``"asap"`` as soon as possible. Default:
            ``"alap"``.
        max_free_time: Walsh placement: the longest free time between two pulses of a part,
            in seconds, as far as each pulse keeps its room, so that a detuning that drifts
            is refocused too; None for no bound (as where the durations are all in ``dt``
            and there is no ``dt``). Default: 2e-6.
        pulse_alignment: Start times of gates, barriers and pulses are multiples of this
            many ``dt``; refused where the durations have no ``dt``. Default: the target's,
            else 1.
        acquire_alignment: Start times of measurements and resets are multiples of this
            many ``dt``; refused where the durations have no ``dt``. Default: the target's,
            else 1.
        around_control_flow: What the qubits do that a control-flow operation leaves idle
            for a time not known at compile time: ``"stretch"`` gives them a sequence whose
            delays are Qiskit stretches, which the device solves so that it lasts as long as
            the operation; ``"widen"`` takes them into the operation, so that each body pads
            them; ``"idle"`` leaves them. Default: ``"stretch"``.

    Raises:
        TranspilerError: At construction, for a bad argument (naming it); at the first run,
            for an argument that depends on the circuit (a pair of ``coupling_map`` outside
            it), a duration that is negative, not finite or a fractional number of ``dt``
            (naming the operation and its qubits), or a schedule beyond 2**53 ``dt``.

    Times are in ``dt`` where there is a ``dt``, or where the durations are all given in
    ``dt`` (then no 10 ns spacing can be derived, and pulses keep none); otherwise in ns.
    In ``dt`` they are exact, whole numbers up to 2**53 ``dt``; in ns the output is written
    on Qiskit's clock (durations added in seconds, as its scheduling adds them), so that
    Qiskit's ``ASAPScheduleAnalysis`` finds the pass's times to the bit.

    The pass records in the property set ``node_start_time`` (the start of every operation
    of the output, as the ``NodeDurations`` map Qiskit's scheduling passes keep; within its
    own block for a dynamic circuit), ``time_unit``, ``dd_sequences_inserted`` (blocks of
    the sequence: whole repetitions, or pairs of pulses for the default sequence),
    ``dd_sequences_dropped`` (gaps that passed the 1.5 rule and got no pulses), for dynamic
    circuits ``dd_stretch_sequences_inserted``, and ``vornak_node_start_time_nodes``, the
    nodes of ``node_start_time`` in node order, which lets them be freed in that order when
    the property set goes.

    References:
        1. L. Viola, E. Knill and S. Lloyd, "Dynamical decoupling of open quantum systems",
           Phys. Rev. Lett. 82, 2417 (1999).
        2. D. Hayes, K. Khodjasteh, L. Viola and M. J. Biercuk, "Reducing sequencing
           complexity in dynamical quantum error suppression by Walsh modulation",
           Phys. Rev. A 84, 062323 (2011).
        3. A. M. Souza, G. A. Álvarez and D. Suter, "Robust dynamical decoupling",
           Phil. Trans. R. Soc. A 370, 4748 (2012).
        4. Hickman, Wu and Quiroz, "Crosstalk-robust dynamical decoupling",
           arXiv:2506.18010 (2025).
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
        placement: str = DEFAULT_PLACEMENT,
        scheduling: str = DEFAULT_SCHEDULING,
        max_free_time: float | None = DEFAULT_MAX_FREE_TIME,
        pulse_alignment: int | None = None,
        acquire_alignment: int | None = None,
        around_control_flow: str = DEFAULT_AROUND,
    ):
        super().__init__()
        if around_control_flow not in AROUND:
            raise TranspilerError(
                f"around_control_flow must be one of {list(AROUND)}, not {around_control_flow!r}"
            )
        self.around = around_control_flow
        if placement not in _PLACEMENTS:
            raise TranspilerError(
                f"placement must be one of {sorted(_PLACEMENTS)}, not {placement!r}"
            )
        if scheduling not in _SCHEDULINGS:
            raise TranspilerError(f"scheduling must be 'asap' or 'alap', not {scheduling!r}")
        if target is None and durations is None:
            raise TranspilerError("DynamicalDecoupling needs a target or instruction durations")
        of_type(target, Target, "target")
        of_type(durations, InstructionDurations, "durations")
        self.target = target
        self.durations = durations
        self._unit_dt = unit_is_dt(target, durations)
        width = target.num_qubits if target is not None else None
        if target is not None:
            supported = set(target.operation_names)
        else:
            supported = set(durations.duration_by_name) | {
                name for name, _ in durations.duration_by_name_qubits}
        if dd_sequence is None:
            dd_sequence = default_sequence(supported)
        elif isinstance(dd_sequence, (Instruction, str)) or not isinstance(dd_sequence, Iterable):
            raise TranspilerError(
                f"dd_sequence must be a list of gates, not {type(dd_sequence).__name__}"
            )
        self.dd_sequence = list(dd_sequence)
        if not self.dd_sequence:
            raise TranspilerError("The DD sequence is empty.")
        for gate in self.dd_sequence:
            if not isinstance(gate, Gate) or gate.num_qubits != 1:
                raise TranspilerError(f"The DD sequence holds {gate!r}, not a single-qubit gate.")
        identity_phase(self.dd_sequence)  # refuses any other sequence, naming its gates
        # Each pulse as the device makes it: itself, or x between rz frame changes.
        self._written = [written_pulse(gate, supported) for gate in self.dd_sequence]
        # Frames turn pulses by rz, which the device must have.
        self._frames_allowed = "rz" in supported
        # The planner places blocks of the sequence; the writer cycles through all of it.
        self._block, self._phase = identity_block(self._written)
        self.qubits = None if qubits is None else frozenset(qubit_list(qubits, width, "qubits"))
        self.skip_reset_qubits = bool(skip_reset_qubits)
        if coupling_map is not None:
            pairs = coupling_pairs(coupling_map, width)
            if not isinstance(coupling_map, CouplingMap):
                coupling_map = pairs
        self.coupling_map = coupling_map
        self.crosstalk = bool(crosstalk)
        self.placement = placement
        self.scheduling = scheduling
        if max_free_time is not None:
            if (isinstance(max_free_time, bool) or not isinstance(max_free_time, Real)
                    or not math.isfinite(max_free_time) or max_free_time <= 0):
                raise TranspilerError(
                    f"max_free_time must be a positive number of seconds, not {max_free_time!r}")
            if self._unit_dt and self._dt() is None:
                # Durations all in dt, and no dt: seconds are no number of dt. The default
                # bound goes; one asked for is refused.
                if max_free_time != DEFAULT_MAX_FREE_TIME:
                    raise TranspilerError(
                        "max_free_time is in seconds, but the durations are in dt without a dt")
                max_free_time = None
            else:
                max_free_time = float(max_free_time)
        self.max_free_time = max_free_time
        self.pulse_alignment = alignment("pulse_alignment", pulse_alignment, target,
                                         self._unit_dt)
        self.acquire_alignment = alignment("acquire_alignment", acquire_alignment, target,
                                           self._unit_dt)
        self._tables: dict[int, tuple] = {}

    # -- the plan ------------------------------------------------------------------------

    def _qiskit_durations(self) -> InstructionDurations:
        """The durations Qiskit's scheduling passes read: the target's, else the table."""
        return self.target.durations() if self.target is not None else self.durations

    def _dt(self) -> float | None:
        if self.target is not None:
            return self.target.dt
        return getattr(self.durations, "dt", None)

    def _tables_for(self, num_qubits: int) -> tuple:
        """Everything the native side needs that depends only on the width, cached: the
        duration table, the pulses, their durations by qubit, the couplings, and the options
        as a dict by name."""
        cached = self._tables.get(num_qubits)
        if cached is not None:
            return cached
        if self.qubits is not None and self.target is None:
            qubit_list(self.qubits, num_qubits, "qubits")
        table = duration_table(self.target, self.durations, self._dt(), self._unit_dt)
        # Each operation ends at most this much after the one before it on its wires.
        self._step = max((v for entry in table.values() for v in entry.values()), default=0.0)
        self._step += max(self.pulse_alignment, self.acquire_alignment)
        pulse_durations: list[tuple[float, ...] | None] = []
        # The gates' names, each looked up once per qubit in the order the pulses meet them.
        names = [[gate.name for gate in pulse] for pulse in self._written]
        distinct = list(dict.fromkeys(name for pulse in names for name in pulse))
        for q in range(num_qubits):
            if self.qubits is not None and q not in self.qubits:
                pulse_durations.append(None)
                continue
            if self.target is not None and not all(
                self.target.instruction_supported(name, qargs=(q,)) for name in distinct
            ):
                pulse_durations.append(None)
                continue
            own = {}
            for name in distinct:
                entry = table.get(name, {})
                own[name] = entry.get((q,), entry.get(()))
                if own[name] is None:
                    raise TranspilerError(f"Duration of {name} on qubits [{q}] is not found.")
            lengths = []
            for pulse in names:
                length = 0.0
                for name in pulse:
                    length += own[name]
                lengths.append(length)
            pulse_durations.append(tuple(lengths))
        # The planner times blocks: every block must take the same time on a qubit.
        block, n = self._block, len(self.dd_sequence)
        if any(lengths is not None and any(lengths[k] != lengths[k % block] for k in range(n))
               for lengths in pulse_durations):
            # Whole sequences only, each the identity with the phase of its n / b blocks.
            self._block, self._phase = n, self._phase * (n // block)
            block = n
        pulses = [native_written(p) for p in self._written]
        couplings = self._couplings(num_qubits)
        dt = self._dt()
        options = {
            "placement": self.placement,
            "scheduling": self.scheduling,
            "crosstalk": self.crosstalk,
            "skip_reset_qubits": self.skip_reset_qubits,
            "unit_dt": self._unit_dt,
            "block": block,
            "max_free": 0.0,
        }
        residues = block_residues(self._written, block) if self._frames_allowed else None
        if residues is not None and any(residues):
            options["residues"] = residues
        if self.max_free_time is not None:
            options["max_free"] = (self.max_free_time / dt if self._unit_dt
                                   else self.max_free_time * 1e9)
        if self._unit_dt:
            # Without a dt (durations all in dt) 10 ns is no known number of dt: no spacing.
            spacing = float(math.ceil(_PULSE_SPACING_S / dt - 1e-9)) if dt is not None else 0.0
            options.update(pulse_alignment=float(self.pulse_alignment),
                           acquire_alignment=float(self.acquire_alignment), spacing=spacing)
        else:
            # Alignments are in dt: without a dt there is no grid.
            options.update(pulse_alignment=0.0, acquire_alignment=0.0,
                           spacing=_PULSE_SPACING_S * 1e9)
        cached = (table, pulses, pulse_durations, couplings, options)
        self._tables[num_qubits] = cached
        return cached

    def _couplings(self, num_qubits: int) -> list[tuple[int, int]]:
        # Given pairs must lie in the circuit, as given qubits must; the target's may not.
        if self.coupling_map is not None:
            coupling_pairs(self.coupling_map, num_qubits, "the circuit")
        # The walsh placement needs the couplings to choose the patterns of coupled qubits.
        if not self.crosstalk and self.placement != "walsh":
            return []
        return self._couplings_for_colouring(num_qubits)

    def _couplings_for_colouring(self, num_qubits: int) -> list[tuple[int, int]]:
        """The coupled pairs among the circuit's qubits: the given ones, else the target's."""
        if self.coupling_map is not None:
            return coupling_pairs(self.coupling_map, num_qubits, "the circuit")
        coupling = self.target.build_coupling_map() if self.target is not None else None
        if coupling is None:
            return []
        return [(a, b) for a, b in coupling.get_edges() if a < num_qubits and b < num_qubits]

    # -- the pass ------------------------------------------------------------------------

    def run(self, dag: DAGCircuit) -> DAGCircuit:
        if dag.control_flow_op_nodes():
            return run_dynamic(self, dag)
        table, pulses, pulse_durations, couplings, options = self._tables_for(dag.num_qubits())
        delays = {}
        if "delay" in dag.count_ops(recurse=False):
            for node in dag.op_nodes(Delay):
                delays[node._node_id] = self._delay_length(dag, node)
        # Qiskit's C API carries no labels: a circuit that has one is written in Python, as
        # is one in ns, written on Qiskit's clock, and one that may end beyond 2**53 dt,
        # whose length is checked first.
        write = self._native(dag.size(recurse=False), delays) and not has_labels(dag.op_nodes())
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
            checked_length(max(detail[2], default=0.0), self._unit_dt)
            out, length, times = _write_in_python(
                dag, detail, self._written, pulse_durations, self._unit_dt,
                None if self._unit_dt else self._qiskit_durations(),
                float(options["pulse_alignment"]),
            )
        self._finish(out, inserted, length)
        self.property_set["time_unit"] = out._unit
        record_start_times(self.property_set, out, times, self._unit_dt)
        self.property_set["dd_sequences_inserted"] = inserted
        self.property_set["dd_sequences_dropped"] = dropped
        return out

    def _finish(self, out, inserted: int, length: float) -> None:
        """Takes the phase of the `inserted` sequences out of the padded `out`, and gives it
        the pass's time unit and its `length`."""
        if inserted and self._phase:
            out.global_phase = out.global_phase - inserted * self._phase
        out._unit = "dt" if self._unit_dt else "ns"
        out._duration = int(length) if self._unit_dt else length

    def _native(self, operations: int, delays: dict) -> bool:
        """Whether the native writer may write the circuit: in dt, where it surely ends
        within 2**53 dt (its `operations` and its `delays` add up to no more)."""
        if not self._unit_dt:
            return False
        return operations * self._step + sum(delays.values()) <= MAX_EXACT_DT

    def _delay_length(self, dag: DAGCircuit, node) -> float:
        """The length of an input delay in the pass's unit; a TranspilerError if it has none."""
        return self._length_of_delay(node.op, lambda: [dag.find_bit(q).index for q in node.qargs])

    def _length_of_delay(self, op, qubits) -> float:
        """The length of delay `op`, on the qubits that `qubits()` lists, in the pass's unit."""
        try:
            if isinstance(op.duration, expr.Expr):
                value, unit = _constant_duration(op.duration, self._dt())
            else:
                value, unit = float(op.duration), op.unit
            if unit != "dt" and unit not in UNIT_SECONDS:
                raise TypeError(f"its unit is {unit!r}")
            length = to_unit(value, unit, self._dt(), self._unit_dt)
        except (TypeError, ValueError, OverflowError, TranspilerError) as error:
            raise TranspilerError(
                f"The delay on qubits {qubits()} has no fixed duration ({op.duration}): {error}"
            ) from error
        return checked(length, f"the delay on qubits {qubits()}", self._unit_dt)


def _constant_duration(duration: expr.Expr, dt: float | None) -> tuple[float, str]:
    """(value, unit) of a delay's duration expression; a TypeError where it holds a stretch."""
    if any(isinstance(x, expr.Stretch) for x in expr.iter_identifiers(duration)):
        raise TypeError("it holds a stretch")
    visitor = _EvalDurationImpl(dt)
    value = duration.accept(visitor)
    if visitor.in_cycles():
        return float(duration_in_dt(value, 1.0)), "dt"
    return value, "s"


def has_labels(instructions) -> bool:
    """Whether any of `instructions` (DAG nodes or circuit instructions) has a label.

    Qiskit 2.6's C API neither reads nor writes labels, and no Qiskit call answers this
    without making a Python object per instruction; the loop itself runs in C. Instruction
    objects read the label without making the operation's Python object, which
    ``CircuitData.foreach_op`` would make (six times the cost where it is not cached yet).
    """
    return any(map(partial(is_not, None), map(attrgetter("label"), instructions)))

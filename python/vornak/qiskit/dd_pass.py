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
from vornak.qiskit.calibration import Calibration
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

    The circuit is scheduled as soon as or as late as possible (``scheduling``), every
    operation starting on the device's grid: gates, barriers and pulses at multiples of the
    pulse alignment, measurements and resets at multiples of the acquire alignment; an
    operation off its grid moves later and the operations after it follow, as in Qiskit's
    ConstrainedReschedule, so every delay of the output is a multiple of the alignment when
    the durations are. The target's ``granularity`` and ``min_length`` bound pulse waveforms,
    not start times or delays: as in Qiskit's scheduling stage, they change nothing here.

    With the ``"spread"`` and ``"start"`` placements, a qubit that waits before an operation
    for at least 1.5 times the length of the sequence gets the whole sequence in that gap,
    and only in gaps before an operation (not at the end of the circuit). With ``crosstalk``
    on, a pulse that would overlap a pulse already placed on a coupled qubit moves to just
    after it (plus 10 ns). Every pulse is followed by at least 10 ns before the next one; a
    sequence that then no longer fits before the operation is left out whole.

    The ``"walsh"`` placement refocuses each qubit within the frames of its coupled
    neighbours: a qubit's idle time is cut into parts wherever a neighbour's frame turns (at
    the middle of each of the neighbour's operations that does not commute with its Z, and
    at the pulses of neighbours that come before it in a colouring of the coupling map), and
    each part gets pulses centred so that its detuning and its ZZ with those neighbours
    integrate to zero. Diagonal gates (``rz``, ``cz``, ...) and the control side of
    controlled gates turn no frame and cut nothing. Where a neighbour's frame only flips
    sign (at its pulses, an ``x`` or ``y``, the echo of an ``ecr`` it controls), the qubit
    is not cut but follows it: an even pattern of pulses, evenly spaced, shifted until the
    ZZ with that neighbour integrates to zero across its flips (one neighbour per gap, the
    one that flips most; one of a later colour only where it does not idle in the gap). A
    gap whose parts are all too short for a pulse takes the plain sequence over its whole
    length. Parts take enough pulses that no free time between them exceeds
    ``max_free_time``. A gap may hold the sequence several times; the time after a qubit's
    last operation is filled too. The qubits planned second are cut at (or follow) their
    neighbours' pulses too and take more pulses, so each connected part of the coupling map
    is planned both ways round and keeps the one with fewer pulses (FakeFez on
    ``bench/fidelity.py``, before flips were followed: 596 pulses instead of 656). The
    pulses need their own times, so the crosstalk rule (which moves pulses) does not apply.

    The default sequence is X, X̄, X̄, X, placed in blocks of two (any even number of pulses
    in a gap, as X-X): each pair cancels an over-rotation common to its pulses exactly, and
    the mirrored pairs cancel an off-resonance tilt to first order where a gap holds four or
    more. On ``bench/fidelity.py`` (``python bench/fidelity.py``, 2026-12-09; 12 circuits;
    100 realisations, 40 for the pulse-error and drift models, 400 with T1 and T2), mean
    fidelity on FakeSherbrooke / FakeTorino with 1% over-rotation of every pulse: 0.886 /
    0.978 (X-X at the same places: 0.733 / 0.939; Qiskit's context-aware pass: 0.713 /
    0.878; Qiskit's ALAP X-X: 0.679 / 0.929), with 3%: 0.882 / 0.978 (X-X: 0.366 / 0.725),
    with ideal pulses 0.886 / 0.979 as X-X. A gap whose pulses end inside the cycle (two, or
    4k + 2) keeps the first-order error of its last pair under a drive off resonance by a
    fraction f of the Rabi frequency: a turn by 4f about the axis perpendicular to the
    pulses', which no pair of π pulses avoids while it cancels an over-rotation. So each such
    run is turned about z as a whole (its pulses' phases shifted alike by ``rz`` frames: the
    same times, the same blocks, the same global phase) so that its error cancels what the
    qubit's earlier runs left, carried through the circuit's gates, where they reach it:
    across ``rz`` and other single-qubit gates, or two ``cz`` in a row. With the drive 2% off
    resonance: 0.886 / 0.967 (unturned, before flips were followed, 0.876 / 0.959; X-X
    0.886 / 0.978, the context-aware pass 0.839 / 0.972). A qubit with a single such pair
    has nothing to cancel it against: on Heron most gaps hold one pair, hence the rest of the
    gap to X-X. X-Y-X-Y (Y as x between frame changes) cancels both errors but needs gaps of
    four pulses: 0.880 / 0.976 with ideal pulses and 1,336 / 640 pulses against 1,206 / 534.

    ``max_free_time`` (2 µs by default) bounds the free time between a part's pulses: two
    pulses refocus a detuning that stays put over any length, but not one that drifts. Under
    an Ornstein-Uhlenbeck detuning with a correlation time of 1 µs (same benchmark) the mean
    rose from 0.853 / 0.971 unbounded to 0.876 / 0.976 (DJ-10 on FakeSherbrooke, with free
    stretches of several µs unbounded, from 0.740 to 0.841; Qiskit's context-aware pass:
    0.819), for 14% / 4% more pulses and 0.004 / 0.001 less under T1, T2 and pulse errors.

    With a ``target`` the walsh placement is noise-aware (``noise_aware``, on by default): the
    device's calibration says what each pulse costs and what each idle qubit suffers, and
    each idle stretch finally takes one of three candidates, whichever leaves the least: the
    walsh pattern planned as above, the plain sequence over the whole stretch (one pair at 1/4
    and 3/4 of it, or whole repetitions as ``max_free_time`` asks), or no pulses. The score is
    the first-order residual in the toggling frame, each qubit's detuning phase <δ²>(∫s)²/4
    per segment of its frame (between the operations that turn its Z into another operator,
    busy time included) and each coupled pair's ZZ ζ²(∫s_p s_q)²/16 per segment of both
    frames, plus each pulse's error beyond the decoherence the idle qubit suffers anyway: the
    target's error of the gate the pulse is written with, less 1 - (3 + 2 exp(-τ/T2) +
    exp(-τ/T1))/6 for its duration τ and the qubit's T1 and T2. A pair then pays for itself
    where a bare stretch is longer than √(8e/<δ²>), <δ²> counting ζ²/4 for each busy
    neighbour. Stretches whose segments meet form a region; each region starts from whichever
    uniform choice (all walsh, all plain) scores less and then changes one stretch at a time
    where that lowers its score, so no region leaves more than the plain sequence at the same
    places would, pulses counted at their cost. The detuning scale and the residual ZZ of each
    coupler family (``ecr`` or ``cx``: fixed couplers, 68 kHz; ``cz`` and others: tunable,
    6.4 kHz), and their sources, are in :mod:`vornak.qiskit.calibration`; ``zz`` gives
    measured values (a mapping or qiskit-experiments' ``ZZRamsey`` results) and
    ``detuning_hz`` the detuning scale. On a tunable-coupler device this mostly takes the
    plain pair and leaves short gaps on costly qubits bare; on a fixed-coupler device it
    mostly keeps the walsh patterns.

    The pulses' robustness lives in their phases: X̄ is ``rz(-π)·x·rz(π)``, which equals X up
    to a global phase. A later pass that resynthesises single-qubit gates (Qiskit's
    ``Optimize1qGatesDecomposition``, run by ``transpile`` at optimization levels 1 to 3)
    merges those frame changes into its neighbours and turns X, X̄ back into X, X, which an
    over-rotation no longer cancels: ``transpile(padded, backend, optimization_level=2)``
    undoes it without a warning. DD must be the last pass that touches single-qubit gates:
    run it on the transpiled circuit, or as the scheduling stage (the ``vornak_dd`` plugin;
    the preset pass managers run nothing after that stage), and do not transpile its output.

    The default scheduling is ALAP. ASAP refocuses a little better with ideal pulses on the
    four devices (mean 0.905 / 0.985 against 0.886 / 0.979 on the same benchmark; on
    FakeBrisbane 0.842 against 0.831) and under coherent pulse errors, but inserts 28% / 30%
    more pulses (1,546 / 692 against 1,206 / 534) and loses once decay and incoherent pulse
    errors count (0.606 / 0.870 against 0.644 / 0.881): ALAP keeps qubits in their ground
    state longer. A hybrid, each qubit's first operation as late as possible and the rest as
    soon as possible (``bench/late_start.py``), gains a little on three devices (0.891 /
    0.981, and 0.647 / 0.885 with T1 and T2) but loses on FakeBrisbane under every noise
    model but finite-width pulses (0.828 against 0.831 with ideal pulses) and by 0.065 on
    FakeSherbrooke's QFT-6 with T1 and T2, so it is no option of the pass.

    Args:
        durations: Instruction durations, for use without a ``target``.
        dd_sequence: Single-qubit gates whose product is the identity up to a global phase.
            A π pulse the target lacks (``YGate``, ``RGate(π, φ)``, ``RXGate(-π)`` for X̄) is
            written as the target's ``x`` between ``rz`` frame changes; where a gap's
            pulses leave the frame turned and the next operation on the qubit is an ``rz``
            of a numeric angle (not a parameter, and without a label), the closing frame
            change goes into it, as one ``rz`` of the summed angle (exact, global phase
            included; the frame change is virtual and commutes with the idle time between).
            The pass places the shortest blocks that are each the identity with one phase,
            cycling through the whole sequence. Default: X, X̄, X̄, X (X-X on a target
            without ``rz``).
        qubits: The physical qubits that may get pulses (default: all).
        target: The backend's :class:`~qiskit.transpiler.Target`; it supplies durations,
            ``dt``, the pulse alignment and the default coupling map, and takes precedence
            over ``durations``.
        skip_reset_qubits: No pulses while a qubit is still in its initial state or just
            after a reset.
        coupling_map: The coupled qubit pairs the crosstalk check looks at (default: the
            target's); each qubit must be in the target and in the circuit.
        crosstalk: Keep pulses on coupled qubits from overlapping in time.
        placement: ``"walsh"`` refocuses both each qubit's detuning and the always-on ZZ
            coupling of coupled pairs, with mutually orthogonal pulse patterns on coupled
            qubits; ``"spread"`` splits the free time of a gap 1/2n, 1/n, ..., 1/n, 1/2n
            around the n pulses, which refocuses detuning in the gap's middle;
            ``"start"`` packs the pulses at the start of the gap, leaving the rest of it
            free of pulses, as the core module's ``apply_dd_pass`` does. Mean fidelity on
            ``bench/fidelity.py``'s FakeSherbrooke circuits under detuning and ZZ: no DD
            0.29, spread 0.69, walsh 0.88 (start: 0.30 against spread's 0.61 and no DD's
            0.24 on an earlier set of 7 circuits: it barely decouples); walsh costs more
            pulses (QFT-50: 36,566 against spread's 4,172) and several times the pass time
            on large circuits.
        scheduling: ``"alap"`` (the default) starts every operation as late as possible,
            which keeps qubits in their initial state longest and shortens the time between
            a qubit's last gate and its measurement; ``"asap"`` starts every operation as
            soon as possible, which keeps qubits busy early and leaves their idle time
            before late operations.
        max_free_time: Walsh placement: the longest free time between two pulses of a part,
            in seconds (default 2e-6), as far as each pulse keeps its room; None for no bound
            (as by default where the durations are all in ``dt`` and there is no ``dt``).
        pulse_alignment: Start times of gates, barriers and pulses are multiples of this
            many ``dt`` (default: the target's, else 1); refused where the durations have no
            ``dt``.
        acquire_alignment: Start times of measurements and resets are multiples of this many
            ``dt`` (default: the target's, else 1); refused where the durations have no ``dt``.
        around_control_flow: What the qubits do that a control-flow operation leaves idle
            for a time not known at compile time: ``"stretch"`` (the default) gives them a
            sequence whose delays are Qiskit stretches, which the device solves so that the
            sequence lasts as long as the operation; ``"widen"`` takes them into the
            operation, so that each body pads them (they can then run nothing else
            meanwhile, and the decision's latency stays unpadded); ``"idle"`` leaves them.
        noise_aware: With a ``target`` and the walsh placement, choose each stretch's pulses
            by the device's calibration (above); False keeps the walsh patterns everywhere.
        zz: Measured ZZ of coupled pairs, in Hz (f_zz of H = h f_zz/4 ZZ): a mapping
            ``{(q0, q1): hertz}``, or what qiskit-experiments' ``ZZRamsey`` returns (an
            ``ExperimentData``, its ``"zz"`` analysis results, or a list of them; a fitted
            value counts by its magnitude). Pairs not given take their family's default. A
            pair that is not coupled, or a value that is no finite number >= 0, raises
            :class:`~qiskit.transpiler.exceptions.TranspilerError` naming the pair.
        detuning_hz: The standard deviation of each qubit's quasi-static detuning, in Hz
            (default 20 kHz).

    Times are in ``dt`` where there is a ``dt``, or where the durations are all given in
    ``dt`` (then no 10 ns spacing can be derived, and pulses keep none); otherwise in ns.
    Durations must be finite and non-negative, and whole numbers in ``dt``. Times are
    doubles: in ``dt`` they are exact up to 2**53 ``dt``, and an alignment, a duration, a
    delay or a whole schedule beyond that raises; in ns the output is written on Qiskit's
    clock (durations added in seconds, as its scheduling adds them), so that Qiskit's
    ``ASAPScheduleAnalysis`` finds the pass's times to the bit and no qubit waits where no
    delay covers it. Bad arguments (``target`` and ``durations`` of other types included)
    raise :class:`~qiskit.transpiler.exceptions.TranspilerError` at construction, or at the
    first run where they depend on the circuit's width (a pair of ``coupling_map`` outside
    the circuit, say).

    The pass records in the property set ``node_start_time`` (the start of every operation
    of the output, as the ``NodeDurations`` map Qiskit's scheduling passes keep),
    ``time_unit``, and the counts
    ``dd_sequences_inserted`` (blocks of the sequence: whole repetitions, or for the default
    sequence pairs of pulses) and ``dd_sequences_dropped`` (gaps that passed the 1.5 rule
    and got no pulses: their sequence would have been cut short by the crosstalk shifts or
    the 10 ns spacing; for ``"walsh"``, not even the plain sequence fitted once aligned and
    spaced), and for dynamic circuits
    ``dd_stretch_sequences_inserted`` (blocks of the sequence in stretch sequences); and
    after ``node_start_time``, ``vornak_node_start_time_nodes``, the list of its nodes in
    node order, which only lets them be freed in that order (several times faster than from
    the map) when the property set goes.

    Dynamic circuits (``if_else``, ``switch_case``, ``for_loop``, ``while_loop``, ``box``,
    nested, with mid-circuit measurements and resets) are padded under the block model of
    IBM's dynamic-circuit hardware, which qiskit-ibm-runtime's scheduler documents: a
    control-flow operation ends the timed block, and a reset ends it on its qubits; the time
    between two blocks (a measurement's result, the classical decision) is not known at
    compile time; each block and each body is scheduled from its own t = 0 with the pass's
    scheduling, and padded by the native planner with the same placement, grids and
    coupling, on the physical qubits it maps to. An operation goes into the earliest block
    its qubits, clbits and variables allow, so work that does not depend on a control-flow
    operation is not held back behind it. Conditions, targets and clbits are kept as they
    are, and each body and block stays exact with its global phase. Unlike the runtime's
    pass, measurements do not end a block and are not gathered to start together (the
    device needs neither for correctness), and control flow is widened only with
    ``around_control_flow="widen"``. ``node_start_time`` gives each operation its start
    within its own block; the control-flow operations, and the stretch sequences and
    barrier beside them, start at 0 of their own timeline, which the device fixes at run
    time; the output has no fixed duration.

    The default around control flow is the stretch sequences: on
    ``bench/dynamic_fidelity.py`` (2026-12-09, 60 realisations, a feed-forward latency of
    1.1 us; teleportation, GHZ by feed-forward, three rounds of a repetition code), the
    mean fidelity under detuning and ZZ / with T1, T2 and pulse errors as well was on
    FakeSherbrooke 0.882 / 0.740 with ``"stretch"`` against 0.575 / 0.527 with
    ``"widen"`` or ``"idle"`` (qiskit-ibm-runtime's pass: 0.566 / 0.512 at best), and on
    FakeTorino 0.889 / 0.753 against 0.544 / 0.488 (runtime: 0.567 / 0.505).
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
        noise_aware: bool = True,
        zz=None,
        detuning_hz: float | None = None,
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
        # The calibration's hook: the noise model the walsh placement chooses its pulses by.
        self._calibration = None
        if noise_aware and placement == "walsh" and target is not None:
            pairs = coupling_pairs(coupling_map, width) if coupling_map is not None else None
            self._calibration = Calibration(target, zz, detuning_hz, pairs)
        elif zz is not None or detuning_hz is not None:
            raise TranspilerError(
                "zz and detuning_hz need a target and the noise-aware walsh placement")

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
        if self._calibration is not None and (dt is not None or not self._unit_dt):
            options["noise"] = self._calibration.native(
                num_qubits, dt if self._unit_dt else 1e-9, names)
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

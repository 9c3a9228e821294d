"""The DD transpiler pass: a physical circuit in, the same circuit with its idle gaps padded out."""

from __future__ import annotations

from collections.abc import Iterable, Sequence

from qiskit.circuit import Gate
from qiskit.dagcircuit import DAGCircuit
from qiskit.transpiler import CouplingMap, InstructionDurations, Target
from qiskit.transpiler.basepasses import TransformationPass

from vornak.qiskit.dynamic import pad_dynamic_dag
from vornak.qiskit.options import (
    DEFAULT_AROUND, DEFAULT_MAX_FREE_TIME, DEFAULT_PLACEMENT, DEFAULT_SCHEDULING, Options,
)
from vornak.qiskit.padding import Padding


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
    time; the output has no fixed duration. A classical ``store`` ends the block on the clbits
    and variables it writes and reads; in a circuit without control flow it takes no time,
    on no qubit, and keeps its place on those clbits and variables. A ``box`` of fixed duration (in ``dt``, or in
    units of time converted with ``dt``) lasts it: its body is scheduled inside it and the
    rest of its time is idle time, padded like any other; a body that needs longer, or whose
    length is not known at compile time (control flow, a reset with operations after it),
    raises. In a loop body that a ``break_loop`` or ``continue_loop`` may leave early, the
    phase correction of the sequences after that point goes with them (``rz(2π)`` where it
    is π, else a ``GlobalPhaseGate``), not into the body's global phase, so that the path
    that leaves keeps its phase too.

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
    ):
        super().__init__()
        options = Options.checked(
            durations, dd_sequence, qubits, target, skip_reset_qubits,
            coupling_map=coupling_map, crosstalk=crosstalk, placement=placement,
            scheduling=scheduling, max_free_time=max_free_time,
            pulse_alignment=pulse_alignment, acquire_alignment=acquire_alignment,
            around_control_flow=around_control_flow,
        )
        #: The padding of circuits with these options (shared by :func:`~vornak.qiskit.pad`).
        self.padding = Padding(options)
        self.target = options.target
        self.durations = options.durations
        self.dd_sequence = list(options.dd_sequence)
        self.qubits = options.qubits
        self.skip_reset_qubits = options.skip_reset_qubits
        self.coupling_map = options.coupling_map
        self.crosstalk = options.crosstalk
        self.placement = options.placement
        self.scheduling = options.scheduling
        self.max_free_time = options.max_free_time
        self.pulse_alignment = options.pulse_alignment
        self.acquire_alignment = options.acquire_alignment
        self.around = options.around_control_flow

    def run(self, dag: DAGCircuit) -> DAGCircuit:
        if dag.control_flow_op_nodes():
            padded = pad_dynamic_dag(self.padding, dag)
        else:
            padded = self.padding.pad_dag(dag)
        padded.record(self.property_set, self.padding.options.unit_dt)
        return padded.out

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

    Noise-aware planning. With a ``target`` the walsh placement reads the device's
    calibration (each qubit's T1, T2 and ``x`` error and duration, the coupler family from
    the two-qubit gate) and each idle stretch takes whichever of three candidates leaves the
    least: the walsh pattern, the plain sequence over the whole stretch, or no pulses. The
    score is the first-order residual in the toggling frame, each qubit's detuning phase
    <δ²>(∫s)²/4 per segment of its frame and each coupled pair's ZZ ζ²(∫s_p s_q)²/16 per
    segment of both frames, plus each pulse's error beyond the decoherence the idle qubit
    suffers anyway. A pair then pays for itself where a bare stretch is longer than
    √(8e/<δ²>), <δ²> counting ζ²/4 for each busy neighbour. Stretches whose segments meet
    form a region, which starts from whichever uniform choice (all walsh, all plain) scores
    less and changes one stretch at a time where that lowers its score: no region leaves
    more than the plain sequence at the same places. The defaults per coupler family and
    their sources are in :mod:`vornak.qiskit.calibration`. On a tunable-coupler device
    (``cz``) this mostly takes the plain pair and leaves short gaps on costly qubits bare; on
    a fixed-coupler one (``ecr``) it mostly keeps the walsh patterns.

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
    path that leaves keeps its phase too. A classical ``store`` keeps its place on the
    clbits and variables it writes and reads; in a circuit without control flow it takes
    no time, on no qubit.

    Make this the last pass that touches single-qubit gates where you can. X̄ is
    ``rz(-π)·x·rz(π)``, which equals X up to a global phase, so a resynthesis of
    single-qubit runs (Qiskit's ``Optimize1qGatesDecomposition``, which ``transpile`` runs at
    optimization levels 1 to 3) would write such a run back as ``x`` and lose the robustness
    to over-rotation. In dt the pass writes each frame change between two pulses, and the one
    before a run's first pulse, between delays, apart from the pulses, wherever the free time
    holds a point of the alignment's grid: transpiling the output again then keeps the pulses'
    phases. A frame change with no free time beside it, a run's last one (written at its
    pulse's end, or folded into the circuit's next ``rz``), and every frame change in ns may
    still be merged. The ``vornak_dd`` plugin runs as the scheduling stage, after which the
    preset pass managers run nothing.

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
            is refocused too; None for no bound. ``"auto"``: none where the pulses are chosen
            by the device's calibration (``noise_aware``; its T2 leaves no drift for the
            extra pulses to refocus), else 2e-6 (none where the durations are all in ``dt``
            and there is no ``dt``). Default: ``"auto"``.
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
        noise_aware: With a ``target`` and the walsh placement, choose each stretch's pulses
            by the device's calibration (above); False keeps the walsh patterns everywhere.
            Default: True.
        zz: Measured ZZ of coupled pairs, in Hz (f_zz of H = h f_zz/4 ZZ): a mapping
            ``{(q0, q1): hertz}``, or what qiskit-experiments' ``ZZRamsey`` returns (an
            ``ExperimentData``, its ``"zz"`` analysis results, or a list of them; a fitted
            value counts by its magnitude). Pairs not given take their coupler family's
            default. A pair that is not coupled, or a value that is no finite number >= 0,
            raises naming the pair. Default: None.
        detuning_hz: The standard deviation of each qubit's quasi-static detuning, in Hz.
            Default: 20 kHz.

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
        max_free_time: float | str | None = DEFAULT_MAX_FREE_TIME,
        pulse_alignment: int | None = None,
        acquire_alignment: int | None = None,
        around_control_flow: str = DEFAULT_AROUND,
        noise_aware: bool = True,
        zz=None,
        detuning_hz: float | None = None,
    ):
        super().__init__()
        options = Options.checked(
            durations, dd_sequence, qubits, target, skip_reset_qubits,
            coupling_map=coupling_map, crosstalk=crosstalk, placement=placement,
            scheduling=scheduling, max_free_time=max_free_time,
            pulse_alignment=pulse_alignment, acquire_alignment=acquire_alignment,
            around_control_flow=around_control_flow, noise_aware=noise_aware, zz=zz,
            detuning_hz=detuning_hz,
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
        self.noise_aware = options.calibration is not None

    def run(self, dag: DAGCircuit) -> DAGCircuit:
        if dag.control_flow_op_nodes():
            padded = pad_dynamic_dag(self.padding, dag)
        else:
            padded = self.padding.pad_dag(dag)
        padded.record(self.property_set, self.padding.options.unit_dt)
        return padded.out

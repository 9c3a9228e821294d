"""The options of a DD pass, checked once: what the pass, ``pad()`` and dynamic circuits share."""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Iterable
from numbers import Real

from qiskit.circuit import Gate, Instruction
from qiskit.transpiler import CouplingMap, InstructionDurations, Target
from qiskit.transpiler.exceptions import TranspilerError

from vornak.qiskit.arguments import alignment, coupling_pairs, of_type, qubit_list
from vornak.qiskit.calibration import Calibration
from vornak.qiskit.durations import unit_is_dt
from vornak.qiskit.sequence import default_sequence, identity_block, identity_phase, written_pulse

# The defaults of the pass and of the ``vornak_dd`` plugin.
DEFAULT_SCHEDULING = "alap"
DEFAULT_PLACEMENT = "walsh"
# max_free_time="auto": this bound where the pulses are not chosen by a calibration, none where
# they are (see `_checked_free_time`).
DEFAULT_MAX_FREE_TIME = "auto"
UNCALIBRATED_MAX_FREE_TIME = 2e-6
DEFAULT_AROUND = "stretch"

PLACEMENTS = ("start", "spread", "walsh")
SCHEDULINGS = ("asap", "alap")
AROUND = ("stretch", "widen", "idle")


@dataclasses.dataclass(frozen=True)
class Options:
    """A DD pass's options, checked, with what follows from them alone.

    Made by :meth:`checked` from the arguments of :class:`~vornak.qiskit.DynamicalDecoupling`
    (whose docstring says what each means); every bad argument raises a ``TranspilerError``
    there, except those that depend on a circuit's width, which its plan checks.
    """

    target: Target | None
    durations: InstructionDurations | None
    dd_sequence: tuple[Gate, ...]
    qubits: frozenset[int] | None
    skip_reset_qubits: bool
    coupling_map: CouplingMap | list[tuple[int, int]] | None
    crosstalk: bool
    placement: str
    scheduling: str
    max_free_time: float | None  # seconds
    pulse_alignment: int
    acquire_alignment: int
    around_control_flow: str
    # The noise model the walsh placement chooses its pulses by (noise_aware, zz,
    # detuning_hz), or None.
    calibration: Calibration | None
    # What follows from the above.
    unit_dt: bool  # times are in dt, else in ns
    dt: float | None
    written: tuple[tuple[Gate, ...], ...]  # each pulse as the device makes it
    frames_allowed: bool  # the device has rz, which turns pulses by frames
    block: int  # pulses of the shortest identity blocks of the sequence
    phase: float  # the global phase of one such block

    @classmethod
    def checked(
        cls,
        durations: InstructionDurations | None = None,
        dd_sequence=None,
        qubits: Iterable[int] | None = None,
        target: Target | None = None,
        skip_reset_qubits: bool = True,
        *,
        coupling_map=None,
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
    ) -> Options:
        """The options of these arguments; a ``TranspilerError`` naming a bad one."""
        _check_choices(around_control_flow, placement, scheduling)
        if target is None and durations is None:
            raise TranspilerError("DynamicalDecoupling needs a target or instruction durations")
        of_type(target, Target, "target")
        of_type(durations, InstructionDurations, "durations")
        unit_dt = unit_is_dt(target, durations)
        dt = target.dt if target is not None else getattr(durations, "dt", None)
        width = target.num_qubits if target is not None else None
        supported = _supported(target, durations)
        sequence = _checked_sequence(dd_sequence, supported)
        # Each pulse as the device makes it: itself, or x between rz frame changes.
        written = tuple(written_pulse(gate, supported) for gate in sequence)
        block, phase = identity_block(written)
        qubits = None if qubits is None else frozenset(qubit_list(qubits, width, "qubits"))
        if coupling_map is not None:
            pairs = coupling_pairs(coupling_map, width)
            if not isinstance(coupling_map, CouplingMap):
                coupling_map = pairs
        calibration = None
        if noise_aware and placement == "walsh" and target is not None:
            pairs = coupling_pairs(coupling_map, width) if coupling_map is not None else None
            calibration = Calibration(target, zz, detuning_hz, pairs)
        elif zz is not None or detuning_hz is not None:
            raise TranspilerError(
                "zz and detuning_hz need a target and the noise-aware walsh placement")
        free_time = _checked_free_time(max_free_time, unit_dt, dt, calibration is not None)
        return cls(
            target=target,
            durations=durations,
            dd_sequence=sequence,
            qubits=qubits,
            skip_reset_qubits=bool(skip_reset_qubits),
            coupling_map=coupling_map,
            crosstalk=bool(crosstalk),
            placement=placement,
            scheduling=scheduling,
            max_free_time=free_time,
            pulse_alignment=alignment("pulse_alignment", pulse_alignment, target, unit_dt),
            acquire_alignment=alignment("acquire_alignment", acquire_alignment, target, unit_dt),
            around_control_flow=around_control_flow,
            calibration=calibration,
            unit_dt=unit_dt,
            dt=dt,
            written=written,
            frames_allowed="rz" in supported,
            block=block,
            phase=phase,
        )

    def qiskit_durations(self) -> InstructionDurations:
        """The durations Qiskit's scheduling passes read: the target's, else the table."""
        return self.target.durations() if self.target is not None else self.durations


def _checked_sequence(dd_sequence, supported: set[str]) -> tuple[Gate, ...]:
    if dd_sequence is None:
        dd_sequence = default_sequence(supported)
    elif isinstance(dd_sequence, (Instruction, str)) or not isinstance(dd_sequence, Iterable):
        raise TranspilerError(
            f"dd_sequence must be a list of gates, not {type(dd_sequence).__name__}"
        )
    sequence = tuple(dd_sequence)
    if not sequence:
        raise TranspilerError("The DD sequence is empty.")
    for gate in sequence:
        if not isinstance(gate, Gate) or gate.num_qubits != 1:
            raise TranspilerError(f"The DD sequence holds {gate!r}, not a single-qubit gate.")
    identity_phase(sequence)  # refuses any other sequence, naming its gates
    return sequence


def _check_choices(around_control_flow: str, placement: str, scheduling: str) -> None:
    if around_control_flow not in AROUND:
        raise TranspilerError(
            f"around_control_flow must be one of {list(AROUND)}, not {around_control_flow!r}"
        )
    if placement not in PLACEMENTS:
        raise TranspilerError(
            f"placement must be one of {sorted(PLACEMENTS)}, not {placement!r}"
        )
    if scheduling not in SCHEDULINGS:
        raise TranspilerError(f"scheduling must be 'asap' or 'alap', not {scheduling!r}")


def _supported(target, durations) -> set[str]:
    """The names of the operations the device has: the target's, else the table's."""
    if target is not None:
        return set(target.operation_names)
    return set(durations.duration_by_name) | {
        name for name, _ in durations.duration_by_name_qubits}


def _checked_free_time(max_free_time, unit_dt: bool, dt: float | None,
                       calibrated: bool) -> float | None:
    """The bound in seconds, or None. "auto" bounds the free time only where the pulses are
    not chosen by a calibration: the planner's model has a detuning that stays put over a
    stretch, which any balanced pattern refocuses, so a bound's extra pulses would only add
    their errors. That is what the device's own data says of its detuning: a Hahn echo over
    T2 keeps the drift of that time, so a drift large enough to matter over a few µs would
    make T2 far shorter than the device's (at 2π·20 kHz and an echo T2 of 140 µs, its
    correlation time is above a few ms; docs/explanation/physics.md). Without a calibration
    the bound hedges against drift the pass cannot know of."""
    if isinstance(max_free_time, str) and max_free_time == "auto":
        # Durations all in dt and no dt: no seconds to bound.
        no_bound = calibrated or (unit_dt and dt is None)
        return None if no_bound else UNCALIBRATED_MAX_FREE_TIME
    if max_free_time is None:
        return None
    if (isinstance(max_free_time, bool) or not isinstance(max_free_time, Real)
            or not math.isfinite(max_free_time) or max_free_time <= 0):
        raise TranspilerError(
            f"max_free_time must be a positive number of seconds, None or 'auto', "
            f"not {max_free_time!r}")
    if unit_dt and dt is None:
        # Durations all in dt, and no dt: seconds are no number of dt.
        raise TranspilerError(
            "max_free_time is in seconds, but the durations are in dt without a dt")
    return float(max_free_time)

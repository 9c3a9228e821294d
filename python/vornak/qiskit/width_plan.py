"""What padding a circuit of one width needs beyond the pass's options, made once per width:
the duration table, the pulses and their durations on each qubit, the couplings, the blocks
the planner places and the device's noise on those qubits.

The bridge reads a :class:`WidthPlan` by field name beside the pass's frozen
:class:`~vornak.qiskit.options.Options`; the options that depend on a circuit's width (its
qubits, its coupling map) are checked here.
"""

from __future__ import annotations

import dataclasses
import threading

from qiskit.transpiler.exceptions import TranspilerError

from vornak.qiskit.arguments import coupling_pairs, qubit_list
from vornak.qiskit.durations import duration_table
from vornak.qiskit.options import Options
from vornak.qiskit.sequence import native_written, pulse_phases


@dataclasses.dataclass(frozen=True)
class WidthPlan:
    """What padding a circuit of one width needs that depends on nothing else."""

    table: dict  # {name: {qargs: duration}} in the pass's unit
    pulses: list  # the sequence's pulses as the bridge takes them (None: not a standard gate)
    pulse_durations: list  # per qubit: the length of each pulse, or None (no pulses there)
    couplings: list  # the pairs the planner looks at (crosstalk, walsh)
    colouring: list  # the coupled pairs among the circuit's qubits
    step: float  # the longest an operation can take after the one before it on its wires
    block: int  # pulses the planner places per block of the sequence
    phase: float  # the global phase of one such block
    phases: tuple | None  # each pulse's phase, where frames may turn runs (else None)
    noise: tuple | None  # the device's noise on these qubits, as the native planner reads it

    def takes_pulses(self, qubit: int) -> bool:
        return self.pulse_durations[qubit] is not None


class WidthPlans:
    """The plans of one set of options, each made once per width; it may be shared by
    threads."""

    def __init__(self, options: Options):
        self.options = options
        self._plans: dict[int, WidthPlan] = {}
        self._spare_plans: dict[int, WidthPlan] = {}
        self._lock = threading.Lock()

    def __getstate__(self):
        # Passes travel to worker processes (Qiskit's parallel transpile): the lock stays.
        return {"options": self.options, "plans": dict(self._plans),
                "spare_plans": dict(self._spare_plans)}

    def __setstate__(self, state):
        self.options = state["options"]
        self._plans = state["plans"]
        self._spare_plans = state["spare_plans"]
        self._lock = threading.Lock()

    def for_width(self, num_qubits: int, spare: bool = False) -> WidthPlan:
        """The plan for circuits of `num_qubits` qubits; a ``TranspilerError`` where an
        option does not fit that width. With `spare`, the plan for circuits one qubit wider,
        whose last qubit takes no pulses: it holds the length a box of fixed duration must
        last."""
        plans = self._spare_plans if spare else self._plans
        found = plans.get(num_qubits)
        if found is None:
            with self._lock:
                base = self._plans.get(num_qubits)
                if base is None:
                    base = self._plans[num_qubits] = make_plan(self.options, num_qubits)
                if spare:
                    base = dataclasses.replace(base, pulse_durations=base.pulse_durations + [None])
                found = plans.setdefault(num_qubits, base)
        return found


def make_plan(options: Options, num_qubits: int) -> WidthPlan:
    """The plan of `options` for circuits of `num_qubits` qubits; a ``TranspilerError`` where
    an option does not fit that width, or a duration is missing or bad."""
    table = duration_table(options.target, options.durations, options.dt, options.unit_dt)
    # Each operation ends at most this much after the one before it on its wires.
    step = max((v for entry in table.values() for v in entry.values()), default=0.0)
    step += max(options.pulse_alignment, options.acquire_alignment)
    pulse_durations = _pulse_durations(options, table, num_qubits)
    # The planner times blocks: every block must take the same time on a qubit.
    block, phase, n = options.block, options.phase, len(options.dd_sequence)
    if any(lengths is not None and any(lengths[k] != lengths[k % block] for k in range(n))
           for lengths in pulse_durations):
        # Whole sequences only, each the identity with the phase of its n / b blocks.
        block, phase = n, phase * (n // block)
    noise = _noise(options, num_qubits)
    # Given qubits and pairs must lie in the circuit; the target's pairs may not.
    if options.qubits is not None and options.target is None:
        qubit_list(options.qubits, num_qubits, "qubits")
    if options.coupling_map is not None:
        colouring = coupling_pairs(options.coupling_map, num_qubits, "the circuit")
    else:
        coupling = options.target.build_coupling_map() if options.target is not None else None
        colouring = [] if coupling is None else [
            (a, b) for a, b in coupling.get_edges() if a < num_qubits and b < num_qubits]
    return WidthPlan(
        table=table,
        pulses=[native_written(p) for p in options.written],
        pulse_durations=pulse_durations,
        # The walsh placement needs the couplings to choose the patterns of coupled qubits.
        couplings=colouring if options.crosstalk or options.placement == "walsh" else [],
        colouring=colouring,
        step=step,
        block=block,
        phase=phase,
        phases=pulse_phases(options.written) if options.frames_allowed else None,
        noise=noise,
    )


def _pulse_durations(options: Options, table: dict, num_qubits: int) -> list:
    """Per qubit, the length of each pulse of the sequence there, or None where it takes none."""
    target = options.target
    found: list[tuple[float, ...] | None] = []
    # The gates' names, each looked up once per qubit in the order the pulses meet them.
    names = [[gate.name for gate in pulse] for pulse in options.written]
    distinct = list(dict.fromkeys(name for pulse in names for name in pulse))
    for q in range(num_qubits):
        if options.qubits is not None and q not in options.qubits:
            found.append(None)
            continue
        if target is not None and not all(
            target.instruction_supported(name, qargs=(q,)) for name in distinct
        ):
            found.append(None)
            continue
        own = {}
        for name in distinct:
            entry = table.get(name, {})
            own[name] = entry.get((q,), entry.get(()))
            if own[name] is None:
                raise TranspilerError(f"Duration of {name} on qubits [{q}] is not found.")
        found.append(tuple(sum(own[name] for name in pulse) for pulse in names))
    return found


def _noise(options: Options, num_qubits: int) -> tuple | None:
    """The calibration's noise on the circuit's qubits in the pass's unit, None without a
    calibration or without a length of dt in seconds."""
    if options.calibration is None or (options.unit_dt and options.dt is None):
        return None
    names = [[gate.name for gate in pulse] for pulse in options.written]
    return options.calibration.native(
        num_qubits, options.dt if options.unit_dt else 1e-9, names)

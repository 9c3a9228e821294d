"""How well each dynamical-decoupling pass protects a circuit: simulated fidelity under noise.

    python bench/fidelity.py            # the headline: the 2026 fleet, two noise models;
                                        # writes bench/fidelity_results.md, docs/fidelity.png
    python bench/fidelity.py --quick    # 2 circuits, 20 realisations, no files (a minute)
    python bench/fidelity.py --all --out /tmp/f.md --plot /tmp/f.png   # every variant
    python bench/fidelity.py --device FakeBrisbane --noise ideal --noise ou1 --out /tmp/f.md
    python bench/fidelity.py --noise over1 --strategy ours --circuit qft-6   # a slice

Each circuit (mqt.bench at level "alg", and two with long explicit waits) is transpiled at
optimization level 1 with a fixed seed for each device, then padded by each strategy of
`STRATEGIES`. The headline covers IBM's fleet of 2026 (`HEADLINE_DEVICES`): Heron r2
(FakeKingston), Nighthawk (FakeNighthawk), Heron r1 (FakeTorino), all with tunable couplers,
and the fixed-coupler Eagle (FakeSherbrooke); FakeBoston, FakeFez and FakeBrisbane are variants
(`--device`). Its strategies (`DEFAULT_STRATEGIES`): no DD; Qiskit's ALAP
`PadDynamicalDecoupling` (X-X) and its `ContextAwareDynamicalDecoupling`; what
qiskit-ibm-runtime's Executor runs with `dynamical_decoupling.enable = True`, its
`executor.dynamical_decoupling.generate_dd_pass_manager` with `sequence_type` "XX", "XpXm" (X,
X̄) or "XY4" and the other options at their defaults (ALAP, `skip_reset_qubits=False`: it pads
every qubit of the circuit, those the circuit never uses included); and
`vornak.qiskit.DynamicalDecoupling` at its defaults. Variants of our options and Qiskit's ASAP
X-X run with `--strategy` or `--all`. A strategy whose options the installed pass refuses
(TypeError or TranspilerError when it is built) is reported as "n/a". The padded circuit is
then simulated on its active qubits.

The timing
----------
Every strategy's output has every idle stretch written as a `Delay`, so Qiskit's
`ASAPScheduleAnalysis` of the output reproduces the start time of every operation: that one route
gives the times for all strategies. It is checked against the times the pass itself recorded
(`op_start_times`, from its `node_start_time`): the operations of the input circuit must start at
the same times in both. (Qiskit's context-aware pass records, for the pulses and delays it
inserts, times relative to the start of the delay they replace; those are reported, not used.)
Every padded circuit is also checked to be exact before it is simulated: with the noise off its
final state from |0...0> and from four random states equals the unpadded circuit's up to one
global phase.

The noise model, and why
------------------------
Gates and pulses are ideal and instantaneous at the middle of their slot (start + duration/2):
the benchmark compares where the passes put pulses, not how pulses are made. Between them a
diagonal Hamiltonian acts all the time, on the active qubits only:

- quasi-static detuning  H = delta_q Z_q / 2,  delta_q ~ N(0, (2 pi * 20 kHz)^2), drawn anew for
  each realisation (`DETUNING_HZ`), on every device. Slow frequency drifts of fixed-frequency
  transmons (two-level systems, charge and flux noise) are constant over one shot and differ
  between shots; 20 kHz gives a Ramsey T2* = sqrt(2)/sigma of about 11 us, the low end of
  today's devices, so the differences between passes are visible on circuits of a few
  microseconds. The qubits of Heron and Nighthawk are fixed-frequency transmons too (their
  couplers are tunable, not the qubits), and the snapshots carry no T2*, so both families
  share this value: an assumption, pessimistic, not a measurement of either.
- static ZZ  H = zeta_pq Z_p Z_q / 4  on every device edge between two active qubits, drawn
  once per device edge with a fixed seed (`ZZ_SEED`) and the same in every realisation, from
  a range set by the device's couplers (`FAMILIES`, told apart by the target's two-qubit gate,
  `device_family`):
  - fixed couplers (`ecr`, also `cx`: IBM Eagle, FakeSherbrooke and FakeBrisbane):
    zeta = 2 pi * U(30, 100) kHz (`ZZ_KHZ`), the always-on coupling of tens of kHz between
    fixed-frequency transmons on a fixed-coupler heavy-hex lattice;
  - tunable couplers (`cz`: IBM Heron r1 and r2, Nighthawk): zeta = 2 pi * U(2, 10) kHz
    (`TUNABLE_ZZ_KHZ`), the residual of a few kHz that the coupler leaves between gates.
  Source of both ranges: Hickman, Wu and Quiroz, "Crosstalk-robust dynamical decoupling",
  arXiv 2506.18010 (2025), who measure ZZ-robust DD beating plain DD by 3x or more in
  fidelity-decay rate on fixed-coupler devices and "nearly equivalent" on tunable-coupler
  ones; the snapshots carry no ZZ. An edge to a qubit the circuit never uses only shifts the
  frequency of its neighbour by a constant while that qubit stays in |0>, which calibration
  absorbs, so such edges are left out, unless a pass puts pulses on that idle qubit (the
  runtime's passes do: they pad every qubit). Such a spectator stays in a basis state, flipped
  by each pulse, and while it is in |1> its neighbour's frequency is off by -zeta: a
  detuning known in every realisation (`Program.spectators`, `with_spectators`; its pulses
  are taken as ideal and its T1 as infinite, which leave it in a basis state).

All terms are diagonal and commute, so the simulator keeps them lazily: a term is applied, as one
phase factor for all realisations at once, only when a non-diagonal gate touches one of its
qubits (diagonal gates such as rz and cz commute with it). The state is an (R, 2, ..., 2) tensor
(R realisations, one axis per active qubit, at most 12).

Metric: the fidelity |<psi_ideal|psi_noisy>|^2 of the state just before the final measurements
(those measurements and the barrier before them are dropped; the evolution runs up to the
moment the last of them starts, so qubits that finished early wait, as on the device; a qubit
measured before that, as a circuit without the barrier allows, meets no detuning and no T1/T2
flips after its readout, which would change nothing it reads, while its ZZ to the qubits
still running goes on), averaged over
R = 100 realisations (`REALISATIONS`, seed `SEED`; the same draws for every strategy, so the
comparison between strategies is paired). psi_ideal is the unpadded circuit's noiseless state.

The headline's first noise model ("decay") adds, on top of these, T1 and T2 of every qubit
from the device's snapshot (`Target.qubit_properties`) and an error on every inserted DD
pulse (the device's error of its `x` gate on that qubit, the `Target`'s instruction
properties; a value the snapshot lacks counts as no decay, no error). The snapshots are those
of qiskit-ibm-runtime 0.51; FakeNighthawk's warns that its error values are not meant to be
typical of the device. A pulse is charged its `x` error beyond the decoherence that the T1/T2
flips already apply over its length (`error_beyond_decoherence`: the reported average gate
infidelity less 1 - (3 + 2 exp(-tau/T2) + exp(-tau/T1)) / 6, never below 0; PHYSICS.md, "When
a pair pays for itself"): the flips run through the pulse's time as through the idle time it
replaces, and a randomized-benchmarking error already holds that decoherence, so charging the
whole error would count it twice (about 1e-4 of a 2.4e-4 error for 32 ns at T1 = 280 us,
T2 = 140 us, and all of it on a qubit whose T2 is short). The model "decay-whole" charges the
whole reported error, as an upper bound of what a pulse costs. Method: Monte Carlo over Pauli jumps, in the same pure-state simulator. Pure dephasing
is exactly a Poisson process of Z flips; amplitude damping is replaced by its Pauli twirl, X and
Y flips at rate 1/(4 T1) each, and the Z rate is then 1/(2 T2) - 1/(4 T1) so that coherences
decay as exp(-t/T2) and populations as exp(-t/T1) (`pauli_rates`). The flips happen at exact
random times, so a flip in the middle of a pulse sequence interacts with the detuning as it
would. Before its first gate a qubit is exactly in |0>, which damping leaves alone and the twirl
would flip: there the flips are dropped (`from_first_gate`), so that a schedule that starts
qubits late (ALAP) gets the benefit it has on a device. A pulse error is a depolarizing
channel with the device's average gate infidelity e: a uniformly random Pauli after the pulse
with probability 3e/2, drawn from one stream per qubit, so that the k-th pulse on a qubit
draws the same numbers for every strategy (`pulse_jumps`). Such errors are rare events: on
a 6-qubit Heron circuit with 80 pulses about 4 in 100 realisations, each moving the cell's
mean by about 0.01, and the T1/T2 flips are few too. At 100 realisations a cell read up to
0.05 off its value at 1,000 (Qiskit's ALAP X-X on FakeTorino's QAOA-6: 0.880 against 0.832),
as much as the differences between strategies; this model therefore runs with 4 times the
realisations (`Noise.realisations`). The average fidelity over the
trajectories is exactly the fidelity of the averaged mixed state with psi_ideal (it is linear in
the state), so no density matrix is needed; the twirl drops only the drift of damping towards
|0>, which no DD sequence acts on. The device's T2 is a Hahn-echo T2, whose echo already
removes the quasi-static part modelled above, so the two do not count the same noise twice.
Gate errors of the circuit's own gates are left out: they are the same for every strategy.
The headline's second model ("over1") is detuning and ZZ with a coherent 1% over-rotation of
every pulse (below), without T1/T2.

Each headline model runs with its terms alone (`Noise.parent`): detuning alone, ZZ alone,
T1/T2 alone, pulse errors alone (or the over-rotation alone), each with the same draws as the
model. To first order the infidelities of the terms add up, so where two strategies differ,
the term whose fidelity differs most is where the difference comes from; the report lists it
for every circuit where ours is more than 0.01 below the best other pass on that circuit, or
below no DD (`losses`, paired over the realisations).

The other noise models (`NOISES`, `--noise` or `--all`) each change one thing of detuning and
ZZ alone ("ideal"), with the same ZZ:

- coherent pulse errors: every inserted pulse over-rotates, a rotation by pi (1 + eps) about
  its axis, with eps = 1% (average gate infidelity 1.6e-4, below the median `x` error of the
  snapshots) or 3% (1.5e-3, pessimistic); or its drive is off resonance by 2% of the Rabi
  frequency, which tilts the axis towards z and lengthens the rotation (`pulse_rotation`;
  infidelity 2.7e-4). The `rz` frame changes around a phase-shifted pulse are exact (virtual
  on the device), so they turn the whole erroneous rotation, as the device does. These
  errors are coherent: they add up or cancel along a sequence, which is what robust
  sequences are for.
- time-correlated detuning: an Ornstein-Uhlenbeck process of the same sigma with correlation
  time tau = 1 us or 10 us (`draw_ou_detuning`, sampled exactly on a grid of at most 10 ns
  and integrated between samples), in place of the quasi-static draw. Two pulses refocus a
  static detuning over any length; a drifting one only over free times short against tau.
- finite-width pulses: each pulse made of 8 equal slices spread over its slot, the noise
  acting between them (`with_pulse_model`), instead of one instantaneous rotation.

The variants run with 40% of the realisations, the T1/T2 model and its random terms with
400%, the over-rotation model with 100% (the standard error of each table is stated below it);
the draws are the same for every strategy within a model.
qiskit-aer is not used: the jumps keep the detuning and ZZ exact and vectorised over all
realisations, which a density-matrix or trajectory run of a noise model would redo per shot.
"""

from __future__ import annotations

import argparse
import dataclasses
import math
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent

SEED = 2026  # detuning draws, jumps, pulse errors, random states of the exactness check
ZZ_SEED = 7  # the ZZ of each device edge
TRANSPILE_SEED = 1
REALISATIONS = 100
QUICK_REALISATIONS = 20
DETUNING_HZ = 20e3  # standard deviation of the quasi-static detuning
OU_STEP_S = 10e-9  # the longest grid step of a time-correlated detuning
ZZ_KHZ = (30.0, 100.0)  # range of the static ZZ per edge on fixed couplers
TUNABLE_ZZ_KHZ = (2.0, 10.0)  # the same on tunable couplers
MAX_QUBITS = 12
# The headline: IBM's 2026 fleet, Heron r2 (FakeKingston), Nighthawk, Heron r1 (FakeTorino),
# and the fixed-coupler Eagle (FakeSherbrooke). The other snapshots are variants (--device).
HEADLINE_DEVICES = ("FakeKingston", "FakeNighthawk", "FakeTorino", "FakeSherbrooke")
DEVICES = HEADLINE_DEVICES + ("FakeBoston", "FakeFez", "FakeBrisbane")
EXACT_TOL = 1e-8

PAULI = {
    "x": np.array([[0, 1], [1, 0]], dtype=complex),
    "y": np.array([[0, -1j], [1j, 0]], dtype=complex),
    "z": np.array([[1, 0], [0, -1]], dtype=complex),
}


# -- the program: what the simulator runs ----------------------------------------------------


@dataclasses.dataclass
class Op:
    """An ideal gate at `time` (seconds) on local qubits (Qiskit's order for `matrix`)."""

    time: float
    qubits: tuple[int, ...]
    matrix: np.ndarray
    diagonal: bool
    pulse: bool = False  # a DD pulse the pass inserted
    name: str = ""
    duration: float = 0.0  # seconds: the slot's length (finite-width pulses use it)


@dataclasses.dataclass
class Program:
    """A circuit reduced to its active qubits: the gates in time order and the end time."""

    physical: tuple[int, ...]  # local qubit i is physical qubit physical[i]
    ops: list[Op]
    end: float  # seconds: the start of the last final measurement, else the circuit's end
    # Physical qubit the circuit leaves idle -> the times (seconds, ascending) of the X pulses
    # a pass put on it; such a qubit stays in a basis state, flipped by each pulse.
    spectators: dict = dataclasses.field(default_factory=dict)
    # Local qubit -> the start (seconds) of its measurement, where it is before `end`.
    readouts: dict = dataclasses.field(default_factory=dict)

    @property
    def num_qubits(self):
        return len(self.physical)

    def stop(self, q):
        """When local qubit `q` stops meeting its own noise: its readout, else the end."""
        return self.readouts.get(q, self.end)

    def spectator_detuning(self, zz_by_edge):
        """(times (T,), phases (n, T)): the integral of the detuning the `spectators` give
        their active neighbours, exact and linear between the times. A spectator in |1>
        shifts a neighbour's frequency by -zeta against the |0> that calibration absorbs
        (zz_by_edge: {(p, q): zeta in rad/s}, p < q, as `device_zz`)."""
        local = {p: i for i, p in enumerate(self.physical)}
        times = sorted({0.0, self.end, *(t for ts in self.spectators.values() for t in ts
                                         if t < self.end)})
        rates = np.zeros((self.num_qubits, len(times)))  # on [times[k], times[k + 1])
        for s, toggles in self.spectators.items():
            excited = np.zeros(len(times))
            for k, t in enumerate(times):
                excited[k] = sum(1 for u in toggles if u <= t) % 2
            for (a, b), zeta in zz_by_edge.items():
                if s in (a, b) and (b if a == s else a) in local:
                    rates[local[b if a == s else a]] -= zeta * excited
        phases = np.zeros_like(rates)
        phases[:, 1:] = np.cumsum(rates[:, :-1] * np.diff(times), axis=1)
        return np.array(times), phases

    def edges(self, coupling):
        """Local pairs (a, b), a < b, of the physical `coupling` pairs between active qubits."""
        local = {p: i for i, p in enumerate(self.physical)}
        pairs = set()
        for p, q in coupling:
            if p in local and q in local and p != q:
                pairs.add(tuple(sorted((local[p], local[q]))))
        return sorted(pairs)


def active_qubits(circuit):
    """The physical qubits that some gate or measurement of `circuit` acts on, ascending."""
    used = set()
    for instruction in circuit.data:
        if instruction.operation.name in ("delay", "barrier"):
            continue
        used.update(circuit.find_bit(q).index for q in instruction.qubits)
    return tuple(sorted(used))


def _matrix(operation, cache):
    key = (operation.name, tuple(float(p) for p in operation.params))
    matrix = cache.get(key)
    if matrix is None:
        matrix = np.asarray(operation.to_matrix(), dtype=complex)
        cache[key] = matrix
    return matrix


def build_program(circuit, times, durations, dt, physical=None, pulses=()):
    """The `Program` of a scheduled physical circuit.

    `times` are the start times of `circuit.data` in dt, `durations` an `InstructionDurations`
    (in dt) for the gates; `physical` the active qubits (default: `active_qubits(circuit)`);
    `pulses` the indices in `circuit.data` of inserted DD pulses. Delays and barriers are idle
    time; the evolution ends where the last final measurement starts (a qubit measured earlier
    keeps its readout time in `Program.readouts`), and pulses after the measurement of their
    qubit are left out. X pulses on a qubit outside `physical` (and the
    `rz` frames around them) make it a spectator (`Program.spectators`); their number must
    be even, so that it ends in |0> as it began. Another gate on a qubit outside `physical`,
    or another gate after a measurement on its qubit, is refused.
    """
    physical = tuple(physical) if physical is not None else active_qubits(circuit)
    local = {p: i for i, p in enumerate(physical)}
    pulses = set(pulses)
    cache = {}
    ops = []
    spectators = {}
    measured = set()
    readouts = {}
    end = 0.0
    for index, (instruction, start) in enumerate(zip(circuit.data, times, strict=True)):
        operation = instruction.operation
        qubits = tuple(circuit.find_bit(q).index for q in instruction.qubits)
        name = operation.name
        if name == "delay":
            end = max(end, start + operation.duration)
            continue
        if name == "barrier":
            continue
        if measured.intersection(qubits):
            if index in pulses:
                continue  # a pulse in the idle time after the readout acts on nothing we read
            raise ValueError(f"{name} on {qubits} after a measurement: not a final measurement")
        if name == "measure":
            measured.update(qubits)
            for q in qubits:
                readouts[q] = start
            continue
        length = durations.get(operation, list(qubits), unit="dt")
        if len(qubits) == 1 and qubits[0] not in local and (
                (index in pulses and name == "x") or name == "rz"):
            if name == "x":
                spectators.setdefault(qubits[0], []).append((start + length / 2) * dt)
            continue
        if any(q not in local for q in qubits):
            raise ValueError(f"{name} on {qubits}: outside the active qubits {physical}")
        end = max(end, start + length)
        matrix = _matrix(operation, cache)
        ops.append(Op(
            time=(start + length / 2) * dt,
            qubits=tuple(local[q] for q in qubits),
            matrix=matrix,
            diagonal=bool(np.allclose(matrix, np.diag(np.diag(matrix)), atol=1e-14)),
            pulse=index in pulses,
            name=name,
            duration=length * dt,
        ))
    if readouts:
        end = max(readouts.values())
    odd = [q for q, toggles in spectators.items() if len(toggles) % 2]
    if odd:
        raise ValueError(f"an odd number of pulses on the idle qubits {odd}")
    # Stable: operations at the same time keep the circuit's (topological) order.
    ops.sort(key=lambda op: op.time)
    return Program(physical, ops, end * dt, {q: tuple(sorted(t)) for q, t in spectators.items()},
                   {local[q]: t * dt for q, t in readouts.items() if t < end and q in local})


# -- the simulator ---------------------------------------------------------------------------


@dataclasses.dataclass
class Jump:
    """A Pauli applied at `time` on local `qubit` in the realisations `rows`."""

    time: float
    qubit: int
    pauli: str
    rows: np.ndarray
    after: int = -1  # the op (its position in program.ops) it follows at equal time; -1: none


def _axis(n, q):
    # Qubit 0 is the last axis, so that the flattened state is in Qiskit's (little-endian) order.
    return n - q


def _apply(psi, matrix, qubits, n):
    """`matrix` (Qiskit's order: qubits[0] is the least significant bit) on the state tensor."""
    k = len(qubits)
    axes = [_axis(n, q) for q in reversed(qubits)]
    if k == 1 and np.array_equal(matrix, PAULI["x"]):
        return np.flip(psi, axis=axes[0])  # X: a view, no arithmetic
    matrix = matrix.astype(psi.dtype, copy=False)
    if k == 1:
        # The qubit's axis in the middle of (left, 2, right): four products, no transposes.
        a = axes[0]
        v = psi.reshape(int(np.prod(psi.shape[:a])), 2, -1)
        out = np.empty_like(v)
        scratch = np.empty_like(v[:, 0])
        for row in (0, 1):
            np.multiply(v[:, 0], matrix[row, 0], out=out[:, row])
            np.multiply(v[:, 1], matrix[row, 1], out=scratch)
            out[:, row] += scratch
        return out.reshape(psi.shape)
    out = np.tensordot(matrix.reshape((2,) * (2 * k)), psi, axes=(list(range(k, 2 * k)), axes))
    return np.moveaxis(out, list(range(k)), axes)


def _diagonal_factor(matrix, qubits, n):
    """The diagonal of `matrix` as a tensor that broadcasts against the state."""
    k = len(qubits)
    diag = np.diag(matrix).reshape((2,) * k)  # axes: qubits[k-1], ..., qubits[0]
    axes = [_axis(n, q) for q in reversed(qubits)]
    order = np.argsort(axes)
    diag = diag.transpose(order)
    shape = [1] * (n + 1)
    for a in axes:
        shape[a] = 2
    return diag.reshape(shape)


def simulate(program, detuning, zz=(), edges=(), jumps=(), initial=None, dtype=complex):
    """Final states, shape (R, 2**n), of `program` under the diagonal noise, one per realisation.

    `detuning`: (R, n) angular frequencies delta (rad/s) of H = delta Z / 2 per qubit, constant
    in time, or a `DetuningPath` (a detuning that varies in time);
    `zz`: angular frequencies zeta (rad/s) of H = zeta Z_a Z_b / 4 on the local pairs `edges`;
    `jumps`: `Jump`s; `initial`: a state (2**n,) or states (R, 2**n), default |0...0>;
    `dtype`: of the states (complex64 halves the memory the benchmark's many states move).
    """
    if not isinstance(detuning, DetuningPath):
        detuning = DetuningPath.static(detuning)
    R, n = detuning.shape
    if n != program.num_qubits:
        raise ValueError(f"detuning for {n} qubits, program on {program.num_qubits}")
    zz = np.asarray(zz, dtype=float)
    if initial is None:
        psi = np.zeros((R, 2**n), dtype=dtype)
        psi[:, 0] = 1
    else:
        psi = np.array(np.broadcast_to(initial, (R, 2**n)), dtype=dtype)
    psi = psi.reshape((R,) + (2,) * n)
    last_qubit = np.zeros(n)
    stops = [program.stop(q) for q in range(n)]
    last_edge = np.zeros(len(edges))
    edges_of = [[] for _ in range(n)]
    for e, (a, b) in enumerate(edges):
        edges_of[a].append(e)
        edges_of[b].append(e)
    parity = np.array([[1.0, -1.0], [-1.0, 1.0]])
    sign = np.array([1.0, -1.0])

    def flush(qubits, t):
        """Applies every noise term on `qubits` from when it was last applied up to `t`."""
        nonlocal psi
        factor = None
        for q in qubits:
            until = min(t, stops[q])
            if until > last_qubit[q]:
                shape = [1] * (n + 1)
                shape[0], shape[_axis(n, q)] = R, 2
                phase = detuning.phase(q, until) - detuning.phase(q, last_qubit[q])
                f = np.exp(-0.5j * phase[:, None] * sign).reshape(shape)
                factor = f if factor is None else factor * f
                last_qubit[q] = until
            for e in edges_of[q]:
                span = t - last_edge[e]
                if span > 0:
                    a, b = edges[e]
                    shape = [1] * (n + 1)
                    shape[_axis(n, a)] = shape[_axis(n, b)] = 2
                    f = np.exp(-0.25j * span * zz[e] * parity).reshape(shape)
                    factor = f if factor is None else factor * f
                    last_edge[e] = t
        if factor is not None:
            psi = psi * factor.astype(psi.dtype, copy=False)

    events = [(op.time, i, 0.0, op) for i, op in enumerate(program.ops)]
    for jump in jumps:
        # A jump right after an op sorts between it and the next op at the same time.
        events.append((jump.time, jump.after if jump.after >= 0 else len(program.ops), 0.5, jump))
    events.sort(key=lambda e: e[:3])
    for _, _, _, event in events:
        if isinstance(event, Op):
            if event.diagonal:
                psi = psi * _diagonal_factor(event.matrix, event.qubits, n).astype(psi.dtype)
            else:
                flush(event.qubits, event.time)
                psi = _apply(psi, event.matrix, event.qubits, n)
        else:
            if len(event.rows) == 0:
                continue
            if event.pauli != "z":
                flush((event.qubit,), event.time)
            # psi may be a view (after an X) of an array nothing else holds: written in place.
            psi[event.rows] = _apply(psi[event.rows], PAULI[event.pauli], (event.qubit,), n)
    flush(range(n), program.end)
    return np.ascontiguousarray(psi).reshape(R, 2**n)


class DetuningPath:
    """A detuning delta_q(t) per realisation and qubit, given by its integral
    phi_q(t) = int_0^t delta_q, sampled at `times` (seconds, ascending, from 0) as `phases`
    (R, n, T) and linear in between (delta constant between samples); a constant detuning
    (R, n) is `static`, with phi = delta t exactly at every time."""

    def __init__(self, times, phases, rates=None):
        self.times = np.asarray(times, dtype=float)
        self.phases = phases
        self.rates = rates  # (R, n): a static detuning, phi = rates * t
        self.shape = rates.shape if rates is not None else phases.shape[:2]

    @classmethod
    def static(cls, detuning):
        return cls((), None, np.asarray(detuning, dtype=float))

    def phase(self, q, t):
        """phi_q(t), shape (R,)."""
        if self.rates is not None:
            return self.rates[:, q] * t
        k = int(np.clip(np.searchsorted(self.times, t, side="right") - 1, 0, len(self.times) - 2))
        w = (t - self.times[k]) / (self.times[k + 1] - self.times[k])
        return self.phases[:, q, k] * (1 - w) + self.phases[:, q, k + 1] * w


def with_spectators(detuning, times, phases):
    """The `DetuningPath` of `detuning` ((R, n) static, or a `DetuningPath`) plus the same
    detuning in every realisation given by its integral `phases` (n, T), linear between
    `times` (T,): exact on the union of both grids."""
    if not isinstance(detuning, DetuningPath):
        detuning = DetuningPath.static(detuning)
    grid = np.union1d(times, detuning.times) if detuning.rates is None else np.asarray(times)
    own = np.stack([np.stack([detuning.phase(q, t) for t in grid], axis=-1)
                    for q in range(detuning.shape[1])], axis=1)  # (R, n, T)
    extra = np.stack([np.interp(grid, times, phases[q]) for q in range(len(phases))])
    return DetuningPath(grid, own + extra[None])


def ideal_state(program, initial=None):
    """The noiseless final state, shape (2**n,)."""
    return simulate(program, np.zeros((1, program.num_qubits)), initial=initial)[0]


def fidelities(states, ideal):
    """|<ideal|state>|^2 for each row of `states`."""
    return np.abs(states @ np.conj(ideal)) ** 2


# -- the noise -------------------------------------------------------------------------------


def draw_detuning(realisations, num_qubits, seed=SEED):
    rng = np.random.default_rng(seed)
    return rng.normal(0.0, 2 * math.pi * DETUNING_HZ, size=(realisations, num_qubits))


def device_zz(coupling, seed=ZZ_SEED, khz=ZZ_KHZ):
    """{(p, q): zeta in rad/s} for every undirected device edge, p < q: 2 pi U(`khz`) kHz."""
    rng = np.random.default_rng(seed)
    pairs = sorted({tuple(sorted(edge)) for edge in coupling if edge[0] != edge[1]})
    values = rng.uniform(*khz, size=len(pairs)) * 2e3 * math.pi
    return dict(zip(pairs, values))


@dataclasses.dataclass(frozen=True)
class Family:
    """A kind of device as far as the noise model tells them apart: its residual ZZ."""

    name: str
    gates: tuple[str, ...]  # the two-qubit gates of a target that mark the family
    zz_khz: tuple[float, float]


# Cross-resonance gates (ecr, cx) run on fixed-frequency qubits with fixed couplers (Eagle and
# earlier); cz on IBM's Heron and Nighthawk runs through tunable couplers, which are biased to
# cancel the static ZZ between gates.
FAMILIES = (
    Family("fixed coupler", ("ecr", "cx"), ZZ_KHZ),
    Family("tunable coupler", ("cz",), TUNABLE_ZZ_KHZ),
)


def device_family(target):
    """The `Family` of `target`, by its two-qubit gate; a target with the gates of none or of
    two families is refused."""
    names = set(target.operation_names)
    found = [family for family in FAMILIES if names.intersection(family.gates)]
    if len(found) != 1:
        raise ValueError(f"no single device family for the gates {sorted(names)}")
    return found[0]


def target_zz(target, seed=ZZ_SEED):
    """`device_zz` of `target`'s coupling map, in the range of its `device_family`."""
    return device_zz(target.build_coupling_map().get_edges(), seed,
                     device_family(target).zz_khz)


def pauli_rates(t1, t2):
    """(rate of X flips, of Y flips, of Z flips) in 1/s: the Pauli twirl of amplitude damping
    with time constant `t1` and pure dephasing that makes coherences decay with `t2`."""
    gx = 1 / (4 * t1)
    gz = max(0.0, 1 / (2 * t2) - 1 / (4 * t1))  # T2 > 2 T1 in a snapshot: no pure dephasing
    return gx, gx, gz


def decay_jumps(end, num_qubits, realisations, t1, t2, rng):
    """`Jump`s of the T1/T2 flips in [0, `end`) on each local qubit (`t1`, `t2` in seconds per
    local qubit): Poisson processes of X, Y and Z flips at `pauli_rates`."""
    jumps = []
    for q in range(num_qubits):
        for pauli, rate in zip("xyz", pauli_rates(t1[q], t2[q])):
            counts = rng.poisson(rate * end, size=realisations)
            for r in np.flatnonzero(counts):
                for t in rng.uniform(0, end, size=counts[r]):
                    jumps.append(Jump(float(t), q, pauli, np.array([r])))
    return jumps


def from_first_gate(jumps, program):
    """The `jumps` on each qubit from its first non-diagonal gate in `program` up to its
    readout: before it the qubit is in |0>, which amplitude damping and dephasing leave as it
    is, and after it a flip changes nothing read. Drawing the jumps once and filtering them
    per program keeps the draws the same for every strategy."""
    first = [math.inf] * program.num_qubits
    for op in program.ops:
        if not op.diagonal:
            for q in op.qubits:
                first[q] = min(first[q], op.time)
    return [jump for jump in jumps
            if first[jump.qubit] <= jump.time < program.stop(jump.qubit)]


def error_beyond_decoherence(reported, duration, t1, t2):
    """`reported` (an average gate infidelity of a pulse of length `duration`) less that of
    the identity under `t1` and `t2` over the same time, never below 0 (an infinite T1 or T2
    decays nothing). Written apart from the pass's own (vornak.qiskit.calibration), so that
    the noise model does not follow a fault of the planner's."""
    coherent = (3 + 2 * math.exp(-duration / t2) + math.exp(-duration / t1)) / 6
    return max(0.0, reported - (1 - coherent))


def pulse_jumps(program, realisations, pulse_error, seed=SEED + 2):
    """`Jump`s of the errors right after each DD pulse of `program`: with probability 3e/2
    (e = `pulse_error` of the local qubit, an average gate infidelity) a uniform random Pauli.
    The k-th pulse on a qubit draws the same numbers in every program (one stream per qubit
    and `seed`), so two strategies share the errors of the pulses they have in common, and
    their difference is that of the pulses one has more: the comparison stays paired."""
    positions = {}
    for position, op in enumerate(program.ops):
        if op.pulse:
            positions.setdefault(op.qubits[0], []).append(position)
    jumps = []
    for q, where in positions.items():
        # Row k of a (K, R, 2) draw is the same for every K: the stream is filled in order.
        draws = np.random.default_rng([seed, q]).random((len(where), realisations, 2))
        hit = draws[..., 0] < 1.5 * pulse_error[q]
        kinds = (draws[..., 1] * 3).astype(int)
        for k, position in enumerate(where):
            for kind, pauli in enumerate("xyz"):
                rows = np.flatnonzero(hit[k] & (kinds[k] == kind))
                if len(rows):
                    jumps.append(Jump(program.ops[position].time, q, pauli, rows,
                                      after=position))
    return jumps


def draw_ou_detuning(realisations, num_qubits, end, tau, seed=SEED, sigma=None):
    """A `DetuningPath` of stationary Ornstein-Uhlenbeck detunings on [0, `end`]: standard
    deviation `sigma` (default 2 pi DETUNING_HZ), correlation time `tau`, so that
    <delta(t) delta(t')> = sigma^2 exp(-|t - t'| / tau). Sampled exactly on a grid of step
    min(tau / 20, OU_STEP_S), integrated by the trapezoid rule between samples."""
    sigma = 2 * math.pi * DETUNING_HZ if sigma is None else sigma
    step = min(tau / 20, OU_STEP_S)
    count = int(math.ceil(end / step)) + 2
    times = np.arange(count) * step
    rng = np.random.default_rng(seed)
    keep = math.exp(-step / tau)
    kick = sigma * math.sqrt(1 - keep * keep)
    values = np.empty((realisations, num_qubits, count))
    values[..., 0] = rng.normal(0.0, sigma, size=(realisations, num_qubits))
    noise = rng.normal(0.0, kick, size=(realisations, num_qubits, count - 1))
    for k in range(1, count):
        values[..., k] = values[..., k - 1] * keep + noise[..., k - 1]
    phases = np.zeros_like(values)
    np.cumsum((values[..., 1:] + values[..., :-1]) * (step / 2), axis=-1, out=phases[..., 1:])
    return DetuningPath(times, phases)


PULSE_AXES = {"x": np.array([1.0, 0.0, 0.0]), "y": np.array([0.0, 1.0, 0.0])}


def _rotation(angle, axis):
    """exp(-i angle/2 axis . sigma) for a unit `axis`."""
    generator = sum(a * PAULI[k] for a, k in zip(axis, "xyz"))
    return math.cos(angle / 2) * np.eye(2) - 1j * math.sin(angle / 2) * generator


def pulse_rotation(name, over_rotation=0.0, off_resonance=0.0, fraction=1.0):
    """The rotation a DD pulse `name` ("x" or "y") makes with errors, up to a global phase: about
    its axis tilted towards z by a frequency offset of `off_resonance` times the Rabi frequency,
    by pi (1 + `over_rotation`) sqrt(1 + off_resonance^2) (its Rabi angle at the offset), or by
    `fraction` of that (a slice of a finite-width pulse). The pulse's phase frame (`rz` around
    it in the circuit) turns the whole rotation, as on the device."""
    axis = PULSE_AXES[name] + np.array([0.0, 0.0, off_resonance])
    norm = float(np.linalg.norm(axis))
    return _rotation(math.pi * (1 + over_rotation) * norm * fraction, axis / norm)


def with_pulse_model(program, over_rotation=0.0, off_resonance=0.0, slices=1):
    """`program` with every DD pulse made by `pulse_rotation` instead of ideally, and with
    `slices` > 1 spread over its slot: that many equal slices at the middles of equal parts of
    the slot, so that detuning and ZZ act during the pulse (a finite-width pulse of constant
    amplitude). Pulse jumps, if any, follow the last slice."""
    if not over_rotation and not off_resonance and slices == 1:
        return program
    ops = []
    for op in program.ops:
        if not op.pulse:
            ops.append(op)
            continue
        if op.name not in PULSE_AXES:
            raise ValueError(f"a DD pulse {op.name!r}: only x and y pulses have a pulse model")
        matrix = pulse_rotation(op.name, over_rotation, off_resonance, 1.0 / slices)
        begin = op.time - op.duration / 2
        for k in range(slices):
            ops.append(dataclasses.replace(
                op, time=begin + op.duration * (k + 0.5) / slices, matrix=matrix,
                diagonal=False, pulse=k == slices - 1, duration=op.duration / slices))
    ops.sort(key=lambda o: o.time)
    return Program(program.physical, ops, program.end, program.spectators, program.readouts)


# -- circuits --------------------------------------------------------------------------------

MQT = (("ghz", 12), ("wstate", 10), ("qft", 6), ("dj", 10), ("qaoa", 6),
       ("draper_qft_adder", 6), ("ae", 6), ("qpeexact", 6), ("vqe_real_amp", 6), ("qnn", 6))
WAITS = (("ghz-wait", 8), ("ramsey", 6))
QUICK = (("qft", 6), ("ramsey", 6))
GHZ_WAIT_S = 4e-6  # the wait between preparing a GHZ state and undoing it
RAMSEY_WAIT_S = 2e-6


def _delay_dt(seconds, target):
    alignment = max(int(target.pulse_alignment or 1), int(target.acquire_alignment or 1), 16)
    return alignment * round(seconds / target.dt / alignment)


def logical_circuit(kind, size, target):
    """An mqt.bench circuit at level "alg", or one of the circuits with a long explicit wait:
    `ghz-wait` (a GHZ state built as a chain, a wait, the chain undone: ideally |0...0>) and
    `ramsey` (H on every qubit, a wait, H again)."""
    from qiskit import QuantumCircuit

    if kind == "ghz-wait":
        circuit = QuantumCircuit(size, name=f"ghz-wait-{size}")
        circuit.h(0)
        for q in range(size - 1):
            circuit.cx(q, q + 1)
        circuit.delay(_delay_dt(GHZ_WAIT_S, target), range(size), unit="dt")
        for q in reversed(range(size - 1)):
            circuit.cx(q, q + 1)
        circuit.h(0)
        circuit.measure_all()
        return circuit
    if kind == "ramsey":
        circuit = QuantumCircuit(size, name=f"ramsey-{size}")
        circuit.h(range(size))
        circuit.delay(_delay_dt(RAMSEY_WAIT_S, target), range(size), unit="dt")
        circuit.h(range(size))
        circuit.measure_all()
        return circuit
    from mqt.bench import BenchmarkLevel, get_benchmark

    return get_benchmark(kind, BenchmarkLevel.ALG, size)


def transpiled(kind, size, target):
    from qiskit import transpile

    return transpile(logical_circuit(kind, size, target), target=target, optimization_level=1,
                     seed_transpiler=TRANSPILE_SEED)


def circuit_label(kind, size):
    return f"{kind}-{size}"


# -- strategies ------------------------------------------------------------------------------


def _xx():
    from qiskit.circuit.library import XGate

    return [XGate(), XGate()]


def _qiskit(schedule, target):
    from qiskit.transpiler import passes

    analysis = {"asap": passes.ASAPScheduleAnalysis, "alap": passes.ALAPScheduleAnalysis}[schedule]
    return [analysis(target=target),
            passes.PadDynamicalDecoupling(target=target, dd_sequence=_xx())]


def _no_dd(target):
    from qiskit.transpiler.passes import ASAPScheduleAnalysis, PadDelay

    return [ASAPScheduleAnalysis(target=target), PadDelay(target=target)]


def _context_aware(target):
    from qiskit.transpiler.passes import ALAPScheduleAnalysis, ContextAwareDynamicalDecoupling

    return [ALAPScheduleAnalysis(target=target), ContextAwareDynamicalDecoupling(target)]


def _runtime(sequence_type):
    """What qiskit-ibm-runtime's Executor runs with `dynamical_decoupling.enable = True` and
    `sequence_type`, its other options at their defaults (ALAP, the slack in the middle, qubits
    padded from their start): its `generate_dd_pass_manager`, which reads the target only."""

    def make(target):
        from qiskit_ibm_runtime.executor.dynamical_decoupling import generate_dd_pass_manager
        from qiskit_ibm_runtime.options_models.dynamical_decoupling import (
            DynamicalDecouplingOptions,
        )

        options = DynamicalDecouplingOptions(enable=True, sequence_type=sequence_type)
        return generate_dd_pass_manager(_Backend(target), options)

    return make


@dataclasses.dataclass(frozen=True)
class _Backend:
    """A backend as far as `generate_dd_pass_manager` reads one."""

    target: object


def _ours(**options):
    def make(target):
        from vornak.qiskit import DynamicalDecoupling

        return [DynamicalDecoupling(target=target, **options)]

    return make


def _late_start():
    """bench/late_start.py (a candidate schedule), as a script's neighbour or in the package."""
    try:
        from bench import late_start
    except ImportError:
        import late_start
    return late_start


def _sequence(*names):
    from qiskit.circuit.library import RGate

    phases = {"X": 0.0, "Y": math.pi / 2, "Xb": math.pi, "Yb": -math.pi / 2}
    return [RGate(math.pi, phases[n]) if n != "X" else _xx()[0] for n in names]


# name → a function of the target that returns the passes. Qiskit's passes use X-X (neither
# device has a y gate); "ours" is our pass's defaults; the others change one option of them.
STRATEGIES = {
    "no DD": _no_dd,
    "Qiskit ASAP": lambda target: _qiskit("asap", target),
    "Qiskit ALAP": lambda target: _qiskit("alap", target),
    "Qiskit context-aware": _context_aware,
    "ours": _ours(),
    "ours X-X": lambda target: _ours(dd_sequence=_xx())(target),
    "ours XY4": lambda target: _ours(dd_sequence=_sequence("X", "Y", "X", "Y"))(target),
    "ours X-X̄": lambda target: _ours(dd_sequence=_sequence("X", "Xb"))(target),
    "ours unbounded": _ours(max_free_time=None),
    "ours uncalibrated": _ours(noise_aware=False),
    "ours free ≤ 1 µs": _ours(max_free_time=1e-6),
    "ours walsh ASAP": _ours(scheduling="asap"),
    "ours spread": _ours(placement="spread"),
    "ours late start": lambda target: _late_start().passes(target),
    "runtime XX": _runtime("XX"),
    "runtime XpXm": _runtime("XpXm"),
    "runtime XY4": _runtime("XY4"),
}
# The strategies of the headline run: ours against what a user gets from Qiskit and from the
# runtime; the variants of our options are for --strategy or --all.
DEFAULT_STRATEGIES = ("no DD", "Qiskit ALAP", "Qiskit context-aware", "runtime XX",
                      "runtime XpXm", "runtime XY4", "ours")
ALL_STRATEGIES = DEFAULT_STRATEGIES + ("Qiskit ASAP", "ours X-X", "ours XY4", "ours unbounded",
                                       "ours walsh ASAP", "ours late start", "ours spread")
# The strategies of the plot.
PLOTTED = DEFAULT_STRATEGIES
# What ours is compared with: every other strategy that pads.
OURS = "ours"
PEERS = ("Qiskit ALAP", "Qiskit context-aware", "runtime XX", "runtime XpXm", "runtime XY4")


def build_passes(name, target):
    """The passes of strategy `name`, or None where the installed passes refuse its options."""
    from qiskit.transpiler.exceptions import TranspilerError

    try:
        return STRATEGIES[name](target)
    except (TypeError, TranspilerError, ImportError):
        return None


def run_passes(passes, circuit, repeats=3):
    """(padded circuit, best seconds of `repeats` runs of a PassManager of `passes`, or of
    `passes` if it is one)."""
    from qiskit.transpiler import PassManager

    best, out = math.inf, None
    for _ in range(repeats):
        manager = passes if isinstance(passes, PassManager) else PassManager(passes)
        start = time.perf_counter()
        out = manager.run(circuit)
        best = min(best, time.perf_counter() - start)
    return out, best


# -- checks ----------------------------------------------------------------------------------


def asap_schedule(circuit, target=None, durations=None):
    """(circuit, start times in dt of its `data`) by Qiskit's ASAPScheduleAnalysis, with the
    durations of `target` or else `durations` (an `InstructionDurations`). The circuit is the
    pass manager's output: the same operations, its `data` possibly in another topological
    order, which is the order of the times."""
    from qiskit.transpiler import PassManager
    from qiskit.transpiler.passes import ASAPScheduleAnalysis

    analysis = ASAPScheduleAnalysis(durations=durations, target=target)
    scheduled = PassManager([analysis]).run(circuit)
    return scheduled, list(scheduled.op_start_times)


def start_times_by_operation(circuit, times):
    """{(operation key, its occurrence among equal keys): start time}: the same for two
    orders of the same operations, since equal keys share their qubits."""
    seen = {}
    by_operation = {}
    for instruction, start in zip(circuit.data, times, strict=True):
        key = _key(circuit, instruction)
        seen[key] = seen.get(key, -1) + 1
        by_operation[key, seen[key]] = start
    return by_operation


def _key(circuit, instruction):
    operation = instruction.operation
    return (operation.name, tuple(circuit.find_bit(q).index for q in instruction.qubits),
            tuple(float(p) if not hasattr(p, "parameters") else str(p) for p in operation.params))


def inserted_pulses(circuit, out):
    """Indices in `out.data` of the X pulses `out` adds to `circuit`. Raises unless `out` is
    `circuit` with X gates and delays added: every other operation in each qubit's order."""
    from collections import deque

    expected = {}
    for instruction in circuit.data:
        if instruction.operation.name == "delay":
            continue
        key = _key(circuit, instruction)
        for q in key[1]:
            expected.setdefault(q, deque()).append(key)
    pulses = []
    for index, instruction in enumerate(out.data):
        if instruction.operation.name == "delay":
            continue
        key = _key(out, instruction)
        if all(expected.get(q) and expected[q][0] == key for q in key[1]):
            for q in key[1]:
                expected[q].popleft()
        elif key[0] == "rz" and len(key[1]) == 1:
            # The phase frame of a phase-shifted pulse: exact, and no pulse. Where the qubit's
            # next input operation is an rz, it is taken as that one, which may hold the frame
            # change that closes a gap (the pass folds it in): every rz is exact either way.
            queue = expected.get(key[1][0])
            if queue and queue[0][0] == "rz":
                queue.popleft()
        elif key[0] == "x" and len(key[1]) == 1:
            # An X that equals the next expected one is taken as the original: X pulses come
            # in sequences whose product is the identity, so which one is which changes
            # nothing but where a pulse error lands by a pulse.
            pulses.append(index)
        else:
            raise AssertionError(f"{key} is neither the next operation of the input nor an X")
    left = {q: list(keys) for q, keys in expected.items() if keys}
    if left:
        raise AssertionError(f"operations of the input missing from the output: {left}")
    return pulses


def reduced_circuit(circuit, physical):
    """The gates of `circuit` on its active qubits `physical` (no delays, barriers, measures)."""
    from qiskit import QuantumCircuit

    local = {p: i for i, p in enumerate(physical)}
    reduced = QuantumCircuit(len(physical), global_phase=circuit.global_phase)
    for instruction in circuit.data:
        if instruction.operation.name in ("delay", "barrier", "measure"):
            continue
        reduced.append(instruction.operation,
                       [local[circuit.find_bit(q).index] for q in instruction.qubits])
    return reduced


def same_up_to_phase(a, b, tol=EXACT_TOL):
    """Whether the states (rows of) `a` and `b` are equal up to one global phase."""
    a, b = np.atleast_2d(a), np.atleast_2d(b)
    overlap = np.vdot(b[0], a[0])
    if abs(abs(overlap) - 1) > tol:
        return False
    return bool(np.allclose(a, b * overlap, atol=tol))


def random_states(num_qubits, count, seed=SEED):
    rng = np.random.default_rng(seed)
    states = rng.normal(size=(count, 2**num_qubits)) + 1j * rng.normal(size=(count, 2**num_qubits))
    return states / np.linalg.norm(states, axis=1, keepdims=True)


def check_exact(program, reference, probes):
    """Raises unless `program` is noiselessly the same as the `reference` program, from |0...0>
    and from each of the `probes` states, with one global phase."""
    outputs = [ideal_state(program)] + [ideal_state(program, p) for p in probes]
    expected = [ideal_state(reference)] + [ideal_state(reference, p) for p in probes]
    if not same_up_to_phase(np.array(outputs), np.array(expected)):
        raise AssertionError("the padded circuit is not the input circuit (up to a global phase)")


# -- the benchmark ---------------------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class Noise:
    """A noise model: detuning (quasi-static, or Ornstein-Uhlenbeck with correlation time
    `ou_tau`) and static ZZ unless switched off (`detuning`, `zz`); `t1t2` adds each qubit's
    T1/T2 and `pulse_errors` the device's error on every pulse; `over_rotation`,
    `off_resonance` and `slices` make the pulses as `with_pulse_model` does. A model with a
    `parent` is one term of that model alone: it tells which term a difference comes from."""

    key: str
    title: str
    t1t2: bool = False
    pulse_errors: bool = False
    whole_pulse_error: bool = False  # charge the reported error, decoherence included
    over_rotation: float = 0.0
    off_resonance: float = 0.0
    slices: int = 1
    ou_tau: float | None = None
    realisations: float = 1.0  # a share of the run's realisations
    detuning: bool = True
    zz: bool = True
    parent: str = ""


# Average gate infidelity of one pulse (`gate_infidelity` against the ideal pulse): 1.6e-4 for
# a 1% over-rotation (below the median `x` error of the device snapshots), 1.5e-3 for 3%
# (pessimistic), 2.7e-4 for an offset of 2% of the Rabi frequency (2 pi 180 kHz for a pulse of
# 57 ns: a drift or an uncorrected Stark shift of that size). The terms alone need as many
# realisations as their parent where they are random; ZZ and a coherent pulse error alone are
# the same in every realisation.
NOISES = (
    Noise("ideal", "detuning + ZZ"),
    Noise("decay", "+ T1/T2 and pulse errors", t1t2=True, pulse_errors=True, realisations=4.0),
    Noise("decay-whole", "+ T1/T2 and whole x errors", t1t2=True, pulse_errors=True,
          whole_pulse_error=True, realisations=4.0),
    Noise("over1", "+ 1% over-rotation", over_rotation=0.01),
    Noise("over3", "+ 3% over-rotation", over_rotation=0.03, realisations=0.4),
    Noise("offres", "+ 2% off-resonance", off_resonance=0.02, realisations=0.4),
    Noise("width", "+ finite-width pulses", slices=8, realisations=0.4),
    Noise("ou1", "OU detuning, tau = 1 µs", ou_tau=1e-6, realisations=0.4),
    Noise("ou10", "OU detuning, tau = 10 µs", ou_tau=10e-6, realisations=0.4),
    Noise("decay:detuning", "detuning alone", zz=False, realisations=4.0, parent="decay"),
    Noise("decay:zz", "ZZ alone", detuning=False, realisations=0.02, parent="decay"),
    Noise("decay:t1t2", "T1/T2 alone", t1t2=True, detuning=False, zz=False, realisations=4.0,
          parent="decay"),
    Noise("decay:pulses", "pulse errors alone", pulse_errors=True, detuning=False, zz=False,
          realisations=4.0, parent="decay"),
    Noise("decay-whole:pulses", "whole x errors alone", pulse_errors=True,
          whole_pulse_error=True, detuning=False, zz=False, realisations=4.0,
          parent="decay-whole"),
    Noise("over1:detuning", "detuning alone", zz=False, parent="over1"),
    Noise("over1:zz", "ZZ alone", detuning=False, realisations=0.02, parent="over1"),
    Noise("over1:pulses", "1% over-rotation alone", over_rotation=0.01, detuning=False,
          zz=False, realisations=0.02, parent="over1"),
)
NOISE = {noise.key: noise for noise in NOISES}
# The headline: the fleet with its own T1, T2 and pulse errors, and separately a coherent
# error of every pulse; each with the terms that tell where a difference comes from; and the
# first with each pulse charged its whole reported error, decoherence included.
HEADLINE_NOISES = ("decay", "over1", "decay-whole")


def with_terms(keys):
    """The noise models `keys`, each followed by its terms alone."""
    return tuple(m for key in keys for m in (NOISE[key],) + tuple(
        n for n in NOISES if n.parent == key))


def gate_infidelity(u, v):
    """The average gate infidelity of the single-qubit unitary `u` against `v`."""
    return 1 - (abs(np.trace(v.conj().T @ u)) ** 2 + 2) / 6


@dataclasses.dataclass
class Result:
    values: dict = dataclasses.field(default_factory=dict)  # noise key -> mean fidelity
    samples: dict = dataclasses.field(default_factory=dict)  # noise key -> each realisation's
    errors: dict = dataclasses.field(default_factory=dict)  # noise key -> its standard error
    pulses: int = 0  # on the active qubits
    idle_pulses: int = 0  # on qubits the circuit leaves idle (spectators)
    seconds: float = 0.0
    own_time_mismatches: int = 0  # X gates and delays whose time by the pass ASAP disagrees with
    available: bool = False
    error: str = ""  # a check this strategy's output failed

    def get(self, key):
        return self.values.get(key, math.nan)

    @property
    def fidelity(self):  # detuning and ZZ only
        return self.get("ideal")

    @property
    def fidelity_decay(self):
        return self.get("decay")


def realisation_count(noise, realisations):
    """The realisations of `noise` in a run of `realisations`: its share, at least 2."""
    return max(2, int(round(realisations * noise.realisations)))


def _stderr(values):
    return float(values.std(ddof=1) / math.sqrt(len(values))) if len(values) > 1 else math.nan


def evaluate_circuit(kind, size, backend, realisations, log, noises=NOISES, strategies=None):
    """{strategy: Result} for one circuit on one device, and (active qubits, duration in s),
    under each of `noises` (the decay model with `realisations` draws, the others with their
    share of it), for `strategies` (default: all)."""
    target = backend.target
    circuit = transpiled(kind, size, target)
    physical = active_qubits(circuit)
    n = len(physical)
    if n > MAX_QUBITS:
        raise ValueError(f"{kind}-{size} uses {n} qubits on {backend.name}, "
                         f"more than {MAX_QUBITS}")
    durations = target.durations()
    dt = target.dt
    circuit, times = asap_schedule(circuit, target)
    reference = build_program(circuit, times, durations, dt, physical)
    # What a pass must leave as it was: the schedule's whole length, measurements included.
    input_end = circuit.estimate_duration(target, unit="dt")
    # The simulator against Qiskit's Statevector, noise off, on the unpadded circuit.
    from qiskit.quantum_info import Statevector

    expected = Statevector(reduced_circuit(circuit, physical)).data
    if not same_up_to_phase(ideal_state(reference), expected):
        raise AssertionError(f"{kind}-{size}: simulator and Statevector disagree")
    ideal = ideal_state(reference)
    probes = random_states(n, 4)
    zz_by_edge = target_zz(target)
    edges = reference.edges(zz_by_edge)
    zz = [zz_by_edge[(physical[a], physical[b])] for a, b in edges]
    # A value the snapshot lacks counts as no decay, no error.
    t1 = [target.qubit_properties[p].t1 or math.inf for p in physical]
    t2 = [target.qubit_properties[p].t2 or math.inf for p in physical]
    reported = [target["x"][(p,)].error or 0.0 for p in physical]
    pulse_length = [target["x"][(p,)].duration or 0.0 for p in physical]
    pulse_error = [error_beyond_decoherence(e, tau, a, b)
                   for e, tau, a, b in zip(reported, pulse_length, t1, t2)]
    counts = {noise.key: realisation_count(noise, realisations) for noise in noises}
    detunings = {}
    for noise in noises:
        r = counts[noise.key]
        if not noise.detuning:
            detunings[noise.key] = np.zeros((r, n))
        elif noise.ou_tau is None:
            detunings[noise.key] = draw_detuning(r, n)
        else:
            detunings[noise.key] = draw_ou_detuning(r, n, reference.end, noise.ou_tau)
    # One draw for all models with T1/T2, each taking its first realisations: a term alone
    # meets the same flips as the model it belongs to.
    decay = decay_jumps(reference.end, n,
                        max([counts[m.key] for m in noises if m.t1t2], default=0), t1, t2,
                        np.random.default_rng(SEED + 1))
    no_zz = np.zeros(len(edges))

    def measure(name, passes, result):
        out, result.seconds = run_passes(passes, circuit)
        scheduled, times = asap_schedule(out, target)
        # The uniform route (ASAP of the output) against the times the pass recorded. Which X
        # is a pulse is a guess where the input has X gates too: the check of the input's
        # operations leaves every X (and rz, the pulses' phase frames) out.
        own = start_times_by_operation(out, out.op_start_times)
        for key, start in start_times_by_operation(scheduled, times).items():
            if own[key] != start:
                if key[0][0] not in ("delay", "x", "rz"):
                    raise AssertionError(f"{key[0][:2]} starts at {own[key]} by the pass and "
                                         f"at {start} by ASAP of its output")
                result.own_time_mismatches += 1
        pulses = inserted_pulses(circuit, scheduled)
        program = build_program(scheduled, times, durations, dt, physical, pulses)
        output_end = scheduled.estimate_duration(target, unit="dt")
        if output_end != input_end:
            raise AssertionError(f"the output ends at {output_end} dt, not at {input_end} dt")
        check_exact(program, reference, probes)
        result.idle_pulses = sum(len(t) for t in program.spectators.values())
        result.pulses = len(pulses) - result.idle_pulses
        if program.spectators:
            times, phases = program.spectator_detuning(zz_by_edge)
        for noise in noises:
            noisy = with_pulse_model(program, noise.over_rotation, noise.off_resonance,
                                     noise.slices)
            jumps = []
            if noise.t1t2:
                jumps += [j for j in from_first_gate(decay, program)
                          if j.rows[0] < counts[noise.key]]
            if noise.pulse_errors:
                jumps += pulse_jumps(program, counts[noise.key],
                                     reported if noise.whole_pulse_error else pulse_error)
            detuning = detunings[noise.key]
            if program.spectators and noise.zz:
                detuning = with_spectators(detuning, times, phases)
            states = simulate(noisy, detuning, zz if noise.zz else no_zz, edges,
                              jumps, dtype=np.complex64)
            values = fidelities(states, ideal)
            result.samples[noise.key] = values
            result.values[noise.key] = float(values.mean())
            result.errors[noise.key] = _stderr(values)
        result.available = True

    from qiskit.transpiler.exceptions import TranspilerError

    results = {}
    for name in strategies or STRATEGIES:
        passes = build_passes(name, target)
        result = results[name] = Result()
        if passes is None:
            continue
        started = time.perf_counter()
        try:
            measure(name, passes, result)
        except (AssertionError, ValueError, TranspilerError) as error:
            # A failed check of one strategy is reported in its cell and below the tables.
            result.error = f"{type(error).__name__}: {error}"
            log(f"  {name:22s} {result.error}")
            continue
        cells = " ".join(f"{key}={value:.3f}" for key, value in result.values.items())
        log(f"  {name:22s} {cells} pulses={result.pulses:4d} pass={result.seconds * 1e3:7.1f} ms "
            f"({time.perf_counter() - started:.1f} s)")
    return results, n, reference.end


def run(circuits, devices, realisations, log=print, noises=NOISES, strategies=None):
    """{device: {circuit label: (results, qubits, duration)}}."""
    from qiskit_ibm_runtime import fake_provider

    table = {}
    for device in devices:
        backend = getattr(fake_provider, device)()
        table[device] = {}
        for kind, size in circuits:
            log(f"{device} {circuit_label(kind, size)}")
            table[device][circuit_label(kind, size)] = evaluate_circuit(
                kind, size, backend, realisations, log, noises, strategies)
    return table


# -- the report ------------------------------------------------------------------------------


def _fmt(value, result=None):
    if result is not None and result.error:
        return "error"
    return "n/a" if math.isnan(value) else f"{value:.4f}"


def _names(rows):
    """The strategies of `rows`: those of ALL_STRATEGIES in its order, then the others."""
    present = next(iter(rows.values()))[0]
    order = ALL_STRATEGIES + tuple(n for n in STRATEGIES if n not in ALL_STRATEGIES)
    return [name for name in order if name in present]


def markdown_table(rows, key):
    """A table circuit x strategy of the fidelity under noise `key`, with the mean, the pulse
    count and the pass time."""
    names = _names(rows)
    lines = ["| circuit | qubits | µs | " + " | ".join(names) + " |",
             "|---|---:|---:|" + "---:|" * len(names)]
    for label, (results, qubits, duration) in rows.items():
        cells = [_fmt(results[name].get(key), results[name]) for name in names]
        lines.append(f"| {label} | {qubits} | {duration * 1e6:.2f} | " + " | ".join(cells) + " |")
    lines.append("| **mean** | | | " + " | ".join(f"**{m}**" for m in _means(rows, key, names))
                 + " |")
    errors = [r[name].errors[key] for r, _, _ in rows.values() for name in names
              if r[name].available and key in r[name].errors]
    if errors:
        lines += ["", f"Standard error of a cell's mean over the realisations: at most "
                      f"{max(errors):.4f}, median {float(np.median(errors)):.4f}."]
    return "\n".join(lines)


def _means(rows, key, names):
    out = []
    for name in names:
        ok = all(r[name].available for r, _, _ in rows.values())
        out.append(_fmt(float(np.mean([r[name].get(key) for r, _, _ in rows.values()])))
                   if ok else "n/a")
    return out


def _title(noise):
    """The row title of `noise`; a term alone is indented under the model it belongs to."""
    return f"· {noise.title}" if noise.parent else noise.title


def summary_table(rows, noises):
    """Mean fidelity over the circuits, noise model x strategy, with the pulses, the pass time,
    and the circuits where the strategy is below no DD."""
    names = _names(rows)
    lines = ["| noise | " + " | ".join(names) + " |", "|---|" + "---:|" * len(names)]
    for noise in noises:
        lines.append(f"| {_title(noise)} | " + " | ".join(_means(rows, noise.key, names)) + " |")
    pulses, idle, seconds = [], [], []
    for name in names:
        ok = all(r[name].available for r, _, _ in rows.values())
        pulses.append(str(sum(r[name].pulses for r, _, _ in rows.values())) if ok else "n/a")
        idle.append(str(sum(r[name].idle_pulses for r, _, _ in rows.values())) if ok else "n/a")
        seconds.append(f"{sum(r[name].seconds for r, _, _ in rows.values()) * 1e3:.1f}"
                       if ok else "n/a")
    lines.append("| DD pulses (all circuits) | " + " | ".join(pulses) + " |")
    if any(v not in ("0", "n/a") for v in idle):
        lines.append("| DD pulses on qubits the circuit leaves idle | " + " | ".join(idle)
                     + " |")
    lines.append("| pass time, ms (all circuits) | " + " | ".join(seconds) + " |")
    below = []
    for name in names:
        count = sum(1 for noise in noises if not noise.parent for r, _, _ in rows.values()
                    if r[name].available and r["no DD"].available
                    and r[name].get(noise.key) < r["no DD"].get(noise.key))
        below.append(str(count))
    if "no DD" in names:
        lines.append("| (circuit, noise) cells below no DD | " + " | ".join(below) + " |")
    return "\n".join(lines)


def mean_of(rows, name, key):
    """The mean of strategy `name` under `key` over the circuits of `rows`; nan unless it has
    every circuit."""
    if not all(name in r and r[name].available and key in r[name].values
               for r, _, _ in rows.values()):
        return math.nan
    return float(np.mean([r[name].get(key) for r, _, _ in rows.values()]))


def paired(a, b, key):
    """(mean of a - b, its standard error) under `key` over the realisations both drew."""
    d = a.samples[key] - b.samples[key]
    return float(d.mean()), _stderr(d)


def paired_mean(rows, a, b, key):
    """(mean over the circuits of strategy `a` - `b` under `key`, its standard error): the
    circuits' paired differences averaged, their standard errors added in square."""
    pairs = [paired(results[a], results[b], key) for results, _, _ in rows.values()
             if a in results and b in results and results[a].available
             and results[b].available and key in results[a].samples
             and key in results[b].samples]
    if not pairs:
        return math.nan, math.nan
    return (sum(d for d, _ in pairs) / len(pairs),
            math.sqrt(sum(e * e for _, e in pairs)) / len(pairs))


# A circuit is listed where ours is this far below the best peer on it.
LOSS_MARGIN = 0.01


def losses(rows, noise, noises):
    """The circuits where ours is more than LOSS_MARGIN below the best peer on that circuit,
    or below no DD: [(label, other strategy, paired difference, its standard error,
    {term key: ours' infidelity minus the other's under that term alone})]."""
    out = []
    terms = [n for n in noises if n.parent == noise.key]
    for label, (results, _, _) in rows.items():
        ours = results.get(OURS)
        if ours is None or not ours.available:
            continue
        peers = [p for p in PEERS if p in results and results[p].available]
        candidates = []
        if peers:
            best = max(peers, key=lambda p: results[p].get(noise.key))
            d, e = paired(ours, results[best], noise.key)
            if d < -LOSS_MARGIN:
                candidates.append((best, d, e))
        if "no DD" in results and results["no DD"].available:
            d, e = paired(ours, results["no DD"], noise.key)
            if d < 0:
                candidates.append(("no DD", d, e))
        for other, d, e in candidates:
            by_term = {t.key: results[other].get(t.key) - ours.get(t.key) for t in terms
                       if t.key in ours.values and t.key in results[other].values}
            out.append((label, other, d, e, by_term))
    return out


def comparison(rows, noises):
    """Markdown: for each noise model, ours against the best peer (by mean), the circuits it
    loses and the term each loss comes from, and its pulses against the runtime's X-X̄."""
    names = _names(rows)
    if OURS not in names:
        return ""
    lines = []
    for noise in (n for n in noises if not n.parent):
        ours = mean_of(rows, OURS, noise.key)
        peers = [p for p in PEERS if p in names and not math.isnan(mean_of(rows, p, noise.key))]
        line = f"- **{noise.title}**: ours {_fmt(ours)}"
        if peers:
            best = max(peers, key=lambda p: mean_of(rows, p, noise.key))
            d, e = paired_mean(rows, OURS, best, noise.key)
            line += (f", best peer {best} {_fmt(mean_of(rows, best, noise.key))} "
                     f"(ours {ours - mean_of(rows, best, noise.key):+.4f}; paired over the "
                     f"realisations, {d:+.4f} ± {e:.4f})")
        lines.append(line + ".")
        lost = losses(rows, noise, noises)
        if not lost:
            lines.append(f"  No circuit more than {LOSS_MARGIN} below the best peer on it, "
                         "none below no DD.")
            continue
        terms = [n for n in noises if n.parent == noise.key and n.key in lost[0][4]]
        lines += ["", "  | circuit | against | ours − it (paired s.e.) | "
                  + " | ".join(f"Δ(1−F) {t.title}" for t in terms) + " |",
                  "  |---|---|---:|" + "---:|" * len(terms)]
        for label, other, d, e, by_term in lost:
            worst = max(by_term, key=by_term.get) if by_term else None
            cells = [f"**{by_term[t.key]:+.4f}**" if t.key == worst and by_term[t.key] > 0
                     else f"{by_term[t.key]:+.4f}" if t.key in by_term else "" for t in terms]
            lines.append(f"  | {label} | {other} | {d:+.4f} ({e:.4f}) | " + " | ".join(cells)
                         + " |")
        lines.append("")
    if "runtime XpXm" in names:
        ours_pulses = sum(r[OURS].pulses for r, _, _ in rows.values())
        theirs = sum(r["runtime XpXm"].pulses for r, _, _ in rows.values())
        idle = sum(r["runtime XpXm"].idle_pulses for r, _, _ in rows.values())
        ratio = f" ({ours_pulses / theirs:.2f}×)" if theirs else ""
        lines.append(f"- **pulses** on the active qubits: ours {ours_pulses}, runtime XpXm "
                     f"{theirs}{ratio}; the runtime's also puts {idle} on qubits the circuits "
                     "leave idle.")
    return "\n".join(lines)


def headline_table(table, noises):
    """Markdown: mean fidelity per device and noise model (no terms alone) x strategy, and the
    pulses of each strategy over the device's circuits."""
    first = next(iter(table.values()))
    names = [n for n in _names(first) if all(n in _names(rows) for rows in table.values())]
    main = [n for n in noises if not n.parent]
    lines = ["| device | noise | " + " | ".join(names) + " |",
             "|---|---|" + "---:|" * len(names)]
    for device, rows in table.items():
        for noise in main:
            lines.append(f"| {device} | {noise.title} | "
                         + " | ".join(_means(rows, noise.key, names)) + " |")
    lines += ["", "| device | " + " | ".join(f"{n} pulses" for n in names) + " |",
              "|---|" + "---:|" * len(names)]
    for device, rows in table.items():
        cells = []
        for n in names:
            pulses = sum(r[n].pulses for r, _, _ in rows.values())
            idle = sum(r[n].idle_pulses for r, _, _ in rows.values())
            cells.append(f"{pulses} + {idle} idle" if idle else str(pulses))
        lines.append(f"| {device} | " + " | ".join(cells) + " |")
    lines += ["", "Pulses on the circuits' active qubits, over all circuits; \"+ n idle\": "
              "pulses on qubits the circuit leaves idle, which flip them and so switch their "
              "ZZ to the active neighbours (`Program.spectators`)."]
    return "\n".join(lines)


def describe_device(device):
    """One line on `device`'s snapshot: its family, ZZ range, and median T1, T2, `x` error."""
    from qiskit_ibm_runtime import fake_provider

    target = getattr(fake_provider, device)().target
    family = device_family(target)

    def median(values):
        values = [v for v in values if v is not None]
        return float(np.median(values)) if values else math.nan

    props = [target.qubit_properties[q] for q in range(target.num_qubits)]
    t1 = median([p.t1 for p in props]) * 1e6
    t2 = median([p.t2 for p in props]) * 1e6
    error = median([target["x"][(q,)].error for q in range(target.num_qubits)
                    if (q,) in target["x"] and target["x"][(q,)] is not None])
    low, high = family.zz_khz
    gates = "/".join(sorted(set(target.operation_names).intersection(family.gates)))
    return (f"{device}: {family.name} ({gates}), ZZ 2π·U({low:g}, {high:g}) kHz; snapshot "
            f"medians T1 {t1:.0f} µs, T2 {t2:.0f} µs, x error {error:.1e}")


def report(table, realisations, elapsed, command, noises=NOISES, devices=None):
    """The markdown of a run: `devices` ({device: `describe_device` line}, default: looked up)."""
    devices = devices or {device: describe_device(device) for device in table}
    out = [
        "# Fidelity of the dynamical-decoupling passes under simulated noise",
        "",
        f"Written by `{command}` on {time.strftime('%Y-%m-%d', time.gmtime())} in "
        f"{elapsed:.0f} s; {realisations} realisations per cell for the first noise "
        "model, the stated share of them for the others. Pass time: the best of 3 runs "
        "of a `PassManager` of the strategy's passes, on the transpiled circuit. "
        "The noise models and the checks are described in bench/fidelity.py's docstring: "
        f"detuning (quasi-static, sigma = 2π·{DETUNING_HZ / 1e3:.0f} kHz, or an "
        "Ornstein-Uhlenbeck process of the same sigma) and static ZZ per device edge "
        "(its range by the device's couplers, below) on the active qubits, "
        "ideal instantaneous gates; the others add each qubit's T1/T2 and each DD "
        "pulse's error from the device snapshot, or a coherent error of every DD pulse, or "
        "pulses of finite width. Fidelity of the state before the final "
        "measurements with the ideal one, averaged over the realisations (the same draws for "
        "every strategy). n/a: the installed pass does not accept the strategy's options; "
        "error: the strategy's output failed a check (listed below its device's tables). "
        "runtime XX / XpXm / XY4: qiskit-ibm-runtime's `generate_dd_pass_manager` with that "
        "`sequence_type` and its default options (what `dynamical_decoupling.enable = True` "
        "runs). A row \"· ... alone\" is that term of the model above it alone, the others "
        "off: the term a difference comes from.",
        "",
        "Devices:", "",
        *[f"- {line}" for line in devices.values()],
        "",
        "Noise models: " + "; ".join(
            f"{n.title}{' (' + NOISE[n.parent].title + ')' if n.parent else ''} "
            f"({realisation_count(n, realisations)} realisations)" for n in noises) + ".",
        "",
        "## Mean fidelity over the circuits", "",
        headline_table(table, noises), "",
    ]
    for device, rows in table.items():
        out += [f"## {device}", "", devices[device], "", "Mean over the circuits:", "",
                summary_table(rows, noises), ""]
        compared = comparison(rows, noises)
        if compared:
            out += [f"Ours against the peers ({', '.join(p for p in PEERS if p in _names(rows))}): "
                    f"every circuit where ours is more than {LOSS_MARGIN} below the best of "
                    "them on it, or below no DD, with the difference in each term alone "
                    "(the other's fidelity minus ours under that term; the largest positive "
                    "one in bold is the term that loses it).", "", compared, ""]
        for noise in (n for n in noises if not n.parent):
            out += [f"### {device}: {noise.title}", "", markdown_table(rows, noise.key), ""]
        for label, (results, _, _) in rows.items():
            out += [f"**{name} failed a check on {label}**: {r.error}" + "\n"
                    for name, r in results.items() if r.error]
        mismatched = {name: sum(r[name].own_time_mismatches for r, _, _ in rows.values())
                      for name in _names(rows)}
        mismatched = {k: v for k, v in mismatched.items() if v}
        if mismatched:
            out += ["X gates and delays whose start time recorded by the pass differs from "
                    "ASAP of its output (the output's times are used; Qiskit's context-aware "
                    "pass records the times of the pulses and delays it inserts relative to "
                    "the delay they replace): "
                    + ", ".join(f"{k}: {v}" for k, v in mismatched.items()) + ".", ""]
    return "\n".join(out)


# The strategies of the plot's panel on dynamic circuits (bench/dynamic_fidelity.py's names),
# with their colours in tab10: no DD and our default as in the static panels.
DYNAMIC_PLOTTED = {"no DD": 0, "runtime staggered": 8, "ours walsh widen": 7,
                   "ours (walsh, stretch)": PLOTTED.index(OURS)}


def dynamic_means(text):
    """From the section on dynamic circuits of a results file (`text`, as
    bench/dynamic_fidelity.py writes it): {device: (circuits, {strategy: (mean per noise
    setting, pulses)})}, the means and pulses over the circuits every strategy pads (the
    section's last column); {} where the file has no such section."""
    cut = ("\n" + text).find("\n" + DYNAMIC_SECTION)
    if cut < 0:
        return {}
    out = {}
    device = None
    for line in text[cut:].splitlines():
        if line.startswith("### "):
            device = line[4:].strip()
            continue
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if device is None or not line.startswith("|") or len(cells) < 3:
            continue
        if cells[0] == "strategy":
            columns = cells
            circuits = columns[-1].removeprefix("mean over ").split(", ")
            out[device] = (circuits, {})
            continue
        if set(cells[0]) <= set("-"):
            continue
        shared = [columns.index(c) for c in circuits]
        if any(" / " not in cells[i] for i in shared):
            continue  # failed on a circuit it should pad: no bar
        means = tuple(float(v) for v in cells[-1].split(" / "))
        pulses = sum(int(cells[i].rsplit(" / ", 1)[1]) for i in shared)
        out[device][1][cells[0]] = (means, pulses)
    return out


def _dynamic_panel(ax, dynamic, colours):
    """Bars of `dynamic` (from `dynamic_means`): a group per device and noise setting."""
    devices = list(dynamic)
    names = [n for n in DYNAMIC_PLOTTED if all(n in dynamic[d][1] for d in devices)]
    settings = ("detuning + ZZ", "+ T1/T2 and pulse errors")
    groups = [(d, k) for d in devices for k in range(len(settings))]
    width = 0.85 / max(1, len(names))
    for k, name in enumerate(names):
        values = [dynamic[d][1][name][0][i] for d, i in groups]
        pulses = " / ".join(str(dynamic[d][1][name][1]) for d in devices)
        xs = np.arange(len(groups)) + (k - len(names) / 2 + 0.5) * width
        ax.bar(xs, values, width, label=f"{name} ({pulses} pulses)",
               color=colours[DYNAMIC_PLOTTED[name]])
    ax.set_xticks(np.arange(len(groups)),
                  [f"{d}\n{settings[i]}" for d, i in groups], fontsize=8)
    ax.set_ylim(0, 1.02)
    circuits = dynamic[devices[0]][0]
    ax.set_ylabel("mean fidelity (" + ", ".join(circuits) + ")", fontsize=8)
    ax.set_title(f"dynamic circuits (bench/dynamic_fidelity.py: ZZ 2π·U({ZZ_KHZ[0]:g}, "
                 f"{ZZ_KHZ[1]:g}) kHz on every device)", loc="left", fontsize=9)
    ax.grid(axis="y", alpha=0.3)
    ax.legend(loc="center left", bbox_to_anchor=(1.005, 0.5), fontsize=7, frameon=False)


def plot(table, path, noises=NOISES, dynamic=None, titles=None):
    """One panel per device: the mean fidelity over its circuits under each noise model (not
    the terms alone), for the strategies of PLOTTED (with their pulse counts in the legend),
    each in its own colour on every panel; and, given `dynamic`
    (from `dynamic_means`), a last panel of the dynamic circuits for DYNAMIC_PLOTTED."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    noises = [n for n in noises if not n.parent]
    titles = titles or {}
    panels = len(table) + (1 if dynamic else 0)
    fig, axes = plt.subplots(panels, 1, figsize=(13, 3.6 * panels), squeeze=False)
    colours = plt.get_cmap("tab10").colors
    for row, (device, rows) in enumerate(table.items()):
        ax = axes[row][0]
        names = [n for n in PLOTTED if n in _names(rows)
                 and all(r[n].available for r, _, _ in rows.values())]
        width = 0.85 / max(1, len(names))
        for k, name in enumerate(names):
            values = [float(np.mean([r[name].get(noise.key) for r, _, _ in rows.values()]))
                      for noise in noises]
            pulses = sum(r[name].pulses for r, _, _ in rows.values())
            xs = np.arange(len(noises)) + (k - len(names) / 2 + 0.5) * width
            bars = ax.bar(xs, values, width, label=f"{name} ({pulses} pulses)",
                          color=colours[PLOTTED.index(name) % len(colours)])
            # The value inside the top of each bar: differences of 0.005 do not show as bars.
            ax.bar_label(bars, [f"{v:.3f}" for v in values], label_type="edge", padding=-24,
                         rotation=90, fontsize=6, color="white")
        labels = [("detuning + ZZ\n" + n.title) if n.title.startswith("+") else n.title
                  for n in noises]
        ax.set_xticks(np.arange(len(noises)), labels, fontsize=8)
        ax.set_ylim(0, 1.02)
        ax.set_ylabel(f"mean fidelity ({len(rows)} circuits)", fontsize=8)
        ax.set_title(titles.get(device, device), loc="left", fontsize=9)
        ax.grid(axis="y", alpha=0.3)
        # Right of the bars: nothing hides a bar or the title.
        ax.legend(loc="center left", bbox_to_anchor=(1.005, 0.5), fontsize=7, frameon=False)
    if dynamic:
        _dynamic_panel(axes[-1][0], dynamic, colours)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help=f"{len(QUICK)} circuits, {QUICK_REALISATIONS} realisations, "
                             "no files unless --out")
    parser.add_argument("--realisations", type=int, default=None)
    parser.add_argument("--device", action="append", choices=DEVICES,
                        help="a device (repeatable; default: " + ", ".join(HEADLINE_DEVICES)
                             + ")")
    parser.add_argument("--strategy", action="append", choices=list(STRATEGIES),
                        help="a strategy (repeatable; default: those of the headline); "
                             "'no DD' is always run")
    parser.add_argument("--noise", action="append",
                        choices=[n.key for n in NOISES if not n.parent],
                        help="a noise model, run with its terms alone where it has them "
                             "(repeatable; default: " + ", ".join(HEADLINE_NOISES) + ")")
    parser.add_argument("--all", action="store_true",
                        help="every device, noise model and strategy variant")
    parser.add_argument("--circuit", action="append",
                        help="a circuit label such as qft-6 (repeatable; default: all)")
    parser.add_argument("--out", type=Path, default=None,
                        help="the markdown file (default bench/fidelity_results.md)")
    parser.add_argument("--plot", type=Path, default=None,
                        help="the plot (default docs/fidelity.png, beside --out's default)")
    args = parser.parse_args(argv)
    realisations = args.realisations or (QUICK_REALISATIONS if args.quick else REALISATIONS)
    circuits = QUICK if args.quick else MQT + WAITS
    if args.circuit:
        circuits = [c for c in MQT + WAITS if circuit_label(*c) in args.circuit]
    devices = tuple(args.device or (DEVICES if args.all else HEADLINE_DEVICES))
    keys = args.noise or ([n.key for n in NOISES if not n.parent] if args.all
                          else HEADLINE_NOISES)
    noises = with_terms(keys)
    strategies = list(ALL_STRATEGIES if args.all else DEFAULT_STRATEGIES)
    if args.strategy:
        strategies = ["no DD"] + [name for name in args.strategy if name != "no DD"]
    out = args.out if args.out is not None or args.quick else HERE / "fidelity_results.md"
    picture = args.plot if args.plot is not None or args.quick else ROOT / "docs" / "fidelity.png"
    start = time.perf_counter()
    table = run(circuits, devices, realisations, log=lambda line: print(line, flush=True),
                noises=noises, strategies=strategies)
    elapsed = time.perf_counter() - start
    command = "python bench/fidelity.py " + " ".join(argv if argv is not None else sys.argv[1:])
    described = {device: describe_device(device) for device in devices}
    text = report(table, realisations, elapsed, command.strip(), noises, described)
    print(text)
    if out is not None:
        write_results(out, text, static=True)
    if picture is not None:
        # The dynamic circuits' panel from their section of the results file, which
        # bench/dynamic_fidelity.py writes (run it first for a plot with fresh numbers).
        results = out if out is not None else HERE / "fidelity_results.md"
        text = results.read_text() if results.exists() else ""
        titles = {device: line.replace(":", " —", 1) for device, line in described.items()}
        plot(table, picture, noises, dynamic_means(text), titles)
    failed = any(r.error for rows in table.values() for results, _, _ in rows.values()
                 for r in results.values())
    return 1 if failed else 0


DYNAMIC_SECTION = "## Dynamic circuits\n"


def write_results(path, text: str, static: bool) -> None:
    """Writes `text` to the results file `path` as its static part (`static`) or as its
    section on dynamic circuits, keeping the other part that the file holds: the two
    benchmarks share bench/fidelity_results.md."""
    path = Path(path)
    old = path.read_text() if path.exists() else ""
    cut = ("\n" + old).find("\n" + DYNAMIC_SECTION)  # the section may open the file
    static_part, dynamic_part = (old, "") if cut < 0 else (old[:cut], old[cut:])
    if static:
        static_part = text
    else:
        dynamic_part = text
    parts = [part.strip("\n") for part in (static_part, dynamic_part) if part.strip()]
    path.write_text("\n\n".join(parts) + "\n")


if __name__ == "__main__":
    sys.exit(main())

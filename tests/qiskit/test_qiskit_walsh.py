"""The walsh placement, checked from the circuit the pass writes.

`check_pass` (tests/qiskit/checks.py) checks everything every output promises: Qiskit's
ASAP schedule of the output is ``node_start_time``, every operation is on its grid,
``InstructionDurationCheck`` is content, the input's operations keep their times and the
output equals the input as an ``Operator``. Here the pulses it found are read as physics.

In the toggling frame every pulse flips its qubit's sign s_q(t) at its middle. A qubit's
detuning acts through ∫ s_q over its idle time, the ZZ coupling of a coupled pair through
∫ s_p·s_q over the time both are idle. The planner cuts idle time into pieces: whenever a
qubit joins or leaves the group of idle qubits connected through the coupling map, the
pieces of every member of the group end, and so they do at the middle of a long operation
of a coupled busy qubit, where its frame turns. `pieces` rebuilds that cut from the output alone,
and the tests ask of every piece: its pulses lie inside it, come in whole repetitions of the
sequence and leave ∫ s = 0; of every coupled pair idle together: the same piece on both
qubits and ∫ s_p·s_q = 0. Both up to the alignment: each pulse start is rounded to the grid,
which moves its flip by less than one alignment, and so each integral by less than twice
that per pulse.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import pytest

pytest.importorskip("qiskit")
pytest.importorskip("vornak.qiskit")

from qiskit import QuantumCircuit, transpile  # noqa: E402
from qiskit.circuit import Delay, Reset  # noqa: E402
from qiskit.circuit.library import XGate  # noqa: E402
from qiskit.quantum_info import Operator  # noqa: E402
from qiskit.transpiler import CouplingMap, InstructionDurations  # noqa: E402
from checks import (  # noqa: E402
    XY4,
    Timing,
    bench_circuit,
    check_pass,
    fake_backend,
    generic_backend,
    small_random_circuit,
)

pytestmark = [
    pytest.mark.filterwarnings("ignore:Duration is rounded"),
    pytest.mark.filterwarnings("ignore::DeprecationWarning"),
]


@dataclass
class Piece:
    qubit: int
    start: float
    end: float
    flips: list  # the pulse middles in the piece, in time order
    pulses: list  # (start, end) of its pulses


def sign_integral(flips_a, flips_b, lo, hi):
    """∫ s_a·s_b over [lo, hi], each sign +1 at lo and flipping at its qubit's flips."""
    events = sorted([(t, 0) for t in flips_a] + [(t, 1) for t in flips_b])
    total, sign, t0 = 0.0, 1, lo
    for t, _ in events:
        total += sign * (t - t0)
        sign, t0 = -sign, t
    return total + sign * (hi - t0)


def colourings(qubits, edges):
    """For each connected part of the coupling graph on `qubits`: its qubits and, when it is
    bipartite, its two 2-colourings (the planner takes one of them), else None."""
    neighbours = {q: set() for q in qubits}
    for a, b in edges:
        if a in neighbours and b in neighbours and a != b:
            neighbours[a].add(b)
            neighbours[b].add(a)
    seen, out = {}, []
    for root in sorted(qubits):
        if root in seen:
            continue
        part, todo, bipartite = {root: 0}, [root], True
        while todo:
            q = todo.pop()
            for other in neighbours[q]:
                if other not in part:
                    part[other] = part[q] ^ 1
                    todo.append(other)
                elif part[other] == part[q]:
                    bipartite = False
        seen.update(part)
        out.append((set(part), [part, {q: c ^ 1 for q, c in part.items()}] if bipartite else None))
    return neighbours, out


def turns_frame(op, position):
    """Whether `op` turns the Z frame of its qubit at `position`: it does not commute with Z
    there (measurements and resets do)."""
    return frame_turn(op, position) != "keeps"


def frame_turn(op, position):
    """What `op` does to the Z frame of its qubit at `position`: "keeps" it (commutes with
    Z there), "flips" it (anticommutes: Z to -Z, as x, y and the control of an ecr) or
    "turns" it (anything else; measurements and resets)."""
    try:
        matrix = Operator(op).data
    except Exception:  # no matrix: a measurement, a reset
        return "turns"
    k = op.num_qubits
    z = np.diag([1.0 - 2.0 * ((i >> position) & 1) for i in range(2**k)])
    if np.allclose(matrix @ z, z @ matrix, atol=1e-10):
        return "keeps"
    return "flips" if np.allclose(matrix @ z, -z @ matrix, atol=1e-10) else "turns"


def pieces(result, timing, edges, sequence, skip_reset):
    """The stretches of idle time of every qubit that takes pulses, from the output alone, with
    the pulses in each, the middles of every qubit's operations (where its frame turns) and
    the coupling graph between the qubits that take pulses."""
    out = result.out
    starts = result.property_set["node_start_time"]
    index = {q: i for i, q in enumerate(out.qubits)}
    pulse_at = {(q, round(s, 6)) for q, s, _ in result.pulses}
    pulses_of = {}
    for q, s, e in result.pulses:
        pulses_of.setdefault(q, []).append((s, e))
    length = result.plan.length

    # Stretches: between a qubit's operations (barriers included, delays and pulses not),
    # and from its last operation to the end; long enough for the sequence; not while the
    # qubit is in its initial state or just reset, when skipping those.
    stretches, middles, flipping, used = {}, {}, {}, set()
    for bit in out.qubits:
        q = index[bit]
        lengths = [timing.op(g.name, (q,)) for g in sequence]
        # The rz frame changes of a phase-shifted pulse sit at its start and its end (on the
        # grid: at most one alignment later), or in the free time before a pulse: the next
        # operation on the wire that is no delay and no rz is a pulse.
        grid = result.alignment
        edges_of_pulses = {round(t, 6) for s, e in pulses_of.get(q, ())
                           for t in (s, e, math.ceil(e / grid - 1e-9) * grid if grid else e)}
        wire = [n for n in out.nodes_on_wire(bit, only_ops=True) if not isinstance(n.op, Delay)]
        frames = set()
        for i, n in enumerate(wire):
            if n.op.name == "rz":
                after = next((m for m in wire[i + 1:] if m.op.name != "rz"), None)
                if round(starts[n], 6) in edges_of_pulses or (
                        after is not None and (q, round(starts[after], 6)) in pulse_at):
                    frames.add(n)
        busy = [(starts[n], starts[n] + timing.node(n, index), isinstance(n.op, Reset))
                for n in wire if (q, round(starts[n], 6)) not in pulse_at and n not in frames]
        middles[q], flipping[q] = [], []
        for n in out.nodes_on_wire(bit, only_ops=True):
            if isinstance(n.op, Delay) or (q, round(starts[n], 6)) in pulse_at or not (
                    timing.node(n, index) > 0):
                continue
            turn = frame_turn(n.op, [index[b] for b in n.qargs].index(q))
            if turn != "keeps":
                middle = (starts[n] + starts[n] + timing.node(n, index)) / 2
                middles[q].append(middle)
                if turn == "flips":
                    flipping[q].append(middle)
        if any(d is None for d in lengths) or not busy:
            continue
        used.add(q)
        threshold = 1.5 * sum(lengths)
        cursor, ground = 0.0, True
        for begin, end, resets in [*busy, (length, length, False)]:
            if begin - cursor >= threshold and not (ground and skip_reset):
                inside = sorted((s, e) for s, e in pulses_of.get(q, ())
                                if cursor - 1e-6 <= s < begin - 1e-6)
                stretches.setdefault(q, []).append(
                    Piece(q, cursor, begin, [(s + e) / 2 for s, e in inside], inside))
            cursor, ground = end, resets
    placed = sum(len(p.pulses) for spans in stretches.values() for p in spans)
    assert placed == len(result.pulses), "pulses outside every stretch"
    neighbours, parts = colourings(used, edges)
    return stretches, middles, flipping, neighbours, parts


def check_walsh(result, timing, edges, sequence, alignment, skip_reset=True):
    """The physics of every stretch, part and coupled pair; returns the stretches and how
    many parts were checked against a coupled qubit idle beside them with pulses.

    Each stretch holds whole repetitions of the sequence. The planner cuts a qubit's
    stretch into parts where a coupled qubit's frame turns: at the middle of each of its
    operations, and at the pulses of a coupled qubit of a lower colour. Each part with pulses
    has ∫ s = 0, and against every coupled qubit whose frame stays put over it (busy, or of a
    lower colour) ∫ s_p·s_q = 0 too; cuts closer than one pulse's room are left out, each
    keeping at most twice that room of ZZ. The colours are one of the two 2-colourings of each
    bipartite part of the coupling graph; for other parts only the stretches are checked."""
    n = len(sequence)
    stretches, middles, flipping, neighbours, parts = pieces(result, timing, edges, sequence,
                                                             skip_reset)
    grid = alignment if timing.unit == "dt" else 0.0
    unit = n * 2 // math.gcd(n, 2)
    flips = {q: [f for p in spans for f in p.flips] for q, spans in stretches.items()}
    for q, spans in stretches.items():
        for p in spans:
            assert len(p.pulses) % unit == 0, (p.qubit, p.start, p.pulses)

    def turns(q):
        return sorted(flips.get(q, []) + middles.get(q, []))

    def room(q):
        """What one pulse of q needs of its part (as the planner reckons it)."""
        longest = max(timing.op(g.name, (q,)) for g in sequence)
        spacing = math.ceil(10e-9 / timing.dt - 1e-9) if timing.unit == "dt" else 10.0
        return max(3 * longest, longest + spacing + grid)

    def spacing():
        return math.ceil(10e-9 / timing.dt - 1e-9) if timing.unit == "dt" else 10.0

    def plain(p):
        """Whether stretch `p` holds the plain sequence: one block centred at (2i + 1) / 2u of
        it, each pulse moved at most by the grid and the spacing. The planner falls back to it
        where no part of the stretch has room; it refocuses the detuning only."""
        u, width = len(p.flips), p.end - p.start
        return u == unit and all(
            abs(f - (p.start + width * (2 * i + 1) / (2 * u))) <= 2 * (grid + spacing()) + 1e-6
            for i, f in enumerate(p.flips))

    def inside(times, lo, hi):
        return [t for t in times if lo < t < hi]

    def flips_of(o, q, colour, lo, hi):
        """Where o's frame only flips its sign inside (lo, hi), as q's planner sees it: at its
        flipping operations and, of a lower colour, its pulses."""
        return inside(flipping.get(o, []), lo, hi) + (
            inside(flips.get(o, []), lo, hi) if colour[o] < colour[q] else [])

    def check_stretch(q, p, colour, followed):
        """The parts of stretch `p` of `q` when the planner followed neighbour `followed`
        across its flips (None: cut at every turn); the number of pairs checked, or None."""
        shared = 0
        mids, lower = set(), set()
        for o in neighbours[q]:
            mids.update(t for t in inside(middles.get(o, ()), p.start, p.end)
                        if o != followed or t not in flipping.get(o, ()))
            if colour[o] < colour[q] and o != followed:
                lower.update(inside(flips.get(o, ()), p.start, p.end))
        # The cuts the planner keeps: the lower colours' pulses at least room apart and from
        # the end, then the middles room away from every cut and both ends.
        r = room(q)
        kept = [p.start]
        for t in sorted(lower):
            if t - kept[-1] >= r and p.end - t >= r:
                kept.append(t)
        kept.append(p.end)
        bounds = list(kept)
        for t in sorted(mids):
            at = max(i for i, b in enumerate(bounds) if b <= t)
            if t - bounds[at] >= r and bounds[at + 1] - t >= r:
                bounds.insert(at + 1, t)
        for lo, hi in zip(bounds, bounds[1:]):
            own = inside(p.flips, lo, hi)
            if not own:
                continue
            bound = 2 * (len(own) + 2) * grid + 1e-6 * (hi - lo)
            if abs(sign_integral(own, [], lo, hi)) > bound:
                return None
            for o in neighbours[q]:
                theirs = inside(flips.get(o, ()), lo, hi)
                if theirs and colour[o] > colour[q]:
                    continue
                # Its frame stays put over the part but for turns left out, each keeping at
                # most 2 room of ZZ, and its flips where it is followed: the part's pulses
                # answer for those, shifted to be orthogonal to them or, where that does not
                # fit, cut at them, but for those within room of another or of an end.
                frame = inside(turns(o), lo, hi)
                left = len(frame)
                if o == followed:
                    flipped = flips_of(o, q, colour, lo, hi)
                    near = [t for t in flipped if min(t - lo, hi - t) < r or any(
                        0 < abs(t - u) < r for u in flipped)]
                    left -= len(flipped) - len(near)
                if abs(sign_integral(own, frame, lo, hi)) > bound + 2 * r * left:
                    return None
                shared += bool(flips.get(o)) and any(
                    s.start <= lo and hi <= s.end for s in stretches.get(o, ()))
        return shared

    def check(colour, members):
        """Every part of `members` under `colour`; the number of pairs checked, or None when
        a part fails. Where coupled qubits' frames only flip sign, the planner follows the
        one that flips most often in the stretch instead of cutting at its flips (or, where
        that does not fit, cuts there too)."""
        shared = 0
        for q in members:
            for p in stretches.get(q, ()):
                bound = 2 * unit * (grid + spacing()) + 1e-6 * (p.end - p.start)
                if plain(p) and abs(sign_integral(p.flips, [], p.start, p.end)) <= bound:
                    continue  # else its parts must answer, as for any stretch
                # A neighbour of a higher colour idle within the stretch is not followed: its
                # pulses come later.
                counts = {o: len(flips_of(o, q, colour, p.start, p.end)) for o in neighbours[q]
                          if colour[o] < colour[q] or not any(
                              w.start < p.end and p.start < w.end for w in stretches.get(o, ()))}
                most = max(counts.values(), default=0)
                candidates = [o for o, c in counts.items() if c == most and most > 0] + [None]
                found = [check_stretch(q, p, colour, o) for o in candidates]
                found = [f for f in found if f is not None]
                if not found:
                    return None
                shared += max(found)
        return shared

    shared = 0
    for members, choices in parts:
        if choices is None:
            continue
        counts = [check(colour, members) for colour in choices]
        assert any(c is not None for c in counts), f"no colouring of {sorted(members)} fits"
        shared += max(c for c in counts if c is not None)
    return stretches, shared


def run_walsh(circuit, *, target=None, durations=None, edges=None, **options):
    # The walsh patterns as planned: the noise model's choice may replace them by the plain
    # sequence or none, which these checks of the patterns do not cover.
    options.setdefault("noise_aware", False)
    result = check_pass(circuit, target=target, durations=durations, placement="walsh",
                        **options)
    timing = Timing(target, durations)
    if edges is None:
        edges = target.build_coupling_map().get_edges() if target is not None else []
    # The default X, X̄, X̄, X is written with x pulses (X̄ between rz frames), in blocks of two.
    sequence = options.get("dd_sequence") or [XGate(), XGate()]
    alignment = options.get("pulse_alignment") or (target.pulse_alignment if target else 1)
    found, shared = check_walsh(result, timing, edges, sequence, alignment,
                                options.get("skip_reset_qubits", True))
    return result, found, shared


# --------------------------------------------------------------------------------------------


def test_coupled_qubits_idle_together_are_refocused_in_turn():
    # Qubits 0 and 1 both wait at a barrier for qubit 2's long run of gates. The spread
    # placement gives them the same pulses at the same times, which leaves their ZZ coupling
    # untouched (∫ s_0·s_1 is the whole wait); walsh cuts one qubit's wait where the other's
    # frame turns (qubit 1 also where qubit 2's gates turn its frame), which leaves little.
    durations = InstructionDurations([("x", None, 40, "ns"), ("sx", None, 40, "ns"),
                                      ("cx", None, 300, "ns")])
    circuit = QuantumCircuit(3)
    circuit.cx(0, 1)
    for _ in range(30):
        circuit.sx(2)
    circuit.barrier()
    circuit.x(0)
    circuit.x(1)
    edges = [(0, 1), (1, 2)]
    options = {"durations": durations, "dd_sequence": [XGate(), XGate()],
               "coupling_map": edges, "skip_reset_qubits": False}
    _, found, shared = run_walsh(circuit, edges=edges, **options)
    assert shared > 0
    (wait0,), (wait1,) = found[0], found[1]
    assert (wait0.start, wait0.end) == (wait1.start, wait1.end)
    assert wait0.flips != wait1.flips
    leftover = sign_integral(wait0.flips, wait1.flips, wait0.start, wait0.end)
    assert abs(leftover) <= 0.1 * (wait0.end - wait0.start)

    spread = check_pass(circuit, placement="spread", crosstalk=False, **options)
    flips = {q: [(s + e) / 2 for r, s, e in spread.pulses if r == q] for q in (0, 1)}
    assert flips[0] == flips[1] and len(flips[0]) == 2
    assert sign_integral(flips[0], flips[1], wait0.start, wait0.end) == pytest.approx(
        wait0.end - wait0.start)


def test_trailing_stretches_and_repetitions():
    # Qubits 0, 1 and 2, coupled in a triangle, finish early and wait together until qubit 3
    # is done: the time to the end of the circuit takes pulses too. In colour order, each
    # qubit is cut where the ones before it turn, so later ones take more pulses; every
    # pair's ZZ is left only over the half pulses at the end. The phase correction counts
    # repetitions.
    backend = generic_backend(4)
    circuit = QuantumCircuit(4)
    for q in range(3):
        circuit.x(q)
    for _ in range(40):
        circuit.sx(3)
    triangle = [(0, 1), (1, 2), (0, 2)]
    result, found, _ = run_walsh(circuit, target=backend.target, coupling_map=triangle,
                                 edges=triangle, dd_sequence=[XGate(), XGate()],
                                 skip_reset_qubits=False, scheduling="asap")
    last = max(p.end for spans in found.values() for p in spans)
    trailing = {q: spans[-1] for q, spans in found.items() if spans[-1].end == last}
    assert set(trailing) == {0, 1, 2}
    assert sorted(len(p.pulses) for p in trailing.values()) == [2, 2, 4]
    x = backend.target["x"][(0,)].duration / backend.target.dt
    for a, b in triangle:
        lo = max(trailing[a].start, trailing[b].start)
        assert abs(sign_integral(trailing[a].flips, trailing[b].flips, lo, last)) <= 2 * x
    inserted = result.property_set["dd_sequences_inserted"]
    assert inserted * 2 == len(result.pulses) and inserted > len(trailing)
    assert result.operator_checked


@pytest.mark.parametrize("skip_reset_qubits", [True, False])
@pytest.mark.parametrize("seed", range(4))
def test_small_random_circuits(seed, skip_reset_qubits):
    backend = generic_backend(5, seed=seed)
    circuit = small_random_circuit(5, 6, seed, extras=bool(seed % 2))
    mapped = transpile(circuit, backend, optimization_level=1, seed_transpiler=seed)
    for sequence in ([XGate(), XGate()], XY4):
        result, _, _ = run_walsh(mapped, target=backend.target, dd_sequence=sequence,
                                 skip_reset_qubits=skip_reset_qubits)
        assert result.operator_checked


def test_time_in_ns_without_dt():
    durations = InstructionDurations([("x", None, 35.5, "ns"), ("sx", None, 35.5, "ns"),
                                      ("rz", None, 0, "ns"), ("cx", None, 270.25, "ns"),
                                      ("measure", None, 1000, "ns")])
    circuit = small_random_circuit(4, 6, 3, measure=True)
    mapped = transpile(circuit, basis_gates=["x", "sx", "rz", "cx"],
                       coupling_map=CouplingMap([(0, 1), (1, 2), (2, 3)]), seed_transpiler=3)
    run_walsh(mapped, durations=durations, edges=[(0, 1), (1, 2), (2, 3)],
              coupling_map=[(0, 1), (1, 2), (2, 3)], dd_sequence=[XGate(), XGate()])


@pytest.mark.parametrize("scheduling", ["asap", "alap"])
@pytest.mark.parametrize("backend_name, bench, size", [
    ("FakeSherbrooke", "qft", 6), ("FakeSherbrooke", "ghz", 8), ("FakeTorino", "qft", 5),
    ("FakeTorino", "ae", 5),
])
def test_fake_backends(backend_name, bench, size, scheduling):
    backend = fake_backend(backend_name)
    circuit = bench_circuit(bench, size, backend_name)
    result, found, shared = run_walsh(circuit, target=backend.target, scheduling=scheduling)
    assert result.property_set["dd_sequences_inserted"] > 0 and shared > 0
    assert result.operator_checked
    # The default placement is this one.
    assert result.property_set["dd_sequences_inserted"] == check_pass(
        circuit, target=backend.target, scheduling=scheduling, noise_aware=False).property_set[
            "dd_sequences_inserted"]

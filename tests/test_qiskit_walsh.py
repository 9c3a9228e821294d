"""The walsh placement, checked from the circuit the pass writes.

`check_pass` (tests/test_qiskit_pass.py) checks everything every output promises: Qiskit's
ASAP schedule of the output is ``node_start_time``, every operation is on its grid,
``InstructionDurationCheck`` is content, the input's operations keep their times and the
output equals the input as an ``Operator``. Here the pulses it found are read as physics.

In the toggling frame every pulse flips its qubit's sign s_q(t) at its middle. A qubit's
detuning acts through ∫ s_q over its idle time, the ZZ coupling of a coupled pair through
∫ s_p·s_q over the time both are idle. The planner cuts idle time into pieces: whenever a
qubit joins or leaves the group of idle qubits connected through the coupling map, the
pieces of every member of the group end. `pieces` rebuilds that cut from the output alone,
and the tests ask of every piece: its pulses lie inside it, come in whole repetitions of the
sequence and leave ∫ s = 0; of every coupled pair idle together: the same piece on both
qubits and ∫ s_p·s_q = 0. Both up to the alignment: each pulse start is rounded to the grid,
which moves its flip by less than one alignment, and so each integral by less than twice
that per pulse.
"""

from __future__ import annotations

from dataclasses import dataclass

import pytest

pytest.importorskip("qiskit")
pytest.importorskip("vornak.qiskit")

from qiskit import QuantumCircuit, transpile  # noqa: E402
from qiskit.circuit import Delay, Reset  # noqa: E402
from qiskit.circuit.library import XGate, YGate  # noqa: E402
from qiskit.transpiler import CouplingMap, InstructionDurations  # noqa: E402
from test_qiskit_pass import (  # noqa: E402
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


def pieces(result, timing, edges, sequence, skip_reset):
    """The pieces of idle time of every qubit that takes pulses, from the output alone."""
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
    stretches = {}
    for bit in out.qubits:
        q = index[bit]
        lengths = [timing.op(g.name, (q,)) for g in sequence]
        if any(d is None for d in lengths):
            continue
        threshold = 1.5 * sum(lengths)
        busy = [(starts[n], starts[n] + timing.node(n, index), isinstance(n.op, Reset))
                for n in out.nodes_on_wire(bit, only_ops=True)
                if not isinstance(n.op, Delay) and (q, round(starts[n], 6)) not in pulse_at]
        if not busy:
            continue
        cursor, ground = 0.0, True
        for begin, end, resets in [*busy, (length, length, False)]:
            if begin - cursor >= threshold and not (ground and skip_reset):
                stretches.setdefault(q, []).append((cursor, begin))
            cursor, ground = end, resets
    neighbours = {}
    for a, b in edges:
        if a in stretches and b in stretches and a != b:
            neighbours.setdefault(a, set()).add(b)
            neighbours.setdefault(b, set()).add(a)

    # The groups of idle qubits between consecutive stretch ends.
    times = sorted({t for spans in stretches.values() for span in spans for t in span})

    def groups_at(t):
        idle = {q for q, spans in stretches.items() if any(a <= t < b for a, b in spans)}
        group = {}
        for root in idle:
            if root in group:
                continue
            members, todo = {root}, [root]
            while todo:
                for other in neighbours.get(todo.pop(), ()):
                    if other in idle and other not in members:
                        members.add(other)
                        todo.append(other)
            for m in members:
                group[m] = frozenset(members)
        return group

    mids = [(a + b) / 2 for a, b in zip(times, times[1:])]
    groups = [groups_at(t) for t in mids]
    cut = []
    for q, spans in stretches.items():
        for a, b in spans:
            start = a
            for i, t in enumerate(times[1:-1], start=1):
                if a < t < b and groups[i - 1].get(q) != groups[i].get(q):
                    cut.append((q, start, t))
                    start = t
            cut.append((q, start, b))
    found = []
    for q, a, b in cut:
        inside = sorted((s, e) for s, e in pulses_of.get(q, ()) if a - 1e-6 <= s < b - 1e-6)
        found.append(Piece(q, a, b, [(s + e) / 2 for s, e in inside], inside))
    placed = sum(len(p.pulses) for p in found)
    assert placed == len(result.pulses), "pulses outside every stretch"
    return found


def check_walsh(result, timing, edges, sequence, alignment, skip_reset=True):
    """The physics of every piece and every coupled pair; returns the pieces."""
    n = len(sequence)
    found = pieces(result, timing, edges, sequence, skip_reset)
    grid = alignment if timing.unit == "dt" else 0.0
    by_qubit = {}
    for p in found:
        by_qubit.setdefault(p.qubit, []).append(p)
        assert len(p.pulses) % n == 0 and len(p.pulses) % 2 == 0, (p.qubit, p.start, p.pulses)
        for s, e in p.pulses:
            # (times in ns carry float noise from the delays Qiskit adds up)
            assert p.start - 1e-6 <= s and e <= p.end + 1e-6, f"pulse {(s, e)} leaves {p}"
        if p.pulses:
            bound = 2 * len(p.pulses) * grid + 1e-6 * (p.end - p.start)
            assert abs(sign_integral(p.flips, [], p.start, p.end)) <= bound, p
    # Over a whole stretch: only the pieces that stayed empty (too short for their pattern)
    # keep their sign.
    for q, own in by_qubit.items():
        empty = sum(p.end - p.start for p in own if not p.pulses)
        flips = [f for p in own for f in p.flips]
        total = sum(p.end - p.start for p in own)
        integral = sum(sign_integral(p.flips, [], p.start, p.end) for p in own)
        assert abs(integral - empty) <= 2 * len(flips) * grid + 1e-6 * total
    # Coupled pairs idle together share their pieces, and their patterns are orthogonal.
    shared = 0
    for a, b in edges:
        for p in by_qubit.get(a, ()):
            for r in by_qubit.get(b, ()):
                lo, hi = max(p.start, r.start), min(p.end, r.end)
                if hi <= lo:
                    continue
                assert (p.start, p.end) == (r.start, r.end), f"q{a} {p} and q{b} {r}"
                if p.pulses and r.pulses:
                    shared += 1
                    bound = 2 * (len(p.pulses) + len(r.pulses)) * grid + 1e-6 * (hi - lo)
                    assert abs(sign_integral(p.flips, r.flips, lo, hi)) <= bound, (a, b, p, r)
    return found, shared


def run_walsh(circuit, *, target=None, durations=None, edges=None, **options):
    result = check_pass(circuit, target=target, durations=durations, placement="walsh",
                        **options)
    timing = Timing(target, durations)
    if edges is None:
        edges = target.build_coupling_map().get_edges() if target is not None else []
    sequence = options.get("dd_sequence") or (
        [XGate(), YGate(), XGate(), YGate()] if target is not None and "y" in target.operation_names
        else [XGate(), XGate()])
    alignment = options.get("pulse_alignment") or (target.pulse_alignment if target else 1)
    found, shared = check_walsh(result, timing, edges, sequence, alignment,
                                options.get("skip_reset_qubits", True))
    return result, found, shared


# --------------------------------------------------------------------------------------------


def test_coupled_qubits_idle_together_take_orthogonal_patterns():
    # Qubits 0 and 1 both wait at a barrier for qubit 2's long run of gates. The spread
    # placement gives them the same pulses at the same times, which leaves their ZZ coupling
    # untouched (∫ s_0·s_1 is the whole wait); walsh gives them orthogonal patterns.
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
    assert shared == 1
    together = [p for p in found if p.qubit in (0, 1) and p.pulses]
    assert len(together) == 2 and together[0].flips != together[1].flips
    piece = together[0]

    spread = check_pass(circuit, placement="spread", crosstalk=False, **options)
    flips = {q: [(s + e) / 2 for r, s, e in spread.pulses if r == q] for q in (0, 1)}
    assert flips[0] == flips[1] and len(flips[0]) == 2
    assert sign_integral(flips[0], flips[1], piece.start, piece.end) == pytest.approx(
        piece.end - piece.start)


def test_trailing_stretches_and_repetitions():
    # Qubits 0, 1 and 2, coupled in a triangle, finish early and wait together until qubit 3
    # is done: the time to the end of the circuit takes pulses too. A triangle needs three
    # patterns, and with X-X the third repeats the sequence; the phase correction counts
    # repetitions.
    backend = generic_backend(4)
    circuit = QuantumCircuit(4)
    for q in range(3):
        circuit.x(q)
    for _ in range(40):
        circuit.sx(3)
    triangle = [(0, 1), (1, 2), (0, 2)]
    result, found, shared = run_walsh(circuit, target=backend.target, coupling_map=triangle,
                                      edges=triangle, dd_sequence=[XGate(), XGate()],
                                      skip_reset_qubits=False)
    last = max(p.end for p in found)
    trailing = [p for p in found if p.end == last and p.pulses]
    assert {p.qubit for p in trailing} == {0, 1, 2} and shared == 3
    assert sorted(len(p.pulses) for p in trailing) == [2, 2, 4]
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
        circuit, target=backend.target, scheduling=scheduling).property_set[
            "dd_sequences_inserted"]

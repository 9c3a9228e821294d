"""vornak.qiskit: the DynamicalDecoupling transpiler pass and the ``vornak_dd`` plugin.

Every run of the pass is checked against what the package promises, by `check_pass`:

- the pulses are where an independent Python model of the planner rules (`reference_plan`:
  ASAP schedule, 1.5x window rule, 10 ns spacing, "start"/"spread" placement, pulse
  alignment, crosstalk shifts, whole sequences only) puts them, and the counts in the
  property set agree with it;
- Qiskit's own ASAPScheduleAnalysis of the output puts every node where the pass's
  ``node_start_time`` says, every qubit is padded with delays from 0 to the end, every pulse
  start is aligned, and (with crosstalk on) no two pulses on coupled qubits overlap;
- every wire of the output, without the pulses and delays, holds the input's operations in
  the same order at the same times; the global phase is corrected per inserted sequence, and
  on small circuits ``Operator(output) == Operator(input)`` (global phase included);
- registers, bits, name and metadata survive, and the input DAG is left unchanged.

Real test material (``qiskit-ibm-runtime``'s FakeSherbrooke and FakeTorino, ``mqt.bench``
circuits) is used where installed; the tests that need it are skipped otherwise.
``VORNAK_QISKIT_SWEEP=1`` adds a sweep over more mqt.bench circuits at 20-127 qubits.
"""

from __future__ import annotations

import copy
import importlib.metadata
import math
import os
import random
from collections import Counter
from dataclasses import dataclass, field

import pytest

pytest.importorskip("qiskit")
vq = pytest.importorskip("vornak.qiskit")
padding = pytest.importorskip("vornak.qiskit.padding")
from vornak.qiskit import options as pass_options  # noqa: E402

import numpy as np  # noqa: E402
from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister, transpile  # noqa: E402
from qiskit.circuit import Delay, Gate, Measure, Parameter, Reset  # noqa: E402
from qiskit.circuit.library import (  # noqa: E402
    CXGate,
    HGate,
    RZGate,
    SXGate,
    XGate,
    YGate,
    ZGate,
)
from qiskit.circuit.random import random_circuit  # noqa: E402
from qiskit.converters import circuit_to_dag, dag_to_circuit  # noqa: E402
from qiskit.dagcircuit import DAGCircuit  # noqa: E402
from qiskit.providers.fake_provider import GenericBackendV2  # noqa: E402
from qiskit.quantum_info import Operator  # noqa: E402
from qiskit.transpiler import (  # noqa: E402
    CouplingMap,
    InstructionDurations,
    InstructionProperties,
    PassManager,
    Target,
)
from qiskit.transpiler.exceptions import TranspilerError  # noqa: E402
from qiskit.transpiler.passes import (  # noqa: E402
    ALAPScheduleAnalysis,
    ASAPScheduleAnalysis,
    ConstrainedReschedule,
    InstructionDurationCheck,
    TimeUnitConversion,
)

import vornak.qiskit as vornak_qiskit  # noqa: E402
from vornak.qiskit import DynamicalDecoupling  # noqa: E402

SWEEP = os.environ.get("VORNAK_QISKIT_SWEEP", "") not in ("", "0")
UNIT_SECONDS = {"s": 1.0, "ms": 1e-3, "us": 1e-6, "ns": 1e-9, "ps": 1e-12}
XY4 = [XGate(), YGate(), XGate(), YGate()]  # product -I: a global phase of pi per sequence

pytestmark = [
    pytest.mark.filterwarnings("ignore:Duration is rounded"),
    pytest.mark.filterwarnings("ignore::DeprecationWarning"),
]


# --------------------------------------------------------------------------------------------
# Durations, computed here from the target or table (not taken from the pass)


class Timing:
    """Durations in the pass's unit: dt when there is a dt, else ns."""

    def __init__(self, target=None, durations=None):
        self.target = target
        self.durations = durations
        self.dt = target.dt if target is not None else durations.dt
        self.unit = "dt" if self.dt else "ns"

    def seconds(self, seconds: float) -> float:
        if self.dt:
            return float(round(seconds / self.dt))
        return seconds * 1e9

    def op(self, name: str, qubits: tuple[int, ...]) -> float | None:
        if name == "barrier":
            return 0.0
        if self.target is not None:
            if name not in self.target.operation_names:
                return None
            entries = self.target[name]
            props = entries.get(tuple(qubits)) if tuple(qubits) in entries else entries.get(None)
            if props is None or props.duration is None:
                return None
            return self.seconds(props.duration)
        try:
            if self.dt:
                return float(self.durations.get(name, list(qubits), unit="dt"))
            return self.durations.get(name, list(qubits), unit="s") * 1e9
        except TranspilerError:
            return None

    def delay(self, op: Delay) -> float:
        if op.unit == "dt":
            return float(op.duration)
        return self.seconds(op.duration * UNIT_SECONDS[op.unit])

    def node(self, node, qubit_index) -> float:
        if isinstance(node.op, Delay):
            return self.delay(node.op)
        found = self.op(node.name, tuple(qubit_index[q] for q in node.qargs))
        assert found is not None, f"no duration for {node.name}"
        return found


def sequence_phase(sequence) -> float:
    product = np.eye(2, dtype=complex)
    for gate in sequence:
        product = np.asarray(gate.to_matrix(), dtype=complex) @ product
    phase = product[0, 0]
    assert np.allclose(product, phase * np.eye(2))
    return float(np.angle(phase))


# --------------------------------------------------------------------------------------------
# The reference model of the planner


@dataclass
class Plan:
    op_times: dict = field(default_factory=dict)  # input op node -> start
    length: float = 0.0
    pulses: list = field(default_factory=list)  # (qubit, k, start, length)
    sequences: int = 0
    dropped: int = 0


def reference_schedule(dag, timing, *, scheduling="asap", pulse_alignment=0,
                       acquire_alignment=0):
    """Start and end of every node: ASAP or ALAP over qubits and clbits, then in topological
    order each node moved later to the first multiple of its alignment (measurements and
    resets: acquire; delays: none; the rest: pulse) at or after its start and the new ends
    of the nodes before it on its wires."""
    qubit_index = {q: i for i, q in enumerate(dag.qubits)}
    nq = len(dag.qubits)
    wire_index = dict(qubit_index)
    wire_index.update({c: nq + i for i, c in enumerate(dag.clbits)})
    nodes = list(dag.topological_op_nodes())
    wires = {node: [wire_index[b] for b in (*node.qargs, *node.cargs)] for node in nodes}
    length_of = {node: timing.node(node, qubit_index) for node in nodes}
    raw = {}
    if scheduling == "alap":
        busy = [0.0] * (nq + len(dag.clbits))  # counted back from the end
        for node in reversed(nodes):
            after = max((busy[w] for w in wires[node]), default=0.0)
            raw[node] = after + length_of[node]
            for w in wires[node]:
                busy[w] = raw[node]
        total = max(raw.values(), default=0.0)
        raw = {node: total - back for node, back in raw.items()}
    times = {}
    free = [0.0] * (nq + len(dag.clbits))
    for node in nodes:
        start = max([raw.get(node, 0.0)] + [free[w] for w in wires[node]])
        if isinstance(node.op, Delay):
            grid = 0
        elif isinstance(node.op, (Measure, Reset)):
            grid = acquire_alignment
        else:
            grid = pulse_alignment
        if timing.dt and grid and grid > 1:
            start = math.ceil(start / grid) * grid
        times[node] = (start, start + length_of[node])
        for w in wires[node]:
            free[w] = start + length_of[node]
    return times


def reference_plan(dag, timing, pulse_lengths, *, spread, alignment, spacing, neighbours,
                   skip_reset, schedule=None):
    """Where the pulses go, from the rules the package documents.

    The nodes at the times of `schedule` (default: ASAP over qubits and clbits); an input
    delay keeps its qubit busy but is idle time. A qubit visit of a node starting at S on a
    qubit whose last operation ended at L gets the whole sequence when
    S - L >= 1.5 x (sum of its pulse lengths); the pulses must end by S, and the gap's pulses
    count from the qubit's last pulse end plus the spacing where that is later than L.
    """
    qubit_index = {q: i for i, q in enumerate(dag.qubits)}
    nq = len(dag.qubits)
    if schedule is None:
        schedule = reference_schedule(dag, timing)
    last_end = [0.0] * nq
    ground = [skip_reset] * nq
    tracks: list[list[tuple[float, float]]] = [[] for _ in range(nq)]
    plan = Plan()

    def up(t):
        return math.ceil(t / alignment) * alignment if alignment else t

    def down(t):
        return math.floor(t / alignment) * alignment if alignment else t

    def avoid(q, t, d):
        shifted = True
        while shifted:
            shifted = False
            for j in neighbours.get(q, ()):
                for start, end in tracks[j]:
                    if t + d > start and end > t:
                        t = up(end + spacing)
                        shifted = True
                        break
                if shifted:
                    break
        return t

    def place(q, gap_start, limit):
        lengths = pulse_lengths[q]
        n = len(lengths)
        if tracks[q]:  # the first pulse also keeps the spacing after the qubit's last one
            gap_start = max(gap_start, tracks[q][-1][1] + spacing)
        if spread:
            slack = (limit - gap_start) - sum(lengths)
            inner = 1.0 / n
            taus = [down(slack * (inner / 2 if k in (0, n) else inner)) for k in range(n + 1)]
            taus[n // 2] += down(slack - sum(taus))
            positions, p = [], gap_start
            for k in range(n):
                p += taus[k]
                positions.append(p)
                p += lengths[k]
        t = up(gap_start)
        starts = []
        for k in range(n):
            if spread:
                t = up(positions[0]) if k == 0 else up(max(positions[k], t))
            if neighbours:
                t = avoid(q, t, lengths[k])
            if t + lengths[k] > limit:
                break
            tracks[q].append((t, t + lengths[k]))
            starts.append(t)
            t = up(t + (lengths[k] + spacing))
        if len(starts) < n:
            del tracks[q][len(tracks[q]) - len(starts):]
            plan.dropped += 1
            return
        plan.sequences += 1
        plan.pulses.extend((q, k, s, lengths[k]) for k, s in enumerate(starts))

    for node in dag.topological_op_nodes():
        start, end = schedule[node]
        plan.length = max(plan.length, end)
        if isinstance(node.op, Delay):
            continue
        plan.op_times[node] = start
        for bit in node.qargs:
            q = qubit_index[bit]
            lengths = pulse_lengths[q]
            if lengths is not None and not ground[q] and start - last_end[q] >= sum(lengths) * 1.5:
                place(q, last_end[q], start)
            last_end[q] = start
        for bit in node.qargs:
            q = qubit_index[bit]
            last_end[q] = end
            ground[q] = skip_reset and isinstance(node.op, Reset)
    return plan


# --------------------------------------------------------------------------------------------
# The checks


def op_key(op, qubits, clbits=()):
    params = []
    for p in op.params:
        try:
            params.append(float(p))
        except TypeError:
            params.append(str(p))
    return (op.name, tuple(qubits), tuple(clbits), tuple(params), op.label)


def folded(key_in, key_out, frames):
    """Whether output rz `key_out` is input rz `key_in` with the frame change that closes a
    run (one of the phases `frames`, or any where runs may be turned: None) folded into it:
    the same qubit, the angle plus the phase."""
    if key_in[0] != "rz" or key_out[0] != "rz" or key_in[1:3] != key_out[1:3]:
        return False
    if key_in[4] is not None or key_out[4] is not None:
        return False
    (angle_in,), (angle_out,) = key_in[3], key_out[3]
    if not isinstance(angle_in, float) or not isinstance(angle_out, float):
        return False  # a parameterised rz takes in no frame change
    return frames is None or any(abs(angle_out - angle_in - phase) < 1e-9 for phase in frames)


def qiskit_start_times(out, target, durations):
    """Qiskit's ASAPScheduleAnalysis of (a copy of) `out`, keyed by the nodes of `out`."""
    work = copy.deepcopy(out)
    conversion = TimeUnitConversion(inst_durations=durations, target=target)
    work = conversion.run(work)
    asap = ASAPScheduleAnalysis(durations=durations, target=target)
    asap.property_set["time_unit"] = conversion.property_set["time_unit"]
    asap.run(work)
    found = asap.property_set["node_start_time"]
    scale = 1.0 if conversion.property_set["time_unit"] == "dt" else 1e9
    times = {}
    for ours, theirs in zip(out.topological_op_nodes(), work.topological_op_nodes(), strict=True):
        assert ours.name == theirs.name and ours.qargs == theirs.qargs
        times[ours] = found[theirs] * scale
    return times


def same_time(a, b, unit):
    return a == b if unit == "dt" else math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-6)


def compact_operator_circuit(dag, max_qubits=8):
    """The unitary part of `dag` on its active qubits, or None where it has none.

    Delays and barriers are dropped, final measurements too; a reset, a measurement that
    is not final or an unbound parameter means no unitary.
    """
    index = {q: i for i, q in enumerate(dag.qubits)}
    active = sorted({index[q] for n in dag.op_nodes() if not isinstance(n.op, Delay)
                     and n.name != "barrier" for q in n.qargs})
    if len(active) > max_qubits:
        return None
    mapping = {q: i for i, q in enumerate(active)}
    circuit = QuantumCircuit(max(1, len(active)), global_phase=dag.global_phase)
    measured = set()
    for node in dag.topological_op_nodes():
        if isinstance(node.op, Delay) or node.name == "barrier":
            continue
        qs = [index[q] for q in node.qargs]
        if isinstance(node.op, Reset) or measured.intersection(qs):
            return None
        if isinstance(node.op, Measure):
            measured.update(qs)
            continue
        if node.cargs or node.op.is_parameterized():
            return None
        circuit.append(node.op, [mapping[q] for q in qs])
    return circuit


@dataclass
class Result:
    out: DAGCircuit
    property_set: object
    plan: Plan
    pulses: list  # (qubit, start, end) of every pulse in the output
    operator_checked: bool
    alignment: float = 0.0  # the pulse alignment, in dt (0 where times are in ns)


def check_pass(circuit, *, target=None, durations=None, operator=True, expect_fallback=None,
               one_call=None, **options):
    """Runs the pass on `circuit` and checks everything promised about its output.

    `one_call(circuit, target, durations, options)`, where given, pads the circuit in place of
    the pass's ``run`` and returns the padded DAG and a property set to check.
    """
    dag = circuit if isinstance(circuit, DAGCircuit) else circuit_to_dag(circuit)
    before = copy.deepcopy(dag)
    dd = DynamicalDecoupling(durations=durations, target=target, **options)
    writes = []
    python_writer = padding.write_in_python

    def spy(*args, **kwargs):
        writes.append(1)
        return python_writer(*args, **kwargs)

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(padding, "write_in_python", spy)
        if one_call is None:
            out = dd.run(dag)
            ps = dd.property_set
        else:
            given = circuit if isinstance(circuit, QuantumCircuit) else dag_to_circuit(dag)
            out, ps = one_call(given, target, durations, options)
    if expect_fallback is not None:
        assert bool(writes) == expect_fallback
    assert dag == before, "the pass changed its input"

    timing = Timing(target, durations)
    qubit_index = {q: i for i, q in enumerate(dag.qubits)}
    clbit_index = {c: i for i, c in enumerate(dag.clbits)}
    # Each pulse as written: the gate, or x between the rz frame changes of its phase. The
    # planner places blocks of `block` pulses; a run's k-th pulse is pulse k of the cycle.
    written, block = dd.padding.options.written, dd.padding.plan(dag.num_qubits()).block
    cycle = [pulse[len(pulse) // 2] for pulse in written]
    # Frame changes merge between pulses, so any rz may be one; Operator equality below
    # checks them all.
    framed = any(len(pulse) > 1 for pulse in written)
    frames = {float(pulse[-1].params[0]) for pulse in written if len(pulse) > 1}
    if dd.padding.options.frames_allowed:
        frames = None  # runs may be turned by any angle
    allowed = options.get("qubits")
    pulse_lengths = []
    for q in range(dag.num_qubits()):
        lengths = None
        if allowed is None or q in set(allowed):
            if target is None or all(target.instruction_supported(g.name, qargs=(q,))
                                     for pulse in written for g in pulse):
                lengths = [sum(timing.op(g.name, (q,)) for g in pulse) for pulse in written]
                lengths = lengths[:block]
        pulse_lengths.append(lengths)
    walsh = dd.placement == "walsh"
    # The crosstalk rule does not apply to Walsh patterns, which keep their own times.
    crosstalk = options.get("crosstalk", True) and not walsh
    neighbours: dict[int, list[int]] = {}
    if crosstalk:
        coupling = options.get("coupling_map")
        if coupling is None and target is not None:
            coupling = target.build_coupling_map()
        edges = coupling.get_edges() if isinstance(coupling, CouplingMap) else (coupling or ())
        pairs = {(a, b) for a, b in edges} | {(b, a) for a, b in edges}
        for a, b in sorted(pairs):
            if a < dag.num_qubits() and b < dag.num_qubits():
                neighbours.setdefault(a, []).append(b)
    if timing.dt:
        alignment = options.get("pulse_alignment") or (target.pulse_alignment if target else 1)
        acquire = options.get("acquire_alignment") or (target.acquire_alignment if target else 1)
        spacing = float(math.ceil(10e-9 / timing.dt - 1e-9))
    else:
        alignment, acquire, spacing = 0, 0, 10.0
    schedule = reference_schedule(dag, timing, scheduling=dd.scheduling,
                                  pulse_alignment=alignment, acquire_alignment=acquire)
    plan = reference_plan(
        dag, timing, pulse_lengths, spread=dd.placement == "spread",
        alignment=alignment, spacing=spacing, neighbours=neighbours,
        skip_reset=options.get("skip_reset_qubits", True), schedule=schedule)

    # The counts and the unit. The reference model places no Walsh patterns: their pulses
    # are told from the input's operations on each wire, and their physics is checked in
    # test_qiskit_walsh.py.
    assert ps["time_unit"] == timing.unit
    if walsh:
        plan.sequences, plan.pulses = ps["dd_sequences_inserted"], []
    else:
        assert ps["dd_sequences_inserted"] == plan.sequences
        assert ps["dd_sequences_dropped"] == plan.dropped

    # Everything but the operations survives.
    assert out.name == dag.name and out.metadata == dag.metadata
    assert out.qregs == dag.qregs and out.cregs == dag.cregs
    assert out.qubits == dag.qubits and out.clbits == dag.clbits
    assert out.num_qubits() == dag.num_qubits() and out.num_clbits() == dag.num_clbits()

    # Qiskit's schedule of the output is the pass's node_start_time.
    starts = ps["node_start_time"]
    asap = qiskit_start_times(out, target, durations)
    assert set(starts) == set(out.op_nodes())
    for node, t in asap.items():
        assert same_time(starts[node], t, timing.unit), (node.name, starts[node], t)

    # Every qubit is padded from 0 to the end.
    length = plan.length
    for q in out.qubits:
        cursor = 0.0
        for node in out.nodes_on_wire(q, only_ops=True):
            assert same_time(asap[node], cursor, timing.unit), f"gap before {node.name} on {q}"
            if isinstance(node.op, Delay):
                assert node.op.unit == timing.unit
                if timing.unit == "dt":
                    assert float(node.op.duration).is_integer() and node.op.duration > 0
            cursor += timing.node(node, {b: i for i, b in enumerate(out.qubits)})
        assert same_time(cursor, length, timing.unit), f"qubit {q} ends at {cursor}, not {length}"

    # Every operation starts on its grid; then Qiskit's alignment check, which looks at the
    # delays, asks for no reschedule wherever the other durations are multiples of the grid.
    if timing.unit == "dt":
        out_index = {b: i for i, b in enumerate(out.qubits)}
        grid_lengths = []
        for node in out.op_nodes():
            if isinstance(node.op, Delay):
                continue
            grid = acquire if isinstance(node.op, (Measure, Reset)) else alignment
            assert asap[node] % grid == 0, (node.name, asap[node], grid)
            grid_lengths.append(timing.node(node, out_index))
        if all(d % math.lcm(int(alignment), int(acquire)) == 0 for d in grid_lengths):
            check = InstructionDurationCheck(acquire_alignment=acquire, pulse_alignment=alignment)
            check.run(out)
            assert not check.property_set["reschedule_required"]

    # Each wire: the input's operations at their times, in order, plus the planned pulses.
    def tkey(t):  # times in ns are compared to a picosecond's thousandth
        return t if timing.unit == "dt" else round(t, 6)

    pulse_keys = {(op_key(g, (0,))[0], op_key(g, (0,))[3]) for g in cycle}
    expected_pulses = Counter()
    for q, k, start, _ in plan.pulses:
        expected_pulses[(op_key(cycle[k], (q,)), tkey(start))] += 1
    found_pulses = []
    for wire in (*dag.qubits, *dag.clbits):
        ins = [(op_key(n.op, [qubit_index[b] for b in n.qargs], [clbit_index[b] for b in n.cargs]),
                plan.op_times[n])
               for n in dag.nodes_on_wire(wire, only_ops=True) if not isinstance(n.op, Delay)]
        outs = []
        for n in out.nodes_on_wire(wire, only_ops=True):
            if isinstance(n.op, Delay):
                continue
            key = op_key(n.op, [qubit_index[b] for b in n.qargs], [clbit_index[b] for b in n.cargs])
            is_next_input = (len(outs) < len(ins) and same_time(asap[n], ins[len(outs)][1], timing.unit)
                             and (ins[len(outs)][0] == key
                                  or framed and folded(ins[len(outs)][0], key, frames)))
            if is_next_input:
                key = ins[len(outs)][0]  # the input's rz, with a run's closing frame folded in
            if wire in qubit_index and not is_next_input and framed and key[0] == "rz":
                continue  # the phase frame of a pulse; exactness is checked below
            if walsh and wire in qubit_index and not is_next_input:
                assert (key[0], key[3]) in pulse_keys, f"{key} on {wire} is neither input nor pulse"
                found_pulses.append((qubit_index[wire], asap[n], asap[n] + timing.node(n, qubit_index)))
                continue
            if wire in qubit_index and expected_pulses[(key, tkey(asap[n]))] > 0:
                expected_pulses[(key, tkey(asap[n]))] -= 1
                found_pulses.append((qubit_index[wire], asap[n], asap[n] + timing.node(n, qubit_index)))
                continue
            outs.append((key, asap[n]))
        assert len(outs) == len(ins), f"wire {wire}: {len(outs)} operations, expected {len(ins)}"
        for (k_out, t_out), (k_in, t_in) in zip(outs, ins):
            assert k_out == k_in and same_time(t_out, t_in, timing.unit), (wire, k_out, t_out, k_in, t_in)
    assert +expected_pulses == Counter(), f"pulses not found: {+expected_pulses}"

    # Pulse starts are aligned; pulses on coupled qubits do not overlap.
    if timing.unit == "dt":
        for _, start, _ in found_pulses:
            assert start % alignment == 0
    if crosstalk:
        by_qubit: dict[int, list] = {}
        for q, start, end in found_pulses:
            by_qubit.setdefault(q, []).append((start, end))
        for a, partners in neighbours.items():
            for b in partners:
                for s1, e1 in by_qubit.get(a, ()):
                    for s2, e2 in by_qubit.get(b, ()):
                        assert e1 <= s2 or e2 <= s1, f"pulses overlap on {a} {b}: {(s1, e1)} {(s2, e2)}"

    if walsh:
        assert len(found_pulses) == plan.sequences * block

    # Exactness: the phase of every inserted block is taken out again.
    expected_phase = dag.global_phase - plan.sequences * sequence_phase(
        [g for pulse in written[:block] for g in pulse])
    assert np.isclose(np.exp(1j * float(out.global_phase)), np.exp(1j * float(expected_phase)))
    operator_checked = False
    if operator:
        before_c, after_c = compact_operator_circuit(dag), compact_operator_circuit(out)
        if before_c is not None and after_c is not None:
            assert before_c.num_qubits == after_c.num_qubits
            assert Operator(after_c) == Operator(before_c)
            operator_checked = True
    return Result(out, ps, plan, found_pulses, operator_checked, alignment)


def pulse_overlaps(pulses, edges):
    by_qubit: dict[int, list] = {}
    for q, start, end in pulses:
        by_qubit.setdefault(q, []).append((start, end))
    count = 0
    for a, b in edges:
        for s1, e1 in by_qubit.get(a, ()):
            for s2, e2 in by_qubit.get(b, ()):
                count += not (e1 <= s2 or e2 <= s1)
    return count


# --------------------------------------------------------------------------------------------
# Test material


def generic_backend(num_qubits, seed=7, extra=("y", "z")):
    basis = ["cx", "id", "rz", "sx", "x", *extra, "measure", "reset", "delay"]
    return GenericBackendV2(num_qubits, basis_gates=basis, seed=seed)


_FAKE = {}


def fake_backend(name):
    if name not in _FAKE:
        provider = pytest.importorskip("qiskit_ibm_runtime.fake_provider")
        _FAKE[name] = getattr(provider, name)()
    return _FAKE[name]


_BENCH = {}


def bench_circuit(name, size, backend_name, seed=11):
    """An mqt.bench circuit transpiled for a fake backend (cached)."""
    key = (name, size, backend_name, seed)
    if key not in _BENCH:
        bench = pytest.importorskip("mqt.bench")
        backend = fake_backend(backend_name)
        # Some benchmarks (graphstate) draw a random graph from the global generator.
        random.seed(seed)
        circuit = bench.get_benchmark(name, bench.BenchmarkLevel.ALG, size)
        _BENCH[key] = transpile(circuit, backend, optimization_level=1, seed_transpiler=seed)
    return _BENCH[key]


def small_random_circuit(num_qubits, depth, seed, *, measure=False, extras=False):
    circuit = random_circuit(num_qubits, depth, max_operands=2, measure=measure, seed=seed)
    if extras:
        rng = np.random.default_rng(seed)
        circuit.barrier()
        for q in range(num_qubits):
            if rng.random() < 0.5:
                unit = rng.choice(["dt", "ns", "us"])
                value = {"dt": 700, "ns": 180.0, "us": 0.25}[unit]
                circuit.delay(value, q, unit=unit)
        circuit.cx(0, num_qubits - 1)
        circuit.global_phase += 0.7
    return circuit


# --------------------------------------------------------------------------------------------
# Construction


def test_constructor_is_like_pad_dynamical_decoupling():
    backend = generic_backend(3)
    durations = backend.target.durations()
    dd = DynamicalDecoupling(durations, [XGate(), XGate()], [0, 1], backend.target, False,
                             coupling_map=[(0, 1)], crosstalk=False, placement="start",
                             pulse_alignment=4)
    assert dd.qubits == {0, 1} and not dd.skip_reset_qubits and dd.placement == "start"
    assert dd.pulse_alignment == 4 and dd.acquire_alignment == 1
    assert dd.scheduling == pass_options.DEFAULT_SCHEDULING and dd.scheduling in ("asap", "alap")
    sherbrooke = fake_backend("FakeSherbrooke").target
    dd = DynamicalDecoupling(target=sherbrooke, scheduling="alap", acquire_alignment=32)
    assert (dd.pulse_alignment, dd.acquire_alignment, dd.scheduling) == (16, 32, "alap")


def test_default_sequence_follows_the_target():
    # X, X̄, X̄, X on every target; written with the target's x between rz frame changes,
    # with or without y.
    for target in (generic_backend(2).target, generic_backend(2, extra=()).target):
        dd = DynamicalDecoupling(target=target)
        assert [g.name for g in dd.dd_sequence] == ["x", "r", "r", "x"]
        assert [[g.name for g in pulse] for pulse in dd.padding.options.written] == [
            ["x"], ["rz", "x", "rz"], ["rz", "x", "rz"], ["x"]]


@pytest.mark.parametrize("sequence, word", [
    ([XGate(), YGate()], "['x', 'y']"),
    ([SXGate(), SXGate()], "['sx', 'sx']"),
    ([XGate()], "['x']"),
])
def test_sequence_that_is_not_the_identity_is_refused(sequence, word):
    with pytest.raises(TranspilerError, match="not the identity") as info:
        DynamicalDecoupling(target=generic_backend(2).target, dd_sequence=sequence)
    assert word in str(info.value)


def test_pulse_gate_the_target_lacks_is_refused_at_construction():
    with pytest.raises(TranspilerError, match="h"):
        DynamicalDecoupling(target=generic_backend(2).target, dd_sequence=[HGate(), HGate()])


@pytest.mark.parametrize("kwargs", [
    {"placement": "end"}, {"dd_sequence": []}, {"dd_sequence": [RZGate(Parameter("a"))] * 2},
    {"scheduling": "late"}, {"pulse_alignment": 0}, {"acquire_alignment": -16},
])
def test_bad_options_are_refused(kwargs):
    with pytest.raises(TranspilerError):
        DynamicalDecoupling(target=generic_backend(2).target, **kwargs)


def test_needs_target_or_durations():
    with pytest.raises(TranspilerError):
        DynamicalDecoupling()


def test_entry_point_is_registered():
    points = importlib.metadata.entry_points(group="qiskit.transpiler.scheduling")
    assert any(p.name == "vornak_dd" for p in points)


# --------------------------------------------------------------------------------------------
# Worked circuits on a generic backend


def staircase(n=4):
    circuit = QuantumCircuit(n)
    circuit.x(0)
    for q in range(n - 1):
        circuit.cx(q, q + 1)
    return circuit


@pytest.mark.parametrize("placement", ["spread", "start"])
@pytest.mark.parametrize("crosstalk", [True, False])
@pytest.mark.parametrize("skip_reset_qubits", [True, False])
def test_staircase(placement, crosstalk, skip_reset_qubits):
    backend = generic_backend(5)
    result = check_pass(staircase(5), target=backend.target, placement=placement,
                        crosstalk=crosstalk, skip_reset_qubits=skip_reset_qubits,
                        expect_fallback=False)
    assert result.operator_checked
    assert (result.property_set["dd_sequences_inserted"] > 0) == (not skip_reset_qubits)


def test_crosstalk_keeps_coupled_pulses_apart_and_the_check_means_something():
    backend = generic_backend(5)
    circuit = staircase(5)
    edges = backend.target.build_coupling_map().get_edges()
    off = check_pass(circuit, target=backend.target, crosstalk=False, skip_reset_qubits=False,
                     placement="spread")
    assert pulse_overlaps(off.pulses, edges) > 0, "the circuit does not exercise the check"
    on = check_pass(circuit, target=backend.target, crosstalk=True, skip_reset_qubits=False,
                    placement="spread")
    assert pulse_overlaps(on.pulses, edges) == 0


def test_spread_splits_the_free_time():
    # One gap, no crosstalk, alignment 1: the free time is cut 1/2n, 1/n, ..., 1/2n.
    backend = generic_backend(2)
    circuit = QuantumCircuit(2)
    circuit.x(1)
    for _ in range(10):
        circuit.sx(1)
    circuit.cx(0, 1)
    result = check_pass(circuit, target=backend.target, skip_reset_qubits=False, crosstalk=False,
                        placement="spread", dd_sequence=XY4)
    assert result.property_set["dd_sequences_inserted"] == 1
    timing = Timing(backend.target)
    pulses = sorted(result.pulses)
    gap_end = result.plan.op_times[next(n for n in result.plan.op_times if n.name == "cx")]
    lengths = [e - s for _, s, e in pulses]
    slack = gap_end - sum(lengths)
    frees = [pulses[0][1]] + [pulses[k][1] - pulses[k - 1][2] for k in range(1, 4)] + \
        [gap_end - pulses[-1][2]]
    assert frees[0] == frees[4] == math.floor(slack / 8)
    assert frees[1] == frees[3] == math.floor(slack / 4)
    assert sum(frees) == slack
    assert timing.unit == "dt"


def test_start_placement_packs_pulses_at_the_gap_start():
    backend = generic_backend(2)
    circuit = QuantumCircuit(2)
    circuit.x(0)
    for _ in range(10):
        circuit.sx(1)
    circuit.cx(0, 1)
    result = check_pass(circuit, scheduling="asap", target=backend.target, placement="start", crosstalk=False)
    pulses = sorted(result.pulses)
    x_end = Timing(backend.target).op("x", (0,))
    spacing = math.ceil(10e-9 / backend.target.dt - 1e-9)
    assert pulses[0][1] == x_end
    for prev, cur in zip(pulses, pulses[1:]):
        assert cur[1] == prev[2] + spacing


NS_DURATIONS = [("x", None, 40, "ns"), ("y", None, 40, "ns"), ("sx", None, 40, "ns"),
                ("rz", None, 0, "ns"), ("cx", None, 300, "ns"), ("reset", None, 100, "ns"),
                ("measure", None, 1000, "ns")]


@pytest.mark.parametrize("sx_ns, inserted", [(40.0, 1), (39.75, 0)])
def test_window_rule_is_one_and_a_half_sequences(sx_ns, inserted):
    # Qubit 0 waits 4 x sx - 40 ns for its cx: 120 ns is 1.5 x (2 x 40 ns), 119 ns is not.
    durations = InstructionDurations(NS_DURATIONS).update([("sx", None, sx_ns, "ns")])
    circuit = QuantumCircuit(2)
    circuit.x(0)
    for _ in range(4):
        circuit.sx(1)
    circuit.cx(0, 1)
    result = check_pass(circuit, scheduling="asap", durations=durations, dd_sequence=[XGate(), XGate()],
                        placement="start", crosstalk=False)
    assert result.property_set["dd_sequences_inserted"] == inserted
    if inserted:
        assert sorted(s for _, s, _ in result.pulses) == [40.0, 90.0]


@pytest.mark.parametrize("placement", ["start", "spread"])
def test_sequence_cut_short_by_crosstalk_is_dropped_whole(placement):
    # Qubits 0 and 1 are coupled and idle over the same 120 ns: the second sequence cannot
    # get out of the way of the first and is left out, not cut.
    durations = InstructionDurations(NS_DURATIONS)
    circuit = QuantumCircuit(4)
    circuit.x(0)
    circuit.x(1)
    for _ in range(4):
        circuit.sx(2)
        circuit.sx(3)
    circuit.cx(0, 2)
    circuit.cx(1, 3)
    options = {"durations": durations, "dd_sequence": [XGate(), XGate()], "placement": placement,
               "coupling_map": [(0, 1)]}
    result = check_pass(circuit, scheduling="asap", **options)
    assert result.property_set["dd_sequences_inserted"] == 1
    assert result.property_set["dd_sequences_dropped"] == 1
    assert len(result.pulses) == 2 and len({q for q, _, _ in result.pulses}) == 1
    free = check_pass(circuit, scheduling="asap", crosstalk=False, **options)
    assert free.property_set["dd_sequences_inserted"] == 2
    assert free.property_set["dd_sequences_dropped"] == 0


def test_unitaries_and_open_controls():
    durations = InstructionDurations(NS_DURATIONS + [
        ("cx_o0", None, 300, "ns"), ("unitary", None, 500, "ns")])
    from qiskit.circuit.library import UnitaryGate
    from qiskit.quantum_info import random_unitary

    circuit = QuantumCircuit(4)
    circuit.x(0)
    circuit.cx(0, 1, ctrl_state=0)
    circuit.append(UnitaryGate(random_unitary(4, seed=1)), [1, 2])
    circuit.append(UnitaryGate(random_unitary(2, seed=2)), [3])
    circuit.cx(2, 3, ctrl_state=0)
    circuit.cx(3, 0)
    result = check_pass(circuit, durations=durations, dd_sequence=XY4,
                        coupling_map=[(0, 1), (1, 2), (2, 3)], skip_reset_qubits=False)
    assert result.operator_checked and result.property_set["dd_sequences_inserted"] > 0
    # Unitaries alone are written natively (in dt: circuits in ns are written in Python, on
    # Qiskit's clock).
    durations = InstructionDurations(durations, dt=1e-9)
    circuit = QuantumCircuit(3)
    circuit.x(0)
    circuit.append(UnitaryGate(random_unitary(4, seed=3)), [1, 2])
    circuit.append(UnitaryGate(random_unitary(4, seed=4)), [0, 1])
    result = check_pass(circuit, durations=durations, dd_sequence=XY4, coupling_map=[(0, 1)],
                        skip_reset_qubits=False, expect_fallback=False)
    assert result.operator_checked and result.property_set["dd_sequences_inserted"] > 0


def test_node_start_time_covers_every_operation():
    backend = generic_backend(5)
    dd = DynamicalDecoupling(target=backend.target, skip_reset_qubits=False)
    out = dd.run(circuit_to_dag(staircase(5)))
    starts = dd.property_set["node_start_time"]
    nodes = list(out.op_nodes())
    assert len(starts) == len(nodes)
    assert all(node in starts for node in nodes)
    plain = dict(starts.items())
    assert set(plain) == set(nodes) and set(starts.keys()) == set(nodes)
    assert all(plain[node] == starts[node] for node in nodes)
    assert all(isinstance(t, int) for t in plain.values())


@pytest.mark.parametrize("dynamic", [False, True])
def test_node_start_time_nodes_are_released_after_the_map(dynamic):
    # The list that frees the map's nodes in order holds the map's own node objects, in
    # node order, and is set after the map, also where a property set already holds both
    # keys the other way round (a run on a property set given to PassManager.run), for a
    # circuit with control flow as well.
    from vornak.qiskit.start_times import NODES_KEY

    backend = generic_backend(5)
    circuit = transpile(staircase(5), backend, seed_transpiler=1)
    if dynamic:
        circuit.add_register(ClassicalRegister(1))
        circuit.measure(0, 0)
        with circuit.if_test((circuit.clbits[0], 1)):
            circuit.x(1)
        circuit.cx(1, 2)
    for given in (None, {NODES_KEY: [], "node_start_time": None}):
        pm = PassManager([DynamicalDecoupling(target=backend.target)])
        pm.run(circuit, property_set=given)
        keys = list(pm.property_set)
        assert keys.index(NODES_KEY) > keys.index("node_start_time")
        nodes, starts = pm.property_set[NODES_KEY], pm.property_set["node_start_time"]
        assert [n._node_id for n in nodes] == sorted(n._node_id for n in nodes)
        assert len(nodes) == len(starts) and all(a is b for a, b in zip(nodes, starts.keys()))


@pytest.mark.parametrize("unit_dt", [True, False])
def test_node_start_time_map_is_the_one_a_dict_makes(unit_dt):
    # The map set entry by entry equals, with the same value types and in the same order,
    # Qiskit's map made from a dict; times as a list in node order or as a dict, none at
    # all, or one short.
    from qiskit._accelerate.scheduling import NodeDurations

    from vornak.qiskit.start_times import node_start_time

    dag = circuit_to_dag(staircase(4))
    nodes = dag.op_nodes()
    starts = [3 * k + 1 for k in range(len(nodes))]
    kind = int if unit_dt else float
    expected = NodeDurations({n: kind(t) for n, t in zip(nodes, starts)})
    for times in (starts, dict(zip(range(len(nodes)), starts))):
        found = node_start_time(dag, times, unit_dt)
        assert found == expected
        assert [(a._node_id, b) for a, b in found.items()] == [
            (a._node_id, b) for a, b in expected.items()]
        assert all(type(t) is kind for t in found.values())
    empty = node_start_time(circuit_to_dag(QuantumCircuit(2)), [], unit_dt)
    assert len(empty) == 0
    with pytest.raises(ValueError):
        node_start_time(dag, starts[:-1], unit_dt)


def assert_pulse_spacing(result, spacing):
    by_qubit: dict[int, list] = {}
    for q, start, end in result.pulses:
        by_qubit.setdefault(q, []).append((start, end))
    for q, pulses in by_qubit.items():
        pulses.sort()
        for (_, end), (start, _) in zip(pulses, pulses[1:]):
            assert start - end >= spacing, f"pulses on {q} only {start - end} apart"


def test_spacing_holds_across_zero_length_operations():
    # q0 has two gaps of 36 ns split only by a barrier. Packed at the start, the first
    # sequence's pulses of 8 ns end at 34 ns, 2 ns before the barrier: the second sequence
    # must start at 44 ns, not at the barrier.
    durations = InstructionDurations([("x", None, 8, "ns"), ("sx", None, 12, "ns"),
                                      ("cx", None, 100, "ns")])
    circuit = QuantumCircuit(2)
    circuit.x(0)
    for _ in range(3):
        circuit.sx(1)
    circuit.barrier()
    for _ in range(3):
        circuit.sx(1)
    circuit.cx(0, 1)
    result = check_pass(circuit, durations=durations, dd_sequence=[XGate(), XGate()],
                        crosstalk=False, placement="start", scheduling="asap")
    assert result.property_set["dd_sequences_inserted"] == 2
    assert_pulse_spacing(result, 10.0)
    assert sorted(start for _, start, _ in result.pulses)[2] == pytest.approx(44.0)


def test_skip_reset_qubits():
    durations = InstructionDurations(
        [("x", None, 40, "ns"), ("y", None, 40, "ns"), ("sx", None, 40, "ns"),
         ("cx", None, 300, "ns"), ("reset", None, 100, "ns")])
    circuit = QuantumCircuit(3)
    for _ in range(10):
        circuit.sx(0)
    circuit.cx(0, 1)          # qubit 1 waits in its initial state: no pulses when skipping
    circuit.reset(2)
    for _ in range(20):
        circuit.sx(1)
    circuit.cx(1, 2)          # qubit 2 waits just after its reset: no pulses when skipping
    options = {"durations": durations, "dd_sequence": XY4, "crosstalk": False,
               "placement": "spread"}
    skip = check_pass(circuit, skip_reset_qubits=True, **options)
    assert skip.property_set["dd_sequences_inserted"] == 0
    keep = check_pass(circuit, skip_reset_qubits=False, **options)
    assert {q for q, _, _ in keep.pulses} == {1, 2}


def test_qubits_limits_the_pulses():
    backend = generic_backend(5)
    result = check_pass(staircase(5), target=backend.target, qubits=[2, 4],
                        skip_reset_qubits=False)
    assert {q for q, _, _ in result.pulses} <= {2, 4} and result.pulses


def test_explicit_pulse_alignment_wins_over_the_target():
    backend = generic_backend(5)
    assert backend.target.pulse_alignment == 1
    result = check_pass(staircase(5), target=backend.target, pulse_alignment=16,
                        skip_reset_qubits=False)
    assert result.pulses and all(start % 16 == 0 for _, start, _ in result.pulses)


def test_coupling_map_argument():
    backend = generic_backend(5)
    coupling = [(0, 1), (1, 2), (2, 3), (3, 4), (2, 4)]
    result = check_pass(staircase(5), target=backend.target, coupling_map=coupling,
                        skip_reset_qubits=False, placement="spread")
    assert pulse_overlaps(result.pulses, coupling) == 0
    check_pass(staircase(5), target=backend.target, coupling_map=CouplingMap(coupling),
               skip_reset_qubits=False)


@pytest.mark.parametrize("sequence", [
    [XGate(), XGate()],
    XY4,                                                 # -I
    [XGate(), YGate(), ZGate()],                         # -iI, three pulses
    [XGate(), RZGate(math.pi), XGate(), RZGate(-math.pi)],  # -I, two of them zero-length
], ids=["xx", "xyxy", "xyz", "x-rz"])
def test_global_phase_is_exact(sequence):
    backend = generic_backend(5)
    circuit = staircase(5)
    circuit.global_phase = 0.25
    result = check_pass(circuit, target=backend.target, dd_sequence=sequence,
                        skip_reset_qubits=False)
    assert result.operator_checked and result.property_set["dd_sequences_inserted"] > 0


def test_everything_else_survives():
    backend = generic_backend(4)
    qr, cr, flags = QuantumRegister(4, "q"), ClassicalRegister(2, "c"), ClassicalRegister(1, "f")
    circuit = QuantumCircuit(qr, cr, flags, name="keep-me", metadata={"k": [1, 2]},
                             global_phase=0.3)
    theta = Parameter("theta")
    circuit.x(0)
    circuit.cx(0, 1)
    circuit.rz(theta, 1)
    circuit.cx(1, 2)
    circuit.cx(2, 3)
    circuit.barrier()
    circuit.measure(0, cr[0])
    circuit.reset(1)
    circuit.delay(100, 2, unit="ns")
    circuit.rz(2 * theta + 1, 3)
    circuit.cx(2, 3)
    circuit.measure(3, flags[0])
    circuit.measure(2, flags[0])
    result = check_pass(circuit, target=backend.target, skip_reset_qubits=False)
    assert result.property_set["dd_sequences_inserted"] > 0
    out = dag_to_circuit(result.out)
    assert out.parameters == circuit.parameters
    assert out.count_ops()["measure"] == 3 and out.count_ops()["reset"] == 1
    assert out.count_ops()["barrier"] == 1


def test_parameterized_global_phase():
    backend = generic_backend(5)
    theta = Parameter("theta")
    circuit = staircase(5)
    circuit.global_phase = theta
    dd = DynamicalDecoupling(target=backend.target, skip_reset_qubits=False)
    out = dd.run(circuit_to_dag(circuit))
    inserted = dd.property_set["dd_sequences_inserted"]
    assert inserted > 0
    phase = out.global_phase.assign(theta, 0.5).numeric()
    assert np.isclose(np.exp(1j * phase), np.exp(1j * (0.5 - inserted * math.pi)))


def test_dag_with_removed_nodes():
    """Node indices with holes (as after other passes in a PassManager)."""
    backend = generic_backend(5)
    circuit = staircase(5)
    circuit.rz(0.1, 4)
    circuit.delay(500, 3)
    circuit.cx(3, 4)
    circuit.x(0)
    circuit.x(0)
    dag = circuit_to_dag(circuit)
    for node in [n for n in dag.op_nodes() if n.name == "rz"][:1] + \
            [n for n in dag.op_nodes() if n.name == "x"][:1]:
        dag.remove_op_node(node)
    result = check_pass(dag, target=backend.target, skip_reset_qubits=False)
    assert result.property_set["dd_sequences_inserted"] > 0


def test_in_a_pass_manager_after_other_passes():
    from qiskit.transpiler.passes import Optimize1qGatesDecomposition

    backend = generic_backend(5)
    circuit = transpile(staircase(5), backend, optimization_level=0)
    circuit.rz(0.2, 1)
    circuit.sx(1)
    circuit.sx(1)
    pm = PassManager([Optimize1qGatesDecomposition(target=backend.target),
                      DynamicalDecoupling(target=backend.target, skip_reset_qubits=False)])
    out = pm.run(circuit)
    dag = circuit_to_dag(out)
    asap = qiskit_start_times(dag, backend.target, None)
    assert [asap[n] for n in dag.topological_op_nodes()] == list(out.op_start_times)
    assert Operator(out) == Operator(circuit)


def test_running_on_its_own_output():
    backend = generic_backend(5)
    first = check_pass(staircase(5), target=backend.target, skip_reset_qubits=False)
    second = check_pass(first.out, target=backend.target, skip_reset_qubits=False)
    assert second.operator_checked


def test_labels_survive():
    """Operation labels are not part of what the C API writes."""
    backend = generic_backend(4)
    circuit = staircase(4)
    circuit.x(3, label="keep")
    circuit.barrier(label="stop")
    result = check_pass(circuit, target=backend.target, skip_reset_qubits=False)
    labels = {n.op.label for n in result.out.op_nodes() if n.op.label}
    assert labels == {"keep", "stop"}


def test_input_delays_are_idle_time():
    backend = generic_backend(3)
    circuit = QuantumCircuit(3)
    circuit.x(0)
    circuit.x(1)
    circuit.delay(4000, 1)          # idle: the gap before the cx is long enough for pulses
    circuit.cx(0, 1)
    circuit.delay(2, 2, unit="us")
    result = check_pass(circuit, scheduling="asap", target=backend.target, crosstalk=False)
    # qubit 0 waits for the delay on qubit 1, qubit 1 sat idle: both get pulses.
    assert {q for q, _, _ in result.pulses} == {0, 1}


def test_time_in_ns_without_dt():
    durations = InstructionDurations(
        [("x", None, 35.5, "ns"), ("y", None, 35.5, "ns"), ("cx", None, 300, "ns"),
         ("sx", None, 35.5, "ns"), ("rz", None, 0, "ns"), ("measure", None, 1.2, "us")])
    circuit = staircase(5)
    circuit.rz(0.3, 2)
    circuit.delay(333.3, 4, unit="ns")
    circuit.cx(4, 3)
    circuit.measure_all()
    for placement in ("spread", "start"):
        result = check_pass(circuit, durations=durations, dd_sequence=XY4, placement=placement,
                            coupling_map=[(q, q + 1) for q in range(4)],
                            skip_reset_qubits=False)
        assert result.property_set["time_unit"] == "ns"
        assert result.property_set["dd_sequences_inserted"] > 0


def assert_qiskits_clock(out, property_set, target, durations):
    """Qiskit's ASAPScheduleAnalysis of `out`, which sums durations in seconds, finds every
    start of `node_start_time` to the bit (times 1e9), and no qubit waits for an operation
    where no delay covers it."""
    ours = property_set["node_start_time"]
    theirs = qiskit_start_times(out, target, durations)
    assert [ours[n] for n in out.op_nodes()] == [theirs[n] for n in out.op_nodes()]
    work = TimeUnitConversion(inst_durations=durations, target=target).run(copy.deepcopy(out))
    asap = ASAPScheduleAnalysis(durations=durations, target=target)
    asap.property_set["time_unit"] = "s"
    asap.run(work)
    found = asap.property_set["node_start_time"]
    free = dict.fromkeys(work.qubits, 0.0)
    holes = []
    for node in work.topological_op_nodes():
        holes += [(node.name, q, found[node] - free[q]) for q in node.qargs
                  if free[q] != found[node]]
        for q in node.qargs:
            free[q] = found[node] + asap._get_node_duration(node, work)
    assert not holes and len(set(free.values())) == 1


@pytest.mark.parametrize("scheduling", ["alap", "asap"])
@pytest.mark.parametrize("source", ["table", "target"])
def test_times_in_ns_are_qiskits_to_the_bit(source, scheduling):
    # 20,000 gates of 35.5555... ns on a qubit, then a cx with one that waited all along.
    # Sums in ns drift from Qiskit's sums in seconds: by 8.9 ns with each duration rounded to
    # the picosecond, by a few 1e-7 ns without.
    x_ns = 320 / 9
    durations = InstructionDurations(
        [("x", None, x_ns, "ns"), ("cx", None, 300, "ns"), ("measure", None, 1000, "ns")])
    target = None
    if source == "target":
        target = Target(num_qubits=3)
        for op, qargs, ns in [(XGate(), [(0,), (1,), (2,)], x_ns),
                              (CXGate(), [(0, 1), (1, 2)], 300),
                              (Measure(), [(0,), (1,), (2,)], 1000)]:
            target.add_instruction(op, {q: InstructionProperties(duration=ns * 1e-9)
                                        for q in qargs})
        durations = None
    circuit = QuantumCircuit(3, 1)
    for _ in range(20000):
        circuit.x(0)
    circuit.cx(0, 1)
    for _ in range(3000):
        circuit.x(2)
    circuit.cx(1, 2)
    circuit.measure(0, 0)
    options = {"dd_sequence": [XGate(), XGate()], "scheduling": scheduling,
               "skip_reset_qubits": False}
    dd = DynamicalDecoupling(durations=durations, target=target, **options)
    out = dd.run(circuit_to_dag(circuit))
    assert dd.property_set["dd_sequences_inserted"] > 0
    assert_qiskits_clock(out, dd.property_set, target, durations)
    padded = vornak_qiskit.pad(circuit, target=target, durations=durations, **options)
    assert padded == dag_to_circuit(out)
    assert sorted(padded.op_start_times) == sorted(dd.property_set["node_start_time"].values())


@pytest.mark.parametrize("seed", range(4))
def test_random_circuits_in_ns_are_qiskits_to_the_bit(seed):
    # A generic device's durations in seconds, without its dt: times in ns, on Qiskit's clock.
    backend = generic_backend(5, seed=seed)
    in_seconds = [(name, qargs, props.duration, "s") for name in backend.target.operation_names
                  for qargs, props in backend.target[name].items()
                  if qargs is not None and props is not None and props.duration is not None]
    durations = InstructionDurations(in_seconds)
    circuit = small_random_circuit(5, 8, seed, measure=True)
    mapped = transpile(circuit, backend, optimization_level=1, seed_transpiler=seed)
    for placement, scheduling in [("walsh", "alap"), ("spread", "asap")]:
        dd = DynamicalDecoupling(durations=durations, placement=placement, scheduling=scheduling,
                                 skip_reset_qubits=bool(seed % 2))
        out = dd.run(circuit_to_dag(mapped))
        assert dd.property_set["time_unit"] == "ns"
        assert_qiskits_clock(out, dd.property_set, None, durations)


# --------------------------------------------------------------------------------------------
# "start" placement is apply_dd_pass's placement


def apply_dd_pass_pulses(circuit, durations, pulse_ns, sequence, num_qubits, coupling):
    # Elsewhere than on 3.14 the stand-in raises a plain ImportError.
    QuantumDAG = pytest.importorskip("_vornak", reason="_vornak is built for CPython 3.14",
                                     exc_type=ImportError).QuantumDAG

    index = {q: i for i, q in enumerate(circuit.qubits)}
    graph = QuantumDAG()
    ir = []
    for inst in circuit.data:
        qs = tuple(index[q] for q in inst.qubits)
        ir.append((inst.operation.name, list(qs),
                   durations.get(inst.operation.name, list(qs), unit="s") * 1e9, {}))
    graph.build_from_ir(ir)
    if coupling:
        graph.set_coupling_map(coupling)
    graph.build_schedule()
    padded = graph.apply_dd_pass(sequence, {q: pulse_ns for q in range(circuit.num_qubits)},
                                 num_qubits=num_qubits)
    wires: dict[int, list[str]] = {}
    for name, qubits, _, _ in padded.get_all_nodes():
        for q in qubits:
            wires.setdefault(q, []).append({"DD_X": "x", "DD_Y": "y"}.get(name, name))
    return wires


@pytest.mark.parametrize("crosstalk", [False, True])
@pytest.mark.parametrize("seed", range(4))
def test_start_placement_matches_apply_dd_pass(seed, crosstalk):
    pulse_ns = 40.0
    durations = InstructionDurations(
        [("x", None, pulse_ns, "ns"), ("y", None, pulse_ns, "ns"), ("sx", None, pulse_ns, "ns"),
         ("rz", None, 0, "ns"), ("cx", None, 320, "ns")])
    circuit = transpile(random_circuit(5, 6, max_operands=2, seed=seed),
                        basis_gates=["cx", "rz", "sx", "x"], optimization_level=0)
    coupling = [(a, b) for a in range(5) for b in range(a + 1, 5) if (a + b + seed) % 3 == 0]
    result = check_pass(circuit, scheduling="asap", durations=durations, dd_sequence=XY4, placement="start",
                        crosstalk=crosstalk, coupling_map=coupling, skip_reset_qubits=False)
    if result.property_set["dd_sequences_dropped"]:
        pytest.skip("apply_dd_pass keeps cut sequences, the pass drops them")
    expected = apply_dd_pass_pulses(circuit, durations, pulse_ns, "XY4", 5 if crosstalk else 0,
                                    coupling if crosstalk else None)
    out = result.out
    for i, q in enumerate(out.qubits):
        names = [n.name for n in out.nodes_on_wire(q, only_ops=True) if n.name != "delay"]
        assert names == expected.get(i, []), f"qubit {i}"


# --------------------------------------------------------------------------------------------
# Exactness on random small circuits


@pytest.mark.parametrize("seed", range(24 if SWEEP else 6))
def test_random_small_circuits_are_exact(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(2, 7))
    backend = generic_backend(n, seed=seed)
    circuit = small_random_circuit(n, int(rng.integers(3, 9)), seed, extras=bool(seed % 2))
    mapped = transpile(circuit, backend, optimization_level=int(seed % 3), seed_transpiler=seed)
    sequences = [XY4, [XGate(), XGate()], [XGate(), YGate(), ZGate()]]
    for k, sequence in enumerate(sequences):
        result = check_pass(mapped, target=backend.target, dd_sequence=sequence,
                            placement=("spread", "start")[k % 2], crosstalk=bool(k % 2 == 0),
                            skip_reset_qubits=bool(seed % 2))
        assert result.operator_checked


# --------------------------------------------------------------------------------------------
# The two writers


class MyGate(Gate):
    """A gate the native writer cannot copy."""

    def __init__(self):
        super().__init__("my_gate", 1, [])

    def _define(self):
        definition = QuantumCircuit(1)
        definition.sx(0)
        definition.sx(0)
        self.definition = definition


def test_custom_gate_goes_through_the_python_writer():
    backend = generic_backend(4)
    target = copy.deepcopy(backend.target)
    target.add_instruction(MyGate(), {(q,): InstructionProperties(duration=1.5e-7)
                                      for q in range(4)})
    circuit = staircase(4)
    circuit.append(MyGate(), [3])
    circuit.cx(3, 2)
    circuit.measure_all()
    result = check_pass(circuit, target=target, skip_reset_qubits=False, expect_fallback=True)
    assert result.property_set["dd_sequences_inserted"] > 0 and result.operator_checked
    # The same with durations from a table.
    durations = InstructionDurations([("my_gate", None, 675, "dt")],
                                     dt=target.dt).update(backend.target.durations())
    check_pass(circuit, durations=durations, dd_sequence=XY4, coupling_map=[(0, 1), (2, 3)],
               skip_reset_qubits=False, expect_fallback=True)


def test_labelled_pulses_go_through_the_python_writer():
    backend = generic_backend(5)
    sequence = [XGate(label="dd"), YGate(label="dd"), XGate(label="dd"), YGate(label="dd")]
    result = check_pass(staircase(5), target=backend.target, dd_sequence=sequence,
                        skip_reset_qubits=False, expect_fallback=True)
    labelled = [n for n in result.out.op_nodes() if n.op.label == "dd"]
    assert len(labelled) == 4 * result.property_set["dd_sequences_inserted"] > 0


def run_both_writers(circuit, **options):
    native = DynamicalDecoupling(**options)
    out_native = native.run(circuit_to_dag(circuit))
    python = DynamicalDecoupling(**options)
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(padding, "native_written", lambda pulse: None)
        out_python = python.run(circuit_to_dag(circuit))
    for key in ("dd_sequences_inserted", "dd_sequences_dropped", "time_unit"):
        assert native.property_set[key] == python.property_set[key]
    assert out_native == out_python
    assert out_native.global_phase == out_python.global_phase
    times_native = [native.property_set["node_start_time"][n]
                    for n in out_native.topological_op_nodes()]
    times_python = [python.property_set["node_start_time"][n]
                    for n in out_python.topological_op_nodes()]
    assert times_native == times_python
    return native, out_native


def test_native_and_python_writers_agree_on_a_generic_backend():
    backend = generic_backend(5)
    circuit = staircase(5)
    circuit.global_phase = 1.0
    circuit.measure_all()
    circuit.reset(0)
    circuit.delay(300, 1)
    circuit.cx(0, 1)
    native, _ = run_both_writers(circuit, target=backend.target, skip_reset_qubits=False)
    assert native.property_set["dd_sequences_inserted"] > 0


@pytest.mark.parametrize("backend_name, bench", [
    ("FakeSherbrooke", "qft"), ("FakeTorino", "ghz"),
])
def test_native_and_python_writers_agree_on_fake_backends(backend_name, bench):
    backend = fake_backend(backend_name)
    circuit = bench_circuit(bench, 6, backend_name)
    native, _ = run_both_writers(circuit, target=backend.target)
    assert native.property_set["dd_sequences_inserted"] > 0


# --------------------------------------------------------------------------------------------
# Bad input


def test_gate_without_duration_names_gate_and_qubits():
    backend = generic_backend(3)
    circuit = staircase(3)
    circuit.h(2)
    dag = circuit_to_dag(circuit)
    before = copy.deepcopy(dag)
    with pytest.raises(TranspilerError, match=r"h on qubits \[2\]"):
        DynamicalDecoupling(target=backend.target).run(dag)
    assert dag == before


def test_control_flow_leaves_the_input_alone():
    """A dynamic circuit is padded (tests/test_dynamic.py checks how) without touching the
    input DAG; a body's operation without a duration raises as a static one does."""
    backend = generic_backend(3)
    circuit = QuantumCircuit(3, 1)
    circuit.x(0)
    circuit.measure(0, 0)
    with circuit.if_test((circuit.clbits[0], 1)):
        circuit.x(1)
    dag = circuit_to_dag(circuit)
    before = copy.deepcopy(dag)
    out = DynamicalDecoupling(target=backend.target).run(dag)
    assert dag == before
    assert "if_else" in out.count_ops(recurse=False)
    with circuit.if_test((circuit.clbits[0], 1)):
        circuit.h(1)
    with pytest.raises(TranspilerError, match=r"h on qubits \[1\]"):
        DynamicalDecoupling(target=backend.target).run(circuit_to_dag(circuit))


def _stretch_delay():
    circuit = staircase(3)
    stretch = circuit.add_stretch("s")
    circuit.delay(stretch, 1)
    circuit.cx(1, 2)
    return circuit


def _parameter_delay():
    circuit = staircase(3)
    circuit.delay(Parameter("d"), 1)
    circuit.cx(1, 2)
    return circuit


def _too_wide():
    circuit = QuantumCircuit(6)
    circuit.x(5)
    circuit.cx(4, 5)
    return circuit


@pytest.mark.parametrize("make", [_stretch_delay, _parameter_delay, _too_wide],
                         ids=["stretch-delay", "parameter-delay", "wider-than-target"])
def test_unschedulable_input_is_a_transpiler_error(make):
    backend = generic_backend(3)
    dag = circuit_to_dag(make())
    before = copy.deepcopy(dag)
    with pytest.raises(TranspilerError):
        DynamicalDecoupling(target=backend.target).run(dag)
    assert dag == before


def test_delay_in_dt_without_dt_is_a_transpiler_error():
    durations = InstructionDurations([("x", None, 50, "ns"), ("cx", None, 300, "ns")])
    circuit = staircase(3)
    circuit.delay(10, 1, unit="dt")
    with pytest.raises(TranspilerError, match="dt"):
        DynamicalDecoupling(durations=durations, dd_sequence=[XGate(), XGate()]).run(
            circuit_to_dag(circuit))


# --------------------------------------------------------------------------------------------
# Real targets: fake IBM backends with mqt.bench circuits


QUICK = [
    ("FakeSherbrooke", "qft", 6), ("FakeSherbrooke", "ghz", 5),
    ("FakeTorino", "qaoa", 5), ("FakeTorino", "graphstate", 6),
]


@pytest.mark.parametrize("backend_name, bench, size", QUICK)
def test_fake_backend_circuits(backend_name, bench, size):
    backend = fake_backend(backend_name)
    circuit = bench_circuit(bench, size, backend_name)
    result = check_pass(circuit, target=backend.target, expect_fallback=False)
    assert result.property_set["dd_sequences_inserted"] > 0
    assert result.operator_checked


@pytest.mark.parametrize("backend_name", ["FakeSherbrooke", "FakeTorino"])
def test_fake_backend_crosstalk_is_meaningful(backend_name):
    backend = fake_backend(backend_name)
    circuit = bench_circuit("qft", 6, backend_name)
    edges = backend.target.build_coupling_map().get_edges()
    off = check_pass(circuit, target=backend.target, crosstalk=False, skip_reset_qubits=False,
                     placement="start")
    assert pulse_overlaps(off.pulses, edges) > 0
    on = check_pass(circuit, target=backend.target, crosstalk=True, skip_reset_qubits=False,
                    placement="start")
    assert pulse_overlaps(on.pulses, edges) == 0


def test_fake_backend_phase_sequence():
    # FakeSherbrooke has no y: X, RZ(pi), X, RZ(-pi) multiplies to -I.
    backend = fake_backend("FakeSherbrooke")
    circuit = bench_circuit("ghz", 5, "FakeSherbrooke")
    result = check_pass(circuit, target=backend.target,
                        dd_sequence=[XGate(), RZGate(math.pi), XGate(), RZGate(-math.pi)])
    assert result.operator_checked and result.property_set["dd_sequences_inserted"] > 0
    assert backend.target.pulse_alignment == 16


@pytest.mark.parametrize("backend_name, level", [
    ("FakeSherbrooke", 1), ("FakeTorino", 1), ("FakeTorino", 0), ("FakeSherbrooke", 3),
])
def test_plugin_in_transpile(backend_name, level):
    backend = fake_backend(backend_name)
    bench = pytest.importorskip("mqt.bench")
    circuit = bench.get_benchmark("qft", bench.BenchmarkLevel.ALG, 5)
    circuit.metadata = {"origin": "mqt"}
    scheduled = transpile(circuit, backend, optimization_level=level, seed_transpiler=5,
                          scheduling_method="vornak_dd")
    plain = transpile(circuit, backend, optimization_level=level, seed_transpiler=5)
    assert scheduled.layout is not None
    assert scheduled.layout.initial_index_layout() == plain.layout.initial_index_layout()
    assert scheduled.layout.final_index_layout() == plain.layout.final_index_layout()
    assert scheduled.name == circuit.name and scheduled.metadata == {"origin": "mqt"}
    # The plugin is the pass run on the circuit as the earlier stages left it.
    manual = PassManager([DynamicalDecoupling(target=backend.target)]).run(plain)
    assert manual == scheduled
    assert scheduled.count_ops().get("delay", 0) > 0
    # op_start_times (from node_start_time) agree with Qiskit's schedule of the output.
    dag = circuit_to_dag(scheduled)
    asap = qiskit_start_times(dag, backend.target, None)
    assert [asap[n] for n in dag.topological_op_nodes()] == list(scheduled.op_start_times)
    check_pass(plain, target=backend.target)


def test_pass_manager_run_gives_op_start_times():
    backend = generic_backend(5)
    circuit = transpile(staircase(5), backend, seed_transpiler=1)
    pm = PassManager([DynamicalDecoupling(target=backend.target, skip_reset_qubits=False)])
    out = pm.run(circuit)
    assert pm.property_set["dd_sequences_inserted"] > 0
    dag = circuit_to_dag(out)
    asap = qiskit_start_times(dag, backend.target, None)
    assert [asap[n] for n in dag.topological_op_nodes()] == list(out.op_start_times)


# --------------------------------------------------------------------------------------------
# Scheduling: ASAP or ALAP, every operation on the device's start grid


def qiskit_schedule(dag, target, scheduling):
    """Qiskit's scheduling stage on `dag`: its ASAP or ALAP analysis, then ConstrainedReschedule
    where the target has alignments; the start of every operation but the delays."""
    analysis = ASAPScheduleAnalysis if scheduling == "asap" else ALAPScheduleAnalysis
    passes = [TimeUnitConversion(target=target), analysis(target=target)]
    if target.acquire_alignment != 1 or target.pulse_alignment != 1:
        passes.append(ConstrainedReschedule(target=target))
    pm = PassManager(passes)
    pm.run(dag_to_circuit(dag))
    found = pm.property_set["node_start_time"]
    # The pass manager ran on a copy: match its nodes to `dag`'s in topological order.
    theirs = sorted(found, key=lambda n: n._node_id)
    ours = sorted(dag.op_nodes(), key=lambda n: n._node_id)
    assert [n.name for n in theirs] == [n.name for n in ours]
    return {o: found[t] for o, t in zip(ours, theirs) if not isinstance(o.op, Delay)}


def test_measure_after_a_delay_starts_on_the_acquire_grid():
    # 100 dt of delay after a 256 dt x leave the measurement 4 dt off FakeSherbrooke's
    # 16 dt acquire grid: Qiskit's own scheduling moves it to the next multiple.
    backend = fake_backend("FakeSherbrooke")
    assert backend.target.acquire_alignment == 16
    circuit = QuantumCircuit(1, 1)
    circuit.x(0)
    circuit.delay(100, 0, unit="dt")
    circuit.measure(0, 0)
    options = {"initial_layout": [0], "optimization_level": 0}
    ours = transpile(circuit, backend, scheduling_method="vornak_dd", **options)
    theirs = transpile(circuit, backend, scheduling_method="asap", **options)

    def measure_start(scheduled):
        return [t for inst, t in zip(scheduled.data, scheduled.op_start_times)
                if inst.operation.name == "measure"]

    assert measure_start(ours) == measure_start(theirs)
    assert measure_start(ours)[0] % 16 == 0 and measure_start(ours)[0] >= 356
    check = InstructionDurationCheck(target=backend.target)
    check.run(circuit_to_dag(ours))
    assert check.property_set["reschedule_required"] is False
    check_pass(circuit, target=backend.target)


@pytest.mark.parametrize("scheduling", ["asap", "alap"])
@pytest.mark.parametrize("backend_name, bench, size", [
    ("FakeSherbrooke", "qft", 5), ("FakeSherbrooke", "ghz", 6), ("FakeTorino", "qaoa", 5),
    ("FakeTorino", "wstate", 5),
])
def test_schedule_is_qiskits(scheduling, backend_name, bench, size):
    backend = fake_backend(backend_name)
    circuit = bench_circuit(bench, size, backend_name)
    result = check_pass(circuit, target=backend.target, scheduling=scheduling,
                        placement="spread")
    assert result.operator_checked
    expected = qiskit_schedule(circuit_to_dag(circuit), backend.target, scheduling)
    ours = {(n.name, tuple(n.qargs), tuple(n.cargs), t) for n, t in result.plan.op_times.items()}
    theirs = {(n.name, tuple(n.qargs), tuple(n.cargs), t) for n, t in expected.items()}
    assert ours == theirs


@pytest.mark.parametrize("seed", range(4))
def test_alap_on_random_circuits_with_measurements(seed):
    # Measurements that share clbits are ordered by them, in Qiskit's schedule as in ours.
    rng = np.random.default_rng(seed)
    n = int(rng.integers(2, 6))
    backend = generic_backend(n, seed=seed)
    circuit = small_random_circuit(n, int(rng.integers(3, 9)), seed, measure=True)
    circuit.measure(0, 0)
    mapped = transpile(circuit, backend, optimization_level=1, seed_transpiler=seed)
    for scheduling in ("asap", "alap"):
        result = check_pass(mapped, target=backend.target, scheduling=scheduling,
                            placement="spread", skip_reset_qubits=False)
        expected = qiskit_schedule(circuit_to_dag(mapped), backend.target, scheduling)
        assert result.plan.op_times == expected


def test_unequal_alignments():
    # Gates on a 32 dt grid, measurements and resets on a 48 dt one: each on its own.
    backend = fake_backend("FakeSherbrooke")
    target = copy.deepcopy(backend.target)
    target.pulse_alignment, target.acquire_alignment = 32, 48
    circuit = QuantumCircuit(2, 2)
    circuit.x(0)
    circuit.delay(70, 0, unit="dt")
    circuit.measure(0, 0)
    circuit.reset(0)
    circuit.delay(5, 1, unit="dt")
    circuit.sx(1)
    circuit.barrier()
    circuit.delay(1000, 1, unit="dt")
    circuit.x(1)
    for scheduling in ("asap", "alap"):
        result = check_pass(circuit, target=target, scheduling=scheduling,
                            skip_reset_qubits=False)
        index = {q: i for i, q in enumerate(circuit.qubits)}
        starts = {f"{n.name}{index[n.qargs[0]]}": t for n, t in result.plan.op_times.items()
                  if n.name != "barrier"}
        assert starts["measure0"] % 48 == 0 and starts["reset0"] % 48 == 0
        assert starts["x1"] % 32 == 0 and starts["sx1"] % 32 == 0
        assert result.property_set["dd_sequences_inserted"] > 0


SWEEP_BENCHES = [("ghz", 20), ("qft", 20), ("qaoa", 24), ("graphstate", 30), ("wstate", 27),
                 ("dj", 40), ("qftentangled", 16), ("vqe_su2", 20), ("ae", 12),
                 ("randomcircuit", 12), ("bv", 60), ("qft", 40), ("graphstate", 100),
                 ("dj", 127), ("ghz", 127)]


@pytest.mark.skipif(not SWEEP, reason="set VORNAK_QISKIT_SWEEP=1 for the full sweep")
@pytest.mark.parametrize("backend_name", ["FakeSherbrooke", "FakeTorino"])
@pytest.mark.parametrize("bench, size", SWEEP_BENCHES)
@pytest.mark.parametrize("placement", ["spread", "start"])
def test_sweep(backend_name, bench, size, placement):
    backend = fake_backend(backend_name)
    if size > backend.num_qubits:
        pytest.skip("too wide")
    try:
        circuit = bench_circuit(bench, size, backend_name)
    except (ValueError, NotImplementedError, TypeError) as error:
        pytest.skip(f"mqt.bench cannot make {bench} at {size}: {error}")
    edges = backend.target.build_coupling_map().get_edges()
    result = check_pass(circuit, target=backend.target, placement=placement)
    assert pulse_overlaps(result.pulses, edges) == 0
    check_pass(circuit, target=backend.target, placement=placement, crosstalk=False,
               skip_reset_qubits=False)

"""What every output of the Qiskit pass must be, checked against independent models.

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
import dataclasses
from dataclasses import dataclass, field
import pytest
pytest.importorskip("qiskit")
vq = pytest.importorskip("vornak.qiskit")
pytest.importorskip("vornak.qiskit.padding")
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
from qiskit.passmanager import PropertySet  # noqa: E402
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
    given = None
    if one_call is None:
        out = dd.run(dag)
        ps = dd.property_set
    else:
        given = circuit if isinstance(circuit, QuantumCircuit) else dag_to_circuit(dag)
        out, ps = one_call(given, target, durations, options)
    if expect_fallback is not None:
        # The same padding again, as the pass pads the DAG or pad() the circuit: whether the
        # Python writer wrote it.
        again = (dd.padding.pad_dag(copy.deepcopy(dag)) if given is None
                 else dd.padding.pad_circuit(given))
        assert (not again.native) == expect_fallback
    assert dag == before, "the pass changed its input"

    timing = Timing(target, durations)
    qubit_index = {q: i for i, q in enumerate(dag.qubits)}
    clbit_index = {c: i for i, c in enumerate(dag.clbits)}
    # Each pulse as written: the gate, or x between the rz frame changes of its phase. The
    # planner places blocks of `block` pulses; a run's k-th pulse is pulse k of the cycle.
    written, block = dd.padding.options.written, dd.padding.plans.for_width(dag.num_qubits()).block
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



def staircase(n=4):
    circuit = QuantumCircuit(n)
    circuit.x(0)
    for q in range(n - 1):
        circuit.cx(q, q + 1)
    return circuit



NS_DURATIONS = [("x", None, 40, "ns"), ("y", None, 40, "ns"), ("sx", None, 40, "ns"),
                ("rz", None, 0, "ns"), ("cx", None, 300, "ns"), ("reset", None, 100, "ns"),
                ("measure", None, 1000, "ns")]



def assert_pulse_spacing(result, spacing):
    by_qubit: dict[int, list] = {}
    for q, start, end in result.pulses:
        by_qubit.setdefault(q, []).append((start, end))
    for q, pulses in by_qubit.items():
        pulses.sort()
        for (_, end), (start, _) in zip(pulses, pulses[1:]):
            assert start - end >= spacing, f"pulses on {q} only {start - end} apart"



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



class MyGate(Gate):
    """A gate the native writer cannot copy."""

    def __init__(self):
        super().__init__("my_gate", 1, [])

    def _define(self):
        definition = QuantumCircuit(1)
        definition.sx(0)
        definition.sx(0)
        self.definition = definition



def python_written(dd, dag):
    """`dag` padded as the pass `dd` pads it, but by the Python writer: with the plan of its
    width, whose pulses are taken for ones the native writer cannot write (as for pulses that
    are no standard gates). The padded DAG and what the pass would record of it."""
    plan = dd.padding.plans.for_width(dag.num_qubits())
    padded = dd.padding.pad_dag(dag, dataclasses.replace(plan, pulses=[None] * len(plan.pulses)))
    assert not padded.native
    recorded = PropertySet()
    padded.record(recorded, dd.padding.options.unit_dt)
    return padded.out, recorded


def run_both_writers(circuit, **options):
    native = DynamicalDecoupling(**options)
    out_native = native.run(circuit_to_dag(circuit))
    out_python, python = python_written(DynamicalDecoupling(**options), circuit_to_dag(circuit))
    for key in ("dd_sequences_inserted", "dd_sequences_dropped", "time_unit"):
        assert native.property_set[key] == python[key]
    assert out_native == out_python
    assert out_native.global_phase == out_python.global_phase
    times_native = [native.property_set["node_start_time"][n]
                    for n in out_native.topological_op_nodes()]
    times_python = [python["node_start_time"][n] for n in out_python.topological_op_nodes()]
    assert times_native == times_python
    return native, out_native



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



QUICK = [
    ("FakeSherbrooke", "qft", 6), ("FakeSherbrooke", "ghz", 5),
    ("FakeTorino", "qaoa", 5), ("FakeTorino", "graphstate", 6),
]



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



SWEEP_BENCHES = [("ghz", 20), ("qft", 20), ("qaoa", 24), ("graphstate", 30), ("wstate", 27),
                 ("dj", 40), ("qftentangled", 16), ("vqe_su2", 20), ("ae", 12),
                 ("randomcircuit", 12), ("bv", 60), ("qft", 40), ("graphstate", 100),
                 ("dj", 127), ("ghz", 127)]


# The warnings every test of the pass leaves alone.
pytestmark = [
    pytest.mark.filterwarnings("ignore:Duration is rounded"),
    pytest.mark.filterwarnings("ignore::DeprecationWarning"),
]

"""A simulator of dynamic circuits that follows the branches, for the DD benchmarks and tests.

A `Walk` runs a physical circuit in time on the qubits it uses, with the noise of
``bench/fidelity.py`` (quasi-static detuning, static ZZ on the device's edges, and optionally
T1/T2 as Pauli jumps and a Pauli error after every single-qubit pulse). Every mid-circuit
measurement and reset is sampled from the state of that run by a function of what it writes
(the k-th write of a clbit, the k-th reset of a qubit), and the branch that the outcome
selects is the one simulated. `branch_states` enumerates every branch without noise.

Timing (the block model the pass schedules for):

- Within a block, every operation starts when its qubits are free: the padded circuits fill
  every idle stretch with a delay, so this is their schedule. The operations of a block are
  timed first and applied in the order of their middles, as the device runs them.
- A control-flow operation starts when every qubit of its scope has finished the block, plus
  the feed-forward latency ``FEED_FORWARD_S``; its body then runs; the next block starts when
  every qubit is free again. Qubits outside the operation idle meanwhile, or run their
  stretch sequence: its stretch is solved so that it ends with the operation (the pulses
  are interleaved in time with the body's operations).
- ``FEED_FORWARD_S`` = 1.1 us is our assumption for the time from the end of a block to the
  start of a body (the result's arrival and the classical decision): the device snapshots
  give none (their ``conditional_latency`` is empty). A body's length is that of its padded
  operations, with the target's durations.
"""

from __future__ import annotations

import copy
import dataclasses
import math
from collections import Counter

import numpy as np

from bench import fidelity as fid

FEED_FORWARD_S = 1.1e-6  # from the end of a block to the start of a body: an assumption


# -- conditions ------------------------------------------------------------------------------


def _bit_value(bit, read):
    from qiskit.circuit import ClassicalRegister

    if isinstance(bit, ClassicalRegister):
        return sum(read(b) << i for i, b in enumerate(bit))
    return read(bit)


def evaluate(condition, read):
    """The value of a condition, a switch target or a classical expression; `read(clbit)`
    gives a bit's value."""
    from qiskit.circuit.classical import expr

    if isinstance(condition, tuple):
        return _bit_value(condition[0], read) == condition[1]
    if not isinstance(condition, expr.Expr):
        return _bit_value(condition, read)
    if isinstance(condition, expr.Var):
        return _bit_value(condition.var, read)
    if isinstance(condition, expr.Value):
        return condition.value
    if isinstance(condition, expr.Cast):
        value = evaluate(condition.operand, read)
        return bool(value) if condition.type.kind is expr.types.Bool else int(value)
    if isinstance(condition, expr.Unary):
        value = evaluate(condition.operand, read)
        if condition.op is expr.Unary.Op.LOGIC_NOT:
            return not value
        width = getattr(condition.type, "width", 1)
        return (~value) & ((1 << width) - 1) if not isinstance(value, bool) else not value
    if isinstance(condition, expr.Binary):
        a, b = evaluate(condition.left, read), evaluate(condition.right, read)
        ops = expr.Binary.Op
        table = {
            ops.BIT_AND: lambda: a & b, ops.BIT_OR: lambda: a | b, ops.BIT_XOR: lambda: a ^ b,
            ops.LOGIC_AND: lambda: bool(a) and bool(b), ops.LOGIC_OR: lambda: bool(a) or bool(b),
            ops.EQUAL: lambda: a == b, ops.NOT_EQUAL: lambda: a != b, ops.LESS: lambda: a < b,
            ops.LESS_EQUAL: lambda: a <= b, ops.GREATER: lambda: a > b,
            ops.GREATER_EQUAL: lambda: a >= b,
        }
        return table[condition.op]()
    raise NotImplementedError(f"condition {condition!r}")


def chosen_body(operation, read):
    """The body that a control-flow operation runs once (None: none), or for a loop the
    list of bodies to run in turn (a while loop: None, handled by the caller)."""
    name = operation.name
    if name == "if_else":
        true_body, false_body = operation.blocks[0], (
            operation.blocks[1] if len(operation.blocks) > 1 else None)
        return [true_body] if evaluate(operation.condition, read) else (
            [false_body] if false_body is not None else [])
    if name == "switch_case":
        from qiskit.circuit import CASE_DEFAULT

        value = evaluate(operation.target, read)
        for values, body in operation.cases_specifier():
            if any(v is CASE_DEFAULT or v == value for v in values):
                return [body]
        return []
    if name == "for_loop":
        indexset, parameter, body = operation.params
        if parameter is None:
            return [body for _ in indexset]
        return [body.assign_parameters({parameter: v}) for v in indexset]
    if name == "box":
        return [operation.blocks[0]]
    raise NotImplementedError(name)


# -- stretches -------------------------------------------------------------------------------


def stretch_coefficient(duration) -> float:
    """k of a delay k * a with a stretch a (1 for a itself)."""
    from qiskit.circuit.classical import expr

    if isinstance(duration, expr.Stretch):
        return 1.0
    if isinstance(duration, expr.Binary) and duration.op is expr.Binary.Op.MUL:
        for factor, other in ((duration.left, duration.right), (duration.right, duration.left)):
            if isinstance(factor, expr.Value):
                return float(factor.value) * stretch_coefficient(other)
    raise NotImplementedError(f"delay of {duration}")


def resolve_stretch_pulses(count: int, span: float, pulse: float) -> list[float]:
    """The start times of the `count` pulses of ``delay(a) P delay(2a) ... P delay(a)`` once
    the device solves a so that the sequence lasts `span`."""
    a = (span - count * pulse) / (2 * count)
    if a < 0:
        raise ValueError(f"{count} pulses of {pulse} do not fit in {span}")
    return [a + j * (pulse + 2 * a) for j in range(count)]


# -- the walk --------------------------------------------------------------------------------


@dataclasses.dataclass
class Noise:
    detuning: np.ndarray  # (n,) rad/s
    zz: dict  # {(a, b) local: rad/s}
    t1: np.ndarray | None = None  # (n,) s; None: no decay
    t2: np.ndarray | None = None
    pulse_error: np.ndarray | None = None  # (n,) average gate infidelity of x/sx


class Walk:
    """One run of a physical circuit on its used qubits: the state, a clock per qubit, the
    noise applied between operations, the measurement record."""

    def __init__(self, used, durations, dt, noise=None, outcome=None, rng=None):
        self.local = {p: i for i, p in enumerate(used)}
        self.n = len(used)
        self.psi = np.zeros((1,) + (2,) * self.n, dtype=complex)
        self.psi.flat[0] = 1
        self.durations = durations
        self.dt = dt
        self.noise = noise
        self.outcome = outcome  # (key, p1) -> 0 or 1, or None where the state forbids it
        self.rng = rng
        self.clock = np.zeros(self.n)
        self.last = np.zeros(self.n)
        self.bits: dict = {}
        self.writes: Counter = Counter()
        self.record: dict = {}
        self.failed = False
        self.cache: dict = {}
        edges = sorted(noise.zz) if noise is not None else []
        self.edges = edges
        self.zz = np.array([noise.zz[e] for e in edges]) if edges else np.zeros(0)
        self.last_edge = np.zeros(len(edges))
        self.edges_of = [[] for _ in range(self.n)]
        for e, (a, b) in enumerate(edges):
            self.edges_of[a].append(e)
            self.edges_of[b].append(e)
        self.started = np.full(self.n, math.inf)
        self.next_jump = [None] * self.n
        self.max_loops = 64  # turns of a while loop, at most
        self.peek = None  # the outcome without side effects, where `outcome` has them
        self.scheduled: list = []

    # noise

    def _phase_to(self, q, t):
        n = self.n
        if self.noise is None:
            return
        span = t - self.last[q]
        if span > 0:
            shape = [1] * (n + 1)
            shape[fid._axis(n, q)] = 2
            sign = np.array([1.0, -1.0])
            self.psi = self.psi * np.exp(-0.5j * span * self.noise.detuning[q] * sign).reshape(shape)
            self.last[q] = t
        for e in self.edges_of[q]:
            span = t - self.last_edge[e]
            if span > 0:
                a, b = self.edges[e]
                shape = [1] * (n + 1)
                shape[fid._axis(n, a)] = shape[fid._axis(n, b)] = 2
                parity = np.array([[1.0, -1.0], [-1.0, 1.0]])
                self.psi = self.psi * np.exp(-0.25j * span * self.zz[e] * parity).reshape(shape)
                self.last_edge[e] = t

    def _draw_jump(self, q, after):
        rates = fid.pauli_rates(self.noise.t1[q], self.noise.t2[q])
        total = sum(rates)
        if total <= 0:
            return (math.inf, "x")
        t = after + self.rng.exponential(1 / total)
        pauli = "xyz"[self.rng.choice(3, p=np.array(rates) / total)]
        return (t, pauli)

    def schedule(self, pulses):
        """Pulses (middle, local qubit, gate, physical qubit, start) to apply as time
        reaches them: the stretch sequences beside a control-flow operation's body."""
        self.scheduled = list(pulses)

    def advance(self, qubits, t):
        """Noise on `qubits` up to time `t` (seconds), after the scheduled pulses up to t."""
        while self.scheduled and self.scheduled[0][0] <= t:
            _, q, operation, p, start = self.scheduled.pop(0)
            self.gate(operation, [q], [p], start)
        for q in qubits:
            if self.noise is not None and self.noise.t1 is not None and t > self.started[q]:
                if self.next_jump[q] is None:
                    self.next_jump[q] = self._draw_jump(q, self.started[q])
                while self.next_jump[q][0] <= t:
                    when, pauli = self.next_jump[q]
                    self._phase_to(q, when)
                    self.psi = fid._apply(self.psi, fid.PAULI[pauli], (q,), self.n)
                    self.next_jump[q] = self._draw_jump(q, when)
            self._phase_to(q, t)

    # operations

    def _matrix(self, operation):
        key = (operation.name, tuple(float(p) for p in operation.params))
        matrix = self.cache.get(key)
        if matrix is None:
            from qiskit.quantum_info import Operator

            matrix = self.cache[key] = np.asarray(Operator(operation).data, dtype=complex)
        return matrix

    def gate(self, operation, qubits, physical, start):
        length = self.durations.get(operation, physical, unit="dt") * self.dt
        middle = start + length / 2
        self.advance(qubits, middle)
        matrix = self._matrix(operation)
        self.psi = fid._apply(self.psi, matrix, qubits, self.n)
        if not np.allclose(matrix, np.diag(np.diag(matrix)), atol=1e-14):
            for q in qubits:
                self.started[q] = min(self.started[q], middle)
        noise = self.noise
        if (noise is not None and noise.pulse_error is not None and len(qubits) == 1
                and operation.name in ("x", "sx", "y")):
            q = qubits[0]
            if self.rng.random() < 1.5 * noise.pulse_error[q]:
                pauli = "xyz"[self.rng.integers(3)]
                self.psi = fid._apply(self.psi, fid.PAULI[pauli], (q,), self.n)
        return start + length

    def project(self, q, key, start, length):
        """Samples qubit q at the middle of a readout; returns the outcome (None: refused)."""
        self.advance((q,), start + length / 2)
        axis = fid._axis(self.n, q)
        one = np.take(self.psi, 1, axis=axis)
        p1 = float(np.sum(np.abs(one) ** 2))
        outcome = self.outcome(key, p1)
        if outcome is None:
            self.failed = True
            return None
        keep = np.take(self.psi, outcome, axis=axis)
        norm = math.sqrt(float(np.sum(np.abs(keep) ** 2)))
        if norm < 1e-12:
            self.failed = True
            return None
        projected = np.zeros_like(self.psi)
        index = [slice(None)] * self.psi.ndim
        index[axis] = outcome
        projected[tuple(index)] = keep / norm
        self.psi = projected
        self.record[key] = outcome
        return outcome


def _qubits_where(circuit, wanted, physical=None, found=None):
    """The physical qubits that an operation for which `wanted(name)` holds acts on, in
    every body."""
    from qiskit.circuit import ControlFlowOp

    physical = list(range(circuit.num_qubits)) if physical is None else physical
    found = set() if found is None else found
    for instruction in circuit.data:
        operation = instruction.operation
        qubits = [physical[circuit.find_bit(q).index] for q in instruction.qubits]
        if isinstance(operation, ControlFlowOp):
            for block in operation.blocks:
                _qubits_where(block, wanted, qubits, found)
        elif wanted(operation.name):
            found.update(qubits)
    return found


def used_qubits(circuit):
    """The physical qubits that some operation other than a delay or barrier acts on."""
    return _qubits_where(circuit, lambda name: name not in ("delay", "barrier"))


def measured_qubits(circuit):
    """The physical qubits that a measurement or a reset acts on, anywhere."""
    return _qubits_where(circuit, lambda name: name in ("measure", "reset"))


def run(walk, circuit, physical=None, clbits=None, scope=None, phase=True):
    """Walks `circuit` (qubit i on physical qubit physical[i], clbit j on record bit
    clbits[j]) from the walk's clocks; `scope` are the local qubits that a control-flow
    operation waits for. Between control-flow operations, the operations are timed first
    and then applied in the order of their middles, as the device runs them; the pulses of
    the stretch sequences beside control flow are interleaved with the bodies by time."""
    from qiskit.circuit import ControlFlowOp

    physical = list(range(circuit.num_qubits)) if physical is None else physical
    clbits = list(range(circuit.num_clbits)) if clbits is None else clbits
    local_of = walk.local
    if scope is None:
        scope = list(range(walk.n))
    if phase and circuit.global_phase:
        walk.psi = walk.psi * np.exp(1j * float(circuit.global_phase))
    segment: list = []
    after_flow = False
    data = list(circuit.data)

    def locals_of(instruction):
        qubits_p = [physical[circuit.find_bit(q).index] for q in instruction.qubits]
        return qubits_p, [local_of[p] for p in qubits_p if p in local_of]

    def flush():
        nonlocal after_flow
        if after_flow:
            _sync(walk, scope)  # the next block starts when every qubit is free
            after_flow = False
        _run_segment(walk, circuit, segment, physical, clbits)
        segment.clear()

    def flow(w, instruction):
        """One control-flow operation on walk `w`."""
        operation = instruction.operation
        qubits_p, inner = locals_of(instruction)
        inner_c = [clbits[circuit.find_bit(c).index] for c in instruction.clbits]

        def read(bit):
            return w.bits.get(clbits[circuit.find_bit(bit).index], 0)

        start = max(w.clock[scope]) + FEED_FORWARD_S if scope else 0.0
        w.advance([], start)
        w.clock[inner] = start
        if operation.name == "while_loop":
            for _ in range(w.max_loops):
                if w.failed or not evaluate(operation.condition, read):
                    break
                run(w, operation.blocks[0], qubits_p, inner_c, inner)
                _sync(w, inner)
        else:
            for body in chosen_body(operation, read):
                run(w, body, qubits_p, inner_c, inner)
                _sync(w, inner)

    i = 0
    while i < len(data):
        if walk.failed:
            return
        instruction = data[i]
        if not isinstance(instruction.operation, ControlFlowOp):
            segment.append(instruction)
            i += 1
            continue
        flush()
        flows = []
        while i < len(data) and isinstance(data[i].operation, ControlFlowOp):
            flows.append(data[i])
            i += 1
        sequences, i, closing = _stretch_items(data, i, locals_of)
        if sequences:
            dry = copy.deepcopy(walk)
            dry.outcome = walk.peek or walk.outcome  # no record of the dry run's choices
            for instruction in flows:
                flow(dry, instruction)
            others = [q for q in locals_of(closing)[1] if q not in sequences]
            end = max(dry.clock[others]) if others else max(walk.clock[list(sequences)])
            # A stretch cannot be negative: where the pulses do not fit, the timeline waits.
            end = max([end] + [walk.clock[q] + _fixed(walk, items)
                               for q, items in sequences.items()])
            walk.schedule(_stretch_pulses(walk, sequences, end))
        for instruction in flows:
            flow(walk, instruction)
        if sequences:
            walk.advance([], end)
            walk.clock[list(sequences)] = end
            _sync(walk, locals_of(closing)[1])
        after_flow = True
    flush()


def _stretch_items(data, i, locals_of):
    """The stretch sequences that follow control flow at data[i:], by local qubit, the index
    after the barrier that closes them, and that barrier."""
    from qiskit.circuit.classical import expr

    sequences: dict[int, list] = {}
    while i < len(data):
        instruction = data[i]
        operation = instruction.operation
        qubits_p, qubits = locals_of(instruction)
        stretchy = operation.name == "delay" and isinstance(operation.duration, expr.Expr)
        if qubits and (stretchy or (operation.name != "barrier" and len(qubits) == 1
                                    and qubits[0] in sequences)):
            sequences.setdefault(qubits[0], []).append((instruction, qubits_p[0]))
            i += 1
            continue
        break
    if sequences:
        return sequences, i + 1, data[i]  # the closing barrier
    return sequences, i, None


def _fixed(walk, items):
    """The length of the pulses of a stretch sequence."""
    return sum(walk.durations.get(i.operation, [p], unit="dt") * walk.dt for i, p in items
               if i.operation.name != "delay")


def _stretch_pulses(walk, sequences, end):
    """(middle, local qubit, gate, physical qubit, start) of every pulse of the stretch
    `sequences`, each stretch solved so that its sequence ends at `end`."""
    pulses = []
    for q, items in sequences.items():
        fixed = _fixed(walk, items)
        coefficient = sum(stretch_coefficient(i.operation.duration) for i, _ in items
                          if i.operation.name == "delay")
        a = max(0.0, (end - walk.clock[q] - fixed) / coefficient) if coefficient else 0.0
        t = walk.clock[q]
        for instruction, p in items:
            operation = instruction.operation
            if operation.name == "delay":
                t += a * stretch_coefficient(operation.duration)
            else:
                length = walk.durations.get(operation, [p], unit="dt") * walk.dt
                # At most at `end`: a frame change after the last delay lands there, and the
                # sum of the delays may pass it by a rounding error.
                pulses.append((min(t + length / 2, end), q, operation, p, min(t, end)))
                t += length
    return sorted(pulses, key=lambda e: e[0])


def _run_segment(walk, circuit, segment, physical, clbits):
    """The operations of one block: timed from the clocks, then applied by their middles."""
    events = []
    local_of = walk.local
    for index, instruction in enumerate(segment):
        operation = instruction.operation
        name = operation.name
        qubits_p = [physical[circuit.find_bit(q).index] for q in instruction.qubits]
        qubits = [local_of[p] for p in qubits_p if p in local_of]
        if not qubits:
            continue
        start = max(walk.clock[qubits])
        if name == "barrier":
            walk.clock[qubits] = start
            continue
        if name == "delay":
            walk.clock[qubits] = start + float(operation.duration) * walk.dt
            continue
        length = walk.durations.get(operation, qubits_p, unit="dt") * walk.dt
        walk.clock[qubits] = start + length
        events.append((start + length / 2, index, start, length, instruction, qubits, qubits_p))
    events.sort(key=lambda e: e[:2])
    for middle, _, start, length, instruction, qubits, qubits_p in events:
        if walk.failed:
            return
        name = instruction.operation.name
        if name == "measure":
            c = clbits[circuit.find_bit(instruction.clbits[0]).index]
            walk.writes[c] += 1
            outcome = walk.project(qubits[0], (c, walk.writes[c]), start, length)
            if outcome is not None:
                walk.bits[c] = outcome
        elif name == "reset":
            counter = ("reset", qubits_p[0])
            walk.writes[counter] += 1
            outcome = walk.project(qubits[0], counter + (walk.writes[counter],), start, length)
            if outcome == 1:
                walk.psi = fid._apply(walk.psi, fid.PAULI["x"], (qubits[0],), walk.n)
        else:
            walk.gate(instruction.operation, qubits, qubits_p, start)


def _sync(walk, qubits):
    if len(qubits):
        walk.clock[qubits] = max(walk.clock[qubits])


# -- exact branches (the tests' check) ------------------------------------------------------


def branch_states(circuit, durations=None, dt=1.0, max_loops=3):
    """{measurement record: final state} of every branch of `circuit` without noise; the
    record maps (clbit, k) to the k-th value written to the clbit, and ("reset", qubit, k)
    to the k-th reset's outcome. States are unnormalised (their norm squared is the branch's
    probability) on the used qubits, global phase included. A while loop stops after
    `max_loops` turns."""
    used = sorted(used_qubits(circuit))
    durations = durations if durations is not None else _UnitDurations()
    found = {}
    stack = [{}]  # depth first over the outcomes: each run extends its choices with zeros
    while stack:
        forced = stack.pop()
        walk, decisions = _explore_once(circuit, used, durations, dt, dict(forced), max_loops)
        for i, key in enumerate(decisions):
            branch = dict(forced)
            branch.update({k: 0 for k in decisions[:i]})
            branch[key] = 1
            stack.append(branch)
        if not walk.failed:
            found[tuple(sorted(walk.record.items(), key=repr))] = walk.psi.reshape(-1) * walk.weight
    return found


def _explore_once(circuit, used, durations, dt, forced, max_loops):
    decisions = []
    probability = [1.0]

    def outcome(key, p1):
        value = forced.get(key)
        if value is None:
            decisions.append(key)
            forced[key] = value = 0
        p = p1 if value else 1 - p1
        if p < 1e-14:
            return None
        probability[0] *= p
        return value

    def peek(key, p1):
        value = forced.get(key, 0)
        return value if (p1 if value else 1 - p1) >= 1e-14 else None

    walk = Walk(used, durations, dt, outcome=outcome)
    walk.peek = peek
    walk.max_loops = max_loops
    run(walk, circuit)
    walk.weight = math.sqrt(probability[0])
    return walk, decisions


class _UnitDurations:
    """Every operation 1 dt long: timing is of no matter without noise."""

    def get(self, operation, qubits, unit="dt"):
        return 1

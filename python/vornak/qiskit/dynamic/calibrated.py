"""Which qubits idle around control flow take a stretch sequence, and which pattern, by the
device's calibration (`vornak.qiskit.calibration`): the choice the walsh placement makes gap
by gap in timed blocks, made here for idle times whose length is not known at compile time.

The first-order costs are those of the static planner (``src/dd/refocus_cost.h``): over an
idle time T a qubit's detuning leaves <δ²>/4·(∫s)², a static ZZ ζ Z_p Z_q / 4 between two
qubits the phase ζ·∫s_p s_q / 2 and so ζ²/16·(∫s_p s_q)², and each pulse costs e, its error
beyond the decoherence the qubit suffers anyway. Every stretch sequence is balanced
(∫s = 0), so the detuning goes whichever pattern a qubit takes, and so does its ZZ with a
neighbour that takes none. What differs is the ZZ between two coupled idle qubits: with
equal patterns (s_p = s_q) it leaves ζT/2, ζ²T²/16 of infidelity, with the orthogonal
patterns of b·2^c pulses (colour c) nothing, for (2^c - 1)·b extra pulses on the qubit of
colour c, each costing e.

T is the time the control-flow operations take, which the device fixes at run time. It is at
least L, the length of the shortest path through their bodies (`LeastTime`): a body's
operations in order on its qubits, a nested operation at its own L, a loop that may run no
time (a while_loop, a for_loop that may break out) at 0, an if_else without an else, or a
switch without a default case, at 0. On top of L comes the feed-forward latency (the
measurement's result reaching the controller, its decision), which no target tells: about
1 µs on IBM devices, more than the break-even length of a pair of pulses (√(8e/<δ²>), some
300-700 ns at the default 20 kHz detuning and e of 2e-4 to 1e-3).

The rule, per boundary:

1. A qubit takes no sequence where even a generous latency would not make its b pulses pay:
   b·e ≥ v·(L + `GENEROUS_LATENCY_S`)²/4, with v = <δ²> plus ζ²/4 per coupled neighbour that
   takes no sequence (it is busy in the control flow, or idles without pulses). Since T has no
   upper bound, skipping is the choice that can go most wrong, and is kept for qubits whose
   pulses are plainly bad (beside a short body, e above about 8e-3 at the default
   detuning).
2. The others take their patterns at the expected T = L + `ASSUMED_LATENCY_S`, one qubit at a
   time in the order of the greedy colouring: each takes the colour c, among 0 and the
   lowest colour its coloured idle neighbours leave free, that costs least,
   (2^c - 1)·b·e + ζ²T²/16 per neighbour already of colour c; on a tie the higher colour. On
   fixed couplers (ζ ≈ 2π·68 kHz) the ZZ of one pair at 1 µs, 1e-2, outweighs any pulse,
   and every qubit takes the orthogonal colour of the greedy colouring; on tunable couplers
   (ζ ≈ 2π·6.4 kHz) it is 1e-4, mostly below the 2e (2e-4 to 1e-3) of colour 1's two more
   pulses, and the qubits take the plain pattern (colour 0) unless their pulses are nearly
   free, the bodies are long, or the measured ZZ of a pair (``zz=``) is strong. Where the
   decision takes much longer than assumed, a plain pair leaves more: ζ²T²/16 grows as T²
   (1e-3 at 3 µs on tunable couplers), while the orthogonal patterns' cost stays fixed.

Without a calibration every qubit takes the greedy colouring's orthogonal pattern.
"""

from __future__ import annotations

import math

from qiskit.circuit import BoxOp, ControlFlowOp, ForLoopOp, IfElseOp, SwitchCaseOp
from qiskit.circuit.controlflow.switch_case import CASE_DEFAULT
from qiskit.transpiler.exceptions import TranspilerError

from vornak.qiskit.calibration import IdleNoise
from vornak.qiskit.dynamic.blocks import fixed_length, leaves_early
from vornak.qiskit.durations import delay_length

ASSUMED_LATENCY_S = 1e-6  # the feed-forward latency the patterns are chosen for
GENEROUS_LATENCY_S = 2e-6  # the latency below which no qubit's pulses are skipped

_LEAVING = ("break_loop", "continue_loop")


class LeastTime:
    """Lower bounds, in the pass's unit, on how long control-flow operations run: from the
    `table` of durations (``{name: {qargs: length}}``, ``()`` for any qubits),
    `delay_length(operation, qubits)` (a TranspilerError where a delay has no fixed length,
    which counts as 0) and `box_length(operation)` (a box's fixed duration, else None)."""

    def __init__(self, table, delay_length, box_length):
        self.table = table
        self.delay_length = delay_length
        self.box_length = box_length

    def boundary(self, boundary, body, physical) -> float:
        """The least time the operations of `boundary` (instructions of `body`, whose qubit i
        is physical[i]) take: the longest of their bounds, as they all run before it ends."""
        least = 0.0
        for instruction in boundary:
            if isinstance(instruction.operation, ControlFlowOp):
                qubits = [physical[body.find_bit(bit).index] for bit in instruction.qubits]
                least = max(least, self.operation(instruction.operation, qubits))
        return least

    def operation(self, operation, physical) -> float:
        """The least time control-flow `operation` on the physical qubits `physical` takes."""
        if isinstance(operation, BoxOp):
            fixed = self.box_length(operation)
            return fixed if fixed is not None else self.body(operation.blocks[0], physical)
        if isinstance(operation, IfElseOp):
            if len(operation.blocks) < 2:
                return 0.0
        elif isinstance(operation, SwitchCaseOp):
            if not any(value is CASE_DEFAULT for values, _ in operation.cases_specifier()
                       for value in values):
                return 0.0
        elif isinstance(operation, ForLoopOp):
            body = operation.blocks[0]
            if any(leaves_early(i.operation) for i in body.data):
                return 0.0
            return len(operation.params[0]) * self.body(body, physical)
        else:  # a while_loop, which may run no time
            return 0.0
        return min(self.body(block, physical) for block in operation.blocks)

    def body(self, body, physical) -> float:
        """The least time `body` takes: its operations in order on its qubits, up to a
        break_loop or continue_loop, which leaves it."""
        clock = [0.0] * body.num_qubits
        for instruction in body.data:
            operation = instruction.operation
            if operation.name in _LEAVING:
                break
            local = [body.find_bit(bit).index for bit in instruction.qubits]
            if not local:
                continue
            qubits = [physical[i] for i in local]
            start = max(clock[i] for i in local)
            end = start + self._length(operation, qubits)
            for i in local:
                clock[i] = end
        return max(clock, default=0.0)

    def _length(self, operation, qubits) -> float:
        if isinstance(operation, ControlFlowOp):
            return self.operation(operation, qubits)
        if operation.name == "delay":
            try:
                return self.delay_length(operation, lambda: qubits)
            except TranspilerError:  # a stretch: no fixed length
                return 0.0
        entry = self.table.get(operation.name)
        if entry is None:
            return 0.0
        found = entry.get(tuple(qubits), entry.get(()))
        return found if found is not None else 0.0


class CalibratedChoice:
    """The rule of the module's docstring: from the idle qubits' `noise`, the `least` time of
    control flow, and `unit_seconds`, the pass's unit in seconds."""

    def __init__(self, noise: IdleNoise, least: LeastTime, unit_seconds: float):
        self.noise = noise
        self.least = least
        self.unit_seconds = unit_seconds

    def colours(self, around, boundary, body, physical, neighbours, block) -> dict[int, list[int]]:
        """{colour: qubits} of the `around` qubits that take a sequence beside the `boundary`
        operations (see `StretchSequences.write`), coupled as `neighbours` says, with
        `block` pulses per block of the sequence; colour c takes block·2^c pulses."""
        noise = self.noise
        least = self.least.boundary(boundary, body, physical) * self.unit_seconds
        members = set(around)
        taking = []
        for q in around:
            bare = [n for n in sorted(neighbours.get(q, ())) if n not in members]
            variance = noise.variance + sum(noise.zz(q, n) ** 2 / 4 for n in bare)
            if block * noise.pulse_error[q] < variance * (least + GENEROUS_LATENCY_S) ** 2 / 4:
                taking.append(q)
        weight = (least + ASSUMED_LATENCY_S) ** 2 / 16
        colour: dict[int, int] = {}
        for q in taking:
            coloured = [n for n in sorted(neighbours.get(q, ())) if n in colour]
            taken = {colour[n] for n in coloured}
            free = 0
            while free in taken:
                free += 1
            best, best_cost = free, math.inf
            for c in range(free, -1, -1):  # from the orthogonal colour down: ties keep it
                cost = ((1 << c) - 1) * block * noise.pulse_error[q] + weight * sum(
                    noise.zz(q, n) ** 2 for n in coloured if colour[n] == c)
                if cost < best_cost:
                    best, best_cost = c, cost
            colour[q] = best
        grouped: dict[int, list[int]] = {}
        for q in taking:
            grouped.setdefault(colour[q], []).append(q)
        return grouped


def calibrated_choice(options, plan, num_qubits: int) -> CalibratedChoice | None:
    """The choice for circuits of `num_qubits` qubits padded with the pass's `options` and
    `plan` (the `WidthPlan` of that width), None without a calibration or without a length
    of dt in seconds."""
    if options.calibration is None or (options.unit_dt and options.dt is None):
        return None
    least = LeastTime(plan.table,
                      lambda operation, qubits: delay_length(operation, qubits, options.dt,
                                                             options.unit_dt),
                      lambda operation: fixed_length(options, operation))
    names = [[gate.name for gate in pulse] for pulse in options.written]
    return CalibratedChoice(options.calibration.idle_noise(num_qubits, names), least,
                            options.dt if options.unit_dt else 1e-9)

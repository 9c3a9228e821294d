"""A candidate schedule for the benchmark: each qubit's first operation as late as possible,
every later one as soon as possible.

    python bench/fidelity.py --strategy "ours late start"

A qubit is exactly in |0> before its first operation, where neither detuning, ZZ nor decay
harms it: ALAP keeps that, and so does this rule. After it, ASAP moves the waits of the
qubit from between its operations to after its last one, where its neighbours idle too and
their frames stay put, which is where ASAP refocuses better than ALAP. Each qubit is busy or
waiting from the same moment to the same end as under ALAP (no operation starts later than
its ALAP time), so it waits excited no longer. Barriers and measurements keep their ALAP
times: the final measurements stay together at the end.

The rule is built here from Qiskit's passes, not in the pass: `LateStartAnalysis` gives the
times, `PadDelay` writes every wait as a delay, and our pass with ASAP scheduling, which
keeps delays as they are, reproduces them and pads the delays.
"""

from __future__ import annotations

from qiskit.transpiler.basepasses import AnalysisPass

# Operations that keep their ALAP time (the final measurements after their barrier).
KEEP_ALAP = ("barrier", "measure")


class LateStartAnalysis(AnalysisPass):
    """`node_start_time` (in dt) of the late-start rule, from the target's durations."""

    def __init__(self, target):
        super().__init__()
        self.target = target

    def run(self, dag):
        from qiskit.transpiler.passes import ALAPScheduleAnalysis

        durations = self.target.durations()
        alap = ALAPScheduleAnalysis(target=self.target)
        alap.run(dag)
        late = alap.property_set["node_start_time"]
        free = {}  # wire (qubit or clbit) -> when it is free
        started = set()
        times = {}
        for node in dag.topological_op_nodes():
            wires = list(node.qargs) + list(node.cargs)
            start = max((free.get(w, 0) for w in wires), default=0)
            name = node.op.name
            if name in KEEP_ALAP or any(q not in started for q in node.qargs):
                start = max(start, late[node])
            length = 0 if name == "barrier" else durations.get(
                node.op, [dag.find_bit(q).index for q in node.qargs], unit="dt")
            times[node] = start
            for w in wires:
                free[w] = start + length
            started.update(node.qargs)
        self.property_set["node_start_time"] = times
        self.property_set["time_unit"] = "dt"


def passes(target):
    """The late-start times, their delays, and our pass with ASAP scheduling."""
    from qiskit.transpiler.passes import PadDelay

    from vornak.qiskit import DynamicalDecoupling

    return [LateStartAnalysis(target), PadDelay(target=target),
            DynamicalDecoupling(target=target, scheduling="asap")]

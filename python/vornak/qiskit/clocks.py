"""How the Python writer counts time: as planned in dt, or as Qiskit counts it in ns.

A clock gives each operation its start from its planned start and the times its qubits are
free (`since`), each operation its end, each idle stretch its delay, and each time as
``node_start_time`` reports it.

Without a dt, Qiskit's ``ASAPScheduleAnalysis`` starts an operation when the last of its
qubits is free, and frees them at the start plus the operation's duration, in seconds: the
target's, or the table's value divided by 10**9 for ns (``apply_prefix``), a delay's the
same way. The pass plans in ns, whose sums round differently: along a wire of 20,000 gates
of 35.5555… ns the two drift apart by a few 1e-7 ns. So that Qiskit finds the pass's times
exactly, and no qubit waits where no delay covers it, the output in ns is written on
Qiskit's clock: every operation starts at its planned time in seconds or, where Qiskit's
sums end a few ulps later, there; every delay is chosen so that Qiskit's sum ends it
exactly at the next start.
"""

from __future__ import annotations

import math

from qiskit.circuit import Delay
from qiskit.transpiler import InstructionDurations

_NS = 10**9  # as apply_prefix divides


class PlanClock:
    """Times in dt, as planned: whole numbers, every delay their difference."""

    @staticmethod
    def start(planned: float, since) -> float:
        return planned

    @staticmethod
    def end(name: str, qubits, start: float, planned: float) -> float:
        return planned

    @staticmethod
    def delay(since: float, until: float) -> Delay | None:
        gap = until - since
        return Delay(int(round(gap)), "dt") if gap > 0 else None

    @staticmethod
    def reported(t: float) -> int:
        return int(t)


class QiskitClock:
    """Qiskit's sums in seconds, for the operations of one circuit.

    Args:
        durations: The table Qiskit's scheduling reads: ``target.durations()`` with a target.
    """

    def __init__(self, durations: InstructionDurations):
        self._durations = durations
        self._cache: dict[tuple, float] = {}

    def start(self, planned: float, since) -> float:
        """The start in seconds of an operation planned at `planned` ns, on qubits free
        from the times of `since`."""
        return self._meeting(max([planned / _NS, *since]), since)

    @staticmethod
    def reported(t: float) -> float:
        """A time in seconds, in ns: as Qiskit's time times 1e9."""
        return t * 1e9

    def end(self, name: str, qubits, start: float, planned: float) -> float:
        """Where Qiskit ends operation `name` on `qubits` that starts at `start` (seconds)."""
        key = (name, *qubits)
        duration = self._cache.get(key)
        if duration is None:
            # A barrier, and a classical store (on no qubit), take no time.
            duration = 0.0 if name in ("barrier", "store") else float(
                self._durations.get(name, list(qubits), unit="s"))
            self._cache[key] = duration
        return start + duration

    @staticmethod
    def _meeting(t: float, since) -> float:
        """The first time from `t` (seconds) at which a delay in ns from each time of `since`
        before it ends exactly, as Qiskit adds it: `t` itself but for a few in a hundred
        cases, where no double of ns divided by 10**9 fits and `t` moves on by an ulp."""
        for _ in range(1000):
            if all(s >= t or _ns_delay(s, t) is not None for s in since):
                return t
            t = math.nextafter(t, math.inf)
        raise AssertionError(f"no delays in ns meet at {t!r} s from {since!r}")

    @staticmethod
    def delay(since: float, until: float) -> Delay | None:
        """The delay in ns that Qiskit, adding it at `since`, ends at `until` (None for none);
        `until` is a time :meth:`start` gave."""
        if until <= since:
            return None
        value = _ns_delay(since, until)
        if value is None:
            raise AssertionError(f"no delay in ns takes {since!r} s to {until!r} s")
        return Delay(value, "ns")


def _ns_delay(since: float, until: float) -> float | None:
    """A duration in ns that Qiskit, adding it at `since` in seconds, ends at `until`."""
    value = (until - since) * 1e9
    direction = 0
    for _ in range(8):
        end = since + value / _NS
        if end == until:
            return value
        step = 1 if end < until else -1
        if direction and step != direction:
            return None  # stepped over: no double lands there
        direction = step
        value = math.nextafter(value, math.inf * step)
    return None

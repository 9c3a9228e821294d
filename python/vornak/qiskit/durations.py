"""Operation durations in the pass's unit: dt where there is a dt, else nanoseconds.

Durations all given in dt with no dt set are kept in dt, as Qiskit's scheduling does. In dt
every duration must be a whole number: a fractional one would leave the rounded delays and
the start times apart, so it is refused. Times are doubles, which hold every whole number of
dt up to 2**53 and not all beyond: a duration, delay or schedule longer than that is refused.

In ns a duration is its value scaled by a power of ten in decimal and rounded once (35.5 ns
is 35.5, 50e-9 s is 50.0, not 50.00000000000001), and nothing else rounds it: the plan's
times stay within the rounding of sums from Qiskit's, and the output is then written on
Qiskit's own clock (:mod:`vornak.qiskit.clocks`).
"""

from __future__ import annotations

import math
from decimal import Decimal

from qiskit.circuit import Delay
from qiskit.circuit.classical import expr
from qiskit.circuit.duration import duration_in_dt
from qiskit.transpiler import InstructionDurations, Target
from qiskit.transpiler.exceptions import TranspilerError
from qiskit.transpiler.passes.scheduling.time_unit_conversion import _EvalDurationImpl

from vornak import _bridge

UNIT_SECONDS = {"s": 1.0, "ms": 1e-3, "us": 1e-6, "ns": 1e-9, "ps": 1e-12}
_NS_EXPONENT = {"s": 9, "ms": 6, "us": 3, "ns": 0, "ps": -3}
# The largest whole number of dt up to which every whole number is a double: the bridge's.
MAX_EXACT_DT = int(_bridge.MAX_EXACT_DT)


def unit_is_dt(target: Target | None, durations: InstructionDurations | None) -> bool:
    """Whether the pass works in dt: with a dt, or with durations that are all in dt."""
    if target is not None:
        return target.dt is not None
    if durations is None:
        return False
    if durations.dt is not None:
        return True
    units = [unit for _, unit in durations.duration_by_name.values()]
    units += [unit for _, unit in durations.duration_by_name_qubits.values()]
    return bool(units) and all(unit == "dt" for unit in units)


def to_unit(value: float, unit: str, dt: float | None, unit_dt: bool | None = None) -> float:
    """A duration in the pass's unit: dt when `unit_dt` (default: when there is a dt), else ns."""
    if unit_dt is None:
        unit_dt = dt is not None
    if unit == "dt":
        if not unit_dt:
            raise TranspilerError("A duration is given in dt, but there is no dt.")
        return float(value)
    if unit_dt and dt is None:
        raise TranspilerError(
            f"A duration is given in {unit}, but the durations are in dt and there is no dt."
        )
    if dt is not None:
        return float(duration_in_dt(value * UNIT_SECONDS[unit], dt))
    # Scaled in decimal: seconds times 1e9 would carry float noise into every delay, and
    # rounding to a coarser grid would make the times drift from Qiskit's along a wire.
    value = float(value)
    if unit == "ns" or not math.isfinite(value):
        return value
    return float(Decimal(repr(value)).scaleb(_NS_EXPONENT[unit]))


def checked(value: float, what: str, unit_dt: bool) -> float:
    """`value` if it is a duration the schedule can hold, else a TranspilerError naming `what`."""
    if not math.isfinite(value) or value < 0:
        raise TranspilerError(f"The duration of {what} is {value}, not a finite length >= 0.")
    if unit_dt and not value.is_integer():
        raise TranspilerError(
            f"The duration of {what} is {value} dt, not a whole number of dt."
        )
    if unit_dt and value > MAX_EXACT_DT:
        raise TranspilerError(
            f"The duration of {what} is {value:.0f} dt, beyond 2**53 dt, where times "
            "(doubles) stop being exact whole numbers of dt."
        )
    return value


def checked_length(length: float, unit_dt: bool) -> None:
    """A TranspilerError where a schedule's durations add up beyond the doubles (in ns) or
    beyond 2**53 dt."""
    if not math.isfinite(length):
        raise TranspilerError(
            f"The padded schedule is {length} {'dt' if unit_dt else 'ns'} long: its durations "
            "add up beyond the largest double."
        )
    if unit_dt and length > MAX_EXACT_DT:
        raise TranspilerError(
            f"The padded schedule is {length:.0f} dt long, beyond 2**53 dt, where times "
            "(doubles) stop being exact whole numbers of dt."
        )


def surely_exact(operations: int, step: float, delays: dict, unit_dt: bool) -> bool:
    """Whether a schedule in dt of `operations`, each ending at most `step` after the one
    before it on its wires, and of `delays` surely ends within 2**53 dt."""
    return unit_dt and operations * step + sum(delays.values()) <= MAX_EXACT_DT


def delay_length(op, qubits, dt: float | None, unit_dt: bool) -> float:
    """The length of delay `op` in the pass's unit, on the qubits that `qubits()` lists (for
    the message); a ``TranspilerError`` if it has no fixed one."""
    try:
        if isinstance(op.duration, expr.Expr):
            value, unit = _constant_duration(op.duration, dt)
        else:
            value, unit = float(op.duration), op.unit
        if unit != "dt" and unit not in UNIT_SECONDS:
            raise TypeError(f"its unit is {unit!r}")
        length = to_unit(value, unit, dt, unit_dt)
    except (TypeError, ValueError, OverflowError, TranspilerError) as error:
        raise TranspilerError(
            f"The delay on qubits {qubits()} has no fixed duration ({op.duration}): {error}"
        ) from error
    return checked(length, f"the delay on qubits {qubits()}", unit_dt)


def dag_delays(dag, dt: float | None, unit_dt: bool) -> dict[int, float]:
    """The length of every delay of `dag`, by node index."""
    delays = {}
    if "delay" in dag.count_ops(recurse=False):
        for node in dag.op_nodes(Delay):
            delays[node._node_id] = delay_length(
                node.op, lambda: [dag.find_bit(q).index for q in node.qargs], dt, unit_dt)
    return delays


def circuit_delays(circuit, dt: float | None, unit_dt: bool) -> dict[int, float]:
    """The length of every delay of `circuit`, by position."""
    if "delay" not in circuit.count_ops():
        return {}
    delays = {}
    for position, instruction in enumerate(circuit._data):
        if instruction.operation.name == "delay":
            delays[position] = delay_length(
                instruction.operation,
                lambda: [circuit.find_bit(q).index for q in instruction.qubits], dt, unit_dt,
            )
    return delays


def _constant_duration(duration: expr.Expr, dt: float | None) -> tuple[float, str]:
    """(value, unit) of a delay's duration expression; a TypeError where it holds a stretch."""
    if any(isinstance(x, expr.Stretch) for x in expr.iter_identifiers(duration)):
        raise TypeError("it holds a stretch")
    visitor = _EvalDurationImpl(dt)
    value = duration.accept(visitor)
    if visitor.in_cycles():
        return float(duration_in_dt(value, 1.0)), "dt"
    return value, "s"


def duration_table(
    target: Target | None, durations: InstructionDurations | None, dt: float | None,
    unit_dt: bool | None = None,
) -> dict[str, dict[tuple[int, ...], float]]:
    """Durations by operation name and qubits; the key ``()`` holds for any qubits."""
    if unit_dt is None:
        unit_dt = dt is not None
    table: dict[str, dict[tuple[int, ...], float]] = {}

    def add(name, qargs, value, unit):
        what = f"{name} on qubits {list(qargs)}" if qargs else f"{name} (on any qubits)"
        try:
            length = to_unit(value, unit, dt, unit_dt)
        except (TypeError, ValueError, OverflowError) as error:
            raise TranspilerError(f"The duration of {what} is {value}: {error}") from error
        table.setdefault(name, {})[qargs] = checked(length, what, unit_dt)

    if target is not None:
        for name in target.operation_names:
            for qargs, props in target[name].items():
                if props is not None and props.duration is not None:
                    add(name, tuple(qargs or ()), props.duration, "s")
    else:
        for name, (value, unit) in durations.duration_by_name.items():
            add(name, (), value, unit)
        for (name, qargs), (value, unit) in durations.duration_by_name_qubits.items():
            add(name, tuple(qargs), value, unit)
    table["barrier"] = {(): 0.0}
    return table

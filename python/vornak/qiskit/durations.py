"""Operation durations in the pass's unit: dt where there is a dt, else nanoseconds."""

from __future__ import annotations

from qiskit.circuit.duration import duration_in_dt
from qiskit.transpiler import InstructionDurations, Target
from qiskit.transpiler.exceptions import TranspilerError

UNIT_SECONDS = {"s": 1.0, "ms": 1e-3, "us": 1e-6, "ns": 1e-9, "ps": 1e-12}


def to_unit(value: float, unit: str, dt: float | None) -> float:
    """A duration in the pass's unit: dt when there is a dt, else ns."""
    if unit == "dt":
        if dt is None:
            raise TranspilerError("A duration is given in dt, but there is no dt.")
        return float(value)
    seconds = value * UNIT_SECONDS[unit]
    if dt is not None:
        return float(duration_in_dt(seconds, dt))
    # Whole picoseconds: seconds times 1e9 carries float noise into every delay.
    return round(seconds * 1e12) / 1e3


def duration_table(
    target: Target | None, durations: InstructionDurations | None, dt: float | None
) -> dict[str, dict[tuple[int, ...], float]]:
    """Durations by operation name and qubits; the key ``()`` holds for any qubits."""
    table: dict[str, dict[tuple[int, ...], float]] = {}
    if target is not None:
        for name in target.operation_names:
            for qargs, props in target[name].items():
                if props is not None and props.duration is not None:
                    table.setdefault(name, {})[tuple(qargs or ())] = to_unit(
                        props.duration, "s", dt
                    )
    else:
        for name, (value, unit) in durations.duration_by_name.items():
            table.setdefault(name, {})[()] = to_unit(value, unit, dt)
        for (name, qargs), (value, unit) in durations.duration_by_name_qubits.items():
            table.setdefault(name, {})[tuple(qargs)] = to_unit(value, unit, dt)
    table["barrier"] = {(): 0.0}
    return table

"""The checks of the pass's arguments: each refuses a bad value with a TranspilerError that
names the argument and the value."""

from __future__ import annotations

import math
from collections.abc import Iterable
from numbers import Integral, Real

from qiskit.transpiler import CouplingMap, Target
from qiskit.transpiler.exceptions import TranspilerError

from vornak.qiskit.durations import MAX_EXACT_DT


def of_type(value, kind: type, name: str):
    """`value` where it is None or a `kind`, else a TranspilerError naming the argument."""
    if value is not None and not isinstance(value, kind):
        shown = repr(value)
        shown = shown if len(shown) <= 60 else shown[:57] + "..."
        raise TranspilerError(
            f"{name} must be None or a {kind.__name__}, not {type(value).__name__} ({shown})"
        )
    return value


def whole_number(value, what: str) -> int:
    """`value` as an int where it is a whole number (not a bool), else a TranspilerError."""
    if isinstance(value, bool) or not isinstance(value, Real):
        raise TranspilerError(f"{what} must be a whole number, not {value!r}")
    if isinstance(value, Integral):
        return int(value)
    if not math.isfinite(value) or not float(value).is_integer():
        raise TranspilerError(f"{what} must be a whole number, not {value!r}")
    return int(value)


def _outside(index: int, width: int | None) -> bool:
    return index < 0 or (width is not None and index >= width)


def _span(width: int | None) -> str:
    return f"0 to {width - 1}" if width is not None else ">= 0"


def qubit_list(qubits, width: int | None, what: str) -> list[int]:
    """Physical qubit indices, each a whole number in [0, width) where the width is known."""
    if isinstance(qubits, str) or not isinstance(qubits, Iterable):
        raise TranspilerError(f"{what} must be a list of qubit indices, not {qubits!r}")
    found = []
    for q in qubits:
        index = whole_number(q, f"a qubit index in {what}")
        if _outside(index, width):
            raise TranspilerError(f"{what} names qubit {q!r}, but qubits are {_span(width)}")
        found.append(index)
    return found


def coupling_pairs(coupling_map, width: int | None,
                   where: str = "the target") -> list[tuple[int, int]]:
    """The coupled pairs of a `coupling_map` argument (a CouplingMap or pairs of qubit
    indices), each qubit in [0, width), the qubits of `where`, where the width is known."""
    if isinstance(coupling_map, CouplingMap):
        pairs = [(int(a), int(b)) for a, b in coupling_map.get_edges()]
    elif isinstance(coupling_map, str) or not isinstance(coupling_map, Iterable):
        raise TranspilerError(
            f"coupling_map must be a CouplingMap or a list of qubit pairs, not {coupling_map!r}"
        )
    else:
        pairs = []
        for pair in coupling_map:
            if (isinstance(pair, str) or not isinstance(pair, Iterable)
                    or len(pair := tuple(pair)) != 2):
                raise TranspilerError(f"coupling_map holds {pair!r}, not a pair of qubit indices")
            a, b = qubit_list(pair, None, "coupling_map")
            pairs.append((a, b))
    for a, b in pairs:
        if _outside(a, width) or _outside(b, width):
            raise TranspilerError(
                f"coupling_map pairs qubits ({a}, {b}), but the qubits of {where} are "
                f"{_span(width)}"
            )
    return pairs


def alignment(name: str, value, target: Target | None, unit_dt: bool) -> int:
    """An alignment in dt: the given one (refused without a dt), else the target's, else 1.

    At most 2**53 dt: times are doubles, whole numbers of dt only up to there.
    """
    if value is not None:
        if not unit_dt:
            raise TranspilerError(
                f"{name}={value!r} is a number of dt, but the durations have no dt: times "
                "are in ns and cannot be aligned to it"
            )
        value = whole_number(value, name)
    else:
        value = whole_number((getattr(target, name, None) if target is not None else None) or 1,
                             f"the target's {name}")
    if value < 1:
        raise TranspilerError(f"{name} must be a positive number of dt, not {value}")
    if value > MAX_EXACT_DT:
        raise TranspilerError(
            f"{name}={value} dt is beyond 2**53 dt, where times (doubles) stop being exact "
            "whole numbers of dt"
        )
    return value

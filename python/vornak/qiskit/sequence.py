"""What the pass needs to know of a DD sequence: its phase, and how the native writer emits it."""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
from qiskit.circuit import Gate
from qiskit.transpiler.exceptions import TranspilerError


def identity_phase(sequence: Sequence[Gate]) -> float:
    """The phase φ of a sequence whose product is e^{iφ}·I; refuses any other sequence."""
    product = np.eye(2, dtype=complex)
    for gate in sequence:
        try:
            matrix = np.asarray(gate.to_matrix(), dtype=complex)
        except Exception as error:  # unbound parameters, no matrix
            raise TranspilerError(
                f"The DD sequence {[g.name for g in sequence]} has no matrix: {error}"
            ) from error
        product = matrix @ product
    phase = complex(product[0, 0])
    if abs(abs(phase) - 1) > 1e-9 or not np.allclose(product, phase * np.eye(2), atol=1e-9):
        raise TranspilerError(
            f"The DD sequence {[g.name for g in sequence]} is not the identity "
            "up to a global phase."
        )
    angle = float(np.angle(phase))
    return 0.0 if abs(angle) < 1e-12 else angle


def native_pulse(gate: Gate):
    """(standard gate number, parameters) where the native writer can emit the gate.

    A subclass of a standard gate (a pulse gate of the user's, say) is not one: the native
    writer would emit the plain standard gate in its place.
    """
    standard = getattr(gate, "_standard_gate", None)
    if standard is None or gate.label is not None or gate.base_class is not standard.gate_class:
        return None
    try:
        params = tuple(float(p) for p in gate.params)
    except TypeError:
        return None
    return (int(standard), params)



"""Dynamical decoupling for Qiskit circuits, planned by the vornak core.

:class:`DynamicalDecoupling` is a transpiler pass (DAGCircuit in, DAGCircuit out) that
schedules a physical circuit (as late as possible by default), decides in native code
which idle gaps get a DD sequence and when each pulse runs, and returns the circuit with the
pulses inserted and every idle stretch filled with a ``Delay``. The scheduling-stage plugin ``vornak_dd`` runs it from ``transpile``::

    transpile(circuit, backend, scheduling_method="vornak_dd")

:func:`pad` does the same for one circuit or a list of them in one call, without a
PassManager: ``pad(circuits, target=backend.target)``. :func:`pad_program` pads every item of
a samplomatic or qiskit-ibm-runtime ``QuantumProgram`` (the templates that
``samplomatic.build`` returns, dynamic circuits too), where the runtime's own
``dynamical_decoupling`` option would run its pass.
"""

from __future__ import annotations

try:
    import numpy  # noqa: F401
    import qiskit  # noqa: F401
except ImportError as error:
    raise ImportError(
        f"vornak.qiskit needs Qiskit ({error}); install it with: pip install 'vornak[qiskit]'"
    ) from error

from vornak.qiskit.dynamical_decoupling import DynamicalDecoupling
from vornak.qiskit.pad import pad
from vornak.qiskit.program import pad_program

__all__ = ["DynamicalDecoupling", "pad", "pad_program"]

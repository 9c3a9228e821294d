"""vornak: the dynamical-decoupling core of the ``_vornak`` module, for compiler frameworks.

``vornak.qiskit`` (with the ``qiskit`` extra) brings it to Qiskit as a transpiler pass and a
scheduling-stage plugin.
"""

__all__: list[str] = []

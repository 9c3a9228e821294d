"""Your own Qiskit circuit, transpiled for a device and padded with DD sequences.

    python examples/pad_circuit.py
"""
from qiskit import QuantumCircuit, transpile
from qiskit.providers.fake_provider import GenericBackendV2

from qiskit_adapter import pad_with_dd   # examples/qiskit_adapter.py

backend = GenericBackendV2(num_qubits=5, seed=1)   # a simulated device: its Target has durations
target = backend.target

circuit = QuantumCircuit(4)
circuit.h(0)
for q in range(3):
    circuit.cx(q, q + 1)
circuit.measure_all()

mapped = transpile(circuit, target=target, seed_transpiler=1)
padded, props = pad_with_dd(mapped, target, placement="start")
print(dict(padded.count_ops()))
print(props["dd_sequences_inserted"], "DD sequences inserted,", props["dd_sequences_dropped"], "dropped")
print(padded.draw(output="text", fold=-1, idle_wires=False))

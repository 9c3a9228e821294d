"""Your own Qiskit circuit, transpiled for a device and padded with DD pulses.

    python examples/pad_circuit.py
"""
import sys

from qiskit import QuantumCircuit, transpile
from qiskit.providers.fake_provider import GenericBackendV2

from qiskit_adapter import pad_with_dd   # examples/qiskit_adapter.py

sys.stdout.reconfigure(line_buffering=True)  # in order with the module's progress lines

backend = GenericBackendV2(num_qubits=5, seed=1)   # a simulated device: its Target has durations
target = backend.target

circuit = QuantumCircuit(4)
circuit.h(0)
for q in range(3):
    circuit.cx(q, q + 1)
circuit.measure_all()

mapped = transpile(circuit, target=target, seed_transpiler=1)
padded, graph = pad_with_dd(mapped, target, coupling=target.build_coupling_map().get_edges(),
                            pulse_ns={q: 35.5 for q in range(target.num_qubits)})
print(dict(padded.count_ops()))
print(padded.draw(output="text", fold=-1, idle_wires=False))

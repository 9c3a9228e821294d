"""A small end-to-end run: load a circuit, schedule it, insert DD pulses, read it back."""

import sys
from collections import Counter

from _vornak import QuantumDAG

# The module writes its progress lines straight to the process's standard output;
# flush ours line by line so that both appear in order.
sys.stdout.reconfigure(line_buffering=True)

# A five-qubit circuit on a line of coupled qubits: a GHZ state, prepared from qubit 0
# outwards, so the far qubits sit idle while the entanglement travels along the line.
NUM_QUBITS = 5
COUPLING = [(q, q + 1) for q in range(NUM_QUBITS - 1)]
instructions = [("h", [0], 50.0, {})]
instructions += [("rz", [q], 0.0, {"theta": 0.25 * q}) for q in range(NUM_QUBITS)]
instructions += [("cx", [q, q + 1], 300.0, {}) for q in range(NUM_QUBITS - 1)]
instructions += [("measure", [q], 1000.0, {}) for q in range(NUM_QUBITS)]

dag = QuantumDAG()
dag.build_from_ir(instructions)
dag.set_coupling_map(COUPLING)
dag.build_schedule()

print(f"\nCircuit: {dag.node_count()} operations on {NUM_QUBITS} qubits")
last = max(dag.get_node_schedule(i)[1] for i in range(dag.node_count()))
print(f"Duration: {last:.0f} ns")
print("Idle windows of at least 150 ns (qubit, from, to):")
for qubit, start, end in sorted(dag.find_idle_windows(150.0)):
    print(f"  q{qubit}: {start:7.1f} -> {end:7.1f} ns")

optimized = dag.apply_dd_pass("XY4", {q: 40.0 for q in range(NUM_QUBITS)}, NUM_QUBITS)

nodes = optimized.get_all_nodes()
counts = Counter(name for name, *_ in nodes)
print(f"\nAfter the DD pass: {len(nodes)} operations")
for name, count in sorted(counts.items()):
    print(f"  {name:8} x{count}")
print("Optimized circuit (name, qubits, duration):")
for name, qubits, duration, params in nodes:
    extra = f"  {params}" if params else ""
    print(f"  {name:8} {qubits!s:8} {duration:6.1f} ns{extra}")

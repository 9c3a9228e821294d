"""The worked example of the core API page (docs/apidocs/_vornak.md): build, schedule,
inspect, pad with DD pulses, read back."""
from _vornak import QuantumDAG

dag = QuantumDAG()
dag.build_from_ir([                      # (name, qubits, duration_ns, params)
    ("x", [0], 50.0, {}),
    ("x", [1], 400.0, {}),
    ("cx", [0, 1], 300.0, {}),
    ("rz", [1], 0.0, {"theta": 0.5}),
])
dag.set_coupling_map([(0, 1)])           # coupled pairs, stored both ways
dag.build_schedule()                     # as-soon-as-possible times, in ns
print("cx runs over", dag.get_node_schedule(2))
print("idle windows:", dag.find_idle_windows(100.0))

padded = dag.apply_dd_pass("XY", {0: 50.0, 1: 50.0}, num_qubits=2)
print(padded.node_count(), "operations; the source still has", dag.node_count())
for node in padded.get_all_nodes():
    print(node)

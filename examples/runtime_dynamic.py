"""A dynamic circuit (mid-circuit measurement, feed-forward) through SamplerV2, padded by vornak.

    python examples/runtime_dynamic.py

The runtime's own DD refuses circuits with control flow, so these get no DD from the
primitives. pad() pads them under the block model of IBM's dynamic-circuit hardware. On a
device, the default (around_control_flow="stretch") gives the qubits that wait out an
if_else a sequence whose delays are stretches, which the device solves at run time. Aer
cannot simulate a delay of a stretch, so for local testing mode the example pads with
around_control_flow="widen" (the waiting qubits go into the bodies, padded there).

Local mode (qiskit-aer with the backend's memoryless noise model: no detuning, no ZZ) shows
that the sampler takes the padded circuit and that the feed-forward still works; it does not
show what DD gains on a device.
"""
import warnings

from qiskit import QuantumCircuit
from qiskit.transpiler import generate_preset_pass_manager
from qiskit_ibm_runtime import SamplerV2
from qiskit_ibm_runtime.fake_provider import FakeManilaV2

from vornak.qiskit import pad

warnings.filterwarnings("ignore", category=DeprecationWarning)  # SamplerV2 (see the docs)
warnings.filterwarnings("ignore", message=".*no effect in local testing mode")

backend = FakeManilaV2()
pm = generate_preset_pass_manager(optimization_level=1, backend=backend, seed_transpiler=1)

# q0 and q1 share a Bell pair; q0 is measured and, if it read 1, q2 is flipped, so that the
# cx from q1 leaves q2 in 0: the second bit is 0 on every shot (up to noise).
circuit = QuantumCircuit(3, 2)
circuit.h(0)
circuit.cx(0, 1)
circuit.measure(0, 0)
with circuit.if_test((circuit.clbits[0], 1)):
    circuit.x(2)
circuit.cx(1, 2)
circuit.measure(2, 1)
isa = pm.run(circuit)

sampler = SamplerV2(mode=backend)
sampler.options.dynamical_decoupling.enable = True
try:
    sampler.run([isa])
except Exception as error:  # the runtime's DD: not with control flow
    print("runtime DD:", type(error).__name__)
sampler.options.dynamical_decoupling.enable = False

for_device = pad(isa, target=backend.target)
print("stretches for the device:", for_device.num_stretches)
for_local = pad(isa, target=backend.target, around_control_flow="widen")
print("pulses for local mode:", sum(
    block.count_ops().get("x", 0) for i in for_local.data if i.operation.name == "if_else"
    for block in i.operation.blocks) + for_local.count_ops().get("x", 0))

sampler.options.default_shots = 400
sampler.options.simulator.seed_simulator = 7
counts = sampler.run([for_local]).result()[0].data.c.get_counts()
second = sum(n for bits, n in counts.items() if bits[0] == "0") / sum(counts.values())
first = sum(n for bits, n in counts.items() if bits[1] == "1") / sum(counts.values())
print(f"first bit 1 in {first:.2f} of the shots, second bit 0 in {second:.2f}")

"""The Executor on a twirled program whose templates vornak has padded.

    python examples/runtime_executor.py

The circuit is boxed in the post_scheduling stage of a preset pass manager (as samplomatic
documents it), built into a template and a samplex, put into a QuantumProgram, and every item
padded with pad_program(): the place where the runtime's own dynamical_decoupling option
would run its pass. Pulses go into the template, never into a twirled box: samplomatic merges
the single-qubit gates of a box into its dressing, so a pulse there would lose its timing.

Runs in local testing mode (qiskit-aer simulating the fake backend with its memoryless noise
model: no detuning, no ZZ): it shows that the Executor takes the padded program and that its
results are right, not what DD gains on a device.
"""
import numpy as np
from qiskit import QuantumCircuit
from qiskit.transpiler import generate_preset_pass_manager
from qiskit_ibm_runtime import Executor, QuantumProgram
from qiskit_ibm_runtime.fake_provider import FakeManilaV2
from samplomatic import build
from samplomatic.transpiler import generate_boxing_pass_manager

from vornak.qiskit import pad_program

backend = FakeManilaV2()
pm = generate_preset_pass_manager(optimization_level=1, backend=backend, seed_transpiler=1)
pm.post_scheduling = generate_boxing_pass_manager(twirling_strategy="active")

ghz = QuantumCircuit(3)
ghz.h(0)
ghz.cx(0, 1)
for _ in range(7):  # an odd number of cx: one, in effect; qubit 0 waits meanwhile
    ghz.cx(1, 2)
    ghz.barrier(1, 2)
ghz.measure_all()

template, samplex = build(pm.run(ghz))
program = QuantumProgram(shots=100)
program.append_samplex_item(template, samplex, shape=(8,))  # 8 randomisations
padded = pad_program(program, target=backend.target)

before, after = program.items[0].circuit, padded.items[0].circuit
print("pulses added:", after.count_ops()["x"] - before.count_ops().get("x", 0))
print("parameters kept:", list(after.parameters) == list(before.parameters))
labels = [i.operation.label for i in after.data if i.operation.label]
print("labelled barriers kept:", labels == [i.operation.label for i in before.data
                                             if i.operation.label])

executor = Executor(backend)
executor.options.simulator.seed_simulator = 7
result = executor.run(padded).result()[0]
bits = result["meas"] ^ result["measurement_flips.meas"]  # undo the measurement twirl
print("result shape (randomisations, shots, bits):", bits.shape)
share = np.mean(np.all(bits == bits[..., :1], axis=-1))
print(f"000 or 111 in {share:.2f} of the shots")

"""The Qiskit pass on a device snapshot: the README's example, then a simulated fidelity
comparison with Qiskit's own PadDynamicalDecoupling on one circuit, and their times.

    .venv/bin/python examples/qiskit_demo.py     # from the top of the tree; `make demo` runs it

Needs qiskit-ibm-runtime (its FakeSherbrooke, a 127-qubit snapshot) and mqt.bench (the circuit);
the simulator is bench/fidelity.py's, whose docstring gives the noise model and its sources.
"""

import pathlib
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

print("The README's example: a 5-qubit GHZ circuit on FakeSherbrooke, padded three ways")
# --- the README's example, as it stands there ---
from qiskit import QuantumCircuit, transpile
from qiskit.transpiler import PassManager
from qiskit_ibm_runtime.fake_provider import FakeSherbrooke
from vornak.qiskit import DynamicalDecoupling, pad

backend = FakeSherbrooke()
circuit = QuantumCircuit(5)
circuit.h(0)
for q in range(4):
    circuit.cx(q, q + 1)
circuit.measure_all()
transpiled = transpile(circuit, backend, seed_transpiler=1)

pm = PassManager([DynamicalDecoupling(target=backend.target)])
padded = pm.run(transpiled)
print(dict(padded.count_ops()))
print(pm.property_set["dd_sequences_inserted"], "sequences inserted,",
      pm.property_set["dd_sequences_dropped"], "dropped; duration",
      padded.estimate_duration(backend.target, unit="dt"), "dt, as before:",
      transpiled.estimate_duration(backend.target, unit="dt"))

same = transpile(circuit, backend, seed_transpiler=1, scheduling_method="vornak_dd")
print(dict(same.count_ops()) == dict(padded.count_ops()))

one_call = pad(transpiled, target=backend.target)  # or a list of circuits
print(one_call == padded, len(one_call.op_start_times) == len(padded.data))
# --- end of the README's example ---

from bench import fidelity  # noqa: E402 (after the example, which stands alone)

CIRCUIT = ("qft", 6)
REALISATIONS = 100
STRATEGIES = {"no DD": "no DD", "Qiskit ALAP": "Qiskit PadDynamicalDecoupling, ALAP, X-X",
              "ours": "vornak.qiskit.DynamicalDecoupling, defaults"}
print(f"\nSimulated fidelity of mqt.bench's {fidelity.circuit_label(*CIRCUIT)} on {backend.name}, "
      f"{REALISATIONS} realisations")
print("(quasi-static detuning of 2π·20 kHz and static ZZ of 2π·30-100 kHz per edge; then also "
      "the snapshot's T1, T2 and x errors on every pulse)")
results, qubits, seconds = fidelity.evaluate_circuit(
    *CIRCUIT, backend, REALISATIONS, log=lambda *_: None, noises=fidelity.NOISES[:2],
    strategies=tuple(STRATEGIES))
print(f"{qubits} active qubits, {seconds * 1e6:.1f} µs")
print(f"  {'strategy':44s} {'detuning+ZZ':>11s} {'+T1/T2':>7s} {'pulses':>6s} {'pass time':>9s}")
for name, title in STRATEGIES.items():
    result = results[name]
    print(f"  {title:44s} {result.fidelity:11.3f} {result.fidelity_decay:7.3f} "
          f"{result.pulses:6d} {result.seconds * 1e3:6.1f} ms")

# pad() on the same circuit, best of 5 runs.
circuit = fidelity.transpiled(*CIRCUIT, backend.target)
times = []
for _ in range(5):
    started = time.perf_counter()
    pad(circuit, target=backend.target)
    times.append(time.perf_counter() - started)
print(f"  {'vornak.qiskit.pad, the same padding in one call':44s} {'':27s}{min(times) * 1e3:6.1f} ms")
print("(pass time: the best of 3 PassManager runs; no DD is Qiskit's ASAP analysis and PadDelay)")
print("\nThe core module's demo follows (examples/demo.py).")

"""SamplerV2 and EstimatorV2 on circuits padded by vornak, the runtime's own DD left off.

    python examples/runtime_primitives.py

Runs in qiskit-ibm-runtime's local testing mode: the fake backend is simulated by qiskit-aer,
with the noise model Aer builds from the backend's properties. That noise is memoryless
(depolarising gate errors, T1/T2 relaxation on gates and delays): no detuning, no ZZ, nothing
that a DD sequence refocuses. Local mode shows that the primitives take the padded circuits
and that the results are what the circuit computes; it says nothing about DD's benefit.
"""
import warnings

from qiskit import QuantumCircuit
from qiskit.quantum_info import SparsePauliOp
from qiskit.transpiler import generate_preset_pass_manager
from qiskit_ibm_runtime import EstimatorV2, SamplerV2
from qiskit_ibm_runtime.fake_provider import FakeManilaV2

from vornak.qiskit import pad

# SamplerV2 and EstimatorV2 are deprecated in favour of the executor-based primitives
# (qiskit_ibm_runtime.executor_sampler.Sampler), which take the same padded circuits.
warnings.filterwarnings("ignore", category=DeprecationWarning)
# Local mode says that the runtime's DD option does nothing there: ours is in the circuit.
warnings.filterwarnings("ignore", message=".*no effect in local testing mode")

backend = FakeManilaV2()
pm = generate_preset_pass_manager(optimization_level=1, backend=backend, seed_transpiler=1)

# A GHZ state whose first qubit waits while the others work: an idle stretch to decouple.
ghz = QuantumCircuit(3)
ghz.h(0)
ghz.cx(0, 1)
for _ in range(7):  # an odd number of cx: one, in effect (barriers keep them all)
    ghz.cx(1, 2)
    ghz.barrier(1, 2)
measured = ghz.measure_all(inplace=False)

isa_measured = pm.run(measured)
isa_ghz = pm.run(ghz)
padded_measured = pad(isa_measured, target=backend.target)
padded_ghz = pad(isa_ghz, target=backend.target)
print("pulses added:", padded_measured.count_ops()["x"] - isa_measured.count_ops().get("x", 0))

sampler = SamplerV2(mode=backend)
sampler.options.dynamical_decoupling.enable = False  # the circuit carries its own DD
sampler.options.default_shots = 400
sampler.options.simulator.seed_simulator = 7
counts = sampler.run([padded_measured]).result()[0].data.meas.get_counts()
share = (counts.get("000", 0) + counts.get("111", 0)) / sum(counts.values())
print(f"sampler: 000 or 111 in {share:.2f} of the shots")

# A padded circuit has no layout: map the observables with the ISA circuit's.
observables = [SparsePauliOp(p).apply_layout(isa_ghz.layout) for p in ("ZZI", "IZZ", "XXX")]
estimator = EstimatorV2(mode=backend)
estimator.options.dynamical_decoupling.enable = False
estimator.options.default_shots = 2000
estimator.options.simulator.seed_simulator = 7
values = estimator.run([(padded_ghz, observables)]).result()[0].data.evs
print("estimator: <ZZI> <IZZ> <XXX> =", " ".join(f"{v:.2f}" for v in values))

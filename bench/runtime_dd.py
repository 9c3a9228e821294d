"""pad() on labelled and parameterised circuits, and against the runtime's DD on a template.

    python bench/runtime_dd.py            # the circuits below, 7 interleaved repeats
    python bench/runtime_dd.py --repeats 3

1. mqt.bench's QFT-50 transpiled for FakeSherbrooke (optimization level 1, seed 1), as
   bench/qiskit_pass.py makes it, and the same circuit with a label on every seventh ``sx``:
   ``pad(c, target=t)`` on each. Qiskit's C API carries no labels; pad() finds them in one
   pass and puts them back on the native writer's output by position.
2. A samplomatic template (labelled L/M/R barriers, one parameter per dressing angle): a
   layered CZ circuit on 40 qubits of FakeFez (ten layers of a brickwork, ``rx(θ_k)`` after
   each), boxed by ``generate_boxing_pass_manager()`` (Pauli twirling, the
   ``active_circuit`` strategy) and built. ``pad(template, target=t)`` with our defaults
   and with X-X spread (the runtime's XX) against qiskit-ibm-runtime's
   ``generate_dd_pass_manager(backend, DynamicalDecouplingOptions()).run(template)``, the
   pass manager that ``sampler.options.dynamical_decoupling.enable = True`` runs on every
   item of the program.

Before anything is timed, every output of pad() is held equal (``==``, with its labels,
parameters and global phase) to what our pass gives through a PassManager. Times are the
median and the best of the repeats, the jobs interleaved within each repeat. The machine
the figures come from is shared: read the ratios, not the absolute times.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from bench.qiskit_pass import mqt_circuit  # noqa: E402


def labelled(circuit, every=7):
    """A copy of `circuit` with a label on every `every`-th sx."""
    out = circuit.copy()
    data = out._data
    seen = 0
    for position, instruction in enumerate(circuit.data):
        if instruction.operation.name == "sx":
            seen += 1
            if seen % every == 0:
                op = instruction.operation.to_mutable()
                op.label = f"sx{seen}"
                data[position] = instruction.replace(operation=op)
    return out


def template(num_qubits=40, layers=10):
    from qiskit import QuantumCircuit, transpile
    from qiskit.circuit import ParameterVector
    from qiskit_ibm_runtime.fake_provider import FakeFez
    from samplomatic import build
    from samplomatic.transpiler import generate_boxing_pass_manager

    backend = FakeFez()
    theta = ParameterVector("θ", layers)
    qc = QuantumCircuit(num_qubits)
    qc.h(range(num_qubits))
    for layer in range(layers):
        for q in range(layer % 2, num_qubits - 1, 2):
            qc.cz(q, q + 1)
        qc.rx(theta[layer], range(0, num_qubits, 3))
    qc.measure_all()
    isa = transpile(qc, backend, optimization_level=1, seed_transpiler=1)
    built, _ = build(generate_boxing_pass_manager().run(isa))
    return built, backend


def check_equal(circuit, target, **options):
    """pad()'s output against our pass through a PassManager: the same circuit, labels,
    parameters and global phase."""
    from qiskit.transpiler import PassManager

    from vornak.qiskit import DynamicalDecoupling, pad

    ours = pad(circuit, target=target, **options)
    reference = PassManager([DynamicalDecoupling(target=target, **options)]).run(circuit)

    def labels(c):
        return [(i.operation.name, i.operation.label) for i in c.data if i.operation.label]

    assert ours == reference and ours.global_phase == reference.global_phase
    assert sorted(labels(ours)) == sorted(labels(reference)) == sorted(labels(circuit))
    assert list(ours.parameters) == list(circuit.parameters)


def timed(jobs, repeats):
    """{name: [seconds]}, the jobs interleaved within each repeat."""
    times = {name: [] for name in jobs}
    for _ in range(repeats):
        for name, job in jobs.items():
            start = time.perf_counter()
            job()
            times[name].append(time.perf_counter() - start)
    return times


def show(title, times, baseline):
    print(f"\n{title}")
    base = statistics.median(times[baseline])
    for name, values in times.items():
        median = statistics.median(values)
        print(f"  {name:48s} median {median * 1e3:9.1f} ms  best {min(values) * 1e3:9.1f} ms"
              f"  {median / base:6.2f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()

    from qiskit.circuit.library import XGate
    from qiskit_ibm_runtime.executor.dynamical_decoupling import generate_dd_pass_manager
    from qiskit_ibm_runtime.options_models.dynamical_decoupling import (
        DynamicalDecouplingOptions,
    )

    from vornak.qiskit import pad

    qft, target = mqt_circuit("qft", 50)
    qft_labelled = labelled(qft)
    count = sum(1 for i in qft_labelled.data if i.operation.label)
    check_equal(qft_labelled, target)
    times = timed({
        "pad(QFT-50)": lambda: pad(qft, target=target),
        f"pad(QFT-50, {count} labelled sx)": lambda: pad(qft_labelled, target=target),
    }, args.repeats)
    show(f"QFT-50 on FakeSherbrooke, {len(qft.data)} instructions", times, "pad(QFT-50)")

    built, backend = template()
    xx = {"dd_sequence": [XGate(), XGate()], "placement": "spread"}
    check_equal(built, backend.target)
    check_equal(built, backend.target, **xx)
    runtime = generate_dd_pass_manager(backend, DynamicalDecouplingOptions(enable=True))
    barriers = sum(1 for i in built.data if i.operation.label)
    times = timed({
        "runtime generate_dd_pass_manager(...).run": lambda: runtime.run(built),
        "pad(template) (defaults: walsh)": lambda: pad(built, target=backend.target),
        "pad(template, X-X spread)": lambda: pad(built, target=backend.target, **xx),
    }, args.repeats)
    show(f"Template on FakeFez: {len(built.data)} instructions, {barriers} labelled barriers, "
         f"{built.num_parameters} parameters", times,
         "runtime generate_dd_pass_manager(...).run")


if __name__ == "__main__":
    main()

"""Writes the OpenQASM 2 files of this folder (see README.md here for what each one is).

    python examples/circuits/make_circuits.py            # qft_6.qasm, qv_5.qasm
    python examples/circuits/make_circuits.py --bench    # dj_6.qasm too (needs mqt.bench)

Each circuit is decomposed to the gates of qelib1.inc (u3, cx) plus measurement, so that
`qiskit.qasm2` reads it back without custom definitions.
"""

import argparse
import pathlib

from qiskit import QuantumCircuit, qasm2, transpile
from qiskit.circuit.library import QFTGate, quantum_volume

HERE = pathlib.Path(__file__).resolve().parent
BASIS = ["u3", "cx", "measure"]


def write(name, circuit, how):
    flat = transpile(circuit, basis_gates=BASIS, optimization_level=0, seed_transpiler=0)
    text = f"// {how}\n" + qasm2.dumps(flat) + "\n"
    (HERE / name).write_text(text)
    print(f"{name}: {flat.num_qubits} qubits, {flat.size()} operations")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bench", action="store_true", help="also write dj_6.qasm with mqt.bench")
    args = parser.parse_args()

    qft = QuantumCircuit(6)
    qft.h(range(6))                       # a non-trivial input state
    qft.append(QFTGate(6), range(6))
    qft.measure_all()
    write("qft_6.qasm", qft, "6-qubit quantum Fourier transform on |+>^6, qiskit QFTGate(6)")

    qv = QuantumCircuit(5)
    qv.compose(quantum_volume(5, seed=11), inplace=True)
    qv.measure_all()
    write("qv_5.qasm", qv, "5-qubit quantum-volume model circuit, qiskit quantum_volume(5, seed=11)")

    if args.bench:
        from mqt.bench import BenchmarkLevel, get_benchmark
        dj = get_benchmark("dj", BenchmarkLevel.INDEP, 6)
        write("dj_6.qasm", dj, "6-qubit Deutsch-Jozsa, mqt.bench get_benchmark('dj', INDEP, 6)")


if __name__ == "__main__":
    main()

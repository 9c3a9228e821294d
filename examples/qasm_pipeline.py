"""OpenQASM 2 files through Qiskit's transpiler and the DD pass, on a 127-qubit heavy-hex device.

    python examples/qasm_pipeline.py                         # every file in examples/circuits/
    python examples/qasm_pipeline.py examples/circuits/qv_5.qasm --device line --show
    python examples/qasm_pipeline.py --out /tmp/padded       # also writes the padded circuits

Each file is read with `qiskit.qasm2`, transpiled for a device (a Qiskit `Target`: gate set
rz, sx, x, ecr and measure, with a duration for every gate on every qubit or coupled pair),
converted to the instruction list by examples/instruction_list.py, scheduled and padded
with DD pulses, and converted back into a `QuantumCircuit` with DD_X/DD_Y gates.

The devices: "heavy-hex" is the 127-qubit heavy-hexagon lattice of bench/workloads.py;
"line" is a line as long as the widest circuit given. Durations: sx and x 35.5 ns, rz 0 ns
(a frame change), measure 1200 ns, and ecr 400 to 800 ns, drawn once per coupled pair from
a fixed seed, as in the benchmark workloads. A DD pulse on a qubit lasts as long as that
qubit's x gate. The crosstalk check looks at every qubit of the device.
"""

import argparse
import pathlib
import random
import sys
from collections import Counter

from qiskit import qasm2, transpile
from qiskit.circuit import Measure, Parameter
from qiskit.circuit.library import ECRGate, RZGate, SXGate, XGate
from qiskit.transpiler import InstructionProperties, Target

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))  # for bench.workloads, when run as a script

from bench.workloads import heavy_hex  # noqa: E402
from instruction_list import DD_NAMES, pad_with_dd  # noqa: E402

X_NS = 35.5
MEASURE_NS = 1200.0


def device_target(edges, num_qubits, seed=0):
    """A Target over `num_qubits` qubits coupled by `edges` (pairs, one direction each)."""
    rng = random.Random(seed)
    target = Target(num_qubits=num_qubits, description=f"{num_qubits}-qubit example device")
    one = lambda ns: {(q,): InstructionProperties(duration=ns * 1e-9) for q in range(num_qubits)}
    target.add_instruction(RZGate(Parameter("theta")), one(0.0))
    target.add_instruction(SXGate(), one(X_NS))
    target.add_instruction(XGate(), one(X_NS))
    ecr = {}
    for a, b in edges:
        ns = float(rng.randrange(400, 801, 20))
        ecr[(a, b)] = ecr[(b, a)] = InstructionProperties(duration=ns * 1e-9)
    target.add_instruction(ECRGate(), ecr)
    target.add_instruction(Measure(), one(MEASURE_NS))
    return target


def make_device(kind, width):
    if kind == "heavy-hex":
        return device_target(heavy_hex(), 127)
    return device_target([(q, q + 1) for q in range(width - 1)], width)


def run(path, target, sequence="XY", seed=1):
    """Loads, transpiles and pads one file; returns (transpiled, padded circuit, padded graph)."""
    circuit = qasm2.load(path, custom_instructions=qasm2.LEGACY_CUSTOM_INSTRUCTIONS)
    mapped = transpile(circuit, target=target, optimization_level=1, seed_transpiler=seed)
    coupling = target.build_coupling_map().get_edges()
    pulse_ns = {q: X_NS for q in range(target.num_qubits)}
    padded, graph = pad_with_dd(mapped, target, coupling=coupling, sequence=sequence,
                                pulse_ns=pulse_ns, num_qubits=target.num_qubits)
    return mapped, padded, graph


def summary(path, mapped, padded, graph):
    """One paragraph about one file: size, length, idle time and what the pass added."""
    used = sorted({mapped.find_bit(q).index for inst in mapped.data for q in inst.qubits})
    pulses = Counter(name for name, *_ in graph.get_all_nodes() if name in DD_NAMES)
    per_qubit = Counter(q for name, qubits, *_ in graph.get_all_nodes() if name in DD_NAMES
                        for q in qubits)
    return (f"{path.name}: {mapped.size()} operations on {len(used)} physical qubits "
            f"{used[:8]}{' ...' if len(used) > 8 else ''}\n"
            f"  after the DD pass: {padded.size()} operations, "
            f"{pulses['DD_X']} DD_X and {pulses['DD_Y']} DD_Y pulses on "
            f"{len(per_qubit)} qubits {dict(sorted(per_qubit.items()))}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("files", nargs="*", type=pathlib.Path,
                        default=sorted((HERE / "circuits").glob("*.qasm")))
    parser.add_argument("--device", choices=("heavy-hex", "line"), default="heavy-hex")
    parser.add_argument("--sequence", choices=("XY", "XY4"), default="XY")
    parser.add_argument("--show", action="store_true", help="draw each padded circuit")
    parser.add_argument("--out", type=pathlib.Path, help="write <name>.dd.qasm files here")
    args = parser.parse_args(argv)
    sys.stdout.reconfigure(line_buffering=True)  # in order with the module's progress lines

    width = max(qasm2.load(f, custom_instructions=qasm2.LEGACY_CUSTOM_INSTRUCTIONS).num_qubits
                for f in args.files)
    target = make_device(args.device, width)
    print(f"Device: {target.description}, "
          f"{len(target.build_coupling_map().get_edges()) // 2} coupled pairs")
    for path in args.files:
        print(f"\n== {path}")
        mapped, padded, graph = run(path, target, args.sequence)
        print(summary(path, mapped, padded, graph))
        if args.show:
            print(padded.draw(output="text", fold=-1, idle_wires=False))
        if args.out:
            args.out.mkdir(parents=True, exist_ok=True)
            out = args.out / f"{path.stem}.dd.qasm"
            out.write_text(qasm2.dumps(padded) + "\n")
            print(f"  written to {out}")


if __name__ == "__main__":
    main()

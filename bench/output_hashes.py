"""One hash per benchmark circuit, option set and path over what the pass writes.

    python bench/output_hashes.py --out hashes.txt          # save
    python bench/output_hashes.py --compare hashes.txt      # exit 1 on any difference
    python bench/output_hashes.py --circuits qft-50 --large # a subset; layered-1000000 too

A change that must not alter behaviour is checked by saving the hashes before it and
comparing after. The circuits are those of bench/qiskit_pass.py (layered-10000 and
layered-100000 on the heavy-hex target, qft-50 and qaoa-30 for FakeSherbrooke; with
``--large`` also layered-1000000), bench/dd_modes.py (its modes on those circuits) and the
dynamic ones of bench/dynamic_speed.py (qaoa-ff-10, qaoa-ff-20, rep13x20). The option sets
are the pass's defaults, bench/qiskit_pass.py's (X-X, spread, ASAP) and bench/dd_modes.py's
modes; the dynamic circuits run with the defaults and with X-X. Each runs on two paths:
``vornak.qiskit.pad(circuit, target=t, **options)`` and
``PassManager([DynamicalDecoupling(target=t, **options)]).run(circuit)``.

A hash covers, in the order of ``data``: each instruction's name, qubit and clbit indices,
parameters (floats as exact hex, nested blocks of control flow recursively, everything else
by ``repr``) and control-flow condition; then ``op_start_times`` (exact), ``count_ops`` and
the global phase (exact).
"""

import argparse
import hashlib
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent))

STATIC = ("layered-10000", "layered-100000", "qft-50", "qaoa-30")
LARGE = ("layered-1000000",)
DYNAMIC = ("qaoa-ff-10", "qaoa-ff-20", "rep13x20")


def option_sets(dynamic):
    """{name: options} run on each circuit."""
    from qiskit.circuit.library import XGate

    def xx():
        return [XGate(), XGate()]

    if dynamic:
        return {"default": lambda: {}, "X-X": lambda: {"dd_sequence": xx()}}
    import dd_modes
    import qiskit_pass

    sets = {"default": lambda: {}, "qiskit_pass": qiskit_pass.our_options}
    for name, mode in dd_modes.MODES.items():
        sets["dd_modes " + name] = lambda mode=mode: {"dd_sequence": xx(), **mode}
    return sets


def value_text(value):
    """A stable, exact text of an instruction parameter or phase."""
    from qiskit.circuit import QuantumCircuit

    if isinstance(value, float):
        return value.hex()
    if isinstance(value, QuantumCircuit):
        return "block:" + circuit_text(value)
    if isinstance(value, (list, tuple)):
        return "[" + ",".join(value_text(v) for v in value) + "]"
    return repr(value)


def circuit_text(circuit):
    """The instructions, start times, counts and phase of `circuit` as one string's digest."""
    digest = hashlib.sha256()
    qubit = {q: i for i, q in enumerate(circuit.qubits)}
    clbit = {c: i for i, c in enumerate(circuit.clbits)}
    for item in circuit.data:
        op = item.operation
        parts = [op.name, ",".join(str(qubit[q]) for q in item.qubits),
                 ",".join(str(clbit[c]) for c in item.clbits),
                 ";".join(value_text(p) for p in op.params)]
        condition = getattr(op, "condition", None)
        if condition is not None:
            parts.append(repr(condition))
        digest.update(("|".join(parts) + "\n").encode())
    times = getattr(circuit, "op_start_times", None) if circuit.data else None
    digest.update(("times:" + ",".join(value_text(t) for t in (times or ())) + "\n").encode())
    digest.update(("ops:" + repr(sorted(circuit.count_ops().items())) + "\n").encode())
    digest.update(("phase:" + value_text(circuit.global_phase) + "\n").encode())
    return digest.hexdigest()


def circuits(keys):
    """(key, circuit, target) of each key, built as the benchmarks build them."""
    import qiskit_pass

    for key in keys:
        if key in DYNAMIC or key.startswith(("qaoa-ff-", "rep")):
            import dynamic_speed
            from qiskit_ibm_runtime.fake_provider import FakeSherbrooke

            target = FakeSherbrooke().target
            yield key, dynamic_speed.build(key, target), target, True
        else:
            circuit, target = qiskit_pass.make_circuit(key)
            yield key, circuit, target, False


def hashes(keys):
    """{(circuit, options, path): hash}, printed as they come."""
    from qiskit.transpiler import PassManager

    from vornak.qiskit import DynamicalDecoupling, pad

    out = {}
    for key, circuit, target, dynamic in circuits(keys):
        for name, options in option_sets(dynamic).items():
            for path in ("pad", "pass"):
                if path == "pad":
                    result = pad(circuit, target=target, **options())
                else:
                    result = PassManager(
                        [DynamicalDecoupling(target=target, **options())]).run(circuit)
                line = f"{key} | {name} | {path}"
                out[line] = circuit_text(result)
                print(f"{line}: {out[line]}", flush=True)
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--circuits", nargs="+", metavar="KEY")
    parser.add_argument("--large", action="store_true", help="also layered-1000000")
    parser.add_argument("--out", help="write the hashes to this file")
    parser.add_argument("--compare", help="compare with the hashes saved in this file")
    args = parser.parse_args()
    keys = args.circuits or list(STATIC) + list(DYNAMIC)
    if args.large and not args.circuits:
        keys += list(LARGE)
    found = hashes(keys)
    text = "".join(f"{line}: {digest}\n" for line, digest in found.items())
    if args.out:
        Path(args.out).write_text(text)
    if args.compare:
        saved = dict(line.rsplit(": ", 1) for line in Path(args.compare).read_text().splitlines())
        differ = [line for line, digest in found.items() if saved.get(line) != digest]
        missing = [line for line in saved if line not in found] if not args.circuits else []
        for line in differ:
            print(f"DIFFERS: {line} (saved {saved.get(line, 'none')})")
        for line in missing:
            print(f"NOT RUN: {line}")
        if differ or missing:
            return 1
        print(f"all {len(found)} hashes equal")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Times each stage of the pipeline on a large random circuit.

    python bench/run.py [--gates N] [--qubits Q] [--repeat R]

Prints seconds per stage (best of R runs), the rate per gate, and the process's peak
resident memory. The progress lines of the module go to standard output as usual; send
them elsewhere with `> /dev/null` and read the table from standard error.
"""

import argparse
import gc
import random
import resource
import sys
import time

from _vornak import QuantumDAG


def make_circuit(gates, qubits, seed=1):
    rng = random.Random(seed)
    names = ["h", "x", "sx", "rz", "cx", "ecr", "measure"]
    durations = {"h": 35.0, "x": 35.0, "sx": 35.0, "rz": 0.0, "cx": 300.0, "ecr": 450.0,
                 "measure": 1200.0}
    circuit = []
    for _ in range(gates):
        name = rng.choice(names)
        if name in ("cx", "ecr"):
            a = rng.randrange(qubits - 1)
            qs = [a, a + 1]
        else:
            qs = [rng.randrange(qubits)]
        params = {"theta": rng.random()} if name == "rz" else {}
        circuit.append((name, qs, durations[name], params))
    return circuit


def timed(label, fn, repeat, rows, gates):
    best = float("inf")
    result = None
    for _ in range(repeat):
        result = None
        gc.collect()
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    rows.append((label, best, best / gates * 1e9))
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gates", type=int, default=1_000_000)
    parser.add_argument("--qubits", type=int, default=127)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    circuit = make_circuit(args.gates, args.qubits)
    coupling = [(q, q + 1) for q in range(args.qubits - 1)]
    rows = []

    def ingest():
        dag = QuantumDAG()
        dag.build_from_ir(circuit)
        return dag

    dag = timed("build_from_ir", ingest, args.repeat, rows, args.gates)
    dag.set_coupling_map(coupling)
    timed("build_schedule", dag.build_schedule, args.repeat, rows, args.gates)
    timed("find_idle_windows", lambda: dag.find_idle_windows(100.0), args.repeat, rows, args.gates)
    timed("apply_dd_pass", lambda: dag.apply_dd_pass("XY4"), args.repeat, rows, args.gates)
    timed("apply_dd_pass crosstalk",
          lambda: dag.apply_dd_pass("XY4", None, args.qubits), args.repeat, rows, args.gates)
    timed("get_all_nodes", dag.get_all_nodes, args.repeat, rows, args.gates)

    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    out = sys.stderr
    print(f"{args.gates} gates on {args.qubits} qubits, best of {args.repeat}", file=out)
    print(f"{'stage':26}{'seconds':>10}{'ns/gate':>10}", file=out)
    for label, seconds, per_gate in rows:
        print(f"{label:26}{seconds:10.3f}{per_gate:10.1f}", file=out)
    print(f"peak resident memory: {peak:.0f} MiB", file=out)


if __name__ == "__main__":
    main()

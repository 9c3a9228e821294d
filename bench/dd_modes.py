"""What each placement and scheduling of the Qiskit pass costs: pulses and pass time.

    python bench/dd_modes.py                    # QFT-50, QAOA-30, heavy-hex 10^5
    python bench/dd_modes.py --circuits qft-50 --context-aware

Each mode runs as `PassManager([DynamicalDecoupling(target=t, dd_sequence=[XGate(), XGate()],
**mode)]).run(circuit)` on the circuits of bench/qiskit_pass.py (one mode with the pass's
default sequence, whose X̄ pulses are written between rz frame changes); pulses are the x
gates added; the time is the best of
--repeats runs. With --context-aware, Qiskit's `ALAPScheduleAnalysis` +
`ContextAwareDynamicalDecoupling` runs once on each circuit beside them (it takes tens of
seconds on QFT-50). What each mode buys in fidelity is bench/fidelity.py's question.
"""

import argparse
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import qiskit_pass  # noqa: E402

MODES = {
    "default (walsh, alap), X-X": {},
    "default sequence (X, X̄, X̄, X)": {"dd_sequence": None},
    "walsh, asap": {"placement": "walsh", "scheduling": "asap"},
    "spread, alap": {"placement": "spread", "scheduling": "alap"},
    "spread, asap": {"placement": "spread", "scheduling": "asap"},
    "start, asap": {"placement": "start", "scheduling": "asap"},
}


def best_of(repeats, run):
    best, out = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        out = run()
        best = min(best, time.perf_counter() - start)
    return best, out


def pulses(circuit, out):
    return out.count_ops().get("x", 0) - circuit.count_ops().get("x", 0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--circuits", nargs="+", default=["qft-50", "qaoa-30", "layered-100000"],
                        metavar="KEY", help="layered-GATES, qft-N or qaoa-N")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--context-aware", action="store_true",
                        help="also time Qiskit's context-aware pass once per circuit")
    args = parser.parse_args()

    from qiskit.transpiler import PassManager

    from vornak.qiskit import DynamicalDecoupling

    print("| circuit | mode | pulses | pass time, ms |\n|---|---|---:|---:|")
    for key in args.circuits:
        circuit, target = qiskit_pass.make_circuit(key)
        for name, mode in MODES.items():
            options = {"dd_sequence": qiskit_pass.sequence(), **mode}
            seconds, out = best_of(args.repeats, lambda: PassManager([DynamicalDecoupling(
                target=target, **options)]).run(circuit))
            print(f"| {key} | {name} | {pulses(circuit, out)} | {seconds * 1e3:.1f} |", flush=True)
        if args.context_aware:
            from qiskit.transpiler.passes import (ALAPScheduleAnalysis,
                                                  ContextAwareDynamicalDecoupling)

            seconds, out = best_of(1, lambda: PassManager([
                ALAPScheduleAnalysis(target=target),
                ContextAwareDynamicalDecoupling(target=target)]).run(circuit))
            print(f"| {key} | Qiskit context-aware | {pulses(circuit, out)} | "
                  f"{seconds * 1e3:.1f} |", flush=True)


if __name__ == "__main__":
    main()

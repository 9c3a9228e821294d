"""Pass time on dynamic circuits: ours (PassManager and pad) against qiskit-ibm-runtime's pass.

    .venv/bin/python -m bench.dynamic_speed [--smoke] [--peer-timeout S] [--no-peer]
        [--python-padder] [--circuits KEY ...] [--out FILE]

Circuits, transpiled for FakeSherbrooke along a line of qubits (optimisation level 1, seed 1):
mqt.bench's QAOA on 10 and 20 qubits repeated three times, each round ending in two
mid-circuit measurements, a feed-forward ``x`` and a reset; and 20 rounds of syndrome
extraction of a 13-data-qubit repetition code (25 qubits), with feed-forward corrections and
ancilla resets. The runtime's pass is ``ALAPScheduleAnalysis`` + ``PadDynamicalDecoupling``
with X-X; it runs in a subprocess with a time limit, since it grows faster than quadratically.
Best of `repeats` runs for ours, one run for the runtime's. ``--python-padder`` pads every
block in Python (the path the native one replaced), for a comparison on the same machine;
``--circuits rep13x40 rep13x80`` and the like show how the time grows with the rounds.
"""

from __future__ import annotations

import argparse
import multiprocessing
import sys
import time

CIRCUITS = ("qaoa-ff-10", "qaoa-ff-20", "rep13x20")
SMOKE = ("qaoa-ff-4",)
PEER_TIMEOUT_S = 900.0


def build(key, target):
    from bench import dynamic_circuits as dc

    if key.startswith("qaoa-ff-"):
        logical = dc.qaoa_feed_forward(int(key.rsplit("-", 1)[1]))
    elif key.startswith("rep"):
        distance, rounds = key[3:].split("x")
        logical = dc.syndrome_rounds(int(distance), int(rounds))
    else:
        raise KeyError(key)
    return dc.transpiled(logical, target)


def _best(fn, repeats):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def time_ours(circuit, target, repeats):
    from qiskit.transpiler import PassManager

    from vornak.qiskit import DynamicalDecoupling, pad

    through_pass = _best(
        lambda: PassManager([DynamicalDecoupling(target=target)]).run(circuit), repeats)
    one_call = _best(lambda: pad(circuit, target=target), repeats)
    return through_pass, one_call


def _runtime_once(key, queue):
    from qiskit.circuit.library import XGate
    from qiskit.transpiler import PassManager
    from qiskit_ibm_runtime.fake_provider import FakeSherbrooke
    from qiskit_ibm_runtime.transpiler.passes.scheduling import (
        ALAPScheduleAnalysis,
        PadDynamicalDecoupling,
    )

    target = FakeSherbrooke().target
    circuit = build(key, target)
    manager = PassManager([ALAPScheduleAnalysis(target=target),
                           PadDynamicalDecoupling(target=target,
                                                  dd_sequences=[XGate(), XGate()])])
    start = time.perf_counter()
    try:
        manager.run(circuit)
    except Exception as error:  # the runtime's pass fails on some circuits
        queue.put(f"{type(error).__name__}: {str(error)[:80]}")
        return
    queue.put(time.perf_counter() - start)


def time_runtime(key, timeout):
    """Seconds of the runtime's pass, or why there is none."""
    context = multiprocessing.get_context("spawn")
    queue = context.Queue()
    process = context.Process(target=_runtime_once, args=(key, queue))
    process.start()
    process.join(timeout)
    if process.is_alive():
        process.terminate()
        process.join()
        return f"over {timeout:.0f} s (stopped)"
    return queue.get() if not queue.empty() else "no result"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--circuits", nargs="*")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--peer-timeout", type=float, default=PEER_TIMEOUT_S)
    parser.add_argument("--no-peer", action="store_true")
    parser.add_argument("--python-padder", action="store_true")
    parser.add_argument("--out")
    args = parser.parse_args(argv)
    if args.python_padder:
        import vornak.qiskit.dynamic as dynamic

        dynamic.pad_native = lambda *args: None  # every circuit the Python way
    from qiskit_ibm_runtime.fake_provider import FakeSherbrooke

    target = FakeSherbrooke().target
    keys = args.circuits or (SMOKE if args.smoke else CIRCUITS)
    rows = []
    for key in keys:
        circuit = build(key, target)
        through_pass, one_call = time_ours(circuit, target, args.repeats)
        peer = "not run" if args.no_peer else time_runtime(key, args.peer_timeout)
        rows.append((key, len(circuit.data), circuit.num_qubits, through_pass, one_call, peer))
        print(key, rows[-1][1:], file=sys.stderr, flush=True)
    lines = [
        "## Dynamic circuits",
        "",
        f"`python -m bench.dynamic_speed {' '.join(argv or sys.argv[1:])}`. Seconds; ours "
        f"best of {args.repeats}, the runtime's pass one run.",
        "",
        "| circuit | instructions | our pass (PassManager) | pad() | runtime's pass | "
        "runtime / pass | runtime / pad() |",
        "|---|---|---|---|---|---|---|",
    ]
    for key, size, _, through_pass, one_call, peer in rows:
        if isinstance(peer, float):
            ratios = f"{peer / through_pass:.0f}x | {peer / one_call:.0f}x"
            peer_text = f"{peer:.2f}"
        else:
            ratios = "n/a | n/a"
            peer_text = peer
        lines.append(f"| {key} | {size} | {through_pass:.4f} | {one_call:.4f} | {peer_text} | "
                     f"{ratios} |")
    text = "\n".join(lines)
    print(text)
    if args.out:
        with open(args.out, "w") as handle:
            handle.write(text + "\n")
    return rows


if __name__ == "__main__":
    main()

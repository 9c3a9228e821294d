"""The benchmark suite: times every stage of the pipeline, its floors and the peer.

    python bench/run.py            # 10^4, 10^5 and 10^6 gates; writes results.md and
                                   # results.png, which docs/benchmarks/speed.md shows
    python bench/run.py --huge     # also 10^7 gates
    python bench/run.py --smoke    # 10^4 gates, few repeats, no peer, no plot, no files
    python bench/run.py --gates N  # other sizes, no files

Workloads are layered circuits on the 127-qubit heavy-hex lattice (bench/workloads.py). Each
operation is timed on its own, with garbage collection off and the module's progress lines
sent to /dev/null; the suite reports the minimum and the median over the repeats, the
memory probes of bench/memory.py, and every performance target with its measured ratio.
"""

import argparse
import gc
import sys
import time
from pathlib import Path

from _vornak import QuantumDAG

import floors
import memory
import peer
import report
import workloads
from silence import stdout_to_devnull

SIZES = (10**4, 10**5, 10**6)
HUGE = 10**7
REPEATS = {10**4: 15, 10**5: 7, 10**6: 5, 10**7: 3}
PEER_REPEATS = 3
PEER_LARGEST = 10**5  # above this the peer takes minutes per run
SEED = 1
MIN_GAP_NS = 100.0
SEQUENCE = "XY4"
HERE = Path(__file__).resolve().parent


def measure(fn, repeats, setup=None):
    """Calls fn(setup()) `repeats` times; returns the nanoseconds of each call.

    The setup and the release of each result are left out of the times."""
    times = []
    for _ in range(repeats):
        arg = setup() if setup is not None else None
        gc.disable()
        start = time.perf_counter_ns()
        result = fn(arg)
        times.append(time.perf_counter_ns() - start)
        gc.enable()
        del result, arg
    return times


def add_each(dag, instructions):
    add = dag.add_gate
    for name, qubits, duration, params in instructions:
        add(name, qubits, duration, params)


def time_size(gates, repeats, floor, with_peer, log):
    """Times every operation on a circuit of `gates` gates: {operation: [ns, ...]}, notes."""
    instructions = workloads.layered_circuit(gates, SEED)
    edges = workloads.heavy_hex()
    pulses = workloads.pulse_durations()

    def ingested():
        dag = QuantumDAG()
        dag.build_from_ir(instructions)
        return dag

    def pipeline(_):
        dag = ingested()
        dag.set_coupling_map(edges)
        dag.build_schedule()
        return dag.apply_dd_pass(SEQUENCE, pulses, workloads.NUM_QUBITS).get_all_nodes()

    scheduled = ingested()
    scheduled.set_coupling_map(edges)
    scheduled.build_schedule()
    result = scheduled.apply_dd_pass(SEQUENCE, pulses, workloads.NUM_QUBITS)
    exported = result.get_all_nodes()
    table = floor.prepare(exported)
    if floor.build(table) != exported:
        raise RuntimeError("the build floor does not make what get_all_nodes returns")
    notes = {"pulses": len(exported) - gates}
    del exported  # the table holds the same content; at 10^7 gates the list takes gigabytes

    operations = {
        "build_from_ir": (lambda dag: dag.build_from_ir(instructions), QuantumDAG),
        "add_gate loop": (lambda dag: add_each(dag, instructions), QuantumDAG),
        "build_schedule": (lambda _: scheduled.build_schedule(), None),
        "find_idle_windows": (lambda _: scheduled.find_idle_windows(MIN_GAP_NS), None),
        "apply_dd_pass": (
            lambda _: scheduled.apply_dd_pass(SEQUENCE, pulses, workloads.NUM_QUBITS), None),
        "get_all_nodes": (lambda _: result.get_all_nodes(), None),
        "pipeline": (pipeline, None),
        "walk floor": (lambda _: floor.walk(instructions), None),
        "build floor": (lambda _: floor.build(table), None),
    }
    # Everything made so far lives to the end: keep the collector from walking it.
    gc.collect()
    gc.freeze()
    times = {}
    try:
        for name, (fn, setup) in operations.items():
            log(f"{gates:>9} gates: {name}")
            times[name] = measure(fn, repeats, setup)
        if with_peer:
            log(f"{gates:>9} gates: Qiskit pipeline")
            circuit, run = peer.qiskit_job(instructions, pulses, workloads.NUM_QUBITS)
            outputs = []  # kept, so that no output is released inside a timed call
            times[report.PEER] = measure(lambda _: outputs.append(run(circuit)),
                                         min(repeats, PEER_REPEATS))
            notes["peer_pulses"] = peer.pulse_count(outputs[-1])
    finally:
        gc.unfreeze()
    return times, notes


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--huge", action="store_true", help="also time 10^7 gates")
    mode.add_argument("--smoke", action="store_true",
                      help="10^4 gates, 3 repeats, no peer, no plot, no files written")
    mode.add_argument("--gates", type=int, nargs="+", metavar="N",
                      help="time these sizes instead, write no files")
    parser.add_argument("--repeats", type=int, help="repeats per operation and size")
    parser.add_argument("--no-peer", action="store_true", help="leave out the Qiskit pipeline")
    args = parser.parse_args()

    def log(text):
        if not args.smoke:
            print(text, file=sys.stderr, flush=True)

    standard = not (args.smoke or args.gates)  # the run whose results are kept
    if args.smoke:
        sizes = SIZES[:1]
    elif args.gates:
        sizes = sorted(set(args.gates))
    else:
        sizes = SIZES + ((HUGE,) if args.huge else ())
    with_peer = not (args.smoke or args.no_peer) and peer.available()
    if not (args.smoke or args.no_peer or with_peer):
        log("qiskit is not installed: the peer is left out (pip install '.[bench]')")
    floor = floors.load()

    times, notes = {}, {}
    with stdout_to_devnull():
        for gates in sizes:
            repeats = args.repeats or (3 if args.smoke else REPEATS.get(gates, 3))
            by_operation, notes[gates] = time_size(
                gates, repeats, floor, with_peer and gates <= PEER_LARGEST, log)
            for name, values in by_operation.items():
                times.setdefault(name, {})[gates] = values

    log("memory probes")
    core_sizes = (10**6, HUGE) if standard else sizes[-1:]
    peak_sizes = tuple(s for s in sizes if s >= 10**6) if standard else sizes[-1:]
    mem = {
        "core": [memory.probe("core", gates) for gates in core_sizes],
        "pipeline": [memory.probe("pipeline", gates) for gates in peak_sizes],
    }

    text = report.markdown(times, notes, mem, peer_skipped_above=PEER_LARGEST if with_peer else 0,
                           peer_missing=not with_peer and not (args.smoke or args.no_peer))
    print(text)
    if standard:
        (HERE / "results.md").write_text(text)
        log(f"wrote {HERE / 'results.md'}")
        try:
            report.plot(times, HERE / "results.png")
            log(f"wrote {HERE / 'results.png'}")
        except ImportError:
            log("matplotlib is not installed: no plot (pip install '.[bench]')")


if __name__ == "__main__":
    main()

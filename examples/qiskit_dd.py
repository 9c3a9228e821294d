"""A benchmark circuit transpiled for a 127-qubit IBM device and padded by vornak.qiskit.

    python examples/qiskit_dd.py                          # GHZ on 12 qubits: a summary
    python examples/qiskit_dd.py -o docs/qiskit_timeline.png
    python examples/qiskit_dd.py --circuit qft --qubits 16

The circuit comes from mqt.bench when it is installed, else from qiskit.circuit.library;
the device is qiskit-ibm-runtime's FakeSherbrooke (a snapshot of a 127-qubit Eagle
device), or, without that package, a 127-qubit GenericBackendV2. The transpiled circuit
goes through `DynamicalDecoupling` twice, with placement="spread" and placement="start",
and the program prints what each run did: the operations it added, the DD sequences it
inserted and dropped (from the property set) and the circuit's duration.

With -o it draws the operations of each qubit in use over time: the input as Qiskit's
ASAPScheduleAnalysis schedules it, then the two padded circuits at the start times the pass
records in `property_set["node_start_time"]`. Every operation of the input keeps its start
time; the operations a padded circuit has beyond those (matched by name, qubits and start
time) are the DD pulses, drawn in red.
"""

import argparse
import pathlib
import sys
from collections import Counter, defaultdict

from qiskit import QuantumCircuit, transpile
from qiskit.transpiler import PassManager
from qiskit.transpiler.passes import ASAPScheduleAnalysis

from vornak.qiskit import DynamicalDecoupling

PLACEMENTS = ("spread", "start")
SKIPPED = ("delay", "barrier")  # idle time and zero-length directives: not drawn


def device():
    """(backend, its name): FakeSherbrooke, else a generic 127-qubit device."""
    try:
        from qiskit_ibm_runtime.fake_provider import FakeSherbrooke
    except ImportError:
        from qiskit.providers.fake_provider import GenericBackendV2
        return GenericBackendV2(num_qubits=127, basis_gates=["ecr", "id", "rz", "sx", "x"],
                                seed=1), "GenericBackendV2(127)"
    return FakeSherbrooke(), "FakeSherbrooke"


def benchmark_circuit(name, num_qubits):
    """(circuit, where it came from): mqt.bench's algorithm-level circuit, else Qiskit's."""
    try:
        from mqt.bench import BenchmarkLevel, get_benchmark
    except ImportError:
        pass
    else:
        return get_benchmark(name, BenchmarkLevel.ALG, num_qubits), "mqt.bench"
    circuit = QuantumCircuit(num_qubits, name=name)
    if name == "ghz":
        circuit.h(0)
        for q in range(num_qubits - 1):
            circuit.cx(q, q + 1)
    else:
        from qiskit.circuit.library import QFTGate
        circuit.h(range(num_qubits))
        circuit.append(QFTGate(num_qubits), range(num_qubits))
    circuit.measure_all()
    return circuit, "qiskit.circuit.library"


def pad(circuit, target, placement):
    """(padded circuit, property set) of one DynamicalDecoupling run."""
    # As soon as possible: the timelines compare the output with the input's ASAP schedule.
    pm = PassManager([DynamicalDecoupling(target=target, placement=placement,
                                          scheduling="asap")])
    padded = pm.run(circuit)
    return padded, pm.property_set


def schedule(circuit, start_times, target):
    """The circuit's operations as (name, qubits, start, end) in dt, delays and barriers left out."""
    ops = []
    for node, start in start_times.items():
        if node.op.name in SKIPPED:
            continue
        qubits = [circuit.find_bit(q).index for q in node.qargs]
        duration = target.durations().get(node.op, qubits, unit="dt")
        ops.append((node.op.name, qubits, start, start + duration))
    return sorted(ops, key=lambda op: (op[2], op[1]))


def asap(circuit, target):
    """Qiskit's own as-soon-as-possible start times of `circuit`."""
    pm = PassManager([ASAPScheduleAnalysis(target=target)])
    pm.run(circuit)
    return pm.property_set["node_start_time"]


def split_pulses(before, after):
    """The operations of `after` that `before` lacks (same name, qubits and start): the pulses."""
    left = Counter((name, tuple(qubits), start) for name, qubits, start, _ in before)
    pulses = []
    for name, qubits, start, end in after:
        key = (name, tuple(qubits), start)
        if left[key]:
            left[key] -= 1
        else:
            pulses.append((name, qubits, start, end))
    if +left:
        raise RuntimeError(f"operations of the input moved or vanished: {sorted(+left)[:3]}")
    return pulses


def summary(padded, props, input_counts, target, placement):
    counts = padded.count_ops()
    added = {name: counts[name] - input_counts.get(name, 0) for name in counts
             if counts[name] != input_counts.get(name, 0)}
    length = props["node_start_time"]
    dt = target.dt
    duration = padded.estimate_duration(target, unit="dt")
    return (f'placement="{placement}": {props["dd_sequences_inserted"]} DD sequences inserted, '
            f'{props["dd_sequences_dropped"]} dropped; added {dict(sorted(added.items()))}; '
            f"{len(length)} operations with start times ({props['time_unit']}); duration "
            f"{duration:.0f} dt = {duration * dt * 1e6:.3f} us")


def draw(panels, path, dt, xlim=None):
    """Stacked timelines, one per (title, operations, pulses, gaps), in the style of timeline.py."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch

    from timeline import COLOURS, _draw  # examples/timeline.py: the same bars and colours

    qubits = sorted({q for _, ops, _, _ in panels for _, qs, *_ in ops for q in qs})
    row = {q: i for i, q in enumerate(qubits)}
    us = dt * 1e6

    def rows(ops, pulse_keys=frozenset()):
        out = []
        for name, qs, start, end in ops:
            if (name, tuple(qs), start) in pulse_keys:
                name = "DD_Y" if name == "y" else "DD_X"  # drawn as a pulse
            out.append((name, [row[q] for q in qs], start * us, end * us))
        return out

    fig, axes = plt.subplots(len(panels), 1, figsize=(12, 1.2 + 0.26 * len(qubits) * len(panels)),
                             sharex=True, sharey=True, dpi=100)
    for ax, (title, ops, pulses, gaps) in zip(axes, panels):
        keys = {(name, tuple(qs), start) for name, qs, start, _ in pulses}
        windows = [(row[q], a * us, b * us) for q, a, b in gaps]
        _draw(ax, rows(ops, keys), title, windows)
    axes[-1].set_xlabel("time (µs)")
    axes[-1].set_yticks(range(len(qubits)), [str(q) for q in qubits])
    axes[-1].invert_yaxis()  # shared y: inverts every panel
    for ax in axes:
        ax.set_ylabel("physical qubit")
        ax.tick_params(axis="y", labelsize=7)
    if xlim:
        axes[-1].set_xlim(*xlim)
    pulse_names = {name for _, _, pulses, _ in panels for name, *_ in pulses}
    legend = [Patch(color=COLOURS[k], label=label) for k, label in
              (("1q", "1-qubit gate"), ("2q", "2-qubit gate"), ("measure", "measure"),
               ("DD_X", "DD pulse (x)"), ("DD_Y", "DD pulse (y)"),
               ("idle", "idle gap that gets a sequence"))
              if k not in ("DD_X", "DD_Y") or {"DD_X": "x", "DD_Y": "y"}[k] in pulse_names]
    fig.legend(handles=legend, loc="upper center", ncol=len(legend), fontsize=8, frameon=False)
    fig.tight_layout(rect=(0, 0, 1, 0.97))
    fig.savefig(path)
    plt.close(fig)


def filled_gaps(before, pulses):
    """(qubit, from, to) of each idle gap of the input that holds pulses of a padded circuit."""
    per_qubit = defaultdict(list)
    for _, qubits, start, end in before:
        for q in qubits:
            per_qubit[q].append((start, end))
    gaps = set()
    for _, (q,), start, end in pulses:
        spans = sorted(per_qubit[q])
        previous = max((e for _, e in spans if e <= start), default=0)
        following = min(s for s, _ in spans if s >= end)
        gaps.add((q, previous, following))
    return sorted(gaps)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--circuit", choices=("ghz", "qft"), default="ghz")
    parser.add_argument("--qubits", type=int, default=12)
    parser.add_argument("-o", "--output", type=pathlib.Path, help="draw the timelines here")
    parser.add_argument("--xlim", type=float, nargs=2, metavar=("FROM", "TO"),
                        help="show only this time range (µs)")
    args = parser.parse_args(argv)

    backend, backend_name = device()
    target = backend.target
    circuit, origin = benchmark_circuit(args.circuit, args.qubits)
    transpiled = transpile(circuit, backend, optimization_level=1, seed_transpiler=1)
    before = schedule(transpiled, asap(transpiled, target), target)
    used = sorted({q for _, qubits, *_ in before for q in qubits})
    counts = transpiled.count_ops()
    print(f"{args.circuit} on {args.qubits} qubits ({origin}), transpiled for {backend_name}: "
          f"{sum(counts.values())} operations {dict(counts)} on physical qubits {used}")
    print(f"input duration {transpiled.estimate_duration(target, unit='dt'):.0f} dt "
          f"(dt = {target.dt * 1e9:.3f} ns)")

    panels = [("Input: Qiskit's ASAP schedule of the transpiled circuit", before, [], [])]
    for placement in PLACEMENTS:
        padded, props = pad(transpiled, target, placement)
        print(summary(padded, props, counts, target, placement))
        after = schedule(padded, props["node_start_time"], target)
        pulses = split_pulses(before, after)
        panels.append((f'placement="{placement}": {len(pulses)} pulses in '
                       f'{props["dd_sequences_inserted"]} sequences', after, pulses,
                       filled_gaps(before, pulses)))
    if args.output:
        panels[0] = (*panels[0][:3], panels[1][3])  # shade the gaps that get pulses
        draw(panels, args.output, target.dt, args.xlim)
        print(f"wrote {args.output}")


if __name__ == "__main__":
    main()

"""Draws each qubit's operations over time, before and after the DD pass, as a PNG.

    python examples/timeline.py                       # writes timeline.png
    python examples/timeline.py -o docs/timeline.png --sequence XY4
    python examples/timeline.py --qasm examples/circuits/dj_6.qasm -o dj.png   # needs qiskit

Top panel: the as-soon-as-possible schedule of the circuit (`build_schedule`), with the
idle windows long enough for a pulse sequence shaded. Bottom panel: the same operations at
the same times, and the DD pulses where the pass placed them: each sequence starts where
the qubit's previous operation ended, pulses are 10 ns apart, and a pulse that would
overlap a pulse already placed on a coupled qubit is moved past it.

The graph that `apply_dd_pass` returns keeps no times (its schedule is empty), and
`build_schedule()` on it would pack each sequence back to back at the start of the gap,
which is not where the pass meant the pulses to go. So this program recomputes the pass's
placement from its rules (`place_pulses`) and checks that the operations it finds, in
order, are exactly those of the graph the module returned before it draws anything.
"""

import argparse
import pathlib
import sys
from collections import defaultdict

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.patches import Patch  # noqa: E402

from _vornak import QuantumDAG  # noqa: E402

DEFAULT_PULSE_NS = 50.0
WINDOW_FACTOR = 1.5
SPACING_NS = 10.0
PULSES = {"XY": ("DD_X", "DD_Y"), "XY4": ("DD_X", "DD_Y", "DD_X", "DD_Y")}

COLOURS = {"DD_X": "#d62728", "DD_Y": "#ff7f0e", "1q": "#1f77b4", "2q": "#2ca02c",
           "measure": "#7f7f7f", "idle": "#fff3b0"}


def example_circuit():
    """Five qubits on a line: a GHZ state made from qubit 0 outwards, then measurement.

    The far qubits idle while the entanglement travels along the line. Returns
    (instructions, coupled pairs, number of qubits).
    """
    n = 5
    instructions = [("h", [0], 50.0, {})]
    instructions += [("cx", [q, q + 1], 300.0, {}) for q in range(n - 1)]
    instructions += [("measure", [q], 600.0, {}) for q in range(n)]
    return instructions, [(q, q + 1) for q in range(n - 1)], n


def place_pulses(dag, sequence="XY", pulse_ns=None, num_qubits=0, coupling=()):
    """Where `dag.apply_dd_pass(sequence, pulse_ns, num_qubits)` puts everything.

    `dag` must be scheduled, and `coupling` must hold the pairs given to its
    `set_coupling_map`. Returns (operations, gaps): the result's operations in order as
    (name, qubits, start, end), copies at their source times and pulses at their placed
    times; and the gaps that passed the pass's length test, as (qubit, from, to).
    """
    pulse_ns = pulse_ns or {}
    names = PULSES.get(sequence, PULSES["XY"])
    coupled = {(a, b) for a, b in coupling} | {(b, a) for a, b in coupling}
    nodes = dag.get_all_nodes()
    last_end = {}
    placed = defaultdict(list)  # qubit -> [(start, end)] of its pulses
    out, gaps = [], []
    for node_id, (name, qubits, _duration, _params) in enumerate(nodes):
        times = dag.get_node_schedule(node_id)
        if times is None:
            continue
        start, end = times
        for q in qubits:
            previous = last_end.get(q, 0.0)
            d = pulse_ns.get(q, DEFAULT_PULSE_NS)
            if start - previous >= (len(names) * d) * WINDOW_FACTOR:
                gaps.append((q, previous, start))
                limit = 0.0
                for other in qubits:
                    if last_end.get(other, 0.0) > limit:
                        limit = last_end.get(other, 0.0)
                t = previous
                for pulse in names:
                    t = _after_crosstalk(t, d, q, num_qubits, coupled, placed)
                    if t + d > limit:
                        break
                    out.append((pulse, [q], t, t + d))
                    placed[q].append((t, t + d))
                    t += d + SPACING_NS
            last_end[q] = start
        out.append((name, qubits, start, end))
        for q in qubits:
            last_end[q] = end
    return out, gaps


def _after_crosstalk(t, d, q, num_qubits, coupled, placed):
    """The earliest start from t on that overlaps no pulse on a coupled qubit below num_qubits."""
    moved = True
    while moved:
        moved = False
        for j in range(num_qubits):
            if (q, j) not in coupled:
                continue
            for s, e in placed.get(j, ()):
                if t + d > s and e > t:
                    t, moved = e + SPACING_NS, True
                    break
            if moved:
                break
    return t


def _colour(name, qubits):
    if name in ("DD_X", "DD_Y"):
        return COLOURS[name]
    if name == "measure":
        return COLOURS["measure"]
    return COLOURS["2q"] if len(qubits) > 1 else COLOURS["1q"]


def _draw(ax, operations, title, windows=()):
    for qubit, gap_start, gap_end in windows:
        ax.barh(qubit, gap_end - gap_start, left=gap_start, height=0.9, color=COLOURS["idle"],
                zorder=0)
    span = max((end for *_, end in operations), default=1.0)
    for name, qubits, start, end in operations:
        colour = _colour(name, qubits)
        for q in qubits:
            ax.barh(q, max(end - start, span / 800), left=start, height=0.6, color=colour,
                    edgecolor="black", linewidth=0.4, zorder=2)
            if end - start > span / 25 and name not in ("DD_X", "DD_Y"):
                ax.text((start + end) / 2, q, name, ha="center", va="center", fontsize=8,
                        color="white", zorder=3, clip_on=True)
        if len(qubits) > 1:
            ax.plot([start + (end - start) / 2] * 2, [min(qubits), max(qubits)], color=colour,
                    linewidth=1.5, zorder=1)
    ax.set_title(title, fontsize=10, loc="left")
    ax.set_ylabel("qubit")
    ax.grid(axis="x", linestyle=":", linewidth=0.5)


def draw_timeline(instructions, coupling, num_qubits, path, sequence="XY", pulse_ns=None,
                  xlim=None):
    """Runs the pass on `instructions` and writes the two-panel picture to `path`.

    Returns the placed operations (see `place_pulses`).
    """
    dag = QuantumDAG()
    dag.build_from_ir(instructions)
    dag.set_coupling_map(list(coupling))
    dag.build_schedule()
    result = dag.apply_dd_pass(sequence, pulse_ns, num_qubits)

    after, gaps = place_pulses(dag, sequence, pulse_ns, num_qubits, coupling)
    got = [(name, qubits) for name, qubits, *_ in result.get_all_nodes()]
    if [(name, qubits) for name, qubits, *_ in after] != got:
        raise RuntimeError("the recomputed placement disagrees with the module's result")

    before = [(name, qubits, *dag.get_node_schedule(i))
              for i, (name, qubits, _, _) in enumerate(dag.get_all_nodes())]
    pulses = [op for op in after if op[0] in ("DD_X", "DD_Y")]
    rows = {q for _, qubits, *_ in before for q in qubits}

    fig, (top, bottom) = plt.subplots(2, 1, figsize=(11, 1.1 + 0.9 * len(rows)), sharex=True,
                                      sharey=True, dpi=100)
    _draw(top, before, "Before: as-soon-as-possible schedule; shaded: the idle gaps long "
          "enough for the pulse sequence", gaps)
    _draw(bottom, after, f"After the DD pass ({sequence}): {len(pulses)} pulses, placed from "
          "the start of each gap", gaps)
    bottom.set_xlabel("time (ns)")
    bottom.set_yticks(sorted(rows))
    bottom.invert_yaxis()  # the axes share y: once inverts both
    if xlim:
        bottom.set_xlim(*xlim)
    legend = [Patch(color=COLOURS[k], label=label) for k, label in
              (("1q", "1-qubit gate"), ("2q", "2-qubit gate"), ("measure", "measure"),
               ("DD_X", "DD_X pulse"), ("DD_Y", "DD_Y pulse"), ("idle", "idle gap"))]
    fig.legend(handles=legend, loc="upper center", ncol=len(legend), fontsize=8, frameon=False)
    fig.tight_layout(rect=(0, 0, 1, 0.95))
    fig.savefig(path)
    plt.close(fig)
    return after


def _from_qasm(path):
    """A QASM file transpiled onto a line of qubits, as in qasm_pipeline.py."""
    from qasm_pipeline import X_NS, make_device, run
    from qiskit import qasm2
    from instruction_list import to_instructions

    width = qasm2.load(path, custom_instructions=qasm2.LEGACY_CUSTOM_INSTRUCTIONS).num_qubits
    target = make_device("line", width)
    mapped, _, _ = run(path, target)
    coupling = [(a, b) for a, b in target.build_coupling_map().get_edges() if a < b]
    return (to_instructions(mapped, target), coupling, target.num_qubits,
            {q: X_NS for q in range(target.num_qubits)})


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-o", "--output", type=pathlib.Path, default=pathlib.Path("timeline.png"))
    parser.add_argument("--sequence", choices=tuple(PULSES), default="XY")
    parser.add_argument("--qasm", type=pathlib.Path, help="draw this OpenQASM 2 file instead")
    parser.add_argument("--xlim", type=float, nargs=2, metavar=("FROM", "TO"),
                        help="show only this time range (ns)")
    args = parser.parse_args(argv)
    sys.stdout.reconfigure(line_buffering=True)  # in order with the module's progress lines

    if args.qasm:
        instructions, coupling, num_qubits, pulse_ns = _from_qasm(args.qasm)
    else:
        (instructions, coupling, num_qubits), pulse_ns = example_circuit(), None
    after = draw_timeline(instructions, coupling, num_qubits, args.output, args.sequence,
                          pulse_ns, args.xlim)
    for name, qubits, start, end in after:
        if name in ("DD_X", "DD_Y"):
            print(f"  {name} on q{qubits[0]}: {start:7.1f} -> {end:7.1f} ns")
    print(f"wrote {args.output}")


if __name__ == "__main__":
    main()

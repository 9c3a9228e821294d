"""Fidelity of DD strategies on dynamic circuits, with the branch-following simulator of
``bench/dynamic_sim.py``.

    .venv/bin/python -m bench.dynamic_fidelity [--quick] [--realisations R] [--out FILE]
        [--plot FILE] [--devices NAME ...] [--circuits NAME ...] [--zz fixed|family]

Circuits (``bench/dynamic_circuits.py``) transpiled along a line of qubits of FakeSherbrooke
and FakeTorino; strategies: no DD, qiskit-ibm-runtime's pass (X-X, and staggered by its
``coupling_map``), and ours with each option around control flow. Each realisation samples
the mid-circuit measurements with random numbers keyed by what each writes, so that every
strategy draws the same ones. Its fidelity is that of the qubits that are neither measured
nor reset, against the noiseless run of the unpadded circuit forced to the same outcomes.
Noise: quasi-static detuning and ZZ as in ``bench/fidelity.py``, the ZZ of each edge drawn
per realisation (with one fixed draw, the coherent phases of the few qubits of these circuits
add up or cancel by chance and decide the ranking) in the range of the device's family,
``bench/fidelity.py``'s `device_family`: 30 to 100 kHz on fixed couplers, 2 to 10 kHz on
tunable ones; ``--zz fixed`` puts the fixed couplers' range on every device, a stress test
of a tunable-coupler device whose ZZ is ten times what its family's default says. With
decay, T1/T2 of the snapshot as Pauli jumps and a Pauli error after each x, sx or y at the
snapshot's `x` error beyond the decoherence over the gate's length (which the jumps already
apply; `fidelity.error_beyond_decoherence`). The feed-forward latency is
``dynamic_sim.FEED_FORWARD_S``.
"""

from __future__ import annotations

import argparse
import math
import sys
import time

import numpy as np

from bench import fidelity as fid
from bench.dynamic_sim import FEED_FORWARD_S, Noise, Walk, measured_qubits, run, used_qubits

SEED = fid.SEED
REALISATIONS = 60
QUICK_REALISATIONS = 12


# -- the benchmark ---------------------------------------------------------------------------

DEVICES = ("FakeSherbrooke", "FakeTorino")
NOISE = ("detuning+ZZ", "+T1/T2+pulses")


def _runtime(target, staggered):
    from qiskit.circuit.library import XGate
    from qiskit_ibm_runtime.transpiler.passes.scheduling import (
        ALAPScheduleAnalysis,
        PadDynamicalDecoupling,
    )
    from qiskit.transpiler import PassManager

    coupling = target.build_coupling_map() if staggered else None
    manager = PassManager([
        ALAPScheduleAnalysis(target=target),
        PadDynamicalDecoupling(target=target, dd_sequences=[XGate(), XGate()],
                               coupling_map=coupling),
    ])
    return manager.run


def _ours(target, **options):
    from vornak.qiskit import pad

    return lambda circuit: pad(circuit, target=target, **options)


def strategies(target):
    """name -> a function that pads a transpiled circuit."""
    return {
        "no DD": _ours(target, qubits=[], around_control_flow="idle"),
        "runtime X-X": _runtime(target, False),
        "runtime staggered": _runtime(target, True),
        "ours (walsh, stretch)": _ours(target),
        "ours walsh widen": _ours(target, around_control_flow="widen"),
        "ours walsh idle": _ours(target, around_control_flow="idle"),
        "ours spread stretch": _ours(target, placement="spread"),
    }


def _key_seed(key):
    if key[0] == "reset":
        return [1, int(key[1]), int(key[2])]
    return [0, int(key[0]), int(key[1])]


def _noise(target, used, realisation_detuning, decay, realisation=0, zz_khz=fid.ZZ_KHZ):
    """The noise of one realisation: its detuning row, and a ZZ per edge drawn for it in
    `zz_khz` (a fixed ZZ would make the coherent phases of a few qubits add up or cancel by
    chance)."""
    local = {p: i for i, p in enumerate(used)}
    zz = {}
    edges = target.build_coupling_map().get_edges()
    for (p, q), value in fid.device_zz(edges, seed=(fid.ZZ_SEED, realisation),
                                       khz=zz_khz).items():
        if p in local and q in local:
            zz[tuple(sorted((local[p], local[q])))] = value
    noise = Noise(realisation_detuning, zz)
    if decay:
        props = target.qubit_properties
        noise.t1 = np.array([props[p].t1 for p in used])
        noise.t2 = np.array([props[p].t2 for p in used])
        # As in bench/fidelity.py: the error beyond the decoherence that the T1/T2 decay
        # already applies over the gate's length.
        x = target["x"]
        noise.pulse_error = np.array([
            fid.error_beyond_decoherence(x[(p,)].error or 0.0, x[(p,)].duration or 0.0,
                                         props[p].t1 or math.inf, props[p].t2 or math.inf)
            for p in used])
    return noise


def fidelities(original, padded, target, realisations, decay, scale=1.0, zz_khz=fid.ZZ_KHZ):
    """The fidelity of each realisation of `padded`, against `original` run without noise
    and with the same measurement outcomes; `scale` multiplies the detuning and the ZZ,
    drawn per edge in the range `zz_khz`."""
    used = sorted(used_qubits(original))
    data = [i for i, p in enumerate(used) if p not in measured_qubits(original)]
    durations = target.durations()
    dt = target.dt
    detuning = fid.draw_detuning(realisations, len(used))
    out = []
    for r in range(realisations):
        def sampled(key, p1, r=r):
            u = np.random.default_rng([SEED, r] + _key_seed(key)).random()
            return 1 if u < p1 else 0

        rng = np.random.default_rng([SEED, 7, r])
        noise = _noise(target, used, detuning[r] * scale, decay, r, zz_khz)
        noise.zz = {edge: value * scale for edge, value in noise.zz.items()}
        walk = Walk(used, durations, dt, noise, sampled, rng)
        run(walk, padded)
        end = max(walk.clock)
        walk.advance(range(walk.n), end)
        record = walk.record

        def forced(key, p1, record=record):
            value = record.get(key)
            if value is None or (p1 if value else 1 - p1) < 1e-12:
                return None
            return value

        ideal = Walk(used, durations, dt, outcome=forced)
        run(ideal, original)
        if ideal.failed or walk.failed:
            out.append(0.0)
            continue
        out.append(_data_fidelity(ideal.psi.reshape(-1), walk.psi.reshape(-1), data, len(used)))
    return np.array(out)


def _data_fidelity(ideal, state, data, n):
    """<u|rho_data|u> where the ideal state is u on the `data` qubits times a basis state."""
    rest = [q for q in range(n) if q not in data]
    axes = [n - 1 - q for q in data] + [n - 1 - q for q in rest]  # Qiskit order: q0 last

    def matrix(psi):
        return psi.reshape((2,) * n).transpose(axes).reshape(2 ** len(data), -1)

    ideal_m, state_m = matrix(ideal), matrix(state)
    column = int(np.argmax(np.linalg.norm(ideal_m, axis=0)))
    u = ideal_m[:, column] / np.linalg.norm(ideal_m[:, column])
    return float(np.linalg.norm(np.conj(u) @ state_m) ** 2)


def pulses_added(original, padded):
    """Single-qubit x and y gates the padding added, in every body."""
    from qiskit.circuit import ControlFlowOp

    def count(circuit):
        total = 0
        for instruction in circuit.data:
            operation = instruction.operation
            if isinstance(operation, ControlFlowOp):
                total += sum(count(block) for block in operation.blocks)
            elif operation.name in ("x", "y"):
                total += 1
        return total

    return count(padded) - count(original)


def evaluate_all(circuits, devices, realisations, log=print, zz="family"):
    """{(device, circuit): {strategy: {noise: (mean, stderr), "pulses": n} or the error}};
    `zz`: "family" (each device's own ZZ range) or "fixed" (every device's ZZ in the fixed
    couplers' range)."""
    from qiskit_ibm_runtime import fake_provider

    from bench import dynamic_circuits as dc

    table = {}
    for device in devices:
        target = getattr(fake_provider, device)().target
        zz_khz = fid.device_family(target).zz_khz if zz == "family" else fid.ZZ_KHZ
        for name in circuits:
            original = dc.transpiled(dc.CIRCUITS[name](), target)
            row = {}
            for label, padder in strategies(target).items():
                try:
                    padded = padder(original)
                except Exception as error:  # the runtime's pass fails on some circuits
                    row[label] = f"{type(error).__name__}"
                    log(f"{device} {name} {label}: {type(error).__name__}: {error}")
                    continue
                cell = {"pulses": pulses_added(original, padded)}
                for noise_name, decay in zip(NOISE, (False, True)):
                    values = fidelities(original, padded, target, realisations, decay,
                                        zz_khz=zz_khz)
                    cell[noise_name] = (float(values.mean()),
                                        float(values.std(ddof=1) / math.sqrt(len(values))))
                row[label] = cell
                log(f"{device} {name} {label}: " + ", ".join(
                    f"{k} {v[0]:.3f}" for k, v in cell.items() if k != "pulses")
                    + f", {cell['pulses']} pulses")
            table[device, name] = row
    return table


def markdown(table, realisations, elapsed, command):
    lines = [
        "## Dynamic circuits",
        "",
        f"`{command}`: {realisations} realisations per circuit, {elapsed:.0f} s. Mean "
        "fidelity (standard error) of the qubits that are neither measured nor reset; first "
        "under detuning and ZZ, then with T1/T2 and pulse errors as well; then the pulses "
        "added. Feed-forward latency "
        f"{FEED_FORWARD_S * 1e6:.1f} us per control-flow operation (an assumption: see "
        "`bench/dynamic_sim.py`). A strategy that fails on a circuit shows its error.",
        "",
    ]
    devices = sorted({d for d, _ in table})
    for device in devices:
        rows = [(name, row) for (d, name), row in table.items() if d == device]
        labels = list(rows[0][1])
        # The circuits every strategy pads: the mean over them compares all strategies.
        common = [name for name, row in rows if all(isinstance(row[k], dict) for k in labels)]
        lines.append(f"### {device}")
        lines.append("")
        lines.append("| strategy | " + " | ".join(name for name, _ in rows)
                     + " | mean | mean over " + ", ".join(common) + " |")
        lines.append("|---" * (len(rows) + 3) + "|")
        for label in labels:
            cells, means, shared = [], {n: [] for n in NOISE}, {n: [] for n in NOISE}
            for name, row in rows:
                cell = row[label]
                if isinstance(cell, str):
                    cells.append(cell)
                    continue
                parts = []
                for n in NOISE:
                    mean, err = cell[n]
                    means[n].append(mean)
                    if name in common:
                        shared[n].append(mean)
                    parts.append(f"{mean:.3f} ({err:.3f})")
                cells.append(" / ".join(parts) + f" / {cell['pulses']}")
            complete = all(len(means[n]) == len(rows) for n in NOISE)
            mean = " / ".join(f"{np.mean(means[n]):.3f}" for n in NOISE) if complete else "n/a"
            common_mean = " / ".join(f"{np.mean(shared[n]):.3f}" for n in NOISE)
            lines.append(f"| {label} | " + " | ".join(cells) + f" | {mean} | {common_mean} |")
        lines.append("")
    return "\n".join(lines)


def plot(table, path):
    """Bars of each strategy's mean fidelity per circuit: a row per device, a column per
    noise setting; a failed strategy has no bar."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    devices = sorted({d for d, _ in table})
    fig, axes = plt.subplots(len(devices), 2, figsize=(14, 3.8 * len(devices)), squeeze=False)
    colours = plt.get_cmap("tab10").colors
    for row, device in enumerate(devices):
        circuits = [name for d, name in table if d == device]
        labels = list(table[device, circuits[0]])
        width = 0.85 / len(labels)
        for col, noise in enumerate(NOISE):
            ax = axes[row][col]
            for k, label in enumerate(labels):
                values = [table[device, c][label][noise][0]
                          if isinstance(table[device, c][label], dict) else np.nan
                          for c in circuits]
                xs = np.arange(len(circuits)) + (k - len(labels) / 2 + 0.5) * width
                ax.bar(xs, values, width, label=label, color=colours[k % len(colours)])
            ax.set_xticks(np.arange(len(circuits)), circuits, fontsize=8)
            ax.set_ylim(0, 1.02)
            ax.set_ylabel("fidelity")
            ax.set_title(f"dynamic circuits, {device}: {noise}")
            ax.grid(axis="y", alpha=0.3)
    handles, legend = axes[0][0].get_legend_handles_labels()
    fig.legend(handles, legend, loc="lower center", ncol=min(7, len(legend)), fontsize=8)
    fig.tight_layout(rect=(0, 0.07, 1, 1))
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--realisations", type=int)
    parser.add_argument("--devices", nargs="*", default=list(DEVICES))
    parser.add_argument("--circuits", nargs="*")
    parser.add_argument("--out", help="write the markdown table to this file, keeping the "
                        "static results it holds (bench/fidelity_results.md)")
    parser.add_argument("--plot", help="draw the bars to this image file")
    parser.add_argument("--zz", choices=("fixed", "family"), default="family",
                        help="the ZZ range: each device's family's (default), or the fixed "
                        "couplers' on every device")
    args = parser.parse_args(argv)
    from bench import dynamic_circuits as dc

    realisations = args.realisations or (QUICK_REALISATIONS if args.quick else REALISATIONS)
    circuits = args.circuits or list(dc.CIRCUITS)
    started = time.perf_counter()
    table = evaluate_all(circuits, args.devices, realisations,
                         log=lambda line: print(line, file=sys.stderr, flush=True), zz=args.zz)
    text = markdown(table, realisations, time.perf_counter() - started,
                    "python -m bench.dynamic_fidelity " + " ".join(argv or sys.argv[1:]))
    print(text)
    if args.out:
        fid.write_results(args.out, text, static=False)
    if args.plot:
        plot(table, args.plot)
    return table


if __name__ == "__main__":
    main()

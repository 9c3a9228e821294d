"""Turns the suite's measurements into the markdown table and the plot."""

import datetime
import os
import platform
import statistics

PEER = "Qiskit pipeline"
FLOORS = ("walk floor", "build floor")
# The operations whose time per gate must stay flat as circuits grow.
OPERATIONS = ("build_from_ir", "add_gate loop", "build_schedule", "find_idle_windows",
              "apply_dd_pass", "get_all_nodes", "pipeline")
LIMITS = {"ingest": 1.5, "export": 1.3, "passes": 0.5, "scaling": 1.3, "bytes": 64,
          "peer": 100}
PEER_SIZE = 10**5


def size_label(gates):
    exponent = len(str(gates)) - 1
    return f"10^{exponent}" if gates == 10**exponent else str(gates)


def per_gate(times, name, gates, pick=min):
    return pick(times[name][gates]) / gates


def targets(times, mem):
    """Rows (target, measured, limit, met) of every target that this run can tell."""
    sizes = sorted(times["build_from_ir"])
    large, small = sizes[-1], sizes[0]
    best = {name: {gates: min(values) for gates, values in by_size.items()}
            for name, by_size in times.items()}
    at = f" ({size_label(large)})"
    rows = []

    def ratio(label, value, limit, at_most=True):
        met = value <= limit if at_most else value >= limit
        bound = f"≤ {limit}×" if at_most else f"≥ {limit}×"
        rows.append((label, f"{value:.2f}×", bound, "yes" if met else "**no**"))

    ratio("build_from_ir / walk floor" + at,
          best["build_from_ir"][large] / best["walk floor"][large], LIMITS["ingest"])
    ratio("get_all_nodes / build floor" + at,
          best["get_all_nodes"][large] / best["build floor"][large], LIMITS["export"])
    passes = best["build_schedule"][large] + best["apply_dd_pass"][large]
    value = passes / best["build_from_ir"][large]
    rows.append(("(build_schedule + apply_dd_pass) / build_from_ir" + at, f"{value:.2f}×",
                 f"< {LIMITS['passes']}×", "yes" if value < LIMITS["passes"] else "**no**"))
    if large != small:
        growth = f"ns/gate at {size_label(large)} / at {size_label(small)}"
        for name in OPERATIONS:
            ratio(f"{name}: {growth}",
                  per_gate(times, name, large) / per_gate(times, name, small),
                  LIMITS["scaling"])
        for name in FLOORS:  # how much of the growth reading and making objects cost alone
            value = per_gate(times, name, large) / per_gate(times, name, small)
            rows.append((f"{name}: {growth}", f"{value:.2f}×", "for reference", ""))
    if mem["core"]:
        probe = mem["core"][-1]
        value = probe["with_schedule"]
        rows.append((f"core bytes per node with schedule ({size_label(probe['gates'])})",
                     f"{value:.1f} B", f"≤ {LIMITS['bytes']} B",
                     "yes" if value <= LIMITS["bytes"] else "**no**"))
    if PEER_SIZE in times.get(PEER, {}):
        ratio(f"Qiskit pipeline / pipeline ({size_label(PEER_SIZE)})",
              best[PEER][PEER_SIZE] / best["pipeline"][PEER_SIZE], LIMITS["peer"],
              at_most=False)
    return rows


def machine(with_qiskit):
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as info:
            model = next(line.split(":", 1)[1].strip() for line in info
                         if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    qiskit = ""
    if with_qiskit:
        from importlib.metadata import version
        qiskit = f", Qiskit {version('qiskit')}"
    return (f"{model}, {os.cpu_count()} logical CPUs, {platform.system()} {platform.release()}, "
            f"Python {platform.python_version()}{qiskit}")


def _table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + " --- |" * len(header)]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return "\n".join(lines)


def markdown(times, notes, mem, peer_skipped_above, peer_missing):
    sizes = sorted(times["build_from_ir"])
    repeats = {gates: len(times["build_from_ir"][gates]) for gates in sizes}
    stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    out = [f"Machine: {machine(PEER in times)}. Run: {stamp}.", "",
           "### Targets (ratios of minimum times)", "",
           _table(("Target", "Measured", "Limit", "Met"), targets(times, mem)), "",
           "### Time per gate, ns (minimum / median; repeats: "
           + ", ".join(f"{repeats[g]} at {size_label(g)}" for g in sizes) + ")", ""]
    rows = []
    for name in times:
        cells = []
        for gates in sizes:
            if gates in times[name]:
                cells.append(f"{per_gate(times, name, gates):.1f} / "
                             f"{per_gate(times, name, gates, statistics.median):.1f}")
            else:
                cells.append("skipped")
        rows.append((name, *cells))
    rows.append(("DD pulses placed", *(notes[g]["pulses"] for g in sizes)))
    if PEER in times:
        rows.append(("DD pulses placed by Qiskit",
                     *(notes[g].get("peer_pulses", "skipped") for g in sizes)))
    out += [_table(("Operation", *map(size_label, sizes)), rows), "", "### Memory", ""]
    rows = [(f"core, bytes per node ({size_label(p['gates'])} parameter-free gates)",
             f"{p['bytes_per_node']:.1f} B, {p['with_schedule']:.1f} B with the schedule")
            for p in mem["core"]]
    rows += [(f"pipeline peak RSS ({size_label(p['gates'])} gates, {p['nodes']} nodes out)",
              f"{p['peak'] / 2**20:.0f} MiB, {p['above_input'] / 2**20:.0f} MiB above the input")
             for p in mem["pipeline"]]
    out += [_table(("Probe", "Result"), rows), "", "Notes:", ""]
    out.append("- Times are per gate of the input circuit, also for `get_all_nodes`, which "
               "exports the larger circuit that the DD pass returns. `pipeline` is "
               "`build_from_ir`, `set_coupling_map`, `build_schedule`, "
               "`apply_dd_pass(\"XY4\", durations, 127)` and `get_all_nodes`, from the built "
               "instruction list. Garbage collection is off during timed calls.")
    out.append("- The floors come from bench/floors.c: the walk floor reads every field of "
               "every instruction and stores nothing; the build floor makes the objects "
               "`get_all_nodes` returns from plain C arrays.")
    if PEER in times:
        out.append("- The Qiskit pipeline is `ASAPScheduleAnalysis` and "
                   "`PadDynamicalDecoupling` with X-Y-X-Y in a `PassManager`, run on the "
                   "already-built `QuantumCircuit` with the same durations. It places its "
                   "pulses by other rules (it spreads each sequence over the whole idle "
                   "stretch, with delays), so it does the same job with a different output.")
    if peer_skipped_above and any(g > peer_skipped_above for g in sizes):
        out.append(f"- The Qiskit pipeline is skipped above {size_label(peer_skipped_above)} "
                   "gates: it would take minutes per run.")
    if peer_missing:
        out.append("- Qiskit is not installed, so the peer was not measured.")
    out.append("- Core bytes per node: growth of resident memory over `build_from_ir` (and "
               "then `build_schedule`), measured in a fresh process once the instruction "
               "list exists, so that the list itself is not counted.")
    return "\n".join(out) + "\n"


def plot(times, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(figsize=(8, 5.5))
    for name, by_size in times.items():
        sizes = sorted(by_size)
        style = "--" if name in FLOORS else (":" if name == PEER else "-")
        axes.plot(sizes, [min(by_size[g]) / g for g in sizes], style, marker="o", label=name)
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel("gates in the circuit")
    axes.set_ylabel("ns per gate (minimum over repeats)")
    axes.set_title("Time per gate against circuit size")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend(fontsize="small", loc="center left", bbox_to_anchor=(1, 0.5))
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)

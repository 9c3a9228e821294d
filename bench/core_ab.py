"""The core's passes of two builds side by side: a base build directory and a new one.

    python bench/core_ab.py --base ../old/build/dev --new build/dev
    python bench/core_ab.py --base B --new N --rounds 300 --gates 10000 100000 --jobs apply_dd_pass

Each build directory (where `cmake --build` puts _vornak) is imported through PYTHONPATH in a
worker process of its own, which refuses to start if _vornak comes from anywhere else (an
installed copy, say). A worker makes bench/run.py's workload once per size, layered-GATES on
the heavy-hex lattice (seed 1), ingested, coupled and scheduled, and times one call at a time
as bench/run.py does: garbage collection off, the result released outside the timed call,
the module's progress lines on /dev/null. The two workers take turns call by call (base then
new, new then base), so that both see the same machine.

Printed per size and job, in ns per gate of the input: the minimum and median wall time of
each side, the ratio of the minima (new / base) and the median of the rounds' ratios, the
same for CPU time, and the minor page faults per call of each side.
"""

import argparse
import gc
import os
import resource
import statistics
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))  # pass_ab here; workloads and silence in the workers
import pass_ab  # noqa: E402

SEED = 1
MIN_GAP_NS = 100.0
SEQUENCE = "XY4"
JOBS = ("apply_dd_pass", "build_schedule", "find_idle_windows")


def worker():
    """Reads "gates|job" lines; answers each with [wall ns, cpu ns, minor faults] of one call."""
    reply = os.fdopen(os.dup(1), "w", buffering=1)
    import _vornak
    from _vornak import QuantumDAG

    import workloads
    from silence import stdout_to_devnull

    build = Path(os.environ["PYTHONPATH"]).resolve()
    if not Path(_vornak.__file__).resolve().is_relative_to(build):
        sys.exit(f"_vornak comes from {_vornak.__file__}, not from {build}")
    pulses = workloads.pulse_durations()
    jobs = {
        "apply_dd_pass": lambda dag: dag.apply_dd_pass(SEQUENCE, pulses, workloads.NUM_QUBITS),
        "build_schedule": lambda dag: dag.build_schedule(),
        "find_idle_windows": lambda dag: dag.find_idle_windows(MIN_GAP_NS),
    }
    dags = {}
    with stdout_to_devnull():
        print("ready", file=reply)
        for line in sys.stdin:
            gates, job = line.rstrip("\n").split("|")
            if gates not in dags:
                dag = dags[gates] = QuantumDAG()
                dag.build_from_ir(workloads.layered_circuit(int(gates), SEED))
                dag.set_coupling_map(workloads.heavy_hex())
                dag.build_schedule()
            gc.disable()
            faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
            cpu, wall = time.thread_time_ns(), time.perf_counter_ns()
            result = jobs[job](dags[gates])
            wall, cpu = time.perf_counter_ns() - wall, time.thread_time_ns() - cpu
            faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
            gc.enable()
            del result
            print(f"[{wall}, {cpu}, {faults}]", file=reply)


def side(build):
    """A worker importing _vornak from the build directory `build`."""
    env = dict(os.environ, PYTHONPATH=str(Path(build).resolve()))
    return pass_ab.Side(sys.executable, __file__, env)


def compare(base, new, sizes, jobs, rounds):
    """{(gates, job): {"wall": (base min, base median, new min, new median, ratio of the minima,
    median ratio), "cpu": (...), "faults": (base, new)}} in ns per gate and faults per call,
    printed."""
    sides = {}
    try:
        for name, build in (("base", base), ("new", new)):
            sides[name] = side(build)
        results = {}
        print(f"{'gates | job':26s} {'wall: base min':>14s} {'med':>6s} {'new min':>7s} {'med':>6s}"
              f" {'ratio':>6s} {'median':>6s} | {'cpu: ratio':>10s} {'median':>6s}"
              f" | {'faults':>6s} {'new':>6s}", flush=True)
        for gates in sizes:
            for job in jobs:
                runs = pass_ab.take_turns(sides, gates, job, rounds)
                row = {}
                for i, figure in enumerate(("wall", "cpu")):
                    a = [run[i] / gates for run in runs["base"]]
                    b = [run[i] / gates for run in runs["new"]]
                    row[figure] = (min(a), statistics.median(a), min(b), statistics.median(b),
                                   min(b) / min(a), statistics.median(y / x for x, y in zip(a, b)))
                row["faults"] = tuple(statistics.mean(run[2] for run in runs[name])
                                      for name in ("base", "new"))
                results[gates, job] = row
                wall, cpu = row["wall"], row["cpu"]
                print(f"{f'{gates} | {job}':26s} {wall[0]:14.1f} {wall[1]:6.1f} {wall[2]:7.1f}"
                      f" {wall[3]:6.1f} {wall[4]:6.3f} {wall[5]:6.3f} | {cpu[4]:10.3f}"
                      f" {cpu[5]:6.3f} | {row['faults'][0]:6.1f} {row['faults'][1]:6.1f}",
                      flush=True)
        return results
    finally:
        for worker_side in sides.values():
            worker_side.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--base", help="the base build directory")
    parser.add_argument("--new", default=str(HERE.parent / "build" / "dev"),
                        help="the new build directory (default: this tree's build/dev)")
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--gates", type=int, nargs="+", default=[10**4], metavar="N")
    parser.add_argument("--jobs", nargs="+", default=["apply_dd_pass"], choices=JOBS,
                        metavar="JOB")
    args = parser.parse_args()
    if args.worker:
        worker()
        return
    if args.base is None:
        parser.error("--base is required")
    compare(args.base, args.new, args.gates, args.jobs, args.rounds)


if __name__ == "__main__":
    main()

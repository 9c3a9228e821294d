"""The Qiskit pass and `pad()` of two installs side by side: a base and a new one.

    python bench/pass_ab.py --base OTHER/.venv/bin/python      # new: this interpreter
    python bench/pass_ab.py --base B --new N --rounds 9 --circuits qft-50 --jobs "pm default"

Each interpreter runs in a worker process of its own that builds the circuits of
bench/qiskit_pass.py once (layered-GATES on the heavy-hex target, qft-N and qaoa-N from
mqt.bench for FakeSherbrooke) and runs one job at a time when asked; the two workers take
turns run by run (base then new, new then base), so that both see the same machine. A job:

- `pm default`: `PassManager([DynamicalDecoupling(target=t)]).run(c)`, the pass manager
  created and released in the timed call, as bench/qiskit_pass.py and bench/dd_modes.py time it;
- `pm script`: the same with bench/qiskit_pass.py's options (X-X, spread, ASAP), and
  `pm walsh XX`, `pm spread alap XX`, `pm walsh asap XX`, `pm start asap XX`: the modes of
  bench/dd_modes.py with X-X;
- `pad default`, `pad script`: `pad(c, target=t, **options)`.

Printed per circuit and job: the minimum wall and CPU time of each side, their ratio
(new / base) and the median of the ratios of the runs taken together. On a shared machine
the CPU time is the steadier figure: it leaves out the time the process waits for a core.
"""

import argparse
import gc
import json
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
JOBS = ("pm default", "pad default", "pm script", "pad script", "pm walsh XX",
        "pm spread alap XX", "pm walsh asap XX", "pm start asap XX")
CIRCUITS = ("qft-50", "qaoa-30", "layered-10000", "layered-100000")


def job_functions():
    """{job name: run(circuit, target)}."""
    from qiskit.circuit.library import XGate
    from qiskit.transpiler import PassManager

    from vornak.qiskit import DynamicalDecoupling, pad

    xx = {"dd_sequence": [XGate(), XGate()]}
    script = {**xx, "placement": "spread", "scheduling": "asap"}
    modes = {"walsh XX": xx,
             "spread alap XX": {**xx, "placement": "spread", "scheduling": "alap"},
             "walsh asap XX": {**xx, "placement": "walsh", "scheduling": "asap"},
             "start asap XX": {**xx, "placement": "start", "scheduling": "asap"}}

    def through_pass_manager(options):
        return lambda c, t: PassManager([DynamicalDecoupling(target=t, **options)]).run(c)

    jobs = {"pm default": through_pass_manager({}), "pm script": through_pass_manager(script),
            "pad default": lambda c, t: pad(c, target=t),
            "pad script": lambda c, t: pad(c, target=t, **script)}
    jobs.update({f"pm {mode}": through_pass_manager(options) for mode, options in modes.items()})
    return jobs


def circuit_for(key):
    """(circuit, target) of a key: layered-GATES, qft-N or qaoa-N."""
    sys.path.insert(0, str(HERE))
    import qiskit_pass

    name, size = key.rsplit("-", 1)
    if name == "layered":
        return qiskit_pass.layered_circuit(int(size))
    return qiskit_pass.mqt_circuit(name, int(size))


def worker():
    """Reads "circuit|job" lines; answers each with [wall, cpu] seconds of one run."""
    jobs, circuits = job_functions(), {}
    print("ready", flush=True)
    for line in sys.stdin:
        key, job = line.rstrip("\n").split("|")
        if key not in circuits:
            circuits[key] = circuit_for(key)
        circuit, target = circuits[key]
        gc.collect()
        wall, cpu = time.perf_counter(), time.process_time()
        result = jobs[job](circuit, target)
        wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
        del result
        print(json.dumps([wall, cpu]), flush=True)


class Side:
    """A worker process on one interpreter: `script --worker` (this file's by default), in the
    environment `env` if given, that answers each "key|job" line with one JSON line."""

    def __init__(self, python, script=__file__, env=None):
        self.process = subprocess.Popen([python, script, "--worker"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True, env=env)
        if self.process.stdout.readline().strip() != "ready":
            self.close()
            raise RuntimeError(f"the worker on {python} did not start")

    def run(self, key, job):
        self.process.stdin.write(f"{key}|{job}\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError(f"the worker stopped on {key} | {job}")
        return json.loads(line)

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def take_turns(sides, key, job, rounds):
    """{"base": [answer, ...], "new": [...]}: a warm-up run on each side (it builds the
    circuit), then `rounds` runs each, the sides taking turns (base then new, new then base)."""
    for side in sides.values():
        side.run(key, job)
    runs = {"base": [], "new": []}
    for r in range(rounds):
        for name in ("base", "new") if r % 2 == 0 else ("new", "base"):
            runs[name].append(sides[name].run(key, job))
    return runs


def compare(base, new, circuits, jobs, rounds):
    """{(circuit, job): {"wall": (base, new, ratio, median ratio), "cpu": (...)}}, printed."""
    sides = {"base": Side(base), "new": Side(new)}
    results = {}
    print(f"{'circuit | job':36s} {'wall: base':>10s} {'new':>8s} {'ratio':>6s} {'median':>6s}"
          f" | {'cpu: base':>9s} {'new':>8s} {'ratio':>6s} {'median':>6s}", flush=True)
    try:
        for key in circuits:
            for job in jobs:
                runs = take_turns(sides, key, job, rounds)
                row = {}
                for i, figure in enumerate(("wall", "cpu")):
                    a = [run[i] for run in runs["base"]]
                    b = [run[i] for run in runs["new"]]
                    ratios = sorted(y / x for x, y in zip(a, b))
                    row[figure] = (min(a), min(b), min(b) / min(a), ratios[len(ratios) // 2])
                results[key, job] = row
                cells = [f"{a * 1e3:10.1f} {b * 1e3:8.1f} {r:6.3f} {m:6.3f}"
                         for a, b, r, m in row.values()]
                print(f"{key + ' | ' + job:36s} " + " | ".join(cells), flush=True)
    finally:
        for side in sides.values():
            side.close()
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--base", help="the base install's Python")
    parser.add_argument("--new", default=sys.executable, help="the new install's Python")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--circuits", nargs="+", default=list(CIRCUITS), metavar="KEY")
    parser.add_argument("--jobs", nargs="+", default=list(JOBS), choices=JOBS, metavar="JOB")
    args = parser.parse_args()
    if args.worker:
        worker()
        return
    if args.base is None:
        parser.error("--base is required")
    compare(args.base, args.new, args.circuits, args.jobs, args.rounds)


if __name__ == "__main__":
    main()

"""The `vornak.qiskit.DynamicalDecoupling` pass against Qiskit's own DD, side by side.

    python bench/qiskit_pass.py          # every circuit below; writes bench/qiskit_results.md
    python bench/qiskit_pass.py --smoke  # small circuits, one or two repeats, no files

Circuits: the layered heavy-hex workload of bench/workloads.py as a 127-qubit
`QuantumCircuit` at 10^4, 10^5 and 10^6 gates, with a `Target` holding the workload's
durations (dt = 1 ns); and mqt.bench's QFT-50 and QAOA-30 transpiled for FakeSherbrooke at
optimization level 1 with a fixed seed. On each circuit, interleaved over the repeats:

- ours: `PassManager([DynamicalDecoupling(target=t, dd_sequence=[XGate(), XGate()],
  placement="spread")]).run(c)`;
- Qiskit: `PassManager([ASAPScheduleAnalysis(target=t), PadDynamicalDecoupling(target=t,
  dd_sequence=[XGate(), XGate()])]).run(c)`, up to 10^5 gates;
- floor: `PassManager.run` with a pass that returns its DAG unchanged (Qiskit's own
  circuit/DAG conversions and nothing else);
- contract floor: the same with a pass that also sets `node_start_time` for every node, the
  least any scheduling pass costs through a PassManager;
- one call: `vornak.qiskit.pad(c, target=t, dd_sequence=[XGate(), XGate()])`;
- pass level: `run(dag)` of our pass alone on a prepared DAG, with the pass reused, against
  Qiskit's `ASAPScheduleAnalysis.run` + `PadDynamicalDecoupling.run` on a DAG prepared the
  same way (its `TimeUnitConversion` run before the clock starts);
- the breakdown of our end-to-end time (see `breakdown`);
- a batch: 1,000 QAOA-10 circuits for FakeSherbrooke, `pad(list)` against
  `PassManager.run(list)` of both passes.

Peak memory is measured in a fresh interpreter per job and circuit (`memory_probe`). Every
output is checked before anything is timed: ours and Qiskit's keep every operation of the
input, add only X pulses and delays, and are exactly as long as the input's ASAP schedule.
"""

import argparse
import collections
import gc
import importlib
import json
import statistics
import subprocess
import sys
import time
from pathlib import Path

if __package__:  # imported as bench.qiskit_pass (by the tests)
    from . import report, workloads
    from .silence import stdout_to_devnull
else:  # run as a script from bench/, as the rest of the suite
    import report
    import workloads
    from silence import stdout_to_devnull

HERE = Path(__file__).resolve().parent

DT = 1e-9  # the layered workload's durations are whole nanoseconds: one dt is 1 ns
SEED = 1
LAYERED = (10**4, 10**5, 10**6)
MQT = (("qft", 50), ("qaoa", 30))
SMOKE = ("layered-2000", "qft-6")
PEER_LARGEST = 10**5  # above this Qiskit's pass takes tens of seconds per run, minutes in all
QISKIT_TARGET = 30  # Qiskit / ours, at least
FLOOR_MOONSHOT = 1.5  # ours / floor, at most
OURS, PEER, FLOOR, ALONE = "ours", "Qiskit", "floor", "run(dag) alone"
CONTRACT, ONE_CALL, PEER_ALONE = "contract floor", "ours, one call", "Qiskit, pass level"
BATCH = ("qaoa", 10, 1000)  # the batch: algorithm, qubits, circuits
SMOKE_BATCH = ("qft", 4, 8)
PLACEMENT, SCHEDULING = "spread", "asap"  # the work Qiskit's ASAP + PadDynamicalDecoupling does
PARTS = (  # the steps of our end-to-end PassManager.run, in order; they add up to it
    "pass construction",
    "circuit → DAG (front end)",
    "run(dag): native pad",
    "run(dag): Python around the pad",
    "DAG → circuit (back end)",
    "node_start_time → op_start_times (back end)",
    "rest of PassManager.run: bookkeeping, releasing the DAGs",
)
ONE_CALL_PARTS = (  # the steps of pad(circuit), in order; they add up to it
    "pass construction and tables",
    "label check (a Python object per instruction)",
    "native pad_circuit_data: read, schedule, plan, write, start times",
    "rest: delays, the circuit's name, phase and times",
)
TABLES = "of which: tables of a new pass"  # a share of the Python around the pad
FIRST_READ = "of which: first read of node_start_time"  # a share of the step before


def repeats_for(gates):
    """Repeats of the cheap jobs, and of Qiskit's pass, for a circuit of this size."""
    if gates <= 5 * 10**4:
        return 11, 5
    if gates <= 2 * 10**5:
        return 7, 3
    return 5, 0


# -- circuits --------------------------------------------------------------------------


def heavy_hex_target(instructions):
    """A 127-qubit `Target` with the durations of a layered workload, as bench/peer.py
    collects them: one per gate name and qubits, the X pulse on every qubit, a delay
    everywhere and ECR on every lattice edge (without a duration where the workload has
    no ECR on that edge)."""
    from qiskit.circuit import Delay, Parameter
    from qiskit.circuit.library import ECRGate, RZGate, SXGate, XGate
    from qiskit.transpiler import InstructionProperties, Target

    gates = {"sx": SXGate(), "x": XGate(), "rz": RZGate(Parameter("theta")), "ecr": ECRGate()}
    durations = {}
    for name, qubits, duration, _ in instructions:
        durations[name, tuple(qubits)] = duration
    for qubit, duration in workloads.pulse_durations().items():
        durations["x", (qubit,)] = duration
    properties = {name: {} for name in gates}
    for (name, qubits), duration in durations.items():
        properties[name][qubits] = InstructionProperties(duration=round(duration) * DT)
    for edge in workloads.heavy_hex():
        properties["ecr"].setdefault(edge, None)
    target = Target(num_qubits=workloads.NUM_QUBITS, dt=DT)
    for name, gate in gates.items():
        target.add_instruction(gate, properties[name])
    target.add_instruction(Delay(Parameter("t")),
                           {(q,): None for q in range(workloads.NUM_QUBITS)})
    return target


def layered_circuit(gates):
    """(circuit, target): the layered workload as a `QuantumCircuit`, as bench/peer.py makes it."""
    from qiskit import QuantumCircuit

    instructions = workloads.layered_circuit(gates, SEED)
    circuit = QuantumCircuit(workloads.NUM_QUBITS)
    for name, qubits, _, params in instructions:
        getattr(circuit, name)(*params.values(), *qubits)
    return circuit, heavy_hex_target(instructions)


def mqt_circuit(name, qubits):
    """(circuit, target): an mqt.bench algorithm transpiled for FakeSherbrooke."""
    from mqt.bench import BenchmarkLevel, get_benchmark
    from qiskit import transpile
    from qiskit_ibm_runtime.fake_provider import FakeSherbrooke

    target = FakeSherbrooke().target
    algorithm = get_benchmark(name, BenchmarkLevel.ALG, qubits)
    return transpile(algorithm, target=target, optimization_level=1, seed_transpiler=SEED), target


def mqt_available():
    """Whether mqt.bench and FakeSherbrooke (qiskit-ibm-runtime) can be imported."""
    try:
        import mqt.bench  # noqa: F401
        import qiskit_ibm_runtime.fake_provider  # noqa: F401
    except ImportError:
        return False
    return True


def make_circuit(key):
    """`layered-GATES` or `ALGORITHM-QUBITS` (qft-50, qaoa-30) → (circuit, target)."""
    kind, size = key.rsplit("-", 1)
    if kind == "layered":
        return layered_circuit(int(size))
    return mqt_circuit(kind, int(size))


def label(key):
    kind, size = key.rsplit("-", 1)
    if kind == "layered":
        return f"heavy-hex {report.size_label(int(size))}"
    return f"{kind.upper()}-{size}"


# -- the jobs --------------------------------------------------------------------------


def sequence():
    from qiskit.circuit.library import XGate

    return [XGate(), XGate()]


def our_options():
    """Our pass's options: X-X, spread over each gap before an operation (one sequence a
    gap, as Qiskit's pass does). The default placement, walsh, also fills the stretches
    after each qubit's last operation and repeats the sequence within long gaps."""
    return {"dd_sequence": sequence(), "placement": PLACEMENT, "scheduling": SCHEDULING}


def ours(target):
    from qiskit.transpiler import PassManager

    from vornak.qiskit import DynamicalDecoupling

    return lambda circuit: PassManager(
        [DynamicalDecoupling(target=target, **our_options())]).run(circuit)


def peer(target):
    from qiskit.transpiler import PassManager
    from qiskit.transpiler.passes import ASAPScheduleAnalysis, PadDynamicalDecoupling

    return lambda circuit: PassManager([
        ASAPScheduleAnalysis(target=target),
        PadDynamicalDecoupling(target=target, dd_sequence=sequence()),
    ]).run(circuit)


def floor(_target):
    from qiskit.transpiler import PassManager
    from qiskit.transpiler.basepasses import TransformationPass

    class Unchanged(TransformationPass):
        def run(self, dag):
            return dag

    return lambda circuit: PassManager([Unchanged()]).run(circuit)


def contract(_target):
    from qiskit.transpiler import PassManager
    from qiskit.transpiler.basepasses import AnalysisPass

    class StartTimes(AnalysisPass):
        def run(self, dag):
            self.property_set["node_start_time"] = dict.fromkeys(dag.op_nodes(), 0)

    return lambda circuit: PassManager([StartTimes()]).run(circuit)


def one_call(target):
    from vornak.qiskit import pad

    return lambda circuit: pad(circuit, target=target, **our_options())


JOBS = {OURS: ours, PEER: peer, FLOOR: floor, CONTRACT: contract, ONE_CALL: one_call}


def peer_pass_level(target):
    """(prepare, run): Qiskit's two passes on a DAG, the DAG and its time unit prepared
    outside the clock as a PassManager would (TimeUnitConversion, which ASAP requires)."""
    from qiskit.converters import circuit_to_dag
    from qiskit.passmanager import PropertySet
    from qiskit.transpiler.passes import (
        ASAPScheduleAnalysis,
        PadDynamicalDecoupling,
        TimeUnitConversion,
    )

    def prepare(circuit):
        dag = circuit_to_dag(circuit, True)
        convert = TimeUnitConversion(target=target)
        convert.property_set = PropertySet()
        dag = convert.run(dag)
        return dag, convert.property_set["time_unit"]

    def run(dag, unit):
        asap = ASAPScheduleAnalysis(target=target)
        pad = PadDynamicalDecoupling(target=target, dd_sequence=sequence())
        asap.property_set = pad.property_set = PropertySet()
        asap.property_set["time_unit"] = unit
        asap.run(dag)
        return pad.run(dag)

    return prepare, run


def pulses_added(circuit, out, target):
    """The X pulses that `out` adds to `circuit`; raises unless `out` is `circuit` with X
    pulses and delays added and an ASAP schedule exactly as long."""
    before, after = circuit.count_ops(), out.count_ops()
    kept = {name: n for name, n in after.items() if name not in ("x", "delay")}
    if kept != {name: n for name, n in before.items() if name != "x"}:
        raise AssertionError(f"operations changed: {dict(before)} became {dict(after)}")
    added = after.get("x", 0) - before.get("x", 0)
    if added < 0 or added % len(sequence()):
        raise AssertionError(f"{added} X pulses added, not whole X-X sequences")
    length, padded = circuit.estimate_duration(target, "dt"), out.estimate_duration(target, "dt")
    if padded != length:
        raise AssertionError(f"the padded circuit lasts {padded} dt, the input {length} dt")
    return added


# -- timing ----------------------------------------------------------------------------


def timed(fn, *args):
    """(nanoseconds, result) of one call, garbage collection off."""
    gc.disable()
    try:
        start = time.perf_counter_ns()
        result = fn(*args)
        return time.perf_counter_ns() - start, result
    finally:
        gc.enable()


class PadTimer:
    """Times the native `pad` call that our pass makes, by standing in for the module
    `vornak._bridge` in `vornak.qiskit.padding` while installed."""

    def __init__(self):
        import vornak.qiskit.padding

        self._package = vornak.qiskit.padding
        self._module = vornak.qiskit.padding._bridge
        self.ns = 0

    def __getattr__(self, name):
        return getattr(self._module, name)

    def pad(self, *args):
        start = time.perf_counter_ns()
        try:
            return self._module.pad(*args)
        finally:
            self.ns += time.perf_counter_ns() - start

    def __enter__(self):
        self.ns = 0
        self._package._bridge = self
        return self

    def __exit__(self, *_):
        self._package._bridge = self._module


def _clock(fn, *args, **kwargs):
    """(nanoseconds, result) of one call; the collector is left as it is."""
    start = time.perf_counter_ns()
    result = fn(*args, **kwargs)
    return time.perf_counter_ns() - start, result


def breakdown(circuit, target):
    """Our end-to-end job once, with each step of `PassManager.run` timed where it runs:
    {part: ns}. The pass's `run` and the manager's conversions are wrapped with timers (one
    Python call each); the step between the back end's `dag_to_circuit` and its return is
    where the manager reads `node_start_time` for every output node."""
    import qiskit.transpiler.passmanager as manager_module
    from qiskit.transpiler import PassManager

    from vornak.qiskit import DynamicalDecoupling

    parts = {}

    class TimedPassManager(PassManager):
        def _passmanager_frontend(self, *args, **kwargs):
            parts[PARTS[1]], dag = _clock(super()._passmanager_frontend, *args, **kwargs)
            return dag

        def _passmanager_backend(self, *args, **kwargs):
            ns, result = _clock(super()._passmanager_backend, *args, **kwargs)
            parts[PARTS[5]] = ns - parts[PARTS[4]]
            return result

    def job():
        parts[PARTS[0]], dd = _clock(DynamicalDecoupling, target=target, **our_options())
        run = dd.run

        def timed_run(dag):
            with PadTimer() as pad:
                ns, out = _clock(run, dag)
            parts[PARTS[2]], parts[PARTS[3]] = pad.ns, ns - pad.ns
            return out

        dd.run = timed_run
        return TimedPassManager([dd]).run(circuit)

    def timed_dag_to_circuit(*args, **kwargs):
        parts[PARTS[4]], result = _clock(dag_to_circuit, *args, **kwargs)
        return result

    dag_to_circuit = manager_module.dag_to_circuit
    manager_module.dag_to_circuit = timed_dag_to_circuit
    try:
        total, result = timed(job)
    finally:
        manager_module.dag_to_circuit = dag_to_circuit
    parts[PARTS[6]] = total - sum(parts[part] for part in PARTS[:6])
    if len(result.op_start_times) != len(result.data):
        raise AssertionError("op_start_times does not cover the output")
    # Two shares timed apart, on a new pass.
    dd = DynamicalDecoupling(target=target, **our_options())
    # The per-width durations, pulses and couplings.
    parts[TABLES], _ = timed(dd.padding.plans.for_width, circuit.num_qubits)
    from qiskit.converters import circuit_to_dag

    dd.run(circuit_to_dag(circuit, True))
    parts[FIRST_READ], _ = timed(bool, dd.property_set["node_start_time"])
    return parts


def one_call_breakdown(circuit, target):
    """pad(circuit) once, with its label check and its native call timed in place: {part: ns}."""
    import vornak.qiskit.padding as padding

    pad_module = importlib.import_module("vornak.qiskit.pad")  # the module, not its pad()

    parts = dict.fromkeys(ONE_CALL_PARTS, 0)
    labelled, construct = padding.labelled_positions, pad_module.DynamicalDecoupling
    native = padding._bridge

    class Native:
        def pad_circuit_data(self, *args):
            ns, result = _clock(native.pad_circuit_data, *args)
            parts[ONE_CALL_PARTS[2]] += ns
            return result

    def timed_labels(data):
        ns, result = _clock(labelled, data)
        parts[ONE_CALL_PARTS[1]] += ns
        return result

    def timed_construct(*args, **kwargs):
        ns, dd = _clock(construct, *args, **kwargs)
        ns2, _ = _clock(dd.padding.plans.for_width, circuit.num_qubits)
        parts[ONE_CALL_PARTS[0]] += ns + ns2
        return dd

    padding.labelled_positions, pad_module.DynamicalDecoupling = timed_labels, timed_construct
    padding._bridge = Native()
    try:
        total, _ = timed(lambda: pad_module.pad(circuit, target=target, **our_options()))
    finally:
        padding.labelled_positions, pad_module.DynamicalDecoupling = labelled, construct
        padding._bridge = native
    parts[ONE_CALL_PARTS[3]] = total - sum(parts[part] for part in ONE_CALL_PARTS[:3])
    return parts


def profile_run(circuit, target, limit=8):
    """cProfile of a new pass's `run(dag)`: the calls that take most time, [(name, ns)]."""
    import cProfile
    import pstats

    from qiskit.converters import circuit_to_dag

    from vornak.qiskit import DynamicalDecoupling

    dd = DynamicalDecoupling(target=target, **our_options())
    dag = circuit_to_dag(circuit, True)
    profiler = cProfile.Profile()
    profiler.runcall(dd.run, dag)
    stats = pstats.Stats(profiler).stats
    rows = [(f"{Path(file).name}:{func}" if file != "~" else func, tottime)
            for (file, _, func), (_, _, tottime, _, _) in stats.items()]
    rows.sort(key=lambda row: -row[1])
    return [(name, round(seconds * 1e9)) for name, seconds in rows[:limit]]


def time_circuit(key, smoke, log):
    """Everything timed on one circuit: {"times": {job: [ns]}, "parts": {part: [ns]}, ...}."""
    from qiskit.converters import circuit_to_dag

    from vornak.qiskit import DynamicalDecoupling

    log(f"{label(key)}: building")
    circuit, target = make_circuit(key)
    gates = len(circuit.data)
    runs = {name: JOBS[name](target) for name in JOBS}
    repeats, peer_repeats = (2, 1) if smoke else repeats_for(gates)
    if gates > PEER_LARGEST:
        peer_repeats = 0
    with stdout_to_devnull():
        added = {OURS: pulses_added(circuit, runs[OURS](circuit), target)}
        if peer_repeats:
            added[PEER] = pulses_added(circuit, runs[PEER](circuit), target)
        padded = runs[ONE_CALL](circuit)
        if pulses_added(circuit, padded, target) != added[OURS] or len(
                padded.op_start_times) != len(padded.data):
            raise AssertionError("pad() and the pass disagree")
        alone = DynamicalDecoupling(target=target, **our_options())
        alone.run(circuit_to_dag(circuit, True))  # its tables are built from here on
        profile = profile_run(circuit, target)
        prepare_peer, peer_alone = peer_pass_level(target)
    wanted = {OURS: repeats, FLOOR: repeats, ALONE: repeats, PEER: peer_repeats,
              CONTRACT: repeats, ONE_CALL: repeats, PEER_ALONE: peer_repeats}
    times = {name: [] for name, n in wanted.items() if n}
    parts, totals = collections.defaultdict(list), []
    gc.collect()
    gc.freeze()  # the circuit and the target live to the end: keep the collector off them
    try:
        with stdout_to_devnull():
            for round_ in range(repeats):
                log(f"{label(key)}: round {round_ + 1} of {repeats}")
                for name in (OURS, PEER, FLOOR, CONTRACT, ONE_CALL):
                    if round_ < wanted[name]:
                        ns, out = timed(runs[name], circuit)
                        times[name].append(ns)
                        del out  # released outside the timed call
                dag = circuit_to_dag(circuit, True)
                ns, out = timed(alone.run, dag)
                times[ALONE].append(ns)
                del out, dag
                if round_ < wanted[PEER_ALONE]:
                    dag, unit = prepare_peer(circuit)
                    ns, out = timed(peer_alone, dag, unit)
                    times[PEER_ALONE].append(ns)
                    del out, dag
                steps = breakdown(circuit, target)
                for part, ns in steps.items():
                    parts[part].append(ns)
                totals.append(sum(steps[part] for part in PARTS))
                for part, ns in one_call_breakdown(circuit, target).items():
                    parts[part].append(ns)
    finally:
        gc.unfreeze()
    return {"key": key, "gates": gates, "times": times, "parts": parts, "totals": totals,
            "pulses": added,
            "profile": profile}


def time_batch(smoke, log):
    """One circuit, copied into a list, padded by each batch job: {"label", "count",
    "instructions", "times": {job: [ns]}}."""
    name, qubits, count = SMOKE_BATCH if smoke else BATCH
    key = f"{name}-{qubits}"
    log(f"batch of {count} {label(key)}: building")
    circuit, target = make_circuit(key)
    circuits = [circuit.copy() for _ in range(count)]
    from vornak.qiskit import pad

    jobs = {
        "pad(list)": lambda: pad(circuits, target=target, **our_options()),
        "pad(list), 2 threads": lambda: pad(circuits, target=target, **our_options(), threads=2),
        f"{OURS}: PassManager.run(list)": lambda: ours(target)(circuits),
        f"{PEER}: PassManager.run(list)": lambda: peer(target)(circuits),
    }
    repeats = {job: 1 if smoke else 3 for job in jobs}
    repeats[f"{PEER}: PassManager.run(list)"] = 1
    with stdout_to_devnull():
        expected = pulses_added(circuit, ours(target)(circuit), target)
        for job in ("pad(list)", "pad(list), 2 threads"):
            outs = jobs[job]()
            if len(outs) != count or pulses_added(circuit, outs[-1], target) != expected:
                raise AssertionError(f"{job} and the pass disagree")
            del outs
    times = {job: [] for job in jobs}
    with stdout_to_devnull():
        for round_ in range(max(repeats.values())):
            for job, run in jobs.items():
                if round_ < repeats[job]:
                    log(f"batch: {job}, round {round_ + 1}")
                    ns, out = timed(run)
                    times[job].append(ns)
                    del out
    return {"label": f"{count} × {label(key)}", "count": count,
            "instructions": len(circuit.data), "times": times}


# -- memory ----------------------------------------------------------------------------


def _status(field):
    with open("/proc/self/status") as status:
        line = next(line for line in status if line.startswith(field + ":"))
    return int(line.split()[1]) * 1024


def memory_probe(job, key):
    """Peak resident memory of one run of `job` on circuit `key`, above the memory held
    once the circuit, the target and every module exist: {"above": bytes, "reset": bool}.

    The peak is the kernel's high-water mark (VmHWM), reset just before the run by writing
    5 to /proc/self/clear_refs; where that is refused, it is the peak of the whole process."""
    circuit, target = make_circuit(key)
    run = JOBS[job](target)
    with stdout_to_devnull():
        warm_up = circuit.copy_empty_like()  # loads whatever the job imports on first use
        for instruction in circuit.data[:200]:
            warm_up.append(instruction)
        run(warm_up)
        del warm_up
        gc.collect()
        baseline = _status("VmRSS")
        try:
            with open("/proc/self/clear_refs", "w") as clear:
                clear.write("5")
            reset = True
        except OSError:
            reset = False
        out = run(circuit)
        peak = _status("VmHWM")
    del out
    return {"above": peak - baseline, "reset": reset}


def probe_in_subprocess(job, key):
    out = subprocess.run([sys.executable, str(Path(__file__)), "--memory-probe", job, key],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


# -- the report ------------------------------------------------------------------------


def _ms(values, pick=min):
    return f"{pick(values) / 1e6:.1f}"


def _judge(value, limit, at_least):
    met = value >= limit if at_least else value <= limit
    return "yes" if met else "**no**"


def targets(results):
    rows = []
    ratios = ((PEER, OURS, "Qiskit / ours"), (PEER_ALONE, ALONE, "Qiskit / ours, pass level"),
              (PEER, ONE_CALL, "Qiskit / ours one call"))
    for theirs, ours, name in ratios:
        for r in results:
            t = r["times"]
            if theirs in t and ours in t:
                value = min(t[theirs]) / min(t[ours])
                rows.append((f"{name}, {label(r['key'])}", f"{value:.1f}×",
                             f"≥ {QISKIT_TARGET}×", _judge(value, QISKIT_TARGET, True)))
    for r in results:
        value = min(r["times"][OURS]) / min(r["times"][FLOOR])
        rows.append((f"ours / floor, {label(r['key'])}", f"{value:.2f}×",
                     f"≤ {FLOOR_MOONSHOT}× (moonshot)", _judge(value, FLOOR_MOONSHOT, False)))
    for r in (r for r in results if CONTRACT in r["times"]):
        value = min(r["times"][OURS]) / min(r["times"][CONTRACT])
        rows.append((f"ours / contract floor, {label(r['key'])}", f"{value:.2f}×",
                     "for reference", ""))
    layered = sorted((r for r in results if r["key"].startswith("layered")),
                     key=lambda r: r["gates"])
    if len(layered) > 1:
        small, large = layered[0], layered[-1]
        growth = (f"ns/gate at {report.size_label(large['gates'])} / "
                  f"at {report.size_label(small['gates'])}")
        limit = report.LIMITS["scaling"]

        def growth_of(name):
            return ((min(large["times"][name]) / large["gates"])
                    / (min(small["times"][name]) / small["gates"]))

        def measured(name):
            return name in large["times"] and name in small["times"]

        for name in (n for n in (OURS, ONE_CALL) if measured(n) and measured(CONTRACT)):
            value = growth_of(name) / growth_of(CONTRACT)
            rows.append((f"{name}: growth of ns/gate / the contract floor's", f"{value:.2f}×",
                         f"≤ {limit}×", _judge(value, limit, False)))
        for name in (OURS, ALONE, ONE_CALL, FLOOR, CONTRACT, PARTS[2]):
            judged = name in (OURS, ALONE, ONE_CALL)
            by = "times" if name in large["times"] else "parts"
            if name not in large[by] or name not in small[by]:
                continue
            value = ((min(large[by][name]) / large["gates"])
                     / (min(small[by][name]) / small["gates"]))
            rows.append((f"{name}: {growth}", f"{value:.2f}×",
                         f"≤ {limit}× (linear)" if judged else "for reference",
                         _judge(value, limit, False) if judged else ""))
    return rows


def versions():
    """The versions measured: the installed vornak build and the peers' packages."""
    from importlib.metadata import version

    import vornak._bridge

    built = time.strftime("%Y-%m-%d %H:%M UTC",
                          time.gmtime(Path(vornak._bridge.__file__).stat().st_mtime))
    try:
        tree = subprocess.run(["git", "-C", str(HERE), "describe", "--always", "--dirty"],
                              capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        tree = "unknown"
    return (f"vornak as installed ({built}, work tree {tree}), "
            f"qiskit-ibm-runtime {version('qiskit-ibm-runtime')}, mqt.bench {version('mqt.bench')}")


def batch_table(batch):
    t = batch["times"]
    peer_ns = min(t[f"{PEER}: PassManager.run(list)"])
    rows = []
    for job, values in t.items():
        rows.append((job, f"{_ms(values)} / {_ms(values, statistics.median)}",
                     f"{min(values) / batch['count'] / 1e3:.0f}", str(len(values)),
                     f"{peer_ns / min(values):.1f}×"))
    return report._table(("Job", "ms (minimum / median)", "µs per circuit", "Repeats",
                          "Qiskit's PassManager.run(list) / this"), rows)


def markdown(results, memory, command, missing=(), batch=None):
    stamp = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    out = [f"Machine: {report.machine(True)}. Run: {stamp}.", "",
           f"Command: `{command}`; {versions()}.", "",
           "### Targets (ratios of minimum times)", "",
           report._table(("Target", "Measured", "Limit", "Met"), targets(results)), "",
           "### Times, ms (minimum / median) and ns per gate (minimum)", ""]
    rows = []
    for r in results:
        t, g = r["times"], r["gates"]
        cells = [label(r["key"]), str(g)]
        for name in (OURS, PEER, FLOOR, CONTRACT, ONE_CALL, ALONE, PEER_ALONE):
            if name in t:
                cells.append(f"{_ms(t[name])} / {_ms(t[name], statistics.median)} "
                             f"({min(t[name]) / g:.0f})")
            else:
                cells.append("skipped")
        cells.append(" / ".join(str(len(t[name])) for name in (OURS, PEER) if name in t))
        cells.append(" / ".join(str(r["pulses"].get(name, "–")) for name in (OURS, PEER)))
        rows.append(cells)
    out += [report._table(("Circuit", "Instructions", "ours", "Qiskit", "floor",
                           "contract floor", "ours, one call", "run(dag) alone",
                           "Qiskit, pass level", "Repeats (ours / Qiskit)",
                           "X pulses (ours / Qiskit)"), rows), ""]
    out += ["### Where our time goes, ms (median over the repeats)", ""]
    rows = []
    order = list(PARTS)
    order.insert(4, TABLES)
    order.insert(7, FIRST_READ)
    for part in order:
        if part in results[0]["parts"]:
            rows.append((part, *(f"{_ms(r['parts'][part], statistics.median)}"
                                 for r in results)))
    rows.append(("**ours, end to end (the steps added up)**",
                 *(f"**{statistics.median(r['totals']) / 1e6:.1f}**" for r in results)))
    rows.append(("floor, for comparison", *(_ms(r["times"][FLOOR]) for r in results)))
    out += [report._table(("Part", *(label(r["key"]) for r in results)), rows), ""]
    out += ["### Where the one call's time goes, ms (median over the repeats)", ""]
    rows = [(part, *(_ms(r["parts"][part], statistics.median) for r in results))
            for part in ONE_CALL_PARTS if part in results[0]["parts"]]
    rows.append(("**ours, one call, end to end (the steps added up)**",
                 *(f"**{sum(statistics.median(r['parts'][p]) for p in ONE_CALL_PARTS) / 1e6:.1f}**"
                   for r in results)))
    out += [report._table(("Part", *(label(r["key"]) for r in results)), rows), ""]
    if batch:
        out += [f"### A batch: {batch['label']} ({batch['instructions']} instructions each)",
                "", batch_table(batch), ""]
    if memory:
        out += ["### Peak memory above the loaded circuit, MiB (fresh process per cell)", ""]
        rows = []
        for r in results:
            cells = [label(r["key"])]
            by_job = memory.get(r["key"], {})
            for name in (OURS, ONE_CALL, PEER, FLOOR):
                probe = by_job.get(name)
                cells.append(f"{probe['above'] / 2**20:.0f}" if probe else "skipped")
            if by_job.get(OURS) and by_job.get(PEER) and by_job[OURS]["above"] > 0:
                cells.append(f"{by_job[PEER]['above'] / by_job[OURS]['above']:.1f}×")
            else:
                cells.append("–")
            rows.append(cells)
        out += [report._table(("Circuit", "ours", "ours, one call", "Qiskit", "floor",
                               "Qiskit / ours"), rows), ""]
    first = results[0]
    out += [f"### The most expensive calls in a new pass's run(dag), {label(first['key'])} "
            "(cProfile, one run)", "",
            report._table(("Call", "own time, ms"),
                          [(f"`{name}`", f"{ns / 1e6:.2f}") for name, ns in first["profile"]]),
            ""]
    reset = all(p["reset"] for by_job in memory.values() for p in by_job.values())
    out += ["Notes:", "",
            "- ours: `PassManager([DynamicalDecoupling(target=t, dd_sequence=[XGate(), "
            f"XGate()], placement={PLACEMENT!r}, scheduling={SCHEDULING!r})]).run(circuit)` (one sequence per gap before "
            "an operation, as Qiskit's pass places them; the default placement, walsh, also "
            "fills each qubit's stretch after its last operation and repeats the sequence in "
            "long gaps, which makes the output larger); Qiskit: `PassManager([ASAPScheduleAnalysis(target=t), "
            "PadDynamicalDecoupling(target=t, dd_sequence=[XGate(), XGate()])]).run(circuit)`; "
            "floor: `PassManager.run` with a pass that returns its DAG unchanged; contract "
            "floor: the same with a pass that sets `node_start_time` (to 0) for every node, "
            "which makes the PassManager build `op_start_times`: what any scheduling pass "
            "costs through a PassManager. ours, one call: `vornak.qiskit.pad(circuit, "
            "target=t, ...)` with the same options. Each builds its passes inside the "
            "timed call. run(dag) alone: our pass, reused (its tables built), on a DAG "
            "prepared outside the timed call; Qiskit, pass level: `ASAPScheduleAnalysis.run` "
            "+ `PadDynamicalDecoupling.run` (new passes) on a DAG prepared outside the timed "
            "call, with the `TimeUnitConversion` that a PassManager runs first.",
            "- The batch: one transpiled QAOA-10 circuit copied 1,000 times; `pad(list)` with "
            "its default threads (one, for circuits this short) and with two; "
            "`PassManager.run(list)` as Qiskit runs it by default on this machine.",
            "- The jobs run interleaved, round after round, with garbage collection off "
            "during each timed call. The machine's 2 cores are shared with other developers "
            "working at the same time: the medians are noisy, the minimums less so.",
            f"- Heavy-hex circuits: bench/workloads.py's layered workload (seed {SEED}) on 127 "
            "qubits, with a `Target` holding its durations (dt = 1 ns, X pulses 35 ns, ECR "
            "400-800 ns per edge). QFT-50 and QAOA-30: mqt.bench at the algorithm level, "
            "transpiled with `transpile(..., target=FakeSherbrooke().target, "
            f"optimization_level=1, seed_transpiler={SEED})`.",
            *([f"- Left out, for want of mqt.bench or qiskit-ibm-runtime: {', '.join(missing)}."]
              if missing else []),
            *([f"- Qiskit's pass is skipped above {report.size_label(PEER_LARGEST)} gates: "
               "it would take tens of seconds per run there (about 30 µs per gate at 10^5), "
               "minutes over the repeats."]
              if any(r["gates"] > PEER_LARGEST for r in results) else []),
            "- Every output was checked before timing: the input's operations are all there, "
            "only X pulses (whole X-X sequences) and delays are added, and the padded circuit "
            "lasts exactly as long as the input's ASAP schedule "
            "(`QuantumCircuit.estimate_duration`). The two passes place pulses by different "
            "rules (ours keeps pulses on coupled qubits apart), so the pulse counts differ.",
            "- Where our time goes: our end-to-end job once more per round, with timers "
            "around each step inside `PassManager.run` (a subclass times its front and back "
            "ends, the pass's `run` and its `_bridge.pad` call and Qiskit's `dag_to_circuit` "
            "are wrapped): the steps add up to that run's total; medians, since the minimums "
            "of different steps come from different rounds. The back end reads "
            "`property_set[\"node_start_time\"]` for every output node, in topological "
            "order, to build `op_start_times`. The two \"of which\" rows are timed apart on a "
            "new pass: its per-width tables (`padding.plans`) and the first read of "
            "`node_start_time` after `run(dag)`.",
            "- Memory: peak resident memory (VmHWM) of one run, "
            + ("reset through /proc/self/clear_refs just before it" if reset else
               "over the whole process (the reset was refused)")
            + ", minus the resident memory once the circuit, the target and every module "
            "are loaded; each cell is a fresh interpreter. Not tracemalloc: Qiskit's DAG "
            "and ours live outside Python's allocator."]
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true",
                        help="two small circuits, one or two repeats, no files")
    parser.add_argument("--circuits", nargs="+", metavar="KEY",
                        help="only these circuits (layered-GATES, qft-N, qaoa-N), no files")
    parser.add_argument("--no-memory", action="store_true", help="leave out the memory probes")
    parser.add_argument("--dynamic", action="store_true",
                        help="also time the dynamic circuits (bench/dynamic_speed.py)")
    parser.add_argument("--memory-probe", nargs=2, metavar=("JOB", "KEY"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_probe:
        print(json.dumps(memory_probe(*args.memory_probe)))
        return

    def log(text):
        if not args.smoke:
            print(text, file=sys.stderr, flush=True)

    if args.smoke:
        keys = list(SMOKE)
    elif args.circuits:
        keys = args.circuits
    else:
        keys = [f"layered-{g}" for g in LAYERED] + [f"{name}-{n}" for name, n in MQT]
    missing = [key for key in keys if not key.startswith("layered")]
    if missing and not mqt_available():
        log("mqt.bench or qiskit-ibm-runtime is not installed: leaving out " + ", ".join(missing))
        keys = [key for key in keys if key.startswith("layered")]
    else:
        missing = []
    results = [time_circuit(key, args.smoke, log) for key in keys]
    batch = time_batch(args.smoke, log) if not args.circuits and mqt_available() else None
    memory = {}
    if not args.no_memory:
        for r in results:
            jobs = ([OURS, ONE_CALL, PEER, FLOOR] if r["gates"] <= PEER_LARGEST
                    else [OURS, ONE_CALL, FLOOR])
            if args.smoke:
                jobs = [OURS] if r is results[0] else []
            for job in jobs:
                log(f"{label(r['key'])}: peak memory of {job}")
                memory.setdefault(r["key"], {})[job] = probe_in_subprocess(job, r["key"])
    command = "python " + " ".join(["bench/qiskit_pass.py", *sys.argv[1:]])
    text = markdown(results, memory, command, missing, batch)
    print(text)
    if not (args.smoke or args.circuits):
        (HERE / "qiskit_results.md").write_text(text)
        log(f"wrote {HERE / 'qiskit_results.md'}")
    if args.dynamic:
        run_dynamic(args.smoke)


def run_dynamic(smoke):
    """The dynamic-circuit rows, in a process of their own (the runtime's pass is stopped
    after a time limit): bench/dynamic_speed.py, its table into dynamic_speed_results.md."""
    command = [sys.executable, "-m", "bench.dynamic_speed"]
    command += ["--smoke", "--no-peer"] if smoke else ["--out", str(HERE / "dynamic_speed_results.md")]
    subprocess.run(command, cwd=HERE.parent, check=True)


if __name__ == "__main__":
    main()

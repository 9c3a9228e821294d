"""Memory probes, each run in a fresh interpreter so that earlier allocations don't count.

    python bench/memory.py core GATES      # bytes per node held by the graph
    python bench/memory.py pipeline GATES  # peak resident memory of the whole pipeline

Each prints one JSON object. `core` ingests `GATES` parameter-free one- and two-qubit gates
and reports the growth of resident memory per node after `build_from_ir` and again after
`build_schedule`; the instruction list already exists when the baseline is taken, so its own
size does not count. `pipeline` runs ingestion, schedule, the XY4 pass and the
export on the layered circuit and reports the process's peak, in total and above the
baseline taken once the instruction list exists.
"""

import gc
import json
import subprocess
import sys
from pathlib import Path

from _vornak import QuantumDAG

import workloads
from silence import stdout_to_devnull

# Circuits longer than this repeat the instructions of one this long, which keeps the
# input cheap to make; the graph copies every instruction anyway.
_DISTINCT = 1_000_000


def _status(field):
    """A size from /proc/self/status, in bytes."""
    with open("/proc/self/status") as status:
        line = next(line for line in status if line.startswith(field + ":"))
    return int(line.split()[1]) * 1024


def _rss():
    return _status("VmRSS")


def _peak_rss():
    # Not getrusage: its maximum carries over from the parent across fork and exec.
    return _status("VmHWM")


def parameter_free(gates):
    base = [(name, qubits, duration, {})
            for name, qubits, duration, _ in workloads.layered_circuit(min(gates, _DISTINCT))]
    return (base * -(-gates // len(base)))[:gates]


def core(gates):
    instructions = parameter_free(gates)
    gc.collect()
    dag = QuantumDAG()
    before = _rss()
    with stdout_to_devnull():
        dag.build_from_ir(instructions)
    ingested = _rss()
    dag.build_schedule()
    scheduled = _rss()
    return {"gates": gates, "bytes_per_node": (ingested - before) / gates,
            "with_schedule": (scheduled - before) / gates}


def pipeline(gates):
    instructions = workloads.layered_circuit(gates)
    durations = workloads.pulse_durations()
    gc.collect()
    before = _rss()
    with stdout_to_devnull():
        dag = QuantumDAG()
        dag.build_from_ir(instructions)
        dag.set_coupling_map(workloads.heavy_hex())
        dag.build_schedule()
        nodes = dag.apply_dd_pass("XY4", durations, workloads.NUM_QUBITS).get_all_nodes()
    peak = _peak_rss()
    return {"gates": gates, "nodes": len(nodes), "peak": peak, "above_input": peak - before}


def probe(kind, gates):
    """Runs one probe in a fresh interpreter and returns its result."""
    out = subprocess.run([sys.executable, str(Path(__file__)), kind, str(gates)],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


if __name__ == "__main__":
    kind, size = sys.argv[1], int(sys.argv[2])
    print(json.dumps({"core": core, "pipeline": pipeline}[kind](size)))

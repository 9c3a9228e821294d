"""The bridge and the interpreter: circuits as the transpiler leaves them, at every level.

Qiskit's own passes leave Python objects cached in a circuit's data (register lists, bit
maps), and the transpiler at optimization level 3 does so on every circuit. Copying such data
through Qiskit's C API from an extension aborts the process, so the padding of these circuits
runs in child processes: an abort fails a test, and the case it met is named.
"""
import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("qiskit")
pytest.importorskip("qiskit_ibm_runtime")

ROOT = pathlib.Path(__file__).resolve().parents[1]

# Every case prints its name before it runs, so that the last name printed is the one that
# killed the child; "done" ends a run that survived.
SWEEP = textwrap.dedent(
    """
    import sys
    from qiskit import QuantumCircuit, transpile
    from qiskit.transpiler import PassManager
    from qiskit_ibm_runtime import fake_provider
    from vornak.qiskit import DynamicalDecoupling, pad

    def ghz():
        qc = QuantumCircuit(3)
        qc.h(0); qc.cx(0, 1); qc.cx(1, 2); qc.measure_all()
        return qc

    def dynamic():
        qc = QuantumCircuit(3, 2)
        qc.h(0); qc.cx(0, 1); qc.measure(0, 0)
        with qc.if_test((qc.clbits[0], 1)):
            qc.x(2)
        qc.cx(1, 2); qc.measure(1, 1)
        return qc

    def step(name, run):
        print(name, flush=True)
        run()

    for device in sys.argv[1:]:
        backend = getattr(fake_provider, device)()
        target = backend.target
        for level in range(4):
            for make in (ghz, dynamic):
                tq = transpile(make(), backend, optimization_level=level, seed_transpiler=3)
                case = f"{device} level {level} {make.__name__}"
                step(case + " pad()", lambda: pad(tq, target=target))
                step(case + " pad() asap", lambda: pad(tq, target=target, scheduling="asap"))
                step(case + " pad() of copy_empty_like()",
                     lambda: pad(tq.copy_empty_like(), target=target))
                step(case + " PassManager",
                     lambda: PassManager([DynamicalDecoupling(target=target)]).run(tq))
                step(case + " two threads", lambda: pad([tq, tq], target=target, threads=2))
            step(f"{device} level {level} plugin", lambda: transpile(
                dynamic(), backend, optimization_level=level, seed_transpiler=3,
                scheduling_method="vornak_dd"))
    print("done", flush=True)
    """
)


def _run(code, *args):
    return subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True,
                          timeout=600, env=dict(os.environ), encoding="utf-8",
                          errors="replace")


@pytest.mark.parametrize("devices", [("FakeKyiv", "FakeSherbrooke"),
                                     ("FakeTorino", "FakeKingston", "FakeNighthawk")])
def test_transpiled_circuits_at_every_level_pad_without_aborting(devices):
    proc = _run(SWEEP, *devices)
    assert proc.returncode == 0 and proc.stdout.endswith("done\n"), (
        f"exit {proc.returncode} in: {proc.stdout.strip().splitlines()[-1:]}\n"
        f"--- stderr\n{proc.stderr[-3000:]}"
    )


def test_the_lock_check_aborts_where_it_is_built_in():
    from vornak import _bridge

    if not hasattr(_bridge, "_check_lock"):
        pytest.skip("this build of vornak._bridge does not check the interpreter lock")
    proc = _run("from vornak import _bridge; _bridge._check_lock()")
    assert proc.returncode != 0
    assert "a Qiskit function was called while the interpreter lock was released" in proc.stderr


def test_the_bridge_releases_the_lock_in_one_place():
    """Only plan.cc's WithoutLock may release it: the lock check relies on that mark."""
    releases = {}
    for path in sorted((ROOT / "src" / "qiskit").glob("*.[ch]*")):
        found = re.findall(r"PyEval_SaveThread|Py_BEGIN_ALLOW_THREADS|PyGILState_Release",
                           path.read_text(encoding="utf-8"))
        if found:
            releases[path.name] = len(found)
    assert releases == {"plan.cc": 1}

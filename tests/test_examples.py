"""The programs in examples/: the Qiskit pass on a device, the adapters, the OpenQASM pipeline
and the timeline pictures.

They need the optional extras (qiskit, matplotlib); each group is skipped when one is missing.
"""
import ast
import math
import os
import pathlib
import re
import subprocess
import sys

import pytest

from _vornak import QuantumDAG

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
CIRCUITS = EXAMPLES / "circuits"
sys.path.insert(0, str(EXAMPLES))


def run_example(*args, cwd=ROOT):
    """Runs `python examples/<args>` as the README does; returns its standard output."""
    proc = subprocess.run([sys.executable, *args], cwd=cwd, capture_output=True, text=True,
                          encoding="utf-8", timeout=300)
    assert proc.returncode == 0, f"{args}: exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout


def test_core_api_page_shows_the_real_output_of_the_worked_example():
    page = (ROOT / "docs" / "apidocs" / "_vornak.md").read_text(encoding="utf-8")
    source = (EXAMPLES / "quickstart.py").read_text(encoding="utf-8")
    code = source.split('"""', 2)[2].strip()
    assert f"```python\n{code}\n```" in page
    shown = page.split("Its output", 1)[1].split("```text\n", 1)[1].split("```", 1)[0]
    proc = subprocess.run([sys.executable, "examples/quickstart.py"], cwd=ROOT, text=True,
                          capture_output=True, encoding="utf-8", check=True,
                          env={**os.environ, "PYTHONUNBUFFERED": "1"})

    def parsed(text):  # a params dict's key order is not fixed: compare tuples as values
        return [ast.literal_eval(line) if line.startswith("(") else line
                for line in text.splitlines()]
    assert parsed(proc.stdout) == parsed(shown)


def test_demo_runs_and_pads():
    out = run_example("examples/demo.py")
    assert "🦀 [Rust] Received 15 instructions from Python." in out
    assert "After the DD pass:" in out and "DD_X" in out


# --- the instruction list of a Qiskit circuit -------------------------------------------

@pytest.fixture(scope="module")
def adapter():
    pytest.importorskip("qiskit")
    import instruction_list
    return instruction_list


def test_instruction_list_units_params_and_directives(adapter):
    from qiskit.circuit import Delay, Parameter, QuantumCircuit
    from qiskit.transpiler import InstructionDurations

    table = InstructionDurations(
        [("h", None, 50, "ns"), ("rz", None, 0, "ns"), ("cx", [1, 0], 0.3, "us"),
         ("measure", [1], 2250, "dt"), ("u", None, 20, "ns")], dt=2e-10)
    qc = QuantumCircuit(2, 1)
    qc.h(0)
    qc.cx(1, 0)
    qc.rz(-0.25, 1)
    qc.u(0.1, 0.2, 0.3, 0)
    qc.barrier()
    qc.append(Delay(500, "dt"), [0])
    qc.delay(1.5, 1, unit="us")
    qc.measure(1, 0)
    assert adapter.to_instructions(qc, table) == [
        ("h", [0], 50.0, {}),
        ("cx", [1, 0], 300.0, {}),            # per-pair entry, microseconds
        ("rz", [1], 0.0, {"p0": -0.25}),
        ("u", [0], 20.0, {"p0": 0.1, "p1": 0.2, "p2": 0.3}),
        ("barrier", [0, 1], 0.0, {}),          # zero length: aligns its qubits
        ("delay", [0], 100.0, {}),             # 500 dt of 0.2 ns
        ("delay", [1], 1500.0, {}),
        ("measure", [1], 450.0, {}),           # dt, rounded clear of conversion noise
    ]

    missing = QuantumCircuit(3)
    missing.cx(1, 2)                            # the table has cx on (1, 0) only
    with pytest.raises(ValueError, match=r"no duration for cx on qubits \[1, 2\]"):
        adapter.to_instructions(missing, table)
    unbound = QuantumCircuit(1)
    unbound.rz(Parameter("t"), 0)
    with pytest.raises(TypeError, match="not a number"):
        adapter.to_instructions(unbound, table)
    dt_delay = QuantumCircuit(1)
    dt_delay.append(Delay(10, "dt"), [0])
    with pytest.raises(ValueError, match="needs a durations table with dt"):
        adapter.to_instructions(dt_delay, InstructionDurations([]))
    with pytest.raises(TypeError):
        adapter.to_instructions(qc, {"h": 50.0})


def test_target_durations_are_seconds(adapter):
    from qiskit.circuit import QuantumCircuit
    from qiskit.circuit.library import CXGate, XGate
    from qiskit.transpiler import InstructionProperties, Target

    target = Target(num_qubits=2)
    target.add_instruction(XGate(), {(0,): InstructionProperties(duration=35.5e-9),
                                     (1,): InstructionProperties(duration=40e-9)})
    target.add_instruction(CXGate(), {(0, 1): InstructionProperties(duration=4.2e-7)})
    qc = QuantumCircuit(2)
    qc.x(1)
    qc.cx(0, 1)
    qc.x(0)
    assert adapter.to_instructions(qc, target) == [
        ("x", [1], 40.0, {}), ("cx", [0, 1], 420.0, {}), ("x", [0], 35.5, {})]


def test_round_trip_keeps_the_circuit_and_adds_named_pulses(adapter):
    from qiskit.quantum_info import Operator
    from qiskit.circuit.library import XGate, YGate

    circuit = adapter.example_circuit()
    padded, graph = adapter.pad_with_dd(circuit, adapter.example_durations(),
                                        coupling=[(0, 1), (1, 2), (2, 3)])
    nodes = graph.get_all_nodes()
    assert [i.operation.name for i in padded.data] == [n for n, *_ in nodes]
    assert [[padded.find_bit(q).index for q in i.qubits] for i in padded.data] == \
        [q for _, q, *_ in nodes]

    kept = [i for i in padded.data if i.operation.name not in adapter.DD_NAMES]
    assert len(kept) == len(circuit.data)
    for new, old in zip(kept, circuit.data):
        assert new.operation == old.operation
        assert [padded.find_bit(c).index for c in new.clbits] == \
            [circuit.find_bit(c).index for c in old.clbits]
    assert padded.cregs == circuit.cregs

    pulses = [i.operation for i in padded.data if i.operation.name in adapter.DD_NAMES]
    # qubit 2 waits 350 ns for its first cx, qubit 3 250 ns after its early measurement
    assert [p.name for p in pulses] == ["DD_X", "DD_Y", "DD_X", "DD_Y"]
    assert pulses[0].shape == {"amp": 0.15, "sigma": 40.0, "beta": 0.5}
    assert Operator(pulses[0]).equiv(Operator(XGate()))
    assert Operator(pulses[1]).equiv(Operator(YGate()))


def test_from_nodes_refuses_nodes_of_another_circuit(adapter):
    circuit = adapter.example_circuit()
    nodes = adapter.to_instructions(circuit, adapter.example_durations())
    swapped = [nodes[1], nodes[0], *nodes[2:]]
    with pytest.raises(ValueError, match="does not match"):
        adapter.from_nodes(swapped, circuit)
    with pytest.raises(ValueError, match="only some"):
        adapter.from_nodes(nodes[:-1], circuit)
    with pytest.raises(ValueError, match="no counterpart"):
        adapter.from_nodes([*nodes, nodes[-1]], circuit)
    # an unscheduled graph gives the pass nothing to copy
    dag = QuantumDAG()
    dag.build_from_ir(nodes)
    with pytest.raises(ValueError, match="only some"):
        adapter.from_nodes(dag.apply_dd_pass().get_all_nodes(), circuit)


def test_instruction_list_example_runs(adapter):
    out = run_example("examples/instruction_list.py")
    assert "('measure', [3], 450.0, {})" in out
    assert "Padded graph: 14 operations" in out


# --- the Qiskit pass: the adapter, the device example, the README ------------------------

@pytest.fixture(scope="module")
def qiskit_pass():
    pytest.importorskip("vornak.qiskit")
    import qiskit_adapter
    return qiskit_adapter


def _gates(circuit):
    """The circuit without delays, measurements and barriers, for `Operator`."""
    out = circuit.copy_empty_like()
    for inst in circuit.data:
        if inst.operation.name not in ("delay", "measure", "barrier"):
            out.append(inst)
    return out


def _check_padding(original, padded, props, target_or_table):
    """The promises of docs/how-to/guarantees.md: the same unitary, every qubit busy or
    delayed from 0 to the end, input operations at their ASAP times, and Qiskit's ASAP
    schedule agreeing."""
    from qiskit.quantum_info import Operator
    from qiskit.transpiler import PassManager, Target
    from qiskit.transpiler.passes import ASAPScheduleAnalysis

    if original.num_qubits <= 8:
        assert Operator(_gates(padded)) == Operator(_gates(original))
    table = target_or_table.durations() if isinstance(target_or_table, Target) \
        else target_or_table
    unit = props["time_unit"]
    starts = props["node_start_time"]
    busy = {}
    for node, start in starts.items():
        qubits = [padded.find_bit(q).index for q in node.qargs]
        length = 0 if node.op.name == "barrier" else table.get(node.op, qubits, unit=unit)
        for q in qubits:
            busy.setdefault(q, []).append((start, start + length))
    end = max(e for spans in busy.values() for _, e in spans)
    for q, spans in busy.items():
        spans.sort()
        assert spans[0][0] == 0 and spans[-1][1] == end, q
        assert all(a[1] == b[0] for a, b in zip(spans, spans[1:])), q   # no hole
    if unit == "dt":
        def asap(circuit):
            pm = PassManager([ASAPScheduleAnalysis(durations=table)])
            pm.run(circuit)
            return sorted((n.op.name, tuple(circuit.find_bit(q).index for q in n.qargs), t)
                          for n, t in pm.property_set["node_start_time"].items())
        mine = sorted((n.op.name, tuple(padded.find_bit(q).index for q in n.qargs), t)
                      for n, t in starts.items())
        assert asap(padded) == mine
        assert set(asap(original)) <= set(mine)
    return busy


def test_pad_with_dd_on_a_durations_table(qiskit_pass):
    from qiskit.circuit.library import XGate, YGate

    circuit = qiskit_pass.example_circuit()
    table = qiskit_pass.example_durations().update([("x", None, 20, "ns"), ("y", None, 20, "ns")])
    for sequence, placement in ((None, "spread"), ([XGate(), YGate(), XGate(), YGate()], "start")):
        padded, props = qiskit_pass.pad_with_dd(circuit, table, coupling=[(0, 1), (1, 2), (2, 3)],
                                                placement=placement, dd_sequence=sequence)
        n = len(sequence or "XX")
        added = padded.count_ops().get("x", 0) + padded.count_ops().get("y", 0)
        assert props["dd_sequences_inserted"] >= 1 and added == n * props["dd_sequences_inserted"]
        _check_padding(circuit, padded, props, table)   # X-Y-X-Y: the phase of -I corrected
    with pytest.raises(TypeError, match="Target or InstructionDurations"):
        qiskit_pass.pad_with_dd(circuit, {"h": 50.0})


def test_adapter_and_pad_circuit_examples(qiskit_pass):
    out = run_example("examples/qiskit_adapter.py")
    assert "1 DD sequences inserted, 0 dropped; times in dt" in out and "Delay(" in out
    pytest.importorskip("qiskit.providers.fake_provider")
    lines = run_example("examples/pad_circuit.py").splitlines()
    page = (ROOT / "docs" / "examples.md").read_text(encoding="utf-8")
    shown = page.split("examples/pad_circuit.py` prints", 1)[1].split("```text\n", 1)[1]
    shown = [line.strip() for line in shown.split("```", 1)[0].splitlines()]
    assert ast.literal_eval(lines[0]) == ast.literal_eval(shown[0]) and lines[1] == shown[1]


# --- the code blocks of the README and the documentation --------------------------------

def _pages_with_code():
    pages = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]
    return [page for page in pages if "```python" in page.read_text(encoding="utf-8")]


def test_pages_print_what_they_show(qiskit_pass):
    """Every Python block of the README and of the docs' pages runs, page by page in order, and
    prints the output shown under it (one process for all pages: Qiskit is imported once)."""
    pytest.importorskip("qiskit_ibm_runtime")
    pages = _pages_with_code()
    assert {"README.md", "docs/getting-started.md", "docs/apidocs/_vornak.md"} <= \
        {str(page.relative_to(ROOT)) for page in pages}
    proc = subprocess.run([sys.executable, str(ROOT / "scripts" / "doc_blocks.py"), *map(str, pages)],
                          cwd=ROOT, capture_output=True, text=True, encoding="utf-8", timeout=600)
    assert proc.returncode == 0, proc.stderr


def test_pass_docstring_example_runs_as_shown(qiskit_pass):
    import doctest

    from vornak.qiskit import DynamicalDecoupling

    finder = doctest.DocTestFinder(recurse=False)
    (test,) = finder.find(DynamicalDecoupling, "DynamicalDecoupling", globs={})
    assert len(test.examples) >= 8
    result = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS).run(test)
    assert result.failed == 0


def test_qiskit_demo_runs_the_readme_example_and_compares_with_qiskit(qiskit_pass):
    """`make demo`'s first part: the README's example as it stands there, then the fidelity
    table, where DD beats no DD under the benchmark's noise."""
    pytest.importorskip("qiskit_ibm_runtime")
    pytest.importorskip("mqt.bench")
    sys.path.insert(0, str(ROOT / "scripts"))
    from doc_blocks import blocks

    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    example = next(block for block in blocks(readme) if block.shown is not None)
    assert example.code in (EXAMPLES / "qiskit_demo.py").read_text(encoding="utf-8")
    out = run_example("examples/qiskit_demo.py")
    assert example.shown in out
    rows = {line.split("  ")[1].strip(): line.split() for line in out.splitlines()
            if line.startswith("  ") and line.rstrip().endswith(" ms")}
    ours = rows["vornak.qiskit.DynamicalDecoupling, defaults"]
    no_dd = rows["no DD"]
    assert float(ours[-5]) > float(no_dd[-5]) and int(ours[-3]) > 0
    assert "vornak.qiskit.pad, the same padding in one call" in rows


@pytest.fixture(scope="module")
def qiskit_dd(qiskit_pass):
    import qiskit_dd
    return qiskit_dd


def test_qiskit_dd_example(qiskit_dd, tmp_path):
    out = run_example("examples/qiskit_dd.py", "--qubits", "8", "-o", str(tmp_path / "q.png"))
    lines = out.splitlines()
    assert lines[0].startswith("ghz on 8 qubits") and "transpiled for" in lines[0]
    for placement, line in zip(qiskit_dd.PLACEMENTS, lines[2:4]):
        assert line.startswith(f'placement="{placement}": ')
        inserted = int(line.split(": ", 1)[1].split()[0])
        added = ast.literal_eval(line.split("added ", 1)[1].split("; ", 1)[0])
        assert inserted > 0 and added["x"] == 2 * inserted   # X-X: the devices have no y
        assert line.endswith(lines[1].split()[2] + " dt = " + line.rsplit(" = ", 1)[1])
    png = (tmp_path / "q.png").read_bytes()
    assert png.startswith(b"\x89PNG\r\n\x1a\n") and len(png) < 400_000
    assert (ROOT / "docs" / "qiskit_timeline.png").stat().st_size < 400_000


@pytest.mark.parametrize("name", ["ghz", "qft"])
def test_qiskit_dd_pulses_on_a_device(qiskit_dd, name):
    """Both placements on the device: the padding promises, and pulses that are aligned,
    apart on coupled qubits and only in gaps before an operation."""
    backend, _ = qiskit_dd.device()
    target = backend.target
    circuit, _ = qiskit_dd.benchmark_circuit(name, 6)
    from qiskit import transpile
    transpiled = transpile(circuit, backend, optimization_level=1, seed_transpiler=1)
    before = qiskit_dd.schedule(transpiled, qiskit_dd.asap(transpiled, target), target)
    edges = set(target.build_coupling_map().get_edges())
    starts = {}
    for placement in qiskit_dd.PLACEMENTS:
        padded, props = qiskit_dd.pad(transpiled, target, placement)
        _check_padding(transpiled, padded, props, target)
        after = qiskit_dd.schedule(padded, props["node_start_time"], target)
        pulses = qiskit_dd.split_pulses(before, after)
        # The default sequence's X̄ is x between rz frame changes, of no length, at the end
        # of a pulse or in the free time before one: the next operation on the qubit.
        frames = [p for p in pulses if p[0] == "rz"]
        pulses = [p for p in pulses if p[0] != "rz"]
        edges_of = {(qs[0], t) for _, qs, s, e in pulses for t in (s, e)}

        def before_a_pulse(q, t):
            later = [(s, 0) for name, qs, s, _ in before if q in qs and s >= t]
            later += [(s, 1) for _, qs, s, _ in pulses if qs[0] == q and s >= t]
            return bool(later) and min(later)[1] == 1

        assert all(s == e and ((qs[0], s) in edges_of or before_a_pulse(qs[0], s))
                   for _, qs, s, e in frames)
        assert len(pulses) == 2 * props["dd_sequences_inserted"] > 0
        by_qubit = {}
        for pulse, (q,), start, end in pulses:
            assert pulse == "x" and start % (target.pulse_alignment or 1) == 0
            assert any(q in qs and s >= end and name != "barrier" for name, qs, s, _ in before)
            by_qubit.setdefault(q, []).append((start, end))
        for a, b in edges:
            for s1, e1 in by_qubit.get(a, ()):
                assert all(e1 <= s2 or e2 <= s1 for s2, e2 in by_qubit.get(b, ()))
        starts[placement] = sorted(p[2] for p in pulses)
        gaps = qiskit_dd.filled_gaps(before, pulses)
        assert all(b - a >= 1.5 * 2 * target.durations().get("x", [q], unit="dt")
                   for q, a, b in gaps)
    assert starts["spread"] != starts["start"]


# --- OpenQASM 2 files --------------------------------------------------------------------

@pytest.fixture(scope="module")
def pipeline():
    pytest.importorskip("qiskit")
    import qasm_pipeline
    return qasm_pipeline


def test_shipped_circuits_parse(pipeline):
    from qiskit import qasm2

    files = sorted(p.name for p in CIRCUITS.glob("*.qasm"))
    assert files == ["dj_6.qasm", "qft_6.qasm", "qv_5.qasm"]
    for name in files:
        circuit = qasm2.load(CIRCUITS / name)
        assert circuit.num_qubits in (5, 6) and circuit.count_ops()["cx"] > 0


@pytest.mark.parametrize("device", ["line", "heavy-hex"])
def test_pipeline_pads_a_transpiled_file(pipeline, device):
    from qiskit import qasm2

    path = CIRCUITS / "dj_6.qasm"
    target = pipeline.make_device(device, 6)
    mapped, padded, graph = pipeline.run(path, target)
    assert set(mapped.count_ops()) <= {"rz", "sx", "x", "ecr", "measure", "barrier"}
    names = [n for n, *_ in graph.get_all_nodes()]
    assert names.count("DD_X") >= 1 and len(names) == len(padded.data)
    assert [i.operation.name for i in padded.data if not i.operation.name.startswith("DD_")] \
        == [i.operation.name for i in mapped.data]
    edges = set(target.build_coupling_map().get_edges())
    for inst in padded.data:
        if inst.operation.name == "ecr":
            assert tuple(padded.find_bit(q).index for q in inst.qubits) in edges

    # the padded circuit written as OpenQASM 2 reads back, pulses as defined gates
    again = qasm2.loads(qasm2.dumps(padded),
                        custom_instructions=qasm2.LEGACY_CUSTOM_INSTRUCTIONS)
    ops = again.count_ops()
    assert ops["gate_DD_X"] == names.count("DD_X") and ops["gate_DD_Y"] == names.count("DD_Y")


def test_pipeline_example_runs(pipeline, tmp_path):
    out = run_example("examples/qasm_pipeline.py", "examples/circuits/qv_5.qasm",
                      "--device", "line", "--out", str(tmp_path))
    assert "Device: 5-qubit example device, 4 coupled pairs" in out
    assert "DD_X and" in out and (tmp_path / "qv_5.dd.qasm").is_file()


# --- the timeline picture ----------------------------------------------------------------

@pytest.fixture(scope="module")
def timeline():
    pytest.importorskip("matplotlib")
    import timeline
    return timeline


def _graph(instructions, coupling):
    dag = QuantumDAG()
    dag.build_from_ir(instructions)
    dag.set_coupling_map(coupling)
    dag.build_schedule()
    return dag


@pytest.mark.parametrize("sequence, short_pulses, crosstalk", [
    ("XY", False, True), ("XY4", False, True), ("XY", False, False), ("XY4", True, True),
])
def test_placement_matches_the_module_and_keeps_its_rules(timeline, sequence, short_pulses,
                                                          crosstalk):
    """The picture's times: same operations as the module's result, and times that obey
    the pass's rules (pulses inside their gap, 10 ns apart, apart from coupled pulses)."""
    from bench.workloads import heavy_hex, layered_circuit

    edges = heavy_hex()
    instructions = layered_circuit(600, seed=3, edges=edges)
    pulse_ns = {q: 12.0 + q % 5 for q in range(127)} if short_pulses else None
    num_qubits = 127 if crosstalk else 0
    dag = _graph(instructions, edges)
    placed, gaps = timeline.place_pulses(dag, sequence, pulse_ns, num_qubits, edges)
    result = dag.apply_dd_pass(sequence, pulse_ns, num_qubits)
    assert [(n, q) for n, q, *_ in placed] == [(n, q) for n, q, *_ in result.get_all_nodes()]

    pulses = [p for p in placed if p[0].startswith("DD_")]
    assert len(pulses) > 20 and gaps
    coupled = {tuple(e) for e in edges} | {(b, a) for a, b in edges}
    per_qubit = {}
    for i, (name, qubits, start, end) in enumerate(placed):
        if not name.startswith("DD_"):
            continue
        (q,) = qubits
        assert math.isclose(end - start, (pulse_ns or {}).get(q, 50.0))
        following = next(op for op in placed[i + 1:] if not op[0].startswith("DD_"))
        assert q in following[1] and end <= following[2]   # done before its node starts
        earlier = per_qubit.setdefault(q, [])
        if earlier:
            assert start >= earlier[-1][1]                       # in time order, no overlap
        previous = placed[i - 1]
        if previous[0].startswith("DD_") and previous[1] == [q]:   # same visit
            assert start >= previous[3] + 10.0 - 1e-9
        earlier.append((start, end))
    if crosstalk:
        for (a, b) in coupled:
            for s1, e1 in per_qubit.get(a, []):
                for s2, e2 in per_qubit.get(b, []):
                    assert e1 <= s2 or e2 <= s1, (a, b, (s1, e1), (s2, e2))


def test_placement_of_the_worked_example(timeline):
    dag = _graph([("x", [1], 400.0, {}), ("cx", [0, 1], 300.0, {})], [(0, 1)])
    placed, gaps = timeline.place_pulses(dag, "XY", {0: 50.0}, 2, [(0, 1)])
    assert placed == [("x", [1], 0.0, 400.0), ("DD_X", [0], 0.0, 50.0),
                      ("DD_Y", [0], 60.0, 110.0), ("cx", [0, 1], 400.0, 700.0)]
    assert gaps == [(0, 0.0, 400.0)]


def test_timeline_png(timeline, tmp_path):
    out = run_example("examples/timeline.py", "-o", str(tmp_path / "t.png"), "--sequence",
                      "XY4")
    assert "DD_X on q3:   240.0 ->   290.0 ns" in out      # moved past qubit 2's pulses
    png = (tmp_path / "t.png").read_bytes()
    assert png.startswith(b"\x89PNG\r\n\x1a\n") and len(png) < 200_000
    shipped = ROOT / "docs" / "timeline.png"
    assert shipped.stat().st_size < 200_000


def test_timeline_of_a_qasm_file(timeline, tmp_path):
    pytest.importorskip("qiskit")
    out = run_example(str(EXAMPLES / "timeline.py"), "--qasm", str(CIRCUITS / "dj_6.qasm"),
                      "-o", "dj.png", "--xlim", "0", "3000", cwd=tmp_path)
    assert "wrote dj.png" in out and (tmp_path / "dj.png").stat().st_size > 10_000


# --- the runtime recipes (docs/guides), in qiskit-ibm-runtime's local testing mode ------

@pytest.fixture(scope="module")
def local_mode():
    for module in ("qiskit", "vornak.qiskit", "qiskit_ibm_runtime", "qiskit_aer", "samplomatic"):
        pytest.importorskip(module)


def figures(out):
    """{the text before a colon: what follows it} of each line of `out`."""
    return dict(line.split(": ", 1) for line in out.splitlines() if ": " in line)


def test_runtime_primitives_take_padded_circuits(local_mode):
    out = figures(run_example("examples/runtime_primitives.py"))
    assert int(out["pulses added"]) > 0
    share = float(out["sampler"].split(" in ")[1].split()[0])
    zzi, izz, xxx = (float(v) for v in out["estimator"].split("= ")[1].split())
    # GHZ on noisy Manila: mostly 000 / 111, <ZZ> and <XXX> near +1, none of them ideal.
    assert 0.6 < share < 1 and 0.5 < min(zzi, izz) < 1 and 0.3 < xxx < 1


def test_runtime_executor_runs_a_padded_twirled_program(local_mode):
    text = run_example("examples/runtime_executor.py")
    out = figures(text)
    assert int(out["pulses added"]) > 0
    assert out["parameters kept"] == "True" and out["labelled barriers kept"] == "True"
    assert out["result shape (randomisations, shots, bits)"] == "(8, 100, 3)"
    share = float(re.search(r"000 or 111 in ([\d.]+) of the shots", text).group(1))
    assert 0.6 < share < 1


def test_runtime_dynamic_circuit_through_the_sampler(local_mode):
    text = run_example("examples/runtime_dynamic.py")
    out = figures(text)
    assert out["runtime DD"] == "IBMInputValueError"  # the runtime's DD refuses control flow
    assert int(out["stretches for the device"]) > 0 and int(out["pulses for local mode"]) > 0
    first, second = (float(v) for v in re.search(
        r"first bit 1 in ([\d.]+) of the shots, second bit 0 in ([\d.]+)", text).groups())
    assert 0.3 < first < 0.7  # the Bell pair's measurement
    assert 0.75 < second < 1  # the feed-forward undid it on q2


@pytest.mark.parametrize("page, example", [
    ("runtime-primitives.md", "runtime_primitives.py"),
    ("runtime-executor.md", "runtime_executor.py"),
    ("runtime-dynamic.md", "runtime_dynamic.py"),
])
def test_runtime_guides_show_their_example(page, example):
    text = (ROOT / "docs" / "guides" / page).read_text(encoding="utf-8")
    code = (EXAMPLES / example).read_text(encoding="utf-8").split('"""', 2)[2].strip()
    assert f"```python\n{code}\n```" in text
    assert f"python examples/{example}" in text

"""Classical stores: padding keeps every store in its place among the operations that write
and read its clbits and variables (at the top level and in every body, natively and in
Python, through pad() and the pass), a circuit with stores but no control flow is padded,
and pad() gives the pass's circuit."""

import pytest

pytest.importorskip("qiskit")
pytest.importorskip("vornak.qiskit")
runtime = pytest.importorskip("qiskit_ibm_runtime.fake_provider")

from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister, transpile  # noqa: E402
from qiskit.circuit import ControlFlowOp  # noqa: E402
from qiskit.circuit.classical import expr, types  # noqa: E402
from qiskit.converters import circuit_to_dag  # noqa: E402
from qiskit.transpiler import CouplingMap, InstructionDurations, PassManager  # noqa: E402

from bench import dynamic_circuits as dc  # noqa: E402
from test_dynamic_native import _Random, assert_same_results, both_ways  # noqa: E402
from padding_paths import use_native  # noqa: E402
from vornak.qiskit import DynamicalDecoupling, pad  # noqa: E402

DEVICES = ("FakeSherbrooke", "FakeTorino", "FakeKingston")
_TARGETS = {}


def target(name):
    if name not in _TARGETS:
        _TARGETS[name] = getattr(runtime, name)().target
    return _TARGETS[name]


def history(circuit) -> dict:
    """For each clbit and classical variable of `circuit`, what acts on it, in order (as
    Qiskit's DAG orders it): measurements with their qubit, stores with their two sides,
    control flow with the histories of its bodies."""
    dag = circuit_to_dag(circuit)
    wires = [(f"c{i}", bit) for i, bit in enumerate(circuit.clbits)]
    wires += [(var.name, var) for var in circuit.iter_vars()]
    return {key: [_event(node, dag) for node in dag.nodes_on_wire(wire, only_ops=True)]
            for key, wire in wires}


def _event(node, dag):
    op = node.op
    if isinstance(op, ControlFlowOp):
        return op.name, [history(block) for block in op.blocks]
    if op.name == "store":
        return "store", str(op.lvalue), str(op.rvalue)
    return op.name, [dag.find_bit(q).index for q in node.qargs]


# -- circuits whose classical result depends on where a store stands ---------------------------


def stored_before_measure() -> QuantumCircuit:
    """v takes c0 before c0 is measured: the if must see the old c0 (0), not the result."""
    qc = QuantumCircuit(3, 1)
    v = qc.add_var("v", False)
    qc.x(0)
    qc.sx(1)
    qc.store(v, qc.clbits[0])
    qc.measure(0, 0)
    with qc.if_test(v):
        qc.x(2)
    qc.sx(2)
    return qc


def overwritten_by_measure() -> QuantumCircuit:
    """c0 is set to 1 and then measured (0): c0 ends as the measured 0."""
    qc = QuantumCircuit(3, 1)
    qc.sx(1)
    qc.sx(2)
    qc.store(qc.clbits[0], True)
    qc.measure(0, 0)
    with qc.if_test((qc.clbits[0], 1)):
        qc.x(2)
    qc.sx(2)
    return qc


def register_store_in_a_body() -> QuantumCircuit:
    """A register written whole by a store inside a body, then measured bit by bit and
    read whole; a variable set from a clbit before that clbit is measured again."""
    q = QuantumRegister(3, "q")
    flags = ClassicalRegister(2, "flags")
    out = ClassicalRegister(1, "out")
    qc = QuantumCircuit(q, flags, out)
    w = qc.add_var("w", expr.lift(False))
    qc.h(0)
    qc.measure(0, out[0])
    with qc.if_test((out[0], 1)):
        qc.store(flags, expr.lift(3, types.Uint(2)))
        qc.measure(1, flags[1])
        qc.x(1)
        qc.store(w, flags[0])
        qc.measure(2, flags[0])
    with qc.if_test(expr.equal(flags, 3)) as else_:
        qc.x(0)
    with else_:
        qc.x(2)
    with qc.if_test(w):
        qc.x(1)
    qc.sx(0)
    return qc


CIRCUITS = {f.__name__: f for f in (stored_before_measure, overwritten_by_measure,
                                    register_store_in_a_body)}


@pytest.mark.parametrize("device", DEVICES)
@pytest.mark.parametrize("name", sorted(CIRCUITS))
def test_stores_keep_their_place_on_their_wires(name, device, monkeypatch):
    """On every clbit and variable, at the top level and in every body, the padded circuit
    measures, stores and branches in the input's order: its classical results are the
    input's. Natively and in Python, through pad() and the pass."""
    mapped = dc.transpiled(CIRCUITS[name](), target(device))
    expected = history(mapped)
    for native in (True, False):
        use_native(monkeypatch, native)
        for around in ("stretch", "idle"):
            options = {"target": target(device), "around_control_flow": around}
            padded = pad(mapped, **options)
            assert history(padded) == expected, (native, around)
            through_pass = PassManager([DynamicalDecoupling(**options)]).run(mapped)
            assert through_pass == padded, (native, around)


@pytest.mark.parametrize("seed", range(24))
def test_random_circuits_with_stores(seed, monkeypatch):
    """Natively and in Python alike, every store in its place; and pad() gives the pass's
    circuit, stores and control flow on other wires than each other's in whichever order
    the pass's DAG lists them, at the top level as in the bodies (whose stretch sequences
    are named in the order the bodies are padded)."""
    circuit = _Random(seed).qc
    expected = history(circuit)
    for around in ("stretch", "idle"):
        python, native = both_ways(circuit, monkeypatch, around_control_flow=around)
        assert_same_results(python, native)
        for padded, through_pass, _ in (python, native):
            assert history(padded) == history(through_pass) == expected
            assert padded == through_pass


# -- stores without control flow ---------------------------------------------------------------


def stores_without_control_flow() -> QuantumCircuit:
    qc = QuantumCircuit(3, 2)
    v = qc.add_var("v", False)
    qc.x(0)
    qc.sx(1)
    qc.measure(0, 0)
    qc.store(v, qc.clbits[0])  # reads c0 after its measurement, before the next one
    qc.store(qc.clbits[1], expr.logic_not(v))  # written, then measured over
    qc.sx(2)
    qc.measure(1, 1)
    qc.measure(2, 0)
    return qc


@pytest.mark.parametrize("device", DEVICES)
def test_a_circuit_with_stores_and_no_control_flow_is_padded(device):
    """The pass, pad() and the plugin pad it; each store keeps its place on its wires and its
    time: after what it reads or overwrites has been written, before the next write."""
    t = target(device)
    logical = stores_without_control_flow()
    mapped = dc.transpiled(logical, t)
    manager = PassManager([DynamicalDecoupling(target=t)])
    through_pass = manager.run(mapped)
    assert through_pass == pad(mapped, target=t)
    assert history(through_pass) == history(mapped)
    assert through_pass.count_ops()["x"] > mapped.count_ops()["x"]  # padded
    assert through_pass.count_ops()["store"] == 3
    durations = t.durations()
    measures, stores = {}, {}  # measurements by clbit, stores by what they write
    for node, start in sorted(manager.property_set["node_start_time"].items(),
                              key=lambda item: item[1]):
        if node.name == "measure":
            qubit = through_pass.find_bit(node.qargs[0]).index
            span = (start, start + durations.get("measure", [qubit], unit="dt"))
            measures.setdefault(through_pass.find_bit(node.cargs[0]).index, []).append(span)
        elif node.name == "store":
            stores.setdefault(str(node.op.lvalue), []).append(start)
    (first, third), (second,) = measures[0], measures[1]
    _, reads = stores[str(mapped.get_var("v"))]  # after v's initialisation
    (writes,) = stores[str(expr.lift(mapped.clbits[1]))]
    assert first[1] <= reads <= third[0]  # v = c0 between the two measurements into c0
    assert reads <= writes <= second[0]  # c1 = !v after v is set, before c1 is measured
    plugin = transpile(logical, target=t, scheduling_method="vornak_dd",
                       optimization_level=1, seed_transpiler=dc.TRANSPILE_SEED,
                       initial_layout=dc.line_layout(t, 3))
    assert history(plugin) == history(mapped)
    assert plugin.count_ops()["x"] > mapped.count_ops()["x"]


def test_stores_without_control_flow_in_ns():
    """Timed in ns (written on Qiskit's clock), a store takes no time either."""
    durations = InstructionDurations(
        [("sx", None, 35, "ns"), ("x", None, 35, "ns"), ("measure", None, 1000, "ns")])
    circuit = stores_without_control_flow()
    options = {"durations": durations, "coupling_map": CouplingMap.from_line(3)}
    manager = PassManager([DynamicalDecoupling(**options)])
    through_pass = manager.run(circuit)
    assert through_pass == pad(circuit, **options)
    assert history(through_pass) == history(circuit)
    (reads,) = [start for node, start in manager.property_set["node_start_time"].items()
                if node.name == "store" and str(node.op.rvalue) == str(expr.lift(circuit.clbits[0]))]
    assert reads >= 1000.0  # v = c0 after the first measurement, into c0, ends


@pytest.mark.parametrize("device", ("FakeSherbrooke", "FakeTorino"))
def test_a_store_after_a_break_stays_after_it(device, monkeypatch):
    """A store listed after a branch that may leave the loop shares no wire with it, yet
    must not run when the loop is left: it stays after the branch in the padded body."""
    qc = QuantumCircuit(3, 1)
    v = qc.add_var("v", False)
    with qc.for_loop(range(2)):
        qc.x(0)
        qc.measure(0, 0)
        with qc.if_test((qc.clbits[0], 0)):
            qc.x(1)
        with qc.if_test((qc.clbits[0], 1)):
            qc.break_loop()
        qc.store(v, True)
    with qc.if_test(v):
        qc.x(2)
    for native in (True, False):
        use_native(monkeypatch, native)
        padded = pad(qc, target=target(device))  # x and measure: the device's own
        (loop,) = [i.operation for i in padded.data if i.operation.name == "for_loop"]
        names = [i.operation.name for i in loop.blocks[0].data if i.operation.name != "delay"]
        assert names.index("store") > max(k for k, n in enumerate(names) if n == "if_else")

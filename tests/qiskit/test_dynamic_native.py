"""Dynamic circuits padded natively (the bridge reads bodies through Qiskit's C API) against
the Python padder: the same instructions in the same order, start times, global phases and
counts, on random nested circuits of every control-flow kind; and the circuits that must go
the Python way."""

import copy
import importlib

import numpy as np
import pytest

pytest.importorskip("qiskit")
pytest.importorskip("vornak.qiskit")

from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister  # noqa: E402
from qiskit.circuit import Gate  # noqa: E402
from qiskit.circuit.classical import expr, types  # noqa: E402
from qiskit.quantum_info import random_unitary  # noqa: E402
from qiskit.transpiler import CouplingMap, InstructionDurations, PassManager  # noqa: E402
from qiskit.transpiler.exceptions import TranspilerError  # noqa: E402

import vornak.qiskit.dynamic as dynamic  # noqa: E402
from vornak.qiskit import DynamicalDecoupling, pad  # noqa: E402
from vornak.qiskit.options import AROUND  # noqa: E402
from padding_paths import native_path_on, use_native  # noqa: E402
from vornak.qiskit.dynamic import pad_dynamic  # noqa: E402

WIDTH = 6
DURATIONS = InstructionDurations(
    [(name, None, 160) for name in ("x", "sx", "y", "h")]
    + [("rz", None, 0), ("z", None, 0), ("cx", None, 800), ("measure", None, 1600),
       ("reset", None, 1600), ("pulse", None, 320)],
    dt=2.2222e-10,
)
LINE = CouplingMap.from_line(WIDTH)
OPTIONS = {"durations": DURATIONS, "coupling_map": LINE, "pulse_alignment": 16}


@pytest.fixture
def native_calls(monkeypatch):
    """Whether the bridge padded each dynamic circuit that pad() or the pass padded while the
    native path was on (`PaddedDynamic.native`)."""
    calls = []

    def recorded(padding, circuit):
        padded = pad_dynamic(padding, circuit)
        if native_path_on():
            calls.append(padded.native)
        return padded

    # pad() and the pass (through pad_dynamic_dag) call pad_dynamic by these names.
    monkeypatch.setattr(importlib.import_module("vornak.qiskit.pad"), "pad_dynamic", recorded)
    monkeypatch.setattr(dynamic, "pad_dynamic", recorded)
    return calls


def both_ways(circuit, monkeypatch, **options):
    """(Python, native) results of pad() and of the pass through a PassManager: the padded
    circuits with their property sets."""
    found = {}
    for native in (False, True):
        use_native(monkeypatch, native)
        manager = PassManager([DynamicalDecoupling(**dict(OPTIONS, **options))])
        through_pass = manager.run(circuit)
        found[native] = (pad(circuit, **dict(OPTIONS, **options)), through_pass,
                         dict(manager.property_set))
    return found[False], found[True]


def assert_identical(a, b, path="top"):
    """Equal instruction by instruction, in order, bodies too, with equal global phases."""
    assert a.global_phase == b.global_phase, path
    assert (a.num_qubits, a.num_clbits) == (b.num_qubits, b.num_clbits), path
    assert len(a.data) == len(b.data), path
    for k, (x, y) in enumerate(zip(a.data, b.data)):
        where = f"{path}[{k}] {x.operation.name}"
        assert x.operation.name == y.operation.name, where
        assert [a.find_bit(q).index for q in x.qubits] == [b.find_bit(q).index for q in y.qubits], where
        assert [a.find_bit(c).index for c in x.clbits] == [b.find_bit(c).index for c in y.clbits], where
        if x.is_control_flow():
            assert len(x.operation.blocks) == len(y.operation.blocks), where
            for j, (p, q) in enumerate(zip(x.operation.blocks, y.operation.blocks)):
                assert_identical(p, q, f"{where}.{j}")
        else:
            assert x.operation == y.operation, where
    assert a == b, path


def assert_same_results(python, native):
    (py_pad, py_pass, py_props), (nat_pad, nat_pass, nat_props) = python, native
    for ours, theirs in ((py_pad, nat_pad), (py_pass, nat_pass)):
        assert_identical(ours, theirs)
        assert ours.op_start_times == theirs.op_start_times
    for key in ("dd_sequences_inserted", "dd_sequences_dropped",
                "dd_stretch_sequences_inserted", "time_unit"):
        assert py_props[key] == nat_props[key], key


# -- random nested dynamic circuits ----------------------------------------------------------


class _Random:
    """A random circuit on a line of WIDTH qubits: gates, mid-circuit measurements, resets,
    barriers, stores into clbits and a variable, and every control-flow kind, nested, with
    conditions on bits, registers, classical expressions and the variable."""

    def __init__(self, seed):
        self.rng = np.random.default_rng(seed)
        self.qc = QuantumCircuit(QuantumRegister(WIDTH, "q"), ClassicalRegister(3, "c"))
        self.var = None
        if self.rng.random() < 0.4:
            self.var = self.qc.add_var("flag", expr.lift(False))
        if self.rng.random() < 0.2:
            self.qc.add_stretch("spare")  # a stretch of the user's: one wire for classical data
        self.fill(depth=2, size=int(self.rng.integers(8, 18)))
        if not self.qc._data.has_control_flow_op():
            self.control_flow(depth=1)

    def qubit(self):
        return int(self.rng.integers(WIDTH))

    def clbit(self):
        return self.qc.clbits[int(self.rng.integers(3))]

    def condition(self):
        pick = self.rng.random()
        if pick < 0.4:
            return (self.clbit(), int(self.rng.integers(2)))
        if pick < 0.6:
            return (self.qc.cregs[0], int(self.rng.integers(8)))
        if self.var is not None and pick < 0.8:
            return self.var
        return expr.logic_or(expr.lift(self.clbit()), expr.logic_not(self.clbit()))

    def fill(self, depth, size):
        qc, rng = self.qc, self.rng
        for _ in range(size):
            pick = rng.random() if depth > 0 else rng.random() * 0.7
            q = self.qubit()
            if pick < 0.25:
                getattr(qc, str(rng.choice(["x", "sx", "h", "y", "z"])))(q)
            elif pick < 0.3:
                qc.rz(float(rng.uniform(-3, 3)), q)
            elif pick < 0.45:
                a = int(rng.integers(WIDTH - 1))
                qc.cx(a, a + 1) if rng.random() < 0.5 else qc.cx(a + 1, a)
            elif pick < 0.53:
                qc.measure(q, self.clbit())
            elif pick < 0.6:
                qc.reset(q)
            elif pick < 0.61:
                qc.barrier(*sorted({q, self.qubit()}))
            elif pick < 0.63:
                qc.delay(16 * int(rng.integers(0, 40)), q)  # in dt: read natively
            elif pick < 0.7:
                if self.var is not None and rng.random() < 0.5:
                    qc.store(self.var, expr.lift(self.clbit()))
                else:
                    qc.store(self.clbit(), expr.lift(bool(rng.integers(2))))
            else:
                self.control_flow(depth)

    def control_flow(self, depth):
        qc, rng = self.qc, self.rng
        size = int(rng.integers(1, 5))
        kind = rng.integers(6)
        if kind == 0:
            with qc.if_test(self.condition()) as else_:
                self.fill(depth - 1, size)
            if rng.random() < 0.6:
                with else_:
                    self.fill(depth - 1, size)
        elif kind == 1:
            target = self.clbit() if rng.random() < 0.5 else qc.cregs[0]
            with qc.switch(target) as case:
                with case(0):
                    self.fill(depth - 1, size)
                with case(case.DEFAULT):
                    self.fill(depth - 1, size)
        elif kind == 2:
            with qc.for_loop(range(int(rng.integers(1, 4)))) as i:
                qc.rz(i * 0.5, self.qubit())
                self.fill(depth - 1, size)
        elif kind == 3:
            with qc.while_loop((self.clbit(), 0)):
                self.fill(depth - 1, size)
        elif kind == 4:
            with qc.box():
                self.fill(depth - 1, size)
        else:
            # An empty-looking body on one qubit, beside others idle around it.
            with qc.if_test((self.clbit(), 1)):
                qc.x(self.qubit())


@pytest.mark.parametrize("seed", range(24))
def test_random_nested_circuits_padded_alike(seed, monkeypatch, native_calls):
    circuit = _Random(seed).qc
    for around in AROUND:
        python, native = both_ways(circuit, monkeypatch, around_control_flow=around)
        assert_same_results(python, native)
    # pad() and the pass padded natively for stretch and idle; widen goes the Python way.
    assert native_calls == [not_widen for around in AROUND
                            for not_widen in [around != "widen"] * 2]


def test_stretch_sequences_and_skipped_reset_qubits_alike(monkeypatch, native_calls):
    """Many qubits idle around control flow, some reset, with the walsh and spread
    placements and without skipping reset qubits."""
    qc = QuantumCircuit(WIDTH, 2)
    qc.h(range(WIDTH))
    for a in range(WIDTH - 1):
        qc.cx(a, a + 1)
    qc.reset(2)
    for _ in range(3):
        qc.measure(0, 0)
        with qc.if_test((qc.clbits[0], 1)):
            qc.x(1)
            with qc.if_test((qc.clbits[1], 0)):
                qc.sx(0)
        qc.cx(3, 4)
    for options in ({}, {"placement": "spread"}, {"placement": "walsh"},
                    {"skip_reset_qubits": False}, {"scheduling": "asap"}):
        options = {k: v for k, v in options.items() if k != "scheduling"}
        python, native = both_ways(qc, monkeypatch, **options)
        assert_same_results(python, native)
        assert native[2]["dd_stretch_sequences_inserted"] > 0
    assert all(native_calls) and len(native_calls) == 10


# -- the circuits that go the Python way -----------------------------------------------------


class Pulse(Gate):
    """A gate the C API holds as a Python object."""

    def __init__(self):
        super().__init__("pulse", 1, [])

    def _define(self):
        self.definition = QuantumCircuit(1)


def _feed_forward():
    qc = QuantumCircuit(WIDTH, 1)
    qc.h(range(WIDTH))
    qc.measure(0, 0)
    with qc.if_test((qc.clbits[0], 1)):
        qc.x(1)
    qc.cx(1, 2)
    return qc


def _with_label(qc):
    with qc.if_test((qc.clbits[0], 0)):
        qc.x(3, label="mine")
    return qc


def _with_delay_in_ns(qc):
    with qc.if_test((qc.clbits[0], 0)):
        qc.delay(320, 3, unit="ns")
    return qc


def _with_python_gate(qc):
    with qc.if_test((qc.clbits[0], 0)):
        qc.append(Pulse(), [3])
    return qc


@pytest.mark.filterwarnings("ignore:Duration is rounded")
@pytest.mark.parametrize("change, options", [
    (_with_label, {}),  # labels: the C API drops them
    (_with_delay_in_ns, {}),  # delays in units of time: Python converts them
    (_with_python_gate, {}),  # a gate the C API holds as a Python object
    (lambda qc: qc, {"around_control_flow": "widen"}),
])
def test_what_the_c_api_cannot_carry_goes_the_python_way(change, options, monkeypatch,
                                                         native_calls):
    circuit = change(_feed_forward())
    python, native = both_ways(circuit, monkeypatch, **options)
    assert_same_results(python, native)
    # Refused by the bridge, or never asked: pad() and the pass both pad in Python.
    assert native_calls == [False, False]


def test_times_in_ns_go_the_python_way(monkeypatch, native_calls):
    durations = InstructionDurations(
        [("h", None, 50, "ns"), ("x", None, 35, "ns"), ("cx", None, 300, "ns"),
         ("measure", None, 1000, "ns")])
    circuit = _feed_forward()
    found = []
    for native in (False, True):
        use_native(monkeypatch, native)
        found.append(pad(circuit, durations=durations, coupling_map=LINE))
    assert_identical(*found)
    assert found[0].op_start_times == found[1].op_start_times
    assert native_calls == [False]


@pytest.mark.parametrize("fault, words", [
    (lambda qc: qc.ecr(2, 3), "Duration of ecr"),  # no duration in the table
    (lambda qc: qc.delay(qc.get_stretch("wait"), 3), "no fixed duration"),  # a stretch
])
def test_a_fault_in_a_body_is_the_same_error(fault, words, monkeypatch):
    qc = _feed_forward()
    qc.add_stretch("wait")
    with qc.if_test((qc.clbits[0], 0)):
        fault(qc)
    messages = []
    for native in (False, True):
        use_native(monkeypatch, native)
        with pytest.raises(TranspilerError) as error:
            pad(qc, **OPTIONS)
        messages.append(str(error.value))
    assert messages[0] == messages[1] and words in messages[0]


def test_a_variable_makes_stores_and_control_flow_one_wire(monkeypatch, native_calls):
    """Two conditions on disjoint bits and qubits share a level without a variable and chain
    with one: the native cut tells them apart as the Python one does."""
    for with_var in (False, True):
        qc = QuantumCircuit(WIDTH, 2)
        qc.h(range(WIDTH))
        qc.measure(0, 0)
        qc.measure(3, 1)
        if with_var:
            qc.add_var("v", expr.lift(True, types.Bool()))
        with qc.if_test((qc.clbits[0], 1)):
            qc.x(1)
        with qc.if_test((qc.clbits[1], 1)):
            qc.x(4)
        qc.cx(1, 2)
        python, native = both_ways(qc, monkeypatch)
        assert_same_results(python, native)
    assert native_calls == [True] * 4


def test_unitaries_are_padded_natively(monkeypatch, native_calls):
    """Unitaries before control flow and in a body, one on its qubits in reverse order, keep
    their matrices and qubit order."""
    qc = _feed_forward()
    qc.unitary(random_unitary(2, seed=1), [5])
    with qc.if_test((qc.clbits[0], 0)):
        qc.unitary(random_unitary(4, seed=2), [3, 2])
        qc.x(4)
    durations = copy.deepcopy(DURATIONS).update([("unitary", None, 480)])
    python, native = both_ways(qc, monkeypatch, durations=durations)
    assert_same_results(python, native)
    assert native_calls == [True, True]


def test_names_metadata_and_layout_are_kept(monkeypatch, native_calls):
    """The padded circuit and bodies keep what Python holds beside their instructions."""
    from qiskit import transpile

    body = QuantumCircuit(2, 1, name="correction", metadata={"kind": "feed-forward"})
    body.x(0)
    body.cx(0, 1)
    qc = QuantumCircuit(WIDTH, 1, name="outer", metadata={"run": 3})
    qc.h(range(WIDTH))
    qc.measure(0, 0)
    qc.if_else((qc.clbits[0], 1), body, None, [1, 2], [0])
    qc.cx(2, 3)
    mapped = transpile(qc, coupling_map=LINE, initial_layout=list(range(WIDTH)),
                       basis_gates=["x", "sx", "rz", "cx", "measure", "if_else"])
    for circuit in (qc, mapped):
        found = []
        for native in (False, True):
            use_native(monkeypatch, native)
            found.append(pad(circuit, **OPTIONS))
        assert_identical(*found)
        ifs = []
        for padded in found:
            assert (padded.name, padded.metadata) == (circuit.name, circuit.metadata)
            assert padded.layout == circuit.layout
            (operation,) = [i.operation for i in padded.data if i.is_control_flow()]
            ifs.append(operation.blocks[0])
        (original,) = [i.operation for i in circuit.data if i.is_control_flow()]
        for block in ifs:
            assert (block.name, block.metadata) == (original.blocks[0].name,
                                                    original.blocks[0].metadata)
        if circuit is qc:
            assert ifs[1].name == "correction" and ifs[1].metadata == {"kind": "feed-forward"}
    assert mapped.layout is not None
    assert native_calls == [True, True]


def test_loops_with_break_and_continue_are_padded_natively(monkeypatch, native_calls):
    """break_loop and continue_loop end the block like control flow and stay where they
    were, in the native and the Python padder alike."""
    qc = QuantumCircuit(WIDTH, 2)
    qc.h(range(WIDTH))
    with qc.for_loop(range(3)):
        qc.x(1)
        qc.measure(1, 0)
        with qc.if_test((qc.clbits[0], 1)):
            qc.break_loop()
        qc.sx(2)
    with qc.while_loop((qc.clbits[1], 0)):
        qc.measure(3, 1)
        with qc.if_test((qc.clbits[1], 1)):
            qc.continue_loop()
        qc.cx(3, 4)
    qc.cx(1, 2)
    padded = pad(qc, **OPTIONS)
    assert native_calls == [True]
    manager = PassManager([DynamicalDecoupling(**OPTIONS)])
    assert manager.run(qc) == padded  # the same up to the order of independent instructions

    def skeleton(circuit):
        """The operations other than delays, pulses and the stretch sequences' barriers,
        bodies included, in order."""
        found = []
        for instruction in circuit.data:
            name = instruction.operation.name
            if instruction.is_control_flow() or name in ("break_loop", "continue_loop"):
                blocks = getattr(instruction.operation, "blocks", ())
                found.append((name, [skeleton(block) for block in blocks]))
            elif name not in ("delay", "x", "y", "rz", "barrier"):
                found.append(name)
        return found

    assert skeleton(padded) == skeleton(qc)
    python, native = both_ways(qc, monkeypatch)
    assert_same_results(python, native)

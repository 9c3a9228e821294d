"""The pass and pad on dynamic circuits: every branch exact, every block and body timed and
on the device's grids, whole sequences, conditions kept, and the stretch sequences' algebra."""

import copy
from collections import Counter

import numpy as np
import pytest

pytest.importorskip("qiskit")
pytest.importorskip("vornak.qiskit")
runtime = pytest.importorskip("qiskit_ibm_runtime.fake_provider")

from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister, transpile  # noqa: E402
from qiskit.circuit import ControlFlowOp, Delay  # noqa: E402
from qiskit.circuit.classical import expr  # noqa: E402
from qiskit.converters import circuit_to_dag  # noqa: E402
from qiskit.quantum_info import Operator  # noqa: E402
from qiskit.transpiler import PassManager  # noqa: E402
from qiskit.transpiler.exceptions import TranspilerError  # noqa: E402
from qiskit.transpiler.passes import InstructionDurationCheck  # noqa: E402

from bench import dynamic_circuits as dc  # noqa: E402
from bench.dynamic_sim import branch_states, resolve_stretch_pulses, used_qubits  # noqa: E402
from vornak.qiskit import DynamicalDecoupling, pad  # noqa: E402
from padding_paths import use_native  # noqa: E402
from vornak.qiskit.dynamic.blocks import levels  # noqa: E402
from vornak.qiskit.options import AROUND  # noqa: E402

DEVICES = ("FakeSherbrooke", "FakeTorino", "FakeKyiv")
_BACKENDS = {}


class _Device:
    """A device snapshot whose target also lists while_loop, box, break_loop and
    continue_loop (and if_else and for_loop, which FakeKingston's lacks)."""

    def __init__(self, name):
        from qiskit.circuit import (BoxOp, BreakLoopOp, ContinueLoopOp, ForLoopOp, IfElseOp,
                                    WhileLoopOp)

        self.name = name
        self.target = copy.deepcopy(getattr(runtime, name)().target)
        for kind, label in ((WhileLoopOp, "while_loop"), (BoxOp, "box"), (IfElseOp, "if_else"),
                            (ForLoopOp, "for_loop"), (BreakLoopOp, "break_loop"),
                            (ContinueLoopOp, "continue_loop")):
            if label not in self.target.operation_names:
                self.target.add_instruction(kind, name=label)


def backend(name):
    if name not in _BACKENDS:
        _BACKENDS[name] = _Device(name)
    return _BACKENDS[name]


def every_kind() -> QuantumCircuit:
    """if/else, switch, for, while and box, nested, with mid-circuit measure and reset."""
    q = QuantumRegister(4, "q")
    c = ClassicalRegister(3, "c")
    qc = QuantumCircuit(q, c)
    qc.h(q[0])
    qc.cx(q[0], q[1])
    qc.measure(q[0], c[0])
    with qc.if_test((c[0], 1)) as else_:
        qc.x(q[1])
        with qc.for_loop(range(2)):
            qc.sx(q[2])
            qc.cx(q[2], q[3])
    with else_:
        qc.h(q[2])
        qc.cx(q[2], q[3])
    qc.measure(q[1], c[1])
    with qc.switch(c[1]) as case:
        with case(0):
            qc.z(q[3])
        with case(case.DEFAULT):
            qc.y(q[3])
            with qc.box():
                qc.cx(q[2], q[3])
                qc.rz(0.3, q[2])
    qc.reset(q[0])
    qc.measure(q[2], c[2])
    with qc.while_loop(expr.logic_not(expr.lift(c[2]))):
        qc.h(q[2])
        qc.measure(q[2], c[2])
    qc.cx(q[3], q[0])
    qc.rz(0.7, q[3])
    qc.sx(q[3])
    return qc


def loop_parameter() -> QuantumCircuit:
    """A for_loop whose body uses its loop parameter, beside idle qubits."""
    qc = QuantumCircuit(3, 1)
    qc.h(0)
    qc.cx(0, 1)
    with qc.for_loop(range(3)) as i:
        qc.rz(i * 0.3, 0)
        qc.sx(0)
        qc.cx(1, 2)
    qc.measure(0, 0)
    with qc.if_test((qc.clbits[0], 1)):
        qc.x(1)
    qc.cx(1, 2)
    return qc


CIRCUITS = dict(dc.CIRCUITS, **{"every-kind": every_kind, "loop-parameter": loop_parameter})


def _mapped(name, device):
    return dc.transpiled(CIRCUITS[name](), backend(device).target)


# -- exactness -------------------------------------------------------------------------------


def assert_same_branches(original, padded):
    ideal = branch_states(original)
    out = branch_states(padded)
    assert ideal.keys() == out.keys()
    for key, state in ideal.items():
        assert np.allclose(out[key], state, atol=1e-9), key


@pytest.mark.parametrize("device", DEVICES)
@pytest.mark.parametrize("name", sorted(CIRCUITS))
def test_every_branch_is_exact(device, name):
    """Each measurement record (keyed by what each measurement writes) leaves the same
    state, global phase included, for each option around control flow."""
    mapped = _mapped(name, device)
    target = backend(device).target
    for around in AROUND:
        assert_same_branches(mapped, pad(mapped, target=target, around_control_flow=around))


def test_xy4_bodies_keep_the_global_phase():
    """X-Y-X-Y is -I: every block and body that gets sequences, and every stretch
    sequence, carries its own phase correction."""
    from qiskit.circuit.library import XGate, YGate

    target = backend("FakeSherbrooke").target
    durations = target.durations()
    durations.update([("y", None, int(durations.get("x", [0])), "dt")])
    xy4 = [XGate(), YGate(), XGate(), YGate()]
    for name in ("teleport-2", "every-kind"):
        mapped = _mapped(name, "FakeSherbrooke")
        for around in AROUND:
            out = pad(mapped, durations=durations, dd_sequence=xy4, around_control_flow=around,
                      coupling_map=target.build_coupling_map())
            assert out.count_ops().get("y", 0) > 0
            assert_same_branches(mapped, out)


def test_bodies_equal_as_operators():
    """A body without measurements equals the input's body as an Operator."""
    mapped = _mapped("every-kind", "FakeTorino")
    out = pad(mapped, target=backend("FakeTorino").target)

    def bodies(circuit):
        for instruction in circuit.data:
            if isinstance(instruction.operation, ControlFlowOp):
                for block in instruction.operation.blocks:
                    yield block
                    yield from bodies(block)

    compared = 0
    for before, after in zip(bodies(mapped), bodies(out), strict=True):
        names = {i.operation.name for i in before.data}
        if names & {"measure", "reset", "if_else", "for_loop", "while_loop", "switch_case",
                    "box"} or before.parameters:
            continue
        stripped = after.copy_empty_like()
        for instruction in after.data:
            if instruction.operation.name != "delay":
                stripped.append(instruction)
        # Equal with the global phase, not only up to it.
        assert np.allclose(Operator(stripped).data, Operator(before).data, atol=1e-9)
        compared += 1
    assert compared >= 2


def test_stretch_sequences_are_placed_in_identity_blocks_with_their_phase():
    """RX(pi) twice is -I: four RX(pi) go in blocks of two, beside control flow as in the
    blocks and bodies, and every block's phase is corrected."""
    from qiskit.circuit.library import RXGate

    target = backend("FakeSherbrooke").target
    durations = target.durations()
    durations.update([("rx", None, int(durations.get("x", [0])), "dt")])
    mapped = _mapped("teleport-2", "FakeSherbrooke")
    out = pad(mapped, durations=durations, dd_sequence=[RXGate(np.pi)] * 4,
              around_control_flow="stretch", coupling_map=target.build_coupling_map())
    counts = {items.count("rx") for items in _stretch_sequences(out, "rx").values()}
    assert counts >= {2, 4}
    assert_same_branches(mapped, out)


# -- timing ----------------------------------------------------------------------------------


def _duration(instruction, durations, circuit):
    operation = instruction.operation
    if operation.name == "barrier":
        return 0
    if operation.name == "delay":
        return int(operation.duration)
    qubits = [circuit.find_bit(q).index for q in instruction.qubits]
    return durations.get(operation, qubits, unit="dt")


def _segments(circuit):
    """The output's blocks and control-flow operations, in order: a block is a run of
    instructions between two control-flow operations, less the stretch sequences beside
    them and the barrier that closes those (their times are the device's to fix)."""
    block, open_sequences = [], set()
    for instruction in circuit.data:
        operation = instruction.operation
        qubits = set(instruction.qubits)
        if isinstance(operation, ControlFlowOp):
            yield block, instruction
            block = []
        elif isinstance(operation, Delay) and isinstance(operation.duration, expr.Expr):
            open_sequences |= qubits
        elif open_sequences and (qubits <= open_sequences or operation.name == "barrier"):
            if operation.name == "barrier":
                open_sequences = set()
        else:
            block.append(instruction)
    yield block, None


def check_blocks(circuit, physical, target, grids):
    """Every block of `circuit` (qubit i on physical[i]) covers each of its qubits without a
    hole, from its own 0 to its end, with every start on its grid; the same in each body."""
    durations = target.durations()
    where = _Physical(circuit, physical)
    for block, flow in _segments(circuit):
        clock = Counter()
        for instruction in block:
            local = [circuit.find_bit(q).index for q in instruction.qubits]
            start = max(clock[q] for q in local)
            name = instruction.operation.name
            if name not in ("delay", "barrier"):
                assert all(clock[q] == start for q in local), "a hole before " + name
                grid = grids[1] if name in ("measure", "reset") else grids[0]
                assert start % grid == 0, (name, start)
            length = _duration(instruction, durations, where)
            for q in local:
                clock[q] = start + length
        if block:
            ends = {clock[q] for q in range(circuit.num_qubits)}
            assert len(ends) == 1, f"qubits end their block at {sorted(ends)}"
        if flow is not None:
            inner = [physical[circuit.find_bit(q).index] for q in flow.qubits]
            for body in flow.operation.blocks:
                check_blocks(body, inner, target, grids)


class _Physical:
    """find_bit of a body, answering with physical indices."""

    def __init__(self, circuit, physical):
        self.circuit, self.physical = circuit, physical

    def find_bit(self, bit):
        index = self.circuit.find_bit(bit).index
        return type("B", (), {"index": self.physical[index]})()


@pytest.mark.parametrize("device", DEVICES)
def test_blocks_and_bodies_are_timed_on_the_grids(device):
    target = backend(device).target
    grids = (target.pulse_alignment, target.acquire_alignment)
    for name in ("every-kind", "rep3-loop-3", "teleport-2"):
        mapped = _mapped(name, device)
        for around in AROUND:
            out = pad(mapped, target=target, around_control_flow=around)
            check_blocks(out, list(range(out.num_qubits)), target, grids)
            _duration_check(out, target)


def _duration_check(circuit, target):
    """Qiskit's InstructionDurationCheck asks for no reschedule of any block or body."""
    check = InstructionDurationCheck(target=target)
    for body in _all_bodies(circuit):
        check.property_set = {}
        check.run(circuit_to_dag(body))
        assert not check.property_set["reschedule_required"]


def _all_bodies(circuit):
    yield circuit
    for instruction in circuit.data:
        if isinstance(instruction.operation, ControlFlowOp):
            for block in instruction.operation.blocks:
                yield from _all_bodies(block)


def test_whole_sequences_in_every_body():
    """Each body gains a whole number of X-X sequences on each qubit."""
    target = backend("FakeSherbrooke").target
    mapped = _mapped("every-kind", "FakeSherbrooke")
    out = pad(mapped, target=target, around_control_flow="widen")

    def xs(circuit):
        return Counter(circuit.find_bit(i.qubits[0]).index for i in circuit.data
                       if i.operation.name == "x")

    bodies_in, bodies_out = list(_all_bodies(mapped)), list(_all_bodies(out))
    assert len(bodies_in) == len(bodies_out)
    gained = 0
    for before, after in zip(bodies_in, bodies_out):
        width = min(before.num_qubits, after.num_qubits)
        for q in range(width):
            extra = xs(after)[q] - xs(before)[q]
            assert extra >= 0 and extra % 2 == 0
            gained += extra
    assert gained > 0


# -- the block model -------------------------------------------------------------------------


def test_an_independent_operation_stays_in_the_block_before():
    q = QuantumRegister(3)
    c = ClassicalRegister(1)
    qc = QuantumCircuit(q, c)
    qc.measure(0, 0)
    with qc.if_test((c[0], 1)):
        qc.x(1)
    qc.h(2)  # listed after the if_test, but on none of its wires
    qc.x(1)
    cut = levels(qc)
    assert [len(level.block) for level in cut] == [2, 1]
    assert [i.operation.name for i in cut[0].block] == ["measure", "h"]
    assert [i.operation.name for i in cut[0].boundary] == ["if_else"]


def test_a_reset_ends_the_block_on_its_qubit_only():
    qc = QuantumCircuit(2)
    qc.x(0)
    qc.reset(0)
    qc.x(0)
    qc.x(1)
    qc.x(1)
    cut = levels(qc)
    assert [[i.operation.name for i in level.block] for level in cut] == [
        ["x", "reset", "x", "x"], ["x"]]


def test_conditions_and_targets_are_kept():
    mapped = _mapped("every-kind", "FakeSherbrooke")
    out = pad(mapped, target=backend("FakeSherbrooke").target)

    def flow(circuit):
        for instruction in circuit.data:
            operation = instruction.operation
            if isinstance(operation, ControlFlowOp):
                key = getattr(operation, "condition", None) or getattr(operation, "target", None)
                yield operation.name, key, [circuit.find_bit(b).index for b in instruction.clbits]
                for block in operation.blocks:
                    yield from flow(block)

    assert list(flow(out)) == list(flow(mapped))


# -- around control flow ---------------------------------------------------------------------


def _stretch_sequences(circuit, pulse="x"):
    """{(qubit, stretch name): [delay duration or `pulse`, ...]} of the top level's stretch
    sequences; a barrier closes the sequences of its qubits."""
    found, current = {}, {}
    for instruction in circuit.data:
        operation = instruction.operation
        qubits = [circuit.find_bit(q).index for q in instruction.qubits]
        if operation.name == "barrier":
            for q in qubits:
                current.pop(q, None)
        elif isinstance(operation, Delay) and isinstance(operation.duration, expr.Expr):
            stretch = next(expr.iter_identifiers(operation.duration))
            current[qubits[0]] = (qubits[0], stretch.name)
            found.setdefault(current[qubits[0]], []).append(operation.duration)
        elif operation.name == pulse and qubits[0] in current:
            found[current[qubits[0]]].append(pulse)
    return found


def _operation_names(circuit) -> set:
    """The names of the operations of `circuit` and of every body nested in it."""
    names = set()
    for instruction in circuit.data:
        names.add(instruction.operation.name)
        for block in getattr(instruction.operation, "blocks", ()):
            names |= _operation_names(block)
    return names


def test_stretch_sequences_refocus_and_are_orthogonal():
    """delay(a) X delay(2a) ... X delay(a): the delays sum to 2 n a around n pulses, coupled
    qubits get different stretches and pulse counts, and once the device solves the stretch
    for the control flow's length the sign patterns integrate to zero, alone and in pairs.
    The pulses are the device's own gates: a phase-shifted pulse is x between rz, each rz
    apart from the pulses (a delay(2a) between two pulses is then two delay(a) around it)."""
    device = backend("FakeSherbrooke")
    mapped = _mapped("teleport-2", "FakeSherbrooke")
    out = pad(mapped, target=device.target, around_control_flow="stretch")
    assert _operation_names(out) <= set(device.target.operation_names) | {"barrier"}
    sequences = _stretch_sequences(out)
    assert sequences
    stretches = {name: next(iter(expr.iter_identifiers(items[0]))) for (_, name), items
                 in sequences.items()}
    for (q, name), items in sequences.items():
        pulses = items.count("x")
        assert pulses % 2 == 0 and pulses >= 2
        # delay(a) X delay(2a) ... X delay(a): the delays sum to 2 * pulses * a.
        a = stretches[name]
        gaps = [[]]
        for item in items:
            if item == "x":
                gaps.append([])
            else:
                gaps[-1].append(str(item))
        assert gaps[0] == gaps[-1] == [str(a)]
        assert all(gap in ([str(expr.mul(2, a))], [str(a)] * 2) for gap in gaps[1:-1])
    coupled = {tuple(sorted(e)) for e in device.target.build_coupling_map().get_edges()}
    span, pulse = 20000.0, 200.0
    grid = np.linspace(0, span, 64001)[:-1] + span / 128000
    signs = {}
    for (q, name), items in sequences.items():
        sign = np.ones_like(grid)
        for start in resolve_stretch_pulses(items.count("x"), span, pulse):
            sign[grid >= start + pulse / 2] *= -1
        assert abs(sign.mean()) < 1e-3  # the detuning is refocused
        signs[q, name] = sign
    pairs = 0
    for (p, name_p), sign_p in signs.items():
        for (q, name_q), sign_q in signs.items():
            # Coupled qubits idle around the same operations (stretches named after the same
            # boundary): other stretches, other pulse counts, orthogonal sign patterns.
            same_boundary = name_p.rsplit("_", 1)[0] == name_q.rsplit("_", 1)[0]
            if p < q and (p, q) in coupled and same_boundary:
                assert name_p != name_q
                assert sequences[p, name_p].count("x") != sequences[q, name_q].count("x")
                assert abs((sign_p * sign_q).mean()) < 1e-3
                pairs += 1
    assert pairs > 0


def test_widen_takes_the_idle_qubits_in():
    mapped = _mapped("rep3-3", "FakeSherbrooke")
    target = backend("FakeSherbrooke").target
    narrow = pad(mapped, target=target, around_control_flow="idle")
    wide = pad(mapped, target=target, around_control_flow="widen")
    width = lambda c: sorted(len(i.qubits) for i in c.data if i.operation.name == "if_else")  # noqa: E731
    assert sum(width(wide)) > sum(width(narrow))
    assert not any(isinstance(i.operation, Delay) and isinstance(i.operation.duration, expr.Expr)
                   for i in wide.data)


# -- the pass, the plugin and pad agree ------------------------------------------------------


def test_pass_plugin_and_pad_agree_on_a_dynamic_circuit():
    device = backend("FakeSherbrooke")
    mapped = _mapped("ghz-ff-4", "FakeSherbrooke")
    pm = PassManager([DynamicalDecoupling(target=device.target)])
    through_pass = pm.run(mapped)
    assert through_pass == pad(mapped, target=device.target)
    assert pad([mapped, mapped], target=device.target, threads=2) == [through_pass] * 2
    times = pm.property_set["node_start_time"]
    assert len(times) == len(through_pass.data)
    assert pm.property_set["dd_sequences_inserted"] > 0
    logical = dc.ghz_feed_forward(4)
    plugin = transpile(logical, target=device.target, scheduling_method="vornak_dd",
                       seed_transpiler=1,
                       initial_layout=dc.line_layout(device.target, logical.num_qubits))
    assert "if_else" in plugin.count_ops() and "x" in plugin.count_ops()


def test_bad_option_around_control_flow():
    with pytest.raises(TranspilerError, match="around_control_flow"):
        DynamicalDecoupling(target=backend("FakeSherbrooke").target, around_control_flow="wide")


def test_runtime_pass_circuits_are_padded():
    """The circuits that qiskit-ibm-runtime's pass fails on are padded, exactly."""
    device = backend("FakeSherbrooke")
    chain = dc.transpiled(dc.teleport_chain(2), device.target)
    syndrome = dc.transpiled(dc.syndrome_rounds(3, 2), device.target)
    for mapped in (chain, syndrome):
        out = pad(mapped, target=device.target)
        assert out.count_ops().get("x", 0) > mapped.count_ops().get("x", 0)
        assert_same_branches(mapped, out)


def test_the_benchmark_simulator_follows_every_strategy_exactly():
    """Without noise, every strategy's padded circuit (ours, the runtime's) reaches the
    ideal state in every sampled branch: the simulator's timing, stretch solving and
    branch following keep the circuit's behaviour."""
    from bench import dynamic_fidelity as df

    device = backend("FakeSherbrooke")
    original = dc.transpiled(dc.teleport_chain(2), device.target)
    for label, padder in df.strategies(device.target).items():
        padded = padder(original)
        values = df.fidelities(original, padded, device.target, 3, decay=False, scale=0.0)
        assert np.allclose(values, 1.0, atol=1e-9), label


def test_the_speed_benchmark_runs():
    """bench/dynamic_speed.py on its small circuit, without the runtime's pass."""
    pytest.importorskip("mqt.bench")
    from bench import dynamic_speed

    rows = dynamic_speed.main(["--smoke", "--no-peer", "--repeats", "1"])
    assert rows and rows[0][0] == "qaoa-ff-4" and rows[0][3] > 0 and rows[0][4] > 0


# -- boxes of fixed duration ---------------------------------------------------------------


def _boxed(duration, unit, body_ops=lambda qc: qc.x(1)):
    """Three qubits in use, then a box of `duration` `unit` on two of them, then more work."""
    qc = QuantumCircuit(3, 1)
    qc.h(0)
    qc.cx(0, 1)
    qc.cx(1, 2)
    with qc.box(duration=duration, unit=unit):
        body_ops(qc)
        qc.sx(2)
    qc.measure(0, 0)
    qc.cx(1, 2)
    return qc


def _boxes(circuit):
    """Every box of `circuit` and of the bodies nested in it."""
    for instruction in circuit.data:
        operation = instruction.operation
        if operation.name == "box":
            yield operation
        for block in getattr(operation, "blocks", ()):
            yield from _boxes(block)


def _lengths(body, target, physical):
    """The time each qubit of `body` (qubit i on physical[i]) is busy, delays included."""
    durations, where, clock = target.durations(), _Physical(body, physical), Counter()
    for instruction in body.data:
        local = [body.find_bit(q).index for q in instruction.qubits]
        start = max(clock[q] for q in local)
        for q in local:
            clock[q] = start + _duration(instruction, durations, where)
    return [clock[q] for q in range(body.num_qubits)]


@pytest.mark.parametrize("device", ("FakeSherbrooke", "FakeTorino", "FakeKingston"))
@pytest.mark.parametrize("duration, unit", [(8000, "dt"), (2, "us"), (3000, "ns")])
def test_a_box_lasts_its_duration(device, duration, unit, monkeypatch):
    """A box of fixed duration lasts it on every qubit of its body, the idle time padded
    with pulses, on the native and the Python path, through pad and the pass alike; every
    branch stays exact."""
    target = backend(device).target
    mapped = _mapped_circuit(_boxed(duration, unit), device)
    length = round(duration * {"dt": 1, "us": 1e-6, "ns": 1e-9}[unit] / (
        1 if unit == "dt" else target.dt))
    (before,) = [box.blocks[0] for box in _boxes(mapped)]
    found = []
    for native in (True, False):
        use_native(monkeypatch, native)
        for scheduling in ("alap", "asap"):
            out = pad(mapped, target=target, scheduling=scheduling)
            (box,) = _boxes(out)
            assert (box.duration, box.unit) == (duration, unit)
            (instruction,) = [i for i in out.data if i.operation.name == "box"]
            physical = [out.find_bit(q).index for q in instruction.qubits]
            assert _lengths(box.blocks[0], target, physical) == [length] * len(physical)
            pulses = box.blocks[0].count_ops().get("x", 0) - before.count_ops().get("x", 0)
            assert pulses >= 2 * len(physical)
            check_blocks(out, list(range(out.num_qubits)), target,
                         (target.pulse_alignment, target.acquire_alignment))
            assert_same_branches(mapped, out)
            found.append(out)
        assert PassManager([DynamicalDecoupling(target=target)]).run(mapped) == found[-2]
    assert found[:2] == found[2:]


def _mapped_circuit(circuit, device):
    return dc.transpiled(circuit, backend(device).target)


@pytest.mark.parametrize("native", (True, False))
def test_a_box_whose_body_does_not_fit_is_refused(native, monkeypatch):
    use_native(monkeypatch, native)
    target = backend("FakeSherbrooke").target
    two_qubit = lambda qc: qc.cx(1, 2)  # noqa: E731
    (box,) = _boxes(pad(_mapped_circuit(_boxed(None, "dt", two_qubit), "FakeSherbrooke"),
                        target=target))
    need = max(_lengths(box.blocks[0], target, [1, 2]))
    short = _mapped_circuit(_boxed(100, "dt", two_qubit), "FakeSherbrooke")
    with pytest.raises(TranspilerError, match=r"box on qubits \[1, 2\] lasts 100 dt, "
                                              rf"but its body needs {need} dt"):
        pad(short, target=target)
    with pytest.raises(TranspilerError, match="lasts 100 dt"):
        PassManager([DynamicalDecoupling(target=target)]).run(short)

    def inner_flow(qc):
        with qc.if_test((qc.clbits[0], 1)):
            qc.x(1)

    flow = _mapped_circuit(_boxed(8000, "dt", inner_flow), "FakeSherbrooke")
    with pytest.raises(TranspilerError, match="lasts 8000 dt, but its body holds control flow"):
        pad(flow, target=target)


@pytest.mark.parametrize("native", (True, False))
def test_an_empty_box_and_a_qubit_its_body_leaves_alone_last_it_too(native, monkeypatch):
    """Every qubit of a box lasts its duration: one in use takes pulses, one still in its
    initial state waits."""
    use_native(monkeypatch, native)
    target = backend("FakeSherbrooke").target
    qc = QuantumCircuit(4, 1)
    qc.h(0)
    qc.cx(0, 1)
    qc.box(QuantumCircuit(2), [1, 2], [], duration=4000, unit="dt")
    body = QuantumCircuit(2)
    body.sx(0)
    qc.box(body, [0, 3], [], duration=4000, unit="dt")
    qc.measure(0, 0)
    mapped = _mapped_circuit(qc, "FakeSherbrooke")
    out = pad(mapped, target=target)
    boxes = [i for i in out.data if i.operation.name == "box"]
    assert len(boxes) == 2
    for instruction in boxes:
        physical = [out.find_bit(q).index for q in instruction.qubits]
        body = instruction.operation.blocks[0]
        assert _lengths(body, target, physical) == [4000, 4000]
        assert body.count_ops().get("x", 0) >= 2  # the qubit in use is decoupled
    assert_same_branches(mapped, out)


def test_a_box_without_a_fixed_duration_is_padded_as_its_body_needs():
    """A box whose duration is a stretch, or that has none, lasts what its body needs."""
    target = backend("FakeSherbrooke").target
    qc = _boxed(None, "dt")
    wait = qc.add_stretch("wait")
    with qc.box(duration=wait):
        qc.x(1)
    out = pad(_mapped_circuit(qc, "FakeSherbrooke"), target=target)
    for box in _boxes(out):
        assert box.blocks[0].count_ops().get("delay", 0) == 0


# -- loops left early ------------------------------------------------------------------------


def _paths(circuit, bits):
    """`circuit` run with its clbits fixed to `bits` (no measurement may write them), as one
    circuit of its gates less delays and barriers, every body's global phase included."""
    from qiskit.circuit import BreakLoopOp, ContinueLoopOp

    used = sorted(used_qubits(circuit))
    flat = QuantumCircuit(len(used))

    def walk(body, qubits, clbits):
        """Returns "break", "continue" or None."""
        flat.global_phase += body.global_phase
        for instruction in body.data:
            operation = instruction.operation
            inner = [qubits[body.find_bit(q).index] for q in instruction.qubits]
            inner_c = [clbits[body.find_bit(c).index] for c in instruction.clbits]
            if isinstance(operation, BreakLoopOp):
                return "break"
            if isinstance(operation, ContinueLoopOp):
                return "continue"
            if operation.name == "if_else":
                bit, value = operation.condition
                chosen = operation.blocks[0] if bits[circuit.find_bit(bit).index] == value else (
                    operation.blocks[1] if len(operation.blocks) > 1 else None)
                if chosen is not None:
                    left = walk(chosen, inner, inner_c)
                    if left:
                        return left
            elif operation.name == "for_loop":
                indexset, parameter, loop = operation.params
                for value in indexset:
                    turn = loop if parameter is None else loop.assign_parameters({parameter: value})
                    if walk(turn, inner, inner_c) == "break":
                        break
            elif operation.name == "box":
                left = walk(operation.blocks[0], inner, inner_c)
                if left:
                    return left
            elif operation.name == "measure":
                raise AssertionError("a measurement on a fixed path")
            elif operation.name not in ("delay", "barrier"):
                flat.append(operation, [flat.qubits[used.index(q)] for q in inner])
        return None

    walk(circuit, list(range(circuit.num_qubits)), list(range(circuit.num_clbits)))
    return flat


def _leaving_loop(leave):
    """A for_loop whose body runs `if (c == 0) { x; leave }` on one qubit, beside two qubits
    idle around it, then more work on all three (the if_else and `leave` built on that
    qubit alone, so that the others take stretch sequences beside it)."""
    from qiskit.circuit import BreakLoopOp, ContinueLoopOp

    kind = {"break": BreakLoopOp, "continue": ContinueLoopOp}[leave]
    taken = QuantumCircuit(1, 1)
    taken.x(0)
    taken.append(kind(1, 1), [0], [0])
    body = QuantumCircuit(3, 1)
    body.sx(0)
    body.cx(0, 1)
    body.cx(1, 2)
    body.if_else((body.clbits[0], 0), taken, None, [0], [0])
    body.sx(0)
    body.cx(1, 2)
    body.cx(2, 1)
    body.x(2)
    qc = QuantumCircuit(3, 1)
    qc.h(0)
    qc.cx(0, 1)
    qc.for_loop(range(2), None, body, [0, 1, 2], [0])
    qc.cx(1, 2)
    return qc


@pytest.mark.parametrize("leave", ("break", "continue"))
@pytest.mark.parametrize("device, sequence", [
    ("FakeSherbrooke", None), ("FakeTorino", None), ("FakeKingston", None),
    ("FakeSherbrooke", "xy4"), ("FakeTorino", "x-rx"),
])
def test_every_path_out_of_a_loop_keeps_its_phase(device, sequence, leave, monkeypatch):
    """Whether the loop is left or not, the path's unitary (delays left out) is the
    input's, global phase included: the phase of the sequences after the break_loop or
    continue_loop (beside the if_else and in the block after it) goes with them, as rz(2π)
    where it is π, else as a GlobalPhaseGate; on the native and the Python path."""
    from qiskit.circuit.library import RXGate, XGate, YGate

    target = backend(device).target
    options = {"target": target}
    if sequence is not None:
        durations = target.durations()
        pulse = int(durations.get("x", [0], unit="dt"))
        gates = {"xy4": ([XGate(), YGate(), XGate(), YGate()], "y"),
                 "x-rx": ([XGate(), RXGate(np.pi)] * 2, "rx")}[sequence]
        durations.update([(gates[1], None, pulse, "dt")])
        options = {"durations": durations, "dd_sequence": gates[0],
                   "coupling_map": target.build_coupling_map()}
    mapped = _mapped_circuit(_leaving_loop(leave), device)
    ideal = {bit: Operator(_paths(mapped, [bit])) for bit in (0, 1)}
    for native in (True, False):
        use_native(monkeypatch, native)
        out = pad(mapped, **options)
        (loop,) = [i.operation for i in out.data if i.operation.name == "for_loop"]
        inner = loop.blocks[0]
        assert any(isinstance(i.operation, Delay) and isinstance(i.operation.duration, expr.Expr)
                   for i in inner.data), "no stretch sequence beside the if_else"
        for bit in (0, 1):
            assert np.allclose(Operator(_paths(out, [bit])).data, ideal[bit].data, atol=1e-9), bit


def test_a_label_does_not_keep_a_loop_with_break_from_being_padded():
    """A label anywhere sends the circuit the Python way; with widen every circuit goes
    there: loops holding break_loop pad there too, exactly."""
    target = backend("FakeTorino").target
    qc = QuantumCircuit(3, 1)
    qc.h(0)
    qc.cx(0, 1)
    qc.cx(1, 2)
    with qc.for_loop(range(2)):
        qc.measure(0, 0)
        with qc.if_test((qc.clbits[0], 0)):
            qc.x(0)
            qc.break_loop()
        qc.x(0)
        with qc.while_loop((qc.clbits[0], 1)):
            qc.measure(1, 0)
            with qc.if_test((qc.clbits[0], 0)):
                qc.continue_loop()
            qc.x(1)
    qc.x(0, label="a")
    mapped = _mapped_circuit(qc, "FakeTorino")
    for around in AROUND:
        # The walsh patterns everywhere, so that the padding shows in pulses: on this
        # tunable-coupler device the calibrated choice may leave these gaps bare.
        options = dict(target=target, around_control_flow=around, noise_aware=False)
        out = pad(mapped, **options)
        assert PassManager([DynamicalDecoupling(**options)]).run(mapped) == out
        assert out.count_ops().get("x", 0) > mapped.count_ops().get("x", 0)
        calibrated = pad(mapped, target=target, around_control_flow=around)
        assert PassManager([DynamicalDecoupling(target=target, around_control_flow=around)]
                           ).run(mapped) == calibrated
        assert calibrated.count_ops()["delay"] > 0


# -- stretch sequences chosen by the calibration --------------------------------------------


def _idle_beside(body_dt=0, both=True):
    """Qubit 0 measured and corrected by an if_else (whose branches also wait `body_dt`, the
    else branch only where `both`), beside qubits 1-2-3 of a line, in use before and after."""
    qc = QuantumCircuit(4, 1)
    qc.h(range(4))
    qc.cx(0, 1)
    qc.cx(2, 3)
    qc.cx(1, 2)
    qc.measure(0, 0)
    with qc.if_test((qc.clbits[0], 1)) as else_:
        qc.x(0)
        if body_dt:
            qc.delay(body_dt, 0)
    if body_dt and both:
        with else_:
            qc.delay(body_dt, 0)
    qc.cx(1, 2)
    qc.cx(2, 3)
    qc.cx(0, 1)
    return qc


LONG_DT = 2_500  # 10 us on FakeTorino (dt = 4 ns)


def _idle_pulses(device, target, circuit, **options):
    """{physical qubit: pulses of its stretch sequence} of the idle qubits 1-3 of
    `circuit` (`_idle_beside`) padded on `target` of `device`, checked exact in every branch,
    with the stretch count the pass records; `target` may be `device`'s, changed."""
    mapped = _mapped_circuit(circuit, device)
    manager = PassManager([DynamicalDecoupling(target=target, **options)])
    out = pad(mapped, target=target, **options)
    assert manager.run(mapped) == out
    assert_same_branches(mapped, out)
    found = {q: items.count("x") for (q, _), items in _stretch_sequences(out).items()}
    assert manager.property_set["dd_stretch_sequences_inserted"] == sum(found.values()) // 2
    line = dc.line_layout(target, 4)
    assert set(found) <= set(line[1:])
    return {q: found.get(q, 0) for q in line[1:]}


@pytest.mark.parametrize("device, options, orthogonal", [
    ("FakeSherbrooke", {}, True),  # fixed couplers: ZZ of tens of kHz
    ("FakeTorino", {}, False),  # tunable couplers: a few kHz
    ("FakeKingston", {"noise_aware": False}, True),  # no calibration: as ever
    ("FakeTorino", {"zz": "strong"}, True),  # a measured ZZ of 80 kHz on the idle pairs
])
def test_stretch_patterns_follow_what_the_zz_is_worth(device, options, orthogonal):
    """Coupled idle qubits take orthogonal patterns (different pulse counts) where their ZZ
    over the expected idle time outweighs the extra pulses, else the plain pair each."""
    target = backend(device).target
    line = dc.line_layout(target, 4)
    if options.get("zz") == "strong":
        options = {"zz": {(line[1], line[2]): 80e3, (line[2], line[3]): 80e3}}
    pulses = _idle_pulses(device, target, _idle_beside(), **options)
    assert all(count >= 2 for count in pulses.values())
    counts = [pulses[q] for q in line[1:]]
    if orthogonal:
        assert counts[0] != counts[1] and counts[1] != counts[2]
    else:
        assert counts == [2, 2, 2]


def test_the_idle_time_is_bounded_by_the_shortest_branch():
    """On tunable couplers a branch of 10 us in both ways makes the ZZ worth the orthogonal
    patterns; in the if branch alone it is no bound (the else branch takes no time)."""
    target = backend("FakeTorino").target
    line = dc.line_layout(target, 4)
    long = _idle_pulses("FakeTorino", target, _idle_beside(LONG_DT))
    counts = [long[q] for q in line[1:]]
    assert counts[0] != counts[1] and counts[1] != counts[2]
    one_way = _idle_pulses("FakeTorino", target, _idle_beside(LONG_DT, both=False))
    assert set(one_way.values()) == {2}


def test_a_qubit_whose_pulses_cannot_pay_takes_none():
    """A qubit whose x errs by 5% idles bare beside a short if_else (its pulses would cost
    more than any likely latency's detuning), and takes its pair beside one of 10 us; its
    neighbours take theirs either way."""
    from qiskit.transpiler import InstructionProperties

    target = copy.deepcopy(backend("FakeTorino").target)
    line = dc.line_layout(target, 4)
    bad = line[2]
    old = target["x"][(bad,)]
    target.update_instruction_properties(
        "x", (bad,), InstructionProperties(duration=old.duration, error=0.05))
    short = _idle_pulses("FakeTorino", target, _idle_beside())
    assert short[bad] == 0 and short[line[1]] >= 2 and short[line[3]] >= 2
    assert _idle_pulses("FakeTorino", target, _idle_beside(LONG_DT))[bad] >= 2


@pytest.mark.parametrize("device", ("FakeTorino", "FakeKingston"))
def test_calibrated_stretch_sequences_are_alike_natively(device, monkeypatch):
    """The native path and the Python reference choose the same sequences, instruction by
    instruction, with the same start times and counts."""
    from test_dynamic_native import assert_identical
    from vornak.qiskit.dynamic import pad_dynamic

    target = backend(device).target
    names = ["rep3-3", "rep3-loop-3", "teleport-2", "loop-parameter"]
    if "switch_case" in target.operation_names:
        names.append("every-kind")
    circuits = [_mapped(name, device) for name in names]
    circuits += [_mapped_circuit(qc, device)
                 for qc in (dc.qaoa_feed_forward(10), _idle_beside(LONG_DT))]
    for mapped in circuits:
        found = []
        for native in (False, True):
            use_native(monkeypatch, native)
            manager = PassManager([DynamicalDecoupling(target=target)])
            found.append((manager.run(mapped), manager.property_set))
        (python, py_props), (ours, props) = found
        assert_identical(python, ours)
        assert python.op_start_times == ours.op_start_times
        assert py_props["dd_stretch_sequences_inserted"] == props["dd_stretch_sequences_inserted"]
        assert pad_dynamic(DynamicalDecoupling(target=target).padding, mapped).native


def test_the_least_time_of_control_flow():
    """The shortest path through control flow: operations in order on their qubits, a loop
    as often as it surely runs, a branch that may be empty as 0, a stretch as 0."""
    from vornak.qiskit.dynamic.calibrated import LeastTime

    def delay_length(operation, qubits):
        if isinstance(operation.duration, expr.Expr):
            raise TranspilerError("a stretch")
        return float(operation.duration)

    table = {"x": {(): 10.0}, "cx": {(0, 1): 50.0, (): 70.0}, "measure": {(): 100.0}}
    least = LeastTime(table, delay_length, lambda op: 500.0 if op.duration else None)

    def last(build):
        qc = QuantumCircuit(2, 1)
        build(qc)
        return qc.data[-1].operation

    def branches(qc):
        with qc.if_test((qc.clbits[0], 1)) as else_:
            qc.x(0)
            qc.x(1)  # beside the x on 0: 10
        with else_:
            qc.cx(0, 1)  # on (0, 1): 50
            qc.measure(1, 0)

    def loop(leave):
        def build(qc):
            with qc.for_loop(range(3)):
                qc.x(0)
                qc.cx(1, 0)  # (1, 0) is not listed: 70
                if leave:
                    with qc.if_test((qc.clbits[0], 1)):
                        qc.break_loop()
        return build

    def switch(default):
        def build(qc):
            with qc.switch(qc.clbits[0]) as case:
                with case(0):
                    qc.measure(0, 0)
                with case(case.DEFAULT if default else 1):
                    qc.x(0)
                    qc.delay(qc.add_stretch("s"), 0)
                    qc.delay(30, 0)
        return build

    def box(fixed):
        def build(qc):
            with qc.box(duration=500 if fixed else None, unit="dt"):
                qc.measure(0, 0)
        return build

    def nested(qc):
        with qc.if_test((qc.clbits[0], 1)) as else_:
            with qc.for_loop(range(2)):
                qc.x(0)
        with else_:
            qc.measure(0, 0)
            with qc.while_loop((qc.clbits[0], 1)):
                qc.measure(0, 0)

    def without_else(qc):
        with qc.if_test((qc.clbits[0], 1)):
            qc.measure(0, 0)

    cases = {branches: 10.0, loop(False): 240.0, loop(True): 0.0, switch(True): 40.0,
             switch(False): 0.0, box(True): 500.0, box(False): 100.0, nested: 20.0,
             without_else: 0.0}
    for build, expected in cases.items():
        assert least.operation(last(build), [0, 1]) == expected, build
    qc = QuantumCircuit(2, 1)
    branches(qc)
    without_else(qc)
    assert least.boundary(qc.data, qc, [0, 1]) == 10.0
    assert least.boundary(qc.data, qc, [1, 0]) == 10.0  # cx on (1, 0): 70 in the else branch

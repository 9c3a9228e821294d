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
from bench.dynamic_sim import branch_states, resolve_stretch_pulses  # noqa: E402
from vornak.qiskit import DynamicalDecoupling, pad  # noqa: E402
from vornak.qiskit.dynamic.blocks import levels  # noqa: E402
from vornak.qiskit.options import AROUND  # noqa: E402

DEVICES = ("FakeSherbrooke", "FakeTorino", "FakeKyiv")
_BACKENDS = {}


class _Device:
    """A device snapshot whose target also lists while_loop and box (the snapshots list
    if_else, for_loop and switch_case)."""

    def __init__(self, name):
        from qiskit.circuit import BoxOp, WhileLoopOp

        self.name = name
        self.target = copy.deepcopy(getattr(runtime, name)().target)
        for kind, label in ((WhileLoopOp, "while_loop"), (BoxOp, "box")):
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
    The pulses are the device's own gates: a phase-shifted pulse is x between rz."""
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
        delays = [str(i) for i in items if i != "x"]
        # delay(a) X delay(2a) ... X delay(a): the delays sum to 2 * pulses * a.
        a = stretches[name]
        assert delays == [str(a)] + [str(expr.mul(2, a))] * (pulses - 1) + [str(a)]
        assert items[1::2] == ["x"] * pulses
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

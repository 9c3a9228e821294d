"""Checks of bench/qiskit_pass.py's own parts: the circuits it builds carry the workload's
durations, its output check rejects broken outputs, its breakdown sees the native call, and
its targets are judged right."""

import pytest

pytest.importorskip("qiskit")
pytest.importorskip("vornak.qiskit")

from qiskit import QuantumCircuit  # noqa: E402
from qiskit.circuit import Delay  # noqa: E402

from bench import qiskit_pass, workloads  # noqa: E402


@pytest.fixture(scope="module")
def layered():
    return qiskit_pass.layered_circuit(1500)


def test_layered_circuit_and_target_carry_the_workload(layered):
    circuit, target = layered
    instructions = workloads.layered_circuit(1500, qiskit_pass.SEED)
    assert len(circuit.data) == len(instructions)
    for (name, qubits, duration, params), instruction in zip(instructions, circuit.data):
        assert instruction.operation.name == name
        assert [circuit.find_bit(q).index for q in instruction.qubits] == qubits
        assert [float(p) for p in instruction.operation.params] == list(params.values())
        assert target[name][tuple(qubits)].duration == pytest.approx(duration * qiskit_pass.DT)
    assert sorted(target.build_coupling_map().get_edges()) == workloads.heavy_hex()
    for qubit in range(workloads.NUM_QUBITS):
        assert target["x"][(qubit,)].duration == pytest.approx(35 * qiskit_pass.DT)
        assert target.instruction_supported("delay", qargs=(qubit,))


def test_output_check_accepts_both_passes_and_refuses_broken_outputs(layered):
    circuit, target = layered
    ours = qiskit_pass.ours(target)(circuit)
    theirs = qiskit_pass.peer(target)(circuit)
    assert qiskit_pass.pulses_added(circuit, ours, target) > 0
    assert qiskit_pass.pulses_added(circuit, theirs, target) > 0

    # Qubit 1 idles for three SX gates on qubit 0 before their ECR: room for two pulses.
    small = QuantumCircuit(2)
    for _ in range(3):
        small.sx(0)
    small.ecr(0, 1)
    pad_target = qiskit_pass.heavy_hex_target([("ecr", [0, 1], 600.0, {}), ("sx", [0], 35.0, {})])

    def padded(pulses, tail_delay=0):
        out = QuantumCircuit(2)
        for _ in range(pulses):
            out.x(1)
        out.compose(small, inplace=True)
        if tail_delay:
            out.append(Delay(tail_delay, "dt"), [1])
        return out

    assert qiskit_pass.pulses_added(small, padded(2), pad_target) == 2
    dropped = padded(2)
    dropped.data.pop(2)
    for broken, why in ((dropped, "operations changed"), (padded(2, 10), "lasts"),
                        (padded(1), "X-X"), (padded(4), "lasts")):
        with pytest.raises(AssertionError, match=why):
            qiskit_pass.pulses_added(small, broken, pad_target)


def test_breakdown_times_every_step_and_puts_the_wrapped_calls_back(layered):
    import qiskit.transpiler.passmanager as manager_module
    import vornak.qiskit.padding

    circuit, target = layered
    module, convert = vornak.qiskit.padding._bridge, manager_module.dag_to_circuit
    parts = qiskit_pass.breakdown(circuit, target)
    assert set(qiskit_pass.PARTS) <= set(parts)
    steps = [parts[part] for part in qiskit_pass.PARTS[:-1]]  # the rest may be noise
    assert all(ns > 0 for ns in steps)  # e.g. the pass still calls _bridge.pad
    assert vornak.qiskit.padding._bridge is module and manager_module.dag_to_circuit is convert
    with pytest.raises(RuntimeError), qiskit_pass.PadTimer():
        raise RuntimeError
    assert vornak.qiskit.padding._bridge is module


def _result(key, gates, ours, peer, floor):
    times = {qiskit_pass.OURS: [ours * gates], qiskit_pass.FLOOR: [floor * gates],
             qiskit_pass.ALONE: [ours * gates / 2]}
    if peer is not None:
        times[qiskit_pass.PEER] = [peer * gates, 2 * peer * gates]
    return {"key": key, "gates": gates, "times": times, "parts": {}}


def test_targets_are_judged_against_their_limits():
    def judged(peer, floor, large, floor_large):
        # ns per gate; ours takes 1500 except at 10^6 gates, where it takes `large`.
        results = [_result("layered-10000", 10**4, 1500.0, peer, floor),
                   _result("layered-1000000", 10**6, large, None, floor_large),
                   _result("qft-50", 42_000, 1500.0, peer, floor)]
        rows = qiskit_pass.targets(results)
        return [row[3] for row in rows if row[2] != "for reference"]

    # Qiskit at 10^4 and QFT (none at 10^6), floor at 10^4, 10^6 and QFT, then the
    # scaling of ours and of run(dag) alone: exactly at each limit, then just past it.
    assert judged(45000.0, 1000.0, 1950.0, 1300.0) == ["yes"] * 7
    assert judged(44850.0, 990.0, 1965.0, 1300.0) == ["**no**"] * 7
    assert judged(45000.0, 1000.0, 1965.0, 1310.0) == ["yes"] * 5 + ["**no**"] * 2


def test_memory_probe_sees_the_job_in_a_fresh_process():
    probe = qiskit_pass.probe_in_subprocess(qiskit_pass.OURS, "layered-3000")
    # The padded copy of a 3000-gate circuit takes memory beyond the loaded input.
    assert probe["above"] > 0
    assert isinstance(probe["reset"], bool)


def test_pass_level_one_call_and_contract_floor_rows_are_judged():
    def rows(peer_alone, one_call, one_call_large, contract_large):
        results = []
        for key, gates in (("layered-10000", 10**4), ("layered-1000000", 10**6)):
            small = gates == 10**4
            r = _result(key, gates, 1500.0, 45000.0 if small else None, 400.0)
            t = r["times"]
            t[qiskit_pass.CONTRACT] = [(500.0 if small else contract_large) * gates]
            t[qiskit_pass.ONE_CALL] = [(one_call if small else one_call_large) * gates]
            if small:
                t[qiskit_pass.PEER_ALONE] = [peer_alone * gates]
            results.append(r)
        return {row[0]: row[3] for row in qiskit_pass.targets(results)}

    growth = "ours, one call: growth of ns/gate / the contract floor's"
    # run(dag) alone takes 750 ns/gate and the one call 1500: Qiskit's pass level and end
    # to end at exactly 30 times those; the one call grows 1.3x against a flat floor.
    met = rows(22500.0, 1500.0, 1950.0, 500.0)
    assert met["Qiskit / ours, pass level, heavy-hex 10^4"] == "yes"
    assert met["Qiskit / ours one call, heavy-hex 10^4"] == "yes"
    assert met[growth] == "yes"
    missed = rows(22499.0, 1501.0, 1966.0, 500.0)
    assert missed["Qiskit / ours, pass level, heavy-hex 10^4"] == "**no**"
    assert missed["Qiskit / ours one call, heavy-hex 10^4"] == "**no**"
    assert missed[growth] == "**no**"
    # The same growth is within limits where the contract floor itself grows 1.3x.
    assert rows(22500.0, 1500.0, 1966.0, 650.0)[growth] == "yes"


def test_pass_ab_takes_turns_and_reports_every_job():
    # Both sides on this interpreter, on a small layered circuit: every job runs, and each
    # row holds the minima of both sides and their ratio.
    import sys

    from bench import pass_ab

    jobs = ["pm default", "pad script"]
    results = pass_ab.compare(sys.executable, sys.executable, ["layered-600"], jobs, 2)
    assert set(results) == {("layered-600", job) for job in jobs}
    for row in results.values():
        for base, new, ratio, median in row.values():
            assert base > 0 and new > 0 and ratio == pytest.approx(new / base) and median > 0

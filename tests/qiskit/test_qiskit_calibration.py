"""The noise-aware walsh placement: the device's calibration read from the target, measured ZZ
given by the user (a mapping, or qiskit-experiments' ZZRamsey results, faked here), and the
decisions it leads to on constructed gaps."""

from __future__ import annotations

import math
from types import SimpleNamespace

import pytest

pytest.importorskip("qiskit")

from qiskit import QuantumCircuit, transpile  # noqa: E402
from qiskit.circuit import Parameter  # noqa: E402
from qiskit.circuit.library import CZGate, ECRGate, RZGate, SXGate, XGate  # noqa: E402
from qiskit.circuit import Measure  # noqa: E402
from qiskit.transpiler import (  # noqa: E402
    InstructionDurations,
    InstructionProperties,
    PassManager,
    QubitProperties,
    Target,
)
from qiskit.transpiler.exceptions import TranspilerError  # noqa: E402

from vornak.qiskit import DynamicalDecoupling, pad  # noqa: E402
from vornak.qiskit.calibration import (  # noqa: E402
    DEFAULT_ZZ_HZ,
    Calibration,
    coupler_family,
    measured_zz,
)
from checks import check_pass, fake_backend  # noqa: E402

DT = 4e-9  # s
X_S = 32e-9  # the x pulse


def line_target(n=3, x_error=2e-4, t1=300e-6, t2=200e-6, two_qubit=CZGate, gaps=None):
    """A device of `n` qubits on a line with tunable (cz) or fixed (ecr) couplers."""
    target = Target(num_qubits=n, dt=DT,
                    qubit_properties=[QubitProperties(t1=t1, t2=t2) for _ in range(n)])
    errors = x_error if isinstance(x_error, (list, tuple)) else [x_error] * n
    target.add_instruction(XGate(), {(q,): InstructionProperties(X_S, errors[q])
                                     for q in range(n)})
    target.add_instruction(SXGate(), {(q,): InstructionProperties(X_S, 1e-4) for q in range(n)})
    target.add_instruction(RZGate(Parameter("a")), {(q,): InstructionProperties(0.0, 0.0)
                                                    for q in range(n)})
    target.add_instruction(two_qubit(), {(q, q + 1): InstructionProperties(68 * DT, 3e-3)
                                         for q in range(n - 1)})
    target.add_instruction(Measure(), {(q,): InstructionProperties(1e-6, 1e-2)
                                       for q in range(n)})
    return target


def waiting(n, wait_dt, busy=None):
    """All `n` qubits in superposition, a wait of `wait_dt` on all but `busy` (which runs x
    gates meanwhile), and the superposition undone."""
    circuit = QuantumCircuit(n)
    circuit.sx(range(n))
    others = [q for q in range(n) if q != busy]
    circuit.delay(wait_dt, others, unit="dt")
    if busy is not None:
        for _ in range(int(wait_dt // 8)):
            circuit.sx(busy)
    circuit.sx(range(n))
    return circuit


def pulses_of(circuit):
    return circuit.count_ops().get("x", 0)


# -- reading the calibration ---------------------------------------------------------------


def test_the_coupler_family_follows_the_two_qubit_gate():
    assert coupler_family(line_target(two_qubit=CZGate)) == "tunable"
    assert coupler_family(line_target(two_qubit=ECRGate)) == "fixed"
    assert coupler_family(fake_backend("FakeSherbrooke").target) == "fixed"
    assert coupler_family(fake_backend("FakeKingston").target) == "tunable"
    lone = Target(num_qubits=1, dt=DT)
    lone.add_instruction(XGate(), {(0,): InstructionProperties(X_S, 1e-4)})
    assert coupler_family(lone) is None


def test_the_native_model_reads_errors_durations_coherence_and_zz():
    target = line_target(x_error=[1e-4, 3e-4, 5e-4])
    calibration = Calibration(target, zz={(2, 1): 40e3}, detuning_hz=10e3)
    # X and X̄ (rz, x, rz): the pulse's error and length are its x's.
    variances, pulses, couplings = calibration.native(3, DT, [["x"], ["rz", "x", "rz"]])
    assert variances == pytest.approx([(2 * math.pi * 10e3 * DT) ** 2] * 3)
    assert pulses[1] == pytest.approx((3e-4, X_S / DT, 300e-6 / DT, 200e-6 / DT))
    # Measured ZZ where given, the family's default elsewhere; in rad per dt.
    assert [pair for *pair, _ in couplings] == [[0, 1], [1, 2]]
    assert [zeta for *_, zeta in couplings] == pytest.approx(
        [2 * math.pi * DEFAULT_ZZ_HZ["tunable"] * DT, 2 * math.pi * 40e3 * DT])
    fixed = Calibration(line_target(two_qubit=ECRGate)).native(2, 1e-9, [["x"]])
    assert fixed[2][0][2] == pytest.approx(2 * math.pi * DEFAULT_ZZ_HZ["fixed"] * 1e-9)
    # A snapshot without T1, T2 or errors gives zeros, which the planner reads as unknown.
    bare = Target(num_qubits=1, dt=DT)
    bare.add_instruction(XGate(), {(0,): InstructionProperties(X_S, None)})
    assert Calibration(bare).native(1, DT, [["x"]])[1] == [(0.0, X_S / DT, 0.0, 0.0)]


# -- measured ZZ ---------------------------------------------------------------------------


PAIRS = [(0, 1), (1, 2)]


@pytest.mark.parametrize("zz, words", [
    ({(0, 2): 1e3}, ["(0, 2)", "not coupled"]),
    ({(0, 1): math.nan}, ["(0, 1)", "nan"]),
    ({(1, 2): math.inf}, ["(1, 2)", "inf"]),
    ({(0, 1): -5e3}, ["(0, 1)", "negative"]),
    ({(0, 1): "5 kHz"}, ["(0, 1)", "not a number"]),
    ({(0, 1): True}, ["(0, 1)", "not a number"]),
    ({(0, 1, 2): 1e3}, ["two qubits"]),
    ({(1, 1): 1e3}, ["twice"]),
    ({(0, -1): 1e3}, ["qubit index"]),
    ("zz", ["zz must map"]),
    ([object()], ["neither"]),
])
def test_bad_zz_is_refused_naming_the_pair(zz, words):
    with pytest.raises(TranspilerError) as error:
        measured_zz(zz, PAIRS)
    for word in words:
        assert word in str(error.value)
    # The pass refuses it when it is built, not at its first run.
    with pytest.raises(TranspilerError):
        DynamicalDecoupling(target=line_target(), zz=zz)


def test_zz_in_either_order_and_zz_without_the_noise_model():
    assert measured_zz({(1, 0): 2e3, (1, 2): 0}, PAIRS) == {(0, 1): 2e3, (1, 2): 0.0}
    with pytest.raises(TranspilerError, match="need a target"):
        DynamicalDecoupling(target=line_target(), zz={(0, 1): 1e3}, noise_aware=False)
    with pytest.raises(TranspilerError, match="detuning_hz"):
        DynamicalDecoupling(target=line_target(), detuning_hz=-1.0)


class FakeQubit:
    def __init__(self, index):
        self._index = index

    def __str__(self):
        return f"Q{self._index}"


def fake_result(value, components=(), name="zz"):
    return SimpleNamespace(name=name, value=value, device_components=list(components))


class FakeExperimentData:
    """What ZZRamsey's ExperimentData offers: analysis_results(name) and the experiment's
    physical qubits in its metadata."""

    def __init__(self, qubits, results, dataframe_argument=True):
        self.metadata = {"physical_qubits": list(qubits)}
        self._results = results
        self._dataframe_argument = dataframe_argument

    def analysis_results(self, name=None, *args, **kwargs):
        if "dataframe" in kwargs and not self._dataframe_argument:
            raise TypeError("unexpected keyword argument 'dataframe'")
        assert kwargs.get("dataframe", False) is False
        found = [r for r in self._results if r.name == name]
        return found[0] if len(found) == 1 else found


def test_zz_ramsey_results_are_read_by_name_value_and_qubits():
    ufloat = SimpleNamespace(nominal_value=-31e3, std_dev=2e3)
    data = FakeExperimentData((1, 2), [fake_result(ufloat), fake_result(0.5, name="other")])
    # A fitted shift counts by its magnitude; the qubits come from the experiment.
    assert measured_zz(data, PAIRS) == {(1, 2): 31e3}
    older = FakeExperimentData((0, 1), [fake_result(12e3)], dataframe_argument=False)
    assert measured_zz([older, data], PAIRS) == {(0, 1): 12e3, (1, 2): 31e3}
    # A result alone names its qubits by its device components ("Q3" or an index).
    alone = fake_result(7e3, [FakeQubit(1), FakeQubit(0)])
    assert measured_zz(alone, PAIRS) == {(0, 1): 7e3}
    assert measured_zz([fake_result(1e3, ["Q2", "Q1"])], PAIRS) == {(1, 2): 1e3}
    with pytest.raises(TranspilerError, match="names no qubits"):
        measured_zz([fake_result(1e3)], PAIRS)
    with pytest.raises(TranspilerError, match="not coupled"):
        measured_zz(FakeExperimentData((0, 2), [fake_result(1e3)]), PAIRS)
    with pytest.raises(TranspilerError, match="not a number"):
        measured_zz(FakeExperimentData((0, 1), [fake_result("fit failed")]), PAIRS)


# -- decisions -----------------------------------------------------------------------------


def coherence_part(t1=300e-6, t2=200e-6, length=X_S):
    return 1 - (3 + 2 * math.exp(-length / t2) + math.exp(-length / t1)) / 6


def test_a_pair_goes_only_where_it_pays_for_itself():
    # One qubit, a gap of L between two sx: with a pulse error e beyond decoherence and 20 kHz
    # of detuning, a pair pays where its frame's segment (L and half of each sx, 32 ns) is
    # longer than √(8e) / (2π · 20 kHz): 503 ns at e = 5e-4.
    lone = line_target(n=1, x_error=5e-4 + coherence_part())
    for wait_ns, pulses in ((400, 0), (464, 0), (476, 2), (640, 2)):
        padded = pad(waiting(1, int(wait_ns * 1e-9 / DT)), target=lone)
        assert pulses_of(padded) == pulses, wait_ns
    # The same gap on a better qubit (e = 3e-5: 123 ns), or with the noise model off, takes
    # its pair; a larger detuning scale moves the break-even length down.
    good = line_target(n=1, x_error=3e-5 + coherence_part())
    assert pulses_of(pad(waiting(1, 100), target=good)) == 2
    assert pulses_of(pad(waiting(1, 100), target=lone, noise_aware=False)) == 2
    assert pulses_of(pad(waiting(1, 100), target=lone, detuning_hz=40e3)) == 2
    # A qubit whose reported error is all decoherence pays for a pair in any gap it fits.
    free = line_target(n=1, x_error=coherence_part() / 2)
    assert pulses_of(pad(waiting(1, 24), target=free)) == 2


def pulse_starts(padded, qubit):
    return [t for instruction, t in zip(padded.data, padded.op_start_times)
            if instruction.operation.name == "x"
            and padded.find_bit(instruction.qubits[0]).index == qubit]


def segment_phase(padded, qubit, begin, end):
    """∫ s over [begin, end] (dt) of `qubit`'s sign in `padded`, flipped at each x's middle."""
    flips = sorted(t + X_S / DT / 2 for t in pulse_starts(padded, qubit))
    total, sign, last = 0.0, 1.0, begin
    for t in flips + [end]:
        total += sign * (t - last)
        sign, last = -sign, t
    return total


def test_a_pair_takes_back_the_phase_of_the_busy_time_in_its_frame():
    # q0: sx, a cz (68 dt, which leaves its frame as it is), a wait of 100 dt, sx. Its frame
    # segment runs from the middle of one sx to the middle of the other: 4 + 68 dt before the
    # wait, 4 after. A pair centred in the wait leaves those 76 dt; the wide pair, one pulse at
    # each end of the wait, turns the sign over for nearly all of it and leaves 8.
    target = line_target(n=2, x_error=3e-5 + coherence_part())
    circuit = QuantumCircuit(2)
    circuit.sx(0)
    circuit.cz(0, 1)
    circuit.delay(100, 0, unit="dt")
    circuit.sx(0)
    result = check_pass(circuit, target=target)
    padded = pad(circuit, target=target)
    assert len(pulse_starts(padded, 0)) == 2
    start = padded.op_start_times[[i.operation.name for i in padded.data].index("sx")]
    assert abs(segment_phase(padded, 0, start + 4, start + 8 + 68 + 100 + 4)) == 8
    assert result.operator_checked
    # Without the cz, a wait as long keeps its pair in the middle, which leaves the halves of
    # the two sx (8 dt); the wide pair would leave 144.
    alone = QuantumCircuit(2)
    alone.sx(0)
    alone.delay(168, 0, unit="dt")
    alone.sx(0)
    padded = pad(alone, target=target)
    assert len(pulse_starts(padded, 0)) == 2
    assert abs(segment_phase(padded, 0, 4, 8 + 168 + 4)) == 8


def test_a_measurement_ends_the_frame_where_it_starts():
    # q0 waits 100 dt before its measurement (1 µs): the phase that the measurement's own time
    # would add is read by nothing, so the wait's pair stays balanced on the wait and the sx.
    target = line_target(n=1, x_error=3e-5 + coherence_part())
    circuit = QuantumCircuit(1, 1)
    circuit.sx(0)
    circuit.delay(100, 0, unit="dt")
    circuit.measure(0, 0)
    padded = pad(circuit, target=target)
    assert pulses_of(padded) == 2
    assert abs(segment_phase(padded, 0, 4, 8 + 100)) <= 4


def test_the_free_time_is_bounded_by_default_only_without_a_calibration():
    # A 10 µs wait on one qubit: chosen by the calibration, one pair refocuses the static
    # detuning and a bound would only add pulses; without it, at most 2 µs between pulses.
    # A bound asked for holds either way.
    lone, wait = line_target(n=1), waiting(1, 2500)
    assert pulses_of(pad(wait, target=lone)) == 2
    assert DynamicalDecoupling(target=lone).max_free_time is None
    assert pulses_of(pad(wait, target=lone, noise_aware=False)) == 6
    assert DynamicalDecoupling(target=lone, noise_aware=False).max_free_time == 2e-6
    assert pulses_of(pad(wait, target=lone, max_free_time=2e-6)) == 6
    assert pulses_of(pad(wait, target=lone, max_free_time=None, noise_aware=False)) == 2
    with pytest.raises(TranspilerError, match="None or 'auto'"):
        DynamicalDecoupling(target=lone, max_free_time="never")
    # Durations all in dt without a dt: "auto" has no seconds to bound; a bound is refused.
    table = InstructionDurations([("x", None, 8), ("sx", None, 8)])
    assert DynamicalDecoupling(table).max_free_time is None
    with pytest.raises(TranspilerError, match="without a dt"):
        DynamicalDecoupling(table, max_free_time=2e-6)


def test_orthogonal_patterns_only_where_the_zz_is_worth_their_pulses():
    # q0 idles 1 µs while q1 turns its frame twice (sx): the walsh plan cuts q0 there, 4
    # pulses; the plain pair leaves the ZZ of each of q1's three frames, ζ²/16 Σ (∫s_0 s_1)²
    # (1e-3 at 120 kHz, 3e-6 at the tunable default of 6.4 kHz), for 2.6e-4 less of pulses.
    target = line_target(n=2)
    circuit = QuantumCircuit(2)
    circuit.sx([0, 1])
    circuit.delay(250, 0, unit="dt")
    circuit.delay(80, 1, unit="dt")
    circuit.sx(1)
    circuit.delay(80, 1, unit="dt")
    circuit.sx(1)
    circuit.delay(74, 1, unit="dt")
    circuit.sx([0, 1])

    def on_q0(padded):
        return [t for i, t in zip(padded.data, padded.op_start_times)
                if i.operation.name == "x" and padded.find_bit(i.qubits[0]).index == 0]

    planned = on_q0(pad(circuit, target=target, noise_aware=False))
    assert len(planned) == 4
    assert on_q0(pad(circuit, target=target, zz={(0, 1): 120e3})) == planned
    # The plain pair at 1/4 and 3/4 of q0's wait (8 .. 258 dt), each of 8 dt.
    assert on_q0(pad(circuit, target=target)) == [67, 192]
    assert on_q0(pad(circuit, target=target, zz={(0, 1): 1e3})) == [67, 192]
    check_pass(circuit, target=target)
    check_pass(circuit, target=target, zz={(0, 1): 120e3})


@pytest.mark.parametrize("backend_name", ["FakeKingston", "FakeSherbrooke"])
def test_noise_aware_plans_stay_exact(backend_name):
    from test_qiskit_pass import small_random_circuit

    backend = fake_backend(backend_name)
    for seed in range(3):
        circuit = transpile(small_random_circuit(5, 8, seed, measure=True), backend,
                            optimization_level=1, seed_transpiler=seed)
        result = check_pass(circuit, target=backend.target)
        assert result.operator_checked
        check_pass(circuit, target=backend.target, zz={tuple(e): 50e3 for e in
                                                       backend.target.build_coupling_map()
                                                       .get_edges()[:4]})


def three_with_waits():
    """Three qubits entangled in a chain, with waits of 2 and 4 µs in between."""
    circuit = QuantumCircuit(3)
    circuit.h(0)
    circuit.cx(0, 1)
    circuit.delay(2000, 2)
    circuit.cx(1, 2)
    circuit.delay(4000, [0, 1])
    circuit.cx(1, 2)
    return circuit


def test_the_plugin_is_the_last_pass_on_single_qubit_gates():
    # The preset pass managers end with the scheduling stage, so the X̄ frames the plugin
    # writes reach the output; a transpilation of the padded circuit would merge them away.
    from qiskit.transpiler import generate_preset_pass_manager

    backend = fake_backend("FakeKingston")
    circuit = three_with_waits()
    circuit.measure_all()
    for level in (1, 2, 3):
        manager = generate_preset_pass_manager(level, backend, scheduling_method="vornak_dd",
                                               seed_transpiler=1)
        assert manager.stages[-1] == "scheduling"
        assert manager.post_scheduling is None
        padded = manager.run(circuit)
        direct = DynamicalDecoupling(target=backend.target)
        assert padded.count_ops().get("x", 0) > 0
        # Every X̄ keeps its frames: as many rz about each x as the pass wrote.
        again = PassManager([direct]).run(transpile(circuit, backend, optimization_level=level,
                                                    seed_transpiler=1))
        assert padded.count_ops() == again.count_ops()


def test_the_pulses_stay_robust_through_a_later_transpilation():
    # X̄ is rz(-π)·x·rz(π), X up to a phase: a later resynthesis of single-qubit runs would
    # write it back as x. The frame changes stand apart from the pulses, between delays, so
    # the pulses keep their phases: with every x over-rotated, the padded circuit and its
    # re-transpiled copy both equal the input to first order in the over-rotation.
    from qiskit.quantum_info import Operator, process_fidelity

    backend = fake_backend("FakeKingston")
    mapped = transpile(three_with_waits(), backend, optimization_level=1, seed_transpiler=1)
    padded = pad(mapped, target=backend.target)
    active = sorted({padded.find_bit(q).index for instruction in padded.data
                     if instruction.operation.name != "delay" for q in instruction.qubits})

    def over_rotated(circuit, epsilon):
        out = QuantumCircuit(len(active))
        for instruction in circuit.data:
            if instruction.operation.name == "delay":
                continue
            qubits = [active.index(circuit.find_bit(q).index) for q in instruction.qubits]
            if instruction.operation.name == "x":
                out.rx(math.pi * (1 + epsilon), qubits)
            else:
                out.append(instruction.operation, qubits)
        return Operator(out)

    ideal = over_rotated(padded, 0.0)
    for level in (2, 3):
        again = transpile(padded, backend, optimization_level=level, seed_transpiler=1,
                          initial_layout=list(range(padded.num_qubits)))
        assert again.count_ops()["x"] == padded.count_ops()["x"] > 0
        for circuit in (padded, again):
            assert process_fidelity(over_rotated(circuit, 0.0), ideal) > 1 - 1e-12
            # X-X would leave an error of order ε² (about 8e-3 here at ε = 2%).
            assert process_fidelity(over_rotated(circuit, 0.02), ideal) > 1 - 1e-6

"""vornak.qiskit.pad_program: decoupling every item of a samplomatic / runtime QuantumProgram,
and the padded programs run in qiskit-ibm-runtime's local testing mode (Aer)."""

from __future__ import annotations

import warnings

import numpy as np
import pytest

pytest.importorskip("qiskit")
pytest.importorskip("vornak.qiskit")
pytest.importorskip("samplomatic")
pytest.importorskip("qiskit_ibm_runtime")

from qiskit import QuantumCircuit, transpile  # noqa: E402
from qiskit.circuit import Parameter  # noqa: E402
from qiskit.quantum_info import Operator  # noqa: E402
from qiskit.transpiler.exceptions import TranspilerError  # noqa: E402
from qiskit_ibm_runtime import QuantumProgram  # noqa: E402
from qiskit_ibm_runtime.fake_provider import FakeManilaV2  # noqa: E402
from samplomatic import build  # noqa: E402
from samplomatic.quantum_program import CircuitItem, SamplexItem  # noqa: E402
from samplomatic.quantum_program import QuantumProgram as SamplomaticProgram  # noqa: E402
from samplomatic.transpiler import generate_boxing_pass_manager  # noqa: E402

import checks as tp  # noqa: E402
from test_qiskit_pad import start_times_by_wire  # noqa: E402
from vornak.qiskit import DynamicalDecoupling, pad, pad_program  # noqa: E402

pytestmark = tp.pytestmark
BACKEND = FakeManilaV2()  # 5 qubits: Aer simulates it in well under a second
TARGET = BACKEND.target


def chain(width=4, layers=3, theta=None):
    """An ISA circuit for BACKEND with long idles: qubit 0 waits while a cx chain runs."""
    qc = QuantumCircuit(width)
    qc.h(0)
    qc.cx(0, 1)
    for _ in range(layers):
        for q in range(1, width - 1):
            qc.cx(q, q + 1)
    if theta is not None:
        qc.rz(theta, width - 1)
        qc.rx(theta * 2, 0)
    qc.measure_all()
    return transpile(qc, BACKEND, optimization_level=1, seed_transpiler=1)


def template_of(circuit, strategy="active"):
    return build(generate_boxing_pass_manager(twirling_strategy=strategy).run(circuit))


def dynamic():
    qc = QuantumCircuit(3, 2)
    qc.h(0)
    qc.cx(0, 1)
    qc.measure(0, 0)
    with qc.if_test((qc.clbits[0], 1)):
        qc.x(2)
    qc.cx(1, 2)
    qc.measure(2, 1)
    return transpile(qc, BACKEND, optimization_level=1, seed_transpiler=1)


def assert_same_as_pad(padded, reference):
    """The same circuit, phase, name, metadata, labels and start times wire by wire."""
    assert padded == reference and padded.global_phase == reference.global_phase
    assert padded.name == reference.name and padded.metadata == reference.metadata
    assert start_times_by_wire(padded) == start_times_by_wire(reference)  # labels included


def labels(circuit):
    return [(i.operation.name, i.operation.label) for i in circuit.data
            if i.operation.label is not None]


def mixed_program(cls=QuantumProgram):
    theta = Parameter("θ")
    template, samplex = template_of(chain(theta=theta))
    program = cls(shots=20, meas_level="classified", passthrough_data={"mine": [1, 2]})
    program.append_samplex_item(template, samplex,
                                samplex_arguments={"parameter_values": np.array([[0.3], [0.7]])},
                                shape=(3, 2), chunk_size=6)
    program.append_circuit_item(chain(theta=theta), np.array([[0.1], [0.2], [0.4]]),
                                chunk_size=3)
    program.append_circuit_item(dynamic())
    return program


@pytest.mark.parametrize("cls", [QuantumProgram, SamplomaticProgram])
def test_program_keeps_everything_but_the_circuits(cls):
    program = mixed_program(cls)
    before = [item.circuit.copy() for item in program.items]
    padded = pad_program(program, target=TARGET)
    assert type(padded) is cls and padded is not program
    assert padded.shots == 20 and padded.meas_level == "classified"
    assert padded.passthrough_data is program.passthrough_data
    assert padded.noise_maps == program.noise_maps
    if cls is QuantumProgram:
        assert padded._semantic_role == program._semantic_role
    assert len(padded.items) == 3
    for old, new, circuit in zip(program.items, padded.items, before):
        assert type(new) is type(old) and new is not old
        assert old.circuit == circuit  # the input is left as it was
        assert new.chunk_size == old.chunk_size and new.shape == old.shape
        # The same parameters in the same order: circuit arguments and samplex parameter
        # values bind into the padded circuit column by column as into the input.
        assert list(new.circuit.parameters) == list(old.circuit.parameters)
        assert labels(new.circuit) == labels(old.circuit)
        assert new.circuit.count_ops().get("x", 0) > old.circuit.count_ops().get("x", 0)
        assert_same_as_pad(new.circuit, pad(old.circuit, target=TARGET))
    sampled, swept = padded.items[0], padded.items[1]
    assert isinstance(sampled, SamplexItem) and sampled.samplex is program.items[0].samplex
    assert sampled.samplex_arguments is program.items[0].samplex_arguments
    assert isinstance(swept, CircuitItem)
    np.testing.assert_array_equal(swept.circuit_arguments, program.items[1].circuit_arguments)
    # The samplex's output binds into the padded template as into the template.
    template = program.items[0].circuit
    values = np.random.default_rng(3).uniform(-np.pi, np.pi, template.num_parameters)
    assert Operator(sampled.circuit.remove_final_measurements(inplace=False)
                    .assign_parameters(values)).equiv(
        Operator(template.remove_final_measurements(inplace=False).assign_parameters(values)))


def test_ten_items_equal_pad_of_each_circuit_with_threads():
    theta = Parameter("a")
    circuits = [chain(width=3 + k % 3, layers=1 + k % 2, theta=theta if k % 2 else None)
                for k in range(7)] + [template_of(chain(layers=2))[0], dynamic(), dynamic()]
    program = QuantumProgram(shots=4)
    for circuit in circuits:
        arguments = np.zeros((2, circuit.num_parameters)) if circuit.num_parameters else None
        program.append_circuit_item(circuit, arguments)
    program.items.append(CircuitItem(circuits[0]))  # an item sharing another's circuit
    options = {"placement": "spread", "scheduling": "asap"}
    padded = pad_program(program, target=TARGET, threads=2, **options)
    assert len(padded.items) == 11
    for item, circuit in zip(padded.items, circuits + [circuits[0]]):
        assert_same_as_pad(item.circuit, pad(circuit, target=TARGET, **options))
    assert padded.items[10].circuit is padded.items[0].circuit


def test_dynamic_item_gets_pulses_inside_its_bodies_or_stretches():
    program = QuantumProgram(shots=4)
    program.append_circuit_item(dynamic())
    stretched = pad_program(program, target=TARGET).items[0].circuit
    widened = pad_program(program, target=TARGET, around_control_flow="widen").items[0].circuit
    assert stretched.num_stretches > 0 and widened.num_stretches == 0
    body = next(i.operation for i in widened.data if i.operation.name == "if_else").blocks[0]
    assert body.num_qubits > 1  # the idle qubit taken into the body
    assert "x" in body.count_ops() and "delay" in body.count_ops()


def test_bad_items_are_named_with_their_cause():
    good = chain()
    boxed = generate_boxing_pass_manager().run(good)  # before build: twirled boxes
    program = SamplomaticProgram(shots=4, items=[CircuitItem(good), CircuitItem(boxed)])
    with pytest.raises(TranspilerError, match=r"Item 1 of the program .*twirled box.*build"):
        pad_program(program, target=TARGET)
    not_isa = QuantumCircuit(2)
    not_isa.h(0)
    not_isa.cx(0, 1)
    program = SamplomaticProgram(shots=4, items=[CircuitItem(good), CircuitItem(good),
                                                 CircuitItem(not_isa)])
    with pytest.raises(TranspilerError, match=r"Item 2 of the program cannot be padded: "
                                              r"Duration of h on qubits \[0\]"):
        pad_program(program, target=TARGET)
    # Options are checked once, before any item: the pass's own message.
    with pytest.raises(TranspilerError, match="placement must be one of"):
        pad_program(program, target=TARGET, placement="nowhere")
    with pytest.raises(TypeError, match="QuantumProgram"):
        pad_program(good, target=TARGET)
    with pytest.raises(TypeError, match="pad_program"):
        pad_program([good], target=TARGET)


# --- local testing mode --------------------------------------------------------------------

def aer():
    return pytest.importorskip("qiskit_aer")


def test_twirled_program_runs_through_the_executor_in_local_mode():
    aer()
    from qiskit_ibm_runtime import Executor

    ghz = QuantumCircuit(3)
    ghz.h(0)
    ghz.cx(0, 1)
    ghz.cx(1, 2)
    ghz.cx(1, 2)
    ghz.cx(1, 2)
    ghz.measure_all()
    template, samplex = template_of(transpile(ghz, BACKEND, optimization_level=1,
                                              seed_transpiler=1))
    program = QuantumProgram(shots=64)
    program.append_samplex_item(template, samplex, shape=(4,))
    padded = pad_program(program, target=TARGET)
    assert padded.items[0].circuit.count_ops()["x"] > 0
    executor = Executor(BACKEND)
    executor.options.simulator.seed_simulator = 11
    result = executor.run(padded).result()[0]
    flips = result["measurement_flips.meas"]
    bits = result["meas"] ^ flips  # undo the measurement twirl
    assert bits.shape == (4, 64, 3)
    agree = np.mean(np.all(bits == bits[..., :1], axis=-1))
    assert agree > 0.8  # GHZ: all bits equal, up to Manila's noise


def test_dynamic_program_runs_through_the_executor_in_local_mode():
    aer()
    from qiskit_ibm_runtime import Executor

    program = QuantumProgram(shots=64)
    program.append_circuit_item(dynamic())
    # Aer has no stretches (it refuses a delay of an expression): widen for local mode.
    padded = pad_program(program, target=TARGET, around_control_flow="widen")
    executor = Executor(BACKEND)
    executor.options.simulator.seed_simulator = 5
    bits = executor.run(padded).result()[0]["c"]
    assert bits.shape == (64, 2)
    assert np.mean(bits[:, 1]) < 0.25  # the feed-forward undoes the flip: c1 is 0
    assert 0.2 < np.mean(bits[:, 0]) < 0.8
    stretched = pad_program(program, target=TARGET)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(Exception, match="unit"):
            executor.run(stretched).result()


def test_boxing_in_post_scheduling_then_build_then_pad_keeps_the_plan():
    """The order the guides give: boxing in the preset pass manager's post_scheduling stage,
    samplomatic.build, then pad() on the template. DD in the scheduling stage (the vornak_dd
    plugin) runs before boxing instead, and build then writes dressings the plan never saw."""
    from qiskit.transpiler import generate_preset_pass_manager

    ghz = QuantumCircuit(3)
    ghz.h(0)
    ghz.cx(0, 1)
    for _ in range(5):
        ghz.cx(1, 2)
        ghz.barrier(1, 2)
    ghz.measure_all()

    def preset(**options):
        return generate_preset_pass_manager(optimization_level=1, backend=BACKEND,
                                            seed_transpiler=1, **options)

    pm = preset()
    pm.post_scheduling = generate_boxing_pass_manager(twirling_strategy="active")
    template, _ = build(pm.run(ghz))
    padded = pad(template, target=TARGET)
    assert padded.count_ops()["x"] > 0
    # Decoupling fills idle time: the template runs exactly as long as before.
    assert padded.estimate_duration(TARGET) == template.estimate_duration(TARGET)

    dd_first = preset(scheduling_method="vornak_dd")
    planned = dd_first.run(ghz)
    dd_first.post_scheduling = generate_boxing_pass_manager(twirling_strategy="active")
    late, _ = build(dd_first.run(ghz))
    # The dressings that build writes into every twirled box lengthen the circuit past the
    # schedule the pulses were planned on.
    assert late.estimate_duration(TARGET) > planned.estimate_duration(TARGET)

"""The same dynamical-decoupling job done with Qiskit, for comparison.

`qiskit_job(instructions, pulse_durations, num_qubits)` turns an instruction list into a Qiskit
`QuantumCircuit` with the same gate durations and returns `(circuit, run)`, where `run(circuit)`
schedules it as soon as possible and pads the idle stretches with X-Y-X-Y sequences. The two
passes place pulses by different rules, so the outputs differ: it is the same job, not the
same result.
"""


def available():
    try:
        import qiskit  # noqa: F401
    except ImportError:
        return False
    return True


def qiskit_job(instructions, pulse_durations, num_qubits):
    from qiskit import QuantumCircuit
    from qiskit.circuit.library import XGate, YGate
    from qiskit.transpiler import InstructionDurations, PassManager
    from qiskit.transpiler.passes import ASAPScheduleAnalysis, PadDynamicalDecoupling

    # The workload's gate names are those of the circuit methods that append the gates,
    # and a gate's parameters are the leading arguments of its method.
    circuit = QuantumCircuit(num_qubits)
    # Durations are whole nanoseconds; one time step (dt) is one nanosecond.
    durations = {}
    for name, qubits, duration, params in instructions:
        getattr(circuit, name)(*params.values(), *qubits)
        durations[name, tuple(qubits)] = round(duration)
    # The pulses are x and y gates: their durations are the pulse durations.
    for qubit, duration in pulse_durations.items():
        durations["x", (qubit,)] = durations["y", (qubit,)] = round(duration)
    table = InstructionDurations(
        [(name, list(qubits), duration) for (name, qubits), duration in durations.items()],
        dt=1e-9)
    passes = PassManager([
        ASAPScheduleAnalysis(table),
        PadDynamicalDecoupling(table, [XGate(), YGate(), XGate(), YGate()]),
    ])
    return circuit, passes.run


def pulse_count(circuit):
    """The number of X and Y pulses in a circuit that started without Y gates."""
    ops = circuit.count_ops()
    return ops.get("y", 0) * 2

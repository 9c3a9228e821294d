"""Qiskit circuits padded with DD sequences through the package's pass, vornak.qiskit.

    python examples/qiskit_adapter.py

There is nothing to convert: `vornak.qiskit.DynamicalDecoupling` is a Qiskit transpiler
pass, so a circuit goes in and a scheduled, padded circuit comes out. `pad_with_dd` wraps
it for a circuit and either a `Target` or an `InstructionDurations` table; run on its own,
the program pads a small four-qubit circuit with a durations table in ns and `dt`.
(`examples/instruction_list.py` has the conversion to the core module's instruction list,
for programs that call `_vornak` directly.)
"""

from qiskit.circuit import QuantumCircuit
from qiskit.transpiler import InstructionDurations, PassManager, Target

from vornak.qiskit import DynamicalDecoupling


def pad_with_dd(circuit, durations, coupling=None, placement="spread", dd_sequence=None):
    """Runs the DD pass on a physical `circuit`; returns (padded circuit, property set).

    `durations` is the device's `Target` (durations, dt, pulse alignment and, by default,
    the coupled pairs) or an `InstructionDurations` table; `coupling` lists the pairs the
    crosstalk check looks at (default: the target's, none for a table).
    """
    # As soon as possible, as Qiskit's ASAPScheduleAnalysis before its padding passes.
    if isinstance(durations, Target):
        dd = DynamicalDecoupling(target=durations, dd_sequence=dd_sequence,
                                 coupling_map=coupling, placement=placement, scheduling="asap")
    elif isinstance(durations, InstructionDurations):
        dd = DynamicalDecoupling(durations, dd_sequence, coupling_map=coupling,
                                 placement=placement, scheduling="asap")
    else:
        raise TypeError("durations come from a Target or InstructionDurations, "
                        f"not {type(durations).__name__}")
    pm = PassManager([dd])
    padded = pm.run(circuit)
    return padded, pm.property_set


def example_circuit():
    """Four qubits on a line: qubit 3 is measured early and then waits for the others."""
    qc = QuantumCircuit(4, 4)
    qc.h(0)
    qc.cx(0, 1)
    qc.cx(1, 2)
    qc.measure(3, 3)
    qc.cx(2, 3)
    qc.rz(0.5, 3)
    qc.measure([0, 1, 2, 3], [0, 1, 2, 3])
    return qc


def example_durations():
    """A small table: the single-qubit gates in ns, cx per pair, measurement in dt."""
    return InstructionDurations(
        [("h", None, 50, "ns"), ("rz", None, 0, "ns"), ("x", None, 50, "ns"),
         ("cx", [0, 1], 300, "ns"), ("cx", [1, 2], 350, "ns"), ("cx", [2, 3], 400, "ns"),
         ("measure", None, 2250, "dt")],
        dt=2e-10)  # 0.2 ns per sample, so measurement takes 450 ns


def main():
    circuit = example_circuit()
    padded, props = pad_with_dd(circuit, example_durations(),
                                coupling=[(0, 1), (1, 2), (2, 3)])
    print(f"{props['dd_sequences_inserted']} DD sequences inserted, "
          f"{props['dd_sequences_dropped']} dropped; times in {props['time_unit']}")
    print(dict(padded.count_ops()))
    print(padded.draw(output="text", fold=-1))


if __name__ == "__main__":
    main()

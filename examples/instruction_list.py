"""A Qiskit circuit as the instruction list of `_vornak`, and the padded graph back as a circuit.

    python examples/instruction_list.py

This is the conversion for programs that drive the core module's API themselves
(`examples/qasm_pipeline.py`, `examples/timeline.py --qasm`); to pad a Qiskit circuit,
`vornak.qiskit.DynamicalDecoupling` does it all (see `examples/qiskit_adapter.py`).

How a circuit maps onto the instruction list `(name, qubits, duration_ns, params)`:

- name: the operation's name (`op.name`), unchanged.
- qubits: the circuit's qubit indices (`circuit.find_bit(q).index`). For a circuit that has
  been transpiled to a device these are the physical qubits. The list holds no classical
  bits; the way back takes them from the source circuit.
- duration_ns: looked up per gate and per qubit tuple in a Qiskit `InstructionDurations`
  table, or in a `Target` (through `Target.durations()`). Qiskit holds durations in seconds
  or in `dt`, the device's sample time; both are converted to nanoseconds (seconds * 1e9,
  dt through the table's `dt`), rounded to 1e-6 ns to drop the binary noise of the
  conversion. A `Delay` brings its own duration and unit. A barrier
  becomes a zero-length operation on its qubits: it starts when all of them are free, and
  the operations after it start no earlier, which is what a barrier means to a scheduler.
  An operation with no known duration is an error, never a silent zero.
- params: the gate's parameters in order, under the keys "p0", "p1", ... with float values
  (none for a delay, whose parameter is its duration). A parameter that is not bound to a
  number is an error.

The way back (`from_nodes`) walks `get_all_nodes()` of the padded graph: each "DD_X" or
"DD_Y" node becomes a `DDPulse` gate named the same way (defined as an X or Y gate, with
the pulse's shape `amp`, `sigma`, `beta` in its `shape` attribute); every other node is matched,
in order, to the next instruction of the source circuit, which is appended unchanged (so
classical bits, labels and non-float parameters survive). Qiskit circuits carry no
durations of their own, so the pulse lengths live in the node list only.
"""

import sys

from qiskit.circuit import Gate, QuantumCircuit
from qiskit.transpiler import InstructionDurations, Target

from _vornak import QuantumDAG

# The example circuit and durations table are the package pass's example's.
from qiskit_adapter import example_circuit, example_durations

DD_NAMES = ("DD_X", "DD_Y")
_UNIT_NS = {"s": 1e9, "ms": 1e6, "us": 1e3, "ns": 1.0, "ps": 1e-3}


class DDPulse(Gate):
    """One DD pulse: a named single-qubit gate equal to X ("DD_X") or Y ("DD_Y").

    The pulse's shape (`amp`, `sigma`, `beta`) does not change the gate's unitary, so it is
    kept in the attribute `shape`, not among the gate's parameters.
    """

    def __init__(self, name, shape=None):
        if name not in DD_NAMES:
            raise ValueError(f"not a DD pulse name: {name!r}")
        super().__init__(name, 1, [])
        self.shape = dict(shape or {})
        self._axis = name[-1]  # kept apart: exporters may rename the gate

    def _define(self):
        body = QuantumCircuit(1, name=self.name)
        if self._axis == "X":
            body.x(0)
        else:
            body.y(0)
        self.definition = body


def durations_of(source):
    """An `InstructionDurations` table from a `Target` or from such a table."""
    if isinstance(source, Target):
        return source.durations()
    if isinstance(source, InstructionDurations):
        return source
    raise TypeError(f"durations come from a Target or InstructionDurations, not {type(source).__name__}")


def _duration_ns(op, qubits, table):
    return round(_raw_duration_ns(op, qubits, table), 6)


def _raw_duration_ns(op, qubits, table):
    if op.name == "barrier":
        return 0.0
    if op.name == "delay":
        if op.unit == "dt":
            if table.dt is None:
                raise ValueError("a delay in dt needs a durations table with dt")
            return float(op.duration) * table.dt * 1e9
        return float(op.duration) * _UNIT_NS[op.unit]
    try:
        return table.get(op.name, qubits, unit="s") * 1e9
    except Exception as err:  # Qiskit raises a TranspilerError
        raise ValueError(f"no duration for {op.name} on qubits {qubits}") from err


def _params(op):
    if op.name == "delay":
        return {}  # its one parameter is its duration
    params = {}
    for i, value in enumerate(op.params):
        try:
            params[f"p{i}"] = float(value)
        except TypeError as err:
            raise TypeError(
                f"{op.name}: parameter {i} ({value}) is not a number; assign the circuit's "
                "parameters before converting it") from err
    return params


def to_instructions(circuit, durations):
    """The circuit as a list of `(name, qubits, duration_ns, params)`, in program order."""
    table = durations_of(durations)
    out = []
    for inst in circuit.data:
        qubits = [circuit.find_bit(q).index for q in inst.qubits]
        out.append((inst.operation.name, qubits, _duration_ns(inst.operation, qubits, table),
                    _params(inst.operation)))
    return out


def from_nodes(nodes, source):
    """A new circuit, laid out like `source`, from the tuples of `get_all_nodes()`."""
    out = source.copy_empty_like()
    originals = iter(source.data)
    for name, qubits, _duration, params in nodes:
        if name in DD_NAMES:
            (qubit,) = qubits
            out.append(DDPulse(name, params), [out.qubits[qubit]])
            continue
        inst = next(originals, None)
        if inst is None:
            raise ValueError(f"node {name} {qubits} has no counterpart in the source circuit")
        source_qubits = [source.find_bit(q).index for q in inst.qubits]
        if (inst.operation.name, source_qubits) != (name, qubits):
            raise ValueError(f"node {name} {qubits} does not match the source's next "
                             f"instruction {inst.operation.name} {source_qubits}")
        out.append(inst.operation, inst.qubits, inst.clbits, copy=False)
    if next(originals, None) is not None:
        raise ValueError("the nodes cover only some of the source circuit; was it scheduled?")
    return out


def pad_with_dd(circuit, durations, coupling=(), sequence="XY", pulse_ns=None, num_qubits=None):
    """Runs the DD pass on `circuit`; returns (padded circuit, padded graph).

    `coupling` lists coupled qubit pairs, `pulse_ns` maps a qubit to its pulse length, and
    `num_qubits` (default: the circuit's width) is how many qubits the crosstalk check
    looks at; pass 0 to turn it off.
    """
    dag = QuantumDAG()
    dag.build_from_ir(to_instructions(circuit, durations))
    dag.set_coupling_map(list(coupling))
    dag.build_schedule()
    if num_qubits is None:
        num_qubits = circuit.num_qubits
    padded = dag.apply_dd_pass(sequence, pulse_ns, num_qubits)
    return from_nodes(padded.get_all_nodes(), circuit), padded


def main():
    sys.stdout.reconfigure(line_buffering=True)  # keeps our lines in order with the module's
    circuit = example_circuit()
    durations = example_durations()
    print("Instruction list handed to _vornak:")
    for inst in to_instructions(circuit, durations):
        print(f"  {inst}")
    padded, graph = pad_with_dd(circuit, durations, coupling=[(0, 1), (1, 2), (2, 3)],
                                pulse_ns={q: 50.0 for q in range(4)})
    print(f"\nPadded graph: {graph.node_count()} operations")
    print(padded.draw(output="text", fold=-1))


if __name__ == "__main__":
    main()

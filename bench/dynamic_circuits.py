"""Dynamic circuits for the benchmarks and tests: feed-forward, mid-circuit measurement and reset.

Each builder returns a logical circuit (no final measurements: the fidelity benchmark reads
the final state); `transpiled(name, backend)` maps it onto a device.
"""

from __future__ import annotations

from qiskit import ClassicalRegister, QuantumCircuit, QuantumRegister, transpile
from qiskit.circuit.classical import expr

TRANSPILE_SEED = 1


def _prepare(qc, q, seed=0):
    """An arbitrary single-qubit state on `q` (phases matter to detuning and ZZ)."""
    qc.ry(0.7 + 0.3 * seed, q)
    qc.rz(1.1 + 0.2 * seed, q)


def teleport_chain(hops: int = 2) -> QuantumCircuit:
    """A state teleported `hops` times along a line of 2 * hops + 1 qubits.

    Each hop measures two qubits and corrects the receiver with an ``if_test`` on each bit
    (the X correction as if/else, its else branch a frame change); the used pair is reset.
    """
    n = 2 * hops + 1
    q = QuantumRegister(n, "q")
    bits = [ClassicalRegister(2, f"m{h}") for h in range(hops)]
    qc = QuantumCircuit(q, *bits, name=f"teleport-{hops}")
    _prepare(qc, q[0])
    for h in range(hops):
        src, mid, dst = 2 * h, 2 * h + 1, 2 * h + 2
        qc.h(q[mid])
        qc.cx(q[mid], q[dst])
        qc.cx(q[src], q[mid])
        qc.h(q[src])
        qc.measure(q[src], bits[h][0])
        qc.measure(q[mid], bits[h][1])
        with qc.if_test((bits[h][1], 1)) as else_:
            qc.x(q[dst])
        with else_:
            qc.rz(0.0, q[dst])
        with qc.if_test((bits[h][0], 1)):
            qc.z(q[dst])
        qc.reset(q[src])
        qc.reset(q[mid])
    return qc


def ghz_feed_forward(size: int = 4) -> QuantumCircuit:
    """A GHZ state on `size` data qubits prepared in constant depth: Bell pairs joined by
    measuring the parity ancillas between them and correcting with XOR conditions."""
    n = 2 * size - 1  # d0 a0 d1 a1 ... d{size-1}
    q = QuantumRegister(n, "q")
    c = ClassicalRegister(size - 1, "p")
    qc = QuantumCircuit(q, c, name=f"ghz-ff-{size}")
    data = [q[2 * i] for i in range(size)]
    ancillas = [q[2 * i + 1] for i in range(size - 1)]
    for d in data:
        qc.h(d)
    for i, a in enumerate(ancillas):
        qc.cx(data[i], a)
        qc.cx(data[i + 1], a)
    for i, a in enumerate(ancillas):
        qc.measure(a, c[i])
    # The ancillas read the parities of neighbouring data qubits; flipping data qubit j by
    # the parity of the ancillas before it leaves (|0...0> + |1...1>) / sqrt(2).
    for j in range(1, size):
        parity = expr.lift(c[0])
        for i in range(1, j):
            parity = expr.bit_xor(parity, c[i])
        with qc.if_test(parity):
            qc.x(data[j])
    for a in ancillas:
        qc.reset(a)
    return qc


def repetition_code(rounds: int = 3, loop: bool = False) -> QuantumCircuit:
    """`rounds` rounds of syndrome extraction of the distance-3 bit-flip code (data d0 d1 d2,
    ancillas between them) on an encoded superposition, each round measuring the two
    ancillas, correcting the data by ``if_test`` on the syndrome and resetting the ancillas.
    With `loop`, the rounds are a ``for_loop``."""
    q = QuantumRegister(5, "q")  # d0 a0 d1 a1 d2
    s = ClassicalRegister(2, "s")
    name = f"rep3-{'loop-' if loop else ''}{rounds}"
    qc = QuantumCircuit(q, s, name=name)
    d0, a0, d1, a1, d2 = q
    _prepare(qc, d0)
    qc.cx(d0, d1)
    qc.cx(d1, d2)

    def one_round(circuit):
        circuit.cx(d0, a0)
        circuit.cx(d1, a0)
        circuit.cx(d1, a1)
        circuit.cx(d2, a1)
        circuit.measure(a0, s[0])
        circuit.measure(a1, s[1])
        with circuit.if_test(expr.logic_and(s[0], expr.logic_not(s[1]))):
            circuit.x(d0)
        with circuit.if_test(expr.logic_and(s[0], s[1])):
            circuit.x(d1)
        with circuit.if_test(expr.logic_and(expr.logic_not(s[0]), s[1])):
            circuit.x(d2)
        circuit.reset(a0)
        circuit.reset(a1)

    if loop:
        with qc.for_loop(range(rounds)):
            one_round(qc)
    else:
        for _ in range(rounds):
            one_round(qc)
    # Undo the encoding: the logical state returns to d0.
    qc.cx(d1, d2)
    qc.cx(d0, d1)
    return qc


def syndrome_rounds(distance: int, rounds: int) -> QuantumCircuit:
    """`rounds` rounds of a bit-flip repetition code of `distance` data qubits (2 * distance
    - 1 qubits on a line), with switch-free corrections: each data qubit between two
    ancillas is flipped when both report."""
    n = 2 * distance - 1
    q = QuantumRegister(n, "q")
    s = ClassicalRegister(distance - 1, "s")
    qc = QuantumCircuit(q, s, name=f"rep{distance}x{rounds}")
    data = [q[2 * i] for i in range(distance)]
    ancillas = [q[2 * i + 1] for i in range(distance - 1)]
    for i in range(1, distance):
        qc.cx(data[i - 1], data[i])
    for _ in range(rounds):
        for i, a in enumerate(ancillas):
            qc.cx(data[i], a)
            qc.cx(data[i + 1], a)
        for i, a in enumerate(ancillas):
            qc.measure(a, s[i])
        for i in range(1, distance - 1):
            with qc.if_test(expr.logic_and(s[i - 1], s[i])):
                qc.x(data[i])
        for a in ancillas:
            qc.reset(a)
    return qc


def qaoa_feed_forward(size: int, rounds: int = 3) -> QuantumCircuit:
    """mqt.bench's QAOA on `size` qubits repeated `rounds` times, each round ending in two
    mid-circuit measurements, a feed-forward ``x`` and a reset."""
    from mqt.bench import BenchmarkLevel, get_benchmark

    base = get_benchmark("qaoa", BenchmarkLevel.INDEP, size)
    base.remove_final_measurements(inplace=True)
    q = QuantumRegister(size, "q")
    c = ClassicalRegister(2 * rounds, "c")
    qc = QuantumCircuit(q, c, name=f"qaoa-ff-{size}")
    for r in range(rounds):
        qc.compose(base, q, inplace=True)
        qc.measure(q[0], c[2 * r])
        qc.measure(q[1], c[2 * r + 1])
        with qc.if_test((c[2 * r], 1)):
            qc.x(q[2])
        qc.reset(q[0])
    return qc


CIRCUITS = {
    "teleport-2": lambda: teleport_chain(2),
    "ghz-ff-4": lambda: ghz_feed_forward(4),
    "rep3-3": lambda: repetition_code(3),
    "rep3-loop-3": lambda: repetition_code(3, loop=True),
}


def line_layout(target, size: int, start: int = 0) -> list[int]:
    """`size` physical qubits that form a path in the coupling map of `target`, from `start`
    (the builders lay their qubits out along a line, so that no routing is needed)."""
    coupling = target.build_coupling_map()
    neighbours: dict[int, set[int]] = {}
    for a, b in coupling.get_edges():
        neighbours.setdefault(a, set()).add(b)
        neighbours.setdefault(b, set()).add(a)
    path = [start]

    def extend() -> bool:
        if len(path) == size:
            return True
        for q in sorted(neighbours.get(path[-1], ())):
            if q not in path:
                path.append(q)
                if extend():
                    return True
                path.pop()
        return False

    if not extend():
        raise ValueError(f"no path of {size} qubits from qubit {start}")
    return path


def transpiled(circuit: QuantumCircuit, target, seed: int = TRANSPILE_SEED) -> QuantumCircuit:
    """`circuit` mapped onto the device of `target` along a line of its qubits (optimisation
    level 1, fixed seed)."""
    layout = line_layout(target, circuit.num_qubits)
    return transpile(circuit, target=target, optimization_level=1, seed_transpiler=seed,
                     initial_layout=layout)

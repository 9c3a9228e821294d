"""Reproducible circuits for benchmarks, tests and examples.

`heavy_hex()` is the 127-qubit heavy-hexagon coupling lattice: seven rows of qubits joined
by bridge qubits, every qubit coupled to at most three others. `layered_circuit()` builds
layers of single-qubit gates and of two-qubit gates on disjoint coupled pairs, with uneven
durations so that qubits idle while their neighbours finish.
"""

import random

NUM_QUBITS = 127
_ROW_WIDTH = 15
_ROWS = 7

SINGLE_QUBIT = (("sx", 35.0), ("x", 35.0), ("rz", 0.0))


def heavy_hex():
    """Returns the coupled pairs `(a, b)`, `a < b`, of the 127-qubit heavy-hex lattice.

    Rows hold 14, 15, 15, 15, 15, 15 and 14 qubits (the first lacks the last column, the
    last lacks the first). Four bridge qubits, numbered between the two rows they join,
    couple each row to the next: at columns 0, 4, 8, 12 below even rows and 2, 6, 10, 14
    below odd ones.
    """
    edges = []
    next_qubit = 0
    above = None
    for r in range(_ROWS):
        if r == 0:
            columns = range(_ROW_WIDTH - 1)
        elif r == _ROWS - 1:
            columns = range(1, _ROW_WIDTH)
        else:
            columns = range(_ROW_WIDTH)
        if above is not None:
            bridge_columns = (0, 4, 8, 12) if r % 2 == 1 else (2, 6, 10, 14)
            bridges = {c: next_qubit + i for i, c in enumerate(bridge_columns)}
            next_qubit += len(bridges)
        row = {c: next_qubit + i for i, c in enumerate(columns)}
        next_qubit += len(row)
        edges += [(row[c], row[c + 1]) for c in columns if c + 1 in row]
        if above is not None:
            for c, bridge in bridges.items():
                edges += [(above[c], bridge), (bridge, row[c])]
        above = row
    assert next_qubit == NUM_QUBITS
    return sorted(edges)


def layered_circuit(gates, seed=0, num_qubits=NUM_QUBITS, edges=None):
    """Returns `gates` instructions `(name, qubits, duration_ns, params)` on the lattice.

    Layers alternate, starting with one that applies a random single-qubit gate to about
    two thirds of the qubits (`rz` carries a `theta` parameter and takes no time), then one
    that applies `ecr` to a random set of disjoint coupled pairs, each pair with its own
    fixed duration between 400 and 800 ns.
    """
    rng = random.Random(seed)
    edges = heavy_hex() if edges is None else edges
    pair_duration = {e: float(rng.randrange(400, 801, 20)) for e in edges}
    out = []
    layer = 0
    while len(out) < gates:
        if layer % 2 == 0:
            for q in range(num_qubits):
                if rng.random() < 2 / 3:
                    name, duration = rng.choice(SINGLE_QUBIT)
                    params = {"theta": rng.uniform(-3.14159, 3.14159)} if name == "rz" else {}
                    out.append((name, [q], duration, params))
        else:
            shuffled = edges[:]
            rng.shuffle(shuffled)
            busy = set()
            for a, b in shuffled:
                if a in busy or b in busy or rng.random() < 0.3:
                    continue
                busy.update((a, b))
                out.append(("ecr", [a, b], pair_duration[(a, b)], {}))
        layer += 1
    del out[gates:]
    return out


def pulse_durations(num_qubits=NUM_QUBITS):
    """Returns the DD pulse duration of every qubit: that of the `x` gate, 35 ns."""
    return {q: 35.0 for q in range(num_qubits)}

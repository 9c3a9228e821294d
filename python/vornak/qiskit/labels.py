"""Labels across the native writer, which Qiskit's C API cannot carry: the labelled
instructions of a circuit found once, and put back on the padded circuit by position."""

from __future__ import annotations

from functools import partial
from itertools import compress, count
from operator import attrgetter, is_not


def labelled_positions(data) -> list[int]:
    """The positions in circuit data `data` of the instructions that have a label.

    One pass over the instructions, each made as a Python object only to read its label (no
    Qiskit call answers this without one); the loop runs in C, and the operation's own
    Python object is not made (``CircuitData.foreach_op`` would make it).
    """
    return list(compress(count(), map(partial(is_not, None), map(attrgetter("label"), data))))


def relabel(out, data, positions: list[int], placed: list[int]) -> None:
    """Puts at ``placed[j]`` in padded circuit `out` the instruction of `data` at
    ``positions[j]``, which the native writer wrote there without its label (-1: a delay,
    which is not written but replaced). Both circuits have the same bits. Only instructions
    the C API reads are written natively (standard gates and instructions, unitaries), whose
    state the circuit holds itself, so the two circuits share no state a caller can change;
    a Python object Qiskit caches for the operation is shared, as ``CircuitData.copy`` shares
    it."""
    written = out._data
    for position, index in zip(positions, placed):
        if index >= 0:
            written[index] = data[position]

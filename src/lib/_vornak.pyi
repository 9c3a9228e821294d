"""The Vornak high-performance quantum compiler module."""

# Type information for the _vornak extension module, installed next to it.
#
# Internal failures (a call from a thread other than the one that created the
# instance, a dict changed while it is being read) raise `PanicException`.
# It derives from BaseException, not Exception, and it is not an attribute of
# this module, so it has no name here: catch it as BaseException and look at
# `type(exc).__name__ == "PanicException"`.

from typing import SupportsFloat, SupportsIndex, final
from collections.abc import Sequence

__all__ = ["VornakError", "QuantumDAG"]

# A value that the module converts to a 64-bit float: a float, an int, or any
# object with __float__ or __index__.
_Float = SupportsFloat | SupportsIndex

# One instruction of build_from_ir: (name, qubits, duration_ns, params).
_Instruction = tuple[str, Sequence[SupportsIndex], _Float, dict[str, float]]

# One operation as get_all_nodes returns it: (name, qubits, duration_ns, params).
_Node = tuple[str, list[int], float, dict[str, float]]

class VornakError(Exception):
    """Exported for callers to catch; no operation of the module raises it."""

@final
class QuantumDAG:
    """Python wrapper for the core QuantumDAG."""

    def __new__(cls) -> QuantumDAG: ...
    def set_coupling_map(self, edges: Sequence[tuple[SupportsIndex, SupportsIndex]]) -> None: ...
    def node_count(self) -> int:
        """Returns the total number of nodes in the DAG."""
    def add_gate(
        self,
        name: str,
        qubits: Sequence[SupportsIndex],
        duration_ns: _Float,
        params: dict[str, float] | None = None,
    ) -> int:
        """Adds a gate node to the graph and connects dependent edges."""
    def build_from_ir(self, instructions: Sequence[_Instruction]) -> None:
        """Reads an IR constructed by a framework adapter and builds the DAG."""
    def build_schedule(self) -> None:
        """Computes the schedule (start and end times) for all nodes."""
    def get_node_schedule(self, node_id: SupportsIndex) -> tuple[float, float] | None:
        """Retrieves the schedule for a specific node as (start_time, end_time)."""
    def find_idle_windows(self, min_gap_ns: _Float) -> list[tuple[int, float, float]]:
        """Finds idle windows on qubits where the gap between operations is >= min_gap_ns."""
    def apply_dd_pass(
        self,
        sequence: str = "XY",
        pulse_durations: dict[int, float] | None = None,
        num_qubits: SupportsIndex = 0,
    ) -> QuantumDAG:
        """Dynamically inserts Dynamical Decoupling (DD) sequences on idle qubits."""
    def get_all_nodes(self) -> list[_Node]:
        """Exports all operations in topological order a list of tuples (name, qubits, duration)."""

"""The smoke test of an installed _vornak (CPython 3.14): run by scripts/wheel-check.sh in a
fresh venv, outside the source tree, so that only the installed module can be imported."""
import sys

import _vornak
from _vornak import QuantumDAG, VornakError

assert _vornak.__file__.startswith(sys.prefix), _vornak.__file__
assert _vornak.__all__ == ["VornakError", "QuantumDAG"]
assert issubclass(VornakError, Exception)
dag = QuantumDAG()
dag.build_from_ir([("x", [1], 400.0, {}), ("cx", [0, 1], 300.0, {})])
dag.build_schedule()
assert dag.get_node_schedule(1) == (400.0, 700.0)
out = dag.apply_dd_pass("XY", {0: 50.0}, 2)
names = [n for n, *_ in out.get_all_nodes()]
assert names == ["x", "DD_X", "DD_Y", "cx"], names
print("smoke test passed")

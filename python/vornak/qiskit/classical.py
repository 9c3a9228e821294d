"""The clbits and classical variables that an operation reads or writes beyond the clbits it
lists: a condition's or a switch's target, the variables a control-flow operation's bodies
take from outside, a store's two sides. Qiskit keeps these in expressions, which its C API
does not show; the bridge takes them as numbers (`ClassicalWires`)."""

from __future__ import annotations

from qiskit.circuit import ClassicalRegister, Clbit, ControlFlowOp, Store
from qiskit.circuit.classical import expr


def classical_wires(operation) -> list:
    """The clbits and variables that a control-flow operation or a store reads or writes,
    beyond the clbits it lists: a condition's or a switch's target, the variables its bodies
    take from outside, a store's two sides (a register standing for all its bits; a
    variable as its ``expr.Var``)."""
    if isinstance(operation, Store):
        return _expression_wires(operation.lvalue) + _expression_wires(operation.rvalue)
    if not isinstance(operation, ControlFlowOp):
        return []
    found = []
    target = getattr(operation, "condition", None)
    if target is None:
        target = getattr(operation, "target", None)
    if isinstance(target, tuple):
        target = target[0]
    if isinstance(target, expr.Expr):
        found = _expression_wires(target)
    elif isinstance(target, ClassicalRegister):
        found = list(target)
    elif isinstance(target, Clbit):
        found = [target]
    for block in operation.blocks:
        found.extend(block.iter_captured_vars())
    return found


def store_wires(dag) -> dict | None:
    """The numbers (`ClassicalWires`) of the clbits and variables each classical store of
    `dag` writes and reads, by node index; None where it has no store."""
    if "store" not in dag.count_ops(recurse=False):
        return None
    number = ClassicalWires(dag)
    return {node._node_id: number(classical_wires(node.op)) for node in dag.op_nodes(Store)}


class ClassicalWires:
    """The bridge's numbers of the clbits and variables of `owner` (a circuit or a DAG):
    clbit c as c, the variables after the clbits, in the order of their names."""

    def __init__(self, owner):
        self.owner = owner
        self._variables = None

    def __call__(self, wires) -> tuple[int, ...]:
        """The numbers of `wires` (clbits and ``expr.Var``s, as `classical_wires` gives)."""
        found = []
        for wire in wires:
            if isinstance(wire, Clbit):
                found.append(self.owner.find_bit(wire).index)
                continue
            if self._variables is None:
                first = len(self.owner.clbits)
                names = sorted(var.name for var in self.owner.iter_vars())
                self._variables = {name: first + k for k, name in enumerate(names)}
            found.append(self._variables[wire.name])
        return tuple(found)


def _expression_wires(value: expr.Expr) -> list:
    """The clbits (a register's all) and variables that classical expression `value` names."""
    found = []
    for node in expr.iter_vars(value):
        if isinstance(node.var, Clbit):
            found.append(node.var)
        elif isinstance(node.var, ClassicalRegister):
            found.extend(node.var)
        else:
            found.append(node)
    return found

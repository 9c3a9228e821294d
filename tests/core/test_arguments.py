"""Matching of positional and keyword arguments to parameters, and its TypeError messages."""
import pytest

from _vornak import QuantumDAG

ADD = "QuantumDAG.add_gate()"
DD = "QuantumDAG.apply_dd_pass()"

PARSE_ERRORS = [
    # too many positional arguments, both message forms
    (lambda g: g.add_gate("h", [0], 1.0, None, 5), f"{ADD} takes from 3 to 4 positional arguments but 5 were given"),
    (lambda g: g.apply_dd_pass("XY", None, 0, 1), f"{DD} takes from 0 to 3 positional arguments but 4 were given"),
    (lambda g: g.get_node_schedule(1, 2),
     "QuantumDAG.get_node_schedule() takes 1 positional arguments but 2 were given"),
    (lambda g: g.find_idle_windows(1, 2),
     "QuantumDAG.find_idle_windows() takes 1 positional arguments but 2 were given"),
    (lambda g: QuantumDAG(1), "QuantumDAG.__new__() takes 0 positional arguments but 1 was given"),
    (lambda g: QuantumDAG(1, 2), "QuantumDAG.__new__() takes 0 positional arguments but 2 were given"),
    # the count is checked before any keyword
    (lambda g: g.get_node_schedule(1, 2, node_id=3, bogus=4),
     "QuantumDAG.get_node_schedule() takes 1 positional arguments but 2 were given"),
    # unexpected keywords, matched byte for byte
    (lambda g: g.build_from_ir(instr=[]), "QuantumDAG.build_from_ir() got an unexpected keyword argument 'instr'"),
    (lambda g: g.add_gate("h", [0], 1.0, Params=None), f"{ADD} got an unexpected keyword argument 'Params'"),
    (lambda g: g.apply_dd_pass(self=g), f"{DD} got an unexpected keyword argument 'self'"),
    (lambda g: g.add_gate(**{"\udc80": 1}), f"{ADD} got an unexpected keyword argument '\udc80'"),
    (lambda g: QuantumDAG(x=1), "QuantumDAG.__new__() got an unexpected keyword argument 'x'"),
    (lambda g: QuantumDAG(**{"\udc80": 1}), "QuantumDAG.__new__() got an unexpected keyword argument '\udc80'"),
    # multiple values
    (lambda g: g.add_gate("h", [0], 10.0, name="x"), f"{ADD} got multiple values for argument 'name'"),
    (lambda g: g.get_node_schedule(0, node_id=0),
     "QuantumDAG.get_node_schedule() got multiple values for argument 'node_id'"),
    (lambda g: g.apply_dd_pass("XY", sequence="XY"), f"{DD} got multiple values for argument 'sequence'"),
    # keywords are taken in the order given; keyword errors come before missing ones
    (lambda g: g.add_gate("h", [0], 1.0, name="x", bogus=1), f"{ADD} got multiple values for argument 'name'"),
    (lambda g: g.add_gate("h", [0], 1.0, bogus=1, name="x"), f"{ADD} got an unexpected keyword argument 'bogus'"),
    (lambda g: g.add_gate(bogus=1), f"{ADD} got an unexpected keyword argument 'bogus'"),
    (lambda g: g.add_gate("h", name="x"), f"{ADD} got multiple values for argument 'name'"),
    # missing arguments: one, two and three names
    (lambda g: g.add_gate(), f"{ADD} missing 3 required positional arguments: 'name', 'qubits', and 'duration_ns'"),
    (lambda g: g.add_gate(params={}),
     f"{ADD} missing 3 required positional arguments: 'name', 'qubits', and 'duration_ns'"),
    (lambda g: g.add_gate("h"), f"{ADD} missing 2 required positional arguments: 'qubits' and 'duration_ns'"),
    (lambda g: g.add_gate(qubits=[0]), f"{ADD} missing 2 required positional arguments: 'name' and 'duration_ns'"),
    (lambda g: g.add_gate("h", [0]), f"{ADD} missing 1 required positional argument: 'duration_ns'"),
    (lambda g: g.add_gate("h", duration_ns=1.0), f"{ADD} missing 1 required positional argument: 'qubits'"),
    (lambda g: g.set_coupling_map(), "QuantumDAG.set_coupling_map() missing 1 required positional argument: 'edges'"),
    (lambda g: g.build_from_ir(),
     "QuantumDAG.build_from_ir() missing 1 required positional argument: 'instructions'"),
    (lambda g: g.get_node_schedule(),
     "QuantumDAG.get_node_schedule() missing 1 required positional argument: 'node_id'"),
    (lambda g: g.find_idle_windows(),
     "QuantumDAG.find_idle_windows() missing 1 required positional argument: 'min_gap_ns'"),
]


@pytest.mark.parametrize("call, message", PARSE_ERRORS, ids=[m for _, m in PARSE_ERRORS])
def test_parse_error_message(dag, capfdbinary, call, message):
    with pytest.raises(TypeError) as info:
        call(dag)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert dag.node_count() == 1
    assert dag.add_gate("after", [0], 1.0) == 1  # no hold left behind
    assert capfdbinary.readouterr().out == b""


def test_interpreter_refuses_arguments_to_no_argument_methods(dag):
    for call in (lambda: dag.node_count(1), lambda: dag.build_schedule(None), lambda: dag.get_all_nodes(x=1),
                 lambda: QuantumDAG.node_count(object()), lambda: QuantumDAG.add_gate(object(), "h", [0], 1.0)):
        with pytest.raises(TypeError):
            call()
    assert dag.node_count() == 1


def test_keywords_in_any_order(dag):
    assert dag.add_gate(duration_ns=2.0, params={"t": 0.5}, qubits=[3, 1], name="rz") == 1
    assert dag.add_gate("cx", duration_ns=3, qubits=(0, 1)) == 2
    assert dag.get_all_nodes()[1:] == [("rz", [3, 1], 2.0, {"t": 0.5}), ("cx", [0, 1], 3.0, {})]
    assert dag.get_node_schedule(node_id=0) is None
    assert dag.find_idle_windows(min_gap_ns=0) == []
    assert dag.set_coupling_map(edges=[(0, 1)]) is None


@pytest.mark.parametrize("method, kwargs, failing", [
    ("apply_dd_pass", {"num_qubits": None, "sequence": "XY4"}, "num_qubits"),
    ("apply_dd_pass", {"num_qubits": None, "sequence": None}, "sequence"),
    ("apply_dd_pass", {"num_qubits": None, "pulse_durations": [1]}, "pulse_durations"),
    ("apply_dd_pass", {"pulse_durations": None, "num_qubits": "2"}, "num_qubits"),
    ("add_gate", {"duration_ns": "x", "params": 5, "qubits": "01", "name": 1}, "name"),
    ("add_gate", {"duration_ns": "x", "params": 5, "qubits": [0], "name": "h"}, "duration_ns"),
])
def test_keywords_fill_their_own_slots_and_convert_in_parameter_order(dag, method, kwargs, failing):
    with pytest.raises(TypeError) as info:
        getattr(dag, method)(**kwargs)
    assert str(info.value).startswith(f"argument '{failing}': ")
    assert dag.node_count() == 1

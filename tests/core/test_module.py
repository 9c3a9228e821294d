"""Module object, the QuantumDAG type, VornakError, thread confinement and subinterpreters."""
import inspect
import re
import sys
import weakref

import pytest

import _vornak
from _vornak import QuantumDAG


def test_module_attributes():
    assert _vornak.__all__ == ["VornakError", "QuantumDAG"]
    assert _vornak.__doc__ == "The Vornak high-performance quantum compiler module."
    assert _vornak.QuantumDAG is QuantumDAG
    err = _vornak.VornakError
    assert issubclass(err, Exception) and err.__bases__ == (Exception,)
    assert (err.__module__, err.__name__, err.__doc__) == ("vornak", "VornakError", None)


def test_type_attributes():
    assert QuantumDAG.__module__ == "builtins"
    assert QuantumDAG.__name__ == QuantumDAG.__qualname__ == "QuantumDAG"
    assert QuantumDAG.__doc__ == "Python wrapper for the core QuantumDAG."
    assert QuantumDAG.__text_signature__ == "()"
    assert QuantumDAG.__bases__ == (object,)
    assert list(inspect.signature(QuantumDAG).parameters) == []
    assert re.fullmatch(r"<builtins\.QuantumDAG object at 0x[0-9a-f]+>", repr(QuantumDAG()))


def test_type_is_final_and_instances_are_closed():
    with pytest.raises(TypeError):
        type("Derived", (QuantumDAG,), {})
    graph = QuantumDAG()
    with pytest.raises(AttributeError):
        graph.label = "x"
    assert not hasattr(graph, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(graph)
    QuantumDAG.extra = 42  # the type itself is not immutable
    try:
        assert graph.extra == 42
    finally:
        del QuantumDAG.extra


METHODS = [
    ("set_coupling_map", "($self, edges)", None),
    ("node_count", "($self)", "Returns the total number of nodes in the DAG."),
    ("add_gate", "($self, name, qubits, duration_ns, params=None)",
     "Adds a gate node to the graph and connects dependent edges."),
    ("build_from_ir", "($self, instructions)", "Reads an IR constructed by a framework adapter and builds the DAG."),
    ("build_schedule", "($self)", "Computes the schedule (start and end times) for all nodes."),
    ("get_node_schedule", "($self, node_id)", "Retrieves the schedule for a specific node as (start_time, end_time)."),
    ("find_idle_windows", "($self, min_gap_ns)",
     "Finds idle windows on qubits where the gap between operations is >= min_gap_ns."),
    ("apply_dd_pass", '($self, sequence="XY", pulse_durations=None, num_qubits=0)',
     "Dynamically inserts Dynamical Decoupling (DD) sequences on idle qubits."),
    ("get_all_nodes", "($self)", "Exports all operations in topological order a list of tuples (name, qubits, duration)."),
]


@pytest.mark.parametrize("name, signature, doc", METHODS, ids=[m[0] for m in METHODS])
def test_method_signature_and_doc(name, signature, doc):
    method = getattr(QuantumDAG, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc
    bound = getattr(QuantumDAG(), name)
    shown = signature.replace("$self, ", "").replace("$self", "").replace('"', "'")
    assert str(inspect.signature(bound)) == shown


def test_instances_release_their_type_reference():
    before = sys.getrefcount(QuantumDAG)
    for _ in range(200):
        QuantumDAG().add_gate("h", [0], 1.0)
    assert sys.getrefcount(QuantumDAG) == before


def test_init_function_returns_the_same_module(run_isolated):
    _, seen = run_isolated(r'''
import ctypes, json, sys
import _vornak
init = ctypes.PyDLL(_vornak.__file__).PyInit__vornak
init.restype, init.argtypes = ctypes.py_object, []
first, second = init(), init()
del sys.modules["_vornak"]
import _vornak as again
print(json.dumps([first is _vornak, second is _vornak, again is _vornak, _vornak.__all__]))
''')
    assert seen == [True, True, True, ["VornakError", "QuantumDAG"]]


UNSENDABLE = re.compile(r"assertion `left == right` failed: _vornak::PyQuantumDAG is unsendable, "
                        r"but sent to another thread\n  left: ThreadId\((\d+)\)\n right: ThreadId\((\d+)\)")
DROPPED = ["RuntimeError", "_vornak::PyQuantumDAG is unsendable, but is being dropped on another thread", True]


def test_instances_are_confined_to_their_thread(run_isolated):
    proc, seen = run_isolated(r'''
import json, sys, threading
from _vornak import QuantumDAG
out = {"panics": [], "dropped": []}
sys.unraisablehook = lambda u: out["dropped"].append([type(u.exc_value).__name__, str(u.exc_value), u.object is None])
def on_thread(fn, *args):
    worker = threading.Thread(target=fn, args=args)
    worker.start()
    worker.join()
def foreign(call):
    try:
        call()
    except Exception as exc:
        out["panics"].append(["caught by except Exception", repr(exc)])
    except BaseException as exc:
        out["panics"].append([type(exc).__name__, list(exc.args), bool(type(exc).__doc__)])
graph = QuantumDAG()
graph.add_gate("h", [0], 1.0)
on_thread(foreign, graph.node_count)
on_thread(foreign, lambda: graph.add_gate("x", [1], 2.0))
out["after"] = [graph.node_count(), graph.add_gate("y", [0], 1.0)]
box = [graph]
del graph
on_thread(box.clear)                                   # last reference dropped on a foreign thread
on_thread(lambda: box.append(QuantumDAG()))            # made on a thread that has ended since
box.clear()
def work(tag, n):
    own = QuantumDAG()
    barrier.wait()
    for i in range(n):
        own.add_gate(tag, [i], 1.0)
    out[tag] = [own.node_count(), [node[1] for node in own.get_all_nodes()]]
barrier = threading.Barrier(2)
workers = [threading.Thread(target=work, args=args) for args in (("a", 2), ("b", 3))]
for w in workers: w.start()
for w in workers: w.join()
print(json.dumps(out))
''')
    assert [p[0] for p in seen["panics"]] == ["PanicException", "PanicException"]
    ids = []
    for _, args, has_doc in seen["panics"]:
        assert has_doc and len(args) == 1 and UNSENDABLE.fullmatch(args[0]), args
        ids.append(UNSENDABLE.fullmatch(args[0]).groups())
    (left1, owner1), (left2, owner2) = ids
    assert owner1 == owner2 and len({left1, left2, owner1}) == 3  # numbers are never reused
    assert "_vornak::PyQuantumDAG is unsendable, but sent to another thread" in proc.stderr
    assert seen["after"] == [1, 1]
    assert seen["dropped"] == [DROPPED, DROPPED]
    assert seen["a"] == [2, [[0], [1]]] and seen["b"] == [3, [[0], [1], [2]]]


def test_subinterpreters_cannot_import(run_isolated):
    _, seen = run_isolated(r'''
import json, sys
import _interpreters
import _vornak
from concurrent import interpreters
code = "import sys; sys.path[:] = %r; import _vornak" % (sys.path,)
out = {}
interp = interpreters.create()
try:
    interp.exec(code)
    out["isolated"] = None
except interpreters.ExecutionFailed as exc:
    out["isolated"] = [exc.excinfo.type.__name__, exc.excinfo.msg]
finally:
    interp.close()
legacy = _interpreters.create("legacy")
info = _interpreters.exec(legacy, code)
_interpreters.destroy(legacy)
out["legacy"] = None if info is None else [info.type.__name__, info.msg]
out["main"] = _vornak.QuantumDAG().add_gate("h", [0], 1.0)
print(json.dumps(out))
''')
    assert seen["isolated"] and seen["isolated"][0] == "ImportError"
    assert seen["legacy"] and seen["legacy"][0] == "ImportError"
    assert "subinterpreter" in seen["legacy"][1].lower()
    assert seen["main"] == 0

"""The whole API against the model of graph_model.py: random call sequences on several graphs
(the ones apply_dd_pass makes included), with valid and hostile arguments. After every step
the module and the model agree on the result, the exception and its message, the progress
lines, what the arguments' hooks saw, and every graph's nodes and schedule.

VORNAK_FUZZ_SECONDS=N runs the machine again and again with fresh seeds for N seconds
(`make fuzz`); the default run is short.
"""
import math
import os
import sys
import tempfile
import time

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from hypothesis.stateful import (Bundle, RuleBasedStateMachine, initialize, invariant, multiple, precondition, rule,
                                 run_state_machine_as_test)

from _vornak import QuantumDAG
from graph_model import ModelDAG, Windows, canonical, describe_error

# --- Argument recipes -----------------------------------------------------------------------
# A recipe is plain data; `make(recipe, side)` builds fresh objects from it for one side, so
# hooks act on that side's graphs and each side's dicts are mutated on their own.

EXCEPTIONS = {"type": TypeError, "value": ValueError, "overflow": OverflowError, "key": KeyError,
              "subtype": type("HostileTypeError", (TypeError,), {})}


class Side:
    """One side of the comparison: the module's graphs or the model's, and what hooks saw."""

    def __init__(self, dags):
        self.dags, self.seen = dags, []


class Hook:
    """Converts as an int (__index__) and a float (__float__): returns `value`, raises, calls a
    method of a graph of its side (recording the outcome) or changes the dict it is in."""

    def __init__(self, side, value, action):
        self.side, self.value, self.action, self.parent = side, value, action, None

    def __index__(self):
        kind, *rest = self.action
        if kind == "raise":
            raise EXCEPTIONS[rest[0]]("hostile")
        if kind == "call":
            target, method, catch = rest
            call(self.side, target, method, catch)
        if kind == "mutate" and self.parent is not None:
            mutate(self.parent, rest[0])
        return self.value

    def __float__(self):
        return float(self.__index__())


def call(side, target, method, catch):
    args = {"add_gate": ("re", [0], 1.0), "get_node_schedule": (0,), "set_coupling_map": ([(0, 1)],)}
    dag = side.dags[target % len(side.dags)]
    try:
        result = getattr(dag, method)(*args.get(method, ()))
        side.seen.append(("ok", canonical(result)))
    except RuntimeError as error:
        side.seen.append(describe_error(error))
        if not catch:
            raise


def mutate(table, how):
    if not table:
        return
    key = next(iter(dict.keys(table)))
    fresh = "zz" if isinstance(key, str) else 99
    if how == "grow":
        table[fresh] = 1.0
    elif how == "swap":
        del table[key]
        table[fresh] = 1.0
    else:
        table.popitem()


class Seq:
    """A sequence of its own: __len__ and __iter__ may misbehave."""

    def __init__(self, side, items, length, iterate):
        self.side, self.items, self.length, self.iterate = side, items, length, iterate

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        if self.length == "raise":
            raise ValueError("no length")
        if self.length == "call":
            call(self.side, 0, "node_count", True)
        return {"huge": sys.maxsize, "short": 0, "negative": -1}.get(self.length, len(self.items))

    def __iter__(self):
        if self.iterate == "raise":
            raise TypeError("no iteration")
        return self._walk()

    def _walk(self):
        yield from self.items[:1]
        if self.iterate == "stop":
            raise KeyError("stopped")
        yield from self.items[1:]


class Text(str):
    pass


class Pair(tuple):
    def __len__(self):  # the conversion reads the stored length, not this
        return 2


class Table(dict):
    def __iter__(self):
        raise AssertionError("conversion called a dict subclass method")
    keys = items = values = __iter__


def make(recipe, side):
    kind, *rest = recipe
    if kind == "lit":
        return rest[0]
    if kind == "hook":
        return Hook(side, *rest)
    if kind == "text":
        return Text(rest[0])
    if kind == "range":
        return range(*rest[0])
    if kind == "set":
        return {0}
    items = [make(r, side) for r in rest[0]] if kind not in ("dict", "table") else None
    if kind == "list":
        return items
    if kind == "tuple":
        return tuple(items)
    if kind == "pair":
        return Pair(items)
    if kind == "seq":
        return Seq(side, items, *rest[1:])
    if kind == "iter":
        return iter(items)
    table = (dict if kind == "dict" else Table)()
    for k, v in rest[0]:
        table[make(k, side)] = make(v, side)
    for value in list(dict.keys(table)) + list(dict.values(table)):
        if isinstance(value, Hook):
            value.parent = table
    return table


def lit(strategy):
    return strategy.map(lambda v: ("lit", v))


BIG = st.sampled_from([2**64 - 1, 2**64 - 2, 2**63])
ACTIONS = st.one_of(
    st.tuples(st.just("raise"), st.sampled_from(sorted(EXCEPTIONS))),
    st.tuples(st.just("call"), st.integers(0, 3),
              st.sampled_from(["node_count", "get_all_nodes", "get_node_schedule", "add_gate", "build_schedule",
                               "set_coupling_map"]), st.booleans()),
)
MUTATE = st.tuples(st.just("mutate"), st.sampled_from(["grow", "swap", "shrink"]))


def mostly(valid, wild, weight=8):
    """`valid` most of the time, `wild` (errors and hostile objects) now and then."""
    return st.one_of([valid] * weight + [wild])


def hooks(values, actions=ACTIONS):
    return st.builds(lambda v, a: ("hook", v, a), values, st.one_of(st.just(("plain",)), actions))


qubit_ok = st.one_of(lit(st.integers(0, 4)), lit(st.integers(0, 4)), lit(st.integers(0, 4)), lit(BIG))
qubit = mostly(
    qubit_ok,
    st.one_of(lit(st.booleans()), hooks(st.integers(0, 4)), lit(st.sampled_from([-1, 2**64, 1.0, "1", None]))),
)
DURATIONS = [0.0, 5.0, 30.0, 50.0, 200.0, 400.0]
duration_ok = st.one_of([lit(st.sampled_from(DURATIONS))] * 4
                        + [lit(st.sampled_from([-20.0, math.inf, -math.inf, math.nan, 7, True]))])
duration = mostly(
    duration_ok,
    st.one_of(hooks(st.sampled_from([10, 60])),
              lit(st.sampled_from([10**400, "5", None, b"1"]))),
    weight=5,
)
name_ok = lit(st.sampled_from(["h", "cx", "", "ñ✓", "DD_X"]))
name = mostly(name_ok,
              st.one_of(st.sampled_from(["h", "x\x00y"]).map(lambda t: ("text", t)),
                        lit(st.sampled_from(["\udc80", 1, None, b"h"]))))


def sequences(items, max_size=4, weight=8):
    listed = st.lists(items, max_size=max_size)
    return mostly(
        st.one_of(listed.map(lambda xs: ("list", xs)), listed.map(lambda xs: ("tuple", xs))),
        st.one_of(st.builds(lambda xs, n, i: ("seq", xs, n, i), listed,
                            st.sampled_from(["ok", "raise", "call", "huge", "short", "negative"]),
                            st.sampled_from(["ok", "ok", "raise", "stop"])),
                  listed.map(lambda xs: ("iter", xs)), st.just(("set", []))),
        weight,
    )


qubits = mostly(
    sequences(qubit, max_size=3),
    st.one_of(st.lists(st.integers(0, 255), max_size=3).map(lambda b: ("lit", bytes(b))),
              st.tuples(st.integers(0, 3), st.integers(0, 5)).map(lambda r: ("range", r)),
              lit(st.sampled_from(["01", "", 5, None, {0: 1}])), st.just(("text", "0"))),
)
param_key = mostly(lit(st.sampled_from(["t", "p", "θ"])),
                   st.one_of(st.just(("text", "t")), lit(st.sampled_from(["\udc80", 1]))))


def tables(keys, values):
    entries = st.lists(st.tuples(keys, mostly(values, hooks(st.just(1), MUTATE))), max_size=3)
    return mostly(entries.map(lambda e: ("dict", e)), entries.map(lambda e: ("table", e)), weight=4)


params = mostly(st.one_of(lit(st.none()), tables(param_key, duration)),
                lit(st.sampled_from([[("a", 1.0)], "p", 3])))
pair = mostly(
    st.tuples(qubit, qubit).map(lambda p: ("tuple", list(p))),
    st.one_of(st.tuples(qubit, qubit).map(lambda p: ("pair", list(p))), st.lists(qubit, max_size=3).map(lambda p: ("tuple", p)),
              st.lists(qubit, min_size=2, max_size=2).map(lambda p: ("list", p))),
)
clean_instruction = st.tuples(
    name_ok, st.lists(qubit_ok, max_size=3).map(lambda xs: ("list", xs)), duration_ok,
    st.dictionaries(st.sampled_from(["t", "p"]), duration_ok, max_size=2).map(lambda d: ("dict", [(("lit", k), v) for k, v in d.items()])),
).map(lambda i: ("tuple", list(i)))
gap_prone = st.tuples(
    st.just(("lit", "g")), st.lists(st.integers(0, 4), min_size=1, max_size=2).map(lambda q: ("lit", q)),
    lit(st.sampled_from([50.0, 200.0, 400.0])), st.just(("dict", [])),
).map(lambda i: ("tuple", list(i)))
instruction = mostly(
    st.tuples(name, qubits, duration, params).map(lambda i: ("tuple", list(i))),
    st.one_of(st.tuples(name, qubits, duration, params).map(lambda i: ("pair", list(i))),
              st.tuples(name, qubits, duration).map(lambda i: ("tuple", list(i))),
              st.tuples(name, qubits, duration, params).map(lambda i: ("list", list(i)))),
    weight=12,
)
pulse_key = mostly(st.one_of(lit(st.integers(0, 4)), lit(BIG)),
                   st.one_of(hooks(st.integers(0, 4), MUTATE), lit(st.sampled_from([-1, 2**64, "0", 1.5]))))
sequence = mostly(lit(st.sampled_from(["XY", "XY4"])),
                  st.one_of(lit(st.sampled_from(["", "xy4", "XY4 ", "\udc80", None, 4])), st.just(("text", "XY4"))))
num_qubits = mostly(st.one_of(lit(st.integers(0, 6)), lit(BIG)),
                    st.one_of(hooks(st.integers(0, 6)), lit(st.sampled_from([-1, 2**64, None, 2.0]))))

ARGUMENTS = {
    "add_gate": [name, qubits, duration, params],
    "build_from_ir": [mostly(st.lists(clean_instruction, max_size=8).map(lambda xs: ("list", xs)),
                             sequences(instruction, max_size=4), weight=2)],
    "set_coupling_map": [sequences(pair)],
    "get_node_schedule": [st.one_of(qubit, lit(st.integers(0, 30)))],
    "find_idle_windows": [st.one_of(duration, lit(st.sampled_from([-1e9, 10.0, 40.0])))],
    "apply_dd_pass": [sequence, st.one_of(lit(st.none()), tables(pulse_key, duration)), num_qubits],
}
NAMES = {"add_gate": ["name", "qubits", "duration_ns", "params"], "build_from_ir": ["instructions"],
         "set_coupling_map": ["edges"], "get_node_schedule": ["node_id"], "find_idle_windows": ["min_gap_ns"],
         "apply_dd_pass": ["sequence", "pulse_durations", "num_qubits"]}


@st.composite
def calls(draw, method):
    """(positional recipes, keyword recipes) for one call of `method`, sometimes mismatched."""
    if method not in ARGUMENTS:
        trouble = draw(st.integers(0, 20))
        return ([("lit", 1)] if trouble == 0 else []), ({"x": ("lit", 1)} if trouble == 1 else {})
    names = NAMES[method]
    values = [draw(s) for s in ARGUMENTS[method]]
    given = draw(st.integers(0 if method == "apply_dd_pass" else len(names) - (method == "add_gate"), len(names)))
    by_keyword = draw(st.integers(0, given))
    positional, keywords = values[:by_keyword], {n: v for n, v in zip(names[by_keyword:given], values[by_keyword:given])}
    trouble = draw(st.integers(0, 30))
    if trouble == 0:
        positional.append(("lit", None))
    elif trouble == 1:
        keywords[draw(st.sampled_from(["bogus", "\udc80", names[0]]))] = ("lit", 0)
    elif trouble == 2 and positional:
        positional.pop()
    return positional, {k: keywords[k] for k in draw(st.permutations(list(keywords)))}


# Weighted towards the calls that build up a circuit and run the pipeline on it.
METHODS = sorted(ARGUMENTS) + ["node_count", "build_schedule", "get_all_nodes"] + [
    "build_from_ir", "build_from_ir", "add_gate", "build_schedule", "build_schedule", "apply_dd_pass", "apply_dd_pass",
    "set_coupling_map", "find_idle_windows"]


def capture_fd1(run):
    """Runs `run()`, returning (its outcome, the bytes it wrote to file descriptor 1)."""
    sys.stdout.flush()
    saved = os.dup(1)
    with tempfile.TemporaryFile() as sink:
        os.dup2(sink.fileno(), 1)
        try:
            outcome = run()
        finally:
            os.dup2(saved, 1)
            os.close(saved)
        sink.seek(0)
        return outcome, sink.read()


def outcome(run):
    try:
        return "ok", run()
    except BaseException as error:  # PanicException derives from BaseException
        if isinstance(error, (KeyboardInterrupt, SystemExit)):
            raise
        return "raised", error


class ModelComparison(RuleBasedStateMachine):
    graphs = Bundle("graphs")

    def __init__(self):
        super().__init__()
        self.real, self.model = Side([]), Side([])
        self.out = []  # what the model's graphs print

    @initialize(target=graphs)
    def first_graph(self):
        return self.new_graph()

    @precondition(lambda self: len(self.real.dags) < 4)
    @rule(target=graphs)
    def new_graph(self):
        self.real.dags.append(QuantumDAG())
        self.model.dags.append(ModelDAG(self.out))
        return len(self.real.dags) - 1

    @rule(target=graphs, graph=graphs, method=st.sampled_from(METHODS), data=st.data())
    def call_method(self, graph, method, data):
        return self.compare(graph, method, *data.draw(calls(method)))

    @rule(target=graphs, graph=graphs, circuit=st.lists(gap_prone, min_size=1, max_size=10),
          edges=st.lists(st.tuples(st.integers(0, 4), st.integers(0, 4)), max_size=4),
          sequence=st.sampled_from(["XY", "XY4"]), num_qubits=st.integers(0, 5),
          durations=st.dictionaries(st.integers(0, 4), st.sampled_from([0.0, 5.0, 20.0, 50.0, 130.0]), max_size=2))
    def pipeline(self, graph, circuit, edges, sequence, num_qubits, durations):
        """The usual run on valid arguments, so that pulses and crosstalk shifts happen often."""
        self.compare(graph, "build_from_ir", [("list", circuit)], {})
        self.compare(graph, "set_coupling_map", [("lit", edges)], {})
        self.compare(graph, "build_schedule", [], {})
        return self.compare(graph, "apply_dd_pass", [("lit", sequence), ("lit", durations), ("lit", num_qubits)], {})

    def compare(self, graph, method, positional, keywords):
        results = []
        for side in (self.real, self.model):
            args = [make(r, side) for r in positional]
            kwargs = {k: make(r, side) for k, r in keywords.items()}
            bound = getattr(side.dags[graph], method)
            if side is self.real:
                results.append(capture_fd1(lambda: outcome(lambda: bound(*args, **kwargs))))
            else:
                self.out.clear()
                results.append((outcome(lambda: bound(*args, **kwargs)), b"".join(self.out)))
        ((real_kind, real), real_out), ((model_kind, model), model_out) = results
        assert real_out == model_out
        assert self.real.seen == self.model.seen
        if model_kind == "raised":
            assert real_kind == "raised", f"{method}: returned {real!r}, expected {describe_error(model)}"
            assert describe_error(real) == describe_error(model)
            return multiple()
        assert real_kind == "ok", f"{method}: raised {describe_error(real)}, expected {model!r}"
        if isinstance(model, Windows):
            model.check(real)
        elif isinstance(model, ModelDAG):
            assert type(real) is QuantumDAG
            assert canonical(real.get_all_nodes()) == canonical(model.get_all_nodes())
            if model.nodes and len(self.real.dags) < 6:  # kept for later steps
                self.real.dags.append(real)
                self.model.dags.append(model)
                return multiple(len(self.real.dags) - 1)
        else:
            assert canonical(real) == canonical(model)
        return multiple()

    @invariant()
    def graphs_agree(self):
        for real, model in zip(self.real.dags, self.model.dags):
            assert canonical(real.get_all_nodes()) == canonical(model.get_all_nodes())
            assert real.node_count() == model.node_count()
            ids = range(len(model.nodes) + 1)
            assert canonical([real.get_node_schedule(i) for i in ids]) == canonical([model.get_node_schedule(i) for i in ids])


def run(examples, steps, **options):
    run_state_machine_as_test(ModelComparison, settings=settings(
        max_examples=examples, stateful_step_count=steps, deadline=None,
        suppress_health_check=list(HealthCheck), **options))


def test_module_agrees_with_model():
    run(examples=int(os.environ.get("VORNAK_MODEL_EXAMPLES", 40)), steps=25)


@pytest.mark.skipif(not os.environ.get("VORNAK_FUZZ_SECONDS"), reason="set VORNAK_FUZZ_SECONDS to fuzz")
def test_fuzz_against_model():
    deadline = time.monotonic() + float(os.environ["VORNAK_FUZZ_SECONDS"])
    rounds = 0
    while time.monotonic() < deadline:
        run(examples=50, steps=50, database=None)
        rounds += 1
    print(f"fuzzed {rounds} rounds of 50 call sequences")


@settings(max_examples=60, deadline=None)
@given(gates=st.lists(st.tuples(st.lists(st.integers(0, 5), min_size=1, max_size=2),
                                st.sampled_from([0.0, 20.0, 50.0, 300.0, 1000.0, -30.0])), min_size=50, max_size=300),
       edges=st.lists(st.tuples(st.integers(0, 5), st.integers(0, 5)), max_size=12),
       durations=st.dictionaries(st.integers(0, 5), st.sampled_from([0.0, 5.0, 20.0, -10.0, math.nan, math.inf]),
                                 max_size=4),
       sequence=st.sampled_from(["XY", "XY4"]), num_qubits=st.sampled_from([1, 3, 6, 2**64 - 1]))
def test_long_runs_of_pulses_on_coupled_qubits(gates, edges, durations, sequence, num_qubits):
    """Many pulses per qubit, some overlapping or running backwards (zero, negative, NaN
    durations): the crosstalk search over a coupled qubit's pulses agrees with the model."""
    out = []
    real, model = QuantumDAG(), ModelDAG(out)
    instructions = [("g", qubits, duration, {}) for qubits, duration in gates]
    for dag in (real, model):
        capture_fd1(lambda: dag.build_from_ir(instructions))
        dag.set_coupling_map(edges)
        dag.build_schedule()
    result, _ = capture_fd1(lambda: real.apply_dd_pass(sequence, durations, num_qubits))
    assert canonical(result.get_all_nodes()) == canonical(model.apply_dd_pass(sequence, durations, num_qubits).get_all_nodes())

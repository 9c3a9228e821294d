"""ASAP schedule and idle windows, on worked circuits and against a reference model."""
import collections
import itertools
import math

import pytest
from hypothesis import given, settings, strategies as st

from _vornak import QuantumDAG

INF, NAN = math.inf, math.nan


def graph(gates, via_ir=False, into=None):
    dag = QuantumDAG() if into is None else into
    if via_ir:
        dag.build_from_ir([("g", qubits, duration, {}) for qubits, duration in gates])
    else:
        for qubits, duration in gates:
            dag.add_gate("g", qubits, duration)
    return dag


def reference_schedule(gates):
    free_at, schedule = {}, []
    for qubits, duration in gates:
        start = 0.0
        for q in qubits:
            if q in free_at and free_at[q] > start:
                start = free_at[q]
        end = duration + start
        schedule.append((start, end))
        free_at.update(dict.fromkeys(qubits, end))
    return schedule


def distinct_orders(items):
    for first in dict.fromkeys(items):
        rest = list(items)
        rest.remove(first)
        yield from ((first,) + tail for tail in distinct_orders(rest)) if rest else [(first,)]


def reference_windows(gates, schedule, min_gap, limit=720):
    """Per qubit, every run of windows that some order of operations with equal start times gives.

    None for a qubit whose ties allow more than `limit` orders."""
    ops = {}
    for (qubits, _), entry in zip(gates, schedule):
        for q in qubits:
            ops.setdefault(q, []).append(entry)
    runs = {}
    for q, entries in ops.items():
        groups = [list(g) for _, g in itertools.groupby(sorted(entries, key=lambda e: e[0]), key=lambda e: e[0])]
        counts = [collections.Counter(g).values() for g in groups]
        if math.prod(math.factorial(sum(c)) // math.prod(map(math.factorial, c)) for c in counts) > limit:
            runs[q] = None
            continue
        runs[q] = {tuple((q, a[1], b[0]) for a, b in itertools.pairwise(itertools.chain(*order))
                         if b[0] - a[1] >= min_gap)
                   for order in itertools.product(*map(distinct_orders, groups))}
    return runs


@pytest.mark.parametrize("gates, expected", [
    ([([0], 50.0), ([1], 20.0), ([0, 1], 30.0), ([1], 1.0), ([], 5.0), ([0, 0], 2.0)],
     [(0.0, 50.0), (0.0, 20.0), (50.0, 80.0), (80.0, 81.0), (0.0, 5.0), (80.0, 82.0)]),
    ([([0], -5.0), ([0], 10.0), ([1], NAN), ([1], 10.0)], [(0.0, -5.0), (0.0, 10.0), (0.0, NAN), (0.0, 10.0)]),
    ([([0], INF), ([0], 10.0), ([0], -INF)], [(0.0, INF), (INF, INF), (INF, NAN)]),
    ([([2**64 - 1], 10.0), ([0, 2**64 - 1], 1.0)], [(0.0, 10.0), (10.0, 11.0)]),
])
def test_build_schedule(gates, expected):
    dag = graph(gates)
    for _ in range(2):  # building again gives the same entries
        assert dag.build_schedule() is None
        assert repr([dag.get_node_schedule(i) for i in range(len(gates))]) == repr(expected)


def test_schedule_covers_only_the_nodes_present_when_built():
    dag = QuantumDAG()
    dag.build_schedule()
    assert dag.get_node_schedule(0) is None
    graph([([0], 10.0), ([1], 50.0)], into=dag)
    assert dag.get_node_schedule(0) is None
    dag.build_schedule()
    graph([([0, 1], 30.0)], into=dag)
    dag.set_coupling_map([(0, 1)])
    assert [dag.get_node_schedule(i) for i in (0, 1, 2, 3, 2**64 - 1)] == [(0.0, 10.0), (0.0, 50.0), None, None, None]
    assert dag.find_idle_windows(0.0) == []
    dag.build_schedule()
    assert [dag.get_node_schedule(i) for i in (0, 1, 2)] == [(0.0, 10.0), (0.0, 50.0), (50.0, 80.0)]


@pytest.mark.parametrize("min_gap, expected", [
    (40.0, [(0, 10.0, 50.0)]), (40, [(0, 10.0, 50.0)]), (40.5, []), (NAN, []), (INF, []),
    (0.0, [(0, 10.0, 50.0), (1, 50.0, 50.0)]), (-INF, [(0, 10.0, 50.0), (1, 50.0, 50.0)]),
])
@pytest.mark.parametrize("qubits", [(0, 1), (2**64 - 1, 2**63)])
def test_find_idle_windows(qubits, min_gap, expected):
    a, b = qubits
    dag = graph([([a], 10.0), ([b], 50.0), ([a, b], 30.0)])
    assert dag.find_idle_windows(min_gap) == []
    dag.build_schedule()
    found = dag.find_idle_windows(min_gap)
    assert sorted(found) == sorted((qubits[q], s, e) for q, s, e in expected)
    assert all(type(w[1]) is float and type(w[2]) is float for w in found)


SPECIAL = st.sampled_from([0.0, 0.0, 1.0, 10.0, -5.0, NAN, INF, -INF])


@st.composite
def circuits(draw):
    big = draw(st.sampled_from([None, None, 65534, 2**63, 2**64 - 2]))
    pool = [0, 1, 2, 3] + ([big, big + 1] if big else [])
    gate = st.tuples(st.lists(st.sampled_from(pool), max_size=4),
                     st.one_of(SPECIAL, st.integers(-5, 30).map(float), st.floats(-1e3, 1e3)))
    return draw(st.lists(gate, max_size=20)), draw(st.lists(gate, max_size=10))


@settings(max_examples=150, deadline=None)
@given(circuits(), st.booleans(), st.booleans(),
       st.lists(st.one_of(SPECIAL, st.floats(-50, 50)), min_size=1, max_size=3))
def test_agrees_with_reference_model(circuit, rebuild, via_ir, min_gaps):
    first, later = circuit
    dag = graph(first, via_ir)
    dag.build_schedule()
    graph(later, via_ir, into=dag)
    if rebuild:
        dag.build_schedule()
    scheduled = first + later if rebuild else first
    schedule = reference_schedule(scheduled)
    ids = range(len(first) + len(later) + 1)
    assert repr([dag.get_node_schedule(i) for i in ids]) == repr(schedule + [None] * (len(ids) - len(schedule)))
    for min_gap in min_gaps:
        found = dag.find_idle_windows(min_gap)
        order = [q for q, _ in itertools.groupby(w[0] for w in found)]
        assert len(order) == len(set(order)), "the windows of a qubit are not contiguous"
        runs = reference_windows(scheduled, schedule, min_gap)
        assert set(order) <= set(runs)
        for q, possible in runs.items():
            if possible is not None:
                assert tuple(w for w in found if w[0] == q) in possible, q

"""``node_start_time`` of a padded DAG, as the map type Qiskit's own scheduling passes keep.

Qiskit's scheduling analyses store a ``NodeDurations`` (a native map from ``DAGOpNode`` to
start time) and the passes that follow them, such as ``ConstrainedReschedule``, accept no
other type. That type cannot be subclassed, so the map is built whole when the pass writes it.
It cannot be pickled either, which keeps a pass manager that has run (its property set
holds the map) from being sent to worker processes; :func:`_register_pickling` gives it a
reduction for as long as Qiskit provides none.
"""

from __future__ import annotations

import copyreg
from collections import deque
from itertools import islice

from qiskit._accelerate.scheduling import NodeDurations

# The property-set key of the list of the nodes that ``node_start_time`` holds, in node order.
NODES_KEY = "vornak_node_start_time_nodes"


def record_start_times(property_set, dag, times, unit_dt: bool) -> None:
    """Sets ``property_set["node_start_time"]`` to :func:`node_start_time` of `dag`, and
    after it, under :data:`NODES_KEY`, the list of its nodes in node order.

    The list changes no result; it decides the order in which the nodes are released. The
    map keeps its nodes in a hash table, and released from there they are freed in the
    table's order, scattered over memory: on QFT-50 (144,400 nodes) that alone took longer
    than the native pad. A property set releases its entries in the order they were set,
    so with the list set after the map the map only drops its references, and the list then
    frees the nodes in the order they were made, about seven times faster.
    """
    nodes = dag.op_nodes()
    property_set["node_start_time"] = _node_map(nodes, times, unit_dt)
    property_set.pop(NODES_KEY, None)  # set again, it comes after node_start_time
    property_set[NODES_KEY] = nodes


def node_start_time(dag, times, unit_dt: bool) -> NodeDurations:
    """The start time of every operation of `dag`, from `times`: a list of them in the order
    of the operations' node indices, or a dict by node index filled in the order the nodes
    were added.

    Both hold the operations in node-index order, the order of ``dag.op_nodes()``, so the
    map is built without a lookup per node: making the nodes' Python objects is most of its
    cost. Times in dt are ints and times in ns floats: the map takes one type throughout.
    """
    return _node_map(dag.op_nodes(), times, unit_dt)


def _node_map(nodes, times, unit_dt: bool) -> NodeDurations:
    """The map from `nodes` (a DAG's operation nodes in node-index order) to `times`.

    Built from its first entry and then set entry by entry from C, which takes about a
    fifth less time than building a dict of the nodes first: the map keys its entries by
    node index, and a dict would call each node's hash as well. Entries are in node order
    either way.
    """
    values = list(times.values()) if isinstance(times, dict) else times
    if len(values) != len(nodes):
        raise ValueError(f"{len(values)} start times for {len(nodes)} operations")
    if not values:
        return NodeDurations({})
    if not unit_dt:
        values = list(map(float, values))
    mapping = NodeDurations({nodes[0]: values[0]})  # its first value decides int or float
    deque(map(mapping.__setitem__, islice(nodes, 1, None), islice(values, 1, None)), maxlen=0)
    return mapping


def _reduce(times: NodeDurations):
    return NodeDurations, (dict(times.items()),)


def _register_pickling() -> None:
    try:
        NodeDurations({}).__reduce_ex__(2)
    except TypeError:
        copyreg.pickle(NodeDurations, _reduce)


_register_pickling()

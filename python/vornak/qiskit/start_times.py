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

from qiskit._accelerate.scheduling import NodeDurations


def node_start_time(dag, times, unit_dt: bool) -> NodeDurations:
    """The start time of every operation of `dag`, from `times`: a list by node index (None
    at wire nodes), or a dict by node index filled in the order the nodes were added.

    Both hold the operations in node-index order, the order of ``dag.op_nodes()``, so the
    map is built without a lookup per node: making the nodes' Python objects is most of its
    cost. Times in dt are ints and times in ns floats: the map takes one type throughout.
    """
    if isinstance(times, dict):
        values = times.values()
    else:
        values = [t for t in times if t is not None]
    if not unit_dt:
        values = map(float, values)
    return NodeDurations(dict(zip(dag.op_nodes(), values, strict=True)))


def _reduce(times: NodeDurations):
    return NodeDurations, (dict(times.items()),)


def _register_pickling() -> None:
    try:
        NodeDurations({}).__reduce_ex__(2)
    except TypeError:
        copyreg.pickle(NodeDurations, _reduce)


_register_pickling()

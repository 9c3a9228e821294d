"""``node_start_time`` of a padded DAG, read from the start times the native writer returns."""

from __future__ import annotations


class StartTimes(dict):
    """``node_start_time`` of a padded DAG, from the start time of each operation by node index.

    Looking a node up reads the times directly; the dict itself is filled (with a key per
    operation of the DAG) only when it is walked or changed.
    """

    def __init__(self, dag, times):
        super().__init__()
        self._dag = dag
        self._times = times  # start time by node index, None for wire nodes
        self._filled = False

    def _fill(self):
        if self._filled:
            return
        self._filled = True
        times = self._times
        for node in self._dag.op_nodes():
            dict.__setitem__(self, node, times[node._node_id])

    def _lookup(self, node):
        try:
            time = self._times[node._node_id]
        except (AttributeError, IndexError, KeyError, TypeError):
            return None
        return time

    def __getitem__(self, node):
        if not self._filled:
            time = self._lookup(node)
            if time is not None:
                return time
        self._fill()
        return dict.__getitem__(self, node)

    def __contains__(self, node):
        self._fill()
        return dict.__contains__(self, node)

    def __len__(self):
        return dict.__len__(self) if self._filled else self._dag.num_ops()

    def __iter__(self):
        self._fill()
        return dict.__iter__(self)

    def __repr__(self):
        self._fill()
        return dict.__repr__(self)

    def __eq__(self, other):
        self._fill()
        return dict.__eq__(self, other)

    __hash__ = None

    def get(self, node, default=None):
        self._fill()
        return dict.get(self, node, default)

    def keys(self):
        self._fill()
        return dict.keys(self)

    def values(self):
        self._fill()
        return dict.values(self)

    def items(self):
        self._fill()
        return dict.items(self)

    def copy(self):
        self._fill()
        return dict(dict.items(self))

    def pop(self, node, *default):
        self._fill()
        return dict.pop(self, node, *default)

    def setdefault(self, node, default=None):
        self._fill()
        return dict.setdefault(self, node, default)

    def update(self, *args, **kwargs):
        self._fill()
        dict.update(self, *args, **kwargs)

    def __setitem__(self, node, value):
        self._fill()
        dict.__setitem__(self, node, value)

    def __delitem__(self, node):
        self._fill()
        dict.__delitem__(self, node)

    def clear(self):
        self._filled = True
        dict.clear(self)

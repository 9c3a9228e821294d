"""A pure-Python model of a QuantumDAG instance: the nine methods with the same argument
matching, conversions (in the same order, calling the same hooks), access holds, results,
progress lines and errors.

The conversions use the interpreter's own primitives through ctypes (PyLong_AsUnsignedLongLong,
PyFloat_AsDouble, PySequence_Check, PyDict_Next), so the model meets the same interpreter
errors, with the same texts, as the module does. Schedules, idle windows and the DD pass come
from the reference models of test_schedule and test_dd_pass.
"""
import ctypes
import itertools
import math
import operator

from test_dd_pass import reference_pass
from test_schedule import reference_schedule, reference_windows


def _capi(name, restype, *argtypes):
    function = getattr(ctypes.pythonapi, name)  # a PyDLL: a set error is raised after the call
    function.restype, function.argtypes = restype, list(argtypes)
    return function


_as_u64 = _capi("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong, ctypes.py_object)
_as_double = _capi("PyFloat_AsDouble", ctypes.c_double, ctypes.py_object)
_is_sequence = _capi("PySequence_Check", ctypes.c_int, ctypes.py_object)
_dict_next = _capi("PyDict_Next", ctypes.c_int, ctypes.py_object, ctypes.POINTER(ctypes.c_ssize_t),
                   ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_void_p))

CRAB = "\U0001F980 [Rust] "


class PanicException(BaseException):
    """Stands for the module's internal-failure exception."""


def cast_error(value, target):
    return TypeError(f"'{type(value).__qualname__}' object cannot be cast as '{target}'")


# --- Value conversions ----------------------------------------------------------------------

def to_text(obj):
    if not issubclass(type(obj), str):
        raise cast_error(obj, "str")
    return str.encode(obj, "utf-8").decode("utf-8")


def to_u64(obj):
    if not issubclass(type(obj), int):
        obj = operator.index(obj)
    return _as_u64(obj)


def to_double(obj):
    if type(obj) is float:
        return obj
    return _as_double(obj)


def to_list(obj, item):
    if issubclass(type(obj), str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not _is_sequence(obj):
        raise cast_error(obj, "Sequence")
    try:  # the reported length only reserves room; its errors are ignored
        len(obj)
    except Exception:
        pass
    return [item(x) for x in iter(obj)]


def check_tuple(obj, length):
    if not issubclass(type(obj), tuple):
        raise cast_error(obj, "tuple")
    if tuple.__len__(obj) != length:
        raise ValueError(f"expected tuple of length {length}, but got tuple of length {tuple.__len__(obj)}")
    return [tuple.__getitem__(obj, i) for i in range(length)]


def to_map(obj, key, value):
    if not issubclass(type(obj), dict):
        raise cast_error(obj, "dict")
    initial, yielded, out = dict.__len__(obj), 0, {}
    pos, k, v = ctypes.c_ssize_t(0), ctypes.c_void_p(), ctypes.c_void_p()
    while True:
        if dict.__len__(obj) != initial:
            raise PanicException("dictionary changed size during iteration")
        if yielded > initial:
            raise PanicException("dictionary keys changed during iteration")
        if not _dict_next(obj, ctypes.byref(pos), ctypes.byref(k), ctypes.byref(v)):
            return out
        yielded += 1
        held_key, held_value = ctypes.cast(k, ctypes.py_object).value, ctypes.cast(v, ctypes.py_object).value
        converted = key(held_key)
        out[converted] = value(held_value)


def to_pair(obj):
    a, b = check_tuple(obj, 2)
    first = to_u64(a)
    return first, to_u64(b)


def to_instruction(obj):
    name, qubits, duration, params = check_tuple(obj, 4)
    name = to_text(name)
    qubits = to_list(qubits, to_u64)
    duration = to_double(duration)
    return name, qubits, duration, to_map(params, to_text, to_double)


def argument(name, convert):
    """Converts one argument; an error of exactly TypeError gets the argument's name."""
    try:
        return convert()
    except TypeError as error:
        if type(error) is not TypeError:
            raise
        wrapped = TypeError(f"argument '{name}': {error}")
        wrapped.__cause__ = error.__cause__
        raise wrapped from error.__cause__


# --- Argument matching ----------------------------------------------------------------------

MISSING = object()
PARAMETERS = {
    "set_coupling_map": (["edges"], 1),
    "add_gate": (["name", "qubits", "duration_ns", "params"], 3),
    "build_from_ir": (["instructions"], 1),
    "get_node_schedule": (["node_id"], 1),
    "find_idle_windows": (["min_gap_ns"], 1),
    "apply_dd_pass": (["sequence", "pulse_durations", "num_qubits"], 0),
}
NO_ARGUMENTS = ("node_count", "build_schedule", "get_all_nodes")


def name_list(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) <= 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def match_arguments(method, args, kwargs):
    full = f"QuantumDAG.{method}()"
    if method in NO_ARGUMENTS:
        if args or kwargs:  # the interpreter's own message for a no-argument method
            try:
                [].clear(*args, **kwargs)
            except TypeError as error:
                raise TypeError(str(error).replace("list.clear()", full)) from None
        return []
    names, required = PARAMETERS[method]
    if len(args) > len(names):
        takes = f"{len(names)}" if required == len(names) else f"from {required} to {len(names)}"
        raise TypeError(f"{full} takes {takes} positional arguments but {len(args)} "
                        f"{'was' if len(args) == 1 else 'were'} given")
    slots = list(args) + [MISSING] * (len(names) - len(args))
    for key, value in kwargs.items():
        try:
            key.encode("utf-8")
            k = names.index(key)
        except (UnicodeEncodeError, ValueError):
            raise TypeError(f"{full} got an unexpected keyword argument '{key}'") from None
        if slots[k] is not MISSING:
            raise TypeError(f"{full} got multiple values for argument '{key}'")
        slots[k] = value
    missing = [n for n, s in zip(names[:required], slots) if s is MISSING]
    if missing:
        raise TypeError(f"{full} missing {len(missing)} required positional "
                        f"{'argument' if len(missing) == 1 else 'arguments'}: {name_list(missing)}")
    return slots


# --- The graph ------------------------------------------------------------------------------

EXCLUSIVE = {"set_coupling_map", "add_gate", "build_from_ir", "build_schedule"}


class Windows:
    """The expected result of find_idle_windows: every order that ties may give is allowed."""

    def __init__(self, gates, schedule, min_gap):
        self.gates, self.schedule, self.min_gap = gates, schedule, min_gap

    def check(self, found):
        assert type(found) is list
        assert all(type(w) is tuple and [type(v) for v in w] == [int, float, float] for w in found), found
        order = [q for q, _ in itertools.groupby(w[0] for w in found)]
        assert len(order) == len(set(order)), f"the windows of a qubit are not contiguous: {found}"
        runs = reference_windows(self.gates, self.schedule, self.min_gap)
        assert set(order) <= set(runs), found
        for q, possible in runs.items():
            if possible is not None:
                assert tuple(w for w in found if w[0] == q) in possible, (q, found)


class ModelDAG:
    """One graph: `out` collects the progress lines that the module would write."""

    def __init__(self, out, nodes=()):
        self.out = out
        self.nodes = list(nodes)  # (name, qubits, duration, params)
        self.schedule = []  # entries of the first len(schedule) nodes
        self.coupling = set()
        self.flag = 0

    def call(self, method, *args, **kwargs):
        slots = match_arguments(method, args, kwargs)
        if method in EXCLUSIVE:
            if self.flag != 0:
                raise RuntimeError("Already borrowed")
            self.flag = -1
        else:
            if self.flag == -1:
                raise RuntimeError("Already mutably borrowed")
            self.flag += 1
        try:
            return getattr(self, "_" + method)(*slots)
        finally:
            self.flag = 0 if method in EXCLUSIVE else self.flag - 1

    def __getattr__(self, method):
        if method in PARAMETERS or method in NO_ARGUMENTS:
            return lambda *args, **kwargs: self.call(method, *args, **kwargs)
        raise AttributeError(method)

    def _print(self, text):
        self.out.append((CRAB + text + "\n").encode())

    def _set_coupling_map(self, edges):
        pairs = argument("edges", lambda: to_list(edges, to_pair))
        for a, b in pairs:
            self.coupling |= {(a, b), (b, a)}

    def _node_count(self):
        return len(self.nodes)

    def _add_gate(self, name, qubits, duration_ns, params):
        name = argument("name", lambda: to_text(name))
        qubits = argument("qubits", lambda: to_list(qubits, to_u64))
        duration = argument("duration_ns", lambda: to_double(duration_ns))
        converted = {}
        if params is not MISSING and params is not None:
            converted = argument("params", lambda: to_map(params, to_text, to_double))
        self.nodes.append((name, qubits, duration, converted))
        return len(self.nodes) - 1

    def _build_from_ir(self, instructions):
        batch = argument("instructions", lambda: to_list(instructions, to_instruction))
        self._print(f"Received {len(batch)} instructions from Python.")
        self.nodes += batch
        self._print(f"Graph memory now contains {len(self.nodes)} nodes.")

    def _build_schedule(self):
        self.schedule = reference_schedule([(q, d) for _, q, d, _ in self.nodes])

    def _get_node_schedule(self, node_id):
        node_id = argument("node_id", lambda: to_u64(node_id))
        return self.schedule[node_id] if node_id < len(self.schedule) else None

    def _find_idle_windows(self, min_gap_ns):
        min_gap = argument("min_gap_ns", lambda: to_double(min_gap_ns))
        gates = [(q, d) for _, q, d, _ in self.nodes[:len(self.schedule)]]
        return Windows(gates, self.schedule, min_gap)

    def _apply_dd_pass(self, sequence, pulse_durations, num_qubits):
        text = "XY" if sequence is MISSING else argument("sequence", lambda: to_text(sequence))
        durations = {}
        if pulse_durations is not MISSING and pulse_durations is not None:
            durations = argument("pulse_durations", lambda: to_map(pulse_durations, to_u64, to_double))
        count = 0 if num_qubits is MISSING else argument("num_qubits", lambda: to_u64(num_qubits))
        # Only coupled neighbours matter, so the neighbours scanned can stop past the largest.
        count = min(count, 1 + max((b for _, b in self.coupling), default=-1))
        self._print(f"Starting apply_dd_pass with {len(self.nodes)} nodes...")
        nodes = reference_pass(self.nodes, self.schedule, self.coupling, text, durations, count)
        self._print(f"apply_dd_pass finished! Optimized DAG contains {len(nodes)} nodes.")
        return ModelDAG(self.out, [(n, list(q), d, dict(p)) for n, q, d, p in nodes])

    def _get_all_nodes(self):
        return [(n, list(q), d, dict(p)) for n, q, d, p in self.nodes]


def canonical(value):
    """A form of a result that compares equal when the results are the same (NaN included,
    parameter dicts in any order)."""
    if isinstance(value, float):
        return ("float", repr(value))
    if isinstance(value, dict):
        return ("dict", sorted((canonical(k), canonical(v)) for k, v in value.items()))
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [canonical(v) for v in value])
    if isinstance(value, (int, str, type(None))):
        return (type(value).__name__, value)
    return ("object", type(value).__name__)


def describe_error(error):
    """What must match between the module's exception and the model's."""
    return (type(error).__name__, isinstance(error, Exception), str(error),
            type(error.__cause__).__name__)


def same_float(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))

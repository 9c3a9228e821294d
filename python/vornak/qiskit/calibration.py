"""What the device's calibration says a pulse costs and what an idle qubit suffers: the noise
model by which the walsh placement decides, gap by gap, whether pulses pay for themselves.

The pass reads from its ``Target``: each qubit's T1 and T2 (``Target.qubit_properties``), the
error and duration of the gates its pulses are written with (``target["x"][(q,)]``), and the
kind of coupler from the two-qubit gate (``ecr`` or ``cx``, cross-resonance on fixed couplers;
``cz`` and any other, tunable couplers). What the snapshot lacks, the defaults below supply,
and the user can override: ``zz`` (measured ZZ per coupled pair, in Hz) and ``detuning_hz``.

Defaults, per family:

- detuning: a quasi-static angular detuning of standard deviation 2π·20 kHz on every qubit
  (`DEFAULT_DETUNING_HZ`), a Ramsey T2* = √2/σ of about 11 µs, the low end of today's fixed-
  frequency transmons. Heron and Nighthawk qubits are fixed-frequency transmons too (their
  couplers are tunable, not the qubits), so every family shares the value. The snapshots
  carry no T2* (their T2 is a Hahn-echo T2, which removes the quasi-static part): this is an
  assumption, not a measurement.
- residual ZZ (ζ Z_p Z_q / 4, ζ = 2π f): fixed couplers keep an always-on ZZ of tens of kHz,
  tunable couplers suppress it to a few kHz (Hickman, Wu and Quiroz, "Crosstalk-robust
  dynamical decoupling", arXiv 2506.18010, 2025: ZZ-robust DD beat plain DD by 3x or more in
  fidelity-decay rate on fixed-coupler devices and was "nearly equivalent" on tunable ones).
  The score is quadratic in ζ, so each family's default is the root mean square of its range:
  68 kHz for 30-100 kHz (fixed), 6.4 kHz for 2-10 kHz (tunable) (`DEFAULT_ZZ_HZ`).

A pulse costs its reported error less the decoherence the idle qubit suffers over its length
anyway (1 - (3 + 2 exp(-τ/T2) + exp(-τ/T1)) / 6); a bare stretch of length L costs
<δ²> L² / 4, plus ζ² L² / 16 per busy neighbour. A pair of pulses therefore pays for itself
where L > √(8e / <δ²>), <δ²> counting ζ²/4 per busy neighbour; the planner weighs the same
terms for every candidate pattern (``src/dd/refocus_cost.h``).

Measured ZZ comes as a mapping ``{(q0, q1): hertz}`` or as what qiskit-experiments'
``ZZRamsey`` returns: an ``ExperimentData`` (its ``analysis_results("zz")``), one of its
analysis results, or a list of them (and of such data), each read by its name, its value (Hz,
a plain number or one with ``nominal_value``) and its qubits (``device_components``, else
the experiment's ``physical_qubits``). ZZRamsey's convention is H = h (f_zz / 4) ZZ, which is
ζ = 2π f_zz here; its sign (which way the frequency shifts) does not matter to refocusing, so
a fitted value counts by its magnitude. A value given in a mapping must be a number >= 0.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Iterable, Mapping
from numbers import Integral, Real

from qiskit.transpiler.exceptions import TranspilerError

DEFAULT_DETUNING_HZ = 20e3
DEFAULT_ZZ_HZ = {"fixed": 68e3, "tunable": 6.4e3}
_FIXED_COUPLER_GATES = ("ecr", "cx")


def coupler_family(target) -> str | None:
    """``"fixed"`` where the target's two-qubit gate is cross-resonance (``ecr``, ``cx``),
    ``"tunable"`` where it has another (``cz``, ...), None where it has none."""
    names = [name for name in target.operation_names
             if getattr(target.operation_from_name(name), "num_qubits", 0) == 2]
    if not names:
        return None
    return "fixed" if any(name in _FIXED_COUPLER_GATES for name in names) else "tunable"


def checked_detuning(detuning_hz) -> float:
    """The detuning scale, a positive finite number of Hz (default `DEFAULT_DETUNING_HZ`)."""
    if detuning_hz is None:
        return DEFAULT_DETUNING_HZ
    if (isinstance(detuning_hz, bool) or not isinstance(detuning_hz, Real)
            or not math.isfinite(detuning_hz) or detuning_hz < 0):
        raise TranspilerError(
            f"detuning_hz must be a finite number of Hz >= 0, not {detuning_hz!r}")
    return float(detuning_hz)


def measured_zz(zz, pairs: Iterable[tuple[int, int]]) -> dict[tuple[int, int], float]:
    """{(a, b): Hz} with a < b from `zz` (see the module's docstring), every pair checked to be
    one of the coupled `pairs` (either order); a TranspilerError names the pair and what is
    wrong with it."""
    coupled = {tuple(sorted(pair)) for pair in pairs}
    out: dict[tuple[int, int], float] = {}
    for pair, value, fitted in _entries(zz):
        key = _pair(pair)
        if isinstance(value, bool) or not isinstance(value, Real):
            raise TranspilerError(f"The ZZ of pair {pair!r} is {value!r}, not a number of Hz.")
        value = float(value)
        if math.isnan(value) or math.isinf(value):
            raise TranspilerError(f"The ZZ of pair {key} is {value}, not a finite number of Hz.")
        if value < 0:
            if not fitted:
                raise TranspilerError(
                    f"The ZZ of pair {key} is negative ({value} Hz): give its strength, >= 0.")
            value = -value
        if tuple(sorted(key)) not in coupled:
            raise TranspilerError(f"The ZZ is given for pair {key}, which is not coupled.")
        out[tuple(sorted(key))] = value
    return out


def _pair(pair) -> tuple[int, int]:
    try:
        a, b = pair
    except (TypeError, ValueError):
        raise TranspilerError(f"A ZZ pair must be two qubits, not {pair!r}.") from None
    for q in (a, b):
        if isinstance(q, bool) or not isinstance(q, Integral) or q < 0:
            raise TranspilerError(f"The ZZ pair {pair!r} holds {q!r}, not a qubit index.")
    if a == b:
        raise TranspilerError(f"The ZZ pair {pair!r} names one qubit twice.")
    return int(a), int(b)


def _entries(zz):
    """(pair, value, fitted) for each ZZ of `zz`: a mapping, or ZZRamsey's data or results."""
    if isinstance(zz, Mapping):
        for pair, value in zz.items():
            yield pair, value, False
        return
    items = [zz] if _is_data(zz) or _is_result(zz) else zz
    if isinstance(items, (str, bytes)) or not isinstance(items, Iterable):
        raise TranspilerError(
            f"zz must map qubit pairs to Hz or hold ZZRamsey results, not {type(zz).__name__}")
    for item in items:
        if _is_data(item):
            qubits = _physical_qubits(item)
            for result in _results_of(item):
                yield _result_entry(result, qubits)
        elif _is_result(item):
            yield _result_entry(item, None)
        else:
            raise TranspilerError(
                f"zz holds {item!r}, neither a ZZRamsey experiment's data nor its result")


def _is_data(obj) -> bool:
    return callable(getattr(obj, "analysis_results", None))


def _is_result(obj) -> bool:
    return hasattr(obj, "name") and hasattr(obj, "value")


def _results_of(data) -> list:
    try:
        results = data.analysis_results("zz", dataframe=False)
    except TypeError:  # versions without the dataframe argument
        results = data.analysis_results("zz")
    if results is None:
        return []
    return [results] if _is_result(results) else list(results)


def _physical_qubits(data):
    metadata = getattr(data, "metadata", None) or {}
    qubits = metadata.get("physical_qubits") if isinstance(metadata, Mapping) else None
    return tuple(qubits) if qubits is not None else None


def _result_entry(result, qubits):
    if result.name != "zz":
        raise TranspilerError(f"zz holds an analysis result named {result.name!r}, not 'zz'")
    components = getattr(result, "device_components", None) or ()
    found = tuple(_qubit_index(c) for c in components)
    if len(found) == 2 and None not in found:
        qubits = found
    if qubits is None:
        raise TranspilerError(f"The ZZ result {result!r} names no qubits.")
    value = getattr(result.value, "nominal_value", result.value)
    return tuple(qubits), value, True


def _qubit_index(component):
    """The index of a device component (an int, a ``Qubit`` with ``index``/``_index``, or one
    written "Q3"), else None."""
    if isinstance(component, Integral) and not isinstance(component, bool):
        return int(component)
    for name in ("index", "_index"):
        value = getattr(component, name, None)
        if isinstance(value, Integral):
            return int(value)
    text = str(component)
    return int(text[1:]) if text[:1] == "Q" and text[1:].isdigit() else None


class Calibration:
    """The noise model of one target, in the form the native planner takes."""

    def __init__(self, target, zz=None, detuning_hz=None, pairs=None):
        self.target = target
        self.detuning_hz = checked_detuning(detuning_hz)
        family = coupler_family(target)
        self.default_zz_hz = DEFAULT_ZZ_HZ.get(family, DEFAULT_ZZ_HZ["tunable"])
        if pairs is None:
            coupling = target.build_coupling_map()
            pairs = coupling.get_edges() if coupling is not None else []
        self.pairs = sorted({tuple(sorted(p)) for p in pairs if p[0] != p[1]})
        self.zz_hz = measured_zz(zz, self.pairs) if zz is not None else {}

    def native(self, num_qubits: int, unit_seconds: float, pulse_gates) -> tuple:
        """(detuning variances, (error, duration, T1, T2) per qubit, ((a, b, zeta), ...)) in
        the unit of `unit_seconds`: the "noise" option of the native planner. `pulse_gates`
        lists the names of the gates each pulse of the sequence is written with; a qubit's
        pulse error and duration are their mean over the pulses."""
        target = self.target
        variance = (2 * math.pi * self.detuning_hz * unit_seconds) ** 2
        properties = target.qubit_properties or []
        pulses = []
        for q in range(num_qubits):
            props = properties[q] if q < len(properties) else None
            t1 = _seconds(getattr(props, "t1", None))
            t2 = _seconds(getattr(props, "t2", None))
            errors, lengths = [], []
            for names in pulse_gates:
                error = length = 0.0
                for name in names:
                    entry = _instruction(target, name, q)
                    if entry is None:
                        continue
                    error += entry.error or 0.0
                    length += entry.duration or 0.0
                errors.append(error)
                lengths.append(length)
            count = max(len(errors), 1)
            pulses.append((sum(errors) / count, sum(lengths) / count / unit_seconds,
                           t1 / unit_seconds, t2 / unit_seconds))
        couplings = []
        for a, b in self.pairs:
            if a < num_qubits and b < num_qubits:
                hz = self.zz_hz.get((a, b), self.default_zz_hz)
                couplings.append((a, b, 2 * math.pi * hz * unit_seconds))
        return ([variance] * num_qubits, pulses, couplings)

    def idle_noise(self, num_qubits: int, pulse_gates) -> IdleNoise:
        """What the first-order costs of an idle qubit's pulses read, in seconds (see
        :class:`IdleNoise`), for the pulses written with `pulse_gates` (as for `native`)."""
        variances, pulses, couplings = self.native(num_qubits, 1.0, pulse_gates)
        return IdleNoise(
            variance=variances[0] if variances else 0.0,
            pulse_error=[error_beyond_decoherence(*pulse) for pulse in pulses],
            zeta={(a, b): zeta for a, b, zeta in couplings},
        )


@dataclasses.dataclass(frozen=True)
class IdleNoise:
    """The noise model of idle qubits in SI units: the detuning variance <δ²> (rad²/s²), each
    qubit's pulse error beyond decoherence, and ζ (rad/s) per coupled pair (a, b), a < b."""

    variance: float
    pulse_error: list
    zeta: dict

    def zz(self, p: int, q: int) -> float:
        """ζ between qubits `p` and `q` (0 where they are not coupled)."""
        return self.zeta.get((p, q) if p < q else (q, p), 0.0)


def error_beyond_decoherence(reported: float, duration: float, t1: float, t2: float) -> float:
    """The error of one pulse of length `duration` beyond the decoherence an idle qubit
    suffers over it: `reported` less 1 - (3 + 2 exp(-τ/T2) + exp(-τ/T1)) / 6, never below 0;
    a T1 or T2 of 0 or infinity counts as no decay of that kind (any one unit of time)."""
    def decay(t):
        return math.exp(-duration / t) if t > 0 and math.isfinite(t) else 1.0

    return max(0.0, reported - (1.0 - (3.0 + 2.0 * decay(t2) + decay(t1)) / 6.0))


def _seconds(value) -> float:
    """A T1 or T2 in seconds, 0.0 where it is unknown or not a positive finite number."""
    if value is None or not isinstance(value, Real) or not math.isfinite(value) or value <= 0:
        return 0.0
    return float(value)


def _instruction(target, name, qubit):
    if name not in target.operation_names:
        return None
    try:
        entry = target[name].get((qubit,))
    except (KeyError, TypeError):
        return None
    return entry

"""What a padded circuit leaves unrefocused: the first-order error of each noise term of
bench/fidelity.py's ideal-pulse model (static ZZ per edge, quasi-static detuning per qubit),
split into what some pass could refocus and what none can.

    python bench/residuals.py --device FakeBrisbane --circuit draper_qft_adder-6
    python bench/residuals.py --circuit qft-6 --strategy ours --strategy "Qiskit ALAP"

The circuit is transpiled and padded as bench/fidelity.py does it (its `STRATEGIES`). Gates
and pulses are instantaneous at the middle of their slot; between two of them the state is
phi_i = U_i psi_0. To first order a noise term H leaves psi(T) - i U(T) e with

    e = sum_i dt_i U_i^dag H phi_i,

the term's error carried back to the start, summed over the intervals i. Its part along psi_0
is a global phase; the rest, e_perp, costs the infidelity |e_perp|^2. The ZZ terms
(H = zeta Z_p Z_q / 4, zeta as in bench/fidelity.py) are the same in every realisation, so the
errors of all edges add up before they are squared, and interfere; the detunings
(H = delta Z_q / 2, delta of variance sigma^2, each qubit's independent and of mean zero) add
sigma^2 |e_q,perp|^2 each on average.

Each edge's error is split by when it accrues: B while both qubits are busy (inside the slot of
an operation of the circuit on each), which no pulse on either can refocus, and R otherwise,
which a pass can (an idle qubit of the pair can take pulses). The ZZ infidelity is then

    |R + B|^2 = |R|^2 + |B|^2 + 2 Re <R, B>,

with |B|^2 the same for every pass. Two plans whose R are about as large can still differ by the
cross term, whose sign no plan controls without knowing every zeta: reading a difference of
fidelity between two passes, look at |R|^2 first. The report then lists each edge's windows
of R (maximal times in which not both qubits are busy) with the largest error, and the pulses
in them. The state has 2^n amplitudes and U_i 4^n: fine up to 10 active qubits.
"""

from __future__ import annotations

import argparse
import dataclasses
import math
import sys
from pathlib import Path

import numpy as np

try:
    from bench import fidelity as fb
except ImportError:  # run as a script
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    import fidelity as fb

MAX_QUBITS = 10


def padded_program(kind, size, backend, strategy):
    """(program, {local edge: zeta}) of `strategy` (a name of fb.STRATEGIES) on the circuit,
    transpiled, padded and scheduled as bench/fidelity.py does it."""
    target = backend.target
    circuit = fb.transpiled(kind, size, target)
    physical = fb.active_qubits(circuit)
    durations = target.durations()
    circuit, _ = fb.asap_schedule(circuit, target)
    out, _ = fb.run_passes(fb.build_passes(strategy, target), circuit, repeats=1)
    scheduled, times = fb.asap_schedule(out, target)
    pulses = fb.inserted_pulses(circuit, scheduled)
    program = fb.build_program(scheduled, times, durations, target.dt, physical, pulses)
    zz_by_edge = fb.target_zz(target)
    zz = {(a, b): zz_by_edge[(physical[a], physical[b])] for a, b in program.edges(zz_by_edge)}
    return program, zz


def busy_slots(program):
    """By local qubit, the [start, end] slots of the circuit's operations of non-zero length
    (inserted pulses left out)."""
    slots = [[] for _ in range(program.num_qubits)]
    for op in program.ops:
        if op.pulse or op.duration <= 0:
            continue
        for q in op.qubits:
            slots[q].append((op.time - op.duration / 2, op.time + op.duration / 2))
    return slots


def _busy_at(slots, t):
    return any(a < t < b for a, b in slots)


def _z_signs(n, qubits):
    """The diagonal of the product of Z over `qubits`, in Qiskit's order."""
    index = np.arange(2**n)
    sign = np.ones(2**n)
    for q in qubits:
        sign = sign * (1 - 2 * ((index >> q) & 1))
    return sign


@dataclasses.dataclass
class Window:
    """A maximal time in which not both qubits of `edge` are busy, and its error there."""

    edge: tuple[int, int]
    start: float
    end: float
    error: np.ndarray


@dataclasses.dataclass
class Residuals:
    refocusable: dict  # edge → R_e (e_perp over the times not both of its qubits are busy)
    busy: dict  # edge → B_e
    detuning: dict  # qubit → e_q,perp for H = Z_q / 2 (times delta)
    windows: list  # of Window

    def zz_parts(self):
        """(|R|^2, |B|^2, 2 Re <R, B>) of the edges' errors summed."""
        r = sum(self.refocusable.values())
        b = sum(self.busy.values())
        return (float(np.vdot(r, r).real), float(np.vdot(b, b).real),
                2 * float(np.vdot(r, b).real))

    def detuning_infidelity(self, sigma):
        return sigma**2 * sum(float(np.vdot(v, v).real) for v in self.detuning.values())


def residuals(program, zz):
    """The `Residuals` of `program` (at most MAX_QUBITS active qubits, from |0...0>) under the
    ZZ `zz` ({local edge: zeta in rad/s})."""
    n = program.num_qubits
    if n > MAX_QUBITS:
        raise ValueError(f"{n} active qubits: at most {MAX_QUBITS}")
    dim = 2**n
    edges = list(zz)
    terms = [(zz[e] / 4) * _z_signs(n, e) for e in edges] + [0.5 * _z_signs(n, (q,))
                                                            for q in range(n)]
    terms = np.array(terms)  # (terms, dim): each H is diagonal
    slots = busy_slots(program)
    breaks = sorted({t for qubit in slots for slot in qubit for t in slot})
    u = np.eye(dim, dtype=complex).reshape((dim,) + (2,) * n)  # U's columns, gate by gate
    phi = np.zeros((1,) + (2,) * n, dtype=complex)
    phi.flat[0] = 1
    refocusable = {e: np.zeros(dim, dtype=complex) for e in edges}
    busy = {e: np.zeros(dim, dtype=complex) for e in edges}
    detuning = {q: np.zeros(dim, dtype=complex) for q in range(n)}
    open_windows = {}
    windows = []
    now = 0.0

    def accrue(until):
        nonlocal now
        if until <= now:
            return
        middle = (now + until) / 2
        # U^dag H phi for every term at once: rows of U's matrix (state by column) conjugated.
        errors = (until - now) * ((terms * phi.reshape(dim)) @ u.reshape(dim, dim).T.conj())
        errors[:, 0] = 0  # along psi_0 = |0...0>: a global phase
        for k, e in enumerate(edges):
            both = _busy_at(slots[e[0]], middle) and _busy_at(slots[e[1]], middle)
            if both:
                busy[e] += errors[k]
                if e in open_windows:
                    windows.append(open_windows.pop(e))
                continue
            refocusable[e] += errors[k]
            window = open_windows.setdefault(e, Window(e, now, until, np.zeros(dim, complex)))
            window.end = until
            window.error = window.error + errors[k]
        for q in range(n):
            detuning[q] += errors[len(edges) + q]
        now = until

    k = 0
    for op in sorted(program.ops, key=lambda o: o.time):
        while k < len(breaks) and breaks[k] < op.time:
            accrue(breaks[k])
            k += 1
        accrue(op.time)
        u = fb._apply(u, op.matrix, op.qubits, n)
        phi = fb._apply(phi, op.matrix, op.qubits, n)
    for t in breaks[k:]:
        accrue(min(t, program.end))
    accrue(program.end)
    windows.extend(open_windows.values())
    return Residuals(refocusable, busy, detuning, windows)


def _norm2(v):
    return float(np.vdot(v, v).real)


def report(name, program, zz, result, sigma, top, log=print):
    r2, b2, cross = result.zz_parts()
    pulses = sum(op.pulse for op in program.ops)
    log(f"{name}: qubits {program.physical}, {pulses} pulses, {program.end * 1e6:.2f} us")
    log(f"  ZZ, first order: |R|^2 {r2:.4f}  |B|^2 {b2:.4f}  2Re<R,B> {cross:+.4f}  "
        f"total {r2 + b2 + cross:.4f};  detuning {result.detuning_infidelity(sigma):.4f}")
    log("  per edge |R_e|^2: " + ", ".join(
        f"{a}-{b} {_norm2(v):.4f}" for (a, b), v in result.refocusable.items()))
    worst = sorted(result.windows, key=lambda w: -_norm2(w.error))[:top]
    for w in worst:
        if _norm2(w.error) < 1e-6:
            break
        marks = "; ".join(
            f"q{q}: " + " ".join(f"{op.time * 1e6:.3f}" for op in program.ops
                                 if op.pulse and op.qubits == (q,) and w.start < op.time < w.end)
            for q in w.edge)
        log(f"    {w.edge[0]}-{w.edge[1]} [{w.start * 1e6:.3f}, {w.end * 1e6:.3f}] us  "
            f"|e|^2 {_norm2(w.error):.4f}  pulses at {marks}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--device", default="FakeBrisbane", choices=fb.DEVICES)
    parser.add_argument("--circuit", default="draper_qft_adder-6")
    parser.add_argument("--strategy", action="append", choices=list(fb.STRATEGIES))
    parser.add_argument("--top", type=int, default=5, help="windows listed per strategy")
    args = parser.parse_args(argv)
    from qiskit_ibm_runtime import fake_provider

    backend = getattr(fake_provider, args.device)()
    kind, size = args.circuit.rsplit("-", 1)
    sigma = 2 * math.pi * fb.DETUNING_HZ
    print(f"{args.device} {args.circuit}")
    for strategy in args.strategy or ["ours"]:
        program, zz = padded_program(kind, int(size), backend, strategy)
        report(strategy, program, zz, residuals(program, zz), sigma, args.top)


if __name__ == "__main__":
    main()

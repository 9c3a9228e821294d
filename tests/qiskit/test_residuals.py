"""bench/residuals.py's first-order errors against closed forms and the exact simulator of
bench/fidelity.py: what it calls refocused must be, and its split into what a pass can and
cannot refocus must add up to the infidelity."""

import math

import numpy as np
import pytest

pytest.importorskip("qiskit")

from bench import fidelity as fid  # noqa: E402
from bench import residuals as res  # noqa: E402

H = np.array([[1, 1], [1, -1]], dtype=complex) / math.sqrt(2)
X = np.array([[0, 1], [1, 0]], dtype=complex)
CZ = np.diag([1, 1, 1, -1]).astype(complex)
T = 2e-6
ZETA = 2 * math.pi * 60e3


def program(pulses=(), slot=None):
    """Two qubits put in |+> at 0 and read at T; X pulses (qubit, time); `slot` a cz of that
    (start, end) on both."""
    ops = [fid.Op(0.0, (q,), H, False) for q in (0, 1)]
    ops += [fid.Op(t, (q,), X, False, pulse=True) for q, t in pulses]
    if slot is not None:
        a, b = slot
        ops.append(fid.Op((a + b) / 2, (0, 1), CZ, True, duration=b - a))
    ops.sort(key=lambda o: o.time)
    return fid.Program((0, 1), ops, T)


def exact_infidelity(prog, zeta):
    states = fid.simulate(prog, np.zeros((1, 2)), [zeta], [(0, 1)])
    return 1 - fid.fidelities(states, fid.ideal_state(prog))[0]


@pytest.mark.parametrize("pulses", [(), ((0, T / 3),), ((0, T / 4), (1, 0.6 * T))])
def test_first_order_zz_is_the_simulated_infidelity(pulses):
    # Small phases: the first order is the infidelity up to a relative error of the phase².
    prog = program(pulses)
    r2, b2, cross = res.residuals(prog, {(0, 1): ZETA}).zz_parts()
    assert b2 == 0 and cross == 0  # no operation has length: nothing is busy
    assert r2 == pytest.approx(exact_infidelity(prog, ZETA), rel=0.02)


def test_a_centred_pulse_refocuses_its_qubit_and_the_pair():
    # X on qubit 0 at T/2: ∫ s_0 = ∫ s_0 s_1 = 0. Qubit 1 keeps its detuning: e = (T/2)|..1>.
    prog = program(((0, T / 2),))
    result = res.residuals(prog, {(0, 1): ZETA})
    assert result.zz_parts()[0] == pytest.approx(0, abs=1e-20)
    sigma = 2 * math.pi * 20e3
    assert np.linalg.norm(result.detuning[0]) == pytest.approx(0, abs=1e-18)
    assert result.detuning_infidelity(sigma) == pytest.approx(sigma**2 * T**2 / 4)
    assert exact_infidelity(prog, ZETA) == pytest.approx(0, abs=1e-12)


def test_the_busy_part_is_what_accrues_while_both_work():
    # A cz slot [a, b] on both: its ZZ, ζ(b - a)/4 along |11>, is B; the rest R, along the same
    # state, so the cross term is 2 |R| |B|, and the three add up to the simulated infidelity.
    a, b = 0.5e-6, 0.9e-6
    prog = program(slot=(a, b))
    result = res.residuals(prog, {(0, 1): ZETA})
    r2, b2, cross = result.zz_parts()
    assert b2 == pytest.approx((ZETA * (b - a) / 4) ** 2)
    assert r2 == pytest.approx((ZETA * (T - (b - a)) / 4) ** 2)
    assert cross == pytest.approx(2 * math.sqrt(r2 * b2))
    assert r2 + b2 + cross == pytest.approx(exact_infidelity(prog, ZETA), rel=0.02)
    [window_before, window_after] = sorted(result.windows, key=lambda w: w.start)
    assert (window_before.end, window_after.start) == (a, b)

"""The plans of one set of options (``vornak.qiskit.width_plan.WidthPlans``): made once per
width and shared by threads, the spare qubit's plan beside the plain one, and a width that
does not fit the options refused each time it is asked for."""

from concurrent.futures import ThreadPoolExecutor

import pytest

pytest.importorskip("qiskit")

from qiskit.circuit.library import XGate  # noqa: E402
from qiskit.transpiler import InstructionDurations  # noqa: E402
from qiskit.transpiler.exceptions import TranspilerError  # noqa: E402

from vornak.qiskit import DynamicalDecoupling  # noqa: E402

DURATIONS = InstructionDurations([("x", None, 50), ("cx", None, 300), ("measure", None, 1000)])


def _plans(**options):
    return DynamicalDecoupling(DURATIONS, [XGate(), XGate()], **options).padding.plans


def test_threads_asking_for_one_width_share_one_plan():
    plans = _plans()
    with ThreadPoolExecutor(8) as pool:
        found = list(pool.map(lambda _: plans.for_width(5), range(64)))
    assert all(plan is found[0] for plan in found)
    assert plans.for_width(4) is not found[0]
    assert len(found[0].pulse_durations) == 5


def test_the_spare_plan_adds_a_qubit_without_pulses_to_the_plain_one():
    plans = _plans()
    spare = plans.for_width(3, spare=True)  # asked for first: the plain plan is made with it
    plain = plans.for_width(3)
    assert spare.pulse_durations == plain.pulse_durations + [None]
    assert not spare.takes_pulses(3) and all(spare.takes_pulses(q) for q in range(3))
    assert (spare.table, spare.block, spare.step) == (plain.table, plain.block, plain.step)
    assert plans.for_width(3, spare=True) is spare


def test_a_width_the_options_do_not_fit_is_refused_every_time():
    plans = _plans(qubits=[0, 4])
    for _ in range(2):
        with pytest.raises(TranspilerError):
            plans.for_width(3)
        with pytest.raises(TranspilerError):
            plans.for_width(3, spare=True)
    assert plans.for_width(5).takes_pulses(4)

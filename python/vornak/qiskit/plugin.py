"""The scheduling-stage plugin ``vornak_dd``: ``transpile(..., scheduling_method="vornak_dd")``."""

from __future__ import annotations

from qiskit.transpiler import PassManager
from qiskit.transpiler.exceptions import TranspilerError
from qiskit.transpiler.passmanager_config import PassManagerConfig
from qiskit.transpiler.preset_passmanagers.plugin import PassManagerStagePlugin

from vornak.qiskit import DynamicalDecoupling


class VornakDDSchedulingPlugin(PassManagerStagePlugin):
    """Schedules the circuit and pads its idle gaps with DD sequences.

    The target (or, without one, the instruction durations) of the transpilation supplies
    the durations and the alignments; the default sequence, scheduling and placement are
    those of :class:`DynamicalDecoupling`. The scheduling stage is the last one of Qiskit's
    preset pass managers, so nothing resynthesises the pulses' frame changes after it (see
    :class:`DynamicalDecoupling` for what survives a pass added after it that does).
    """

    def pass_manager(
        self, pass_manager_config: PassManagerConfig, optimization_level: int | None = None
    ) -> PassManager:
        target = pass_manager_config.target
        durations = pass_manager_config.instruction_durations
        if target is None and durations is None:
            raise TranspilerError(
                "scheduling_method='vornak_dd' needs a backend, a target or instruction durations"
            )
        return PassManager([DynamicalDecoupling(durations=durations, target=target)])

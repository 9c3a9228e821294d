"""Checks of the benchmark suite's own parts: the floors must do the module's work, the
progress lines must stay out of the timings, and the targets must be judged right."""

import pytest

from _vornak import QuantumDAG
from bench import floors, report, silence
from bench.workloads import heavy_hex, layered_circuit, pulse_durations


@pytest.fixture(scope="module")
def floor():
    return floors.load()


def test_build_floor_makes_what_get_all_nodes_returns(floor):
    dag = QuantumDAG()
    with silence.stdout_to_devnull():
        dag.build_from_ir(layered_circuit(600, seed=3))
        dag.set_coupling_map(heavy_hex())
        dag.build_schedule()
        nodes = dag.apply_dd_pass("XY4", pulse_durations(), 127).get_all_nodes()
    assert any(name == "DD_Y" for name, *_ in nodes)
    assert floor.build(floor.prepare(nodes)) == nodes


@pytest.mark.parametrize("nodes", [
    [],
    [("", [], 0.0, {})],
    [("h", [2**64 - 1, 0, 0], -1.5, {"é🦀": 2.0, "b": float("inf")}), ("h", [3], 1.0, {})],
])
def test_build_floor_keeps_edge_values(floor, nodes):
    assert floor.build(floor.prepare(nodes)) == nodes


def test_walk_floor_reads_every_field(floor):
    base = ("rz", [1, 2], 35.0, {"theta": 0.5, "phi": 1.0})
    variants = [
        ("rx", [1, 2], 35.0, {"theta": 0.5, "phi": 1.0}),
        ("rz", [1, 3], 35.0, {"theta": 0.5, "phi": 1.0}),
        ("rz", [1, 2, 2], 35.0, {"theta": 0.5, "phi": 1.0}),
        ("rz", [1, 2], 36.0, {"theta": 0.5, "phi": 1.0}),
        ("rz", [1, 2], 35.0, {"thetb": 0.5, "phi": 1.0}),
        ("rz", [1, 2], 35.0, {"theta": 0.5, "phi": 1.5}),
    ]
    checksum = floor.walk([base])
    assert floor.walk([("rz", (1, 2), 35.0, {"theta": 0.5, "phi": 1.0})]) == checksum
    assert len({floor.walk([v]) for v in variants} | {checksum}) == len(variants) + 1


@pytest.mark.parametrize("instruction, error", [
    (("h", [0], 1.0), TypeError),
    (["h", [0], 1.0, {}], TypeError),
    (("h", "0", 1.0, {}), TypeError),
    (("h", [-1], 1.0, {}), OverflowError),
    (("h", [0], "1", {}), TypeError),
    (("h", [0], 1.0, None), TypeError),
    (("h", [0], 1.0, {1: 1.0}), TypeError),
])
def test_walk_floor_refuses_what_ingestion_refuses(floor, instruction, error):
    with pytest.raises(error):
        floor.walk([("x", [0], 1.0, {}), instruction])


def test_progress_lines_go_to_devnull_only_inside(capfd):
    dag = QuantumDAG()
    with silence.stdout_to_devnull():
        dag.build_from_ir([("x", [0], 1.0, {})])
    assert capfd.readouterr().out == ""
    dag.build_from_ir([])
    assert "Graph memory now contains 1 nodes." in capfd.readouterr().out


def _times(ingest, export, passes, scaling):
    """Minimum times (a single repeat) at 10^4 and 10^6 gates giving the ratios asked for."""
    small, large = 10**4, 10**6
    per_gate = {"build_from_ir": 100.0, "add_gate loop": 200.0, "build_schedule": 10.0,
                "find_idle_windows": 20.0, "apply_dd_pass": 100.0 * passes - 10.0,
                "get_all_nodes": 300.0, "pipeline": 900.0,
                "walk floor": 100.0 / ingest, "build floor": 300.0 / export}
    return {name: {small: [value * small], large: [value * large * scaling]}
            for name, value in per_gate.items()}


def test_targets_are_judged_against_their_limits():
    memory = {"core": [{"gates": 10**7, "bytes_per_node": 40.0, "with_schedule": 64.0}]}
    met = report.targets(_times(ingest=1.5, export=1.3, passes=0.49, scaling=1.3), memory)
    judged = [row[3] for row in met if row[2] != "for reference"]
    assert judged == ["yes"] * (3 + len(report.OPERATIONS) + 1)

    memory["core"][0]["with_schedule"] = 64.5
    missed = report.targets(_times(ingest=1.51, export=1.31, passes=0.5, scaling=1.31), memory)
    judged = [row[3] for row in missed if row[2] != "for reference"]
    assert judged == ["**no**"] * (3 + len(report.OPERATIONS) + 1)


def test_core_ab_times_both_builds_and_refuses_a_directory_without_the_module(tmp_path):
    # Both sides on the build under test, on a small workload: every job runs, and each row
    # holds the minima and medians of both sides and their ratios.
    from pathlib import Path

    import _vornak
    from bench import core_ab

    build = Path(_vornak.__file__).parent
    jobs = ["apply_dd_pass", "find_idle_windows"]
    results = core_ab.compare(build, build, [300], jobs, 2)
    assert set(results) == {(300, job) for job in jobs}
    for row in results.values():
        for base_min, base_median, new_min, new_median, ratio, median in (row["wall"], row["cpu"]):
            assert 0 < base_min <= base_median and 0 < new_min <= new_median
            assert ratio == pytest.approx(new_min / base_min) and median > 0
        assert all(faults >= 0 for faults in row["faults"])
    # A directory that holds no _vornak would time whatever copy is installed instead.
    with pytest.raises(RuntimeError, match="did not start"):
        core_ab.compare(tmp_path, build, [300], ["apply_dd_pass"], 1)

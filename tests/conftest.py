"""Fixtures shared by the tests of the _vornak module surface."""
import json
import subprocess
import sys

import pytest

from _vornak import QuantumDAG


@pytest.fixture
def dag():
    """A graph holding one node, so that "unchanged" means something."""
    graph = QuantumDAG()
    graph.add_gate("seed", [0], 1.0)
    return graph


def _run_isolated(code):
    """Runs `code` in a fresh interpreter, so that a crash fails one test and not the run.

    The child reports what it saw as JSON on its last stdout line; returns (process, decoded JSON).
    """
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=120,
                          text=True, encoding="utf-8", errors="replace")
    assert proc.returncode == 0, f"exit {proc.returncode}\n--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr}"
    return proc, json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.fixture
def run_isolated():
    return _run_isolated

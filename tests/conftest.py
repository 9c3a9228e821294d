"""Fixtures shared by the tests of the _vornak module surface.

On an interpreter the module is not built for (it is built for CPython 3.14 alone; the
package installs a stand-in there whose import raises ImportError), the test files that
import it at their top are left out, and the run's header says so: the tests of
vornak.qiskit run on every supported interpreter.
"""
import json
import re
import subprocess
import sys

import pytest

try:
    from _vornak import QuantumDAG
except ImportError as error:
    QuantumDAG = None
    CORE_MISSING = str(error)
else:
    CORE_MISSING = ""

_IMPORTS_CORE = re.compile(r"^(from _vornak import|import _vornak)\b", re.MULTILINE)


def pytest_report_header(config):
    if CORE_MISSING:
        return f"_vornak is not importable, its tests are left out: {CORE_MISSING}"
    return None


def pytest_ignore_collect(collection_path, config):
    """Leaves out a test file that imports _vornak at its top when the module is missing."""
    if not CORE_MISSING or collection_path.suffix != ".py":
        return None
    if not collection_path.name.startswith("test_"):
        return None
    return bool(_IMPORTS_CORE.search(collection_path.read_text(encoding="utf-8"))) or None


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

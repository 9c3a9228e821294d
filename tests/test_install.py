"""What an installed vornak is on the interpreter running the tests.

Run in the development venv and, by scripts/wheel-check.sh, in a fresh venv of each
interpreter the wheels are built for: _vornak is the extension on CPython 3.14 and a stand-in
whose import raises an ImportError naming 3.14 elsewhere; the bridge is an extension module
for this interpreter; the metadata says which Pythons are supported; and the package's
Python code is written in Python 3.10's grammar.
"""

from __future__ import annotations

import ast
import importlib.machinery
import importlib.metadata
import importlib.util
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
CORE_PYTHON = (3, 14)


def test_vornak_core_is_the_extension_on_its_python_and_says_why_elsewhere():
    if sys.version_info[:2] == CORE_PYTHON:
        import _vornak

        assert _vornak.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
        return
    with pytest.raises(ImportError) as caught:
        import _vornak  # noqa: F401
    message = str(caught.value)
    assert caught.value.name == "_vornak"
    assert "_vornak needs CPython 3.14" in message
    assert f"{sys.version_info[0]}.{sys.version_info[1]}." in message  # this interpreter
    assert "vornak.qiskit works on this interpreter" in message
    assert "_vornak" not in sys.modules  # a failed import leaves nothing half-made behind


def test_stand_in_names_the_version_of_any_interpreter(monkeypatch):
    """The template CMakeLists.txt fills in, run as the installed file would be."""
    template = (ROOT / "src" / "lib" / "_vornak_elsewhere.py.in").read_text(encoding="utf-8")
    source = template.replace("@VORNAK_CORE_PYTHON@", "3.14")
    assert "@" not in source
    ast.parse(source, feature_version=(3, 10))
    for version in ("3.10.0", "3.15.0a1"):
        monkeypatch.setattr("platform.python_version", lambda v=version: v)
        with pytest.raises(ImportError, match=rf"needs CPython 3\.14; this is \w+ {version}\."):
            exec(compile(source, "_vornak.py", "exec"), {"__name__": "_vornak"})


def test_bridge_is_an_extension_for_this_interpreter():
    spec = importlib.util.find_spec("vornak._bridge")
    assert spec is not None and isinstance(spec.loader, importlib.machinery.ExtensionFileLoader)
    suffix = pathlib.Path(spec.origin).name.split(".", 1)[1]
    assert "." + suffix in importlib.machinery.EXTENSION_SUFFIXES


def test_metadata_states_the_supported_pythons_and_extras():
    meta = importlib.metadata.metadata("vornak")
    assert meta["Requires-Python"] == ">=3.10"
    classifiers = meta.get_all("Classifier")
    for minor in range(10, 15):
        assert f"Programming Language :: Python :: 3.{minor}" in classifiers
    assert f"Programming Language :: Python :: {sys.version_info[0]}.{sys.version_info[1]}" in classifiers
    extras = set(meta.get_all("Provides-Extra"))
    assert {"qiskit", "distributed"} <= extras
    requires = meta.get_all("Requires-Dist")
    # The package needs nothing at run time; Dask and Qiskit come with their extras.
    assert all("extra ==" in requirement for requirement in requires), requires
    assert any(r.startswith("distributed") and "distributed" in r.split(";")[1] for r in requires)


def test_package_code_is_python_3_10():
    """Every module of the installed package parses with Python 3.10's grammar (no except*,
    no type statements or PEP 695 generics)."""
    package = pathlib.Path(importlib.util.find_spec("vornak").origin).parent
    sources = sorted(package.rglob("*.py"))
    assert len(sources) >= 8, sources
    for path in sources:
        ast.parse(path.read_text(encoding="utf-8"), filename=str(path), feature_version=(3, 10))

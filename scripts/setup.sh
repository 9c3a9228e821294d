#!/usr/bin/env bash
# Sets up a development environment in .venv and (re)installs _vornak into it.
#
#   1. Finds a CPython with its headers: $VORNAK_PYTHON if set (any CPython
#      from 3.10 on; _vornak itself is built on 3.14 only), else python3.14 on
#      PATH if it has Python.h, else a 3.14 provisioned by
#      scripts/python-from-debian.sh into ~/.cache (reused on later runs).
#   2. Installs Debian's libgtest-dev (and patchelf when provisioning) if missing.
#   3. Creates .venv on that interpreter and brings pip into it.
#   4. Installs the build and test tools, and what the examples and benchmarks
#      use, from PyPI into .venv.
#   5. Builds and installs the package from this checkout, incrementally: the
#      build directory build/<wheel tag> is kept, so only what changed is
#      recompiled, and when no source has changed since the last install the
#      install is skipped. With CI set, compiler warnings are errors.
#
# Steps that are already done are skipped. Safe to run any number of times.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
venv=$root/.venv
vpy=$venv/bin/python
# An activated .venv must not be taken for the interpreter to build it on.
PATH=$(printf '%s' "$PATH" | tr ':' '\n' | grep -vxF "$venv/bin" | paste -sd: - || true)
tools=(pytest hypothesis "scikit-build-core>=0.10" "cmake>=3.24" ninja
       "auditwheel>=6.8"  # for the manylinux repair in scripts/wheel-check.sh
       # for the examples, their tests, the stub check and the benchmark plots
       qiskit matplotlib mypy
       # test material for tests/qiskit/test_qiskit_pass.py: fake IBM backends, benchmark circuits
       qiskit-ibm-runtime mqt.bench
       # local testing mode of qiskit-ibm-runtime, for the runtime recipes and their tests
       qiskit-aer
       # the cluster test of tests/qiskit/test_qiskit_distributed.py
       distributed
       # the documentation site (make docs)
       sphinx qiskit-sphinx-theme myst-parser)

say() { echo "setup: $*" >&2; }
die() { echo "setup: error: $*" >&2; exit 1; }

# True if $1 is a CPython of version $2 (a minimum: "3.10+", or exact: "3.14"), not a
# free-threaded build, whose sysconfig include dir has Python.h.
has_headers() {
  "$1" - "$2" <<'EOF' >/dev/null 2>&1
import os, sys, sysconfig
want = sys.argv[1]
version = tuple(int(part) for part in want.rstrip("+").split("."))
have = sys.version_info[:2]
ok = sys.implementation.name == "cpython" and (have >= version if want.endswith("+") else have == version)
ok = ok and not sysconfig.get_config_var("Py_GIL_DISABLED")
sys.exit(0 if ok and os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h")) else 1)
EOF
}

# --- 1. interpreter ---------------------------------------------------------
python=
if [ -n "${VORNAK_PYTHON:-}" ]; then
  has_headers "$VORNAK_PYTHON" 3.10+ \
    || die "VORNAK_PYTHON=$VORNAK_PYTHON is not a CPython 3.10 or later (not free-threaded) with Python.h"
  python=$VORNAK_PYTHON
elif command -v python3.14 >/dev/null 2>&1 && has_headers "$(command -v python3.14)" 3.14; then
  python=$(command -v python3.14)
fi

# --- 2. system packages -----------------------------------------------------
installed() { [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null || true)" = "install ok installed" ]; }
apt_missing=()
installed libgtest-dev || apt_missing+=(libgtest-dev)
if [ -z "$python" ] && ! command -v patchelf >/dev/null 2>&1; then
  apt_missing+=(patchelf)
fi
if [ ${#apt_missing[@]} -gt 0 ]; then
  sudo=
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  say "installing ${apt_missing[*]} with apt-get"
  $sudo apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${apt_missing[@]}" >/dev/null
fi

if [ -z "$python" ]; then
  python=$(bash "$root/scripts/python-from-debian.sh" 3.14 | tail -n 1)
  has_headers "$python" 3.14 || die "provisioned interpreter $python has no Python.h"
fi
say "using $python"

# --- 3. virtual environment -------------------------------------------------
if [ -e "$venv" ] && [ "$(readlink -f "$vpy" 2>/dev/null)" != "$(readlink -f "$python")" ]; then
  say "recreating .venv (it was made with another interpreter)"
  rm -rf "$venv"
fi
if [ ! -x "$vpy" ]; then
  say "creating .venv"
  "$python" -m venv --without-pip "$venv"
fi

if ! "$vpy" -m pip --version >/dev/null 2>&1; then
  say "bringing pip into .venv"
  wheels=$("$python" -c 'import os, sys; print(os.path.join(sys.base_prefix, "share", "python-wheels"))')
  pip_wheel=$(ls "$wheels"/pip-*.whl 2>/dev/null | sort -V | tail -n 1 || true)
  if [ -n "$pip_wheel" ]; then
    "$vpy" "$pip_wheel/pip" install -q --no-index "$pip_wheel"
  elif "$vpy" -m ensurepip --help >/dev/null 2>&1; then
    "$vpy" -m ensurepip -q
  elif "$python" -m pip --version >/dev/null 2>&1; then
    "$python" -m pip --python "$vpy" install -q pip
  else
    die "no way to install pip into .venv: no pip wheel under $wheels, no ensurepip, no pip"
  fi
fi

export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
# The build runs with the venv's own cmake and ninja.
export PATH=$venv/bin:$PATH

# --- 4. build and test tools ------------------------------------------------
# True if every module named is found, without importing them (importing Qiskit and its
# company takes seconds).
found() {
  "$vpy" -c 'import importlib.util, sys; sys.exit(0 if all(importlib.util.find_spec(m) for m in sys.argv[1:]) else 1)' \
    "$@" >/dev/null 2>&1
}
if ! found pytest hypothesis scikit_build_core auditwheel qiskit matplotlib mypy qiskit_ibm_runtime \
       mqt.bench distributed sphinx qiskit_sphinx_theme myst_parser \
   || [ ! -x "$venv/bin/cmake" ] || [ ! -x "$venv/bin/ninja" ]; then
  say "installing ${tools[*]} into .venv"
  "$vpy" -m pip install -q "${tools[@]}"
fi

# --- 5. the package ---------------------------------------------------------
# Always given, as the build directory's CMake cache would keep an earlier value.
werror=ON
case "${CI:-}" in "" | 0 | false | no) werror=OFF ;; esac
# The stamp records the last install and its options: an install is needed when the stamp
# is missing or older than any file (or directory, for removed files) the package is built
# from. pip builds in this tree, in the build directory that pyproject.toml names, so an
# install after an edit recompiles only what the edit touches.
stamp=$venv/.vornak-installed
options="VORNAK_WERROR=$werror"
sources=(CMakeLists.txt pyproject.toml src python)
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$options" ] \
   && [ -z "$(find "${sources[@]}" -newer "$stamp" -print -quit)" ] \
   && found vornak._bridge; then
  say "vornak is installed and no source changed since ($options)"
else
  say "building and installing vornak ($options)"
  rm -f "$stamp"
  # Written before the build, so that an edit made while it runs is newer than the stamp.
  printf '%s' "$options" >"$stamp.new"
  "$vpy" -m pip install -q --no-build-isolation --no-deps --config-settings=cmake.define.VORNAK_WERROR=$werror "$root"
  "$vpy" -c 'import vornak.qiskit' || die "vornak.qiskit was installed but does not import"
  mv "$stamp.new" "$stamp"
fi
if has_headers "$vpy" 3.14; then
  "$vpy" -c 'import _vornak' || die "_vornak was installed but does not import"
else
  say "_vornak is built for CPython 3.14 only: on $("$vpy" -V) the package holds vornak.qiskit"
fi
say "done: $vpy"

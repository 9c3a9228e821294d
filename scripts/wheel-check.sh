#!/usr/bin/env bash
# Checks the distribution the way a user receives it:
#
#   1. `pip wheel .` builds a wheel, in an isolated build environment (the
#      build requirements come from PyPI, as for any user);
#   2. the sdist builds, and a wheel builds from the unpacked sdist alone, with
#      the same files as the first;
#   3. the extension exports no symbol but PyInit__vornak and was built with
#      the Release configuration;
#   4. the wheel installs into a fresh venv (pip brought in the way
#      scripts/setup.sh does it) and passes a smoke test there, run outside the
#      source tree;
#   5. mypy, given only that venv, finds the installed type stubs.
#
# Run by `make wheel-check` after `make setup`. Works in a temporary directory
# (kept with KEEP=1) and leaves the tree alone.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
vpy=$root/.venv/bin/python
[ -x "$vpy" ] || { echo "wheel-check: run make setup first" >&2; exit 1; }
python=$(readlink -f "$vpy")  # the interpreter .venv was made from
tmp=$(mktemp -d "${TMPDIR:-/tmp}/vornak-wheel.XXXXXX")
if [ "${KEEP:-}" = 1 ]; then
  echo "wheel-check: keeping $tmp" >&2
else
  trap 'rm -rf "$tmp"' EXIT
fi
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
say() { echo "wheel-check: $*" >&2; }
fail() { echo "wheel-check: FAILED: $*" >&2; exit 1; }

say "building the wheel (pip wheel .)"
"$vpy" -m pip wheel -q --no-deps -w "$tmp/dist" -C build-dir="$tmp/build" "$root"
wheel=$(ls "$tmp"/dist/vornak-*.whl)

say "building the sdist, and a wheel from it"
(cd "$root" && "$vpy" -c 'import sys; from scikit_build_core.build import build_sdist
print(build_sdist(sys.argv[1]))' "$tmp/sdist") >/dev/null
sdist=$(ls "$tmp"/sdist/vornak-*.tar.gz)
mkdir "$tmp/unpacked"
tar -xzf "$sdist" -C "$tmp/unpacked"
"$vpy" -m pip wheel -q --no-deps -w "$tmp/from-sdist" -C build-dir="$tmp/build-sdist" \
  "$tmp"/unpacked/vornak-*/
listing() { "$vpy" -c 'import sys, zipfile; print("\n".join(sorted(zipfile.ZipFile(sys.argv[1]).namelist())))' "$1"; }
[ "$(listing "$wheel")" = "$(listing "$tmp"/from-sdist/vornak-*.whl)" ] \
  || fail "the wheel built from the sdist holds other files"

say "checking the extension"
mkdir "$tmp/wheel"
(cd "$tmp/wheel" && "$vpy" -m zipfile -e "$wheel" .)
so=$(ls "$tmp"/wheel/_vornak.*.so)
exported=$(nm -D --defined-only "$so" | awk '{print $3}')
[ "$exported" = PyInit__vornak ] || fail "exported symbols are: $exported"
grep -qx 'CMAKE_BUILD_TYPE:STRING=Release' "$tmp/build/CMakeCache.txt" \
  || fail "the extension was not built with CMAKE_BUILD_TYPE=Release"
for f in _vornak.pyi _vornak-stubs/__init__.pyi; do
  [ -f "$tmp/wheel/$f" ] || fail "the wheel lacks $f"
done

say "installing into a fresh venv"
"$python" -m venv --without-pip "$tmp/venv"
fresh=$tmp/venv/bin/python
wheels=$("$python" -c 'import os, sys; print(os.path.join(sys.base_prefix, "share", "python-wheels"))')
pip_wheel=$(ls "$wheels"/pip-*.whl 2>/dev/null | sort -V | tail -n 1 || true)
if [ -n "$pip_wheel" ]; then
  "$fresh" "$pip_wheel/pip" install -q --no-index "$pip_wheel"
else
  "$fresh" -m ensurepip -q
fi
"$fresh" -m pip install -q --no-index "$wheel"

say "smoke test"
cd "$tmp"  # away from the source tree, so only the installed module can be imported
"$fresh" - >"$tmp/smoke.out" <<'EOF'
import sys
import _vornak
from _vornak import QuantumDAG, VornakError

assert _vornak.__file__.startswith(sys.prefix), _vornak.__file__
assert _vornak.__all__ == ["VornakError", "QuantumDAG"]
assert issubclass(VornakError, Exception)
dag = QuantumDAG()
dag.build_from_ir([("x", [1], 400.0, {}), ("cx", [0, 1], 300.0, {})])
dag.build_schedule()
assert dag.get_node_schedule(1) == (400.0, 700.0)
out = dag.apply_dd_pass("XY", {0: 50.0}, 2)
names = [n for n, *_ in out.get_all_nodes()]
assert names == ["x", "DD_X", "DD_Y", "cx"], names
print("smoke test passed")
EOF
grep -q '\[Rust\] apply_dd_pass finished! Optimized DAG contains 4 nodes.' "$tmp/smoke.out" \
  || fail "no progress line in: $(cat "$tmp/smoke.out")"
grep -qx 'smoke test passed' "$tmp/smoke.out" || fail "smoke test"

say "mypy finds the installed stubs"
cat >"$tmp/typed.py" <<'EOF'
from _vornak import QuantumDAG
reveal_type(QuantumDAG().apply_dd_pass().get_all_nodes())
EOF
# --no-site-packages would hide the venv; --python-executable points mypy at it alone.
"$vpy" -m mypy --no-incremental --python-executable "$fresh" "$tmp/typed.py" >"$tmp/mypy.out" 2>&1 || true
grep -Eq 'Revealed type is "(builtins\.)?list\[tuple\[(builtins\.)?str, ' "$tmp/mypy.out" \
  || fail "mypy did not see the stubs: $(cat "$tmp/mypy.out")"

say "ok: $(basename "$wheel") ($(du -k "$wheel" | cut -f1) KB), sdist $(basename "$sdist")"

#!/usr/bin/env bash
# Checks the distribution the way a user receives it:
#
#   1. `pip wheel .` builds a wheel, in an isolated build environment (the
#      build requirements come from PyPI, as for any user);
#   2. the sdist builds, and a wheel builds from the unpacked sdist alone, with
#      the same files as the first;
#   3. every extension module exports no symbol but its own PyInit_<module>,
#      and the build used the Release configuration;
#   4. `auditwheel repair` makes it a manylinux wheel, and `auditwheel show`
#      finds it fit for glibc 2.17 (manylinux2014) or older, with no shared
#      library copied in;
#   5. the repaired wheel installs into a fresh venv (pip brought in the way
#      scripts/setup.sh does it) and passes a smoke test there, run outside the
#      source tree;
#   6. mypy, given only that venv, finds the installed type stubs.
#
# Run by `make wheel-check` after `make setup`. Works in a temporary directory
# (kept with KEEP=1) and leaves the tree alone; with DIST=DIR it then copies the
# sdist and the repaired wheel into DIR (`make dist`).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
vpy=$root/.venv/bin/python
[ -x "$vpy" ] || { echo "wheel-check: run make setup first" >&2; exit 1; }
python=$(readlink -f "$vpy")  # the interpreter .venv was made from
[ -z "${DIST:-}" ] || DIST=$(realpath -m "$DIST")
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

say "checking the extension modules"
mkdir "$tmp/wheel"
(cd "$tmp/wheel" && "$vpy" -m zipfile -e "$wheel" .)
modules=$(cd "$tmp/wheel" && find . -name '*.so' | sort)
[ -n "$modules" ] || fail "the wheel holds no extension module"
for so in $modules; do
  name=$(basename "$so"); name=${name%%.*}
  exported=$(nm -D --defined-only "$tmp/wheel/$so" | awk '{print $3}')
  [ "$exported" = "PyInit_$name" ] || fail "$so exports: $exported"
done
grep -qx 'CMAKE_BUILD_TYPE:STRING=Release' "$tmp/build/CMakeCache.txt" \
  || fail "the extension was not built with CMAKE_BUILD_TYPE=Release"
for f in _vornak.pyi _vornak-stubs/__init__.pyi; do
  [ -f "$tmp/wheel/$f" ] || fail "the wheel lacks $f"
done

say "repairing the wheel (auditwheel)"
"$vpy" -m auditwheel --version >/dev/null 2>&1 || fail "auditwheel is missing: run make setup"
# Nothing is to be copied in, so nothing is patched: the 'none' patcher fails a
# repair that would have to, and needs no patchelf (Debian 12's is too old for it).
"$vpy" -m auditwheel repair --patcher none -w "$tmp/repaired" "$wheel" >"$tmp/repair.out" 2>&1 \
  || fail "auditwheel repair: $(cat "$tmp/repair.out")"
repaired=$(ls "$tmp"/repaired/vornak-*.whl)
"$vpy" -m auditwheel show "$repaired" >"$tmp/show.out" 2>&1 || fail "auditwheel show: $(cat "$tmp/show.out")"
tag=$(tr '\n' ' ' <"$tmp/show.out" | grep -oE 'platform tag: *"[^"]+"' | grep -oE 'manylinux_[0-9]+_[0-9]+_[a-z0-9_]+' || true)
say "auditwheel show: ${tag:-no manylinux tag}"
# The glibc a tag names; manylinux_2_17 (manylinux2014) is the newest accepted.
glibc=$(printf '%s' "$tag" | sed -nE 's/^manylinux_([0-9]+)_([0-9]+)_.*/\1 \2/p')
[ -n "$glibc" ] && [ "$(printf '%s' "$glibc" | awk '{print ($1 == 2 && $2 <= 17)}')" = 1 ] \
  || fail "the wheel needs a newer Linux than manylinux_2_17: $(cat "$tmp/show.out")"
case $(basename "$repaired") in *"$tag"*) ;; *) fail "repaired wheel $(basename "$repaired") is not tagged $tag" ;; esac
# Nothing copied in: the C++ runtime is linked into each module (CMakeLists.txt).
[ "$(listing "$repaired" | grep '\.so' || true)" = "$(listing "$wheel" | grep '\.so' || true)" ] \
  || fail "auditwheel copied shared libraries into the wheel: $(listing "$repaired" | grep '\.so')"

say "installing the repaired wheel into a fresh venv"
"$python" -m venv --without-pip "$tmp/venv"
fresh=$tmp/venv/bin/python
wheels=$("$python" -c 'import os, sys; print(os.path.join(sys.base_prefix, "share", "python-wheels"))')
pip_wheel=$(ls "$wheels"/pip-*.whl 2>/dev/null | sort -V | tail -n 1 || true)
if [ -n "$pip_wheel" ]; then
  "$fresh" "$pip_wheel/pip" install -q --no-index "$pip_wheel"
else
  "$fresh" -m ensurepip -q
fi
"$fresh" -m pip install -q --no-index "$repaired"

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

if [ -n "${DIST:-}" ]; then
  mkdir -p "$DIST"
  cp "$sdist" "$repaired" "$DIST"/
  say "copied into $DIST"
fi
say "ok: $(basename "$repaired") ($(du -k "$repaired" | cut -f1) KB), sdist $(basename "$sdist")"

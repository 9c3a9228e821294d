#!/usr/bin/env bash
# Checks the distribution the way users receive it, on each interpreter given:
#
#   1. the sdist builds; on the first interpreter `pip wheel .` builds a wheel from
#      the tree, in an isolated build environment (the build requirements come
#      from PyPI, as for any user), and it must hold the same files as the
#      wheel built from the unpacked sdist;
#   2. on every interpreter a wheel builds from the unpacked sdist alone, with
#      the compiler the interpreter's argument names (PYTHON:CXX, as in
#      /usr/bin/python3.11:clang++), else $CXX or the default one;
#   3. each wheel is tagged for its interpreter (cpXY-cpXY, or cp310-abi3 where
#      the bridge is a limited-API module and _vornak is not in), every extension
#      module exports no symbol but its own PyInit_<module>, and the build used
#      the Release configuration; the CPython 3.14 wheel holds _vornak and its
#      stubs, the others the stand-in _vornak.py and no stubs;
#   4. `auditwheel repair` makes it a manylinux wheel, and `auditwheel show`
#      finds it fit for glibc 2.17 (manylinux2014) or older, with no shared
#      library copied in;
#   5. the repaired wheel installs into a fresh venv of its interpreter (pip
#      brought in the way scripts/setup.sh does it) with nothing else, and passes
#      a smoke test there, run outside the source tree: _vornak's where it is
#      built, elsewhere `import _vornak` must raise an ImportError that names
#      CPython 3.14; then mypy, given only that venv, finds the installed stubs;
#   6. with QISKIT_TESTS=1, the wheel's qiskit and distributed extras,
#      qiskit-ibm-runtime, mqt.bench, pytest and hypothesis come into that venv
#      from PyPI (no build tools, and vornak only from the wheel), and there the
#      README's Qiskit example must print what the README shows, and the Qiskit
#      pass's tests ($QISKIT_TEST_FILES) must pass.
#
# Usage: wheel-check.sh [INTERPRETER[:CXX]...] (default: the interpreter .venv
# was made from). Run by `make wheel-check` after `make setup`. Works in a temporary
# directory (kept with KEEP=1) and leaves the tree alone; with DIST=DIR it then
# copies the sdist and the repaired wheels into DIR (`make dist`).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
vpy=$root/.venv/bin/python
[ -x "$vpy" ] || { echo "wheel-check: run make setup first" >&2; exit 1; }
[ $# -gt 0 ] || set -- "$(readlink -f "$vpy")"  # the interpreter .venv was made from
[ -z "${DIST:-}" ] || DIST=$(realpath -m "$DIST")
# The Qiskit pass's tests run in each fresh venv: the pass, pad(), their inputs and the
# pickling of both (what a cluster needs), without the long sweeps.
QISKIT_TEST_FILES=${QISKIT_TEST_FILES:-tests/test_qiskit_pass.py tests/test_qiskit_pad.py tests/test_qiskit_inputs.py tests/test_dynamic.py tests/test_qiskit_distributed.py tests/test_install.py}
tmp=$(mktemp -d "${TMPDIR:-/tmp}/vornak-wheel.XXXXXX")
if [ "${KEEP:-}" = 1 ]; then
  echo "wheel-check: keeping $tmp" >&2
else
  trap 'rm -rf "$tmp"' EXIT
fi
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
say() { echo "wheel-check: $*" >&2; }
fail() { echo "wheel-check: FAILED: $*" >&2; exit 1; }
listing() { "$vpy" -c 'import sys, zipfile; print("\n".join(sorted(zipfile.ZipFile(sys.argv[1]).namelist())))' "$1"; }

# A venv of interpreter $1 in $2 with pip only: Debian's interpreters (and the unpacked ones)
# carry pip as a wheel under share/python-wheels; others have ensurepip.
new_venv() {
  "$1" -m venv --without-pip "$2"
  local wheels pip_wheel
  wheels=$("$1" -c 'import os, sys; print(os.path.join(sys.base_prefix, "share", "python-wheels"))')
  pip_wheel=$(ls "$wheels"/pip-*.whl 2>/dev/null | sort -V | tail -n 1 || true)
  if [ -n "$pip_wheel" ]; then
    "$2/bin/python" "$pip_wheel/pip" install -q --no-index "$pip_wheel"
  else
    "$2/bin/python" -m ensurepip -q
  fi
}

say "building the sdist"
(cd "$root" && "$vpy" -c 'import sys; from scikit_build_core.build import build_sdist
print(build_sdist(sys.argv[1]))' "$tmp/sdist") >/dev/null
sdist=$(ls "$tmp"/sdist/vornak-*.tar.gz)
mkdir "$tmp/unpacked"
tar -xzf "$sdist" -C "$tmp/unpacked"
unpacked=$(ls -d "$tmp"/unpacked/vornak-*/)
grep -q '^Requires-Python: >=3.10$' "$unpacked/PKG-INFO" || fail "the sdist does not say Requires-Python: >=3.10"

first=1
repaired_all=()
for spec in "$@"; do
  python=${spec%%:*}
  compiler=${CXX:-}
  [ "$spec" = "$python" ] || compiler=${spec#*:}
  tag=$("$python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
  version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  work=$tmp/$tag
  mkdir -p "$work"
  say "[$tag] $python ($("$python" -V 2>&1)), compiler ${compiler:-c++}"
  new_venv "$python" "$work/build-venv"
  bpy=$work/build-venv/bin/python

  say "[$tag] building a wheel from the sdist"
  CXX=$compiler "$bpy" -m pip wheel -q --no-deps -w "$work/dist" --config-settings=build-dir="$work/build" "$unpacked"
  wheel=$(ls "$work"/dist/vornak-*.whl)
  # cpXY-cpXY, or cp310-abi3 for a wheel whose bridge is a limited-API module (not on 3.14,
  # whose wheel holds _vornak, made for 3.14 alone).
  # The listing is taken whole first: grep -q on a pipe would stop reading at its first match,
  # and the writer's broken pipe would then fail the test under pipefail.
  files=$(listing "$wheel")
  if [ "$version" != 3.14 ] && grep -qx 'vornak/_bridge\.abi3\.so' <<<"$files"; then
    expected=cp310-abi3
  else
    expected=$tag-$tag
  fi
  case $(basename "$wheel") in
    "vornak-"*"-$expected-linux_"*.whl) ;;
    *) fail "[$tag] the wheel is not tagged $expected: $(basename "$wheel")" ;;
  esac
  if [ $first = 1 ]; then
    say "[$tag] building a wheel from the tree (pip wheel .): the same files"
    "$bpy" -m pip wheel -q --no-deps -w "$work/from-tree" --config-settings=build-dir="$work/build-tree" "$root"
    [ "$(listing "$wheel")" = "$(listing "$work"/from-tree/vornak-*.whl)" ] \
      || fail "[$tag] the wheel built from the sdist holds other files than the one from the tree"
    first=0
  fi

  say "[$tag] checking the extension modules"
  mkdir "$work/wheel"
  (cd "$work/wheel" && "$vpy" -m zipfile -e "$wheel" .)
  modules=$(cd "$work/wheel" && find . -name '*.so' | sort)
  [ -n "$modules" ] || fail "[$tag] the wheel holds no extension module"
  for so in $modules; do
    name=$(basename "$so"); name=${name%%.*}
    exported=$(nm -D --defined-only "$work/wheel/$so" | awk '{print $3}')
    [ "$exported" = "PyInit_$name" ] || fail "[$tag] $so exports: $exported"
  done
  grep -qx 'CMAKE_BUILD_TYPE:STRING=Release' "$work/build/CMakeCache.txt" \
    || fail "[$tag] the extension was not built with CMAKE_BUILD_TYPE=Release"
  [ -n "$(cd "$work/wheel" && ls vornak/_bridge.*.so 2>/dev/null)" ] || fail "[$tag] the wheel lacks vornak._bridge"
  if [ "$version" = 3.14 ]; then
    core=1
    for f in _vornak.pyi _vornak-stubs/__init__.pyi; do
      [ -f "$work/wheel/$f" ] || fail "[$tag] the wheel lacks $f"
    done
    [ -n "$(cd "$work/wheel" && ls _vornak.*.so 2>/dev/null)" ] || fail "[$tag] the wheel lacks _vornak"
  else
    core=0
    [ -f "$work/wheel/_vornak.py" ] || fail "[$tag] the wheel lacks the stand-in _vornak.py"
    [ ! -e "$work/wheel/_vornak.pyi" ] || fail "[$tag] the wheel holds _vornak's stubs without _vornak"
  fi

  say "[$tag] repairing the wheel (auditwheel)"
  "$vpy" -m auditwheel --version >/dev/null 2>&1 || fail "auditwheel is missing: run make setup"
  # Nothing is to be copied in, so nothing is patched: the 'none' patcher fails a
  # repair that would have to, and needs no patchelf (Debian 12's is too old for it).
  "$vpy" -m auditwheel repair --patcher none -w "$work/repaired" "$wheel" >"$work/repair.out" 2>&1 \
    || fail "[$tag] auditwheel repair: $(cat "$work/repair.out")"
  repaired=$(ls "$work"/repaired/vornak-*.whl)
  "$vpy" -m auditwheel show "$repaired" >"$work/show.out" 2>&1 || fail "[$tag] auditwheel show: $(cat "$work/show.out")"
  platform=$(tr '\n' ' ' <"$work/show.out" | grep -oE 'platform tag: *"[^"]+"' | grep -oE 'manylinux_[0-9]+_[0-9]+_[a-z0-9_]+' || true)
  say "[$tag] auditwheel show: ${platform:-no manylinux tag}"
  # The glibc a tag names; manylinux_2_17 (manylinux2014) is the newest accepted.
  glibc=$(printf '%s' "$platform" | sed -nE 's/^manylinux_([0-9]+)_([0-9]+)_.*/\1 \2/p')
  [ -n "$glibc" ] && [ "$(printf '%s' "$glibc" | awk '{print ($1 == 2 && $2 <= 17)}')" = 1 ] \
    || fail "[$tag] the wheel needs a newer Linux than manylinux_2_17: $(cat "$work/show.out")"
  case $(basename "$repaired") in *"$platform"*) ;; *) fail "[$tag] repaired wheel $(basename "$repaired") is not tagged $platform" ;; esac
  # Nothing copied in: the C++ runtime is linked into each module (CMakeLists.txt).
  [ "$(listing "$repaired" | grep '\.so' || true)" = "$(listing "$wheel" | grep '\.so' || true)" ] \
    || fail "[$tag] auditwheel copied shared libraries into the wheel: $(listing "$repaired" | grep '\.so')"

  say "[$tag] installing the repaired wheel into a fresh venv"
  new_venv "$python" "$work/venv"
  fresh=$work/venv/bin/python
  "$fresh" -m pip install -q --no-index "$repaired"

  say "[$tag] smoke test"
  if [ $core = 1 ]; then
    (cd "$work" && "$fresh" "$root/scripts/smoke-core.py") >"$work/smoke.out" \
      || fail "[$tag] smoke test: $(cat "$work/smoke.out")"
    grep -q '\[Rust\] apply_dd_pass finished! Optimized DAG contains 4 nodes.' "$work/smoke.out" \
      || fail "[$tag] no progress line in: $(cat "$work/smoke.out")"
    grep -qx 'smoke test passed' "$work/smoke.out" || fail "[$tag] smoke test"

    say "[$tag] mypy finds the installed stubs"
    cat >"$work/typed.py" <<'EOF'
from _vornak import QuantumDAG
reveal_type(QuantumDAG().apply_dd_pass().get_all_nodes())
EOF
    # --no-site-packages would hide the venv; --python-executable points mypy at it alone.
    "$vpy" -m mypy --no-incremental --python-executable "$fresh" "$work/typed.py" >"$work/mypy.out" 2>&1 || true
    grep -Eq 'Revealed type is "(builtins\.)?list\[tuple\[(builtins\.)?str, ' "$work/mypy.out" \
      || fail "[$tag] mypy did not see the stubs: $(cat "$work/mypy.out")"
  else
    (cd "$work" && "$fresh" -c '
import sys
try:
    import _vornak
except ImportError as error:
    assert error.name == "_vornak" and "needs CPython 3.14" in str(error), error
    assert "vornak.qiskit works" in str(error), error
    print("stand-in:", error)
else:
    sys.exit("_vornak imported on CPython %d.%d" % sys.version_info[:2])
import vornak
assert vornak.__file__.startswith(sys.prefix), vornak.__file__
') >"$work/smoke.out" 2>&1 || fail "[$tag] smoke test: $(cat "$work/smoke.out")"
  fi

  if [ "${QISKIT_TESTS:-}" = 1 ]; then
    say "[$tag] the qiskit and distributed extras, qiskit-ibm-runtime, mqt.bench, pytest and hypothesis into the venv (from PyPI)"
    "$fresh" -m pip install -q "$repaired[qiskit,distributed]" qiskit-ibm-runtime mqt.bench pytest hypothesis
    # Installing from the wheel alone: no build tool came along.
    ! "$fresh" -c 'import scikit_build_core' 2>/dev/null || fail "[$tag] scikit-build-core is in the test venv"
    say "[$tag] the README's Qiskit example"
    (cd "$work" && "$fresh" "$root/scripts/readme-snippet.py" "$root/README.md") >"$work/snippet.out" \
      || fail "[$tag] README example: $(cat "$work/snippet.out")"
    say "[$tag] the Qiskit pass's tests: $QISKIT_TEST_FILES"
    # From the tests' own directory, with the installed package (the tree's python/ is not
    # on the path, and the tree has no _vornak of its own).
    (cd "$root" && "$fresh" -m pytest -q -p no:cacheprovider $QISKIT_TEST_FILES) >"$work/tests.out" 2>&1 \
      || fail "[$tag] Qiskit tests: $(tail -n 40 "$work/tests.out")"
    say "[$tag] $(tail -n 1 "$work/tests.out")"
  fi
  repaired_all+=("$repaired")
  say "[$tag] ok: $(basename "$repaired") ($(du -k "$repaired" | cut -f1) KB)"
done

if [ -n "${DIST:-}" ]; then
  mkdir -p "$DIST"
  # An abi3 wheel serves several interpreters: it is built and checked on each, and copied once.
  cp "$sdist" "$DIST"/
  for repaired in "${repaired_all[@]}"; do
    [ -e "$DIST/$(basename "$repaired")" ] || cp "$repaired" "$DIST"/
  done
  say "copied into $DIST"
fi
say "ok: sdist $(basename "$sdist"), ${#repaired_all[@]} wheel(s)"

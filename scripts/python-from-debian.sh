#!/usr/bin/env bash
# Provides a CPython interpreter of a given version with its development
# headers on a Debian host that has none: 3.14 from Debian's unstable suite
# (Debian 12 and 13 ship older Pythons), 3.13 from Debian 13 (trixie), which the
# test pipeline uses beside Debian 12's own 3.11.
#
# Those suites build Python against a newer C library than the host has, so
# the interpreter is unpacked together with that suite's C library
# into a private prefix, and the interpreter binary is patched to use that
# library's loader and search path. The host's apt configuration is left alone:
# a private apt state directory is used, pointed at the same Debian mirror the
# host already uses.
#
# Usage: python-from-debian.sh [VERSION [PREFIX]]
#   VERSION is 3.14 (the default) or 3.13; PREFIX defaults to
#   ${XDG_CACHE_HOME:-$HOME/.cache}/pythonVERSION-debian
# Prints the interpreter's path on its last line (progress goes to stderr).
# Re-running is cheap: an existing, working prefix is reused. Needs root (or
# an existing patchelf) and access to the host's Debian mirror.
set -euo pipefail

version=${1:-3.14}
# The Debian suite each version comes from.
case $version in
  3.14) suite=sid ;;
  3.13) suite=trixie ;;
  *) echo "python-from-debian.sh: no Debian suite known for CPython $version (3.13, 3.14)" >&2; exit 2 ;;
esac
prefix=${2:-${XDG_CACHE_HOME:-$HOME/.cache}/python$version-debian}
python=$prefix/usr/bin/python$version

# Debian's ensurepip takes pip from the wheel directory built into sysconfig,
# /usr/share/python-wheels: the host's, whose pip (if any) is too old for this
# interpreter, so `python -m venv` failed. Pointed at the prefix's own copy
# instead, `pythonX.Y -m venv` works as anywhere else.
own_wheels() {
  local wheels=$prefix/usr/share/python-wheels/
  for data in "$prefix"/usr/lib/python"$version"/_sysconfigdata_*.py; do
    grep -q "'WHEEL_PKG_DIR': '$wheels'" "$data" \
      || sed -i "s|'WHEEL_PKG_DIR': '[^']*'|'WHEEL_PKG_DIR': '$wheels'|" "$data"
  done
}

if [ -x "$python" ] && "$python" -c 'import ssl, sysconfig' 2>/dev/null \
   && [ -f "$prefix/usr/include/python$version/Python.h" ]; then
  own_wheels
  echo "$python"
  exit 0
fi

echo "provisioning CPython $version from Debian's $suite suite into $prefix" >&2

need() { command -v "$1" >/dev/null 2>&1; }
if ! need patchelf || ! need dpkg-deb; then
  apt-get update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq patchelf >/dev/null
fi

# The Debian mirror the host already uses.
mirror=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null \
         | awk '!/security/ && !found { print; found = 1 }' || true)
if [ -z "$mirror" ]; then
  mirror=$(awk '$1=="deb" && $2 !~ /security/ {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
fi
[ -n "$mirror" ] || { echo "no Debian mirror found in the apt configuration" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lists/partial" "$work/archives/partial" "$work/debs"
echo "deb $mirror $suite main" > "$work/sources.list"
apt_opts=(-o "Dir::Etc::sourcelist=$work/sources.list" -o "Dir::Etc::sourceparts=-"
          -o "Dir::State::Lists=$work/lists" -o "Dir::Cache::Archives=$work/archives"
          -o "APT::Get::List-Cleanup=0" -o "Debug::NoLocking=1"
          -o "APT::Sandbox::User=root")
apt-get "${apt_opts[@]}" update -qq >/dev/null

packages=(
  "python$version" "python$version-minimal" "python$version-venv" "python$version-dev"
  "libpython$version" "libpython$version-minimal" "libpython$version-stdlib" "libpython$version-dev"
  python3-pip-whl python3-setuptools-whl
  libc6 libstdc++6 libgcc-s1 libexpat1 zlib1g libffi8 libssl3t64 libzstd1
  liblzma5 libbz2-1.0 libsqlite3-0 libncursesw6 libtinfo6 libreadline8t64
  libuuid1 libmpdec4 libdb5.3t64 libcrypt1 media-types
)
(cd "$work/debs" && apt-get "${apt_opts[@]}" download "${packages[@]}" >/dev/null 2>&1) \
  || (cd "$work/debs" && apt-get "${apt_opts[@]}" download "${packages[@]}")

rm -rf "$prefix"
mkdir -p "$prefix"
for deb in "$work"/debs/*.deb; do dpkg-deb -x "$deb" "$prefix"; done

libdir=$prefix/usr/lib/x86_64-linux-gnu
patchelf --set-interpreter "$libdir/ld-linux-x86-64.so.2" --force-rpath --set-rpath "$libdir" "$python"

# Debian's pyconfig.h only forwards to a multiarch copy under /usr/include;
# put the real one in place so that -I.../include/pythonX.Y is enough.
multiarch=$prefix/usr/include/x86_64-linux-gnu/python$version/pyconfig.h
[ -f "$multiarch" ] && cp "$multiarch" "$prefix/usr/include/python$version/pyconfig.h"

own_wheels
"$python" -c 'import ssl, sysconfig, ctypes, decimal' >/dev/null
echo "$python"

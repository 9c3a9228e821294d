#!/usr/bin/env bash
# Provides a CPython 3.14 interpreter with its development headers on a Debian
# host that has none (Debian 12 and 13 ship older Pythons).
#
# Debian's unstable suite builds python3.14 against a newer C library than the
# host has, so the interpreter is unpacked together with that suite's C library
# into a private prefix, and the interpreter binary is patched to use that
# library's loader and search path. The host's apt configuration is left alone:
# a private apt state directory is used, pointed at the same Debian mirror the
# host already uses.
#
# Usage: python3.14-from-debian.sh [PREFIX]
#   PREFIX defaults to ${XDG_CACHE_HOME:-$HOME/.cache}/python3.14-debian
# Prints the interpreter's path on its last line (progress goes to stderr).
# Re-running is cheap: an existing, working prefix is reused. Needs root (or
# an existing patchelf) and access to the host's Debian mirror.
set -euo pipefail

prefix=${1:-${XDG_CACHE_HOME:-$HOME/.cache}/python3.14-debian}
python=$prefix/usr/bin/python3.14

if [ -x "$python" ] && "$python" -c 'import ssl, sysconfig' 2>/dev/null \
   && [ -f "$prefix/usr/include/python3.14/Python.h" ]; then
  echo "$python"
  exit 0
fi

echo "provisioning CPython 3.14 from Debian's unstable suite into $prefix" >&2

need() { command -v "$1" >/dev/null 2>&1; }
if ! need patchelf || ! need dpkg-deb; then
  apt-get update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq patchelf >/dev/null
fi

# The Debian mirror the host already uses.
mirror=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null \
         | grep -v security | head -n1 || true)
if [ -z "$mirror" ]; then
  mirror=$(awk '$1=="deb" && $2 !~ /security/ {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
fi
[ -n "$mirror" ] || { echo "no Debian mirror found in the apt configuration" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lists/partial" "$work/archives/partial" "$work/debs"
echo "deb $mirror sid main" > "$work/sources.list"
apt_opts=(-o "Dir::Etc::sourcelist=$work/sources.list" -o "Dir::Etc::sourceparts=-"
          -o "Dir::State::Lists=$work/lists" -o "Dir::Cache::Archives=$work/archives"
          -o "APT::Get::List-Cleanup=0" -o "Debug::NoLocking=1"
          -o "APT::Sandbox::User=root")
apt-get "${apt_opts[@]}" update -qq >/dev/null

packages=(
  python3.14 python3.14-minimal python3.14-venv python3.14-dev
  libpython3.14 libpython3.14-minimal libpython3.14-stdlib libpython3.14-dev
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
# put the real one in place so that -I.../include/python3.14 is enough.
multiarch=$prefix/usr/include/x86_64-linux-gnu/python3.14/pyconfig.h
[ -f "$multiarch" ] && cp "$multiarch" "$prefix/usr/include/python3.14/pyconfig.h"

"$python" -c 'import ssl, sysconfig, ctypes, decimal' >/dev/null
echo "$python"

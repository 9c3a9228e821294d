#!/usr/bin/env bash
# Prints the interpreters the wheels are built for here, one per line: .venv's CPython
# 3.14 first, then Debian 12's python3.11 if installed, then a CPython 3.13 from Debian 13
# (unpacked by scripts/python-from-debian.sh into ~/.cache on first use). With --clang the
# last is printed as PYTHON:clang++, for scripts/wheel-check.sh to build its wheel with clang.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readlink -f "$root/.venv/bin/python"
if [ -x /usr/bin/python3.11 ]; then
  echo /usr/bin/python3.11
else
  echo "interpreters: /usr/bin/python3.11 is missing (apt-get install python3.11 python3.11-dev python3.11-venv)" >&2
fi
last=$(bash "$root/scripts/python-from-debian.sh" 3.13 | tail -n 1)
if [ "${1:-}" = --clang ]; then echo "$last:clang++"; else echo "$last"; fi

#!/usr/bin/env bash
# CPython 3.14 from Debian's unstable suite: scripts/python-from-debian.sh 3.14 [PREFIX].
exec bash "$(dirname "${BASH_SOURCE[0]}")/python-from-debian.sh" 3.14 "$@"

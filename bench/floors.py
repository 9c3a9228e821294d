"""Builds and loads `_floors`, the bench-only extension of floors.c, from build/bench."""

import importlib.util
import shlex
import subprocess
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SOURCE = ROOT / "bench" / "floors.c"
BUILD_DIR = ROOT / "build" / "bench"


def _compile(target):
    config = sysconfig.get_config_vars()
    command = [
        *shlex.split(config["LDSHARED"]),
        *shlex.split(config["CFLAGS"]),
        *shlex.split(config["CCSHARED"]),
        "-O3",
        "-I", sysconfig.get_paths()["include"],
        str(SOURCE),
        "-o", str(target),
    ]
    subprocess.run(command, check=True)


def load():
    """Returns the `_floors` module, compiling it first if floors.c is newer than the build."""
    target = BUILD_DIR / ("_floors" + sysconfig.get_config_var("EXT_SUFFIX"))
    if not target.exists() or target.stat().st_mtime < SOURCE.stat().st_mtime:
        BUILD_DIR.mkdir(parents=True, exist_ok=True)
        _compile(target)
    spec = importlib.util.spec_from_file_location("_floors", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module

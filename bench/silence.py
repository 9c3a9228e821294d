"""Sends file descriptor 1 to /dev/null for a while, where the module writes its progress."""

import contextlib
import os
import sys


@contextlib.contextmanager
def stdout_to_devnull():
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(devnull)

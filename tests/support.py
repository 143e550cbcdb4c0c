"""Helpers for tests that need a fresh interpreter: extension modules initialise once per
process, so every import scenario runs in its own /usr/bin/python3 on a copy of the built tree."""
import os
import shutil
import subprocess
import sys
import textwrap

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = os.path.join(ROOT, "silver_kestrel")
EXT_SUFFIX = __import__("importlib.machinery").machinery.EXTENSION_SUFFIXES[0]


def copy_package(dest):
    """Copies the built package (links kept, so aliases stay aliases) into `dest`; returns the
    path of the copied `silver_kestrel` directory."""
    target = os.path.join(dest, "silver_kestrel")
    shutil.copytree(PACKAGE, target, symlinks=True,
                    ignore=shutil.ignore_patterns("__pycache__"))
    return target


def run_python(code, path, *flags, timeout=120):
    """Runs `code` in a fresh interpreter with `path` (a list) as PYTHONPATH, from the first
    entry of `path` (`-c` puts the working directory on the search path)."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(path)
    return subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code)], cwd=path[0],
                          capture_output=True, text=True, env=env, timeout=timeout)


"""The package leaves the host's thread settings as it found them."""
import ctypes
import os
import subprocess
import sys

import pytest

from support import ROOT


def openblas():
    for name in ("libblas.so.3", "libopenblas.so.0"):
        try:
            lib = ctypes.CDLL(name, mode=getattr(os, "RTLD_NOLOAD", 0))
        except OSError:
            continue
        if hasattr(lib, "openblas_set_num_threads"):
            return name
    return None


@pytest.mark.skipif(openblas() is None, reason="torch does not use OpenBLAS here")
def test_importing_every_module_keeps_the_thread_counts():
    # A host that runs one torch thread beside a larger BLAS pool keeps both after the imports
    # (no environment variable names a count, so nothing but the host decides).
    code = f"""
import ctypes, os, torch
torch.set_num_threads(1)
blas = ctypes.CDLL({openblas()!r}, mode=os.RTLD_NOLOAD)
blas.openblas_set_num_threads(3)
import silver_kestrel.kestrel_model
from silver_kestrel.architectures.heavy_core import heavy_core, fortress_engine
from silver_kestrel.architectures.lite_core import lite_core
from silver_kestrel.architectures.fortress_core import fortress_core
print(torch.get_num_threads(), blas.openblas_get_num_threads())
"""
    env = {k: v for k, v in os.environ.items()
           if k not in ("OPENBLAS_NUM_THREADS", "GOTO_NUM_THREADS", "OMP_NUM_THREADS")}
    env["PYTHONPATH"] = ROOT
    run = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["1", "3"]

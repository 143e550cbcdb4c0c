import os
import sys

# Every test process (and the fresh interpreters the import tests start) runs a small, fixed
# thread team: the suite runs beside builds and other suites, and OpenMP teams sized to the
# whole machine spin against each other there. KESTREL_TEST_THREADS overrides the count.
THREADS = os.environ.get("KESTREL_TEST_THREADS", "2")
for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS"):
    os.environ[_var] = THREADS

import torch  # noqa: E402  (after the thread settings, which torch reads on first use)

torch.set_num_threads(int(THREADS))

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

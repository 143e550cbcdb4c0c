import os
import subprocess
import sys

import pytest
import torch

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH = os.path.join(ROOT, "bench")


def test_quick_run_reports_every_model_and_its_threads():
    run = subprocess.run([sys.executable, os.path.join(BENCH, "train_step.py"), "--quick"],
                         capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    out = run.stdout
    assert "1 thread(s): torch intra-op threads 1" in out
    assert "OpenBLAS threads" in out and ", kernels " in out
    assert "malloc: " in out.splitlines()[0]
    rows = {line.split()[0] for line in out.splitlines() if line.strip()}
    for name in ("heavy", "heavy-quadratic", "lite", "fu", "fu-64", "fu-64-bounded", "transformer", "gru", "gated"):
        assert name in rows, name
    assert "nan" not in out.split("=== targets")[0].split("-- tiny")[1]


AVX2 = {"sse3", "avx", "avx2", "fma"}
AVX512 = AVX2 | {"avx512f", "avx512cd", "avx512bw", "avx512dq", "avx512vl"}


@pytest.mark.parametrize("core, flags, expected", [
    ("Prescott", AVX512, "SkylakeX"),  # a CPU OpenBLAS does not know, with AVX-512
    ("Prescott", AVX512 - {"avx512vl"}, "Haswell"),
    ("Prescott", AVX2, "Haswell"),
    ("Prescott", {"sse3"}, None),  # the generic kernels are what the CPU runs
    ("SkylakeX", AVX512, None),  # OpenBLAS's own choice stands
    ("Haswell", AVX512, None),
    ("n/a", AVX512, None),  # no OpenBLAS
])
def test_generic_blas_kernels_are_replaced_only_where_the_cpu_runs_better_ones(core, flags, expected):
    sys.path.insert(0, BENCH)
    try:
        from train_step import better_core
    finally:
        sys.path.remove(BENCH)
    assert better_core(core, flags) == expected


@pytest.mark.parametrize("length, chunk", [(1, 4), (7, 4), (8, 4), (33, 8)])
def test_gated_recurrence_baseline_scans_like_the_recurrence(length, chunk):
    sys.path.insert(0, BENCH)
    try:
        from baselines import gated_scan
    finally:
        sys.path.remove(BENCH)
    gen = torch.Generator().manual_seed(0)
    delta = torch.randn(2, length, 3, generator=gen, dtype=torch.float64)
    gate = torch.randn(2, length, 3, generator=gen, dtype=torch.float64)
    a = 0.8
    state, expected = torch.zeros(2, 3, dtype=torch.float64), []
    for t in range(length):
        state = a * state + (1 - a) * gate[:, t] * delta[:, t]
        expected.append(state)
    got = gated_scan(delta, gate, torch.tensor(a, dtype=torch.float64).log(), chunk=chunk)
    torch.testing.assert_close(got, torch.stack(expected, 1))

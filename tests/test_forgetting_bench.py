"""Smoke run of the forgetting benchmark, in this process (a few steps at tiny sizes)."""
import importlib.util
import math
import os

import torch

from support import ROOT

SCRIPT = os.path.join(ROOT, "bench", "forgetting.py")


def load_program():
    spec = importlib.util.spec_from_file_location("forgetting", SCRIPT)
    program = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(program)
    return program


def test_quick_run_prints_one_row_per_variant_and_setting(capsys):
    results = load_program().main(["--quick"])
    out = capsys.readouterr().out.splitlines()
    expected = [(v, s) for v in ("fu", "heavy") for s in ("defaults", "promoting", "control")]
    assert [(r["variant"], r["setting"]) for r in results] == expected
    for r in results:
        for key in ("a_before", "a_after", "b_before", "b_after"):
            assert math.isfinite(r[key]) and 0 < r[key] < 10
        assert r["engrams"] >= 0 and all(phase in "AB" for phase, _, _ in r["promotions"])
    rows = [line.split()[:2] for line in out if line.split()[:1] in (["fu"], ["heavy"])]
    assert rows == [list(e) for e in expected]
    assert out[-1].startswith("total ")


def test_settings_reach_every_fortress_and_the_control_returns_the_gradient():
    program = load_program()
    args = program.parse_args(["--quick"])
    model = program.build("fu", "control", args)
    memories = program.fortresses(model)
    assert memories
    for f in memories:
        assert (f._tau_stable_steps, f._calm_window_steps, f._cov_samples_min) == (32, 0, 8)
        grad = torch.ones(2, 3, f.d_state)
        assert f.create_joint_basis_projection_hook()(grad) is grad

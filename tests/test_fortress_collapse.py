"""The collapse-union gate: one flag per condition, the first failing condition's code."""
import math

import pytest
import torch

from fortress_support import memory

GATE = ["last_collapse_ok", "collapse_cond_tension_ok", "collapse_cond_drop_ok", "collapse_cond_delta_ok",
        "collapse_cond_quality_ok", "collapse_cond_stable_ok", "collapse_cond_cooldown_ok",
        "collapse_bottleneck_code"]
CONDITIONS = ["collapse_cond_tension_ok", "collapse_cond_drop_ok", "collapse_cond_delta_ok",
              "collapse_cond_stable_ok", "collapse_cond_cooldown_ok"]


def ready(mem, streak=24, dz=2.0, ddelta=-1e-3, step=1000, last_union=0, engrams=0):
    """Every condition of the gate met (with the defaults), then the given changes."""
    mem.tension_high_streak.fill_(streak)
    mem.last_friction_drop_z.fill_(dz)
    mem.last_delta_dance_friction.fill_(ddelta)
    mem.global_step.fill_(step)
    mem.last_union_step.fill_(last_union)
    for i in range(engrams):
        mem.engram_stack.append((torch.zeros(mem.d_state, mem._k_max), 1, 0.9, None))
    return mem


def flags(mem):
    return [getattr(mem, n).item() for n in CONDITIONS]


@pytest.mark.parametrize("mode", ["structural", "both", "", "dual "])
def test_other_union_modes_switch_the_gate_off(mode):
    mem = ready(memory(union_mode=mode))
    for name in GATE:
        getattr(mem, name).fill_(3)
    untouched = {k: v.clone() for k, v in mem.state_dict().items() if k not in GATE}
    assert mem._compute_collapse_ok(True, True) is False
    assert all(getattr(mem, name).item() == 0 for name in GATE)
    assert all(torch.equal(mem.state_dict()[k], v) for k, v in untouched.items())


# (changes to `ready`, stable, trainer_ok, bottleneck, condition flags tension/drop/delta/stable/cooldown)
CASES = {
    "all met": ({}, True, True, 0, [1, 1, 1, 1, 1]),
    "fresh streak": ({"streak": 0, "dz": 0.0, "ddelta": 0.0}, False, False, 1, [0, 0, 0, 0, 1]),
    "streak one short": ({"streak": 23}, True, True, 1, [0, 1, 1, 1, 1]),
    "drop exactly at threshold": ({"dz": 1.5}, True, True, 0, [1, 1, 1, 1, 1]),
    "drop just below": ({"dz": 1.4999}, True, True, 2, [1, 0, 1, 1, 1]),
    "delta well below": ({"ddelta": -2e-06}, True, True, 0, [1, 1, 1, 1, 1]),
    "delta zero": ({"ddelta": 0.0}, True, True, 3, [1, 1, 0, 1, 1]),
    "delta -1e-6 rounds short in float32": ({"ddelta": -1e-06}, True, True, 3, [1, 1, 0, 1, 1]),
    "drop infinite": ({"dz": math.inf}, True, True, 5, [1, 1, 1, 0, 1]),
    "drop nan": ({"dz": math.nan}, True, True, 2, [1, 0, 1, 0, 1]),
    "delta nan": ({"ddelta": math.nan}, True, True, 3, [1, 1, 0, 0, 1]),
    "trainer not calm": ({}, True, False, 5, [1, 1, 1, 0, 1]),
    "not stable": ({}, False, True, 5, [1, 1, 1, 0, 1]),
    "cooldown exactly met": ({"engrams": 1, "step": 1128, "last_union": 1000}, True, True, 0, [1, 1, 1, 1, 1]),
    "cooldown one short": ({"engrams": 1, "step": 1127, "last_union": 1000}, True, True, 6, [1, 1, 1, 1, 0]),
    "no engram ignores the union step": ({"step": 5, "last_union": 5}, True, True, 0, [1, 1, 1, 1, 1]),
    "earlier failure hides cooldown": ({"engrams": 1, "step": 0, "streak": 0}, True, True, 1, [0, 1, 1, 1, 0]),
}


@pytest.mark.parametrize("changes, stable, trainer_ok, code, expected", CASES.values(), ids=CASES.keys())
@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
def test_conditions_and_bottleneck(changes, stable, trainer_ok, code, expected, dtype):
    mem = ready(memory().to(dtype), **changes)
    result = mem._compute_collapse_ok(stable=stable, trainer_ok=trainer_ok)
    assert result is (code == 0)
    assert flags(mem) == expected
    assert mem.collapse_bottleneck_code.item() == code and mem.collapse_bottleneck_code.dtype == torch.int64
    assert mem.last_collapse_ok.item() == (1.0 if code == 0 else 0.0)


def test_quality_flag_is_left_to_the_decision():
    mem = ready(memory(union_mode="collapse"))
    mem.collapse_cond_quality_ok.fill_(1.0)
    assert mem._compute_collapse_ok(True, True) is True
    ready(mem, streak=0)
    assert mem._compute_collapse_ok(True, True) is False
    assert mem.collapse_cond_quality_ok.item() == 1.0


def test_settings_and_truth_values():
    mem = ready(memory(collapse_tension_high_streak_steps=3, collapse_friction_drop_z=0.5,
                       collapse_delta_friction_thresh=0.1, collapse_cooldown_steps=10),
                streak=3, dz=0.5, ddelta=-0.1, engrams=2, step=20, last_union=10)
    assert mem._compute_collapse_ok(torch.tensor(True), 1) is True
    assert mem._compute_collapse_ok(torch.tensor(False), 1) is False
    assert mem.collapse_bottleneck_code.item() == 5


def test_an_ambiguous_argument_fails_before_any_write():
    mem = ready(memory())
    before = {k: v.clone() for k, v in mem.state_dict().items()}
    with pytest.raises(RuntimeError, match="ambiguous"):
        mem._compute_collapse_ok(True, torch.tensor([True, False]))
    with pytest.raises(TypeError, match="_compute_collapse_ok"):
        mem._compute_collapse_ok(True)
    assert all(torch.equal(mem.state_dict()[k], v) for k, v in before.items())

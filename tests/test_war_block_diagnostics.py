import re

import pytest
import torch

from block_support import OpCounter, add_engram, force_stable, make_block, spy

# Block keys always present: key -> fortress buffer and conversion (None: not a buffer read).
BLOCK_KEYS = {
    "surprisal_score": None, "state_variance_ema": None, "fortress_step": ("global_step", int),
    "sacred_engrams": None, "stable_steps": ("stable_steps", int), "z_mu_ema": ("z_mu_ema", float),
    "fortress_stable": None, "fortress_stable_streak": ("stable_streak", int),
    "fortress_cov_samples": ("cov_n", int), "fortress_can_promote": ("last_can_promote", float),
    "union_event": ("last_promotion_event", float), "union_reason": None,
}
# Keys present with pressure coupling on.
PRESSURE_KEYS = {
    "vgt_pressure": "global_pressure", "vgt_pressure_prev": "pressure_prev", "vgt_pressure_raw": "last_pressure_raw",
    "vgt_avg_conflict": "last_avg_conflict", "vgt_surprisal": "last_surprisal",
    "vgt_dance_friction": "last_dance_friction", "last_dance_friction_nonfinite": "last_dance_friction_nonfinite",
    "last_cov_trace": "last_cov_trace", "last_cov_isfinite": "last_cov_isfinite",
    "last_candidate_norm": "last_candidate_norm", "last_candidate_rank": "last_candidate_rank",
    "last_promotion_blocker_code": "last_promotion_blocker_code", "last_dance_z": "last_dance_z",
    "last_drift_z": "last_drift_z", "last_calm_band_thresh": "last_calm_band_thresh",
    "last_calm_drift_thresh": "last_calm_drift_thresh", "cosmic_surprisal_z": "cosmic_surprisal_z",
    "shakti_tension_z": "shakti_tension_z", "cosmic_shock": "cosmic_shock", "shakti_flash": "shakti_flash",
    "vgt_dance_friction_centered": "last_dance_friction_centered",
    "vgt_delta_pressure_raw": "last_delta_pressure_raw", "vgt_delta_dance_friction": "last_delta_dance_friction",
    "vgt_spike_applied": "last_spike_applied", "trainer_calm_ok": "trainer_calm_ok",
    "bounded_calm_ok": "bounded_calm_ok", "adaptive_calm_ok": "adaptive_calm_ok",
    "vgt_surprisal_mean": "surprisal_mean_ema", "vgt_surprisal_std": "surprisal_std_ema",
    "vgt_sync_mean": "dance_friction_mean_ema", "vgt_sync_std": "dance_friction_std_ema",
    "collapse_ok": "last_collapse_ok", "tension_high_streak": "tension_high_streak", "friction_ema": "friction_ema",
    "friction_drop_z": "last_friction_drop_z", "last_union_mode": None, "last_union_step": "last_union_step",
    "union_mode_config": None, "structural_quality_ema": "structural_quality_ema",
    "collapse_quality_ema": "collapse_quality_ema", "last_structural_quality_score": "last_structural_quality_score",
    "last_collapse_quality_score": "last_collapse_quality_score", "last_union_mode_code": "last_union_mode_code",
    "post_union_loss_delta": "post_union_loss_delta", "post_union_steps_left": "post_union_steps_left",
    "candidate_quality_score_raw": "last_candidate_quality_score_raw",
    "structural_trigger_value": "last_structural_trigger_value", "stable_ready_value": "last_stable_ready_value",
    "trainer_ok_value": "last_trainer_ok_value",
    "structural_would_promote_if_quality_ge_040": "last_structural_would_promote_if_quality_ge_040",
    "structural_quality_threshold_config": None, "collapse_cond_tension_ok": "collapse_cond_tension_ok",
    "collapse_cond_drop_ok": "collapse_cond_drop_ok", "collapse_cond_delta_ok": "collapse_cond_delta_ok",
    "collapse_cond_quality_ok": "collapse_cond_quality_ok", "collapse_cond_stable_ok": "collapse_cond_stable_ok",
    "collapse_cond_cooldown_ok": "collapse_cond_cooldown_ok", "collapse_bottleneck_code": "collapse_bottleneck_code",
    "max_engram_usage": "max_engram_usage", "active_engram_count": "active_engram_count",
    "engram_usage_available": "engram_usage_available",
}
PRESSURE_BUFFERS = {k: v for k, v in PRESSURE_KEYS.items() if v}
INT_BUFFERS = {"last_candidate_rank", "last_promotion_blocker_code", "tension_high_streak", "last_union_step",
               "last_union_mode_code", "post_union_steps_left", "collapse_bottleneck_code", "active_engram_count"}
ENGRAM_FIELDS = ["_k", "_lambda", "_usage", "_conflict", "_yielding"]


def inputs(seed=1):
    return torch.randn(2, 3, 4, generator=torch.Generator().manual_seed(seed))


def run(block, state=None):
    return block.forward_with_diagnostics(inputs(), state, True)[1]


def with_integrator_entries(block, entries):
    original = block.integrator.forward_with_diagnostics

    def forward(*args, **kwargs):
        sigma, _ = original(*args, **kwargs)
        return sigma, dict(entries)

    block.integrator.forward_with_diagnostics = forward


def distinct_buffers(block):
    """Makes the last fortress call before the diagnostics give every reported buffer its own
    value, so a key reading the wrong buffer shows."""
    values = {}

    def lifecycle():
        for i, (key, name) in enumerate(list(PRESSURE_BUFFERS.items()) + [(k, v[0]) for k, v in BLOCK_KEYS.items() if v]):
            value = 100 + i if name in INT_BUFFERS | {"global_step", "stable_steps", "stable_streak", "cov_n"} \
                else i + 0.25
            getattr(block.fortress, name).fill_(value)
            values[key] = value

    block.fortress.lifecycle_management = lifecycle
    return values


def test_layout_with_pressure_coupling():
    block = make_block()
    with_integrator_entries(block, {"flow": 1.5, "surprisal_score": "integrator's"})
    diagnostics = run(block)
    assert list(diagnostics) == ["flow", "surprisal_score"] + list(BLOCK_KEYS)[1:] + list(PRESSURE_KEYS)
    assert len(diagnostics) == 2 + 11 + 61
    assert isinstance(diagnostics["surprisal_score"], float) and diagnostics["flow"] == 1.5


def test_layout_without_pressure_coupling():
    block = make_block(enable_vgt=False)
    add_engram(block.fortress)
    diagnostics = run(block)
    assert list(diagnostics) == list(BLOCK_KEYS) + ["engram_0" + f for f in ENGRAM_FIELDS]
    for absent in ("vgt_pressure", "collapse_ok", "max_engram_usage"):
        assert absent not in diagnostics


def test_switch_is_read_when_the_dictionary_is_built():
    block = make_block()
    block.fortress.lifecycle_management = lambda: setattr(block.fortress_config, "enable_vgt", False)
    assert "vgt_pressure" not in run(block)


def test_values_come_from_their_buffers():
    block = make_block()
    expected = distinct_buffers(block)
    diagnostics = run(block)
    for key, value in expected.items():
        if key in ("max_engram_usage", "active_engram_count"):  # refreshed after the lifecycle call
            value = getattr(block.fortress, key).item()
        assert diagnostics[key] == value, key
        assert type(diagnostics[key]) is type(value), key


def test_block_values():
    block = make_block()
    force_stable(block.fortress, True)
    diagnostics = run(block)
    assert diagnostics["fortress_step"] == 1 and diagnostics["sacred_engrams"] == 0
    assert diagnostics["fortress_stable"] == 1.0 and type(diagnostics["fortress_stable"]) is float
    assert diagnostics["state_variance_ema"] == block.state_variance_ema.item()
    assert diagnostics["union_reason"] == block.fortress.last_promotion_reason()
    assert (diagnostics["last_union_mode"], diagnostics["union_mode_config"]) == ("none", 3)
    assert diagnostics["structural_quality_threshold_config"] == 0.7
    force_stable(block.fortress, False)
    assert run(block)["fortress_stable"] == 0.0


def test_surprisal_is_the_calls_score():
    block = make_block()
    scores = []
    original = block.integrator.compute_surprisal

    def compute(*args):
        score = original(*args)
        scores.append(score.item())
        return score

    block.integrator.compute_surprisal = compute
    assert run(block)["surprisal_score"] == scores[-1]


@pytest.mark.parametrize("settings, mode_code, config_code, threshold", [
    ({"union_mode": "Structural"}, 1, 1, 0.7),
    ({"union_mode": "collapse", "quality_threshold": 1}, 2, 2, 1.0),
    ({"union_mode": "other"}, 3, 3, 0.7),
])
def test_union_modes_and_threshold(settings, mode_code, config_code, threshold):
    block = make_block(**settings)
    block.fortress.lifecycle_management = lambda: block.fortress.last_union_mode.fill_(mode_code)
    diagnostics = run(block)
    assert diagnostics["last_union_mode"] == {1: "structural", 2: "collapse", 3: "forced"}[mode_code]
    assert diagnostics["union_mode_config"] == config_code
    assert diagnostics["structural_quality_threshold_config"] == threshold
    assert type(diagnostics["structural_quality_threshold_config"]) is float


@pytest.mark.parametrize("count", [0, 1, 5])
def test_engram_keys(count):
    block = make_block()
    for i in range(count):
        add_engram(block.fortress, k=1 + i % 3, current_lambda=2.0 + i, usage_ema=0.1 * i, conflict_ema=0.05 * i,
                   is_yielding=i % 2 == 1)
    diagnostics = run(block)
    keys = [k for k in diagnostics if re.match(r"engram_\d", k)]
    assert keys == [f"engram_{i}{f}" for i in range(min(count, 3)) for f in ENGRAM_FIELDS]
    for i, (_, k, _, meta) in enumerate(block.fortress.engram_stack[:3]):
        values = [diagnostics[f"engram_{i}{f}"] for f in ENGRAM_FIELDS]
        assert values == [k, meta.current_lambda, meta.usage_ema, meta.conflict_ema, meta.is_yielding]
        assert type(values[0]) is int and type(values[-1]) is bool
    assert diagnostics["sacred_engrams"] == count


def test_engram_count_is_the_list_length_not_the_buffer():
    block = make_block()
    add_engram(block.fortress)
    block.fortress.sacred_engrams.fill_(7)
    assert run(block)["sacred_engrams"] == 1
    fresh = make_block(seed=1)
    fresh.load_state_dict(block.state_dict())
    assert fresh.fortress.sacred_engrams.item() == 7 and run(fresh)["sacred_engrams"] == 0


def test_usage_metrics_refreshed_only_with_diagnostics():
    block = make_block()
    add_engram(block.fortress)
    calls = spy(block.fortress, "compute_engram_usage_metrics")
    block.fortress.max_engram_usage.fill_(0.375)
    block.fortress.active_engram_count.fill_(9)
    _, diagnostics = block.forward_with_diagnostics(inputs())
    assert diagnostics == {} and calls == []
    assert (block.fortress.max_engram_usage.item(), block.fortress.active_engram_count.item()) == (0.375, 9)
    run(block)
    (_, (sigma,), kwargs), = calls
    assert kwargs == {} and sigma.shape == (2, 3, 4)


@pytest.mark.parametrize("break_it, error, match", [
    (lambda f: f.register_buffer("cov_n", torch.zeros(2, dtype=torch.long)), RuntimeError, "2 elements"),
    (lambda f: f.engram_stack.append((torch.zeros(4, 4), 1, 0.5)), ValueError, "not enough values to unpack"),
    (lambda f: delattr(f, "last_collapse_ok"), AttributeError, "last_collapse_ok"),
])
def test_failures_while_filling(break_it, error, match):
    block = make_block()
    block.fortress.lifecycle_management = lambda: break_it(block.fortress)
    with pytest.raises(error, match=match):
        run(block)
    assert block.fortress.global_step.item() == 1  # the call's own changes stay


@pytest.mark.parametrize("enable_vgt", [True, False])
def test_the_dictionary_costs_one_read_not_an_operation_per_key(enable_vgt):
    # Values held in host memory are read where they lie: asking for the diagnostics adds a
    # handful of tensor operations to a call (the usage refresh), not several per key.
    block = make_block(enable_vgt=enable_vgt)
    add_engram(block.fortress)
    x = inputs()
    block.forward_with_diagnostics(x, None, True)
    with OpCounter() as plain:
        block.forward_with_diagnostics(x, None, False)
    with OpCounter() as diagnosed:
        block.forward_with_diagnostics(x, None, True)
    assert diagnosed.total - plain.total <= 40, (diagnosed.counts - plain.counts)
    assert diagnosed.counts["_local_scalar_dense"] - plain.counts["_local_scalar_dense"] <= 2


@pytest.mark.parametrize("dtype", [torch.float64, torch.float16, torch.int32, torch.bool])
def test_values_of_every_dtype_read_as_item_converts_them(dtype):
    block = make_block()
    values = {}

    def lifecycle():
        for key, name in (("vgt_pressure_prev", "pressure_prev"), ("last_candidate_rank", "last_candidate_rank"),
                          ("collapse_bottleneck_code", "collapse_bottleneck_code")):
            t = torch.tensor(2.75 if dtype.is_floating_point else 1).to(dtype)
            block.fortress.register_buffer(name, t)
            values[key] = (t.double() if key == "vgt_pressure_prev" else t.long()).item()

    block.fortress.lifecycle_management = lifecycle
    diagnostics = run(block)
    for key, value in values.items():
        assert diagnostics[key] == value and type(diagnostics[key]) is type(value), key


def test_non_finite_values_of_integer_keys_convert_as_the_tensor_library_does():
    block = make_block()
    expected = {}

    def lifecycle():
        for name, v in (("last_candidate_rank", float("nan")), ("collapse_bottleneck_code", float("inf")),
                        ("last_union_step", -1e30)):
            getattr(block.fortress, name).fill_(v) if getattr(block.fortress, name).is_floating_point() else \
                block.fortress.register_buffer(name, torch.tensor(v))
            expected[name] = torch.tensor(v).long().item()

    block.fortress.lifecycle_management = lifecycle
    diagnostics = run(block)
    assert diagnostics["last_candidate_rank"] == expected["last_candidate_rank"]
    assert diagnostics["collapse_bottleneck_code"] == expected["collapse_bottleneck_code"]
    assert diagnostics["last_union_step"] == expected["last_union_step"]

import dataclasses
import types

import pytest
import torch

from silver_kestrel.architectures.heavy_core import fortress_engine as fe

# The state-dict layout outside probes and converters rely on, in registration order.
BUFFERS = """
z_mu_ema z_m2_ema stable_steps stable_streak cov_C cov_mean cov_n global_step next_engram_id
sacred_engrams global_pressure pressure_prev last_avg_conflict last_surprisal last_dance_friction
last_pressure_raw dance_friction_baseline prev_dance_friction prev_pressure_raw
last_dance_friction_centered last_delta_dance_friction last_delta_pressure_raw last_spike_applied
last_dance_friction_nonfinite trainer_calm_run trainer_calm_ok ema_abs_delta_dance calm_streak
bounded_calm_ok dance_kl_ema_mean dance_kl_ema_var delta_dance_kl_ema_mean delta_dance_kl_ema_var
adaptive_calm_ok last_can_promote last_promotion_event last_promotion_reason_code
promotion_happened_any last_cov_trace last_cov_isfinite last_candidate_norm last_candidate_rank
last_promotion_blocker_code last_dance_z last_drift_z last_calm_band_thresh last_calm_drift_thresh
cosmic_surprisal_z shakti_tension_z cosmic_shock shakti_flash friction_ema friction_ema_absdev
tension_high_streak last_union_step last_union_mode last_collapse_ok last_friction_drop_z
structural_quality_ema collapse_quality_ema last_structural_quality_score last_collapse_quality_score
post_union_loss_delta post_union_steps_left post_union_baseline_loss last_union_mode_code
last_candidate_quality_score_raw last_structural_trigger_value last_stable_ready_value
last_trainer_ok_value last_structural_would_promote_if_quality_ge_040 collapse_cond_tension_ok
collapse_cond_drop_ok collapse_cond_delta_ok collapse_cond_quality_ok collapse_cond_stable_ok
collapse_cond_cooldown_ok collapse_bottleneck_code max_engram_usage active_engram_count
engram_usage_available surprisal_mean_ema surprisal_std_ema dance_friction_mean_ema
dance_friction_std_ema
""".split()
INT64 = set("""
stable_steps stable_streak cov_n global_step next_engram_id sacred_engrams calm_streak
last_promotion_reason_code last_candidate_rank last_promotion_blocker_code tension_high_streak
last_union_step last_union_mode post_union_steps_left last_union_mode_code collapse_bottleneck_code
active_engram_count
""".split())
INT32 = {"trainer_calm_run"}
FLOAT32 = set("""
structural_quality_ema collapse_quality_ema last_structural_quality_score last_collapse_quality_score
post_union_loss_delta post_union_baseline_loss last_candidate_quality_score_raw
""".split())
NONZERO_INITIAL = {
    "z_mu_ema": 1.5, "z_m2_ema": 0.5, "dance_kl_ema_var": 1.0, "delta_dance_kl_ema_var": 1.0,
    "last_cov_isfinite": 1.0, "last_candidate_rank": -1, "friction_ema_absdev": 1.0,
    "last_union_step": -1000000, "last_structural_quality_score": -1.0, "last_collapse_quality_score": -1.0,
    "post_union_baseline_loss": -1.0, "engram_usage_available": 1.0, "surprisal_mean_ema": 1.5,
    "surprisal_std_ema": 1.0, "dance_friction_std_ema": 1.0,
}

# Copied settings in the order the memory reads them from the record (the two derived ones in
# their places), with the attribute each is stored under.
COPIED = [
    "tau_mu", "tau_sigma", "tau_stable_steps", ("explained_variance_threshold", "_explained_var_threshold"),
    "k_min", ("k_max_ratio", "_k_max"), "quality_threshold", "lambda_min", "lambda_max", "protection_halflife",
    "w_temporal", "w_usage", "w_conflict", "conflict_sharpness", "max_warning_penalty_db", "conflict_threshold",
    "yield_enter_threshold", "yield_exit_threshold", "sustained_conflict_window", "yield_cooldown_steps",
    "yield_ramp_steps", "rebuild_steps", "squash_power", "alpha_max", "touch_epsilon",
    "usage_reinforcement_factor", "eternal_usage_threshold", "reinforcement_boost_steps", "min_grad_norm",
    "conflict_ema_decay", "allow_demotion", "demotion_check_interval", "min_global_gradient_ratio",
    "emergency_energy_floor", "cov_samples_min", "cov_decay", "cov_outlier_threshold",
    "enable_outlier_rejection", ("long_term_ema_decay", "_long_term_decay"), "eps", "enable_vgt",
    "w_conflict_pressure", "w_surprisal_pressure", "w_sync_pressure", "pressure_ema_decay", "beta_pressure",
    "g_min", "g_max", "max_pressure_delta", "enable_nonlinear_spike", "dance_spike_tau", "dance_spike_epsilon",
    "spike_multiplier", "dance_baseline_decay", "spike_warmup_steps", "trainer_calm_eps", "trainer_calm_tau",
    "trainer_calm_steps", "bounded_sync_band", "drift_threshold", "calm_window_steps", "kl_temperature",
    "calm_band_std_mult", "calm_drift_std_mult", "debug_force_promote", "debug_force_promote_stable_steps",
    "debug_force_promote_cov_min", "promotion_candidate_jitter", "promotion_fallback_mode",
    "promotion_min_candidate_norm", "world_tension_base_steps", "cosmic_surprisal_z_threshold",
    "shakti_tension_z_threshold", "tension_requires_world_calm", ("union_mode", "_union_mode"),
    "collapse_tension_high_z", "collapse_tension_high_streak_steps", "collapse_friction_ema_decay",
    "collapse_friction_drop_z", "collapse_delta_friction_thresh", "collapse_cooldown_steps",
    "collapse_quality_floor", "union_quality_ema_decay", "post_union_eval_horizon", "usage_active_thresh",
]
COPIED = [c if isinstance(c, tuple) else (c, "_" + c) for c in COPIED]
NOT_COPIED = ["spectral_gap_ratio", "use_spectral_gap", "max_engrams", "orthogonality_threshold",
              "use_joint_basis_protection", "demotion_usage_threshold", "demotion_quality_threshold",
              "demotion_conflict_threshold"]


def memory(d_state=4, **settings):
    return fe.FortressUnbrokenMemory(d_state, fe.FortressUnbrokenConfig(**settings))


def step_everything(mem):
    mem.forward_step()
    mem.update_surprisal_stats(torch.tensor(0.7))
    mem._update_global_pressure(torch.tensor(0.2), torch.tensor(1.1), torch.tensor(0.3))
    mem._update_global_pressure(torch.tensor(0.2), torch.tensor(1.1), torch.tensor(0.3),
                                fast_logits=torch.randn(2, 3, 5), slow_logits=torch.randn(2, 3, 5))


def expected_dtype(name, default):
    return torch.int64 if name in INT64 else torch.int32 if name in INT32 else \
        torch.float32 if name in FLOAT32 else default


@pytest.mark.parametrize("default_dtype", [torch.float32, torch.float64])
def test_buffers_names_order_dtypes_shapes_and_initial_values(default_dtype):
    previous = torch.get_default_dtype()
    torch.set_default_dtype(default_dtype)
    try:
        mem = memory(d_state=6)
    finally:
        torch.set_default_dtype(previous)
    state = mem.state_dict()
    assert list(state) == BUFFERS and len(BUFFERS) == 85
    assert [name for name, _ in mem.named_buffers()] == BUFFERS
    assert list(mem.parameters()) == [] and list(mem.children()) == []
    for name, tensor in state.items():
        assert tensor.dtype == expected_dtype(name, default_dtype), name
        assert tensor.shape == {"cov_C": (6, 6), "cov_mean": (6,)}.get(name, ()), name
        assert tensor.device.type == "cpu"
        assert torch.all(tensor == NONZERO_INITIAL.get(name, 0)), name
    # The second moment starts below the squared mean.
    assert mem.z_m2_ema < mem.z_mu_ema ** 2


def test_float_casts_keep_integer_buffers():
    mem = memory().to(torch.float64)
    for name, tensor in mem.named_buffers():
        assert tensor.dtype == (torch.int64 if name in INT64 else torch.int32 if name in INT32 else torch.float64)
    step_everything(mem)  # the operations follow the cast buffers
    assert mem.global_pressure.dtype == torch.float64 and mem.calm_streak.dtype == torch.int64


def test_buffers_keep_their_identity_through_updates():
    mem = memory()
    before = {name: (t, t.data_ptr(), t.dtype) for name, t in mem.named_buffers()}
    for _ in range(3):
        step_everything(mem)
    assert mem.global_step == 3 and mem.z_mu_ema != 1.5 and mem.global_pressure > 0
    for name, t in mem.named_buffers():
        assert (t, t.data_ptr(), t.dtype) == before[name], name
        assert t.grad_fn is None and not t.requires_grad, name
    state = mem.state_dict()
    assert all(state[name].data_ptr() == before[name][1] for name in BUFFERS)


def test_settings_are_the_records_own_objects():
    config = fe.FortressUnbrokenConfig(tau_mu=2, eps=1e-07, promotion_fallback_mode="POWER", union_mode="Dual")
    mem = fe.FortressUnbrokenMemory(16, config)
    assert mem.config is config and mem.d_state == 16
    for field, attr in COPIED:
        if attr not in ("_k_max", "_union_mode"):
            assert getattr(mem, attr) is getattr(config, field), attr
    assert mem._tau_mu == 2 and type(mem._tau_mu) is int
    assert mem._promotion_fallback_mode == "POWER"  # lower-cased where it is used, not here
    assert mem._union_mode == "dual"
    for field in NOT_COPIED + ["k_max_ratio"]:
        assert not hasattr(mem, "_" + field), field
    assert not hasattr(mem, "_explained_variance_threshold") and not hasattr(mem, "_long_term_ema_decay")
    stored = {attr for _, attr in COPIED}
    assert [n for n in vars(mem) if n in stored] == [attr for _, attr in COPIED]


def test_plain_attributes():
    mem = memory()
    assert mem.E_joint is None and mem.alpha_vector is None and mem.joint_basis_dirty is True
    assert mem.engram_stack == [] and mem._alpha_ema == 0.99
    assert memory().engram_stack is not mem.engram_stack


@pytest.mark.parametrize("d_state, k_min, ratio, k_max", [
    (2560, 4, 0.25, 640), (16, 4, 0.25, 4), (8, 4, 0.25, 4), (2, 4, 0.25, 4), (16, 2, 0.3, 4),
    (10, 4, 0.45, 4), (10, 4, 0.59, 5),
])
def test_largest_rank(d_state, k_min, ratio, k_max):
    mem = fe.FortressUnbrokenMemory(d_state, fe.FortressUnbrokenConfig(k_min=k_min, k_max_ratio=ratio))
    assert mem._k_max == k_max and type(mem._k_max) is int


def test_largest_rank_tie_keeps_k_min():
    config = fe.FortressUnbrokenConfig(k_min=4.0, k_max_ratio=0.25)
    mem = fe.FortressUnbrokenMemory(16, config)
    assert mem._k_max is config.k_min


@pytest.mark.parametrize("mode, stored", [("DUAL", "dual"), ("Structural", "structural"), ("cOLLAPSE", "collapse"),
                                          (None, "none"), (3, "3")])
def test_union_mode_is_lower_cased_text(mode, stored):
    assert memory(union_mode=mode)._union_mode == stored


@pytest.mark.parametrize("missing, first", [
    (["cov_samples_min", "enable_vgt"], "cov_samples_min"),  # read before enable_vgt, declared after it
    (["k_max_ratio", "quality_threshold"], "k_max_ratio"),
    (["usage_active_thresh"], "usage_active_thresh"),
])
def test_record_lacking_a_field_fails_on_the_first_one_read(missing, first):
    fields = {f.name: getattr(fe.FortressUnbrokenConfig(), f.name) for f in dataclasses.fields(fe.FortressUnbrokenConfig)}
    for name in missing:
        del fields[name]
    with pytest.raises(AttributeError, match=first):
        fe.FortressUnbrokenMemory(4, types.SimpleNamespace(**fields))


def test_record_without_inert_and_later_read_fields_builds_a_memory():
    fields = {f.name: getattr(fe.FortressUnbrokenConfig(), f.name) for f in dataclasses.fields(fe.FortressUnbrokenConfig)}
    for name in NOT_COPIED:
        del fields[name]
    mem = fe.FortressUnbrokenMemory(4, types.SimpleNamespace(**fields))
    assert len(mem.state_dict()) == 85


def test_later_changes_to_the_record_reach_only_what_is_read_through_it():
    config = fe.FortressUnbrokenConfig()
    mem = fe.FortressUnbrokenMemory(4, config)
    config.tau_mu = 9.0
    config.max_engrams = 2
    assert mem._tau_mu == 1.2 and mem.config.max_engrams == 2


def test_forward_step_counts_and_continues_after_a_load():
    mem = memory()
    results = [mem.forward_step() for _ in range(5)]
    assert results == [None] * 5 and mem.global_step.item() == 5
    mem.engram_stack.append("an engram")
    restored = memory()
    restored.load_state_dict(mem.state_dict())
    assert restored.engram_stack == []
    restored.forward_step()
    assert restored.global_step.item() == 6 and restored.global_step.dtype == torch.int64


def test_methods_in_definition_order_and_docs():
    cls = fe.FortressUnbrokenMemory
    assert cls.__bases__ == (torch.nn.Module,) and cls.__module__ == fe.__name__
    assert [n for n in vars(cls) if not n.startswith("__") or n == "__init__"] == [
        "__init__", "forward_step", "_apply", "_compute_pressure", "_update_global_pressure", "update_surprisal_stats",
        "accumulate_covariance", "_compute_adaptive_rank", "_compute_alpha", "_compute_protection_strength",
        "_update_joint_basis", "create_joint_basis_projection_hook", "_update_yielding_state", "_reason_to_code",
        "_code_to_reason", "last_promotion_reason", "_record_promotion_reason", "_record_blocker_reason",
        "_set_promotion_diagnostics", "_union_mode_code", "_union_mode_name", "_union_mode_config_code",
        "_compute_diag_fallback_candidate",
        "_compute_collapse_ok", "update_post_union_impact", "compute_engram_usage_metrics",
        "_compute_promotion_candidate", "_promote_candidate", "maybe_promote_to_deep_engram",
        "lifecycle_management"]
    assert cls.forward_step.__doc__ == "Increment global step counter."
    assert cls.update_surprisal_stats.__doc__ == "Update surprisal statistics and detect stability."
    assert cls._compute_pressure.__doc__ == "VGT: Compute shared pressure scalar from exhaust signals."
    with pytest.raises(NotImplementedError):
        memory()()  # no forward computation of its own


INERT = dict(spectral_gap_ratio=9.0, use_spectral_gap=True, orthogonality_threshold=0.9,
             use_joint_basis_protection=False, yield_ramp_steps=1, rebuild_steps=1, reinforcement_boost_steps=1,
             dance_baseline_decay=0.1, trainer_calm_eps=9.0, trainer_calm_tau=9.0, trainer_calm_steps=1,
             bounded_sync_band=9.0, drift_threshold=9.0, world_tension_base_steps=1)
UNTOUCHED = {"dance_friction_baseline": 0.0, "ema_abs_delta_dance": 0.0, "trainer_calm_run": 0,
             "trainer_calm_ok": 0.0, "engram_usage_available": 1.0}


def test_inert_settings_and_untouched_buffers():
    def run(**settings):
        torch.manual_seed(0)
        mem = memory(**settings)
        for friction in (0.3, float("nan"), 0.0, 0.0, float("inf"), 0.1):
            step_everything(mem)
            mem._update_global_pressure(torch.tensor(0.1), torch.tensor(0.9), torch.tensor(friction))
        return mem

    plain, inert = run(enable_nonlinear_spike=True), run(enable_nonlinear_spike=True, **INERT)
    assert len(INERT) == 14
    for name, value in plain.state_dict().items():
        assert torch.equal(value, inert.state_dict()[name]), name
    for name, initial in UNTOUCHED.items():
        assert getattr(plain, name).item() == initial, name

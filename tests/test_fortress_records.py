import dataclasses
import typing

import pytest

from silver_kestrel.architectures.heavy_core import fortress_engine as fe

# name, declared type, default: the record's public contract, in declaration order.
CONFIG_FIELDS = [
    ("tau_mu", float, 1.2), ("tau_sigma", float, 0.3), ("tau_stable_steps", int, 256),
    ("explained_variance_threshold", float, 0.95), ("k_min", int, 4), ("k_max_ratio", float, 0.25),
    ("quality_threshold", float, 0.7), ("spectral_gap_ratio", float, 1.5), ("use_spectral_gap", bool, False),
    ("max_engrams", int, 8), ("orthogonality_threshold", float, 0.3), ("use_joint_basis_protection", bool, True),
    ("lambda_min", float, 0.05), ("lambda_max", float, 15.0), ("protection_halflife", int, 10000),
    ("w_temporal", float, 1.0), ("w_usage", float, 0.8), ("w_conflict", float, 1.2),
    ("conflict_sharpness", float, 1.5), ("max_warning_penalty_db", float, 1.5), ("conflict_threshold", float, 0.3),
    ("yield_enter_threshold", float, 0.6), ("yield_exit_threshold", float, 0.35),
    ("sustained_conflict_window", int, 200), ("yield_cooldown_steps", int, 200), ("yield_ramp_steps", int, 50),
    ("rebuild_steps", int, 200), ("squash_power", float, 2.5), ("alpha_max", float, 0.98),
    ("touch_epsilon", float, 1e-05), ("usage_reinforcement_factor", float, 1.5),
    ("eternal_usage_threshold", float, 0.15), ("reinforcement_boost_steps", int, 50),
    ("min_grad_norm", float, 1e-06), ("conflict_ema_decay", float, 0.99), ("allow_demotion", bool, True),
    ("demotion_usage_threshold", float, 0.075), ("demotion_quality_threshold", float, 0.6),
    ("demotion_conflict_threshold", float, 0.2), ("demotion_check_interval", int, 64),
    ("min_global_gradient_ratio", float, 0.7), ("emergency_energy_floor", float, 0.3), ("enable_vgt", bool, True),
    ("w_conflict_pressure", float, 0.5), ("w_surprisal_pressure", float, 0.3), ("w_sync_pressure", float, 0.2),
    ("pressure_ema_decay", float, 0.96), ("beta_pressure", float, 0.3), ("g_min", float, 0.1),
    ("g_max", float, 1.0), ("max_pressure_delta", float, 0.2), ("enable_nonlinear_spike", bool, False),
    ("dance_spike_tau", float, 0.02), ("dance_spike_epsilon", float, 0.05), ("spike_multiplier", float, 3.0),
    ("dance_baseline_decay", float, 0.95), ("spike_warmup_steps", int, 1), ("trainer_calm_eps", float, 0.02),
    ("trainer_calm_tau", float, 0.01), ("trainer_calm_steps", int, 20), ("bounded_sync_band", float, 0.2),
    ("drift_threshold", float, 0.05), ("calm_window_steps", int, 12), ("kl_temperature", float, 2.0),
    ("calm_band_std_mult", float, 1.0), ("calm_drift_std_mult", float, 1.0), ("debug_force_promote", bool, False),
    ("debug_force_promote_stable_steps", int, 12), ("debug_force_promote_cov_min", int, 8),
    ("promotion_candidate_jitter", float, 1e-06), ("promotion_fallback_mode", str, "power"),
    ("promotion_min_candidate_norm", float, 1e-08), ("world_tension_base_steps", int, 8),
    ("cosmic_surprisal_z_threshold", float, 1.0), ("shakti_tension_z_threshold", float, 1.5),
    ("tension_requires_world_calm", bool, True), ("union_mode", str, "dual"),
    ("collapse_tension_high_z", float, 1.5), ("collapse_tension_high_streak_steps", int, 24),
    ("collapse_friction_ema_decay", float, 0.98), ("collapse_friction_drop_z", float, 1.5),
    ("collapse_delta_friction_thresh", float, 1e-06), ("collapse_cooldown_steps", int, 128),
    ("collapse_quality_floor", float, 0.15), ("union_quality_ema_decay", float, 0.95),
    ("post_union_eval_horizon", int, 50), ("usage_active_thresh", float, 0.05), ("cov_samples_min", int, 64),
    ("cov_decay", float, 0.999), ("cov_outlier_threshold", float, 3.0), ("enable_outlier_rejection", bool, True),
    ("long_term_ema_decay", float, 0.995), ("eps", float, 1e-08),
]

ENGRAM_FIELDS = [
    ("engram_id", int, dataclasses.MISSING), ("hierarchy_level", int, 0),
    ("parent_ids", typing.Optional[typing.List[int]], None), ("consolidation_step", int, 0),
    ("steps_since_consolidation", int, 0), ("last_usage_step", int, 0), ("usage_ema", float, 0.0),
    ("quality_ema", float, 1.0), ("conflict_ema", float, 0.0), ("current_lambda", float, 15.0),
    ("reinforcement_count", int, 0), ("yielding_count", int, 0), ("is_abstract", bool, False),
    ("is_demoted", bool, False), ("is_yielding", bool, False), ("yield_cooldown", int, 0),
    ("conflict_steps_high", int, 0), ("steps_since_exit", int, 0),
]


@pytest.mark.parametrize("cls, expected, doc", [
    (fe.FortressUnbrokenConfig, CONFIG_FIELDS, "Configuration for Fortress Unbroken v7.2.2-FU with stability fixes."),
    (fe.EngramMetadata, ENGRAM_FIELDS, "Metadata for a single engram in the fortress."),
])
def test_record_fields_types_and_defaults(cls, expected, doc):
    assert dataclasses.is_dataclass(cls)
    assert cls.__module__ == fe.__name__ and cls.__qualname__ == cls.__name__
    assert cls.__doc__ == doc
    fields = dataclasses.fields(cls)
    assert [(f.name, f.type, f.default) for f in fields] == expected
    for f in fields:
        if f.default is not dataclasses.MISSING and f.default is not None:
            assert type(f.default) is f.type, f.name


def test_config_defaults_by_keyword_and_by_position():
    default = fe.FortressUnbrokenConfig()
    assert default == fe.FortressUnbrokenConfig(**{name: value for name, _, value in CONFIG_FIELDS})
    assert default == fe.FortressUnbrokenConfig(*[value for _, _, value in CONFIG_FIELDS])
    assert repr(default).startswith("FortressUnbrokenConfig(tau_mu=1.2, tau_sigma=0.3, ")


def test_config_as_the_cores_build_it_differs_in_beta_pressure_only():
    default = fe.FortressUnbrokenConfig()
    core = fe.FortressUnbrokenConfig(enable_vgt=True, beta_pressure=0.4)
    differing = [f.name for f in dataclasses.fields(core) if getattr(core, f.name) != getattr(default, f.name)]
    assert differing == ["beta_pressure"]


@pytest.mark.parametrize("make", [
    lambda: fe.FortressUnbrokenConfig(*range(94)),
    lambda: fe.FortressUnbrokenConfig(no_such_setting=1),
    lambda: fe.EngramMetadata(),
    lambda: fe.EngramMetadata(1, bogus=2),
], ids=["94 positional", "unknown setting", "engram without id", "unknown engram field"])
def test_generated_constructors_reject_bad_calls(make):
    with pytest.raises(TypeError):
        make()


@pytest.mark.parametrize("record", [fe.FortressUnbrokenConfig(), fe.EngramMetadata(0)])
def test_records_are_mutable_comparable_and_unhashable(record):
    twin = dataclasses.replace(record)
    assert twin == record and twin is not record
    first = dataclasses.fields(record)[0].name
    setattr(twin, first, 123)
    assert twin != record
    with pytest.raises(TypeError):
        {record: 1}
    with pytest.raises(TypeError):
        record < twin


def test_config_accepts_any_values_without_checks():
    config = fe.FortressUnbrokenConfig(tau_mu="high", k_min=None, union_mode=3)
    assert (config.tau_mu, config.k_min, config.union_mode) == ("high", None, 3)


def test_engram_parent_ids():
    a, b = fe.EngramMetadata(1), fe.EngramMetadata(2)
    assert a.parent_ids == [] and a.parent_ids is not b.parent_ids
    a.parent_ids.append(7)
    assert b.parent_ids == []
    given = []
    assert fe.EngramMetadata(3, parent_ids=given).parent_ids is given
    kept = (4, 5)
    assert fe.EngramMetadata(3, 0, kept).parent_ids is kept


def test_engram_as_promotion_creates_it():
    record = fe.EngramMetadata(engram_id=5, consolidation_step=300, quality_ema=0.82)
    assert (record.engram_id, record.consolidation_step, record.quality_ema) == (5, 300, 0.82)
    assert (record.usage_ema, record.conflict_ema, record.current_lambda, record.is_yielding) == (0.0, 0.0, 15.0, False)
    assert record.yielding_count == record.yield_cooldown == record.conflict_steps_high == record.steps_since_exit == 0
    assert record.__post_init__() is None

import math

import pytest

from silver_kestrel.architectures.heavy_core import fortress_engine as fe


def memory(**settings):
    return fe.FortressUnbrokenMemory(4, fe.FortressUnbrokenConfig(**settings))


def engram(**fields):
    return fe.EngramMetadata(engram_id=0, **fields)


def reference_strength(age=0, usage=0.0, conflict=0.0, yielding=False):
    """The strength formula written out with the default settings."""
    lambda_t = max(15.0 * math.exp(-age / 10000), 0.05)
    u = 1.5 if usage > 0.15 else 1.0
    if yielding:
        return 0.05
    c = 1.0
    if conflict > 0.3:
        c = math.exp(-min(1.5 * ((conflict - 0.3) / (0.6 - 0.3)), 1.5))
    lam = math.exp(1.0 * math.log(lambda_t + 1e-08) + 0.8 * math.log(u) + 1.2 * math.log(c + 1e-08))
    return max(min(lam, 15.0), 0.05)


# ---------------------------------------------------------------------------------------------
# Protection strength


@pytest.mark.parametrize("fields, expected", [
    ({}, 15.0),
    (dict(steps_since_consolidation=10000), 5.518192),
    (dict(steps_since_consolidation=10000, usage_ema=0.5), 7.632552),
    (dict(steps_since_consolidation=10000, usage_ema=0.15), 5.518192),   # equality: no reinforcement
    (dict(conflict_ema=0.3), 15.0),                                       # equality: no penalty
    (dict(conflict_ema=0.45), 6.098545),
    (dict(conflict_ema=0.6), 2.479483),
    (dict(conflict_ema=0.9), 2.479483),                                   # penalty exponent capped
    (dict(is_yielding=True, usage_ema=0.9, conflict_ema=0.9), 0.05),
    (dict(is_yielding=True, steps_since_consolidation=123), 0.05),
])
def test_protection_strength_with_default_settings(fields, expected):
    result = memory()._compute_protection_strength(engram(**fields), 0)
    assert type(result) is float
    assert result == pytest.approx(expected, abs=1e-6)


@pytest.mark.parametrize("age, usage, conflict", [
    (0, 0.0, 0.0), (2500, 0.2, 0.35), (10000, 0.5, 0.5), (40000, 0.0, 0.59), (7, 0.151, 0.31), (-3, 0.0, 0.0),
])
def test_protection_strength_is_the_interpreters_arithmetic(age, usage, conflict):
    md = engram(steps_since_consolidation=age, usage_ema=usage, conflict_ema=conflict)
    assert memory()._compute_protection_strength(md, 0) == reference_strength(age, usage, conflict)


def test_very_old_engram_stays_at_the_floor():
    result = memory()._compute_protection_strength(engram(steps_since_consolidation=1000000), 0)
    assert 0.05 < result < 0.05 + 1e-6


def test_yielding_strength_is_the_floor_exactly():
    mem = memory(lambda_min=0.125)
    assert mem._compute_protection_strength(engram(is_yielding=True), 0) == 0.125


def test_current_step_is_checked_but_not_used():
    mem, md = memory(), engram(steps_since_consolidation=500)
    results = {mem._compute_protection_strength(md, step) for step in (0, 10**6, 3.7, True)}
    assert len(results) == 1
    assert mem._compute_protection_strength(metadata=md, current_step=1) in results
    with pytest.raises(TypeError, match="current_step"):
        mem._compute_protection_strength(md, "5")
    with pytest.raises(TypeError, match="current_step"):
        mem._compute_protection_strength(md, None)


def with_attributes(mem, settings):
    """The memory with its copied settings changed afterwards: the configuration refuses these
    values, so only a later assignment reaches the computation."""
    for name, value in settings.items():
        setattr(mem, "_" + name, value)
    return mem


@pytest.mark.parametrize("settings, fields, error", [
    (dict(yield_enter_threshold=0.3), dict(conflict_ema=0.5), ZeroDivisionError),
    (dict(protection_halflife=0), {}, ZeroDivisionError),
    (dict(usage_reinforcement_factor=0.0), dict(usage_ema=0.5), ValueError),
])
def test_degenerate_settings_raise_the_interpreters_errors(settings, fields, error):
    with pytest.raises(ValueError, match=f"^{next(iter(settings))} must be"):
        memory(**settings)
    with pytest.raises(error):
        with_attributes(memory(), settings)._compute_protection_strength(engram(**fields), 0)


def test_strength_reads_nothing_but_the_record():
    mem, md = memory(), engram(conflict_ema=0.5, usage_ema=0.4, steps_since_consolidation=99)
    before = (repr(md), {k: v.clone() for k, v in mem.state_dict().items()})
    mem._compute_protection_strength(md, 5)
    assert repr(md) == before[0]
    assert all((v == before[1][k]).all() for k, v in mem.state_dict().items())


# ---------------------------------------------------------------------------------------------
# Projection coefficient


@pytest.mark.parametrize("settings, args, expected", [
    ({}, (15.0,), 0.98),
    ({}, (15.0, 1.0), 0.98 * 0.7),
    ({}, (15.0, 0.5), 0.98 * 0.85),
    ({}, (15.0, -0.5), 0.98),
    ({}, (15.0, float("nan")), 0.98),
    (dict(enable_vgt=False), (15.0, 1.0), 0.98),
    ({}, (7.5,), 0.5 ** 2.5),
    ({}, (7.5, 0.0), 0.5 ** 2.5),
    ({}, (0.05,), (0.05 / 15.0) ** 2.5),
    ({}, (0.05, 1.0), (0.05 / 15.0) ** 2.5),       # pressure never goes below the floor
    ({}, (0.052, 1.0), (0.05 / 15.0) ** 2.5),
    (dict(beta_pressure=2.0), (15.0, 1.0), (0.05 / 15.0) ** 2.5),
    (dict(alpha_max=1.0), (15.0,), 1.0),
    ({}, (30.0,), 0.98),                           # capped before the bias
])
def test_projection_coefficient(settings, args, expected):
    result = memory(**settings)._compute_alpha(*args)
    assert type(result) is float
    assert result == pytest.approx(expected, rel=1e-12)


def test_projection_coefficient_arguments():
    mem = memory()
    assert mem._compute_alpha(15) == mem._compute_alpha(15.0) == 0.98
    assert mem._compute_alpha(lambda_val=15.0, pressure=1) == pytest.approx(0.686)
    for bad in ("15", None, [15.0]):
        with pytest.raises(TypeError, match="lambda_val"):
            mem._compute_alpha(bad)
    with pytest.raises(TypeError, match="pressure"):
        mem._compute_alpha(15.0, "high")


@pytest.mark.parametrize("settings, lambda_val, error", [
    (dict(lambda_max=0.0), 1.0, ZeroDivisionError),
    ({}, -1.0, ValueError),  # a negative strength has no real coefficient
])
def test_projection_coefficient_errors(settings, lambda_val, error):
    with pytest.raises(error):
        with_attributes(memory(), settings)._compute_alpha(lambda_val)

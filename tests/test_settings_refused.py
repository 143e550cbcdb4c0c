"""Settings that cannot work (a zero divisor or modulus, no heads, a negative rank or size) are
refused where they are given, with a ValueError naming the setting, instead of failing in a later
call; the values next to them still work."""
import dataclasses
import math

import pytest
import torch

from silver_kestrel import kestrel_model as km
from silver_kestrel.architectures.heavy_core import fortress_engine as fe
from silver_kestrel.architectures.heavy_core import heavy_core as hc

Config = fe.FortressUnbrokenConfig


def altered(**settings):
    """A fortress configuration whose fields were changed after it was made."""
    config = Config()
    for name, value in settings.items():
        setattr(config, name, value)
    return config


def model_config(**sizes):
    return dataclasses.replace(km.KestrelModelConfig(vocab_size=32, d_model=8, d_state=8, n_layers=1), **sizes)


def altered_model_config(**sizes):
    config = model_config()
    for name, value in sizes.items():
        setattr(config, name, value)
    return config


BLOCK_CONFIG = fe.TevUnifiedConfig(d_model=8, d_state=8, n_layers=1)

REFUSED = [
    (lambda: Config(demotion_check_interval=0), "demotion_check_interval must be positive, got 0"),
    (lambda: Config(demotion_check_interval=-64), "demotion_check_interval must be positive, got -64"),
    (lambda: Config(protection_halflife=0), "protection_halflife must be positive, got 0"),
    (lambda: Config(protection_halflife=-1.0), "protection_halflife must be positive, got -1.0"),
    (lambda: Config(protection_halflife=math.nan), "protection_halflife must be positive, got nan"),
    (lambda: Config(lambda_max=0.0), "lambda_max must be positive, got 0.0"),
    (lambda: Config(lambda_min=-0.05), "lambda_min must be non-negative, got -0.05"),
    (lambda: Config(usage_reinforcement_factor=0.0), "usage_reinforcement_factor must be positive, got 0.0"),
    (lambda: Config(kl_temperature=0.0), "kl_temperature must be positive, got 0.0"),
    (lambda: Config(k_min=-1), "k_min must be non-negative, got -1"),
    (lambda: Config(yield_enter_threshold=0.3), "yield_enter_threshold must be different from conflict_threshold, got 0.3"),
    # A record changed after it was made is checked again by the memory that copies it.
    (lambda: fe.FortressUnbrokenMemory(8, altered(demotion_check_interval=0)),
     "demotion_check_interval must be positive, got 0"),
    (lambda: fe.WarEngineTevZOZU_V722_FU(BLOCK_CONFIG, altered(kl_temperature=-2.0)),
     "kl_temperature must be positive, got -2.0"),
    (lambda: hc.MorvaCrossAttention(8, n_heads=0), "n_heads must be positive, got 0"),
    (lambda: hc.MorvaCrossAttention(8, n_heads=-2), "n_heads must be positive, got -2"),
    (lambda: hc.LinearMorvaCrossAttention(8, n_heads=-2), "n_heads must be positive, got -2"),
    (lambda: hc.LinearMorvaCrossAttention(-8), "d_model must be non-negative, got -8"),
    (lambda: hc.OptimizedMorvaCHA(16, n_heads=-1), "n_heads must be positive, got -1"),
    (lambda: hc.OptimizedMorvaCHA(0), "d_model must be at least n_heads (8), got 0"),
    (lambda: hc.OptimizedMorvaRadar(-3), "d_model must be non-negative, got -3"),
    (lambda: hc.OptimizedMorvaRadar(8, max_l=-1), "max_l must be non-negative, got -1"),
    (lambda: km.KestrelModelConfig(vocab_size=0), "vocab_size must be positive, got 0"),
    (lambda: km.KestrelModelConfig(d_model=0), "d_model must be positive, got 0"),
    (lambda: km.KestrelModelConfig(d_state=-1), "d_state must be non-negative, got -1"),
    (lambda: km.KestrelModelConfig(n_layers=-1), "n_layers must be non-negative, got -1"),
    (lambda: km.create_kestrel_model(vocab_size=0, d_model=8, d_state=8, n_layers=1),
     "vocab_size must be positive, got 0"),
    (lambda: km.KestrelCausalLM(altered_model_config(d_model=0)), "d_model must be positive, got 0"),
    (lambda: km.KestrelCausalLMLayered(altered_model_config(vocab_size=0)), "vocab_size must be positive, got 0"),
]


@pytest.mark.parametrize("make, message", REFUSED, ids=[m for _, m in REFUSED])
def test_impossible_settings_are_refused_where_given(make, message):
    with pytest.raises(ValueError) as info:
        make()
    assert str(info.value) == message


ACCEPTED = [
    lambda: Config(demotion_check_interval=1, k_min=0, lambda_min=0.0, calm_window_steps=0, tau_stable_steps=0,
                   max_engrams=0, cov_samples_min=0, kl_temperature=1e-3),
    lambda: Config(demotion_check_interval=None, yield_enter_threshold="0.3"),  # left to the code that reads them
    lambda: hc.MorvaCrossAttention(8, n_heads=1),
    lambda: hc.OptimizedMorvaCHA(8, n_heads=8),
    lambda: hc.OptimizedMorvaRadar(0, max_l=0),
    lambda: km.KestrelModelConfig(d_state=0, n_layers=0),
]


@pytest.mark.parametrize("make", ACCEPTED)
def test_the_values_next_to_them_are_accepted(make):
    make()


def test_the_smallest_demotion_interval_runs():
    torch.manual_seed(0)
    block = fe.WarEngineTevZOZU_V722_FU(BLOCK_CONFIG, Config(demotion_check_interval=1))
    for _ in range(2):
        y, _ = block.forward_with_diagnostics(torch.randn(2, 4, 8), state=None, return_diagnostics=True)
        assert torch.isfinite(y).all()

"""A refused call changes nothing: every input and setting is checked before the first write, in
the war engine block, the fortress memory's per-call methods, the split engines, the integrators
and the cores, whose later block, radar, pressure update or shock control must not refuse a call
after their first block has run."""
import pytest
import torch

from silver_kestrel.architectures.heavy_core import fortress_engine as fe
from silver_kestrel.architectures.heavy_core import heavy_core as hc
from silver_kestrel.architectures.heavy_core import split_engine as se
from silver_kestrel.architectures.fortress_core import fortress_core as fc
from silver_kestrel.architectures.lite_core import lite_core as lc
from block_support import add_engram, make_block, make_config


def snapshot(module):
    """The whole state dict, every carried state, every engram list and hook handle."""
    state = {k: v.clone() for k, v in module.state_dict().items()}
    for name, m in module.named_modules():
        if isinstance(m, se.ListeningIntegratorV2):
            state[name + ".sigma_prev"] = m.sigma_prev.clone()
        if hasattr(m, "engram_stack"):
            state[name + ".engram_stack"] = [(e[1], e[3].engram_id) for e in m.engram_stack]
        if hasattr(m, "_sigma_hook_handle"):
            state[name + "._sigma_hook_handle"] = id(m._sigma_hook_handle)
            state[name + "._sigma_hook_pending"] = [id(h) for h in getattr(m, "_sigma_hook_pending", [])]
        for counter in ("shock_cooldown", "active_shock_freeze", "boundary_history"):
            if hasattr(m, counter):
                state[name + "." + counter] = list(getattr(m, counter)) if counter == "boundary_history" \
                    else getattr(m, counter)
    return state


def assert_unchanged(after, before):
    assert list(after) == list(before)
    for key, value in before.items():
        if isinstance(value, torch.Tensor):
            assert torch.equal(after[key], value), key
        else:
            assert after[key] == value, key


def x(B=2, T=3, S=4):
    return torch.randn(B, T, S, generator=torch.Generator().manual_seed(3))


def setting(target, name, value):
    return lambda block: setattr(target(block), name, value)


fortress = lambda block: block.fortress  # noqa: E731
itself = lambda block: block  # noqa: E731


def block_call(block):
    return block.forward_with_diagnostics(x(), None, True)


# (prepare, call, error, match): `prepare` spoils the block, `call` is refused.
BLOCK_CASES = {
    "length_0": (None, lambda b: b.forward_with_diagnostics(torch.zeros(2, 0, 4)), IndexError, "length 0"),
    "float_setting_text": (setting(fortress, "_w_sync_pressure", "x"), block_call, TypeError, "_w_sync_pressure"),
    "float_setting_none": (setting(fortress, "_eps", None), block_call, TypeError, "_eps"),
    "int_setting_text": (setting(fortress, "_cov_samples_min", "64"), block_call, TypeError, "_cov_samples_min"),
    "bool_setting_tensor": (setting(fortress, "_enable_outlier_rejection", torch.ones(2)), block_call,
                            RuntimeError, "ambiguous"),
    "collapse_floor_text": (setting(fortress, "_collapse_quality_floor", "x"), block_call, TypeError,
                            "_collapse_quality_floor"),
    "k_max_text": (setting(fortress, "_k_max", "x"), block_call, TypeError, "_k_max"),
    "alpha_ema_text": (setting(fortress, "_alpha_ema", "x"), block_call, TypeError, "_alpha_ema"),
    "demotion_interval_0": (setting(fortress, "_demotion_check_interval", 0), block_call, ZeroDivisionError, ""),
    "demotion_threshold_text": (lambda b: setattr(b.fortress.config, "demotion_quality_threshold", "x"),
                                block_call, TypeError, "<"),
    "max_engrams_text": (lambda b: setattr(b.fortress.config, "max_engrams", "8"), block_call, TypeError, ">="),
    "g_min_text": (setting(itself, "_g_min", "x"), block_call, TypeError, "_g_min"),
    "surprisal_decay_text": (lambda b: setattr(b.integrator, "surprisal_decay", "x"), block_call, TypeError,
                             "surprisal_decay"),
    "d_state_text": (lambda b: setattr(b.config, "d_state", "x"), block_call, TypeError, "d_state"),
    # The fortress's own methods, called directly.
    "pressure_weight": (setting(fortress, "_w_sync_pressure", "x"),
                        lambda b: b.fortress._update_global_pressure(torch.tensor(0.0), torch.tensor(1.0),
                                                                     torch.tensor(0.2)),
                        TypeError, "_w_sync_pressure"),
    "surprisal_eps": (setting(fortress, "_eps", "x"), lambda b: b.fortress.update_surprisal_stats(torch.tensor(1.0)),
                      TypeError, "_eps"),
    "surprisal_tau_sigma": (setting(fortress, "_tau_sigma", "x"),
                            lambda b: b.fortress.update_surprisal_stats(torch.tensor(0.5)), TypeError, "_tau_sigma"),
    "promotion_floor": (setting(fortress, "_collapse_quality_floor", "x"),
                        lambda b: b.fortress.maybe_promote_to_deep_engram(stable=True, trainer_ok=True),
                        TypeError, "_collapse_quality_floor"),
}


@pytest.mark.parametrize("case", list(BLOCK_CASES))
def test_block_and_fortress_refusals_change_nothing(case):
    prepare, call, error, match = BLOCK_CASES[case]
    block = make_block()
    add_engram(block.fortress)
    block.forward_with_diagnostics(x().requires_grad_(), None, True)
    if prepare:
        prepare(block)
    before = snapshot(block)
    with pytest.raises(error, match=match):
        call(block)
    assert_unchanged(snapshot(block), before)


def engine_config():
    return se.TevUnifiedConfig(d_model=4, d_state=6, n_layers=1)


ENGINE_CASES = {
    "war_length_0": (lambda: se.WarEngineTevZOZU_V32(engine_config()), None,
                     lambda e: e(torch.zeros(2, 0, 4)), IndexError, "length 0"),
    "war_diagnostics_length_0": (lambda: se.WarEngineTevZOZU_V32(engine_config()), None,
                                 lambda e: e.forward_with_diagnostics(torch.zeros(2, 0, 4)), IndexError, "length 0"),
    "war_surprisal_decay": (lambda: se.WarEngineTevZOZU_V32(engine_config()),
                            lambda e: setattr(e.integrator, "surprisal_decay", "x"),
                            lambda e: e(torch.randn(2, 3, 4)), TypeError, "surprisal_decay"),
    "war_d_state": (lambda: se.WarEngineTevZOZU_V32(engine_config()),
                    lambda e: setattr(e.config, "d_state", "x"),
                    lambda e: e(torch.randn(2, 3, 4)), TypeError, "d_state"),
    "war_state_batch": (lambda: se.WarEngineTevZOZU_V32(engine_config()), None,
                        lambda e: e.forward_with_diagnostics(torch.randn(3, 3, 4), {"sigma_prev": torch.zeros(2, 6)}),
                        RuntimeError, "must match"),
    "siege_step_batch": (lambda: se.InferenceEngineTevZOZU_V32(engine_config()), None,
                         lambda e: e.step(torch.randn(3, 1, 4), torch.zeros(2, 6)), RuntimeError, "must match"),
    "integrator_length_0": (lambda: se.ListeningIntegratorV32(engine_config()), None,
                            lambda e: e.compute_surprisal(torch.zeros(2, 0, 6), torch.zeros(2, 6)),
                            IndexError, "out of range"),
    "integrator_decay": (lambda: se.ListeningIntegratorV32(engine_config()),
                         lambda e: setattr(e, "surprisal_decay", "x"),
                         lambda e: e.compute_surprisal(torch.zeros(2, 1, 6), torch.zeros(2, 6)),
                         TypeError, "surprisal_decay"),
    "integrator_start_batch": (lambda: se.ListeningIntegratorV2(engine_config()), None,
                               lambda e: e.forward_with_diagnostics(torch.zeros(3, 2, 6), torch.zeros(3, 2, 6),
                                                                    {"sigma_prev": torch.zeros(2, 6)}),
                               RuntimeError, "start must be"),
    "integrator_reset_decay": (lambda: se.ListeningIntegratorV2(engine_config()), None,
                               lambda e: e.reset_sequence("x"), TypeError, "decay_factor"),
}


@pytest.mark.parametrize("case", list(ENGINE_CASES))
def test_engine_and_integrator_refusals_change_nothing(case):
    make, prepare, call, error, match = ENGINE_CASES[case]
    torch.manual_seed(0)
    engine = make()
    if isinstance(engine, se.ListeningIntegratorV2) and not hasattr(engine, "surprisal_ema"):
        engine(torch.randn(2, 3, 6), torch.rand(2, 3, 6))
    elif hasattr(engine, "input_proj"):
        engine(torch.randn(2, 3, 4))
    if prepare:
        prepare(engine)
    before = snapshot(engine)
    with pytest.raises(error, match=match):
        call(engine)
    assert_unchanged(snapshot(engine), before)


# The cores, each with its first and its later block (one block for both paths when shared).
CORES = {
    "heavy": lambda: hc.ZuravMorvaV8_2H(make_config(8), fe.FortressUnbrokenConfig()),
    "heavy_shared": lambda: hc.ZuravMorvaV8_2H(make_config(8), fe.FortressUnbrokenConfig(), shared_backbone=True),
    "heavy_quadratic": lambda: hc.ZuravMorvaV8_2H(make_config(8), fe.FortressUnbrokenConfig(), "quadratic"),
    "two_head": lambda: hc.ZuravMorvaEngine(make_config(8), fe.FortressUnbrokenConfig()),
    "lite": lambda: lc.ZuravMorvaV8_2(make_config(8), fe.FortressUnbrokenConfig()),
    "fortress": lambda: fc.FortressFUCore(make_config(8), None),
}


def blocks(core):
    if isinstance(core, hc.ZuravMorvaEngine):
        return core.shakti_head, core.shiva_head
    return core.fast_path, getattr(core, "slow_path", core.fast_path)


def core_call(core, x, state=None):
    if isinstance(core, hc.ZuravMorvaEngine):
        return core.forward_with_diagnostics(x, state, True)
    return core(x, state)


def later(name, value, where=lambda block: block.fortress):
    return lambda core: setattr(where(blocks(core)[1]), name, value)


def refuse_radar(core):
    def refuse(module, inputs):
        raise RuntimeError("radar refused")

    core.radar.register_forward_pre_hook(refuse)


DUAL = ["heavy", "heavy_shared", "heavy_quadratic", "two_head", "lite"]
HEAVY = ["heavy", "heavy_shared", "heavy_quadratic"]

# (cores, prepare, input, error, match): `prepare` spoils the later stages of a core (its second
# block for a dual-path core), whose call with `input` is then refused.
CORE_CASES = {
    "length_0": (list(CORES), None, (2, 0), IndexError, "length 0"),
    "pressure_weight": (list(CORES), later("_w_sync_pressure", "x"), (2, 3), TypeError, "_w_sync_pressure"),
    "demotion_interval_0": (list(CORES), later("_demotion_check_interval", 0), (2, 3), ZeroDivisionError, ""),
    "g_max_text": (list(CORES), later("_g_max", "x", lambda block: block), (2, 3), TypeError, "_g_max"),
    "surprisal_decay": (list(CORES), later("surprisal_decay", None, lambda block: block.integrator), (2, 3),
                        TypeError, "surprisal_decay"),
    "carried_state_width": (list(CORES), later("sigma_prev", torch.zeros(2, 5), lambda block: block.integrator),
                            (2, 3), RuntimeError, "must match"),
    # The disagreement temperature: read as float() by the heavy cores' sync error, then by the
    # pressure update given both heads' logits.
    "kl_temperature_text": (["heavy", "heavy_shared", "two_head"], later("_kl_temperature", "x"), (2, 3),
                            ValueError, "could not convert"),
    "kl_temperature_numeric_text": (DUAL, later("_kl_temperature", "2.0"), (2, 3), TypeError, "_kl_temperature"),
    "radar": (DUAL, refuse_radar, (2, 3), RuntimeError, "radar refused"),
    "shock_cooldown_text": (HEAVY, lambda core: setattr(core, "shock_cooldown", "x"), (2, 3), TypeError, "'>'"),
    "shock_freeze_text": (HEAVY, lambda core: setattr(core, "active_shock_freeze", None), (2, 3), TypeError, "'>'"),
    "shock_threshold_text": (HEAVY, lambda core: setattr(core, "shock_threshold_z", "x"), (2, 3), TypeError,
                             "'>='"),
}


@pytest.mark.parametrize("core_name, case", [(c, k) for k, v in CORE_CASES.items() for c in v[0]])
def test_core_refusals_change_nothing(core_name, case):
    _, prepare, (B, T), error, match = CORE_CASES[case]
    torch.manual_seed(0)
    core = CORES[core_name]()
    for block in blocks(core):
        if not block.fortress.engram_stack:
            add_engram(block.fortress)
    core_call(core, torch.randn(2, 3, 8, requires_grad=True))  # hooks, counters and carried states in place
    if prepare:
        prepare(core)
    before = snapshot(core)
    with pytest.raises(error, match=match):
        core_call(core, torch.randn(B, T, 8))
    assert_unchanged(snapshot(core), before)


@pytest.mark.parametrize("core_name", list(CORES))
def test_core_checks_leave_successful_calls_alone(core_name):
    """The checks run before the blocks change no result: two copies of a core, one of them with
    its blocks' checks removed, agree on every output and state after a few calls."""
    torch.manual_seed(0)
    core = CORES[core_name]()
    torch.manual_seed(0)
    plain = CORES[core_name]()
    plain.load_state_dict(core.state_dict())
    for block in blocks(plain):
        block._check_forward = None  # a block without the check entry is run unchecked
    for step in range(3):
        x = torch.randn(2, 4, 8, generator=torch.Generator().manual_seed(step))
        y, _ = core_call(core, x)
        y_plain, _ = core_call(plain, x)
        assert torch.equal(y, y_plain)
    without_hooks = lambda state: {k: v for k, v in state.items() if "_sigma_hook" not in k}  # noqa: E731
    assert_unchanged(without_hooks(snapshot(core)), without_hooks(snapshot(plain)))

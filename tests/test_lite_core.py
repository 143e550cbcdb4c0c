import collections
import copy
import math
import typing

import pytest
import torch

from silver_kestrel.architectures.heavy_core import fortress_engine as fe
from silver_kestrel.architectures.heavy_core import heavy_core as hc
from silver_kestrel.architectures.lite_core import lite_core as lc
from block_support import make_config, spy

Core = lc.ZuravMorvaV8_2
WIDTH = 8


def make_core(width=WIDTH, seed=0, **settings):
    torch.manual_seed(seed)
    return Core(make_config(width), fe.FortressUnbrokenConfig(**settings))


def inputs(B=2, T=5, D=WIDTH, seed=1):
    return torch.randn(B, T, D, generator=torch.Generator().manual_seed(seed))


def reference_forward(core, x, state=None):
    """The core's forward written out with the public pieces it is made of."""
    y_fast, diag_fast = core.fast_path.forward_with_diagnostics(x, state, True)
    y_slow, diag_slow = core.slow_path.forward_with_diagnostics(core.radar(x), state, True)
    slow = core.slow_path.fortress
    if core.slow_path.fortress_config.enable_vgt:
        dtype = slow.global_pressure.dtype
        sync = torch.mean(torch.abs(y_fast.detach() - y_slow.detach())).to(x.device, dtype)
        surprisal = torch.tensor(float(diag_slow.get("surprisal_score", 1.0)), device=x.device, dtype=dtype)
        slow._update_global_pressure(torch.tensor(0.0, dtype=dtype), surprisal, sync,
                                     fast_logits=y_fast.detach(), slow_logits=y_slow.detach())
    P = slow.global_pressure
    bridge = core.cross_attn(y_fast, y_slow, P)
    slow_weight = torch.sigmoid(core.routing_sharpness * (P - core.routing_threshold))
    return y_fast * (1.0 - slow_weight) + bridge * slow_weight, float(P.item())


def test_module_names():
    names = [n for n in vars(lc) if not n.startswith("__")]
    assert names == ["Dict", "Optional", "Tuple", "torch", "nn", "WarEngineTevZOZU_V722_FU", "TevUnifiedConfig",
                     "FortressUnbrokenConfig", "OptimizedMorvaRadar", "LinearMorvaCrossAttention", "ZuravMorvaV8_2"]
    assert (lc.Dict, lc.Optional, lc.Tuple, lc.torch, lc.nn) == (typing.Dict, typing.Optional, typing.Tuple, torch,
                                                                 torch.nn)
    for name in ("WarEngineTevZOZU_V722_FU", "TevUnifiedConfig", "FortressUnbrokenConfig"):
        assert getattr(lc, name) is getattr(fe, name)
    assert lc.OptimizedMorvaRadar is hc.OptimizedMorvaRadar
    assert lc.LinearMorvaCrossAttention is hc.LinearMorvaCrossAttention
    assert Core.__bases__ == (torch.nn.Module,)
    assert (Core.__module__, Core.__qualname__) == ("silver_kestrel.architectures.lite_core.lite_core",
                                                    "ZuravMorvaV8_2")
    assert [n for n in vars(Core) if not n.startswith("__") or n == "__init__"] == ["__init__", "forward"]
    assert "v8.2a" in Core.__doc__ and "(hidden, diagnostics)" in Core.__doc__
    doc = lc.__doc__.lower()
    assert all(t in doc for t in ("radar", "fast and slow", "linear cross-headed attention", "o(l)", "pressure"))


def test_construction():
    config, fortress_config = make_config(WIDTH), fe.FortressUnbrokenConfig(g_min=0.2)
    core = Core(config, fortress_config=fortress_config)
    assert list(core._modules) == ["fast_path", "radar", "slow_path", "cross_attn"]
    assert isinstance(core.radar, hc.OptimizedMorvaRadar) and core.radar.max_l == 65536
    assert isinstance(core.cross_attn, hc.LinearMorvaCrossAttention) and core.cross_attn.n_heads == 8
    fast, slow = core.fast_path, core.slow_path
    assert fast is not slow and fast.fortress is not slow.fortress
    assert fast.config is slow.config is config
    assert fast.fortress_config is slow.fortress_config is fortress_config
    assert (core.routing_sharpness.item(), core.routing_threshold.item()) == (4.0, 0.5)
    assert core.routing_sharpness.shape == () and isinstance(core.routing_threshold, torch.nn.Parameter)
    assert all(p.requires_grad for p in core.parameters())

    keys = list(core.state_dict())
    assert keys[:2] == ["routing_sharpness", "routing_threshold"]
    prefixes = [k.split(".")[0] for k in keys[2:]]
    assert prefixes == sorted(prefixes, key=["fast_path", "radar", "slow_path", "cross_attn"].index)
    assert [k[len("fast_path."):] for k in keys if k.startswith("fast_path.")] == list(fast.state_dict())


def test_routing_parameters_follow_the_default_dtype():
    torch.set_default_dtype(torch.float64)
    try:
        core = make_core()
    finally:
        torch.set_default_dtype(torch.float32)
    assert core.routing_sharpness.dtype == core.routing_threshold.dtype == torch.float64


@pytest.mark.parametrize("make, error, match", [
    (lambda: Core(make_config(WIDTH)), AttributeError, "tau_mu"),
    (lambda: Core(make_config(4), fe.FortressUnbrokenConfig()), AssertionError, "^d_model must be divisible by n_heads$"),
])
def test_construction_failures(make, error, match):
    with pytest.raises(error, match=match):
        make()


@pytest.mark.parametrize("enable_vgt", [True, False])
@pytest.mark.parametrize("make_state", [lambda: None, lambda: {}, lambda: {"dance_friction": torch.tensor(0.2)}],
                         ids=["none", "empty", "friction"])
def test_forward_matches_reference(enable_vgt, make_state):
    core = make_core(enable_vgt=enable_vgt)
    reference = copy.deepcopy(core)
    for step in range(3):
        x = inputs(seed=step)
        out, diagnostics = core(x, make_state())
        expected, pressure = reference_forward(reference, x, make_state())
        torch.testing.assert_close(out, expected)
        assert diagnostics["vgt_pressure"] == pressure
        for name, buf in core.slow_path.fortress.state_dict().items():
            torch.testing.assert_close(buf, reference.slow_path.fortress.state_dict()[name], msg=name)
    assert core.fast_path.fortress.global_step.item() == core.slow_path.fortress.global_step.item() == 3


def test_diagnostics():
    core = make_core()
    results = {}
    for name in ("fast_path", "slow_path"):
        block = getattr(core, name)
        original = block.forward_with_diagnostics

        def run(*args, _name=name, _original=original):
            results[_name] = _original(*args)
            return results[_name]
        block.forward_with_diagnostics = run
    out, diagnostics = core(inputs())
    assert list(diagnostics) == ["vgt_pressure", "zurav_slow_weight", "zurav_fast_weight", "fast_diagnostics",
                                 "slow_diagnostics", "mode"]
    assert diagnostics["fast_diagnostics"] is results["fast_path"][1]
    assert diagnostics["slow_diagnostics"] is results["slow_path"][1]
    P = core.slow_path.fortress.global_pressure.item()
    assert type(diagnostics["vgt_pressure"]) is float and diagnostics["vgt_pressure"] == P
    slow_weight = 1.0 / (1.0 + math.exp(-4.0 * (P - 0.5)))
    assert diagnostics["zurav_slow_weight"] == pytest.approx(slow_weight, rel=1e-6)
    assert diagnostics["zurav_fast_weight"] == pytest.approx(1.0 - slow_weight, rel=1e-6)
    assert diagnostics["mode"] == ("SIEGE" if P > 0.6 else "FLOW")
    assert out.shape == (2, 5, WIDTH)


@pytest.mark.parametrize("pressure, dtype, mode, slow_weight", [
    (0.0, torch.float32, "FLOW", 0.11920292),
    (0.5, torch.float32, "FLOW", 0.5),
    (0.6, torch.float64, "FLOW", 0.59868766),
    (0.6, torch.float32, "SIEGE", 0.59868766),
    (0.5999999642372131, torch.float32, "FLOW", 0.59868766),
    (1.0, torch.float32, "SIEGE", 0.88079708),
    (float("nan"), torch.float32, "FLOW", float("nan")),
])
def test_routing_and_mode_without_pressure_update(pressure, dtype, mode, slow_weight):
    core = make_core(enable_vgt=False)
    core.slow_path.fortress.global_pressure = torch.tensor(pressure, dtype=dtype)
    _, diagnostics = core(inputs())
    read = torch.tensor(pressure, dtype=dtype).item()
    assert diagnostics["mode"] == mode
    assert diagnostics["vgt_pressure"] == pytest.approx(read, rel=0, nan_ok=True)
    assert diagnostics["zurav_slow_weight"] == pytest.approx(slow_weight, rel=1e-6, nan_ok=True)


def test_new_core_without_coupling_routes_mostly_fast():
    _, diagnostics = make_core(enable_vgt=False)(inputs())
    assert diagnostics["vgt_pressure"] == 0.0 and diagnostics["mode"] == "FLOW"
    assert diagnostics["zurav_slow_weight"] == pytest.approx(0.11920292, rel=1e-6)
    assert diagnostics["zurav_fast_weight"] == pytest.approx(0.88079708, rel=1e-6)


def test_flat_sharpness_gives_equal_weights():
    core = make_core()
    with torch.no_grad():
        core.routing_sharpness.zero_()
    _, diagnostics = core(inputs())
    assert diagnostics["zurav_slow_weight"] == diagnostics["zurav_fast_weight"] == 0.5


def stub_blocks(core, slow_diag):
    """Blocks returning fixed outputs; the slow fortress keeps its pressure method."""
    g = torch.Generator().manual_seed(3)
    y_fast, y_slow = torch.randn(2, 5, WIDTH, generator=g), torch.randn(2, 5, WIDTH, generator=g)
    core.fast_path.forward_with_diagnostics = lambda x, state=None, rd=False: (y_fast, {"surprisal_score": 9.0})
    core.slow_path.forward_with_diagnostics = lambda x, state=None, rd=False: (y_slow, slow_diag)
    return y_fast, y_slow


@pytest.mark.parametrize("slow_diag, surprisal", [({}, 1.0), ({"surprisal_score": 0.25}, 0.25),
                                                  ({"surprisal_score": "0.5"}, 0.5),
                                                  ({"surprisal_score": torch.tensor(2.0)}, 2.0)])
def test_pressure_update_inputs(slow_diag, surprisal):
    core = make_core()
    y_fast, y_slow = stub_blocks(core, slow_diag)
    calls = spy(core.slow_path.fortress, "_update_global_pressure")
    core(inputs())
    assert len(calls) == 1
    _, (conflict, surprisal_t, sync), kwargs = calls[0]
    assert list(kwargs) == ["fast_logits", "slow_logits"]
    assert conflict.item() == 0.0 and conflict.shape == () and conflict.dtype == torch.float32
    assert surprisal_t.item() == surprisal and surprisal_t.dtype == torch.float32
    assert sync.item() == pytest.approx(torch.mean(torch.abs(y_fast - y_slow)).item())
    assert torch.equal(kwargs["fast_logits"], y_fast) and torch.equal(kwargs["slow_logits"], y_slow)
    assert not kwargs["fast_logits"].requires_grad


def test_pressure_inputs_take_the_pressure_dtype():
    core = make_core()
    stub_blocks(core, {})
    core.slow_path.fortress.global_pressure = torch.tensor(0.0, dtype=torch.float64)
    calls = spy(core.slow_path.fortress, "_update_global_pressure")
    core(inputs())
    assert [t.dtype for t in calls[0][1]] == [torch.float64] * 3


@pytest.mark.parametrize("slow_config", ["missing", None, "vgt_off"])
def test_no_pressure_update_without_coupling(slow_config):
    core = make_core()
    stub_blocks(core, {})
    if slow_config == "missing":
        del core.slow_path.fortress_config
    elif slow_config is None:
        core.slow_path.fortress_config = None
    else:
        core.slow_path.fortress_config = fe.FortressUnbrokenConfig(enable_vgt=False)
    calls = spy(core.slow_path.fortress, "_update_global_pressure")
    _, diagnostics = core(inputs())
    assert calls == [] and diagnostics["vgt_pressure"] == 0.0


@pytest.mark.parametrize("value, error", [("high", ValueError), (None, TypeError), ([1.0], TypeError)])
def test_refused_surprisal_stops_before_the_update(value, error):
    core = make_core()
    stub_blocks(core, {"surprisal_score": value})
    calls = spy(core.slow_path.fortress, "_update_global_pressure")
    with pytest.raises(error):
        core(inputs())
    assert calls == []


def test_state_reaches_both_blocks_and_is_checked_first():
    core = make_core()
    calls = spy(core.fast_path, "forward_with_diagnostics")
    spy(core.slow_path, "forward_with_diagnostics", calls=calls)
    state = {}
    core(inputs(), state)
    assert [c[1][1] for c in calls] == [state, state] and all(c[1][1] is state for c in calls)
    assert all(c[1][2] is True for c in calls) and state == {}
    calls.clear()
    # The message alone: pytest 8 matches match= against the message and its notes together.
    with pytest.raises(TypeError) as info:
        core(inputs(), collections.OrderedDict())
    assert str(info.value) == "Argument 'state' has incorrect type (expected dict, got collections.OrderedDict)"
    assert info.value.__notes__
    assert calls == []
    assert core.fast_path.fortress.global_step.item() == core.slow_path.fortress.global_step.item() == 1


@pytest.mark.parametrize("path", ["fast_path", "slow_path"])
def test_block_result_of_another_length(path):
    core = make_core()
    getattr(core, path).forward_with_diagnostics = lambda *a: (torch.zeros(1),)
    with pytest.raises(ValueError, match="^need more than 1 value to unpack$"):
        core(inputs())


def test_gradients():
    core = make_core()
    out, _ = core(inputs().requires_grad_())
    out.sum().backward()
    assert core.routing_sharpness.grad is not None and core.routing_threshold.grad is not None
    assert core.cross_attn.q_proj.weight.grad is not None and core.slow_path.input_proj.weight.grad is not None
    assert core.radar.filter_gen[0].weight.grad is not None
    assert not core.slow_path.fortress.global_pressure.requires_grad


def test_repeated_calls_on_one_loud_batch_keep_the_slow_state_bounded():
    # The radar's sum over the sequence makes the slow block's input several times louder than
    # the fast block's, and the slow block's gate reads the state change against its carried
    # state: repeated on this batch, that state grew to about 3e13 in 60 calls.
    core = make_core()
    x = 5 * inputs(T=16)
    with torch.no_grad():
        longest = core.slow_path.input_proj(core.radar(x)).norm(dim=-1).amax(1)
        for _ in range(60):
            out, diagnostics = core(x)
    assert (core.slow_path.integrator.sigma_prev.norm(dim=-1) <= longest * (1 + 1e-6)).all()
    assert torch.isfinite(out).all() and math.isfinite(diagnostics["vgt_pressure"])

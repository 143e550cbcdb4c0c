import math

import pytest
import torch

from silver_kestrel.architectures.heavy_core import fortress_engine as fe
from silver_kestrel.architectures.heavy_core import heavy_core as hc
from block_support import add_engram, spy
from heavy_core_support import inputs, make_config

Engine = hc.ZuravMorvaEngine
KEYS = ["vgt_pressure", "zurav_slow_weight", "zurav_fast_weight", "mode", "fast_diagnostics", "slow_diagnostics",
        "vgt_dance_friction", "vgt_sync_nan", "last_dance_friction_nonfinite", "vgt_dance_friction_centered",
        "vgt_delta_dance_friction", "vgt_pressure_raw", "bounded_calm_ok", "adaptive_calm_ok"]
FORTRESS_KEYS = {"last_dance_friction_nonfinite": "last_dance_friction_nonfinite",
                 "vgt_dance_friction_centered": "last_dance_friction_centered",
                 "vgt_delta_dance_friction": "last_delta_dance_friction", "vgt_pressure_raw": "last_pressure_raw",
                 "bounded_calm_ok": "bounded_calm_ok", "adaptive_calm_ok": "adaptive_calm_ok"}


def make_engine(seed=0, cross_attn_mode="linear", **settings):
    torch.manual_seed(seed)
    return Engine(make_config(), fe.FortressUnbrokenConfig(**settings), cross_attn_mode)


def reference_forward(engine, x, state=None, return_diagnostics=True):
    """The engine's step written out with its public pieces."""
    rd = bool(return_diagnostics)
    y_fast, fast_diag = engine.shakti_head.forward_with_diagnostics(x, state, rd)
    x_radar = engine.radar(x)
    y_slow, slow_diag = engine.shiva_head.forward_with_diagnostics(x_radar, state, rd)
    f = engine.shiva_head.fortress
    temperature = float(getattr(f, "_kl_temperature", 2.0))
    sync = engine._safe_symmetric_kl(y_fast, y_slow, temperature)
    dtype = f.global_pressure.dtype
    if not torch.isfinite(sync):
        sync, flag = torch.tensor(1.0, device=x.device, dtype=dtype), 1.0
    else:
        sync, flag = sync.to(x.device, dtype), 0.0
    if engine.shiva_head.fortress_config.enable_vgt:
        metas = [entry[3] for entry in f.engram_stack]
        avg = sum(m.conflict_ema for m in metas) / len(metas) if metas else 0.0
        f._update_global_pressure(torch.tensor(avg, device=x.device, dtype=dtype),
                                  f.last_surprisal.to(x.device, dtype), sync,
                                  fast_logits=y_fast.detach(), slow_logits=y_slow.detach())
    pressure = f.global_pressure
    w = torch.sigmoid(engine.routing_sharpness * (pressure - engine.routing_threshold))
    y_final = y_fast * (1.0 - w) + y_slow * w
    if not rd:
        return y_final, {}
    diag = {"vgt_pressure": float(pressure.item()), "zurav_slow_weight": float(w.item()),
            "zurav_fast_weight": float((1.0 - w).item()),
            "mode": "REFLEX" if float(pressure.item()) < 0.4 else "DELIBERATION",
            "fast_diagnostics": fast_diag, "slow_diagnostics": slow_diag,
            "vgt_dance_friction": float(sync.detach().to(torch.float32).item()), "vgt_sync_nan": flag}
    for key, name in FORTRESS_KEYS.items():
        diag[key] = float(getattr(f, name).item())
    return y_final, diag


def test_class_shape_and_no_plain_forward():
    assert Engine.__bases__ == (torch.nn.Module,)
    assert [n for n in vars(Engine) if not n.startswith("__") or n == "__init__"] == [
        "__init__", "train", "get_trainable_parameters", "_safe_symmetric_kl", "forward_with_diagnostics"]
    engine = make_engine()
    with pytest.raises(NotImplementedError):
        engine(inputs())


def test_members_state_dict_and_parameters():
    engine = make_engine()
    assert engine.fast_head is engine.shakti_head and engine.slow_head is engine.shiva_head
    assert engine.shakti_head is not engine.shiva_head
    assert engine.shakti_head.fortress is not engine.shiva_head.fortress
    assert list(engine._modules) == ["shakti_head", "fast_head", "radar", "shiva_head", "slow_head"]
    assert isinstance(engine.radar, hc.OptimizedMorvaRadar) and engine.radar.max_l == 65536
    assert not any(isinstance(m, (hc.MorvaCrossAttention, hc.LinearMorvaCrossAttention)) for m in engine.modules())
    assert list(engine._parameters) == ["routing_sharpness", "routing_threshold"]
    assert (engine.routing_sharpness.item(), engine.routing_threshold.item()) == (4.0, 0.5)
    assert engine.routing_sharpness.shape == () and engine.routing_sharpness.dtype == torch.get_default_dtype()

    expected = ["routing_sharpness", "routing_threshold"]
    for prefix in ("shakti_head", "fast_head", "radar", "shiva_head", "slow_head"):
        expected += [f"{prefix}.{k}" for k in getattr(engine, prefix).state_dict()]
    assert list(engine.state_dict()) == expected
    engine.load_state_dict(engine.state_dict())
    fewer = {k: v for k, v in engine.state_dict().items() if not k.startswith("fast_head.")}
    with pytest.raises(RuntimeError, match="Missing key"):
        engine.load_state_dict(fewer)

    params = list(engine.parameters())
    parts = [[engine.routing_sharpness, engine.routing_threshold]] + [
        list(getattr(engine, n).parameters()) for n in ("shakti_head", "radar", "shiva_head")]
    assert [id(p) for p in params] == [id(p) for part in parts for p in part]


def test_trainability():
    engine = make_engine()
    assert not any(p.requires_grad for p in engine.shiva_head.parameters())
    for part in (engine.shakti_head, engine.radar):
        assert all(p.requires_grad for p in part.parameters())
    trainable = engine.get_trainable_parameters()
    assert type(trainable) is list and trainable is not engine.get_trainable_parameters()
    expected = [engine.routing_sharpness, engine.routing_threshold, *engine.shakti_head.parameters(),
                *engine.radar.parameters()]
    assert [id(p) for p in trainable] == [id(p) for p in expected]
    engine.routing_threshold.requires_grad_(False)
    assert engine.routing_threshold not in set(engine.get_trainable_parameters())


def test_training_modes():
    engine = make_engine()
    assert engine.shiva_head.training  # the first switch puts the slow head to evaluation mode
    assert engine.train(True) is engine
    assert engine.training and engine.shakti_head.training and engine.radar.training
    assert not any(m.training for m in engine.shiva_head.modules())
    assert engine.shiva_head.fortress.training is False and engine.shiva_head.integrator.training is False
    assert engine.train() is engine and not engine.shiva_head.training
    engine.train(False)
    assert not any(m.training for m in engine.modules())
    engine.train(True)
    assert engine.eval() is engine and not any(m.training for m in engine.modules())
    # A parent's switch reaches the override too.
    torch.nn.Sequential(engine).train()
    assert engine.shakti_head.training and not engine.shiva_head.training
    assert not any(p.requires_grad for p in engine.shiva_head.parameters())


def test_cross_attn_mode_has_no_effect_but_must_be_text():
    a, b = make_engine(cross_attn_mode="quadratic"), make_engine(cross_attn_mode="linear")
    sa, sb = a.state_dict(), b.state_dict()
    assert list(sa) == list(sb) and all(torch.equal(sa[k], sb[k]) for k in sa)
    assert [type(m) for m in a.modules()] == [type(m) for m in b.modules()]
    for bad in (None, 1, b"linear"):
        with pytest.raises(TypeError) as info:
            Engine(make_config(), fe.FortressUnbrokenConfig(), bad)
        assert str(info.value) == (f"Argument 'cross_attn_mode' has incorrect type (expected str, "
                                   f"got {type(bad).__name__})")
    with pytest.raises(AttributeError):
        Engine(make_config())


@pytest.mark.parametrize("enable_vgt, state, conflicts, return_diagnostics", [
    (True, None, [], True),
    (True, {"dance_friction": torch.tensor(0.4)}, [0.1, 0.6], True),
    (False, {}, [], True),
    (True, None, [0.3], 0),
])
def test_forward_matches_reference(enable_vgt, state, conflicts, return_diagnostics):
    engine, ref = make_engine(enable_vgt=enable_vgt), make_engine(enable_vgt=enable_vgt)
    for e in (engine, ref):
        e.train()
        for c in conflicts:
            add_engram(e.shiva_head.fortress, conflict_ema=c)
    for call in range(3):
        x = inputs(seed=call)
        y, diag = engine.forward_with_diagnostics(x, state, return_diagnostics)
        y_ref, diag_ref = reference_forward(ref, x, state, return_diagnostics)
        torch.testing.assert_close(y, y_ref, rtol=1e-6, atol=1e-7)
        assert diag == diag_ref
        assert list(diag) == (KEYS if return_diagnostics else [])
        for name in ("global_pressure", "last_pressure_raw", "global_step"):
            assert torch.equal(getattr(engine.shiva_head.fortress, name), getattr(ref.shiva_head.fortress, name))
            assert torch.equal(getattr(engine.shakti_head.fortress, name), getattr(ref.shakti_head.fortress, name))
    assert engine.shiva_head.fortress.global_step.item() == 3 and engine.shakti_head.fortress.global_step.item() == 3


def test_calls_and_their_arguments():
    engine = make_engine()
    f = engine.shiva_head.fortress
    calls = []
    spy(engine.shakti_head, "forward_with_diagnostics", calls=calls)
    spy(engine.shiva_head, "forward_with_diagnostics", calls=calls)
    spy(engine, "_safe_symmetric_kl", calls=calls)
    spy(f, "_update_global_pressure", calls=calls)
    spy(engine.shakti_head.fortress, "_update_global_pressure", calls=calls)
    engine.radar.register_forward_hook(lambda m, args, out: calls.append(("radar", args, out)))
    state = {}
    x = inputs()
    y, diag = engine.forward_with_diagnostics(x, state, return_diagnostics=False)
    assert diag == {}
    names = [c[0] for c in calls]
    # Radar (first, so that the slow head's input is checked before the fast head runs), fast head
    # (its own pressure step), slow head (its own step), sync, the engine's update.
    assert names == ["radar", "forward_with_diagnostics", "_update_global_pressure", "forward_with_diagnostics",
                     "_update_global_pressure", "_safe_symmetric_kl", "_update_global_pressure"]
    assert calls[1][1] == (x, state, False) and calls[1][1][1] is state
    assert calls[3][1][0] is calls[0][2] and calls[3][1][2] is False
    y_fast, y_slow, temperature = calls[5][1]
    assert temperature == 2.0 and type(temperature) is float
    conflict, surprisal, sync = calls[6][1]
    dtype = f.global_pressure.dtype
    assert conflict.item() == 0.0 and conflict.dtype == dtype
    assert surprisal.dtype == dtype and surprisal.item() == f.last_surprisal.item()
    assert sync.dtype == dtype and sync.item() == pytest.approx(engine._safe_symmetric_kl(y_fast, y_slow, 2.0).item())
    assert torch.equal(calls[6][2]["fast_logits"], y_fast) and not calls[6][2]["fast_logits"].requires_grad
    assert torch.equal(calls[6][2]["slow_logits"], y_slow) and not calls[6][2]["slow_logits"].requires_grad
    w = torch.sigmoid(engine.routing_sharpness * (f.global_pressure - engine.routing_threshold))
    torch.testing.assert_close(y, y_fast * (1 - w) + y_slow * w)


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), -float("inf")])
def test_non_finite_sync_error(bad):
    engine = make_engine()
    engine._safe_symmetric_kl = lambda fast, slow, t: torch.tensor(bad)
    calls = spy(engine.shiva_head.fortress, "_update_global_pressure")
    _, diag = engine.forward_with_diagnostics(inputs())
    assert diag["vgt_dance_friction"] == 1.0 and diag["vgt_sync_nan"] == 1.0
    assert calls[-1][1][2].item() == 1.0 and calls[-1][1][2].dtype == engine.shiva_head.fortress.global_pressure.dtype
    finite = make_engine()
    _, diag = finite.forward_with_diagnostics(inputs())
    assert diag["vgt_sync_nan"] == 0.0 and math.isfinite(diag["vgt_dance_friction"])


def test_without_pressure_coupling():
    engine = make_engine(enable_vgt=False)
    calls = spy(engine.shiva_head.fortress, "_update_global_pressure")
    _, diag = engine.forward_with_diagnostics(inputs())
    assert calls == []
    assert diag["vgt_pressure"] == 0.0 and diag["mode"] == "REFLEX"
    assert diag["zurav_slow_weight"] == pytest.approx(1 / (1 + math.exp(2.0)))
    assert diag["zurav_fast_weight"] == pytest.approx(1 / (1 + math.exp(-2.0)))


@pytest.mark.parametrize("pressure, mode", [
    (0.4, "DELIBERATION"), (0.39999, "REFLEX"), (0.0, "REFLEX"), (0.5, "DELIBERATION"), (1.0, "DELIBERATION"),
])
def test_mode_and_weights(pressure, mode):
    engine = make_engine(enable_vgt=False)
    engine.shiva_head.fortress.global_pressure.fill_(pressure)
    _, diag = engine.forward_with_diagnostics(inputs())
    assert diag["mode"] == mode
    if pressure == 0.5:  # at the routing threshold both heads weigh one half
        assert diag["zurav_slow_weight"] == 0.5 and diag["zurav_fast_weight"] == 0.5


def test_temperature_fallback():
    engine = make_engine()
    f = engine.shiva_head.fortress
    del f._kl_temperature
    calls = spy(engine, "_safe_symmetric_kl")
    f._update_global_pressure = lambda *args, **kwargs: None  # its own update needs the attribute
    engine.forward_with_diagnostics(inputs())
    assert calls[0][1][2] == 2.0


def test_gradients():
    engine = make_engine()
    x = inputs().requires_grad_()
    y, _ = engine.forward_with_diagnostics(x)
    y.sum().backward()
    assert x.grad is not None and engine.routing_sharpness.grad is not None
    assert engine.routing_threshold.grad is not None
    assert all(p.grad is not None for p in engine.radar.parameters())
    assert all(p.grad is None for p in engine.shiva_head.parameters())
    assert any(p.grad is not None for p in engine.shakti_head.parameters())


def test_sync_error_member_is_differentiable_and_needs_three_arguments():
    engine = make_engine()
    a = torch.randn(2, 3, 5, requires_grad=True)
    b = torch.randn(2, 3, 5, requires_grad=True)
    kl = engine._safe_symmetric_kl(a, b, 1.0)
    assert kl.shape == () and kl.dtype == torch.float32 and kl.requires_grad
    kl.backward()
    assert a.grad is not None and b.grad is not None
    with pytest.raises(TypeError):
        engine._safe_symmetric_kl(a, b)


class State(dict):
    pass


@pytest.mark.parametrize("state", [[], State(), "state"])
def test_state_refused_before_any_head_runs(state):
    engine = make_engine()
    with pytest.raises(TypeError) as info:
        engine.forward_with_diagnostics(inputs(), state)
    assert str(info.value) == f"Argument 'state' has incorrect type (expected dict, got {type(state).__name__})"
    assert engine.shakti_head.fortress.global_step.item() == 0 and engine.shiva_head.fortress.global_step.item() == 0


@pytest.mark.skipif(not torch.cuda.is_available(), reason="needs a GPU")
def test_runs_on_the_gpu():
    engine = make_engine().cuda()
    x = inputs().cuda()
    y, diag = engine.forward_with_diagnostics(x)
    assert y.device == x.device and type(diag["vgt_pressure"]) is float and diag["vgt_sync_nan"] == 0.0

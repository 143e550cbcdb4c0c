import math
import warnings

import pytest
import torch

from block_support import add_engram, spy
from heavy_core_support import WIDTH, inputs, make_core, reference_forward, shock_state, steer_drop_z

KEYS = ["vgt_pressure", "zurav_slow_weight", "fast_diagnostics", "slow_diagnostics", "mode", "shock_detected",
        "shock_freeze_active", "friction_drop_z", "boundary_count", "vgt_dance_friction_kl"]


def prepare(core, drops, enable_vgt, conflicts):
    for c in conflicts:
        add_engram(core.slow_path.fortress, conflict_ema=c)
    if enable_vgt:
        steer_drop_z(core.slow_path.fortress, drops)


@pytest.mark.parametrize("mode, shared, enable_vgt, state, conflicts", [
    ("linear", False, True, None, []),
    ("quadratic", False, True, {"dance_friction": torch.tensor(0.3)}, [0.2, 0.5]),
    ("linear", True, True, None, [0.1]),
    ("linear", False, False, {}, []),
])
def test_forward_matches_reference(mode, shared, enable_vgt, state, conflicts):
    # Three calls: calm, a shock (drop score 2.0), and a second high score inside the cooldown.
    drops = [0.0, 2.0, 3.0]
    core = make_core(cross_attn_mode=mode, shared_backbone=shared, enable_vgt=enable_vgt)
    ref = make_core(cross_attn_mode=mode, shared_backbone=shared, enable_vgt=enable_vgt)
    prepare(core, drops, enable_vgt, conflicts)
    prepare(ref, drops, enable_vgt, conflicts)
    seen = []
    for call, drop in enumerate(drops):
        if not enable_vgt:
            core.slow_path.fortress.last_friction_drop_z.fill_(drop)
            ref.slow_path.fortress.last_friction_drop_z.fill_(drop)
        x = inputs(seed=call)
        out, diag = core(x, state)
        expected, expected_diag = reference_forward(ref, x, state)
        torch.testing.assert_close(out, expected, rtol=1e-6, atol=1e-7)
        assert out.shape == x.shape and out.dtype == x.dtype
        assert list(diag) == KEYS
        assert diag == expected_diag
        assert shock_state(core) == shock_state(ref)
        torch.testing.assert_close(core.slow_path.fortress.global_pressure, ref.slow_path.fortress.global_pressure)
        seen.append((diag["shock_detected"], diag["shock_freeze_active"]))
    assert seen == [(0.0, 0.0), (1.0, 1.0), (0.0, 1.0)]
    assert (core.shock_cooldown, core.active_shock_freeze, len(core.boundary_history)) == (127, 7, 1)


def test_diagnostics_values_and_types():
    core = make_core()
    returned = {}
    for name in ("fast_path", "slow_path"):
        block = getattr(core, name)
        original = block.forward_with_diagnostics

        def wrapper(*args, _name=name, _original=original):
            result = _original(*args)
            returned[_name] = result[1]
            return result

        block.forward_with_diagnostics = wrapper
    out, diag = core(inputs())
    assert list(diag) == KEYS
    assert diag["fast_diagnostics"] is returned["fast_path"] and diag["slow_diagnostics"] is returned["slow_path"]
    for key in KEYS:
        if key not in ("fast_diagnostics", "slow_diagnostics", "mode", "boundary_count"):
            assert type(diag[key]) is float, key
    assert type(diag["boundary_count"]) is int and diag["boundary_count"] == 0
    f = core.slow_path.fortress
    assert diag["vgt_pressure"] == f.global_pressure.item()
    assert diag["friction_drop_z"] == f.last_friction_drop_z.item()
    assert diag["zurav_slow_weight"] == pytest.approx(1 / (1 + math.exp(-4.0 * (diag["vgt_pressure"] - 0.5))))
    assert diag["mode"] == "FLOW" and "zurav_fast_weight" not in diag


def test_calls_on_the_neighbours_in_order():
    core = make_core()
    f = core.slow_path.fortress
    calls = []
    spy(core.fast_path, "forward_with_diagnostics", calls=calls)
    spy(core.slow_path, "forward_with_diagnostics", calls=calls)
    spy(core, "_safe_symmetric_kl", calls=calls)
    spy(f, "_update_global_pressure", calls=calls)
    core.radar.register_forward_hook(lambda m, args, out: calls.append(("radar", args, out)))
    core.cross_attn.register_forward_hook(lambda m, args, out: calls.append(("cross_attn", args, out)))
    state = {"dance_friction": torch.tensor(0.2)}
    snapshot = dict(state)
    x = inputs()
    out, diag = core(x, state)

    names = [c[0] for c in calls]
    # The radar runs first, so that the slow block's input is checked before the fast block runs.
    # The slow block's own pressure update comes inside its step; the core's follows the sync error.
    assert names == ["radar", "forward_with_diagnostics", "forward_with_diagnostics", "_update_global_pressure",
                     "_safe_symmetric_kl", "_update_global_pressure", "cross_attn"]
    radar_call, fast_call, slow_call, _, kl_call, update_call, bridge_call = calls
    assert fast_call[1][0] is x and fast_call[1][1] is state and fast_call[1][2] is True
    assert radar_call[1][0] is x
    assert slow_call[1][0] is radar_call[2] and slow_call[1][1] is state and slow_call[1][2] is True
    assert state == snapshot

    y_fast, y_slow = kl_call[1][0], kl_call[1][1]
    assert kl_call[1][2] == 2.0 and type(kl_call[1][2]) is float and kl_call[2] == {}
    sync = core._safe_symmetric_kl(y_fast, y_slow, 2.0)
    assert not sync.requires_grad

    conflict, surprisal, friction = update_call[1]
    kwargs = update_call[2]
    assert list(kwargs) == ["fast_logits", "slow_logits"]
    assert torch.equal(kwargs["fast_logits"], y_fast) and not kwargs["fast_logits"].requires_grad
    assert torch.equal(kwargs["slow_logits"], y_slow) and not kwargs["slow_logits"].requires_grad
    dtype = f.global_pressure.dtype
    assert conflict.shape == () and conflict.dtype == dtype and conflict.item() == 0.0
    assert surprisal.dtype == dtype and surprisal.item() == pytest.approx(diag["slow_diagnostics"]["surprisal_score"])
    assert friction.dtype == dtype and friction.item() == pytest.approx(diag["vgt_dance_friction_kl"])

    assert bridge_call[1][0] is y_fast and bridge_call[1][1] is y_slow
    assert bridge_call[1][2] is f.global_pressure  # the live buffer, read after the update
    w = torch.sigmoid(core.routing_sharpness * (f.global_pressure - core.routing_threshold))
    torch.testing.assert_close(out, y_fast + bridge_call[2] * w)


def test_fallbacks_of_the_pressure_inputs():
    core = make_core()
    f = core.slow_path.fortress
    del f._kl_temperature
    for c in (0.2, 0.4):
        add_engram(f, conflict_ema=c)
    original = core.slow_path.forward_with_diagnostics

    def without_surprisal(*args):
        y, d = original(*args)
        d.pop("surprisal_score")
        return y, d

    core.slow_path.forward_with_diagnostics = without_surprisal
    calls = spy(core, "_safe_symmetric_kl")
    # The fortress's own update needs the temperature attribute: record the calls instead.
    f._update_global_pressure = lambda *args, **kwargs: calls.append(("_update_global_pressure", args, kwargs))
    core(inputs())
    kl = [c for c in calls if c[0] == "_safe_symmetric_kl"]
    assert len(kl) == 1 and kl[0][1][2] == 2.0
    conflict, surprisal, _ = calls[-1][1]
    assert list(calls[-1][2]) == ["fast_logits", "slow_logits"]
    assert conflict.item() == pytest.approx(0.3) and surprisal.item() == 1.0


def test_temperature_is_read_from_the_slow_fortress():
    core = make_core()
    core.slow_path.fortress._kl_temperature = 3  # converted to a float
    core.fast_path.fortress._kl_temperature = 99.0  # never read
    calls = spy(core, "_safe_symmetric_kl")
    core(inputs())
    assert calls[0][1][2] == 3.0 and type(calls[0][1][2]) is float


def test_without_pressure_coupling_the_held_values_are_read():
    core = make_core(enable_vgt=False)
    f = core.slow_path.fortress
    calls = spy(f, "_update_global_pressure")
    f.global_pressure.fill_(0.75)
    f.last_friction_drop_z.fill_(0.25)
    out, diag = core(inputs())
    assert calls == []
    assert list(diag) == KEYS
    assert diag["vgt_pressure"] == 0.75 and diag["friction_drop_z"] == 0.25 and diag["mode"] == "SIEGE"
    assert diag["zurav_slow_weight"] == pytest.approx(1 / (1 + math.exp(-1.0)))


def test_shared_backbone_runs_one_block_twice():
    core = make_core(shared_backbone=True)
    calls = spy(core.fast_path, "forward_with_diagnostics")
    out, diag = core(inputs())
    assert len(calls) == 2 and core.fast_path.fortress.global_step.item() == 2
    assert diag["fast_diagnostics"] is not diag["slow_diagnostics"]


@pytest.mark.parametrize("fail_slow", [False, True])
def test_shared_block_runs_both_paths_from_the_carried_state(fail_slow):
    core = make_core(shared_backbone=True)
    block, integrator = core.fast_path, core.fast_path.integrator
    original = block.forward_with_diagnostics
    starts, ends = [], []

    def run(x, state=None, return_diagnostics=False):
        starts.append(integrator.sigma_prev.clone())
        if fail_slow and len(starts) % 2 == 0:
            raise RuntimeError("slow run failed")
        result = original(x, state, return_diagnostics)
        ends.append(integrator.sigma_prev.clone())
        return result

    block.forward_with_diagnostics = run
    for call in range(3):
        carried_in = integrator.sigma_prev.clone()
        if fail_slow:
            with pytest.raises(RuntimeError, match="slow run failed"):
                core(inputs(seed=call))
        else:
            core(inputs(seed=call))
        fast_start, slow_start = starts[-2:]
        assert torch.equal(fast_start, carried_in) and torch.equal(slow_start, carried_in)
        # What carries on is the fast run's end state, also when the slow run fails.
        fast_end = ends[-1] if fail_slow else ends[-2]
        assert torch.equal(integrator.sigma_prev, fast_end) and not torch.equal(fast_end, carried_in)


def test_shared_block_carried_state_goes_through_an_own_setattr():
    # Putting the start state back and carrying the fast run's end on are assignments of the
    # integrator's buffer: an integrator class with its own __setattr__ sees both, besides the
    # runs' own stores, and the states carried are those of a plain integrator.
    plain, counted = make_core(shared_backbone=True), make_core(shared_backbone=True)
    integrator = counted.fast_path.integrator
    seen = []

    class Counting(type(integrator)):
        def __setattr__(self, name, value):
            seen.append(name)
            super().__setattr__(name, value)

    integrator.__class__ = Counting
    for call in range(2):
        plain(inputs(seed=call))
        counted(inputs(seed=call))
        assert seen == ["sigma_prev"] * 4 * (call + 1)
        assert torch.equal(integrator.sigma_prev, plain.fast_path.integrator.sigma_prev)
        assert integrator._buffers["sigma_prev"] is integrator.sigma_prev


def test_shared_block_protects_both_runs():
    core = make_core(shared_backbone=True)
    fortress = core.fast_path.fortress
    add_engram(fortress)
    original = fortress.create_joint_basis_projection_hook
    made, fired = [], []

    def create():
        hook = original()
        made.append(1)

        def counted(grad):
            fired.append(grad.shape)
            return hook(grad)
        return counted

    fortress.create_joint_basis_projection_hook = create
    for step in range(20):
        out, _ = core(inputs(seed=step).requires_grad_())
        out.sum().backward()
        assert len(fired) == len(made) == 2 * (step + 1)  # the fast and the slow run's state
        assert len(core.fast_path._sigma_hook_pending) <= 4


def test_gradients():
    core = make_core()
    contexts = []
    core.cross_attn.register_forward_hook(lambda m, args, out: contexts.append(out))
    x = inputs().requires_grad_()
    out, diag = core(x)
    out.sum().backward()
    assert x.grad is not None
    assert all(p.grad is not None for p in core.fast_path.parameters() if p.requires_grad)
    assert all(p.grad is not None for p in core.cross_attn.parameters())
    assert all(p.grad is None for p in core.slow_path.parameters())
    assert all(p.grad is None for p in core.radar.parameters())
    # Routing parameters learn only through the weight of the bridge.
    P = core.slow_path.fortress.global_pressure.item()
    w = diag["zurav_slow_weight"]
    total = contexts[0].detach().sum().item()
    assert core.routing_sharpness.grad.item() == pytest.approx(total * w * (1 - w) * (P - 0.5), rel=1e-4, abs=1e-7)
    assert core.routing_threshold.grad.item() == pytest.approx(-total * w * (1 - w) * 4.0, rel=1e-4, abs=1e-7)


@pytest.mark.parametrize("mode, length, warns", [
    ("quadratic", 2048, False), ("quadratic", 2049, True), ("QUADRATIC", 2049, True), ("linear", 2049, False),
])
def test_long_sequence_warning(mode, length, warns):
    core = make_core(cross_attn_mode=mode)
    x = inputs(B=1, L=length)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with torch.no_grad():
            out, _ = core(x)
    assert out.shape == x.shape
    messages = [str(w.message) for w in caught if issubclass(w.category, UserWarning)]
    expected = [f"Quadratic Attention enabled for L={length}. Memory complexity is O(L\u00b2)."] if warns else []
    assert [m for m in messages if m.startswith("Quadratic")] == expected
    assert all(w.category is UserWarning for w in caught if str(w.message).startswith("Quadratic"))


class State(dict):
    pass


@pytest.mark.parametrize("x, state, error, message", [
    (inputs(), [], TypeError, "Argument 'state' has incorrect type (expected dict, got list)"),
    (inputs(), State(), TypeError, "Argument 'state' has incorrect type (expected dict, got State)"),
    (inputs()[0], None, ValueError, "need more than 2 values to unpack"),
    (inputs().unsqueeze(0), None, ValueError, "too many values to unpack (expected 3)"),
])
def test_refused_before_any_work(x, state, error, message):
    core = make_core(cross_attn_mode="quadratic")
    calls = spy(core.fast_path, "forward_with_diagnostics")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(error) as info:
            core(x, state)
    assert str(info.value) == message
    assert calls == []
    assert core.fast_path.fortress.global_step.item() == 0 and core.slow_path.fortress.global_step.item() == 0
    assert shock_state(core) == (0, 0, [])


def test_follows_the_module_dtype():
    core = make_core().double()
    x = inputs().double()
    out, diag = core(x)
    assert out.dtype == torch.float64 and type(diag["vgt_pressure"]) is float
    assert core.slow_path.fortress.global_pressure.dtype == torch.float64


def test_argument_forms():
    core = make_core()
    ref = make_core()
    x = inputs()
    a, _ = core.forward(x=x, state=None)
    b, _ = ref(x)
    torch.testing.assert_close(a, b)
    assert core.forward.__doc__ and WIDTH == core.radar.d_model


@pytest.mark.skipif(not torch.cuda.is_available(), reason="needs a GPU")
def test_runs_on_the_gpu():
    core = make_core().cuda()
    x = inputs().cuda()
    out, diag = core(x)
    assert out.device == x.device and core.slow_path.fortress.global_pressure.device == x.device
    assert type(diag["vgt_pressure"]) is float and type(diag["friction_drop_z"]) is float
    out.sum().backward()
    assert core.routing_sharpness.grad.device == x.device


def _routed_grads(core, forward, x, weight):
    x = x.clone().requires_grad_(True)
    params = [p for p in core.parameters() if p.requires_grad]
    out, _ = forward(core, x)
    return out.detach(), torch.autograd.grad((out * weight).sum(), [x] + params)


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
@pytest.mark.parametrize("freeze, threshold", [(False, 0.5), (True, 0.5), (True, -2.0), (False, 50.0), (True, 50.0)],
                         ids=["open", "freeze_floor", "freeze_above_floor", "open_saturated", "freeze_saturated"])
def test_routed_mix_is_one_node_with_the_separate_operations_values(freeze, threshold, dtype):
    # The routed mix y_fast + context * w runs as one autograd node; its output and every gradient
    # (the routing parameters' included, through the 0.9 floor of a freeze window or above it)
    # are those of the separate operations of the written-out forward, bit for bit. A threshold
    # far above the pressure drives the sigmoid's exponential beyond float's range.
    core, ref = make_core(seed=3).to(dtype), make_core(seed=3).to(dtype)
    for c in (core, ref):
        with torch.no_grad():
            c.routing_threshold.fill_(threshold)
        c.active_shock_freeze = 2 if freeze else 0
    x, weight = inputs(seed=4).to(dtype), inputs(seed=5).to(dtype)
    out, grads = _routed_grads(core, lambda c, v: c(v), x, weight)
    expected, expected_grads = _routed_grads(ref, reference_forward, x, weight)
    assert torch.equal(out, expected)
    assert len(grads) == len(expected_grads)
    # The input's gradient gathers several contributions, in the order the backward meets them:
    # the core runs the radar before the fast block, the written-out forward after it.
    torch.testing.assert_close(grads[0], expected_grads[0], rtol=1e-6, atol=1e-8)
    for got, want in zip(grads[1:], expected_grads[1:]):
        assert torch.equal(got, want)
    assert core.routing_sharpness.grad is None  # torch.autograd.grad leaves .grad alone
    x = inputs(seed=4).to(dtype).requires_grad_(True)
    y, _ = core(x)
    assert "RoutedMix" in y.grad_fn.name()


def test_routed_mix_second_order_and_saved_parameters():
    core = make_core(seed=6).double()
    x = inputs(seed=1).double().requires_grad_(True)
    y, _ = core(x)
    (gx,) = torch.autograd.grad(y.sum(), [x], create_graph=True)
    (gs,) = torch.autograd.grad(gx.sum(), [core.routing_sharpness], allow_unused=True)
    core_ref = make_core(seed=6).double()
    y_ref, _ = reference_forward(core_ref, x)
    (gx_ref,) = torch.autograd.grad(y_ref.sum(), [x], create_graph=True)
    (gs_ref,) = torch.autograd.grad(gx_ref.sum(), [core_ref.routing_sharpness], allow_unused=True)
    torch.testing.assert_close(gx, gx_ref)
    torch.testing.assert_close(gs, gs_ref)
    # The sharpness is saved for the backward: changing it in place first is refused, as the
    # separate operations refuse it.
    y, _ = core(x)
    with torch.no_grad():
        core.routing_sharpness.add_(1.0)
    with pytest.raises(RuntimeError, match="modified by an inplace operation"):
        y.sum().backward()


def _forward_hook(module, seen):
    module.register_forward_hook(lambda m, i, o: seen.append("hook") or o * 2.0)


def _forward_pre_hook(module, seen):
    module.register_forward_pre_hook(
        lambda m, i: seen.append("pre") or tuple(t * 2.0 if t.dim() == 3 else t for t in i))


def _instance_forward(module, seen):
    original = module.forward

    def forward(*args):
        seen.append("instance")
        return original(*args) * 2.0
    module.forward = forward


def _subclass(module, seen):
    class Doubled(type(module)):
        def forward(self, *args):
            seen.append("subclass")
            return super().forward(*args) * 2.0
    module.__class__ = Doubled


def _global_hook(module, seen):
    handle = torch.nn.modules.module.register_module_forward_hook(
        lambda m, i, o: (seen.append("global") or o * 2.0) if m is module else None)
    return handle.remove


@pytest.mark.parametrize("part", ["radar", "cross_attn"])
@pytest.mark.parametrize("change", [_forward_hook, _forward_pre_hook, _instance_forward, _subclass, _global_hook])
@pytest.mark.parametrize("mode", ["linear", "quadratic"])
def test_radar_and_bridge_calls_keep_what_callers_change(part, change, mode):
    # The core may run its own radar's and bridge's forward without nn.Module's call; a hook, an
    # override or a subclass on either must still run, and change the output as it says.
    core, ref = make_core(seed=2, cross_attn_mode=mode), make_core(seed=2, cross_attn_mode=mode)
    x = inputs(seed=3)
    expected, _ = ref(x)
    seen = []
    undo = change(getattr(core, part), seen)
    try:
        out, _ = core(x)
    finally:
        if undo:
            undo()
    assert seen
    assert not torch.allclose(out, expected)
    plain, _ = make_core(seed=2, cross_attn_mode=mode)(x)
    assert torch.equal(plain, expected)


def test_a_subclass_sync_error_is_the_one_the_core_uses():
    core = make_core(seed=2)

    class Fixed(type(core)):
        def _safe_symmetric_kl(self, fast_logits, slow_logits, temperature=2.0):
            return torch.tensor(0.375)
    core.__class__ = Fixed
    _, diag = core(inputs(seed=3))
    assert diag["vgt_dance_friction_kl"] == 0.375


@pytest.mark.parametrize("mode, bridge", [("linear", "LinearMorvaCrossAttention"), ("quadratic", "MorvaCrossAttention")])
def test_the_parts_run_directly_keep_the_profiler_ranges_of_their_calls(mode, bridge):
    core = make_core(seed=2, cross_attn_mode=mode)
    with torch.profiler.profile() as prof:
        core(inputs(seed=3))
    names = {e.name for e in prof.events()}
    assert {"OptimizedMorvaRadar.forward", f"{bridge}.forward", "ZuravMorvaV8_2H._safe_symmetric_kl"} <= names

"""The memory's per-call bookkeeping on host scalars against its tensor operations.

On the host, with every input and buffer a zero-dimensional tensor of the memory's dtype, the
bookkeeping runs on C++ scalars; anything else (another dtype, an override, an input sharing memory
with a buffer) takes the tensor operations. Both must leave every buffer with the same bits.
"""
import math
import random

import pytest
import torch

from silver_kestrel.architectures.heavy_core import fortress_engine as fe

T = torch.tensor
NAN, INF = math.nan, math.inf
Memory = fe.FortressUnbrokenMemory


def memory(dtype, **settings):
    mem = Memory(4, fe.FortressUnbrokenConfig(**settings))
    return mem.double() if dtype == torch.float64 else mem


def other(dtype):
    return torch.float32 if dtype == torch.float64 else torch.float64


def on_tensors(mem, dtype):
    """Makes `mem` take the tensor path: its raw pressure is replaced on the instance (so the update
    does not take the scalar path) by the class's own, called with inputs of the other floating
    dtype (so it does not either). The inputs of these tests are float32 values: exact in both."""
    own = Memory._compute_pressure
    mem._compute_pressure = lambda c, s, f: own(mem, c.to(other(dtype)), s.to(other(dtype)), f.to(other(dtype)))
    return mem


def bits(t):
    t = t.detach().reshape(-1)
    if t.is_floating_point():
        return t.view(torch.int64 if t.element_size() == 8 else torch.int32).tolist()
    return t.tolist()


def assert_same_state(a, b):
    sa, sb = a.state_dict(), b.state_dict()
    assert list(sa) == list(sb)
    for name in sa:
        assert sa[name].dtype == sb[name].dtype, name
        assert bits(sa[name]) == bits(sb[name]), (name, sa[name], sb[name])


SPECIAL = [NAN, INF, -INF, 0.0, -0.0, 1e30, -1e30, 3e38]


def signals(seed, n, special=0.15):
    """A sequence of (conflict, surprisal, friction) float32 values, some of them non-finite or huge."""
    rng = random.Random(seed)

    def value(lo, hi):
        v = rng.choice(SPECIAL) if rng.random() < special else rng.uniform(lo, hi)
        return torch.tensor(v, dtype=torch.float32).item()

    return [(value(0.0, 1.0), value(0.5, 3.0), value(-0.2, 0.6)) for _ in range(n)]


SETTINGS = {
    "default": {},
    "spike": dict(enable_nonlinear_spike=True, dance_spike_tau=0.01, dance_spike_epsilon=0.01, spike_warmup_steps=4),
    # The warm-up boundary: the spike may fire from the step after spike_warmup_steps on.
    "spike at warm-up": dict(enable_nonlinear_spike=True, dance_spike_tau=0.0, dance_spike_epsilon=0.0,
                             spike_warmup_steps=2, spike_multiplier=1.7),
    "vgt off": dict(enable_vgt=False),
    "calm": dict(calm_window_steps=2, calm_band_std_mult=3.0, calm_drift_std_mult=3.0, collapse_tension_high_z=0.2),
    "tight rate": dict(max_pressure_delta=0.01, pressure_ema_decay=0.5, eps=1e-3),
}


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
@pytest.mark.parametrize("settings", list(SETTINGS), ids=list(SETTINGS))
@pytest.mark.parametrize("special", [0.0, 0.3])
def test_update_matches_the_tensor_path(dtype, settings, special):
    fast = memory(dtype, **SETTINGS[settings])
    slow = on_tensors(memory(dtype, **SETTINGS[settings]), dtype)
    for i, (c, s, f) in enumerate(signals(hash((settings, special)) & 0xFFFF, 60, special)):
        for mem in (fast, slow):
            mem.forward_step()
            mem._update_global_pressure(T(c, dtype=dtype), T(s, dtype=dtype), T(f, dtype=dtype))
        assert_same_state(fast, slow)


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
def test_update_from_logits_matches_the_tensor_path(dtype):
    torch.manual_seed(0)
    fast, slow = memory(dtype), on_tensors(memory(dtype), dtype)
    for i in range(20):
        a, b = torch.randn(2, 3, 5), torch.randn(2, 3, 5)
        if i == 7:
            a[0, 0, 0] = NAN  # a non-finite measured friction
        for mem in (fast, slow):
            mem._update_global_pressure(T(0.25, dtype=dtype), T(1.5, dtype=dtype), T(0.0, dtype=dtype),
                                        fast_logits=a, slow_logits=b)
        assert_same_state(fast, slow)


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
@pytest.mark.parametrize("inputs", signals(7, 12, 0.4))
def test_raw_pressure_matches_the_tensor_path(dtype, inputs):
    fast, slow = memory(dtype), memory(dtype)
    for mem in (fast, slow):  # statistics away from their initial values
        mem.dance_friction_mean_ema.fill_(0.3)
        mem.surprisal_std_ema.fill_(0.7)
    p = fast._compute_pressure(*(T(v, dtype=dtype) for v in inputs))
    q = slow._compute_pressure(*(T(v, dtype=other(dtype)) for v in inputs))
    assert p.dtype == q.dtype == dtype and p.shape == q.shape == ()
    assert bits(p) == bits(q)
    assert_same_state(fast, slow)


def test_raw_pressure_with_a_gradient_keeps_its_graph():
    mem = memory(torch.float32)
    conflict = T(0.5, requires_grad=True)
    p = mem._compute_pressure(conflict, T(1.5), T(0.0))
    p.backward()
    assert conflict.grad is not None and conflict.grad.item() > 0.0


@pytest.mark.parametrize("alias", ["dance_kl_ema_mean", "surprisal_mean_ema", "last_dance_z", "last_surprisal",
                                   "prev_dance_friction", "last_pressure_raw"])
@pytest.mark.parametrize("position", [0, 1, 2])
def test_an_input_sharing_a_buffer_reads_it_as_the_tensor_path_does(alias, position):
    dtype = torch.float32
    fast, slow = memory(dtype), on_tensors(memory(dtype), dtype)
    for mem in (fast, slow):
        for step in range(3):
            inputs = [T(0.2), T(1.2 + 0.1 * step), T(0.1 * step)]
            getattr(mem, alias).fill_(0.4 + 0.1 * step)
            inputs[position] = getattr(mem, alias)
            mem._update_global_pressure(*inputs)
    assert_same_state(fast, slow)


@pytest.mark.parametrize("override", ["instance", "subclass"])
def test_an_overridden_raw_pressure_is_called_by_the_update(override):
    calls = []

    def raw(self, c, s, f):
        calls.append((c.item(), s.item(), f.item()))
        return T(0.75)

    if override == "subclass":
        mem = type("Mine", (Memory,), {"_compute_pressure": raw})(4, fe.FortressUnbrokenConfig())
    else:
        mem = memory(torch.float32)
        mem._compute_pressure = lambda *args: raw(mem, *args)
    mem._update_global_pressure(T(0.1), T(1.2), T(0.3))
    assert calls == [pytest.approx((0.1, 1.2, 0.3))]
    assert mem.last_pressure_raw.item() == 0.75
    assert mem.surprisal_mean_ema.item() == 1.5  # the memory's own raw pressure did not run


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
@pytest.mark.parametrize("on_tensor_path", [False, True])
def test_a_buffer_saved_for_backward_is_seen_as_changed(dtype, on_tensor_path):
    mem = memory(dtype)
    if on_tensor_path:
        on_tensors(mem, dtype)
    w = torch.ones((), dtype=dtype, requires_grad=True)
    y = w * mem.global_pressure + w * mem.surprisal_mean_ema + w * mem.stable_steps
    mem.forward_step()
    mem._update_global_pressure(T(0.5, dtype=dtype), T(2.0, dtype=dtype), T(0.3, dtype=dtype))
    with pytest.raises(RuntimeError, match="modified by an inplace operation"):
        y.backward()


def test_buffers_stay_the_same_objects():
    mem = memory(torch.float32)
    before = {name: id(b) for name, b in mem.named_buffers()}
    pointers = {name: b.data_ptr() for name, b in mem.named_buffers()}
    for c, s, f in signals(3, 10, 0.3):
        mem.forward_step()
        mem._update_global_pressure(T(c), T(s), T(f))
    assert {name: id(b) for name, b in mem.named_buffers()} == before
    assert {name: b.data_ptr() for name, b in mem.named_buffers()} == pointers


@pytest.mark.parametrize("step", ["forward_step", "update_surprisal_stats", "_compute_collapse_ok"])
def test_a_counter_or_flag_saved_for_backward_is_seen_as_changed(step):
    mem = memory(torch.float32)
    w = torch.ones((), requires_grad=True)
    y = w * mem.global_step + w * mem.z_mu_ema + w * mem.last_collapse_ok + w * mem.collapse_cond_stable_ok
    call = {"forward_step": lambda: mem.forward_step(),
            "update_surprisal_stats": lambda: mem.update_surprisal_stats(T(0.5)),
            "_compute_collapse_ok": lambda: mem._compute_collapse_ok(True, True)}[step]
    call()
    with pytest.raises(RuntimeError, match="modified by an inplace operation"):
        y.backward()


# ---------------------------------------------------------------------------------------------
# Surprisal statistics: the tensor operations they stand for, on zero-dimensional tensors.


def surprisal_reference(mu, m2, z, alpha, eps, tau_mu, tau_sigma):
    finite = torch.isfinite(z)
    mu_new = torch.where(finite, mu * alpha + (1.0 - alpha) * z, mu)
    m2_new = torch.where(finite, m2 * alpha + (1.0 - alpha) * z.pow(2), m2)
    var = torch.clamp_min(m2_new - mu_new * mu_new, 0.0)
    sigma = torch.sqrt(var + eps)
    stable = bool(finite) and bool(mu_new < tau_mu) and bool(sigma < tau_sigma)
    return mu_new, m2_new, var, stable


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
@pytest.mark.parametrize("scores", [
    [0.3, 0.31, 0.29, 0.3] * 10,
    [1.0 + 0.37 * i for i in range(12)],
    [0.5, NAN, 0.5, INF, -INF, 0.5, 3e38, 0.5, -0.0],
], ids=["settling", "rising", "special"])
def test_surprisal_statistics_match_the_tensor_operations(dtype, scores):
    mem = memory(dtype, tau_mu=0.9, tau_sigma=0.6)
    mu, m2 = mem.z_mu_ema.clone(), mem.z_m2_ema.clone()
    streak = 0
    for value in scores:
        z = T(value, dtype=dtype)
        mu, m2, var, stable = surprisal_reference(mu, m2, z, 0.99, 1e-8, 0.9, 0.6)
        streak = streak + 1 if stable else 0
        got_mu, got_var, got_stable = mem.update_surprisal_stats(z)
        assert got_mu is mem.z_mu_ema
        assert bits(mem.z_mu_ema) == bits(mu) and bits(mem.z_m2_ema) == bits(m2)
        assert got_var.dtype == dtype and got_var.shape == () and bits(got_var) == bits(var)
        assert got_stable.dtype == torch.bool and got_stable.shape == () and bool(got_stable) == stable
        assert mem.stable_steps.item() == mem.stable_streak.item() == streak


# ---------------------------------------------------------------------------------------------
# Readings compared with settings: in the reading's dtype, as a tensor compared with a number.


@pytest.mark.parametrize("dtype, shock", [(torch.float32, 1.0), (torch.float64, 0.0)])
def test_triggers_compare_in_the_readings_dtype(dtype, shock):
    mem = memory(dtype, cosmic_surprisal_z_threshold=1.3, shakti_tension_z_threshold=1.3,
                 tension_requires_world_calm=False)
    mem.cosmic_surprisal_z.fill_(torch.tensor(1.3).item())  # float32(1.3) < 1.3
    mem.shakti_tension_z.fill_(torch.tensor(1.3).item())
    mem.maybe_promote_to_deep_engram(False, False)
    assert (mem.cosmic_shock.item(), mem.shakti_flash.item()) == (shock, shock)
    assert mem.last_structural_trigger_value.item() == shock


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
def test_friction_readings_of_the_collapse_gate_compare_in_float32(dtype):
    mem = memory(dtype, collapse_friction_drop_z=1.5, collapse_delta_friction_thresh=1e-3)
    mem.tension_high_streak.fill_(100)
    mem.last_friction_drop_z.fill_(1.5 - 1e-12)  # 1.5 in float32
    mem.last_delta_dance_friction.fill_(-1e-3 + 1e-13)  # -1e-3 in float32, at the threshold
    assert mem._compute_collapse_ok(True, True)
    assert mem.collapse_bottleneck_code.item() == 0


def test_a_trace_records_the_tensor_operations():
    mem = memory(torch.float32)

    def update(c, s, f):
        mem._update_global_pressure(c, s, f)
        return mem.global_pressure * 1.0

    traced = torch.jit.trace(update, (T(0.1), T(1.2), T(0.3)), check_trace=False)
    assert "aten::sigmoid" in str(traced.graph)

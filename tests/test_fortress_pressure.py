import math

import pytest
import torch

from silver_kestrel.architectures.heavy_core import fortress_engine as fe

T = torch.tensor
NAN, INF = math.nan, math.inf


def memory(**settings):
    return fe.FortressUnbrokenMemory(4, fe.FortressUnbrokenConfig(**settings))


def values(mem, *names):
    return [getattr(mem, n).item() for n in names]


def snapshot(mem):
    return {k: v.clone() for k, v in mem.state_dict().items()}


def assert_unchanged(mem, before):
    after = mem.state_dict()
    for name, value in before.items():
        assert torch.equal(after[name], value), name


def update(mem, friction=0.0, conflict=0.0, surprisal=1.5, **logits):
    mem._update_global_pressure(T(conflict), T(surprisal), T(friction), **logits)


def raw_pressure(mem, value):
    """Makes _compute_pressure return `value` (the update calls it through the instance)."""
    mem._compute_pressure = lambda *args: T(value)


# ---------------------------------------------------------------------------------------------
# Raw pressure


@pytest.mark.parametrize("inputs, result, s_mean, s_std, last", [
    ((0.0, 1.5, 0.0), 0.5374, 1.5, 0.999, (0.0, 1.5, 0.0, 0.15)),
    # A non-finite signal counts by its stand-in but leaves its running statistics alone.
    ((0.0, NAN, 0.0), 0.5312, 1.5, 1.0, (0.0, 1.0, 0.0, 0.125)),
    ((0.0, INF, 0.0), 0.5744, 1.5, 1.0, (0.0, 5.0, 0.0, 0.3)),
    ((NAN, 1.5, 0.0), 0.5374, 1.5, 0.999, (0.0, 1.5, 0.0, 0.15)),
    ((INF, 1.5, 0.0), 0.6570, 1.5, 0.999, (1.0, 1.5, 0.0, 0.65)),
    ((-INF, 1.5, -INF), 0.5374, 1.5, 0.999, (0.0, 1.5, 0.0, 0.15)),
    ((0.0, 1.5, NAN), 0.5540, 1.5, 0.999, (0.0, 1.5, 1.0, 0.15 + 0.2 / 3)),
])
def test_first_raw_pressure(inputs, result, s_mean, s_std, last):
    mem = memory()
    p = mem._compute_pressure(*map(T, inputs))
    assert p.item() == pytest.approx(result, abs=1e-4)
    assert values(mem, "surprisal_mean_ema", "surprisal_std_ema") == pytest.approx([s_mean, s_std], abs=1e-6)
    friction_finite = math.isfinite(inputs[2])
    assert values(mem, "dance_friction_mean_ema", "dance_friction_std_ema") == pytest.approx(
        [0.001 * inputs[2], 0.999 + 0.001 * 0.999 * abs(inputs[2])] if friction_finite else [0.0, 1.0], abs=1e-6)
    # last_pressure_raw is the weighted sum before the sigmoid
    records = values(mem, "last_avg_conflict", "last_surprisal", "last_dance_friction", "last_pressure_raw")
    assert records == pytest.approx(list(last), abs=1e-4)


def test_disagreement_counts_by_size_only():
    results = []
    for friction in (0.0, 2.0):
        mem = memory()
        mem.dance_friction_mean_ema.fill_(1.0)
        results.append(mem._compute_pressure(T(0.0), T(1.5), T(friction)).item())
    assert results[0] == pytest.approx(results[1], abs=1e-7) and results[0] > 0.5374


def test_raw_pressure_switched_off():
    mem = memory(enable_vgt=False).double()
    before = snapshot(mem)
    p = mem._compute_pressure(None, "not", "looked at")
    assert p.dtype == torch.float64 and p.shape == () and p.item() == 0.0
    assert_unchanged(mem, before)


def test_raw_pressure_casts_and_carries_gradient_through_conflict_only():
    mem = memory()
    conflict = T(0.4, dtype=torch.float64, requires_grad=True)
    surprisal = T(2.0, dtype=torch.float64, requires_grad=True)
    p = mem._compute_pressure(conflict, surprisal, T(0.1, dtype=torch.float64))
    assert p.dtype == torch.float32 and mem.last_surprisal.dtype == torch.float32
    p.backward()
    assert conflict.grad is not None and surprisal.grad is None
    assert mem.surprisal_mean_ema.grad_fn is None and mem.last_avg_conflict.grad_fn is None
    assert not mem._compute_pressure(T(0.4), surprisal, T(0.1)).requires_grad


@pytest.mark.parametrize("args, error, match", [
    ((0.5, T(1.0), T(0.0)), TypeError, "Argument 'engram_conflict'"),
    ((T(0.5), T(1.0), [0.0]), TypeError, "Argument 'global_dance_friction'"),
    ((T([0.5, 0.1]), T(1.0), T(0.0)), RuntimeError, r"broadcast shape \[2\]"),
    ((T(0.5), T(1.0), T([0.0])), RuntimeError, r"broadcast shape \[1\]"),
])
def test_raw_pressure_rejects_bad_input_before_any_change(args, error, match):
    mem = memory()
    before = snapshot(mem)
    with pytest.raises(error, match=match):
        mem._compute_pressure(*args)
    assert_unchanged(mem, before)


# ---------------------------------------------------------------------------------------------
# Measurement of the disagreement


@pytest.mark.parametrize("fast, slow, friction", [
    ([[0.0, 0.0]], [[0.0, 0.0]], 0.0),
    ([[1.0, -3.0, 2.0]], [[1.0, -3.0, 2.0]], 0.0),
    ([[0.0, 0.0]], [[0.0, 2 * math.log(3)]], 0.13733),
    ([[0.0, 0.0], [0.0, 0.0]], [[0.0, 2 * math.log(3)], [0.0, 0.0]], 0.13733 / 2),  # mean over positions
])
def test_dance_friction_from_logits(fast, slow, friction):
    mem = memory()
    mem._update_global_pressure(T(0.0), T(1.5), T(99.0), fast_logits=T(fast), slow_logits=T(slow))
    assert mem.prev_dance_friction.item() == pytest.approx(friction, abs=1e-5)
    assert mem.last_dance_friction.item() == mem.prev_dance_friction.item()
    if friction == 0.0:
        assert mem.prev_dance_friction.item() == 0.0


def _spots(t, *spots):
    t = t.clone()
    for index, value in spots:
        t[index] = value
    return t


@pytest.mark.parametrize("case", ["plain", "nan", "plus_inf", "minus_inf", "whole_row_minus_inf", "float64",
                                  "strided", "one_column", "low_temperature"])
def test_dance_friction_from_plain_logits_is_the_composition(case):
    # Logits that take no gradient are measured row by row in one pass; logits that do take the
    # tensor composition. Both give the same friction and the same update.
    g = torch.Generator().manual_seed(2)
    fast, slow = torch.randn(3, 4, 6, generator=g) * 3, torch.randn(3, 4, 6, generator=g) * 3
    settings = {}
    if case == "nan":
        fast = _spots(fast, ((0, 1, 2), NAN))
    elif case == "plus_inf":
        slow = _spots(slow, ((2, 3, 0), INF))
    elif case == "minus_inf":
        fast = _spots(fast, ((1, 0, 5), -INF))
    elif case == "whole_row_minus_inf":
        slow = _spots(slow, ((1, 2), -INF))
    elif case == "float64":
        fast, slow = fast.double(), slow.double()
    elif case == "strided":
        fast, slow = fast.transpose(0, 1), slow.transpose(0, 1)
    elif case == "one_column":
        fast, slow = fast[..., :1], slow[..., :1]
    elif case == "low_temperature":
        settings["kl_temperature"] = 0.05
    plain, graph = memory(**settings), memory(**settings)
    update(plain, fast_logits=fast, slow_logits=slow)
    update(graph, fast_logits=fast.clone().requires_grad_(True), slow_logits=slow)
    for name in ("last_dance_friction", "prev_dance_friction", "last_dance_friction_nonfinite", "global_pressure"):
        torch.testing.assert_close(getattr(plain, name), getattr(graph, name), rtol=1e-5, atol=1e-6, equal_nan=True)


def test_dance_friction_from_the_argument_unless_both_logits_are_given():
    mem = memory()
    mem._update_global_pressure(T(0.0), T(1.5), T(0.3, dtype=torch.float64), fast_logits=T([[0.0, 5.0]]))
    assert mem.prev_dance_friction.item() == pytest.approx(0.3) and mem.prev_dance_friction.dtype == torch.float32
    mem._update_global_pressure(T(0.0), T(1.5), None, fast_logits=T([[0.0, 1.0]]), slow_logits=T([[0.0, 1.0]]))
    assert mem.prev_dance_friction.item() == 0.0


FIRST_FINITE = {  # first call after construction with a dance friction of 0.2
    "last_dance_friction_nonfinite": 0.0, "last_delta_dance_friction": 0.2,
    "dance_kl_ema_mean": 0.004, "delta_dance_kl_ema_mean": 0.004,
    "dance_kl_ema_var": 0.98076832, "delta_dance_kl_ema_var": 0.98076832,
    "last_dance_friction_centered": 0.196, "last_calm_band_thresh": 0.99434, "last_calm_drift_thresh": 0.99434,
    "last_dance_z": 0.19791, "last_drift_z": 0.19791, "shakti_tension_z": 0.19791,
    "friction_ema": 0.004, "friction_ema_absdev": 0.98392, "last_friction_drop_z": -0.19920,
    "prev_dance_friction": 0.2, "cosmic_surprisal_z": 0.5,
}
FIRST_NON_FINITE = {  # the same with a NaN dance friction: readings from the stand-in 1.0; every
    # running statistic, the pressure and the previous-call values stay; no streak, no calm
    "last_dance_friction_nonfinite": 1.0, "last_delta_dance_friction": 0.0,
    "dance_kl_ema_mean": 0.0, "delta_dance_kl_ema_mean": 0.0, "dance_kl_ema_var": 1.0, "delta_dance_kl_ema_var": 1.0,
    "last_dance_friction_centered": 0.0, "last_calm_band_thresh": 1.0, "last_calm_drift_thresh": 1.0,
    "last_dance_z": 1.0, "last_drift_z": 1.0, "shakti_tension_z": 1.0,
    "friction_ema": 0.0, "friction_ema_absdev": 1.0, "last_friction_drop_z": 0.0,
    "prev_dance_friction": 0.0, "prev_pressure_raw": 0.0, "cosmic_surprisal_z": 0.5,
    "global_pressure": 0.0, "pressure_prev": 0.0, "last_pressure_raw": 0.0,
    "surprisal_mean_ema": 1.5, "surprisal_std_ema": 1.0, "dance_friction_mean_ema": 0.0,
    "dance_friction_std_ema": 1.0, "calm_streak": 0,
    "trainer_calm_ok": 0.0, "adaptive_calm_ok": 0.0, "bounded_calm_ok": 0.0, "tension_high_streak": 0,
}


@pytest.mark.parametrize("friction, expected", [(0.2, FIRST_FINITE), (NAN, FIRST_NON_FINITE),
                                                (INF, FIRST_NON_FINITE), (-INF, FIRST_NON_FINITE)])
def test_first_measurement(friction, expected):
    mem = memory()
    mem.trainer_calm_ok.fill_(1.0)
    mem.tension_high_streak.fill_(5)
    update(mem, friction, surprisal=2.0)
    got = dict(zip(expected, values(mem, *expected)))
    assert got == pytest.approx(expected, abs=1e-5)
    assert mem.trainer_calm_ok.item() == (0.0 if expected is FIRST_NON_FINITE else 1.0)


def test_non_finite_friction_is_skipped_by_what_carries_over():
    mem = memory(collapse_tension_high_z=0.5, calm_window_steps=0)
    update(mem, 0.3)
    mem.tension_high_streak.fill_(5)
    mem.calm_streak.fill_(7)
    twin = memory(collapse_tension_high_z=0.5, calm_window_steps=0)
    twin.load_state_dict(mem.state_dict())
    update(mem, NAN)  # tension_z is 1.0 >= 0.5, yet a non-finite call starts no streak
    assert values(mem, "tension_high_streak", "calm_streak", "adaptive_calm_ok") == [0, 0, 0.0]
    # The next finite update is measured from the last finite friction, and moves the pressure
    # exactly as if the non-finite one had not happened.
    update(mem, 0.2), update(twin, 0.2)
    assert mem.last_delta_dance_friction.item() == pytest.approx(-0.1)
    for name in ("global_pressure", "pressure_prev", "friction_ema", "friction_ema_absdev", "dance_kl_ema_mean",
                 "dance_kl_ema_var", "delta_dance_kl_ema_mean", "delta_dance_kl_ema_var", "surprisal_mean_ema",
                 "surprisal_std_ema", "dance_friction_mean_ema", "dance_friction_std_ema", "prev_dance_friction"):
        assert torch.equal(getattr(mem, name), getattr(twin, name)), name


@pytest.mark.parametrize("eps, surprisal, world_z", [(1e-08, 2.0, 5e7), (0.0, 2.0, 10.0), (0.0, 1.5, 0.0)])
def test_world_z_replacements(eps, surprisal, world_z):
    mem = memory(eps=eps)
    mem.surprisal_std_ema.zero_()
    update(mem, 0.2, surprisal=surprisal)
    assert mem.cosmic_surprisal_z.item() == pytest.approx(world_z, rel=1e-4)


@pytest.mark.parametrize("average, drop_z", [(0.5, 10.0), (0.0, -10.0), (0.2, 0.0)])
def test_friction_drop_z_replacements(average, drop_z):
    mem = memory(collapse_friction_ema_decay=1.0)  # the average and its deviation stay put
    mem.friction_ema.fill_(average)
    mem.friction_ema_absdev.fill_(-1e-08)  # + 1e-08 makes the denominator exactly 0
    update(mem, 0.2)
    assert mem.last_friction_drop_z.item() == drop_z


def test_friction_drop_is_positive_below_a_settled_average():
    mem = memory()
    mem.friction_ema.fill_(5.0), mem.friction_ema_absdev.fill_(0.1)
    update(mem, 0.0)
    assert mem.last_friction_drop_z.item() == pytest.approx(4.9 / 0.196, rel=1e-5)


# ---------------------------------------------------------------------------------------------
# Tension and calm


def test_tension_at_the_threshold_counts_as_high():
    probe = memory()
    update(probe, 0.2)
    tension = probe.shakti_tension_z.item()
    for threshold, streak in [(tension, 1), (tension + 1e-6, 0)]:
        mem = memory(collapse_tension_high_z=threshold)
        update(mem, 0.2)
        assert mem.tension_high_streak.item() == streak


@pytest.mark.parametrize("window", [12, 0])
def test_calm_window(window):
    mem = memory(calm_window_steps=window)
    flags = []
    for _ in range(13):
        update(mem, 0.0)
        flags.append(mem.adaptive_calm_ok.item())
        assert mem.bounded_calm_ok.item() == flags[-1]
    assert mem.calm_streak.item() == 13
    update(mem, 100.0)  # far outside the calm band
    flags.append(mem.adaptive_calm_ok.item())
    assert mem.calm_streak.item() == 0 and mem.bounded_calm_ok.item() == flags[-1]
    if window == 12:
        assert flags == [0.0] * 11 + [1.0, 1.0, 0.0]
    else:
        assert flags == [1.0] * 14
    assert mem.trainer_calm_ok.item() == 0.0


@pytest.mark.parametrize("band_std_mult, drift_std_mult, calm", [
    (0.0, 1.0, False),  # dance friction 0.0 equals the band threshold 0.0
    (1.0, 0.0, False),  # |delta| 0.0 equals the drift threshold 0.0
    (1.0, 1.0, True),
])
def test_calm_bounds_are_strict(band_std_mult, drift_std_mult, calm):
    # A zero friction from the initial statistics leaves both means at 0.0, so each threshold is
    # exactly 0.0 with a zero multiplier.
    mem = memory(calm_band_std_mult=band_std_mult, calm_drift_std_mult=drift_std_mult)
    update(mem, 0.0)
    assert mem.calm_streak.item() == int(calm)


# ---------------------------------------------------------------------------------------------
# Raw pressure, spike, rate limit and smoothing


def test_rate_limit_and_smoothing():
    mem = memory()
    raw_pressure(mem, 1.0)
    for n in range(1, 102):
        update(mem)
        assert mem.pressure_prev.item() == mem.global_pressure.item()
        if n <= 100:
            assert mem.global_pressure.item() == pytest.approx(0.008 * n, abs=1e-5)
    assert mem.global_pressure.item() == pytest.approx(0.808, abs=1e-5)
    update(mem)  # within reach now: 4 % of the remaining distance per update
    assert mem.global_pressure.item() == pytest.approx(0.808 + 0.04 * 0.192, abs=1e-5)
    raw_pressure(mem, 0.0)
    before = mem.global_pressure.item()
    update(mem)
    assert before - mem.global_pressure.item() == pytest.approx(0.008, abs=1e-6)


def test_first_update_bookkeeping():
    mem = memory()
    update(mem, 0.2)
    assert mem.last_delta_pressure_raw.item() == mem.last_pressure_raw.item() == mem.prev_pressure_raw.item()
    assert 0.5 < mem.last_pressure_raw.item() < 0.7311  # the sigmoid value, not the weighted sum
    raw_pressure(mem, 0.25)
    previous = mem.prev_pressure_raw.item()
    update(mem, 0.2)
    assert mem.last_delta_pressure_raw.item() == pytest.approx(0.25 - previous)


@pytest.mark.parametrize("raw, used", [(NAN, 1.0), (INF, 1.0), (-INF, 0.0), (0.3, 0.3)])
def test_non_finite_raw_pressure_is_replaced(raw, used):
    mem = memory()
    raw_pressure(mem, raw)
    update(mem)
    assert mem.last_pressure_raw.item() == pytest.approx(used)
    assert mem.global_pressure.item() == pytest.approx(0.04 * min(used, 0.2))


def spiking_memory(**settings):
    """Warm (global_step 2), with a sudden change far from the running mean."""
    mem = memory(enable_nonlinear_spike=True, **settings)
    mem.forward_step(), mem.forward_step()
    return mem


@pytest.mark.parametrize("raw, spiked", [(0.2, 0.6), (0.5, 1.0), (0.3, 0.9)])
def test_spike_fires(raw, spiked):
    mem = spiking_memory()
    raw_pressure(mem, raw)
    update(mem, 1.0)
    assert mem.last_spike_applied.item() == 1.0
    assert mem.last_pressure_raw.item() == pytest.approx(spiked) == mem.prev_pressure_raw.item()
    assert mem.global_pressure.item() == pytest.approx(0.008)  # still rate limited


def test_spike_thresholds_are_strict():
    probe = spiking_memory()
    update(probe, 1.0)
    delta, centered = probe.last_delta_dance_friction.item(), probe.last_dance_friction_centered.item()
    for settings in [dict(dance_spike_tau=delta), dict(dance_spike_epsilon=centered), dict(spike_warmup_steps=2)]:
        mem = spiking_memory(**settings)
        raw_pressure(mem, 0.2)
        update(mem, 1.0)
        assert mem.last_spike_applied.item() == 0.0, settings
        assert mem.last_pressure_raw.item() == pytest.approx(0.2)


@pytest.mark.parametrize("spike, friction", [(True, NAN), (False, 1.0)])
def test_no_spike_when_switched_off_or_after_a_non_finite_friction(spike, friction):
    mem = spiking_memory()
    mem._enable_nonlinear_spike = spike
    mem.last_spike_applied.fill_(1.0)
    raw_pressure(mem, 0.2)
    update(mem, friction)
    # A non-finite friction computes no raw pressure: the last one stays.
    raw = 0.2 if math.isfinite(friction) else 0.0
    assert mem.last_spike_applied.item() == 0.0 and mem.last_pressure_raw.item() == pytest.approx(raw)


def test_pressure_stays_in_range_and_moves_slowly():
    torch.manual_seed(0)
    mem = memory(enable_nonlinear_spike=True)
    special = [NAN, INF, -INF, 1e6, -1e6]
    for i in range(400):
        mem.forward_step()
        inputs = [special[i % 5] if i % 7 == j else torch.randn(()).item() * 3 for j in range(3)]
        before = mem.global_pressure.item()
        mem._update_global_pressure(*map(T, inputs))
        after = mem.global_pressure.item()
        assert 0.0 <= after <= 1.0 and abs(after - before) <= 0.008 + 1e-7
        assert mem.pressure_prev.item() == after


def test_update_leaves_no_autograd_history():
    mem = memory()
    inputs = [T(v, requires_grad=True) for v in (0.4, 2.0, 0.3)]
    assert mem._update_global_pressure(*inputs) is None
    for name, buffer in mem.named_buffers():
        assert buffer.grad_fn is None and not buffer.requires_grad, name


@pytest.mark.parametrize("call", [
    lambda m: m._update_global_pressure(T(0.0), T(1.5)),
    lambda m: m._update_global_pressure(T(0.0), T(1.5), T(0.0), None, None, None),
    lambda m: m._update_global_pressure(T(0.0), T(1.5), T(0.0), logits=T([0.0])),
    lambda m: m._update_global_pressure(1.0, T(1.5), T(0.0)),
    lambda m: m._update_global_pressure(T(0.0), T([1.5, 1.0]), T(0.0)),
    lambda m: m._update_global_pressure(T(0.0), T(1.5), T([0.0])),
    lambda m: m._update_global_pressure(T(0.0), T(1.5), 0.0),
    lambda m: m._update_global_pressure(T(0.0), T(1.5), T(0.0), fast_logits=T([[0.0, 1.0]]),
                                        slow_logits=T([[0.0, 1.0, 2.0]])),
    lambda m: m._update_global_pressure(T(0.0), T(1.5), T(0.0), fast_logits="logits", slow_logits=T([[0.0]])),
], ids=["two args", "six args", "bad keyword", "non-tensor conflict", "vector surprisal",
        "vector friction", "non-tensor friction", "mismatched logits", "non-tensor logits"])
def test_update_rejects_bad_calls_before_any_change(call):
    mem = memory()
    before = snapshot(mem)
    with pytest.raises((TypeError, RuntimeError)):
        call(mem)
    assert_unchanged(mem, before)

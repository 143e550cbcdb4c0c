import math

import numpy as np
import pytest
import torch

from silver_kestrel.architectures.heavy_core import heavy_core as hc
from heavy_core_support import inputs, make_core

F32_09 = float(torch.tensor(0.9, dtype=torch.float32))


def sigmoid(v):
    return 1 / (1 + math.exp(-v))


def call(core, drop_z=0.0, pressure=None, x=None):
    """One core call with pressure coupling off: the slow fortress's drop score and pressure are
    whatever is put there before the call."""
    f = core.slow_path.fortress
    f.last_friction_drop_z.fill_(drop_z)
    if pressure is not None:
        f.global_pressure.fill_(pressure)
    return core(inputs(B=1, L=3) if x is None else x)


@pytest.fixture
def core():
    return make_core(enable_vgt=False)


def test_shock_spacing_and_freeze_window(core):
    # A drop score above the threshold on every call, in evaluation mode and without gradients:
    # the counters run all the same.
    core.eval()
    seen = []
    with torch.no_grad():
        for n in range(131):
            _, diag = call(core, drop_z=2.0, pressure=0.0)
            seen.append((diag["shock_detected"], diag["shock_freeze_active"], diag["zurav_slow_weight"]))
    shocks = [n for n, s in enumerate(seen) if s[0] == 1.0]
    frozen = [n for n, s in enumerate(seen) if s[1] == 1.0]
    assert shocks == [0, 128]
    assert frozen == list(range(0, 9)) + list(range(128, 131))
    assert seen[1][:2] == (0.0, 1.0)  # the second high call sees cooldown 127
    assert all(s[2] == F32_09 for n, s in enumerate(seen) if n in frozen)
    assert all(s[2] == pytest.approx(sigmoid(-2.0)) for n, s in enumerate(seen) if n not in frozen)
    assert len(core.boundary_history) == 2 and diag["boundary_count"] == 2
    assert (core.shock_cooldown, core.active_shock_freeze) == (128 - 2, 8 - 2)


@pytest.mark.parametrize("drop_z, cooldown, threshold, fires", [
    (1.5, 0, 1.5, True),       # equality fires
    (1.4999, 0, 1.5, False),
    (10.0, 1, 1.5, True),      # the cooldown is decreased before the test
    (10.0, 2, 1.5, False),
    (0.6, 0, 0.5, True),       # the host may change the threshold
    (-10.0, 0, -10.0, True),
])
def test_shock_condition(core, drop_z, cooldown, threshold, fires):
    core.shock_cooldown = cooldown
    core.shock_threshold_z = threshold
    _, diag = call(core, drop_z=drop_z)
    assert diag["shock_detected"] == (1.0 if fires else 0.0)
    assert diag["shock_freeze_active"] == diag["shock_detected"]
    assert diag["friction_drop_z"] == float(torch.tensor(drop_z, dtype=torch.float32))
    assert core.shock_cooldown == (128 if fires else max(cooldown - 1, 0))
    assert core.active_shock_freeze == (8 if fires else 0)
    assert len(core.boundary_history) == int(fires)


@pytest.mark.parametrize("shared", [False, True])
def test_boundary_record_without_promotion(shared):
    core = make_core(enable_vgt=False, shared_backbone=shared)
    f = core.slow_path.fortress
    f.friction_ema.fill_(0.375)
    _, diag = call(core, drop_z=2.0)
    [record] = core.boundary_history
    assert type(record) is hc.BoundaryRecord
    # A shared block steps twice per call.
    assert record.step == (2 if shared else 1) and type(record.step) is int
    assert record.friction_before == 0.375
    assert record.friction_after == diag["vgt_dance_friction_kl"]
    assert record.drop_z == 2.0 and record.reason == "FRICTION_COLLAPSE" and record.engram_id is None


def test_promotion_at_a_shock():
    core = make_core(enable_vgt=False)
    f = core.slow_path.fortress
    f.next_engram_id.fill_(5)
    attempts = []
    block_done = []
    original_step = core.slow_path.forward_with_diagnostics

    def slow_step(*args):
        result = original_step(*args)
        block_done.append(True)
        return result

    def promote(*args, **kwargs):
        if not block_done:
            return False, "no_candidate", False  # the block's own decision
        attempts.append((args, kwargs))
        f.next_engram_id.add_(1)
        f.global_pressure.fill_(0.875)  # promotion may move the pressure: read afterwards
        return True, "promoted", True

    core.slow_path.forward_with_diagnostics = slow_step
    f.maybe_promote_to_deep_engram = promote
    bridge_pressure = []
    core.cross_attn.register_forward_hook(lambda m, args, out: bridge_pressure.append(float(args[2])))
    _, diag = call(core, drop_z=3.0, pressure=0.0)
    assert attempts == [((), {"stable": True, "trainer_ok": True})]
    assert core.boundary_history[0].engram_id == 5
    assert diag["vgt_pressure"] == 0.875 and bridge_pressure == [0.875] and diag["mode"] == "SIEGE"
    assert diag["zurav_slow_weight"] == F32_09

    # No promotion attempt without a shock.
    block_done.clear()
    call(core, drop_z=3.0)
    assert len(attempts) == 1


def test_history_keeps_the_latest_hundred(core):
    old = [hc.BoundaryRecord(i, 0.0, 0.0, 2.0, "FRICTION_COLLAPSE") for i in range(100)]
    core.boundary_history.extend(old)
    _, diag = call(core, drop_z=2.0)
    assert diag["boundary_count"] == 100 and len(core.boundary_history) == 100
    assert core.boundary_history[:99] == old[1:]
    assert core.boundary_history[-1].step == 1


def test_bookkeeping_stands_when_the_bridge_fails(core):
    def fail(*args):
        raise RuntimeError("bridge down")

    core.cross_attn.forward = fail
    with pytest.raises(RuntimeError, match="bridge down"):
        call(core, drop_z=2.0)
    assert (core.shock_cooldown, core.active_shock_freeze, len(core.boundary_history)) == (128, 8, 1)


@pytest.mark.parametrize("pressure", [0.0, 0.25, 0.5, 1.0])
@pytest.mark.parametrize("freeze", [False, True])
def test_routing_weight(core, pressure, freeze):
    core.active_shock_freeze = 2 if freeze else 0
    _, diag = call(core, pressure=pressure)
    expected = F32_09 if freeze else float(torch.sigmoid(torch.tensor(4.0 * (pressure - 0.5))))
    assert diag["zurav_slow_weight"] == pytest.approx(expected, rel=1e-6)
    if freeze:
        assert diag["zurav_slow_weight"] == F32_09
    assert diag["shock_freeze_active"] == (1.0 if freeze else 0.0)
    assert core.active_shock_freeze == (1 if freeze else 0)
    if pressure == 0.5 and not freeze:
        assert diag["zurav_slow_weight"] == 0.5


def test_freeze_floor_stops_the_routing_gradient(core):
    core.active_shock_freeze = 1
    out, _ = call(core, pressure=0.0, x=inputs(B=1, L=3).requires_grad_())
    out.sum().backward()
    assert core.routing_sharpness.grad.item() == 0.0 and core.routing_threshold.grad.item() == 0.0


@pytest.fixture
def float64_default():
    previous = torch.get_default_dtype()
    torch.set_default_dtype(torch.float64)
    yield
    torch.set_default_dtype(previous)


@pytest.mark.parametrize("pressure, mode", [
    (0.6, "FLOW"), (float(np.nextafter(0.6, 1.0)), "SIEGE"), (0.0, "FLOW"), (1.0, "SIEGE"),
])
def test_mode_word(float64_default, pressure, mode):
    core = make_core(enable_vgt=False)
    assert core.slow_path.fortress.global_pressure.dtype == torch.float64
    _, diag = call(core, pressure=pressure, x=inputs(B=1, L=3).double())
    assert diag["vgt_pressure"] == pressure and diag["mode"] == mode

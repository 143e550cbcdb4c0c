"""Helpers of the dual-path core tests: small cores, a reference forward written with the public
pieces of the heavy core, and ways to steer the slow fortress's friction drop score."""
import torch

from silver_kestrel.architectures.heavy_core import fortress_engine as fe
from silver_kestrel.architectures.heavy_core import heavy_core as hc

WIDTH = 8  # the blocks need d_model == d_state; eight bridge heads of width 1


def make_config(width=WIDTH):
    return fe.TevUnifiedConfig(d_model=width, d_state=width, n_layers=1)


def make_core(seed=0, width=WIDTH, cross_attn_mode="linear", shared_backbone=False, **settings):
    torch.manual_seed(seed)
    return hc.ZuravMorvaV8_2H(make_config(width), fe.FortressUnbrokenConfig(**settings),
                              cross_attn_mode=cross_attn_mode, shared_backbone=shared_backbone)


def inputs(B=2, L=5, D=WIDTH, seed=1):
    return torch.randn(B, L, D, generator=torch.Generator().manual_seed(seed))


def steer_drop_z(fortress, values):
    """Makes the fortress report the next value of `values` as `last_friction_drop_z` after the
    core's own pressure update (the one given both logits); the update itself still runs."""
    values = iter(values)
    original = fortress._update_global_pressure

    def update(*args, **kwargs):
        result = original(*args, **kwargs)
        if "fast_logits" in kwargs:
            fortress.last_friction_drop_z.fill_(next(values))
        return result

    fortress._update_global_pressure = update


def reference_forward(core, x, state=None):
    """The heavy core's forward, written out with its public pieces."""
    B, L, D = x.shape
    # A shared block runs both paths from the carried-in state and carries the fast run's end on.
    integrator = core.fast_path.integrator if core.slow_path is core.fast_path else None
    start = integrator.sigma_prev.clone() if integrator is not None else None
    y_fast, diag_fast = core.fast_path.forward_with_diagnostics(x, state, True)
    x_radar = core.radar(x)
    if integrator is not None:
        fast_end, integrator.sigma_prev = integrator.sigma_prev, start
    y_slow, diag_slow = core.slow_path.forward_with_diagnostics(x_radar, state, True)
    if integrator is not None:
        integrator.sigma_prev = fast_end
    f = core.slow_path.fortress
    kl_temp = float(getattr(f, "_kl_temperature", 2.0))
    sync_error = core._safe_symmetric_kl(y_fast, y_slow, kl_temp)
    if core.slow_path.fortress_config.enable_vgt:
        metas = [entry[3] for entry in f.engram_stack]
        avg_conflict = sum(m.conflict_ema for m in metas) / len(metas) if metas else 0.0
        dtype = f.global_pressure.dtype
        f._update_global_pressure(torch.tensor(avg_conflict, device=x.device, dtype=dtype),
                                  torch.tensor(float(diag_slow.get("surprisal_score", 1.0)), device=x.device,
                                               dtype=dtype),
                                  sync_error.to(x.device, dtype),
                                  fast_logits=y_fast.detach(), slow_logits=y_slow.detach())
    P = f.global_pressure
    friction_drop_z = float(f.last_friction_drop_z)
    if core.shock_cooldown > 0:
        core.shock_cooldown -= 1
    freeze = core.active_shock_freeze > 0
    if freeze:
        core.active_shock_freeze -= 1
    shock = friction_drop_z >= core.shock_threshold_z and core.shock_cooldown == 0
    if shock:
        core.shock_cooldown = 128
        core.active_shock_freeze = core.shock_freeze_steps
        record = hc.BoundaryRecord(step=int(f.global_step), friction_before=float(f.friction_ema),
                                   friction_after=float(sync_error), drop_z=friction_drop_z,
                                   reason="FRICTION_COLLAPSE")
        promoted, _, _ = f.maybe_promote_to_deep_engram(stable=True, trainer_ok=True)
        if promoted:
            record.engram_id = int(f.next_engram_id) - 1
        core.boundary_history.append(record)
        if len(core.boundary_history) > 100:
            core.boundary_history.pop(0)
        freeze = True
    context = core.cross_attn(y_fast, y_slow, P)
    w = torch.sigmoid(core.routing_sharpness * (P - core.routing_threshold))
    if freeze:
        w = torch.maximum(w, torch.tensor(0.9, dtype=w.dtype, device=w.device))
    output = y_fast + context * w
    diagnostics = {
        "vgt_pressure": float(P), "zurav_slow_weight": float(w), "fast_diagnostics": diag_fast,
        "slow_diagnostics": diag_slow, "mode": "SIEGE" if float(P) > 0.6 else "FLOW",
        "shock_detected": 1.0 if shock else 0.0, "shock_freeze_active": 1.0 if freeze else 0.0,
        "friction_drop_z": friction_drop_z, "boundary_count": len(core.boundary_history),
        "vgt_dance_friction_kl": float(sync_error),
    }
    return output, diagnostics


def shock_state(core):
    return (core.shock_cooldown, core.active_shock_freeze, list(core.boundary_history))

import copy
import dataclasses
import logging
import math

import pytest
import torch

from silver_kestrel.architectures.heavy_core import fortress_engine as fe

D = 8  # state width; with k_max_ratio 0.5 the bases have 4 columns


def memory(**settings):
    settings.setdefault("k_max_ratio", 0.5)
    return fe.FortressUnbrokenMemory(D, fe.FortressUnbrokenConfig(**settings))


def orthonormal(rank, seed, d=D):
    g = torch.Generator().manual_seed(seed)
    return torch.linalg.qr(torch.randn(d, rank, generator=g)).Q


def axes(*indices):
    return torch.eye(D)[:, list(indices)]


def add_engram(mem, active, engram_id=None, **fields):
    """Appends an engram entry the way promotion does: zero-padded basis, rank, quality, record."""
    rank = active.shape[1]
    basis = torch.zeros(D, mem._k_max, dtype=active.dtype)
    basis[:, :rank] = active
    md = fe.EngramMetadata(engram_id=len(mem.engram_stack) if engram_id is None else engram_id, **fields)
    mem.engram_stack.append((basis, rank, 0.9, md))
    mem.joint_basis_dirty = True
    return md


def fixed_alpha(mem, value):
    """The rebuild asks the instance for each coefficient, so an instance attribute decides it."""
    mem._compute_alpha = lambda lambda_val, pressure=0.0: value


def next_float32(value, toward):
    """The neighbouring float32 value: thresholds are compared in the dtype of the tensor."""
    return torch.nextafter(torch.tensor(value), torch.tensor(toward)).item()


def reference_projection(G, E, alpha):
    c = G @ E
    kept = ((1 - alpha) * c) @ E.T
    inside = c @ E.T
    return kept + (G - inside)


@pytest.fixture
def records(caplog):
    caplog.set_level(logging.INFO, logger=fe.__name__)
    return lambda: [(r.levelname, r.getMessage()) for r in caplog.records if r.name == fe.__name__]


# ---------------------------------------------------------------------------------------------
# Joint basis


def test_rebuild_concatenates_bases_and_repeats_coefficients():
    mem = memory()
    mem.global_pressure.fill_(0.5)
    mem.global_step.fill_(77)
    Q = orthonormal(5, 1)
    A1, A2 = Q[:, :2], Q[:, 2:]  # mutually orthogonal, as promotion keeps them
    md1 = add_engram(mem, A1, steps_since_consolidation=10000, current_lambda=-1.0)
    md2 = add_engram(mem, A2, conflict_ema=0.45, current_lambda=-1.0)
    assert mem._update_joint_basis() is None

    assert mem.joint_basis_dirty is False
    assert torch.equal(mem.E_joint, torch.cat([A1, A2], dim=1))
    lam1, lam2 = mem._compute_protection_strength(md1, 77), mem._compute_protection_strength(md2, 77)
    assert (md1.current_lambda, md2.current_lambda) == (lam1, lam2)
    pressure = mem.global_pressure.item()
    a1, a2 = mem._compute_alpha(lam1, pressure), mem._compute_alpha(lam2, pressure)
    assert a1 != a2
    assert mem.alpha_vector.dtype == torch.get_default_dtype() and mem.alpha_vector.device == mem.E_joint.device
    assert torch.equal(mem.alpha_vector, torch.tensor([a1, a1, a2, a2, a2]))


def test_rebuild_only_when_dirty():
    mem = memory()
    md = add_engram(mem, axes(0, 1))
    mem._update_joint_basis()
    E, alpha = mem.E_joint, mem.alpha_vector
    md.is_yielding = True
    mem.global_pressure.fill_(1.0)
    mem._update_joint_basis()
    assert mem.E_joint is E and mem.alpha_vector is alpha and md.current_lambda == 15.0
    mem.joint_basis_dirty = True
    mem._update_joint_basis()
    assert md.current_lambda == 0.05 and mem.alpha_vector[0].item() == pytest.approx((0.05 / 15) ** 2.5)


def test_rebuild_of_an_empty_list_clears_the_basis_and_stays_dirty():
    mem = memory()
    add_engram(mem, axes(0))
    mem._update_joint_basis()
    mem.engram_stack.clear()
    mem.joint_basis_dirty = True
    mem._update_joint_basis()
    assert mem.E_joint is None and mem.alpha_vector is None and mem.joint_basis_dirty is True


def test_default_dtype_float64_coefficients_with_float32_bases():
    previous = torch.get_default_dtype()
    mem = memory()
    add_engram(mem, axes(0, 1))
    torch.set_default_dtype(torch.float64)
    try:
        mem._update_joint_basis()
        assert mem.alpha_vector.dtype == torch.float64
        G = torch.randn(3, D, dtype=torch.float32)
        P = mem.create_joint_basis_projection_hook()(G)
    finally:
        torch.set_default_dtype(previous)
    assert P.dtype == torch.float32
    torch.testing.assert_close(P, reference_projection(G, mem.E_joint, mem.alpha_vector.float()))


# ---------------------------------------------------------------------------------------------
# Projection


def test_no_engram_returns_the_very_gradient(records):
    mem = memory()
    hook = mem.create_joint_basis_projection_hook()
    before = {k: v.clone() for k, v in mem.state_dict().items()}
    for grad in (torch.randn(2, 3, D), torch.randn(4, D)):
        assert hook(grad) is grad
    assert hook(grad="anything") == "anything"
    assert mem.E_joint is None and mem.alpha_vector is None and mem.joint_basis_dirty is True
    assert all(torch.equal(v, before[k]) for k, v in mem.state_dict().items())
    assert records() == []


def test_hook_is_a_fresh_callable_that_computes_nothing_when_made():
    mem = memory()
    add_engram(mem, axes(0))
    hooks = [mem.create_joint_basis_projection_hook() for _ in range(2)]
    assert hooks[0] is not hooks[1] and hooks[0].__name__ == "joint_projection_hook"
    assert mem.joint_basis_dirty is True and mem.E_joint is None
    with pytest.raises(TypeError):
        hooks[0]()


@pytest.mark.parametrize("shape", [(4, D), (2, 3, D), (2, 2, 2, D), (D,)])
@pytest.mark.parametrize("coefficient", [0.0, 1.0, None])
def test_projection_matches_the_reference(shape, coefficient, records):
    mem = memory(min_global_gradient_ratio=0.0)
    Q = orthonormal(5, 3)  # two engrams of one orthonormal joint basis
    add_engram(mem, Q[:, :2])
    add_engram(mem, Q[:, 2:], steps_since_consolidation=8000)
    _check_projection(mem, shape, coefficient, records)


@pytest.mark.parametrize("coefficient", [0.0, None])
def test_projection_of_overlapping_engrams_matches_the_reference(coefficient, records):
    mem = memory(min_global_gradient_ratio=0.0)
    add_engram(mem, orthonormal(2, 3))
    add_engram(mem, orthonormal(3, 4), steps_since_consolidation=8000)
    _check_projection(mem, (2, 3, D), coefficient, records)


def _check_projection(mem, shape, coefficient, records):
    if coefficient is not None:
        fixed_alpha(mem, coefficient)
    G = torch.randn(*shape, generator=torch.Generator().manual_seed(5))
    P = mem.create_joint_basis_projection_hook()(G)
    assert P.shape == G.shape and P is not G
    rows = G.reshape(-1, D)
    expected = reference_projection(rows, mem.E_joint, mem.alpha_vector).reshape(shape)
    torch.testing.assert_close(P, expected, rtol=1e-5, atol=1e-6)
    if coefficient == 0.0:
        assert torch.equal(P, G)
    if coefficient == 1.0:  # nothing is left along the joint basis
        torch.testing.assert_close(P.reshape(-1, D) @ mem.E_joint, torch.zeros(rows.shape[0], 5), atol=1e-6, rtol=0)
    assert records() == []


def test_hook_edits_the_gradient_in_the_backward_pass():
    mem = memory()
    add_engram(mem, axes(0, 1))
    fixed_alpha(mem, 0.5)
    x = torch.randn(2, 3, D, requires_grad=True)
    weight = torch.randn(D, D)
    state = x @ weight
    handle = state.register_hook(mem.create_joint_basis_projection_hook())
    upstream = torch.randn(2, 3, D)
    (state * upstream).sum().backward()
    projected = upstream.clone()
    projected[..., :2] *= 0.5
    torch.testing.assert_close(x.grad, projected @ weight.T)
    assert mem.engram_stack[0][3].steps_since_consolidation == 0
    handle.remove()


# ---------------------------------------------------------------------------------------------
# Energy guard


@pytest.mark.parametrize("a, messages, rescaled", [
    (3.0, [], False),                                                      # ratio 0.8
    (math.sqrt(3.0), [("WARNING", "Gradient attenuated: 50.00%")], False),
    (math.sqrt(24.0), [("WARNING", "Gradient attenuated: 20.00%"), ("ERROR", "CRITICAL: Gradient near-zero")], True),
])
def test_energy_guard(a, messages, rescaled, records):
    mem = memory()
    add_engram(mem, axes(0))
    fixed_alpha(mem, 1.0)
    G = torch.zeros(1, D)
    G[0, 0], G[0, 1] = a, 1.0 if a != 3.0 else 4.0
    P = mem.create_joint_basis_projection_hook()(G)
    assert records() == messages
    n_in = torch.linalg.norm(G).item()
    if rescaled:
        assert torch.linalg.norm(P).item() == pytest.approx(0.3 * (n_in + 1e-8), rel=1e-6)
        assert P[0, 0] == 0 and P[0, 1].item() == pytest.approx(1.5)
    else:
        assert P[0, 0] == 0 and P[0, 1] == G[0, 1]


def test_ratio_equal_to_the_warning_threshold_is_not_attenuation(records):
    exact = float(torch.tensor(4.0) / (torch.tensor(5.0) + 1e-8))  # the float32 ratio of [3, 4] minus axis 0
    for threshold, logged in ((exact, False), (next_float32(exact, 1.0), True)):
        mem = memory(min_global_gradient_ratio=threshold)
        add_engram(mem, axes(0))
        fixed_alpha(mem, 1.0)
        G = torch.zeros(1, D)
        G[0, :2] = torch.tensor([3.0, 4.0])
        mem.create_joint_basis_projection_hook()(G)
        assert bool(records()) is logged


def test_floor_above_the_warning_threshold_rescales_only_attenuated_gradients(records):
    mem = memory(emergency_energy_floor=0.9)
    add_engram(mem, axes(0))
    fixed_alpha(mem, 1.0)
    G = torch.zeros(1, D)
    G[0, :2] = torch.tensor([3.0, 4.0])  # ratio 0.8: above the warning threshold 0.7, below the floor
    P = mem.create_joint_basis_projection_hook()(G)
    assert records() == [] and P[0, 1] == 4.0


def test_zero_gradient_stays_finite(records):
    mem = memory()
    md = add_engram(mem, axes(0, 1))
    P = mem.create_joint_basis_projection_hook()(torch.zeros(3, D))
    assert torch.equal(P, torch.zeros(3, D))
    assert [level for level, _ in records()] == ["WARNING", "ERROR"]
    assert md.usage_ema == 0.0 and md.conflict_ema == 0.0


# ---------------------------------------------------------------------------------------------
# Bookkeeping


def reference_conflict(G, A):
    n_in = torch.linalg.norm(G)
    return (torch.linalg.norm((G @ A) @ A.T) / (n_in + 1e-8)).item(), (torch.linalg.norm(G @ A) / (n_in + 1e-8)).item()


def test_usage_conflict_and_age_updates():
    mem = memory()
    mem.global_step.fill_(500)
    A1, A2 = orthonormal(2, 7), axes(5, 6, 7)
    md1 = add_engram(mem, A1, consolidation_step=100, usage_ema=0.5, conflict_ema=0.2, last_usage_step=3)
    md2 = add_engram(mem, A2, consolidation_step=450, usage_ema=0.5, conflict_ema=0.2, last_usage_step=3)
    G = torch.randn(6, D, generator=torch.Generator().manual_seed(9))
    G[:, 5:] = 0.0  # nothing along the second engram
    calls = []
    mem._update_yielding_state = lambda md: calls.append(md.engram_id)
    mem.create_joint_basis_projection_hook()(G.reshape(2, 3, D))

    assert (md1.steps_since_consolidation, md2.steps_since_consolidation) == (400, 50)
    conflict, touch = reference_conflict(G, A1)
    assert touch > 1e-5
    assert md1.usage_ema == pytest.approx(0.995 * 0.5 + 0.005) and md1.last_usage_step == 500
    assert md1.conflict_ema == pytest.approx(0.99 * 0.2 + 0.01 * conflict, rel=1e-6)
    assert md2.usage_ema == pytest.approx(0.995 * 0.5) and md2.last_usage_step == 3
    assert md2.conflict_ema == pytest.approx(0.99 * 0.2)
    assert all(type(getattr(md, f)) is float for md in (md1, md2) for f in ("usage_ema", "conflict_ema"))
    assert calls == [0, 1]


def test_tiny_gradient_only_ages_the_engrams():
    mem = memory()
    mem.global_step.fill_(9)
    md = add_engram(mem, axes(0), usage_ema=0.5, conflict_ema=0.5, last_usage_step=1)
    calls = []
    mem._update_yielding_state = lambda md: calls.append(md)
    G = torch.zeros(2, D)
    G[0, 0] = 1e-6  # the norm equals min_grad_norm: not above it
    mem.create_joint_basis_projection_hook()(G)
    assert md.steps_since_consolidation == 9
    assert (md.usage_ema, md.conflict_ema, md.last_usage_step, calls) == (0.5, 0.5, 1, [])


def test_touch_equal_to_the_epsilon_counts_as_untouched():
    exact = float(torch.tensor(3.0) / (torch.tensor(5.0) + 1e-8))
    for epsilon, touched in ((exact, False), (next_float32(exact, 0.0), True)):
        mem = memory(touch_epsilon=epsilon)
        mem.global_step.fill_(4)
        md = add_engram(mem, axes(0), usage_ema=0.5)
        G = torch.zeros(1, D)
        G[0, :2] = torch.tensor([3.0, 4.0])
        mem.create_joint_basis_projection_hook()(G)
        assert md.usage_ema == pytest.approx(0.995 * 0.5 + (0.005 if touched else 0.0))
        assert md.last_usage_step == (4 if touched else 0)


def test_conflict_is_measured_with_each_engrams_own_basis():
    # A basis that is not orthonormal, and an engram list changed behind the joint basis's back:
    # the conflict still follows ||(G A) A^T|| for the entry's current columns.
    mem = memory()
    md = add_engram(mem, 2.0 * orthonormal(2, 11))
    mem._update_joint_basis()
    replacement = torch.randn(D, 3, generator=torch.Generator().manual_seed(12))
    basis = torch.zeros(D, 4)
    basis[:, :3] = replacement
    mem.engram_stack[0] = (basis, 3, 0.9, md)
    G = torch.randn(5, D, generator=torch.Generator().manual_seed(13))
    mem.create_joint_basis_projection_hook()(G)
    conflict, _ = reference_conflict(G, replacement)
    assert md.conflict_ema == pytest.approx(0.01 * conflict, rel=1e-5)
    assert mem.E_joint.shape == (D, 2)  # the projection kept the stale joint basis


def test_yielding_change_keeps_the_old_coefficient_until_the_next_rebuild(records):
    mem = memory(yield_enter_threshold=0.0, sustained_conflict_window=1)
    md = add_engram(mem, axes(0, 1))
    hook = mem.create_joint_basis_projection_hook()
    hook(torch.randn(3, D))
    assert md.is_yielding and md.conflict_ema > 0
    assert records() == [("INFO", f"Engram 0 entering yielding (conflict={md.conflict_ema:.3f})")]
    alpha = mem.alpha_vector
    hook(torch.randn(3, D))
    assert mem.alpha_vector is alpha and alpha[0].item() == pytest.approx(0.98)
    mem.joint_basis_dirty = True
    hook(torch.randn(3, D))
    assert mem.alpha_vector[0].item() == pytest.approx((0.05 / 15) ** 2.5)


@pytest.mark.parametrize("grad", [torch.randn(3, D, dtype=torch.float64), torch.randn(3, D + 1), torch.tensor(1.0)])
def test_tensor_errors_pass_to_the_caller(grad):
    mem = memory()
    md = add_engram(mem, axes(0))
    with pytest.raises(RuntimeError):
        mem.create_joint_basis_projection_hook()(grad)
    assert mem.joint_basis_dirty is False and md.current_lambda == 15.0  # the rebuild had happened


# ---------------------------------------------------------------------------------------------
# Non-finite gradients

INF, NAN = float("inf"), float("nan")


def engram_records(mem):
    return [dataclasses.asdict(entry[3]) for entry in mem.engram_stack]


def assert_same_memory(mem, twin):
    """Every record field, buffer and joint-basis tensor finite and equal to the twin's."""
    assert engram_records(mem) == engram_records(twin)
    for md in engram_records(mem):
        assert all(math.isfinite(v) for v in md.values() if isinstance(v, float))
    mine, theirs = mem.state_dict(), twin.state_dict()
    assert mine.keys() == theirs.keys()
    for key, value in mine.items():
        assert torch.equal(value, theirs[key]), key
        assert not value.is_floating_point() or torch.isfinite(value).all(), key
    for name in ("E_joint", "alpha_vector"):
        assert torch.equal(getattr(mem, name), getattr(twin, name)), name


def bookkeeping_memory():
    """Three engrams whose yielding counters move on every measured call: a run of high conflict
    under way, a yielding engram counting its way out, a cooldown running down."""
    mem = memory()
    mem.global_step.fill_(40)
    Q = orthonormal(6, 21)
    add_engram(mem, Q[:, :2], usage_ema=0.5, conflict_ema=0.7, conflict_steps_high=3, last_usage_step=2)
    add_engram(mem, Q[:, 2:4], usage_ema=0.5, conflict_ema=0.1, is_yielding=True, steps_since_exit=4)
    add_engram(mem, Q[:, 4:], usage_ema=0.5, conflict_ema=0.3, yield_cooldown=5, consolidation_step=10)
    return mem


def spoilt(shape, value, rows):
    G = torch.randn(*shape, generator=torch.Generator().manual_seed(23))
    flat = G.view(-1, D)
    for row, v in zip(rows, value if isinstance(value, tuple) else (value,) * len(rows)):
        flat[row, (3 * row) % D] = v
    return G


@pytest.mark.parametrize("shape, value, rows", [
    ((4, D), INF, [1]), ((4, D), -INF, [1]), ((4, D), NAN, [1]),
    ((4, D), INF, [0, 1, 2, 3]), ((4, D), -INF, [0, 1, 2, 3]), ((4, D), NAN, [0, 1, 2, 3]),
    ((4, D), (INF, -INF), [0, 2]), ((4, D), (INF, NAN), [0, 3]),
    ((2, 3, D), INF, [4]), ((2, 3, D), -INF, list(range(6))),
])
def test_a_non_finite_gradient_leaves_every_statistic(shape, value, rows, records):
    mem = bookkeeping_memory()
    hook = mem.create_joint_basis_projection_hook()
    first = torch.randn(5, D, generator=torch.Generator().manual_seed(22))
    hook(first)
    twin = copy.deepcopy(mem)
    twin_hook = twin.create_joint_basis_projection_hook()
    records_before, fields_before = records(), engram_records(mem)

    G = spoilt(shape, value, rows)
    P = hook(G)
    # Nothing measured, nothing logged: the ratio of an inf or NaN gradient is not a number.
    assert records() == records_before
    assert_same_memory(mem, twin)

    # The gradient itself is projected as ever: rows without a bad value as they would be alone,
    # every row with one non-finite.
    assert P.shape == G.shape
    flat_G, flat_P = G.reshape(-1, D), P.reshape(-1, D)
    bad = torch.zeros(flat_G.shape[0], dtype=torch.bool)
    bad[rows] = True
    assert not torch.isfinite(flat_P[bad]).all(dim=1).any()
    expected = reference_projection(flat_G[~bad], mem.E_joint, mem.alpha_vector)
    torch.testing.assert_close(flat_P[~bad], expected, rtol=1e-5, atol=1e-6)

    # Later gradients are measured exactly as the twin measures them.
    for seed in (24, 25):
        later = torch.randn(3, D, generator=torch.Generator().manual_seed(seed))
        torch.testing.assert_close(hook(later), twin_hook(later), rtol=0, atol=0)
    assert_same_memory(mem, twin)
    assert engram_records(mem) != fields_before  # they did measure


def test_an_overflowing_engram_share_is_skipped_for_that_engram_only():
    # A finite gradient so large that its squares overflow float32: the share of the first engram
    # is inf / inf, that of the second, which the gradient misses, a finite 0.
    mem = memory()
    mem.global_step.fill_(7)
    md1 = add_engram(mem, axes(0, 1), usage_ema=0.5, conflict_ema=0.3, conflict_steps_high=2)
    md2 = add_engram(mem, axes(4), usage_ema=0.5, conflict_ema=0.3, conflict_steps_high=2)
    G = torch.zeros(2, D)
    G[0, 0] = 3e19
    G[1, 5] = 1.0
    assert torch.isfinite(G).all() and not torch.isfinite(torch.linalg.norm(G))
    mem.create_joint_basis_projection_hook()(G)
    assert (md1.usage_ema, md1.conflict_ema, md1.conflict_steps_high) == (0.5, 0.3, 2)
    assert md2.usage_ema == pytest.approx(0.995 * 0.5) and md2.conflict_ema == pytest.approx(0.99 * 0.3)
    assert md2.conflict_steps_high == 0  # measured: the run of high conflict is over
    assert md1.steps_since_consolidation == md2.steps_since_consolidation == 7

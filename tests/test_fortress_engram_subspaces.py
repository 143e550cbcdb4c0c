"""Engram subspaces: engrams stay mutually orthogonal, the joint basis stays orthonormal and no
wider than the state, and the projection hook never lengthens a gradient nor turns it against
itself, through every path that builds engrams, the joint basis and its coefficients."""
import logging
import math

import pytest
import torch

from silver_kestrel.architectures.heavy_core import fortress_engine as fe
from block_support import add_engram as add_block_engram, make_block
from fortress_support import memory

TOL = 1e-5


def random_covariance(g, d):
    """A covariance of random rank and spectrum, in a random orientation."""
    rank = int(torch.randint(1, d + 1, (1,), generator=g))
    A = torch.randn(d, rank, generator=g) * torch.rand(rank, generator=g) * 3
    return A @ A.T


def feed(mem, cov, n=10):
    mem.cov_C.copy_(cov.to(mem.cov_C.dtype) * n)
    mem.cov_n.fill_(n)


def entry(mem, columns, engram_id):
    basis = torch.zeros(mem.d_state, max(mem._k_max, columns.shape[1]), dtype=columns.dtype)
    basis[:, :columns.shape[1]] = columns
    mem.engram_stack.append((basis, columns.shape[1], 0.9, fe.EngramMetadata(engram_id=engram_id)))
    mem.joint_basis_dirty = True


def stored(mem):
    """The engrams' active columns side by side."""
    return torch.cat([b[:, :k] for b, k, _, _ in mem.engram_stack], dim=1)


def assert_protects_soundly(mem, g, trials=20):
    """E_joint orthonormal and at most d_state wide, coefficients in [0, 1], and for random
    gradients (and gradients along the basis) |P| <= |G| and <P, G> >= 0."""
    d = mem.d_state
    mem.joint_basis_dirty = True
    mem._update_joint_basis()
    E, alpha = mem.E_joint, mem.alpha_vector
    assert E.shape[0] == d and E.shape[1] <= d and alpha.shape == (E.shape[1],)
    torch.testing.assert_close(E.T @ E, torch.eye(E.shape[1], dtype=E.dtype), atol=TOL, rtol=0)
    assert bool(((alpha >= 0) & (alpha <= 1)).all())
    hook = mem.create_joint_basis_projection_hook()
    gradients = [torch.randn(3, d, generator=g) for _ in range(trials)]
    gradients += [E.T.clone(), E.sum(1, keepdim=True).T.clone()] if E.shape[1] else []
    for G in gradients:
        P = hook(G)
        n = torch.linalg.norm(G)
        assert torch.linalg.norm(P) <= n * (1 + TOL)
        assert torch.sum(P * G) >= -TOL * n * n


@pytest.fixture(autouse=True)
def quiet(caplog):
    caplog.set_level(logging.CRITICAL + 1, logger=fe.__name__)  # attenuation warnings are expected


# ---------------------------------------------------------------------------------------------
# The measured case: promotions no longer fill a state beyond its width


def test_promotions_stop_when_the_engrams_fill_the_state():
    # d_state 16, k_min 4, k_max 4: four engrams fill the state. The fallbacks used to go on
    # promoting random rank-4 bases: 8 engrams, a 32-column joint basis in 16 dimensions, and
    # gradients lengthened and reversed by the projection.
    g = torch.Generator().manual_seed(0)
    mem = memory(16)
    for _ in range(12):
        feed(mem, random_covariance(g, 16))
        candidate, status = mem._compute_promotion_candidate()
        if status == "ok":
            assert mem._promote_candidate(candidate, "forced_union", mode="forced") is True
    assert [k for _, k, _, _ in mem.engram_stack] == [4, 4, 4, 4]
    E = stored(mem)
    torch.testing.assert_close(E.T @ E, torch.eye(16), atol=TOL, rtol=0)
    assert_protects_soundly(mem, g)

    # A full state has no candidate, from either builder; the decision records "no_candidate".
    feed(mem, random_covariance(g, 16))
    mem.last_cov_trace.fill_(7.0)
    rng = torch.get_rng_state()
    assert mem._compute_promotion_candidate() == (None, "no_candidate")
    assert mem._compute_diag_fallback_candidate() == (None, "no_candidate")
    assert torch.equal(torch.get_rng_state(), rng)
    assert [mem.last_cov_trace.item(), mem.last_candidate_rank.item(), mem.last_candidate_norm.item()] == [7.0, -1, 0.0]
    mem._debug_force_promote = True
    mem.stable_streak.fill_(100)
    mem.promotion_happened_any.fill_(0.0)
    assert mem.maybe_promote_to_deep_engram(True, True)[0] is False
    assert len(mem.engram_stack) == 4


@pytest.mark.parametrize("d, k_min, mode, seed", [
    (16, 4, "power", 1), (16, 3, "diag", 2), (16, 6, "none", 3), (5, 2, "power", 4), (5, 4, "diag", 5),
    (12, 1, "power", 6),
])
def test_property_over_many_promotions(d, k_min, mode, seed):
    """Promotions through the candidate builder, the diagonal fallback and forced, structural or
    collapse unions, with random covariances, demotions, yielding and coefficients of every
    range: the joint basis stays orthonormal and no wider than the state, and the hook neither
    lengthens nor reverses a gradient."""
    g = torch.Generator().manual_seed(seed)
    torch.manual_seed(seed)
    mem = memory(d, k_min=k_min, k_max_ratio=0.5, max_engrams=64, promotion_fallback_mode=mode)
    promoted = 0
    for step in range(40):
        feed(mem, random_covariance(g, d))
        build = mem._compute_diag_fallback_candidate if step % 3 == 2 else mem._compute_promotion_candidate
        candidate, status = build()
        if status == "ok":
            held = stored(mem).shape[1] if mem.engram_stack else 0
            mode_name = ["forced", "structural", "collapse"][step % 3]
            if mem._promote_candidate(candidate, "r", mode=mode_name):
                promoted += 1
                E = stored(mem)
                assert E.shape[1] <= d and E.shape[1] > held
                torch.testing.assert_close(E.T @ E, torch.eye(E.shape[1]), atol=TOL, rtol=0)
        if mem.engram_stack and step % 7 == 6:  # a demotion
            del mem.engram_stack[int(torch.randint(len(mem.engram_stack), (1,), generator=g))]
        for _, _, _, md in mem.engram_stack:
            md.is_yielding = bool(torch.rand(1, generator=g) < 0.3)
        mem.global_pressure.fill_(float(torch.rand(1, generator=g)))
        if mem.engram_stack:
            assert_protects_soundly(mem, g, trials=4)
    assert promoted >= 3
    # Coefficients outside [0, 1] (or not a number) from an overriding _compute_alpha are clamped.
    for value in (1.7, -0.4, math.nan, 1.0):
        mem._compute_alpha = lambda lambda_val, pressure=0.0, v=value: v
        if mem.engram_stack:
            assert_protects_soundly(mem, g, trials=4)


# ---------------------------------------------------------------------------------------------
# The rebuild: whatever the engram list holds


def test_rebuild_of_overlapping_entries():
    D = 8
    g = torch.Generator().manual_seed(3)
    mem = memory(D, k_max_ratio=0.5)
    bases = [torch.linalg.qr(torch.randn(D, 4, generator=g)).Q for _ in range(3)]
    for i, b in enumerate(bases):
        entry(mem, b, i)
    entry(mem, bases[0][:, :2], 3)  # nothing new
    mem._compute_alpha = lambda lambda_val, pressure=0.0: 0.5
    mem._update_joint_basis()
    E = mem.E_joint
    assert E.shape == (D, 8)  # 14 stored columns, 8 dimensions
    assert torch.equal(E[:, :4], bases[0])  # the oldest engram as it is
    torch.testing.assert_close(E.T @ E, torch.eye(D), atol=TOL, rtol=0)
    # each entry's columns extend the span of the entries before it
    torch.testing.assert_close(E[:, :8] @ E[:, :8].T @ bases[1], bases[1], atol=TOL, rtol=0)
    assert mem.alpha_vector.tolist() == [0.5] * 8
    assert_protects_soundly(mem, g)

    # After a demotion of the oldest, the next one holds its whole span again.
    E = mem.E_joint
    del mem.engram_stack[0]
    mem._update_joint_basis()  # still marked clean: nothing is rebuilt ...
    assert mem.E_joint is E
    mem.joint_basis_dirty = True  # ... until the change is marked, as demotion does
    mem._update_joint_basis()
    assert torch.equal(mem.E_joint[:, :4], bases[1]) and mem.E_joint.shape == (D, 8)


def test_rebuild_of_a_rank_zero_entry_and_of_a_non_finite_basis():
    D = 6
    mem = memory(D, k_max_ratio=0.5)
    entry(mem, torch.zeros(D, 0), 0)
    mem._update_joint_basis()
    assert mem.E_joint.shape == (D, 0) and mem.alpha_vector.shape == (0,)
    G = torch.randn(2, D)
    assert torch.equal(mem.create_joint_basis_projection_hook()(G), G)
    bad = torch.eye(D)[:, :2].clone()
    bad[0, 1] = math.nan
    entry(mem, bad, 1)
    mem._update_joint_basis()
    assert mem.E_joint.shape == (D, 1) and torch.equal(mem.E_joint[:, 0], torch.eye(D)[:, 0])


# ---------------------------------------------------------------------------------------------
# Candidates and unions


def test_fallback_candidates_lie_outside_the_engrams():
    D = 8
    mem = memory(D, k_min=2, k_max_ratio=0.5, promotion_fallback_mode="diag")
    held = torch.linalg.qr(torch.randn(D, 5, generator=torch.Generator().manual_seed(1))).Q
    entry(mem, held[:, :3], 0)
    entry(mem, held[:, 3:], 1)
    feed(mem, torch.diag(torch.arange(1.0, D + 1)))
    mem._compute_adaptive_rank = lambda eigenvalues: 1 / 0  # the eigen stage fails
    for build in (mem._compute_promotion_candidate, mem._compute_diag_fallback_candidate):
        candidate, status = build()
        E = candidate["E_new"][:, :candidate["remaining_rank"]]
        assert status == "ok" and candidate["remaining_rank"] == 2 and E.shape == (D, 2)
        torch.testing.assert_close(held.T @ E, torch.zeros(5, 2), atol=TOL, rtol=0)
        torch.testing.assert_close(E.T @ E, torch.eye(2), atol=TOL, rtol=0)
        assert mem.last_candidate_rank.item() == 2
    # the power direction is the dominant direction left outside the engrams
    free = torch.eye(D) - held @ held.T
    C = free @ torch.diag(torch.arange(1.0, D + 1)) @ free
    dominant = torch.linalg.eigh(C).eigenvectors[:, -1]
    candidate, _ = mem._compute_promotion_candidate()
    assert abs(torch.dot(candidate["E_new"][:, 0], dominant).item()) == pytest.approx(1.0, abs=1e-4)


def test_a_union_keeps_only_what_the_candidate_adds():
    D = 8
    mem = memory(D, k_max_ratio=0.5)
    axes = torch.eye(D)
    entry(mem, axes[:, :3], 0)
    mixed = torch.stack([axes[:, 0], (axes[:, 1] + axes[:, 5]) / math.sqrt(2), axes[:, 6]], dim=1)
    records = []
    handler = logging.Handler()
    handler.emit = records.append
    fe.logger.addHandler(handler)
    fe.logger.setLevel(logging.INFO)
    try:
        assert mem._promote_candidate({"E_new": mixed, "remaining_rank": 3, "quality": 0.8}, "r") is True
    finally:
        fe.logger.removeHandler(handler)
        fe.logger.setLevel(logging.NOTSET)
    basis, k, _, _ = mem.engram_stack[1]
    assert type(k) is int and k == 2 and basis.shape == (D, 4) and torch.all(basis[:, 2:] == 0)
    torch.testing.assert_close(basis[:, :2].abs(), axes[:, 5:7])
    assert records[0].getMessage() == "Promoted engram 0: k=2, quality=0.800, reason=r"


@pytest.mark.parametrize("columns", [lambda a: a[:, :2], lambda a: a[:, :3] @ torch.randn(3, 3), lambda a: a[:, :0]])
def test_a_union_of_nothing_new_is_refused_without_change(columns):
    D = 8
    mem = memory(D, k_max_ratio=0.5)
    entry(mem, torch.eye(D)[:, :3], 0)
    mem.joint_basis_dirty = False
    mem.cov_n.fill_(9)
    before = {k: v.clone() for k, v in mem.state_dict().items()}
    stack = list(mem.engram_stack)
    E_new = columns(torch.eye(D))
    candidate = {"E_new": E_new, "remaining_rank": E_new.shape[1], "quality": 0.8}
    assert mem._promote_candidate(candidate, "r") is False
    assert all(torch.equal(mem.state_dict()[k], v) for k, v in before.items())
    assert mem.engram_stack == stack and mem.joint_basis_dirty is False


# ---------------------------------------------------------------------------------------------
# The energy rescale


@pytest.mark.parametrize("floor, scale", [(1.5, 1.0), (0.3, 1e-10)])
def test_the_energy_rescale_never_lengthens_the_gradient(floor, scale):
    # A floor above 1, and a gradient so small that the epsilon of the ratio dominates, used to
    # bring the projected gradient above the incoming one.
    D = 8
    mem = memory(D, k_max_ratio=0.5, emergency_energy_floor=floor, min_global_gradient_ratio=2.0)
    entry(mem, torch.eye(D)[:, :1], 0)
    mem._compute_alpha = lambda lambda_val, pressure=0.0: 1.0
    G = torch.zeros(1, D)
    G[0, 0], G[0, 1] = math.sqrt(24.0) * scale, scale
    P = mem.create_joint_basis_projection_hook()(G)
    assert P[0, 0] == 0 and P[0, 1] > 0  # rescaled along what is left, as far as the incoming norm
    assert torch.linalg.norm(P) <= torch.linalg.norm(G) * (1 + 1e-6)


def test_a_remainder_at_rounding_level_is_not_rescaled():
    # With the whole gradient inside the protected span and a coefficient of 1, what is left is
    # rounding noise; scaled up to the floor it would point anywhere, against the gradient too.
    D = 16
    g = torch.Generator().manual_seed(8)
    mem = memory(D, k_max_ratio=0.5)
    E = torch.linalg.qr(torch.randn(D, 8, generator=g)).Q
    entry(mem, E, 0)
    mem._compute_alpha = lambda lambda_val, pressure=0.0: 1.0
    hook = mem.create_joint_basis_projection_hook()
    for _ in range(20):
        G = torch.randn(4, 8, generator=g) @ E.T
        P = hook(G)
        assert torch.linalg.norm(P) < 1e-4 * torch.linalg.norm(G)
        assert torch.sum(P * G) >= -TOL * torch.linalg.norm(G) ** 2


# ---------------------------------------------------------------------------------------------
# Dtype and device conversions


def test_a_block_with_engrams_follows_its_dtype():
    block = make_block(width=4)
    add_block_engram(block.fortress, k=2)
    f = block.fortress
    meta = f.engram_stack[0][3]
    f._update_joint_basis()  # a joint basis built before the conversions
    keys = list(block.state_dict())
    projected = []
    make_hook = f.create_joint_basis_projection_hook

    def capturing_hook():
        hook = make_hook()

        def wrapped(grad):
            out = hook(grad)
            projected.append((grad, out))
            return out
        return wrapped
    f.create_joint_basis_projection_hook = capturing_hook

    for convert, dtype in [(lambda m: m.double(), torch.float64), (lambda m: m.float(), torch.float32),
                           (lambda m: m.to(torch.float64), torch.float64), (lambda m: m.to(torch.float32), torch.float32)]:
        assert convert(block) is block
        basis, rank, quality, md = f.engram_stack[0]
        assert basis.dtype == f.E_joint.dtype == f.alpha_vector.dtype == dtype
        assert type(rank) is int and type(quality) is float and md is meta
        E, alpha = f.E_joint, f.alpha_vector
        x = torch.randn(2, 3, 4, dtype=dtype, requires_grad=True)
        y, _ = block.forward_with_diagnostics(x)
        y.sum().backward()
        assert x.grad.dtype == dtype
        grad, out = projected[-1]
        assert grad.dtype == out.dtype == dtype
        torch.testing.assert_close(out, grad - ((grad @ E) * alpha) @ E.T)
        assert list(block.state_dict()) == keys


def test_a_conversion_that_changes_nothing_keeps_the_entries():
    mem = memory(6, k_max_ratio=0.5)
    entry(mem, torch.eye(6)[:, :2], 0)
    mem._update_joint_basis()
    entries, E, alpha = list(mem.engram_stack), mem.E_joint, mem.alpha_vector
    assert mem.cpu() is mem and mem.to(torch.float32) is mem
    assert all(a is b for a, b in zip(mem.engram_stack, entries))
    assert mem.E_joint is E and mem.alpha_vector is alpha and mem.joint_basis_dirty is False

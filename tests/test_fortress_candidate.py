"""Promotion candidates: eigen stage deflated against the engrams, power and diagonal fallbacks."""
import math

import pytest
import torch

from silver_kestrel.architectures.heavy_core import fortress_engine as fe
from fortress_support import memory

D = 8
DIAGNOSTICS = ["last_cov_trace", "last_cov_isfinite", "last_candidate_rank", "last_candidate_norm"]
JITTER = 1e-06


def with_covariance(mem, cov, n=10):
    mem.cov_C.copy_(torch.as_tensor(cov, dtype=mem.cov_C.dtype) * n)
    mem.cov_n.fill_(n)
    return mem


def diagonal(*values):
    return torch.diag(torch.tensor(values, dtype=torch.float32))


def rotation(seed=0):
    torch.manual_seed(seed)
    return torch.linalg.qr(torch.randn(D, D))[0]


def engram(mem, columns):
    basis = torch.zeros(D, mem._k_max)
    basis[:, :columns.shape[1]] = columns
    mem.engram_stack.append((basis, columns.shape[1], 0.9, fe.EngramMetadata(engram_id=len(mem.engram_stack))))


def diagnostics(mem):
    return [getattr(mem, n).item() for n in DIAGNOSTICS]


def orthonormal(E):
    return torch.allclose(E.T @ E, torch.eye(E.shape[1], dtype=E.dtype), atol=1e-5)


def weak_eigen_stage(mem):
    """Makes the eigen stage fail (an error inside it is swallowed)."""
    def fail(eigenvalues):
        raise ValueError("no rank")
    mem._compute_adaptive_rank = fail
    return mem


@pytest.mark.parametrize("settings, n, reason", [
    ({"max_engrams": 0}, 10, "no_candidate"),
    ({}, 0, "need_more_cov"),
    ({}, -3, "need_more_cov"),
])
def test_early_exits(settings, n, reason):
    mem = memory(D, **settings)
    with_covariance(mem, diagonal(*range(1, D + 1)), n=max(n, 1))
    mem.cov_n.fill_(n)
    mem.last_cov_trace.fill_(7.0)
    mem.last_cov_isfinite.fill_(0.0)
    mem.last_candidate_rank.fill_(5)
    mem.last_candidate_norm.fill_(2.0)
    rng = torch.get_rng_state()
    assert mem._compute_promotion_candidate() == (None, reason)
    assert diagnostics(mem) == [7.0, 0.0, -1, 0.0]
    assert torch.equal(torch.get_rng_state(), rng)


def test_capacity_is_read_from_the_record_at_each_call():
    mem = with_covariance(memory(D, max_engrams=1), diagonal(*range(1, D + 1)))
    engram(mem, torch.eye(D)[:, 6:7])
    assert mem._compute_promotion_candidate()[1] == "no_candidate"
    mem.config.max_engrams = 2
    assert mem._compute_promotion_candidate()[1] == "ok"


@pytest.mark.parametrize("where, trace", [((0, 1), 36.0), ((2, 2), math.inf)])
@pytest.mark.parametrize("value", [math.nan, math.inf])
def test_non_finite_covariance(where, trace, value):
    cov = diagonal(*range(1, D + 1))
    cov[where] = value
    mem = with_covariance(memory(D), cov)
    assert mem._compute_promotion_candidate() == (None, "bad_candidate")
    recorded, isfinite, rank, norm = diagnostics(mem)
    assert (isfinite, rank, norm) == (0.0, -1, 0.0)
    if where == (0, 1):
        assert recorded == pytest.approx(trace)  # off the diagonal: the trace stays finite
    else:
        assert not math.isfinite(recorded)


def test_eigen_candidate_with_no_engram():
    cov = rotation() @ diagonal(10, 6, 3, 1, 0.5, 0.3, 0.1, 0.1) @ rotation().T
    mem = with_covariance(memory(D, k_min=2, k_max_ratio=1.0), cov)
    rng = torch.get_rng_state()
    candidate, reason = mem._compute_promotion_candidate()
    assert reason == "ok" and list(candidate) == ["E_new", "remaining_rank", "quality"]
    E, k, quality = candidate.values()
    eigenvalues = torch.tensor([10, 6, 3, 1, 0.5, 0.3, 0.1, 0.1]) + JITTER
    # 95% of the variance lies in the first four directions
    assert type(k) is int and k == 4 and E.shape == (D, 4) and E.dtype == torch.float32
    assert type(quality) is float and quality == pytest.approx((eigenvalues[:4].sum() / eigenvalues.sum()).item())
    leading = rotation()[:, :4]
    assert torch.allclose((E.T @ leading).abs(), torch.eye(4), atol=1e-4)  # the eigenvectors themselves
    assert diagnostics(mem) == pytest.approx([21.0, 1.0, 4, 2.0], rel=1e-5)
    assert torch.equal(torch.get_rng_state(), rng)  # the eigen stage draws nothing


def test_all_zero_covariance_after_samples():
    mem = with_covariance(memory(D), torch.zeros(D, D), n=1)
    candidate, reason = mem._compute_promotion_candidate()
    assert reason == "ok" and candidate["remaining_rank"] == 4 and orthonormal(candidate["E_new"])
    assert candidate["quality"] == pytest.approx(4 * JITTER / (D * JITTER + 1e-8), rel=1e-3)
    assert diagnostics(mem)[:2] == [0.0, 1.0]


def test_deflation_keeps_only_directions_no_engram_holds():
    R = rotation(1)
    cov = R @ diagonal(8, 7, 6, 5, 4, 3, 2, 1) @ R.T
    mem = with_covariance(memory(D, k_min=2, k_max_ratio=1.0), cov)
    engram(mem, R[:, :2])  # holds the two strongest directions
    candidate, reason = mem._compute_promotion_candidate()
    E, k = candidate["E_new"], candidate["remaining_rank"]
    assert reason == "ok" and E.shape == (D, 7) and k == 5 and orthonormal(E)
    kept = E[:, :k]
    assert torch.allclose(R[:, :2].T @ kept, torch.zeros(2, k), atol=1e-5)
    # what survives is the span of the next five eigenvectors
    assert torch.allclose(kept @ kept.T, R[:, 2:7] @ R[:, 2:7].T, atol=1e-5)
    assert diagnostics(mem)[2:] == [5, pytest.approx(math.sqrt(5))]


def test_deflation_against_a_partly_overlapping_engram():
    R = rotation(2)
    cov = R @ diagonal(8, 7, 6, 5, 4, 3, 2, 1) @ R.T
    mem = with_covariance(memory(D, k_min=2, k_max_ratio=1.0), cov)
    mixed = torch.linalg.qr(torch.stack([R[:, 0] + R[:, 7], R[:, 1]], dim=1))[0]
    engram(mem, mixed)
    candidate, _ = mem._compute_promotion_candidate()
    kept = candidate["E_new"][:, :candidate["remaining_rank"]]
    assert candidate["remaining_rank"] == 6
    assert torch.allclose(mixed.T @ kept, torch.zeros(2, 6), atol=1e-5)


def test_a_fully_held_spectrum_falls_back_to_what_is_left():
    mem = with_covariance(memory(D, k_min=2, k_max_ratio=1.0, max_engrams=9), diagonal(8, 7, 6, 5, 4, 3, 2, 1))
    engram(mem, torch.eye(D)[:, :7])
    candidate, reason = mem._compute_promotion_candidate()
    # the power candidate aims at two columns, but only the last axis lies outside the engram
    assert reason == "ok" and candidate["remaining_rank"] == 1 and candidate["E_new"].shape == (D, 1)
    assert torch.allclose(candidate["E_new"][:, 0].abs(), torch.eye(D)[7], atol=1e-6)
    assert candidate["quality"] == pytest.approx((1 + JITTER) / (36 + D * JITTER), rel=1e-4)
    assert mem.last_candidate_rank.item() == 1


def test_malformed_engram_leaves_every_stage_without_a_candidate():
    # No stage can keep its basis outside an engram it cannot read.
    mem = with_covariance(memory(D), diagonal(8, 1, 1, 1, 1, 1, 1, 1))
    mem.engram_stack.append((torch.zeros(D + 1, 4), 4, 0.9, None))
    assert mem._compute_promotion_candidate() == (None, "bad_candidate")
    assert diagnostics(mem) == pytest.approx([15.0, 1.0, -1, 0.0])


def test_an_interruption_is_not_swallowed():
    mem = with_covariance(memory(D), diagonal(*range(1, D + 1)))

    def interrupted(eigenvalues):
        raise KeyboardInterrupt
    mem._compute_adaptive_rank = interrupted
    with pytest.raises(KeyboardInterrupt):
        mem._compute_promotion_candidate()
    assert torch.is_grad_enabled()


@pytest.mark.parametrize("mode, result", [
    ("power", "power"), ("POWER", "power"), ("diag", "power"), ("Diag", "power"),
    (" power", "none"), ("power ", "none"), ("none", "none"), ("", "none"),
])
def test_fallback_modes(mode, result):
    cov = diagonal(1, 1, 1, 10, 1, 1, 1, 1)
    mem = weak_eigen_stage(with_covariance(memory(D, promotion_fallback_mode=mode), cov))
    candidate, reason = mem._compute_promotion_candidate()
    if result == "none":
        assert (candidate, reason) == (None, "bad_candidate")
        assert diagnostics(mem) == pytest.approx([17.0, 1.0, -1, 0.0])
        return
    E = candidate["E_new"]
    assert reason == "ok" and candidate["remaining_rank"] == 4 and E.shape == (D, 4) and orthonormal(E)
    assert abs(E[3, 0].item()) == pytest.approx(1.0, abs=1e-4)  # the dominant direction first
    assert candidate["quality"] == pytest.approx(10 / 17, rel=1e-4)
    assert diagnostics(mem) == pytest.approx([17.0, 1.0, 4, 2.0])


def test_diagonal_candidate_when_the_power_stage_fails():
    # A unit power vector cannot reach a minimum norm of 1.5; a four-column basis (norm 2) can.
    cov = diagonal(1, 1, 0, 3, 1, 0, 0, 0)
    mem = weak_eigen_stage(with_covariance(memory(D, promotion_fallback_mode="diag",
                                                  promotion_min_candidate_norm=1.5), cov))
    candidate, reason = mem._compute_promotion_candidate()
    E = candidate["E_new"]
    assert reason == "ok" and candidate["remaining_rank"] == 4 and orthonormal(E)
    assert torch.allclose(E[:, 0].abs(), torch.eye(D)[3], atol=1e-6)
    assert candidate["quality"] == pytest.approx((3 + JITTER) / (6 + D * JITTER))
    assert diagnostics(mem)[2:] == [4, pytest.approx(2.0)]


def test_single_column_power_candidate_is_the_dominant_direction():
    mem = weak_eigen_stage(with_covariance(memory(D, k_min=1), diagonal(1, 2, 0, 0, 5, 0, 0, 0)))
    candidate, reason = mem._compute_promotion_candidate()
    E = candidate["E_new"]
    assert reason == "ok" and E.shape == (D, 1) and torch.allclose(E[:, 0].abs(), torch.eye(D)[4], atol=1e-4)
    assert candidate["quality"] == pytest.approx(5 / 8, rel=1e-4)


def test_diagonal_candidate_on_the_first_largest_magnitude():
    # Norms of products with entries of 1e38 overflow, so power iteration ends in a zero vector
    # and fails; the diagonal stage takes the first of the two largest magnitudes, a negative one.
    cov = diagonal(1, -1e38, 1e38, 0, 0, 0, 0, 0)
    mem = weak_eigen_stage(with_covariance(memory(D, k_min=1, promotion_fallback_mode="diag"), cov, n=1))
    candidate, reason = mem._compute_promotion_candidate()
    assert reason == "ok" and candidate["remaining_rank"] == 1
    assert torch.allclose(candidate["E_new"][:, 0].abs(), torch.eye(D)[1])
    assert candidate["quality"] > 1.0  # the share is not clamped
    mem = weak_eigen_stage(with_covariance(memory(D, k_min=1, promotion_fallback_mode="power"), cov, n=1))
    assert mem._compute_promotion_candidate() == (None, "bad_candidate")


def test_every_stage_failed():
    mem = weak_eigen_stage(with_covariance(memory(D, promotion_fallback_mode="diag",
                                                  promotion_min_candidate_norm=5.0), diagonal(*range(1, D + 1))))
    assert mem._compute_promotion_candidate() == (None, "bad_candidate")
    assert diagnostics(mem) == pytest.approx([36.0, 1.0, -1, 0.0])


def test_fallbacks_draw_from_the_default_generator():
    cov = diagonal(1, 1, 1, 10, 1, 1, 1, 1)
    bases = []
    for _ in range(2):
        torch.manual_seed(5)
        seeded = torch.get_rng_state()
        mem = weak_eigen_stage(with_covariance(memory(D), cov))
        bases.append(mem._compute_promotion_candidate()[0]["E_new"])
        assert not torch.equal(torch.get_rng_state(), seeded)
    assert torch.equal(*bases)


def test_double_buffers():
    cov = rotation() @ diagonal(10, 6, 3, 1, 0.5, 0.3, 0.1, 0.1) @ rotation().T
    mem = with_covariance(memory(D).double(), cov.double())
    candidate, reason = mem._compute_promotion_candidate()
    assert reason == "ok" and candidate["E_new"].dtype == torch.float64
    assert mem.last_cov_trace.dtype == torch.float64


def test_only_the_diagnostics_change():
    mem = with_covariance(memory(D), rotation() @ diagonal(*range(1, D + 1)) @ rotation().T)
    engram(mem, torch.eye(D)[:, :1])
    before = {k: v.clone() for k, v in mem.state_dict().items() if k not in DIAGNOSTICS}
    stack = list(mem.engram_stack)
    candidate, _ = mem._compute_promotion_candidate()
    assert all(torch.equal(mem.state_dict()[k], v) for k, v in before.items())
    assert mem.engram_stack == stack and not candidate["E_new"].requires_grad
    assert torch.is_grad_enabled()


def test_errors_outside_the_stages_propagate():
    mem = with_covariance(memory(D), diagonal(*range(1, D + 1)))
    mem.d_state = D + 1  # the jitter's identity no longer fits the covariance
    with pytest.raises(RuntimeError):
        mem._compute_promotion_candidate()
    assert mem.last_cov_trace.item() == pytest.approx(36.0) and torch.is_grad_enabled()


@pytest.mark.parametrize("mode", ["power", "diag"])
def test_a_state_narrower_than_the_smallest_rank(mode):
    mem = memory(2, promotion_fallback_mode=mode)
    with_covariance(mem, torch.diag(torch.tensor([3.0, 1.0])))
    if mode == "diag":
        mem._promotion_min_candidate_norm = 1.2  # beyond a unit power vector, within sqrt(2)
    candidate, reason = mem._compute_promotion_candidate()  # the eigen stage is weak: rank 2 < 4
    assert reason == "ok" and candidate["E_new"].shape == (2, 2) and candidate["remaining_rank"] == 2
    assert mem.last_candidate_rank.item() == 2
    assert mem._promote_candidate(candidate, "forced_union", mode="forced") is True
    assert mem.engram_stack[0][0].shape == (2, 4) and mem.engram_stack[0][1] == 2


def test_a_covariance_that_stands_still_gives_the_same_candidate_and_any_change_is_seen():
    first = rotation(1) @ diagonal(10, 6, 3, 1, 0.5, 0.3, 0.1, 0.1) @ rotation(1).T
    mem = with_covariance(memory(D, k_min=2, k_max_ratio=1.0), first)
    candidate, _ = mem._compute_promotion_candidate()
    kept = candidate["E_new"].clone()
    candidate["E_new"].zero_()  # the caller's own tensor
    again, _ = mem._compute_promotion_candidate()
    assert torch.equal(again["E_new"], kept) and again["quality"] == candidate["quality"]
    assert again["remaining_rank"] == candidate["remaining_rank"] == 4

    # An edit that bypasses the version counter, to a spectrum of other directions and rank.
    second = rotation(2) @ diagonal(10, 9, 8, 7, 6, 0.1, 0.1, 0.1) @ rotation(2).T
    mem.cov_C.data.copy_(second * 10)
    changed, _ = mem._compute_promotion_candidate()
    E = changed["E_new"]
    assert changed["remaining_rank"] == E.shape[1] == 5 and orthonormal(E)
    assert torch.allclose((E.T @ rotation(2)[:, :5]).abs().sum(1), torch.ones(5), atol=1e-4)


def outcome(mem):
    """A candidate call's result and diagnostics, in plain numbers."""
    torch.manual_seed(0)  # for the fallbacks' draws
    candidate, reason = mem._compute_promotion_candidate()
    found = None if candidate is None else (
        candidate["E_new"].dtype, candidate["E_new"].tolist(), candidate["remaining_rank"], candidate["quality"])
    return reason, found, diagnostics(mem)


def computed_anew(mem):
    """The outcome with the eigen stage run through an adaptive rank the memory does not hold as its own."""
    mem._compute_adaptive_rank = lambda eigenvalues: type(mem)._compute_adaptive_rank(mem, eigenvalues)
    try:
        return outcome(mem)
    finally:
        del mem._compute_adaptive_rank


def add_to_data(mem):
    mem.cov_C.data[2, 2] += 5.0  # bypasses the version counter


@pytest.mark.parametrize("edit", [
    None,
    lambda mem: mem.cov_C[0, 1].add_(3.0),
    add_to_data,
    lambda mem: mem.cov_n.fill_(20),
    lambda mem: setattr(mem, "_explained_var_threshold", 0.5),
    lambda mem: setattr(mem, "_k_min", 6),
    lambda mem: setattr(mem, "_eps", 1.0),
    lambda mem: setattr(mem, "_promotion_candidate_jitter", 0.5),
    lambda mem: setattr(mem, "_promotion_min_candidate_norm", 100.0),  # the eigen stage's basis falls short
    lambda mem: engram(mem, torch.eye(D)[:, :1]),
], ids=["none", "cov_C", "cov_C.data", "cov_n", "threshold", "k_min", "eps", "jitter", "min_norm", "engram"])
@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
def test_a_repeated_candidate_is_the_one_computed_anew_after_any_edit(edit, dtype):
    cov = rotation(4) @ diagonal(10, 6, 3, 1, 0.5, 0.3, 0.1, 0.1) @ rotation(4).T
    mem = with_covariance(memory(D, k_min=1, k_max_ratio=1.0).to(dtype), cov)
    before = outcome(mem)
    assert outcome(mem) == before
    if edit:
        edit(mem)
    repeated = outcome(mem)
    mem.last_cov_trace.fill_(-1.0)
    candidate, _ = mem._compute_promotion_candidate()
    if candidate is not None:
        candidate["E_new"].zero_()  # the caller's own tensor
    assert outcome(mem) == repeated == computed_anew(mem)
    assert (repeated != before) == (edit is not None)


def with_engram(column, rank=1):
    mem = with_covariance(memory(D, k_min=1, k_max_ratio=1.0), rotation(4) @ diagonal(10, 6, 3, 1, 0.5, 0.3, 0.1, 0.1) @ rotation(4).T)
    basis = torch.zeros(D, mem._k_max)
    basis[:, :2] = torch.eye(D)[:, column:column + 2]
    mem.engram_stack.append((basis, rank, 0.9, fe.EngramMetadata(engram_id=0)))
    return mem


def turn_basis(mem):
    mem.engram_stack[0][0].data[:, :2] = torch.eye(D)[:, 3:5]  # bypasses the version counter


def widen_rank(mem):
    basis, _, strength, metadata = mem.engram_stack[0]
    mem.engram_stack[0] = (basis, 2, strength, metadata)


@pytest.mark.parametrize("edit, like", [(turn_basis, dict(column=3)), (widen_rank, dict(column=0, rank=2))])
def test_a_repeated_candidate_follows_the_engrams_held(edit, like):
    mem = with_engram(0)
    before = outcome(mem)
    assert outcome(mem) == before
    edit(mem)
    after = outcome(mem)
    assert after != before and after == outcome(with_engram(**like))


class CountingRank(fe.FortressUnbrokenMemory):
    def _compute_adaptive_rank(self, eigenvalues):
        self.rank_calls = getattr(self, "rank_calls", 0) + 1
        return 1


@pytest.mark.parametrize("where", ["instance", "subclass"])
def test_an_adaptive_rank_override_is_called_on_every_call(where):
    cov = rotation(5) @ diagonal(10, 6, 3, 1, 0.5, 0.3, 0.1, 0.1) @ rotation(5).T
    config = fe.FortressUnbrokenConfig(k_min=1, k_max_ratio=1.0)
    mem = with_covariance(CountingRank(D, config) if where == "subclass" else fe.FortressUnbrokenMemory(D, config), cov)
    if where == "instance":
        own, _ = mem._compute_promotion_candidate()  # kept with the memory's own rank
        assert own["remaining_rank"] > 1
        mem._compute_adaptive_rank = lambda eigenvalues: CountingRank._compute_adaptive_rank(mem, eigenvalues)
    for calls in range(1, 4):
        candidate, _ = mem._compute_promotion_candidate()
        assert candidate["remaining_rank"] == candidate["E_new"].shape[1] == 1 and mem.rank_calls == calls
    if where == "instance":
        del mem._compute_adaptive_rank
        assert torch.equal(mem._compute_promotion_candidate()[0]["E_new"], own["E_new"])


def test_an_adaptive_rank_that_writes_the_eigenvalues_leaves_later_calls_alone():
    cov = rotation(3) @ diagonal(10, 6, 3, 1, 0.5, 0.3, 0.1, 0.1) @ rotation(3).T
    mem = with_covariance(memory(D, k_min=2, k_max_ratio=1.0), cov)
    plain, _ = mem._compute_promotion_candidate()

    def zeroing(eigenvalues):
        eigenvalues.zero_()
        return 4
    mem._compute_adaptive_rank = zeroing
    overridden, _ = mem._compute_promotion_candidate()
    assert overridden["quality"] == 0.0  # the quality is read from the values the override left
    del mem._compute_adaptive_rank
    after, _ = mem._compute_promotion_candidate()
    assert after["quality"] == plain["quality"] and torch.equal(after["E_new"], plain["E_new"])

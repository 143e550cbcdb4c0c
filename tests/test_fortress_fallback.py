import math

import pytest
import torch

from silver_kestrel.architectures.heavy_core import fortress_engine as fe


def memory(d_state=6, **settings):
    return fe.FortressUnbrokenMemory(d_state, fe.FortressUnbrokenConfig(**settings))


def with_covariance(mem, diagonal, n=1, off_diagonal=0.0):
    """Sets cov_C so that cov_C / cov_n has the given diagonal."""
    d = len(diagonal)
    C = torch.full((d, d), off_diagonal) + torch.diag(torch.tensor(diagonal) - off_diagonal)
    mem.cov_C.copy_(C * n)
    mem.cov_n.fill_(n)
    return mem


def candidate_buffers(mem):
    return mem.last_candidate_rank.item(), mem.last_candidate_norm.item()


def test_without_samples_there_is_no_candidate():
    mem = memory()
    mem.last_candidate_rank.fill_(7)
    mem.last_candidate_norm.fill_(3.0)
    rng = torch.get_rng_state()
    assert mem._compute_diag_fallback_candidate() == (None, "need_more_cov")
    assert candidate_buffers(mem) == (-1, 0.0)
    assert torch.equal(torch.get_rng_state(), rng)
    mem.cov_n.fill_(-2)
    assert mem._compute_diag_fallback_candidate() == (None, "need_more_cov")


def test_default_candidate_is_the_largest_axis_then_random_directions():
    mem = with_covariance(memory(), [1.0, 0.5, 3.0, 1.0, 1.0, 0.0], n=5, off_diagonal=0.1)
    cov_before = mem.cov_C.clone()
    other = {k: v.clone() for k, v in mem.state_dict().items() if k not in ("last_candidate_rank", "last_candidate_norm")}

    torch.manual_seed(11)
    candidate, status = mem._compute_diag_fallback_candidate()
    after = torch.randn(1)

    # The same draws, in the same order, give the same basis.
    torch.manual_seed(11)
    basis = torch.zeros(6, 4)
    basis[2, 0] = 1.0
    basis[:, 1:] = torch.randn(6, 3)
    assert torch.equal(torch.randn(1), after)
    expected = torch.linalg.qr(basis).Q

    assert status == "ok" and list(candidate) == ["E_new", "remaining_rank", "quality"]
    E = candidate["E_new"]
    assert E.shape == (6, 4) and E.dtype == torch.float32 and torch.equal(E, expected)
    torch.testing.assert_close(E.T @ E, torch.eye(4), atol=1e-5, rtol=0)
    assert abs(E[2, 0].item()) == 1.0
    assert candidate["remaining_rank"] == 4 and type(candidate["remaining_rank"]) is int
    assert type(candidate["quality"]) is float and candidate["quality"] == pytest.approx(3.0 / 6.5)
    assert candidate_buffers(mem)[0] == 4 and candidate_buffers(mem)[1] == pytest.approx(2.0, abs=1e-6)
    # Nothing else changes: the covariance, the engram list, every other buffer.
    assert torch.equal(mem.cov_C, cov_before) and mem.engram_stack == []
    assert all(torch.equal(mem.state_dict()[k], v) for k, v in other.items())


@pytest.mark.parametrize("diagonal, axis, quality", [
    ([3.0, 1.0, 1.0, 1.0, 0.0, 0.0], 0, 0.5),
    ([2.0, -3.0, 2.0, 0.0, 0.0, 0.0], 1, 3.0),   # the largest magnitude is negative
    ([1.0, 3.0, 3.0, 0.0, 0.0, 0.0], 1, 3.0 / 7.0),  # ties go to the lower index
    ([0.0] * 6, 0, 0.0),                          # trace clamped to eps
])
def test_axis_and_quality(diagonal, axis, quality):
    mem = with_covariance(memory(k_min=1), diagonal, n=3)
    rng = torch.get_rng_state()
    candidate, status = mem._compute_diag_fallback_candidate()
    assert status == "ok"
    E = candidate["E_new"]
    assert E.shape == (6, 1) and abs(E[axis, 0].item()) == 1.0 and E.abs().sum().item() == 1.0
    assert candidate["quality"] == pytest.approx(quality)
    assert torch.equal(torch.get_rng_state(), rng)  # one column draws nothing


@pytest.mark.parametrize("k_min", [1, 0, -3])
def test_single_column_candidate(k_min):
    mem = memory(k_min=max(k_min, 0))
    mem._k_min = k_min  # the configuration refuses a negative rank; only an assignment reaches here
    mem = with_covariance(mem, [1.0, 2.0, 0.5, 0.0, 0.0, 0.0])
    candidate, status = mem._compute_diag_fallback_candidate()
    assert status == "ok" and candidate["remaining_rank"] == 1
    assert candidate_buffers(mem) == (1, 1.0)


def test_co_moments_are_symmetrised_and_divided_by_the_count():
    mem = memory(k_min=1)
    C = torch.zeros(6, 6)
    C[0, 1], C[1, 0] = 40.0, 0.0  # symmetric part 20 off the diagonal: no effect on the axis
    C[4, 4] = 8.0
    C[5, 5] = 4.0
    mem.cov_C.copy_(C)
    mem.cov_n.fill_(4)
    candidate, _ = mem._compute_diag_fallback_candidate()
    assert abs(candidate["E_new"][4, 0].item()) == 1.0
    assert candidate["quality"] == pytest.approx(2.0 / 3.0)


def test_double_precision_memory_returns_a_double_basis():
    mem = with_covariance(memory(), [1.0, 1.0, 0.0, 0.0, 0.0, 0.0]).double()
    mem.cov_C[1, 1] = 1.0 + 1e-9  # only a float64 buffer can tell the two axes apart ...
    candidate, status = mem._compute_diag_fallback_candidate()
    assert status == "ok" and candidate["E_new"].dtype == torch.float64
    assert abs(candidate["E_new"][0, 0].item()) == 1.0  # ... and the float32 copy makes them a tie
    assert candidate["quality"] == 0.5


def test_state_width_below_the_target_rank():
    mem = with_covariance(memory(d_state=2), [1.0, 4.0])
    candidate, status = mem._compute_diag_fallback_candidate()
    # the rank is the column count the basis has, so that a union can keep them all
    assert status == "ok" and candidate["E_new"].shape == (2, 2)
    assert candidate["remaining_rank"] == 2
    assert mem._promote_candidate(candidate, "collapse_union", mode="collapse") is True
    assert candidate_buffers(mem)[0] == 2 and candidate_buffers(mem)[1] == pytest.approx(math.sqrt(2), abs=1e-6)


def test_norm_below_the_minimum_is_a_bad_candidate():
    mem = with_covariance(memory(promotion_min_candidate_norm=2.5), [1.0, 2.0, 3.0, 0.0, 0.0, 0.0])
    assert mem._compute_diag_fallback_candidate() == (None, "bad_candidate")
    rank, norm = candidate_buffers(mem)
    assert rank == 4 and norm == pytest.approx(2.0, abs=1e-6)  # this attempt's values are recorded
    exact = with_covariance(memory(k_min=1, promotion_min_candidate_norm=1.0), [1.0, 2.0, 0, 0, 0, 0])
    assert exact._compute_diag_fallback_candidate()[1] == "ok"  # equality passes


def test_non_finite_covariance_still_gives_a_basis():
    mem = with_covariance(memory(), [1.0, 2.0, 0, 0, 0, 0])
    mem.cov_C[3, 3] = float("inf")
    candidate, status = mem._compute_diag_fallback_candidate()
    assert status == "ok" and torch.isfinite(candidate["E_new"]).all()
    assert abs(candidate["E_new"][3, 0].item()) == 1.0
    assert math.isnan(candidate["quality"])

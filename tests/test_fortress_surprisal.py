import math

import pytest
import torch

from silver_kestrel.architectures.heavy_core import fortress_engine as fe


def memory(**settings):
    return fe.FortressUnbrokenMemory(4, fe.FortressUnbrokenConfig(**settings))


def moments(mem):
    return mem.z_mu_ema.item(), mem.z_m2_ema.item()


def counters(mem):
    return mem.stable_steps.item(), mem.stable_streak.item()


def test_constant_surprisal_becomes_stable_on_call_92():
    mem = memory()
    verdicts = []
    for call in range(1, 93):
        mu, var, stable = mem.update_surprisal_stats(torch.tensor(1.0))
        verdicts.append(bool(stable))
        assert var.item() == 0.0  # the second moment stays below the squared mean
        if call == 91:
            assert mu.item() == pytest.approx(1.2003, abs=1e-4)
    assert verdicts == [False] * 91 + [True]
    assert mu.item() == pytest.approx(1.1983, abs=1e-4)
    assert counters(mem) == (1, 1)


def test_result_types_and_identity():
    mem = memory()
    mu, var, stable = mem.update_surprisal_stats(torch.tensor(1.0))
    assert mu is mem.z_mu_ema
    assert var.dim() == 0 and var.data_ptr() != mem.z_m2_ema.data_ptr()
    assert stable.dtype == torch.bool and stable.dim() == 0
    before = mu.item()
    mem.update_surprisal_stats(torch.tensor(0.0))
    assert mu.item() < before  # it is the buffer itself


def test_first_call_clamps_the_variance():
    # Right after construction m2 (0.5) < mu^2 (2.25): var is 0 and sigma is sqrt(eps).
    mem = memory(tau_mu=10.0, tau_sigma=1.001e-4)
    _, var, stable = mem.update_surprisal_stats(torch.tensor(1.5))
    assert var.item() == 0.0 and bool(stable)


def float32(x):
    return torch.tensor(x, dtype=torch.float32).item()


@pytest.mark.parametrize("tau_mu, tau_sigma, expected", [
    # after one call with 1.5: mu = 1.5 exactly (in float32 arithmetic), sigma = sqrt(0 + 1e-8)
    (float32(1.5), 1.0, False),               # mean equal to tau_mu
    (1.5001, float32(math.sqrt(float32(1e-8))), False),  # deviation equal to tau_sigma
    (1.5001, 1.0001e-4, True),
    (1.4999, 1.0, False),
])
def test_stability_bounds_are_strict(tau_mu, tau_sigma, expected):
    mem = memory(tau_mu=tau_mu, tau_sigma=tau_sigma)
    mem.stable_steps.fill_(5), mem.stable_streak.fill_(5)
    mu, _, stable = mem.update_surprisal_stats(torch.tensor(1.5))
    assert mu.item() == 1.5
    assert bool(stable) is expected
    assert counters(mem) == ((6, 6) if expected else (0, 0))


def test_counters_count_consecutive_stable_calls():
    mem = memory()
    mem._tau_mu = 10.0  # read at each call
    for _ in range(4):
        mem.update_surprisal_stats(torch.tensor(1.0))
    assert counters(mem) == (4, 4)
    mem._tau_mu = 0.0
    mem.update_surprisal_stats(torch.tensor(1.0))
    assert counters(mem) == (0, 0)
    mem._tau_mu = 10.0
    mem.update_surprisal_stats(torch.tensor(1.0))
    assert counters(mem) == (1, 1)


def test_scores_with_gradient_history_leave_none():
    mem = memory()
    score = (torch.tensor(0.8, requires_grad=True) * 2).squeeze()
    mu, var, stable = mem.update_surprisal_stats(score)
    assert mem.z_mu_ema.grad_fn is None and mem.z_m2_ema.grad_fn is None
    assert not mu.requires_grad and not var.requires_grad and not stable.requires_grad
    assert score.grad_fn is not None  # the caller's tensor is untouched


@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf])
def test_non_finite_score_leaves_the_moments_and_is_unstable(bad):
    mem = memory(tau_mu=10.0, tau_sigma=10.0)
    mem.update_surprisal_stats(torch.tensor(1.0))
    before = moments(mem)
    assert counters(mem) == (1, 1)
    mu, var, stable = mem.update_surprisal_stats(torch.tensor(bad))
    assert moments(mem) == before and math.isfinite(var.item())
    assert not bool(stable) and counters(mem) == (0, 0)
    mem.update_surprisal_stats(torch.tensor(1.0))
    assert counters(mem) == (1, 1) and math.isfinite(mem.z_mu_ema.item())


@pytest.mark.parametrize("score, error, match", [
    (torch.tensor([1.0]), RuntimeError, r"output with shape \[\] doesn't match the broadcast shape \[1\]"),
    (torch.ones(2, 2), RuntimeError, r"broadcast shape \[2, 2\]"),
    (torch.tensor(1.0 + 1.0j), RuntimeError, "ComplexFloat can't be cast to the desired output type Float"),
    (1.0, TypeError, "Argument 'surprisal_score' has incorrect type"),
])
def test_bad_scores_change_nothing(score, error, match):
    mem = memory()
    mem.stable_steps.fill_(3), mem.stable_streak.fill_(3)
    with pytest.raises(error, match=match):
        mem.update_surprisal_stats(score)
    assert moments(mem) == (1.5, 0.5) and counters(mem) == (3, 3)


def test_rounding_matches_in_place_multiply_then_add():
    # float32 moments fed float32, float64 and integer scores.
    torch.manual_seed(0)
    scores = [torch.rand(()) * 3, torch.rand((), dtype=torch.float64) * 3, torch.tensor(2)] * 20
    mem = memory()
    mu_ref, m2_ref = torch.tensor(1.5), torch.tensor(0.5)
    for z in scores:
        mem.update_surprisal_stats(z)
        mu_ref.mul_(0.99).add_((1.0 - 0.99) * z)
        m2_ref.mul_(0.99).add_((1.0 - 0.99) * z ** 2)
        assert (mem.z_mu_ema.item(), mem.z_m2_ema.item()) == (mu_ref.item(), m2_ref.item())

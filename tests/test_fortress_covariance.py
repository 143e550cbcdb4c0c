import pytest
import torch

from silver_kestrel.architectures.heavy_core import fortress_engine as fe

COV = ("cov_n", "cov_mean", "cov_C")


def memory(d_state=4, **settings):
    return fe.FortressUnbrokenMemory(d_state, fe.FortressUnbrokenConfig(**settings))


def snapshot(mem):
    return {name: getattr(mem, name).clone() for name in COV}


def assert_unchanged(mem, before):
    for name in COV:
        assert torch.equal(getattr(mem, name), before[name]), name


def welford(samples, decay):
    """Float64 reference of the accumulator: running mean and decayed co-moment sum."""
    d = samples[0].numel()
    mean, C = torch.zeros(d, dtype=torch.float64), torch.zeros(d, d, dtype=torch.float64)
    for n, x in enumerate(samples, start=1):
        x = x.double()
        delta = x - mean
        mean += delta / n
        C += torch.outer(delta, x - mean)
        if n % 16 == 0:
            C *= decay
    return mean, C


def warm(mem, count, d=4):
    """Feeds `count` well-behaved samples (alternating in sign, so all are accepted)."""
    v = torch.linspace(0.5, 1.0, d)
    samples = [v * (-1) ** i * (1 + 0.01 * i) for i in range(count)]
    for x in samples:
        mem.accumulate_covariance(x)
    assert mem.cov_n.item() == count
    return samples


# ---------------------------------------------------------------------------------------------
# Accumulation


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
@pytest.mark.parametrize("width", [16, 13])
def test_host_update_matches_the_tensor_operations_bit_for_bit(dtype, width):
    # A count held as int32 sends that memory through the tensor operations; the other is
    # updated on host memory. Outliers, a non-finite sample and the decay all come up within the
    # run.
    host, tensors = (memory(width) for _ in range(2))
    for mem in (host, tensors):
        mem.to(dtype)
    tensors.cov_n = tensors.cov_n.int()
    g = torch.Generator().manual_seed(3)
    accepted = 0
    for i in range(60):
        sigma = (torch.randn(4, 5, width, generator=g) * (1 + 20 * (i % 17 == 16))).to(dtype)
        if i == 30:
            sigma[0, 0, 0] = float("nan")
        for mem in (host, tensors):
            mem.accumulate_covariance(sigma)
        assert host.cov_n.item() == tensors.cov_n.item(), i
        for name in ("cov_mean", "cov_C"):
            assert torch.equal(getattr(host, name), getattr(tensors, name)), (i, name)
        accepted = host.cov_n.item()
    assert 16 < accepted < 60


@pytest.mark.parametrize("decay", [1.0, 0.5])
def test_running_statistics_match_reference(decay):
    mem = memory(d_state=5, cov_decay=decay, enable_outlier_rejection=False)
    g = torch.Generator().manual_seed(1)
    batches = [torch.randn(2, 3, 5, generator=g) + 1.0 for _ in range(40)]
    for b in batches:
        assert mem.accumulate_covariance(b) is None
    mean, C = welford([b.mean(dim=(0, 1)) for b in batches], decay)
    assert mem.cov_n.item() == 40 and mem.cov_n.dtype == torch.int64
    torch.testing.assert_close(mem.cov_mean.double(), mean, rtol=1e-5, atol=1e-6)
    torch.testing.assert_close(mem.cov_C.double(), C, rtol=1e-5, atol=1e-5)
    if decay == 1.0:  # without decay cov_C / cov_n is the population covariance of the samples
        samples = torch.stack([b.mean(dim=(0, 1)) for b in batches]).double()
        torch.testing.assert_close(mem.cov_C.double() / 40, torch.cov(samples.T, correction=0), rtol=1e-5, atol=1e-6)


def test_decay_follows_every_sixteenth_accepted_sample_only():
    mem = memory(cov_decay=0.5, enable_outlier_rejection=False)
    samples = [torch.tensor([float(i % 3), float(i % 5), 1.0, -float(i % 2)]) for i in range(33)]
    for n, x in enumerate(samples, start=1):
        before = mem.cov_C.clone()
        mean = mem.cov_mean.clone()
        mem.accumulate_covariance(x)
        undecayed = before + torch.outer(x - mean, x - mem.cov_mean)
        expected = undecayed * 0.5 if n in (16, 32) else undecayed
        torch.testing.assert_close(mem.cov_C, expected, rtol=0, atol=1e-6, msg=f"sample {n}")


def test_first_sample_sets_the_mean_and_no_co_moment():
    mem = memory()
    x = torch.tensor([0.3, -1.2, 7.0, 1e-3])
    mem.accumulate_covariance(x)
    assert mem.cov_n.item() == 1
    assert torch.equal(mem.cov_mean, x)
    assert torch.count_nonzero(mem.cov_C) == 0


@pytest.mark.parametrize("sigma, sample", [
    (torch.arange(24.0).reshape(2, 3, 4), torch.arange(24.0).reshape(6, 4).mean(0)),
    (torch.arange(12.0).reshape(3, 4), torch.arange(12.0).reshape(3, 4).mean(0)),
    (torch.arange(4.0), torch.arange(4.0)),
])
def test_input_is_reduced_to_one_sample(sigma, sample):
    mem = memory()
    mem.accumulate_covariance(sigma)
    assert torch.equal(mem.cov_mean, sample)


def test_buffers_keep_dtype_identity_and_take_no_history():
    mem = memory()
    ids = {name: getattr(mem, name).data_ptr() for name in COV}
    x = torch.randn(2, 3, 4, dtype=torch.float64, requires_grad=True)
    for _ in range(20):
        mem.accumulate_covariance(x * 1.0)
    for name in COV:
        t = getattr(mem, name)
        assert t.data_ptr() == ids[name] and t.grad_fn is None and not t.requires_grad, name
    assert mem.cov_C.dtype == torch.float32 and mem.cov_mean.dtype == torch.float32
    assert torch.is_grad_enabled()


# ---------------------------------------------------------------------------------------------
# Outlier rejection


@pytest.mark.parametrize("accepted, rejected", [(10, False), (11, True)])
def test_outlier_test_applies_only_after_more_than_ten_samples(accepted, rejected):
    mem = memory()
    warm(mem, accepted)
    before = snapshot(mem)
    mem.accumulate_covariance(torch.full((4,), 100.0))
    if rejected:
        assert_unchanged(mem, before)
    else:
        assert mem.cov_n.item() == accepted + 1


def test_rejected_sample_does_not_advance_the_decay_phase():
    mem = memory(cov_decay=0.5)
    warm(mem, 15)
    mem.accumulate_covariance(torch.full((4,), 100.0))  # rejected
    assert mem.cov_n.item() == 15
    before, mean = mem.cov_C.clone(), mem.cov_mean.clone()
    x = mean + 0.01
    mem.accumulate_covariance(x)  # the 16th accepted sample is the one that decays
    torch.testing.assert_close(mem.cov_C, (before + torch.outer(x - mean, x - mem.cov_mean)) * 0.5)


def test_component_without_variance_uses_eps_as_its_spread():
    mem = memory()
    g = torch.Generator().manual_seed(3)
    for _ in range(11):
        mem.accumulate_covariance(torch.cat([torch.zeros(1), torch.randn(3, generator=g) * 0.1]))
    assert mem.cov_C[0, 0] == 0
    base = mem.cov_mean.clone()
    before = snapshot(mem)
    mem.accumulate_covariance(base + torch.tensor([1e-7, 0, 0, 0]))  # z = 10 > 3
    assert_unchanged(mem, before)
    mem.accumulate_covariance(base + torch.tensor([1e-8, 0, 0, 0]))  # z = 1
    assert mem.cov_n.item() == 12


def test_threshold_and_switch():
    strict = memory(cov_outlier_threshold=1e9)
    off = memory(enable_outlier_rejection=False)
    for mem in (strict, off):
        warm(mem, 12)
        mem.accumulate_covariance(torch.full((4,), 1e3))
        assert mem.cov_n.item() == 13


@pytest.mark.parametrize("value", [float("nan"), float("inf"), -float("inf")])
@pytest.mark.parametrize("rejection", [True, False])
def test_non_finite_samples_are_rejected(value, rejection):
    mem = memory(enable_outlier_rejection=rejection)
    warm(mem, 3)
    before = snapshot(mem)
    mem.accumulate_covariance(torch.tensor([0.0, value, 0.0, 0.0]))
    assert_unchanged(mem, before)


@pytest.mark.parametrize("sigma, error", [
    (torch.zeros(1, 2, 3, 4), ValueError),
    (torch.zeros(2, 3, 5), ValueError),
    (torch.zeros(1), ValueError),
    (torch.tensor(1.0), ValueError),
    (torch.zeros(2, 4, dtype=torch.complex64), RuntimeError),
    ([0.0, 0.0, 0.0, 0.0], TypeError),
])
def test_bad_input_is_refused_before_any_change(sigma, error):
    mem = memory()
    warm(mem, 12)
    before = snapshot(mem)
    with pytest.raises(error):
        mem.accumulate_covariance(sigma)
    assert_unchanged(mem, before)


# ---------------------------------------------------------------------------------------------
# Adaptive rank


@pytest.mark.parametrize("eigenvalues, d_state, settings, rank", [
    (torch.zeros(8), 64, {}, 4),                                           # total below eps
    (torch.tensor([]), 64, {}, 4),
    (torch.tensor([100.0, 1e-3, 1e-3, 0.0]), 64, {}, 4),                    # raw 1, raised to k_min
    (torch.ones(64), 256, {}, 61),                                          # first ratio >= 0.95 is 61/64
    (torch.ones(64), 64, {}, 16),                                           # capped at _k_max
    (torch.ones(4), 400, dict(k_min=1, explained_variance_threshold=0.75), 3),  # counts the one reaching it
    (torch.ones(10), 400, dict(k_min=1, explained_variance_threshold=1.5), 11),  # never reached: length + 1
    (torch.ones(10), 16, dict(k_min=1, explained_variance_threshold=1.5), 4),
    (torch.tensor([5.0, 3.0, 1.0, 1.0]), 400, dict(k_min=1, explained_variance_threshold=0.8), 2),
    (torch.tensor([5.0, 3.0, 1.0, 1.0], dtype=torch.float64), 400, dict(k_min=2, explained_variance_threshold=0.5), 2),
])
def test_adaptive_rank(eigenvalues, d_state, settings, rank):
    mem = memory(d_state=d_state, **settings)
    result = mem._compute_adaptive_rank(eigenvalues)
    assert result == rank and type(result) is int


def test_adaptive_rank_returns_plain_integers_for_float_bounds():
    mem = memory(d_state=16, k_min=4.0)  # the tie keeps the float k_min as _k_max too
    assert mem._k_max == 4.0
    for spectrum in (torch.zeros(3), torch.ones(64)):
        result = mem._compute_adaptive_rank(spectrum)
        assert result == 4 and type(result) is int


def test_adaptive_rank_reads_no_state_and_refuses_non_tensors():
    mem = memory()
    before = {k: v.clone() for k, v in mem.state_dict().items()}
    mem._compute_adaptive_rank(torch.ones(5))
    assert all(torch.equal(v, before[k]) for k, v in mem.state_dict().items())
    with pytest.raises(TypeError, match="eigenvalues"):
        mem._compute_adaptive_rank([1.0, 2.0])

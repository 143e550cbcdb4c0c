"""The sync error's arithmetic (torch.ops.kestrel.symmetric_kl), shared by `_safe_symmetric_kl` of
the dual-path engines."""
import math

import pytest
import torch

# Loading any module of the package registers the kernels.
from silver_kestrel.architectures.heavy_core import fortress_engine  # noqa: F401

kl = torch.ops.kestrel.symmetric_kl
reference = torch.ops.kestrel.symmetric_kl_reference


def written_out(fast, slow, temperature):
    t = max(temperature, 1e-6)
    p_log = torch.log_softmax(fast.float() / t, dim=-1).clamp(-30.0, 30.0)
    q_log = torch.log_softmax(slow.float() / t, dim=-1).clamp(-30.0, 30.0)
    p, q = p_log.exp(), q_log.exp()
    return 0.5 * ((p * (p_log - q_log)).sum(-1) + (q * (q_log - p_log)).sum(-1)).mean()


def pair(*shape, dtype=torch.float32, seed=0, spread=3.0):
    g = torch.Generator().manual_seed(seed)
    return (torch.randn(*shape, generator=g) * spread).to(dtype), (torch.randn(*shape, generator=g) * spread).to(dtype)


@pytest.mark.parametrize("shape", [(2, 5, 16), (7,), (3, 4), (1, 1, 1)])
@pytest.mark.parametrize("temperature", [0.5, 2.0, 7.0])
def test_matches_the_two_directed_terms(shape, temperature):
    fast, slow = pair(*shape)
    got = kl(fast, slow, temperature)
    assert got.dtype == torch.float32 and got.dim() == 0
    torch.testing.assert_close(got, written_out(fast, slow, temperature))
    torch.testing.assert_close(reference(fast, slow, temperature), written_out(fast, slow, temperature))


def test_mean_over_positions():
    fast, slow = pair(2, 3, 8)
    rows = torch.stack([kl(fast[b, l], slow[b, l], 2.0) for b in range(2) for l in range(3)])
    torch.testing.assert_close(kl(fast, slow, 2.0), rows.mean())


def test_identical_inputs_give_zero():
    fast, _ = pair(3, 4, 10)
    assert kl(fast, fast.clone(), 2.0).item() == 0.0


def test_never_negative_for_nearly_equal_distributions():
    fast, _ = pair(64, 512, spread=1.0)
    slow = fast + 1e-6 * torch.randn_like(fast)
    assert kl(fast, slow, 1.0).item() >= 0.0


@pytest.mark.parametrize("temperature", [0.0, -1.0, -1e9, 1e-9])
def test_temperature_floor(temperature):
    fast, slow = pair(2, 6, spread=1e-5)
    assert torch.equal(kl(fast, slow, temperature), kl(fast, slow, 1e-6))


@pytest.mark.parametrize("temperature, expected", [(1.0, 30.0), (2.0, 30.0), (5.0, 20.0)])
def test_clamp_caps_opposite_certainties(temperature, expected):
    fast = torch.tensor([0.0, -100.0])
    slow = torch.tensor([-100.0, 0.0])
    assert kl(fast, slow, temperature).item() == pytest.approx(expected, rel=1e-6)


@pytest.mark.parametrize("dtype", [torch.float16, torch.bfloat16, torch.float64])
def test_other_dtypes_give_float32(dtype):
    fast, slow = pair(2, 3, 8, dtype=dtype)
    got = kl(fast, slow, 2.0)
    assert got.dtype == torch.float32
    torch.testing.assert_close(got, written_out(fast, slow, 2.0))


def test_broadcasting_shapes():
    fast, _ = pair(2, 3, 5)
    _, slow = pair(3, 5, seed=1)
    torch.testing.assert_close(kl(fast, slow, 2.0), written_out(fast, slow, 2.0))
    with pytest.raises(RuntimeError):
        kl(fast, slow[:, :4], 2.0)


def test_nothing_filtered():
    fast, slow = pair(2, 4)
    assert math.isnan(kl(fast, slow, float("nan")).item())
    fast[0, 1] = float("nan")
    assert math.isnan(kl(fast, slow, 2.0).item())


def test_gradients_reach_both_inputs_as_in_the_written_out_form():
    fast, slow = pair(3, 5, 7)
    fast.requires_grad_(True)
    slow.requires_grad_(True)
    kl(fast, slow, 1.5).backward()
    got = fast.grad.clone(), slow.grad.clone()
    fast.grad = slow.grad = None
    written_out(fast, slow, 1.5).backward()
    torch.testing.assert_close(got[0], fast.grad)
    torch.testing.assert_close(got[1], slow.grad)


def test_gradient_in_float64_inputs_returns_float64():
    fast, slow = pair(2, 6, dtype=torch.float64)
    fast.requires_grad_(True)
    kl(fast, slow, 2.0).backward()
    assert fast.grad.dtype == torch.float64


def test_no_graph_when_nothing_requires_grad():
    fast, slow = pair(2, 6)
    assert not kl(fast, slow, 2.0).requires_grad
    with torch.no_grad():
        assert not kl(fast.requires_grad_(True), slow, 2.0).requires_grad


def _with(values, *spots):
    t = values.clone()
    for index, value in spots:
        t[index] = value
    return t


_INF = float("inf")


@pytest.mark.parametrize("case", [
    "plain", "nan_in_a_row", "plus_inf", "minus_inf", "whole_row_minus_inf", "opposite_certainties",
    "tiny_temperature", "nan_temperature", "float64", "half", "strided", "one_column",
])
def test_without_a_graph_gives_what_the_graph_path_gives(case):
    # Without a graph the rows run in one pass; the composition (taken when an input needs a
    # gradient) is the reference, NaN and infinities included.
    fast, slow = pair(4, 3, 10, seed=4)
    temperature = 2.0
    if case == "nan_in_a_row":
        fast = _with(fast, ((1, 2, 3), float("nan")))
    elif case == "plus_inf":
        slow = _with(slow, ((0, 0, 0), _INF))
    elif case == "minus_inf":
        fast = _with(fast, ((2, 1, 4), -_INF), ((3, 0, 0), -_INF))
    elif case == "whole_row_minus_inf":
        slow = _with(slow, ((1, 1), -_INF))
    elif case == "opposite_certainties":
        fast = _with(fast, ((0, 0, 0), 500.0))
        slow = _with(slow, ((0, 0, 1), 500.0))
    elif case == "tiny_temperature":
        temperature = 0.0
    elif case == "nan_temperature":
        temperature = float("nan")
    elif case == "float64":
        fast, slow = fast.double(), slow.double()
    elif case == "half":
        fast, slow = fast.half(), slow.half()
    elif case == "strided":
        fast, slow = fast.transpose(0, 1), slow.transpose(0, 1)
    elif case == "one_column":
        fast, slow = fast[..., :1], slow[..., :1]
    got = kl(fast, slow, temperature)
    assert not got.requires_grad and got.dtype == torch.float32 and got.shape == ()
    expected = kl(fast.detach().requires_grad_(True), slow, temperature).detach()
    torch.testing.assert_close(got, expected, rtol=1e-5, atol=1e-6, equal_nan=True)


@pytest.mark.parametrize("dtypes", [
    (torch.float32, torch.float32), (torch.float64, torch.float64), (torch.half, torch.half),
    (torch.bfloat16, torch.bfloat16), (torch.float64, torch.half),
])
@pytest.mark.parametrize("temperature", [2.0, 0.3, 0.0, 1.0 / 3.0, float("nan")])
def test_contiguous_logits_give_the_bits_of_strided_ones(dtypes, temperature):
    # Contiguous logits are converted and divided in one host pass; the same values laid out
    # with other strides take the stacked operations: one result, bit for bit.
    fast, slow = pair(5, 3, 11, seed=7, spread=40.0)
    fast = _with(fast, ((0, 1, 2), float("nan")), ((4, 2, 0), _INF), ((3, 0, 5), -_INF))
    fast, slow = fast.to(dtypes[0]), slow.to(dtypes[1])
    strided = [t.transpose(0, 1).contiguous().transpose(0, 1) for t in (fast, slow)]
    assert not strided[0].is_contiguous()
    got = kl(fast, slow, temperature)
    expected = kl(*strided, temperature)
    assert got.dtype == expected.dtype == torch.float32
    assert torch.equal(got.isnan(), expected.isnan())
    assert torch.equal(got.nan_to_num(), expected.nan_to_num())

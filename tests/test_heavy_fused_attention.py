import math

import pytest
import torch

from silver_kestrel.architectures.heavy_core import heavy_core as hc

CHA = hc.OptimizedMorvaCHA
kestrel = torch.ops.kestrel


def library_attention(q, k, v, scale):
    """The tensor library's own causal fused attention at an explicit scale."""
    if hasattr(torch.nn.functional, "scaled_dot_product_attention"):
        return torch.nn.functional.scaled_dot_product_attention(q, k, v, is_causal=True, scale=scale)
    prescale = scale * math.sqrt(q.shape[-1])
    return torch.nn.functional._scaled_dot_product_attention(q * prescale, k, v, is_causal=True)[0]


def qkv(*shape, dtype=torch.float32, seed=0, kv_len=None, v_width=None, requires_grad=False):
    g = torch.Generator().manual_seed(seed)
    *lead, L, E = shape
    S = L if kv_len is None else kv_len
    Ev = E if v_width is None else v_width
    make = lambda *s: torch.randn(*s, generator=g, dtype=torch.float64).to(dtype).requires_grad_(requires_grad)
    return make(*lead, L, E), make(*lead, S, E), make(*lead, S, Ev)


# ---------------------------------------------------------------------------------------------
# OptimizedMorvaCHA

def test_construction():
    cha = CHA(1024)
    assert (cha.n_heads, cha.d_head, cha.scale_base) == (8, 128, 1.0 / math.sqrt(128))
    assert type(cha.scale_base) is float
    assert [n for n in vars(cha) if n in ("n_heads", "d_head", "scale_base")] == ["n_heads", "d_head", "scale_base"]
    assert CHA(1001).d_head == 125
    assert cha.state_dict() == {} and list(cha.parameters()) == []
    converted = CHA(64.9, n_heads=True)
    assert (converted.n_heads, converted.d_head) == (1, 64) and type(converted.n_heads) is int


def test_construction_errors():
    with pytest.raises(ValueError, match=r"^d_model must be at least n_heads \(8\), got 4$"):
        CHA(4, 8)
    with pytest.raises(ValueError, match="^n_heads must be positive, got 0$"):
        CHA(16, 0)
    with pytest.raises(TypeError) as e:
        CHA("16")
    assert str(e.value) == "Argument 'd_model' has incorrect type (expected int, got str)"
    with pytest.raises(TypeError) as e:
        CHA(16, n_heads=None)
    assert str(e.value) == "Argument 'n_heads' has incorrect type (expected int, got NoneType)"


@pytest.mark.parametrize("pressure", [0.0, 1.0, 0.25, 2, torch.tensor(0.7), torch.tensor([[0.7]])])
def test_scale_rises_with_the_pressure(pressure):
    cha = CHA(16, 4)
    q, k, v = qkv(2, 4, 5, 4)
    got = cha(q, k, v, pressure)
    expected = library_attention(q, k, v, (float(pressure) + 1.0) / math.sqrt(4))
    assert got.shape == q.shape
    torch.testing.assert_close(got, expected)


def test_scale_comes_from_construction_not_from_the_tensors():
    cha = CHA(64, 4)  # d_head 16, tensors 8 wide
    q, k, v = qkv(1, 4, 6, 8)
    torch.testing.assert_close(cha(q, k, v, 0.0), library_attention(q, k, v, 1 / 4))


def test_length_one_returns_v():
    q, k, v = qkv(3, 2, 1, 4)
    torch.testing.assert_close(CHA(8, 2)(q, k, v, 0.9), v)


def test_one_element_tensor_equals_its_float():
    cha = CHA(16, 4)
    q, k, v = qkv(2, 4, 7, 4)
    assert torch.equal(cha(q, k, v, torch.tensor(0.3)), cha(q, k, v, 0.3))


@pytest.mark.parametrize("pressure, error", [("0.5", TypeError), (None, TypeError),
                                             (torch.tensor([0.1, 0.2]), ValueError)])
def test_pressure_without_float_conversion(pressure, error):
    # Refused on entry, before the tensors are looked at.
    with pytest.raises(error):
        CHA(16, 4)(None, None, None, pressure)


def test_call_arguments():
    cha = CHA(16, 4)
    q, k, v = qkv(1, 4, 3, 4)
    with pytest.raises(TypeError):
        cha(q, k, v)
    with pytest.raises(TypeError):
        cha(q, k, v, 0.1, 0.2)
    assert torch.equal(cha(q=q, k=k, v=v, pressure=0.1), cha(q, k, v, 0.1))
    with pytest.raises(RuntimeError):
        cha(q, k[..., :2], v, 0.0)


def test_gradients_flow():
    cha = CHA(16, 4)
    q, k, v = qkv(1, 4, 6, 4, dtype=torch.float64, requires_grad=True)
    cha(q, k, v, 0.5).sum().backward()
    assert all(t.grad is not None and torch.isfinite(t.grad).all() for t in (q, k, v))


# ---------------------------------------------------------------------------------------------
# The causal attention kernel against its reference and the library

CASES = {
    "heads": dict(shape=(2, 3, 7, 4)),
    "three_dims": dict(shape=(3, 5, 6)),
    "two_dims": dict(shape=(9, 3)),
    "longer_keys": dict(shape=(2, 2, 4, 3), kv_len=9),
    "shorter_keys": dict(shape=(2, 2, 9, 3), kv_len=4),
    "value_width": dict(shape=(1, 2, 6, 4), v_width=7),
}


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
def test_kernel_matches_reference_and_library(case, dtype):
    q, k, v = qkv(*case["shape"], dtype=dtype, kv_len=case.get("kv_len"), v_width=case.get("v_width"))
    got = kestrel.causal_attention(q, k, v, 0.6)
    assert got.dtype == dtype and got.shape == (*q.shape[:-1], v.shape[-1])
    torch.testing.assert_close(got, kestrel.causal_attention_reference(q, k, v, 0.6))
    torch.testing.assert_close(got, library_attention(q, k, v, 0.6))


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_kernel_gradcheck(case):
    q, k, v = qkv(*case["shape"], dtype=torch.float64, kv_len=case.get("kv_len"), v_width=case.get("v_width"),
                  requires_grad=True)
    assert torch.autograd.gradcheck(lambda a, b, c: kestrel.causal_attention(a, b, c, 0.8), (q, k, v))


def test_kernel_by_blocks_forward_and_backward():
    # 4096 queries of one head: the scores are split into row blocks with a causal edge in each.
    q, k, v = qkv(1, 4096, 4, requires_grad=True)
    w = torch.randn(1, 4096, 4)
    got = kestrel.causal_attention(q, k, v, 0.5)
    (got * w).sum().backward()
    grads = [t.grad.clone() for t in (q, k, v)]
    for t in (q, k, v):
        t.grad = None
    expected = kestrel.causal_attention_reference(q, k, v, 0.5)
    (expected * w).sum().backward()
    torch.testing.assert_close(got, expected, rtol=1e-4, atol=1e-5)
    for g, t in zip(grads, (q, k, v)):
        torch.testing.assert_close(g, t.grad, rtol=1e-4, atol=1e-4)


@pytest.mark.parametrize("dtype", [torch.bfloat16, torch.float16])
def test_kernel_low_precision_accumulates_in_float32(dtype):
    q, k, v = qkv(2, 2, 8, 4, dtype=dtype)
    got = kestrel.causal_attention(q, k, v, 0.5)
    assert got.dtype == dtype
    expected = kestrel.causal_attention_reference(q.float(), k.float(), v.float(), 0.5).to(dtype)
    assert torch.equal(got, expected) or torch.allclose(got.float(), expected.float(), rtol=1e-2, atol=1e-2)


def test_kernel_falls_back_for_broadcast_batches():
    q, _, _ = qkv(2, 1, 5, 4)
    _, k, v = qkv(2, 3, 5, 4, seed=1)
    torch.testing.assert_close(kestrel.causal_attention(q, k, v, 0.5),
                               kestrel.causal_attention_reference(q, k, v, 0.5))


@pytest.mark.parametrize("L", [1, 63, 64, 65, 150])
def test_causal_linear_attention_matches_its_reference_across_chunks(L):
    g = torch.Generator().manual_seed(L)
    q, k = (torch.rand(2, L, 3, 4, generator=g, dtype=torch.float64) for _ in range(2))
    v = torch.randn(2, L, 3, 5, generator=g, dtype=torch.float64)
    fused_in = [t.clone().requires_grad_() for t in (q, k, v)]
    ref_in = [t.clone().requires_grad_() for t in (q, k, v)]
    fused = torch.ops.kestrel.linear_attention(*fused_in)
    ref = torch.ops.kestrel.linear_attention_reference(*ref_in)
    torch.testing.assert_close(fused, ref)
    weight = torch.randn(ref.shape, generator=g, dtype=torch.float64)
    (fused * weight).sum().backward()
    (ref * weight).sum().backward()
    for f, r in zip(fused_in, ref_in):
        torch.testing.assert_close(f.grad, r.grad)


def test_causal_linear_attention_gradcheck_over_two_chunks():
    g = torch.Generator().manual_seed(0)
    inputs = [torch.rand(1, 70, 2, 3, generator=g, dtype=torch.float64).requires_grad_() for _ in range(3)]
    assert torch.autograd.gradcheck(torch.ops.kestrel.linear_attention, inputs)

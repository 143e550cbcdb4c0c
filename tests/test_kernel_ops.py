"""The kestrel operators as PyTorch sees them: gradients of every order against the ATen references,
fake and meta tensors, the library's operator checks, and empty inputs."""
import pytest
import torch

# Loading any module of the package registers the operators.
from silver_kestrel.architectures.heavy_core import heavy_core  # noqa: F401

K = torch.ops.kestrel


def _randn(g, *shape, dtype=torch.float64):
    return torch.randn(*shape, generator=g, dtype=dtype)


def scan_inputs(g, B=2, T=4, S=5, rows=None, dtype=torch.float64):
    return [_randn(g, B, T, S, dtype=dtype), torch.rand(B, T, S, generator=g, dtype=dtype),
            _randn(g, rows or B, S, dtype=dtype), torch.tensor(0.8, dtype=dtype)]


def attention_inputs(g, B=1, H=2, L=5, E=3, Ev=4, dtype=torch.float64):
    return [_randn(g, B, H, L, E, dtype=dtype), _randn(g, B, H, L, E, dtype=dtype), _randn(g, B, H, L, Ev, dtype=dtype)]


def linear_inputs(g, B=1, L=5, H=2, d=3, e=2, dtype=torch.float64):
    return [torch.rand(B, L, H, d, generator=g, dtype=dtype), torch.rand(B, L, H, d, generator=g, dtype=dtype),
            _randn(g, B, L, H, e, dtype=dtype)]


def features_inputs(g, shape=(2, 3, 2, 4), exponent=(), dtype=torch.float64):
    return [_randn(g, *shape, dtype=dtype), (1.0 + torch.rand(exponent, generator=g, dtype=dtype))]


# name: (operator, reference, inputs from a generator, extra non-tensor arguments)
OPS = {
    "gated_scan": (K.gated_scan, K.gated_scan_reference, scan_inputs, ()),
    "gated_scan_broadcast_start": (K.gated_scan, K.gated_scan_reference, lambda g: scan_inputs(g, rows=1), ()),
    "causal_attention": (K.causal_attention, K.causal_attention_reference, attention_inputs, (0.7,)),
    "causal_attention_longer_keys": (
        K.causal_attention, K.causal_attention_reference,
        lambda g: [_randn(g, 1, 4, 3), _randn(g, 1, 6, 3), _randn(g, 1, 6, 2)], (0.7,)),
    "linear_attention": (K.linear_attention, K.linear_attention_reference, linear_inputs, ()),
    "linear_attention_two_chunks": (K.linear_attention, K.linear_attention_reference,
                                    lambda g: linear_inputs(g, L=70, H=1, d=2, e=2), ()),
    "linear_attention_features": (K.linear_attention_features, K.linear_attention_features_reference,
                                  features_inputs, ()),
    "linear_attention_features_exponent_1x1": (K.linear_attention_features, K.linear_attention_features_reference,
                                               lambda g: features_inputs(g, exponent=(1, 1)), ()),
}


def make(name, requires_grad=True, seed=0):
    op, ref, build, extra = OPS[name]
    tensors = [t.requires_grad_(requires_grad) for t in build(torch.Generator().manual_seed(seed))]
    return (lambda *x: op(*x, *extra)), (lambda *x: ref(*x, *extra)), tensors


@pytest.mark.parametrize("name", OPS)
def test_gradcheck_and_gradgradcheck(name):
    f, _, x = make(name)
    assert torch.autograd.gradcheck(f, x)
    assert torch.autograd.gradgradcheck(f, x)


@pytest.mark.parametrize("name", OPS)
def test_second_order_matches_the_reference(name):
    # A penalty on the input gradient, differentiated again: the second order must be the
    # reference's, never a silent zero.
    f, ref, x = make(name)
    x_ref = [t.detach().clone().requires_grad_() for t in x]
    weight = torch.randn(f(*x).shape, generator=torch.Generator().manual_seed(1), dtype=torch.float64)

    def second(fn, inputs):
        grads = torch.autograd.grad((fn(*inputs) * weight).sum(), inputs, create_graph=True)
        penalty = sum((g ** 2).sum() for g in grads)
        return torch.autograd.grad(penalty, inputs)

    got, expected = second(f, x), second(ref, x_ref)
    assert any(e.abs().max() > 1e-3 for e in expected)
    for a, b in zip(got, expected):
        torch.testing.assert_close(a, b)


def test_retention_second_order_of_the_scan_is_not_zero():
    delta, gate, start, a = [t.requires_grad_() for t in scan_inputs(torch.Generator().manual_seed(0), 2, 6, 4)]
    results = []
    for op in (K.gated_scan, K.gated_scan_reference):
        (d_delta,) = torch.autograd.grad(op(delta, gate, start, a).pow(2).sum(), [delta], create_graph=True)
        (d_a,) = torch.autograd.grad(d_delta.pow(2).sum(), [a])
        results.append(d_a)
    assert results[1].abs() > 0.1
    torch.testing.assert_close(results[0], results[1])


def test_symmetric_kl_second_order_matches_the_reference():
    g = torch.Generator().manual_seed(0)
    pairs = [[torch.randn(3, 6, generator=g).requires_grad_() for _ in range(2)] for _ in range(2)]
    pairs[1] = [t.detach().clone().requires_grad_() for t in pairs[0]]
    out = []
    for op, (fast, slow) in zip((K.symmetric_kl, K.symmetric_kl_reference), pairs):
        (d_fast,) = torch.autograd.grad(op(fast, slow, 1.5), [fast], create_graph=True)
        out.append(torch.autograd.grad(d_fast.pow(2).sum(), [fast, slow]))
    for a, b in zip(*out):
        torch.testing.assert_close(a, b)


ALL_OPS = dict(OPS, symmetric_kl=(K.symmetric_kl, K.symmetric_kl_reference,
                                  lambda g: [torch.randn(3, 6, generator=g), torch.randn(3, 6, generator=g)], (2.0,)))


@pytest.mark.parametrize("name", ALL_OPS)
def test_fake_tensors_forward_and_backward(name):
    from torch._subclasses.fake_tensor import FakeTensorMode

    op, _, build, extra = ALL_OPS[name]
    real = [t.float() for t in build(torch.Generator().manual_seed(0))]
    expected = op(*real, *extra)
    with FakeTensorMode() as mode:
        fake = [mode.from_tensor(t).requires_grad_() for t in real]
        out = op(*fake, *extra)
        assert out.shape == expected.shape and out.dtype == expected.dtype
        out.sum().backward()
        for t, r in zip(fake, real):
            assert t.grad.shape == r.shape and t.grad.dtype == r.dtype


@pytest.mark.parametrize("name", ALL_OPS)
def test_meta_tensors(name):
    op, _, build, extra = ALL_OPS[name]
    real = [t.float() for t in build(torch.Generator().manual_seed(0))]
    out = op(*[t.to("meta") for t in real], *extra)
    expected = op(*real, *extra)
    assert out.device.type == "meta" and out.shape == expected.shape and out.dtype == expected.dtype


@pytest.mark.skipif(not hasattr(torch.library, "opcheck"), reason="torch.library.opcheck arrived in torch 2.4")
@pytest.mark.parametrize("name", ALL_OPS)
def test_opcheck(name):
    op, _, build, extra = ALL_OPS[name]
    inputs = [t.requires_grad_() for t in build(torch.Generator().manual_seed(0))]
    if op is K.symmetric_kl:
        # A composite of ATen ops whose guard for an empty batch reads the concrete row count, which
        # symbolic shapes do not have: every check but dynamic-shape tracing applies.
        torch.library.opcheck(op, (*inputs, *extra),
                              test_utils=("test_schema", "test_autograd_registration", "test_faketensor",
                                          "test_aot_dispatch_static"))
        return
    torch.library.opcheck(op, (*inputs, *extra))


# Every zero-sized dimension, forward and backward, in this process.
EMPTY = {
    "scan_B0": (K.gated_scan, lambda: [torch.randn(0, 3, 4), torch.rand(0, 3, 4), torch.randn(0, 4), torch.tensor(0.5)], ()),
    "scan_B0_broadcast": (K.gated_scan, lambda: [torch.randn(0, 3, 4), torch.rand(0, 3, 4), torch.randn(1, 4),
                                                 torch.tensor(0.5)], ()),
    "scan_T0": (K.gated_scan, lambda: [torch.randn(2, 0, 4), torch.rand(2, 0, 4), torch.randn(2, 4), torch.tensor(0.5)], ()),
    "scan_S0": (K.gated_scan, lambda: [torch.randn(2, 3, 0), torch.rand(2, 3, 0), torch.randn(2, 0), torch.tensor(0.5)], ()),
    **{f"causal_{i}": (K.causal_attention, (lambda s=s: [torch.randn(*s), torch.randn(*s), torch.randn(*s[:-1], 4)]), (0.5,))
       for i, s in enumerate([(0, 2, 5, 3), (2, 0, 5, 3), (2, 2, 0, 3), (2, 2, 5, 0)])},
    "causal_no_keys": (K.causal_attention, lambda: [torch.randn(1, 4, 3), torch.randn(1, 0, 3), torch.randn(1, 0, 2)], (0.5,)),
    "causal_Ev0": (K.causal_attention, lambda: [torch.randn(1, 4, 3), torch.randn(1, 4, 3), torch.randn(1, 4, 0)], (0.5,)),
    **{f"linear_{i}": (K.linear_attention, (lambda s=s: [torch.rand(*s), torch.rand(*s), torch.randn(*s[:-1], 4)]), ())
       for i, s in enumerate([(0, 5, 2, 3), (2, 0, 2, 3), (2, 5, 0, 3), (2, 5, 2, 0)])},
    "linear_e0": (K.linear_attention, lambda: [torch.rand(2, 5, 2, 3), torch.rand(2, 5, 2, 3), torch.randn(2, 5, 2, 0)], ()),
    "features_empty": (K.linear_attention_features, lambda: [torch.randn(2, 0, 3), torch.tensor(1.5)], ()),
    "kl_no_rows": (K.symmetric_kl, lambda: [torch.randn(0, 5), torch.randn(0, 5)], (2.0,)),
    "kl_no_classes": (K.symmetric_kl, lambda: [torch.randn(3, 0), torch.randn(3, 0)], (2.0,)),
}


@pytest.mark.parametrize("name", EMPTY)
def test_zero_sized_dimensions(name):
    op, build, extra = EMPTY[name]
    inputs = [t.requires_grad_() for t in build()]
    out = op(*inputs, *extra)
    assert torch.isfinite(out).all()
    if op is K.symmetric_kl:
        assert out.shape == () and out.item() == 0.0
    elif op is K.gated_scan:
        assert out.shape == inputs[0].shape
    elif op is K.causal_attention:
        assert out.shape == (*inputs[0].shape[:-1], inputs[2].shape[-1])
    elif op is K.linear_attention_features:
        assert out.shape == inputs[0].shape
    else:
        assert out.shape == inputs[2].shape
    out.sum().backward()
    for t in inputs:
        assert t.grad.shape == t.shape and torch.isfinite(t.grad).all()
        assert out.numel() > 0 or not t.grad.any()


def test_backward_operators_refuse_a_graph_of_their_own():
    # The backward operators are reached with gradients off; differentiating one directly is an
    # error, never a silent zero.
    delta, gate, start, a = scan_inputs(torch.Generator().manual_seed(0))
    out = K.gated_scan(delta, gate, start, a)
    grad = torch.ones_like(out).requires_grad_()
    d_delta = K._gated_scan_backward(grad, delta, gate, start, a, out)[0]
    with pytest.raises(RuntimeError, match="not implemented"):
        d_delta.sum().backward()


def test_attention_leaves_the_back_end_flags_alone():
    flags = (torch.backends.cuda.flash_sdp_enabled(), torch.backends.cuda.math_sdp_enabled())
    torch.backends.cuda.enable_math_sdp(False)
    try:
        q, k, v = attention_inputs(torch.Generator().manual_seed(0))
        broadcast = q[:, :1]  # takes the math path
        for args in ((q, k, v), (broadcast, k, v)):
            torch.testing.assert_close(K.causal_attention(*args, 0.5), K.causal_attention_reference(*args, 0.5))
        assert not torch.backends.cuda.math_sdp_enabled()
    finally:
        torch.backends.cuda.enable_math_sdp(flags[1])


# The linear attention kernel against its reference, forward and backward: (B, L, H, d, e). The
# kernel runs each (batch row, group of heads) as one task, so the table mixes a single position,
# lengths of no particular multiple, d != e both ways, one head, one batch row, head counts that
# leave a shorter last group, and summaries too large to share a task.
LINEAR_SHAPES = {
    "L1": (2, 1, 3, 4, 5),
    "L37_d_lt_e": (2, 37, 3, 3, 7),
    "L70_d_gt_e": (1, 70, 2, 9, 2),
    "H1": (3, 19, 1, 4, 4),
    "B1_H5": (1, 23, 5, 4, 3),
    "e1": (2, 11, 2, 5, 1),
    "wide_heads": (2, 13, 3, 40, 24),
    # Head widths the sweeps compile as constants.
    "d2_e2": (8, 16, 8, 2, 2),
    "d8_e8": (2, 17, 3, 8, 8),
    "d2_e4": (2, 9, 3, 2, 4),
    "d16_e16": (2, 20, 2, 16, 16),
}


def _linear_case(shape, dtype=torch.float64, seed=0):
    B, L, H, d, e = shape
    g = torch.Generator().manual_seed(seed)
    return (torch.rand(B, L, H, d, generator=g, dtype=dtype), torch.rand(B, L, H, d, generator=g, dtype=dtype),
            torch.randn(B, L, H, e, generator=g, dtype=dtype), torch.randn(B, L, H, e, generator=g, dtype=dtype))


def _linear_grads(op, q, k, v, weight):
    inputs = [t.detach().clone().requires_grad_() for t in (q, k, v)]
    out = op(*inputs)
    grads = torch.autograd.grad(out, inputs, weight)
    return out, grads


@pytest.mark.parametrize("dtype", [torch.float64, torch.float32])
@pytest.mark.parametrize("name", LINEAR_SHAPES)
def test_linear_attention_kernel_matches_the_reference(name, dtype):
    q, k, v, weight = _linear_case(LINEAR_SHAPES[name], dtype)
    out, grads = _linear_grads(K.linear_attention, q, k, v, weight)
    ref_out, ref_grads = _linear_grads(K.linear_attention_reference, *(t.double() for t in (q, k, v, weight)))
    tol = {} if dtype == torch.float64 else dict(rtol=1e-4, atol=1e-5)
    assert out.dtype == dtype and out.is_contiguous()
    torch.testing.assert_close(out.double(), ref_out, **tol)
    for got, expected in zip(grads, ref_grads):
        assert got.dtype == dtype
        torch.testing.assert_close(got.double(), expected, **tol)


@pytest.mark.parametrize("name", ["L1", "B1_H5", "L37_d_lt_e", "d2_e2"])
def test_linear_attention_kernel_gradcheck(name):
    B, L, H, d, e = LINEAR_SHAPES[name]
    q, k, v, _ = _linear_case((B, min(L, 9), H, d, e))
    assert torch.autograd.gradcheck(K.linear_attention, [t.requires_grad_() for t in (q, k, v)])


def test_linear_attention_kernel_reads_strided_views():
    # Permuted views ([B, H, L, d] storage seen as [B, L, H, d]), a strided last dimension and an
    # expanded gradient give the results of the same values laid out contiguously.
    g = torch.Generator().manual_seed(3)
    B, L, H, d, e = 2, 21, 3, 4, 5
    q = torch.rand(B, H, L, d, generator=g, dtype=torch.float64).permute(0, 2, 1, 3)
    k = torch.rand(B, L, H, 2 * d, generator=g, dtype=torch.float64)[..., ::2]
    v = torch.randn(B, e, L, H, generator=g, dtype=torch.float64).permute(0, 2, 3, 1)
    weight = torch.randn(1, L, 1, e, generator=g, dtype=torch.float64).expand(B, L, H, e)
    assert not any(t.is_contiguous() for t in (q, k, v, weight))
    out, grads = _linear_grads(K.linear_attention, q, k, v, weight)
    ref_out, ref_grads = _linear_grads(K.linear_attention, *(t.contiguous() for t in (q, k, v, weight)))
    assert torch.equal(out, ref_out)
    for got, expected in zip(grads, ref_grads):
        assert torch.equal(got, expected)
    torch.testing.assert_close(out, K.linear_attention_reference(q, k, v))


def test_linear_attention_kernel_is_the_same_on_any_thread_count():
    q, k, v, weight = _linear_case((3, 40, 6, 8, 8), torch.float32)
    threads = torch.get_num_threads()
    results = []
    try:
        for n in (1, 3):
            torch.set_num_threads(n)
            results.append(_linear_grads(K.linear_attention, q, k, v, weight))
    finally:
        torch.set_num_threads(threads)
    (out1, grads1), (out3, grads3) = results
    assert torch.equal(out1, out3)
    for a, b in zip(grads1, grads3):
        assert torch.equal(a, b)


@pytest.mark.parametrize("dtype", [torch.float16, torch.bfloat16])
def test_linear_attention_kernel_computes_half_types_in_float(dtype):
    q, k, v, weight = _linear_case((2, 17, 2, 4, 3), torch.float32)
    q, k, v, weight = (t.to(dtype) for t in (q, k, v, weight))
    out, grads = _linear_grads(K.linear_attention, q, k, v, weight)
    ref_out, ref_grads = _linear_grads(K.linear_attention_reference, *(t.float() for t in (q, k, v, weight)))
    assert out.dtype == dtype and all(t.dtype == dtype for t in grads)
    torch.testing.assert_close(out, ref_out.to(dtype))
    for got, expected in zip(grads, ref_grads):
        torch.testing.assert_close(got, expected.to(dtype), rtol=2e-2, atol=2e-2)


# The linear bridge's query features, (elu(x) + 1) ** e: inputs on both sides of 0 and far below
# it, exponents 0, 1, between and above, in both floating dtypes and as half types computed in float.
FEATURE_EXPONENTS = [0.0, 1.0, 0.5, 1.37, 2.0]


@pytest.mark.parametrize("dtype", [torch.float64, torch.float32])
@pytest.mark.parametrize("e", FEATURE_EXPONENTS)
def test_linear_attention_features_match_the_reference(e, dtype):
    g = torch.Generator().manual_seed(5)
    x = torch.cat([torch.randn(200, generator=g, dtype=dtype) * 3, torch.tensor([0.0, -0.0, 1e-8, -1e-8, -12.0, 30.0],
                                                                               dtype=dtype)]).view(2, 103)
    exponent = torch.tensor(e, dtype=dtype)
    weight = torch.randn(x.shape, generator=g, dtype=dtype)
    results = []
    for op, wanted in ((K.linear_attention_features, dtype), (K.linear_attention_features_reference, torch.float64)):
        xi, ei = x.to(wanted).requires_grad_(), exponent.to(wanted).requires_grad_()
        out = op(xi, ei)
        results.append((out, *torch.autograd.grad(out, [xi, ei], weight.to(wanted))))
    tol = {} if dtype == torch.float64 else dict(rtol=2e-5, atol=1e-5)
    for got, expected in zip(*results):
        assert got.dtype == dtype and got.shape == expected.shape
        torch.testing.assert_close(got, expected.to(dtype), **tol)


def test_linear_attention_features_far_below_zero_keep_finite_gradients():
    # elu(x) + 1 rounds to 0 below about -17 in float32, where the composition's slope becomes
    # 0 ** (e - 1) * exp(x): infinite or NaN for e < 1. The fused operator differentiates exp(e x).
    x = torch.tensor([-20.0, -40.0, -200.0], requires_grad=True)
    exponent = torch.tensor(0.5, requires_grad=True)
    out = K.linear_attention_features(x, exponent)
    torch.testing.assert_close(out, torch.exp(0.5 * x.detach()))
    dx, de = torch.autograd.grad(out.sum(), [x, exponent])
    assert torch.isfinite(dx).all() and torch.isfinite(de)
    torch.testing.assert_close(dx, 0.5 * out.detach())


@pytest.mark.parametrize("e", [1.0, 1.5])
def test_linear_attention_features_at_minus_infinity_and_nan(e):
    # A feature of 0 (x = -inf) has slope 0 in x and adds nothing to the exponent's gradient, as in
    # the composition; a NaN input gives a NaN feature.
    x = torch.tensor([-float("inf"), -100.0, 0.5], dtype=torch.float64)
    results = []
    for op in (K.linear_attention_features, K.linear_attention_features_reference):
        xi, ei = x.clone().requires_grad_(), torch.tensor(e, dtype=torch.float64, requires_grad=True)
        out = op(xi, ei)
        results.append((out, *torch.autograd.grad(out.sum(), [xi, ei])))
    for got, expected in zip(*results):
        torch.testing.assert_close(got, expected)
    assert K.linear_attention_features(torch.tensor([float("nan")]), torch.tensor(e)).isnan().all()


@pytest.mark.parametrize("dtype", [torch.float16, torch.bfloat16])
def test_linear_attention_features_of_half_types(dtype):
    x = torch.randn(3, 40, generator=torch.Generator().manual_seed(2)).to(dtype).requires_grad_()
    exponent = torch.tensor(1.3)
    out = K.linear_attention_features(x, exponent)
    assert out.dtype == dtype
    torch.testing.assert_close(out, K.linear_attention_features_reference(x.float(), exponent).to(dtype))
    (dx,) = torch.autograd.grad(out.float().sum(), [x])
    assert dx.dtype == dtype


@pytest.mark.parametrize("exponent", [torch.tensor([1.5], dtype=torch.float64), torch.tensor([[[[[1.5]]]]]),
                                      torch.tensor([1.2, 1.4])],
                         ids=["promoting", "more_dims", "two_elements"])
def test_linear_attention_features_follow_the_reference_elsewhere(exponent):
    # Exponents that change the result's dtype or shape, or hold several elements, give what the
    # composition gives (its broadcast and promotion), gradients included.
    x = torch.randn(2, 3, 2, generator=torch.Generator().manual_seed(4), requires_grad=True)
    e = exponent.clone().requires_grad_()
    out = K.linear_attention_features(x, e)
    expected = K.linear_attention_features_reference(x, e)
    assert out.shape == expected.shape and out.dtype == expected.dtype
    torch.testing.assert_close(out, expected)
    got = torch.autograd.grad(out.sum(), [x, e])
    want = torch.autograd.grad(expected.sum(), [x, e])
    for a, b in zip(got, want):
        torch.testing.assert_close(a, b)


def test_linear_attention_features_exponent_gradient_is_the_same_on_any_thread_count():
    x = torch.randn(300000, generator=torch.Generator().manual_seed(6))
    threads = torch.get_num_threads()
    grads = []
    try:
        for n in (1, 3):
            torch.set_num_threads(n)
            e = torch.tensor(1.25, requires_grad=True)
            grads.append(torch.autograd.grad(K.linear_attention_features(x, e).sum(), [e])[0])
    finally:
        torch.set_num_threads(threads)
    assert torch.equal(grads[0], grads[1])


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
@pytest.mark.parametrize("layout", ["offset_view", "one_by_one", "expanded_grad"])
def test_linear_attention_features_backward_of_views_is_that_of_plain_copies(layout, dtype):
    # The exponent as a view into a longer tensor or with extra dimensions, and the incoming
    # gradient as a broadcast view: the gradients are those of plain contiguous copies, the
    # exponent's in the exponent's shape and dtype.
    g = torch.Generator().manual_seed(7)
    x = (torch.randn(3, 5, 4, generator=g) * 2).to(dtype)
    grad = torch.randn(3, 5, 4, generator=g).to(dtype)
    exponent = torch.tensor(1.3, dtype=dtype)
    if layout == "offset_view":
        exponent = torch.tensor([0.25, 1.3, 4.0], dtype=dtype)[1:2]
    elif layout == "one_by_one":
        exponent = exponent.view(1, 1)
    else:
        grad = grad[:1, :1, :1].expand(x.shape)
    out = K.linear_attention_features(x, exponent)
    got = torch.ops.kestrel._linear_attention_features_backward(grad, x, exponent, out, True)
    plain = torch.ops.kestrel._linear_attention_features_backward(grad.contiguous(), x, exponent.clone(), out, True)
    assert got[1].shape == exponent.shape and got[1].dtype == dtype
    for a, b in zip(got, plain):
        assert torch.equal(a, b)
    expected = K.linear_attention_features_reference(x.double(), exponent.double())
    torch.testing.assert_close(got[1].double().sum(), (grad.double() * expected * torch.where(
        x > 0, torch.log1p(x.double()), x.double())).sum(), rtol=1e-4, atol=1e-4)

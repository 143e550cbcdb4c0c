import pytest
import torch

import silver_kestrel.architectures.unified_engine_pkg.unified_engine  # noqa: F401  (loads the ops)

scan = torch.ops.kestrel.gated_scan
reference = torch.ops.kestrel.gated_scan_reference


def inputs(B=3, T=7, S=70, dtype=torch.float64, start_rows=None, requires_grad=True):
    g = torch.Generator().manual_seed(0)
    delta = torch.randn(B, T, S, generator=g, dtype=dtype)
    gate = torch.rand(B, T, S, generator=g, dtype=dtype)
    start = torch.randn(start_rows or B, S, generator=g, dtype=dtype)
    a = torch.tensor(0.83, dtype=dtype)
    tensors = (delta, gate, start, a)
    for t in tensors:
        t.requires_grad_(requires_grad)
    return tensors


@pytest.mark.parametrize(
    "B,T,S,start_rows",
    [(3, 7, 70, None), (2, 5, 64, 1), (1, 1, 3, None), (4, 33, 129, 1)],
    ids=["ragged-block", "broadcast-start", "single-step", "multi-block"],
)
def test_forward_and_gradients_match_reference(B, T, S, start_rows):
    fused_in = inputs(B, T, S, start_rows=start_rows)
    ref_in = [t.detach().clone().requires_grad_() for t in fused_in]
    fused, ref = scan(*fused_in), reference(*ref_in)
    torch.testing.assert_close(fused, ref)
    weight = torch.randn_like(ref)
    (fused * weight).sum().backward()
    (ref * weight).sum().backward()
    for f, r in zip(fused_in, ref_in):
        torch.testing.assert_close(f.grad, r.grad)


def test_gradcheck_float64():
    assert torch.autograd.gradcheck(scan, inputs(2, 4, 5))
    assert torch.autograd.gradcheck(scan, inputs(2, 3, 5, start_rows=1))


RETENTIONS = {
    "zero-dim": lambda: torch.tensor(0.83, dtype=torch.float64),
    "one-element": lambda: torch.tensor([0.83], dtype=torch.float64),
    "view-with-offset": lambda: torch.tensor([0.1, 0.2, 0.83], dtype=torch.float64)[2],
    "float32-retention": lambda: torch.tensor(0.83),
}


@pytest.mark.parametrize("make", RETENTIONS.values(), ids=RETENTIONS.keys())
def test_the_retention_is_read_where_it_lies(make):
    # The kernels read the retention's value from its memory: a view into a longer storage and
    # another dtype give the value the reference computes with.
    delta, gate, start, _ = inputs(2, 4, 5, requires_grad=False)
    retention = make().requires_grad_()
    fused = scan(delta, gate, start, retention)
    torch.testing.assert_close(fused, reference(delta, gate, start, retention.detach()))
    (grad,) = torch.autograd.grad(fused.sum(), retention)
    ref = retention.detach().clone().requires_grad_()
    (want,) = torch.autograd.grad(reference(delta, gate, start, ref).sum(), ref)
    torch.testing.assert_close(grad, want)


# Inputs computed from one another, as in a block whose gate is computed from the delta it gates.
SHARED_HISTORY = {
    "gate-from-delta": lambda d, g, s, a: (d, d.tanh() * g, s, a),
    "start-from-delta": lambda d, g, s, a: (d, g, s + d[:, -1] * 0.5, a),
    "all-from-delta": lambda d, g, s, a: (d * 2, d.sigmoid() * g, s + d[:, 0], a + d.mean() * 0.01),
}


@pytest.mark.parametrize("shared", SHARED_HISTORY.values(), ids=SHARED_HISTORY.keys())
def test_gradients_with_a_graph_match_reference_when_inputs_share_history(shared):
    # With create_graph the backward differentiates the reference; each input's part must be its
    # own partial derivative, not the total derivative through the inputs computed from it.
    results = []
    for op in (scan, reference):
        leaves = inputs(2, 4, 5)
        out = op(*shared(*leaves))
        first = torch.autograd.grad(out.square().sum(), leaves, create_graph=True)
        second = torch.autograd.grad(sum(g.square().sum() for g in first), leaves)
        results.append(first + second)
    for got, want in zip(*results):
        torch.testing.assert_close(got, want)


@pytest.mark.parametrize("dtype,tol", [(torch.float32, 1e-5), (torch.bfloat16, 2e-2), (torch.float16, 2e-3)])
def test_reduced_precision_accumulates_in_float32(dtype, tol):
    d, g, s, a = inputs(2, 200, 40, dtype=torch.float32, requires_grad=False)
    expected = reference(d, g, s, a)
    got = scan(d.to(dtype), g.to(dtype), s.to(dtype), a)
    assert got.dtype == dtype
    torch.testing.assert_close(got.float(), expected, atol=tol, rtol=tol)


def test_non_contiguous_inputs_and_empty_sequence():
    d, g, s, a = inputs(2, 6, 10, requires_grad=False)
    dt, gt = d.transpose(0, 1).contiguous().transpose(0, 1), g[..., :]
    torch.testing.assert_close(scan(dt, gt, s, a), reference(d, g, s, a))
    empty = scan(d[:, :0], g[:, :0], s, a)
    assert empty.shape == (2, 0, 10)


@pytest.mark.parametrize("start_rows, retention_dtype", [(None, torch.float32), (1, torch.float64)])
def test_empty_sequence_gradients_are_zero(start_rows, retention_dtype):
    # Without time steps nothing reaches the start or the retention: their gradients are zeros of
    # their own shapes and dtypes, not whatever memory the reverse scan would otherwise overwrite.
    d, g, s, _ = inputs(3, 4, 6, dtype=torch.float32, start_rows=start_rows)
    a = torch.tensor([0.7], dtype=retention_dtype, requires_grad=True)
    out = scan(d[:, :0], g[:, :0], s, a)
    grads = torch.autograd.grad(out.sum(), (d, g, s, a), allow_unused=True)
    assert grads[0].abs().sum() == 0 and grads[1].abs().sum() == 0
    assert torch.equal(grads[2], torch.zeros_like(s)) and torch.equal(grads[3], torch.zeros_like(a))
    assert grads[3].dtype == retention_dtype


def test_retention_gradient_keeps_its_shape_and_dtype():
    d, g, s, _ = inputs(2, 5, 4, dtype=torch.float32)
    a = torch.tensor([0.7], requires_grad=True)
    scan(d, g, s, a).sum().backward()
    assert a.grad.shape == (1,) and a.grad.dtype == torch.float32


@pytest.mark.parametrize(
    "shapes,needle",
    [
        (((2, 3, 4), (2, 3, 5), (2, 4)), "does not match"),
        (((2, 3), (2, 3), (2, 3)), "must be [B, T, S]"),
        (((2, 3, 4), (2, 3, 4), (3, 4)), "start must be"),
    ],
)
def test_shape_errors(shapes, needle):
    d, g, s = (torch.zeros(shape) for shape in shapes)
    with pytest.raises(RuntimeError, match=needle.replace("[", r"\[").replace("]", r"\]")):
        scan(d, g, s, torch.tensor(0.5))


def test_trace_records_one_scan_node():
    d, g, s, a = inputs(2, 4, 3, dtype=torch.float32, requires_grad=False)
    traced = torch.jit.trace(lambda d, g, s, a: scan(d, g, s, a), (d, g, s, a))
    assert "kestrel::gated_scan" in str(traced.graph)
    torch.testing.assert_close(traced(d, g, s, a), reference(d, g, s, a))

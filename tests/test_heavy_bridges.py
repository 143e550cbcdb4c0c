import math

import pytest
import torch
import torch.nn.functional as F

from silver_kestrel.architectures.heavy_core import heavy_core as hc
from support import ROOT, run_python

BRIDGES = [hc.MorvaCrossAttention, hc.LinearMorvaCrossAttention]
KEYS = ["q_proj.weight", "q_proj.bias", "k_proj.weight", "k_proj.bias", "v_proj.weight", "v_proj.bias",
        "out_proj.weight", "out_proj.bias"]


def pressure_of(pressure):
    if pressure.numel() == 1:
        return pressure
    return pressure.mean()


def quadratic_reference(bridge, x_fast, x_slow, pressure):
    """Causal multi-head softmax attention written out, scale (1 + p) / sqrt(d_head)."""
    B, L, D = x_fast.shape
    H, dh = bridge.n_heads, bridge.d_head
    q = bridge.q_proj(x_fast).view(B, L, H, dh).transpose(1, 2)
    k = bridge.k_proj(x_slow).view(B, L, H, dh).transpose(1, 2)
    v = bridge.v_proj(x_slow).view(B, L, H, dh).transpose(1, 2)
    scale = float((1.0 + pressure_of(pressure)) / math.sqrt(dh))
    scores = (q @ k.transpose(-2, -1)) * scale
    scores = scores.masked_fill(torch.ones(L, L, dtype=torch.bool).triu(1), float("-inf"))
    out = torch.softmax(scores, -1) @ v
    return bridge.out_proj(out.transpose(1, 2).reshape(B, L, D))


def linear_reference(bridge, x_fast, x_slow, pressure):
    B, L, D = x_fast.shape
    H, dh = bridge.n_heads, bridge.d_head
    q = bridge.q_proj(x_fast).view(B, L, H, dh)
    k = bridge.k_proj(x_slow).view(B, L, H, dh)
    v = bridge.v_proj(x_slow).view(B, L, H, dh)
    q = F.elu(q) + 1.0
    k = F.elu(k) + 1.0
    q = torch.pow(q, 1.0 + pressure_of(pressure))
    # Causal: position l reads the running sums over slow positions 0..l.
    num = torch.stack([torch.einsum("bhd,bshd,bshv->bhv", q[:, l], k[:, : l + 1], v[:, : l + 1])
                       for l in range(L)], 1)
    den = torch.stack([torch.einsum("bhd,bshd->bh", q[:, l], k[:, : l + 1]) for l in range(L)], 1)
    return bridge.out_proj((num / (den.unsqueeze(-1) + 1e-6)).reshape(B, L, D))


REFERENCE = {hc.MorvaCrossAttention: quadratic_reference, hc.LinearMorvaCrossAttention: linear_reference}


@pytest.fixture(params=BRIDGES, ids=["quadratic", "linear"])
def bridge(request):
    torch.manual_seed(0)
    return request.param(16, n_heads=4)


def streams(B=2, L=6, D=16, seed=1, **kw):
    g = torch.Generator().manual_seed(seed)
    return torch.randn(B, L, D, generator=g, **kw), torch.randn(B, L, D, generator=g, **kw)


@pytest.mark.parametrize("pressure", [torch.tensor(0.0), torch.tensor(0.37), torch.tensor(1.0),
                                      torch.tensor([0.8]), torch.tensor([[0.2]])],
                         ids=["zero", "mid", "one", "vector1", "matrix1"])
def test_matches_the_written_out_attention(bridge, pressure):
    x_fast, x_slow = streams()
    got = bridge(x_fast, x_slow, pressure)
    assert got.shape == x_fast.shape
    torch.testing.assert_close(got, REFERENCE[type(bridge)](bridge, x_fast, x_slow, pressure), rtol=1e-5, atol=1e-5)


def test_several_elements_act_through_their_mean(bridge):
    x_fast, x_slow = streams()
    torch.testing.assert_close(bridge(x_fast, x_slow, torch.tensor([0.2, 0.4])),
                               bridge(x_fast, x_slow, torch.tensor(0.3)))


def test_pressure_one_doubles_the_quadratic_scale():
    torch.manual_seed(3)
    bridge = hc.MorvaCrossAttention(8, n_heads=2)
    x_fast, x_slow = streams(D=8)
    doubled = hc.MorvaCrossAttention(8, n_heads=2)
    doubled.load_state_dict(bridge.state_dict())
    with torch.no_grad():
        # Doubling the query projection doubles every score, as a doubled scale does.
        doubled.q_proj.weight.mul_(2)
        doubled.q_proj.bias.mul_(2)
    torch.testing.assert_close(bridge(x_fast, x_slow, torch.tensor(1.0)), doubled(x_fast, x_slow, torch.tensor(0.0)))


def test_length_one():
    torch.manual_seed(4)
    x_fast, x_slow = streams(L=1)
    quadratic = hc.MorvaCrossAttention(16, 4)
    torch.testing.assert_close(quadratic(x_fast, x_slow, torch.tensor(0.5)),
                               quadratic.out_proj(quadratic.v_proj(x_slow)))
    linear = hc.LinearMorvaCrossAttention(16, 4)
    q = F.elu(linear.q_proj(x_fast).view(2, 1, 4, 4)) + 1
    k = F.elu(linear.k_proj(x_slow).view(2, 1, 4, 4)) + 1
    v = linear.v_proj(x_slow).view(2, 1, 4, 4)
    s = (q * k).sum(-1, keepdim=True)
    torch.testing.assert_close(linear(x_fast, x_slow, torch.tensor(0.0)),
                               linear.out_proj((v * s / (s + 1e-6)).reshape(2, 1, 16)))


@pytest.mark.parametrize("L,position", [(5, -1), (5, 2), (150, 100), (150, 0)])
def test_both_bridges_are_causal(bridge, L, position):
    """A change of the slow stream at one position reaches that position and the later ones only
    (150 positions: the linear bridge runs in several chunks)."""
    x_fast, x_slow = streams(L=L)
    changed = x_slow.clone()
    changed[:, position] += 3.0
    p = torch.tensor(0.2)
    delta = (bridge(x_fast, x_slow, p) - bridge(x_fast, changed, p)).abs().amax(dim=(0, 2))
    position %= L
    assert torch.all(delta[:position] < 1e-6) and torch.all(delta[position:] > 1e-6)


def test_gradients_match_the_reference(bridge):
    x_fast, x_slow = streams(requires_grad=True)
    pressure = torch.tensor(0.4, requires_grad=True)
    weight = torch.randn(2, 6, 16)

    def grads(fn):
        for t in (x_fast, x_slow, pressure):
            t.grad = None
        bridge.zero_grad(set_to_none=True)
        (fn(bridge, x_fast, x_slow, pressure) * weight).sum().backward()
        return [x_fast.grad, x_slow.grad, pressure.grad] + [p.grad for p in bridge.parameters()]

    got = grads(lambda b, *a: b(*a))
    expected = grads(REFERENCE[type(bridge)])
    for g, e in zip(got, expected):
        if e is None:
            assert g is None  # the quadratic bridge's scale is a plain number: no gradient to the pressure
        else:
            torch.testing.assert_close(g, e, rtol=1e-4, atol=1e-5)
    assert (pressure.grad is None) == isinstance(bridge, hc.MorvaCrossAttention)


def test_float64(bridge):
    bridge.double()
    x_fast, x_slow = streams(dtype=torch.float64)
    p = torch.tensor(0.5, dtype=torch.float64)
    got = bridge(x_fast, x_slow, p)
    assert got.dtype == torch.float64
    torch.testing.assert_close(got, REFERENCE[type(bridge)](bridge, x_fast, x_slow, p))


def test_long_quadratic_runs_by_blocks():
    # Long enough that the causal kernel splits the queries into several row blocks.
    torch.manual_seed(5)
    bridge = hc.MorvaCrossAttention(8, n_heads=1)
    x_fast, x_slow = streams(B=2, L=2500, D=8)
    with torch.no_grad():
        torch.testing.assert_close(bridge(x_fast, x_slow, torch.tensor(0.3)),
                                   quadratic_reference(bridge, x_fast, x_slow, torch.tensor(0.3)),
                                   rtol=1e-4, atol=1e-5)


@pytest.mark.parametrize("cls", BRIDGES)
def test_construction(cls):
    torch.manual_seed(0)
    b = cls(16, 4)
    assert list(b.state_dict()) == KEYS and list(b.buffers()) == []
    assert [n for n in vars(b) if n in ("n_heads", "d_head")] == ["n_heads", "d_head"]
    for name in ("q_proj", "k_proj", "v_proj", "out_proj"):
        layer = getattr(b, name)
        assert (layer.in_features, layer.out_features, layer.bias is not None) == (16, 16, True)
    assert (cls(1024).n_heads, cls(1024).d_head) == (8, 128)
    assert cls(1000).d_head == 125
    assert (cls(12, n_heads=1).n_heads, cls(12, n_heads=1).d_head) == (1, 12)
    converted = cls(16.7, True)
    assert (converted.n_heads, converted.d_head) == (1, 16) and type(converted.n_heads) is int
    assert converted.q_proj.in_features == 16


@pytest.mark.parametrize("cls", BRIDGES)
def test_construction_errors(cls):
    with pytest.raises(AssertionError, match="^d_model must be divisible by n_heads$"):
        cls(1001)
    with pytest.raises(ValueError, match="^n_heads must be positive, got 0$"):
        cls(16, 0)
    for args, name, got in (((None,), "d_model", "NoneType"), ((16, "4"), "n_heads", "str")):
        with pytest.raises(TypeError) as e:
            cls(*args)
        assert str(e.value) == f"Argument '{name}' has incorrect type (expected int, got {got})"


def test_assertion_skipped_under_optimisation():
    code = '''
import torch
from silver_kestrel.architectures.heavy_core.heavy_core import MorvaCrossAttention, LinearMorvaCrossAttention
for cls in (MorvaCrossAttention, LinearMorvaCrossAttention):
    b = cls(10, 4)
    print(b.n_heads, b.d_head)
    try:
        b(torch.randn(1, 3, 10), torch.randn(1, 3, 10), torch.tensor(0.0))
    except RuntimeError as e:
        print("view", "is invalid for input of size 30" in str(e))
'''
    result = run_python(code, [ROOT], "-O")
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["4", "2", "view", "True"] * 2


def test_call_errors(bridge):
    x_fast, x_slow = streams()
    with pytest.raises(ValueError, match="^need more than 2 values to unpack$"):
        bridge(x_fast[0], x_slow[0], torch.tensor(0.0))
    with pytest.raises(AttributeError, match="numel"):
        bridge(x_fast, x_slow, 0.5)
    with pytest.raises(AttributeError, match="numel"):
        bridge(x_fast, x_slow, None)
    with pytest.raises(TypeError):
        bridge(x_fast, x_slow)
    with pytest.raises(RuntimeError):
        bridge(x_fast, x_slow[:, :3], torch.tensor(0.0))
    assert torch.equal(bridge(x_fast=x_fast, x_slow=x_slow, pressure=torch.tensor(0.1)),
                       bridge(x_fast, x_slow, torch.tensor(0.1)))


def _bridge_grads(bridge, x_fast, x_slow, pressure, weight):
    leaves = [x_fast, x_slow, pressure] + list(bridge.parameters())
    out = bridge(x_fast, x_slow, pressure)
    wrt = [t for t in leaves if t.requires_grad]
    return out, torch.autograd.grad((out * weight).sum(), wrt)


def _one_node(out):
    return "LinearBridge" in out.grad_fn.name()


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
@pytest.mark.parametrize("pressure_grad", [False, True])
def test_linear_bridge_of_plain_layers_is_one_node_with_the_separate_calls_values(dtype, pressure_grad):
    # A no-op hook sends the same layers through the separate module calls: values and every
    # gradient must be the same bit for bit.
    torch.manual_seed(7)
    bridge = hc.LinearMorvaCrossAttention(16, n_heads=8).to(dtype)
    x_fast, x_slow = streams(B=3, L=9, dtype=dtype, requires_grad=True)
    pressure = torch.tensor(0.45, dtype=dtype, requires_grad=pressure_grad)
    weight = torch.randn(3, 9, 16, dtype=dtype)
    out, grads = _bridge_grads(bridge, x_fast, x_slow, pressure, weight)
    assert _one_node(out)
    handle = bridge.out_proj.register_forward_hook(lambda *a: None)
    try:
        ref_out, ref_grads = _bridge_grads(bridge, x_fast, x_slow, pressure, weight)
    finally:
        handle.remove()
    assert not _one_node(ref_out)
    assert torch.equal(out, ref_out)
    assert len(grads) == len(ref_grads) == 10 + pressure_grad
    for got, expected in zip(grads, ref_grads):
        assert torch.equal(got, expected)


def test_linear_bridge_node_takes_a_strided_output_gradient():
    # An output gradient that is a transposed view reaches the node as it is: its gradients are
    # those of the separate calls, bit for bit.
    torch.manual_seed(8)
    bridge = hc.LinearMorvaCrossAttention(16, n_heads=8)
    x_fast, x_slow = streams(B=3, L=9, requires_grad=True)
    pressure = torch.tensor(0.3)
    g = torch.randn(3, 16, 9).transpose(1, 2)
    wrt = [x_fast, x_slow] + list(bridge.parameters())
    out = bridge(x_fast, x_slow, pressure)
    assert _one_node(out)
    grads = torch.autograd.grad(out, wrt, g)
    handle = bridge.out_proj.register_forward_hook(lambda *a: None)
    try:
        ref_grads = torch.autograd.grad(bridge(x_fast, x_slow, pressure), wrt, g)
    finally:
        handle.remove()
    for got, expected in zip(grads, ref_grads):
        assert torch.equal(got, expected)


class _ScaledLinear(torch.nn.Linear):
    def forward(self, x):
        return super().forward(x) * 2.0


def _hook_doubles(bridge):
    bridge.q_proj.register_forward_hook(lambda m, i, o: o * 2.0)


def _instance_forward(bridge):
    layer = bridge.k_proj
    layer.forward = lambda x: torch.nn.functional.linear(x, layer.weight, layer.bias) + 0.5


def _subclass(bridge):
    scaled = _ScaledLinear(16, 16)
    scaled.load_state_dict(bridge.v_proj.state_dict())
    bridge.v_proj = scaled


def _no_bias(bridge):
    layer = torch.nn.Linear(16, 16, bias=False)
    with torch.no_grad():
        layer.weight.copy_(bridge.out_proj.weight)
    bridge.out_proj = layer


@pytest.mark.parametrize("change,one_node", [
    (None, True),
    (_hook_doubles, False),
    (_instance_forward, False),
    (_subclass, False),
    (_no_bias, False),
], ids=["plain", "hook", "instance_forward", "subclass", "no_bias"])
def test_linear_bridge_keeps_what_callers_change(change, one_node):
    torch.manual_seed(8)
    bridge = hc.LinearMorvaCrossAttention(16, n_heads=4)
    if change:
        change(bridge)
    x_fast, x_slow = streams(requires_grad=True)
    pressure = torch.tensor(0.3, requires_grad=True)
    weight = torch.randn(2, 6, 16)
    out, grads = _bridge_grads(bridge, x_fast, x_slow, pressure, weight)
    assert _one_node(out) == one_node
    expected = linear_reference(bridge, x_fast, x_slow, pressure)
    torch.testing.assert_close(out, expected, rtol=1e-5, atol=1e-5)
    wrt = [x_fast, x_slow, pressure] + list(bridge.parameters())
    for got, exp in zip(grads, torch.autograd.grad((expected * weight).sum(), wrt)):
        torch.testing.assert_close(got, exp, rtol=1e-4, atol=1e-5)


@pytest.mark.parametrize("inputs", ["strided_fast", "several_pressures", "float_pressure_of_double"])
def test_linear_bridge_other_inputs_take_the_separate_calls(inputs):
    torch.manual_seed(9)
    bridge = hc.LinearMorvaCrossAttention(16, n_heads=4)
    x_fast, x_slow = streams()
    pressure = torch.tensor(0.3)
    if inputs == "strided_fast":
        x_fast = x_fast.transpose(0, 1).contiguous().transpose(0, 1)
    elif inputs == "several_pressures":
        pressure = torch.tensor([0.1, 0.5])
    else:
        bridge.double()
        x_fast, x_slow = x_fast.double(), x_slow.double()
    x_fast.requires_grad_()
    out = bridge(x_fast, x_slow, pressure)
    assert not _one_node(out)
    torch.testing.assert_close(out, linear_reference(bridge, x_fast, x_slow, pressure), rtol=1e-5, atol=1e-5)


def test_linear_bridge_node_gradcheck_and_second_order():
    torch.manual_seed(10)
    bridge = hc.LinearMorvaCrossAttention(8, n_heads=2).double()
    x_fast, x_slow = streams(B=2, L=4, D=8, dtype=torch.float64, requires_grad=True)
    pressure = torch.tensor(0.2, dtype=torch.float64, requires_grad=True)
    params = list(bridge.parameters())
    assert _one_node(bridge(x_fast, x_slow, pressure))
    assert torch.autograd.gradcheck(lambda xf, xs, p: bridge(xf, xs, p), (x_fast, x_slow, pressure))
    assert torch.autograd.gradgradcheck(lambda xf, xs, p: bridge(xf, xs, p), (x_fast, x_slow, pressure))
    # The weights' gradients against finite differences of the layers' parameters.
    out = bridge(x_fast, x_slow, pressure)
    grads = torch.autograd.grad(out.sum(), params)
    eps = 1e-6
    for p, g in zip(params, grads):
        flat = p.data.view(-1)
        for i in (0, flat.numel() - 1):
            old = flat[i].item()
            flat[i] = old + eps
            up = bridge(x_fast, x_slow, pressure).sum().item()
            flat[i] = old - eps
            down = bridge(x_fast, x_slow, pressure).sum().item()
            flat[i] = old
            assert abs((up - down) / (2 * eps) - g.view(-1)[i].item()) < 1e-6


def test_linear_bridge_node_refuses_weights_changed_before_backward():
    torch.manual_seed(11)
    bridge = hc.LinearMorvaCrossAttention(16, n_heads=4)
    x_fast, x_slow = streams(requires_grad=True)
    out = bridge(x_fast, x_slow, torch.tensor(0.3))
    assert _one_node(out)
    with torch.no_grad():
        bridge.k_proj.weight.add_(1.0)
    with pytest.raises(RuntimeError, match="modified by an inplace operation"):
        out.sum().backward()

import pytest
import torch

from silver_kestrel.architectures.heavy_core import heavy_core as hc

Radar = hc.OptimizedMorvaRadar


@pytest.fixture
def radar():
    torch.manual_seed(0)
    return Radar(3, max_l=16)


def taps(radar, length):
    """The filter as the radar generates it: [d_model, min(L, max_l)]."""
    return radar.filter_gen(radar.pos_indices[:length]).T


def direct_convolution(radar, x):
    """y[b, t, c] = sum_{s <= t, s < L'} h[c, s] x[b, t - s, c], in float64 from float32 operands."""
    h = taps(radar, x.shape[1]).double()
    xd = x.double()
    y = torch.zeros_like(xd)
    for s in range(h.shape[1]):
        y[:, s:] += h[:, s] * xd[:, :xd.shape[1] - s]
    return y


@pytest.mark.parametrize("length", [1, 2, 4, 5, 16, 23, 32, 33, 70])
def test_output_is_the_causal_convolution(radar, length):
    # 16 is max_l; 23 runs past it and meets a 16-tap filter.
    x = torch.randn(2, length, 3)
    y = radar(x)
    assert y.shape == x.shape and y.dtype == x.dtype and y.is_contiguous()
    torch.testing.assert_close(y.double(), direct_convolution(radar, x), rtol=1e-5, atol=1e-5)


def test_length_one_scales_by_the_filter_at_zero(radar):
    x = torch.randn(4, 1, 3)
    h0 = radar.filter_gen(torch.zeros(1, 1))[0]
    torch.testing.assert_close(radar(x), x * h0)


def test_positions():
    r = Radar(2, max_l=4)
    assert r.pos_indices.shape == (4, 1) and r.pos_indices.dtype == torch.get_default_dtype()
    assert r.pos_indices.flatten().tolist() == pytest.approx([0.0, 1 / 3, 2 / 3, 1.0])
    assert Radar(2, max_l=1).pos_indices.tolist() == [[0.0]]
    assert Radar(2).pos_indices.shape == (65536, 1)
    assert "pos_indices" in r._buffers and not list(r.buffers())[0].requires_grad


def test_short_filter_on_a_longer_sequence():
    torch.manual_seed(1)
    r = Radar(2, max_l=4)
    x = torch.randn(1, 6, 2)
    h = r.filter_gen(torch.tensor([[0.0], [1 / 3], [2 / 3], [1.0]])).T
    expected = torch.zeros(1, 6, 2)
    for s in range(4):
        expected[:, s:] += h[:, s] * x[:, :6 - s]
    torch.testing.assert_close(r(x), expected, rtol=1e-5, atol=1e-6)
    one_tap = Radar(2, max_l=1)
    torch.testing.assert_close(one_tap(x), x * one_tap.filter_gen(torch.zeros(1, 1))[0])


def test_impulse_response_at_full_length():
    # L = max_l = 65536: N = 131072; an impulse at position 0 returns every tap, the last at 1.0.
    torch.manual_seed(2)
    r = Radar(2)
    length = 65536
    x = torch.zeros(1, length, 2)
    x[0, 0] = 1.0
    with torch.no_grad():
        y = r(x)
        h = taps(r, length)
    torch.testing.assert_close(y[0].T, h, rtol=1e-4, atol=1e-5)
    with torch.no_grad():
        last = r.filter_gen(torch.ones(1, 1))[0]
    torch.testing.assert_close(y[0, -1], last, rtol=1e-4, atol=1e-5)


@pytest.mark.parametrize("dtype", [torch.float16, torch.bfloat16, torch.float64])
def test_other_dtypes_compute_in_float32(radar, dtype):
    x = torch.randn(2, 7, 3).to(dtype)
    y = radar(x)
    assert y.dtype == dtype
    assert torch.equal(y, radar(x.float()).to(dtype))


def test_causality(radar):
    x = torch.randn(2, 12, 3)
    changed = x.clone()
    changed[:, 7] += 5.0
    y, y2 = radar(x), radar(changed)
    torch.testing.assert_close(y[:, :7], y2[:, :7], rtol=0, atol=1e-5)
    assert (y[:, 7:] - y2[:, 7:]).abs().max() > 1e-2


def test_gradients_match_the_direct_convolution(radar):
    x = torch.randn(2, 9, 3, requires_grad=True)
    weight = torch.randn(2, 9, 3)
    (radar(x) * weight).sum().backward()
    got = [x.grad] + [p.grad for p in radar.parameters()]
    x.grad = None
    radar.zero_grad()
    (direct_convolution(radar, x) * weight).sum().backward()
    expected = [x.grad] + [p.grad for p in radar.parameters()]
    for g, e in zip(got, expected):
        torch.testing.assert_close(g, e.to(g.dtype), rtol=1e-4, atol=1e-5)


def test_forward_changes_nothing(radar):
    before = {k: v.clone() for k, v in radar.state_dict().items()}
    radar(torch.randn(1, 5, 3))
    assert all(torch.equal(before[k], v) for k, v in radar.state_dict().items())


def test_state_dict_and_dtype_moves():
    r = Radar(5, max_l=8)
    shapes = {k: tuple(v.shape) for k, v in r.state_dict().items()}
    assert shapes == {"pos_indices": (8, 1), "filter_gen.0.weight": (64, 1), "filter_gen.0.bias": (64,),
                      "filter_gen.2.weight": (5, 64), "filter_gen.2.bias": (5,)}
    assert [type(m).__name__ for m in r.filter_gen] == ["Linear", "SiLU", "Linear"]
    assert vars(r)["d_model"] == 5 and vars(r)["max_l"] == 8
    r.double()
    assert r.pos_indices.dtype == torch.float64
    y = r(torch.randn(1, 3, 5, dtype=torch.float64))
    assert y.dtype == torch.float64
    fresh = Radar(5, max_l=8)
    fresh.load_state_dict(r.float().state_dict())
    assert torch.equal(fresh.filter_gen[2].weight, r.filter_gen[2].weight)


def test_default_dtype_positions():
    previous = torch.get_default_dtype()
    torch.set_default_dtype(torch.float64)
    try:
        r = Radar(2, max_l=3)
    finally:
        torch.set_default_dtype(previous)
    assert r.pos_indices.dtype == torch.float64 and r.filter_gen[0].weight.dtype == torch.float64


class Int(int):
    pass


@pytest.mark.parametrize("d_model, max_l, stored", [
    (3, 8, (3, 8)),
    (3.9, 8.2, (3, 8)),
    (True, Int(4), (1, 4)),
])
def test_integer_arguments(d_model, max_l, stored):
    r = Radar(d_model=d_model, max_l=max_l)
    assert (r.d_model, r.max_l) == stored
    assert type(r.d_model) is int and type(r.max_l) is int
    assert r.filter_gen[2].out_features == stored[0]


@pytest.mark.parametrize("args, name, got", [
    (("3",), "d_model", "str"),
    ((None,), "d_model", "NoneType"),
    ((3, "8"), "max_l", "str"),
    ((3, [8]), "max_l", "list"),
])
def test_non_numbers_refused(args, name, got):
    with pytest.raises(TypeError) as e:
        Radar(*args)
    assert str(e.value) == f"Argument '{name}' has incorrect type (expected int, got {got})"


@pytest.mark.parametrize("shape, message", [
    ((4, 3), "need more than 2 values to unpack"),
    ((3,), "need more than 1 value to unpack"),
    ((), "need more than 0 values to unpack"),
    ((1, 2, 3, 3), "too many values to unpack (expected 3)"),
])
def test_rank_errors(radar, shape, message):
    with pytest.raises(ValueError) as e:
        radar(torch.randn(shape))
    assert str(e.value) == message


@pytest.mark.parametrize("width", [2, 1, 4])
def test_width_other_than_d_model_fails(radar, width):
    # Width 1 would broadcast against the three filters and change the shape: refused too.
    with pytest.raises(RuntimeError, match="must match the size of tensor b"):
        radar(torch.randn(1, 5, width))


def test_module_call_runs_hooks(radar):
    seen = []
    radar.filter_gen.register_forward_hook(lambda m, i, o: seen.append(o.shape))
    radar.register_forward_hook(lambda m, i, o: seen.append("radar"))
    radar(torch.randn(1, 4, 3))
    assert seen == [torch.Size([4, 3]), "radar"]


# ------------------------------------------------------------------------------------------------
# The convolution's own backward against the plain ATen composition

def aten_radar(radar, x):
    """The radar written with torch.fft, autograd deriving the backward."""
    L = x.shape[1]
    h = radar.filter_gen(radar.pos_indices[:L]).permute(1, 0)
    n = 1 << (2 * L - 1).bit_length()
    x_spec = torch.fft.rfft(x.float(), n=n, dim=1)
    h_spec = torch.fft.rfft(h.float(), n=n, dim=1).unsqueeze(0).transpose(1, 2)
    return torch.fft.irfft(x_spec * h_spec, n=n, dim=1)[:, :L].to(dtype=x.dtype)


def gradients(fn, radar, x, weight):
    x = x.detach().clone().requires_grad_(True)
    radar.zero_grad(set_to_none=True)
    y = fn(radar, x)
    (y * weight).sum().backward()
    return y.detach(), [x.grad] + [p.grad for p in radar.parameters()]


@pytest.mark.parametrize("frozen", [True, False])
@pytest.mark.parametrize("length", [1, 5, 16, 23, 32, 33, 70])
def test_forward_and_gradients_match_the_aten_composition(radar, frozen, length):
    radar.requires_grad_(not frozen)
    x = torch.randn(3, length, 3)
    weight = torch.randn(3, length, 3)
    y, got = gradients(lambda r, v: r(v), radar, x, weight)
    y_ref, expected = gradients(aten_radar, radar, x, weight)
    torch.testing.assert_close(y, y_ref, rtol=1e-5, atol=1e-5)
    for g, e in zip(got, expected):
        if frozen and e is None:
            assert g is None
        else:
            torch.testing.assert_close(g, e, rtol=1e-4, atol=1e-5)


class GivenTaps(torch.nn.Module):
    """A filter network whose last layer is given: taps = hidden @ weight.T + bias."""

    def __init__(self, hidden, weight, bias):
        super().__init__()
        self.hidden, self.weight, self.bias = hidden, weight, bias

    def forward(self, positions):
        return self.hidden[:positions.shape[0]] @ self.weight.T + self.bias


@pytest.mark.parametrize("length", [6, 40], ids=["summed", "transformed"])
def test_gradcheck_in_float64(length):
    # The radar computes in float32; it is linear in x and in the last layer of the filter
    # network, so central differences of step 1 are exact up to float32 rounding of the outputs.
    torch.manual_seed(3)
    r = Radar(2, max_l=length + 2).double()
    hidden = r.filter_gen[1](r.filter_gen[0](r.pos_indices)).detach()
    x = torch.randn(2, length, 2, dtype=torch.float64, requires_grad=True)
    weight = r.filter_gen[2].weight.detach().clone().requires_grad_(True)
    bias = r.filter_gen[2].bias.detach().clone().requires_grad_(True)

    def through_radar(x, weight, bias):
        r.filter_gen = GivenTaps(hidden, weight, bias)
        return r(x)

    assert torch.autograd.gradcheck(through_radar, (x, weight, bias), eps=1.0, atol=1e-4, rtol=1e-3)
    assert torch.autograd.gradgradcheck(through_radar, (x, weight, bias), eps=1.0, atol=1e-4, rtol=1e-3)
    frozen = (x, weight.detach(), bias.detach())  # the heavy core's case: only x has a gradient
    assert torch.autograd.gradcheck(through_radar, frozen, eps=1.0, atol=1e-4, rtol=1e-3)
    assert torch.autograd.gradgradcheck(through_radar, frozen, eps=1.0, atol=1e-4, rtol=1e-3)


@pytest.mark.parametrize("shape", [(0, 5, 3), (2, 0, 3), (2, 5, 0), (0, 0, 0)])
@pytest.mark.parametrize("frozen", [True, False])
def test_zero_sized_dimensions_give_empty_results(shape, frozen):
    torch.manual_seed(0)
    r = Radar(shape[2], max_l=16).requires_grad_(not frozen)
    x = torch.randn(shape, requires_grad=True)
    y = r(x)
    assert y.shape == shape and y.dtype == x.dtype
    y.sum().backward()
    assert x.grad.shape == shape
    for p in r.parameters():
        assert p.grad is None if frozen else (p.grad.shape == p.shape and not p.grad.any())
    with torch.no_grad():
        assert r(x.double()).shape == shape


def test_frozen_filter_spectrum_follows_every_change_of_the_filter():
    torch.manual_seed(4)
    r = Radar(3, max_l=16).requires_grad_(False)
    x = torch.randn(2, 9, 3)
    first = r(x)
    torch.testing.assert_close(first, aten_radar(r, x), rtol=1e-5, atol=1e-5)
    with torch.no_grad():
        r.filter_gen[2].bias.add_(0.5)  # an in-place edit keeps the tensor, changes the taps
    second = r(x)
    assert not torch.allclose(first, second)
    torch.testing.assert_close(second, aten_radar(r, x), rtol=1e-5, atol=1e-5)
    other = Radar(3, max_l=16).requires_grad_(False)  # same shapes, other filter
    torch.testing.assert_close(other(x), aten_radar(other, x), rtol=1e-5, atol=1e-5)
    other.load_state_dict(r.state_dict())
    torch.testing.assert_close(other(x), second, rtol=0, atol=0)
    torch.testing.assert_close(r(torch.randn(2, 20, 3))[:, :0], torch.zeros(2, 0, 3))  # another length


# ------------------------------------------------------------------------------------------------
# A fixed filter runs its transforms in blocks of channels, in parallel over the blocks

@pytest.mark.parametrize("shape", [
    (1, 3, 5),        # short: summed directly either way
    (1, 33, 5),       # one block, serial
    (3, 40, 21),      # one block of whole batch rows
    (2, 64, 1100),    # blocks of 64 sequences across batch rows, shared between threads
    (40, 64, 37),     # blocks that cut most batch rows into two runs of channels
    (1, 300, 130),    # 1024-point transforms, blocks of 8 channels and a short last block
])
def test_fixed_filter_blocks_give_the_batched_transform_exactly(shape):
    # A learning filter takes the batched form; a frozen one the blocked form: the same numbers,
    # forward and backward, with and without a thread team, in inference mode too.
    torch.manual_seed(5)
    r = Radar(shape[2], max_l=512)
    x = torch.randn(shape)
    weight = torch.randn(shape)
    y_learning, (dx_learning, *_) = gradients(lambda m, v: m(v), r, x, weight)
    r.requires_grad_(False)
    threads = torch.get_num_threads()
    try:
        for n in {1, max(threads, 2)}:
            torch.set_num_threads(n)
            y, (dx, *_) = gradients(lambda m, v: m(v), r, x, weight)
            assert torch.equal(y, y_learning) and torch.equal(dx, dx_learning)
            with torch.inference_mode():
                assert torch.equal(r(x), y_learning)
    finally:
        torch.set_num_threads(threads)


def test_a_trace_of_a_fixed_filter_keeps_the_convolution():
    torch.manual_seed(7)
    r = Radar(4, max_l=16).requires_grad_(False)
    traced = torch.jit.trace(r, torch.randn(2, 9, 4), check_trace=False)
    x = torch.randn(2, 9, 4)
    torch.testing.assert_close(traced(x), r(x), rtol=1e-5, atol=1e-6)


@pytest.mark.parametrize("case", ["strided_input", "inference_mode", "short_filter", "no_grad"])
def test_short_sequences_summed_directly(case):
    # Up to 32 positions the convolution is summed rather than transformed: the same numbers as the
    # written-out convolution for views, inference tensors, a filter shorter than the sequence and
    # calls without a graph.
    torch.manual_seed(6)
    r = Radar(5, max_l=7 if case == "short_filter" else 64)
    x = torch.randn(3, 20, 5)
    if case == "strided_input":
        x = torch.randn(20, 3, 5).transpose(0, 1)
    expected = direct_convolution(r, x)
    if case == "inference_mode":
        with torch.inference_mode():
            y = r(x)
    elif case == "no_grad":
        with torch.no_grad():
            y = r(x)
    else:
        y = r(x)
    torch.testing.assert_close(y.double(), expected, rtol=1e-5, atol=1e-5)


def _hook_on_first_layer(r):
    r.filter_gen[0].register_forward_hook(lambda m, i, o: o * 2.0)


def _in_place_silu(r):
    r.filter_gen[1] = torch.nn.SiLU(inplace=True)


def _sequential_forward_on_instance(r):
    network = r.filter_gen
    network.forward = lambda p: torch.nn.Sequential.forward(network, p) + 1.0


def _fourth_stage(r):
    r.filter_gen.append(torch.nn.Tanh())


def _global_hook(r):
    return torch.nn.modules.module.register_module_forward_hook(lambda m, i, o: o + 0.5 if m is r.filter_gen else o)


@pytest.mark.parametrize("change", [None, _hook_on_first_layer, _in_place_silu, _sequential_forward_on_instance,
                                    _fourth_stage, _global_hook],
                         ids=["plain", "layer_hook", "in_place_silu", "instance_forward", "four_stages",
                              "global_hook"])
def test_filter_network_runs_as_called(change):
    # The plain network runs as its three operations; a changed one is called, and what it
    # returns is the filter.
    torch.manual_seed(12)
    r = Radar(4, max_l=32)
    handle = change(r) if change else None
    try:
        x = torch.randn(2, 9, 4)
        y = r(x)
        torch.testing.assert_close(y.double(), direct_convolution(r, x), rtol=1e-5, atol=1e-5)
        if change is None:
            with_call = r.filter_gen.register_forward_hook(lambda *a: None)
            assert torch.equal(r(x), y)
            with_call.remove()
    finally:
        if handle is not None:
            handle.remove()


def _edit_through_data(r):
    r.filter_gen[0].weight.data[3, 0] += 0.25  # no version bump


def _edit_first_bias(r):
    with torch.no_grad():
        r.filter_gen[0].bias[5] = -2.0


def _edit_last_weight(r):
    with torch.no_grad():
        r.filter_gen[2].weight.mul_(1.5)


def _edit_positions(r):
    r.pos_indices.data[2, 0] = 0.7


def _load_other(r):
    r.load_state_dict(Radar(3, max_l=16).state_dict())


def _swap_sign_of_zero(r):
    # 0.0 and -0.0 compare equal, yet the network may see them differently; the taps stay exact.
    with torch.no_grad():
        r.filter_gen[2].bias.copy_(torch.tensor([0.0, -0.0, 0.0]))


@pytest.mark.parametrize("change", [_edit_through_data, _edit_first_bias, _edit_last_weight, _edit_positions,
                                    _load_other, _swap_sign_of_zero])
def test_frozen_short_filter_follows_every_change_of_its_network(change):
    # A frozen network's taps may be reused from call to call; any change of what they come from
    # must show in the next call, exactly as the network computes it now.
    torch.manual_seed(5)
    r = Radar(3, max_l=16).requires_grad_(False)
    x = torch.randn(2, 9, 3)
    for _ in range(2):
        torch.testing.assert_close(r(x), direct_convolution(r, x).float(), rtol=1e-5, atol=1e-5)
    change(r)
    again = r(x)
    torch.testing.assert_close(again, direct_convolution(r, x).float(), rtol=1e-5, atol=1e-5)
    fresh = Radar(3, max_l=16).requires_grad_(False)
    fresh.load_state_dict(r.state_dict())
    assert torch.equal(fresh(x), again)


def test_taps_first_made_in_inference_mode_serve_a_later_backward():
    torch.manual_seed(6)
    r = Radar(3, max_l=16).requires_grad_(False)
    x = torch.randn(2, 9, 3)
    with torch.inference_mode():
        expected = r(x)
    x.requires_grad_(True)
    y = r(x)
    y.sum().backward()
    assert torch.equal(y.detach(), expected)
    assert x.grad is not None and x.grad.shape == x.shape


def test_learning_short_filter_takes_gradients_after_frozen_calls():
    torch.manual_seed(7)
    r = Radar(3, max_l=16).requires_grad_(False)
    x = torch.randn(2, 9, 3)
    r(x)
    r.requires_grad_(True)
    r(x).pow(2).sum().backward()
    for p in r.filter_gen.parameters():
        assert p.grad is not None and p.grad.abs().sum() > 0

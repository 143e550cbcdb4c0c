import copy
import types

import pytest
import torch

from silver_kestrel.architectures.heavy_core import fortress_engine as fe
from block_support import Block, make_block, make_config


def block_keys(width):
    fortress = fe.FortressUnbrokenMemory(width, fe.FortressUnbrokenConfig())
    integrator = fe.ListeningIntegratorV32(make_config(width))
    return (["surprisal_gain", "state_variance_ema", "infer_coupling", "input_proj.weight", "output_proj.weight"]
            + ["integrator." + k for k in integrator.state_dict()]
            + ["gate_train.weight", "gate_infer.weight"]
            + ["fortress." + k for k in fortress.state_dict()])


# ---------------------------------------------------------------------------------------------
# Construction


def test_class_shape():
    assert Block.__bases__ == (torch.nn.Module,)
    assert Block.__module__ == fe.__name__ and Block.__qualname__ == "WarEngineTevZOZU_V722_FU"
    methods = [n for n in vars(Block) if not n.startswith("__") or n == "__init__"]
    # _check_forward: the cores' check of a call before their first block runs.
    assert methods == ["__init__", "set_trainable", "compute_gate", "forward_with_diagnostics", "_check_forward"]
    assert "forward" not in vars(Block)
    with pytest.raises(NotImplementedError):
        make_block()(torch.zeros(1, 2, 4))


def test_construction():
    config, fortress_config = make_config(4, coupling_init=0.25), fe.FortressUnbrokenConfig(g_min=0.2, g_max=0.9)
    block = Block(config=config, fortress_config=fortress_config)
    names = [n for n in vars(block) if not n.startswith("_") or n in ("_g_min", "_g_max", "_sigma_hook_handle")]
    assert names[-6:] == ["training", "config", "fortress_config", "_g_min", "_g_max", "_sigma_hook_handle"]
    assert list(block._modules) == ["input_proj", "output_proj", "integrator", "gate_train", "gate_infer", "fortress"]
    assert block.config is config and block.fortress_config is fortress_config
    assert block.fortress.config is fortress_config and block.fortress.d_state == 4
    assert isinstance(block.integrator, fe.ListeningIntegratorV32)
    assert (block._g_min, block._g_max, block._sigma_hook_handle) == (0.2, 0.9, None)
    assert block.training and all(p.requires_grad for p in block.parameters())

    sd = block.state_dict()
    assert list(sd) == block_keys(4)
    assert (sd["surprisal_gain"].item(), sd["infer_coupling"].item()) == (1.0, 0.25)
    assert sd["state_variance_ema"].item() == pytest.approx(0.1)
    shapes = {k: tuple(sd[k].shape) for k in ("surprisal_gain", "state_variance_ema", "infer_coupling",
                                              "input_proj.weight", "output_proj.weight", "gate_train.weight",
                                              "gate_infer.weight")}
    assert shapes == {"surprisal_gain": (), "state_variance_ema": (), "infer_coupling": (),
                      "input_proj.weight": (4, 4), "output_proj.weight": (4, 4),
                      "gate_train.weight": (4, 9), "gate_infer.weight": (4, 4)}
    assert isinstance(block.surprisal_gain, torch.nn.Parameter)
    assert [n for n, _ in block.named_buffers(recurse=False)] == ["state_variance_ema", "infer_coupling"]


def test_rectangular_widths_and_dtypes():
    torch.set_default_dtype(torch.float64)
    try:
        block = Block(make_config(6, state=3, coupling_init=1), fe.FortressUnbrokenConfig())
    finally:
        torch.set_default_dtype(torch.float32)
    sd = block.state_dict()
    assert tuple(sd["input_proj.weight"].shape) == (3, 6) and tuple(sd["output_proj.weight"].shape) == (6, 3)
    assert tuple(sd["gate_train.weight"].shape) == (3, 7) and tuple(sd["gate_infer.weight"].shape) == (3, 3)
    assert sd["surprisal_gain"].dtype == sd["state_variance_ema"].dtype == torch.float64
    # torch.tensor of the configured value: an integer coupling gives an integer tensor
    assert sd["infer_coupling"].dtype == torch.int64


def test_construction_failures():
    with pytest.raises(AttributeError, match="tau_mu"):
        Block(make_config(), None)
    partial = types.SimpleNamespace(d_model=4, d_state=4, surprisal_ema_decay=0.99)
    with pytest.raises(AttributeError, match="coupling_init"):
        Block(partial, fe.FortressUnbrokenConfig())
    with pytest.raises(TypeError, match="__init__"):
        Block(make_config())
    with pytest.raises(TypeError):
        Block(make_config(), fe.FortressUnbrokenConfig(), None)


def test_blocks_share_only_their_configs():
    config, fortress_config = make_config(), fe.FortressUnbrokenConfig()
    a, b = Block(config, fortress_config), Block(config, fortress_config)
    assert a.fortress is not b.fortress and a.integrator is not b.integrator
    assert a.fortress.engram_stack is not b.fortress.engram_stack
    storage = lambda m: {t.data_ptr() for t in list(m.parameters()) + list(m.buffers())}
    assert storage(a).isdisjoint(storage(b))


# ---------------------------------------------------------------------------------------------
# Trainability


@pytest.mark.parametrize("off", [False, None, 0])
def test_set_trainable(off):
    block = make_block()
    buffers = {k: v.clone() for k, v in block.named_buffers()}
    assert block.set_trainable(off) is None
    assert not any(p.requires_grad for p in block.parameters())
    assert not any(m.training for m in block.modules())
    assert block.set_trainable(True) is None
    assert all(p.requires_grad for p in block.parameters())
    assert all(m.training for m in block.modules())
    assert all(torch.equal(v, buffers[k]) for k, v in block.named_buffers())
    assert not any(b.requires_grad for b in block.buffers())
    assert Block.set_trainable.__doc__.startswith("Enable/disable parameter training for this head.")


def test_set_trainable_propagates_truth_errors():
    block = make_block()
    with pytest.raises(RuntimeError, match="ambiguous"):
        block.set_trainable(torch.ones(2))
    assert all(p.requires_grad for p in block.parameters()) and block.training


# ---------------------------------------------------------------------------------------------
# Gate


def reference_gate(block, x, state_delta, surprisal, factor):
    B, T, _ = x.shape
    signal = surprisal.view(1, 1, 1).expand(B, 1, 1) * block.surprisal_gain
    base = block.gate_train(torch.cat([x, state_delta, signal.expand(B, T, 1)], dim=-1))
    return (base * factor) * signal.expand(B, T, block.config.d_state) + block.infer_coupling * block.gate_infer(x)


def gate_inputs(seed=1):
    g = torch.Generator().manual_seed(seed)
    return torch.randn(2, 3, 4, generator=g), torch.randn(2, 3, 4, generator=g), torch.tensor(0.8)


@pytest.mark.parametrize("enable_vgt, pressure, factor", [
    (True, 0.0, 0.1), (True, 1.0, 1.0), (True, 0.5, 0.55), (False, 0.7, 1.0), (False, 0.0, 1.0),
])
def test_gate_band(enable_vgt, pressure, factor):
    block = make_block(enable_vgt=enable_vgt)
    block.fortress.global_pressure.fill_(pressure)
    x, state_delta, surprisal = gate_inputs()
    gate = block.compute_gate(x, state_delta, surprisal)
    assert gate.shape == (2, 3, 4)
    expected = reference_gate(block, x, state_delta, surprisal, torch.tensor(factor))
    torch.testing.assert_close(gate, expected)


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
@pytest.mark.parametrize("pressure", [0.0, 1.0 / 3.0, 0.7071067811865476, 0.999999, 123.456])
def test_gate_band_rounds_as_the_tensor_operations(dtype, pressure):
    # The band factor P * (g_max - g_min) + g_min, taken on the pressure's own numbers, rounds in
    # the pressure's dtype exactly as the two tensor operations with Python numbers do.
    block = make_block(g_min=0.13, g_max=0.91).to(dtype)
    block.fortress.global_pressure.fill_(pressure)
    x, state_delta, surprisal = (t.to(dtype) for t in gate_inputs())
    P = block.fortress.global_pressure.clone()
    factor = P * (block._g_max - block._g_min) + block._g_min
    with torch.no_grad():
        gate = block.compute_gate(x, state_delta, surprisal)
        expected = reference_gate(block, x, state_delta, surprisal, factor)
    assert torch.equal(gate, expected)


GATE_WRT = ["x", "state_delta", "surprisal", "surprisal_gain", "gate_train.weight", "gate_infer.weight"]


def gate_and_gradients(block, x, state_delta, surprisal, second_order=False, surprisal_form=None):
    # surprisal_form: what the gate is given, made from the surprisal's leaf.
    leaves = [t.clone().requires_grad_() for t in (x, state_delta, surprisal)]
    wrt = leaves + [block.surprisal_gain, block.gate_train.weight, block.gate_infer.weight]
    gate = block.compute_gate(leaves[0], leaves[1], surprisal_form(leaves[2]) if surprisal_form else leaves[2])
    first = torch.autograd.grad((gate * torch.linspace(-1, 2, gate.numel()).view_as(gate)).square().sum(), wrt,
                                create_graph=second_order)
    if not second_order:
        return gate, first
    return gate, torch.autograd.grad(sum(g.square().sum() for g in first), wrt)


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
@pytest.mark.parametrize("enable_vgt, pressure", [(True, 0.35), (False, 0.35), (True, 1.0)])
def test_gate_under_a_graph_is_the_composed_gate_to_the_bit(enable_vgt, pressure, dtype):
    # With plain layers the gate is one autograd node; a hook that changes nothing sends the twin
    # through the composed form. Gate and gradients are the same numbers; second-order gradients
    # (which differentiate the composed form) agree.
    block = make_block(enable_vgt=enable_vgt).to(dtype)
    block.fortress.global_pressure.fill_(pressure)
    twin = copy.deepcopy(block)
    twin.gate_infer.register_forward_hook(lambda m, args, out: None)
    x, state_delta, surprisal = (t.to(dtype) for t in gate_inputs())
    gate, first = gate_and_gradients(block, x, state_delta, surprisal)
    twin_gate, twin_first = gate_and_gradients(twin, x, state_delta, surprisal)
    assert torch.equal(gate, twin_gate)
    for name, got, want in zip(GATE_WRT, first, twin_first):
        assert torch.equal(got, want), name
    _, second = gate_and_gradients(block, x, state_delta, surprisal, second_order=True)
    _, twin_second = gate_and_gradients(twin, x, state_delta, surprisal, second_order=True)
    for name, got, want in zip(GATE_WRT, second, twin_second):
        torch.testing.assert_close(got, want, msg=name)


SURPRISAL_FORMS = {
    # name: the surprisal as the gate takes it, from a zero-dimensional leaf
    "one-element-vector": lambda s: s.reshape(1),
    "lazily-negated-view": lambda s: (-s)._neg_view(),  # its value is not read in place
}


@pytest.mark.parametrize("form", SURPRISAL_FORMS.values(), ids=SURPRISAL_FORMS.keys())
def test_gate_gradients_for_other_forms_of_the_surprisal_are_the_composed_ones(form):
    block = make_block()
    block.fortress.global_pressure.fill_(0.35)
    twin = copy.deepcopy(block)
    twin.gate_infer.register_forward_hook(lambda m, args, out: None)
    x, state_delta, surprisal = gate_inputs()
    gate, first = gate_and_gradients(block, x, state_delta, surprisal, surprisal_form=form)
    twin_gate, twin_first = gate_and_gradients(twin, x, state_delta, surprisal, surprisal_form=form)
    assert torch.equal(gate, twin_gate)
    for name, got, want in zip(GATE_WRT, first, twin_first):
        assert torch.equal(got, want), name


def strided_like(t):
    # The same values in a tensor whose rows are not contiguous.
    return t.transpose(0, 1).contiguous().transpose(0, 1)


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
@pytest.mark.parametrize("layout", ["contiguous", "strided state_delta", "strided x"])
def test_gate_with_a_learnt_gain_is_the_composed_gate_to_the_bit(dtype, layout):
    # The signal is surprisal * gain rounded once in the dtype, and the gate's input is the very
    # concatenation of the composed form, whatever the operands' layout.
    block = make_block().to(dtype)
    block.fortress.global_pressure.fill_(0.35)
    with torch.no_grad():
        block.surprisal_gain.fill_(0.3713)
    twin = copy.deepcopy(block)
    twin.gate_infer.register_forward_hook(lambda m, args, out: None)
    x, state_delta, _ = (t.to(dtype) for t in gate_inputs(seed=4))
    surprisal = torch.tensor(0.8317, dtype=dtype)
    if layout == "strided state_delta":
        state_delta = strided_like(state_delta)
    if layout == "strided x":
        x = strided_like(x)
    gate, first = gate_and_gradients(block, x, state_delta, surprisal)
    twin_gate, twin_first = gate_and_gradients(twin, x, state_delta, surprisal)
    assert torch.equal(gate, twin_gate)
    for name, got, want in zip(GATE_WRT, first, twin_first):
        assert torch.equal(got, want), name


def test_gate_gradcheck_float64():
    block = make_block().double()
    block.fortress.global_pressure.fill_(0.4)
    x, state_delta, surprisal = (t.double().requires_grad_() for t in gate_inputs())
    gate = lambda *inputs: block.compute_gate(*inputs)
    assert torch.autograd.gradcheck(gate, (x, state_delta, surprisal))
    assert torch.autograd.gradgradcheck(gate, (x, state_delta, surprisal))


def test_gate_without_surprisal_is_the_inference_path():
    x, state_delta, _ = gate_inputs()
    for pressure in (0.0, 0.3, 1.0):
        block = make_block()
        block.fortress.global_pressure.fill_(pressure)
        gate = block.compute_gate(x, state_delta, torch.tensor(0.0))
        assert torch.equal(gate, block.infer_coupling * block.gate_infer(x))


def test_gate_reads_the_switch_live_and_the_band_from_its_copies():
    block = make_block()
    block.fortress.global_pressure.fill_(0.0)
    x, state_delta, surprisal = gate_inputs()
    banded = block.compute_gate(x, state_delta, surprisal)
    block.fortress_config.g_min = 0.9  # copied at construction: no effect
    assert torch.equal(block.compute_gate(x, state_delta, surprisal), banded)
    block.fortress_config.enable_vgt = False
    torch.testing.assert_close(block.compute_gate(x, state_delta, surprisal),
                               reference_gate(block, x, state_delta, surprisal, 1.0))


def test_zero_coupling_removes_the_inference_path():
    block = make_block(config=make_config(coupling_init=0.0))
    x, state_delta, surprisal = gate_inputs()
    gate = block.compute_gate(x, state_delta, surprisal)
    signal = surprisal * block.surprisal_gain
    base = block.gate_train(torch.cat([x, state_delta, signal.expand(2, 3, 1)], dim=-1))
    torch.testing.assert_close(gate, base * 0.1 * signal)


def test_gate_gradients_and_no_state_change():
    block = make_block()
    before = {k: v.clone() for k, v in block.state_dict().items()}
    x, state_delta, _ = gate_inputs()
    surprisal = torch.tensor(0.6, requires_grad=True)
    block.compute_gate(x, state_delta, surprisal).sum().backward()
    assert block.surprisal_gain.grad is not None and surprisal.grad is not None
    assert block.gate_train.weight.grad is not None and block.gate_infer.weight.grad is not None
    assert all(torch.equal(v, before[k]) for k, v in block.state_dict().items())


def test_gate_dtype_follows_the_operands():
    block = make_block().double()
    x, state_delta, surprisal = (t.double() for t in gate_inputs())
    block.fortress.global_pressure.fill_(0.5)
    gate = block.compute_gate(x, state_delta, surprisal.float())
    assert gate.dtype == torch.float64
    torch.testing.assert_close(gate, reference_gate(block, x, state_delta, surprisal.double(),
                                                    torch.tensor(0.55, dtype=torch.float64)))


@pytest.mark.parametrize("args, error, match", [
    ((torch.zeros(3, 4), torch.zeros(3, 4), torch.tensor(1.0)), ValueError,
     r"not enough values to unpack \(expected 3, got 2\)"),
    ((torch.zeros(2, 3, 4), torch.zeros(2, 3, 4), torch.ones(2)), RuntimeError, r"\[1, 1, 1\]"),
    ((torch.zeros(2, 3, 4), torch.zeros(2, 2, 4), torch.tensor(1.0)), RuntimeError, "Sizes of tensors must match"),
])
def test_gate_errors(args, error, match):
    with pytest.raises(error, match=match):
        make_block().compute_gate(*args)


def test_gate_with_unequal_widths_fails_in_the_gate_layer():
    block = Block(make_config(6, state=4), fe.FortressUnbrokenConfig())
    with pytest.raises(RuntimeError, match="shapes cannot be multiplied"):
        block.compute_gate(torch.zeros(2, 3, 6), torch.zeros(2, 3, 4), torch.tensor(1.0))


def test_gate_arguments_by_keyword_and_count():
    block = make_block()
    x, state_delta, surprisal = gate_inputs()
    assert torch.equal(block.compute_gate(surprisal_score=surprisal, state_delta=state_delta, x=x),
                       block.compute_gate(x, state_delta, surprisal))
    with pytest.raises(TypeError, match="compute_gate"):
        block.compute_gate(x, state_delta)

import copy
import math
import types

import pytest
import torch

from silver_kestrel.architectures.heavy_core import fortress_engine as fe
from block_support import spy
from kestrel_support import (VOCAB, WIDTH, BoundedBlock, km, lend_bounded_block, reference_loss, small_config,
                             token_ids)

Backbone, Bounded, Layered = km.KestrelBackboneFU64, km.KestrelBackboneFU64Bounded, km.KestrelCausalLMLayered
FORTRESS_PATH = "silver_kestrel.architectures.heavy_core.fortress_engine"


def records(n_layers=2, width=WIDTH, **settings):
    return (fe.TevUnifiedConfig(d_model=width, d_state=width, n_layers=n_layers),
            fe.FortressUnbrokenConfig(**settings))


def backbone(n_layers=2, seed=0, cls=None, **settings):
    torch.manual_seed(seed)
    return (cls or Backbone)(*records(n_layers, **settings))


def hidden(B=2, T=4, seed=1):
    return torch.randn(B, T, WIDTH, generator=torch.Generator().manual_seed(seed))


# ---------------------------------------------------------------------------------------------
# Stacked backbone


def test_construction_shares_two_reduced_records():
    rt_config, fortress_cfg = records(3, enable_vgt=False, beta_pressure=0.25, max_engrams=12, g_min=0.2)
    model = Backbone(rt_config=rt_config, fortress_cfg=fortress_cfg)
    assert list(model._modules) == ["layers"] and isinstance(model.layers, torch.nn.ModuleList)
    assert len(model.layers) == 3 and all(type(b) is fe.WarEngineTevZOZU_V722_FU for b in model.layers)
    first = model.layers[0]
    assert first.config == fe.TevUnifiedConfig(d_model=WIDTH, d_state=WIDTH, n_layers=1)
    assert first.fortress_config == fe.FortressUnbrokenConfig(enable_vgt=False, beta_pressure=0.25, max_engrams=0)
    assert all(b.config is first.config and b.fortress_config is first.fortress_config for b in model.layers)
    assert len({id(b.fortress) for b in model.layers}) == 3
    assert not hasattr(model, "gradient_checkpointing")
    assert not any(v is rt_config or v is fortress_cfg for v in vars(model).values())
    keys = list(model.state_dict())
    assert keys == [f"layers.{i}.{k}" for i in range(3) for k in first.state_dict()]


@pytest.mark.parametrize("n_layers", [0, -2])
def test_empty_stack_returns_the_input(n_layers):
    model = backbone(n_layers)
    x = hidden()
    y, diagnostics = model(x)
    assert len(model.layers) == 0 and y is x and diagnostics == {"layers": []}


def test_residual_stack_with_the_blocks_diagnostics():
    model = backbone(3)
    reference = copy.deepcopy(model)
    calls = []
    for block in model.layers:
        spy(block, "forward_with_diagnostics", calls=calls)
    x = hidden()
    y, diagnostics = model(x)
    expected, expected_diags = x, []
    for block in reference.layers:
        h, d = block.forward_with_diagnostics(expected, None, True)
        expected = expected + h
        expected_diags.append(d)
    torch.testing.assert_close(y, expected)
    assert list(diagnostics) == ["layers"] and len(diagnostics["layers"]) == 3
    assert [list(d) for d in diagnostics["layers"]] == [list(d) for d in expected_diags]
    assert all(kwargs == {"state": None, "return_diagnostics": True} for _, _, kwargs in calls)
    assert all(d["fortress_step"] == 1 for d in diagnostics["layers"])


@pytest.mark.parametrize("flag, training, checkpointed", [
    ("absent", True, False), (False, True, False), (True, False, False), (True, True, True), (1, True, True),
    ("yes", True, True), (0, True, False),
])
def test_checkpointing_switch(flag, training, checkpointed):
    model = backbone(2)
    if flag != "absent":
        model.gradient_checkpointing = flag
    model.train(training)
    reference = copy.deepcopy(model)
    calls = []
    for block in model.layers:
        spy(block, "forward_with_diagnostics", calls=calls)
    x = hidden().requires_grad_()
    y, diagnostics = model(x)
    expected, _ = reference(x)
    torch.testing.assert_close(y, expected)
    layers = diagnostics["layers"]
    assert len(layers) == 2
    if checkpointed:
        assert layers == [{}, {}] and layers[0] is not layers[1]
        assert all(kwargs == {"state": None, "return_diagnostics": False} for _, _, kwargs in calls)
        y.sum().backward()
        assert len(calls) == 4  # each block runs again on the way back
        assert all(p.grad is not None for p in model.layers[0].parameters() if p.requires_grad)
    else:
        assert all(d and "surprisal_score" in d for d in layers)


@pytest.mark.parametrize("bounded", [False, True])
def test_checkpointed_steps_give_the_plain_gradients_and_carry_the_same_state(bounded):
    # The re-run in backward must rebuild the forward the block really ran: from the carried state
    # and statistics the call started with, not from those it left (the carried state even differs
    # in batch on the first call); and it must leave every buffer as the forward left it.
    cls = Bounded if bounded else None
    plain = backbone(2, cls=cls)
    checkpointed = copy.deepcopy(plain)
    checkpointed.gradient_checkpointing = True
    for step in range(3):
        x = hidden(seed=10 + step)
        grads = []
        for model in (plain, checkpointed):
            model.zero_grad()
            y, _ = model(x)
            (y ** 2).mean().backward()
            grads.append([p.grad.clone() for p in model.parameters() if p.grad is not None])
        assert len(grads[0]) == len(grads[1]) > 0
        for a, b in zip(*grads):
            torch.testing.assert_close(a, b)
        for (name, a), (_, b) in zip(plain.named_buffers(), checkpointed.named_buffers()):
            torch.testing.assert_close(a, b, msg=name)


def test_forward_takes_no_state():
    model = backbone(1)
    with pytest.raises(TypeError):
        model(hidden(), {})


def test_block_result_of_another_length():
    model = backbone(1)
    model.layers[0].forward_with_diagnostics = lambda *a, **k: (hidden(),)
    with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 2, got 1\)"):
        model(hidden())


@pytest.mark.parametrize("rt_config, fortress_cfg, error, match", [
    (types.SimpleNamespace(d_model=WIDTH, d_state=WIDTH, n_layers=1.0), fe.FortressUnbrokenConfig(), TypeError,
     "'float' object cannot be interpreted as an integer"),
    (types.SimpleNamespace(d_model=WIDTH, d_state=WIDTH), fe.FortressUnbrokenConfig(), AttributeError, "n_layers"),
    (types.SimpleNamespace(d_model=WIDTH, n_layers=1), fe.FortressUnbrokenConfig(), AttributeError, "d_state"),
    (fe.TevUnifiedConfig(d_model=WIDTH, d_state=WIDTH, n_layers=1), types.SimpleNamespace(enable_vgt=True),
     AttributeError, "beta_pressure"),
])
def test_construction_errors(rt_config, fortress_cfg, error, match):
    with pytest.raises(error, match=match):
        Backbone(rt_config, fortress_cfg)


# ---------------------------------------------------------------------------------------------
# Bounded backbone


def test_bounded_blocks_replace_the_base_stack(monkeypatch):
    lend_bounded_block(monkeypatch)
    built = []
    base_block = fe.WarEngineTevZOZU_V722_FU

    class CountedBlock(base_block):
        def __init__(self, *args):
            built.append(self)
            super().__init__(*args)
    monkeypatch.setattr(fe, "WarEngineTevZOZU_V722_FU", CountedBlock)
    rt_config, fortress_cfg = records(3, max_engrams=12, g_min=0.2)
    model = Bounded(rt_config, fortress_cfg)
    assert len(built) == 3
    assert len(model.layers) == 3 and all(type(b) is BoundedBlock for b in model.layers)
    assert all(b.rt_config is rt_config and b.fortress_cfg is fortress_cfg for b in model.layers)
    assert list(model.state_dict()) == [f"layers.{i}.bound.weight" for i in range(3)]
    x = hidden()
    y, diagnostics = model(x)
    expected = x
    for block in model.layers:
        expected = expected + torch.tanh(block.bound(expected))
    torch.testing.assert_close(y, expected)
    assert diagnostics == {"layers": [{"bounded": 1.0}] * 3}


def test_missing_bounded_block_fails_after_the_base_stack(monkeypatch):
    built = []
    base_block = fe.WarEngineTevZOZU_V722_FU

    class CountedBlock(base_block):
        def __init__(self, *args):
            built.append(self)
            super().__init__(*args)
    monkeypatch.setattr(fe, "WarEngineTevZOZU_V722_FU", CountedBlock)
    monkeypatch.delattr(fe, "WarEngineTevZOZU_V722_FU_Bounded", raising=False)
    with pytest.raises(ImportError, match=f"^cannot import name 'WarEngineTevZOZU_V722_FU_Bounded' from "
                                          f"'{FORTRESS_PATH}'"):
        Bounded(*records(2))
    assert len(built) == 2


# ---------------------------------------------------------------------------------------------
# Layered causal language model


def layered(n_layers=2, seed=0, **fields):
    torch.manual_seed(seed)
    return Layered(small_config(n_layers=n_layers, **fields))


def test_layered_construction_and_state_dict():
    config = small_config("lite", n_layers=2)
    model = Layered(config=config)
    assert model.config is config
    assert list(model._modules) == ["layers", "embed_tokens", "lm_head"]
    first = model.layers[0]
    assert all(type(b) is fe.WarEngineTevZOZU_V722_FU for b in model.layers)
    assert first.config == fe.TevUnifiedConfig(d_model=WIDTH, d_state=WIDTH, n_layers=1)
    assert first.fortress_config == fe.FortressUnbrokenConfig(enable_vgt=True, beta_pressure=0.4)
    assert first.fortress_config.max_engrams == 8
    assert model.layers[1].config is first.config and model.layers[1].fortress_config is first.fortress_config
    assert model.layers[1].fortress is not first.fortress
    keys = list(model.state_dict())
    assert keys == ([f"layers.{i}.{k}" for i in range(2) for k in first.state_dict()]
                    + ["embed_tokens.weight", "lm_head.weight"])
    assert model.lm_head.weight is model.embed_tokens.weight
    sd = model.state_dict()
    assert sd["layers.1.gate_train.weight"].shape == (WIDTH, 2 * WIDTH + 1)
    assert torch.equal(sd["embed_tokens.weight"], sd["lm_head.weight"])
    assert sum(p is model.embed_tokens.weight for p in model.parameters()) == 1


def test_layered_reads_only_four_fields():
    config = types.SimpleNamespace(vocab_size=VOCAB, d_model=WIDTH, d_state=WIDTH, n_layers=1)
    assert len(Layered(config).layers) == 1
    with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
        Layered(types.SimpleNamespace(vocab_size=VOCAB, d_model=WIDTH, d_state=WIDTH, n_layers=2.0))
    with pytest.raises(AttributeError, match="vocab_size"):
        Layered(types.SimpleNamespace(d_model=WIDTH, d_state=WIDTH, n_layers=0))


def test_layered_chains_blocks_without_residuals():
    model = layered(2)
    reference = copy.deepcopy(model)
    ids = token_ids()
    out = model(ids, ids)
    assert list(out) == ["loss", "logits", "layers"]
    x = reference.embed_tokens(ids)
    diags = []
    for block in reference.layers:
        x, d = block.forward_with_diagnostics(x, state=None, return_diagnostics=True)
        diags.append(d)
    logits = reference.lm_head(x)
    torch.testing.assert_close(out["logits"], logits)
    torch.testing.assert_close(out["loss"], reference_loss(logits, ids))
    assert len(out["layers"]) == 2 and [list(d) for d in out["layers"]] == [list(d) for d in diags]


def test_layered_without_layers_is_the_unscaled_head():
    model = layered(0)
    ids = token_ids()
    out = model(ids)
    assert out["loss"] is None and out["layers"] == []
    torch.testing.assert_close(out["logits"], model.embed_tokens(ids) @ model.embed_tokens.weight.t())
    lm = km.KestrelCausalLM(small_config("fu-64", n_layers=0))
    lm.embed_tokens.weight.data.copy_(model.embed_tokens.weight)
    torch.testing.assert_close(out["logits"], lm(ids)["logits"] * math.sqrt(WIDTH))


def test_layered_loss():
    model = layered(0)
    ids = token_ids()
    labels = ids.clone()
    labels[0, 3] = -100
    out = model(ids, labels)
    torch.testing.assert_close(out["loss"], reference_loss(out["logits"], labels))
    changed = labels.clone()
    changed[:, 0] = (changed[:, 0] + 1) % VOCAB
    assert torch.equal(model(ids, changed)["loss"], out["loss"])


def test_layered_has_no_mask():
    model = layered(0)
    ids = token_ids()
    with pytest.raises(TypeError):
        model(ids, ids, torch.ones(ids.shape))
    with pytest.raises(TypeError):
        model(ids, labels=ids, loss_mask=torch.ones(ids.shape))


def test_layered_block_result_of_another_length():
    model = layered(1)
    model.layers[0].forward_with_diagnostics = lambda *a, **k: (1, 2, 3)
    with pytest.raises(ValueError, match=r"too many values to unpack \(expected 2\)"):
        model(token_ids())

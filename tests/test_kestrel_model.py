import copy
import dataclasses
import math
import re
import types
import typing

import pytest
import torch

from silver_kestrel.architectures.heavy_core import fortress_engine as fe
from silver_kestrel.architectures.heavy_core import heavy_core as hc
from kestrel_support import (VOCAB, WIDTH, km, lend_bounded_block, reference_loss, small_config,
                             token_ids)

LM = km.KestrelCausalLM


# ---------------------------------------------------------------------------------------------
# Module and record


def test_module_names():
    names = [n for n in vars(km) if not n.startswith("__")]
    assert names == ["dataclass", "Any", "Dict", "Optional", "Tuple", "math", "torch", "nn", "ZuravMorvaV8_2H",
                     "TevUnifiedConfig", "FortressUnbrokenConfig", "KestrelModelConfig", "KestrelBackboneFU64",
                     "KestrelBackboneFU64Bounded", "KestrelCausalLM", "KestrelCausalLMLayered",
                     "create_kestrel_model"]
    assert km.dataclass is dataclasses.dataclass and (km.math, km.torch, km.nn) == (math, torch, torch.nn)
    assert (km.Any, km.Dict, km.Optional, km.Tuple) == (typing.Any, typing.Dict, typing.Optional, typing.Tuple)
    for name in ("TevUnifiedConfig", "FortressUnbrokenConfig"):
        assert getattr(km, name) is getattr(hc, name)
    assert km.ZuravMorvaV8_2H is hc.ZuravMorvaV8_2H
    assert km.TevUnifiedConfig is fe.TevUnifiedConfig
    for name in ("KestrelBackboneFU64", "KestrelCausalLM", "KestrelCausalLMLayered"):
        cls = getattr(km, name)
        assert cls.__bases__ == (torch.nn.Module,) and cls.__module__ == "silver_kestrel.kestrel_model"
        assert [n for n in vars(cls) if not n.startswith("__") or n == "__init__"] == ["__init__", "forward"]
    assert km.KestrelBackboneFU64Bounded.__bases__ == (km.KestrelBackboneFU64,)
    assert [n for n in vars(km.KestrelBackboneFU64Bounded) if n == "__init__" or not n.startswith("__")] == [
        "__init__"]
    assert "embed_tokens.weight" in km.__doc__ and "lm_head.weight" in km.__doc__
    assert "heavy core" in km.__doc__


def test_model_config_record():
    fields = [(f.name, f.type, f.default) for f in dataclasses.fields(km.KestrelModelConfig)]
    assert fields == [("vocab_size", int, 50280), ("d_model", int, 2560), ("d_state", int, 2560),
                      ("n_layers", int, 64), ("cross_attn_mode", str, "linear"), ("shared_backbone", bool, True),
                      ("morva_variant", str, "heavy")]
    assert km.KestrelModelConfig(32, 8) == km.KestrelModelConfig(vocab_size=32, d_model=8)
    unchecked = km.KestrelModelConfig(d_model="x", morva_variant=None)
    assert unchecked.d_model == "x" and unchecked.morva_variant is None
    unchecked.n_layers = 2
    assert unchecked.n_layers == 2 and km.KestrelModelConfig.__hash__ is None
    assert km.KestrelModelConfig.__module__ == "silver_kestrel.kestrel_model"


# ---------------------------------------------------------------------------------------------
# Factory


@pytest.fixture
def built(monkeypatch):
    """The factory's language-model class replaced by a recorder of the record it receives."""
    records = []

    def record(config):
        records.append(config)
        return config
    monkeypatch.setattr(km, "KestrelCausalLM", record)
    return records


def test_factory_defaults(built):
    config = km.create_kestrel_model()
    assert built == [config] and config == km.KestrelModelConfig()


def test_factory_positional_and_keyword(built):
    config = km.create_kestrel_model(32, 8, 8, 2, "quadratic", False, morva_variant="lite")
    assert config == km.KestrelModelConfig(32, 8, 8, 2, "quadratic", False, "lite")
    with pytest.raises(TypeError):
        km.create_kestrel_model(32, 8, 8, 2, "linear", True, "lite", 1)
    with pytest.raises(TypeError):
        km.create_kestrel_model(width=8)


class Indexable:
    def __index__(self):
        return 7


@pytest.mark.parametrize("value, expected", [(2560, 2560), (2560.0, 2560), (2560.9, 2560), (-3.7, -3), (True, 1),
                                             (False, 0), (Indexable(), 7), (torch.tensor(5), 5)])
def test_factory_size_conversion(built, value, expected):
    if expected < 1:  # converted, then refused by the record: a model needs a width
        with pytest.raises(ValueError, match=f"^d_model must be positive, got {expected}$"):
            km.create_kestrel_model(d_model=value, n_layers=value)
        return
    config = km.create_kestrel_model(d_model=value, n_layers=value)
    assert type(config.d_model) is int and config.d_model == expected and config.n_layers == expected


def test_factory_keeps_an_exact_int_object(built):
    big = 10 ** 30
    assert km.create_kestrel_model(vocab_size=big).vocab_size is big


@pytest.mark.parametrize("name", ["vocab_size", "d_model", "d_state", "n_layers"])
@pytest.mark.parametrize("value, error, match", [
    ("2560", TypeError, r"^Argument '{name}' has incorrect type \(expected int, got str\)$"),
    (None, TypeError, r"^Argument '{name}' has incorrect type \(expected int, got NoneType\)$"),
    ([8], TypeError, r"^Argument '{name}' has incorrect type \(expected int, got list\)$"),
    (float("nan"), ValueError, "cannot convert float NaN to integer"),
    (float("inf"), OverflowError, "cannot convert float infinity to integer"),
    (1j, TypeError, "int\\(\\) argument must be"),
])
def test_factory_size_refusals(built, name, value, error, match):
    with pytest.raises(error, match=match.format(name=name)):
        km.create_kestrel_model(**{name: value})
    assert built == []


@pytest.mark.parametrize("value, expected", [(0, False), (None, False), ("", False), ("no", True), (2, True),
                                             ([], False)])
def test_factory_shared_backbone_truth(built, value, expected):
    assert km.create_kestrel_model(shared_backbone=value).shared_backbone is expected


def test_factory_shared_backbone_truth_errors_propagate(built):
    with pytest.raises(RuntimeError, match="ambiguous"):
        km.create_kestrel_model(shared_backbone=torch.ones(2))


class Text(str):
    pass


@pytest.mark.parametrize("name", ["cross_attn_mode", "morva_variant"])
@pytest.mark.parametrize("value, got", [(None, "NoneType"), (Text("lite"), "Text"), (b"lite", "bytes"), (1, "int")])
def test_factory_text_refusals(built, name, value, got):
    with pytest.raises(TypeError, match=rf"^Argument '{name}' has incorrect type \(expected str, got {got}\)$"):
        km.create_kestrel_model(**{name: value})
    assert built == []


def test_factory_checks_sizes_before_texts(built):
    with pytest.raises(TypeError, match="'n_layers'"):
        km.create_kestrel_model(n_layers="x", morva_variant=None)


def test_factory_variant_name_passes_unchanged(built):
    assert km.create_kestrel_model(morva_variant="FU").morva_variant == "FU"
    assert km.create_kestrel_model(morva_variant="nonsense").morva_variant == "nonsense"


def test_factory_builds_a_model():
    model = km.create_kestrel_model(vocab_size=VOCAB, d_model=WIDTH, d_state=WIDTH, n_layers=1, morva_variant="FU")
    assert type(model) is LM and model.training
    assert model.config == small_config("FU", n_layers=1)
    assert type(model.core).__name__ == "FortressFUCore"


# ---------------------------------------------------------------------------------------------
# Variant table


VARIANTS = {
    "FortressFUCore": ["fu", "FU", "v7.2.2-fu", "7.2.2-FU", "722-fu"],
    "ZuravMorvaV8_2": ["lite", "LITE", "v8.2a", "8.2A", "morva-8.2a"],
    "KestrelBackboneFU64": ["fu-64", "FU-64", "kestrel-fu-64", "fu64"],
    "KestrelBackboneFU64Bounded": ["fu-64-bounded", "FU64-Bounded"],
    "ZuravMorvaV8_2H": ["heavy", "", "quadratic", "v8.2h", " fu", "fu ", "lite\n", None],
}


@pytest.mark.parametrize("variant, core", [(v, c) for c, names in VARIANTS.items() for v in names])
def test_variant_selects_the_core(monkeypatch, variant, core):
    lend_bounded_block(monkeypatch)
    model = LM(small_config(variant, n_layers=1))
    assert type(model.core).__name__ == core
    if core == "ZuravMorvaV8_2H":
        assert type(model.core) is km.ZuravMorvaV8_2H
    for name in ("FortressFUCore", "ZuravMorvaV8_2"):
        assert not hasattr(km, name)


def test_record_without_variant_builds_the_heavy_core():
    config = types.SimpleNamespace(vocab_size=VOCAB, d_model=WIDTH, d_state=WIDTH, n_layers=1,
                                   cross_attn_mode="Quadratic", shared_backbone=False)
    model = LM(config=config)
    assert type(model.core) is km.ZuravMorvaV8_2H and model.config is config
    assert model.core.cross_attn_mode == "quadratic" and model.core.shared_backbone is False


def test_cores_receive_the_model_records():
    model = LM(small_config("fu", n_layers=3))
    block = model.core.fast_path
    assert block.config == fe.TevUnifiedConfig(d_model=WIDTH, d_state=WIDTH, n_layers=3)
    assert block.fortress_config == fe.FortressUnbrokenConfig(enable_vgt=True, beta_pressure=0.4)
    lite = LM(small_config("lite"))
    assert lite.core.fast_path.config is lite.core.slow_path.config
    assert lite.core.fast_path.fortress_config is lite.core.slow_path.fortress_config


def test_variant_error_of_another_kind_propagates():
    class Broken:
        vocab_size, d_model, d_state, n_layers = VOCAB, WIDTH, WIDTH, 0

        @property
        def morva_variant(self):
            raise KeyError("variant")
    with pytest.raises(KeyError):
        LM(Broken())


def test_variant_is_read_once():
    config = small_config("fu-64")
    model = LM(config)
    config.morva_variant = "fu"
    assert type(model.core).__name__ == "KestrelBackboneFU64"


@pytest.mark.parametrize("missing, built_core", [("d_model", False), ("n_layers", False), ("vocab_size", True)])
def test_missing_record_fields(monkeypatch, missing, built_core):
    fields = dict(vocab_size=VOCAB, d_model=WIDTH, d_state=WIDTH, n_layers=0, morva_variant="fu-64")
    del fields[missing]
    cores = []
    original = vars(km.KestrelBackboneFU64)["__init__"]

    def counting_init(self, *args):
        cores.append(1)
        original(self, *args)
    monkeypatch.setattr(km.KestrelBackboneFU64, "__init__", counting_init)
    with pytest.raises(AttributeError, match=missing):
        LM(types.SimpleNamespace(**fields))
    assert bool(cores) == built_core


# ---------------------------------------------------------------------------------------------
# Tied head and the state dict


def test_tied_head_and_state_dict_layout():
    model = LM(small_config("fu", n_layers=1))
    assert list(model._modules) == ["core", "embed_tokens", "lm_head"]
    assert model.lm_head.weight is model.embed_tokens.weight
    assert model.lm_head.bias is None and model.embed_tokens.weight.shape == (VOCAB, WIDTH)
    keys = list(model.state_dict())
    assert keys[-2:] == ["embed_tokens.weight", "lm_head.weight"]
    assert all(k.startswith("core.") for k in keys[:-2])
    assert keys[:-2] == ["core." + k for k in model.core.state_dict()]
    with torch.no_grad():
        model.embed_tokens.weight[0, 0] = 123.0
    sd = model.state_dict()
    assert sd["lm_head.weight"][0, 0] == 123.0 and torch.equal(sd["lm_head.weight"], sd["embed_tokens.weight"])
    params = list(model.parameters())
    assert sum(p is model.embed_tokens.weight for p in params) == 1
    assert len(params) == len({id(p) for p in params})


def test_tied_gradient_is_the_sum_of_both_uses():
    torch.manual_seed(0)
    model = LM(small_config())
    ids = token_ids()
    model(ids, labels=ids)["loss"].backward()
    weight = model.embed_tokens.weight.detach().clone().requires_grad_()
    head = weight.clone().detach().requires_grad_()
    logits = torch.nn.functional.embedding(ids, weight) @ head.t() / math.sqrt(WIDTH)
    reference_loss(logits, ids).backward()
    torch.testing.assert_close(model.embed_tokens.weight.grad, weight.grad + head.grad)


def test_state_dict_round_trip():
    torch.manual_seed(0)
    a = LM(small_config("fu", n_layers=1))
    torch.manual_seed(1)
    b = LM(small_config("fu", n_layers=1))
    b.load_state_dict(a.state_dict())
    ids = token_ids()
    torch.testing.assert_close(a(ids)["logits"], b(ids)["logits"])
    assert b.lm_head.weight is b.embed_tokens.weight


# ---------------------------------------------------------------------------------------------
# Forward and loss (identity core: a stacked backbone of depth 0)


def identity_model(seed=0, width=WIDTH):
    torch.manual_seed(seed)
    return LM(small_config(width=width))


def test_logits_are_scaled_by_the_width():
    model = identity_model()
    ids = token_ids()
    out = model(ids)
    assert list(out) == ["loss", "logits", "morva"]
    assert out["loss"] is None and out["morva"] == {"layers": []}
    expected = model.embed_tokens(ids) @ model.embed_tokens.weight.t() / math.sqrt(WIDTH)
    torch.testing.assert_close(out["logits"], expected)
    model.config.d_model = 2560
    torch.testing.assert_close(model(ids)["logits"] * 50.59644256269407, expected * math.sqrt(WIDTH))


@pytest.mark.parametrize("width, batch", [(4, 2), (16, 2), (16, 1), (8, 2), (2, 2)])
def test_scaled_logits_and_gradients_are_exactly_the_quotients(width, batch):
    # Whatever operand the scale is applied to, the logits and the tied weight's gradient are the
    # numbers of lm_head(h) / sqrt(d_model).
    model = identity_model(width=width)
    ids = token_ids(B=batch)
    logits = model(ids)["logits"]
    (logits * torch.linspace(-1, 1, logits.numel()).view(logits.shape)).sum().backward()
    weight = model.embed_tokens.weight.detach().clone().requires_grad_()
    expected = torch.nn.functional.embedding(ids, weight) @ weight.t() / math.sqrt(width)
    (expected * torch.linspace(-1, 1, expected.numel()).view(expected.shape)).sum().backward()
    assert torch.equal(logits, expected)
    assert torch.equal(model.embed_tokens.weight.grad, weight.grad)


@pytest.mark.parametrize("kind", ["forward hook", "pre-hook", "global hook"])
def test_core_hooks_see_the_core_called(kind):
    # The core is called as a module: its hooks (its own and global ones) run around it.
    model = identity_model(width=16)
    ids = token_ids()
    hidden = model.embed_tokens(ids)
    if kind == "forward hook":
        handle = model.core.register_forward_hook(lambda m, i, o: (o[0] * 2, o[1]))
    elif kind == "pre-hook":
        handle = model.core.register_forward_pre_hook(lambda m, i: (i[0] * 2,))
    else:
        handle = torch.nn.modules.module.register_module_forward_hook(
            lambda m, i, o: (o[0] * 2, o[1]) if m is model.core else None)
    try:
        logits = model(ids)["logits"]
    finally:
        handle.remove()
    torch.testing.assert_close(logits, model(ids)["logits"] * 2)


def test_head_hooks_and_replacements_see_the_head_called():
    model = identity_model(width=16)
    ids = token_ids()
    seen = []
    handle = model.lm_head.register_forward_hook(lambda m, i, o: seen.append((i[0].clone(), o.clone())) or o * 2)
    logits = model(ids)["logits"]
    hidden = model.embed_tokens(ids)
    assert torch.equal(seen[0][0], hidden) and torch.equal(seen[0][1], hidden @ model.lm_head.weight.t())
    torch.testing.assert_close(logits, 2 * seen[0][1] / 4.0)
    handle.remove()
    model.lm_head.forward = lambda h: torch.ones(h.shape[:-1] + (VOCAB,))
    assert torch.equal(model(ids)["logits"], torch.full((2, 6, VOCAB), 0.25))


def _double_output(embed):
    embed.register_forward_hook(lambda m, i, o: o * 2)


def _replace_forward(embed):
    embed.forward = lambda ids: torch.ones(ids.shape + (WIDTH,))


def _limit_norms(embed):
    embed.max_norm = 0.5


def _pad_with_token_three(embed):
    embed.padding_idx = 3


def _scale_by_frequency(embed):
    embed.scale_grad_by_freq = True


@pytest.mark.parametrize("change", [None, _double_output, _replace_forward, _limit_norms, _pad_with_token_three,
                                    _scale_by_frequency])
def test_the_embedding_is_what_the_module_gives(change):
    # The model embeds as the module's own call would: hooks, a replaced forward, the norm limit
    # (which rescales rows of the weight in place), the padding row and frequency scaling included.
    model = identity_model()
    ids = token_ids()
    ids[0, :3] = 3
    if change is not None:
        change(model.embed_tokens)
    logits = model(ids)["logits"]
    (logits * torch.linspace(-1, 1, logits.numel()).view(logits.shape)).sum().backward()
    got = model.embed_tokens.weight.grad.clone()
    if change is _limit_norms:
        assert model.embed_tokens.weight[ids.unique()].norm(dim=-1).max() <= 0.5
    twin = copy.deepcopy(model)
    twin.embed_tokens.weight.grad = None
    hidden = twin.embed_tokens(ids)
    expected = hidden @ twin.embed_tokens.weight.t() / math.sqrt(WIDTH)
    (expected * torch.linspace(-1, 1, expected.numel()).view(expected.shape)).sum().backward()
    torch.testing.assert_close(logits, expected)
    torch.testing.assert_close(got, twin.embed_tokens.weight.grad)


def test_core_diagnostics_are_passed_on():
    model = identity_model()
    diagnostics = {"surprisal_score": 0.5}
    model.core.forward = lambda x: (x, diagnostics)
    assert model(token_ids())["morva"] is diagnostics


def test_core_result_of_another_length():
    model = identity_model()
    model.core.forward = lambda x: (x,)
    with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 2, got 1\)"):
        model(token_ids())


def labels_with_ignored(ids):
    labels = ids.clone()
    labels[0, 2] = -100
    labels[1, 4] = -100
    return labels


MASKS = {
    "none": lambda ids: None,
    "ones": lambda ids: torch.ones(ids.shape),
    "binary": lambda ids: (torch.arange(ids.numel()).view(ids.shape) % 3 != 0).long(),
    "weights": lambda ids: torch.rand(ids.shape, generator=torch.Generator().manual_seed(4)),
    "bool": lambda ids: torch.arange(ids.numel()).view(ids.shape) % 2 == 0,
    "row_broadcast": lambda ids: torch.tensor([[0.0, 1.0, 1.0, 0.5, 1.0, 0.0]]),
}


@pytest.mark.parametrize("mask", list(MASKS))
@pytest.mark.parametrize("ignored", [False, True])
def test_loss_matches_the_sliced_reference(mask, ignored):
    model = identity_model()
    ids = token_ids()
    labels = labels_with_ignored(ids) if ignored else ids
    loss_mask = MASKS[mask](ids)
    out = model(ids, labels, loss_mask)
    out["loss"].backward()
    grad = model.embed_tokens.weight.grad.clone()

    model.zero_grad()
    logits = model(ids)["logits"]
    expected = reference_loss(logits, labels, loss_mask)
    expected.backward()
    torch.testing.assert_close(out["loss"], expected)
    torch.testing.assert_close(grad, model.embed_tokens.weight.grad)
    assert out["loss"].shape == () and out["loss"].dtype == torch.float32


@pytest.mark.parametrize("graph", [True, False], ids=["with-graph", "without-graph"])
@pytest.mark.parametrize("hidden_row", [None, (0, 1), (1, 5)])
def test_loss_and_its_graph_against_the_library_cross_entropy(hidden_row, graph):
    # Rows that do not count (an ignored label, the last position) take no part in the loss; one
    # that is not finite gives the gradient the library's cross-entropy gives it (nan in its row).
    # A graph of the gradient has the library's second derivatives; without one the gradient is
    # made from the forward's exponentials.
    model = identity_model(width=16)
    ids = token_ids()
    labels = labels_with_ignored(ids)
    hidden = torch.randn(2, 6, 16, generator=torch.Generator().manual_seed(6)) * 3
    if hidden_row is not None:
        hidden[hidden_row] = float("nan")
    results = []
    def composed(h):
        # Every position scored against the next label, the last one against the ignore index.
        targets = torch.cat([labels[:, 1:], torch.full_like(labels[:, :1], -100)], 1)
        return torch.nn.functional.cross_entropy(model(ids)["logits"].reshape(-1, VOCAB), targets.reshape(-1))

    for fn in (lambda h: model(ids, labels)["loss"], composed):
        h = hidden.clone().requires_grad_()
        model.core.forward = lambda x, h=h: (h, {})
        loss = fn(h)
        (grad,) = torch.autograd.grad(loss, h, create_graph=graph)
        second = torch.zeros(())
        if graph:
            (second,) = torch.autograd.grad((grad * torch.linspace(-1, 1, grad.numel()).view(grad.shape)).nansum(), h)
        results.append((loss, grad, second))
    (loss, grad, second), (ref_loss, ref_grad, ref_second) = results
    assert torch.isfinite(loss)
    torch.testing.assert_close(loss, ref_loss)
    torch.testing.assert_close(grad, ref_grad, equal_nan=True)
    torch.testing.assert_close(second, ref_second, equal_nan=True)


@pytest.mark.parametrize("ignored", [False, True])
def test_loss_gradient_is_the_exponentials_formula_to_the_bit(ignored):
    # Without a graph the logits' gradient is exps * (share / sums) with -share added at each
    # target (share = 1 / count on counted rows, 0 elsewhere), each operation rounded as by tensors.
    model = identity_model(width=16)
    ids = token_ids()
    labels = labels_with_ignored(ids) if ignored else ids
    out = model(ids, labels)
    (got,) = torch.autograd.grad(out["loss"] * 0.37, out["logits"])
    with torch.no_grad():
        logits = out["logits"][:, :-1].reshape(-1, VOCAB)
        targets = labels[:, 1:].reshape(-1)
        counted = targets != -100
        exps = (logits - logits.amax(1, keepdim=True)).exp_()
        sums = exps.sum(1, keepdim=True)
        share = torch.tensor(0.37) / float(counted.sum())
        scale = torch.where(counted, share, torch.zeros(())).unsqueeze(1)
        expected = exps.mul(scale / sums)
        expected.scatter_add_(1, torch.where(counted, targets, 0).unsqueeze(1), scale.neg())
    assert torch.equal(got[:, :-1].reshape(-1, VOCAB), expected)
    assert torch.equal(got[:, -1], torch.zeros_like(got[:, -1]))


@pytest.mark.parametrize("special", [None, "nan", "inf"])
@pytest.mark.parametrize("vocab", [11, 37])
def test_loss_rows_wherever_their_maximum_lies(vocab, special):
    # Rows of 37 classes hold blocks of sixteen, of four and a tail of one; their maxima fall in
    # each. The gradient stays the exponentials of logits - amax to the bit, and a counted row that
    # is not finite gives the library's nan loss and nan gradient row.
    torch.manual_seed(0)
    model = LM(km.KestrelModelConfig(vocab_size=vocab, d_model=16, d_state=16, n_layers=0, morva_variant="fu-64"))
    ids = token_ids(B=4, T=8, vocab=vocab)
    hidden = torch.randn(4, 8, 16, generator=torch.Generator().manual_seed(3)) * 4
    if special is not None:
        hidden[1, 3, 5] = float(special)
    model.core.forward = lambda x: (hidden, {})
    out = model(ids, ids)
    (got,) = torch.autograd.grad(out["loss"] * 0.37, out["logits"])
    with torch.no_grad():
        logits = out["logits"][:, :-1].reshape(-1, vocab)
        targets = ids[:, 1:].reshape(-1)
        exps = (logits - logits.amax(1, keepdim=True)).exp_()
        sums = exps.sum(1, keepdim=True)
        share = torch.tensor(0.37) / targets.numel()
        expected = exps.mul(share / sums)
        expected.scatter_add_(1, targets.unsqueeze(1), share.neg().expand(targets.numel(), 1))
    torch.testing.assert_close(out["loss"], torch.nn.functional.cross_entropy(logits, targets), equal_nan=True)
    assert math.isnan(out["loss"].item()) == (special is not None)
    torch.testing.assert_close(got[:, :-1].reshape(-1, vocab), expected, rtol=0, atol=0, equal_nan=True)


def test_labels_not_in_host_memory_go_to_the_library_cross_entropy():
    # Labels that do not lie in host memory are not read through their data pointer: the library's
    # cross-entropy takes them and gives its own result (a meta loss for meta labels).
    # Newer torch refuses host logits with meta targets, with its own error; the model then
    # raises that same error.
    model = identity_model(width=16)
    ids = token_ids()
    logits = model(ids)["logits"]
    try:
        torch.nn.functional.cross_entropy(logits[:, :-1].reshape(-1, logits.size(-1)), ids[:, 1:].reshape(-1).to("meta"))
    except RuntimeError as refused:
        with pytest.raises(RuntimeError, match=re.escape(str(refused))):
            model(ids, ids.to("meta"))
    else:
        out = model(ids, ids.to("meta"))
        assert out["loss"].device.type == "meta" and out["loss"].shape == ()


def test_masked_loss_special_values():
    model = identity_model()
    ids = token_ids()
    zero_mask = torch.zeros(ids.shape)
    zero_mask[:, 0] = 1.0
    assert model(ids, ids, zero_mask)["loss"].item() == 0.0
    half = torch.zeros(ids.shape)
    half[0, 3] = 0.5
    per_token = torch.nn.functional.cross_entropy(model(ids)["logits"][0, 2], ids[0, 3])
    torch.testing.assert_close(model(ids, ids, half)["loss"], per_token * 0.5)
    torch.testing.assert_close(model(ids, ids, torch.ones(ids.shape))["loss"], model(ids, ids)["loss"])


def test_loss_ignores_the_first_label_mask_and_the_last_logits():
    model = identity_model()
    ids = token_ids()
    mask = torch.rand(ids.shape, generator=torch.Generator().manual_seed(2))
    base, masked = model(ids, ids)["loss"], model(ids, ids, mask)["loss"]
    labels, other_mask = ids.clone(), mask.clone()
    labels[:, 0] = (labels[:, 0] + 1) % VOCAB
    other_mask[:, 0] = 100.0
    assert torch.equal(model(ids, labels)["loss"], base)
    assert torch.equal(model(ids, labels, other_mask)["loss"], masked)
    logits = model(ids, ids)["logits"]
    assert logits.shape == (2, 6, VOCAB)


def test_no_labels_ignores_the_mask():
    model = identity_model()
    out = model(token_ids(), loss_mask="not even a tensor")
    assert out["loss"] is None


def test_sequences_of_length_one():
    model = identity_model()
    ids = token_ids(T=1)
    assert model(ids, ids, torch.ones(ids.shape))["loss"].item() == 0.0
    assert math.isnan(model(ids, ids)["loss"].item())
    assert math.isnan(reference_loss(model(ids)["logits"], ids).item())


@pytest.mark.parametrize("labels, error", [
    (lambda ids: ids.int(), RuntimeError),
    (lambda ids: torch.full(ids.shape, VOCAB), IndexError),
    (lambda ids: ids[:, :3], ValueError),
    (lambda ids: ids.tolist(), TypeError),
])
def test_bad_labels_raise_the_library_errors(labels, error):
    model = identity_model()
    ids = token_ids()
    with pytest.raises(error):
        model(ids, labels(ids))


def test_forward_arity():
    model = identity_model()
    with pytest.raises(TypeError):
        model()
    with pytest.raises(TypeError):
        model(token_ids(), None, None, None)
    with pytest.raises(TypeError):
        model(token_ids(), mask=None)


def test_double_model():
    model = identity_model().double()
    out = model(token_ids(), token_ids(), torch.ones(2, 6))
    assert out["logits"].dtype == torch.float64 and out["loss"].dtype == torch.float64


def test_a_trace_of_the_loss_keeps_its_operations():
    model = identity_model().requires_grad_(False)
    ids = token_ids()
    traced = torch.jit.trace(lambda i: model(i, i)["loss"], ids, check_trace=False)
    other = token_ids(seed=5)
    torch.testing.assert_close(traced(other), model(other, other)["loss"])

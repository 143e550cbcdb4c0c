"""Causality of every language model: the logits before position t never depend on the tokens at
or after t, on a first call and after earlier calls have left carried state behind.

The dual-path cores (heavy and lite) feed their slow fortress's global pressure with the
disagreement of the two paths over the whole sequence and read the updated pressure back in the
same call (routing weight and bridge sharpness): a scalar of the whole sequence by design. That
one update, the one given both paths' logits, is held fixed in the compared call; every other
update (each block's own, from its surprisal) runs as always."""
import copy

import pytest
import torch

from silver_kestrel import kestrel_model as km
from silver_kestrel.architectures.heavy_core import fortress_engine as fe

VOCAB, WIDTH = 11, 8

VARIANTS = {
    "heavy (default: shared, linear)": dict(),
    "heavy shared quadratic": dict(cross_attn_mode="quadratic"),
    "heavy separate linear": dict(shared_backbone=False),
    "heavy separate quadratic": dict(shared_backbone=False, cross_attn_mode="quadratic"),
    "lite": dict(morva_variant="lite"),
    "fu": dict(morva_variant="fu"),
    "fu-64": dict(morva_variant="fu-64"),
    "fu-64-bounded": dict(morva_variant="fu-64-bounded"),
    "layered": None,
}


def build(settings):
    torch.manual_seed(0)
    if settings is None:
        return km.KestrelCausalLMLayered(km.KestrelModelConfig(vocab_size=VOCAB, d_model=WIDTH, d_state=WIDTH,
                                                               n_layers=2))
    return km.create_kestrel_model(vocab_size=VOCAB, d_model=WIDTH, d_state=WIDTH, n_layers=2, **settings)


def hold_sequence_pressure(model):
    """Turns the dual-path cores' pressure update (the one given both paths' logits) into a no-op."""
    for module in model.modules():
        if isinstance(module, fe.FortressUnbrokenMemory):
            original = module._update_global_pressure

            def update(*args, _original=original, **kwargs):
                if "fast_logits" in kwargs:
                    return None
                return _original(*args, **kwargs)

            module._update_global_pressure = update


def ids(seed, L=12, B=2):
    return torch.randint(0, VOCAB, (B, L), generator=torch.Generator().manual_seed(seed))


@pytest.mark.parametrize("earlier_calls", [0, 3])
# 150 positions: the scan, the radar and the linear bridge run in several chunks.
@pytest.mark.parametrize("L, t", [(12, 1), (12, 5), (12, 11), (150, 100)])
@pytest.mark.parametrize("variant", list(VARIANTS))
def test_logits_before_t_ignore_tokens_from_t(variant, L, t, earlier_calls, capsys):
    model = build(VARIANTS[variant])
    for call in range(earlier_calls):
        model(ids(100 + call))
    tokens = ids(7, L)
    changed = tokens.clone()
    changed[:, t:] = (changed[:, t:] + 1 + torch.arange(L - t)) % VOCAB
    # Two copies of the model as the earlier calls left it, so both see the same carried state.
    first, second = copy.deepcopy(model), copy.deepcopy(model)
    hold_sequence_pressure(first)
    hold_sequence_pressure(second)
    a = first(tokens)["logits"]
    b = second(changed)["logits"]
    reach = (a[:, t:] - b[:, t:]).abs().max().item()
    assert reach > 0  # the change does reach the model
    # The radar's FFT convolution mixes positions at rounding level only.
    torch.testing.assert_close(a[:, :t], b[:, :t], rtol=0, atol=1e-4 * reach)

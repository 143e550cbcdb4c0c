"""Helpers of the language-model tests: the module, small records, a bounded block double and the
loss written out with slices."""
import torch
import torch.nn.functional as F

from silver_kestrel import kestrel_model as km
from silver_kestrel.architectures.heavy_core import fortress_engine as fe

VOCAB, WIDTH = 11, 8


def small_config(variant="fu-64", n_layers=0, width=WIDTH, **fields):
    return km.KestrelModelConfig(vocab_size=VOCAB, d_model=width, d_state=width, n_layers=n_layers,
                                 morva_variant=variant, **fields)


def token_ids(B=2, T=6, seed=1, vocab=VOCAB):
    return torch.randint(0, vocab, (B, T), generator=torch.Generator().manual_seed(seed))


def reference_loss(logits, labels, loss_mask=None):
    shift_logits = logits[..., :-1, :].contiguous()
    shift_labels = labels[..., 1:].contiguous()
    flat_logits, flat_labels = shift_logits.view(-1, shift_logits.size(-1)), shift_labels.view(-1)
    if loss_mask is None:
        return F.cross_entropy(flat_logits, flat_labels)
    shift_mask = loss_mask[..., 1:].contiguous().float()
    per_token = F.cross_entropy(flat_logits, flat_labels, reduction="none").view(shift_labels.shape)
    return (per_token * shift_mask).sum() / shift_mask.sum().clamp(min=1)


class BoundedBlock(torch.nn.Module):
    """A double of fortress_engine's bounded block: the block contract and nothing more, so that
    the stacking of a backbone can be checked exactly."""

    def __init__(self, rt_config, fortress_cfg):
        super().__init__()
        self.rt_config, self.fortress_cfg = rt_config, fortress_cfg
        self.bound = torch.nn.Linear(rt_config.d_model, rt_config.d_model, bias=False)

    def forward_with_diagnostics(self, x, state=None, return_diagnostics=False):
        return torch.tanh(self.bound(x)), ({"bounded": 1.0} if return_diagnostics else {})


def lend_bounded_block(monkeypatch):
    monkeypatch.setattr(fe, "WarEngineTevZOZU_V722_FU_Bounded", BoundedBlock)

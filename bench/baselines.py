"""Baseline language models in plain PyTorch for bench/train_step.py.

Every model maps token ids [B, L] to logits [B, L, vocab] through an embedding and an output head
tied to it, and is built from one width argument (`width`) so that bench/train_step.py can solve
for the width that matches another model's parameter count:

- TransformerLM: one causal nn.TransformerEncoder layer (pre-norm, no dropout, heads of 64
  channels), its feed-forward width the free width;
- GRULM: one nn.GRU layer of the free hidden width, projected back to the model width;
- GatedRecurrenceLM: one residual layer with the war engine block's arithmetic and none of its
  fortress: input projection, surprisal against a linear predictor of the previous state, the
  gate (training path scaled by a fixed pressure band and the surprisal, plus the coupled
  inference path), the gated linear recurrence with one learnt retention, output projection. Its
  state width is the free width. The recurrence runs by chunks (a masked product inside each
  chunk, the chunk-end states carried across chunks by a second small product), all in ATen.

Each class also gives `forward_flops(...)`: forward FLOPs per token counted from its shapes.
"""
import math

import torch
import torch.nn as nn
import torch.nn.functional as F

__all__ = ["TransformerLM", "GRULM", "GatedRecurrenceLM", "next_token_loss", "gated_scan"]


def next_token_loss(logits, ids):
    return F.cross_entropy(logits[:, :-1].reshape(-1, logits.size(-1)), ids[:, 1:].reshape(-1))


class _TiedLM(nn.Module):
    def __init__(self, vocab, d_model):
        super().__init__()
        self.d_model = d_model
        self.embed = nn.Embedding(vocab, d_model)
        self.head = nn.Linear(d_model, vocab, bias=False)
        self.head.weight = self.embed.weight

    def forward(self, ids, labels=None):
        logits = self.head(self.body(self.embed(ids)))
        return {"logits": logits, "loss": None if labels is None else next_token_loss(logits, labels)}


class TransformerLM(_TiedLM):
    def __init__(self, vocab, d_model, width):
        super().__init__(vocab, d_model)
        self.n_heads = max(1, d_model // 64)
        layer = nn.TransformerEncoderLayer(d_model, self.n_heads, width, dropout=0.0, batch_first=True,
                                           norm_first=True)
        self.encoder = nn.TransformerEncoder(layer, 1, enable_nested_tensor=False)
        self.norm = nn.LayerNorm(d_model)
        self.width = width
        self._masks = {}

    def _mask(self, length, device):
        key = (length, device)
        if key not in self._masks:
            self._masks[key] = torch.triu(torch.full((length, length), float("-inf"), device=device), 1)
        return self._masks[key]

    def body(self, x):
        return self.norm(self.encoder(x, mask=self._mask(x.size(1), x.device)))

    def forward_flops(self, L, B, vocab):
        d, f = self.d_model, self.width
        # Q, K, V, out projections; the feed-forward pair; causal attention (scores and values
        # over the (L + 1) / 2 keys a query sees on average); the head.
        return {"matmul": 2 * 4 * d * d + 2 * 2 * d * f + 2 * d * vocab,
                "attention": 2 * 2 * d * (L + 1) / 2}


class GRULM(_TiedLM):
    def __init__(self, vocab, d_model, width):
        super().__init__(vocab, d_model)
        self.gru = nn.GRU(d_model, width, batch_first=True)
        self.proj = nn.Linear(width, d_model)
        self.width = width

    def body(self, x):
        return self.proj(self.gru(x)[0])

    def forward_flops(self, L, B, vocab):
        d, h = self.d_model, self.width
        return {"matmul": 2 * 3 * d * h + 2 * 3 * h * h + 2 * h * d + 2 * d * vocab}


def gated_scan(delta, gate, log_a, chunk=64):
    """sigma_t = a sigma_{t-1} + (1 - a) gate_t delta_t from sigma_{-1} = 0, a = exp(log_a)."""
    B, T, S = delta.shape
    a = log_a.exp()
    u = (1 - a) * gate * delta
    C = min(chunk, max(T, 1))
    n = -(-T // C)
    if n * C != T:
        u = F.pad(u, (0, 0, 0, n * C - T))
    u = u.view(B, n, C, S)
    i = torch.arange(C, device=delta.device)
    lag = (i[:, None] - i[None, :]).to(delta.dtype)
    inside = torch.exp(lag.clamp_min(0) * log_a) * (lag >= 0)        # a^(i - j), j <= i
    intra = torch.matmul(inside, u)                                     # [B, n, C, S]
    k = torch.arange(n, device=delta.device)
    lag_k = (k[:, None] - k[None, :] - 1).to(delta.dtype)
    across = torch.exp(lag_k.clamp_min(0) * (C * log_a)) * (lag_k >= 0)  # a^(C (k - 1 - j)), j < k
    carry = torch.matmul(across, intra[:, :, -1, :])                    # state entering each chunk
    sigma = intra + torch.exp((i + 1).to(delta.dtype) * log_a)[:, None] * carry[:, :, None, :]
    return sigma.view(B, n * C, S)[:, :T]


class _GatedRecurrentLayer(nn.Module):
    def __init__(self, d_model, d_state, g_min=0.1, g_max=1.0, pressure=0.5, coupling=0.5):
        super().__init__()
        self.input_proj = nn.Linear(d_model, d_state, bias=False)
        self.output_proj = nn.Linear(d_state, d_model, bias=False)
        self.gate_train = nn.Linear(d_model + d_state + 1, d_state, bias=False)
        self.gate_infer = nn.Linear(d_model, d_state, bias=False)
        self.predictor = nn.Linear(d_state, d_state)
        self.alpha_raw = nn.Parameter(torch.tensor(math.log(9.0)))
        self.surprisal_gain = nn.Parameter(torch.tensor(1.0))
        self.band = pressure * (g_max - g_min) + g_min
        self.coupling = coupling
        self.d_state = d_state

    def forward(self, x):
        B, T, _ = x.shape
        delta = self.input_proj(x)
        prev = x.new_zeros(B, self.d_state)
        state_delta = delta - prev[:, None]
        surprisal = torch.linalg.vector_norm(delta[:, 0] - self.predictor(prev), dim=-1).mean().clamp(0.0, 5.0)
        s = surprisal * self.surprisal_gain
        gate_in = torch.cat([x, state_delta, s.expand(B, T, 1)], -1)
        gate = self.gate_train(gate_in) * (self.band * s) + self.coupling * self.gate_infer(x)
        sigma = gated_scan(delta, gate, F.logsigmoid(self.alpha_raw))
        return self.output_proj(sigma)


class GatedRecurrenceLM(_TiedLM):
    def __init__(self, vocab, d_model, width):
        super().__init__(vocab, d_model)
        self.layer = _GatedRecurrentLayer(d_model, width)
        self.width = width

    def body(self, x):
        return x + self.layer(x)

    def forward_flops(self, L, B, vocab):
        d, s = self.d_model, self.width
        return {"matmul": 2 * d * s + 2 * (d + s + 1) * s + 2 * d * s + 2 * s * d + 2 * s * s / L + 2 * d * vocab,
                "scan": 4 * s}

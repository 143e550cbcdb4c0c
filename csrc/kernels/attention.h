// Attention kernels of the heavy core.
//
// causal_attention: softmax(q k^T * scale, masked so that query i sees keys 0..i) v, for q of
// shape [..., Lq, E], k [..., Lk, E] and v [..., Lk, Ev] (the layout of scaled dot-product
// attention: batch and heads leading). On CPU it runs by row blocks of queries, each against only
// the keys it may see: scores never exceed one block (a few tens of MB) whatever the length, the
// masked half of the score matrix is never computed, and the backward recomputes the block's
// probabilities. Elsewhere (and for shapes the blocked path does not take, such as broadcast
// batches) it is the math path of the reference; no back-end is chosen by process-wide flags.
//
// linear_attention: causal kernelised attention, for features q, k [B, L, H, d] (already mapped to
// positive features) and values v [B, L, H, e]: position l reads only positions 0..l,
//   out[b, l, h] = (q[b, l, h] . sum_{s<=l} k[b, s, h] v[b, s, h]^T)
//                / (q[b, l, h] . sum_{s<=l} k[b, s, h] + 1e-6)
// On the CPU each (batch row, head) sweeps the sequence once forwards with its running key-value
// summary and key sum, and the backward adds a reverse sweep of the summary of later positions:
// time linear in L, no L x L matrix and nothing but the outputs and small per-thread buffers
// allocated. Other devices run the reference forwards and chunked products backwards.
#pragma once

#include <ATen/ATen.h>

namespace kestrel::kernels {

// torch.ops.kestrel.causal_attention.
at::Tensor causal_attention(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v, double scale);
// The math path: full score matrix, mask, softmax, product. torch.ops.kestrel.causal_attention_reference.
at::Tensor causal_attention_reference(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v,
                                      double scale);

// torch.ops.kestrel.linear_attention.
at::Tensor linear_attention(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v);
// The same sums written out with per-position running sums. torch.ops.kestrel.linear_attention_reference.
at::Tensor linear_attention_reference(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v);

// torch.ops.kestrel.linear_attention_features: (elu(x) + 1) ** exponent, for a one-element exponent
// tensor (the linear bridge's query features), in one pass each way.
at::Tensor linear_attention_features(const at::Tensor& x, const at::Tensor& exponent);
// The ATen composition. torch.ops.kestrel.linear_attention_features_reference.
at::Tensor linear_attention_features_reference(const at::Tensor& x, const at::Tensor& exponent);

}  // namespace kestrel::kernels

// Attention kernels of the heavy core.
//
// causal_attention: softmax(q k^T * scale, masked so that query i sees keys 0..i) v, for q of
// shape [..., Lq, E], k [..., Lk, E] and v [..., Lk, Ev] (the layout of scaled dot-product
// attention: batch and heads leading). On CPU it runs by row blocks of queries, each against only
// the keys it may see: scores never exceed one block (a few tens of MB) whatever the length, the
// masked half of the score matrix is never computed, and the backward recomputes the block's
// probabilities. Elsewhere it is the tensor library's fused attention.
//
// linear_attention: kernelised attention without mask, for features q [B, L, H, d] and
// k [B, S, H, d] (already mapped to positive features) and values v [B, S, H, e]:
//   out[b, l, h] = (q[b, l, h] . sum_s k[b, s, h] v[b, s, h]^T) / (q[b, l, h] . sum_s k[b, s, h] + 1e-6)
// computed with one batched product for the key-value summary and its key sum (a ones column
// appended to v) and one for numerator and denominator.
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
// The same contraction written as three einsums. torch.ops.kestrel.linear_attention_reference.
at::Tensor linear_attention_reference(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v);

}  // namespace kestrel::kernels

#include "kernels/attention.h"

#include <ATen/core/dispatch/Dispatcher.h>
#include <torch/csrc/autograd/custom_function.h>
#include <torch/library.h>
#include <torch/version.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace kestrel::kernels {
namespace {

// Scores held at once by one block of query rows (elements, over the whole batch).
constexpr int64_t kBlockScores = int64_t(1) << 22;

// The tensor library's own fused attention, causal, without dropout or mask.
at::Tensor library_attention(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v, double scale) {
#if TORCH_VERSION_MAJOR > 2 || (TORCH_VERSION_MAJOR == 2 && TORCH_VERSION_MINOR >= 1)
  return at::scaled_dot_product_attention(q, k, v, {}, 0.0, true, scale);
#else
  // No scale argument: the library divides by sqrt(E), so the queries carry the rest.
  const double prescale = scale * std::sqrt(static_cast<double>(q.size(-1)));
#if TORCH_VERSION_MAJOR >= 2
  return at::scaled_dot_product_attention(q * prescale, k, v, {}, 0.0, true);
#else
  return std::get<0>(at::_scaled_dot_product_attention(q * prescale, k, v, {}, 0.0, false, true));
#endif
#endif
}

bool blocked_path_covers(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v) {
  if (!q.defined() || !k.defined() || !v.defined()) return false;
  if (!q.device().is_cpu() || !k.device().is_cpu() || !v.device().is_cpu()) return false;
  const auto dtype = q.scalar_type();
  if (!at::isFloatingType(dtype) || k.scalar_type() != dtype || v.scalar_type() != dtype) return false;
  const int64_t dims = q.dim();
  if (dims < 2 || k.dim() != dims || v.dim() != dims) return false;
  for (int64_t i = 0; i < dims - 2; ++i) {
    if (k.size(i) != q.size(i) || v.size(i) != q.size(i)) return false;
  }
  if (k.size(-1) != q.size(-1) || v.size(-2) != k.size(-2)) return false;
  return q.size(-2) > 0 && k.size(-2) > 0 && q.size(-1) > 0 && q.numel() > 0;
}

int64_t block_rows(int64_t batch, int64_t queries, int64_t keys) {
  const int64_t per_row = std::max<int64_t>(1, batch * keys);
  return std::clamp<int64_t>(kBlockScores / per_row, 1, queries);
}

// Query rows [i0, i0 + rows) against keys [0, visible): masks the keys after each row. Only the
// columns from i0 on can lie after a row of the block.
void mask_later_keys(at::Tensor& scores, int64_t i0, int64_t rows, int64_t visible) {
  if (visible <= i0 + 1) return;
  const int64_t width = visible - i0;
  auto index = at::TensorOptions().dtype(at::kLong);
  at::Tensor later = at::arange(width, index).unsqueeze(0) > at::arange(rows, index).unsqueeze(1);
  scores.narrow(2, i0, width).masked_fill_(later, -std::numeric_limits<double>::infinity());
}

// Attention probabilities of one block of query rows: [N, rows, visible].
at::Tensor block_probs(const at::Tensor& q, const at::Tensor& k, double scale, int64_t i0, int64_t rows,
                       int64_t visible) {
  at::Tensor scores = at::bmm(q.narrow(1, i0, rows) * scale, k.narrow(1, 0, visible).transpose(1, 2));
  mask_later_keys(scores, i0, rows, visible);
  return at::softmax(scores, -1);
}

class CausalAttentionFunction : public torch::autograd::Function<CausalAttentionFunction> {
 public:
  // q [N, Lq, E], k [N, Lk, E], v [N, Lk, Ev], contiguous, one floating dtype.
  static at::Tensor forward(torch::autograd::AutogradContext* ctx, const at::Tensor& q, const at::Tensor& k,
                            const at::Tensor& v, double scale) {
    const int64_t N = q.size(0), Lq = q.size(1), Lk = k.size(1), Ev = v.size(2);
    at::Tensor out = at::empty({N, Lq, Ev}, q.options());
    const int64_t step = block_rows(N, Lq, Lk);
    for (int64_t i0 = 0; i0 < Lq; i0 += step) {
      const int64_t rows = std::min(step, Lq - i0);
      const int64_t visible = std::min(i0 + rows, Lk);
      at::Tensor probs = block_probs(q, k, scale, i0, rows, visible);
      out.narrow(1, i0, rows).copy_(at::bmm(probs, v.narrow(1, 0, visible)));
    }
    // The backward recomputes each block's probabilities: nothing of size L x L is kept.
    ctx->save_for_backward({q, k, v, out});
    ctx->saved_data["scale"] = scale;
    return out;
  }

  static torch::autograd::variable_list backward(torch::autograd::AutogradContext* ctx,
                                                 torch::autograd::variable_list grads) {
    auto saved = ctx->get_saved_variables();
    const at::Tensor& q = saved[0];
    const at::Tensor& k = saved[1];
    const at::Tensor& v = saved[2];
    const at::Tensor& out = saved[3];
    const double scale = ctx->saved_data["scale"].toDouble();
    at::Tensor dq = at::zeros_like(q), dk = at::zeros_like(k), dv = at::zeros_like(v);
    if (!grads[0].defined()) return {dq, dk, dv, at::Tensor()};
    at::Tensor d_out = grads[0].to(q.scalar_type()).contiguous();
    // Row sums of d_out * out: the softmax backward's correction, one number per query.
    at::Tensor delta = (d_out * out).sum(-1);
    const int64_t N = q.size(0), Lq = q.size(1), Lk = k.size(1);
    const int64_t step = block_rows(N, Lq, Lk);
    for (int64_t i0 = 0; i0 < Lq; i0 += step) {
      const int64_t rows = std::min(step, Lq - i0);
      const int64_t visible = std::min(i0 + rows, Lk);
      at::Tensor qb = q.narrow(1, i0, rows);
      at::Tensor kb = k.narrow(1, 0, visible);
      at::Tensor d_out_b = d_out.narrow(1, i0, rows);
      at::Tensor probs = block_probs(q, k, scale, i0, rows, visible);
      dv.narrow(1, 0, visible).baddbmm_(probs.transpose(1, 2), d_out_b);
      at::Tensor d_scores = at::bmm(d_out_b, v.narrow(1, 0, visible).transpose(1, 2));
      d_scores.sub_(delta.narrow(1, i0, rows).unsqueeze(-1)).mul_(probs);
      dq.narrow(1, i0, rows).baddbmm_(d_scores, kb, 1, scale);
      dk.narrow(1, 0, visible).baddbmm_(d_scores.transpose(1, 2), qb, 1, scale);
    }
    return {dq, dk, dv, at::Tensor()};
  }
};

at::Tensor causal_attention_composite(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v,
                                      double scale) {
  if (!blocked_path_covers(q, k, v)) return library_attention(q, k, v, scale);
  const auto dtype = q.scalar_type();
  // Half and bfloat16 accumulate in float32.
  const auto compute = (dtype == at::kHalf || dtype == at::kBFloat16) ? at::kFloat : dtype;
  const int64_t Lq = q.size(-2), Lk = k.size(-2), E = q.size(-1), Ev = v.size(-1);
  const int64_t N = q.numel() / (Lq * E);
  at::Tensor q3 = q.to(compute).reshape({N, Lq, E}).contiguous();
  at::Tensor k3 = k.to(compute).reshape({N, Lk, E}).contiguous();
  at::Tensor v3 = v.to(compute).reshape({N, Lk, Ev}).contiguous();
  at::Tensor out = CausalAttentionFunction::apply(q3, k3, v3, scale);
  std::vector<int64_t> shape = q.sizes().vec();
  shape.back() = Ev;
  return out.view(shape).to(dtype);
}

bool fused_linear_path_covers(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v) {
  if (q.dim() != 4 || k.dim() != 4 || v.dim() != 4) return false;
  const auto dtype = q.scalar_type();
  if (!at::isFloatingType(dtype) || k.scalar_type() != dtype || v.scalar_type() != dtype) return false;
  if (k.device() != q.device() || v.device() != q.device()) return false;
  return k.size(0) == q.size(0) && v.size(0) == q.size(0) && k.size(2) == q.size(2) &&
         v.size(2) == q.size(2) && k.size(3) == q.size(3) && v.size(1) == k.size(1);
}

// Positions per chunk of the causal linear attention: inside a chunk a masked C x C product,
// across chunks the running key-value summary. 64 keeps the masked products small and the
// per-chunk summaries (n_heads * d * (e + 1) values each) few.
constexpr int64_t kLinearChunk = 64;

at::Tensor linear_attention_composite(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v) {
  if (!fused_linear_path_covers(q, k, v) || k.size(1) != q.size(1)) {
    return linear_attention_reference(q, k, v);
  }
  const int64_t B = q.size(0), L = q.size(1), H = q.size(2), d = q.size(3), e = v.size(3);
  if (L == 0) return at::empty({B, 0, H, e}, v.options());
  const int64_t C = std::min(kLinearChunk, L);
  const int64_t n = (L + C - 1) / C, padded = n * C;
  // [B, H, n, C, *] chunks; zero padding adds keys without weight and queries that are dropped.
  auto chunks = [&](const at::Tensor& t) {
    at::Tensor heads = t.permute({0, 2, 1, 3});
    if (padded != L) heads = at::constant_pad_nd(heads, {0, 0, 0, padded - L});
    return heads.reshape({B, H, n, C, heads.size(3)});
  };
  at::Tensor qc = chunks(q), kc = chunks(k);
  // [v | 1]: the same products give numerator and, in the last column, the denominator.
  at::Tensor vc = chunks(at::cat({v, at::ones({B, L, H, 1}, v.options())}, 3));
  // Within a chunk, query i sees keys 0..i of the chunk.
  at::Tensor seen = at::ones({C, C}, q.options()).tril();
  at::Tensor local = at::matmul(at::matmul(qc, kc.transpose(-2, -1)) * seen, vc);
  // Across chunks, the summary of every earlier chunk: an exclusive running sum.
  at::Tensor summary = at::matmul(kc.transpose(-2, -1), vc);  // [B, H, n, d, e + 1]
  at::Tensor earlier = at::constant_pad_nd(summary.narrow(2, 0, n - 1).cumsum(2), {0, 0, 0, 0, 1, 0});
  at::Tensor num_den = local + at::matmul(qc, earlier);        // [B, H, n, C, e + 1]
  num_den = num_den.reshape({B, H, padded, e + 1}).narrow(2, 0, L);
  at::Tensor out = num_den.narrow(3, 0, e) / (num_den.narrow(3, e, 1) + 1e-6);
  return out.permute({0, 2, 1, 3});
}

template <typename Signature>
c10::TypedOperatorHandle<Signature> op(const char* name) {
  return c10::Dispatcher::singleton().findSchemaOrThrow(name, "").typed<Signature>();
}

}  // namespace

at::Tensor causal_attention(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v, double scale) {
  static auto handle = op<at::Tensor(const at::Tensor&, const at::Tensor&, const at::Tensor&, double)>(
      "kestrel::causal_attention");
  return handle.call(q, k, v, scale);
}

at::Tensor causal_attention_reference(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v,
                                      double scale) {
  const int64_t Lq = q.size(-2), Lk = k.size(-2);
  at::Tensor scores = at::matmul(q, k.transpose(-2, -1)) * scale;
  at::Tensor later = at::ones({Lq, Lk}, at::TensorOptions().dtype(at::kBool).device(q.device())).triu(1);
  scores = scores.masked_fill(later, -std::numeric_limits<double>::infinity());
  return at::matmul(at::softmax(scores, -1), v);
}

at::Tensor linear_attention(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v) {
  static auto handle = op<at::Tensor(const at::Tensor&, const at::Tensor&, const at::Tensor&)>(
      "kestrel::linear_attention");
  return handle.call(q, k, v);
}

at::Tensor linear_attention_reference(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v) {
  // Position l reads the running sums over positions 0..l.
  at::Tensor kv = at::einsum("blhd,blhv->blhdv", {k, v}).cumsum(1);
  at::Tensor num = at::einsum("blhd,blhdv->blhv", {q, kv});
  at::Tensor k_sum = k.cumsum(1);
  at::Tensor den = at::einsum("blhd,blhd->blh", {q, k_sum}).unsqueeze(-1);
  return num / (den + 1e-6);
}

TORCH_LIBRARY_FRAGMENT(kestrel, m) {
  m.def("causal_attention(Tensor q, Tensor k, Tensor v, float scale) -> Tensor");
  m.def("causal_attention_reference(Tensor q, Tensor k, Tensor v, float scale) -> Tensor");
  m.def("linear_attention(Tensor q, Tensor k, Tensor v) -> Tensor");
  m.def("linear_attention_reference(Tensor q, Tensor k, Tensor v) -> Tensor");
}

TORCH_LIBRARY_IMPL(kestrel, CompositeImplicitAutograd, m) {
  m.impl("causal_attention", &causal_attention_composite);
  m.impl("causal_attention_reference", &causal_attention_reference);
  m.impl("linear_attention", &linear_attention_composite);
  m.impl("linear_attention_reference", &linear_attention_reference);
}

}  // namespace kestrel::kernels

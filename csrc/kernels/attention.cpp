#include "kernels/attention.h"

#include "kernels/op_support.h"
#include "runtime/runtime.h"

#include <ATen/Dispatch.h>
#include <ATen/Parallel.h>
#include <ATen/core/dispatch/Dispatcher.h>
#include <torch/csrc/autograd/autograd_not_implemented_fallback.h>
#include <torch/csrc/autograd/custom_function.h>
#include <torch/library.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>
#include <type_traits>
#include <vector>

namespace kestrel::kernels {
namespace {

// Scores held at once by one block of query rows (elements, over the whole batch).
constexpr int64_t kBlockScores = int64_t(1) << 22;

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
  auto index = at::TensorOptions().dtype(at::kLong).device(scores.device());
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

// Half and bfloat16 accumulate in float32.
at::ScalarType compute_dtype(at::ScalarType dtype) {
  return (dtype == at::kHalf || dtype == at::kBFloat16) ? at::kFloat : dtype;
}

// [..., L, E] as [N, L, E] in the compute dtype, contiguous; N from the queries, which the
// blocked path takes only when they hold elements.
at::Tensor as_batch3(const at::Tensor& t, const at::Tensor& q, at::ScalarType compute) {
  const int64_t N = q.numel() / (q.size(-2) * q.size(-1));
  return t.to(compute).reshape({N, t.size(-2), t.size(-1)}).contiguous();
}

// q [N, Lq, E], k [N, Lk, E], v [N, Lk, Ev], contiguous, one floating dtype.
at::Tensor blocked_forward(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v, double scale) {
  const int64_t N = q.size(0), Lq = q.size(1), Lk = k.size(1), Ev = v.size(2);
  at::Tensor out = at::empty({N, Lq, Ev}, q.options());
  const int64_t step = block_rows(N, Lq, Lk);
  for (int64_t i0 = 0; i0 < Lq; i0 += step) {
    const int64_t rows = std::min(step, Lq - i0);
    const int64_t visible = std::min(i0 + rows, Lk);
    at::Tensor probs = block_probs(q, k, scale, i0, rows, visible);
    out.narrow(1, i0, rows).copy_(at::bmm(probs, v.narrow(1, 0, visible)));
  }
  return out;
}

using Grads3 = std::tuple<at::Tensor, at::Tensor, at::Tensor>;

// The backward recomputes each block's probabilities: nothing of size L x L is kept.
Grads3 blocked_backward(const at::Tensor& d_out, const at::Tensor& q, const at::Tensor& k, const at::Tensor& v,
                        const at::Tensor& out, double scale) {
  at::Tensor dq = at::zeros_like(q), dk = at::zeros_like(k), dv = at::zeros_like(v);
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
  return {dq, dk, dv};
}

using AttentionSignature = at::Tensor(const at::Tensor&, const at::Tensor&, const at::Tensor&, double);
using AttentionBackwardSignature = Grads3(const at::Tensor&, const at::Tensor&, const at::Tensor&,
                                          const at::Tensor&, const at::Tensor&, double);

// The probabilities of the math path: full score matrix, mask, softmax.
at::Tensor reference_probs(const at::Tensor& q, const at::Tensor& k, double scale) {
  const int64_t Lq = q.size(-2), Lk = k.size(-2);
  at::Tensor scores = at::matmul(q, k.transpose(-2, -1)) * scale;
  at::Tensor later = at::ones({Lq, Lk}, at::TensorOptions().dtype(at::kBool).device(q.device())).triu(1);
  scores = scores.masked_fill(later, -std::numeric_limits<double>::infinity());
  return at::softmax(scores, -1);
}

at::Tensor causal_attention_cpu(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v, double scale) {
  if (!blocked_path_covers(q, k, v)) return causal_attention_reference(q, k, v, scale);
  const auto compute = compute_dtype(q.scalar_type());
  at::Tensor out =
      blocked_forward(as_batch3(q, q, compute), as_batch3(k, q, compute), as_batch3(v, q, compute), scale);
  std::vector<int64_t> shape = q.sizes().vec();
  shape.back() = v.size(-1);
  return out.view(shape).to(q.scalar_type());
}

// The backward of the math path written out, for every device; broadcast batch dimensions are
// summed back to each input's shape.
Grads3 causal_attention_backward_reference(const at::Tensor& grad, const at::Tensor& q, const at::Tensor& k,
                                           const at::Tensor& v, const at::Tensor& out, double scale) {
  at::Tensor probs = reference_probs(q, k, scale);
  at::Tensor g = grad.to(probs.scalar_type());
  at::Tensor dv = at::matmul(probs.transpose(-2, -1), g);
  at::Tensor dp = at::matmul(g, v.transpose(-2, -1));
  at::Tensor ds = probs * (dp - (dp * probs).sum(-1, true));
  at::Tensor dq = at::matmul(ds, k) * scale;
  at::Tensor dk = at::matmul(ds.transpose(-2, -1), q) * scale;
  return {at::sum_to(dq, q.sizes()).to(q.scalar_type()), at::sum_to(dk, k.sizes()).to(k.scalar_type()),
          at::sum_to(dv, v.sizes()).to(v.scalar_type())};
}

Grads3 causal_attention_backward_cpu(const at::Tensor& grad, const at::Tensor& q, const at::Tensor& k,
                                     const at::Tensor& v, const at::Tensor& out, double scale) {
  if (!blocked_path_covers(q, k, v)) return causal_attention_backward_reference(grad, q, k, v, out, scale);
  const auto compute = compute_dtype(q.scalar_type());
  auto [dq, dk, dv] = blocked_backward(as_batch3(grad, q, compute), as_batch3(q, q, compute),
                                       as_batch3(k, q, compute), as_batch3(v, q, compute),
                                       as_batch3(out, q, compute), scale);
  return {dq.view(q.sizes()).to(q.scalar_type()), dk.view(k.sizes()).to(k.scalar_type()),
          dv.view(v.sizes()).to(v.scalar_type())};
}

Grads3 causal_attention_backward_meta(const at::Tensor& grad, const at::Tensor& q, const at::Tensor& k,
                                      const at::Tensor& v, const at::Tensor& out, double scale) {
  return {at::empty_like(q), at::empty_like(k), at::empty_like(v)};
}

class CausalAttentionFunction : public torch::autograd::Function<CausalAttentionFunction> {
 public:
  static at::Tensor forward(torch::autograd::AutogradContext* ctx, const at::Tensor& q, const at::Tensor& k,
                            const at::Tensor& v, double scale) {
    at::Tensor out;
    {
      at::AutoDispatchBelowADInplaceOrView below;
      static auto op = kestrel_op<AttentionSignature>("kestrel::causal_attention");
      out = op.call(q, k, v, scale);
    }
    ctx->save_for_backward({q, k, v, out});
    ctx->saved_data["scale"] = scale;
    return out;
  }

  static torch::autograd::variable_list backward(torch::autograd::AutogradContext* ctx,
                                                 torch::autograd::variable_list grads) {
    auto saved = ctx->get_saved_variables();
    const double scale = ctx->saved_data["scale"].toDouble();
    const at::Tensor& grad = grads[0];
    if (!grad.defined()) return {at::Tensor(), at::Tensor(), at::Tensor(), at::Tensor()};
    if (at::GradMode::is_enabled()) {
      // A graph of the backward is wanted: second and higher orders come from the reference.
      auto g = reference_vjp(
          [scale](const std::vector<at::Tensor>& x) { return causal_attention_reference(x[0], x[1], x[2], scale); },
          {saved[0], saved[1], saved[2]}, grad);
      return {g[0], g[1], g[2], at::Tensor()};
    }
    static auto op = kestrel_op<AttentionBackwardSignature>("kestrel::_causal_attention_backward");
    at::AutoDispatchBelowADInplaceOrView below;  // no graph: past the boxed autograd fallback
    auto [dq, dk, dv] = op.call(grad, saved[0], saved[1], saved[2], saved[3], scale);
    return {dq, dk, dv, at::Tensor()};
  }
};

at::Tensor causal_attention_autograd(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v, double scale) {
  return CausalAttentionFunction::apply(q, k, v, scale);
}

// ---------------------------------------------------------------------------------------------
// Linear attention

void check_linear_inputs(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v) {
  TORCH_CHECK(q.dim() == 4 && k.sizes() == q.sizes() && v.dim() == 4 && v.size(0) == q.size(0) &&
                  v.size(1) == q.size(1) && v.size(2) == q.size(2),
              "linear_attention: q and k must be [B, L, H, d] and v [B, L, H, e], got ", q.sizes(), ", ",
              k.sizes(), " and ", v.sizes());
  TORCH_CHECK(at::isFloatingType(q.scalar_type()) && k.scalar_type() == q.scalar_type() &&
                  v.scalar_type() == q.scalar_type(),
              "linear_attention: q, k and v must share one floating dtype, got ", q.scalar_type(), ", ",
              k.scalar_type(), " and ", v.scalar_type());
  TORCH_CHECK(k.device() == q.device() && v.device() == q.device(),
              "linear_attention: q, k and v must be on one device");
}

// Positions per chunk of the causal linear attention: inside a chunk a masked C x C product,
// across chunks the running key-value summary. 64 keeps the masked products small and the
// per-chunk summaries (n_heads * d * (e + 1) values each) few.
constexpr int64_t kLinearChunk = 64;

constexpr double kLinearEps = 1e-6;

// The chunk layout of a [B, L, H, w] tensor: [B, H, n, C, w], zero padded to n * C positions
// (padding adds keys without weight and queries that are dropped).
struct Chunking {
  int64_t B, L, H, C, n;
  explicit Chunking(const at::Tensor& q)
      : B(q.size(0)), L(q.size(1)), H(q.size(2)), C(std::max<int64_t>(1, std::min(kLinearChunk, q.size(1)))),
        n((q.size(1) + C - 1) / C) {}
  int64_t padded() const { return n * C; }
  at::Tensor split(const at::Tensor& t) const {
    at::Tensor heads = t.permute({0, 2, 1, 3});
    if (padded() != L) heads = at::constant_pad_nd(heads, {0, 0, 0, padded() - L});
    return heads.reshape({B, H, n, C, t.size(3)});
  }
  at::Tensor join(const at::Tensor& t) const {
    return t.reshape({B, H, padded(), t.size(4)}).narrow(2, 0, L).permute({0, 2, 1, 3});
  }
  // Within a chunk, query i sees keys 0..i of the chunk.
  at::Tensor seen(const at::TensorOptions& options) const { return at::ones({C, C}, options).tril(); }
};

// [v | 1]: the same products give numerator and, in the last column, the denominator.
at::Tensor with_ones(const at::Tensor& v) {
  return at::cat({v, at::ones({v.size(0), v.size(1), v.size(2), 1}, v.options())}, 3);
}

// Per-chunk sums [B, H, n, *, *] of earlier chunks (exclusive running sum forwards) or of later
// chunks (backwards).
at::Tensor earlier_chunks(const at::Tensor& per_chunk) {
  const int64_t n = per_chunk.size(2);
  return at::constant_pad_nd(per_chunk.narrow(2, 0, n - 1).cumsum(2), {0, 0, 0, 0, 1, 0});
}
at::Tensor later_chunks(const at::Tensor& per_chunk) {
  const int64_t n = per_chunk.size(2);
  at::Tensor tail = per_chunk.narrow(2, 1, n - 1).flip(2).cumsum(2).flip(2);
  return at::constant_pad_nd(tail, {0, 0, 0, 0, 0, 1});
}

// With N = [num | den], out = num / (den + eps): dN = [g / den' | -sum(g * out) / den'], and the
// products of the forward run backwards through the same chunks.
Grads3 linear_backward_chunked(const at::Tensor& grad, const at::Tensor& q, const at::Tensor& k,
                               const at::Tensor& v, const at::Tensor& out) {
  const Chunking ch(q);
  at::Tensor den = (q * k.cumsum(1)).sum(-1, true) + kLinearEps;  // [B, L, H, 1]
  at::Tensor g = grad.to(q.scalar_type());
  at::Tensor d_nd = at::cat({g / den, -(g * out).sum(-1, true) / den}, 3);
  at::Tensor qc = ch.split(q), kc = ch.split(k), vc = ch.split(with_ones(v)), dc = ch.split(d_nd);
  at::Tensor seen = ch.seen(q.options());
  at::Tensor scores = at::matmul(qc, kc.transpose(-2, -1)) * seen;      // [B, H, n, C, C]
  at::Tensor d_scores = at::matmul(dc, vc.transpose(-2, -1)) * seen;    // [B, H, n, C, C]
  at::Tensor earlier = earlier_chunks(at::matmul(kc.transpose(-2, -1), vc));  // [B, H, n, d, e + 1]
  at::Tensor later = later_chunks(at::matmul(qc.transpose(-2, -1), dc));      // [B, H, n, d, e + 1]
  at::Tensor dq = at::matmul(d_scores, kc) + at::matmul(dc, earlier.transpose(-2, -1));
  at::Tensor dk = at::matmul(d_scores.transpose(-2, -1), qc) + at::matmul(vc, later.transpose(-2, -1));
  at::Tensor dv = at::matmul(scores.transpose(-2, -1), dc) + at::matmul(kc, later);
  return {ch.join(dq), ch.join(dk), ch.join(dv).narrow(3, 0, v.size(3))};
}

// The CPU kernel: one task per (batch row, group of heads), each head sweeping the sequence with its running
// key-value summary S (d x e) and key sum z (d) in a small per-thread buffer, so the work is
// 4 d e multiply-adds a position forwards and nothing is zero-filled or masked.
//
//   forwards   S_l = S_{l-1} + k_l v_l^T,  z_l = z_{l-1} + k_l,  out_l = q_l S_l / (q_l . z_l + eps)
//   backwards  with dN_l = [g_l / den_l | -sum(g_l * out_l) / den_l] = [dn_l | dz_l]:
//              dq_l = S_l dn_l + z_l dz_l                                    (a forward sweep)
//              R_l = sum_{s>=l} q_s dn_s^T,  r_l = sum_{s>=l} q_s dz_s          (a reverse sweep)
//              dk_l = R_l v_l + r_l,  dv_l = R_l^T k_l
//
// The inner loops run along contiguous rows with restrict-qualified pointers, so the compiler
// vectorises them; reductions are OpenMP simd reductions.

// The sweeps and their row helpers are inlined into each instruction-set clone of the sweep.
#if defined(__GNUC__) && defined(__x86_64__)
#define KESTREL_SWEEP_CLONES 1
#define KESTREL_SWEEP_INLINE __attribute__((always_inline)) inline
#else
#define KESTREL_SWEEP_CLONES 0
#define KESTREL_SWEEP_INLINE inline
#endif

// [B, L, H, w] rows of one tensor: unit stride along w, any strides elsewhere.
template <typename T>
struct HeadRows {
  T* data;
  int64_t sb, sl, sh;
  explicit HeadRows(const at::Tensor& t)
      : data(t.data_ptr<T>()), sb(t.stride(0)), sl(t.stride(1)), sh(t.stride(2)) {}
  T* row(int64_t b, int64_t l, int64_t h) const { return data + b * sb + l * sl + h * sh; }
};

// In the compute dtype, with unit stride along the last dimension (a view when it already is).
at::Tensor kernel_operand(const at::Tensor& t, at::ScalarType compute) {
  at::Tensor c = converted(t, t.device(), compute);
  return (c.size(3) > 1 && c.stride(3) != 1) ? c.contiguous() : c;
}

// Multiply-adds below which a call stays on one thread: waking the pool costs more than this.
constexpr int64_t kLinearMinWork = int64_t(1) << 16;

// Bytes of running summaries one task keeps: well inside a first-level data cache.
constexpr int64_t kLinearSummaryBytes = int64_t(16) << 10;

// The work split: one task per (batch row, group of adjacent heads). At each position a task reads
// the rows of all its heads, which lie side by side in [B, L, H, w], so the sweep streams whole
// cache lines even when one head's row is shorter than a line. Groups are as large as the cache
// allows, but small enough that every thread gets a task.
struct HeadGroups {
  int64_t B, H, size, per_row;
  int64_t tasks() const { return B * per_row; }
  int64_t batch(int64_t task) const { return task / per_row; }
  int64_t first(int64_t task) const { return (task % per_row) * size; }
  int64_t count(int64_t task) const { return std::min(size, H - first(task)); }
  // Tasks a thread takes at least: tiny problems stay on the calling thread.
  int64_t grain(int64_t L, int64_t d, int64_t e) const {
    const int64_t per_task = std::max<int64_t>(1, size * L * (d * (e + 1) + e));
    return std::max<int64_t>(1, (kLinearMinWork + per_task - 1) / per_task);
  }
};

HeadGroups head_groups(int64_t B, int64_t H, int64_t d, int64_t e, int64_t element_bytes) {
  const int64_t summary = std::max<int64_t>(1, (d * e + d) * element_bytes);
  const int64_t threads = std::max<int64_t>(1, at::get_num_threads());
  int64_t size = std::clamp<int64_t>(kLinearSummaryBytes / summary, 1, H);
  size = std::max<int64_t>(1, std::min(size, B * H / threads));
  return {B, H, size, (H + size - 1) / size};
}

// z += k and the denominator q . z + eps.
template <typename T>
KESTREL_SWEEP_INLINE T add_keys(const T* __restrict q, const T* __restrict k, T* __restrict z, int64_t d) {
  T den = 0;
#pragma omp simd reduction(+ : den)
  for (int64_t i = 0; i < d; ++i) {
    z[i] += k[i];
    den += q[i] * z[i];
  }
  return den + static_cast<T>(kLinearEps);
}

// The summaries are swept in column tiles of one cache line: a tile's slices of v, dn and the
// accumulated outputs stay in registers while the d rows of the tile stream through once. W is
// the tile's width when it is a whole tile (known when compiling, so the loops unroll), 0 for the
// last, narrower tile of width w.
template <typename T>
constexpr int64_t kTile = int64_t(64) / static_cast<int64_t>(sizeof(T));

// Forwards, columns [j0, j0 + w) of S (row stride e): S += k v^T, num = q S.
template <typename T, int64_t W>
KESTREL_SWEEP_INLINE void read_tile(const T* __restrict q, const T* __restrict k, const T* __restrict v,
                                    T* __restrict S, T* __restrict num, int64_t d, int64_t e, int64_t w_tail) {
  const int64_t w = W ? W : w_tail;
  T vv[kTile<T>], acc[kTile<T>];
  for (int64_t j = 0; j < w; ++j) {
    vv[j] = v[j];
    acc[j] = T(0);
  }
  for (int64_t i = 0; i < d; ++i) {
    const T ki = k[i], qi = q[i];
    T* __restrict row = S + i * e;
#pragma omp simd
    for (int64_t j = 0; j < w; ++j) {
      row[j] += ki * vv[j];
      acc[j] += qi * row[j];
    }
  }
  for (int64_t j = 0; j < w; ++j) num[j] = acc[j];
}

// Backwards, reverse sweep, columns [j0, j0 + w) of R: R += q dn^T, dv = R^T k, dk += R v.
template <typename T, int64_t W>
KESTREL_SWEEP_INLINE void key_value_grad_tile(const T* __restrict q, const T* __restrict k, const T* __restrict v,
                                              const T* __restrict dn, T* __restrict R, T* __restrict dk,
                                              T* __restrict dv, int64_t d, int64_t e, int64_t w_tail) {
  const int64_t w = W ? W : w_tail;
  T vv[kTile<T>], dd[kTile<T>], acc[kTile<T>];
  for (int64_t j = 0; j < w; ++j) {
    vv[j] = v[j];
    dd[j] = dn[j];
    acc[j] = T(0);
  }
  for (int64_t i = 0; i < d; ++i) {
    const T qi = q[i], ki = k[i];
    T* __restrict row = R + i * e;
    T sum = 0;
#pragma omp simd reduction(+ : sum)
    for (int64_t j = 0; j < w; ++j) {
      row[j] += qi * dd[j];
      acc[j] += ki * row[j];
      sum += row[j] * vv[j];
    }
    dk[i] += sum;
  }
  for (int64_t j = 0; j < w; ++j) dv[j] = acc[j];
}

// dN of one head at one position: dn = g / den and, returned, dz = -sum(g * out) / den.
template <typename T>
KESTREL_SWEEP_INLINE T output_grads(const T* __restrict g, const T* __restrict out, T* __restrict dn, T den,
                                    int64_t e) {
  T g_out = 0;
#pragma omp simd reduction(+ : g_out)
  for (int64_t j = 0; j < e; ++j) {
    dn[j] = g[j] / den;
    g_out += g[j] * out[j];
  }
  return -g_out / den;
}

// The sweeps take the head widths d and e as compile-time constants DC and EC for the small
// heads of small models (0: read at run time), so the per-position loops unroll: at d = e = 2 a
// position is a few dozen operations, which loops of unknown trip count would double.
template <typename T, int64_t DC = 0, int64_t EC = 0>
struct ForwardSweep {
  HeadRows<T> Q, K, V, O;
  HeadGroups groups;
  int64_t L, d_run, e_run;

  KESTREL_SWEEP_INLINE void operator()(int64_t begin, int64_t end) const {
    const int64_t d = DC ? DC : d_run, e = EC ? EC : e_run;
    const int64_t summary = d * e + d;  // S, then z
    std::vector<T> scratch(static_cast<size_t>(groups.size * summary));
    for (int64_t task = begin; task < end; ++task) {
      const int64_t b = groups.batch(task), h0 = groups.first(task), n = groups.count(task);
      std::fill(scratch.begin(), scratch.end(), T(0));
      for (int64_t l = 0; l < L; ++l) {
        for (int64_t hh = 0; hh < n; ++hh) {
          T* S = scratch.data() + hh * summary;
          T* z = S + d * e;
          const T* ql = Q.row(b, l, h0 + hh);
          const T* kl = K.row(b, l, h0 + hh);
          const T* vl = V.row(b, l, h0 + hh);
          T* num = O.row(b, l, h0 + hh);
          const T den = add_keys(ql, kl, z, d);
          int64_t j0 = 0;
          for (; j0 + kTile<T> <= e; j0 += kTile<T>) {
            read_tile<T, kTile<T>>(ql, kl, vl + j0, S + j0, num + j0, d, e, 0);
          }
          if (j0 < e) read_tile<T, 0>(ql, kl, vl + j0, S + j0, num + j0, d, e, e - j0);
          for (int64_t j = 0; j < e; ++j) num[j] /= den;
        }
      }
    }
  }
};

template <typename T, int64_t DC = 0, int64_t EC = 0>
struct BackwardSweep {
  HeadRows<T> G, Q, K, V, O, DQ, DK, DV;
  HeadGroups groups;
  int64_t L, d_run, e_run;

  KESTREL_SWEEP_INLINE void operator()(int64_t begin, int64_t end) const {
    const int64_t d = DC ? DC : d_run, e = EC ? EC : e_run;
    const int64_t summary = d * e + d;  // S, then z; in the reverse sweep R, then r
    // The summaries, then dN = [dn | dz] of every position and head of the task: the forward
    // sweep writes it, the reverse sweep reads it back.
    const int64_t grads = e + 1;
    std::vector<T> scratch(static_cast<size_t>(groups.size * (summary + L * grads)));
    T* summaries = scratch.data();
    T* dns = summaries + groups.size * summary;
    for (int64_t task = begin; task < end; ++task) {
      const int64_t b = groups.batch(task), h0 = groups.first(task), n = groups.count(task);
      std::fill(summaries, summaries + groups.size * summary, T(0));
      for (int64_t l = 0; l < L; ++l) {
        for (int64_t hh = 0; hh < n; ++hh) {
          const int64_t h = h0 + hh;
          T* S = summaries + hh * summary;
          T* z = S + d * e;
          const T* ql = Q.row(b, l, h);
          const T* kl = K.row(b, l, h);
          const T* vl = V.row(b, l, h);
          const T den = add_keys(ql, kl, z, d);
          T* dn = dns + (l * groups.size + hh) * grads;
          const T dz = output_grads(G.row(b, l, h), O.row(b, l, h), dn, den, e);
          dn[e] = dz;
          T* dql = DQ.row(b, l, h);
          // S^T (e rows of d) here: S^T += v k^T and dq = S^T^T dn are the forward's update and
          // read-out with the roles of (q, k, v) taken by (dn, v, k).
          int64_t i0 = 0;
          for (; i0 + kTile<T> <= d; i0 += kTile<T>) {
            read_tile<T, kTile<T>>(dn, vl, kl + i0, S + i0, dql + i0, e, d, 0);
          }
          if (i0 < d) read_tile<T, 0>(dn, vl, kl + i0, S + i0, dql + i0, e, d, d - i0);
          for (int64_t i = 0; i < d; ++i) dql[i] += z[i] * dz;
        }
      }
      std::fill(summaries, summaries + groups.size * summary, T(0));
      for (int64_t l = L - 1; l >= 0; --l) {
        for (int64_t hh = 0; hh < n; ++hh) {
          const int64_t h = h0 + hh;
          T* R = summaries + hh * summary;
          T* r = R + d * e;
          const T* ql = Q.row(b, l, h);
          const T* kl = K.row(b, l, h);
          const T* vl = V.row(b, l, h);
          const T* dn = dns + (l * groups.size + hh) * grads;
          const T dz = dn[e];
          T* dkl = DK.row(b, l, h);
          T* dvl = DV.row(b, l, h);
          for (int64_t i = 0; i < d; ++i) {
            r[i] += ql[i] * dz;
            dkl[i] = r[i];
          }
          int64_t j0 = 0;
          for (; j0 + kTile<T> <= e; j0 += kTile<T>) {
            key_value_grad_tile<T, kTile<T>>(ql, kl, vl + j0, dn + j0, R + j0, dkl, dvl + j0, d, e, 0);
          }
          if (j0 < e) key_value_grad_tile<T, 0>(ql, kl, vl + j0, dn + j0, R + j0, dkl, dvl + j0, d, e, e - j0);
        }
      }
    }
  }
};

// Tasks [begin, end) of a sweep. On x86-64 the sweep is compiled twice, for the baseline
// instruction set and for AVX2, and the processor picks one at run time; both do the same
// operations in the same order along each row (no fused multiply-adds), so only the lane count
// of the simd reductions tells them apart.
#if KESTREL_SWEEP_CLONES
template <typename Sweep>
void run_sweep_baseline(const Sweep& sweep, int64_t begin, int64_t end) {
  sweep(begin, end);
}

template <typename Sweep>
__attribute__((target("avx2"))) void run_sweep_avx2(const Sweep& sweep, int64_t begin, int64_t end) {
  sweep(begin, end);
}

bool cpu_has_avx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}
#endif

template <typename Sweep>
void run_sweep(const Sweep& sweep, int64_t begin, int64_t end) {
#if KESTREL_SWEEP_CLONES
  if (cpu_has_avx2()) return run_sweep_avx2(sweep, begin, end);
  return run_sweep_baseline(sweep, begin, end);
#else
  sweep(begin, end);
#endif
}

// f(std::integral_constant<int64_t, W>) with W = d when d = e is one of the small head widths
// compiled as constants (up to `widest`), else W = 0. Unrolled at width 16 the backward's sweep
// is no faster than its loops (it keeps more per position than registers hold), so it stops at
// 8; the forward gains up to 16.
template <int64_t widest, typename F>
void with_head_width(int64_t d, int64_t e, F&& f) {
  if (d == e) {
    switch (d) {
      case 2: return f(std::integral_constant<int64_t, 2>());
      case 4: return f(std::integral_constant<int64_t, 4>());
      case 8: return f(std::integral_constant<int64_t, 8>());
      case 16:
        if constexpr (widest >= 16) return f(std::integral_constant<int64_t, 16>());
        break;
      default: break;
    }
  }
  f(std::integral_constant<int64_t, 0>());
}

template <typename T>
void linear_forward_kernel(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v, at::Tensor& out) {
  const int64_t B = q.size(0), L = q.size(1), H = q.size(2), d = q.size(3), e = v.size(3);
  const HeadGroups groups = head_groups(B, H, d, e, sizeof(T));
  with_head_width<16>(d, e, [&](auto width) {
    constexpr int64_t W = decltype(width)::value;
    const ForwardSweep<T, W, W> sweep{HeadRows<T>(q), HeadRows<T>(k), HeadRows<T>(v), HeadRows<T>(out),
                                      groups,         L,              d,              e};
    at::parallel_for(0, groups.tasks(), groups.grain(L, d, e),
                     [&](int64_t begin, int64_t end) { run_sweep(sweep, begin, end); });
  });
}

template <typename T>
void linear_backward_kernel(const at::Tensor& grad, const at::Tensor& q, const at::Tensor& k, const at::Tensor& v,
                            const at::Tensor& out, at::Tensor& dq, at::Tensor& dk, at::Tensor& dv) {
  const int64_t B = q.size(0), L = q.size(1), H = q.size(2), d = q.size(3), e = v.size(3);
  const HeadGroups groups = head_groups(B, H, d, e, sizeof(T));
  with_head_width<8>(d, e, [&](auto width) {
    constexpr int64_t W = decltype(width)::value;
    const BackwardSweep<T, W, W> sweep{HeadRows<T>(grad), HeadRows<T>(q),  HeadRows<T>(k),  HeadRows<T>(v),
                                       HeadRows<T>(out),  HeadRows<T>(dq), HeadRows<T>(dk), HeadRows<T>(dv),
                                       groups,            L,               d,               e};
    at::parallel_for(0, groups.tasks(), groups.grain(L, d, e),
                     [&](int64_t begin, int64_t end) { run_sweep(sweep, begin, end); });
  });
}

at::Tensor linear_attention_cpu(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v) {
  check_linear_inputs(q, k, v);
  if (q.numel() == 0 || v.numel() == 0) return at::zeros(v.sizes(), v.options());
  const auto compute = compute_dtype(q.scalar_type());
  at::Tensor qc = kernel_operand(q, compute), kc = kernel_operand(k, compute), vc = kernel_operand(v, compute);
  at::Tensor out = at::empty(v.sizes(), v.options().dtype(compute));
  AT_DISPATCH_FLOATING_TYPES(compute, "linear_attention", [&] { linear_forward_kernel<scalar_t>(qc, kc, vc, out); });
  return converted(out, out.device(), q.scalar_type());
}

Grads3 linear_attention_backward_cpu(const at::Tensor& grad, const at::Tensor& q, const at::Tensor& k,
                                     const at::Tensor& v, const at::Tensor& out) {
  check_linear_inputs(q, k, v);
  if (q.numel() == 0 || v.numel() == 0) {
    return {at::zeros_like(q), at::zeros_like(k), at::zeros_like(v)};
  }
  const auto compute = compute_dtype(q.scalar_type());
  at::Tensor gc = kernel_operand(grad, compute), qc = kernel_operand(q, compute), kc = kernel_operand(k, compute),
             vc = kernel_operand(v, compute), oc = kernel_operand(out, compute);
  const auto options = q.options().dtype(compute);
  at::Tensor dq = at::empty(q.sizes(), options), dk = at::empty(k.sizes(), options), dv = at::empty(v.sizes(), options);
  AT_DISPATCH_FLOATING_TYPES(compute, "linear_attention_backward",
                             [&] { linear_backward_kernel<scalar_t>(gc, qc, kc, vc, oc, dq, dk, dv); });
  return {converted(dq, dq.device(), q.scalar_type()), converted(dk, dk.device(), k.scalar_type()),
          converted(dv, dv.device(), v.scalar_type())};
}

// Other devices: the chunked products in plain ATen.
Grads3 linear_attention_backward_generic(const at::Tensor& grad, const at::Tensor& q, const at::Tensor& k,
                                         const at::Tensor& v, const at::Tensor& out) {
  check_linear_inputs(q, k, v);
  if (q.numel() == 0 || v.numel() == 0) {
    return {at::zeros_like(q), at::zeros_like(k), at::zeros_like(v)};
  }
  const auto compute = compute_dtype(q.scalar_type());
  auto [dq, dk, dv] = linear_backward_chunked(grad.to(compute), q.to(compute), k.to(compute), v.to(compute),
                                              out.to(compute));
  return {dq.to(q.scalar_type()).contiguous(), dk.to(k.scalar_type()).contiguous(),
          dv.to(v.scalar_type()).contiguous()};
}

at::Tensor linear_attention_meta(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v) {
  check_linear_inputs(q, k, v);
  return at::empty(v.sizes(), v.options());
}

Grads3 linear_attention_backward_meta(const at::Tensor& grad, const at::Tensor& q, const at::Tensor& k,
                                      const at::Tensor& v, const at::Tensor& out) {
  return {at::empty_like(q), at::empty_like(k), at::empty_like(v)};
}

using LinearSignature = at::Tensor(const at::Tensor&, const at::Tensor&, const at::Tensor&);
using LinearBackwardSignature = Grads3(const at::Tensor&, const at::Tensor&, const at::Tensor&, const at::Tensor&,
                                       const at::Tensor&);

class LinearAttentionFunction : public torch::autograd::Function<LinearAttentionFunction> {
 public:
  static at::Tensor forward(torch::autograd::AutogradContext* ctx, const at::Tensor& q, const at::Tensor& k,
                            const at::Tensor& v) {
    at::Tensor out;
    {
      at::AutoDispatchBelowADInplaceOrView below;
      static auto op = kestrel_op<LinearSignature>("kestrel::linear_attention");
      out = op.call(q, k, v);
    }
    ctx->save_for_backward({q, k, v, out});
    return out;
  }

  static torch::autograd::variable_list backward(torch::autograd::AutogradContext* ctx,
                                                 torch::autograd::variable_list grads) {
    auto saved = ctx->get_saved_variables();
    const at::Tensor& grad = grads[0];
    if (!grad.defined()) return {at::Tensor(), at::Tensor(), at::Tensor()};
    if (at::GradMode::is_enabled()) {
      // A graph of the backward is wanted: second and higher orders come from the reference.
      return reference_vjp(
          [](const std::vector<at::Tensor>& x) { return linear_attention_reference(x[0], x[1], x[2]); },
          {saved[0], saved[1], saved[2]}, grad);
    }
    static auto op = kestrel_op<LinearBackwardSignature>("kestrel::_linear_attention_backward");
    at::AutoDispatchBelowADInplaceOrView below;  // no graph: past the boxed autograd fallback
    auto [dq, dk, dv] = op.call(grad, saved[0], saved[1], saved[2], saved[3]);
    return {dq, dk, dv};
  }
};

at::Tensor linear_attention_autograd(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v) {
  return LinearAttentionFunction::apply(q, k, v);
}

at::Tensor linear_attention_generic(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v) {
  check_linear_inputs(q, k, v);
  return linear_attention_reference(q, k, v);
}

// ---------------------------------------------------------------------------------------------
// Linear attention features: (elu(x) + 1) ** exponent, the query features of the linear bridge.
//
// With alpha 1, elu(x) + 1 is x + 1 for x > 0 and exp(x) otherwise, so
//   y = (x + 1) ** e        dy/dx = e y / (x + 1)     (x > 0)
//   y = exp(e x)            dy/dx = e y               (x <= 0)
//   dy/de = y log(elu(x) + 1) = y log(x + 1) or y x
// The fused kernel makes one pass forwards and, from the saved result, one pass backwards without
// powers or exponentials; the reference is the ATen composition.

// The fused path takes floating x and a one-element floating exponent that neither adds dimensions
// to the result nor changes its dtype; everything else runs the reference.
bool features_fused_covers(const at::Tensor& x, const at::Tensor& exponent) {
  return x.defined() && exponent.defined() && x.device().is_cpu() && exponent.device().is_cpu() &&
         at::isFloatingType(x.scalar_type()) && at::isFloatingType(exponent.scalar_type()) &&
         exponent.numel() == 1 && exponent.dim() <= x.dim() &&
         (exponent.scalar_type() == x.scalar_type() || at::result_type(x, exponent) == x.scalar_type());
}

// Elements a thread takes at least, and the block of the exponent gradient's partial sums (fixed,
// so the sum is the same on any thread count).
constexpr int64_t kFeatureGrain = int64_t(1) << 15;

template <typename T>
T exponent_value(const at::Tensor& exponent) {
  // One element: its address is the tensor's, whatever the strides.
  const at::Tensor value = converted(exponent, exponent.device(), c10::CppTypeToScalarType<T>::value);
  return *value.data_ptr<T>();
}

// log(elu(x) + 1) without rounding the feature first: log1p(x) for x > 0, x itself otherwise,
// written as log1p(max(x, 0)) + min(x, 0) (vectorised operations; NaN stays NaN).
at::Tensor log_features(const at::Tensor& x) {
  return at::log1p(at::clamp_min(x, 0)).add_(at::clamp_max(x, 0));
}

// Backwards: dx = g e y / (1 + max(x, 0)) (that is g e y / (x + 1) or g e y), and the exponent's
// gradient sum(g y log f) in blocks of fixed size (the same sum on any thread count). The loops
// run without branches (the signs of x follow no pattern) and vectorise.
template <typename T>
void features_backward_kernel(const at::Tensor& grad, const at::Tensor& x, const at::Tensor& exponent,
                              const at::Tensor& y, const at::Tensor& log_f, at::Tensor& dx, double& de) {
  const T e = exponent_value<T>(exponent);
  const T* gp = grad.data_ptr<T>();
  const T* xp = x.data_ptr<T>();
  const T* yp = y.data_ptr<T>();
  const T* lp = log_f.defined() ? log_f.data_ptr<T>() : nullptr;
  T* dxp = dx.data_ptr<T>();
  const int64_t n = dx.numel();
  const int64_t blocks = (n + kFeatureGrain - 1) / kFeatureGrain;
  std::vector<double> partial(static_cast<size_t>(lp ? blocks : 0), 0.0);
  at::parallel_for(0, blocks, 1, [&](int64_t begin, int64_t end) {
    for (int64_t block = begin; block < end; ++block) {
      const int64_t i0 = block * kFeatureGrain, i1 = std::min(n, i0 + kFeatureGrain);
      // max(x, 0): -inf gives 0, NaN stays NaN.
      for (int64_t i = i0; i < i1; ++i) dxp[i] = gp[i] * yp[i] * e / (T(1) + (xp[i] < T(0) ? T(0) : xp[i]));
      if (!lp) continue;
      double sum = 0.0;
#pragma omp simd reduction(+ : sum)
      for (int64_t i = i0; i < i1; ++i) sum += static_cast<double>(gp[i] * yp[i] * lp[i]);
      partial[static_cast<size_t>(block)] = sum;
    }
  });
  de = 0.0;
  for (double p : partial) de += p;
}

// The two parts of log_features(x) for a contiguous x of T, as the separate operations round
// them: log1p(max(x, 0)) (returned) and min(x, 0) (in `low`), both comparisons taken in one
// branch-free pass (NaN stays NaN, -0 stays -0), the logarithm in place.
template <typename T>
at::Tensor split_log_features(const at::Tensor& x, at::Tensor& low) {
  const int64_t n = x.numel();
  at::Tensor high = at::empty(x.sizes(), x.options());
  low = at::empty(x.sizes(), x.options());
  const T* xp = x.data_ptr<T>();
  T* hp = high.data_ptr<T>();
  T* lp = low.data_ptr<T>();
  for (int64_t i = 0; i < n; ++i) {
    const T v = xp[i];
    hp[i] = v < T(0) ? T(0) : v;
    lp[i] = v > T(0) ? T(0) : v;
  }
  return high.log1p_();
}

// exp(e log f) over a contiguous x of the compute dtype, taking log_features(x) * e as the
// separate operations round it: the sum and the product in one pass, the exponential in place.
template <typename T>
at::Tensor powered_features(const at::Tensor& x, double e) {
  at::Tensor low;
  at::Tensor y = split_log_features<T>(x, low);
  T* yp = y.data_ptr<T>();
  const T* lp = low.data_ptr<T>();
  const T scale = static_cast<T>(e);
  for (int64_t i = 0, n = y.numel(); i < n; ++i) yp[i] = (yp[i] + lp[i]) * scale;
  return y.exp_();
}

// log_features(x) floored at the lowest finite value of T (clamp_min_), for a contiguous x of T:
// the sum and the floor in one pass.
template <typename T>
at::Tensor held_log_features(const at::Tensor& x) {
  at::Tensor low;
  at::Tensor log_f = split_log_features<T>(x, low);
  T* fp = log_f.data_ptr<T>();
  const T* lp = low.data_ptr<T>();
  const T lowest = std::numeric_limits<T>::lowest();
  for (int64_t i = 0, n = log_f.numel(); i < n; ++i) {
    const T sum = fp[i] + lp[i];
    fp[i] = sum < lowest ? lowest : sum;
  }
  return log_f;
}

at::Tensor linear_attention_features_cpu(const at::Tensor& x, const at::Tensor& exponent) {
  if (!features_fused_covers(x, exponent)) return linear_attention_features_reference(x, exponent);
  const auto compute = compute_dtype(x.scalar_type());
  at::Tensor xc = converted(x, x.device(), compute);
  const double e = scalar_to_double(exponent);
  // x ** 0 is 1 for every x, an infinite or NaN one included. Otherwise exp(e log f), whose
  // exponential and logarithm run vectorised.
  if (e == 0.0) return at::ones(x.sizes(), x.options().dtype(compute)).to(x.scalar_type());
  if (xc.layout() == at::kStrided && xc.is_contiguous()) {
    at::Tensor y;
    AT_DISPATCH_FLOATING_TYPES(compute, "linear_attention_features", [&] { y = powered_features<scalar_t>(xc, e); });
    return converted(y, x.device(), x.scalar_type());
  }
  return log_features(xc).mul_(e).exp_().to(x.scalar_type());
}

using Grads2 = std::tuple<at::Tensor, at::Tensor>;

// The reference's gradients written out (the power's and the ELU's), for every device and for the
// shapes the fused path does not take; broadcast dimensions are summed back to each input's shape.
Grads2 features_backward_reference(const at::Tensor& grad, const at::Tensor& x, const at::Tensor& exponent,
                                   const at::Tensor& out) {
  at::Tensor f = at::elu(x) + 1.0;
  at::Tensor g = grad.to(out.scalar_type());
  at::Tensor zero = at::zeros({}, g.options());
  at::Tensor d_f = at::where(exponent == 0, zero, g * exponent * at::pow(f, exponent - 1));
  at::Tensor dx = d_f * at::where(x > 0, at::ones({}, f.options()), at::exp(x));
  at::Tensor de = at::where((f == 0).logical_and(exponent >= 0), zero, g * out * at::log(f));
  return {at::sum_to(dx, x.sizes()).to(x.scalar_type()), at::sum_to(de, exponent.sizes()).to(exponent.scalar_type())};
}

Grads2 linear_attention_features_backward_cpu(const at::Tensor& grad, const at::Tensor& x, const at::Tensor& exponent,
                                              const at::Tensor& out, bool exponent_grad) {
  if (!features_fused_covers(x, exponent)) return features_backward_reference(grad, x, exponent, out);
  const auto compute = compute_dtype(x.scalar_type());
  at::Tensor gc = converted(grad, grad.device(), compute);
  if (gc.sizes() != x.sizes()) gc = gc.expand(x.sizes());
  gc = gc.contiguous();
  const at::Tensor xc = converted(x, x.device(), compute).contiguous(),
                   yc = converted(out, out.device(), compute).contiguous();
  // For the exponent's gradient: log f held finite, so a feature that is 0 (x = -inf) adds
  // 0 * log f = 0 (0 ** e has no slope in e) and an infinite one stays infinite.
  at::Tensor log_f;
  if (exponent_grad) {
    AT_DISPATCH_FLOATING_TYPES(compute, "linear_attention_log_features", [&] { log_f = held_log_features<scalar_t>(xc); });
  }
  at::Tensor dx = at::empty(x.sizes(), x.options().dtype(compute));
  double de = 0.0;
  if (x.numel() > 0) {
    AT_DISPATCH_FLOATING_TYPES(compute, "linear_attention_features_backward", [&] {
      features_backward_kernel<scalar_t>(gc, xc, exponent, yc, log_f, dx, de);
    });
  }
  // at::full(exponent.sizes(), de, exponent.options()), its one number written where it lies.
  at::Tensor d_exponent = at::empty(exponent.sizes(), exponent.options());
  fill_scalar(d_exponent, de);
  return {converted(dx, dx.device(), x.scalar_type()), d_exponent};
}

Grads2 linear_attention_features_backward_generic(const at::Tensor& grad, const at::Tensor& x,
                                                  const at::Tensor& exponent, const at::Tensor& out,
                                                  bool exponent_grad) {
  return features_backward_reference(grad, x, exponent, out);
}

Grads2 linear_attention_features_backward_meta(const at::Tensor& grad, const at::Tensor& x, const at::Tensor& exponent,
                                               const at::Tensor& out, bool exponent_grad) {
  return {at::empty_like(x), at::empty_like(exponent)};
}

using FeaturesSignature = at::Tensor(const at::Tensor&, const at::Tensor&);
using FeaturesBackwardSignature = Grads2(const at::Tensor&, const at::Tensor&, const at::Tensor&, const at::Tensor&,
                                         bool);

class LinearAttentionFeaturesFunction : public torch::autograd::Function<LinearAttentionFeaturesFunction> {
 public:
  static at::Tensor forward(torch::autograd::AutogradContext* ctx, const at::Tensor& x, const at::Tensor& exponent) {
    at::Tensor out;
    {
      at::AutoDispatchBelowADInplaceOrView below;
      static auto op = kestrel_op<FeaturesSignature>("kestrel::linear_attention_features");
      out = op.call(x, exponent);
    }
    ctx->save_for_backward({x, exponent, out});
    return out;
  }

  static torch::autograd::variable_list backward(torch::autograd::AutogradContext* ctx,
                                                 torch::autograd::variable_list grads) {
    auto saved = ctx->get_saved_variables();
    const at::Tensor& grad = grads[0];
    if (!grad.defined()) return {at::Tensor(), at::Tensor()};
    if (at::GradMode::is_enabled()) {
      // A graph of the backward is wanted: second and higher orders come from the reference.
      return reference_vjp(
          [](const std::vector<at::Tensor>& x) { return linear_attention_features_reference(x[0], x[1]); },
          {saved[0], saved[1]}, grad);
    }
    static auto op = kestrel_op<FeaturesBackwardSignature>("kestrel::_linear_attention_features_backward");
    at::AutoDispatchBelowADInplaceOrView below;  // no graph: past the boxed autograd fallback
    auto [dx, de] = op.call(grad, saved[0], saved[1], saved[2], ctx->needs_input_grad(1));
    return {dx, de};
  }
};

at::Tensor linear_attention_features_autograd(const at::Tensor& x, const at::Tensor& exponent) {
  return LinearAttentionFeaturesFunction::apply(x, exponent);
}

}  // namespace

at::Tensor causal_attention(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v, double scale) {
  static auto handle = kestrel_op<AttentionSignature>("kestrel::causal_attention");
  return without_gil([&] { return handle.call(q, k, v, scale); });
}

at::Tensor causal_attention_reference(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v,
                                      double scale) {
  return at::matmul(reference_probs(q, k, scale), v);
}

at::Tensor linear_attention(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v) {
  static auto handle = kestrel_op<LinearSignature>("kestrel::linear_attention");
  return without_gil([&] { return handle.call(q, k, v); });
}

at::Tensor linear_attention_reference(const at::Tensor& q, const at::Tensor& k, const at::Tensor& v) {
  // Position l reads the running sums over positions 0..l.
  at::Tensor kv = at::einsum("blhd,blhv->blhdv", {k, v}).cumsum(1);
  at::Tensor num = at::einsum("blhd,blhdv->blhv", {q, kv});
  at::Tensor k_sum = k.cumsum(1);
  at::Tensor den = at::einsum("blhd,blhd->blh", {q, k_sum}).unsqueeze(-1);
  return num / (den + kLinearEps);
}

at::Tensor linear_attention_features(const at::Tensor& x, const at::Tensor& exponent) {
  static auto handle = kestrel_op<FeaturesSignature>("kestrel::linear_attention_features");
  return without_gil([&] { return handle.call(x, exponent); });
}

at::Tensor linear_attention_features_reference(const at::Tensor& x, const at::Tensor& exponent) {
  return at::pow(at::elu(x) + 1.0, exponent);
}

TORCH_LIBRARY_FRAGMENT(kestrel, m) {
  m.def("causal_attention(Tensor q, Tensor k, Tensor v, float scale) -> Tensor");
  m.def("causal_attention_reference(Tensor q, Tensor k, Tensor v, float scale) -> Tensor");
  m.def("_causal_attention_backward(Tensor grad, Tensor q, Tensor k, Tensor v, Tensor out, float scale) "
        "-> (Tensor, Tensor, Tensor)");
  m.def("linear_attention(Tensor q, Tensor k, Tensor v) -> Tensor");
  m.def("linear_attention_reference(Tensor q, Tensor k, Tensor v) -> Tensor");
  m.def("_linear_attention_backward(Tensor grad, Tensor q, Tensor k, Tensor v, Tensor out) "
        "-> (Tensor, Tensor, Tensor)");
  m.def("linear_attention_features(Tensor x, Tensor exponent) -> Tensor");
  m.def("linear_attention_features_reference(Tensor x, Tensor exponent) -> Tensor");
  m.def("_linear_attention_features_backward(Tensor grad, Tensor x, Tensor exponent, Tensor out, "
        "bool exponent_grad) -> (Tensor, Tensor)");
}

TORCH_LIBRARY_IMPL(kestrel, CPU, m) {
  m.impl("causal_attention", &causal_attention_cpu);
  m.impl("_causal_attention_backward", &causal_attention_backward_cpu);
  m.impl("linear_attention", &linear_attention_cpu);
  m.impl("_linear_attention_backward", &linear_attention_backward_cpu);
  m.impl("linear_attention_features", &linear_attention_features_cpu);
  m.impl("_linear_attention_features_backward", &linear_attention_features_backward_cpu);
}

// Other devices: the math path (never a back-end chosen by process-wide flags), and for the linear
// attention the reference forwards with the chunked backward, both plain ATen.
TORCH_LIBRARY_IMPL(kestrel, CompositeExplicitAutograd, m) {
  m.impl("causal_attention", &causal_attention_reference);
  m.impl("_causal_attention_backward", &causal_attention_backward_reference);
  m.impl("linear_attention", &linear_attention_generic);
  m.impl("_linear_attention_backward", &linear_attention_backward_generic);
  m.impl("linear_attention_features", &linear_attention_features_reference);
  m.impl("_linear_attention_features_backward", &linear_attention_features_backward_generic);
}

TORCH_LIBRARY_IMPL(kestrel, Meta, m) {
  m.impl("causal_attention", &causal_attention_reference);
  m.impl("_causal_attention_backward", &causal_attention_backward_meta);
  m.impl("linear_attention", &linear_attention_meta);
  m.impl("_linear_attention_backward", &linear_attention_backward_meta);
  m.impl("linear_attention_features", &linear_attention_features_reference);
  m.impl("_linear_attention_features_backward", &linear_attention_features_backward_meta);
}

TORCH_LIBRARY_IMPL(kestrel, Autograd, m) {
  m.impl("causal_attention", &causal_attention_autograd);
  m.impl("_causal_attention_backward", torch::autograd::autogradNotImplementedFallback());
  m.impl("linear_attention", &linear_attention_autograd);
  m.impl("_linear_attention_backward", torch::autograd::autogradNotImplementedFallback());
  m.impl("linear_attention_features", &linear_attention_features_autograd);
  m.impl("_linear_attention_features_backward", torch::autograd::autogradNotImplementedFallback());
}

TORCH_LIBRARY_IMPL(kestrel, CompositeImplicitAutograd, m) {
  m.impl("causal_attention_reference", &causal_attention_reference);
  m.impl("linear_attention_reference", &linear_attention_reference);
  m.impl("linear_attention_features_reference", &linear_attention_features_reference);
}

}  // namespace kestrel::kernels

#include "kernels/sync_error.h"

#include "runtime/gil.h"
#include "runtime/runtime.h"

#include <ATen/Dispatch.h>
#include <ATen/core/dispatch/Dispatcher.h>
#include <torch/library.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace kestrel::kernels {
namespace {

constexpr double kMinTemperature = 1e-6;
constexpr double kLogFloor = -30.0;
constexpr double kLogCeiling = 30.0;

// max(temperature, 1e-6) with the interpreter's argument order: a NaN temperature passes.
double effective_temperature(double temperature) {
  return kMinTemperature > temperature ? kMinTemperature : temperature;
}

at::Tensor as_float(const at::Tensor& t) { return converted(t, t.device(), at::kFloat); }

// Without a graph the quotient is divided and the log-probabilities clamped in place: one
// temporary of the logits' size less each.
at::Tensor clamped_log_probs(const at::Tensor& logits, double t, bool graph) {
  if (graph) return at::log_softmax(as_float(logits) / t, -1).clamp(kLogFloor, kLogCeiling);
  at::Tensor scaled = as_float(logits);
  scaled = scaled.is_same(logits) ? scaled / number_like(scaled, t) : scaled.div_(number_like(scaled, t));
  return at::log_softmax(scaled, -1).clamp_(kLogFloor, kLogCeiling);
}

// Without a graph, on the CPU, for two logits tensors of one shape: both stacked into one tensor,
// so the quotient, the clamped log-probabilities and their exponentials are one vectorised
// operation each, and the rows' sums one pass over them, accumulated in double. NaN and infinite
// inputs give what the composition gives.
bool fused_covers(const at::Tensor& fast, const at::Tensor& slow) {
  return fast.sizes() == slow.sizes() && fast.dim() >= 1 && fast.numel() > 0 &&
         at::isFloatingType(fast.scalar_type()) && at::isFloatingType(slow.scalar_type()) && readable_in_place(fast) &&
         readable_in_place(slow);
}

// stack({fast, slow}) in float32 divided by t: for contiguous inputs written in one host pass,
// each element converted and divided as the conversion and the division round it.
at::Tensor scaled_scores(const at::Tensor& fast, const at::Tensor& slow, double t) {
  if (!fast.is_contiguous() || !slow.is_contiguous()) {
    at::Tensor scores = at::stack({as_float(fast), as_float(slow)});
    return scores.div_(number_like(scores, t));
  }
  std::vector<int64_t> sizes = fast.sizes().vec();
  sizes.insert(sizes.begin(), 2);
  at::Tensor scores = at::empty(sizes, fast.options().dtype(at::kFloat));
  float* out = scores.data_ptr<float>();
  const float divisor = static_cast<float>(t);
  const int64_t count = fast.numel();
  for (const at::Tensor* part : {&fast, &slow}) {
    AT_DISPATCH_FLOATING_TYPES_AND2(at::kHalf, at::kBFloat16, part->scalar_type(), "symmetric_kl_scores", [&] {
      const scalar_t* in = part->data_ptr<scalar_t>();
      for (int64_t i = 0; i < count; ++i) out[i] = static_cast<float>(in[i]) / divisor;
    });
    out += count;
  }
  return scores;
}

at::Tensor symmetric_kl_rows(const at::Tensor& fast, const at::Tensor& slow, double t) {
  const at::Tensor logs = at::log_softmax(scaled_scores(fast, slow, t), -1).clamp_(kLogFloor, kLogCeiling);
  const at::Tensor probs = logs.exp();
  const int64_t n = fast.size(-1), count = fast.numel(), rows = count / n;
  const float* lp = logs.data_ptr<float>();
  const float* lq = lp + count;
  const float* p = probs.data_ptr<float>();
  const float* q = p + count;
  float total = 0.0f;
  for (int64_t r = 0; r < rows; ++r) {
    double row = 0.0;
    for (int64_t i = r * n; i < (r + 1) * n; ++i) row += static_cast<double>((p[i] - q[i]) * (lp[i] - lq[i]));
    total += static_cast<float>(row);
  }
  return at::scalar_tensor(0.5f * (total / static_cast<float>(rows)), logs.options());
}

at::Tensor symmetric_kl_composite(const at::Tensor& fast, const at::Tensor& slow, double temperature) {
  const double t = effective_temperature(temperature);
  const bool needs_graph = at::GradMode::is_enabled() && (fast.requires_grad() || slow.requires_grad());
  if (!needs_graph && fused_covers(fast, slow)) return symmetric_kl_rows(fast, slow, t);
  at::Tensor lp = clamped_log_probs(fast, t, needs_graph);
  at::Tensor lq = clamped_log_probs(slow, t, needs_graph);
  at::Tensor terms;
  if (needs_graph || lp.sizes() != lq.sizes()) {
    terms = (lp.exp() - lq.exp()) * (lp - lq);
  } else {
    // Without a graph the temporaries are reused: two full-size tensors live at a time.
    at::Tensor gap = lp - lq;
    lp.exp_().sub_(lq.exp_());
    terms = lp.mul_(gap);
  }
  // No rows means no disagreement: 0, not the NaN of a mean over nothing.
  at::Tensor rows = terms.sum(-1);
  return 0.5 * (rows.numel() == 0 ? rows.sum() : rows.mean());
}

}  // namespace

at::Tensor symmetric_kl(const at::Tensor& fast, const at::Tensor& slow, double temperature) {
  static auto handle = c10::Dispatcher::singleton()
                           .findSchemaOrThrow("kestrel::symmetric_kl", "")
                           .typed<at::Tensor(const at::Tensor&, const at::Tensor&, double)>();
  return without_gil([&] { return handle.call(fast, slow, temperature); });
}

at::Tensor symmetric_kl_reference(const at::Tensor& fast, const at::Tensor& slow, double temperature) {
  const double t = effective_temperature(temperature);
  at::Tensor fast_fp32 = fast.to(at::kFloat) / t;
  at::Tensor slow_fp32 = slow.to(at::kFloat) / t;
  at::Tensor p_log = at::log_softmax(fast_fp32, -1).clamp(kLogFloor, kLogCeiling);
  at::Tensor q_log = at::log_softmax(slow_fp32, -1).clamp(kLogFloor, kLogCeiling);
  at::Tensor p = p_log.exp();
  at::Tensor q = q_log.exp();
  at::Tensor kl_pq = (p * (p_log - q_log)).sum(-1);
  at::Tensor kl_qp = (q * (q_log - p_log)).sum(-1);
  return 0.5 * (kl_pq + kl_qp).mean();
}

TORCH_LIBRARY_FRAGMENT(kestrel, m) {
  m.def("symmetric_kl(Tensor fast, Tensor slow, float temperature) -> Tensor");
  m.def("symmetric_kl_reference(Tensor fast, Tensor slow, float temperature) -> Tensor");
}

TORCH_LIBRARY_IMPL(kestrel, CompositeImplicitAutograd, m) {
  m.impl("symmetric_kl", &symmetric_kl_composite);
  m.impl("symmetric_kl_reference", &symmetric_kl_reference);
}

}  // namespace kestrel::kernels

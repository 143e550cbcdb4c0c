#include "kernels/scan.h"

#include <ATen/OpMathType.h>
#include <ATen/Parallel.h>
#include <ATen/core/dispatch/Dispatcher.h>
#include <torch/csrc/autograd/custom_function.h>
#include <torch/library.h>

#include <algorithm>
#include <vector>

namespace kestrel::kernels {
namespace {

// Work split: one task per (batch row, run of contiguous channels), sequential in time. Each task
// streams its run of every time step, so runs are kept long (whole rows when the batch alone
// gives every thread work) and a multiple of a cache line.
constexpr int64_t kMinRun = 64;

struct Split {
  int64_t runs;  // channel runs per batch row
  int64_t run;   // channels per run (the last one may be shorter)
  int64_t tasks() const { return batch * runs; }
  int64_t batch;
};

Split split_work(int64_t B, int64_t S) {
  const int64_t threads = std::max<int64_t>(1, at::get_num_threads());
  const int64_t max_runs = std::max<int64_t>(1, (S + kMinRun - 1) / kMinRun);
  const int64_t wanted = std::min(max_runs, std::max<int64_t>(1, (2 * threads + B - 1) / B));
  int64_t run = (S + wanted - 1) / wanted;
  run = (run + 15) / 16 * 16;
  return {std::max<int64_t>(1, (S + run - 1) / run), std::max<int64_t>(run, 1), B};
}

void check_inputs(const at::Tensor& delta, const at::Tensor& gate, const at::Tensor& start,
                  const at::Tensor& retention) {
  TORCH_CHECK(delta.dim() == 3, "gated_scan: delta must be [B, T, S], got ", delta.sizes());
  TORCH_CHECK(gate.sizes() == delta.sizes(), "gated_scan: gate ", gate.sizes(),
              " does not match delta ", delta.sizes());
  TORCH_CHECK(start.dim() == 2 && start.size(1) == delta.size(2) &&
                  (start.size(0) == 1 || start.size(0) == delta.size(0)),
              "gated_scan: start must be [B, S] or [1, S] for delta ", delta.sizes(), ", got ",
              start.sizes());
  TORCH_CHECK(retention.numel() == 1, "gated_scan: retention must have one element, got ",
              retention.sizes());
}

// One time step of a run of n channels. Separate functions with restrict-qualified parameters, so
// the compiler knows the rows do not overlap and vectorises the loops without alias checks.
template <typename scalar_t, typename acc_t>
inline void forward_step(const scalar_t* __restrict delta, const scalar_t* __restrict gate,
                         scalar_t* __restrict out, acc_t* __restrict state, int64_t n,
                         const acc_t a, const acc_t one_minus_a) {
  for (int64_t c = 0; c < n; ++c) {
    const acc_t u = static_cast<acc_t>(gate[c]) * static_cast<acc_t>(delta[c]);
    state[c] = a * state[c] + one_minus_a * u;
    out[c] = static_cast<scalar_t>(state[c]);
  }
}

template <typename scalar_t, typename acc_t>
inline void backward_step(const scalar_t* __restrict grad, const scalar_t* __restrict delta,
                          const scalar_t* __restrict gate, const scalar_t* __restrict prev,
                          scalar_t* __restrict d_delta, scalar_t* __restrict d_gate,
                          acc_t* __restrict lam, acc_t* __restrict d_a, int64_t n, const acc_t a,
                          const acc_t one_minus_a) {
  for (int64_t c = 0; c < n; ++c) {
    const acc_t l = static_cast<acc_t>(grad[c]) + a * lam[c];
    const acc_t gv = static_cast<acc_t>(gate[c]);
    const acc_t dv = static_cast<acc_t>(delta[c]);
    const acc_t du = one_minus_a * l;
    lam[c] = l;
    d_delta[c] = static_cast<scalar_t>(du * gv);
    d_gate[c] = static_cast<scalar_t>(du * dv);
    d_a[c] += l * (static_cast<acc_t>(prev[c]) - gv * dv);
  }
}

// Forward: sigma_t = a sigma_{t-1} + (1 - a) gate_t delta_t.
template <typename scalar_t>
void scan_forward_cpu(const at::Tensor& delta, const at::Tensor& gate, const at::Tensor& start,
                      double a_value, at::Tensor& out) {
  using acc_t = at::opmath_type<scalar_t>;
  const int64_t B = delta.size(0), T = delta.size(1), S = delta.size(2);
  const Split split = split_work(B, S);
  const scalar_t* d = delta.data_ptr<scalar_t>();
  const scalar_t* g = gate.data_ptr<scalar_t>();
  const scalar_t* s0 = start.data_ptr<scalar_t>();
  scalar_t* o = out.data_ptr<scalar_t>();
  const acc_t a = static_cast<acc_t>(a_value);
  const acc_t one_minus_a = static_cast<acc_t>(1.0 - a_value);
  at::parallel_for(0, split.tasks(), 1, [&](int64_t begin, int64_t end) {
    std::vector<acc_t> buffer(static_cast<size_t>(split.run));
    acc_t* state = buffer.data();
    for (int64_t task = begin; task < end; ++task) {
      const int64_t b = task / split.runs;
      const int64_t c0 = (task % split.runs) * split.run;
      const int64_t n = std::min(split.run, S - c0);
      for (int64_t c = 0; c < n; ++c) state[c] = static_cast<acc_t>(s0[b * S + c0 + c]);
      const int64_t base = b * T * S + c0;
      for (int64_t t = 0; t < T; ++t) {
        const int64_t off = base + t * S;
        forward_step(d + off, g + off, o + off, state, n, a, one_minus_a);
      }
    }
  });
}

// Backward, a reverse scan with lambda_t = g_t + a * lambda_{t+1}:
//   d u_t = (1 - a) lambda_t,  d delta_t = d u_t * gate_t,  d gate_t = d u_t * delta_t,
//   d start = a lambda_0,      d a = sum_t <lambda_t, sigma_{t-1} - u_t>.
template <typename scalar_t>
void scan_backward_cpu(const at::Tensor& grad, const at::Tensor& delta, const at::Tensor& gate,
                       const at::Tensor& start, const at::Tensor& sigma, double a_value,
                       at::Tensor& d_delta, at::Tensor& d_gate, at::Tensor& d_start,
                       double& d_a) {
  using acc_t = at::opmath_type<scalar_t>;
  const int64_t B = delta.size(0), T = delta.size(1), S = delta.size(2);
  const Split split = split_work(B, S);
  const scalar_t* gr = grad.data_ptr<scalar_t>();
  const scalar_t* d = delta.data_ptr<scalar_t>();
  const scalar_t* g = gate.data_ptr<scalar_t>();
  const scalar_t* s0 = start.data_ptr<scalar_t>();
  const scalar_t* sg = sigma.data_ptr<scalar_t>();
  scalar_t* dd = d_delta.data_ptr<scalar_t>();
  scalar_t* dg = d_gate.data_ptr<scalar_t>();
  scalar_t* ds = d_start.data_ptr<scalar_t>();
  const acc_t a = static_cast<acc_t>(a_value);
  const acc_t one_minus_a = static_cast<acc_t>(1.0 - a_value);
  std::vector<double> partial(static_cast<size_t>(split.tasks()), 0.0);
  at::parallel_for(0, split.tasks(), 1, [&](int64_t begin, int64_t end) {
    std::vector<acc_t> buffer(static_cast<size_t>(2 * split.run));
    acc_t* lam = buffer.data();
    acc_t* da = lam + split.run;
    for (int64_t task = begin; task < end; ++task) {
      const int64_t b = task / split.runs;
      const int64_t c0 = (task % split.runs) * split.run;
      const int64_t n = std::min(split.run, S - c0);
      for (int64_t c = 0; c < n; ++c) lam[c] = da[c] = acc_t(0);
      const int64_t base = b * T * S + c0;
      for (int64_t t = T - 1; t >= 0; --t) {
        const int64_t off = base + t * S;
        const scalar_t* prev = t > 0 ? sg + off - S : s0 + b * S + c0;
        backward_step(gr + off, d + off, g + off, prev, dd + off, dg + off, lam, da, n, a,
                      one_minus_a);
      }
      double sum = 0.0;
      for (int64_t c = 0; c < n; ++c) {
        ds[b * S + c0 + c] = static_cast<scalar_t>(a * lam[c]);
        sum += static_cast<double>(da[c]);
      }
      partial[static_cast<size_t>(task)] = sum;
    }
  });
  d_a = 0.0;
  for (double p : partial) d_a += p;
}

bool fused_path_covers(const at::Tensor& delta) {
  return delta.device().is_cpu() && at::isFloatingType(delta.scalar_type());
}

class GatedScanFunction : public torch::autograd::Function<GatedScanFunction> {
 public:
  static at::Tensor forward(torch::autograd::AutogradContext* ctx, const at::Tensor& delta,
                            const at::Tensor& gate, const at::Tensor& start,
                            const at::Tensor& retention) {
    const double a = retention.item<double>();
    at::Tensor out = at::empty_like(delta, at::MemoryFormat::Contiguous);
    AT_DISPATCH_FLOATING_TYPES_AND2(at::kHalf, at::kBFloat16, delta.scalar_type(), "gated_scan", [&] {
      scan_forward_cpu<scalar_t>(delta, gate, start, a, out);
    });
    ctx->save_for_backward({delta, gate, start, out});
    ctx->saved_data["a"] = a;
    ctx->saved_data["retention_dtype"] = static_cast<int64_t>(retention.scalar_type());
    ctx->saved_data["retention_shape"] = retention.sizes().vec();
    return out;
  }

  static torch::autograd::variable_list backward(torch::autograd::AutogradContext* ctx,
                                                 torch::autograd::variable_list grads) {
    auto saved = ctx->get_saved_variables();
    const at::Tensor& delta = saved[0];
    const at::Tensor& gate = saved[1];
    const at::Tensor& start = saved[2];
    const at::Tensor& sigma = saved[3];
    const double a = ctx->saved_data["a"].toDouble();
    at::Tensor grad = grads[0].defined() ? grads[0].to(delta.scalar_type()).contiguous()
                                         : at::zeros_like(delta);
    at::Tensor d_delta = at::empty_like(delta);
    at::Tensor d_gate = at::empty_like(delta);
    at::Tensor d_start = at::empty_like(start);
    double d_a = 0.0;
    AT_DISPATCH_FLOATING_TYPES_AND2(at::kHalf, at::kBFloat16, delta.scalar_type(), "gated_scan_backward", [&] {
      scan_backward_cpu<scalar_t>(grad, delta, gate, start, sigma, a, d_delta, d_gate, d_start, d_a);
    });
    auto dtype = static_cast<at::ScalarType>(ctx->saved_data["retention_dtype"].toInt());
    auto shape = ctx->saved_data["retention_shape"].toIntVector();
    at::Tensor d_retention = at::full(shape, d_a, at::TensorOptions().dtype(dtype).device(delta.device()));
    return {d_delta, d_gate, d_start, d_retention};
  }
};

}  // namespace

at::Tensor gated_scan_composite(const at::Tensor& delta, const at::Tensor& gate,
                                const at::Tensor& start, const at::Tensor& retention);

at::Tensor gated_scan(const at::Tensor& delta, const at::Tensor& gate, const at::Tensor& start,
                      const at::Tensor& retention) {
  static auto op = c10::Dispatcher::singleton()
                       .findSchemaOrThrow("kestrel::gated_scan", "")
                       .typed<at::Tensor(const at::Tensor&, const at::Tensor&, const at::Tensor&,
                                         const at::Tensor&)>();
  return op.call(delta, gate, start, retention);
}

at::Tensor gated_scan_composite(const at::Tensor& delta, const at::Tensor& gate,
                                const at::Tensor& start, const at::Tensor& retention) {
  check_inputs(delta, gate, start, retention);
  if (!fused_path_covers(delta) || gate.scalar_type() != delta.scalar_type()) {
    return gated_scan_reference(delta, gate, start, retention);
  }
  const int64_t B = delta.size(0), S = delta.size(2);
  // Broadcasting the start state is left to autograd (expand's backward sums over the batch).
  at::Tensor s0 = start.to(delta.scalar_type()).expand({B, S}).contiguous();
  return GatedScanFunction::apply(delta.contiguous(), gate.contiguous(), s0, retention);
}

at::Tensor gated_scan_reference(const at::Tensor& delta, const at::Tensor& gate,
                                const at::Tensor& start, const at::Tensor& retention) {
  check_inputs(delta, gate, start, retention);
  const int64_t B = delta.size(0), T = delta.size(1), S = delta.size(2);
  at::Tensor a = retention.reshape({});
  at::Tensor u = gate * delta;
  at::Tensor state = start.to(u.scalar_type()).expand({B, S});
  std::vector<at::Tensor> steps;
  steps.reserve(static_cast<size_t>(T));
  for (int64_t t = 0; t < T; ++t) {
    state = a * state + (1 - a) * u.select(1, t);
    steps.push_back(state);
  }
  if (T == 0) return at::empty_like(u);
  return at::stack(steps, 1);
}

TORCH_LIBRARY(kestrel, m) {
  m.def("gated_scan(Tensor delta, Tensor gate, Tensor start, Tensor retention) -> Tensor");
  m.def("gated_scan_reference(Tensor delta, Tensor gate, Tensor start, Tensor retention) -> Tensor");
}

TORCH_LIBRARY_IMPL(kestrel, CompositeImplicitAutograd, m) {
  m.impl("gated_scan", &gated_scan_composite);
  m.impl("gated_scan_reference", &gated_scan_reference);
}

}  // namespace kestrel::kernels

#include "kernels/scan.h"

#include "kernels/op_support.h"
#include "runtime/runtime.h"

#include <ATen/OpMathType.h>
#include <ATen/Parallel.h>
#include <ATen/core/dispatch/Dispatcher.h>
#include <torch/csrc/autograd/autograd_not_implemented_fallback.h>
#include <torch/csrc/autograd/custom_function.h>
#include <torch/library.h>

#include <algorithm>
#include <tuple>
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
  int64_t batch;
  int64_t tasks() const { return batch * runs; }
  // Tasks a thread takes at least: about 2^15 channel steps, so a small scan runs on one thread
  // rather than paying for a parallel region that costs more than its work.
  int64_t grain(int64_t T) const { return std::max<int64_t>(1, (int64_t(1) << 15) / std::max<int64_t>(1, T * run)); }
};

// Callers skip empty problems: B and S are positive here.
Split split_work(int64_t B, int64_t S) {
  TORCH_INTERNAL_ASSERT(B > 0 && S > 0, "split_work: empty problem");
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
  at::parallel_for(0, split.tasks(), split.grain(T), [&](int64_t begin, int64_t end) {
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
  at::parallel_for(0, split.tasks(), split.grain(T), [&](int64_t begin, int64_t end) {
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

bool fused_path_covers(const at::Tensor& delta, const at::Tensor& gate) {
  return delta.device().is_cpu() && at::isFloatingType(delta.scalar_type()) &&
         gate.scalar_type() == delta.scalar_type();
}

// The dtype of a * state + (1 - a) * gate * delta for a zero-dimensional retention a.
at::ScalarType result_dtype(const at::Tensor& delta, const at::Tensor& gate, const at::Tensor& retention) {
  const auto u = at::promote_types(delta.scalar_type(), gate.scalar_type());
  return at::result_type(at::empty({0}, at::TensorOptions().dtype(u).device(at::kMeta)),
                         at::empty({}, at::TensorOptions().dtype(retention.scalar_type()).device(at::kMeta)));
}

using ScanSignature = at::Tensor(const at::Tensor&, const at::Tensor&, const at::Tensor&, const at::Tensor&);
using ScanGrads = std::tuple<at::Tensor, at::Tensor, at::Tensor, at::Tensor>;
using ScanBackwardSignature = ScanGrads(const at::Tensor&, const at::Tensor&, const at::Tensor&,
                                        const at::Tensor&, const at::Tensor&, const at::Tensor&);

at::Tensor gated_scan_cpu(const at::Tensor& delta, const at::Tensor& gate, const at::Tensor& start,
                          const at::Tensor& retention) {
  check_inputs(delta, gate, start, retention);
  if (!fused_path_covers(delta, gate)) return gated_scan_reference(delta, gate, start, retention);
  const int64_t B = delta.size(0), T = delta.size(1), S = delta.size(2);
  at::Tensor out = at::empty({B, T, S}, delta.options());
  if (out.numel() == 0) return out;
  const double a = scalar_to_double(retention);
  at::Tensor d = delta.contiguous(), g = gate.contiguous();
  at::Tensor s0 = converted(start, start.device(), delta.scalar_type());
  if (s0.size(0) != B) s0 = s0.expand({B, S});
  s0 = s0.contiguous();
  AT_DISPATCH_FLOATING_TYPES_AND2(at::kHalf, at::kBFloat16, delta.scalar_type(), "gated_scan", [&] {
    scan_forward_cpu<scalar_t>(d, g, s0, a, out);
  });
  return out;
}

at::Tensor gated_scan_meta(const at::Tensor& delta, const at::Tensor& gate, const at::Tensor& start,
                           const at::Tensor& retention) {
  check_inputs(delta, gate, start, retention);
  return at::empty(delta.sizes(), delta.options().dtype(result_dtype(delta, gate, retention)));
}

// The gradients in the inputs' own shapes and dtypes; d_start_rows is the gradient of the start
// state as broadcast over the batch, [B, S].
ScanGrads shaped_grads(const at::Tensor& delta, const at::Tensor& gate, const at::Tensor& start,
                       const at::Tensor& retention, const at::Tensor& d_delta, const at::Tensor& d_gate,
                       const at::Tensor& d_start_rows, const at::Tensor& d_a) {
  at::Tensor d_start = start.size(0) == d_start_rows.size(0) ? d_start_rows : d_start_rows.sum(0, true);
  return {converted(d_delta, d_delta.device(), delta.scalar_type()), converted(d_gate, d_gate.device(), gate.scalar_type()),
          converted(d_start, d_start.device(), start.scalar_type()),
          converted(d_a.sizes() == retention.sizes() ? d_a : d_a.reshape(retention.sizes()), d_a.device(),
                    retention.scalar_type())};
}

// The backward written out in ATen operations, for every device: the reverse scan one step at a time.
ScanGrads gated_scan_backward_reference(const at::Tensor& grad, const at::Tensor& delta, const at::Tensor& gate,
                                        const at::Tensor& start, const at::Tensor& retention,
                                        const at::Tensor& out) {
  check_inputs(delta, gate, start, retention);
  const int64_t B = delta.size(0), T = delta.size(1), S = delta.size(2);
  at::Tensor a = retention.reshape({}).to(out.scalar_type());
  at::Tensor u = gate * delta;
  at::Tensor g = grad.to(out.scalar_type());
  at::Tensor lam = at::zeros({B, S}, out.options());
  at::Tensor d_a = at::zeros({}, out.options());
  at::Tensor start_rows = start.to(out.scalar_type()).expand({B, S});
  std::vector<at::Tensor> d_delta(static_cast<size_t>(T)), d_gate(static_cast<size_t>(T));
  for (int64_t t = T - 1; t >= 0; --t) {
    lam = g.select(1, t) + a * lam;
    at::Tensor du = (1 - a) * lam;
    d_delta[static_cast<size_t>(t)] = du * gate.select(1, t);
    d_gate[static_cast<size_t>(t)] = du * delta.select(1, t);
    at::Tensor prev = t > 0 ? out.select(1, t - 1) : start_rows;
    d_a = d_a + (lam * (prev - u.select(1, t))).sum();
  }
  at::Tensor dd = T > 0 ? at::stack(d_delta, 1) : at::zeros({B, 0, S}, out.options());
  at::Tensor dg = T > 0 ? at::stack(d_gate, 1) : at::zeros({B, 0, S}, out.options());
  return shaped_grads(delta, gate, start, retention, dd, dg, a * lam, d_a);
}

ScanGrads gated_scan_backward_cpu(const at::Tensor& grad, const at::Tensor& delta, const at::Tensor& gate,
                                  const at::Tensor& start, const at::Tensor& retention, const at::Tensor& out) {
  check_inputs(delta, gate, start, retention);
  if (!fused_path_covers(delta, gate) || out.scalar_type() != delta.scalar_type()) {
    return gated_scan_backward_reference(grad, delta, gate, start, retention, out);
  }
  const int64_t B = delta.size(0), T = delta.size(1), S = delta.size(2);
  const at::ScalarType dtype = delta.scalar_type();
  at::Tensor d_delta = at::empty({B, T, S}, delta.options());
  at::Tensor d_gate = at::empty({B, T, S}, delta.options());
  // The reverse scan writes every row of the start's gradient; without time steps it is zero.
  at::Tensor d_start = d_delta.numel() > 0 ? at::empty({B, S}, delta.options()) : at::zeros({B, S}, delta.options());
  double d_a = 0.0;
  if (d_delta.numel() > 0) {
    const double a = scalar_to_double(retention);
    at::Tensor g = converted(grad, grad.device(), dtype).contiguous();
    at::Tensor d = delta.contiguous(), gt = gate.contiguous(), sigma = out.contiguous();
    at::Tensor s0 = converted(start, start.device(), dtype);
    if (s0.size(0) != B) s0 = s0.expand({B, S});
    s0 = s0.contiguous();
    AT_DISPATCH_FLOATING_TYPES_AND2(at::kHalf, at::kBFloat16, dtype, "gated_scan_backward", [&] {
      scan_backward_cpu<scalar_t>(g, d, gt, s0, sigma, a, d_delta, d_gate, d_start, d_a);
    });
  }
  const at::ScalarType a_dtype = retention.scalar_type();
  if (a_dtype == at::kFloat || a_dtype == at::kDouble) {
    // The retention's gradient made in its own dtype directly: the rounding the conversion from
    // double gives.
    at::Tensor d_retention = at::empty(retention.sizes(), retention.options());
    fill_scalar(d_retention, d_a);
    return shaped_grads(delta, gate, start, retention, d_delta, d_gate, d_start, d_retention);
  }
  return shaped_grads(delta, gate, start, retention, d_delta, d_gate, d_start,
                      at::full({}, d_a, retention.options().dtype(at::kDouble)));
}

ScanGrads gated_scan_backward_meta(const at::Tensor& grad, const at::Tensor& delta, const at::Tensor& gate,
                                   const at::Tensor& start, const at::Tensor& retention, const at::Tensor& out) {
  check_inputs(delta, gate, start, retention);
  return {at::empty_like(delta), at::empty_like(gate), at::empty_like(start), at::empty_like(retention)};
}

class GatedScanFunction : public torch::autograd::Function<GatedScanFunction> {
 public:
  static at::Tensor forward(torch::autograd::AutogradContext* ctx, const at::Tensor& delta,
                            const at::Tensor& gate, const at::Tensor& start, const at::Tensor& retention) {
    at::Tensor out;
    {
      at::AutoDispatchBelowADInplaceOrView below;
      static auto op = kestrel_op<ScanSignature>("kestrel::gated_scan");
      out = op.call(delta, gate, start, retention);
    }
    ctx->save_for_backward({delta, gate, start, retention, out});
    return out;
  }

  static torch::autograd::variable_list backward(torch::autograd::AutogradContext* ctx,
                                                 torch::autograd::variable_list grads) {
    auto saved = ctx->get_saved_variables();
    const at::Tensor& grad = grads[0];
    if (!grad.defined()) return {at::Tensor(), at::Tensor(), at::Tensor(), at::Tensor()};
    if (at::GradMode::is_enabled()) {
      // A graph of the backward is wanted: second and higher orders come from the reference.
      return reference_vjp(
          [](const std::vector<at::Tensor>& x) { return gated_scan_reference(x[0], x[1], x[2], x[3]); },
          {saved[0], saved[1], saved[2], saved[3]}, grad);
    }
    static auto op = kestrel_op<ScanBackwardSignature>("kestrel::_gated_scan_backward");
    auto [d_delta, d_gate, d_start, d_retention] = op.call(grad, saved[0], saved[1], saved[2], saved[3], saved[4]);
    return {d_delta, d_gate, d_start, d_retention};
  }
};

at::Tensor gated_scan_autograd(const at::Tensor& delta, const at::Tensor& gate, const at::Tensor& start,
                               const at::Tensor& retention) {
  return GatedScanFunction::apply(delta, gate, start, retention);
}

}  // namespace

at::Tensor gated_scan(const at::Tensor& delta, const at::Tensor& gate, const at::Tensor& start,
                      const at::Tensor& retention) {
  static auto op = kestrel_op<ScanSignature>("kestrel::gated_scan");
  return without_gil([&] { return op.call(delta, gate, start, retention); });
}

at::Tensor gated_scan_reference(const at::Tensor& delta, const at::Tensor& gate,
                                const at::Tensor& start, const at::Tensor& retention) {
  check_inputs(delta, gate, start, retention);
  const int64_t B = delta.size(0), T = delta.size(1), S = delta.size(2);
  at::Tensor a = retention.reshape({});
  at::Tensor u = gate * delta;
  if (T == 0) return at::empty({B, 0, S}, u.options().dtype(result_dtype(delta, gate, retention)));
  at::Tensor state = start.to(u.scalar_type()).expand({B, S});
  std::vector<at::Tensor> steps;
  steps.reserve(static_cast<size_t>(T));
  for (int64_t t = 0; t < T; ++t) {
    state = a * state + (1 - a) * u.select(1, t);
    steps.push_back(state);
  }
  return at::stack(steps, 1);
}

TORCH_LIBRARY(kestrel, m) {
  m.def("gated_scan(Tensor delta, Tensor gate, Tensor start, Tensor retention) -> Tensor");
  m.def("gated_scan_reference(Tensor delta, Tensor gate, Tensor start, Tensor retention) -> Tensor");
  m.def("_gated_scan_backward(Tensor grad, Tensor delta, Tensor gate, Tensor start, Tensor retention, "
        "Tensor out) -> (Tensor, Tensor, Tensor, Tensor)");
}

TORCH_LIBRARY_IMPL(kestrel, CPU, m) {
  m.impl("gated_scan", &gated_scan_cpu);
  m.impl("_gated_scan_backward", &gated_scan_backward_cpu);
}

TORCH_LIBRARY_IMPL(kestrel, CompositeExplicitAutograd, m) {
  m.impl("gated_scan", &gated_scan_reference);
  m.impl("_gated_scan_backward", &gated_scan_backward_reference);
}

TORCH_LIBRARY_IMPL(kestrel, Meta, m) {
  m.impl("gated_scan", &gated_scan_meta);
  m.impl("_gated_scan_backward", &gated_scan_backward_meta);
}

TORCH_LIBRARY_IMPL(kestrel, Autograd, m) {
  m.impl("gated_scan", &gated_scan_autograd);
  m.impl("_gated_scan_backward", torch::autograd::autogradNotImplementedFallback());
}

TORCH_LIBRARY_IMPL(kestrel, CompositeImplicitAutograd, m) {
  m.impl("gated_scan_reference", &gated_scan_reference);
}

}  // namespace kestrel::kernels

// The statistical front end of engram promotion: the running mean and co-moment matrix of the
// block state (Welford form, with outlier rejection and a periodic decay) and the adaptive rank
// chosen from an eigenvalue spectrum.
#include "fortress_engine/fortress.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

namespace kestrel::fortress {
namespace {

// The outlier test needs some history first, and the co-moments decay every 16th sample.
constexpr int64_t kOutlierMinSamples = 10;
constexpr int64_t kDecayPeriod = 16;

// One sample of the state width: the mean over batch and time of a state sequence, the mean over
// the batch of a batch of states, or a single state as it is.
at::Tensor reduce_to_sample(const at::Tensor& sigma) {
  if (sigma.dim() == 3) return sigma.mean(at::IntArrayRef{0, 1});
  if (sigma.dim() == 2) return sigma.mean(0);
  return sigma;
}

// The co-moment update of a sample on host memory: x, cov_mean and the diagonal of cov_C read
// where they lie, the outlier test, the running count and the new mean computed element by element
// as the tensor operations round them (one rounding per operation, the settings cast to the
// dtype as a wrapped number is), and cov_C updated by addr_ as below. Nothing (the caller takes the
// tensor path) unless x, cov_mean and cov_C are contiguous host tensors of T that the mean and the
// count may be written through, the count a host int64 scalar. The settings are read in the tensor
// path's order, each before the first write.
template <typename T>
std::optional<bool> accumulate_on_host(const Memory& mem, const at::Tensor& x, const at::Tensor& cov_n,
                                       const at::Tensor& cov_mean, const at::Tensor& cov_C, bool reject_outliers,
                                       int64_t n_before) {
  constexpr at::ScalarType dtype = c10::CppTypeToScalarType<T>::value;
  const int64_t S = cov_mean.numel();
  if (x.scalar_type() != dtype || cov_C.scalar_type() != dtype || !x.is_contiguous() || !cov_mean.is_contiguous() ||
      !cov_C.is_contiguous() || cov_C.dim() != 2 || cov_C.size(0) != S || cov_C.size(1) != S ||
      !readable_in_place(x) || !readable_in_place(cov_C) || !readable_in_place(cov_mean) ||
      cov_mean.requires_grad() || cov_mean.is_inference() || !is_writable_host_scalar(cov_n, at::kLong) ||
      shares_memory(x, cov_mean) || shares_memory(x, cov_n)) {
    return std::nullopt;
  }
  const T* xs = x.data_ptr<T>();
  T* mean = cov_mean.data_ptr<T>();
  const T* C = cov_C.data_ptr<T>();
  bool reject = false;
  for (int64_t i = 0; i < S; ++i) reject = reject || !std::isfinite(xs[i]);
  if (reject_outliers && n_before > kOutlierMinSamples) {
    const T eps = static_cast<T>(mem.setting<Cfg::eps>());
    const T count = static_cast<T>(n_before);
    // max over the scores, a NaN among them making it NaN (and the comparison false).
    T top = -std::numeric_limits<T>::infinity();
    bool nan = false;
    for (int64_t i = 0; i < S; ++i) {
      const T spread = std::sqrt(C[i * S + i] / count) + eps;
      const T z = std::abs(xs[i] - mean[i]) / spread;
      nan = nan || std::isnan(z);
      top = z > top ? z : top;
    }
    const T threshold = static_cast<T>(mem.setting<Cfg::cov_outlier_threshold>());
    reject = reject || (!nan && top > threshold);
  }
  const double decay = mem.setting<Cfg::cov_decay>();
  if (reject) return true;

  at::Tensor delta = at::empty({S}, x.options());
  at::Tensor delta2 = at::empty({S}, x.options());
  check_in_place(cov_C, delta);
  const int64_t n = n_before + 1;
  fill_scalar(cov_n, n);
  const T divisor = static_cast<T>(n);
  T* d = delta.data_ptr<T>();
  T* d2 = delta2.data_ptr<T>();
  for (int64_t i = 0; i < S; ++i) {
    d[i] = xs[i] - mean[i];
    mean[i] = mean[i] + d[i] / divisor;
    d2[i] = xs[i] - mean[i];
  }
  mark_written(cov_mean);
  at::Tensor(cov_C).addr_(delta, delta2);
  if (n % kDecayPeriod == 0) at::Tensor(cov_C).mul_(decay);
  return true;
}

// Folds one sample into cov_n, cov_mean and cov_C. A rejected sample (an outlier, or one with a
// non-finite component, which would poison every later statistic) changes nothing. Everything
// that can fail is done before the first write, so a bad input leaves the statistics whole.
void accumulate_covariance(py::object self, py::object sigma_arg) {
  Memory mem(self);
  const at::Tensor sigma = arg_tensor(sigma_arg, "sigma");
  at::NoGradGuard no_grad;

  at::Tensor cov_n = mem[Buf::cov_n];
  at::Tensor cov_mean = mem[Buf::cov_mean];
  at::Tensor cov_C = mem[Buf::cov_C];

  const at::Tensor x = reduce_to_sample(sigma);
  if (x.dim() != 1 || x.size(0) != cov_mean.size(0)) {
    raise(PyExc_ValueError, "sigma must reduce to one state vector of width " +
                                std::to_string(cov_mean.size(0)) + ", got shape " +
                                c10::str(sigma.sizes()));
  }
  check_in_place(cov_mean, x);

  const bool reject_outliers = mem.setting<Cfg::enable_outlier_rejection>();
  const int64_t n_before = scalar_to_int(cov_n);
  if (cov_mean.scalar_type() == at::kFloat || cov_mean.scalar_type() == at::kDouble) {
    std::optional<bool> done;
    AT_DISPATCH_FLOATING_TYPES(cov_mean.scalar_type(), "accumulate_covariance", [&] {
      done = accumulate_on_host<scalar_t>(mem, x, cov_n, cov_mean, cov_C, reject_outliers, n_before);
    });
    if (done) return;
  }
  at::Tensor reject = at::logical_not(at::isfinite(x).all());
  if (reject_outliers && n_before > kOutlierMinSamples) {
    const double eps = mem.setting<Cfg::eps>();
    const at::Tensor spread = at::sqrt(cov_C.diagonal() / cov_n) + eps;
    const at::Tensor z = (x - cov_mean).abs() / spread;
    reject = at::logical_or(reject, at::gt(z.max(), mem.setting<Cfg::cov_outlier_threshold>()));
  }
  const double decay = mem.setting<Cfg::cov_decay>();
  if (reject.item<bool>()) return;

  const at::Tensor delta = x - cov_mean;
  check_in_place(cov_C, delta);
  const int64_t n = n_before + 1;
  fill_scalar(cov_n, n);
  cov_mean.add_(delta / n);
  const at::Tensor delta2 = x - cov_mean;
  // Rows follow the old-mean difference, columns the new-mean one; addr_ updates cov_C in place
  // without an S x S temporary when the dtypes agree.
  if (delta.scalar_type() == cov_C.scalar_type() && delta2.scalar_type() == cov_C.scalar_type()) {
    cov_C.addr_(delta, delta2);
  } else {
    cov_C.add_(at::outer(delta, delta2));
  }
  if (n % kDecayPeriod == 0) cov_C.mul_(decay);
}

// The number of leading eigenvalues whose share of the total reaches `threshold`, before any
// bounds; none when the total is below eps.
std::optional<int64_t> explained_rank(const at::Tensor& eigenvalues, double threshold, double eps) {
  const at::Tensor total = eigenvalues.sum();
  if (at::lt(total, eps).item<bool>()) return std::nullopt;
  const at::Tensor ratio = at::cumsum(eigenvalues, 0) / total;
  return at::searchsorted(ratio, at::Scalar(threshold)).item<int64_t>() + 1;
}

// Smallest number of leading eigenvalues whose share of the total reaches the explained-variance
// target, bounded to [_k_min, _k_max]. The spectrum is expected largest first and non-negative.
py::int_ compute_adaptive_rank(py::object self, py::object eigenvalues_arg) {
  Memory mem(self);
  const at::Tensor eigenvalues = arg_tensor(eigenvalues_arg, "eigenvalues");
  const py::object k_min = mem.setting_object(Cfg::k_min);
  const py::object k_max = self.attr(interned("_k_max"));
  const double threshold = mem.setting<Cfg::explained_variance_threshold>();
  const double eps = mem.setting<Cfg::eps>();

  auto as_int = [](const py::object& v) { return arg_int_object(v, "rank"); };
  const std::optional<int64_t> explained = explained_rank(eigenvalues, threshold, eps);
  if (!explained) return as_int(k_min);
  const py::object k = py::int_(*explained);
  // max(k_min, min(k, k_max)), keeping the interpreter's choice of operand on ties.
  const py::object capped = k_max < k ? k_max : k;
  return as_int(capped > k_min ? capped : k_min);
}

OwnMethod own_compute_adaptive_rank;

}  // namespace

std::optional<AdaptiveRankInputs> own_adaptive_rank_inputs(const py::object& self) {
  if (!own_compute_adaptive_rank.resolved_by(self)) return std::nullopt;
  Memory mem(self);
  const py::object k_min = mem.setting_object(Cfg::k_min);
  const py::object k_max = self.attr(interned("_k_max"));
  // Bounds of another kind are compared as the interpreter compares them: only plain ints here.
  if (!PyLong_CheckExact(k_min.ptr()) || !PyLong_CheckExact(k_max.ptr())) return std::nullopt;
  AdaptiveRankInputs in;
  in.k_min = arg_int(k_min, "rank");
  in.k_max = arg_int(k_max, "rank");
  in.threshold = mem.setting<Cfg::explained_variance_threshold>();
  in.eps = mem.setting<Cfg::eps>();
  return in;
}

int64_t adaptive_rank(const at::Tensor& eigenvalues, const AdaptiveRankInputs& in) {
  return own_compute_adaptive_rank.run([&] {
    const std::optional<int64_t> explained = explained_rank(eigenvalues, in.threshold, in.eps);
    return explained ? std::max(in.k_min, std::min(*explained, in.k_max)) : in.k_min;
  });
}

void define_covariance_methods(const py::object& cls) {
  def_method(cls, "accumulate_covariance", &accumulate_covariance,
             "Accumulate the running covariance of the block state, with outlier rejection.",
             arg("sigma", "torch.Tensor"), returns("None"));
  own_compute_adaptive_rank.keep(
      cls, "_compute_adaptive_rank",
      def_method(cls, "_compute_adaptive_rank", &compute_adaptive_rank,
                 "Rank from explained variance: the leading eigenvalues that reach the threshold.",
                 py::arg("eigenvalues")));
}

}  // namespace kestrel::fortress

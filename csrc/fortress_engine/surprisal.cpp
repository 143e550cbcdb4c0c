// Surprisal statistics of the fortress: running first and second moments of the block's
// surprisal and the stability verdict that gates covariance accumulation and promotion.
#include "fortress_engine/fortress.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace kestrel::fortress {
namespace {

// The update on host scalars, when the score and both moments are zero-dimensional CPU tensors of
// one floating dtype (and the score shares no memory with them): the tensor path's operations
// on C++ scalars, rounded as they round. Returns (var, is_stable), or false for the tensor path.
template <typename T>
bool update_on_scalars(const Memory& mem, const at::Tensor& z_in, double alpha, double eps, double tau_mu,
                       double tau_sigma, T& var_out, bool& stable_out) {
  T z;
  Slot<T> mu, m2;
  Slot<int64_t> steps, streak;
  if (!host_value(z_in, z) || !mu.bind(mem, Buf::z_mu_ema) || !m2.bind(mem, Buf::z_m2_ema) ||
      !steps.bind(mem, Buf::stable_steps) || !streak.bind(mem, Buf::stable_streak))
    return false;
  for (const Slot<T>* s : {&mu, &m2})
    if (shares_memory(s->tensor(), z_in)) return false;

  const T weight = static_cast<T>(1.0 - alpha);
  const T mu_step = weight * z;
  const T m2_step = weight * (z * z);
  const bool finite = std::isfinite(z);
  if (finite) {
    mu.set(mu.get() * static_cast<T>(alpha) + mu_step);
    m2.set(m2.get() * static_cast<T>(alpha) + m2_step);
  }
  const T mean = mu.get();
  const T var = std::max(m2.get() - mean * mean, static_cast<T>(0.0));
  const T sigma = std::sqrt(var + static_cast<T>(eps));
  const bool stable = finite && mean < static_cast<T>(tau_mu) && sigma < static_cast<T>(tau_sigma);
  if (stable) {
    steps.set(steps.get() + 1);
    streak.set(streak.get() + 1);
  } else {
    steps.set(0);
    streak.set(0);
  }
  var_out = var;
  stable_out = stable;
  return true;
}

// Returns (mu, var, is_stable): mu is the z_mu_ema buffer itself, var the clamped variance and
// is_stable a zero-dimensional boolean tensor. A non-finite score leaves both moments as they
// were and makes the call unstable, so one bad value cannot poison the statistics for good.
// `stable_out`, when given, receives the truth of is_stable.
py::object update_stats(const py::object& self, const py::object& surprisal_score, bool* stable_out) {
  Memory mem(self);
  const at::Tensor z = arg_tensor(surprisal_score, "surprisal_score").detach();
  const double alpha = arg_float(self.attr(interned("_alpha_ema")), "_alpha_ema");
  const double eps = mem.setting<Cfg::eps>();
  const double tau_mu = mem.setting<Cfg::tau_mu>();
  const double tau_sigma = mem.setting<Cfg::tau_sigma>();

  // Moments held as host numbers of float or double take the update on those numbers.
  const auto on_host = [&](auto zero) -> std::optional<py::object> {
    using T = decltype(zero);
    T var;
    bool stable;
    if (!update_on_scalars<T>(mem, z, alpha, eps, tau_mu, tau_sigma, var, stable)) return std::nullopt;
    if (stable_out) {
      *stable_out = stable;
      return py::none();
    }
    return py::make_tuple(mem.object(Buf::z_mu_ema), to_py(at::scalar_tensor(var, c10::CppTypeToScalarType<T>::value)),
                          to_py(at::scalar_tensor(stable, at::kBool)));
  };
  const at::ScalarType dtype = mem[Buf::z_mu_ema].scalar_type();
  std::optional<py::object> done;
  if (dtype == at::kFloat) done = on_host(0.0f);
  if (dtype == at::kDouble) done = on_host(0.0);
  if (done) return *std::move(done);

  at::NoGradGuard no_grad;
  at::Tensor mu = mem[Buf::z_mu_ema];
  at::Tensor m2 = mem[Buf::z_m2_ema];
  const at::Tensor mu_step = (1.0 - alpha) * z;
  const at::Tensor m2_step = (1.0 - alpha) * z.pow(2);
  check_in_place(mu, mu_step);
  check_in_place(m2, m2_step);

  // mu * alpha + step equals mul_(alpha) then add_(step), rounding included.
  const at::Tensor finite = at::isfinite(z).to(mu.device());
  mu.copy_(at::where(finite, mu * alpha + mu_step, mu));
  m2.copy_(at::where(finite, m2 * alpha + m2_step, m2));

  const at::Tensor var = at::clamp_min(m2 - mu * mu, 0.0);
  const at::Tensor sigma = at::sqrt(var + eps);

  // (mu < tau_mu) and (sigma < tau_sigma), short-circuit: the verdict is the last comparison
  // evaluated.
  at::Tensor is_stable = at::logical_and(finite, at::lt(mu, tau_mu));
  bool stable = is_stable.item<bool>();
  if (stable) {
    is_stable = at::lt(sigma, tau_sigma);
    stable = is_stable.item<bool>();
  }

  at::Tensor steps = mem[Buf::stable_steps];
  at::Tensor streak = mem[Buf::stable_streak];
  if (stable) {
    steps.add_(1);
    streak.add_(1);
  } else {
    steps.zero_();
    streak.zero_();
  }
  if (stable_out) *stable_out = stable;
  return py::make_tuple(mem.object(Buf::z_mu_ema), to_py(var), to_py(is_stable));
}

py::object update_surprisal_stats(py::object self, py::object surprisal_score) {
  return update_stats(self, surprisal_score, nullptr);
}

OwnMethod own_update_surprisal_stats;

}  // namespace

bool surprisal_stable(const py::object& self, const py::object& surprisal_score) {
  if (own_update_surprisal_stats.resolved_by(self)) {
    bool stable = false;
    own_update_surprisal_stats.run([&] { update_stats(self, surprisal_score, &stable); });
    return stable;
  }
  return truth(unpack(self.attr(interned("update_surprisal_stats"))(surprisal_score), 3)[2]);
}

void define_surprisal_methods(const py::object& cls) {
  own_update_surprisal_stats.keep(
      cls, "update_surprisal_stats",
      def_method(cls, "update_surprisal_stats", &update_surprisal_stats,
                 "Update surprisal statistics and detect stability.", arg("surprisal_score", "torch.Tensor")));
}

}  // namespace kestrel::fortress

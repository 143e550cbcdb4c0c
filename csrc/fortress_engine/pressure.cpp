// The global pressure of the fortress: the raw pressure from conflict, surprisal and dance
// friction, the measurement of the fast/slow disagreement with its calm and tension statistics,
// and the rate-limited, smoothed update of `global_pressure`.
//
// The general path is tensor operations on the device of `global_pressure`; the settings of the
// update enter as scalar tensors of that device. The one tensor value read back to the host is
// whether the dance friction is finite; the switches `_enable_vgt` and `_enable_nonlinear_spike`
// are plain settings.
//
// On the host, with every buffer and input a zero-dimensional tensor of the memory's floating
// dtype, the same arithmetic runs on C++ scalars instead (the scalar path): the buffers are read
// into scalars, the update computed operation by operation as the tensor kernels round it (the
// scalar of an operation cast to the dtype first, no contraction into fused multiply-adds), and
// the results written back into the same buffer tensors.
#include "fortress_engine/fortress.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace kestrel::fortress {
namespace {

// Device and dtype of the pressure.
at::Tensor like_pressure(const at::Tensor& t, const at::Tensor& pressure) {
  return t.to(pressure.device(), pressure.scalar_type());
}

at::Tensor constant(double value, const at::TensorOptions& options) {
  return at::full({}, value, options);
}

// An in-place copy of a detached value, cast to the buffer's own dtype.
void store(at::Tensor buffer, const at::Tensor& value) {
  buffer.copy_(value.detach().to(buffer.scalar_type()));
}

// ---------------------------------------------------------------------------------------------
// Scalar forms of the tensor kernels, element by element as they compute on the host.

template <typename T>
T nan_to_num(T x, double nan, double posinf, double neginf) {
  if (std::isnan(x)) return static_cast<T>(nan);
  if (x == std::numeric_limits<T>::infinity()) return static_cast<T>(posinf);
  if (x == -std::numeric_limits<T>::infinity()) return static_cast<T>(neginf);
  return x;
}

// clamp with scalar bounds: max then min, a NaN passing through.
template <typename T>
T clamp(T x, double lo, double hi) {
  return std::min(std::max(x, static_cast<T>(lo)), static_cast<T>(hi));
}

// clamp with tensor bounds: a NaN bound makes the result NaN.
template <typename T>
T clamp_by(T x, T lo, T hi) {
  if (std::isnan(lo) || std::isnan(hi)) return std::numeric_limits<T>::quiet_NaN();
  return std::min(std::max(x, lo), hi);
}

template <typename T>
T sigmoid(T x) {
  return static_cast<T>(1) / (static_cast<T>(1) + std::exp(-x));
}

// Running statistics of the raw pressure: mean and mean absolute deviation of one signal.
template <typename T>
struct SignalSlots {
  Slot<T> mean, std;
};

// The buffers of the raw pressure.
template <typename T>
struct RawPressureSlots {
  SignalSlots<T> surprisal, friction;
  Slot<T> last_avg_conflict, last_surprisal, last_dance_friction, last_pressure_raw;

  bool bind(const Memory& mem) {
    return surprisal.mean.bind(mem, Buf::surprisal_mean_ema) && surprisal.std.bind(mem, Buf::surprisal_std_ema) &&
           friction.mean.bind(mem, Buf::dance_friction_mean_ema) &&
           friction.std.bind(mem, Buf::dance_friction_std_ema) &&
           last_avg_conflict.bind(mem, Buf::last_avg_conflict) && last_surprisal.bind(mem, Buf::last_surprisal) &&
           last_dance_friction.bind(mem, Buf::last_dance_friction) &&
           last_pressure_raw.bind(mem, Buf::last_pressure_raw);
  }
  // The buffers written before the raw pressure reads its given signals for the last time.
  bool early_write_aliases(const at::Tensor& t) const {
    for (const Slot<T>* s : {&surprisal.mean, &surprisal.std, &friction.mean, &friction.std})
      if (shares_memory(s->tensor(), t)) return true;
    return false;
  }
};

struct RawPressureSettings {
  double eps, w_conflict, w_surprisal, w_sync;
};

// The raw pressure on scalars (the switch `_enable_vgt` on): the signals' statistics and records
// updated, the pressure returned.
template <typename T>
T raw_pressure(const RawPressureSlots<T>& slots, const RawPressureSettings& s, T conflict_given, T surprisal_given,
               T friction_given) {
  const T conflict = nan_to_num(conflict_given, 0.0, 1.0, 0.0);
  const T surprisal = nan_to_num(surprisal_given, 1.0, 5.0, 0.0);
  const T friction = nan_to_num(friction_given, 1.0, 5.0, 0.0);

  const T rate = static_cast<T>(0.001);
  const T keep = static_cast<T>(1.0) - rate;
  // The deviation is measured from the mean just updated; a non-finite signal leaves both.
  auto follow = [&](const SignalSlots<T>& signal, T value, T given) {
    const bool finite = std::isfinite(given);
    if (finite) signal.mean.set(signal.mean.get() * keep + rate * value);
    const T centered = value - signal.mean.get();
    if (finite) signal.std.set(signal.std.get() * keep + rate * std::abs(centered));
    return centered;
  };
  const T surprisal_centered = follow(slots.surprisal, surprisal, surprisal_given);
  const T sync_centered = follow(slots.friction, friction, friction_given);

  const T eps = static_cast<T>(s.eps);
  const T surprisal_normalized =
      (clamp(surprisal_centered / (slots.surprisal.std.get() + eps), -3.0, 3.0) + static_cast<T>(3.0)) /
      static_cast<T>(6.0);
  const T sync_normalized =
      clamp(std::abs(sync_centered / (slots.friction.std.get() + eps)), 0.0, 3.0) / static_cast<T>(3.0);

  const T raw = static_cast<T>(s.w_conflict) * conflict + static_cast<T>(s.w_surprisal) * surprisal_normalized +
                static_cast<T>(s.w_sync) * sync_normalized;
  const T result = nan_to_num(sigmoid(raw), 1.0, 1.0, 0.0);

  slots.last_avg_conflict.set(conflict);
  slots.last_surprisal.set(surprisal);
  slots.last_dance_friction.set(friction);
  slots.last_pressure_raw.set(raw);
  return result;
}

// The memory's own _compute_pressure: the update computes the raw pressure on scalars only when the
// instance resolves the name to it.
OwnMethod own_compute_pressure;

// ---------------------------------------------------------------------------------------------
// Raw pressure

// The scalar path of _compute_pressure: the result, or an undefined tensor when the call takes the
// tensor path. A result that could carry a gradient is left to the tensor path.
template <typename T>
at::Tensor compute_pressure_on_scalars(const Memory& mem, const at::Tensor& pressure, const at::Tensor& conflict,
                                       const at::Tensor& surprisal, const at::Tensor& friction) {
  T c, su, f;
  if (!host_value(conflict, c) || !host_value(surprisal, su) || !host_value(friction, f)) return {};
  if (at::GradMode::is_enabled() &&
      (conflict.requires_grad() || surprisal.requires_grad() || friction.requires_grad()))
    return {};
  RawPressureSlots<T> slots;
  if (!slots.bind(mem) || slots.early_write_aliases(surprisal) || slots.early_write_aliases(friction)) return {};
  const RawPressureSettings s{mem.setting<Cfg::eps>(), mem.setting<Cfg::w_conflict_pressure>(),
                              mem.setting<Cfg::w_surprisal_pressure>(), mem.setting<Cfg::w_sync_pressure>()};
  const T result = raw_pressure(slots, s, c, su, f);
  return at::scalar_tensor(result, pressure.options());
}

py::object compute_pressure(py::object self, py::object engram_conflict, py::object global_surprisal,
                            py::object global_dance_friction) {
  Memory mem(self);
  const at::Tensor pressure = mem[Buf::global_pressure];
  if (!mem.setting<Cfg::enable_vgt>()) return to_py(at::zeros_like(pressure));

  const at::Tensor conflict_in = arg_tensor(engram_conflict, "engram_conflict");
  const at::Tensor surprisal_in = arg_tensor(global_surprisal, "global_surprisal");
  const at::Tensor friction_in = arg_tensor(global_dance_friction, "global_dance_friction");
  if (pressure.scalar_type() == at::kFloat || pressure.scalar_type() == at::kDouble) {
    const at::Tensor result =
        pressure.scalar_type() == at::kFloat
            ? compute_pressure_on_scalars<float>(mem, pressure, conflict_in, surprisal_in, friction_in)
            : compute_pressure_on_scalars<double>(mem, pressure, conflict_in, surprisal_in, friction_in);
    if (result.defined()) return to_py(result);
  }

  at::Tensor conflict = like_pressure(conflict_in, pressure);
  at::Tensor surprisal = like_pressure(surprisal_in, pressure);
  at::Tensor friction = like_pressure(friction_in, pressure);
  for (const at::Tensor& input : {conflict, surprisal, friction}) check_in_place(pressure, input);
  const double eps = mem.setting<Cfg::eps>();
  const double w_conflict = mem.setting<Cfg::w_conflict_pressure>();
  const double w_surprisal = mem.setting<Cfg::w_surprisal_pressure>();
  const double w_sync = mem.setting<Cfg::w_sync_pressure>();

  const at::Tensor surprisal_given = surprisal, friction_given = friction;
  conflict = at::nan_to_num(conflict, 0.0, 1.0, 0.0);
  surprisal = at::nan_to_num(surprisal, 1.0, 5.0, 0.0);
  friction = at::nan_to_num(friction, 1.0, 5.0, 0.0);

  // Running mean and mean absolute deviation of both signals; each deviation is measured from
  // the mean just updated. A signal given as a non-finite value takes part in this call's
  // pressure by its stand-in but leaves its running statistics as they were.
  const at::Tensor rate = constant(0.001, pressure.options());
  const at::Tensor keep = constant(1.0, pressure.options()) - rate;
  at::Tensor surprisal_centered, sync_centered;
  {
    at::NoGradGuard no_grad;
    const at::Tensor surprisal_mean = mem[Buf::surprisal_mean_ema];
    copy_if_finite(surprisal_mean, surprisal_mean * keep + rate * surprisal, surprisal_given);
    surprisal_centered = surprisal - surprisal_mean;
    const at::Tensor surprisal_std = mem[Buf::surprisal_std_ema];
    copy_if_finite(surprisal_std, surprisal_std * keep + rate * surprisal_centered.abs(), surprisal_given);

    const at::Tensor friction_mean = mem[Buf::dance_friction_mean_ema];
    copy_if_finite(friction_mean, friction_mean * keep + rate * friction, friction_given);
    sync_centered = friction - friction_mean;
    const at::Tensor friction_std = mem[Buf::dance_friction_std_ema];
    copy_if_finite(friction_std, friction_std * keep + rate * sync_centered.abs(), friction_given);
  }

  // Surprisal is signed around 0.5; the disagreement counts by its size only.
  const at::Tensor surprisal_normalized =
      (at::clamp(surprisal_centered / (mem[Buf::surprisal_std_ema] + eps), -3.0, 3.0) + 3.0) / 6.0;
  const at::Tensor sync_normalized =
      at::clamp((sync_centered / (mem[Buf::dance_friction_std_ema] + eps)).abs(), 0.0, 3.0) / 3.0;

  const at::Tensor raw = w_conflict * conflict + w_surprisal * surprisal_normalized + w_sync * sync_normalized;
  const at::Tensor result = at::nan_to_num(at::sigmoid(raw), 1.0, 1.0, 0.0);

  store(mem[Buf::last_avg_conflict], conflict);
  store(mem[Buf::last_surprisal], surprisal);
  store(mem[Buf::last_dance_friction], friction);
  store(mem[Buf::last_pressure_raw], raw);
  return to_py(result);
}

// ---------------------------------------------------------------------------------------------
// Global pressure update

// The friction of two logits tensors of one shape and floating dtype: both stacked into one
// tensor, so the quotient, the softmax and the logarithm are one vectorised operation each, and
// the rows' sums one pass over them, accumulated in double.
template <typename T>
at::Tensor friction_rows(const at::Tensor& fast, const at::Tensor& slow, double temperature) {
  at::Tensor scores = at::stack({fast, slow});
  const at::Tensor probs = at::softmax(scores.div_(number_like(scores, temperature)), -1);
  const at::Tensor logs = at::add(probs, number_like(probs, 1e-08)).log_();
  const int64_t n = fast.size(-1), count = fast.numel(), rows = count / n;
  const T* p = probs.data_ptr<T>();
  const T* q = p + count;
  const T* lp = logs.data_ptr<T>();
  const T* lq = lp + count;
  T total = 0;
  for (int64_t r = 0; r < rows; ++r) {
    double pq = 0.0, qp = 0.0;
    for (int64_t i = r * n; i < (r + 1) * n; ++i) {
      pq += static_cast<double>(p[i] * (lp[i] - lq[i]));
      qp += static_cast<double>(q[i] * (lq[i] - lp[i]));
    }
    total += static_cast<T>(pq) + static_cast<T>(qp);
  }
  return at::scalar_tensor(static_cast<T>(0.5) * (total / static_cast<T>(rows)), probs.options());
}

// Symmetric KL divergence of the two heads' tempered distributions, averaged over positions.
at::Tensor measured_friction(const at::Tensor& fast_logits, const at::Tensor& slow_logits, double temperature) {
  const at::ScalarType dtype = fast_logits.scalar_type();
  const bool graph = at::GradMode::is_enabled() && (fast_logits.requires_grad() || slow_logits.requires_grad());
  if (!graph && (dtype == at::kFloat || dtype == at::kDouble) && slow_logits.scalar_type() == dtype &&
      fast_logits.sizes() == slow_logits.sizes() && fast_logits.dim() >= 1 && fast_logits.numel() > 0 &&
      readable_in_place(fast_logits) && readable_in_place(slow_logits)) {
    return dtype == at::kFloat ? friction_rows<float>(fast_logits, slow_logits, temperature)
                               : friction_rows<double>(fast_logits, slow_logits, temperature);
  }
  const at::Tensor p = at::softmax(fast_logits / temperature, -1);
  const at::Tensor q = at::softmax(slow_logits / temperature, -1);
  const at::Tensor log_p = at::log(p + 1e-08);
  const at::Tensor log_q = at::log(q + 1e-08);
  const at::Tensor kl_pq = (p * (log_p - log_q)).sum(-1);
  const at::Tensor kl_qp = (q * (log_q - log_p)).sum(-1);
  return 0.5 * (kl_pq + kl_qp).mean();
}

// The settings of the raw pressure (phase 4), read here only for their errors: the update reads
// them before its first write, so that a bad one refuses the update with nothing changed.
void check_raw_pressure_settings(const Memory& mem) {
  if (!mem.setting<Cfg::enable_vgt>()) return;
  mem.setting<Cfg::w_conflict_pressure>();
  mem.setting<Cfg::w_surprisal_pressure>();
  mem.setting<Cfg::w_sync_pressure>();
}

// The settings one update computes with, read before any state changes.
struct UpdateSettings {
  double eps, band_std_mult, drift_std_mult, friction_ema_decay, tension_high_z;
  int64_t calm_window_steps;
  bool spike;
  double spike_tau = 0, spike_epsilon = 0, spike_multiplier = 0;
  int64_t spike_warmup_steps = 0;
  double max_pressure_delta, pressure_ema_decay;

  explicit UpdateSettings(const Memory& mem)
      : eps(mem.setting<Cfg::eps>()),
        band_std_mult(mem.setting<Cfg::calm_band_std_mult>()),
        drift_std_mult(mem.setting<Cfg::calm_drift_std_mult>()),
        friction_ema_decay(mem.setting<Cfg::collapse_friction_ema_decay>()),
        tension_high_z(mem.setting<Cfg::collapse_tension_high_z>()),
        calm_window_steps(mem.setting<Cfg::calm_window_steps>()),
        spike(mem.setting<Cfg::enable_nonlinear_spike>()),
        max_pressure_delta(mem.setting<Cfg::max_pressure_delta>()),
        pressure_ema_decay(mem.setting<Cfg::pressure_ema_decay>()) {
    if (spike) {
      spike_tau = mem.setting<Cfg::dance_spike_tau>();
      spike_epsilon = mem.setting<Cfg::dance_spike_epsilon>();
      spike_multiplier = mem.setting<Cfg::spike_multiplier>();
      spike_warmup_steps = mem.setting<Cfg::spike_warmup_steps>();
    }
  }
};

// The buffers of the update besides those of the raw pressure, the early ones (written before the
// update reads its given conflict and surprisal for the last time) first.
#define KESTREL_EARLY_UPDATE_SLOTS(X)                                                                 \
  X(last_dance_friction_nonfinite) X(dance_kl_ema_mean) X(dance_kl_ema_var) X(delta_dance_kl_ema_mean) \
  X(delta_dance_kl_ema_var) X(adaptive_calm_ok) X(bounded_calm_ok) X(trainer_calm_ok) X(last_dance_z)  \
  X(last_drift_z) X(cosmic_surprisal_z) X(shakti_tension_z) X(last_calm_band_thresh)                   \
  X(last_calm_drift_thresh) X(friction_ema) X(friction_ema_absdev) X(last_friction_drop_z)
#define KESTREL_LATE_UPDATE_SLOTS(X)                                                                \
  X(global_pressure) X(pressure_prev) X(prev_dance_friction) X(last_spike_applied) X(prev_pressure_raw) \
  X(last_dance_friction_centered) X(last_delta_dance_friction) X(last_delta_pressure_raw)
#define KESTREL_COUNTER_SLOTS(X) X(tension_high_streak) X(calm_streak) X(global_step)

template <typename T>
struct UpdateSlots {
#define KESTREL_X(name) Slot<T> name;
  KESTREL_EARLY_UPDATE_SLOTS(KESTREL_X)
  KESTREL_LATE_UPDATE_SLOTS(KESTREL_X)
#undef KESTREL_X
#define KESTREL_X(name) Slot<int64_t> name;
  KESTREL_COUNTER_SLOTS(KESTREL_X)
#undef KESTREL_X
  RawPressureSlots<T> raw;

  bool bind(const Memory& mem) {
#define KESTREL_X(name) name.bind(mem, Buf::name) &&
    return KESTREL_EARLY_UPDATE_SLOTS(KESTREL_X) KESTREL_LATE_UPDATE_SLOTS(KESTREL_X)
        KESTREL_COUNTER_SLOTS(KESTREL_X) raw.bind(mem);
#undef KESTREL_X
  }
  // Conflict and surprisal are read until the raw pressure has taken them in; the dance friction
  // until the bookkeeping of the next update (the streak counters share none of their memory).
  bool early_write_aliases(const at::Tensor& t) const {
#define KESTREL_X(name) shares_memory(name.tensor(), t) ||
    return KESTREL_EARLY_UPDATE_SLOTS(KESTREL_X) KESTREL_COUNTER_SLOTS(KESTREL_X) raw.early_write_aliases(t);
#undef KESTREL_X
  }
  bool write_aliases(const at::Tensor& t) const {
#define KESTREL_X(name) shares_memory(name.tensor(), t) ||
    return KESTREL_LATE_UPDATE_SLOTS(KESTREL_X) shares_memory(raw.last_avg_conflict.tensor(), t) ||
           shares_memory(raw.last_surprisal.tensor(), t) || shares_memory(raw.last_dance_friction.tensor(), t) ||
           shares_memory(raw.last_pressure_raw.tensor(), t) || early_write_aliases(t);
#undef KESTREL_X
  }
};
#undef KESTREL_EARLY_UPDATE_SLOTS
#undef KESTREL_LATE_UPDATE_SLOTS
#undef KESTREL_COUNTER_SLOTS

// The scalar path of the update: false, with nothing read or written, when the call takes the
// tensor path (an input or buffer that is not a host scalar of the pressure's dtype, an input
// sharing memory with a buffer the update writes before it is done with the input, or a
// _compute_pressure that is not the memory's own).
template <typename T>
bool update_on_scalars(const py::object& self, const Memory& mem, const UpdateSettings& s,
                       const at::Tensor& conflict_in, const at::Tensor& world_in, const at::Tensor& friction_in) {
  T conflict, world, friction;
  if (!host_value(conflict_in, conflict) || !host_value(world_in, world) || !host_value(friction_in, friction))
    return false;
  UpdateSlots<T> b;
  if (!b.bind(mem) || b.early_write_aliases(conflict_in) || b.early_write_aliases(world_in) ||
      b.write_aliases(friction_in))
    return false;
  if (!own_compute_pressure.resolved_by(self)) return false;
  const bool vgt = mem.setting<Cfg::enable_vgt>();
  RawPressureSettings raw_settings{};
  if (vgt)
    raw_settings = {mem.setting<Cfg::eps>(), mem.setting<Cfg::w_conflict_pressure>(),
                    mem.setting<Cfg::w_surprisal_pressure>(), mem.setting<Cfg::w_sync_pressure>()};

  // Phase 1: measurement (see the tensor path below for what each step means).
  const bool nonfinite = !std::isfinite(friction);
  T delta, centered;
  if (!nonfinite) {
    b.last_dance_friction_nonfinite.set(0);
    delta = friction - b.prev_dance_friction.get();
    const T beta = static_cast<T>(0.98);
    const T keep = static_cast<T>(1) - beta;
    b.dance_kl_ema_mean.set(b.dance_kl_ema_mean.get() * beta + friction * keep);
    const T kl_delta = friction - b.dance_kl_ema_mean.get();
    b.dance_kl_ema_var.set(b.dance_kl_ema_var.get() * beta + kl_delta * kl_delta * keep);
    b.delta_dance_kl_ema_mean.set(b.delta_dance_kl_ema_mean.get() * beta + delta * keep);
    const T delta_kl_delta = delta - b.delta_dance_kl_ema_mean.get();
    b.delta_dance_kl_ema_var.set(b.delta_dance_kl_ema_var.get() * beta + delta_kl_delta * delta_kl_delta * keep);
    centered = friction - b.dance_kl_ema_mean.get();
  } else {
    friction = static_cast<T>(1.0);
    b.last_dance_friction_nonfinite.set(1);
    b.adaptive_calm_ok.set(0);
    b.bounded_calm_ok.set(0);
    b.trainer_calm_ok.set(0);
    delta = friction - b.prev_dance_friction.get();
    centered = 0;
    b.tension_high_streak.set(0);
  }

  const T mean = b.dance_kl_ema_mean.get();
  const T delta_mean = b.delta_dance_kl_ema_mean.get();
  const T tiny = static_cast<T>(1e-08);
  const T kl_std = std::sqrt(b.dance_kl_ema_var.get() + tiny);
  const T delta_kl_std = std::sqrt(b.delta_dance_kl_ema_var.get() + tiny);
  const T band_thresh = mean + static_cast<T>(s.band_std_mult) * kl_std;
  const T drift_thresh = delta_mean + static_cast<T>(s.drift_std_mult) * delta_kl_std;

  const T sync_z = std::abs(friction - mean) / (kl_std + tiny);
  const T drift_z = std::abs(delta - delta_mean) / (delta_kl_std + tiny);
  const T world_z = nan_to_num(
      std::abs(world - b.raw.surprisal.mean.get()) / (b.raw.surprisal.std.get() + static_cast<T>(s.eps)), 0.0,
      10.0, 0.0);
  const T tension_z = nan_to_num(std::abs(sync_z), 0.0, 10.0, 0.0);

  b.last_dance_z.set(sync_z);
  b.last_drift_z.set(drift_z);
  b.cosmic_surprisal_z.set(world_z);
  b.shakti_tension_z.set(tension_z);
  b.last_calm_band_thresh.set(band_thresh);
  b.last_calm_drift_thresh.set(drift_thresh);

  if (nonfinite) {
    b.last_friction_drop_z.set(0);
    b.calm_streak.set(0);
    b.last_spike_applied.set(0);
    return true;
  }

  // Friction average of the collapse test, in float32.
  {
    const float decay = static_cast<float>(s.friction_ema_decay);
    const float keep = 1.0f - decay;
    const float fric = static_cast<float>(friction);
    const float fric_ema = static_cast<float>(b.friction_ema.get()) * decay + fric * keep;
    const float fric_absdev =
        static_cast<float>(b.friction_ema_absdev.get()) * decay + std::abs(fric - fric_ema) * keep;
    const float drop_z = nan_to_num((fric_ema - fric) / (fric_absdev + static_cast<float>(1e-08)), 0.0, 10.0, -10.0);
    b.friction_ema.set(static_cast<T>(fric_ema));
    b.friction_ema_absdev.set(static_cast<T>(fric_absdev));
    b.last_friction_drop_z.set(static_cast<T>(drop_z));
  }

  // Phase 2: tension streak.
  b.tension_high_streak.set(tension_z >= static_cast<T>(s.tension_high_z) ? b.tension_high_streak.get() + 1 : 0);

  // Phase 3: calm streak and calm flags.
  {
    const bool is_calm = friction < band_thresh && std::abs(delta) < std::abs(drift_thresh) && std::isfinite(friction);
    b.calm_streak.set(is_calm ? b.calm_streak.get() + 1 : 0);
    const T calm_ok = b.calm_streak.get() >= s.calm_window_steps ? 1 : 0;
    b.adaptive_calm_ok.set(calm_ok);
    b.bounded_calm_ok.set(calm_ok);
  }

  // Phase 4: raw pressure.
  T raw = vgt ? raw_pressure(b.raw, raw_settings, conflict, world, friction) : static_cast<T>(0);
  raw = nan_to_num(raw, 1.0, 1.0, 0.0);

  // Phase 5: nonlinear spike.
  if (s.spike) {
    const bool spike = b.global_step.get() > s.spike_warmup_steps &&
                       std::abs(delta) > static_cast<T>(s.spike_tau) &&
                       std::abs(centered) > static_cast<T>(s.spike_epsilon);
    const T factor = spike ? static_cast<T>(s.spike_multiplier) : static_cast<T>(1.0);
    raw = clamp(raw * factor, 0.0, 1.0);
    b.last_spike_applied.set(spike ? 1 : 0);
  } else {
    b.last_spike_applied.set(0);
  }

  // Phase 6: bookkeeping.
  const T delta_raw = raw - b.prev_pressure_raw.get();
  b.last_dance_friction_centered.set(centered);
  b.last_delta_dance_friction.set(delta);
  b.last_delta_pressure_raw.set(delta_raw);
  b.prev_dance_friction.set(friction);
  b.prev_pressure_raw.set(raw);
  b.raw.last_pressure_raw.set(raw);

  // Phase 7: rate limit and smoothing.
  {
    const T previous = b.pressure_prev.get();
    const T max_delta = static_cast<T>(s.max_pressure_delta);
    const T limited = previous + clamp_by(raw - previous, -max_delta, max_delta);
    const T decay = static_cast<T>(s.pressure_ema_decay);
    const T global = b.global_pressure.get() * decay + limited * (static_cast<T>(1.0) - decay);
    b.global_pressure.set(global);
    b.pressure_prev.set(global);
  }
  return true;
}

void update_global_pressure(py::object self, py::object avg_conflict, py::object surprisal,
                            py::object dance_friction, py::object fast_logits, py::object slow_logits) {
  Memory mem(self);
  const at::Tensor pressure = mem[Buf::global_pressure];
  const at::TensorOptions options = pressure.options();

  // Inputs, all checked before any state changes. With both heads' logits the dance friction is
  // measured from them and the dance_friction argument is not used.
  at::Tensor friction;
  if (!fast_logits.is_none() && !slow_logits.is_none()) {
    friction = measured_friction(arg_tensor(fast_logits, "fast_logits"), arg_tensor(slow_logits, "slow_logits"),
                                 mem.setting<Cfg::kl_temperature>());
  } else {
    friction = arg_tensor(dance_friction, "dance_friction");
  }
  const at::Tensor friction_in = friction;
  const at::Tensor conflict_in = arg_tensor(avg_conflict, "avg_conflict");
  const at::Tensor world_in = arg_tensor(surprisal, "surprisal");
  // Host scalars of the pressure's dtype need no conversion and pass the in-place checks.
  const at::ScalarType dtype = pressure.scalar_type();
  if ((dtype == at::kFloat || dtype == at::kDouble) && is_host_scalar(conflict_in, dtype) &&
      is_host_scalar(world_in, dtype) && is_host_scalar(friction_in, dtype)) {
    const UpdateSettings s(mem);
    check_raw_pressure_settings(mem);
    if (dtype == at::kFloat ? update_on_scalars<float>(self, mem, s, conflict_in, world_in, friction_in)
                            : update_on_scalars<double>(self, mem, s, conflict_in, world_in, friction_in))
      return;
  }
  friction = like_pressure(friction_in, pressure);
  const at::Tensor conflict = like_pressure(conflict_in, pressure);
  const at::Tensor world = like_pressure(world_in, pressure);
  for (const at::Tensor& input : {conflict, world, friction}) check_in_place(pressure, input);
  const UpdateSettings s(mem);
  check_raw_pressure_settings(mem);

  // Phase 1: measurement. A non-finite dance friction counts as 1.0 for this call's readings,
  // resets the calm flags and the streaks, and leaves every running statistic, the pressure and
  // the previous-call values as they are: the update ends after the readings (below).
  const bool nonfinite = !at::isfinite(friction).all().item<bool>();
  at::Tensor delta, centered;
  {
    at::NoGradGuard no_grad;
    if (!nonfinite) {
      mem[Buf::last_dance_friction_nonfinite].zero_();
      delta = friction - mem[Buf::prev_dance_friction];
      const at::Tensor beta = constant(0.98, options);
      const at::Tensor keep = at::rsub(beta, 1);
      at::Tensor mean = mem[Buf::dance_kl_ema_mean];
      mean.mul_(beta).add_(friction * keep);
      const at::Tensor kl_delta = friction - mean;
      mem[Buf::dance_kl_ema_var].mul_(beta).add_(kl_delta * kl_delta * keep);
      at::Tensor delta_mean = mem[Buf::delta_dance_kl_ema_mean];
      delta_mean.mul_(beta).add_(delta * keep);
      const at::Tensor delta_kl_delta = delta - delta_mean;
      mem[Buf::delta_dance_kl_ema_var].mul_(beta).add_(delta_kl_delta * delta_kl_delta * keep);
      centered = friction - mean;
    } else {
      friction = constant(1.0, options);
      mem[Buf::last_dance_friction_nonfinite].fill_(1.0);
      mem[Buf::adaptive_calm_ok].zero_();
      mem[Buf::bounded_calm_ok].zero_();
      mem[Buf::trainer_calm_ok].zero_();
      delta = friction - mem[Buf::prev_dance_friction];
      centered = at::zeros_like(friction);
      mem[Buf::tension_high_streak].zero_();
    }
  }

  const at::Tensor mean = mem[Buf::dance_kl_ema_mean];
  const at::Tensor delta_mean = mem[Buf::delta_dance_kl_ema_mean];
  const at::Tensor kl_std = at::sqrt(mem[Buf::dance_kl_ema_var] + 1e-08);
  const at::Tensor delta_kl_std = at::sqrt(mem[Buf::delta_dance_kl_ema_var] + 1e-08);
  const at::Tensor band_thresh = mean + s.band_std_mult * kl_std;
  const at::Tensor drift_thresh = delta_mean + s.drift_std_mult * delta_kl_std;

  const at::Tensor sync_z = (friction - mean).abs() / (kl_std + 1e-08);
  const at::Tensor drift_z = (delta - delta_mean).abs() / (delta_kl_std + 1e-08);
  const at::Tensor world_z = at::nan_to_num(
      (world - mem[Buf::surprisal_mean_ema]).abs() / (mem[Buf::surprisal_std_ema] + s.eps), 0.0, 10.0, 0.0);
  const at::Tensor tension_z = at::nan_to_num(sync_z.abs(), 0.0, 10.0, 0.0);

  store(mem[Buf::last_dance_z], sync_z);
  store(mem[Buf::last_drift_z], drift_z);
  store(mem[Buf::cosmic_surprisal_z], world_z);
  store(mem[Buf::shakti_tension_z], tension_z);
  store(mem[Buf::last_calm_band_thresh], band_thresh);
  store(mem[Buf::last_calm_drift_thresh], drift_thresh);

  if (nonfinite) {
    // No reading of a drop, no streak, no spike; nothing that carries over to the next call.
    mem[Buf::last_friction_drop_z].zero_();
    mem[Buf::calm_streak].zero_();
    mem[Buf::last_spike_applied].zero_();
    return;
  }

  // Friction average for the collapse test, in float32 whatever the default dtype; its drop score
  // is positive when the friction falls below the average.
  {
    const at::TensorOptions f32 = options.dtype(at::kFloat);
    const at::Tensor decay = constant(s.friction_ema_decay, f32);
    const at::Tensor keep = constant(1.0, f32) - decay;
    const at::Tensor fric = friction.detach().to(at::kFloat);
    const at::Tensor fric_ema = mem[Buf::friction_ema].to(at::kFloat) * decay + fric * keep;
    const at::Tensor fric_absdev =
        mem[Buf::friction_ema_absdev].to(at::kFloat) * decay + (fric - fric_ema).abs() * keep;
    const at::Tensor drop_z = at::nan_to_num((fric_ema - fric) / (fric_absdev + 1e-08), 0.0, 10.0, -10.0);
    store(mem[Buf::friction_ema], fric_ema);
    store(mem[Buf::friction_ema_absdev], fric_absdev);
    store(mem[Buf::last_friction_drop_z], drop_z);
  }

  // Phase 2: tension streak.
  {
    at::Tensor streak = mem[Buf::tension_high_streak];
    const at::Tensor high = at::ge(tension_z, s.tension_high_z);
    streak.copy_(at::where(high, streak + 1, at::zeros_like(streak)));
  }

  // Phase 3: calm streak and calm flags.
  {
    const at::Tensor in_band = at::lt(friction, band_thresh);
    const at::Tensor low_drift = at::lt(delta.abs(), drift_thresh.abs());
    const at::Tensor is_calm = at::logical_and(at::logical_and(in_band, low_drift), at::isfinite(friction));
    at::Tensor streak = mem[Buf::calm_streak];
    streak.copy_(at::where(is_calm, streak + 1, at::zeros_like(streak)));
    const at::Tensor steps = at::full({}, s.calm_window_steps, streak.options().device(pressure.device()));
    at::Tensor calm_ok = mem[Buf::adaptive_calm_ok];
    calm_ok.copy_(at::ge(streak, steps).to(pressure.scalar_type()));
    mem[Buf::bounded_calm_ok].copy_(calm_ok);
  }

  // Phase 4: raw pressure, through the method so that overrides take part.
  py::object computed = self.attr(interned("_compute_pressure"))(to_py(conflict), to_py(world), to_py(friction));
  at::Tensor raw = at::nan_to_num(arg_tensor(computed, "P_raw"), 1.0, 1.0, 0.0);

  // Phase 5: nonlinear spike after the warm-up, on a sudden change away from the running mean.
  if (s.spike) {
    const at::Tensor step = mem[Buf::global_step];
    const at::Tensor warmup = at::full({}, s.spike_warmup_steps, step.options().device(pressure.device()));
    const at::Tensor spike = at::logical_and(
        at::logical_and(at::gt(step, warmup), at::gt(delta.abs(), constant(s.spike_tau, options))),
        at::gt(centered.abs(), constant(s.spike_epsilon, options)));
    const at::Tensor factor = at::where(spike, constant(s.spike_multiplier, options), constant(1.0, options));
    raw = at::clamp(raw * factor, 0.0, 1.0);
    store(mem[Buf::last_spike_applied], spike);
  } else {
    mem[Buf::last_spike_applied].zero_();
  }

  // Phase 6: bookkeeping for the next update and the diagnostics.
  const at::Tensor delta_raw = raw - mem[Buf::prev_pressure_raw];
  store(mem[Buf::last_dance_friction_centered], centered);
  store(mem[Buf::last_delta_dance_friction], delta);
  store(mem[Buf::last_delta_pressure_raw], delta_raw);
  store(mem[Buf::prev_dance_friction], friction);
  store(mem[Buf::prev_pressure_raw], raw);
  store(mem[Buf::last_pressure_raw], raw);

  // Phase 7: the target is pulled to within max_delta of the current pressure, which then moves
  // by the fraction 1 - decay of that distance. The buffer never takes autograd history.
  {
    at::NoGradGuard no_grad;
    at::Tensor global = mem[Buf::global_pressure];
    at::Tensor previous = mem[Buf::pressure_prev];
    const at::Tensor max_delta = constant(s.max_pressure_delta, options);
    const at::Tensor limited = previous + at::clamp(raw.detach() - previous, -max_delta, max_delta);
    const at::Tensor decay = constant(s.pressure_ema_decay, options);
    global.mul_(decay).add_(limited * at::rsub(decay, 1.0));
    previous.copy_(global);
  }
}

OwnMethod own_update_global_pressure;

}  // namespace

void global_pressure_update(const py::object& self, const py::object& avg_conflict, const py::object& surprisal,
                            const py::object& dance_friction) {
  if (own_update_global_pressure.resolved_by(self)) {
    own_update_global_pressure.run(
        [&] { update_global_pressure(self, avg_conflict, surprisal, dance_friction, py::none(), py::none()); });
    return;
  }
  self.attr(interned("_update_global_pressure"))(avg_conflict, surprisal, dance_friction);
}

void define_pressure_methods(const py::object& cls) {
  own_compute_pressure.keep(cls, "_compute_pressure",
                            def_method(cls, "_compute_pressure", &compute_pressure,
                                       "VGT: Compute shared pressure scalar from exhaust signals.",
                                       py::arg("engram_conflict"), py::arg("global_surprisal"),
                                       py::arg("global_dance_friction")));
  own_update_global_pressure.keep(
      cls, "_update_global_pressure",
      def_method(cls, "_update_global_pressure", &update_global_pressure,
                 "Update the global pressure from conflict, surprisal and the fast/slow disagreement:\n"
                 "calm and tension statistics, raw pressure, optional spike, rate limit and smoothing.",
                 py::arg("avg_conflict"), py::arg("surprisal"), py::arg("dance_friction"),
                 py::arg("fast_logits") = py::none(), py::arg("slow_logits") = py::none()));
}

}  // namespace kestrel::fortress

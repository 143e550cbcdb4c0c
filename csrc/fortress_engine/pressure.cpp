// The global pressure of the fortress: the raw pressure from conflict, surprisal and dance
// friction, the measurement of the fast/slow disagreement with its calm and tension statistics,
// and the rate-limited, smoothed update of `global_pressure`.
//
// Everything is a tensor operation on the device of `global_pressure`; the settings of the update
// enter as scalar tensors of that device. The one tensor value read back to the host is whether
// the dance friction is finite; the switches `_enable_vgt` and `_enable_nonlinear_spike` are plain
// settings.
#include "fortress_engine/fortress.h"

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
// Raw pressure

py::object compute_pressure(py::object self, py::object engram_conflict, py::object global_surprisal,
                            py::object global_dance_friction) {
  Memory mem(self);
  const at::Tensor pressure = mem[Buf::global_pressure];
  if (!mem.setting<Cfg::enable_vgt>()) return to_py(at::zeros_like(pressure));

  at::Tensor conflict = like_pressure(arg_tensor(engram_conflict, "engram_conflict"), pressure);
  at::Tensor surprisal = like_pressure(arg_tensor(global_surprisal, "global_surprisal"), pressure);
  at::Tensor friction = like_pressure(arg_tensor(global_dance_friction, "global_dance_friction"), pressure);
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

// Symmetric KL divergence of the two heads' tempered distributions, averaged over positions.
at::Tensor measured_friction(const at::Tensor& fast_logits, const at::Tensor& slow_logits, double temperature) {
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
  friction = like_pressure(friction, pressure);
  const at::Tensor conflict = like_pressure(arg_tensor(avg_conflict, "avg_conflict"), pressure);
  const at::Tensor world = like_pressure(arg_tensor(surprisal, "surprisal"), pressure);
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
  py::object computed = self.attr("_compute_pressure")(to_py(conflict), to_py(world), to_py(friction));
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

}  // namespace

void define_pressure_methods(const py::object& cls) {
  def_method(cls, "_compute_pressure", &compute_pressure,
             "VGT: Compute shared pressure scalar from exhaust signals.", py::arg("engram_conflict"),
             py::arg("global_surprisal"), py::arg("global_dance_friction"));
  def_method(cls, "_update_global_pressure", &update_global_pressure,
             "Update the global pressure from conflict, surprisal and the fast/slow disagreement:\n"
             "calm and tension statistics, raw pressure, optional spike, rate limit and smoothing.",
             py::arg("avg_conflict"), py::arg("surprisal"), py::arg("dance_friction"),
             py::arg("fast_logits") = py::none(), py::arg("slow_logits") = py::none());
}

}  // namespace kestrel::fortress

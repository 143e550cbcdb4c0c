// The diagnostics dictionary of the war engine block: the integrator's own entries, the block's
// surprisal and state variance, a snapshot of the fortress (steps, stability, covariance,
// promotion and union state, pressure and calm machinery, collapse gate, usage) and the first
// three engrams.
//
// Every tensor value of one dictionary is read to the host at once (HostScalars).
#include "fortress_engine/fortress.h"

#include <string>
#include <vector>

namespace kestrel::fortress {
namespace {

enum class Src {
  Buffer,            // a fortress buffer
  Surprisal,         // the call's surprisal score
  StateVariance,     // the block's state_variance_ema
  EngramCount,       // the length of the engram list
  Stable,            // the call's stability verdict, as 1.0 or 0.0
  PromotionReason,   // fortress.last_promotion_reason()
  UnionModeName,     // fortress._union_mode_name(int(last_union_mode))
  UnionModeConfig,   // fortress._union_mode_config_code()
  QualityThreshold,  // float(fortress._quality_threshold)
};
enum class Conv { None, Float, Int };

struct Entry {
  const char* key;
  Src src;
  Conv conv;
  Buf buf;  // the buffer read, for Buffer and UnionModeName
};

constexpr Entry buffer_entry(const char* key, Buf buf, Conv conv) { return {key, Src::Buffer, conv, buf}; }
constexpr Entry special(const char* key, Src src, Conv conv = Conv::None, Buf buf = Buf::global_step) {
  return {key, src, conv, buf};
}
constexpr Conv F = Conv::Float, I = Conv::Int;

// Always present.
constexpr Entry kBlockEntries[] = {
    special("surprisal_score", Src::Surprisal, F),
    special("state_variance_ema", Src::StateVariance, F),
    buffer_entry("fortress_step", Buf::global_step, I),
    special("sacred_engrams", Src::EngramCount),
    buffer_entry("stable_steps", Buf::stable_steps, I),
    buffer_entry("z_mu_ema", Buf::z_mu_ema, F),
    special("fortress_stable", Src::Stable),
    buffer_entry("fortress_stable_streak", Buf::stable_streak, I),
    buffer_entry("fortress_cov_samples", Buf::cov_n, I),
    buffer_entry("fortress_can_promote", Buf::last_can_promote, F),
    buffer_entry("union_event", Buf::last_promotion_event, F),
    special("union_reason", Src::PromotionReason),
};

// Present only with pressure coupling on.
constexpr Entry kPressureEntries[] = {
    buffer_entry("vgt_pressure", Buf::global_pressure, F),
    buffer_entry("vgt_pressure_prev", Buf::pressure_prev, F),
    buffer_entry("vgt_pressure_raw", Buf::last_pressure_raw, F),
    buffer_entry("vgt_avg_conflict", Buf::last_avg_conflict, F),
    buffer_entry("vgt_surprisal", Buf::last_surprisal, F),
    buffer_entry("vgt_dance_friction", Buf::last_dance_friction, F),
    buffer_entry("last_dance_friction_nonfinite", Buf::last_dance_friction_nonfinite, F),
    buffer_entry("last_cov_trace", Buf::last_cov_trace, F),
    buffer_entry("last_cov_isfinite", Buf::last_cov_isfinite, F),
    buffer_entry("last_candidate_norm", Buf::last_candidate_norm, F),
    buffer_entry("last_candidate_rank", Buf::last_candidate_rank, I),
    buffer_entry("last_promotion_blocker_code", Buf::last_promotion_blocker_code, I),
    buffer_entry("last_dance_z", Buf::last_dance_z, F),
    buffer_entry("last_drift_z", Buf::last_drift_z, F),
    buffer_entry("last_calm_band_thresh", Buf::last_calm_band_thresh, F),
    buffer_entry("last_calm_drift_thresh", Buf::last_calm_drift_thresh, F),
    buffer_entry("cosmic_surprisal_z", Buf::cosmic_surprisal_z, F),
    buffer_entry("shakti_tension_z", Buf::shakti_tension_z, F),
    buffer_entry("cosmic_shock", Buf::cosmic_shock, F),
    buffer_entry("shakti_flash", Buf::shakti_flash, F),
    buffer_entry("vgt_dance_friction_centered", Buf::last_dance_friction_centered, F),
    buffer_entry("vgt_delta_pressure_raw", Buf::last_delta_pressure_raw, F),
    buffer_entry("vgt_delta_dance_friction", Buf::last_delta_dance_friction, F),
    buffer_entry("vgt_spike_applied", Buf::last_spike_applied, F),
    buffer_entry("trainer_calm_ok", Buf::trainer_calm_ok, F),
    buffer_entry("bounded_calm_ok", Buf::bounded_calm_ok, F),
    buffer_entry("adaptive_calm_ok", Buf::adaptive_calm_ok, F),
    buffer_entry("vgt_surprisal_mean", Buf::surprisal_mean_ema, F),
    buffer_entry("vgt_surprisal_std", Buf::surprisal_std_ema, F),
    buffer_entry("vgt_sync_mean", Buf::dance_friction_mean_ema, F),
    buffer_entry("vgt_sync_std", Buf::dance_friction_std_ema, F),
    buffer_entry("collapse_ok", Buf::last_collapse_ok, F),
    buffer_entry("tension_high_streak", Buf::tension_high_streak, I),
    buffer_entry("friction_ema", Buf::friction_ema, F),
    buffer_entry("friction_drop_z", Buf::last_friction_drop_z, F),
    special("last_union_mode", Src::UnionModeName, I, Buf::last_union_mode),
    buffer_entry("last_union_step", Buf::last_union_step, I),
    special("union_mode_config", Src::UnionModeConfig),
    buffer_entry("structural_quality_ema", Buf::structural_quality_ema, F),
    buffer_entry("collapse_quality_ema", Buf::collapse_quality_ema, F),
    buffer_entry("last_structural_quality_score", Buf::last_structural_quality_score, F),
    buffer_entry("last_collapse_quality_score", Buf::last_collapse_quality_score, F),
    buffer_entry("last_union_mode_code", Buf::last_union_mode_code, I),
    buffer_entry("post_union_loss_delta", Buf::post_union_loss_delta, F),
    buffer_entry("post_union_steps_left", Buf::post_union_steps_left, I),
    buffer_entry("candidate_quality_score_raw", Buf::last_candidate_quality_score_raw, F),
    buffer_entry("structural_trigger_value", Buf::last_structural_trigger_value, F),
    buffer_entry("stable_ready_value", Buf::last_stable_ready_value, F),
    buffer_entry("trainer_ok_value", Buf::last_trainer_ok_value, F),
    buffer_entry("structural_would_promote_if_quality_ge_040",
                 Buf::last_structural_would_promote_if_quality_ge_040, F),
    special("structural_quality_threshold_config", Src::QualityThreshold),
    buffer_entry("collapse_cond_tension_ok", Buf::collapse_cond_tension_ok, F),
    buffer_entry("collapse_cond_drop_ok", Buf::collapse_cond_drop_ok, F),
    buffer_entry("collapse_cond_delta_ok", Buf::collapse_cond_delta_ok, F),
    buffer_entry("collapse_cond_quality_ok", Buf::collapse_cond_quality_ok, F),
    buffer_entry("collapse_cond_stable_ok", Buf::collapse_cond_stable_ok, F),
    buffer_entry("collapse_cond_cooldown_ok", Buf::collapse_cond_cooldown_ok, F),
    buffer_entry("collapse_bottleneck_code", Buf::collapse_bottleneck_code, I),
    buffer_entry("max_engram_usage", Buf::max_engram_usage, F),
    buffer_entry("active_engram_count", Buf::active_engram_count, I),
    buffer_entry("engram_usage_available", Buf::engram_usage_available, F),
};
static_assert(sizeof(kBlockEntries) / sizeof(Entry) == 12, "twelve block keys");
static_assert(sizeof(kPressureEntries) / sizeof(Entry) == 61, "sixty-one pressure keys");

py::object python_float(const py::handle& value) {
  PyObject* r = PyNumber_Float(value.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

}  // namespace

py::dict block_diagnostics(const py::object& block, const BlockCall& call) {
  py::object fortress = module_attr(block, "fortress");
  fortress.attr(interned("compute_engram_usage_metrics"))(call.sigma);

  py::dict diagnostics;
  diagnostics.attr(interned("update"))(call.integrator_diag);

  const bool vgt = truth(block.attr(interned("fortress_config")).attr(interned("enable_vgt")));
  std::vector<const Entry*> entries;
  for (const Entry& e : kBlockEntries) entries.push_back(&e);
  if (vgt) {
    for (const Entry& e : kPressureEntries) entries.push_back(&e);
  }

  // Gather every tensor value, then one read.
  const Memory mem(fortress);
  HostScalars host;
  std::vector<size_t> slots(entries.size(), 0);
  auto add = [&host](const at::Tensor& t, Conv conv) {
    return conv == Conv::Int ? host.add_integer(t) : host.add_real(t);
  };
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = *entries[i];
    switch (e.src) {
      case Src::Buffer:
      case Src::UnionModeName: slots[i] = add(mem[e.buf], e.conv); break;
      case Src::Surprisal: slots[i] = add(call.surprisal, e.conv); break;
      case Src::StateVariance: slots[i] = add(buffer(block, "state_variance_ema"), e.conv); break;
      default: break;
    }
  }
  host.fetch();

  py::object engram_stack = fortress.attr(interned("engram_stack"));
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = *entries[i];
    py::object value;
    switch (e.src) {
      case Src::Buffer:
      case Src::Surprisal:
      case Src::StateVariance:
        value = e.conv == Conv::Int ? py::object(py::int_(host.integer(slots[i])))
                                    : py::object(py::float_(host.real(slots[i])));
        break;
      case Src::EngramCount: value = py::int_(py::len(engram_stack)); break;
      case Src::Stable: value = py::float_(call.stable ? 1.0 : 0.0); break;
      case Src::PromotionReason: value = fortress.attr(interned("last_promotion_reason"))(); break;
      case Src::UnionModeName: value = fortress.attr(interned("_union_mode_name"))(py::int_(host.integer(slots[i]))); break;
      case Src::UnionModeConfig: value = fortress.attr(interned("_union_mode_config_code"))(); break;
      case Src::QualityThreshold: value = python_float(fortress.attr(interned("_quality_threshold"))); break;
    }
    if (PyDict_SetItem(diagnostics.ptr(), interned(e.key).ptr(), value.ptr()) < 0) throw py::error_already_set();
  }

  // The first three engrams.
  py::object first = engram_stack.attr(interned("__getitem__"))(py::slice(0, 3, 1));
  size_t position = 0;
  for (py::handle entry : first) {
    auto items = unpack(entry, 4);
    const py::object& k = items[1];
    const py::object& meta = items[3];
    const std::string prefix = "engram_" + std::to_string(position++);
    diagnostics[py::str(prefix + "_k")] = k;
    diagnostics[py::str(prefix + "_lambda")] = meta.attr(interned("current_lambda"));
    diagnostics[py::str(prefix + "_usage")] = meta.attr(interned("usage_ema"));
    diagnostics[py::str(prefix + "_conflict")] = meta.attr(interned("conflict_ema"));
    diagnostics[py::str(prefix + "_yielding")] = meta.attr(interned("is_yielding"));
  }
  return diagnostics;
}

}  // namespace kestrel::fortress

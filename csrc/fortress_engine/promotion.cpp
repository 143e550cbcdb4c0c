// The per-step promotion decision. Three routes, in order, the first union ending the call: a
// forced union (a switch for bringing about the first engram quickly), a structural union (a
// candidate past the quality gate, promoted when the world surprisal or the tension fires), and
// a collapse union (when the collapse-union gate reports a friction collapse). Every call records
// its outcome in the reason and blocker codes and refreshes the trigger diagnostics.
//
// Candidates, unions, the gate and the recorders are reached through the instance, so that
// overrides take part.
#include "fortress_engine/fortress.h"

#include <optional>
#include <tuple>
#include <utility>

namespace kestrel::fortress {
namespace {

constexpr const char* kDecisionDoc =
    "Decide whether to promote the accumulated evidence to a new engram now, and by which route:\n"
    "forced, structural (on a world-surprisal or tension trigger) or collapse union.\n"
    "\n"
    "Returns (promoted, reason, can_promote).";

bool is(const py::handle& value, const char* text) { return value.equal(py::str(text)); }

// The reason of a call whose union was refused because the candidate adds no direction to the
// engrams' span: there was nothing to promote.
constexpr const char* kRefused = "no_candidate";

// The (candidate, status) pair of a candidate builder's result.
std::pair<py::object, py::object> pair_of(const py::object& built) {
  std::vector<py::object> pair = unpack(built, 2);
  return {pair[0], pair[1]};
}
std::pair<py::object, py::object> build(const py::object& self, const char* builder) {
  return pair_of(self.attr(builder)());
}
std::pair<py::object, py::object> build_candidate(const py::object& self) { return pair_of(promotion_candidate(self)); }

class Decision {
 public:
  Decision(py::object self, py::object stable, py::object trainer_ok)
      : self_(std::move(self)), mem_(self_), stable_arg_(std::move(stable)), trainer_ok_arg_(std::move(trainer_ok)),
        stable_(truth(stable_arg_)), trainer_ok_(truth(trainer_ok_arg_)) {}

  py::tuple run();

 private:
  bool promote(const py::object& candidate, const char* reason, const char* mode, std::optional<double> score) {
    py::object promoted = score ? self_.attr(interned("_promote_candidate"))(candidate, py::arg("reason") = reason,
                                                                    py::arg("mode") = mode,
                                                                    py::arg("candidate_quality_score") = *score)
                                : self_.attr(interned("_promote_candidate"))(candidate, py::arg("reason") = reason,
                                                                    py::arg("mode") = mode);
    return truth(promoted);
  }

  py::tuple union_made(const char* reason) {
    self_.attr(interned("_record_promotion_reason"))(reason);
    diagnostics(true, true, py::str(reason));
    return py::make_tuple(true, py::str(reason), true);
  }

  void diagnostics(bool can_promote, bool event, const py::object& reason) {
    promotion_diagnostics(self_, can_promote, event, reason);
  }

  // The triggers: the world surprisal at or above its threshold (cosmic shock), the tension at or
  // above its own with the world calm (at or below its threshold) when that is required (shakti
  // flash). Both are recorded in their flag buffers; off the host the shock is read back only when
  // asked for.
  struct Triggers {
    bool fired = false;
    bool shock = false;
    at::Tensor shock_on_device;
    bool cosmic() const { return shock_on_device.defined() ? shock_on_device.item<bool>() : shock; }
  };
  Triggers triggers(double world_threshold, double tension_threshold, bool requires_world_calm) const {
    const at::Tensor world_z = mem_[Buf::cosmic_surprisal_z];
    const at::Tensor tension_z = mem_[Buf::shakti_tension_z];
    const at::ScalarType wt = world_z.scalar_type(), tt = tension_z.scalar_type();
    Triggers t;
    if ((wt == at::kFloat || wt == at::kDouble) && (tt == at::kFloat || tt == at::kDouble) &&
        is_host_scalar(world_z, wt) && is_host_scalar(tension_z, tt)) {
      // A threshold takes the reading's dtype, as a comparison of a tensor with a number does.
      auto in = [](at::ScalarType dtype, double v) { return dtype == at::kFloat ? static_cast<float>(v) : v; };
      const double world = scalar_to_double(world_z), tension = scalar_to_double(tension_z);
      t.shock = world >= in(wt, world_threshold);
      const bool flash =
          tension >= in(tt, tension_threshold) && (!requires_world_calm || world <= in(wt, world_threshold));
      fill_scalar(mem_[Buf::cosmic_shock], flag(t.shock));
      fill_scalar(mem_[Buf::shakti_flash], flag(flash));
      t.fired = t.shock || flash;
      return t;
    }
    const at::Tensor cosmic_shock = at::ge(world_z, world_threshold);
    at::Tensor shakti_flash = at::ge(tension_z, tension_threshold);
    if (requires_world_calm) shakti_flash = at::logical_and(shakti_flash, at::le(world_z, world_threshold));
    mem_[Buf::cosmic_shock].copy_(cosmic_shock);
    mem_[Buf::shakti_flash].copy_(shakti_flash);
    t.fired = at::logical_or(cosmic_shock, shakti_flash).item<bool>();
    t.shock_on_device = cosmic_shock;
    return t;
  }

  py::object self_;
  Memory mem_;
  py::object stable_arg_, trainer_ok_arg_;
  bool stable_, trainer_ok_;
};

py::tuple Decision::run() {
  // Every setting of the decision is read before its first write.
  const bool force = mem_.setting<Cfg::debug_force_promote>();
  const int64_t force_stable_steps = mem_.setting<Cfg::debug_force_promote_stable_steps>();
  const int64_t force_cov_min = mem_.setting<Cfg::debug_force_promote_cov_min>();
  const int64_t cov_samples_min = mem_.setting<Cfg::cov_samples_min>();
  const int64_t tau_stable_steps = mem_.setting<Cfg::tau_stable_steps>();
  const double quality_threshold = mem_.setting<Cfg::quality_threshold>();
  const double world_threshold = mem_.setting<Cfg::cosmic_surprisal_z_threshold>();
  const double tension_threshold = mem_.setting<Cfg::shakti_tension_z_threshold>();
  const bool tension_requires_world_calm = mem_.setting<Cfg::tension_requires_world_calm>();
  const py::object union_mode = mem_.setting_object(Cfg::union_mode);
  const double min_norm = mem_.setting<Cfg::promotion_min_candidate_norm>();
  const double collapse_quality_floor = mem_.setting<Cfg::collapse_quality_floor>();

  py::object reason = py::str("no_candidate");
  bool can_promote = false;

  // Forced route: one-shot, before the first union of any kind.
  const bool force_ready = force && stable_ && scalar_to_int(mem_[Buf::stable_streak]) >= force_stable_steps &&
                           scalar_to_int(mem_[Buf::cov_n]) >= force_cov_min &&
                           scalar_to_double(mem_[Buf::promotion_happened_any]) < 0.5;
  if (force_ready) {
    auto [forced_candidate, forced_status] = build_candidate(self_);
    reason = forced_status;
    if (is(forced_status, "ok") && !forced_candidate.is_none()) {
      if (promote(forced_candidate, "forced_union", "forced", std::nullopt)) return union_made("forced_union");
      reason = py::str(kRefused);
    }
  }

  // Readiness, candidate and quality gate.
  const bool cov_ready = scalar_to_int(mem_[Buf::cov_n]) >= cov_samples_min;
  const bool stable_ready = stable_ && scalar_to_int(mem_[Buf::stable_streak]) >= tau_stable_steps;
  py::object candidate = py::none();
  double candidate_quality_score = -1.0;
  if (stable_ready && cov_ready) {
    py::object cand_status;
    std::tie(candidate, cand_status) = build_candidate(self_);
    if (is(cand_status, "ok") && !candidate.is_none()) {
      candidate_quality_score = py_float(candidate.attr(interned("get"))("quality", -1.0));
      if (py_float(candidate["quality"]) >= quality_threshold) can_promote = true;
    }
  }
  const bool present = !candidate.is_none();

  // Triggers, inclusive at both thresholds, compared in the readings' dtype.
  const Triggers fired = triggers(world_threshold, tension_threshold, tension_requires_world_calm);
  const bool triggered = fired.fired;
  fill_scalar(mem_[Buf::last_candidate_quality_score_raw], present ? candidate_quality_score : 0.0);
  fill_scalar(mem_[Buf::last_structural_trigger_value], flag(triggered));
  fill_scalar(mem_[Buf::last_stable_ready_value], flag(stable_ready));
  fill_scalar(mem_[Buf::last_trainer_ok_value], flag(trainer_ok_));
  fill_scalar(mem_[Buf::last_structural_would_promote_if_quality_ge_040],
              flag(stable_ready && trainer_ok_ && triggered && present && candidate_quality_score >= 0.4));

  // Structural route.
  const bool structural_enabled = is(union_mode, "structural") || is(union_mode, "dual");
  if (structural_enabled && stable_ready && can_promote && trainer_ok_ && triggered && present) {
    const char* trigger_reason = fired.cosmic() ? "cosmic_surprisal" : "shakti_tension";
    if (promote(candidate, trigger_reason, "structural", candidate_quality_score)) return union_made(trigger_reason);
  }

  // Collapse route: its own quality floor, no trigger and no quality gate.
  const bool collapse_ok =
      collapse_allowed(self_, stable_arg_, trainer_ok_arg_);
  if (collapse_ok) {
    py::object collapse_candidate = candidate;
    py::object collapse_status = py::str(present ? "ok" : "no_candidate");
    double candidate_norm = scalar_to_double(mem_[Buf::last_candidate_norm]);
    if (!present || candidate_norm < min_norm) {
      std::tie(collapse_candidate, collapse_status) = build(self_, "_compute_diag_fallback_candidate");
      candidate_norm = scalar_to_double(mem_[Buf::last_candidate_norm]);
      if (is(collapse_status, "ok") && !collapse_candidate.is_none())
        candidate_quality_score = py_float(collapse_candidate.attr(interned("get"))("quality", -1.0));
    }
    const double collapse_quality_score = candidate_quality_score;
    const bool collapse_quality_ok = collapse_quality_score >= collapse_quality_floor;
    fill_scalar(mem_[Buf::collapse_cond_quality_ok], flag(collapse_quality_ok));
    const at::Tensor bottleneck = mem_[Buf::collapse_bottleneck_code];
    if (scalar_to_int(bottleneck) == 0 && !collapse_quality_ok) fill_scalar(bottleneck, int64_t{4});
    bool refused = false;
    if (is(collapse_status, "ok") && !collapse_candidate.is_none() && candidate_norm >= min_norm &&
        collapse_quality_ok) {
      if (promote(collapse_candidate, "collapse_union", "collapse", collapse_quality_score))
        return union_made("collapse_union");
      refused = true;
    }
    reason = !collapse_quality_ok ? py::str("blocked_by_collapse_floor") : refused ? py::str(kRefused) : collapse_status;
  }

  // Blocker, the collapse floor taking precedence.
  if (!is(reason, "blocked_by_collapse_floor")) {
    if (stable_ready && can_promote && !triggered)
      reason = py::str("blocked_by_trigger");
    else if (stable_ready && !can_promote)
      reason = py::str("blocked_by_structure");
    else if (!stable_ready)
      reason = py::str("blocked_by_stillness");
    else if (!trainer_ok_)
      reason = py::str("trainer_not_ok");
  }
  record_blocker_reason(self_, reason);
  diagnostics(can_promote, false, reason);
  return py::make_tuple(false, reason, can_promote);
}

py::tuple maybe_promote_to_deep_engram(py::object self, py::object stable, py::object trainer_ok) {
  return Decision(std::move(self), std::move(stable), std::move(trainer_ok)).run();
}

OwnMethod own_maybe_promote_to_deep_engram;

}  // namespace

void promotion_decision(const py::object& self, bool stable, bool trainer_ok) {
  if (own_maybe_promote_to_deep_engram.resolved_by(self)) {
    own_maybe_promote_to_deep_engram.run(
        [&] { maybe_promote_to_deep_engram(self, py::bool_(stable), py::bool_(trainer_ok)); });
    return;
  }
  self.attr(interned("maybe_promote_to_deep_engram"))(py::arg("stable") = stable, py::arg("trainer_ok") = trainer_ok);
}

void define_promotion_methods(const py::object& cls) {
  own_maybe_promote_to_deep_engram.keep(
      cls, "maybe_promote_to_deep_engram",
      def_method(cls, "maybe_promote_to_deep_engram", &maybe_promote_to_deep_engram, kDecisionDoc,
                 arg("stable", "bool"), arg("trainer_ok", "bool"), returns("Tuple[bool, str, bool]")));
}

}  // namespace kestrel::fortress

// The collapse-union gate: is the fortress in a friction collapse that allows a collapse union?
// One flag per condition and a bottleneck code naming the first condition that failed are left
// in buffers, so the block's diagnostics show why no collapse union happened.
#include "fortress_engine/fortress.h"

namespace kestrel::fortress {
namespace {

// Bottleneck codes, in the order the conditions are tested. Code 4 (a collapse candidate below
// the quality floor) is set by the promotion decision after a passing gate.
enum Bottleneck : int64_t {
  kNone = 0,
  kTension = 1,
  kDrop = 2,
  kDelta = 3,
  kStable = 5,
  kCooldown = 6,
};

bool compute_collapse_ok(py::object self, py::object stable_arg, py::object trainer_ok_arg) {
  const bool stable = truth(stable_arg);
  const bool trainer_ok = truth(trainer_ok_arg);
  Memory mem(self);

  const py::object mode = mem.setting_object(Cfg::union_mode);
  if (!mode.equal(py::str("collapse")) && !mode.equal(py::str("dual"))) {
    for (Buf b : {Buf::last_collapse_ok, Buf::collapse_cond_tension_ok, Buf::collapse_cond_drop_ok,
                  Buf::collapse_cond_delta_ok, Buf::collapse_cond_quality_ok, Buf::collapse_cond_stable_ok,
                  Buf::collapse_cond_cooldown_ok, Buf::collapse_bottleneck_code})
      mem[b].zero_();
    return false;
  }

  const int64_t streak_steps = mem.setting<Cfg::collapse_tension_high_streak_steps>();
  const double drop_z = mem.setting<Cfg::collapse_friction_drop_z>();
  const double delta_thresh = mem.setting<Cfg::collapse_delta_friction_thresh>();
  const int64_t cooldown_steps = mem.setting<Cfg::collapse_cooldown_steps>();

  // The friction readings are compared in float32, as the pressure update computed them.
  const at::Tensor dz = mem[Buf::last_friction_drop_z].to(at::kFloat);
  const at::Tensor ddelta = mem[Buf::last_delta_dance_friction].to(at::kFloat);
  const bool friction_finite = at::isfinite(dz).all().item<bool>() && at::isfinite(ddelta).all().item<bool>();

  // Inclusive comparisons; a reading that is not a number fails its own.
  const bool tension_ok = mem[Buf::tension_high_streak].item<int64_t>() >= streak_steps;
  const bool drop_ok = dz.item<double>() >= drop_z;
  const bool delta_ok = ddelta.item<double>() <= -delta_thresh;
  bool no_or_cooldown = true;
  if (py::len(self.attr("engram_stack")) != 0) {
    const int64_t since_union = mem[Buf::global_step].item<int64_t>() - mem[Buf::last_union_step].item<int64_t>();
    no_or_cooldown = since_union >= cooldown_steps;
  }
  const bool stable_ok = stable && trainer_ok && friction_finite;

  mem[Buf::collapse_cond_tension_ok].fill_(flag(tension_ok));
  mem[Buf::collapse_cond_drop_ok].fill_(flag(drop_ok));
  mem[Buf::collapse_cond_delta_ok].fill_(flag(delta_ok));
  mem[Buf::collapse_cond_stable_ok].fill_(flag(stable_ok));
  mem[Buf::collapse_cond_cooldown_ok].fill_(flag(no_or_cooldown));

  const int64_t bottleneck = !tension_ok       ? kTension
                             : !drop_ok        ? kDrop
                             : !delta_ok       ? kDelta
                             : !stable_ok      ? kStable
                             : !no_or_cooldown ? kCooldown
                                               : kNone;
  mem[Buf::collapse_bottleneck_code].fill_(bottleneck);

  const bool collapse_ok = stable_ok && tension_ok && drop_ok && delta_ok && no_or_cooldown;
  mem[Buf::last_collapse_ok].fill_(flag(collapse_ok));
  return collapse_ok;
}

}  // namespace

void define_collapse_methods(const py::object& cls) {
  def_method(cls, "_compute_collapse_ok", &compute_collapse_ok,
             "Collapse-union gate: sustained high tension, a sharp drop of the dance friction below\n"
             "its running average, a stable and calm memory with finite friction readings, and the\n"
             "cooldown since the last union. Records one flag per condition and the code of the first\n"
             "condition that failed.",
             arg("stable", "bool"), arg("trainer_ok", "bool"), returns("bool"));
}

}  // namespace kestrel::fortress

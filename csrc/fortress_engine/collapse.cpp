// The collapse-union gate: is the fortress in a friction collapse that allows a collapse union?
// One flag per condition and a bottleneck code naming the first condition that failed are left
// in buffers, so the block's diagnostics show why no collapse union happened.
#include "fortress_engine/fortress.h"

#include <cmath>

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
                  Buf::collapse_cond_cooldown_ok})
      fill_scalar(mem[b], 0.0);
    fill_scalar(mem[Buf::collapse_bottleneck_code], int64_t{0});
    return false;
  }

  const int64_t streak_steps = mem.setting<Cfg::collapse_tension_high_streak_steps>();
  const double drop_z = mem.setting<Cfg::collapse_friction_drop_z>();
  const double delta_thresh = mem.setting<Cfg::collapse_delta_friction_thresh>();
  const int64_t cooldown_steps = mem.setting<Cfg::collapse_cooldown_steps>();

  // The friction readings are compared in float32, as the pressure update computed them.
  const at::Tensor dz_buffer = mem[Buf::last_friction_drop_z];
  const at::Tensor ddelta_buffer = mem[Buf::last_delta_dance_friction];
  double dz, ddelta;
  bool friction_finite;
  if (dz_buffer.dim() == 0 && ddelta_buffer.dim() == 0 && dz_buffer.is_floating_point() &&
      ddelta_buffer.is_floating_point()) {
    dz = static_cast<float>(scalar_to_double(dz_buffer));
    ddelta = static_cast<float>(scalar_to_double(ddelta_buffer));
    friction_finite = std::isfinite(dz) && std::isfinite(ddelta);
  } else {
    const at::Tensor dz_t = dz_buffer.to(at::kFloat);
    const at::Tensor ddelta_t = ddelta_buffer.to(at::kFloat);
    friction_finite = at::isfinite(dz_t).all().item<bool>() && at::isfinite(ddelta_t).all().item<bool>();
    dz = dz_t.item<double>();
    ddelta = ddelta_t.item<double>();
  }

  // Inclusive comparisons; a reading that is not a number fails its own.
  const bool tension_ok = scalar_to_int(mem[Buf::tension_high_streak]) >= streak_steps;
  const bool drop_ok = dz >= drop_z;
  const bool delta_ok = ddelta <= -delta_thresh;
  bool no_or_cooldown = true;
  if (py::len(self.attr("engram_stack")) != 0) {
    const int64_t since_union = scalar_to_int(mem[Buf::global_step]) - scalar_to_int(mem[Buf::last_union_step]);
    no_or_cooldown = since_union >= cooldown_steps;
  }
  const bool stable_ok = stable && trainer_ok && friction_finite;

  fill_scalar(mem[Buf::collapse_cond_tension_ok], flag(tension_ok));
  fill_scalar(mem[Buf::collapse_cond_drop_ok], flag(drop_ok));
  fill_scalar(mem[Buf::collapse_cond_delta_ok], flag(delta_ok));
  fill_scalar(mem[Buf::collapse_cond_stable_ok], flag(stable_ok));
  fill_scalar(mem[Buf::collapse_cond_cooldown_ok], flag(no_or_cooldown));

  const int64_t bottleneck = !tension_ok       ? kTension
                             : !drop_ok        ? kDrop
                             : !delta_ok       ? kDelta
                             : !stable_ok      ? kStable
                             : !no_or_cooldown ? kCooldown
                                               : kNone;
  fill_scalar(mem[Buf::collapse_bottleneck_code], bottleneck);

  const bool collapse_ok = stable_ok && tension_ok && drop_ok && delta_ok && no_or_cooldown;
  fill_scalar(mem[Buf::last_collapse_ok], flag(collapse_ok));
  return collapse_ok;
}

OwnMethod own_compute_collapse_ok;

}  // namespace

bool collapse_allowed(const py::object& self, const py::object& stable, const py::object& trainer_ok) {
  if (own_compute_collapse_ok.resolved_by(self)) {
    return own_compute_collapse_ok.run([&] { return compute_collapse_ok(self, stable, trainer_ok); });
  }
  return truth(self.attr("_compute_collapse_ok")(py::arg("stable") = stable, py::arg("trainer_ok") = trainer_ok));
}

void define_collapse_methods(const py::object& cls) {
  own_compute_collapse_ok.keep(
      cls, "_compute_collapse_ok",
      def_method(cls, "_compute_collapse_ok", &compute_collapse_ok,
                 "Collapse-union gate: sustained high tension, a sharp drop of the dance friction below\n"
                 "its running average, a stable and calm memory with finite friction readings, and the\n"
                 "cooldown since the last union. Records one flag per condition and the code of the first\n"
                 "condition that failed.",
                 arg("stable", "bool"), arg("trainer_ok", "bool"), returns("bool")));
}

}  // namespace kestrel::fortress

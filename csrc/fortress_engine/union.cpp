// A union: a promotion candidate becomes a new engram, orthogonal to the engrams before it. The
// entry is appended to the engram list, the joint basis is marked for rebuilding, the kind and
// quality of the union are recorded, the post-union loss window opens, and the covariance and
// stability evidence starts again from nothing.
#include "fortress_engine/fortress.h"

#include <optional>

namespace kestrel::fortress {
namespace {

constexpr const char* kPromoteDoc =
    "Turn a promotion candidate {\"E_new\", \"remaining_rank\", \"quality\"} into a new engram.\n"
    "\n"
    "`reason` is logged; `mode` (\"structural\", \"collapse\" or \"forced\") is recorded as the union's\n"
    "mode, and the quality average of a structural or collapse union moves toward\n"
    "`candidate_quality_score` (the candidate's quality when not given). The engram keeps the part\n"
    "of the candidate's first `remaining_rank` columns outside the existing engrams' span. Returns\n"
    "True, or False (and changes nothing) when the candidate adds no direction to that span.";

[[noreturn]] void raise_shape(const std::string& message) { raise(PyExc_RuntimeError, message); }

std::string shape_text(const at::Tensor& t) {
  std::string s = "[";
  for (int64_t i = 0; i < t.dim(); ++i) s += (i ? ", " : "") + std::to_string(t.size(i));
  return s + "]";
}

bool promote_candidate(const py::module_& module, py::object self, py::object candidate, py::object reason_arg,
                       py::object mode_arg, py::object score_arg) {
  // Arguments, then everything the candidate must hold, before any state changes.
  if (!PyDict_CheckExact(candidate.ptr())) raise_arg_type("candidate", "dict", candidate);
  const py::str reason = arg_str(reason_arg, "reason");
  const py::str mode = arg_str(mode_arg, "mode");
  std::optional<double> score;
  if (!score_arg.is_none()) score = arg_float(score_arg, "candidate_quality_score");

  Memory mem(self);
  const int64_t d_state = arg_int(self.attr("d_state"), "d_state");
  const int64_t k_max = arg_int(self.attr("_k_max"), "_k_max");
  const double decay = mem.setting<Cfg::union_quality_ema_decay>();
  const int64_t horizon = mem.setting<Cfg::post_union_eval_horizon>();

  const py::object quality_entry = candidate["quality"];
  const double quality = py_float(quality_entry);
  const py::int_ k_object = py_int(candidate["remaining_rank"]);
  const int64_t k = arg_int(k_object, "remaining_rank");
  if (k < 0 || k > k_max)
    raise(PyExc_ValueError, "remaining_rank must lie in [0, " + std::to_string(k_max) + "], got " + std::to_string(k));
  const at::Tensor E_new = arg_tensor(candidate["E_new"], "E_new");
  // A basis must have d_state rows and at least k columns: a broadcast copy would silently turn
  // a malformed one into repeated rows or columns.
  if (E_new.dim() != 2 || E_new.size(0) != d_state)
    raise_shape("E_new must have " + std::to_string(d_state) + " rows and 2 dimensions, got shape " +
                shape_text(E_new));
  at::Tensor basis = at::zeros({d_state, k_max}, E_new.options());
  const at::Tensor columns = E_new.slice(1, 0, k);
  if (basis.slice(1, 0, k).sizes() != columns.sizes())
    raise_shape("the first " + std::to_string(k) + " columns of E_new (shape " + shape_text(columns) +
                ") do not fit an engram basis of shape " + shape_text(basis));

  // The engram keeps what the candidate adds to the engrams' span, so that engrams stay mutually
  // orthogonal (orthonormal candidates outside that span are kept as they are). A candidate that
  // adds nothing is not promoted, and nothing changes.
  const at::Tensor fresh =
      orthogonal_extension(held_span(self.attr("engram_stack"), d_state, E_new.device()).basis, columns);
  if (fresh.size(1) == 0) return false;
  const py::int_ rank_object = fresh.size(1) == k ? k_object : py::int_(fresh.size(1));
  at::Tensor kept = basis.slice(1, 0, fresh.size(1));

  const int64_t mode_code = arg_int(self.attr("_union_mode_code")(mode), "mode code");
  const int64_t engram_id = mem[Buf::next_engram_id].item<int64_t>();
  const int64_t step = mem[Buf::global_step].item<int64_t>();
  const py::str message = py::str("Promoted engram {}: k={}, quality={:.3f}, reason={}")
                              .format(engram_id, rank_object, quality_entry, reason);

  const py::object record = module.attr("EngramMetadata")(py::arg("engram_id") = engram_id,
                                                          py::arg("consolidation_step") = step,
                                                          py::arg("quality_ema") = quality);

  at::NoGradGuard no_grad;
  mem[Buf::next_engram_id].add_(1);
  kept.copy_(fresh.detach());
  self.attr("engram_stack").attr("append")(py::make_tuple(to_py(basis), rank_object, py::float_(quality), record));
  set_attr(self, "joint_basis_dirty", py::bool_(true));

  mem[Buf::sacred_engrams].add_(1);
  mem[Buf::promotion_happened_any].fill_(1.0);
  mem[Buf::last_union_step].fill_(step);
  mem[Buf::last_union_mode].fill_(mode_code);
  mem[Buf::last_union_mode_code].fill_(mode_code);

  // Per-mode quality: the last score and its running average, in float32.
  const bool structural = mode.equal(py::str("structural"));
  if (structural || mode.equal(py::str("collapse"))) {
    at::Tensor average = mem[structural ? Buf::structural_quality_ema : Buf::collapse_quality_ema];
    const at::TensorOptions f32 = mem[Buf::structural_quality_ema].options().dtype(at::kFloat);
    const at::Tensor q = at::full({}, score.value_or(quality), f32);
    const at::Tensor d = at::full({}, decay, f32);
    const at::Tensor one = at::full({}, 1.0, f32);
    mem[structural ? Buf::last_structural_quality_score : Buf::last_collapse_quality_score].copy_(q);
    average.mul_(d).add_((one - d) * q);
  }

  mem[Buf::post_union_steps_left].fill_(horizon);
  mem[Buf::post_union_loss_delta].zero_();
  mem[Buf::post_union_baseline_loss].fill_(-1.0);

  for (Buf b : {Buf::cov_C, Buf::cov_mean, Buf::cov_n, Buf::stable_steps, Buf::stable_streak}) mem[b].zero_();

  log(module.attr("logger"), LogLevel::Info, message);
  return true;
}

}  // namespace

void define_union_methods(const py::object& cls, const py::module_& m) {
  py::module_ module = m;
  def_method(
      cls, "_promote_candidate",
      [module](py::object self, py::object candidate, py::object reason, py::object mode, py::object score) {
        return promote_candidate(module, self, candidate, reason, mode, score);
      },
      kPromoteDoc, arg("candidate", "Dict"), arg("reason", "str"), arg("mode", "str") = py::str("structural"),
      arg("candidate_quality_score", "Optional[float]") = py::none(), returns("bool"));
}

}  // namespace kestrel::fortress

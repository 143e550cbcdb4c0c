// The diagonal fallback candidate: a promotion candidate built from the accumulated covariance
// without an eigen-decomposition. Its first direction is the coordinate axis of largest variance,
// the others random; its quality is that axis's share of the total variance.
#include "fortress_engine/fortress.h"

#include <tuple>

namespace kestrel::fortress {
namespace {

py::tuple compute_diag_fallback_candidate(py::object self) {
  Memory mem(self);
  at::Tensor rank_buffer = mem[Buf::last_candidate_rank];
  at::Tensor norm_buffer = mem[Buf::last_candidate_norm];

  const int64_t n = mem[Buf::cov_n].item<int64_t>();
  if (n <= 0) {
    rank_buffer.fill_(-1);
    norm_buffer.zero_();
    return py::make_tuple(py::none(), py::str("need_more_cov"));
  }

  const int64_t d_state = arg_int(self.attr("d_state"), "d_state");
  const py::object k_min = mem.setting_object(Cfg::k_min);
  const py::object k_max = self.attr("_k_max");
  const double eps = mem.setting<Cfg::eps>();
  const double min_norm = mem.setting<Cfg::promotion_min_candidate_norm>();
  // max(1, min(k_min, k_max)): the configured smallest rank, at least one column.
  const py::int_ one(1);
  const py::object smaller = k_max < k_min ? k_max : k_min;
  const int64_t k_target = arg_int(smaller > one ? smaller : py::object(one), "k_target");

  at::NoGradGuard no_grad;
  // With engrams, the candidate lies outside their span: the axis is chosen by the variance left
  // outside it, and a state the engrams fill has no candidate.
  const at::Tensor held = held_span(self.attr("engram_stack"), d_state, mem[Buf::cov_C].device()).basis;
  const bool deflate = held.size(1) > 0;
  if (held.size(1) >= d_state) {
    rank_buffer.fill_(-1);
    norm_buffer.zero_();
    return py::make_tuple(py::none(), py::str("no_candidate"));
  }
  const at::Tensor C = mem[Buf::cov_C] / n;
  const at::Tensor C_sym = (C + C.t()) / 2;
  const at::Tensor C_fp32 = C_sym.to(at::kFloat);
  const at::Tensor diag = (deflate ? outside(held, outside(held, C_fp32).t()) : C_fp32).diagonal();
  const int64_t idx = at::argmax(diag.abs()).item<int64_t>();

  const at::TensorOptions f32 = at::TensorOptions().dtype(at::kFloat).device(C_fp32.device());
  at::Tensor basis = at::zeros({d_state, k_target}, f32);
  basis.select(0, idx).select(0, 0).fill_(1.0);
  if (k_target > 1) basis.narrow(1, 1, k_target - 1).copy_(at::randn({d_state, k_target - 1}, f32));
  const at::Tensor E_new_fp32 = deflate ? orthogonal_extension(held, basis) : std::get<0>(at::linalg_qr(basis));
  const int64_t rank = E_new_fp32.size(1);

  const double cand_norm = at::linalg_norm(E_new_fp32).item<double>();
  norm_buffer.fill_(cand_norm);
  rank_buffer.fill_(rank);

  const at::Tensor total_var = at::trace(C_fp32).clamp_min(eps);
  const double quality = (diag[idx].abs() / total_var).item<double>();

  if (cand_norm >= min_norm) {
    py::dict candidate;
    candidate["E_new"] = to_py(E_new_fp32.to(C_sym.scalar_type()));
    candidate["remaining_rank"] = py::int_(rank);
    candidate["quality"] = py::float_(quality);
    return py::make_tuple(candidate, py::str("ok"));
  }
  return py::make_tuple(py::none(), py::str("bad_candidate"));
}

}  // namespace

void define_fallback_methods(const py::object& cls) {
  def_method(cls, "_compute_diag_fallback_candidate", &compute_diag_fallback_candidate,
             "Fallback promotion candidate on the coordinate axis of largest variance.");
}

}  // namespace kestrel::fortress

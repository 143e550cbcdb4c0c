// Promotion candidates: an orthonormal basis of the directions that carry most of the state
// variance accumulated since the last union and are not yet held by an engram, with the share of
// the variance it explains. Every stage keeps its basis outside the engrams' span; once the
// engrams fill the state there is no candidate.
//
// Three stages are tried in turn: the leading eigenvectors of the covariance deflated against the
// engrams, then, by `_promotion_fallback_mode`, a power-iteration direction and a diagonal seed.
// An error inside a stage abandons that stage only. The decomposition runs in float32 whatever
// the buffers' dtype; only the returned basis is converted back.
#include "fortress_engine/fortress.h"
#include "runtime/memo.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace kestrel::fortress {
namespace {

using Result = std::optional<py::tuple>;

py::tuple none_because(const Memory& mem, const char* reason) {
  mem[Buf::last_candidate_rank].fill_(-1);
  mem[Buf::last_candidate_norm].zero_();
  return py::make_tuple(py::none(), py::str(reason));
}

py::tuple accepted(const at::Tensor& basis, at::ScalarType dtype, int64_t rank, double quality) {
  py::dict candidate;
  candidate["E_new"] = to_py(basis.scalar_type() == dtype ? basis : basis.to(dtype));
  candidate["remaining_rank"] = py::int_(rank);
  candidate["quality"] = py::float_(quality);
  return py::make_tuple(candidate, py::str("ok"));
}

// Runs one stage. Its ordinary errors abandon it without a trace; interruptions propagate.
template <typename Stage>
auto guarded(Stage&& stage) -> decltype(stage()) {
  try {
    return stage();
  } catch (py::error_already_set& e) {
    if (!is_ordinary_error(e)) throw;
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

// Euclidean norm over all elements (the Frobenius norm of a matrix).
at::Tensor euclidean(const at::Tensor& t) { return at::linalg_vector_norm(t); }

at::Tensor orthonormal(const at::Tensor& t) { return std::get<0>(at::linalg_qr(t)); }

// Numerical rank: singular values above max(1e-05, 1e-05 x the largest) count.
int64_t rank_from_singular_values(const at::Tensor& S) {
  if (S.numel() == 0) return 0;
  const at::Tensor tol = at::clamp_min(S.max() * 1e-05, 1e-05);
  return at::gt(S, tol).sum().item<int64_t>();
}

// While a candidate is blocked its covariance often stands still (nothing is accumulated on
// calls that are not calm), and the decision asks for the same candidate call after call. The
// decompositions of unchanged matrices are kept and reused; any change of their bits computes them
// anew.
ContentMemo& eigen_memo() {
  static ContentMemo* memo = new ContentMemo(4, int64_t(1) << 20);  // lives until exit: no teardown order to meet
  return *memo;
}
ContentMemo& rank_memo() {
  static ContentMemo* memo = new ContentMemo(4, int64_t(1) << 20);
  return *memo;
}

// Eigenvalues in descending order and their eigenvectors, in the same order, of a symmetric
// matrix. The values are the caller's own copy.
std::pair<at::Tensor, at::Tensor> descending_eigh(const at::Tensor& C) {
  const ContentMemo::Tensors found = eigen_memo().get({C}, [&] {
    auto [values, vectors] = at::linalg_eigh(C);
    return ContentMemo::Tensors{values.flip({0}), vectors.flip({1})};
  });
  return {found[0].clone(), found[1]};
}

// Whether the columns of A are so close to orthonormal that each of its singular values lies in
// (0.7, 1.3), far above the rank's tolerance whatever the decomposition's rounding: by
// Gershgorin's theorem, when each row of the Gram matrix A^T A (in float64) lies within 1/2 of the
// identity's. Leading eigenvectors are so, and their rank is then their count.
bool plainly_orthonormal(const at::Tensor& A) {
  if (A.dim() != 2 || A.size(1) > A.size(0) || (A.scalar_type() != at::kFloat && A.scalar_type() != at::kDouble) ||
      !readable_in_place(A)) {
    return false;
  }
  bool plain = true;
  AT_DISPATCH_FLOATING_TYPES(A.scalar_type(), "plainly_orthonormal", [&] {
    const auto a = A.accessor<scalar_t, 2>();
    const int64_t rows = A.size(0), k = A.size(1);
    for (int64_t i = 0; plain && i < k; ++i) {
      double distance = 0.0;
      for (int64_t j = 0; j < k; ++j) {
        double g = 0.0;
        for (int64_t r = 0; r < rows; ++r) g += static_cast<double>(a[r][i]) * static_cast<double>(a[r][j]);
        distance += std::abs(i == j ? g - 1.0 : g);
      }
      plain = distance < 0.5;  // false for a value that is not a number
    }
  });
  return plain;
}

int64_t rank_of(const at::Tensor& A) {
  if (plainly_orthonormal(A)) return A.size(1);
  return rank_memo()
      .get({A},
           [&] {
             return ContentMemo::Tensors{at::linalg_matrix_rank(A, c10::optional<double>(1e-05),
                                                                c10::optional<double>(1e-05), false)};
           })[0]
      .item<int64_t>();
}

// The symmetrised covariance estimate, its trace in float32 and its finiteness.
struct Estimate {
  at::Tensor C_sym;
  at::Tensor trace;
  bool finite = false;
};
Estimate estimate(const at::Tensor& cov_C, int64_t n) {
  const at::Tensor C = cov_C / std::max<int64_t>(1, n);
  Estimate e;
  e.C_sym = (C + C.t()) / 2;
  e.trace = at::trace(e.C_sym.to(at::kFloat));
  e.finite = at::isfinite(e.C_sym).all().item<bool>();
  return e;
}

// What the memory reports of the estimate (its float32 trace and its finiteness) and of the eigen
// stage's candidate, for a computed outcome and a kept one alike.
void record_estimate(const Memory& mem, const at::Tensor& trace, bool finite) {
  const at::Tensor buffer = mem[Buf::last_cov_trace];
  if (buffer.is_floating_point()) {
    fill_scalar(buffer, scalar_to_double(trace));  // rounded to the buffer's dtype as a copy rounds it
  } else {
    at::Tensor(buffer).copy_(trace.to(buffer.scalar_type()));
  }
  fill_scalar(mem[Buf::last_cov_isfinite], flag(finite));
}

void record_candidate(const Memory& mem, int64_t rank, double norm) {
  fill_scalar(mem[Buf::last_candidate_rank], rank);
  fill_scalar(mem[Buf::last_candidate_norm], norm);
}

// The estimate with its jitter on the diagonal, in float32, as every stage reads it.
at::Tensor jittered(const at::Tensor& C_sym, double jitter, int64_t d_state) {
  const at::Tensor j = at::full({}, jitter, C_sym.options());
  return (C_sym + j * at::eye(d_state, C_sym.options())).to(at::kFloat);
}

// The eigen stage's outcome for one covariance, while the adaptive rank is the memory's own: it
// depends on nothing but the covariance's bits, its sample count, the width, the jitter, eps, the
// adaptive rank's bounds and threshold and the engrams' span, and a blocked candidate asks for the
// same one call after call. Kept are the trace (float32), {remaining rank, norm, quality} (float64)
// and the basis in the covariance's dtype, which is handed out as a copy.
ContentMemo& stage_memo() {
  static ContentMemo* memo = new ContentMemo(4, int64_t(1) << 20);
  return *memo;
}

ContentMemo::Tensors stage_key(const at::Tensor& cov_C, const at::Tensor& held, int64_t n, int64_t d_state,
                               double jitter, double eps, const AdaptiveRankInputs& rank) {
  const double numbers[] = {static_cast<double>(n),          static_cast<double>(d_state),
                            jitter,                          eps,
                            static_cast<double>(rank.k_min), static_cast<double>(rank.k_max),
                            rank.threshold,                  rank.eps};
  const at::Tensor settings = at::tensor(c10::ArrayRef<double>(numbers), at::TensorOptions().dtype(at::kDouble));
  // An empty span has no elements to compare (nor a data pointer to compare them through).
  if (held.size(1) == 0) return {cov_C, settings};
  return {cov_C, held, settings};
}

py::object compute_promotion_candidate(py::object self) {
  Memory mem(self);
  const py::object stack = self.attr(interned("engram_stack"));
  if (py::int_(py::len(stack)) >= self.attr(interned("config")).attr(interned("max_engrams"))) return none_because(mem, "no_candidate");
  const int64_t n = scalar_to_int(mem[Buf::cov_n]);
  if (n <= 0) return none_because(mem, "need_more_cov");

  at::NoGradGuard no_grad;
  const int64_t d_state = arg_int(self.attr(interned("d_state")), "d_state");

  // The span the engrams hold. Every stage builds its candidate outside it; a state that the
  // engrams fill leaves nothing to promote, and an engram list that cannot be read leaves no
  // stage a way to check its candidate against it.
  const std::optional<at::Tensor> held = guarded([&]() -> std::optional<at::Tensor> {
    return held_basis(stack, d_state, mem[Buf::cov_C].device());
  });
  if (held && held->size(1) >= d_state) return none_because(mem, "no_candidate");
  const int64_t k_min = mem.setting<Cfg::k_min>();
  const int64_t k_max = arg_int(self.attr(interned("_k_max")), "_k_max");
  const double eps = mem.setting<Cfg::eps>();
  const double jitter = mem.setting<Cfg::promotion_candidate_jitter>();
  const double min_norm = mem.setting<Cfg::promotion_min_candidate_norm>();
  const py::object fallback_mode = mem.setting_object(Cfg::promotion_fallback_mode);

  // With the memory's own adaptive rank the eigen stage's outcome may have been kept. (A setting
  // that method reads and that cannot be read sends the stage through the instance's method, to
  // fail there as it always did.)
  const at::Tensor cov_C = mem[Buf::cov_C];
  const std::optional<AdaptiveRankInputs> rank_inputs =
      held ? guarded([&] { return own_adaptive_rank_inputs(self); }) : std::nullopt;
  ContentMemo::Tensors key;
  std::optional<ContentMemo::Tensors> kept;
  if (rank_inputs) {
    key = stage_key(cov_C, *held, n, d_state, jitter, eps, *rank_inputs);
    kept = stage_memo().find(key);
  }

  at::Tensor C_fp32;
  at::ScalarType dtype;
  Result result;
  if (kept) {
    // The writes and the result of the call that computed it.
    const at::Tensor& kept_trace = (*kept)[0];
    const double* outcome = (*kept)[1].data_ptr<double>();
    const at::Tensor& kept_basis = (*kept)[2];
    record_estimate(mem, kept_trace, true);
    const int64_t remaining_rank = static_cast<int64_t>(outcome[0]);
    const double cand_norm = outcome[1];
    record_candidate(mem, remaining_rank, cand_norm);
    dtype = kept_basis.scalar_type();
    if (remaining_rank >= k_min && cand_norm >= min_norm)
      return accepted(kept_basis.clone(), dtype, remaining_rank, outcome[2]);
    C_fp32 = jittered(estimate(cov_C, n).C_sym, jitter, d_state);
  } else {
    const Estimate e = estimate(cov_C, n);
    dtype = e.C_sym.scalar_type();
    record_estimate(mem, e.trace, e.finite);
    if (!e.finite) return none_because(mem, "bad_candidate");
    C_fp32 = jittered(e.C_sym, jitter, d_state);
    if (!held) return none_because(mem, "bad_candidate");

    // Eigen stage: the leading eigenvectors, with the engrams' span projected out.
    const at::Tensor& H = *held;
    result = guarded([&]() -> Result {
      const auto [values, vectors] = descending_eigh(C_fp32);
      const int64_t k_adaptive =
          rank_inputs ? adaptive_rank(values, *rank_inputs)
                      : arg_int(self.attr(interned("_compute_adaptive_rank"))(to_py(values)), "k_adaptive");
      const double quality = (values.slice(0, 0, k_adaptive).sum() / (values.sum() + eps)).item<double>();
      at::Tensor E_new = vectors.slice(1, 0, k_adaptive).clone();
      int64_t remaining_rank = 0;
      if (H.size(1) == 0) {
        remaining_rank = rank_of(E_new);
      } else {
        // The engrams' span is projected out (twice, in float64, so that what survives is
        // orthogonal to it to working precision). The result is orthonormalised by its singular
        // vectors, strongest first: the first `remaining_rank` columns span what survives the
        // projection, and the columns after them (arbitrary directions completing the basis,
        // possibly inside an engram's span) are never kept by a union.
        const at::Tensor deflated = outside(H, outside(H, E_new.to(at::kDouble)));
        const auto svd = at::linalg_svd(deflated, false);
        remaining_rank = rank_from_singular_values(std::get<1>(svd));
        E_new = std::get<0>(svd);
      }
      const int64_t m = E_new.size(1);
      const double cand_norm =
          euclidean(E_new.slice(1, 0, std::max<int64_t>(1, std::min(remaining_rank, m)))).item<double>();
      record_candidate(mem, remaining_rank, cand_norm);
      if (rank_inputs) {
        const double outcome[] = {static_cast<double>(remaining_rank), cand_norm, quality};
        const at::Tensor numbers = at::tensor(c10::ArrayRef<double>(outcome), at::TensorOptions().dtype(at::kDouble));
        stage_memo().keep(key, {e.trace, numbers, E_new.to(dtype, false, true)});
      }
      if (remaining_rank >= k_min && cand_norm >= min_norm) return accepted(E_new, dtype, remaining_rank, quality);
      return std::nullopt;
    });
    if (result) return *result;
  }
  const at::Tensor& H = *held;  // a kept outcome was found with a span
  const bool deflate = H.size(1) > 0;
  const at::TensorOptions f32 = C_fp32.options();

  // Fallbacks: "power" tries the power stage, "diag" the power stage and then the diagonal one.
  // Their bases aim at `k_target` columns; a state narrower than that, or with fewer directions
  // left outside the engrams, gives fewer, and the rank reported is the column count the basis
  // has, so that a union can keep them all. With engrams, both work on the covariance restricted
  // to the directions outside their span.
  const std::string mode = py::str(py::str(fallback_mode).attr(interned("lower"))());
  const int64_t k_target = std::max<int64_t>(1, std::min(k_min, k_max));
  const auto share_of_trace = [&](const at::Tensor& value) {
    return (value.abs() / at::clamp_min(at::trace(C_fp32), eps)).item<double>();
  };

  // An orthonormal basis whose first column is the direction of the first column of `seed`,
  // outside the engrams' span.
  const auto fallback_basis = [&](const at::Tensor& seed) {
    return deflate ? orthogonal_extension(H, seed) : orthonormal(seed);
  };

  if (mode == "power" || mode == "diag") {
    result = guarded([&]() -> Result {
      at::Tensor v = outside(H, at::randn({d_state}, f32));
      v = v / (euclidean(v) + eps);
      for (int i = 0; i < 16; ++i) {
        v = outside(H, C_fp32.matmul(v));
        v = v / (euclidean(v) + eps);
      }
      if (!at::isfinite(v).all().item<bool>() || !at::ge(euclidean(v), min_norm).item<bool>()) return std::nullopt;
      at::Tensor basis = at::randn({d_state, k_target}, f32);
      basis.select(1, 0).copy_(v);
      basis = fallback_basis(basis);
      const int64_t rank = basis.size(1);
      if (rank == 0) return std::nullopt;
      const double cand_norm = euclidean(basis).item<double>();
      mem[Buf::last_candidate_norm].fill_(cand_norm);
      mem[Buf::last_candidate_rank].fill_(rank);
      const double quality = share_of_trace(at::dot(v, C_fp32.matmul(v)));
      if (cand_norm >= min_norm) return accepted(basis, dtype, rank, quality);
      return std::nullopt;
    });
    if (result) return *result;
  }

  if (mode == "diag") {
    result = guarded([&]() -> Result {
      const at::Tensor d = at::diagonal(deflate ? outside(H, outside(H, C_fp32).t()) : C_fp32);
      const int64_t idx = at::argmax(d.abs()).item<int64_t>();
      at::Tensor basis = at::zeros({d_state, k_target}, f32);
      basis.select(0, idx).select(0, 0).fill_(1.0);
      if (k_target > 1) basis.slice(1, 1).copy_(at::randn({d_state, k_target - 1}, f32));
      basis = fallback_basis(basis);
      const int64_t rank = basis.size(1);
      if (rank == 0) return std::nullopt;
      const double cand_norm = euclidean(basis).item<double>();
      mem[Buf::last_candidate_norm].fill_(cand_norm);
      mem[Buf::last_candidate_rank].fill_(rank);
      const double quality = share_of_trace(d[idx]);
      if (cand_norm >= min_norm) return accepted(basis, dtype, rank, quality);
      return std::nullopt;
    });
    if (result) return *result;
  }

  return none_because(mem, "bad_candidate");
}

OwnMethod own_compute_promotion_candidate;

}  // namespace

py::object promotion_candidate(const py::object& self) {
  if (own_compute_promotion_candidate.resolved_by(self)) {
    return own_compute_promotion_candidate.run([&] { return compute_promotion_candidate(self); });
  }
  return self.attr(interned("_compute_promotion_candidate"))();
}

void define_candidate_methods(const py::object& cls) {
  own_compute_promotion_candidate.keep(
      cls, "_compute_promotion_candidate",
      def_method(cls, "_compute_promotion_candidate", &compute_promotion_candidate,
                 "Build the next engram candidate from the covariance accumulated since the last union.\n"
                 "\n"
                 "Returns (candidate, \"ok\") with a candidate {\"E_new\", \"remaining_rank\", \"quality\"},\n"
                 "or (None, reason) with reason \"no_candidate\", \"need_more_cov\" or \"bad_candidate\"."));
}

}  // namespace kestrel::fortress

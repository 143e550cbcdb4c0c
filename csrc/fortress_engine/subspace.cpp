// Engram subspaces: the span the engrams already hold, and the part of new columns outside it.
//
// Every engram basis is kept orthogonal to the engrams before it, so that the joint basis of all
// of them is orthonormal and never wider than the state. The arithmetic runs in float64; results
// come back in the dtype of the columns they were made from.
#include "fortress_engine/fortress.h"
#include "runtime/memo.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace kestrel::fortress {

double unit_roundoff(at::ScalarType dtype) {
  switch (dtype) {
    case at::kDouble: return std::numeric_limits<double>::epsilon();
    case at::kHalf: return 9.765625e-04;
    case at::kBFloat16: return 7.8125e-03;
    default: return std::numeric_limits<float>::epsilon();
  }
}

namespace {

// Columns count as orthonormal, and as orthogonal to the held span, when every entry of their
// Gram matrix and overlap is within a few roundoffs of the identity and of zero.
double keep_tolerance(at::ScalarType dtype, int64_t d) {
  return 4.0 * std::sqrt(static_cast<double>(std::max<int64_t>(d, 1))) * unit_roundoff(dtype);
}

// A column adds a direction when what is left of it outside everything before it exceeds this
// share of its norm (the rank rule of the candidates, widened to the roundoff of its dtype).
double rank_tolerance(at::ScalarType dtype, int64_t d) { return std::max(1e-05, 2.0 * keep_tolerance(dtype, d)); }

double max_abs(const at::Tensor& t) { return t.numel() == 0 ? 0.0 : t.abs().max().item<double>(); }

}  // namespace

at::Tensor outside(const at::Tensor& held, const at::Tensor& x) {
  if (held.size(1) == 0) return x;
  const at::Tensor H = held.to(x.scalar_type());
  return x - at::matmul(H, at::matmul(H.t(), x));
}

at::Tensor orthogonal_extension(const at::Tensor& held, const at::Tensor& columns) {
  at::NoGradGuard no_grad;
  const int64_t d = columns.size(0), r = columns.size(1), K = held.size(1);
  const at::ScalarType dtype = columns.scalar_type();
  const at::Tensor A = columns.detach().to(held.device(), at::kDouble);
  if (r == 0) return columns.detach();

  // Sound columns are kept exactly as they are.
  if (K + r <= d && at::isfinite(A).all().item<bool>()) {
    const at::Tensor gram = at::matmul(A.t(), A) - at::eye(r, A.options());
    const double tol = keep_tolerance(dtype, d);
    if (max_abs(gram) <= tol && max_abs(at::matmul(held.t(), A)) <= tol) return columns.detach();
  }

  // Gram-Schmidt in column order, each column taken twice against everything before it.
  const double tol = rank_tolerance(dtype, d);
  at::Tensor B = held;
  std::vector<at::Tensor> kept;
  for (int64_t j = 0; j < r && B.size(1) < d; ++j) {
    at::Tensor a = A.select(1, j);
    const double n0 = at::linalg_vector_norm(a).item<double>();
    if (!(n0 > 0.0) || !std::isfinite(n0)) continue;
    for (int pass = 0; pass < 2; ++pass) a = a - at::matmul(B, at::matmul(B.t(), a));
    const double n = at::linalg_vector_norm(a).item<double>();
    if (!(n > tol * n0)) continue;
    a = a / n;
    kept.push_back(a);
    B = at::cat({B, a.unsqueeze(1)}, 1);
  }
  if (kept.empty()) return at::zeros({d, 0}, columns.options().device(held.device()));
  return at::stack(kept, 1).to(dtype);
}

HeldSpan held_span(const py::object& stack, int64_t d_state, const at::Device& device) {
  at::NoGradGuard no_grad;
  HeldSpan span;
  span.basis = at::empty({d_state, 0}, at::TensorOptions().dtype(at::kDouble).device(device));  // no elements to fill
  for (py::handle item : stack) {
    const std::vector<py::object> parts = unpack(item, 4);
    const at::Tensor active = arg_tensor(parts[0], "basis").slice(1, 0, arg_int(parts[1], "rank"));
    span.basis = span.basis.to(active.device());
    at::Tensor fresh = orthogonal_extension(span.basis, active);
    span.basis = at::cat({span.basis, fresh.to(at::kDouble)}, 1);
    span.columns.push_back(std::move(fresh));
  }
  return span;
}

// The span of an engram list that has not changed since the last call is the one built then: the
// list's bases and ranks, compared by their contents, find it again. Only a span built in host
// memory is kept, so only a call for host memory looks for one (the key holds no device).
at::Tensor held_basis(const py::object& stack, int64_t d_state, const at::Device& device) {
  static ContentMemo* memo = new ContentMemo(4, int64_t(1) << 20);  // lives until exit: no teardown order to meet
  if (py::len(stack) == 0 || !device.is_cpu()) return held_span(stack, d_state, device).basis;
  ContentMemo::Tensors key;
  std::vector<double> numbers{static_cast<double>(d_state)};
  for (py::handle item : stack) {
    const std::vector<py::object> parts = unpack(item, 4);
    key.push_back(arg_tensor(parts[0], "basis"));
    numbers.push_back(static_cast<double>(arg_int(parts[1], "rank")));
  }
  key.push_back(at::tensor(c10::ArrayRef<double>(numbers), at::TensorOptions().dtype(at::kDouble)));
  return memo->get(key, [&] { return ContentMemo::Tensors{held_span(stack, d_state, device).basis}; })[0];
}

}  // namespace kestrel::fortress

// Engram usage diagnostics: the share of one state row that lies in each engram's subspace, the
// largest share and the number of engrams above the active threshold. It reads the engram list
// and writes only its two diagnostics buffers; the usage averages of the records are the
// projection hook's business.
#include "fortress_engine/fortress.h"

namespace kestrel::fortress {
namespace {

constexpr const char* kUsageDoc =
    "Compute engram usage metrics from a state vector.\n"
    "\n"
    "Lightweight usage proxy.\n"
    "\n"
    "Args:\n"
    "    vector: (B, L, d_state) or (B*L, d_state) tensor to measure against engrams";

void compute_engram_usage_metrics(py::object self, py::object vector) {
  Memory mem(self);
  const py::object stack = self.attr("engram_stack");
  if (py::len(stack) == 0) {
    fill_scalar(mem[Buf::max_engram_usage], 0.0);
    fill_scalar(mem[Buf::active_engram_count], int64_t{0});
    return;
  }

  at::NoGradGuard no_grad;
  const int64_t d_state = arg_int(self.attr("d_state"), "d_state");
  const double active_thresh = mem.setting<Cfg::usage_active_thresh>();
  at::Tensor vec = arg_tensor(vector, "vector");
  if (vec.dim() == 3) vec = vec.reshape({-1, d_state});

  // Only the first row is measured.
  if (vec.dim() == 0) raise(PyExc_IndexError, "tuple index out of range");
  if (vec.size(0) > 1) {
    if (vec.dim() < 2) raise(PyExc_IndexError, "too many indices for tensor of dimension " + std::to_string(vec.dim()));
    vec = vec.slice(0, 0, 1);
  }
  const at::Tensor vec_norm = at::linalg_vector_norm(vec) + 1e-8;

  double max_usage = 0.0;
  int64_t active_count = 0;
  for (py::handle entry : stack) {
    const std::vector<py::object> items = unpack(entry, 4);
    const at::Tensor basis = arg_tensor(items[0], "basis");
    const int64_t k = arg_int(items[1], "rank");
    const at::Tensor E = basis.slice(1, 0, k).to(vec.device(), vec.scalar_type());
    const at::Tensor proj_norm = at::linalg_vector_norm(vec.matmul(E).abs());
    const double usage = (proj_norm / vec_norm).item<double>();
    if (usage > max_usage) max_usage = usage;
    if (usage > active_thresh) ++active_count;
  }
  fill_scalar(mem[Buf::max_engram_usage], max_usage);
  fill_scalar(mem[Buf::active_engram_count], active_count);
}

}  // namespace

void define_usage_methods(const py::object& cls) {
  def_method(cls, "compute_engram_usage_metrics", &compute_engram_usage_metrics, kUsageDoc, arg("vector", "torch.Tensor"),
             returns("None"));
}

}  // namespace kestrel::fortress

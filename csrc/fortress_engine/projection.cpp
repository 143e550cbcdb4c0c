// The joint engram basis and the gradient projection hook.
//
// All engram bases side by side form one joint basis E with one projection coefficient per
// column; the hook removes the share alpha of the gradient's component along each column in one
// pass against the whole basis, then guards the energy of what is left and keeps each engram's
// age, usage and conflict. E is orthonormal and the coefficients lie in [0, 1], so the projected
// gradient is never longer than the incoming one and never points against it.
#include "fortress_engine/fortress.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace kestrel::fortress {

py::object module_logger(const std::string& module_name) {
  py::str name(module_name);
  PyObject* module = PyImport_GetModule(name.ptr());
  if (module) {
    auto owner = py::reinterpret_steal<py::object>(module);
    py::object logger = getattr_or_none(owner, "logger");
    if (!logger.is_none()) return logger;
  } else if (PyErr_Occurred()) {
    throw py::error_already_set();
  }
  return py::module_::import("logging").attr("getLogger")(name);
}

namespace {

// One entry of the engram list, (basis, rank, quality, metadata), with its active columns.
struct EngramEntry {
  at::Tensor active;  // the first `rank` columns of the basis
  py::object metadata;
};

EngramEntry read_entry(const py::handle& item) {
  std::vector<py::object> parts = unpack(item, 4);
  const at::Tensor basis = arg_tensor(parts[0], "basis");
  const int64_t rank = arg_int(parts[1], "rank");
  return {basis.slice(1, 0, rank), parts[3]};
}

std::vector<EngramEntry> read_entries(const py::object& stack) {
  std::vector<EngramEntry> entries;
  for (py::handle item : stack) entries.push_back(read_entry(item));
  return entries;
}

// Projection coefficients lie in [0, 1]: a coefficient outside it would lengthen the gradient
// along its column or turn it around, and one that is not a number protects nothing.
double coefficient(double alpha) { return alpha >= 0.0 ? std::min(alpha, 1.0) : 0.0; }

// Rebuilds E_joint and alpha_vector from the engram list when it is marked dirty. Each engram
// contributes the part of its basis outside the engrams before it (its whole basis, unchanged,
// since promotion keeps engrams mutually orthogonal), so that E_joint is orthonormal and at most
// d_state wide; its coefficient is repeated once per column it contributes.
void update_joint_basis(py::object self) {
  if (!truth(self.attr("joint_basis_dirty"))) return;
  py::object stack = self.attr("engram_stack");
  if (!truth(stack)) {
    set_attr(self, "E_joint", py::none());
    set_attr(self, "alpha_vector", py::none());
    return;
  }
  Memory mem(self);
  const py::int_ step(mem[Buf::global_step].item<int64_t>());
  const py::float_ pressure(mem[Buf::global_pressure].item<double>());
  const int64_t d_state = arg_int(self.attr("d_state"), "d_state");

  at::Tensor held;
  std::vector<at::Tensor> bases;
  std::vector<double> alphas;
  for (py::handle item : stack) {
    EngramEntry entry = read_entry(item);
    py::object lambda = self.attr("_compute_protection_strength")(entry.metadata, step);
    py::object alpha = self.attr("_compute_alpha")(lambda, pressure);
    set_attr(entry.metadata, name(Engram::current_lambda), lambda);
    if (!held.defined())
      held = at::zeros({d_state, 0}, at::TensorOptions().dtype(at::kDouble).device(entry.active.device()));
    at::Tensor fresh = orthogonal_extension(held, entry.active);
    held = at::cat({held, fresh.to(at::kDouble)}, 1);
    alphas.insert(alphas.end(), static_cast<size_t>(fresh.size(1)), coefficient(arg_float(alpha, "alpha")));
    bases.push_back(std::move(fresh));
  }
  const at::Tensor joint = at::cat(bases, 1);
  const at::Tensor alpha_vector =
      at::tensor(alphas, at::TensorOptions().dtype(default_dtype()).device(joint.device()));
  set_attr(self, "E_joint", to_py(joint));
  set_attr(self, "alpha_vector", to_py(alpha_vector));
  set_attr(self, "joint_basis_dirty", py::bool_(false));
}

// The settings the hook computes with, read before anything changes.
struct HookSettings {
  double eps, min_ratio, energy_floor, min_grad_norm, touch_epsilon, usage_decay, conflict_decay;
  explicit HookSettings(const Memory& mem)
      : eps(mem.setting<Cfg::eps>()),
        min_ratio(mem.setting<Cfg::min_global_gradient_ratio>()),
        energy_floor(mem.setting<Cfg::emergency_energy_floor>()),
        min_grad_norm(mem.setting<Cfg::min_grad_norm>()),
        touch_epsilon(mem.setting<Cfg::touch_epsilon>()),
        usage_decay(mem.setting<Cfg::long_term_ema_decay>()),
        conflict_decay(mem.setting<Cfg::conflict_ema_decay>()) {}
};

// Per-engram touch and conflict for the incoming gradient G (rows of state vectors), read to the
// host in one transfer: row 0 holds 1.0/0.0 for touched, row 1 the conflict, row 2 holds 1.0 where
// both the touch ratio and the conflict are finite numbers.
//
// G A for every engram is a column block of G E when E is still the concatenation of the current
// bases, which it is unless the list changed without being marked dirty. The conflict
// ||(G A) A^T|| is taken from the r x r Gram matrices, tr((G A)^T (G A) A^T A), which costs N r^2
// instead of N S r per engram and needs no orthonormality.
at::Tensor engram_statistics(const std::vector<EngramEntry>& entries, const at::Tensor& G, const at::Tensor& c,
                             const at::Tensor& E, const at::Tensor& n_in, const HookSettings& s) {
  std::vector<at::Tensor> actives;
  for (const EngramEntry& e : entries) actives.push_back(e.active);
  const at::Tensor current = at::cat(actives, 1);
  const bool same_basis = current.sizes() == E.sizes() && current.scalar_type() == E.scalar_type() &&
                          current.device() == E.device() && at::equal(current, E);
  const at::Tensor GA_all = same_basis ? c : at::matmul(G, current);

  // ||G A||^2 is the trace of the same moment matrix.
  const at::Tensor scale = n_in + s.eps;
  std::vector<at::Tensor> touches, conflicts;
  int64_t offset = 0;
  for (const EngramEntry& e : entries) {
    const int64_t width = e.active.size(1);
    const at::Tensor GA = GA_all.narrow(1, offset, width);
    offset += width;
    const at::Tensor moments = at::matmul(GA.t(), GA);
    const at::Tensor gram = at::matmul(e.active.t(), e.active);
    touches.push_back(at::sqrt(at::clamp_min(moments.trace(), 0.0)) / scale);
    conflicts.push_back(at::sqrt(at::clamp_min((moments * gram).sum(), 0.0)) / scale);
  }
  const at::Tensor touch = at::stack(touches), conflict = at::stack(conflicts);
  const at::Tensor finite = at::logical_and(at::isfinite(touch), at::isfinite(conflict));
  return at::stack({at::gt(touch, s.touch_epsilon).to(at::kDouble), conflict.to(at::kDouble), finite.to(at::kDouble)})
      .cpu();
}

py::object projection_hook(const py::object& self, const py::object& grad_obj, const std::string& module_name) {
  self.attr("_update_joint_basis")();
  const py::object joint = self.attr("E_joint");
  if (joint.is_none()) return grad_obj;

  const at::Tensor grad = arg_tensor(grad_obj, "grad");
  const at::Tensor E = arg_tensor(joint, "E_joint");
  const at::Tensor alpha = arg_tensor(self.attr("alpha_vector"), "alpha_vector");
  Memory mem(self);
  const HookSettings s(mem);
  const py::object stack = self.attr("engram_stack");

  // One row per state vector (the last dimension is the state); a 0-dimensional gradient is left
  // to the matrix product to refuse.
  if (grad.dim() == 0) at::matmul(grad, E);
  const at::Tensor G = grad.reshape({-1, grad.size(-1)});

  // P = G - (alpha o (G E)) E^T: the share alpha of each protected component is removed, the
  // share 1 - alpha and everything outside the joint subspace pass. The coefficients scale the
  // columns of E (S x K) rather than the rows of G E (N x K).
  const at::Tensor c = at::matmul(G, E);
  const at::Tensor scaled_basis = E * alpha.to(E.scalar_type());
  at::Tensor P = at::addmm(G, c, scaled_basis.t(), 1, -1);

  const at::Tensor n_in = at::linalg_vector_norm(G);
  const at::Tensor ratio = at::linalg_vector_norm(P) / (n_in + s.eps);
  {
    const at::Tensor r = ratio.detach();
    const at::Tensor checks = at::stack({r.to(at::kDouble), at::lt(r, s.min_ratio).to(at::kDouble),
                                         at::lt(r, s.energy_floor).to(at::kDouble),
                                         at::gt(n_in.detach(), s.min_grad_norm).to(at::kDouble),
                                         at::isfinite(n_in.detach()).to(at::kDouble)})
                                  .cpu();
    const double* v = checks.data_ptr<double>();
    const bool attenuated = v[1] != 0.0, critical = v[2] != 0.0;
    if (attenuated) {
      py::object logger = module_logger(module_name);
      log(logger, LogLevel::Warning, py::str("Gradient attenuated: {:.2%}").format(v[0]));
      if (critical) {
        log(logger, LogLevel::Error, py::str("CRITICAL: Gradient near-zero"));
        // Bring the norm back up to the floor's share of the incoming norm, never beyond the
        // incoming norm itself (a floor above 1, or a gradient so small that the epsilon of the
        // ratio dominates). What is left must be more than rounding: the direction of a
        // remainder at rounding level is noise, and scaled up it could point anywhere, against
        // the gradient too. With nothing left to scale the gradient stays as it is.
        const double noise = std::sqrt(16.0 * std::sqrt(static_cast<double>(G.size(-1))) * unit_roundoff(P.scalar_type()));
        if (v[0] > noise) {
          const at::Tensor n = n_in.detach();
          const at::Tensor target = at::minimum(n / (n + s.eps), at::full_like(n, s.energy_floor));
          const at::Tensor factor = r.reciprocal() * target.to(r.scalar_type());
          if (at::isfinite(factor).item<bool>()) P.mul_(factor);
        }
      }
    }
    // A gradient that holds an inf measures nothing (a NaN one already fails the norm test): its
    // shares are inf / inf. Neither does an engram whose touch or conflict came out non-finite
    // (an overflow). Such a call leaves that engram's usage, conflict and yielding state as they
    // were, as a gradient too small to measure does; the age is still brought up to date.
    const bool bookkeeping = v[3] != 0.0 && (v[4] != 0.0 || at::isfinite(G).all().item<bool>());

    const py::int_ step(mem[Buf::global_step].item<int64_t>());
    const std::vector<EngramEntry> entries = read_entries(stack);
    at::Tensor stats;
    if (bookkeeping && !entries.empty()) stats = engram_statistics(entries, G, c, E, n_in.detach(), s);
    for (size_t i = 0; i < entries.size(); ++i) {
      const py::object& md = entries[i].metadata;
      set_attr(md, name(Engram::steps_since_consolidation), step - md.attr(name(Engram::consolidation_step)));
      if (!bookkeeping || stats[2][static_cast<int64_t>(i)].item<double>() == 0.0) continue;
      const double touched = stats[0][static_cast<int64_t>(i)].item<double>();
      const double conflict = stats[1][static_cast<int64_t>(i)].item<double>();
      const double usage = arg_float(md.attr(name(Engram::usage_ema)), "usage_ema");
      set_attr(md, name(Engram::usage_ema), py::float_(s.usage_decay * usage + (1.0 - s.usage_decay) * touched));
      if (touched > 0.5) set_attr(md, name(Engram::last_usage_step), step);
      const double previous = arg_float(md.attr(name(Engram::conflict_ema)), "conflict_ema");
      set_attr(md, name(Engram::conflict_ema),
               py::float_(s.conflict_decay * previous + (1.0 - s.conflict_decay) * conflict));
      self.attr("_update_yielding_state")(md);
    }
  }
  return to_py(P.reshape(grad.sizes()));
}

}  // namespace

void define_projection_methods(const py::object& cls) {
  const std::string module_name = py::str(cls.attr("__module__"));
  def_method(cls, "_update_joint_basis", &update_joint_basis,
             "Rebuild the joint basis of all engrams and its projection coefficients when dirty.");
  def_method(
      cls, "create_joint_basis_projection_hook",
      [module_name](py::object self) -> py::object {
        return py::cpp_function(
            [self, module_name](py::object grad) { return projection_hook(self, grad, module_name); },
            py::name("joint_projection_hook"), py::arg("grad"),
            py::doc("Project the gradient out of the joint engram basis."));
      },
      "Return a gradient hook that projects through the joint engram basis.");
}

}  // namespace kestrel::fortress

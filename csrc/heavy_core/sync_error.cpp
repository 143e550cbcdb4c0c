// `_safe_symmetric_kl`, the sync error of the dual-path engines: the bounded symmetric KL divergence
// between the heads' softmax distributions (kernels/sync_error.h holds the arithmetic).
#include "heavy_core/heavy_core.h"

#include "kernels/sync_error.h"

#include <array>

namespace kestrel::heavy {

namespace {
// The member as each engine's class defines it.
OwnMethod& member_of(SyncErrorMember member) {
  static auto* members = new std::array<OwnMethod, 2>();  // lives until exit, as the classes do
  return (*members)[static_cast<size_t>(member)];
}

py::object sync_error_value(bool detach, const py::object& fast_logits, const py::object& slow_logits, double t) {
  at::Tensor fast = arg_tensor(fast_logits, "fast_logits");
  at::Tensor slow = arg_tensor(slow_logits, "slow_logits");
  if (detach && readable_in_place(fast) && readable_in_place(slow)) {
    // Plain host tensors outside a trace: without a graph the operator computes what it computes
    // of detached copies.
    at::NoGradGuard no_grad;
    return to_py(kernels::symmetric_kl(fast, slow, t));
  }
  if (detach) {
    fast = fast.detach();
    slow = slow.detach();
  }
  return to_py(kernels::symmetric_kl(fast, slow, t));
}
}  // namespace

py::object safe_symmetric_kl(const py::object& self, SyncErrorMember member, const py::object& fast_logits,
                             const py::object& slow_logits, double temperature) {
  const OwnMethod& own = member_of(member);
  if (own.resolved_by(self)) {
    return own.run(
        [&] { return sync_error_value(member == SyncErrorMember::HeavyCore, fast_logits, slow_logits, temperature); });
  }
  return self.attr("_safe_symmetric_kl")(fast_logits, slow_logits, temperature);
}

void def_safe_symmetric_kl(const py::object& cls, SyncErrorMember member) {
  const bool detach = member == SyncErrorMember::HeavyCore;
  auto impl = [detach](py::object self, py::object fast_logits, py::object slow_logits, py::object temperature) {
    const double t = to_double(temperature);
    return sync_error_value(detach, fast_logits, slow_logits, t);
  };
  constexpr const char* doc =
      "Bounded symmetric KL divergence between softmax(fast / t) and softmax(slow / t) along the last\n"
      "dimension, t floored at 1e-6, log-probabilities clamped to [-30, 30]; a float32 scalar.";
  py::object function =
      detach ? def_method(cls, "_safe_symmetric_kl", impl, doc, arg("fast_logits", "torch.Tensor"),
                          arg("slow_logits", "torch.Tensor"), arg("temperature", "float") = 2.0, returns("torch.Tensor"))
             : def_method(cls, "_safe_symmetric_kl", impl, doc, arg("fast_logits", "torch.Tensor"),
                          arg("slow_logits", "torch.Tensor"), arg("temperature", "float"), returns("torch.Tensor"));
  member_of(member).keep(cls, "_safe_symmetric_kl", function);
}

}  // namespace kestrel::heavy

// `_safe_symmetric_kl`, the sync error of the dual-path engines: the bounded symmetric KL divergence
// between the heads' softmax distributions (kernels/sync_error.h holds the arithmetic).
#include "heavy_core/heavy_core.h"

#include "kernels/sync_error.h"

namespace kestrel::heavy {

void def_safe_symmetric_kl(const py::object& cls, SyncErrorMember member) {
  const bool detach = member == SyncErrorMember::HeavyCore;
  auto impl = [detach](py::object self, py::object fast_logits, py::object slow_logits, py::object temperature) {
    const double t = to_double(temperature);
    at::Tensor fast = arg_tensor(fast_logits, "fast_logits");
    at::Tensor slow = arg_tensor(slow_logits, "slow_logits");
    if (detach) {
      fast = fast.detach();
      slow = slow.detach();
    }
    return to_py(kernels::symmetric_kl(fast, slow, t));
  };
  constexpr const char* doc =
      "Bounded symmetric KL divergence between softmax(fast / t) and softmax(slow / t) along the last\n"
      "dimension, t floored at 1e-6, log-probabilities clamped to [-30, 30]; a float32 scalar.";
  if (detach) {
    def_method(cls, "_safe_symmetric_kl", impl, doc, arg("fast_logits", "torch.Tensor"), arg("slow_logits", "torch.Tensor"),
               arg("temperature", "float") = 2.0, returns("torch.Tensor"));
  } else {
    def_method(cls, "_safe_symmetric_kl", impl, doc, arg("fast_logits", "torch.Tensor"), arg("slow_logits", "torch.Tensor"),
               arg("temperature", "float"), returns("torch.Tensor"));
  }
}

}  // namespace kestrel::heavy

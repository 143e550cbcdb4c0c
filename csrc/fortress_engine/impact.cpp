// The post-union impact window: after a union the first usable training loss becomes the
// baseline and the differences of the following losses from it are summed, for a fixed number
// of usable steps. A diagnostic only; nothing feeds it back into a decision.
#include "fortress_engine/fortress.h"

namespace kestrel::fortress {
namespace {

void update_post_union_impact(py::object self, py::object current_training_loss) {
  Memory mem(self);
  at::Tensor steps_left = mem[Buf::post_union_steps_left];
  if (scalar_to_int(steps_left) <= 0) return;  // closed: the loss is not even looked at

  at::NoGradGuard no_grad;
  at::Tensor delta = mem[Buf::post_union_loss_delta];
  at::Tensor baseline = mem[Buf::post_union_baseline_loss];
  at::Tensor loss = arg_tensor(current_training_loss, "current_training_loss")
                        .detach()
                        .to(delta.device(), at::kFloat);
  // One value in any shape ([], [1], [1, 1]) is the loss; several values raise the tensor
  // library's own error at the finiteness test.
  if (loss.numel() == 1) loss = loss.reshape({});
  if (!truth(to_py(at::isfinite(loss)))) return;  // skipped: the step does not count

  if (baseline.item<double>() < 0.0) {
    baseline.copy_(loss);
    steps_left.sub_(1);
    return;
  }
  const at::Tensor d = at::nan_to_num(loss - baseline, 0.0, 0.0, 0.0);
  delta.add_(d);
  steps_left.sub_(1);
}

}  // namespace

void define_impact_methods(const py::object& cls) {
  def_method(cls, "update_post_union_impact", &update_post_union_impact,
             "Track the training loss after a union: the first finite loss of the window becomes\n"
             "the baseline, later ones add their difference from it to post_union_loss_delta.",
             arg("current_training_loss", "torch.Tensor"), returns("None"));
}

}  // namespace kestrel::fortress

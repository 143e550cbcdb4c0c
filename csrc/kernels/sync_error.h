// The bounded symmetric KL divergence between the softmax distributions of two score tensors
// along their last dimension, the disagreement measure of the dual-path engines:
//
//   t = max(temperature, 1e-6)
//   lp = clamp(log_softmax(fast / t), -30, 30),  lq = clamp(log_softmax(slow / t), -30, 30)
//   result = 0.5 * mean over rows of sum_c (exp(lp) - exp(lq)) * (lp - lq)
//
// in float32 whatever the input dtype (a zero-dimensional float32 tensor). The sum is the two
// directed terms sum p (lp - lq) + sum q (lq - lp) gathered into one, so every term is a product
// of two numbers of the same sign and the result is never negative; inputs without rows give 0.
// Differentiable in both inputs. The operator is a composition of ATen operations
// (CompositeImplicitAutograd): autograd, fake tensors and every device follow from them.
#pragma once

#include <ATen/ATen.h>

namespace kestrel::kernels {

// torch.ops.kestrel.symmetric_kl.
at::Tensor symmetric_kl(const at::Tensor& fast, const at::Tensor& slow, double temperature);
// The two directed terms written out one by one. torch.ops.kestrel.symmetric_kl_reference.
at::Tensor symmetric_kl_reference(const at::Tensor& fast, const at::Tensor& slow, double temperature);

}  // namespace kestrel::kernels

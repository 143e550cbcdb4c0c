// The gated linear recurrence at the heart of every integrator:
//
//   sigma_t = a * sigma_{t-1} + (1 - a) * gate_t * delta_t,    sigma_{-1} = start
//
// delta and gate are [B, T, S]; start is [B, S] or [1, S]; the retention a is a 0-dim tensor.
// The result is [B, T, S] and is differentiable in all four inputs.
#pragma once

#include <ATen/ATen.h>

namespace kestrel::kernels {

// The fused kernel on CPU for floating types (half and bfloat16 accumulate in float32), with its
// own reverse-scan backward; other devices take the reference path. Dispatched as the operator
// torch.ops.kestrel.gated_scan, so tracing records it as one node.
at::Tensor gated_scan(const at::Tensor& delta, const at::Tensor& gate, const at::Tensor& start,
                      const at::Tensor& retention);

// The same recurrence as a per-timestep composition of ATen operations (autograd derives its
// backward). Kept as the reference for tests and benchmarks: torch.ops.kestrel.gated_scan_reference.
at::Tensor gated_scan_reference(const at::Tensor& delta, const at::Tensor& gate,
                                const at::Tensor& start, const at::Tensor& retention);

}  // namespace kestrel::kernels

// Plumbing shared by the kestrel operators. Each operator is registered in layers:
//
//   * the schema, once, in the kestrel library;
//   * a CPU kernel (the fused arithmetic) under the CPU key;
//   * the ATen reference under CompositeExplicitAutograd, for every other device;
//   * a Meta kernel giving the result's shape and dtype, so fake tensors can trace the operator;
//   * an Autograd kernel: a torch::autograd::Function that redispatches below autograd and whose
//     backward is itself an operator (kestrel::_<name>_backward, registered the same way). When a
//     graph of the backward is asked for (create_graph, double backward), the backward
//     differentiates the ATen reference instead, so every order matches the reference.
#pragma once

#include "runtime/gil.h"

#include <ATen/ATen.h>
#include <ATen/ExpandUtils.h>
#include <ATen/core/LegacyTypeDispatch.h>
#include <ATen/core/dispatch/Dispatcher.h>
#include <torch/csrc/autograd/autograd.h>
#include <torch/csrc/autograd/variable.h>

#include <functional>
#include <vector>

namespace kestrel::kernels {

// The dispatcher's handle of kestrel::<name>, typed.
template <typename Signature>
c10::TypedOperatorHandle<Signature> kestrel_op(const char* name) {
  return c10::Dispatcher::singleton().findSchemaOrThrow(name, "").typed<Signature>();
}

// Vector-Jacobian product of `reference` at `inputs` against `grad`, with its own graph: the
// backward of a fused operator when a second order is asked for. Inputs that take no gradient
// stand in as detached leaves, so the product is defined for every input (autograd drops the
// gradients it does not need).
inline std::vector<at::Tensor> reference_vjp(
    const std::function<at::Tensor(const std::vector<at::Tensor>&)>& reference,
    const std::vector<at::Tensor>& inputs, const at::Tensor& grad) {
  at::AutoGradMode enable(true);
  std::vector<at::Tensor> leaves;
  leaves.reserve(inputs.size());
  for (const at::Tensor& t : inputs) {
    // An input that takes a gradient enters through an alias of its own: the product is then the
    // partial derivative in that input alone, even where inputs share history (a gate computed
    // from the very delta it gates), while the graph still leads back through that history.
    if (t.requires_grad()) {
      leaves.push_back(t.view_as(t));
    } else {
      leaves.push_back(at::isFloatingType(t.scalar_type()) ? t.detach().requires_grad_(true) : t);
    }
  }
  std::vector<at::Tensor> wrt;
  std::vector<size_t> slots;
  for (size_t i = 0; i < leaves.size(); ++i) {
    if (leaves[i].requires_grad()) {
      wrt.push_back(leaves[i]);
      slots.push_back(i);
    }
  }
  std::vector<at::Tensor> result(inputs.size());
  if (wrt.empty()) return result;
  at::Tensor out = reference(leaves);
  if (!out.requires_grad()) return result;
  auto grads = torch::autograd::grad({out}, wrt, {grad.to(out.scalar_type())}, /*retain_graph=*/true,
                                     /*create_graph=*/true, /*allow_unused=*/true);
  for (size_t j = 0; j < slots.size(); ++j) {
    const at::Tensor& g = grads[j];
    const at::Tensor& in = inputs[slots[j]];
    result[slots[j]] = g.defined() ? g : at::zeros_like(in);
  }
  return result;
}

}  // namespace kestrel::kernels

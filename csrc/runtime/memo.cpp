#include "runtime/memo.h"

#include "runtime/runtime.h"

#include <c10/core/impl/LocalDispatchKeySet.h>

#include <cstring>

namespace kestrel {
namespace {

// Dense tensors of one layout hold their elements in one block of numel() elements from the data
// pointer, in the same order.
bool same_contents(const at::Tensor& kept, const at::Tensor& t) {
  if (kept.scalar_type() != t.scalar_type() || kept.sizes() != t.sizes() || kept.strides() != t.strides()) return false;
  return t.numel() == 0 || std::memcmp(kept.data_ptr(), t.data_ptr(), static_cast<size_t>(t.nbytes())) == 0;
}

bool keepable_result(const at::Tensor& t) {
  return t.defined() && readable_in_place(t) && !t.requires_grad() && !t.is_inference();
}

}  // namespace

bool ContentMemo::cacheable(const Tensors& inputs) const {
  // Under autocast the same operations may run in another dtype.
  if (!c10::impl::tls_is_dispatch_key_excluded(c10::DispatchKey::AutocastCPU)) return false;
  int64_t elements = 0;
  for (const at::Tensor& t : inputs) {
    if (!t.defined() || (t.scalar_type() != at::kFloat && t.scalar_type() != at::kDouble) || !t.is_non_overlapping_and_dense() ||
        !readable_in_place(t) || (at::GradMode::is_enabled() && t.requires_grad())) {
      return false;
    }
    elements += t.numel();
  }
  return elements <= max_elements_;
}

std::optional<ContentMemo::Tensors> ContentMemo::find(const Tensors& inputs) {
  if (!cacheable(inputs)) return std::nullopt;
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = kept_.begin(); it != kept_.end(); ++it) {
    if (it->inputs.size() != inputs.size()) continue;
    bool same = true;
    for (size_t i = 0; same && i < inputs.size(); ++i) same = same_contents(it->inputs[i], inputs[i]);
    if (same) {
      kept_.splice(kept_.begin(), kept_, it);
      return kept_.front().results;
    }
  }
  return std::nullopt;
}

void ContentMemo::keep(const Tensors& inputs, const Tensors& results) {
  if (!cacheable(inputs)) return;
  for (const at::Tensor& r : results) {
    if (!keepable_result(r)) return;
  }
  Entry entry;
  entry.inputs.reserve(inputs.size());
  for (const at::Tensor& t : inputs) entry.inputs.push_back(t.clone());  // of the same layout
  entry.results = results;
  std::lock_guard<std::mutex> lock(mutex_);
  kept_.push_front(std::move(entry));
  if (kept_.size() > entries_) kept_.pop_back();
}

ContentMemo::Tensors ContentMemo::get(const Tensors& inputs, const std::function<Tensors()>& compute) {
  if (std::optional<Tensors> found = find(inputs)) return *std::move(found);
  // Computed without the lock: the computation may call back into code that uses this memo.
  Tensors results = compute();
  keep(inputs, results);
  return results;
}

}  // namespace kestrel

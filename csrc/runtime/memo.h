// Results of pure tensor computations, found again by their inputs' contents.
//
// Some values are recomputed on every call from inputs that rarely change: the taps of a frozen
// filter network, the eigendecomposition of a covariance that has not moved since the last call.
// A memo keeps such a value with a copy of its inputs and hands it back while the inputs hold the
// same bits. Inputs are compared whole, byte for byte, so an edit through `.data` (or any other
// path that bypasses the version counter) is seen. Only dense float and double host tensors
// that take no gradient, outside autocast and within a size bound, are kept; anything else is
// computed on every call. Results must be host tensors without gradient; they are shared between
// callers, which read them and never write them in place.
#pragma once

#include <ATen/ATen.h>

#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <vector>

namespace kestrel __attribute__((visibility("default"))) {

class ContentMemo {
 public:
  using Tensors = std::vector<at::Tensor>;

  // Keeps the `entries` most recently used results; inputs of more than `max_elements` elements
  // in all are not kept.
  ContentMemo(size_t entries, int64_t max_elements) : entries_(entries), max_elements_(max_elements) {}

  // compute() for these inputs, or what it gave for inputs of the same contents.
  Tensors get(const Tensors& inputs, const std::function<Tensors()>& compute);

  // The two halves of get, for a caller whose computation also writes state and so cannot run
  // inside get: what was kept for inputs of the same contents, if anything; and keeping the
  // results computed for these inputs (nothing is kept when either side is not keepable).
  std::optional<Tensors> find(const Tensors& inputs);
  void keep(const Tensors& inputs, const Tensors& results);

 private:
  struct Entry {
    Tensors inputs;
    Tensors results;
  };
  bool cacheable(const Tensors& inputs) const;

  const size_t entries_;
  const int64_t max_elements_;
  std::mutex mutex_;
  std::list<Entry> kept_;  // most recently used first
};

}  // namespace kestrel

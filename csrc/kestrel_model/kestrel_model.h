// Shared declarations of the causal-language-model module: what each source file contributes to
// the module body, and the helpers they share.
#pragma once

#include "runtime/package.h"

namespace kestrel::model {

// The module object itself: the classes read the names it binds (the configuration records, the
// heavy core, the other classes) at call time, as module-level code reads its globals.
py::module_ this_module();

// Refuses (ValueError naming the field) sizes of a model configuration that cannot work: no
// vocabulary, no width (the logits divide by sqrt(d_model)), a negative state width or layer count.
// The record checks itself when it is made; the models check the record they are given again.
void check_model_config(const py::handle& config);

// Definitions, in the order the module body binds them.
void define_backbones(py::module_& m);       // KestrelBackboneFU64, KestrelBackboneFU64Bounded
void define_causal_lm(py::module_& m);       // KestrelCausalLM
void define_layered_lm(py::module_& m);      // KestrelCausalLMLayered

// `from .<relative> import <names>` seen from this module, by the absolute path on ImportError.
std::vector<py::object> lazy_import(const char* relative, std::initializer_list<const char*> names);

// The token embedding and the output head sharing its weight, set on `self` as embed_tokens and
// lm_head, in this order.
void build_tied_head(const py::object& self, const py::object& config);

// The shifted next-token cross-entropy of `logits` (batch by length by classes) against `labels`:
// the logits at position t are scored against the label at t + 1. With a mask, the per-token
// losses are weighted by the mask (without its first position) and divided by the mask's sum
// clamped below at 1; without one, the mean over the scored positions (ignore index -100).
py::object shifted_loss(const py::object& logits, const py::object& labels, const py::object& loss_mask);

}  // namespace kestrel::model

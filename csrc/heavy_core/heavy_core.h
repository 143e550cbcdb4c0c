// Shared declarations of the heavy core module: the pieces each source file contributes to the
// module body, and the small helpers they share.
#pragma once

#include "runtime/runtime.h"


namespace kestrel::heavy {

// Assertions follow the interpreter's optimisation flag as it was when the module was loaded.
extern bool g_assertions;

// Definitions, in the order the module body binds them.
void define_radar(py::module_& m);                 // OptimizedMorvaRadar
void define_cross_attention(py::module_& m);       // MorvaCrossAttention, LinearMorvaCrossAttention
void define_fused_attention(py::module_& m);       // OptimizedMorvaCHA
void define_two_head_engine(py::module_& m);       // ZuravMorvaEngine
void define_boundary_record(py::module_& m);       // BoundaryRecord
void define_heavy_core(py::module_& m);            // ZuravMorvaV8_2H
void define_sharded_core(py::module_& m);          // DistributedMorvaZurav
void define_morva_config(py::module_& m);          // MorvaConfig
void define_demonstration(py::module_& m);         // _run_demonstration (the launcher's entry)

// `_safe_symmetric_kl` of the dual-path engines. The two-head engine's member takes all three
// arguments and stays differentiable; the heavy core's member detaches both inputs and defaults the
// temperature to 2.0.
enum class SyncErrorMember { TwoHeadEngine, HeavyCore };
void def_safe_symmetric_kl(const py::object& cls, SyncErrorMember member);
// self._safe_symmetric_kl(fast, slow, temperature): the member run directly when it resolves to the
// one def_safe_symmetric_kl defined, the override otherwise.
py::object safe_symmetric_kl(const py::object& self, SyncErrorMember member, const py::object& fast_logits,
                             const py::object& slow_logits, double temperature);

// radar(x) and bridge(x_fast, x_slow, pressure) for the module's own radar and bridges: their
// forward run directly when calling the module would run nothing else (see calls_only), the
// module's call otherwise (hooks, overrides, subclasses, tracing).
py::object call_radar(const py::object& radar, const py::object& x);
py::object call_bridge(const py::object& bridge, const py::object& x_fast, const py::object& x_slow,
                       const py::object& pressure);

// A module called with one tensor argument, its result required to be a tensor.
at::Tensor call_tensor(const py::object& module, const py::handle& input, const char* what);

// float(x) as a typed float argument converts it: numbers and objects with __float__ (one-element
// tensors), other objects refused with the interpreter's own TypeError.
double to_double(const py::handle& value);

}  // namespace kestrel::heavy

// Pieces shared by the dual-path engines of the heavy core module (the heavy core, the two-head
// engine and the two-GPU core): how they read the slow fortress and feed its pressure, and how
// they bring a handful of device scalars to the host in one read.
#pragma once

#include "heavy_core/heavy_core.h"

#include <vector>

namespace kestrel::heavy {

// float(value), the interpreter's conversion (numbers, objects with __float__, numeric strings).
double py_float(const py::handle& value);

// float(fortress._kl_temperature), or 2.0 when the fortress has no such attribute.
double kl_temperature(const py::object& fortress);

// The mean `conflict_ema` of the records of the fortress's engram list (the last item of each
// 4-tuple entry); 0.0 for an empty list.
double average_conflict(const py::object& fortress);

// fortress._update_global_pressure(conflict, surprisal, friction, fast_logits=fast.detach(),
// slow_logits=slow.detach()); the result is dropped.
void update_pressure_with_logits(const py::object& fortress, const at::Tensor& conflict,
                                 const at::Tensor& surprisal, const at::Tensor& friction,
                                 const at::Tensor& fast, const at::Tensor& slow);

// The values of one-element tensors as doubles, in order, with a single device-to-host read.
std::vector<double> read_scalars(std::initializer_list<at::Tensor> values);

// requires_grad_(flag) on every parameter of `module`.
void set_requires_grad(const py::object& module, bool flag);

// The truth of `a == b`, `a > b` and `a >= b` as the interpreter evaluates them.
bool py_eq(const py::handle& a, const py::handle& b);
bool py_gt(const py::handle& a, const py::handle& b);
bool py_ge(const py::handle& a, const py::handle& b);

}  // namespace kestrel::heavy

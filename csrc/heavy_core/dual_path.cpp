// Pieces shared by the dual-path engines: reading the slow fortress and feeding its pressure.
#include "heavy_core/dual_path.h"

namespace kestrel::heavy {

double py_float(const py::handle& value) {
  PyObject* converted = PyNumber_Float(value.ptr());
  if (!converted) throw py::error_already_set();
  const double r = PyFloat_AS_DOUBLE(converted);
  Py_DECREF(converted);
  return r;
}

double kl_temperature(const py::object& fortress) {
  PyObject* value = PyObject_GetAttrString(fortress.ptr(), "_kl_temperature");
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return 2.0;
  }
  return py_float(py::reinterpret_steal<py::object>(value));
}

double average_conflict(const py::object& fortress) {
  py::object stack = fortress.attr("engram_stack");
  const size_t n = py::len(stack);
  if (n == 0) return 0.0;
  double sum = 0.0;
  for (py::handle entry : stack) {
    py::object meta = unpack(entry, 4)[3];
    sum += arg_float(meta.attr("conflict_ema"), "conflict_ema");
  }
  return sum / static_cast<double>(n);
}

void update_pressure_with_logits(const py::object& fortress, const at::Tensor& conflict,
                                 const at::Tensor& surprisal, const at::Tensor& friction,
                                 const at::Tensor& fast, const at::Tensor& slow) {
  fortress.attr("_update_global_pressure")(to_py(conflict), to_py(surprisal), to_py(friction),
                                           py::arg("fast_logits") = to_py(fast.detach()),
                                           py::arg("slow_logits") = to_py(slow.detach()));
}

std::vector<double> read_scalars(std::initializer_list<at::Tensor> values) {
  HostScalars reader;
  for (const at::Tensor& v : values) reader.add_real(v);
  reader.fetch();
  std::vector<double> host;
  host.reserve(values.size());
  for (size_t slot = 0; slot < values.size(); ++slot) host.push_back(reader.real(slot));
  return host;
}

void set_requires_grad(const py::object& module, bool flag) {
  for (py::handle p : module.attr("parameters")()) p.attr("requires_grad_")(flag);
}

namespace {
bool compare(const py::handle& a, const py::handle& b, int op) {
  PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), op);
  if (!r) throw py::error_already_set();
  return truth(py::reinterpret_steal<py::object>(r));
}
}  // namespace

bool py_eq(const py::handle& a, const py::handle& b) { return compare(a, b, Py_EQ); }
bool py_gt(const py::handle& a, const py::handle& b) { return compare(a, b, Py_GT); }
bool py_ge(const py::handle& a, const py::handle& b) { return compare(a, b, Py_GE); }

}  // namespace kestrel::heavy

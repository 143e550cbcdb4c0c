// The cross-headed attention bridges: queries from the fast stream, keys and values from the slow
// stream, the global pressure sharpening the attention. MorvaCrossAttention is exact causal softmax
// attention; LinearMorvaCrossAttention is causal kernelised attention of linear cost in the length.
#include "heavy_core/heavy_core.h"

#include "kernels/attention.h"
#include "runtime/gil.h"

namespace kestrel::heavy {
namespace {

constexpr const char* kQuadraticDoc =
    "Cross-headed attention bridge, quadratic: causal softmax attention of the fast stream (queries)\n"
    "over the slow stream (keys and values), scale (1 + p) / sqrt(d_head) for the pressure p.";

constexpr const char* kLinearDoc =
    "Cross-headed attention bridge, linear: kernelised attention with the features elu(x) + 1, the\n"
    "query features raised to the power 1 + p for the pressure p. Cost and key-value summary grow\n"
    "linearly with the length; like the quadratic bridge it is causal: position i reads slow\n"
    "positions 0 to i only.";

constexpr const char* kProjections[] = {"q_proj", "k_proj", "v_proj", "out_proj"};

py::object floor_div(const py::handle& a, const py::handle& b) {
  PyObject* r = PyNumber_FloorDivide(a.ptr(), b.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

py::object remainder(const py::handle& a, const py::handle& b) {
  PyObject* r = PyNumber_Remainder(a.ptr(), b.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

void bridge_init(py::object self, py::object d_model_arg, py::object n_heads_arg) {
  py::int_ d_model = arg_exact_int(d_model_arg, "d_model");
  py::int_ n_heads = arg_exact_int(n_heads_arg, "n_heads");
  require_setting(d_model, "d_model", Need::NonNegative);
  require_setting(n_heads, "n_heads", Need::Positive);
  init_module_base(self);
  set_attr(self, "n_heads", n_heads);
  set_attr(self, "d_head", floor_div(d_model, n_heads));
  if (g_assertions && truth(remainder(d_model, n_heads))) {
    raise(PyExc_AssertionError, "d_model must be divisible by n_heads");
  }
  py::object linear = py::module_::import("torch.nn").attr("Linear");
  for (const char* name : kProjections) set_attr(self, name, linear(d_model, d_model));
}

// The pressure value p: a one-element tensor as it is, the mean of a larger one, anything else as
// it is once its element count has been asked.
py::object pressure_value(const py::object& pressure) {
  if (is_tensor(pressure) && from_py(pressure).numel() == 1) return pressure;
  py::object count = pressure.attr("numel")();
  if (count > py::int_(1)) return pressure.attr("mean")();
  return pressure;
}

struct Heads {
  int64_t batch, length, width, n_heads, d_head;
};

Heads heads_of(const py::object& self, const at::Tensor& x_fast) {
  const auto sizes = unpack_shape_counted(x_fast, 3);
  return Heads{sizes[0], sizes[1], sizes[2], arg_int(self.attr("n_heads"), "n_heads"),
               arg_int(self.attr("d_head"), "d_head")};
}

// proj(x) viewed as [B, L, n_heads, d_head].
at::Tensor project(const py::object& self, const char* proj, const py::object& x, const Heads& h) {
  return call_tensor(child(self, proj), x, proj).view({h.batch, h.length, h.n_heads, h.d_head});
}

py::object quadratic_forward(py::object self, py::object x_fast, py::object x_slow, py::object pressure) {
  const Heads h = heads_of(self, arg_tensor(x_fast, "x_fast"));
  at::Tensor q = project(self, "q_proj", x_fast, h).transpose(1, 2);
  at::Tensor k = project(self, "k_proj", x_slow, h).transpose(1, 2);
  at::Tensor v = project(self, "v_proj", x_slow, h).transpose(1, 2);
  py::object p = pressure_value(pressure);
  py::object root = py::module_::import("math").attr("sqrt")(self.attr("d_head"));
  py::object scale = (py::float_(1.0) + p) / root;
  const double scale_value = to_double(scale);
  at::Tensor out = kernels::causal_attention(q, k, v, scale_value);
  out = out.transpose(1, 2).contiguous().view({h.batch, h.length, h.width});
  return child(self, "out_proj")(to_py(out));
}

py::object linear_forward(py::object self, py::object x_fast, py::object x_slow, py::object pressure) {
  const Heads h = heads_of(self, arg_tensor(x_fast, "x_fast"));
  at::Tensor q = project(self, "q_proj", x_fast, h);
  at::Tensor k = project(self, "k_proj", x_slow, h);
  at::Tensor v = project(self, "v_proj", x_slow, h);
  // The ELU's backward reads its input, never its result, so the result takes the + 1 in place.
  k = without_gil([&] { return at::elu(k).add_(1.0); });
  py::object exponent = py::float_(1.0) + pressure_value(pressure);
  if (is_tensor(exponent)) {
    // Feature map and sharpening in one operator: (elu(q) + 1) ** (1 + p).
    q = kernels::linear_attention_features(q, from_py(exponent));
  } else {
    q = without_gil([&] { return at::elu(q).add_(1.0); });
    q = from_py(py::module_::import("torch").attr("pow")(to_py(q), exponent));
  }
  at::Tensor out = kernels::linear_attention(q, k, v).reshape({h.batch, h.length, h.width});
  return child(self, "out_proj")(to_py(out));
}

void define_bridge(py::module_& m, const char* name, const char* doc,
                   py::object (*forward)(py::object, py::object, py::object, py::object)) {
  py::object cls = new_class(m, name, nn_module(), doc);
  def_method(cls, "__init__", &bridge_init, nullptr, arg("d_model", "int"), arg("n_heads", "int") = 8);
  def_method(cls, "forward", forward, "Bridge output [B, L, D] for the fast stream reading the slow stream.",
             arg("x_fast", "torch.Tensor"), arg("x_slow", "torch.Tensor"), arg("pressure", "torch.Tensor"),
             returns("torch.Tensor"));
}

}  // namespace

void define_cross_attention(py::module_& m) {
  define_bridge(m, "MorvaCrossAttention", kQuadraticDoc, &quadratic_forward);
  define_bridge(m, "LinearMorvaCrossAttention", kLinearDoc, &linear_forward);
}

}  // namespace kestrel::heavy

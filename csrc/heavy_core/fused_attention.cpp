// OptimizedMorvaCHA: the attention step of the quadratic bridge as one fused call, for queries,
// keys and values already projected and split into heads, the scale raised by a scalar pressure.
#include "heavy_core/heavy_core.h"

#include "kernels/attention.h"

namespace kestrel::heavy {
namespace {

constexpr const char* kFusedDoc =
    "Fused pressure-scaled attention: causal scaled dot-product attention of [B, n_heads, L, d_head]\n"
    "queries, keys and values with the scale (1 + pressure) / sqrt(d_head); no projections.";

void fused_init(py::object self, py::object d_model_arg, py::object n_heads_arg) {
  py::int_ d_model = arg_exact_int(d_model_arg, "d_model");
  py::int_ n_heads = arg_exact_int(n_heads_arg, "n_heads");
  require_setting(n_heads, "n_heads", Need::Positive);
  // The scale divides by sqrt(d_head): every head needs at least one column.
  if (d_model < n_heads)
    refuse_setting("d_model", ("at least n_heads (" + std::string(py::str(n_heads)) + ")").c_str(), d_model);
  init_module_base(self);
  set_attr(self, "n_heads", n_heads);
  PyObject* d_head = PyNumber_FloorDivide(d_model.ptr(), n_heads.ptr());
  if (!d_head) throw py::error_already_set();
  set_attr(self, "d_head", py::reinterpret_steal<py::object>(d_head));
  py::object root = py::module_::import("math").attr("sqrt")(self.attr("d_head"));
  PyObject* scale_base = PyNumber_TrueDivide(py::float_(1.0).ptr(), root.ptr());
  if (!scale_base) throw py::error_already_set();
  set_attr(self, "scale_base", py::reinterpret_steal<py::object>(scale_base));
}

py::object fused_forward(py::object self, py::object q, py::object k, py::object v, py::object pressure) {
  const double p = to_double(pressure);
  const double scale = to_double(self.attr("scale_base")) * (p + 1.0);
  at::Tensor qt = arg_tensor(q, "q"), kt = arg_tensor(k, "k"), vt = arg_tensor(v, "v");
  return to_py(kernels::causal_attention(qt, kt, vt, scale));
}

}  // namespace

void define_fused_attention(py::module_& m) {
  py::object cls = new_class(m, "OptimizedMorvaCHA", nn_module(), kFusedDoc);
  def_method(cls, "__init__", &fused_init, nullptr, arg("d_model", "int"), arg("n_heads", "int") = 8);
  def_method(cls, "forward", &fused_forward, "Causal attention [B, n_heads, L, d_head] at the pressure's scale.",
             arg("q", "torch.Tensor"), arg("k", "torch.Tensor"), arg("v", "torch.Tensor"),
             arg("pressure", "float"), returns("torch.Tensor"));
}

}  // namespace kestrel::heavy

// The lite dual-path core: a fast block on the input, a slow block on the radar's long convolution
// of the input, the linear cross-attention bridge from the fast to the slow stream, and one scalar
// routing weight from the slow fortress's global pressure.
#include "runtime/package.h"

namespace kestrel::lite_core {
namespace {

constexpr const char* kModuleDoc =
    "Morva v8.2a: the lite dual-path core.\n"
    "\n"
    "Keeps of the dual-path design:\n"
    "- the radar long convolution (FFT) for global context;\n"
    "- fast and slow streams, each a v7.2.2-FU war engine block;\n"
    "- the linear cross-headed attention bridge, of cost O(L);\n"
    "- the VGT global pressure of the slow fortress as the control signal of the routing.\n"
    "\n"
    "Leaves out the v8.2H shock crystallisation of the heavy core. The v7.2.2-FU components come\n"
    "from the heavy package, so the fortress code exists once.";

constexpr const char* kCoreDoc =
    "Lite core of Morva v8.2a.\n"
    "\n"
    "Its forward signature matches that of v8.2H: forward(x, state=None) returns\n"
    "(hidden, diagnostics).";

constexpr const char* kBlock = "WarEngineTevZOZU_V722_FU";

void core_init(const py::module_& m, py::object self, py::object config, py::object fortress_config) {
  init_module_base(self);
  set_attr(self, "fast_path", m.attr(kBlock)(config, fortress_config));
  set_attr(self, "radar", m.attr("OptimizedMorvaRadar")(config.attr("d_model")));
  set_attr(self, "slow_path", m.attr(kBlock)(config, fortress_config));
  set_attr(self, "cross_attn", m.attr("LinearMorvaCrossAttention")(config.attr("d_model")));
  const auto options = at::TensorOptions().dtype(default_dtype());
  register_parameter(self, "routing_sharpness", at::scalar_tensor(4.0, options));
  register_parameter(self, "routing_threshold", at::scalar_tensor(0.5, options));
}

// float(t.item()): the single element of a tensor as a plain float, with the library's own error
// for any other element count.
py::float_ item_float(const py::object& t) {
  PyObject* r = PyNumber_Float(t.attr("item")().ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::float_>(r);
}

py::tuple core_forward(py::object self, py::object x_obj, py::object state) {
  arg_state(state, "state");
  // What either block or the pressure update would refuse is refused before the fast block runs.
  py::object fast_path = self.attr("fast_path");
  py::object slow_path = self.attr("slow_path");
  check_block_call(fast_path, x_obj, state, false);
  py::object x_radar = self.attr("radar")(x_obj);
  check_block_call(slow_path, x_radar, state, true);
  auto fast = unpack_counted(fast_path.attr("forward_with_diagnostics")(x_obj, state, true), 2);
  auto slow = unpack_counted(slow_path.attr("forward_with_diagnostics")(x_radar, state, true), 2);
  const at::Tensor y_fast = arg_tensor(fast[0], "y_fast");
  const at::Tensor y_slow = arg_tensor(slow[0], "y_slow");
  py::object diag_fast = fast[1], diag_slow = slow[1];

  // The slow fortress's pressure hears the disagreement of the two streams once more.
  py::object fortress_config = getattr_or_none(slow_path, "fortress_config");
  if (truth(fortress_config) && truth(slow_path.attr("fortress_config").attr("enable_vgt"))) {
    py::object fortress = slow_path.attr("fortress");
    const at::Tensor pressure = arg_tensor(fortress.attr("global_pressure"), "global_pressure");
    const at::Tensor x = arg_tensor(x_obj, "x");
    const auto options = at::TensorOptions().device(x.device()).dtype(pressure.scalar_type());
    const at::Tensor sync_error =
        at::mean(at::abs(y_fast.detach() - y_slow.detach())).to(x.device(), pressure.scalar_type());
    PyObject* score = PyNumber_Float(diag_slow.attr("get")("surprisal_score", 1.0).ptr());
    if (!score) throw py::error_already_set();
    const at::Tensor surprisal = at::scalar_tensor(PyFloat_AS_DOUBLE(score), options);
    Py_DECREF(score);
    const at::Tensor avg_conflict = at::scalar_tensor(0.0, options);
    fortress.attr("_update_global_pressure")(to_py(avg_conflict), to_py(surprisal), to_py(sync_error),
                                             py::arg("fast_logits") = to_py(y_fast.detach()),
                                             py::arg("slow_logits") = to_py(y_slow.detach()));
  }

  py::object P_obj = slow_path.attr("fortress").attr("global_pressure");
  const at::Tensor P = arg_tensor(P_obj, "global_pressure");
  const at::Tensor context_bridge = arg_tensor(self.attr("cross_attn")(fast[0], slow[0], P_obj), "context_bridge");
  const at::Tensor slow_weight =
      at::sigmoid(parameter(self, "routing_sharpness") * (P - parameter(self, "routing_threshold")));
  const at::Tensor fast_weight = at::rsub(slow_weight, 1.0);
  const at::Tensor out = y_fast * fast_weight + context_bridge * slow_weight;

  py::dict diagnostics;
  const py::float_ pressure = item_float(P_obj);
  diagnostics["vgt_pressure"] = pressure;
  diagnostics["zurav_slow_weight"] = item_float(to_py(slow_weight));
  diagnostics["zurav_fast_weight"] = item_float(to_py(fast_weight));
  diagnostics["fast_diagnostics"] = diag_fast;
  diagnostics["slow_diagnostics"] = diag_slow;
  diagnostics["mode"] = py::str(pressure.cast<double>() > 0.6 ? "SIEGE" : "FLOW");
  return py::make_tuple(to_py(out), diagnostics);
}

}  // namespace

KESTREL_EXTENSION(lite_core) {
  m.doc() = kModuleDoc;
  for (const char* name : {"Dict", "Optional", "Tuple"}) m.attr(name) = typing_attr(name);
  m.attr("torch") = py::module_::import("torch");
  m.attr("nn") = py::module_::import("torch.nn");

  // from ..heavy_core.fortress_engine import ...: the heavy package's fortress engine, not the
  // link beside this module.
  const auto engine = {kBlock, "TevUnifiedConfig", "FortressUnbrokenConfig"};
  bind_names_from(m, import_module_level(m, "heavy_core.fortress_engine", 2, engine), engine);
  // from ..heavy_core.heavy_core import OptimizedMorvaRadar, LinearMorvaCrossAttention
  const auto heavy = {"OptimizedMorvaRadar", "LinearMorvaCrossAttention"};
  bind_names_from(m, import_module_level(m, "heavy_core.heavy_core", 2, heavy), heavy);

  py::object cls = new_class(m, "ZuravMorvaV8_2", nn_module(), kCoreDoc);
  py::module_ module = m;
  def_method(cls, "__init__",
             [module](py::object self, py::object config, py::object fortress_config) {
               core_init(module, self, config, fortress_config);
             },
             nullptr, arg("config", "TevUnifiedConfig"),
             arg("fortress_config", "Optional[FortressUnbrokenConfig]") = py::none());
  def_method(cls, "forward", &core_forward,
             "x [B, L, d_model] and an optional state dict (passed to both blocks, never written) ->\n"
             "(mixed hidden [B, L, d_model], diagnostics).",
             arg("x", "torch.Tensor"), arg("state", "Optional[Dict]") = py::none(),
             returns("Tuple[torch.Tensor, Dict]"));
}

}  // namespace kestrel::lite_core

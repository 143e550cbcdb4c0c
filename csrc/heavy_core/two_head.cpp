// ZuravMorvaEngine, the v8.1 two-head engine: a learning fast head on the input and a frozen slow
// head on the radar's long convolution of it, mixed by a sigmoid of the slow fortress's pressure.
//
// Without diagnostics a call reads nothing back from the device itself (a non-finite sync error is
// replaced on the device); with diagnostics every value comes back in one read.
#include "heavy_core/dual_path.h"

#include <iterator>
#include <utility>

namespace kestrel::heavy {
namespace {

constexpr const char* kEngineDoc =
    "Zurav v8.1 two-head engine: two war engine blocks on one batch.\n"
    "\n"
    "The fast head (shakti_head, also fast_head) learns and runs on the input; the slow head\n"
    "(shiva_head, also slow_head) is frozen, always in evaluation mode, and runs on the radar's FFT\n"
    "long convolution of the input. Their symmetric KL disagreement and both detached outputs feed\n"
    "the slow fortress's global pressure P, and the output is\n"
    "y_fast * (1 - w) + y_slow * w with w = sigmoid(routing_sharpness * (P - routing_threshold)).\n"
    "The entry point is forward_with_diagnostics.";

constexpr const char* kTrainDoc =
    "Set the training mode of the engine; the slow head always stays in evaluation mode.";

constexpr const char* kTrainableDoc = "The parameters that require gradients, for the optimiser.";

constexpr const char* kForwardDoc =
    "Run both heads, the pressure update and the routed mix.\n"
    "\n"
    "x: [B, L, d_model]; state: None or a dict handed to both heads; returns (y_final, diagnostics),\n"
    "the diagnostics empty unless return_diagnostics is true.";

void construct(const py::module_& module, py::object self, py::object config, py::object fortress_config,
               py::object cross_attn_mode) {
  arg_str(cross_attn_mode, "cross_attn_mode");  // no bridge is built, whatever the mode
  init_module_base(self);
  py::object block = module.attr("WarEngineTevZOZU_V722_FU");
  set_attr(self, "shakti_head", block(config, fortress_config));
  set_attr(self, "fast_head", self.attr("shakti_head"));
  set_attr(self, "radar", module.attr("OptimizedMorvaRadar")(config.attr("d_model")));
  set_attr(self, "shiva_head", block(config, fortress_config));
  set_attr(self, "slow_head", self.attr("shiva_head"));
  set_requires_grad(self.attr("shiva_head"), false);
  set_requires_grad(self.attr("shakti_head"), true);
  const at::TensorOptions options = at::TensorOptions().dtype(default_dtype());
  register_parameter(self, "routing_sharpness", at::scalar_tensor(4.0, options));
  register_parameter(self, "routing_threshold", at::scalar_tensor(0.5, options));
}

py::object train(py::object self, py::object mode) {
  nn_module().attr("train")(self, mode);
  self.attr("shakti_head").attr("train")(mode);
  self.attr("radar").attr("train")(mode);
  self.attr("shiva_head").attr("train")(false);
  return self;
}

py::list trainable_parameters(py::object self) {
  py::list result;
  for (py::handle p : self.attr("parameters")()) {
    if (truth(p.attr("requires_grad"))) result.append(p);
  }
  return result;
}

// The fortress buffers the diagnostics report after the pressure update, under their keys.
constexpr std::pair<const char*, const char*> kFortressEntries[] = {
    {"last_dance_friction_nonfinite", "last_dance_friction_nonfinite"},
    {"vgt_dance_friction_centered", "last_dance_friction_centered"},
    {"vgt_delta_dance_friction", "last_delta_dance_friction"},
    {"vgt_pressure_raw", "last_pressure_raw"},
    {"bounded_calm_ok", "bounded_calm_ok"},
    {"adaptive_calm_ok", "adaptive_calm_ok"},
};

py::tuple forward_with_diagnostics(py::object self, py::object x_obj, py::object state, py::object return_diagnostics) {
  arg_dict_or_none(state, "state");
  const bool diagnose = truth(return_diagnostics);

  // What either head or the pressure update would refuse is refused before the fast head runs.
  py::object fast_head = self.attr("shakti_head");
  py::object slow_head = self.attr("shiva_head");
  check_block_call(fast_head, x_obj, state, false);
  py::object x_radar = self.attr("radar")(x_obj);
  py::object fortress = slow_head.attr("fortress");
  const double temperature = kl_temperature(fortress);
  check_block_call(slow_head, x_radar, state, true);

  auto fast = unpack(fast_head.attr("forward_with_diagnostics")(x_obj, state, diagnose), 2);
  auto slow = unpack(slow_head.attr("forward_with_diagnostics")(x_radar, state, diagnose), 2);
  const at::Tensor x = arg_tensor(x_obj, "x");
  const at::Tensor y_fast = arg_tensor(fast[0], "y_fast");
  const at::Tensor y_slow = arg_tensor(slow[0], "y_slow");

  const at::Tensor sync_raw =
      arg_tensor(safe_symmetric_kl(self, SyncErrorMember::TwoHeadEngine, fast[0], slow[0], temperature), "sync");

  // A non-finite sync error becomes 1.0, decided on the device.
  const at::TensorOptions options =
      at::TensorOptions().device(x.device()).dtype(buffer(fortress, "global_pressure").scalar_type());
  const at::Tensor finite = at::isfinite(sync_raw);
  const at::Tensor sync = at::where(finite, sync_raw.to(options), at::scalar_tensor(1.0, options));

  if (truth(slow_head.attr("fortress_config").attr("enable_vgt"))) {
    const at::Tensor conflict = at::scalar_tensor(average_conflict(fortress), options);
    const at::Tensor surprisal = buffer(fortress, "last_surprisal").to(options);
    update_pressure_with_logits(fortress, conflict, surprisal, sync, y_fast, y_slow);
  }

  const at::Tensor pressure = buffer(fortress, "global_pressure");
  const at::Tensor w = at::sigmoid(parameter(self, "routing_sharpness") * (pressure - parameter(self, "routing_threshold")));
  const at::Tensor fast_weight = at::rsub(w, 1.0);
  const at::Tensor y_final = y_fast * fast_weight + y_slow * w;
  if (!diagnose) return py::make_tuple(to_py(y_final), py::dict());

  const std::vector<double> v = read_scalars(
      {pressure, w, fast_weight, sync.to(at::kFloat), at::logical_not(finite),
       buffer(fortress, kFortressEntries[0].second), buffer(fortress, kFortressEntries[1].second),
       buffer(fortress, kFortressEntries[2].second), buffer(fortress, kFortressEntries[3].second),
       buffer(fortress, kFortressEntries[4].second), buffer(fortress, kFortressEntries[5].second)});
  py::dict diagnostics;
  diagnostics["vgt_pressure"] = v[0];
  diagnostics["zurav_slow_weight"] = v[1];
  diagnostics["zurav_fast_weight"] = v[2];
  diagnostics["mode"] = v[0] < 0.4 ? "REFLEX" : "DELIBERATION";
  diagnostics["fast_diagnostics"] = fast[1];
  diagnostics["slow_diagnostics"] = slow[1];
  diagnostics["vgt_dance_friction"] = v[3];
  diagnostics["vgt_sync_nan"] = v[4];
  for (size_t i = 0; i < std::size(kFortressEntries); ++i) diagnostics[kFortressEntries[i].first] = v[5 + i];
  return py::make_tuple(to_py(y_final), diagnostics);
}

}  // namespace

void define_two_head_engine(py::module_& m) {
  py::object cls = new_class(m, "ZuravMorvaEngine", nn_module(), kEngineDoc);
  py::module_ module = m;
  def_method(cls, "__init__",
             [module](py::object self, py::object config, py::object fortress_config, py::object cross_attn_mode) {
               construct(module, self, config, fortress_config, cross_attn_mode);
             },
             nullptr, arg("config", "TevUnifiedConfig"), arg("fortress_config", "Optional[FortressUnbrokenConfig]") = py::none(),
             arg("cross_attn_mode", "str") = "linear");
  def_method(cls, "train", &train, kTrainDoc, arg("mode", "bool") = true);
  def_method(cls, "get_trainable_parameters", &trainable_parameters, kTrainableDoc, returns("List[torch.nn.Parameter]"));
  def_safe_symmetric_kl(cls, SyncErrorMember::TwoHeadEngine);
  def_method(cls, "forward_with_diagnostics", &forward_with_diagnostics, kForwardDoc, arg("x", "torch.Tensor"),
             arg("state", "Optional[Dict]") = py::none(), arg("return_diagnostics", "bool") = true,
             returns("Tuple[torch.Tensor, Dict]"));
}

}  // namespace kestrel::heavy

// The fortress-only core: one v7.2.2-FU war engine block on the hidden states, nothing else.
#include "runtime/package.h"

namespace kestrel::fortress_core {
namespace {

constexpr const char* kModuleDoc =
    "Fortress-only core: runs the v7.2.2-FU war engine block and nothing else.\n"
    "\n"
    "A minimal core for runs in which the causal language model keeps its embedding and output\n"
    "head while the core is strictly the fortress training block, without radar or\n"
    "cross-attention routing. Its call has the signature of the dual-path cores,\n"
    "forward(x, state=None) -> (hidden, diagnostics), and its state dict keeps their flat\n"
    "key-mapping convention by exposing the block under fast_path.";

constexpr const char* kCoreDoc =
    "v7.2.2-FU-only core (no radar, no slow head, no cross-attn).\n"
    "\n"
    "For compatibility with existing checkpoints/mappers, we expose:\n"
    "- fast_path: WarEngineTevZOZU_V722_FU";

constexpr const char* kBlock = "WarEngineTevZOZU_V722_FU";

void core_init(const py::module_& m, py::object self, py::object config, py::object fortress_config) {
  init_module_base(self);
  if (fortress_config.is_none()) {
    fortress_config = m.attr("FortressUnbrokenConfig")(py::arg("enable_vgt") = true, py::arg("beta_pressure") = 0.4);
  }
  set_attr(self, "fast_path", m.attr(kBlock)(config, fortress_config));
}

py::tuple core_forward(py::object self, py::object x, py::object state) {
  arg_state(state, "state");
  py::object result = module_attr(self, "fast_path").attr(interned("forward_with_diagnostics"))(
      x, py::arg("state") = state, py::arg("return_diagnostics") = true);
  auto items = unpack_counted(result, 2);
  return py::make_tuple(items[0], items[1]);
}

}  // namespace

KESTREL_EXTENSION(fortress_core) {
  m.doc() = kModuleDoc;
  for (const char* name : {"Dict", "Optional", "Tuple"}) m.attr(name) = typing_attr(name);
  m.attr("torch") = py::module_::import("torch");
  m.attr("nn") = py::module_::import("torch.nn");

  // from ..heavy_core.fortress_engine import ...: the heavy package's fortress engine.
  const auto names = {kBlock, "TevUnifiedConfig", "FortressUnbrokenConfig"};
  bind_names_from(m, import_module_level(m, "heavy_core.fortress_engine", 2, names), names);

  py::object cls = new_class(m, "FortressFUCore", nn_module(), kCoreDoc);
  py::module_ module = m;
  def_method(cls, "__init__",
             [module](py::object self, py::object config, py::object fortress_config) {
               core_init(module, self, config, fortress_config);
             },
             nullptr, arg("config", "TevUnifiedConfig"),
             arg("fortress_config", "Optional[FortressUnbrokenConfig]") = py::none());
  def_method(cls, "forward", &core_forward,
             "Run the block once: x [B, L, d_model] and an optional state dict (passed on, never\n"
             "written) -> (hidden [B, L, d_model], the block's diagnostics dict).",
             arg("x", "torch.Tensor"), arg("state", "Optional[Dict]") = py::none(),
             returns("Tuple[torch.Tensor, Dict]"));
}

}  // namespace kestrel::fortress_core

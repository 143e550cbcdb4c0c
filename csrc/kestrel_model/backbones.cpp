// The stacked backbones: one war engine block per layer, each wrapped in a residual connection,
// with optional activation checkpointing per block in training.
#include "kestrel_model/kestrel_model.h"

#include <memory>
#include <utility>
#include <vector>

namespace kestrel::model {
namespace {

constexpr const char* kBackboneDoc =
    "Stacked backbone: n_layers v7.2.2-FU war engine blocks, x <- x + block(x) for each.\n"
    "\n"
    "Every block has its own fortress memory; all share one block configuration (n_layers 1)\n"
    "and one fortress configuration that keeps only enable_vgt and beta_pressure of the one\n"
    "given, with max_engrams 0. Set the attribute gradient_checkpointing to a true value to\n"
    "checkpoint every block in training mode (the blocks then report no diagnostics).\n"
    "forward(x) returns (hidden, {'layers': [one diagnostics dict per block]}).";

constexpr const char* kBoundedDoc =
    "Stacked backbone of bounded war engine blocks (WarEngineTevZOZU_V722_FU_Bounded), each built\n"
    "from the model-wide configuration and the fortress configuration as given; forward as\n"
    "KestrelBackboneFU64.";

constexpr const char* kFortressEngineRelative = "architectures.heavy_core.fortress_engine";

py::object module_list(const py::list& blocks) { return this_module().attr("nn").attr("ModuleList")(blocks); }

py::object range_of(const py::object& count) { return py::module_::import("builtins").attr("range")(count); }

void backbone_init(py::object self, py::object rt_config, py::object fortress_cfg) {
  init_module_base(self);
  auto engine = lazy_import(kFortressEngineRelative, {"WarEngineTevZOZU_V722_FU", "FortressUnbrokenConfig"});
  py::object d_model = rt_config.attr("d_model");
  py::object d_state = rt_config.attr("d_state");
  py::object block_cfg = this_module().attr("TevUnifiedConfig")(
      py::arg("d_model") = d_model, py::arg("d_state") = d_state, py::arg("n_layers") = 1);
  py::object enable_vgt = fortress_cfg.attr("enable_vgt");
  py::object beta_pressure = fortress_cfg.attr("beta_pressure");
  py::object lite_fortress_cfg = engine[1](py::arg("enable_vgt") = enable_vgt,
                                           py::arg("beta_pressure") = beta_pressure, py::arg("max_engrams") = 0);
  py::list blocks;
  for (py::handle i : range_of(rt_config.attr("n_layers"))) {
    (void)i;
    blocks.append(engine[0](block_cfg, lite_fortress_cfg));
  }
  set_attr(self, "layers", module_list(blocks));
}

void bounded_init(const py::object& cls, py::object self, py::object rt_config, py::object fortress_cfg) {
  py::module_::import("builtins").attr("super")(cls, self).attr("__init__")(rt_config, fortress_cfg);
  py::object bounded = lazy_import(kFortressEngineRelative, {"WarEngineTevZOZU_V722_FU_Bounded"})[0];
  py::list blocks;
  for (py::handle i : range_of(rt_config.attr("n_layers"))) {
    (void)i;
    blocks.append(bounded(rt_config, fortress_cfg));
  }
  set_attr(self, "layers", module_list(blocks));
}

// A checkpoint runs layer_fn a second time during backward to rebuild the block's activations. The
// block's forward reads buffers that the same forward updates (its carried recurrent state, the
// global pressure, the surprisal statistics), so a plain second run would start from what the first
// run left and rebuild the activations of another computation, and the gradients with them. The
// re-run therefore starts from the buffers as the first run found them, and afterwards every buffer
// is put back as the first run left it, so the re-run changes nothing that the next call sees. The
// guard restores on every way out, the checkpoint stopping the re-run early included.
class RecomputeReplay {
 public:
  struct Record {
    bool ran = false;
    std::vector<std::pair<py::object, py::object>> slots;  // (owning module, buffer name)
    std::vector<py::object> start;                           // their values before the first run
  };

  RecomputeReplay(const py::object& block, Record& record) : record_(record) {
    at::NoGradGuard no_grad;
    if (!record_.ran) {
      for (py::handle module : block.attr("modules")()) {
        py::dict buffers = module.attr("_buffers");
        for (auto item : buffers) {
          if (!is_tensor(item.second)) continue;
          record_.slots.emplace_back(py::reinterpret_borrow<py::object>(module),
                                     py::reinterpret_borrow<py::object>(item.first));
          record_.start.push_back(item.second.attr("detach")().attr("clone")());
        }
      }
      return;
    }
    for (size_t i = 0; i < record_.slots.size(); ++i) {
      end_.push_back(current(i).attr("detach")().attr("clone")());
      put(i, record_.start[i]);
    }
  }
  ~RecomputeReplay() {
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    if (!record_.ran) {
      record_.ran = true;
    } else {
      try {
        at::NoGradGuard no_grad;
        for (size_t i = 0; i < end_.size(); ++i) put(i, end_[i]);
      } catch (py::error_already_set&) {
      } catch (const std::exception&) {
      }
      PyErr_Clear();
    }
    PyErr_Restore(type, value, trace);
  }
  RecomputeReplay(const RecomputeReplay&) = delete;
  RecomputeReplay& operator=(const RecomputeReplay&) = delete;

 private:
  py::object current(size_t i) const {
    return record_.slots[i].first.attr("_buffers")[record_.slots[i].second];
  }
  // In place where the shape still fits (the buffer stays the same object); the carried state can
  // change its batch between runs, and is then replaced.
  void put(size_t i, const py::object& value) const {
    py::object buffer = current(i);
    if (is_tensor(buffer) && from_py(buffer).sizes() == from_py(value).sizes()) {
      from_py(buffer).copy_(from_py(value));
    } else {
      record_.slots[i].first.attr("_buffers")[record_.slots[i].second] = value.attr("clone")();
    }
  }

  Record& record_;
  std::vector<py::object> end_;
};

// layer_fn(h) = h + block(h), the block asked for no diagnostics: what a checkpoint recomputes.
py::object make_layer_fn(py::object block) {
  auto record = std::make_shared<RecomputeReplay::Record>();
  return py::cpp_function(
      [block, record](py::object h) -> py::object {
        RecomputeReplay replay(block, *record);
        auto result = unpack(block.attr("forward_with_diagnostics")(h, py::arg("state") = py::none(),
                                                                    py::arg("return_diagnostics") = false),
                             2);
        return h + result[0];
      },
      py::name("layer_fn"), py::arg("h"));
}

py::tuple backbone_forward(py::object self, py::object x) {
  py::object use_checkpoint = getattr_or_none(self, "gradient_checkpointing");
  if (truth(use_checkpoint)) use_checkpoint = self.attr("training");
  py::list layer_diagnostics;
  if (truth(use_checkpoint)) {
    py::object checkpoint = py::module_::import("torch.utils.checkpoint");
    for (py::handle block : self.attr("layers")) {
      py::object layer_fn = make_layer_fn(py::reinterpret_borrow<py::object>(block));
      x = checkpoint.attr("checkpoint")(layer_fn, x, py::arg("use_reentrant") = false);
      layer_diagnostics.append(py::dict());
    }
  } else {
    for (py::handle block : self.attr("layers")) {
      auto result = unpack(block.attr("forward_with_diagnostics")(x, py::arg("state") = py::none(),
                                                                  py::arg("return_diagnostics") = true),
                           2);
      x = x + result[0];
      layer_diagnostics.append(result[1]);
    }
  }
  py::dict diagnostics;
  diagnostics["layers"] = layer_diagnostics;
  return py::make_tuple(x, diagnostics);
}

}  // namespace

void define_backbones(py::module_& m) {
  py::object base = new_class(m, "KestrelBackboneFU64", nn_module(), kBackboneDoc);
  def_method(base, "__init__", &backbone_init, nullptr, arg("rt_config", "TevUnifiedConfig"),
             arg("fortress_cfg", "FortressUnbrokenConfig"));
  def_method(base, "forward", &backbone_forward,
             "x [B, L, d_model] -> (hidden [B, L, d_model], {'layers': per-block diagnostics}).",
             arg("x", "torch.Tensor"), returns("Tuple[torch.Tensor, Dict[str, Any]]"));

  py::object bounded = new_class(m, "KestrelBackboneFU64Bounded", base, kBoundedDoc);
  def_method(bounded, "__init__",
             [bounded](py::object self, py::object rt_config, py::object fortress_cfg) {
               bounded_init(bounded, self, rt_config, fortress_cfg);
             },
             nullptr, arg("rt_config", "TevUnifiedConfig"), arg("fortress_cfg", "FortressUnbrokenConfig"));
}

}  // namespace kestrel::model

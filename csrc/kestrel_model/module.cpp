// The causal-language-model module: what importing it binds, in order, the model record and the
// factory through which the host builds a complete model.
#include "kestrel_model/kestrel_model.h"

namespace kestrel::model {
namespace {

constexpr const char* kModuleDoc =
    "Kestrel: a minimal causal-language-model wrapper around the heavy core.\n"
    "\n"
    "The language model embeds token ids, runs a core chosen by variant name (the heavy dual-path\n"
    "core by default, the lite core, the fortress-only core or a stacked backbone of one war engine\n"
    "block per layer) and scores the next token through an output head tied to the embedding.\n"
    "\n"
    "Key constraint: outside probes expect the model's state dict to contain the keys\n"
    "embed_tokens.weight and lm_head.weight.";

constexpr const char* kFactoryDoc =
    "Build a KestrelCausalLM from plain settings.\n"
    "\n"
    "Sizes take an int unchanged and any other number by int(); cross_attn_mode and\n"
    "morva_variant must be str; shared_backbone is taken by its truth value. Returns a freshly\n"
    "initialised model in training mode.";

PyObject* g_module = nullptr;

constexpr const char* kHeavyRelative = "architectures.heavy_core.heavy_core";
constexpr const char* kHeavyAbsolute = "silver_kestrel.architectures.heavy_core.heavy_core";

// from .architectures.heavy_core.heavy_core import ...; on ImportError, the absolute path.
void bind_heavy_core(py::module_& m) {
  const auto names = {"ZuravMorvaV8_2H", "TevUnifiedConfig", "FortressUnbrokenConfig"};
  try {
    bind_names_from(m, import_module_level(m, kHeavyRelative, 1, names), names);
    return;
  } catch (py::error_already_set& e) {
    if (!is_import_error(e)) throw;
  }
  bind_names_from(m, import_module_level(m, kHeavyAbsolute, 0, names), names);
}

void model_config_post_init(py::object self) { check_model_config(self); }

void define_model_config(py::module_& m) {
  py::module_ builtins = py::module_::import("builtins");
  py::object int_t = builtins.attr("int"), str_t = builtins.attr("str"), bool_t = builtins.attr("bool");
  new_record(m, "KestrelModelConfig", nullptr,
             {field("vocab_size", int_t, py::int_(50280)), field("d_model", int_t, py::int_(2560)),
              field("d_state", int_t, py::int_(2560)), field("n_layers", int_t, py::int_(64)),
              field("cross_attn_mode", str_t, py::str("linear")), field("shared_backbone", bool_t, py::bool_(true)),
              field("morva_variant", str_t, py::str("heavy"))},
             py::cpp_function(&model_config_post_init, py::name("__post_init__")));
}

// A size argument: an exact int unchanged, another number by int() (whose own errors propagate),
// anything else refused.
py::object size_argument(const py::handle& value, const char* name) {
  if (PyLong_CheckExact(value.ptr())) return py::reinterpret_borrow<py::object>(value);
  if (!PyNumber_Check(value.ptr())) raise_arg_type(name, "int", value);
  PyObject* r = PyNumber_Long(value.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

py::object create_kestrel_model(py::object vocab_size, py::object d_model, py::object d_state, py::object n_layers,
                                py::object cross_attn_mode, py::object shared_backbone, py::object morva_variant) {
  vocab_size = size_argument(vocab_size, "vocab_size");
  d_model = size_argument(d_model, "d_model");
  d_state = size_argument(d_state, "d_state");
  n_layers = size_argument(n_layers, "n_layers");
  const bool shared = truth(shared_backbone);
  arg_str(cross_attn_mode, "cross_attn_mode");
  arg_str(morva_variant, "morva_variant");
  py::module_ m = this_module();
  py::object config = m.attr("KestrelModelConfig")(
      py::arg("vocab_size") = vocab_size, py::arg("d_model") = d_model, py::arg("d_state") = d_state,
      py::arg("n_layers") = n_layers, py::arg("cross_attn_mode") = cross_attn_mode,
      py::arg("shared_backbone") = py::bool_(shared), py::arg("morva_variant") = morva_variant);
  return m.attr("KestrelCausalLM")(config);
}

}  // namespace

void check_model_config(const py::handle& config) {
  static constexpr std::pair<const char*, Need> kSizes[] = {
      {"vocab_size", Need::Positive}, {"d_model", Need::Positive},
      {"d_state", Need::NonNegative}, {"n_layers", Need::NonNegative}};
  for (const auto& [field, need] : kSizes) require_setting(getattr_or_none(config, field), field, need);
}

py::module_ this_module() { return py::reinterpret_borrow<py::module_>(g_module); }

std::vector<py::object> lazy_import(const char* relative, std::initializer_list<const char*> names) {
  const std::string absolute = std::string("silver_kestrel.") + relative;
  return import_names_or_absolute(this_module(), relative, 1, absolute.c_str(), names);
}

KESTREL_EXTENSION(kestrel_model) {
  m.doc() = kModuleDoc;
  g_module = m.ptr();  // the module lives as long as the process once its body has run

  m.attr("dataclass") = py::module_::import("dataclasses").attr("dataclass");
  for (const char* name : {"Any", "Dict", "Optional", "Tuple"}) m.attr(name) = typing_attr(name);
  m.attr("math") = py::module_::import("math");
  m.attr("torch") = py::module_::import("torch");
  m.attr("nn") = py::module_::import("torch.nn");

  bind_heavy_core(m);

  define_model_config(m);
  define_backbones(m);
  define_causal_lm(m);
  define_layered_lm(m);
  def_function(m, "create_kestrel_model", &create_kestrel_model, kFactoryDoc, arg("vocab_size", "int") = 50280,
               arg("d_model", "int") = 2560, arg("d_state", "int") = 2560, arg("n_layers", "int") = 64,
               arg("cross_attn_mode", "str") = "linear", arg("shared_backbone", "bool") = true,
               arg("morva_variant", "str") = "heavy", returns("KestrelCausalLM"));
}

}  // namespace kestrel::model

// The heavy core module: what importing it binds, in order.
#include "heavy_core/heavy_core.h"

namespace kestrel::heavy {

bool g_assertions = true;

namespace {

constexpr const char* kModuleDoc =
    "MORVA v8.2H: the 'Heavy' dual-path core.\n"
    "\n"
    "Three phases:\n"
    "- Phase I, global radar: a causal long convolution of the whole sequence, computed with\n"
    "  zero-padded FFTs, whose filter is generated per channel from normalised positions;\n"
    "- Phase II, hydra heads: a fast head on the input and a slow head on the radar's view of it;\n"
    "- Phase III, cross-headed attention: the fast head reads the slow head through an attention\n"
    "  bridge gated by the global pressure.\n"
    "\n"
    "Combined features:\n"
    "- sharpened attention: the pressure raises the softmax scale (quadratic bridge) or the\n"
    "  exponent of the query features (linear bridge), so high pressure focuses each position;\n"
    "- arbitration of the heads: the symmetric KL divergence between them feeds the pressure, and a\n"
    "  sudden collapse of that friction is a shock, recorded as a boundary and consolidated;\n"
    "- a configurable bridge: linear cost for long sequences, or exact causal quadratic attention.\n"
    "\n"
    "Integration: every head is a Fortress Unbroken v7.2.2-FU block with its own fortress memory;\n"
    "the slow fortress carries the global pressure that routes the heads and guards the engrams.";

// from .fortress_engine import WarEngineTevZOZU_V722_FU, TevUnifiedConfig, FortressUnbrokenConfig
void import_fortress_engine(py::module_& m) {
  const auto names = {"WarEngineTevZOZU_V722_FU", "TevUnifiedConfig", "FortressUnbrokenConfig"};
  py::list fromlist;
  for (const char* name : names) fromlist.append(py::str(name));
  PyObject* globals = PyModule_GetDict(m.ptr());
  PyObject* source = PyImport_ImportModuleLevel("fortress_engine", globals, nullptr, fromlist.ptr(), 1);
  if (!source) throw py::error_already_set();
  bind_names_from(m, py::reinterpret_steal<py::object>(source), names);
}

}  // namespace

KESTREL_EXTENSION(heavy_core) {
  m.doc() = kModuleDoc;
  g_assertions = debug_flag();

  m.attr("torch") = py::module_::import("torch");
  m.attr("nn") = py::module_::import("torch.nn");
  m.attr("F") = py::module_::import("torch.nn.functional");
  py::module_::import("torch.fft");
  m.attr("math") = py::module_::import("math");
  m.attr("dataclass") = py::module_::import("dataclasses").attr("dataclass");
  for (const char* name : {"Optional", "Tuple", "Dict", "List"}) m.attr(name) = typing_attr(name);

  import_fortress_engine(m);

  define_radar(m);
  define_cross_attention(m);
  define_fused_attention(m);
  define_two_head_engine(m);
  define_boundary_record(m);
  define_heavy_core(m);
  define_sharded_core(m);
  define_morva_config(m);
  define_demonstration(m);
}

}  // namespace kestrel::heavy

// The fortress engine module: what importing it binds, in order, and the informational banner.
#include "fortress_engine/fortress.h"

namespace kestrel::fortress {
namespace {

constexpr const char* kModuleDoc =
    "Fortress Unbroken v7.2.2-FU: a state-space block whose memory protects what it has learnt.\n"
    "\n"
    "The fortress keeps protected subspaces of the block state (engrams), promoted from the\n"
    "running covariance of the state, and projects the gradient flowing back through the state\n"
    "out of their joint basis.\n"
    "\n"
    "Pressure stabilisation:\n"
    "- adaptive normalisation: surprisal and fast/slow disagreement (dance friction) are\n"
    "  normalised by their own running mean and mean absolute deviation, so the pressure does not\n"
    "  depend on the scale of either signal;\n"
    "- one global pressure in [0, 1] drives both the block's gate band and the engrams'\n"
    "  projection coefficients;\n"
    "- the pressure is rate limited per step and smoothed, so it cannot jump.";

constexpr const char* kSplitEngine = "split_engine";

void import_split_engine(py::module_& m) {
  const auto names = {"WarEngineTevZOZU_V32", "InferenceEngineTevZOZU_V32", "ListeningIntegratorV32",
                      "TevUnifiedConfig"};
  try {
    import_names(m, kSplitEngine, names);
    return;
  } catch (py::error_already_set& e) {
    if (!is_import_error(e)) throw;
  }
  // Not found on the search path: look beside this module's own file, once.
  py::module_ sys = py::module_::import("sys");
  m.attr("sys") = sys;
  m.attr("os") = py::module_::import("os");
  sys.attr("path").attr("insert")(0, module_dir(m));
  import_names(m, kSplitEngine, names);
}

}  // namespace

KESTREL_EXTENSION(fortress_engine) {
  m.doc() = kModuleDoc;

  m.attr("dataclass") = py::module_::import("dataclasses").attr("dataclass");
  for (const char* name : {"Dict", "List", "Optional", "Tuple"}) m.attr(name) = typing_attr(name);
  m.attr("math") = py::module_::import("math");
  m.attr("torch") = py::module_::import("torch");
  m.attr("nn") = py::module_::import("torch.nn");
  m.attr("F") = py::module_::import("torch.nn.functional");
  m.attr("logging") = py::module_::import("logging");
  m.attr("logger") = get_logger(m);

  import_split_engine(m);

  define_records(m);
  py::object memory = define_memory_class(m);
  define_pressure_methods(memory);
  define_surprisal_methods(memory);
  define_block_class(m);

  def_function(m, "_print_banner", &print_banner, "Print the informational banner of the module.");
}

}  // namespace kestrel::fortress

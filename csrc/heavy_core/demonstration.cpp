// The module's demonstration: builds the heavy core at its reference widths, runs it once on a
// random batch and lists its diagnostics. Run by the module's launcher, never on import.
#include "heavy_core/heavy_core.h"

#include <string>

namespace kestrel::heavy {
namespace {

void say(const std::string& line) { py::print(line); }

void run_demonstration(py::module_ m) {
  const std::string rule(80, '=');
  say(rule);
  say("MORVA v8.2H: The 'Heavy' Guardian Architecture");
  say(rule);
  say("");
  say("Architecture Components:");
  say("  [Phase I]   Global Radar (FFT Engine)");
  say("  [Phase II]  Zurav Heads (Fast/Slow/Buddy-Cop)");
  say("  [Phase III] Sharpened Cross-Headed Attention (Linear/Quadratic Bridge)");
  say("");
  say("Integration: Fortress Unbroken v7.2.2-FU");
  say("");
  say(rule);
  say("");

  py::object config = m.attr("TevUnifiedConfig")(py::arg("d_model") = 1024, py::arg("d_state") = 256,
                                                  py::arg("n_layers") = 12);
  py::object fortress_config = m.attr("FortressUnbrokenConfig")(
      py::arg("max_engrams") = 12, py::arg("enable_vgt") = true, py::arg("beta_pressure") = 0.4);
  say("Initializing Morva v8.2H Heavy Engine...");
  py::object model = m.attr("ZuravMorvaV8_2H")(config, fortress_config, py::arg("cross_attn_mode") = "linear");

  const int64_t d_model = arg_int(config.attr("d_model"), "d_model");
  py::object x = to_py(at::randn({2, 128, d_model}, at::TensorOptions().dtype(default_dtype())));
  say("Input shape: " + py::str(x.attr("shape")).cast<std::string>());

  auto result = unpack(model(x), 2);
  say("Output shape: " + py::str(result[0].attr("shape")).cast<std::string>());
  say("");
  say("Diagnostics:");
  for (auto item : py::reinterpret_borrow<py::dict>(result[1])) {
    const std::string key = py::str(item.first).cast<std::string>();
    const bool nested = PyDict_Check(item.second.ptr());
    say("  " + key + ": " +
        (nested ? std::string("[nested diagnostics]") : py::str(item.second).cast<std::string>()));
  }
  say("");
  say(rule);
  say("Status: Sovereign. Global. Heavy. Unbroken.");
  say(rule);
}

}  // namespace

void define_demonstration(py::module_& m) {
  def_function(m, "_run_demonstration", [m]() { run_demonstration(m); },
               "Run the module's demonstration: build a heavy core and print its diagnostics.");
}

}  // namespace kestrel::heavy

// The records of the heavy core module.
#include "heavy_core/heavy_core.h"

namespace kestrel::heavy {

void define_morva_config(py::module_& m) {
  py::object builtins = py::module_::import("builtins");
  py::object bool_t = builtins.attr("bool"), int_t = builtins.attr("int"), float_t = builtins.attr("float");
  new_record(m, "MorvaConfig",
             "Codename-specific configuration extensions.\n"
             "\n"
             "enable_zurav: use the dual-path fast and slow heads.\n"
             "enable_cross_attn: enable the cross-headed attention bridge.\n"
             "radar_max_l: longest sequence for the radar.\n"
             "n_attn_heads: number of attention heads of the bridge.\n"
             "pressure_bias: initial bias of the pressure-based routing.",
             {field("enable_zurav", bool_t, py::bool_(true)),
              field("enable_cross_attn", bool_t, py::bool_(true)),
              field("radar_max_l", int_t, py::int_(1048576)),
              field("n_attn_heads", int_t, py::int_(8)),
              field("pressure_bias", float_t, py::float_(0.5))});
}

}  // namespace kestrel::heavy

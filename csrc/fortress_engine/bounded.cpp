// The bounded war engine block: a war engine block whose contribution to the residual stream of
// a deep stack is bounded. Each call's hidden states pass through tanh, so every layer adds at
// most one unit per channel, however far its own projections drift during training.
#include "fortress_engine/fortress.h"

namespace kestrel::fortress {
namespace {

constexpr const char* kBoundedDoc =
    "War engine block v7.2.2-FU with a bounded output.\n"
    "\n"
    "Runs the full block (fortress, integrator, gate) and passes its hidden states through tanh,\n"
    "so that the update each layer adds to a residual stack stays within (-1, 1) per channel.\n"
    "Constructor, state dict and diagnostics are those of WarEngineTevZOZU_V722_FU.";

}  // namespace

void define_bounded_block_class(py::module_& m, const py::object& block) {
  py::object cls = new_class(m, "WarEngineTevZOZU_V722_FU_Bounded", block, kBoundedDoc);
  py::object base_forward = block.attr("forward_with_diagnostics");
  def_method(cls, "forward_with_diagnostics",
             [base_forward](py::object self, py::object x, py::object state, py::object return_diagnostics) {
               auto result = unpack(base_forward(self, x, py::arg("state") = state,
                                                 py::arg("return_diagnostics") = return_diagnostics),
                                    2);
               at::Tensor hidden = arg_tensor(result[0], "hidden");
               return py::make_tuple(to_py(at::tanh(hidden)), result[1]);
             },
             "Run the block and bound its hidden states with tanh; returns (y, diagnostics).",
             py::arg("x"), py::arg("state") = py::none(), py::arg("return_diagnostics") = false);
}

}  // namespace kestrel::fortress

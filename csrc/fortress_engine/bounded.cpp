// The bounded war engine block: a war engine block whose contribution to the residual stream of
// a deep stack is bounded. Each call's hidden states pass through tanh, so every layer adds at
// most one unit per channel, however far its own projections drift during training.
//
// What the block carries from call to call is bounded as well. The plain block's only feedback
// across calls is its carried state: the next call's gate reads the state change against it, so a
// state that has grown makes a larger gate and a larger state again. Behind a saturated tanh the
// loss no longer pushes back on that growth, and the carried state would climb call after call
// until the parameters turn non-finite. The state handed to the next call therefore passes through
// tanh too; within a call the recurrence runs as in the plain block.
#include "fortress_engine/fortress.h"

namespace kestrel::fortress {
namespace {

constexpr const char* kBoundedDoc =
    "War engine block v7.2.2-FU with a bounded output.\n"
    "\n"
    "Runs the full block (fortress, integrator, gate) and passes its hidden states through tanh,\n"
    "so that the update each layer adds to a residual stack stays within (-1, 1) per channel.\n"
    "The state it carries to its next call passes through tanh as well.\n"
    "Constructor, state dict and diagnostics are those of WarEngineTevZOZU_V722_FU.";

constexpr const char* kCarried = "sigma_prev";

}  // namespace

void define_bounded_block_class(py::module_& m, const py::object& block) {
  py::object cls = new_class(m, "WarEngineTevZOZU_V722_FU_Bounded", block, kBoundedDoc);
  py::object base_forward = block.attr("forward_with_diagnostics");
  def_method(cls, "forward_with_diagnostics",
             [base_forward](py::object self, py::object x, py::object state, py::object return_diagnostics) {
               py::object integrator = self.attr("integrator");
               py::object carried_in = integrator.attr(kCarried);
               auto result = unpack(base_forward(self, x, py::arg("state") = state,
                                                 py::arg("return_diagnostics") = return_diagnostics),
                                    2);
               at::Tensor hidden = arg_tensor(result[0], "hidden");
               // Only a state the call has just carried on is bounded: a call that left the
               // carried state as it was (an empty sequence) leaves it unchanged.
               py::object carried_out = integrator.attr(kCarried);
               if (!carried_out.is(carried_in)) {
                 // Rows the call kept as they started (a sequence broken by a non-finite value)
                 // are bounded already and stay as they are.
                 const at::Tensor out = arg_tensor(carried_out, kCarried).detach();
                 PyObject* given = state.is_none() ? nullptr : PyDict_GetItemString(state.ptr(), kCarried);
                 const at::Tensor start =
                     given ? arg_tensor(given, kCarried).detach()
                           : carried_start(arg_tensor(carried_in, kCarried), out.dim() > 0 ? out.size(0) : 0);
                 const at::Tensor kept = at::eq(out, start.to(out.device(), out.scalar_type())).all(-1, true);
                 set_attr(integrator, kCarried, to_py(at::where(kept, out, at::tanh(out))));
               }
               return py::make_tuple(to_py(at::tanh(hidden)), result[1]);
             },
             "Run the block and bound its hidden states and its carried state with tanh; returns\n"
             "(y, diagnostics).",
             arg("x", "torch.Tensor"), arg("state", "Optional[Dict]") = py::none(),
             arg("return_diagnostics", "bool") = false, returns("Tuple[torch.Tensor, Dict]"));
}

}  // namespace kestrel::fortress

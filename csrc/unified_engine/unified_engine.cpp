// The unified engine: the model-wide configuration record and the plain listening integrator,
// a gated linear recurrence with one learnable retention.
#include "kernels/scan.h"
#include "runtime/module_paths.h"
#include "runtime/runtime.h"

#include <cmath>

namespace kestrel {
namespace {

// sigma_prev lives in the integrator's buffer registry but is carried state, not learnt state:
// it changes shape with the batch, so it never enters the state dict. What a call carries on is
// bounded by the inputs it integrated (carried_next): the blocks' gates read the state change
// against it, and with an unsquashed gate that feedback could otherwise grow it call after call.
constexpr const char* kState = "sigma_prev";

constexpr const char* kPackagePath = "silver_kestrel.architectures.unified_engine_pkg.unified_engine";

at::Tensor retention(const py::object& self) { return at::sigmoid(parameter(self, "alpha_raw")); }

// The state a call starts from: the caller's state["sigma_prev"] when given, as it is; else the
// carried state, which a batch of another size does not continue (carried_start).
at::Tensor start_state(const py::object& self, const py::object& state, int64_t batch) {
  if (!state.is_none() && PyDict_Check(state.ptr())) {
    PyObject* given = PyDict_GetItemString(state.ptr(), kState);
    if (given) return arg_tensor(given, kState);
  }
  return carried_start(buffer(self, kState), batch);
}

// The batch size of `delta` (0 for a tensor without dimensions, which the scan refuses).
int64_t batch_of(const py::object& delta_obj) {
  const at::Tensor delta = arg_tensor(delta_obj, "delta");
  return delta.dim() > 0 ? delta.size(0) : 0;
}

py::object run(const py::object& self, const py::object& delta_obj, const py::object& gate_obj,
               const at::Tensor& start) {
  at::Tensor delta = arg_tensor(delta_obj, "delta");
  at::Tensor gate = arg_tensor(gate_obj, "gate");
  const at::Tensor s0 = converted(start, delta.device());
  at::Tensor sigma = kernels::gated_scan(delta, gate, s0, retention(self));
  if (sigma.size(1) > 0) {
    set_buffer_attr(self, kState, to_py(carried_next(sigma.select(1, sigma.size(1) - 1), s0, delta)));
  }
  return to_py(sigma);
}

}  // namespace

KESTREL_EXTENSION(unified_engine) {
  m.doc() =
      "Unified engine: the model-wide configuration record and the listening integrator.\n\n"
      "The integrator keeps one recurrent state per batch row and advances it with the gated\n"
      "linear recurrence sigma_t = a * sigma_{t-1} + (1 - a) * gate_t * delta_t, where the\n"
      "retention a = sigmoid(alpha_raw) is its only learnable parameter. The state it carries on to\n"
      "the next call is the final state, each row scaled down, where it is longer, to the length of\n"
      "the longer of its start row and the longest input row delta_t of the sequence.";

  py::object builtins = py::module_::import("builtins");
  py::object int_t = builtins.attr("int"), float_t = builtins.attr("float");
  new_record(m, "TevUnifiedConfig", "Model-wide configuration of engines, blocks and cores.",
             {
                 required_field("d_model", int_t),
                 required_field("d_state", int_t),
                 required_field("n_layers", int_t),
                 field("coupling_init", float_t, py::float_(0.5)),
                 field("surprisal_ema_decay", float_t, py::float_(0.99)),
                 field("flow_ema_decay_across_sequences", float_t, py::float_(0.0)),
                 field("infer_damping", float_t, py::float_(0.5)),
             });

  py::object cls = new_class(m, "ListeningIntegratorV2", nn_module(),
                             "Listening integrator: a gated linear recurrence over the state width.");

  // The split engine may run this module from its file under the bare name "unified_engine",
  // which no import can find again; the package path always leads back to this very module, so
  // the classes name it and pickle by reference whichever road loaded them.
  for (const char* name : {"TevUnifiedConfig", "ListeningIntegratorV2"}) {
    m.attr(name).attr("__module__") = py::str(kPackagePath);
  }

  def_method(cls, "__init__", [](py::object self, py::object config) {
        init_module_base(self);
        const int64_t d_state = arg_int(config.attr("d_state"), "d_state");
        register_parameter(self, "alpha_raw", at::full({}, std::log(9.0), at::TensorOptions().dtype(default_dtype())));
        register_buffer(self, kState, at::zeros({1, d_state}, at::TensorOptions().dtype(default_dtype())),
                        /*persistent=*/false);
      }, nullptr, arg("config", "TevUnifiedConfig"));

  def_method(cls, "forward", [](py::object self, py::object delta, py::object gate) {
        return run(self, delta, gate, carried_start(buffer(self, kState), batch_of(delta)));
      }, "Advance the state over a sequence; returns sigma [B, T, S].",
      arg("delta", "torch.Tensor"), arg("gate", "torch.Tensor"), returns("torch.Tensor"));

  def_method(cls, "forward_with_diagnostics",
      [](py::object self, py::object delta, py::object gate, py::object state, py::object compute_diagnostics) {
        truth(compute_diagnostics);
        py::object sigma = run(self, delta, gate, start_state(self, state, batch_of(delta)));
        return py::make_tuple(sigma, py::dict());
      },
      "Advance the state over a sequence from state['sigma_prev'] when given; returns (sigma, {}).",
      arg("delta", "torch.Tensor"), arg("gate", "torch.Tensor"), arg("state", "Optional[Dict]") = py::none(),
      arg("compute_diagnostics", "bool") = false, returns("Tuple[torch.Tensor, Dict]"));

  def_method(cls, "step", [](py::object self, py::object gate_delta_obj, py::object state_obj) {
        at::Tensor gate_delta = arg_tensor(gate_delta_obj, "gate_delta");
        at::Tensor state = arg_tensor(state_obj, "state");
        at::Tensor a = retention(self);
        at::Tensor next = a * state + (1 - a) * gate_delta.select(1, 0);
        set_attr(self, kState, to_py(carried_next(next, state)));
        return to_py(next);
      }, "Advance the state by one step of gate * delta [B, 1, S]; returns the new state [B, S].",
      arg("gate_delta", "torch.Tensor"), arg("state", "torch.Tensor"), returns("torch.Tensor"));

  def_method(cls, "get_state", [](py::object self) { return py::object(self.attr("_buffers")[kState]); },
             "Current recurrent state.", returns("torch.Tensor"));

  def_method(cls, "set_state", [](py::object self, py::object state) {
        arg_tensor(state, "state");
        set_attr(self, kState, state);
      }, "Replace the recurrent state.", arg("state", "torch.Tensor"));

  def_method(cls, "reset_sequence", [](py::object self, py::object decay_obj) {
        const double decay = arg_float(decay_obj, "decay_factor");
        at::Tensor state = buffer(self, kState);
        at::Tensor next = decay == 0.0 ? at::zeros({1, state.size(-1)}, state.options())
                                       : state.detach() * decay;
        set_attr(self, kState, to_py(next));
      }, "Start a new sequence, keeping decay_factor times the carried state (0.0 clears it).",
      arg("decay_factor", "float") = 0.0);
}

}  // namespace kestrel

// The v3.2 split engine: a training engine ("war") and an inference engine ("siege") as two
// separate classes, the surprisal-tracking integrator of the training side, and the one-way
// conversion from a trained engine to a deployable one.
#include "runtime/runtime.h"

#include "kernels/op_support.h"

#include <algorithm>

#include <torch/csrc/autograd/custom_function.h>
#include <torch/csrc/autograd/grad_mode.h>
#include <torch/csrc/utils/python_arg_parser.h>

namespace kestrel {
namespace {

constexpr const char* kModuleDoc =
    "Split Engine v3.2: war engine and siege engine.\n"
    "\n"
    "HARD ENFORCEMENT: Two physically separate classes for war vs siege.\n"
    "\n"
    "- WarEngineTevZOZU_V32 (war): the training architecture with surprisal-driven gates.\n"
    "  Mutable, disposable, never serialized.\n"
    "- InferenceEngineTevZOZU_V32 (siege): the deployment architecture.\n"
    "  Immutable, serializable, training-impossible.\n"
    "\n"
    "create_inference_model_v32 turns a trained war engine into a new siege engine; the way back\n"
    "does not exist.\n"
    "\n"
    "This split enforces architectural purity at the type level, not just policy.";

constexpr const char* kUnifiedModule = "architectures.unified_engine_pkg.unified_engine";

// Assertions follow the interpreter's optimisation flag as it was when the module was loaded.
bool g_assertions = true;

void check(bool condition, const char* message) {
  if (g_assertions && !condition) raise(PyExc_AssertionError, message);
}

// The training components: present on every war engine, absent from every siege engine.
struct Component {
  const char* name;
  const char* missing;       // war engine without it
  const char* contaminated;  // siege engine with it
};
constexpr Component kTrainingComponents[] = {
    {"gate_train", "War engine missing gate_train!", "Inference engine contaminated with gate_train!"},
    {"surprisal_gain", "War engine missing surprisal_gain!",
     "Inference engine contaminated with surprisal_gain!"},
    {"infer_coupling", "War engine missing infer_coupling!",
     "Inference engine contaminated with infer_coupling!"},
    {"state_variance_ema", "War engine missing state_variance_ema!",
     "Inference engine contaminated with state_variance_ema!"},
};

py::object nn() { return py::module_::import("torch.nn"); }

py::object linear(const py::object& in, const py::object& out) { return nn().attr("Linear")(in, out); }

// Linear(in, mid) -> GELU -> Linear(mid, out) -> Sigmoid.
py::object gate_mlp(const py::object& in, const py::object& mid, const py::object& out) {
  return nn().attr("Sequential")(linear(in, mid), nn().attr("GELU")(), linear(mid, out),
                                 nn().attr("Sigmoid")());
}

// gate_infer: the one gate path both engines share, layer for layer.
py::object inference_gate(const py::object& config) {
  py::object d_model = config.attr("d_model"), d_state = config.attr("d_state");
  return gate_mlp(d_model, d_state, d_state);
}

py::object scalar_tensor(const py::object& value) {
  return py::module_::import("torch").attr("tensor")(value);
}

// ---------------------------------------------------------------------------------------------
// Binding of the unified engine

// The engine is found as a module of the top-level package `architectures` (the package root on
// the search path) or, failing that import, executed from its file beside this module.
void bind_unified_engine(py::module_& m) {
  try {
    import_names(m, kUnifiedModule, {"TevUnifiedConfig", "ListeningIntegratorV2"});
    return;
  } catch (py::error_already_set& first) {
    if (!is_import_error(first)) throw;
    try {
      py::module_ sys = py::module_::import("sys"), os = py::module_::import("os");
      m.attr("sys") = sys;
      m.attr("os") = os;
      py::object path = os.attr("path");
      py::object current_dir = path.attr("dirname")(path.attr("abspath")(m.attr("__file__")));
      m.attr("current_dir") = current_dir;

      // The engine's file: its source if there is one, else the compiled module, in the package
      // directory beside this module first and then in the parent directory.
      py::module_ machinery = py::module_::import("importlib.machinery");
      py::list names;
      for (py::handle suffix : machinery.attr("SOURCE_SUFFIXES")) names.append(py::str("unified_engine") + py::str(suffix));
      for (py::handle suffix : machinery.attr("EXTENSION_SUFFIXES")) names.append(py::str("unified_engine") + py::str(suffix));
      auto candidate = [&](const py::object& dir, const py::handle& name) {
        return path.attr("join")(dir, "unified_engine_pkg", name);
      };
      py::object v31_path = py::none();
      for (const py::object& dir : {current_dir, py::object(path.attr("dirname")(current_dir))}) {
        for (py::handle name : names) {
          py::object p = candidate(dir, name);
          if (truth(path.attr("exists")(p))) {
            v31_path = p;
            break;
          }
        }
        if (!v31_path.is_none()) break;
      }
      // Neither exists: executing the source path of the parent directory reports the missing file.
      if (v31_path.is_none()) v31_path = candidate(path.attr("dirname")(current_dir), names[0]);
      m.attr("v31_path") = v31_path;

      py::module_ importlib = py::module_::import("importlib");
      py::module_::import("importlib.util");
      m.attr("importlib") = importlib;
      py::object util = importlib.attr("util");
      py::object spec = util.attr("spec_from_file_location")("unified_engine", v31_path);
      m.attr("spec") = spec;
      py::object v31_module = util.attr("module_from_spec")(spec);
      m.attr("v31_module") = v31_module;
      spec.attr("loader").attr("exec_module")(v31_module);
      m.attr("TevUnifiedConfig") = v31_module.attr("TevUnifiedConfig");
      m.attr("ListeningIntegratorV2") = v31_module.attr("ListeningIntegratorV2");
    } catch (py::error_already_set& second) {
      set_context(second, first);
      throw;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// ListeningIntegratorV32
//
// The surprisal's raw error, mean_b || delta[b, 0] - predictor(state_prev)[b] ||, is one autograd
// node for a plain predictor under a graph: in the composed form it is six (the product, its
// transpose, the selection, the difference, the norm and the mean), whose bookkeeping costs more
// than their arithmetic at small widths. The forward makes the composed form's operations and the
// backward the products autograd would make, so the error and its gradients are the same numbers;
// a graph of the backward differentiates the composed form.

at::Tensor composed_prediction_error(const at::Tensor& delta, const at::Tensor& prev, const at::Tensor& weight,
                                     const at::Tensor& bias) {
  const std::vector<int64_t> last_dim{-1};
  const at::Tensor error = delta.select(1, 0) - at::linear(prev, weight, bias);
  return at::linalg_vector_norm(error, 2, last_dim, false, c10::nullopt).mean();
}

// The rows' prediction errors delta[:, 0] - (prev @ weight^T + bias) and their norms, as the plain
// predictor's product makes them.
struct RowErrors {
  at::Tensor error, norms;
};
RowErrors row_errors(const at::Tensor& delta, const at::Tensor& prev, const at::Tensor& weight, const at::Tensor& bias) {
  const std::vector<int64_t> last_dim{-1};
  RowErrors r;
  r.error = delta.select(1, 0) - at::addmm(bias, prev, weight.t());
  r.norms = at::linalg_vector_norm(r.error, 2, last_dim, false, c10::nullopt);
  return r;
}

// The gradients of prev, weight and bias from the prediction's gradient, as autograd takes them
// through the predictor's product.
void prediction_grads(torch::autograd::AutogradContext* ctx, const torch::autograd::variable_list& saved,
                      const at::Tensor& d_prediction, torch::autograd::variable_list& out) {
  const at::Tensor &prev = saved[1], &weight = saved[2], &bias = saved[3];
  if (ctx->needs_input_grad(1)) out[1] = d_prediction.mm(weight);
  if (ctx->needs_input_grad(2)) out[2] = d_prediction.t().mm(prev);
  if (ctx->needs_input_grad(3)) out[3] = at::sum_to(d_prediction, bias.sizes());
}

// The gradients of the raw error (delta, prev, weight, bias) for its gradient `grad`, from the saved
// (delta, prev, weight, bias, error, norms), as autograd takes them through the composed form.
void prediction_error_grads(torch::autograd::AutogradContext* ctx, const torch::autograd::variable_list& saved,
                            const at::Tensor& grad, torch::autograd::variable_list& out) {
  const at::Tensor& delta = saved[0];
  const at::Tensor &error = saved[4], &norms = saved[5];
  const int64_t rows = norms.size(0);
  // The mean's share, times the norm's derivative error / norm (0 where the norm is 0), as autograd
  // takes them.
  const at::Tensor per_row = (grad.expand({rows}) / rows).unsqueeze(-1);
  const at::Tensor norm = norms.unsqueeze(-1);
  const at::Tensor d_error = per_row * (error / norm).masked_fill_(norm == 0, 0);
  if (ctx->needs_input_grad(0)) {
    at::Tensor d_delta = at::zeros(delta.sizes(), d_error.options());
    d_delta.select(1, 0).copy_(d_error);
    out[0] = d_delta;
  }
  prediction_grads(ctx, saved, -d_error, out);
}

// The rows' errors and norms as contiguous float or double host tensors of one dtype: their
// gradients can be taken by a loop over them.
bool host_rows(const at::Tensor& error, const at::Tensor& norms) {
  const at::ScalarType dtype = error.scalar_type();
  return (dtype == at::kFloat || dtype == at::kDouble) && norms.scalar_type() == dtype && error.dim() == 2 &&
         norms.dim() == 1 && norms.size(0) == error.size(0) && error.is_contiguous() && norms.is_contiguous() &&
         readable_in_place(error) && readable_in_place(norms);
}

// prediction_error_grads for a raw error's gradient `grad` given as a number of the rows' dtype,
// with host rows: the mean's share, the norm's derivative, the negation and the delta's first step
// in one pass, each element the number the tensor operations give.
template <typename scalar_t>
void host_prediction_error_grads(torch::autograd::AutogradContext* ctx, const torch::autograd::variable_list& saved,
                                 scalar_t grad, torch::autograd::variable_list& out) {
  const at::Tensor &delta = saved[0], &error = saved[4], &norms = saved[5];
  const int64_t rows = error.size(0), S = error.size(1);
  const scalar_t share = grad / static_cast<scalar_t>(rows);
  at::Tensor d_prediction = at::empty({rows, S}, error.options());
  const scalar_t* e = error.data_ptr<scalar_t>();
  const scalar_t* n = norms.data_ptr<scalar_t>();
  scalar_t* dp = d_prediction.data_ptr<scalar_t>();
  for (int64_t r = 0; r < rows; ++r) {
    const scalar_t norm = n[r];
    for (int64_t c = 0; c < S; ++c) {
      const scalar_t unit = norm == scalar_t(0) ? scalar_t(0) : e[r * S + c] / norm;
      dp[r * S + c] = -(share * unit);
    }
  }
  if (ctx->needs_input_grad(0)) {
    const int64_t T = delta.size(1);
    at::Tensor d_delta = at::empty({rows, T, S}, error.options());
    scalar_t* dd = d_delta.data_ptr<scalar_t>();
    for (int64_t r = 0; r < rows; ++r) {
      scalar_t* row = dd + r * T * S;
      for (int64_t c = 0; c < S; ++c) row[c] = -dp[r * S + c];
      for (int64_t i = S; i < T * S; ++i) row[i] = scalar_t(0);
    }
    out[0] = d_delta;
  }
  prediction_grads(ctx, saved, d_prediction, out);
}

class PredictionError : public torch::autograd::Function<PredictionError> {
 public:
  // delta [B, T, S] (T > 0), prev [B, S], the predictor's weight [S, S] and bias [S].
  static at::Tensor forward(torch::autograd::AutogradContext* ctx, const at::Tensor& delta, const at::Tensor& prev,
                            const at::Tensor& weight, const at::Tensor& bias) {
    const RowErrors r = row_errors(delta, prev, weight, bias);
    ctx->save_for_backward({delta, prev, weight, bias, r.error, r.norms});
    return r.norms.mean();
  }

  static torch::autograd::variable_list backward(torch::autograd::AutogradContext* ctx,
                                                 torch::autograd::variable_list grads) {
    torch::autograd::variable_list out(4);
    const at::Tensor& grad = grads[0];
    if (!grad.defined()) return out;
    const auto saved = ctx->get_saved_variables();
    const at::Tensor &delta = saved[0], &prev = saved[1], &weight = saved[2], &bias = saved[3];
    if (at::GradMode::is_enabled()) {
      const auto vjp = kernels::reference_vjp(
          [](const std::vector<at::Tensor>& in) { return composed_prediction_error(in[0], in[1], in[2], in[3]); },
          {delta, prev, weight, bias}, grad);
      for (size_t i = 0; i < 4; ++i) out[i] = vjp[i];
      return out;
    }
    if (host_rows(saved[4], saved[5]) && is_host_scalar(grad, saved[4].scalar_type())) {
      AT_DISPATCH_FLOATING_TYPES(grad.scalar_type(), "prediction_error_backward", [&] {
        host_prediction_error_grads<scalar_t>(ctx, saved, *grad.data_ptr<scalar_t>(), out);
      });
      return out;
    }
    prediction_error_grads(ctx, saved, grad, out);
    return out;
  }
};

// raw / denom and its clamp to [0, 5] for a host-scalar raw of type V, on its number as the tensor
// operations take them: the divisor rounded to V, one division in V, and the clamp, through which
// nan passes.
template <typename V>
void host_score(const at::Tensor& raw, double denom, at::Tensor& quotient, at::Tensor& score) {
  const V q = *static_cast<const V*>(raw.data_ptr()) / static_cast<V>(denom);
  quotient = at::empty({}, raw.options());
  score = at::empty({}, raw.options());
  *quotient.data_ptr<V>() = q;
  *score.data_ptr<V>() = std::min(std::max(q, V(0)), V(5));
}

// The score clamp(raw / denom, 0, 5) from the raw error's pieces as one node, where the composed
// form adds a division and a clamp to the raw error's node. The raw error, its rows' errors and
// norms come computed without a graph (the running average steps from the raw error before the
// score is taken); denom is the floored average, a number. The score and its gradients are the
// numbers the three nodes give: the clamp passes the gradient where 0 <= raw / denom <= 5 and the
// division divides it by denom, each in the score's dtype.
class SurprisalScore : public torch::autograd::Function<SurprisalScore> {
 public:
  static at::Tensor forward(torch::autograd::AutogradContext* ctx, const at::Tensor& delta, const at::Tensor& prev,
                            const at::Tensor& weight, const at::Tensor& bias, const at::Tensor& error,
                            const at::Tensor& norms, const at::Tensor& raw, double denom) {
    at::Tensor quotient, score;
    if (is_host_scalar(raw, at::kFloat)) {
      host_score<float>(raw, denom, quotient, score);
    } else if (is_host_scalar(raw, at::kDouble)) {
      host_score<double>(raw, denom, quotient, score);
    } else {
      quotient = raw / denom;
      score = at::clamp(quotient, 0.0, 5.0);
    }
    ctx->save_for_backward({delta, prev, weight, bias, error, norms, quotient});
    ctx->saved_data["denom"] = denom;
    return score;
  }

  static torch::autograd::variable_list backward(torch::autograd::AutogradContext* ctx,
                                                 torch::autograd::variable_list grads) {
    torch::autograd::variable_list out(8);
    const at::Tensor& grad = grads[0];
    if (!grad.defined()) return out;
    const auto saved = ctx->get_saved_variables();
    const double denom = ctx->saved_data["denom"].toDouble();
    if (at::GradMode::is_enabled()) {
      const auto vjp = kernels::reference_vjp(
          [denom](const std::vector<at::Tensor>& in) {
            return at::clamp(composed_prediction_error(in[0], in[1], in[2], in[3]) / denom, 0.0, 5.0);
          },
          {saved[0], saved[1], saved[2], saved[3]}, grad);
      for (size_t i = 0; i < 4; ++i) out[i] = vjp[i];
      return out;
    }
    const at::Tensor& quotient = saved[6];
    if (host_rows(saved[4], saved[5]) && is_host_scalar(quotient, saved[4].scalar_type()) &&
        is_host_scalar(grad, saved[4].scalar_type())) {
      // The clamp's pass and the division by the average on the numbers themselves.
      AT_DISPATCH_FLOATING_TYPES(quotient.scalar_type(), "surprisal_score_backward", [&] {
        const scalar_t q = *quotient.data_ptr<scalar_t>();
        const scalar_t passed = q >= scalar_t(0) && q <= scalar_t(5) ? *grad.data_ptr<scalar_t>() : scalar_t(0);
        host_prediction_error_grads<scalar_t>(ctx, saved, passed / static_cast<scalar_t>(denom), out);
      });
      return out;
    }
    const at::Tensor zero = at::scalar_tensor(0.0, grad.options());
    const at::Tensor raw_grad = at::where(at::logical_and(quotient >= 0.0, quotient <= 5.0), grad, zero) / denom;
    prediction_error_grads(ctx, saved, raw_grad, out);
    return out;
  }
};

// Whether the raw error can be one node: a plain predictor with a bias under a graph, every piece of
// one kind, something taking a gradient; its weight and bias then in `w` and `b`.
bool fusable_predictor(const py::object& predictor, const py::object& delta_obj, const at::Tensor& delta,
                       const py::object& prev_obj, at::Tensor& w, at::Tensor& b) {
  if (!at::GradMode::is_enabled() || torch::check_has_torch_function(delta_obj.ptr())) return false;
  const PlainLinear layer = plain_linear(predictor, prev_obj);
  if (!layer.plain || !layer.bias.defined()) return false;
  const at::Tensor prev = from_py(prev_obj);
  w = layer.weight;
  b = layer.bias;
  auto fits = [&](const at::Tensor& t) {
    return t.scalar_type() == delta.scalar_type() && t.device() == delta.device() && t.layout() == at::kStrided;
  };
  const int64_t S = delta.size(2);
  if (!at::isFloatingType(delta.scalar_type()) || !fits(delta) || !fits(prev) || !fits(w) || !fits(b) ||
      delta.size(1) == 0 || prev.dim() != 2 || prev.size(0) != delta.size(0) || prev.size(1) != S || w.dim() != 2 ||
      w.size(0) != S || w.size(1) != S || b.dim() != 1 || b.size(0) != S) {
    return false;
  }
  return delta.requires_grad() || prev.requires_grad() || w.requires_grad() || b.requires_grad();
}

// The floored running average as a number, for a host-scalar average: the same quotient and
// gradient as clamp_min(1e-8) gives by the tensor.
double floored_average(const at::Tensor& ema) {
  const double average = scalar_to_double(ema);
  const double floor = ema.scalar_type() == at::kFloat ? static_cast<double>(1e-8f) : 1e-8;
  return std::isnan(average) ? average : std::max(average, floor);
}


void define_integrator(py::module_& m) {
  py::object cls = new_class(
      m, "ListeningIntegratorV32", m.attr("ListeningIntegratorV2"),
      "ListeningIntegratorV32 \u2014 adds surprisal tracking on top of v3.1 integrator.\n\n"
      "WAR ENGINE ONLY. Inference engine uses ListeningIntegratorV2 (no surprisal).");

  def_method(cls, "__init__", [cls](py::object self, py::object config) {
        py::module_::import("builtins").attr("super")(cls, self).attr("__init__")(config);
        register_buffer(self, "surprisal_ema", at::ones({}, at::TensorOptions().dtype(default_dtype())));
        set_attr(self, "surprisal_decay", config.attr("surprisal_ema_decay"));
        py::object d_state = config.attr("d_state");
        set_attr(self, "predictor", linear(d_state, d_state));
        py::object predictor = module_attr(self, "predictor");
        torch::NoGradGuard no_grad;
        py::object init = nn().attr("init");
        init.attr("eye_")(predictor.attr("weight"));
        py::object bias = predictor.attr("bias");
        if (!bias.is_none()) init.attr("zeros_")(bias);
      }, nullptr, arg("config", "TevUnifiedConfig"));

  def_method(cls, "compute_surprisal", [](py::object self, py::object delta_obj, py::object state_prev) {
        at::Tensor delta = arg_tensor(delta_obj, "delta");
        unpack_shape(delta, 3);
        py::object predictor = module_attr(self, "predictor");
        at::Tensor w, b, prev;
        at::Tensor raw;
        RowErrors errors;
        const bool fused = fusable_predictor(predictor, delta_obj, delta, state_prev, w, b);
        if (fused) {
          // Taken without a graph first: with host-scalar averages the score is one node over them.
          prev = from_py(state_prev);
          at::NoGradGuard no_grad;
          errors = row_errors(delta, prev, w, b);
          raw = errors.norms.mean();
        } else {
          at::Tensor pred_next = from_py(call_linear(predictor, state_prev));
          at::Tensor actual_next = delta.select(1, 0);
          const std::vector<int64_t> last_dim{-1};
          raw = at::linalg_vector_norm(actual_next - pred_next, 2, last_dim, false, c10::nullopt).mean();
        }
        const double decay = arg_float(self.attr("surprisal_decay"), "surprisal_decay");
        at::Tensor ema = buffer(self, "surprisal_ema");
        if (fused && is_host_scalar(ema, raw.scalar_type()) && is_host_scalar(raw, raw.scalar_type())) {
          // A non-finite error (a diverged chunk) leaves the running average as it was.
          blend_if_finite(ema, decay, raw, 1.0 - decay);
          return to_py(SurprisalScore::apply(delta, prev, w, b, errors.error, errors.norms, raw, floored_average(ema)));
        }
        if (fused) raw = PredictionError::apply(delta, prev, w, b);
        // A non-finite error (a diverged chunk) leaves the running average as it was.
        blend_if_finite(ema, decay, raw, 1.0 - decay);
        if (is_host_scalar(ema, raw.scalar_type()) && is_host_scalar(raw.detach(), raw.scalar_type())) {
          return to_py(at::clamp(raw / floored_average(ema), 0.0, 5.0));
        }
        at::Tensor denom = ema.clamp_min(1e-8);
        return to_py(at::clamp(raw / denom, 0.0, 5.0));
      }, nullptr, arg("delta", "torch.Tensor"), arg("state_prev", "torch.Tensor"), returns("torch.Tensor"));
}

// ---------------------------------------------------------------------------------------------
// WarEngineTevZOZU_V32

// The previous state the engine works from, broadcast over the batch when it has one row. The
// integrator's carried state is not continued by a batch of another size (carried_start).
at::Tensor previous_state(const py::object& self, const py::object& state, int64_t batch) {
  at::Tensor prev;
  PyObject* given = state.is_none() ? nullptr : PyDict_GetItemString(state.ptr(), "sigma_prev");
  if (given) {
    prev = arg_tensor(given, "sigma_prev");
  } else {
    prev = carried_start(from_py(self.attr("integrator").attr("sigma_prev")), batch);
  }
  if (prev.size(0) == 1 && batch > 1) prev = prev.expand({batch, -1});
  return prev;
}

// reset_sequence, get_state and set_state: both engines hand them to their integrator.
void define_sequence_state_calls(const py::object& cls) {
  def_method(cls, "reset_sequence", [](py::object self) {
        self.attr("integrator").attr("reset_sequence")(self.attr("flow_ema_decay_across_sequences"));
      }, "Reset sequence state.");

  def_exported_method(cls, "get_state", [](py::object self) { return self.attr("integrator").attr("get_state")(); },
                      "Get current state for KV cache.", returns("torch.Tensor"));

  def_exported_method(cls, "set_state", [](py::object self, py::object state) {
        self.attr("integrator").attr("set_state")(state);
      }, "Set current state for KV cache.", arg("state", "torch.Tensor"));
}

struct WarStep {
  at::Tensor delta, prev, surprisal, gate;
};

// The road shared by both forward passes, up to the gate. What can refuse the call (the input,
// the previous state, the settings the surprisal and the gate read, an empty chunk) is settled
// before the first write.
WarStep war_prologue(const py::object& self, const at::Tensor& x, const py::object& x_obj,
                     const py::object& state) {
  auto sizes = unpack_shape(x, 3);
  const int64_t B = sizes[0], T = sizes[1];
  WarStep s;
  s.delta = from_py(self.attr("input_proj")(x_obj));
  s.prev = previous_state(self, state, B);
  at::Tensor state_delta = s.delta - s.prev.unsqueeze(1).expand({B, T, -1});
  py::object integrator = self.attr("integrator");
  arg_float(integrator.attr("surprisal_decay"), "surprisal_decay");
  arg_int(self.attr("config").attr("d_state"), "d_state");
  check_has_first_step(s.delta.sizes());
  {
    torch::NoGradGuard no_grad;
    blend_if_finite(buffer(self, "state_variance_ema"), 0.9, mean_row_variance(state_delta), 0.1);
  }
  py::object surprisal = integrator.attr("compute_surprisal")(to_py(s.delta), to_py(s.prev));
  s.surprisal = from_py(surprisal);
  s.gate = from_py(self.attr("compute_gate")(x_obj, to_py(state_delta), surprisal));
  return s;
}

void define_war_engine(py::module_& m) {
  py::object cls = new_class(m, "WarEngineTevZOZU_V32", nn_module(),
                             "War Engine \u2014 Training architecture with surprisal-driven gates.\n\n"
                             "Mutable, disposable, never serialized. Dies at metamorphosis.");
  py::object module = m;

  def_method(cls, "__init__", [module](py::object self, py::object config) {
        init_module_base(self);
        set_attr(self, "config", config);
        set_attr(self, "flow_ema_decay_across_sequences", config.attr("flow_ema_decay_across_sequences"));
        py::object d_model = config.attr("d_model"), d_state = config.attr("d_state");
        set_attr(self, "integrator", module.attr("ListeningIntegratorV32")(config));
        set_attr(self, "input_proj", linear(d_model, d_state));
        set_attr(self, "output_proj", linear(d_state, d_model));
        register_buffer(self, "state_variance_ema", at::ones({}, at::TensorOptions().dtype(default_dtype())));
        set_attr(self, "gate_variance_proj", linear(d_state, d_state));
        set_attr(self, "gate_train", gate_mlp(d_model + d_state + py::int_(1), d_state * py::int_(2), d_state));
        set_attr(self, "surprisal_gain", nn().attr("Parameter")(scalar_tensor(py::float_(2.0))));
        set_attr(self, "gate_infer", inference_gate(config));
        set_attr(self, "infer_coupling", nn().attr("Parameter")(scalar_tensor(config.attr("coupling_init"))));
        self.attr("_validate_war_mode")();
      }, nullptr, arg("config", "TevUnifiedConfig"));

  def_method(cls, "_validate_war_mode", [](py::object self) {
        if (!g_assertions) return;
        for (const Component& c : kTrainingComponents) check(has_attr(self, c.name), c.missing);
      }, "Hard assert: war engine must have all training components.");

  def_method(cls, "compute_gate", [](py::object self, py::object x_obj, py::object state_delta, py::object surprisal_obj) {
        at::Tensor x = arg_tensor(x_obj, "x");
        auto sizes = unpack_shape(x, 3);
        const int64_t B = sizes[0], T = sizes[1];
        at::Tensor surprisal = arg_tensor(surprisal_obj, "surprisal_score").view({1, 1, 1}).to(x.device());
        at::Tensor signal = surprisal.expand({B, 1, 1}) * parameter(self, "surprisal_gain");
        at::Tensor gate_input = at::cat({x, arg_tensor(state_delta, "state_delta"), signal.expand({B, T, 1})}, -1);
        at::Tensor train_path = from_py(self.attr("gate_train")(to_py(gate_input)));
        at::Tensor infer_path = from_py(self.attr("gate_infer")(x_obj));
        const int64_t d_state = arg_int(self.attr("config").attr("d_state"), "d_state");
        at::Tensor surprisal_gate = signal.expand({B, T, d_state});
        return to_py(train_path * surprisal_gate + parameter(self, "infer_coupling") * infer_path);
      }, "Compute gate using surprisal-driven training path.",
      arg("x", "torch.Tensor"), arg("state_delta", "torch.Tensor"), arg("surprisal_score", "torch.Tensor"),
      returns("torch.Tensor"));

  def_method(cls, "forward", [](py::object self, py::object x_obj) {
        at::Tensor x = arg_tensor(x_obj, "x");
        WarStep s = war_prologue(self, x, x_obj, py::none());
        py::object sigma = self.attr("integrator")(to_py(s.delta), to_py(s.gate));
        return self.attr("output_proj")(sigma);
      }, nullptr, arg("x", "torch.Tensor"), returns("torch.Tensor"));

  def_method(cls, "forward_with_diagnostics",
      [](py::object self, py::object x_obj, py::object state, py::object return_diagnostics) {
        arg_dict_or_none(state, "state");
        const bool diagnose = truth(return_diagnostics);
        at::Tensor x = arg_tensor(x_obj, "x");
        WarStep s = war_prologue(self, x, x_obj, state);
        py::object result = self.attr("integrator").attr("forward_with_diagnostics")(
            to_py(s.delta), to_py(s.gate), state, py::arg("compute_diagnostics") = diagnose);
        auto pair = unpack(result, 2);
        py::object y = self.attr("output_proj")(pair[0]);
        py::dict diagnostics;
        if (!diagnose) return py::make_tuple(y, diagnostics);
        for (auto item : pair[1].attr("items")()) {
          auto kv = unpack(item, 2);
          diagnostics[kv[0]] = kv[1];
        }
        at::Tensor gate_infer_mean;
        {
          torch::NoGradGuard no_grad;
          gate_infer_mean = from_py(self.attr("gate_infer")(x_obj)).mean();
        }
        // One host read for the five engine values.
        HostScalars host;
        const size_t slots[] = {host.add_real(s.surprisal.detach().reshape({})), host.add_real(buffer(self, "state_variance_ema")),
                                host.add_real(gate_infer_mean), host.add_real(parameter(self, "infer_coupling")),
                                host.add_real(parameter(self, "surprisal_gain"))};
        host.fetch();
        const char* keys[] = {"surprisal_score", "state_variance_ema", "gate_infer_mean", "coupling", "surprisal_gain"};
        for (int i = 0; i < 5; ++i) diagnostics[keys[i]] = py::float_(host.real(slots[i]));
        return py::make_tuple(y, diagnostics);
      },
      "Forward pass with diagnostics (for training/debugging).",
      arg("x", "torch.Tensor"), arg("state", "Optional[Dict]") = py::none(),
      arg("return_diagnostics", "bool") = false, returns("Tuple[torch.Tensor, Dict]"));

  define_sequence_state_calls(cls);
}

// ---------------------------------------------------------------------------------------------
// InferenceEngineTevZOZU_V32

constexpr const char* kSiegeDoc = "Immutable, serializable, training-impossible. NO training components.";

// gate_infer(x) scaled by the configured damping (a number or a broadcasting tensor).
py::object damped_gate(const py::object& self, const py::object& x) {
  return self.attr("gate_infer")(x) * self.attr("infer_damping");
}

void define_inference_engine(py::module_& m) {
  py::object cls = new_class(m, "InferenceEngineTevZOZU_V32", nn_module(), kSiegeDoc);
  py::object module = m;

  def_method(cls, "__init__", [module](py::object self, py::object config) {
        init_module_base(self);
        set_attr(self, "infer_damping", config.attr("infer_damping"));
        set_attr(self, "flow_ema_decay_across_sequences", config.attr("flow_ema_decay_across_sequences"));
        py::object d_model = config.attr("d_model"), d_state = config.attr("d_state");
        set_attr(self, "integrator", module.attr("ListeningIntegratorV2")(config));
        set_attr(self, "input_proj", linear(d_model, d_state));
        set_attr(self, "output_proj", linear(d_state, d_model));
        set_attr(self, "gate_infer", inference_gate(config));
        self.attr("_validate_inference_mode")();
      }, kSiegeDoc, arg("config", "TevUnifiedConfig"));

  def_method(cls, "_validate_inference_mode", [](py::object self) {
        if (!g_assertions) return;
        for (const Component& c : kTrainingComponents) check(!has_attr(self, c.name), c.contaminated);
      }, "Hard assert: inference engine must NOT have training components.");

  def_method(cls, "forward", [](py::object self, py::object x) {
        unpack_shape(arg_tensor(x, "x"), 3);
        py::object delta = self.attr("input_proj")(x);
        py::object sigma = self.attr("integrator")(delta, damped_gate(self, x));
        return self.attr("output_proj")(sigma);
      }, "Whole-sequence pass: [B, T, d_model] -> [B, T, d_model].", arg("x", "torch.Tensor"),
      returns("torch.Tensor"));

  define_sequence_state_calls(cls);

  def_method(cls, "step", [](py::object self, py::object token, py::object state) {
        py::object integrator = self.attr("integrator");
        at::Tensor delta = from_py(self.attr("input_proj")(token)).squeeze(1);
        at::Tensor gate = from_py(damped_gate(self, token)).squeeze(1);
        // The carried state, unless one is given; a batch of another size starts afresh.
        if (state.is_none()) {
          state = integrator.attr("get_state")();
          if (is_tensor(state) && delta.dim() == 2) state = to_py(carried_start(from_py(state), delta.size(0)));
        }
        return integrator.attr("step")(to_py((gate * delta).unsqueeze(1)), state);
      }, "Single-token step for incremental processing: token [B, 1, d_model] -> new state [B, d_state].",
      arg("token", "torch.Tensor"), arg("state", "Optional[torch.Tensor]") = py::none(), returns("torch.Tensor"));
}

// ---------------------------------------------------------------------------------------------
// Conversion

void define_conversion(py::module_& m) {
  py::object module = m;
  def_function(m, "create_inference_model_v32", [module](py::object training_model) {
        check(py::isinstance(training_model, module.attr("WarEngineTevZOZU_V32")), "Must be war engine!");
        py::object config = training_model.attr("config");
        py::object engine = module.attr("InferenceEngineTevZOZU_V32")(config);
        auto copy_strict = [&](const char* name) {
          engine.attr(name).attr("load_state_dict")(training_model.attr(name).attr("state_dict")());
        };
        copy_strict("input_proj");
        copy_strict("output_proj");
        // The plain integrator has neither the predictor nor the surprisal average.
        py::dict kept;
        py::object integrator_state = training_model.attr("integrator").attr("state_dict")();
        for (auto item : integrator_state.attr("items")()) {
          auto kv = unpack(item, 2);
          py::object key = kv[0];
          if (truth(key.attr("startswith")("predictor")) || truth(key.attr("startswith")("surprisal_ema"))) continue;
          kept[key] = kv[1];
        }
        engine.attr("integrator").attr("load_state_dict")(kept, py::arg("strict") = false);
        copy_strict("gate_infer");
        for (const char* name : {"_provenance", "_mamba_layer"}) {
          if (has_attr(training_model, name)) {
            engine.attr("register_buffer")(name, training_model.attr(name).attr("clone")());
          }
        }
        engine.attr("integrator").attr("reset_sequence")(py::arg("decay_factor") = 0.0);
        return engine;
      },
      "Metamorphosis: war engine dies, siege engine is born.\n\n"
      "Builds a new, independent InferenceEngineTevZOZU_V32 and copies only siege-ready weights\n"
      "(input_proj, output_proj, gate_infer and the plain integrator's state) from the trained\n"
      "WarEngineTevZOZU_V32, which is left unchanged.",
      arg("training_model", "WarEngineTevZOZU_V32"), returns("InferenceEngineTevZOZU_V32"));
}

}  // namespace

KESTREL_EXTENSION(split_engine) {
  m.doc() = kModuleDoc;
  g_assertions = debug_flag();

  m.attr("dataclass") = py::module_::import("dataclasses").attr("dataclass");
  for (const char* name : {"Dict", "Optional", "Tuple"}) m.attr(name) = typing_attr(name);
  m.attr("math") = py::module_::import("math");
  m.attr("torch") = py::module_::import("torch");
  m.attr("nn") = py::module_::import("torch.nn");
  m.attr("F") = py::module_::import("torch.nn.functional");

  bind_unified_engine(m);

  define_integrator(m);
  define_war_engine(m);
  define_inference_engine(m);
  define_conversion(m);
  m.attr("TevZOZU_V32") = m.attr("WarEngineTevZOZU_V32");
}

}  // namespace kestrel

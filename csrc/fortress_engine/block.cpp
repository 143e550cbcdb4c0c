// WarEngineTevZOZU_V722_FU: the layer block. A gated state-space recurrence (the surprisal-tracking
// integrator) between an input and an output projection, with its own fortress memory. Each
// forward call feeds the fortress once: surprisal statistics, global pressure, calm-gated
// covariance, the promotion decision, the post-union window, the gradient-projection hook on the
// new state and lifecycle management.
//
// Fortress operations are called through the fortress object's attributes at call time, so
// overrides and instance patches take part. Without diagnostics the block itself reads the device
// only for the truth of the calm flag, and only on stable calls.
#include "fortress_engine/fortress.h"
#include "kernels/op_support.h"

#include <cstring>

#include <torch/csrc/autograd/custom_function.h>
#include <torch/csrc/utils/python_arg_parser.h>

namespace kestrel::fortress {
namespace {

constexpr const char* kBlockDoc =
    "War engine block v7.2.2-FU: a gated state-space recurrence guarded by a fortress memory.\n"
    "\n"
    "The input is projected to the state width and integrated by a surprisal-tracking\n"
    "integrator whose gate mixes a training path (input, state change and surprisal, scaled\n"
    "into the band [g_min, g_max] by the fortress's global pressure) with a fixed-weight\n"
    "inference path. Every call feeds the fortress: surprisal statistics, global pressure,\n"
    "calm-gated covariance, promotion, post-union loss watch, gradient projection through the\n"
    "new state, and periodic demotion. The entry point is forward_with_diagnostics.";

constexpr const char* kSetTrainableDoc =
    "Enable/disable parameter training for this head.\n"
    "\n"
    "Disabled parameters no longer require gradients, so optimisers leave them unchanged.";

py::object nn() { return py::module_::import("torch.nn"); }
py::object torch_module() { return py::module_::import("torch"); }

py::object linear(const py::object& in, const py::object& out) {
  return nn().attr("Linear")(in, out, py::arg("bias") = false);
}

// The truth value of a tensor's single element, as Python's bool(t.item()) (NaN counts as true).
bool scalar_truth(const at::Tensor& t) {
  // Read where it lies.
  if (is_host_scalar(t, at::kFloat) || is_host_scalar(t, at::kDouble)) return scalar_to_double(t) != 0.0;
  if (is_host_scalar(t, at::kLong)) return scalar_to_int(t) != 0;
  const at::Scalar v = t.item();
  if (v.isBoolean()) return v.toBool();
  if (v.isFloatingPoint()) return v.toDouble() != 0.0;
  if (v.isComplex()) return v.toComplexDouble() != c10::complex<double>(0.0, 0.0);
  return v.toLong() != 0;
}

// state[key] when `state` is a dict holding `key` and the value is a tensor; else null.
PyObject* state_tensor(const py::object& state, const char* key) {
  if (state.is_none()) return nullptr;
  PyObject* value = PyDict_GetItemString(state.ptr(), key);
  return value && THPVariable_Check(value) ? value : nullptr;
}

// ---------------------------------------------------------------------------------------------
// Projection hooks
//
// A block called more than once before a backward pass (a block shared by two paths, gradient
// accumulation over several chunks) has a hook on each call's state tensor, and every one of them
// must run when backward reaches its tensor. The block keeps the handles of the hooks that are
// still registered on a living state tensor, the newest also as `_sigma_hook_handle`; a state
// tensor dies with its graph once backward has run or the graph has been dropped, and its handle
// is let go at the next installation. At most kMaxPendingHooks stay: beyond that the oldest, left
// by graphs kept for that many calls, are removed. With no engram left every hook is removed.

constexpr const char* kHookHandle = "_sigma_hook_handle";
constexpr const char* kPendingHooks = "_sigma_hook_pending";
constexpr size_t kMaxPendingHooks = 64;

// Removes one hook; an ordinary error of the removal is dropped.
void remove_handle(const py::handle& handle) {
  if (handle.is_none()) return;
  try {
    handle.attr(interned("remove"))();
  } catch (py::error_already_set& e) {
    if (!is_ordinary_error(e)) throw;
  }
}

// True while the hook of `handle` is registered on a tensor that is still alive: the handle's
// weak reference to the tensor's hook table resolves and the table holds the hook.
bool hook_pending(const py::handle& handle) {
  py::object table_ref = getattr_or_none(handle, "hooks_dict_ref");
  if (table_ref.is_none() || !PyCallable_Check(table_ref.ptr())) return false;
  py::object table = table_ref();
  if (table.is_none()) return false;
  const int found = PySequence_Contains(table.ptr(), py::getattr(handle, "id").ptr());
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

// The block's list of pending handles, made on first use.
py::list pending_hooks(const py::object& self) {
  py::object pending = module_attr_or_none(self, kPendingHooks);
  if (!PyList_Check(pending.ptr())) {
    pending = py::list();
    set_attr(self, kPendingHooks, pending);
  }
  return py::reinterpret_borrow<py::list>(pending);
}

// `_sigma_hook_handle` is let go; the hook is removed unless `pending` holds its handle.
void release_latest(const py::object& self, const py::list& pending) {
  py::object latest = self.attr(interned(kHookHandle));
  bool tracked = false;
  for (py::handle handle : pending) tracked = tracked || handle.is(latest);
  if (!tracked) remove_handle(latest);
  set_attr(self, kHookHandle, py::none());
}

// Before a new hook goes in: the handles of dead tensors are let go and the oldest beyond the
// bound removed.
void prune_hooks(const py::object& self) {
  py::list pending = pending_hooks(self);
  py::list live;
  for (py::handle handle : pending) {
    if (hook_pending(handle)) live.append(handle);
  }
  while (py::len(live) + 1 > kMaxPendingHooks) remove_handle(live.attr(interned("pop"))(0));
  release_latest(self, live);
  pending[py::slice(0, static_cast<py::ssize_t>(py::len(pending)), 1)] = live;
}

void install_hook(const py::object& self, const py::object& sigma, const py::object& hook_fn) {
  py::object handle = sigma.attr(interned("register_hook"))(hook_fn);
  pending_hooks(self).append(handle);
  set_attr(self, kHookHandle, handle);
}

// Whether the block holds a handle at all.
bool holds_hooks(const py::object& self) {
  if (!self.attr(interned(kHookHandle)).is_none()) return true;
  py::object pending = module_attr_or_none(self, kPendingHooks);
  return PyList_Check(pending.ptr()) && PyList_GET_SIZE(pending.ptr()) > 0;
}

// Removes every hook the block installed.
void remove_hooks(const py::object& self) {
  py::list pending = pending_hooks(self);
  release_latest(self, pending);
  while (py::len(pending) > 0) remove_handle(pending.attr(interned("pop"))(0));
}

// The mean conflict of the engrams, from the numbers held in their records (0.0 with none).
double average_conflict(const py::object& engram_stack) {
  const size_t n = py::len(engram_stack);
  if (n == 0) return 0.0;
  double sum = 0.0;
  for (py::handle entry : engram_stack) {
    py::object meta = unpack(entry, 4)[3];
    sum += arg_float(meta.attr(interned("conflict_ema")), "conflict_ema");
  }
  return sum / static_cast<double>(n);
}

// ---------------------------------------------------------------------------------------------
// Construction and trainability

void construct(const py::object& module, py::object self, py::object config, py::object fortress_config) {
  init_module_base(self);
  set_attr(self, "config", config);
  set_attr(self, "fortress_config", fortress_config);

  set_attr(self, "input_proj", linear(config.attr("d_model"), config.attr("d_state")));
  set_attr(self, "output_proj", linear(config.attr("d_state"), config.attr("d_model")));
  set_attr(self, "integrator", module.attr("ListeningIntegratorV32")(config));
  set_attr(self, "gate_train", linear(py::object(config.attr("d_state")) * py::int_(2) + py::int_(1), config.attr("d_state")));
  set_attr(self, "gate_infer", linear(config.attr("d_state"), config.attr("d_state")));

  py::object tensor = torch_module().attr("tensor");
  self.attr("register_buffer")("state_variance_ema", tensor(0.1));
  self.attr("register_buffer")("infer_coupling", tensor(config.attr("coupling_init")));
  register_parameter(self, "surprisal_gain", at::scalar_tensor(1.0, at::TensorOptions().dtype(default_dtype())));

  set_attr(self, "fortress", module.attr("FortressUnbrokenMemory")(config.attr("d_state"), fortress_config));
  set_attr(self, "_g_min", fortress_config.attr("g_min"));
  set_attr(self, "_g_max", fortress_config.attr("g_max"));
  set_attr(self, "_sigma_hook_handle", py::none());
}

void set_trainable(py::object self, py::object trainable) {
  const bool flag = truth(trainable);
  for (py::handle p : self.attr("parameters")()) p.attr("requires_grad_")(flag);
  self.attr("train")(flag);
}

// ---------------------------------------------------------------------------------------------
// Gate

// gate = train_path * band(P) * s + infer_coupling * gate_infer(x), with s the surprisal signal
// (surprisal * surprisal_gain) broadcast over batch, time and state. Nothing is squashed.
//
// The composed form records about fifteen autograd nodes (the signal, its broadcasts, the
// concatenation, two linear layers, the band, the products and the sum) whose bookkeeping costs
// more than their arithmetic at small widths. With plain gate layers the gate is one node: the
// forward makes the very operations of the composed form, the backward the products and sums
// autograd would make, so the gate and its gradients are the same numbers. A graph of the backward
// (second order) differentiates the composed form.

constexpr int64_t kUnitShape[] = {1, 1, 1};

// The composed gate from (x, state_delta, surprisal, gain, w_train, w_infer, factor, coupling), with
// the intermediates the fused backward reads: the fused forward runs it without a graph, a graph of
// the backward differentiates it.
struct GateParts {
  at::Tensor signal, gate_input, train_path, out;  // signal [B, 1, 1]: surprisal * gain
};
// The signal and the gate layer's input [x, state_delta, signal], as both forms make them.
GateParts gate_inputs(const std::vector<at::Tensor>& in) {
  const int64_t B = in[0].size(0), T = in[0].size(1);
  GateParts parts;
  parts.signal = in[2].view({1, 1, 1}).expand({B, 1, 1}) * in[3];
  parts.gate_input = at::cat({in[0], in[1], parts.signal.expand({B, T, 1})}, -1);
  return parts;
}
GateParts gate_composition(const std::vector<at::Tensor>& in, bool banded) {
  GateParts parts = gate_inputs(in);
  parts.train_path = at::linear(parts.gate_input, in[4]);
  if (banded) parts.train_path = parts.train_path * in[6];
  parts.out = parts.train_path * parts.signal.expand(in[0].sizes()) + in[7] * at::linear(in[0], in[5]);
  return parts;
}

// out = (train * factor) * signal + coupling * infer, with train replaced by train * factor when
// `factor` is given, in one pass: each product and the sum rounded once in V, as the separate
// tensor operations round them. All contiguous, `n` values; the signal is one value for every row.
template <typename V>
void gate_sum(V* train, const V* infer, V signal, const V* factor, V coupling, V* out, int64_t n) {
  if (factor) {
    const V f = *factor;
    for (int64_t i = 0; i < n; ++i) train[i] = train[i] * f;
  }
  for (int64_t i = 0; i < n; ++i) {
    const V trained = train[i] * signal;
    const V inferred = coupling * infer[i];
    out[i] = trained + inferred;
  }
}

// The gate layer's input [x, state_delta, signal] for contiguous x and state_delta of `rows` rows
// of width S: each row's two pieces copied and the signal's one value after them, the values
// at::cat gives.
template <typename V>
void gate_input_rows(const V* x, const V* state_delta, V signal, V* out, int64_t rows, int64_t S) {
  for (int64_t r = 0; r < rows; ++r) {
    std::memcpy(out, x + r * S, sizeof(V) * S);
    std::memcpy(out + S, state_delta + r * S, sizeof(V) * S);
    out[2 * S] = signal;
    out += 2 * S + 1;
  }
}

// The composed gate's forward without a graph, with fewer operations: the signal (surprisal times
// gain, one product in the dtype) and the layer's input written in one pass, the products as
// at::linear takes them for contiguous inputs, the band, the signal's product, the coupling's and
// their sum in one pass over host memory. The same numbers as gate_composition; undefined parts
// where it does not apply (the caller then composes).
GateParts gate_forward(const std::vector<at::Tensor>& in, bool banded) {
  const at::Tensor& x = in[0];
  const at::Tensor& state_delta = in[1];
  const at::ScalarType dtype = x.scalar_type();
  if ((dtype != at::kFloat && dtype != at::kDouble) || !x.is_contiguous() || !state_delta.is_contiguous() ||
      !readable_in_place(x) || !readable_in_place(state_delta) || !readable_in_place(in[2]) ||
      !readable_in_place(in[3]) || !readable_in_place(in[6]) || !readable_in_place(in[7]) || in[3].dim() != 0 ||
      in[6].dim() != 0 || in[7].dim() != 0) {
    return GateParts{};
  }
  const int64_t B = x.size(0), T = x.size(1), S = x.size(2);
  GateParts parts;
  AT_DISPATCH_FLOATING_TYPES(dtype, "gate_forward", [&] {
    const scalar_t signal = *in[2].data_ptr<scalar_t>() * *in[3].data_ptr<scalar_t>();
    parts.gate_input = at::empty({B, T, 2 * S + 1}, x.options());
    gate_input_rows<scalar_t>(x.data_ptr<scalar_t>(), state_delta.data_ptr<scalar_t>(), signal,
                              parts.gate_input.data_ptr<scalar_t>(), B * T, S);
    parts.train_path = rows_linear(parts.gate_input, in[4]);
    const at::Tensor infer = rows_linear(x, in[5]);
    parts.out = at::empty_like(parts.train_path);
    gate_sum<scalar_t>(parts.train_path.data_ptr<scalar_t>(), infer.data_ptr<scalar_t>(), signal,
                       banded ? in[6].data_ptr<scalar_t>() : nullptr, *in[7].data_ptr<scalar_t>(),
                       parts.out.data_ptr<scalar_t>(), parts.out.numel());
  });
  return parts;
}

// The gate's backward products from its gradient `grad` [B, T, S]: grad * train_path, (grad * signal[b])
// * factor (no factor: unbanded) and grad * coupling, each rounded as the tensor operation rounds it;
// in one pass over host memory for contiguous float or double tensors, else as those operations.
void gate_grad_products(const at::Tensor& grad, const at::Tensor& train_path, const at::Tensor& signal,
                        const at::Tensor& factor, const at::Tensor& coupling, at::Tensor& grad_product,
                        at::Tensor& d_train, at::Tensor& d_infer) {
  const at::ScalarType dtype = grad.scalar_type();
  const bool in_place = (dtype == at::kFloat || dtype == at::kDouble) && grad.is_contiguous() &&
                        train_path.is_contiguous() && readable_in_place(grad) && readable_in_place(train_path) &&
                        readable_in_place(signal) && readable_in_place(coupling) && coupling.dim() == 0 &&
                        train_path.scalar_type() == dtype && signal.scalar_type() == dtype &&
                        coupling.scalar_type() == dtype && train_path.sizes() == grad.sizes() &&
                        (!factor.defined() || (readable_in_place(factor) && factor.dim() == 0 &&
                                               factor.scalar_type() == dtype));
  if (!in_place) {
    grad_product = grad * train_path;
    d_train = grad * signal.expand(grad.sizes());
    if (factor.defined()) d_train = d_train * factor;
    d_infer = grad * coupling;
    return;
  }
  const int64_t B = grad.size(0), per_row = grad.numel() / std::max<int64_t>(B, 1);
  const at::Tensor signal_rows = signal.contiguous();
  grad_product = at::empty_like(grad);
  d_train = at::empty_like(grad);
  d_infer = at::empty_like(grad);
  AT_DISPATCH_FLOATING_TYPES(dtype, "gate_grad_products", [&] {
    const scalar_t* g = grad.data_ptr<scalar_t>();
    const scalar_t* t = train_path.data_ptr<scalar_t>();
    const scalar_t* sig = signal_rows.data_ptr<scalar_t>();
    const scalar_t c = *coupling.data_ptr<scalar_t>();
    scalar_t* p = grad_product.data_ptr<scalar_t>();
    scalar_t* dt = d_train.data_ptr<scalar_t>();
    scalar_t* di = d_infer.data_ptr<scalar_t>();
    for (int64_t b = 0; b < B; ++b) {
      const scalar_t s = sig[b];
      const int64_t base = b * per_row;
      for (int64_t i = base; i < base + per_row; ++i) {
        p[i] = g[i] * t[i];
        dt[i] = g[i] * s;
        di[i] = g[i] * c;
      }
      if (factor.defined()) {
        const scalar_t f = *factor.data_ptr<scalar_t>();
        for (int64_t i = base; i < base + per_row; ++i) dt[i] = dt[i] * f;
      }
    }
  });
}

// The signal's share of the gate's gradient: the products grad * train_path summed per batch row
// and the gate layer's gradient in its signal column summed per batch row, [B, 1, 1] each; d_signal
// is their sum.
struct SignalGradParts {
  at::Tensor products, column;
};

// From the gate's gradient `grad` and the signal [B, 1, 1], with the saved (x, state_delta,
// surprisal, gain, w_train, w_infer, factor, coupling, gate_input, train_path): the gradients of x,
// state_delta and the two weights into `out`, and the signal's share when the surprisal or the gain
// takes a gradient (undefined otherwise).
SignalGradParts gate_layer_grads(torch::autograd::AutogradContext* ctx, const torch::autograd::variable_list& saved,
                                 const at::Tensor& grad, const at::Tensor& signal, bool banded,
                                 torch::autograd::variable_list& out) {
  const at::Tensor &x = saved[0], &w_train = saved[4], &w_infer = saved[5], &factor = saved[6];
  const at::Tensor &coupling = saved[7], &gate_input = saved[8], &train_path = saved[9];
  const int64_t S = x.size(2);
  // out = train_path * signal + coupling * infer_path
  at::Tensor grad_product, d_train, d_infer;
  gate_grad_products(grad, train_path, signal, banded ? factor : at::Tensor(), coupling, grad_product, d_train,
                     d_infer);
  const at::Tensor d_train_rows = d_train.reshape({-1, S});
  const at::Tensor d_input = d_train_rows.mm(w_train).view(gate_input.sizes());
  const at::Tensor d_infer_rows = d_infer.reshape({-1, S});
  if (ctx->needs_input_grad(0)) out[0] = d_input.narrow(-1, 0, S) + d_infer_rows.mm(w_infer).view(x.sizes());
  if (ctx->needs_input_grad(1)) out[1] = d_input.narrow(-1, S, S);
  if (ctx->needs_input_grad(4)) out[4] = d_train_rows.t().mm(gate_input.reshape({-1, 2 * S + 1}));
  if (ctx->needs_input_grad(5)) out[5] = d_infer_rows.t().mm(x.reshape({-1, S}));
  if (!ctx->needs_input_grad(2) && !ctx->needs_input_grad(3)) return {};
  return {at::sum_to(grad_product, signal.sizes()), at::sum_to(d_input.narrow(-1, 2 * S, 1), signal.sizes())};
}

// The surprisal (one element) and the gain (zero-dimensional) as float or double host numbers of
// the gradient's dtype: the signal and its gradients can be taken on the numbers.
bool host_gate_scalars(const at::Tensor& surprisal, const at::Tensor& gain, at::ScalarType dtype) {
  return (dtype == at::kFloat || dtype == at::kDouble) && surprisal.numel() == 1 &&
         surprisal.scalar_type() == dtype && readable_in_place(surprisal) && is_host_scalar(gain, dtype);
}

// The fused gate's backward without a graph for host surprisal and gain: the signal surprisal *
// gain and the products of d_signal [B] with the gain and the surprisal on the numbers, each rounded
// as the tensor operations round it; the gate layers' gradients and the sums as the tensor path
// takes them.
template <typename scalar_t>
void host_gate_backward(torch::autograd::AutogradContext* ctx, const torch::autograd::variable_list& saved,
                        const at::Tensor& grad, bool banded, torch::autograd::variable_list& out) {
  const at::Tensor &surprisal = saved[2], &gain = saved[3];
  const int64_t B = saved[0].size(0);
  const std::vector<int64_t> rows_shape{B, 1, 1};
  const scalar_t s = *static_cast<const scalar_t*>(surprisal.data_ptr());
  const scalar_t g = *gain.data_ptr<scalar_t>();
  at::Tensor signal = at::empty(rows_shape, grad.options());
  scalar_t* signal_rows = signal.data_ptr<scalar_t>();
  for (int64_t b = 0; b < B; ++b) signal_rows[b] = s * g;
  const SignalGradParts parts = gate_layer_grads(ctx, saved, grad, signal, banded, out);
  if (!parts.products.defined()) return;
  const at::Tensor products = parts.products.contiguous(), column = parts.column.contiguous();
  // d_signal * gain and d_signal * surprisal, one row each.
  at::Tensor by_gain = at::empty(rows_shape, grad.options());
  at::Tensor by_surprisal = at::empty(rows_shape, grad.options());
  const scalar_t* a = products.data_ptr<scalar_t>();
  const scalar_t* c = column.data_ptr<scalar_t>();
  scalar_t* pg = by_gain.data_ptr<scalar_t>();
  scalar_t* ps = by_surprisal.data_ptr<scalar_t>();
  for (int64_t b = 0; b < B; ++b) {
    const scalar_t d_signal = a[b] + c[b];
    pg[b] = d_signal * g;
    ps[b] = d_signal * s;
  }
  if (ctx->needs_input_grad(2)) out[2] = at::sum_to(by_gain, c10::IntArrayRef(kUnitShape)).view(surprisal.sizes());
  if (ctx->needs_input_grad(3)) out[3] = at::sum_to(by_surprisal, gain.sizes());
}

class FusedGate : public torch::autograd::Function<FusedGate> {
 public:
  // x, state_delta [B, T, S]; surprisal one element; gain zero-dimensional; w_train [S, 2S + 1] and
  // w_infer [S, S] the gate layers' weights; factor (read when `banded`) and coupling
  // zero-dimensional, without gradient. All of one dtype and device.
  static at::Tensor forward(torch::autograd::AutogradContext* ctx, const at::Tensor& x, const at::Tensor& state_delta,
                            const at::Tensor& surprisal, const at::Tensor& gain, const at::Tensor& w_train,
                            const at::Tensor& w_infer, const at::Tensor& factor, const at::Tensor& coupling,
                            bool banded) {
    const std::vector<at::Tensor> in{x, state_delta, surprisal, gain, w_train, w_infer, factor, coupling};
    GateParts parts = gate_forward(in, banded);
    if (!parts.out.defined()) parts = gate_composition(in, banded);
    ctx->save_for_backward(
        {x, state_delta, surprisal, gain, w_train, w_infer, factor, coupling, parts.gate_input, parts.train_path});
    ctx->saved_data["banded"] = banded;
    return parts.out;
  }

  static torch::autograd::variable_list backward(torch::autograd::AutogradContext* ctx,
                                                 torch::autograd::variable_list grads) {
    torch::autograd::variable_list out(9);
    const at::Tensor& grad = grads[0];
    if (!grad.defined()) return out;
    const auto saved = ctx->get_saved_variables();
    const at::Tensor &x = saved[0], &state_delta = saved[1], &surprisal = saved[2], &gain = saved[3];
    const at::Tensor &w_train = saved[4], &w_infer = saved[5], &factor = saved[6], &coupling = saved[7];
    const bool banded = ctx->saved_data["banded"].toBool();
    if (at::GradMode::is_enabled()) {
      auto reference = [banded](const std::vector<at::Tensor>& in) { return gate_composition(in, banded).out; };
      const auto vjp =
          kernels::reference_vjp(reference, {x, state_delta, surprisal, gain, w_train, w_infer, factor, coupling}, grad);
      for (size_t i = 0; i < 6; ++i) out[i] = vjp[i];  // the band factor and the coupling take none
      return out;
    }
    const int64_t B = x.size(0);
    if (host_gate_scalars(surprisal, gain, grad.scalar_type())) {
      AT_DISPATCH_FLOATING_TYPES(grad.scalar_type(), "fused_gate_backward", [&] {
        host_gate_backward<scalar_t>(ctx, saved, grad, banded, out);
      });
      return out;
    }
    const at::Tensor scalar = surprisal.view({1, 1, 1}).expand({B, 1, 1});
    const at::Tensor signal = scalar * gain;
    const SignalGradParts parts = gate_layer_grads(ctx, saved, grad, signal, banded, out);
    if (parts.products.defined()) {
      const at::Tensor d_signal = parts.products + parts.column;
      if (ctx->needs_input_grad(2)) out[2] = at::sum_to(d_signal * gain, c10::IntArrayRef(kUnitShape)).view(surprisal.sizes());
      if (ctx->needs_input_grad(3)) out[3] = at::sum_to(d_signal * scalar, gain.sizes());
    }
    return out;
  }
};

// The weight of a plain gate layer without bias taking `x` (undefined otherwise).
at::Tensor plain_weight(const py::object& layer, const py::object& x) {
  const PlainLinear plain = plain_linear(layer, x);
  return plain.plain && !plain.bias.defined() ? plain.weight : at::Tensor();
}

// P * (g_max - g_min) + g_min for a host scalar P of type V, rounded as the tensor operations
// round it: each number taken in V, one rounding per operation.
template <typename V>
V host_band(const at::Tensor& P, double g_min, double g_max) {
  const V scaled = *static_cast<const V*>(P.data_ptr()) * static_cast<V>(g_max - g_min);
  return scaled + static_cast<V>(g_min);
}

// The band factor P * (g_max - g_min) + g_min when the band is on, else undefined.
at::Tensor band_factor(const py::object& self, const at::Tensor& x) {
  if (!truth(self.attr(interned("fortress_config")).attr(interned("enable_vgt")))) return at::Tensor();
  const double g_min = arg_float(self.attr(interned("_g_min")), "_g_min");
  const double g_max = arg_float(self.attr(interned("_g_max")), "_g_max");
  const at::Tensor P = converted(Memory(module_attr(self, "fortress"))[Buf::global_pressure], x.device(), x.scalar_type());
  if (!P.requires_grad()) {
    // On host numbers where the pressure lies in host memory: the two operations in its dtype.
    if (is_host_scalar(P, at::kFloat)) return at::scalar_tensor(host_band<float>(P, g_min, g_max), P.options());
    if (is_host_scalar(P, at::kDouble)) return at::scalar_tensor(host_band<double>(P, g_min, g_max), P.options());
  }
  return P * (g_max - g_min) + g_min;
}

py::object compute_gate(py::object self, py::object x_obj, py::object state_delta_obj, py::object surprisal_obj) {
  const at::Tensor x = arg_tensor(x_obj, "x");
  const auto sizes = unpack_shape(x, 3);
  const int64_t B = sizes[0], T = sizes[1];
  const at::Tensor surprisal = arg_tensor(surprisal_obj, "surprisal_score");
  const at::Tensor surprisal_cell = surprisal.view({1, 1, 1});  // refused first, as in the composed form
  const at::Tensor gain = parameter(self, "surprisal_gain");
  const at::Tensor state_delta = arg_tensor(state_delta_obj, "state_delta");
  py::object gate_train = module_attr(self, "gate_train");
  py::object gate_infer = module_attr(self, "gate_infer");

  // One node when every piece is plain and of one kind, under a graph; the composed form otherwise.
  // Nothing the fused path takes can fail in the products, so its settings are read first.
  const at::Tensor w_train = plain_weight(gate_train, x_obj);
  const at::Tensor w_infer = w_train.defined() ? plain_weight(gate_infer, x_obj) : at::Tensor();
  const int64_t S = x.size(2);
  auto fits = [&](const at::Tensor& t) {
    return t.scalar_type() == x.scalar_type() && t.device() == x.device() && t.layout() == at::kStrided;
  };
  const bool eligible =
      w_infer.defined() && at::GradMode::is_enabled() && at::isFloatingType(x.scalar_type()) && fits(x) &&
      !torch::check_has_torch_function(state_delta_obj.ptr()) && !torch::check_has_torch_function(surprisal_obj.ptr()) &&
      state_delta.sizes() == x.sizes() && surprisal.numel() == 1 && gain.dim() == 0 && w_train.dim() == 2 &&
      w_train.size(0) == S && w_train.size(1) == 2 * S + 1 && w_infer.dim() == 2 && w_infer.size(0) == S &&
      w_infer.size(1) == S && fits(state_delta) && fits(surprisal) && fits(gain) && fits(w_train) && fits(w_infer);
  if (eligible) {
    const at::Tensor factor = band_factor(self, x);
    const int64_t d_state = arg_int(self.attr(interned("config")).attr(interned("d_state")), "d_state");
    const at::Tensor coupling = buffer(self, "infer_coupling");
    if (d_state == S && coupling.dim() == 0 && fits(coupling) && !coupling.requires_grad() &&
        (!factor.defined() || !factor.requires_grad())) {
      return to_py(FusedGate::apply(x, state_delta, surprisal, gain, w_train, w_infer,
                                    factor.defined() ? factor : coupling, coupling, factor.defined()));
    }
  }

  const at::Tensor surprisal_scalar = converted(surprisal_cell, x.device()).expand({B, 1, 1});
  const at::Tensor surprisal_signal = surprisal_scalar * gain;
  const at::Tensor surprisal_broadcast = surprisal_signal.expand({B, T, 1});

  const at::Tensor gate_input = at::cat({x, state_delta, surprisal_broadcast}, -1);
  const at::Tensor train_path = arg_tensor(call_linear(gate_train, to_py(gate_input)), "gate_train_base");
  const at::Tensor infer_path = arg_tensor(call_linear(gate_infer, x_obj), "infer_path");
  const at::Tensor factor = band_factor(self, x);
  const int64_t d_state = arg_int(self.attr(interned("config")).attr(interned("d_state")), "d_state");
  at::Tensor banded = factor.defined() ? train_path * factor : train_path;
  return to_py(banded * surprisal_signal.expand({B, T, d_state}) + buffer(self, "infer_coupling") * infer_path);
}

// ---------------------------------------------------------------------------------------------
// Forward

// What a call settles before its first write: everything that can be refused is refused here,
// before the fortress or the block changes: the input's shape and length, the previous state, the
// widths, a disagreement signal taken from the state and every setting the call reads.
struct Prepared {
  at::Tensor x;
  py::object delta_obj;
  at::Tensor delta;
  py::object prev_obj;
  at::Tensor state_delta;
  bool vgt = false;
  at::Tensor friction;  // undefined: the surprisal stands in for it
};

// The shape of input_proj(x), for a check, when the layer is a plain linear layer that takes x as
// it is (the product can then fail in no other way); nothing otherwise.
c10::optional<std::vector<int64_t>> projected_shape(const py::object& input_proj, const py::object& x_obj,
                                                    const at::Tensor& x) {
  const PlainLinear layer = plain_linear(input_proj, x_obj);
  if (!layer.plain) return c10::nullopt;
  const at::Tensor& w = layer.weight;
  const at::Tensor& b = layer.bias;
  const bool fits = w.dim() == 2 && x.size(-1) == w.size(1) && x.scalar_type() == w.scalar_type() &&
                    at::isFloatingType(x.scalar_type()) && x.device() == w.device() && x.layout() == at::kStrided &&
                    w.layout() == at::kStrided &&
                    (!b.defined() || (b.dim() == 1 && b.size(0) == w.size(0) && b.scalar_type() == w.scalar_type() &&
                                      b.device() == w.device()));
  if (!fits) return c10::nullopt;
  std::vector<int64_t> sizes = x.sizes().vec();
  sizes.back() = w.size(0);
  return sizes;
}

// `check_only`: nothing the call computes is kept, only its refusals; the products whose only
// failures are their operands' shapes and dtypes are then taken on their shapes alone (the
// returned delta and state difference are undefined).
Prepared prepare_call(const py::object& self, const py::object& x_obj, const py::object& state,
                      bool check_only = false) {
  const at::Tensor x = arg_tensor(x_obj, "x");
  const auto sizes = unpack_shape(x, 3);
  const int64_t B = sizes[0], T = sizes[1];

  py::object fortress = module_attr(self, "fortress");
  py::object integrator = module_attr(self, "integrator");

  py::object input_proj = module_attr(self, "input_proj");
  py::object delta_obj;
  at::Tensor delta;
  c10::optional<std::vector<int64_t>> delta_shape;
  if (check_only) delta_shape = projected_shape(input_proj, x_obj, x);
  if (!delta_shape) {
    delta_obj = call_linear(input_proj, x_obj);
    delta = arg_tensor(delta_obj, "delta");
  }

  PyObject* given_prev = state.is_none() ? nullptr : PyDict_GetItemString(state.ptr(), "sigma_prev");
  py::object prev_obj = given_prev ? py::reinterpret_borrow<py::object>(given_prev)
                                   : py::object(module_attr(integrator, "sigma_prev"));
  at::Tensor sigma_prev = arg_tensor(prev_obj, "sigma_prev");
  if (!given_prev) {
    // The integrator's carried state: a batch of another size starts from zero.
    const at::Tensor start = carried_start(sigma_prev, B);
    if (!start.is_same(sigma_prev)) {
      sigma_prev = start;
      prev_obj = to_py(start);
    }
  }
  if (sigma_prev.size(0) == 1 && B > 1) {
    sigma_prev = sigma_prev.expand({B, -1});
    prev_obj = to_py(sigma_prev);
  }
  if (delta_shape && (sigma_prev.device() != x.device() || sigma_prev.scalar_type() == at::kBool)) {
    // What the subtraction would refuse beyond the shapes is left to the real product.
    delta_shape.reset();
    delta_obj = call_linear(input_proj, x_obj);
    delta = arg_tensor(delta_obj, "delta");
  }
  const at::Tensor prev_expanded = sigma_prev.unsqueeze(1).expand({-1, T, -1});
  // A check takes only the shape of the difference, refused as the subtraction refuses it.
  at::Tensor state_delta;
  std::vector<int64_t> state_shape;
  if (delta_shape) {
    state_shape = at::infer_size(*delta_shape, prev_expanded.sizes());
  } else {
    state_delta = delta - prev_expanded;
  }
  const int64_t state_width = delta_shape ? state_shape.at(2) : state_delta.size(2);
  TORCH_CHECK(x.size(2) == state_width,
              "WarEngineTevZOZU_V722_FU needs d_model == d_state: its gate layers take the block input (width ",
              x.size(2), ") at the state width ", state_width);

  check_has_first_step(delta_shape ? c10::IntArrayRef(*delta_shape) : delta.sizes());

  const bool vgt = truth(self.attr(interned("fortress_config")).attr(interned("enable_vgt")));
  check_settings(Memory(fortress));
  arg_float(integrator.attr(interned("surprisal_decay")), "surprisal_decay");
  arg_int(self.attr(interned("config")).attr(interned("d_state")), "d_state");
  if (vgt) {
    arg_float(self.attr(interned("_g_min")), "_g_min");
    arg_float(self.attr(interned("_g_max")), "_g_max");
  }
  at::Tensor friction;  // undefined: the surprisal stands in for it
  if (vgt) {
    const at::Tensor pressure = Memory(fortress)[Buf::global_pressure];
    if (PyObject* value = state_tensor(state, "dance_friction")) {
      friction = from_py(value).detach();
    } else {
      PyObject* fast = state_tensor(state, "fast_logits");
      PyObject* slow = state_tensor(state, "slow_logits");
      if (fast && slow) {
        at::NoGradGuard no_grad;
        const at::Tensor f = from_py(fast), s = from_py(slow);
        if (check_only && f.device() == s.device() && at::isFloatingType(f.scalar_type()) &&
            at::isFloatingType(s.scalar_type())) {
          // The mean of the difference is one value whatever the shapes that broadcast.
          at::infer_size(f.sizes(), s.sizes());
        } else {
          friction = at::mean(at::abs(f - s));
        }
      }
    }
    if (friction.defined()) {
      friction = converted(friction, x.device(), pressure.scalar_type());
      check_in_place(pressure, friction);  // the pressure update takes one zero-dimensional value
    }
  }
  return Prepared{x, delta_obj, delta, prev_obj, state_delta, vgt, friction};
}

// A dual-path core calls this for each of its blocks before the first of them runs, so that a
// call either block would refuse changes neither; with `with_logits` also for the update of the
// global pressure from both heads' logits that such a core makes after the blocks (the fortress's
// own update; one replaced on the fortress instance is not checked). Nothing is written; the
// input projection runs without a graph.
void check_forward(py::object self, py::object x_obj, py::object state, py::object with_logits) {
  arg_dict_or_none(state, "state");
  const bool logits = truth(with_logits);
  at::NoGradGuard no_grad;
  const Prepared call = prepare_call(self, x_obj, state, /*check_only=*/true);
  py::object fortress = module_attr(self, "fortress");
  if (logits && call.vgt && !set_on_instance(fortress, "_update_global_pressure")) {
    Memory(fortress).setting<Cfg::kl_temperature>();
  }
}

// surprisal - 1 (detached) in the surprisal's dtype, converted to `dtype` on `device`; taken on
// host numbers when the surprisal is a host scalar.
at::Tensor surprisal_less_one(const at::Tensor& surprisal, const at::Device& device, at::ScalarType dtype) {
  const at::TensorOptions options = at::TensorOptions().device(device).dtype(dtype);
  if (device.is_cpu() && is_host_scalar(surprisal, at::kFloat)) {
    return at::scalar_tensor(*static_cast<const float*>(surprisal.data_ptr()) - 1.0f, options);
  }
  if (device.is_cpu() && is_host_scalar(surprisal, at::kDouble)) {
    return at::scalar_tensor(*static_cast<const double*>(surprisal.data_ptr()) - 1.0, options);
  }
  return converted(surprisal.detach() - 1.0, device, dtype);
}

py::tuple forward_with_diagnostics(py::object self, py::object x_obj, py::object state,
                                   py::object return_diagnostics) {
  arg_dict_or_none(state, "state");
  const bool diagnose = truth(return_diagnostics);
  const Prepared call = prepare_call(self, x_obj, state);
  const at::Tensor& x = call.x;
  const py::object& delta_obj = call.delta_obj;
  const py::object& prev_obj = call.prev_obj;
  const at::Tensor& state_delta = call.state_delta;
  const bool vgt = call.vgt;
  at::Tensor friction = call.friction;
  py::object fortress = module_attr(self, "fortress");
  py::object integrator = module_attr(self, "integrator");

  // 1. The step counter advances first.
  fortress.attr(interned("forward_step"))();

  // 2. Running variance of the state change, from a detached value; a non-finite chunk leaves it.
  {
    at::NoGradGuard no_grad;
    blend_if_finite(buffer(self, "state_variance_ema"), 0.9, mean_row_variance(state_delta), 0.1);
  }

  // 3. Surprisal and its statistics.
  py::object surprisal_obj = integrator.attr(interned("compute_surprisal"))(delta_obj, prev_obj);
  const at::Tensor surprisal = arg_tensor(surprisal_obj, "surprisal_score");
  const bool stable = surprisal_stable(fortress, surprisal_obj);

  // 4. Global pressure from the engrams' conflict, the surprisal and the disagreement signal.
  if (vgt) {
    const at::Tensor pressure = Memory(fortress)[Buf::global_pressure];
    const at::TensorOptions options = at::TensorOptions().device(x.device()).dtype(pressure.scalar_type());
    if (!friction.defined()) friction = surprisal_less_one(surprisal, x.device(), pressure.scalar_type());
    const at::Tensor conflict = at::scalar_tensor(average_conflict(fortress.attr(interned("engram_stack"))), options);
    const at::Tensor surprisal_in = converted(surprisal.detach(), x.device(), pressure.scalar_type());
    global_pressure_update(fortress, to_py(conflict), to_py(surprisal_in), to_py(friction));
  }

  // 5. Gate and recurrence.
  py::object gate = self.attr(interned("compute_gate"))(x_obj, to_py(state_delta), surprisal_obj);
  auto advanced = unpack(integrator.attr(interned("forward_with_diagnostics"))(
                             delta_obj, gate, state, py::arg("compute_diagnostics") = diagnose),
                         2);
  py::object sigma_obj = advanced[0];
  const at::Tensor sigma = arg_tensor(sigma_obj, "sigma");

  // 6. Evidence for promotion: covariance on stable, calm calls; then the promotion decision.
  const bool trainer_ok = stable && scalar_truth(Memory(fortress)[Buf::adaptive_calm_ok]);
  if (trainer_ok) fortress.attr(interned("accumulate_covariance"))(sigma_obj);
  promotion_decision(fortress, stable, trainer_ok);

  // 7. Post-union loss watch.
  if (PyObject* loss = state_tensor(state, "current_training_loss")) {
    fortress.attr(interned("update_post_union_impact"))(py::reinterpret_borrow<py::object>(loss));
  }

  // 8. Gradient projection through the new state while engrams exist; the hooks of earlier calls
  // whose states still await backward stay.
  if (py::len(fortress.attr(interned("engram_stack"))) > 0 && sigma.requires_grad()) {
    prune_hooks(self);
    py::object hook_fn = fortress.attr(interned("create_joint_basis_projection_hook"))();
    install_hook(self, sigma_obj, hook_fn);
  }
  if (py::len(fortress.attr(interned("engram_stack"))) == 0 && holds_hooks(self)) remove_hooks(self);

  // 9. Periodic demotion.
  fortress.attr(interned("lifecycle_management"))();

  py::object y = call_linear(module_attr(self, "output_proj"), sigma_obj);
  if (!diagnose) return py::make_tuple(y, py::dict());
  return py::make_tuple(y, block_diagnostics(self, BlockCall{sigma_obj, surprisal, stable, advanced[1]}));
}

}  // namespace

py::object define_block_class(py::module_& m) {
  py::object cls = new_class(m, "WarEngineTevZOZU_V722_FU", nn_module(), kBlockDoc);
  py::object module = m;
  def_method(cls, "__init__",
             [module](py::object self, py::object config, py::object fortress_config) {
               construct(module, self, config, fortress_config);
             },
             nullptr, arg("config", "TevUnifiedConfig"), arg("fortress_config", "FortressUnbrokenConfig"));
  def_method(cls, "set_trainable", &set_trainable, kSetTrainableDoc, arg("trainable", "bool"), returns("None"));
  def_method(cls, "compute_gate", &compute_gate, "Compute gate with VGT pressure modulation.",
             arg("x", "torch.Tensor"), arg("state_delta", "torch.Tensor"), arg("surprisal_score", "torch.Tensor"),
             returns("torch.Tensor"));
  def_method(cls, "forward_with_diagnostics", &forward_with_diagnostics,
             "Run one chunk through the block and its fortress.\n"
             "\n"
             "x: [B, T, d_model]; state: None or a dict (read, never written) whose keys\n"
             "'sigma_prev', 'dance_friction', 'fast_logits', 'slow_logits' and\n"
             "'current_training_loss' are used; returns (y [B, T, d_model], diagnostics), the\n"
             "diagnostics empty unless return_diagnostics is true.",
             arg("x", "torch.Tensor"), arg("state", "Optional[Dict]") = py::none(),
             arg("return_diagnostics", "bool") = false, returns("Tuple[torch.Tensor, Dict]"));
  def_method(cls, "_check_forward", &check_forward,
             "Refuse, with the error forward_with_diagnostics would raise, a call it would refuse;\n"
             "change nothing. with_logits: also check the settings of a global pressure update\n"
             "given both heads' logits.",
             arg("x", "torch.Tensor"), arg("state", "Optional[Dict]") = py::none(),
             arg("with_logits", "bool") = false, returns("None"));
  return cls;
}

}  // namespace kestrel::fortress

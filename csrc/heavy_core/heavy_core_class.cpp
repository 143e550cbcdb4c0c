// ZuravMorvaV8_2H, the heavy dual-path core, and BoundaryRecord, its record of a shock.
//
// A fast block runs on the input and a slow block on the radar's long convolution of it; their
// symmetric KL disagreement feeds the slow fortress's global pressure, a sudden collapse of that
// friction is a shock (recorded, with a promotion attempt, then a freeze window and a cooldown),
// and a cross-attention bridge from the fast output to the slow one is added to the fast output
// with a pressure-routed weight.
//
// The forward is the model's hot path: apart from what the blocks read themselves, it brings the
// device scalars it needs on the host (drop score, pressure, routing weight, sync error) back in
// one read; a shock call reads twice more.
#include "heavy_core/dual_path.h"

#include "kernels/op_support.h"
#include "runtime/module_paths.h"

#include <ATen/Dispatch.h>
#include <torch/csrc/autograd/custom_function.h>
#include <torch/csrc/jit/frontend/tracer.h>
#include <torch/csrc/utils/disable_torch_function.h>

#include <cmath>
#include <string>

namespace kestrel::heavy {
namespace {

constexpr const char* kBoundaryRecordDoc = "Record of a discrete 'Shock' consolidation event.";

constexpr const char* kHeavyCoreDoc =
    "MORVA v8.2H heavy core: fast and slow war engine blocks joined by a cross-headed bridge.\n"
    "\n"
    "The fast path runs on the input, the slow path on the radar's FFT long convolution of it. Their\n"
    "symmetric KL disagreement and the mean engram conflict drive the slow fortress's global\n"
    "pressure P; a collapse of the friction (drop score >= shock_threshold_z) is a shock: it is\n"
    "recorded in boundary_history, tries to promote a deep engram, floors the routing weight at 0.9\n"
    "for shock_freeze_steps more calls and cannot recur for 128 calls. The output is\n"
    "y_fast + cross_attn(y_fast, y_slow, P) * sigmoid(routing_sharpness * (P - routing_threshold)).";

constexpr const char* kForwardDoc =
    "Run both paths, the pressure update, shock control and the bridge.\n"
    "\n"
    "x: [B, L, d_model]; state: None or a dict handed to both blocks. Returns (output, diagnostics).";

constexpr int kShockCooldown = 128;
constexpr size_t kHistoryLimit = 100;

void construct(const py::module_& module, py::object self, py::object config, py::object fortress_config,
               py::object cross_attn_mode, py::object shared_backbone) {
  py::str mode = arg_str(cross_attn_mode, "cross_attn_mode");
  init_module_base(self);
  set_attr(self, "cross_attn_mode", mode.attr("lower")());
  const bool shared = truth(shared_backbone);
  set_attr(self, "shared_backbone", py::bool_(shared));

  py::object block = module.attr("WarEngineTevZOZU_V722_FU");
  set_attr(self, "fast_path", block(config, fortress_config));
  set_attr(self, "radar", module.attr("OptimizedMorvaRadar")(config.attr("d_model")));
  if (shared) {
    set_attr(self, "slow_path", self.attr("fast_path"));
    py::print("[MORVA] \xF0\x9F\x9F\xA2 Shared Backbone Enabled: Divergence maintained via Radar FFT.");
  } else {
    set_attr(self, "slow_path", block(config, fortress_config));
    set_requires_grad(self.attr("slow_path"), false);
  }
  set_requires_grad(self.attr("radar"), false);

  const bool quadratic = py_eq(self.attr("cross_attn_mode"), py::str("quadratic"));
  py::object bridge = module.attr(quadratic ? "MorvaCrossAttention" : "LinearMorvaCrossAttention");
  set_attr(self, "cross_attn", bridge(config.attr("d_model")));

  const at::TensorOptions options = at::TensorOptions().dtype(default_dtype());
  register_parameter(self, "routing_sharpness", at::scalar_tensor(4.0, options));
  register_parameter(self, "routing_threshold", at::scalar_tensor(0.5, options));

  set_attr(self, "boundary_history", py::list());
  set_attr(self, "shock_threshold_z", py::float_(1.5));
  set_attr(self, "shock_freeze_steps", py::int_(8));
  set_attr(self, "shock_cooldown", py::int_(0));
  set_attr(self, "active_shock_freeze", py::int_(0));
}

// One block serving both paths runs twice per call, and its integrator carries one state. Both
// runs start from the state carried in from the previous call: the slow run must not continue from
// where the fast run left it, at the end of this very sequence, or every position would read the
// whole sequence through its start state. The state carried on to the next call is the fast run's
// end state, the state of the input itself (the slow run's is that of its radar view), so that
// the next call starts both runs where the fast path left off, as separate blocks would. A failed
// slow run leaves the fast run's end state in place too.
class SharedStart {
 public:
  SharedStart(const py::object& fast_path, const py::object& slow_path) {
    if (!fast_path.is(slow_path)) return;
    integrator_ = module_attr(fast_path, "integrator");
    py::object carried = module_attr(integrator_, kCarried);
    // A tensor is copied here; anything else answers detach and clone as it does.
    // (A tensor without a gradient of either mode is its own detached form.)
    if (is_tensor(carried) && !torch::check_has_torch_function(carried.ptr())) {
      const at::Tensor t = from_py(carried);
      const bool plain = !t.requires_grad() && !t._fw_grad(/*level=*/0).defined();
      start_ = to_py(plain ? t.clone() : t.detach().clone());
    } else {
      start_ = carried.attr("detach")().attr("clone")();
    }
  }
  ~SharedStart() {
    if (fast_end_ && !carried_) {
      PyObject *type, *value, *trace;
      PyErr_Fetch(&type, &value, &trace);
      if (PyObject_SetAttrString(integrator_.ptr(), kCarried, fast_end_.ptr()) != 0) PyErr_Clear();
      PyErr_Restore(type, value, trace);
    }
  }
  SharedStart(const SharedStart&) = delete;
  SharedStart& operator=(const SharedStart&) = delete;

  // Between the runs: keep the fast run's end state, put the start state back.
  void rewind() {
    if (!start_) return;
    fast_end_ = module_attr(integrator_, kCarried);
    set_buffer_attr(integrator_, kCarried, start_);
  }
  // After the slow run: the fast run's end state carries on.
  void carry_fast_end() {
    if (!fast_end_) return;
    set_buffer_attr(integrator_, kCarried, fast_end_);
    carried_ = true;
  }

 private:
  static constexpr const char* kCarried = "sigma_prev";
  py::object integrator_, start_, fast_end_;
  bool carried_ = false;
};

// The shock control's counters, counted down, and its threshold, read before the first block
// runs: a value the control cannot compare or count down refuses the call with nothing changed.
// The counted-down values are stored where the control counts down.
struct ShockCounters {
  explicit ShockCounters(const py::object& self) {
    py::object c = self.attr("shock_cooldown");
    cooling = py_gt(c, py::int_(0));
    cooldown = cooling ? py::object(c - py::int_(1)) : c;
    py::object f = self.attr("active_shock_freeze");
    freezing = py_gt(f, py::int_(0));
    freeze = freezing ? py::object(f - py::int_(1)) : f;
    threshold = self.attr("shock_threshold_z");
    py_ge(py::float_(0.0), threshold);  // for the error of the comparison with the drop score
  }
  bool cooling = false, freezing = false;
  py::object cooldown, freeze, threshold;
};

// The routing parameters' gradients from w's gradient when every number is a host scalar of one
// dtype: the floor's where and masked fill, the sigmoid's backward g (1 - w) w and the products
// written on the numbers, in the dtype and order the tensor operations take.
template <typename T>
void routing_grads(const at::Tensor& g_w, T raw, T gap, const at::Tensor& sharpness, bool freeze, bool sharpness_grad,
                   bool threshold_grad, at::Tensor& d_sharpness, at::Tensor& d_threshold) {
  T gw = *g_w.data_ptr<T>();
  if (freeze) {
    const T floor = static_cast<T>(0.9);
    if (raw == floor) gw = gw / T(2);
    if (raw < floor) gw = T(0);
  }
  const T g_logit = gw * (T(1) - raw) * raw;
  auto host_scalar = [&](T value) {
    at::Tensor t = at::empty({}, g_w.options());
    *t.data_ptr<T>() = value;
    return t;
  };
  if (sharpness_grad) d_sharpness = host_scalar(g_logit * gap);
  if (threshold_grad) d_threshold = host_scalar(-(g_logit * *sharpness.data_ptr<T>()));
}

// g * w, the context's gradient: written in one pass over host rows when w is a host scalar of
// g's dtype and g a contiguous host tensor (each product rounded as the operation rounds it).
at::Tensor context_grad(const at::Tensor& g, const at::Tensor& weight) {
  const at::ScalarType dtype = g.scalar_type();
  if ((dtype != at::kFloat && dtype != at::kDouble) || !is_host_scalar(weight, dtype) || !g.is_contiguous() ||
      !readable_in_place(g)) {
    return g * weight;
  }
  at::Tensor out = at::empty(g.sizes(), g.options());
  AT_DISPATCH_FLOATING_TYPES(dtype, "routed_mix_context_grad", [&] {
    const scalar_t w = *weight.data_ptr<scalar_t>();
    const scalar_t* in = g.data_ptr<scalar_t>();
    scalar_t* o = out.data_ptr<scalar_t>();
    for (int64_t i = 0, n = out.numel(); i < n; ++i) o[i] = in[i] * w;
  });
  return out;
}

// The pressure-routed mix y_fast + context * w with w = sigmoid(routing_sharpness * (P -
// routing_threshold)), floored at 0.9 inside a freeze window, as one autograd node: five nodes
// whose backward costs far more than their arithmetic at small sizes. The weight and its
// intermediates are computed before (the call reads the weight back), by the operations the
// separate nodes run, and handed in; the backward applies the separate nodes' formulas, so values
// and gradients are the same. A graph of the backward differentiates the composition at the
// pressure the call read.
class RoutedMix : public torch::autograd::Function<RoutedMix> {
 public:
  // The pressure, the gap and the raw weight are tensors, or host numbers (IValue doubles) when
  // the weight was taken on host numbers; the backward makes tensors of them where it needs them.
  static at::Tensor forward(torch::autograd::AutogradContext* ctx, const at::Tensor& y_fast, const at::Tensor& context,
                            const at::Tensor& sharpness, const at::Tensor& threshold, c10::IValue pressure,
                            c10::IValue gap, c10::IValue raw_weight, const at::Tensor& weight, bool freeze) {
    ctx->save_for_backward({context, sharpness});
    ctx->saved_data["threshold"] = threshold;
    ctx->saved_data["pressure"] = std::move(pressure);
    ctx->saved_data["gap"] = std::move(gap);
    ctx->saved_data["raw_weight"] = std::move(raw_weight);
    ctx->saved_data["weight"] = weight;
    ctx->saved_data["freeze"] = freeze;
    const at::ScalarType dtype = weight.scalar_type();
    if ((dtype == at::kFloat || dtype == at::kDouble) && is_host_scalar(weight, dtype) &&
        y_fast.scalar_type() == dtype && context.scalar_type() == dtype && y_fast.is_contiguous() &&
        context.is_contiguous() && readable_in_place(y_fast) && readable_in_place(context)) {
      // One pass over host rows: the product, then the sum, each rounded as its operation rounds.
      at::Tensor out = at::empty(y_fast.sizes(), y_fast.options());
      AT_DISPATCH_FLOATING_TYPES(dtype, "routed_mix", [&] {
        const scalar_t w = *weight.data_ptr<scalar_t>();
        const scalar_t* y = y_fast.data_ptr<scalar_t>();
        const scalar_t* c = context.data_ptr<scalar_t>();
        scalar_t* o = out.data_ptr<scalar_t>();
        for (int64_t i = 0, n = out.numel(); i < n; ++i) o[i] = y[i] + c[i] * w;
      });
      return out;
    }
    return y_fast + context * weight;
  }

  static torch::autograd::variable_list backward(torch::autograd::AutogradContext* ctx,
                                                 torch::autograd::variable_list grads) {
    torch::autograd::variable_list result(9);
    const at::Tensor& g = grads[0];
    if (!g.defined()) return result;
    const auto saved = ctx->get_saved_variables();
    const at::Tensor& context = saved[0];
    const at::Tensor& sharpness = saved[1];
    const at::Tensor threshold = ctx->saved_data["threshold"].toTensor();
    const bool freeze = ctx->saved_data["freeze"].toBool();
    // A saved scalar as a tensor of the threshold's dtype and device.
    auto saved_scalar = [&](const char* key) {
      const c10::IValue& value = ctx->saved_data[key];
      return value.isTensor() ? value.toTensor() : at::scalar_tensor(value.toDouble(), threshold.options());
    };
    if (ctx->needs_input_grad(0)) result[0] = g;
    if (at::GradMode::is_enabled()) {
      const at::Tensor pressure = saved_scalar("pressure");
      auto vjp = kernels::reference_vjp(
          [&](const std::vector<at::Tensor>& in) {
            at::Tensor w = at::sigmoid(in[1] * (pressure - in[2]));
            if (freeze) w = at::maximum(w, at::scalar_tensor(0.9, w.options()));
            return in[0] * w;
          },
          {context, sharpness, threshold}, g);
      for (size_t i = 0; i < 3; ++i) result[i + 1] = vjp[i];
      return result;
    }
    const at::Tensor weight = ctx->saved_data["weight"].toTensor();
    if (ctx->needs_input_grad(1)) result[1] = context_grad(g, weight);
    if (!ctx->needs_input_grad(2) && !ctx->needs_input_grad(3)) return result;
    // w's gradient from context * w, then through the floor, the sigmoid and rs * (P - rt).
    at::Tensor g_w = at::sum_to(g * context, weight.sizes());
    const at::ScalarType dtype = g_w.scalar_type();
    const c10::IValue& raw_saved = ctx->saved_data["raw_weight"];
    const c10::IValue& gap_saved = ctx->saved_data["gap"];
    if ((dtype == at::kFloat || dtype == at::kDouble) && is_host_scalar(g_w, dtype) && is_host_scalar(sharpness, dtype) &&
        (raw_saved.isDouble() || is_host_scalar(raw_saved.toTensor(), dtype)) &&
        (gap_saved.isDouble() || is_host_scalar(gap_saved.toTensor(), dtype))) {
      AT_DISPATCH_FLOATING_TYPES(dtype, "routed_mix_backward", [&] {
        auto number = [](const c10::IValue& value) {
          return value.isDouble() ? static_cast<scalar_t>(value.toDouble()) : *value.toTensor().data_ptr<scalar_t>();
        };
        routing_grads<scalar_t>(g_w, number(raw_saved), number(gap_saved), sharpness, freeze, ctx->needs_input_grad(2),
                                ctx->needs_input_grad(3), result[2], result[3]);
      });
      return result;
    }
    const at::Tensor raw_weight = saved_scalar("raw_weight");
    const at::Tensor gap = saved_scalar("gap");
    if (freeze) {
      const at::Tensor floor = at::scalar_tensor(0.9, raw_weight.options());
      g_w = at::where(raw_weight == floor, g_w / 2, g_w).masked_fill_(raw_weight < floor, 0);
    }
    const at::Tensor g_logit = at::sigmoid_backward(g_w, raw_weight);
    if (ctx->needs_input_grad(2)) result[2] = g_logit * gap;
    if (ctx->needs_input_grad(3)) result[3] = -(g_logit * sharpness);
    return result;
  }
};

// The weight sigmoid(sharpness * (p - threshold)), floored at 0.9 in a freeze window, on host
// numbers of one dtype: op by op as the tensor operations round (the sigmoid as their scalar
// form, 1 / (1 + exp(-x)); the floor as their maximum, which passes a NaN).
template <typename T>
struct HostWeight {
  HostWeight(T pressure, T threshold, T sharpness, bool freeze) {
    gap = pressure - threshold;
    raw = static_cast<T>(1) / (static_cast<T>(1) + std::exp(-(sharpness * gap)));
    const T floor = static_cast<T>(0.9);
    weight = freeze && !std::isnan(raw) && raw < floor ? floor : raw;
  }
  T gap, raw, weight;
};

// The routing weight of a call, read from the parameters once.
class Routing {
 public:
  Routing(const py::object& self, const at::Tensor& P, bool freeze, const at::Tensor& y_fast) : freeze_(freeze) {
    sharpness_ = parameter(self, "routing_sharpness");
    threshold_ = parameter(self, "routing_threshold");
    pressure_ = P;
    single_node_ = at::GradMode::is_enabled() && !torch::jit::tracer::isTracing() && !P.requires_grad() &&
                   plain_scalar(sharpness_, y_fast) && plain_scalar(threshold_, y_fast) && plain_scalar(P, y_fast);
    if (!single_node_) {
      weight_ = composed_weight();
      return;
    }
    const at::ScalarType dtype = P.scalar_type();
    if ((dtype == at::kFloat || dtype == at::kDouble) && is_host_scalar(P, dtype) &&
        is_host_scalar(sharpness_, dtype) && is_host_scalar(threshold_, dtype)) {
      // Host numbers: the weight is the one tensor made; the pressure as read now, the gap and
      // the raw weight are kept as numbers for the backward.
      AT_DISPATCH_FLOATING_TYPES(dtype, "routing_weight", [&] {
        const scalar_t p = *P.data_ptr<scalar_t>();
        const HostWeight<scalar_t> w(p, *threshold_.data_ptr<scalar_t>(), *sharpness_.data_ptr<scalar_t>(), freeze);
        weight_ = at::empty({}, P.options());
        *weight_.data_ptr<scalar_t>() = w.weight;
        pressure_value_ = static_cast<double>(p);
        gap_value_ = static_cast<double>(w.gap);
        raw_value_ = static_cast<double>(w.raw);
      });
      host_ = true;
      return;
    }
    at::NoGradGuard no_grad;
    gap_ = P - threshold_;
    raw_ = at::sigmoid(sharpness_ * gap_);
    weight_ = freeze ? at::maximum(raw_, at::scalar_tensor(0.9, raw_.options())) : raw_;
    // The pressure as read now: a graph of the backward differentiates at this value.
    pressure_ = P.clone();
  }
  const at::Tensor& weight() const { return weight_; }

  // y_fast + context * weight.
  at::Tensor mix(const at::Tensor& y_fast, const at::Tensor& context) {
    if (single_node_ && context.sizes() == y_fast.sizes() && context.scalar_type() == y_fast.scalar_type() &&
        context.device() == y_fast.device() && !context.key_set().has(c10::DispatchKey::Python)) {
      if (host_) {
        return RoutedMix::apply(y_fast, context, sharpness_, threshold_, pressure_value_, gap_value_, raw_value_,
                                weight_, freeze_);
      }
      return RoutedMix::apply(y_fast, context, sharpness_, threshold_, pressure_, gap_, raw_, weight_, freeze_);
    }
    if (host_) pressure_ = at::scalar_tensor(pressure_value_, weight_.options());  // the pressure as read then
    return y_fast + context * (single_node_ ? composed_weight() : weight_);
  }

 private:
  // The weight through the separate operations, with their graph.
  at::Tensor composed_weight() const {
    at::Tensor w = at::sigmoid(sharpness_ * (pressure_ - threshold_));
    if (freeze_) w = at::maximum(w, at::scalar_tensor(0.9, w.options()));
    return w;
  }

  // A zero-dimensional tensor of y_fast's dtype and device, without Python dispatch.
  static bool plain_scalar(const at::Tensor& t, const at::Tensor& y_fast) {
    return t.dim() == 0 && t.scalar_type() == y_fast.scalar_type() && t.device() == y_fast.device() &&
           !t.key_set().has(c10::DispatchKey::Python) && !y_fast.key_set().has(c10::DispatchKey::Python);
  }
  at::Tensor sharpness_, threshold_, pressure_, gap_, raw_, weight_;
  double pressure_value_ = 0.0, gap_value_ = 0.0, raw_value_ = 0.0;
  bool freeze_ = false, single_node_ = false, host_ = false;
};

py::tuple forward(const py::module_& module, py::object self, py::object x_obj, py::object state) {
  arg_dict_or_none(state, "state");
  const at::Tensor x = arg_tensor(x_obj, "x");
  const int64_t L = unpack_shape_counted(x, 3)[1];

  if (py_eq(self.attr("cross_attn_mode"), py::str("quadratic")) && L > 2048) {
    warn("Quadratic Attention enabled for L=" + std::to_string(L) + ". Memory complexity is O(L\xC2\xB2).");
  }

  // 1. Both paths; the slow one reads the radar's view of the input. What either block, the
  // pressure update or the shock control would refuse is refused before the fast block runs.
  py::object fast_path = module_attr(self, "fast_path");
  py::object slow_path = module_attr(self, "slow_path");
  check_block_call(fast_path, x_obj, state, false);
  py::object x_radar = call_radar(module_attr(self, "radar"), x_obj);
  py::object fortress = module_attr(slow_path, "fortress");
  const double kl_temp = kl_temperature(fortress);
  check_block_call(slow_path, x_radar, state, true);
  const ShockCounters counters(self);
  SharedStart shared_start(fast_path, slow_path);
  auto fast = unpack(fast_path.attr("forward_with_diagnostics")(x_obj, state, true), 2);
  shared_start.rewind();
  auto slow = unpack(slow_path.attr("forward_with_diagnostics")(x_radar, state, true), 2);
  shared_start.carry_fast_end();
  const py::object& y_fast_obj = fast[0];
  const py::object& y_slow_obj = slow[0];
  const py::object& diag_fast = fast[1];
  const py::object& diag_slow = slow[1];
  const at::Tensor y_fast = arg_tensor(y_fast_obj, "y_fast");
  const at::Tensor y_slow = arg_tensor(y_slow_obj, "y_slow");

  // 2. Disagreement of the heads, fed with the engrams' conflict into the slow fortress's pressure.
  // The slow block may have replaced its fortress while it ran.
  fortress = module_attr(slow_path, "fortress");
  const at::Tensor sync_error =
      arg_tensor(safe_symmetric_kl(self, SyncErrorMember::HeavyCore, y_fast_obj, y_slow_obj, kl_temp), "sync_error");

  if (truth(slow_path.attr("fortress_config").attr("enable_vgt"))) {
    const double avg_conflict = average_conflict(fortress);
    const at::ScalarType dtype = buffer(fortress, "global_pressure").scalar_type();
    const at::TensorOptions options = at::TensorOptions().device(x.device()).dtype(dtype);
    const double surprisal = py_float(diag_slow.attr("get")("surprisal_score", 1.0));
    update_pressure_with_logits(fortress, at::scalar_tensor(avg_conflict, options),
                                at::scalar_tensor(surprisal, options), converted(sync_error, x.device(), dtype), y_fast,
                                y_slow);
  }
  at::Tensor P = buffer(fortress, "global_pressure");

  // 3. Shock control. The counters are host values; the drop score comes back with the pressure,
  // the routing weight and the sync error in one read.
  const at::Tensor drop_z_t = buffer(fortress, "last_friction_drop_z");
  if (counters.cooling) set_attr(self, "shock_cooldown", counters.cooldown);
  bool freeze_active = counters.freezing;
  if (freeze_active) set_attr(self, "active_shock_freeze", counters.freeze);
  c10::optional<Routing> routing;
  routing.emplace(self, P, freeze_active, y_fast);
  std::vector<double> host = read_scalars({drop_z_t, P, routing->weight(), sync_error});
  const double drop_z = host[0];
  double pressure = host[1], weight = host[2];
  const double sync_value = host[3];

  bool shock_detected = false;
  if (py_ge(py::float_(drop_z), counters.threshold) && py_eq(self.attr("shock_cooldown"), py::int_(0))) {
    set_attr(self, "shock_cooldown", py::int_(kShockCooldown));
    set_attr(self, "active_shock_freeze", self.attr("shock_freeze_steps"));
    const std::vector<double> at_shock = read_scalars({buffer(fortress, "global_step"), buffer(fortress, "friction_ema")});
    py::object record = module.attr("BoundaryRecord")(
        py::arg("step") = py::int_(static_cast<int64_t>(at_shock[0])), py::arg("friction_before") = at_shock[1],
        py::arg("friction_after") = sync_value, py::arg("drop_z") = drop_z, py::arg("reason") = "FRICTION_COLLAPSE");
    auto decision = unpack(fortress.attr("maybe_promote_to_deep_engram")(py::arg("stable") = true,
                                                                          py::arg("trainer_ok") = true),
                           3);
    const bool promoted = truth(decision[0]);
    // The promotion may have touched the fortress: the pressure and the weight are read again.
    P = buffer(fortress, "global_pressure");
    routing.emplace(self, P, true, y_fast);
    const std::vector<double> after = read_scalars({P, routing->weight(), buffer(fortress, "next_engram_id")});
    pressure = after[0];
    weight = after[1];
    if (promoted) py::setattr(record, "engram_id", py::int_(static_cast<int64_t>(after[2])) - py::int_(1));
    py::object history = self.attr("boundary_history");
    history.attr("append")(record);
    if (py::len(history) > kHistoryLimit) history.attr("pop")(0);
    shock_detected = true;
    freeze_active = true;
  }

  // 4. Bridge and pressure-routed mix: the fast output passes whole, the bridge is weighted.
  py::object context_obj = call_bridge(module_attr(self, "cross_attn"), y_fast_obj, y_slow_obj, to_py(P));
  const at::Tensor context = arg_tensor(context_obj, "context_bridge");
  const at::Tensor output = routing->mix(y_fast, context);

  py::dict diagnostics;
  diagnostics["vgt_pressure"] = pressure;
  diagnostics["zurav_slow_weight"] = weight;
  diagnostics["fast_diagnostics"] = diag_fast;
  diagnostics["slow_diagnostics"] = diag_slow;
  diagnostics["mode"] = pressure > 0.6 ? "SIEGE" : "FLOW";
  diagnostics["shock_detected"] = shock_detected ? 1.0 : 0.0;
  diagnostics["shock_freeze_active"] = freeze_active ? 1.0 : 0.0;
  diagnostics["friction_drop_z"] = drop_z;
  diagnostics["boundary_count"] = py::int_(py::len(self.attr("boundary_history")));
  diagnostics["vgt_dance_friction_kl"] = sync_value;
  return py::make_tuple(to_py(output), diagnostics);
}

}  // namespace

void define_boundary_record(py::module_& m) {
  py::object builtins = py::module_::import("builtins");
  py::object int_t = builtins.attr("int"), float_t = builtins.attr("float"), str_t = builtins.attr("str");
  py::object optional_int = typing_attr("Optional")[int_t];
  new_record(m, "BoundaryRecord", kBoundaryRecordDoc,
             {required_field("step", int_t), required_field("friction_before", float_t),
              required_field("friction_after", float_t), required_field("drop_z", float_t),
              required_field("reason", str_t), field("engram_id", optional_int, py::none())});
}

void define_heavy_core(py::module_& m) {
  py::object cls = new_class(m, "ZuravMorvaV8_2H", nn_module(), kHeavyCoreDoc);
  py::module_ module = m;
  def_method(cls, "__init__",
             [module](py::object self, py::object config, py::object fortress_config, py::object cross_attn_mode,
                      py::object shared_backbone) {
               construct(module, self, config, fortress_config, cross_attn_mode, shared_backbone);
             },
             nullptr, arg("config", "TevUnifiedConfig"), arg("fortress_config", "Optional[FortressUnbrokenConfig]") = py::none(),
             arg("cross_attn_mode", "str") = "linear", arg("shared_backbone", "bool") = false);
  def_safe_symmetric_kl(cls, SyncErrorMember::HeavyCore);
  def_method(cls, "forward",
             [module](py::object self, py::object x, py::object state) { return forward(module, self, x, state); },
             kForwardDoc, arg("x", "torch.Tensor"), arg("state", "Optional[Dict]") = py::none(),
             returns("Tuple[torch.Tensor, Dict]"));
}

}  // namespace kestrel::heavy

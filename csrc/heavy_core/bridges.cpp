// The cross-headed attention bridges: queries from the fast stream, keys and values from the slow
// stream, the global pressure sharpening the attention. MorvaCrossAttention is exact causal softmax
// attention; LinearMorvaCrossAttention is causal kernelised attention of linear cost in the length.
#include "heavy_core/heavy_core.h"

#include "kernels/attention.h"
#include "kernels/op_support.h"
#include "runtime/gil.h"

#include <ATen/Dispatch.h>
#include <c10/core/impl/LocalDispatchKeySet.h>
#include <torch/csrc/autograd/custom_function.h>
#include <torch/csrc/utils/disable_torch_function.h>

#include <array>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace kestrel::heavy {
namespace {

constexpr const char* kQuadraticDoc =
    "Cross-headed attention bridge, quadratic: causal softmax attention of the fast stream (queries)\n"
    "over the slow stream (keys and values), scale (1 + p) / sqrt(d_head) for the pressure p.";

constexpr const char* kLinearDoc =
    "Cross-headed attention bridge, linear: kernelised attention with the features elu(x) + 1, the\n"
    "query features raised to the power 1 + p for the pressure p. Cost and key-value summary grow\n"
    "linearly with the length; like the quadratic bridge it is causal: position i reads slow\n"
    "positions 0 to i only.";

constexpr const char* kProjections[] = {"q_proj", "k_proj", "v_proj", "out_proj"};

py::object floor_div(const py::handle& a, const py::handle& b) {
  PyObject* r = PyNumber_FloorDivide(a.ptr(), b.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

py::object remainder(const py::handle& a, const py::handle& b) {
  PyObject* r = PyNumber_Remainder(a.ptr(), b.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

void bridge_init(py::object self, py::object d_model_arg, py::object n_heads_arg) {
  py::int_ d_model = arg_exact_int(d_model_arg, "d_model");
  py::int_ n_heads = arg_exact_int(n_heads_arg, "n_heads");
  require_setting(d_model, "d_model", Need::NonNegative);
  require_setting(n_heads, "n_heads", Need::Positive);
  init_module_base(self);
  set_attr(self, "n_heads", n_heads);
  set_attr(self, "d_head", floor_div(d_model, n_heads));
  if (g_assertions && truth(remainder(d_model, n_heads))) {
    raise(PyExc_AssertionError, "d_model must be divisible by n_heads");
  }
  py::object linear = py::module_::import("torch.nn").attr("Linear");
  for (const char* name : kProjections) set_attr(self, name, linear(d_model, d_model));
}

// The pressure value p: a one-element tensor as it is, the mean of a larger one, anything else as
// it is once its element count has been asked.
py::object pressure_value(const py::object& pressure) {
  if (is_tensor(pressure) && from_py(pressure).numel() == 1) return pressure;
  py::object count = pressure.attr("numel")();
  if (count > py::int_(1)) return pressure.attr("mean")();
  return pressure;
}

struct Heads {
  int64_t batch, length, width, n_heads, d_head;
};

Heads heads_of(const py::object& self, const at::Tensor& x_fast) {
  const auto sizes = unpack_shape_counted(x_fast, 3);
  return Heads{sizes[0], sizes[1], sizes[2], arg_int(self.attr("n_heads"), "n_heads"),
               arg_int(self.attr("d_head"), "d_head")};
}

// proj(x) viewed as [B, L, n_heads, d_head].
at::Tensor project(const py::object& self, const char* proj, const py::object& x, const Heads& h) {
  return call_tensor(child(self, proj), x, proj).view({h.batch, h.length, h.n_heads, h.d_head});
}

py::object quadratic_forward(py::object self, py::object x_fast, py::object x_slow, py::object pressure) {
  const Heads h = heads_of(self, arg_tensor(x_fast, "x_fast"));
  at::Tensor q = project(self, "q_proj", x_fast, h).transpose(1, 2);
  at::Tensor k = project(self, "k_proj", x_slow, h).transpose(1, 2);
  at::Tensor v = project(self, "v_proj", x_slow, h).transpose(1, 2);
  py::object p = pressure_value(pressure);
  py::object root = py::module_::import("math").attr("sqrt")(self.attr("d_head"));
  py::object scale = (py::float_(1.0) + p) / root;
  const double scale_value = to_double(scale);
  at::Tensor out = kernels::causal_attention(q, k, v, scale_value);
  out = out.transpose(1, 2).contiguous().view({h.batch, h.length, h.width});
  return child(self, "out_proj")(to_py(out));
}

// ---------------------------------------------------------------------------------------------
// The linear bridge of plain layers as one autograd node.
//
// With plain nn.Linear projections the bridge is four linear layers around the key features, the
// query features and the linear attention: about twenty autograd nodes, each costing more than
// its arithmetic at small sizes. The node below runs the same operations forwards and, backwards,
// the very formulas those nodes apply (the matrix-product gradients in the operand order the
// tensor library's own backward uses), so the values are the same as through the separate nodes.
// A graph of the backward (double backward) differentiates the composition instead.

using Grads2 = std::tuple<at::Tensor, at::Tensor>;
using Grads3 = std::tuple<at::Tensor, at::Tensor, at::Tensor>;
using LinearSignature = at::Tensor(const at::Tensor&, const at::Tensor&, const at::Tensor&);
using LinearBackwardSignature = Grads3(const at::Tensor&, const at::Tensor&, const at::Tensor&, const at::Tensor&,
                                       const at::Tensor&);
using FeaturesSignature = at::Tensor(const at::Tensor&, const at::Tensor&);
using FeaturesBackwardSignature = Grads2(const at::Tensor&, const at::Tensor&, const at::Tensor&, const at::Tensor&,
                                         bool);

// Inputs of the node, in order: x_fast, x_slow, exponent, then weight and bias of q, k, v, out.
enum BridgeInput : size_t { kFast, kSlow, kExponent, kWq, kBq, kWk, kBk, kWv, kBv, kWo, kBo, kBridgeInputs };

// The bridge written in differentiable operations: the path the separate nodes take.
at::Tensor bridge_composition(const std::vector<at::Tensor>& in, int64_t n_heads) {
  const at::Tensor& x_fast = in[kFast];
  const int64_t B = x_fast.size(0), L = x_fast.size(1), D = x_fast.size(2), dh = D / n_heads;
  at::Tensor q = at::linear(x_fast, in[kWq], in[kBq]).view({B, L, n_heads, dh});
  at::Tensor k = at::linear(in[kSlow], in[kWk], in[kBk]).view({B, L, n_heads, dh});
  at::Tensor v = at::linear(in[kSlow], in[kWv], in[kBv]).view({B, L, n_heads, dh});
  k = at::elu(k).add_(1.0);
  q = kernels::linear_attention_features(q, in[kExponent]);
  at::Tensor out = kernels::linear_attention(q, k, v).reshape({B, L, D});
  return at::linear(out, in[kWo], in[kBo]);
}

// t.add_(1) for the ELU's result: in one pass over a contiguous host tensor of float or double,
// each sum rounded as add_ rounds it.
at::Tensor plus_one(at::Tensor t) {
  const at::ScalarType dtype = t.scalar_type();
  if ((dtype != at::kFloat && dtype != at::kDouble) || !t.is_contiguous() || !readable_in_place(t)) {
    return t.add_(number_like(t, 1.0));
  }
  AT_DISPATCH_FLOATING_TYPES(t.scalar_type(), "bridge_key_features", [&] {
    scalar_t* p = t.data_ptr<scalar_t>();
    for (int64_t i = 0, n = t.numel(); i < n; ++i) p[i] = p[i] + static_cast<scalar_t>(1);
  });
  mark_written(t);
  return t;
}

class LinearBridgeFunction : public torch::autograd::Function<LinearBridgeFunction> {
 public:
  static at::Tensor forward(torch::autograd::AutogradContext* ctx, const at::Tensor& x_fast, const at::Tensor& x_slow,
                            const at::Tensor& exponent, const at::Tensor& wq, const at::Tensor& bq,
                            const at::Tensor& wk, const at::Tensor& bk, const at::Tensor& wv, const at::Tensor& bv,
                            const at::Tensor& wo, const at::Tensor& bo, int64_t n_heads) {
    const int64_t B = x_fast.size(0), L = x_fast.size(1), D = x_fast.size(2), dh = D / n_heads;
    static auto features_op = kernels::kestrel_op<FeaturesSignature>("kestrel::linear_attention_features");
    static auto attention_op = kernels::kestrel_op<LinearSignature>("kestrel::linear_attention");
    // The products at::linear makes of the contiguous [B, L, D] inputs, without its dispatch around them.
    const at::Tensor q = rows_linear(x_fast, wq, bq).view({B, L, n_heads, dh});
    const at::Tensor k = rows_linear(x_slow, wk, bk).view({B, L, n_heads, dh});
    const at::Tensor v = rows_linear(x_slow, wv, bv).view({B, L, n_heads, dh});
    at::Tensor k_features, q_features, attended;
    {
      at::AutoDispatchBelowADInplaceOrView below;
      k_features = plus_one(at::elu(k));
      q_features = features_op.call(q, exponent);
      attended = attention_op.call(q_features, k_features, v);
    }
    ctx->save_for_backward({x_fast, x_slow, exponent, wq, bq, wk, bk, wv, bv, wo, bo});
    ctx->saved_data["n_heads"] = n_heads;
    ctx->saved_data["q"] = q;
    ctx->saved_data["k"] = k;
    ctx->saved_data["v"] = v;
    ctx->saved_data["q_features"] = q_features;
    ctx->saved_data["k_features"] = k_features;
    ctx->saved_data["attended"] = attended;
    return rows_linear(attended.view({B, L, D}), wo, bo);
  }

  static torch::autograd::variable_list backward(torch::autograd::AutogradContext* ctx,
                                                 torch::autograd::variable_list grads) {
    const at::Tensor& grad = grads[0];
    torch::autograd::variable_list result(kBridgeInputs + 1);
    if (!grad.defined()) return result;
    const auto saved = ctx->get_saved_variables();
    const int64_t n_heads = ctx->saved_data["n_heads"].toInt();
    if (at::GradMode::is_enabled()) {
      auto vjp = kernels::reference_vjp(
          [n_heads](const std::vector<at::Tensor>& in) { return bridge_composition(in, n_heads); },
          std::vector<at::Tensor>(saved.begin(), saved.end()), grad);
      for (size_t i = 0; i < kBridgeInputs; ++i) result[i] = vjp[i];
      return result;
    }
    auto needs = [ctx](size_t i) { return ctx->needs_input_grad(i); };
    const at::Tensor& x_fast = saved[kFast];
    const int64_t B = x_fast.size(0), L = x_fast.size(1), D = x_fast.size(2);
    const int64_t N = B * L;
    const at::Tensor q = ctx->saved_data["q"].toTensor(), k = ctx->saved_data["k"].toTensor(),
                     v = ctx->saved_data["v"].toTensor();
    const at::Tensor q_features = ctx->saved_data["q_features"].toTensor();
    const at::Tensor k_features = ctx->saved_data["k_features"].toTensor();
    const at::Tensor attended = ctx->saved_data["attended"].toTensor();

    // out = addmm(bo, mixed, wo^T): as the product's own backward forms each gradient.
    auto linear_grads = [&](const at::Tensor& g, const at::Tensor& input, size_t w, size_t b) {
      if (needs(w)) result[w] = g.t().mm(input);
      if (needs(b)) result[b] = at::sum_to(g, saved[b].sizes());
    };
    // [N, D] rows of a gradient: a view when it is contiguous, as reshape would give it.
    auto rows = [N, D](const at::Tensor& t) { return t.is_contiguous() ? t.view({N, D}) : t.reshape({N, D}); };
    const at::Tensor g_out = rows(grad);
    linear_grads(g_out, attended.view({N, D}), kWo, kBo);
    const bool q_side = needs(kFast) || needs(kWq) || needs(kBq) || needs(kExponent);
    const bool k_side = needs(kSlow) || needs(kWk) || needs(kBk);
    const bool v_side = needs(kSlow) || needs(kWv) || needs(kBv);
    if (!q_side && !k_side && !v_side) return result;

    static auto attention_backward =
        kernels::kestrel_op<LinearBackwardSignature>("kestrel::_linear_attention_backward");
    static auto features_backward =
        kernels::kestrel_op<FeaturesBackwardSignature>("kestrel::_linear_attention_features_backward");
    const at::Tensor g_attended = g_out.mm(saved[kWo]).view(attended.sizes());
    // Without a graph the kernels' backward operators are called past their boxed autograd
    // fallback, which would only pass the call on.
    auto [g_qf, g_kf, g_v] = [&] {
      at::AutoDispatchBelowADInplaceOrView below;
      return attention_backward.call(g_attended, q_features, k_features, v, attended);
    }();
    at::Tensor g_slow;
    if (q_side) {
      auto [g_q, g_exponent] = [&] {
        at::AutoDispatchBelowADInplaceOrView below;
        return features_backward.call(g_qf, q, saved[kExponent], q_features, needs(kExponent));
      }();
      if (needs(kExponent)) result[kExponent] = g_exponent;
      const at::Tensor g = rows(g_q);
      linear_grads(g, x_fast.view({N, D}), kWq, kBq);
      if (needs(kFast)) result[kFast] = g.mm(saved[kWq]).view({B, L, D});
    }
    const at::Tensor x_slow = saved[kSlow].view({N, D});
    if (k_side) {
      const at::Tensor g = rows(at::elu_backward(g_kf, 1.0, 1.0, 1.0, false, k));
      linear_grads(g, x_slow, kWk, kBk);
      if (needs(kSlow)) g_slow = g.mm(saved[kWk]);
    }
    if (v_side) {
      const at::Tensor g = rows(g_v);
      linear_grads(g, x_slow, kWv, kBv);
      if (needs(kSlow)) g_slow = g_slow.add(g.mm(saved[kWv]));
    }
    if (needs(kSlow)) result[kSlow] = g_slow.view({B, L, D});
    return result;
  }
};

bool autocast_on() {
  return !c10::impl::tls_is_dispatch_key_excluded(c10::DispatchKey::AutocastCPU);
}

// The bridge's inputs for the single node, or nothing when the call is not the plain case: the
// four projections plain linear layers with biases (see plain_linear), both streams contiguous
// [B, L, D] of one floating dtype and device with the layers, D split evenly into the heads, and
// the exponent a plain one-element tensor. Anything else takes the path of separate calls, with
// its hooks, overrides and errors.
std::optional<std::array<at::Tensor, kBridgeInputs>> plain_bridge(const py::object& self, const py::object& x_fast,
                                                                   const py::object& x_slow,
                                                                   const py::object& exponent, const Heads& h) {
  if (!is_tensor(x_slow) || torch::check_has_torch_function(x_slow.ptr()) || autocast_on()) return {};
  std::array<at::Tensor, kBridgeInputs> in;
  in[kFast] = from_py(x_fast);
  in[kSlow] = from_py(x_slow);
  in[kExponent] = from_py(exponent);
  const at::Tensor& xf = in[kFast];
  const auto dtype = xf.scalar_type();
  if (dtype != at::kFloat && dtype != at::kDouble) return {};
  if (h.width == 0 || h.batch * h.length == 0 || h.n_heads * h.d_head != h.width) return {};
  if (!xf.is_contiguous() || !in[kSlow].is_contiguous() || in[kSlow].sizes() != xf.sizes()) return {};
  if (in[kSlow].scalar_type() != dtype || in[kSlow].device() != xf.device()) return {};
  if (in[kExponent].numel() != 1 || in[kExponent].dim() > 4 || in[kExponent].scalar_type() != dtype ||
      in[kExponent].device() != xf.device()) {
    return {};
  }
  size_t slot = kWq;
  for (const char* name : kProjections) {
    const PlainLinear layer = plain_linear(child(self, name), x_fast);
    if (!layer.plain || !layer.bias.defined()) return {};
    for (const at::Tensor& t : {layer.weight, layer.bias}) {
      if (t.scalar_type() != dtype || t.device() != xf.device() || t.is_sparse()) return {};
    }
    if (layer.weight.dim() != 2 || layer.weight.size(0) != h.width || layer.weight.size(1) != h.width ||
        layer.bias.dim() != 1 || layer.bias.size(0) != h.width) {
      return {};
    }
    in[slot++] = layer.weight;
    in[slot++] = layer.bias;
  }
  return in;
}

// p + 1: on the host number, in its dtype as the addition rounds it, for a host scalar that
// takes no gradient.
at::Tensor exponent_of(const at::Tensor& p) {
  const at::ScalarType dtype = p.scalar_type();
  if ((dtype != at::kFloat && dtype != at::kDouble) || !is_host_scalar(p, dtype) || p.requires_grad()) {
    return at::add(p, 1.0);
  }
  at::Tensor exponent = at::empty({}, p.options());
  AT_DISPATCH_FLOATING_TYPES(dtype, "bridge_exponent", [&] {
    *exponent.data_ptr<scalar_t>() = *p.data_ptr<scalar_t>() + static_cast<scalar_t>(1);
  });
  return exponent;
}

py::object linear_forward(py::object self, py::object x_fast, py::object x_slow, py::object pressure) {
  const Heads h = heads_of(self, arg_tensor(x_fast, "x_fast"));
  if (is_tensor(pressure) && !torch::check_has_torch_function(pressure.ptr()) && from_py(pressure).numel() == 1) {
    // The pressure as it is, so 1 + p is the exponent.
    const py::object exponent = to_py(exponent_of(from_py(pressure)));
    if (auto in = plain_bridge(self, x_fast, x_slow, exponent, h)) {
      const auto& t = *in;
      return to_py(without_gil([&] {
        return LinearBridgeFunction::apply(t[kFast], t[kSlow], t[kExponent], t[kWq], t[kBq], t[kWk], t[kBk], t[kWv],
                                           t[kBv], t[kWo], t[kBo], h.n_heads);
      }));
    }
  }
  at::Tensor q = project(self, "q_proj", x_fast, h);
  at::Tensor k = project(self, "k_proj", x_slow, h);
  at::Tensor v = project(self, "v_proj", x_slow, h);
  // The ELU's backward reads its input, never its result, so the result takes the + 1 in place.
  k = without_gil([&] { return at::elu(k).add_(1.0); });
  py::object exponent = py::float_(1.0) + pressure_value(pressure);
  if (is_tensor(exponent)) {
    // Feature map and sharpening in one operator: (elu(q) + 1) ** (1 + p).
    q = kernels::linear_attention_features(q, from_py(exponent));
  } else {
    q = without_gil([&] { return at::elu(q).add_(1.0); });
    q = from_py(py::module_::import("torch").attr("pow")(to_py(q), exponent));
  }
  at::Tensor out = kernels::linear_attention(q, k, v).reshape({h.batch, h.length, h.width});
  return child(self, "out_proj")(to_py(out));
}

using BridgeForward = py::object (*)(py::object, py::object, py::object, py::object);

// A bridge class's forward as defined, and the C++ forward behind it.
struct BridgeClass {
  OwnMethod method;
  BridgeForward forward = nullptr;
};
std::vector<BridgeClass>& bridge_classes() {
  static auto* classes = new std::vector<BridgeClass>();  // lives until exit, as the classes do
  return *classes;
}

void define_bridge(py::module_& m, const char* name, const char* doc, BridgeForward forward) {
  py::object cls = new_class(m, name, nn_module(), doc);
  def_method(cls, "__init__", &bridge_init, nullptr, arg("d_model", "int"), arg("n_heads", "int") = 8);
  py::object function =
      def_method(cls, "forward", forward, "Bridge output [B, L, D] for the fast stream reading the slow stream.",
                 arg("x_fast", "torch.Tensor"), arg("x_slow", "torch.Tensor"), arg("pressure", "torch.Tensor"),
                 returns("torch.Tensor"));
  BridgeClass bridge{OwnMethod(), forward};
  bridge.method.keep(cls, "forward", function);
  bridge_classes().push_back(bridge);
}

}  // namespace

py::object call_bridge(const py::object& bridge, const py::object& x_fast, const py::object& x_slow,
                       const py::object& pressure) {
  for (const BridgeClass& c : bridge_classes()) {
    if (c.method.called_by(bridge)) return c.method.run([&] { return c.forward(bridge, x_fast, x_slow, pressure); });
  }
  return bridge(x_fast, x_slow, pressure);
}

void define_cross_attention(py::module_& m) {
  define_bridge(m, "MorvaCrossAttention", kQuadraticDoc, &quadratic_forward);
  define_bridge(m, "LinearMorvaCrossAttention", kLinearDoc, &linear_forward);
}

}  // namespace kestrel::heavy

// KestrelCausalLM: token embedding, one core chosen by variant name, and an output head tied to the
// embedding; logits scaled by 1/sqrt(d_model) and the shifted, optionally masked next-token loss.
// KestrelCausalLMLayered: the same head around a plain chain of war engine blocks, unscaled.
#include "kestrel_model/kestrel_model.h"
#include "runtime/module_paths.h"

#include <torch/csrc/autograd/custom_function.h>
#include <torch/csrc/autograd/grad_mode.h>
#include <torch/csrc/jit/frontend/tracer.h>
#include <torch/csrc/utils/python_arg_parser.h>

#include <cmath>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <limits>
#include <vector>

namespace kestrel::model {
namespace {

constexpr const char* kCausalLMDoc =
    "Causal language model: token embedding -> core -> output head tied to the embedding.\n"
    "\n"
    "The core is chosen once, at construction, by config.morva_variant (lower-cased): 'fu'\n"
    "('v7.2.2-fu', '7.2.2-fu', '722-fu') the fortress-only core, 'lite' ('v8.2a', '8.2a',\n"
    "'morva-8.2a') the lite dual-path core, 'fu-64' ('kestrel-fu-64', 'fu64') the stacked\n"
    "backbone, 'fu-64-bounded' ('fu64-bounded') the bounded stacked backbone, and anything else\n"
    "the heavy core. forward(input_ids, labels=None, loss_mask=None) returns {'loss', 'logits',\n"
    "'morva'}: the logits are the head's output divided by sqrt(d_model), the loss the shifted\n"
    "next-token cross-entropy, optionally weighted by the mask.";

constexpr const char* kLayeredDoc =
    "Causal language model of one war engine block per layer: token embedding -> n_layers\n"
    "v7.2.2-FU blocks chained without residuals -> output head tied to the embedding.\n"
    "\n"
    "The target layout of checkpoints translated from other state-space language models: the\n"
    "blocks' keys sit under layers.{i}. forward(input_ids, labels=None) returns {'loss',\n"
    "'logits', 'layers'}: unscaled logits, the shifted next-token cross-entropy, and every\n"
    "block's diagnostics in layer order.";

constexpr const char* kFortressEngineRelative = "architectures.heavy_core.fortress_engine";

// The variant name: config.morva_variant ("heavy" when the record has no such attribute), as text,
// lower-cased.
py::object variant_name(const py::object& config) {
  PyObject* value = PyObject_GetAttrString(config.ptr(), "morva_variant");
  py::object name;
  if (value) {
    name = py::reinterpret_steal<py::object>(value);
  } else {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    name = py::str("heavy");
  }
  if (!PyUnicode_Check(name.ptr())) name = py::str(name);
  return name.attr("lower")();
}

bool is_one_of(const py::object& name, std::initializer_list<const char*> spellings) {
  for (const char* s : spellings) {
    if (PyUnicode_CompareWithASCIIString(name.ptr(), s) == 0) return true;
  }
  return false;
}

void causal_lm_init(py::object self, py::object config) {
  check_model_config(config);
  init_module_base(self);
  set_attr(self, "config", config);
  py::module_ m = this_module();
  py::object d_model = config.attr("d_model");
  py::object d_state = config.attr("d_state");
  py::object n_layers = config.attr("n_layers");
  py::object rt_config = m.attr("TevUnifiedConfig")(py::arg("d_model") = d_model, py::arg("d_state") = d_state,
                                                   py::arg("n_layers") = n_layers);
  py::object fortress_cfg = m.attr("FortressUnbrokenConfig")(py::arg("enable_vgt") = true,
                                                            py::arg("beta_pressure") = 0.4);
  const py::object name = variant_name(config);
  py::object core;
  if (is_one_of(name, {"fu", "v7.2.2-fu", "7.2.2-fu", "722-fu"})) {
    py::object cls = lazy_import("architectures.fortress_core.fortress_core", {"FortressFUCore"})[0];
    core = cls(rt_config, fortress_cfg);
  } else if (is_one_of(name, {"lite", "v8.2a", "8.2a", "morva-8.2a"})) {
    py::object cls = lazy_import("architectures.lite_core.lite_core", {"ZuravMorvaV8_2"})[0];
    core = cls(rt_config, fortress_cfg);
  } else if (is_one_of(name, {"fu-64", "kestrel-fu-64", "fu64"})) {
    core = m.attr("KestrelBackboneFU64")(rt_config, fortress_cfg);
  } else if (is_one_of(name, {"fu-64-bounded", "fu64-bounded"})) {
    core = m.attr("KestrelBackboneFU64Bounded")(rt_config, fortress_cfg);
  } else {
    py::object mode = config.attr("cross_attn_mode");
    py::object shared = config.attr("shared_backbone");
    core = m.attr("ZuravMorvaV8_2H")(rt_config, fortress_cfg, py::arg("cross_attn_mode") = mode,
                                     py::arg("shared_backbone") = shared);
  }
  set_attr(self, "core", core);
  build_tied_head(self, config);
}

// A positive, finite power of two: dividing by it rounds nothing (short of the subnormal range).
bool is_power_of_two(double v) {
  if (!(v > 0.0) || !std::isfinite(v)) return false;
  int exponent = 0;
  return std::frexp(v, &exponent) == 0.5;
}

// lm_head(hidden) / root. When root is a power of two and the head is a plain linear map, the
// division moves onto the smaller operand of the product, the hidden states or the weight:
// scaling by a power of two commutes with every rounding of the product, so the logits and
// every gradient are the same numbers, and the [B, L, vocab] quotient and its gradient are never
// made. The head's weight and the state dict are untouched.
py::object scaled_logits(const py::object& self, const py::object& hidden, const py::object& root) {
  py::object head = module_attr(self, "lm_head");
  // The head taken as its weight when calling it would do nothing but F.linear(hidden, weight): an
  // exact nn.Linear without bias, no hook or replaced forward, plain tensors on both sides.
  const PlainLinear plain = PyFloat_Check(root.ptr()) && is_power_of_two(PyFloat_AS_DOUBLE(root.ptr()))
                                ? plain_linear(head, hidden)
                                : PlainLinear();
  if (plain.plain && !plain.bias.defined()) {
    const double r = PyFloat_AS_DOUBLE(root.ptr());
    const at::Tensor h = from_py(hidden);
    const at::Tensor& w = plain.weight;
    const bool scale_input = h.numel() <= w.numel();
    // The divisor as the zero-dimensional operand the division would make of the number, made
    // directly (for float and double; other dtypes divide by the number).
    const at::Tensor& scaled = scale_input ? h : w;
    const bool direct = scaled.scalar_type() == at::kFloat || scaled.scalar_type() == at::kDouble;
    const at::Tensor quotient = direct ? scaled.div(number_like(scaled, r)) : scaled.div(r);
    return to_py(linear_rows(scale_input ? quotient : h, scale_input ? w : quotient));
  }
  return head(hidden) / root;
}

// embed(ids): for a plain nn.Embedding without max_norm or padding index, called with a plain
// tensor, the torch.embedding(weight, ids, -1, scale_grad_by_freq, sparse) its forward comes down
// to; the module's own call otherwise.
py::object embedded(const py::object& embed, const py::object& ids) {
  if (is_tensor(ids) && !torch::check_has_torch_function(ids.ptr()) && plain_module(embed, "Embedding")) {
    PyObject* dict = PyObject_GenericGetDict(embed.ptr(), nullptr);
    if (!dict) throw py::error_already_set();
    const py::object owner = py::reinterpret_steal<py::object>(dict);
    PyObject* parameters = PyDict_GetItem(dict, interned("_parameters").ptr());
    PyObject* weight = parameters && PyDict_Check(parameters) ? PyDict_GetItem(parameters, interned("weight").ptr()) : nullptr;
    PyObject* max_norm = PyDict_GetItem(dict, interned("max_norm").ptr());
    PyObject* padding_idx = PyDict_GetItem(dict, interned("padding_idx").ptr());
    PyObject* by_freq = PyDict_GetItem(dict, interned("scale_grad_by_freq").ptr());
    PyObject* sparse = PyDict_GetItem(dict, interned("sparse").ptr());
    if (!PyDict_GetItem(dict, interned("weight").ptr()) && weight && THPVariable_Check(weight) &&
        !torch::check_has_torch_function(weight, /*ignore_mode=*/true) && max_norm == Py_None &&
        padding_idx == Py_None && by_freq && PyBool_Check(by_freq) && sparse && PyBool_Check(sparse)) {
      return to_py(at::embedding(THPVariable_Unpack(weight), from_py(ids), -1, by_freq == Py_True, sparse == Py_True));
    }
  }
  return embed(ids);
}

py::dict causal_lm_forward(py::object self, py::object input_ids, py::object labels, py::object loss_mask) {
  py::object x = embedded(module_attr(self, "embed_tokens"), input_ids);
  auto result = unpack(call_module(module_attr(self, "core"), x), 2);
  py::object root = this_module().attr(interned("math")).attr(interned("sqrt"))(self.attr(interned("config")).attr(interned("d_model")));
  py::object logits = scaled_logits(self, result[0], root);
  py::object loss = labels.is_none() ? py::none() : shifted_loss(logits, labels, loss_mask);
  py::dict out;
  out["loss"] = loss;
  out["logits"] = logits;
  out["morva"] = result[1];
  return out;
}

void layered_init(py::object self, py::object config) {
  check_model_config(config);
  init_module_base(self);
  set_attr(self, "config", config);
  auto engine = lazy_import(kFortressEngineRelative,
                            {"WarEngineTevZOZU_V722_FU", "TevUnifiedConfig", "FortressUnbrokenConfig"});
  py::object d_model = config.attr("d_model");
  py::object d_state = config.attr("d_state");
  py::object rt_config = engine[1](py::arg("d_model") = d_model, py::arg("d_state") = d_state,
                                   py::arg("n_layers") = 1);
  py::object fortress_cfg = engine[2](py::arg("enable_vgt") = true, py::arg("beta_pressure") = 0.4);
  py::list blocks;
  for (py::handle i : py::module_::import("builtins").attr("range")(config.attr("n_layers"))) {
    (void)i;
    blocks.append(engine[0](rt_config, fortress_cfg));
  }
  set_attr(self, "layers", this_module().attr("nn").attr("ModuleList")(blocks));
  build_tied_head(self, config);
}

py::dict layered_forward(py::object self, py::object input_ids, py::object labels) {
  py::object x = self.attr(interned("embed_tokens"))(input_ids);
  py::list layer_diagnostics;
  for (py::handle block : self.attr(interned("layers"))) {
    auto result = unpack(block.attr(interned("forward_with_diagnostics"))(x, py::arg("state") = py::none(),
                                                                py::arg("return_diagnostics") = true),
                         2);
    x = result[0];
    layer_diagnostics.append(result[1]);
  }
  py::object logits = self.attr(interned("lm_head"))(x);
  py::object loss = labels.is_none() ? py::none() : shifted_loss(logits, labels, py::none());
  py::dict out;
  out["loss"] = loss;
  out["logits"] = logits;
  out["layers"] = layer_diagnostics;
  return out;
}

// ---------------------------------------------------------------------------------------------
// Loss

py::object getitem(const py::object& t, const py::object& key) { return t.attr(interned("__getitem__"))(key); }

// The shifted loss written as slices: logits[..., :-1, :], labels[..., 1:], loss_mask[..., 1:].
py::object sliced_loss(const py::object& logits, const py::object& labels, const py::object& loss_mask) {
  py::object slice = py::module_::import("builtins").attr(interned("slice"));
  py::object ellipsis = py::reinterpret_borrow<py::object>(Py_Ellipsis);
  py::object all = slice(py::none());
  py::object but_last = slice(py::none(), -1);
  py::object from_second = slice(1, py::none());
  const at::Tensor shift_logits =
      arg_tensor(getitem(logits, py::make_tuple(ellipsis, but_last, all)).attr(interned("contiguous"))(), "shift_logits");
  const at::Tensor shift_labels =
      arg_tensor(getitem(labels, py::make_tuple(ellipsis, from_second)).attr(interned("contiguous"))(), "shift_labels");
  const int64_t classes = shift_logits.size(-1);
  const at::Tensor flat_logits = shift_logits.view({-1, classes});
  const at::Tensor flat_labels = shift_labels.view({-1});
  if (loss_mask.is_none()) return to_py(at::cross_entropy_loss(flat_logits, flat_labels));
  const at::Tensor shift_mask =
      arg_tensor(getitem(loss_mask, py::make_tuple(ellipsis, from_second)).attr(interned("contiguous"))(), "shift_mask")
          .to(at::kFloat);
  const at::Tensor per_token =
      at::cross_entropy_loss(flat_logits, flat_labels, {}, at::Reduction::None).view(shift_labels.sizes());
  return to_py((per_token * shift_mask).sum() / shift_mask.sum().clamp_min(1));
}

}  // namespace

namespace {

constexpr int64_t kIgnoreIndex = -100;

// dst = src * factor over n elements of rows that do not overlap, in blocks of eight the compiler
// turns into vector products (each element's product the same), then the rest.
inline void scaled_row(const float* __restrict src, float factor, float* __restrict dst, int64_t n) {
  int64_t j = 0;
  for (; j + 8 <= n; j += 8) {
    for (int64_t k = 0; k < 8; ++k) dst[j + k] = src[j + k] * factor;
  }
  for (; j < n; ++j) dst[j] = src[j] * factor;
}

// The mean next-token cross-entropy of float32 CPU logits [N, V] against targets [N] (each in
// [0, V) or the ignore index; `index` [N, 1] the targets with 0 for the ignored ones, `counted`
// [N] which rows count, `count` > 0 of them): the number cross_entropy(logits, targets) gives,
// within rounding. The exponentials are taken once: the forward keeps exp(logits - row max) and the
// row sums, and the backward writes the gradient, softmax(logits) minus the target's indicator,
// scaled, from them in one [N, V] tensor, where the composed form keeps the log-probabilities and
// adds a zero-filled [N, V] gradient and the log-softmax's own. A graph of the gradient is taken
// from the logits.
// The loss's gradient exps * (scale / sums), then -scale added at each row's target, with scale the
// gradient's share g / count on counted rows and 0 on the others: one pass over host memory for
// float32 values there, each operation rounded as the tensor operations round it. Undefined
// elsewhere.
at::Tensor host_loss_gradient(const at::Tensor& g, const at::Tensor& exps, const at::Tensor& sums,
                              const at::Tensor& index, const at::Tensor& counted, int64_t count) {
  if (!is_host_scalar(g, at::kFloat) || exps.scalar_type() != at::kFloat || sums.scalar_type() != at::kFloat ||
      !exps.is_contiguous() || !sums.is_contiguous() || !readable_in_place(exps) || !readable_in_place(sums) ||
      exps.dim() != 2 || sums.numel() != exps.size(0)) {
    return at::Tensor();
  }
  const int64_t rows = exps.size(0), classes = exps.size(1);
  const bool all = count == rows;
  const float share = *static_cast<const float*>(g.data_ptr()) / static_cast<float>(static_cast<double>(count));
  at::Tensor grad = at::empty_like(exps);
  const float* e = exps.data_ptr<float>();
  const float* sum = sums.data_ptr<float>();
  const int64_t* target = index.data_ptr<int64_t>();
  const bool* use = counted.data_ptr<bool>();
  float* out = grad.data_ptr<float>();
  for (int64_t i = 0; i < rows; ++i) {
    const float scale = all || use[i] ? share : 0.0f;
    const float factor = scale / sum[i];
    const float* row = e + i * classes;
    float* dst = out + i * classes;
    scaled_row(row, factor, dst, classes);
    dst[target[i]] = dst[target[i]] + -scale;
  }
  return grad;
}

// The maximum of a float row as amax takes it: nan when the row holds one. Running maxima and
// masks of the nans met, in SSE registers where there are some.
inline float row_max(const float* __restrict row, int64_t n) {
  float best = -std::numeric_limits<float>::infinity();
  bool nan = false;
  int64_t j = 0;
#if defined(__SSE2__)
  // Four chains of four lanes each, so that the maxima do not wait on one another.
  __m128 lanes[4] = {_mm_set1_ps(best), _mm_set1_ps(best), _mm_set1_ps(best), _mm_set1_ps(best)};
  __m128 nans[4] = {_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps()};
  for (; j + 16 <= n; j += 16) {
    for (int c = 0; c < 4; ++c) {
      const __m128 v = _mm_loadu_ps(row + j + 4 * c);
      lanes[c] = _mm_max_ps(v, lanes[c]);  // v > lanes ? v : lanes
      nans[c] = _mm_or_ps(nans[c], _mm_cmpunord_ps(v, v));
    }
  }
  for (; j + 4 <= n; j += 4) {
    const __m128 v = _mm_loadu_ps(row + j);
    lanes[0] = _mm_max_ps(v, lanes[0]);
    nans[0] = _mm_or_ps(nans[0], _mm_cmpunord_ps(v, v));
  }
  alignas(16) float lane[16];
  for (int c = 0; c < 4; ++c) {
    _mm_store_ps(lane + 4 * c, lanes[c]);
    nan = nan || _mm_movemask_ps(nans[c]) != 0;
  }
  for (float v : lane) best = v > best ? v : best;
#endif
  for (; j < n; ++j) {
    const float v = row[j];
    best = v > best ? v : best;
    nan = nan || v != v;
  }
  return nan ? std::numeric_limits<float>::quiet_NaN() : best;
}

// dst = src - shift over n elements of rows that do not overlap, in blocks of eight as scaled_row.
inline void shifted_row(const float* __restrict src, float shift, float* __restrict dst, int64_t n) {
  int64_t j = 0;
  for (; j + 8 <= n; j += 8) {
    for (int64_t k = 0; k < 8; ++k) dst[j + k] = src[j + k] - shift;
  }
  for (; j < n; ++j) dst[j] = src[j] - shift;
}

// The loss of contiguous float32 logits [N, V] in host memory: the exponentials and their row
// sums as the tensor form below takes them (the row maxima and differences are exact, so a host
// pass gives their very bits; the exponentials and the sums stay the library's, whose rounding
// and summation order are its own), and the mean of the counted rows' log-probabilities
// accumulated on the host. Undefined for other logits.
at::Tensor host_token_loss(const at::Tensor& logits, const at::Tensor& index, const at::Tensor& counted,
                           int64_t count, at::Tensor& exps, at::Tensor& sums) {
  if (logits.scalar_type() != at::kFloat || !logits.is_contiguous() || !readable_in_place(logits)) {
    return at::Tensor();
  }
  const int64_t rows = logits.size(0), classes = logits.size(1);
  const float* l = logits.data_ptr<float>();
  std::vector<float> shift(static_cast<size_t>(rows));
  exps = at::empty_like(logits);
  float* e = exps.data_ptr<float>();
  for (int64_t i = 0; i < rows; ++i) {
    shift[i] = row_max(l + i * classes, classes);
    shifted_row(l + i * classes, shift[i], e + i * classes, classes);
  }
  exps.exp_();
  sums = exps.sum(1, /*keepdim=*/true);
  const float* sum = sums.data_ptr<float>();
  const int64_t* target = index.data_ptr<int64_t>();
  const bool* use = counted.data_ptr<bool>();
  const bool all = count == rows;
  double total = 0.0;
  for (int64_t i = 0; i < rows; ++i) {
    if (all || use[i]) total += (l[i * classes + target[i]] - shift[i]) - std::log(sum[i]);
  }
  return at::scalar_tensor(-total / static_cast<double>(count), logits.options());
}

// Contiguous logits [..., V] as their rows [N, V] (themselves when they are two-dimensional).
at::Tensor as_rows(const at::Tensor& logits) {
  return logits.dim() == 2 ? logits : logits.view({-1, logits.size(-1)});
}

class TokenCrossEntropy : public torch::autograd::Function<TokenCrossEntropy> {
 public:
  // logits: contiguous, [..., V], taken as its rows [N, V]; its gradient comes back in its own
  // shape, so a caller with [B, L, V] logits needs no view of its own in the graph.
  static at::Tensor forward(torch::autograd::AutogradContext* ctx, const at::Tensor& given, const at::Tensor& index,
                            const at::Tensor& counted, int64_t count) {
    const at::Tensor logits = as_rows(given);
    // One pass of exponentials, kept for the backward: softmax(logits) = exps / sums.
    at::Tensor exps, sums;
    at::Tensor loss = host_token_loss(logits, index, counted, count, exps, sums);
    if (!loss.defined()) {
      const at::Tensor shift = logits.amax(1, /*keepdim=*/true);
      exps = (logits - shift).exp_();
      sums = exps.sum(1, /*keepdim=*/true);
      at::Tensor picked = (logits.gather(1, index) - shift - sums.log()).squeeze(1);
      if (count != logits.size(0)) picked = at::where(counted, picked, at::zeros({}, picked.options()));
      loss = picked.sum().div_(-static_cast<double>(count));
    }
    ctx->save_for_backward({given});
    ctx->saved_data["exps"] = exps;
    ctx->saved_data["sums"] = sums;
    ctx->saved_data["index"] = index;
    ctx->saved_data["counted"] = counted;
    ctx->saved_data["count"] = count;
    return loss;
  }

  static torch::autograd::variable_list backward(torch::autograd::AutogradContext* ctx,
                                                 torch::autograd::variable_list grads) {
    const at::Tensor& g = grads[0];
    const torch::autograd::variable_list none(4);
    if (!g.defined() || !ctx->needs_input_grad(0)) return none;
    const at::Tensor given = ctx->get_saved_variables()[0];
    const int64_t rows = given.numel() / given.size(-1);
    const at::Tensor index = ctx->saved_data["index"].toTensor();
    const at::Tensor counted = ctx->saved_data["counted"].toTensor();
    const int64_t count = ctx->saved_data["count"].toInt();
    // d loss / d logits[i] = (softmax(logits[i]) - onehot(target[i])) * g / count on counted
    // rows, softmax(logits[i]) * 0 on the others: 0, or nan where the row is not finite, as the
    // composed form gives.
    auto scaled = [&] {
      const at::Tensor share = g / static_cast<double>(count);
      return count == rows ? share.expand({rows, 1})
                           : at::where(counted, share, at::zeros({}, share.options())).unsqueeze(1);
    };
    at::Tensor grad;
    if (at::GradMode::is_enabled()) {  // a graph of the gradient: differentiable operations
      const at::Tensor scale = scaled();
      grad = at::softmax(as_rows(given), 1).mul(scale).scatter_add(1, index, scale.neg());
    } else {
      const at::Tensor exps = ctx->saved_data["exps"].toTensor();
      const at::Tensor sums = ctx->saved_data["sums"].toTensor();
      grad = host_loss_gradient(g, exps, sums, index, counted, count);
      if (!grad.defined()) {
        const at::Tensor scale = scaled();
        grad = exps.mul(scale / sums);
        grad.scatter_add_(1, index, scale.neg());
      }
    }
    torch::autograd::variable_list out = none;
    out[0] = given.dim() == 2 ? grad : grad.view(given.sizes());
    return out;
  }
};

// The fused loss of float32 CPU logits [..., V] of N rows against N targets, target(i) the i-th,
// read on the host; undefined when one is neither in [0, V) nor the ignore index, when none counts,
// or while a trace is recorded (a trace keeps tensor operations only): the caller then takes the
// library's cross-entropy, with its own error or result.
template <typename Target>
at::Tensor fused_token_loss(const at::Tensor& logits, int64_t n, const Target& target) {
  if (torch::jit::tracer::isTracing() || !logits.device().is_cpu() || logits.scalar_type() != at::kFloat ||
      logits.dim() < 2 || logits.size(-1) == 0 || n != logits.numel() / logits.size(-1)) {
    return at::Tensor();
  }
  const int64_t classes = logits.size(-1);
  const auto options = at::TensorOptions().dtype(at::kLong);
  at::Tensor index = at::empty({n, 1}, options);
  at::Tensor counted = at::empty({n}, options.dtype(at::kBool));
  int64_t* idx = index.data_ptr<int64_t>();
  bool* use = counted.data_ptr<bool>();
  int64_t count = 0;
  for (int64_t i = 0; i < n; ++i) {
    const int64_t t = target(i);
    use[i] = t != kIgnoreIndex;
    if (use[i] && !(t >= 0 && t < classes)) return at::Tensor();
    idx[i] = use[i] ? t : 0;
    count += use[i];
  }
  if (count == 0) return at::Tensor();
  return TokenCrossEntropy::apply(logits.contiguous(), index, counted, count);
}

// Targets that can be read where they lie: a contiguous int64 tensor in host memory.
bool host_targets(const at::Tensor& t) {
  return t.scalar_type() == at::kLong && t.is_contiguous() && readable_in_place(t);
}

// cross_entropy(flat_logits, flat_targets), mean over the counted targets.
at::Tensor token_cross_entropy(const at::Tensor& flat_logits, const at::Tensor& flat_targets) {
  if (host_targets(flat_targets) && flat_targets.dim() == 1) {
    const int64_t* t = flat_targets.data_ptr<int64_t>();
    const at::Tensor loss = fused_token_loss(flat_logits, flat_targets.numel(), [t](int64_t i) { return t[i]; });
    if (loss.defined()) return loss;
  }
  return at::cross_entropy_loss(flat_logits, flat_targets);
}

}  // namespace

// The same sums without copying the shifted logits: every position is scored against the label
// one step ahead, the last position against the ignore index (mask weight 0), so only the labels
// and the mask are shifted. Used where labels and mask line up with the logits; any other input
// takes the sliced form, whose errors are the library's own.
py::object shifted_loss(const py::object& logits_obj, const py::object& labels_obj, const py::object& mask_obj) {
  if (!is_tensor(logits_obj) || !is_tensor(labels_obj) || !(mask_obj.is_none() || is_tensor(mask_obj))) {
    return sliced_loss(logits_obj, labels_obj, mask_obj);
  }
  const at::Tensor logits = from_py(logits_obj), labels = from_py(labels_obj);
  const bool aligned = labels.dim() >= 1 && logits.dim() == labels.dim() + 1 &&
                       logits.sizes().slice(0, labels.dim()) == labels.sizes() && labels.scalar_type() == at::kLong &&
                       labels.size(-1) >= 1 && logits.size(-1) >= 1 &&
                       (mask_obj.is_none() || from_py(mask_obj).sizes() == labels.sizes());
  if (!aligned) return sliced_loss(logits_obj, labels_obj, mask_obj);

  const int64_t length = labels.size(-1);
  const int64_t classes = logits.size(-1);
  if (mask_obj.is_none() && host_targets(labels)) {
    // The shifted targets read straight from the labels: the next label, the ignore index last.
    const int64_t* l = labels.data_ptr<int64_t>();
    const at::Tensor loss = fused_token_loss(logits, labels.numel(), [l, length](int64_t i) {
      return i % length == length - 1 ? kIgnoreIndex : l[i + 1];
    });
    if (loss.defined()) return to_py(loss);
  }
  const at::Tensor flat_logits = logits.reshape({-1, classes});
  const at::Tensor targets =
      at::cat({labels.narrow(-1, 1, length - 1), at::full_like(labels.narrow(-1, 0, 1), -100)}, -1);
  if (mask_obj.is_none()) return to_py(token_cross_entropy(flat_logits, targets.reshape({-1})));
  const at::Tensor mask = from_py(mask_obj);
  const at::Tensor weights =
      at::cat({mask.narrow(-1, 1, length - 1).to(at::kFloat),
               at::zeros_like(mask.narrow(-1, 0, 1), at::TensorOptions().dtype(at::kFloat))},
              -1);
  const at::Tensor per_token =
      at::cross_entropy_loss(flat_logits, targets.reshape({-1}), {}, at::Reduction::None).view(labels.sizes());
  return to_py((per_token * weights).sum() / weights.sum().clamp_min(1));
}

void build_tied_head(const py::object& self, const py::object& config) {
  py::object nn = this_module().attr("nn");
  py::object vocab = config.attr("vocab_size");
  py::object width = config.attr("d_model");
  set_attr(self, "embed_tokens", nn.attr("Embedding")(vocab, width));
  width = config.attr("d_model");
  vocab = config.attr("vocab_size");
  set_attr(self, "lm_head", nn.attr("Linear")(width, vocab, py::arg("bias") = false));
  set_attr(self.attr("lm_head"), "weight", self.attr("embed_tokens").attr("weight"));
}

void define_causal_lm(py::module_& m) {
  py::object cls = new_class(m, "KestrelCausalLM", nn_module(), kCausalLMDoc);
  def_method(cls, "__init__", &causal_lm_init, nullptr, arg("config", "KestrelModelConfig"));
  def_method(cls, "forward", &causal_lm_forward,
             "input_ids [B, L] (labels [B, L] and loss_mask [B, L] optional) -> {'loss', 'logits', 'morva'}.",
             arg("input_ids", "torch.Tensor"), arg("labels", "Optional[torch.Tensor]") = py::none(),
             arg("loss_mask", "Optional[torch.Tensor]") = py::none(), returns("Dict[str, Any]"));
}

void define_layered_lm(py::module_& m) {
  py::object cls = new_class(m, "KestrelCausalLMLayered", nn_module(), kLayeredDoc);
  def_method(cls, "__init__", &layered_init, nullptr, arg("config", "KestrelModelConfig"));
  def_method(cls, "forward", &layered_forward,
             "input_ids [B, L] (labels [B, L] optional) -> {'loss', 'logits', 'layers'}.",
             arg("input_ids", "torch.Tensor"), arg("labels", "Optional[torch.Tensor]") = py::none(),
             returns("Dict[str, Any]"));
}

}  // namespace kestrel::model

// OptimizedMorvaRadar: a causal long convolution along the sequence, one generated filter per
// channel, computed with zero-padded real FFTs of power-of-two length.
#include "heavy_core/heavy_core.h"

#include "runtime/gil.h"

#include <torch/csrc/autograd/custom_function.h>
#include <torch/csrc/autograd/grad_mode.h>

#include <list>
#include <mutex>

namespace kestrel::heavy {
namespace {

constexpr const char* kRadarDoc =
    "Global radar: causal FFT long convolution of the hidden states along the sequence.\n"
    "\n"
    "Every channel has its own filter, generated on each call by a small network (Linear 1->64,\n"
    "SiLU, Linear 64->d_model) from the positions s / (max_l - 1). The convolution runs in float32\n"
    "through real FFTs zero-padded to the power of two at least 2 L, so nothing wraps around, and\n"
    "costs O(L log L). A sequence longer than max_l meets a filter of max_l taps.";

// 2 ** (2 L - 1).bit_length(): the smallest power of two that is at least 2 L.
int64_t fft_length(int64_t length) {
  int64_t v = 2 * length - 1;
  if (v < 0) v = -v;
  int bits = 0;
  while (v) {
    ++bits;
    v >>= 1;
  }
  return int64_t(1) << bits;
}

void radar_init(py::object self, py::object d_model_arg, py::object max_l_arg) {
  py::int_ d_model = arg_exact_int(d_model_arg, "d_model");
  py::int_ max_l = arg_exact_int(max_l_arg, "max_l");
  require_setting(d_model, "d_model", Need::NonNegative);
  require_setting(max_l, "max_l", Need::NonNegative);
  init_module_base(self);
  set_attr(self, "d_model", d_model);
  set_attr(self, "max_l", max_l);
  py::module_ nn = py::module_::import("torch.nn");
  set_attr(self, "filter_gen",
           nn.attr("Sequential")(nn.attr("Linear")(1, 64), nn.attr("SiLU")(), nn.attr("Linear")(64, d_model)));
  py::object positions = py::module_::import("torch").attr("linspace")(0.0, 1.0, max_l).attr("view")(-1, 1);
  self.attr("register_buffer")("pos_indices", positions);
}

// ---------------------------------------------------------------------------------------------
// The filter spectrum. A filter that does not learn (the heavy core freezes its radar, and no
// filter learns under no_grad) gives the same taps call after call, so its spectrum is kept and
// reused while the taps are bitwise the ones it was computed from: any change of the parameters
// (an optimiser step, a load, an in-place edit, another dtype or device) misses. A few spectra are
// kept, the most recently used first, each filter at most 16M taps.

class SpectrumCache {
 public:
  at::Tensor get(const at::Tensor& taps, int64_t n_fft) {
    if (taps.numel() > kMaxTaps) return at::fft_rfft(taps, n_fft, -1);
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->n_fft == n_fft && it->taps.device() == taps.device() && it->taps.scalar_type() == taps.scalar_type() &&
          it->taps.sizes() == taps.sizes() && at::equal(it->taps, taps)) {
        entries_.splice(entries_.begin(), entries_, it);
        return entries_.front().spectrum;
      }
    }
    at::Tensor spectrum = at::fft_rfft(taps, n_fft, -1);
    entries_.push_front(Entry{taps.clone(), n_fft, spectrum});
    if (entries_.size() > kEntries) entries_.pop_back();
    return spectrum;
  }

 private:
  struct Entry {
    at::Tensor taps;
    int64_t n_fft;
    at::Tensor spectrum;
  };
  static constexpr size_t kEntries = 4;
  static constexpr int64_t kMaxTaps = int64_t(1) << 24;
  std::mutex mutex_;
  std::list<Entry> entries_;
};

SpectrumCache& spectrum_cache() {
  static SpectrumCache* cache = new SpectrumCache();  // lives until exit: no teardown order to meet
  return *cache;
}

// t [B, L, D] as a contiguous channel-major [B, D, n_fft], zero beyond L: the transform's input
// in one copy (a real FFT of a strided input, or one that pads, copies it again first).
at::Tensor padded_channels(const at::Tensor& t, int64_t n_fft) {
  const int64_t L = t.size(1);
  if (at::GradMode::is_enabled() && t.requires_grad()) return at::constant_pad_nd(t.transpose(1, 2), {0, n_fft - L});
  at::Tensor out = at::empty({t.size(0), t.size(2), n_fft}, t.options());
  out.narrow(-1, L, n_fft - L).zero_();
  out.narrow(-1, 0, L).copy_(t.transpose(1, 2));
  return out;
}

// y = causal convolution of x [B, L, D] with taps [D, L'] (L' <= L), per channel, through real
// FFTs of length n_fft >= 2 L; y is [B, L, D], contiguous, of the operands' dtype.
//
// The backward is the adjoint convolution: with G = rfft(g) and H = rfft(taps),
//   dx    = irfft(G * conj(H))[:L]             (a correlation of g with the filter)
//   dtaps = irfft(sum_b G * conj(rfft(x)))[:L'] (only when the taps learn)
// which never wraps around for the same reason the forward does not. It is written in
// differentiable operations on the saved inputs, so a graph built through it is exact as well.
// Any zero-sized dimension gives an empty result and zero gradients.
class RadarConvolution : public torch::autograd::Function<RadarConvolution> {
 public:
  static at::Tensor forward(torch::autograd::AutogradContext* ctx, const at::Tensor& x, const at::Tensor& taps,
                            int64_t n_fft) {
    const int64_t L = x.size(1);
    ctx->saved_data["n_fft"] = n_fft;
    ctx->saved_data["length"] = L;
    ctx->saved_data["taps"] = taps.size(1);
    if (x.numel() == 0 || taps.numel() == 0) {
      ctx->saved_data["empty"] = true;
      ctx->saved_data["x_sizes"] = x.sizes().vec();
      ctx->saved_data["taps_sizes"] = taps.sizes().vec();
      return at::zeros(x.sizes(), x.options());
    }
    ctx->saved_data["empty"] = false;
    const bool filter_learns = taps.requires_grad();
    const at::Tensor h_spec = filter_learns ? at::fft_rfft(taps, n_fft, -1) : spectrum_cache().get(taps, n_fft);
    ctx->saved_data["h_spec"] = h_spec;
    // Channel-major, so every transform runs along the innermost axis: [B, D, N/2 + 1].
    at::Tensor spectrum = at::fft_rfft(padded_channels(x, n_fft), c10::nullopt, -1);
    spectrum.mul_(h_spec);
    if (filter_learns) {
      ctx->save_for_backward({x, taps});
    } else {
      ctx->save_for_backward({});
    }
    return at::fft_irfft(spectrum, n_fft, -1).narrow(-1, 0, L).transpose(1, 2).contiguous();
  }

  static torch::autograd::variable_list backward(torch::autograd::AutogradContext* ctx,
                                                 torch::autograd::variable_list grads) {
    if (ctx->saved_data["empty"].toBool()) {
      const at::Tensor& g = grads[0];
      const auto options = g.defined() ? g.options() : at::TensorOptions();
      return {at::zeros(ctx->saved_data["x_sizes"].toIntVector(), options),
              at::zeros(ctx->saved_data["taps_sizes"].toIntVector(), options), at::Tensor()};
    }
    const int64_t n_fft = ctx->saved_data["n_fft"].toInt();
    const int64_t L = ctx->saved_data["length"].toInt();
    const int64_t taps_length = ctx->saved_data["taps"].toInt();
    const at::Tensor& g = grads[0];
    if (!g.defined()) return {at::Tensor(), at::Tensor(), at::Tensor()};
    const bool graph = at::GradMode::is_enabled();
    at::Tensor g_spec = at::fft_rfft(padded_channels(g, n_fft), c10::nullopt, -1);
    at::Tensor h_spec = ctx->saved_data["h_spec"].toTensor();
    at::Tensor d_taps;
    if (ctx->needs_input_grad(1)) {
      const auto saved = ctx->get_saved_variables();
      const at::Tensor& x = saved[0];
      const at::Tensor& taps = saved[1];
      if (graph) h_spec = at::fft_rfft(taps, n_fft, -1);  // differentiable in the taps
      const at::Tensor x_spec = at::fft_rfft(padded_channels(x, n_fft), c10::nullopt, -1);
      d_taps = at::fft_irfft((g_spec * x_spec.conj()).sum(0), n_fft, -1).narrow(-1, 0, taps_length);
    }
    at::Tensor d_x;
    if (ctx->needs_input_grad(0)) {
      at::Tensor product = graph ? g_spec * h_spec.conj() : g_spec.mul_(h_spec.conj());
      d_x = at::fft_irfft(product, n_fft, -1).narrow(-1, 0, L).transpose(1, 2).contiguous();
    }
    return {d_x, d_taps, at::Tensor()};
  }
};

py::object radar_forward(py::object self, py::object x_arg) {
  at::Tensor x = arg_tensor(x_arg, "x");
  const auto sizes = unpack_shape_counted(x, 3);
  const int64_t L = sizes[1], D = sizes[2];

  at::Tensor positions = buffer(self, "pos_indices").slice(0, 0, L);
  at::Tensor taps = call_tensor(child(self, "filter_gen"), to_py(positions), "filter_gen").permute({1, 0});
  const int64_t channels = taps.size(0);
  if (D != channels) {
    // Each channel has its own filter: no broadcasting of one over the other.
    raise(PyExc_RuntimeError, "The size of tensor a (" + std::to_string(D) + ") must match the size of tensor b (" +
                                  std::to_string(channels) + ") at non-singleton dimension 2");
  }
  at::Tensor y = without_gil(
      [&] { return RadarConvolution::apply(x.to(at::kFloat), taps.to(at::kFloat), fft_length(L)).to(x.scalar_type()); });
  return to_py(y);
}

}  // namespace

at::Tensor call_tensor(const py::object& module, const py::handle& input, const char* what) {
  py::object result = module(input);
  if (!is_tensor(result)) raise_arg_type(what, "Tensor", result);
  return from_py(result);
}

double to_double(const py::handle& value) {
  const double r = PyFloat_AsDouble(value.ptr());
  if (r == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return r;
}

void define_radar(py::module_& m) {
  py::object cls = new_class(m, "OptimizedMorvaRadar", nn_module(), kRadarDoc);
  def_method(cls, "__init__", &radar_init, nullptr, arg("d_model", "int"), arg("max_l", "int") = 65536);
  def_method(cls, "forward", &radar_forward,
             "Causal long convolution: [B, L, d_model] -> [B, L, d_model], in the input's dtype.",
             arg("x", "torch.Tensor"), returns("torch.Tensor"));
}

}  // namespace kestrel::heavy

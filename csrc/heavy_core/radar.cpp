// OptimizedMorvaRadar: a causal long convolution along the sequence, one generated filter per
// channel, computed with zero-padded real FFTs of power-of-two length.
#include "heavy_core/heavy_core.h"

#include "runtime/gil.h"
#include "runtime/memo.h"


#include <torch/csrc/autograd/custom_function.h>
#include <torch/csrc/autograd/grad_mode.h>
#include <torch/csrc/jit/frontend/tracer.h>

#include <ATen/Parallel.h>

#include <algorithm>
#include <list>
#include <mutex>
#include <vector>

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
  // rfft(taps, n_fft).
  at::Tensor get(const at::Tensor& taps, int64_t n_fft) {
    if (taps.numel() > kMaxTaps) return make(taps, n_fft);
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->n_fft == n_fft && it->taps.device() == taps.device() && it->taps.scalar_type() == taps.scalar_type() &&
          it->taps.sizes() == taps.sizes() && at::equal(it->taps, taps)) {
        entries_.splice(entries_.begin(), entries_, it);
        return entries_.front().spectrum;
      }
    }
    entries_.push_front(Entry{taps.clone(), n_fft, make(taps, n_fft)});
    if (entries_.size() > kEntries) entries_.pop_back();
    return entries_.front().spectrum;
  }

 private:
  static at::Tensor make(const at::Tensor& taps, int64_t n_fft) { return at::fft_rfft(taps, n_fft, -1); }
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

// ---------------------------------------------------------------------------------------------
// Filtering a spectrum. Every bin is multiplied as (ar br - ai bi, ar bi + ai br), each product
// rounded on its own. ATen's complex product rounds the elements its vectorised loop leaves over
// another way, so the same bin would get other bits in a block of channels than in the whole
// batch; the blocked and the batched forms both filter through this instead.

using ComplexFloat = c10::complex<float>;

// s[0, F) *= h[0, F) (or its conjugate).
inline void filter_bins(ComplexFloat* s, const ComplexFloat* h, int64_t F, bool conjugate) {
  const float sign = conjugate ? -1.0f : 1.0f;
  for (int64_t k = 0; k < F; ++k) {
    const float ar = s[k].real(), ai = s[k].imag();
    const float br = h[k].real(), bi = sign * h[k].imag();
    s[k] = ComplexFloat(ar * br - ai * bi, ar * bi + ai * br);
  }
}

// Not while a trace is recorded: a trace keeps tensor operations only.
bool filters_in_place(const at::Tensor& spectrum, const at::Tensor& filter) {
  return !torch::jit::tracer::isTracing() && spectrum.device().is_cpu() && filter.device().is_cpu() &&
         spectrum.scalar_type() == at::kComplexFloat && filter.scalar_type() == at::kComplexFloat && spectrum.is_contiguous() && filter.is_contiguous() &&
         !spectrum.is_conj() && !filter.is_conj() && spectrum.dim() == 3 && filter.dim() == 2 &&
         spectrum.size(1) == filter.size(0) && spectrum.size(2) == filter.size(1);
}

// spectrum [B, D, F] *= filter [D, F] (or its conjugate), in place, in parallel over the rows;
// returns the spectrum.
at::Tensor filter_spectrum(const at::Tensor& spectrum, const at::Tensor& filter, bool conjugate) {
  if (!filters_in_place(spectrum, filter)) return at::Tensor(spectrum).mul_(conjugate ? filter.conj() : filter);
  const int64_t D = spectrum.size(1), F = spectrum.size(2);
  ComplexFloat* s = spectrum.data_ptr<ComplexFloat>();
  const ComplexFloat* h = filter.data_ptr<ComplexFloat>();
  at::parallel_for(0, spectrum.size(0) * D, std::max<int64_t>(1, (int64_t(1) << 15) / std::max<int64_t>(F, 1)),
                   [&](int64_t begin, int64_t end) {
                     for (int64_t r = begin; r < end; ++r) filter_bins(s + r * F, h + (r % D) * F, F, conjugate);
                   });
  return spectrum;
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

// out[b, :, c] = irfft(rfft(t[b, :, c] zero-padded to n_fft) * filter[c], n_fft)[:L] (with the
// filter's conjugate when `conjugate`) for a float32 t [B, L, D] and a complex filter
// [D, n_fft/2 + 1], both contiguous; out is [B, L, D].
//
// The transforms run on blocks of (batch row, channel) sequences, in parallel over the blocks:
// each block is gathered channel-major into a small buffer that stays in cache (its zero padding
// is written once per thread), transformed, filtered and scattered back. Every temporary is a few
// tens of kilobytes, reused from the allocator's free lists call after call, instead of whole
// [B, D, n_fft] spectra that come back from the system, zero-filled, on every call; a small
// problem is one block. Each sequence goes through the very transforms the batched form applies
// to it: the result is the same.
// The output and the input are touched through their pointers only (an inference tensor cannot
// be written by ATen calls outside inference mode, and the workers do not inherit that mode).
void convolve_blocks(const at::Tensor& t, const at::Tensor& filter, int64_t n_fft, bool conjugate,
                     const at::Tensor& out) {
  const int64_t B = t.size(0), L = t.size(1), D = t.size(2);
  const int64_t sequences = B * D;
  // About 32 KB of input a block, a multiple of 8 sequences.
  constexpr int64_t kBlockFloats = int64_t(1) << 13;
  const int64_t rows = std::min(sequences, std::max<int64_t>(8, kBlockFloats / n_fft / 8 * 8));
  const int64_t blocks = (sequences + rows - 1) / rows;
  // Below about a quarter of a million padded samples the work is too small to share.
  constexpr int64_t kSerialFloats = int64_t(1) << 18;
  const int64_t grain = std::max<int64_t>(1, kSerialFloats / (rows * n_fft));
  const float* src = t.data_ptr<float>();
  float* dst = out.data_ptr<float>();
  TORCH_INTERNAL_ASSERT(filter.scalar_type() == at::kComplexFloat && filter.is_contiguous() && !filter.is_conj());
  const int64_t F = filter.size(1);
  const ComplexFloat* h = filter.data_ptr<ComplexFloat>();
  // Calls f(b, c0, c1, r) for the runs of channels [c0, c1) of one batch row b that make up the
  // sequences [first, first + n), r being the run's first row in the block.
  auto for_runs = [D](int64_t first, int64_t n, auto&& f) {
    for (int64_t q = first, r = 0; r < n;) {
      const int64_t b = q / D, c0 = q % D;
      const int64_t c1 = std::min(D, c0 + (n - r));
      f(b, c0, c1, r);
      r += c1 - c0;
      q += c1 - c0;
    }
  };
  at::parallel_for(0, blocks, grain, [&](int64_t begin, int64_t end) {
    at::Tensor buffer = at::zeros({rows, n_fft}, t.options());
    float* buf = buffer.data_ptr<float>();
    for (int64_t block = begin; block < end; ++block) {
      const int64_t first = block * rows;
      const int64_t n = std::min(rows, sequences - first);
      for_runs(first, n, [&](int64_t b, int64_t c0, int64_t c1, int64_t r0) {
        for (int64_t s = 0; s < L; ++s) {
          const float* row = src + (b * L + s) * D;
          for (int64_t c = c0; c < c1; ++c) buf[(r0 + c - c0) * n_fft + s] = row[c];
        }
      });
      at::Tensor spectrum = at::fft_rfft(buffer.narrow(0, 0, n), c10::nullopt, -1).contiguous();
      ComplexFloat* bins = spectrum.data_ptr<ComplexFloat>();
      for_runs(first, n, [&](int64_t, int64_t c0, int64_t c1, int64_t r0) {
        for (int64_t c = c0; c < c1; ++c) filter_bins(bins + (r0 + c - c0) * F, h + c * F, F, conjugate);
      });
      const at::Tensor filtered = at::fft_irfft(spectrum, n_fft, -1).contiguous();
      const float* res = filtered.data_ptr<float>();
      for_runs(first, n, [&](int64_t b, int64_t c0, int64_t c1, int64_t r0) {
        for (int64_t s = 0; s < L; ++s) {
          float* row = dst + (b * L + s) * D;
          for (int64_t c = c0; c < c1; ++c) row[c] = res[(r0 + c - c0) * n_fft + s];
        }
      });
    }
  });
}

// ---------------------------------------------------------------------------------------------
// Short sequences. Up to kDirectLength positions the convolution is summed directly, a few
// hundred multiply-adds a sequence, which costs less than the transforms' set-up: x [B, L, D] and
// taps [D, T] float32 and contiguous, every sum taken over the taps in order, vectorised across
// the channels. The sums are those of the transforms up to rounding.

constexpr int64_t kDirectLength = 32;

bool direct_covers(const at::Tensor& x, const at::Tensor& taps) {
  return x.size(1) <= kDirectLength && x.scalar_type() == at::kFloat && taps.scalar_type() == at::kFloat &&
         readable_in_place(x) && readable_in_place(taps);
}

// taps [D, T] as [T, D]: the channel runs along the rows. Read through the strides (the radar's
// taps are the transpose of the filter network's [T, D] output, already in this order).
std::vector<float> taps_by_lag(const at::Tensor& taps) {
  const int64_t D = taps.size(0), T = taps.size(1);
  const int64_t channel_stride = taps.stride(0), lag_stride = taps.stride(1);
  const float* src = taps.data_ptr<float>();
  std::vector<float> out(static_cast<size_t>(D * T));
  for (int64_t k = 0; k < T; ++k) {
    for (int64_t c = 0; c < D; ++c) out[static_cast<size_t>(k * D + c)] = src[c * channel_stride + k * lag_stride];
  }
  return out;
}

// y[b, s] = sum_{k <= s} h[k] * x[b, s - k] (channel-wise); the adjoint, with `adjoint`,
// y[b, s] = sum_{s + k < L} h[k] * x[b, s + k].
void direct_convolution(const float* x, const float* h, float* y, int64_t B, int64_t L, int64_t D, int64_t T,
                        bool adjoint) {
  for (int64_t b = 0; b < B; ++b) {
    const float* xb = x + b * L * D;
    for (int64_t s = 0; s < L; ++s) {
      float* __restrict row = y + (b * L + s) * D;
      for (int64_t c = 0; c < D; ++c) row[c] = 0.0f;
      const int64_t taps = std::min(T, adjoint ? L - s : s + 1);
      for (int64_t k = 0; k < taps; ++k) {
        const float* __restrict hk = h + k * D;
        const float* __restrict xs = xb + (adjoint ? s + k : s - k) * D;
#pragma omp simd
        for (int64_t c = 0; c < D; ++c) row[c] += hk[c] * xs[c];
      }
    }
  }
}

// dtaps[c, k] = sum_b sum_{s >= k} g[b, s, c] x[b, s - k, c].
at::Tensor direct_taps_grad(const float* g, const float* x, int64_t B, int64_t L, int64_t D, int64_t T,
                            const at::TensorOptions& options) {
  std::vector<float> by_lag(static_cast<size_t>(T * D), 0.0f);
  for (int64_t k = 0; k < T; ++k) {
    float* __restrict acc = by_lag.data() + k * D;
    for (int64_t b = 0; b < B; ++b) {
      for (int64_t s = k; s < L; ++s) {
        const float* __restrict gs = g + (b * L + s) * D;
        const float* __restrict xs = x + (b * L + s - k) * D;
#pragma omp simd
        for (int64_t c = 0; c < D; ++c) acc[c] += gs[c] * xs[c];
      }
    }
  }
  at::Tensor out = at::empty({D, T}, options);
  float* dst = out.data_ptr<float>();
  for (int64_t c = 0; c < D; ++c) {
    for (int64_t k = 0; k < T; ++k) dst[c * T + k] = by_lag[static_cast<size_t>(k * D + c)];
  }
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
    if (direct_covers(x, taps)) {
      ctx->saved_data["direct"] = true;
      ctx->save_for_backward({x, taps});
      const at::Tensor xc = x.contiguous();
      const std::vector<float> h = taps_by_lag(taps);
      at::Tensor y = at::empty(x.sizes(), x.options());
      direct_convolution(xc.data_ptr<float>(), h.data(), y.data_ptr<float>(), x.size(0), L, x.size(2), taps.size(1),
                         false);
      return y;
    }
    if (!filter_learns) {
      const at::Tensor h_spec = spectrum_cache().get(taps, n_fft);
      ctx->saved_data["h_spec"] = h_spec;
      ctx->save_for_backward({});
      if (x.device().is_cpu() && !torch::jit::tracer::isTracing()) {
        // A fixed filter on the CPU: the blocked transforms both ways, the cached spectrum's
        // conjugate back (not while a trace is recorded: a trace keeps tensor operations only).
        ctx->saved_data["blocked"] = true;
        const at::Tensor y = at::empty(x.sizes(), x.options());
        convolve_blocks(x.contiguous(), h_spec, n_fft, false, y);
        return y;
      }
    } else {
      ctx->saved_data["h_spec"] = at::fft_rfft(taps, n_fft, -1);
      ctx->save_for_backward({x, taps});
    }
    // Channel-major, so every transform runs along the innermost axis: [B, D, N/2 + 1].
    at::Tensor spectrum = at::fft_rfft(padded_channels(x, n_fft), c10::nullopt, -1);
    filter_spectrum(spectrum, ctx->saved_data["h_spec"].toTensor(), false);
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
    if (ctx->saved_data.count("direct")) {
      const auto saved = ctx->get_saved_variables();
      const at::Tensor& x = saved[0];
      const at::Tensor& taps = saved[1];
      const at::Tensor g_float = g.to(at::kFloat).contiguous();
      if (graph || !readable_in_place(g_float)) {
        // A graph of the backward: the transforms' form below, differentiable in g and the taps.
        ctx->saved_data["h_spec"] = at::fft_rfft(taps, n_fft, -1);
      } else {
        const int64_t B = x.size(0), D = x.size(2), T = taps.size(1);
        at::Tensor d_x, d_taps;
        if (ctx->needs_input_grad(0)) {
          const std::vector<float> h = taps_by_lag(taps);
          d_x = at::empty(x.sizes(), x.options());
          direct_convolution(g_float.data_ptr<float>(), h.data(), d_x.data_ptr<float>(), B, L, D, T, true);
        }
        if (ctx->needs_input_grad(1)) {
          d_taps = direct_taps_grad(g_float.data_ptr<float>(), x.contiguous().data_ptr<float>(), B, L, D, T,
                                    taps.options());
        }
        return {d_x, d_taps, at::Tensor()};
      }
    }
    if (!graph && !ctx->needs_input_grad(1) && ctx->saved_data.count("blocked")) {
      if (!ctx->needs_input_grad(0)) return {at::Tensor(), at::Tensor(), at::Tensor()};
      const at::Tensor g_float = g.to(at::kFloat).contiguous();
      at::Tensor d_x = at::empty(g_float.sizes(), g_float.options());
      convolve_blocks(g_float, ctx->saved_data["h_spec"].toTensor(), n_fft, true, d_x);
      return {d_x.to(g.scalar_type()), at::Tensor(), at::Tensor()};
    }
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
      const at::Tensor product = graph ? g_spec * h_spec.conj() : filter_spectrum(g_spec, h_spec, true);
      d_x = at::fft_irfft(product, n_fft, -1).narrow(-1, 0, L).transpose(1, 2).contiguous();
    }
    return {d_x, d_taps, at::Tensor()};
  }
};

// The radar's own network without a graph (frozen, as in the heavy core, or under no_grad) gives
// the same taps for the same positions and weights: the taps are kept, with copies of what they
// were computed from, and reused while every input is bitwise the same (a few networks, the most
// recently used first). Any change (an optimiser step, a load, an edit through .data or in place,
// another dtype, shape or length) misses and computes anew.
ContentMemo& taps_memo() {
  static ContentMemo* memo = new ContentMemo(4, int64_t(1) << 18);  // lives until exit: no teardown order to meet
  return *memo;
}

// The taps filter_gen(positions) gives. The radar's own network, a plain Sequential of a plain
// Linear, a SiLU that does not work in place and a plain Linear, runs as those three operations;
// any other network (replaced, hooked, patched) is called as it is.
at::Tensor filter_taps(const py::object& filter_gen, const at::Tensor& positions) {
  py::object positions_obj = to_py(positions);
  if (plain_module(filter_gen, "Sequential")) {
    py::object layers = filter_gen.attr("_modules");
    if (PyDict_Check(layers.ptr()) && PyDict_Size(layers.ptr()) == 3) {
      // In the order the Sequential runs them: its registry's values.
      std::vector<py::object> stages;
      for (py::handle stage : layers.attr("values")()) stages.push_back(py::reinterpret_borrow<py::object>(stage));
      const PlainLinear first = plain_linear(stages[0], positions_obj);
      const PlainLinear last = plain_linear(stages[2], positions_obj);
      if (first.plain && last.plain && plain_module(stages[1], "SiLU")) {
        PyObject* in_place = PyObject_GetAttrString(stages[1].ptr(), "inplace");
        if (!in_place) throw py::error_already_set();
        const bool silu_in_place = py::reinterpret_steal<py::object>(in_place).ptr() != Py_False;
        if (!silu_in_place && first.bias.defined() && last.bias.defined()) {
          return taps_memo().get({positions, first.weight, first.bias, last.weight, last.bias}, [&] {
            return ContentMemo::Tensors{
                at::linear(at::silu(at::linear(positions, first.weight, first.bias)), last.weight, last.bias)};
          })[0];
        }
        if (!silu_in_place) {
          return at::linear(at::silu(at::linear(positions, first.weight, first.bias)), last.weight, last.bias);
        }
      }
    }
  }
  return call_tensor(filter_gen, positions_obj, "filter_gen");
}

py::object radar_forward(py::object self, py::object x_arg) {
  at::Tensor x = arg_tensor(x_arg, "x");
  const auto sizes = unpack_shape_counted(x, 3);
  const int64_t L = sizes[1], D = sizes[2];

  at::Tensor positions = buffer(self, "pos_indices").slice(0, 0, L);
  at::Tensor taps = filter_taps(child(self, "filter_gen"), positions).permute({1, 0});
  const int64_t channels = taps.size(0);
  if (D != channels) {
    // Each channel has its own filter: no broadcasting of one over the other.
    raise(PyExc_RuntimeError, "The size of tensor a (" + std::to_string(D) + ") must match the size of tensor b (" +
                                  std::to_string(channels) + ") at non-singleton dimension 2");
  }
  at::Tensor y = without_gil(
      [&] {
        return converted(RadarConvolution::apply(converted(x, x.device(), at::kFloat),
                                                 converted(taps, taps.device(), at::kFloat), fft_length(L)),
                         x.device(), x.scalar_type());
      });
  return to_py(y);
}

// The radar's forward as its class defines it, for calls that may skip nn.Module's call.
OwnMethod& radar_forward_method() {
  static auto* method = new OwnMethod();  // lives until exit, as the class does
  return *method;
}

}  // namespace

py::object call_radar(const py::object& radar, const py::object& x) {
  if (radar_forward_method().called_by(radar)) return radar_forward_method().run([&] { return radar_forward(radar, x); });
  return radar(x);
}

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
  radar_forward_method().keep(
      cls, "forward",
      def_method(cls, "forward", &radar_forward,
                 "Causal long convolution: [B, L, d_model] -> [B, L, d_model], in the input's dtype.",
                 arg("x", "torch.Tensor"), returns("torch.Tensor")));
}

}  // namespace kestrel::heavy

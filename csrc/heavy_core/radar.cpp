// OptimizedMorvaRadar: a causal long convolution along the sequence, one generated filter per
// channel, computed with zero-padded real FFTs of power-of-two length.
#include "heavy_core/heavy_core.h"

#include "runtime/gil.h"

#include <torch/csrc/autograd/grad_mode.h>

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
  init_module_base(self);
  set_attr(self, "d_model", d_model);
  set_attr(self, "max_l", max_l);
  py::module_ nn = py::module_::import("torch.nn");
  set_attr(self, "filter_gen",
           nn.attr("Sequential")(nn.attr("Linear")(1, 64), nn.attr("SiLU")(), nn.attr("Linear")(64, d_model)));
  py::object positions = py::module_::import("torch").attr("linspace")(0.0, 1.0, max_l).attr("view")(-1, 1);
  self.attr("register_buffer")("pos_indices", positions);
}

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

  const int64_t n_fft = fft_length(L);
  at::Tensor out = without_gil([&] {
    // Channel-major, so every transform runs along the innermost axis: [B, D, N/2 + 1] and [D, N/2 + 1].
    at::Tensor x_spec = at::fft_rfft(x.to(at::kFloat).transpose(1, 2), n_fft, -1);
    at::Tensor h_spec = at::fft_rfft(taps.to(at::kFloat), n_fft, -1);
    const bool graph = at::GradMode::is_enabled() && (x_spec.requires_grad() || h_spec.requires_grad());
    at::Tensor product = graph ? x_spec * h_spec : x_spec.mul_(h_spec);
    at::Tensor y = at::fft_irfft(product, n_fft, -1).narrow(-1, 0, L).transpose(1, 2);
    // Slice, cast and transpose back in one copy, to a contiguous [B, L, D].
    return y.to(x.scalar_type()).contiguous();
  });
  return to_py(out);
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

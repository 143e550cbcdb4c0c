// DistributedMorvaZurav: the heavy dual-path design sharded by head over two processes, one GPU
// each. Rank 0 holds the fast head, rank 1 the radar and the slow head; every step both run their
// head, swap the outputs point to point, agree on the slow head's pressure with an all-reduce
// (maximum) and run their own bridge with the fast output as queries. Before any of that the ranks
// swap a short description of their inputs, so that inputs of different shape or dtype raise the
// same error on both ranks rather than breaking the exchange.
#include "heavy_core/dual_path.h"

#include <algorithm>
#include <string>

namespace kestrel::heavy {
namespace {

constexpr const char* kShardedDoc =
    "Heavy dual-path core sharded over two GPUs, one process per rank.\n"
    "\n"
    "Rank 0 runs the fast head on cuda:0; rank 1 runs the radar and the slow head on cuda:1. Each\n"
    "forward step sends this rank's head output to the other rank and receives the other's, takes\n"
    "the slow head's global pressure on both ranks with an all-reduce (MAX), and returns this rank's\n"
    "bridge output cha(fast output, slow output, pressure). The host initialises the default process\n"
    "group of the two processes and calls forward in both in lockstep.";

constexpr const char* kForwardDoc =
    "One sharded step: own head, exchange of the head outputs, pressure all-reduce, bridge.\n"
    "\n"
    "x: [B, L, d_model] on any device (moved to this rank's device); state: None or a dict handed\n"
    "to the head. Returns this rank's bridge output [B, L, d_model]. The ranks first swap the shape\n"
    "and dtype of their inputs; if they differ, both raise ValueError before any other work.";

// The device type the ranks' devices are named with: "cuda", unless a subclass names another
// (`_device_type`), which lets the exchange run on hosts without GPUs.
std::string device_type(const py::object& self) {
  PyObject* value = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self.ptr())), "_device_type");
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return "cuda";
  }
  return arg_str(py::reinterpret_steal<py::object>(value), "_device_type").cast<std::string>();
}

void construct(const py::module_& module, py::object self, py::object config, py::object fortress_config,
               py::object rank_arg, py::object world_size_arg, py::object cross_attn_mode) {
  py::int_ rank = arg_exact_int(rank_arg, "rank");
  py::int_ world_size = arg_exact_int(world_size_arg, "world_size");
  py::str mode = arg_str(cross_attn_mode, "cross_attn_mode");
  init_module_base(self);
  set_attr(self, "rank", rank);
  set_attr(self, "world_size", world_size);
  py::object device = py::module_::import("torch").attr("device")(device_type(self) + ":" + std::string(py::str(rank)));
  set_attr(self, "device", device);

  py::object block = module.attr("WarEngineTevZOZU_V722_FU");
  auto announce = [&](const char* role) {
    py::print(py::str("[MORVA] Rank ") + py::str(rank) + py::str(role) + py::str(device) + py::str("."));
  };
  if (py_eq(rank, py::int_(0))) {
    set_attr(self, "head", block(config, fortress_config).attr("to")(device));
    announce(": Fast Head (Reflex) initialized on ");
  } else if (py_eq(rank, py::int_(1))) {
    set_attr(self, "radar", module.attr("OptimizedMorvaRadar")(config.attr("d_model")).attr("to")(device));
    set_attr(self, "head", block(config, fortress_config).attr("to")(device));
    announce(": Slow Head (Radar) initialized on ");
  }

  const bool quadratic = py_eq(mode.attr("lower")(), py::str("quadratic"));
  py::object bridge = module.attr(quadratic ? "MorvaCrossAttention" : "LinearMorvaCrossAttention");
  set_attr(self, "cha", bridge(config.attr("d_model")).attr("to")(device));
}

// What each rank tells the other before the exchange: the input's dtype, its number of dimensions
// and its first kMaxDims sizes (-1 beyond the last), as one int64 message of fixed length. The head
// output has the input's shape and dtype, so equal descriptions make the messages of the exchange
// agree in size and type.
constexpr int64_t kMaxDims = 8;

at::Tensor describe(const at::Tensor& x) {
  at::Tensor d = at::full({2 + kMaxDims}, -1, at::TensorOptions().dtype(at::kLong));
  auto a = d.accessor<int64_t, 1>();
  a[0] = static_cast<int64_t>(x.scalar_type());
  a[1] = x.dim();
  for (int64_t i = 0; i < std::min<int64_t>(x.dim(), kMaxDims); ++i) a[2 + i] = x.size(i);
  return d;
}

std::string description_text(const at::Tensor& d) {
  auto a = d.accessor<int64_t, 1>();
  std::string shape = "[";
  for (int64_t i = 0; i < a[1]; ++i) {
    if (i) shape += ", ";
    shape += i < kMaxDims ? std::to_string(a[2 + i]) : std::string("...");
  }
  shape += "]";
  const auto dtype = static_cast<at::ScalarType>(a[0]);
  const std::string dtype_name = py::str(to_py(at::empty({0}, at::TensorOptions().dtype(dtype))).attr("dtype"));
  return "shape " + shape + ", dtype " + dtype_name;
}

// Both operations are posted before either wait, so the same order on both ranks cannot block.
void swap_with_peer(const py::module_& dist, const py::object& peer, const py::object& send,
                    const py::object& receive) {
  py::object send_op = dist.attr("isend")(send, py::arg("dst") = peer);
  py::object recv_op = dist.attr("irecv")(receive, py::arg("src") = peer);
  send_op.attr("wait")();
  recv_op.attr("wait")();
}

// The ranks agree on the input's shape and dtype before any tensor work, so that a mismatch raises
// the same error on both ranks instead of failing inside the communication layer.
void agree_on_inputs(const py::module_& dist, const py::object& rank, const py::object& peer,
                     const at::Tensor& x, const c10::Device& device) {
  const at::Tensor mine = describe(x);
  const at::Tensor received = at::empty_like(mine).to(device);
  swap_with_peer(dist, peer, to_py(mine.to(device)), to_py(received));
  const at::Tensor theirs = received.cpu();
  if (at::equal(mine, theirs)) return;
  const bool first = py_eq(rank, py::int_(0));
  const at::Tensor& d0 = first ? mine : theirs;
  const at::Tensor& d1 = first ? theirs : mine;
  raise(PyExc_ValueError, "DistributedMorvaZurav: the ranks' inputs differ (rank 0: " + description_text(d0) +
                              "; rank 1: " + description_text(d1) +
                              "); both ranks must call forward with inputs of the same shape and dtype");
}

py::object forward(py::object self, py::object x_obj, py::object state) {
  arg_dict_or_none(state, "state");
  py::module_ dist = py::module_::import("torch.distributed");

  py::object device = self.attr("device");
  py::object x = x_obj.attr("to")(device);
  py::object rank = self.attr("rank");
  py::object head = self.attr("head");
  py::object peer = py::int_(1) - rank;
  const c10::Device target = device.cast<c10::Device>();
  agree_on_inputs(dist, rank, peer, arg_tensor(x, "x"), target);

  if (py_eq(rank, py::int_(1))) x = self.attr("radar")(x);
  auto stepped = unpack(head.attr("forward_with_diagnostics")(x, py::arg("state") = state,
                                                              py::arg("return_diagnostics") = true),
                        2);
  py::object y_local = stepped[0];
  const at::Tensor y = arg_tensor(y_local, "y_local");
  py::object y_peer = to_py(at::zeros_like(y));
  swap_with_peer(dist, peer, y_local, y_peer);

  // The slow head's pressure as its step of this call left it; rank 0 contributes zero. The
  // reduction runs in double precision on both ranks whatever the fortress's dtype (double holds
  // every value of the narrower floating types exactly); the bridges get it in the head outputs'
  // dtype, which the ranks have agreed on.
  at::Tensor P = at::zeros({1}, at::TensorOptions().device(target).dtype(at::kDouble));
  if (py_eq(rank, py::int_(1))) P.copy_(buffer(head.attr("fortress"), "global_pressure").detach().reshape({1}));
  py::object P_obj = to_py(P);
  dist.attr("all_reduce")(P_obj, py::arg("op") = dist.attr("ReduceOp").attr("MAX"));
  P_obj = to_py(P.to(y.scalar_type()));

  py::object cha = self.attr("cha");
  if (py_eq(rank, py::int_(0))) return cha(y_local, y_peer, P_obj);
  return cha(y_peer, y_local, P_obj);
}

}  // namespace

void define_sharded_core(py::module_& m) {
  py::object cls = new_class(m, "DistributedMorvaZurav", nn_module(), kShardedDoc);
  py::module_ module = m;
  def_method(cls, "__init__",
             [module](py::object self, py::object config, py::object fortress_config, py::object rank,
                      py::object world_size, py::object cross_attn_mode) {
               construct(module, self, config, fortress_config, rank, world_size, cross_attn_mode);
             },
             nullptr, arg("config", "TevUnifiedConfig"), arg("fortress_config", "Optional[FortressUnbrokenConfig]"),
             arg("rank", "int"), arg("world_size", "int"), arg("cross_attn_mode", "str") = "linear");
  def_method(cls, "forward", &forward, kForwardDoc, arg("x", "torch.Tensor"), arg("state", "Optional[Dict]") = py::none(),
             returns("torch.Tensor"));
}

}  // namespace kestrel::heavy

// DistributedMorvaZurav: the heavy dual-path design sharded by head over two processes, one GPU
// each. Rank 0 holds the fast head, rank 1 the radar and the slow head; every step both run their
// head, swap the outputs point to point, agree on the slow head's pressure with an all-reduce
// (maximum) and run their own bridge with the fast output as queries.
#include "heavy_core/dual_path.h"

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
    "to the head. Returns this rank's bridge output [B, L, d_model].";

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

py::object forward(py::object self, py::object x_obj, py::object state) {
  arg_dict_or_none(state, "state");
  py::module_ dist = py::module_::import("torch.distributed");

  py::object device = self.attr("device");
  py::object x = x_obj.attr("to")(device);
  py::object rank = self.attr("rank");
  if (py_eq(rank, py::int_(1))) x = self.attr("radar")(x);

  py::object head = self.attr("head");
  auto stepped = unpack(head.attr("forward_with_diagnostics")(x, py::arg("state") = state,
                                                              py::arg("return_diagnostics") = true),
                        2);
  py::object y_local = stepped[0];
  py::object y_peer = to_py(at::zeros_like(arg_tensor(y_local, "y_local")));

  // Both operations are posted before either wait, so the same order on both ranks cannot block.
  py::object peer = py::int_(1) - rank;
  py::object send_op = dist.attr("isend")(y_local, py::arg("dst") = peer);
  py::object recv_op = dist.attr("irecv")(y_peer, py::arg("src") = peer);
  send_op.attr("wait")();
  recv_op.attr("wait")();

  // The slow head's pressure as its step of this call left it; rank 0 contributes zero.
  const c10::Device target = device.cast<c10::Device>();
  at::Tensor P;
  if (py_eq(rank, py::int_(1))) {
    const at::Tensor pressure = buffer(head.attr("fortress"), "global_pressure");
    P = pressure.detach().unsqueeze(0).to(target, pressure.scalar_type(), /*non_blocking=*/false, /*copy=*/true);
  } else {
    P = at::zeros({1}, at::TensorOptions().device(target).dtype(default_dtype()));
  }
  py::object P_obj = to_py(P);
  dist.attr("all_reduce")(P_obj, py::arg("op") = dist.attr("ReduceOp").attr("MAX"));

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

// FortressUnbrokenMemory: construction (copied settings, state buffers, engram list) and the
// step counter.
#include "fortress_engine/fortress.h"

namespace kestrel::fortress {
namespace {

constexpr const char* kMemoryDoc =
    "Fortress memory of one state-space block.\n"
    "\n"
    "Keeps protected subspaces of the block state (engrams), projects the gradient that flows\n"
    "back through the state out of them, and couples that protection to one global pressure\n"
    "computed from engram conflict, surprisal and the fast/slow disagreement (dance friction).\n"
    "All running statistics, counters and flags are registered buffers updated in place.";

constexpr auto kCopyOrder = copy_order();

// _k_max = max(k_min, int(d_state * k_max_ratio)): at least k_min, not capped at d_state; a tie
// keeps the k_min object.
py::object largest_rank(const py::int_& d_state, const py::object& config) {
  py::object ratio = config.attr("k_max_ratio");
  py::object k_min = config.attr("k_min");
  py::object product = d_state * ratio;
  PyObject* truncated = PyNumber_Long(product.ptr());
  if (!truncated) throw py::error_already_set();
  auto scaled = py::reinterpret_steal<py::object>(truncated);
  return scaled > k_min ? scaled : k_min;
}

// Every copied setting is the record's own object, read in copy order, so a record lacking a
// field fails with the attribute error of the first missing one.
void copy_settings(const py::object& self, const py::object& config, const py::int_& d_state) {
  for (Cfg c : kCopyOrder) {
    const SettingSpec& s = setting_spec(c);
    switch (c) {
      case Cfg::k_max_ratio:
        set_attr(self, s.attr, largest_rank(d_state, config));
        break;
      case Cfg::union_mode:
        set_attr(self, s.attr, py::str(config.attr(s.field)).attr("lower")());
        break;
      default:
        set_attr(self, s.attr, config.attr(s.field));
    }
  }
}

void construct(py::object self, py::object d_state_arg, py::object config) {
  py::int_ d_state = arg_int_object(d_state_arg, "d_state");
  const int64_t width = arg_int(d_state, "d_state");
  refuse_impossible_settings(config);

  init_module_base(self);
  set_attr(self, "d_state", d_state);
  set_attr(self, "config", config);
  copy_settings(self, config, d_state);
  register_buffers(self, kBuffers, kBufferCount, width);

  set_attr(self, "E_joint", py::none());
  set_attr(self, "alpha_vector", py::none());
  set_attr(self, "joint_basis_dirty", py::bool_(true));
  set_attr(self, "engram_stack", py::list());
  set_attr(self, "_alpha_ema", py::float_(0.99));
}

void forward_step(py::object self) {
  const Memory mem(self);
  Slot<int64_t> step;
  if (step.bind(mem, Buf::global_step))
    step.set(step.get() + 1);
  else
    mem[Buf::global_step].add_(1);
}

// `a op b` by Python's rules, for its error only.
void compare(const py::handle& a, const py::handle& b, int op) {
  if (PyObject_RichCompareBool(a.ptr(), b.ptr(), op) < 0) throw py::error_already_set();
}

// .to(), .double(), .cuda() and the like convert parameters and buffers through _apply. The
// engram bases, the joint basis and its coefficients are plain attributes, so they are converted
// here by the same function: they follow the module's dtype and device, and the engram entries
// keep their layout.
py::object apply(py::object self, py::object fn, py::args args, py::kwargs kwargs) {
  nn_module().attr("_apply")(self, fn, *args, **kwargs);
  at::NoGradGuard no_grad;
  const py::object stack = getattr_or_none(self, "engram_stack");
  if (PyList_Check(stack.ptr())) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(stack.ptr()); ++i) {
      const py::handle entry = PyList_GET_ITEM(stack.ptr(), i);
      if (!PyTuple_Check(entry.ptr()) || PyTuple_GET_SIZE(entry.ptr()) != 4) continue;
      const py::tuple items = py::reinterpret_borrow<py::tuple>(entry);
      if (!is_tensor(items[0])) continue;
      py::object basis = fn(items[0]);
      if (basis.is(items[0])) continue;
      py::tuple converted = py::make_tuple(basis, items[1], items[2], items[3]);
      if (PyList_SetItem(stack.ptr(), i, converted.release().ptr()) < 0) throw py::error_already_set();
    }
  }
  for (const char* attr : {"E_joint", "alpha_vector"}) {
    const py::object value = getattr_or_none(self, attr);
    if (is_tensor(value)) set_attr(self, attr, fn(value));
  }
  return self;
}

}  // namespace

void check_settings(const Memory& mem) {
  const py::handle self = mem.self();
  for (size_t i = 0; i < kSettingCount; ++i) {
    const SettingSpec& s = kSettings[i];
    const Cfg c = static_cast<Cfg>(i);
    // The temperature of the heads' disagreement is read only by an update given both heads'
    // logits, which a block never passes; that update reads it before its first write.
    if (s.copy == 0 || is_derived(c) || c == Cfg::kl_temperature) continue;
    const py::object value = self.attr(setting_attr_name(c));
    switch (s.kind) {
      case Kind::Float: arg_float(value, s.attr); break;
      case Kind::Int: arg_int(value, s.attr); break;
      case Kind::Bool: truth(value); break;
      default: break;  // texts are read as objects
    }
  }
  arg_int(self.attr(interned("_k_max")), "_k_max");
  arg_float(self.attr(interned("_alpha_ema")), "_alpha_ema");
  const py::object config = self.attr(interned("config"));
  compare(py::int_(0), config.attr(interned("max_engrams")), Py_GE);
  if (mem.setting<Cfg::allow_demotion>()) {
    // The interval's own remainder rules (a zero interval is a ZeroDivisionError), and the
    // thresholds that demotion compares engram averages with.
    PyObject* remainder = PyNumber_Remainder(py::int_(0).ptr(), mem.setting_object(Cfg::demotion_check_interval).ptr());
    if (!remainder) throw py::error_already_set();
    Py_DECREF(remainder);
    compare(py::float_(0.0), config.attr(interned("demotion_usage_threshold")), Py_LT);
    compare(py::float_(0.0), config.attr(interned("demotion_quality_threshold")), Py_LT);
    compare(py::float_(0.0), config.attr(interned("demotion_conflict_threshold")), Py_GT);
  }
}

py::object define_memory_class(py::module_& m) {
  py::object cls = new_class(m, "FortressUnbrokenMemory", nn_module(), kMemoryDoc);
  def_method(cls, "__init__", &construct, nullptr, arg("d_state", "int"), arg("config", "FortressUnbrokenConfig"));
  def_method(cls, "forward_step", &forward_step, "Increment global step counter.", returns("None"));
  def_method(cls, "_apply", &apply,
             "nn.Module._apply, then the same conversion of the engram bases, E_joint and alpha_vector.",
             py::arg("fn"));
  return cls;
}

}  // namespace kestrel::fortress

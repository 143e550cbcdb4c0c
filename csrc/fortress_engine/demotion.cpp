// Demotion: at a fixed step interval, engrams that are at the same time rarely used, of low
// quality and highly conflicted are taken out of the fortress, so that they stop constraining
// learning. The thresholds are read from the kept configuration record at each check.
#include "fortress_engine/fortress.h"

namespace kestrel::fortress {
namespace {

// `a < b` (or another rich comparison) by Python's rules: a NaN compares false.
bool compare(const py::handle& a, const py::handle& b, int op) {
  PyObject* r = PyObject_RichCompare(a.ptr(), b.ptr(), op);
  if (!r) throw py::error_already_set();
  return truth(py::reinterpret_steal<py::object>(r));
}

void lifecycle_management(const py::module_& module, py::object self) {
  Memory mem(self);
  if (!mem.setting<Cfg::allow_demotion>()) return;
  // Python's remainder, so the interval's own type decides (a zero interval is a
  // ZeroDivisionError).
  const py::int_ step(scalar_to_int(mem[Buf::global_step]));
  PyObject* remainder = PyNumber_Remainder(step.ptr(), mem.setting_object(Cfg::demotion_check_interval).ptr());
  if (!remainder) throw py::error_already_set();
  if (truth(py::reinterpret_steal<py::object>(remainder))) return;

  const py::object stack = self.attr("engram_stack");
  const py::object config = self.attr("config");
  const py::object logger = module.attr("logger");
  std::vector<Py_ssize_t> demoted;
  Py_ssize_t i = 0;
  for (py::handle entry : stack) {
    const std::vector<py::object> items = unpack(entry, 4);
    const py::object& meta = items[3];
    if (!truth(meta.attr("is_abstract"))) {
      const py::object usage = meta.attr("usage_ema");
      const py::object quality = meta.attr("quality_ema");
      const py::object conflict = meta.attr("conflict_ema");
      const bool low_usage = compare(usage, config.attr("demotion_usage_threshold"), Py_LT);
      const bool low_quality = compare(quality, config.attr("demotion_quality_threshold"), Py_LT);
      const bool high_conflict = compare(conflict, config.attr("demotion_conflict_threshold"), Py_GT);
      if (low_usage && low_quality && high_conflict) {
        demoted.push_back(i);
        log(logger, LogLevel::Info,
            py::str("Demoting engram {}: usage={:.3f}, quality={:.3f}, conflict={:.3f}")
                .format(meta.attr("engram_id"), usage, quality, conflict));
      }
    }
    ++i;
  }

  // From the highest position down, so the recorded positions stay valid.
  for (auto it = demoted.rbegin(); it != demoted.rend(); ++it) {
    if (PySequence_DelItem(stack.ptr(), *it) < 0) throw py::error_already_set();
    set_attr(self, "joint_basis_dirty", py::bool_(true));
    mem[Buf::sacred_engrams].add_(-1);
  }
}

}  // namespace

void define_demotion_methods(const py::object& cls, const py::module_& m) {
  py::module_ module = m;
  def_method(
      cls, "lifecycle_management", [module](py::object self) { lifecycle_management(module, self); },
      "Periodic demotion: every demotion_check_interval steps, remove the engrams that are rarely\n"
      "used, of low quality and highly conflicted at once (abstract engrams are kept).",
      returns("None"));
}

}  // namespace kestrel::fortress

// Yielding hysteresis of one engram: a sustained run of high conflict makes the engram yield (its
// protection drops to the floor at the next rebuild of the joint basis); a sustained run of low
// conflict ends it, followed by a cooldown before it may yield again.
//
// The record's fields and the settings are compared and counted as the interpreter's own objects,
// so whatever number types they hold behave as they would in Python.
#include "fortress_engine/fortress.h"

namespace kestrel::fortress {
namespace {

py::object field(const py::handle& record, const char* field_name) { return record.attr(field_name); }

void update_yielding_state(py::object self, py::object metadata, const std::string& module_name) {
  Memory mem(self);
  const py::object enter = mem.setting_object(Cfg::yield_enter_threshold);
  const py::object exit = mem.setting_object(Cfg::yield_exit_threshold);
  const py::object window = mem.setting_object(Cfg::sustained_conflict_window);
  const py::object cooldown_steps = mem.setting_object(Cfg::yield_cooldown_steps);
  const py::int_ one(1), zero(0);

  const char* high = name(Engram::conflict_steps_high);
  const char* since_exit = name(Engram::steps_since_exit);
  const char* cooldown = name(Engram::yield_cooldown);
  const char* yielding = name(Engram::is_yielding);

  const py::object c = field(metadata, name(Engram::conflict_ema));
  auto message = [&](const char* what) {
    return py::str("Engram {} {} yielding (conflict={:.3f})").format(field(metadata, name(Engram::engram_id)), what, c);
  };

  if (!truth(field(metadata, yielding))) {
    if (c > enter) {
      set_attr(metadata, high, field(metadata, high) + one);
      if (field(metadata, high) >= window && field(metadata, cooldown).equal(zero)) {
        set_attr(metadata, yielding, py::bool_(true));
        set_attr(metadata, name(Engram::yielding_count), field(metadata, name(Engram::yielding_count)) + one);
        set_attr(metadata, high, zero);
        log(module_logger(module_name), LogLevel::Info, message("entering"));
      }
    } else {
      set_attr(metadata, high, zero);
    }
  } else {
    if (c < exit) {
      if (field(metadata, since_exit) >= cooldown_steps) {
        set_attr(metadata, yielding, py::bool_(false));
        set_attr(metadata, cooldown, cooldown_steps);
        set_attr(metadata, since_exit, zero);
        log(module_logger(module_name), LogLevel::Info, message("exiting"));
      } else {
        set_attr(metadata, since_exit, field(metadata, since_exit) + one);
      }
    } else {
      set_attr(metadata, since_exit, zero);
    }
  }

  if (field(metadata, cooldown) > zero) set_attr(metadata, cooldown, field(metadata, cooldown) - one);
}

}  // namespace

void define_yielding_methods(const py::object& cls) {
  const std::string module_name = py::str(cls.attr("__module__"));
  def_method(
      cls, "_update_yielding_state",
      [module_name](py::object self, py::object metadata) { update_yielding_state(self, metadata, module_name); },
      "Yielding hysteresis of one engram: enter after sustained conflict, leave after sustained calm.",
      py::arg("metadata"));
}

}  // namespace kestrel::fortress

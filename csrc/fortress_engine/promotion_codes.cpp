// The two code vocabularies of promotion: why the last promotion check promoted or was blocked
// (reason codes 0 to 14), and which kind of union happened last or is configured (union-mode
// codes); with the writers of the promotion diagnostics buffers.
#include "fortress_engine/fortress.h"

#include <array>

namespace kestrel::fortress {
namespace {

// Reason strings by code; matching is exact and case-sensitive.
constexpr std::array<const char*, 15> kReasons = {
    "no_candidate",       "not_stable",           "need_more_cov",        "quality_fail",
    "promoted",           "forced_union",         "trainer_not_ok",       "bad_candidate",
    "cosmic_surprisal",   "shakti_tension",       "blocked_by_trigger",   "blocked_by_structure",
    "blocked_by_stillness", "collapse_union",     "blocked_by_collapse_floor",
};

// Modes of a performed union by code; 0 is "none" (no union yet, or an unknown mode).
constexpr std::array<const char*, 4> kUnionModes = {"none", "structural", "collapse", "forced"};

// The integer value of a code, or -1 when it lies outside every table (huge integers included).
int64_t code_value(const py::object& code_arg) {
  py::int_ code = arg_int_object(code_arg, "code");
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(code.ptr(), &overflow);
  return overflow ? -1 : static_cast<int64_t>(v);
}

// Exact comparison of a str with an ASCII name, whatever characters the str holds.
bool is(const py::handle& text, const char* ascii) {
  return PyUnicode_CompareWithASCIIString(text.ptr(), ascii) == 0;
}

py::int_ reason_to_code(py::object self, py::object reason_arg) {
  const py::str reason = arg_str(reason_arg, "reason");
  for (size_t i = 0; i < kReasons.size(); ++i)
    if (is(reason, kReasons[i])) return py::int_(static_cast<int64_t>(i));
  return py::int_(0);
}

py::str code_to_reason(py::object self, py::object code_arg) {
  const int64_t code = code_value(code_arg);
  if (code < 0 || code >= static_cast<int64_t>(kReasons.size())) return py::str(kReasons[0]);
  return py::str(kReasons[static_cast<size_t>(code)]);
}

py::object last_promotion_reason(py::object self) {
  const int64_t code = scalar_to_int(Memory(self)[Buf::last_promotion_reason_code]);
  return self.attr("_code_to_reason")(py::int_(code));
}

// The memory's own methods that a promotion check calls on every call.
OwnMethod own_reason_to_code, own_record_blocker_reason, own_set_promotion_diagnostics;

// self._reason_to_code(reason) as an integer.
int64_t code_of(const py::object& self, const py::object& reason) {
  if (own_reason_to_code.resolved_by(self)) {
    return own_reason_to_code.run([&] { return arg_int(reason_to_code(self, reason), "code"); });
  }
  return arg_int(self.attr("_reason_to_code")(reason), "code");
}

// Both code buffers always receive the same code.
void record_reason(py::object self, py::object reason) {
  const int64_t code = code_of(self, reason);
  Memory mem(self);
  fill_scalar(mem[Buf::last_promotion_reason_code], code);
  fill_scalar(mem[Buf::last_promotion_blocker_code], code);
}

void set_promotion_diagnostics(py::object self, py::object can_promote, py::object event, py::object reason) {
  const int64_t code = code_of(self, reason);
  const bool can = truth(can_promote);
  const bool happened = truth(event);
  Memory mem(self);
  fill_scalar(mem[Buf::last_can_promote], can ? 1.0 : 0.0);
  fill_scalar(mem[Buf::last_promotion_event], happened ? 1.0 : 0.0);
  fill_scalar(mem[Buf::last_promotion_reason_code], code);
  fill_scalar(mem[Buf::last_promotion_blocker_code], code);
}

// Mode names are matched after lower-casing ("dual" is a configuration, not a union mode).
py::int_ union_mode_code(py::object self, py::object mode) {
  const py::object lowered = arg_str(mode, "mode").attr("lower")();
  for (size_t i = 1; i < kUnionModes.size(); ++i)
    if (is(lowered, kUnionModes[i])) return py::int_(static_cast<int64_t>(i));
  return py::int_(0);
}

py::str union_mode_name(py::object self, py::object code_arg) {
  const int64_t code = code_value(code_arg);
  if (code < 1 || code >= static_cast<int64_t>(kUnionModes.size())) return py::str(kUnionModes[0]);
  return py::str(kUnionModes[static_cast<size_t>(code)]);
}

// The configured mode as stored (already lower-cased): structural 1, collapse 2, anything else,
// "dual" included, 3.
py::int_ union_mode_config_code(py::object self) {
  const py::object mode = self.attr("_union_mode");
  if (PyUnicode_Check(mode.ptr())) {
    if (is(mode, "structural")) return py::int_(1);
    if (is(mode, "collapse")) return py::int_(2);
  }
  return py::int_(3);
}

}  // namespace

void record_blocker_reason(const py::object& self, const py::object& reason) {
  if (own_record_blocker_reason.resolved_by(self)) {
    own_record_blocker_reason.run([&] { record_reason(self, reason); });
    return;
  }
  self.attr("_record_blocker_reason")(reason);
}

void promotion_diagnostics(const py::object& self, bool can_promote, bool event, const py::object& reason) {
  if (own_set_promotion_diagnostics.resolved_by(self)) {
    own_set_promotion_diagnostics.run(
        [&] { set_promotion_diagnostics(self, py::bool_(can_promote), py::bool_(event), reason); });
    return;
  }
  self.attr("_set_promotion_diagnostics")(py::arg("can_promote") = can_promote, py::arg("event") = event,
                                          py::arg("reason") = reason);
}

void define_promotion_code_methods(const py::object& cls) {
  own_reason_to_code.keep(cls, "_reason_to_code",
                          def_method(cls, "_reason_to_code", &reason_to_code,
                                     "Promotion reason to its integer code (0 when unknown).", py::arg("reason")));
  def_method(cls, "_code_to_reason", &code_to_reason,
             "Integer code to its promotion reason (\"no_candidate\" when unknown).", py::arg("code"));
  def_method(cls, "last_promotion_reason", &last_promotion_reason, "Reason of the last promotion decision.",
             returns("str"));
  def_method(cls, "_record_promotion_reason", &record_reason, "Record the reason of a performed union.",
             py::arg("reason"));
  own_record_blocker_reason.keep(cls, "_record_blocker_reason",
                                 def_method(cls, "_record_blocker_reason", &record_reason,
                                            "Record the reason that blocked a promotion.", py::arg("reason")));
  own_set_promotion_diagnostics.keep(
      cls, "_set_promotion_diagnostics",
      def_method(cls, "_set_promotion_diagnostics", &set_promotion_diagnostics,
                 "Record whether the last check could promote, whether it promoted, and its reason.",
                 py::arg("can_promote"), py::arg("event"), py::arg("reason")));
  def_method(cls, "_union_mode_code", &union_mode_code, "Union mode name to its code (0 when unknown).",
             py::arg("mode"));
  def_method(cls, "_union_mode_name", &union_mode_name, "Union mode code to its name (\"none\" when unknown).",
             py::arg("code"));
  def_method(cls, "_union_mode_config_code", &union_mode_config_code, "Code of the configured union mode.");
}

}  // namespace kestrel::fortress

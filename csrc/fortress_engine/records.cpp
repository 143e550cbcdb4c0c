// The two records of the fortress: one engram's metadata and the fortress configuration, both
// plain data classes generated from their field tables.
#include "fortress_engine/fortress.h"

namespace kestrel::fortress {
namespace {

py::object field_type(Kind kind) {
  py::module_ builtins = py::module_::import("builtins");
  switch (kind) {
    case Kind::Float: return builtins.attr("float");
    case Kind::Int: return builtins.attr("int");
    case Kind::Bool: return builtins.attr("bool");
    case Kind::Str: return builtins.attr("str");
    case Kind::IntList: return typing_attr("Optional")[typing_attr("List")[builtins.attr("int")]];
  }
  return py::none();
}

py::object default_value(Kind kind, const Literal& v) {
  switch (kind) {
    case Kind::Float: return py::float_(v.number);
    case Kind::Int: return py::int_(static_cast<int64_t>(v.number));
    case Kind::Bool: return py::bool_(v.number != 0.0);
    case Kind::Str: return py::str(v.text);
    case Kind::IntList: return py::none();
  }
  return py::none();
}

// A parent list left at None becomes a new empty list, one per record; a list the caller gave
// stays that very object.
void engram_post_init(py::object self) {
  const char* parents = name(Engram::parent_ids);
  if (self.attr(parents).is_none()) set_attr(self, parents, py::list());
}

// The settings a value outside its range cannot work for, and why.
struct SettingRule {
  Cfg setting;
  Need need;
};
constexpr SettingRule kSettingRules[] = {
    {Cfg::k_min, Need::NonNegative},                   // a rank: engram bases keep k_min columns
    {Cfg::lambda_min, Need::NonNegative},              // a strength, raised to squash_power
    {Cfg::lambda_max, Need::Positive},                 // divides every strength
    {Cfg::protection_halflife, Need::Positive},        // divides the engram's age
    {Cfg::usage_reinforcement_factor, Need::Positive}, // its logarithm is taken
    {Cfg::demotion_check_interval, Need::Positive},    // the step is taken modulo it
    {Cfg::kl_temperature, Need::Positive},             // divides the logits
};

py::object setting_or_none(const py::handle& config, Cfg c) { return getattr_or_none(config, setting_spec(c).field); }

void config_post_init(py::object self) { refuse_impossible_settings(self); }

}  // namespace

void refuse_impossible_settings(const py::handle& config) {
  for (const SettingRule& rule : kSettingRules)
    require_setting(setting_or_none(config, rule.setting), setting_spec(rule.setting).field, rule.need);
  // The conflict penalty divides by the distance between the two thresholds.
  const py::object enter = setting_or_none(config, Cfg::yield_enter_threshold);
  const py::object threshold = setting_or_none(config, Cfg::conflict_threshold);
  const auto real = [](const py::object& v) { return PyLong_Check(v.ptr()) || PyFloat_Check(v.ptr()); };
  if (real(enter) && real(threshold) && enter.equal(threshold))
    refuse_setting("yield_enter_threshold", "different from conflict_threshold", enter);
}

void define_records(py::module_& m) {
  std::vector<Field> engram;
  for (size_t i = 0; i < kEngramFieldCount; ++i) {
    const EngramFieldSpec& f = kEngramFields[i];
    if (static_cast<Engram>(i) == Engram::engram_id)
      engram.push_back(required_field(f.field, field_type(f.kind)));
    else
      engram.push_back(field(f.field, field_type(f.kind), default_value(f.kind, f.default_value)));
  }
  new_record(m, "EngramMetadata", "Metadata for a single engram in the fortress.", engram,
             py::cpp_function(&engram_post_init, py::name("__post_init__")));

  std::vector<Field> settings;
  for (const SettingSpec& s : kSettings)
    settings.push_back(field(s.field, field_type(s.kind), default_value(s.kind, s.default_value)));
  new_record(m, "FortressUnbrokenConfig",
             "Configuration for Fortress Unbroken v7.2.2-FU with stability fixes.", settings,
             py::cpp_function(&config_post_init, py::name("__post_init__")));
}

}  // namespace kestrel::fortress

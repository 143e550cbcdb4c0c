// Shared declarations of the fortress engine module: the field tables of the two records, the
// buffer table of the fortress memory, typed access to both, and the pieces each source file
// contributes to the module.
//
// Every list of fields, settings or buffers is written once, in a table below; records,
// registration, the copied settings and the typed accessors are generated from it.
#pragma once

#include "runtime/runtime.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::fortress {

// Declared type of a record field.
enum class Kind { Float, Int, Bool, Str, IntList };

// A default value written in a table: a number (integers and switches included) or a text.
struct Literal {
  double number = 0.0;
  const char* text = nullptr;
  constexpr Literal(int v) : number(v) {}
  constexpr Literal(double v) : number(v) {}
  constexpr Literal(const char* t) : text(t) {}
};

// ---------------------------------------------------------------------------------------------
// FortressUnbrokenConfig
//
// X(field, kind, default, copy, stored_as), in declaration order.
//   copy       position of the field in the memory's copy sequence (1-based; 0: not copied).
//              The memory reads the record's fields in that order.
//   stored_as  the memory's attribute when it is not the field name with a leading '_'.
// `k_max_ratio` and `union_mode` are not copied as they are: their positions store the derived
// `_k_max` and `_union_mode`.
#define KESTREL_FORTRESS_SETTINGS(X)                                  \
  X(tau_mu,                             Float, 1.2,     1, "")         \
  X(tau_sigma,                          Float, 0.3,     2, "")         \
  X(tau_stable_steps,                   Int,   256,     3, "")         \
  X(explained_variance_threshold,       Float, 0.95,    4, "_explained_var_threshold") \
  X(k_min,                              Int,   4,       5, "")         \
  X(k_max_ratio,                        Float, 0.25,    6, "_k_max")   \
  X(quality_threshold,                  Float, 0.7,     7, "")         \
  X(spectral_gap_ratio,                 Float, 1.5,     0, "")         \
  X(use_spectral_gap,                   Bool,  false,   0, "")         \
  X(max_engrams,                        Int,   8,       0, "")         \
  X(orthogonality_threshold,            Float, 0.3,     0, "")         \
  X(use_joint_basis_protection,         Bool,  true,    0, "")         \
  X(lambda_min,                         Float, 0.05,    8, "")         \
  X(lambda_max,                         Float, 15.0,    9, "")         \
  X(protection_halflife,                Int,   10000,  10, "")         \
  X(w_temporal,                         Float, 1.0,    11, "")         \
  X(w_usage,                            Float, 0.8,    12, "")         \
  X(w_conflict,                         Float, 1.2,    13, "")         \
  X(conflict_sharpness,                 Float, 1.5,    14, "")         \
  X(max_warning_penalty_db,             Float, 1.5,    15, "")         \
  X(conflict_threshold,                 Float, 0.3,    16, "")         \
  X(yield_enter_threshold,              Float, 0.6,    17, "")         \
  X(yield_exit_threshold,               Float, 0.35,   18, "")         \
  X(sustained_conflict_window,          Int,   200,    19, "")         \
  X(yield_cooldown_steps,               Int,   200,    20, "")         \
  X(yield_ramp_steps,                   Int,   50,     21, "")         \
  X(rebuild_steps,                      Int,   200,    22, "")         \
  X(squash_power,                       Float, 2.5,    23, "")         \
  X(alpha_max,                          Float, 0.98,   24, "")         \
  X(touch_epsilon,                      Float, 1e-05,  25, "")         \
  X(usage_reinforcement_factor,         Float, 1.5,    26, "")         \
  X(eternal_usage_threshold,            Float, 0.15,   27, "")         \
  X(reinforcement_boost_steps,          Int,   50,     28, "")         \
  X(min_grad_norm,                      Float, 1e-06,  29, "")         \
  X(conflict_ema_decay,                 Float, 0.99,   30, "")         \
  X(allow_demotion,                     Bool,  true,   31, "")         \
  X(demotion_usage_threshold,           Float, 0.075,   0, "")         \
  X(demotion_quality_threshold,         Float, 0.6,     0, "")         \
  X(demotion_conflict_threshold,        Float, 0.2,     0, "")         \
  X(demotion_check_interval,            Int,   64,     32, "")         \
  X(min_global_gradient_ratio,          Float, 0.7,    33, "")         \
  X(emergency_energy_floor,             Float, 0.3,    34, "")         \
  X(enable_vgt,                         Bool,  true,   41, "")         \
  X(w_conflict_pressure,                Float, 0.5,    42, "")         \
  X(w_surprisal_pressure,               Float, 0.3,    43, "")         \
  X(w_sync_pressure,                    Float, 0.2,    44, "")         \
  X(pressure_ema_decay,                 Float, 0.96,   45, "")         \
  X(beta_pressure,                      Float, 0.3,    46, "")         \
  X(g_min,                              Float, 0.1,    47, "")         \
  X(g_max,                              Float, 1.0,    48, "")         \
  X(max_pressure_delta,                 Float, 0.2,    49, "")         \
  X(enable_nonlinear_spike,             Bool,  false,  50, "")         \
  X(dance_spike_tau,                    Float, 0.02,   51, "")         \
  X(dance_spike_epsilon,                Float, 0.05,   52, "")         \
  X(spike_multiplier,                   Float, 3.0,    53, "")         \
  X(dance_baseline_decay,               Float, 0.95,   54, "")         \
  X(spike_warmup_steps,                 Int,   1,      55, "")         \
  X(trainer_calm_eps,                   Float, 0.02,   56, "")         \
  X(trainer_calm_tau,                   Float, 0.01,   57, "")         \
  X(trainer_calm_steps,                 Int,   20,     58, "")         \
  X(bounded_sync_band,                  Float, 0.2,    59, "")         \
  X(drift_threshold,                    Float, 0.05,   60, "")         \
  X(calm_window_steps,                  Int,   12,     61, "")         \
  X(kl_temperature,                     Float, 2.0,    62, "")         \
  X(calm_band_std_mult,                 Float, 1.0,    63, "")         \
  X(calm_drift_std_mult,                Float, 1.0,    64, "")         \
  X(debug_force_promote,                Bool,  false,  65, "")         \
  X(debug_force_promote_stable_steps,   Int,   12,     66, "")         \
  X(debug_force_promote_cov_min,        Int,   8,      67, "")         \
  X(promotion_candidate_jitter,         Float, 1e-06,  68, "")         \
  X(promotion_fallback_mode,            Str,   "power", 69, "")        \
  X(promotion_min_candidate_norm,       Float, 1e-08,  70, "")         \
  X(world_tension_base_steps,           Int,   8,      71, "")         \
  X(cosmic_surprisal_z_threshold,       Float, 1.0,    72, "")         \
  X(shakti_tension_z_threshold,         Float, 1.5,    73, "")         \
  X(tension_requires_world_calm,        Bool,  true,   74, "")         \
  X(union_mode,                         Str,   "dual", 75, "")         \
  X(collapse_tension_high_z,            Float, 1.5,    76, "")         \
  X(collapse_tension_high_streak_steps, Int,   24,     77, "")         \
  X(collapse_friction_ema_decay,        Float, 0.98,   78, "")         \
  X(collapse_friction_drop_z,           Float, 1.5,    79, "")         \
  X(collapse_delta_friction_thresh,     Float, 1e-06,  80, "")         \
  X(collapse_cooldown_steps,            Int,   128,    81, "")         \
  X(collapse_quality_floor,             Float, 0.15,   82, "")         \
  X(union_quality_ema_decay,            Float, 0.95,   83, "")         \
  X(post_union_eval_horizon,            Int,   50,     84, "")         \
  X(usage_active_thresh,                Float, 0.05,   85, "")         \
  X(cov_samples_min,                    Int,   64,     35, "")         \
  X(cov_decay,                          Float, 0.999,  36, "")         \
  X(cov_outlier_threshold,              Float, 3.0,    37, "")         \
  X(enable_outlier_rejection,           Bool,  true,   38, "")         \
  X(long_term_ema_decay,                Float, 0.995,  39, "_long_term_decay") \
  X(eps,                                Float, 1e-08,  40, "")

enum class Cfg : size_t {
#define KESTREL_X(field, kind, def, copy, stored_as) field,
  KESTREL_FORTRESS_SETTINGS(KESTREL_X)
#undef KESTREL_X
};

struct SettingSpec {
  const char* field;
  Kind kind;
  Literal default_value;
  int copy;               // position in the copy sequence, 0 when not copied
  const char* attr;       // the memory's attribute for it (meaningful when copied)
};

inline constexpr SettingSpec kSettings[] = {
#define KESTREL_X(field, kind, def, copy, stored_as) \
  {#field, Kind::kind, Literal(def), copy, (stored_as)[0] ? (stored_as) : "_" #field},
    KESTREL_FORTRESS_SETTINGS(KESTREL_X)
#undef KESTREL_X
};
inline constexpr size_t kSettingCount = sizeof(kSettings) / sizeof(kSettings[0]);
inline constexpr size_t kCopiedCount = 85;

// The settings in the order the memory copies them.
constexpr std::array<Cfg, kCopiedCount> copy_order() {
  std::array<Cfg, kCopiedCount> order{};
  for (size_t i = 0; i < kSettingCount; ++i)
    if (kSettings[i].copy > 0) order[static_cast<size_t>(kSettings[i].copy - 1)] = static_cast<Cfg>(i);
  return order;
}

constexpr bool copy_positions_are_a_sequence() {
  std::array<int, kCopiedCount + 1> seen{};
  for (size_t i = 0; i < kSettingCount; ++i) {
    int p = kSettings[i].copy;
    if (p < 0 || p > static_cast<int>(kCopiedCount)) return false;
    if (p > 0 && seen[static_cast<size_t>(p)]++) return false;
  }
  for (size_t p = 1; p <= kCopiedCount; ++p)
    if (!seen[p]) return false;
  return true;
}
static_assert(kSettingCount == 93, "the fortress configuration has 93 settings");
static_assert(copy_positions_are_a_sequence(), "copy positions must number 1..85 once each");

constexpr const SettingSpec& setting_spec(Cfg c) { return kSettings[static_cast<size_t>(c)]; }

// The memory's attribute name for a setting, as an interned string (made once per process).
inline py::handle setting_attr_name(Cfg c) {
  static const std::array<PyObject*, kSettingCount> names = [] {
    std::array<PyObject*, kSettingCount> made{};
    for (size_t i = 0; i < kSettingCount; ++i) made[i] = interned(kSettings[i].attr).ptr();
    return made;
  }();
  return names[static_cast<size_t>(c)];
}

// `_k_max` and `_union_mode` are values derived from their fields, not copies of them.
constexpr bool is_derived(Cfg c) { return c == Cfg::k_max_ratio || c == Cfg::union_mode; }

// ---------------------------------------------------------------------------------------------
// EngramMetadata
//
// X(field, kind, default), in declaration order; `engram_id` is the one required field and
// `parent_ids` defaults to None (replaced by a fresh list after construction).
#define KESTREL_ENGRAM_FIELDS(X)         \
  X(engram_id,                 Int,     0)     \
  X(hierarchy_level,           Int,     0)     \
  X(parent_ids,                IntList, 0)     \
  X(consolidation_step,        Int,     0)     \
  X(steps_since_consolidation, Int,     0)     \
  X(last_usage_step,           Int,     0)     \
  X(usage_ema,                 Float,   0.0)   \
  X(quality_ema,               Float,   1.0)   \
  X(conflict_ema,              Float,   0.0)   \
  X(current_lambda,            Float,   15.0)  \
  X(reinforcement_count,       Int,     0)     \
  X(yielding_count,            Int,     0)     \
  X(is_abstract,               Bool,    false) \
  X(is_demoted,                Bool,    false) \
  X(is_yielding,               Bool,    false) \
  X(yield_cooldown,            Int,     0)     \
  X(conflict_steps_high,       Int,     0)     \
  X(steps_since_exit,          Int,     0)

enum class Engram : size_t {
#define KESTREL_X(field, kind, def) field,
  KESTREL_ENGRAM_FIELDS(KESTREL_X)
#undef KESTREL_X
};

struct EngramFieldSpec {
  const char* field;
  Kind kind;
  Literal default_value;
};

inline constexpr EngramFieldSpec kEngramFields[] = {
#define KESTREL_X(field, kind, def) {#field, Kind::kind, Literal(def)},
    KESTREL_ENGRAM_FIELDS(KESTREL_X)
#undef KESTREL_X
};
inline constexpr size_t kEngramFieldCount = sizeof(kEngramFields) / sizeof(kEngramFields[0]);
static_assert(kEngramFieldCount == 18, "an engram record has 18 fields");

constexpr const char* name(Engram f) { return kEngramFields[static_cast<size_t>(f)].field; }

// ---------------------------------------------------------------------------------------------
// FortressUnbrokenMemory buffers
//
// X(name, dtype, initial, shape), in registration (and state-dict) order. `Default` is the
// default floating dtype at construction; Vector and Matrix are `d_state` and `d_state`^2.
#define KESTREL_FORTRESS_BUFFERS(X)                                  \
  X(z_mu_ema,                                        Default, 1.5,  Scalar) \
  X(z_m2_ema,                                        Default, 0.5,  Scalar) \
  X(stable_steps,                                    Int64,   0,    Scalar) \
  X(stable_streak,                                   Int64,   0,    Scalar) \
  X(cov_C,                                           Default, 0,    Matrix) \
  X(cov_mean,                                        Default, 0,    Vector) \
  X(cov_n,                                           Int64,   0,    Scalar) \
  X(global_step,                                     Int64,   0,    Scalar) \
  X(next_engram_id,                                  Int64,   0,    Scalar) \
  X(sacred_engrams,                                  Int64,   0,    Scalar) \
  X(global_pressure,                                 Default, 0,    Scalar) \
  X(pressure_prev,                                   Default, 0,    Scalar) \
  X(last_avg_conflict,                               Default, 0,    Scalar) \
  X(last_surprisal,                                  Default, 0,    Scalar) \
  X(last_dance_friction,                             Default, 0,    Scalar) \
  X(last_pressure_raw,                               Default, 0,    Scalar) \
  X(dance_friction_baseline,                         Default, 0,    Scalar) \
  X(prev_dance_friction,                             Default, 0,    Scalar) \
  X(prev_pressure_raw,                               Default, 0,    Scalar) \
  X(last_dance_friction_centered,                    Default, 0,    Scalar) \
  X(last_delta_dance_friction,                       Default, 0,    Scalar) \
  X(last_delta_pressure_raw,                         Default, 0,    Scalar) \
  X(last_spike_applied,                              Default, 0,    Scalar) \
  X(last_dance_friction_nonfinite,                   Default, 0,    Scalar) \
  X(trainer_calm_run,                                Int32,   0,    Scalar) \
  X(trainer_calm_ok,                                 Default, 0,    Scalar) \
  X(ema_abs_delta_dance,                             Default, 0,    Scalar) \
  X(calm_streak,                                     Int64,   0,    Scalar) \
  X(bounded_calm_ok,                                 Default, 0,    Scalar) \
  X(dance_kl_ema_mean,                               Default, 0,    Scalar) \
  X(dance_kl_ema_var,                                Default, 1.0,  Scalar) \
  X(delta_dance_kl_ema_mean,                         Default, 0,    Scalar) \
  X(delta_dance_kl_ema_var,                          Default, 1.0,  Scalar) \
  X(adaptive_calm_ok,                                Default, 0,    Scalar) \
  X(last_can_promote,                                Default, 0,    Scalar) \
  X(last_promotion_event,                            Default, 0,    Scalar) \
  X(last_promotion_reason_code,                      Int64,   0,    Scalar) \
  X(promotion_happened_any,                          Default, 0,    Scalar) \
  X(last_cov_trace,                                  Default, 0,    Scalar) \
  X(last_cov_isfinite,                               Default, 1.0,  Scalar) \
  X(last_candidate_norm,                             Default, 0,    Scalar) \
  X(last_candidate_rank,                             Int64,   -1,   Scalar) \
  X(last_promotion_blocker_code,                     Int64,   0,    Scalar) \
  X(last_dance_z,                                    Default, 0,    Scalar) \
  X(last_drift_z,                                    Default, 0,    Scalar) \
  X(last_calm_band_thresh,                           Default, 0,    Scalar) \
  X(last_calm_drift_thresh,                          Default, 0,    Scalar) \
  X(cosmic_surprisal_z,                              Default, 0,    Scalar) \
  X(shakti_tension_z,                                Default, 0,    Scalar) \
  X(cosmic_shock,                                    Default, 0,    Scalar) \
  X(shakti_flash,                                    Default, 0,    Scalar) \
  X(friction_ema,                                    Default, 0,    Scalar) \
  X(friction_ema_absdev,                             Default, 1.0,  Scalar) \
  X(tension_high_streak,                             Int64,   0,    Scalar) \
  X(last_union_step,                                 Int64,   -1000000, Scalar) \
  X(last_union_mode,                                 Int64,   0,    Scalar) \
  X(last_collapse_ok,                                Default, 0,    Scalar) \
  X(last_friction_drop_z,                            Default, 0,    Scalar) \
  X(structural_quality_ema,                          Float32, 0,    Scalar) \
  X(collapse_quality_ema,                            Float32, 0,    Scalar) \
  X(last_structural_quality_score,                   Float32, -1.0, Scalar) \
  X(last_collapse_quality_score,                     Float32, -1.0, Scalar) \
  X(post_union_loss_delta,                           Float32, 0,    Scalar) \
  X(post_union_steps_left,                           Int64,   0,    Scalar) \
  X(post_union_baseline_loss,                        Float32, -1.0, Scalar) \
  X(last_union_mode_code,                            Int64,   0,    Scalar) \
  X(last_candidate_quality_score_raw,                Float32, 0,    Scalar) \
  X(last_structural_trigger_value,                   Default, 0,    Scalar) \
  X(last_stable_ready_value,                         Default, 0,    Scalar) \
  X(last_trainer_ok_value,                           Default, 0,    Scalar) \
  X(last_structural_would_promote_if_quality_ge_040, Default, 0,    Scalar) \
  X(collapse_cond_tension_ok,                        Default, 0,    Scalar) \
  X(collapse_cond_drop_ok,                           Default, 0,    Scalar) \
  X(collapse_cond_delta_ok,                          Default, 0,    Scalar) \
  X(collapse_cond_quality_ok,                        Default, 0,    Scalar) \
  X(collapse_cond_stable_ok,                         Default, 0,    Scalar) \
  X(collapse_cond_cooldown_ok,                       Default, 0,    Scalar) \
  X(collapse_bottleneck_code,                        Int64,   0,    Scalar) \
  X(max_engram_usage,                                Default, 0,    Scalar) \
  X(active_engram_count,                             Int64,   0,    Scalar) \
  X(engram_usage_available,                          Default, 1.0,  Scalar) \
  X(surprisal_mean_ema,                              Default, 1.5,  Scalar) \
  X(surprisal_std_ema,                               Default, 1.0,  Scalar) \
  X(dance_friction_mean_ema,                         Default, 0,    Scalar) \
  X(dance_friction_std_ema,                          Default, 1.0,  Scalar)

enum class Buf : size_t {
#define KESTREL_X(name, dtype, initial, shape) name,
  KESTREL_FORTRESS_BUFFERS(KESTREL_X)
#undef KESTREL_X
};

inline constexpr BufferSpec kBuffers[] = {
#define KESTREL_X(name, dtype, initial, shape) {#name, DType::dtype, initial, Shape::shape},
    KESTREL_FORTRESS_BUFFERS(KESTREL_X)
#undef KESTREL_X
};
inline constexpr size_t kBufferCount = sizeof(kBuffers) / sizeof(kBuffers[0]);
static_assert(kBufferCount == 85, "the fortress memory registers 85 buffers");

// ---------------------------------------------------------------------------------------------
// Typed access to one memory, for the duration of one call. Buffers are fetched from the
// registry at each access and settings read from the memory's attributes at each use, so moves,
// casts, state-dict loads and attribute changes are always seen.

class Memory {
 public:
  explicit Memory(const py::handle& self) : self_(self), buffers_(self, kBuffers) {}

  at::Tensor operator[](Buf b) const { return buffers_[b]; }
  // The registered Python object itself (identity preserved).
  py::object object(Buf b) const { return buffers_.object(static_cast<size_t>(b)); }

  // The stored setting as it is.
  py::object setting_object(Cfg c) const { return self_.attr(setting_attr_name(c)); }

  // The stored setting converted by its declared kind: double, int64_t, bool or str.
  template <Cfg C>
  auto setting() const {
    static_assert(setting_spec(C).copy > 0, "not copied: read it through the kept record");
    static_assert(!is_derived(C), "a derived value, not a copy of its field");
    constexpr Kind kind = setting_spec(C).kind;
    py::object value = setting_object(C);
    if constexpr (kind == Kind::Float) {
      return arg_float(value, setting_spec(C).attr);
    } else if constexpr (kind == Kind::Int) {
      return arg_int(value, setting_spec(C).attr);
    } else if constexpr (kind == Kind::Bool) {
      return truth(value);
    } else {
      return arg_str(value, setting_spec(C).attr);
    }
  }

  // The setting as a zero-dimensional tensor with the given options (device and dtype).
  template <Cfg C>
  at::Tensor setting_tensor(const at::TensorOptions& options) const {
    return at::full({}, at::Scalar(setting<C>()), options);
  }

  const py::handle& self() const { return self_; }

 private:
  py::handle self_;
  BufferView buffers_;
};

// One zero-dimensional buffer of the memory as a C++ scalar of type V, for bookkeeping done in
// scalar arithmetic on the host: read and written through its data pointer, each write marked as
// an in-place operation marks it. `bind` fails (the caller then takes its tensor path) unless the
// buffer is a writable host scalar of V.
template <typename V>
class Slot {
 public:
  bool bind(const Memory& mem, Buf b) {
    tensor_ = mem[b];
    if (!is_writable_host_scalar(tensor_, c10::CppTypeToScalarType<V>::value)) return false;
    data_ = static_cast<V*>(tensor_.data_ptr());
    return true;
  }
  V get() const { return *data_; }
  void set(V value) const {
    *data_ = value;
    mark_written(tensor_);
  }
  const at::Tensor& tensor() const { return tensor_; }

 private:
  at::Tensor tensor_;
  V* data_ = nullptr;
};

// The value of a zero-dimensional input as a C++ scalar of type V, when it is a host scalar of V.
template <typename V>
bool host_value(const at::Tensor& t, V& value) {
  if (!is_host_scalar(t, c10::CppTypeToScalarType<V>::value)) return false;
  value = *static_cast<const V*>(t.data_ptr());
  return true;
}

// Reads every copied setting a block's forward call, its promotions and its projection hook can
// read, by its declared kind, with the error its first use would raise: the block calls it
// before its first write, so that a bad setting refuses the call with nothing changed.
void check_settings(const Memory& mem);

// ---------------------------------------------------------------------------------------------
// Pieces of the module, in the order the module body defines them.

void define_records(py::module_& m);                  // EngramMetadata, FortressUnbrokenConfig
// Refuses (ValueError naming the setting) the settings of a fortress configuration that cannot
// work: a zero divisor or modulus, a negative rank or strength. The record checks itself when it is
// made, the memory again when it copies the settings.
void refuse_impossible_settings(const py::handle& config);
py::object define_memory_class(py::module_& m);       // FortressUnbrokenMemory: __init__, forward_step
void define_pressure_methods(const py::object& cls);  // _compute_pressure, _update_global_pressure
// self._update_global_pressure(avg_conflict, surprisal, dance_friction): the memory's own method
// runs directly, under its profiler range, while the instance resolves the name to it; an override
// or a replacement is called as before.
void global_pressure_update(const py::object& self, const py::object& avg_conflict, const py::object& surprisal,
                            const py::object& dance_friction);
void define_surprisal_methods(const py::object& cls); // update_surprisal_stats
void define_covariance_methods(const py::object& cls);      // accumulate_covariance, _compute_adaptive_rank
void define_strength_methods(const py::object& cls);        // _compute_alpha, _compute_protection_strength
// What the memory's own _compute_adaptive_rank reads besides the spectrum, when self resolves the
// name to it and its bounds are plain ints (nothing otherwise); and the rank it gives for them, run
// directly under its profiler range.
struct AdaptiveRankInputs {
  int64_t k_min = 0, k_max = 0;
  double threshold = 0.0, eps = 0.0;
};
std::optional<AdaptiveRankInputs> own_adaptive_rank_inputs(const py::object& self);
int64_t adaptive_rank(const at::Tensor& eigenvalues, const AdaptiveRankInputs& in);
void define_projection_methods(const py::object& cls);      // _update_joint_basis,
                                                            // create_joint_basis_projection_hook
void define_yielding_methods(const py::object& cls);        // _update_yielding_state
void define_promotion_code_methods(const py::object& cls);  // _reason_to_code .. _union_mode_config_code
void define_fallback_methods(const py::object& cls);        // _compute_diag_fallback_candidate
void print_banner();

// The module logger: the `logger` of the module named `module_name` (the module that defines the
// memory class), looked up at each use; logging.getLogger(module_name) when it cannot be found.
py::object module_logger(const std::string& module_name);

// The engram lifecycle, one source file per step, attached in method order: the collapse-union
// gate, the loss watch after a union, usage diagnostics, promotion candidates, the union itself,
// the promotion decision and demotion. The union and demotion log through the module's logger,
// and a union creates its record from the module's EngramMetadata, both looked up at each call.
void define_collapse_methods(const py::object& cls);                       // _compute_collapse_ok
// self._record_blocker_reason(reason), self._set_promotion_diagnostics(can_promote=..., event=...,
// reason=...) and, as a truth value, self._compute_collapse_ok(stable=..., trainer_ok=...): the
// memory's own method runs directly, under its profiler range, while the instance resolves the name
// to it; an override or a replacement is called as before.
void record_blocker_reason(const py::object& self, const py::object& reason);
void promotion_diagnostics(const py::object& self, bool can_promote, bool event, const py::object& reason);
bool collapse_allowed(const py::object& self, const py::object& stable, const py::object& trainer_ok);
// The truth of self.update_surprisal_stats(score)[2], and self.maybe_promote_to_deep_engram(
// stable=..., trainer_ok=...) with its result dropped: the memory's own method runs directly,
// under its profiler range, while the instance resolves the name to it (the statistics then hand
// over their verdict without making the returned tuple); an override or a replacement is called as
// before.
bool surprisal_stable(const py::object& self, const py::object& surprisal_score);
void promotion_decision(const py::object& self, bool stable, bool trainer_ok);
void define_impact_methods(const py::object& cls);                         // update_post_union_impact
void define_usage_methods(const py::object& cls);                          // compute_engram_usage_metrics
void define_candidate_methods(const py::object& cls);                      // _compute_promotion_candidate
// self._compute_promotion_candidate(), the memory's own method run directly (under its profiler
// range) while the instance resolves the name to it.
py::object promotion_candidate(const py::object& self);
void define_union_methods(const py::object& cls, const py::module_& m);    // _promote_candidate
void define_promotion_methods(const py::object& cls);                      // maybe_promote_to_deep_engram
void define_demotion_methods(const py::object& cls, const py::module_& m); // lifecycle_management

// ---------------------------------------------------------------------------------------------
// Engram subspaces
//
// Engram bases are kept mutually orthogonal: a new engram holds only directions outside the span
// of the engrams before it, so that the joint basis of all engrams is orthonormal and at most
// `d_state` wide. A projection through an orthonormal basis with coefficients in [0, 1] can
// neither lengthen a gradient nor turn it against itself.

// The part of `columns` (d_state x r) outside the span of `held` (d_state x K, float64,
// orthonormal columns), as orthonormal columns in the order of `columns` (Gram-Schmidt, each
// column taken twice): a column with almost nothing outside what comes before it adds nothing,
// and there are never more than d_state - K columns. Columns that are already orthonormal and
// orthogonal to `held` come back as they are. The result has the dtype of `columns`.
at::Tensor orthogonal_extension(const at::Tensor& held, const at::Tensor& columns);

// The spacing of floating values of `dtype` just above 1 (the float32 spacing for other types).
double unit_roundoff(at::ScalarType dtype);

// `x` with its components along the orthonormal columns of `held` removed, in the dtype of `x`.
at::Tensor outside(const at::Tensor& held, const at::Tensor& x);

// The span the engram list holds, built entry by entry in list order: each entry's first `rank`
// columns extended onto the span of the entries before it.
struct HeldSpan {
  at::Tensor basis;                 // d_state x K, float64, orthonormal columns
  std::vector<at::Tensor> columns;  // per entry, the columns it adds, in the entry's dtype
};
HeldSpan held_span(const py::object& stack, int64_t d_state, const at::Device& device);
// held_span's basis alone, for a caller that only reads it: a list of the same bases (by their
// contents) and ranks gives the basis built for it before, shared with earlier callers. An entry
// that cannot be read raises its error before any entry's span is built.
at::Tensor held_basis(const py::object& stack, int64_t d_state, const at::Device& device);

// Python's float(x) and int(x) (strings parse, other numbers convert), with Python's own errors.
inline double py_float(const py::handle& value) {
  PyObject* r = PyNumber_Float(value.ptr());
  if (!r) throw py::error_already_set();
  const double d = PyFloat_AS_DOUBLE(r);
  Py_DECREF(r);
  return d;
}
inline py::int_ py_int(const py::handle& value) {
  PyObject* r = PyNumber_Long(value.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::int_>(r);
}

// A flag buffer's value.
inline double flag(bool value) { return value ? 1.0 : 0.0; }

// ---------------------------------------------------------------------------------------------
// War engine block

py::object define_block_class(py::module_& m);        // WarEngineTevZOZU_V722_FU
// WarEngineTevZOZU_V722_FU_Bounded, a subclass of `block` for deep residual stacks.
void define_bounded_block_class(py::module_& m, const py::object& block);

// What one forward call of a block hands on to its diagnostics.
struct BlockCall {
  py::object sigma;            // the integrator's new states, as the integrator returned them
  at::Tensor surprisal;        // the call's surprisal score
  bool stable = false;         // the verdict of the fortress's surprisal statistics
  py::object integrator_diag;  // the integrator's own diagnostics dictionary
};
// The block's diagnostics dictionary for one call (refreshes the fortress usage metrics first).
py::dict block_diagnostics(const py::object& block, const BlockCall& call);

}  // namespace kestrel::fortress

// Per-engram protection: the protection strength lambda of an engram (temporal decay, usage
// reinforcement and conflict penalty combined in log space) and the projection coefficient alpha
// that lambda and the global pressure give.
//
// Plain double arithmetic with the C library's exp, log and pow, which are the functions the
// interpreter's math module calls; the interpreter's errors are raised where it would raise them.
#include "fortress_engine/fortress.h"

#include <cmath>

namespace kestrel::fortress {
namespace {

double divide(double a, double b) {
  if (b == 0.0) raise(PyExc_ZeroDivisionError, "float division by zero");
  return a / b;
}

double exp_checked(double x) {
  const double r = std::exp(x);
  if (std::isinf(r) && std::isfinite(x)) raise(PyExc_OverflowError, "math range error");
  return r;
}

double log_checked(double x) {
  if (x <= 0.0) raise(PyExc_ValueError, "math domain error");
  return std::log(x);
}

// base ** exponent for floats. A negative base to a fractional power has no real value; it is
// refused rather than turned into a NaN coefficient that would poison every projected gradient.
double power(double base, double exponent) {
  if (base == 0.0 && exponent < 0.0)
    raise(PyExc_ZeroDivisionError, "0.0 cannot be raised to a negative power");
  if (base < 0.0 && std::isfinite(exponent) && exponent != std::floor(exponent))
    raise(PyExc_ValueError, "a negative protection strength has no projection coefficient");
  const double r = std::pow(base, exponent);
  if (std::isinf(r) && std::isfinite(base) && std::isfinite(exponent))
    raise(PyExc_OverflowError, "(34, 'Numerical result out of range')");
  return r;
}

// max(a, b) and min(a, b) as the interpreter evaluates them: the first operand unless the second
// compares strictly beyond it.
double py_max(double a, double b) { return b > a ? b : a; }
double py_min(double a, double b) { return b < a ? b : a; }

// Projection coefficient: (lambda / lambda_max) ** squash, capped at alpha_max, lowered by the
// pressure bias, and never below the value lambda_min gives.
double compute_alpha(py::object self, py::object lambda_arg, py::object pressure_arg) {
  const double lambda_val = arg_float(lambda_arg, "lambda_val");
  const double pressure = arg_float(pressure_arg, "pressure");
  Memory mem(self);
  const double lambda_max = mem.setting<Cfg::lambda_max>();
  const double squash = mem.setting<Cfg::squash_power>();

  double a = power(divide(lambda_val, lambda_max), squash);
  a = py_min(a, mem.setting<Cfg::alpha_max>());
  if (mem.setting<Cfg::enable_vgt>() && pressure > 0.0) {
    a = a * (1.0 - mem.setting<Cfg::beta_pressure>() * pressure);
  }
  const double a_min = power(divide(mem.setting<Cfg::lambda_min>(), lambda_max), squash);
  return py_max(a, a_min);
}

// Protection strength of one engram, in [_lambda_min, _lambda_max]. The age is the record's
// steps_since_consolidation, which the projection hook keeps current; `current_step` is checked
// but takes no part.
double compute_protection_strength(py::object self, py::object metadata, py::object current_step) {
  arg_int(current_step, "current_step");
  Memory mem(self);
  const double lambda_min = mem.setting<Cfg::lambda_min>();
  const double lambda_max = mem.setting<Cfg::lambda_max>();

  // Temporal term: e-fold decay of the protection over the half-life constant.
  const double age = arg_float(metadata.attr(name(Engram::steps_since_consolidation)), "steps_since_consolidation");
  double lambda_t = lambda_max * exp_checked(divide(-age, mem.setting<Cfg::protection_halflife>()));
  lambda_t = py_max(lambda_t, lambda_min);

  // Usage reinforcement.
  const double usage = arg_float(metadata.attr(name(Engram::usage_ema)), "usage_ema");
  const double u = usage > mem.setting<Cfg::eternal_usage_threshold>() ? mem.setting<Cfg::usage_reinforcement_factor>()
                                                                       : 1.0;

  // A yielding engram keeps only the floor.
  if (truth(metadata.attr(name(Engram::is_yielding)))) return lambda_min;

  // Conflict penalty above the conflict threshold, its exponent capped.
  const double conflict = arg_float(metadata.attr(name(Engram::conflict_ema)), "conflict_ema");
  const double threshold = mem.setting<Cfg::conflict_threshold>();
  double c = 1.0;
  if (conflict > threshold) {
    double p = mem.setting<Cfg::conflict_sharpness>() *
               divide(conflict - threshold, mem.setting<Cfg::yield_enter_threshold>() - threshold);
    p = py_min(p, mem.setting<Cfg::max_warning_penalty_db>());
    c = exp_checked(-p);
  }

  const double eps = mem.setting<Cfg::eps>();
  const double log_lambda = mem.setting<Cfg::w_temporal>() * log_checked(lambda_t + eps) +
                            mem.setting<Cfg::w_usage>() * log_checked(u) +
                            mem.setting<Cfg::w_conflict>() * log_checked(c + eps);
  const double lambda = exp_checked(log_lambda);
  return py_max(py_min(lambda, lambda_max), lambda_min);
}

}  // namespace

void define_strength_methods(const py::object& cls) {
  def_method(cls, "_compute_alpha", &compute_alpha,
             "Projection coefficient from protection strength, lowered under global pressure.",
             py::arg("lambda_val"), py::arg("pressure") = 0.0);
  def_method(cls, "_compute_protection_strength", &compute_protection_strength,
             "Protection strength of one engram from its age, usage, conflict and yielding state.",
             py::arg("metadata"), py::arg("current_step"));
}

}  // namespace kestrel::fortress

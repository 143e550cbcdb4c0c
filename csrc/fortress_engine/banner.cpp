// The informational banner: a summary of the design, of the pressure stabilisation and of the
// experiments planned with it. Printing it constructs nothing and computes nothing.
#include "fortress_engine/fortress.h"

namespace kestrel::fortress {
namespace {

#define KESTREL_RULE "================================================================================"

constexpr const char* kBanner[] = {
    KESTREL_RULE,
    "Fortress Unbroken v7.2.2-FU",
    KESTREL_RULE,
    "",
    "Design:",
    "  - Engrams: protected subspaces of the block state, promoted from the running",
    "    covariance of calm, stable states (structural, collapse and forced unions).",
    "  - Joint basis: all engrams side by side in one orthonormal basis, so that",
    "    per-engram projections do not compound.",
    "  - Conflict-aware protection: each engram's strength falls with age and",
    "    conflict and rises with use; conflict evidence accumulates in log space.",
    "  - Yielding with hysteresis: a conflicted engram yields only after sustained",
    "    conflict and stops yielding only after sustained calm.",
    "  - Lifecycle governance: weak engrams are demoted at a fixed step interval.",
    "",
    "Pressure stabilisation:",
    "  - Surprisal and dance friction are normalised by their own running mean and",
    "    mean absolute deviation, so the pressure does not depend on their scale.",
    "  - Non-finite inputs are replaced by fixed values before use.",
    "  - One global pressure drives both the gate band and the projection",
    "    coefficients of every engram.",
    "  - Rate limit: the raw pressure is pulled to within max_pressure_delta of the",
    "    current pressure, which then moves by 1 - pressure_ema_decay of the rest.",
    "  - Calm is declared only after calm_window_steps consecutive calm updates.",
    "",
    "Defaults:",
    "  - pressure weights: conflict 0.5, surprisal 0.3, sync 0.2",
    "  - max_pressure_delta 0.2, pressure_ema_decay 0.96: at most 0.008 per update",
    "  - calm_window_steps 12, kl_temperature 2.0",
    "",
    "Planned experiments:",
    "  1. Sweep max_pressure_delta and pressure_ema_decay and record how fast the",
    "     pressure follows a step change of the raw pressure.",
    "  2. Switch the nonlinear spike on and off on tasks with abrupt shifts.",
    "  3. Vary calm_window_steps and measure when the first engram is promoted.",
    "  4. Compare the structural, collapse and dual union modes on task sequences.",
    "  5. Track the kept share of the gradient per layer under projection.",
    "  6. Check that the pressure of the slow head stays in [0, 1] when it is",
    "     updated twice per step by its block and by the dual-path core.",
    "",
    "Usage:",
    "  config = FortressUnbrokenConfig(enable_vgt=True, beta_pressure=0.4)",
    "  fortress = FortressUnbrokenMemory(d_state, config)",
    "  fortress.forward_step()  # once per block call, before its other operations",
    "",
    KESTREL_RULE,
};
static_assert(sizeof(kBanner) / sizeof(kBanner[0]) == 46, "the banner has 46 lines");

#undef KESTREL_RULE

}  // namespace

void print_banner() {
  for (const char* line : kBanner) py::print(line);
}

}  // namespace kestrel::fortress

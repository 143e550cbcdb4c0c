"""Helpers of the fortress memory tests."""
from silver_kestrel.architectures.heavy_core import fortress_engine as fe

# The promotion reasons, indexed by their reason code.
REASONS = ["no_candidate", "not_stable", "need_more_cov", "quality_fail", "promoted", "forced_union",
           "trainer_not_ok", "bad_candidate", "cosmic_surprisal", "shakti_tension", "blocked_by_trigger",
           "blocked_by_structure", "blocked_by_stillness", "collapse_union", "blocked_by_collapse_floor"]


def memory(d_state=8, **settings):
    """A fresh fortress memory of width `d_state` with the given config settings."""
    return fe.FortressUnbrokenMemory(d_state, fe.FortressUnbrokenConfig(**settings))

"""TEMPORARY STAND-IN -- DELETE AFTER THE MERGE OF THE HEAVY CORE.

kestrel_model binds the heavy core class `ZuravMorvaV8_2H` from heavy_core when it is imported.
Until that class is part of heavy_core, `load_kestrel_model()` lends the loaded heavy_core module
a minimal core under that name (in the test process only, never in the package) while it imports
kestrel_model. Once heavy_core has the real class, nothing is lent; then delete this file, import
kestrel_model directly and drop LEND_CORE from the subprocess scripts.

The stand-in honours the core contract: built with (config, fortress_config, cross_attn_mode=...,
shared_backbone=...), called with hidden [B, T, D] and an optional state, it returns (hidden,
diagnostics) with "surprisal_score" in the diagnostics.
"""
from silver_kestrel.architectures.heavy_core import heavy_core

CORE_NAME = "ZuravMorvaV8_2H"

# The same lending as source text, for scripts run in a fresh interpreter.
LEND_CORE = f'''
import torch
from silver_kestrel.architectures.heavy_core import heavy_core as _hc
if not hasattr(_hc, {CORE_NAME!r}):
    class {CORE_NAME}(torch.nn.Module):
        stand_in = True

        def __init__(self, config, fortress_config=None, cross_attn_mode="linear", shared_backbone=False):
            super().__init__()
            self.cross_attn_mode = cross_attn_mode.lower()
            self.shared_backbone = bool(shared_backbone)
            self.fortress_config = fortress_config
            self.mix = torch.nn.Linear(config.d_model, config.d_model, bias=False)

        def forward(self, x, state=None):
            return x + self.mix(x), {{"surprisal_score": 1.0}}

    {CORE_NAME}.__module__ = _hc.__name__
    setattr(_hc, {CORE_NAME!r}, {CORE_NAME})
'''


def load_kestrel_model():
    """kestrel_model, imported with the stand-in lent when needed. The loan is taken back right
    after the import (kestrel_model keeps its own binding), so heavy_core's own tests still see
    the module as it is."""
    lent = not hasattr(heavy_core, CORE_NAME)
    exec(LEND_CORE, {"__name__": "heavy_core_standin"})
    try:
        from silver_kestrel import kestrel_model
    finally:
        if lent:
            delattr(heavy_core, CORE_NAME)
    return kestrel_model

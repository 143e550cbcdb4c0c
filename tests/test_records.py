"""Records (the data classes every module makes) belong to the module that defines them, whatever
the interpreter: their class repr names it, and saved records load back from it."""
import dataclasses
import importlib
import io
import pickle
import pkgutil
import sys

import pytest
import torch

import silver_kestrel

FE = "silver_kestrel.architectures.heavy_core.fortress_engine"
HC = "silver_kestrel.architectures.heavy_core.heavy_core"
UE = "silver_kestrel.architectures.unified_engine_pkg.unified_engine"
KM = "silver_kestrel.kestrel_model"
RECORDS = {(FE, "FortressUnbrokenConfig"), (FE, "EngramMetadata"), (HC, "BoundaryRecord"), (HC, "MorvaConfig"),
           (UE, "TevUnifiedConfig"), (KM, "KestrelModelConfig")}


def package_modules():
    for info in pkgutil.walk_packages(silver_kestrel.__path__, "silver_kestrel."):
        if not info.name.endswith("_main"):  # launchers run their module on import
            yield importlib.import_module(info.name)


def test_every_record_names_its_own_module():
    found = {value for module in package_modules() for value in vars(module).values()
             if isinstance(value, type) and dataclasses.is_dataclass(value)}
    assert {(cls.__module__, cls.__qualname__) for cls in found} == RECORDS
    for cls in found:
        assert getattr(sys.modules[cls.__module__], cls.__qualname__) is cls
        assert repr(cls) == f"<class '{cls.__module__}.{cls.__qualname__}'>"


def record(module, name, *args, **kwargs):
    return getattr(importlib.import_module(module), name)(*args, **kwargs)


CASES = [
    (FE, "FortressUnbrokenConfig", (), dict(max_engrams=3, use_spectral_gap=True, tau_mu=1.5)),
    (KM, "KestrelModelConfig", (), dict(vocab_size=7, d_model=16, d_state=16, n_layers=2, morva_variant="lite")),
    (FE, "EngramMetadata", (2,), dict(parent_ids=[0, 1], usage_ema=0.25)),
    (HC, "BoundaryRecord", (3, 0.5, 0.1, 2.0, "FRICTION_COLLAPSE"), {}),
    (HC, "MorvaConfig", (), dict(n_attn_heads=2, enable_zurav=False)),
    (UE, "TevUnifiedConfig", (8, 4, 1), dict(coupling_init=0.25)),
]


@pytest.mark.parametrize("module, name, args, kwargs", CASES, ids=[c[1] for c in CASES])
def test_saved_records_load_back_equal(module, name, args, kwargs):
    original = record(module, name, *args, **kwargs)
    assert repr(original).startswith(f"{name}(")
    buffer = io.BytesIO()
    torch.save(original, buffer)
    buffer.seek(0)
    for loaded in (pickle.loads(pickle.dumps(original)), torch.load(buffer, weights_only=False)):
        assert type(loaded) is type(original) and loaded == original
    if kwargs:  # the settings come back, not the defaults
        assert loaded != record(module, name, *args)

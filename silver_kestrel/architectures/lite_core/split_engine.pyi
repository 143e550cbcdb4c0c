# Type stubs of an extension module, written by tools/make_stubs.py from the live module.
from silver_kestrel.architectures.heavy_core.split_engine import InferenceEngineTevZOZU_V32 as InferenceEngineTevZOZU_V32
from silver_kestrel.architectures.heavy_core.split_engine import ListeningIntegratorV32 as ListeningIntegratorV32
from silver_kestrel.architectures.heavy_core.split_engine import WarEngineTevZOZU_V32 as TevZOZU_V32
from silver_kestrel.architectures.heavy_core.split_engine import WarEngineTevZOZU_V32 as WarEngineTevZOZU_V32
from silver_kestrel.architectures.unified_engine_pkg.unified_engine import ListeningIntegratorV2 as ListeningIntegratorV2
from silver_kestrel.architectures.unified_engine_pkg.unified_engine import TevUnifiedConfig as TevUnifiedConfig
import torch


def create_inference_model_v32(training_model: WarEngineTevZOZU_V32) -> InferenceEngineTevZOZU_V32: ...

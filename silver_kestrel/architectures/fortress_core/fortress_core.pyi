# Type stubs of an extension module, written by tools/make_stubs.py from the live module.
from silver_kestrel.architectures.heavy_core.fortress_engine import FortressUnbrokenConfig as FortressUnbrokenConfig
from silver_kestrel.architectures.heavy_core.fortress_engine import WarEngineTevZOZU_V722_FU as WarEngineTevZOZU_V722_FU
from silver_kestrel.architectures.unified_engine_pkg.unified_engine import TevUnifiedConfig as TevUnifiedConfig
from typing import Dict
from typing import Optional
from typing import Tuple
import torch


class FortressFUCore(torch.nn.Module):
    def __init__(self, config: TevUnifiedConfig, fortress_config: Optional[silver_kestrel.architectures.heavy_core.fortress_engine.FortressUnbrokenConfig] = None): ...
    def forward(self, x: torch.Tensor, state: Optional[Dict] = None) -> Tuple[torch.Tensor, Dict]: ...

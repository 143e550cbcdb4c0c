# Type stubs of an extension module, written by tools/make_stubs.py from the live module.
from silver_kestrel.architectures.heavy_core.fortress_engine import FortressUnbrokenConfig as FortressUnbrokenConfig
from silver_kestrel.architectures.heavy_core.fortress_engine import WarEngineTevZOZU_V722_FU as WarEngineTevZOZU_V722_FU
from silver_kestrel.architectures.unified_engine_pkg.unified_engine import TevUnifiedConfig as TevUnifiedConfig
from typing import Dict
from typing import List
from typing import Optional
from typing import Tuple
import dataclasses
import torch


class OptimizedMorvaRadar(torch.nn.Module):
    def __init__(self, d_model: int, max_l: int = 65536): ...
    def forward(self, x: torch.Tensor) -> torch.Tensor: ...


class MorvaCrossAttention(torch.nn.Module):
    def __init__(self, d_model: int, n_heads: int = 8): ...
    def forward(self, x_fast: torch.Tensor, x_slow: torch.Tensor, pressure: torch.Tensor) -> torch.Tensor: ...


class LinearMorvaCrossAttention(torch.nn.Module):
    def __init__(self, d_model: int, n_heads: int = 8): ...
    def forward(self, x_fast: torch.Tensor, x_slow: torch.Tensor, pressure: torch.Tensor) -> torch.Tensor: ...


class OptimizedMorvaCHA(torch.nn.Module):
    def __init__(self, d_model: int, n_heads: int = 8): ...
    def forward(self, q: torch.Tensor, k: torch.Tensor, v: torch.Tensor, pressure: float) -> torch.Tensor: ...


class ZuravMorvaEngine(torch.nn.Module):
    def __init__(self, config: TevUnifiedConfig, fortress_config: Optional[silver_kestrel.architectures.heavy_core.fortress_engine.FortressUnbrokenConfig] = None, cross_attn_mode: str = 'linear'): ...
    def train(self, mode: bool = True): ...
    def get_trainable_parameters(self) -> List[torch.nn.parameter.Parameter]: ...
    def _safe_symmetric_kl(self, fast_logits: torch.Tensor, slow_logits: torch.Tensor, temperature: float) -> torch.Tensor: ...
    def forward_with_diagnostics(self, x: torch.Tensor, state: Optional[Dict] = None, return_diagnostics: bool = True) -> Tuple[torch.Tensor, Dict]: ...


@dataclasses.dataclass
class BoundaryRecord:
    step: int
    friction_before: float
    friction_after: float
    drop_z: float
    reason: str
    engram_id: Optional[int] = None


class ZuravMorvaV8_2H(torch.nn.Module):
    def __init__(self, config: TevUnifiedConfig, fortress_config: Optional[silver_kestrel.architectures.heavy_core.fortress_engine.FortressUnbrokenConfig] = None, cross_attn_mode: str = 'linear', shared_backbone: bool = False): ...
    def _safe_symmetric_kl(self, fast_logits: torch.Tensor, slow_logits: torch.Tensor, temperature: float = 2.0) -> torch.Tensor: ...
    def forward(self, x: torch.Tensor, state: Optional[Dict] = None) -> Tuple[torch.Tensor, Dict]: ...


class DistributedMorvaZurav(torch.nn.Module):
    def __init__(self, config: TevUnifiedConfig, fortress_config: Optional[silver_kestrel.architectures.heavy_core.fortress_engine.FortressUnbrokenConfig], rank: int, world_size: int, cross_attn_mode: str = 'linear'): ...
    def forward(self, x: torch.Tensor, state: Optional[Dict] = None) -> torch.Tensor: ...


@dataclasses.dataclass
class MorvaConfig:
    enable_zurav: bool = True
    enable_cross_attn: bool = True
    radar_max_l: int = 1048576
    n_attn_heads: int = 8
    pressure_bias: float = 0.5


def _run_demonstration(): ...

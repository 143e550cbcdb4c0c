# Type stubs of an extension module, written by tools/make_stubs.py from the live module.
from silver_kestrel.architectures.heavy_core.fortress_engine import FortressUnbrokenConfig as FortressUnbrokenConfig
from silver_kestrel.architectures.heavy_core.heavy_core import ZuravMorvaV8_2H as ZuravMorvaV8_2H
from silver_kestrel.architectures.unified_engine_pkg.unified_engine import TevUnifiedConfig as TevUnifiedConfig
from typing import Any
from typing import Dict
from typing import Optional
from typing import Tuple
import dataclasses
import torch


@dataclasses.dataclass
class KestrelModelConfig:
    vocab_size: int = 50280
    d_model: int = 2560
    d_state: int = 2560
    n_layers: int = 64
    cross_attn_mode: str = 'linear'
    shared_backbone: bool = True
    morva_variant: str = 'heavy'


class KestrelBackboneFU64(torch.nn.Module):
    def __init__(self, rt_config: TevUnifiedConfig, fortress_cfg: FortressUnbrokenConfig): ...
    def forward(self, x: torch.Tensor) -> Tuple[torch.Tensor, Dict[str, Any]]: ...


class KestrelBackboneFU64Bounded(KestrelBackboneFU64):
    def __init__(self, rt_config: TevUnifiedConfig, fortress_cfg: FortressUnbrokenConfig): ...


class KestrelCausalLM(torch.nn.Module):
    def __init__(self, config: KestrelModelConfig): ...
    def forward(self, input_ids: torch.Tensor, labels: Optional[torch.Tensor] = None, loss_mask: Optional[torch.Tensor] = None) -> Dict[str, Any]: ...


class KestrelCausalLMLayered(torch.nn.Module):
    def __init__(self, config: KestrelModelConfig): ...
    def forward(self, input_ids: torch.Tensor, labels: Optional[torch.Tensor] = None) -> Dict[str, Any]: ...


def create_kestrel_model(vocab_size: int = 50280, d_model: int = 2560, d_state: int = 2560, n_layers: int = 64, cross_attn_mode: str = 'linear', shared_backbone: bool = True, morva_variant: str = 'heavy') -> KestrelCausalLM: ...

# Type stubs of an extension module, written by tools/make_stubs.py from the live module.
from typing import Dict
from typing import Optional
from typing import Tuple
import dataclasses
import torch


@dataclasses.dataclass
class TevUnifiedConfig:
    d_model: int
    d_state: int
    n_layers: int
    coupling_init: float = 0.5
    surprisal_ema_decay: float = 0.99
    flow_ema_decay_across_sequences: float = 0.0
    infer_damping: float = 0.5


class ListeningIntegratorV2(torch.nn.Module):
    def __init__(self, config: TevUnifiedConfig): ...
    def forward(self, delta: torch.Tensor, gate: torch.Tensor) -> torch.Tensor: ...
    def forward_with_diagnostics(self, delta: torch.Tensor, gate: torch.Tensor, state: Optional[Dict] = None, compute_diagnostics: bool = False) -> Tuple[torch.Tensor, Dict]: ...
    def step(self, gate_delta: torch.Tensor, state: torch.Tensor) -> torch.Tensor: ...
    def get_state(self) -> torch.Tensor: ...
    def set_state(self, state: torch.Tensor): ...
    def reset_sequence(self, decay_factor: float = 0.0): ...

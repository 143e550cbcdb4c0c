# Type stubs of an extension module, written by tools/make_stubs.py from the live module.
from silver_kestrel.architectures.heavy_core.split_engine import InferenceEngineTevZOZU_V32 as InferenceEngineTevZOZU_V32
from silver_kestrel.architectures.heavy_core.split_engine import ListeningIntegratorV32 as ListeningIntegratorV32
from silver_kestrel.architectures.heavy_core.split_engine import WarEngineTevZOZU_V32 as WarEngineTevZOZU_V32
from silver_kestrel.architectures.unified_engine_pkg.unified_engine import TevUnifiedConfig as TevUnifiedConfig
from typing import Dict
from typing import List
from typing import Optional
from typing import Tuple
import dataclasses
import torch


@dataclasses.dataclass
class EngramMetadata:
    engram_id: int
    hierarchy_level: int = 0
    parent_ids: Optional[List[int]] = None
    consolidation_step: int = 0
    steps_since_consolidation: int = 0
    last_usage_step: int = 0
    usage_ema: float = 0.0
    quality_ema: float = 1.0
    conflict_ema: float = 0.0
    current_lambda: float = 15.0
    reinforcement_count: int = 0
    yielding_count: int = 0
    is_abstract: bool = False
    is_demoted: bool = False
    is_yielding: bool = False
    yield_cooldown: int = 0
    conflict_steps_high: int = 0
    steps_since_exit: int = 0


@dataclasses.dataclass
class FortressUnbrokenConfig:
    tau_mu: float = 1.2
    tau_sigma: float = 0.3
    tau_stable_steps: int = 256
    explained_variance_threshold: float = 0.95
    k_min: int = 4
    k_max_ratio: float = 0.25
    quality_threshold: float = 0.7
    spectral_gap_ratio: float = 1.5
    use_spectral_gap: bool = False
    max_engrams: int = 8
    orthogonality_threshold: float = 0.3
    use_joint_basis_protection: bool = True
    lambda_min: float = 0.05
    lambda_max: float = 15.0
    protection_halflife: int = 10000
    w_temporal: float = 1.0
    w_usage: float = 0.8
    w_conflict: float = 1.2
    conflict_sharpness: float = 1.5
    max_warning_penalty_db: float = 1.5
    conflict_threshold: float = 0.3
    yield_enter_threshold: float = 0.6
    yield_exit_threshold: float = 0.35
    sustained_conflict_window: int = 200
    yield_cooldown_steps: int = 200
    yield_ramp_steps: int = 50
    rebuild_steps: int = 200
    squash_power: float = 2.5
    alpha_max: float = 0.98
    touch_epsilon: float = 1e-05
    usage_reinforcement_factor: float = 1.5
    eternal_usage_threshold: float = 0.15
    reinforcement_boost_steps: int = 50
    min_grad_norm: float = 1e-06
    conflict_ema_decay: float = 0.99
    allow_demotion: bool = True
    demotion_usage_threshold: float = 0.075
    demotion_quality_threshold: float = 0.6
    demotion_conflict_threshold: float = 0.2
    demotion_check_interval: int = 64
    min_global_gradient_ratio: float = 0.7
    emergency_energy_floor: float = 0.3
    enable_vgt: bool = True
    w_conflict_pressure: float = 0.5
    w_surprisal_pressure: float = 0.3
    w_sync_pressure: float = 0.2
    pressure_ema_decay: float = 0.96
    beta_pressure: float = 0.3
    g_min: float = 0.1
    g_max: float = 1.0
    max_pressure_delta: float = 0.2
    enable_nonlinear_spike: bool = False
    dance_spike_tau: float = 0.02
    dance_spike_epsilon: float = 0.05
    spike_multiplier: float = 3.0
    dance_baseline_decay: float = 0.95
    spike_warmup_steps: int = 1
    trainer_calm_eps: float = 0.02
    trainer_calm_tau: float = 0.01
    trainer_calm_steps: int = 20
    bounded_sync_band: float = 0.2
    drift_threshold: float = 0.05
    calm_window_steps: int = 12
    kl_temperature: float = 2.0
    calm_band_std_mult: float = 1.0
    calm_drift_std_mult: float = 1.0
    debug_force_promote: bool = False
    debug_force_promote_stable_steps: int = 12
    debug_force_promote_cov_min: int = 8
    promotion_candidate_jitter: float = 1e-06
    promotion_fallback_mode: str = 'power'
    promotion_min_candidate_norm: float = 1e-08
    world_tension_base_steps: int = 8
    cosmic_surprisal_z_threshold: float = 1.0
    shakti_tension_z_threshold: float = 1.5
    tension_requires_world_calm: bool = True
    union_mode: str = 'dual'
    collapse_tension_high_z: float = 1.5
    collapse_tension_high_streak_steps: int = 24
    collapse_friction_ema_decay: float = 0.98
    collapse_friction_drop_z: float = 1.5
    collapse_delta_friction_thresh: float = 1e-06
    collapse_cooldown_steps: int = 128
    collapse_quality_floor: float = 0.15
    union_quality_ema_decay: float = 0.95
    post_union_eval_horizon: int = 50
    usage_active_thresh: float = 0.05
    cov_samples_min: int = 64
    cov_decay: float = 0.999
    cov_outlier_threshold: float = 3.0
    enable_outlier_rejection: bool = True
    long_term_ema_decay: float = 0.995
    eps: float = 1e-08


class FortressUnbrokenMemory(torch.nn.Module):
    def __init__(self, d_state: int, config: FortressUnbrokenConfig): ...
    def forward_step(self) -> None: ...
    def _apply(self, fn): ...
    def _compute_pressure(self, engram_conflict, global_surprisal, global_dance_friction): ...
    def _update_global_pressure(self, avg_conflict, surprisal, dance_friction, fast_logits=None, slow_logits=None): ...
    def update_surprisal_stats(self, surprisal_score: torch.Tensor): ...
    def accumulate_covariance(self, sigma: torch.Tensor) -> None: ...
    def _compute_adaptive_rank(self, eigenvalues): ...
    def _compute_alpha(self, lambda_val, pressure=0.0): ...
    def _compute_protection_strength(self, metadata, current_step): ...
    def _update_joint_basis(self): ...
    def create_joint_basis_projection_hook(self): ...
    def _update_yielding_state(self, metadata): ...
    def _reason_to_code(self, reason): ...
    def _code_to_reason(self, code): ...
    def last_promotion_reason(self) -> str: ...
    def _record_promotion_reason(self, reason): ...
    def _record_blocker_reason(self, reason): ...
    def _set_promotion_diagnostics(self, can_promote, event, reason): ...
    def _union_mode_code(self, mode): ...
    def _union_mode_name(self, code): ...
    def _union_mode_config_code(self): ...
    def _compute_diag_fallback_candidate(self): ...
    def _compute_collapse_ok(self, stable: bool, trainer_ok: bool) -> bool: ...
    def update_post_union_impact(self, current_training_loss: torch.Tensor) -> None: ...
    def compute_engram_usage_metrics(self, vector: torch.Tensor) -> None: ...
    def _compute_promotion_candidate(self): ...
    def _promote_candidate(self, candidate: Dict, reason: str, mode: str = 'structural', candidate_quality_score: Optional[float] = None) -> bool: ...
    def maybe_promote_to_deep_engram(self, stable: bool, trainer_ok: bool) -> Tuple[bool, str, bool]: ...
    def lifecycle_management(self) -> None: ...


class WarEngineTevZOZU_V722_FU(torch.nn.Module):
    def __init__(self, config: TevUnifiedConfig, fortress_config: FortressUnbrokenConfig): ...
    def set_trainable(self, trainable: bool) -> None: ...
    def compute_gate(self, x: torch.Tensor, state_delta: torch.Tensor, surprisal_score: torch.Tensor) -> torch.Tensor: ...
    def forward_with_diagnostics(self, x: torch.Tensor, state: Optional[Dict] = None, return_diagnostics: bool = False) -> Tuple[torch.Tensor, Dict]: ...
    def _check_forward(self, x: torch.Tensor, state: Optional[Dict] = None, with_logits: bool = False) -> None: ...


class WarEngineTevZOZU_V722_FU_Bounded(WarEngineTevZOZU_V722_FU):
    def forward_with_diagnostics(self, x: torch.Tensor, state: Optional[Dict] = None, return_diagnostics: bool = False) -> Tuple[torch.Tensor, Dict]: ...


def _print_banner(): ...

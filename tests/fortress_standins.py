"""STAND-INS FOR THE PROTECTION HALF OF FortressUnbrokenMemory -- delete once it is merged.

The engram lifecycle (candidates, unions, the promotion decision, demotion) calls a few methods
that belong to the protection half of the memory class: the adaptive rank, the reason and
union-mode recorders and the diagonal fallback candidate. Until both halves are in one tree,
`memory()` builds a subclass that supplies minimal versions of exactly those methods the built
class still lacks. Once the real methods exist they are used instead, and this module reduces to
`fe.FortressUnbrokenMemory(d_state, fe.FortressUnbrokenConfig(**settings))`.
"""
import torch

from silver_kestrel.architectures.heavy_core import fortress_engine as fe

REASONS = ["no_candidate", "not_stable", "need_more_cov", "quality_fail", "promoted", "forced_union",
           "trainer_not_ok", "bad_candidate", "cosmic_surprisal", "shakti_tension", "blocked_by_trigger",
           "blocked_by_structure", "blocked_by_stillness", "collapse_union", "blocked_by_collapse_floor"]


def _reason_to_code(self, reason):
    if type(reason) is not str:
        raise TypeError("reason must be a str")
    return REASONS.index(reason) if reason in REASONS else 0


def _code_to_reason(self, code):
    code = int(code)
    return REASONS[code] if 0 <= code < len(REASONS) else "no_candidate"


def last_promotion_reason(self):
    return self._code_to_reason(int(self.last_promotion_reason_code.item()))


def _record_promotion_reason(self, reason):
    code = self._reason_to_code(reason)
    self.last_promotion_reason_code.fill_(code)
    self.last_promotion_blocker_code.fill_(code)


def _record_blocker_reason(self, reason):
    code = self._reason_to_code(reason)
    self.last_promotion_blocker_code.fill_(code)
    self.last_promotion_reason_code.fill_(code)


def _set_promotion_diagnostics(self, can_promote, event, reason):
    code = self._reason_to_code(reason)
    self.last_can_promote.fill_(1.0 if can_promote else 0.0)
    self.last_promotion_event.fill_(1.0 if event else 0.0)
    self.last_promotion_reason_code.fill_(code)
    self.last_promotion_blocker_code.fill_(code)


def _union_mode_code(self, mode):
    if type(mode) is not str:
        raise TypeError("Argument 'mode' has incorrect type")
    return {"structural": 1, "collapse": 2, "forced": 3}.get(mode.lower(), 0)


def _union_mode_name(self, code):
    return {1: "structural", 2: "collapse", 3: "forced"}.get(int(code), "none")


def _union_mode_config_code(self):
    return {"structural": 1, "collapse": 2, "dual": 3}.get(self._union_mode, 3)


def _compute_adaptive_rank(self, eigenvalues):
    total = eigenvalues.sum()
    if total < self._eps:
        return int(self._k_min)
    ratio = torch.cumsum(eigenvalues, dim=0) / total
    k = int(torch.searchsorted(ratio, torch.tensor([self._explained_var_threshold], dtype=ratio.dtype))[0]) + 1
    return int(max(self._k_min, min(k, self._k_max)))


def _compute_diag_fallback_candidate(self):
    n = int(self.cov_n.item())
    if n <= 0:
        self.last_candidate_rank.fill_(-1)
        self.last_candidate_norm.zero_()
        return None, "need_more_cov"
    with torch.no_grad():
        C = self.cov_C / n
        C_sym = (C + C.T) / 2
        C_fp32 = C_sym.float()
        diag = torch.diag(C_fp32)
        idx = int(torch.argmax(torch.abs(diag)).item())
        k_target = max(1, min(self._k_min, self._k_max))
        basis = torch.zeros(self.d_state, k_target, dtype=torch.float32, device=C_fp32.device)
        basis[idx, 0] = 1.0
        if k_target > 1:
            basis[:, 1:] = torch.randn(self.d_state, k_target - 1, dtype=torch.float32, device=C_fp32.device)
        E_new_fp32, _ = torch.linalg.qr(basis)
        cand_norm = float(torch.linalg.norm(E_new_fp32).item())
        self.last_candidate_norm.fill_(cand_norm)
        self.last_candidate_rank.fill_(k_target)
        total_var = torch.trace(C_fp32).clamp_min(self._eps)
        quality = float((torch.abs(diag[idx]) / total_var).item())
        if cand_norm >= self._promotion_min_candidate_norm:
            return {"E_new": E_new_fp32.to(C_sym.dtype), "remaining_rank": k_target, "quality": quality}, "ok"
        return None, "bad_candidate"


STANDINS = [_reason_to_code, _code_to_reason, last_promotion_reason, _record_promotion_reason,
            _record_blocker_reason, _set_promotion_diagnostics, _union_mode_code, _union_mode_name,
            _union_mode_config_code, _compute_adaptive_rank, _compute_diag_fallback_candidate]
MISSING = {f.__name__: f for f in STANDINS if not hasattr(fe.FortressUnbrokenMemory, f.__name__)}
Memory = type("FortressUnbrokenMemory", (fe.FortressUnbrokenMemory,), dict(MISSING)) if MISSING \
    else fe.FortressUnbrokenMemory


def memory(d_state=8, **settings):
    """A fortress memory whose missing neighbouring methods are supplied by the stand-ins."""
    return Memory(d_state, fe.FortressUnbrokenConfig(**settings))

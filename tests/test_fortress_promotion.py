"""The per-step promotion decision: forced, structural and collapse unions, reasons and blockers."""
import math

import pytest
import torch

from silver_kestrel.architectures.heavy_core import fortress_engine as fe
from fortress_support import REASONS, memory

D = 8
TRIGGER_DIAGNOSTICS = ["cosmic_shock", "shakti_flash", "last_candidate_quality_score_raw",
                       "last_structural_trigger_value", "last_stable_ready_value", "last_trainer_ok_value",
                       "last_structural_would_promote_if_quality_ge_040"]
COLLAPSE_DIAGNOSTICS = ["last_collapse_ok", "collapse_cond_tension_ok", "collapse_cond_quality_ok",
                        "collapse_bottleneck_code"]


def ok(quality, norm=2.0):
    return {"E_new": torch.linalg.qr(torch.randn(D, 4))[0], "remaining_rank": 4, "quality": quality}, "ok", norm


class Scene:
    """A memory whose candidate builders and collapse gate are scripted, with a log of the calls.

    `candidates`: what successive candidate builds return, each (candidate, status, norm left in
    `last_candidate_norm`); `fallback` likewise for the diagonal fallback; `collapse`: the gate's
    verdict; `promote`: None to promote for real, else the value the union reports.
    """

    def __init__(self, candidates=(), fallback=None, collapse=False, promote=None, streak=4, cov=4,
                 world_z=0.0, tension_z=0.0, **settings):
        settings = dict(dict(tau_stable_steps=4, cov_samples_min=4), **settings)
        self.mem = mem = memory(D, **settings)
        mem.stable_streak.fill_(streak)
        mem.cov_n.fill_(cov)
        mem.cosmic_surprisal_z.fill_(world_z)
        mem.shakti_tension_z.fill_(tension_z)
        self.calls = []
        candidates = list(candidates)

        def built(name, result):
            self.calls.append(name)
            candidate, status, norm = result
            mem.last_candidate_norm.fill_(norm)
            return candidate, status

        mem._compute_promotion_candidate = lambda: built("candidate", candidates.pop(0))
        mem._compute_diag_fallback_candidate = lambda: built("fallback", fallback)

        def gate(stable, trainer_ok):
            self.calls.append(("gate", stable, trainer_ok))
            return collapse
        mem._compute_collapse_ok = gate

        real_promote = mem._promote_candidate

        def union(candidate, **kwargs):
            self.calls.append(("union", candidate, kwargs))
            return real_promote(candidate, **kwargs) if promote is None else promote
        mem._promote_candidate = union

        for recorder in ("_record_promotion_reason", "_record_blocker_reason", "_set_promotion_diagnostics"):
            def record(*args, _real=getattr(mem, recorder), _name=recorder, **kwargs):
                self.calls.append((_name, args, kwargs))
                return _real(*args, **kwargs)
            setattr(mem, recorder, record)

    def decide(self, stable=True, trainer_ok=True):
        return self.mem.maybe_promote_to_deep_engram(stable, trainer_ok)

    def unions(self):
        return [(c[2]["reason"], c[2]["mode"], c[2].get("candidate_quality_score", "absent"))
                for c in self.calls if c[0] == "union"]

    def named(self, name):
        return [c for c in self.calls if c == name or (isinstance(c, tuple) and c[0] == name)]


def codes(mem):
    return (mem.last_promotion_reason_code.item(), mem.last_promotion_blocker_code.item(),
            mem.last_can_promote.item(), mem.last_promotion_event.item())


def diagnostics(mem, names):
    return [getattr(mem, n).item() for n in names]


# (scene settings, stable, trainer_ok, result, unions made as (reason, mode, score))
OUTCOMES = {
    "not stable": (dict(candidates=[ok(0.9)]), False, True, (False, "blocked_by_stillness", False), []),
    "streak too short": (dict(candidates=[ok(0.9)], streak=3), True, True, (False, "blocked_by_stillness", False), []),
    "too few samples": (dict(cov=3), True, True, (False, "blocked_by_structure", False), []),
    "no candidate": (dict(candidates=[(None, "need_more_cov", 0.0)]), True, True,
                     (False, "blocked_by_structure", False), []),
    "quality below the threshold": (dict(candidates=[ok(0.69)], world_z=5.0), True, True,
                                    (False, "blocked_by_structure", False), []),
    "quality at the threshold, no trigger": (dict(candidates=[ok(0.7)]), True, True,
                                             (False, "blocked_by_trigger", True), []),
    "trainer not calm": (dict(candidates=[ok(0.9)], world_z=1.0), True, False, (False, "trainer_not_ok", True), []),
    "world surprisal at its threshold": (dict(candidates=[ok(0.9)], world_z=1.0), True, True,
                                         (True, "cosmic_surprisal", True), [("cosmic_surprisal", "structural", 0.9)]),
    "tension at its threshold": (dict(candidates=[ok(0.8)], tension_z=1.5), True, True,
                                 (True, "shakti_tension", True), [("shakti_tension", "structural", 0.8)]),
    "both triggers": (dict(candidates=[ok(0.8)], world_z=1.0, tension_z=2.0), True, True,
                      (True, "cosmic_surprisal", True), [("cosmic_surprisal", "structural", 0.8)]),
    "tension without calm world, calm not required": (
        dict(candidates=[ok(0.8)], world_z=math.nan, tension_z=2.0, tension_requires_world_calm=False),
        True, True, (True, "shakti_tension", True), [("shakti_tension", "structural", 0.8)]),
    "tension with an unknown world": (dict(candidates=[ok(0.8)], world_z=math.nan, tension_z=2.0), True, True,
                                      (False, "blocked_by_trigger", True), []),
    "nan quality": (dict(candidates=[ok(math.nan)], world_z=2.0), True, True, (False, "blocked_by_structure", False),
                    []),
    "collapse mode, untriggered": (dict(candidates=[ok(0.9)], union_mode="collapse"), True, True,
                                   (False, "blocked_by_trigger", True), []),
    "collapse mode, triggered": (dict(candidates=[ok(0.9)], union_mode="collapse", world_z=2.0), True, True,
                                 (False, "no_candidate", True), []),
    "unknown mode, triggered": (dict(candidates=[ok(0.9)], union_mode="both", world_z=2.0), True, True,
                                (False, "no_candidate", True), []),
    "union refused": (dict(candidates=[ok(0.9)], world_z=2.0, promote=False), True, True,
                      (False, "no_candidate", True), [("cosmic_surprisal", "structural", 0.9)]),
    # a candidate that adds no direction to the engrams' span: both unions refuse it
    "structural and collapse unions refused": (dict(candidates=[ok(0.9)], world_z=2.0, collapse=True, promote=False),
                                               True, True, (False, "no_candidate", True),
                                               [("cosmic_surprisal", "structural", 0.9),
                                                ("collapse_union", "collapse", 0.9)]),
    # collapse route
    "collapse on the fallback": (dict(fallback=ok(0.5), collapse=True, streak=0), True, True,
                                 (True, "collapse_union", True), [("collapse_union", "collapse", 0.5)]),
    "collapse on the fallback at the floor": (dict(fallback=ok(0.15), collapse=True, streak=0), True, True,
                                              (True, "collapse_union", True), [("collapse_union", "collapse", 0.15)]),
    "collapse fallback below the floor": (dict(fallback=ok(0.149), collapse=True, streak=0), True, True,
                                          (False, "blocked_by_collapse_floor", False), []),
    "collapse without any candidate": (dict(fallback=(None, "need_more_cov", 0.0), collapse=True, streak=0),
                                       True, True, (False, "blocked_by_collapse_floor", False), []),
    "collapse fallback norm too small": (dict(fallback=ok(0.5, norm=0.0), collapse=True, streak=0), True, True,
                                         (False, "blocked_by_stillness", False), []),
    "collapse on the primary candidate": (dict(candidates=[ok(0.5)], collapse=True), True, True,
                                          (True, "collapse_union", True), [("collapse_union", "collapse", 0.5)]),
    "collapse primary too faint": (dict(candidates=[ok(0.5, norm=1e-9)], fallback=ok(0.3), collapse=True),
                                   True, True, (True, "collapse_union", True), [("collapse_union", "collapse", 0.3)]),
    "collapse primary below the floor, untriggered": (dict(candidates=[ok(0.1)], collapse=True), True, True,
                                                      (False, "blocked_by_collapse_floor", False), []),
    "collapse floor wins over the trigger blocker": (dict(candidates=[ok(0.9)], collapse=True, collapse_quality_floor=0.95),
                                                     True, True, (False, "blocked_by_collapse_floor", True), []),
    # forced route
    "forced": (dict(candidates=[ok(0.1)], debug_force_promote=True, streak=12, cov=8), True, False,
               (True, "forced_union", True), [("forced_union", "forced", "absent")]),
    "forced needs the stable flag": (dict(candidates=[ok(0.1)], debug_force_promote=True, streak=12, cov=8), False,
                                     True, (False, "blocked_by_stillness", False), []),
    "forced needs its streak": (dict(candidates=[ok(0.1)] * 2, debug_force_promote=True, streak=11, cov=8), True,
                                True, (False, "blocked_by_structure", False), []),
    "forced candidate failed": (dict(candidates=[(None, "bad_candidate", 0.0), ok(0.9)], debug_force_promote=True,
                                     streak=12, cov=8, union_mode="collapse", world_z=2.0), True, True,
                                (False, "bad_candidate", True), []),
    "forced union refused": (dict(candidates=[ok(0.9), ok(0.9)], debug_force_promote=True, streak=12, cov=8,
                                  union_mode="collapse", world_z=2.0, promote=False), True, True,
                             (False, "no_candidate", True), [("forced_union", "forced", "absent")]),
}


@pytest.mark.parametrize("scene, stable, trainer_ok, result, unions", OUTCOMES.values(), ids=OUTCOMES.keys())
def test_outcomes(scene, stable, trainer_ok, result, unions):
    s = Scene(**scene)
    assert s.decide(stable, trainer_ok) == result
    assert [type(x) for x in result] == [bool, str, bool]
    assert s.unions() == [(r, m, pytest.approx(q) if q != "absent" else q) for r, m, q in unions]
    promoted, reason, can_promote = result
    assert len(s.mem.engram_stack) == (1 if promoted and scene.get("promote") is None else 0)
    code = REASONS.index(reason) if reason in REASONS else 0
    assert codes(s.mem) == (code, code, 1.0 if can_promote else 0.0, 1.0 if promoted else 0.0)
    recorder = "_record_promotion_reason" if promoted else "_record_blocker_reason"
    assert s.named(recorder) == [(recorder, (reason,), {})]
    assert s.named("_set_promotion_diagnostics") == [
        ("_set_promotion_diagnostics", (), {"can_promote": can_promote, "event": promoted, "reason": reason})]


def test_a_fresh_memory_with_everything_real():
    mem = memory(D)
    assert mem.maybe_promote_to_deep_engram(False, False) == (False, "blocked_by_stillness", False)
    assert codes(mem) == (12, 12, 0.0, 0.0)
    assert mem.collapse_bottleneck_code.item() == 1  # the real gate ran and found no tension streak


def test_readiness_gates_the_candidate_build():
    s = Scene(candidates=[ok(0.9)], cov=3)
    s.decide()
    assert s.named("candidate") == [] and s.named("gate") == [("gate", True, True)]
    s = Scene(candidates=[ok(0.9)], streak=3)
    s.decide()
    assert s.named("candidate") == []


@pytest.mark.parametrize("scene, stable, trainer_ok, expected", [
    (dict(candidates=[ok(0.4)], world_z=1.0), True, True, [1, 0, 0.4, 1, 1, 1, 1]),
    (dict(candidates=[ok(0.39)], world_z=1.0), True, True, [1, 0, 0.39, 1, 1, 1, 0]),
    (dict(candidates=[ok(0.4)], world_z=1.0), True, False, [1, 0, 0.4, 1, 1, 0, 0]),
    (dict(candidates=[ok(0.4)], tension_z=1.5, world_z=1.0), True, True, [1, 1, 0.4, 1, 1, 1, 1]),
    (dict(candidates=[ok(0.4)], tension_z=1.5, world_z=1.5), True, True, [1, 0, 0.4, 1, 1, 1, 1]),
    (dict(candidates=[(None, "bad_candidate", 0.0)], tension_z=1.5), True, True, [0, 1, 0.0, 1, 1, 1, 0]),
    (dict(candidates=[({"quality": 0.9}, "odd", 0.0)]), True, True, [0, 0, -1.0, 0, 1, 1, 0]),
    (dict(streak=0), False, True, [0, 0, 0.0, 0, 0, 1, 0]),
])
def test_trigger_diagnostics(scene, stable, trainer_ok, expected):
    s = Scene(**scene)
    s.decide(stable, trainer_ok)
    assert diagnostics(s.mem, TRIGGER_DIAGNOSTICS) == pytest.approx(expected)
    assert s.mem.last_candidate_quality_score_raw.dtype == torch.float32


def test_a_forced_union_leaves_the_other_diagnostics_alone():
    s = Scene(candidates=[ok(0.2)], debug_force_promote=True, streak=12, cov=8, world_z=3.0)
    for name in TRIGGER_DIAGNOSTICS + COLLAPSE_DIAGNOSTICS:
        getattr(s.mem, name).fill_(3)
    assert s.decide(stable=True, trainer_ok=False) == (True, "forced_union", True)
    assert diagnostics(s.mem, TRIGGER_DIAGNOSTICS + COLLAPSE_DIAGNOSTICS) == [3] * 11
    assert s.named("gate") == [] and s.named("candidate") == ["candidate"]


def test_the_forced_route_fires_once():
    s = Scene(candidates=[ok(0.2), ok(0.2), ok(0.2)], debug_force_promote=True, streak=12, cov=8)
    assert s.decide()[1] == "forced_union"
    s.mem.stable_streak.fill_(12)
    s.mem.cov_n.fill_(8)
    assert s.decide() == (False, "blocked_by_structure", False)
    assert s.named("candidate") == ["candidate", "candidate"]


def test_a_structural_union_skips_the_collapse_gate():
    s = Scene(candidates=[ok(0.9)], world_z=1.0, collapse=True)
    for name in COLLAPSE_DIAGNOSTICS:
        getattr(s.mem, name).fill_(3)
    s.decide()
    assert s.named("gate") == [] and diagnostics(s.mem, COLLAPSE_DIAGNOSTICS) == [3] * 4


def test_the_gate_gets_the_raw_arguments_by_keyword():
    s = Scene(streak=0)
    stable, calm = torch.tensor(True), torch.tensor(1.0)
    s.decide(stable, calm)
    [(_, given_stable, given_calm)] = s.named("gate")
    assert given_stable is stable and given_calm is calm


@pytest.mark.parametrize("scene, quality_flag, bottleneck", [
    (dict(fallback=ok(0.5), collapse=True, streak=0, promote=False), 1.0, 0),
    (dict(fallback=ok(0.1), collapse=True, streak=0), 0.0, 4),
    (dict(fallback=(None, "need_more_cov", 0.0), collapse=True, streak=0), 0.0, 4),
    (dict(fallback=ok(0.1), collapse=False, streak=0), 0.5, 0),  # failing gate: the flag is kept
])
def test_collapse_quality_diagnostics(scene, quality_flag, bottleneck):
    s = Scene(**scene)
    s.mem.collapse_cond_quality_ok.fill_(0.5)
    s.decide()
    assert s.mem.collapse_cond_quality_ok.item() == quality_flag
    assert s.mem.collapse_bottleneck_code.item() == bottleneck
    assert s.named("fallback") == (["fallback"] if scene["collapse"] else [])


def test_a_status_ok_without_quality_fails():
    s = Scene(candidates=[({"E_new": None}, "ok", 1.0)])
    with pytest.raises(KeyError, match="quality"):
        s.decide()


def test_an_ambiguous_argument_fails_before_any_write():
    mem = memory(D)
    before = {k: v.clone() for k, v in mem.state_dict().items()}
    with pytest.raises(RuntimeError, match="ambiguous"):
        mem.maybe_promote_to_deep_engram(torch.tensor([True, True]), True)
    with pytest.raises(TypeError, match="maybe_promote_to_deep_engram"):
        mem.maybe_promote_to_deep_engram(True)
    assert all(torch.equal(mem.state_dict()[k], v) for k, v in before.items())


def dominant_covariance(mem, n=64):
    torch.manual_seed(3)
    R = torch.linalg.qr(torch.randn(D, D))[0]
    cov = R @ torch.diag(torch.tensor([20.0, 10.0, 5.0, 2.0, 0.01, 0.01, 0.01, 0.01])) @ R.T
    mem.cov_C.copy_(cov * n)
    mem.cov_n.fill_(n)
    return R


def test_structural_union_end_to_end(caplog):
    mem = memory(D, tau_stable_steps=4)
    R = dominant_covariance(mem)
    mem.stable_streak.fill_(4)
    mem.shakti_tension_z.fill_(1.6)
    mem.global_step.fill_(300)
    with caplog.at_level("INFO", logger=fe.__name__):
        assert mem.maybe_promote_to_deep_engram(stable=True, trainer_ok=True) == (True, "shakti_tension", True)
    (basis, k, quality, record), = mem.engram_stack
    assert k == 4 and quality > 0.99 and record.engram_id == 0 and record.consolidation_step == 300
    assert torch.allclose(basis[:, :4] @ basis[:, :4].T, R[:, :4] @ R[:, :4].T, atol=1e-4)
    assert mem.last_promotion_reason() == "shakti_tension" and codes(mem) == (9, 9, 1.0, 1.0)
    assert mem.last_union_mode.item() == 1 and mem.structural_quality_ema.item() == pytest.approx(0.05 * quality)
    assert mem.cov_n.item() == 0 and mem.stable_streak.item() == 0 and mem.next_engram_id.item() == 1
    assert caplog.records[0].getMessage() == f"Promoted engram 0: k=4, quality={quality:.3f}, reason=shakti_tension"
    # the evidence starts again: the next call is blocked until the streak is back
    assert mem.maybe_promote_to_deep_engram(True, True) == (False, "blocked_by_stillness", False)


def test_forced_union_end_to_end():
    mem = memory(D, debug_force_promote=True)
    dominant_covariance(mem, n=8)
    mem.stable_streak.fill_(12)
    assert mem.maybe_promote_to_deep_engram(True, False) == (True, "forced_union", True)
    assert mem.last_union_mode.item() == 3 and mem.promotion_happened_any.item() == 1.0
    assert mem.structural_quality_ema.item() == 0.0 and mem.last_structural_quality_score.item() == -1.0


class Recording(fe.FortressUnbrokenMemory):
    """Overrides in a subclass of every recorder and gate a decision calls, logging each call."""

    def __init__(self, *args):
        super().__init__(*args)
        self.log = []

    def _reason_to_code(self, reason):
        self.log.append(("_reason_to_code", reason))
        return 3  # one code for every reason, so the buffers show whose code was written

    def _record_blocker_reason(self, reason):
        self.log.append(("_record_blocker_reason", reason))
        return super()._record_blocker_reason(reason)

    def _set_promotion_diagnostics(self, can_promote, event, reason):
        self.log.append(("_set_promotion_diagnostics", can_promote, event, reason))
        return super()._set_promotion_diagnostics(can_promote=can_promote, event=event, reason=reason)

    def _compute_collapse_ok(self, stable, trainer_ok):
        self.log.append(("_compute_collapse_ok", stable, trainer_ok))
        return super()._compute_collapse_ok(stable=stable, trainer_ok=trainer_ok)


def test_a_subclass_overrides_every_recorder_and_gate_of_the_decision():
    mem = Recording(D, fe.FortressUnbrokenConfig(union_mode="dual"))
    assert mem.maybe_promote_to_deep_engram(False, True) == (False, "blocked_by_stillness", False)
    assert mem.log == [("_compute_collapse_ok", False, True),
                       ("_record_blocker_reason", "blocked_by_stillness"),
                       ("_reason_to_code", "blocked_by_stillness"),
                       ("_set_promotion_diagnostics", False, False, "blocked_by_stillness"),
                       ("_reason_to_code", "blocked_by_stillness")]
    assert codes(mem) == (3, 3, 0.0, 0.0)


class CountingBuilder(fe.FortressUnbrokenMemory):
    def _compute_promotion_candidate(self):
        self.built = getattr(self, "built", 0) + 1
        return None, "need_more_cov"


def test_the_decision_builds_its_candidate_through_a_subclass_override_or_under_the_own_profiler_range():
    config = fe.FortressUnbrokenConfig(tau_stable_steps=4, cov_samples_min=4)
    mem = CountingBuilder(D, config)
    mem.stable_streak.fill_(4)
    mem.cov_n.fill_(4)
    for built in (1, 2):
        assert mem.maybe_promote_to_deep_engram(True, True) == (False, "blocked_by_structure", False)
        assert mem.built == built

    own = fe.FortressUnbrokenMemory(D, config)
    own.stable_streak.fill_(4)
    own.cov_n.fill_(4)
    with torch.profiler.profile() as prof:
        own.maybe_promote_to_deep_engram(True, True)
    assert "_compute_promotion_candidate" in {e.name.split(".")[-1] for e in prof.events()}


def test_the_memorys_own_recorders_keep_their_profiler_ranges():
    mem = memory(D, union_mode="dual")
    with torch.profiler.profile() as prof:
        mem.maybe_promote_to_deep_engram(False, True)
    names = {e.name.split(".")[-1] for e in prof.events()}
    assert {"_compute_collapse_ok", "_record_blocker_reason", "_set_promotion_diagnostics",
            "_reason_to_code"} <= names

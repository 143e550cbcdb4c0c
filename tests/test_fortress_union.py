"""A union: a candidate becomes an engram, the union is recorded, the evidence starts again."""
import collections
import logging

import pytest
import torch

from silver_kestrel.architectures.heavy_core import fortress_engine as fe
from fortress_support import memory

QUALITY = ["last_structural_quality_score", "structural_quality_ema", "last_collapse_quality_score",
           "collapse_quality_ema"]
EVIDENCE = ["cov_C", "cov_mean", "cov_n", "stable_steps", "stable_streak"]


def basis(d_state, m, dtype=torch.float32):
    torch.manual_seed(m)
    return torch.linalg.qr(torch.randn(d_state, m, dtype=dtype))[0]


def candidate(d_state=16, m=4, k=3, quality=0.8, **extra):
    return dict({"E_new": basis(d_state, m), "remaining_rank": k, "quality": quality}, **extra)


def with_evidence(mem, step=900):
    mem.global_step.fill_(step)
    mem.cov_C.fill_(0.5)
    mem.cov_mean.fill_(0.25)
    for name in ("cov_n", "stable_steps", "stable_streak"):
        getattr(mem, name).fill_(70)
    mem.joint_basis_dirty = False
    return mem


def values(mem, names):
    return [getattr(mem, n).item() for n in names]


def test_first_structural_union(caplog):
    mem = with_evidence(memory(16))
    cand = candidate()
    with caplog.at_level(logging.INFO, logger=fe.__name__):
        assert mem._promote_candidate(cand, "cosmic_surprisal", mode="structural", candidate_quality_score=0.8) is True

    [(engram, k, quality, record)] = mem.engram_stack
    assert engram.shape == (16, 4) and mem._k_max == 4
    assert torch.equal(engram[:, :3], cand["E_new"][:, :3]) and torch.all(engram[:, 3] == 0)
    assert type(k) is int and k == 3 and type(quality) is float and quality == 0.8
    assert record == fe.EngramMetadata(engram_id=0, consolidation_step=900, quality_ema=0.8)
    assert record.parent_ids == [] and type(record.consolidation_step) is int
    assert mem.joint_basis_dirty is True
    assert values(mem, ["next_engram_id", "sacred_engrams", "promotion_happened_any", "last_union_step",
                        "last_union_mode", "last_union_mode_code"]) == [1, 1, 1.0, 900, 1, 1]
    assert values(mem, QUALITY) == pytest.approx([0.8, 0.04, -1.0, 0.0])
    assert mem.structural_quality_ema.item() == (torch.tensor(0.95) * 0 + (1 - torch.tensor(0.95)) * 0.8).item()
    assert values(mem, ["post_union_steps_left", "post_union_loss_delta", "post_union_baseline_loss"]) == [50, 0.0, -1.0]
    for name in EVIDENCE:
        assert torch.all(getattr(mem, name) == 0), name
    assert mem.cov_C.shape == (16, 16) and mem.cov_n.dtype == torch.int64

    [entry] = caplog.records
    assert (entry.name, entry.levelname) == (fe.__name__, "INFO")
    assert entry.getMessage() == "Promoted engram 0: k=3, quality=0.800, reason=cosmic_surprisal"


@pytest.mark.parametrize("mode, code, changed", [
    ("structural", 1, ["last_structural_quality_score", "structural_quality_ema"]),
    ("collapse", 2, ["last_collapse_quality_score", "collapse_quality_ema"]),
    ("forced", 3, []),
    ("FORCED", 3, []),
    ("Structural", 1, []),  # the code ignores case, the quality buffers do not
    ("dual", 0, []),
    ("", 0, []),
])
def test_union_modes(mode, code, changed):
    mem = with_evidence(memory(16, union_quality_ema_decay=0.5))
    mem._promote_candidate(candidate(quality=0.6), "r", mode=mode, candidate_quality_score=0.4)
    assert values(mem, ["last_union_mode", "last_union_mode_code"]) == [code, code]
    expected = {"last_structural_quality_score": -1.0, "structural_quality_ema": 0.0,
                "last_collapse_quality_score": -1.0, "collapse_quality_ema": 0.0}
    expected.update({n: (0.4 if n.startswith("last") else 0.2) for n in changed})
    assert dict(zip(QUALITY, values(mem, QUALITY))) == pytest.approx(expected)
    assert len(mem.engram_stack) == 1 and mem.post_union_steps_left.item() == 50
    assert all(torch.all(getattr(mem, n) == 0) for n in EVIDENCE)


@pytest.mark.parametrize("score, q", [(None, 0.6), (0.3, 0.3), (1, 1.0), (True, 1.0), (torch.tensor(0.25), 0.25)])
def test_the_quality_score_feeds_only_the_per_mode_average(score, q, caplog):
    mem = memory(16, union_quality_ema_decay=0.0)
    kwargs = {} if score is None else {"candidate_quality_score": score}
    with caplog.at_level(logging.INFO, logger=fe.__name__):
        mem._promote_candidate(candidate(quality=0.6), "collapse_union", "collapse", **kwargs)
    assert values(mem, ["last_collapse_quality_score", "collapse_quality_ema"]) == pytest.approx([q, q])
    (_, _, quality, record), = mem.engram_stack
    assert quality == record.quality_ema == 0.6
    assert caplog.records[0].getMessage().endswith("quality=0.600, reason=collapse_union")


def test_the_quality_entry_is_logged_as_given():
    mem = memory(16)
    records = []
    handler = logging.Handler()
    handler.emit = records.append
    fe.logger.addHandler(handler)
    fe.logger.setLevel(logging.INFO)
    try:
        mem._promote_candidate(candidate(quality=torch.tensor(0.12345), k=torch.tensor(2)), "shakti_tension")
    finally:
        fe.logger.removeHandler(handler)
        fe.logger.setLevel(logging.NOTSET)
    assert records[0].getMessage() == "Promoted engram 0: k=2, quality=0.123, reason=shakti_tension"
    assert mem.engram_stack[0][1] == 2 and type(mem.engram_stack[0][1]) is int


@pytest.mark.parametrize("k, zero_columns", [(4, 0), (1, 3)])
def test_rank_extremes(k, zero_columns):
    mem = memory(16)
    mem._promote_candidate(candidate(m=4, k=k), "r")
    engram = mem.engram_stack[0][0]
    assert sum(bool(torch.all(engram[:, j] == 0)) for j in range(4)) == zero_columns
    assert mem.engram_stack[0][1] == k


def test_two_unions_in_a_row():
    mem = memory(16)
    mem._promote_candidate(candidate(), "cosmic_surprisal")
    mem.forward_step()
    mem.post_union_steps_left.fill_(20)
    mem.post_union_baseline_loss.fill_(3.0)
    mem._promote_candidate(candidate(m=5), "collapse_union", mode="collapse")
    assert [e[3].engram_id for e in mem.engram_stack] == [0, 1]
    assert [e[3].consolidation_step for e in mem.engram_stack] == [0, 1]
    assert values(mem, ["next_engram_id", "sacred_engrams", "last_union_step", "post_union_steps_left",
                        "post_union_baseline_loss"]) == [2, 2, 1, 50, -1.0]


def test_the_basis_is_a_detached_copy_in_the_candidates_dtype():
    mem = memory(16)
    E_new = basis(16, 4, torch.float64).requires_grad_()
    mem._promote_candidate({"E_new": E_new, "remaining_rank": 4, "quality": 0.9, "extra": object()}, "r")
    engram = mem.engram_stack[0][0]
    assert engram.dtype == torch.float64 and not engram.requires_grad and engram.grad_fn is None
    with torch.no_grad():
        E_new.zero_()
    assert torch.linalg.norm(engram).item() == pytest.approx(2.0)


def test_the_mode_code_comes_from_the_instance():
    mem = memory(16)
    mem._union_mode_code = lambda mode: 7
    mem._promote_candidate(candidate(), "r", "forced")
    assert values(mem, ["last_union_mode", "last_union_mode_code"]) == [7, 7]


def test_positional_and_default_arguments():
    mem = memory(16)
    assert mem._promote_candidate(candidate(), "r", "collapse", 0.5) is True
    assert mem._promote_candidate(candidate(m=5), reason="r") is True
    assert mem.last_union_mode.item() == 1 and mem.last_collapse_quality_score.item() == 0.5


class DictSubclass(dict):
    pass


REJECTED = {
    "dict subclass": (lambda c: (DictSubclass(c), "r"), {}, TypeError, "Argument 'candidate'"),
    "ordered dict": (lambda c: (collections.OrderedDict(c), "r"), {}, TypeError, "Argument 'candidate'"),
    "no candidate": (lambda c: (None, "r"), {}, TypeError, "Argument 'candidate'"),
    "reason bytes": (lambda c: (c, b"r"), {}, TypeError, "Argument 'reason'"),
    "reason subclass": (lambda c: (c, type("S", (str,), {})("r")), {}, TypeError, "Argument 'reason'"),
    "mode None": (lambda c: (c, "r"), {"mode": None}, TypeError, "Argument 'mode'"),
    "score text": (lambda c: (c, "r"), {"candidate_quality_score": "0.5"}, TypeError,
                   "Argument 'candidate_quality_score'"),
    "no quality": (lambda c: ({k: v for k, v in c.items() if k != "quality"}, "r"), {}, KeyError, "quality"),
    "no rank": (lambda c: ({k: v for k, v in c.items() if k != "remaining_rank"}, "r"), {}, KeyError,
                "remaining_rank"),
    "no basis": (lambda c: ({k: v for k, v in c.items() if k != "E_new"}, "r"), {}, KeyError, "E_new"),
    "quality not a number": (lambda c: (dict(c, quality=[0.8]), "r"), {}, TypeError, "float"),
    "basis not a tensor": (lambda c: (dict(c, E_new=[[1.0]]), "r"), {}, TypeError, "Argument 'E_new'"),
    "basis of one row": (lambda c: (dict(c, E_new=c["E_new"][:1]), "r"), {}, RuntimeError, "16 rows"),
    "basis of too few columns": (lambda c: (dict(c, E_new=c["E_new"][:, :2]), "r"), {}, RuntimeError,
                                 "do not fit"),
    "one column for three": (lambda c: (dict(c, E_new=c["E_new"][:, :1]), "r"), {}, RuntimeError, "do not fit"),
    "rank above the largest": (lambda c: (dict(c, remaining_rank=5, E_new=basis(16, 5)), "r"), {}, ValueError,
                               r"\[0, 4\]"),
    "negative rank": (lambda c: (dict(c, remaining_rank=-1), "r"), {}, ValueError, r"\[0, 4\]"),
}


@pytest.mark.parametrize("args, kwargs, error, match", REJECTED.values(), ids=REJECTED.keys())
def test_rejected_calls_change_nothing(args, kwargs, error, match):
    mem = with_evidence(memory(16))
    before = {k: v.clone() for k, v in mem.state_dict().items()}
    with pytest.raises(error, match=match):
        mem._promote_candidate(*args(candidate()), **kwargs)
    assert all(torch.equal(mem.state_dict()[k], v) for k, v in before.items())
    assert mem.engram_stack == [] and mem.joint_basis_dirty is False

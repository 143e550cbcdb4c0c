"""Argument conversion on entry to every fortress operation: a declared int takes any number
(truncating) and refuses anything else; declared tensors must be tensors."""
import math
from fractions import Fraction

import pytest
import torch

from silver_kestrel.architectures.heavy_core import fortress_engine as fe

T = torch.tensor
BIG = 300  # an int object that is not one of the interpreter's cached small ints


def memory(d_state=4):
    return fe.FortressUnbrokenMemory(d_state, fe.FortressUnbrokenConfig())


def width(expected, kind=int):
    def check(mem):
        assert mem.d_state == expected and type(mem.d_state) is kind
        assert mem.cov_C.shape == (int(expected), int(expected)) and mem.cov_mean.shape == (int(expected),)
    return check


def returns(expected):
    def check(result):
        assert result == expected
    return check


CASES = [
    # FortressUnbrokenMemory(d_state: int, config)
    ("int is kept", lambda: memory(BIG), lambda mem: mem.d_state is BIG),
    ("float", lambda: memory(16.0), width(16)),
    ("float truncates", lambda: memory(16.9), width(16)),
    ("negative float truncates toward zero", lambda: memory(-0.5), width(0)),
    ("bool is an int", lambda: memory(True), width(True, bool)),
    ("fraction", lambda: memory(Fraction(33, 2)), width(16)),
    ("zero-dimensional tensor", lambda: memory(T(5)), width(5)),
    ("by keyword", lambda: fe.FortressUnbrokenMemory(config=fe.FortressUnbrokenConfig(), d_state=3), width(3)),
    ("str", lambda: memory("16"), (TypeError, r"Argument 'd_state' has incorrect type \(expected int, got str\)")),
    ("bytes", lambda: memory(b"16"), (TypeError, "got bytes")),
    ("None", lambda: memory(None), (TypeError, "got NoneType")),
    ("list", lambda: memory([16]), (TypeError, "got list")),
    ("nan", lambda: memory(math.nan), (TypeError, "got float")),
    ("inf", lambda: memory(math.inf), (TypeError, "got float")),
    ("negative int", lambda: memory(-1), (RuntimeError, "negative dimension")),
    ("no config", lambda: fe.FortressUnbrokenMemory(4), (TypeError, "__init__")),
    ("config None", lambda: fe.FortressUnbrokenMemory(4, None), (AttributeError, "tau_mu")),
    # forward_step()
    ("forward_step", lambda: memory().forward_step(), returns(None)),
    ("forward_step takes nothing", lambda: memory().forward_step(1), (TypeError, "forward_step")),
    # update_surprisal_stats(surprisal_score: tensor)
    ("surprisal by keyword", lambda: memory().update_surprisal_stats(surprisal_score=T(1.0))[1].item(),
     returns(0.0)),
    ("surprisal parameter", lambda: memory().update_surprisal_stats(torch.nn.Parameter(T(1.0)))[1].item(),
     returns(0.0)),
    ("surprisal float", lambda: memory().update_surprisal_stats(1.0), (TypeError, "'surprisal_score'")),
    # _compute_pressure(engram_conflict, global_surprisal, global_dance_friction: tensors)
    ("pressure by keyword", lambda: round(memory()._compute_pressure(
        global_dance_friction=T(0.0), global_surprisal=T(1.5), engram_conflict=T(0.0)).item(), 4), returns(0.5374)),
    ("pressure surprisal int", lambda: memory()._compute_pressure(T(0.0), 1, T(0.0)),
     (TypeError, r"'global_surprisal' has incorrect type \(expected Tensor, got int\)")),
    # _update_global_pressure(avg_conflict, surprisal, dance_friction: tensors; logits: tensors or None)
    ("update by keyword", lambda: memory()._update_global_pressure(
        slow_logits=None, fast_logits=None, dance_friction=T(0.0), surprisal=T(1.5), avg_conflict=T(0.0)),
     returns(None)),
    ("update conflict list", lambda: memory()._update_global_pressure([0.0], T(1.5), T(0.0)),
     (TypeError, "'avg_conflict'")),
    ("update slow logits array", lambda: memory()._update_global_pressure(
        T(0.0), T(1.5), T(0.0), fast_logits=T([[0.0]]), slow_logits=[[0.0]]), (TypeError, "'slow_logits'")),
]


@pytest.mark.parametrize("call, expect", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_argument_conversion(call, expect):
    if isinstance(expect, tuple):
        error, match = expect
        with pytest.raises(error, match=match):
            call()
    else:
        outcome = expect(call())
        assert outcome in (None, True)

"""Demotion of weak engrams at the check interval."""
import logging
import math

import pytest
import torch

from silver_kestrel.architectures.heavy_core import fortress_engine as fe
from fortress_support import memory


def add(mem, usage=0.01, quality=0.5, conflict=0.3, abstract=False):
    record = fe.EngramMetadata(engram_id=len(mem.engram_stack) + 10, usage_ema=usage, quality_ema=quality,
                               conflict_ema=conflict, is_abstract=abstract)
    mem.engram_stack.append((torch.zeros(mem.d_state, mem._k_max), 2, 0.9, record))
    mem.sacred_engrams.add_(1)
    return record


def at_step(mem, step):
    mem.global_step.fill_(step)
    mem.joint_basis_dirty = False
    return mem


def ids(mem):
    return [entry[3].engram_id for entry in mem.engram_stack]


@pytest.mark.parametrize("usage, quality, conflict, abstract, demoted", [
    (0.01, 0.5, 0.21, False, True),
    (0.075, 0.5, 0.3, False, False),
    (0.01, 0.6, 0.3, False, False),
    (0.01, 0.5, 0.2, False, False),
    (math.nan, 0.5, 0.3, False, False),
    (0.01, math.nan, 0.3, False, False),
    (0.01, 0.5, math.nan, False, False),
    (0.01, 0.5, 0.0, False, False),  # a new engram's conflict keeps it
    (0.0, 0.0, 1.0, True, False),
])
def test_which_engram_goes(usage, quality, conflict, abstract, demoted):
    mem = at_step(memory(), 64)
    add(mem, usage, quality, conflict, abstract)
    assert mem.lifecycle_management() is None
    assert len(mem.engram_stack) == (0 if demoted else 1)
    assert mem.sacred_engrams.item() == (0 if demoted else 1)
    assert mem.joint_basis_dirty is demoted


def test_removal_from_the_end_with_logs_first(caplog):
    mem = at_step(memory(), 128)
    first = add(mem)
    add(mem, usage=0.5)
    add(mem, abstract=True)
    third = add(mem, usage=0.0123, quality=0.4567, conflict=0.8912)
    removed = []
    mem.engram_stack = type("Watched", (list,), {"__delitem__": lambda s, i: removed.append(s[i][3].engram_id)
                                                  or list.__delitem__(s, i)})(mem.engram_stack)
    with caplog.at_level(logging.INFO, logger=fe.__name__):
        mem.lifecycle_management()
    assert [r.getMessage() for r in caplog.records] == [
        "Demoting engram 10: usage=0.010, quality=0.500, conflict=0.300",
        "Demoting engram 13: usage=0.012, quality=0.457, conflict=0.891"]
    assert all(r.name == fe.__name__ and r.levelname == "INFO" for r in caplog.records)
    assert removed == [13, 10] and ids(mem) == [11, 12]
    assert mem.sacred_engrams.item() == 2 and mem.joint_basis_dirty is True
    assert mem.next_engram_id.item() == 0
    assert first.is_demoted is False and third.is_demoted is False  # records are dropped, not marked


@pytest.mark.parametrize("settings, steps, checked", [
    ({}, [1, 63, 65, 127], []),
    ({}, [0, 64, 128, 192], [0, 64, 128, 192]),
    ({"demotion_check_interval": 1}, [1, 2, 3], [1, 2, 3]),
    ({"demotion_check_interval": 10}, [5, 10, 25, 30], [10, 30]),
    ({"allow_demotion": False}, [0, 64, 128], []),
])
def test_check_steps(settings, steps, checked):
    mem = memory(**settings)
    seen = []
    for step in steps:
        at_step(mem, step)
        add(mem)
        mem.lifecycle_management()
        if not mem.engram_stack:
            seen.append(step)
        mem.engram_stack.clear()
    assert seen == checked


def test_check_step_with_no_engram_logs_nothing(caplog):
    mem = at_step(memory(), 64)
    with caplog.at_level(logging.DEBUG):
        mem.lifecycle_management()
    assert caplog.records == [] and mem.joint_basis_dirty is False and mem.sacred_engrams.item() == 0


def test_zero_interval():
    with pytest.raises(ValueError, match="^demotion_check_interval must be positive, got 0$"):
        memory(demotion_check_interval=0)
    mem = at_step(memory(), 64)
    mem._demotion_check_interval = 0  # only a later assignment reaches the check
    with pytest.raises(ZeroDivisionError):
        mem.lifecycle_management()


def test_thresholds_are_read_from_the_record_at_each_check():
    mem = at_step(memory(), 64)
    add(mem, usage=0.1, quality=0.7, conflict=0.15)
    mem.lifecycle_management()
    assert len(mem.engram_stack) == 1
    mem.config.demotion_usage_threshold = 0.2
    mem.config.demotion_quality_threshold = 0.8
    mem.config.demotion_conflict_threshold = 0.1
    mem.config.allow_demotion = False  # the memory keeps its copy of these two
    mem.config.demotion_check_interval = 7
    mem.lifecycle_management()
    assert mem.engram_stack == []


def test_a_demoted_engram_is_no_longer_measured():
    mem = at_step(memory(d_state=4), 64)
    add(mem)
    mem.engram_stack[0][0][0, 0] = 1.0
    mem.compute_engram_usage_metrics(torch.tensor([[1.0, 0.0, 0.0, 0.0]]))
    assert mem.active_engram_count.item() == 1
    mem.lifecycle_management()
    mem.compute_engram_usage_metrics(torch.tensor([[1.0, 0.0, 0.0, 0.0]]))
    assert mem.active_engram_count.item() == 0 and mem.max_engram_usage.item() == 0.0

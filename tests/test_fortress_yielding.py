import logging

import pytest

from silver_kestrel.architectures.heavy_core import fortress_engine as fe

COUNTERS = ("is_yielding", "conflict_steps_high", "steps_since_exit", "yield_cooldown", "yielding_count")


def memory(**settings):
    return fe.FortressUnbrokenMemory(4, fe.FortressUnbrokenConfig(**settings))


def state(md):
    return tuple(getattr(md, f) for f in COUNTERS)


def run(mem, md, conflicts):
    for c in conflicts:
        md.conflict_ema = c
        assert mem._update_yielding_state(md) is None


@pytest.fixture
def records(caplog):
    caplog.set_level(logging.INFO, logger=fe.__name__)
    return lambda: [(r.name, r.levelname, r.getMessage()) for r in caplog.records]


def test_entry_on_the_last_call_of_a_sustained_run(records):
    mem, md = memory(), fe.EngramMetadata(engram_id=3)
    run(mem, md, [0.7] * 199)
    assert state(md) == (False, 199, 0, 0, 0) and records() == []
    run(mem, md, [0.61234])
    assert state(md) == (True, 0, 0, 0, 1)
    assert records() == [(fe.__name__, "INFO", "Engram 3 entering yielding (conflict=0.612)")]


@pytest.mark.parametrize("last, yielding", [(0.5, False), (0.6, False), (0.6000001, True)])
def test_a_conflict_at_or_below_the_entry_threshold_resets_the_run(last, yielding):
    mem, md = memory(), fe.EngramMetadata(engram_id=0)
    run(mem, md, [0.7] * 199 + [last])
    assert md.is_yielding is yielding and md.conflict_steps_high == 0


def test_exit_after_the_cooldown_run_then_cooldown_before_re_entry(records):
    mem, md = memory(), fe.EngramMetadata(engram_id=7, is_yielding=True)
    run(mem, md, [0.1] * 200)
    assert state(md) == (True, 0, 200, 0, 0)
    run(mem, md, [0.2])  # the 201st low call exits
    assert state(md) == (False, 0, 0, 199, 0)
    assert records() == [(fe.__name__, "INFO", "Engram 7 exiting yielding (conflict=0.200)")]
    # The entry run counts during the cooldown but entry waits for the cooldown to reach 0.
    run(mem, md, [0.9] * 199)
    assert state(md) == (False, 199, 0, 0, 0)
    run(mem, md, [0.9])
    assert state(md) == (True, 0, 0, 0, 1)


def test_run_long_enough_waits_for_the_cooldown():
    mem, md = memory(sustained_conflict_window=3), fe.EngramMetadata(engram_id=0, yield_cooldown=5)
    run(mem, md, [0.9] * 5)
    assert state(md) == (False, 5, 0, 0, 0)  # cooldown ticked down to 0 on the 5th call
    run(mem, md, [0.9])
    assert state(md) == (True, 0, 0, 0, 1)


@pytest.mark.parametrize("conflicts, since_exit", [([0.2, 0.2, 0.35], 0), ([0.2, 0.2, 0.5], 0), ([0.2, 0.2, 0.3], 3)])
def test_a_conflict_at_or_above_the_exit_threshold_resets_the_exit_run(conflicts, since_exit):
    mem, md = memory(), fe.EngramMetadata(engram_id=0, is_yielding=True)
    run(mem, md, conflicts)
    assert md.is_yielding and md.steps_since_exit == since_exit


def test_zero_cooldown_and_short_window():
    mem = memory(yield_cooldown_steps=0, sustained_conflict_window=1)
    md = fe.EngramMetadata(engram_id=0)
    run(mem, md, [0.61])
    assert state(md) == (True, 0, 0, 0, 1)
    run(mem, md, [0.34])
    assert state(md) == (False, 0, 0, 0, 1)
    run(mem, md, [0.61])
    assert state(md) == (True, 0, 0, 0, 2)
    negative = memory(sustained_conflict_window=-5)
    md = fe.EngramMetadata(engram_id=0)
    run(negative, md, [0.7])
    assert md.is_yielding


@pytest.mark.parametrize("yielding", [False, True])
def test_cooldown_tick_never_goes_below_zero(yielding):
    mem = memory()
    md = fe.EngramMetadata(engram_id=0, is_yielding=yielding, yield_cooldown=2)
    run(mem, md, [0.45] * 4)
    assert md.yield_cooldown == 0
    assert type(md.conflict_steps_high) is int and type(md.yield_cooldown) is int


def test_rule_touches_only_the_record():
    mem, md = memory(), fe.EngramMetadata(engram_id=0)
    mem.joint_basis_dirty = False
    run(mem, md, [0.7] * 200)
    assert md.is_yielding and mem.joint_basis_dirty is False
    assert md.parent_ids == [] and md.usage_ema == 0.0 and md.current_lambda == 15.0

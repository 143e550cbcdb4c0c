"""The post-union impact window: baseline at the first usable loss, then the sum of differences."""
import math

import pytest
import torch

from fortress_support import memory

T = torch.tensor
WINDOW = ["post_union_steps_left", "post_union_baseline_loss", "post_union_loss_delta"]


def opened(horizon=3, **settings):
    mem = memory(post_union_eval_horizon=horizon, **settings)
    mem.post_union_steps_left.fill_(horizon)
    return mem


def window(mem):
    return [getattr(mem, n).item() for n in WINDOW]


def candidate(mem, k=4):
    return {"E_new": torch.linalg.qr(torch.randn(mem.d_state, k))[0], "remaining_rank": k, "quality": 0.8}


def test_one_window():
    mem = opened(3)
    seen = []
    for loss in (2.0, 2.5, 1.5, 9.0, 9.0):
        assert mem.update_post_union_impact(T(loss)) is None
        seen.append(window(mem))
    assert seen == [[2, 2.0, 0.0], [1, 2.0, 0.5], [0, 2.0, 0.0], [0, 2.0, 0.0], [0, 2.0, 0.0]]
    assert [mem.state_dict()[n].dtype for n in WINDOW] == [torch.int64, torch.float32, torch.float32]


@pytest.mark.parametrize("argument", [None, "loss", T([1.0, 2.0]), T(math.nan)])
def test_closed_window_ignores_any_argument(argument):
    mem = memory()
    mem.post_union_baseline_loss.fill_(2.0)
    mem.post_union_loss_delta.fill_(0.5)
    before = {k: v.clone() for k, v in mem.state_dict().items()}
    mem.update_post_union_impact(argument)
    assert all(torch.equal(mem.state_dict()[k], v) for k, v in before.items())


def test_non_finite_losses_do_not_count():
    mem = opened(3)
    for loss in (math.nan, math.inf, -math.inf):
        mem.update_post_union_impact(T(loss))
    assert window(mem) == [3, -1.0, 0.0]
    mem.update_post_union_impact(T(1.0))
    for loss in (math.nan, math.nan):
        mem.update_post_union_impact(T(loss))
    assert window(mem) == [2, 1.0, 0.0]


def test_a_negative_baseline_is_taken_again():
    mem = opened(3)
    mem.update_post_union_impact(T(-0.5))
    assert window(mem) == [2, -0.5, 0.0]
    mem.update_post_union_impact(T(1.0))
    assert window(mem) == [1, 1.0, 0.0]
    mem.update_post_union_impact(T(0.25))
    assert window(mem) == [0, 1.0, -0.75]


def test_an_overflowing_difference_counts_zero_but_consumes_a_step():
    mem = opened(3)
    mem.update_post_union_impact(T(3e38))
    mem.update_post_union_impact(T(-3e38))  # -6e38 is -inf in float32
    assert window(mem) == [1, pytest.approx(3e38), 0.0]


@pytest.mark.parametrize("loss", [
    T(2.5, dtype=torch.float64), T(3), T([2.5]), T([[2.5]]), T(2.5, requires_grad=True) * 1,
], ids=["float64", "int64", "one element", "one element 2-d", "with history"])
def test_loss_forms(loss):
    mem = opened(3)
    mem.update_post_union_impact(T(2.0))
    mem.update_post_union_impact(loss)
    assert window(mem) == [1, 2.0, pytest.approx(float(loss.detach().reshape(())) - 2.0)]
    for name in WINDOW:
        assert getattr(mem, name).grad_fn is None


def test_buffers_cast_to_double_take_the_loss_converted_to_float32():
    mem = opened(3).double()
    mem.update_post_union_impact(T(0.1, dtype=torch.float64))
    assert mem.post_union_baseline_loss.dtype == torch.float64
    assert mem.post_union_baseline_loss.item() == T(0.1, dtype=torch.float32).item()


@pytest.mark.parametrize("argument, error, match", [
    (T([1.0, 2.0]), RuntimeError, "more than one value is ambiguous"),
    (2.0, TypeError, "Argument 'current_training_loss'"),
])
def test_unusable_losses_while_open_change_nothing(argument, error, match):
    mem = opened(3)
    mem.update_post_union_impact(T(2.0))
    with pytest.raises(error, match=match):
        mem.update_post_union_impact(argument)
    assert window(mem) == [2, 2.0, 0.0]


@pytest.mark.parametrize("horizon, after_first, after_second", [
    (50, [49, 2.0, 0.0], [48, 2.0, 1.0]),
    (1, [0, 2.0, 0.0], [0, 2.0, 0.0]),
    (0, [0, -1.0, 0.0], [0, -1.0, 0.0]),
    (-3, [-3, -1.0, 0.0], [-3, -1.0, 0.0]),
])
def test_a_union_opens_the_window_and_its_step_gives_the_baseline(horizon, after_first, after_second):
    mem = memory(post_union_eval_horizon=horizon)
    mem.post_union_loss_delta.fill_(7.0)
    mem.post_union_baseline_loss.fill_(1.0)
    mem._promote_candidate(candidate(mem), "cosmic_surprisal")
    assert window(mem) == [horizon, -1.0, 0.0]
    mem.update_post_union_impact(T(2.0))
    assert window(mem) == after_first
    mem.update_post_union_impact(T(3.0))
    assert window(mem) == after_second


def test_a_new_union_restarts_an_open_window():
    mem = memory(post_union_eval_horizon=4)
    mem._promote_candidate(candidate(mem), "cosmic_surprisal")
    for loss in (1.0, 2.0):
        mem.update_post_union_impact(T(loss))
    assert window(mem) == [2, 1.0, 1.0]
    mem._promote_candidate(candidate(mem), "collapse_union", mode="collapse")
    assert window(mem) == [4, -1.0, 0.0]

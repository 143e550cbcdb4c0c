"""Engram usage diagnostics from one state row."""
import math

import pytest
import torch

from silver_kestrel.architectures.heavy_core import fortress_engine as fe
from fortress_support import memory

D = 8


def axes(*indices, dtype=torch.float32, k_max=4):
    basis = torch.zeros(D, k_max, dtype=dtype)
    for j, i in enumerate(indices):
        basis[i, j] = 1.0
    return basis


def with_engrams(*engrams, **settings):
    """Each engram given as the state axes it spans."""
    mem = memory(D, k_max_ratio=0.5, **settings)
    for i, spanned in enumerate(engrams):
        mem.engram_stack.append((axes(*spanned), len(spanned), 0.9, fe.EngramMetadata(engram_id=i)))
    return mem


def measured(mem):
    return mem.max_engram_usage.item(), mem.active_engram_count.item()


def row(*pairs):
    v = torch.zeros(D)
    for i, x in pairs:
        v[i] = x
    return v


@pytest.mark.parametrize("argument", [torch.randn(2, 3, D), None, "not a tensor"])
def test_no_engram_gives_zero_whatever_the_argument(argument):
    mem = memory(D)
    mem.max_engram_usage.fill_(0.7)
    mem.active_engram_count.fill_(3)
    assert mem.compute_engram_usage_metrics(argument) is None
    assert measured(mem) == (0.0, 0)


@pytest.mark.parametrize("vector, expected", [
    (row((0, 3.0), (1, 4.0)).reshape(1, D), (5 / (5 + 1e-8), 1)),  # inside the first engram
    (torch.zeros(1, D), (0.0, 0)),
    (row((0, 0.2), (2, 0.01), (5, math.sqrt(1 - 0.04 - 0.0001))).reshape(1, D), (0.2, 1)),
    (row((1, 0.04), (5, math.sqrt(1 - 0.0016))).reshape(1, D), (0.04, 0)),
])
def test_usage_values(vector, expected):
    mem = with_engrams((0, 1), (2,))
    mem.compute_engram_usage_metrics(vector)
    usage, count = measured(mem)
    assert usage == pytest.approx(expected[0], abs=1e-6) and usage <= 1.0
    assert count == expected[1]


def test_the_threshold_is_exclusive():
    mem = with_engrams((0,))
    vector = torch.randn(1, D)
    mem.compute_engram_usage_metrics(vector)
    usage = (torch.linalg.norm(torch.abs(vector @ axes(0)[:, :1])) / (torch.linalg.norm(vector) + 1e-8)).item()
    assert mem.max_engram_usage.item() == pytest.approx(usage)
    mem._usage_active_thresh = usage
    mem.compute_engram_usage_metrics(vector)
    assert mem.active_engram_count.item() == 0
    mem._usage_active_thresh = usage * (1 - 1e-9)
    mem.compute_engram_usage_metrics(vector)
    assert mem.active_engram_count.item() == 1


def test_only_the_first_row_is_measured():
    mem = with_engrams((0,))
    state = torch.zeros(2, 3, D)
    state[0, 0, 0] = 1.0
    mem.compute_engram_usage_metrics(state)
    first = measured(mem)
    state[0, 1:] = torch.randn(2, D)
    state[1] = torch.randn(3, D)
    mem.compute_engram_usage_metrics(state)
    assert measured(mem) == first == (pytest.approx(1.0), 1)
    rows = torch.cat([state[0, :1], torch.randn(4, D)])
    mem.compute_engram_usage_metrics(rows)
    assert measured(mem) == first


def test_the_basis_is_converted_to_the_vector():
    mem = with_engrams()
    mem.engram_stack.append((axes(3, dtype=torch.float64), 1, 0.9, fe.EngramMetadata(engram_id=0)))
    mem.compute_engram_usage_metrics(row((3, 1.0)).reshape(1, D).double())
    assert mem.max_engram_usage.item() == pytest.approx(1.0) and mem.max_engram_usage.dtype == torch.float32


def test_non_finite_usage_is_neither_counted_nor_the_maximum():
    mem = with_engrams((0,), (1,))
    mem.compute_engram_usage_metrics(row((0, math.nan)).reshape(1, D))
    assert measured(mem) == (0.0, 0)
    mem.compute_engram_usage_metrics(row((0, math.inf)).reshape(1, D))
    assert measured(mem) == (0.0, 0)


def test_records_and_other_state_are_untouched():
    mem = with_engrams((0,))
    before = {k: v.clone() for k, v in mem.state_dict().items() if k not in ("max_engram_usage", "active_engram_count")}
    record = mem.engram_stack[0][3]
    vector = torch.randn(1, D, requires_grad=True)
    mem.compute_engram_usage_metrics(vector)
    assert record == fe.EngramMetadata(engram_id=0)
    assert all(torch.equal(mem.state_dict()[k], v) for k, v in before.items())
    assert mem.max_engram_usage.grad_fn is None and mem.engram_usage_available.item() == 1.0


@pytest.mark.parametrize("vector, error, match", [
    (torch.randn(D), IndexError, "too many indices for tensor of dimension 1"),
    (torch.randn(2, D + 1), RuntimeError, "shapes cannot be multiplied"),
    (torch.randn(2, 3, D + 1), RuntimeError, "invalid for input of size"),
    (torch.tensor(1.0), IndexError, "tuple index out of range"),
    ([[1.0] * D], TypeError, "Argument 'vector'"),
])
def test_unusable_vectors_leave_the_buffers(vector, error, match):
    mem = with_engrams((0,))
    mem.max_engram_usage.fill_(0.3)
    with pytest.raises(error, match=match):
        mem.compute_engram_usage_metrics(vector)
    assert measured(mem) == (pytest.approx(0.3), 0)


def test_call_forms_and_documentation():
    mem = with_engrams((0,))
    mem.compute_engram_usage_metrics(vector=row((0, 1.0)).reshape(1, D))
    assert mem.active_engram_count.item() == 1
    for args in ((), (torch.zeros(1, D), 1)):
        with pytest.raises(TypeError, match="compute_engram_usage_metrics"):
            mem.compute_engram_usage_metrics(*args)
    doc = fe.FortressUnbrokenMemory.compute_engram_usage_metrics.__doc__
    assert doc.startswith("Compute engram usage metrics from a state vector.")
    assert "Lightweight usage proxy." in doc
    assert "(B, L, d_state) or (B*L, d_state) tensor to measure against engrams" in doc

import pytest
import torch

from silver_kestrel.architectures.heavy_core import fortress_engine as fe

Bounded = fe.WarEngineTevZOZU_V722_FU_Bounded


def blocks(width=8, seed=0):
    config = fe.TevUnifiedConfig(d_model=width, d_state=width, n_layers=3)
    fortress_config = fe.FortressUnbrokenConfig()
    torch.manual_seed(seed)
    plain = fe.WarEngineTevZOZU_V722_FU(config, fortress_config)
    torch.manual_seed(seed)
    return plain, Bounded(config, fortress_config)


def test_is_a_block_with_the_same_state_dict():
    plain, bounded = blocks()
    assert issubclass(Bounded, fe.WarEngineTevZOZU_V722_FU)
    assert Bounded.__module__ == fe.__name__
    assert list(bounded.state_dict()) == list(plain.state_dict())
    bounded.load_state_dict(plain.state_dict())


@pytest.mark.parametrize("diagnostics", [False, True])
def test_output_is_the_block_output_through_tanh(diagnostics):
    plain, bounded = blocks()
    x = 50 * torch.randn(2, 5, 8)
    expected, expected_diag = plain.forward_with_diagnostics(x, state=None, return_diagnostics=diagnostics)
    got, diag = bounded.forward_with_diagnostics(x, state=None, return_diagnostics=diagnostics)
    torch.testing.assert_close(got, torch.tanh(expected))
    assert got.abs().max() <= 1 and got.shape == x.shape
    assert list(diag) == list(expected_diag)


def test_gradients_reach_the_block():
    _, bounded = blocks()
    x = torch.randn(2, 4, 8, requires_grad=True)
    y, _ = bounded.forward_with_diagnostics(x)
    y.sum().backward()
    assert x.grad is not None and any(p.grad is not None for p in bounded.parameters())

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


def test_carried_state_is_bounded():
    plain, bounded = blocks()
    x = 50 * torch.randn(2, 5, 8)
    plain.forward_with_diagnostics(x)
    bounded.forward_with_diagnostics(x)
    assert plain.integrator.sigma_prev.abs().max() > 1
    torch.testing.assert_close(bounded.integrator.sigma_prev, torch.tanh(plain.integrator.sigma_prev))
    # The next call continues from the bounded state.
    plain.integrator.sigma_prev = torch.tanh(plain.integrator.sigma_prev)
    y_plain, _ = plain.forward_with_diagnostics(x)
    y_bounded, _ = bounded.forward_with_diagnostics(x)
    torch.testing.assert_close(y_bounded, torch.tanh(y_plain))


def test_bounded_backbone_trains_at_the_default_rate():
    # The carried state of a bounded stack once grew without limit at lr 1e-3 (0.2 to 6e18 in
    # 200 steps of this run, then non-finite parameters).
    from silver_kestrel.kestrel_model import create_kestrel_model
    from support import ROOT

    torch.manual_seed(0)
    with open(f"{ROOT}/examples/data/kestrel_notes.txt", "rb") as f:
        data = torch.tensor(list(f.read()))
    model = create_kestrel_model(vocab_size=256, d_model=16, d_state=16, n_layers=2, morva_variant="fu-64-bounded")
    optimizer = torch.optim.AdamW(model.parameters(), lr=1e-3)
    generator = torch.Generator().manual_seed(0)
    largest = 0.0
    for step in range(200):
        starts = torch.randint(0, data.numel() - 16, (4,), generator=generator)
        ids = torch.stack([data[s:s + 16] for s in starts.tolist()])
        loss = model(ids, labels=ids)["loss"]
        optimizer.zero_grad()
        loss.backward()
        torch.nn.utils.clip_grad_norm_(model.parameters(), 1.0)
        optimizer.step()
        assert torch.isfinite(loss), step
        largest = max(largest, max(layer.integrator.sigma_prev.abs().max().item() for layer in model.core.layers))
    assert largest <= 1.0
    assert all(torch.isfinite(p).all() for p in model.parameters())
    assert loss.item() < 5.0  # it learnt something (uniform guess: 5.55)

import dataclasses
import math
import pickle

import pytest
import torch

from silver_kestrel.architectures.unified_engine_pkg import unified_engine as ue

S = 6


@pytest.fixture
def integrator():
    torch.manual_seed(0)
    return ue.ListeningIntegratorV2(ue.TevUnifiedConfig(d_model=S, d_state=S, n_layers=2))


def sequence(B=2, T=5):
    return torch.randn(B, T, S), torch.rand(B, T, S)


def test_config_is_a_data_class_with_defaults():
    config = ue.TevUnifiedConfig(d_model=8, d_state=4, n_layers=3)
    assert dataclasses.is_dataclass(config)
    assert dataclasses.asdict(config) == {
        "d_model": 8, "d_state": 4, "n_layers": 3, "coupling_init": 0.5,
        "surprisal_ema_decay": 0.99, "flow_ema_decay_across_sequences": 0.0, "infer_damping": 0.5,
    }
    assert config == ue.TevUnifiedConfig(d_model=8, d_state=4, n_layers=3)
    with pytest.raises(TypeError):
        ue.TevUnifiedConfig(d_model=8, d_state=4)


def test_integrator_is_a_module_whose_state_dict_is_alpha_raw(integrator):
    assert isinstance(integrator, torch.nn.Module)
    assert list(integrator.state_dict()) == ["alpha_raw"]
    assert integrator.alpha_raw.dim() == 0
    assert torch.sigmoid(integrator.alpha_raw).item() == pytest.approx(0.9)
    assert torch.equal(integrator.sigma_prev, torch.zeros(1, S))
    integrator(*sequence(B=3))  # a [3, S] carried state must not leak into the state dict
    fresh = ue.ListeningIntegratorV2(ue.TevUnifiedConfig(d_model=S, d_state=S, n_layers=2))
    fresh.load_state_dict(integrator.state_dict())


def test_recurrence_and_carried_state(integrator):
    delta, gate = sequence()
    sigma = integrator(delta, gate)
    a = torch.sigmoid(integrator.alpha_raw).detach()
    expected, state = [], torch.zeros(2, S)
    for t in range(delta.size(1)):
        state = a * state + (1 - a) * gate[:, t] * delta[:, t]
        expected.append(state)
    torch.testing.assert_close(sigma, torch.stack(expected, 1))
    assert torch.equal(integrator.sigma_prev, sigma[:, -1])
    assert not integrator.sigma_prev.requires_grad
    assert integrator.get_state() is integrator.sigma_prev


def test_step_chain_equals_sequence_forward(integrator):
    delta, gate = sequence()
    full = integrator.forward_with_diagnostics(delta, gate, {"sigma_prev": torch.zeros(2, S)})[0]
    state = torch.zeros(2, S)
    for t in range(delta.size(1)):
        state = integrator.step((gate * delta)[:, t : t + 1], state)
        torch.testing.assert_close(state, full[:, t])
    torch.testing.assert_close(integrator.get_state(), full[:, -1])


def test_plain_call_equals_diagnostics_call(integrator):
    delta, gate = sequence()
    start = torch.randn(2, S)
    integrator.set_state(start)
    plain = integrator(delta, gate)
    integrator.set_state(start)
    for state in (None, {}, {"other": 1}):
        integrator.set_state(start)
        sigma, diagnostics = integrator.forward_with_diagnostics(delta, gate, state, compute_diagnostics=True)
        assert diagnostics == {}
        torch.testing.assert_close(sigma, plain)
    given, _ = integrator.forward_with_diagnostics(delta, gate, {"sigma_prev": start})
    torch.testing.assert_close(given, plain)


def test_sigma_is_differentiable_everywhere_and_hooks_fire(integrator):
    delta, gate = (t.requires_grad_() for t in sequence())
    start = torch.randn(2, S, requires_grad=True)
    sigma, _ = integrator.forward_with_diagnostics(delta, gate, {"sigma_prev": start})
    seen = []
    sigma.register_hook(lambda g: seen.append(g.shape))
    sigma.square().sum().backward()
    assert seen == [sigma.shape]
    for t in (delta, gate, start, integrator.alpha_raw):
        assert t.grad is not None and t.grad.abs().sum() > 0


@pytest.mark.parametrize("decay,expected", [(0.0, torch.zeros(1, S)), (0.5, None)])
def test_reset_sequence(integrator, decay, expected):
    integrator(*sequence(B=2))
    before = integrator.sigma_prev.clone()
    integrator.reset_sequence(decay_factor=decay)
    torch.testing.assert_close(integrator.sigma_prev, before * decay if expected is None else expected)


def test_moves_with_the_module_and_pickles(integrator):
    integrator = integrator.double()
    sigma = integrator(*(t.double() for t in sequence()))
    assert sigma.dtype == torch.float64 and integrator.sigma_prev.dtype == torch.float64
    clone = pickle.loads(pickle.dumps(integrator))
    assert type(clone) is ue.ListeningIntegratorV2
    torch.testing.assert_close(clone.alpha_raw, integrator.alpha_raw)
    assert math.isclose(float(torch.sigmoid(clone.alpha_raw)), 0.9, rel_tol=1e-6)

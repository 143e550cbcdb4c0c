import copy
import dataclasses
import math
import pickle
import warnings

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


class _SeenSetattr(ue.ListeningIntegratorV2):
    def __setattr__(self, name, value):
        type(self).seen.append(name)
        super().__setattr__(name, value)


def test_the_carried_state_is_assigned_as_nn_module_assigns_it():
    # The carried state goes into the buffer registry, in its place; a class with its own
    # __setattr__ sees the assignment, and so does a global buffer registration hook.
    torch.manual_seed(0)
    plain = ue.ListeningIntegratorV2(ue.TevUnifiedConfig(d_model=S, d_state=S, n_layers=2))
    plain.register_buffer("after", torch.zeros(()))
    sigma = plain(*sequence())
    assert list(plain._buffers) == ["sigma_prev", "after"] and "sigma_prev" not in vars(plain)
    assert torch.equal(plain.sigma_prev, sigma[:, -1])
    _SeenSetattr.seen = []
    _SeenSetattr(ue.TevUnifiedConfig(d_model=S, d_state=S, n_layers=2))(*sequence())
    assert _SeenSetattr.seen[-1] == "sigma_prev"
    # An own register_buffer sees the assignment where nn.Module's __setattr__ stores buffers
    # through it (newer torch), as it would on any module.
    class Reference(torch.nn.Module):
        def register_buffer(self, name, tensor, persistent=True):
            seen.append(name)
            return torch.nn.Module.register_buffer(self, name, tensor, persistent)

    class Registering(ue.ListeningIntegratorV2):
        register_buffer = Reference.register_buffer

    seen = []
    reference = Reference()
    reference.register_buffer("sigma_prev", torch.zeros(1, S), persistent=False)
    seen.clear()
    reference.sigma_prev = torch.ones(2, S)
    expected = list(seen)
    registering = Registering(ue.TevUnifiedConfig(d_model=S, d_state=S, n_layers=2))
    seen.clear()
    registering(*sequence())
    assert seen == expected
    register = getattr(torch.nn.modules.module, "register_module_buffer_registration_hook", None)
    if register is not None:  # newer torch
        hooked = []
        handle = register(lambda module, name, value: hooked.append(name) or value * 0)
        try:
            plain(*sequence())
        finally:
            handle.remove()
        assert hooked == ["sigma_prev"] and torch.equal(plain.sigma_prev, torch.zeros(2, S))


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


# ---------------------------------------------------------------------------------------------
# How long a carried state may be
#
# A block's gate reads the state change against the carried state and is not squashed, so a
# grown state can make a larger gate and a larger state again at the next call. Each carried row
# is therefore at most as long as the longer of its start row and the longest input row of its
# sequence: the length a gate within [-1, 1] can never exceed.


def recurrence(delta, gate, start, a):
    state, out = start.expand(delta.size(0), -1), []
    for t in range(delta.size(1)):
        state = a * state + (1 - a) * gate[:, t] * delta[:, t]
        out.append(state)
    return torch.stack(out, 1)


def length_rule(final, start, delta):
    """The carried state the rule gives, in double precision, and which rows it scales down."""
    final, start, delta = (t.double() for t in (final, start, delta))
    cap = torch.maximum(start.norm(dim=-1, keepdim=True).expand(final.size(0), 1),
                        delta.norm(dim=-1).amax(1, keepdim=True))
    length = final.norm(dim=-1, keepdim=True)
    over = length > cap
    return torch.where(over, final * (cap / length), final), over.squeeze(-1).tolist()


# name: (gate magnitude of each of the three rows, start magnitude, rows scaled down)
LENGTH_CASES = {
    "gates within [-1, 1]": ((1, 1, 1), 0.0, [False, False, False]),
    "gates within [-1, 1], long start": ((1, 1, 1), 30.0, [False, False, False]),
    "loud gates": ((40, 40, 40), 0.0, [True, True, True]),
    "one quiet row": ((40, 1, 40), 0.0, [True, False, True]),
    "loud gates, longer start": ((400, 400, 1), 10.0, [True, True, False]),
}


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
@pytest.mark.parametrize("case", list(LENGTH_CASES))
def test_carried_state_length(case, dtype):
    rows, start_scale, expected_over = LENGTH_CASES[case]
    g = torch.Generator().manual_seed(3)
    integrator = ue.ListeningIntegratorV2(ue.TevUnifiedConfig(d_model=S, d_state=S, n_layers=1)).to(dtype)
    delta = torch.randn(3, 5, S, generator=g, dtype=dtype)
    gate = (2 * torch.rand(3, 5, S, generator=g, dtype=dtype) - 1) * torch.tensor(rows, dtype=dtype).view(3, 1, 1)
    start = start_scale * torch.randn(3, S, generator=g, dtype=dtype)
    sigma, _ = integrator.forward_with_diagnostics(delta, gate, {"sigma_prev": start})
    # The call's own output is the plain recurrence, whatever it carries on.
    a = torch.sigmoid(integrator.alpha_raw).detach()
    torch.testing.assert_close(sigma, recurrence(delta, gate, start, a))
    expected, over = length_rule(sigma[:, -1], start, delta)
    assert over == expected_over
    carried = integrator.sigma_prev
    assert carried.dtype == dtype and not carried.requires_grad
    for row, scaled in enumerate(over):
        if scaled:
            torch.testing.assert_close(carried[row].double(), expected[row], rtol=1e-6, atol=0)
        else:  # carried on exactly
            assert torch.equal(carried[row], sigma[row, -1])


def test_carried_state_length_without_reading_in_place():
    # Under a trace the state is capped in tensor operations, with the same result.
    g = torch.Generator().manual_seed(4)
    delta = torch.randn(3, 5, S, generator=g)
    gate = 40 * (2 * torch.rand(3, 5, S, generator=g) - 1)
    gate[1] /= 40
    torch.manual_seed(0)
    integrator = ue.ListeningIntegratorV2(ue.TevUnifiedConfig(d_model=S, d_state=S, n_layers=1))
    twin = copy.deepcopy(integrator)
    twin(delta, gate)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        torch.jit.trace(integrator, (delta, gate), check_trace=False)
    torch.testing.assert_close(integrator.sigma_prev, twin.sigma_prev, rtol=1e-6, atol=0)
    assert torch.equal(integrator.sigma_prev[1], twin.sigma_prev[1])
    assert length_rule(twin.sigma_prev, torch.zeros(1, S), delta)[1] == [False, False, False]


def test_a_gate_fed_by_the_carried_state_stays_bounded():
    # The feedback of a block, reduced to the integrator: the gate grows with the carried state.
    torch.manual_seed(0)
    integrator = ue.ListeningIntegratorV2(ue.TevUnifiedConfig(d_model=S, d_state=S, n_layers=1))
    delta = torch.randn(2, 8, S, generator=torch.Generator().manual_seed(5))
    longest = delta.norm(dim=-1).amax(1)
    for _ in range(100):
        gate = 1.0 - 4.0 * (delta - integrator.sigma_prev.unsqueeze(1))
        integrator(delta, gate)
    assert (integrator.sigma_prev.norm(dim=-1) <= longest * (1 + 1e-6)).all()

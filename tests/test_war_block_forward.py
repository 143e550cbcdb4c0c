import copy
import dataclasses
import math

import pytest
import torch

from silver_kestrel.architectures.heavy_core import fortress_engine as fe
from block_support import Block, OpCounter, add_engram, force_stable, make_block, make_config, spy

FORTRESS_CALLS = ["forward_step", "update_surprisal_stats", "_update_global_pressure", "accumulate_covariance",
                  "maybe_promote_to_deep_engram", "update_post_union_impact", "create_joint_basis_projection_hook",
                  "lifecycle_management", "compute_engram_usage_metrics"]


def inputs(B=2, T=3, S=4, seed=1):
    return torch.randn(B, T, S, generator=torch.Generator().manual_seed(seed))


def reference_forward(block, x, state=None):
    """The block's forward written out with the public pieces it is made of."""
    f = block.fortress
    f.forward_step()
    B, T, _ = x.shape
    delta = block.input_proj(x)
    sigma_prev = state["sigma_prev"] if state is not None and "sigma_prev" in state else block.integrator.sigma_prev
    if sigma_prev.shape[0] == 1 and B > 1:
        sigma_prev = sigma_prev.expand(B, -1)
    state_delta = delta - sigma_prev.unsqueeze(1).expand(-1, T, -1)
    variance = torch.var(state_delta, dim=-1, keepdim=True).mean().detach()
    block.state_variance_ema.mul_(0.9).add_(variance * 0.1)
    surprisal = block.integrator.compute_surprisal(delta, sigma_prev)
    _, _, stable = f.update_surprisal_stats(surprisal)
    if block.fortress_config.enable_vgt:
        given = state or {}
        if isinstance(given.get("dance_friction"), torch.Tensor):
            friction = given["dance_friction"].detach()
        elif isinstance(given.get("fast_logits"), torch.Tensor) and isinstance(given.get("slow_logits"), torch.Tensor):
            friction = torch.mean(torch.abs(given["fast_logits"] - given["slow_logits"])).detach()
        else:
            friction = surprisal.detach() - 1.0
        conflicts = [meta.conflict_ema for _, _, _, meta in f.engram_stack]
        avg = sum(conflicts) / len(conflicts) if conflicts else 0.0
        dtype = f.global_pressure.dtype
        f._update_global_pressure(torch.tensor(avg, device=x.device, dtype=dtype),
                                  surprisal.detach().to(x.device, dtype), friction.to(x.device, dtype))
    gate = block.compute_gate(x, state_delta, surprisal)
    sigma, _ = block.integrator.forward_with_diagnostics(delta, gate, state, compute_diagnostics=False)
    trainer_ok = bool(stable) and bool(f.adaptive_calm_ok.item())
    if trainer_ok:
        f.accumulate_covariance(sigma)
    f.maybe_promote_to_deep_engram(stable=bool(stable), trainer_ok=trainer_ok)
    if state is not None and isinstance(state.get("current_training_loss"), torch.Tensor):
        f.update_post_union_impact(state["current_training_loss"])
    f.lifecycle_management()
    return block.output_proj(sigma)


def full_state(block):
    state = {k: v.clone() for k, v in block.state_dict().items()}
    state["integrator.sigma_prev"] = block.integrator.sigma_prev.clone()
    return state


def assert_same_state(a, b):
    assert list(a) == list(b)
    for k in a:
        torch.testing.assert_close(a[k], b[k], rtol=1e-6, atol=1e-7, msg=k)


def states(B, S):
    g = torch.Generator().manual_seed(7)
    fast, slow = torch.randn(B, 5, 6, generator=g), torch.randn(B, 5, 6, generator=g)
    return {
        "none": lambda: None,
        "empty": lambda: {},
        "sigma_prev_row": lambda: {"sigma_prev": torch.randn(1, S, generator=g)},
        "sigma_prev_batch": lambda: {"sigma_prev": torch.randn(B, S, generator=g)},
        "friction": lambda: {"dance_friction": torch.tensor(0.3), "fast_logits": fast, "slow_logits": slow},
        "logits": lambda: {"dance_friction": 0.3, "fast_logits": fast, "slow_logits": slow},
        "fast_only": lambda: {"fast_logits": fast},
        "loss": lambda: {"current_training_loss": torch.tensor(2.5)},
    }


# ---------------------------------------------------------------------------------------------
# The whole call against its reference


@pytest.mark.parametrize("case", list(states(3, 4)))
@pytest.mark.parametrize("enable_vgt", [True, False])
def test_forward_matches_reference(case, enable_vgt):
    block = make_block(enable_vgt=enable_vgt)
    add_engram(block.fortress, conflict_ema=0.4)
    add_engram(block.fortress, conflict_ema=0.1)
    reference = copy.deepcopy(block)
    make_state = states(3, 4)[case]
    for step in range(4):
        x = inputs(B=3, seed=step)
        state = make_state()
        y, diagnostics = block.forward_with_diagnostics(x, state)
        expected = reference_forward(reference, x, copy.deepcopy(state))
        assert diagnostics == {}
        torch.testing.assert_close(y, expected)
        assert_same_state(full_state(block), full_state(reference))
    assert block.fortress.global_step.item() == 4
    assert not block.state_variance_ema.requires_grad


def test_state_variance_average():
    block = make_block()
    x = inputs()
    expected = 0.1
    for _ in range(3):
        delta = block.input_proj(x)
        state_delta = delta - block.integrator.sigma_prev.expand(2, -1).unsqueeze(1)
        expected = expected * 0.9 + torch.var(state_delta, dim=-1, keepdim=True).mean().item() * 0.1
        block.forward_with_diagnostics(x)
    assert block.state_variance_ema.item() == pytest.approx(expected, rel=1e-6)


def test_evaluation_mode_advances_the_same_statistics():
    trained, evaluated = make_block(), make_block()
    evaluated.eval()
    for step in range(3):
        x = inputs(seed=step)
        trained.forward_with_diagnostics(x)
        evaluated.forward_with_diagnostics(x)
    assert_same_state(full_state(trained), full_state(evaluated))


def test_output_and_gradients():
    block = make_block()
    x = inputs().requires_grad_()
    y, diagnostics = block.forward_with_diagnostics(x, None, False)
    assert y.shape == (2, 3, 4) and diagnostics == {} and type(diagnostics) is dict
    y.sum().backward()
    assert x.grad is not None
    assert all(p.grad is not None for name, p in block.named_parameters()), \
        [name for name, p in block.named_parameters() if p.grad is None]
    assert not any(b.requires_grad for b in block.buffers())


def test_state_dictionary_is_only_read():
    block = make_block()
    state = states(2, 4)["friction"]()
    state.update(sigma_prev=torch.zeros(1, 4), current_training_loss=torch.tensor(1.0))
    before = dict(state)
    block.forward_with_diagnostics(inputs(), state, True)
    assert list(state) == list(before) and all(state[k] is before[k] for k in before)


# ---------------------------------------------------------------------------------------------
# What the fortress is asked to do


def test_call_order_and_arguments():
    block = make_block()
    add_engram(block.fortress)
    force_stable(block.fortress)
    original = block.fortress._update_global_pressure

    def calm_pressure(*args, **kwargs):  # the update decides the calm flag; make it calm
        original(*args, **kwargs)
        block.fortress.adaptive_calm_ok.fill_(1.0)

    block.fortress._update_global_pressure = calm_pressure
    calls = spy(block.fortress, *FORTRESS_CALLS)
    integrator_calls = spy(block.integrator, "compute_surprisal", "forward_with_diagnostics")
    loss = torch.tensor(3.0)
    state = {"current_training_loss": loss}
    x = inputs().requires_grad_()
    block.forward_with_diagnostics(x, state, return_diagnostics=1)

    assert [c[0] for c in calls] == FORTRESS_CALLS
    by_name = {name: (args, kwargs) for name, args, kwargs in calls}
    conflict, surprisal, friction = by_name["_update_global_pressure"][0]
    assert by_name["_update_global_pressure"][1] == {}
    assert conflict.shape == surprisal.shape == friction.shape == ()
    assert not surprisal.requires_grad and friction.item() == pytest.approx(surprisal.item() - 1.0)
    assert by_name["maybe_promote_to_deep_engram"] == ((), {"stable": True, "trainer_ok": True})
    assert by_name["update_post_union_impact"][0][0] is loss
    sigma = by_name["accumulate_covariance"][0][0]
    assert sigma.shape == (2, 3, 4) and sigma.requires_grad
    assert by_name["compute_engram_usage_metrics"][0][0] is sigma

    (_, (delta, prev), _), (_, fwd_args, fwd_kwargs) = integrator_calls
    assert delta.shape == (2, 3, 4) and prev.shape == (2, 4)
    assert fwd_args[0] is delta and fwd_args[2] is state and fwd_kwargs == {"compute_diagnostics": True}


@pytest.mark.parametrize("stable, calm, accumulates", [
    (True, 1.0, True), (True, 0.0, False), (False, 1.0, False), (True, float("nan"), True),
])
def test_covariance_only_on_stable_calm_calls(stable, calm, accumulates):
    block = make_block(enable_vgt=False)  # nothing rewrites the calm flag then
    block.fortress.adaptive_calm_ok.fill_(calm)
    force_stable(block.fortress, stable)
    calls = spy(block.fortress, "accumulate_covariance", "maybe_promote_to_deep_engram")
    block.forward_with_diagnostics(inputs())
    names = [c[0] for c in calls]
    assert ("accumulate_covariance" in names) == accumulates
    assert calls[-1][2] == {"stable": stable, "trainer_ok": accumulates}


def test_without_pressure_coupling_no_pressure_update_and_no_covariance():
    block = make_block(enable_vgt=False)
    calls = spy(block.fortress, "_update_global_pressure", "accumulate_covariance")
    force_stable(block.fortress)
    for step in range(3):
        block.forward_with_diagnostics(inputs(seed=step), {"dance_friction": "not read", "fast_logits": None})
    assert calls == [] and block.fortress.global_pressure.item() == 0.0


def friction_passed(block, state):
    calls = spy(block.fortress, "_update_global_pressure")
    block.forward_with_diagnostics(inputs(), state)
    (_, (conflict, surprisal, friction), _), = calls
    return conflict, surprisal, friction


def test_disagreement_signal_choice():
    g = torch.Generator().manual_seed(3)
    fast, slow = torch.randn(2, 5, generator=g), torch.randn(2, 5, generator=g)
    given = torch.tensor(0.25, requires_grad=True)
    _, _, friction = friction_passed(make_block(), {"dance_friction": given, "fast_logits": fast, "slow_logits": slow})
    assert friction.item() == 0.25 and not friction.requires_grad
    for state in ({"dance_friction": 0.25, "fast_logits": fast, "slow_logits": slow},
                  {"fast_logits": fast.requires_grad_(), "slow_logits": slow}):
        _, _, friction = friction_passed(make_block(), state)
        assert friction.shape == () and not friction.requires_grad
        assert friction.item() == pytest.approx((fast - slow).abs().mean().item())
    for state in (None, {"fast_logits": fast}, {"fast_logits": fast, "slow_logits": "text"}):
        _, surprisal, friction = friction_passed(make_block(), state)
        assert friction.item() == pytest.approx(surprisal.item() - 1.0)


def test_pressure_inputs_follow_the_pressure_dtype():
    block = make_block()
    block.fortress.double()
    conflict, surprisal, friction = friction_passed(block, {"dance_friction": torch.tensor(0.5)})
    assert conflict.dtype == surprisal.dtype == friction.dtype == torch.float64


@pytest.mark.parametrize("conflicts, expected", [([], 0.0), ([0.2, 0.4], 0.3), ([0.1, 0.2, 0.6], 0.3)])
def test_average_conflict(conflicts, expected):
    block = make_block()
    for c in conflicts:
        add_engram(block.fortress, conflict_ema=c)
    conflict, _, _ = friction_passed(block, None)
    assert conflict.item() == pytest.approx(expected)


@pytest.mark.parametrize("loss, called", [(torch.tensor(2.0), True), (2.0, False), (None, False)])
def test_post_union_window_gets_only_a_tensor_loss(loss, called):
    block = make_block()
    calls = spy(block.fortress, "update_post_union_impact")
    block.forward_with_diagnostics(inputs(), {} if loss is None else {"current_training_loss": loss})
    assert [c[1] for c in calls] == ([(loss,)] if called else [])


def test_lifecycle_management_runs_on_every_call():
    block = make_block()
    calls = spy(block.fortress, "lifecycle_management")
    with torch.no_grad():
        for step in range(3):
            block.forward_with_diagnostics(inputs(seed=step))
    assert len(calls) == 3


# ---------------------------------------------------------------------------------------------
# The gradient-projection hook


class FakeHandle:
    def __init__(self, error=None):
        self.removed, self.error = 0, error

    def remove(self):
        self.removed += 1
        if self.error:
            raise self.error


def counting_hooks(fortress):
    fired = []

    def create():
        def hook(grad):
            fired.append(grad.shape)
            return grad
        return hook

    fortress.create_joint_basis_projection_hook = create
    return fired


def test_every_call_awaiting_backward_keeps_its_hook():
    block = make_block()
    add_engram(block.fortress)
    fired = counting_hooks(block.fortress)
    x = inputs().requires_grad_()
    y1, _ = block.forward_with_diagnostics(x)
    first = block._sigma_hook_handle
    y2, _ = block.forward_with_diagnostics(inputs(T=5))
    assert block._sigma_hook_handle is not first and block._sigma_hook_handle is not None
    (y1.sum() + y2.sum()).backward()
    assert sorted(fired) == [torch.Size([2, 3, 4]), torch.Size([2, 5, 4])]  # both calls' states


@pytest.mark.parametrize("keep_graphs", [False, True])
def test_pending_hooks_stay_bounded(keep_graphs):
    block = make_block()
    add_engram(block.fortress)
    fired = counting_hooks(block.fortress)
    kept, most = [], 0
    for step in range(100):
        y, _ = block.forward_with_diagnostics(inputs(seed=step))
        most = max(most, len(block._sigma_hook_pending))
        if keep_graphs:
            kept.append(y)  # graphs never run backward: only the bound lets their hooks go
        else:
            y.sum().backward()
    if keep_graphs:
        assert most == 64 and len(block._sigma_hook_pending) == 64 and fired == []
        sum(v.sum() for v in kept).backward()
        assert len(fired) == 64  # the newest 64 calls kept their hooks
    else:
        assert most <= 2 and len(fired) == 100  # the previous call's graph is gone at the next
    # Without engrams every hook goes.
    block.fortress.engram_stack.clear()
    block.forward_with_diagnostics(inputs())
    assert block._sigma_hook_handle is None and block._sigma_hook_pending == []


def test_hook_needs_engrams_and_a_gradient():
    block = make_block()
    x = inputs().requires_grad_()
    old = FakeHandle()
    block._sigma_hook_handle = old
    block.forward_with_diagnostics(x)  # no engrams: an earlier handle goes
    assert block._sigma_hook_handle is None and old.removed == 1

    add_engram(block.fortress)
    kept = FakeHandle()
    block._sigma_hook_handle = kept
    with torch.no_grad():
        block.forward_with_diagnostics(x)  # no gradient: nothing installed, the handle stays
    assert block._sigma_hook_handle is kept and kept.removed == 0

    block.set_trainable(False)
    block.forward_with_diagnostics(inputs())  # nothing requires a gradient
    assert block._sigma_hook_handle is kept


@pytest.mark.parametrize("error", [ValueError("gone"), RuntimeError("stale"), KeyboardInterrupt()])
def test_hook_removal_errors(error):
    block = make_block()
    add_engram(block.fortress)
    block._sigma_hook_handle = FakeHandle(error)
    if isinstance(error, Exception):
        block.forward_with_diagnostics(inputs())
        assert block._sigma_hook_handle is not None and not isinstance(block._sigma_hook_handle, FakeHandle)
    else:
        with pytest.raises(KeyboardInterrupt):
            block.forward_with_diagnostics(inputs())


def test_hook_sees_the_engrams_of_backward_time():
    block = make_block()
    add_engram(block.fortress)
    stacks = []

    def create():
        def hook(grad):
            stacks.append(len(block.fortress.engram_stack))
            return grad
        return hook

    block.fortress.create_joint_basis_projection_hook = create
    block.fortress.lifecycle_management = lambda: block.fortress.engram_stack.clear()
    y, _ = block.forward_with_diagnostics(inputs().requires_grad_())
    y.sum().backward()
    assert stacks == [0]


# ---------------------------------------------------------------------------------------------
# A non-finite batch and the engram records


@pytest.mark.parametrize("value", [float("inf"), float("-inf"), float("nan")])
@pytest.mark.parametrize("broken", ["input", "input everywhere", "gradient", "gradient everywhere"])
def test_a_non_finite_batch_leaves_the_engram_records(value, broken):
    # The forward of a broken batch reads the records only; the gradient that reaches the hook
    # holds an inf or a NaN (a broken input gives a NaN one through the loss, a broken upstream
    # gradient an inf one in its row), and the hook measures nothing. The age follows the step
    # counter, which counts every call.
    block = make_block()
    add_engram(block.fortress, k=2, usage_ema=0.5, conflict_ema=0.7, conflict_steps_high=3)

    def step(x, upstream=None):
        y, _ = block.forward_with_diagnostics(x)
        (y * (y if upstream is None else upstream)).sum().backward()

    step(inputs(seed=2))
    twin = copy.deepcopy(block)
    x, upstream = inputs(seed=3), inputs(seed=5)
    spoilt = x if broken.startswith("input") else upstream
    if broken.endswith("everywhere"):
        spoilt.fill_(value)
    else:
        spoilt[1, 1, 2] = value
    step(x, None if broken.startswith("input") else upstream)
    mine, theirs = (dataclasses.asdict(b.fortress.engram_stack[0][3]) for b in (block, twin))
    assert mine.pop("steps_since_consolidation") == theirs.pop("steps_since_consolidation") + 1
    assert mine == theirs
    step(inputs(seed=4))
    after = dataclasses.asdict(block.fortress.engram_stack[0][3])
    assert after != {**mine, "steps_since_consolidation": after["steps_since_consolidation"]}  # measured again
    assert all(math.isfinite(v) for v in after.values() if isinstance(v, float))


# ---------------------------------------------------------------------------------------------
# Refusals: nothing changes


def refused_cases():
    return {
        "state_subclass": (lambda: (inputs(), type("D", (dict,), {})()), {}, TypeError,
                           r"Argument 'state' has incorrect type \(expected dict, got D\)"),
        "state_list": (lambda: (inputs(), []), {}, TypeError, "'state'"),
        "x_two_dims": (lambda: (torch.zeros(3, 4),), {}, ValueError, r"not enough values to unpack \(expected 3"),
        "x_not_tensor": (lambda: ([[1.0]],), {}, TypeError, "'x'"),
        "x_width": (lambda: (torch.zeros(2, 3, 5),), {}, RuntimeError, "shapes cannot be multiplied"),
        "sigma_prev_batch": (lambda: (inputs(B=3), {"sigma_prev": torch.zeros(2, 4)}), {}, RuntimeError,
                             "must match"),
        "sigma_prev_text": (lambda: (inputs(), {"sigma_prev": "zeros"}), {}, TypeError, "'sigma_prev'"),
        "friction_elements": (lambda: (inputs(), {"dance_friction": torch.zeros(3)}), {}, RuntimeError,
                              "doesn't match the broadcast shape"),
        "logit_shapes": (lambda: (inputs(), {"fast_logits": torch.zeros(2, 3), "slow_logits": torch.zeros(2, 4)}),
                         {}, RuntimeError, "must match"),
        "diagnostics_flag": (lambda: (inputs(),), {"return_diagnostics": torch.ones(2)}, RuntimeError, "ambiguous"),
    }


@pytest.mark.parametrize("case", list(refused_cases()))
def test_refused_before_any_change(case):
    make_args, kwargs, error, match = refused_cases()[case]
    block = make_block()
    add_engram(block.fortress)
    before = full_state(block)
    calls = spy(block.fortress, *FORTRESS_CALLS)
    with pytest.raises(error, match=match):
        block.forward_with_diagnostics(*make_args(), **kwargs)
    assert calls == []
    assert_same_state(full_state(block), before)


def test_unequal_widths_are_refused_before_any_change():
    block = fe.WarEngineTevZOZU_V722_FU(make_config(6, state=4), fe.FortressUnbrokenConfig())
    before = full_state(block)
    with pytest.raises(RuntimeError, match="d_model == d_state"):
        block.forward_with_diagnostics(torch.zeros(2, 3, 6))
    assert_same_state(full_state(block), before)


def test_argument_forms():
    block = make_block()
    x = inputs()
    y, diagnostics = block.forward_with_diagnostics(x=x, state=None, return_diagnostics=False)
    assert y.shape == x.shape and diagnostics == {}
    with pytest.raises(TypeError, match="forward_with_diagnostics"):
        block.forward_with_diagnostics()
    with pytest.raises(TypeError, match="forward_with_diagnostics"):
        block.forward_with_diagnostics(x, None, False, None)


@pytest.mark.parametrize("result, match", [
    (lambda sigma: (sigma,), "not enough values to unpack"),
    (lambda sigma: (sigma, {}, None), "too many values to unpack"),
])
def test_integrator_result_must_be_a_pair(result, match):
    block = make_block()
    original = block.integrator.forward_with_diagnostics
    block.integrator.forward_with_diagnostics = lambda *a, **k: result(original(*a, **k)[0])
    with pytest.raises(ValueError, match=match):
        block.forward_with_diagnostics(inputs())


def test_moves_with_the_module_dtype():
    block = make_block().double()
    y, diagnostics = block.forward_with_diagnostics(inputs().double(), None, True)
    assert y.dtype == torch.float64 and isinstance(diagnostics["vgt_pressure"], float)
    assert block.state_variance_ema.dtype == block.fortress.global_pressure.dtype == torch.float64


# ---------------------------------------------------------------------------------------------
# The check the cores run before their blocks


@pytest.mark.parametrize("case", list(refused_cases()))
def test_the_check_refuses_as_the_call_does(case):
    make_args, kwargs, error, match = refused_cases()[case]
    if "return_diagnostics" in kwargs:
        return  # the check has no diagnostics flag
    block = make_block()
    with pytest.raises(error, match=match) as refused:
        block.forward_with_diagnostics(*make_args())
    before = full_state(block)
    args = make_args()
    with pytest.raises(error) as checked:
        block._check_forward(args[0], args[1] if len(args) > 1 else None, True)
    assert str(checked.value) == str(refused.value)
    assert_same_state(full_state(block), before)


@pytest.mark.parametrize("state", [None, {"fast_logits": torch.randn(2, 3, 7), "slow_logits": torch.randn(2, 3, 7)}])
def test_the_check_computes_no_product(state):
    # Only the shapes of the input projection and of the logits difference matter to the check.
    block = make_block()
    with OpCounter() as ops:
        block._check_forward(inputs(), state, True)
    touched = {k for k in ops.on_data if k in ("mm", "addmm", "bmm", "sub", "abs", "mean")}
    assert touched == set(), ops.on_data


def test_the_check_runs_a_replaced_input_projection():
    block = make_block()
    block.input_proj = torch.nn.Linear(4, 5, bias=False)  # widths the carried state cannot take
    with pytest.raises(RuntimeError) as refused:
        block.forward_with_diagnostics(inputs())
    with pytest.raises(RuntimeError) as checked:
        block._check_forward(inputs(), None, False)
    assert str(checked.value) == str(refused.value)
    calls = []
    block.input_proj = torch.nn.Linear(4, 4, bias=False)
    block.input_proj.register_forward_hook(lambda m, i, o: calls.append(o.shape))
    block._check_forward(inputs(), None, False)
    assert calls == [(2, 3, 4)]


# ---------------------------------------------------------------------------------------------
# Linear layers are run as modules: hooks, replacements and patches take part

LAYERS = ["input_proj", "gate_train", "gate_infer", "output_proj", "integrator.predictor"]


def layer(block, name):
    return block.get_submodule(name)


def scale_output(calls, name):
    def hook(module, args, out):
        calls.append(name)
        return out * 2

    return hook


@pytest.mark.parametrize("name", LAYERS)
@pytest.mark.parametrize("how", ["forward_hook", "pre_hook", "instance_forward", "subclass", "global_hook"])
def test_layers_keep_their_module_call(name, how):
    torch.manual_seed(0)
    block, plain = make_block(), make_block()
    x = inputs()
    state = {"sigma_prev": torch.randn(2, 4, generator=torch.Generator().manual_seed(5))}
    expected, _ = plain.forward_with_diagnostics(x, state, False)
    calls = []
    target = layer(block, name)
    handle = None
    if how == "forward_hook":
        target.register_forward_hook(scale_output(calls, name))
    elif how == "pre_hook":
        target.register_forward_pre_hook(lambda m, args: calls.append(name) or (args[0] * 2,))
    elif how == "instance_forward":
        original = target.forward
        target.forward = lambda t: calls.append(name) or original(t) * 2
    elif how == "subclass":
        class Doubled(torch.nn.Linear):
            def forward(self, t):
                calls.append(name)
                return super().forward(t) * 2

        replacement = Doubled(target.in_features, target.out_features, bias=target.bias is not None)
        replacement.load_state_dict(target.state_dict())
        parent, _, leaf = name.rpartition(".")
        setattr(block.get_submodule(parent) if parent else block, leaf, replacement)
    else:
        handle = torch.nn.modules.module.register_module_forward_hook(
            lambda m, args, out: (calls.append(name), out * 2)[1] if m is target else None)
    try:
        y, _ = block.forward_with_diagnostics(x, state, False)
    finally:
        if handle is not None:
            handle.remove()
    assert calls and set(calls) == {name}
    assert not torch.allclose(y, expected)


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
def test_plain_layers_give_the_numbers_and_gradients_of_their_module_calls(dtype):
    # Plain layers run as one product node each; a twin whose layers all carry a hook that changes
    # nothing runs every one of them through the module's own call. Values and gradients are the
    # same numbers, second-order gradients agree.
    block = make_block().to(dtype)
    twin = copy.deepcopy(block)
    for name in LAYERS:
        layer(twin, name).register_forward_hook(lambda m, args, out: None)
    x = inputs().to(dtype)
    state = {"sigma_prev": torch.randn(2, 4, generator=torch.Generator().manual_seed(5)).to(dtype)}
    results = []
    for b in (block, twin):
        xb = x.clone().requires_grad_()
        y, _ = b.forward_with_diagnostics(xb, dict(state), False)
        params = [layer(b, name).weight for name in LAYERS]
        first = torch.autograd.grad(y.square().sum(), [xb] + params, create_graph=True)
        second = torch.autograd.grad(sum(g.square().sum() for g in first), [xb] + params)
        results.append((y, first, second))
    (y, first, second), (y_ref, first_ref, second_ref) = results
    assert torch.equal(y, y_ref)
    for got, want in zip(first, first_ref):
        assert torch.equal(got, want)
    for got, want in zip(second, second_ref):
        torch.testing.assert_close(got, want)


def shadowed_block(how, replacement):
    """A block whose `input_proj` is `replacement` by a lookup that is not the module registry."""
    if how == "instance-dict":
        block = make_block()
        object.__setattr__(block, "input_proj", replacement)
        return block
    if how == "class-property":
        namespace = {"input_proj": property(lambda self: replacement)}
    elif how == "subclass-getattr":
        def __getattr__(self, name):
            return replacement if name == "input_proj" else Block.__getattr__(self, name)
        namespace = {"__getattr__": __getattr__}
    else:
        def __getattribute__(self, name):
            return replacement if name == "input_proj" else object.__getattribute__(self, name)
        namespace = {"__getattribute__": __getattribute__}
    cls = type("Shadowed", (Block,), namespace)
    torch.manual_seed(0)
    return cls(make_config(4), fe.FortressUnbrokenConfig())


@pytest.mark.parametrize("how", ["instance-dict", "class-property", "subclass-getattr", "subclass-getattribute"])
def test_submodules_are_looked_up_as_the_interpreter_looks_them_up(how):
    # The block reads its submodules from the registries only where attribute lookup would end in
    # nn.Module.__getattr__; a name held by the instance dictionary or the class, or a class with
    # its own lookup, gives what the interpreter gives.
    replacement = torch.nn.Linear(4, 4, bias=False)
    with torch.no_grad():
        replacement.weight.copy_(torch.eye(4) * -2)
    block = shadowed_block(how, replacement)
    assert block.input_proj is replacement
    expected_block = make_block()
    expected_block.input_proj = replacement
    x = inputs()
    y, _ = block.forward_with_diagnostics(x)
    expected, _ = expected_block.forward_with_diagnostics(x)
    assert torch.equal(y, expected)


def test_the_integrators_bookkeeping_reads_values_where_they_lie():
    # The running surprisal average and the carried state are guarded against non-finite values
    # by reading the values in host memory, not by finiteness reductions and selections.
    block = make_block()
    x = inputs()
    delta = block.input_proj(x)
    with OpCounter() as ops:
        score = block.integrator.compute_surprisal(delta, block.integrator.sigma_prev)
        block.integrator.forward_with_diagnostics(delta, torch.ones_like(delta), None, compute_diagnostics=False)
    assert not {"isfinite", "where", "all"} & set(ops.counts), ops.counts
    assert torch.isfinite(score) and torch.isfinite(block.integrator.sigma_prev).all()


@pytest.mark.parametrize("width, dtype", [(2, torch.float32), (5, torch.float32), (13, torch.float64),
                                          (24, torch.float32)])
def test_state_variance_is_the_mean_row_variance(width, dtype):
    # Taken in two passes over each row in double precision, not by the tensor library's
    # (slow) variance along the last dimension.
    block = make_block(width).to(dtype)
    x = inputs(B=3, T=4, S=width).to(dtype) * 3 + 1
    delta = block.input_proj(x)
    variance = torch.var(delta - block.integrator.sigma_prev.unsqueeze(1), dim=-1, keepdim=True).mean().item()
    with OpCounter() as ops:
        block.forward_with_diagnostics(x)
    assert ops.counts["var"] == 0 and ops.counts["var_mean"] == 0
    assert block.state_variance_ema.item() == pytest.approx(0.1 * 0.9 + variance * 0.1, rel=1e-6)


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
@pytest.mark.parametrize("start, scale", [(0.1, 1.0), (0.3330001, 4.0), (1e30, 0.25), (0.2, float("inf"))])
def test_state_variance_average_rounds_as_the_tensor_operations(start, scale, dtype):
    # The running average is stepped on host numbers: it is the number ema * 0.9 + v * 0.1 the
    # zero-dimensional tensor operations give, bit for bit, in the same tensor, and a non-finite
    # variance leaves it. Rows 0..4 (times a power of two) have a variance every method takes exactly.
    block = make_block(5).to(dtype)
    with torch.no_grad():
        block.input_proj.weight.copy_(torch.eye(5))
    block.state_variance_ema.fill_(start)
    average = block.state_variance_ema
    x = (torch.arange(5.0) + torch.arange(6.0).view(2, 3, 1)).to(dtype) * scale
    with torch.no_grad():
        variance = torch.var(x, dim=-1).mean()
        expected = average * 0.9 + variance * 0.1 if torch.isfinite(variance) else average.clone()
    block.forward_with_diagnostics(x)
    assert block.state_variance_ema is average
    assert torch.equal(average, expected)


def test_a_state_variance_beyond_float_range_leaves_the_average_alone():
    # A diverged state whose variance no longer fits in float32 counts as non-finite, as the
    # variance taken in float32 would be; the call goes on and the running average keeps its value.
    block = make_block(8)
    x = inputs(B=2, T=3, S=8) * 1e20
    before = block.state_variance_ema.clone()
    block.forward_with_diagnostics(x)
    assert torch.equal(block.state_variance_ema, before)


def test_a_loud_chunk_repeated_keeps_the_carried_state_bounded():
    # The gate reads the state change against the carried state, unsquashed, so the state fed
    # the next call's gate: with this chunk repeated it had grown from 27 to 887 in 40 calls and
    # went on growing. A carried row is no longer than the longest projected input row.
    block = make_block(8)
    x = 20 * inputs(B=2, T=16, S=8)
    with torch.no_grad():
        longest = block.input_proj(x).norm(dim=-1).amax(1)
        for _ in range(40):
            y, _ = block.forward_with_diagnostics(x)
    assert (block.integrator.sigma_prev.norm(dim=-1) <= longest * (1 + 1e-6)).all()
    assert torch.isfinite(y).all()


class VerdictMemory(fe.FortressUnbrokenMemory):
    """Reports every call stable and records the decisions it is asked for."""

    def update_surprisal_stats(self, surprisal_score):
        mu, var, _ = super().update_surprisal_stats(surprisal_score)
        return mu, var, torch.tensor(True)

    def _update_global_pressure(self, avg_conflict, surprisal, dance_friction, fast_logits=None, slow_logits=None):
        self.pressure_inputs = (avg_conflict, surprisal, dance_friction, fast_logits, slow_logits)
        return super()._update_global_pressure(avg_conflict, surprisal, dance_friction)

    def maybe_promote_to_deep_engram(self, stable, trainer_ok):
        self.decisions = getattr(self, "decisions", []) + [(stable, trainer_ok)]
        return False, "no_candidate", False


def test_the_statistics_pressure_and_decision_are_called_through_a_subclass_or_under_their_own_ranges():
    block = make_block()
    x = inputs()
    with torch.profiler.profile() as prof:
        _, diagnostics = block.forward_with_diagnostics(x, return_diagnostics=True)
    names = {e.name.split(".")[-1] for e in prof.events()}
    assert {"update_surprisal_stats", "_update_global_pressure", "maybe_promote_to_deep_engram"} <= names
    assert diagnostics["fortress_stable"] == 0.0

    block.fortress = VerdictMemory(4, block.fortress_config)
    _, diagnostics = block.forward_with_diagnostics(x, return_diagnostics=True)
    assert diagnostics["fortress_stable"] == 1.0
    calm = bool(block.fortress.adaptive_calm_ok.item())
    assert block.fortress.decisions == [(True, calm)]
    assert all(type(flag) is bool for flag in block.fortress.decisions[0])
    conflict, surprisal, friction, fast, slow = block.fortress.pressure_inputs
    assert fast is None and slow is None and conflict.item() == 0.0
    assert torch.equal(friction, surprisal - 1) and block.fortress.last_surprisal.item() == surprisal.item()

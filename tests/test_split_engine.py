import copy
import os

import pytest
import torch
import torch._jit_internal as jit_internal

from silver_kestrel.architectures.heavy_core import split_engine as se
from support import EXT_SUFFIX, ROOT, copy_package, run_python

WAR_KEYS = [
    "surprisal_gain", "infer_coupling", "state_variance_ema",
    "integrator.alpha_raw", "integrator.surprisal_ema",
    "integrator.predictor.weight", "integrator.predictor.bias",
    "input_proj.weight", "input_proj.bias", "output_proj.weight", "output_proj.bias",
    "gate_variance_proj.weight", "gate_variance_proj.bias",
    "gate_train.0.weight", "gate_train.0.bias", "gate_train.2.weight", "gate_train.2.bias",
    "gate_infer.0.weight", "gate_infer.0.bias", "gate_infer.2.weight", "gate_infer.2.bias",
]
SIEGE_KEYS = [
    "integrator.alpha_raw",
    "input_proj.weight", "input_proj.bias", "output_proj.weight", "output_proj.bias",
    "gate_infer.0.weight", "gate_infer.0.bias", "gate_infer.2.weight", "gate_infer.2.bias",
]
TRAINING_COMPONENTS = ["gate_train", "surprisal_gain", "infer_coupling", "state_variance_ema"]
DIAGNOSTIC_KEYS = ["surprisal_score", "state_variance_ema", "gate_infer_mean", "coupling", "surprisal_gain"]


def make_config(width=6, **kw):
    return se.TevUnifiedConfig(d_model=width, d_state=width, n_layers=1, **kw)


@pytest.fixture
def config():
    return make_config()


@pytest.fixture
def war(config):
    torch.manual_seed(0)
    return se.WarEngineTevZOZU_V32(config)


@pytest.fixture
def siege(config):
    torch.manual_seed(1)
    return se.InferenceEngineTevZOZU_V32(config)


# ---------------------------------------------------------------------------------------------
# Module frame and import roads


def test_module_names_in_binding_order():
    names = [n for n in vars(se) if not n.startswith("__")]
    assert names == [
        "dataclass", "Dict", "Optional", "Tuple", "math", "torch", "nn", "F",
        "sys", "os", "current_dir", "v31_path", "importlib", "spec", "v31_module",
        "TevUnifiedConfig", "ListeningIntegratorV2",
        "ListeningIntegratorV32", "WarEngineTevZOZU_V32", "InferenceEngineTevZOZU_V32",
        "create_inference_model_v32", "TevZOZU_V32",
    ]
    assert se.TevZOZU_V32 is se.WarEngineTevZOZU_V32
    assert se.ListeningIntegratorV32.__bases__ == (se.ListeningIntegratorV2,)
    assert "HARD ENFORCEMENT: Two physically separate classes for war vs siege." in se.__doc__
    assert se.__doc__.endswith("This split enforces architectural purity at the type level, not just policy.")


def test_engine_found_by_file_beside_the_package():
    # The package root is not on the search path, so the unified engine comes from its file.
    expected = os.path.join(os.path.dirname(se.current_dir), "unified_engine_pkg", "unified_engine" + EXT_SUFFIX)
    assert se.v31_path == expected
    assert se.v31_module.TevUnifiedConfig is se.TevUnifiedConfig


def test_methods_docs_and_export_marks():
    war, siege = se.WarEngineTevZOZU_V32, se.InferenceEngineTevZOZU_V32
    assert [n for n in vars(war) if not n.startswith("__") or n == "__init__"] == [
        "__init__", "_validate_war_mode", "compute_gate", "forward", "forward_with_diagnostics",
        "reset_sequence", "get_state", "set_state"]
    assert [n for n in vars(siege) if not n.startswith("__") or n == "__init__"] == [
        "__init__", "_validate_inference_mode", "forward", "reset_sequence", "get_state", "set_state", "step"]
    assert war.__doc__ == ("War Engine \u2014 Training architecture with surprisal-driven gates.\n\n"
                           "Mutable, disposable, never serialized. Dies at metamorphosis.")
    assert siege.__doc__ == "Immutable, serializable, training-impossible. NO training components."
    assert war.get_state.__doc__ == "Get current state for KV cache."
    assert war.forward_with_diagnostics.__doc__ == "Forward pass with diagnostics (for training/debugging)."
    assert se.create_inference_model_v32.__doc__.startswith("Metamorphosis: war engine dies, siege engine is born.")
    export, default = jit_internal.FunctionModifiers.EXPORT, jit_internal.FunctionModifiers.DEFAULT
    for cls in (war, siege):
        assert jit_internal.get_torchscript_modifier(cls.get_state) == export
        assert jit_internal.get_torchscript_modifier(cls.set_state) == export
        assert jit_internal.get_torchscript_modifier(cls.reset_sequence) == default
    assert jit_internal.get_torchscript_modifier(siege.step) == default


FAKE_ENGINE = '''
from silver_kestrel.architectures.unified_engine_pkg.unified_engine import TevUnifiedConfig
from silver_kestrel.architectures.unified_engine_pkg.unified_engine import ListeningIntegratorV2 as _Base
class ListeningIntegratorV2(_Base):
    marker = {marker!r}
'''


@pytest.mark.parametrize("scenario", ["importable", "importable_without_base", "beside", "neither"])
def test_unified_engine_binding(tmp_path, scenario):
    pkg = copy_package(tmp_path)
    path = [str(tmp_path)]
    heavy = os.path.join(pkg, "architectures", "heavy_core")
    if scenario == "importable":
        path.append(pkg)  # makes `architectures.unified_engine_pkg.unified_engine` importable
    if scenario == "importable_without_base":
        # A top-level `architectures` whose engine lacks a name counts like a missing module.
        fake = tmp_path / "fakeroot" / "architectures" / "unified_engine_pkg"
        fake.mkdir(parents=True)
        (fake.parent / "__init__.py").write_text("")
        (fake / "__init__.py").write_text("")
        (fake / "unified_engine.py").write_text("TevUnifiedConfig = object\n")
        path.append(str(tmp_path / "fakeroot"))
    if scenario == "beside":
        os.makedirs(os.path.join(heavy, "unified_engine_pkg"))
        with open(os.path.join(heavy, "unified_engine_pkg", "unified_engine.py"), "w") as f:
            f.write(FAKE_ENGINE.format(marker="beside"))
    if scenario == "neither":
        os.remove(os.path.join(pkg, "architectures", "unified_engine_pkg", "unified_engine" + EXT_SUFFIX))
    result = run_python('''
        import sys
        try:
            import silver_kestrel.architectures.heavy_core.split_engine as se
        except BaseException as e:
            print("FAILED", type(e).__name__, type(e.__context__).__name__)
            raise SystemExit(0)
        print(hasattr(se, "v31_path"), hasattr(se, "current_dir"), hasattr(se, "spec"), hasattr(se, "v31_module"))
        print(getattr(se.ListeningIntegratorV2, "marker", None))
        print("unified_engine" in sys.modules)
    ''', path)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    if scenario == "importable":
        assert lines == ["False False False False", "None", "False"]
    elif scenario == "importable_without_base":
        assert lines == ["True True True True", "None", "False"]
    elif scenario == "beside":
        assert lines == ["True True True True", "beside", "False"]
    else:
        assert lines == ["FAILED FileNotFoundError ModuleNotFoundError"]


def test_both_import_roads_give_one_module(tmp_path):
    pkg = copy_package(tmp_path)
    heavy = os.path.join(pkg, "architectures", "heavy_core")
    result = run_python('''
        import sys, torch
        sys.path.insert(0, %r)
        import split_engine as plain
        from silver_kestrel.architectures.heavy_core import split_engine as packaged
        from silver_kestrel.architectures.lite_core import split_engine as lite
        print(plain is packaged is lite, plain.WarEngineTevZOZU_V32 is packaged.WarEngineTevZOZU_V32)
        config = plain.TevUnifiedConfig(d_model=4, d_state=4, n_layers=1)
        engine = plain.WarEngineTevZOZU_V32(config)
        siege = packaged.create_inference_model_v32(engine)
        print(type(siege).__name__, siege.__module__)
    ''' % heavy, [str(tmp_path)])
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["True True", "InferenceEngineTevZOZU_V32 split_engine"]


def test_import_is_silent():
    result = run_python("import silver_kestrel.architectures.heavy_core.split_engine", [ROOT])
    assert result.returncode == 0, result.stderr
    assert result.stdout == "" and result.stderr == ""


def test_assertions_follow_the_optimisation_flag_at_load():
    code = '''
        from silver_kestrel.architectures.heavy_core import split_engine as se
        config = se.TevUnifiedConfig(d_model=4, d_state=4, n_layers=1)
        war = se.WarEngineTevZOZU_V32(config)
        del war.gate_train
        for call in (war._validate_war_mode, lambda: se.create_inference_model_v32(object())):
            try:
                call()
                print("passed")
            except Exception as e:
                print(type(e).__name__, e)
    '''
    normal = run_python(code, [ROOT])
    optimised = run_python(code, [ROOT], "-O")
    assert normal.stdout.splitlines() == ["AssertionError War engine missing gate_train!",
                                          "AssertionError Must be war engine!"], normal.stderr
    assert optimised.stdout.splitlines() == [
        "passed", "AttributeError 'object' object has no attribute 'config'"], optimised.stderr


# ---------------------------------------------------------------------------------------------
# Surprisal-tracking integrator


def error_rows(lengths, width=6):
    """delta whose first step differs from the zero state by rows of the given lengths."""
    delta = torch.zeros(len(lengths), 3, width)
    delta[:, 0, 0] = torch.tensor(lengths, dtype=torch.float32)
    return delta, torch.zeros(len(lengths), width)


@pytest.mark.parametrize("decay, lengths, score, ema", [
    (0.99, [0.0, 0.0], 0.0, 0.99),                  # zero prediction error
    (0.99, [1.0, 1.0], 1.0, 1.0),                   # error equal to the average
    (0.99, [100.0, 100.0], 5.0, 1.99),              # ratio 100 / 1.99 clamps to 5
    (0.99, [1.0, 3.0], 2.0 / 1.01, 1.01),           # batch mean of lengths, not of ratios
    (1.0, [3.0], 3.0, 1.0),                         # decay 1 keeps the average
    (0.0, [7.0], 1.0, 7.0),                         # decay 0 follows the last error
    (0.0, [0.0], 0.0, 0.0),                         # the floor keeps 0 / 0 finite
])
def test_surprisal_worked_examples(decay, lengths, score, ema):
    integrator = se.ListeningIntegratorV32(make_config(surprisal_ema_decay=decay))
    delta, prev = error_rows(lengths)
    result = integrator.compute_surprisal(delta, prev)
    assert result.dim() == 0
    assert result.item() == pytest.approx(score, rel=1e-6)
    assert integrator.surprisal_ema.item() == pytest.approx(ema, rel=1e-6)


def test_surprisal_predictor_and_state():
    integrator = se.ListeningIntegratorV32(make_config())
    assert list(integrator.state_dict()) == ["alpha_raw", "surprisal_ema", "predictor.weight", "predictor.bias"]
    assert torch.equal(integrator.predictor.weight, torch.eye(6))
    assert torch.equal(integrator.predictor.bias, torch.zeros(6))
    assert integrator.surprisal_decay == 0.99
    # A zero error when the next step equals the state: the predictor starts as the identity.
    delta = torch.randn(2, 4, 6)
    assert integrator.compute_surprisal(delta, delta[:, 0, :].clone()).item() == 0.0


def test_surprisal_updates_in_eval_and_no_grad_and_grads_flow():
    integrator = se.ListeningIntegratorV32(make_config()).eval()
    delta, prev = error_rows([2.0, 2.0])
    with torch.no_grad():
        integrator.compute_surprisal(delta, prev)
    assert integrator.surprisal_ema.item() == pytest.approx(1.01)
    delta.requires_grad_(True)
    prev.requires_grad_(True)
    integrator.compute_surprisal(delta, prev).backward()
    assert integrator.predictor.weight.grad is not None and prev.grad is not None
    assert delta.grad[:, 1:].abs().sum() == 0 and delta.grad[:, 0].abs().sum() > 0
    assert integrator.surprisal_ema.grad_fn is None


SURPRISAL_CASES = {
    # name: (prev from the delta's generator: rows, broadcast from one row; a zero-error row; the
    # delta's scale: 100 takes the score past the clamp's top, where no gradient passes)
    "rows": (2, False, False, 1.0),
    "one-row-broadcast": (1, False, False, 1.0),
    "a-row-without-error": (2, False, True, 1.0),
    "prev-takes-gradient": (2, True, False, 1.0),
    "clamped": (2, True, False, 100.0),
}


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
@pytest.mark.parametrize("rows, prev_grad, zero_row, scale", SURPRISAL_CASES.values(), ids=SURPRISAL_CASES.keys())
def test_surprisal_under_a_graph_is_the_composed_score_to_the_bit(rows, prev_grad, zero_row, scale, dtype):
    # With a plain predictor the raw error is one autograd node; a hook that changes nothing sends
    # the twin through the composed form. Score, running average and gradients are the same
    # numbers (a row without error has a zero gradient, not nan); second-order gradients agree (nan
    # where the library's norm has no second derivative).
    g = torch.Generator().manual_seed(3)
    integrator = se.ListeningIntegratorV32(make_config()).to(dtype)
    with torch.no_grad():
        integrator.predictor.weight.add_(torch.randn(6, 6, generator=g, dtype=dtype) * 0.3)
        integrator.predictor.bias.normal_(generator=g)
    twin = copy.deepcopy(integrator)
    twin.predictor.register_forward_hook(lambda m, args, out: None)
    delta = torch.randn(2, 3, 6, generator=g, dtype=dtype) * scale
    prev = torch.randn(rows, 6, generator=g, dtype=dtype)
    if zero_row:
        with torch.no_grad():
            delta[1, 0] = integrator.predictor(prev[1])
    results = []
    for module in (integrator, twin):
        d = delta.clone().requires_grad_()
        p = prev.clone().requires_grad_(prev_grad)
        graphed = copy.deepcopy(module)
        wrt = lambda m: [d, m.predictor.weight, m.predictor.bias] + ([p] if prev_grad else [])
        score = module.compute_surprisal(d, p.expand(2, 6))
        first = torch.autograd.grad(score * 3, wrt(module))
        first2 = torch.autograd.grad(graphed.compute_surprisal(d, p.expand(2, 6)) * 3, wrt(graphed), create_graph=True)
        second = torch.autograd.grad(sum(f.square().sum() for f in first2), wrt(graphed), allow_unused=True)
        results.append((score, module.surprisal_ema.clone(), first, second))
    (score, ema, first, second), (ref_score, ref_ema, ref_first, ref_second) = results
    assert torch.equal(score, ref_score) and torch.equal(ema, ref_ema)
    assert score.item() == 5.0 or scale == 1.0
    for got, want in zip(first, ref_first):
        assert torch.isfinite(got).all() and torch.equal(got, want)
    for got, want in zip(second, ref_second):
        torch.testing.assert_close(got, want, equal_nan=True)


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
@pytest.mark.parametrize("decay, start, lengths", [
    (0.99, 1.0, [0.3, 1.7]),
    (0.123456789, 0.3, [2.9, 0.1, 5.3]),
    (1.0, 0.7, [4.0]),
    (0.0, 1.0, [7.25]),
    (0.99, 1e-12, [0.0]),                 # the floor under the average
    (0.5, 2.0, [float("inf"), 1.0]),      # a non-finite error keeps the average
    (0.5, float("nan"), [1.0]),           # a nan average stays and gives a nan score
])
def test_surprisal_average_and_score_round_as_the_tensor_operations(decay, start, lengths, dtype):
    # The running average and the score are taken on host numbers; they are the numbers the
    # zero-dimensional tensor operations give, bit for bit, and the average stays the same tensor.
    integrator = se.ListeningIntegratorV32(make_config(surprisal_ema_decay=decay)).to(dtype)
    integrator.surprisal_ema.fill_(start)
    average = integrator.surprisal_ema
    delta, prev = (t.to(dtype) for t in error_rows(lengths))
    delta.requires_grad_()
    with torch.no_grad():
        raw = torch.linalg.vector_norm(delta[:, 0] - integrator.predictor(prev), dim=-1).mean()
        ema = average.clone()
        expected_ema = ema * decay + raw * (1.0 - decay) if torch.isfinite(raw) else ema
        expected = torch.clamp(raw / expected_ema.clamp_min(1e-8), 0.0, 5.0)
    version = average._version
    score = integrator.compute_surprisal(delta, prev)
    assert integrator.surprisal_ema is average
    assert torch.equal(average, expected_ema) or (average.isnan() and expected_ema.isnan())
    assert average._version > version or not torch.isfinite(raw)
    assert score.dtype == dtype and score.requires_grad
    assert torch.equal(score.detach(), expected) or (score.isnan() and expected.isnan())


SCORE_GRADIENT_CASES = {
    # name: (the running average's start, its dtype (None: the integrator's), the rows' error
    # lengths, the decay)
    "average-of-another-dtype": (1.0, torch.float64, [0.3, 1.7], 0.9),
    "average-under-its-floor": (1e-12, None, [0.0, 2e-9], 1.0),
    "nan-average": (float("nan"), None, [1.0, 0.5], 0.5),
    "past-the-clamp": (1e-3, None, [2.0, 3.0], 0.99),
    "a-row-without-error": (0.7, None, [0.0, 1.5], 0.9),
}


@pytest.mark.parametrize("dtype", [torch.float32, torch.float64])
@pytest.mark.parametrize("start, ema_dtype, lengths, decay", SCORE_GRADIENT_CASES.values(),
                         ids=SCORE_GRADIENT_CASES.keys())
def test_surprisal_gradients_at_the_edges_are_the_composed_ones(start, ema_dtype, lengths, decay, dtype):
    # The score's gradients where the average is floored, nan or of another dtype (the raw error
    # is then a node of its own), where the clamp stops them and where a row has no error: the
    # numbers the composed form gives, nan where it gives nan.
    integrator = se.ListeningIntegratorV32(make_config(surprisal_ema_decay=decay)).to(dtype)
    integrator._buffers["surprisal_ema"] = torch.tensor(start, dtype=ema_dtype or dtype)
    twin = copy.deepcopy(integrator)
    twin.predictor.register_forward_hook(lambda m, args, out: None)
    delta, prev = (t.to(dtype) for t in error_rows(lengths))
    results = []
    for module in (integrator, twin):
        d = delta.clone().requires_grad_()
        score = module.compute_surprisal(d, prev)
        grads = torch.autograd.grad(score * 3, [d, module.predictor.weight, module.predictor.bias])
        results.append((score.detach(), module.surprisal_ema.clone(), grads))
    (score, ema, grads), (ref_score, ref_ema, ref_grads) = results
    torch.testing.assert_close(score, ref_score, rtol=0, atol=0, equal_nan=True)
    torch.testing.assert_close(ema, ref_ema, rtol=0, atol=0, equal_nan=True)
    for got, want in zip(grads, ref_grads):
        torch.testing.assert_close(got, want, rtol=0, atol=0, equal_nan=True)


def test_surprisal_rejects_bad_input_before_touching_the_average():
    integrator = se.ListeningIntegratorV32(make_config())
    with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 3, got 2\)"):
        integrator.compute_surprisal(torch.zeros(2, 6), torch.zeros(2, 6))
    with pytest.raises(RuntimeError):
        integrator.compute_surprisal(torch.zeros(2, 3, 6), torch.zeros(2, 5))
    assert integrator.surprisal_ema.item() == 1.0


def test_non_finite_error_leaves_the_average_unchanged():
    integrator = se.ListeningIntegratorV32(make_config())
    delta, prev = error_rows([2.0, 2.0])
    integrator.compute_surprisal(delta, prev)
    before = integrator.surprisal_ema.clone()
    delta[0, 0, 0] = float("inf")
    integrator.compute_surprisal(delta, prev)
    assert torch.equal(integrator.surprisal_ema, before)
    delta[0, 0, 0] = float("nan")
    integrator.compute_surprisal(delta, prev)
    assert torch.equal(integrator.surprisal_ema, before)


def test_integrator_state_round_trip():
    source = se.ListeningIntegratorV32(make_config())
    delta, prev = error_rows([3.0, 3.0])
    source.compute_surprisal(delta, prev)
    with torch.no_grad():
        source.predictor.weight.mul_(2)
    target = se.ListeningIntegratorV32(make_config())
    target.load_state_dict(source.state_dict())
    assert target.surprisal_ema.item() == source.surprisal_ema.item()
    assert torch.equal(target.predictor.weight, source.predictor.weight)
    assert "surprisal_ema" not in se.ListeningIntegratorV2(make_config()).state_dict()


# ---------------------------------------------------------------------------------------------
# Training engine


def test_war_engine_construction(war, config):
    assert list(war.state_dict()) == WAR_KEYS
    assert war.config is config
    assert war.state_variance_ema.item() == 1.0
    assert war.surprisal_gain.item() == 2.0
    assert war.infer_coupling.item() == 0.5
    assert isinstance(war.integrator, se.ListeningIntegratorV32)
    assert war.gate_train[0].in_features == 6 + 6 + 1 and war.gate_train[0].out_features == 12
    assert isinstance(war.gate_train[1], torch.nn.GELU) and isinstance(war.gate_train[3], torch.nn.Sigmoid)
    assert "gate_variance_proj.weight" in dict(war.named_parameters())


def test_integer_coupling_cannot_be_a_parameter():
    with pytest.raises(RuntimeError, match="floating point"):
        se.WarEngineTevZOZU_V32(make_config(coupling_init=1))


@pytest.mark.parametrize("removed, message", [
    (["gate_train"], "War engine missing gate_train!"),
    (["surprisal_gain"], "War engine missing surprisal_gain!"),
    (["infer_coupling"], "War engine missing infer_coupling!"),
    (["state_variance_ema"], "War engine missing state_variance_ema!"),
    (["state_variance_ema", "surprisal_gain"], "War engine missing surprisal_gain!"),
])
def test_war_mode_check(war, removed, message):
    war._validate_war_mode()
    for name in removed:
        delattr(war, name)
    with pytest.raises(AssertionError, match=f"^{message}$"):
        war._validate_war_mode()


def test_gate(war):
    x = torch.randn(2, 4, 6)
    state_delta = torch.randn(2, 4, 6)
    zero = war.compute_gate(x, state_delta, torch.tensor(0.0))
    assert torch.equal(zero, war.infer_coupling * war.gate_infer(x))
    assert torch.equal(war.compute_gate(x, state_delta, torch.tensor([0.7])),
                       war.compute_gate(x, state_delta, torch.tensor(0.7)))
    high = war.compute_gate(x, state_delta, torch.tensor(5.0))
    assert high.shape == (2, 4, 6) and high.max() > 1.0
    assert war.compute_gate(x[:1, :1], state_delta[:1, :1], torch.tensor(1.0)).shape == (1, 1, 6)
    with pytest.raises(ValueError, match="unpack"):
        war.compute_gate(x[0], state_delta, torch.tensor(1.0))


def test_forward_and_diagnostics_agree(war):
    x = torch.randn(3, 5, 6)
    twin = copy.deepcopy(war)
    y = war(x)
    y2, diagnostics = twin.forward_with_diagnostics(x)
    assert diagnostics == {}
    assert torch.equal(y, y2)
    assert torch.equal(war.state_variance_ema, twin.state_variance_ema)
    assert torch.equal(war.integrator.sigma_prev, twin.integrator.sigma_prev)


def test_diagnostics_keys_and_values(war):
    x = torch.randn(2, 5, 6)
    _, diagnostics = war.forward_with_diagnostics(x, {}, True)
    assert list(diagnostics) == DIAGNOSTIC_KEYS
    assert all(type(v) is float for v in diagnostics.values())
    assert diagnostics["state_variance_ema"] == war.state_variance_ema.item()
    assert diagnostics["coupling"] == 0.5 and diagnostics["surprisal_gain"] == 2.0
    assert diagnostics["gate_infer_mean"] == pytest.approx(war.gate_infer(x).mean().item())
    # The integrator's own entries come first; an entry with an engine key keeps its place.
    war.integrator.forward_with_diagnostics = lambda d, g, s, compute_diagnostics: (
        war.integrator(d, g), {"integrator_value": 1, "coupling": -1.0})
    _, diagnostics = war.forward_with_diagnostics(x, None, 1)
    assert list(diagnostics) == ["integrator_value", "coupling", "surprisal_score",
                                 "state_variance_ema", "gate_infer_mean", "surprisal_gain"]
    assert diagnostics["coupling"] == 0.5


def test_diagnostics_values_are_read_without_conversions(war):
    # Values in host memory are read where they lie: no conversion or gathering per value.
    from block_support import OpCounter

    x = torch.randn(2, 5, 6)
    with OpCounter() as plain:
        war.forward_with_diagnostics(x, None, False)
    with OpCounter() as diagnosed:
        war.forward_with_diagnostics(x, None, True)
    extra = diagnosed.counts - plain.counts
    assert extra["_to_copy"] == 0 and extra["stack"] == 0 and extra["_local_scalar_dense"] == 0, extra


def test_state_variance_average(war):
    x = torch.randn(2, 4, 6)
    delta = war.input_proj(x)
    variance = delta.var(dim=-1, keepdim=True).mean().item()  # previous state is zero
    war.eval()
    with torch.no_grad():
        war(x)
    assert war.state_variance_ema.item() == pytest.approx(0.9 + 0.1 * variance, rel=1e-6)
    assert war.state_variance_ema.grad_fn is None


@pytest.mark.parametrize("state", [None, {}, {"other": 1}])
def test_integrator_state_is_used_without_sigma_prev(war, state):
    seen = []
    original = war.integrator.forward_with_diagnostics
    war.integrator.forward_with_diagnostics = lambda d, g, s, compute_diagnostics: (seen.append(s), original(d, g, s, compute_diagnostics=compute_diagnostics))[1]
    war.integrator.sigma_prev = torch.ones(1, 6)
    twin = copy.deepcopy(war)
    x = torch.randn(4, 3, 6)
    y, _ = war.forward_with_diagnostics(x, state)
    assert seen[0] is state
    assert torch.allclose(y, twin(x))


def test_state_sigma_prev_broadcasts(war):
    x = torch.randn(4, 3, 6)
    prev = torch.randn(1, 6)
    twin = copy.deepcopy(war)
    twin.integrator.sigma_prev = prev.clone()
    y, _ = war.forward_with_diagnostics(x, {"sigma_prev": prev})
    assert torch.allclose(y, twin(x))


def test_forward_rejects_bad_input_before_any_change(war):
    class Subclass(dict):
        pass
    with pytest.raises(TypeError, match="'state'.*expected dict, got Subclass"):
        war.forward_with_diagnostics(torch.randn(1, 2, 6), Subclass(sigma_prev=torch.zeros(1, 6)))
    with pytest.raises(RuntimeError, match="ambiguous"):
        war.forward_with_diagnostics(torch.randn(1, 2, 6), None, torch.ones(2))
    with pytest.raises(ValueError, match="unpack"):
        war(torch.randn(2, 6))
    assert war.state_variance_ema.item() == 1.0 and war.integrator.surprisal_ema.item() == 1.0


def test_war_sequence_state(war):
    assert war.get_state() is war.integrator.sigma_prev
    state = torch.randn(2, 6)
    war.set_state(state)
    assert war.get_state() is war.integrator.get_state()
    assert torch.equal(war.get_state(), state)
    war.reset_sequence()
    assert torch.equal(war.get_state(), torch.zeros(1, 6))


# ---------------------------------------------------------------------------------------------
# Inference engine


def test_siege_engine_construction(siege, config):
    assert list(siege.state_dict()) == SIEGE_KEYS
    for name in TRAINING_COMPONENTS + ["config", "gate_variance_proj"]:
        assert not hasattr(siege, name)
    assert type(siege.integrator) is se.ListeningIntegratorV2
    assert siege.infer_damping == config.infer_damping
    assert siege.flow_ema_decay_across_sequences == config.flow_ema_decay_across_sequences
    assert siege.training and all(p.requires_grad for p in siege.parameters())


@pytest.mark.parametrize("present, message", [
    (["gate_train"], "Inference engine contaminated with gate_train!"),
    (["surprisal_gain"], "Inference engine contaminated with surprisal_gain!"),
    (["infer_coupling"], "Inference engine contaminated with infer_coupling!"),
    (["state_variance_ema"], "Inference engine contaminated with state_variance_ema!"),
    (["surprisal_gain", "gate_train"], "Inference engine contaminated with gate_train!"),
])
def test_siege_mode_check(siege, present, message):
    for name in present:
        setattr(siege, name, torch.nn.Parameter(torch.zeros(())))
    with pytest.raises(AssertionError, match=f"^{message}$"):
        siege._validate_inference_mode()


def test_siege_forward(siege):
    x = torch.randn(2, 5, 6)
    seen = []
    siege.integrator.register_forward_hook(lambda mod, inputs, out: seen.append(inputs))
    y = siege(x)
    assert y.shape == (2, 5, 6)
    delta, gate = seen[0]
    assert torch.equal(delta, siege.input_proj(x))
    assert torch.equal(gate, siege.gate_infer(x) * 0.5)
    calls = []
    siege.input_proj.register_forward_hook(lambda *a: calls.append(1))
    for bad in (torch.randn(5, 6), torch.randn(1, 2, 5, 6)):
        with pytest.raises(ValueError, match="unpack"):
            siege(bad)
    assert calls == []


def test_siege_step(siege):
    token = torch.randn(1, 1, 6)
    captured = []
    original_step = siege.integrator.step
    siege.integrator.step = lambda gate_delta, state: (captured.append((gate_delta, state)), original_step(gate_delta, state))[1]
    new = siege.step(token)
    assert new.shape == (1, 6)
    gate_delta, state = captured[0]
    assert state is siege.integrator.sigma_prev or torch.equal(state, torch.zeros(1, 6))
    expected = (siege.gate_infer(token) * 0.5).squeeze(1) * siege.input_proj(token).squeeze(1)
    assert gate_delta.shape == (1, 1, 6) and torch.equal(gate_delta, expected.unsqueeze(1))
    # With a state given, the engine neither fetches nor stores the carried state.
    siege.integrator.get_state = lambda: pytest.fail("get_state called")
    given = torch.randn(1, 6)
    siege.step(token, given)
    assert captured[1][1] is given


def test_siege_sequence_state(siege):
    calls = []
    siege.flow_ema_decay_across_sequences = 0.25
    siege.integrator.reset_sequence = lambda *args, **kw: calls.append((args, kw))
    siege.reset_sequence()
    assert calls == [((0.25,), {})]
    assert siege.get_state() is siege.integrator.sigma_prev


def test_trace_reproduces_the_siege_engine(siege):
    siege.requires_grad_(False)
    x = torch.randn(2, 4, 6)
    siege.reset_sequence()
    traced = torch.jit.trace(lambda t: siege(t), x, check_trace=False)
    assert "kestrel::gated_scan" in [node.kind() for node in traced.graph.nodes()]
    siege.reset_sequence()
    assert torch.equal(traced(x), siege(x))


# ---------------------------------------------------------------------------------------------
# Conversion


def test_conversion_copies_siege_weights_only(war):
    with torch.no_grad():
        war.integrator.alpha_raw.fill_(0.3)
    war(torch.randn(2, 3, 6))  # moves the carried state and the surprisal average
    before = {k: v.clone() for k, v in war.state_dict().items()}
    siege = se.create_inference_model_v32(war)
    assert list(siege.state_dict()) == SIEGE_KEYS
    for key, value in siege.state_dict().items():
        assert torch.equal(value, before[key]), key
    assert torch.equal(siege.get_state(), torch.zeros(1, 6))
    for key, value in war.state_dict().items():
        assert torch.equal(value, before[key]), key
    for name in TRAINING_COMPONENTS:
        assert hasattr(war, name) and not hasattr(siege, name)
    with torch.no_grad():
        war.input_proj.weight.add_(1.0)
        war.gate_infer[0].bias.add_(1.0)
    assert torch.equal(siege.input_proj.weight, before["input_proj.weight"])
    assert torch.equal(siege.gate_infer[0].bias, before["gate_infer.0.bias"])
    assert siege.training


def test_conversion_optional_buffers(war):
    assert not hasattr(se.create_inference_model_v32(war), "_provenance")
    war._provenance = torch.arange(3.0)
    siege = se.create_inference_model_v32(war)
    assert torch.equal(siege._provenance, war._provenance) and siege._provenance is not war._provenance
    assert "_provenance" in siege.state_dict() and not hasattr(siege, "_mamba_layer")


def test_conversion_refuses_a_siege_engine(siege):
    with pytest.raises(AssertionError, match="^Must be war engine!$"):
        se.create_inference_model_v32(siege)
    with pytest.raises(AssertionError, match="^Must be war engine!$"):
        se.create_inference_model_v32(training_model=se.create_inference_model_v32(se.WarEngineTevZOZU_V32(make_config())))


def test_coupling_is_not_carried_over(war):
    other = copy.deepcopy(war)
    with torch.no_grad():
        other.infer_coupling.fill_(3.0)
    a, b = se.create_inference_model_v32(war), se.create_inference_model_v32(other)
    x = torch.randn(2, 3, 6)
    assert torch.equal(a(x), b(x))


def test_engines_are_serializable_whole(tmp_path, war):
    siege = se.create_inference_model_v32(war)
    torch.save(siege, tmp_path / "siege.pt")
    restored = torch.load(tmp_path / "siege.pt", weights_only=False)  # a whole module, not just weights
    assert type(restored) is se.InferenceEngineTevZOZU_V32
    assert type(restored.integrator) is se.ListeningIntegratorV2
    x = torch.randn(2, 3, 6)
    siege.reset_sequence()
    restored.reset_sequence()
    assert torch.equal(restored(x), siege(x))

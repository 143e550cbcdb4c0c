"""Signatures of the package's functions and methods, and the type stubs shipped beside the modules."""
import ast
import dataclasses
import importlib
import inspect
import os
import pickle
import pydoc
import re
import typing

import pytest
import torch

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODULES = [
    "silver_kestrel.kestrel_model",
    "silver_kestrel.architectures.heavy_core.heavy_core",
    "silver_kestrel.architectures.heavy_core.fortress_engine",
    "silver_kestrel.architectures.heavy_core.split_engine",
    "silver_kestrel.architectures.lite_core.lite_core",
    "silver_kestrel.architectures.lite_core.fortress_engine",
    "silver_kestrel.architectures.lite_core.split_engine",
    "silver_kestrel.architectures.fortress_core.fortress_core",
    "silver_kestrel.architectures.unified_engine_pkg.unified_engine",
]
PKG = "silver_kestrel.architectures"
T = torch.Tensor
Opt, D = typing.Optional, typing.Dict


def module(name):
    return importlib.import_module(name)


def sig(fn):
    s = inspect.signature(fn)
    return [(p.name, p.default, p.annotation) for p in s.parameters.values()], s.return_annotation


E = inspect.Parameter.empty


def test_factory_signature():
    km = module("silver_kestrel.kestrel_model")
    params, result = sig(km.create_kestrel_model)
    assert params == [("vocab_size", 50280, int), ("d_model", 2560, int), ("d_state", 2560, int),
                      ("n_layers", 64, int), ("cross_attn_mode", "linear", str), ("shared_backbone", True, bool),
                      ("morva_variant", "heavy", str)]
    assert result is km.KestrelCausalLM
    assert km.create_kestrel_model.__annotations__["return"] is km.KestrelCausalLM
    assert typing.get_type_hints(km.create_kestrel_model)["vocab_size"] is int


# (module, class, method, parameters after self as (name, default, annotation), return annotation)
CASES = [
    ("silver_kestrel.kestrel_model", "KestrelCausalLM", "forward",
     [("input_ids", E, T), ("labels", None, Opt[T]), ("loss_mask", None, Opt[T])], D[str, typing.Any]),
    ("silver_kestrel.kestrel_model", "KestrelCausalLMLayered", "forward",
     [("input_ids", E, T), ("labels", None, Opt[T])], D[str, typing.Any]),
    ("silver_kestrel.kestrel_model", "KestrelBackboneFU64", "forward", [("x", E, T)],
     typing.Tuple[T, D[str, typing.Any]]),
    (f"{PKG}.heavy_core.heavy_core", "ZuravMorvaV8_2H", "forward", [("x", E, T), ("state", None, Opt[D])],
     typing.Tuple[T, D]),
    (f"{PKG}.heavy_core.heavy_core", "ZuravMorvaEngine", "forward_with_diagnostics",
     [("x", E, T), ("state", None, Opt[D]), ("return_diagnostics", True, bool)], typing.Tuple[T, D]),
    (f"{PKG}.heavy_core.heavy_core", "DistributedMorvaZurav", "forward", [("x", E, T), ("state", None, Opt[D])], T),
    (f"{PKG}.heavy_core.heavy_core", "MorvaCrossAttention", "forward",
     [("x_fast", E, T), ("x_slow", E, T), ("pressure", E, T)], T),
    (f"{PKG}.heavy_core.heavy_core", "OptimizedMorvaCHA", "forward",
     [("q", E, T), ("k", E, T), ("v", E, T), ("pressure", E, float)], T),
    (f"{PKG}.heavy_core.heavy_core", "OptimizedMorvaRadar", "forward", [("x", E, T)], T),
    (f"{PKG}.heavy_core.fortress_engine", "WarEngineTevZOZU_V722_FU", "forward_with_diagnostics",
     [("x", E, T), ("state", None, Opt[D]), ("return_diagnostics", False, bool)], typing.Tuple[T, D]),
    (f"{PKG}.heavy_core.fortress_engine", "WarEngineTevZOZU_V722_FU_Bounded", "forward_with_diagnostics",
     [("x", E, T), ("state", None, Opt[D]), ("return_diagnostics", False, bool)], typing.Tuple[T, D]),
    (f"{PKG}.heavy_core.fortress_engine", "WarEngineTevZOZU_V722_FU", "set_trainable", [("trainable", E, bool)],
     None),
    (f"{PKG}.heavy_core.split_engine", "WarEngineTevZOZU_V32", "forward_with_diagnostics",
     [("x", E, T), ("state", None, Opt[D]), ("return_diagnostics", False, bool)], typing.Tuple[T, D]),
    (f"{PKG}.heavy_core.split_engine", "WarEngineTevZOZU_V32", "get_state", [], T),
    (f"{PKG}.heavy_core.split_engine", "InferenceEngineTevZOZU_V32", "forward", [("x", E, T)], T),
    (f"{PKG}.lite_core.lite_core", "ZuravMorvaV8_2", "forward", [("x", E, T), ("state", None, Opt[D])],
     typing.Tuple[T, D]),
    (f"{PKG}.fortress_core.fortress_core", "FortressFUCore", "forward", [("x", E, T), ("state", None, Opt[D])],
     typing.Tuple[T, D]),
    (f"{PKG}.unified_engine_pkg.unified_engine", "ListeningIntegratorV2", "forward_with_diagnostics",
     [("delta", E, T), ("gate", E, T), ("state", None, Opt[D]), ("compute_diagnostics", False, bool)],
     typing.Tuple[T, D]),
]


@pytest.mark.parametrize("mod, cls, method, params, result", CASES, ids=[f"{c[1]}.{c[2]}" for c in CASES])
def test_method_signatures(mod, cls, method, params, result):
    owner = getattr(module(mod), cls)
    got, got_result = sig(getattr(owner, method))
    assert got == [("self", E, E)] + params
    assert got_result == (E if result is E else result)


def test_constructor_signatures_through_the_class():
    km = module("silver_kestrel.kestrel_model")
    hc = module(f"{PKG}.heavy_core.heavy_core")
    assert str(inspect.signature(km.KestrelCausalLM)) == "(config: silver_kestrel.kestrel_model.KestrelModelConfig)"
    params = inspect.signature(hc.ZuravMorvaV8_2H).parameters
    assert list(params) == ["config", "fortress_config", "cross_attn_mode", "shared_backbone"]
    assert params["config"].annotation is hc.TevUnifiedConfig
    assert [p.default for p in params.values()][1:] == [None, "linear", False]


def test_bound_methods_drop_self_and_keep_their_identity():
    km = module("silver_kestrel.kestrel_model")
    model = km.create_kestrel_model(vocab_size=11, d_model=8, d_state=8, n_layers=1, morva_variant="fu")
    assert list(inspect.signature(model.forward).parameters) == ["input_ids", "labels", "loss_mask"]
    assert model.forward.__func__ is vars(km.KestrelCausalLM)["forward"]
    assert km.KestrelCausalLM.forward is vars(km.KestrelCausalLM)["forward"]
    out = model.forward(torch.zeros(1, 3, dtype=torch.long), labels=torch.zeros(1, 3, dtype=torch.long))
    assert set(out) == {"loss", "logits", "morva"}
    # Functions pickle by reference, as Python functions do; a bound method with its model.
    assert pickle.loads(pickle.dumps(km.create_kestrel_model)) is km.create_kestrel_model
    assert pickle.loads(pickle.dumps(km.KestrelCausalLM.forward)) is km.KestrelCausalLM.forward


def unlaid(text):
    return re.sub(r"[\s|]", "", text)


def test_help_prints_the_exact_docstrings():
    se = module(f"{PKG}.heavy_core.split_engine")
    fn = se.WarEngineTevZOZU_V32.forward_with_diagnostics
    assert fn.__doc__ == "Forward pass with diagnostics (for training/debugging)."
    assert fn.__name__ == "forward_with_diagnostics"
    assert fn.__qualname__ == "WarEngineTevZOZU_V32.forward_with_diagnostics"
    # Python 3.13's pydoc wraps long signatures over several lines: compare without layout.
    page = pydoc.render_doc(se.WarEngineTevZOZU_V32, renderer=pydoc.plaintext)
    assert unlaid("forward_with_diagnostics(self, x: torch.Tensor, state: Optional[Dict] = None, "
                  "return_diagnostics: bool = False) -> Tuple[torch.Tensor, Dict]\n"
                  " |      Forward pass with diagnostics (for training/debugging).") in unlaid(page)
    km = module("silver_kestrel.kestrel_model")
    text = pydoc.render_doc(km.create_kestrel_model, renderer=pydoc.plaintext)
    assert unlaid("create_kestrel_model(vocab_size: int = 50280,") in unlaid(text)
    lines = [line.strip() for line in text.splitlines()]
    doc = [line.strip() for line in km.create_kestrel_model.__doc__.splitlines()]
    start = lines.index(doc[0])
    assert lines[start:start + len(doc)] == doc
    # A method without documentation has none, as before.
    assert km.KestrelCausalLM.__init__.__doc__ is None


def test_export_marks_stay_on_the_functions():
    from torch import _jit_internal as jit
    se = module(f"{PKG}.heavy_core.split_engine")
    assert jit.get_torchscript_modifier(se.WarEngineTevZOZU_V32.get_state) == jit.FunctionModifiers.EXPORT
    assert jit.get_torchscript_modifier(se.WarEngineTevZOZU_V32.forward) == jit.FunctionModifiers.DEFAULT


# ---------------------------------------------------------------------------------------------
# Stubs


def live_names(mod):
    """Classes and functions of the package that the module binds (its own and imported ones)."""
    ours = {module(name).__name__ for name in MODULES} | set(MODULES)
    return {name for name, value in vars(mod).items()
            if not name.startswith("__") and callable(value) and getattr(value, "__module__", None) in ours}


def stub_tree(name):
    path = os.path.join(ROOT, *name.split(".")) + ".pyi"
    with open(path) as f:
        return ast.parse(f.read(), path)


@pytest.mark.parametrize("name", MODULES)
def test_stubs_match_the_live_modules(name):
    mod = module(name)
    tree = stub_tree(name)
    defined = {node.name: node for node in tree.body if isinstance(node, (ast.ClassDef, ast.FunctionDef))}
    imported = {alias.asname or alias.name for node in tree.body if isinstance(node, ast.ImportFrom)
                and node.module.startswith("silver_kestrel") for alias in node.names}
    aliases = {target.id for node in tree.body if isinstance(node, ast.Assign) for target in node.targets}
    assert set(defined) | aliases | (imported & live_names(mod)) == live_names(mod)
    for stub_name, node in defined.items():
        value = getattr(mod, stub_name)
        if isinstance(node, ast.FunctionDef):
            assert [a.arg for a in node.args.args] == list(inspect.signature(value).parameters)
            continue
        if dataclasses.is_dataclass(value):
            fields = [n.target.id for n in node.body if isinstance(n, ast.AnnAssign)]
            assert fields == [f.name for f in dataclasses.fields(value)]
            continue
        methods = {n.name: n for n in node.body if isinstance(n, ast.FunctionDef)}
        live = [m for m, f in vars(value).items() if callable(f) and (m == "__init__" or not m.startswith("__"))]
        assert list(methods) == live, stub_name
        for m, n in methods.items():
            assert [a.arg for a in n.args.args] == list(inspect.signature(getattr(value, m)).parameters), (stub_name, m)


def test_package_is_marked_typed():
    assert os.path.isfile(os.path.join(ROOT, "silver_kestrel", "py.typed"))

import collections
import copy
import dataclasses
import typing

import pytest
import torch

from silver_kestrel.architectures.heavy_core import fortress_engine as fe
from silver_kestrel.architectures.fortress_core import fortress_core as fc
from block_support import make_config, spy

Core = fc.FortressFUCore


def make_core(width=4, seed=0, fortress_config=None):
    torch.manual_seed(seed)
    return Core(make_config(width), fortress_config)


def inputs(B=2, T=3, D=4, seed=1):
    return torch.randn(B, T, D, generator=torch.Generator().manual_seed(seed))


def test_module_names_and_class():
    names = [n for n in vars(fc) if not n.startswith("__")]
    assert names == ["Dict", "Optional", "Tuple", "torch", "nn", "WarEngineTevZOZU_V722_FU", "TevUnifiedConfig",
                     "FortressUnbrokenConfig", "FortressFUCore"]
    assert (fc.Dict, fc.Optional, fc.Tuple, fc.torch, fc.nn) == (typing.Dict, typing.Optional, typing.Tuple, torch,
                                                                 torch.nn)
    for name in ("WarEngineTevZOZU_V722_FU", "TevUnifiedConfig", "FortressUnbrokenConfig"):
        assert getattr(fc, name) is getattr(fe, name)
    assert Core.__bases__ == (torch.nn.Module,)
    assert (Core.__module__, Core.__qualname__) == ("silver_kestrel.architectures.fortress_core.fortress_core",
                                                    "FortressFUCore")
    assert [n for n in vars(Core) if not n.startswith("__") or n == "__init__"] == ["__init__", "forward"]
    assert Core.__doc__ == ("v7.2.2-FU-only core (no radar, no slow head, no cross-attn).\n\n"
                            "For compatibility with existing checkpoints/mappers, we expose:\n"
                            "- fast_path: WarEngineTevZOZU_V722_FU")
    doc = fc.__doc__.lower()
    assert "v7.2.2-fu" in doc and "fast_path" in doc and "(hidden, diagnostics)" in doc


def test_default_fortress_configuration():
    a, b = make_core(), make_core()
    assert list(a._modules) == ["fast_path"] and list(a._parameters) == [] and list(a._buffers) == []
    assert isinstance(a.fast_path, fe.WarEngineTevZOZU_V722_FU)
    assert a.fast_path.fortress_config == fe.FortressUnbrokenConfig(enable_vgt=True, beta_pressure=0.4)
    assert a.fast_path.fortress_config is not b.fast_path.fortress_config
    assert a.fast_path.fortress._beta_pressure == 0.4


class FalsyConfig(fe.FortressUnbrokenConfig):
    def __bool__(self):
        return False


@pytest.mark.parametrize("given", [fe.FortressUnbrokenConfig(enable_vgt=False, g_min=0.2),
                                   FalsyConfig(beta_pressure=0.1)])
def test_given_configurations_reach_the_block_unchanged(given):
    before = dataclasses.asdict(given)
    config = make_config(4)
    core = Core(config=config, fortress_config=given)
    assert core.fast_path.fortress_config is given and core.fast_path.config is config
    assert dataclasses.asdict(given) == before
    assert not hasattr(core, "config") and not hasattr(core, "fortress_config")


def test_state_dict_is_the_block_under_fast_path():
    core = make_core()
    block = core.fast_path
    assert list(core.state_dict()) == ["fast_path." + k for k in block.state_dict()]
    assert all(k.startswith("fast_path.") for k in core.state_dict())
    assert any(k.startswith("fast_path.fortress.") for k in core.state_dict())


@pytest.mark.parametrize("args, kwargs, received", [
    ((), {}, None),
    ((None,), {}, None),
    ((), {"state": None}, None),
    (({},), {}, {}),
])
def test_forward_passes_state_and_returns_the_block_result(args, kwargs, received):
    core = make_core()
    reference = copy.deepcopy(core.fast_path)
    calls = spy(core.fast_path, "forward_with_diagnostics")
    x = inputs()
    y, diagnostics = core(x, *args, **kwargs)
    assert len(calls) == 1
    _, call_args, call_kwargs = calls[0]
    assert call_args == (x,) and list(call_kwargs) == ["state", "return_diagnostics"]
    assert call_kwargs["state"] == received and call_kwargs["return_diagnostics"] is True
    if received is not None:
        assert call_kwargs["state"] is (args[0] if args else kwargs["state"])
    expected_y, expected_diag = reference.forward_with_diagnostics(x, None, True)
    torch.testing.assert_close(y, expected_y)
    assert list(diagnostics) == list(expected_diag) and list(diagnostics)[0] == "surprisal_score"
    assert core.fast_path.fortress.global_step.item() == 1


def test_result_is_a_new_tuple_holding_the_blocks_dictionary():
    core = make_core()
    y, d = torch.zeros(1), {"surprisal_score": 0.5}
    core.fast_path.forward_with_diagnostics = lambda x, state=None, return_diagnostics=False: [y, d]
    result = core(inputs())
    assert type(result) is tuple and result[0] is y and result[1] is d


@pytest.mark.parametrize("items, message", [
    (3, r"^too many values to unpack \(expected 2\)$"),
    (1, r"^need more than 1 value to unpack$"),
    (0, r"^need more than 0 values to unpack$"),
])
def test_block_result_of_another_length(items, message):
    core = make_core()
    core.fast_path.forward_with_diagnostics = lambda x, state=None, return_diagnostics=False: (None,) * items
    with pytest.raises(ValueError, match=message):
        core(inputs())


@pytest.mark.parametrize("state, got, note", [
    (collections.OrderedDict(), "collections.OrderedDict", True),
    (type("StateDict", (dict,), {})(), "StateDict", True),
    ([], "list", False),
    ("state", "str", False),
])
def test_state_of_another_type_is_refused_before_the_block_runs(state, got, note):
    core = make_core()
    with pytest.raises(TypeError) as info:
        core(inputs(), state)
    assert str(info.value) == f"Argument 'state' has incorrect type (expected dict, got {got})"
    notes = getattr(info.value, "__notes__", [])
    assert bool(notes) == note and all("subclasses of built-in types" in n.lower() for n in notes)
    assert core.fast_path.fortress.global_step.item() == 0


def test_arity_errors():
    core = make_core()
    with pytest.raises(TypeError, match="forward"):
        core(inputs(), None, True)
    with pytest.raises(TypeError, match="forward"):
        core(inputs(), return_diagnostics=True)


def test_construction_errors_propagate():
    with pytest.raises(AttributeError):
        Core(object())
    with pytest.raises(TypeError):
        Core()


def test_moves_and_modes_reach_the_block():
    core = make_core().double().eval()
    assert not core.fast_path.training
    assert core.fast_path.input_proj.weight.dtype == torch.float64
    y, _ = core(inputs().double())
    assert y.dtype == torch.float64

import dataclasses
import typing

import pytest
import torch

from silver_kestrel.architectures.heavy_core import fortress_engine as fe
from silver_kestrel.architectures.heavy_core import heavy_core as hc
from heavy_core_support import make_config, make_core

Core = hc.ZuravMorvaV8_2H
SHARED_LINE = "[MORVA] \U0001F7E2 Shared Backbone Enabled: Divergence maintained via Radar FFT.\n"


def test_class_and_record_shape():
    assert Core.__bases__ == (torch.nn.Module,)
    assert [n for n in vars(Core) if not n.startswith("__") or n == "__init__"] == [
        "__init__", "_safe_symmetric_kl", "forward"]
    assert "train" not in vars(Core)

    assert dataclasses.is_dataclass(hc.BoundaryRecord) and hc.BoundaryRecord.__bases__ == (object,)
    assert hc.BoundaryRecord.__doc__ == "Record of a discrete 'Shock' consolidation event."
    assert [(f.name, f.type) for f in dataclasses.fields(hc.BoundaryRecord)] == [
        ("step", int), ("friction_before", float), ("friction_after", float), ("drop_z", float),
        ("reason", str), ("engram_id", typing.Optional[int])]
    record = hc.BoundaryRecord(3, 0.5, 0.1, 2.0, "FRICTION_COLLAPSE")
    assert record.engram_id is None
    record.engram_id = 7  # not frozen
    assert record == hc.BoundaryRecord(3, 0.5, 0.1, 2.0, "FRICTION_COLLAPSE", 7)
    with pytest.raises(TypeError):
        hc.BoundaryRecord(3, 0.5, 0.1, 2.0)


def test_attributes_children_and_parameters_in_order(capsys):
    config, fortress_config = make_config(), fe.FortressUnbrokenConfig()
    core = Core(config, fortress_config)
    assert capsys.readouterr().out == ""
    plain = [n for n in vars(core) if not n.startswith("_") and n != "training"]
    assert plain == ["cross_attn_mode", "shared_backbone", "boundary_history", "shock_threshold_z",
                     "shock_freeze_steps", "shock_cooldown", "active_shock_freeze"]
    assert (core.cross_attn_mode, core.shared_backbone, core.boundary_history) == ("linear", False, [])
    assert (core.shock_threshold_z, core.shock_freeze_steps, core.shock_cooldown, core.active_shock_freeze) == (
        1.5, 8, 0, 0)
    assert type(core.shock_threshold_z) is float and type(core.shock_freeze_steps) is int
    assert list(core._modules) == ["fast_path", "radar", "slow_path", "cross_attn"]
    assert list(core._parameters) == ["routing_sharpness", "routing_threshold"]
    for name, value in (("routing_sharpness", 4.0), ("routing_threshold", 0.5)):
        p = getattr(core, name)
        assert p.shape == () and p.dtype == torch.get_default_dtype() and p.item() == value and p.requires_grad

    assert isinstance(core.fast_path, fe.WarEngineTevZOZU_V722_FU)
    assert isinstance(core.slow_path, fe.WarEngineTevZOZU_V722_FU) and core.slow_path is not core.fast_path
    for block in (core.fast_path, core.slow_path):
        assert block.config is config and block.fortress_config is fortress_config
    assert isinstance(core.radar, hc.OptimizedMorvaRadar) and core.radar.max_l == 65536 and core.radar.d_model == 8
    assert type(core.cross_attn) is hc.LinearMorvaCrossAttention and core.cross_attn.n_heads == 8

    # Trainable: the fast path, the bridge and the routing parameters; frozen: slow path and radar.
    assert all(p.requires_grad for p in core.fast_path.parameters())
    assert all(p.requires_grad for p in core.cross_attn.parameters())
    assert not any(p.requires_grad for p in core.slow_path.parameters())
    assert not any(p.requires_grad for p in core.radar.parameters())

    keys = list(core.state_dict())
    expected = ["routing_sharpness", "routing_threshold"]
    for prefix, child in core._modules.items():
        expected += [f"{prefix}.{k}" for k in child.state_dict()]
    assert keys == expected
    assert "boundary_history" not in keys and "shock_cooldown" not in keys


def test_shared_backbone(capsys):
    core = make_core(shared_backbone=[0])  # only the truth of the argument counts
    assert capsys.readouterr().out == SHARED_LINE
    assert core.shared_backbone is True and core.slow_path is core.fast_path
    # Frozen radar, trainable (because shared) slow path.
    assert all(p.requires_grad for p in core.slow_path.parameters())
    assert not any(p.requires_grad for p in core.radar.parameters())
    # One block under two names: parameters once, state-dict entries under both prefixes.
    params = list(core.parameters())
    assert len(params) == len({id(p) for p in params})
    assert len(params) == 2 + sum(len(list(getattr(core, n).parameters())) for n in ("fast_path", "radar", "cross_attn"))
    keys = list(core.state_dict())
    block_keys = list(core.fast_path.state_dict())
    assert [k[len("fast_path."):] for k in keys if k.startswith("fast_path.")] == block_keys
    assert [k[len("slow_path."):] for k in keys if k.startswith("slow_path.")] == block_keys
    core.load_state_dict(core.state_dict())  # strict load needs both key sets


@pytest.mark.parametrize("mode, bridge", [
    ("quadratic", "MorvaCrossAttention"), ("QUADRATIC", "MorvaCrossAttention"),
    ("QuAdRaTiC", "MorvaCrossAttention"), ("linear", "LinearMorvaCrossAttention"),
    ("LINEAR", "LinearMorvaCrossAttention"), ("", "LinearMorvaCrossAttention"),
    ("flash", "LinearMorvaCrossAttention"),
])
def test_bridge_selection(mode, bridge):
    core = make_core(cross_attn_mode=mode)
    assert type(core.cross_attn) is getattr(hc, bridge)
    assert core.cross_attn_mode == mode.lower()


def test_keyword_and_positional_arguments():
    config, fortress_config = make_config(), fe.FortressUnbrokenConfig()
    core = Core(config=config, fortress_config=fortress_config, cross_attn_mode="Quadratic", shared_backbone=0)
    assert core.cross_attn_mode == "quadratic" and core.shared_backbone is False
    assert Core(config, fortress_config, "linear", False).cross_attn_mode == "linear"


@pytest.mark.parametrize("mode", [None, 3, b"quadratic", type("S", (str,), {})("quadratic")])
def test_cross_attn_mode_must_be_a_string(mode, monkeypatch):
    built = []
    monkeypatch.setattr(fe.WarEngineTevZOZU_V722_FU, "__init__",
                        lambda self, *a: built.append(a), raising=True)
    with pytest.raises(TypeError) as info:
        Core(make_config(), fe.FortressUnbrokenConfig(), cross_attn_mode=mode)
    assert str(info.value) == (f"Argument 'cross_attn_mode' has incorrect type (expected str, "
                               f"got {type(mode).__name__})")
    assert built == []  # refused before anything is built


def test_fortress_config_is_required_by_the_block():
    with pytest.raises(AttributeError):
        Core(make_config())


def test_every_construction_starts_afresh():
    a, b = make_core(), make_core()
    a.boundary_history.append(object())
    a.shock_cooldown = 5
    assert b.boundary_history == [] and b.shock_cooldown == 0
    b.load_state_dict(a.state_dict())
    assert b.boundary_history == [] and b.shock_cooldown == 0

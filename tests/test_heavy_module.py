import dataclasses
import json
import math
import os
import typing

import textwrap

import torch

from silver_kestrel.architectures.heavy_core import fortress_engine as fe
from silver_kestrel.architectures.heavy_core import heavy_core as hc
from support import EXT_SUFFIX, ROOT, copy_package, run_python

HEAVY = "silver_kestrel.architectures.heavy_core.heavy_core"
FORTRESS = "silver_kestrel.architectures.heavy_core.fortress_engine"
BLOCK_NAME = "WarEngineTevZOZU_V722_FU"
FRAME = ["torch", "nn", "F", "math", "dataclass", "Optional", "Tuple", "Dict", "List"]
IMPORTED = [BLOCK_NAME, "TevUnifiedConfig", "FortressUnbrokenConfig"]
CLASSES = ["OptimizedMorvaRadar", "MorvaCrossAttention", "LinearMorvaCrossAttention", "OptimizedMorvaCHA",
           "ZuravMorvaEngine", "BoundaryRecord", "ZuravMorvaV8_2H",
           "DistributedMorvaZurav", "MorvaConfig"]
RECORDS = ["BoundaryRecord", "MorvaConfig"]
MODULES = [name for name in CLASSES if name not in RECORDS]


def public_names(module):
    return [n for n in vars(module) if not n.startswith("__")]


def test_names_in_order_and_what_they_are():
    assert public_names(hc) == FRAME + IMPORTED + CLASSES + ["_run_demonstration"]
    assert hc.torch is torch and hc.torch.fft is torch.fft
    assert hc.nn is torch.nn and hc.F is torch.nn.functional and hc.math is math
    assert hc.dataclass is dataclasses.dataclass
    assert (hc.Optional, hc.Tuple, hc.Dict, hc.List) == (typing.Optional, typing.Tuple, typing.Dict, typing.List)
    for name in IMPORTED:
        assert getattr(hc, name) is getattr(fe, name)
    for name in MODULES:
        cls = getattr(hc, name)
        assert cls.__bases__ == (torch.nn.Module,)
        assert (cls.__module__, cls.__qualname__) == (HEAVY, name)
        assert cls.__doc__
    assert not hasattr(hc, "logger")


def test_docstring_summarises_the_architecture():
    doc = hc.__doc__.lower()
    for topic in ("radar", "fft", "fast", "slow", "cross-headed attention", "pressure", "shock", "linear",
                  "quadratic", "fortress unbroken v7.2.2-fu"):
        assert topic in doc, topic


def test_morva_config_record():
    cfg = hc.MorvaConfig()
    assert dataclasses.is_dataclass(hc.MorvaConfig)
    fields = [(f.name, f.type, f.default) for f in dataclasses.fields(hc.MorvaConfig)]
    assert fields == [("enable_zurav", bool, True), ("enable_cross_attn", bool, True),
                      ("radar_max_l", int, 1048576), ("n_attn_heads", int, 8), ("pressure_bias", float, 0.5)]
    assert (cfg.enable_zurav, cfg.enable_cross_attn, cfg.radar_max_l, cfg.n_attn_heads, cfg.pressure_bias) == (
        True, True, 1048576, 8, 0.5)
    assert cfg == hc.MorvaConfig() and cfg != hc.MorvaConfig(n_attn_heads=4)
    assert repr(cfg) == ("MorvaConfig(enable_zurav=True, enable_cross_attn=True, radar_max_l=1048576, "
                         "n_attn_heads=8, pressure_bias=0.5)")
    cfg.radar_max_l = 16
    assert cfg.radar_max_l == 16 and hc.MorvaConfig.__hash__ is None
    assert hc.OptimizedMorvaRadar(2).max_l == 65536
    assert (hc.MorvaConfig.__module__, hc.MorvaConfig.__qualname__) == (HEAVY, "MorvaConfig")
    assert "configuration extensions" in hc.MorvaConfig.__doc__.lower()


# Import roads, one fresh interpreter each, on a copy of the built tree.
PROBE = '''
import importlib.util, json, sys
spec = importlib.util.find_spec({target!r})
module = importlib.util.module_from_spec(spec)
result = {{}}
try:
    spec.loader.exec_module(module)
except BaseException as e:
    result["error"] = [type(e).__name__, str(e)]
result["names"] = [n for n in vars(module) if not n.startswith("__")]
result["fortress_file"] = getattr(sys.modules.get({fortress!r}), "__file__", None)
print(json.dumps(result))
'''

FAKE_FORTRESS = '''
class TevUnifiedConfig: pass
class {block}: pass
'''


def probe(tmp_path, prepare=None, target=HEAVY):
    pkg = copy_package(tmp_path)
    heavy_dir = os.path.join(pkg, "architectures", "heavy_core")
    if prepare:
        prepare(heavy_dir)
    result = run_python(PROBE.format(target=target, fortress=FORTRESS), [str(tmp_path)])
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout), heavy_dir


def replace_fortress(heavy_dir, source):
    os.remove(os.path.join(heavy_dir, "fortress_engine" + EXT_SUFFIX))
    with open(os.path.join(heavy_dir, "fortress_engine.py"), "w") as f:
        f.write(source)


def test_import_binds_the_sibling_fortress_engine(tmp_path):
    # A top-level module of the same name on the search path is not the sibling.
    def shadow(heavy_dir):
        with open(os.path.join(str(tmp_path), "fortress_engine.py"), "w") as f:
            f.write("raise RuntimeError('not the sibling')\n")
    got, heavy_dir = probe(tmp_path, shadow)
    assert "error" not in got
    assert got["names"] == FRAME + IMPORTED + CLASSES + ["_run_demonstration"]
    assert got["fortress_file"] == os.path.join(heavy_dir, "fortress_engine" + EXT_SUFFIX)


def test_missing_name_fails_the_import(tmp_path):
    # A fortress_engine without FortressUnbrokenConfig: the names before it stay bound.
    got, heavy_dir = probe(tmp_path, lambda d: replace_fortress(d, FAKE_FORTRESS.format(block=BLOCK_NAME)))
    name, message = got["error"]
    assert name == "ImportError"
    assert message == (f"cannot import name 'FortressUnbrokenConfig' from '{FORTRESS}' "
                       f"({os.path.join(heavy_dir, 'fortress_engine.py')})")
    assert got["names"] == FRAME + IMPORTED[:2]


def test_failing_fortress_engine_fails_the_import(tmp_path):
    pkg = copy_package(tmp_path)
    replace_fortress(os.path.join(pkg, "architectures", "heavy_core"), "raise RuntimeError('broken fortress')\n")
    result = run_python(f"import {HEAVY}", [str(tmp_path)])
    assert result.returncode != 0
    assert result.stderr.strip().splitlines()[-1] == "RuntimeError: broken fortress"


def test_no_parent_package_no_fallback(tmp_path):
    pkg = copy_package(tmp_path)
    path = os.path.join(pkg, "architectures", "heavy_core", "heavy_core" + EXT_SUFFIX)
    result = run_python(textwrap.dedent(f'''
        import importlib.util
        spec = importlib.util.spec_from_file_location("heavy_core", {path!r})
        module = importlib.util.module_from_spec(spec)
        try:
            spec.loader.exec_module(module)
        except ImportError as e:
            print(type(e).__name__, e)
    '''), [str(tmp_path)])
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ImportError attempted relative import with no known parent package"


def test_import_is_silent_and_builds_nothing(tmp_path):
    copy_package(tmp_path)
    result = run_python(textwrap.dedent(f'''
        import logging, sys, warnings
        logging.basicConfig(level=logging.DEBUG)
        warnings.simplefilter("always")
        import torch
        before = torch.random.get_rng_state()
        import {HEAVY} as hc
        assert torch.equal(before, torch.random.get_rng_state())
    '''), [str(tmp_path)])
    assert result.returncode == 0, result.stderr
    assert result.stdout == "" and result.stderr == ""


RULE = "=" * 80
HEADER = [RULE, "MORVA v8.2H: The 'Heavy' Guardian Architecture", RULE, "", "Architecture Components:",
          "  [Phase I]   Global Radar (FFT Engine)", "  [Phase II]  Zurav Heads (Fast/Slow/Buddy-Cop)",
          "  [Phase III] Sharpened Cross-Headed Attention (Linear/Quadratic Bridge)", "",
          "Integration: Fortress Unbroken v7.2.2-FU", "", RULE, "", "Initializing Morva v8.2H Heavy Engine...",
          "Input shape: torch.Size([2, 128, 1024])"]


def test_demonstration_stops_at_the_block_width_check():
    """At its reference widths (1024 model, 256 state) the block refuses the call."""
    result = run_python("import runpy; runpy.run_module('silver_kestrel.architectures.heavy_core.heavy_core_main',"
                        " run_name='__main__')", [str(ROOT)])
    assert result.stdout.splitlines() == HEADER
    assert result.returncode == 1 and "RuntimeError" in result.stderr and "d_model == d_state" in result.stderr


def test_demonstration_lists_the_diagnostics(monkeypatch, capsys):
    built = []

    class Core(torch.nn.Module):
        def __init__(self, config, fortress_config, cross_attn_mode):
            super().__init__()
            built.append((config, fortress_config, cross_attn_mode))

        def forward(self, x):
            return x[..., :4], {"mode": "FLOW", "pressure": 0.25, "fast_diagnostics": {"a": 1},
                                "slow_diagnostics": {}, "count": 3}

    monkeypatch.setattr(hc, "ZuravMorvaV8_2H", Core)
    hc._run_demonstration()
    lines = capsys.readouterr().out.splitlines()
    assert lines[: len(HEADER)] == HEADER
    assert lines[len(HEADER):] == [
        "Output shape: torch.Size([2, 128, 4])", "", "Diagnostics:", "  mode: FLOW", "  pressure: 0.25",
        "  fast_diagnostics: [nested diagnostics]", "  slow_diagnostics: [nested diagnostics]", "  count: 3", "",
        RULE, "Status: Sovereign. Global. Heavy. Unbroken.", RULE]
    (config, fortress_config, mode), = built
    assert (config.d_model, config.d_state, config.n_layers, mode) == (1024, 256, 12, "linear")
    assert (fortress_config.max_engrams, fortress_config.enable_vgt, fortress_config.beta_pressure) == (12, True, 0.4)

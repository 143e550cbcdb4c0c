"""Import roads of the lite and fortress-only core modules, one fresh interpreter each."""
import json
import os

import pytest

from support import EXT_SUFFIX, copy_package, run_python

PKG = "silver_kestrel.architectures"
FORTRESS = f"{PKG}.heavy_core.fortress_engine"
HEAVY = f"{PKG}.heavy_core.heavy_core"
TARGETS = {"lite": f"{PKG}.lite_core.lite_core", "fortress": f"{PKG}.fortress_core.fortress_core"}

PROBE = '''
import importlib, json, sys
result = {{}}
try:
    module = importlib.import_module({target!r})
    result["names"] = [n for n in vars(module) if not n.startswith("__")]
except BaseException as e:
    result["error"] = [type(e).__name__, str(e)]
result["loaded"] = sorted(n for n in sys.modules if n.startswith("silver_kestrel.architectures."))
print(json.dumps(result))
'''


def probe(tmp_path, target, replace=None):
    pkg = copy_package(tmp_path)
    heavy_dir = os.path.join(pkg, "architectures", "heavy_core")
    if replace:
        module, source = replace
        os.remove(os.path.join(heavy_dir, module + EXT_SUFFIX))
        with open(os.path.join(heavy_dir, module + ".py"), "w") as f:
            f.write(source)
    result = run_python(PROBE.format(target=target), [str(tmp_path)])
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    return json.loads(result.stdout), heavy_dir


def test_lite_core_takes_the_heavy_packages_modules(tmp_path):
    got, _ = probe(tmp_path, TARGETS["lite"])
    assert got["names"] == ["Dict", "Optional", "Tuple", "torch", "nn", "WarEngineTevZOZU_V722_FU",
                            "TevUnifiedConfig", "FortressUnbrokenConfig", "OptimizedMorvaRadar",
                            "LinearMorvaCrossAttention", "ZuravMorvaV8_2"]
    assert FORTRESS in got["loaded"] and HEAVY in got["loaded"]
    assert f"{PKG}.lite_core.fortress_engine" not in got["loaded"]


def test_fortress_core_loads_only_the_fortress_engine(tmp_path):
    got, _ = probe(tmp_path, TARGETS["fortress"])
    assert got["names"][-1] == "FortressFUCore"
    assert FORTRESS in got["loaded"] and HEAVY not in got["loaded"]


@pytest.mark.parametrize("which", list(TARGETS))
def test_missing_fortress_engine_name_fails_the_import(tmp_path, which):
    fake = "class WarEngineTevZOZU_V722_FU: pass\nclass TevUnifiedConfig: pass\n"
    got, heavy_dir = probe(tmp_path, TARGETS[which], ("fortress_engine", fake))
    assert got["error"] == ["ImportError", f"cannot import name 'FortressUnbrokenConfig' from '{FORTRESS}' "
                                           f"({os.path.join(heavy_dir, 'fortress_engine.py')})"]
    assert TARGETS[which] not in got["loaded"]


def test_missing_bridge_fails_the_lite_core_import(tmp_path):
    got, heavy_dir = probe(tmp_path, TARGETS["lite"], ("heavy_core", "class OptimizedMorvaRadar: pass\n"))
    assert got["error"] == ["ImportError", f"cannot import name 'LinearMorvaCrossAttention' from '{HEAVY}' "
                                           f"({os.path.join(heavy_dir, 'heavy_core.py')})"]


@pytest.mark.parametrize("which", list(TARGETS))
def test_no_fallback_outside_the_package(tmp_path, which):
    pkg = copy_package(tmp_path)
    name = TARGETS[which].rsplit(".", 1)[1]
    path = os.path.join(pkg, "architectures", TARGETS[which].split(".")[2], name + EXT_SUFFIX)
    result = run_python(f'''
import importlib.util
spec = importlib.util.spec_from_file_location({name!r}, {path!r})
module = importlib.util.module_from_spec(spec)
try:
    spec.loader.exec_module(module)
except ImportError as e:
    print(type(e).__name__, e)
''', [str(tmp_path)])
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ImportError attempted relative import with no known parent package"

"""Import roads of the language-model module and of its constructors, one fresh interpreter each."""
import json
import os

from support import EXT_SUFFIX, copy_package, run_python

MODEL = "silver_kestrel.kestrel_model"
HEAVY = "silver_kestrel.architectures.heavy_core.heavy_core"
NAMES = ["dataclass", "Any", "Dict", "Optional", "Tuple", "math", "torch", "nn", "ZuravMorvaV8_2H", "TevUnifiedConfig",
         "FortressUnbrokenConfig", "KestrelModelConfig", "KestrelBackboneFU64", "KestrelBackboneFU64Bounded",
         "KestrelCausalLM", "KestrelCausalLMLayered", "create_kestrel_model"]


def run(tmp_path, code, path=None):
    result = run_python(code, path or [str(tmp_path)])
    assert result.returncode == 0, result.stderr
    return result


def fake_module(directory, name, source):
    os.remove(os.path.join(directory, name + EXT_SUFFIX))
    with open(os.path.join(directory, name + ".py"), "w") as f:
        f.write(source)


def test_import_is_silent_and_lazy(tmp_path):
    copy_package(tmp_path)
    result = run(tmp_path, f'''
import logging, sys, warnings
logging.basicConfig(level=logging.DEBUG)
warnings.simplefilter("always")
import torch
before = torch.random.get_rng_state()
import {MODEL} as km
assert torch.equal(before, torch.random.get_rng_state())
loaded = sorted(n for n in sys.modules if n.startswith("silver_kestrel"))
assert not any(n.endswith(("lite_core.lite_core", "fortress_core.fortress_core")) for n in loaded), loaded
''' + '''
km.KestrelCausalLM(km.KestrelModelConfig(vocab_size=5, d_model=8, d_state=8, n_layers=1, morva_variant="fu"))
assert "silver_kestrel.architectures.fortress_core.fortress_core" in sys.modules
assert "silver_kestrel.architectures.lite_core.lite_core" not in sys.modules
km.KestrelCausalLM(km.KestrelModelConfig(vocab_size=5, d_model=8, d_state=8, n_layers=1, morva_variant="lite"))
assert "silver_kestrel.architectures.lite_core.lite_core" in sys.modules
assert "FortressFUCore" not in vars(km) and "ZuravMorvaV8_2" not in vars(km)
''')
    assert result.stdout == "" and result.stderr == ""


def load_by_location(path):
    return f'''
import importlib.util, json
spec = importlib.util.spec_from_file_location("kestrel_model", {path!r})
module = importlib.util.module_from_spec(spec)
try:
    spec.loader.exec_module(module)
    result = {{"names": [n for n in vars(module) if not n.startswith("__")]}}
except ImportError as e:
    result = {{"error": [type(e).__name__, str(e)]}}
'''


def test_outside_the_package_falls_back_to_the_absolute_paths(tmp_path):
    pkg = copy_package(tmp_path)
    path = os.path.join(pkg, "kestrel_model" + EXT_SUFFIX)
    result = run(tmp_path, load_by_location(path) + f'''
import {HEAVY} as hc
result["same_core"] = module.ZuravMorvaV8_2H is hc.ZuravMorvaV8_2H
model = module.KestrelCausalLM(module.KestrelModelConfig(vocab_size=5, d_model=8, d_state=8, n_layers=1,
                                                         morva_variant="fu"))
result["core"] = type(model.core).__module__
print(json.dumps(result))
''')
    got = json.loads(result.stdout)
    assert got["names"] == NAMES and got["same_core"]
    assert got["core"] == "silver_kestrel.architectures.fortress_core.fortress_core"


def test_outside_the_package_without_the_package_fails(tmp_path):
    pkg = copy_package(tmp_path / "hidden")
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    path = os.path.join(pkg, "kestrel_model" + EXT_SUFFIX)
    result = run(tmp_path, load_by_location(path) + "print(json.dumps(result))", path=[str(elsewhere)])
    assert json.loads(result.stdout)["error"] == ["ModuleNotFoundError", "No module named 'silver_kestrel'"]


def test_heavy_core_without_the_core_class_fails_the_import(tmp_path):
    pkg = copy_package(tmp_path)
    heavy_dir = os.path.join(pkg, "architectures", "heavy_core")
    fake_module(heavy_dir, "heavy_core", "from .fortress_engine import TevUnifiedConfig, FortressUnbrokenConfig\n")
    result = run(tmp_path, f'''
import json
try:
    import {MODEL}
except ImportError as e:
    print(json.dumps([type(e).__name__, str(e)]))
''')
    assert json.loads(result.stdout) == [
        "ImportError", f"cannot import name 'ZuravMorvaV8_2H' from '{HEAVY}' ({os.path.join(heavy_dir, 'heavy_core.py')})"]


def test_other_errors_of_the_heavy_core_are_not_retried(tmp_path):
    pkg = copy_package(tmp_path)
    heavy_dir = os.path.join(pkg, "architectures", "heavy_core")
    counter = tmp_path / "runs.txt"
    fake_module(heavy_dir, "heavy_core", f"open({str(counter)!r}, 'a').write('run\\n')\n"
                                         "raise RuntimeError('broken heavy core')\n")
    result = run_python(f"import {MODEL}", [str(tmp_path)])
    assert result.returncode != 0
    assert result.stderr.strip().splitlines()[-1] == "RuntimeError: broken heavy core"
    assert counter.read_text() == "run\n"


def test_lazy_import_failing_both_ways(tmp_path):
    pkg = copy_package(tmp_path)
    core_dir = os.path.join(pkg, "architectures", "fortress_core")
    fake_module(core_dir, "fortress_core", "OTHER = 1\n")
    result = run(tmp_path, f'''
import json
import {MODEL} as km
config = km.KestrelModelConfig(vocab_size=5, d_model=8, d_state=8, n_layers=1, morva_variant="fu")
try:
    km.KestrelCausalLM(config)
except ImportError as e:
    print(json.dumps([str(e), type(e.__context__).__name__]))
''')
    message, context = json.loads(result.stdout)
    assert message == ("cannot import name 'FortressFUCore' from "
                       f"'silver_kestrel.architectures.fortress_core.fortress_core' "
                       f"({os.path.join(core_dir, 'fortress_core.py')})")
    assert context == "ImportError"

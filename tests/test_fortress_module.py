import json
import logging
import os

import pytest

from silver_kestrel.architectures.heavy_core import fortress_engine as fe
from silver_kestrel.architectures.heavy_core import split_engine as se
from support import EXT_SUFFIX, ROOT, copy_package, run_python

HEAVY = "silver_kestrel.architectures.heavy_core.fortress_engine"
LITE = "silver_kestrel.architectures.lite_core.fortress_engine"
SPLIT_NAMES = ["WarEngineTevZOZU_V32", "InferenceEngineTevZOZU_V32", "ListeningIntegratorV32", "TevUnifiedConfig"]
FRAME = ["dataclass", "Dict", "List", "Optional", "Tuple", "math", "torch", "nn", "F", "logging", "logger"]
DEFINED = ["EngramMetadata", "FortressUnbrokenConfig", "FortressUnbrokenMemory", "WarEngineTevZOZU_V722_FU",
           "_print_banner"]


def test_both_import_paths_give_the_same_module():
    from silver_kestrel.architectures.lite_core import fortress_engine as lite
    assert lite is fe
    for name in DEFINED + SPLIT_NAMES:
        assert getattr(lite, name) is getattr(fe, name)
    assert fe.FortressUnbrokenMemory.__module__ == fe.__name__ == fe.logger.name


def test_frame():
    assert fe.logger is logging.getLogger(fe.__name__)
    assert fe.logger.handlers == [] and fe.logger.level == logging.NOTSET
    for name in SPLIT_NAMES:
        assert getattr(fe, name) is getattr(se, name)
    assert fe.List.__module__ == "typing" and fe.F.__name__ == "torch.nn.functional"
    doc = fe.__doc__.lower()
    for topic in ("running mean", "one global pressure", "rate limited"):
        assert topic in doc


# One fresh interpreter per scenario, on a copy of the built tree.
FAKE_SPLIT = '''
import builtins
builtins.split_loads = getattr(builtins, "split_loads", 0) + 1
{body}
'''
COMPLETE = "\n".join(f"class {n}: marker = 'fake'" for n in SPLIT_NAMES)
WITHOUT_CONFIG = "\n".join(f"class {n}: marker = 'fake'" for n in SPLIT_NAMES[:3])
BROKEN = "raise RuntimeError('broken split engine')"

PROBE = '''
import builtins, importlib.util, json, os, sys
before = list(sys.path)
spec = importlib.util.find_spec({target!r})
fe = importlib.util.module_from_spec(spec)
result = {{}}
try:
    spec.loader.exec_module(fe)
except BaseException as e:
    result["error"] = [type(e).__name__, str(e)]
else:
    result["marker"] = getattr(fe.TevUnifiedConfig, "marker", None)
    result["split_file"] = os.path.basename(sys.modules["split_engine"].__file__)
result["names"] = [n for n in vars(fe) if not n.startswith("__")]
added = len(sys.path) - len(before)
result["added"] = sys.path[:added] if sys.path[added:] == before else "changed"
result["loads"] = getattr(builtins, "split_loads", 0)
print(json.dumps(result))
'''


def write_fake(directory, body):
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, "split_engine.py"), "w") as f:
        f.write(FAKE_SPLIT.format(body=body))


def remove_real_split_engine(pkg):
    for core in ("heavy_core", "lite_core"):
        os.remove(os.path.join(pkg, "architectures", core, "split_engine" + EXT_SUFFIX))


@pytest.mark.parametrize("scenario", ["on_path", "beside_heavy", "beside_lite", "fake_beside", "nowhere",
                                      "missing_name", "other_error"])
def test_split_engine_import_and_fallback(tmp_path, scenario):
    pkg = copy_package(tmp_path)
    heavy = os.path.join(pkg, "architectures", "heavy_core")
    lite = os.path.join(pkg, "architectures", "lite_core")
    path = [str(tmp_path)]
    fakes = str(tmp_path / "fakes")
    if scenario in ("on_path", "missing_name", "other_error"):
        body = {"on_path": COMPLETE, "missing_name": WITHOUT_CONFIG, "other_error": BROKEN}[scenario]
        write_fake(fakes, body)
        path.append(fakes)
    if scenario in ("fake_beside", "nowhere"):
        remove_real_split_engine(pkg)
    if scenario == "fake_beside":
        write_fake(heavy, COMPLETE)
    target = LITE if scenario == "beside_lite" else HEAVY
    result = run_python(PROBE.format(target=target), path)
    assert result.returncode == 0, result.stderr
    got = json.loads(result.stdout)
    fallback = FRAME + ["sys", "os"] + SPLIT_NAMES + DEFINED
    if scenario == "on_path":
        assert got["names"] == FRAME + SPLIT_NAMES + DEFINED
        assert (got["added"], got["marker"], got["loads"]) == ([], "fake", 1)
    elif scenario in ("beside_heavy", "beside_lite"):
        assert got["names"] == fallback and got["marker"] is None
        assert got["added"] == [heavy if scenario == "beside_heavy" else lite]
        assert got["split_file"] == "split_engine" + EXT_SUFFIX
    elif scenario == "fake_beside":
        assert got["names"] == fallback and got["added"] == [heavy]
        assert (got["marker"], got["split_file"], got["loads"]) == ("fake", "split_engine.py", 1)
    elif scenario == "nowhere":
        assert got["error"] == ["ModuleNotFoundError", "No module named 'split_engine'"]
        assert got["added"] == [heavy] and got["names"] == FRAME + ["sys", "os"]
    elif scenario == "missing_name":
        # The second attempt meets the module already loaded and fails the same way; the three
        # names bound before the missing one stay bound.
        name, message = got["error"]
        assert name == "ImportError"
        assert message.startswith("cannot import name 'TevUnifiedConfig' from 'split_engine' (")
        assert got["names"] == FRAME + SPLIT_NAMES[:3] + ["sys", "os"]
        assert (got["added"], got["loads"]) == ([heavy], 1)
    else:
        assert got["error"] == ["RuntimeError", "broken split engine"]
        assert got["added"] == [] and got["names"] == FRAME


def test_import_once_per_process_and_silent(tmp_path):
    pkg = copy_package(tmp_path)
    result = run_python(f'''
        import importlib, logging, sys
        logging.basicConfig(level=logging.DEBUG)
        heavy = importlib.import_module({HEAVY!r})
        lite = importlib.import_module({LITE!r})
        del sys.modules[{HEAVY!r}], sys.modules[{LITE!r}]
        again = importlib.import_module({LITE!r})
        assert heavy is lite is again, "one module"
        assert sys.path.count({os.path.join(pkg, "architectures", "heavy_core")!r}) == 1, sys.path
    ''', [str(tmp_path)])
    assert result.returncode == 0, result.stderr
    assert result.stdout == "" and result.stderr == ""


def test_banner_launcher():
    launcher = os.path.join(ROOT, "silver_kestrel", "architectures", "heavy_core", "fortress_engine_main.py")
    with open(launcher) as f:
        assert len(f.read().splitlines()) == 1
    result = run_python("import runpy; runpy.run_module('silver_kestrel.architectures.heavy_core.fortress_engine_main',"
                        " run_name='__main__')", [ROOT])
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 46 and lines[0] == lines[-1] == "=" * 80
    assert all(len(line) <= 80 for line in lines)

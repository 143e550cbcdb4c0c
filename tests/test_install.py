"""The package installed by pip into a folder of its own works away from the checkout."""
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

RUN = textwrap.dedent("""
    import sys
    sys.path.insert(0, sys.argv[1])
    import torch
    from silver_kestrel.kestrel_model import create_kestrel_model
    from silver_kestrel.architectures.heavy_core import fortress_engine as heavy
    from silver_kestrel.architectures.lite_core import fortress_engine as lite
    import silver_kestrel
    assert silver_kestrel.__file__.startswith(sys.argv[1]), silver_kestrel.__file__
    assert not any(p.startswith(sys.argv[2]) for p in sys.path if p), sys.path
    assert lite is heavy
    torch.manual_seed(0)
    model = create_kestrel_model(vocab_size=11, d_model=8, d_state=8, n_layers=1, morva_variant="fu")
    ids = torch.randint(0, 11, (2, 5))
    out = model(ids, labels=ids)
    out["loss"].backward()
    print(tuple(out["logits"].shape), bool(torch.isfinite(out["loss"])))
""")


def pip_available():
    return subprocess.run([sys.executable, "-m", "pip", "--version"], capture_output=True).returncode == 0


@pytest.mark.skipif(not pip_available(), reason="pip is not installed")
def test_pip_install_into_a_folder_runs_a_tiny_model(tmp_path):
    target = tmp_path / "site"
    env = dict(os.environ)
    if shutil.which("ccache") and "CMAKE_CXX_COMPILER_LAUNCHER" not in env:
        env["CMAKE_CXX_COMPILER_LAUNCHER"] = "ccache"
    env.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", "3")
    subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--no-build-isolation", "--no-deps",
                    "--no-index", "--target", str(target), ROOT], check=True, cwd=ROOT, env=env)

    installed = target / "silver_kestrel"
    assert (installed / "py.typed").is_file()
    assert (installed / "kestrel_model.pyi").is_file()
    modules = sorted(p for p in installed.rglob("*.so"))
    assert not any(p.is_symlink() for p in modules)
    if shutil.which("readelf"):
        for p in modules:
            dynamic = subprocess.run(["readelf", "-d", str(p)], capture_output=True, text=True, check=True).stdout
            paths = [line.split("[", 1)[1].rstrip("]") for line in dynamic.splitlines() if "RUNPATH" in line or "RPATH" in line]
            assert all(entry.startswith("$ORIGIN") for path in paths for entry in path.split(":")), (p, paths)

    # Moved after installation: nothing points back to where it was built.
    moved = tmp_path / "moved"
    shutil.move(str(target), str(moved))
    work = tmp_path / "elsewhere"
    work.mkdir()
    result = subprocess.run([sys.executable, "-I", "-c", RUN, str(moved), ROOT], cwd=work,
                            capture_output=True, text=True, env={"PATH": os.environ.get("PATH", "")})
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["(2,", "5,", "11)", "True"]

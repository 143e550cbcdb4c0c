from silver_kestrel.architectures.heavy_core.heavy_core import _run_demonstration; _run_demonstration()

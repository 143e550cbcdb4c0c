from silver_kestrel.architectures.heavy_core.fortress_engine import _print_banner; _print_banner()

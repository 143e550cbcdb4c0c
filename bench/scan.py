"""Forward + backward of the fused gated scan against the per-timestep ATen reference.

Prints the time of each, measured in the same run, their ratio, and the ratio of the fused
kernel to a plain copy of the same tensors (the time to read and write the bytes once).

    /usr/bin/python3 bench/scan.py [--batch 8] [--length 1024] [--width 256] [--threads N]
"""
import argparse
import os
import sys
import time

import torch

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))


def best_of(fn, repeats):
    fn()  # warm up
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--batch", type=int, default=8)
    parser.add_argument("--length", type=int, default=1024)
    parser.add_argument("--width", type=int, default=256)
    parser.add_argument("--repeats", type=int, default=10)
    parser.add_argument("--threads", type=int, default=None,
                        help="torch's intra-op thread count (default: torch's own choice)")
    args = parser.parse_args()
    if args.threads is not None:
        torch.set_num_threads(args.threads)
    # Registers the kernels.
    import silver_kestrel.architectures.unified_engine_pkg.unified_engine  # noqa: F401
    B, T, S = args.batch, args.length, args.width

    torch.manual_seed(0)
    delta = torch.randn(B, T, S, requires_grad=True)
    gate = torch.rand(B, T, S, requires_grad=True)
    start = torch.randn(B, S, requires_grad=True)
    retention = torch.tensor(0.9, requires_grad=True)
    grad = torch.randn(B, T, S)
    leaves = (delta, gate, start, retention)

    def run(op):
        def once():
            for t in leaves:
                t.grad = None
            op(*leaves).backward(grad)
        return once

    fused = best_of(run(torch.ops.kestrel.gated_scan), args.repeats)
    reference = best_of(run(torch.ops.kestrel.gated_scan_reference), max(2, args.repeats // 4))

    # The least a fused forward + backward must move: the forward reads delta and gate and writes
    # sigma, the backward reads the incoming gradient, delta, gate and sigma and writes two
    # gradients; nine passes over a [B, T, S] tensor. Five copies make ten.
    srcs = [torch.randn(B, T, S) for _ in range(3)]
    dsts = [torch.empty(B, T, S) for _ in range(3)]

    def copy():
        for s, d in zip(srcs + srcs[:2], dsts + dsts[:2]):
            d.copy_(s)

    copied = best_of(copy, args.repeats)

    print(f"gated scan B={B} T={T} S={S} float32, {torch.get_num_threads()} threads")
    print(f"  fused forward+backward      {fused * 1e3:9.2f} ms")
    print(f"  ATen reference (per step)   {reference * 1e3:9.2f} ms")
    print(f"  copy of the same bytes      {copied * 1e3:9.2f} ms")
    print(f"  reference / fused           {reference / fused:9.1f}x   (target >= 20)")
    print(f"  fused / copy                {fused / copied:9.2f}x   (target <= 3)")


if __name__ == "__main__":
    main()

"""Forward + backward of the causal linear attention kernel against its ATen reference.

Prints, measured in the same run: the time of the kernel and of the reference, their ratio, and
the kernel's arithmetic rate against a plain matrix product of the same FLOPs (the speed the
kernel can hope for). The arguments are the bridge's shapes: [B, L, H, d] features.

    /usr/bin/python3 bench/linear_attention.py [--batch 4] [--length 512] [--heads 8] [--dim 32] [--threads N]
"""
import argparse
import os
import sys
import time

import torch

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from silver_kestrel.architectures.heavy_core import heavy_core  # noqa: E402,F401

CHUNK = 64


def best_of(fn, repeats):
    fn()  # warm up
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def kernel_flops(B, L, H, d, e):
    """Multiply-adds of the chunked computation, forward and backward, counted from the shapes."""
    C = min(CHUNK, L)
    n = (L + C - 1) // C
    w = e + 1
    per_chunk_fwd = C * C * d + C * C * w + d * w * C + C * d * w  # scores, local, summary, read-out
    per_chunk_bwd = 2 * per_chunk_fwd + C * C * w + C * d * w * 2  # each product's two gradients
    return 2 * B * H * n * (per_chunk_fwd + per_chunk_bwd)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--batch", type=int, default=4)
    parser.add_argument("--length", type=int, default=512)
    parser.add_argument("--heads", type=int, default=8)
    parser.add_argument("--dim", type=int, default=32)
    parser.add_argument("--threads", type=int, default=0, help="intra-op threads (default: torch's)")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    if args.threads:
        torch.set_num_threads(args.threads)
    B, L, H, d = args.batch, args.length, args.heads, args.dim
    e = d

    torch.manual_seed(0)
    q = torch.rand(B, L, H, d, requires_grad=True)
    k = torch.rand(B, L, H, d, requires_grad=True)
    v = torch.randn(B, L, H, e, requires_grad=True)
    grad = torch.randn(B, L, H, e)

    def run(op):
        def once():
            for t in (q, k, v):
                t.grad = None
            op(q, k, v).backward(grad)
        return once

    kernel = best_of(run(torch.ops.kestrel.linear_attention), args.repeats)
    reference = best_of(run(torch.ops.kestrel.linear_attention_reference), args.repeats)
    flops = kernel_flops(B, L, H, d, e)
    side = 512
    a, b = torch.randn(side, side), torch.randn(side, side)
    mm = best_of(lambda: torch.mm(a, b), args.repeats * 4)
    mm_rate = 2 * side ** 3 / mm
    print(f"threads {torch.get_num_threads()}  B {B} L {L} H {H} d {d}")
    print(f"kernel    {kernel * 1e3:9.2f} ms  {flops / kernel / 1e9:7.2f} GFLOP/s")
    print(f"reference {reference * 1e3:9.2f} ms")
    print(f"kernel / reference time: {kernel / reference:.3f}")
    print(f"kernel rate / matmul rate ({mm_rate / 1e9:.1f} GFLOP/s): {flops / kernel / mm_rate:.3f}")


if __name__ == "__main__":
    main()

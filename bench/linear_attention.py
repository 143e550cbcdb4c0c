"""Forward + backward of the causal linear attention kernel against its ATen reference.

Prints, measured in the same run: the time of the kernel and of the reference, their ratio, and
the kernel's arithmetic rate against a plain matrix product (the speed the kernel can hope for),
forwards and backwards apart. The kernel sweeps each head's running key-value summary, so its
FLOPs are counted per position from the summary's shape. The arguments are the bridge's shapes:
[B, L, H, d] features.

    /usr/bin/python3 bench/linear_attention.py [--batch 4] [--length 512] [--heads 8] [--dim 32] [--threads N]
"""
import argparse
import os
import sys
import time

import torch

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from silver_kestrel.architectures.heavy_core import heavy_core  # noqa: E402,F401

def best_of(fn, repeats):
    fn()  # warm up
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def kernel_flops(B, L, H, d, e):
    """FLOPs (forward, backward) of the running-summary kernel, counted from the shapes."""
    forward = 2 * d * e + 2 * d  # summary update and read-out; key sum and denominator
    backward = (2 * d * e + 2 * d + 2 * e) + (3 * d * e + d + 2 * e)  # forward sweep (dq), reverse sweep (dk, dv)
    return 2 * B * L * H * forward, 2 * B * L * H * backward


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

    op = torch.ops.kestrel
    with torch.no_grad():
        out = op.linear_attention(q, k, v)
        forward = best_of(lambda: op.linear_attention(q, k, v), args.repeats)
        backward = best_of(lambda: op._linear_attention_backward(grad, q, k, v, out), args.repeats)
    kernel = best_of(run(op.linear_attention), args.repeats)
    reference = best_of(run(op.linear_attention_reference), args.repeats)
    flops_fwd, flops_bwd = kernel_flops(B, L, H, d, e)
    side = 512
    a, b = torch.randn(side, side), torch.randn(side, side)
    mm = best_of(lambda: torch.mm(a, b), args.repeats * 4)
    mm_rate = 2 * side ** 3 / mm
    rate = (flops_fwd + flops_bwd) / kernel
    print(f"threads {torch.get_num_threads()}  B {B} L {L} H {H} d {d}")
    print(f"kernel forward  {forward * 1e3:9.2f} ms  {flops_fwd / forward / 1e9:7.2f} GFLOP/s")
    print(f"kernel backward {backward * 1e3:9.2f} ms  {flops_bwd / backward / 1e9:7.2f} GFLOP/s")
    print(f"kernel (autograd, forward + backward) {kernel * 1e3:9.2f} ms  {rate / 1e9:7.2f} GFLOP/s")
    print(f"reference (autograd, forward + backward) {reference * 1e3:9.2f} ms")
    print(f"kernel / reference time: {kernel / reference:.4f}")
    print(f"kernel rate / matmul rate ({mm_rate / 1e9:.1f} GFLOP/s): {rate / mm_rate:.3f}")


if __name__ == "__main__":
    main()

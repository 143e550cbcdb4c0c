"""Times the heavy core's kernels against their ATen references in the same run.

    PYTHONPATH=. /usr/bin/python3 bench/bench_heavy.py [--threads N]
"""
import argparse
import time

import torch

ops = torch.ops.kestrel


def timed(fn, repeats=3):
    fn()
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def forward_backward(op, *inputs):
    def run():
        for t in inputs:
            t.grad = None
        op(*inputs).sum().backward()
    return run


def compare(title, fast, slow):
    a, b = timed(fast), timed(slow)
    print(f"{title:<48} kernel {a * 1e3:8.1f} ms   reference {b * 1e3:8.1f} ms   x{b / a:5.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=None,
                        help="torch's intra-op thread count (default: torch's own choice)")
    args = parser.parse_args()
    if args.threads is not None:
        torch.set_num_threads(args.threads)
    # Registers the kernels.
    from silver_kestrel.architectures.heavy_core import fortress_engine  # noqa: F401
    print(f"{torch.get_num_threads()} threads")
    torch.manual_seed(0)
    for B, H, L, E in [(2, 8, 1024, 64), (1, 8, 4096, 64)]:
        q, k, v = (torch.randn(B, H, L, E, requires_grad=True) for _ in range(3))
        with torch.no_grad():
            compare(f"causal attention fwd B={B} H={H} L={L} E={E}",
                    lambda: ops.causal_attention(q, k, v, 0.125),
                    lambda: ops.causal_attention_reference(q, k, v, 0.125))
        compare(f"causal attention fwd+bwd B={B} H={H} L={L} E={E}",
                forward_backward(lambda *a: ops.causal_attention(*a, 0.125), q, k, v),
                forward_backward(lambda *a: ops.causal_attention_reference(*a, 0.125), q, k, v))
    B, L, H, d = 4, 2048, 8, 64
    q, k, v = (torch.rand(B, L, H, d, requires_grad=True) for _ in range(3))
    compare(f"linear attention fwd+bwd B={B} L={L} H={H} d={d}",
            forward_backward(ops.linear_attention, q, k, v),
            forward_backward(ops.linear_attention_reference, q, k, v))
    fast, slow = torch.randn(8, 1024, 1024), torch.randn(8, 1024, 1024)
    compare("symmetric KL fwd [8, 1024, 1024]", lambda: ops.symmetric_kl(fast, slow, 2.0),
            lambda: ops.symmetric_kl_reference(fast, slow, 2.0))


if __name__ == "__main__":
    main()

"""Train a small Kestrel causal language model on a bundled text, one byte per token.

The model comes from `create_kestrel_model` (the heavy core by default; `--variant` picks another
core). Every few steps the program prints the training loss and what the fortress memories report:
their global pressure, how many engrams they hold and the reason of their latest promotion
decision.

    /usr/bin/python3 examples/train_tiny.py                  # about two minutes at most
    /usr/bin/python3 examples/train_tiny.py --variant lite --steps 50
    /usr/bin/python3 examples/train_tiny.py --tiny           # a few steps at tiny sizes
"""
import argparse
import ctypes
import math
import os
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_DATA = os.path.join(ROOT, "examples", "data", "kestrel_notes.txt")
VOCAB_SIZE = 256  # byte-level tokens

if __name__ == "__main__":
    sys.path.insert(0, ROOT)  # run from a checkout: the package sits beside examples/
    # Idle OpenMP workers sleep rather than spin, unless the environment chooses: a spinning team
    # on a shared machine waits for descheduled members at every parallel region. Read when torch
    # loads its OpenMP runtime, so set before the import.
    os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

import torch  # noqa: E402

from silver_kestrel.kestrel_model import create_kestrel_model  # noqa: E402
from silver_kestrel.architectures.heavy_core.fortress_engine import FortressUnbrokenMemory  # noqa: E402

TINY = {"d_model": 16, "n_layers": 1, "batch": 2, "seq_len": 16, "steps": 3, "log_every": 1}


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--variant", default="heavy",
                   help="core of the model: heavy, lite, fu, fu-64, ... (default: heavy)")
    p.add_argument("--data", default=DEFAULT_DATA, help="text file to learn (default: the bundled notes)")
    p.add_argument("--d-model", type=int, default=128, help="model and state width (default: 128)")
    p.add_argument("--n-layers", type=int, default=2, help="layer count of the model record (default: 2)")
    p.add_argument("--batch", type=int, default=8, help="sequences per step (default: 8)")
    p.add_argument("--seq-len", type=int, default=128, help="bytes per sequence (default: 128)")
    p.add_argument("--steps", type=int, default=1500, help="most training steps (default: 1500)")
    p.add_argument("--max-seconds", type=float, default=110.0,
                   help="stop after this much training time (default: 110)")
    p.add_argument("--lr", type=float, default=1e-3, help="peak learning rate of AdamW (default: 1e-3)")
    p.add_argument("--warmup", type=int, default=50,
                   help="steps of linear learning-rate warm-up (default: 50)")
    p.add_argument("--log-every", type=int, default=100, help="report every this many steps (default: 100)")
    p.add_argument("--seed", type=int, default=0, help="random seed (default: 0)")
    p.add_argument("--threads", type=int, default=None,
                   help="compute threads, for torch and the BLAS library alike (default: torch's count)")
    p.add_argument("--tiny", action="store_true",
                   help="smoke run: width 16, one layer, batches of 2 x 16 bytes, 3 steps")
    args = p.parse_args(argv)
    if args.tiny:
        for name, value in TINY.items():
            setattr(args, name, value)
    for name in ("d_model", "batch", "seq_len", "log_every") + (("threads",) if args.threads is not None else ()):
        if getattr(args, name) < 1:
            p.error(f"--{name.replace('_', '-')} must be at least 1")
    if args.seq_len < 2:
        p.error("--seq-len must be at least 2: the loss scores each byte against the next")
    return args


def load_bytes(path, seq_len):
    with open(path, "rb") as f:
        data = torch.tensor(list(f.read()), dtype=torch.long)
    if data.numel() < seq_len:
        raise SystemExit(f"{path}: {data.numel()} bytes, fewer than one sequence of {seq_len}")
    return data


def sample_batch(data, batch, seq_len, generator):
    starts = torch.randint(0, data.numel() - seq_len + 1, (batch,), generator=generator)
    return torch.stack([data[s:s + seq_len] for s in starts.tolist()])


def fortresses(model):
    """The model's fortress memories with their names, each once (a shared block counts once)."""
    return [(name, m) for name, m in model.named_modules() if isinstance(m, FortressUnbrokenMemory)]


def fortress_report(model, diagnostics):
    parts = []
    mode = diagnostics.get("mode") if isinstance(diagnostics, dict) else None
    if mode is not None:
        parts.append(f"mode {mode}")
    for name, fortress in fortresses(model):
        parts.append(f"{name}: pressure {float(fortress.global_pressure):.4f}, "
                     f"engrams {len(fortress.engram_stack)}, promotion {fortress.last_promotion_reason()}")
    return " | ".join(parts) if parts else "no fortress in this core"


def set_threads(count):
    """One thread count for torch's team and OpenBLAS's pool (when torch uses OpenBLAS): two pools of
    different sizes oversubscribe the cores as soon as elementwise work and matrix products alternate."""
    torch.set_num_threads(count)
    for name in ("libblas.so.3", "libopenblas.so.0"):
        try:
            blas = ctypes.CDLL(name, mode=getattr(os, "RTLD_NOLOAD", 0))
        except OSError:
            continue
        if hasattr(blas, "openblas_set_num_threads"):
            blas.openblas_set_num_threads(count)
            return blas.openblas_get_num_threads()
    return None


def main(argv=None):
    args = parse_args(argv)
    threads = args.threads or torch.get_num_threads()
    blas_threads = set_threads(threads)
    torch.manual_seed(args.seed)
    data = load_bytes(args.data, args.seq_len)
    model = create_kestrel_model(vocab_size=VOCAB_SIZE, d_model=args.d_model, d_state=args.d_model,
                                 n_layers=args.n_layers, morva_variant=args.variant)
    model.train()
    parameters = [p for p in model.parameters() if p.requires_grad]
    optimizer = torch.optim.AdamW(parameters, lr=args.lr)
    # A gentle start: the recurrent blocks' gates are not squashed, and large early updates can
    # send the states far out before the fortress pressure has settled.
    warmup = max(args.warmup, 1)
    schedule = torch.optim.lr_scheduler.LambdaLR(optimizer, lambda i: min(1.0, (i + 1) / warmup))
    generator = torch.Generator().manual_seed(args.seed)

    n_params = sum(p.numel() for p in parameters)
    print(f"variant {args.variant!r}: core {type(model.core).__name__}, {n_params} trainable parameters, "
          f"{len(fortresses(model))} fortress memories")
    print(f"data {os.path.basename(args.data)}: {data.numel()} bytes; batches of {args.batch} x {args.seq_len} "
          f"bytes; at most {args.steps} steps or {args.max_seconds:g} s")
    print(f"threads: torch {torch.get_num_threads()}, OpenBLAS {blas_threads if blas_threads else 'not in use'}; "
          f"OMP_WAIT_POLICY {os.environ.get('OMP_WAIT_POLICY', 'unset')}")
    print(f"uniform guess: loss {math.log(VOCAB_SIZE):.4f}")

    losses = []
    start = time.perf_counter()
    step = 0
    for step in range(1, args.steps + 1):
        ids = sample_batch(data, args.batch, args.seq_len, generator)
        out = model(ids, labels=ids)
        loss = out["loss"]
        optimizer.zero_grad(set_to_none=True)
        loss.backward()
        torch.nn.utils.clip_grad_norm_(parameters, 1.0)
        optimizer.step()
        schedule.step()
        losses.append(loss.item())
        elapsed = time.perf_counter() - start
        last = step == args.steps or elapsed >= args.max_seconds
        if step % args.log_every == 0 or step == 1 or last:
            window = losses[-args.log_every:]
            print(f"step {step:5d}  loss {losses[-1]:.4f}  (mean of last {len(window)}: "
                  f"{sum(window) / len(window):.4f})  {elapsed:6.1f} s  | {fortress_report(model, out['morva'])}")
        if last:
            break

    head = losses[:min(10, len(losses))]
    tail = losses[-min(10, len(losses)):]
    print(f"done: {step} steps in {time.perf_counter() - start:.1f} s; mean loss of the first steps "
          f"{sum(head) / len(head):.4f}, of the last steps {sum(tail) / len(tail):.4f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Forgetting: how much a byte-level model loses on text A once it has learnt text B.

Each run trains a fresh model on text A for --steps steps, then on text B for --steps steps, and
reports the held-out loss on A before and after B, the held-out loss on B after it, and the engrams
the fortress memories promoted, with the reason of each promotion. Three settings per variant:

  defaults    the fortress settings the model is built with;
  promoting   settings under which engrams do get promoted within the run (tau_stable_steps 32,
              calm_window_steps 0, cov_samples_min 8);
  control     the same, with the gradient projection neutralised: the hooks still run and keep
              their bookkeeping (age, usage, conflict), but return the gradient unchanged.

Text A is the GPL-3 licence text and text B C headers from /usr/include (--text-a and --text-b
name others; without the headers B is the bundled notes). The last tenth of each text is held out
and scored on fixed chunks, on a copy of the model, so evaluation changes nothing the training sees.

    /usr/bin/python3 bench/forgetting.py                  # about five minutes
    /usr/bin/python3 bench/forgetting.py --steps 300 --variants fu
    /usr/bin/python3 bench/forgetting.py --quick          # a smoke run of a few seconds
"""
import argparse
import copy
import glob
import logging
import math
import os
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if __name__ in ("__main__", "__mp_main__"):  # run from a checkout, here and in the worker processes
    sys.path.insert(0, ROOT)

import torch  # noqa: E402

from silver_kestrel.kestrel_model import create_kestrel_model  # noqa: E402
from silver_kestrel.architectures.heavy_core.fortress_engine import FortressUnbrokenMemory  # noqa: E402

VOCAB_SIZE = 256
NOTES = os.path.join(ROOT, "examples", "data", "kestrel_notes.txt")
LICENCE = "/usr/share/common-licenses/GPL-3"
PROMOTING = {"tau_stable_steps": 32, "calm_window_steps": 0, "cov_samples_min": 8}
SETTINGS = ("defaults", "promoting", "control")
QUICK = {"steps": 6, "d_model": 16, "batch": 2, "seq_len": 16, "eval_chunks": 2, "variants": "fu,heavy", "jobs": 1}


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--steps", type=int, default=500, help="training steps on each text (default: 500)")
    p.add_argument("--variants", default="fu,heavy", help="comma-separated model variants (default: fu,heavy)")
    p.add_argument("--settings", default=",".join(SETTINGS), help="comma-separated subset of " + ", ".join(SETTINGS))
    p.add_argument("--d-model", type=int, default=128, help="model and state width (default: 128)")
    p.add_argument("--batch", type=int, default=8, help="sequences per step (default: 8)")
    p.add_argument("--seq-len", type=int, default=64, help="bytes per sequence (default: 64)")
    p.add_argument("--lr", type=float, default=1e-3, help="learning rate of AdamW (default: 1e-3)")
    p.add_argument("--eval-chunks", type=int, default=16, help="held-out chunks scored per text (default: 16)")
    p.add_argument("--threads", type=int, default=1, help="intra-op threads of each run (default: 1)")
    p.add_argument("--jobs", type=int, default=3,
                   help="runs at a time, each in its own process (default: 3; 1 runs them here, in turn)")
    p.add_argument("--text-a", default=None, help=f"first text (default: {LICENCE})")
    p.add_argument("--text-b", default=None, help="second text (default: C headers from /usr/include)")
    p.add_argument("--seed", type=int, default=0, help="random seed (default: 0)")
    p.add_argument("--quick", action="store_true", help="smoke run: width 16, a few steps, tiny batches")
    args = p.parse_args(argv)
    if args.quick:
        for name, value in QUICK.items():
            setattr(args, name, value)
    args.variants = [v for v in args.variants.split(",") if v]
    args.settings = [s for s in args.settings.split(",") if s]
    for s in args.settings:
        if s not in SETTINGS:
            p.error(f"unknown setting {s!r}; choose from {', '.join(SETTINGS)}")
    for name in ("steps", "d_model", "batch", "eval_chunks", "threads", "jobs"):
        if getattr(args, name) < 1:
            p.error(f"--{name.replace('_', '-')} must be at least 1")
    if args.seq_len < 2:
        p.error("--seq-len must be at least 2")
    # Scored in groups of the training batch: a model carries its state at that batch size.
    args.eval_chunks = -(-args.eval_chunks // args.batch) * args.batch
    return args


def read_bytes(paths, limit=None):
    data = bytearray()
    for path in paths:
        with open(path, "rb") as f:
            data += f.read()
        if limit is not None and len(data) >= limit:
            break
    return bytes(data[:limit] if limit else data)


def load_texts(args):
    if args.text_a:
        a_name, a = os.path.basename(args.text_a), read_bytes([args.text_a])
    elif os.path.exists(LICENCE):
        a_name, a = "GPL-3", read_bytes([LICENCE])
    else:
        a_name, a = "kestrel_notes.txt", read_bytes([NOTES])
    headers = sorted(glob.glob("/usr/include/*.h"))
    if args.text_b:
        b_name, b = os.path.basename(args.text_b), read_bytes([args.text_b])
    elif headers:
        b_name, b = "/usr/include/*.h", read_bytes(headers, limit=len(a))
    else:
        b_name, b = "kestrel_notes.txt", read_bytes([NOTES])
    return [(a_name, split(a, args)), (b_name, split(b, args))]


def split(data, args):
    """(training bytes, held-out chunks [eval_chunks, seq_len]): the last tenth is held out."""
    t = torch.tensor(list(data), dtype=torch.long)
    cut = int(t.numel() * 0.9)
    train, held = t[:cut], t[cut:]
    need = args.seq_len
    if train.numel() < need or held.numel() < need:
        raise SystemExit(f"a text of {t.numel()} bytes is too short for sequences of {need}")
    starts = torch.linspace(0, held.numel() - need, args.eval_chunks).long().tolist()
    return train, torch.stack([held[s:s + need] for s in starts])


def fortresses(model):
    return [m for m in model.modules() if isinstance(m, FortressUnbrokenMemory)]


def watch_promotions(model, log, phase):
    """Records (phase, memory index, reason) of every promotion the memories decide."""
    for i, f in enumerate(fortresses(model)):
        decide = f.maybe_promote_to_deep_engram

        def wrapped(*a, _decide=decide, _i=i, **k):
            result = _decide(*a, **k)
            if result[0]:
                log.append((phase[0], _i, str(result[1])))
            return result

        f.maybe_promote_to_deep_engram = wrapped


def neutralise_projection(model):
    """The hooks run as before (their bookkeeping included) but hand back the gradient unchanged."""
    for f in fortresses(model):
        make = f.create_joint_basis_projection_hook

        def make_neutral(_make=make):
            hook = _make()

            def neutral(grad):
                hook(grad)
                return grad
            return neutral

        f.create_joint_basis_projection_hook = make_neutral


def build(variant, setting, args):
    torch.manual_seed(args.seed)
    model = create_kestrel_model(vocab_size=VOCAB_SIZE, d_model=args.d_model, d_state=args.d_model,
                                 n_layers=2, morva_variant=variant)
    if setting != "defaults":
        for f in fortresses(model):
            for name, value in PROMOTING.items():
                setattr(f, "_" + name, value)
    if setting == "control":
        neutralise_projection(model)
    return model


def held_out_loss(model, chunks, batch):
    """Mean next-byte loss on the held-out chunks, in groups of the training batch size, each scored
    by its own copy of the model in eval mode (so scoring changes nothing the training sees)."""
    losses = []
    for group in chunks.split(batch):
        scorer = copy.deepcopy(model)
        scorer.eval()
        with torch.no_grad():
            losses.append(float(scorer(group, labels=group)["loss"]) * group.shape[0])
    return sum(losses) / chunks.shape[0]


def train(model, optimizer, data, args, generator):
    parameters = [p for g in optimizer.param_groups for p in g["params"]]
    model.train()
    for _ in range(args.steps):
        starts = torch.randint(0, data.numel() - args.seq_len + 1, (args.batch,), generator=generator)
        ids = torch.stack([data[s:s + args.seq_len] for s in starts.tolist()])
        loss = model(ids, labels=ids)["loss"]
        optimizer.zero_grad(set_to_none=True)
        loss.backward()
        torch.nn.utils.clip_grad_norm_(parameters, 1.0)
        optimizer.step()


def run(variant, setting, texts, args):
    # The hooks log every strong attenuation; the table is the report.
    previous = logging.root.manager.disable
    logging.disable(logging.WARNING)
    try:
        return quiet_run(variant, setting, texts, args)
    finally:
        logging.disable(previous)


def quiet_run(variant, setting, texts, args):
    model = build(variant, setting, args)
    promotions, phase = [], ["A"]
    watch_promotions(model, promotions, phase)
    optimizer = torch.optim.AdamW([p for p in model.parameters() if p.requires_grad], lr=args.lr)
    generator = torch.Generator().manual_seed(args.seed)
    (_, (train_a, held_a)), (_, (train_b, held_b)) = texts
    start = time.perf_counter()
    train(model, optimizer, train_a, args, generator)
    a_before = held_out_loss(model, held_a, args.batch)
    b_before = held_out_loss(model, held_b, args.batch)
    phase[0] = "B"
    train(model, optimizer, train_b, args, generator)
    a_after = held_out_loss(model, held_a, args.batch)
    b_after = held_out_loss(model, held_b, args.batch)
    engrams = sum(len(f.engram_stack) for f in fortresses(model))
    return {"variant": variant, "setting": setting, "a_before": a_before, "a_after": a_after,
            "b_before": b_before, "b_after": b_after, "engrams": engrams, "promotions": promotions,
            "seconds": time.perf_counter() - start}


def reasons(promotions):
    counts = {}
    for phase, _, reason in promotions:
        key = f"{reason}@{phase}"
        counts[key] = counts.get(key, 0) + 1
    return ", ".join(f"{k} x{v}" for k, v in sorted(counts.items())) or "-"


def run_in_worker(job):
    variant, setting, args = job
    torch.set_num_threads(args.threads)
    return run(variant, setting, load_texts(args), args)


def row(r):
    return (f"{r['variant']:8s} {r['setting']:10s} {r['a_before']:6.3f} {r['a_after']:6.3f} "
            f"{r['a_after'] - r['a_before']:+7.3f} {r['b_before']:6.3f} {r['b_after']:6.3f} "
            f"{r['engrams']:7d} {r['seconds']:5.0f}s  {reasons(r['promotions'])}")


def main(argv=None):
    args = parse_args(argv)
    torch.set_num_threads(args.threads)
    texts = load_texts(args)
    (a_name, (a_train, _)), (b_name, (b_train, _)) = texts
    print(f"text A {a_name}: {a_train.numel()} training bytes; text B {b_name}: {b_train.numel()} training bytes")
    print(f"{args.steps} steps on each text, batches of {args.batch} x {args.seq_len} bytes, width {args.d_model}, "
          f"lr {args.lr:g}; {args.jobs} runs at a time, {args.threads} threads each; "
          f"uniform guess: loss {math.log(VOCAB_SIZE):.3f}")
    print("held-out loss: A after A, A after B (forgot: the difference), B after A, B after B; "
          "engrams held at the end; promotions as reason@phase x count", flush=True)
    jobs = [(v, s, args) for v in args.variants for s in args.settings]
    total = time.perf_counter()
    if args.jobs == 1:
        results = [run(v, s, texts, args) for v, s, _ in jobs]
    else:
        import multiprocessing
        # The slowest runs first, so that the last ones to start are short.
        order = sorted(range(len(jobs)), key=lambda i: jobs[i][0] == "fu")
        with multiprocessing.get_context("spawn").Pool(min(args.jobs, len(jobs))) as pool:
            done = pool.map(run_in_worker, [jobs[i] for i in order], chunksize=1)
        results = [None] * len(jobs)
        for i, r in zip(order, done):
            results[i] = r
    print(f"{'variant':8s} {'setting':10s} {'A|A':>6s} {'A|B':>6s} {'forgot':>7s} {'B|A':>6s} {'B|B':>6s} "
          f"{'engrams':>7s} {'time':>6s}  promotions")
    for r in results:
        print(row(r))
    print(f"total {time.perf_counter() - total:.0f} s")
    return results


if __name__ == "__main__":
    main()
    sys.exit(0)

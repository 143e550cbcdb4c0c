"""Training and inference speed of every Kestrel variant against plain-PyTorch baselines.

For each size (batch 8) and each thread count, every model trains on random byte tokens (forward,
backward, AdamW step) and runs inference (forward without gradients, eval mode). Printed per
model: trainable parameters, training tokens/s and ms per step with the ratio to the Transformer
of the same size, inference tokens/s and its ratio, the peak resident memory a training step and
an inference call add, and the model-FLOPs utilisation: FLOPs per token counted from the model's
shapes, divided by the float32 matrix-product throughput measured at the same thread count in the
same run.

FLOPs are the arithmetic the model needs: every matrix product (both runs of a shared block, the
radar's filter network, the bridge, the head; a product's backward costs two products when its
weight learns, one when it is frozen), causal attention over the (L + 1) / 2 keys a query sees on
average (linear attention: its running key-value summary), real FFTs at 2.5 N log2 N and the
recurrence at 4 per state element. Elementwise work, norms and softmaxes are not counted. Training
is counted as forward plus backward.

The baselines (bench/baselines.py) have the heavy model's parameter count: a causal Transformer
(one nn.TransformerEncoder layer, its feed-forward width matched), a GRU (its hidden width
matched) and the gated recurrence (one war engine block's arithmetic without the fortress, its
state width matched).

    /usr/bin/python3 bench/train_step.py                     # everything, 1 and 4 threads
    /usr/bin/python3 bench/train_step.py --sizes tiny,large --variants heavy,fu,transformer
    /usr/bin/python3 bench/train_step.py --threads 4 --sizes long
    /usr/bin/python3 bench/train_step.py --quick             # smoke run: seconds

The script sets the thread counts itself (torch's intra-op team and the OpenBLAS pool, to the same
count) and OMP_WAIT_POLICY=PASSIVE unless the environment sets a policy, and prints them with the
kernels OpenBLAS runs. Where OpenBLAS does not know the CPU and falls back to its generic Prescott
kernels although the CPU runs faster ones (AVX2, AVX-512), the script runs itself again with
OPENBLAS_CORETYPE set to those (Haswell, SkylakeX) and says so, unless the environment names a kernel
family or --system-blas is given: the generic kernels multiply matrices 4-5 times slower, and the
ratios would then mostly compare the models' FLOP counts. The machine is shared, so every time is
the minimum of several repeats, and the matrix-product throughput is the best of its measurements
before each size.

It also tells glibc to keep freed memory for every model alike (`mallopt`: no trimming of the
heap, blocks up to 32 MiB from the heap), so that a step reuses the pages the previous one
faulted in instead of faulting them again; `--system-malloc` keeps glibc's defaults, under which
the times of the long sizes depend on how many pages each step happens to fault.
"""
import argparse
import contextlib
import ctypes
import ctypes.util
import gc
import io
import math
import os
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

# Idle OpenMP workers sleep instead of spinning (unless the environment says otherwise): on a
# shared machine a spinning team waits whole scheduler slices for a descheduled member at every
# parallel region. Read once, when torch loads its OpenMP runtime, so it is set before the import.
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

import torch  # noqa: E402

from baselines import GatedRecurrenceLM, GRULM, TransformerLM  # noqa: E402
from silver_kestrel.kestrel_model import create_kestrel_model  # noqa: E402

VOCAB = 256
BATCH = 8
N_LAYERS = 2  # blocks of the stacked backbones; the dual-path and fortress-only cores have their own
SIZES = {  # name: (d_model, L)
    "tiny": (16, 16),
    "small": (128, 128),
    "large": (512, 512),
    "l256": (128, 256),
    "long": (128, 2048),
}
KESTREL = {  # variant: (morva_variant, cross_attn_mode)
    "heavy": ("heavy", "linear"),
    "heavy-quadratic": ("heavy", "quadratic"),
    "lite": ("lite", "linear"),
    "fu": ("fu", "linear"),
    "fu-64": ("fu-64", "linear"),
    "fu-64-bounded": ("fu-64-bounded", "linear"),
}
BASELINES = {"transformer": TransformerLM, "gru": GRULM, "gated": GatedRecurrenceLM}
VARIANTS = list(KESTREL) + list(BASELINES)


# ------------------------------------------------------------------------------------------------
# Threads

def _openblas():
    for name in ("libblas.so.3", "libopenblas.so.0", ctypes.util.find_library("openblas")):
        if not name:
            continue
        try:
            lib = ctypes.CDLL(name, mode=getattr(os, "RTLD_NOLOAD", 0) | ctypes.RTLD_GLOBAL)
        except OSError:
            continue
        if hasattr(lib, "openblas_set_num_threads"):
            return lib
    return None


BLAS = _openblas()
BLAS_FALLBACK = "KESTREL_BENCH_BLAS_FALLBACK"  # set in the environment of the re-run below


def set_threads(n):
    torch.set_num_threads(n)
    if BLAS is not None:
        BLAS.openblas_set_num_threads(n)


def blas_core():
    """The kernel family OpenBLAS picked for this CPU ("n/a" without OpenBLAS)."""
    if BLAS is None or not hasattr(BLAS, "openblas_get_corename"):
        return "n/a"
    BLAS.openblas_get_corename.restype = ctypes.c_char_p
    name = BLAS.openblas_get_corename()
    return name.decode(errors="replace") if name else "n/a"


def cpu_flags():
    """The CPU's feature flags as Linux lists them (empty where /proc/cpuinfo has none)."""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


AVX512 = {"avx512f", "avx512cd", "avx512bw", "avx512dq", "avx512vl"}


def better_core(core, flags):
    """The OpenBLAS kernels to ask for when OpenBLAS fell back to its generic Prescott ones on a CPU
    it does not know but that runs faster ones (None otherwise)."""
    if core.lower() != "prescott":
        return None
    if AVX512 <= flags:
        return "SkylakeX"
    if {"avx2", "fma"} <= flags:
        return "Haswell"
    return None


def blas_report():
    core = blas_core()
    fallback = os.environ.get(BLAS_FALLBACK)
    if fallback:
        return (f"OpenBLAS kernels {core}, set by the benchmark: OpenBLAS picked its generic {fallback} kernels "
                "for this CPU (--system-blas keeps them)")
    return f"OpenBLAS kernels {core}"


def thread_report():
    blas = BLAS.openblas_get_num_threads() if BLAS is not None else "n/a"
    env = " ".join(f"{k}={os.environ[k]}" for k in ("OMP_NUM_THREADS", "OMP_WAIT_POLICY", "OPENBLAS_NUM_THREADS",
                                                    "OPENBLAS_CORETYPE", "GOMP_SPINCOUNT") if k in os.environ)
    return (f"torch intra-op threads {torch.get_num_threads()}, inter-op {torch.get_num_interop_threads()}, "
            f"OpenBLAS threads {blas}, kernels {blas_core()}" + (f" ({env})" if env else ""))


# ------------------------------------------------------------------------------------------------
# Memory

M_TRIM_THRESHOLD, M_MMAP_THRESHOLD = -1, -3
MMAP_THRESHOLD_MAX = 32 << 20  # glibc's largest heap block on 64-bit


def keep_freed_memory():
    """Ask glibc to keep freed memory in the heap; a description of what was set, or why not."""
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c"))
        mallopt = libc.mallopt
    except (OSError, AttributeError, TypeError):
        return "glibc's defaults (no mallopt)"
    if mallopt(M_MMAP_THRESHOLD, MMAP_THRESHOLD_MAX) != 1 or mallopt(M_TRIM_THRESHOLD, 2 ** 31 - 1) != 1:
        return "glibc's defaults (mallopt refused)"
    return "freed memory kept (mallopt: mmap threshold 32 MiB, no trimming; --system-malloc for glibc's defaults)"


# The peak resident set a call adds, from the kernel's high-water mark reset before it

def _malloc_trim():
    try:
        ctypes.CDLL(ctypes.util.find_library("c")).malloc_trim(0)
    except (OSError, AttributeError):
        pass


def _status_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return None


def peak_added_mb(fn):
    gc.collect()
    _malloc_trim()
    start = _status_kb("VmRSS")
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        fn()
        return float("nan")
    fn()
    return (_status_kb("VmHWM") - start) / 1024.0


# ------------------------------------------------------------------------------------------------
# Timing

def best_time(fn, target, repeats, warmup):
    for _ in range(warmup):
        fn()
    start = time.perf_counter()
    fn()
    once = time.perf_counter() - start
    n = max(1, int(target / max(once, 1e-9)))
    best = once
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(n):
            fn()
        best = min(best, (time.perf_counter() - start) / n)
    return best


def matmul_gflops(n, repeats):
    a, b = torch.randn(n, n), torch.randn(n, n)
    t = best_time(lambda: torch.mm(a, b), 0.05, repeats, 1)
    return 2.0 * n ** 3 / t / 1e9


# ------------------------------------------------------------------------------------------------
# Models and their FLOPs per token

def fft_length(L):
    return 1 << (2 * L - 1).bit_length()


def block_flops(d, L):
    """One war engine block at d_model = d_state = d: (forward, training) FLOPs per token."""
    mm = 2 * d * d + 2 * (2 * d + 1) * d + 2 * d * d + 2 * d * d + 2 * d * d / L
    return 3 * mm + 3 * 4 * d, mm + 4 * d


def radar_flops(d, L, trainable):
    n = fft_length(L)
    fft = 2.5 * n * math.log2(n)
    per_sequence = d * (2 * fft + 6 * (n // 2 + 1)) / L     # rfft(x), product, irfft
    per_call = (d * fft + 2 * (64 + 64 * d) * L) / (BATCH * L)  # filter spectrum and its network
    return (2 * per_sequence + (3 if trainable else 1) * per_call), per_sequence + per_call


def bridge_flops(d, L, quadratic, n_heads=8):
    mm = 4 * 2 * d * d
    attn = 2 * 2 * d * (L + 1) / 2 if quadratic else 4 * d * (d // n_heads) + 4 * d
    return 3 * mm + 3 * attn, mm + attn


def kestrel_flops(variant, d, L):
    head = 2 * d * VOCAB
    train, fwd = 3 * head, head
    parts = []
    if variant in ("heavy", "heavy-quadratic", "lite"):
        parts = [block_flops(d, L), block_flops(d, L), radar_flops(d, L, variant == "lite"),
                 bridge_flops(d, L, variant == "heavy-quadratic")]
    elif variant == "fu":
        parts = [block_flops(d, L)]
    else:
        parts = [block_flops(d, L)] * N_LAYERS
    for t, f in parts:
        train, fwd = train + t, fwd + f
    return train, fwd


def baseline_flops(model, L):
    counts = model.forward_flops(L, BATCH, VOCAB)
    fwd = sum(counts.values())
    return 3 * fwd, fwd


def trainable(model):
    return sum(p.numel() for p in model.parameters() if p.requires_grad)


def matched_width(cls, d, target):
    """The width whose model has the parameter count nearest to target."""
    lo, hi = 1, 64 * d
    while lo < hi:
        mid = (lo + hi) // 2
        if trainable(cls(VOCAB, d, mid)) < target:
            lo = mid + 1
        else:
            hi = mid
    candidates = [w for w in (lo - 1, lo) if w >= 1]
    return min(candidates, key=lambda w: abs(trainable(cls(VOCAB, d, w)) - target))


def build(name, d, L, widths):
    torch.manual_seed(0)
    if name in KESTREL:
        variant, mode = KESTREL[name]
        with contextlib.redirect_stdout(io.StringIO()):  # construction banners
            model = create_kestrel_model(vocab_size=VOCAB, d_model=d, d_state=d, n_layers=N_LAYERS,
                                         cross_attn_mode=mode, morva_variant=variant)
        return model, kestrel_flops(name, d, L)
    model = BASELINES[name](VOCAB, d, widths[name])
    return model, baseline_flops(model, L)


# ------------------------------------------------------------------------------------------------
# One model at one size and thread count

def measure(model, d, L, target, repeats, warmup):
    gen = torch.Generator().manual_seed(1)
    ids = torch.randint(0, VOCAB, (BATCH, L), generator=gen)
    params = [p for p in model.parameters() if p.requires_grad]
    opt = torch.optim.AdamW(params, lr=1e-4)

    def train_step():
        opt.zero_grad(set_to_none=True)
        out = model(ids, labels=ids)
        out["loss"].backward()
        opt.step()

    def infer():
        with torch.no_grad():
            model(ids)

    model.train()
    t_train = best_time(train_step, target, repeats, warmup)
    mem_train = peak_added_mb(train_step)
    model.eval()
    t_infer = best_time(infer, target, repeats, warmup)
    mem_infer = peak_added_mb(infer)
    model.train()
    return t_train, t_infer, mem_train, mem_infer


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--threads", default="1,4", help="comma-separated thread counts (default: 1,4)")
    p.add_argument("--sizes", default=",".join(SIZES), help=f"comma-separated sizes of {', '.join(SIZES)}")
    p.add_argument("--variants", default=",".join(VARIANTS), help=f"comma-separated models of {', '.join(VARIANTS)}")
    p.add_argument("--repeats", type=int, default=3, help="timed repeats, the minimum kept (default: 3)")
    p.add_argument("--quick", action="store_true", help="smoke run: tiny size, one thread, one short repeat")
    p.add_argument("--system-malloc", action="store_true",
                   help="keep glibc's malloc defaults, which hand large freed blocks back to the kernel")
    p.add_argument("--system-blas", action="store_true",
                   help="keep the kernels OpenBLAS picks even where it falls back to its generic ones")
    args = p.parse_args(argv)
    core = None if args.system_blas or "OPENBLAS_CORETYPE" in os.environ else better_core(blas_core(), cpu_flags())
    if core is not None:
        # OpenBLAS reads its kernel choice once, when it is loaded: run again with it set.
        env = dict(os.environ, OPENBLAS_CORETYPE=core, **{BLAS_FALLBACK: blas_core()})
        argv = sys.argv[1:] if argv is None else list(argv)
        sys.stdout.flush()
        os.execve(sys.executable, [sys.executable, os.path.abspath(__file__)] + argv, env)
    if args.quick:
        args.threads, args.sizes, args.repeats = "1", "tiny", 1
    threads = [int(t) for t in args.threads.split(",") if t]
    sizes = [s for s in args.sizes.split(",") if s]
    names = [v for v in args.variants.split(",") if v]
    for s in sizes:
        if s not in SIZES:
            p.error(f"unknown size {s!r}")
    for v in names:
        if v not in VARIANTS:
            p.error(f"unknown variant {v!r}")
    if "transformer" not in names:
        names.append("transformer")  # the reference of every ratio
    target, warmup = (0.01, 1) if args.quick else (0.3, 2)
    malloc = "glibc's defaults" if args.system_malloc else keep_freed_memory()

    print(f"torch {torch.__version__}; {os.cpu_count()} CPUs; load average "
          + " ".join(f"{x:.2f}" for x in os.getloadavg()) + f"; batch {BATCH}, vocabulary {VOCAB}; malloc: {malloc}; {blas_report()}")
    results = {}
    for n in threads:
        set_threads(n)
        mm_size = 256 if args.quick else 1024
        gflops = matmul_gflops(mm_size, args.repeats + 2)
        print(f"\n=== {n} thread(s): {thread_report()}; float32 matmul [{mm_size}]^2 {gflops:.1f} GFLOP/s")
        for size in sizes:
            d, L = SIZES[size]
            gflops = max(gflops, matmul_gflops(mm_size, args.repeats + 2))
            heavy_params = trainable(build("heavy", d, L, {})[0])
            widths = {b: matched_width(cls, d, heavy_params) for b, cls in BASELINES.items()}
            print(f"\n-- {size}: d_model {d}, L {L}, B {BATCH}; matmul best {gflops:.1f} GFLOP/s; "
                  f"baselines matched to {heavy_params} parameters "
                  f"(transformer ff {widths['transformer']}, gru hidden {widths['gru']}, "
                  f"gated state {widths['gated']})")
            print(f"{'model':<16}{'params':>9}{'train tok/s':>13}{'ms/step':>9}{'xTF':>6}"
                  f"{'infer tok/s':>13}{'xTF':>6}{'peak MB':>9}{'inf MB':>8}{'MF/tok':>8}{'MFU tr':>8}{'MFU inf':>8}")
            rows = {}
            for name in ["transformer"] + [v for v in names if v != "transformer"]:
                model, (f_train, f_fwd) = build(name, d, L, widths)
                t_train, t_infer, m_train, m_infer = measure(model, d, L, target, args.repeats, warmup)
                tokens = BATCH * L
                rows[name] = dict(params=trainable(model), train=tokens / t_train, step_ms=t_train * 1e3,
                                  infer=tokens / t_infer, mem=m_train, mem_infer=m_infer, flops=f_train,
                                  mfu_train=f_train * tokens / t_train / (gflops * 1e9),
                                  mfu_infer=f_fwd * tokens / t_infer / (gflops * 1e9))
                r, ref = rows[name], rows["transformer"]
                print(f"{name:<16}{r['params']:>9}{r['train']:>13.0f}{r['step_ms']:>9.1f}{r['train'] / ref['train']:>6.2f}"
                      f"{r['infer']:>13.0f}{r['infer'] / ref['infer']:>6.2f}{r['mem']:>9.1f}{r['mem_infer']:>8.1f}"
                      f"{r['flops'] / 1e6:>8.3f}{100 * r['mfu_train']:>7.1f}%{100 * r['mfu_infer']:>7.1f}%",
                      flush=True)
                del model
            results[(n, size)] = rows
    targets(results, threads)
    return results


def targets(results, threads):
    """The speed targets, each with the numbers it compares, where this run measured them."""
    lines = []

    def get(n, size, name, key):
        return results.get((n, size), {}).get(name, {}).get(key)

    for n in threads:
        tf = get(n, "tiny", "transformer", "step_ms")
        for name, bound in (("heavy", 1.0), ("fu", 0.5)):
            v = get(n, "tiny", name, "step_ms")
            if v and tf:
                lines.append(f"tiny, {n} thr: {name} step {v:.2f} ms / transformer {tf:.2f} ms = {v / tf:.2f}x "
                             f"(target <= {bound}x): {'met' if v / tf <= bound else 'not met'}")
        tf = get(n, "large", "transformer", "train")
        for name, other, bound in (("heavy", "transformer", 1.0), ("heavy", "gated", 0.8), ("fu", "transformer", 3.0)):
            v, ref = get(n, "large", name, "train"), get(n, "large", other, "train")
            if v and ref:
                lines.append(f"large, {n} thr: {name} training {v:.0f} tok/s / {other} {ref:.0f} = {v / ref:.2f}x "
                             f"(target >= {bound}x): {'met' if v / ref >= bound else 'not met'}")
        for name in ("heavy", "fu"):
            v = get(n, "large", name, "mfu_train")
            if v is not None:
                lines.append(f"large, {n} thr: {name} training MFU {100 * v:.1f}% (target >= 60%): "
                             f"{'met' if v >= 0.6 else 'not met'}")
        short, long_ = get(n, "l256", "heavy", "train"), get(n, "long", "heavy", "train")
        if short and long_:
            ratio = short / long_
            lines.append(f"heavy linear, {n} thr: cost per token at L 2048 / at L 256 = {ratio:.2f} "
                         f"(target <= 1.2): {'met' if ratio <= 1.2 else 'not met'}")
    if 1 in threads and 4 in threads:
        for size in ("large", "small", "tiny"):
            one, four = get(1, size, "heavy", "train"), get(4, size, "heavy", "train")
            if one and four:
                lines.append(f"{size}, heavy: 4 threads / 1 thread = {four / one:.2f}x"
                             + (f" (target >= 2.5x): {'met' if four / one >= 2.5 else 'not met'}" if size == "large" else ""))
    if lines:
        print("\n=== targets")
        for line in lines:
            print(line)


if __name__ == "__main__":
    main()

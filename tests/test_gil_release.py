"""Tensor work runs without the interpreter lock: a pure-Python thread keeps making progress while
a module's forward and backward run in the main thread.

The thread counts loop iterations. Its progress during a phase (forward, then backward) is compared
with its own rate measured alone just before, over the same length of time; a phase whose kernels
hold the lock starves it (close to no iterations for the length of the kernel). A loaded machine
slows both measurements alike, and a trial is repeated before the test gives up, so scheduling
noise cannot fail it while a held lock cannot pass it."""
import threading
import time

import pytest
import torch

from silver_kestrel import kestrel_model as km
from silver_kestrel.architectures.heavy_core import heavy_core as hc
from silver_kestrel.architectures.unified_engine_pkg import unified_engine as ue

MIN_SHARE = 0.2
TRIALS = 3


class Counter:
    def __init__(self):
        self.count = 0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        while not self.stop.is_set():
            self.count += 1

    def __enter__(self):
        self.thread.start()
        time.sleep(0.01)
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()


def progress(counter, work):
    """(iterations, seconds) of the counter while `work` runs."""
    start, t0 = counter.count, time.perf_counter()
    result = work()
    return counter.count - start, time.perf_counter() - t0, result


def shares(forward):
    """The counter's progress during the forward and during the backward, each as a share of its
    progress alone over the same time."""
    with Counter() as counter:
        n_fwd, t_fwd, out = progress(counter, forward)
        n_bwd, t_bwd, _ = progress(counter, lambda: out.float().sum().backward())
        n_alone, t_alone, _ = progress(counter, lambda: time.sleep(max(t_fwd, t_bwd, 0.1)))
    rate = n_alone / t_alone
    return n_fwd / (rate * t_fwd), n_bwd / (rate * t_bwd)


def scan_integrator():
    integrator = ue.ListeningIntegratorV2(ue.TevUnifiedConfig(d_model=512, d_state=512, n_layers=2))
    delta = torch.randn(2, 4096, 512, requires_grad=True)
    gate = torch.rand(2, 4096, 512)
    return lambda: integrator(delta, gate)


def bridge(cls, L):
    module = cls(64, 4)
    x = torch.randn(4, L, 64, requires_grad=True)
    return lambda: module(x, x, torch.tensor(0.2))


def radar():
    module = hc.OptimizedMorvaRadar(128)
    x = torch.randn(4, 4096, 128, requires_grad=True)
    return lambda: module(x)


def small_model():
    torch.manual_seed(0)
    model = km.create_kestrel_model(vocab_size=64, d_model=64, d_state=64, n_layers=2)
    ids = torch.randint(0, 64, (4, 512))
    return lambda: model(ids, labels=ids)["loss"]


CASES = {
    "gated scan (integrator)": scan_integrator,
    "quadratic bridge": lambda: bridge(hc.MorvaCrossAttention, 768),
    "linear bridge": lambda: bridge(hc.LinearMorvaCrossAttention, 4096),
    "radar": radar,
    "default model": small_model,
}


@pytest.mark.parametrize("case", CASES)
def test_python_thread_progresses_during_forward_and_backward(case):
    forward = CASES[case]()
    forward().float().sum().backward()  # warm up
    measured = []
    for _ in range(TRIALS):
        fwd, bwd = shares(forward)
        measured.append((round(fwd, 3), round(bwd, 3)))
        if min(fwd, bwd) >= MIN_SHARE:
            return
    pytest.fail(f"the Python thread stalled: shares of its own rate (forward, backward) {measured}")

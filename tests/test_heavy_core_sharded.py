"""The two-GPU sharded core. This machine has no GPU: the protocol runs on CPU devices through a
subclass naming the device type "cpu" (cpu:0 and cpu:1 are the host's memory), with a mocked
process group in this process and with two real gloo processes."""
import json
import os
import socket
import subprocess
import sys
import textwrap

import pytest
import torch
import torch.distributed as dist

from silver_kestrel.architectures.heavy_core import fortress_engine as fe
from silver_kestrel.architectures.heavy_core import heavy_core as hc
from heavy_core_support import WIDTH, inputs, make_config
from support import ROOT

Sharded = hc.DistributedMorvaZurav
LINES = {0: "[MORVA] Rank 0: Fast Head (Reflex) initialized on {}:0.\n",
         1: "[MORVA] Rank 1: Slow Head (Radar) initialized on {}:1.\n"}


class CpuSharded(Sharded):
    _device_type = "cpu"


def make(rank, cross_attn_mode="linear", seed=0, cls=CpuSharded, **settings):
    torch.manual_seed(seed)
    return cls(make_config(), fe.FortressUnbrokenConfig(**settings), rank, 2, cross_attn_mode)


def test_class_shape():
    assert Sharded.__bases__ == (torch.nn.Module,)
    assert [n for n in vars(Sharded) if not n.startswith("__") or n == "__init__"] == ["__init__", "forward"]


@pytest.mark.skipif(torch.cuda.is_available(), reason="needs a host without GPUs")
@pytest.mark.parametrize("rank", [0, 1, 2])
def test_missing_gpu_fails_in_the_constructor(rank, capsys):
    with pytest.raises((AssertionError, RuntimeError)):
        make(rank, cls=Sharded)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("rank, modules", [(0, ["head", "cha"]), (1, ["radar", "head", "cha"]), (2, ["cha"])])
def test_construction_per_rank(rank, modules, capsys):
    config, fortress_config = make_config(), fe.FortressUnbrokenConfig()
    core = CpuSharded(config, fortress_config, rank, 2)
    assert capsys.readouterr().out == (LINES[rank].format("cpu") if rank in LINES else "")
    assert [n for n in vars(core) if not n.startswith("_") and n != "training"] == ["rank", "world_size", "device"]
    assert core.rank == rank and core.world_size == 2 and core.device == torch.device("cpu", rank)
    assert list(core._modules) == modules
    assert list(core._parameters) == [] and list(core._buffers) == []
    expected = [f"{name}.{k}" for name in modules for k in getattr(core, name).state_dict()]
    assert list(core.state_dict()) == expected
    if "head" in modules:
        assert isinstance(core.head, fe.WarEngineTevZOZU_V722_FU)
        assert core.head.config is config and core.head.fortress_config is fortress_config
    if rank == 1:
        assert isinstance(core.radar, hc.OptimizedMorvaRadar) and core.radar.max_l == 65536
    assert type(core.cha) is hc.LinearMorvaCrossAttention and core.cha.n_heads == 8


@pytest.mark.parametrize("mode, bridge", [
    ("quadratic", hc.MorvaCrossAttention), ("QuAdRaTiC", hc.MorvaCrossAttention),
    ("linear", hc.LinearMorvaCrossAttention), ("", hc.LinearMorvaCrossAttention),
    ("exact", hc.LinearMorvaCrossAttention),
])
def test_bridge_selection(mode, bridge):
    assert type(make(0, mode).cha) is bridge


def test_integer_arguments_are_converted(capsys):
    core = CpuSharded(make_config(), fe.FortressUnbrokenConfig(), 1.0, 2.9)
    assert type(core.rank) is int and core.rank == 1 and core.world_size == 2
    assert core.device == torch.device("cpu:1") and hasattr(core, "radar")
    assert capsys.readouterr().out == LINES[1].format("cpu")


@pytest.mark.parametrize("rank, world_size, mode, name, got", [
    ("1", 2, "linear", "rank", "str"), (None, 2, "linear", "rank", "NoneType"),
    (0, "2", "linear", "world_size", "str"), (0, 2, None, "cross_attn_mode", "NoneType"),
    (0, 2, b"linear", "cross_attn_mode", "bytes"),
])
def test_argument_refusals(rank, world_size, mode, name, got, capsys):
    with pytest.raises(TypeError) as info:
        CpuSharded(make_config(), fe.FortressUnbrokenConfig(), rank, world_size, mode)
    expected = "int" if name != "cross_attn_mode" else "str"
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected {expected}, got {got})"
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("state", [[], type("D", (dict,), {})()])
def test_state_refused_before_any_work(state):
    core = make(0)
    with pytest.raises(TypeError, match="Argument 'state' has incorrect type"):
        core(inputs(), state)
    assert core.head.fortress.global_step.item() == 0


def test_other_rank_fails_for_the_missing_head_before_communication(monkeypatch):
    core = make(2)
    monkeypatch.setattr(dist, "isend", lambda *a, **k: pytest.fail("communication attempted"))
    with pytest.raises(AttributeError, match="head"):
        core(inputs())


def test_missing_distributed_package_fails_first(monkeypatch):
    core = make(0)
    monkeypatch.setitem(sys.modules, "torch.distributed", None)
    with pytest.raises(ImportError):
        core(inputs())
    assert core.head.fortress.global_step.item() == 0


class FakeGroup:
    """Stands in for the default process group of a two-rank run, seen from one rank: it records
    the operations, answers the description of the input with the same description (the peer's
    input agrees), fills received head outputs with the peer's output and reduces with the peer's
    pressure."""

    class Handle:
        def __init__(self, log, name):
            self.log, self.name = log, name

        def wait(self):
            self.log.append(("wait", self.name))

    def __init__(self, monkeypatch, peer_output, peer_pressure):
        self.log = []
        self.peer_output, self.peer_pressure = peer_output, peer_pressure
        monkeypatch.setattr(dist, "isend", self.isend)
        monkeypatch.setattr(dist, "irecv", self.irecv)
        monkeypatch.setattr(dist, "all_reduce", self.all_reduce)

    def isend(self, tensor, dst):
        self.log.append(("isend", dst))
        self.sent = tensor
        return self.Handle(self.log, "isend")

    def irecv(self, tensor, src):
        self.log.append(("irecv", src))
        assert tensor.shape == self.sent.shape and tensor.dtype == self.sent.dtype and not tensor.requires_grad
        tensor.copy_(self.sent if tensor.dtype == torch.int64 else self.peer_output)
        return self.Handle(self.log, "irecv")

    def all_reduce(self, tensor, op):
        self.log.append(("all_reduce", op, tuple(tensor.shape), tensor.dtype))
        self.contributed = tensor.clone()
        tensor.copy_(torch.maximum(tensor, torch.full_like(tensor, self.peer_pressure)))


@pytest.mark.parametrize("rank", [0, 1])
def test_protocol_with_a_mocked_group(rank, monkeypatch):
    core = make(rank, enable_vgt=False)
    core.head.fortress.global_pressure.fill_(0.7 if rank == 1 else 0.9)  # rank 0's own pressure stays out
    peer_output = torch.randn(2, 5, WIDTH)
    group = FakeGroup(monkeypatch, peer_output, 0.7 if rank == 0 else 0.0)
    seen = {}
    core.cha.register_forward_pre_hook(lambda m, args: seen.update(args=args))
    head_inputs = []
    original = core.head.forward_with_diagnostics

    def step(x, **kwargs):
        head_inputs.append((x, kwargs))
        return original(x, **kwargs)

    core.head.forward_with_diagnostics = step
    x = inputs()
    state = {}
    out = core(x, state)

    swap = [("isend", 1 - rank), ("irecv", 1 - rank), ("wait", "isend"), ("wait", "irecv")]
    assert group.log == swap + swap + [("all_reduce", dist.ReduceOp.MAX, (1,), torch.float64)]
    assert group.contributed.item() == (pytest.approx(0.7) if rank == 1 else 0.0)
    [(head_x, kwargs)] = head_inputs
    assert kwargs == {"state": state, "return_diagnostics": True} and kwargs["state"] is state
    if rank == 1:
        with torch.no_grad():
            torch.testing.assert_close(head_x, core.radar(x))
    else:
        assert torch.equal(head_x, x)
    x_fast, x_slow, pressure = seen["args"]
    local = group.sent
    assert (x_fast is local) == (rank == 0) and (x_slow is local) == (rank == 1)
    assert torch.equal(x_slow if rank == 0 else x_fast, peer_output)
    assert pressure.shape == (1,) and pressure.dtype == x.dtype and pressure.item() == pytest.approx(0.7)
    assert core.head.fortress.global_pressure.item() == pytest.approx(0.7 if rank == 1 else 0.9)
    torch.testing.assert_close(out, core.cha(x_fast, x_slow, pressure))


RANK_SCRIPT = r'''
import json, sys, torch
import torch.distributed as dist
from silver_kestrel.architectures.heavy_core import fortress_engine as fe
from silver_kestrel.architectures.heavy_core import heavy_core as hc

rank, port, out_dir, mode = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
dist.init_process_group("gloo", init_method=f"tcp://127.0.0.1:{port}", rank=rank, world_size=2,
                        timeout=__import__("datetime").timedelta(seconds=60))

class CpuSharded(hc.DistributedMorvaZurav):
    _device_type = "cpu"

torch.manual_seed(10 + rank)  # the ranks initialise differently
config = fe.TevUnifiedConfig(d_model=8, d_state=8, n_layers=1)
core = CpuSharded(config, fe.FortressUnbrokenConfig(enable_vgt=False), rank, 2, mode)
torch.manual_seed(99)
core.cha.load_state_dict(type(core.cha)(8).state_dict())  # equal bridges on both ranks
core.head.fortress.global_pressure.fill_(0.7 if rank == 1 else 0.9)

log = []
for name in ("isend", "irecv", "all_reduce"):
    original = getattr(dist, name)
    def wrapper(*args, _name=name, _original=original, **kwargs):
        log.append(_name)
        return _original(*args, **kwargs)
    setattr(dist, name, wrapper)
pressures = []
core.cha.register_forward_pre_hook(lambda m, args: pressures.append(args[2].tolist()))

x = torch.randn(2, 5, 8, generator=torch.Generator().manual_seed(7))
outputs = [core(x, {}) for _ in range(2)]
outputs[-1].sum().backward()
grads = {name: p.grad is not None for name, p in core.named_parameters()}
torch.save([o.detach() for o in outputs], f"{out_dir}/out{rank}.pt")
print(json.dumps({"log": log, "pressures": pressures, "steps": int(core.head.fortress.global_step),
                  "radar_grad": all(v for k, v in grads.items() if k.startswith("radar.")) if rank == 1 else None,
                  "head_grad": any(v for k, v in grads.items() if k.startswith("head.")),
                  "cha_grad": all(v for k, v in grads.items() if k.startswith("cha."))}))
dist.destroy_process_group()
'''


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run_ranks(script_text, tmp_path, *args, timeout=180):
    """Runs the script as ranks 0 and 1 of a gloo group on loopback; returns their standard outputs.
    A rank that dies or hangs fails the test; neither outlives it."""
    script = tmp_path / "rank.py"
    script.write_text(textwrap.dedent(script_text))
    # torch >= 2.4 asks for a libuv TCP store, which Debian's torch is built without; older torch
    # ignores the setting.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([ROOT, os.path.join(ROOT, "tests")]), USE_LIBUV="0")
    port = str(free_port())
    procs = [subprocess.Popen([sys.executable, str(script), str(r), port, str(tmp_path), *args], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) for r in (0, 1)]
    results = []
    try:
        for p in procs:
            out, err = p.communicate(timeout=timeout)
            assert p.returncode == 0, err
            results.append(out)
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.communicate()
    return results


@pytest.mark.parametrize("mode", ["linear", "quadratic"])
def test_two_processes_over_gloo(tmp_path, mode):
    results = run_ranks(RANK_SCRIPT, tmp_path, mode)
    lines = [r.strip().splitlines() for r in results]
    assert lines[0][0] == LINES[0].format("cpu").strip() and lines[1][0] == LINES[1].format("cpu").strip()
    got = [json.loads(line[-1]) for line in lines]
    for g in got:
        assert g["log"] == ["isend", "irecv", "isend", "irecv", "all_reduce"] * 2
        # Rank 1's pressure on both ranks; rank 0's own fortress pressure (0.9) never enters.
        assert g["pressures"] == [[pytest.approx(0.7)]] * 2
        assert g["steps"] == 2 and g["cha_grad"] and g["head_grad"]
    assert got[1]["radar_grad"] is True
    out0, out1 = (torch.load(tmp_path / f"out{r}.pt") for r in (0, 1))
    for a, b in zip(out0, out1):
        assert a.shape == (2, 5, 8)
        torch.testing.assert_close(a, b)  # same head outputs in the same roles, same pressure


MISMATCH_SCRIPT = r"""
import datetime, json, sys, torch
import torch.distributed as dist
from silver_kestrel.architectures.heavy_core import fortress_engine as fe
from silver_kestrel.architectures.heavy_core import heavy_core as hc

rank, port, out_dir, cases = int(sys.argv[1]), sys.argv[2], sys.argv[3], json.loads(sys.argv[4])
dist.init_process_group("gloo", init_method=f"tcp://127.0.0.1:{port}", rank=rank, world_size=2,
                        timeout=datetime.timedelta(seconds=30))

class CpuSharded(hc.DistributedMorvaZurav):
    _device_type = "cpu"

torch.manual_seed(10 + rank)
core = CpuSharded(fe.TevUnifiedConfig(d_model=8, d_state=8, n_layers=1), fe.FortressUnbrokenConfig(), rank, 2)
torch.manual_seed(99)
core.cha.load_state_dict(type(core.cha)(8).state_dict())
report = {}
for name, per_rank in cases.items():
    shape, dtype = per_rank[rank]
    dtype = getattr(torch, dtype)
    core.to(dtype)
    core.head.fortress.global_pressure.fill_(0.7 if rank == 1 else 0.9)
    step = int(core.head.fortress.global_step)
    x = torch.randn(*shape, generator=torch.Generator().manual_seed(7)).to(dtype)
    try:
        out = core(x, {})
    except Exception as e:
        report[name] = {"error": type(e).__name__, "message": str(e),
                        "stepped": int(core.head.fortress.global_step) - step}
    else:
        torch.save(out.detach(), f"{out_dir}/{name}{rank}.pt")
        report[name] = {"dtype": str(out.dtype)}
print(json.dumps(report))
dist.destroy_process_group()
"""

F32, F64 = "float32", "float64"
# name: (rank 0's input shape and dtype, rank 1's); each rank's core is moved to its input's dtype.
MISMATCHES = {
    "batch": (([2, 5, 8], F32), ([3, 5, 8], F32)),
    "length": (([2, 5, 8], F32), ([2, 6, 8], F32)),
    "dtype": (([2, 5, 8], F32), ([2, 5, 8], F64)),
    "dimensions": (([2, 5, 8], F32), ([1, 2, 5, 8], F32)),
}
MATCHED = {"double": (([2, 5, 8], F64), ([2, 5, 8], F64)), "float": (([2, 5, 8], F32), ([2, 5, 8], F32))}
TEXT = {"batch": ("[2, 5, 8]", "[3, 5, 8]"), "length": ("[2, 5, 8]", "[2, 6, 8]"),
        "dimensions": ("[2, 5, 8]", "[1, 2, 5, 8]")}


@pytest.fixture(scope="module")
def mismatch_run(tmp_path_factory):
    """One pair of ranks runs every case in turn: the mismatches first, so the matched cases also
    show that a refused call leaves the group usable."""
    tmp_path = tmp_path_factory.mktemp("mismatch")
    cases = {**MISMATCHES, **MATCHED}
    outputs = run_ranks(MISMATCH_SCRIPT, tmp_path, json.dumps(cases), timeout=120)
    return tmp_path, [json.loads(o.strip().splitlines()[-1]) for o in outputs]


@pytest.mark.parametrize("name", list(MISMATCHES))
def test_ranks_with_different_inputs_both_raise(mismatch_run, name):
    _, reports = mismatch_run
    (shape0, dtype0), (shape1, dtype1) = MISMATCHES[name]
    text0, text1 = TEXT.get(name, ("[2, 5, 8]", "[2, 5, 8]"))
    expected = (f"DistributedMorvaZurav: the ranks' inputs differ (rank 0: shape {text0}, dtype torch.{dtype0}; "
                f"rank 1: shape {text1}, dtype torch.{dtype1}); both ranks must call forward with inputs of the "
                "same shape and dtype")
    for report in reports:
        assert report[name] == {"error": "ValueError", "message": expected, "stepped": 0}


@pytest.mark.parametrize("name", list(MATCHED))
def test_matched_ranks_work_in_either_dtype(mismatch_run, name):
    tmp_path, reports = mismatch_run
    dtype = MATCHED[name][0][1]
    assert [r[name] for r in reports] == [{"dtype": f"torch.{dtype}"}] * 2
    out0, out1 = (torch.load(tmp_path / f"{name}{r}.pt") for r in (0, 1))
    assert out0.shape == (2, 5, 8) and torch.isfinite(out0).all()
    torch.testing.assert_close(out0, out1)

"""Helpers of the war engine block tests: small blocks, engram entries and call spies."""
import collections

import torch
from torch.utils._python_dispatch import TorchDispatchMode

from silver_kestrel.architectures.heavy_core import fortress_engine as fe

Block = fe.WarEngineTevZOZU_V722_FU


def make_config(width=4, state=None, **fields):
    return fe.TevUnifiedConfig(d_model=width, d_state=width if state is None else state, n_layers=1, **fields)


def make_block(width=4, seed=0, config=None, **settings):
    torch.manual_seed(seed)
    return Block(config or make_config(width), fe.FortressUnbrokenConfig(**settings))


def add_engram(fortress, k=2, quality=0.9, **meta):
    """Appends a well-formed engram entry (orthonormal first k columns, zero padding)."""
    basis = torch.zeros(fortress.d_state, fortress._k_max)
    basis[:k, :k] = torch.eye(k)
    engram_id = int(fortress.next_engram_id.item())
    fortress.next_engram_id.add_(1)
    fortress.engram_stack.append((basis, k, quality, fe.EngramMetadata(engram_id=engram_id, **meta)))
    fortress.joint_basis_dirty = True


def spy(obj, *names, calls=None):
    """Wraps the named methods on the instance `obj`; each call is recorded as (name, args,
    kwargs) in the returned list and then passed on."""
    calls = [] if calls is None else calls
    for name in names:
        original = getattr(obj, name)

        def wrapper(*args, _name=name, _original=original, **kwargs):
            calls.append((_name, args, kwargs))
            return _original(*args, **kwargs)

        setattr(obj, name, wrapper)
    return calls


def force_stable(fortress, stable=True):
    """Makes the surprisal statistics report `stable` (they still update as usual)."""
    original = fortress.update_surprisal_stats

    def update(score):
        mu, var, _ = original(score)
        return mu, var, torch.tensor(stable)

    fortress.update_surprisal_stats = update


class OpCounter:
    """Counts the tensor operations dispatched inside the `with` block, by name ("mul", "copy_",
    "_local_scalar_dense" for a host read, ...); `total` is their sum. `on_data` counts, apart,
    the operations that touch a tensor with storage (not only meta tensors)."""

    def __init__(self):
        self.counts = collections.Counter()
        self.on_data = collections.Counter()

    def __enter__(self):
        counts, on_data = self.counts, self.on_data

        class Mode(TorchDispatchMode):
            def __torch_dispatch__(self, func, types, args=(), kwargs=None):
                name = func.overloadpacket.__name__
                counts[name] += 1
                out = func(*args, **(kwargs or {}))
                tensors = [t for t in list(args) + list((kwargs or {}).values()) + [out]
                           if isinstance(t, torch.Tensor)]
                if any(not t.is_meta for t in tensors):
                    on_data[name] += 1
                return out

        self._mode = Mode()
        self._mode.__enter__()
        return self

    def __exit__(self, *exc):
        return self._mode.__exit__(*exc)

    @property
    def total(self):
        return sum(self.counts.values())

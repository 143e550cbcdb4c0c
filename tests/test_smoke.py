import dataclasses

import torch

from silver_kestrel.architectures.unified_engine_pkg import unified_engine as ue


def test_unified_engine_classes():
    config = ue.TevUnifiedConfig(d_model=8, d_state=8, n_layers=2)
    assert dataclasses.is_dataclass(config)
    integrator = ue.ListeningIntegratorV2(config)
    assert isinstance(integrator, torch.nn.Module)
    assert list(integrator.state_dict()) == ["alpha_raw"]

import pytest
import torch

from silver_kestrel.architectures.heavy_core import fortress_engine as fe
from fortress_support import REASONS

DIAGNOSTICS = ("last_can_promote", "last_promotion_event", "last_promotion_reason_code",
               "last_promotion_blocker_code")


def memory(**settings):
    return fe.FortressUnbrokenMemory(4, fe.FortressUnbrokenConfig(**settings))


def diagnostics(mem):
    return tuple(getattr(mem, n).item() for n in DIAGNOSTICS)


class Text(str):
    pass


def test_reason_table_round_trips():
    mem = memory()
    for code, reason in enumerate(REASONS):
        assert mem._reason_to_code(reason) == code and type(mem._reason_to_code(reason)) is int
        assert mem._code_to_reason(code) == reason


@pytest.mark.parametrize("reason", ["Promoted", "", "ok", " promoted", "promoted\0", "\ud800"])
def test_unknown_reasons_map_to_zero(reason):
    assert memory()._reason_to_code(reason) == 0


@pytest.mark.parametrize("code, reason", [(15, "no_candidate"), (-1, "no_candidate"), (4, "promoted"),
                                          (3.0, "quality_fail"), (13.9, "collapse_union"), (True, "not_stable"),
                                          (10**30, "no_candidate"), (-(10**30), "no_candidate")])
def test_code_to_reason(code, reason):
    assert memory()._code_to_reason(code) == reason


@pytest.mark.parametrize("method, reason, code", [
    ("_record_blocker_reason", "blocked_by_trigger", 10),
    ("_record_promotion_reason", "collapse_union", 13),
    ("_record_promotion_reason", "Forced_union", 0),
])
def test_recording_fills_both_code_buffers(method, reason, code):
    mem = memory()
    mem.last_can_promote.fill_(1.0)
    reason_buffer, blocker_buffer = mem.last_promotion_reason_code, mem.last_promotion_blocker_code
    assert getattr(mem, method)(reason) is None
    assert diagnostics(mem) == (1.0, 0.0, code, code)
    assert mem.last_promotion_reason_code is reason_buffer and mem.last_promotion_blocker_code is blocker_buffer
    assert mem.last_promotion_reason() == REASONS[code]


@pytest.mark.parametrize("can, event, reason, expected", [
    (True, False, "quality_fail", (1.0, 0.0, 3, 3)),
    (False, True, "forced_union", (0.0, 1.0, 5, 5)),
    (torch.tensor(1.0), 0, "unknown", (1.0, 0.0, 0, 0)),
    ([], [0], "need_more_cov", (0.0, 1.0, 2, 2)),
])
def test_promotion_diagnostics(can, event, reason, expected):
    mem = memory()
    assert mem._set_promotion_diagnostics(can_promote=can, event=event, reason=reason) is None
    assert diagnostics(mem) == expected
    assert mem.last_can_promote.dtype == torch.get_default_dtype()


def test_bad_arguments_are_refused_before_any_write():
    mem = memory()
    mem._set_promotion_diagnostics(True, True, "collapse_union")
    before = diagnostics(mem)
    calls = [
        lambda: mem._record_promotion_reason(Text("promoted")),
        lambda: mem._record_blocker_reason(None),
        lambda: mem._set_promotion_diagnostics(False, False, b"not_stable"),
        lambda: mem._set_promotion_diagnostics(False, torch.ones(2), "not_stable"),
        lambda: mem._reason_to_code(4),
        lambda: mem._code_to_reason("4"),
        lambda: mem._union_mode_code(Text("forced")),
        lambda: mem._union_mode_name(None),
    ]
    for call in calls:
        with pytest.raises((TypeError, RuntimeError)):
            call()
    assert diagnostics(mem) == before
    with pytest.raises(TypeError, match="reason"):
        mem._reason_to_code(4)
    with pytest.raises(TypeError, match="mode"):
        mem._union_mode_code(1)
    with pytest.raises(TypeError, match="code"):
        mem._code_to_reason(None)


def test_fresh_memory_reports_no_candidate_and_no_union():
    mem = memory()
    assert mem.last_promotion_reason() == "no_candidate"
    assert mem._union_mode_name(int(mem.last_union_mode.item())) == "none"


def test_last_promotion_reason_decodes_the_buffer():
    mem = memory()
    mem.last_promotion_reason_code.fill_(9)
    assert mem.last_promotion_reason() == "shakti_tension"
    mem.last_promotion_reason_code.fill_(99)
    assert mem.last_promotion_reason() == "no_candidate"


@pytest.mark.parametrize("mode, code", [("structural", 1), ("Structural", 1), ("collapse", 2), ("FORCED", 3),
                                        ("forced", 3), ("dual", 0), ("none", 0), (" forced", 0), ("", 0)])
def test_union_mode_code(mode, code):
    assert memory()._union_mode_code(mode) == code


@pytest.mark.parametrize("code, name", [(0, "none"), (1, "structural"), (2, "collapse"), (3, "forced"),
                                        (4, "none"), (-1, "none"), (3.0, "forced"), (10**20, "none")])
def test_union_mode_name(code, name):
    assert memory()._union_mode_name(code) == name


@pytest.mark.parametrize("configured, code", [("dual", 3), ("Collapse", 2), ("STRUCTURAL", 1), ("both", 3),
                                              ("forced", 3), (None, 3)])
def test_union_mode_config_code(configured, code):
    result = memory(union_mode=configured)._union_mode_config_code()
    assert result == code and type(result) is int

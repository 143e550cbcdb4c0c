"""Smoke runs of the example training program, in this process (few steps, tiny sizes)."""
import importlib.util
import math
import os
import re

import pytest
import torch

from support import ROOT

SCRIPT = os.path.join(ROOT, "examples", "train_tiny.py")


def load_program():
    spec = importlib.util.spec_from_file_location("train_tiny", SCRIPT)
    program = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(program)
    return program


STEP = re.compile(r"^step +(\d+)  loss (\S+) .*?\| (.*)$")


@pytest.mark.parametrize("variant, fortresses", [(None, None), ("fu", 1), ("lite", 2), ("fu-64", 1)])
def test_tiny_run_reports_loss_and_fortresses(capsys, variant, fortresses):
    argv = ["--tiny"] + (["--variant", variant] if variant else [])
    assert load_program().main(argv) == 0
    lines = capsys.readouterr().out.splitlines()
    steps = [STEP.match(line) for line in lines if line.startswith("step")]
    assert [int(m.group(1)) for m in steps] == [1, 2, 3]
    assert all(math.isfinite(float(m.group(2))) for m in steps)
    assert lines[-1].startswith("done: 3 steps")
    if fortresses is not None:
        report = steps[-1].group(3)
        assert report.count("fortress: pressure ") == fortresses
        assert "engrams " in report and "promotion " in report
    if variant == "lite":
        assert steps[-1].group(3).startswith("mode ")


def test_options(capsys):
    program = load_program()
    args = program.parse_args(["--tiny", "--lr", "0.01"])
    assert (args.d_model, args.batch, args.seq_len, args.steps, args.lr, args.variant) == (16, 2, 16, 3, 0.01, "heavy")
    assert args.data.endswith(os.path.join("examples", "data", "kestrel_notes.txt"))
    with pytest.raises(SystemExit):
        program.parse_args(["--seq-len", "1"])
    assert "at least 2" in capsys.readouterr().err
    assert program.parse_args([]).threads is None
    with pytest.raises(SystemExit):
        program.parse_args(["--threads", "0"])
    assert "--threads must be at least 1" in capsys.readouterr().err


def test_threads_are_set_for_torch_and_reported(capsys):
    import torch
    before = torch.get_num_threads()
    try:
        assert load_program().main(["--tiny", "--threads", "1"]) == 0
        assert torch.get_num_threads() == 1
    finally:
        load_program().set_threads(before)
    assert "threads: torch 1, OpenBLAS " in capsys.readouterr().out


def thread_line(out):
    return next(line for line in out.splitlines() if line.startswith("threads: "))


def test_threads_option_sets_and_prints_the_count(capsys):
    program = load_program()
    assert program.parse_args([]).threads is None
    before = torch.get_num_threads()
    try:
        assert program.main(["--tiny", "--variant", "fu", "--threads", "1"]) == 0
        assert torch.get_num_threads() == 1
        assert thread_line(capsys.readouterr().out).startswith("threads: torch 1, OpenBLAS ")
    finally:
        torch.set_num_threads(before)
    assert program.main(["--tiny", "--variant", "fu"]) == 0
    assert thread_line(capsys.readouterr().out).startswith(f"threads: torch {before}, OpenBLAS ")
    with pytest.raises(SystemExit):
        program.parse_args(["--threads", "0"])
    assert "--threads must be at least 1" in capsys.readouterr().err


def test_training_text_is_plain_bytes():
    program = load_program()
    data = program.load_bytes(program.DEFAULT_DATA, 16)
    assert data.numel() > 4000 and int(data.max()) < program.VOCAB_SIZE

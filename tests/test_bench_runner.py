"""bench/run_all.py: one table over every bench module, and an exit status that means something."""
import importlib.util
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parents[1] / "bench"


@pytest.fixture
def run_all(monkeypatch, tmp_path):
    spec = importlib.util.spec_from_file_location("run_all", BENCH / "run_all.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    monkeypatch.setattr(module, "HERE", str(tmp_path))
    monkeypatch.syspath_prepend(str(BENCH))    # the bench modules import _harness

    def write(name, body):
        (tmp_path / f"bench_{name}.py").write_text("from _harness import *\n\n" + body)
    return module, write


def test_all_targets_met_exits_zero_with_every_row(run_all, capsys, qapp):
    module, write = run_all
    write("a", "def run():\n    return [speedup_row('fast op', 0.001, 0.004, 3)]\n")
    write("b", "def run():\n    return [cost_row('cheap op', 0.002, 0.002, 1.3), report_row('info', 0.5)]\n")
    assert module.main([]) == 0
    out = capsys.readouterr().out
    assert "fast op" in out and "4.00x" in out and "cheap op" in out and "info" in out
    assert "3 rows from 2 modules" in out


@pytest.mark.parametrize("body, shown", [
    ("def run():\n    return [speedup_row('slow op', 0.004, 0.001, 3)]\n", "slow op"),
    ("def run():\n    raise RuntimeError('broken bench')\n", "(module failed)"),
    ("import no_such_module_here\n", "(module failed)"),
])
def test_missed_target_or_broken_module_exits_nonzero(run_all, capsys, qapp, body, shown):
    module, write = run_all
    write("ok", "def run():\n    return [speedup_row('fine', 0.001, 0.004, 3)]\n")
    write("bad", body)
    assert module.main([]) == 1
    out = capsys.readouterr().out
    assert shown in out and "FAIL" in out and "fine" in out


def test_names_select_modules_and_markdown_table(run_all, capsys, qapp):
    module, write = run_all
    write("pointer", "def run():\n    return [speedup_row('hover', 0.001, 0.002, 1.5)]\n")
    write("export", "def run():\n    raise RuntimeError('not selected, never run')\n")
    assert module.main(["pointer", "--markdown"]) == 0
    out = capsys.readouterr().out
    assert "| pointer | hover |" in out and "export" not in out

"""Hosts that replace, close and drop plots while their event loop runs and paints.

Each scenario runs in a child process (host_lifecycle.py), so that a crash fails one test
and says in which step it happened.
"""
import json
import pathlib

import pytest

from test_robustness import run_child

HERE = pathlib.Path(__file__).parent


def run(scenario, cycles):
    result = run_child([str(HERE / "host_lifecycle.py"), scenario, str(cycles)], timeout=900)
    lines = (result.stdout + result.stderr).splitlines()
    assert result.returncode == 0, f"{scenario}: child ended with {result.returncode}:\n" + "\n".join(lines[-15:])
    assert lines and "done" in lines, "\n".join(lines[-15:])
    return json.loads(next(line for line in lines if line.startswith("RESULT "))[7:])


@pytest.mark.parametrize("scenario, cycles", [
    ("replace", 120),            # one plot, replaced again and again
    ("side_by_side", 60),        # four plots, one replaced per cycle
    ("window_per_volume", 25),   # a window per volume, shown, used and closed
    ("switch_types", 40),        # editor types from the menu and from the host between replacements
])
def test_replacing_plots_never_takes_the_host_down(scenario, cycles):
    run(scenario, cycles)


def test_pointer_edits_before_each_replacement_reach_the_host():
    assert run("pointer", 30)["edits"] >= 20


def test_plots_dropped_while_their_stack_save_runs():
    out = run("save_then_drop", 6)
    assert out == {"pages": [24], "written": 6}


def test_reference_counts_stay_flat_over_a_thousand_cycles():
    out = run("refcounts", 1000)
    assert out["changed"] == [] and out["instances"][0] == out["instances"][1]
    assert out["plots_alive"] == 1  # the one shown at the end


def test_histories_attached_to_replaced_plots():
    out = run("history", 30)
    assert out["undone"] >= 20 and out["stale"] == 27 and out["plots_alive"] == 1

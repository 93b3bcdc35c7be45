"""Hosts that replace, close and drop plots while their event loop runs and paints.

Each scenario runs in a child process (host_lifecycle.py), so that a crash fails one test
and says in which step it happened.
"""
import json

from conftest import run_child


def run(scenario, cycles):
    result, lines = run_child("host_lifecycle.py", scenario, cycles, timeout=900)
    assert result.returncode == 0, f"{scenario}: child ended with {result.returncode}:\n" + "\n".join(lines[-15:])
    assert lines and "done" in lines, "\n".join(lines[-15:])
    return json.loads(next(line for line in lines if line.startswith("RESULT "))[7:])


def test_plots_replaced_while_in_use_never_take_the_host_down():
    cycles = 24  # two rounds of every combination of editor types, history kept or dropped
    out = run("replace", cycles)
    assert out["edits"] >= cycles and out["undone"] >= cycles // 2 and out["plots_alive"] == 2
    assert out["stale"] == len(range(0, cycles - 2, 2))


def test_a_window_per_volume_shown_used_and_closed():
    assert run("window_per_volume", 12) == {"stale": 12}


def test_plots_dropped_while_their_stack_save_runs():
    assert run("save_then_drop", 6) == {"pages": [24], "written": 6}


def test_reference_counts_stay_flat_over_two_hundred_cycles():
    # a reference lost or kept per plot shows after any number of cycles; four of them use the pointer
    out = run("refcounts", 200)
    assert out["changed"] == [] and out["instances"][0] == out["instances"][1]
    assert out["plots_alive"] == 1  # the one shown at the end

"""Undo and redo over several edits, as the user walks back and forth through them on a shown plot."""
import numpy as np
import pytest

from pointer_helpers import drag
from vantel.utils.curveEditHistory import CurveEditHistory


def shown(plot):
    # What the user sees: the curves and the control points.
    return ([c.copy() for c in plot.gCurves],
            [[np.asarray(a).copy() for a in entry] for entry in plot.ctrl_points])


def assert_shows(plot, expected):
    curves, points = shown(plot)
    for got, want in zip(curves + sum(points, []), expected[0] + sum(expected[1], [])):
        np.testing.assert_array_equal(got, want)


def contiguous(values):
    return [np.array(v) for v in values]


def strided(values):
    # a host's frames x columns tables, one curve a column of each
    tables = [np.zeros((len(v), 3)) for v in values]
    for t, v in zip(tables, values):
        t[:, 1] = v
    return [t[:, 1] for t in tables]


LAYOUTS = [pytest.param(contiguous, id="arrays of their own"), pytest.param(strided, id="columns of a host's tables")]


@pytest.mark.parametrize("layout", LAYOUTS)
def test_an_edit_after_undo_replaces_the_undone_one(editor, layout):
    plot = editor(layout([np.linspace(50, 90, 200), np.linspace(120, 160, 200)]), steer=False, eidtorType="anchors")
    history = CurveEditHistory(plot)
    pristine = shown(plot)
    drag(plot, 0, 5, 10.0)
    after_a = shown(plot)
    drag(plot, 1, 15, -8.0)     # B, on the other curve
    assert history.undo()
    assert_shows(plot, after_a)
    drag(plot, 0, 20, 6.0)      # C: B can no longer come back
    after_c = shown(plot)
    assert not history.canRedo()
    for expected in (after_a, pristine):
        assert history.undo()
        assert_shows(plot, expected)
    assert not history.canUndo() and not history.undo()
    for expected in (after_a, after_c):
        assert history.redo()
        assert_shows(plot, expected)
    assert not history.canRedo()


@pytest.mark.parametrize("layout", LAYOUTS)
def test_at_the_depth_limit_the_oldest_edit_is_forgotten(editor, layout):
    plot = editor(layout([np.linspace(50, 90, 200)]), steer=False, eidtorType="anchors")
    history = CurveEditHistory(plot, depth=2)
    states = [shown(plot)]
    for j, dy in ((5, 10.0), (12, -7.0), (20, 9.0)):
        drag(plot, 0, j, dy)
        states.append(shown(plot))
    for expected in (states[2], states[1]):
        assert history.undo()
        assert_shows(plot, expected)
    assert not history.undo()
    assert history.redo() and history.redo() and not history.redo()
    assert_shows(plot, states[3])

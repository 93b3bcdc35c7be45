"""Inserting and removing control points, and the span they leave for the rebuild."""
import contextlib

import numpy as np
import pytest

UNSET = ["left", "over"]


def load(make_plot, xs, ys, index=0):
    plot, entry = make_plot(), [np.array(xs), np.array(ys)]
    plot.gCurves, plot.ctrl_points = [np.zeros(31)] * (index + 1), [[np.array([0, 30]), np.zeros(2)]] * index + [entry]
    plot.params_for_ctrl_point_changed_signal = list(UNSET)
    return plot, entry


# A point goes in front of an equal x; 15.5 is stored as 15 but its neighbours are found with 15.5; a negative x
# is kept, then the span lookup fails.
@pytest.mark.parametrize("x, xs, at, span", [
    pytest.param(15, [0, 10, 15, 20, 30], 2, [1, 10, 21], id="between two points"),
    pytest.param(10, [0, 10, 10, 20, 30], 1, [1, 0, 21], id="in front of an equal x"),
    pytest.param(0, [0, 0, 10, 20, 30], 0, [1, 0, 11], id="in front of the first point"),
    pytest.param(30, [0, 10, 20, 30, 30], 3, [1, 20, 31], id="in front of the last point"),
    pytest.param(45, [0, 10, 20, 30, 45], 4, [1, 30, 31], id="past the last point"),
    pytest.param(15.5, [0, 10, 15, 20, 30], 2, [1, 15, 21], id="stored truncated, neighbours found unrounded"),
    pytest.param(-3, [-3, 0, 10, 20, 30], 0, UNSET, id="negative x kept, then the span lookup fails")])
def test_insertion(make_plot, x, xs, at, span):
    plot, entry = load(make_plot, [0, 10, 20, 30], np.array([1, 2, 3, 4], dtype=np.int32), index=1)
    with pytest.raises(IndexError) if span is UNSET else contextlib.nullcontext():
        plot.add_cv_point(x_value=x, y_value=42.9, curve_index=1)
    assert plot.ctrl_points[1] is entry and entry[0].tolist() == xs and entry[0].dtype == np.int64
    assert entry[1].tolist() == [1, 2, 3, 4][:at] + [42] + [1, 2, 3, 4][at:] and entry[1].dtype == np.int32
    assert plot.params_for_ctrl_point_changed_signal == span


# Positions given twice: the last one is removed once, the first one goes. Failing before any change: nothing to
# remove, an end point, no left neighbour (the second column 0), the lowest position past the end. A later
# position past the end fails after setting the span.
@pytest.mark.parametrize("xs, positions, left, span", [
    ([0, 10, 20, 30], [2], [0, 10, 30], [0, 10, 31]), ([0, 10, 20, 30], (3, 2, 0), [0, 10, 30], [0, 10, 31]),
    ([0, 10, 20, 30, 40], [1, 2], [0, 30, 40], [0, 0, 21]), ([0, 10, 20, 30], [2, 3, 3], [0, 10], [0, 10, 30]),
    ([0, 10, 20, 30], [0, 0, 2], [10, 30], [0, 1, 11]), ([0, 10, 20, 30], [], None, UNSET),
    ([0, 10, 20, 30], [0], None, UNSET), ([0, 10, 20, 30], [3, 0], None, UNSET), ([0, 0, 10, 30], [1], None, UNSET),
    ([0, 10, 20, 30], [9, 12], None, UNSET), ([0, 10, 20, 30], [1, 7], None, [0, 0, 21])])
def test_removal(make_plot, xs, positions, left, span):
    plot, entry = load(make_plot, xs, np.array(xs) * 2.0)
    arrays = list(entry)
    with pytest.raises(IndexError) if left is None else contextlib.nullcontext():
        plot.remove_cv_points(positions, 0)
    kept = xs if left is None else left
    assert plot.ctrl_points[0] is entry and entry[0].tolist() == kept and entry[1].tolist() == [2.0 * x for x in kept]
    assert plot.params_for_ctrl_point_changed_signal == span
    assert left or (entry[0] is arrays[0] and entry[1] is arrays[1])  # a failure keeps the arrays


@pytest.mark.parametrize("call", [lambda p: p.add_cv_point(5, 1, 3), lambda p: p.remove_cv_points([1], 3),
                                  lambda p: p.add_cv_point(None, 1, 0), lambda p: p.remove_cv_points([1.5], 0)])
def test_bad_arguments_raise(make_plot, call):
    plot, _ = load(make_plot, [0, 10, 20, 30], [0.0, 1, 2, 3])
    with pytest.raises((IndexError, TypeError, ValueError)):
        call(plot)

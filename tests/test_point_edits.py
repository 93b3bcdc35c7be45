"""Inserting and removing control points, and the span they leave for the rebuild."""
import numpy as np
import pytest

UNSET = ["left", "over"]


@pytest.fixture
def plot(make_plot):
    return make_plot()


def load(plot, xs, ys=None, n=31, index=0):
    xs = np.array(xs)
    ys = np.arange(len(xs), dtype=float) * 2 if ys is None else np.array(ys)
    entry = [xs, ys]
    plot.gCurves = [np.zeros(n)] * (index + 1)
    plot.ctrl_points = [[np.array([0, n - 1]), np.zeros(2)]] * index + [entry]
    plot.params_for_ctrl_point_changed_signal = list(UNSET)
    return entry


@pytest.mark.parametrize("x, xs, at, span", [
    (15, [0, 10, 15, 20, 30], 2, [10, 21]),
    (10, [0, 10, 10, 20, 30], 1, [0, 21]),      # in front of the existing point
    (0, [0, 0, 10, 20, 30], 0, [0, 11]),
    (30, [0, 10, 20, 30, 30], 3, [20, 31]),
    (45, [0, 10, 20, 30, 45], 4, [30, 31]),
    (15.5, [0, 10, 15, 20, 30], 2, [15, 21]),    # truncated into xs, neighbours found with 15.5
])
def test_insertion(plot, x, xs, at, span):
    entry = load(plot, [0, 10, 20, 30], n=31, index=1)
    plot.add_cv_point(x, 42, 1)
    assert plot.ctrl_points[1] is entry
    assert entry[0].tolist() == xs and entry[0].dtype == np.int64
    assert entry[1][at] == 42 and len(entry[1]) == 5
    assert plot.params_for_ctrl_point_changed_signal == [1] + span


def test_insertion_converts_y_to_the_ys_type(plot):
    entry = load(plot, [0, 10, 20, 30], ys=np.array([1, 2, 3, 4], dtype=np.int32))
    plot.add_cv_point(x_value=15, y_value=42.9, curve_index=0)
    assert entry[1].tolist() == [1, 2, 42, 3, 4] and entry[1].dtype == np.int32


def test_insertion_at_a_negative_x_keeps_the_point_but_sets_no_span(plot):
    entry = load(plot, [0, 10, 20, 30])
    with pytest.raises(IndexError):
        plot.add_cv_point(-3, 7, 0)
    assert entry[0].tolist() == [-3, 0, 10, 20, 30] and entry[1][0] == 7
    assert plot.params_for_ctrl_point_changed_signal == UNSET


@pytest.mark.parametrize("xs, positions, left, span", [
    ([0, 10, 20, 30], [2], [0, 10, 30], [10, 31]),
    ([0, 10, 20, 30], [0, 2, 3], [0, 10, 30], [10, 31]),
    ([0, 10, 20, 30], (3, 2, 0), [0, 10, 30], [10, 31]),
    ([0, 10, 20, 30, 40], [1, 2], [0, 30, 40], [0, 21]),
    ([0, 10, 20, 30], [2, 3, 3], [0, 10], [10, 30]),          # the last position given twice
    ([0, 10, 20, 30], [0, 0, 2], [10, 30], [1, 11]),           # the first position given twice goes
])
def test_removal(plot, xs, positions, left, span):
    entry = load(plot, xs, ys=np.array(xs) * 2.0)
    plot.remove_cv_points(positions, 0)
    assert plot.ctrl_points[0] is entry
    assert entry[0].tolist() == left and entry[1].tolist() == [2.0 * x for x in left]
    assert plot.params_for_ctrl_point_changed_signal == [0] + span


def test_removal_keeps_xs_and_ys_paired(plot):
    entry = load(plot, [0, 5, 9, 14, 20], ys=[100.0, 101, 102, 103, 104], n=21)
    plot.remove_cv_points([3, 1], 0)
    assert entry[0].tolist() == [0, 9, 20] and entry[1].tolist() == [100.0, 102, 104]


@pytest.mark.parametrize("xs, positions", [
    ([0, 10, 20, 30], []),
    ([0, 10, 20, 30], [0]),
    ([0, 10, 20, 30], [3]),
    ([0, 10, 20, 30], [3, 0]),
    ([0, 0, 10, 30], [1]),          # the second column 0 has nothing to its left
    ([0, 10, 20, 30], [9, 12]),     # lowest position past the end
])
def test_removal_failing_before_any_change(plot, xs, positions):
    entry = load(plot, xs)
    before = [a.copy() for a in entry]
    with pytest.raises(IndexError):
        plot.remove_cv_points(positions, 0)
    assert entry[0].tolist() == before[0].tolist() and entry[1].tolist() == before[1].tolist()
    assert plot.params_for_ctrl_point_changed_signal == UNSET


def test_removal_past_the_end_sets_the_span_but_keeps_the_arrays(plot):
    entry = load(plot, [0, 10, 20, 30])
    xs, ys = entry
    with pytest.raises(IndexError):
        plot.remove_cv_points([1, 7], 0)
    assert entry[0] is xs and entry[1] is ys
    assert plot.params_for_ctrl_point_changed_signal == [0, 0, 21]


def test_edits_then_rebuild_pass_through_the_new_point(plot):
    curve = np.linspace(0, 30, 31)
    plot.gCurves = [curve]
    plot.ctrl_points = [[np.array([0, 10, 20, 30]), curve[[0, 10, 20, 30]].copy()]]
    plot.add_cv_point(15, 42.0, 0)
    plot.build_curve(0)
    assert curve[15] == 42 and curve[9] == 9 and curve[21] == 21 and curve[12] > 12
    plot.remove_cv_points([2], 0)
    plot.build_curve(0)
    np.testing.assert_allclose(curve, np.linspace(0, 30, 31))


@pytest.mark.parametrize("call", [
    lambda p: p.add_cv_point(5, 1, 3),
    lambda p: p.remove_cv_points([1], 3),
    lambda p: p.add_cv_point(None, 1, 0),
    lambda p: p.remove_cv_points(None, 0),
    lambda p: p.remove_cv_points([1.5], 0),
])
def test_bad_arguments_raise(plot, call):
    load(plot, [0, 10, 20, 30])
    with pytest.raises((IndexError, TypeError, ValueError)):
        call(plot)

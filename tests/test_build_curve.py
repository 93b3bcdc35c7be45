"""Rebuilding a curve span from its control points."""
import numpy as np
import pytest
from scipy.interpolate import PchipInterpolator

import vantel.utils.curveEditorPlot as cep


def reference(curve, entry, start, stop):
    points = np.array(entry)
    points = points[:, points[0].argsort(kind="stable")]
    _, first = np.unique(points[0], return_index=True)
    points = points[:, first]
    out = curve.copy()
    out[start:stop] = PchipInterpolator(points[0], points[1])(range(len(curve)))[start:stop]
    return out


@pytest.fixture
def plot(make_plot):
    plot = make_plot()
    plot.emitted = []
    plot.sigCurveChanged.connect(lambda i, c: plot.emitted.append(("curve", i, c)))
    plot.sigControlPointChanged.connect(lambda i, s: plot.emitted.append(("span", i, s)))
    return plot


def load(plot, curves, entries, span=None):
    plot.gCurves = curves
    plot.ctrl_points = entries
    plot.params_for_ctrl_point_changed_signal = span


def test_example_rewrites_only_the_span_and_signals(plot):
    curve = np.full(101, 7.0)
    xs, ys = np.array([0, 50, 100]), np.array([10, 30, 10])
    span = [0, 40, 61]
    load(plot, [curve], [[xs, ys]], span)
    assert plot.build_curve(0) is None
    assert curve[50] == 30 and np.all(curve[:40] == 7) and np.all(curve[61:] == 7)
    np.testing.assert_array_equal(curve, reference(np.full(101, 7.0), [xs, ys], 40, 61))
    assert [(kind, i) for kind, i, _ in plot.emitted] == [("curve", 0), ("span", 0)]
    assert plot.emitted[0][2] is curve and plot.emitted[1][2] == [40, 61] and plot.emitted[1][2] is not span
    assert plot.params_for_ctrl_point_changed_signal is None
    assert xs.tolist() == [0, 50, 100] and ys.tolist() == [10, 30, 10]


@pytest.mark.parametrize("xs, ys", [
    ([100, 0, 50], [10, 10, 30]),
    ([100, 0, 50, 50, 0], [10, 10, 30, 99, 5]),   # of equal xs the one stored first is kept
])
def test_unsorted_and_repeated_xs(plot, xs, ys):
    curve = np.zeros(101)
    load(plot, [curve], [[np.array(xs), np.array(ys, float)]], [0, 0, 101])
    plot.build_curve(0)
    np.testing.assert_array_equal(curve, reference(np.zeros(101), [[0, 50, 100], [10, 30, 10]], 0, 101))


def test_many_repeated_xs_keep_the_first_stored(plot):
    rng = np.random.default_rng(3)
    xs = rng.permutation(np.repeat(np.arange(0, 200, 10), 3))
    ys = rng.uniform(0, 50, xs.size)
    curve = np.zeros(200)
    load(plot, [curve], [[xs, ys]], [0, 0, 200])
    plot.build_curve(0)
    np.testing.assert_allclose(curve, reference(np.zeros(200), [xs, ys], 0, 200), rtol=0, atol=0)


@pytest.mark.parametrize("span, written", [
    ([0, 60, 40], slice(0, 0)),          # stop below start: nothing written
    ([0, 90, 500], slice(90, 101)),      # past the end: clipped
    ([0, -10, None], slice(91, 101)),    # Python slice rules
    ([0, -500, 5], slice(0, 5)),
])
def test_span_bounds_follow_slice_rules(plot, span, written):
    curve = np.full(101, -1.0)
    entry = [np.array([0, 50, 100]), np.array([10.0, 30, 10])]
    load(plot, [curve], [entry], list(span))
    plot.build_curve(0)
    expected = np.full(101, -1.0)
    expected[written] = reference(expected, entry, 0, 101)[written]
    np.testing.assert_array_equal(curve, expected)
    assert [k for k, _, _ in plot.emitted] == ["curve", "span"] and plot.emitted[1][2] == span[1:]
    assert plot.params_for_ctrl_point_changed_signal is None


@pytest.mark.parametrize("curve_dtype, ys_dtype", [(np.int32, np.int32), (np.int64, np.float32),
                                                   (np.float32, np.float64), (np.uint16, np.int64)])
def test_curve_keeps_its_type_and_truncates(plot, curve_dtype, ys_dtype):
    curve = np.zeros(64, dtype=curve_dtype)
    entry = [np.array([0, 13, 40, 63]), np.array([0, 37, 11, 50], dtype=ys_dtype)]
    load(plot, [curve], [entry], [0, 0, 64])
    plot.build_curve(0)
    assert curve.dtype == curve_dtype
    np.testing.assert_array_equal(curve, reference(np.zeros(64, dtype=curve_dtype), entry, 0, 64))
    if np.issubdtype(curve_dtype, np.integer):
        assert curve[5] == int(PchipInterpolator([0, 13, 40, 63], [0, 37, 11, 50])(5))


def test_random_control_points_match_numpy(plot):
    rng = np.random.default_rng(11)
    for _ in range(60):
        n = int(rng.integers(5, 300))
        m = int(rng.integers(2, 12))
        xs = rng.integers(-5, n + 5, m)                     # points may lie inside or outside the curve
        xs[:2] = [rng.integers(0, n // 2), rng.integers(n // 2 + 1, n)]
        ys = rng.uniform(0, 500, m).astype(rng.choice([np.float64, np.float32]))
        start, stop = sorted(rng.integers(-n, n + 3, 2))
        curve = rng.uniform(0, 500, n)
        expected = reference(curve, [xs, ys], start, stop)
        load(plot, [curve], [[xs, ys]], [0, start, stop])
        plot.build_curve(0)
        np.testing.assert_array_equal(curve, expected)


def test_the_module_interpolator_is_used(plot, monkeypatch):
    seen = []

    def fake(x, y):
        seen.append((x.copy(), y.copy()))
        return lambda at: np.full(len(np.asarray(at)), 5.0) + np.asarray(at)

    monkeypatch.setattr(cep, "PchipInterpolator", fake)
    curve = np.zeros(30)
    load(plot, [curve], [[np.array([29, 0, 10]), np.array([1, 2, 3])]], [0, 10, 12])
    plot.build_curve(0)
    (x, y), = seen
    assert x.tolist() == [0, 10, 29] and y.tolist() == [2, 3, 1] and x.dtype == np.int64
    assert curve[10:12].tolist() == [15.0, 16.0] and curve[:10].sum() == 0


def test_index_past_the_curves_does_nothing(plot):
    curve = np.zeros(10)
    load(plot, [curve], [[np.array([0, 9]), np.array([1.0, 1.0])]], [0, 0, 10])
    assert plot.build_curve(1) is None and plot.build_curve(5) is None
    assert curve.sum() == 0 and plot.emitted == [] and plot.params_for_ctrl_point_changed_signal == [0, 0, 10]


def test_negative_index_counts_from_the_end(plot):
    curves = [np.zeros(10), np.zeros(10)]
    load(plot, curves, [[np.array([0, 9]), np.array([9.0, 0.0])], [np.array([0, 9]), np.array([0.0, 0.0])]],
         [1, 0, 10])
    plot.build_curve(-2)
    assert curves[1].sum() == 0 and curves[0].tolist() == list(range(9, -1, -1))
    assert plot.emitted[0][1] == -2


def entries_for(curves):
    return [[np.array([0, len(c) // 2, len(c) - 1]), np.array([k, 10.0 + k, k])] for k, c in enumerate(curves)]


def test_all_curves_over_the_pending_span(plot):
    curves = [np.zeros(21), np.zeros(21)]
    load(plot, curves, entries_for(curves), [0, 5, 8])
    plot.build_curve()
    for k, curve in enumerate(curves):
        np.testing.assert_array_equal(curve, reference(np.zeros(21), entries_for(curves)[k], 5, 8))
    assert [(kind, i) for kind, i, _ in plot.emitted] == [("curve", 0), ("span", 0), ("curve", 1), ("span", 1)]
    assert plot.emitted[1][2] == [5, 8] and plot.emitted[3][2] == [5, 8]
    assert plot.params_for_ctrl_point_changed_signal is None


def test_all_curves_without_a_span_rebuild_whole_curves(plot):
    curves = [np.zeros(21), np.zeros(15)]
    load(plot, curves, entries_for(curves), None)
    plot.build_curve(-1)
    for k, curve in enumerate(curves):
        np.testing.assert_array_equal(curve, reference(np.zeros(len(curve)), entries_for(curves)[k], 0, len(curve)))
    assert [s for kind, _, s in plot.emitted if kind == "span"] == [[0, 21], [0, 15]]
    assert plot.params_for_ctrl_point_changed_signal is None


def test_all_curves_of_none_does_nothing(plot):
    load(plot, [], [], [0, 1, 2])
    plot.build_curve()
    assert plot.emitted == [] and plot.params_for_ctrl_point_changed_signal == [0, 1, 2]


def test_without_a_span_a_single_curve_fails_before_writing(plot):
    curve = np.zeros(10)
    load(plot, [curve], [[np.array([0, 9]), np.array([5.0, 5.0])]], None)
    with pytest.raises(TypeError):
        plot.build_curve(0)
    assert curve.sum() == 0 and plot.emitted == []


@pytest.mark.parametrize("entries, error", [
    ([[np.array([3, 3]), np.array([1.0, 2.0])]], ValueError),        # one distinct x
    ([[np.array([0, 5, 9]), np.array([1.0, 2.0])]], ValueError),     # ragged
    ([], IndexError),
    ([[np.array([0.0, np.nan, 9]), np.array([1.0, 2, 3])]], ValueError),
    ([[np.array([0, 9]), np.array([1.0, np.inf])]], ValueError),
    ([[np.array([0, 9]), np.array(["a", "b"])]], ValueError),
    ([None], IndexError),
])
def test_bad_control_points_write_nothing(plot, entries, error):
    curve = np.zeros(10)
    load(plot, [curve], entries, [0, 0, 10])
    with pytest.raises(error):
        plot.build_curve(0)
    assert curve.sum() == 0 and plot.emitted == [] and plot.params_for_ctrl_point_changed_signal == [0, 0, 10]


def test_read_only_curve_raises(plot):
    curve = np.zeros(10)
    curve.flags.writeable = False
    load(plot, [curve], [[np.array([0, 9]), np.array([1.0, 2.0])]], [0, 0, 10])
    with pytest.raises(ValueError):
        plot.build_curve(0)
    assert plot.emitted == []

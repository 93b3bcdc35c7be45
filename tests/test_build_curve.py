"""Rebuilding a curve span from its control points."""
import contextlib

import numpy as np
import pytest
from scipy.interpolate import PchipInterpolator


def reference(curve, entry, start, stop):
    xs, first = np.unique(entry[0], return_index=True)  # of equal xs the first stored wins
    out = curve.copy()
    out[start:stop] = PchipInterpolator(xs, np.asarray(entry[1])[first])(range(len(curve)))[start:stop]
    return out


@pytest.fixture
def plot(make_plot):
    plot, plot.emitted = make_plot(), []
    plot.sigCurveChanged.connect(lambda i, c: plot.emitted.append(("curve", i, c)))
    plot.sigControlPointChanged.connect(lambda i, s: plot.emitted.append(("span", i, s)))
    return plot


def load(plot, curves, entries, span):
    plot.gCurves, plot.ctrl_points, plot.params_for_ctrl_point_changed_signal = curves, entries, span


# Python slice rules: a stop below the start writes nothing, bounds past the ends are clipped.
@pytest.mark.parametrize("span, written", [([0, 40, 61], (40, 61)), ([0, 60, 40], (0, 0)), ([0, 90, 500], (90, 101)),
                                           ([0, -10, None], (91, 101)), ([0, -500, 5], (0, 5))])
def test_only_the_span_is_rewritten_then_signalled(plot, span, written):
    curve, xs, ys = np.full(101, 7.0), np.array([100, 0, 50]), np.array([10, 10, 30])
    load(plot, [curve], [[xs, ys]], pending := list(span))
    assert plot.build_curve(0) is None
    np.testing.assert_array_equal(curve, reference(np.full(101, 7.0), [[0, 50, 100], [10, 30, 10]], *written))
    assert [(kind, i) for kind, i, _ in plot.emitted] == [("curve", 0), ("span", 0)]
    assert plot.emitted[0][2] is curve and plot.emitted[1][2] == span[1:] and plot.emitted[1][2] is not pending
    assert plot.params_for_ctrl_point_changed_signal is None and xs.tolist() + ys.tolist() == [100, 0, 50, 10, 10, 30]


def test_random_control_points_match_numpy(plot):
    rng = np.random.default_rng(11)
    for _ in range(80):
        n, m = int(rng.integers(5, 300)), int(rng.integers(2, 12))
        xs = rng.integers(-5, n + 5, m)  # inside or outside the curve, unsorted, often repeated
        xs[:2] = [rng.integers(0, n // 2), rng.integers(n // 2 + 1, n)]
        ys = rng.uniform(0, 500, m).astype(rng.choice([np.float64, np.float32]))
        curve = rng.uniform(0, 500, n).astype(rng.choice([np.float64, np.float32, np.int64, np.int32]))
        start, stop = sorted(rng.integers(-n, n + 3, 2))
        expected = reference(curve, [xs, ys], start, stop)
        load(plot, [curve], [[xs, ys]], [0, start, stop])
        plot.build_curve(0)
        np.testing.assert_array_equal(curve, expected)


@pytest.mark.parametrize("args, span, spans", [((), [0, 5, 8], [[5, 8], [5, 8]]), ((-1,), None, [[0, 21], [0, 15]])])
def test_all_curves_over_the_pending_span_or_whole(plot, args, span, spans):
    curves = [np.zeros(21), np.zeros(15)]
    entries = [[np.array([0, len(c) // 2, len(c) - 1]), np.array([k, 10.0 + k, k])] for k, c in enumerate(curves)]
    load(plot, curves, entries, span)
    plot.build_curve(*args)
    for curve, entry, (start, stop) in zip(curves, entries, spans):
        np.testing.assert_array_equal(curve, reference(np.zeros(len(curve)), entry, start, stop))
    assert [(kind, i) for kind, i, _ in plot.emitted] == [("curve", 0), ("span", 0), ("curve", 1), ("span", 1)]
    assert [e[2] for e in plot.emitted[1::2]] == spans and plot.params_for_ctrl_point_changed_signal is None


# Nothing to rebuild (no such curve, or no curves at all), then bad input (one distinct x, ragged, NaN...): nothing
# written, signalled or cleared.
@pytest.mark.parametrize("count, index, xs, ys, span, error", [
    pytest.param(1, 1, [0, 9], [1.0, 1.0], [0, 0, 10], None, id="index just past the curves"),
    pytest.param(1, 5, [0, 9], [1.0, 1.0], [0, 0, 10], None, id="index far past the curves"),
    pytest.param(0, -1, [0, 9], [1.0, 1.0], [0, 0, 10], None, id="every curve of none"),
    pytest.param(1, 0, [3, 3], [1.0, 2.0], [0, 0, 10], ValueError, id="one distinct x"),
    pytest.param(1, 0, [0, 5, 9], [1.0, 2.0], [0, 0, 10], ValueError, id="ragged points"),
    pytest.param(1, 0, [0, np.nan, 9], [1.0, 2, 3], [0, 0, 10], ValueError, id="NaN x"),
    pytest.param(1, 0, [0, 9], [5.0, 5.0], None, TypeError, id="one curve without a pending span"),
    pytest.param(1, 0, None, None, [0, 0, 10], IndexError, id="no control points"),
    pytest.param(1, 0, [0, 9], [5.0, 5.0], [0, 0, 10], "read-only", id="read-only curve")])
def test_nothing_rebuilt_changes_nothing(plot, count, index, xs, ys, span, error):
    curves = [np.zeros(10) for _ in range(count)]
    for curve in curves:
        curve.flags.writeable = error != "read-only"
    load(plot, curves, [None if xs is None else [np.array(xs), np.array(ys)]] * count, span)
    with pytest.raises(ValueError if error == "read-only" else error) if error else contextlib.nullcontext():
        assert plot.build_curve(index) is None
    assert not np.any(curves) and plot.emitted == [] and plot.params_for_ctrl_point_changed_signal == span

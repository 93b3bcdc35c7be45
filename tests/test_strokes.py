"""The drag steps of an open stroke: straight segments and live-wire paths."""
import warnings

import numpy as np
import pytest

from pointer_helpers import base_calls, editor, hover  # noqa: F401

INT_TYPES = [np.int64, np.int32, np.int16, np.int8, np.uint64, np.uint32, np.uint16, np.uint8]
ALL_TYPES = [np.float64, np.float32] + INT_TYPES


def stroke(editor, curves, kind="liner", start=(10.0, 50.0), index=0, span=None, **kwargs):
    plot = editor(curves, eidtorType=kind, **kwargs)
    plot.mouse_path, plot.current_curve_idx, plot.params_for_ctrl_point_changed_signal = [start], index, span
    return plot


def transcribed_segment(curve, start, x1, y1):
    """The liner's write, written out with NumPy."""
    (x0, y0), n = start, len(curve)
    x0, x1 = max(min(int(np.round(x0)), n), 0), max(min(int(np.round(x1)), n), 0)
    if x0 == x1:
        return
    if x0 > x1:
        x0, x1, y0, y1 = x1, x0, y1, y0
    curve[x0:x1] = np.interp(np.arange(x0, x1), [x0, x1], [y0, y1])


@pytest.mark.parametrize("start, end, written", [
    ((10.4, 50.0), (10.6, 70.0), {10: 50.0}),
    ((20.0, 0.0), (30.0, 10.0), {c: c - 20.0 for c in range(20, 30)}),
    ((30.0, 10.0), (20.0, 0.0), {c: c - 20.0 for c in range(20, 30)}),  # swapped, the press column untouched
    ((36.0, 0.0), (45.0, 9.0), {36: 0.0, 37: 2.25, 38: 4.5, 39: 6.75}),  # towards (len(curve), 9)
    ((3.0, 3.0), (-7.0, -7.0), {0: -7.0, 1: -7.0 + 10 / 3, 2: -7.0 + 20 / 3}),  # start clamped to 0
])
def test_liner_segment_cases(editor, start, end, written):
    curve = np.full(40, -1.0)
    plot = stroke(editor, [curve], start=start)
    hover(plot, *end)
    expected = np.full(40, -1.0)
    for c, v in written.items():
        expected[c] = v
    np.testing.assert_allclose(curve, expected, rtol=0, atol=1e-12)


def test_liner_empty_segment_ends_the_hover_at_once(editor, base_calls):
    curve = np.zeros(40)
    plot = stroke(editor, [curve], start=(10.4, 5.0), span=[0, 10, 10])
    hover(plot, 9.6, 30.0)
    assert not curve.any() and plot.params_for_ctrl_point_changed_signal == [0, 10, 10]
    assert plot.redraws == 0 and base_calls == []


def test_liner_moving_back_keeps_the_farther_columns_and_widens_locally(editor):
    curve = np.zeros(120)
    plot = stroke(editor, [curve], start=(40.0, 0.0), span=[0, 40, 40], update_mode="local")
    hover(plot, 55.0, 15.0)
    assert plot.params_for_ctrl_point_changed_signal == [0, 40, 55]
    hover(plot, 100.0, 60.0)
    hover(plot, 30.0, -10.0)
    assert plot.params_for_ctrl_point_changed_signal == [0, 30, 100]
    np.testing.assert_array_equal(curve[30:40], np.arange(-10.0, 0.0))
    np.testing.assert_array_equal(curve[40:100], np.arange(60.0))
    assert plot.redraws == 3


def test_liner_global_mode_reports_the_whole_curve(editor):
    plot = stroke(editor, [np.zeros(10), np.zeros(64)], index=1, span=[1, 4, 4])
    hover(plot, 20.0, 3.0)
    assert plot.params_for_ctrl_point_changed_signal == [1, 0, 63]


@pytest.mark.parametrize("dtype", ALL_TYPES + [np.float16, np.bool_, ">f8"])
def test_liner_writes_exactly_what_numpy_writes(editor, dtype):
    rng = np.random.default_rng(7)
    views = [lambda a: a, lambda a: a[::-2]]  # also a strided, reversed view
    curves = [view(np.zeros(300, dtype)) for view in views]
    plot = editor(curves, eidtorType="liner")
    plot.plot = lambda *args: None  # the redraws are not under test here
    for k in range(60):
        for index, curve in enumerate(curves):
            x0, x1 = rng.uniform(-20, 320), rng.uniform(-20, 320)
            # the pointer's y must fit an int32 (it is reported as one); the press's need not
            y0 = float(rng.choice([rng.uniform(-1e3, 1e3), 1e20, -3e9, 70000.0, np.nan, np.inf]))
            y1 = float(rng.choice([rng.uniform(-1e3, 1e3), 127.5, 255.9999, -2.1e9]))
            plot.mouse_path, plot.current_curve_idx = [(x0, y0)], index
            # out-of-range casts differ between NumPy's loops: compare like with like
            expected = views[index](curve.base.copy() if curve.base is not None else curve.copy())
            with warnings.catch_warnings(), np.errstate(all="ignore"):
                warnings.simplefilter("ignore")
                transcribed_segment(expected, (x0, y0), x1, y1)
                hover(plot, x1, y1)
            np.testing.assert_array_equal(curve, expected, strict=True)


def test_liner_leaves_odd_curves_and_errors_to_numpy(editor):
    curve = [0.0] * 20
    plot = stroke(editor, [curve], start=(2.0, 2.0))
    hover(plot, 5.0, 5.0)
    assert curve[:6] == [0.0, 0.0, 2.0, 3.0, 4.0, 0.0]
    frozen = np.zeros(20)
    frozen.flags.writeable = False
    plot = stroke(editor, [frozen], start=(2.0, 2.0), span=[0, 2, 2])
    with pytest.raises(ValueError):
        hover(plot, 5.0, 5.0)
    assert plot.params_for_ctrl_point_changed_signal == [0, 2, 2]


class FixedPath:
    """A live-wire stand-in that returns a given contour and records its targets."""

    def __init__(self, contour):
        self.contour, self.targets = contour, []

    def getContour(self, target):
        self.targets.append(target)
        return self.contour


PATH = [(5, 10), (6, 11), (7, 12), (6, 20), (8, 13), (7, 2)]


@pytest.mark.parametrize("layout", [
    lambda p: np.array(p, np.int32),  # (N, 2), as OpenCV 5 returns it
    lambda p: np.array(p, np.int32)[:, None, :],  # (N, 1, 2), as OpenCV 4 returns it
    lambda p: np.array(p, np.int64)[:, None, :].copy(order="F"),
    lambda p: [[list(q)] for q in p],  # anything else goes through NumPy
])
@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int16, np.uint8])
def test_live_wire_writes_one_row_per_column_whatever_the_layout(editor, layout, dtype):
    curve = np.full(30, 99, dtype)
    plot = stroke(editor, [curve], kind="livewire", start=(5.0, 10.0))
    plot.liveWire = FixedPath(layout(PATH))
    hover(plot, 8.0, 13.0)
    expected = np.full(30, 99, dtype)
    expected[5:9] = [10, 11, 12, 13]  # the first row met in the path wins a column
    np.testing.assert_array_equal(curve, expected, strict=True)
    assert plot.liveWire.targets == [(8, 13)] and plot.redraws == 1


@pytest.mark.parametrize("x, y, target", [(250.0, 5.4, (39, 5)), (-0.4, -5.6, (0, -6)), (12.5, 7.5, (12, 8))])
def test_live_wire_target_column_is_clamped_to_the_curve(editor, x, y, target):
    plot = stroke(editor, [np.zeros(40)], kind="livewire")
    plot.liveWire = FixedPath(None)
    hover(plot, x, y)
    assert plot.liveWire.targets == [target]


def test_live_wire_span_keeps_the_raw_press_x_and_ignores_update_mode(editor):
    curve = np.zeros(40)
    plot = stroke(editor, [curve], kind="livewire", start=(10.7, 3.0), span=[0, 11, 11])
    plot.liveWire = FixedPath(None)  # nothing written, the span still grows
    hover(plot, 20.2, 3.0)
    assert plot.params_for_ctrl_point_changed_signal == [0, 10.7, 20] and not curve.any()
    assert plot.redraws == 1


def test_live_wire_single_point_and_out_of_range_path(editor):
    curve = np.zeros(10)
    plot = stroke(editor, [curve], kind="livewire", start=(3.0, 3.0))
    plot.liveWire = FixedPath(np.array([[4, 7]], np.int32))
    hover(plot, 4.0, 7.0)
    assert curve.tolist() == [0, 0, 0, 0, 7, 0, 0, 0, 0, 0]
    plot.liveWire = FixedPath(np.array([[12, 1]], np.int32))
    with pytest.raises(IndexError):
        hover(plot, 9.0, 1.0)


def test_live_wire_stroke_follows_an_image_edge(editor):
    h, w = 80, 160
    edge = (20 + 0.25 * np.arange(w)).astype(int)  # bright below a sloped line
    image = np.where(np.arange(h)[:, None] > edge[None, :], 0.9, 0.1)
    curve = np.full(w, 70.0)
    plot = stroke(editor, [curve], kind="livewire", start=(10.0, float(edge[10])))
    plot.liveWire.applyImage((image * 255).astype(np.uint8))
    plot.liveWire.buildMap((10, int(edge[10])))
    hover(plot, 140.0, float(edge[140]))
    assert np.abs(curve[10:141] - edge[10:141]).max() <= 1
    assert (curve[:10] == 70).all() and (curve[141:] == 70).all()

# The drag steps of an open stroke: straight segments and live-wire paths.
from unittest import mock

import numpy as np
import pytest

from pointer_helpers import hover

CONTOUR = np.array([(5, 10), (6, 11), (7, 12), (6, 20), (8, 13), (7, 2)], np.int32)


def stroke(editor, curves, kind="liner", start=(10.0, 50.0), index=0, span=None, **kwargs):
    plot = editor(curves, eidtorType=kind, **kwargs)
    plot.mouse_path, plot.current_curve_idx, plot.params_for_ctrl_point_changed_signal = [start], index, span
    return plot


def transcribed_segment(curve, *ends):
    # The liner's write, written out with NumPy (the sort is stable: equal columns write nothing).
    (x0, y0), (x1, y1) = sorted(((max(min(int(np.round(x)), len(curve)), 0), y) for x, y in ends), key=lambda p: p[0])
    curve[x0:x1] = np.interp(np.arange(x0, x1), [x0, x1], [y0, y1])


# Columns [col, col + len(vals)) written with vals; a list curve goes through NumPy.
@pytest.mark.parametrize("make, mode, start, moves, col, vals, span, drawn", [
    pytest.param(list, "local", (30.0, 10.0), [(20.0, 0.0)], 20, np.arange(10.0), [1, 20, 50], 1,
                 id="leftwards: the press column is not written"),
    pytest.param(np.array, "global", (116.0, 0.0), [(125.0, 9.0)], 116, [0.0, 2.25, 4.5, 6.75], [1, 0, 119], 1,
                 id="past the end: written to 120"),
    pytest.param(np.array, "local", (3.0, 3.0), [(-7.0, -7.0)], 0, -7.0 + np.arange(3) * 10 / 3, [1, 0, 50], 1,
                 id="past the start: written from 0"),
    pytest.param(np.array, "local", (10.4, 5.0), [(9.6, 30.0)], 0, [], [1, 50, 50], 0,
                 id="same column: empty, the hover ends at once"),
    pytest.param(list, "local", (40.0, 0.0), [(55.0, 15.0), (100.0, 60.0), (30.0, -10.0)], 30, np.arange(-10.0, 60.0),
                 [1, 30, 100], 3, id="moving back keeps the farther columns"),
])
def test_liner_segments(editor, base_calls, make, mode, start, moves, col, vals, span, drawn):
    plot = stroke(editor, [np.zeros(5), make([-1.0] * 120)], start=start, index=1, span=[1, 50, 50], update_mode=mode)
    for move in moves:
        hover(plot, *move)
    np.testing.assert_allclose(plot.gCurves[1], np.r_[[-1.0] * col, vals, [-1.0] * 120][:120], rtol=0, atol=1e-12)
    assert plot.params_for_ctrl_point_changed_signal == span and plot.redraws == len(base_calls) == drawn


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64, np.uint8, np.uint64, np.float16, np.bool_, ">f8"])
@np.errstate(all="ignore")
def test_liner_writes_exactly_what_numpy_writes(editor, dtype):
    rng, slices = np.random.default_rng(7), [slice(None), slice(None, None, -2)]  # also a strided, reversed view
    plot = editor([np.zeros(300, dtype)[s] for s in slices], eidtorType="liner")
    for index, (x0, x1) in zip([0, 1] * 60, rng.uniform(-20, 320, (120, 2))):
        # the pointer's y must fit an int32 (it is reported as one); the press's need not
        y0 = float(rng.choice([rng.uniform(-1e3, 1e3), 1e20, -3e9, 70000.0, np.nan, np.inf]))
        y1 = float(rng.choice([rng.uniform(-1e3, 1e3), 127.5, 255.9999, -2.1e9]))
        plot.mouse_path, plot.current_curve_idx = [(x0, y0)], index
        # out-of-range casts differ between NumPy's loops: compare like with like
        expected = plot.gCurves[index].base.copy()[slices[index]]
        transcribed_segment(expected, (x0, y0), (x1, y1))
        hover(plot, x1, y1)
        np.testing.assert_array_equal(plot.gCurves[index], expected, strict=True)


@pytest.mark.parametrize("kind, error", [("liner", ValueError), ("livewire", IndexError)])
def test_failures_leave_the_span_alone(editor, kind, error):
    plot = stroke(editor, [np.zeros(10)], kind=kind, start=(2.0, 2.0), span=[0, 2, 2])
    plot.gCurves[0].flags.writeable = kind == "livewire"  # liner: a read-only curve; live wire: a path beyond it
    plot.liveWire = mock.Mock(**{"getContour.return_value": np.array([[12, 1]], np.int32)})
    with pytest.raises(error):
        hover(plot, 5.0, 5.0)
    assert plot.params_for_ctrl_point_changed_signal == [0, 2, 2] and plot.redraws == 0 and not plot.gCurves[0].any()


# The first row met in the path wins a column; the target is the pointer rounded, its column clamped to the curve;
# the span keeps the press's raw x, whatever the update mode.
@pytest.mark.parametrize("contour, dtype, x, y, target, span", [
    pytest.param(CONTOUR, np.float64, 8.0, 13.0, (8, 13), [0, 5.7, 8], id="(N, 2) path, as OpenCV 5 returns it"),
    pytest.param(CONTOUR[:, None, :], np.float32, 250.0, 5.4, (29, 5), [0, 5.7, 29],
                 id="(N, 1, 2) path, as OpenCV 4 returns it; column clamped"),
    pytest.param(CONTOUR.astype(np.int64)[:, None, :].copy(order="F"), np.int16, -0.4, -5.6, (0, -6), [0, 0, 6],
                 id="Fortran-ordered int64 path; left of the curve"),
    pytest.param(CONTOUR[:, None, :].tolist(), np.uint8, 12.5, 7.5, (12, 8), [0, 5.7, 12],
                 id="a list goes through NumPy"),
    pytest.param(None, np.float64, 20.2, 3.0, (20, 3), [0, 6, 6], id="no path: nothing written, span unchanged"),
])
def test_live_wire_steps(editor, contour, dtype, x, y, target, span):
    plot = stroke(editor, [np.full(30, 99, dtype)], kind="livewire", start=(5.7, 10.0), span=[0, 6, 6])
    plot.liveWire = mock.Mock(**{"getContour.return_value": contour})
    hover(plot, x, y)
    assert plot.gCurves[0].tolist() == [99] * 5 + ([10, 11, 12, 13] if contour is not None else [99] * 4) + [99] * 21
    plot.liveWire.getContour.assert_called_once_with(target)
    assert plot.params_for_ctrl_point_changed_signal == span and plot.redraws == 1

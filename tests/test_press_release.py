# Opening and closing edits: press, double-click, release, and whole strokes.
from unittest import mock

import numpy as np
import pytest

from pointer_helpers import Ev, Qt, Recorder, click, hover, move, press, send

FINISHED = ("sigCurveChangeFinished", None, None)


def assert_idle(plot):
    assert (plot.mouse_path, plot.current_curve_idx, plot.params_for_ctrl_point_changed_signal, plot.mouse_pressed,
            plot.modified_ctrl_point, plot.target.isVisible()) == ([], -1, None, False, None, False)


def test_real_press_and_double_click_run_a_stroke(editor):
    curve = np.full(200, 50.0)
    plot = editor([curve, np.full(200, 120.0)], steer=False, eidtorType="liner", update_mode="local")
    seen = Recorder(plot, positions=False)
    move(plot, 40.0, 51.0)
    click(plot, 40.0, 51.0)
    send(plot, Ev.MouseMove, 60.0, 70.0)
    click(plot, 60.0, 70.0, double=True)
    assert seen == [("sigCurveChanged", 0, curve), ("sigControlPointChanged", 0, [40, 60]), FINISHED]
    assert_idle(plot)


@pytest.mark.parametrize("mode, reported", [("local", [20, 60]), ("global", [0, 99])])
def test_liner_stroke_from_press_to_double_click(editor, mode, reported):
    curve = np.full(100, 10.0)
    plot = editor([np.zeros(100), curve], eidtorType="liner", update_mode=mode)
    seen = Recorder(plot, positions=False)
    hover(plot, 20.0, 0.0)
    press(plot, 20.0, 0.0)
    hover(plot, 30.0, 5.0)
    plot.mouse_path, plot.current_curve_idx = [], -1  # a right click abandons the stroke, not its span
    # a stroke on curve 1 from 40.5 (column 40), back over its first segment, then the first press of a double-click
    for x, y in [(40.5, 11.0), (60.0, 31.0), (50.0, 21.0)]:
        hover(plot, x, y)
        press(plot, x, y)
    observed = []  # the control points are regenerated before the signal, the state reset before the finish
    plot.sigCurveChanged.connect(lambda *args: observed.append(plot.ctrl_points[1][1][5]))
    plot.sigCurveChangeFinished.connect(lambda *args: observed.append(plot.current_curve_idx))
    plot.plot = mock.Mock(side_effect=[RuntimeError, None])
    with pytest.raises(RuntimeError):  # a failed redraw leaves the stroke open...
        press(plot, 50.0, 21.0, double=True)
    assert plot.current_curve_idx == 1 and plot.mouse_path == [(50.0, 21.0)]
    press(plot, 50.0, 21.0, double=True)  # ...and the next double-click closes it
    np.testing.assert_array_equal(curve[39:61], [10.0, *range(11, 31), 10.0])
    assert seen == [("sigCurveChanged", 1, curve), ("sigControlPointChanged", 1, reported)] * 2 + [FINISHED]
    assert observed == [11.0, 11.0, -1]
    assert_idle(plot)


@pytest.mark.parametrize("kind, opens, marks", [
    ("liner", True, False), ("livewire", True, False), ("anchors", False, True), ("none", False, False)])
def test_presses_and_a_stray_double_click(editor, base_calls, kind, opens, marks):
    plot = editor([np.zeros(40)], eidtorType=kind)
    plot.liveWire, seen = mock.Mock(), Recorder(plot)
    press(plot, 5.0, 50.0)  # nothing picked, nothing focused
    plot.current_curve_idx, plot.modified_ctrl_point = 0, (0, 1, 8, 0.0)
    press(plot, 5.0, 0.0, button=Qt.MouseButton.RightButton)
    press(plot, 5.0, 0.0, button=Qt.MouseButton.RightButton, double=True)
    assert plot.mouse_path == [] and plot.mouse_pressed is False
    press(plot, 12.9, 7.6)  # the live wire's seed truncates, the span's column rounds; a focus marks an anchor drag
    assert plot.liveWire.buildMap.call_args_list == ([mock.call((12, 7))] if kind == "livewire" else [])
    assert (plot.mouse_path, plot.params_for_ctrl_point_changed_signal, plot.mouse_pressed) == (
        ([(12.9, 7.6)], [0, 13, 13], False) if opens else ([], None, marks))
    plot.current_curve_idx = -1  # a stray double-click, maybe after a stroke abandoned with its span
    plot.target.show()
    press(plot, double=True)
    assert seen == [FINISHED] and plot.redraws == 0 and base_calls == ["press"] * 3
    assert_idle(plot)

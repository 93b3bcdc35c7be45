"""Opening and closing edits: press, double-click, release, and whole strokes."""
import numpy as np
import pytest
from PySide6 import QtCore
from PySide6.QtTest import QTest

from pointer_helpers import (LEFT, RIGHT, Recorder, Steered, base_calls, double_click, editor, hover, press,  # noqa: F401
                             real_move, viewport_point)

FINISHED = ("sigCurveChangeFinished", None, None)


def assert_idle(plot):
    assert plot.mouse_path == [] and plot.current_curve_idx == -1
    assert plot.params_for_ctrl_point_changed_signal is None and plot.mouse_pressed is False
    assert plot.modified_ctrl_point is None and not plot.target.isVisible()


def test_real_press_and_double_click_run_a_stroke(qapp, editor):
    curve = np.full(200, 50.0)
    plot = editor([curve, np.full(200, 120.0)], steer=False, eidtorType="liner", update_mode="local")
    plot.plot()
    plot.vb.setRange(xRange=(0, 199), yRange=(0, 199), padding=0)
    qapp.processEvents()
    seen = Recorder(plot)
    viewport, modifier = plot.view.viewport(), QtCore.Qt.KeyboardModifier.NoModifier
    real_move(qapp, plot.view, plot, 40.0, 51.0)
    QTest.mousePress(viewport, LEFT, modifier, viewport_point(plot.view, plot, 40.0, 51.0))
    QTest.mouseRelease(viewport, LEFT, modifier, viewport_point(plot.view, plot, 40.0, 51.0))
    assert plot.mouse_path and plot.params_for_ctrl_point_changed_signal[:2] == [0, 40]
    real_move(qapp, plot.view, plot, 60.0, 70.0)
    assert 65 < curve[55] < 67 and curve[61] == 50.0
    QTest.qWait(400)  # not a double-click with the press above
    QTest.mouseDClick(viewport, LEFT, modifier, viewport_point(plot.view, plot, 60.0, 70.0))
    assert [s[0] for s in seen.seen if s[0] != "sigMousePosChanged"] == [
        "sigCurveChanged", "sigControlPointChanged", "sigCurveChangeFinished"]
    assert seen.named("sigControlPointChanged") == [(0, [40, 60])]
    assert_idle(plot)


@pytest.mark.parametrize("mode, span", [("local", [40, 60]), ("global", [0, 99])])
def test_liner_stroke_signals_and_payloads(editor, mode, span):
    curve = np.full(100, 10.0)
    plot = editor([np.zeros(100), curve], eidtorType="liner", update_mode=mode)
    seen = Recorder(plot)
    hover(plot, 40.5, 11.0)
    press(plot, 40.5, 11.0)
    assert plot.mouse_path == [(40.5, 11.0)] and plot.params_for_ctrl_point_changed_signal == [1, 40, 40]
    hover(plot, 60.0, 30.0)
    observed = []
    plot.sigCurveChanged.connect(lambda i, c: observed.append((c is curve, plot.ctrl_points[1][1][5])))
    plot.sigCurveChangeFinished.connect(lambda *a: observed.append(plot.current_curve_idx))
    double_click(plot, 60.0, 30.0)
    signals = [s for s in seen.seen if s[0] != "sigMousePosChanged"]
    assert signals == [("sigCurveChanged", 1, curve), ("sigControlPointChanged", 1, span), FINISHED]
    assert observed == [(True, curve[40]), -1]  # control points regenerated before, state reset after
    assert_idle(plot)


def test_two_segments_join_at_the_press_points(editor):
    curve = np.zeros(50)
    plot = editor([curve], eidtorType="liner", update_mode="local")
    seen = Recorder(plot)
    hover(plot, 10.0, 0.0)
    press(plot, 10.0, 0.0)
    hover(plot, 30.0, 20.0)
    press(plot, 30.0, 20.0)
    hover(plot, 20.0, 10.0)
    press(plot, 20.0, 10.0)  # the first press of a double-click
    double_click(plot, 20.0, 10.0)
    np.testing.assert_array_equal(curve[10:30], np.arange(20.0))
    assert seen.named("sigControlPointChanged") == [(0, [10, 30])]


def test_abandoned_stroke_span_carries_into_the_next(editor):
    plot = editor([np.zeros(200), np.full(200, 50.0)], eidtorType="liner", update_mode="local")
    seen = Recorder(plot)
    hover(plot, 40.0, 0.0)
    press(plot, 40.0, 0.0)
    hover(plot, 60.0, 5.0)
    plot.mouse_path, plot.current_curve_idx = [], -1  # what a right click does
    hover(plot, 100.0, 50.0)
    press(plot, 100.0, 50.0)
    double_click(plot, 100.0, 50.0)
    assert seen.named("sigControlPointChanged") == [(1, [40, 100])]


def test_live_wire_press_truncates_the_seed_and_rounds_the_span(editor):
    plot = editor([np.zeros(40)], eidtorType="livewire")
    seeds = []
    plot.liveWire = type("Seeds", (), {"buildMap": lambda self, p: seeds.append(p)})()
    plot.current_curve_idx = 0
    press(plot, 12.9, 7.6)
    assert seeds == [(12, 7)] and plot.params_for_ctrl_point_changed_signal == [0, 13, 13]
    assert plot.mouse_path == [(12.9, 7.6)]


@pytest.mark.parametrize("kind", ["liner", "livewire", "anchors", "none"])
def test_presses_that_open_nothing(editor, base_calls, kind):
    plot = editor([np.zeros(40)], eidtorType=kind)
    seen = Recorder(plot)
    press(plot, 5.0, 0.0)  # nothing picked, nothing focused
    plot.current_curve_idx = 0
    press(plot, 5.0, 0.0, button=RIGHT)
    double_click(plot, 5.0, 0.0, button=RIGHT)
    assert base_calls == ["press", "press"] and seen.seen == []
    assert plot.mouse_path == [] and plot.mouse_pressed is False


@pytest.mark.parametrize("kind", ["liner", "livewire", "anchors", "none"])
def test_stray_double_click_only_resets_and_finishes(editor, kind):
    plot = editor([np.zeros(40)], eidtorType=kind)
    seen = Recorder(plot)
    plot.target.show()
    plot.params_for_ctrl_point_changed_signal = [0, 3, 9]  # a span left by an abandoned stroke
    double_click(plot)
    assert seen.seen == [FINISHED] and plot.redraws == 0
    assert_idle(plot)


def test_anchors_press_marks_the_drag_only_with_a_focus(editor):
    plot = editor([np.zeros(40)], eidtorType="anchors")
    press(plot, 0.0, 0.0)
    assert plot.mouse_pressed is False
    hover(plot, 8.0, 1.0)
    press(plot, 500.0, 500.0)  # not tested against the plot's rectangle
    assert plot.modified_ctrl_point[:2] == (0, 1) and plot.mouse_pressed is True


def test_release_failure_leaves_the_stroke_open(editor):
    plot = editor([np.zeros(40)], eidtorType="liner")
    seen = Recorder(plot)
    hover(plot, 5.0, 0.0)
    press(plot, 5.0, 0.0)

    def broken(*args):
        raise RuntimeError("redraw failed")

    plot.plot = broken
    with pytest.raises(RuntimeError):
        double_click(plot)
    assert plot.current_curve_idx == 0 and plot.mouse_path
    assert [s[0] for s in seen.seen[1:]] == ["sigCurveChanged", "sigControlPointChanged"]


def test_release_regenerates_control_points_with_the_real_generator(make_plot, shown):
    plot = make_plot(eidtorType="liner")
    shown(plot)
    curve = np.full(120, 30.0)
    plot.set_curve([curve], [dict(color=(255, 0, 0), style=None, width=1, connect="all", is_visible=True)])
    plot.vb = Steered(plot.vb)
    before = len(plot.ctrl_points[0][0])
    hover(plot, 20.0, 30.0)
    press(plot, 20.0, 30.0)
    hover(plot, 80.0, 90.0)
    regenerated = []
    plot.sigCurveChanged.connect(lambda i, c: regenerated.append(plot.ctrl_points))
    double_click(plot, 80.0, 90.0)
    expected = plot._generate_control_points()
    assert len(regenerated) == 1 and all(
        np.array_equal(a, b) for got, want in zip(regenerated[0], expected) for a, b in zip(got, want))
    assert len(regenerated[0][0][0]) > before

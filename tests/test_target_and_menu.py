# Anchor dragging through the target, the wheel that widens the selection, and the context menu with its point
# commands.
from types import SimpleNamespace

import numpy as np
import pytest
from PySide6 import QtCore, QtGui

from pointer_helpers import assert_drawn, drag

RED, GREEN = (255, 0, 0), (0, 255, 0)


def props(color=RED):
    return {"color": color, "style": QtCore.Qt.PenStyle.DashLine, "width": 2, "connect": "all", "is_visible": True}


# An event or target answering the few calls the handlers make.
def Stub(x=0.0, y=0.0, delta=0):
    return SimpleNamespace(scenePos=lambda: QtCore.QPointF(x, y), delta=lambda: delta,
                           screenPos=lambda: QtCore.QPoint(7, 9), ignore=lambda: None)


# Scene coordinates are data coordinates; the data span 100 units, as does the view.
def identity_view(plot):
    plot.vb.mapSceneToView = lambda p: QtCore.QPointF(p)
    plot.vb.childrenBounds = lambda *args, **kwargs: [[0.0, 100.0], [0.0, 100.0]]  # pyqtgraph passes frac= at times
    plot.vb.viewRect = lambda: QtCore.QRectF(0, 0, 100, 100)
    plot.sceneBoundingRect = lambda: QtCore.QRectF(-1e6, -1e6, 2e6, 2e6)


def record(signal):
    seen = []
    signal.connect(lambda *args: seen.append(args))
    return seen


@pytest.mark.parametrize("focus, deltas, left, right", [
    (3, [120, 120, 120], [2, 1, 0], [4, 5, 6]), (0, [120], [], [1]), (9, [120], [8], []),
    (3, [120, 120, -120], [2], [4]), (1, [120, 120, 0], [], [2])])
def test_wheel_grows_and_shrinks_one_step_per_event(make_plot, focus, deltas, left, right):
    plot = make_plot(eidtorType="anchors")
    plot.curve_props = [props()]
    stored = [3, 0, 9, 0, 5, 1, 7, 2, 8, 4, 6]  # read sorted, without repeats
    plot.ctrl_points = [[(np.arange(10) * 10)[stored], (np.arange(10) * 2.0)[stored]]]
    plot.modified_ctrl_point = (0, focus, focus * 10, focus * 2.0)
    for delta in deltas:
        plot.targetWhellEvent(Stub(delta=delta))
    assert plot.modified_left_adjcent_points == [[0, i, i * 10, i * 2.0] for i in left]
    assert plot.modified_right_adjcent_points == [[0, i, i * 10, i * 2.0] for i in right]
    if left:
        assert list(plot.modified_left_adjcent_plot.getData()[0]) == [i * 10 for i in left]


# Control points every 10 columns of a 41-column ramp, the point at position k focused and a drag under way.
@pytest.fixture
def dragging(make_plot):
    def make(k):
        plot = make_plot(eidtorType="anchors")
        plot.set_curve([np.arange(41.0)], [props()])
        xs = np.arange(0, 41, 10, dtype=np.int64)
        plot.ctrl_points, plot.modified_ctrl_point = [[xs, xs.astype(float)]], (0, k, xs[k], float(xs[k]))
        plot.target.show()
        plot.mouse_pressed = True
        identity_view(plot)
        return plot
    return make


@pytest.mark.parametrize("k, x, y, left, right, xs, ys, span", [
    pytest.param(2, -7.0, 5.0, [], [], [0, 10, 0, 30, 40], [0, 10, 5, 30, 40], [0, 1], id="clamped left onto column 0"),
    pytest.param(2, 10.5, 5.0, [], [], [0, 10, 10, 30, 40], [0, 10, 5, 30, 40], [10, 11], id="x halves to even, down"),
    pytest.param(2, 11.5, 5.0, [], [], [0, 10, 12, 30, 40], [0, 10, 5, 30, 40], [10, 31], id="x halves to even, up"),
    pytest.param(2, 99.0, 5.0, [], [], [0, 10, 40, 30, 40], [0, 10, 5, 30, 40], [40, 41], id="clamped right"),
    pytest.param(0, 0.0, 3.0, [], [], [0, 10, 20, 30, 40], [3, 10, 20, 30, 40], [0, 11], id="first point"),
    pytest.param(4, 40.0, 3.0, [], [], [0, 10, 20, 30, 40], [0, 10, 20, 30, 3], [30, 41], id="last point"),
    pytest.param(2, 23.0, 18.0, [[0, 1, 10, 10.0]], [], [0, 13, 23, 30, 40], [0, 8, 18, 30, 40], [10, 31],
                 id="a selected neighbour moves rigidly with it"),
    pytest.param(2, 27.0, 25.0, [[0, 1, 10, 10.0], [0, 0, 0, 0.0]], [[0, 3, 30, 30.0], [0, 4, 40, 40.0]],
                 [0, 10, 20, 30, 40], [5, 15, 25, 35, 45], [10, 31], id="all others selected: vertical only")])
def test_drag_moves_the_point_and_rebuilds_the_span(dragging, k, x, y, left, right, xs, ys, span):
    plot = dragging(k)
    plot.modified_left_adjcent_points, plot.modified_right_adjcent_points = left, right
    changed, spans = record(plot.sigCurveChanged), record(plot.sigControlPointChanged)
    plot.targetMoved(Stub(x, y))
    assert list(plot.ctrl_points[0][0]) == xs and list(plot.ctrl_points[0][1]) == ys
    assert spans == [(0, span)] and changed[0][1] is plot.gCurves[0]
    assert plot.params_for_ctrl_point_changed_signal is None
    for p in left + right:
        assert [p[2], p[3]] == [xs[p[1]], ys[p[1]]]
    outside = np.r_[0:span[0], span[1]:41]
    assert np.array_equal(plot.gCurves[0][outside], outside)


@pytest.mark.parametrize("change", ["hidden", "released", "no focus"])
def test_target_moved_outside_a_drag_changes_nothing(dragging, change):
    plot = dragging(2)
    plot.target.setVisible(change != "hidden")
    plot.mouse_pressed = change != "released"
    if change == "no focus":
        plot.modified_ctrl_point = None
    spans = record(plot.sigControlPointChanged)
    plot.targetMoved(Stub(23.0, 30.0))
    assert spans == [] and list(plot.ctrl_points[0][0]) == [0, 10, 20, 30, 40]


def test_real_drag_then_wheel_through_qt_events(make_plot, shown, qapp):
    plot = make_plot(eidtorType="anchors")
    plot.set_curve([np.round(100 + 30 * np.sin(np.linspace(0, 3 * np.pi, 201)))], [props()])
    plot.view = shown(plot, size=(800, 600))
    plot.plot()
    plot.vb.autoRange()
    qapp.processEvents()
    k = len(plot.ctrl_points[0][0]) // 2
    py = float(plot.ctrl_points[0][1][k])
    signals = plot.sigCurveChanged, plot.sigControlPointChanged, plot.sigCurveChangeFinished
    (changed, spans, finished), pressed = map(record, signals), []
    # the curve on screen follows every step
    drag(plot, 0, k, -20.0, steps=5, check=lambda plot: (pressed.append(plot.mouse_pressed), assert_drawn(plot)))
    assert len(changed) >= 2 and len(changed) == len(spans) and all(c[1] is plot.gCurves[0] for c in changed)
    assert finished == [(None, None)] and pressed == [True] * 5
    assert plot.ctrl_points[0][1][k] < py - 10
    assert not plot.mouse_pressed and plot.modified_ctrl_point is None
    # a wheel over the focused target widens the selection instead of zooming
    xs, ys = plot.ctrl_points[0]
    plot.modified_ctrl_point = (0, k, xs[k], ys[k])
    scene = plot.vb.mapViewToScene(QtCore.QPointF(float(xs[k]), float(ys[k])))
    plot.plot_focus_control_point(plot.modified_ctrl_point, plot.mapFromScene(scene))
    before, local = plot.vb.viewRange(), QtCore.QPointF(plot.view.mapFromScene(scene))
    qapp.sendEvent(plot.view.viewport(), QtGui.QWheelEvent(
        local, QtCore.QPointF(plot.view.viewport().mapToGlobal(local.toPoint())), QtCore.QPoint(0, 0),
        QtCore.QPoint(0, 120), QtCore.Qt.MouseButton.NoButton, QtCore.Qt.KeyboardModifier.NoModifier,
        QtCore.Qt.ScrollPhase.NoScrollPhase, False))
    qapp.processEvents()
    assert [p[1] for p in plot.modified_left_adjcent_points] == [k - 1]
    assert plot.vb.viewRange() == before


@pytest.fixture
def menu_plot(make_plot):
    def make(editor="anchors", curves=(50.0,)):
        plot = make_plot(eidtorType=editor)
        plot.set_curve([np.full(101, c) for c in curves], [props(c) for c in (RED, GREEN)[:len(curves)]])
        identity_view(plot)
        plot.shown_menus = []
        plot.plot()
        plot.menu.exec = lambda pos: plot.shown_menus.append(([a.text() for a in plot.menu.actions()], pos))
        return plot

    return make


def point_commands(plot):
    return [a.text() for a in plot.menu.actions() if a.text() in ("addPoint", "removePoint")]


@pytest.mark.parametrize("focused, x, y, expected", [
    (True, 50.4, 50.0, ["removePoint"]),  # focus wins even next to a curve
    (False, 40.0, 70.0, ["addPoint"]),  # 20 away: inside the halved-ratio reach of 30
    (False, 40.0, 80.0, []),  # exactly 30 away: strict
    (False, 0.0, 50.0, [])])  # column 0 never qualifies
def test_menu_offers_the_point_command_that_fits(menu_plot, focused, x, y, expected):
    plot = menu_plot()
    plot.modified_ctrl_point = (0, 1, 50, 50.0) if focused else None
    for _ in range(3):  # repeated menus keep a single point command
        plot.contextMenuEvent(Stub(x, y))
    texts, pos = plot.shown_menus[-1]
    assert point_commands(plot) == expected and pos == QtCore.QPoint(7, 9)
    if expected:
        assert texts[0] == expected[0] and plot.menu.actions()[1].isSeparator()
    plot.sceneBoundingRect = lambda: QtCore.QRectF(1000, 1000, 1, 1)
    plot.contextMenuEvent(Stub(x, y))
    assert point_commands(plot) == [] and len(plot.shown_menus) == 4


def test_add_point_adds_at_the_pointer_to_the_lower_index_curve(menu_plot):
    plot = menu_plot(curves=(40.0, 60.0))
    changed = record(plot.sigCurveChanged)
    plot.contextMenuEvent(Stub(30.4, 50.4))
    plot.menu.actions()[0].trigger()
    xs = list(plot.ctrl_points[0][0])
    assert 30 in xs and plot.ctrl_points[0][1][xs.index(30)] == 50 and 30 not in list(plot.ctrl_points[1][0])
    assert changed[0][0] == 0 and plot.gCurves[0][30] == pytest.approx(50.0)
    assert_drawn(plot)


def test_remove_point_removes_the_focused_point_and_its_neighbours(menu_plot):
    plot = menu_plot()
    plot.ctrl_points[0] = [np.arange(0, 101, 10), np.full(11, 50.0)]
    plot.modified_ctrl_point, plot.modified_right_adjcent_points = (0, 5, 50, 50.0), [[0, 6, 60, 50.0]]
    plot.modified_left_adjcent_points = [[0, 4, 40, 50.0], [0, 3, 30, 50.0]]
    calls, original = [], plot.remove_cv_points
    plot.remove_cv_points = lambda idx, ci: (calls.append((list(idx), ci)), original(idx, ci))
    plot.contextMenuEvent(Stub(50.0, 50.0))
    plot.menu.actions()[0].trigger()
    assert calls == [([4, 3, 5, 6], 0)]
    assert list(plot.ctrl_points[0][0]) == [0, 10, 20, 70, 80, 90, 100]
    assert_drawn(plot)


@pytest.mark.parametrize("editor", ["liner", "livewire"])
def test_right_click_abandons_a_stroke_without_a_menu(menu_plot, editor):
    plot = menu_plot(editor=editor)
    plot.mouse_path, plot.current_curve_idx, plot.params_for_ctrl_point_changed_signal = [(3.0, 4.0)], 0, [0, 3, 9]
    plot.contextMenuEvent(Stub(40.0, 50.0))
    assert plot.mouse_path == [] and plot.current_curve_idx == -1
    assert plot.params_for_ctrl_point_changed_signal == [0, 3, 9] and plot.shown_menus == []

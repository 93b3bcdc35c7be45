"""Anchor dragging through the target, the wheel that widens the selection, and the
context menu with its point commands."""
import time

import numpy as np
import pytest
from PySide6 import QtCore, QtGui
from PySide6.QtTest import QTest

RED, GREEN = (255, 0, 0), (0, 255, 0)


def props(color=RED, visible=True):
    return {"color": color, "style": QtCore.Qt.PenStyle.DashLine, "width": 2, "connect": "all",
            "is_visible": visible}


class Wheel:
    def __init__(self, delta):
        self._delta = delta

    def delta(self):
        return self._delta


class FakeTarget:
    def __init__(self, x, y):
        self.point = QtCore.QPointF(x, y)

    def scenePos(self):
        return self.point


class MenuEvent:
    def __init__(self, x, y):
        self.point = QtCore.QPointF(x, y)
        self.ignored = False

    def ignore(self):
        self.ignored = True

    def scenePos(self):
        return self.point

    def screenPos(self):
        return QtCore.QPoint(7, 9)


def identity_view(plot, extent=100.0, width=100.0):
    """Scene coordinates equal data coordinates; the data span `extent`, the view `width`."""
    plot.vb.mapSceneToView = lambda p: QtCore.QPointF(p)
    plot.vb.childrenBounds = lambda: [[0.0, extent], [0.0, extent]]
    plot.vb.viewRect = lambda: QtCore.QRectF(0, 0, width, width)
    plot.sceneBoundingRect = lambda: QtCore.QRectF(-1e6, -1e6, 2e6, 2e6)


def anchors_plot(make_plot, curves, colors=(RED,)):
    plot = make_plot(eidtorType="anchors")
    plot.set_curve(curves, [props(c) for c in colors])
    return plot


def record(signal):
    seen = []
    signal.connect(lambda *args: seen.append(args))
    return seen


# --- wheel -------------------------------------------------------------------------------

@pytest.mark.parametrize("focus, deltas, left, right", [
    (3, [120, 120, 120], [2, 1, 0], [4, 5, 6]),
    (0, [120], [], [1]),
    (9, [120], [8], []),
    (3, [120, 120, -120], [2], [4]),
    (1, [120, 120, 0], [], [2]),
])
def test_wheel_grows_and_shrinks_one_step_per_event(make_plot, focus, deltas, left, right):
    plot = make_plot(eidtorType="anchors")
    plot.curve_props = [props()]
    plot.ctrl_points = [[np.arange(10) * 10, np.arange(10) * 2.0]]
    plot.modified_ctrl_point = (0, focus, focus * 10, focus * 2.0)
    for delta in deltas:
        plot.targetWhellEvent(Wheel(delta))
    assert [p[1] for p in plot.modified_left_adjcent_points] == left
    assert [p[1] for p in plot.modified_right_adjcent_points] == right
    for p in plot.modified_left_adjcent_points + plot.modified_right_adjcent_points:
        assert p[0] == 0 and p[2] == p[1] * 10 and p[3] == p[1] * 2.0 and isinstance(p, list)
    if left:
        assert list(plot.modified_left_adjcent_plot.getData()[0]) == [i * 10 for i in left]


def test_wheel_reads_points_sorted_without_repeats(make_plot):
    plot = make_plot(eidtorType="anchors")
    plot.curve_props = [props()]
    plot.ctrl_points = [[np.array([0, 0, 30, 10, 20]), np.array([1.0, 1.0, 4.0, 2.0, 3.0])]]
    plot.modified_ctrl_point = (0, 2, 20, 3.0)
    plot.targetWhellEvent(Wheel(1))
    assert plot.modified_left_adjcent_points == [[0, 1, 10, 2.0]]
    assert plot.modified_right_adjcent_points == [[0, 3, 30, 4.0]]


def test_real_wheel_over_the_target_selects_instead_of_zooming(make_plot, shown, qapp):
    curve = np.linspace(20.0, 80.0, 101)
    plot = anchors_plot(make_plot, [curve])
    view = shown(plot)
    plot.plot()
    qapp.processEvents()
    xs, ys = plot.ctrl_points[0]
    k = len(xs) // 2
    plot.modified_ctrl_point = (0, k, xs[k], ys[k])
    scene = plot.vb.mapViewToScene(QtCore.QPointF(float(xs[k]), float(ys[k])))
    plot.plot_focus_control_point(plot.modified_ctrl_point, plot.mapFromScene(scene))
    before = plot.vb.viewRange()
    local = QtCore.QPointF(view.mapFromScene(scene))
    event = QtGui.QWheelEvent(local, QtCore.QPointF(view.viewport().mapToGlobal(local.toPoint())),
                              QtCore.QPoint(0, 0), QtCore.QPoint(0, 120), QtCore.Qt.MouseButton.NoButton,
                              QtCore.Qt.KeyboardModifier.NoModifier, QtCore.Qt.ScrollPhase.NoScrollPhase, False)
    qapp.sendEvent(view.viewport(), event)
    qapp.processEvents()
    assert [p[1] for p in plot.modified_left_adjcent_points] == [k - 1]
    assert plot.vb.viewRange() == before


# --- target movement -----------------------------------------------------------------------

@pytest.fixture
def dragging(make_plot):
    """An anchors plot over a 41-column ramp with control points every 10 columns, the point
    at position `k` focused and the drag under way."""

    def make(k, ctrl_x=(0, 10, 20, 30, 40), colors=(RED,), curve_count=1):
        plot = make_plot(eidtorType="anchors")
        curves = [np.arange(41, dtype=float) for _ in range(curve_count)]
        plot.set_curve(curves, [props(c) for c in colors])
        xs = np.array(ctrl_x, dtype=np.int64)
        for i in range(curve_count):
            plot.ctrl_points[i] = [xs.copy(), xs.astype(float)]
        ci = curve_count - 1
        plot.modified_ctrl_point = (ci, k, xs[k], float(xs[k]))
        plot.target.show()
        plot.mouse_pressed = True
        identity_view(plot)
        return plot

    return make


@pytest.mark.parametrize("x, column", [(-7.0, 0), (10.5, 10), (11.5, 12), (99.0, 40)])
def test_drag_column_is_rounded_half_even_and_clamped(dragging, x, column):
    plot = dragging(2)
    plot.targetMoved(FakeTarget(x, 5.0))
    assert plot.ctrl_points[0][0][2] == column
    assert plot.ctrl_points[0][1][2] == 5.0


def test_drag_rebuilds_the_span_between_the_other_points(dragging):
    plot = dragging(2)
    changed, spans = record(plot.sigCurveChanged), record(plot.sigControlPointChanged)
    plot.targetMoved(FakeTarget(23.0, 30.0))
    assert spans == [(0, [10, 31])]
    assert len(changed) == 1 and changed[0][1] is plot.gCurves[0]
    assert plot.params_for_ctrl_point_changed_signal is None
    assert plot.gCurves[0][23] == pytest.approx(30.0)
    assert np.array_equal(plot.gCurves[0][:10], np.arange(10)) and np.array_equal(plot.gCurves[0][31:], np.arange(31, 41))


@pytest.mark.parametrize("k, expected", [(0, [0, 11]), (4, [30, 41])])
def test_dragging_an_end_point_spans_to_the_curve_end(dragging, k, expected):
    plot = dragging(k)
    spans = record(plot.sigControlPointChanged)
    plot.targetMoved(FakeTarget(float(plot.ctrl_points[0][0][k]), 3.0))
    assert spans == [(0, expected)]


def test_drag_moves_selected_neighbours_rigidly(dragging):
    plot = dragging(2)
    plot.modified_left_adjcent_points = [[0, 1, 10, 10.0]]
    plot.targetMoved(FakeTarget(23.0, 18.0))
    assert plot.modified_left_adjcent_points == [[0, 1, 13, 8.0]]
    assert list(plot.ctrl_points[0][0]) == [0, 13, 23, 30, 40]
    assert list(plot.ctrl_points[0][1]) == [0.0, 8.0, 18.0, 30.0, 40.0]


def test_all_other_points_selected_moves_only_vertically(dragging):
    plot = dragging(2)
    plot.modified_left_adjcent_points = [[0, 1, 10, 10.0], [0, 0, 0, 0.0]]
    plot.modified_right_adjcent_points = [[0, 3, 30, 30.0], [0, 4, 40, 40.0]]
    plot.targetMoved(FakeTarget(27.0, 25.0))
    assert list(plot.ctrl_points[0][0]) == [0, 10, 20, 30, 40]
    assert list(plot.ctrl_points[0][1]) == [5.0, 15.0, 25.0, 35.0, 40.0 + 5.0]


@pytest.mark.parametrize("change", ["hidden", "released", "no focus"])
def test_target_moved_outside_a_drag_changes_nothing(dragging, change):
    plot = dragging(2)
    if change == "hidden":
        plot.target.hide()
    elif change == "released":
        plot.mouse_pressed = False
    else:
        plot.modified_ctrl_point = None
    before = [a.copy() for a in plot.ctrl_points[0]]
    spans = record(plot.sigControlPointChanged)
    plot.targetMoved(FakeTarget(23.0, 30.0))
    assert spans == [] and all(np.array_equal(a, b) for a, b in zip(before, plot.ctrl_points[0]))


def test_focus_marker_follows_in_the_dragged_curves_inverse_colour(dragging):
    plot = dragging(2, colors=(RED, GREEN), curve_count=2)
    plot.targetMoved(FakeTarget(21.0, 12.0))
    marker = plot.focus_control_point_plot
    assert list(marker.getData()[0]) == [21] and list(marker.getData()[1]) == [12.0]
    assert marker.opts["symbolBrush"] == (255, 0, 255)


def test_drag_without_an_end_point_to_the_left_raises_index_error(dragging):
    plot = dragging(0, ctrl_x=(10, 20, 30, 40))
    plot.modified_ctrl_point = (0, 1, 20, 20.0)
    before = plot.ctrl_points[0][0].copy()
    with pytest.raises(IndexError):
        plot.targetMoved(FakeTarget(5.0, 1.0))
    assert np.array_equal(plot.ctrl_points[0][0], before)


def send_mouse(qapp, view, kind, point, button, buttons):
    viewport = view.viewport()
    local = QtCore.QPointF(point)
    event = QtGui.QMouseEvent(kind, local, QtCore.QPointF(viewport.mapToGlobal(local.toPoint())), button, buttons,
                              QtCore.Qt.KeyboardModifier.NoModifier)
    qapp.sendEvent(viewport, event)
    qapp.processEvents()
    time.sleep(0.02)  # the scene drops moves closer than 10 ms apart


def test_real_drag_through_qt_events(make_plot, shown, qapp):
    curve = np.round(100 + 30 * np.sin(np.linspace(0, 3 * np.pi, 201)))
    plot = anchors_plot(make_plot, [curve])
    view = shown(plot, size=(800, 600))
    plot.plot()
    plot.vb.autoRange()
    qapp.processEvents()
    xs, ys = plot.ctrl_points[0]
    k = len(xs) // 2
    px, py = float(xs[k]), float(ys[k])

    def to_view(x, y):
        return view.mapFromScene(plot.vb.mapViewToScene(QtCore.QPointF(x, y)))

    changed, spans = record(plot.sigCurveChanged), record(plot.sigControlPointChanged)
    finished = record(plot.sigCurveChangeFinished)
    left, none = QtCore.Qt.MouseButton.LeftButton, QtCore.Qt.MouseButton.NoButton
    move, down, up = (QtCore.QEvent.Type.MouseMove, QtCore.QEvent.Type.MouseButtonPress,
                      QtCore.QEvent.Type.MouseButtonRelease)
    start = to_view(px, py)
    send_mouse(qapp, view, move, start + QtCore.QPoint(1, 0), none, none)
    send_mouse(qapp, view, move, start, none, none)
    assert plot.modified_ctrl_point is not None and plot.modified_ctrl_point[1] == k
    send_mouse(qapp, view, down, start, left, left)
    assert plot.mouse_pressed
    for step in range(1, 6):
        send_mouse(qapp, view, move, to_view(px, py - 4 * step), none, left)
    send_mouse(qapp, view, up, to_view(px, py - 20), left, none)
    assert len(changed) >= 2 and len(changed) == len(spans)
    assert all(c[1] is plot.gCurves[0] for c in changed)
    assert finished == [(None, None)]
    assert plot.ctrl_points[0][1][k] < py - 10
    assert not plot.mouse_pressed and plot.modified_ctrl_point is None


# --- context menu ------------------------------------------------------------------------

@pytest.fixture
def menu_plot(make_plot):
    def make(editor="anchors", curves=None, colors=(RED,)):
        plot = make_plot(eidtorType=editor)
        if curves is None:
            curves = [np.full(101, 50.0)]
        plot.set_curve(curves, [props(c) for c in colors][: len(curves)] + [props()] * (len(curves) - len(colors)))
        identity_view(plot)
        plot.shown_menus = []
        plot.menu.exec = lambda pos: plot.shown_menus.append(([a.text() for a in plot.menu.actions()], pos))
        return plot

    return make


def point_commands(plot):
    return [a.text() for a in plot.menu.actions() if a.text() in ("addPoint", "removePoint")]


def test_menu_offers_remove_for_a_focused_point(menu_plot):
    plot = menu_plot()
    plot.modified_ctrl_point = (0, 1, 50, 50.0)
    event = MenuEvent(50.4, 50.0)
    plot.contextMenuEvent(event)
    texts, pos = plot.shown_menus[-1]
    assert texts[0] == "removePoint" and plot.menu.actions()[1].isSeparator()
    assert texts[3:6] == ["Corrector:Liner", "Corrector:LiveWire", "Corrector:Anchors"]
    assert pos == QtCore.QPoint(7, 9) and event.ignored


@pytest.mark.parametrize("x, y, expected", [
    (40.0, 70.0, ["addPoint"]),    # 20 below the curve: within the halved-ratio reach of 30
    (40.0, 80.0, []),              # exactly 30 away: strict comparison
    (0.0, 50.0, []),               # column 0 never qualifies
    (40.0, 50.0, ["addPoint"]),
])
def test_add_point_offered_near_a_curve(menu_plot, x, y, expected):
    plot = menu_plot()
    plot.contextMenuEvent(MenuEvent(x, y))
    assert point_commands(plot) == expected


def test_repeated_menus_keep_one_point_command_and_outside_shows_none(menu_plot):
    plot = menu_plot()
    for _ in range(3):
        plot.contextMenuEvent(MenuEvent(40.0, 50.0))
    assert point_commands(plot) == ["addPoint"]
    plot.sceneBoundingRect = lambda: QtCore.QRectF(1000, 1000, 1, 1)
    plot.contextMenuEvent(MenuEvent(40.0, 50.0))
    assert point_commands(plot) == [] and len(plot.shown_menus) == 4


def test_add_point_adds_at_the_pointer_to_the_lower_index_curve(menu_plot):
    plot = menu_plot(curves=[np.full(101, 40.0), np.full(101, 60.0)], colors=(RED, GREEN))
    changed = record(plot.sigCurveChanged)
    plot.contextMenuEvent(MenuEvent(30.4, 50.4))
    action = plot.menu.actions()[0]
    assert action.text() == "addPoint"
    action.trigger()
    assert 30 in list(plot.ctrl_points[0][0]) and 30 not in list(plot.ctrl_points[1][0])
    assert plot.ctrl_points[0][1][list(plot.ctrl_points[0][0]).index(30)] == 50
    assert changed and changed[0][0] == 0 and plot.gCurves[0][30] == pytest.approx(50.0)


def test_remove_point_removes_the_focused_point_and_its_neighbours(menu_plot):
    plot = menu_plot()
    plot.ctrl_points[0] = [np.arange(0, 101, 10), np.full(11, 50.0)]
    plot.modified_ctrl_point = (0, 5, 50, 50.0)
    plot.modified_left_adjcent_points = [[0, 4, 40, 50.0], [0, 3, 30, 50.0]]
    plot.modified_right_adjcent_points = [[0, 6, 60, 50.0]]
    calls = []
    original = plot.remove_cv_points
    plot.remove_cv_points = lambda idx, ci: (calls.append((list(idx), ci)), original(idx, ci))
    plot.contextMenuEvent(MenuEvent(50.0, 50.0))
    plot.menu.actions()[0].trigger()
    assert calls == [([4, 3, 5, 6], 0)]
    assert list(plot.ctrl_points[0][0]) == [0, 10, 20, 70, 80, 90, 100]


@pytest.mark.parametrize("editor", ["liner", "livewire"])
def test_right_click_abandons_a_stroke_without_a_menu(menu_plot, editor):
    plot = menu_plot(editor=editor)
    plot.mouse_path = [(3.0, 4.0)]
    plot.current_curve_idx = 0
    plot.params_for_ctrl_point_changed_signal = [0, 3, 9]
    plot.contextMenuEvent(MenuEvent(40.0, 50.0))
    assert plot.mouse_path == [] and plot.current_curve_idx == -1
    assert plot.params_for_ctrl_point_changed_signal == [0, 3, 9] and plot.shown_menus == []



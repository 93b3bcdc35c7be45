# Plots, steered view boxes and events for the pointer-handler tests.
import time

import numpy as np
import pytest
from PySide6 import QtCore, QtGui, QtWidgets

import vantel.utils.curveEditorPlot as cep

Qt, Ev = QtCore.Qt, QtCore.QEvent.Type


class EditablePlot(cep.CurveEditorPlot):
    # Control points every 8 columns whatever the generator does; redraws counted.
    def _generate_control_points(self, t_p=0.2):
        return [[np.arange(0, len(c), 8), np.asarray(c)[::8].copy()] for c in self.gCurves]

    def plot(self, *args, **kargs):
        self.redraws = getattr(self, "redraws", 0) + 1
        return super().plot(*args, **kargs)


class Steered:
    # The view box, with the data extent, the view width and the pointer's data position set by the test.
    def __init__(self, vb):
        self._vb, self.x_range, self.width, self.point = vb, (0.0, 100.0), 100.0, QtCore.QPointF()

    def __getattr__(self, name):
        return getattr(self._vb, name)

    def childrenBounds(self):
        return [self.x_range and list(self.x_range), [0.0, 100.0]]

    def viewRect(self):
        return QtCore.QRectF(0, 0, self.width, 100)

    def mapSceneToView(self, pos):
        return QtCore.QPointF(self.point)


@pytest.fixture
def editor(qapp, host, shown):
    # editor(curves, hidden, steer, **kwargs): a shown EditablePlot, its view at 0..199; steer=False keeps the real
    # view box, else the test sets the pointer's data position.
    def make(curves, hidden=(), steer=True, **kwargs):
        plot = EditablePlot(parentWindow=host, **kwargs)
        plot.view = shown(plot)
        plot.set_curve(curves, [dict(color=(255, 40 * i % 256, 0), style=Qt.PenStyle.DashLine, width=1, connect="all",
                                     is_visible=i not in hidden) for i in range(len(curves))])
        plot.plot()
        plot.vb.setRange(xRange=(0, 199), yRange=(0, 199), padding=0)
        qapp.processEvents()
        plot.vb, plot.redraws = Steered(plot.vb) if steer else plot.vb, 0
        return plot
    return make


@pytest.fixture
def base_calls(monkeypatch):
    calls = []  # the calls of the base class's (pyqtgraph's PlotItem's) hover and press handlers
    for name, tag in [("hoverMoveEvent", "hover"), ("mousePressEvent", "press")]:
        monkeypatch.setattr(cep.CurveEditorPlot.__base__, name, lambda self, ev, tag=tag: calls.append(tag), raising=False)
    return calls


class Recorder(list):
    # Every signal of the plot as (name, *arguments), in emission order.
    def __init__(self, plot):
        for name in "CurveChanged ControlPointChanged CurveChangeFinished CurveEditorTypeChanged MousePosChanged".split():
            getattr(plot, "sig" + name).connect(lambda *args, name=name: self.append(("sig" + name, *args)))


# The handlers called with scene events, the pointer at data (x, y).
def _event(plot, x, y, event, modifiers=Qt.KeyboardModifier.NoModifier, scene_pos=None):
    plot.vb.point = QtCore.QPointF(x, y)
    event.setScenePos(plot.sceneBoundingRect().center() if scene_pos is None else scene_pos)
    event.setModifiers(modifiers)
    return event


def hover(plot, x, y, **kwargs):
    return plot.hoverMoveEvent(_event(plot, x, y, QtWidgets.QGraphicsSceneHoverEvent(Ev.GraphicsSceneHoverMove), **kwargs))


def press(plot, x=0.0, y=0.0, button=Qt.MouseButton.LeftButton, double=False):
    event = QtWidgets.QGraphicsSceneMouseEvent(Ev.GraphicsSceneMouseDoubleClick if double else Ev.GraphicsSceneMousePress)
    event.setButton(button)
    (plot.mouseDoubleClickEvent if double else plot.mousePressEvent)(_event(plot, x, y, event))


def send(plot, kind, x, y, button=Qt.MouseButton.NoButton, buttons=Qt.MouseButton.NoButton):
    # A mouse event with the buttons held, as a user's, through plot.view's viewport at data (x, y).
    view = plot.view
    local = QtCore.QPointF(view.mapFromScene(plot.vb.mapViewToScene(QtCore.QPointF(x, y))))
    QtWidgets.QApplication.sendEvent(view.viewport(), QtGui.QMouseEvent(
        kind, local, QtCore.QPointF(view.viewport().mapToGlobal(local.toPoint())), button, buttons,
        Qt.KeyboardModifier.NoModifier))
    QtWidgets.QApplication.processEvents()
    time.sleep(0.015)  # the scene drops moves closer than 10 ms apart


def move(plot, x, y):
    send(plot, Ev.MouseMove, x + 1, y)  # two moves: the first may only enter the item
    send(plot, Ev.MouseMove, x, y)


def click(plot, x, y, double=False):
    left = Qt.MouseButton.LeftButton
    for kind in (Ev.MouseButtonPress, Ev.MouseButtonDblClick)[:1 + double]:
        send(plot, kind, x, y, left, left)
        send(plot, Ev.MouseButtonRelease, x, y, left)


def drag(plot, k, j, dy, steps=4, check=None):
    """Anchors: focus control point j of curve k, drag it by dy in `steps` moves (check(plot) after each), release."""
    x, y = float(plot.ctrl_points[k][0][j]), float(plot.ctrl_points[k][1][j])
    left = Qt.MouseButton.LeftButton
    move(plot, x, y)
    assert plot.modified_ctrl_point[:2] == (k, j)
    send(plot, Ev.MouseButtonPress, x, y, left, left)
    for s in range(1, steps + 1):
        send(plot, Ev.MouseMove, x, y + dy * s / steps, Qt.MouseButton.NoButton, left)
        if check:
            check(plot)
    send(plot, Ev.MouseButtonRelease, x, y + dy, left)


def assert_drawn(plot):
    # What the user sees follows the data: after a redraw the plot's first items are the visible curves, then, in
    # anchors mode, their control points (pyqtgraph copies the arrays, so a missed redraw shows the old values).
    visible = [i for i, p in enumerate(plot.curve_props_bk) if p["is_visible"]]
    items = plot.listDataItems()
    anchors = plot.editorType == "anchors"
    assert len(items) >= len(visible) * (1 + anchors)
    for item, i in zip(items, visible):
        x, y = item.getData()
        np.testing.assert_array_equal(y, np.asarray(plot.gCurves[i], float))
        np.testing.assert_array_equal(x, np.arange(len(plot.gCurves[i])))
    for item, i in zip(items[len(visible):] if anchors else (), visible):
        np.testing.assert_array_equal(np.stack(item.getData()), np.stack(plot.ctrl_points[i]).astype(float))

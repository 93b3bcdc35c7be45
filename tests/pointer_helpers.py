# Plots, steered view boxes and events for the pointer-handler tests.
import time

import numpy as np
import pytest
from PySide6 import QtCore, QtGui, QtWidgets

import vantel.utils.curveEditorPlot as cep

Qt, Ev = QtCore.Qt, QtCore.QEvent.Type
LEFT, NOBUTTON = Qt.MouseButton.LeftButton, Qt.MouseButton.NoButton


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
        self.childrenBounds = lambda: [self.x_range and list(self.x_range), [0.0, 100.0]]
        self.viewRect = lambda: QtCore.QRectF(0, 0, self.width, 100)
        self.mapSceneToView = lambda pos: QtCore.QPointF(self.point)

    def __getattr__(self, name):
        return getattr(self._vb, name)


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
        monkeypatch.setattr(cep.CurveEditorPlot.__base__, name, lambda self, ev, t=tag: calls.append(t), raising=False)
    return calls


class Recorder(list):
    # Every signal of the plot (the pointer's position only if asked) as (name, *arguments), in emission order.
    def __init__(self, plot, positions=True):
        names = "CurveChanged ControlPointChanged CurveChangeFinished CurveEditorTypeChanged MousePosChanged".split()
        for name in names[:4 + positions]:
            getattr(plot, "sig" + name).connect(lambda *args, name=name: self.append(("sig" + name, *args)))


# The handlers called with scene events, the pointer at data (x, y).
def _event(plot, x, y, event, modifiers=Qt.KeyboardModifier.NoModifier, scene_pos=None):
    plot.vb.point = QtCore.QPointF(x, y)
    event.setScenePos(plot.sceneBoundingRect().center() if scene_pos is None else scene_pos)
    event.setModifiers(modifiers)
    return event


def hover(plot, x, y, **kw):
    return plot.hoverMoveEvent(_event(plot, x, y, QtWidgets.QGraphicsSceneHoverEvent(Ev.GraphicsSceneHoverMove), **kw))


def press(plot, x=0.0, y=0.0, button=LEFT, double=False):
    event = QtWidgets.QGraphicsSceneMouseEvent((Ev.GraphicsSceneMousePress, Ev.GraphicsSceneMouseDoubleClick)[double])
    event.setButton(button)
    (plot.mouseDoubleClickEvent if double else plot.mousePressEvent)(_event(plot, x, y, event))


def send(plot, kind, x, y, button=NOBUTTON, buttons=NOBUTTON):
    # A mouse event with the buttons held, as a user's, through plot.view's viewport at data (x, y).
    view = plot.view
    local = QtCore.QPointF(view.mapFromScene(plot.vb.mapViewToScene(QtCore.QPointF(x, y))))
    QtWidgets.QApplication.sendEvent(view.viewport(), QtGui.QMouseEvent(kind, local, QtCore.QPointF(
        view.viewport().mapToGlobal(local.toPoint())), button, buttons, Qt.KeyboardModifier.NoModifier))
    QtWidgets.QApplication.processEvents()
    time.sleep(0.015)  # the scene drops moves closer than 10 ms apart


def move(plot, x, y):
    send(plot, Ev.MouseMove, x + 1, y)  # two moves: the first may only enter the item
    send(plot, Ev.MouseMove, x, y)


def click(plot, x, y, double=False):
    for kind in (Ev.MouseButtonPress, Ev.MouseButtonDblClick)[:1 + double]:
        send(plot, kind, x, y, LEFT, LEFT)
        send(plot, Ev.MouseButtonRelease, x, y, LEFT)


def drag(plot, k, j, dy, steps=4, check=lambda plot: None):
    """Anchors: focus control point j of curve k, drag it by dy in `steps` moves (check(plot) after each), release."""
    x, y = float(plot.ctrl_points[k][0][j]), float(plot.ctrl_points[k][1][j])
    move(plot, x, y)
    assert plot.modified_ctrl_point[:2] == (k, j)
    send(plot, Ev.MouseButtonPress, x, y, LEFT, LEFT)
    for s in range(1, steps + 1):
        send(plot, Ev.MouseMove, x, y + dy * s / steps, NOBUTTON, LEFT)
        check(plot)
    send(plot, Ev.MouseButtonRelease, x, y + dy, LEFT)


def assert_drawn(plot):
    # What the user sees follows the data: after a redraw the plot's first items are the visible curves, then, in
    # anchors mode, their control points (pyqtgraph copies the arrays, so a missed redraw shows the old values).
    visible = [i for i, p in enumerate(plot.curve_props_bk) if p["is_visible"]]
    curves = [[np.arange(len(plot.gCurves[i])), np.asarray(plot.gCurves[i], float)] for i in visible]
    points = [np.stack(plot.ctrl_points[i]).astype(float) for i in visible] if plot.editorType == "anchors" else []
    items = plot.listDataItems()
    assert len(items) >= len(curves) + len(points)
    for item, expected in zip(items, curves + points):
        np.testing.assert_array_equal(np.stack(item.getData()), expected)

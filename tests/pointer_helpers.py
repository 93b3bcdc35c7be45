"""Plots, steered view boxes and events for the pointer-handler tests."""
import time

import numpy as np
import pytest
import pyqtgraph as pg
from PySide6 import QtCore, QtGui, QtWidgets

import vantel.utils.curveEditorPlot as cep

Qt = QtCore.Qt
LEFT, RIGHT = Qt.MouseButton.LeftButton, Qt.MouseButton.RightButton
CTRL = Qt.KeyboardModifier.ControlModifier


class EditablePlot(cep.CurveEditorPlot):
    """Control points every 8 columns, so that these tests do not depend on the
    generator; counts redraws; ignores target moves (handled elsewhere)."""

    redraws = 0

    def _generate_control_points(self, t_p=0.2):
        return [[np.arange(0, len(c), 8), np.asarray(c)[::8].copy()] for c in self.gCurves]

    def targetMoved(self, target):
        pass

    def plot(self, *args, **kargs):
        self.redraws += 1
        return super().plot(*args, **kargs)


def props(n, hidden=()):
    return [dict(color=(255, 40 * i % 256, 0), style=Qt.PenStyle.DashLine, width=1, connect="all",
                 is_visible=i not in hidden) for i in range(n)]


class Steered:
    """The plot's view box, with the data extent, the view width and the pointer's
    data position fixed by the test; everything else goes to the real one."""

    def __init__(self, vb, x_range=(0.0, 100.0), width=100.0):
        self._vb, self.x_range, self.width, self.point = vb, x_range, width, QtCore.QPointF()

    def childrenBounds(self):
        return [None if self.x_range is None else list(self.x_range), [0.0, 100.0]]

    def viewRect(self):
        return QtCore.QRectF(0, 0, self.width, 100)

    def mapSceneToView(self, pos):
        return QtCore.QPointF(self.point)

    def __getattr__(self, name):
        return getattr(self._vb, name)


@pytest.fixture
def editor(qapp, host, shown):
    """editor(curves, **kwargs): a shown EditablePlot with those curves and, unless
    steer=False, a steered view box."""

    def make(curves=None, hidden=(), steer=True, **kwargs):
        kwargs.setdefault("parentWindow", host)
        plot = EditablePlot(**kwargs)
        plot.view = shown(plot)
        if curves is not None:
            plot.set_curve(curves, props(len(curves), hidden))
        if steer:
            plot.vb = Steered(plot.vb)
        return plot

    return make


def inside(plot):
    return plot.sceneBoundingRect().center()


def hover(plot, x, y, modifiers=Qt.KeyboardModifier.NoModifier, scene_pos=None):
    """Calls the hover handler with a real hover event, the pointer at data (x, y)."""
    plot.vb.point = QtCore.QPointF(x, y)
    event = QtWidgets.QGraphicsSceneHoverEvent(QtCore.QEvent.Type.GraphicsSceneHoverMove)
    event.setScenePos(inside(plot) if scene_pos is None else scene_pos)
    event.setPos(QtCore.QPointF(3, 4))
    event.setModifiers(modifiers)
    return plot.hoverMoveEvent(event)


def mouse(plot, x, y, button=LEFT, kind=QtCore.QEvent.Type.GraphicsSceneMousePress):
    plot.vb.point = QtCore.QPointF(x, y)
    event = QtWidgets.QGraphicsSceneMouseEvent(kind)
    event.setScenePos(inside(plot))
    event.setButton(button)
    return event


def press(plot, x, y, button=LEFT):
    plot.mousePressEvent(mouse(plot, x, y, button))


def double_click(plot, x=0.0, y=0.0, button=LEFT):
    plot.mouseDoubleClickEvent(mouse(plot, x, y, button, QtCore.QEvent.Type.GraphicsSceneMouseDoubleClick))


@pytest.fixture
def base_calls(monkeypatch):
    """Records the base-class hover and press handlers' calls."""
    calls = []
    monkeypatch.setattr(pg.PlotItem, "hoverMoveEvent", lambda self, ev: calls.append("hover"), raising=False)
    monkeypatch.setattr(pg.PlotItem, "mousePressEvent", lambda self, ev: calls.append("press"), raising=False)
    return calls


class Recorder:
    """Every signal of the plot, in emission order."""

    NAMES = ["sigCurveChanged", "sigControlPointChanged", "sigCurveChangeFinished", "sigCurveEditorTypeChanged"]

    def __init__(self, plot):
        self.seen = []
        for name in self.NAMES:
            getattr(plot, name).connect(lambda a, b, name=name: self.seen.append((name, a, b)))
        plot.sigMousePosChanged.connect(lambda p: self.seen.append(("sigMousePosChanged", p)))

    def named(self, name):
        return [s[1:] for s in self.seen if s[0] == name]


# Real events through a shown view's viewport.

def viewport_point(view, plot, x, y):
    return view.mapFromScene(plot.vb.mapViewToScene(QtCore.QPointF(x, y)))


def real_move(qapp, view, plot, x, y):
    viewport = view.viewport()
    local = QtCore.QPointF(viewport_point(view, plot, x, y))
    event = QtGui.QMouseEvent(QtCore.QEvent.Type.MouseMove, local, viewport.mapToGlobal(local),
                              Qt.MouseButton.NoButton, Qt.MouseButton.NoButton, Qt.KeyboardModifier.NoModifier)
    qapp.sendEvent(viewport, event)
    qapp.processEvents()
    time.sleep(0.02)  # the scene drops moves closer than 10 ms apart

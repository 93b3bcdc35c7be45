# Plots, steered view boxes and events for the pointer-handler tests.
import weakref

import numpy as np
from PySide6 import QtCore, QtWidgets

import vantel.utils.curveEditorPlot as cep
from vantel_curve_demo.pointer import Pointer

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


def pointer(plot):
    # The demo's pointer driver over the view that shows the plot, kept on the plot as it remembers held buttons;
    # it refers to the plot weakly, so that a host still frees a plot it drops.
    if getattr(plot, "pointer", None) is None:
        plot.pointer = Pointer(plot.view, weakref.ref(plot))
    return plot.pointer


def send(plot, kind, x, y, button=NOBUTTON, buttons=NOBUTTON):
    # One mouse event with `buttons` held, as a user's, through plot.view's viewport at data (x, y).
    p = pointer(plot)
    p.buttons = buttons
    p.send(kind, x, y, button)


def move(plot, x, y):
    pointer(plot).hover(x, y)


def click(plot, x, y, double=False):
    (pointer(plot).double_click if double else pointer(plot).click)(x, y)


def drag(plot, k, j, dy, steps=4, check=lambda plot: None):
    """Anchors: focus control point j of curve k, drag it by dy in `steps` moves (check(plot) after each), release."""
    x, y = float(plot.ctrl_points[k][0][j]), float(plot.ctrl_points[k][1][j])
    p = pointer(plot)
    p.hover(x, y)
    assert plot.modified_ctrl_point[:2] == (k, j)
    p.press(x, y)
    for s in range(1, steps + 1):
        p.move(x, y + dy * s / steps)
        check(plot)
    p.release(x, y + dy)


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

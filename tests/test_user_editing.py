"""Anchor groups as the user builds them: the wheel over the focused point, then a drag, on a shown plot."""
import numpy as np
import pytest
from PySide6 import QtCore, QtGui, QtWidgets

from pointer_helpers import LEFT, NOBUTTON, Ev, move, send

N = 25  # the editor fixture's plots have a control point every 8 of 200 columns


def wheel(plot, x, y, delta):
    local = QtCore.QPointF(plot.view.mapFromScene(plot.vb.mapViewToScene(QtCore.QPointF(x, y))))
    QtWidgets.QApplication.sendEvent(plot.view.viewport(), QtGui.QWheelEvent(
        local, QtCore.QPointF(plot.view.viewport().mapToGlobal(local.toPoint())), QtCore.QPoint(0, 0),
        QtCore.QPoint(0, delta), NOBUTTON, QtCore.Qt.KeyboardModifier.NoModifier,
        QtCore.Qt.ScrollPhase.NoScrollPhase, False))
    QtWidgets.QApplication.processEvents()


# Each notch up adds the next point on either side, as far as the curve goes; each notch down takes the last pair off.
@pytest.mark.parametrize("j, notches, moved", [
    pytest.param(N - 2, [120] * 2, range(N - 4, N), id="up to the last point"),
    pytest.param(1, [120] * 2, range(0, 4), id="down to the first point"),
    pytest.param(12, [120] * N, range(N), id="the whole curve"),
    pytest.param(12, [120, 120, -120], range(11, 14), id="grown, then shrunk"),
    pytest.param(N - 1, [120, -120], [N - 1], id="the last point alone")])
def test_wheel_then_drag_moves_the_group_together(editor, j, notches, moved):
    plot = editor([60 + 20 * np.sin(np.arange(200.0) / 30)], steer=False, eidtorType="anchors")
    xs0, ys0 = (np.asarray(a, float).copy() for a in plot.ctrl_points[0])
    assert len(xs0) == N
    x, y = xs0[j], ys0[j]
    move(plot, x, y)
    assert plot.modified_ctrl_point[:2] == (0, j)
    for delta in notches:
        wheel(plot, x, y, delta)
    send(plot, Ev.MouseButtonPress, x, y, LEFT, LEFT)
    for s in range(1, 5):
        send(plot, Ev.MouseMove, x, y + 5 * s, NOBUTTON, LEFT)
    send(plot, Ev.MouseButtonRelease, x, y + 20, LEFT)

    xs, ys = (np.asarray(a, float) for a in plot.ctrl_points[0])
    went = np.flatnonzero((xs != xs0) | (ys != ys0))
    assert went.tolist() == list(moved)
    assert np.ptp(ys[went] - ys0[went]) < 1e-9 and abs(ys[j] - y - 20) < 2  # rigidly, by the drag

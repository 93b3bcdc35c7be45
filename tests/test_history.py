"""Undo and redo of whole edits, driven by real mouse and context-menu events on a shown view."""
import numpy as np
import pyqtgraph as pg
import pytest
from PySide6 import QtCore, QtWidgets

from pointer_helpers import Qt, click, drag, move, pointer, send
from vantel.utils.curveEditHistory import CurveEditHistory
from vantel_curve_demo.pointer import trigger

LEFT, NONE, T = Qt.MouseButton.LeftButton, Qt.MouseButton.NoButton, QtCore.QEvent.Type


def stroke(plot, k, points):
    # Liner or live-wire: pick curve k at the first point, click, click at the corners, double-click the last.
    x0 = points[0][0]
    move(plot, x0, float(plot.gCurves[k][int(x0)]) + 1)
    assert plot.current_curve_idx == k
    for i, (x, y) in enumerate(points, 1):
        move(plot, x, y)
        click(plot, x, y, double=i == len(points))


def context(plot, x, y, command):
    # Right-click at (x, y) and choose the menu's `command` entry (None: no menu expected).
    move(plot, x, y)
    pointer(plot).context_menu(x, y, command and trigger(command))


def state(plot):
    return [c.tobytes() for c in plot.gCurves], [[(a.dtype.str, a.tobytes()) for a in e] for e in plot.ctrl_points]


class Heard(list):
    # What a host hears: the plot's edit signals and the history's own.
    def __init__(self, plot, history):
        plot.sigCurveChanged.connect(lambda i, c: self.append(("curve", i, c)))
        plot.sigControlPointChanged.connect(lambda i, span: self.append(("span", i, list(span))))
        plot.sigCurveChangeFinished.connect(lambda *a: self.append(("finished", *a)))
        history.sigHistoryChanged.connect(lambda: self.append(("history",)))


def edge_image(plot):
    # Bright below row 60 + x/10, so the live wire has an edge to follow.
    plot.set_added_items(pg.ImageItem(np.where(np.arange(200)[:, None] > 60 + np.arange(200) / 10, 0.9, 0.1).T))
    plot.plot()
    plot.vb.setRange(xRange=(0, 199), yRange=(0, 199), padding=0)
    QtWidgets.QApplication.processEvents()


@pytest.mark.parametrize("kind, dtypes, gesture", [  # editor type, dtypes of the two curves, gesture
    ("anchors", (np.float64, np.float32), lambda p: drag(p, 1, 5, 15.0)),
    ("liner", (np.float32, np.int64), lambda p: stroke(p, 0, [(30.0, 60.0), (50.0, 40.0), (70.0, 75.0)])),
    ("livewire", (np.float64,) * 2, lambda p: (edge_image(p), stroke(p, 1, [(40.0, 64.0), (120.0, 72.0)]))),
    ("anchors", (np.float64, np.int32), lambda p: context(p, 44.0, float(p.gCurves[0][44]) - 20, "addPoint")),
    ("anchors", (np.float64,) * 2, lambda p: context(p, 48.0, float(p.gCurves[0][48]), "removePoint"))],
    ids=["drag", "liner", "livewire", "addPoint", "removePoint"])
def test_each_gesture_is_one_step_undone_and_redone_bit_for_bit(editor, kind, dtypes, gesture):
    wave = 4 * np.sin(np.arange(200) / 7)
    curves = [(np.linspace(50, 90, 200) + wave).astype(dtypes[0]), (np.linspace(60, 140, 200) - wave).astype(dtypes[1])]
    plot = editor(curves, steer=False, eidtorType=kind, update_mode="local")
    history, before = CurveEditHistory(plot), state(plot)
    gesture(plot)
    after = state(plot)
    [k] = [k for k in range(2) if before[0][k] != after[0][k]]  # exactly one curve edited
    assert history.canUndo() and not history.canRedo()
    cols = np.flatnonzero(np.frombuffer(before[0][k], curves[k].dtype) != curves[k])

    heard, redraws = Heard(plot, history), plot.redraws
    for act, expect in ((history.undo, before), (history.redo, after)):
        heard.clear()
        assert act() is True
        assert state(plot) == expect and all(a is b for a, b in zip(plot.gCurves, curves))
        assert [h[0] for h in heard] == ["curve", "span", "finished", "history"] and heard[0][2] is curves[k]
        assert heard[1][1:] == (k, [cols[0], cols[-1] + 1]) and heard[2] == ("finished", None, None)
    assert plot.redraws == redraws + 2
    assert history.undo() and not history.undo() and not history.canUndo()  # one gesture, one step


def test_frames_keep_their_own_steps(editor):
    frames = [[np.linspace(50, 90, 200), np.linspace(100, 150, 200)],
              [np.linspace(40, 90, 200), np.linspace(120, 150, 200)]]
    plot = editor(frames[0], steer=False, eidtorType="anchors")
    props, history = plot.curve_props, CurveEditHistory(plot, depth=2)
    pristine, heard = [[c.copy() for c in f] for f in frames], Heard(plot, history)

    def show(f):
        plot.set_curve(frames[f], props)
        plot.plot()
        move(plot, 5.0, 5.0)  # the pointer over the plot: the history follows the frame

    for j, dy in ((5, 10.0), (10, -8.0), (15, 12.0)):  # three steps on frame 0, depth 2 keeps the last two
        drag(plot, 0, j, dy)
    edited0 = [c.copy() for c in frames[0]]
    show(1)
    assert heard[-1] == ("history",) and not history.canUndo()
    drag(plot, 1, 5, 10.0)
    assert history.undo() and not history.canUndo() and history.canRedo()
    assert np.array_equal(frames[1], pristine[1]) and np.array_equal(frames[0], edited0)  # the other frame left alone
    show(0)
    assert history.canUndo() and not history.canRedo()
    assert history.undo() and history.undo() and not history.undo()
    assert not np.array_equal(frames[0][0], pristine[0][0])  # the first of three steps was dropped
    drag(plot, 0, 20, 6.0)  # a new edit drops what could have been redone
    assert not history.canRedo()
    plot.set_curve(frames[1], props)
    assert history.canRedo() and not history.canUndo()  # noticed when asked, too


def test_steps_come_only_from_finished_changes(editor):
    curves = [np.linspace(50, 90, 200), np.linspace(120, 160, 200)]
    plot = editor(curves, steer=False, eidtorType="liner", update_mode="local")
    history, pristine = CurveEditHistory(plot), [c.copy() for c in curves]
    move(plot, 30.0, float(curves[0][30]) + 1)
    click(plot, 30.0, float(curves[0][30]) + 1)
    move(plot, 60.0, 20.0)
    context(plot, 60.0, 20.0, None)  # right-click: the stroke is dropped, what it drew stays
    assert not plot.mouse_path and not np.array_equal(curves[0], pristine[0]) and not history.canUndo()
    stroke(plot, 1, [(120.0, float(curves[1][120]) + 2), (140.0, 170.0)])  # takes the abandoned stroke along
    cols = [np.flatnonzero(a != b) for a, b in zip(curves, pristine)]
    heard = Heard(plot, history)
    assert history.undo() and np.array_equal(curves, pristine)
    assert heard == [("curve", 0, curves[0]), ("span", 0, [cols[0][0], cols[0][-1] + 1]), ("curve", 1, curves[1]),
                     ("span", 1, [cols[1][0], cols[1][-1] + 1]), ("finished", None, None), ("history",)]
    assert cols[0][0] == 30 and cols[1][0] == 120 and not history.canUndo()

    curve = curves[0]
    plot.setEditorType("anchors")
    x, y = float(plot.ctrl_points[0][0][5]), float(plot.ctrl_points[0][1][5])
    move(plot, x, y)
    click(plot, x, y)  # a click on a control point, no move
    move(plot, 100.0, 105.0)
    click(plot, 100.0, 105.0, double=True)  # a stray double-click, far from both curves
    assert not history.canUndo()
    drag(plot, 0, 5, 10.0)
    edited = curve.copy()
    move(plot, x, y + 10)
    send(plot, T.MouseButtonPress, x, y + 10, LEFT, LEFT)  # a second drag under way
    send(plot, T.MouseMove, x, y + 20, NONE, LEFT)
    assert plot.mouse_pressed and not history.undo() and not history.redo()
    send(plot, T.MouseButtonRelease, x, y + 20, LEFT, NONE)
    plot.setEditorType("Liner")
    move(plot, 100.0, float(curve[100]) + 1)
    click(plot, 100.0, float(curve[100]) + 1)  # a stroke opened
    assert plot.mouse_path and not history.undo()
    plot.mouse_release()
    assert history.undo() and np.array_equal(curve, edited)

    for args, error in [((None,), TypeError), ((QtCore.QObject(),), TypeError), ((plot, 0), ValueError),
                        ((plot, -3), ValueError), ((plot, 2.5), TypeError)]:
        with pytest.raises(error):
            CurveEditHistory(*args)

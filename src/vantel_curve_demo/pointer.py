"""Real pointer events, in data coordinates, sent to the viewport of the view that shows a plot.

The scripted session and the tests drive the plot through this one driver: every gesture is a
QMouseEvent or QContextMenuEvent delivered exactly as a pointer would deliver it, so Qt's and the
plotting library's own event handling run as they do for a user.
"""
from __future__ import annotations

import time

import pyqtgraph as pg
from PySide6 import QtCore, QtGui, QtWidgets

Qt = QtCore.Qt
Ev = QtCore.QEvent.Type
LEFT, NOBUTTON = Qt.MouseButton.LeftButton, Qt.MouseButton.NoButton
NOMOD = Qt.KeyboardModifier.NoModifier

_last_move_ms = [0]   # shared: every view's scene drops moves that come too soon after its last one


def _now_ms():
    return time.perf_counter_ns() // 1_000_000


def _wait_for_move_slot():
    # The scene ignores a move that comes within 1/mouseRateLimit s of the previous one; waiting only
    # for what is left of that gap keeps the gestures as fast as the scene accepts them.
    rate = pg.getConfigOption("mouseRateLimit")
    if rate <= 0:
        return
    left = _last_move_ms[0] + 1000.0 / rate + 1 - _now_ms()
    if left > 0:
        time.sleep(left / 1000.0)


class Pointer:
    """A pointer over `view` (a GraphicsView) that shows `plot`.

    `plot` is the PlotItem whose data coordinates the positions are in, or a callable returning it
    (a host that replaces its plot). The pointer remembers the buttons it holds down, so a move
    between press and release is a drag.
    """

    def __init__(self, view, plot):
        self.view = view
        self._plot = plot
        self.buttons = NOBUTTON

    @classmethod
    def of_window(cls, window):
        """A pointer over a host window's `view`, following whichever plot the window shows."""
        return cls(window.view, lambda: window.plot)

    @property
    def plot(self):
        return self._plot() if callable(self._plot) else self._plot

    @property
    def viewport(self):
        return self.view.viewport()

    def at(self, x, y):
        """The viewport position of data point (x, y)."""
        scene = self.plot.vb.mapViewToScene(QtCore.QPointF(float(x), float(y)))
        return QtCore.QPointF(self.view.mapFromScene(scene))

    def send(self, kind, x, y, button=NOBUTTON, modifiers=NOMOD):
        """One mouse event at data (x, y) with the buttons held as they are now; events processed."""
        if kind == Ev.MouseMove:
            _wait_for_move_slot()
        pos = self.at(x, y)
        glob = QtCore.QPointF(self.viewport.mapToGlobal(pos.toPoint()))
        event = QtGui.QMouseEvent(kind, pos, glob, button, self.buttons, modifiers)
        QtWidgets.QApplication.sendEvent(self.viewport, event)
        if kind == Ev.MouseMove:
            _last_move_ms[0] = _now_ms()
        QtWidgets.QApplication.processEvents()

    def move(self, x, y, modifiers=NOMOD):
        self.send(Ev.MouseMove, x, y, modifiers=modifiers)

    def glide(self, points, modifiers=NOMOD):
        """Moves through the points in turn (a hover that approaches its target)."""
        for x, y in points:
            self.move(x, y, modifiers)

    def hover(self, x, y):
        """Comes to rest at (x, y) from one column to the right: a first move may only enter the item."""
        self.glide([(x + 1, y), (x, y)])

    def press(self, x, y, button=LEFT):
        self.buttons = self.buttons | button
        self.send(Ev.MouseButtonPress, x, y, button)

    def release(self, x, y, button=LEFT):
        self.buttons = self.buttons & ~button
        self.send(Ev.MouseButtonRelease, x, y, button)

    def click(self, x, y, button=LEFT):
        self.press(x, y, button)
        self.release(x, y, button)

    def double_click(self, x, y):
        # Qt's order: press, release, double-click, release
        self.click(x, y)
        self.buttons = self.buttons | LEFT
        self.send(Ev.MouseButtonDblClick, x, y, LEFT)
        self.release(x, y)

    def drag(self, path, button=LEFT):
        """Presses at the first point, moves through the rest with the button held, releases at the last."""
        (x0, y0), rest = path[0], path[1:]
        self.press(x0, y0, button)
        for x, y in rest:
            self.move(x, y)
        self.release(*(rest[-1] if rest else path[0]), button)

    def context_menu(self, x, y, choose=None, timeout_ms=2000):
        """Right-clicks at (x, y). While the menu is open `choose(menu)` runs, then the menu closes.

        Returns {"menu": the menu or None, "entries": its entry texts}. The plot runs its menu
        modally, so the event returns once the menu is closed; when no menu opened, it returns at once.
        What `choose` raises is raised here.
        """
        pos = self.at(x, y).toPoint()
        seen = {"menu": None, "entries": []}
        deadline = _now_ms() + timeout_ms
        returned, failed = [], []

        def pick():
            if returned:          # no menu came: a later one is not ours to close
                return
            menu = QtWidgets.QApplication.activePopupWidget()
            if menu is None:
                if _now_ms() < deadline:
                    QtCore.QTimer.singleShot(10, pick)   # not shown yet
                return
            seen["menu"] = menu
            seen["entries"] = [a.text() for a in menu.actions() if not a.isSeparator()]
            try:
                if choose is not None:
                    choose(menu)
            except Exception as e:  # raised in Qt's event loop it would only be printed
                failed.append(e)
            finally:
                menu.close()

        QtCore.QTimer.singleShot(10, pick)
        event = QtGui.QContextMenuEvent(QtGui.QContextMenuEvent.Reason.Mouse, pos, self.viewport.mapToGlobal(pos))
        QtWidgets.QApplication.sendEvent(self.viewport, event)
        QtWidgets.QApplication.processEvents()
        returned.append(True)
        if failed:
            raise failed[0]
        return seen


def trigger(text):
    """A `choose` for Pointer.context_menu that triggers the entry named `text` (LookupError if none)."""
    def choose(menu):
        for action in menu.actions():
            if action.text() == text:
                action.trigger()
                return
        raise LookupError(f"the menu has no {text!r} entry")
    return choose
